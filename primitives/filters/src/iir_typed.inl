// IIR kernels for integer, double-precision and complex data, shared by the three
// processor builds: each build's source includes this file inside its own namespace.
// One-sample steps in transposed direct form II (arbitrary order) and biquad cascades,
// and the block passes of the 16-bit and complex single-precision data. Needs
// <emmintrin.h>, <cmath>, "sp/iir.h" and "sp/iir_typed.h".

namespace {

template <class W>
struct Cx {
  W re, im;
};

template <class W>
inline Cx<W> operator+(Cx<W> a, Cx<W> b) {
  return {a.re + b.re, a.im + b.im};
}
template <class W>
inline Cx<W> operator-(Cx<W> a, Cx<W> b) {
  return {a.re - b.re, a.im - b.im};
}
template <class W>
inline Cx<W> operator*(Cx<W> a, Cx<W> b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// 2^e for e in -1022..1023, by exponent arithmetic.
inline double Pow2(int e) {
  const uint64 bits = static_cast<uint64>(e + 1023) << 52;
  double d;
  __builtin_memcpy(&d, &bits, sizeof d);
  return d;
}

// y * 2^-scaleFactor without rounding. Single-precision results span 2^-149..2^128, so
// beyond -200..200 no written integer changes and the factor is clamped there; the
// product is then exact in double. Double-precision factors outside -1023..1022 go
// through ldexp, clamped to -2200..2200 for the same reason.
inline double Scale(float y, int32 scaleFactor) {
  const int sf = scaleFactor < -200 ? -200 : (scaleFactor > 200 ? 200 : scaleFactor);
  return static_cast<double>(y) * (sf > 0 ? 1.0 / Pow2(sf) : Pow2(-sf));
}
inline double Scale(double y, int32 scaleFactor) {
  if (scaleFactor >= -1023 && scaleFactor <= 1022) return y * Pow2(-scaleFactor);
  const int sf = scaleFactor < -2200 ? -2200 : (scaleFactor > 2200 ? 2200 : scaleFactor);
  return std::ldexp(y, -sf);
}

// Nearest integer, ties to even (the processor's default rounding), saturated; NaN
// gives 0.
template <class I>
inline I RoundSaturate(double v) {
  if (v != v) return 0;
  constexpr double lo = sizeof(I) == 2 ? -32768.0 : -2147483648.0;
  constexpr double hi = sizeof(I) == 2 ? 32767.0 : 2147483647.0;
  v = v < lo ? lo : (v > hi ? hi : v);
  return static_cast<I>(_mm_cvtsd_si32(_mm_set_sd(v)));
}

template <class W, class Out>
inline Out Emit(W y, int32 scaleFactor) {
  if constexpr (sizeof(Out) <= 4 && !std::is_floating_point_v<Out>) {
    return RoundSaturate<Out>(Scale(y, scaleFactor));
  } else {
    return static_cast<Out>(y);
  }
}

template <class W, class C>
inline Cx<W> ToWork(const C& c) {
  return {static_cast<W>(c.re), static_cast<W>(c.im)};
}

template <class W, class C>
inline void EmitComplex(Cx<W> y, C* pDst, int32 scaleFactor) {
  pDst->re = Emit<W, decltype(pDst->re)>(y.re, scaleFactor);
  pDst->im = Emit<W, decltype(pDst->im)>(y.im, scaleFactor);
}

// Arbitrary-order step on real data in working precision W: pTaps b0..bn, a1..an;
// pDelay z0..zn with zn = 0.
template <class W, class In, class Out>
inline void ArbitraryReal(const In* pSrc, Out* pDst, W* pRaw, spIirState* s, int32 scaleFactor) {
  const int n = s->order;
  const W* t = reinterpret_cast<const W*>(s->pTaps);
  W* z = reinterpret_cast<W*>(s->pDelay);
  const W x = static_cast<W>(*pSrc);
  W y;
  if (n <= 0) {
    y = t[0] * x;
  } else {
    y = t[0] * x + z[0];
    for (int k = 0; k < n; ++k) z[k] = (t[k + 1] * x - t[n + 1 + k] * y) + z[k + 1];
  }
  if (pRaw != nullptr) *pRaw = y;
  *pDst = Emit<W, Out>(y, scaleFactor);
}

// Biquad cascade on real data, single precision: per section b0 b1 b2 - -a1 -a2 - -.
template <class In, class Out>
inline void BiquadRealSingle(const In* pSrc, Out* pDst, spIirState* s, int32 scaleFactor) {
  float x = static_cast<float>(*pSrc);
  const float* T = s->pSectionSampleTaps;
  float* d = s->pDelay;
  for (int k = 0; k < s->sectionCount; ++k, T += 8, d += 2) {
    const float y = T[0] * x + d[0];
    d[0] = (T[1] * x + d[1]) + T[4] * y;
    d[1] = T[2] * x + T[5] * y;
    x = y;
  }
  *pDst = Emit<float, Out>(x, scaleFactor);
}

// Biquad cascade on real data, double precision: order / 2 sections of
// b0 b0 b1 b2 -a1 -a2.
template <class In, class Out>
inline void BiquadRealDouble(const In* pSrc, Out* pDst, spIirState* s, int32 scaleFactor) {
  double x = static_cast<double>(*pSrc);
  const double* T = reinterpret_cast<const double*>(s->pSectionSampleTaps);
  double* d = reinterpret_cast<double*>(s->pDelay);
  for (int k = 0; k < s->order / 2; ++k, T += 6, d += 2) {
    const double y = T[0] * x + d[0];
    d[0] = (T[2] * x + T[4] * y) + d[1];
    d[1] = T[3] * x + T[5] * y;
    x = y;
  }
  *pDst = Emit<double, Out>(x, scaleFactor);
}

// Arbitrary-order step on complex data, single precision: plain complex taps below
// order 4, the arranged pairs of taps from order 4.
template <class In, class Out>
inline void ArbitraryComplexSingle(const In* pSrc, Out* pDst, spComplex32f* pRaw, spIirState* s,
                                   int32 scaleFactor) {
  const int n = s->order;
  const Cx<float> x = ToWork<float>(*pSrc);
  auto* z = reinterpret_cast<Cx<float>*>(s->pDelay);
  Cx<float> y;
  if (n < 4) {
    const auto* t = reinterpret_cast<const Cx<float>*>(s->pTaps);
    if (n <= 0) {
      y = t[0] * x;
    } else {
      y = t[0] * x + z[0];
      for (int k = 0; k < n; ++k) z[k] = (t[k + 1] * x - t[n + 1 + k] * y) + z[k + 1];
    }
  } else {
    const float* h = s->pSectionSampleTaps;
    y = Cx<float>{h[0] * x.re + h[2] * x.im, h[1] * x.im + h[3] * x.re} + z[0];
    const __m128 xd = _mm_setr_ps(x.re, x.im, x.re, x.im);
    const __m128 xs = _mm_setr_ps(x.im, x.re, x.im, x.re);
    const __m128 yr = _mm_set1_ps(y.re), yi = _mm_set1_ps(y.im);
    const float* g = h + 4;
    int k = 0;  // z index of the pair: taps k + 1, k + 2
    for (; k + 2 <= n; k += 2, g += 16) {
      const __m128 bx = _mm_add_ps(_mm_mul_ps(_mm_load_ps(g), xd), _mm_mul_ps(_mm_load_ps(g + 4), xs));
      const __m128 ay = _mm_add_ps(_mm_mul_ps(_mm_load_ps(g + 8), yr), _mm_mul_ps(_mm_load_ps(g + 12), yi));
      const __m128 next = _mm_loadu_ps(reinterpret_cast<const float*>(z + k + 1));
      _mm_store_ps(reinterpret_cast<float*>(z + k), _mm_add_ps(_mm_add_ps(bx, ay), next));
    }
    if (k < n) {  // odd order: tap n alone in the lower halves
      z[k] = Cx<float>{(g[0] * x.re + g[4] * x.im) + (g[8] * y.re + g[12] * y.im),
                       (g[1] * x.im + g[5] * x.re) + (g[9] * y.re + g[13] * y.im)} +
             z[k + 1];
    }
  }
  if (pRaw != nullptr) *pRaw = {y.re, y.im};
  EmitComplex(y, pDst, scaleFactor);
}

// Biquad cascade on complex data, single precision: plain taps below 5 sections,
// arranged sections of 20 floats from 5.
template <class In, class Out>
inline void BiquadComplexSingle(const In* pSrc, Out* pDst, spIirState* s, int32 scaleFactor) {
  Cx<float> x = ToWork<float>(*pSrc);
  auto* d = reinterpret_cast<Cx<float>*>(s->pDelay);
  const int S = s->sectionCount;
  for (int k = 0; k < S; ++k, d += 2) {
    Cx<float> y;
    if (S < 5) {
      const auto* c = reinterpret_cast<const Cx<float>*>(s->pTaps) + 5 * k;
      y = c[0] * x + d[0];
      d[0] = (c[1] * x - c[3] * y) + d[1];
      d[1] = c[2] * x - c[4] * y;
    } else {
      const float* T = s->pSectionSampleTaps + 20 * k;
      y = Cx<float>{T[0] * x.re + T[2] * x.im, T[1] * x.re + T[3] * x.im} + d[0];
      const float* G = T + 4;
      const Cx<float> b1x{G[0] * x.re + G[4] * x.im, G[1] * x.re + G[5] * x.im};
      const Cx<float> b2x{G[2] * x.re + G[6] * x.im, G[3] * x.re + G[7] * x.im};
      const Cx<float> a1y{G[8] * y.re + G[12] * y.im, G[9] * y.re + G[13] * y.im};  // -a1 y
      const Cx<float> a2y{G[10] * y.re + G[14] * y.im, G[11] * y.re + G[15] * y.im};
      d[0] = (b1x + a1y) + d[1];
      d[1] = b2x + a2y;
    }
    x = y;
  }
  EmitComplex(x, pDst, scaleFactor);
}

// c * v for a coefficient arranged as Re, Im, Im, Re.
inline Cx<double> ArrangedProduct(const double* c, Cx<double> v) {
  return {c[0] * v.re - c[2] * v.im, c[1] * v.re + c[3] * v.im};
}

// Arbitrary-order step on complex data, double precision, arranged taps.
template <class In, class Out>
inline void ArbitraryComplexDouble(const In* pSrc, Out* pDst, spComplex64f* pRaw, spIirState* s,
                                   int32 scaleFactor) {
  const int n = s->order;
  const Cx<double> x = ToWork<double>(*pSrc);
  auto* z = reinterpret_cast<Cx<double>*>(s->pDelay);
  const auto* h = reinterpret_cast<const double*>(s->pSectionSampleTaps);
  Cx<double> y = ArrangedProduct(h, x);
  if (n > 0) {
    y = y + z[0];
    for (int k = 0; k < n; ++k) {
      const double* P = h + 4 + 8 * k;
      z[k] = (ArrangedProduct(P, x) + ArrangedProduct(P + 4, y)) + z[k + 1];
    }
  }
  if (pRaw != nullptr) *pRaw = {y.re, y.im};
  EmitComplex(y, pDst, scaleFactor);
}

// Biquad cascade on complex data, double precision: sections of b0 b1 b2 -a1 -a2 arranged.
template <class In, class Out>
inline void BiquadComplexDouble(const In* pSrc, Out* pDst, spIirState* s, int32 scaleFactor) {
  Cx<double> x = ToWork<double>(*pSrc);
  auto* d = reinterpret_cast<Cx<double>*>(s->pDelay);
  const auto* T = reinterpret_cast<const double*>(s->pSectionSampleTaps);
  for (int k = 0; k < s->sectionCount; ++k, d += 2, T += 20) {
    const Cx<double> y = ArrangedProduct(T, x) + d[0];
    d[0] = (ArrangedProduct(T + 4, x) + ArrangedProduct(T + 12, y)) + d[1];
    d[1] = ArrangedProduct(T + 8, x) + ArrangedProduct(T + 16, y);
    x = y;
  }
  EmitComplex(x, pDst, scaleFactor);
}

// Real feed-forward values f(t) = sum b_k src[t + N - k], oldest sample first.
template <class In>
inline void FeedForwardReal(const In* src, float* f, int64 len, const float* nv, int N) {
  for (int64 t = 0; t < len; ++t) {
    float acc = 0.0f;
    for (int k = N; k >= 0; --k) acc = acc + nv[4 * k] * static_cast<float>(src[t + N - k]);
    f[t] = acc;
  }
}

// Real feedback pass in chunks that the 32-bit float kernel's count can hold; every
// output is also written, scaled, to dst at the line's index.
template <class Pass>
inline void FeedbackReal16s(Pass pass, const float* f, float* line, int64 len, int N, int16* dst, int32 sf) {
  constexpr int64 kChunk = int64{1} << 30;
  for (int64 off = 0; off < len; off += kChunk) {
    const int64 m = len - off < kChunk ? len - off : kChunk;
    pass(f + off, line + off, static_cast<int>(m));
  }
  for (int64 t = 0; t < len; ++t) dst[t + N] = Emit<float, int16>(line[t + N], sf);
}

// Complex feed-forward values; per tap eight floats: Re b four times, then -Im b, Im b,
// -Im b, Im b.
template <class In>
inline void FeedForwardComplex(const In* src, spComplex32f* f, int64 len, const float* nv, int N) {
  for (int64 t = 0; t < len; ++t) {
    Cx<float> acc{0.0f, 0.0f};
    for (int k = N; k >= 0; --k) {
      const Cx<float> b{nv[8 * k], nv[8 * k + 5]};
      acc = acc + b * ToWork<float>(src[t + N - k]);
    }
    f[t] = {acc.re, acc.im};
  }
}

// Complex coefficient of lane i (0..3) of table block `blk`.
inline Cx<float> Response(const float* blk, int i) {
  const float* p = blk + (i < 2 ? 0 : 8) + 2 * (i & 1);
  return {p[0], p[1]};
}

// Complex feedback pass: four outputs at a time from the coefficient table (blocks of
// 16 floats for y(t-1)..y(t-N): lane i of block j is -a(j + i); then -a1, -a2, -a3):
// each output's input and history terms (only those within the order), then the
// dependencies inside the group one output at a time; the rest one at a time with the
// lanes of output t. Integer outputs, when dst is given, go to dst at the line's index.
template <class C>
inline void FeedbackComplex(const spComplex32f* f, spComplex32f* line, int64 len, const float* fb, int N, C* dst,
                            int32 sf) {
  auto L = [line](int64 i) { return Cx<float>{line[i].re, line[i].im}; };
  auto F = [f](int64 i) { return Cx<float>{f[i].re, f[i].im}; };
  const float* g = fb + 16 * N;
  int64 t = 0;
  for (; t + 4 <= len; t += 4) {
    Cx<float> y[4];
    for (int i = 0; i < 4; ++i) {
      Cx<float> acc = F(t + i);
      for (int j = N; j >= 1; --j)
        if (i + j <= N) acc = acc + Response(fb + 16 * (j - 1), i) * L(t + N - j);
      y[i] = acc;
    }
    for (int i = 1; i < 4; ++i)
      for (int k = i; k >= 1; --k)
        if (k <= N) y[i] = y[i] + Response(g, k - 1) * y[i - k];
    for (int i = 0; i < 4; ++i) line[t + N + i] = {y[i].re, y[i].im};
  }
  for (; t < len; ++t) {
    Cx<float> acc = F(t);
    for (int j = N; j >= 1; --j) acc = acc + Response(fb + 16 * (j - 1), 0) * L(t + N - j);
    line[t + N] = {acc.re, acc.im};
  }
  if (dst != nullptr)
    for (int64 i = 0; i < len; ++i) EmitComplex(L(i + N), dst + i + N, sf);
}

}  // namespace

void spIirSampleBiquadCascade_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor) {
  BiquadRealSingle(pSrc, pDst, pState, scaleFactor);
}
void spIirSampleArbitraryOrder_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor) {
  ArbitraryReal<float>(pSrc, pDst, nullptr, pState, scaleFactor);
}
void spIirSampleArbitraryOrderRaw_16s(const int16* pSrc, int16* pDst, float* pRaw, spIirState* pState,
                                      int32 scaleFactor) {
  ArbitraryReal<float>(pSrc, pDst, pRaw, pState, scaleFactor);
}
void spIirSampleArbitraryOrder_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState) {
  ArbitraryComplexSingle(pSrc, pDst, nullptr, pState, 0);
}
void spIirSampleBiquadCascade_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState) {
  BiquadComplexSingle(pSrc, pDst, pState, 0);
}
void spIirSampleArbitraryOrder_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState,
                                    int32 scaleFactor) {
  ArbitraryComplexSingle(pSrc, pDst, nullptr, pState, scaleFactor);
}
void spIirSampleArbitraryOrderRaw_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spComplex32f* pRaw,
                                       spIirState* pState, int32 scaleFactor) {
  ArbitraryComplexSingle(pSrc, pDst, pRaw, pState, scaleFactor);
}
void spIirSampleBiquadCascade_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState,
                                   int32 scaleFactor) {
  BiquadComplexSingle(pSrc, pDst, pState, scaleFactor);
}

