// Set-up of the states and block tables of the typed IIR kernels (real double, complex
// single and complex double data). Generic code: the layouts are plain data that every
// processor build's kernels read.
#include <complex>
#include <cstdint>

#include "sp/iir_typed.h"

namespace sp::generic {
namespace {

using Cd = std::complex<double>;

inline std::int64_t Align16(std::int64_t bytes) { return (bytes + 15) & ~std::int64_t{15}; }

struct TypedLayout {
  std::int64_t elem = 0;   // bytes of one tap or delay value
  std::int64_t taps = 0;   // area bytes, each a multiple of 16
  std::int64_t delay = 0;
  std::int64_t sample = 0;
  std::int64_t Total() const { return 15 + SP_IIR_RECORD_BYTES + taps + delay + sample; }
};

bool KnownKind(spIirDataKind kind, uint32 tag) {
  return (kind == SP_IIR_DATA_64F || kind == SP_IIR_DATA_32FC || kind == SP_IIR_DATA_64FC) &&
         (tag == SP_IIR_ARBITRARY_ORDER_TAG || tag == SP_IIR_BIQUAD_TAG);
}

TypedLayout Layout(spIirDataKind kind, uint32 tag, std::int64_t count) {
  TypedLayout l;
  l.elem = kind == SP_IIR_DATA_64FC ? 16 : 8;
  if (tag == SP_IIR_ARBITRARY_ORDER_TAG) {
    const std::int64_t n = count;
    l.taps = Align16(l.elem * (2 * n + 1));
    l.delay = Align16(l.elem * (n + 1));
    if (kind == SP_IIR_DATA_32FC) l.sample = 4 * (4 + 16 * ((n + 1) / 2));
    if (kind == SP_IIR_DATA_64FC) l.sample = 8 * (4 + 8 * n);
  } else {
    const std::int64_t S = count;
    l.taps = Align16(l.elem * 5 * S);
    l.delay = Align16(l.elem * 2 * S);
    l.sample = (kind == SP_IIR_DATA_64F ? 48 : (kind == SP_IIR_DATA_32FC ? 80 : 160)) * S;
  }
  return l;
}

bool CountOk(spIirDataKind kind, uint32 tag, int count) {
  if (count < (tag == SP_IIR_BIQUAD_TAG ? 1 : 0)) return false;
  return Layout(kind, tag, count).Total() <= INT32_MAX;
}

// The i-th tap of the caller's array as a complex double.
Cd Tap(spIirDataKind kind, const void* p, std::int64_t i) {
  if (kind == SP_IIR_DATA_64F) return static_cast<const double*>(p)[i];
  if (kind == SP_IIR_DATA_32FC) {
    const auto& c = static_cast<const spComplex32f*>(p)[i];
    return {c.re, c.im};
  }
  const auto& c = static_cast<const spComplex64f*>(p)[i];
  return {c.re, c.im};
}

// Stores v as the i-th value of an area of the kind's element type.
void Put(spIirDataKind kind, void* area, std::int64_t i, Cd v) {
  if (kind == SP_IIR_DATA_64F) {
    static_cast<double*>(area)[i] = v.real();
  } else if (kind == SP_IIR_DATA_32FC) {
    static_cast<spComplex32f*>(area)[i] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
  } else {
    static_cast<spComplex64f*>(area)[i] = {v.real(), v.imag()};
  }
}

// The value as the kernels will read it (rounded to float for complex single data).
Cd Rounded(spIirDataKind kind, Cd v) {
  if (kind != SP_IIR_DATA_32FC) return v;
  return {static_cast<float>(v.real()), static_cast<float>(v.imag())};
}

// Four doubles Re, Im, Im, Re.
void PutArranged(double* p, Cd c) {
  p[0] = c.real();
  p[1] = c.imag();
  p[2] = c.imag();
  p[3] = c.real();
}

// Arranged taps of an arbitrary-order state from its stored plain taps.
void BuildArrangedArbitrary(spIirDataKind kind, spIirState* s, int n) {
  auto b = [&](int k) { return Tap(kind, s->pTaps, k); };
  auto a = [&](int k) { return Tap(kind, s->pTaps, n + k); };
  if (kind == SP_IIR_DATA_32FC) {
    float* h = s->pSectionSampleTaps;
    auto f = [](double v) { return static_cast<float>(v); };
    const float head[4] = {f(b(0).real()), f(b(0).real()), -f(b(0).imag()), f(b(0).imag())};
    for (int j = 0; j < 4; ++j) h[j] = head[j];
    float* g = h + 4;
    for (int k = 1; k <= n; k += 2, g += 16) {
      for (int j = 0; j < 16; ++j) g[j] = 0.0f;
      for (int half = 0; half < 2 && k + half <= n; ++half) {
        const Cd bk = b(k + half), ak = a(k + half);
        float* q = g + 2 * half;
        q[0] = f(bk.real()), q[1] = f(bk.real());
        q[4] = -f(bk.imag()), q[5] = f(bk.imag());
        q[8] = -f(ak.real()), q[9] = -f(ak.imag());
        q[12] = f(ak.imag()), q[13] = -f(ak.real());
      }
    }
  } else if (kind == SP_IIR_DATA_64FC) {
    auto* h = reinterpret_cast<double*>(s->pSectionSampleTaps);
    PutArranged(h, b(0));
    for (int k = 1; k <= n; ++k) {
      PutArranged(h + 4 + 8 * (k - 1), b(k));
      PutArranged(h + 8 + 8 * (k - 1), -a(k));
    }
  }
}

void BuildArrangedSection(spIirDataKind kind, spIirState* s, int k, const Cd* c) {
  if (kind == SP_IIR_DATA_64F) {
    auto* t = reinterpret_cast<double*>(s->pSectionSampleTaps) + 6 * k;
    const double v[6] = {c[0].real(), c[0].real(), c[1].real(), c[2].real(), -c[3].real(), -c[4].real()};
    for (int j = 0; j < 6; ++j) t[j] = v[j];
  } else if (kind == SP_IIR_DATA_32FC) {
    float* t = s->pSectionSampleTaps + 20 * k;
    auto f = [](double v) { return static_cast<float>(v); };
    const Cd b0 = c[0], b1 = c[1], b2 = c[2], a1 = c[3], a2 = c[4];
    const float v[20] = {f(b0.real()),  f(b0.imag()),  -f(b0.imag()), f(b0.real()),  f(b1.real()),
                         f(b1.imag()),  f(b2.real()),  f(b2.imag()),   -f(b1.imag()), f(b1.real()),
                         -f(b2.imag()), f(b2.real()),  -f(a1.real()),  -f(a1.imag()), -f(a2.real()),
                         -f(a2.imag()), f(a1.imag()),  -f(a1.real()),  f(a2.imag()),  -f(a2.real())};
    for (int j = 0; j < 20; ++j) t[j] = v[j];
  } else {
    auto* t = reinterpret_cast<double*>(s->pSectionSampleTaps) + 20 * k;
    PutArranged(t, c[0]);
    PutArranged(t + 4, c[1]);
    PutArranged(t + 8, c[2]);
    PutArranged(t + 12, -c[3]);
    PutArranged(t + 16, -c[4]);
  }
}

}  // namespace

spStatus spIirTypedGetStateSize(spIirDataKind kind, uint32 tag, int count, int* pSize) {
  if (pSize == nullptr) return SP_ERROR_NULL;
  if (!KnownKind(kind, tag)) return SP_ERROR_WRONG_RECORD;
  if (!CountOk(kind, tag, count)) return SP_ERROR_FILTER_ORDER;
  *pSize = static_cast<int>(Layout(kind, tag, count).Total());
  return SP_OK;
}

spStatus spIirTypedInit(spIirDataKind kind, uint32 tag, spIirState** ppState, const void* pTaps, int count,
                        const void* pDelay, uint8* pBuffer) {
  if (ppState == nullptr || pTaps == nullptr || pBuffer == nullptr) return SP_ERROR_NULL;
  if (!KnownKind(kind, tag)) return SP_ERROR_WRONG_RECORD;
  if (!CountOk(kind, tag, count)) return SP_ERROR_FILTER_ORDER;
  const bool biquad = tag == SP_IIR_BIQUAD_TAG;
  const Cd a0 = biquad ? Cd{1.0} : Tap(kind, pTaps, count + 1);
  if (a0 == Cd{0.0}) return SP_ERROR_ZERO_DIVISOR;
  const TypedLayout l = Layout(kind, tag, count);
  const auto v = reinterpret_cast<std::uintptr_t>(pBuffer);
  auto* s = reinterpret_cast<spIirState*>(pBuffer + ((16 - (v & 15)) & 15));
  uint8* p = reinterpret_cast<uint8*>(s) + SP_IIR_RECORD_BYTES;
  s->tag = tag;
  s->pTaps = reinterpret_cast<float*>(p);
  s->pDelay = reinterpret_cast<float*>(p + l.taps);
  s->pSectionSampleTaps = l.sample != 0 ? reinterpret_cast<float*>(p + l.taps + l.delay) : nullptr;
  s->pNumeratorVectors = nullptr;
  s->pFeedbackVectors = nullptr;
  s->pWork = nullptr;
  s->pWork2 = nullptr;
  s->reserved = 0;
  if (biquad) {
    const int S = count;
    s->order = 2 * S;
    s->sectionCount = S;
    for (int k = 0; k < S; ++k) {
      Cd c[5];
      for (int j = 0; j < 5; ++j) {
        c[j] = Tap(kind, pTaps, 5 * k + j);
        Put(kind, s->pTaps, 5 * k + j, c[j]);
      }
      BuildArrangedSection(kind, s, k, c);
    }
    for (std::int64_t i = 0; i < 2 * S; ++i) Put(kind, s->pDelay, i, pDelay ? Tap(kind, pDelay, i) : Cd{});
  } else {
    const int n = count;
    s->order = n;
    s->sectionCount = 0;
    const Cd r = 1.0 / a0;
    for (int k = 0; k <= n; ++k) Put(kind, s->pTaps, k, Tap(kind, pTaps, k) * r);
    for (int k = 1; k <= n; ++k) Put(kind, s->pTaps, n + k, Tap(kind, pTaps, n + 1 + k) * r);
    for (std::int64_t i = 0; i < n; ++i) Put(kind, s->pDelay, i, pDelay ? Tap(kind, pDelay, i) : Cd{});
    Put(kind, s->pDelay, n, Cd{});
    if (s->pSectionSampleTaps != nullptr) BuildArrangedArbitrary(kind, s, n);
  }
  *ppState = s;
  return SP_OK;
}

spStatus spIirComplexBlockTables_32fc(const spComplex32f* pTaps, int order, float* pNumeratorVectors,
                                      float* pFeedbackVectors) {
  if (pTaps == nullptr || pNumeratorVectors == nullptr || pFeedbackVectors == nullptr) return SP_ERROR_NULL;
  if (order < 1 || order > (INT32_MAX - 64) / 64) return SP_ERROR_FILTER_ORDER;
  const int N = order;
  const Cd a0{pTaps[N + 1].re, pTaps[N + 1].im};
  if (a0 == Cd{0.0}) return SP_ERROR_ZERO_DIVISOR;
  const Cd r = 1.0 / a0;
  auto rounded = [](Cd v) { return Rounded(SP_IIR_DATA_32FC, v); };
  auto a = [&](int k) { return rounded(Cd{pTaps[N + 1 + k].re, pTaps[N + 1 + k].im} * r); };
  for (int k = 0; k <= N; ++k) {
    const Cd b = rounded(Cd{pTaps[k].re, pTaps[k].im} * r);
    const float re = static_cast<float>(b.real()), im = static_cast<float>(b.imag());
    const float v[8] = {re, re, re, re, -im, im, -im, im};
    for (int j = 0; j < 8; ++j) pNumeratorVectors[8 * k + j] = v[j];
  }
  // Only the filter's own coefficients, each rounded once: block j holds -a(j + i) for
  // output i of a group (zero beyond the order), the last block -a1, -a2, -a3 and 0 for
  // the dependencies inside the group.
  auto own = [&](int k) { return k <= N ? -a(k) : Cd{}; };
  auto block = [](float* blk, const Cd* g) {
    for (int pair = 0; pair < 2; ++pair) {
      const Cd g0 = g[2 * pair], g1 = g[2 * pair + 1];
      float* q = blk + 8 * pair;
      const double v[8] = {g0.real(), g0.imag(), g1.real(), g1.imag(), -g0.imag(), g0.real(), -g1.imag(), g1.real()};
      for (int j = 0; j < 8; ++j) q[j] = static_cast<float>(v[j]);
    }
  };
  for (int j = 1; j <= N; ++j) {
    const Cd g[4] = {own(j), own(j + 1), own(j + 2), own(j + 3)};
    block(pFeedbackVectors + 16 * (j - 1), g);
  }
  const Cd inGroup[4] = {own(1), own(2), own(3), Cd{}};
  block(pFeedbackVectors + 16 * N, inGroup);
  return SP_OK;
}

}  // namespace sp::generic
