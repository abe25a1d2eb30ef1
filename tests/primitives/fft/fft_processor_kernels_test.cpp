// Kernels and tables of the processor builds of the FFT engine: pass plans, table contents
// against their defining formulas, every bit-reversal permutation against a naive one,
// the permuting and in-place radix kernels against each other and the DFT, the real split
// passes and the complex multiply against double references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "fft_builds.h"
#include "fft_test_support.h"

namespace {

using namespace fft_test;

class ProcessorKernels : public testing::TestWithParam<ProcessorBuild> {};

uint32_t Rev(uint32_t v, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; ++i, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

// 32-byte aligned float storage (the records' tables are 32-byte aligned).
struct AlignedFloats {
  explicit AlignedFloats(size_t n) : storage(n + 8) {}
  float* data() {
    const auto a = reinterpret_cast<uintptr_t>(storage.data());
    return storage.data() + ((32 - a % 32) % 32) / 4;
  }
  std::vector<float> storage;
};

float Bits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

// ---- plans and constants ------------------------------------------------------------------

TEST_P(ProcessorKernels, PassPlansFollowTheTablesOfTheBuild) {
  const ProcessorBuild& b = GetParam();
  // Radices after the first pass, N = 16 .. 131072.
  const std::vector<std::vector<int>> v1 = {{4},
                                            {8},
                                            {4, 4},
                                            {8, 4},
                                            {4, 4, 4},
                                            {4, 8, 4},
                                            {8, 8, 4},
                                            {8, 8, 8},
                                            {4, 8, 8, 4},
                                            {8, 8, 8, 4},
                                            {8, 8, 8, 8},
                                            {4, 8, 8, 8, 4},
                                            {4, 8, 8, 8, 8}};
  const std::vector<std::vector<int>> v2 = {{4},
                                            {8},
                                            {4, 4},
                                            {4, 8},
                                            {8, 8},
                                            {4, 4, 8},
                                            {4, 8, 8},
                                            {8, 8, 8},
                                            {4, 4, 8, 8},
                                            {4, 8, 8, 8},
                                            {8, 8, 8, 8},
                                            {4, 4, 8, 8, 8},
                                            {4, 8, 8, 8, 8},
                                            {8, 8, 8, 8, 8}};
  const auto& plans = b.variant == 1 ? v1 : v2;
  for (size_t i = 0; i < plans.size(); ++i) {
    const int m = static_cast<int>(i) + 4;
    int radices[16];
    const int count = b.passPlan(m, radices);
    EXPECT_EQ(std::vector<int>(radices, radices + count), plans[i]) << "N = " << (1 << m);
  }
}

TEST_P(ProcessorKernels, KernelConstantsHoldTheRadix8FactorOneUlpAboveTheNearestFloat) {
  const ProcessorBuild& b = GetParam();
  const float r = Bits(0x3F3504F4u);
  const float expected[7][4] = {{1, r, 0, -r},
                                {0, -r, -1, -r},
                                {r, r, r, r},
                                {-r, -r, -r, -r},
                                {0.0f, 0.0f, -0.0f, 0.0f},
                                {0.0f, 0.0f, 0.0f, -0.0f},
                                {-0.0f, 0.0f, -0.0f, 0.0f}};
  EXPECT_EQ(0, std::memcmp(b.constants, expected, sizeof expected));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.constants) % 16, 0u);
}

// ---- tables -------------------------------------------------------------------------------

