// What the two UAC 2.0 engines share (the valid-alternates check, the clock rate, the
// allocation) and the capture engine with its per-URB publishing. The render engine with
// its feedback is in uac2_render_stream.cpp.
#include "stream/uac2_stream_engines.h"

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "adapter/uac_entity.h"
#include "adapter/usb_audio_device.h"
#include "stream_geometry.h"
#include "uac/control_interfaces.h"

namespace stream {

namespace {

// The valid-alternates control of a UAC 2.0 streaming interface: CUR, selector 2; the
// reply is bControlSize and then the bitmap (bit n of byte 1 + n / 8 is setting n).
constexpr UCHAR kCur = 0x01;
constexpr USHORT kValidAltSettings = 0x0200;
constexpr ULONG kReplyBytes = 5;  // at most 4 bitmap bytes: settings 0 to 31

}  // namespace

CUac2StreamEngine::CUac2StreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId,
                                     ULONG clockNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId), m_nClockNodeId(clockNodeId) {
  m_nMsPerUrb = kDefaultMsPerUrb;
}

STDMETHODIMP_(BOOLEAN) CUac2StreamEngine::IsAltSettingValid(UCHAR AlternateSetting) {
  if (AlternateSetting == 0) return TRUE;
  if (!m_pOwner || AlternateSetting >= 8 * (kReplyBytes - 1)) return FALSE;
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return FALSE;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kUac2StreamTag));
  if (!urb) return FALSE;
  UCHAR reply[kReplyBytes] = {};
  BOOLEAN valid = FALSE;
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  r.TransferBuffer = reply;
  r.TransferBufferLength = kReplyBytes;
  r.Request = kCur;
  r.Value = kValidAltSettings;
  r.Index = static_cast<USHORT>(GetEngineId());
  if (NT_SUCCESS(device->SubmitUrbSync(urb))) {
    // Only what the device sent counts: a short reply names no setting past its end.
    const ULONG got = r.TransferBufferLength < kReplyBytes ? r.TransferBufferLength : kReplyBytes;
    const ULONG byte = 1 + AlternateSetting / 8;
    valid = got > byte && AlternateSetting < 8u * reply[0] && (reply[byte] >> (AlternateSetting % 8)) & 1;
  }
  ExFreePoolWithTag(urb, kUac2StreamTag);
  return valid;
}

NTSTATUS CUac2StreamEngine::SetClockRate(ULONG Rate) {
  if (!m_pOwner) return STATUS_UNSUCCESSFUL;
  adapter::IUacEntity* clock = nullptr;
  const ULONG count = m_pOwner->GetEntityCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IUacEntity* e = nullptr;
    if (NT_SUCCESS(m_pOwner->GetEntity(i, &e)) && e && e->GetId() == m_nClockNodeId) clock = e;
  }
  if (!clock) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<uac::IUacClockSource> source;
  NTSTATUS status = clock->QueryInterface(uac::IID_IUacClockSource, source.out());
  if (!NT_SUCCESS(status)) return status;
  return source.p->SetCurrentRate(Rate);
}

NTSTATUS CUac2StreamEngine::AllocateClocked(PSTREAMCLIENTRECORD Record, UCHAR AlternateSetting, ULONG RingBytes,
                                            PULONG BusFrame) {
  // The clock first: a refused rate leaves nothing to give back.
  NTSTATUS status = SetClockRate(Record->Format.Format.nSamplesPerSec);
  if (!NT_SUCCESS(status)) return status;
  return AllocateTransfers(Record, AlternateSetting, RingBytes, kUac2StreamTag, BusFrame);
}

// ---------------------------------------------------------------------------------------
// Capture

CUac2CaptureStream::CUac2CaptureStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId,
                                       ULONG clockNodeId)
    : CUac2StreamEngine(outerUnknown, interfaceNumber, terminalNodeId, clockNodeId) {}

