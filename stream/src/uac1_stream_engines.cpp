// The UAC 1.0 render and capture engines: their allocation geometry, alternate-setting
// selection with the endpoint's sampling frequency, the URB layout of each direction and
// their completions. The shared machinery is in usb_stream_transfers.cpp.
#include "stream/uac1_stream_engines.h"

#include "adapter/object_model.h"
#include "stream_geometry.h"

namespace stream {
namespace {

// Holds the engine mutex for a scope.
class MutexHold {
 public:
  explicit MutexHold(adapter::CKernelMutex& Mutex) : m_Mutex(Mutex) { m_Mutex.Lock(); }
  ~MutexHold() { m_Mutex.Unlock(); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  adapter::CKernelMutex& m_Mutex;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Render

CUac1RenderStream::CUac1RenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId), m_nNominalRate(0), m_lSampleRemainder(0) {
  m_nMsPerUrb = kDefaultMsPerUrb;
}

STDMETHODIMP CUac1RenderStream::AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) {
  MutexHold hold(m_EngineMutex);
  geometry::Plan p{};
  NTSTATUS status = geometry::PlanAllocation(this, Record, &p);
  if (!NT_SUCCESS(status)) return status;
  const ULONG packetsPerMs = GetPacketsPerMs(p.alt);
  if (packetsPerMs == 0) return STATUS_NOT_SUPPORTED;
  // One spare frame per packet, so that the frame the remainder adds always fits.
  const ULONGLONG transfer =
      (ULONGLONG{p.rate} / 1000 / packetsPerMs + 1) * p.blockAlign * p.ms * packetsPerMs;
  if (transfer > geometry::kMaxTransferBufferBytes) return STATUS_NOT_SUPPORTED;

  m_nMsPerUrb = p.ms;
  m_nUrbsInFlight = p.urbs;
  m_nPacketsPerMs = packetsPerMs;
  m_nSamplesPerPacket = p.rate / (packetsPerMs * 1000);
  m_nTransferBufferBytes = static_cast<ULONG>(transfer);
  m_nBlockAlign = p.blockAlign;
  m_nStreamRate = p.rate;
  m_nNominalRate = p.rate;
  status = AllocateTransfers(Record, p.alt, p.ringBytes, kUac1RingTag, BusFrame);
  if (NT_SUCCESS(status)) m_lSampleRemainder = 0;
  return status;
}

STDMETHODIMP CUac1RenderStream::SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  const NTSTATUS status = SelectInterfaceSetting(device, AlternateSetting);
  // A device that refuses the rate still plays the setting's own.
  if (NT_SUCCESS(status) && Record && AlternateSetting != 0) SetEndpointRate(device, AlternateSetting, Record->Format.Format.nSamplesPerSec);
  return status;
}

STDMETHODIMP CUac1RenderStream::SendStreamUrb() {
  auto fill = [&](adapter::IUsbAudioDevice* device, UrbContext* context, PURB urb, ULONG packets) {
    const ULONG offset = LayOutPackets(urb, packets);
    RtlZeroMemory(context->Buffer, offset);
    PublishData(STREAM_NOTIFY_RENDER_FILL, context->Buffer, offset);
    ProcessBuffer(context->Buffer, offset);
    context->Bytes = offset;
    return SubmitIsochUrb(device, context);
  };
  return SendIsochUrb(USBD_TRANSFER_DIRECTION_OUT, fill);
}

ULONG CUac1RenderStream::LayOutPackets(PURB Urb, ULONG Packets) {
  auto& r = Urb->UrbIsochronousTransfer;
  // Packets per second; the remainder counts the fraction of a frame in 1/P frames.
  const LONG perSecond = static_cast<LONG>(m_nPacketsPerMs * 1000);
  const LONG surplus = static_cast<LONG>(m_nNominalRate) - static_cast<LONG>(m_nSamplesPerPacket) * perSecond;
  ULONG offset = 0;
  for (ULONG i = 0; i < Packets; ++i) {
    m_lSampleRemainder += surplus;
    LONG extra = m_lSampleRemainder / perSecond;
    m_lSampleRemainder %= perSecond;
    // The buffer holds one spare frame per packet.
    if (extra > 1) extra = 1;
    if (extra < 0) extra = 0;
    const ULONG length = (m_nSamplesPerPacket + static_cast<ULONG>(extra)) * m_nBlockAlign;
    r.IsoPacket[i].Offset = offset;
    r.IsoPacket[i].Length = length;
    offset += length;
  }
  r.TransferBufferLength = offset;
  return offset;
}

ULONG CUac1RenderStream::TakePacketStatus(PURB Urb) {
  auto& r = Urb->UrbIsochronousTransfer;
  ULONG packets = r.NumberOfPackets;
  if (packets > m_nMsPerUrb * m_nPacketsPerMs) packets = m_nMsPerUrb * m_nPacketsPerMs;
  for (ULONG i = 0; i < packets; ++i) {
    if (static_cast<LONG>(r.IsoPacket[i].Status) < 0) {
      r.Hdr.Status = r.IsoPacket[i].Status;
      return i;
    }
  }
  return packets;
}

STDMETHODIMP CUac1RenderStream::OnUrbComplete(PDEVICE_OBJECT, PIRP Irp, UrbContext* Context) {
  const NTSTATUS status = Irp->IoStatus.Status;
  if (GetStreamState() != STREAM_STATE_RUNNING) {
    PublishUrbDone(Context->Bytes);
    ReleaseUrbContext(Context);
  } else {
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE)
      __atomic_store_n(&m_bDeviceGone, 1, __ATOMIC_SEQ_CST);
    PublishUrbDone(Context->Bytes);
    if (status == STATUS_CANCELLED) {
      ReleaseUrbContext(Context);
    } else {
      TakePacketStatus(Context->Urb);
      const auto& r = Context->Urb->UrbIsochronousTransfer;
      ContinueAfterTransfer(Context, NT_SUCCESS(status) && USBD_SUCCESS(r.Hdr.Status));
    }
  }
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

STDMETHODIMP CUac1RenderStream::Restart() {
  m_lSampleRemainder = 0;
  return CUsbStreamEngine::Restart();
}

// ---------------------------------------------------------------------------------------
// Capture

CUac1CaptureStream::CUac1CaptureStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId) {
  m_nMsPerUrb = kDefaultMsPerUrb;
}

