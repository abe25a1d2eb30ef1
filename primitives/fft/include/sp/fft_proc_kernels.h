// Inside of the processor builds of the FFT engine (sp::sse3, sp::ssse3, sp::sse41): their
// table builders and transform kernels. The kernels check nothing: they trust the record
// and the pointers the bodies of sp/fft_bodies.h have checked.
//
// Layouts the kernels share:
//  - split quads: each aligned run of four complex values stored in its 32 bytes as the
//    four real parts followed by the four imaginary parts (the working layout between the
//    first and the final pass);
//  - twiddle records: for every pass after the first, in pass order, span/4 records of
//    R - 1 vectors of eight floats (the four real, then the four imaginary parts of
//    W_B^(t k), k = 4j..4j+3, t = 1..R-1, B = R span, W_B = e^(-2 pi i / B)).
#pragma once

#include "sp/fft_kernels.h"

#define SP_FFT_PROCESSOR_KERNELS                                                              \
  using spFftSmallKernelRow = sp::generic::spFftSmallKernelRow;                               \
  /* Rows (1, r, 0, -r), (0, -r, -1, -r), (r, r, r, r), (-r, -r, -r, -r) and the sign    */   \
  /* masks of lane 2, lane 3 and lanes 0 and 2; r = 0x3F3504F4.                           */   \
  extern const float spFftKernelConstants[7][4];                                              \
  /* Column bits s and column-block order w of complex orders 0..30 (0 below 17).          */  \
  extern const int32 spLargeFftSplitTable[31][2];                                             \
  /* In-core limit: the largest complex order transformed without a large-order driver. */   \
  extern const int32 spFftInCoreLimit;                                                        \
  /* Written-out kernels of orders 0-3: complex forward; real forward and inverse.       */   \
  extern const spFftSmallKernelRow spSmallComplexFftTable[1];                                 \
  extern const spFftSmallKernelRow spSmallRealFftTable[2];                                    \
  /* Radices (4 or 8) of the passes after the first for 2^m points, m >= 4; the count.    */  \
  int32 spFftPassPlan(int32 m, int32* pRadices);                                              \
  /* ---- table builders (each returns the end of what it wrote, rounded up to 32) ---- */   \
  /* Entries 2 rev(i), i < 2^(m-2), then 0 (m >= 2; below it nothing is written).         */  \
  uint8* spFftMakeBitReversalIndexTable_32s(int32 m, int32* pTable);                          \
  /* 2^(m-2b) entries rev(k) << b, then the swap table of order 2b (m >= 2b).             */  \
  uint8* spFftMakeBlockedBitReversalTable_32s(int32 m, int32 b, int32* pTable);               \
  /* The build's twiddle records for 2^m points (nothing below m = 4).                    */  \
  uint8* spFftMakeTwiddles_32fc(int32 m, const float* pSine, int32 tableOrder, float* pOut);  \
  /* Split twiddles of k = 1..N/4 in groups of four: four first values, four second.      */  \
  uint8* spFftMakeRealSplitTwiddlesForward_32f(int32 order, const float* pSine,               \
                                               int32 tableOrder, float* pOut);                \
  uint8* spFftMakeRealSplitTwiddlesInverse_32f(int32 order, const float* pSine,               \
                                               int32 tableOrder, float* pOut);                \
  /* Table, init and work bytes of complex order m above the in-core limit (64 bits).     */  \
  void spFftGetLargeOrderSizes_32fc(int32 m, int64* pSpecBytes, int64* pInitBytes,           \
                                    int64* pWorkBytes);                                       \
  /* Large-order tables of complex order m above the in-core limit from pTables on (the   */  \
  /* row twiddles, then each level's column-pass stream); the bit-reversal table too.     */  \
  /* Returns the end of the tables.                                                        */  \
  uint8* spFftInitLargeOrder_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,       \
                                  int32 tableOrder, uint8* pTables, uint8* pScratch);         \
  uint8* spFftInitLargeOrderLevels_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine, \
                                        int32 tableOrder, int32 level, uint8* pTables,        \
                                        uint8* pScratch);                                     \
  /* ---- bit reversal ---- */                                                                \
  /* Nc = 8 or Nc >= 16 values; pTable the index table of the order.                      */  \
  void spFftBitReversePermuteInPlace_32fc(float* pData, int32 Nc, const int32* pTable);      \
  void spFftBitReversePermute_32fc(const float* pSrc, float* pDst, int32 Nc,                 \
                                   const int32* pTable);                                      \
  /* In place through a swap table of 2^q = N values (nothing below N = 4).               */  \
  void spFftBitReversePermuteBlock_32fc(float* pData, int32 N, const int32* pTable);         \
  /* In place in 4096-value tiles through pWork (8192 values, 16-byte aligned).           */  \
  void spFftBitReversePermuteBlocked_32fc(float* pData, int32 Nc, const int32* pTable,       \
                                          float* pWork);                                      \
  /* ---- transforms (unscaled; natural order out) ---- */                                   \
  /* Nc = 8 up to the limit below the in-core one; pWork 8 Nc bytes, 16-byte aligned.     */  \
  void spFftForwardWithPermutation_32fc(const float* pSrc, float* pDst, int32 Nc,            \
                                        const float* pTwiddles, const int32* pTable,          \
                                        float* pWork);                                        \
  void spFftInverseWithPermutation_32fc(const float* pSrc, float* pDst, int32 Nc,            \
                                        const float* pTwiddles, const int32* pTable,          \
                                        float* pWork);                                        \
  /* In place on bit-reversed data of 64 up to 2^limit values; interleave 1: interleaved  */  \
  /* result, else split quads.                                                            */  \
  void spFftRadixPassesForward_32fc(float* pData, int32 Nc, const float* pTwiddles,          \
                                    float* pWork, int32 interleave);                          \
  void spFftRadixPassesInverse_32fc(float* pData, int32 Nc, const float* pTwiddles,          \
                                    float* pWork, int32 interleave);                          \
  /* ---- large orders: column pass set and drivers ---- */                                  \
  /* Checked byte copy: SP_ERROR_NULL, SP_ERROR_LENGTH (bytes < 1), else SP_OK.           */  \
  spStatus spCopyBlock_8u(const uint8* pSrc, uint8* pDst, int32 bytes);                      \
  /* rows x rowLen values (row i at pData + i stride values) back to back into pWork.     */  \
  void spFftGatherRows_32fc(const float* pData, float* pWork, int32 stride, int32 rows,      \
                            int32 rowLen);                                                    \
  /* The reverse; mode 1 turns split quads into interleaved values, else a plain copy.    */  \
  void spFftScatterRows_32fc(float* pData, const float* pWork, int32 stride, int32 rows,     \
                             int32 rowLen, int32 mode);                                       \
  /* Column passes on split quads, blocks of 4L (8L) values, twiddle groups in sequence.  */  \
  void spFftLargePassRadix4Forward_32fc(const float* pSrc, float* pDst, int32 L,             \
                                        int32 blocks, const float* pTwiddles);                \
  void spFftLargePassRadix4Inverse_32fc(const float* pSrc, float* pDst, int32 L,             \
                                        int32 blocks, const float* pTwiddles);                \
  void spFftLargePassRadix8Forward_32fc(float* pData, const float* pUnused, int32 L,         \
                                        int32 blocks, const float* pTwiddles);                \
  void spFftLargePassRadix8Inverse_32fc(float* pData, const float* pUnused, int32 L,         \
                                        int32 blocks, const float* pTwiddles);                \
  /* Transforms of 2^m values above the in-core limit from pSrc into pDst (may be the     */  \
  /* same), natural order, scaled by the record; pWork the record's workBytes, aligned.   */  \
  void spFftLargeOrderForward_32fc(const spFftSpecHeader* pSpec, const float* pSrc,          \
                                   float* pDst, int32 m, float* pWork);                       \
  void spFftLargeOrderInverse_32fc(const spFftSpecHeader* pSpec, const float* pSrc,          \
                                   float* pDst, int32 m, float* pWork);                       \
  /* One bit-reversed row of 2^m values at recursion level >= 1, left in split quads.     */  \
  void spFftLargeOrderForwardRecursive_32fc(const spFftSpecHeader* pSpec, float* pData,      \
                                            int32 m, int32 level, float* pWork);              \
  void spFftLargeOrderInverseRecursive_32fc(const spFftSpecHeader* pSpec, float* pData,      \
                                            int32 m, int32 level, float* pWork);              \
  /* ---- bit reversal by element width (4, 8 or 16 bytes), nothing calls them ---- */      \
  /* Swap table of the order (pairs, 0, self-reversed, 0); in place nothing below N = 4.  */  \
  void spFftBitReversePairsInPlace_32f(float* pData, int32 N, const int32* pTable);           \
  void spFftBitReversePairsInPlace_64f(double* pData, int32 N, const int32* pTable);          \
  void spFftBitReversePairsInPlace_32fc(float* pData, int32 N, const int32* pTable);          \
  void spFftBitReversePairsInPlace_64fc(double* pData, int32 N, const int32* pTable);         \
  void spFftBitReversePairs_32f(const float* pSrc, float* pDst, int32 N, const int32* pTable); \
  void spFftBitReversePairs_64f(const double* pSrc, double* pDst, int32 N,                   \
                                const int32* pTable);                                         \
  /* 4 x 4 tiles through the index table; N = 8 or N >= 16.                               */  \
  void spFftBitReversePermuteInPlace_32f(float* pData, int32 N, const int32* pTable);         \
  void spFftBitReversePermuteInPlace_64f(double* pData, int32 N, const int32* pTable);        \
  void spFftBitReversePermuteInPlace_64fc(double* pData, int32 N, const int32* pTable);       \
  void spFftBitReversePermute_32f(const float* pSrc, float* pDst, int32 N,                   \
                                  const int32* pTable);                                       \
  void spFftBitReversePermute_64f(const double* pSrc, double* pDst, int32 N,                 \
                                  const int32* pTable);                                       \
  void spFftBitReversePermute_64fc(const double* pSrc, double* pDst, int32 N,                \
                                   const int32* pTable);                                      \
  /* ---- planar complex transforms (real and imaginary arrays), nothing calls them ---- */   \
  /* N >= 8 from the source arrays into the destination ones (may be the same); the       */  \
  /* index table and twiddles of the build's complex record; pWork 8N bytes, aligned.     */  \
  void spFftForwardPlanarWithPermutation_32f(const float* pSrcRe, const float* pSrcIm,       \
                                             float* pDstRe, float* pDstIm, int32 N,           \
                                             const float* pTwiddles, const int32* pTable,     \
                                             uint8* pWork);                                   \
  void spFftInversePlanarWithPermutation_32f(const float* pSrcRe, const float* pSrcIm,       \
                                             float* pDstRe, float* pDstIm, int32 N,           \
                                             const float* pTwiddles, const int32* pTable,     \
                                             uint8* pWork);                                   \
  /* In place on bit-reversed arrays, N >= 64.                                            */  \
  void spFftRadixPassesForwardPlanar_32f(float* pRe, float* pIm, int64 N,                    \
                                         const float* pTwiddles, uint8* pWork);               \
  void spFftRadixPassesInversePlanar_32f(float* pRe, float* pIm, int64 N,                    \
                                         const float* pTwiddles, uint8* pWork);               \
  /* ---- real split and complex multiply ---- */                                            \
  void spFftRealSplitForward_32f(float* pData, int32 Nc, int32 direction, const float* pTw);  \
  void spFftRealSplitInverse_32f(const float* pSrc, float* pDst, int32 Nc, int32 direction,   \
                                 const float* pTw);                                           \
  void spMulComplexInPlace_32fc(const float* pSrc, float* pSrcDst, int32 count);              \
  void spMulComplex_32fc(const float* pSrc1, const float* pSrc2, float* pDst, int32 count);

