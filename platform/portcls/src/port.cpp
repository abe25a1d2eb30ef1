// The port base shared by the WaveCyclic and topology ports: miniport initialisation,
// the event list of IPortEvents, the version, unregistration and power notification.
#include <atomic>
#include <cstring>

#include "private.h"

namespace platform::portcls {

namespace {
DWORD g_version = kVersionWindowsLonghorn;
}

// The version IPortClsVersion reports (a platform setting, so tests can age the system).
void SetPortClsVersion(DWORD version) { g_version = version; }

std::atomic<ULONG> g_failedUnregistrations{0};

void FailSubdeviceUnregistrations(ULONG count) { g_failedUnregistrations = count; }

CPortBase::CPortBase(PUNKNOWN outer) : CUnknown(outer) { InitializeListHead(&m_EventList); }

CPortBase::~CPortBase() {
  ReleaseChildren();
  RegistryForgetPort(this);
  std::lock_guard<std::mutex> guard(m_EventLock);
  while (!IsListEmpty(&m_EventList)) {
    PKSEVENT_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&m_EventList), KSEVENT_ENTRY, ListEntry);
    entry->InList = FALSE;
  }
}

NTSTATUS CPortBase::QueryCommon(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *object = NonDelegatingUnknown();
  } else if (IsEqualGUID(iid, IID_IPortEvents)) {
    *object = static_cast<IPortEvents*>(this);
  } else if (IsEqualGUID(iid, IID_IPortClsVersion)) {
    *object = static_cast<IPortClsVersion*>(this);
  } else if (IsEqualGUID(iid, IID_IUnregisterSubdevice)) {
    *object = static_cast<IUnregisterSubdevice*>(this);
  } else if (IsEqualGUID(iid, IID_IUnregisterPhysicalConnection)) {
    *object = static_cast<IUnregisterPhysicalConnection*>(this);
  } else if (IsEqualGUID(iid, IID_IPortClsSubdevice)) {
    *object = static_cast<CPortBase*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

CPortBase* PortFromUnknown(PUNKNOWN unknown) {
  if (!unknown) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(unknown->QueryInterface(IID_IPortClsSubdevice, &object)) || !object) return nullptr;
  return static_cast<CPortBase*>(object);
}

NTSTATUS CPortBase::InitCommon(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                               PRESOURCELIST ResourceList,
                               const std::function<NTSTATUS(PUNKNOWN, PUNKNOWN, PRESOURCELIST)>& initMiniport) {
  if (!DeviceObject || !UnknownMiniport) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> guard(m_StateLock);
    if (m_Descriptor || m_Initializing || m_Miniport) return STATUS_INVALID_DEVICE_REQUEST;
    m_Initializing = true;
  }
  m_DeviceObject = DeviceObject;

  PVOID miniport = nullptr;
  NTSTATUS status = UnknownMiniport->QueryInterface(IID_IMiniport, &miniport);
  if (!NT_SUCCESS(status) || !miniport) {
    m_Initializing = false;
    return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
  }
  m_Miniport = static_cast<PMINIPORT>(miniport);

  status = initMiniport(UnknownMiniport, UnknownAdapter, ResourceList);
  PPCFILTER_DESCRIPTOR descriptor = nullptr;
  if (NT_SUCCESS(status)) status = static_cast<PMINIPORT>(m_Miniport)->GetDescription(&descriptor);
  if (NT_SUCCESS(status) && !descriptor) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status)) {
    // Counts without their arrays cannot be served.
    if ((descriptor->PinCount && !descriptor->Pins) || (descriptor->NodeCount && !descriptor->Nodes) ||
        (descriptor->ConnectionCount && !descriptor->Connections) ||
        (descriptor->CategoryCount && !descriptor->Categories) ||
        (descriptor->PinSize && descriptor->PinSize < sizeof(PCPIN_DESCRIPTOR)) ||
        (descriptor->NodeSize && descriptor->NodeSize < sizeof(PCNODE_DESCRIPTOR)))
      status = STATUS_INVALID_PARAMETER;
  }
  if (!NT_SUCCESS(status)) {
    // The miniport is let go: its Init may hold this port, and releasing it breaks that.
    PUNKNOWN m = m_Miniport;
    m_Miniport = nullptr;
    m->Release();
    m_Initializing = false;
    m_DeviceObject = nullptr;
    return status;
  }

  PVOID object = nullptr;
  if (NT_SUCCESS(UnknownMiniport->QueryInterface(IID_IPowerNotify, &object))) m_PowerNotify = static_cast<PPOWERNOTIFY>(object);
  object = nullptr;
  if (NT_SUCCESS(UnknownMiniport->QueryInterface(IID_IMiniportAudioSignalProcessing, &object)))
    m_SignalProcessing = static_cast<PMINIPORTAUDIOSIGNALPROCESSING>(object);

  std::lock_guard<std::mutex> guard(m_StateLock);
  m_PinInstances.assign(descriptor->PinCount, 0);
  m_Descriptor = descriptor;
  m_Initializing = false;
  return STATUS_SUCCESS;
}

