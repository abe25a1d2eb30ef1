// Complex forward transform, its written-out kernels of orders 0 to 3, and the record
// allocators of the complex kind.
#include "fft_core.h"
#include "fft_work.h"
#include "sp/fft_kernels.h"

namespace sp::generic {

namespace {

constexpr float kSqrtHalf = 0.70710677f;

struct Cx {
  float re, im;
};
inline Cx Load(const float* p, int k) { return {p[2 * k], p[2 * k + 1]}; }
inline void Store(float* p, int k, Cx v) {
  p[2 * k] = v.re;
  p[2 * k + 1] = v.im;
}
inline Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx Scaled(Cx a, float k) { return {a.re * k, a.im * k}; }

void Copy1(const float* s, float* d) { Store(d, 0, Load(s, 0)); }
void Scale1(const float* s, float* d, float k) { Store(d, 0, Scaled(Load(s, 0), k)); }

void Dft2(const float* s, float* d) {
  const Cx x0 = Load(s, 0), x1 = Load(s, 1);
  Store(d, 0, x0 + x1);
  Store(d, 1, x0 - x1);
}
void Dft2Scaled(const float* s, float* d, float k) {
  const Cx x0 = Load(s, 0), x1 = Load(s, 1);
  Store(d, 0, Scaled(x0 + x1, k));
  Store(d, 1, Scaled(x0 - x1, k));
}

// 4-point combination of the first-level terms a = x0 + x2, b = x0 - x2, p = x1 + x3,
// d = x1 - x3 into X0..X3.
struct Four {
  Cx x0, x1, x2, x3;
};
inline Four Combine4(Cx a, Cx b, Cx p, Cx d) {
  return {a + p, {b.re + d.im, b.im - d.re}, a - p, {b.re - d.im, b.im + d.re}};
}
inline Four Dft4Of(Cx x0, Cx x1, Cx x2, Cx x3, float k, bool scaled) {
  Cx a = x0 + x2, b = x0 - x2, p = x1 + x3, d = x1 - x3;
  if (scaled) a = Scaled(a, k), b = Scaled(b, k), p = Scaled(p, k), d = Scaled(d, k);
  return Combine4(a, b, p, d);
}

inline void Dft4(const float* s, float* d, float k, bool scaled) {
  const Four f = Dft4Of(Load(s, 0), Load(s, 1), Load(s, 2), Load(s, 3), k, scaled);
  Store(d, 0, f.x0);
  Store(d, 1, f.x1);
  Store(d, 2, f.x2);
  Store(d, 3, f.x3);
}
void Dft4Plain(const float* s, float* d) { Dft4(s, d, 1.0f, false); }
void Dft4Scaled(const float* s, float* d, float k) { Dft4(s, d, k, true); }

inline void Dft8(const float* s, float* d, float k, bool scaled) {
  const Four A = Dft4Of(Load(s, 0), Load(s, 2), Load(s, 4), Load(s, 6), k, scaled);
  const Four B = Dft4Of(Load(s, 1), Load(s, 3), Load(s, 5), Load(s, 7), k, scaled);
  const Cx t1{(B.x1.re + B.x1.im) * kSqrtHalf, (B.x1.im - B.x1.re) * kSqrtHalf};
  const Cx t3{(B.x3.re - B.x3.im) * -kSqrtHalf, (B.x3.im + B.x3.re) * -kSqrtHalf};
  Store(d, 0, A.x0 + B.x0);
  Store(d, 4, A.x0 - B.x0);
  Store(d, 1, A.x1 + t1);
  Store(d, 5, A.x1 - t1);
  Store(d, 2, {A.x2.re + B.x2.im, A.x2.im - B.x2.re});
  Store(d, 6, {A.x2.re - B.x2.im, A.x2.im + B.x2.re});
  Store(d, 3, A.x3 + t3);
  Store(d, 7, A.x3 - t3);
}
void Dft8Plain(const float* s, float* d) { Dft8(s, d, 1.0f, false); }
void Dft8Scaled(const float* s, float* d, float k) { Dft8(s, d, k, true); }

}  // namespace

const spFftSmallKernelRow spSmallComplexFftTable[1] = {
    {{Copy1, Dft2, Dft4Plain, Dft8Plain}, {Scale1, Dft2Scaled, Dft4Scaled, Dft8Scaled}},
};

spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer) {
  if (pSpec == nullptr) return SP_ERROR_NULL;
  if (pSpec->tag != SP_FFT_COMPLEX_TAG) return SP_ERROR_WRONG_RECORD;
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  const int32 order = pSpec->order;
  if (order <= 3) {
    const spFftSmallKernelRow& row = spSmallComplexFftTable[0];
    if (pSpec->scaleForward != 0) {
      row.scaled[order](pSrc, pDst, pSpec->scale);
    } else {
      row.unscaled[order](pSrc, pDst);
    }
    return SP_OK;
  }
  spFftWorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;
  const int32 n = int32{1} << order;
  if (order <= 10) {
    if (pSrc != pDst) {
      spFftBitReversePermute_32fc(pSrc, pDst, n, pSpec->bitReversalTable);
    } else {
      spFftBitReversePermuteInPlace_32fc(pDst, n, pSpec->bitReversalTable);
    }
    spFftRadixPassesForward_32fc(pDst, n, pSpec->twiddles);
    if (pSpec->scaleForward != 0) spMulConstInPlace_32f(pSpec->scale, pDst, 2 * n);
  } else {
    spFftLargeOrderForward_32fc(pSpec, pSrc, pDst, order, work.get());
  }
  return SP_OK;
}

spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint) {
  if (ppSpec == nullptr) return SP_ERROR_NULL;
  uint32 specBytes = 0, initBytes = 0, workBytes = 0;
  if (const spStatus st =
          spFftGetSpecSizeComplex_32fc(order, flag, hint, &specBytes, &initBytes, &workBytes);
      st != SP_OK) {
    return st;
  }
  auto* spec = static_cast<uint8*>(spAllocateAligned(static_cast<int32>(specBytes)));
  if (spec == nullptr) return SP_ERROR_ALLOCATION;
  uint8* init = nullptr;
  if (initBytes > 0) {
    init = static_cast<uint8*>(spAllocateAligned(static_cast<int32>(initBytes)));
    if (init == nullptr) {
      spFree(spec);
      return SP_ERROR_ALLOCATION;
    }
  }
  spComplexFftSpec* rec = nullptr;
  const spStatus st = spFftInitSpecComplex_32fc(&rec, order, flag, hint, spec, init);
  spFree(init);
  if (st != SP_OK) {
    spFree(spec);
    return st;
  }
  rec->owned = 1;
  *ppSpec = rec;
  return SP_OK;
}

spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec) {
  if (pSpec == nullptr) return SP_ERROR_NULL;
  if (pSpec->tag != SP_FFT_COMPLEX_TAG) return SP_ERROR_WRONG_RECORD;
  const uint32 owned = pSpec->owned;
  pSpec->tag = 0;
  if (owned == 1) spFree(pSpec);
  return SP_OK;
}

}  // namespace sp::generic
