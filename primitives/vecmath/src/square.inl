// Square kernels of one processor build: real and complex, single and double precision.
// Every product is one IEEE multiplication, no fused multiply-add and no wider
// intermediate. Included inside the build's namespace after vm_simd.inl.

namespace {

struct SquareF32 {
  static __m128i Vec(__m128i v) {
    const __m128 x = _mm_castsi128_ps(v);
    return _mm_castps_si128(_mm_mul_ps(x, x));
  }
};
struct SquareF64 {
  static __m128i Vec(__m128i v) {
    const __m128d x = _mm_castsi128_pd(v);
    return _mm_castpd_si128(_mm_mul_pd(x, x));
  }
};

// (a + bi)^2 per complex element: real part (a*a) - (b*b), imaginary part
// (a*b) + (a*b), each product and the sum or difference rounded.
struct SquareC32 {
  static __m128i Vec(__m128i v) {
    const __m128 x = _mm_castsi128_ps(v);                            // a0 b0 a1 b1
    const __m128 sw = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));  // b0 a0 b1 a1
    const __m128 sq = _mm_mul_ps(x, x);                               // aa bb aa bb
    const __m128 re = _mm_sub_ps(sq, _mm_shuffle_ps(sq, sq, _MM_SHUFFLE(2, 3, 0, 1)));
    const __m128 ab = _mm_mul_ps(sw, x);                              // - ab - ab
    const __m128 im = _mm_add_ps(ab, ab);
    const __m128 evens = _mm_castsi128_ps(_mm_set_epi32(0, -1, 0, -1));
    return _mm_castps_si128(_mm_or_ps(_mm_and_ps(evens, re), _mm_andnot_ps(evens, im)));
  }
};
struct SquareC64 {
  static __m128i Vec(__m128i v) {
    const __m128d x = _mm_castsi128_pd(v);     // a b
    const __m128d sw = _mm_shuffle_pd(x, x, 1);  // b a
    const __m128d sq = _mm_mul_pd(x, x);         // aa bb
    const __m128d re = _mm_sub_sd(sq, _mm_unpackhi_pd(sq, sq));
    const __m128d ab = _mm_mul_pd(sw, x);        // ba ab
    const __m128d im = _mm_add_pd(ab, ab);
    return _mm_castpd_si128(_mm_move_sd(im, re));
  }
};

struct Complex32 {
  float re, im;
};
struct Complex64 {
  double re, im;
};

}  // namespace

void spSquareKernel_32f(const float* pSrc, float* pDst, int len) { Unary<float, 2, true, SquareF32>(pSrc, pDst, len); }

void spSquareKernel_64f(const double* pSrc, double* pDst, int len) {
  Unary<double, 2, true, SquareF64>(pSrc, pDst, len);
}

void spSquareKernel_32fc(const float* pSrc, float* pDst, int len) {
  Unary<Complex32, 2, true, SquareC32>(reinterpret_cast<const Complex32*>(pSrc), reinterpret_cast<Complex32*>(pDst), len);
}

void spSquareKernel_64fc(const double* pSrc, double* pDst, int len) {
  Unary<Complex64, 4, true, SquareC64>(reinterpret_cast<const Complex64*>(pSrc), reinterpret_cast<Complex64*>(pDst), len);
}
