// IIR set-up shared by every build. Each build's source includes this file inside its
// own namespace with SP_IIR_PROCESSOR_TABLES set to 1 (processor builds: four-lane
// tables and a work area) or 0 (generic: coefficients and delay line only). Needs
// <cstdint>, "sp/iir.h" and "sp/core_bodies.h".

namespace {

inline std::int64_t IirAreaBytes(std::int64_t floats) { return (4 * floats + 15) & ~std::int64_t{15}; }
inline std::int64_t IirDelayBytes(std::int64_t n) { return (4 * n + 19) & ~std::int64_t{15}; }
inline std::int64_t IirTapBytes(std::int64_t n) { return (8 * n + 19) & ~std::int64_t{15}; }

inline uint8* IirAlign16(uint8* p) {
  const auto v = reinterpret_cast<std::uintptr_t>(p);
  return p + ((16 - (v & 15)) & 15);
}

// Buffer bytes of an arbitrary-order state of this build; above INT32_MAX for orders
// whose size a 32-bit count cannot hold.
inline std::int64_t IirStateBytes(std::int64_t n) {
  std::int64_t bytes = IirDelayBytes(n) + IirTapBytes(n);
#if SP_IIR_PROCESSOR_TABLES
  bytes += 32 * n + 4312;
#else
  bytes += 112;
#endif
  return bytes;
}

#if SP_IIR_PROCESSOR_TABLES
// Four-output feedback table of 1 / A(z) with a'i = a[i - 1] * r (i = 1..n), 4 * (n + 3)
// floats at fb: n history vectors H1..Hn, then the in-group vector G and eight zeros.
// Lane j of Hi is the filter's own coefficient -a'(i+j) (zero beyond the order), the
// direct weight of y[t-i] in y[t+j]; G = (-a'1, -a'2, -a'3, 0), zero beyond the order,
// resolves the dependencies among the four outputs of a group one output at a time.
// Only the filter's own coefficients are stored, each rounded once: coefficients of a
// four-step recurrence derived from them would move its poles once rounded to float,
// and low-cutoff direct-form filters then lose most of their accuracy.
void IirBuildFeedbackTable(const float* a, int n, float r, float* fb) {
  const float c = 0.0f - r;
  auto own = [a, n, c](int k) { return k <= n ? a[k - 1] * c : 0.0f; };
  for (int i = 1; i <= n; ++i)
    for (int j = 0; j < 4; ++j) fb[4 * (i - 1) + j] = own(i + j);
  float* g = fb + 4 * n;
  for (int j = 0; j < 12; ++j) g[j] = 0.0f;
  for (int k = 1; k <= 3; ++k) g[k - 1] = own(k);
}
#endif

}  // namespace

spStatus spIirComputeStateSize_32f(int order, int* pSize, uint32 /*tag*/) {
  *pSize = static_cast<int>(IirStateBytes(order));
  return SP_OK;
}

spStatus spIirGetStateSize_32f(int order, int* pSize) {
  if (pSize == nullptr) return SP_ERROR_NULL;
  if (order < 1 || IirStateBytes(order) > INT32_MAX) return SP_ERROR_FILTER_ORDER;
  return spIirComputeStateSize_32f(order, pSize, SP_IIR_ARBITRARY_ORDER_TAG);
}

spStatus spIirNormalizeTaps_32f(const float* pTaps, spIirState* pState) {
  const int n = pState->order;
  const float a0 = pTaps[n + 1];
  if (a0 == 0.0f) return SP_ERROR_ZERO_DIVISOR;
  const float r = 1.0f / a0;
  float* t = pState->pTaps;
  t[0] = pTaps[0] * r;
  for (int k = 1; k <= n; ++k) {
    t[k] = pTaps[k] * r;
    t[n + k] = pTaps[n + 1 + k] * r;
  }
#if SP_IIR_PROCESSOR_TABLES
  float* nv = pState->pNumeratorVectors;
  for (int k = 0; k <= n; ++k) {
    const float b = pTaps[k] * r;
    for (int j = 0; j < 4; ++j) nv[4 * k + j] = b;
  }
  IirBuildFeedbackTable(pTaps + n + 2, n, r, pState->pFeedbackVectors);
#endif
  return SP_OK;
}

spStatus spIirBuildState_32f(spIirState** ppState, const float* pTaps, int order, const float* pDelay,
                             uint8* pBuffer, uint32 tag) {
  // A zero a0 is refused before anything is written: a tagged state without
  // coefficients would otherwise be left for a later filter call to read.
  if (pTaps[order + 1] == 0.0f) return SP_ERROR_ZERO_DIVISOR;
  auto* s = reinterpret_cast<spIirState*>(IirAlign16(pBuffer));
  *ppState = s;
  uint8* taps = reinterpret_cast<uint8*>(s) + SP_IIR_RECORD_BYTES;
  s->pTaps = reinterpret_cast<float*>(taps);
  s->pDelay = reinterpret_cast<float*>(taps + IirTapBytes(order));
  s->tag = tag;
  s->order = order;
  s->sectionCount = 0;
  s->reserved = 0;
#if SP_IIR_PROCESSOR_TABLES
  s->pNumeratorVectors = reinterpret_cast<float*>(reinterpret_cast<uint8*>(s->pDelay) + IirDelayBytes(order));
  s->pFeedbackVectors = s->pNumeratorVectors + 4 * (order + 1);
  s->pWork = s->pFeedbackVectors + 4 * (order + 3);
  s->pWork2 = nullptr;
#endif
  if (pDelay != nullptr) {
    spCopy_32f(pDelay, s->pDelay, order);
  } else {
    spZero_32f(s->pDelay, order);
  }
  s->pDelay[order] = 0.0f;
  return spIirNormalizeTaps_32f(pTaps, s);
}

spStatus spIirInit_32f(spIirState** ppState, const float* pTaps, int order, const float* pDelay, uint8* pBuffer) {
  if (pTaps == nullptr || ppState == nullptr || pBuffer == nullptr) return SP_ERROR_NULL;
  if (order < 1 || IirStateBytes(order) > INT32_MAX) return SP_ERROR_FILTER_ORDER;
  return spIirBuildState_32f(ppState, pTaps, order, pDelay, pBuffer, SP_IIR_ARBITRARY_ORDER_TAG);
}
