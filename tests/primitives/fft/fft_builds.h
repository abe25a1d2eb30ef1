// The three processor builds of the FFT engine as rows of function pointers, so one test
// body runs against each of them.
#pragma once

#include <string>
#include <vector>

#include "sp/fft_bodies.h"
#include "sp/fft_proc_kernels.h"

namespace fft_test {

struct ProcessorBuild {
  const char* name;
  int variant;  // 1 (SSE3) or 2 (SSSE3 and SSE4.1, the same code)
  int inCoreLimit;
  decltype(&sp::sse3::spFftGetSpecSizeReal_32f) sizeReal;
  decltype(&sp::sse3::spFftInitSpecReal_32f) initReal;
  decltype(&sp::sse3::spFftCreateSpecReal_32f) createReal;
  decltype(&sp::sse3::spFftFreeSpecReal_32f) freeReal;
  decltype(&sp::sse3::spFftForwardReal_32f) forwardReal;
  decltype(&sp::sse3::spFftInverseReal_32f) inverseReal;
  decltype(&sp::sse3::spMulPackedSpectrumInPlace_32f) mulPacked;
  decltype(&sp::sse3::spFftGetSpecSizeComplex_32fc) sizeComplex;
  decltype(&sp::sse3::spFftInitSpecComplex_32fc) initComplex;
  decltype(&sp::sse3::spFftCreateSpecComplex_32fc) createComplex;
  decltype(&sp::sse3::spFftFreeSpecComplex_32fc) freeComplex;
  decltype(&sp::sse3::spFftForwardComplex_32fc) forwardComplex;
  // Kernels.
  decltype(&sp::sse3::spFftPassPlan) passPlan;
  decltype(&sp::sse3::spFftMakeBitReversalIndexTable_32s) makeIndexTable;
  decltype(&sp::sse3::spFftMakeBlockedBitReversalTable_32s) makeBlockedTable;
  decltype(&sp::sse3::spFftMakeTwiddles_32fc) makeTwiddles;
  decltype(&sp::sse3::spFftMakeRealSplitTwiddlesForward_32f) makeSplitForward;
  decltype(&sp::sse3::spFftMakeRealSplitTwiddlesInverse_32f) makeSplitInverse;
  decltype(&sp::sse3::spFftBitReversePermuteInPlace_32fc) permuteInPlace;
  decltype(&sp::sse3::spFftBitReversePermute_32fc) permute;
  decltype(&sp::sse3::spFftBitReversePermuteBlock_32fc) permuteBlock;
  decltype(&sp::sse3::spFftBitReversePermuteBlocked_32fc) permuteBlocked;
  decltype(&sp::sse3::spFftForwardWithPermutation_32fc) forwardPermuting;
  decltype(&sp::sse3::spFftInverseWithPermutation_32fc) inversePermuting;
  decltype(&sp::sse3::spFftRadixPassesForward_32fc) radixForward;
  decltype(&sp::sse3::spFftRadixPassesInverse_32fc) radixInverse;
  decltype(&sp::sse3::spFftRealSplitForward_32f) splitForward;
  decltype(&sp::sse3::spFftRealSplitInverse_32f) splitInverse;
  decltype(&sp::sse3::spMulComplexInPlace_32fc) mulComplexInPlace;
  decltype(&sp::sse3::spMulComplex_32fc) mulComplex;
  decltype(&sp::sse3::spFftInitLargeOrder_32fc) initLargeOrder;
  decltype(&sp::sse3::spFftLargeOrderForward_32fc) largeForward;
  decltype(&sp::sse3::spFftLargeOrderInverse_32fc) largeInverse;
  decltype(&sp::sse3::spCopyBlock_8u) copyBlock;
  decltype(&sp::sse3::spFftGatherRows_32fc) gatherRows;
  decltype(&sp::sse3::spFftScatterRows_32fc) scatterRows;
  decltype(&sp::sse3::spFftLargePassRadix4Forward_32fc) largePass4Forward;
  decltype(&sp::sse3::spFftLargePassRadix4Inverse_32fc) largePass4Inverse;
  decltype(&sp::sse3::spFftLargePassRadix8Forward_32fc) largePass8Forward;
  decltype(&sp::sse3::spFftLargePassRadix8Inverse_32fc) largePass8Inverse;
  const float (*constants)[4];
};

#define FFT_TEST_BUILD(ns, variant, limit)                                                      \
  ProcessorBuild {                                                                              \
#ns, variant, limit, &sp::ns::spFftGetSpecSizeReal_32f, &sp::ns::spFftInitSpecReal_32f,     \
        &sp::ns::spFftCreateSpecReal_32f, &sp::ns::spFftFreeSpecReal_32f,                       \
        &sp::ns::spFftForwardReal_32f, &sp::ns::spFftInverseReal_32f,                           \
        &sp::ns::spMulPackedSpectrumInPlace_32f, &sp::ns::spFftGetSpecSizeComplex_32fc,         \
        &sp::ns::spFftInitSpecComplex_32fc, &sp::ns::spFftCreateSpecComplex_32fc,               \
        &sp::ns::spFftFreeSpecComplex_32fc, &sp::ns::spFftForwardComplex_32fc,                  \
        &sp::ns::spFftPassPlan, &sp::ns::spFftMakeBitReversalIndexTable_32s,                    \
        &sp::ns::spFftMakeBlockedBitReversalTable_32s, &sp::ns::spFftMakeTwiddles_32fc,         \
        &sp::ns::spFftMakeRealSplitTwiddlesForward_32f,                                         \
        &sp::ns::spFftMakeRealSplitTwiddlesInverse_32f,                                         \
        &sp::ns::spFftBitReversePermuteInPlace_32fc, &sp::ns::spFftBitReversePermute_32fc,      \
        &sp::ns::spFftBitReversePermuteBlock_32fc, &sp::ns::spFftBitReversePermuteBlocked_32fc, \
        &sp::ns::spFftForwardWithPermutation_32fc, &sp::ns::spFftInverseWithPermutation_32fc,   \
        &sp::ns::spFftRadixPassesForward_32fc, &sp::ns::spFftRadixPassesInverse_32fc,           \
        &sp::ns::spFftRealSplitForward_32f, &sp::ns::spFftRealSplitInverse_32f,                 \
        &sp::ns::spMulComplexInPlace_32fc, &sp::ns::spMulComplex_32fc,                          \
        &sp::ns::spFftInitLargeOrder_32fc, &sp::ns::spFftLargeOrderForward_32fc,                \
        &sp::ns::spFftLargeOrderInverse_32fc, &sp::ns::spCopyBlock_8u,                          \
        &sp::ns::spFftGatherRows_32fc, &sp::ns::spFftScatterRows_32fc,                          \
        &sp::ns::spFftLargePassRadix4Forward_32fc, &sp::ns::spFftLargePassRadix4Inverse_32fc,   \
        &sp::ns::spFftLargePassRadix8Forward_32fc, &sp::ns::spFftLargePassRadix8Inverse_32fc,   \
        sp::ns::spFftKernelConstants                                                            \
  }

inline const std::vector<ProcessorBuild>& ProcessorBuilds() {
  static const std::vector<ProcessorBuild> builds = {
      FFT_TEST_BUILD(sse3, 1, 16),
      FFT_TEST_BUILD(ssse3, 2, 17),
      FFT_TEST_BUILD(sse41, 2, 17),
  };
  return builds;
}

inline std::string BuildName(const testing::TestParamInfo<ProcessorBuild>& info) {
  return info.param.name;
}

}  // namespace fft_test