TEST_P(ProcessorKernels, IndexTableHoldsTwiceTheReversedIndices) {
  const ProcessorBuild& b = GetParam();
  {
    int32 t[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    b.makeIndexTable(4, t);
    EXPECT_EQ(std::vector<int32>(t, t + 6), (std::vector<int32>{0, 4, 2, 6, 0, 9}));
    int32 u[2] = {9, 9};
    EXPECT_EQ(b.makeIndexTable(1, u), reinterpret_cast<uint8*>(u));
    EXPECT_EQ(u[0], 9);
  }
  for (int m = 2; m <= 18; ++m) {
    const int32 bigM = 1 << (m - 2);
    std::vector<int32> t(bigM + 16, 77);
    const uint8* end = b.makeIndexTable(m, t.data());
    for (int32 i = 0; i < bigM; ++i) ASSERT_EQ(t[i], 2 * static_cast<int32>(Rev(i, m - 2))) << m;
    EXPECT_EQ(t[bigM], 0);
    const auto endAddr = reinterpret_cast<uintptr_t>(t.data() + bigM + 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(end), (endAddr + 31) & ~uintptr_t{31});
  }
}

TEST_P(ProcessorKernels, BlockedTableHoldsShiftedOuterReversalsThenTheBlockSwaps) {
  const ProcessorBuild& b = GetParam();
  for (int m = 12; m <= 20; ++m) {
    const int32 outer = 1 << (m - 12);
    std::vector<int32> t(outer + 1100, 0), swaps(1100, 0);
    b.makeBlockedTable(m, 6, t.data());
    sp::generic::spFftMakeBitReversalTable_32s(12, swaps.data());
    for (int32 k = 0; k < outer; ++k) ASSERT_EQ(t[k], static_cast<int32>(Rev(k, m - 12) << 6));
    EXPECT_EQ(0, std::memcmp(t.data() + outer, swaps.data(), 1025 * 4)) << m;
  }
}

TEST_P(ProcessorKernels, TwiddleRecordsHoldTheRootsOfTheirPasses) {
  const ProcessorBuild& b = GetParam();
  for (int m = 4; m <= b.inCoreLimit; ++m) {
    SCOPED_TRACE(testing::Message() << "m " << m);
    const int tableOrder = m <= 10 ? 10 : m;
    std::vector<float> sine((size_t{1} << tableOrder) / 4 + 64);
    const float* table = sp::generic::spFftQuarterSineTable;
    if (tableOrder > 10) {
      sp::generic::spFftMakeSineTable_32f(tableOrder, sine.data());
      table = sine.data();
    }
    const size_t n = size_t{1} << m;
    AlignedFloats tw(2 * n + 16);
    const uint8* end = b.makeTwiddles(m, table, tableOrder, tw.data());
    int radices[16];
    const int passes = b.passPlan(m, radices);
    const float* w = tw.data();
    int64_t span = 4;
    double worst = 0;
    for (int p = 0; p < passes; ++p) {
      const int64_t len = radices[p] * span;
      for (int64_t j = 0; j < span / 4; ++j) {
        for (int t = 1; t < radices[p]; ++t, w += 8) {
          for (int u = 0; u < 4; ++u) {
            const double a = 2 * std::numbers::pi * static_cast<double>(t * (4 * j + u)) / len;
            worst = std::max(worst, std::abs(w[u] - std::cos(a)));
            worst = std::max(worst, std::abs(w[4 + u] + std::sin(a)));
          }
        }
      }
      span *= radices[p];
    }
    EXPECT_EQ(span, static_cast<int64_t>(n));
    EXPECT_LT(worst, 6e-8);  // each value is a correctly rounded table entry
    EXPECT_LE(end, reinterpret_cast<const uint8*>(tw.data() + 2 * n));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(end),
              (reinterpret_cast<uintptr_t>(w) + 31) & ~uintptr_t{31});
  }
}

TEST_P(ProcessorKernels, SplitTwiddlesAreTheGenericPairsRegroupedFromOne) {
  const ProcessorBuild& b = GetParam();
  for (int order = 4; order <= 18; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int tableOrder = order <= 10 ? 10 : order;
    std::vector<float> sine((size_t{1} << tableOrder) / 4 + 64);
    const float* table = sp::generic::spFftQuarterSineTable;
    if (tableOrder > 10) {
      sp::generic::spFftMakeSineTable_32f(tableOrder, sine.data());
      table = sine.data();
    }
    const size_t q = (size_t{1} << order) / 4;
    AlignedFloats fwd(2 * q + 8), inv(2 * q + 8), gf(2 * q + 8), gi(2 * q + 8);
    b.makeSplitForward(order, table, tableOrder, fwd.data());
    b.makeSplitInverse(order, table, tableOrder, inv.data());
    sp::generic::spFftMakeRealSplitTwiddlesForward_32f(order, table, tableOrder, gf.data());
    sp::generic::spFftMakeRealSplitTwiddlesInverse_32f(order, table, tableOrder, gi.data());
    for (size_t k = 1; k <= q; ++k) {
      const size_t g = (k - 1) / 4, lane = (k - 1) % 4;
      const float* f = fwd.data() + 8 * g;
      const float* i = inv.data() + 8 * g;
      if (k < q) {
        ASSERT_EQ(f[lane], gf.data()[2 * k]);
        ASSERT_EQ(f[4 + lane], gf.data()[2 * k + 1]);
        ASSERT_EQ(i[lane], gi.data()[2 * k]);
        ASSERT_EQ(i[4 + lane], gi.data()[2 * k + 1]);
      } else {
        EXPECT_EQ(f[lane], 0.0f);  // 0.5 cos(pi/2), 0.5 - 0.5 sin(pi/2)
        EXPECT_EQ(f[4 + lane], 0.0f);
        EXPECT_EQ(i[lane], 0.0f);
        EXPECT_EQ(i[4 + lane], -1.0f);
      }
    }
  }
}

