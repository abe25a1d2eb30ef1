// Bodies of the vector math, one set per build (sp::generic, sp::sse3, sp::ssse3,
// sp::sse41), and the kernels behind the processor builds. The public entries dispatch
// to the bodies; a body of a processor build calls the kernels of its own build.
#pragma once

#include "sp/base.h"

// Bodies with a build of their own in every slot.
#define SP_VECMATH_BODIES                                                                   \
  /* pSrcDst[k] = square root; negative elements give a NaN and the warning 3. */          \
  spStatus spSquareRootInPlace_32f(float* pSrcDst, int len);                                \
  spStatus spAbsoluteInPlace_32f(float* pSrcDst, int len);                                  \
  spStatus spMaximum_32f(const float* pSrc, int len, float* pMax);                          \
  spStatus spMinimum_32f(const float* pSrc, int len, float* pMin);                          \
  spStatus spSquare_32f(const float* pSrc, float* pDst, int len);                           \
  spStatus spMinElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len);         \
  spStatus spMaxElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len);

// Element-wise arithmetic: a generic body, an SSE3 body, and one body that the SSSE3
// and SSE4.1-class slots share (built in sp::ssse3).
#define SP_VECMATH_ARITH_BODIES                                                             \
  spStatus spMultiplyInPlace_32f(const float* pSrc, float* pSrcDst, int len);               \
  /* pDst[k] = pSrc1[k] + pSrc2[k] */                                                       \
  spStatus spAdd_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);         \
  /* pDst[k] = pSrc2[k] - pSrc1[k]: the second source minus the first */                    \
  spStatus spSubtract_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);    \
  spStatus spMultiply_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);

// Kernels of the processor builds. They check nothing: pointers valid, len >= 1. Any
// alignment is accepted, also addresses that are not a multiple of the element size.
// Complex elements are interleaved (real, imaginary) and len counts complex elements.
#define SP_VECMATH_KERNELS                                                                  \
  void spAbsoluteKernel_32f(const float* pSrc, float* pDst, int len);                       \
  void spAbsoluteKernel_64f(const double* pSrc, double* pDst, int len);                     \
  /* Saturating: the most negative value gives the most positive one. */                    \
  void spAbsoluteKernel_16s(const int16* pSrc, int16* pDst, int len);                       \
  void spAbsoluteKernel_32s(const int32* pSrc, int32* pDst, int len);                       \
  void spMaximumKernel_32f(const float* pSrc, int len, float* pMax);                        \
  void spMaximumKernel_64f(const double* pSrc, int len, double* pMax);                      \
  void spMaximumKernel_16s(const int16* pSrc, int len, int16* pMax);                        \
  void spMinimumKernel_32f(const float* pSrc, int len, float* pMin);                        \
  void spMinimumKernel_64f(const double* pSrc, int len, double* pMin);                      \
  void spMinimumKernel_16s(const int16* pSrc, int len, int16* pMin);                        \
  void spSquareKernel_32f(const float* pSrc, float* pDst, int len);                         \
  void spSquareKernel_64f(const double* pSrc, double* pDst, int len);                       \
  void spSquareKernel_32fc(const float* pSrc, float* pDst, int len);                        \
  void spSquareKernel_64fc(const double* pSrc, double* pDst, int len);                      \
  void spMinElementwiseKernel_32f(const float* pSrc, float* pSrcDst, int len);              \
  void spMaxElementwiseKernel_32f(const float* pSrc, float* pSrcDst, int len);              \
  /* Nonzero when an element compared below zero. Both set and restore MXCSR. */            \
  int spSquareRootKernel_32f(const float* pSrc, float* pDst, int len);                      \
  int spSquareRootKernel_64f(const double* pSrc, double* pDst, int len);

// Exponential, logarithm, sum, mean and dot product: a body in every processor build.
#define SP_VECMATH_EXPLOG_REDUCE_BODIES                                                     \
  spStatus spExponentialInPlace_32f(float* pSrcDst, int len);                               \
  spStatus spNaturalLogInPlace_32f(float* pSrcDst, int len);                                \
  spStatus spSum_32f(const float* pSrc, int len, float* pSum, int hint);                    \
  spStatus spMean_32f(const float* pSrc, int len, float* pMean, int hint);                  \
  spStatus spDotProduct_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult);

