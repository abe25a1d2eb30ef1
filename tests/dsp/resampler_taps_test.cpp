// The committed tap tables: the telling values and sums they must reproduce, their
// symmetries, and the 2x/4x frequency responses.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "dsp/resampler_taps.h"

namespace {

double Sum(const float* taps, int n, int start = 0, int step = 1) {
  double s = 0;
  for (int k = start; k < n; k += step) s += taps[k];
  return s;
}

// |H(f)| of a tap table, f in units of its sample rate.
double Magnitude(const float* taps, int n, double f) {
  std::complex<double> h = 0;
  for (int k = 0; k < n; ++k) h += static_cast<double>(taps[k]) * std::polar(1.0, -2 * std::numbers::pi * f * k);
  return std::abs(h);
}

struct Sample {
  int index;
  float value;
};

struct FirTable {
  const char* name;
  const float* taps;
  int count;
  int factor;
  double sum;
  double phaseSums[4];
  Sample samples[6];
};

const FirTable kFirTables[] = {
    {"2x", FIR_RESAMPLER_2X_TAPS, 66, 2, 1.0010068, {0.5005034, 0.5005034},
     {{0, 0.0007137369f}, {1, 0.0003200257f}, {2, -0.0011169648f}, {3, -0.0000706710f}, {32, 0.4569357932f},
      {33, 0.4569357932f}}},
    {"4x", FIR_RESAMPLER_4X_TAPS, 132, 4, 1.0009977, {0.2500179, 0.2504810, 0.2504810, 0.2500179},
     {{0, 0.0001691075f}, {1, 0.0006973530f}, {2, 0.0001098923f}, {3, -0.0000570181f}, {65, 0.2482064217f},
      {66, 0.2482064217f}}},
};

TEST(ResamplerTaps, IntegerFactorTablesReproduceTheirTellingValuesAndSums) {
  for (const FirTable& t : kFirTables) {
    SCOPED_TRACE(t.name);
    for (const Sample& s : t.samples) EXPECT_NEAR(t.taps[s.index], s.value, 5e-10) << "tap " << s.index;
    EXPECT_NEAR(Sum(t.taps, t.count), t.sum, 5e-7);
    for (int r = 0; r < t.factor; ++r) EXPECT_NEAR(Sum(t.taps, t.count, r, t.factor), t.phaseSums[r], 5e-7);
    for (int k = 0; k < t.count; ++k) EXPECT_EQ(t.taps[k], t.taps[t.count - 1 - k]) << "linear phase at " << k;
  }
}

// Passband up to 0.92 and stopband from 1.12 of the lower rate's Nyquist frequency.
TEST(ResamplerTaps, IntegerFactorFiltersKeepRippleWithinAHundredthOfADbAndStopAt59Db) {
  for (const FirTable& t : kFirTables) {
    SCOPED_TRACE(t.name);
    const double nyquistLow = 0.5 / t.factor;
    double passMin = 1e9, passMax = -1e9, stopMax = -1e9;
    for (int i = 0; i <= 4000; ++i) {
      const double f = 0.5 * i / 4000;
      const double db = 20 * std::log10(Magnitude(t.taps, t.count, f));
      if (f <= 0.92 * nyquistLow) {
        passMin = std::min(passMin, db);
        passMax = std::max(passMax, db);
      } else if (f >= 1.12 * nyquistLow) {
        stopMax = std::max(stopMax, db);
      }
    }
    EXPECT_GE(passMin, -0.01);
    EXPECT_LE(passMax, 0.01);
    EXPECT_LE(stopMax, -59.0);
  }
}

// The polyphase values are given to six decimals. Row 1's tap 9 is 0.00600047, which
// reads 0.006001 when rounded through seven decimals (0.0060005), so the tolerance is a
// little over half a unit of the sixth decimal.
constexpr float kSixDecimals = 6e-7f;

TEST(ResamplerTaps, PolyphaseUpRowsInterpolateBetweenTheirCentreSamples) {
  for (int k = 0; k < 20; ++k) EXPECT_EQ(POLYPHASE_UP_TAPS[0][k], k == 10 ? 1.0f : 0.0f) << "row 0 tap " << k;
  EXPECT_NEAR(POLYPHASE_UP_TAPS[1][9], 0.006001f, kSixDecimals);
  EXPECT_NEAR(POLYPHASE_UP_TAPS[1][10], 0.999934f, kSixDecimals);
  EXPECT_NEAR(POLYPHASE_UP_TAPS[1][11], -0.005919f, kSixDecimals);
  EXPECT_NEAR(POLYPHASE_UP_TAPS[80][9], 0.629111f, kSixDecimals);
  EXPECT_EQ(POLYPHASE_UP_TAPS[80][9], POLYPHASE_UP_TAPS[80][10]);
  for (int p = 0; p < 160; ++p) {
    EXPECT_NEAR(Sum(POLYPHASE_UP_TAPS[p], 20), 1.0, 5e-6) << "row " << p;
    if (p == 0) continue;
    for (int k = 0; k < 20; ++k)
      EXPECT_EQ(POLYPHASE_UP_TAPS[160 - p][19 - k], POLYPHASE_UP_TAPS[p][k]) << "row " << p << " tap " << k;
  }
}

TEST(ResamplerTaps, PolyphaseDownRowsAreAntiAliasInterpolatorsWithTwoZeroTaps) {
  const Sample row0[] = {{9, -0.092177f}, {10, 0.171039f}, {11, 0.927283f}, {12, -0.047293f}};
  const Sample row146[] = {{9, 0.163519f}, {10, 0.929444f}, {11, -0.042162f}};
  for (const Sample& s : row0) EXPECT_NEAR(POLYPHASE_DOWN_TAPS[0][s.index], s.value, kSixDecimals);
  for (const Sample& s : row146) EXPECT_NEAR(POLYPHASE_DOWN_TAPS[146][s.index], s.value, kSixDecimals);
  for (int p = 0; p < 147; ++p) {
    SCOPED_TRACE(p);
    EXPECT_NEAR(Sum(POLYPHASE_DOWN_TAPS[p], 24), 1.0, 2e-5);
    EXPECT_EQ(POLYPHASE_DOWN_TAPS[p][22], 0.0f);
    EXPECT_EQ(POLYPHASE_DOWN_TAPS[p][23], 0.0f);
    int peak = 0;
    for (int k = 1; k < 24; ++k)
      if (POLYPHASE_DOWN_TAPS[p][k] > POLYPHASE_DOWN_TAPS[p][peak]) peak = k;
    EXPECT_TRUE(peak == 10 || peak == 11) << peak;
  }
}

}  // namespace
