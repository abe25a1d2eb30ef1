#include "adapter/audio_hal.h"

#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "named_callback.h"

namespace adapter {
namespace {

template <class Interface>
void DeleteList(CRefList<Interface>*& list) {
  delete list;  // dropping every reference
  list = nullptr;
}

template <class Interface>
NTSTATUS AddWithReference(CRefList<Interface>* list, Interface* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (!list) return STATUS_UNSUCCESSFUL;
  return list->Add(object) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

template <class Interface>
NTSTATUS GetFromList(CRefList<Interface>* list, ULONG index, Interface** out) {
  if (!list) return STATUS_UNSUCCESSFUL;
  Interface* entry = out ? list->GetAt(index) : nullptr;
  if (!entry) return STATUS_INVALID_PARAMETER;
  *out = entry;
  return STATUS_SUCCESS;
}

}  // namespace

CAudioHal::CAudioHal(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown),
      m_pFdo(nullptr),
      m_pLowerDevice(nullptr),
      m_pPdo(nullptr),
      m_PowerState(PowerDeviceUnspecified),
      m_pCallbackObject(nullptr),
      m_pEntityList(nullptr),
      m_pEngineList(nullptr),
      m_CapabilityRecord{} {}

CAudioHal::~CAudioHal() {
  ReleaseLists();
  if (m_pCallbackObject) ObDereferenceObject(m_pCallbackObject);
}

void CAudioHal::ReleaseLists() {
  DeleteList(m_pEntityList);
  DeleteList(m_pEngineList);
}

STDMETHODIMP CAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IAudioHal)) return ReturnInterface<IAudioHal>(this, object);
  if (object && IsEqualGUID(iid, IID_IAdapterPowerManagement))
    return ReturnInterface<IAdapterPowerManagement>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CAudioHal::GetEngineCapabilityRecord(ULONG, EndpointCapabilityRecord* Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  *Record = m_CapabilityRecord;
  return STATUS_SUCCESS;
}

STDMETHODIMP CAudioHal::GetCapabilityRecord(ULONG, ULONG, EndpointCapabilityRecord* Record) {
  return GetEngineCapabilityRecord(0, Record);
}

STDMETHODIMP_(ULONG) CAudioHal::GetEngineCount() { return m_pEngineList ? m_pEngineList->GetCount() : 0; }
STDMETHODIMP_(ULONG) CAudioHal::GetEntityCount() { return m_pEntityList ? m_pEntityList->GetCount() : 0; }

STDMETHODIMP CAudioHal::GetEngine(ULONG Index, IStreamEngine** Engine) {
  return GetFromList(m_pEngineList, Index, Engine);
}

STDMETHODIMP CAudioHal::GetEntity(ULONG Index, IUacEntity** Entity) {
  return GetFromList(m_pEntityList, Index, Entity);
}

NTSTATUS CAudioHal::AddEntity(IUacEntity* Entity) { return AddWithReference(m_pEntityList, Entity); }
NTSTATUS CAudioHal::AddStreamEngine(IStreamEngine* Engine) { return AddWithReference(m_pEngineList, Engine); }

NTSTATUS CAudioHal::FindEntityById(ULONG Id, IUacEntity** Entity) {
  if (!Entity) return STATUS_INVALID_PARAMETER;
  *Entity = nullptr;
  if (!m_pEntityList) return STATUS_UNSUCCESSFUL;
  for (IUacEntity* entity : *m_pEntityList)
    if (entity->GetId() == Id) *Entity = entity;
  return *Entity ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP CAudioHal::Init(PRESOURCELIST, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice, PDEVICE_OBJECT Pdo) {
  if (m_pEntityList || m_pEngineList) return STATUS_INVALID_DEVICE_STATE;  // initialised once
  m_pEntityList = new (NonPagedPool, kAudioHalPoolTag) CRefList<IUacEntity>;
  m_pEngineList = new (NonPagedPool, kAudioHalPoolTag) CRefList<IStreamEngine>;
  if (!m_pEntityList || !m_pEngineList) {
    ReleaseLists();
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kCallbackNameBytes, kTempPoolTag));
  if (name) {
    if (!m_pCallbackObject) {
      status = CreateNamedCallback(u"\\Callback\\AudioHalAddr%p", this, name, kCallbackNameBytes, &m_pCallbackObject);
      if (!NT_SUCCESS(status)) m_pCallbackObject = nullptr;
    } else {
      status = STATUS_SUCCESS;
    }
  }
  if (NT_SUCCESS(status)) {
    m_pFdo = Fdo;
    m_pLowerDevice = LowerDevice;
    m_pPdo = Pdo;
    m_PowerState = PowerDeviceD0;
    status = ProbeDevice();
    if (NT_SUCCESS(status)) status = BuildTopology();
  }
  if (!NT_SUCCESS(status)) ReleaseLists();
  if (name) ExFreePoolWithTag(name, kTempPoolTag);
  return status;
}

STDMETHODIMP CAudioHal::StartEntities() {
  if (!m_pEntityList) return STATUS_SUCCESS;
  for (IUacEntity* entity : *m_pEntityList) entity->Start();
  return STATUS_SUCCESS;
}

STDMETHODIMP CAudioHal::StopEntities() {
  if (!m_pEntityList) return STATUS_SUCCESS;
  for (IUacEntity* entity : *m_pEntityList) entity->Stop();
  return STATUS_SUCCESS;
}

