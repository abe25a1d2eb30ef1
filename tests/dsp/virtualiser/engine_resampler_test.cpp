// The engine's rate converter: direction and factor by rate, the level of the
// zero-stuffing path, down-then-up against scipy's |H|^4, refusals and allocation
// failure.
#include "dsp/virtualiser/engine_resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

#include "butterworth_reference.h"
#include "dsp_test_util.h"
#include "virtualiser_test_util.h"

namespace {

namespace ref = butterworth_reference;

TEST(LpvSrc, DirectionAndFactorFollowTheRatesAndFactorsWithoutARowAreRefused) {
  struct Case {
    std::int32_t rate;
    bool valid;
    std::int32_t direction;
    std::int32_t factor;
  };
  const Case cases[] = {
      {44100, true, 0, 1},  {48000, true, 1, 1},   {88199, true, 1, 1},  {88200, true, 1, 2},
      {96000, true, 1, 2},  {132300, true, 1, 3},  {176400, false, 1, 4}, {192000, false, 1, 4},
      {32000, true, -1, 1}, {22050, true, -1, 2},  {16000, true, -1, 2}, {14700, true, -1, 3},
      {11025, false, -1, 4}, {8000, false, -1, 5}, {1, false, -1, 44100}, {0, false, 0, 1},
      {-48000, false, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    dsp_test::RecordingHost host;
    {
      CSrc src(c.rate, 44100, 1);
      EXPECT_EQ(src.IsValid(), c.valid);
      EXPECT_EQ(src.Direction(), c.direction);
      EXPECT_EQ(src.Factor(), c.factor);
      // Work buffer, plus two filters of eight blocks each when the rates differ (the
      // object, its window buffers, and per section its object and two coefficient blocks).
      EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_LPVP), !c.valid ? 0 : c.direction == 0 ? 1 : 17);
    }
  }
}

TEST(LpvSrc, UpsampleByTwoKeepsTheMeanLevel) {
  dsp_test::RecordingHost host;
  CSrc src(22050, 44100, 1);
  std::vector<float> in(512), out(1024);
  for (int block = 0; block < 6; ++block) {
    for (size_t i = 0; i < in.size(); ++i) in[i] = 0.3f + 0.2f * static_cast<float>(std::sin(0.05 * (block * 512 + i)));
    ASSERT_TRUE(src.Upsample(out.data(), in.data(), 512));
  }
  // The output lags 32 input samples (64 at the higher rate): compare like with like.
  std::vector<float> lagged(in.begin(), in.end() - 32);
  EXPECT_NEAR(std::accumulate(out.begin() + 64, out.end(), 0.0) / 960,
              std::accumulate(lagged.begin(), lagged.end(), 0.0) / 480, 1e-4);
}

// Downsample then Upsample: a passband sine comes back scaled by |H|^4 (two zero-phase
// passes of the row) and delayed by two overlaps at the higher rate. At 48000 Hz the way
// into the engine and out again is -12 dB at 12000 Hz.
TEST(LpvSrc, DownThenUpIsTheRowsFourthPowerResponseInThePassband) {
  struct Case {
    int row;
    std::int32_t rate;
    std::int32_t block;  // at the stream rate
    double maxHz;
  };
  const Case cases[] = {{0, 48000, 512, 16000}, {1, 88200, 1024, 16000}};
  for (const Case& c : cases) {
    dsp_test::RecordingHost host;
    CSrc src(c.rate, 44100, 1);
    ASSERT_TRUE(src.IsValid());
    const std::int32_t F = src.Factor();
    for (int i = 0; i < ref::kFrequencyCount; ++i) {
      const double hz = ref::kFrequencies[i];
      if (hz > c.maxHz) continue;
      SCOPED_TRACE(testing::Message() << c.rate << " Hz stream, " << hz << " Hz");
      ASSERT_TRUE(src.Init());  // from rest for every tone
      constexpr int kBlocks = 24;
      const auto x = dsp_test::Tone(kBlocks * c.block, c.rate, hz, 0.5);
      std::vector<float> low(static_cast<size_t>(c.block / F)), y(x.size());
      for (int b = 0; b < kBlocks; ++b) {
        std::vector<float> in(x.begin() + b * c.block, x.begin() + (b + 1) * c.block);
        ASSERT_TRUE(src.Downsample(low.data(), in.data(), c.block));
        ASSERT_TRUE(src.Upsample(y.data() + b * c.block, low.data(), c.block / F));
      }
      const size_t settle = 4 * static_cast<size_t>(c.block);
      const size_t delay = 2 * LPV_FILTER_OVERLAP;
      const auto fit = dsp_test::FitTone(std::vector<double>(y.begin() + settle + delay, y.end()), c.rate, hz);
      EXPECT_NEAR(20 * std::log10(fit.amplitude / 0.5), 2 * ref::kPowerDb[c.row][i], 0.01);
      const double w = 2 * std::numbers::pi * hz / c.rate;
      const double phase = std::remainder(fit.phase - w * static_cast<double>(settle), 2 * std::numbers::pi);
      EXPECT_NEAR(phase, 0.0, 1e-5);
    }
  }
}

