// The quality harness measures what the paths' own tests measure; its figures must never
// show a number those tests would reject. Each check below is one of those tests' bounds
// applied to the harness's figure for the same path.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "quality_measures.h"

namespace {

struct Direction {
  int inRate, outRate;
};

// The container's tests: images at most -85 dB and THD+N at most -90 dB for tones up to
// 15 kHz, both ways between 44100 and 48000 Hz.
TEST(QualityHarness, OurResamplerMeetsTheContainersBounds) {
  for (const Direction d : {Direction{44100, 48000}, Direction{48000, 44100}}) {
    SCOPED_TRACE(testing::Message() << d.inRate << " -> " << d.outRate);
    const auto f = quality::MeasureResampler(quality::OurResampler(d.inRate, d.outRate), d.inRate, d.outRate);
    EXPECT_LE(f.thdNoiseDb, -90.0);
    EXPECT_LE(f.imageDb, -85.0);
    // Finite, measured figures for the other two columns.
    EXPECT_GT(f.rippleDb, 0.0);
    EXPECT_LT(f.rippleDb, 6.0);
    EXPECT_LT(f.stopbandDb, 0.0);
  }
}

// The measures themselves against a converter whose figures follow from its definition:
// linear interpolation passes a tone at f with the gain sinc^2(f / fin) and its image at
// fin - f with sinc^2((fin - f) / fin); a tone past the output's Nyquist rate comes out
// at fout - f with its own gain.
double Sinc2(double x) {
  const double s = std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
  return s * s;
}

quality::Converter LinearInterpolation(int inRate, int outRate) {
  return [inRate, outRate](const std::vector<float>& x) {
    std::vector<double> y;
    for (size_t i = 0;; ++i) {
      const double t = static_cast<double>(i) * inRate / outRate;
      const size_t k = static_cast<size_t>(t);
      if (k + 1 >= x.size()) break;
      const double a = t - static_cast<double>(k);
      y.push_back((1 - a) * x[k] + a * x[k + 1]);
    }
    return y;
  };
}

TEST(QualityHarness, MeasuresReadAConverterOfKnownResponse) {
  const double dB = 20.0 / std::log(10.0);
  auto level = [&](double ratio) { return dB * std::log(ratio); };
  struct Case {
    int in, out;
  };
  for (const Case c : {Case{48000, 44100}, Case{44100, 48000}}) {
    SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out);
    const double fin = c.in, fout = c.out;
    const auto f = quality::MeasureResampler(LinearInterpolation(c.in, c.out), c.in, c.out);
    // Ripple: the droop at 20 kHz against 20 Hz.
    EXPECT_NEAR(f.rippleDb, level(Sinc2(20.0 / fin)) - level(Sinc2(20000.0 / fin)), 0.05);
    // Images of the tones up to 15 kHz: the worst is the highest tone's.
    double image = -300;
    for (double t : {100.0, 1000.0, 5000.0, 10000.0, 12500.0, 15000.0})
      image = std::max(image, level(Sinc2((fin - t) / fin) / Sinc2(t / fin)));
    EXPECT_NEAR(f.imageDb, image, 0.1);
    EXPECT_GE(f.thdNoiseDb, f.imageDb);
    // Stopband, over the measure's tones (300 Hz apart): downsampling leaks the tones
    // past the output's Nyquist rate themselves, upsampling the images of the top ones.
    double stop = -300;
    for (double t = c.in > c.out ? fout / 2 + 500.0 : 20500.0; t < fin / 2 - 50.0; t += 300.0)
      stop = std::max(stop, c.in > c.out ? level(Sinc2(t / fin)) : level(Sinc2((fin - t) / fin)));
    EXPECT_NEAR(f.stopbandDb, stop, 0.1);
  }
}

// The reverb's tests: T60 of 0.32 s within 15 % in every mode.
TEST(QualityHarness, ReverbDecayTimeMatchesTheReverbsBound) {
  struct Case {
    int rate, mode;
  };
  for (const Case c : {Case{48000, 0}, Case{96000, 16}}) {
    int mode = -1;
    const double t60 = quality::ReverbDecaySeconds(c.rate, &mode);
    EXPECT_EQ(mode, c.mode);
    EXPECT_NEAR(t60, 0.32, 0.32 * 0.15) << "rate " << c.rate;
  }
}

// Each build's error within the bound of its primitive's tests: the FFT's relative RMS
// error 1.5e-7 (order + 2), the FIR's 1e-6 (1 + log2(1 + taps)) of its gain bound, the
// IIR's 2e-5 of its largest output, the convolver's relative RMS error 1e-5.
TEST(QualityHarness, EveryBuildsErrorWithinItsTestsBound) {
  const auto errors = quality::BuildErrors();
  ASSERT_GE(errors.size(), 4u);  // the generic build always runs
  for (const auto& e : errors) {
    SCOPED_TRACE(e.primitive + " " + e.build);
    EXPECT_TRUE(std::isfinite(e.error));
    EXPECT_LE(e.error, e.bound);
    EXPECT_GT(e.error, 0.0);  // a float path against a double oracle is never exact here
  }
}

}  // namespace