// ---- bit reversal -------------------------------------------------------------------------

std::vector<float> Numbered(size_t values) {
  std::vector<float> v(2 * values);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i);
  return v;
}

void ExpectReversed(const float* got, const std::vector<float>& src, int m) {
  const size_t n = size_t{1} << m;
  for (size_t k = 0; k < n; ++k) {
    const size_t from = Rev(static_cast<uint32_t>(k), m);
    if (got[2 * k] != src[2 * from] || got[2 * k + 1] != src[2 * from + 1]) {
      ADD_FAILURE() << "m " << m << ": value " << k << " is not value " << from;
      return;
    }
  }
}

TEST_P(ProcessorKernels, TilePermutationsAreTheBitReversalAtOrders3To22) {
  const ProcessorBuild& b = GetParam();
  for (int m = 3; m <= 22; ++m) {
    const size_t n = size_t{1} << m;
    const std::vector<float> src = Numbered(n);
    std::vector<int32> table(n / 4 + 16);
    b.makeIndexTable(m, table.data());
    for (size_t off : {size_t{0}, size_t{2}}) {  // 16-byte and 8-byte aligned data
      if (m > 18 && off != 0) continue;
      Guarded in(2 * n, off), out(2 * n, 2 - off);
      in.Fill(src);
      b.permute(in.data(), out.data(), static_cast<int32>(n), table.data());
      ExpectReversed(out.data(), src, m);
      b.permuteInPlace(in.data(), static_cast<int32>(n), table.data());
      ExpectReversed(in.data(), src, m);
      EXPECT_TRUE(in.GuardsIntact() && out.GuardsIntact()) << m;
    }
  }
}

TEST_P(ProcessorKernels, BlockedPermutationIsTheBitReversalFrom4096Values) {
  const ProcessorBuild& b = GetParam();
  AlignedFloats work(2 * 8192);
  for (int m = 12; m <= 22; ++m) {
    const size_t n = size_t{1} << m;
    const std::vector<float> src = Numbered(n);
    std::vector<int32> table((n >> 12) + 1100);
    b.makeBlockedTable(m, 6, table.data());
    Guarded data(2 * n, m % 2 == 0 ? 0 : 1);
    data.Fill(src);
    b.permuteBlocked(data.data(), static_cast<int32>(n), table.data(), work.data());
    ExpectReversed(data.data(), src, m);
    EXPECT_TRUE(data.GuardsIntact());
  }
  // Fewer than 4096 values: untouched.
  std::vector<float> small = Numbered(2048);
  const std::vector<float> copy = small;
  int32 t[2] = {0, 0};
  b.permuteBlocked(small.data(), 2048, t, work.data());
  EXPECT_EQ(small, copy);
}

TEST_P(ProcessorKernels, SwapTablePermutationIsTheBitReversalAtEveryBlockSize) {
  const ProcessorBuild& b = GetParam();
  for (int q = 2; q <= 12; ++q) {
    const size_t n = size_t{1} << q;
    const std::vector<float> src = Numbered(n);
    std::vector<int32> table(n / 4 + 16);
    sp::generic::spFftMakeBitReversalTable_32s(q, table.data());
    for (size_t off : {size_t{0}, size_t{1}, size_t{2}}) {  // 16-, 4- and 8-byte aligned
      Guarded data(2 * n, off);
      data.Fill(src);
      b.permuteBlock(data.data(), static_cast<int32>(n), table.data());
      ExpectReversed(data.data(), src, q);
      EXPECT_TRUE(data.GuardsIntact());
    }
  }
}

