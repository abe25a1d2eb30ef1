// The interleaved conversion container: format checks, the stage plan, format pairs
// across every rate pair, format and channel count, exact frame counts, streams split
// into calls of any size, and the bounds of its buffers.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "container_test_util.h"
#include "dsp/interleave_src.h"

namespace {

using namespace dsp_test;

std::unique_ptr<CDspInterleaveSrc> MakeSrc() {
  auto src = std::make_unique<CDspInterleaveSrc>();
  EXPECT_TRUE(src->Init());
  return src;
}

dsp::WAVEFORMATEXTENSIBLE With(dsp::WAVEFORMATEXTENSIBLE f, void (*edit)(dsp::WAVEFORMATEXTENSIBLE&)) {
  edit(f);
  return f;
}

struct RefusedPair {
  const char* name;
  dsp::WAVEFORMATEXTENSIBLE in, out;
  const char* line;  // null: refused without a message
};

std::vector<RefusedPair> RefusedPairs() {
  const auto good = Format(Enc::Pcm16, 2, 48000);
  return {
      {"input tag 2", With(good, [](auto& f) { f.Format.wFormatTag = 2; }), good, "%s Tag not PCM\n"},
      {"input extensible tag 2", With(Format(Enc::Pcm16, 2, 48000, true), [](auto& f) { f.SubFormat.Data1 = 2; }),
       good, "%s Tag not PCM\n"},
      {"input 9 channels", Format(Enc::Pcm16, 9, 48000), Format(Enc::Pcm16, 9, 48000),
       "%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"input 0 channels", Format(Enc::Pcm16, 0, 48000), Format(Enc::Pcm16, 0, 48000),
       "%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"input 32000 Hz", Format(Enc::Pcm16, 2, 32000), good, "%s InFormat.Format.nSamplesPerSec not in List\n"},
      {"input 8 bits", With(good, [](auto& f) { f.Format.wBitsPerSample = 8; f.Format.nBlockAlign = 2; }), good,
       "%s InFormat.Format.wBitsPerSample not in List\n"},
      {"input float at 16 bits", With(Format(Enc::Float, 2, 48000), [](auto& f) { f.Format.wBitsPerSample = 16; }),
       good, "%s InFormat.Format.wBitsPerSample not in List\n"},
      {"input block align", With(good, [](auto& f) { f.Format.nBlockAlign = 8; }), good,
       "%s InFormat.Format.nBlockAlign not consistent\n"},
      {"float input block align", With(Format(Enc::Float, 2, 48000), [](auto& f) { f.Format.nBlockAlign = 4; }), good,
       "%s InFormat.Format.nBlockAlign not consistent\n"},
      {"output tag 0x55", good, With(good, [](auto& f) { f.Format.wFormatTag = 0x55; }), "%s Output Tag not PCM\n"},
      {"output 1 channel of 2", good, Format(Enc::Pcm16, 1, 48000),
       "%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"output 32000 Hz", good, Format(Enc::Pcm16, 2, 32000), "%s OutFormat.Format.nSamplesPerSec not in List\n"},
      {"output 20 bits", good, With(good, [](auto& f) { f.Format.wBitsPerSample = 20; }), nullptr},
      {"output float at 24 bits", good,
       With(Format(Enc::Float, 2, 48000), [](auto& f) { f.Format.wBitsPerSample = 24; f.Format.nBlockAlign = 6; }), nullptr},
      {"output block align", good, With(good, [](auto& f) { f.Format.nBlockAlign = 6; }),
       "%s OutFormat.Format.nBlockAlign not consistent\n"},
  };
}

std::string Expand(const char* line, const char* who) {
  std::string s(line);
  s.replace(s.find("%s"), 2, who);
  return s;
}

TEST(InterleaveSrc, RefusedFormatsPrintTheirCheckAndLeaveTheContainerUnconfigured) {
  RecordingHost host;
  auto src = MakeSrc();
  const auto good = Format(Enc::Pcm16, 2, 48000);
  for (const RefusedPair& c : RefusedPairs()) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(src->SetFormat(&good, &good));
    host.ClearLines();
    EXPECT_FALSE(src->SetFormat(&c.in, &c.out));
    if (c.line == nullptr) {
      EXPECT_TRUE(host.Lines().empty());
    } else {
      ASSERT_EQ(host.Lines().size(), 1u);
      EXPECT_EQ(host.Lines()[0], Expand(c.line, "CDspInterleaveSrc::SetFormat"));
    }
    // The old configuration is gone: new-format data is refused, counts unchanged.
    std::vector<std::uint8_t> in(64), out(64);
    std::int32_t inCount = 4, outCount = 4;
    EXPECT_FALSE(src->Process(in.data(), &inCount, out.data(), &outCount));
    EXPECT_EQ(inCount, 4);
    EXPECT_EQ(outCount, 4);
    EXPECT_EQ(src->StageCount(), 0);
  }
}

TEST(InterleaveSrc, InitRunsOnceFreesEverythingAfterAnyFailureAndProcessNeedsAFormat) {
  RecordingHost host;
  // Format block (its conversion and 24 buffers), three resamplers of 24 buffers each,
  // the four block objects and the work buffer.
  for (int nth = 1; nth <= 1 + 1 + 24 + 3 * 25 + 1; ++nth) {
    {
      CDspInterleaveSrc src;
      host.FailAllocation(nth);
      EXPECT_FALSE(src.Init()) << nth;
      host.FailAllocation(0);
      const auto f = Format(Enc::Pcm16, 2, 48000);
      EXPECT_FALSE(src.SetFormat(&f, &f));
      EXPECT_TRUE(src.Reset());
    }
    ASSERT_EQ(host.LiveBlocks(), 0) << nth;
  }
  auto src = MakeSrc();
  EXPECT_FALSE(src->Init());
  EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPS), 6);
  EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_SRCX), 4 * 24);
  std::vector<std::uint8_t> in(16), out(16);
  std::int32_t inCount = 2, outCount = 2;
  EXPECT_FALSE(src->Process(in.data(), &inCount, out.data(), &outCount));
  EXPECT_EQ(inCount, 2);
}

