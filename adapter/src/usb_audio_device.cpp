// The root USB device object: interfaces, start-up, the probe and the release.
#include "adapter/usb_audio_device.h"

#include "adapter/asio_streams.h"

#include "adapter/device_quirks.h"
#include "adapter/ini_file.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "kernel/ke.h"
#include "portcls/ksmedia.h"

namespace adapter {
namespace {

constexpr ULONG kDeviceStringBytes = 256;
constexpr ULONG kMaxDeviceStringChars = 49;
constexpr UCHAR kAsioSampleTypes[] = {16, 17, 18, 24, 25, 26, 27};

// Reads a 4-byte Settings value into *value when it is present; the caller's default
// stays otherwise.
NTSTATUS ReadSettingsUlong(PDEVICE_OBJECT fdo, PCWSTR name, ULONG* value) {
  ULONG v = *value;
  NTSTATUS status = SettingsBinaryValue(fdo, SETTINGS_READ, &v, sizeof v, name);
  if (NT_SUCCESS(status)) *value = v;
  return status;
}

}  // namespace

bool IsAsioSampleType(ULONG type) {
  for (UCHAR t : kAsioSampleTypes)
    if (t == type) return true;
  return false;
}

NTSTATUS CreateUsbAudioDevice(IAudioHal** AudioHal) {
  return CreateInstance<CUsbAudioDevice, IAudioHal>(AudioHal, nullptr, NonPagedPool, kUsbAudioDeviceTag);
}

CUsbAudioDevice::CUsbAudioDevice(PUNKNOWN outerUnknown)
    : CAudioHal(outerUnknown),
      m_pConfiguration(nullptr),
      m_hConfiguration(nullptr),
      m_ppInterfaces(nullptr),
      m_nInterfaceCopies(0),
      m_pFunction(nullptr),
      m_pFunctionHal(nullptr),
      m_pFunctionPower(nullptr),
      m_pFunctionControl(nullptr),
      m_VendorId(0),
      m_ProductId(0),
      m_nQuirks(0),
      m_nAsioModelSampleType(0),
      m_iManufacturer(0),
      m_iProduct(0),
      m_nInterfaces(0),
      m_bPresent(0),
      m_nControlInterface(0),
      m_bHighSpeed(0),
      m_BusInterface{},
      m_nIrpStackSize(0),
      m_nAsioSampleType(kAsioDefaultSampleType),
      m_nAsioLatencyIndex(kAsioDefaultLatencyIndex),
      m_nAsioSampleRate(kAsioDefaultSampleRate),
      m_pAsio(nullptr),
      m_pAsioChannels(nullptr),
      m_nAsioChannels(0),
      m_AsioLock(0),
      m_AsioClients{},
      m_pAsioOwner(nullptr),
      m_nAsioInUse(0),
      m_nAsioBytesPerSample(0),
      m_nAsioPeriodFrames(0),
      m_pAsioPeriodEvent(nullptr),
      m_bAsioGone(false),
      m_lPortCycled(0),
      m_IdleLock(0),
      m_lIdleIrpReferences(0),
      m_pIdleCallbackInfo(nullptr),
      m_pIdleIrp(nullptr),
      m_lIdlePending(0),
      m_lWorkItems(0),
      m_lIdleWorkQueued(0),
      m_lIdleRequestsSent(0),
      m_lStopping(0),
      m_bAsioStreaming(false),
      m_bAsioSuspendedByPower(false),
      m_pParkedStopIrp(nullptr),
      m_lRequestsInProgress(1),
      m_lActivity(0),
      m_bSelectiveSuspend(0),
      m_bIdleObjects(false),
      m_bTimerResolution(false) {
  KeInitializeSpinLock(&m_AsioLock);
  InitializeListHead(&m_AsioClients);
}

CUsbAudioDevice::~CUsbAudioDevice() {
  // Selective suspend goes first and completely, while the function still exists: an
  // idle completion may still ask for D0 (which reaches the function), and no completion,
  // DPC or work item may touch the device once it is gone.
  if (m_bIdleObjects) {
    InterlockedExchange(&m_lStopping, 1);
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&m_pIdleIrp), nullptr));
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (irp) {
      IoCancelIrp(irp);
      if (InterlockedDecrement(&m_lIdleIrpReferences) == 0) {
        IoFreeIrp(irp);
        KeSetEvent(&m_IdleIrpDone, IO_NO_INCREMENT, FALSE);
      }
    }
    KeWaitForSingleObject(&m_IdleIrpDone, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&m_D0RequestDone, Executive, KernelMode, FALSE, nullptr);
    KeCancelTimer(&m_IdleTimer);
    KeFlushQueuedDpcs();
    KeWaitForSingleObject(&m_WorkItemDone, Executive, KernelMode, FALSE, nullptr);
  }
  // Nobody returns the device to D0 now: a parked Stop ends with it, and every client
  // still open goes (with its buffers and the references to its events).
  AbandonParkedStop(nullptr, STATUS_CANCELLED);
  // A cancel routine under way still holds the slot until it has let go of the device.
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioLock, &irql);
    const bool busy = m_pParkedStopIrp != nullptr;
    KeReleaseSpinLock(&m_AsioLock, irql);
    if (!busy) break;
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
  m_AsioPowerMutex.Lock();
  while (!IsListEmpty(&m_AsioClients))
    FreeAsioClient(CONTAINING_RECORD(m_AsioClients.Flink, AsioClient, Link));
  m_AsioPowerMutex.Unlock();
  // ASIO streams leave their engines before the function takes the engines away.
  delete m_pAsio;
  m_pAsio = nullptr;
  if (m_pFunction) {
    m_pFunctionHal = nullptr;
    m_pFunctionPower = nullptr;
    m_pFunctionControl = nullptr;
    m_pFunction->Release();
    m_pFunction = nullptr;
  }
  for (ULONG i = 0; i < m_nInterfaceCopies; ++i) ExFreePoolWithTag(m_ppInterfaces[i], kUsbDeviceBufferTag);
  if (m_ppInterfaces) ExFreePoolWithTag(m_ppInterfaces, kUsbDeviceBufferTag);
  if (m_pConfiguration) ExFreePoolWithTag(m_pConfiguration, kUsbDeviceBufferTag);
  // The bus driver counts the references it handed out with the interface.
  if (m_BusInterface.InterfaceDereference) m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
  ReleaseTimerResolution();
}

