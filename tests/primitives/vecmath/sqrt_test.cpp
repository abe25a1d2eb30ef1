// The square-root kernels: stored values and the negative result in every position
// (head, block, tail), the estimate path within its error bound over windows of inputs,
// the 64-bit kernel, and the MXCSR left exactly as the caller had it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vecmath_test_support.h"

namespace {

using sptest::Bits;
using sptest::FromBits;
using sptest::Guarded;

const std::vector<vmtest::Kernels> kKernels = vmtest::SupportedKernels();

// One special value at every position of a 37-element vector, at destinations 0, 4, 8
// and 12 bytes past a 16-byte boundary: heads of 0-3, two blocks, a tail of 1-5.
TEST(SquareRootKernel, SpecialValuesInEveryPosition) {
  struct Case {
    uint32 in, out;
    bool negative;
  } cases[] = {
      {0x80000000u, 0x80000000u, false},  // -0
      {0x00000000u, 0x00000000u, false},  // +0
      {0x7F800000u, 0x7F800000u, false},  // +inf
      {0xFF800000u, 0xFFC00000u, true},   // -inf
      {0xC0800000u, 0xFFC00000u, true},   // -4
      {0x80000001u, 0xFFC00000u, true},   // negative subnormal
      {0x7FC00000u, 0x7FC00000u, false},  // quiet NaN
      {0x7F800001u, 0x7FC00001u, false},  // signalling NaN, made quiet
      {0x00000003u, 0x1A9CC471u, false},  // a subnormal: its correctly rounded root
  };
  vmtest::MxcsrGuard mxcsr;
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    for (const Case& c : cases) {
      for (int offset : {0, 4, 8, 12}) {
        for (int pos = 0; pos < 37; ++pos) {
          Guarded buf(4 * 37, offset);
          std::vector<float> v(37);
          for (int i = 0; i < 37; ++i) v[i] = 1.0f + static_cast<float>(i) * 0.25f;
          v[pos] = FromBits(c.in);
          std::memcpy(buf.data(), v.data(), 4 * 37);
          const int r = k.sqrt32f(buf.f32(), buf.f32(), 37);
          EXPECT_EQ(r != 0, c.negative) << std::hex << c.in << std::dec << " at " << pos << " offset " << offset;
          float out[37];
          std::memcpy(out, buf.data(), sizeof out);
          EXPECT_EQ(Bits(out[pos]), c.out) << std::hex << c.in << std::dec << " at " << pos;
          // Head, tail and the block holding the special value are correctly rounded.
          const int head = ((16 - offset) & 15) / 4;
          auto blockOf = [head](int i) { return i < head || i >= head + 32 ? -1 : (i - head) / 16; };
          for (int i = 0; i < 37; ++i) {
            if (i == pos) continue;
            const bool exact = blockOf(i) < 0 || blockOf(i) == blockOf(pos);
            ASSERT_LE(vmtest::UlpDistance(out[i], std::sqrt(v[i])), exact ? 0 : vmtest::kSqrtEstimateUlps)
                << i << " with " << pos;
          }
          ASSERT_TRUE(buf.GuardsIntact());
        }
      }
    }
  }
}

// Windows of consecutive floats through the estimate path (every block of 16 ordinary,
// so the whole window takes it), at several magnitudes.
TEST(SquareRootKernel, EstimatePathWithinItsBoundOverWindows) {
  vmtest::MxcsrGuard mxcsr;
  const uint32 starts[] = {0x00800000u, 0x00FFFF00u, 0x1F7FF000u, 0x3F000000u, 0x3F7FF800u,
                           0x3F800000u, 0x407FFF00u, 0x5E000000u, 0x7F000000u, 0x7F7F0000u};
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    for (uint32 start : starts) {
      const int64_t worst = vmtest::SqrtWindowWorstUlps(k.sqrt32f, start, 1u << 16);
      EXPECT_LE(worst, vmtest::kSqrtEstimateUlps) << std::hex << start;
    }
  }
}

TEST(SquareRootKernel, DoublesWithinTheirBoundAndSpecialValues) {
  vmtest::MxcsrGuard mxcsr;
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    const double special[4] = {0x1p-1074, std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                               -0.0};
    double out[4];
    EXPECT_EQ(k.sqrt64f(special, out, 4), 0);
    EXPECT_EQ(out[0], 0x1p-537);
    EXPECT_NEAR(out[1], 1.3407807929942596e154, 1e140);
    EXPECT_EQ(out[2], std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::signbit(out[3]) && out[3] == 0.0);
    const double neg[5] = {4.0, -1.0, 9.0, 16.0, 25.0};
    double nout[5];
    EXPECT_NE(k.sqrt64f(neg, nout, 5), 0);
    uint64 bits;
    std::memcpy(&bits, &nout[1], 8);
    EXPECT_EQ(bits, 0xFFF8000000000000ull);
    EXPECT_EQ(nout[4], 5.0);
    vmtest::Rng rng(8);
    for (int offset = 0; offset < 32; offset += 8) {
      for (int len = 1; len <= 70; ++len) {
        Guarded s(8 * len, (offset + 8) % 32), d(8 * len, offset);
        std::vector<double> x(len);
        for (double& v : x) {
          const uint64 w = (static_cast<uint64>(rng.Next()) << 32) | rng.Next();
          v = std::ldexp(1.0 + static_cast<double>(w >> 12) * 0x1p-52, static_cast<int>(w % 2001) - 1000);
        }
        std::memcpy(s.data(), x.data(), 8 * len);
        ASSERT_EQ(k.sqrt64f(reinterpret_cast<const double*>(s.data()), reinterpret_cast<double*>(d.data()), len), 0);
        for (int i = 0; i < len; ++i) {
          double r;
          std::memcpy(&r, d.data() + 8 * i, 8);
          const double exact = std::sqrt(x[i]);
          ASSERT_LE(std::fabs(r - exact), 3e-14 * exact) << x[i];
        }
        ASSERT_TRUE(d.GuardsIntact());
      }
    }
  }
}

// The entry MXCSR comes back exactly, whatever the call loaded in between; only the
// precision flag may stay raised.
TEST(SquareRootKernel, MxcsrRestoredExactly) {
  vmtest::MxcsrGuard mxcsr;
  const uint32 daz = spHasDenormalsAreZero() ? 0x0040u : 0u;
  const uint32 entries[] = {0x1F80u,        0x1F80u | daz, 0x1F80u | 0x0001u,  // IE already set
                            0x1F00u | daz,  // invalid unmasked, DAZ set
                            0x1D80u | daz | 0x0001u, 0x3F80u, 0x9F80u | daz};
  alignas(16) float neg[20];
  alignas(16) double negd[6];
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    for (uint32 entry : entries) {
      for (int which = 0; which < 2; ++which) {
        for (int i = 0; i < 20; ++i) neg[i] = i == 7 ? -1.0f : 3.0f + static_cast<float>(i);
        for (int i = 0; i < 6; ++i) negd[i] = i == 2 ? -1.0 : 3.0 + i;
        spLoadMxcsr(entry);
        const int r = which == 0 ? k.sqrt32f(neg, neg, 20) : k.sqrt64f(negd, negd, 6);
        const uint32 after = spGetMxcsr();
        spLoadMxcsr(0x1F80u);
        EXPECT_NE(r, 0);
        EXPECT_EQ(after & ~0x20u, entry & ~0x20u) << std::hex << entry << " kernel " << which;
      }
    }
  }
}

}  // namespace
