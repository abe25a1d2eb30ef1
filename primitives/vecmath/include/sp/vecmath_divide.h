// The division module and the scaled-square kernels of the processor builds, and the
// division body that slots 1-3 run. Kernels check nothing beyond what is said here: a
// len of 0 or below is no work; otherwise the pointers are valid for len elements.
// Complex elements are interleaved (real, imaginary) and len counts complex elements.
// pDst may equal a source of the same element size. The first vector holds the
// divisors: pDst[k] = pSrc2[k] / pSrc1[k].
#pragma once

#include "sp/base.h"

#define SP_VECMATH_DIVIDE_KERNELS                                                                        \
  /* pDst[k] = pSrc2[k] / pSrc1[k]. Nonzero when a divisor was +0 or -0. */                              \
  spStatus spDivide_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);                  \
  int spDivideKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);                 \
  /* pDst[k] = *pVal / pSrc[k]. */                                                                       \
  int spDivideConstByVectorKernel_32f(const float* pSrc, const float* pVal, float* pDst, int len);      \
  /* Nonzero when a divisor was exactly 0 + 0i. */                                                       \
  int spDivideKernel_32fc(const float* pSrc1, const float* pSrc2, float* pDst, int len);                \
  int spDivideKernel_64f(const double* pSrc1, const double* pSrc2, double* pDst, int len);              \
  int spDivideKernel_64fc(const double* pSrc1, const double* pSrc2, double* pDst, int len);             \
  /* Integer quotients times 2^-scaleFactor, rounded to nearest (ties to even) and saturated, for */   \
  /* every scale factor. Nonzero when a divisor was zero. */                                             \
  int spDivideKernelScaled_32s(const int32* pSrc1, const int32* pSrc2, int32* pDst, int len, int scaleFactor); \
  int spDivideKernelScaled_16s(const int16* pSrc1, const int16* pSrc2, int16* pDst, int len, int scaleFactor); \
  int spDivideKernelScaled_16sc(const int16* pSrc1, const int16* pSrc2, int16* pDst, int len, int scaleFactor); \
  int spDivideKernelScaled_8u(const uint8* pSrc1, const uint8* pSrc2, uint8* pDst, int len, int scaleFactor); \
  int spDivideKernelScaled_32s16s(const int16* pSrc1, const int32* pSrc2, int16* pDst, int len, int scaleFactor); \
  /* pSrc[k] / val times 2^-scaleFactor; a val of 0 stores what a zero divisor stores in the */        \
  /* vector kernels. The 16sc constant holds the real part in its low 16 bits. */                       \
  void spDivideConstKernelScaled_16s(const int16* pSrc, int16 val, int16* pDst, int len, int scaleFactor); \
  void spDivideConstKernelScaled_16sc(const int16* pSrc, uint32 val, int16* pDst, int len, int scaleFactor); \
  void spDivideConstKernelScaled_8u(const uint8* pSrc, uint8 val, uint8* pDst, int len, int scaleFactor); \
  /* val / pSrc[k], rounded and saturated to 0..65535; a zero divisor stores 65535. */                  \
  int spDivideConstByVectorKernel_16u(const uint16* pSrc, uint16 val, uint16* pDst, int len);          \
  /* Squares times 2^-scaleFactor, rounded to nearest (ties to even) and saturated, for every */       \
  /* scale factor. */                                                                                    \
  void spSquareKernelScaled_8u(const uint8* pSrc, uint8* pDst, int len, int scaleFactor);              \
  void spSquareKernelScaled_16s(const int16* pSrc, int16* pDst, int len, int scaleFactor);             \
  void spSquareKernelScaled_16u(const uint16* pSrc, uint16* pDst, int len, int scaleFactor);           \
  void spSquareKernelScaled_16sc(const int16* pSrc, int16* pDst, int len, int scaleFactor);

namespace sp::sse3 {
SP_VECMATH_DIVIDE_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_VECMATH_DIVIDE_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_VECMATH_DIVIDE_KERNELS
}  // namespace sp::sse41
