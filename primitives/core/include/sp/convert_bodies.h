// Bodies of the conversion and power primitives, one set per build (sp::generic,
// sp::sse3, sp::ssse3, sp::sse41), and the vector conversion kernels of the three
// processor builds. The public entries dispatch to the bodies; a body calls only the
// kernels of its own build.
#pragma once

#include "sp/base.h"

#define SP_CONVERT_BODIES                                                                    \
  spStatus spConvert_32f16s(const float* pSrc, int16* pDst, int len, int roundMode,         \
                            int scaleFactor);                                               \
  spStatus spConvert_32f32s(const float* pSrc, int32* pDst, int len, int roundMode,         \
                            int scaleFactor);                                               \
  spStatus spConvert_16s32f(const int16* pSrc, float* pDst, int len, int scaleFactor);      \
  spStatus spConvert_24s32f(const uint8* pSrc, float* pDst, int len);                       \
  spStatus spConvert_32f24s(const float* pSrc, uint8* pDst, int len, int scaleFactor);      \
  spStatus spConvert_32s32f(const int32* pSrc, float* pDst, int len);                       \
  spStatus spPower_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len);       \
  /* pDst[i] from the IEEE special values or in double precision; may set *pStatus. */     \
  void spPowerSpecialCase_32f(const float* pSrc1, const float* pSrc2, float* pDst, int i,   \
                              spStatus* pStatus);                                           \
  /* One double operation that raises a floating-point flag (19 invalid, 18 divide by */   \
  /* zero, 12 overflow, 17 underflow; any other selector: nothing). */                     \
  void spRaiseFloatException(int selector);

// Kernels of the processor builds. They check nothing: valid pointers, len >= 1, and
// they touch nothing outside the len elements of either array.
#define SP_CONVERT_KERNELS                                                                   \
  /* Integer to float and double. */                                                        \
  void spConvertKernel_8s32f(const int8* pSrc, float* pDst, int len);                       \
  void spConvertKernel_8u32f(const uint8* pSrc, float* pDst, int len);                      \
  void spConvertKernel_16s32f(const int16* pSrc, float* pDst, int len);                     \
  void spConvertKernel_16u32f(const uint16* pSrc, float* pDst, int len);                    \
  void spConvertKernel_32s64f(const int32* pSrc, double* pDst, int len);                    \
  void spConvertKernel_32s32f(const int32* pSrc, float* pDst, int len);                     \
  /* pDst[i] = float(pSrc[i]) * *pFactor. */                                                \
  void spConvertScaledKernel_16s32f(const int16* pSrc, float* pDst, int len,                \
                                    const float* pFactor);                                  \
  void spConvertKernel_16s64f(const int16* pSrc, double* pDst, int len);                    \
  void spConvertScaledKernel_16s64f(const int16* pSrc, double* pDst, int len,               \
                                    const double* pFactor);                                 \
  void spConvertKernel_32f64f(const float* pSrc, double* pDst, int len);                    \
  /* Clamped to the finite single range, converted by the current rounding. */             \
  void spConvertKernel_64f32f(const double* pSrc, float* pDst, int len);                    \
  /* Float to integer: round mode 0 toward zero, 1 nearest even; x * 2^-scaleFactor. */    \
  void spConvertKernel_32f8s(const float* pSrc, int8* pDst, int len, int roundMode,         \
                             int scaleFactor);                                              \
  void spConvertKernel_32f8u(const float* pSrc, uint8* pDst, int len, int roundMode,        \
                             int scaleFactor);                                              \
  void spConvertKernel_32f16s(const float* pSrc, int16* pDst, int len, int roundMode,       \
                              int scaleFactor);                                             \
  void spConvertKernel_32f16u(const float* pSrc, uint16* pDst, int len, int roundMode,      \
                              int scaleFactor);                                             \
  void spConvertKernel_32f32s(const float* pSrc, int32* pDst, int len, int roundMode,       \
                              int scaleFactor);                                             \
  void spConvertKernel_64f32s(const double* pSrc, int32* pDst, int len, int roundMode,      \
                              int scaleFactor);                                             \
  /* Float to integer, to nearest with ties away from zero. */                             \
  void spConvertAwayKernel_32f8s(const float* pSrc, int8* pDst, int len, int scaleFactor);  \
  void spConvertAwayKernel_32f8u(const float* pSrc, uint8* pDst, int len, int scaleFactor); \
  void spConvertAwayKernel_32f16s(const float* pSrc, int16* pDst, int len,                  \
                                  int scaleFactor);                                         \
  void spConvertAwayKernel_32f16u(const float* pSrc, uint16* pDst, int len,                 \
                                  int scaleFactor);                                         \
  void spConvertAwayKernel_32f32s(const float* pSrc, int32* pDst, int len,                  \
                                  int scaleFactor);                                         \
  void spConvertAwayKernel_64f32s(const double* pSrc, int32* pDst, int len,                 \
                                  int scaleFactor);                                         \
  /* Packed 24-bit samples (3 bytes, little-endian). */                                    \
  void spConvertKernel_24s32f(const uint8* pSrc, float* pDst, int len);                     \
  void spConvertKernel_24s32s(const uint8* pSrc, int32* pDst, int len);                     \
  /* Nearest even, saturating, NaN gives 0; rounds to nearest whatever the caller's */     \
  /* MXCSR rounding. */                                                                     \
  void spConvertKernel_32f24s(const float* pSrc, uint8* pDst, int len);                     \
  void spConvertScaledKernel_32f24s(const float* pSrc, uint8* pDst, int len,                \
                                    int scaleFactor);                                       \
  void spConvertKernel_32s24s(const int32* pSrc, uint8* pDst, int len);                     \
  /* x * 2^-scaleFactor rounded half to even, saturated; scaleFactor 1..32. */             \
  void spConvertScaleDownKernel_32s24s(const int32* pSrc, uint8* pDst, int len,             \
                                       int scaleFactor);                                    \
  /* x * 2^shift saturated; shift 0..31. */                                                 \
  void spConvertScaleUpKernel_32s24s(const int32* pSrc, uint8* pDst, int len, int shift);   \
  /* Half precision (16f) through integer operations on bit patterns. */                   \
  void spConvertKernel_16s16f(const int16* pSrc, uint16* pDst, int len, int roundMode);     \
  void spConvertKernel_16f16s(const uint16* pSrc, int16* pDst, int len, int roundMode,      \
                              int scaleFactor);                                             \
  void spConvertKernel_16f32f(const uint16* pSrc, float* pDst, int len);                    \
  void spConvertKernel_32f16f(const float* pSrc, uint16* pDst, int len, int roundMode);     \
  /* x / 2^scaleFactor rounded half away from zero, saturated; scaleFactor 1..32. */       \
  void spConvertShiftKernel_64s32s(const int64* pSrc, int32* pDst, int len, int scaleFactor);

namespace sp::generic {
SP_CONVERT_BODIES
spStatus spConvertScaled_32s32f(const int32* pSrc, float* pDst, int len, int scaleFactor);
}  // namespace sp::generic

namespace sp::sse3 {
SP_CONVERT_BODIES
SP_CONVERT_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_CONVERT_BODIES
SP_CONVERT_KERNELS
// Second compilation of the generic body; fills slots 2 and 3 of its entry.
spStatus spConvertScaled_32s32f(const int32* pSrc, float* pDst, int len, int scaleFactor);
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_CONVERT_BODIES
SP_CONVERT_KERNELS
}  // namespace sp::sse41
