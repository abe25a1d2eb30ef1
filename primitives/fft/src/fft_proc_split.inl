// Processor builds of the FFT engine: the real split passes, four pairs (k, Nc - k) at a
// time with one group of the four-lane split twiddles, and the complex multiply on the
// SSE3 duplicate loads and alternating add/subtract. Included inside the namespace of a
// build.

namespace {

// Four interleaved complex values at p as (re, im) lanes; Reversed: the four values ending
// at p + 6 (values j - 3..j), lanes in descending order.
inline void LoadFour(const float* p, __m128& re, __m128& im) {
  const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
  re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
  im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}
inline __m128 Reverse4(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }
inline void StoreFour(float* p, __m128 re, __m128 im) {
  _mm_storeu_ps(p, _mm_unpacklo_ps(re, im));
  _mm_storeu_ps(p + 4, _mm_unpackhi_ps(re, im));
}

}  // namespace

void spFftRealSplitForward_32f(float* pData, int32 Nc, int32 /*direction*/, const float* pTw) {
  const float midRe = pData[Nc], midIm = pData[Nc + 1];
  for (int32 g = 0; g < Nc / 8; ++g) {
    float* pk = pData + 2 * static_cast<std::ptrdiff_t>(4 * g + 1);       // Z_k, k = 4g+1..4g+4
    float* pj = pData + 2 * static_cast<std::ptrdiff_t>(Nc - 4 * g - 4);  // Z_j, j = Nc-k
    __m128 kr, ki, jr, ji;
    LoadFour(pk, kr, ki);
    LoadFour(pj, jr, ji);
    jr = Reverse4(jr);
    ji = Reverse4(ji);
    const __m128 a = _mm_load_ps(pTw + 8 * g), b = _mm_load_ps(pTw + 8 * g + 4);
    const __m128 d = _mm_sub_ps(kr, jr);
    const __m128 s = _mm_add_ps(ki, ji);
    const __m128 t = _mm_add_ps(_mm_mul_ps(a, s), _mm_mul_ps(b, d));
    const __m128 u = _mm_sub_ps(_mm_mul_ps(b, s), _mm_mul_ps(a, d));
    const __m128 xkr = _mm_add_ps(jr, t), xki = _mm_sub_ps(u, ji);
    const __m128 xjr = _mm_sub_ps(kr, t), xji = _mm_sub_ps(u, ki);
    StoreFour(pk, xkr, xki);
    StoreFour(pj, Reverse4(xjr), Reverse4(xji));
  }
  // The last group's lane 3 was the middle point itself: X(Nc/2) = conj Z(Nc/2).
  pData[Nc] = midRe;
  pData[Nc + 1] = -midIm;
}

void spFftRealSplitInverse_32f(const float* pSrc, float* pDst, int32 Nc, int32 /*direction*/,
                               const float* pTw) {
  const float midRe = pSrc[Nc], midIm = pSrc[Nc + 1];
  for (int32 g = 0; g < Nc / 8; ++g) {
    const std::ptrdiff_t ik = 2 * static_cast<std::ptrdiff_t>(4 * g + 1);
    const std::ptrdiff_t ij = 2 * static_cast<std::ptrdiff_t>(Nc - 4 * g - 4);
    __m128 kr, ki, jr, ji;
    LoadFour(pSrc + ik, kr, ki);
    LoadFour(pSrc + ij, jr, ji);
    jr = Reverse4(jr);
    ji = Reverse4(ji);
    const __m128 a = _mm_load_ps(pTw + 8 * g), b = _mm_load_ps(pTw + 8 * g + 4);
    const __m128 d = _mm_sub_ps(kr, jr), e = _mm_add_ps(kr, jr);
    const __m128 s = _mm_add_ps(ki, ji), f = _mm_sub_ps(ki, ji);
    const __m128 u = _mm_add_ps(_mm_mul_ps(b, s), _mm_mul_ps(a, d));
    const __m128 v = _mm_sub_ps(_mm_mul_ps(b, d), _mm_mul_ps(a, s));
    StoreFour(pDst + ik, _mm_add_ps(e, v), _mm_add_ps(f, u));
    StoreFour(pDst + ij, Reverse4(_mm_sub_ps(e, v)), Reverse4(_mm_sub_ps(u, f)));
  }
  pDst[Nc] = 2.0f * midRe;
  pDst[Nc + 1] = -2.0f * midIm;
}

namespace {

// (a + ib)(c + id) for two values: a, b from w; c, d from x.
inline __m128 MulTwo(__m128 w, __m128 x) {
  const __m128 re = _mm_moveldup_ps(w);                             // (a, a)
  const __m128 im = _mm_movehdup_ps(w);                             // (b, b)
  const __m128 xs = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));  // (d, c)
  return _mm_addsub_ps(_mm_mul_ps(re, x), _mm_mul_ps(im, xs));      // (ac - bd, ad + bc)
}

inline void MulOne(const float* a, const float* b, float* out) {
  const float ar = a[0], ai = a[1], br = b[0], bi = b[1];
  out[0] = ar * br - ai * bi;
  out[1] = ar * bi + ai * br;
}

template <bool kSrcAligned, bool kDstAligned>
void MulFours(const float* s1, const float* s2, float* dst, int32 fours) {
  for (int32 i = 0; i < fours; ++i, s1 += 8, s2 += 8, dst += 8) {
    const __m128 a0 = kSrcAligned ? _mm_load_ps(s1) : _mm_loadu_ps(s1);
    const __m128 a1 = kSrcAligned ? _mm_load_ps(s1 + 4) : _mm_loadu_ps(s1 + 4);
    const __m128 b0 = kDstAligned ? _mm_load_ps(s2) : _mm_loadu_ps(s2);
    const __m128 b1 = kDstAligned ? _mm_load_ps(s2 + 4) : _mm_loadu_ps(s2 + 4);
    const __m128 r0 = MulTwo(a0, b0), r1 = MulTwo(a1, b1);
    if constexpr (kDstAligned) {
      _mm_store_ps(dst, r0);
      _mm_store_ps(dst + 4, r1);
    } else {
      _mm_storeu_ps(dst, r0);
      _mm_storeu_ps(dst + 4, r1);
    }
  }
}

// Four values a step, then the rest one by one; one path per alignment of the operands.
void MulComplex(const float* s1, const float* s2, float* dst, int32 count) {
  const int32 fours = count / 4;
  const bool a1 = Aligned16(s1), a2 = Aligned16(s2) && Aligned16(dst);
  if (a1 && a2) {
    MulFours<true, true>(s1, s2, dst, fours);
  } else if (a1) {
    MulFours<true, false>(s1, s2, dst, fours);
  } else if (a2) {
    MulFours<false, true>(s1, s2, dst, fours);
  } else {
    MulFours<false, false>(s1, s2, dst, fours);
  }
  for (int32 k = 4 * fours; k < count; ++k) MulOne(s1 + 2 * k, s2 + 2 * k, dst + 2 * k);
}

}  // namespace

void spMulComplexInPlace_32fc(const float* pSrc, float* pSrcDst, int32 count) {
  MulComplex(pSrc, pSrcDst, pSrcDst, count);
}

void spMulComplex_32fc(const float* pSrc1, const float* pSrc2, float* pDst, int32 count) {
  MulComplex(pSrc1, pSrc2, pDst, count);
}