// ---- permuting and radix kernels ---------------------------------------------------------

struct KernelTables {
  KernelTables(const ProcessorBuild& b, int m)
      : index((size_t{1} << m) / 4 + 16), tw((size_t{2} << m) + 16) {
    const int tableOrder = m <= 10 ? 10 : m;
    sine.resize((size_t{1} << tableOrder) / 4 + 64);
    const float* table = sp::generic::spFftQuarterSineTable;
    if (tableOrder > 10) {
      sp::generic::spFftMakeSineTable_32f(tableOrder, sine.data());
      table = sine.data();
    }
    b.makeIndexTable(m, index.data());
    b.makeTwiddles(m, table, tableOrder, tw.data());
  }
  std::vector<int32> index;
  AlignedFloats tw;
  std::vector<float> sine;
};

TEST_P(ProcessorKernels, PermutingKernelsAreTheDftBothWays) {
  const ProcessorBuild& b = GetParam();
  for (int m = 3; m < b.inCoreLimit; ++m) {
    SCOPED_TRACE(testing::Message() << "m " << m);
    const size_t n = size_t{1} << m;
    KernelTables t(b, m);
    AlignedFloats work(2 * n);
    const std::vector<float> x = RandomFloats(2 * n, 40 + m);
    std::vector<float> fwd(2 * n), inv(2 * n);
    b.forwardPermuting(x.data(), fwd.data(), static_cast<int32>(n), t.tw.data(), t.index.data(),
                       work.data());
    b.inversePermuting(x.data(), inv.data(), static_cast<int32>(n), t.tw.data(), t.index.data(),
                       work.data());
    EXPECT_LT(RelativeError(fwd.data(), Interleave(Fft(ToComplex(x), -1))), Tolerance(m));
    EXPECT_LT(RelativeError(inv.data(), Interleave(Fft(ToComplex(x), +1))), Tolerance(m));
  }
}

TEST_P(ProcessorKernels, ImpulseAndConstantGiveFlatAndSingleLineSpectra) {
  const ProcessorBuild& b = GetParam();
  for (int m : {3, 4, 5, 6, 10}) {
    const size_t n = size_t{1} << m;
    KernelTables t(b, m);
    AlignedFloats work(2 * n);
    std::vector<float> impulse(2 * n, 0.0f), ones(2 * n, 0.0f), out(2 * n);
    impulse[0] = 1;
    for (size_t k = 0; k < n; ++k) ones[2 * k] = 1;
    b.forwardPermuting(impulse.data(), out.data(), static_cast<int32>(n), t.tw.data(),
                       t.index.data(), work.data());
    for (size_t k = 0; k < n; ++k) {
      EXPECT_EQ(out[2 * k], 1.0f);
      EXPECT_EQ(out[2 * k + 1], 0.0f);
    }
    b.forwardPermuting(ones.data(), out.data(), static_cast<int32>(n), t.tw.data(), t.index.data(),
                       work.data());
    EXPECT_EQ(out[0], static_cast<float>(n));
    for (size_t k = 1; k < 2 * n; ++k) EXPECT_NEAR(out[k], 0.0f, 1e-5f) << m << " " << k;
  }
}