TEST(LpvSrc, RefusesLengthsItCannotTakeAndWritesNothing) {
  dsp_test::RecordingHost host;
  lpv_test::AssertRecorder asserts;
  CSrc two(88200, 44100, 1);
  std::vector<float> in(4096, 0.5f), out(8192, 5.0f);
  struct Case {
    const char* name;
    bool down;
    std::int32_t len;
    std::vector<std::string> asserted;
  };
  const Case cases[] = {
      {"downsample length not divisible by the factor", true, 511, {"(len%m_nSrcFactor)==0"}},
      {"downsample above the filter's capacity", true, 1026, {"len<=(EachChannelSampleCntMax)"}},
      {"upsample output above the filter's capacity", false, 513, {"outLen<=(EachChannelSampleCntMax)"}},
      {"upsample output above the work buffer", false, 2049, {"outLen<=(EachChannelSampleCntMax*4)"}},
      {"downsample of nothing", true, 0, {}},
      {"upsample of nothing", false, -2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asserts.Clear();
    const bool done =
        c.down ? two.Downsample(out.data(), in.data(), c.len) : two.Upsample(out.data(), in.data(), c.len);
    EXPECT_FALSE(done);
    EXPECT_EQ(asserts.Expressions(), c.asserted);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 5.0f; }));
  }
  EXPECT_TRUE(two.Downsample(out.data(), in.data(), 1024));
  EXPECT_TRUE(two.Upsample(out.data(), in.data(), 512));
}

TEST(LpvSrc, EqualRatesCopyAndInitAgainReplacesEverything) {
  dsp_test::RecordingHost host;
  CSrc same(44100, 44100, 1);
  auto x = lpv_test::RandomSignal(300, 3);
  std::vector<float> y(300);
  ASSERT_TRUE(same.Downsample(y.data(), x.data(), 300));
  EXPECT_EQ(y, x);
  ASSERT_TRUE(same.Upsample(y.data(), x.data(), 300));
  EXPECT_EQ(y, x);

  CSrc src(96000, 44100, 1);
  const int blocks = host.LiveBlocks();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(src.Init());
  EXPECT_EQ(host.LiveBlocks(), blocks);
}

TEST(LpvSrc, EveryAllocationFailureInInitLeavesNothingAllocated) {
  for (int failAt = 1; failAt <= 17; ++failAt) {
    SCOPED_TRACE(failAt);
    dsp_test::RecordingHost host;
    host.FailAllocation(failAt);
    {
      CSrc src(48000, 44100, 1);
      EXPECT_FALSE(src.IsValid());
      EXPECT_EQ(host.LiveBlocks(), 0);
      std::vector<float> in(512, 0.5f), out(512, 2.0f);
      EXPECT_FALSE(src.Downsample(out.data(), in.data(), 512));
      EXPECT_FALSE(src.Upsample(out.data(), in.data(), 512));
      EXPECT_EQ(out, std::vector<float>(512, 2.0f));
      host.FailAllocation(0);
      EXPECT_TRUE(src.Init());
    }
  }
}

}  // namespace
