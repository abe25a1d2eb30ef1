#include "adapter/asio_streams.h"

#include "adapter/capability_record.h"
#include "kernel/ke.h"
#include "usb/usb.h"
#include "usb/usbdi.h"

namespace adapter {
namespace {

// The period event is set with the increment a waiting audio thread gets.
constexpr KPRIORITY kPeriodSignalIncrement = 8;

// Header fields are stored whole, so a client reading while the driver writes sees either
// value, never a torn one.
void Store(ULONG* Field, ULONG Value) { __atomic_store_n(Field, Value, __ATOMIC_RELAXED); }

// Copies `Bytes` bytes from (to_ring false) or into (to_ring true) the ring's data at
// `Position`, in at most two pieces; returns the position after them. Bytes < DataSize.
ULONG CopyAt(AsioChannel& c, PUCHAR Buffer, ULONG Bytes, bool ToRing) {
  const ULONG first = c.DataSize - c.Position < Bytes ? c.DataSize - c.Position : Bytes;
  if (ToRing) {
    RtlCopyMemory(c.Data + c.Position, Buffer, first);
    RtlCopyMemory(c.Data, Buffer + first, Bytes - first);
  } else {
    RtlCopyMemory(Buffer, c.Data + c.Position, first);
    RtlCopyMemory(Buffer + first, c.Data, Bytes - first);
  }
  const ULONG next = c.Position + Bytes;
  return next >= c.DataSize ? next - c.DataSize : next;
}

}  // namespace

CAsioStreams::CAsioStreams()
    : m_pHal(nullptr),
      m_pDevice(nullptr),
      m_bVendorRequest(false),
      m_Lock(),
      m_pChannels(nullptr),
      m_nChannels(0),
      m_Settings(),
      m_nBytesPerSample(0),
      m_pPeriodEvent(nullptr),
      m_bRings(false),
      m_bStreaming(false) {
  KeInitializeSpinLock(&m_Lock);
}

CAsioStreams::~CAsioStreams() {
  if (m_bStreaming) StopAsioStreaming();
  CloseAsioStreams();
  FreeRings();
  if (m_pChannels) ExFreePoolWithTag(m_pChannels, kUsbDeviceBufferTag);
}

NTSTATUS CAsioStreams::Init(IAudioHal* Hal, IUsbAudioDevice* Device, bool VendorRequest) {
  if (!Hal || m_pChannels) return STATUS_INVALID_PARAMETER;
  m_pHal = Hal;
  m_pDevice = Device;
  m_bVendorRequest = VendorRequest;
  const ULONG count = Hal->GetEngineCount();
  if (!count) return STATUS_SUCCESS;
  const SIZE_T bytes = SIZE_T{count} * sizeof(AsioChannel);
  m_pChannels = static_cast<AsioChannel*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kUsbDeviceBufferTag));
  if (!m_pChannels) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(m_pChannels, bytes);
  m_nChannels = count;
  return STATUS_SUCCESS;
}

bool CAsioStreams::IsAsioEngine(ULONG Index) {
  EndpointCapabilityRecord record{};
  return NT_SUCCESS(m_pHal->GetEngineCapabilityRecord(Index, &record)) &&
         (record.FeatureFlags & ENDPOINT_FEATURE_ASIO) != 0;
}

ULONG CAsioStreams::AsioEndpointCount() {
  ULONG n = 0;
  for (ULONG i = 0; i < m_nChannels; ++i)
    if (IsAsioEngine(i)) ++n;
  return n;
}

ULONG CAsioStreams::AsioChannelTotal(ULONG Mode) {
  ULONG n = 0;
  for (ULONG i = 0; i < m_nChannels; ++i) {
    IStreamEngine* engine = nullptr;
    if (IsAsioEngine(i) && NT_SUCCESS(m_pHal->GetEngine(i, &engine)) && engine)
      n += AsioEngineChannels(engine, Mode);
  }
  return n;
}

IUsbStreamClient* CAsioStreams::ClientOf(ULONG Index) {
  IStreamEngine* engine = nullptr;
  if (!NT_SUCCESS(m_pHal->GetEngine(Index, &engine)) || !engine) return nullptr;
  PVOID itf = nullptr;
  if (!NT_SUCCESS(engine->QueryInterface(IID_IUsbStreamEngine, &itf))) return nullptr;
  return static_cast<IUsbStreamClient*>(itf);
}