STDMETHODIMP CUsbAudioDevice::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAudioHal))
    return ReturnInterface<IAudioHal>(this, object);
  if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) return ReturnInterface<IAdapterPowerManagement>(this, object);
  if (IsEqualGUID(iid, IID_IUsbAudioDevice)) return ReturnInterface<IUsbAudioDevice>(this, object);
  if (IsEqualGUID(iid, IID_IUacFunction) && m_pFunctionControl)
    return ReturnInterface<IUacFunction>(m_pFunctionControl, object);
  if (IsEqualGUID(iid, IID_IUacFunctionDescription) && m_pFunction) return m_pFunction->QueryInterface(iid, object);
  if (IsEqualGUID(iid, IID_IAsioPrivate)) return ReturnInterface<IAsioPrivate>(this, object);
  return STATUS_INVALID_PARAMETER;
}

// --- IAudioHal slots answered by the function.

STDMETHODIMP CUsbAudioDevice::GetEngineCapabilityRecord(ULONG Index, EndpointCapabilityRecord* Record) {
  return m_pFunctionHal ? m_pFunctionHal->GetEngineCapabilityRecord(Index, Record)
                        : CAudioHal::GetEngineCapabilityRecord(Index, Record);
}
STDMETHODIMP_(ULONG) CUsbAudioDevice::GetEngineCount() {
  return m_pFunctionHal ? m_pFunctionHal->GetEngineCount() : CAudioHal::GetEngineCount();
}
STDMETHODIMP CUsbAudioDevice::GetEngine(ULONG Index, IStreamEngine** Engine) {
  return m_pFunctionHal ? m_pFunctionHal->GetEngine(Index, Engine) : CAudioHal::GetEngine(Index, Engine);
}
STDMETHODIMP_(ULONG) CUsbAudioDevice::GetEntityCount() {
  return m_pFunctionHal ? m_pFunctionHal->GetEntityCount() : CAudioHal::GetEntityCount();
}
STDMETHODIMP CUsbAudioDevice::GetEntity(ULONG Index, IUacEntity** Entity) {
  return m_pFunctionHal ? m_pFunctionHal->GetEntity(Index, Entity) : CAudioHal::GetEntity(Index, Entity);
}
STDMETHODIMP CUsbAudioDevice::StartEntities() {
  return m_pFunctionHal ? m_pFunctionHal->StartEntities() : CAudioHal::StartEntities();
}
STDMETHODIMP CUsbAudioDevice::StopEntities() {
  // Surprise removal and removal: the device will not come back to D0 for a parked Stop,
  // and none is parked from now on.
  m_AsioPowerMutex.Lock();
  m_bAsioGone = true;
  m_AsioPowerMutex.Unlock();
  AbandonParkedStop(nullptr, STATUS_DELETE_PENDING);
  return m_pFunctionHal ? m_pFunctionHal->StopEntities() : CAudioHal::StopEntities();
}
STDMETHODIMP CUsbAudioDevice::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) {
  return m_pFunctionHal ? m_pFunctionHal->RegisterCallback(Callback, Context, Registration)
                        : CAudioHal::RegisterCallback(Callback, Context, Registration);
}
STDMETHODIMP CUsbAudioDevice::UnregisterCallback(PVOID Registration) {
  return m_pFunctionHal ? m_pFunctionHal->UnregisterCallback(Registration)
                        : CAudioHal::UnregisterCallback(Registration);
}