STDMETHODIMP CUac2CaptureStream::AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) {
  m_EngineMutex.Lock();
  geometry::Plan p{};
  NTSTATUS status = geometry::PlanAllocation(this, Record, &p);
  ULONG packetsPerMs = 0, samples = 0;
  ULONGLONG transfer = 0;
  if (NT_SUCCESS(status)) {
    packetsPerMs = GetPacketsPerMs(p.alt);
    samples = GetCapturePacketSamples(p.alt, Record->Format.Format, packetsPerMs);
    transfer = ULONGLONG{p.blockAlign} * p.ms * packetsPerMs * samples;
    if (packetsPerMs == 0 || samples == 0 || transfer > geometry::kMaxTransferBufferBytes) status = STATUS_NOT_SUPPORTED;
  }
  if (NT_SUCCESS(status)) {
    // A capture stream always keeps at least 10 ms queued.
    if (p.ms * p.urbs < kCaptureMinQueuedMs) {
      p.urbs = (kCaptureMinQueuedMs + p.ms - 1) / p.ms;
      Record->UrbsInFlight = p.urbs;
    }
    // One URB's data is published from the ring in one go: the ring holds at least that.
    if (p.ringBytes < transfer) p.ringBytes = static_cast<ULONG>(transfer);
    m_nMsPerUrb = p.ms;
    m_nUrbsInFlight = p.urbs;
    m_nPacketsPerMs = packetsPerMs;
    m_nSamplesPerPacket = samples;
    m_nTransferBufferBytes = static_cast<ULONG>(transfer);
    m_nBlockAlign = p.blockAlign;
    m_nStreamRate = p.rate;
    status = AllocateClocked(Record, p.alt, p.ringBytes, BusFrame);
  }
  m_EngineMutex.Unlock();
  return status;
}

STDMETHODIMP CUac2CaptureStream::SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  return SelectInterfaceSetting(device, AlternateSetting);
}

STDMETHODIMP CUac2CaptureStream::SendStreamUrb() { return SendCaptureUrb(); }

STDMETHODIMP CUac2CaptureStream::OnUrbComplete(PDEVICE_OBJECT, PIRP Irp, UrbContext* Context) {
  const NTSTATUS status = Irp->IoStatus.Status;
  if (NT_SUCCESS(status)) CopyCaptureData(Context);
  if (GetStreamState() != STREAM_STATE_RUNNING || status == STATUS_CANCELLED) {
    ReleaseUrbContext(Context);
  } else {
    // The packets' own statuses do not stop a capture stream: a lost packet is skipped.
    ContinueAfterTransfer(Context, NT_SUCCESS(status) && USBD_SUCCESS(Context->Urb->UrbHeader.Status));
  }
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUac2CaptureStream::CopyCaptureData(UrbContext* Context) {
  KIRQL irql;
  KeAcquireSpinLock(&m_RingLock, &irql);
  if (!m_pRing || m_nRingSize == 0 || m_nBlockAlign == 0 || m_nPacketsPerMs == 0) {
    KeReleaseSpinLock(&m_RingLock, irql);
    return;
  }
  auto& r = Context->Urb->UrbIsochronousTransfer;
  auto* buffer = static_cast<PUCHAR>(Context->Buffer);
  // Each packet owns its slot of the buffer; an empty good packet stands for one packet's
  // worth of the nominal rate and a frame, cut to the slot.
  const ULONG slot = m_nSamplesPerPacket * m_nBlockAlign;
  ULONG silence = (m_nStreamRate / m_nPacketsPerMs / 1000 + 1) * m_nBlockAlign;
  if (silence > slot) silence = slot;
  ULONG packets = r.NumberOfPackets;
  if (packets > m_nMsPerUrb * m_nPacketsPerMs) packets = m_nMsPerUrb * m_nPacketsPerMs;
  const ULONG start = m_nRingWrite;
  ULONG total = 0;
  for (ULONG i = 0; i < packets; ++i) {
    USBD_ISO_PACKET_DESCRIPTOR& p = r.IsoPacket[i];
    if (p.Length > slot) p.Length = slot;
    if (p.Length == 0 && static_cast<LONG>(p.Status) >= 0) {
      p.Length = silence;
      RtlZeroMemory(buffer + i * slot, silence);
    }
    // Whole frames only: the clients are handed this URB's bytes as frames.
    ULONG bytes = p.Length - p.Length % m_nBlockAlign;
    if (bytes > m_nRingSize - total) bytes = m_nRingSize - total;
    StoreInRing(buffer + i * slot, bytes);
    total += bytes;
  }
  if (total) {
    if (start + total > m_nRingSize) {
      const ULONG tail = m_nRingSize - start;
      ProcessBuffer(m_pRing + start, tail);
      PublishData(STREAM_NOTIFY_CAPTURE_DATA, m_pRing + start, tail);
      ProcessBuffer(m_pRing, total - tail);
      PublishData(STREAM_NOTIFY_CAPTURE_DATA, m_pRing, total - tail);
    } else {
      ProcessBuffer(m_pRing + start, total);
      PublishData(STREAM_NOTIFY_CAPTURE_DATA, m_pRing + start, total);
    }
    PublishUrbDone(total);
  }
  KeReleaseSpinLock(&m_RingLock, irql);
}

}  // namespace stream
