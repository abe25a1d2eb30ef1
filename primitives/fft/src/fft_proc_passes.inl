// Processor builds of the FFT engine: the permuting transforms and the in-place radix
// passes. Both run a first radix-4 pass into split quads, middle radix-4 and radix-8
// passes in place on the split quads and a final pass that writes the destination, with
// the build's pass plan (spFftPassPlan) and its twiddle records. Four butterflies per
// vector operation, SSE/SSE2 only. Included inside the namespace of a build.

namespace {

using Vec = __m128;

// The butterflies are inlined into their pass loops whatever the compiler's size estimate:
// a call per quad would spill the eight legs of a radix-8 butterfly through memory.
#define SP_FFT_BUTTERFLY inline __attribute__((always_inline))

inline bool Aligned16(const void* p) { return (reinterpret_cast<std::uintptr_t>(p) & 15u) == 0; }

inline Vec Load(const float* p) { return _mm_load_ps(p); }
inline Vec Const(int32 row) { return _mm_load_ps(spFftKernelConstants[row]); }

// Two whole complex values (8-byte loads) in one register.
inline Vec LoadPair(const float* a, const float* b) {
  return _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(a)),
                      reinterpret_cast<const __m64*>(b));
}

// A value per lane pair: (x.re, x.im) times w (forward) or conj(w) (inverse), lane by lane
// on split parts; every product rounded before the sum.
template <bool kInv>
SP_FFT_BUTTERFLY void Twiddle(Vec& re, Vec& im, const float* w) {
  const Vec wr = Load(w), wi = Load(w + 4);
  Vec r, i;
  if constexpr (!kInv) {
    r = _mm_sub_ps(_mm_mul_ps(re, wr), _mm_mul_ps(im, wi));
    i = _mm_add_ps(_mm_mul_ps(im, wr), _mm_mul_ps(re, wi));
  } else {
    r = _mm_add_ps(_mm_mul_ps(re, wr), _mm_mul_ps(im, wi));
    i = _mm_sub_ps(_mm_mul_ps(im, wr), _mm_mul_ps(re, wi));
  }
  re = r;
  im = i;
}

// Where a pass leaves a quad: split (re, im), or two interleaved values in each 16 bytes.
// The final pass may write a destination of any alignment, so the stores are unaligned
// ones (the same cost as aligned ones on an aligned address).
template <bool kInterleave>
SP_FFT_BUTTERFLY void Put(float* p, Vec re, Vec im) {
  if constexpr (kInterleave) {
    _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
    _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
  } else {
    _mm_storeu_ps(p, re);
    _mm_storeu_ps(p + 4, im);
  }
}

// First pass on four inputs of two groups each, (a, b, c, d) of group 0 in lanes 0-1 and of
// group 1 in lanes 2-3: the 4-point transforms stored as split quads at out0 and out1.
template <bool kInv>
inline void FirstGroup(Vec a, Vec b, Vec c, Vec d, float* out0, float* out1) {
  const Vec u0 = _mm_add_ps(a, c), u1 = _mm_sub_ps(a, c);
  const Vec u2 = _mm_add_ps(b, d), u3 = _mm_sub_ps(b, d);
  // (u3.im, -u3.re): u3 times -i.
  const Vec mi = _mm_xor_ps(_mm_shuffle_ps(u3, u3, _MM_SHUFFLE(2, 3, 0, 1)),
                            _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0)));
  Vec y0 = _mm_add_ps(u0, u2), y2 = _mm_sub_ps(u0, u2);
  Vec y1 = kInv ? _mm_sub_ps(u1, mi) : _mm_add_ps(u1, mi);
  Vec y3 = kInv ? _mm_add_ps(u1, mi) : _mm_sub_ps(u1, mi);
  _MM_TRANSPOSE4_PS(y0, y1, y2, y3);  // rows: re 0, im 0, re 1, im 1
  _mm_store_ps(out0, y0);
  _mm_store_ps(out0 + 4, y1);
  _mm_store_ps(out1, y2);
  _mm_store_ps(out1 + 4, y3);
}

