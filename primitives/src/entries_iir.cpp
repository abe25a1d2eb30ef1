// Entries of the IIR filter.
#include "entry.h"
#include "sp/entries_iir.h"
#include "sp/filters_bodies.h"

spStatus spIirFilterInPlace_32f(float* pSrcDst, int len, spIirState* pState) {
  return SP_ENTRY(1, spIirFilterInPlace_32f)(pSrcDst, len, pState);
}

spStatus spIirGetStateSize_32f(int order, int* pSize) { return SP_ENTRY(1, spIirGetStateSize_32f)(order, pSize); }

spStatus spIirInit_32f(spIirState** ppState, const float* pTaps, int order, const float* pDelay, uint8* pBuffer) {
  return SP_ENTRY(1, spIirInit_32f)(ppState, pTaps, order, pDelay, pBuffer);
}
