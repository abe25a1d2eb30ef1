// The UAC 2.0 render engine: an OUT endpoint that plays the rate its device measures.
// Every data URB goes down with a feedback URB on the feedback pipe; the feedback
// completion turns the URB's values into hertz (stream/feedback.h) and stores the result
// as one 32-bit value, which the next send reads to lay out its packets. Recovery resets
// the pipes in place and falls back to the full recovery of the base when a reset fails.
#include "adapter/object_model.h"
#include "adapter/usb_audio_device.h"
#include "kernel/io.h"
#include "stream/feedback.h"
#include "stream/uac2_stream_engines.h"
#include "stream_geometry.h"
#include "usb/usbioctl.h"

namespace stream {
namespace {

constexpr UCHAR kEndpointIn = 0x80;
// The pipe-reset URB is declared with this length.
constexpr USHORT kPipeRequestBytes = 40;
// URBs the in-place recovery queues, whatever the client asked for.
constexpr ULONG kRecoveryUrbs = 3;
// The render buffer's spare frames per packet: the measured rate may lie up to 1000 Hz
// above nominal, which at full speed adds up to two frames to one packet.
constexpr ULONG kRenderSpareFrames = 2;
// The most feedback packets one ms holds: one per microframe.
constexpr ULONG kMaxFeedbackPacketsPerMs = 8;

}  // namespace

CUac2RenderStream::CUac2RenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId,
                                     ULONG clockNodeId)
    : CUac2StreamEngine(outerUnknown, interfaceNumber, terminalNodeId, clockNodeId),
      m_lMeasuredRate(0),
      m_lSampleRemainder(0),
      m_nFeedbackPipe(0),
      m_bHasFeedbackPipe(false),
      m_nFeedbackUrbsSent(0),
      m_FeedbackInFlight{},
      m_FeedbackFree{} {
  KeInitializeSpinLock(&m_FeedbackSlotLock);
}

CUac2RenderStream::~CUac2RenderStream() {
  EndControlThread();
  if (GetStreamState() == STREAM_STATE_RUNNING) SetStreamState(STREAM_STATE_ALLOCATED);
  KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
  FreeFeedbackTransfers();
}

STDMETHODIMP CUac2RenderStream::AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) {
  m_EngineMutex.Lock();
  geometry::Plan p{};
  NTSTATUS status = geometry::PlanAllocation(this, Record, &p);
  ULONG packetsPerMs = 0;
  ULONGLONG transfer = 0;
  if (NT_SUCCESS(status)) {
    packetsPerMs = GetPacketsPerMs(p.alt);
    transfer = (ULONGLONG{p.rate} / 1000 / (packetsPerMs ? packetsPerMs : 1) + kRenderSpareFrames) * p.blockAlign *
               p.ms * packetsPerMs;
    // Feedback transfers come from the same list: a buffer holds a feedback URB too, at
    // high speed up to one packet per microframe.
    const ULONGLONG feedbackBytes = ULONGLONG{p.ms} * feedback::kHighSpeedPacketBytes * kMaxFeedbackPacketsPerMs;
    if (transfer < feedbackBytes) transfer = feedbackBytes;
    if (packetsPerMs == 0 || transfer > geometry::kMaxTransferBufferBytes) status = STATUS_NOT_SUPPORTED;
  }
  if (NT_SUCCESS(status)) {
    m_nMsPerUrb = p.ms;
    m_nUrbsInFlight = p.urbs;
    m_nPacketsPerMs = packetsPerMs;
    m_nUrbPacketsPerMs = kMaxFeedbackPacketsPerMs;
    m_nSamplesPerPacket = p.rate / (packetsPerMs * 1000);
    m_nTransferBufferBytes = static_cast<ULONG>(transfer);
    m_nBlockAlign = p.blockAlign;
    m_nStreamRate = p.rate;
    InterlockedExchange(&m_lMeasuredRate, static_cast<LONG>(p.rate));
    status = AllocateClocked(Record, p.alt, p.ringBytes, BusFrame);
  }
  if (NT_SUCCESS(status)) {
    // Ten feedback transfers beside the ten data transfers, from the same lists.
    adapter::IUsbAudioDevice* device = QueryDevice();
    for (ULONG i = 0; i < kTransferSlots && NT_SUCCESS(status); ++i) {
      m_FeedbackInFlight[i] = nullptr;
      status = device ? AllocTransfer(device, i, &m_FeedbackFree[i]) : STATUS_UNSUCCESSFUL;
    }
    if (device) device->Release();
    // A missing one gives everything back: FreeResources frees both kinds of transfer.
    if (!NT_SUCCESS(status)) FreeResources();
  }
  if (NT_SUCCESS(status)) {
    m_lSampleRemainder = 0;
    m_nFeedbackUrbsSent = 0;
  }
  m_EngineMutex.Unlock();
  return status;
}

