// Zero-phase filtering over the three anti-alias rows: the rows against scipy's
// Butterworth designs, the steady-state response against scipy's |H|^2, the impulse
// response's centre and symmetry, whole-signal forward-backward filtering as the oracle
// for any split of the stream, and the refusals.
#include "dsp/virtualiser/linear_phase_iir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "butterworth_reference.h"
#include "dsp/virtualiser/engine_resampler.h"
#include "dsp_test_util.h"
#include "virtualiser_test_util.h"

namespace {

namespace ref = butterworth_reference;

std::vector<double> RowB(int r) { return {ref::kB[r], ref::kB[r] + 4}; }
std::vector<double> RowA(int r) { return {ref::kA[r], ref::kA[r] + 4}; }

CLinearPhaseIir* MakeFilter(int r) {
  auto* f = LpvNew<CLinearPhaseIir>(LPV_FILTER_OVERLAP);
  EXPECT_NE(f, nullptr);
  EXPECT_TRUE(f->SetCoefficients(LPV_ANTI_ALIAS_ROWS[r].b, 4, LPV_ANTI_ALIAS_ROWS[r].a, 4));
  return f;
}

// Runs x through the filter in calls of the given lengths.
std::vector<float> Filter(CLinearPhaseIir& f, std::vector<float> x, const std::vector<std::int32_t>& lengths) {
  std::vector<float> y(x.size());
  size_t at = 0;
  for (std::int32_t n : lengths) {
    EXPECT_TRUE(f.Process(y.data() + at, x.data() + at, n));
    at += static_cast<size_t>(n);
  }
  return y;
}

std::vector<std::int32_t> Blocks(size_t total, std::int32_t len) {
  return std::vector<std::int32_t>(total / static_cast<size_t>(len), len);
}

TEST(LpvAntiAliasRows, MatchScipyButterworthDesigns) {
  for (int r = 0; r < LPV_ANTI_ALIAS_ROW_COUNT; ++r) {
    SCOPED_TRACE(r);
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(LPV_ANTI_ALIAS_ROWS[r].b[k], ref::kB[r][k], 1e-7) << "b" << k;
      EXPECT_NEAR(LPV_ANTI_ALIAS_ROWS[r].a[k], ref::kA[r][k], 1e-7) << "a" << k;
    }
  }
}

// One table over the three rows: each at the rate it runs at, a sine of every test
// frequency whose |H|^2 is above -60 dB; after the filter has settled the output is the
// sine scaled by |H|^2 and delayed by exactly the overlap. Among them: the half-Nyquist
// row at 48000 Hz is -6.02 dB per pass at 12000 Hz.
TEST(LpvLinearPhaseIir, SteadyStateResponseIsScipysPowerResponseWithZeroPhase) {
  dsp_test::RecordingHost host;
  constexpr size_t kLength = 24 * 512;
  constexpr size_t kSettle = 4 * 512;
  for (int r = 0; r < LPV_ANTI_ALIAS_ROW_COUNT; ++r) {
    const double fs = ref::kRates[r];
    CLinearPhaseIir* f = MakeFilter(r);
    for (int i = 0; i < ref::kFrequencyCount; ++i) {
      const double hz = ref::kFrequencies[i];
      const double expectedDb = ref::kPowerDb[r][i];
      if (expectedDb < -60.0) continue;
      SCOPED_TRACE(testing::Message() << "row " << r << " at " << fs << " Hz, " << hz << " Hz");
      const auto x = dsp_test::Tone(static_cast<int>(kLength), fs, hz, 0.5);
      const auto y = Filter(*f, x, Blocks(kLength, 512));
      // Fit the output against the input's time axis: y[n] ~ x[n - overlap].
      std::vector<double> tail(y.begin() + kSettle + LPV_FILTER_OVERLAP, y.end());
      const auto fit = dsp_test::FitTone(tail, fs, hz);
      const double measuredDb = 20 * std::log10(fit.amplitude / 0.5);
      EXPECT_NEAR(measuredDb, expectedDb, 0.01);
      // Input phase at sample kSettle is w * kSettle (mod 2 pi).
      const double w = 2 * std::numbers::pi * hz / fs;
      double phase = fit.phase - std::remainder(w * static_cast<double>(kSettle), 2 * std::numbers::pi);
      phase = std::remainder(phase, 2 * std::numbers::pi);
      EXPECT_NEAR(phase, 0.0, 1e-5);
    }
    DspDelete(f);
  }
}

