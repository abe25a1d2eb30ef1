// 32-bit float IIR filter of the processor builds (SSE3, SSSE3, SSE4.1-class): blocks
// of up to 1024 samples; a block longer than four times the order is split into a
// feed-forward pass and a feedback pass that computes four outputs per step (arbitrary
// order: from the filter's own feedback coefficients in four lanes, resolving the
// dependencies inside each group of four one output at a time; biquad sections: from
// their look-ahead table); shorter blocks go sample by sample. Each build's source
// includes this file inside its own namespace; the code uses nothing beyond SSE2.
// Needs <emmintrin.h>, "sp/iir.h" and "sp/core_bodies.h".

namespace {

inline __m128 Splat(__m128 v, int lane) {
  switch (lane) {
    case 0: return _mm_shuffle_ps(v, v, 0x00);
    case 1: return _mm_shuffle_ps(v, v, 0x55);
    case 2: return _mm_shuffle_ps(v, v, 0xAA);
    default: return _mm_shuffle_ps(v, v, 0xFF);
  }
}

// The last lane of v, the other three zero.
inline __m128 LastLane(__m128 v) {
  return _mm_and_ps(v, _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0)));
}

// True when a lane of v is infinite or NaN.
inline bool AnyNotFinite(__m128 v) {
  const __m128 d = _mm_sub_ps(v, v);  // NaN exactly for the infinite and NaN lanes
  return _mm_movemask_ps(_mm_cmpunord_ps(d, d)) != 0;
}

// The four outputs of a group from their sums v of input and history terms: lane j
// gains -a'k y[t+j-k] for k = 1..j, one output at a time, so lane 3 is
// ((v3 - a'3 y0) - a'2 y1) - a'1 y2. g holds (-a'1, -a'2, -a'3, 0), zero beyond the order.
struct InGroup {
  __m128 g0, g1, g2;  // (0, -a'1, -a'2, -a'3), (0, 0, -a'1, -a'2), (0, 0, 0, -a'1)
  explicit InGroup(const float* g) {
    const __m128i v = _mm_castps_si128(_mm_load_ps(g));
    g0 = _mm_castsi128_ps(_mm_slli_si128(v, 4));
    g1 = _mm_castsi128_ps(_mm_slli_si128(v, 8));
    g2 = _mm_castsi128_ps(_mm_slli_si128(v, 12));
  }
  __m128 Resolve(__m128 v) const {
    v = _mm_add_ps(v, _mm_mul_ps(g0, Splat(v, 0)));
    v = _mm_add_ps(v, _mm_mul_ps(g1, Splat(v, 1)));
    return _mm_add_ps(v, _mm_mul_ps(g2, Splat(v, 2)));
  }
};

// Outputs y[t + n + j] = w[t + j] + sum of fb[4(i - 1)] y[t + n + j - i] over i = n..1
// (the filter's own -a'i, the oldest first), for j = 0..count-1, one at a time: the
// recurrence's own terms only.
inline void FeedbackOneByOne(const float* w, float* y, int t, int count, const float* fb, int n) {
  for (int j = t; j < t + count; ++j) {
    float acc = 0.0f;
    for (int i = n; i >= 1; --i) acc = acc + fb[4 * (i - 1)] * y[j + n - i];
    y[j + n] = acc + w[j];
  }
}

