// Entries of the FIR filters.
#include "entry.h"
#include "sp/entries_filters.h"
#include "sp/filters_bodies.h"

spStatus spFirInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, const float* pDelayLine,
                       uint8* pBuffer) {
  return SP_ENTRY(1, spFirInit_32f)(ppState, pTaps, tapsLen, pDelayLine, pBuffer);
}

spStatus spFirGetStateSize_32f(int32 tapsLen, uint32* pSize) {
  return SP_ENTRY(1, spFirGetStateSize_32f)(tapsLen, pSize);
}

spStatus spFirMultirateInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, int32 upFactor,
                                int32 upPhase, int32 downFactor, int32 downPhase, const float* pDelayLine,
                                uint8* pBuffer) {
  return SP_ENTRY(1, spFirMultirateInit_32f)(ppState, pTaps, tapsLen, upFactor, upPhase, downFactor, downPhase,
                                             pDelayLine, pBuffer);
}

spStatus spFirMultirateGetStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize) {
  return SP_ENTRY(1, spFirMultirateGetStateSize_32f)(tapsLen, upFactor, downFactor, pSize);
}

spStatus spFirFilter_32f(const float* pSrc, float* pDst, int32 numIters, spFirState* pState) {
  return SP_ENTRY(1, spFirFilter_32f)(pSrc, pDst, numIters, pState);
}

spStatus spFirFilterOneSample_32f(float sample, float* pResult, const float* pTaps, int32 tapsLen,
                                  float* pDelayLine, int32* pIndex) {
  return SP_ENTRY(1, spFirFilterOneSample_32f)(sample, pResult, pTaps, tapsLen, pDelayLine, pIndex);
}
