#include "adapter/asio_rings.h"

namespace adapter {
namespace {

// Container and valid bits of each PCM sample type.
struct SampleBits {
  ULONG Type;
  WORD Container;
  WORD Valid;
};
constexpr SampleBits kSampleBits[] = {
    {16, 16, 16}, {17, 24, 24}, {18, 32, 32}, {24, 32, 16}, {25, 32, 18}, {26, 32, 20}, {27, 32, 24},
};

const SampleBits* BitsOf(ULONG SampleType) {
  for (const SampleBits& b : kSampleBits)
    if (b.Type == SampleType) return &b;
  return nullptr;
}

// DSD travels as 64-bit containers at a 64th of the one-bit rate.
constexpr ULONG kDsdRateDivisor = 64;
constexpr WORD kDsdBits = 64;
constexpr ULONG kDsdUnitBytes = 8;

const GUID& SubFormatOf(ULONG Mode) {
  return Mode == kAsioModeDsd ? KSDATAFORMAT_SUBTYPE_ASIO_DSD : KSDATAFORMAT_SUBTYPE_PCM;
}

}  // namespace

ULONG AsioBytesPerSample(ULONG SampleType) {
  const SampleBits* b = BitsOf(SampleType);
  return b ? b->Container / 8u : 0;
}

ULONG AsioRingDataSize(ULONG Mode, ULONG Rate, ULONG Channels, ULONG BytesPerSample) {
  const ULONGLONG frame = Mode == kAsioModeDsd ? ULONGLONG{Channels} * kDsdUnitBytes
                                               : ULONGLONG{Channels} * BytesPerSample;
  if (!frame) return 0;
  const ULONGLONG rate = Mode == kAsioModeDsd ? Rate / kDsdRateDivisor : Rate;
  ULONGLONG size = rate * frame * kAsioRingMs / 1000u;
  size -= size % frame;
  return size <= 0x7FFFFFFFu ? static_cast<ULONG>(size) : 0;
}

AsioStreamSizing SizeAsioStream(ULONG PeriodFrames, ULONG UnitsPerMs) {
  ULONG ms = PeriodFrames / (UnitsPerMs ? UnitsPerMs : 1);
  if (ms < 2) ms = 2;
  AsioStreamSizing s{};
  if (ms >= 20) {
    s.MsPerUrb = 5;
    s.Count = ms / 5 < 5 ? ms / 5 : 5;
  } else if (ms >= 16) {
    s.MsPerUrb = 4;
    s.Count = ms / 4;
  } else if (ms >= 8) {
    s.MsPerUrb = 2;
    s.Count = ms / 2;
  } else {
    s.MsPerUrb = 1;
    s.Count = ms;
  }
  s.UrbsInFlight = s.Count > 2 ? s.Count - 1 : s.Count;
  return s;
}

AsioRenderStart AsioRenderReset(ULONG DataSize, ULONG OneUrb, ULONG Count) {
  ULONG leadUrbs = Count ? Count - 1 : 0;
  AsioRenderStart r{0, 0};
  if (leadUrbs < 2) {
    // Callers never reset a ring smaller than its lead and one URB (CreateBuffers refuses
    // such a ring), so this stays inside the data.
    r.Position = DataSize >= OneUrb ? DataSize - OneUrb : 0;
    leadUrbs = 2;
  }
  r.Lead = leadUrbs * OneUrb;
  return r;
}

ULONG AsioUrbBytes(ULONG Channels, ULONG MsPerUrb, ULONG UnitsPerMs, ULONG BytesPerSample) {
  const ULONGLONG bytes = ULONGLONG{Channels} * MsPerUrb * UnitsPerMs * BytesPerSample;
  return bytes <= 0x7FFFFFFFu ? static_cast<ULONG>(bytes) : 0;
}

ULONG AsioEngineChannels(IStreamEngine* Engine, ULONG Mode) {
  ULONG channels = 0;
  const ULONG count = Engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE f;
    if (!NT_SUCCESS(Engine->GetFormat(i, &f))) continue;
    if (IsEqualGUID(f.SubFormat, SubFormatOf(Mode)) && f.Format.nChannels > channels) channels = f.Format.nChannels;
  }
  return channels;
}

NTSTATUS BuildAsioStreamFormat(IStreamEngine* Engine, ULONG Channels, ULONG Mode, ULONG Rate, ULONG SampleType,
                               WAVEFORMATEXTENSIBLE* Format, PULONG BytesPerSample) {
  WORD container, valid;
  ULONG rate;
  if (Mode == kAsioModeDsd) {
    container = valid = kDsdBits;
    rate = Rate / kDsdRateDivisor;
  } else {
    const SampleBits* b = BitsOf(SampleType);
    if (!b) return STATUS_NO_MATCH;
    container = b->Container;
    valid = b->Valid;
    rate = Rate;
  }
  const GUID& sub = SubFormatOf(Mode);
  const ULONG count = Engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE f;
    if (!NT_SUCCESS(Engine->GetFormat(i, &f))) continue;
    if (f.Format.nChannels == Channels && f.Format.nSamplesPerSec == rate && f.Format.wBitsPerSample == container &&
        f.Samples.wValidBitsPerSample == valid && IsEqualGUID(f.SubFormat, sub)) {
      *Format = f;
      *BytesPerSample = f.Format.wBitsPerSample / 8u;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS ParseAsioBufferRequest(const void* Input, ULONG InputLength, ULONG MaxPairs, ULONG* PairCount,
                                ULONG* PeriodFrames, const AsioChannelPair** Pairs) {
  if (!Input || InputLength < kAsioBufferRequestFixedBytes) return STATUS_INVALID_PARAMETER;
  const auto* fields = static_cast<const ULONG*>(Input);
  const ULONG n = fields[1];
  if (n > MaxPairs) return STATUS_INVALID_PARAMETER;
  // n is at most the ASIO channel count, so this cannot overflow.
  if (InputLength < kAsioBufferRequestFixedBytes + ULONGLONG{kAsioBufferPairBytes} * n) return STATUS_INVALID_PARAMETER;
  *PairCount = n;
  *PeriodFrames = fields[2];
  *Pairs = reinterpret_cast<const AsioChannelPair*>(static_cast<const UCHAR*>(Input) + kAsioBufferRequestFixedBytes);
  return STATUS_SUCCESS;
}

}  // namespace adapter