// Feed-forward values of order N (N < 0: the order n given at run time), see
// spIirBlockFeedForward_32f.
template <int N>
void FeedForward(const float* x, float* w, int m, const float* nv, int n) {
  if (N >= 0) n = N;
  auto B = [nv](int k) { return _mm_load_ps(nv + 4 * k); };
  auto X = [x](int i) { return _mm_loadu_ps(x + i); };
  int t = 0;
  for (; t + 4 <= m; t += 4) {
    __m128 acc;
    if (N == 0) {
      acc = _mm_mul_ps(B(0), X(t));
    } else if (N == 1) {
      acc = _mm_add_ps(_mm_mul_ps(B(1), X(t)), _mm_mul_ps(B(0), X(t + 1)));
    } else if (N == 2) {
      acc = _mm_add_ps(_mm_add_ps(_mm_mul_ps(B(2), X(t)), _mm_mul_ps(B(1), X(t + 1))),
                       _mm_mul_ps(B(0), X(t + 2)));
    } else if (N == 3) {
      acc = _mm_add_ps(_mm_add_ps(_mm_mul_ps(B(3), X(t)), _mm_mul_ps(B(2), X(t + 1))),
                       _mm_add_ps(_mm_mul_ps(B(0), X(t + 3)), _mm_mul_ps(B(1), X(t + 2))));
    } else {
      acc = _mm_setzero_ps();
      int k = n;  // oldest tap first
      for (; k >= 3; k -= 4) {
        const int i = t + n - k;
        const __m128 p0 = _mm_mul_ps(B(k), X(i));
        const __m128 p1 = _mm_mul_ps(B(k - 1), X(i + 1));
        const __m128 p2 = _mm_mul_ps(B(k - 2), X(i + 2));
        const __m128 p3 = _mm_mul_ps(B(k - 3), X(i + 3));
        acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p3, p2)));
      }
      for (; k >= 0; --k) acc = _mm_add_ps(acc, _mm_mul_ps(B(k), X(t + n - k)));
    }
    _mm_store_ps(w + t, acc);
  }
  for (; t < m; ++t) {
    const float* b = nv;  // lane 0 of vector k is b'k
    float acc;
    if (N == 0) {
      acc = b[0] * x[t];
    } else if (N == 1) {
      acc = b[4] * x[t] + b[0] * x[t + 1];
    } else if (N == 2) {
      acc = (b[8] * x[t] + b[4] * x[t + 1]) + b[0] * x[t + 2];
    } else if (N == 3) {
      acc = (b[12] * x[t] + b[8] * x[t + 1]) + (b[0] * x[t + 3] + b[4] * x[t + 2]);
    } else {
      acc = 0.0f;
      for (int k = n; k >= 0; --k) acc = acc + b[4 * k] * x[t + n - k];
    }
    w[t] = acc;
  }
}

// Outputs y[t + n] = w[t] - a'1 y[t + n - 1] - ... - a'n y[t] for t = 0..m-1 into y,
// whose first n values are the history; four at a time: lane j of Hi times y[t+n-i]
// summed from the oldest history, plus w[t+j], then the in-group terms. Orders 1 to 4
// keep their history in registers. A group with an infinite or NaN output is computed
// again one output at a time: the table's zeros beyond the order would otherwise make
// 0 * inf terms that the recurrence does not have.
template <int N>
void Feedback(const float* w, float* y, int m, const float* fb, int n) {
  if (N > 0) n = N;
  auto H = [fb](int i) { return _mm_load_ps(fb + 4 * (i - 1)); };
  const InGroup group(fb + 4 * n);
  __m128 hv[4];  // orders 1 to 4: hv[k] = y[t + k] in every lane
  if (N > 0)
    for (int k = 0; k < N; ++k) hv[k] = _mm_set1_ps(y[k]);
  int t = 0;
  for (; t + 4 <= m; t += 4) {
    __m128 acc;
    if (N == 1) {
      acc = _mm_mul_ps(H(1), hv[0]);
    } else if (N == 2) {
      acc = _mm_add_ps(_mm_mul_ps(H(2), hv[0]), _mm_mul_ps(H(1), hv[1]));
    } else if (N == 3) {
      acc = _mm_add_ps(_mm_add_ps(_mm_mul_ps(H(3), hv[0]), _mm_mul_ps(H(2), hv[1])), _mm_mul_ps(H(1), hv[2]));
    } else if (N == 4) {
      acc = _mm_add_ps(_mm_add_ps(_mm_mul_ps(H(4), hv[0]), _mm_mul_ps(H(3), hv[1])),
                       _mm_add_ps(_mm_mul_ps(H(1), hv[3]), _mm_mul_ps(H(2), hv[2])));
    } else {
      const float* h = y + t;  // h[n - i] = y[t + n - i]
      acc = _mm_setzero_ps();
      int i = n;  // oldest history first
      for (; i >= 4; i -= 4) {
        const __m128 v = _mm_loadu_ps(h + n - i);
        const __m128 p0 = _mm_mul_ps(H(i), Splat(v, 0));
        const __m128 p1 = _mm_mul_ps(H(i - 1), Splat(v, 1));
        const __m128 p2 = _mm_mul_ps(H(i - 2), Splat(v, 2));
        const __m128 p3 = _mm_mul_ps(H(i - 3), Splat(v, 3));
        acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p3, p2)));
      }
      for (; i >= 1; --i) acc = _mm_add_ps(acc, _mm_mul_ps(H(i), _mm_set1_ps(h[n - i])));
    }
    __m128 out = group.Resolve(_mm_add_ps(acc, _mm_load_ps(w + t)));
    if (AnyNotFinite(out)) {
      FeedbackOneByOne(w, y, t, 4, fb, n);
      out = _mm_loadu_ps(y + t + n);
    } else {
      _mm_storeu_ps(y + t + n, out);
    }
    if (N > 0)
      for (int k = 0; k < N; ++k) hv[k] = Splat(out, 4 - N + k);
  }
  FeedbackOneByOne(w, y, t, m - t, fb, n);
}

