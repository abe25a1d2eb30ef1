// Single-rate FIR of one build: state size, set-up and the block filter (direct form and
// overlap-save through the build's own real FFT). Each build's source includes this file
// inside its own namespace with SP_FIR_BUILD set (0 generic, 1-3 the processor builds);
// the processor builds add the four-fold repeated taps and take their direct-form outputs
// from spFirDirectBlockKernel_32f. Needs <cstring>, <new>, "fir_internal.h",
// "sp/core_bodies.h" and "sp/fft_bodies.h"; the processor builds also the block kernel.

namespace single {
namespace {

constexpr std::uint64_t kUint32Max = 0xFFFFFFFFull;

inline std::uint64_t Align16(std::uint64_t x) { return (x + 15) & ~std::uint64_t{15}; }

inline std::uint8_t* AlignPointer16(std::uint8_t* p) {
  auto v = reinterpret_cast<std::uintptr_t>(p);
  return p + ((16 - (v & 15)) & 15);
}

struct SingleRateLayout {
  std::uint64_t tapsBytes;     // reversed taps
  std::uint64_t lineBytes;     // delay line and the direct form's input window
  std::uint64_t repeatedBytes; // processor builds: each tap four times
  std::uint64_t spectrumBytes; // taps spectrum, and again the overlap-save block
  uint32 specBytes = 0;
  uint32 initBytes = 0;
  uint32 workBytes = 0;
  int order = 0;               // 0: no FFT
};

SingleRateLayout ComputeLayout(int32 tapsLen) {
  SingleRateLayout l{};
  l.tapsBytes = Align16(4ull * static_cast<std::uint64_t>(tapsLen));
  l.lineBytes = Align16(12ull * static_cast<std::uint64_t>(tapsLen) + 16);
  l.repeatedBytes = SP_FIR_BUILD == 0 ? 0 : 4 * l.tapsBytes;
  int order = sp::generic::fir::SingleRateFftOrder(tapsLen);
  if (order > 0) {
    uint32 spec = 0, init = 0, work = 0;
    if (spFftGetSpecSizeReal_32f(order, SP_FFT_SCALE_INVERSE, 0, &spec, &init, &work) == SP_OK) {
      l.order = order;
      l.specBytes = spec;
      l.initBytes = init;
      l.workBytes = work;
    }
  }
  l.spectrumBytes = l.order ? Align16(4ull << l.order) : 0;
  return l;
}

// The reported size: the record and a fixed scratch allowance plus every region.
std::uint64_t StateBytes(const SingleRateLayout& l) {
  return std::uint64_t{l.specBytes} + l.initBytes + l.workBytes + l.tapsBytes + l.lineBytes +
         l.repeatedBytes + 2 * l.spectrumBytes + 16576;
}

#if SP_FIR_BUILD == 0
// Sum over k of taps[k] * window[k] in single precision, k ascending from +0.0.
inline float DotForward(const float* taps, const float* window, int32 n) {
  float acc = 0.0f;
  for (int32 k = 0; k < n; ++k) acc += taps[k] * window[k];
  return acc;
}

// Outputs pDst[0..count-1] from windows starting at window[n]; four outputs at a time
// with four accumulators, each summed in the same order as a single output.
void DirectOutputs(const spFirState* s, const float* window, float* pDst, int32 count) {
  const float* tapsReversed = s->tapsReversed;
  const int32 tapsLen = s->tapsLen;
  int32 n = 0;
  for (; n + 4 <= count; n += 4) {
    float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
    const float* w = window + n;
    for (int32 k = 0; k < tapsLen; ++k) {
      const float t = tapsReversed[k];
      a0 += t * w[k];
      a1 += t * w[k + 1];
      a2 += t * w[k + 2];
      a3 += t * w[k + 3];
    }
    pDst[n] = a0;
    pDst[n + 1] = a1;
    pDst[n + 2] = a2;
    pDst[n + 3] = a3;
  }
  for (; n < count; ++n) pDst[n] = DotForward(tapsReversed, window + n, tapsLen);
}
#else
void DirectOutputs(const spFirState* s, const float* window, float* pDst, int32 count) {
  spFirDirectBlockKernel_32f(s->tapsRepeated, window, pDst, count, s->tapsLen);
}
#endif

void FilterDirect(spFirState* s, float* line, const float* pSrc, float* pDst, int32 n) {
  const int32 T = s->tapsLen;
  const int32 cap = s->directCapacity;
  if (n <= cap) {
    spCopy_32f(pSrc, line + T, n);
    DirectOutputs(s, line + 1, pDst, n);
    spMove_32f(line + n, s->delayLine, T);
    return;
  }
  const int32 R = cap - 1;
  spCopy_32f(pSrc, line + T, cap);
  DirectOutputs(s, line + 1, pDst, R);
  spCopy_32f(pSrc + (n - T), s->delayLine, T);
  DirectOutputs(s, pSrc + (R - T + 1), pDst + R, n - R);
}

// One overlap-save block: blk holds T-1 history samples then the block's inputs.
spStatus ConvolveBlock(spFirState* s, const float* in, float* blk) {
  spStatus st = spFftForwardReal_32f(in, blk, s->fftSpec, s->fftWork);
  if (st < 0) return st;
  spMulPackedSpectrumInPlace_32f(s->tapsSpectrum, blk, s->fftLen);
  st = spFftInverseReal_32f(blk, blk, s->fftSpec, s->fftWork);
  if (st < 0) return st;
  return SP_OK;
}

spStatus FilterOverlapSave(spFirState* s, float* line, const float* pSrc, float* pDst, int32 n) {
  const int32 N = s->fftLen;
  const int32 T = s->tapsLen;
  const int32 L = N - (T - 1);
  float* blk = s->fftBlock;
  if (T > 1) spCopy_32f(line + 1, blk, T - 1);

  if (n <= L) {
    spCopy_32f(pSrc, blk + (T - 1), n);
    if (n + T - 1 < N) spZero_32f(blk + (n + T - 1), N - (n + T - 1));
    spStatus st = ConvolveBlock(s, blk, blk);
    if (st < 0) return st;  // history and output untouched
    // New history: the last T samples of the old history followed by the block.
    if (n >= T) {
      spCopy_32f(pSrc + (n - T), s->delayLine, T);
    } else {
      spMove_32f(line + n, s->delayLine, T - n);
      spCopy_32f(pSrc, s->delayLine + (T - n), n);
    }
    spCopy_32f(blk + (T - 1), pDst, n);
    return SP_OK;
  }

  spCopy_32f(pSrc, blk + (T - 1), L);
  spStatus st = ConvolveBlock(s, blk, blk);
  if (st < 0) return st;
  spCopy_32f(blk + (T - 1), pDst, L);
  spCopy_32f(pSrc + (n - T), s->delayLine, T);

  const int32 rest = n - L;
  for (int32 off = 0; off < rest; off += L) {
    const int32 r = rest - off;
    const int32 first = L - (T - 1) + off;
    if (r >= N) {
      st = ConvolveBlock(s, pSrc + first, blk);
      if (st != SP_OK) return st;
      spCopy_32f(blk + (T - 1), pDst + L + off, L);
    } else {
      const int32 m = (r + T - 1 < N) ? r + T - 1 : N;
      spCopy_32f(pSrc + first, blk, m);
      if (m < N) spZero_32f(blk + m, N - m);
      st = ConvolveBlock(s, blk, blk);
      if (st != SP_OK) return st;
      spCopy_32f(blk + (T - 1), pDst + L + off, r < L ? r : L);
    }
  }
  return SP_OK;
}

// Output and input overlap with the output at or below the input (in place included).
// The block is filtered in pieces of the one-block paths: each copies all its inputs into
// the state before it writes an output, and its outputs land at or below those inputs, so
// no output overwrites an input still to be read. The pieces are the blocks that one call
// uses, so the outputs equal those of a call with separate buffers.
spStatus FilterInPieces(spFirState* s, const float* pSrc, float* pDst, int32 n, bool overlapSave) {
  const int32 piece = overlapSave ? s->fftLen - (s->tapsLen - 1) : s->directCapacity;
  for (int32 off = 0; off < n; off += piece) {
    const int32 m = n - off < piece ? n - off : piece;
    if (overlapSave) {
      const spStatus st = FilterOverlapSave(s, s->delayLine, pSrc + off, pDst + off, m);
      if (st < 0) return st;
    } else {
      FilterDirect(s, s->delayLine, pSrc + off, pDst + off, m);
    }
  }
  return SP_OK;
}

}  // namespace
}  // namespace single

