// Resampler blocks: allocation, Consume, the integer-factor resamplers and the polyphase
// resampler against their defining formulas, in calls of any size, and the telling
// cases of their frame accounting.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "dsp/dsp_block.h"
#include "dsp/resampler_taps.h"
#include "dsp/split_block.h"
#include "dsp_test_util.h"

namespace {

using dsp_test::RecordingHost;

std::vector<float> Random(std::mt19937& rng, int n) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(static_cast<size_t>(n));
  for (auto& x : v) x = d(rng);
  return v;
}

template <class Block>
std::unique_ptr<Block> Make(bool up) {
  auto b = std::make_unique<Block>();
  EXPECT_TRUE(b->Init());
  b->SetDirection(up);
  b->Reset();
  return b;
}

// Feeds x to channel c in calls of the given sizes (cycled), taking the output away after
// each call, and returns all output. A call offered less than a block takes (down by 4:
// fewer than 4 samples) keeps the rest for the next call, as the previous stage would.
std::vector<float> Feed(CDspBlock& b, int c, const std::vector<float>& x, const std::vector<int>& calls) {
  std::vector<float> out;
  size_t pos = 0, call = 0;
  std::vector<float> pending;
  while (pos < x.size() || !pending.empty()) {
    const size_t n = std::min(static_cast<size_t>(calls[call++ % calls.size()]), x.size() - pos);
    pending.insert(pending.end(), x.begin() + static_cast<long>(pos), x.begin() + static_cast<long>(pos + n));
    pos += n;
    std::vector<float> offer(pending);  // exactly sized, so a read past it shows
    std::int32_t count = static_cast<std::int32_t>(offer.size());
    EXPECT_TRUE(b.Process(c, offer.data(), &count));
    pending.erase(pending.begin(), pending.begin() + count);
    out.insert(out.end(), b.Buffer(c), b.Buffer(c) + b.Fill(c));
    EXPECT_TRUE(b.Consume(c, b.Fill(c)));
    if (n == 0 && count == 0) break;
  }
  return out;
}

double TapMagnitude(const float* taps, int n) {
  double m = 0;
  for (int k = 0; k < n; ++k) m += std::abs(taps[k]);
  return m;
}

// y[n] = F x sum h[k] x_up[n - k] (up, x_up zero-stuffed) or sum h[k] x[nF - k] (down).
std::vector<double> IntegerOracle(const float* h, int taps, int F, bool up, const std::vector<float>& x) {
  const size_t outputs = up ? x.size() * F : x.size() / F;
  std::vector<double> y(outputs);
  for (size_t n = 0; n < outputs; ++n) {
    double acc = 0;
    for (int k = 0; k < taps; ++k) {
      const long long j = up ? static_cast<long long>(n) - k : static_cast<long long>(n) * F - k;
      if (j < 0) continue;
      if (up) {
        if (j % F == 0) acc += static_cast<double>(h[k]) * x[static_cast<size_t>(j / F)];
      } else {
        acc += static_cast<double>(h[k]) * x[static_cast<size_t>(j)];
      }
    }
    y[n] = up ? F * acc : acc;
  }
  return y;
}

// Output m of 147:160 up evaluates the input at 147m/160 - 10 through row (147m mod 160);
// output j of 160:147 down evaluates it at 160j/147 - 1600/147 through row (13j mod 147).
std::vector<double> PolyphaseOracle(bool up, const std::vector<float>& x, size_t outputs) {
  std::vector<double> y(outputs);
  for (size_t m = 0; m < outputs; ++m) {
    const long long newest = up ? static_cast<long long>(m) * 147 / 160 : static_cast<long long>(m) * 160 / 147;
    const float* row = up ? POLYPHASE_UP_TAPS[m * 147 % 160] : POLYPHASE_DOWN_TAPS[m * 13 % 147];
    const int taps = up ? 20 : 24;
    double acc = 0;
    for (int k = 0; k < taps; ++k)
      if (newest - k >= 0) acc += static_cast<double>(row[k] * x[static_cast<size_t>(newest - k)]);
    y[m] = acc;
  }
  return y;
}

const std::vector<std::vector<int>> kCallPatterns = {{100000}, {1}, {7, 1, 160, 3, 147, 2}, {1000, 4096, 13}};

