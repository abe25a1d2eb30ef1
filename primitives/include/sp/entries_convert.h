// Conversions between 32-bit float and PCM integers, and the element-wise power.
// Public entries of the first dispatch group; each reaches the body of the current
// processor class.
#pragma once

#include "sp/base.h"

// Round modes of the float-to-integer conversions.
enum : int {
  SP_ROUND_ZERO = 0,     // toward zero
  SP_ROUND_NEAREST = 1,  // to nearest, ties to even
  SP_ROUND_AWAY = 2,     // to nearest, ties away from zero (any other value as well)
};

// Float to 16-bit, saturating; the value converted is x * 2^-scaleFactor.
spStatus spConvert_32f16s(const float* pSrc, int16* pDst, int len, int roundMode, int scaleFactor);
// Float to 32-bit, saturating.
spStatus spConvert_32f32s(const float* pSrc, int32* pDst, int len, int roundMode, int scaleFactor);
// 16-bit to float times 2^-scaleFactor.
spStatus spConvert_16s32f(const int16* pSrc, float* pDst, int len, int scaleFactor);
// 32-bit to float times 2^-scaleFactor; pSrc may equal pDst.
spStatus spConvertScaled_32s32f(const int32* pSrc, float* pDst, int len, int scaleFactor);
// Packed little-endian 3-byte samples to float, not scaled.
spStatus spConvert_24s32f(const uint8* pSrc, float* pDst, int len);
// Float times 2^-scaleFactor to packed 3-byte samples, ties to even, saturating.
spStatus spConvert_32f24s(const float* pSrc, uint8* pDst, int len, int scaleFactor);
// 32-bit to float, not scaled.
spStatus spConvert_32s32f(const int32* pSrc, float* pDst, int len);
// pDst[i] = pSrc1[i] ^ pSrc2[i]; SP_WARNING_POWER_DOMAIN when an element met a zero
// base with a negative exponent or a negative base with a non-integer exponent.
spStatus spPower_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);
