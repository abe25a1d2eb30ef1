// Polyphase kernels of the multirate FIR processor builds (SSE3, SSSE3, SSE4.1-class):
// the groups of four outputs of the dense (step table), decimating and sparse (offset
// table) layouts. Each build's source includes this file inside its own namespace; the
// code uses nothing beyond SSE2. Needs <emmintrin.h> and "sp/fir.h".

namespace {

inline __m128 LoadTwo(const float* p) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }

// (lane 0 + lane 2) + (lane 1 + lane 3).
inline float HorizontalSum(__m128 v) {
  const __m128 pairs = _mm_add_ps(v, _mm_movehl_ps(v, v));  // l0 + l2, l1 + l3
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 0x55)));
}

// One output over w >= 4 samples of x and taps h: four-wide products, tails of two and
// one, then the horizontal sum.
inline float WindowDot(const float* x, const float* h, int32 w) {
  __m128 acc = _mm_setzero_ps();
  int32 j = 0;
  for (; j + 4 <= w; j += 4) acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(x + j), _mm_loadu_ps(h + j)));
  if (j + 2 <= w) {
    const __m128 xs = LoadTwo(x + j);
    const __m128 hs = LoadTwo(h + j);
    acc = _mm_add_ps(acc, _mm_mul_ps(xs, hs));
    j += 2;
  }
  if (j < w) acc = _mm_add_ss(acc, _mm_mul_ss(_mm_load_ss(x + j), _mm_load_ss(h + j)));
  return HorizontalSum(acc);
}

// Short windows (1 to 3 taps): the sequential sum of the generic build.
inline float ShortDot(const float* x, const float* h, int32 w) {
  float acc = 0.0f;
  for (int32 j = 0; j < w; ++j) acc += x[j] * h[j];
  return acc;
}

}  // namespace

int64 spFirMultirateStepTableKernel_32f(const float* pCoefficients, const float* pLine, float* pDst, int32 count,
                                        const int32* pTable, const int32* pTableEnd, int64 base, int32 windowLen) {
  const int32* entry = pTable;
  const float* coef = pCoefficients;
  for (int32 o = 0; o < count; o += 4) {
    base += *entry;
    const float* x = pLine + base;
    // Each sample in all four lanes times its row of four coefficients (one per output);
    // four samples come in with one load and are broadcast by shuffles.
    auto p = [x, coef](int32 j) { return _mm_mul_ps(_mm_set1_ps(x[j]), _mm_loadu_ps(coef + 4 * j)); };
    auto quad = [x, coef](int32 j) {
      const __m128 v = _mm_loadu_ps(x + j);
      const float* c = coef + 4 * j;
      const __m128 p0 = _mm_mul_ps(_mm_shuffle_ps(v, v, 0x00), _mm_loadu_ps(c));
      const __m128 p1 = _mm_mul_ps(_mm_shuffle_ps(v, v, 0x55), _mm_loadu_ps(c + 4));
      const __m128 p2 = _mm_mul_ps(_mm_shuffle_ps(v, v, 0xAA), _mm_loadu_ps(c + 8));
      const __m128 p3 = _mm_mul_ps(_mm_shuffle_ps(v, v, 0xFF), _mm_loadu_ps(c + 12));
      return _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p2, p3));
    };
    __m128 acc = _mm_setzero_ps();
    int32 j = 0;
    for (; j + 8 <= windowLen; j += 8) acc = _mm_add_ps(acc, _mm_add_ps(quad(j), quad(j + 4)));
    if (j + 4 <= windowLen) {
      acc = _mm_add_ps(acc, quad(j));
      j += 4;
    }
    for (; j < windowLen; ++j) acc = _mm_add_ps(acc, p(j));
    _mm_storeu_ps(pDst + o, acc);
    coef += 4 * windowLen;
    if (++entry == pTableEnd) {
      base += *pTableEnd;
      entry = pTable;
      coef = pCoefficients;
    }
  }
  return base;
}

int64 spFirMultirateDecimateKernel_32f(const float* pCoefficients, const float* pLine, float* pDst, int32 count,
                                       int64 position, int32 windowLen, int32 stride) {
  for (int32 o = 0; o < count; o += 4) {
    const float* x = pLine + position;
    if (windowLen < 4) {
      for (int c = 0; c < 4; ++c) pDst[o + c] = ShortDot(x + c * stride, pCoefficients + c * windowLen, windowLen);
    } else {
      // Four windows against the shared taps: each coefficient load serves four outputs.
      __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
      int32 j = 0;
      for (; j + 4 <= windowLen; j += 4) {
        const __m128 h = _mm_loadu_ps(pCoefficients + j);
        for (int c = 0; c < 4; ++c) acc[c] = _mm_add_ps(acc[c], _mm_mul_ps(_mm_loadu_ps(x + c * stride + j), h));
      }
      for (int c = 0; c < 4; ++c) {
        const float* xc = x + c * stride;
        int32 k = j;
        if (k + 2 <= windowLen) {
          const __m128 xs = LoadTwo(xc + k);
          const __m128 hs = LoadTwo(pCoefficients + k);
          acc[c] = _mm_add_ps(acc[c], _mm_mul_ps(xs, hs));
          k += 2;
        }
        if (k < windowLen) acc[c] = _mm_add_ss(acc[c], _mm_mul_ss(_mm_load_ss(xc + k), _mm_load_ss(pCoefficients + k)));
        pDst[o + c] = HorizontalSum(acc[c]);
      }
    }
    position += 4 * static_cast<int64>(stride);
  }
  return position;
}

int64 spFirMultirateOffsetTableKernel_32f(const float* pCoefficients, const float* pLine, float* pDst, int32 count,
                                          const int32* pTable, const int32* pTableEnd, int64 base, int32 windowLen) {
  const int32* entry = pTable;
  const float* coef = pCoefficients;
  for (int32 o = 0; o < count; ++o) {
    const float* x = pLine + base + *entry;
    pDst[o] = windowLen < 4 ? ShortDot(x, coef, windowLen) : WindowDot(x, coef, windowLen);
    coef += windowLen;
    if (++entry == pTableEnd) {
      base += *pTableEnd;
      entry = pTable;
      coef = pCoefficients;
    }
  }
  return base;
}