enum Kind { F, X2, X4, P };
struct Placed {
  Kind kind;
  bool up;
};

Kind KindOf(const CDspBlock* b) {
  if (dynamic_cast<const CFirResampler2x*>(b)) return X2;
  if (dynamic_cast<const CFirResampler4x*>(b)) return X4;
  if (dynamic_cast<const CPolyphaseResampler*>(b)) return P;
  return F;
}

TEST(InterleaveSrc, EveryRatePairPlacesItsStagesInOrderWithTheirDirections) {
  RecordingHost host;
  const std::vector<Placed> plan[6][6] = {
      {{}, {{P, 1}}, {{X2, 1}}, {{P, 1}, {X2, 1}}, {{X4, 1}}, {{P, 1}, {X4, 1}}},
      {{{P, 0}}, {}, {{P, 0}, {X2, 1}}, {{X2, 1}}, {{P, 0}, {X4, 1}}, {{X4, 1}}},
      {{{X2, 0}}, {{X2, 0}, {P, 1}}, {}, {{P, 1}}, {{X2, 1}}, {{P, 1}, {X2, 1}}},
      {{{X2, 0}, {P, 0}}, {{X2, 0}}, {{P, 0}}, {}, {{P, 0}, {X2, 1}}, {{X2, 1}}},
      {{{X4, 0}}, {{X4, 0}, {P, 1}}, {{X2, 0}}, {{X2, 0}, {P, 1}}, {}, {{P, 1}}},
      {{{X4, 0}, {P, 0}}, {{X4, 0}}, {{X2, 0}, {P, 0}}, {{X2, 0}}, {{P, 0}}, {}},
  };
  // One container walks all pairs, so every block's direction is set by each plan that
  // places it (176400 -> 48000 after 44100 -> 176400 among them).
  auto src = MakeSrc();
  for (int a = 0; a < 6; ++a) {
    for (int b = 0; b < 6; ++b) {
      SCOPED_TRACE(testing::Message() << kRates[a] << " -> " << kRates[b]);
      const auto in = Format(Enc::Pcm24, 2, kRates[a]), out = Format(Enc::Pcm16, 2, kRates[b]);
      ASSERT_TRUE(src->SetFormat(&in, &out));
      const auto& want = plan[a][b];
      ASSERT_EQ(src->StageCount(), 1 + static_cast<int>(want.size()));
      EXPECT_EQ(KindOf(src->Stage(0)), F);
      for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(KindOf(src->Stage(static_cast<int>(i) + 1)), want[i].kind) << "stage " << i + 1;
        EXPECT_EQ(src->Stage(static_cast<int>(i) + 1)->IsUp(), want[i].up) << "stage " << i + 1;
      }
    }
  }
}