// Their kernels. len of 0 or below is no work.
#define SP_VECMATH_EXPLOG_REDUCE_KERNELS                                                    \
  /* pSrc may be pDst. Clears the MXCSR exception flags other than precision. */           \
  void spExponentialKernel_32f(const float* pSrc, float* pDst, int len);                    \
  /* 0, or 2 / 4 by the first zero / negative element. pBuffer: 8 * len bytes, 16-aligned */ \
  int spNaturalLogKernel_32f(float* pSrcDst, int len, void* pBuffer);                       \
  int spNaturalLogOutOfPlaceKernel_32f(const float* pSrc, float* pDst, int len, void* pBuffer); \
  int spNaturalLogKernel_64f(const double* pSrc, double* pDst, int len);                    \
  int spNaturalLogKernel_64f32f(const double* pSrc, float* pDst, int len);                  \
  /* Scaled: q ln x rounded in the caller's mode and saturated; q = *pScale or      */    \
  /* 2^-scaleFactor. Zero and negative elements give the most negative value.      */    \
  int spNaturalLogKernelScaled_32s(const int32* pSrc, int32* pDst, int len, const float* pScale, void* pBuffer); \
  int spNaturalLogInPlaceKernelScaled_32s(int32* pSrcDst, int len, const float* pScale, void* pBuffer); \
  int spNaturalLogKernelScaled_32s16s(const int32* pSrc, int16* pDst, int len, int scaleFactor, void* pBuffer); \
  int spNaturalLogKernelScaled_16s(const int16* pSrc, int16* pDst, int len, int scaleFactor, void* pBuffer); \
  int spNaturalLogInPlaceKernelScaled_16s(int16* pSrcDst, int len, int scaleFactor, void* pBuffer); \
  /* *pScale = the float with bits 0x3F800000 - scaleFactor * 2^23 (wrapping). */          \
  void spScaleFromFactor_32f(int scaleFactor, float* pScale);                               \
  void spSumFastKernel_32f(const float* pSrc, int len, double* pSum);                       \
  void spSumAccurateKernel_32f(const float* pSrc, int len, double* pSum);                   \
  /* hint 1 the fast sum, else the accurate one; rounded to float. */                       \
  double spSumKernel_32f(const float* pSrc, int len, int hint);                             \
  float spMeanKernel_32f(const float* pSrc, int len, int hint);                             \
  /* Complex sums write (re, im). The 16-bit sums are exact. */                             \
  void spSumFastKernel_32fc(const float* pSrc, int len, double* pSum);                      \
  void spSumAccurateKernel_32fc(const float* pSrc, int len, double* pSum);                  \
  void spSumKernel_64f(const double* pSrc, int len, double* pSum);                          \
  void spSumKernel_64fc(const double* pSrc, int len, double* pSum);                         \
  void spSumKernel_16s64f(const int16* pSrc, double* pSum, int len);                        \
  void spSumKernel_16sc64fc(const int16* pSrc, double* pSum, int len);                      \
  /* *pValue * 2^-scaleFactor saturated to 32 bits, in the caller's rounding mode. */       \
  int32 spConvertScaledKernel_64f32s(const double* pValue, int scaleFactor);                \
  void spConvertScaledKernel_64fc32sc(const double* pValue, int32* pDst, int scaleFactor);  \
  void spDotProductKernelSse3_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult); \
  /* Sums of products, no conjugation; pSrc1 is the real vector of a mixed pair. */        \
  void spDotProductKernel_32f64f(const float* pSrc1, const float* pSrc2, int len, double* pResult); \
  void spDotProductKernel_32f32fc64fc(const float* pSrc1, const float* pSrc2, int len, double* pResult); \
  void spDotProductKernel_32fc64fc(const float* pSrc1, const float* pSrc2, int len, double* pResult); \
  void spDotProductKernel_32f32fc(const float* pSrc1, const float* pSrc2, int len, float* pResult); \
  void spDotProductKernel_32fc(const float* pSrc1, const float* pSrc2, int len, float* pResult); \
  void spDotProductKernel_64f(const double* pSrc1, const double* pSrc2, int len, double* pResult); \
  void spDotProductKernel_64f64fc(const double* pSrc1, const double* pSrc2, int len, double* pResult); \
  void spDotProductKernel_64fc(const double* pSrc1, const double* pSrc2, int len, double* pResult); \
  /* Scaled: the double sum times *pScale, ties to even, saturated to 32 bits. */          \
  void spDotProductKernelScaled_32s(const int32* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale); \
  void spDotProductKernelScaled_32s32sc(const int32* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale); \
  void spDotProductKernelScaled_32sc(const int32* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale); \
  void spDotProductKernelScaled_16s32s(const int16* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale); \
  /* Exact 64-bit sums. */                                                                  \
  void spDotProductKernelSse2_16s64s(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult); \
  void spDotProductKernelSse3_16s64s(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult); \
  void spDotProductKernel_16s16sc64sc(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult); \
  void spDotProductKernel_16sc64sc(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult);

