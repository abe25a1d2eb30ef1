// The WaveCyclic stream: creation, the DMA channel's buffer, formats, states and positions.
// What the engine's records do is in wave_stream_records.cpp.
#include "filters/wave_cyclic_stream.h"

#include <cstring>
#include <new>

#include "adapter/object_model.h"
#include "filters/miniport_wave_cyclic.h"
#include "filters/wave_format_check.h"

namespace filters {

CMiniportWaveCyclicStream::CMiniportWaveCyclicStream(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown),
      m_pMiniport(nullptr),
      m_pEngine(nullptr),
      m_nPin(0),
      m_State(KSSTATE_STOP),
      m_nNotificationInterval(kNotificationIntervalMs),
      m_nMsPerUrb(kStreamMsPerUrb),
      m_nUrbsInFlight(0),
      m_ullClientKey(0),
      m_pClientRecord(nullptr),
      m_pServiceGroup(nullptr),
      m_Format{},
      m_pBuffer(nullptr),
      m_nAllocatedSize(0),
      m_nDmaPosition(0),
      m_nBufferSize(0),
      m_nLastPosition(0),
      m_nCopyOffset(0),
      m_nCurrentUrbBytes(0),
      m_ullTimeStamp(0),
      m_bCapture(0),
      m_bCounted(0),
      m_UrbRing{},
      m_nRingRead(0),
      m_nRingCount(0),
      m_llClientBytesPerMs(0),
      m_llClientPerMilleRest(0),
      m_llDeviceBytesPerMs(0),
      m_llDevicePerMilleRest(0),
      m_DoneRate{},
      m_FillRate{},
      m_pConverter(nullptr),
      m_bConverterReady(false),
      m_nSilentFills(0),
      m_bOwnCopy(false),
      m_bCopyPassed(false),
      m_bLeavingRun(false),
      m_DeviceFormat{} {
  KeInitializeSpinLock(&m_Lock);
}

CMiniportWaveCyclicStream::~CMiniportWaveCyclicStream() {
  // Down one state at a time; a step that fails leaves the stream where it got to, and
  // the registration (if any) is given up regardless.
  while (m_pEngine && m_State != KSSTATE_STOP) {
    const KSSTATE next = static_cast<KSSTATE>(m_State - 1);
    if (!NT_SUCCESS(SetState(next))) {
      if (m_State == KSSTATE_RUN) {
        PVOID usb = nullptr;
        if (NT_SUCCESS(m_pEngine->QueryInterface(stream::IID_IUsbStreamEngine, &usb)) && usb) {
          LeaveRun(static_cast<stream::IUsbStreamEngine*>(usb));
          static_cast<stream::IUsbStreamEngine*>(usb)->Release();
        }
      }
      m_State = next;
    }
  }
  FreeBuffer();
  if (m_pServiceGroup) m_pServiceGroup->Release();
  m_pServiceGroup = nullptr;
  if (m_pEngine) m_pEngine->Release();
  m_pEngine = nullptr;
  if (m_pConverter) {
    m_pConverter->~CDspInterleaveSrc();
    ExFreePoolWithTag(m_pConverter, kCyclicBufferPoolTag);
  }
  m_pConverter = nullptr;
  if (m_pMiniport && m_bCounted) m_pMiniport->StreamClosed();
  m_pMiniport = nullptr;
}

STDMETHODIMP CMiniportWaveCyclicStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IUnknown)) return adapter::ReturnInterface(NonDelegatingUnknown(), object);
  if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream))
    return adapter::ReturnInterface<IMiniportWaveCyclicStream>(this, object);
  if (IsEqualGUID(iid, IID_IDmaChannel)) return adapter::ReturnInterface<IDmaChannel>(this, object);
  if (IsEqualGUID(iid, IID_IDrmAudioStream)) return adapter::ReturnInterface<IDrmAudioStream>(this, object);
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

ULONG CMiniportWaveCyclicStream::BufferBytesFor(const WAVEFORMATEXTENSIBLE& Format) {
  // Whole frames only: a capture store that wraps at a partial frame never finds room.
  const ULONG block = Format.Format.nBlockAlign ? Format.Format.nBlockAlign : 1;
  return Format.Format.nAvgBytesPerSec / kBufferDivisor / block * block;
}