// --- Rings

NTSTATUS CAsioStreams::CreateRings(const AsioBufferSettings& Settings, const AsioChannelPair* Pairs,
                                   ULONG PairCount) {
  if (m_bRings || !m_nChannels) return STATUS_INVALID_PARAMETER;
  const ULONG bytesPerSample = Settings.Mode == kAsioModeDsd ? 8 : AsioBytesPerSample(Settings.SampleType);
  if (!bytesPerSample) return STATUS_INVALID_PARAMETER;
  const ULONG units = AsioUnitsPerMs(Settings.Mode, Settings.Rate);
  const AsioStreamSizing sizing = SizeAsioStream(Settings.PeriodFrames, units);

  // The geometry first: a ring the streams could not run is refused before anything is made.
  ULONG firstChannel[2] = {0, 0};
  for (ULONG i = 0; i < m_nChannels; ++i) {
    AsioChannel& c = m_pChannels[i];
    RtlZeroMemory(&c, sizeof c);
    IStreamEngine* engine = nullptr;
    if (!IsAsioEngine(i) || !NT_SUCCESS(m_pHal->GetEngine(i, &engine)) || !engine) continue;
    c.Asio = true;
    c.IsInput = engine->GetDirection() == STREAM_DIRECTION_CAPTURE ? 1 : 0;
    c.Channels = AsioEngineChannels(engine, Settings.Mode);
    c.FirstChannel = firstChannel[c.IsInput];
    firstChannel[c.IsInput] += c.Channels;
    c.DataSize = AsioRingDataSize(Settings.Mode, Settings.Rate, c.Channels, bytesPerSample);
    c.OneUrb = AsioUrbBytes(c.Channels, sizing.MsPerUrb, units, bytesPerSample);
    const AsioRenderStart start = AsioRenderReset(c.DataSize, c.OneUrb, sizing.Count);
    const bool unusable = !c.Channels || !c.DataSize || !c.OneUrb ||
                          (!c.IsInput && ULONGLONG{c.DataSize} < ULONGLONG{start.Lead} + c.OneUrb);
    if (unusable) {
      RtlZeroMemory(m_pChannels, SIZE_T{m_nChannels} * sizeof(AsioChannel));
      return STATUS_INVALID_PARAMETER;
    }
  }

  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < m_nChannels && NT_SUCCESS(status); ++i) {
    AsioChannel& c = m_pChannels[i];
    if (!c.Asio) continue;
    const ULONG total = sizeof(AsioRingHeader) + c.DataSize;
    auto* ring = static_cast<AsioRingHeader*>(ExAllocatePoolWithTag(NonPagedPool, total, kUsbDeviceBufferTag));
    if (!ring) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    RtlZeroMemory(ring, sizeof(AsioRingHeader));
    c.Ring = ring;
    c.Data = reinterpret_cast<PUCHAR>(ring + 1);
    RtlFillMemory(c.Data, c.DataSize, Settings.Mode == kAsioModeDsd ? kAsioDsdIdleFill : 0);
    c.Mdl = IoAllocateMdl(ring, total, FALSE, FALSE, nullptr);
    if (!c.Mdl) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    MmBuildMdlForNonPagedPool(c.Mdl);
    c.UserAddress = MmMapLockedPagesSpecifyCache(c.Mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
    if (!c.UserAddress) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    m_bRings = true;
    FreeRings();
    return status;
  }

  m_Settings = Settings;
  m_nBytesPerSample = bytesPerSample;
  for (ULONG p = 0; p < PairCount; ++p) {
    const ULONG input = Pairs[p].IsInput ? 1 : 0;
    const ULONG channel = Pairs[p].Channel;
    for (ULONG i = 0; i < m_nChannels; ++i) {
      AsioChannel& c = m_pChannels[i];
      if (c.Asio && c.IsInput == input && channel >= c.FirstChannel && channel - c.FirstChannel < c.Channels)
        c.Active = true;
    }
  }
  AsioChannel* signalling = nullptr;
  for (ULONG i = 0; i < m_nChannels; ++i)
    if (m_pChannels[i].Active && m_pChannels[i].IsInput) signalling = &m_pChannels[i];
  if (!signalling)
    for (ULONG i = 0; i < m_nChannels; ++i)
      if (m_pChannels[i].Active) signalling = &m_pChannels[i];
  if (signalling) signalling->Signals = true;
  for (ULONG i = 0; i < m_nChannels; ++i)
    if (m_pChannels[i].Asio) Publish(m_pChannels[i]);
  m_bRings = true;
  return STATUS_SUCCESS;
}