// The block path of an arbitrary-order state over B > 4n samples at x.
void ArbitraryOrderBlock(float* x, int B, spIirState* s) {
  const int n = s->order;
  const int m = B - n;
  const float* b = s->pTaps;      // b'0..b'n
  const float* a = s->pTaps + n;  // a[k] = a'k
  float* z = s->pDelay;
  spIirBlockFeedForward_32f(x, s->pWork, m, s->pNumeratorVectors, n);
  for (int i = 0; i < n; ++i) {
    const float in = x[i];
    spIirSampleArbitraryOrder_32f(&in, &x[i], s);
  }
  for (int i = 0; i < n; ++i) {
    float zi = 0.0f;
    for (int k = 0; k <= n - i - 1; ++k) zi = zi + b[n - k] * x[B - n + i + k];
    z[i] = zi;
  }
  spIirBlockFeedback_32f(s->pWork, x, m, s->pFeedbackVectors, n);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k <= n - i - 1; ++k) z[i] = z[i] - a[n - k] * x[B - n + i + k];
}

// The block path of a biquad cascade over B > 4S samples at x, section by section.
void BiquadBlock(float* x, int B, spIirState* s) {
  const int m = B - 2;
  for (int k = 0; k < s->sectionCount; ++k) {
    const float* c = s->pTaps + 5 * k;
    const float* nv = s->pNumeratorVectors + 12 * k;
    const float* fb = s->pFeedbackVectors + 20 * k;
    float* d = s->pDelay + 2 * k;
    spIirBiquadBlockFeedForward_32f(x, s->pWork, m, nv);
    const float x0 = x[0], x1 = x[1];
    const float y0 = c[0] * x0 + d[0];
    const float y1 = ((d[1] - c[3] * y0) + c[0] * x1) + c[1] * x0;
    x[0] = y0;
    x[1] = y1;
    const float b1 = nv[4], b2 = nv[8];
    d[0] = b2 * x[B - 2] + b1 * x[B - 1];
    d[1] = b2 * x[B - 1];
    spIirBiquadBlockFeedback_32f(s->pWork, x, m, fb);
    const float h1 = fb[0], h2 = fb[4];
    d[0] = (h2 * x[B - 2] + h1 * x[B - 1]) + d[0];
    d[1] = h2 * x[B - 1] + d[1];
  }
}

}  // namespace

void spIirSampleArbitraryOrder_32f(const float* pSrc, float* pDst, spIirState* pState) {
  const int n = pState->order;
  const float* b = pState->pTaps + 1;      // b[i] = b'(i+1)
  const float* a = pState->pTaps + n + 1;  // a[i] = a'(i+1)
  float* z = pState->pDelay;
  const float x = *pSrc;
  if (n <= 0) {
    *pDst = x * pState->pTaps[0];
    return;
  }
  const float y = pState->pTaps[0] * x + z[0];
  const __m128 vx = _mm_set1_ps(x);
  const __m128 vy = _mm_set1_ps(y);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 next = _mm_loadu_ps(z + i + 1);
    const __m128 r = _mm_sub_ps(_mm_mul_ps(_mm_loadu_ps(b + i), vx), _mm_mul_ps(_mm_loadu_ps(a + i), vy));
    _mm_store_ps(z + i, _mm_add_ps(r, next));
  }
  for (; i < n; ++i) z[i] = (b[i] * x - a[i] * y) + z[i + 1];
  *pDst = y;
}

void spIirSampleBiquadCascade_32f(const float* pSrc, float* pDst, spIirState* pState) {
  float x = *pSrc;
  const float* T = pState->pSectionSampleTaps;
  float* d = pState->pDelay;
  for (int k = 0; k < pState->sectionCount; ++k, T += 8, d += 2) {
    const float y = T[0] * x + d[0];
    d[0] = (T[1] * x + d[1]) + T[4] * y;
    d[1] = T[2] * x + T[5] * y;
    x = y;
  }
  *pDst = x;
}

void spIirBlockFeedForward_32f(const float* pSrc, float* pWork, int m, const float* pNumeratorVectors, int n) {
  switch (n) {
    case 0: FeedForward<0>(pSrc, pWork, m, pNumeratorVectors, n); break;
    case 1: FeedForward<1>(pSrc, pWork, m, pNumeratorVectors, n); break;
    case 2: FeedForward<2>(pSrc, pWork, m, pNumeratorVectors, n); break;
    case 3: FeedForward<3>(pSrc, pWork, m, pNumeratorVectors, n); break;
    default: FeedForward<-1>(pSrc, pWork, m, pNumeratorVectors, n); break;
  }
}