// First pass with the permutation: positions 4q..4q+3 of t get the 4-point transform of
// x[r], x[r + N/4], x[r + N/2], x[r + 3N/4], r = rev(4q); 16 values a step.
template <bool kInv>
void FirstPassPermuting(const float* src, float* t, int32 n, const int32* e) {
  const std::ptrdiff_t qf = n / 2;  // floats of a quarter
  const std::ptrdiff_t half = n;    // floats of half the positions
  const bool aligned = Aligned16(src);
  auto load = [aligned](const float* p) { return aligned ? _mm_load_ps(p) : _mm_loadu_ps(p); };
  int32 tA = 0;
  for (std::ptrdiff_t k = 0;; ++k) {
    const int32 tB = e[4 * k + 2];
    const float* pa = src + 2 * static_cast<std::ptrdiff_t>(tA);
    const float* pb = src + 2 * static_cast<std::ptrdiff_t>(tB);
    float* o = t + 16 * k;
    FirstGroup<kInv>(load(pa), load(pa + qf), load(pa + 2 * qf), load(pa + 3 * qf), o, o + half);
    FirstGroup<kInv>(load(pb), load(pb + qf), load(pb + 2 * qf), load(pb + 3 * qf), o + 8,
                     o + half + 8);
    tA = e[4 * k + 4];
    if (tA == 0) break;
  }
}

// First pass on bit-reversed data: each run of four values p0..p3 becomes its 4-point
// transform in split quads; two runs a step, read with 8-byte loads.
template <bool kInv>
void FirstPassInPlace(const float* data, float* t, int32 n) {
  for (std::ptrdiff_t f = 0; f < 2 * static_cast<std::ptrdiff_t>(n); f += 16) {
    const float* p = data + f;
    const Vec p0 = LoadPair(p, p + 8), p1 = LoadPair(p + 2, p + 10);
    const Vec p2 = LoadPair(p + 4, p + 12), p3 = LoadPair(p + 6, p + 14);
    FirstGroup<kInv>(p0, p2, p1, p3, t + f, t + f + 8);
  }
}

// Radix-4 butterfly of four quads at p + j step (floats), twiddles V1..V3 at w (null: none).
template <bool kInv, bool kInterleave>
SP_FFT_BUTTERFLY void Radix4(const float* in, float* out, std::ptrdiff_t step, const float* w) {
  Vec r0 = Load(in), i0 = Load(in + 4);
  Vec r1 = Load(in + step), i1 = Load(in + step + 4);
  Vec r2 = Load(in + 2 * step), i2 = Load(in + 2 * step + 4);
  Vec r3 = Load(in + 3 * step), i3 = Load(in + 3 * step + 4);
  Twiddle<kInv>(r1, i1, w + 8);
  Twiddle<kInv>(r2, i2, w);
  Twiddle<kInv>(r3, i3, w + 16);
  const Vec ar = _mm_add_ps(r0, r1), ai = _mm_add_ps(i0, i1);
  const Vec d0r = _mm_sub_ps(r0, r1), d0i = _mm_sub_ps(i0, i1);
  const Vec cr = _mm_add_ps(r2, r3), ci = _mm_add_ps(i2, i3);
  const Vec d1r = _mm_sub_ps(r2, r3), d1i = _mm_sub_ps(i2, i3);
  // D0 - i D1 and D0 + i D1.
  const Vec mr = _mm_add_ps(d0r, d1i), mim = _mm_sub_ps(d0i, d1r);
  const Vec pr = _mm_sub_ps(d0r, d1i), pim = _mm_add_ps(d0i, d1r);
  Put<kInterleave>(out, _mm_add_ps(ar, cr), _mm_add_ps(ai, ci));
  Put<kInterleave>(out + 2 * step, _mm_sub_ps(ar, cr), _mm_sub_ps(ai, ci));
  if constexpr (!kInv) {
    Put<kInterleave>(out + step, mr, mim);
    Put<kInterleave>(out + 3 * step, pr, pim);
  } else {
    Put<kInterleave>(out + step, pr, pim);
    Put<kInterleave>(out + 3 * step, mr, mim);
  }
}