ULONGLONG CMiniportWaveCyclicStream::StampNow() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  const ULONGLONG f = frequency.QuadPart > 0 ? static_cast<ULONGLONG>(frequency.QuadPart) : 1;
  const ULONGLONG c = static_cast<ULONGLONG>(counter.QuadPart);
  return c / f * kStampUnitsPerSecond + c % f * kStampUnitsPerSecond / f;
}

NTSTATUS CMiniportWaveCyclicStream::Init(CMiniportWaveCyclic* Miniport, ULONG Pin, bool Capture,
                                         const KSDATAFORMAT* DataFormat, adapter::IStreamEngine* Engine,
                                         PSERVICEGROUP* ServiceGroup) {
  if (!Miniport || !Engine || !ServiceGroup) return STATUS_INSUFFICIENT_RESOURCES;
  m_pMiniport = Miniport;
  Engine->AddRef();
  m_pEngine = Engine;

  NTSTATUS status = PcNewServiceGroup(&m_pServiceGroup, nullptr);
  if (NT_SUCCESS(status)) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CDspInterleaveSrc), kCyclicBufferPoolTag);
    m_pConverter = block ? new (block) CDspInterleaveSrc() : nullptr;
    if (!m_pConverter || !m_pConverter->Init()) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    m_nPin = Pin;
    m_State = KSSTATE_STOP;
    m_bCapture = Capture ? 1 : 0;
    status = Miniport->ValidateFormat(DataFormat, &m_Format);
  }
  if (NT_SUCCESS(status)) status = AllocateBuffer(BufferBytesFor(m_Format), nullptr);
  if (NT_SUCCESS(status)) {
    m_nCopyOffset = 0;
    m_pServiceGroup->AddRef();
    *ServiceGroup = m_pServiceGroup;
    Miniport->StreamOpened();
    m_bCounted = 1;
    m_DeviceFormat = m_Format;
    return status;
  }
  if (m_pServiceGroup) m_pServiceGroup->Release();
  m_pServiceGroup = nullptr;
  m_pEngine->Release();
  m_pEngine = nullptr;
  m_pMiniport = nullptr;
  return status;
}

// ---------------------------------------------------------------------------------------
// IDmaChannel

STDMETHODIMP CMiniportWaveCyclicStream::AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS) {
  if (BufferSize == 0 || BufferSize > kMaximumCyclicBufferBytes) return STATUS_INVALID_PARAMETER;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, BufferSize, kCyclicBufferPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, BufferSize);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PUCHAR old = m_pBuffer;
  m_pBuffer = buffer;
  m_nAllocatedSize = BufferSize;
  m_nBufferSize = BufferSize;
  m_nDmaPosition = 0;
  m_nLastPosition = 0;
  m_nCurrentUrbBytes = 0;
  if (m_nCopyOffset >= BufferSize) m_nCopyOffset = 0;
  KeReleaseSpinLock(&m_Lock, irql);
  if (old) ExFreePoolWithTag(old, kCyclicBufferPoolTag);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::FreeBuffer() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PUCHAR old = m_pBuffer;
  m_pBuffer = nullptr;
  m_nAllocatedSize = 0;
  m_nBufferSize = 0;
  m_nDmaPosition = 0;
  m_nCopyOffset = 0;
  KeReleaseSpinLock(&m_Lock, irql);
  if (old) ExFreePoolWithTag(old, kCyclicBufferPoolTag);
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::SetBufferSize(ULONG BufferSize) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (BufferSize < m_nAllocatedSize) m_nBufferSize = BufferSize;
  KeReleaseSpinLock(&m_Lock, irql);
}