TEST_P(ProcessorKernels, RadixPassesAfterBitReversalGiveThePermutingKernelsBits) {
  const ProcessorBuild& b = GetParam();
  for (int m = 6; m <= b.inCoreLimit; ++m) {
    SCOPED_TRACE(testing::Message() << "m " << m);
    const size_t n = size_t{1} << m;
    KernelTables t(b, m);
    AlignedFloats work(2 * n);
    const std::vector<float> x = RandomFloats(2 * n, 70 + m);
    std::vector<float> reversed(2 * n);
    b.permute(x.data(), reversed.data(), static_cast<int32>(n), t.index.data());
    for (bool inverse : {false, true}) {
      Guarded data(2 * n), split(2 * n, 2);
      data.Fill(reversed);
      split.Fill(reversed);
      auto radix = inverse ? b.radixInverse : b.radixForward;
      radix(data.data(), static_cast<int32>(n), t.tw.data(), work.data(), 1);
      radix(split.data(), static_cast<int32>(n), t.tw.data(), work.data(), 0);
      if (m < b.inCoreLimit) {
        std::vector<float> ref(2 * n);
        (inverse ? b.inversePermuting : b.forwardPermuting)(
            x.data(), ref.data(), static_cast<int32>(n), t.tw.data(), t.index.data(), work.data());
        EXPECT_EQ(0, std::memcmp(data.data(), ref.data(), 8 * n)) << "inverse " << inverse;
      } else {
        EXPECT_LT(RelativeError(data.data(), Interleave(Fft(ToComplex(x), inverse ? 1 : -1))),
                  Tolerance(m));
      }
      // Split quads, interleaved again, are the same bits (the misaligned run used the work
      // buffer).
      for (size_t q = 0; q < n / 4; ++q) {
        const float* s = split.data() + 8 * q;
        const float* d = data.data() + 8 * q;
        for (int u = 0; u < 4; ++u) {
          ASSERT_EQ(s[u], d[2 * u]) << q;
          ASSERT_EQ(s[4 + u], d[2 * u + 1]) << q;
        }
      }
      EXPECT_TRUE(data.GuardsIntact() && split.GuardsIntact());
    }
  }
}

TEST_P(ProcessorKernels, ForwardThenInverseReturnsNTimesTheInput) {
  const ProcessorBuild& b = GetParam();
  for (int m : {3, 4, 7, 12}) {
    const size_t n = size_t{1} << m;
    KernelTables t(b, m);
    AlignedFloats work(2 * n);
    const std::vector<float> x = RandomFloats(2 * n, m);
    std::vector<float> y(2 * n);
    b.forwardPermuting(x.data(), y.data(), static_cast<int32>(n), t.tw.data(), t.index.data(),
                       work.data());
    b.inversePermuting(y.data(), y.data(), static_cast<int32>(n), t.tw.data(), t.index.data(),
                       work.data());
    EXPECT_LT(RelativeError(y.data(), std::vector<long double>(x.begin(), x.end()), n),
              2 * Tolerance(m));
  }
}

// ---- real split and complex multiply -------------------------------------------------------