STDMETHODIMP CUac1CaptureStream::AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) {
  MutexHold hold(m_EngineMutex);
  geometry::Plan p{};
  NTSTATUS status = geometry::PlanAllocation(this, Record, &p);
  if (!NT_SUCCESS(status)) return status;
  const ULONG packetsPerMs = GetPacketsPerMs(p.alt);
  if (packetsPerMs == 0) return STATUS_NOT_SUPPORTED;
  const ULONG samples = GetCapturePacketSamples(p.alt, Record->Format.Format, packetsPerMs);
  if (samples == 0) return STATUS_NOT_SUPPORTED;
  const ULONGLONG transfer = ULONGLONG{p.blockAlign} * p.ms * packetsPerMs * samples;
  if (transfer > geometry::kMaxTransferBufferBytes) return STATUS_NOT_SUPPORTED;
  // A capture stream always keeps at least 10 ms queued.
  if (p.ms * p.urbs < kCaptureMinQueuedMs) {
    p.urbs = (kCaptureMinQueuedMs + p.ms - 1) / p.ms;
    Record->UrbsInFlight = p.urbs;
  }
  // The ring takes a whole URB beyond the frame left over from the one before, so that a
  // device sending full packets never overwrites what the clients have not had yet.
  const ULONG least = static_cast<ULONG>(transfer) + p.blockAlign;
  if (p.ringBytes < least) p.ringBytes = least;

  m_nMsPerUrb = p.ms;
  m_nUrbsInFlight = p.urbs;
  m_nPacketsPerMs = packetsPerMs;
  m_nSamplesPerPacket = samples;
  m_nTransferBufferBytes = static_cast<ULONG>(transfer);
  m_nBlockAlign = p.blockAlign;
  m_nStreamRate = p.rate;
  return AllocateTransfers(Record, p.alt, p.ringBytes, kUac1RingTag, BusFrame);
}

