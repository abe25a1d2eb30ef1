// Integer division kernels with a scale factor, of one processor build. Included inside
// the build's namespace after vm_simd.inl. SSE2 only, so the three builds store the
// same results.
//
// Every quotient is n x 2^-s / d taken in double precision: n, d (and the complex
// numerators and squared moduli, which stay within 2^31) are exact doubles, the power
// of two is exact, and the one rounding of the division is too small to move a
// quotient across a rounding boundary of the integer result, except for 32-bit
// dividends scaled up, where candidates close to a tie are settled exactly. The double
// is clamped to the destination range and converted with rounding to nearest, ties to
// even. No integer division is used. Scale factors beyond +-64 give the results of +-64.

namespace {

inline int ClampScale(int s) { return s < -64 ? -64 : s > 64 ? 64 : s; }

// 2^e for e from -64 to 64.
inline double Pow2(int e) {
  const uint64 bits = static_cast<uint64>(1023 + e) << 52;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Four elements of T widened to 32-bit lanes, and back (the lanes already within T).
template <class T>
inline __m128i Widen4(const T* p) {
  if constexpr (sizeof(T) == 4) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  } else if constexpr (sizeof(T) == 2) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    if constexpr (static_cast<T>(-1) < 0) return _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    return _mm_unpacklo_epi16(v, _mm_setzero_si128());
  } else {
    int32 w;
    std::memcpy(&w, p, 4);
    const __m128i z = _mm_setzero_si128();
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(w), z), z);
  }
}
template <class T>
inline void Narrow4(T* p, __m128i r) {
  if constexpr (sizeof(T) == 4) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), r);
  } else if constexpr (sizeof(T) == 2) {
    if constexpr (static_cast<T>(-1) < 0) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(r, r));
    } else {
      const __m128i b = _mm_sub_epi32(r, _mm_set1_epi32(32768));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_xor_si128(_mm_packs_epi32(b, b), _mm_set1_epi16(INT16_MIN)));
    }
  } else {
    const __m128i w = _mm_packs_epi32(r, r);
    const int32 bytes = _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
    std::memcpy(p, &bytes, 4);
  }
}

// Lanes 0-1 and 2-3 of a 32-bit vector as doubles.
inline __m128d Lo2(__m128i v) { return _mm_cvtepi32_pd(v); }
inline __m128d Hi2(__m128i v) { return _mm_cvtepi32_pd(_mm_shuffle_epi32(v, _MM_SHUFFLE(3, 2, 3, 2))); }
inline __m128i Join2(__m128i lo, __m128i hi) { return _mm_unpacklo_epi64(lo, hi); }

// The constants of one call: the scale 2^-s and the destination range.
struct IntQuotient {
  __m128d scale, lo, hi;
  IntQuotient(int s, double lowest, double highest)
      : scale(_mm_set1_pd(Pow2(-ClampScale(s)))), lo(_mm_set1_pd(lowest)), hi(_mm_set1_pd(highest)) {}
  // n x 2^-s / d for two lanes, clamped; d is never 0 here.
  __m128d Value(__m128d n, __m128d d) const {
    return _mm_min_pd(_mm_max_pd(_mm_div_pd(_mm_mul_pd(n, scale), d), lo), hi);
  }
};

// Zero-divisor values: hiValue for a positive dividend, loValue for a negative one, 0
// for 0.
inline __m128i ZeroDivisorValue(__m128i n, int loValue, int hiValue) {
  const __m128i z = _mm_setzero_si128();
  return _mm_or_si128(_mm_and_si128(_mm_cmpgt_epi32(n, z), _mm_set1_epi32(hiValue)),
                      _mm_and_si128(_mm_cmplt_epi32(n, z), _mm_set1_epi32(loValue)));
}

// Four real quotients n / d in 32-bit lanes. Zero divisors take their table value and
// are ORed into flag.
inline __m128i Quotient4(__m128i n, __m128i d, const IntQuotient& q, int loValue, int hiValue, __m128i& flag) {
  const __m128i zero = _mm_cmpeq_epi32(d, _mm_setzero_si128());
  flag = _mm_or_si128(flag, zero);
  const __m128i dd = _mm_or_si128(d, _mm_and_si128(zero, _mm_set1_epi32(1)));
  const __m128i k = Join2(_mm_cvtpd_epi32(q.Value(Lo2(n), Lo2(dd))), _mm_cvtpd_epi32(q.Value(Hi2(n), Hi2(dd))));
  return _mm_or_si128(_mm_andnot_si128(zero, k), _mm_and_si128(zero, ZeroDivisorValue(n, loValue, hiValue)));
}