void spIirSampleBiquadCascade_64f(const double* pSrc, double* pDst, spIirState* pState) {
  BiquadRealDouble(pSrc, pDst, pState, 0);
}
void spIirSampleBiquadCascade64f_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor) {
  BiquadRealDouble(pSrc, pDst, pState, scaleFactor);
}
void spIirSampleBiquadCascade64f_32s(const int32* pSrc, int32* pDst, spIirState* pState, int32 scaleFactor) {
  BiquadRealDouble(pSrc, pDst, pState, scaleFactor);
}
void spIirSampleBiquadCascade64f_32f(const float* pSrc, float* pDst, spIirState* pState) {
  BiquadRealDouble(pSrc, pDst, pState, 0);
}
void spIirSampleArbitraryOrder_64f(const double* pSrc, double* pDst, spIirState* pState) {
  ArbitraryReal<double>(pSrc, pDst, nullptr, pState, 0);
}
void spIirSampleArbitraryOrder64f_32s(const int32* pSrc, int32* pDst, spIirState* pState, int32 scaleFactor) {
  ArbitraryReal<double>(pSrc, pDst, nullptr, pState, scaleFactor);
}
void spIirSampleArbitraryOrderRaw64f_32s(const int32* pSrc, int32* pDst, double* pRaw, spIirState* pState,
                                         int32 scaleFactor) {
  ArbitraryReal<double>(pSrc, pDst, pRaw, pState, scaleFactor);
}
void spIirSampleArbitraryOrder64f_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor) {
  ArbitraryReal<double>(pSrc, pDst, nullptr, pState, scaleFactor);
}
void spIirSampleArbitraryOrderRaw64f_16s(const int16* pSrc, int16* pDst, double* pRaw, spIirState* pState,
                                         int32 scaleFactor) {
  ArbitraryReal<double>(pSrc, pDst, pRaw, pState, scaleFactor);
}
void spIirSampleArbitraryOrder64f_32f(const float* pSrc, float* pDst, spIirState* pState) {
  ArbitraryReal<double>(pSrc, pDst, nullptr, pState, 0);
}
void spIirSampleArbitraryOrderRaw64f_32f(const float* pSrc, float* pDst, double* pRaw, spIirState* pState) {
  ArbitraryReal<double>(pSrc, pDst, pRaw, pState, 0);
}

