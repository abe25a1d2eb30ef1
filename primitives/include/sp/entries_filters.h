// Public entries of the FIR filters (first dispatch group, entries 11 to 16).
#pragma once

#include "sp/fir.h"

spStatus spFirInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, const float* pDelayLine,
                       uint8* pBuffer);
spStatus spFirGetStateSize_32f(int32 tapsLen, uint32* pSize);
spStatus spFirMultirateInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, int32 upFactor,
                                int32 upPhase, int32 downFactor, int32 downPhase, const float* pDelayLine,
                                uint8* pBuffer);
spStatus spFirMultirateGetStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize);
// Single-rate states filter in place, and with an output that starts below its input
// inside it; an output that overlaps the input from above, or any overlap with a multirate
// state, gives SP_ERROR_OVERLAP with nothing written.
spStatus spFirFilter_32f(const float* pSrc, float* pDst, int32 numIters, spFirState* pState);
spStatus spFirFilterOneSample_32f(float sample, float* pResult, const float* pTaps, int32 tapsLen,
                                  float* pDelayLine, int32* pIndex);
