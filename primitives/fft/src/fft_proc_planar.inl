// Processor builds of the FFT engine: transforms of planar complex data (real parts in one
// array, imaginary parts in another) and, in builds 2 and 3, the radix-8 decomposition of
// an 8n-point transform into eight n-point sub-transforms and one combine pass. Both run
// the middle passes of the interleaved kernels on split quads in the work buffer, with
// the same pass plans and twiddle records; only their first and last steps are their own.
// Nothing in the library calls them. Included inside the namespace of a build, after the
// radix passes.

namespace {

// 4-point transforms of four lanes at once, a_q the inputs of quarter q, stored transposed
// so that lane l becomes the split quad (Y0, Y1, Y2, Y3) at out[l].
template <bool kInv>
inline void FourPointLanes(const Vec* ar, const Vec* ai, float* const out[4]) {
  const Vec u0r = _mm_add_ps(ar[0], ar[2]), u0i = _mm_add_ps(ai[0], ai[2]);
  const Vec u1r = _mm_sub_ps(ar[0], ar[2]), u1i = _mm_sub_ps(ai[0], ai[2]);
  const Vec u2r = _mm_add_ps(ar[1], ar[3]), u2i = _mm_add_ps(ai[1], ai[3]);
  const Vec u3r = _mm_sub_ps(ar[1], ar[3]), u3i = _mm_sub_ps(ai[1], ai[3]);
  Vec y0r = _mm_add_ps(u0r, u2r), y0i = _mm_add_ps(u0i, u2i);
  Vec y2r = _mm_sub_ps(u0r, u2r), y2i = _mm_sub_ps(u0i, u2i);
  // u1 - i u3 and u1 + i u3.
  const Vec mr = _mm_add_ps(u1r, u3i), mim = _mm_sub_ps(u1i, u3r);
  const Vec pr = _mm_sub_ps(u1r, u3i), pim = _mm_add_ps(u1i, u3r);
  Vec y1r = kInv ? pr : mr, y1i = kInv ? pim : mim;
  Vec y3r = kInv ? mr : pr, y3i = kInv ? mim : pim;
  _MM_TRANSPOSE4_PS(y0r, y1r, y2r, y3r);
  _MM_TRANSPOSE4_PS(y0i, y1i, y2i, y3i);
  const Vec re[4] = {y0r, y1r, y2r, y3r}, im[4] = {y0i, y1i, y2i, y3i};
  for (int l = 0; l < 4; ++l) {
    _mm_store_ps(out[l], re[l]);
    _mm_store_ps(out[l] + 4, im[l]);
  }
}

// Split quads of n values to planar arrays.
void SplitToPlanar(const float* t, float* re, float* im, std::ptrdiff_t n) {
  for (std::ptrdiff_t q = 0; q < n / 4; ++q) {
    _mm_storeu_ps(re + 4 * q, Load(t + 8 * q));
    _mm_storeu_ps(im + 4 * q, Load(t + 8 * q + 4));
  }
}

int32 Log2(std::ptrdiff_t n) {
  int32 m = 0;
  while ((std::ptrdiff_t{1} << m) < n) ++m;
  return m;
}

template <bool kInv>
void PlanarWithPermutation(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm,
                           int32 n, const float* w, const int32* e, float* work) {
  if (n == 8) {
    float x[16], y[16];
    for (int k = 0; k < 8; ++k) x[2 * k] = srcRe[k], x[2 * k + 1] = srcIm[k];
    EightPoint<kInv>(x, y);
    for (int k = 0; k < 8; ++k) dstRe[k] = y[2 * k], dstIm[k] = y[2 * k + 1];
    return;
  }
  // First pass: step s takes the four lanes g_s + l (g_s = 2 e[4s]) of each quarter; lane l
  // lands in block s, s + N/8, s + N/16 or s + 3N/16.
  const std::ptrdiff_t quarter = n / 4;
  const std::ptrdiff_t blockOffset[4] = {0, n / 8, n / 16, 3 * (n / 16)};
  for (std::ptrdiff_t s = 0;; ++s) {
    const std::ptrdiff_t g = s == 0 ? 0 : 2 * static_cast<std::ptrdiff_t>(e[4 * s]);
    if (s > 0 && g == 0) break;
    Vec ar[4], ai[4];
    for (int q = 0; q < 4; ++q) {
      ar[q] = _mm_loadu_ps(srcRe + g + q * quarter);
      ai[q] = _mm_loadu_ps(srcIm + g + q * quarter);
    }
    float* const out[4] = {work + 8 * (s + blockOffset[0]), work + 8 * (s + blockOffset[1]),
                           work + 8 * (s + blockOffset[2]), work + 8 * (s + blockOffset[3])};
    FourPointLanes<kInv>(ar, ai, out);
  }
  RunPasses<kInv>(work, work, n, Log2(n), w, false);
  SplitToPlanar(work, dstRe, dstIm, n);
}

template <bool kInv>
void PlanarRadixPasses(float* re, float* im, std::ptrdiff_t n, const float* w, float* work) {
  // First pass: four runs of four bit-reversed points at a time, transposed into lanes.
  for (std::ptrdiff_t b = 0; b < n / 4; b += 4) {
    Vec pr[4], pi[4];
    for (int j = 0; j < 4; ++j) {
      pr[j] = _mm_loadu_ps(re + 4 * (b + j));
      pi[j] = _mm_loadu_ps(im + 4 * (b + j));
    }
    _MM_TRANSPOSE4_PS(pr[0], pr[1], pr[2], pr[3]);  // pr[k]: point k of each run
    _MM_TRANSPOSE4_PS(pi[0], pi[1], pi[2], pi[3]);
    // Runs hold x[r], x[r + N/2], x[r + N/4], x[r + 3N/4]: quarters 0, 2, 1, 3.
    const Vec ar[4] = {pr[0], pr[2], pr[1], pr[3]}, ai[4] = {pi[0], pi[2], pi[1], pi[3]};
    float* const out[4] = {work + 8 * b, work + 8 * (b + 1), work + 8 * (b + 2), work + 8 * (b + 3)};
    FourPointLanes<kInv>(ar, ai, out);
  }
  RunPasses<kInv>(work, work, static_cast<int32>(n), Log2(n), w, false);
  SplitToPlanar(work, re, im, n);
}

#if SP_FFT_VARIANT != 1

// First pass of the four sub-transforms: step k reads the columns c = 0..3 of the rows
// 4b + 2nj (b = e[k]), lanes = columns, and writes quad k of block c.
template <bool kInv, class LoadRow>
void SubFirstPass(LoadRow loadRow, float* t, std::ptrdiff_t n, const int32* e) {
  for (std::ptrdiff_t k = 0;; ++k) {
    const std::ptrdiff_t b = k == 0 ? 0 : e[k];
    if (k > 0 && b == 0) break;
    Vec ar[4], ai[4];
    for (int j = 0; j < 4; ++j) loadRow(4 * b + 2 * n * j, ar[j], ai[j]);
    float* const out[4] = {t + 8 * k, t + 2 * n + 8 * k, t + 4 * n + 8 * k, t + 6 * n + 8 * k};
    FourPointLanes<kInv>(ar, ai, out);
  }
}

template <bool kInv, class LoadRow>
void SubTransforms(LoadRow loadRow, float* t, float* dst, std::ptrdiff_t n, const float* w,
                   const int32* e) {
  SubFirstPass<kInv>(loadRow, t, n, e);
  for (std::ptrdiff_t c = 0; c < 4; ++c) {
    RunPasses<kInv>(t + 2 * n * c, dst + 2 * n * c, static_cast<int32>(n), Log2(n), w, false);
  }
}

// The combine: value k of the eight blocks, block c times W^(c k) (V_c of record k/4), then
// the 8-point transform; output q to position q n + k.
template <bool kInv, class Store>
void Combine(const float* src, std::ptrdiff_t n, std::ptrdiff_t count, const float* w,
             Store store) {
  for (std::ptrdiff_t k = 0; k < count; k += 4, w += 56) {
    Vec yr[8], yi[8], zr[8], zi[8];
    for (int c = 0; c < 8; ++c) {
      yr[c] = Load(src + 2 * n * c + 2 * k);
      yi[c] = Load(src + 2 * n * c + 2 * k + 4);
      if (c > 0) Twiddle<kInv>(yr[c], yi[c], w + 8 * (c - 1));
    }
    Butterfly8<kInv>(yr, yi, zr, zi);
    for (int q = 0; q < 8; ++q) store(q * n + k, zr[q], zi[q]);
  }
}

template <bool kInv>
void SubTransformsInterleaved(const float* src, float* dst, std::ptrdiff_t n, const float* w,
                              const int32* e, float* work) {
  float* t = (src != dst && Aligned16(dst)) ? dst : work;
  auto loadRow = [src](std::ptrdiff_t at, Vec& re, Vec& im) {
    const Vec a = _mm_loadu_ps(src + 2 * at), b = _mm_loadu_ps(src + 2 * at + 4);
    re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  };
  if (t == dst) {
    SubTransforms<kInv>(loadRow, t, dst, n, w, e);
    return;
  }
  // Through the work buffer, then to the destination block by block (any alignment).
  SubTransforms<kInv>(loadRow, t, t, n, w, e);
  for (std::ptrdiff_t f = 0; f < 8 * n; f += 4) _mm_storeu_ps(dst + f, Load(t + f));
}

#endif  // SP_FFT_VARIANT != 1

}  // namespace

