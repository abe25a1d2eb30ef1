// Multirate (polyphase) FIR of one build: layout choice, state sizes, the dense and sparse
// builders and the filter. All position arithmetic lives in the step and offset tables,
// so the inner loops hold no division. Each build's source includes this file inside its
// own namespace with SP_FIR_BUILD set (0 generic, 1-3 the processor builds). The
// processor builds store each sparse output's taps contiguously and compute the groups
// of four outputs with the polyphase kernels (fir_polyphase.inl). Needs <cstring>,
// <new>, "fir_internal.h" and "sp/core_bodies.h".

namespace multirate {
namespace {

enum class Layout { kSingleRate, kDense, kSparse };

constexpr std::uint64_t kUint32Max = 0xFFFFFFFFull;

inline std::uint64_t Align16(std::uint64_t x) { return (x + 15) & ~std::uint64_t{15}; }

inline std::uint8_t* AlignPointer16(std::uint8_t* p) {
  auto v = reinterpret_cast<std::uintptr_t>(p);
  return p + ((16 - (v & 15)) & 15);
}

Layout ChooseLayout(int32 tapsLen, int32 up, int32 down) {
  const float density = static_cast<float>(tapsLen) / static_cast<float>(3ll * down + tapsLen);
  if (up == 1) {
    if (down == 1) return Layout::kSingleRate;
    return density > 0.5f ? Layout::kDense : Layout::kSparse;
  }
  return static_cast<double>(density) > 0.3 ? Layout::kDense : Layout::kSparse;
}

// Derived quantities shared by the size functions and the builders, in 64 bits so that
// configurations whose sizes do not fit 32 bits can be refused.
struct Quantities {
  std::int64_t tapsPerPhase;
  std::int64_t window;       // W
  std::int64_t windowLen;    // W / U
  std::int64_t lineCapacity;
  std::int64_t lineOutputs;
};

Quantities Derive(std::int64_t T, std::int64_t U, std::int64_t D, bool dense) {
  Quantities q{};
  q.tapsPerPhase = (T + U - 1) / U;
  q.window = 3 * D + T;
  if (q.window % U) q.window += U - q.window % U;
  q.windowLen = q.window / U;
  const std::int64_t reach = dense ? q.windowLen : q.tapsPerPhase;
  q.lineCapacity = (reach / (4 * D) + 1) * (4 * D) + 1;  // least multiple of 4D above reach, plus 1
  q.lineOutputs = ((q.tapsPerPhase + D - 1) / D) * U;
  while (q.lineOutputs % (4 * U) != 0) {
    q.lineOutputs += U;
    q.lineCapacity += D;
  }
  return q;
}

std::uint64_t MultirateBytes(std::int64_t T, std::int64_t U, std::int64_t D, bool dense) {
  const Quantities q = Derive(T, U, D, dense);
  const std::uint64_t table = dense ? Align16(4 * U + 4) : Align16(16 * U + 4);
  const std::int64_t work = dense ? 4 * q.window : 8 * q.window;
  return 176 + Align16(4 * T) + 16 * q.window + table + Align16(4 * (q.tapsPerPhase + q.lineCapacity) + 4) +
         4 * static_cast<std::uint64_t>(work > 4096 ? work : 4096);
}

// Every derived quantity must fit a signed 32-bit integer and the size 32 bits.
bool Representable(int32 T, int32 U, int32 D, Layout layout) {
  if (layout == Layout::kSingleRate) return true;
  const bool dense = layout == Layout::kDense;
  const Quantities q = Derive(T, U, D, dense);
  const std::int64_t limit = 0x7FFFFFFF;
  if (q.window > limit / 8 || q.lineCapacity > limit || q.lineOutputs > limit ||
      q.tapsPerPhase + q.lineCapacity + 1 > limit)
    return false;
  return MultirateBytes(T, U, D, dense) <= kUint32Max;
}

// Common header of both layouts; returns the record and the region pointers.
spFirMultirateState* LayOut(uint8* pBuffer, int32 T, int32 U, int32 D, int32 pu, int32 pd, bool dense,
                            uint32 tag, const Quantities& q) {
  uint8* base = AlignPointer16(pBuffer);
  std::memset(base, 0, sizeof(spFirMultirateState));
  auto* s = new (base) spFirMultirateState{};
  uint8* p = base + SP_FIR_MULTIRATE_RECORD_BYTES;
  s->tapsReversed = reinterpret_cast<float*>(p);
  p += Align16(4ull * T);
  s->phaseTaps = reinterpret_cast<float*>(p);
  p += 16ull * q.window;
  s->phaseTable = reinterpret_cast<int32*>(p);
  p += dense ? Align16(4ull * U + 4) : Align16(16ull * U + 4);
  s->delayLine = reinterpret_cast<float*>(p);
  p += Align16(4ull * (q.tapsPerPhase + q.lineCapacity) + 4);
  s->workArea = reinterpret_cast<int32*>(p);

  s->tag = tag;
  s->tapsLen = T;
  s->upFactor = U;
  s->downFactor = D;
  s->lineCapacity = static_cast<int32>(q.lineCapacity);
  s->lineOutputs = static_cast<int32>(q.lineOutputs);
  s->tapsPerPhase = static_cast<int32>(q.tapsPerPhase);
  s->upPhase = pu;
  s->downPhase = pd;
  s->fftSpec = nullptr;
  s->tapsSpectrum = nullptr;
  s->fftLen = -1;
  s->historyStart = 0;
  s->build = SP_FIR_BUILD;
  for (int32 j = 0; j < T; ++j) s->tapsReversed[j] = 0.0f;
  return s;
}

void StoreHistory(spFirMultirateState* s, const float* pDelayLine) {
  const int32 tpp = s->tapsPerPhase;
  spZero_32f(s->delayLine, tpp + s->lineCapacity + 1);
  if (pDelayLine)
    for (int32 i = 0; i < tpp; ++i) s->delayLine[i] = pDelayLine[tpp - 1 - i];
}

// Walk of the groups of one period. For each group g in turn it gives the delay-line
// index of the first sample of the group's window (a_g) and the group's row offset in
// the interleaved matrix (r0); after the last group, the index of group 0's window in
// the next period (a_U).
class GroupWalk {
 public:
  GroupWalk(int32 T, int32 U, int32 D, int32 pu, int32 pd) : U_(U), D_(D), pd_(pd) {
    const int32 s = pu + (T - 1) % U;
    pos_ = s < U ? s : s - U;
    n_ = s < U ? 1 : 0;
  }
  void Group(int32 g, int32* a, int32* r0) {
    const int64 t = pd_ + 4ll * D_ * g;
    while (pos_ < t) {
      pos_ += U_;
      ++n_;
    }
    *a = static_cast<int32>(n_);
    *r0 = static_cast<int32>(pos_ - t);
  }
  int32 NextPeriodStart() const {
    const int64 t = pd_ + 4ll * U_ * D_;
    return static_cast<int32>(pos_ < t ? n_ + (U_ + t - pos_ - 1) / U_ : n_);
  }

