// FIR kernels for complex single-precision samples in the three processor builds: a
// direct-form block kernel on prepared taps and a polyphase kernel on two coefficient
// planes; and the generic builders of those layouts. The kernels check nothing.
#pragma once

#include "sp/iir_typed.h"

#define SP_FIR_COMPLEX_KERNELS                                                                        \
  /* Output j (0..count-1) = sum over m < T of h[m] * pSrc[j + T - 1 - m]; returns T. */             \
  int spFirDirectBlockKernel_32fc(const float* pPreparedTaps, const spComplex32f* pSrc, spComplex32f* pDst, \
                                  int count, int T);                                                 \
  /* count (even) outputs, two per round, each the dot product of a window of windowLen */          \
  /* line samples with a coefficient row; see fir_complex.inl. Returns the final position */         \
  /* in complex samples. */                                                                          \
  int64 spFirMultirateKernel_32fc(const float* pCoefficients, const spComplex32f* pLine, spComplex32f* pDst, \
                                  int count, const int32* pSteps, int G, int64 start, int windowLen, int R);

namespace sp::generic {

// Prepared taps of the direct kernel: per tap a + ib, (a, a, a, a) then (-b, b, -b, b);
// 8 * T floats at a 16-byte aligned pPrepared. -8 for a null pointer, -26 for T < 1.
spStatus spFirPrepareComplexTaps_32fc(const spComplex32f* pTaps, int T, float* pPrepared);

// Coefficient planes of the polyphase kernel from rows * R taps (row-major): each tap
// a + ib as (a, -b) in the first plane and (b, a) in the second, which starts
// 4 * G * R entries (8 * G * R floats) after the first; rows = 4 * G. -8 for a null
// pointer, -26 for G or R below 1.
spStatus spFirComplexCoefficientPlanes_32fc(const spComplex32f* pRows, int G, int R, float* pCoefficients);

}  // namespace sp::generic

namespace sp::sse3 {
SP_FIR_COMPLEX_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_FIR_COMPLEX_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_FIR_COMPLEX_KERNELS
}  // namespace sp::sse41
