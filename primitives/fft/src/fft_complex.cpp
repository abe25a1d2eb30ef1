// Complex forward transform, its written-out kernels of orders 0 to 3, and the record
// allocators of the complex kind.
#include "fft_steps.h"

namespace sp::generic {

#include "fft_small_complex.inl"

spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer) {
  if (const spStatus st = spFftCheckCall(pSpec, SP_FFT_COMPLEX_TAG, pSrc, pDst); st != SP_OK) {
    return st;
  }
  const int32 order = pSpec->order;
  if (order <= 3) {
    spFftRunSmallOrder(spSmallComplexFftTable[0], pSpec->scaleForward, order, pSpec->scale, pSrc,
                       pDst);
    return SP_OK;
  }
  spFftWorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;
  spFftComplexForward(pSpec, pSrc, pDst, order, work.get());
  return SP_OK;
}

spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint) {
  return spFftCreateSpec(ppSpec, order, flag, hint, spFftGetSpecSizeComplex_32fc,
                         spFftInitSpecComplex_32fc);
}

spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec) {
  return spFftFreeSpec(pSpec, SP_FFT_COMPLEX_TAG);
}

}  // namespace sp::generic
