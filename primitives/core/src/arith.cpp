// Generic build of the constant arithmetic on float vectors.
#include "sp/core_bodies.h"

namespace sp::generic {

spStatus spMulConst_32f(const float* pSrc, float c, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 1.0f) return spCopy_32f(pSrc, pDst, len);
  if (c == 0.0f) return spZero_32f(pDst, len);
  for (int i = 0; i < len; ++i) pDst[i] = pSrc[i] * c;
  return SP_OK;
}

spStatus spDivConstByReciprocal_32f(const float* pSrc, float c, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 0.0f) return SP_ERROR_ZERO_DIVISOR;
  return spMulConst_32f(pSrc, 1.0f / c, pDst, len);
}

spStatus spMulConstInPlace_32f(float c, float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 1.0f) return SP_OK;
  if (c == 0.0f) return spZero_32f(pSrcDst, len);
  for (int i = 0; i < len; ++i) pSrcDst[i] = pSrcDst[i] * c;
  return SP_OK;
}

spStatus spDivConstInPlace_32f(float c, float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  return spDivConstByReciprocal_32f(pSrcDst, c, pSrcDst, len);
}

spStatus spAddConstInPlace_32f(float c, float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 0.0f) return SP_OK;
  for (int i = 0; i < len; ++i) pSrcDst[i] = pSrcDst[i] + c;
  return SP_OK;
}

spStatus spAddInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  for (int i = 0; i < len; ++i) pSrcDst[i] = pSrcDst[i] + pSrc[i];
  return SP_OK;
}

}  // namespace sp::generic
