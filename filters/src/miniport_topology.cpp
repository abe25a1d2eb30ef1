// The topology miniport's object: creation, Init (entries, descriptor, name, port events,
// the control-change registration), the pin map, power and control-change events.
#include "filters/miniport_topology.h"

#include <cstring>

#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "adapter/ref_list.h"
#include "kernel/rtl.h"
#include "topology_handlers.h"
#include "uac/unit_interfaces.h"

namespace filters {

using adapter::IUacEntity;
using adapter::ScopedRelease;

namespace {

template <class T>
void Reverse(T* items, ULONG count) {
  for (ULONG a = 0; count > 1 && a < count / 2; ++a) {
    T t = items[a];
    items[a] = items[count - 1 - a];
    items[count - 1 - a] = t;
  }
}

}  // namespace

CMiniportTopology::CMiniportTopology(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown),
      m_pFilterDescriptor(nullptr),
      m_pPins(nullptr),
      m_pNodes(nullptr),
      m_pConnections(nullptr),
      m_pPort(nullptr),
      m_pPortEvents(nullptr),
      m_pName(nullptr),
      m_pCallbackRegistration(nullptr),
      m_pAdapter(nullptr),
      m_DevicePowerState(PowerDeviceD0),
      m_pPinEntries(nullptr),
      m_pNodeEntries(nullptr),
      m_nPinCount(0),
      m_nNodeCount(0),
      m_nConnectionCount(0),
      m_nConnectionCapacity(0),
      m_pPinNames(nullptr),
      m_pNodeNames(nullptr) {}

CMiniportTopology::~CMiniportTopology() { ReleaseAll(); }

void CMiniportTopology::ReleaseAll() {
  // No control change may arrive once the entries go.
  if (m_pCallbackRegistration && m_pAdapter) m_pAdapter->UnregisterCallback(m_pCallbackRegistration);
  m_pCallbackRegistration = nullptr;
  if (m_pPortEvents) m_pPortEvents->Release();
  m_pPortEvents = nullptr;
  if (m_pPort) m_pPort->Release();
  m_pPort = nullptr;
  auto freeBlock = [](auto*& block) {
    if (block) ExFreePool(block);
    block = nullptr;
  };
  freeBlock(m_pFilterDescriptor);
  freeBlock(m_pPins);
  freeBlock(m_pNodes);
  freeBlock(m_pConnections);
  freeBlock(m_pPinNames);
  freeBlock(m_pNodeNames);
  m_nConnectionCount = m_nConnectionCapacity = 0;
  for (ULONG i = 0; m_pNodeEntries && i < m_nNodeCount; ++i)
    if (m_pNodeEntries[i].entity) m_pNodeEntries[i].entity->Release();
  for (ULONG i = 0; m_pPinEntries && i < m_nPinCount; ++i)
    if (m_pPinEntries[i].entity) m_pPinEntries[i].entity->Release();
  freeBlock(m_pNodeEntries);
  freeBlock(m_pPinEntries);
  m_nNodeCount = m_nPinCount = 0;
  freeBlock(m_pName);
  if (m_pAdapter) m_pAdapter->Release();
  m_pAdapter = nullptr;
}

STDMETHODIMP CMiniportTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology))
    return adapter::ReturnInterface<IMiniportTopology>(this, object);
  if (IsEqualGUID(iid, adapter::IID_IMiniportPinMap)) return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
  if (IsEqualGUID(iid, IID_IPowerNotify)) return adapter::ReturnInterface<IPowerNotify>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

CMiniportTopology* CMiniportTopology::FromTarget(PUNKNOWN MajorTarget) {
  // The port hands its handlers the IMiniport it queried, the head of this object's
  // IMiniportTopology.
  if (!MajorTarget) return nullptr;
  return static_cast<CMiniportTopology*>(static_cast<IMiniportTopology*>(static_cast<IMiniport*>(MajorTarget)));
}

STDMETHODIMP CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  if (!Description) return STATUS_INVALID_PARAMETER;
  *Description = m_pFilterDescriptor;
  return m_pFilterDescriptor ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

