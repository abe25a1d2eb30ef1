#include "stream/chip_d_render_stream.h"

#include <cstring>

#include "adapter/object_model.h"
#include "kernel/dbg.h"

namespace stream {
namespace {

constexpr ULONG kDeviceChannels = 2;

// One frame's two samples, moved with a fixed size so the copy is a load and a store.
template <ULONG Bytes>
ULONG PackFrames(PUCHAR Buffer, ULONG Frames, ULONG BlockAlign) {
  const UCHAR* source = Buffer;
  PUCHAR destination = Buffer;
  for (ULONG i = 0; i < Frames; ++i) {
    UCHAR pair[Bytes];
    std::memcpy(pair, source, Bytes);
    std::memcpy(destination, pair, Bytes);
    source += BlockAlign;
    destination += Bytes;
  }
  return Frames * Bytes;
}

}  // namespace

ULONG PackFirstTwoChannels(PUCHAR Buffer, ULONG Frames, ULONG BlockAlign, ULONG BytesPerSample) {
  if (!Buffer || BlockAlign < kDeviceChannels * BytesPerSample) return 0;
  switch (BytesPerSample) {
    case 2:
      return PackFrames<4>(Buffer, Frames, BlockAlign);
    case 3:
      return PackFrames<6>(Buffer, Frames, BlockAlign);
    case 4:
      return PackFrames<8>(Buffer, Frames, BlockAlign);
    default:
      return 0;
  }
}

CTZ4180Render::CTZ4180Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUac1RenderStream(outerUnknown, interfaceNumber, terminalNodeId), m_nBytesPerSample(0) {
  m_nMsPerUrb = kDefaultMsPerUrb;
}

STDMETHODIMP CTZ4180Render::AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  const WAVEFORMATEX& f = Record->Format.Format;
  const ULONG bits = f.wBitsPerSample;
  // The device frame is channels 0 and 1 of the client's: a client frame must have them,
  // in pairs (the formats of this engine are multichannel layouts of pairs), in a sample
  // size the packing knows, with no padding after the channels.
  if (f.nChannels < kDeviceChannels || f.nChannels % kDeviceChannels != 0 || (bits != 16 && bits != 24 && bits != 32) ||
      f.nBlockAlign != f.nChannels * (bits / 8)) {
    DbgPrint("CTZ4180Render: %u channels of %u bits in blocks of %u bytes cannot be sent\n",
             static_cast<unsigned>(f.nChannels), static_cast<unsigned>(bits), static_cast<unsigned>(f.nBlockAlign));
    return STATUS_NOT_SUPPORTED;
  }
  const NTSTATUS status = CUac1RenderStream::AllocateResources(Record, BusFrame);
  if (NT_SUCCESS(status)) m_nBytesPerSample = bits / 8;
  return status;
}

STDMETHODIMP CTZ4180Render::SendStreamUrb() {
  KIRQL irql;
  KeAcquireSpinLock(&m_SendLock, &irql);
  adapter::IUsbAudioDevice* device = QueryDevice();
  NTSTATUS status = STATUS_SUCCESS;
  UrbContext* context = nullptr;
  if (!device) {
    status = STATUS_UNSUCCESSFUL;
  } else if (IsDeviceGone() || GetStreamState() != STREAM_STATE_RUNNING) {
    status = STATUS_SUCCESS;
  } else if (!(context = AcquireUrbContext())) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    const ULONG packets = m_nMsPerUrb * m_nPacketsPerMs;
    PURB urb = BeginIsochUrb(context, packets, USBD_TRANSFER_DIRECTION_OUT);
    const ULONG total = LayOutPackets(urb, packets);
    RtlZeroMemory(context->Buffer, total);
    PublishData(STREAM_NOTIFY_RENDER_FILL, context->Buffer, total);
    ProcessBuffer(context->Buffer, total);
    // Every packet holds whole client frames; each keeps its frames, two channels wide.
    auto& r = urb->UrbIsochronousTransfer;
    const ULONG deviceFrame = kDeviceChannels * m_nBytesPerSample;
    const ULONG sent = PackFirstTwoChannels(static_cast<PUCHAR>(context->Buffer), total / m_nBlockAlign,
                                            m_nBlockAlign, m_nBytesPerSample);
    for (ULONG i = 0; i < packets; ++i) {
      r.IsoPacket[i].Offset = r.IsoPacket[i].Offset / m_nBlockAlign * deviceFrame;
      r.IsoPacket[i].Length = r.IsoPacket[i].Length / m_nBlockAlign * deviceFrame;
    }
    r.TransferBufferLength = sent;
    context->Bytes = sent;
    status = SubmitIsochUrb(device, context);
  }
  KeReleaseSpinLock(&m_SendLock, irql);
  if (device) device->Release();
  return status;
}

STDMETHODIMP CTZ4180Render::OnUrbComplete(PDEVICE_OBJECT, PIRP Irp, UrbContext* Context) {
  const NTSTATUS status = Irp->IoStatus.Status;
  // The clients count in their own frames: the device frames at the client's block size.
  const ULONG deviceFrame = kDeviceChannels * m_nBytesPerSample;
  const ULONG clientBytes = deviceFrame ? Context->Bytes / deviceFrame * m_nBlockAlign : 0;
  if (GetStreamState() != STREAM_STATE_RUNNING) {
    PublishUrbDone(clientBytes);
    ReleaseUrbContext(Context);
  } else {
    if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE)
      __atomic_store_n(&m_bDeviceGone, 1, __ATOMIC_SEQ_CST);
    PublishUrbDone(clientBytes);
    if (status == STATUS_CANCELLED) {
      ReleaseUrbContext(Context);
    } else {
      auto& r = Context->Urb->UrbIsochronousTransfer;
      ULONG packets = r.NumberOfPackets;
      if (packets > m_nMsPerUrb * m_nPacketsPerMs) packets = m_nMsPerUrb * m_nPacketsPerMs;
      for (ULONG i = 0; i < packets; ++i) {
        if (static_cast<LONG>(r.IsoPacket[i].Status) < 0) {
          DbgPrint("Idx = %d, Status = %x\n", static_cast<int>(i), static_cast<unsigned>(r.IsoPacket[i].Status));
          r.Hdr.Status = r.IsoPacket[i].Status;
          break;
        }
      }
      const bool good = NT_SUCCESS(status) && USBD_SUCCESS(r.Hdr.Status);
      if (!good)
        DbgPrint("Transfer Error ntStatus = %x, URB Status = %x\n", static_cast<unsigned>(status),
                 static_cast<unsigned>(r.Hdr.Status));
      ContinueAfterTransfer(Context, good);
    }
  }
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace stream
