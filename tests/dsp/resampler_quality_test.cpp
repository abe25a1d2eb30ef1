// Audio quality of the 147:160 conversions between 44100 and 48000 Hz: images and
// THD+N for tones up to 15 kHz, and the measured response and group delay of the
// committed tables, pinned.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "dsp/non_interleave_src.h"
#include "dsp_test_util.h"

namespace {

using namespace dsp_test;

struct Converted {
  std::vector<double> y;
  double outRate;
};

// One second of a tone at amplitude 0.5 through a float container; the first 1000
// output frames (the filters' start) are dropped.
Converted Convert(std::uint32_t inRate, std::uint32_t outRate, double f) {
  CDspNonInterleaveSrc src;
  EXPECT_TRUE(src.Init());
  const auto in = Format(Enc::Float, 1, inRate), out = Format(Enc::Float, 1, outRate);
  EXPECT_TRUE(src.SetFormat(&in, &out));
  auto x = Tone(static_cast<int>(inRate), inRate, f, 0.5);
  std::vector<float> y(outRate + 16);
  float* inPtr[1] = {x.data()};
  float* outPtr[1] = {y.data()};
  std::uint32_t produced = 0;
  EXPECT_EQ(ProcessPlanarBlocks(&src, inRate, &produced, &in, &out, inPtr, outPtr,
                                static_cast<std::uint32_t>(y.size() * 4), 0),
            dsp::STATUS_SUCCESS);
  return {std::vector<double>(y.begin() + 1000, y.begin() + produced), static_cast<double>(outRate)};
}

// Level of the tone's image (the copy of the input spectrum around the input rate that
// the output rate folds back), relative to the tone; fitted on what the tone leaves, so
// that the tone does not leak into the measure.
double ImageDb(const Converted& c, std::uint32_t inRate, double f, const ToneFit& tone) {
  double image = std::abs(static_cast<double>(inRate) - f);
  while (image > c.outRate / 2) image = std::abs(image - c.outRate);
  return 20 * std::log10(FitTone(tone.residual, c.outRate, image).amplitude / tone.amplitude);
}

struct Direction {
  const char* name;
  std::uint32_t inRate, outRate;
};
const Direction kDirections[] = {{"44100 -> 48000", 44100, 48000}, {"48000 -> 44100", 48000, 44100}};

TEST(ResamplerQuality, ImagesAndThdPlusNoiseStayFarDownForTonesUpTo15kHz) {
  RecordingHost host;
  for (const Direction& d : kDirections) {
    for (double f : {100.0, 1000.0, 5000.0, 10000.0, 12500.0, 15000.0}) {
      SCOPED_TRACE(testing::Message() << d.name << " at " << f << " Hz");
      const Converted c = Convert(d.inRate, d.outRate, f);
      const ToneFit tone = FitTone(c.y, c.outRate, f);
      const double imageDb = ImageDb(c, d.inRate, f, tone);
      EXPECT_LE(imageDb, -85.0);
      EXPECT_LE(tone.residualDb, -90.0);
      std::printf("%s %6.0f Hz: image %.1f dB, THD+N %.1f dB\n", d.name, f, imageDb, tone.residualDb);
    }
  }
}

struct Pinned {
  const char* direction;
  double f;
  double gainDb;
};

// Response of the committed tables measured through the containers: gain of a tone and
// its delay from input to output. Both directions delay by 10 samples of 44100 Hz
// (226.757 us) at every frequency: every row is centred on that point.
TEST(ResamplerQuality, MeasuredResponseAndGroupDelayOfTheCommittedTables) {
  RecordingHost host;
  const Pinned pinned[] = {
      {"44100 -> 48000", 1000.0, 0.0},     {"44100 -> 48000", 10000.0, -0.00003},
      {"44100 -> 48000", 15000.0, -0.00006}, {"44100 -> 48000", 20000.0, -1.70689},
      {"48000 -> 44100", 1000.0, 0.0},     {"48000 -> 44100", 10000.0, 0.00004},
      {"48000 -> 44100", 15000.0, 0.00003}, {"48000 -> 44100", 20000.0, -1.00693},
  };
  for (const Pinned& p : pinned) {
    SCOPED_TRACE(testing::Message() << p.direction << " at " << p.f << " Hz");
    const bool up = p.direction[1] == '4';
    const Converted c = Convert(up ? 44100 : 48000, up ? 48000 : 44100, p.f);
    const ToneFit tone = FitTone(c.y, c.outRate, p.f);
    EXPECT_NEAR(20 * std::log10(tone.amplitude / 0.5), p.gainDb, 0.0005);
    // y[m] = A sin(2 pi f ((m + 1000) / outRate - delay)); the phase gives the delay
    // modulo one period, taken nearest the expected one.
    const double expected = 10.0 / 44100;
    const double period = 1.0 / p.f;
    double delay = 1000.0 / c.outRate - tone.phase / (2 * std::numbers::pi * p.f);
    delay -= std::round((delay - expected) / period) * period;
    EXPECT_NEAR(delay * 1e6, expected * 1e6, 0.01);
  }
}

}  // namespace