STDMETHODIMP CMiniportTopology::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST, PPORTTOPOLOGY Port) {
  if (!Port || !UnknownAdapter) return STATUS_INVALID_PARAMETER;
  if (m_pFilterDescriptor || m_pPort) return STATUS_INVALID_DEVICE_REQUEST;  // initialised once
  m_pPort = Port;
  m_pPort->AddRef();
  PVOID itf = nullptr;
  NTSTATUS status = UnknownAdapter->QueryInterface(adapter::IID_IAudioHal, &itf);
  if (NT_SUCCESS(status) && !itf) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status)) {
    m_pAdapter = static_cast<adapter::IAudioHal*>(itf);
    status = BuildEntries();
  }
  if (NT_SUCCESS(status)) status = BuildDescriptor();
  if (NT_SUCCESS(status)) {
    m_pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kTopologyNameBytes, kTopologyPoolTag));
    status = m_pName ? RtlStringCbPrintfW(m_pName, kTopologyNameBytes, u"%s", kTopologySubdeviceName)
                     : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    itf = nullptr;
    status = m_pPort->QueryInterface(IID_IPortEvents, &itf);
    if (NT_SUCCESS(status)) m_pPortEvents = static_cast<PPORTEVENTS>(itf);
  }
  if (NT_SUCCESS(status))
    status = m_pAdapter->RegisterCallback(&CMiniportTopology::OnControlChange, this, &m_pCallbackRegistration);
  if (!NT_SUCCESS(status)) ReleaseAll();
  return status;
}

// Pins: every terminal entity (type 0 or 1) that answers ITerminalNode; streaming
// terminals (kind 0) go to the head, so the last one found is pin 0, the others to the
// tail in entity order. Nodes: every entity but terminals and clocks, each at the head,
// so nodes come in reverse entity order.
NTSTATUS CMiniportTopology::BuildEntries() {
  const ULONG count = m_pAdapter->GetEntityCount();
  m_pPinEntries = static_cast<PinEntry*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(PinEntry) * static_cast<SIZE_T>(count ? count : 1), kTopologyPoolTag));
  m_pNodeEntries = static_cast<NodeEntry*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(NodeEntry) * static_cast<SIZE_T>(count ? count : 1), kTopologyPoolTag));
  if (!m_pPinEntries || !m_pNodeEntries) return STATUS_INSUFFICIENT_RESOURCES;

  // Streaming terminals in the order found; later reversed in front of the others.
  ULONG streaming = 0;
  ULONG others = 0;
  PinEntry* scratch = m_pPinEntries;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    IUacEntity* entity = nullptr;
    status = m_pAdapter->GetEntity(i, &entity);
    if (!NT_SUCCESS(status)) break;
    const ULONG type = entity->GetType();
    if (type == adapter::NODE_INPUT_TERMINAL || type == adapter::NODE_OUTPUT_TERMINAL) {
      ScopedRelease<adapter::ITerminalNode> terminal;
      if (!NT_SUCCESS(entity->QueryInterface(adapter::IID_ITerminalNode, terminal.out())) || !terminal.get()) continue;
      ULONG kind = 0;
      status = terminal->GetKind(&kind);
      if (!NT_SUCCESS(status)) break;
      entity->AddRef();
      PinEntry entry{entity, entity->GetId(), type, kind};
      // The others are collected from the end of the array backwards, then turned round.
      if (kind == adapter::ENDPOINT_STREAM) scratch[streaming++] = entry;
      else scratch[count - 1 - others++] = entry;
    } else if (type != adapter::NODE_CLOCK_RATE) {
      entity->AddRef();
      m_pNodeEntries[m_nNodeCount++] = NodeEntry{entity, entity->GetId(), type};
    }
  }
  // Pin order: streaming terminals last found first, then the others in entity order.
  Reverse(scratch, streaming);
  Reverse(scratch + (count - others), others);
  if (others) std::memmove(scratch + streaming, scratch + (count - others), sizeof(PinEntry) * others);
  m_nPinCount = streaming + others;
  Reverse(m_pNodeEntries, m_nNodeCount);
  return status;
}

