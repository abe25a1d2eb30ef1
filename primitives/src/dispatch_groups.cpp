// The two dispatch groups: one four-slot table per entry, [generic, SSE3, SSSE3,
// SSE4.1-class], indexed by spDispatchIndex. A row stays empty ({}) until the module
// that builds its bodies fills it; see primitives/CMakeLists.txt. One row per line, the
// blank lines between rows keep edits of neighbouring rows apart.
#include "entry.h"
#include "sp/core_bodies.h"

#if __has_include("sp/convert_bodies.h")
#include "sp/convert_bodies.h"
#endif

#if __has_include("sp/filters_bodies.h")
#include "sp/filters_bodies.h"
#endif

#if __has_include("sp/fft_bodies.h")
#include "sp/fft_bodies.h"
#endif

#if __has_include("sp/vecmath_bodies.h")
#include "sp/vecmath_bodies.h"
#endif

// clang-format off
const spDispatchTable spDispatchGroup1[25] = {
    SP_BUILDS(spZero_32f),  // 0 spZero_32f

    SP_BUILDS(spConvert_32f16s),  // 1 spConvert_32f16s

    SP_BUILDS(spConvert_32f32s),  // 2 spConvert_32f32s

    SP_BUILDS(spConvert_16s32f),  // 3 spConvert_16s32f

    SP_DISPATCH_TABLE(&sp::generic::spConvertScaled_32s32f, &sp::generic::spConvertScaled_32s32f, &sp::ssse3::spConvertScaled_32s32f, &sp::ssse3::spConvertScaled_32s32f),  // 4 spConvertScaled_32s32f

    SP_BUILDS(spConvert_24s32f),  // 5 spConvert_24s32f

    SP_BUILDS(spConvert_32f24s),  // 6 spConvert_32f24s

    SP_DISPATCH_TABLE(&sp::generic::spAddInPlace_32f, &sp::sse3::spAddInPlace_32f, &sp::ssse3::spAddInPlace_32f, &sp::ssse3::spAddInPlace_32f),  // 7 spAddInPlace_32f

    SP_BUILDS(spDivConstInPlace_32f),  // 8 spDivConstInPlace_32f

    SP_BUILDS(spMove_32f),  // 9 spMove_32f

    SP_BUILDS(spMulConstInPlace_32f),  // 10 spMulConstInPlace_32f

    SP_BUILDS(spFirInit_32f),  // 11 spFirInit_32f

    SP_BUILDS(spFirGetStateSize_32f),  // 12 spFirGetStateSize_32f

    SP_BUILDS(spFirMultirateInit_32f),  // 13 spFirMultirateInit_32f

    SP_BUILDS(spFirMultirateGetStateSize_32f),  // 14 spFirMultirateGetStateSize_32f

    SP_BUILDS(spFirFilter_32f),  // 15 spFirFilter_32f

    SP_BUILDS(spFirFilterOneSample_32f),  // 16 spFirFilterOneSample_32f

    SP_BUILDS(spIirFilterInPlace_32f),  // 17 spIirFilterInPlace_32f

    SP_DISPATCH_TABLE(&sp::generic::spIirGetStateSize_32f, &sp::sse3::spIirGetStateSize_32f, &sp::ssse3::spIirGetStateSize_32f, &sp::ssse3::spIirGetStateSize_32f),  // 18 spIirGetStateSize_32f

    SP_BUILDS(spIirInit_32f),  // 19 spIirInit_32f

    SP_BUILDS(spConvert_32s32f),  // 20 spConvert_32s32f

    SP_DISPATCH_TABLE(&sp::generic::spAddConstInPlace_32f, &sp::sse3::spAddConstInPlace_32f, &sp::ssse3::spAddConstInPlace_32f, &sp::ssse3::spAddConstInPlace_32f),  // 21 spAddConstInPlace_32f

    SP_BUILDS(spInterleave_32f),  // 22 spInterleave_32f

    SP_BUILDS(spDeinterleave_32f),  // 23 spDeinterleave_32f

    SP_BUILDS(spPower_32f),  // 24 spPower_32f
};