STDMETHODIMP CAudioHal::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) {
  if (!m_pCallbackObject || !Registration) return STATUS_UNSUCCESSFUL;
  // A registration without a function would be called through null at the first
  // notification: it is not made.
  *Registration = Callback ? ExRegisterCallback(m_pCallbackObject, Callback, Context) : nullptr;
  return *Registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP CAudioHal::UnregisterCallback(PVOID Registration) {
  // Nothing registered, nothing to undo: unregistering always succeeds.
  if (Registration) ExUnregisterCallback(Registration);
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::RestoreEntities() {
  if (!m_pEntityList) return STATUS_SUCCESS;
  for (IUacEntity* entity : *m_pEntityList) {
    NTSTATUS status = entity->RestoreToDevice();
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Links every node on the single-source chain upstream of one selector input to the
// selector, the farthest first. Graphs come from the device: the chain is followed at
// most kMaxGraphDepth entities and never through an entity twice, so a cycle ends it.
NTSTATUS CAudioHal::LinkSelectorInput(ISelectorNode* Selector, ULONG Input, ULONG SourceId) {
  IUacEntity* chain[kMaxGraphDepth];
  ULONG length = 0;
  IUacEntity* entity = nullptr;
  if (!NT_SUCCESS(FindEntityById(SourceId, &entity))) return STATUS_SUCCESS;
  while (entity && length < kMaxGraphDepth) {
    bool seen = false;
    for (ULONG i = 0; i < length && !seen; ++i) seen = chain[i] == entity;
    if (seen) {
      DbgPrint("CAudioHal::BuildTopology cycle above selector input %u at entity %u\n", Input, entity->GetId());
      break;
    }
    chain[length++] = entity;
    ULONG count = 0;
    const ULONG* sources = nullptr;
    if (!NT_SUCCESS(entity->GetSources(&count, &sources)) || count != 1 || !sources) break;
    if (!NT_SUCCESS(FindEntityById(sources[0], &entity))) break;
    if (length == kMaxGraphDepth)
      DbgPrint("CAudioHal::BuildTopology selector input %u deeper than %u entities\n", Input, kMaxGraphDepth);
  }

  for (ULONG i = length; i-- > 0;) {
    ULONG selection = 0;
    NTSTATUS status = Selector->GetSelected(&selection);
    if (!NT_SUCCESS(status)) return status;
    IStreamLink* link = nullptr;
    if (!NT_SUCCESS(chain[i]->QueryInterface(IID_IStreamLink, reinterpret_cast<PVOID*>(&link)))) continue;
    status = Selector->AddInput(link);
    if (NT_SUCCESS(status)) status = link->SetPinIndex(Input);
    if (NT_SUCCESS(status)) status = link->SetDirection(selection);
    link->Release();
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void CAudioHal::LinkEngines() {
  if (!m_pEngineList) return;
  for (IStreamEngine* engine : *m_pEngineList) {
    const ULONG direction = engine->GetDirection();
    const ULONG nodes = engine->GetNodeCount();
    for (ULONG i = 0; i < nodes; ++i) {
      IUacEntity* node = nullptr;
      if (!NT_SUCCESS(engine->GetNode(i, &node))) continue;
      if (direction == STREAM_DIRECTION_CAPTURE) {
        ICaptureSwitchNode* link = nullptr;
        if (NT_SUCCESS(node->QueryInterface(IID_ICaptureSwitchNode, reinterpret_cast<PVOID*>(&link))) ||
            NT_SUCCESS(node->QueryInterface(IID_ICaptureVendorSwitchNode, reinterpret_cast<PVOID*>(&link)))) {
          link->SetStreamEngine(engine);
          link->Release();
        }
      } else if (direction == STREAM_DIRECTION_RENDER) {
        IRenderLink* link = nullptr;
        if (NT_SUCCESS(node->QueryInterface(IID_IRenderLink, reinterpret_cast<PVOID*>(&link)))) {
          link->SetRenderLink(0);
          link->Release();
        }
      }
    }
  }
}

STDMETHODIMP CAudioHal::BuildTopology() {
  if (!m_pEntityList) return STATUS_UNSUCCESSFUL;
  for (IUacEntity* entity : *m_pEntityList) {
    if (entity->GetType() != NODE_SELECTOR || entity->GetSourceCount() > kMaxLinkedSelectorInputs) continue;
    ISelectorNode* selector = nullptr;
    if (!NT_SUCCESS(entity->QueryInterface(IID_ISelectorNode, reinterpret_cast<PVOID*>(&selector)))) continue;
    ULONG count = 0;
    const ULONG* sources = nullptr;
    NTSTATUS status = entity->GetSources(&count, &sources);
    for (ULONG input = 1; NT_SUCCESS(status) && sources && input <= count; ++input)
      status = LinkSelectorInput(selector, input, sources[input - 1]);
    selector->Release();
    if (!NT_SUCCESS(status)) return status;
  }
  LinkEngines();
  return RestoreEntities();
}

STDMETHODIMP_(void) CAudioHal::PowerChangeState(POWER_STATE NewState) {
  // Read as a number: a value outside the enumeration must not be loaded as one.
  ULONG state = 0;
  static_assert(sizeof(NewState) == sizeof(state));
  RtlCopyMemory(&state, &NewState, sizeof state);
  if (state == static_cast<ULONG>(m_PowerState)) return;
  if (state == PowerDeviceD0) {
    RestoreEntities();  // back to D0 whatever the device took
    m_PowerState = PowerDeviceD0;
  } else if (state >= PowerDeviceD1 && state <= PowerDeviceD3) {
    m_PowerState = static_cast<DEVICE_POWER_STATE>(state);
  }
}

STDMETHODIMP CAudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES Capabilities) {
  if (!Capabilities) return STATUS_INVALID_PARAMETER;
  Capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

}  // namespace adapter