// The 8-point transform z_j = sum over r of W_8^(j r) y_r (inverse: W_8^(-j r)) on split
// quads, the odd eighth turns as sums and differences times c8 and -c8.
template <bool kInv>
SP_FFT_BUTTERFLY void Butterfly8(const Vec* yr, const Vec* yi, Vec* zr, Vec* zi) {
  const Vec c8 = Const(2), negC8 = Const(3);
  const Vec s26r = _mm_add_ps(yr[2], yr[6]), s26i = _mm_add_ps(yi[2], yi[6]);
  const Vec d26r = _mm_sub_ps(yr[2], yr[6]), d26i = _mm_sub_ps(yi[2], yi[6]);
  const Vec s04r = _mm_add_ps(yr[0], yr[4]), s04i = _mm_add_ps(yi[0], yi[4]);
  const Vec d04r = _mm_sub_ps(yr[0], yr[4]), d04i = _mm_sub_ps(yi[0], yi[4]);
  const Vec s15r = _mm_add_ps(yr[1], yr[5]), s15i = _mm_add_ps(yi[1], yi[5]);
  const Vec d15r = _mm_sub_ps(yr[1], yr[5]), d15i = _mm_sub_ps(yi[1], yi[5]);
  const Vec s37r = _mm_add_ps(yr[3], yr[7]), s37i = _mm_add_ps(yi[3], yi[7]);
  const Vec d37r = _mm_sub_ps(yr[3], yr[7]), d37i = _mm_sub_ps(yi[3], yi[7]);
  const Vec gzr = _mm_add_ps(s04r, s26r), gzi = _mm_add_ps(s04i, s26i);
  const Vec z2r = _mm_sub_ps(s04r, s26r), z2i = _mm_sub_ps(s04i, s26i);
  const Vec gr = _mm_add_ps(s15r, s37r), gi = _mm_add_ps(s15i, s37i);
  const Vec g2r = _mm_sub_ps(s15r, s37r), g2i = _mm_sub_ps(s15i, s37i);
  zr[0] = _mm_add_ps(gzr, gr), zi[0] = _mm_add_ps(gzi, gi);
  zr[4] = _mm_sub_ps(gzr, gr), zi[4] = _mm_sub_ps(gzi, gi);
  // Z' -/+ i G' (forward) and the other way round (inverse).
  const Vec e2r = _mm_add_ps(z2r, g2i), e2i = _mm_sub_ps(z2i, g2r);
  const Vec e6r = _mm_sub_ps(z2r, g2i), e6i = _mm_add_ps(z2i, g2r);
  Vec ar, ai, a2r, a2i, hr, hi, h2r, h2i;
  if constexpr (!kInv) {
    zr[2] = e2r, zi[2] = e2i, zr[6] = e6r, zi[6] = e6i;
    ar = _mm_add_ps(d04r, d26i), ai = _mm_sub_ps(d04i, d26r);
    a2r = _mm_sub_ps(d04r, d26i), a2i = _mm_add_ps(d04i, d26r);
    const Vec a1 = _mm_mul_ps(_mm_add_ps(d15r, d37i), c8);
    const Vec a2 = _mm_mul_ps(_mm_sub_ps(d15r, d37i), negC8);
    const Vec a3 = _mm_mul_ps(_mm_sub_ps(d15i, d37r), c8);
    const Vec a4 = _mm_mul_ps(_mm_add_ps(d15i, d37r), negC8);
    hr = _mm_add_ps(a1, a3), hi = _mm_sub_ps(a3, a1);
    h2r = _mm_sub_ps(a2, a4), h2i = _mm_add_ps(a4, a2);
  } else {
    zr[2] = e6r, zi[2] = e6i, zr[6] = e2r, zi[6] = e2i;
    ar = _mm_sub_ps(d04r, d26i), ai = _mm_add_ps(d04i, d26r);
    a2r = _mm_add_ps(d04r, d26i), a2i = _mm_sub_ps(d04i, d26r);
    const Vec a1 = _mm_mul_ps(_mm_sub_ps(d15r, d37i), c8);
    const Vec a2 = _mm_mul_ps(_mm_add_ps(d15r, d37i), negC8);
    const Vec a3 = _mm_mul_ps(_mm_add_ps(d15i, d37r), c8);
    const Vec a4 = _mm_mul_ps(_mm_sub_ps(d15i, d37r), negC8);
    hr = _mm_sub_ps(a1, a3), hi = _mm_add_ps(a3, a1);
    h2r = _mm_add_ps(a2, a4), h2i = _mm_sub_ps(a4, a2);
  }
  zr[1] = _mm_add_ps(ar, hr), zi[1] = _mm_add_ps(ai, hi);
  zr[5] = _mm_sub_ps(ar, hr), zi[5] = _mm_sub_ps(ai, hi);
  zr[3] = _mm_add_ps(a2r, h2r), zi[3] = _mm_add_ps(a2i, h2i);
  zr[7] = _mm_sub_ps(a2r, h2r), zi[7] = _mm_sub_ps(a2i, h2i);
}

