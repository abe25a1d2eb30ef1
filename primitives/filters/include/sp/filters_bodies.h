// Bodies of the filter primitives for the dispatch tables. The single-rate and one-sample
// FIR filters, the multirate FIR and the IIR filter have all four builds.
#pragma once

#include "sp/fir.h"
#include "sp/iir.h"

struct spComplex32f;

// The FIR bodies of a processor build: the generic arguments, checks and statuses. A
// state is laid out by one build (four-fold repeated taps and that build's FFT record, or
// per-output sparse taps) and every other build's filter refuses it (SP_ERROR_WRONG_RECORD).
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
                                       spComplex32f* pDelayLine, int32* pIndex);                       \
  /* The multirate state, size query and filter of the build (sparse taps per output). */            \
  spStatus spFirMultirateGetStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor,             \
                                          uint32* pSize);                                              \
  spStatus spFirMultirateDenseStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor,           \
                                            uint32* pSize);                                            \
  spStatus spFirMultirateSparseStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor,          \
                                             uint32* pSize);                                           \
  spStatus spFirMultirateInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen,             \
                                  int32 upFactor, int32 upPhase, int32 downFactor, int32 downPhase,    \
                                  const float* pDelayLine, uint8* pBuffer);                            \
  spFirMultirateState* spFirMultirateBuildDenseState_32f(                                              \
      const float* pTaps, int32 tapsLen, int32 upFactor, int32 upPhase, int32 downFactor,              \
      int32 downPhase, const float* pDelayLine, spStatus* pStatus, uint8* pBuffer, uint32 tag);        \
  spFirMultirateState* spFirMultirateBuildSparseState_32f(                                             \
      const float* pTaps, int32 tapsLen, int32 upFactor, int32 upPhase, int32 downFactor,              \
      int32 downPhase, const float* pDelayLine, spStatus* pStatus, uint8* pBuffer, uint32 tag);        \
  spStatus spFirFilterMultirate_32f(spFirMultirateState* pState, const float* pSrc, float* pDst,       \
                                    int32 numIters);                                                   \
  /* Polyphase kernels: count outputs (whole periods) from line; each returns the base    */          \
  /* (decimation: the position) after its last group.                                      */          \
  int64 spFirMultirateStepTableKernel_32f(const float* pCoefficients, const float* pLine, float* pDst, \
                                          int32 count, const int32* pTable, const int32* pTableEnd,    \
                                          int64 base, int32 windowLen);                                \
  int64 spFirMultirateDecimateKernel_32f(const float* pCoefficients, const float* pLine, float* pDst,  \
                                         int32 count, int64 position, int32 windowLen, int32 stride);  \
  int64 spFirMultirateOffsetTableKernel_32f(const float* pCoefficients, const float* pLine,            \
                                            float* pDst, int32 count, const int32* pTable,             \
                                            const int32* pTableEnd, int64 base, int32 windowLen);

namespace sp::sse3 {
SP_FIR_PROCESSOR_BODIES
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_FIR_PROCESSOR_BODIES
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_FIR_PROCESSOR_BODIES
}  // namespace sp::sse41