STDMETHODIMP CUsbAudioDevice::GetComponentId(PKSCOMPONENTID ComponentId) {
  if (!ComponentId) return STATUS_INVALID_PARAMETER;
  RtlZeroMemory(ComponentId, sizeof *ComponentId);
  INIT_USBAUDIO_MID(&ComponentId->Manufacturer, m_VendorId);
  INIT_USBAUDIO_PID(&ComponentId->Product, m_ProductId);
  ComponentId->Component = KSCOMPONENTID_USBAUDIO;
  return STATUS_SUCCESS;
}

// --- Start-up

STDMETHODIMP CUsbAudioDevice::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                                   PDEVICE_OBJECT Pdo) {
  if (!Fdo || !LowerDevice || !Pdo) return STATUS_INVALID_PARAMETER;
  if (m_bIdleObjects) return STATUS_INVALID_DEVICE_STATE;  // started once
  m_bPresent = 1;
  RequestTimerResolution();
  ImportIniFile(Fdo);  // the device starts whatever the import found

  KeInitializeSpinLock(&m_IdleLock);
  KeInitializeTimerEx(&m_IdleTimer, NotificationTimer);
  KeInitializeDpc(&m_IdleDpc, &CUsbAudioDevice::IdleTimerDpc, this);
  KeInitializeEvent(&m_IdleIrpDone, NotificationEvent, TRUE);
  KeInitializeEvent(&m_D0RequestDone, NotificationEvent, TRUE);
  KeInitializeEvent(&m_WorkItemDone, NotificationEvent, TRUE);
  m_bIdleObjects = true;

  const NTSTATUS status = CAudioHal::Init(ResourceList, Fdo, LowerDevice, Pdo);

  ULONG enabled = 0;
  if (NT_SUCCESS(ReadEnumKeyValue(Pdo, ENUM_VALUE_SELECTIVE_SUSPEND_ENABLED, &enabled, sizeof enabled)) && enabled)
    m_bSelectiveSuspend = 1;
  m_lIdleIrpReferences = 0;
  m_lRequestsInProgress = 1;
  if (NT_SUCCESS(status) && m_bSelectiveSuspend) StartIdleTimer();
  return status;
}

