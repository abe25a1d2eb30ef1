// The generic build: the special values, orders and groupings that fix its results,
// and its numerics against independent oracles (double and long double arithmetic,
// the standard library's functions).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vecmath_test_support.h"

namespace {

namespace g = sp::generic;
using sptest::Bits;
using sptest::FromBits;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kQNaN = FromBits(0x7FC00000u);
const float kSNaN = FromBits(0x7F800001u);
const float kNegSNaN = FromBits(0xFF800001u);

TEST(GenericSquareRoot, SpecialValuesAndRounding) {
  float v[4] = {0.0f, -0.0f, kSNaN, kInf};
  EXPECT_EQ(g::spSquareRootInPlace_32f(v, 4), SP_OK);
  EXPECT_EQ(Bits(v[0]), 0u);
  EXPECT_EQ(Bits(v[1]), 0x80000000u);
  EXPECT_EQ(Bits(v[2]), 0x7F800001u);  // left as it is
  EXPECT_EQ(v[3], kInf);
  float n[2] = {-0.5f, -kInf};
  EXPECT_EQ(g::spSquareRootInPlace_32f(n, 2), SP_WARNING_NEGATIVE_ROOT);
  EXPECT_EQ(Bits(n[0]), 0xFFC00000u);
  EXPECT_EQ(Bits(n[1]), 0xFFC00000u);
  float two = 2.0f;
  EXPECT_EQ(g::spSquareRootInPlace_32f(&two, 1), SP_OK);
  EXPECT_EQ(two, 1.41421354f);
  // Correctly rounded over a spread of inputs, subnormals included.
  vmtest::Rng rng(3);
  for (int i = 0; i < 20000; ++i) {
    const float x = FromBits(rng.Next() & 0x7F7FFFFFu);
    float y = x;
    g::spSquareRootInPlace_32f(&y, 1);
    EXPECT_EQ(y, std::sqrt(x)) << x;
  }
}

TEST(GenericAbsolute, ClearsTheSignBitOnly) {
  float v[4] = {-0.0f, FromBits(0xFFC00001u), -kInf, -3.5f};
  EXPECT_EQ(g::spAbsoluteInPlace_32f(v, 4), SP_OK);
  EXPECT_EQ(Bits(v[0]), 0u);
  EXPECT_EQ(Bits(v[1]), 0x7FC00001u);
  EXPECT_EQ(v[2], kInf);
  EXPECT_EQ(v[3], 3.5f);
}

TEST(GenericExtremes, NaNAndZeroRules) {
  float m = 0;
  const float a[3] = {kQNaN, 1.0f, 2.0f};
  g::spMaximum_32f(a, 3, &m);
  EXPECT_TRUE(std::isnan(m));
  const float b[3] = {1.0f, kQNaN, 2.0f};
  g::spMaximum_32f(b, 3, &m);
  EXPECT_EQ(m, 2.0f);
  g::spMinimum_32f(b, 3, &m);
  EXPECT_EQ(m, 1.0f);
  // On equality the running value stays: the first of two equal zeros wins.
  const float z[2] = {0.0f, -0.0f};
  g::spMaximum_32f(z, 2, &m);
  EXPECT_EQ(Bits(m), 0u);
  g::spMinimum_32f(z, 2, &m);
  EXPECT_EQ(Bits(m), 0u);
}

// The four-lane path and the scalar path give the same extreme, which is the ordered
// extreme of the elements, at every alignment and length.
TEST(GenericExtremes, LanePathEqualsTheOrderedExtreme) {
  vmtest::Rng rng(11);
  for (int offset = 0; offset < 32; ++offset) {
    for (int len = 1; len <= 70; ++len) {
      sptest::Guarded buf(4 * len, offset);
      std::vector<float> x(len);
      for (float& f : x) f = rng.Moderate();
      std::memcpy(buf.data(), x.data(), 4 * len);
      float mx = 0, mn = 0;
      g::spMaximum_32f(buf.f32(), len, &mx);
      g::spMinimum_32f(buf.f32(), len, &mn);
      EXPECT_EQ(mx, *std::max_element(x.begin(), x.end())) << offset << " " << len;
      EXPECT_EQ(mn, *std::min_element(x.begin(), x.end())) << offset << " " << len;
    }
  }
}

TEST(GenericArithmetic, OperandOrderAndRounding) {
  const float a[3] = {1.0f, 3.0f, 1e30f}, b[3] = {3.0f, 1.0f, 1e30f};
  float d[3];
  g::spSubtract_32f(a, b, d, 3);
  EXPECT_EQ(d[0], 2.0f);
  EXPECT_EQ(d[1], -2.0f);
  g::spMultiply_32f(a, b, d, 3);
  EXPECT_EQ(d[2], kInf);
  // Multiply-accumulate rounds the product first: (1 + 2^-12)^2 + -1 in two steps.
  const float x[1] = {1.0f + 0x1p-12f};
  float acc[1] = {-1.0f};
  g::spMultiplyAccumulate_32f(x, x, acc, 1);
  EXPECT_EQ(acc[0], static_cast<float>(x[0] * x[0]) - 1.0f);
  EXPECT_NE(acc[0], std::fma(x[0], x[0], -1.0f));
  // Overlapping destination: the plain ascending loop.
  float o[4] = {1, 2, 3, 4};
  g::spMultiplyAccumulate_32f(o, o, o + 1, 3);  // o[k+1] = o[k]*o[k] + o[k+1], o[k] already new
  EXPECT_EQ(o[1], 1.0f * 1.0f + 2.0f);
  EXPECT_EQ(o[2], 3.0f * 3.0f + 3.0f);
  EXPECT_EQ(o[3], 12.0f * 12.0f + 4.0f);
}

TEST(GenericDivide, ZeroDivisorsGiveSignedInfinitiesAndTheWarning) {
  const float d[5] = {0.0f, -0.0f, 0.0f, 0.0f, 2.0f};
  const float n[5] = {3.0f, 3.0f, -3.0f, 0.0f, 1.0f};
  float out[5];
  EXPECT_EQ(g::spDivide_32f(d, n, out, 5), SP_WARNING_DIVIDED_BY_ZERO);
  EXPECT_EQ(Bits(out[0]), 0x7F800000u);
  EXPECT_EQ(Bits(out[1]), 0x7F800000u);
  EXPECT_EQ(Bits(out[2]), 0xFF800000u);
  EXPECT_EQ(Bits(out[3]), 0xFFC00000u);
  EXPECT_EQ(out[4], 0.5f);
  const float nanDivisor[1] = {kQNaN}, one[1] = {1.0f};
  EXPECT_EQ(g::spDivide_32f(nanDivisor, one, out, 1), SP_OK);
  EXPECT_TRUE(std::isnan(out[0]));
  const float tiny[1] = {FromBits(1)};
  EXPECT_EQ(g::spDivide_32f(tiny, one, out, 1), SP_OK);  // a subnormal divisor divides
  EXPECT_EQ(out[0], kInf);
}

TEST(GenericExponential, ShortAndLongFormsAtTheirBounds) {
  float s1[1] = {100.0f};
  g::spExponentialInPlace_32f(s1, 1);
  EXPECT_EQ(s1[0], kInf);
  float s2[1] = {-100.0f};
  g::spExponentialInPlace_32f(s2, 1);
  EXPECT_EQ(s2[0], static_cast<float>(std::exp(-100.0)));
  EXPECT_GT(s2[0], 0.0f);
  float l1[4] = {-100.0f, 0.0f, 0.0f, 0.0f};
  g::spExponentialInPlace_32f(l1, 4);
  EXPECT_EQ(Bits(l1[0]), 0u);
  for (float z : {0.0f, 1e-40f, -0.0f}) {
    float s[1] = {z};
    g::spExponentialInPlace_32f(s, 1);
    EXPECT_EQ(s[0], 1.0f);
    float l[4] = {z, z, z, z};
    g::spExponentialInPlace_32f(l, 4);
    for (float r : l) EXPECT_EQ(r, 1.0f);
  }
  float l2[4] = {89.0f, -88.0f, kQNaN, -kInf};
  g::spExponentialInPlace_32f(l2, 4);
  EXPECT_EQ(Bits(l2[0]), 0x7F800000u);
  EXPECT_EQ(Bits(l2[1]), 0u);
  EXPECT_EQ(Bits(l2[2]), 0xFFC00000u);
  EXPECT_EQ(Bits(l2[3]), 0u);
  float bounds[4] = {FromBits(0x42B17218u), FromBits(0x42B17217u), FromBits(0xC2AEAC50u), FromBits(0xC2AEAC4Fu)};
  g::spExponentialInPlace_32f(bounds, 4);
  EXPECT_EQ(bounds[0], kInf);
  EXPECT_TRUE(std::isfinite(bounds[1]));
  EXPECT_EQ(Bits(bounds[2]), 0u);
  EXPECT_GT(bounds[3], 0.0f);
}

// Every NaN input stores a NaN in both forms: signalling ones of either sign included.
TEST(GenericExponential, EveryNaNGivesANaN) {
  for (float nan : {kQNaN, kSNaN, kNegSNaN, FromBits(0xFFC00000u), FromBits(0x7FBFFFFFu)}) {
    float s[1] = {nan};
    g::spExponentialInPlace_32f(s, 1);
    EXPECT_TRUE(std::isnan(s[0])) << std::hex << Bits(nan);
    float l[5] = {1.0f, nan, 2.0f, nan, 3.0f};
    g::spExponentialInPlace_32f(l, 5);
    EXPECT_EQ(Bits(l[1]), 0xFFC00000u) << std::hex << Bits(nan);
    EXPECT_EQ(Bits(l[3]), 0xFFC00000u) << std::hex << Bits(nan);
    EXPECT_EQ(l[2], static_cast<float>(std::exp(2.0)));
  }
}

// The long form against the double exponential: within two units in the last place
// over the ordinary range, and the last-bit effect of the grouping.
TEST(GenericExponential, LongFormAgainstTheDoubleExponential) {
  vmtest::Rng rng(5);
  std::vector<float> x(4099), y;
  for (int round = 0; round < 8; ++round) {
    for (float& v : x) v = -87.0f + 175.0f * static_cast<float>(rng.Next() >> 8) * 0x1p-24f;
    y = x;
    g::spExponentialInPlace_32f(y.data(), static_cast<int>(y.size()));
    for (size_t i = 0; i < x.size(); ++i) {
      const float ref = static_cast<float>(std::exp(static_cast<double>(x[i])));
      ASSERT_LE(vmtest::UlpDistance(y[i], ref), 2) << x[i];
    }
  }
  // Five ordinary elements: 4..1 form one group and element 0 takes the short form.
  float five[5] = {0.3f, 0.5f, 0.7f, 1.1f, 1.3f};
  g::spExponentialInPlace_32f(five, 5);
  EXPECT_EQ(five[0], static_cast<float>(std::exp(static_cast<double>(0.3f))));
}

TEST(GenericLogarithm, SpecialValuesAndTheFirstWarning) {
  float a[3] = {1.0f, 0.0f, -1.0f};
  EXPECT_EQ(g::spNaturalLogInPlace_32f(a, 3), SP_WARNING_LOG_OF_ZERO);
  EXPECT_EQ(a[0], 0.0f);
  EXPECT_EQ(Bits(a[1]), 0xFF800000u);
  EXPECT_EQ(Bits(a[2]), 0xFFC00000u);
  float b[2] = {-1.0f, 0.0f};
  EXPECT_EQ(g::spNaturalLogInPlace_32f(b, 2), SP_WARNING_LOG_OF_NEGATIVE);
  float c[1] = {-0.0f};
  EXPECT_EQ(g::spNaturalLogInPlace_32f(c, 1), SP_WARNING_LOG_OF_NEGATIVE);
  EXPECT_EQ(Bits(c[0]), 0xFFC00000u);
  float d[4] = {kQNaN, kInf, FromBits(1), kSNaN};
  EXPECT_EQ(g::spNaturalLogInPlace_32f(d, 4), SP_OK);
  EXPECT_EQ(Bits(d[0]), 0xFFC00000u);
  EXPECT_EQ(d[1], kInf);
  EXPECT_EQ(d[2], std::log(FromBits(1)));
  EXPECT_TRUE(std::isnan(d[3]));
}

TEST(GenericSumAndMean, AccumulatorOrder) {
  const float v[4] = {1e8f, 1.0f, -1e8f, 1.0f};
  float s = 0;
  g::spSum_32f(v, 4, &s, 0);
  EXPECT_EQ(s, 2.0f);  // a float accumulator in index order would give 1
  const float m2[2] = {1.0f, 2.0f};
  g::spMean_32f(m2, 2, &s, 1);
  EXPECT_EQ(s, 1.5f);
  // Against a long-double sum. Elements between 2^-10 and 2^10 keep every double
  // partial sum exact, so both must round the exact sum.
  vmtest::Rng rng(9);
  for (int len = 1; len < 200; len += 7) {
    std::vector<float> x(len);
    long double ref = 0;
    for (float& f : x) {
      const uint32 w = rng.Next();
      f = FromBits((w & 0x80000000u) | ((117 + (w >> 8) % 20) << 23) | ((w >> 9) & 0x7FFFFFu));
      ref += f;
    }
    float sum = 0, mean = 0;
    g::spSum_32f(x.data(), len, &sum, 0);
    g::spMean_32f(x.data(), len, &mean, 0);
    EXPECT_EQ(sum, static_cast<float>(ref)) << len;
    EXPECT_EQ(mean, static_cast<float>(static_cast<double>(ref) / len)) << len;
  }
}

TEST(GenericDotProduct, AgainstDoubleAndPathIndependentOfLength7) {
  vmtest::Rng rng(21);
  for (int offset = 0; offset < 16; offset += 4) {
    for (int len = 1; len <= 70; ++len) {
      sptest::Guarded a(4 * len, offset), b(4 * len, 16 - offset);
      double ref = 0, mag = 0;
      for (int i = 0; i < len; ++i) {
        const float x = rng.Moderate(), y = rng.Moderate();
        std::memcpy(a.f32() + i, &x, 4);
        std::memcpy(b.f32() + i, &y, 4);
        ref += static_cast<double>(x) * y;
        mag += std::fabs(static_cast<double>(x) * y);
      }
      float r = 0;
      EXPECT_EQ(g::spDotProduct_32f(a.f32(), b.f32(), len, &r), SP_OK);
      EXPECT_NEAR(r, ref, mag * len * 0x1p-23) << len;
    }
  }
  // Length 7 is always the plain loop.
  const float x[7] = {1e8f, 1, -1e8f, 1, 1, 1, 1}, one[7] = {1, 1, 1, 1, 1, 1, 1};
  float r = 0;
  g::spDotProduct_32f(x, one, 7, &r);
  EXPECT_EQ(r, 4.0f);
}

TEST(GenericElementwise, DestinationStaysOnEqualityAndNaN) {
  const float s[4] = {1.0f, kQNaN, 3.0f, -0.0f};
  float d[4] = {2.0f, 5.0f, kQNaN, 0.0f};
  g::spMinElementwiseInPlace_32f(s, d, 4);
  EXPECT_EQ(d[0], 1.0f);
  EXPECT_EQ(d[1], 5.0f);
  EXPECT_TRUE(std::isnan(d[2]));
  EXPECT_EQ(Bits(d[3]), 0u);
  float e[1] = {-0.0f};
  const float pz[1] = {0.0f};
  g::spMaxElementwiseInPlace_32f(pz, e, 1);
  EXPECT_EQ(Bits(e[0]), 0x80000000u);
}

}  // namespace