// Every rate pair once; input and output encodings and the channel count vary with the
// pair so that each appears (extensible forms on every third pair).
TEST(InterleaveSrc, SampledFormatPairsGiveExactFrameCountsAndCarryTheTone) {
  RecordingHost host;
  const Enc encs[4] = {Enc::Pcm16, Enc::Pcm24, Enc::Pcm32, Enc::Float};
  auto src = MakeSrc();
  for (int pair = 0; pair < 36; ++pair) {
    const std::uint32_t inRate = kRates[pair / 6], outRate = kRates[pair % 6];
    const Enc inEnc = encs[pair % 4], outEnc = encs[(pair / 4 + pair) % 4];
    const int channels = 1 + pair % 8;
    SCOPED_TRACE(testing::Message() << inRate << " " << EncName(inEnc) << " -> " << outRate << " "
                                    << EncName(outEnc) << ", " << channels << " channels");
    const auto in = Format(inEnc, channels, inRate, pair % 3 == 0);
    const auto out = Format(outEnc, channels, outRate, pair % 3 == 1);
    ASSERT_TRUE(src->SetFormat(&in, &out));
    const int frames = static_cast<int>(inRate / 10);  // 100 ms
    const auto input = ToneFrames(inEnc, channels, inRate, 997.0, frames);
    std::vector<std::uint8_t> output(static_cast<size_t>(ExpectedFrames(inRate, outRate, frames) + 64) *
                                     out.Format.nBlockAlign);
    std::int32_t inCount = frames;
    std::int32_t outCount = static_cast<std::int32_t>(output.size() / out.Format.nBlockAlign);
    ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
    EXPECT_EQ(inCount, frames);
    EXPECT_EQ(outCount, ExpectedFrames(inRate, outRate, frames));
    output.resize(static_cast<size_t>(outCount) * out.Format.nBlockAlign);
    // Interpolating by 2 or 4 leaves the tone's images at the integer filters' stopband
    // level (59 dB down); everything else is far cleaner.
    const double residualLimit = pair % 6 / 2 > pair / 6 / 2 ? -56.0 : -75.0;
    for (int c = 0; c < channels; ++c) {
      auto y = Channel(outEnc, channels, output, c);
      y.erase(y.begin(), y.begin() + static_cast<long>(y.size() / 4));  // past the filters' delay
      const ToneFit fit = FitTone(y, outRate, 997.0);
      EXPECT_NEAR(fit.amplitude, 0.5 * (1.0 - c / 16.0), 0.5 * 0.0015) << "channel " << c;
      EXPECT_LT(fit.residualDb, residualLimit) << "channel " << c;
    }
  }
}

