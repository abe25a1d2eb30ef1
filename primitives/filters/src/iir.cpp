// Generic build of the IIR filter: set-up, the sample-by-sample 32-bit float filter,
// and the biquad-cascade builder that serves every build.
#include <cstdint>

#include "sp/core_bodies.h"
#include "sp/iir.h"

#define SP_IIR_PROCESSOR_TABLES 0

namespace sp::generic {

#include "iir_setup.inl"

namespace {

void FilterArbitraryOrder(float* p, int len, spIirState* s) {
  const int n = s->order;
  const float* b = s->pTaps;       // b'0..b'n
  const float* a = s->pTaps + n;   // a[k] = a'k, k = 1..n
  float* z = s->pDelay;
  if (n <= 0) {
    const float b0 = b[0];
    for (int i = 0; i < len; ++i) p[i] = p[i] * b0;
    return;
  }
  if (n == 1) {
    for (int i = 0; i < len; ++i) {
      const float x = p[i];
      const float y = b[0] * x + z[0];
      z[0] = b[1] * x - a[1] * y;
      p[i] = y;
    }
    return;
  }
  int i = 0;
  for (; i + 2 <= len; i += 2) {
    const float x0 = p[i], x1 = p[i + 1];
    const float y0 = b[0] * x0 + z[0];
    const float y1 = ((b[0] * x1 + z[1]) + b[1] * x0) - a[1] * y0;
    for (int j = 0; j <= n - 2; ++j)
      z[j] = (((b[j + 1] * x1 - a[j + 1] * y1) + b[j + 2] * x0) - a[j + 2] * y0) + z[j + 2];
    z[n - 1] = b[n] * x1 - a[n] * y1;
    p[i] = y0;
    p[i + 1] = y1;
  }
  if (i < len) {
    const float x = p[i];
    const float y = b[0] * x + z[0];
    for (int j = 0; j <= n - 1; ++j) z[j] = (b[j + 1] * x - a[j + 1] * y) + z[j + 1];
    p[i] = y;
  }
}

void FilterBiquadCascade(float* p, int len, spIirState* s) {
  for (int i = 0; i < len; ++i) {
    float x = p[i];
    for (int k = 0; 2 * k < s->order; ++k) {
      const float* c = s->pTaps + 5 * k;
      float* d = s->pDelay + 2 * k;
      const float y = c[0] * x + d[0];
      d[0] = (c[1] * x + d[1]) - c[3] * y;
      d[1] = c[2] * x + (0.0f - c[4]) * y;
      x = y;
    }
    p[i] = x;
  }
}

// Four-output look-ahead table of a biquad section (n = 2, a'i = a[i - 1] * r): the
// history vectors H1, H2 and the input vectors W0, W1, W2, 20 floats at fb. Lane j of
// Hi is the coefficient of y[t-i] in y[t+j]; single precision, left to right. Second-
// order sections keep their accuracy with these derived coefficients.
void IirBuildLookAheadTable(const float* a, int n, float r, float* fb) {
  auto H = [fb](int i) { return fb + 4 * (i - 1); };
  const float c = 0.0f - r;
  for (int i = 1; i <= n; ++i) {
    H(i)[0] = a[i - 1] * c;
    H(i)[1] = H(1)[0] * H(i)[0];
  }
  const float c1 = H(1)[0];
  const float c2 = n >= 2 ? H(2)[0] : 0.0f;
  const float c3 = n >= 3 ? H(3)[0] : 0.0f;
  for (int i = 1; i <= n - 1; ++i) H(i)[1] = H(i)[1] + H(i + 1)[0];
  for (int i = 1; i <= n; ++i) H(i)[2] = H(i)[1] * c1 + c2 * H(i)[0];
  for (int i = 1; i <= n - 2; ++i) H(i)[2] = H(i)[2] + H(i + 2)[0];
  for (int i = 1; i <= n; ++i) H(i)[3] = (H(i)[2] * c1 + c2 * H(i)[1]) + c3 * H(i)[0];
  for (int i = 1; i <= n - 3; ++i) H(i)[3] = H(i)[3] + H(i + 3)[0];
  float* w = fb + 4 * n;
  const float w0[4] = {1.0f, H(1)[0], H(1)[1], H(1)[2]};
  const float w1[4] = {0.0f, 1.0f, H(1)[0], H(1)[1]};
  const float w2[4] = {0.0f, 0.0f, 1.0f, H(1)[0]};
  for (int j = 0; j < 4; ++j) {
    w[j] = w0[j];
    w[4 + j] = w1[j];
    w[8 + j] = w2[j];
  }
}

// Layout of a biquad-cascade state of S sections after the record.
struct BiquadLayout {
  std::int64_t taps, delay, numerator, feedback, sampleTaps, work;
};

BiquadLayout BiquadAreas(std::int64_t S) {
  return {IirAreaBytes(5 * S), IirAreaBytes(2 * S), 48 * S, 80 * S, 32 * S, 4 * SP_IIR_BLOCK};
}

std::int64_t BiquadStateBytes(std::int64_t S) {
  const BiquadLayout l = BiquadAreas(S);
  return 15 + SP_IIR_RECORD_BYTES + l.taps + l.delay + l.numerator + l.feedback + l.sampleTaps + l.work;
}

}  // namespace

spStatus spIirFilterInPlace_32f(float* pSrcDst, int len, spIirState* pState) {
  if (pState == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (pState->tag == SP_IIR_ARBITRARY_ORDER_TAG) {
    FilterArbitraryOrder(pSrcDst, len, pState);
  } else if (pState->tag == SP_IIR_BIQUAD_TAG) {
    FilterBiquadCascade(pSrcDst, len, pState);
  } else {
    return SP_ERROR_WRONG_RECORD;
  }
  return SP_OK;
}

spStatus spIirBiquadGetStateSize_32f(int sectionCount, int* pSize) {
  if (pSize == nullptr) return SP_ERROR_NULL;
  if (sectionCount < 1 || BiquadStateBytes(sectionCount) > INT32_MAX) return SP_ERROR_FILTER_ORDER;
  *pSize = static_cast<int>(BiquadStateBytes(sectionCount));
  return SP_OK;
}

spStatus spIirBiquadInit_32f(spIirState** ppState, const float* pSections, int sectionCount, const float* pDelay,
                             uint8* pBuffer) {
  if (ppState == nullptr || pSections == nullptr || pBuffer == nullptr) return SP_ERROR_NULL;
  if (sectionCount < 1 || BiquadStateBytes(sectionCount) > INT32_MAX) return SP_ERROR_FILTER_ORDER;
  const int S = sectionCount;
  const BiquadLayout l = BiquadAreas(S);
  auto* s = reinterpret_cast<spIirState*>(IirAlign16(pBuffer));
  uint8* p = reinterpret_cast<uint8*>(s) + SP_IIR_RECORD_BYTES;
  auto take = [&p](std::int64_t bytes) {
    float* area = reinterpret_cast<float*>(p);
    p += bytes;
    return area;
  };
  s->tag = SP_IIR_BIQUAD_TAG;
  s->pTaps = take(l.taps);
  s->pDelay = take(l.delay);
  s->pNumeratorVectors = take(l.numerator);
  s->pFeedbackVectors = take(l.feedback);
  s->pSectionSampleTaps = take(l.sampleTaps);
  s->pWork = take(l.work);
  s->pWork2 = nullptr;
  s->order = 2 * S;
  s->sectionCount = S;
  s->reserved = 0;
  for (int k = 0; k < S; ++k) {
    const float* c = pSections + 5 * k;
    for (int j = 0; j < 5; ++j) s->pTaps[5 * k + j] = c[j];
    s->pDelay[2 * k] = pDelay != nullptr ? pDelay[2 * k] : 0.0f;
    s->pDelay[2 * k + 1] = pDelay != nullptr ? pDelay[2 * k + 1] : 0.0f;
    for (int j = 0; j < 4; ++j) {
      s->pNumeratorVectors[12 * k + j] = c[0];
      s->pNumeratorVectors[12 * k + 4 + j] = c[1];
      s->pNumeratorVectors[12 * k + 8 + j] = c[2];
    }
    IirBuildLookAheadTable(c + 3, 2, 1.0f, s->pFeedbackVectors + 20 * k);
    float* t = s->pSectionSampleTaps + 8 * k;
    const float sample[8] = {c[0], c[1], c[2], 0.0f, 0.0f - c[3], 0.0f - c[4], 0.0f, 0.0f};
    for (int j = 0; j < 8; ++j) t[j] = sample[j];
  }
  *ppState = s;
  return SP_OK;
}

}  // namespace sp::generic
