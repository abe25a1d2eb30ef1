// Summation kernels of one processor build: the fast float sum (single-precision
// partials over blocks of 32768 elements, block totals in double) and the accurate one
// (every element widened, eight double lanes), with the sum and mean kernels that choose
// between them. Included inside the build's namespace after vm_simd.inl.

namespace {

constexpr int64 kSumBlock = 32768;

inline __m128d Widen2(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// The block operation: n floats into four four-lane float accumulators (element k of
// the rounds part in accumulator (k / 4) mod 4, lane k mod 4); returns the lane sums
// (S0 + S2, S1 + S3).
template <Load K>
inline void SumBlock(const float*& s, int64 n, float& p0, float& p1) {
  __m128 sum = _mm_setzero_ps();
  if (n >= 16) {
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (; n >= 16; n -= 16, s += 16) {
      a0 = _mm_add_ps(a0, LoadF<K>(s));
      a1 = _mm_add_ps(a1, LoadF<K>(s + 4));
      a2 = _mm_add_ps(a2, LoadF<K>(s + 8));
      a3 = _mm_add_ps(a3, LoadF<K>(s + 12));
    }
    sum = _mm_add_ps(_mm_add_ps(a0, a2), _mm_add_ps(a1, a3));
  }
  for (; n >= 4; n -= 4, s += 4) sum = _mm_add_ps(sum, LoadF<K>(s));
  if (n >= 2) {
    sum = _mm_add_ps(sum, _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s))));
    s += 2;
    n -= 2;
  }
  if (n == 1) {
    sum = _mm_add_ss(sum, _mm_set_ss(LdS(s)));
    s += 1;
  }
  alignas(16) float l[4];
  _mm_store_ps(l, sum);
  p0 = l[0] + l[2];
  p1 = l[1] + l[3];
}

template <Load K>
inline void SumBlocks(const float*& s, int64 n, double& t0, double& t1) {
  float p0, p1;
  for (; n >= kSumBlock; n -= kSumBlock) {
    SumBlock<K>(s, kSumBlock, p0, p1);
    t0 += static_cast<double>(p0);
    t1 += static_cast<double>(p1);
  }
  SumBlock<K>(s, n, p0, p1);
  t0 += static_cast<double>(p0);
  t1 += static_cast<double>(p1);
}

}  // namespace

void spSumFastKernel_32f(const float* pSrc, int len, double* pSum) {
  if (len <= 0) return;
  const bool byElement = (Addr(pSrc) & 3) == 0;
  double t0 = 0.0, t1 = 0.0;
  int64 n = len;
  const float* s = pSrc;
  for (; n > 0 && (Addr(s) & 12) != 0; --n, ++s) t0 += static_cast<double>(LdS(s));
  if (n > 0) {
    if (byElement) {
      SumBlocks<Load::Aligned>(s, n, t0, t1);
    } else {
      SumBlocks<Load::Unaligned>(s, n, t0, t1);
    }
  }
  StS(pSum, t0 + t1);
}

void spSumAccurateKernel_32f(const float* pSrc, int len, double* pSum) {
  if (len <= 0) return;
  __m128d d0 = _mm_setzero_pd(), d1 = d0, d2 = d0, d3 = d0;
  int64 n = len;
  const float* s = pSrc;
  if ((Addr(s) & 4) != 0) {
    d0 = _mm_set_sd(static_cast<double>(LdS(s)));
    ++s;
    if (--n == 0) {
      StS(pSum, _mm_cvtsd_f64(d0));
      return;
    }
  }
  for (; n >= 8; n -= 8, s += 8) {
    d0 = _mm_add_pd(d0, Widen2(s));
    d1 = _mm_add_pd(d1, Widen2(s + 2));
    d2 = _mm_add_pd(d2, Widen2(s + 4));
    d3 = _mm_add_pd(d3, Widen2(s + 6));
  }
  d0 = _mm_add_pd(d0, d2);
  d1 = _mm_add_pd(d1, d3);
  if (n >= 4) {
    d0 = _mm_add_pd(d0, Widen2(s));
    d1 = _mm_add_pd(d1, Widen2(s + 2));
    s += 4;
    n -= 4;
  }
  if (n >= 2) {
    d0 = _mm_add_pd(d0, Widen2(s));
    s += 2;
    n -= 2;
  }
  if (n == 1) d0 = _mm_add_sd(d0, _mm_set_sd(static_cast<double>(LdS(s))));
  d0 = _mm_add_pd(d0, d1);
  StS(pSum, _mm_cvtsd_f64(d0) + _mm_cvtsd_f64(_mm_unpackhi_pd(d0, d0)));
}

