// Bodies of the FFT engine's operations, one set per build. The generic build is
// sp::generic, the processor builds sp::sse3, sp::ssse3 and sp::sse41 (SP_FFT_BODIES
// below, the same arguments and statuses); the second-group entries (7-9, 26-29) dispatch
// to these bodies, and code of the library calls the bodies of its own build directly.
#pragma once

#include "sp/fft.h"

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

// The bodies of a processor build. They keep the generic arguments, checks and statuses;
// they differ in their records (index bit-reversal table, four-lane twiddle and split
// tables, a work buffer of 8 bytes a complex value) and kernels, so a record serves only
// transforms of the build that made it. Complex orders above the build's in-core limit
// (16 in sp::sse3, 17 in sp::ssse3 and sp::sse41) run through the build's large-order
// drivers.
#define SP_FFT_BODIES                                                                         \
  spStatus spFftGetSpecSizeReal_32f(int32 order, int32 flag, uint32 hint, uint32* pSpecBytes, \
                                    uint32* pInitBytes, uint32* pWorkBytes);                  \
  spStatus spFftInitSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag,             \
                                 uint32 hint, uint8* pSpecMemory, uint8* pInitBuffer);        \
  spStatus spFftCreateSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag,           \
                                   uint32 hint);                                              \
  spStatus spFftFreeSpecReal_32f(spRealFftSpec* pSpec);                                       \
  spStatus spFftForwardReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,   \
                                uint8* pBuffer);                                              \
  spStatus spFftInverseReal_32f(const float* pSrc, float* pDst, const spRealFftSpec* pSpec,   \
                                uint8* pBuffer);                                              \
  spStatus spFftForwardRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec,            \
                                       uint8* pBuffer);                                       \
  spStatus spFftInverseRealInPlace_32f(float* pSrcDst, const spRealFftSpec* pSpec,            \
                                       uint8* pBuffer);                                       \
  spStatus spMulPackedSpectrumInPlace_32f(const float* pSrc, float* pSrcDst, int32 len);      \
  spStatus spFftGetSpecSizeComplex_32fc(int32 order, int32 flag, uint32 hint,                 \
                                        uint32* pSpecBytes, uint32* pInitBytes,               \
                                        uint32* pWorkBytes);                                  \
  spStatus spFftInitSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,      \
                                     uint32 hint, uint8* pSpecMemory, uint8* pInitBuffer);    \
  spStatus spFftCreateSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,    \
                                       uint32 hint);                                          \
  spStatus spFftFreeSpecComplex_32fc(spComplexFftSpec* pSpec);                                \
  spStatus spFftForwardComplex_32fc(const float* pSrc, float* pDst,                           \
                                    const spComplexFftSpec* pSpec, uint8* pBuffer);

namespace sp::sse3 {
SP_FFT_BODIES
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_FFT_BODIES
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_FFT_BODIES
}  // namespace sp::sse41
