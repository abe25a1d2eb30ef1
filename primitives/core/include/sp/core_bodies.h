// Bodies of the core primitives, one set per build (sp::generic, sp::sse3, sp::ssse3,
// sp::sse41). The public entries of the primitives library dispatch to these; code of
// one build calls the bodies of its own build directly.
#pragma once

#include "sp/base.h"

// Bodies present in every build.
#define SP_CORE_BODIES                                                                   \
  spStatus spZero_32f(float* pDst, int len);                                             \
  /* Sets n bytes at p to zero; nothing for n below 1. Returns p. */                     \
  void* spZeroBytes(void* p, int64 n);                                                   \
  spStatus spMove_32f(const float* pSrc, float* pDst, int len);                          \
  spStatus spCopy_32f(const float* pSrc, float* pDst, int len);                          \
  /* Copies bytes forward; nothing for a count below 1. Returns pDst. */                 \
  void* spCopyBytes(const void* pSrc, void* pDst, int64 bytes);                          \
  spStatus spSet_32f(float value, float* pDst, int len);                                 \
  spStatus spSet_32s(int32 value, int32* pDst, int len);                                 \
  /* Stores the 32-bit pattern len times from pDst; nothing for len below 1. */          \
  void* spSetKernel_32s(uint32 value, void* pDst, int len);                              \
  spStatus spMulConst_32f(const float* pSrc, float c, float* pDst, int len);             \
  spStatus spDivConstByReciprocal_32f(const float* pSrc, float c, float* pDst, int len); \
  spStatus spMulConstInPlace_32f(float c, float* pSrcDst, int len);                      \
  spStatus spDivConstInPlace_32f(float c, float* pSrcDst, int len);                      \
  spStatus spAddConstInPlace_32f(float c, float* pSrcDst, int len);                      \
  spStatus spAddInPlace_32f(const float* pSrc, float* pSrcDst, int len);                 \
  spStatus spInterleave_32f(const float* const* ppSrc, int numChannels, int len,         \
                            float* pDst);                                                \
  spStatus spDeinterleave_32f(const float* pSrc, int numChannels, int len,               \
                              float* const* ppDst);

// Kernels of the processor builds. They check nothing: pointers valid, counts >= 1.
#define SP_CORE_PROCESSOR_KERNELS                                                        \
  /* Overlap-safe byte move. */                                                          \
  void* spMoveBytes(const void* pSrc, void* pDst, uint64 bytes);                         \
  /* Fill count items of 2, 4, 8 or 16 bytes with the item at pItem. Return pDst. */     \
  void* spFillKernel_16s(const void* pItem, void* pDst, uint32 count);                   \
  void* spFillKernel_32s(const void* pItem, void* pDst, uint32 count);                   \
  void* spFillKernel_64s(const void* pItem, void* pDst, uint32 count);                   \
  void* spFillKernel_64sc(const void* pItem, void* pDst, uint32 count);                  \
  void spMulConstKernel_32f(const float* pSrc, float c, float* pDst, int len);           \
  void spMulConstInPlaceKernel_32f(float c, float* pSrcDst, int len);                    \
  void spAddConstInPlaceKernel_32f(float c, float* pSrcDst, int len);                    \
  void spAddInPlaceKernel_32f(const float* pSrc, float* pSrcDst, int len);               \
  void spInterleaveTwoKernel_32f(const float* pSrc0, const float* pSrc1, float* pDst,    \
                                 uint32 len);                                            \
  void spDeinterleaveTwoKernel_32f(const float* pSrc, float* pDst0, float* pDst1,        \
                                   uint32 len);                                          \
  /* Cache size by CPUID leaf 2 and this build's descriptor table; 0 when unknown.    */ \
  /* perCore divides it by the cores of leaf 4 (the share the SSE3 copy uses). Probed */ \
  /* once, and again only after spSetCpuidReader installs a reader.                   */ \
  uint64 spProbeCacheSize(bool perCore);

namespace sp::generic {
SP_CORE_BODIES
// One body in every slot of its entry (second group, entries 10 and 11).
float* spAllocate_32f(int len);
void spFree(void* p);
}  // namespace sp::generic

namespace sp::sse3 {
SP_CORE_BODIES
SP_CORE_PROCESSOR_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_CORE_BODIES
SP_CORE_PROCESSOR_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_CORE_BODIES
SP_CORE_PROCESSOR_KERNELS
}  // namespace sp::sse41