void spIirSampleArbitraryOrder_64fc(const spComplex64f* pSrc, spComplex64f* pDst, spIirState* pState) {
  ArbitraryComplexDouble(pSrc, pDst, nullptr, pState, 0);
}
void spIirSampleBiquadCascade_64fc(const spComplex64f* pSrc, spComplex64f* pDst, spIirState* pState) {
  BiquadComplexDouble(pSrc, pDst, pState, 0);
}
void spIirSampleArbitraryOrder64f_32sc(const spComplex32s* pSrc, spComplex32s* pDst, spIirState* pState,
                                       int32 scaleFactor) {
  ArbitraryComplexDouble(pSrc, pDst, nullptr, pState, scaleFactor);
}
void spIirSampleArbitraryOrderRaw64f_32sc(const spComplex32s* pSrc, spComplex32s* pDst, spComplex64f* pRaw,
                                          spIirState* pState, int32 scaleFactor) {
  ArbitraryComplexDouble(pSrc, pDst, pRaw, pState, scaleFactor);
}
void spIirSampleBiquadCascade64f_32sc(const spComplex32s* pSrc, spComplex32s* pDst, spIirState* pState,
                                      int32 scaleFactor) {
  BiquadComplexDouble(pSrc, pDst, pState, scaleFactor);
}
void spIirSampleArbitraryOrder64f_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState,
                                       int32 scaleFactor) {
  ArbitraryComplexDouble(pSrc, pDst, nullptr, pState, scaleFactor);
}
void spIirSampleArbitraryOrderRaw64f_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spComplex64f* pRaw,
                                          spIirState* pState, int32 scaleFactor) {
  ArbitraryComplexDouble(pSrc, pDst, pRaw, pState, scaleFactor);
}
void spIirSampleBiquadCascade64f_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState,
                                      int32 scaleFactor) {
  BiquadComplexDouble(pSrc, pDst, pState, scaleFactor);
}
void spIirSampleArbitraryOrder64f_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState) {
  ArbitraryComplexDouble(pSrc, pDst, nullptr, pState, 0);
}
void spIirSampleArbitraryOrderRaw64f_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spComplex64f* pRaw,
                                          spIirState* pState) {
  ArbitraryComplexDouble(pSrc, pDst, pRaw, pState, 0);
}
void spIirSampleBiquadCascade64f_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState) {
  BiquadComplexDouble(pSrc, pDst, pState, 0);
}