STDMETHODIMP CUsbAudioDevice::ProbeDevice() {
  m_nIrpStackSize = static_cast<UCHAR>(m_pFdo->StackSize + 1);
  NTSTATUS status = ReadDescriptors();
  if (NT_SUCCESS(status)) status = SelectConfiguration();
  if (NT_SUCCESS(status)) status = QueryBusInterface();
  if (NT_SUCCESS(status)) status = CreateFunction();
  if (NT_SUCCESS(status)) status = m_pFunctionHal->Init(nullptr, m_pFdo, m_pLowerDevice, m_pPdo);
  if (!NT_SUCCESS(status)) return status;
  WriteDeviceStrings();

  // One ASIO channel per engine; the models that want it hear of ASIO start and stop.
  if (!m_pAsio) {
    m_pAsio = new (NonPagedPool, kUsbDeviceBufferTag) CAsioStreams;
    if (!m_pAsio) return STATUS_INSUFFICIENT_RESOURCES;
    status = m_pAsio->Init(this, this, (m_nQuirks & QUIRK_ASIO_START_REQUEST) != 0);
    if (!NT_SUCCESS(status)) return status;
  }
  return ReadAsioDefaults();
}

NTSTATUS CUsbAudioDevice::ReadAsioDefaults() {
  ULONG type = kAsioDefaultSampleType, latency = kAsioDefaultLatencyIndex, rate = kAsioDefaultSampleRate;
  ReadSettingsUlong(m_pFdo, u"ASIOMLDataBitDepth", &type);
  ReadSettingsUlong(m_pFdo, u"ASIOMLDataLatency", &latency);
  ReadSettingsUlong(m_pFdo, u"ASIOMLSampleRate", &rate);
  // Stored values the ASIO side cannot use fall back to the defaults.
  m_nAsioSampleType = IsAsioSampleType(type) ? type : kAsioDefaultSampleType;
  m_nAsioLatencyIndex = latency <= kAsioMaxLatencyIndex ? latency : kAsioDefaultLatencyIndex;
  m_nAsioSampleRate = rate >= kAsioMinSampleRate ? rate : kAsioDefaultSampleRate;

  const ULONG engines = GetEngineCount();
  for (ULONG i = 0; i < engines; ++i) {
    EndpointCapabilityRecord record{};
    if (!NT_SUCCESS(GetEngineCapabilityRecord(i, &record)) || !(record.FeatureFlags & ENDPOINT_FEATURE_ASIO)) continue;
    ULONG stored = 0;
    if (SettingsBinaryValue(m_pFdo, SETTINGS_READ, &stored, sizeof stored, u"ASIOMLDataBitDepth") !=
        STATUS_OBJECT_NAME_NOT_FOUND)
      continue;
    ULONG byModel = m_nAsioModelSampleType ? m_nAsioModelSampleType : kAsioDefaultSampleType;
    m_nAsioSampleType = byModel;
    if (byModel != kAsioDefaultSampleType)
      SettingsBinaryValue(m_pFdo, SETTINGS_WRITE, &byModel, sizeof byModel, u"ASIOMLDataBitDepth");
    break;
  }
  return STATUS_SUCCESS;
}

void CUsbAudioDevice::WriteDeviceStrings() {
  struct Entry {
    UCHAR index;
    ULONG tag;
    ULONG selector;
  };
  const bool mfg = m_iManufacturer && !(m_nQuirks & QUIRK_NO_MANUFACTURER_STRING);
  const Entry entries[] = {
      {m_iProduct, kUsbDeviceBufferTag, ENUM_VALUE_FRIENDLY_NAME},
      {static_cast<UCHAR>(mfg ? m_iManufacturer : 0), kManufacturerStringTag, ENUM_VALUE_MFG},
  };
  for (const Entry& e : entries) {
    if (!e.index) continue;
    WCHAR text[kDeviceStringBytes / 2] = {};
    ULONG chars = 0;
    if (NT_SUCCESS(ReadStringDescriptor(e.index, kDeviceStringBytes, e.tag, text, &chars)) && chars) {
      // At most 49 units, without trailing spaces.
      while (chars && text[chars - 1] == u' ') --chars;
      if (chars > kMaxDeviceStringChars) chars = kMaxDeviceStringChars;
      while (chars && text[chars - 1] == u' ') --chars;
      text[chars] = 0;
      // An empty name would blank what Plug and Play shows; the installed one stays.
      if (chars) WriteEnumKeyValue(m_pPdo, e.selector, text, (chars + 1) * sizeof(WCHAR));
    }
  }
}

}  // namespace adapter
