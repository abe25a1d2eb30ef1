#include "uac/uac_unit.h"

#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/uac1_units.h"

namespace uac {

namespace {

// Node types whose first source follows the node before them in a unit's chain.
bool IsChainedType(ULONG type) {
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 13:
    case 15:
    case 18:
    case 19:
    case 20:
    case 22:
    case 23:
      return true;
    default:
      return false;
  }
}

// Replaces the first source of an entity, keeping the others.
void SetFirstSource(adapter::IUacEntity* node, ULONG id) {
  ULONG count = 0;
  const ULONG* sources = nullptr;
  if (!NT_SUCCESS(node->GetSources(&count, &sources)) || count <= 1 || !sources) {
    node->SetSources(1, &id);
    return;
  }
  if (count > 255) return;
  ULONG copy[255];
  RtlCopyMemory(copy, sources, count * sizeof(ULONG));
  copy[0] = id;
  node->SetSources(count, copy);
}

}  // namespace

CUacUnit::CUacUnit(PUNKNOWN outerUnknown, ULONG id, ULONG type)
    : CUacEntity(outerUnknown, id, type),
      m_pDevice(nullptr),
      m_pDescriptor(nullptr),
      m_nDescriptorLength(0),
      m_pNodes(nullptr),
      m_pRefusal(nullptr) {}

CUacUnit::~CUacUnit() {
  ReleaseNodes();
  delete m_pNodes;
  if (m_pDescriptor) ExFreePoolWithTag(m_pDescriptor, kUnitPoolTag);
}

STDMETHODIMP CUacUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacUnit)) return adapter::ReturnInterface<IUacUnit>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUacUnit::InitUnit(const void* Descriptor, adapter::IUsbAudioDevice* Device, UCHAR Subtype, ULONG MinLength) {
  if (!Descriptor || !Device) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const UCHAR*>(Descriptor);
  if (bytes[0] < MinLength || bytes[0] < 3 || bytes[1] != kCsInterface || bytes[2] != Subtype)
    return Refuse(STATUS_INVALID_PARAMETER, "has a descriptor too short for its fields or of another kind");
  if (m_pDescriptor) return Refuse(STATUS_INVALID_PARAMETER, "was initialised twice");
  m_pDescriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes[0], kUnitPoolTag));
  if (!m_pDescriptor) return Refuse(STATUS_INSUFFICIENT_RESOURCES, "could not get memory for its descriptor");
  RtlCopyMemory(m_pDescriptor, bytes, bytes[0]);
  m_nDescriptorLength = bytes[0];
  m_pNodes = new (NonPagedPool, kUnitPoolTag) adapter::CPtrList;
  if (!m_pNodes) return Refuse(STATUS_INSUFFICIENT_RESOURCES, "could not get memory for its node list");
  m_pDevice = Device;
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::SendRequest(bool Vendor, bool Read, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length,
                               PULONG Transferred) {
  if (Transferred) *Transferred = 0;
  if (!m_pDevice) return STATUS_INVALID_DEVICE_STATE;
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  auto& r = urb.UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = Vendor ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = Read ? USBD_TRANSFER_DIRECTION_IN : 0;
  r.TransferBufferLength = Length;
  r.TransferBuffer = Buffer;
  r.Request = Request;
  r.Value = Value;
  r.Index = static_cast<USHORT>((m_nId & 0xFF) << 8 | m_pDevice->GetControlInterfaceNumber());
  NTSTATUS status = m_pDevice->SubmitUrbSync(&urb);
  if (NT_SUCCESS(status) && Transferred)
    *Transferred = r.TransferBufferLength < Length ? r.TransferBufferLength : Length;
  return status;
}

STDMETHODIMP CUacUnit::HandleStatusChange(ULONG, ULONG, PULONG) { return STATUS_SUCCESS; }

STDMETHODIMP_(ULONG) CUacUnit::GetNodeCount() { return m_pNodes ? m_pNodes->GetCount() : 0; }