STDMETHODIMP_(PPHYSICAL_ADDRESS) CMiniportWaveCyclicStream::PhysicalAddress(PPHYSICAL_ADDRESS PhysicalAddress) {
  if (PhysicalAddress) PhysicalAddress->QuadPart = 0;
  return PhysicalAddress;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) {
  if (!Destination || !Source) return;
  KeAcquireSpinLockAtDpcLevel(&m_Lock);
  const ULONG size = BufferSize();
  const auto dest = reinterpret_cast<ULONG_PTR>(Destination);
  const auto start = reinterpret_cast<ULONG_PTR>(m_pBuffer);
  if (m_pBuffer && dest >= start && dest - start <= size && ByteCount <= size - (dest - start))
    std::memcpy(Destination, Source, ByteCount);
  KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) {
  if (!Destination || !Source) return;
  KeAcquireSpinLockAtDpcLevel(&m_Lock);
  const ULONG size = BufferSize();
  const auto source = reinterpret_cast<ULONG_PTR>(Source);
  const auto start = reinterpret_cast<ULONG_PTR>(m_pBuffer);
  if (m_pBuffer && source >= start && source - start <= size && ByteCount <= size - (source - start))
    std::memcpy(Destination, Source, ByteCount);
  KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

// ---------------------------------------------------------------------------------------
// IMiniportWaveCyclicStream

STDMETHODIMP CMiniportWaveCyclicStream::SetFormat(PKSDATAFORMAT DataFormat) {
  if (m_State == KSSTATE_RUN) return STATUS_UNSUCCESSFUL;
  if (!m_pMiniport) return STATUS_INVALID_DEVICE_STATE;
  WAVEFORMATEXTENSIBLE format;
  NTSTATUS status = m_pMiniport->ValidateFormat(DataFormat, &format);
  if (!NT_SUCCESS(status)) return status;
  // Only the same format the engine plays is no change: a plain PCM format and its
  // extensible form are one, while a new sub-format, valid width or channel mask at the
  // same rate, channels and width is a change and is made.
  const WAVEFORMATEXTENSIBLE wanted = NormaliseWaveFormat(format, m_pEngine);
  const WAVEFORMATEXTENSIBLE current = NormaliseWaveFormat(m_Format, m_pEngine);
  if (RtlCompareMemory(&wanted, &current, sizeof wanted) == sizeof wanted) return STATUS_SUCCESS;
  status = AllocateBuffer(BufferBytesFor(format), nullptr);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (NT_SUCCESS(status)) m_Format = format;
  m_nCopyOffset = 0;
  KeReleaseSpinLock(&m_Lock, irql);
  return status;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::SetNotificationFreq(ULONG, PULONG FramingSize) {
  if (FramingSize)
    *FramingSize = m_Format.Format.nSamplesPerSec * kNotificationIntervalMs / 1000 *
                   (m_Format.Format.wBitsPerSample / 8u) * m_Format.Format.nChannels;
  return kNotificationIntervalMs;
}

STDMETHODIMP CMiniportWaveCyclicStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition) {
  if (!PhysicalPosition) return STATUS_INVALID_PARAMETER;
  const ULONG frameBytes = m_Format.Format.nChannels * (m_Format.Format.wBitsPerSample / 8u);
  if (frameBytes == 0 || m_Format.Format.nSamplesPerSec == 0) return STATUS_INVALID_DEVICE_STATE;
  const LONGLONG unitsPerByte = static_cast<LONGLONG>(10000000u / frameBytes);
  *PhysicalPosition = unitsPerByte * *PhysicalPosition / static_cast<LONGLONG>(m_Format.Format.nSamplesPerSec);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::Silence(PVOID Buffer, ULONG ByteCount) {
  if (!Buffer) return;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  const auto at = reinterpret_cast<ULONG_PTR>(Buffer);
  const auto start = reinterpret_cast<ULONG_PTR>(m_pBuffer);
  if (m_pBuffer && at >= start && at - start < m_nAllocatedSize && ByteCount <= m_nAllocatedSize - (at - start))
    std::memset(Buffer, m_Format.Format.wBitsPerSample == 8 ? 0x80 : 0, ByteCount);
  KeReleaseSpinLock(&m_Lock, irql);
}

STDMETHODIMP CMiniportWaveCyclicStream::SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) {
  if (!m_pEngine) return STATUS_INVALID_DEVICE_STATE;
  PVOID drm = nullptr;
  NTSTATUS status = m_pEngine->QueryInterface(stream::IID_IUsbStreamDrm, &drm);
  if (!NT_SUCCESS(status)) return status;
  auto* itf = static_cast<stream::IUsbStreamDrm*>(drm);
  status = itf->SetContentId(ContentId, const_cast<PDRMRIGHTS>(DrmRights));
  itf->Release();
  return status;
}

// ---------------------------------------------------------------------------------------
// States and positions

void CMiniportWaveCyclicStream::ClearRingLocked() {
  RtlZeroMemory(m_UrbRing, sizeof m_UrbRing);
  m_nRingRead = 0;
  m_nRingCount = 0;
}

void CMiniportWaveCyclicStream::ResetPositionsLocked() {
  m_nDmaPosition = 0;
  m_nCurrentUrbBytes = 0;
  m_nLastPosition = 0;
  m_nCopyOffset = 0;
  m_bCopyPassed = false;
  ClearRingLocked();
}

STDMETHODIMP CMiniportWaveCyclicStream::SetState(KSSTATE State) {
  if (!m_pEngine) return STATUS_INVALID_DEVICE_STATE;
  PVOID usb = nullptr;
  NTSTATUS status = m_pEngine->QueryInterface(stream::IID_IUsbStreamEngine, &usb);
  if (!NT_SUCCESS(status)) return status;
  auto* engine = static_cast<stream::IUsbStreamEngine*>(usb);
  if (State == m_State) {
    engine->Release();
    return STATUS_SUCCESS;
  }
  KIRQL irql;
  switch (State) {
    case KSSTATE_STOP:
    case KSSTATE_ACQUIRE:
      if (m_State == KSSTATE_RUN) status = LeaveRun(engine);
      // Only STOP starts the stream over: a client still reads the position in ACQUIRE,
      // and it must stand where PAUSE left it.
      if (State == KSSTATE_STOP) {
        KeAcquireSpinLock(&m_Lock, &irql);
        ResetPositionsLocked();
        KeReleaseSpinLock(&m_Lock, irql);
      }
      break;
    case KSSTATE_PAUSE:
      if (m_State == KSSTATE_RUN) {
        status = LeaveRun(engine);
      } else {
        KeAcquireSpinLock(&m_Lock, &irql);
        m_nLastPosition = m_nDmaPosition;
        KeReleaseSpinLock(&m_Lock, irql);
      }
      break;
    case KSSTATE_RUN:
      status = EnterRun(engine);
      break;
    default:
      break;
  }
  if (NT_SUCCESS(status)) m_State = State;
  engine->Release();
  return status;
}

NTSTATUS CMiniportWaveCyclicStream::EnterRun(stream::IUsbStreamEngine* Engine) {
  if (!m_pBuffer) return STATUS_UNSUCCESSFUL;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_llClientBytesPerMs = m_Format.Format.nAvgBytesPerSec / 1000;
  m_llClientPerMilleRest = m_Format.Format.nAvgBytesPerSec % 1000;
  m_DoneRate.clientFractionCarry = 0;
  m_FillRate.clientFractionCarry = 0;
  KeReleaseSpinLock(&m_Lock, irql);

  stream::PSTREAMCLIENTRECORD record = nullptr;
  NTSTATUS status = Engine->RegisterClient(stream::kWaveCyclicClientPriority, &m_Format, kStreamMsPerUrb,
                                           kStreamUrbsInFlight, OnStreamEngineNotify, this, &record);
  if (!NT_SUCCESS(status) || !record) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_ullClientKey = record->Key;
  m_pClientRecord = record;
  KeReleaseSpinLock(&m_Lock, irql);

  ULONG ms = 0;
  ULONG frame = 0;
  status = Engine->PrepareClient(m_ullClientKey, &ms, &frame);
  if (NT_SUCCESS(status)) {
    KeAcquireSpinLock(&m_Lock, &irql);
    m_nMsPerUrb = ms;
    KeReleaseSpinLock(&m_Lock, irql);
    ULONG running = 0;
    status = Engine->StartClient(m_ullClientKey, frame + kStartFrameOffset, &running, nullptr);
    if (NT_SUCCESS(status)) {
      KeAcquireSpinLock(&m_Lock, &irql);
      m_nMsPerUrb = running;
      m_ullTimeStamp = StampNow();
      KeReleaseSpinLock(&m_Lock, irql);
      return status;
    }
    Engine->UnprepareClient(m_ullClientKey);
  }
  ForgetRecord();
  Engine->UnregisterClient(m_ullClientKey);
  return status;
}

void CMiniportWaveCyclicStream::ForgetRecord() {
  // Before the engine frees the record: a record arriving meanwhile finds none and is
  // ignored.
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_pClientRecord = nullptr;
  KeReleaseSpinLock(&m_Lock, irql);
}

NTSTATUS CMiniportWaveCyclicStream::LeaveRun(stream::IUsbStreamEngine* Engine) {
  // The position the stream reports as it leaves RUN stands for as long as it is paused:
  // the URBs still queued complete after this and must not move it on.
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  const ULONG frozen = RunPositionLocked();
  m_nLastPosition = frozen;
  m_bLeavingRun = true;
  KeReleaseSpinLock(&m_Lock, irql);

  NTSTATUS status = STATUS_SUCCESS;
  if (m_pClientRecord) {
    Engine->StopClient(m_ullClientKey, nullptr);
    Engine->UnprepareClient(m_ullClientKey);
    ForgetRecord();
    status = Engine->UnregisterClient(m_ullClientKey);
  }
  KeAcquireSpinLock(&m_Lock, &irql);
  m_nLastPosition = frozen;
  m_nDmaPosition = frozen;
  m_nCurrentUrbBytes = 0;
  m_bLeavingRun = false;
  ClearRingLocked();
  KeReleaseSpinLock(&m_Lock, irql);
  return status;
}

bool CMiniportWaveCyclicStream::IsBehindLocked(ULONG a, ULONG b) const {
  if (m_nAllocatedSize == 0) return false;
  const ULONG ahead = (b + m_nAllocatedSize - a) % m_nAllocatedSize;  // how far b is past a
  return ahead != 0 && ahead < m_nAllocatedSize / 2;
}

ULONG CMiniportWaveCyclicStream::RunPositionLocked() {
  if (m_State != KSSTATE_RUN || m_bLeavingRun || m_nAllocatedSize == 0) return m_nLastPosition;
  const ULONG elapsed = static_cast<ULONG>(StampNow()) - static_cast<ULONG>(m_ullTimeStamp);
  // 64-bit product: at 768,000 bytes a second a 32-bit one wraps after 56 ms.
  ULONGLONG bytes = static_cast<ULONGLONG>(elapsed) * m_Format.Format.nAvgBytesPerSec / kStampUnitsPerSecond;
  if (bytes > m_nCurrentUrbBytes) bytes = m_nCurrentUrbBytes;
  const ULONGLONG size = m_nAllocatedSize;
  ULONG position;
  if (!m_bCapture) {
    position = static_cast<ULONG>((m_nDmaPosition + size + bytes) % size);
    // What was not read yet is not reported played: the client may write over what lies
    // behind the position.
    if (m_bOwnCopy && IsBehindLocked(m_nCopyOffset, position)) position = m_nCopyOffset;
  } else {
    const ULONG block = m_Format.Format.nBlockAlign ? m_Format.Format.nBlockAlign : 1;
    const ULONGLONG back = (m_nCurrentUrbBytes - bytes) / block * block;
    position = static_cast<ULONG>((size + m_nDmaPosition + size - back % size) % size);
    // Never past the data stored: a converter holds back the frames of its filters'
    // delay, which the byte-rate count of the position does not know of.
    if (IsBehindLocked(m_nCopyOffset, position)) position = m_nCopyOffset;
  }
  // Never behind what was reported: a completion that comes late, or a restart, must not
  // take the position back.
  if (IsBehindLocked(position, m_nLastPosition)) position = m_nLastPosition;
  return position;
}

STDMETHODIMP CMiniportWaveCyclicStream::GetPosition(PULONG Position) {
  if (!Position) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  const ULONG position = RunPositionLocked();
  m_nLastPosition = position;
  KeReleaseSpinLock(&m_Lock, irql);
  *Position = position;
  return STATUS_SUCCESS;
}

}  // namespace filters