 private:
  int32 U_, D_, pd_;
  int64 pos_, n_;
};

}  // namespace
}  // namespace multirate

spStatus spFirMultirateDenseStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize) {
  *pSize = static_cast<uint32>(multirate::MultirateBytes(tapsLen, upFactor, downFactor, true));
  return SP_OK;
}

spStatus spFirMultirateSparseStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize) {
  *pSize = static_cast<uint32>(multirate::MultirateBytes(tapsLen, upFactor, downFactor, false));
  return SP_OK;
}

spStatus spFirMultirateGetStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize) {
  if (!pSize) return SP_ERROR_NULL;
  if (tapsLen < 1) return SP_ERROR_TAP_COUNT;
  if (upFactor < 1 || downFactor < 1) return SP_ERROR_RATE_FACTOR;
  const multirate::Layout layout = multirate::ChooseLayout(tapsLen, upFactor, downFactor);
  if (layout == multirate::Layout::kSingleRate) return spFirGetStateSize_32f(tapsLen, pSize);
  if (!multirate::Representable(tapsLen, upFactor, downFactor, layout)) return SP_ERROR_RATE_FACTOR;
  if (layout == multirate::Layout::kDense) return spFirMultirateDenseStateSize_32f(tapsLen, upFactor, downFactor, pSize);
  return spFirMultirateSparseStateSize_32f(tapsLen, upFactor, downFactor, pSize);
}

