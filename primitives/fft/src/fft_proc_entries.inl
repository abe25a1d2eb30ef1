// Processor builds of the FFT engine: the transform bodies, the packed-spectrum multiply,
// the allocating create and the release. Same checks and statuses as the generic build;
// the complex part runs the permuting transform below the in-core limit, the bit reversal
// with the in-place radix passes at it and the large-order driver above it. Included inside the namespace of a build.

#include "fft_small_complex.inl"
#include "fft_small_real.inl"

namespace {

spStatus CheckCall(const spFftSpecHeader* pSpec, uint32 tag, const float* pSrc, const float* pDst) {
  if (pSpec == nullptr) return SP_ERROR_NULL;
  // Another build's record has other tables: refused, never read.
  if (pSpec->tag != tag || pSpec->build != SP_FFT_BUILD) return SP_ERROR_WRONG_RECORD;
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  return SP_OK;
}

void RunSmall(const spFftSmallKernelRow& row, uint32 scaled, int32 order, float scale,
              const float* pSrc, float* pDst) {
  if (scaled != 0) {
    row.scaled[order](pSrc, pDst, scale);
  } else {
    row.unscaled[order](pSrc, pDst);
  }
}

// The caller's work buffer on its next 32-byte boundary, or a block for the call.
class WorkBuffer {
 public:
  WorkBuffer() = default;
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  ~WorkBuffer() {
    if (allocated_) sp::generic::spFree(work_);
  }
  spStatus Acquire(const spFftSpecHeader* spec, uint8* pBuffer) {
    if (spec->workBytes <= 0) return SP_OK;
    if (pBuffer != nullptr) {
      work_ = reinterpret_cast<float*>(AlignUp32(pBuffer));
      return SP_OK;
    }
    work_ = static_cast<float*>(spAllocateAligned(spec->workBytes));
    if (work_ == nullptr) return SP_ERROR_ALLOCATION;
    allocated_ = true;
    return SP_OK;
  }
  float* get() const { return work_; }

 private:
  float* work_ = nullptr;
  bool allocated_ = false;
};

// Complex transform of 2^m values (m >= 3) from pSrc into pDst, which may be the same;
// scaled when the record scales that direction.
template <bool kInv>
void Complex(const spFftSpecHeader* spec, const float* pSrc, float* pDst, int32 m, float* work) {
  const int32 nc = int32{1} << m;
  if (m > spFftInCoreLimit) {
    // The large-order drivers scale their rows themselves.
    if constexpr (!kInv) {
      spFftLargeOrderForward_32fc(spec, pSrc, pDst, m, work);
    } else {
      spFftLargeOrderInverse_32fc(spec, pSrc, pDst, m, work);
    }
    return;
  }
  if (m < spFftInCoreLimit) {
    if constexpr (!kInv) {
      spFftForwardWithPermutation_32fc(pSrc, pDst, nc, spec->twiddles, spec->bitReversalTable,
                                       work);
    } else {
      spFftInverseWithPermutation_32fc(pSrc, pDst, nc, spec->twiddles, spec->bitReversalTable,
                                       work);
    }
  } else {
    if (pSrc != pDst) {
      spFftBitReversePermute_32fc(pSrc, pDst, nc, spec->bitReversalTable);
    } else {
      spFftBitReversePermuteInPlace_32fc(pDst, nc, spec->bitReversalTable);
    }
    if constexpr (!kInv) {
      spFftRadixPassesForward_32fc(pDst, nc, spec->twiddles, work, 1);
    } else {
      spFftRadixPassesInverse_32fc(pDst, nc, spec->twiddles, work, 1);
    }
  }
  if ((kInv ? spec->scaleInverse : spec->scaleForward) != 0) {
    spMulConstInPlace_32f(spec->scale, pDst, 2 * nc);
  }
}

}  // namespace

spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer) {
  if (const spStatus st = CheckCall(pSpec, SP_FFT_COMPLEX_TAG, pSrc, pDst); st != SP_OK) return st;
  const int32 order = pSpec->order;
  if (order <= 3) {
    RunSmall(spSmallComplexFftTable[0], pSpec->scaleForward, order, pSpec->scale, pSrc, pDst);
    return SP_OK;
  }
  WorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;
  Complex<false>(pSpec, pSrc, pDst, order, work.get());
  return SP_OK;
}