void CPortBase::ReleaseChildren() {
  PUNKNOWN miniport = nullptr;
  PPOWERNOTIFY power = nullptr;
  PMINIPORTAUDIOSIGNALPROCESSING processing = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_StateLock);
    miniport = m_Miniport;
    power = m_PowerNotify;
    processing = m_SignalProcessing;
    m_Miniport = nullptr;
    m_PowerNotify = nullptr;
    m_SignalProcessing = nullptr;
    m_Descriptor = nullptr;
  }
  if (processing) processing->Release();
  if (power) power->Release();
  if (miniport) miniport->Release();
}

void CPortBase::SubdeviceUnregistered() {
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(m_StateLock);
    m_Unregistered = true;
    release = m_OpenFilters == 0;
  }
  if (release) ReleaseChildren();
}

void CPortBase::FilterOpened() {
  std::lock_guard<std::mutex> guard(m_StateLock);
  ++m_OpenFilters;
}

void CPortBase::FilterClosed() {
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(m_StateLock);
    --m_OpenFilters;
    release = m_OpenFilters == 0 && m_Unregistered;
  }
  if (release) ReleaseChildren();
}

bool CPortBase::TryAddPinInstance(ULONG pinId) {
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(m_Descriptor, pinId);
  std::lock_guard<std::mutex> guard(m_StateLock);
  if (!pin || pinId >= m_PinInstances.size()) return false;
  if (m_PinInstances[pinId] >= pin->MaxGlobalInstanceCount) return false;
  ++m_PinInstances[pinId];
  return true;
}

void CPortBase::RemovePinInstance(ULONG pinId) {
  std::lock_guard<std::mutex> guard(m_StateLock);
  if (pinId < m_PinInstances.size() && m_PinInstances[pinId]) --m_PinInstances[pinId];
}

ULONG CPortBase::PinInstances(ULONG pinId) {
  std::lock_guard<std::mutex> guard(m_StateLock);
  return pinId < m_PinInstances.size() ? m_PinInstances[pinId] : 0;
}

NTSTATUS CPortBase::NewPin(FilterInstance*, ULONG, const KSDATAFORMAT*, ULONG, bool, std::unique_ptr<PinObject>*) {
  return STATUS_INVALID_DEVICE_REQUEST;
}

void CPortBase::PowerChangeNotify(POWER_STATE state) {
  PPOWERNOTIFY power = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_StateLock);
    power = m_PowerNotify;
    if (power) power->AddRef();
  }
  if (!power) return;
  power->PowerChangeNotify(state);
  power->Release();
}

STDMETHODIMP_(void) CPortBase::AddEventToEventList(PKSEVENT_ENTRY EventEntry) {
  if (!EventEntry) return;
  std::lock_guard<std::mutex> guard(m_EventLock);
  if (EventEntry->InList) return;
  InsertTailList(&m_EventList, &EventEntry->ListEntry);
  EventEntry->InList = TRUE;
}

STDMETHODIMP_(void) CPortBase::GenerateEventList(GUID* Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId,
                                                 BOOLEAN NodeEvent, ULONG NodeId) {
  std::vector<std::pair<std::shared_ptr<EventDelivery>, EventDelivery::Callback>> signalled;
  {
    std::lock_guard<std::mutex> guard(m_EventLock);
    for (PLIST_ENTRY link = m_EventList.Flink; link != &m_EventList;) {
      PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, ListEntry);
      link = link->Flink;
      if (Set && !IsEqualGUID(*Set, entry->Set)) continue;
      if (entry->EventId != EventId) continue;
      if (PinEvent && PinId != kNoNode && entry->PinId != PinId) continue;
      // Without NodeEvent (or PinEvent) the event is signalled whatever node (pin) it
      // was enabled on.
      if (NodeEvent && NodeId != kNoNode && (!entry->NodeEvent || entry->NodeId != NodeId)) continue;
      signalled.emplace_back(entry->Delivery, entry->Callback);
      if (entry->Flags & KSEVENT_TYPE_ONESHOT) {
        RemoveEntryList(&entry->ListEntry);
        entry->InList = FALSE;
      }
    }
  }
  // The clients run their callbacks later, at PASSIVE_LEVEL, never inside this call.
  for (auto& [delivery, callback] : signalled)
    if (delivery) delivery->Post(callback);
}

