#include "dsp/db_gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(DbGain, TableEntriesAtWholeAndHalfDecadesAreExact) {
  EXPECT_EQ(kFractionalPowersOfTen[0], 1.0);
  EXPECT_EQ(kFractionalPowersOfTen[100], 3.1622776601683795);
  EXPECT_EQ(kFractionalPowersOfTen[200], 10.0);
  for (int i = 0; i < kPowersOfTwoCount; ++i) EXPECT_EQ(kPowersOfTwo[i], std::ldexp(1.0, i));
}

TEST(DbGain, FractionalTableIsTheNearestDoubleOfEachPower) {
  // long double carries 11 more bits than double, so rounding it gives the
  // nearest double except for values within 2^-64 relative of a tie, which
  // these are not.
  for (int i = 0; i < kFractionalPowersOfTenCount; ++i)
    EXPECT_EQ(kFractionalPowersOfTen[i], static_cast<double>(std::pow(10.0L, i / 200.0L))) << i;
}

TEST(DbGain, EdgeValues) {
  struct Case {
    float base, exponent, expected;
  } cases[] = {
      {10, 0, 1.0f},        {10, 1, 10.0f}, {10, -1, 0.1f}, {10, -0.5f, 0.316227766f}, {10, -4.8f, 1.5848932e-5f},
      {10, 0.9976f, 10.0f}, {3, 1, 0.0f},
  };
  for (const auto &c : cases) EXPECT_FLOAT_EQ(FastPowF(c.base, c.exponent), c.expected) << c.base << "^" << c.exponent;
  EXPECT_EQ(FastPowF(10, -1), static_cast<float>(10.0 / 10.0 / 10.0));
  EXPECT_EQ(FastPow(2, 3.4), 8.0);
  EXPECT_EQ(FastPow(2, 3.5), 16.0);
  EXPECT_EQ(FastPow(3, 1), 0.0);
  EXPECT_EQ(RoundToInt(2.5), 3);
  EXPECT_EQ(RoundToInt(-2.5), -3);
  EXPECT_EQ(RoundToInt(-0.4), 0);
}

TEST(DbGain, OutOfTableAndNonFiniteExponentsGiveLimitsWithoutLooping) {
  EXPECT_EQ(FastPow(2, 16), 0.0);
  EXPECT_EQ(FastPow(2, -1), 0.0);
  EXPECT_EQ(FastPow(2, std::numeric_limits<double>::quiet_NaN()), 0.0);
  EXPECT_EQ(FastPow(10, std::numeric_limits<double>::quiet_NaN()), 0.0);
  EXPECT_EQ(FastPowF(10, std::numeric_limits<float>::infinity()), std::numeric_limits<float>::infinity());
  EXPECT_EQ(FastPowF(10, -std::numeric_limits<float>::infinity()), 0.0f);
  EXPECT_EQ(FastPowF(10, 3.0e38f), std::numeric_limits<float>::infinity());
  EXPECT_EQ(FastPowF(10, -3.0e38f), 0.0f);
  EXPECT_EQ(FastPowF(10, 39.0f), std::numeric_limits<float>::infinity());
}

TEST(DbGain, GainOfEveryVolumeLevelIsWithinHalfATableStep) {
  // Every 1/256 dB level from -127 dB to +127 dB, computed as the volume
  // controls do. A table step is 1/200 in the exponent; half of it bounds the
  // error, plus the rounding of the float exponent (|e| < 6.4, one ulp 2^-21)
  // and of the float result.
  const double halfStep = std::pow(10.0, 1.0 / 400.0) - 1.0;
  const double tolerance = halfStep + std::log(10.0) * std::ldexp(6.4, -23) + std::ldexp(1.0, -23);
  for (long level = -127L * 65536; level <= 127L * 65536; level += 256) {
    const float exponent = static_cast<float>(level) / 65536.0f / 20.0f;
    const double exact = std::pow(10.0, level / 65536.0 / 20.0);
    const double gain = FastPowF(10.0f, exponent);
    ASSERT_LE(std::fabs(gain / exact - 1.0), tolerance) << "level " << level;
  }
}

}  // namespace
