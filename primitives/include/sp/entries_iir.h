// Public entries of the IIR filter (first dispatch group, entries 17 to 19).
#pragma once

#include "sp/iir.h"

spStatus spIirFilterInPlace_32f(float* pSrcDst, int len, spIirState* pState);
spStatus spIirGetStateSize_32f(int order, int* pSize);
spStatus spIirInit_32f(spIirState** ppState, const float* pTaps, int order, const float* pDelay, uint8* pBuffer);
