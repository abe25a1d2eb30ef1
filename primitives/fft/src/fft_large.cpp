// Complex transforms above 1024 points: the block scheme (1024-point blocks merged by
// radix-2 outer passes) and the recursive scheme (sub-transforms, inter-level twiddles and
// S-point column transforms four columns at a time in the work buffer).
#include <cstddef>

#include "fft_core.h"
#include "fft_simd.h"
#include "sp/fft_kernels.h"

namespace sp::generic {

namespace {

using namespace simd;

constexpr int32 kBlock = 1024;  // points of one in-core block of the block scheme

constexpr int32 Plan(int32 m) { return spFftLargeOrderPlanTable[m - 11]; }

// The record has inter-level tables for this many levels of the recursive scheme.
constexpr int32 kLevels = 3;
static_assert(sizeof(spFftSpecHeader::levelBlocks) == kLevels * sizeof(float*));
static_assert(sizeof(spFftSpecHeader::levelTwiddles) == kLevels * sizeof(float*));

// Levels the recursive scheme of order m runs through: its own, and those of its
// sub-transforms when they are recursive too.
constexpr int32 LevelsOf(int32 m) {
  const int32 r = m - Plan(m);
  return 1 + (r > 10 && Plan(r) != 0 ? LevelsOf(r) : 0);
}

constexpr bool EveryOrderFitsTheLevels() {
  for (int32 m = 11; m <= 30; ++m)
    if (Plan(m) != 0 && LevelsOf(m) > kLevels) return false;
  return true;
}
// No order of the plan recurses past the last level (none goes beyond two), so
// Recursive below never needs a level the record does not have.
static_assert(EveryOrderFitsTheLevels());

// Radix-2 passes merging adjacent blocks of L points into blocks of 2L, L = span .. n/2:
// position k of a merge takes (x_k, x_(k+L)) to (x_k + w x_(k+L), x_k - w x_(k+L)) with
// w = W^k of the table for k < L/2 and -i W^(k - L/2) above (conjugates for the inverse).
// Two positions per step; span is at least 4.
template <bool kInverse>
int32 OuterPasses(float* data, int32 n, int32 span, const float* tw, uint32 chunk) {
  int32 groups = chunk >= 2 ? span / static_cast<int32>(chunk / 2) : 0;
  for (int64 L = span; L <= n / 2; L *= 2) {
    const int64 stride = 2 * (n / (2 * L));  // float step of W_(2L) in the table
    const int64 half = L / 2;
    for (int64 b = 0; b < n; b += 2 * L) {
      float* x = data + 2 * b;
      float* y = x + 2 * L;
      for (int64 k = 0; k < half; k += 2) {
        const __m128 w = LoadTwo(tw + k * stride, tw + (k + 1) * stride);
        auto butterfly = [x, y](std::ptrdiff_t o, __m128 f) {
          const __m128 u = Mul2<kInverse>(Load2(y + o), f);
          const __m128 xv = Load2(x + o);
          Store2(x + o, _mm_add_ps(xv, u));
          Store2(y + o, _mm_sub_ps(xv, u));
        };
        butterfly(2 * k, w);
        butterfly(2 * (k + half), TimesMinusI(w));
      }
    }
    groups *= 2;
  }
  return groups;
}

template <bool kInverse>
void Radix(float* data, int32 nc, const float* tw) {
  if constexpr (!kInverse) {
    spFftRadixPassesForward_32fc(data, nc, tw);
  } else {
    spFftRadixPassesInverse_32fc(data, nc, tw);
  }
}

template <bool kInverse>
bool Scaled(const spFftSpecHeader* spec) {
  return (kInverse ? spec->scaleInverse : spec->scaleForward) != 0;
}

// Block scheme on 2^m bit-reversed points at data (2048 or 4096 of them).
template <bool kInverse>
void BlockScheme(const spFftSpecHeader* spec, float* data, int32 m) {
  const int32 nc = int32{1} << m;
  for (int32 b = nc / kBlock - 1; b >= 0; --b) {
    float* block = data + 2 * static_cast<std::ptrdiff_t>(b) * kBlock;
    Radix<kInverse>(block, kBlock, spec->twiddles);
    if (Scaled<kInverse>(spec)) spMulConstInPlace_32f(spec->scale, block, 2 * kBlock);
  }
  OuterPasses<kInverse>(data, nc, kBlock, spec->outerTwiddles, 256);
}

// One level of the recursive scheme; the level is a template argument so that its
// table index is known to be within the record's levels.
template <bool kInverse, int32 kLevel>
void Recursive(const spFftSpecHeader* spec, float* data, int32 m, float* work) {
  static_assert(kLevel >= 0 && kLevel < kLevels);
  const int32 s = Plan(m);
  const int32 r = m - s;
  const int64 bigS = int64{1} << s;
  const int64 bigR = int64{1} << r;

  // Sub-transforms of the S consecutive sub-arrays.
  for (int64 n = 0; n < bigS; ++n) {
    float* sub = data + 2 * n * bigR;
    if (r <= 10) {
      Radix<kInverse>(sub, static_cast<int32>(bigR), spec->twiddles);
      if (Scaled<kInverse>(spec)) spMulConstInPlace_32f(spec->scale, sub, static_cast<int32>(2 * bigR));
    } else if (Plan(r) != 0) {
      // Past the last level only for an order the plan never gives (see LevelsOf).
      if constexpr (kLevel + 1 < kLevels) Recursive<kInverse, kLevel + 1>(spec, sub, r, work);
    } else {
      BlockScheme<kInverse>(spec, sub, r);
    }
  }

  // Columns, four at a time: twiddle, S-point transform in the work buffer, store back.
  const float* w = spec->levelBlocks[kLevel];
  const float* colTw = spec->levelTwiddles[kLevel];
  for (int64 c0 = 0; c0 < bigR; c0 += 4) {
    for (int64 n = 0; n < bigS; ++n, w += 8) {
      const float* x = data + 2 * (n * bigR + c0);
      const __m128 p01 = Mul2<kInverse>(Load2(x), Load2(w));
      const __m128 p23 = Mul2<kInverse>(Load2(x + 4), Load2(w + 4));
      StoreLow(work + 2 * n, p01);
      StoreHigh(work + 2 * (bigS + n), p01);
      StoreLow(work + 2 * (2 * bigS + n), p23);
      StoreHigh(work + 2 * (3 * bigS + n), p23);
    }
    for (int64 t = 0; t < 4; ++t) Radix<kInverse>(work + 2 * t * bigS, static_cast<int32>(bigS), colTw);
    for (int64 n = 0; n < bigS; ++n) {
      float* x = data + 2 * (n * bigR + c0);
      Store2(x, LoadTwo(work + 2 * n, work + 2 * (bigS + n)));
      Store2(x + 4, LoadTwo(work + 2 * (2 * bigS + n), work + 2 * (3 * bigS + n)));
    }
  }
}

template <bool kInverse>
void Driver(const spFftSpecHeader* spec, const float* src, float* dst, int32 m, float* work) {
  const int32 nc = int32{1} << m;
  if (src != dst) {
    spFftBitReversePermute_32fc(src, dst, nc, spec->bitReversalTable);
  } else {
    spFftBitReversePermuteInPlace_32fc(dst, nc, spec->bitReversalTable);
  }
  if (Plan(m) != 0) {
    Recursive<kInverse, 0>(spec, dst, m, work);
  } else {
    BlockScheme<kInverse>(spec, dst, m);
  }
}

// The recursive scheme from the given level; a level the record has no tables for does
// nothing.
template <bool kInverse>
void RecursiveFrom(const spFftSpecHeader* spec, float* data, int32 m, int32 level, float* work) {
  switch (level) {
    case 0: Recursive<kInverse, 0>(spec, data, m, work); break;
    case 1: Recursive<kInverse, 1>(spec, data, m, work); break;
    case 2: Recursive<kInverse, 2>(spec, data, m, work); break;
    default: break;
  }
}
static_assert(kLevels == 3, "RecursiveFrom has one case per level");

}  // namespace

int32 spFftOuterPassesForward_32fc(float* pData, int32 n, int32 span, const float* pTwiddles,
                                   uint64 /*flag*/, uint32 chunk) {
  return OuterPasses<false>(pData, n, span, pTwiddles, chunk);
}

int32 spFftOuterPassesInverse_32fc(float* pData, int32 n, int32 span, const float* pTwiddles,
                                   uint64 /*flag*/, uint32 chunk) {
  return OuterPasses<true>(pData, n, span, pTwiddles, chunk);
}

void spFftLargeOrderForward_32fc(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                 int32 m, float* pWork) {
  Driver<false>(pSpec, pSrc, pDst, m, pWork);
}

void spFftLargeOrderInverse_32fc(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                 int32 m, float* pWork) {
  Driver<true>(pSpec, pSrc, pDst, m, pWork);
}

void spFftLargeOrderForwardRecursive_32fc(const spFftSpecHeader* pSpec, float* pData, int32 m,
                                          int32 level, float* pWork) {
  RecursiveFrom<false>(pSpec, pData, m, level, pWork);
}

void spFftLargeOrderInverseRecursive_32fc(const spFftSpecHeader* pSpec, float* pData, int32 m,
                                          int32 level, float* pWork) {
  RecursiveFrom<true>(pSpec, pData, m, level, pWork);
}

}  // namespace sp::generic
