// Every positive finite float through the square-root kernel of every build: the
// estimate path stays within its bound, and the exact paths are correctly rounded.
#include <gtest/gtest.h>

#include "vecmath_test_support.h"

namespace {

TEST(SquareRootKernelLong, EveryFloatWithinTheEstimateBound) {
  vmtest::MxcsrGuard mxcsr;
  for (const vmtest::Kernels& k : vmtest::SupportedKernels()) {
    SCOPED_TRACE(k.name);
    // Subnormals and zero take the exact path: correctly rounded.
    EXPECT_EQ(vmtest::SqrtWindowWorstUlps(k.sqrt32f, 0, 0x00800000u), 0);
    EXPECT_LE(vmtest::SqrtWindowWorstUlps(k.sqrt32f, 0x00800000u, 0x7F800000u - 0x00800000u),
              vmtest::kSqrtEstimateUlps);
  }
}

// Negative patterns: every one gives the NaN and a nonzero result.
TEST(SquareRootKernelLong, EveryNegativeFloatGivesTheNaN) {
  vmtest::MxcsrGuard mxcsr;
  constexpr uint32 kChunk = 4096;
  alignas(16) static float in[kChunk], out[kChunk];
  for (const vmtest::Kernels& k : vmtest::SupportedKernels()) {
    SCOPED_TRACE(k.name);
    for (uint64 start = 0x80000001u; start < 0xFF800001u; start += kChunk) {
      for (uint32 i = 0; i < kChunk; ++i) {
        const uint64 b = start + i;
        in[i] = sptest::FromBits(b < 0xFF800001u ? static_cast<uint32>(b) : 0xBF800000u);
      }
      ASSERT_NE(k.sqrt32f(in, out, kChunk), 0);
      for (uint32 i = 0; i < kChunk; ++i) ASSERT_EQ(sptest::Bits(out[i]), 0xFFC00000u) << start + i;
    }
  }
}

}  // namespace
