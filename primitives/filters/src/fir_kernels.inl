// Direct-form block kernel and one-sample kernels of the FIR processor builds (SSE3,
// SSSE3, SSE4.1-class). Each build's source includes this file inside its own namespace;
// the code uses nothing beyond SSE2. Needs <emmintrin.h>, <cstdint> and "sp/fir.h".

namespace {

inline bool Aligned16(const void* p) { return (reinterpret_cast<std::uintptr_t>(p) & 15) == 0; }
inline bool Aligned4(const void* p) { return (reinterpret_cast<std::uintptr_t>(p) & 3) == 0; }

// Scalar and two-lane accesses at any byte address (sources and destinations need not
// be 4-byte aligned).
inline float LoadF(const float* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreF(float* p, float v) { std::memcpy(p, &v, sizeof v); }
inline __m128 LoadTwo(const float* p) { return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }

// h[tapsLen-1-j] in all four lanes, from the repeated taps.
inline __m128 TapOf(const float* rep, int32 tapsLen, int32 j) { return _mm_load_ps(rep + 4 * (tapsLen - 1 - j)); }

// Products of taps j0 .. j0+m-1 (m = 1..4) with the four windows starting at src[n]:
// m = 1: q0; 2: q0 + q1; 3: (q0 + q1) + q2; 4: (q0 + q1) + (q2 + q3).
template <int M>
inline __m128 PassProducts(const __m128* t, const float* src) {
  const __m128 p0 = _mm_mul_ps(t[0], _mm_loadu_ps(src));
  if (M == 1) return p0;
  const __m128 s01 = _mm_add_ps(p0, _mm_mul_ps(t[1], _mm_loadu_ps(src + 1)));
  if (M == 2) return s01;
  const __m128 p2 = _mm_mul_ps(t[2], _mm_loadu_ps(src + 2));
  if (M == 3) return _mm_add_ps(s01, p2);
  return _mm_add_ps(s01, _mm_add_ps(p2, _mm_mul_ps(t[3], _mm_loadu_ps(src + 3))));
}

template <int M>
inline float PassProduct(const float* h, const float* src) {
  const float p0 = h[0] * LoadF(src);
  if (M == 1) return p0;
  const float s01 = p0 + h[1] * LoadF(src + 1);
  if (M == 2) return s01;
  const float p2 = h[2] * LoadF(src + 2);
  if (M == 3) return s01 + p2;
  return s01 + (p2 + h[3] * LoadF(src + 3));
}

// One pass of M taps (the oldest at tap index j0) over count outputs: the first pass
// writes the outputs, later ones add into them. Outputs go eight, then four, then one
// at a time; Store decides aligned or unaligned stores.
template <int M, bool Aligned>
void TapPass(const float* rep, int32 tapsLen, int32 j0, const float* src, float* dst, int32 count, bool first) {
  __m128 t[4];
  float h[4];
  for (int i = 0; i < M; ++i) {
    t[i] = TapOf(rep, tapsLen, j0 + i);
    h[i] = rep[4 * (tapsLen - 1 - j0 - i)];
  }
  auto load = [](const float* p) { return Aligned ? _mm_load_ps(p) : _mm_loadu_ps(p); };
  auto store = [](float* p, __m128 v) {
    if (Aligned) {
      _mm_store_ps(p, v);
    } else {
      _mm_storeu_ps(p, v);
    }
  };
  int32 n = 0;
  if (first) {
    for (; n + 8 <= count; n += 8) {
      const __m128 a = PassProducts<M>(t, src + n);
      const __m128 b = PassProducts<M>(t, src + n + 4);
      store(dst + n, a);
      store(dst + n + 4, b);
    }
    for (; n + 4 <= count; n += 4) store(dst + n, PassProducts<M>(t, src + n));
    for (; n < count; ++n) StoreF(dst + n, PassProduct<M>(h, src + n));
  } else {
    for (; n + 8 <= count; n += 8) {
      const __m128 a = PassProducts<M>(t, src + n);
      const __m128 b = PassProducts<M>(t, src + n + 4);
      store(dst + n, _mm_add_ps(load(dst + n), a));
      store(dst + n + 4, _mm_add_ps(load(dst + n + 4), b));
    }
    for (; n + 4 <= count; n += 4) store(dst + n, _mm_add_ps(load(dst + n), PassProducts<M>(t, src + n)));
    for (; n < count; ++n) StoreF(dst + n, LoadF(dst + n) + PassProduct<M>(h, src + n));
  }
}

template <bool Aligned>
void TapPasses(const float* rep, const float* src, float* dst, int32 count, int32 tapsLen) {
  if (tapsLen < 4) {
    if (tapsLen == 1) TapPass<1, Aligned>(rep, tapsLen, 0, src, dst, count, true);
    if (tapsLen == 2) TapPass<2, Aligned>(rep, tapsLen, 0, src, dst, count, true);
    if (tapsLen == 3) TapPass<3, Aligned>(rep, tapsLen, 0, src, dst, count, true);
    return;
  }
  TapPass<4, Aligned>(rep, tapsLen, 0, src, dst, count, true);
  int32 j = 4;
  for (; j + 4 <= tapsLen; j += 4) TapPass<4, Aligned>(rep, tapsLen, j, src + j, dst, count, false);
  switch (tapsLen - j) {
    case 1: TapPass<1, Aligned>(rep, tapsLen, j, src + j, dst, count, false); break;
    case 2: TapPass<2, Aligned>(rep, tapsLen, j, src + j, dst, count, false); break;
    case 3: TapPass<3, Aligned>(rep, tapsLen, j, src + j, dst, count, false); break;
    default: break;
  }
}

}  // namespace

void spFirDirectBlockKernel_32f(const float* pTapsRepeated, const float* pSrc, float* pDst, int32 count,
                                int32 tapsLen) {
  if (!Aligned4(pDst)) {
    TapPasses<false>(pTapsRepeated, pSrc, pDst, count, tapsLen);
    return;
  }
  // Head: single outputs, summed in the generic order, until the destination is aligned.
  while (count > 0 && !Aligned16(pDst)) {
    float acc = 0.0f;
    for (int32 j = 0; j < tapsLen; ++j) acc += pTapsRepeated[4 * (tapsLen - 1 - j)] * LoadF(pSrc + j);
    *pDst++ = acc;
    ++pSrc;
    --count;
  }
  if (count > 0) TapPasses<true>(pTapsRepeated, pSrc, pDst, count, tapsLen);
}

void spFirFilterOneSampleKernel_32f(const float* pX, float* pDst, const float* pTaps, int32 tapsLen,
                                    float* pDelayLine, int32* pIndex) {
  int32 i = *pIndex;
  pDelayLine[i] = *pX;
  pDelayLine[i + tapsLen] = *pX;
  if (++i >= tapsLen) i = 0;
  *pIndex = i;

  const float* d = pDelayLine + i;        // oldest sample first
  const float* h = pTaps + tapsLen - 1;   // its tap, going down
  if (tapsLen < 17) {
    float y = 0.0f;
    for (int32 k = 0; k < tapsLen; ++k) y = y + LoadF(d + k) * LoadF(h - k);
    *pDst = y;
    return;
  }
  int32 k = 0;
  __m128 lanes = _mm_setzero_ps();
  float lane0 = 0.0f;
  while (!Aligned16(d + k) && Aligned4(d + k)) {
    lane0 = lane0 + LoadF(d + k) * LoadF(h - k);
    ++k;
  }
  lanes = _mm_set_ss(lane0);
  // Four taps descending from h - k: loaded ascending, then reversed.
  auto taps4 = [h](int32 at) {
    const __m128 v = _mm_loadu_ps(h - at - 3);
    return _mm_shuffle_ps(v, v, 0x1B);
  };
  auto line4 = [d](int32 at) { return _mm_loadu_ps(d + at); };
  for (; k + 8 <= tapsLen; k += 8) {
    const __m128 a = _mm_mul_ps(line4(k), taps4(k));
    const __m128 b = _mm_mul_ps(line4(k + 4), taps4(k + 4));
    lanes = _mm_add_ps(lanes, _mm_add_ps(b, a));
  }
  if (k + 4 <= tapsLen) {
    lanes = _mm_add_ps(lanes, _mm_mul_ps(line4(k), taps4(k)));
    k += 4;
  }
  if (k + 2 <= tapsLen) {
    const __m128 dl = LoadTwo(d + k);
    const __m128 hv = _mm_setr_ps(LoadF(h - k), LoadF(h - k - 1), 0.0f, 0.0f);
    lanes = _mm_add_ps(lanes, _mm_mul_ps(dl, hv));
    k += 2;
  }
  if (k < tapsLen) lanes = _mm_add_ss(lanes, _mm_set_ss(LoadF(d + k) * LoadF(h - k)));
  // (lane 0 + lane 2) + (lane 1 + lane 3)
  const __m128 pairs = _mm_add_ps(lanes, _mm_movehl_ps(lanes, lanes));
  *pDst = _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 0x55)));
}