// hint 1: the fast sum; any other value the accurate one. The double sum rounded to
// float, widened back.
double spSumKernel_32f(const float* pSrc, int len, int hint) {
  if (len <= 0) return 0.0;
  double sum;
  if (hint == 1) {
    spSumFastKernel_32f(pSrc, len, &sum);
  } else {
    spSumAccurateKernel_32f(pSrc, len, &sum);
  }
  return static_cast<double>(static_cast<float>(sum));
}

float spMeanKernel_32f(const float* pSrc, int len, int hint) {
  if (len <= 0) return 0.0f;
  return static_cast<float>(spSumKernel_32f(pSrc, len, hint) / static_cast<double>(len));
}

// Complex float sums: the fast one treats the vector as 2 len floats, keeping the two
// lanes of the block partials apart; the head exchanges them per float so that T0
// always gathers the component in lane 0.
void spSumFastKernel_32fc(const float* pSrc, int len, double* pSum) {
  if (len <= 0) return;
  const bool byElement = (Addr(pSrc) & 3) == 0;
  double t0 = 0.0, t1 = 0.0;
  bool parity = false;
  int64 n = 2 * static_cast<int64>(len);
  const float* s = pSrc;
  for (; n > 0 && (Addr(s) & 12) != 0; --n, ++s) {
    t0 += static_cast<double>(LdS(s));
    const double t = t0;
    t0 = t1;
    t1 = t;
    parity = !parity;
  }
  if (n > 0) {
    if (byElement) {
      SumBlocks<Load::Aligned>(s, n, t0, t1);
    } else {
      SumBlocks<Load::Unaligned>(s, n, t0, t1);
    }
  }
  if (parity) {
    const double t = t0;
    t0 = t1;
    t1 = t;
  }
  StS(pSum, t0);
  StS(pSum + 1, t1);
}

void spSumAccurateKernel_32fc(const float* pSrc, int len, double* pSum) {
  if (len <= 0) return;
  __m128d d0 = _mm_setzero_pd(), d1 = d0, d2 = d0, d3 = d0;
  int64 n = len;
  const float* s = pSrc;
  for (; n >= 4; n -= 4, s += 8) {
    d0 = _mm_add_pd(d0, Widen2(s));
    d1 = _mm_add_pd(d1, Widen2(s + 2));
    d2 = _mm_add_pd(d2, Widen2(s + 4));
    d3 = _mm_add_pd(d3, Widen2(s + 6));
  }
  d0 = _mm_add_pd(d0, d2);
  d1 = _mm_add_pd(d1, d3);
  if (n >= 2) {
    d0 = _mm_add_pd(d0, Widen2(s));
    d1 = _mm_add_pd(d1, Widen2(s + 2));
    s += 4;
    n -= 2;
  }
  if (n == 1) d0 = _mm_add_pd(d0, Widen2(s));
  d0 = _mm_add_pd(d0, d1);
  _mm_storeu_pd(pSum, d0);
}

void spSumKernel_64f(const double* pSrc, int len, double* pSum) {
  if (len <= 0) return;
  __m128d a0 = _mm_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  int64 n = len;
  const double* s = pSrc;
  if ((Addr(s) & 8) != 0) {
    a0 = _mm_set_sd(LdS(s));
    ++s;
    --n;
  }
  if (n > 0) {
    for (; n >= 8; n -= 8, s += 8) {
      a0 = _mm_add_pd(a0, _mm_loadu_pd(s));
      a1 = _mm_add_pd(a1, _mm_loadu_pd(s + 2));
      a2 = _mm_add_pd(a2, _mm_loadu_pd(s + 4));
      a3 = _mm_add_pd(a3, _mm_loadu_pd(s + 6));
    }
    a0 = _mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(a2, a3));
    if (n >= 4) {
      a0 = _mm_add_pd(a0, _mm_loadu_pd(s));
      a0 = _mm_add_pd(a0, _mm_loadu_pd(s + 2));
      s += 4;
      n -= 4;
    }
    if (n >= 2) {
      a0 = _mm_add_pd(a0, _mm_loadu_pd(s));
      s += 2;
      n -= 2;
    }
    if (n == 1) a0 = _mm_add_sd(a0, _mm_set_sd(LdS(s)));
  }
  StS(pSum, _mm_cvtsd_f64(_mm_unpackhi_pd(a0, a0)) + _mm_cvtsd_f64(a0));
}

