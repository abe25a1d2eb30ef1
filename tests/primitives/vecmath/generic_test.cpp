// The generic build: the special values, orders and groupings that fix its results,
// and its numerics against independent oracles (double and long double arithmetic,
// the standard library's functions).
#include <gtest/gtest.h>

#include <algorithm>
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

// Input bit patterns, the bit patterns stored, and the status, per in-place operation.
struct InPlaceCase {
  const char* what;
  spStatus (*op)(float*, int);
  std::vector<uint32> in, out;
  spStatus status;
};

const InPlaceCase kInPlaceCases[] = {
    {"sqrt of zeros, NaN, inf", g::spSquareRootInPlace_32f, {0x0u, 0x80000000u, 0x7F800001u, 0x7F800000u},
     {0x0u, 0x80000000u, 0x7F800001u, 0x7F800000u}, SP_OK},
    {"sqrt of negatives", g::spSquareRootInPlace_32f, {0xBF000000u, 0xFF800000u, 0x80000001u},
     {0xFFC00000u, 0xFFC00000u, 0xFFC00000u}, SP_WARNING_NEGATIVE_ROOT},
    {"sqrt of 2", g::spSquareRootInPlace_32f, {0x40000000u}, {0x3FB504F3u}, SP_OK},
    {"abs", g::spAbsoluteInPlace_32f, {0x80000000u, 0xFFC00001u, 0xFF800000u}, {0x0u, 0x7FC00001u, 0x7F800000u}, SP_OK},
    {"exp short 100", g::spExponentialInPlace_32f, {0x42C80000u}, {0x7F800000u}, SP_OK},
    {"exp long -100", g::spExponentialInPlace_32f, {0xC2C80000u, 0x0u, 0x0u, 0x0u},
     {0x0u, 0x3F800000u, 0x3F800000u, 0x3F800000u}, SP_OK},
    {"exp zeros and subnormals", g::spExponentialInPlace_32f, {0x0u, 0x80000000u, 0x00000001u},
     {0x3F800000u, 0x3F800000u, 0x3F800000u}, SP_OK},
    {"exp 89, -88, NaN, -inf", g::spExponentialInPlace_32f, {0x42B20000u, 0xC2B00000u, 0x7FC00000u, 0xFF800000u},
     {0x7F800000u, 0x0u, 0xFFC00000u, 0x0u}, SP_OK},
    {"exp bounds", g::spExponentialInPlace_32f, {0x42B17218u, 0xC2AEAC50u, 0x7F800000u, 0x0u},
     {0x7F800000u, 0x0u, 0x7F800000u, 0x3F800000u}, SP_OK},
    // Every NaN input stores a NaN, signalling ones of either sign too.
    {"exp long NaNs", g::spExponentialInPlace_32f, {0x7F800001u, 0xFF800001u, 0x7FBFFFFFu, 0xFFC00000u},
     {0xFFC00000u, 0xFFC00000u, 0xFFC00000u, 0xFFC00000u}, SP_OK},
    {"log 1, 0, -1", g::spNaturalLogInPlace_32f, {0x3F800000u, 0x0u, 0xBF800000u}, {0x0u, 0xFF800000u, 0xFFC00000u},
     SP_WARNING_LOG_OF_ZERO},
    {"log -1, 0", g::spNaturalLogInPlace_32f, {0xBF800000u, 0x0u}, {0xFFC00000u, 0xFF800000u},
     SP_WARNING_LOG_OF_NEGATIVE},
    {"log -0", g::spNaturalLogInPlace_32f, {0x80000000u}, {0xFFC00000u}, SP_WARNING_LOG_OF_NEGATIVE},
    {"log NaN, inf", g::spNaturalLogInPlace_32f, {0x7FC00000u, 0x7F800000u}, {0xFFC00000u, 0x7F800000u}, SP_OK},
};

TEST(GenericBuild, SpecialValuesAndStatus) {
  for (const InPlaceCase& c : kInPlaceCases) {
    std::vector<float> v(c.in.size());
    for (size_t i = 0; i < v.size(); ++i) v[i] = FromBits(c.in[i]);
    EXPECT_EQ(c.op(v.data(), static_cast<int>(v.size())), c.status) << c.what;
    for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(Bits(v[i]), c.out[i]) << c.what << " [" << i << "]";
  }
  // The short form gives the subnormal the long form flushes; a short-form NaN is a NaN.
  float s[2] = {-100.0f, kSNaN};
  g::spExponentialInPlace_32f(s, 1);
  g::spExponentialInPlace_32f(s + 1, 1);
  EXPECT_EQ(s[0], static_cast<float>(std::exp(-100.0)));
  EXPECT_TRUE(std::isnan(s[1]));
}

