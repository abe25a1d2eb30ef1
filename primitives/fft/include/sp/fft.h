// FFT engine of the primitives library: specification records of the real and complex
// transforms, their size queries and set-up, and the transforms of the generic build.
//
// A record is built once for one order and one normalisation, in memory the caller
// provides (size query + set-up) or that the create entries allocate, and is only read
// afterwards, so any number of transforms may share it.
#pragma once

#include <cstddef>

#include "sp/base.h"

// Normalisation flags of a record.
enum : int32 {
  SP_FFT_SCALE_FORWARD = 1,  // forward result times 1/N
  SP_FFT_SCALE_INVERSE = 2,  // inverse result times 1/N
  SP_FFT_SCALE_SQRT = 4,     // both directions times 1/sqrt(N)
  SP_FFT_NO_SCALE = 8,       // neither direction scaled
};

// Kind tags of the records (0 after release or a refused flag).
enum : uint32 {
  SP_FFT_COMPLEX_TAG = 4,
  SP_FFT_REAL_TAG = 6,
};

// Highest order the size queries accept at all; orders whose sizes do not fit a signed
// 32-bit byte count are refused below it as well.
inline constexpr int32 SP_FFT_MAX_ORDER = 30;

// Header shared by the real and the complex record. The tables follow the header inside
// the record's own memory, so a record must never be moved or copied.
struct spFftSpecHeader {
  uint32 tag;            // SP_FFT_REAL_TAG or SP_FFT_COMPLEX_TAG; 0 when released
  int32 order;           // 0..30: N = 2^order reals (real) or complex values (complex)
  uint32 scaleForward;   // 1: the forward transform multiplies by scale
  uint32 scaleInverse;   // 1: the inverse transform multiplies by scale
  float scale;           // 1/N, 1/sqrt(N), or 0.0 for SP_FFT_NO_SCALE
  uint32 hint;           // caller's hint, stored only
  int32 workBytes;       // work buffer a transform needs (0: none)
  uint32 owned;          // 1 when the create entry allocated the record's block
  int32* bitReversalTable;       // swap table of the complex order, right after the header
  float* twiddles;               // twiddle triples of the in-core radix passes
  float* outerTwiddles;          // block scheme: W^k of its length, k below a quarter of it
  float* splitTwiddlesForward;   // real record: pairs of the forward real split
  float* splitTwiddlesInverse;   // real record: pairs of the inverse real split
  float* levelTwiddles[3];       // recursive scheme: S-point triples of levels 0..2
  float* levelBlocks[3];         // recursive scheme: inter-level twiddles of levels 0..2
  uint8 reserved[16];
};
static_assert(sizeof(spFftSpecHeader) == 136, "the tables start 136 bytes into a record");

// Record of the transform of 2^order real values (complex tables of order - 1).
struct spRealFftSpec : spFftSpecHeader {};
// Record of the transform of 2^order complex values.
struct spComplexFftSpec : spFftSpecHeader {};

namespace sp::generic {

// ---- real transforms --------------------------------------------------------------------

// Bytes of record memory, of the temporary init buffer of the set-up (0: none) and of the
// work buffer of a transform (0: none). Order outside 0..30, or one whose sizes do not fit
// a signed 32-bit count: SP_ERROR_TRANSFORM_ORDER; then a null out-pointer: SP_ERROR_NULL;
// then a flag other than 1, 2, 4, 8: SP_ERROR_TRANSFORM_FLAG. Nothing is written on failure.
spStatus spFftGetSpecSizeReal_32f(int32 order, int32 flag, uint32 hint, uint32* pSpecBytes,
                                  uint32* pInitBytes, uint32* pWorkBytes);

// Builds a real record in pSpecMemory (rounded up to 32 bytes) and stores its address in
// *ppSpec. pInitBuffer (the init bytes of the size query) is needed from order 11 on and
// may be released after the call.
spStatus spFftInitSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint,
                               uint8* pSpecMemory, uint8* pInitBuffer);

// Allocates and builds a real record; release it with spFftFreeSpecReal_32f.
spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint);

// Clears the record's tag and frees its block when the create entry allocated it.
spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec);

// pDst receives the packed real spectrum of the 2^order reals at pSrc:
// [X0, X(N/2), Re X1, Im X1, ..., Re X(N/2-1), Im X(N/2-1)]; pSrc may equal pDst.
// pBuffer: a work buffer of the size query's work bytes, or null (the call then allocates
// one when the record needs it).
spStatus spFftForwardReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,
                              uint8* pBuffer);
// pDst receives the reals of the packed spectrum at pSrc, times N (times N * scale when
// the record scales the inverse).
spStatus spFftInverseReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,
                              uint8* pBuffer);
spStatus spFftForwardRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer);
spStatus spFftInverseRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer);

// pSrcDst = pSrcDst * pSrc element by element as packed real spectra of len floats (an odd
// len: X0 followed by (len - 1)/2 complex pairs).
spStatus spMulPackedSpectrumInPlace_32f(const float* pSrc, float* pSrcDst, int32 len);

// ---- complex transforms -----------------------------------------------------------------

spStatus spFftGetSpecSizeComplex_32fc(int32 order, int32 flag, uint32 hint, uint32* pSpecBytes,
                                      uint32* pInitBytes, uint32* pWorkBytes);
spStatus spFftInitSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                   uint32 hint, uint8* pSpecMemory, uint8* pInitBuffer);
spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint);
spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec);

// pDst receives X_k = sum x_n e^(-2 pi i k n / N), k = 0..N-1, in natural order (times
// scale when the record scales the forward transform); pSrc may equal pDst.
spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer);

}  // namespace sp::generic

// Second-group dispatch entries of the FFT engine (bodies chosen by spDispatchIndex).
spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                     uint32 hint);
spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec);
spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst, const spComplexFftSpec* pSpec,
                                  uint8* pBuffer);
spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint);
spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec);
spStatus spFftForwardRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer);
spStatus spFftInverseRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec, uint8* pBuffer);