// Complex doubles: with the source 8 bytes past a 16-byte boundary the pairs read are
// (imaginary part of k, real part of k + 1), and the lanes swap roles.
void spSumKernel_64fc(const double* pSrc, int len, double* pSum) {
  if (len <= 0) return;
  __m128d a = _mm_setzero_pd();
  const double* s = pSrc;
  const bool shifted = (Addr(s) & 8) != 0;
  int64 pairs = len;
  if (shifted) {
    a = _mm_set_pd(LdS(s), 0.0);
    ++s;
    --pairs;
  }
  if (Aligned16(s)) {
    __m128d a1 = _mm_setzero_pd(), a2 = a1, a3 = a1;
    for (; pairs >= 4; pairs -= 4, s += 8) {
      a = _mm_add_pd(a, _mm_load_pd(s));
      a1 = _mm_add_pd(a1, _mm_load_pd(s + 2));
      a2 = _mm_add_pd(a2, _mm_load_pd(s + 4));
      a3 = _mm_add_pd(a3, _mm_load_pd(s + 6));
    }
    a = _mm_add_pd(_mm_add_pd(a, a2), _mm_add_pd(a1, a3));
  }
  for (; pairs > 0; --pairs, s += 2) a = _mm_add_pd(a, _mm_loadu_pd(s));
  if (shifted) {
    a = _mm_add_sd(a, _mm_set_sd(LdS(s)));
    StS(pSum, _mm_cvtsd_f64(_mm_unpackhi_pd(a, a)));
    StS(pSum + 1, _mm_cvtsd_f64(a));
  } else {
    _mm_storeu_pd(pSum, a);
  }
}

// 16-bit sums are exact in 64-bit integers, whatever the order.
void spSumKernel_16s64f(const int16* pSrc, double* pSum, int len) {
  if (len <= 0) return;
  int64 sum = 0;
  for (int64 i = 0; i < len; ++i) sum += LdS(pSrc + i);
  StS(pSum, static_cast<double>(sum));
}

void spSumKernel_16sc64fc(const int16* pSrc, double* pSum, int len) {
  if (len <= 0) return;
  int64 re = 0, im = 0;
  for (int64 i = 0; i < len; ++i) {
    re += LdS(pSrc + 2 * i);
    im += LdS(pSrc + 2 * i + 1);
  }
  StS(pSum, static_cast<double>(re));
  StS(pSum + 1, static_cast<double>(im));
}

// value * 2^-scaleFactor (the factor +0 from 1023 on, +inf from -1024 down), saturated to
// 32 bits, NaN to the most negative value, converted in the caller's rounding mode. A
// zero converts to 0 whatever the factor (0 * inf is no number).
int32 spConvertScaledKernel_64f32s(const double* pValue, int scaleFactor) {
  const double value = LdS(pValue);
  if (value == 0.0) return 0;
  int64 e = 1023 - static_cast<int64>(scaleFactor);
  e = e < 0 ? 0 : (e > 2047 ? 2047 : e);
  const uint64 bits = static_cast<uint64>(e) << 52;
  double factor;
  std::memcpy(&factor, &bits, 8);
  double v = value * factor;
  if (v > 2147483647.0) v = 2147483647.0;
  if (!(v > -2147483648.0)) v = -2147483648.0;
  return _mm_cvtsd_si32(_mm_set_sd(v));
}

void spConvertScaledKernel_64fc32sc(const double* pValue, int32* pDst, int scaleFactor) {
  StS(pDst, spConvertScaledKernel_64f32s(pValue, scaleFactor));
  StS(pDst + 1, spConvertScaledKernel_64f32s(pValue + 1, scaleFactor));
}