STDMETHODIMP CUac2RenderStream::SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  m_bHasFeedbackPipe = false;
  m_nFeedbackPipe = 0;
  const NTSTATUS status = SelectInterfaceSetting(device, AlternateSetting);
  if (!NT_SUCCESS(status) || AlternateSetting == 0 || !m_pPipeTable) return status;
  // The data pipe is the last OUT pipe; the last IN pipe, when there is one, the feedback.
  for (ULONG i = 0; i < m_pPipeTable->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = m_pPipeTable->Pipes[i];
    if ((pipe.EndpointAddress & kEndpointIn) != 0 && pipe.PipeType == UsbdPipeTypeIsochronous) {
      m_nFeedbackPipe = static_cast<UCHAR>(i);
      m_bHasFeedbackPipe = true;
    }
  }
  return status;
}

const USBD_PIPE_INFORMATION* CUac2RenderStream::GetFeedbackPipe() const {
  if (!m_bHasFeedbackPipe || !m_pPipeTable || m_nFeedbackPipe >= m_pPipeTable->NumberOfPipes) return nullptr;
  return &m_pPipeTable->Pipes[m_nFeedbackPipe];
}

void CUac2RenderStream::FreeFeedbackTransfers() {
  for (ULONG i = 0; i < kTransferSlots; ++i) {
    if (m_FeedbackFree[i]) FreeUrbContext(m_FeedbackFree[i]);
    m_FeedbackFree[i] = nullptr;
  }
}

STDMETHODIMP CUac2RenderStream::ReleaseTransfers() {
  FreeFeedbackTransfers();
  return CUsbStreamEngine::ReleaseTransfers();
}

STDMETHODIMP CUac2RenderStream::AbortPipe() {
  NTSTATUS status = CUsbStreamEngine::AbortPipe();
  if (!NT_SUCCESS(status)) return status;
  const USBD_PIPE_INFORMATION* pipe = GetFeedbackPipe();
  if (!pipe) return status;
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), kUrbPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = kPipeRequestBytes;
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
  status = device->SubmitUrbSync(urb);
  ExFreePoolWithTag(urb, kUrbPoolTag);
  return status;
}

UrbContext* CUac2RenderStream::AcquireFeedbackUrbContext() {
  UrbContext* found = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&m_FeedbackSlotLock, &irql);
  const ULONG slots = m_nUrbsInFlight < kTransferSlots ? m_nUrbsInFlight : kTransferSlots;
  for (ULONG i = 0; i < slots && !found; ++i) {
    if (m_FeedbackInFlight[i] || !m_FeedbackFree[i]) continue;
    found = m_FeedbackFree[i];
    m_FeedbackFree[i] = nullptr;
    m_FeedbackInFlight[i] = found;
  }
  KeReleaseSpinLock(&m_FeedbackSlotLock, irql);
  return found;
}

void CUac2RenderStream::ReleaseFeedbackUrbContext(UrbContext* Context) {
  KIRQL irql;
  KeAcquireSpinLock(&m_FeedbackSlotLock, &irql);
  m_FeedbackFree[Context->Slot] = Context;
  m_FeedbackInFlight[Context->Slot] = nullptr;
  IoReuseIrp(Context->Irp, STATUS_NOT_SUPPORTED);
  KeReleaseSpinLock(&m_FeedbackSlotLock, irql);
}

ULONG CUac2RenderStream::FeedbackPacketsPerMs(UCHAR Interval, bool HighSpeed) {
  if (!HighSpeed || Interval >= 4) return 1;
  // Every 2^(bInterval - 1) microframes; 0 is taken as 1, as the bus does.
  return kMaxFeedbackPacketsPerMs >> (Interval ? Interval - 1 : 0);
}

