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
  double sum;
  if (hint == 1) {
    spSumFastKernel_32f(pSrc, len, &sum);
  } else {
    spSumAccurateKernel_32f(pSrc, len, &sum);
  }
  return static_cast<double>(static_cast<float>(sum));
}

float spMeanKernel_32f(const float* pSrc, int len, int hint) {
  return static_cast<float>(spSumKernel_32f(pSrc, len, hint) / static_cast<double>(len));
}