const spDispatchTable spDispatchGroup2[30] = {
    SP_BUILDS(spCopy_32f),  // 0 spCopy_32f

    SP_BUILDS(spSet_32f),  // 1 spSet_32f

    SP_BUILDS(spMulConst_32f),  // 2 spMulConst_32f

    SP_BUILDS(spSquareRootInPlace_32f),  // 3 spSquareRootInPlace_32f

    SP_BUILDS(spAbsoluteInPlace_32f),  // 4 spAbsoluteInPlace_32f

    SP_BUILDS(spMaximum_32f),  // 5 spMaximum_32f

    SP_BUILDS(spMinimum_32f),  // 6 spMinimum_32f

    SP_BUILDS(spFftCreateSpecComplex_32fc),  // 7 spFftCreateSpecComplex_32fc

    SP_DISPATCH_TABLE(&sp::generic::spFftFreeSpecComplex_32fc, &sp::generic::spFftFreeSpecComplex_32fc, &sp::generic::spFftFreeSpecComplex_32fc, &sp::generic::spFftFreeSpecComplex_32fc),  // 8 spFftFreeSpecComplex_32fc

    SP_BUILDS(spFftForwardComplex_32fc),  // 9 spFftForwardComplex_32fc

    SP_DISPATCH_TABLE(&sp::generic::spAllocate_32f, &sp::generic::spAllocate_32f, &sp::generic::spAllocate_32f, &sp::generic::spAllocate_32f),  // 10 spAllocate_32f

    SP_DISPATCH_TABLE(&sp::generic::spFree, &sp::generic::spFree, &sp::generic::spFree, &sp::generic::spFree),  // 11 spFree

    SP_DISPATCH_TABLE(&sp::generic::spMultiplyInPlace_32f, &sp::sse3::spMultiplyInPlace_32f, &sp::ssse3::spMultiplyInPlace_32f, &sp::ssse3::spMultiplyInPlace_32f),  // 12 spMultiplyInPlace_32f

    SP_DISPATCH_TABLE(&sp::generic::spAdd_32f, &sp::sse3::spAdd_32f, &sp::ssse3::spAdd_32f, &sp::ssse3::spAdd_32f),  // 13 spAdd_32f

    SP_DISPATCH_TABLE(&sp::generic::spSubtract_32f, &sp::sse3::spSubtract_32f, &sp::ssse3::spSubtract_32f, &sp::ssse3::spSubtract_32f),  // 14 spSubtract_32f

    SP_DISPATCH_TABLE(&sp::generic::spMultiply_32f, &sp::sse3::spMultiply_32f, &sp::ssse3::spMultiply_32f, &sp::ssse3::spMultiply_32f),  // 15 spMultiply_32f

    SP_GENERIC_ONLY(spMultiplyAccumulate_32f),  // 16 spMultiplyAccumulate_32f

    SP_BUILDS(spSquare_32f),  // 17 spSquare_32f

    SP_BUILDS(spDivide_32f),  // 18 spDivide_32f

    SP_BUILDS(spExponentialInPlace_32f),  // 19 spExponentialInPlace_32f

    SP_BUILDS(spNaturalLogInPlace_32f),  // 20 spNaturalLogInPlace_32f

    SP_BUILDS(spSum_32f),  // 21 spSum_32f

    SP_BUILDS(spMean_32f),  // 22 spMean_32f

    SP_BUILDS(spMinElementwiseInPlace_32f),  // 23 spMinElementwiseInPlace_32f

    SP_BUILDS(spMaxElementwiseInPlace_32f),  // 24 spMaxElementwiseInPlace_32f

    SP_BUILDS(spDotProduct_32f),  // 25 spDotProduct_32f

    SP_BUILDS(spFftCreateSpecReal_32f),  // 26 spFftCreateSpecReal_32f

    SP_DISPATCH_TABLE(&sp::generic::spFftFreeSpecReal_32f, &sp::generic::spFftFreeSpecReal_32f, &sp::generic::spFftFreeSpecReal_32f, &sp::generic::spFftFreeSpecReal_32f),  // 27 spFftFreeSpecReal_32f

    SP_BUILDS(spFftForwardRealInPlace_32f),  // 28 spFftForwardRealInPlace_32f

    SP_BUILDS(spFftInverseRealInPlace_32f),  // 29 spFftInverseRealInPlace_32f
};
// clang-format on