spFirMultirateState* spFirMultirateBuildDenseState_32f(const float* pTaps, int32 T, int32 U, int32 pu, int32 D,
                                                       int32 pd, const float* pDelayLine, spStatus* pStatus,
                                                       uint8* pBuffer, uint32 tag) {
  const multirate::Quantities q = multirate::Derive(T, U, D, true);
  spFirMultirateState* s = multirate::LayOut(pBuffer, T, U, D, pu, pd, true, tag, q);
  const int32 W = static_cast<int32>(q.window);
  const int32 wl = static_cast<int32>(q.windowLen);
  s->windowLen = wl;
  s->multirateKind = 1;

  float* work = reinterpret_cast<float*>(s->workArea);
  for (int32 j = 0; j < T; ++j) {
    s->tapsReversed[j] = pTaps[T - 1 - j];
    work[j] = s->tapsReversed[j];
  }
  // Four columns of W rows, column c holding the reversed taps delayed by c*D rows.
  spZero_32f(s->phaseTaps, 4 * W);
  for (int32 c = 0; c < 4; ++c) spCopy_32f(work, s->phaseTaps + c * (W + D), T);
  // Interleave into the matrix M, row by row (4 floats a row).
  for (int32 j = 0; j < W; ++j)
    for (int32 c = 0; c < 4; ++c) work[4 * j + c] = s->phaseTaps[c * W + j];

  // Compact the rows each group uses; the step table first holds a_0..a_(U-1) and
  // a_U - a_0, then is differenced from the top down.
  multirate::GroupWalk walk(T, U, D, pu, pd);
  int32* table = s->phaseTable;
  float* out = s->phaseTaps;
  for (int32 g = 0; g < U; ++g) {
    int32 r0 = 0;
    walk.Group(g, &table[g], &r0);
    for (int32 row = r0; row < W; row += U) {
      std::memcpy(out, work + 4 * row, 4 * sizeof(float));
      out += 4;
    }
  }
  table[U] = walk.NextPeriodStart() - table[0];
  table[U] -= table[U - 1];
  for (int32 g = U - 1; g >= 1; --g) table[g] -= table[g - 1];

  multirate::StoreHistory(s, pDelayLine);
  *pStatus = SP_OK;
  return s;
}

spFirMultirateState* spFirMultirateBuildSparseState_32f(const float* pTaps, int32 T, int32 U, int32 pu, int32 D,
                                                        int32 pd, const float* pDelayLine, spStatus* pStatus,
                                                        uint8* pBuffer, uint32 tag) {
  const multirate::Quantities q = multirate::Derive(T, U, D, false);
  spFirMultirateState* s = multirate::LayOut(pBuffer, T, U, D, pu, pd, false, tag, q);
  const int32 W = static_cast<int32>(q.window);
  const int32 tpp = static_cast<int32>(q.tapsPerPhase);
  s->multirateKind = U == 1 ? 2u : 3u;
  for (int32 j = 0; j < T; ++j) s->tapsReversed[j] = pTaps[T - 1 - j];

  // Tables of tap indices: B is the matrix M by column (index into pTaps or -1), A the
  // taps each output really uses, per column and group.
  int32* A = s->workArea;
  int32* B = A + 4 * W;
  int32* offsets = s->phaseTable;
  for (int32 i = 0; i < 4 * U; ++i) offsets[i] = -1;
  for (int32 i = 0; i < 4 * W; ++i) A[i] = B[i] = -1;
  for (int32 c = 0; c < 4; ++c)
    for (int32 j = 0; j < T; ++j) B[c * (W + D) + j] = T - 1 - j;

  multirate::GroupWalk walk(T, U, D, pu, pd);
  int32 a0 = 0;
  for (int32 g = 0; g < U; ++g) {
    int32 a = 0, r0 = 0;
    walk.Group(g, &a, &r0);
    if (g == 0) a0 = a;
    for (int32 c = 0; c < 4; ++c) {
      int32 next = c * U * tpp + g * tpp;
      for (int32 r = 0; r0 + r * U < W; ++r) {
        const int32 tap = B[c * W + r0 + r * U];
        if (tap == -1) continue;
        A[next++] = tap;
        if (offsets[4 * g + c] == -1) offsets[4 * g + c] = a + r;
      }
    }
  }
  if (offsets[0] == -1) offsets[0] = a0;
  offsets[4 * U] = walk.NextPeriodStart() - offsets[0];
  for (int32 i = 1; i < 4 * U; ++i)
    if (offsets[i] == -1) offsets[i] = offsets[i - 1];

#if SP_FIR_BUILD == 0
  // Four interleaved columns: row j of group g holds tap j of its four outputs.
  for (int32 i = 0; i < U * tpp; ++i)
    for (int32 c = 0; c < 4; ++c) B[4 * i + c] = A[c * U * tpp + i];
#else
  // Each output's taps contiguously, in output order (output 4g + c of the period).
  s->windowLen = tpp;
  for (int32 g = 0; g < U; ++g)
    for (int32 c = 0; c < 4; ++c)
      for (int32 j = 0; j < tpp; ++j) B[(4 * g + c) * tpp + j] = A[c * U * tpp + g * tpp + j];
#endif
  for (int32 x = 0; x < 4 * U * tpp; ++x) s->phaseTaps[x] = B[x] == -1 ? 0.0f : pTaps[B[x]];

  multirate::StoreHistory(s, pDelayLine);
  *pStatus = SP_OK;
  return s;
}

