// Real transforms: forward into the packed real spectrum, inverse back, the written-out
// kernels of orders 0 to 3, the packed-spectrum multiply, and the record allocators.
#include "fft_steps.h"

namespace sp::generic {

namespace {

constexpr float kSqrtHalf = 0.70710677f;  // sqrt(1/2) in single precision
constexpr float kSqrtTwo = 1.4142135f;    // sqrt(2) in single precision

// Order 0 (both directions).
void Copy1(const float* s, float* d) { d[0] = s[0]; }
void Scale1(const float* s, float* d, float scale) { d[0] = scale * s[0]; }

// Order 1 (both directions).
void Real2(const float* s, float* d) {
  const float x0 = s[0], x1 = s[1];
  d[0] = x0 + x1;
  d[1] = x0 - x1;
}
void Real2Scaled(const float* s, float* d, float scale) {
  const float x0 = s[0], x1 = s[1];
  d[0] = (x0 + x1) * scale;
  d[1] = (x0 - x1) * scale;
}

// Order 2 forward from the first-level terms (x0 + x2, x3 + x1, x0 - x2, x3 - x1).
inline void Forward4(float s02, float s31, float d02, float d31, float* d) {
  d[0] = s02 + s31;
  d[1] = s02 - s31;
  d[2] = d02;
  d[3] = d31;
}
void Forward4Plain(const float* s, float* d) {
  Forward4(s[0] + s[2], s[3] + s[1], s[0] - s[2], s[3] - s[1], d);
}
void Forward4Scaled(const float* s, float* d, float k) {
  Forward4((s[0] + s[2]) * k, (s[3] + s[1]) * k, (s[0] - s[2]) * k, (s[3] - s[1]) * k, d);
}

// Order 3 forward from the first-level terms.
inline void Forward8(float s04, float a, float s26, float e, float s15, float d15, float s37,
                     float d37, float* d) {
  const float p = s04 + s26;
  const float q = s15 + s37;
  const float u = (d15 + d37) * -kSqrtHalf;
  const float v = (d15 - d37) * kSqrtHalf;
  d[0] = p + q;
  d[1] = p - q;
  d[2] = a + v;
  d[3] = u - e;
  d[4] = s04 - s26;
  d[5] = s37 - s15;
  d[6] = a - v;
  d[7] = e + u;
}
void Forward8Plain(const float* s, float* d) {
  Forward8(s[0] + s[4], s[0] - s[4], s[2] + s[6], s[2] - s[6], s[1] + s[5], s[1] - s[5],
           s[3] + s[7], s[3] - s[7], d);
}
void Forward8Scaled(const float* s, float* d, float k) {
  Forward8((s[0] + s[4]) * k, (s[0] - s[4]) * k, (s[2] + s[6]) * k, (s[2] - s[6]) * k,
           (s[1] + s[5]) * k, (s[1] - s[5]) * k, (s[3] + s[7]) * k, (s[3] - s[7]) * k, d);
}

// Order 2 inverse of (X0, X2, R1, I1) from (X0 + X2, X0 - X2, 2 R1, 2 I1).
inline void Inverse4(float s, float df, float r1, float i1, float* d) {
  d[0] = s + r1;
  d[1] = df - i1;
  d[2] = s - r1;
  d[3] = df + i1;
}
void Inverse4Plain(const float* s, float* d) {
  Inverse4(s[0] + s[1], s[0] - s[1], s[2] + s[2], s[3] + s[3], d);
}
void Inverse4Scaled(const float* s, float* d, float k) {
  Inverse4((s[0] + s[1]) * k, (s[0] - s[1]) * k, (s[2] + s[2]) * k, (s[3] + s[3]) * k, d);
}

// Order 3 inverse of (X0, X4, R1, I1, R2, I2, R3, I3) from its first-level terms.
inline void Inverse8(float s04, float d04, float r2, float i2, float sr, float di, float dr,
                     float si, float* d) {
  const float e0 = s04 + r2, e1 = s04 - r2;
  const float o0 = d04 - i2, o1 = d04 + i2;
  const float p = sr + sr, q = di + di;
  const float u = (dr + si) * -kSqrtTwo;
  const float v = (dr - si) * kSqrtTwo;
  d[0] = e0 + p;
  d[1] = o0 + v;
  d[2] = e1 - q;
  d[3] = o1 + u;
  d[4] = e0 - p;
  d[5] = o0 - v;
  d[6] = e1 + q;
  d[7] = o1 - u;
}
void Inverse8Plain(const float* s, float* d) {
  Inverse8(s[0] + s[1], s[0] - s[1], s[4] + s[4], s[5] + s[5], s[2] + s[6], s[3] - s[7],
           s[2] - s[6], s[3] + s[7], d);
}
void Inverse8Scaled(const float* s, float* d, float k) {
  Inverse8((s[0] + s[1]) * k, (s[0] - s[1]) * k, (s[4] + s[4]) * k, (s[5] + s[5]) * k,
           (s[2] + s[6]) * k, (s[3] - s[7]) * k, (s[2] - s[6]) * k, (s[3] + s[7]) * k, d);
}

}  // namespace

const spFftSmallKernelRow spSmallRealFftTable[2] = {
    {{Copy1, Real2, Forward4Plain, Forward8Plain},
     {Scale1, Real2Scaled, Forward4Scaled, Forward8Scaled}},
    {{Copy1, Real2, Inverse4Plain, Inverse8Plain},
     {Scale1, Real2Scaled, Inverse4Scaled, Inverse8Scaled}},
};

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