// Square roots are correctly rounded (subnormals included); the long-form exponential
// stays within two units of the double exponential, its grouping as defined.
TEST(GenericBuild, SquareRootAndExponentialAgainstTheLibrary) {
  vmtest::Rng rng(3);
  std::vector<float> x(4099), y;
  for (float& v : x) v = FromBits(rng.Next() & 0x7F7FFFFFu);
  y = x;
  g::spSquareRootInPlace_32f(y.data(), static_cast<int>(y.size()));
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(y[i], std::sqrt(x[i])) << x[i];
  for (int round = 0; round < 8; ++round) {
    for (float& v : x) v = -87.0f + 175.0f * static_cast<float>(rng.Next() >> 8) * 0x1p-24f;
    y = x;
    g::spExponentialInPlace_32f(y.data(), static_cast<int>(y.size()));
    for (size_t i = 0; i < x.size(); ++i) {
      ASSERT_LE(vmtest::UlpDistance(y[i], static_cast<float>(std::exp(static_cast<double>(x[i])))), 2) << x[i];
    }
  }
  // Five ordinary elements: 4..1 form one group and element 0 takes the short form.
  float five[5] = {0.3f, 0.5f, 0.7f, 1.1f, 1.3f};
  g::spExponentialInPlace_32f(five, 5);
  EXPECT_EQ(five[0], static_cast<float>(std::exp(static_cast<double>(0.3f))));
  std::vector<float> logs(300, 2.0f);
  logs[10] = -3.0f;
  logs[5] = 0.0f;
  EXPECT_EQ(g::spNaturalLogInPlace_32f(logs.data(), 300), SP_WARNING_LOG_OF_ZERO);
}

TEST(GenericBuild, ExtremesKeepTheRunningValueOnNaNAndEquality) {
  float m = 0;
  const float a[3] = {kQNaN, 1.0f, 2.0f}, b[3] = {1.0f, kQNaN, 2.0f}, z[2] = {0.0f, -0.0f};
  g::spMaximum_32f(a, 3, &m);
  EXPECT_TRUE(std::isnan(m));
  g::spMaximum_32f(b, 3, &m);
  EXPECT_EQ(m, 2.0f);
  g::spMinimum_32f(b, 3, &m);
  EXPECT_EQ(m, 1.0f);
  g::spMaximum_32f(z, 2, &m);
  EXPECT_EQ(Bits(m), 0u);
  // The four-lane path and the scalar path give the ordered extreme at every alignment.
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
      ASSERT_EQ(mx, *std::max_element(x.begin(), x.end())) << offset << " " << len;
      ASSERT_EQ(mn, *std::min_element(x.begin(), x.end())) << offset << " " << len;
    }
  }
  const float s[4] = {1.0f, kQNaN, 3.0f, -0.0f};
  float d[4] = {2.0f, 5.0f, kQNaN, 0.0f};
  g::spMinElementwiseInPlace_32f(s, d, 4);
  EXPECT_EQ(d[0], 1.0f);
  EXPECT_EQ(d[1], 5.0f);
  EXPECT_TRUE(std::isnan(d[2]));
  EXPECT_EQ(Bits(d[3]), 0u);
}

TEST(GenericBuild, ArithmeticOperandOrderAndRounding) {
  const float a[3] = {1.0f, 3.0f, 1e30f}, b[3] = {3.0f, 1.0f, 1e30f};
  float d[3];
  g::spSubtract_32f(a, b, d, 3);
  EXPECT_EQ(d[0], 2.0f);
  EXPECT_EQ(d[1], -2.0f);
  g::spMultiply_32f(a, b, d, 3);
  EXPECT_EQ(d[2], kInf);
  // Multiply-accumulate rounds the product first, unlike a fused multiply-add.
  const float x[1] = {1.0f + 0x1p-12f};
  float acc[1] = {-1.0f};
  g::spMultiplyAccumulate_32f(x, x, acc, 1);
  EXPECT_EQ(acc[0], static_cast<float>(x[0] * x[0]) - 1.0f);
  EXPECT_NE(acc[0], std::fma(x[0], x[0], -1.0f));
  // An overlapping destination gives the plain ascending loop.
  float o[4] = {1, 2, 3, 4};
  g::spMultiplyAccumulate_32f(o, o, o + 1, 3);
  EXPECT_EQ(o[1], 3.0f);
  EXPECT_EQ(o[2], 12.0f);
  EXPECT_EQ(o[3], 148.0f);
  // Division: zero divisors of either sign, a NaN divisor, a subnormal divisor.
  const float dv[7] = {0.0f, -0.0f, 0.0f, 0.0f, 2.0f, kQNaN, FromBits(1)};
  const float nv[7] = {3.0f, 3.0f, -3.0f, 0.0f, 1.0f, 1.0f, 1.0f};
  float q[7];
  EXPECT_EQ(g::spDivide_32f(dv, nv, q, 7), SP_WARNING_DIVIDED_BY_ZERO);
  const uint32 expected[5] = {0x7F800000u, 0x7F800000u, 0xFF800000u, 0xFFC00000u, 0x3F000000u};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Bits(q[i]), expected[i]) << i;
  EXPECT_TRUE(std::isnan(q[5]));
  EXPECT_EQ(q[6], kInf);
  EXPECT_EQ(g::spDivide_32f(dv + 4, nv + 4, q, 3), SP_OK);
}

TEST(GenericBuild, SumMeanAndDotProductAgainstWiderArithmetic) {
  const float v[4] = {1e8f, 1.0f, -1e8f, 1.0f};
  float s = 0;
  g::spSum_32f(v, 4, &s, 0);
  EXPECT_EQ(s, 2.0f);  // a float accumulator in index order would give 1
  const float m2[2] = {1.0f, 2.0f};
  g::spMean_32f(m2, 2, &s, 1);
  EXPECT_EQ(s, 1.5f);
  // Elements between 2^-10 and 2^10 keep every double partial sum exact, so the sum
  // and the mean are the long-double ones rounded.
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
  // Dot product within the single-precision error bound of the double one.
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
}

}  // namespace