NTSTATUS CUac2RenderStream::SendFeedbackUrb(adapter::IUsbAudioDevice* Device) {
  const USBD_PIPE_INFORMATION* pipe = GetFeedbackPipe();
  if (!pipe) return STATUS_SUCCESS;
  UrbContext* context = AcquireFeedbackUrbContext();
  if (!context) return STATUS_SUCCESS;  // every feedback slot is out: this URB goes without

  // One packet per bus frame, or, for a high-speed endpoint polled more often (bInterval 1
  // to 3), one per poll: the bus takes only whole frames of such an endpoint's packets.
  const bool highSpeed = Device->IsHighSpeed() != 0;
  const ULONG packets = m_nMsPerUrb * FeedbackPacketsPerMs(pipe->Interval, highSpeed);
  const ULONG size = highSpeed ? feedback::kHighSpeedPacketBytes : feedback::kFullSpeedPacketBytes;
  const ULONG bytes = kIsochUrbFixedBytes + kIsochPacketBytes * packets;
  PURB urb = context->Urb;
  RtlZeroMemory(urb, bytes);
  auto& r = urb->UrbIsochronousTransfer;
  r.Hdr.Length = static_cast<USHORT>(bytes);
  r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  r.PipeHandle = pipe->PipeHandle;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
  r.TransferBuffer = context->Buffer;
  r.TransferBufferLength = packets * size;
  r.StartFrame = 0;
  r.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) r.IsoPacket[i].Offset = i * size;
  // A packet the device leaves short must not show what an earlier transfer left here.
  RtlZeroMemory(context->Buffer, packets * size);
  context->Bytes = packets * size;

  PIRP irp = context->Irp;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  // The arguments share their place with the control code's parameters: they go first.
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.Others.Argument2 = nullptr;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, FeedbackCompletionRoutine, context, TRUE, TRUE, TRUE);
  if (InterlockedIncrement(&m_lUrbsOutstanding) == 1) KeClearEvent(&m_AllBackEvent);
  ++m_nFeedbackUrbsSent;
  return Device->CallDriver(irp);
}

NTSTATUS CUac2RenderStream::FeedbackCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* context = static_cast<UrbContext*>(Context);
  return static_cast<CUac2RenderStream*>(context->Engine)->OnFeedbackUrbComplete(Irp, context);
}