void spFftForwardPlanarWithPermutation_32f(const float* pSrcRe, const float* pSrcIm,
                                           float* pDstRe, float* pDstIm, int32 N,
                                           const float* pTwiddles, const int32* pTable,
                                           uint8* pWork) {
  PlanarWithPermutation<false>(pSrcRe, pSrcIm, pDstRe, pDstIm, N, pTwiddles, pTable,
                               reinterpret_cast<float*>(pWork));
}

void spFftInversePlanarWithPermutation_32f(const float* pSrcRe, const float* pSrcIm,
                                           float* pDstRe, float* pDstIm, int32 N,
                                           const float* pTwiddles, const int32* pTable,
                                           uint8* pWork) {
  PlanarWithPermutation<true>(pSrcRe, pSrcIm, pDstRe, pDstIm, N, pTwiddles, pTable,
                              reinterpret_cast<float*>(pWork));
}

void spFftRadixPassesForwardPlanar_32f(float* pRe, float* pIm, int64 N, const float* pTwiddles,
                                       uint8* pWork) {
  PlanarRadixPasses<false>(pRe, pIm, N, pTwiddles, reinterpret_cast<float*>(pWork));
}

void spFftRadixPassesInversePlanar_32f(float* pRe, float* pIm, int64 N, const float* pTwiddles,
                                       uint8* pWork) {
  PlanarRadixPasses<true>(pRe, pIm, N, pTwiddles, reinterpret_cast<float*>(pWork));
}