spStatus spFirComputeStateSize_32f(int32 tapsLen, uint32* pSize) {
  *pSize = static_cast<uint32>(single::StateBytes(single::ComputeLayout(tapsLen)));
  return SP_OK;
}

spStatus spFirGetStateSize_32f(int32 tapsLen, uint32* pSize) {
  if (!pSize) return SP_ERROR_NULL;
  if (tapsLen < 1) return SP_ERROR_TAP_COUNT;
  // Tap counts whose state would not fit a 32-bit size are refused.
  if (single::StateBytes(single::ComputeLayout(tapsLen)) > single::kUint32Max) return SP_ERROR_TAP_COUNT;
  return spFirComputeStateSize_32f(tapsLen, pSize);
}

spStatus spFirBuildState_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, const float* pDelayLine,
                             uint8* pBuffer, uint32 tag) {
  const single::SingleRateLayout l = single::ComputeLayout(tapsLen);
  uint8* base = single::AlignPointer16(pBuffer);
  std::memset(base, 0, sizeof(spFirState));
  auto* s = new (base) spFirState{};
  uint8* p = base + single::Align16(sizeof(spFirState));
  s->tapsReversed = reinterpret_cast<float*>(p);
  p += l.tapsBytes;
  s->delayLine = reinterpret_cast<float*>(p);
  p += l.lineBytes;
  float* repeated = reinterpret_cast<float*>(p);
  p += l.repeatedBytes;
  p += 16;
  uint8* specMemory = p;
  p += l.specBytes;
  uint8* initBuffer = p;
  p += l.initBytes;
  float* spectrum = reinterpret_cast<float*>(p);
  p += l.spectrumBytes;
  uint8* work = p;
  p += l.workBytes;
  s->fftBlock = reinterpret_cast<float*>(p);

  s->tag = tag;
  s->tapsLen = tapsLen;
  s->fftSpec = nullptr;
  s->historyStart = 0;
  s->tapsRepeated = SP_FIR_BUILD == 0 ? nullptr : repeated;
  s->build = SP_FIR_BUILD;
  *ppState = s;

  for (int32 k = 0; k < tapsLen; ++k) s->tapsReversed[k] = pTaps[tapsLen - 1 - k];
  if (s->tapsRepeated) {
    for (int32 k = 0; k < tapsLen; ++k)
      for (int32 c = 0; c < 4; ++c) s->tapsRepeated[4 * k + c] = pTaps[k];
  }
  if (!pDelayLine) {
    spZero_32f(s->delayLine, tapsLen);
  } else {
    for (int32 i = 0; i < tapsLen; ++i) s->delayLine[i] = pDelayLine[tapsLen - 1 - i];
  }
  s->directCapacity = ((tapsLen + 3) & ~3) + 1;

  spRealFftSpec* spec = nullptr;
  if (l.order == 0 ||
      spFftInitSpecReal_32f(&spec, l.order, SP_FFT_SCALE_INVERSE, 0, specMemory, initBuffer) != SP_OK) {
    s->fftWork = nullptr;
    s->fftLen = -1;
    s->tapsSpectrum = nullptr;
    return SP_OK;
  }
  const int32 fftLen = 1 << l.order;
  s->fftSpec = spec;
  s->fftLen = fftLen;
  s->tapsSpectrum = spectrum;
  s->fftWork = l.workBytes >= 1 ? work : nullptr;
  spCopy_32f(pTaps, spectrum, tapsLen);
  if (fftLen > tapsLen) spZero_32f(spectrum + tapsLen, fftLen - tapsLen);
  if (spFftForwardReal_32f(spectrum, spectrum, spec, s->fftWork) != SP_OK) s->fftLen = -1;
  return SP_OK;
}

