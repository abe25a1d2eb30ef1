// spPower_32f: accuracy against long double, the special-value table, statuses, vector
// groups against single elements and the handling of MXCSR, in every build.

#include <gtest/gtest.h>
#include <immintrin.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "convert_builds.h"
#include "sp/entries_convert.h"

namespace {

using sptest::allBuilds;
using sptest::FromBits;
using sptest::ConvertBuild;
using sptest::Bits;
using sptest::processorBuilds;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Distance in units in the last place between two finite floats of the same sign.
int64_t ulpDistance(float a, float b) {
  auto key = [](float f) {
    const int64_t u = Bits(f);
    return (u & 0x80000000) ? -(u & 0x7FFFFFFF) : u;
  };
  return std::llabs(key(a) - key(b));
}

float reference(float x, float y) { return static_cast<float>(std::pow(static_cast<long double>(x), static_cast<long double>(y))); }

TEST(Power, ExactSmallCasesInEveryBuild) {
  const float x[] = {10, 10, 10, 2, 10, -2, 10, 7};
  const float y[] = {0, 1, 2, 10, -1, 3, 0.5f, 0};
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    float r[8];
    ASSERT_EQ(SP_OK, b.power32f(x, y, r, 8)) << b.name;
    EXPECT_EQ(1.0f, r[0]) << b.name;
    EXPECT_EQ(10.0f, r[1]) << b.name;
    EXPECT_EQ(100.0f, r[2]) << b.name;
    EXPECT_EQ(1024.0f, r[3]) << b.name;
    EXPECT_EQ(0.1f, r[4]) << b.name;
    EXPECT_EQ(-8.0f, r[5]) << b.name;
    EXPECT_LE(ulpDistance(reference(10, 0.5f), r[6]), 1) << b.name;
    EXPECT_EQ(1.0f, r[7]) << b.name;
    // The same values through the vector part (groups of 8 without a special element).
    std::vector<float> xs(64, 10.0f), ys(64, 2.0f), rs(64);
    ASSERT_EQ(SP_OK, b.power32f(xs.data(), ys.data(), rs.data(), 64));
    for (float v : rs) EXPECT_EQ(100.0f, v) << b.name;
  }
}

// Normal results within one unit in the last place of the correctly rounded value, on the
// fast path and on the scalar routine (exponents beyond the fast limit).
TEST(Power, WithinOneUlpOfLongDouble) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> logBase(-20.0f, 20.0f);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const int n = 20000;
  std::vector<float> x(n), y(n), r(n);
  for (int i = 0; i < n; ++i) {
    x[i] = std::exp(logBase(rng));
    // |y ln x| up to about 88.7 (the single range), some past the fast limit of 87.3.
    const float target = unit(rng) * (i % 4 == 0 ? 88.0f : 80.0f);
    y[i] = target / std::log(x[i]);
    if (i % 7 == 0) y[i] = std::round(unit(rng) * 12.0f);
  }
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    ASSERT_EQ(SP_OK, b.power32f(x.data(), y.data(), r.data(), n)) << b.name;
    for (int i = 0; i < n; ++i) {
      const float want = reference(x[i], y[i]);
      if (!std::isnormal(want)) continue;
      ASSERT_LE(ulpDistance(want, r[i]), 1) << b.name << " " << x[i] << "^" << y[i];
    }
  }
}

// The vector groups compute exactly what the single-element path computes.
TEST(Power, VectorGroupsEqualSingleElements) {
  std::mt19937 rng(13);
  std::uniform_real_distribution<float> logBase(-10.0f, 10.0f), unit(-1.0f, 1.0f);
  const int n = 4099;
  std::vector<float> x(n), y(n), r(n);
  for (int i = 0; i < n; ++i) {
    x[i] = std::exp(logBase(rng));
    y[i] = unit(rng) * 80.0f / std::fabs(std::log(x[i]) + 1e-3f);
    if (std::fabs(y[i] * std::log(x[i])) > 80.0f) y[i] = unit(rng);
  }
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    ASSERT_EQ(SP_OK, b.power32f(x.data(), y.data(), r.data(), n));
    for (int i = 0; i < n; ++i) {
      float one;
      ASSERT_EQ(SP_OK, b.power32f(&x[i], &y[i], &one, 1));
      ASSERT_EQ(Bits(one), Bits(r[i])) << b.name << " " << x[i] << "^" << y[i];
    }
  }
}

TEST(Power, NegativeBasesAndSubnormals) {
  const float x[] = {-2, -2, -0.5f, -3, FromBits(1), FromBits(0x00400000), 1e-40f, 1e-45f};
  const float y[] = {3, 16777216.0f, -3, 4, 0.5f, 1, 0.25f, -1};
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    float r[8];
    ASSERT_EQ(SP_OK, b.power32f(x, y, r, 8)) << b.name;
    EXPECT_EQ(-8.0f, r[0]);
    EXPECT_EQ(kInf, r[1]);
    EXPECT_EQ(-8.0f, r[2]);
    EXPECT_EQ(81.0f, r[3]);
    for (int i = 4; i < 8; ++i) EXPECT_LE(ulpDistance(reference(x[i], y[i]), r[i]), 1) << b.name << " " << i;
  }
}