void CAsioStreams::GetUserAddresses(ULONGLONG* Addresses, ULONG Count) const {
  ULONG n = 0;
  for (ULONG i = 0; i < m_nChannels && n < Count; ++i)
    if (m_pChannels[i].Asio) Addresses[n++] = reinterpret_cast<ULONG_PTR>(m_pChannels[i].UserAddress);
}

void CAsioStreams::FreeRing(AsioChannel& c) {
  if (c.UserAddress) MmUnmapLockedPages(c.UserAddress, c.Mdl);
  if (c.Mdl) IoFreeMdl(c.Mdl);
  if (c.Ring) ExFreePoolWithTag(c.Ring, kUsbDeviceBufferTag);
  RtlZeroMemory(&c, sizeof c);
}

void CAsioStreams::FreeRings() {
  if (!m_bRings) return;
  for (ULONG i = 0; i < m_nChannels; ++i) {
    // A ring whose stream is still registered is left alone: its completions may copy
    // into it. Callers close the streams first.
    if (m_pChannels[i].Stream) continue;
    FreeRing(m_pChannels[i]);
  }
  bool left = false;
  for (ULONG i = 0; i < m_nChannels; ++i) left |= m_pChannels[i].Ring != nullptr;
  m_bRings = left;
}

void CAsioStreams::SilenceRings() {
  const UCHAR fill = m_Settings.Mode == kAsioModeDsd ? kAsioDsdStopFill : 0;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  for (ULONG i = 0; i < m_nChannels; ++i)
    if (m_pChannels[i].Active && m_pChannels[i].Data) RtlFillMemory(m_pChannels[i].Data, m_pChannels[i].DataSize, fill);
  KeReleaseSpinLock(&m_Lock, irql);
}

void CAsioStreams::Publish(const AsioChannel& c) {
  if (!c.Ring) return;
  AsioRingHeader* h = c.Ring;
  Store(&h->Active, c.Active ? 1 : 0);
  Store(&h->IsInput, c.IsInput);
  Store(&h->Channels, c.Channels);
  Store(&h->FirstChannel, c.FirstChannel);
  Store(&h->DataSize, c.DataSize);
  Store(&h->Position, c.Position);
  Store(&h->StartPosition, c.StartPosition);
  Store(&h->Lead, c.Lead);
  Store(&h->Signals, c.Signals ? 1 : 0);
  Store(&h->Periods, c.Periods);
}

// --- Streams

NTSTATUS CAsioStreams::OpenAsioStreams() {
  bool any = false;
  for (ULONG i = 0; i < m_nChannels; ++i) any |= m_pChannels[i].Active;
  if (!any) return STATUS_INVALID_PARAMETER;
  const AsioStreamSizing sizing = SizeAsioStream(m_Settings.PeriodFrames, AsioUnitsPerMs(m_Settings.Mode, m_Settings.Rate));
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < m_nChannels && NT_SUCCESS(status); ++i) {
    AsioChannel& c = m_pChannels[i];
    if (!c.Active) continue;
    IStreamEngine* engine = nullptr;
    WAVEFORMATEXTENSIBLE format;
    ULONG deviceBytes = 0;
    status = m_pHal->GetEngine(i, &engine);
    if (!NT_SUCCESS(status)) break;
    status = BuildAsioStreamFormat(engine, c.Channels, m_Settings.Mode, m_Settings.Rate, m_Settings.SampleType, &format,
                                   &deviceBytes);
    if (!NT_SUCCESS(status)) break;
    IUsbStreamClient* client = ClientOf(i);
    if (!client) {
      status = STATUS_INVALID_PARAMETER;
      break;
    }
    PSTREAMCLIENTRECORD record = nullptr;
    status = client->RegisterClient(kAsioClientPriority, &format, sizing.MsPerUrb, sizing.UrbsInFlight,
                                    &CAsioStreams::OnAsioEngineNotify, this, &record);
    client->Release();
    if (NT_SUCCESS(status)) {
      KIRQL irql;
      KeAcquireSpinLock(&m_Lock, &irql);
      c.Stream = record;
      KeReleaseSpinLock(&m_Lock, irql);
    }
  }
  if (!NT_SUCCESS(status)) CloseAsioStreams();
  return status;
}