TEST(InterleaveSrc, ExactlyOneHundredSixtyFramesPer147AndBack) {
  RecordingHost host;
  auto src = MakeSrc();
  for (bool up : {true, false}) {
    const auto in = Format(Enc::Float, 2, up ? 44100 : 48000), out = Format(Enc::Pcm16, 2, up ? 48000 : 44100);
    ASSERT_TRUE(src->SetFormat(&in, &out));
    const int period = up ? 147 : 160;
    std::vector<std::uint8_t> input(static_cast<size_t>(period) * in.Format.nBlockAlign);
    std::vector<std::uint8_t> output(200 * 4);
    for (int k = 0; k < 30; ++k) {
      std::int32_t inCount = period, outCount = 200;
      ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
      EXPECT_EQ(inCount, period);
      EXPECT_EQ(outCount, up ? 160 : 147) << "period " << k;
    }
  }
}

TEST(InterleaveSrc, AStreamSplitIntoCallsOfAnySizeGivesTheOutputOfOneCall) {
  RecordingHost host;
  std::mt19937 rng(5);
  struct Case {
    Enc inEnc, outEnc;
    int channels;
    std::uint32_t inRate, outRate;
  } cases[] = {
      {Enc::Pcm16, Enc::Pcm16, 2, 44100, 48000}, {Enc::Float, Enc::Float, 2, 48000, 44100},
      {Enc::Pcm24, Enc::Pcm32, 6, 192000, 44100}, {Enc::Pcm32, Enc::Pcm24, 3, 88200, 192000},
      {Enc::Float, Enc::Pcm16, 8, 96000, 96000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inRate << " -> " << c.outRate << ", " << c.channels << " channels");
    const auto in = Format(c.inEnc, c.channels, c.inRate), out = Format(c.outEnc, c.channels, c.outRate);
    const int frames = static_cast<int>(c.inRate / 5);
    auto input = ToneFrames(c.inEnc, c.channels, c.inRate, 1234.5, frames, 0.9);
    auto src = MakeSrc();
    ASSERT_TRUE(src->SetFormat(&in, &out));
    const auto whole = Drive(*src, in, out, input, {frames}, {1 << 20});
    ASSERT_EQ(whole.size() / out.Format.nBlockAlign, static_cast<size_t>(ExpectedFrames(c.inRate, c.outRate, frames)));
    for (int trial = 0; trial < 4; ++trial) {
      std::vector<int> inCalls, outRooms;
      for (int i = 0; i < 17; ++i) {
        inCalls.push_back(std::uniform_int_distribution<int>(1, trial % 2 ? 50 : 5000)(rng));
        outRooms.push_back(std::uniform_int_distribution<int>(1, trial < 2 ? 8000 : 300)(rng));
      }
      ASSERT_TRUE(src->SetFormat(&in, &out));  // a new format resets the chain
      const auto split = Drive(*src, in, out, input, inCalls, outRooms);
      ASSERT_LE(split.size(), whole.size());
      EXPECT_TRUE(std::equal(split.begin(), split.end(), whole.begin())) << "trial " << trial;
    }
  }
}

// An output channel of the last stage can hold 7680 frames while one chunk's output
// passes through a work buffer of 3840 frames of 8 channels: each chunk is clamped.
TEST(InterleaveSrc, ABackloggedLastStageComesOutInChunksThatFitTheWorkBuffer) {
  RecordingHost host;
  const auto in = Format(Enc::Float, 8, 48000), out = Format(Enc::Float, 8, 192000);
  auto src = MakeSrc();
  ASSERT_TRUE(src->SetFormat(&in, &out));
  const int frames = 4800;
  const auto input = ToneFrames(Enc::Float, 8, 48000, 440.0, frames);
  // One frame of room per call until the chain stops taking input.
  const auto trickle = Drive(*src, in, out, std::vector<std::uint8_t>(input.begin(), input.begin() + 3000 * 32),
                             {3000}, {1});
  std::vector<std::uint8_t> rest(input.begin() + 3000 * 32, input.end());
  std::vector<std::uint8_t> output(static_cast<size_t>(frames) * 4 * 32);
  std::int32_t inCount = 1800, outCount = frames * 4;
  ASSERT_TRUE(src->Process(rest.data(), &inCount, output.data(), &outCount));
  EXPECT_EQ(inCount, 1800);
  output.resize(static_cast<size_t>(outCount) * 32);
  std::vector<std::uint8_t> all(trickle);
  all.insert(all.end(), output.begin(), output.end());
  EXPECT_EQ(static_cast<long long>(all.size() / 32), ExpectedFrames(48000, 192000, frames));

  auto reference = MakeSrc();
  ASSERT_TRUE(reference->SetFormat(&in, &out));
  const auto whole = Drive(*reference, in, out, input, {frames}, {1 << 20});
  EXPECT_EQ(all, whole);
}

