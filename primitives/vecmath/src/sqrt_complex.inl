// Complex floating-point square-root kernels of one processor build: the principal root
// of x + iy through a = x/2, b = y/2, h = |z|/2, s = |a| + h, t = sqrt(s), w = |b| / (2t);
// (t, +-w) for x >= 0, else (w, +-t), the imaginary part with the sign of y. Included
// inside the build's namespace after vm_simd.inl.
//
// The float kernel serves a block of four by the estimate with one Newton step only when
// every |z|^2 / 4 of the block is a finite normal float; any other block (parts above
// about 3.7e19, tiny parts, zeros, infinities, NaNs) is computed element by element in
// double precision with exact roots. The double kernel shares one division between two
// elements only when their product is finite and normal, and scales elements whose
// squares would leave the double range.

namespace {

// The principal root in double precision, for any input; sign of the imaginary part
// from the test b < 0 (NaN: kNegOnNaN).
template <bool kNegOnNaN>
inline void ComplexRootScalar(double x, double y, double& re, double& im) {
  const double inf = __builtin_inf();
  if (y == inf || y == -inf) {
    re = inf;
    im = y;
    return;
  }
  if (x != x || y != y) {
    re = im = __builtin_nan("");
    return;
  }
  // Scale by an even power of two so that the squares and s stay in range.
  const double m = __builtin_fmax(__builtin_fabs(x), __builtin_fabs(y));
  double scale = 1.0;
  if (m > 0x1p500 && m != inf) {
    x *= 0x1p-600;
    y *= 0x1p-600;
    scale = 0x1p300;
  } else if (m < 0x1p-500 && m > 0.0) {
    x *= 0x1p600;
    y *= 0x1p600;
    scale = 0x1p-300;
  }
  const double a = 0.5 * x, b = 0.5 * y;
  const double h = __builtin_sqrt(a * a + b * b);
  const double s = __builtin_fabs(a) + h;
  const double t = __builtin_sqrt(s);
  const double w = t == 0.0 ? 0.0 : (t == inf ? 0.0 : __builtin_fabs(b) / t);
  const bool negative = kNegOnNaN ? !(b >= 0.0) : b < 0.0;
  const double big = t * scale, small = w * scale;
  if (a >= 0.0) {
    re = big;
    im = negative ? -small : small;
  } else {
    re = small;
    im = negative ? -big : big;
  }
}

struct ComplexRootConst {
  __m128 half = _mm_set1_ps(0.5f);
  __m128 three = _mm_set1_ps(3.0f);
  __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 smallest = _mm_castsi128_ps(_mm_set1_epi32(0x00800000));
  __m128 largest = _mm_castsi128_ps(_mm_set1_epi32(0x7F7FFFFF));
  __m128 zero = _mm_setzero_ps();
};

// Four complex floats as (x0 y0 x1 y1), (x2 y2 x3 y3). Returns false, storing nothing,
// when a lane's q is not a finite normal float.
inline bool ComplexRootStep(const ComplexRootConst& c, __m128 v0, __m128 v1, __m128& o0, __m128& o1) {
  const __m128 a = _mm_mul_ps(c.half, _mm_shuffle_ps(v0, v1, 0x88));
  const __m128 b = _mm_mul_ps(c.half, _mm_shuffle_ps(v0, v1, 0xDD));
  const __m128 q = _mm_add_ps(_mm_mul_ps(a, a), _mm_mul_ps(b, b));
  const __m128 ok = _mm_and_ps(_mm_cmpge_ps(q, c.smallest), _mm_cmple_ps(q, c.largest));
  if (_mm_movemask_ps(ok) != 15) return false;
  const __m128 r = _mm_rsqrt_ps(q);
  const __m128 g = _mm_mul_ps(q, r);
  const __m128 h = _mm_mul_ps(_mm_mul_ps(c.half, g), _mm_sub_ps(c.three, _mm_mul_ps(r, g)));
  const __m128 s = _mm_add_ps(_mm_and_ps(a, c.magnitude), h);
  const __m128 r2 = _mm_rsqrt_ps(s);
  const __m128 v = _mm_mul_ps(_mm_mul_ps(c.half, r2), _mm_sub_ps(c.three, _mm_mul_ps(_mm_mul_ps(s, r2), r2)));
  const __m128 t = _mm_mul_ps(s, v);
  const __m128 w = _mm_mul_ps(_mm_and_ps(b, c.magnitude), v);
  const __m128 pos = _mm_cmpge_ps(a, c.zero);
  const __m128 re = _mm_or_ps(_mm_and_ps(pos, t), _mm_andnot_ps(pos, w));
  __m128 im = _mm_or_ps(_mm_and_ps(pos, w), _mm_andnot_ps(pos, t));
  const __m128 neg = _mm_andnot_ps(_mm_cmpge_ps(b, c.zero), _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0x80000000u))));
  im = _mm_xor_ps(im, neg);
  o0 = _mm_unpacklo_ps(re, im);
  o1 = _mm_unpackhi_ps(re, im);
  return true;
}

