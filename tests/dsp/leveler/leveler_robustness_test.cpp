// The leveller under hostile use: more than eight channels, missing buffers, failed
// allocations at every step, null arguments, and no allocation while processing.
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "leveler_test_util.h"
#include "support/global_allocations.h"

namespace {

using leveler_test::Noise;
using leveler_test::Owned;
using leveler_test::Planar;
using leveler_test::Settings;

constexpr int B = CDspLeveler::BLOCK_FRAMES;
// Allocations of a full AllocateBuffers: a weighted buffer per channel, then per channel a
// delay line, a filter state, an input and an output queue.
constexpr int kAllocations = CDspLeveler::CHANNELS * 5;

std::vector<float*> Pointers(Planar& x) {
  std::vector<float*> p;
  for (auto& ch : x) p.push_back(ch.data());
  return p;
}

// Formats of more than eight channels: the first eight are levelled, the rest pass unchanged.
TEST(LevelerRobustness, ChannelsBeyondEightPassUnchanged) {
  const int counts[] = {9, 12, 0xFFFF};
  for (int channels : counts) {
    SCOPED_TRACE(channels);
    dsp_test::RecordingHost host;
    const int used = std::min(channels, 16);  // a huge count: the call passes 16 pointers
    Owned lev(Settings{channels});
    EXPECT_EQ(lev->Channels(), 8);
    const Planar x = Noise(used, 3 * B, 4.0f, 9);
    Planar y = x;
    auto ptrs = Pointers(y);
    lev->Process(ptrs.data(), 3 * B);
    for (int ch = 0; ch < used; ++ch) {
      if (ch < 8) {
        for (int i = 0; i < B; ++i) ASSERT_EQ(y[ch][i], 0.0f);
        EXPECT_NE(y[ch][2 * B - 1], x[ch][B - 1]);  // loud: levelled
      } else {
        EXPECT_EQ(y[ch], x[ch]) << "channel " << ch;
      }
    }
  }
}

// An allocation failure at each allocation of AllocateBuffers returns 0, leaves the
// leveller passing audio through, leaks nothing once freed, and a retry completes it
// without leaking what the failed call allocated.
TEST(LevelerRobustness, AllocationFailureAtEachStep) {
  for (int nth = 1; nth <= kAllocations; ++nth) {
    SCOPED_TRACE(nth);
    dsp_test::RecordingHost host;
    CDspLeveler* lev = DspNew<CDspLeveler>(DSP_POOL_TAG_DUNQ);
    ASSERT_NE(lev, nullptr);
    lev->Init();
    host.FailAllocation(nth);
    EXPECT_EQ(lev->AllocateBuffers(), 0u);
    EXPECT_FALSE(lev->IsAllocated());
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPs), nth - 1);
    const auto format = dsp_test::Format(dsp_test::Enc::Float, 2, 48000);
    lev->SetFormat(&format);
    lev->ResetState();
    const Planar x = Noise(2, 500, 3.0f, 1);
    Planar y = x;
    auto ptrs = Pointers(y);
    lev->Process(ptrs.data(), 500);
    EXPECT_EQ(y, x) << "passes through without buffers";
    if (nth % 2 == 0) {
      host.FailAllocation(0);
      EXPECT_EQ(lev->AllocateBuffers(), 1u);
      EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPs), kAllocations);
      lev->SetFormat(&format);
      lev->Process(ptrs.data(), 500);
      EXPECT_NE(y, x);
    }
    lev->FreeBuffers();
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPs), 0);
    DspDelete(lev);
  }
}

TEST(LevelerRobustness, AllocateTwiceAndFreeTwice) {
  dsp_test::RecordingHost host;
  Owned lev(Settings{2});
  EXPECT_EQ(lev->AllocateBuffers(), 1u);
  EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPs), kAllocations);
  lev->FreeBuffers();
  lev->FreeBuffers();
  EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPs), 0);
  EXPECT_EQ(lev->AllocateBuffers(), 1u);
}

// Null arguments, empty calls and calls before SetFormat change nothing and do not crash.
TEST(LevelerRobustness, NullAndEmptyCalls) {
  dsp_test::RecordingHost host;
  CDspLeveler unformatted{};
  unformatted.Init();
  ASSERT_EQ(unformatted.AllocateBuffers(), 1u);
  Planar x = Noise(2, 300, 2.0f, 4);
  const Planar original = x;
  auto ptrs = Pointers(x);
  unformatted.Process(ptrs.data(), 300);  // no format: no channels processed
  EXPECT_EQ(x, original);
  unformatted.FreeBuffers();

  Owned lev(Settings{2});
  lev->Process(nullptr, 128);
  lev->Process(ptrs.data(), 0);
  float* withNull[2] = {x[0].data(), nullptr};
  lev->Process(withNull, 300);
  lev->ProcessBlock(nullptr, 128);
  lev->SetFormat(nullptr);
  EXPECT_EQ(x, original);
  EXPECT_EQ(lev->BlockPeak(nullptr, 10), 0.0f);
  EXPECT_EQ(lev->BlockPeak(x[0].data(), 0), 0.0f);
  const float mixed[] = {0.25f, -3.0f, 2.0f};
  EXPECT_EQ(lev->BlockPeak(mixed, 3), 3.0f);
  // An oversized block is cut to 128 frames; the rest is untouched.
  std::vector<float> big(1000, 4.0f);
  float* one[2] = {big.data(), big.data()};
  lev->ProcessBlock(one, 1000);
  EXPECT_EQ(big[999], 4.0f);
}

// Non-finite and extreme input neither crashes nor poisons the other channels.
TEST(LevelerRobustness, NonFiniteInputStaysInItsChannel) {
  dsp_test::RecordingHost host;
  for (std::uint32_t mode : {0u, 1u}) {
    SCOPED_TRACE(mode);
    Owned lev(Settings{2, 48000, mode});
    Planar x = Noise(2, 20 * B, 0.5f, 2);
    x[0][5] = std::numeric_limits<float>::infinity();
    x[0][300] = std::numeric_limits<float>::quiet_NaN();
    x[0][600] = 3e38f;
    const Planar y = leveler_test::FeedWhole(lev.lev, x);
    for (std::size_t i = B; i < y[1].size(); ++i) ASSERT_TRUE(std::isfinite(y[1][i]));
  }
}

// Process allocates nothing: pool blocks and global allocations stay flat.
TEST(LevelerRobustness, ProcessAllocatesNothing) {
  dsp_test::RecordingHost host;
  for (std::uint32_t mode : {0u, 1u}) {
    Owned lev(Settings{8, 44100, mode});
    Planar x = leveler_test::Bursts(8, 40 * B, 4.0f, 77);
    auto ptrs = Pointers(x);
    std::vector<float*> p(ptrs);
    const int blocks = host.LiveBlocks();
    const long before = platform::testing::GlobalAllocations();
    std::size_t pos = 0;
    for (std::uint32_t n : {1u, 127u, 300u, 512u, 1000u, 2000u}) {
      for (int c = 0; c < 8; ++c) p[c] = ptrs[c] + pos;
      lev->Process(p.data(), n);
      pos += n;
    }
    lev->SetTargetGain(0.5f);
    lev->Process(ptrs.data(), 512);
    lev->ResetState();
    lev->Process(ptrs.data(), 512);
    EXPECT_EQ(platform::testing::GlobalAllocations(), before);
    EXPECT_EQ(host.LiveBlocks(), blocks);
  }
}

}  // namespace