TEST_P(ProcessorKernels, SplitPassesMatchADoubleReferenceAndTheGenericBits) {
  const ProcessorBuild& b = GetParam();
  for (int order = 4; order <= 16; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int nc = 1 << (order - 1);
    const int tableOrder = order <= 10 ? 10 : order;
    std::vector<float> sine((size_t{1} << tableOrder) / 4 + 64);
    const float* table = sp::generic::spFftQuarterSineTable;
    if (tableOrder > 10) {
      sp::generic::spFftMakeSineTable_32f(tableOrder, sine.data());
      table = sine.data();
    }
    AlignedFloats fwd(nc + 8), inv(nc + 8), gf(nc + 8), gi(nc + 8);
    b.makeSplitForward(order, table, tableOrder, fwd.data());
    b.makeSplitInverse(order, table, tableOrder, inv.data());
    sp::generic::spFftMakeRealSplitTwiddlesForward_32f(order, table, tableOrder, gf.data());
    sp::generic::spFftMakeRealSplitTwiddlesInverse_32f(order, table, tableOrder, gi.data());
    const std::vector<float> z = RandomFloats(2 * nc, order);

    // Forward, in place, against the formulas in double.
    Guarded data(2 * nc, order % 4);
    data.Fill(z);
    b.splitForward(data.data(), nc, 1, fwd.data());
    double worst = 0;
    for (int k = 1; k < nc / 2; ++k) {
      const int j = nc - k;
      const double a = 0.5 * std::cos(2 * std::numbers::pi * k / (2.0 * nc));
      const double bb = 0.5 - 0.5 * std::sin(2 * std::numbers::pi * k / (2.0 * nc));
      const double d = double(z[2 * k]) - z[2 * j], s = double(z[2 * k + 1]) + z[2 * j + 1];
      const double t = a * s + bb * d, u = bb * s - a * d;
      worst = std::max({worst, std::abs(data.data()[2 * k] - (z[2 * j] + t)),
                        std::abs(data.data()[2 * k + 1] - (u - z[2 * j + 1])),
                        std::abs(data.data()[2 * j] - (z[2 * k] - t)),
                        std::abs(data.data()[2 * j + 1] - (u - z[2 * k + 1]))});
    }
    EXPECT_LT(worst, 1e-6);
    EXPECT_EQ(data.data()[0], z[0]);
    EXPECT_EQ(data.data()[nc], z[nc]);
    EXPECT_EQ(data.data()[nc + 1], -z[nc + 1]);
    EXPECT_TRUE(data.GuardsIntact());
    std::vector<float> generic = z;
    sp::generic::spFftRealSplitForward_32f(generic.data(), nc, 1, gf.data());
    EXPECT_EQ(0, std::memcmp(data.data() + 2, generic.data() + 2, (2 * nc - 2) * 4));

    // Inverse, out of place and in place: the same bits, and those of the generic pass.
    Guarded out(2 * nc, 3);
    std::vector<float> inPlace = z;
    b.splitInverse(z.data(), out.data(), nc, -1, inv.data());
    b.splitInverse(inPlace.data(), inPlace.data(), nc, -1, inv.data());
    std::vector<float> gInv(2 * nc);
    sp::generic::spFftRealSplitInverse_32f(z.data(), gInv.data(), nc, -1, gi.data());
    EXPECT_EQ(0, std::memcmp(out.data() + 2, gInv.data() + 2, (2 * nc - 2) * 4));
    EXPECT_EQ(0, std::memcmp(inPlace.data() + 2, gInv.data() + 2, (2 * nc - 2) * 4));
    EXPECT_EQ(out.data()[nc], 2 * z[nc]);
    EXPECT_EQ(out.data()[nc + 1], -2 * z[nc + 1]);
    EXPECT_TRUE(out.GuardsIntact());
  }
}

TEST_P(ProcessorKernels, ComplexMultiplyMatchesADoubleReferenceOnEveryAlignment) {
  const ProcessorBuild& b = GetParam();
  for (int count = 0; count <= 19; ++count) {
    const std::vector<float> a = RandomFloats(2 * count, count),
                             c = RandomFloats(2 * count, 99 - count);
    std::vector<float> ref(2 * count);
    for (int k = 0; k < count; ++k) {
      // Each product rounded to float, then the sum rounded: the exact single-precision rule.
      const float p1 = a[2 * k] * c[2 * k], p2 = a[2 * k + 1] * c[2 * k + 1];
      const float p3 = a[2 * k] * c[2 * k + 1], p4 = a[2 * k + 1] * c[2 * k];
      ref[2 * k] = p1 - p2;
      ref[2 * k + 1] = p3 + p4;
      const double exactRe = double(a[2 * k]) * c[2 * k] - double(a[2 * k + 1]) * c[2 * k + 1];
      ASSERT_NEAR(ref[2 * k], exactRe, 1e-6);
    }
    for (size_t o1 = 0; o1 < 4; ++o1) {
      for (size_t o2 = 0; o2 < 4; ++o2) {
        SCOPED_TRACE(testing::Message() << "count " << count << " offsets " << o1 << " " << o2);
        Guarded src(2 * count, o1), dst(2 * count, o2), out(2 * count, (o1 + o2) % 4);
        if (count > 0) {
          src.Fill(a);
          dst.Fill(c);
        }
        b.mulComplex(src.data(), dst.data(), out.data(), count);
        b.mulComplexInPlace(src.data(), dst.data(), count);
        EXPECT_EQ(std::vector<float>(dst.data(), dst.data() + ref.size()), ref);
        EXPECT_EQ(std::vector<float>(out.data(), out.data() + ref.size()), ref);
        EXPECT_TRUE(src.GuardsIntact() && dst.GuardsIntact() && out.GuardsIntact());
      }
    }
  }
}

// ---- large-order tables --------------------------------------------------------------------