spStatus spFirInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, const float* pDelayLine,
                       uint8* pBuffer) {
  if (!ppState || !pTaps || !pBuffer) return SP_ERROR_NULL;
  if (tapsLen < 1) return SP_ERROR_TAP_COUNT;
  if (single::StateBytes(single::ComputeLayout(tapsLen)) > single::kUint32Max) return SP_ERROR_TAP_COUNT;
  return spFirBuildState_32f(ppState, pTaps, tapsLen, pDelayLine, pBuffer, SP_FIR_SINGLE_RATE_TAG);
}

spStatus spFirFilter_32f(const float* pSrc, float* pDst, int32 numIters, spFirState* pState) {
  if (!pState || !pSrc || !pDst) return SP_ERROR_NULL;
  if (numIters < 1) return SP_ERROR_LENGTH;
  // Every FIR state begins with its tag; read it as bytes, since the state behind
  // pState may be a multirate one.
  uint32 tag = 0;
  std::memcpy(&tag, pState, sizeof tag);
  if (tag == SP_FIR_MULTIRATE_TAG)
    return SP_FIR_FILTER_MULTIRATE(reinterpret_cast<spFirMultirateState*>(pState), pSrc, pDst, numIters);
  if (tag != SP_FIR_SINGLE_RATE_TAG) return SP_ERROR_WRONG_RECORD;
  // Another build lays the state out differently (repeated taps, its own FFT record).
  if (pState->build != SP_FIR_BUILD) return SP_ERROR_WRONG_RECORD;

  // An output that starts above its input and overlaps it would overwrite inputs that
  // later outputs still read: refused before anything is touched.
  const std::uint64_t bytes = 4ull * static_cast<std::uint64_t>(numIters);
  const bool overlap = sp::generic::fir::Overlaps(pSrc, bytes, pDst, bytes);
  if (overlap && reinterpret_cast<std::uintptr_t>(pDst) > reinterpret_cast<std::uintptr_t>(pSrc))
    return SP_ERROR_OVERLAP;

  float* line = pState->delayLine + pState->historyStart;
  pState->historyStart = 0;
  const bool overlapSave = numIters > 511 && pState->fftLen > 0;
  if (overlap) return single::FilterInPieces(pState, pSrc, pDst, numIters, overlapSave);
  if (overlapSave) return single::FilterOverlapSave(pState, line, pSrc, pDst, numIters);
  single::FilterDirect(pState, line, pSrc, pDst, numIters);
  return SP_OK;
}
