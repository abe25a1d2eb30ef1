// Entries of the core primitives.
#include "entry.h"
#include "sp/core_bodies.h"
#include "sp/entries_core.h"

spStatus spZero_32f(float* pDst, int len) { return SP_ENTRY(1, spZero_32f)(pDst, len); }

spStatus spAddInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  return SP_ENTRY(1, spAddInPlace_32f)(pSrc, pSrcDst, len);
}

spStatus spDivConstInPlace_32f(float c, float* pSrcDst, int len) {
  return SP_ENTRY(1, spDivConstInPlace_32f)(c, pSrcDst, len);
}

spStatus spMove_32f(const float* pSrc, float* pDst, int len) {
  return SP_ENTRY(1, spMove_32f)(pSrc, pDst, len);
}

spStatus spMulConstInPlace_32f(float c, float* pSrcDst, int len) {
  return SP_ENTRY(1, spMulConstInPlace_32f)(c, pSrcDst, len);
}

spStatus spAddConstInPlace_32f(float c, float* pSrcDst, int len) {
  return SP_ENTRY(1, spAddConstInPlace_32f)(c, pSrcDst, len);
}

spStatus spInterleave_32f(const float* const* ppSrc, int numChannels, int len, float* pDst) {
  return SP_ENTRY(1, spInterleave_32f)(ppSrc, numChannels, len, pDst);
}

spStatus spDeinterleave_32f(const float* pSrc, int numChannels, int len, float* const* ppDst) {
  return SP_ENTRY(1, spDeinterleave_32f)(pSrc, numChannels, len, ppDst);
}

spStatus spCopy_32f(const float* pSrc, float* pDst, int len) {
  return SP_ENTRY(2, spCopy_32f)(pSrc, pDst, len);
}

spStatus spSet_32f(float value, float* pDst, int len) { return SP_ENTRY(2, spSet_32f)(value, pDst, len); }

spStatus spMulConst_32f(const float* pSrc, float c, float* pDst, int len) {
  return SP_ENTRY(2, spMulConst_32f)(pSrc, c, pDst, len);
}

float* spAllocate_32f(int len) { return SP_ENTRY(2, spAllocate_32f)(len); }

void spFree(void* p) { SP_ENTRY(2, spFree)(p); }
