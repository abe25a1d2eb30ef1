// Real transforms: forward into the packed real spectrum, inverse back, the written-out
// kernels of orders 0 to 3, the packed-spectrum multiply, and the record allocators.
#include "fft_steps.h"

namespace sp::generic {

#include "fft_small_real.inl"

spStatus spFftForwardReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,
                              uint8* pBuffer) {
  if (const spStatus st = spFftCheckCall(pSpec, SP_FFT_REAL_TAG, pSrc, pDst); st != SP_OK) {
    return st;
  }
  const int32 order = pSpec->order;
  if (order <= 3) {
    spFftRunSmallOrder(spSmallRealFftTable[0], pSpec->scaleForward, order, pSpec->scale, pSrc,
                       pDst);
    return SP_OK;
  }
  spFftWorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;

  // The N reals as N/2 complex values, transformed, then split into the packed spectrum.
  const int32 m = order - 1;
  const int32 nc = int32{1} << m;
  spFftComplexForward(pSpec, pSrc, pDst, m, work.get());
  const float t0 = pDst[0], t1 = pDst[1];
  pDst[0] = t0 + t1;
  pDst[1] = t0 - t1;
  spFftRealSplitForward_32f(pDst, nc, 1, pSpec->splitTwiddlesForward);
  return SP_OK;
}

spStatus spFftInverseReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,
                              uint8* pBuffer) {
  if (const spStatus st = spFftCheckCall(pSpec, SP_FFT_REAL_TAG, pSrc, pDst); st != SP_OK) {
    return st;
  }
  const int32 order = pSpec->order;
  if (order <= 3) {
    spFftRunSmallOrder(spSmallRealFftTable[1], pSpec->scaleInverse, order, pSpec->scale, pSrc,
                       pDst);
    return SP_OK;
  }
  spFftWorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;

  const int32 m = order - 1;
  const int32 nc = int32{1} << m;
  const float x0 = pSrc[0], xh = pSrc[1];
  pDst[0] = x0 + xh;
  pDst[1] = x0 - xh;
  spFftRealSplitInverse_32f(pSrc, pDst, nc, -1, pSpec->splitTwiddlesInverse);
  if (m <= 10) {
    spFftBitReversePermuteInPlace_32fc(pDst, nc, pSpec->bitReversalTable);
    spFftRadixPassesInverse_32fc(pDst, nc, pSpec->twiddles);
    if (pSpec->scaleInverse != 0) spMulConstInPlace_32f(pSpec->scale, pDst, 2 * nc);
  } else {
    spFftLargeOrderInverse_32fc(pSpec, pDst, pDst, m, work.get());
  }
  return SP_OK;
}

spStatus spFftForwardRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer) {
  return spFftForwardReal_32f(pSrcDst, pSrcDst, pSpec, pBuffer);
}

spStatus spFftInverseRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer) {
  return spFftInverseReal_32f(pSrcDst, pSrcDst, pSpec, pBuffer);
}

spStatus spMulPackedSpectrumInPlace_32f(const float* pSrc, float* pSrcDst, int32 len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  pSrcDst[0] = pSrcDst[0] * pSrc[0];
  int32 first = 1;
  if (len % 2 == 0) {
    pSrcDst[1] = pSrcDst[1] * pSrc[1];
    first = 2;
  }
  for (int32 i = first; i + 1 < len; i += 2) {
    const float a = pSrc[i], b = pSrc[i + 1];
    const float c = pSrcDst[i], d = pSrcDst[i + 1];
    pSrcDst[i] = a * c - b * d;
    pSrcDst[i + 1] = a * d + b * c;
  }
  return SP_OK;
}

spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint) {
  return spFftCreateSpec(ppSpec, order, flag, hint, spFftGetSpecSizeReal_32f,
                         spFftInitSpecReal_32f);
}

spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec) { return spFftFreeSpec(pSpec, SP_FFT_REAL_TAG); }

}  // namespace sp::generic