STDMETHODIMP_(adapter::IUacEntity*) CUacUnit::GetNode(ULONG Index) {
  PVOID data = nullptr;
  if (!m_pNodes || !m_pNodes->GetAt(Index, &data)) return nullptr;
  return static_cast<adapter::IUacEntity*>(data);
}

STDMETHODIMP CUacUnit::GetOutputNodeId(PULONG Id) {
  PVOID data = nullptr;
  if (!Id || !m_pNodes || !m_pNodes->GetTail(&data) || !data) return STATUS_UNSUCCESSFUL;
  *Id = static_cast<adapter::IUacEntity*>(data)->GetId();
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::AddNode(adapter::IUacEntity* Node) {
  if (!Node || !m_pNodes) return STATUS_UNSUCCESSFUL;
  Node->AddRef();
  if (!m_pNodes->AddTail(Node)) {
    Node->Release();
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

void CUacUnit::ReleaseNodes() {
  PVOID data = nullptr;
  while (m_pNodes && m_pNodes->RemoveHead(&data)) static_cast<adapter::IUacEntity*>(data)->Release();
}

NTSTATUS CUacUnit::AddCreatedNode(adapter::CAudioHal* Function, adapter::IUacEntity* Node) {
  NTSTATUS status = Function->AddEntity(Node);
  if (NT_SUCCESS(status)) status = AddNode(Node);
  Node->Release();
  return NT_SUCCESS(status) ? status : Refuse(status, "could not list its control node");
}

void CUacUnit::LinkNodeChain() {
  adapter::IUacEntity* first = GetNode(0);
  if (!first) return;
  ULONG running = first->GetId();
  for (ULONG i = 1;; ++i) {
    adapter::IUacEntity* node = GetNode(i);
    if (!node) break;
    if (IsChainedType(node->GetType())) SetFirstSource(node, running);
    if (node->GetType() != adapter::NODE_OUTPUT_TERMINAL) running = node->GetId();
  }
}

STDMETHODIMP CUacUnit::SetInputSources(ULONG Count, const ULONG* Ids) {
  adapter::IUacEntity* first = GetNode(0);
  if (!first || !Ids || !Count) return STATUS_UNSUCCESSFUL;
  const ULONG type = first->GetType();
  if (type == adapter::NODE_SELECTOR || type == adapter::NODE_MIXER) {
    if (Count == first->GetSourceCount()) first->SetSources(Count, Ids);
  } else if (IsChainedType(type)) {
    SetFirstSource(first, Ids[0]);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CreateUac1Unit(UCHAR Subtype, ULONG Id, CUacUnit** Unit) {
  if (!Unit) return STATUS_INVALID_PARAMETER;
  *Unit = nullptr;
  adapter::IUacEntity* entity = nullptr;
  NTSTATUS status;
  switch (Subtype) {
    case UAC1_INPUT_TERMINAL:
      status = adapter::CreateInstance<CUac1InputTerminal>(&entity, nullptr, NonPagedPool, kUac1PoolTag, Id);
      break;
    case UAC1_OUTPUT_TERMINAL:
      status = adapter::CreateInstance<CUac1OutputTerminal>(&entity, nullptr, NonPagedPool, kUac1PoolTag, Id);
      break;
    case UAC1_MIXER_UNIT:
      status = adapter::CreateInstance<CUac1MixerUnit>(&entity, nullptr, NonPagedPool, kUac1PoolTag, Id);
      break;
    case UAC1_SELECTOR_UNIT:
      status = adapter::CreateInstance<CUac1SelectorUnit>(&entity, nullptr, NonPagedPool, kUac1PoolTag, Id);
      break;
    case UAC1_FEATURE_UNIT:
      status = adapter::CreateInstance<CUac1FeatureUnit>(&entity, nullptr, NonPagedPool, kUac1PoolTag, Id);
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) *Unit = static_cast<CUacUnit*>(entity);
  return status;
}

}  // namespace uac