TEST(InterleaveSrc, SampleFormatsConvertExactlyAtEqualRates) {
  RecordingHost host;
  auto src = MakeSrc();
  struct Case {
    const char* name;
    Enc inEnc, outEnc;
    double value;
    double expected;
  } cases[] = {
      {"16-bit -32768 to float", Enc::Pcm16, Enc::Float, -1.0, -1.0},
      {"16-bit 32767 to float", Enc::Pcm16, Enc::Float, 32767.0 / 32768, 0.999969482421875},
      {"24-bit minimum to float", Enc::Pcm24, Enc::Float, -1.0, -1.0},
      {"32-bit minimum to float", Enc::Pcm32, Enc::Float, -1.0, -1.0},
      {"float 1.5 to 16-bit saturates", Enc::Float, Enc::Pcm16, 1.5, 32767.0 / 32768},
      {"float -0.99999 to 16-bit truncates", Enc::Float, Enc::Pcm16, -0.99999, -32767.0 / 32768},
      {"float 0.5 + 2^-24 to 24-bit rounds half to even", Enc::Float, Enc::Pcm24, 0.5 + std::ldexp(1.0, -24), 0.5},
      {"float 0.5 + 2^-24 to 16-bit truncates", Enc::Float, Enc::Pcm16, 0.5 + std::ldexp(1.0, -24), 0.5},
      {"float 3 x 2^-24 to 24-bit rounds half to even", Enc::Float, Enc::Pcm24, 3 * std::ldexp(1.0, -24), std::ldexp(1.0, -22)},
      {"float -0.75 - 2^-30 to 32-bit truncates", Enc::Float, Enc::Pcm32, -0.75 - std::ldexp(1.0, -30), -0.75},
      {"24-bit 4194304 to 16-bit", Enc::Pcm24, Enc::Pcm16, 0.5, 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto in = Format(c.inEnc, 1, 96000), out = Format(c.outEnc, 1, 96000);
    ASSERT_TRUE(src->SetFormat(&in, &out));
    ASSERT_EQ(src->StageCount(), 1);
    std::uint8_t input[4] = {}, output[4] = {};
    Encode(c.inEnc, c.value, input);
    std::int32_t inCount = 1, outCount = 1;
    ASSERT_TRUE(src->Process(input, &inCount, output, &outCount));
    ASSERT_EQ(outCount, 1);
    EXPECT_EQ(Decode(c.outEnc, output), c.expected);
  }
}

TEST(InterleaveSrc, InputBeyondTenMillisecondsRunsInChunksAndShortOutputWaitsInTheChain) {
  RecordingHost host;
  auto src = MakeSrc();
  const auto in = Format(Enc::Pcm16, 2, 44100), out = Format(Enc::Pcm16, 2, 44100);
  ASSERT_TRUE(src->SetFormat(&in, &out));
  const auto input = ToneFrames(Enc::Pcm16, 2, 44100, 500.0, 2000);
  std::vector<std::uint8_t> output(2000 * 4);
  std::int32_t inCount = 2000, outCount = 2000;
  ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
  EXPECT_EQ(inCount, 2000);
  EXPECT_EQ(outCount, 2000);
  EXPECT_EQ(output, input);

  // 480 frames offered, room for 100: one 10 ms chunk (441 frames) is taken, 341 wait.
  inCount = 480;
  outCount = 100;
  ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
  EXPECT_EQ(inCount, 441);
  EXPECT_EQ(outCount, 100);
  EXPECT_EQ(src->Stage(0)->Fill(0), 341);
  inCount = 39;
  outCount = 2000;
  ASSERT_TRUE(src->Process(input.data() + 441 * 4, &inCount, output.data(), &outCount));
  EXPECT_EQ(inCount, 39);
  EXPECT_EQ(outCount, 380);
  EXPECT_TRUE(std::equal(output.begin(), output.begin() + 380 * 4, input.begin() + 100 * 4));
  // Reset drops what is buffered.
  inCount = 100;
  outCount = 10;
  ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
  EXPECT_GT(src->Stage(0)->Fill(0), 0);
  EXPECT_TRUE(src->Reset());
  EXPECT_EQ(src->Stage(0)->Fill(0), 0);
  // Nothing offered: nothing consumed or written.
  inCount = 0;
  outCount = 10;
  ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
  EXPECT_EQ(inCount, 0);
  EXPECT_EQ(outCount, 0);
}

}  // namespace

