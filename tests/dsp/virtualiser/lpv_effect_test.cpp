// The headphone virtualiser wrapper: its parameter sets and what reaches the engine, its
// format handling, the fold-down path, allocation failures, and the virtualised impulse
// with the committed tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/leveler.h"
#include "dsp/virtualiser/channel_copy.h"
#include "dsp/virtualiser/engine_support.h"
#include "dsp/virtualiser/headphone_app.h"
#include "dsp/virtualiser/lpv_effect.h"
#include "dsp_test_util.h"
#include "virtualiser_test_util.h"

namespace {

using lpv_test::Planar;

dsp::WAVEFORMATEX FloatFormat(std::uint16_t channels, std::uint32_t rate) {
  dsp::WAVEFORMATEX f{};
  f.wFormatTag = dsp::WAVE_FORMAT_IEEE_FLOAT;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = 32;
  f.nBlockAlign = static_cast<std::uint16_t>(4 * channels);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

Planar RandomEight(size_t frames, unsigned seed) {
  Planar p(8, frames);
  for (int c = 0; c < 8; ++c) p.data[static_cast<size_t>(c)] = lpv_test::RandomSignal(frames, seed + static_cast<unsigned>(c));
  return p;
}

// The plain fold-down written out: (in0 + 0.707 in2 + in3 + in4 + in6) / 2 and its mirror.
std::vector<std::vector<float>> FoldOracle(const Planar& in) {
  const size_t n = in.data[0].size();
  std::vector<std::vector<float>> out(2, std::vector<float>(n));
  const float g = 1.0f / 2.0f;
  for (size_t i = 0; i < n; ++i) {
    const auto& d = in.data;
    out[0][i] = (d[0][i] + 0.707f * d[2][i] + d[3][i] + d[4][i]) * g + g * d[6][i];
    out[1][i] = (d[1][i] + 0.707f * d[2][i] + d[3][i] + d[5][i]) * g + g * d[7][i];
  }
  return out;
}

void ExpectFolded(CLpvEffect& fx, unsigned seed) {
  Planar in = RandomEight(700, seed);
  Planar work = in;
  fx.Process(work.Ptrs(), 700);
  const auto want = FoldOracle(in);
  for (int c = 0; c < 2; ++c) {
    for (size_t i = 0; i < 700; ++i)
      ASSERT_NEAR(work.data[static_cast<size_t>(c)][i], want[static_cast<size_t>(c)][i], 1e-6f) << c << " " << i;
  }
  for (int c = 2; c < 8; ++c) EXPECT_EQ(work.data[static_cast<size_t>(c)], in.data[static_cast<size_t>(c)]) << c;
}

// What the control's initialisation does with its wrapper.
void InitLikeTheControl(CLpvEffect& fx) {
  const auto f = FloatFormat(2, 44100);
  EXPECT_EQ(fx.SetFormat(&f), 1);
  fx.SetEnable(1);
  fx.SetCtcEnable(0);
  fx.SetHeadphoneAngle(3);
  fx.SetSpeakerAngle(3);
  fx.SetCtcAngle(0);
}

}  // namespace

TEST(LpvEffect, InitialState) {
  CLpvEffect* fx = DspNew<CLpvEffect>(DSP_POOL_TAG_DUNQ);
  ASSERT_NE(fx, nullptr);
  ASSERT_NE(fx->Engine(), nullptr);
  EXPECT_EQ(fx->GetHeadphoneRoom(), 1u);
  EXPECT_EQ(fx->GetSpeakerRoom(), 1u);
  EXPECT_EQ(fx->GetHeadphoneAngle(), 30u);
  EXPECT_EQ(fx->GetSpeakerAngle(), 30u);
  EXPECT_EQ(fx->GetCtcAngle(), 20u);
  EXPECT_EQ(fx->IsCtcEnabled(), 0);
  EXPECT_EQ(fx->IsEnabled(), 0u);
  EXPECT_EQ(fx->GetHeadphoneWide(), 0u);
  EXPECT_EQ(fx->GetSpeakerWide(), 0u);
  EXPECT_FALSE(fx->IsProcessing());
  // The engine as it constructs itself: room 1, code 29, crosstalk off.
  EXPECT_EQ(fx->Engine()->Fir().Room(), 1);
  EXPECT_EQ(fx->Engine()->Fir().Angle(), 29);
  EXPECT_EQ(fx->Engine()->Fir().CtcAngle(), 0);
  DspDelete(fx);
}

TEST(LpvEffect, MapSpeakerAngle) {
  struct Case {
    std::uint32_t angle;
    std::int32_t narrow, wide;
  };
  const Case cases[] = {{0, 24, 25},  {25, 24, 25}, {1, 29, 30},  {30, 29, 30},  {2, 34, 35},
                        {35, 34, 35}, {3, 39, 40},  {40, 39, 40}, {31, 31, 31},  {4, -1, -1},
                        {24, -1, -1}, {29, -1, -1}, {34, -1, -1}, {39, -1, -1},  {41, -1, -1},
                        {0xFFFFFFFFu, -1, -1}};
  for (const Case& c : cases) {
    EXPECT_EQ(MapSpeakerAngle(0, c.angle), c.narrow) << c.angle;
    EXPECT_EQ(MapSpeakerAngle(1, c.angle), c.wide) << c.angle;
    EXPECT_EQ(MapSpeakerAngle(-7, c.angle), c.wide) << c.angle;
  }
}

TEST(LpvEffect, CtcAngleIsStoredAndReachesTheEngineOnlyWhileEnabled) {
  struct Case {
    std::uint32_t index, degrees;
  };
  const Case cases[] = {{0, 5}, {1, 10}, {2, 15}, {3, 20}, {4, 30}, {5, 5}, {7, 7}, {30, 30}, {90, 90}};
  auto fx = std::make_unique<CLpvEffect>();
  for (const Case& c : cases) {
    fx->SetCtcEnable(0);
    fx->SetCtcAngle(c.index);
    EXPECT_EQ(fx->GetCtcAngle(), c.degrees) << c.index;
    EXPECT_EQ(fx->Engine()->Fir().CtcAngle(), 0) << c.index;
    fx->SetCtcEnable(1);
    EXPECT_EQ(fx->Engine()->Fir().CtcAngle(), static_cast<std::int32_t>(c.degrees)) << c.index;
    // Angles with a set load its 256 taps; others keep the one-tap identity.
    const bool hasSet = c.degrees == 5 || c.degrees == 10 || c.degrees == 15 || c.degrees == 20 || c.degrees == 30;
    EXPECT_EQ(fx->Engine()->Fir().CtcLength(), hasSet ? 256 : 1) << c.index;
  }
}

// Each set reaches the engine only while it is in force; switching crosstalk
// cancellation changes only the engine's crosstalk angle.
TEST(LpvEffect, OnlyTheSetInForceReachesTheEngine) {
  auto fx = std::make_unique<CLpvEffect>();
  InitLikeTheControl(*fx);
  CHeadphoneFir& fir = fx->Engine()->Fir();
  EXPECT_EQ(fir.Room(), 2);   // room value 1
  EXPECT_EQ(fir.Angle(), 39);  // headphone angle 3, narrow

  fx->SetSpeakerRoom(2);
  fx->SetSpeakerWide(1);
  fx->SetSpeakerAngle(0);
  EXPECT_EQ(fir.Room(), 2);
  EXPECT_EQ(fir.Angle(), 39);
  EXPECT_EQ(fx->GetSpeakerRoom(), 2u);

  fx->SetCtcEnable(1);
  EXPECT_EQ(fir.CtcAngle(), 5);  // index 0 given by the initialisation
  EXPECT_EQ(fir.Room(), 2);
  EXPECT_EQ(fir.Angle(), 39);

  struct Step {
    void (CLpvEffect::*set)(std::uint32_t);
    std::uint32_t value;
    std::int32_t room, angle;
  };
  const Step speakerOn[] = {{&CLpvEffect::SetSpeakerRoom, 2, 1, 25},
                            {&CLpvEffect::SetSpeakerAngle, 31, 1, 31},
                            {&CLpvEffect::SetSpeakerWide, 0, 1, 31},
                            {&CLpvEffect::SetSpeakerAngle, 2, 1, 34},
                            {&CLpvEffect::SetHeadphoneRoom, 0, 1, 34},
                            {&CLpvEffect::SetHeadphoneAngle, 1, 1, 34},
                            {&CLpvEffect::SetHeadphoneWide, 1, 1, 34}};
  for (const Step& s : speakerOn) {
    (fx.get()->*s.set)(s.value);
    EXPECT_EQ(fir.Room(), s.room);
    EXPECT_EQ(fir.Angle(), s.angle);
  }
  fx->SetCtcEnable(0);
  EXPECT_EQ(fir.CtcAngle(), 0);
  EXPECT_EQ(fir.Angle(), 34);  // the headphone set waits for its next setter
  fx->SetHeadphoneRoom(0);
  EXPECT_EQ(fir.Room(), 3);
  EXPECT_EQ(fir.Angle(), 30);  // angle 1, wide
}

// The engine treats an unknown code as 24 and reports it; the wrapper passes -1 on.
TEST(LpvEffect, AnUnknownAngleReachesTheEngineAsMinusOne) {
  auto fx = std::make_unique<CLpvEffect>();
  lpv_test::AssertRecorder rec;
  fx->SetHeadphoneAngle(17);
  EXPECT_EQ(fx->Engine()->Fir().Angle(), 24);
  EXPECT_EQ(rec.Expressions(), std::vector<std::string>{"0"});
}

// A mono stream configures the engine for two outputs: both are written, nothing else.
TEST(LpvEffect, EveryStreamChannelCountProcessesEightIntoTwo) {
  for (std::uint16_t channels : {1, 2, 6, 8}) {
    for (std::uint32_t rate : {44100u, 48000u}) {
      SCOPED_TRACE(testing::Message() << channels << " channels at " << rate);
      auto fx = std::make_unique<CLpvEffect>();
      InitLikeTheControl(*fx);
      const auto f = FloatFormat(channels, rate);
      ASSERT_EQ(fx->SetFormat(&f), 1);
      EXPECT_EQ(fx->Engine()->OutChannels(), 2);
      EXPECT_EQ(fx->Engine()->InChannels(), 8);
      EXPECT_TRUE(fx->IsProcessing());
      Planar in = RandomEight(4096, 40), work = in;
      for (size_t at = 0; at < 4096; at += 512) {
        auto p = work.At(at);
        fx->Process(p.data(), 512);
      }
      double energy = 0;
      for (int c = 0; c < 2; ++c)
        for (float v : work.data[static_cast<size_t>(c)]) energy += static_cast<double>(v) * v;
      EXPECT_GT(energy, 1.0);
      for (int c = 6; c < 8; ++c) EXPECT_EQ(work.data[static_cast<size_t>(c)], in.data[static_cast<size_t>(c)]);
    }
  }
}

TEST(LpvEffect, FoldsDownWhileDisabledOrAfterARefusedFormat) {
  auto fx = std::make_unique<CLpvEffect>();
  InitLikeTheControl(*fx);
  fx->SetEnable(0);
  ExpectFolded(*fx, 50);
  fx->SetEnable(1);
  for (std::uint32_t rate : {0u, 0x80000000u}) {
    const auto bad = FloatFormat(2, rate);
    EXPECT_EQ(fx->SetFormat(&bad), 0) << rate;
    EXPECT_FALSE(fx->IsProcessing());
    ExpectFolded(*fx, 60);
  }
  EXPECT_EQ(fx->SetFormat(nullptr), 0);
  const auto good = FloatFormat(2, 48000);
  EXPECT_EQ(fx->SetFormat(&good), 1);
  EXPECT_TRUE(fx->IsProcessing());
  // Bad calls leave the buffers alone.
  Planar in = RandomEight(64, 70), work = in;
  fx->Process(nullptr, 64);
  fx->Process(work.Ptrs(), 0);
  std::vector<float*> p = work.At(0);
  p[5] = nullptr;
  fx->Process(p.data(), 64);
  EXPECT_EQ(work.data, in.data);
}

// Without an engine the setters only store, SetFormat gives -1 and Process folds down;
// any later allocation failure leaves an engine that never runs half-built. No block
// leaks either way.
TEST(LpvEffect, EveryAllocationFailureLeavesAWorkingWrapper) {
  int blocks = 0;
  {
    dsp_test::RecordingHost host;
    CLpvEffect* fx = DspNew<CLpvEffect>(DSP_POOL_TAG_DUNQ);
    ASSERT_NE(fx, nullptr);
    InitLikeTheControl(*fx);
    blocks = host.LiveBlocks();
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DUNQ), 1);
    DspDelete(fx);
  }
  ASSERT_GT(blocks, 2);
  for (int failAt = 1; failAt <= blocks + 1; ++failAt) {
    SCOPED_TRACE(testing::Message() << "allocation " << failAt << " of " << blocks);
    dsp_test::RecordingHost host;
    host.FailAllocation(failAt);
    CLpvEffect* fx = DspNew<CLpvEffect>(DSP_POOL_TAG_DUNQ);
    if (failAt == 1) {
      EXPECT_EQ(fx, nullptr);
      continue;
    }
    ASSERT_NE(fx, nullptr);
    const auto f = FloatFormat(2, 44100);
    const std::int32_t r = fx->SetFormat(&f);
    fx->SetEnable(1);
    fx->SetHeadphoneRoom(0);
    fx->SetCtcAngle(4);
    fx->SetCtcEnable(1);
    fx->SetSpeakerRoom(2);
    EXPECT_EQ(fx->GetSpeakerRoom(), 2u);
    EXPECT_EQ(fx->GetHeadphoneRoom(), 0u);
    EXPECT_EQ(fx->GetCtcAngle(), 30u);
    if (failAt == 2) {
      EXPECT_EQ(fx->Engine(), nullptr);
      EXPECT_EQ(r, -1);
    }
    if (r != 1) ExpectFolded(*fx, 80);
    else EXPECT_TRUE(fx->IsProcessing());
    DspDelete(fx);
  }
}

