// Entries of the vector math.
//
// Table slots (src/dispatch_groups.cpp): the multiply-accumulate has one body in all
// four slots. Exponential, logarithm, sum, mean and dot product hold the
// generic body in slots 1-3 until their processor kernels exist; the element-wise
// arithmetic has an SSE3 body in slot 1 and one SSSE3 body for slots 2 and 3.
#include "entry.h"
#include "sp/entries_vecmath.h"
#include "sp/vecmath_bodies.h"

spStatus spSquareRootInPlace_32f(float* pSrcDst, int len) {
  return SP_ENTRY(2, spSquareRootInPlace_32f)(pSrcDst, len);
}

spStatus spAbsoluteInPlace_32f(float* pSrcDst, int len) {
  return SP_ENTRY(2, spAbsoluteInPlace_32f)(pSrcDst, len);
}

spStatus spMaximum_32f(const float* pSrc, int len, float* pMax) {
  return SP_ENTRY(2, spMaximum_32f)(pSrc, len, pMax);
}

spStatus spMinimum_32f(const float* pSrc, int len, float* pMin) {
  return SP_ENTRY(2, spMinimum_32f)(pSrc, len, pMin);
}

spStatus spMultiplyInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  return SP_ENTRY(2, spMultiplyInPlace_32f)(pSrc, pSrcDst, len);
}

spStatus spAdd_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  return SP_ENTRY(2, spAdd_32f)(pSrc1, pSrc2, pDst, len);
}

spStatus spSubtract_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  return SP_ENTRY(2, spSubtract_32f)(pSrc1, pSrc2, pDst, len);
}

spStatus spMultiply_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  return SP_ENTRY(2, spMultiply_32f)(pSrc1, pSrc2, pDst, len);
}

spStatus spMultiplyAccumulate_32f(const float* pSrc1, const float* pSrc2, float* pSrcDst, int len) {
  return SP_ENTRY(2, spMultiplyAccumulate_32f)(pSrc1, pSrc2, pSrcDst, len);
}

spStatus spSquare_32f(const float* pSrc, float* pDst, int len) {
  return SP_ENTRY(2, spSquare_32f)(pSrc, pDst, len);
}

spStatus spDivide_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  return SP_ENTRY(2, spDivide_32f)(pSrc1, pSrc2, pDst, len);
}

spStatus spExponentialInPlace_32f(float* pSrcDst, int len) {
  return SP_ENTRY(2, spExponentialInPlace_32f)(pSrcDst, len);
}

spStatus spNaturalLogInPlace_32f(float* pSrcDst, int len) {
  return SP_ENTRY(2, spNaturalLogInPlace_32f)(pSrcDst, len);
}

spStatus spSum_32f(const float* pSrc, int len, float* pSum, int hint) {
  return SP_ENTRY(2, spSum_32f)(pSrc, len, pSum, hint);
}

spStatus spMean_32f(const float* pSrc, int len, float* pMean, int hint) {
  return SP_ENTRY(2, spMean_32f)(pSrc, len, pMean, hint);
}

spStatus spMinElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  return SP_ENTRY(2, spMinElementwiseInPlace_32f)(pSrc, pSrcDst, len);
}

spStatus spMaxElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  return SP_ENTRY(2, spMaxElementwiseInPlace_32f)(pSrc, pSrcDst, len);
}

spStatus spDotProduct_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  return SP_ENTRY(2, spDotProduct_32f)(pSrc1, pSrc2, len, pResult);
}