STDMETHODIMP CUac1CaptureStream::SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  NTSTATUS status = SelectInterfaceSetting(device, AlternateSetting);
  if (NT_SUCCESS(status) && Record && AlternateSetting != 0) {
    status = SetEndpointRate(device, AlternateSetting, Record->Format.Format.nSamplesPerSec);
    // A refused rate leaves nothing selected: the bandwidth goes back.
    if (!NT_SUCCESS(status)) SelectInterfaceSetting(device, 0);
  }
  return status;
}

STDMETHODIMP CUac1CaptureStream::SendStreamUrb() { return SendCaptureUrb(); }

STDMETHODIMP CUac1CaptureStream::OnUrbComplete(PDEVICE_OBJECT, PIRP Irp, UrbContext* Context) {
  const NTSTATUS status = Irp->IoStatus.Status;
  if (NT_SUCCESS(status)) CopyCaptureData(Context);
  if (GetStreamState() != STREAM_STATE_RUNNING || status == STATUS_CANCELLED) {
    ReleaseUrbContext(Context);
  } else {
    // The packets' own statuses do not stop a capture stream: a lost packet is silence.
    ContinueAfterTransfer(Context, NT_SUCCESS(status) && USBD_SUCCESS(Context->Urb->UrbHeader.Status));
  }
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUac1CaptureStream::CopyCaptureData(UrbContext* Context) {
  KIRQL irql;
  KeAcquireSpinLock(&m_RingLock, &irql);
  if (!m_pRing || m_nRingSize == 0 || m_nBlockAlign == 0) {
    KeReleaseSpinLock(&m_RingLock, irql);
    return;
  }
  auto& r = Context->Urb->UrbIsochronousTransfer;
  auto* buffer = static_cast<PUCHAR>(Context->Buffer);
  // Each packet owns its slot of the buffer: its length is never taken beyond it, and
  // the silence standing in for an empty packet (a millisecond and a frame) is cut to it.
  const ULONG slot = m_nSamplesPerPacket * m_nBlockAlign;
  ULONG silence = (m_nStreamRate / 1000 + 1) * m_nBlockAlign;
  if (silence > slot) silence = slot;
  ULONG packets = r.NumberOfPackets;
  if (packets > m_nMsPerUrb * m_nPacketsPerMs) packets = m_nMsPerUrb * m_nPacketsPerMs;
  for (ULONG i = 0; i < packets; ++i) {
    USBD_ISO_PACKET_DESCRIPTOR& p = r.IsoPacket[i];
    const ULONG offset = i * slot;
    if (p.Length > slot) p.Length = slot;
    if (p.Length == 0 && static_cast<LONG>(p.Status) >= 0) {
      p.Length = silence;
      RtlZeroMemory(buffer + offset, silence);
    }
    StoreInRing(buffer + offset, p.Length);
  }

  const ULONG readable = (m_nRingWrite + m_nRingSize - m_nRingRead) % m_nRingSize;
  const ULONG whole = readable - readable % m_nBlockAlign;
  if (whole) {
    if (m_nRingRead + whole > m_nRingSize) {
      const ULONG tail = m_nRingSize - m_nRingRead;
      ProcessBuffer(m_pRing + m_nRingRead, tail);
      PublishData(STREAM_NOTIFY_CAPTURE_DATA, m_pRing + m_nRingRead, tail);
      ProcessBuffer(m_pRing, whole - tail);
      PublishData(STREAM_NOTIFY_CAPTURE_DATA, m_pRing, whole - tail);
    } else {
      ProcessBuffer(m_pRing + m_nRingRead, whole);
      PublishData(STREAM_NOTIFY_CAPTURE_DATA, m_pRing + m_nRingRead, whole);
    }
    PublishUrbDone(whole);
    m_nRingRead = (m_nRingRead + whole) % m_nRingSize;
  }
  KeReleaseSpinLock(&m_RingLock, irql);
}

}  // namespace stream