// The square-root module's complex and integer members (no entry calls them). len of 0
// or below is no work; integer results are rounded to nearest, ties to even, and
// saturated; the signed kernels store 0 for a negative element and return nonzero.
#define SP_VECMATH_ROOT_KERNELS                                                             \
  /* Principal square roots of complex vectors; pSrc may be pDst. */                       \
  void spSquareRootKernel_32fc(const float* pSrc, float* pDst, int len);                    \
  void spSquareRootKernel_64fc(const double* pSrc, double* pDst, int len);                  \
  int spSquareRootKernelScaled_16s(const int16* pSrc, int16* pDst, int len, int scaleFactor); \
  int spSquareRootKernelScaled_32s16s(const int32* pSrc, int16* pDst, int len, int scaleFactor); \
  int spSquareRootKernelScaled_64s16s(const int64* pSrc, int16* pDst, int len, int scaleFactor); \
  int spSquareRootKernelScaled_64s(const int64* pSrc, int64* pDst, int len, int scaleFactor); \
  void spSquareRootKernelScaled_16u(const uint16* pSrc, uint16* pDst, int len, int scaleFactor); \
  /* Complex 16-bit: |z| rounded, then the roots of ceil((M +- x) / 2). */                  \
  void spSquareRootKernel_16sc(const int16* pSrc, int16* pDst, int len);                    \
  /* Complex 16-bit scaled, in double, converted in the caller's rounding mode. */          \
  void spSquareRootKernelScaled_16sc(const int16* pSrc, int16* pDst, int len, int scaleFactor); \
  void spSquareRootFastKernelScaled_16sc(const int16* pSrc, int16* pDst, int len, int scaleFactor); \
  /* pDst[i] = pTable[pSrc[i]] with a 256-byte table. */                                    \
  void spLookupKernel_8u(const uint8* pSrc, uint8* pDst, int len, const uint8* pTable);

// The SSSE3 and SSE4.1-class builds also read misaligned operands by byte alignment.
#define SP_VECMATH_SSSE3_KERNELS                                                            \
  void spDotProductKernelSsse3_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult);

// The element-wise arithmetic kernels (slot 1 in sp::sse3, slots 2 and 3 in sp::ssse3).
#define SP_VECMATH_ARITH_KERNELS                                                            \
  void spMultiplyInPlaceKernel_32f(const float* pSrc, float* pSrcDst, int len);             \
  void spAddKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);       \
  void spSubtractKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);  \
  void spMultiplyKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);  \
  /* True when spAddKernel_32f and spSubtractKernel_32f write this destination with    */  \
  /* non-temporal stores: 16-byte aligned blocks past the head, 10923 blocks or more.  */  \
  bool spArithmeticStreams(const float* pDst, int len);

namespace sp::generic {
SP_VECMATH_BODIES
SP_VECMATH_ARITH_BODIES
// One body in every slot.
spStatus spMultiplyAccumulate_32f(const float* pSrc1, const float* pSrc2, float* pSrcDst, int len);
// pDst[k] = pSrc2[k] / pSrc1[k]; a zero divisor gives an infinity or NaN and warning 6.
spStatus spDivide_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);
spStatus spExponentialInPlace_32f(float* pSrcDst, int len);
// Warning 7 or 8 by the first zero or negative element.
spStatus spNaturalLogInPlace_32f(float* pSrcDst, int len);
// hint selects the summation kernel of the processor builds; the generic build ignores it.
spStatus spSum_32f(const float* pSrc, int len, float* pSum, int hint);
spStatus spMean_32f(const float* pSrc, int len, float* pMean, int hint);
spStatus spDotProduct_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult);
// The dot product's computation; stores the result in *pResult.
void spDotProductKernel_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult);
}  // namespace sp::generic

namespace sp::sse3 {
SP_VECMATH_BODIES
SP_VECMATH_EXPLOG_REDUCE_BODIES
SP_VECMATH_EXPLOG_REDUCE_KERNELS
SP_VECMATH_ROOT_KERNELS
SP_VECMATH_ARITH_BODIES
SP_VECMATH_KERNELS
SP_VECMATH_ARITH_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_VECMATH_BODIES
SP_VECMATH_EXPLOG_REDUCE_BODIES
SP_VECMATH_EXPLOG_REDUCE_KERNELS
SP_VECMATH_ROOT_KERNELS
SP_VECMATH_SSSE3_KERNELS
SP_VECMATH_ARITH_BODIES
SP_VECMATH_KERNELS
SP_VECMATH_ARITH_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_VECMATH_BODIES
SP_VECMATH_EXPLOG_REDUCE_BODIES
SP_VECMATH_EXPLOG_REDUCE_KERNELS
SP_VECMATH_ROOT_KERNELS
SP_VECMATH_SSSE3_KERNELS
SP_VECMATH_KERNELS
}  // namespace sp::sse41

#include "sp/vecmath_divide.h"
