// The reverb's life cycle and its interface contracts: modes by rate, pending values,
// clearing, the line inputs, output steps, untouched inputs and in-place output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "dsp/reverb.h"
#include "dsp/reverb_records.h"
#include "reverb_test_util.h"

namespace {

using reverb_test::MakeReverb;
using reverb_test::Planar;
using reverb_test::RunBlocks;

// Energy of a signal.
double Energy(const std::vector<float>& v) {
  double e = 0;
  for (float x : v) e += static_cast<double>(x) * x;
  return e;
}

// Runs an impulse on channel 4 of an 8-channel stream and returns the network that is
// left ringing after 1000 frames.
reverb_test::ReverbPtr RingingNetwork(std::int32_t rate) {
  auto r = MakeReverb(rate, 8);
  Planar in(1000);
  in.data[4][0] = 1.0f;
  std::vector<float> l, rr;
  RunBlocks(*r, in, l, rr);
  return r;
}

// Output energy of 2000 silent frames of an 8-channel stream.
double TailEnergy(CDspReverb& r) {
  Planar silence(2000);
  std::vector<float> l, rr;
  RunBlocks(r, silence, l, rr);
  return Energy(l) + Energy(rr);
}

TEST(Reverb, InitClearsTheHeaderAndStartsInMode0) {
  auto r = MakeReverb();
  EXPECT_EQ(r->Mode(), 0);
  EXPECT_EQ(r->ChannelValue(), 0);
  EXPECT_EQ(r->PendingMode(), 0);
  EXPECT_EQ(r->PendingChannelValue(), 0);
  EXPECT_EQ(r->BufferLength(), 3588);
  EXPECT_EQ(r->HeadIndex(), 0);
}

TEST(Reverb, RateChoosesTheMode) {
  struct Case {
    std::int32_t rate, mode, bufferLength;
  } cases[] = {
      {48000, 0, 3588},  {44100, 1, 3307}, {22050, 1, 3307}, {32000, 2, 2408},  {96000, 16, 7155},
      {88200, 17, 6595}, {176400, 1, 3307}, {192000, 1, 3307}, {8000, 1, 3307}, {0, 1, 3307},
      {-48000, 1, 3307},
  };
  for (const auto& c : cases) {
    auto r = MakeReverb();
    r->SetSampleRate(c.rate, 5);
    EXPECT_EQ(r->PendingMode(), c.mode) << c.rate;
    EXPECT_EQ(r->PendingChannelValue(), 5);
    EXPECT_TRUE(r->IsModeValid());
    float zero[8] = {};
    const float* in[8] = {zero, zero, zero, zero, zero, zero, zero, zero};
    float l[8], rr[8];
    float* out[2] = {l, rr};
    r->Process(in, out, 8);
    EXPECT_EQ(r->Mode(), c.mode) << c.rate;
    EXPECT_EQ(r->ChannelValue(), 5);
    EXPECT_EQ(r->BufferLength(), c.bufferLength) << c.rate;
  }
}

TEST(Reverb, InvalidPendingPairIsDroppedAndTheTailKeepsRunning) {
  for (std::int32_t bad : {8, 9, 100, -1, std::numeric_limits<std::int32_t>::min()}) {
    auto r = RingingNetwork(48000);
    r->SetSampleRate(96000, bad);
    EXPECT_FALSE(r->IsModeValid()) << bad;
    const double tail = TailEnergy(*r);
    EXPECT_EQ(r->Mode(), 0) << bad;
    EXPECT_EQ(r->ChannelValue(), 7) << bad;
    EXPECT_EQ(r->PendingMode(), 0) << bad;
    EXPECT_EQ(r->PendingChannelValue(), 7) << bad;
    EXPECT_GT(tail, 1e-4) << bad;
  }
}

TEST(Reverb, UnchangedFormatKeepsTheTailAndAChangeClearsIt) {
  struct Case {
    std::int32_t rate, channels;
    bool keepsTail;
  } cases[] = {
      {48000, 8, true},   // same rate and channel count
      {96000, 8, false},  // new mode
      {48000, 6, false},  // new channel count, same mode
      {47999, 8, false},  // an unlisted rate runs mode 1
  };
  for (const auto& c : cases) {
    auto r = RingingNetwork(48000);
    auto reference = RingingNetwork(48000);
    r->SetSampleRate(c.rate, c.channels - 1);
    const double tail = TailEnergy(*r);
    if (c.keepsTail) {
      EXPECT_EQ(tail, TailEnergy(*reference)) << c.rate << "/" << c.channels;
      EXPECT_GT(tail, 1e-4);
    } else {
      EXPECT_EQ(tail, 0.0) << c.rate << "/" << c.channels;
    }
  }
}

TEST(Reverb, ResetAppliesThePendingModeAndLeavesTheChannelValueToProcess) {
  auto r = RingingNetwork(48000);
  r->SetSampleRate(96000, 5);
  r->Reset();
  EXPECT_EQ(r->Mode(), 16);
  EXPECT_EQ(r->BufferLength(), 7155);
  EXPECT_EQ(r->HeadIndex(), 0);
  EXPECT_EQ(r->ChannelValue(), 7);
  EXPECT_EQ(r->PendingChannelValue(), 5);
  // The cleared network stays silent; the channel value takes effect on Process.
  EXPECT_EQ(TailEnergy(*r), 0.0);
  EXPECT_EQ(r->ChannelValue(), 5);

  // Reset with nothing pending clears the tail in place.
  auto q = RingingNetwork(44100);
  q->Reset();
  EXPECT_EQ(q->Mode(), 1);
  EXPECT_EQ(TailEnergy(*q), 0.0);
}

TEST(Reverb, ImpulseOnTheLowFrequencyChannelEntersLines0And1WithOppositeSigns) {
  auto r = MakeReverb(48000, 6);
  Planar in(4);
  in.data[3][0] = 1.0f;
  std::vector<float> x(16), y(16);
  const CDspReverbProbe probe{x.data(), y.data()};
  r->SetProbe(&probe);
  float l[4], rr[4];
  float* out[2] = {l, rr};
  r->Process(in.In(), out, 4);
  EXPECT_EQ(x[0], -0.551703155f);
  EXPECT_EQ(x[1], 0.551703155f);
  EXPECT_EQ(x[2], 0.0f);
  EXPECT_EQ(x[3], 0.0f);
  for (int i = 4; i < 16; ++i) EXPECT_EQ(x[i], 0.0f) << i;
  // The biquad's first output is 2 b0 x.
  EXPECT_FLOAT_EQ(y[0], 2.0f * 0.490661621f * -0.551703155f);
}

TEST(Reverb, LayoutsOtherThan6And8ChannelsFeedZeros) {
  for (std::int32_t channels : {1, 2, 3, 4, 5, 7}) {
    auto r = MakeReverb(48000, channels);
    Planar in = reverb_test::Noise(3000, 7u + static_cast<std::uint32_t>(channels), 1.0f);
    std::vector<float> l, rr;
    RunBlocks(*r, in, l, rr);
    EXPECT_EQ(Energy(l) + Energy(rr), 0.0) << channels;
  }
}

// The left and right sums of the first frame of a cleared network with only the centre
// channel are w * C, w being the output filter's weight of C' now (0.278351 in mode 0).
TEST(Reverb, OutputSumsAreSaturatedAndRoundedToSixteenBitSteps) {
  const float w = ReverbRecordForMode(0)->outputFilters[0][3];
  struct Case {
    float sum, expected;
  } cases[] = {
      {-1.0f, -1.0f},
      {-1.5f, -1.0f},
      {0.99999f, 32767.0f / 32768.0f},
      {65535.0f / 65536.0f, 32767.0f / 32768.0f},
      {2.0f, 32767.0f / 32768.0f},
      {-65535.0f / 65536.0f, -32767.0f / 32768.0f},
      {0.5f, 0.5f},
      {1.0f / 65536.0f, 1.0f / 32768.0f},       // ties round up
      {-1.0f / 65536.0f, 0.0f},                 // towards +infinity
      {3.0f / 65536.0f, 2.0f / 32768.0f},
      {0.25f + 1.0f / 131072.0f, 0.25f},
  };
  for (const auto& c : cases) {
    // A centre sample whose product with w is exactly the wanted sum.
    float centre = c.sum / w;
    for (int i = 0; i < 64 && centre * w != c.sum; ++i)
      centre = std::nextafter(centre, (centre * w < c.sum) == (w > 0) ? INFINITY : -INFINITY);
    ASSERT_EQ(centre * w, c.sum);
    auto r = MakeReverb(48000, 6);
    Planar in(1);
    in.data[2][0] = centre;
    float l, rr;
    float* out[2] = {&l, &rr};
    r->Process(in.In(), out, 1);
    EXPECT_EQ(l, c.expected) << c.sum;
    EXPECT_EQ(rr, c.expected) << c.sum;
  }
}

TEST(Reverb, OutputsAreSixteenBitStepsInRange) {
  for (std::int32_t rate : {48000, 44100, 32000, 96000, 88200}) {
    auto r = MakeReverb(rate, 8);
    Planar in = reverb_test::Noise(20000, 11, 1.0f);
    std::vector<float> l, rr;
    RunBlocks(*r, in, l, rr, 480);
    for (const auto* v : {&l, &rr}) {
      for (float s : *v) {
        ASSERT_GE(s, -1.0f);
        ASSERT_LE(s, 32767.0f / 32768.0f);
        ASSERT_EQ(s * 32768.0f, std::floor(s * 32768.0f)) << s;
      }
    }
  }
}

TEST(Reverb, InputsStayUnchangedAndInPlaceOutputEqualsSeparateBuffers) {
  for (std::int32_t channels : {6, 8}) {
    Planar in = reverb_test::Noise(4096, 3, 1.0f);
    const Planar original = in;
    auto separate = MakeReverb(96000, channels);
    std::vector<float> l, rr;
    RunBlocks(*separate, in, l, rr, 512);
    for (int c = 0; c < 8; ++c)
      ASSERT_EQ(std::memcmp(in.data[c].data(), original.data[c].data(), 4096 * sizeof(float)), 0) << c;

    // The node's way: one channel set as input and output.
    auto inPlace = MakeReverb(96000, channels);
    for (std::size_t at = 0; at < 4096; at += 512) {
      float* set[8];
      for (int c = 0; c < 8; ++c) set[c] = in.data[c].data() + at;
      inPlace->Process(set, set, 512);
    }
    EXPECT_EQ(in.data[0], l) << channels;
    EXPECT_EQ(in.data[1], rr) << channels;
    for (int c = 2; c < 8; ++c)
      EXPECT_EQ(std::memcmp(in.data[c].data(), original.data[c].data(), 4096 * sizeof(float)), 0) << c;
  }
}

TEST(Reverb, BlockSizeDoesNotChangeTheOutput) {
  Planar in = reverb_test::Noise(5000, 5, 0.7f);
  std::vector<float> l1, r1, l2, r2;
  auto a = MakeReverb(32000, 8);
  auto b = MakeReverb(32000, 8);
  RunBlocks(*a, in, l1, r1, 5000);
  RunBlocks(*b, in, l2, r2, 97);
  EXPECT_EQ(l1, l2);
  EXPECT_EQ(r1, r2);
}

TEST(Reverb, NonFiniteInputsCountAsZeroAndHugeOnesAreBounded) {
  Planar clean = reverb_test::Noise(3000, 9, 0.5f);
  Planar hostile = clean;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (std::size_t i = 100; i < 3000; i += 37) {
    hostile.data[i % 8][i] = i % 3 == 0 ? nan : (i % 3 == 1 ? inf : -inf);
    clean.data[i % 8][i] = 0.0f;
  }
  std::vector<float> l1, r1, l2, r2;
  auto a = MakeReverb(48000, 8);
  auto b = MakeReverb(48000, 8);
  RunBlocks(*a, clean, l1, r1);
  RunBlocks(*b, hostile, l2, r2);
  EXPECT_EQ(l1, l2);
  EXPECT_EQ(r1, r2);

  Planar huge(2000);
  for (int c = 0; c < 8; ++c) huge.data[c][0] = (c % 2 ? -1 : 1) * std::numeric_limits<float>::max();
  auto h = MakeReverb(96000, 8);
  std::vector<float> l3, r3;
  RunBlocks(*h, huge, l3, r3);
  for (float s : l3) ASSERT_TRUE(std::isfinite(s));
  for (float s : r3) ASSERT_TRUE(std::isfinite(s));
}

TEST(Reverb, NullArraysAndEmptyCallsWriteNothing) {
  auto r = MakeReverb(48000, 8);
  float l = 7.0f, rr = 7.0f;
  float* out[2] = {&l, &rr};
  Planar in(1);
  r->Process(nullptr, out, 1);
  r->Process(in.In(), nullptr, 1);
  r->Process(in.In(), out, 0);
  r->Process(in.In(), out, -5);
  EXPECT_EQ(l, 7.0f);
  EXPECT_EQ(rr, 7.0f);
  EXPECT_EQ(r->HeadIndex(), 0);
  // Missing channels read as silence, a missing output is skipped.
  const float* sparse[8] = {};
  float* oneOut[2] = {&l, nullptr};
  r->Process(sparse, oneOut, 1);
  EXPECT_EQ(l, 0.0f);
  EXPECT_EQ(r->HeadIndex(), 1);
}

}  // namespace
