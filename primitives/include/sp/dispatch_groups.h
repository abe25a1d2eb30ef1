// The two dispatch groups of the primitives library and the index of every entry.
#pragma once

#include "sp/base.h"

extern const spDispatchTable spDispatchGroup1[25];
extern const spDispatchTable spDispatchGroup2[30];

namespace sp::group1 {
enum : int {
  spZero_32f = 0,
  spConvert_32f16s = 1,
  spConvert_32f32s = 2,
  spConvert_16s32f = 3,
  spConvertScaled_32s32f = 4,
  spConvert_24s32f = 5,
  spConvert_32f24s = 6,
  spAddInPlace_32f = 7,
  spDivConstInPlace_32f = 8,
  spMove_32f = 9,
  spMulConstInPlace_32f = 10,
  spFirInit_32f = 11,
  spFirGetStateSize_32f = 12,
  spFirMultirateInit_32f = 13,
  spFirMultirateGetStateSize_32f = 14,
  spFirFilter_32f = 15,
  spFirFilterOneSample_32f = 16,
  spIirFilterInPlace_32f = 17,
  spIirGetStateSize_32f = 18,
  spIirInit_32f = 19,
  spConvert_32s32f = 20,
  spAddConstInPlace_32f = 21,
  spInterleave_32f = 22,
  spDeinterleave_32f = 23,
  spPower_32f = 24,
};
}  // namespace sp::group1

namespace sp::group2 {
enum : int {
  spCopy_32f = 0,
  spSet_32f = 1,
  spMulConst_32f = 2,
  spSquareRootInPlace_32f = 3,
  spAbsoluteInPlace_32f = 4,
  spMaximum_32f = 5,
  spMinimum_32f = 6,
  spFftCreateSpecComplex_32fc = 7,
  spFftFreeSpecComplex_32fc = 8,
  spFftForwardComplex_32fc = 9,
  spAllocate_32f = 10,
  spFree = 11,
  spMultiplyInPlace_32f = 12,
  spAdd_32f = 13,
  spSubtract_32f = 14,
  spMultiply_32f = 15,
  spMultiplyAccumulate_32f = 16,
  spSquare_32f = 17,
  spDivide_32f = 18,
  spExponentialInPlace_32f = 19,
  spNaturalLogInPlace_32f = 20,
  spSum_32f = 21,
  spMean_32f = 22,
  spMinElementwiseInPlace_32f = 23,
  spMaxElementwiseInPlace_32f = 24,
  spDotProduct_32f = 25,
  spFftCreateSpecReal_32f = 26,
  spFftFreeSpecReal_32f = 27,
  spFftForwardRealInPlace_32f = 28,
  spFftInverseRealInPlace_32f = 29,
};
}  // namespace sp::group2
