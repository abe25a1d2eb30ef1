#include "stream/chip_d_render_stream.h"

#include <cstdint>
#include <cstring>

#include "adapter/object_model.h"
#include "kernel/dbg.h"

namespace stream {
namespace {

constexpr ULONG kDeviceChannels = 2;

// A frame's two samples as integers: 4, 6 (4 + 2) or 8 bytes, loaded and stored as
// such so that every move stays in registers.
template <ULONG Bytes>
struct Pair {
  std::uint64_t low;
  std::uint16_t high;
  // Six bytes read as one eight-byte word, where the frame is long enough for it.
  static Pair LoadWide(const UCHAR* p) {
    Pair v{0, 0};
    std::memcpy(&v.low, p, 8);
    v.high = static_cast<std::uint16_t>(v.low >> 32);
    return v;
  }
  static Pair Load(const UCHAR* p) {
    Pair v{0, 0};
    if constexpr (Bytes == 6) {
      std::uint32_t low32;
      std::memcpy(&low32, p, 4);
      std::memcpy(&v.high, p + 4, 2);
      v.low = low32;
    } else if constexpr (Bytes == 4) {
      std::uint32_t low32;
      std::memcpy(&low32, p, 4);
      v.low = low32;
    } else {
      std::memcpy(&v.low, p, 8);
    }
    return v;
  }
  void Store(PUCHAR p) const {
    if constexpr (Bytes == 6) {
      const std::uint32_t low32 = static_cast<std::uint32_t>(low);
      std::memcpy(p, &low32, 4);
      std::memcpy(p + 4, &high, 2);
    } else if constexpr (Bytes == 4) {
      const std::uint32_t low32 = static_cast<std::uint32_t>(low);
      std::memcpy(p, &low32, 4);
    } else {
      std::memcpy(p, &low, 8);
    }
  }
};

// Four frames are read before any of them is written: their places all lie before the
// first of them (and before every later frame), and no store has to wait for the load
// of the next frame behind it.
template <ULONG Bytes, bool Wide = false>
ULONG PackFrames(PUCHAR Buffer, ULONG Frames, ULONG BlockAlign) {
  const UCHAR* source = Buffer;
  PUCHAR destination = Buffer;
  ULONG i = 0;
  constexpr auto load = Wide ? &Pair<Bytes>::LoadWide : &Pair<Bytes>::Load;
  for (; i + 4 <= Frames; i += 4) {
    const Pair<Bytes> a = load(source);
    const Pair<Bytes> b = load(source + BlockAlign);
    const Pair<Bytes> c = load(source + 2 * BlockAlign);
    const Pair<Bytes> d = load(source + 3 * BlockAlign);
    a.Store(destination);
    b.Store(destination + Bytes);
    c.Store(destination + 2 * Bytes);
    d.Store(destination + 3 * Bytes);
    source += 4 * BlockAlign;
    destination += 4 * Bytes;
  }
  for (; i < Frames; ++i) {
    Pair<Bytes>::Load(source).Store(destination);
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
      // 24-bit frames of four channels or more hold eight bytes from each pair on.
      return BlockAlign >= 8 ? PackFrames<6, true>(Buffer, Frames, BlockAlign) : PackFrames<6>(Buffer, Frames, BlockAlign);
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
  auto fill = [&](adapter::IUsbAudioDevice* device, UrbContext* context, PURB urb, ULONG packets) {
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
    return SubmitIsochUrb(device, context);
  };
  return SendIsochUrb(USBD_TRANSFER_DIRECTION_OUT, fill);
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
