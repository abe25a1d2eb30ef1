// Entries of the FFT engine.
//
// Table slots (src/dispatch_groups.cpp): entries 8 and 27 (the two releases) have one
// body in all four slots. Entries 7, 9, 26, 28 and 29 hold the four builds; a record is
// laid out for the build that made it, so it must meet transforms of that build (the
// index stays the same between create and transform).
#include "entry.h"
#include "sp/entries_fft.h"
#include "sp/fft_bodies.h"

spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint) {
  return SP_ENTRY(2, spFftCreateSpecComplex_32fc)(ppSpec, order, flag, hint);
}

spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec) {
  return SP_ENTRY(2, spFftFreeSpecComplex_32fc)(pSpec);
}

spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer) {
  return SP_ENTRY(2, spFftForwardComplex_32fc)(pSrc, pDst, pSpec, pBuffer);
}

spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint) {
  return SP_ENTRY(2, spFftCreateSpecReal_32f)(ppSpec, order, flag, hint);
}

spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec) { return SP_ENTRY(2, spFftFreeSpecReal_32f)(pSpec); }

spStatus spFftForwardRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer) {
  return SP_ENTRY(2, spFftForwardRealInPlace_32f)(pSrcDst, pSpec, pBuffer);
}

spStatus spFftInverseRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer) {
  return SP_ENTRY(2, spFftInverseRealInPlace_32f)(pSrcDst, pSpec, pBuffer);
}