// count (1..4) complex floats through one step; the spare elements hold (3, 0).
inline void ComplexRootPart(const ComplexRootConst& c, const float* s, float* d, unsigned count) {
  alignas(16) float in[8] = {3.0f, 0.0f, 3.0f, 0.0f, 3.0f, 0.0f, 3.0f, 0.0f};
  std::memcpy(in, s, 8 * count);
  __m128 o0, o1;
  if (ComplexRootStep(c, _mm_load_ps(in), _mm_load_ps(in + 4), o0, o1)) {
    alignas(16) float out[8];
    _mm_store_ps(out, o0);
    _mm_store_ps(out + 4, o1);
    std::memcpy(d, out, 8 * count);
    return;
  }
  for (unsigned k = 0; k < count; ++k) {
    double re, im;
    ComplexRootScalar<true>(in[2 * k], in[2 * k + 1], re, im);
    const float out[2] = {static_cast<float>(re), static_cast<float>(im)};
    std::memcpy(d + 2 * k, out, 8);
  }
}

}  // namespace

void spSquareRootKernel_32fc(const float* pSrc, float* pDst, int len) {
  const ComplexRootConst c;
  int64 n = len;
  if (n <= 0) return;
  if ((Addr(pDst) & 8) != 0) {
    ComplexRootPart(c, pSrc, pDst, 1);
    pSrc += 2;
    pDst += 2;
    --n;
  }
  for (; n >= 4; n -= 4, pSrc += 8, pDst += 8) {
    __m128 o0, o1;
    if (ComplexRootStep(c, _mm_loadu_ps(pSrc), _mm_loadu_ps(pSrc + 4), o0, o1)) {
      _mm_storeu_ps(pDst, o0);
      _mm_storeu_ps(pDst + 4, o1);
    } else {
      ComplexRootPart(c, pSrc, pDst, 4);
    }
  }
  if (n >= 2) {
    ComplexRootPart(c, pSrc, pDst, 2);
    pSrc += 4;
    pDst += 4;
    n -= 2;
  }
  if (n == 1) ComplexRootPart(c, pSrc, pDst, 1);
}

namespace {

// The ordinary double element: q = a^2 + b^2 a finite normal double, so no scaling.
inline bool ComplexRootOrdinary(const double* p, double& t, double& b, double& a) {
  a = 0.5 * LdS(p);
  b = 0.5 * LdS(p + 1);
  const double q = a * a + b * b;
  t = 0.0;
  if (!(q >= 0x1p-1022 && q <= 0x1.fffffffffffffp1023)) return false;
  t = __builtin_sqrt(__builtin_fabs(a) + __builtin_sqrt(q));
  return true;
}

inline void ComplexRootStore(double* d, double a, double b, double t, double recip) {
  const double w = __builtin_fabs(b) * recip;
  const double sign = b < 0.0 ? -1.0 : 1.0;
  const double out[2] = {a >= 0.0 || a != a ? t : w, (a >= 0.0 || a != a ? w : t) * sign};
  std::memcpy(d, out, 16);
}

inline void ComplexRootSingle64(const double* s, double* d) {
  double a, b, t;
  if (ComplexRootOrdinary(s, t, b, a)) {
    ComplexRootStore(d, a, b, t, 1.0 / t);
  } else {
    double out[2];
    ComplexRootScalar<false>(LdS(s), LdS(s + 1), out[0], out[1]);
    std::memcpy(d, out, 16);
  }
}

}  // namespace

void spSquareRootKernel_64fc(const double* pSrc, double* pDst, int len) {
  int64 n = len;
  for (; n >= 4; n -= 4, pSrc += 8, pDst += 8) {
    double a[4], b[4], t[4];
    bool ok = true;
    for (int j = 0; j < 4; ++j) ok = ComplexRootOrdinary(pSrc + 2 * j, t[j], b[j], a[j]) && ok;
    if (!ok) {
      for (int j = 0; j < 4; ++j) ComplexRootSingle64(pSrc + 2 * j, pDst + 2 * j);
      continue;
    }
    // Elements j and j + 2 share one division while their product stays normal.
    double recip[4];
    for (int j = 0; j < 2; ++j) {
      const double p = t[j] * t[j + 2];
      if (p >= 0x1p-1022 && p <= 0x1.fffffffffffffp1023) {
        const double dd = 1.0 / p;
        recip[j] = t[j + 2] * dd;
        recip[j + 2] = t[j] * dd;
      } else {
        recip[j] = 1.0 / t[j];
        recip[j + 2] = 1.0 / t[j + 2];
      }
    }
    for (int j = 0; j < 4; ++j) ComplexRootStore(pDst + 2 * j, a[j], b[j], t[j], recip[j]);
  }
  for (; n > 0; --n, pSrc += 2, pDst += 2) ComplexRootSingle64(pSrc, pDst);
}