spStatus spFirMultirateInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, int32 upFactor,
                                int32 upPhase, int32 downFactor, int32 downPhase, const float* pDelayLine,
                                uint8* pBuffer) {
  if (!ppState || !pTaps || !pBuffer) return SP_ERROR_NULL;
  if (tapsLen < 1) return SP_ERROR_TAP_COUNT;
  if (upFactor < 1 || downFactor < 1) return SP_ERROR_RATE_FACTOR;
  if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor) return SP_ERROR_RATE_PHASE;
  const multirate::Layout layout = multirate::ChooseLayout(tapsLen, upFactor, downFactor);
  if (layout == multirate::Layout::kSingleRate) return spFirInit_32f(ppState, pTaps, tapsLen, pDelayLine, pBuffer);
  if (!multirate::Representable(tapsLen, upFactor, downFactor, layout)) return SP_ERROR_RATE_FACTOR;
  spStatus status = SP_OK;
  spFirMultirateState* s =
      layout == multirate::Layout::kDense
          ? spFirMultirateBuildDenseState_32f(pTaps, tapsLen, upFactor, upPhase, downFactor, downPhase, pDelayLine,
                                              &status, pBuffer, SP_FIR_MULTIRATE_TAG)
          : spFirMultirateBuildSparseState_32f(pTaps, tapsLen, upFactor, upPhase, downFactor, downPhase,
                                               pDelayLine, &status, pBuffer, SP_FIR_MULTIRATE_TAG);
  *ppState = reinterpret_cast<spFirState*>(s);
  return status;
}


namespace multirate {
namespace {

// A line of input samples: the state's delay line, or the caller's source read in place
// (element i of the source line is source sample i - tapsPerPhase).
struct Line {
  const float* data;
  int32 shift;
  float operator[](std::int64_t i) const { return data[i - shift]; }
};

// Position of the polyphase walk within one call: window base, table entry and
// coefficient block. Starts afresh at every call.
struct Walk {
  std::int64_t base = 0;
  int32 entry = 0;
  const float* coef = nullptr;
};

// Coefficient stride of the sparse layouts: four interleaved columns, or (processor
// builds) each output's taps contiguously.
constexpr int32 kCoefStride = SP_FIR_BUILD == 0 ? 4 : 1;

#if SP_FIR_BUILD == 0
// Group passes: `count` outputs (a multiple of 4) in groups of four.
void GroupsDense(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w) {
  const int32 U = s->upFactor;
  const int32 wl = s->windowLen;
  const int32* table = s->phaseTable;
  for (int32 o = 0; o < count; o += 4) {
    w.base += table[w.entry];
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int32 j = 0; j < wl; ++j) {
      const float x = line[w.base + j];
      for (int c = 0; c < 4; ++c) acc[c] += x * w.coef[4 * j + c];
    }
    for (int c = 0; c < 4; ++c) pDst[o + c] = acc[c];
    w.coef += 4 * wl;
    if (++w.entry == U) {
      w.base += table[U];
      w.entry = 0;
      w.coef = s->phaseTaps;
    }
  }
}

void GroupsSparse(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w) {
  const int32 U = s->upFactor;
  const int32 tpp = s->tapsPerPhase;
  const int32* offsets = s->phaseTable;
  for (int32 o = 0; o < count; o += 4) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int c = 0; c < 4; ++c) {
      const std::int64_t start = w.base + offsets[4 * w.entry + c];
      for (int32 j = 0; j < tpp; ++j) acc[c] += line[start + j] * w.coef[4 * j + c];
    }
    for (int c = 0; c < 4; ++c) pDst[o + c] = acc[c];
    w.coef += 4 * tpp;
    if (++w.entry == U) {
      w.base += offsets[4 * U];
      w.entry = 0;
      w.coef = s->phaseTaps;
    }
  }
}