spStatus spFftForwardReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,
                              uint8* pBuffer) {
  if (const spStatus st = CheckCall(pSpec, SP_FFT_REAL_TAG, pSrc, pDst); st != SP_OK) return st;
  const int32 order = pSpec->order;
  if (order <= 3) {
    RunSmall(spSmallRealFftTable[0], pSpec->scaleForward, order, pSpec->scale, pSrc, pDst);
    return SP_OK;
  }
  WorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;
  const int32 m = order - 1;
  const int32 nc = int32{1} << m;
  Complex<false>(pSpec, pSrc, pDst, m, work.get());
  const float t0 = pDst[0], t1 = pDst[1];
  pDst[0] = t0 + t1;
  pDst[1] = t0 - t1;
  spFftRealSplitForward_32f(pDst, nc, 1, pSpec->splitTwiddlesForward);
  return SP_OK;
}

spStatus spFftInverseReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,
                              uint8* pBuffer) {
  if (const spStatus st = CheckCall(pSpec, SP_FFT_REAL_TAG, pSrc, pDst); st != SP_OK) return st;
  const int32 order = pSpec->order;
  if (order <= 3) {
    RunSmall(spSmallRealFftTable[1], pSpec->scaleInverse, order, pSpec->scale, pSrc, pDst);
    return SP_OK;
  }
  WorkBuffer work;
  if (const spStatus st = work.Acquire(pSpec, pBuffer); st != SP_OK) return st;
  const int32 m = order - 1;
  const int32 nc = int32{1} << m;
  const float x0 = pSrc[0], xh = pSrc[1];
  pDst[0] = x0 + xh;
  pDst[1] = x0 - xh;
  spFftRealSplitInverse_32f(pSrc, pDst, nc, -1, pSpec->splitTwiddlesInverse);
  Complex<true>(pSpec, pDst, pDst, m, work.get());
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
  const int32 pairs = (len - first) / 2;
  if (pairs > 0) spMulComplexInPlace_32fc(pSrc + first, pSrcDst + first, pairs);
  return SP_OK;
}

namespace {

// Allocates the record memory and the init buffer the size query names and builds the
// record in them.
template <class Record, class SizeQuery, class Init>
spStatus CreateSpec(Record** ppSpec, int32 order, int32 flag, uint32 hint,
                    SizeQuery sizeQuery, Init init) {
  if (ppSpec == nullptr) return SP_ERROR_NULL;
  uint32 specBytes = 0, initBytes = 0, workBytes = 0;
  if (const spStatus st = sizeQuery(order, flag, hint, &specBytes, &initBytes, &workBytes);
      st != SP_OK) {
    return st;
  }
  auto* spec = static_cast<uint8*>(spAllocateAligned(static_cast<int32>(specBytes)));
  if (spec == nullptr) return SP_ERROR_ALLOCATION;
  uint8* initBuffer = nullptr;
  if (initBytes > 0) {
    initBuffer = static_cast<uint8*>(spAllocateAligned(static_cast<int32>(initBytes)));
    if (initBuffer == nullptr) {
      sp::generic::spFree(spec);
      return SP_ERROR_ALLOCATION;
    }
  }
  Record* rec = nullptr;
  const spStatus st = init(&rec, order, flag, hint, spec, initBuffer);
  sp::generic::spFree(initBuffer);
  if (st != SP_OK) {
    sp::generic::spFree(spec);
    return st;
  }
  rec->owned = 1;
  *ppSpec = rec;
  return SP_OK;
}

spStatus FreeSpec(spFftSpecHeader* pSpec, uint32 tag) {
  if (pSpec == nullptr) return SP_ERROR_NULL;
  if (pSpec->tag != tag) return SP_ERROR_WRONG_RECORD;
  const uint32 owned = pSpec->owned;
  pSpec->tag = 0;
  if (owned == 1) sp::generic::spFree(pSpec);
  return SP_OK;
}

}  // namespace

spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint) {
  return CreateSpec(ppSpec, order, flag, hint, spFftGetSpecSizeReal_32f,
                    spFftInitSpecReal_32f);
}

spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec) { return FreeSpec(pSpec, SP_FFT_REAL_TAG); }

spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint) {
  return CreateSpec(ppSpec, order, flag, hint, spFftGetSpecSizeComplex_32fc,
                    spFftInitSpecComplex_32fc);
}

spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec) {
  return FreeSpec(pSpec, SP_FFT_COMPLEX_TAG);
}
