// Steps the real and the complex transforms share: the record and pointer checks, the
// written-out kernels of orders 0 to 3, the forward complex transform of the half-length
// (real) or full-length (complex) data, and the allocating create and the release.
#pragma once

#include "fft_core.h"
#include "fft_work.h"
#include "sp/fft_kernels.h"

namespace sp::generic {

// SP_ERROR_NULL for a null record or pointer, SP_ERROR_WRONG_RECORD for a record of
// another kind (or a released one) or one laid out by a processor build, else SP_OK.
inline spStatus spFftCheckCall(const spFftSpecHeader* pSpec, uint32 tag, const float* pSrc,
                               const float* pDst) {
  if (pSpec == nullptr) return SP_ERROR_NULL;
  if (pSpec->tag != tag || pSpec->build != 0) return SP_ERROR_WRONG_RECORD;
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  return SP_OK;
}

// Orders 0 to 3: the kernel of the order from row, scaled when the direction scales.
inline void spFftRunSmallOrder(const spFftSmallKernelRow& row, uint32 scaled, int32 order,
                               float scale, const float* pSrc, float* pDst) {
  if (scaled != 0) {
    row.scaled[order](pSrc, pDst, scale);
  } else {
    row.unscaled[order](pSrc, pDst);
  }
}

// Forward complex transform of 2^m values (m >= 3) from pSrc into pDst (may be the same),
// natural order, scaled when the record scales the forward direction. pWork: the
// record's work buffer (used from m = 11 on).
inline void spFftComplexForward(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                int32 m, float* pWork) {
  if (m > 10) {
    spFftLargeOrderForward_32fc(pSpec, pSrc, pDst, m, pWork);
    return;
  }
  const int32 n = int32{1} << m;
  if (pSrc != pDst) {
    spFftBitReversePermute_32fc(pSrc, pDst, n, pSpec->bitReversalTable);
  } else {
    spFftBitReversePermuteInPlace_32fc(pDst, n, pSpec->bitReversalTable);
  }
  spFftRadixPassesForward_32fc(pDst, n, pSpec->twiddles);
  if (pSpec->scaleForward != 0) spMulConstInPlace_32f(pSpec->scale, pDst, 2 * n);
}

// Allocates the record memory and the temporary init buffer the size query names, builds
// the record in them and marks it owned. The init buffer is released either way, the
// record memory on failure.
template <class Record, class SizeQuery, class Init>
spStatus spFftCreateSpec(Record** ppSpec, int32 order, int32 flag, uint32 hint,
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
      spFree(spec);
      return SP_ERROR_ALLOCATION;
    }
  }
  Record* rec = nullptr;
  const spStatus st = init(&rec, order, flag, hint, spec, initBuffer);
  spFree(initBuffer);
  if (st != SP_OK) {
    spFree(spec);
    return st;
  }
  rec->owned = 1;
  *ppSpec = rec;
  return SP_OK;
}

// Clears the record's tag and frees its block when spFftCreateSpec allocated it.
inline spStatus spFftFreeSpec(spFftSpecHeader* pSpec, uint32 tag) {
  if (pSpec == nullptr) return SP_ERROR_NULL;
  if (pSpec->tag != tag) return SP_ERROR_WRONG_RECORD;
  const uint32 owned = pSpec->owned;
  pSpec->tag = 0;
  if (owned == 1) spFree(pSpec);
  return SP_OK;
}

}  // namespace sp::generic
