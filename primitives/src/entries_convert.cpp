// Entries of the float/PCM conversions and the element-wise power.
#include "entry.h"
#include "sp/convert_bodies.h"
#include "sp/entries_convert.h"

spStatus spConvert_32f16s(const float* pSrc, int16* pDst, int len, int roundMode, int scaleFactor) {
  return SP_ENTRY(1, spConvert_32f16s)(pSrc, pDst, len, roundMode, scaleFactor);
}

spStatus spConvert_32f32s(const float* pSrc, int32* pDst, int len, int roundMode, int scaleFactor) {
  return SP_ENTRY(1, spConvert_32f32s)(pSrc, pDst, len, roundMode, scaleFactor);
}

spStatus spConvert_16s32f(const int16* pSrc, float* pDst, int len, int scaleFactor) {
  return SP_ENTRY(1, spConvert_16s32f)(pSrc, pDst, len, scaleFactor);
}

spStatus spConvertScaled_32s32f(const int32* pSrc, float* pDst, int len, int scaleFactor) {
  return SP_ENTRY(1, spConvertScaled_32s32f)(pSrc, pDst, len, scaleFactor);
}

spStatus spConvert_24s32f(const uint8* pSrc, float* pDst, int len) {
  return SP_ENTRY(1, spConvert_24s32f)(pSrc, pDst, len);
}

spStatus spConvert_32f24s(const float* pSrc, uint8* pDst, int len, int scaleFactor) {
  return SP_ENTRY(1, spConvert_32f24s)(pSrc, pDst, len, scaleFactor);
}

spStatus spConvert_32s32f(const int32* pSrc, float* pDst, int len) {
  return SP_ENTRY(1, spConvert_32s32f)(pSrc, pDst, len);
}

spStatus spPower_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  return SP_ENTRY(1, spPower_32f)(pSrc1, pSrc2, pDst, len);
}
