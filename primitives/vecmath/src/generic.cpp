// Generic build of the vector math: element-wise operations and reductions in plain
// scalar IEEE arithmetic, in the caller's floating-point environment. Where the order of
// operations decides the last bit of a result, the order below is the defined one.
#include <cmath>

#include "generic_access.h"
#include "sp/vecmath_bodies.h"

namespace sp::generic {

using vm::Addr;
using vm::Bits;
using vm::FromBits;
using vm::Ld;
using vm::St;

namespace {

// a when a > b, else b: on equality or a NaN operand the second operand wins.
inline float Max(float a, float b) { return a > b ? a : b; }
inline float Min(float a, float b) { return a < b ? a : b; }

// Elements before the first 16-byte aligned one of p (0 to 3), for p a multiple of 4.
inline int HeadTo16(const float* p) { return static_cast<int>(((16 - (Addr(p) & 15)) & 15) / 4); }

// Largest (Op = Max) or smallest (Op = Min) element by the comparison order above: a
// scalar path, and a four-lane path for 4-byte aligned vectors of h + 8 or more.
template <float (*Op)(float, float)>
float Extreme(const float* x, int len) {
  float m = Ld(x);
  const bool aligned4 = (Addr(x) & 3) == 0;
  const int h = aligned4 ? HeadTo16(x) : 0;
  if (!aligned4 || len < h + 8) {
    for (int k = 0; k < len; ++k) m = Op(Ld(x + k), m);
    return m;
  }
  for (int k = 0; k < h; ++k) m = Op(Ld(x + k), m);
  float lane[4] = {m, m, m, m};
  const int e = len - ((len - h) % 8);
  for (int b = h; b < e; b += 8) {
    for (int l = 0; l < 4; ++l) {
      const float t = Op(Ld(x + b + l), lane[l]);
      lane[l] = Op(Ld(x + b + 4 + l), t);
    }
  }
  m = Op(Op(lane[0], lane[2]), Op(lane[1], lane[3]));
  for (int k = e; k < len; ++k) m = Op(Ld(x + k), m);
  return m;
}

}  // namespace

spStatus spSquareRootInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spStatus status = SP_OK;
  for (int k = 0; k < len; ++k) {
    const float x = Ld(pSrcDst + k);
    if (x > 0.0f) {
      St(pSrcDst + k, static_cast<float>(std::sqrt(static_cast<double>(x))));
    } else if (x < 0.0f) {
      St(pSrcDst + k, FromBits(vm::kNaNBits));
      status = SP_WARNING_NEGATIVE_ROOT;
    }
    // +0, -0 and NaN stay as they are.
  }
  return status;
}

spStatus spAbsoluteInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pSrcDst + k, FromBits(Bits(Ld(pSrcDst + k)) & 0x7FFFFFFFu));
  return SP_OK;
}

spStatus spMaximum_32f(const float* pSrc, int len, float* pMax) {
  if (pSrc == nullptr || pMax == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  St(pMax, Extreme<Max>(pSrc, len));
  return SP_OK;
}

spStatus spMinimum_32f(const float* pSrc, int len, float* pMin) {
  if (pSrc == nullptr || pMin == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  St(pMin, Extreme<Min>(pSrc, len));
  return SP_OK;
}

spStatus spMultiplyInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pSrcDst + k, Ld(pSrc + k) * Ld(pSrcDst + k));
  return SP_OK;
}

spStatus spAdd_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pDst + k, Ld(pSrc1 + k) + Ld(pSrc2 + k));
  return SP_OK;
}

spStatus spSubtract_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pDst + k, Ld(pSrc2 + k) - Ld(pSrc1 + k));
  return SP_OK;
}

spStatus spMultiply_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pDst + k, Ld(pSrc1 + k) * Ld(pSrc2 + k));
  return SP_OK;
}

// Ascending, each element read before it is written: an overlapping destination gives
// the result of this loop. The product is rounded to float before the sum.
spStatus spMultiplyAccumulate_32f(const float* pSrc1, const float* pSrc2, float* pSrcDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) {
    const float t = Ld(pSrc1 + k) * Ld(pSrc2 + k);
    St(pSrcDst + k, t + Ld(pSrcDst + k));
  }
  return SP_OK;
}