void CAsioStreams::RollBackAsioStart() {
  // Stopping a stream that never started, or unpreparing one never prepared, is refused
  // by the engine and changes nothing.
  for (ULONG i = 0; i < m_nChannels; ++i) {
    if (!m_pChannels[i].Stream) continue;
    IUsbStreamClient* client = ClientOf(i);
    if (!client) continue;
    client->StopClient(m_pChannels[i].Stream->Key, nullptr);
    client->UnprepareClient(m_pChannels[i].Stream->Key);
    client->Release();
  }
}

NTSTATUS CAsioStreams::StartAsioStreaming() {
  ULONG busFrame = 0;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < m_nChannels && NT_SUCCESS(status); ++i) {
    AsioChannel& c = m_pChannels[i];
    if (!c.Active || !c.Stream) continue;
    IStreamEngine* engine = nullptr;
    WAVEFORMATEXTENSIBLE format;
    ULONG deviceBytes = 0;
    status = m_pHal->GetEngine(i, &engine);
    if (NT_SUCCESS(status))
      status = BuildAsioStreamFormat(engine, c.Channels, m_Settings.Mode, m_Settings.Rate, m_Settings.SampleType,
                                     &format, &deviceBytes);
    IUsbStreamClient* client = NT_SUCCESS(status) ? ClientOf(i) : nullptr;
    if (NT_SUCCESS(status) && !client) status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) break;
    ULONG ms = 0;
    status = client->PrepareClient(c.Stream->Key, &ms, &busFrame);
    client->Release();
  }
  if (!NT_SUCCESS(status)) {
    RollBackAsioStart();
    return status;
  }
  const ULONG startFrame = busFrame + kAsioStartFrameOffset;
  for (ULONG input : {1u, 0u}) {
    for (ULONG i = 0; i < m_nChannels && NT_SUCCESS(status); ++i) {
      AsioChannel& c = m_pChannels[i];
      if (!c.Active || !c.Stream || c.IsInput != input) continue;
      IUsbStreamClient* client = ClientOf(i);
      if (!client) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      ULONG ms = 0;
      status = client->StartClient(c.Stream->Key, startFrame, &ms, nullptr);
      client->Release();
    }
  }
  // A channel that cannot run leaves none running: the host is told, and the engines
  // give the device back to the clients it had.
  if (!NT_SUCCESS(status)) {
    RollBackAsioStart();
    return status;
  }
  m_bStreaming = true;
  SendVendorRequest(1);
  return STATUS_SUCCESS;
}

NTSTATUS CAsioStreams::StopAsioStreaming() {
  if (!m_nChannels) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < m_nChannels; ++i) {
    AsioChannel& c = m_pChannels[i];
    if (!c.Active || !c.Stream) continue;
    IUsbStreamClient* client = ClientOf(i);
    if (!client) break;
    client->StopClient(c.Stream->Key, nullptr);
    client->UnprepareClient(c.Stream->Key);
    client->Release();
  }
  m_bStreaming = false;
  SendVendorRequest(0);
  return STATUS_SUCCESS;
}

NTSTATUS CAsioStreams::CloseAsioStreams() {
  for (ULONG i = 0; i < m_nChannels; ++i) {
    AsioChannel& c = m_pChannels[i];
    if (!c.Stream) continue;
    IUsbStreamClient* client = ClientOf(i);
    if (!client) break;
    // The channel lets go of the record before the engine frees it, so the notify path
    // never compares against a freed record; unregistering waits for a callback still
    // running. The engine refuses to unregister a client still prepared: the stream is
    // then kept (and with it its ring) rather than forgotten under a running engine.
    PSTREAMCLIENTRECORD record = c.Stream;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    c.Stream = nullptr;
    KeReleaseSpinLock(&m_Lock, irql);
    const NTSTATUS status = client->UnregisterClient(record->Key);
    client->Release();
    if (NT_SUCCESS(status)) continue;
    KeAcquireSpinLock(&m_Lock, &irql);
    c.Stream = record;
    KeReleaseSpinLock(&m_Lock, irql);
  }
  return STATUS_SUCCESS;
}