void GroupsDecimate(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w) {
  const int32 tpp = s->tapsPerPhase;
  const int32 p0 = s->phaseTable[0];
  const int32 stride = s->phaseTable[1] - s->phaseTable[0];
  for (int32 o = 0; o < count; o += 4) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int c = 0; c < 4; ++c) {
      const std::int64_t start = w.base + p0 + c * stride;
      for (int32 j = 0; j < tpp; ++j) acc[c] += line[start + j] * w.coef[4 * j];
    }
    for (int c = 0; c < 4; ++c) pDst[o + c] = acc[c];
    w.base += 4 * stride;
  }
}
#endif

// Outputs left over after the groups, one at a time, continuing the walk from the start
// of a period; windows stop at `end` (one past the last valid input of the line).
void SinglesDense(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w,
                  std::int64_t end) {
  const int32 U = s->upFactor;
  const int32 wl = s->windowLen;
  const int32* table = s->phaseTable;
  std::int64_t pos = w.base + table[0];
  int32 entry = 0;
  const float* coef = s->phaseTaps;
  for (int32 o = 0; o < count; ++o) {
    if (o > 0 && o % 4 == 0) {
      if (++entry == U) {
        coef = s->phaseTaps;
        pos += table[U] + table[0];
        entry = 0;
      } else {
        coef += 4 * wl - 4;
        pos += table[entry];
      }
    }
    float acc = 0.0f;
    for (int32 j = 0; j < wl && pos + j < end; ++j) acc += line[pos + j] * coef[4 * j];
    pDst[o] = acc;
    ++coef;
  }
}

void SinglesSparse(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w,
                   std::int64_t end) {
  const int32 U = s->upFactor;
  const int32 tpp = s->tapsPerPhase;
  const int32* offsets = s->phaseTable;
  std::int64_t base = w.base;
  int32 entry = 0;  // 0 .. 4U-1
  const float* coef = s->phaseTaps;
  for (int32 o = 0; o < count; ++o) {
    if (o > 0 && o % 4 == 0) {
      if (entry == 4 * U) {
        coef = s->phaseTaps;
        base += offsets[4 * U];
        entry = 0;
      } else {
        coef += 4 * tpp - 4;
      }
    }
    const std::int64_t start = base + offsets[entry];
    float acc = 0.0f;
#if SP_FIR_BUILD == 0
    for (int32 j = 0; j < tpp && start + j < end; ++j) acc += line[start + j] * coef[4 * j];
#else
    const float* own = s->phaseTaps + (entry % (4 * U)) * tpp;
    for (int32 j = 0; j < tpp && start + j < end; ++j) acc += line[start + j] * own[j];
    (void)coef;
#endif
    pDst[o] = acc;
    ++coef;
    ++entry;
  }
}

void SinglesDecimate(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w) {
  const int32 tpp = s->tapsPerPhase;
  const int32 stride = s->phaseTable[1] - s->phaseTable[0];
  std::int64_t start = w.base + s->phaseTable[0];
  for (int32 o = 0; o < count; ++o) {
    float acc = 0.0f;
    for (int32 j = 0; j < tpp; ++j) acc += line[start + j] * s->phaseTaps[kCoefStride * j];
    pDst[o] = acc;
    start += stride;
  }
}

