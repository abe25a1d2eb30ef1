// Generic bodies of the float/PCM conversions: the reference for every processor build.

#include <cmath>
#include <cstring>

#include "sp/convert_bodies.h"

namespace sp::generic {

#include "convert_common.inl"

namespace {

// 2^-s in double, exact. The scale is clamped to [-1023, 1074] so the factor is never
// +infinity or 0: zero times an infinite factor, or an infinity times a zero one, would
// be a NaN and could turn silence or a full-scale sample into the negative limit. Every
// other result is that of the unclamped factor.
double powerOfTwoFactor(int s) {
  if (s > 1074) s = 1074;
  if (s < -1023) s = -1023;
  return std::ldexp(1.0, -s);
}

// Nearest integer of v with ties to even, |v| below 2^32: v +- 0.5 in double (exact for
// these magnitudes), truncated, a tie moved one step back toward zero.
int64 roundHalfEven(double v) {
  const double d = v >= 0.0 ? v + 0.5 : v - 0.5;
  int64 t = static_cast<int64>(d);
  if ((t & 1) != 0 && static_cast<double>(t) == d) t += v >= 0.0 ? -1 : 1;
  return t;
}

// Nearest integer with ties away from zero, |v| below 2^32. The addition is exact in
// double, so the largest float below 0.5 gives 0.
int64 roundHalfAway(double v) { return static_cast<int64>(v >= 0.0 ? v + 0.5 : v - 0.5); }

int16 to16s(double v, int roundMode) {
  constexpr double lo = -32768.0, hi = 32767.0;
  if (std::isnan(v)) return 0;
  if (roundMode == 0 || roundMode == 1) {
    if (v > hi) return 32767;
    if (v < lo) return -32768;
    return static_cast<int16>(roundMode == 0 ? static_cast<int64>(v) : roundHalfEven(v));
  }
  if (v >= hi) return 32767;
  if (v <= lo) return -32768;
  return static_cast<int16>(roundHalfAway(v));
}

int32 to32s(double v, int roundMode) {
  constexpr double limit = 2147483648.0;
  constexpr int32 kMax = 2147483647;
  constexpr int32 kMin = -2147483647 - 1;
  if (std::isnan(v)) return (roundMode == 0 || roundMode == 1) ? 0 : kMin;
  if (roundMode == 0) {
    if (v >= limit) return kMax;
    if (v < -limit) return kMin;
    return static_cast<int32>(static_cast<int64>(v));
  }
  if (roundMode == 1) {
    if (v >= limit) return kMax;
    if (v <= -limit) return kMin;
    // A value just below 2^31 rounds up to 2^31: that saturates as well.
    const int64 t = roundHalfEven(v);
    return t > kMax ? kMax : static_cast<int32>(t);
  }
  if (v >= 2147483647.0) return kMax;
  if (v <= -limit) return kMin;
  return static_cast<int32>(roundHalfAway(v));
}

void store24(uint8* p, int32 v) {
  const uint32 u = static_cast<uint32>(v);
  p[0] = static_cast<uint8>(u);
  p[1] = static_cast<uint8>(u >> 8);
  p[2] = static_cast<uint8>(u >> 16);
}

}  // namespace

spStatus spConvert_32f16s(const float* pSrc, int16* pDst, int len, int roundMode,
                          int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  const double factor = powerOfTwoFactor(scaleFactor);
  for (int i = 0; i < len; ++i) pDst[i] = to16s(static_cast<double>(pSrc[i]) * factor, roundMode);
  return SP_OK;
}

spStatus spConvert_32f32s(const float* pSrc, int32* pDst, int len, int roundMode,
                          int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  const double factor = powerOfTwoFactor(scaleFactor);
  for (int i = 0; i < len; ++i) pDst[i] = to32s(static_cast<double>(pSrc[i]) * factor, roundMode);
  return SP_OK;
}

spStatus spConvert_32f24s(const float* pSrc, uint8* pDst, int len, int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  const float factor = spScaleFactorBits(spClampScale(scaleFactor, -127, 127));
  for (int i = 0; i < len; ++i) {
    const float x = pSrc[i];
    const double v = scaleFactor == 0 ? static_cast<double>(x) : static_cast<double>(x * factor);
    int32 t;
    if (std::isnan(v)) {
      t = 0;
    } else if (v >= 8388607.0) {
      t = 8388607;
    } else if (v <= -8388608.0) {
      t = -8388608;
    } else {
      t = static_cast<int32>(roundHalfEven(v));
    }
    store24(pDst + 3 * static_cast<int64>(i), t);
  }
  return SP_OK;
}

spStatus spConvert_16s32f(const int16* pSrc, float* pDst, int len, int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (scaleFactor == 0) {
    for (int i = 0; i < len; ++i) pDst[i] = static_cast<float>(pSrc[i]);
    return SP_OK;
  }
  const float factor = spScaleFactorBits(spClampScale(scaleFactor, -112, 126));
  for (int i = 0; i < len; ++i) pDst[i] = static_cast<float>(pSrc[i]) * factor;
  return SP_OK;
}

spStatus spConvertScaled_32s32f(const int32* pSrc, float* pDst, int len, int scaleFactor) {
  return spConvertScaled32s32fBody(pSrc, pDst, len, scaleFactor);
}

spStatus spConvert_24s32f(const uint8* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int i = 0; i < len; ++i) {
    const uint8* p = pSrc + 3 * static_cast<int64>(i);
    const int32 v = static_cast<int32>(p[0] | (p[1] << 8)) + static_cast<int32>(static_cast<int8>(p[2])) * 65536;
    pDst[i] = static_cast<float>(v);
  }
  return SP_OK;
}

spStatus spConvert_32s32f(const int32* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int i = 0; i < len; ++i) pDst[i] = static_cast<float>(pSrc[i]);
  return SP_OK;
}

}  // namespace sp::generic
