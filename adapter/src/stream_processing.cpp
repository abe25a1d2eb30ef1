// The stream engine's processing hooks: interleaved PCM of the running stream becomes
// planar float in the engine's stream buffers, chunk by chunk, the processing nodes and
// the clients' effect objects work on it, and it goes back as PCM into the same place.
// The buffers were allocated once with the engine; nothing here allocates.
#include "adapter/dsp_node.h"
#include "adapter/stream_engine.h"
#include "sp/sp.h"

namespace adapter {
namespace {

// MXCSR: flush-to-zero and the rounding field (00 = to nearest).
constexpr uint32 kMxcsrFlushToZero = 0x8000;
constexpr uint32 kMxcsrRounding = 0x6000;

// Flush-to-zero and round-to-nearest for the life of the object; the caller's control
// word comes back whole at the end.
class ScopedStreamFpMode {
 public:
  ScopedStreamFpMode() : m_Saved(spSetMxcsr(kMxcsrFlushToZero, kMxcsrFlushToZero | kMxcsrRounding)) {}
  ~ScopedStreamFpMode() { spLoadMxcsr(m_Saved); }
  ScopedStreamFpMode(const ScopedStreamFpMode&) = delete;
  ScopedStreamFpMode& operator=(const ScopedStreamFpMode&) = delete;