#if SP_FIR_BUILD == 0
void Groups(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w) {
  if (count <= 0) return;
  switch (s->multirateKind) {
    case 1: GroupsDense(s, line, pDst, count, w); break;
    case 2: GroupsDecimate(s, line, pDst, count, w); break;
    default: GroupsSparse(s, line, pDst, count, w); break;
  }
}
#else
// The groups through the polyphase kernels. The walk restarts its table and coefficients
// at each period, and every group pass covers whole periods (or, for the decimating
// kind, whole groups), so only the base carries over from one pass to the next.
void Groups(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w) {
  if (count <= 0) return;
  // The kernels index the line from its first element; the base is kept in line indices.
  const float* data = line.data;
  const std::int64_t shift = line.shift;
  switch (s->multirateKind) {
    case 1:
      w.base = spFirMultirateStepTableKernel_32f(s->phaseTaps, data, pDst, count, s->phaseTable,
                                                 s->phaseTable + s->upFactor, w.base - shift, s->windowLen) + shift;
      break;
    case 2:
      w.base = spFirMultirateDecimateKernel_32f(s->phaseTaps, data, pDst, count, w.base - shift + s->phaseTable[0],
                                                s->windowLen, s->phaseTable[1] - s->phaseTable[0]) +
               shift - s->phaseTable[0];
      break;
    default:
      w.base = spFirMultirateOffsetTableKernel_32f(s->phaseTaps, data, pDst, count, s->phaseTable,
                                                   s->phaseTable + 4 * s->upFactor, w.base - shift, s->windowLen) + shift;
      break;
  }
}
#endif

void Singles(const spFirMultirateState* s, const Line& line, float* pDst, int32 count, Walk& w, std::int64_t end) {
  if (count <= 0) return;
  switch (s->multirateKind) {
    case 1: SinglesDense(s, line, pDst, count, w, end); break;
    case 2: SinglesDecimate(s, line, pDst, count, w); break;
    default: SinglesSparse(s, line, pDst, count, w, end); break;
  }
}

}  // namespace
}  // namespace multirate

spStatus spFirFilterMultirate_32f(spFirMultirateState* s, const float* pSrc, float* pDst, int32 numIters) {
  // Another build lays the coefficients out differently.
  if (s->build != SP_FIR_BUILD) return SP_ERROR_WRONG_RECORD;
  const uint32 kind = s->multirateKind;
  if (kind < 1 || kind > 3) return SP_ERROR_WRONG_RECORD;
  const std::int64_t U = kind == 2 ? 1 : s->upFactor;
  const std::int64_t D = s->downFactor;
  const int32 tpp = s->tapsPerPhase;
  const int32 cap = s->lineCapacity;
  // Counts of one call; the caller's buffers hold D and U samples per iteration.
  const std::int64_t nin64 = D * numIters;
  const std::int64_t nout64 = U * numIters;
  if (nin64 > 0x7FFFFFFF || nout64 > 0x7FFFFFFF) return SP_ERROR_LENGTH;
  // Outputs and inputs advance at different rates, so an overlapping output would in
  // general overtake inputs not yet read: refused before anything is touched.
  if (sp::generic::fir::Overlaps(pSrc, 4 * static_cast<std::uint64_t>(nin64), pDst, 4 * static_cast<std::uint64_t>(nout64)))
    return SP_ERROR_OVERLAP;
  const int32 nin = static_cast<int32>(nin64);
  const int32 nout = static_cast<int32>(nout64);
  const int32 period = static_cast<int32>(4 * U);
  const std::int64_t end = std::int64_t{tpp} + nin;

  multirate::Walk w;
  w.coef = s->phaseTaps;
  const bool onePass = kind == 2 ? nin < cap : nin <= cap;
  if (onePass) {
    spCopy_32f(pSrc, s->delayLine + tpp, nin);
    const multirate::Line line{s->delayLine, 0};
    const int32 rem = nout % period;
    multirate::Groups(s, line, pDst, nout - rem, w);
    multirate::Singles(s, line, pDst + (nout - rem), rem, w, end);
    spMove_32f(s->delayLine + nin, s->delayLine, tpp);
    return SP_OK;
  }

  spCopy_32f(pSrc, s->delayLine + tpp, cap);
  const int32 lo = s->lineOutputs;
  multirate::Groups(s, multirate::Line{s->delayLine, 0}, pDst, lo, w);
  spMove_32f(pSrc + (nin - tpp), s->delayLine, tpp);
  const int32 rest = nout - lo;
  int32 rem = rest % period;
  int32 full = rest - rem;
  if (full > 0) {
    full -= period;
    rem += period;
  }
  const multirate::Line source{pSrc, tpp};
  multirate::Groups(s, source, pDst + lo, full, w);
  multirate::Singles(s, source, pDst + lo + full, rem, w, end);
  return SP_OK;
}