TEST_P(ProcessorKernels, LargeOrderTablesHoldTheRowTwiddlesAndTheColumnStream) {
  const ProcessorBuild& b = GetParam();
  static const int kS[] = {3, 4, 4, 4, 5}, kW[] = {9, 10, 10, 10, 13};  // orders 17..21
  for (int m : {17, 18, 19, 21}) {
    if (m <= b.inCoreLimit) continue;
    SCOPED_TRACE(testing::Message() << "m " << m);
    const int s = kS[m - 17], w = kW[m - 17], r = m - s;
    const int64_t nc = int64_t{1} << m, bigR = int64_t{1} << r, k = int64_t{1} << (w - s);
    uint32 specBytes = 0, initBytes = 0, workBytes = 0;
    ASSERT_EQ(b.sizeComplex(m, SP_FFT_NO_SCALE, 0, &specBytes, &initBytes, &workBytes), SP_OK);
    std::vector<float> sine(nc / 4 + 64);
    sp::generic::spFftMakeSineTable_32f(m, sine.data());
    GuardedBytes mem(specBytes, 5);
    auto* base =
        reinterpret_cast<uint8*>((reinterpret_cast<uintptr_t>(mem.data()) + 31) & ~uintptr_t{31});
    std::memset(base, 0, sizeof(spFftSpecHeader));
    auto* rec = reinterpret_cast<spFftSpecHeader*>(base);
    rec->bitReversalTable = reinterpret_cast<int32*>(base + sizeof(spFftSpecHeader));
    uint8* p = base + sizeof(spFftSpecHeader) + ((nc / 4 * 4 + 35) & ~int64_t{31});
    p = reinterpret_cast<uint8*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
    const uint8* end = b.initLargeOrder(rec, m, sine.data(), m, p, nullptr);
    EXPECT_LE(end, mem.data() + specBytes);
    EXPECT_TRUE(mem.TailIntact());
    EXPECT_EQ(static_cast<uint32>(rec->workBytes) + 32, workBytes);

    // Bit reversal: index table below the blocked limit, blocked table from it.
    if (m < (b.variant == 1 ? 20 : 19)) {
      std::vector<int32> index(nc / 4 + 16);
      b.makeIndexTable(m, index.data());
      EXPECT_EQ(0, std::memcmp(rec->bitReversalTable, index.data(), (nc / 4 + 1) * 4));
    } else {
      std::vector<int32> blocked((nc >> 12) + 1100);
      b.makeBlockedTable(m, 6, blocked.data());
      EXPECT_EQ(0, std::memcmp(rec->bitReversalTable, blocked.data(), ((nc >> 12) + 1025) * 4));
    }
    // Row twiddles: the build's records of order r from the same sine table.
    AlignedFloats rows(2 * bigR + 16);
    b.makeTwiddles(r, sine.data(), m, rows.data());
    EXPECT_EQ(0, std::memcmp(rec->twiddles, rows.data(), 8 * (bigR - 4)));

    // Column stream, against the exponentials in double.
    const float* v = rec->levelBlocks[0];
    double worst = 0;
    for (int64_t c0 = 0; c0 < bigR; c0 += k) {
      for (int done = 0; done < s;) {
        const int beta = (s - done == 2 || s - done == 4) ? 2 : 3;
        for (int64_t rho = 0; rho < (int64_t{1} << done); ++rho) {
          for (int64_t c = 0; c < k; c += 4) {
            for (int64_t j = 1; j < (int64_t{1} << beta); ++j, v += 8) {
              for (int u = 0; u < 4; ++u) {
                const double a = 2 * std::numbers::pi *
                                 static_cast<double>(j * (c0 + c + u + bigR * rho)) /
                                 static_cast<double>(bigR << (done + beta));
                worst = std::max(
                    {worst, std::abs(v[u] - std::cos(a)), std::abs(v[4 + u] + std::sin(a))});
              }
            }
          }
        }
        done += beta;
      }
    }
    EXPECT_LT(worst, 6e-8);
    EXPECT_EQ(v - rec->levelBlocks[0], 2 * ((int64_t{1} << s) - 1) * bigR);
    EXPECT_EQ(reinterpret_cast<const uint8*>(rec->levelBlocks[0]) + 8 * nc, end);
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ProcessorKernels, testing::ValuesIn(ProcessorBuilds()), BuildName);

}  // namespace
