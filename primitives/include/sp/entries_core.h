// Public entries of the core primitives. Each reads spDispatchIndex and runs the body of
// that build with its arguments untouched.
#pragma once

#include "sp/base.h"

// First dispatch group.
spStatus spZero_32f(float* pDst, int len);
spStatus spAddInPlace_32f(const float* pSrc, float* pSrcDst, int len);
spStatus spDivConstInPlace_32f(float c, float* pSrcDst, int len);
spStatus spMove_32f(const float* pSrc, float* pDst, int len);
spStatus spMulConstInPlace_32f(float c, float* pSrcDst, int len);
spStatus spAddConstInPlace_32f(float c, float* pSrcDst, int len);
spStatus spInterleave_32f(const float* const* ppSrc, int numChannels, int len, float* pDst);
spStatus spDeinterleave_32f(const float* pSrc, int numChannels, int len, float* const* ppDst);

// Second dispatch group.
spStatus spCopy_32f(const float* pSrc, float* pDst, int len);
spStatus spSet_32f(float value, float* pDst, int len);
spStatus spMulConst_32f(const float* pSrc, float c, float* pDst, int len);
// A 32-byte aligned block of len floats, or null for len < 1 or allocation failure.
float* spAllocate_32f(int len);
// Releases a block of spAllocate_32f or spAllocateAligned; null is ignored.
void spFree(void* p);