// The rounded n x 2^-s / d settled exactly from a candidate k within one of it, for a
// quotient inside the 32-bit range: the residual n x 2^-s - k d decides, in 128 bits.
inline int32 SettleQuotient(int32 n, int32 d, int s, int32 k) {
  __int128 num = n, den = d;
  if (s >= 0) {
    den *= static_cast<__int128>(1) << s;
  } else {
    num *= static_cast<__int128>(1) << -s;
  }
  if (den < 0) num = -num, den = -den;
  int64 r = k;
  const __int128 rem = num - static_cast<__int128>(r) * den;
  if (2 * rem > den || (2 * rem == den && (r & 1) != 0)) ++r;
  if (2 * rem < -den || (2 * rem == -den && (r & 1) != 0)) --r;
  return static_cast<int32>(r < INT32_MIN ? INT32_MIN : r > INT32_MAX ? INT32_MAX : r);
}

// 32-bit quotients: doubles carry the quotient to within 2^-21 of a unit whenever the
// result is inside the range, except when a 32-bit dividend is scaled up; lanes whose
// double lies within 2^-20 of a half are settled exactly.
inline __m128i Quotient4x32(__m128i n, __m128i d, const IntQuotient& q, int s, __m128i& flag) {
  const __m128i zero = _mm_cmpeq_epi32(d, _mm_setzero_si128());
  flag = _mm_or_si128(flag, zero);
  const __m128i dd = _mm_or_si128(d, _mm_and_si128(zero, _mm_set1_epi32(1)));
  const __m128d t0 = q.Value(Lo2(n), Lo2(dd)), t1 = q.Value(Hi2(n), Hi2(dd));
  __m128i k = Join2(_mm_cvtpd_epi32(t0), _mm_cvtpd_epi32(t1));
  const __m128d half = _mm_set1_pd(0.5 - 0x1p-20);
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
  const int near = _mm_movemask_pd(_mm_cmpgt_pd(_mm_and_pd(_mm_sub_pd(t0, Lo2(k)), magnitude), half)) |
                   _mm_movemask_pd(_mm_cmpgt_pd(_mm_and_pd(_mm_sub_pd(t1, Hi2(k)), magnitude), half)) << 2;
  if (near != 0) {
    alignas(16) int32 nv[4], dv[4], kv[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(nv), n);
    _mm_store_si128(reinterpret_cast<__m128i*>(dv), dd);
    _mm_store_si128(reinterpret_cast<__m128i*>(kv), k);
    for (int j = 0; j < 4; ++j) {
      if ((near >> j) & 1) kv[j] = SettleQuotient(nv[j], dv[j], ClampScale(s), kv[j]);
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kv));
  }
  return _mm_or_si128(_mm_andnot_si128(zero, k), _mm_and_si128(zero, ZeroDivisorValue(n, INT32_MIN, INT32_MAX)));
}

// Element-wise drivers: four elements per step, the rest through padded buffers
// (divisor 1, dividend 0). Each step reads its inputs before it stores.
template <class TD, class TN, class TO, class Step>
int DivideElements(const TD* d, const TN* n, TO* o, int len, Step step) {
  if (len <= 0) return 0;
  __m128i flag = _mm_setzero_si128();
  const uint64 total = static_cast<uint64>(len);
  uint64 i = 0;
  for (; total - i >= 4; i += 4) Narrow4(o + i, step(Widen4(n + i), Widen4(d + i), flag));
  if (i != total) {
    const unsigned rest = static_cast<unsigned>(total - i);
    TD dp[4] = {1, 1, 1, 1};
    TN np[4] = {};
    TO op[4];
    std::memcpy(dp, d + i, rest * sizeof(TD));
    std::memcpy(np, n + i, rest * sizeof(TN));
    Narrow4(op, step(Widen4(np), Widen4(dp), flag));
    std::memcpy(o + i, op, rest * sizeof(TO));
  }
  return _mm_movemask_epi8(flag) != 0;
}