// Radix-8 butterfly of eight quads at p + j step, twiddles V1..V7 at w.
template <bool kInv, bool kInterleave>
SP_FFT_BUTTERFLY void Radix8(const float* in, float* out, std::ptrdiff_t step, const float* w) {
  Vec yr[8], yi[8], zr[8], zi[8];
  // y_r is element rev3(r) times W^(r k).
  static constexpr int kElement[8] = {0, 4, 2, 6, 1, 5, 3, 7};
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    yr[r] = Load(in + kElement[r] * step);
    yi[r] = Load(in + kElement[r] * step + 4);
    if (r > 0) Twiddle<kInv>(yr[r], yi[r], w + 8 * (r - 1));
  }
  Butterfly8<kInv>(yr, yi, zr, zi);
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) Put<kInterleave>(out + j * step, zr[j], zi[j]);
}

// One pass of radix r at span s over n positions: reads t, writes out at the same
// positions. Returns the records after the pass's own.
template <bool kInv, bool kInterleave>
const float* Pass(const float* t, float* out, int32 n, int32 r, int32 s, const float* w) {
  const std::ptrdiff_t step = 2 * static_cast<std::ptrdiff_t>(s);
  const std::ptrdiff_t block = static_cast<std::ptrdiff_t>(r) * step;
  const std::ptrdiff_t record = 8 * static_cast<std::ptrdiff_t>(r - 1);
  for (std::ptrdiff_t b = 0; b < 2 * static_cast<std::ptrdiff_t>(n); b += block) {
    const float* rec = w;
    for (std::ptrdiff_t k = 0; k < step; k += 8, rec += record) {
      if (r == 4) {
        Radix4<kInv, kInterleave>(t + b + k, out + b + k, step, rec);
      } else {
        Radix8<kInv, kInterleave>(t + b + k, out + b + k, step, rec);
      }
    }
  }
  return w + (s / 4) * record;
}

// Middle passes in place in t, then the final pass from t into out.
template <bool kInv>
void RunPasses(float* t, float* out, int32 n, int32 m, const float* w, bool interleave) {
  int32 radices[16];
  const int32 passes = spFftPassPlan(m, radices);
  int32 span = 4;
  for (int32 p = 0; p + 1 < passes; ++p) {
    w = Pass<kInv, false>(t, t, n, radices[p], span, w);
    span *= radices[p];
  }
  if (interleave) {
    Pass<kInv, true>(t, out, n, radices[passes - 1], span, w);
  } else {
    Pass<kInv, false>(t, out, n, radices[passes - 1], span, w);
  }
}