spStatus spFirFilterOneSample_32f(float sample, float* pResult, const float* pTaps, int32 tapsLen,
                                  float* pDelayLine, int32* pIndex) {
  if (!pResult || !pTaps) return SP_ERROR_NULL;
  if (tapsLen < 1) return SP_ERROR_TAP_COUNT;
  if (!pDelayLine || !pIndex) return SP_ERROR_NULL;
  // An index outside the line would write outside it: refused before writing anything.
  if (*pIndex < 0 || *pIndex >= tapsLen) return SP_ERROR_LENGTH;
  spFirFilterOneSampleKernel_32f(&sample, pResult, pTaps, tapsLen, pDelayLine, pIndex);
  return SP_OK;
}

void spFirFilterOneSampleKernel_32fc(const spComplex32f* pX, spComplex32f* pDst, const spComplex32f* pTaps,
                                     int32 tapsLen, spComplex32f* pDelayLine, int32* pIndex) {
  int32 i = *pIndex;
  pDelayLine[i] = *pX;
  pDelayLine[i + tapsLen] = *pX;
  if (++i >= tapsLen) i = 0;
  *pIndex = i;

  const float* d = reinterpret_cast<const float*>(pDelayLine + i);
  const float* h = reinterpret_cast<const float*>(pTaps + tapsLen - 1);
  // Lanes: dr*tr, di*ti, dr*ti, di*tr, summed over the taps.
  auto products = [d, h](int32 k) {
    const __m128 dv = _mm_setr_ps(d[2 * k], d[2 * k + 1], d[2 * k], d[2 * k + 1]);
    const __m128 hv = _mm_setr_ps(h[-2 * k], h[-2 * k + 1], h[-2 * k + 1], h[-2 * k]);
    return _mm_mul_ps(dv, hv);
  };
  __m128 acc = _mm_setzero_ps();
  int32 k = 0;
  for (; k + 4 <= tapsLen; k += 4)
    acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(products(k), products(k + 1)),
                                     _mm_add_ps(products(k + 2), products(k + 3))));
  if (k + 2 <= tapsLen) {
    acc = _mm_add_ps(acc, _mm_add_ps(products(k), products(k + 1)));
    k += 2;
  }
  if (k < tapsLen) acc = _mm_add_ps(acc, products(k));
  alignas(16) float l[4];
  _mm_store_ps(l, acc);
  pDst->re = l[0] - l[1];
  pDst->im = l[2] + l[3];
}
