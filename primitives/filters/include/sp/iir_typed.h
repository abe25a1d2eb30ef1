// IIR kernels for 16-bit and 32-bit integer, double-precision and complex data, in the
// three processor builds, and the builders of the states and block tables they read.
// The kernels check nothing: the caller passes a state of the kernel's layout, an order
// of at least 1 for the feedback passes and lines long enough for the counts.
//
// Integer outputs are y * 2^-scaleFactor rounded to the nearest integer (ties to even)
// and saturated; a NaN writes 0. Scale factors beyond the range where the written value
// stops changing act as the range's end, so any factor is safe.
#pragma once

#include "sp/iir.h"

struct spComplex16s {
  int16 re, im;
};
struct spComplex32s {
  int32 re, im;
};
struct spComplex32f {
  float re, im;
};
struct spComplex64f {
  double re, im;
};

// Working data of a typed state: real double, complex single, complex double.
enum spIirDataKind : int32 {
  SP_IIR_DATA_64F = 1,
  SP_IIR_DATA_32FC = 2,
  SP_IIR_DATA_64FC = 3,
};

#define SP_IIR_TYPED_KERNELS                                                                           \
  /* One-sample steps, single precision. */                                                           \
  void spIirSampleBiquadCascade_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor); \
  void spIirSampleArbitraryOrder_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor); \
  void spIirSampleArbitraryOrderRaw_16s(const int16* pSrc, int16* pDst, float* pRaw, spIirState* pState, \
                                        int32 scaleFactor);                                           \
  void spIirSampleArbitraryOrder_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState); \
  void spIirSampleBiquadCascade_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState); \
  void spIirSampleArbitraryOrder_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState, \
                                      int32 scaleFactor);                                             \
  void spIirSampleArbitraryOrderRaw_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spComplex32f* pRaw, \
                                         spIirState* pState, int32 scaleFactor);                      \
  void spIirSampleBiquadCascade_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState, \
                                     int32 scaleFactor);                                              \
  /* One-sample steps, double precision, real data. */                                               \
  void spIirSampleBiquadCascade_64f(const double* pSrc, double* pDst, spIirState* pState);           \
  void spIirSampleBiquadCascade64f_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor); \
  void spIirSampleBiquadCascade64f_32s(const int32* pSrc, int32* pDst, spIirState* pState, int32 scaleFactor); \
  void spIirSampleBiquadCascade64f_32f(const float* pSrc, float* pDst, spIirState* pState);          \
  void spIirSampleArbitraryOrder_64f(const double* pSrc, double* pDst, spIirState* pState);          \
  void spIirSampleArbitraryOrder64f_32s(const int32* pSrc, int32* pDst, spIirState* pState, int32 scaleFactor); \
  void spIirSampleArbitraryOrderRaw64f_32s(const int32* pSrc, int32* pDst, double* pRaw, spIirState* pState, \
                                           int32 scaleFactor);                                        \
  void spIirSampleArbitraryOrder64f_16s(const int16* pSrc, int16* pDst, spIirState* pState, int32 scaleFactor); \
  void spIirSampleArbitraryOrderRaw64f_16s(const int16* pSrc, int16* pDst, double* pRaw, spIirState* pState, \
                                           int32 scaleFactor);                                        \
  void spIirSampleArbitraryOrder64f_32f(const float* pSrc, float* pDst, spIirState* pState);         \
  void spIirSampleArbitraryOrderRaw64f_32f(const float* pSrc, float* pDst, double* pRaw, spIirState* pState); \
  /* One-sample steps, double precision, complex data. */                                            \
  void spIirSampleArbitraryOrder_64fc(const spComplex64f* pSrc, spComplex64f* pDst, spIirState* pState); \
  void spIirSampleBiquadCascade_64fc(const spComplex64f* pSrc, spComplex64f* pDst, spIirState* pState); \
  void spIirSampleArbitraryOrder64f_32sc(const spComplex32s* pSrc, spComplex32s* pDst, spIirState* pState, \
                                         int32 scaleFactor);                                          \
  void spIirSampleArbitraryOrderRaw64f_32sc(const spComplex32s* pSrc, spComplex32s* pDst, spComplex64f* pRaw, \
                                            spIirState* pState, int32 scaleFactor);                   \
  void spIirSampleBiquadCascade64f_32sc(const spComplex32s* pSrc, spComplex32s* pDst, spIirState* pState, \
                                        int32 scaleFactor);                                           \
  void spIirSampleArbitraryOrder64f_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState, \
                                         int32 scaleFactor);                                          \
  void spIirSampleArbitraryOrderRaw64f_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spComplex64f* pRaw, \
                                            spIirState* pState, int32 scaleFactor);                   \
  void spIirSampleBiquadCascade64f_16sc(const spComplex16s* pSrc, spComplex16s* pDst, spIirState* pState, \
                                        int32 scaleFactor);                                           \
  void spIirSampleArbitraryOrder64f_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState); \
  void spIirSampleArbitraryOrderRaw64f_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spComplex64f* pRaw, \
                                            spIirState* pState);                                      \
  void spIirSampleBiquadCascade64f_32fc(const spComplex32f* pSrc, spComplex32f* pDst, spIirState* pState); \
  /* Block passes: feed-forward values into a line, then outputs four at a time. */                  \
  void spIirBiquadBlockFeedForward_16s(const int16* pSrc, float* pDst, int64 len, const float* pNumeratorVectors); \
  void spIirBiquadBlockFeedback_16s(const float* pFeedForward, float* pLine, int64 len,               \
                                    const float* pFeedbackVectors, int16* pDst, int32 scaleFactor);   \
  void spIirBlockFeedForward_16s(const int16* pSrc, float* pDst, int64 len, const float* pNumeratorVectors, \
                                 int32 order);                                                        \
  void spIirBlockFeedback_16s(const float* pFeedForward, float* pLine, int64 len, const float* pFeedbackVectors, \
                              int32 order, int16* pDst, int32 scaleFactor);                           \
  void spIirBlockFeedForward_32fc(const spComplex32f* pSrc, spComplex32f* pDst, int64 len,           \
                                  const float* pNumeratorVectors, int32 order);                       \
  void spIirBlockFeedback_32fc(const spComplex32f* pFeedForward, spComplex32f* pLine, int64 len,     \
                               const float* pFeedbackVectors, int32 order);                           \
  void spIirBlockFeedForward_16sc(const spComplex16s* pSrc, spComplex32f* pDst, int64 len,           \
                                  const float* pNumeratorVectors, int32 order);                       \
  void spIirBlockFeedback_16sc(const spComplex32f* pFeedForward, spComplex32f* pLine, int64 len,     \
                               const float* pFeedbackVectors, int32 order, spComplex16s* pDst, int32 scaleFactor);