#if SP_FFT_VARIANT != 1

void spFftForwardSubTransforms_32fc(const float* pSrc, float* pDst, int64 n,
                                    const float* pTwiddles, const int32* pTable, float* pWork) {
  SubTransformsInterleaved<false>(pSrc, pDst, n, pTwiddles, pTable, pWork);
}

void spFftInverseSubTransforms_32fc(const float* pSrc, float* pDst, int64 n,
                                    const float* pTwiddles, const int32* pTable, float* pWork) {
  SubTransformsInterleaved<true>(pSrc, pDst, n, pTwiddles, pTable, pWork);
}

namespace {
template <bool kInv>
void SubTransformsPlanar(const float* re, const float* im, float* dst, std::ptrdiff_t n,
                         const float* w, const int32* e) {
  auto loadRow = [re, im](std::ptrdiff_t at, Vec& r, Vec& i) {
    r = _mm_loadu_ps(re + at);
    i = _mm_loadu_ps(im + at);
  };
  SubTransforms<kInv>(loadRow, dst, dst, n, w, e);
}
}  // namespace

void spFftForwardSubTransformsPlanar_32f(const float* pSrcRe, const float* pSrcIm, float* pDst,
                                         int64 n, const float* pTwiddles, const int32* pTable) {
  SubTransformsPlanar<false>(pSrcRe, pSrcIm, pDst, n, pTwiddles, pTable);
}

void spFftInverseSubTransformsPlanar_32f(const float* pSrcRe, const float* pSrcIm, float* pDst,
                                         int64 n, const float* pTwiddles, const int32* pTable) {
  SubTransformsPlanar<true>(pSrcRe, pSrcIm, pDst, n, pTwiddles, pTable);
}

void spFftRadix8CombineForward_32fc(float* pSrc, float* pDst, int64 n, int64 count,
                                    const float* pTwiddles) {
  Combine<false>(pSrc, n, count, pTwiddles, [pDst](std::ptrdiff_t at, Vec re, Vec im) {
    Put<true>(pDst + 2 * at, re, im);
  });
}

void spFftRadix8CombineInverse_32fc(float* pSrc, float* pDst, int64 n, int64 count,
                                    const float* pTwiddles) {
  Combine<true>(pSrc, n, count, pTwiddles, [pDst](std::ptrdiff_t at, Vec re, Vec im) {
    Put<true>(pDst + 2 * at, re, im);
  });
}

void spFftRadix8CombineForwardPlanar_32f(float* pSrc, float* pDstRe, float* pDstIm, int64 n,
                                         int32 count, const float* pTwiddles) {
  Combine<false>(pSrc, n, count, pTwiddles, [pDstRe, pDstIm](std::ptrdiff_t at, Vec re, Vec im) {
    _mm_storeu_ps(pDstRe + at, re);
    _mm_storeu_ps(pDstIm + at, im);
  });
}

void spFftRadix8CombineInversePlanar_32f(float* pSrc, float* pDstRe, float* pDstIm, int64 n,
                                         int32 count, const float* pTwiddles) {
  Combine<true>(pSrc, n, count, pTwiddles, [pDstRe, pDstIm](std::ptrdiff_t at, Vec re, Vec im) {
    _mm_storeu_ps(pDstRe + at, re);
    _mm_storeu_ps(pDstIm + at, im);
  });
}

#endif  // SP_FFT_VARIANT != 1
