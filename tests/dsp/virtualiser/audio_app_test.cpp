// The engine frame with per-block operations of known effect: blocking and its one
// block of latency, the converters' delay, processing in place, any split of a stream,
// the input offset, the channel limits, refused formats and allocation failure.
#include "dsp/virtualiser/audio_app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/virtualiser/engine_resampler.h"
#include "dsp_test_util.h"
#include "virtualiser_test_util.h"

namespace {

using lpv_test::AssertRecorder;
using lpv_test::GainApp;
using lpv_test::IdentityApp;
using lpv_test::Planar;
using lpv_test::RecordingApp;

// Feeds the whole of in through the engine in calls of the given lengths; returns the
// blocks completed.
int Stream(CAudioApp& app, Planar& out, int nOut, Planar& in, int nIn, const std::vector<std::int32_t>& lengths) {
  int blocks = 0;
  size_t at = 0;
  for (std::int32_t n : lengths) {
    auto o = out.At(at);
    auto i = in.At(at);
    blocks += app.Process(o.data(), nOut, i.data(), nIn, n);
    at += static_cast<size_t>(n);
  }
  return blocks;
}

Planar RandomInputs(int channels, size_t frames, unsigned seed) {
  Planar p(channels, frames);
  for (int c = 0; c < channels; ++c) p.data[static_cast<size_t>(c)] = lpv_test::RandomSignal(frames, seed + c);
  return p;
}

TEST(LpvAudioApp, SetFormatDerivesTheBlockFromTheRate) {
  struct Case {
    std::int32_t rate;
    std::int32_t direction;
    std::int32_t factor;
    std::int32_t realLen;
  };
  const Case cases[] = {{44100, 0, 1, 512}, {48000, 1, 1, 512}, {96000, 1, 2, 1024}, {88200, 1, 2, 1024},
                        {32000, -1, 1, 512}, {22050, -1, 2, 256}, {16000, -1, 2, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    dsp_test::RecordingHost host;
    IdentityApp app;
    EXPECT_EQ(app.SetFormat(c.rate, 8, 2, 256), 1);
    EXPECT_TRUE(app.IsConfigured());
    EXPECT_EQ(app.Direction(), c.direction);
    EXPECT_EQ(app.SrcFactor(), c.factor);
    EXPECT_EQ(app.RealDataLen(), c.realLen);
    EXPECT_EQ(app.DataLen(), 512);
    EXPECT_EQ(app.RequestedLength(), 256);
    EXPECT_EQ(app.resets, 1);
  }
}

TEST(LpvAudioApp, CallsAreCutIntoBlocks) {
  dsp_test::RecordingHost host;
  IdentityApp app;
  ASSERT_EQ(app.SetFormat(44100, 2, 2, 512), 1);
  Planar in = RandomInputs(2, 3000, 1), out(2, 3000, 9.0f);

  // Length 0: nothing emitted, nothing processed.
  EXPECT_EQ(app.Process(out.Ptrs(), 2, in.Ptrs(), 2, 0), 0);
  EXPECT_EQ(app.BlockPhase(), 0);
  EXPECT_EQ(app.blocks, 0);
  EXPECT_EQ(out.data[0][0], 9.0f);

  // 1500 samples from phase 0: blocks after 512 and 1024, phase 476.
  EXPECT_EQ(app.Process(out.Ptrs(), 2, in.Ptrs(), 2, 1500), 2);
  EXPECT_EQ(app.BlockPhase(), 476);
  EXPECT_EQ(app.blocks, 2);
  // The first block's worth of output is zero; then the input, one block late.
  for (size_t t = 0; t < 512; ++t) ASSERT_EQ(out.data[0][t], 0.0f) << t;
  for (size_t t = 512; t < 1500; ++t) ASSERT_EQ(out.data[1][t], in.data[1][t - 512] + LPV_INPUT_OFFSET) << t;

  // Shorter than the rest of the block (36 left): only buffers, and emits the previous
  // block's result at those positions.
  auto o = out.At(1500);
  auto i = in.At(1500);
  EXPECT_EQ(app.Process(o.data(), 2, i.data(), 2, 30), 0);
  EXPECT_EQ(app.blocks, 2);
  EXPECT_EQ(app.BlockPhase(), 506);
  for (size_t t = 1500; t < 1530; ++t) ASSERT_EQ(out.data[0][t], in.data[0][t - 512] + LPV_INPUT_OFFSET) << t;
  EXPECT_EQ(out.data[0][1530], 9.0f);
}

// Impulse in, impulse out: one block late at 44100 Hz, one block and the two 64-sample
// zero-phase passes late at 48000 Hz.
TEST(LpvAudioApp, TotalDelayIsOneBlockPlusTheConvertersZeroPhaseDelay) {
  struct Case {
    std::int32_t rate;
    size_t delay;
  };
  const Case cases[] = {{44100, 512}, {48000, 640}, {88200, 1024 + 128}, {22050, 256 + 64}, {32000, 512 + 128}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    dsp_test::RecordingHost host;
    IdentityApp app;
    ASSERT_EQ(app.SetFormat(c.rate, 2, 2, 256), 1);
    constexpr size_t kFrames = 6 * 1024;
    Planar in(2, kFrames), out(2, kFrames);
    in.data[0][300] = 1.0f;
    in.data[1][301] = -1.0f;
    Stream(app, out, 2, in, 2, std::vector<std::int32_t>(kFrames / 512, 512));
    const auto& y = out.data[0];
    const size_t peak = static_cast<size_t>(std::max_element(y.begin(), y.end()) - y.begin());
    EXPECT_EQ(peak, 300 + c.delay);
    const auto& z = out.data[1];
    EXPECT_EQ(static_cast<size_t>(std::min_element(z.begin(), z.end()) - z.begin()), 301 + c.delay);
    if (app.Direction() == 0) {
      EXPECT_EQ(y[peak], 1.0f + LPV_INPUT_OFFSET);
    } else {
      // Zero phase both ways: symmetric about the peak.
      for (size_t j = 1; j < 100; ++j) EXPECT_NEAR(y[peak + j], y[peak - j], 1e-6) << j;
    }
    for (size_t t = 0; t < 300 + c.delay - 150; ++t) ASSERT_LT(std::abs(y[t]), 1e-6f) << t;
  }
}

TEST(LpvAudioApp, ProcessingInPlaceEqualsSeparateArrays) {
  for (std::int32_t rate : {44100, 48000, 22050}) {
    SCOPED_TRACE(rate);
    dsp_test::RecordingHost host;
    GainApp separate, inPlace;
    ASSERT_EQ(separate.SetFormat(rate, 8, 2, 256), 1);
    ASSERT_EQ(inPlace.SetFormat(rate, 8, 2, 256), 1);
    constexpr size_t kFrames = 5000;
    Planar in = RandomInputs(8, kFrames, 40), out(2, kFrames);
    Planar shared = in;
    const auto split = lpv_test::RandomSplit(kFrames, 700, 7);
    Stream(separate, out, 2, in, 8, split);
    Stream(inPlace, shared, 2, shared, 8, split);
    EXPECT_EQ(shared.data[0], out.data[0]);
    EXPECT_EQ(shared.data[1], out.data[1]);
    for (int c = 2; c < 8; ++c) EXPECT_EQ(shared.data[static_cast<size_t>(c)], in.data[static_cast<size_t>(c)]);
  }
}

// The frame's output does not depend on how the stream is cut into calls.
TEST(LpvAudioApp, AnySplitOfAStreamGivesTheSameOutputAsOneCall) {
  for (std::int32_t rate : {44100, 48000, 88200, 22050}) {
    dsp_test::RecordingHost host;
    constexpr size_t kFrames = 7000;
    Planar in = RandomInputs(6, kFrames, 60);
    GainApp whole;
    ASSERT_EQ(whole.SetFormat(rate, 6, 4, 256), 1);
    Planar expected(4, kFrames);
    const int blocks = Stream(whole, expected, 4, in, 6, {static_cast<std::int32_t>(kFrames)});
    EXPECT_EQ(blocks, static_cast<int>(kFrames) / whole.RealDataLen());
    for (unsigned seed = 1; seed <= 12; ++seed) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, split seed " << seed);
      GainApp app;
      ASSERT_EQ(app.SetFormat(rate, 6, 4, 256), 1);
      Planar out(4, kFrames);
      const std::int32_t maxLen = seed % 3 == 0 ? 17 : seed % 3 == 1 ? 600 : 3000;
      EXPECT_EQ(Stream(app, out, 4, in, 6, lpv_test::RandomSplit(kFrames, maxLen, seed)), blocks);
      EXPECT_EQ(out.data, expected.data);
      EXPECT_EQ(app.BlockPhase(), whole.BlockPhase());
    }
  }
}

TEST(LpvAudioApp, SilenceInReachesTheBlockOperationAsTheOffsetNeverAsZeros) {
  dsp_test::RecordingHost host;
  RecordingApp exact, filtered, scaled(3.0f);
  ASSERT_EQ(exact.SetFormat(44100, 8, 2, 256), 1);
  ASSERT_EQ(filtered.SetFormat(48000, 8, 2, 256), 1);
  ASSERT_EQ(scaled.SetFormat(44100, 1, 1, 256), 1);
  constexpr size_t kFrames = 4 * 512;
  Planar silence(8, kFrames), out(8, kFrames), scratch(8, kFrames);
  Stream(filtered, scratch, 2, silence, 8, {static_cast<std::int32_t>(kFrames)});
  Stream(scaled, scratch, 1, silence, 1, {static_cast<std::int32_t>(kFrames)});
  Stream(exact, out, 2, silence, 8, {static_cast<std::int32_t>(kFrames)});
  for (float v : scaled.seen[0]) ASSERT_EQ(v, 3.0f * 1e-10f);
  ASSERT_EQ(exact.seen.size(), 8u);
  for (const auto& ch : exact.seen) {
    ASSERT_EQ(ch.size(), kFrames);
    for (float v : ch) ASSERT_EQ(v, 1e-10f);
  }
  for (const auto& ch : filtered.seen)
    for (size_t t = 512; t < ch.size(); ++t) ASSERT_NEAR(ch[t], 1e-10, 1e-15) << t;
  for (const auto& ch : filtered.seen)
    for (float v : ch) ASSERT_NE(v, 0.0f);
  // Outputs carry the offset too, one block late.
  EXPECT_EQ(out.data[0][kFrames - 1], 1e-10f);
}

TEST(LpvAudioApp, OnlyTheConfiguredChannelsAreProcessed) {
  dsp_test::RecordingHost host;
  GainApp app;
  ASSERT_EQ(app.SetFormat(48000, 2, 2, 256), 1);
  constexpr size_t kFrames = 2048;
  Planar in = RandomInputs(8, kFrames, 80), out(8, kFrames, 9.0f);
  GainApp reference;
  ASSERT_EQ(reference.SetFormat(48000, 2, 2, 256), 1);
  Planar expected(2, kFrames);
  Stream(reference, expected, 2, in, 2, {static_cast<std::int32_t>(kFrames)});
  Stream(app, out, 8, in, 8, {1000, 1048});
  EXPECT_EQ(out.data[0], expected.data[0]);
  EXPECT_EQ(out.data[1], expected.data[1]);
  for (int c = 2; c < 8; ++c) EXPECT_EQ(out.data[static_cast<size_t>(c)], std::vector<float>(kFrames, 9.0f)) << c;

  // Fewer inputs than configured: the missing ones are silent.
  GainApp four;
  ASSERT_EQ(four.SetFormat(44100, 4, 4, 256), 1);
  Planar out4(4, kFrames);
  Stream(four, out4, 4, in, 2, {static_cast<std::int32_t>(kFrames)});
  EXPECT_EQ(out4.data[3][1500], 1e-10f * GainApp::Gain(3));
  EXPECT_EQ(out4.data[1][1500], (in.data[1][1500 - 512] + 1e-10f) * GainApp::Gain(1));
}

TEST(LpvAudioApp, MoreOutputsThanInputsGoBackThroughTheirOwnConverters) {
  dsp_test::RecordingHost host;
  GainApp app;
  ASSERT_EQ(app.SetFormat(48000, 2, 6, 256), 1);
  constexpr size_t kFrames = 2048;
  Planar in = RandomInputs(2, kFrames, 90), out(6, kFrames, 9.0f);
  Stream(app, out, 6, in, 2, {static_cast<std::int32_t>(kFrames)});
  for (int c = 2; c < 6; ++c)
    for (size_t t = 0; t < kFrames; ++t) ASSERT_EQ(out.data[static_cast<size_t>(c)][t], 0.0f) << c << " " << t;
}

TEST(LpvAudioApp, RefusedFormatsPassAudioThroughUntilAFormatIsAccepted) {
  struct Case {
    const char* name;
    std::int32_t rate;
    std::int32_t nIn;
    std::int32_t nOut;
    std::vector<std::string> asserted;
  };
  const Case cases[] = {
      {"factor 3 above: block of 1536", 132300, 8, 2, {"m_nRealDataLen<=EachChannelSampleCntMax"}},
      {"factor 4 above", 192000, 8, 2, {"m_nRealDataLen<=EachChannelSampleCntMax"}},
      {"factor 3 below: 512 not divisible", 14700, 8, 2, {"(m_nDataLen%m_nSrcFactor)==0"}},
      {"factor 4 below: no filter row", 11025, 8, 2, {}},
      {"rate 0", 0, 8, 2, {}},
      {"negative rate", -48000, 8, 2, {}},
      {"no inputs", 48000, 0, 2, {}},
      {"nine inputs", 48000, 9, 2, {}},
      {"no outputs", 48000, 8, 0, {}},
      {"nine outputs", 48000, 8, 9, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dsp_test::RecordingHost host;
    AssertRecorder asserts;
    IdentityApp app;
    ASSERT_EQ(app.SetFormat(48000, 8, 2, 256), 1);
    EXPECT_EQ(app.SetFormat(c.rate, c.nIn, c.nOut, 256), 0);
    EXPECT_FALSE(app.IsConfigured());
    EXPECT_EQ(asserts.Expressions(), c.asserted);
    EXPECT_EQ(host.LiveBlocks(), 0);
    Planar in = RandomInputs(8, 700, 5), out(8, 700, 9.0f);
    EXPECT_EQ(Stream(app, out, 8, in, 8, {300, 400}), 0);
    EXPECT_EQ(out.data, in.data);
    EXPECT_EQ(app.blocks, 0);
    EXPECT_EQ(app.SetFormat(44100, 8, 2, 256), 1);
  }
}

TEST(LpvAudioApp, EveryAllocationFailureInSetFormatIsReportedAndPassesAudioThrough) {
  struct Case {
    std::int32_t rate;
    std::int32_t nIn;
    std::int32_t nOut;
  };
  const Case cases[] = {{44100, 8, 2}, {48000, 8, 2}, {22050, 2, 6}};
  for (const Case& c : cases) {
    int blocks = 0;
    {
      dsp_test::RecordingHost host;
      IdentityApp app;
      ASSERT_EQ(app.SetFormat(c.rate, c.nIn, c.nOut, 256), 1);
      blocks = host.LiveBlocks(DSP_POOL_TAG_LPVP);
      EXPECT_EQ(host.LiveBlocks(), blocks);
    }
    ASSERT_GT(blocks, 0);
    for (int failAt = 1; failAt <= blocks; ++failAt) {
      SCOPED_TRACE(testing::Message() << c.rate << " Hz, allocation " << failAt << " of " << blocks);
      dsp_test::RecordingHost host;
      IdentityApp app;
      ASSERT_EQ(app.SetFormat(44100, 2, 2, 256), 1);  // a working format, replaced below
      host.FailAllocation(failAt);
      EXPECT_EQ(app.SetFormat(c.rate, c.nIn, c.nOut, 256), 0);
      EXPECT_EQ(host.LiveBlocks(), 0);
      const int n = std::max(c.nIn, c.nOut);
      Planar in = RandomInputs(n, 1100, 3), out(n, 1100, 9.0f);
      EXPECT_EQ(Stream(app, out, c.nOut, in, c.nIn, {1100}), 0);
      for (int ch = 0; ch < c.nOut; ++ch) {
        const auto& expected = ch < c.nIn ? in.data[static_cast<size_t>(ch)] : std::vector<float>(1100, 0.0f);
        EXPECT_EQ(out.data[static_cast<size_t>(ch)], expected) << ch;
      }
      host.FailAllocation(0);
      EXPECT_EQ(app.SetFormat(c.rate, c.nIn, c.nOut, 256), 1);
      EXPECT_EQ(host.LiveBlocks(), blocks);
    }
  }
}

TEST(LpvAudioApp, BeforeAnyFormatTheFramePassesThroughAndFreesNothingItLacks) {
  dsp_test::RecordingHost host;
  IdentityApp app;
  EXPECT_FALSE(app.IsConfigured());
  EXPECT_EQ(app.InChannels(), 6);
  EXPECT_EQ(app.OutChannels(), 2);
  Planar in = RandomInputs(2, 100, 9), out(2, 100);
  EXPECT_EQ(app.Process(out.Ptrs(), 2, in.Ptrs(), 2, 100), 0);
  EXPECT_EQ(out.data, in.data);
  EXPECT_EQ(app.Process(nullptr, 2, in.Ptrs(), 2, 100), 0);
  app.FreeBuffers();
  EXPECT_EQ(host.LiveBlocks(), 0);
}

TEST(LpvEngineAssert, ReportsExpressionFileAndLineAndPrintsInBuildsWithAssertions) {
  dsp_test::RecordingHost host;
  AssertRecorder asserts;
  const int line = __LINE__ + 1;
  const bool held = LPV_ASSERT(1 + 1 == 3);
  EXPECT_FALSE(held);
  EXPECT_TRUE(LPV_ASSERT(2 > 1));
  ASSERT_EQ(asserts.Records().size(), 1u);
  EXPECT_EQ(asserts.Records()[0].expression, "1 + 1 == 3");
  EXPECT_EQ(asserts.Records()[0].line, line);
  EXPECT_NE(asserts.Records()[0].file.find("audio_app_test.cpp"), std::string::npos);
#ifndef NDEBUG
  ASSERT_EQ(host.Lines().size(), 1u);
  EXPECT_NE(host.Lines()[0].find("assertion failed: 1 + 1 == 3"), std::string::npos);
#else
  EXPECT_TRUE(host.Lines().empty());
#endif
}

}  // namespace