 private:
  uint32 m_Saved;
};

// Full scale of each converted sample width: 16-bit x / 2^15, 24-bit x / 2^23, 32-bit
// x / 2^31, so that full scale maps to [-1, 1).
constexpr float kFullScale24 = 8388608.0f;

bool IsConvertedWidth(WORD bits) { return bits == 16 || bits == 24 || bits == 32; }

}  // namespace

NTSTATUS CStreamEngine::CheckInterleaved(PVOID Buffer, ULONG Bytes, ULONG* Frames) const {
  const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
  if (blockAlign == 0) {
    DbgPrint("ProcessBuffer: the current format has no block size\n");
    return STATUS_UNSUCCESSFUL;
  }
  if (Bytes % blockAlign != 0) {
    DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", static_cast<int>(Bytes),
             static_cast<int>(blockAlign));
    return STATUS_UNSUCCESSFUL;
  }
  if (!Buffer && Bytes != 0) return STATUS_INVALID_PARAMETER;
  *Frames = Bytes / blockAlign;
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RunNodeList(CRefList<IDspNode>* List, PVOID Data, ULONG Frames, bool Reset) {
  if (!List) return STATUS_SUCCESS;
  if (static_cast<LONG>(List->GetCount()) < 0) return STATUS_UNSUCCESSFUL;
  for (IDspNode* node : *List) {
    const NTSTATUS status = Reset ? node->Reset() : node->Process(&m_CurrentWaveFormat, Data, Frames);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CStreamEngine::RunDspNodes(PVOID Buffer, ULONG Frames, ULONG Mode) {
  if (Mode == WAVE_FORMAT_PCM) {
    // Planar float lives in the channel buffers, which hold one chunk.
    if (!m_ppChannelBuffers || Frames > kStreamChunkFrames) return STATUS_UNSUCCESSFUL;
    return RunNodeList(m_pDspNodeList, m_ppChannelBuffers, Frames, false);
  }
  if (!Buffer) return STATUS_INVALID_PARAMETER;
  return RunNodeList(m_pDspNodeList, Buffer, Frames, false);
}

STDMETHODIMP CStreamEngine::RunEffectNodes(ULONG Frames) {
  if (!m_ppChannelBuffers || Frames > kStreamChunkFrames) return STATUS_UNSUCCESSFUL;
  return RunNodeList(m_pFirstEffectList, m_ppChannelBuffers, Frames, false);
}

STDMETHODIMP CStreamEngine::RunSecondEffectNodes(ULONG Frames) {
  if (!m_ppChannelBuffers || Frames > kStreamChunkFrames) return STATUS_UNSUCCESSFUL;
  return RunNodeList(m_pSecondEffectList, m_ppChannelBuffers, Frames, true);
}

// A processing object takes PCM only as planar float, so the interleaved runs convert as
// ProcessBuffer does and run their one list on the channel buffers.
STDMETHODIMP CStreamEngine::RunEffectNodesInterleaved(PVOID Buffer, ULONG Bytes) {
  return ProcessLists(Buffer, Bytes, kRunFirstEffects, true);
}

STDMETHODIMP CStreamEngine::RunSecondEffectNodesInterleaved(PVOID Buffer, ULONG Bytes) {
  return ProcessLists(Buffer, Bytes, kRunSecondEffects, true);
}

NTSTATUS CStreamEngine::ProcessLists(PVOID Buffer, ULONG Bytes, ULONG Lists, bool Locked) {
  ULONG frames = 0;
  NTSTATUS status = CheckInterleaved(Buffer, Bytes, &frames);
  if (!NT_SUCCESS(status)) return status;
  ScopedStreamFpMode fpMode;
  if (!Locked) return ProcessChunks(static_cast<PUCHAR>(Buffer), frames, Lists);
  const KIRQL irql = LockLists();
  status = ProcessChunks(static_cast<PUCHAR>(Buffer), frames, Lists);
  UnlockLists(irql);
  return status;
}

NTSTATUS CStreamEngine::ProcessChunks(PUCHAR Buffer, ULONG Frames, ULONG Lists) {
  const bool nodes = (Lists & kRunDspNodes) && m_pDspNodeList && !m_pDspNodeList->IsEmpty();
  const bool first = (Lists & kRunFirstEffects) && m_pFirstEffectList && !m_pFirstEffectList->IsEmpty();
  const bool second = (Lists & kRunSecondEffects) && m_pSecondEffectList && !m_pSecondEffectList->IsEmpty();
  // Nothing to run: the buffer is left exactly as it came, without a conversion round trip.
  if ((!nodes && !first && !second) || Frames == 0) return STATUS_SUCCESS;

  const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
  const ULONG blockAlign = format.nBlockAlign;
  const WORD tag = DspFormatTag(&m_CurrentWaveFormat);

  if (tag != WAVE_FORMAT_PCM) {
    // Other formats reach only the processing nodes, interleaved as they are.
    if (!nodes) return STATUS_SUCCESS;
    for (ULONG done = 0; done < Frames;) {
      const ULONG frames = Frames - done < kStreamChunkFrames ? Frames - done : kStreamChunkFrames;
      const NTSTATUS status = RunDspNodes(Buffer + static_cast<SIZE_T>(done) * blockAlign, frames, tag);
      if (!NT_SUCCESS(status)) return status;
      done += frames;
    }
    return STATUS_SUCCESS;
  }

  const WORD bits = format.wBitsPerSample;
  const ULONG channels = format.nChannels;
  // Sample widths without a conversion pass through untouched.
  if (!IsConvertedWidth(bits)) return STATUS_SUCCESS;
  // The conversion reads and writes channels x frames packed samples and the channel
  // buffers hold eight channels of one chunk: anything else would run past the caller's
  // buffer or the engine's.
  if (channels == 0 || channels > kStreamChannelBuffers || blockAlign != channels * (bits / 8u)) {
    DbgPrint("ProcessBuffer: %u channels of %u bits in blocks of %u bytes cannot be converted\n", channels,
             static_cast<unsigned>(bits), blockAlign);
    return STATUS_UNSUCCESSFUL;
  }
  if (!m_pFloatScratch || !m_ppChannelBuffers) {
    DbgPrint("ProcessBuffer: no stream buffers\n");
    return STATUS_UNSUCCESSFUL;
  }
  for (ULONG i = 0; i < channels; ++i) {
    if (!m_ppChannelBuffers[i]) return STATUS_UNSUCCESSFUL;
  }

  for (ULONG done = 0; done < Frames;) {
    const ULONG frames = Frames - done < kStreamChunkFrames ? Frames - done : kStreamChunkFrames;
    PUCHAR chunk = Buffer + static_cast<SIZE_T>(done) * blockAlign;
    PcmToFloatPlanar(chunk, frames);
    NTSTATUS status = STATUS_SUCCESS;
    if (nodes) status = RunDspNodes(chunk, frames, WAVE_FORMAT_PCM);
    if (NT_SUCCESS(status) && first) status = RunEffectNodes(frames);
    if (NT_SUCCESS(status) && second) status = RunSecondEffectNodes(frames);
    if (!NT_SUCCESS(status)) return status;
    FloatPlanarToPcm(chunk, frames);
    done += frames;
  }
  return STATUS_SUCCESS;
}

void CStreamEngine::PcmToFloatPlanar(const UCHAR* Source, ULONG Frames) {
  const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
  const int samples = static_cast<int>(format.nChannels * Frames);
  switch (format.wBitsPerSample) {
    case 16:
      spConvert_16s32f(reinterpret_cast<const int16*>(Source), m_pFloatScratch, samples, 15);
      break;
    case 24:
      spConvert_24s32f(Source, m_pFloatScratch, samples);
      spDivConstInPlace_32f(kFullScale24, m_pFloatScratch, samples);
      break;
    case 32:
      spConvertScaled_32s32f(reinterpret_cast<const int32*>(Source), m_pFloatScratch, samples, 31);
      break;
    default:
      return;
  }
  spDeinterleave_32f(m_pFloatScratch, format.nChannels, static_cast<int>(Frames), m_ppChannelBuffers);
}

void CStreamEngine::FloatPlanarToPcm(PUCHAR Destination, ULONG Frames) {
  const WAVEFORMATEX& format = m_CurrentWaveFormat.Format;
  const int samples = static_cast<int>(format.nChannels * Frames);
  spInterleave_32f(m_ppChannelBuffers, format.nChannels, static_cast<int>(Frames), m_pFloatScratch);
  switch (format.wBitsPerSample) {
    case 16:
      spConvert_32f16s(m_pFloatScratch, reinterpret_cast<int16*>(Destination), samples, SP_ROUND_ZERO, -15);
      break;
    case 24:
      spConvert_32f24s(m_pFloatScratch, Destination, samples, -23);
      break;
    case 32:
      spConvert_32f32s(m_pFloatScratch, reinterpret_cast<int32*>(Destination), samples, SP_ROUND_ZERO, -31);
      break;
    default:
      break;
  }
}

STDMETHODIMP CStreamEngine::ProcessBuffer(PVOID Buffer, ULONG Bytes) {
  return ProcessLists(Buffer, Bytes, kRunDspNodes | kRunFirstEffects | kRunSecondEffects, true);
}

STDMETHODIMP CStreamEngine::ProcessBufferUnlocked(PVOID Buffer, ULONG Bytes) {
  return ProcessLists(Buffer, Bytes, kRunDspNodes, false);
}

}  // namespace adapter
