// The WaveCyclic miniport: creation, Init, the stream count, NewStream, the signal-
// processing modes, the pin map and power notifications. The descriptor, the data ranges
// and the intersection are in wave_descriptor.cpp.
#include "filters/miniport_wave_cyclic.h"

#include "adapter/device_extension.h"
#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "filters/wave_cyclic_stream.h"
#include "filters/wave_format_check.h"

namespace filters {

CMiniportWaveCyclic::CMiniportWaveCyclic(PUNKNOWN outerUnknown, ULONG engineIndex)
    : CUnknown(outerUnknown),
      m_pDescriptor(nullptr),
      m_pPins(nullptr),
      m_pNode(nullptr),
      m_pConnections(nullptr),
      m_pCategories(nullptr),
      m_pBridgeRange(nullptr),
      m_pAutomation(nullptr),
      m_pPort(nullptr),
      m_pName(nullptr),
      m_pAdapter(nullptr),
      m_pEngine(nullptr),
      m_nEngineIndex(engineIndex),
      m_nStreamOpen(0),
      m_nDevicePowerState(PowerDeviceD0),
      m_lOpenCount(0),
      m_pDataRanges(nullptr),
      m_nDataRangeCount(0),
      m_ppDataRangeList(nullptr),
      m_nDataRangeListCount(0) {
  KeInitializeEvent(&m_AllClosedEvent, NotificationEvent, TRUE);
}

CMiniportWaveCyclic::~CMiniportWaveCyclic() {
  // The wave miniports of one device are torn down one at a time, under the mutex of the
  // device's extension (when the adapter's device went through the driver's add-device).
  PKMUTEX teardown = nullptr;
  if (m_pAdapter) {
    if (adapter::DeviceExtension* extension = adapter::FindDeviceExtension(m_pAdapter->GetDeviceObject()))
      teardown = &extension->MiniportTeardownMutex;
  }
  if (teardown) KeWaitForSingleObject(teardown, Executive, KernelMode, FALSE, nullptr);
  // A stream holds no reference on its miniport: the miniport stays until the last one
  // it counted is gone.
  KeWaitForSingleObject(&m_AllClosedEvent, Executive, KernelMode, FALSE, nullptr);
  m_pPort = nullptr;
  FreeDescriptor();
  if (m_pEngine) m_pEngine->Release();
  m_pEngine = nullptr;
  if (m_pAdapter) m_pAdapter->Release();
  m_pAdapter = nullptr;
  if (m_pName) ExFreePoolWithTag(m_pName, kWavePoolTag);
  m_pName = nullptr;
  if (teardown) KeReleaseMutex(teardown, FALSE);
}

STDMETHODIMP CMiniportWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IUnknown)) return adapter::ReturnInterface(NonDelegatingUnknown(), object);
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic))
    return adapter::ReturnInterface<IMiniportWaveCyclic>(this, object);
  if (IsEqualGUID(iid, IID_IMiniportAudioSignalProcessing))
    return adapter::ReturnInterface<IMiniportAudioSignalProcessing>(this, object);
  if (IsEqualGUID(iid, adapter::IID_IMiniportPinMap)) return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
  if (IsEqualGUID(iid, IID_IPowerNotify)) return adapter::ReturnInterface<IPowerNotify>(this, object);
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                  ULONG EngineIndex) {
  if (!Unknown) return STATUS_INVALID_PARAMETER;
  *Unknown = nullptr;
  auto* miniport = new (PoolType, kWavePoolTag) CMiniportWaveCyclic(OuterUnknown, EngineIndex);
  if (!miniport) return STATUS_INSUFFICIENT_RESOURCES;
  IMiniportWaveCyclic* itf = miniport;
  itf->AddRef();
  *Unknown = itf;
  return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveCyclic::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  if (!Description) return STATUS_INVALID_PARAMETER;
  *Description = m_pDescriptor;
  return m_pDescriptor ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

STDMETHODIMP CMiniportWaveCyclic::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC Port) {
  if (!Port || !UnknownAdapter) return STATUS_INVALID_PARAMETER;
  if (m_pPort) return STATUS_INVALID_DEVICE_REQUEST;  // initialised once
  // The port is kept without a reference. It holds this miniport, and every pin of it
  // holds the port, so it outlives each use (a stream's notifications); a counted
  // reference would make a cycle that only a registered subdevice's removal breaks, and
  // a port whose installation failed after Init would never go.
  m_pPort = Port;
  m_nDevicePowerState = PowerDeviceD0;

  PVOID hal = nullptr;
  NTSTATUS status = UnknownAdapter->QueryInterface(adapter::IID_IAudioHal, &hal);
  if (NT_SUCCESS(status)) {
    m_pAdapter = static_cast<adapter::IAudioHal*>(hal);
    adapter::IStreamEngine* engine = nullptr;
    status = m_pAdapter->GetEngine(m_nEngineIndex, &engine);
    if (NT_SUCCESS(status) && !engine) status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
      engine->AddRef();
      m_pEngine = engine;
    }
  }
  if (NT_SUCCESS(status)) status = BuildDataRanges();
  if (NT_SUCCESS(status)) status = BuildDescriptor();
  if (NT_SUCCESS(status)) status = BuildName();
  if (!NT_SUCCESS(status)) {
    FreeDescriptor();
    if (m_pName) ExFreePoolWithTag(m_pName, kWavePoolTag);
    m_pName = nullptr;
    if (m_pEngine) m_pEngine->Release();
    m_pEngine = nullptr;
    if (m_pAdapter) m_pAdapter->Release();
    m_pAdapter = nullptr;
    m_pPort = nullptr;
  }
  return status;
}