STDMETHODIMP_(void) CMiniportTopology::PowerChangeNotify(POWER_STATE PowerState) {
  const DEVICE_POWER_STATE state = PowerState.DeviceState;
  if (state >= PowerDeviceD0 && state <= PowerDeviceD3 && state != m_DevicePowerState) m_DevicePowerState = state;
}

STDMETHODIMP CMiniportTopology::MapPin(ULONG EntityId, PULONG Result) {
  if (!Result) return STATUS_INVALID_PARAMETER;
  ULONG pin = 0;
  if (!FindPin(EntityId, &pin)) return STATUS_UNSUCCESSFUL;
  *Result = pin;
  return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportTopology::GetSubdeviceName(PWSTR* Name) {
  if (!Name) return STATUS_INVALID_PARAMETER;
  if (!m_pName) return STATUS_UNSUCCESSFUL;
  *Name = m_pName;
  return STATUS_SUCCESS;
}

bool CMiniportTopology::FindNode(ULONG EntityId, PULONG Node) const {
  for (ULONG i = 0; i < m_nNodeCount; ++i) {
    if (m_pNodeEntries[i].id == EntityId) {
      *Node = i;
      return true;
    }
  }
  return false;
}

bool CMiniportTopology::FindPin(ULONG EntityId, PULONG Pin) const {
  for (ULONG i = 0; i < m_nPinCount; ++i) {
    if (m_pPinEntries[i].id == EntityId) {
      *Pin = i;
      return true;
    }
  }
  return false;
}

IUacEntity* CMiniportTopology::GetPinEntity(ULONG Pin) const {
  return Pin < m_nPinCount ? m_pPinEntries[Pin].entity : nullptr;
}

IUacEntity* CMiniportTopology::GetNodeEntity(ULONG Node) const {
  return Node < m_nNodeCount ? m_pNodeEntries[Node].entity : nullptr;
}

ULONG CMiniportTopology::GetNodeType(ULONG Node) const {
  return Node < m_nNodeCount ? m_pNodeEntries[Node].type : 0xFFFFFFFFu;
}

void CMiniportTopology::GenerateControlChange(ULONG Node) {
  if (!m_pPortEvents || Node >= m_nNodeCount) return;
  GUID set = KSEVENTSETID_AudioControlChange;
  m_pPortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0xFFFFFFFFu, TRUE, Node);
}

NTSTATUS CMiniportTopology::AddEvent(PPCEVENT_ENTRY Entry) {
  if (!Entry || !m_pPortEvents) return STATUS_UNSUCCESSFUL;
  m_pPortEvents->AddEventToEventList(Entry);
  return STATUS_SUCCESS;
}

// Runs in the notifier's context (a status worker, a node switching its endpoint type),
// possibly at DISPATCH_LEVEL: it reads only the non-paged node entries, fixed after Init.
VOID CMiniportTopology::OnControlChange(PVOID Context, PVOID Argument1, PVOID) {
  auto* self = static_cast<CMiniportTopology*>(Context);
  const auto* record = static_cast<const uac::ControlChangeRecord*>(Argument1);
  if (!self || !record || record->Kind != 1 || record->Count != 1) return;
  if (record->NodeId > 0xFFFFFFFFull) return;
  ULONG node = 0;
  if (self->FindNode(static_cast<ULONG>(record->NodeId), &node)) self->GenerateControlChange(node);
}

NTSTATUS CreateMiniportTopology(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG) {
  if (!Unknown) return STATUS_INVALID_PARAMETER;
  *Unknown = nullptr;
  IMiniportTopology* miniport = nullptr;
  NTSTATUS status =
      adapter::CreateInstance<CMiniportTopology>(&miniport, OuterUnknown, PoolType, kTopologyPoolTag);
  if (!NT_SUCCESS(status)) return status;
  *Unknown = miniport;
  return STATUS_SUCCESS;
}

}  // namespace filters