void CPortBase::RemoveEvent(PKSEVENT_ENTRY entry) {
  std::lock_guard<std::mutex> guard(m_EventLock);
  if (!entry->InList) return;
  RemoveEntryList(&entry->ListEntry);
  entry->InList = FALSE;
}

STDMETHODIMP_(DWORD) CPortBase::GetVersion() { return g_version; }

STDMETHODIMP CPortBase::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) {
  if (!DeviceObject || !Unknown) return STATUS_INVALID_PARAMETER;
  CPortBase* port = PortFromUnknown(Unknown);
  if (!port) return STATUS_INVALID_PARAMETER;
  for (ULONG left = g_failedUnregistrations.load(); left;)
    if (g_failedUnregistrations.compare_exchange_weak(left, left - 1)) {
      port->ReleasePort();
      return STATUS_UNSUCCESSFUL;
    }
  NTSTATUS status = RegistryRemoveSubdevice(DeviceObject, port);
  port->ReleasePort();
  return status;
}

STDMETHODIMP CPortBase::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                     ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) {
  if (!FromUnknown || !ToUnknown) return STATUS_INVALID_PARAMETER;
  return ApplyPhysicalConnection(RegistryRemoveConnection, DeviceObject, FromUnknown, nullptr, FromPin,
                                 ToUnknown, nullptr, ToPin);
}

STDMETHODIMP CPortBase::UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                               ULONG FromPin, PUNICODE_STRING ToString,
                                                               ULONG ToPin) {
  if (!FromUnknown || !ToString) return STATUS_INVALID_PARAMETER;
  return ApplyPhysicalConnection(RegistryRemoveConnection, DeviceObject, FromUnknown, nullptr, FromPin,
                                 nullptr, ToString, ToPin);
}

STDMETHODIMP CPortBase::UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject,
                                                                 PUNICODE_STRING FromString, ULONG FromPin,
                                                                 PUNKNOWN ToUnknown, ULONG ToPin) {
  if (!FromString || !ToUnknown) return STATUS_INVALID_PARAMETER;
  return ApplyPhysicalConnection(RegistryRemoveConnection, DeviceObject, nullptr, FromString, FromPin,
                                 ToUnknown, nullptr, ToPin);
}

NTSTATUS CPortBase::GetDevicePropertyCommon(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                                            PULONG result) {
  if (!m_DeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
  return PcGetDeviceProperty(m_DeviceObject, property, length, buffer, result);
}

NTSTATUS CPortBase::NewRegistryKeyCommon(PREGISTRYKEY* key, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                                         POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition) {
  if (!m_DeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
  return PcNewRegistryKey(key, outer, type, access, m_DeviceObject, static_cast<IPortEvents*>(this), attributes,
                          options, disposition);
}

// ---------------------------------------------------------------------------------------
// The topology port

namespace {

class CPortTopology final : public CPortBase, public IPortTopology {
 public:
  explicit CPortTopology(PUNKNOWN outer) : CPortBase(outer) {}
  DECLARE_STD_UNKNOWN();

  STDMETHODIMP Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                    PRESOURCELIST ResourceList) override {
    return InitCommon(DeviceObject, UnknownMiniport, UnknownAdapter, ResourceList,
                      [this](PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) {
                        return InitMiniportAs<IMiniportTopology>(IID_IMiniportTopology, miniport, adapter,
                                                               resources, this);
                      });
  }
  STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                 PVOID PropertyBuffer, PULONG ResultLength) override {
    return GetDevicePropertyCommon(DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
  }
  STDMETHODIMP NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                              ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                              PULONG Disposition) override {
    return NewRegistryKeyCommon(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess, ObjectAttributes,
                                CreateOptions, Disposition);
  }
};

STDMETHODIMP CPortTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortTopology)) {
    *object = static_cast<IPortTopology*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return QueryCommon(iid, object);
}

}  // namespace

NTSTATUS NewWaveCyclicPort(PPORT* port);

}  // namespace platform::portcls

using namespace platform::portcls;

NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
  if (!OutPort) return STATUS_INVALID_PARAMETER;
  *OutPort = nullptr;
  if (IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) return NewWaveCyclicPort(OutPort);
  if (!IsEqualGUID(ClassId, CLSID_PortTopology)) return STATUS_NOT_SUPPORTED;
  auto* port = new (NonPagedPool, kPortClsTag) CPortTopology(nullptr);
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  port->AddRefPort();
  *OutPort = static_cast<IPortTopology*>(port);
  return STATUS_SUCCESS;
}
