// Square-root kernels of one processor build, and the frame the module's kernels share:
// the MXCSR set-up and restore, and the alignment variants of the main loop. Included
// inside the build's namespace after vm_simd.inl.
//
// Stored values of the exact paths: a negative nonzero element (-inf too) gives the
// default NaN and counts as negative; +0 and -0 stay, neither counting; a NaN comes back
// quiet; +inf stays. The 32-bit kernel serves ordinary blocks of 16 from the
// reciprocal-square-root estimate and one Newton step, the 64-bit kernel blocks of 4
// from the single-precision estimate and one fourth-order correction.

namespace {

constexpr uint32 kMxcsrPE = 0x0020;
constexpr uint32 kMxcsrDAZ = 0x0040;
constexpr uint32 kMxcsrAllMasks = 0x1F80;

// Restores the MXCSR of the entry exactly when the call changed anything but the
// precision flag, which may stay raised.
inline void RestoreMxcsr(uint32 entry) {
  const uint32 now = _mm_getcsr();
  if (((now ^ entry) & ~kMxcsrPE) != 0) _mm_setcsr(entry | (now & kMxcsrPE));
}

// 32-bit kernel: denormals computed (DAZ off) with all exceptions masked, loaded only
// when that differs from the caller's setting without DAZ.
inline uint32 EnterMxcsr32() {
  const uint32 entry = _mm_getcsr();
  const uint32 s = entry & ~kMxcsrDAZ;
  const uint32 n = s | kMxcsrAllMasks;
  if (n != s) _mm_setcsr(n);
  return entry;
}

// 64-bit kernel: DAZ and the invalid flag cleared, invalid and denormal masked.
inline uint32 EnterMxcsr64() {
  const uint32 entry = _mm_getcsr();
  const uint32 n = (entry & 0xFFBEu) | 0x0180u;
  if (n != (entry & 0xFFBFu)) _mm_setcsr(n);
  return entry;
}

// Exact square roots of up to four floats (count) through one vector; nonzero when one
// compared below zero. The spare lanes are zero.
inline int ExactPart32(const float* s, float* d, unsigned count) {
  const __m128 x = _mm_castsi128_ps(LoadPart(s, 4 * count));
  StorePart(d, _mm_castps_si128(_mm_sqrt_ps(x)), 4 * count);
  return _mm_movemask_ps(_mm_cmplt_ps(x, _mm_setzero_ps()));
}

// One block of 16: the estimate with one Newton step, unless an element is not finite
// or below the smallest normal, in which case the whole block takes the exact root.
template <Load K, bool kAlignedStore>
int Blocks16(const float*& s, float*& d, uint64& n) {
  const __m128 three = _mm_set1_ps(3.0f);
#if SP_VECMATH_BUILD >= 3
  const __m128 half = _mm_set1_ps(-0.5f);
#else
  const __m128 half = _mm_set1_ps(0.5f);
#endif
  const __m128 smallest = _mm_castsi128_ps(_mm_set1_epi32(0x00800000));
  const __m128 zero = _mm_setzero_ps();
  int negative = 0;
  for (; n >= 16; n -= 16, s += 16, d += 16) {
    __m128 x[4], y[4], t[4];
    #pragma GCC unroll 8
    for (int j = 0; j < 4; ++j) x[j] = LoadF<K>(s + 4 * j);
    #pragma GCC unroll 8
    for (int j = 0; j < 4; ++j) {
      const __m128 r = _mm_rsqrt_ps(x[j]);
      y[j] = _mm_mul_ps(x[j], r);
      t[j] = _mm_mul_ps(r, y[j]);
    }
    const __m128 low = _mm_min_ps(_mm_min_ps(x[0], x[1]), _mm_min_ps(x[2], x[3]));
    __m128 special = _mm_cmplt_ps(low, smallest);
    #pragma GCC unroll 8
    for (int j = 0; j < 4; ++j) special = _mm_or_ps(special, _mm_cmpunord_ps(t[j], t[j]));
#if SP_VECMATH_BUILD >= 3
    const bool exact = !_mm_testz_si128(_mm_castps_si128(special), _mm_castps_si128(special));
#else
    const bool exact = _mm_movemask_ps(special) != 0;
#endif
    if (!exact) {
      #pragma GCC unroll 8
      for (int j = 0; j < 4; ++j) {
#if SP_VECMATH_BUILD >= 3
        const __m128 e = _mm_mul_ps(_mm_sub_ps(t[j], three), _mm_mul_ps(half, y[j]));
#else
        const __m128 e = _mm_mul_ps(_mm_sub_ps(three, t[j]), _mm_mul_ps(half, y[j]));
#endif
        StoreF<kAlignedStore>(d + 4 * j, e);
      }
    } else {
      #pragma GCC unroll 8
      for (int j = 0; j < 4; ++j) {
        negative |= _mm_movemask_ps(_mm_cmplt_ps(x[j], zero));
        StoreF<kAlignedStore>(d + 4 * j, _mm_sqrt_ps(x[j]));
      }
    }
  }
  return negative;
}

int SquareRoot32(const float* s, float* d, int len) {
  uint64 n = static_cast<uint64>(len);
  int negative = 0;
  for (; n != 0 && (Addr(d) & 12) != 0; --n, ++s, ++d) negative |= ExactPart32(s, d, 1);
  if (n == 0) return negative;
  if (!Aligned16(d)) {
    negative |= Blocks16<Load::Unaligned, false>(s, d, n);
  } else if (!Aligned16(s)) {
    negative |= Blocks16<Load::Unaligned, true>(s, d, n);
  } else {
    negative |= Blocks16<Load::Aligned, true>(s, d, n);
  }
  if (n >= 8) {
    const __m128 a = _mm_loadu_ps(s), b = _mm_loadu_ps(s + 4);
    negative |= _mm_movemask_ps(_mm_cmplt_ps(a, _mm_setzero_ps())) | _mm_movemask_ps(_mm_cmplt_ps(b, _mm_setzero_ps()));
    _mm_storeu_ps(d, _mm_sqrt_ps(a));
    _mm_storeu_ps(d + 4, _mm_sqrt_ps(b));
    s += 8;
    d += 8;
    n -= 8;
  }
  for (unsigned step = 4; step != 0; step /= 2) {
    if (n >= step) {
      negative |= ExactPart32(s, d, step);
      s += step;
      d += step;
      n -= step;
    }
  }
  return negative;
}

inline int ExactPart64(const double* s, double* d, unsigned count) {
  const __m128d x = _mm_castsi128_pd(LoadPart(s, 8 * count));
  StorePart(d, _mm_castpd_si128(_mm_sqrt_pd(x)), 8 * count);
  return _mm_movemask_pd(_mm_cmplt_pd(x, _mm_setzero_pd()));
}

// Estimate of two positive normal finite doubles: x = m * 2^E with m in [0.5, 2) and E
// even; r0 the single-precision estimate of 1/sqrt(m); y = m*r0, t = y*r0, and
// p = y*(t-3)*((t-3)^2*t - 12) approximates 16*sqrt(m). Adding (E/2 - 4) * 2^52 to the
// bits of p divides by 16 and scales by 2^(E/2).
inline __m128d Estimate64(__m128d x) {
  const __m128i xi = _mm_castpd_si128(x);
  const __m128i mi = _mm_or_si128(_mm_and_si128(xi, _mm_set1_epi64x(0x001FFFFFFFFFFFFFll)),
                                  _mm_set1_epi64x(0x3FE0000000000000ll));
  const __m128d m = _mm_castsi128_pd(mi);
  const __m128i highLanes = _mm_set_epi32(-1, 0, -1, 0);
  const __m128i halfE = _mm_and_si128(_mm_srai_epi32(_mm_sub_epi32(xi, mi), 1), highLanes);
  const __m128i scale = _mm_sub_epi32(halfE, _mm_and_si128(_mm_set1_epi32(4 << 20), highLanes));
  const __m128 mf = _mm_movelh_ps(_mm_cvtpd_ps(m), _mm_set1_ps(1.0f));
  const __m128d r0 = _mm_cvtps_pd(_mm_rsqrt_ps(mf));
  const __m128d y = _mm_mul_pd(m, r0);
  const __m128d t = _mm_mul_pd(y, r0);
  const __m128d u = _mm_sub_pd(t, _mm_set1_pd(3.0));
  const __m128d p = _mm_mul_pd(_mm_mul_pd(y, u), _mm_sub_pd(_mm_mul_pd(_mm_mul_pd(u, u), t), _mm_set1_pd(12.0)));
  return _mm_castsi128_pd(_mm_add_epi32(_mm_castpd_si128(p), scale));
}

// Both lanes positive, normal and finite.
inline int OrdinaryMask64(__m128d x) {
  const __m128d ok = _mm_and_pd(_mm_cmpge_pd(x, _mm_set1_pd(0x1p-1022)),
                                _mm_cmple_pd(x, _mm_set1_pd(0x1.fffffffffffffp+1023)));
  return _mm_movemask_pd(ok);
}

template <bool kAlignedLoad, bool kAlignedStore>
int Blocks4(const double*& s, double*& d, uint64& n) {
  int negative = 0;
  for (; n >= 4; n -= 4, s += 4, d += 4) {
    const __m128d a = kAlignedLoad ? _mm_load_pd(s) : _mm_loadu_pd(s);
    const __m128d b = kAlignedLoad ? _mm_load_pd(s + 2) : _mm_loadu_pd(s + 2);
    __m128d ra, rb;
    if ((OrdinaryMask64(a) & OrdinaryMask64(b)) == 3) {
      ra = Estimate64(a);
      rb = Estimate64(b);
    } else {
      negative |= _mm_movemask_pd(_mm_cmplt_pd(a, _mm_setzero_pd())) | _mm_movemask_pd(_mm_cmplt_pd(b, _mm_setzero_pd()));
      ra = _mm_sqrt_pd(a);
      rb = _mm_sqrt_pd(b);
    }
    if (kAlignedStore) {
      _mm_store_pd(d, ra);
      _mm_store_pd(d + 2, rb);
    } else {
      _mm_storeu_pd(d, ra);
      _mm_storeu_pd(d + 2, rb);
    }
  }
  return negative;
}

int SquareRoot64(const double* s, double* d, int len) {
  uint64 n = static_cast<uint64>(len);
  int negative = 0;
  if ((Addr(d) & 8) != 0) {
    negative |= ExactPart64(s, d, 1);
    ++s;
    ++d;
    --n;
  }
  if (!Aligned16(d)) {
    negative |= Blocks4<false, false>(s, d, n);
  } else if (!Aligned16(s)) {
    negative |= Blocks4<false, true>(s, d, n);
  } else {
    negative |= Blocks4<true, true>(s, d, n);
  }
  for (unsigned step = 2; step != 0; step /= 2) {
    if (n >= step) {
      negative |= ExactPart64(s, d, step);
      s += step;
      d += step;
      n -= step;
    }
  }
  return negative;
}

}  // namespace

int spSquareRootKernel_32f(const float* pSrc, float* pDst, int len) {
  const uint32 entry = EnterMxcsr32();
  const int negative = SquareRoot32(pSrc, pDst, len);
  RestoreMxcsr(entry);
  return negative;
}

int spSquareRootKernel_64f(const double* pSrc, double* pDst, int len) {
  const uint32 entry = EnterMxcsr64();
  const int negative = SquareRoot64(pSrc, pDst, len);
  RestoreMxcsr(entry);
  return negative;
}