// End to end with the committed tables: headphone room 0, angle 0, narrow (room 3, code
// 24). An impulse on channel 0 peaks in the left output one block, the crosstalk
// identity's 255 samples and the same-side filter's 8 taps later (at 48 kHz the block is
// 512 + 2 x 64 converter samples longer).
TEST(LpvEffect, AnImpulseOnTheLeftChannelPeaksWhereTheFiltersSay) {
  struct Case {
    std::uint32_t rate;
    size_t peak;
  };
  const Case cases[] = {{44100, 767 + 8}, {48000, 895 + 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    auto fx = std::make_unique<CLpvEffect>();
    InitLikeTheControl(*fx);
    const auto f = FloatFormat(2, c.rate);
    ASSERT_EQ(fx->SetFormat(&f), 1);
    fx->SetHeadphoneWide(0);
    fx->SetHeadphoneAngle(0);
    fx->SetHeadphoneRoom(0);
    ASSERT_EQ(fx->Engine()->Fir().Room(), 3);
    ASSERT_EQ(fx->Engine()->Fir().Angle(), 24);
    Planar work(8, 4096);
    work.data[0][0] = 1.0f;
    for (size_t at = 0; at < 4096; at += 256) {
      auto p = work.At(at);
      fx->Process(p.data(), 256);
    }
    const auto& left = work.data[0];
    const auto peak = static_cast<size_t>(std::max_element(left.begin(), left.end(), [](float a, float b) {
                                            return std::fabs(a) < std::fabs(b);
                                          }) - left.begin());
    EXPECT_EQ(peak, c.peak);
    EXPECT_LT(left[peak], 0.0f);  // the same-side filter's negative peak
    const auto& right = work.data[1];
    const auto rpeak = static_cast<size_t>(std::max_element(right.begin(), right.end(), [](float a, float b) {
                                             return std::fabs(a) < std::fabs(b);
                                           }) - right.begin());
    EXPECT_GT(rpeak, peak);  // the opposite ear hears it later
  }
}