TEST(DspBlock, InitAllocatesOnceAndRefusesBlocksWithoutState) {
  RecordingHost host;
  {
    CFirResampler2x b;
    EXPECT_TRUE(b.Init());
    EXPECT_FALSE(b.Init());
    EXPECT_EQ(b.Capacity(), 7680);
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_SRCX), 24);
    CDspBlock plain;
    EXPECT_FALSE(plain.Init());
    std::int32_t count = 5;
    const float x[5] = {};
    EXPECT_FALSE(plain.Process(0, x, &count));
    EXPECT_EQ(count, 0);
  }
  EXPECT_EQ(host.LiveBlocks(), 0);
}

TEST(DspBlock, InitFailsCleanlyAtEveryAllocation) {
  RecordingHost host;
  for (int nth = 1; nth <= 24; ++nth) {
    SCOPED_TRACE(nth);
    {
      CPolyphaseResampler b;
      host.FailAllocation(nth);
      EXPECT_FALSE(b.Init());
      host.FailAllocation(0);
      // A block that failed to allocate takes nothing and does not crash.
      b.Reset();
      std::int32_t count = 3;
      const float x[3] = {1, 2, 3};
      EXPECT_TRUE(b.Process(0, x, &count));
      EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(host.LiveBlocks(), 0);
  }
}

TEST(DspBlock, ConsumeRemovesTheFrontAndRefusesMoreThanTheFill) {
  RecordingHost host;
  auto b = Make<CFirResampler2x>(true);
  std::vector<float> x(10);
  for (int i = 0; i < 10; ++i) x[static_cast<size_t>(i)] = static_cast<float>(i);
  std::int32_t count = 10;
  ASSERT_TRUE(b->Process(3, x.data(), &count));
  ASSERT_EQ(b->Fill(3), 20);
  const std::vector<float> before(b->Buffer(3), b->Buffer(3) + 20);
  EXPECT_FALSE(b->Consume(3, 21));
  EXPECT_FALSE(b->Consume(3, -1));
  EXPECT_FALSE(b->Consume(8, 1));
  EXPECT_EQ(b->Fill(3), 20);
  EXPECT_TRUE(b->Consume(3, 6));
  ASSERT_EQ(b->Fill(3), 14);
  EXPECT_TRUE(std::equal(before.begin() + 6, before.end(), b->Buffer(3)));
  EXPECT_TRUE(b->Consume(3, 14));
  EXPECT_EQ(b->Fill(3), 0);
}

struct IntegerCase {
  const char* name;
  bool four;
  bool up;
};

TEST(FirResampler, FollowsTheMultirateFormulaInCallsOfAnySize) {
  RecordingHost host;
  std::mt19937 rng(11);
  const IntegerCase cases[] = {{"2x up", false, true}, {"2x down", false, false}, {"4x up", true, true}, {"4x down", true, false}};
  for (const IntegerCase& tc : cases) {
    const float* taps = tc.four ? FIR_RESAMPLER_4X_TAPS : FIR_RESAMPLER_2X_TAPS;
    const int n = tc.four ? 132 : 66, F = tc.four ? 4 : 2;
    const auto x = Random(rng, 9000);
    const auto want = IntegerOracle(taps, n, F, tc.up, x);
    std::vector<float> first;
    for (const auto& calls : kCallPatterns) {
      SCOPED_TRACE(testing::Message() << tc.name << " first call " << calls[0]);
      std::unique_ptr<CDspBlock> b;
      if (tc.four) b = Make<CFirResampler4x>(tc.up); else b = Make<CFirResampler2x>(tc.up);
      const auto got = Feed(*b, 5, x, calls);
      ASSERT_EQ(got.size(), want.size());
      const double tol = 4e-6 * TapMagnitude(taps, n) * (tc.up ? F : 1);
      for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << i;
      if (first.empty()) first = got; else EXPECT_EQ(got, first) << "splitting changed the output";
    }
  }
}

TEST(FirResampler, TakesOnlyWhatFitsAndWholeGroupsWhenDecimating) {
  RecordingHost host;
  const std::vector<float> x(16, 0.5f);
  auto up = Make<CFirResampler2x>(true);
  // Fill the channel to capacity, then free one sample: an input needs two.
  std::vector<float> big(3840, 0.25f);
  std::int32_t count = 3840;
  ASSERT_TRUE(up->Process(0, big.data(), &count));
  EXPECT_EQ(count, 3840);
  ASSERT_EQ(up->Fill(0), 7680);
  ASSERT_TRUE(up->Consume(0, 1));
  count = 5;
  EXPECT_TRUE(up->Process(0, x.data(), &count));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(up->Fill(0), 7679);
  ASSERT_TRUE(up->Consume(0, 7));
  count = 5;
  EXPECT_TRUE(up->Process(0, x.data(), &count));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(up->Fill(0), 7680);

  auto down = Make<CFirResampler4x>(false);
  count = 7;
  EXPECT_TRUE(down->Process(1, x.data(), &count));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(down->Fill(1), 1);
  count = 3;
  EXPECT_TRUE(down->Process(1, x.data(), &count));
  EXPECT_EQ(count, 0);
}

TEST(PolyphaseResampler, FollowsItsInterpolationFormulaInCallsOfAnySize) {
  RecordingHost host;
  std::mt19937 rng(12);
  for (bool up : {true, false}) {
    const auto x = Random(rng, 6000);
    const size_t outputs = up ? (x.size() * 160 + 146) / 147 : (x.size() * 147 + 159) / 160;
    const auto want = PolyphaseOracle(up, x, outputs);
    std::vector<float> first;
    for (const auto& calls : kCallPatterns) {
      SCOPED_TRACE(testing::Message() << (up ? "up" : "down") << " first call " << calls[0]);
      auto b = Make<CPolyphaseResampler>(up);
      const auto got = Feed(*b, 7, x, calls);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 3e-6) << i;
      if (first.empty()) first = got; else EXPECT_EQ(got, first) << "splitting changed the output";
    }
  }
}

