// Inside of the FFT engine: the table builders of the set-up and the transform kernels of
// the generic build. The kernels check nothing: they trust the record and the pointers
// the entries of sp/fft_bodies.h have checked.
#pragma once

#include "sp/fft_bodies.h"

namespace sp::generic {

// sin(2 pi k / 1024), k = 0..256, each the double value rounded to float: the sine table of
// every record up to order 10.
extern const float spFftQuarterSineTable[257];

// Split order s of the recursive large-order scheme by complex order 11..30 (index m - 11);
// 0 selects the block scheme.
inline constexpr int32 spFftLargeOrderPlanTable[20] = {0, 0, 5, 6, 7, 8, 8, 8, 10, 10,
                                                       10, 10, 8, 8, 10, 10, 10, 10, 10, 10};

// ---- table builders (each returns the address after what it wrote, rounded up to 32) ----

// Clears len bytes (the record header). SP_ERROR_NULL, SP_ERROR_LENGTH, else SP_OK.
spStatus spZeroBlock_8u(uint8* p, int32 len);
// Sine table of order T > 10: entry k = sin(2 pi k / 2^T), k = 0..2^T/4.
uint8* spFftMakeSineTable_32f(int32 order, float* pTable);
// Twiddle triples (W^k, W^2k, W^3k), W = e^(-2 pi i / 2^m), k = 0..2^m/4, from a sine table
// of order tableOrder >= m.
uint8* spFftMakeTwiddles_32fc(int32 m, const float* pSine, int32 tableOrder, float* pOut);
// Bit-reversal swap table of complex order m (pairs, 0, self-reversed values, 0).
uint8* spFftMakeBitReversalTable_32s(int32 m, int32* pTable);
// Split twiddles of a real record of 2^order values: forward pairs
// (0.5 cos, 0.5 - 0.5 sin) and inverse pairs (cos, -sin) of 2 pi k / N, k < N/4.
uint8* spFftMakeRealSplitTwiddlesForward_32f(int32 order, const float* pSine, int32 tableOrder,
                                             float* pOut);
uint8* spFftMakeRealSplitTwiddlesInverse_32f(int32 order, const float* pSine, int32 tableOrder,
                                             float* pOut);
// Large-order tables of complex order m >= 11 from pTables on; pScratch is the init buffer
// after the sine table. Returns the end of the tables.
uint8* spFftInitLargeOrder_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,
                                int32 tableOrder, uint8* pTables, uint8* pScratch);
uint8* spFftInitLargeOrderLevels_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,
                                      int32 tableOrder, int32 level, uint8* pTables,
                                      uint8* pScratch);
// Table, init and work bytes of complex order m >= 11, in 64 bits (the callers refuse
// what does not fit 32).
void spFftGetLargeOrderSizes_32fc(int32 m, int64* pSpecBytes, int64* pInitBytes,
                                  int64* pWorkBytes);

// ---- transform kernels --------------------------------------------------------------------

// pDst = pSrc in bit-reversed order of the Nc >= 8 complex values (no overlap).
void spFftBitReversePermute_32fc(const float* pSrc, float* pDst, int32 Nc, const int32* pTable);
void spFftBitReversePermuteInPlace_32fc(float* pData, int32 Nc, const int32* pTable);
// Radix passes in place on bit-reversed data of 8 <= Nc <= 1024 values, natural order out,
// unscaled; the inverse uses conjugate twiddles.
void spFftRadixPassesForward_32fc(float* pData, int32 Nc, const float* pTwiddles);
void spFftRadixPassesInverse_32fc(float* pData, int32 Nc, const float* pTwiddles);
// Real split between the half-length transform and the packed real spectrum (Nc >= 8).
void spFftRealSplitForward_32f(float* pData, int32 Nc, int32 direction, const float* pPairs);
void spFftRealSplitInverse_32f(const float* pSrc, float* pDst, int32 Nc, int32 direction,
                               const float* pPairs);

// Radix-2 passes merging adjacent span-point transforms into one n-point transform, in
// place; pTwiddles holds W_n^j for j < n/4. flag is not read; chunk tiles the loops.
// Returns the final number of column groups.
int32 spFftOuterPassesForward_32fc(float* pData, int32 n, int32 span, const float* pTwiddles,
                                   uint64 flag, uint32 chunk);
int32 spFftOuterPassesInverse_32fc(float* pData, int32 n, int32 span, const float* pTwiddles,
                                   uint64 flag, uint32 chunk);

// Complex transforms of order m >= 11 from pSrc into pDst (may be the same), natural
// order, scaled by the record in the direction it scales. pWork: the record's workBytes,
// 32-byte aligned.
void spFftLargeOrderForward_32fc(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                 int32 m, float* pWork);
void spFftLargeOrderInverse_32fc(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                 int32 m, float* pWork);
// The recursive scheme on bit-reversed data of 2^m values, in place, at recursion level.
void spFftLargeOrderForwardRecursive_32fc(const spFftSpecHeader* pSpec, float* pData, int32 m,
                                          int32 level, float* pWork);
void spFftLargeOrderInverseRecursive_32fc(const spFftSpecHeader* pSpec, float* pData, int32 m,
                                          int32 level, float* pWork);

// Small-order kernels by order 0..3: columns 0-3 unscaled (pSrc, pDst), 4-7 scaled.
using spFftSmallKernel = void (*)(const float* pSrc, float* pDst);
using spFftSmallScaledKernel = void (*)(const float* pSrc, float* pDst, float scale);
struct spFftSmallKernelRow {
  spFftSmallKernel unscaled[4];
  spFftSmallScaledKernel scaled[4];
};
// Generic rows: complex forward; real forward (row 0) and real inverse (row 1).
extern const spFftSmallKernelRow spSmallComplexFftTable[1];
extern const spFftSmallKernelRow spSmallRealFftTable[2];

}  // namespace sp::generic