void spIirBiquadBlockFeedForward_16s(const int16* pSrc, float* pDst, int64 len, const float* pNumeratorVectors) {
  FeedForwardReal(pSrc, pDst, len, pNumeratorVectors, 2);
}
void spIirBiquadBlockFeedback_16s(const float* pFeedForward, float* pLine, int64 len, const float* pFeedbackVectors,
                                  int16* pDst, int32 scaleFactor) {
  FeedbackReal16s([pFeedbackVectors](const float* f, float* y, int m) { spIirBiquadBlockFeedback_32f(f, y, m, pFeedbackVectors); },
                  pFeedForward, pLine, len, 2, pDst, scaleFactor);
}
void spIirBlockFeedForward_16s(const int16* pSrc, float* pDst, int64 len, const float* pNumeratorVectors,
                               int32 order) {
  FeedForwardReal(pSrc, pDst, len, pNumeratorVectors, order);
}
void spIirBlockFeedback_16s(const float* pFeedForward, float* pLine, int64 len, const float* pFeedbackVectors,
                            int32 order, int16* pDst, int32 scaleFactor) {
  FeedbackReal16s(
      [pFeedbackVectors, order](const float* f, float* y, int m) { spIirBlockFeedback_32f(f, y, m, pFeedbackVectors, order); },
      pFeedForward, pLine, len, order, pDst, scaleFactor);
}
void spIirBlockFeedForward_32fc(const spComplex32f* pSrc, spComplex32f* pDst, int64 len,
                                const float* pNumeratorVectors, int32 order) {
  FeedForwardComplex(pSrc, pDst, len, pNumeratorVectors, order);
}
void spIirBlockFeedback_32fc(const spComplex32f* pFeedForward, spComplex32f* pLine, int64 len,
                             const float* pFeedbackVectors, int32 order) {
  FeedbackComplex<spComplex16s>(pFeedForward, pLine, len, pFeedbackVectors, order, nullptr, 0);
}
void spIirBlockFeedForward_16sc(const spComplex16s* pSrc, spComplex32f* pDst, int64 len,
                                const float* pNumeratorVectors, int32 order) {
  FeedForwardComplex(pSrc, pDst, len, pNumeratorVectors, order);
}
void spIirBlockFeedback_16sc(const spComplex32f* pFeedForward, spComplex32f* pLine, int64 len,
                             const float* pFeedbackVectors, int32 order, spComplex16s* pDst, int32 scaleFactor) {
  FeedbackComplex(pFeedForward, pLine, len, pFeedbackVectors, order, pDst, scaleFactor);
}