NTSTATUS CUac2RenderStream::OnFeedbackUrbComplete(PIRP Irp, UrbContext* Context) {
  const NTSTATUS status = Irp->IoStatus.Status;
  if (GetStreamState() == STREAM_STATE_RUNNING && status != STATUS_CANCELLED) {
    const auto& r = Context->Urb->UrbIsochronousTransfer;
    if (NT_SUCCESS(status) && USBD_SUCCESS(r.Hdr.Status)) {
      ULONG packets = r.NumberOfPackets;
      if (packets > m_nMsPerUrb * kMaxFeedbackPacketsPerMs) packets = m_nMsPerUrb * kMaxFeedbackPacketsPerMs;
      feedback::FeedbackUrb urb{};
      urb.Buffer = static_cast<const UCHAR*>(Context->Buffer);
      urb.Packets = r.IsoPacket;
      urb.PacketCount = packets;
      urb.PacketBytes = Context->Bytes == packets * feedback::kHighSpeedPacketBytes ? feedback::kHighSpeedPacketBytes
                                                                                     : feedback::kFullSpeedPacketBytes;
      // Several polls per frame all report the same frame's rate: the doubling rule counts frames.
      urb.PacketsPerFrame = packets >= m_nMsPerUrb && m_nMsPerUrb ? packets / m_nMsPerUrb : 1;
      // A value counts samples per bus (micro)frame, whatever either endpoint's bInterval:
      // 8,000 a second at high speed, whose feedback packets the send sized at 4 bytes, 1,000
      // at full speed.
      urb.PacketsPerSecond = urb.PacketBytes == feedback::kHighSpeedPacketBytes ? 8000 : 1000;
      urb.NominalRate = m_CurrentWaveFormat.Format.nSamplesPerSec;
      const feedback::FeedbackResult result = feedback::ParseFeedback(urb, GetMeasuredRate());
      if (result.Counted) InterlockedExchange(&m_lMeasuredRate, result.Rate);
    } else {
      SignalTransferError();
    }
  }
  // The slot goes back before the count drops, so none is still being returned once the
  // all-back event is set.
  ReleaseFeedbackUrbContext(Context);
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

STDMETHODIMP CUac2RenderStream::SendStreamUrb() {
  KIRQL irql;
  KeAcquireSpinLock(&m_SendLock, &irql);
  adapter::IUsbAudioDevice* device = QueryDevice();
  NTSTATUS status = STATUS_SUCCESS;
  UrbContext* context = nullptr;
  if (!device) {
    status = STATUS_UNSUCCESSFUL;
  } else if (IsDeviceGone() || GetStreamState() != STREAM_STATE_RUNNING) {
    status = STATUS_SUCCESS;
  } else {
    if (m_bHasFeedbackPipe) {
      const NTSTATUS sent = SendFeedbackUrb(device);
      if (sent == STATUS_NO_SUCH_DEVICE || sent == STATUS_DEVICE_NOT_CONNECTED) status = sent;
    }
    if (NT_SUCCESS(status) && !(context = AcquireUrbContext())) status = STATUS_BUFFER_TOO_SMALL;
  }
  if (context) {
    const ULONG packets = m_nMsPerUrb * m_nPacketsPerMs;
    PURB urb = BeginIsochUrb(context, packets, USBD_TRANSFER_DIRECTION_OUT);
    auto& r = urb->UrbIsochronousTransfer;
    const LONG rate = GetMeasuredRate();
    const ULONG perSecond = m_nPacketsPerMs * 1000;
    // Every packet fits its share of the buffer: the spare frames bound what the
    // remainder may add, and a rate the feedback never gives cannot pass them.
    const LONG most = static_cast<LONG>(m_nSamplesPerPacket + kRenderSpareFrames);
    ULONG offset = 0;
    for (ULONG i = 0; i < packets; ++i) {
      LONG frames = feedback::NextPacketFrames(&m_lSampleRemainder, rate, m_nSamplesPerPacket, perSecond);
      if (frames > most) frames = most;
      if (frames < 0) frames = 0;
      const ULONG length = static_cast<ULONG>(frames) * m_nBlockAlign;
      r.IsoPacket[i].Offset = offset;
      r.IsoPacket[i].Length = length;
      offset += length;
    }
    r.TransferBufferLength = offset;
    RtlZeroMemory(context->Buffer, offset);
    PublishData(STREAM_NOTIFY_RENDER_FILL, context->Buffer, offset);
    ProcessBuffer(context->Buffer, offset);
    context->Bytes = offset;
    status = SubmitIsochUrb(device, context);
  }
  KeReleaseSpinLock(&m_SendLock, irql);
  if (device) device->Release();
  return status;
}

STDMETHODIMP CUac2RenderStream::OnUrbComplete(PDEVICE_OBJECT, PIRP Irp, UrbContext* Context) {
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
      ContinueAfterTransfer(Context, NT_SUCCESS(status) && USBD_SUCCESS(Context->Urb->UrbHeader.Status));
    }
  }
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUac2RenderStream::ResetPipe(adapter::IUsbAudioDevice* Device, USBD_PIPE_HANDLE Pipe) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), kUrbPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = kPipeRequestBytes;
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb->UrbPipeRequest.PipeHandle = Pipe;
  const NTSTATUS status = Device->SubmitUrbSync(urb);
  ExFreePoolWithTag(urb, kUrbPoolTag);
  return status;
}

STDMETHODIMP CUac2RenderStream::Recover() {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
  InterlockedExchange(&m_lWorkInterlock, 0);
  const bool gone = device->CheckPort();
  __atomic_store_n(&m_bDeviceGone, gone ? 1 : 0, __ATOMIC_SEQ_CST);
  if (gone) return STATUS_DEVICE_NOT_CONNECTED;

  const USBD_PIPE_INFORMATION* data = GetDataPipe();
  NTSTATUS status = data ? ResetPipe(device, data->PipeHandle) : STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status)) {
    if (const USBD_PIPE_INFORMATION* fb = GetFeedbackPipe()) status = ResetPipe(device, fb->PipeHandle);
  }
  if (!NT_SUCCESS(status)) {
    // A stream left running without URBs would stay silent until a client restarted it:
    // the full recovery reselects the setting and restarts, or cycles the port.
    DbgPrint("CUac2RenderStream::Recover pipe reset failed ntStatus = %x, full recovery\n",
             static_cast<unsigned>(status));
    return CUsbStreamEngine::Recover();
  }

  ULONG frame = 0;
  device->GetCurrentFrame(&frame);
  m_nNextStartFrame = frame + kRestartFrameOffset;
  for (ULONG i = 0; i < kRecoveryUrbs; ++i) {
    status = SendStreamUrb();
    if (!NT_SUCCESS(status)) break;
  }
  return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

}  // namespace stream