// Two complex quotients (c + ie) / (a + ib) x 2^-s from (a, b) and (c, e) pairs in
// 32-bit lanes: m = a^2 + b^2, (ca + eb, ae - cb) / m, each part clamped to 16 bits. A
// divisor 0 + 0i gives 0 + 0i and is ORed into flag.
inline __m128i ComplexQuotient2(__m128i x, __m128i y, const IntQuotient& q, __m128i& flag) {
  const __m128d a = _mm_cvtepi32_pd(_mm_shuffle_epi32(x, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128d b = _mm_cvtepi32_pd(_mm_shuffle_epi32(x, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m128d c = _mm_cvtepi32_pd(_mm_shuffle_epi32(y, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128d e = _mm_cvtepi32_pd(_mm_shuffle_epi32(y, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m128d m = _mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b));
  const __m128d zero = _mm_cmpeq_pd(m, _mm_setzero_pd());
  flag = _mm_or_si128(flag, _mm_castpd_si128(zero));
  const __m128d mm = _mm_or_pd(_mm_andnot_pd(zero, m), _mm_and_pd(zero, _mm_set1_pd(1.0)));
  const __m128d re = _mm_andnot_pd(zero, _mm_add_pd(_mm_mul_pd(c, a), _mm_mul_pd(e, b)));
  const __m128d im = _mm_andnot_pd(zero, _mm_sub_pd(_mm_mul_pd(a, e), _mm_mul_pd(c, b)));
  return _mm_unpacklo_epi32(_mm_cvtpd_epi32(q.Value(re, mm)), _mm_cvtpd_epi32(q.Value(im, mm)));
}

// Complex elements two at a time; x and y are (re, im) pairs widened to 32-bit lanes.
template <class Step>
int DivideComplex16(const int16* d, const int16* n, int16* o, int len, Step step) {
  return DivideElements(d, n, o, len > 0 ? 2 * len : 0, [&step](__m128i nv, __m128i dv, __m128i& flag) {
    return step(dv, nv, flag);
  });
}

}  // namespace

int spDivideKernelScaled_32s(const int32* pSrc1, const int32* pSrc2, int32* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, -2147483648.0, 2147483647.0);
  return DivideElements(pSrc1, pSrc2, pDst, len, [&](__m128i n, __m128i d, __m128i& flag) {
    return Quotient4x32(n, d, q, scaleFactor, flag);
  });
}

int spDivideKernelScaled_16s(const int16* pSrc1, const int16* pSrc2, int16* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, -32768.0, 32767.0);
  return DivideElements(pSrc1, pSrc2, pDst, len, [&q](__m128i n, __m128i d, __m128i& flag) {
    return Quotient4(n, d, q, -32768, 32767, flag);
  });
}

int spDivideKernelScaled_8u(const uint8* pSrc1, const uint8* pSrc2, uint8* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, 0.0, 255.0);
  return DivideElements(pSrc1, pSrc2, pDst, len, [&q](__m128i n, __m128i d, __m128i& flag) {
    return Quotient4(n, d, q, 0, 255, flag);
  });
}

int spDivideKernelScaled_32s16s(const int16* pSrc1, const int32* pSrc2, int16* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, -32768.0, 32767.0);
  return DivideElements(pSrc1, pSrc2, pDst, len, [&q](__m128i n, __m128i d, __m128i& flag) {
    return Quotient4(n, d, q, -32768, 32767, flag);
  });
}

int spDivideKernelScaled_16sc(const int16* pSrc1, const int16* pSrc2, int16* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, -32768.0, 32767.0);
  return DivideComplex16(pSrc1, pSrc2, pDst, len, [&q](__m128i x, __m128i y, __m128i& flag) {
    return ComplexQuotient2(x, y, q, flag);
  });
}

void spDivideConstKernelScaled_16s(const int16* pSrc, int16 val, int16* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, -32768.0, 32767.0);
  const __m128i d = _mm_set1_epi32(val);
  DivideElements(pSrc, pSrc, pDst, len, [&](__m128i n, __m128i, __m128i& flag) {
    return Quotient4(n, d, q, -32768, 32767, flag);
  });
}

void spDivideConstKernelScaled_8u(const uint8* pSrc, uint8 val, uint8* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, 0.0, 255.0);
  const __m128i d = _mm_set1_epi32(val);
  DivideElements(pSrc, pSrc, pDst, len, [&](__m128i n, __m128i, __m128i& flag) {
    return Quotient4(n, d, q, 0, 255, flag);
  });
}

void spDivideConstKernelScaled_16sc(const int16* pSrc, uint32 val, int16* pDst, int len, int scaleFactor) {
  const IntQuotient q(scaleFactor, -32768.0, 32767.0);
  const auto re = static_cast<int16>(val & 0xFFFF), im = static_cast<int16>(val >> 16);
  const __m128i x = _mm_setr_epi32(re, im, re, im);
  DivideComplex16(pSrc, pSrc, pDst, len, [&](__m128i, __m128i y, __m128i& flag) {
    return ComplexQuotient2(x, y, q, flag);
  });
}

int spDivideConstByVectorKernel_16u(const uint16* pSrc, uint16 val, uint16* pDst, int len) {
  const IntQuotient q(0, 0.0, 65535.0);
  const __m128i n = _mm_set1_epi32(val);
  return DivideElements(pSrc, pSrc, pDst, len, [&](__m128i, __m128i d, __m128i& flag) {
    const __m128i zero = _mm_cmpeq_epi32(d, _mm_setzero_si128());
    return _mm_or_si128(Quotient4(n, d, q, 0, 0, flag), _mm_and_si128(zero, _mm_set1_epi32(65535)));
  });
}
