// Mode 1 (weighted) and the weighting tables: the tables' fixed values and rule, the taps
// SetFormat loads, the weighted buffer against scipy's lfilter, the warm-up, the 8.0 limit,
// silence and the ramp after a target change.
#include <cstring>

#include "leveler_test_util.h"
#include "weighting_oracle.h"

namespace {

using leveler_test::Owned;
using leveler_test::Planar;
using leveler_test::Settings;

constexpr int B = CDspLeveler::BLOCK_FRAMES;
constexpr int N = LEVELER_WEIGHTING_TAPS;

struct TableCase {
  const char* name;
  const float* table;
  double tap0, tap49, tap50, sum;
};
const TableCase kTables[] = {
    {"48 kHz", kLevelerWeighting48k, -0.0014565220, 0.19654390, 0.65911549, 0.1231716},
    {"other rates", kLevelerWeightingOther, -0.0016591460, 0.18682593, 0.69269210, 0.1082464},
};

TEST(LevelerWeighting, TablesMeetFixedValuesSumSymmetryAndRule) {
  for (const auto& t : kTables) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(t.table[0], static_cast<float>(t.tap0));
    EXPECT_EQ(t.table[49], static_cast<float>(t.tap49));
    EXPECT_EQ(t.table[50], static_cast<float>(t.tap50));
    const float other = static_cast<float>((t.sum - 2 * t.tap0 - 2 * t.tap49 - t.tap50) / 96);
    double sum = 0.0;
    for (int k = 0; k < N; ++k) {
      EXPECT_EQ(t.table[k], t.table[N - 1 - k]) << "tap " << k;
      if (k != 0 && k != 49 && k != 50 && k != 51 && k != 100) {
        EXPECT_EQ(t.table[k], other) << "tap " << k;
      }
      sum += t.table[k];
    }
    EXPECT_NEAR(sum, t.sum, 1e-6);
  }
}