TEST(PolyphaseResampler, ExactlyOneHundredSixtyOutputsPer147InputsAndBack) {
  RecordingHost host;
  std::vector<float> x(160);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i + 1);
  auto up = Make<CPolyphaseResampler>(true);
  std::int32_t count = 147;
  ASSERT_TRUE(up->Process(0, x.data(), &count));
  EXPECT_EQ(count, 147);
  EXPECT_EQ(up->Fill(0), 160);
  EXPECT_EQ(up->Phase(0), 0);
  // Row 0 is a unit impulse: every 160th output is the input 10 samples back.
  EXPECT_EQ(up->Buffer(0)[0], 0.0f);
  count = 147;
  ASSERT_TRUE(up->Process(0, x.data() + 13, &count));
  // Output 160 is stream sample 147 - 10, the first call's x[137].
  EXPECT_EQ(up->Buffer(0)[160], x[137]);

  auto down = Make<CPolyphaseResampler>(false);
  count = 160;
  ASSERT_TRUE(down->Process(2, x.data(), &count));
  EXPECT_EQ(count, 160);
  EXPECT_EQ(down->Fill(2), 147);
  EXPECT_EQ(down->Phase(2), 0);
}

TEST(PolyphaseResampler, ASkipDueAtTheEndOfACallHappensAtTheStartOfTheNext) {
  RecordingHost host;
  const std::vector<float> x(40, 0.5f);
  auto down = Make<CPolyphaseResampler>(false);
  // Twelve outputs bring the phase to 156 >= 147 with no sample left in the call.
  std::int32_t count = 12;
  ASSERT_TRUE(down->Process(0, x.data(), &count));
  EXPECT_EQ(count, 12);
  EXPECT_EQ(down->Fill(0), 12);
  EXPECT_EQ(down->Phase(0), 156);
  count = 2;
  ASSERT_TRUE(down->Process(0, x.data(), &count));
  EXPECT_EQ(count, 2);  // one skipped, one filtered
  EXPECT_EQ(down->Fill(0), 13);
  EXPECT_EQ(down->Phase(0), 22);
}

TEST(PolyphaseResampler, AFullBufferTakesNothingAndResetClearsHistory) {
  RecordingHost host;
  std::vector<float> x(8000, 0.75f);
  auto up = Make<CPolyphaseResampler>(true);
  std::int32_t count = 8000;
  ASSERT_TRUE(up->Process(4, x.data(), &count));
  EXPECT_EQ(up->Fill(4), 7680);
  EXPECT_LT(count, 8000);
  count = 10;
  ASSERT_TRUE(up->Process(4, x.data(), &count));
  EXPECT_EQ(count, 0);
  up->Reset();
  EXPECT_EQ(up->Fill(4), 0);
  EXPECT_EQ(up->Phase(4), 0);
  count = 1;
  ASSERT_TRUE(up->Process(4, x.data(), &count));
  EXPECT_EQ(up->Buffer(4)[0], 0.0f);  // no history left: the delayed output is silence
}

}  // namespace
