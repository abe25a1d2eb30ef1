// The planar conversion container and ProcessPlanarBlocks: pass-through of identical
// formats, drain-only calls, format checks, split streams, and the block driver's
// refusals, overflow and progress rules.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "container_test_util.h"
#include "dsp/non_interleave_src.h"

namespace {

using namespace dsp_test;

std::unique_ptr<CDspNonInterleaveSrc> MakeSrc() {
  auto src = std::make_unique<CDspNonInterleaveSrc>();
  EXPECT_TRUE(src->Init());
  return src;
}

struct Planar {
  std::vector<std::vector<float>> ch;
  std::vector<float*> ptr;
  Planar(int channels, size_t frames, float fill = 0.0f) : ch(static_cast<size_t>(channels), std::vector<float>(frames, fill)) {
    for (auto& c : ch) ptr.push_back(c.data());
  }
};

Planar Tone(int channels, std::uint32_t rate, double f, int frames) {
  Planar p(channels, static_cast<size_t>(frames));
  for (int c = 0; c < channels; ++c)
    p.ch[static_cast<size_t>(c)] = dsp_test::Tone(frames, rate, f, 0.5 * (1.0 - c / 16.0));
  for (int c = 0; c < channels; ++c) p.ptr[static_cast<size_t>(c)] = p.ch[static_cast<size_t>(c)].data();
  return p;
}

TEST(NonInterleaveSrc, IdenticalFormatsCopyTheSmallerCount) {
  RecordingHost host;
  auto src = MakeSrc();
  const auto f = Format(Enc::Float, 3, 48000);
  ASSERT_TRUE(src->SetFormat(&f, &f));
  EXPECT_EQ(src->StageCount(), 0);
  auto in = Tone(3, 48000, 300.0, 100);
  Planar out(3, 100, -7.0f);
  std::int32_t inCount = 100, outCount = 60;
  ASSERT_TRUE(src->Process(in.ptr.data(), &inCount, out.ptr.data(), &outCount));
  EXPECT_EQ(inCount, 60);
  EXPECT_EQ(outCount, 60);
  for (int c = 0; c < 3; ++c) {
    EXPECT_TRUE(std::equal(out.ch[c].begin(), out.ch[c].begin() + 60, in.ch[c].begin()));
    EXPECT_EQ(out.ch[c][60], -7.0f);
  }
  // The same rate with another layout (extensible) is converted through the format block.
  const auto g = Format(Enc::Float, 3, 48000, true);
  ASSERT_TRUE(src->SetFormat(&f, &g));
  EXPECT_EQ(src->StageCount(), 1);
}

TEST(NonInterleaveSrc, RefusedFormatsPrintTheirCheckAndLeaveNoStages) {
  RecordingHost host;
  auto src = MakeSrc();
  const auto good = Format(Enc::Float, 2, 48000);
  struct Case {
    dsp::WAVEFORMATEXTENSIBLE in, out;
    const char* line;
  } cases[] = {
      {Format(Enc::Float, 2, 32000), good, "CDspNonInterleaveSrc::SetFormat InFormat.Format.nSamplesPerSec not in List\n"},
      {good, Format(Enc::Float, 2, 32000), "CDspNonInterleaveSrc::SetFormat OutFormat.Format.nSamplesPerSec not in List\n"},
      {good, Format(Enc::Float, 4, 48000), "CDspNonInterleaveSrc::SetFormat Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {good, [] { auto f = Format(Enc::Pcm16, 2, 48000); f.Format.wBitsPerSample = 12; return f; }(),
       "CDspNonInterleaveSrc::SetFormat OutFormat.Format.wBitsPerSample not in List\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(src->SetFormat(&good, &good));
    host.ClearLines();
    EXPECT_FALSE(src->SetFormat(&c.in, &c.out));
    ASSERT_EQ(host.Lines().size(), 1u);
    EXPECT_EQ(host.Lines()[0], c.line);
    EXPECT_EQ(src->StageCount(), 0);
    Planar in(2, 8), out(2, 8);
    std::int32_t inCount = 8, outCount = 8;
    EXPECT_FALSE(src->Process(in.ptr.data(), &inCount, out.ptr.data(), &outCount));
  }
}

TEST(NonInterleaveSrc, InitFailsCleanlyAtEveryAllocation) {
  RecordingHost host;
  for (int nth = 1; nth <= 3 * 25 + 2 + 24; ++nth) {
    {
      CDspNonInterleaveSrc src;
      host.FailAllocation(nth);
      EXPECT_FALSE(src.Init()) << nth;
      host.FailAllocation(0);
    }
    ASSERT_EQ(host.LiveBlocks(), 0) << nth;
  }
}

TEST(NonInterleaveSrc, AShortOutputLeavesFramesThatTheNextCallOnlyDrains) {
  RecordingHost host;
  auto src = MakeSrc();
  const auto in = Format(Enc::Float, 2, 44100), out = Format(Enc::Float, 2, 96000);
  ASSERT_TRUE(src->SetFormat(&in, &out));
  auto x = Tone(2, 44100, 1000.0, 441);
  Planar y(2, 2000);
  std::int32_t inCount = 441, outCount = 100;
  ASSERT_TRUE(src->Process(x.ptr.data(), &inCount, y.ptr.data(), &outCount));
  EXPECT_EQ(inCount, 441);
  EXPECT_EQ(outCount, 100);
  inCount = 441;
  outCount = 2000;
  ASSERT_TRUE(src->Process(x.ptr.data(), &inCount, y.ptr.data(), &outCount));
  EXPECT_EQ(inCount, 0);
  EXPECT_EQ(outCount, static_cast<std::int32_t>(ExpectedFrames(44100, 96000, 441)) - 100);
}

TEST(NonInterleaveSrc, ProcessPlanarBlocksMatchesOneStreamOfPcmOrFloatInBlocksOfAnySize) {
  RecordingHost host;
  std::mt19937 rng(9);
  struct Case {
    Enc enc;
    std::uint32_t inRate, outRate;
    int channels;
  } cases[] = {{Enc::Float, 48000, 44100, 2}, {Enc::Float, 44100, 48000, 8}, {Enc::Pcm16, 192000, 48000, 2},
               {Enc::Pcm24, 88200, 44100, 1}, {Enc::Pcm32, 44100, 176400, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << EncName(c.enc) << " " << c.inRate << " -> " << c.outRate);
    const auto in = Format(c.enc, c.channels, c.inRate), out = Format(c.enc, c.channels, c.outRate);
    const int frames = static_cast<int>(c.inRate / 4);
    const int bytes = EncBytes(c.enc);
    // Planar input of the encoding: channel c holds its tone's samples back to back.
    std::vector<std::vector<std::uint8_t>> input(static_cast<size_t>(c.channels));
    for (int ch = 0; ch < c.channels; ++ch) {
      const auto tone = dsp_test::Tone(frames, c.inRate, 700.0, 0.7 - 0.05 * ch);
      input[ch].resize(static_cast<size_t>(frames) * bytes);
      for (int i = 0; i < frames; ++i) Encode(c.enc, tone[static_cast<size_t>(i)], input[ch].data() + i * bytes);
    }
    std::vector<std::vector<std::uint8_t>> reference;
    for (int trial = 0; trial < 4; ++trial) {
      auto src = MakeSrc();
      ASSERT_TRUE(src->SetFormat(&in, &out));
      std::vector<std::vector<std::uint8_t>> output(static_cast<size_t>(c.channels));
      int done = 0;
      while (done < frames) {
        const int block = std::min(frames - done, trial == 0 ? frames : std::uniform_int_distribution<int>(1, 700)(rng));
        std::vector<float*> inPtr, outPtr;
        std::vector<std::vector<std::uint8_t>> ring(static_cast<size_t>(c.channels),
                                                    std::vector<std::uint8_t>(static_cast<size_t>(block * 5 + 64) * bytes));
        for (int ch = 0; ch < c.channels; ++ch) {
          inPtr.push_back(reinterpret_cast<float*>(input[ch].data() + static_cast<size_t>(done) * bytes));
          outPtr.push_back(reinterpret_cast<float*>(ring[ch].data()));
        }
        std::uint32_t produced = 12345;
        ASSERT_EQ(ProcessPlanarBlocks(src.get(), static_cast<std::uint32_t>(block), &produced, &in, &out, inPtr.data(),
                                      outPtr.data(), static_cast<std::uint32_t>(ring[0].size()), 0),
                  dsp::STATUS_SUCCESS);
        for (int ch = 0; ch < c.channels; ++ch)
          output[ch].insert(output[ch].end(), ring[ch].begin(), ring[ch].begin() + static_cast<long>(produced) * bytes);
        done += block;
      }
      if (trial == 0) {
        reference = output;
        EXPECT_EQ(static_cast<long long>(output[0].size()) / bytes, ExpectedFrames(c.inRate, c.outRate, frames));
        for (int ch = 0; ch < c.channels; ++ch) {
          std::vector<double> y(output[ch].size() / bytes);
          for (size_t i = 0; i < y.size(); ++i) y[i] = Decode(c.enc, output[ch].data() + i * bytes);
          y.erase(y.begin(), y.begin() + static_cast<long>(y.size() / 4));
          const ToneFit fit = FitTone(y, c.outRate, 700.0);
          EXPECT_NEAR(fit.amplitude, 0.7 - 0.05 * ch, 0.001);
        }
      } else {
        for (int ch = 0; ch < c.channels; ++ch) {
          const size_t n = std::min(reference[ch].size(), output[ch].size());
          EXPECT_GE(n + 8 * bytes, reference[ch].size());
          EXPECT_TRUE(std::equal(output[ch].begin(), output[ch].begin() + static_cast<long>(n), reference[ch].begin()))
              << "trial " << trial << " channel " << ch;
        }
      }
    }
  }
}

TEST(NonInterleaveSrc, ProcessPlanarBlocksRefusesBadArgumentsAndNeverOverwritesItsOwnOutput) {
  RecordingHost host;
  auto src = MakeSrc();
  const auto in = Format(Enc::Float, 2, 44100), out = Format(Enc::Float, 2, 176400);
  ASSERT_TRUE(src->SetFormat(&in, &out));
  auto x = Tone(2, 44100, 1000.0, 400);
  Planar y(2, 4000);
  std::uint32_t produced = 99;
  using dsp::STATUS_INVALID_PARAMETER;
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 0, &produced, &in, &out, x.ptr.data(), y.ptr.data(), 16000, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, x.ptr.data(), y.ptr.data(), 0, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, nullptr, y.ptr.data(), 16000, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, x.ptr.data(), nullptr, 16000, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, x.ptr.data(), y.ptr.data(), 3, 0),
            STATUS_INVALID_PARAMETER);  // less than one frame
  EXPECT_EQ(ProcessPlanarBlocks(nullptr, 400, &produced, &in, &out, x.ptr.data(), y.ptr.data(), 16000, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(produced, 99u);

  // 400 frames make 1600. With room for 1000 the rest stays in the chain and comes out
  // first in the next call.
  auto reference = MakeSrc();
  ASSERT_TRUE(reference->SetFormat(&in, &out));
  Planar full(2, 1600);
  ASSERT_EQ(ProcessPlanarBlocks(reference.get(), 400, &produced, &in, &out, x.ptr.data(), full.ptr.data(), 6400, 0),
            dsp::STATUS_SUCCESS);
  ASSERT_EQ(produced, 1600u);
  Planar ring(2, 1000, -5.0f);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, x.ptr.data(), ring.ptr.data(), 4000, 0),
            dsp::STATUS_SUCCESS);
  EXPECT_EQ(produced, 1000u);
  for (int c = 0; c < 2; ++c) EXPECT_TRUE(std::equal(ring.ch[c].begin(), ring.ch[c].end(), full.ch[c].begin()));
  Planar next(2, 1000, -5.0f);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 1, &produced, &in, &out, x.ptr.data(), next.ptr.data(), 4000, 0),
            dsp::STATUS_SUCCESS);
  EXPECT_EQ(produced, 600u + 4u);
  for (int c = 0; c < 2; ++c) EXPECT_TRUE(std::equal(next.ch[c].begin(), next.ch[c].begin() + 600, full.ch[c].begin() + 1000));

  // Input that cannot be converted without writing over this call's output is refused
  // with an overflow instead of wrapping; what was written stays intact.
  auto big = Tone(2, 44100, 1000.0, 4000);
  Planar bigRef(2, 16000);
  ASSERT_EQ(ProcessPlanarBlocks(reference.get(), 4000, &produced, &in, &out, big.ptr.data(), bigRef.ptr.data(), 64000, 1),
            dsp::STATUS_SUCCESS);
  Planar small(2, 1000, -5.0f);
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 4000, &produced, &in, &out, big.ptr.data(), small.ptr.data(), 4000, 1),
            dsp::STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(produced, 1000u);
  for (int c = 0; c < 2; ++c) EXPECT_TRUE(std::equal(small.ch[c].begin(), small.ch[c].end(), bigRef.ch[c].begin()));

  // The reset flag starts the stream again.
  Planar again(2, 1600);
  ASSERT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, x.ptr.data(), again.ptr.data(), 6400, 1),
            dsp::STATUS_SUCCESS);
  EXPECT_EQ(produced, 1600u);
  EXPECT_EQ(again.ch, full.ch);

  // A container that is not configured makes no progress: the driver stops.
  const auto bad = Format(Enc::Float, 2, 32000);
  EXPECT_FALSE(src->SetFormat(&bad, &out));
  EXPECT_EQ(ProcessPlanarBlocks(src.get(), 400, &produced, &in, &out, x.ptr.data(), again.ptr.data(), 6400, 0),
            dsp::STATUS_UNSUCCESSFUL);
  EXPECT_EQ(produced, 0u);
}

}  // namespace
