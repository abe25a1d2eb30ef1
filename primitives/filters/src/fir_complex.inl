// Complex FIR kernels shared by the three processor builds: each build's source
// includes this file inside its own namespace. Two complex samples fill one register;
// a complex product costs two multiplies and an add. Needs <emmintrin.h> and
// "sp/fir_complex.h".

namespace {

// (re0, im0, re1, im1) -> (im0, re0, im1, re1).
inline __m128 SwapParts(__m128 v) { return _mm_shuffle_ps(v, v, 0xB1); }

// h[m] * x for the prepared tap P (a a a a, -b b -b b) and two samples x.
inline __m128 PreparedProduct(const float* P, __m128 x) {
  return _mm_add_ps(_mm_mul_ps(_mm_load_ps(P), x), _mm_mul_ps(_mm_load_ps(P + 4), SwapParts(x)));
}

// Outputs j and j + 1 (or j alone when `single`, in the lower half) from the source at
// output j: the prepared taps walked from the last one backwards while the source
// advances, four taps per step added as a tree before they reach the accumulator.
template <bool kSingle>
inline __m128 DirectOutputs(const float* P, const float* s, int T) {
  auto load = [s](int i) {
    if constexpr (kSingle) {
      return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(s + 2 * i));
    } else {
      return _mm_loadu_ps(s + 2 * i);
    }
  };
  auto term = [&](int i) { return PreparedProduct(P + 8 * (T - 1 - i), load(i)); };
  __m128 acc = _mm_setzero_ps();
  int i = 0;
  for (; i + 4 <= T; i += 4)
    acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(term(i), term(i + 1)), _mm_add_ps(term(i + 2), term(i + 3))));
  for (; i < T; ++i) acc = _mm_add_ps(acc, term(i));
  return acc;
}

inline float LaneSum(__m128 v) {
  const __m128 h = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 0x55)));
}

// Complex dot product of windowLen line samples at w with one coefficient row (entry
// offset `row` in both planes): eight taps per step, then pairs, then a single tap.
inline spComplex32f WindowDot(const float* w, const float* plane1, const float* plane2, int64 row, int windowLen) {
  const float* c1 = plane1 + 2 * row;
  const float* c2 = plane2 + 2 * row;
  __m128 re = _mm_setzero_ps(), im = _mm_setzero_ps();
  int m = 0;
  for (; m + 8 <= windowLen; m += 8) {
    __m128 r = _mm_setzero_ps(), i = _mm_setzero_ps();
    for (int q = 0; q < 8; q += 2) {
      const __m128 x = _mm_loadu_ps(w + 2 * (m + q));
      r = _mm_add_ps(r, _mm_mul_ps(x, _mm_loadu_ps(c1 + 2 * (m + q))));
      i = _mm_add_ps(i, _mm_mul_ps(x, _mm_loadu_ps(c2 + 2 * (m + q))));
    }
    re = _mm_add_ps(re, r);
    im = _mm_add_ps(im, i);
  }
  for (; m + 2 <= windowLen; m += 2) {
    const __m128 x = _mm_loadu_ps(w + 2 * m);
    re = _mm_add_ps(re, _mm_mul_ps(x, _mm_loadu_ps(c1 + 2 * m)));
    im = _mm_add_ps(im, _mm_mul_ps(x, _mm_loadu_ps(c2 + 2 * m)));
  }
  if (m < windowLen) {
    auto low = [](const float* p) { return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)); };
    const __m128 x = low(w + 2 * m);
    re = _mm_add_ps(re, _mm_mul_ps(x, low(c1 + 2 * m)));
    im = _mm_add_ps(im, _mm_mul_ps(x, low(c2 + 2 * m)));
  }
  return {LaneSum(re), LaneSum(im)};
}

}  // namespace

int spFirDirectBlockKernel_32fc(const float* pPreparedTaps, const spComplex32f* pSrc, spComplex32f* pDst, int count,
                                int T) {
  const auto* s = reinterpret_cast<const float*>(pSrc);
  auto* d = reinterpret_cast<float*>(pDst);
  int j = 0;
  for (; j + 2 <= count; j += 2) _mm_storeu_ps(d + 2 * j, DirectOutputs<false>(pPreparedTaps, s + 2 * j, T));
  if (j < count)
    _mm_storel_pi(reinterpret_cast<__m64*>(d + 2 * j), DirectOutputs<true>(pPreparedTaps, s + 2 * j, T));
  return T;
}

// Two outputs per round. G > 1: round r of a period takes step pair r mod 2G: the first
// window at the position plus its first byte step, the second window at the first plus
// the second step, the position then at the second window; the rows are 2r and 2r + 1
// of the period; after 2G rounds the period-advance entry (pSteps[4G]) is added and the
// table and coefficients restart. G = 1: the first window starts at the start plus
// pSteps[0] bytes, the second follows at pSteps[1] bytes, every round advances both by
// twice that and uses rows 0 and 1.
int64 spFirMultirateKernel_32fc(const float* pCoefficients, const spComplex32f* pLine, spComplex32f* pDst, int count,
                                const int32* pSteps, int G, int64 start, int windowLen, int R) {
  if (count <= 0) return start;
  const auto* base = reinterpret_cast<const uint8*>(pLine);
  const float* plane2 = pCoefficients + int64{8} * G * R;
  auto window = [base](int64 bytes) { return reinterpret_cast<const float*>(base + bytes); };
  int64 pos = start * 8;
  if (G == 1) {
    const int64 d = pSteps[1];
    int64 w1 = pos + pSteps[0];
    for (int o = 0; o + 2 <= count; o += 2, w1 += 2 * d) {
      pDst[o] = WindowDot(window(w1), pCoefficients, plane2, 0, windowLen);
      pDst[o + 1] = WindowDot(window(w1 + d), pCoefficients, plane2, R, windowLen);
      pos = w1 + d;
    }
    return pos / 8;
  }
  int pair = 0;
  for (int o = 0; o + 2 <= count; o += 2) {
    const int64 w1 = pos + pSteps[2 * pair];
    const int64 w2 = w1 + pSteps[2 * pair + 1];
    pos = w2;
    const int64 row = int64{2} * pair * R;
    pDst[o] = WindowDot(window(w1), pCoefficients, plane2, row, windowLen);
    pDst[o + 1] = WindowDot(window(w2), pCoefficients, plane2, row + R, windowLen);
    if (++pair == 2 * G) {
      pair = 0;
      pos += pSteps[4 * G];
    }
  }
  return pos / 8;
}