void CAsioStreams::ResetAsioChannels(PKEVENT PeriodEvent) {
  const ULONG units = AsioUnitsPerMs(m_Settings.Mode, m_Settings.Rate);
  const AsioStreamSizing sizing = SizeAsioStream(m_Settings.PeriodFrames, units);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  for (ULONG i = 0; i < m_nChannels; ++i) {
    AsioChannel& c = m_pChannels[i];
    if (!c.Ring) continue;
    c.Periods = 0;
    c.Position = c.StartPosition = c.Lead = 0;
    if (!c.IsInput) {
      const AsioRenderStart start = AsioRenderReset(c.DataSize, c.OneUrb, sizing.Count);
      c.Position = c.StartPosition = start.Position;
      c.Lead = start.Lead;
    }
    Publish(c);
  }
  m_pPeriodEvent = PeriodEvent;
  KeReleaseSpinLock(&m_Lock, irql);
}

PKEVENT CAsioStreams::TakePeriodEvent() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PKEVENT event = m_pPeriodEvent;
  m_pPeriodEvent = nullptr;
  KeReleaseSpinLock(&m_Lock, irql);
  return event;
}

void CAsioStreams::ClearPeriodEvent() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (m_pPeriodEvent) KeClearEvent(m_pPeriodEvent);
  KeReleaseSpinLock(&m_Lock, irql);
}

PKEVENT CAsioStreams::PeriodEvent() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  PKEVENT event = m_pPeriodEvent;
  KeReleaseSpinLock(&m_Lock, irql);
  return event;
}

void CAsioStreams::SendVendorRequest(USHORT Value) {
  if (!m_bVendorRequest || !m_pDevice) return;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST request;
  RtlZeroMemory(&request, sizeof request);
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
  request.Request = kAsioVendorStartRequest;
  request.Value = Value;
  request.Index = 0;
  // The device's answer changes nothing: streaming runs either way.
  m_pDevice->SubmitUrbSync(reinterpret_cast<PURB>(&request));
}

// --- The engines' records

VOID CAsioStreams::OnAsioEngineNotify(PVOID Context, PVOID Argument1, PVOID) {
  if (Context && Argument1) static_cast<CAsioStreams*>(Context)->Notify(static_cast<const StreamEngineRecord*>(Argument1));
}

void CAsioStreams::Notify(const StreamEngineRecord* Record) {
  if (!Record->Client) return;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  AsioChannel* c = nullptr;
  for (ULONG i = 0; i < m_nChannels && !c; ++i)
    if (m_pChannels[i].Stream == Record->Client) c = &m_pChannels[i];
  // Only records of a started stream of ours move a ring; the record stays valid while its
  // stream is registered, and unregistering waits for this callback to return.
  if (c && c->Stream->Started && c->Data) {
    switch (Record->Code) {
      case STREAM_NOTIFY_RENDER_FILL:
      case STREAM_NOTIFY_CAPTURE_DATA:
        // A buffer as large as the ring (or larger) is left as it is: a ring never copies
        // over itself.
        if (Record->Payload.Buffer && Record->Length < c->DataSize) {
          c->Position = CopyAt(*c, static_cast<PUCHAR>(Record->Payload.Buffer), Record->Length,
                               Record->Code == STREAM_NOTIFY_CAPTURE_DATA);
          Store(&c->Ring->Position, c->Position);
        }
        break;
      case STREAM_NOTIFY_URB_DONE:
        ++c->Periods;
        Store(&c->Ring->Periods, c->Periods);
        if (c->Signals && m_pPeriodEvent) KeSetEvent(m_pPeriodEvent, kPeriodSignalIncrement, FALSE);
        break;
      default:
        break;
    }
  }
  KeReleaseSpinLock(&m_Lock, irql);
}

}  // namespace adapter