namespace sp::generic {

// States of the typed kernels, laid out in a caller buffer like the float state. The
// taps are those of the kind's data: arbitrary order (tag SP_IIR_ARBITRARY_ORDER_TAG,
// count = n >= 0): b0..bn, a0..an, divided by a0 at set-up; biquad cascade
// (SP_IIR_BIQUAD_TAG, count = S >= 1 sections): b0 b1 b2 a1 a2 per section, a0 = 1.
// pDelay: n values z0..z(n-1), or d0 d1 per section; null for a zero start. The set-up
// fills the plain taps and every arranged layout the kernels of the kind read.
// Errors: null pointers -8, bad kind -17, bad count or a size past 32 bits -25, zero a0
// -10; nothing is written on error.
spStatus spIirTypedGetStateSize(spIirDataKind kind, uint32 tag, int count, int* pSize);
spStatus spIirTypedInit(spIirDataKind kind, uint32 tag, spIirState** ppState, const void* pTaps, int count,
                        const void* pDelay, uint8* pBuffer);

// Block tables of the complex single-precision passes for the taps b0..bn, a0..an of
// order n >= 1: (n + 1) * 8 numerator floats and (n + 1) * 16 feedback floats, both
// 16-byte aligned. -8 for a null pointer, -25 for n < 1, -10 for a zero a0.
spStatus spIirComplexBlockTables_32fc(const spComplex32f* pTaps, int order, float* pNumeratorVectors,
                                      float* pFeedbackVectors);

}  // namespace sp::generic

namespace sp::sse3 {
SP_IIR_TYPED_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_IIR_TYPED_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_IIR_TYPED_KERNELS
}  // namespace sp::sse41
