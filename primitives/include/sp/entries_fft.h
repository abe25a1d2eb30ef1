// Public entries of the FFT engine (second dispatch group, entries 7-9 and 26-29). Each
// reads spDispatchIndex and runs the body of that build with its arguments untouched.
#pragma once

#include "sp/fft.h"

// Complex records and the forward complex transform.
spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint);
spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec);
spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer);

// Real records and the in-place real transforms (packed real spectrum).
spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint);
spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec);
spStatus spFftForwardRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer);
spStatus spFftInverseRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer);