spStatus spSquare_32f(const float* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) {
    const float x = Ld(pSrc + k);
    St(pDst + k, x * x);
  }
  return SP_OK;
}

// A zero divisor (either sign) gives +inf, -inf or the NaN by the dividend's sign, and
// the warning; a NaN divisor divides normally.
spStatus spDivide_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spStatus status = SP_OK;
  for (int k = 0; k < len; ++k) {
    const float d = Ld(pSrc1 + k);
    const float n = Ld(pSrc2 + k);
    if (d == 0.0f) {
      status = SP_WARNING_DIVIDED_BY_ZERO;
      St(pDst + k, FromBits(n > 0.0f ? vm::kPosInfBits : n < 0.0f ? vm::kNegInfBits : vm::kNaNBits));
    } else {
      St(pDst + k, n / d);
    }
  }
  return status;
}

// Two double accumulators over whole blocks of four (even elements into A, odd into B),
// then the rest added in index order. Widening to double is exact.
namespace {
double Sum(const float* x, int len) {
  double a = 0.0, b = 0.0;
  const int whole = len - len % 4;
  for (int k = 0; k < whole; k += 4) {
    a = a + static_cast<double>(Ld(x + k));
    b = b + static_cast<double>(Ld(x + k + 1));
    a = a + static_cast<double>(Ld(x + k + 2));
    b = b + static_cast<double>(Ld(x + k + 3));
  }
  double s = b + a;
  for (int k = whole; k < len; ++k) s = s + static_cast<double>(Ld(x + k));
  return s;
}
}  // namespace

spStatus spSum_32f(const float* pSrc, int len, float* pSum, int /*hint*/) {
  if (pSrc == nullptr || pSum == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  St(pSum, static_cast<float>(Sum(pSrc, len)));
  return SP_OK;
}

spStatus spMean_32f(const float* pSrc, int len, float* pMean, int /*hint*/) {
  if (pSrc == nullptr || pMean == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  St(pMean, static_cast<float>(Sum(pSrc, len) / static_cast<double>(len)));
  return SP_OK;
}

spStatus spMinElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pSrcDst + k, Min(Ld(pSrc + k), Ld(pSrcDst + k)));
  return SP_OK;
}

spStatus spMaxElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int k = 0; k < len; ++k) St(pSrcDst + k, Max(Ld(pSrc + k), Ld(pSrcDst + k)));
  return SP_OK;
}

// Single precision throughout. Four-lane path when pSrc2 is a multiple of 4 bytes and
// len >= h + 8 (h: elements of pSrc2 before its first 16-byte aligned one).
void spDotProductKernel_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  float s = 0.0f;
  const bool aligned4 = (Addr(pSrc2) & 3) == 0;
  const int h = aligned4 ? HeadTo16(pSrc2) : 0;
  if (!aligned4 || len < h + 8) {
    for (int k = 0; k < len; ++k) s = s + Ld(pSrc1 + k) * Ld(pSrc2 + k);
    St(pResult, s);
    return;
  }
  for (int k = 0; k < h; ++k) s = s + Ld(pSrc1 + k) * Ld(pSrc2 + k);
  float v0[4] = {s, 0.0f, 0.0f, 0.0f};
  float v1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const int e = len - ((len - h) % 8);
  for (int b = h; b < e; b += 8) {
    for (int l = 0; l < 4; ++l) {
      v0[l] = v0[l] + Ld(pSrc1 + b + l) * Ld(pSrc2 + b + l);
      v1[l] = v1[l] + Ld(pSrc1 + b + 4 + l) * Ld(pSrc2 + b + 4 + l);
    }
  }
  float w[4];
  for (int l = 0; l < 4; ++l) w[l] = v0[l] + v1[l];
  s = (w[0] + w[2]) + (w[1] + w[3]);
  for (int k = e; k < len; ++k) s = s + Ld(pSrc1 + k) * Ld(pSrc2 + k);
  St(pResult, s);
}

spStatus spDotProduct_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pResult == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spDotProductKernel_32f(pSrc1, pSrc2, len, pResult);
  return SP_OK;
}

}  // namespace sp::generic