namespace sp::sse3 {
SP_FFT_PROCESSOR_KERNELS
}  // namespace sp::sse3

// Builds 2 and 3 only: an 8n-point transform (64 <= n <= 131072) as two calls of a
// sub-transform kernel, each writing the n-point transforms of x[8u + c] for four columns c
// into four blocks of split quads, and one radix-8 combine of the eight blocks. Tables: the
// index table of n points and the twiddle records of 8n points (the sub-transforms read
// its first part, the combine its last pass). Nothing in the library calls them.
#define SP_FFT_RADIX8_DECOMPOSITION_KERNELS                                                    \
  /* pDst: four blocks of n values; pWork 32n bytes, used when pSrc == pDst or pDst is    */  \
  /* not 16-byte aligned.                                                                 */  \
  void spFftForwardSubTransforms_32fc(const float* pSrc, float* pDst, int64 n,               \
                                      const float* pTwiddles, const int32* pTable,            \
                                      float* pWork);                                          \
  void spFftInverseSubTransforms_32fc(const float* pSrc, float* pDst, int64 n,               \
                                      const float* pTwiddles, const int32* pTable,            \
                                      float* pWork);                                          \
  /* pDst 16-byte aligned, distinct from the sources.                                     */  \
  void spFftForwardSubTransformsPlanar_32f(const float* pSrcRe, const float* pSrcIm,         \
                                           float* pDst, int64 n, const float* pTwiddles,      \
                                           const int32* pTable);                              \
  void spFftInverseSubTransformsPlanar_32f(const float* pSrcRe, const float* pSrcIm,         \
                                           float* pDst, int64 n, const float* pTwiddles,      \
                                           const int32* pTable);                              \
  /* Positions 0..count-1 of the eight blocks at pSrc (aligned; may be overwritten) into  */  \
  /* the 8n values of the destination.                                                    */  \
  void spFftRadix8CombineForward_32fc(float* pSrc, float* pDst, int64 n, int64 count,        \
                                      const float* pTwiddles);                                \
  void spFftRadix8CombineInverse_32fc(float* pSrc, float* pDst, int64 n, int64 count,        \
                                      const float* pTwiddles);                                \
  void spFftRadix8CombineForwardPlanar_32f(float* pSrc, float* pDstRe, float* pDstIm,        \
                                           int64 n, int32 count, const float* pTwiddles);     \
  void spFftRadix8CombineInversePlanar_32f(float* pSrc, float* pDstRe, float* pDstIm,        \
                                           int64 n, int32 count, const float* pTwiddles);

namespace sp::ssse3 {
SP_FFT_PROCESSOR_KERNELS
SP_FFT_RADIX8_DECOMPOSITION_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_FFT_PROCESSOR_KERNELS
SP_FFT_RADIX8_DECOMPOSITION_KERNELS
}  // namespace sp::sse41