TEST(Power, OverflowAndUnderflowThroughTheScalarRoutine) {
  const float x[] = {10, 10, 10, 0.5f};
  const float y[] = {40, -40, -46, 149};
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    float r[4];
    ASSERT_EQ(SP_OK, b.power32f(x, y, r, 4)) << b.name;
    EXPECT_EQ(kInf, r[0]);
    EXPECT_EQ(reference(10, -40), r[1]);  // the subnormal nearest 1e-40
    EXPECT_FALSE(std::isnormal(r[1]));
    EXPECT_EQ(0.0f, r[2]);
    EXPECT_EQ(FromBits(1), r[3]);  // 2^-149
  }
}

struct SpecialRow {
  float x, y;
  uint32_t want;
  bool domain;
};

TEST(Power, SpecialValueTable) {
  const float nan = kNaN;
  const uint32_t pInf = 0x7F800000, nInf = 0xFF800000, pZero = 0, nZero = 0x80000000, one = 0x3F800000;
  const SpecialRow rows[] = {
      {nan, 0.0f, one, false},        {5.0f, -0.0f, one, false},     {1.0f, nan, one, false},
      {1.0f, kInf, one, false},       {-1.0f, kInf, one, false},     {-1.0f, -kInf, one, false},
      {FromBits(0x7FC01234), 2.0f, 0x7FC01234, false},             {2.0f, FromBits(0xFFC00042), 0xFFC00042, false},
      {0.0f, -kInf, pInf, true},      {-0.0f, -kInf, pInf, true},    {2.0f, kInf, pInf, false},
      {-2.0f, -kInf, pZero, false},   {0.5f, kInf, pZero, false},    {-0.5f, -kInf, pInf, false},
      {kInf, 0.5f, pInf, false},      {kInf, -3.0f, pZero, false},   {0.0f, 3.0f, pZero, false},
      {0.0f, -1.0f, pInf, true},      {-kInf, 3.0f, nInf, false},    {-kInf, 2.0f, pInf, false},
      {-kInf, 0.5f, pInf, false},     {-kInf, -3.0f, nZero, false},  {-kInf, -2.0f, pZero, false},
      {-0.0f, -1.0f, nInf, true},     {-0.0f, -2.0f, pInf, true},    {-0.0f, -0.5f, pInf, true},
      {-0.0f, 3.0f, nZero, false},    {-0.0f, 2.5f, pZero, false},   {-8.0f, 1.0f / 3.0f, 0xFFC00000, true},
      {-2.0f, 0.5f, 0xFFC00000, true}, {-2.0f, 1.5f, 0xFFC00000, true},
  };
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    for (const SpecialRow& row : rows) {
      // Alone, and at every position of a vector of 8 ordinary elements.
      float r;
      const spStatus st = b.power32f(&row.x, &row.y, &r, 1);
      EXPECT_EQ(row.want, Bits(r)) << b.name << " " << row.x << "^" << row.y;
      EXPECT_EQ(row.domain ? SP_WARNING_POWER_DOMAIN : SP_OK, st) << b.name << " " << row.x << "^" << row.y;
      for (int pos = 0; pos < 8; ++pos) {
        float xs[9], ys[9], rs[9];
        for (int i = 0; i < 9; ++i) {
          xs[i] = 3.0f;
          ys[i] = 2.0f;
        }
        xs[pos] = row.x;
        ys[pos] = row.y;
        EXPECT_EQ(row.domain ? SP_WARNING_POWER_DOMAIN : SP_OK, b.power32f(xs, ys, rs, 9));
        EXPECT_EQ(row.want, Bits(rs[pos])) << b.name << " pos " << pos;
        for (int i = 0; i < 9; ++i) {
          if (i != pos) {
            EXPECT_EQ(9.0f, rs[i]) << b.name;
          }
        }
      }
    }
  }
}

TEST(Power, FloatingPointControlIsRestored) {
  const float x[] = {10, 10, 0, 2, 2, 2, 2, 2, 10};
  const float y[] = {-40, -39, -1, 2, 2, 2, 2, 2, -38};
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    const unsigned saved = _mm_getcsr();
    // Flush-to-zero, denormals-are-zero and round-up set: the call runs under nearest
    // rounding without flushing, and the caller's word comes back, flags included.
    const unsigned caller = (saved & ~0x3Fu & ~0x6000u) | 0x8000u | 0x0040u | 0x4000u;
    _mm_setcsr(caller);
    float r[9];
    const spStatus st = b.power32f(x, y, r, 9);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(SP_WARNING_POWER_DOMAIN, st);
    EXPECT_EQ(caller, after) << b.name;
    EXPECT_EQ(reference(10, -40), r[0]) << b.name;
    EXPECT_NE(0.0f, r[0]) << b.name;
    EXPECT_EQ(kInf, r[2]);
    EXPECT_EQ(4.0f, r[3]);
    // Without a change to make, the flags raised inside the call stay raised.
    _mm_setcsr(saved & ~0xE07Fu);
    b.power32f(x, y, r, 9);
    const unsigned flags = _mm_getcsr() & 0x3Fu;
    _mm_setcsr(saved);
    EXPECT_NE(0u, flags & 0x1u) << b.name;  // invalid, raised for the zero base
  }
}

TEST(Power, EntryReachesTheGenericBody) {
  const float x[] = {-8.0f};
  const float y[] = {1.0f / 3.0f};
  float r = 0;
  EXPECT_EQ(SP_WARNING_POWER_DOMAIN, spPower_32f(x, y, &r, 1));
  EXPECT_EQ(0xFFC00000u, Bits(r));
  EXPECT_EQ(SP_ERROR_NULL, spPower_32f(x, nullptr, &r, 0));
  EXPECT_EQ(SP_ERROR_LENGTH, spPower_32f(x, y, &r, 0));
}

}  // namespace
