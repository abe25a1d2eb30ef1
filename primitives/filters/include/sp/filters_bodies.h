// Bodies of the filter primitives for the dispatch tables. The single-rate and one-sample
// FIR filters and the IIR filter have all four builds; the multirate FIR set-up has the
// generic build only, whose multirate states every build's FIR filter accepts.
#pragma once

#include "sp/fir.h"
#include "sp/iir.h"

struct spComplex32f;

// The FIR bodies of a processor build: the generic arguments, checks and statuses. A
// single-rate state is laid out by one build (four-fold repeated taps, that build's FFT
// record) and every other build's filter refuses it with SP_ERROR_WRONG_RECORD.
#define SP_FIR_PROCESSOR_BODIES                                                                        \
  spStatus spFirGetStateSize_32f(int32 tapsLen, uint32* pSize);                                        \
  spStatus spFirComputeStateSize_32f(int32 tapsLen, uint32* pSize);                                    \
  spStatus spFirInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen,                      \
                         const float* pDelayLine, uint8* pBuffer);                                     \
  spStatus spFirBuildState_32f(spFirState** ppState, const float* pTaps, int32 tapsLen,                \
                               const float* pDelayLine, uint8* pBuffer, uint32 tag);                   \
  spStatus spFirFilter_32f(const float* pSrc, float* pDst, int32 numIters, spFirState* pState);        \
  spStatus spFirFilterOneSample_32f(float sample, float* pResult, const float* pTaps, int32 tapsLen,   \
                                    float* pDelayLine, int32* pIndex);                                 \
  /* pDst[n] = sum over j of h[tapsLen-1-j] * pSrc[n+j], n < count; h four-fold repeated. */          \
  void spFirDirectBlockKernel_32f(const float* pTapsRepeated, const float* pSrc, float* pDst,          \
                                  int32 count, int32 tapsLen);                                         \
  /* The one-sample filter without checks, and its complex twin. */                                   \
  void spFirFilterOneSampleKernel_32f(const float* pX, float* pDst, const float* pTaps,                \
                                      int32 tapsLen, float* pDelayLine, int32* pIndex);                \
  void spFirFilterOneSampleKernel_32fc(const spComplex32f* pX, spComplex32f* pDst,                     \
                                       const spComplex32f* pTaps, int32 tapsLen,                       \
                                       spComplex32f* pDelayLine, int32* pIndex);

namespace sp::sse3 {
SP_FIR_PROCESSOR_BODIES
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_FIR_PROCESSOR_BODIES
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_FIR_PROCESSOR_BODIES
}  // namespace sp::sse41