TEST(LevelerWeighting, SetFormatLoadsDoubledTapsByRate) {
  struct Case {
    std::uint32_t rate;
    const float* table;
    float tap0;
  };
  const Case cases[] = {
      {48000, kLevelerWeighting48k, 1.0f},
      {44100, kLevelerWeightingOther, -0.0033182921f},
      {96000, kLevelerWeightingOther, -0.0033182921f},
      {8000, kLevelerWeightingOther, -0.0033182921f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    dsp_test::RecordingHost host;
    Owned lev(Settings{2, c.rate, 1});
    EXPECT_FLOAT_EQ(lev->Taps()[0], c.tap0);
    for (int k = 1; k < N; ++k) EXPECT_EQ(lev->Taps()[k], 2.0f * c.table[k]) << "tap " << k;
  }
}

// The weighted buffer of the first block after SetFormat equals scipy's lfilter of the
// committed noise block (double precision, zero history).
TEST(LevelerWeighting, WeightedBufferMatchesLfilter) {
  struct Case {
    std::uint32_t rate;
    const double* expected;
  };
  const Case cases[] = {{48000, leveler_oracle::kWeighted48k}, {44100, leveler_oracle::kWeightedOther}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    dsp_test::RecordingHost host;
    Owned lev(Settings{2, c.rate, 1});
    // Run one block of something else first, then reset: the filter history must go too.
    Planar warm = leveler_test::Noise(2, B, 1.0f, 3);
    leveler_test::FeedWhole(lev.lev, warm);
    lev->Reset();
    Planar x(2, std::vector<float>(leveler_oracle::kNoise, leveler_oracle::kNoise + B));
    leveler_test::FeedWhole(lev.lev, x);
    double worst = 0.0;
    for (int ch = 0; ch < 2; ++ch)
      for (int i = 0; i < B; ++i) {
        const double e = c.expected[i];
        const double err = std::fabs(lev->WeightedBuffer(ch)[i] - e) / std::max(std::fabs(e), 1.0);
        worst = std::max(worst, err);
      }
    EXPECT_LT(worst, 1e-6);
    std::printf("weighted buffer at %u Hz: worst relative error %.3g against lfilter\n", c.rate, worst);
  }
}

// Weighted peak of a block by the defining sum in double precision, with the history of the
// stream before it.
double WeightedPeak(const std::vector<float>& x, std::size_t start, const float* taps) {
  double peak = 0.0;
  for (std::size_t n = start; n < start + B; ++n) {
    double y = 0.0;
    for (int k = 0; k < N && k <= static_cast<int>(n); ++k) y += static_cast<double>(taps[k]) * x[n - k];
    peak = std::max(peak, std::fabs(y));
  }
  return peak;
}

double BlockPeak(const std::vector<float>& x, std::size_t start) {
  double p = 0.0;
  for (std::size_t n = start; n < start + B; ++n) p = std::max(p, static_cast<double>(std::fabs(x[n])));
  return p;
}

void RunBlock(CDspLeveler* lev, Planar& x, int b) {
  std::vector<float*> ptrs;
  for (auto& ch : x) ptrs.push_back(ch.data() + static_cast<std::size_t>(b) * B);
  lev->Process(ptrs.data(), B);
}

// Warm-up: the first block ignores its weighted peak (desired T x T), the first two jump to
// their desired gain; afterwards the desired gain is min(ceiling / peak, sqrt(ceiling T^2 /
// weighted peak), 8.0) and a steady level holds it.
TEST(LevelerWeighted, WarmUpLimitAndSilence) {
  struct Case {
    const char* name;
    double frequency;
    float amplitude;
    float target;
    float ceiling;
  };
  const Case cases[] = {
      {"moderate tone", 1000.0, 0.1f, 0.5f, 1.0f},
      {"quiet tone hits the 8.0 limit", 1000.0, 0.001f, 1.0f, 1.0f},
      {"loud low tone limited by the ceiling over its peak", 50.0, 0.9f, 1.0f, 0.5f},
      {"silence gives T x T", 1000.0, 0.0f, 0.7f, 1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dsp_test::RecordingHost host;
    Settings s{1, 48000, 1, c.target, c.ceiling};
    Owned lev(s);
    const int blocks = 6;
    Planar x(1, dsp_test::Tone(blocks * B, 48000.0, c.frequency, c.amplitude));
    const std::vector<float> input = x[0];  // Process rewrites x
    EXPECT_EQ(lev->WarmUp(), 2u);
    RunBlock(lev.lev, x, 0);
    const float tt = c.target * c.target;
    EXPECT_EQ(lev->DesiredGain(0), tt);
    EXPECT_NEAR(lev->CurrentGain(0), tt, 1e-6);
    for (int b = 1; b < blocks; ++b) {
      RunBlock(lev.lev, x, b);
      double expected = tt;
      double peak = 0.0, weighted = 0.0;
      for (int j = 0; j <= b; ++j) {
        peak = std::max(peak, BlockPeak(input, static_cast<std::size_t>(j) * B));
        if (j > 0) weighted = std::max(weighted, WeightedPeak(input, static_cast<std::size_t>(j) * B, lev->Taps()));
      }
      if (weighted > 0.0) {
        expected = std::min(c.ceiling / peak, std::sqrt(c.ceiling * tt / weighted));
        expected = std::min(expected, 8.0);
      }
      EXPECT_NEAR(lev->DesiredGain(0), expected, 1e-5 * expected) << "block " << b;
      if (b == 1) {
        EXPECT_NEAR(lev->CurrentGain(0), lev->DesiredGain(0), 1e-5 * expected) << "warm-up jump";
      }
    }
    if (c.amplitude == 0.001f) {
      EXPECT_EQ(lev->DesiredGain(0), 8.0f);
    }
  }
}

// After SetTargetGain in mode 1 the desired gain is capped at ratio x current gain and the
// next block jumps to it.
TEST(LevelerWeighted, TargetChangeRampsByRatio) {
  const float ratios[] = {0.5f, 0.25f, 2.0f};
  for (float r : ratios) {
    SCOPED_TRACE(r);
    dsp_test::RecordingHost host;
    Owned lev(Settings{2, 44100, 1, 0.5f, 1.0f});
    Planar x = leveler_test::Noise(2, static_cast<std::size_t>(B) * 40, 0.05f, 11);
    int b = 0;
    for (; b < 30; ++b) RunBlock(lev.lev, x, b);
    const float before = lev->CurrentGain(0);
    const float desiredBefore = lev->DesiredGain(0);
    lev->SetTargetGain(0.5f * r);
    RunBlock(lev.lev, x, b++);
    for (int ch = 0; ch < 2; ++ch) {
      EXPECT_LE(lev->DesiredGain(ch), r * before * (1 + 1e-6f));
      EXPECT_NEAR(lev->CurrentGain(ch), lev->DesiredGain(ch), 1e-5f) << "jumped within the block";
    }
    if (r < 1.0f) {
      EXPECT_LT(lev->DesiredGain(0), desiredBefore);
    }
  }
}

}  // namespace