namespace {

// Formats from the device are outside input: random field values, biased towards the
// accepted ones, are either refused or converted without touching memory outside the
// caller's buffers (the sanitizer build checks).
TEST(InterleaveSrc, ArbitraryFormatPairsAreRefusedOrConvertedSafely) {
  RecordingHost host;
  std::mt19937 rng(3);
  // Mostly one of the good values, sometimes a bad one or any value at all.
  const auto pick = [&](std::initializer_list<std::uint32_t> good, std::initializer_list<std::uint32_t> bad) {
    const int roll = std::uniform_int_distribution<int>(0, 19)(rng);
    if (roll == 0) return static_cast<std::uint32_t>(rng());
    const auto& from = roll < 18 ? good : bad;
    return *(from.begin() + std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng));
  };
  const auto randomFormat = [&] {
    dsp::WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = static_cast<std::uint16_t>(pick({1, 3, 0xFFFE}, {2, 0}));
    f.Format.nChannels = static_cast<std::uint16_t>(pick({1, 2, 6, 8}, {0, 9}));
    f.Format.nSamplesPerSec = pick({44100, 48000, 96000, 192000}, {32000, 0});
    f.Format.wBitsPerSample = static_cast<std::uint16_t>(pick({16, 24, 32}, {8, 0}));
    const std::uint32_t bytes = f.Format.nChannels * (f.Format.wBitsPerSample / 8u);
    f.Format.nBlockAlign = static_cast<std::uint16_t>(pick({bytes}, {bytes + 1, 0}));
    f.SubFormat.Data1 = pick({1, 3}, {0x55});
    return f;
  };
  auto src = MakeSrc();
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    const auto in = randomFormat();
    auto out = randomFormat();
    if (i % 2) out.Format.nChannels = in.Format.nChannels;
    if (!src->SetFormat(&in, &out)) continue;
    ++accepted;
    ASSERT_EQ(in.Format.nBlockAlign, in.Format.nChannels * (dsp::EffectiveFormatTag(in) == 3 ? 4 : in.Format.wBitsPerSample / 8));
    const int frames = 37;
    std::vector<std::uint8_t> input(static_cast<size_t>(frames) * in.Format.nBlockAlign, 0x5A);
    std::vector<std::uint8_t> output(static_cast<size_t>(frames) * 5 * out.Format.nBlockAlign);
    std::int32_t inCount = frames, outCount = frames * 5;
    ASSERT_TRUE(src->Process(input.data(), &inCount, output.data(), &outCount));
    EXPECT_EQ(inCount, frames);
  }
  EXPECT_GT(accepted, 20);
}

}  // namespace
