// Public entries of the vector math (second dispatch group, entries 3-6 and 12-25). Each
// reads spDispatchIndex and runs the body of that build with its arguments untouched.
// Every entry checks its pointers (SP_ERROR_NULL) before len (SP_ERROR_LENGTH, below 1)
// and writes nothing when a check fails.
#pragma once

#include "sp/base.h"

// pSrcDst[k] = square root; SP_WARNING_NEGATIVE_ROOT when an element is negative (it
// becomes a NaN).
spStatus spSquareRootInPlace_32f(float* pSrcDst, int len);
spStatus spAbsoluteInPlace_32f(float* pSrcDst, int len);
spStatus spMaximum_32f(const float* pSrc, int len, float* pMax);
spStatus spMinimum_32f(const float* pSrc, int len, float* pMin);
spStatus spMultiplyInPlace_32f(const float* pSrc, float* pSrcDst, int len);
spStatus spAdd_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);
// pDst[k] = pSrc2[k] - pSrc1[k].
spStatus spSubtract_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);
spStatus spMultiply_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);
// pSrcDst[k] = pSrc1[k] * pSrc2[k] + pSrcDst[k], the product rounded first.
spStatus spMultiplyAccumulate_32f(const float* pSrc1, const float* pSrc2, float* pSrcDst, int len);
spStatus spSquare_32f(const float* pSrc, float* pDst, int len);
// pDst[k] = pSrc2[k] / pSrc1[k]; SP_WARNING_DIVIDED_BY_ZERO when a divisor is zero.
spStatus spDivide_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);
spStatus spExponentialInPlace_32f(float* pSrcDst, int len);
// SP_WARNING_LOG_OF_ZERO or SP_WARNING_LOG_OF_NEGATIVE by the first such element.
spStatus spNaturalLogInPlace_32f(float* pSrcDst, int len);
// hint 1 selects the fast summation of the processor builds, any other the accurate one.
spStatus spSum_32f(const float* pSrc, int len, float* pSum, int hint);
spStatus spMean_32f(const float* pSrc, int len, float* pMean, int hint);
spStatus spMinElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len);
spStatus spMaxElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len);
spStatus spDotProduct_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult);