NTSTATUS CMiniportWaveCyclic::BuildName() {
  m_pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kWaveNameBufferBytes, kWavePoolTag));
  if (!m_pName) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(m_pName, kWaveNameBufferBytes);
  PCWSTR engineName = m_pEngine->GetName();
  // The name is the engine's followed by "Wave"; a name that leaves no room is refused.
  return RtlStringCbPrintfW(m_pName, kWaveNameMaxBytes + sizeof(WCHAR), u"%s%s", engineName ? engineName : u"",
                            u"Wave");
}

NTSTATUS CMiniportWaveCyclic::ValidateFormat(const KSDATAFORMAT* DataFormat, WAVEFORMATEXTENSIBLE* Format) {
  return ValidateWaveFormat(DataFormat, m_pEngine, Format);
}

void CMiniportWaveCyclic::StreamOpened() {
  if (InterlockedIncrement(&m_lOpenCount) == 1) KeClearEvent(&m_AllClosedEvent);
  __atomic_store_n(&m_nStreamOpen, 1u, __ATOMIC_SEQ_CST);
}

void CMiniportWaveCyclic::StreamClosed() {
  __atomic_store_n(&m_nStreamOpen, 0u, __ATOMIC_SEQ_CST);
  if (InterlockedDecrement(&m_lOpenCount) == 0) KeSetEvent(&m_AllClosedEvent, IO_NO_INCREMENT, FALSE);
}

STDMETHODIMP CMiniportWaveCyclic::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE,
                                            ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                            PDMACHANNEL* DmaChannel, PSERVICEGROUP* ServiceGroup) {
  if (!Stream || !DmaChannel || !ServiceGroup) return STATUS_INVALID_PARAMETER;
  *Stream = nullptr;
  *DmaChannel = nullptr;
  *ServiceGroup = nullptr;
  if (!m_pEngine) return STATUS_INVALID_DEVICE_STATE;
  if (IsStreamOpen()) return STATUS_INSUFFICIENT_RESOURCES;
  WAVEFORMATEXTENSIBLE format;
  NTSTATUS status = ValidateFormat(DataFormat, &format);
  if (!NT_SUCCESS(status)) return status;
  GUID mode;
  status = ReadSignalProcessingMode(DataFormat, &mode);
  if (!NT_SUCCESS(status)) return status;
  if (!IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW)) return STATUS_INVALID_DEVICE_REQUEST;

  auto* stream = new (NonPagedPool, kWavePoolTag) CMiniportWaveCyclicStream(OuterUnknown);
  if (!stream) return STATUS_INSUFFICIENT_RESOURCES;
  PUNKNOWN own = stream->NonDelegatingUnknown();
  own->AddRef();
  status = stream->Init(this, Pin, Capture != FALSE, DataFormat, m_pEngine, ServiceGroup);
  if (NT_SUCCESS(status)) {
    IMiniportWaveCyclicStream* streamItf = stream;
    IDmaChannel* dma = stream;
    streamItf->AddRef();
    dma->AddRef();
    *Stream = streamItf;
    *DmaChannel = dma;
  }
  own->Release();  // a failed Init destroys the stream here
  return status;
}

STDMETHODIMP CMiniportWaveCyclic::GetModes(ULONG Pin, GUID* SignalProcessingMode, ULONG* NumSignalProcessingModes) {
  if (!NumSignalProcessingModes) return STATUS_INVALID_PARAMETER;
  if (Pin != kWaveStreamingPin) return STATUS_NOT_SUPPORTED;
  if (SignalProcessingMode) {
    if (*NumSignalProcessingModes == 0) {
      *NumSignalProcessingModes = 1;
      return STATUS_BUFFER_TOO_SMALL;
    }
    *SignalProcessingMode = AUDIO_SIGNALPROCESSINGMODE_RAW;
  }
  *NumSignalProcessingModes = 1;
  return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveCyclic::MapPin(ULONG, PULONG Result) {
  if (!Result) return STATUS_INVALID_PARAMETER;
  if (!m_pEngine) return STATUS_NOT_FOUND;
  // The streaming terminal: an input terminal on a render path, an output terminal on a
  // capture path, of kind 0. The last one found counts.
  const ULONG wanted = m_pEngine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE ? adapter::NODE_OUTPUT_TERMINAL
                                                                                      : adapter::NODE_INPUT_TERMINAL;
  bool found = false;
  const ULONG count = m_pEngine->GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IUacEntity* node = nullptr;
    if (!NT_SUCCESS(m_pEngine->GetNode(i, &node)) || !node || node->GetType() != wanted) continue;
    PVOID terminal = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(adapter::IID_ITerminalNode, &terminal)) || !terminal) continue;
    ULONG kind = 1;
    NTSTATUS status = static_cast<adapter::ITerminalNode*>(terminal)->GetKind(&kind);
    static_cast<adapter::ITerminalNode*>(terminal)->Release();
    if (NT_SUCCESS(status) && kind == 0) {
      *Result = node->GetId();
      found = true;
    }
  }
  return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

STDMETHODIMP CMiniportWaveCyclic::GetSubdeviceName(PWSTR* Name) {
  if (!Name) return STATUS_INVALID_PARAMETER;
  *Name = m_pName;
  return m_pName ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(void) CMiniportWaveCyclic::PowerChangeNotify(POWER_STATE PowerState) {
  const ULONG state = PowerState.DeviceState;
  if (state >= PowerDeviceD0 && state <= PowerDeviceD3 && state != m_nDevicePowerState) m_nDevicePowerState = state;
}

}  // namespace filters
