// Constant arithmetic: checks, short-cuts, special values, and every processor build
// against the generic one at every length and alignment.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core_test_support.h"
#include "sp/sp.h"

namespace {

using sptest::Bits;
using sptest::FromBits;

const std::vector<sptest::Build> kBuilds = sptest::SupportedBuilds();
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = FromBits(0x7FC00000u);
const float kSNaN = FromBits(0x7F800001u);

TEST(ArithChecks, NullThenLengthThenDivisor) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(b.mulConst(nullptr, 2.0f, v, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.mulConst(v, 2.0f, nullptr, 4), SP_ERROR_NULL);
    EXPECT_EQ(b.mulConst(v, 2.0f, v, 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.divConstByReciprocal(nullptr, 0.0f, v, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.divConstByReciprocal(v, 0.0f, v, 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.divConstByReciprocal(v, 0.0f, v, 4), SP_ERROR_ZERO_DIVISOR);
    EXPECT_EQ(b.divConstByReciprocal(v, -0.0f, v, 4), SP_ERROR_ZERO_DIVISOR);
    EXPECT_EQ(b.mulConstInPlace(0.0f, nullptr, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.mulConstInPlace(2.0f, v, -1), SP_ERROR_LENGTH);
    EXPECT_EQ(b.divConstInPlace(0.0f, nullptr, 4), SP_ERROR_NULL);
    EXPECT_EQ(b.divConstInPlace(0.0f, v, 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.divConstInPlace(0.0f, v, 4), SP_ERROR_ZERO_DIVISOR);
    EXPECT_EQ(b.addConstInPlace(1.0f, nullptr, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.addConstInPlace(1.0f, v, 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.addInPlace(nullptr, v, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.addInPlace(v, nullptr, 4), SP_ERROR_NULL);
    EXPECT_EQ(b.addInPlace(v, v, 0), SP_ERROR_LENGTH);
    // Nothing changed by any of them.
    EXPECT_EQ(v[0], 1.0f);
    EXPECT_EQ(v[3], 4.0f);
  }
}

TEST(ArithSpecial, MultiplyShortCuts) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    float v[3] = {kNaN, -kInf, -2.0f};
    ASSERT_EQ(b.mulConstInPlace(0.0f, v, 3), SP_OK);
    for (float x : v) EXPECT_EQ(Bits(x), 0u);
    float w[3] = {kSNaN, -kInf, -2.0f};
    ASSERT_EQ(b.mulConstInPlace(-0.0f, w, 3), SP_OK);
    for (float x : w) EXPECT_EQ(Bits(x), 0u);
    float n[2] = {kSNaN, 3.0f};
    ASSERT_EQ(b.mulConstInPlace(1.0f, n, 2), SP_OK);
    EXPECT_EQ(Bits(n[0]), 0x7F800001u);
    float q[2] = {1.0f, -3.0f};
    ASSERT_EQ(b.mulConstInPlace(kNaN, q, 2), SP_OK);
    EXPECT_TRUE(std::isnan(q[0]) && std::isnan(q[1]));

    float src[3] = {-3.0f, kInf, kNaN}, dst[3] = {5, 5, 5};
    ASSERT_EQ(b.mulConst(src, -0.0f, dst, 3), SP_OK);
    for (float x : dst) EXPECT_EQ(Bits(x), 0u);
    float s2[2] = {1.5f, -0.0f}, d2[2];
    ASSERT_EQ(b.mulConst(s2, 2.0f, d2, 2), SP_OK);
    EXPECT_EQ(d2[0], 3.0f);
    EXPECT_EQ(Bits(d2[1]), 0x80000000u);
    float s3[2] = {kSNaN, -0.0f}, d3[2];
    ASSERT_EQ(b.mulConst(s3, 1.0f, d3, 2), SP_OK);  // copies bit for bit
    EXPECT_EQ(Bits(d3[0]), 0x7F800001u);
    EXPECT_EQ(Bits(d3[1]), 0x80000000u);
    ASSERT_EQ(b.mulConst(s3, 1.0f, s3, 2), SP_OK);  // onto itself
    EXPECT_EQ(Bits(s3[0]), 0x7F800001u);
  }
}

TEST(ArithSpecial, DivideByReciprocal) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    float v[3] = {1.0f, kNaN, -7.0f};
    ASSERT_EQ(b.divConstInPlace(kInf, v, 3), SP_OK);
    for (float x : v) EXPECT_EQ(Bits(x), 0u);
    float five = 5.0f, q;
    ASSERT_EQ(b.divConstByReciprocal(&five, 3.0f, &q, 1), SP_OK);
    EXPECT_EQ(Bits(q), 0x3FD55556u);  // x times the rounded reciprocal
    float unchanged[2] = {kSNaN, 2.5f};
    ASSERT_EQ(b.divConstInPlace(1.0f, unchanged, 2), SP_OK);
    EXPECT_EQ(Bits(unchanged[0]), 0x7F800001u);
    EXPECT_EQ(unchanged[1], 2.5f);
    // A power of two divides exactly: 24-bit capture scaling.
    std::vector<float> pcm = {8388607.0f, -8388608.0f, 1.0f, -1.0f, 12345.0f};
    std::vector<float> want = pcm;
    for (float& x : want) x /= 8388608.0f;
    ASSERT_EQ(b.divConstInPlace(8388608.0f, pcm.data(), static_cast<int>(pcm.size())), SP_OK);
    EXPECT_EQ(pcm, want);
    float d[2] = {1.0f, 3.0f};
    ASSERT_EQ(b.divConstByReciprocal(d, 4.0f, d, 2), SP_OK);
    EXPECT_EQ(d[0], 0.25f);
    EXPECT_EQ(d[1], 0.75f);
    float z[2] = {9.0f, 9.0f};
    EXPECT_EQ(b.divConstByReciprocal(d, 0.0f, z, 2), SP_ERROR_ZERO_DIVISOR);
    EXPECT_EQ(z[0], 9.0f);
  }
}

TEST(ArithSpecial, AddConstantNegativeZeroChangesNothing) {
  for (const auto& b : kBuilds) {
    float v[3] = {-0.0f, 1.0f, kSNaN};
    ASSERT_EQ(b.addConstInPlace(-0.0f, v, 3), SP_OK);
    EXPECT_EQ(Bits(v[0]), 0x80000000u) << b.name;
    EXPECT_EQ(Bits(v[2]), 0x7F800001u) << b.name;
    ASSERT_EQ(b.addConstInPlace(0.0f, v, 3), SP_OK);
    EXPECT_EQ(Bits(v[0]), 0x80000000u) << b.name;
  }
}

// Values with every kind of float: normal, denormal, zeros, infinities, NaNs.
float Sample(uint32 i) {
  uint32 x = i * 2654435761u + 12345u;
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  switch (x % 16) {
    case 0: return FromBits(x & 0x807FFFFFu);  // denormal or zero
    case 1: return -0.0f;
    case 2: return (x & 1) ? kInf : -kInf;
    case 3: return kNaN;
    default: return FromBits((x & 0x3FFFFFFFu) + 0x20000000u) * ((x & 0x40000000u) ? -1.0f : 1.0f);
  }
}

// Processor kernels against the generic loop for every length 1..40 and alignment.
TEST(ArithBuilds, EqualGenericAtEveryLengthAndAlignment) {
  const sptest::Build& generic = kBuilds[0];
  constexpr float kConstants[] = {0.7f, -3.25f, 1e-30f, 1e30f};
  for (size_t bi = 1; bi < kBuilds.size(); ++bi) {
    const sptest::Build& b = kBuilds[bi];
    SCOPED_TRACE(b.name);
    for (int len = 1; len <= 40; ++len) {
      for (int sOff = 0; sOff < 4; ++sOff) {
        for (int dOff = 0; dOff < 4; ++dOff) {
          std::vector<float> src(48), want(48), got(48), acc(48);
          for (int i = 0; i < 48; ++i) src[i] = Sample(static_cast<uint32>(i + 97 * len + 13 * sOff));
          for (int i = 0; i < 48; ++i) acc[i] = Sample(static_cast<uint32>(i * 7 + len + dOff));
          for (float c : kConstants) {
            std::vector<float> w = acc, g = acc;
            ASSERT_EQ(generic.mulConst(&src[sOff], c, &w[dOff], len), SP_OK);
            ASSERT_EQ(b.mulConst(&src[sOff], c, &g[dOff], len), SP_OK);
            ASSERT_EQ(std::memcmp(w.data(), g.data(), 48 * 4), 0) << "mulConst " << len;
            w = acc, g = acc;
            ASSERT_EQ(generic.mulConstInPlace(c, &w[dOff], len), SP_OK);
            ASSERT_EQ(b.mulConstInPlace(c, &g[dOff], len), SP_OK);
            ASSERT_EQ(std::memcmp(w.data(), g.data(), 48 * 4), 0) << "mulConstInPlace " << len;
            w = acc, g = acc;
            ASSERT_EQ(generic.addConstInPlace(c, &w[dOff], len), SP_OK);
            ASSERT_EQ(b.addConstInPlace(c, &g[dOff], len), SP_OK);
            ASSERT_EQ(std::memcmp(w.data(), g.data(), 48 * 4), 0) << "addConstInPlace " << len;
            w = acc, g = acc;
            ASSERT_EQ(generic.divConstInPlace(c, &w[dOff], len), SP_OK);
            ASSERT_EQ(b.divConstInPlace(c, &g[dOff], len), SP_OK);
            ASSERT_EQ(std::memcmp(w.data(), g.data(), 48 * 4), 0) << "divConstInPlace " << len;
          }
          std::vector<float> w = acc, g = acc;
          ASSERT_EQ(generic.addInPlace(&src[sOff], &w[dOff], len), SP_OK);
          ASSERT_EQ(b.addInPlace(&src[sOff], &g[dOff], len), SP_OK);
          ASSERT_EQ(std::memcmp(w.data(), g.data(), 48 * 4), 0) << "addInPlace " << len;
        }
      }
    }
  }
}

// The streaming and prefetching paths of long vectors give the same results.
TEST(ArithBuilds, LongVectorsEqualGeneric) {
  const sptest::Build& generic = kBuilds[0];
  constexpr int kLen = 0x40000 + 8 * 16384 + 37;  // past both large-vector thresholds
  std::vector<float> src(kLen + 4);
  for (int i = 0; i < kLen + 4; ++i) src[i] = Sample(static_cast<uint32>(i));
  for (size_t bi = 1; bi < kBuilds.size(); ++bi) {
    const sptest::Build& b = kBuilds[bi];
    for (int sOff : {0, 1}) {
      std::vector<float> w(kLen + 4, 1.0f), g(kLen + 4, 1.0f);
      ASSERT_EQ(generic.mulConst(&src[sOff], 1.5f, &w[0], kLen), SP_OK);
      ASSERT_EQ(b.mulConst(&src[sOff], 1.5f, &g[0], kLen), SP_OK);
      ASSERT_EQ(std::memcmp(w.data(), g.data(), w.size() * 4), 0) << b.name;
      ASSERT_EQ(generic.mulConstInPlace(0.5f, &w[1], kLen), SP_OK);
      ASSERT_EQ(b.mulConstInPlace(0.5f, &g[1], kLen), SP_OK);
      ASSERT_EQ(generic.addConstInPlace(0.25f, &w[2], kLen), SP_OK);
      ASSERT_EQ(b.addConstInPlace(0.25f, &g[2], kLen), SP_OK);
      ASSERT_EQ(generic.addInPlace(&src[sOff], &w[3], kLen), SP_OK);
      ASSERT_EQ(b.addInPlace(&src[sOff], &g[3], kLen), SP_OK);
      ASSERT_EQ(std::memcmp(w.data(), g.data(), w.size() * 4), 0) << b.name;
    }
  }
}

}  // namespace