void spIirBlockFeedback_32f(const float* pWork, float* pDst, int m, const float* pFeedbackVectors, int n) {
  switch (n) {
    case 1: Feedback<1>(pWork, pDst, m, pFeedbackVectors, n); break;
    case 2: Feedback<2>(pWork, pDst, m, pFeedbackVectors, n); break;
    case 3: Feedback<3>(pWork, pDst, m, pFeedbackVectors, n); break;
    case 4: Feedback<4>(pWork, pDst, m, pFeedbackVectors, n); break;
    default: Feedback<0>(pWork, pDst, m, pFeedbackVectors, n); break;
  }
}

void spIirBiquadBlockFeedForward_32f(const float* pSrc, float* pWork, int m, const float* pNumeratorVectors) {
  FeedForward<2>(pSrc, pWork, m, pNumeratorVectors, 2);
}

// Four outputs at a time from the section's look-ahead table; a group with an infinite
// or NaN output is computed again one output at a time from -a1 and -a2 (lane 0 of H1
// and H2), so that it holds the recurrence's own terms only.
void spIirBiquadBlockFeedback_32f(const float* pWork, float* pDst, int m, const float* pFeedbackVectors) {
  const __m128 H1 = _mm_load_ps(pFeedbackVectors);
  const __m128 H2 = _mm_load_ps(pFeedbackVectors + 4);
  const __m128 W0 = _mm_load_ps(pFeedbackVectors + 8);
  const __m128 W1 = _mm_load_ps(pFeedbackVectors + 12);
  const __m128 W2 = _mm_load_ps(pFeedbackVectors + 16);
  const float h1 = pFeedbackVectors[0], h2 = pFeedbackVectors[4];
  auto one = [pWork, pDst, h1, h2](int t) { pDst[t + 2] = (pWork[t] + h2 * pDst[t]) + h1 * pDst[t + 1]; };
  int t = 0;
  if (m >= 4) {
    __m128 y0 = _mm_set1_ps(pDst[0]);
    __m128 y1 = _mm_set1_ps(pDst[1]);
    for (; t + 4 <= m; t += 4) {
      const __m128 wv = _mm_load_ps(pWork + t);
      const __m128 input = _mm_add_ps(_mm_add_ps(_mm_mul_ps(W0, Splat(wv, 0)), _mm_mul_ps(W1, Splat(wv, 1))),
                                      _mm_add_ps(_mm_mul_ps(W2, Splat(wv, 2)), LastLane(wv)));
      __m128 out = _mm_add_ps(_mm_add_ps(_mm_mul_ps(H2, y0), _mm_mul_ps(H1, y1)), input);
      if (AnyNotFinite(out)) {
        for (int j = t; j < t + 4; ++j) one(j);
        out = _mm_loadu_ps(pDst + t + 2);
      } else {
        _mm_storeu_ps(pDst + t + 2, out);
      }
      y0 = Splat(out, 2);
      y1 = Splat(out, 3);
    }
  }
  for (; t < m; ++t) one(t);
}

spStatus spIirFilterInPlace_32f(float* pSrcDst, int len, spIirState* pState) {
  if (pState == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  const uint32 tag = pState->tag;
  if (tag != SP_IIR_ARBITRARY_ORDER_TAG && tag != SP_IIR_BIQUAD_TAG) return SP_ERROR_WRONG_RECORD;
  for (int pos = 0; pos < len;) {
    const int B = len - pos < SP_IIR_BLOCK ? len - pos : SP_IIR_BLOCK;
    float* x = pSrcDst + pos;
    if (tag == SP_IIR_BIQUAD_TAG) {
      if (B <= 4 * pState->sectionCount) {
        for (int i = 0; i < B; ++i) {
          const float in = x[i];
          spIirSampleBiquadCascade_32f(&in, &x[i], pState);
        }
      } else {
        BiquadBlock(x, B, pState);
      }
    } else {
      const int n = pState->order;
      if (n <= 0) {
        spMulConst_32f(x, pState->pNumeratorVectors[0], x, B);
      } else if (B <= 4 * n) {
        for (int i = 0; i < B; ++i) {
          const float in = x[i];
          spIirSampleArbitraryOrder_32f(&in, &x[i], pState);
        }
      } else {
        ArbitraryOrderBlock(x, B, pState);
      }
    }
    pos += B;
  }
  return SP_OK;
}