// An impulse at block position p comes out centred on p + 64 and symmetric about it;
// with p near a block end the response straddles two calls.
TEST(LpvLinearPhaseIir, ImpulseResponseIsCentredOnTheOverlapAndSymmetric) {
  dsp_test::RecordingHost host;
  const std::int32_t positions[] = {0, 100, 470, 500, 511};
  for (int r = 0; r < LPV_ANTI_ALIAS_ROW_COUNT; ++r) {
    const auto reference = lpv_test::ForwardBackward(RowB(r), RowA(r), [] {
      std::vector<double> d(400, 0.0);
      d[200] = 1.0;
      return d;
    }());
    for (std::int32_t p : positions) {
      SCOPED_TRACE(testing::Message() << "row " << r << ", impulse at " << p);
      CLinearPhaseIir* f = MakeFilter(r);
      std::vector<float> x(4 * 512, 0.0f);
      x[static_cast<size_t>(p) + 512] = 1.0f;  // in the second block
      const auto y = Filter(*f, x, Blocks(x.size(), 512));
      const size_t centre = static_cast<size_t>(p) + 512 + LPV_FILTER_OVERLAP;
      EXPECT_EQ(std::max_element(y.begin(), y.end()) - y.begin(), static_cast<std::ptrdiff_t>(centre));
      for (size_t j = 1; j < 120; ++j) {
        EXPECT_NEAR(y[centre + j], y[centre - j], 1e-7) << j;
        EXPECT_NEAR(y[centre + j], reference[200 + j], 1e-6) << j;
      }
      EXPECT_NEAR(y[centre], reference[200], 1e-6);
      DspDelete(f);
    }
  }
}

// Any split of a stream (calls of 1 to 1024 samples, many shorter than the overlap)
// gives the whole-signal forward-backward filtering, delayed by the overlap.
TEST(LpvLinearPhaseIir, AnySplitOfTheStreamFollowsWholeSignalForwardBackwardFiltering) {
  dsp_test::RecordingHost host;
  const auto x = lpv_test::RandomSignal(12000, 21);
  const std::vector<double> xd(x.begin(), x.end());
  for (int r = 0; r < LPV_ANTI_ALIAS_ROW_COUNT; ++r) {
    const auto reference = lpv_test::ForwardBackward(RowB(r), RowA(r), xd);
    for (unsigned seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE(testing::Message() << "row " << r << ", split seed " << seed);
      CLinearPhaseIir* f = MakeFilter(r);
      const std::int32_t maxLen = seed % 2 == 0 ? 40 : EachChannelSampleCntMax;
      const auto y = Filter(*f, x, lpv_test::RandomSplit(static_cast<std::int32_t>(x.size()), maxLen, seed));
      double worst = 0;
      // The whole-signal reference sees the signal's entire future; stop short of its end.
      for (size_t n = LPV_FILTER_OVERLAP; n + 200 < x.size(); ++n)
        worst = std::max(worst, std::abs(y[n] - reference[n - LPV_FILTER_OVERLAP]));
      EXPECT_LT(worst, 2e-6);
      DspDelete(f);
    }
  }
}

TEST(LpvLinearPhaseIir, RefusesLengthsOutsideItsCapacityAndMissingSections) {
  dsp_test::RecordingHost host;
  lpv_test::AssertRecorder asserts;
  CLinearPhaseIir* f = MakeFilter(0);
  std::vector<float> in(2048, 0.25f), out(2048, 7.0f);
  EXPECT_FALSE(f->Process(out.data(), in.data(), 1025));
  EXPECT_EQ(asserts.Expressions(), std::vector<std::string>{"len<=(EachChannelSampleCntMax)"});
  EXPECT_FALSE(f->Process(out.data(), in.data(), 0));
  EXPECT_FALSE(f->Process(out.data(), nullptr, 16));
  EXPECT_FALSE(f->Process(nullptr, in.data(), 16));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0f; }));
  EXPECT_TRUE(f->Process(out.data(), in.data(), 1024));
  DspDelete(f);

  CLinearPhaseIir bare(LPV_FILTER_OVERLAP);  // no coefficients yet
  EXPECT_FALSE(bare.IsValid());
  EXPECT_FALSE(bare.Process(out.data(), in.data(), 16));
  CLinearPhaseIir negative(-1);
  EXPECT_FALSE(negative.IsValid());
  EXPECT_EQ(asserts.Records().size(), 1u);
}

TEST(LpvLinearPhaseIir, EveryAllocationFailureLeavesAnUnusableFilterAndNoBlocks) {
  const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[2];
  // Window buffers, then per section its object, numerator and denominator blocks.
  for (int failAt = 1; failAt <= 7; ++failAt) {
    SCOPED_TRACE(failAt);
    dsp_test::RecordingHost host;
    host.FailAllocation(failAt);
    {
      CLinearPhaseIir f(LPV_FILTER_OVERLAP);
      const bool set = f.SetCoefficients(row.b, 4, row.a, 4);
      EXPECT_FALSE(set && f.IsValid());
      std::vector<float> in(64, 0.5f), out(64, 3.0f);
      EXPECT_FALSE(f.Process(out.data(), in.data(), 64));
      EXPECT_EQ(out, std::vector<float>(64, 3.0f));
    }
    EXPECT_EQ(host.LiveBlocks(), 0);
  }
}

}  // namespace