// Eight points: E and O the 4-point transforms of the even and odd inputs, O turned by
// W_8^k from the constant rows, all inputs read before the first store.
template <bool kInv>
void EightPoint(const float* src, float* dst) {
  float x[16];
  for (int i = 0; i < 16; ++i) x[i] = src[i];
  auto dft4 = [](const float* v, int stride, float* y) {
    // a, b, c, d = v[0], v[stride], v[2 stride], v[3 stride] (complex, float stride 2 stride)
    const float* a = v;
    const float* b = v + 2 * stride;
    const float* c = v + 4 * stride;
    const float* d = v + 6 * stride;
    const float u0r = a[0] + c[0], u0i = a[1] + c[1], u1r = a[0] - c[0], u1i = a[1] - c[1];
    const float u2r = b[0] + d[0], u2i = b[1] + d[1], u3r = b[0] - d[0], u3i = b[1] - d[1];
    y[0] = u0r + u2r;
    y[1] = u0i + u2i;
    y[4] = u0r - u2r;
    y[5] = u0i - u2i;
    const float mr = u1r + u3i, mim = u1i - u3r;  // u1 - i u3
    const float pr = u1r - u3i, pim = u1i + u3r;  // u1 + i u3
    if constexpr (!kInv) {
      y[2] = mr, y[3] = mim, y[6] = pr, y[7] = pim;
    } else {
      y[2] = pr, y[3] = pim, y[6] = mr, y[7] = mim;
    }
  };
  float e[8], o[8];
  dft4(x, 2, e);
  dft4(x + 2, 2, o);
  for (int k = 0; k < 4; ++k) {
    const float wr = spFftKernelConstants[0][k], wi = spFftKernelConstants[1][k];
    const float xr = o[2 * k], xi = o[2 * k + 1];
    float mr, mim;
    if constexpr (!kInv) {
      mr = xr * wr - xi * wi;
      mim = xi * wr + xr * wi;
    } else {
      mr = xr * wr + xi * wi;
      mim = xi * wr - xr * wi;
    }
    dst[2 * k] = e[2 * k] + mr;
    dst[2 * k + 1] = e[2 * k + 1] + mim;
    dst[2 * k + 8] = e[2 * k] - mr;
    dst[2 * k + 9] = e[2 * k + 1] - mim;
  }
}

template <bool kInv>
void WithPermutation(const float* src, float* dst, int32 n, const float* w, const int32* e,
                     float* work) {
  if (n == 8) {
    EightPoint<kInv>(src, dst);
    return;
  }
  int32 m = 0;
  while ((int32{1} << m) < n) ++m;
#if SP_FFT_VARIANT == 1
  if (n == 16) {
    // All sixteen values in a local block: the first pass and the final radix-4 pass at
    // span 4, with the index table of order 4.
    static const int32 kTable16[5] = {0, 4, 2, 6, 0};
    alignas(16) float t[32];
    FirstPassPermuting<kInv>(src, t, n, kTable16);
    Pass<kInv, true>(t, dst, n, 4, 4, w);
    return;
  }
#endif
  float* t = (src != dst && Aligned16(dst)) ? dst : work;
  FirstPassPermuting<kInv>(src, t, n, e);
  RunPasses<kInv>(t, dst, n, m, w, true);
}

template <bool kInv>
void RadixPasses(float* data, int32 n, const float* w, float* work, int32 interleave) {
  int32 m = 0;
  while ((int32{1} << m) < n) ++m;
  float* t = Aligned16(data) ? data : work;
  FirstPassInPlace<kInv>(data, t, n);
  RunPasses<kInv>(t, data, n, m, w, interleave == 1);
}

}  // namespace

void spFftForwardWithPermutation_32fc(const float* pSrc, float* pDst, int32 Nc,
                                      const float* pTwiddles, const int32* pTable, float* pWork) {
  WithPermutation<false>(pSrc, pDst, Nc, pTwiddles, pTable, pWork);
}

void spFftInverseWithPermutation_32fc(const float* pSrc, float* pDst, int32 Nc,
                                      const float* pTwiddles, const int32* pTable, float* pWork) {
  WithPermutation<true>(pSrc, pDst, Nc, pTwiddles, pTable, pWork);
}

void spFftRadixPassesForward_32fc(float* pData, int32 Nc, const float* pTwiddles, float* pWork,
                                  int32 interleave) {
  RadixPasses<false>(pData, Nc, pTwiddles, pWork, interleave);
}

void spFftRadixPassesInverse_32fc(float* pData, int32 Nc, const float* pTwiddles, float* pWork,
                                  int32 interleave) {
  RadixPasses<true>(pData, Nc, pTwiddles, pWork, interleave);
}
