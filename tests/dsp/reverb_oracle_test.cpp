// The reverb against its reference model and measured properties, one table over the five
// modes: the records' cell layout, the impulse responses of the numpy model written from the
// signal equations (tools/reverb_model.py), the input biquad against scipy's freqz, the
// reverberation time, the feedback matrix, stability under noise, and the diffuser tables
// against their generating rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "dsp/reverb.h"
#include "dsp/reverb_diffusers.h"
#include "dsp/reverb_records.h"
#include "reverb_test_util.h"

namespace {

struct ReverbBiquadPoint {
  int mode, rate;
  double frequency, gainDb;
};
struct ReverbModeFigures {
  int mode;
  double minus3Hz, reverberationTime;
};
#include "reverb_reference.inc"

using reverb_test::MakeReverb;
using reverb_test::Planar;
using reverb_test::RunBlocks;

struct ModeCase {
  std::int32_t mode, rate, bufferLength, lineTaps, diffuserTotal;
  std::int32_t diffuserTaps[REVERB_DIFFUSERS];
  const float* diffusers;
};

const ModeCase kModes[] = {
    {0, 48000, 3588, 2, 124, {16, 16, 16, 20, 20, 18, 18}, REVERB_DIFFUSERS_MODE0},
    {1, 44100, 3307, 2, 117, {15, 15, 15, 19, 19, 17, 17}, REVERB_DIFFUSERS_MODE1},
    {2, 32000, 2408, 3, 80, {10, 10, 10, 13, 13, 12, 12}, REVERB_DIFFUSERS_MODE2},
    {16, 96000, 7155, 4, 262, {34, 34, 34, 42, 42, 38, 38}, REVERB_DIFFUSERS_MODE16},
    {17, 88200, 6595, 4, 248, {32, 32, 32, 40, 40, 36, 36}, REVERB_DIFFUSERS_MODE17},
};

void PrintTo(const ModeCase& m, std::ostream* os) { *os << "mode " << m.mode << " (" << m.rate << " Hz)"; }

class ReverbModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ReverbModes, CellLayoutSpansTheBufferLengthMinusOne) {
  const ModeCase& m = GetParam();
  const CDspReverbRecord* r = ReverbRecordForMode(m.mode);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ReverbModeForRate(m.rate), m.mode);
  EXPECT_EQ(ReverbBufferLengthForMode(m.mode), m.bufferLength);
  EXPECT_EQ(r->lineTaps, m.lineTaps);
  const CDspReverbLayout l = ReverbLayoutOf(*r, m.bufferLength);
  EXPECT_EQ(l.lastCell, m.bufferLength - 1);
  // Row 0 feeds back through the buffer's wrap; row k + 1 sits on line k's far cell, so
  // every line reads its row back d_k + 1 .. d_k + T frames after writing it.
  EXPECT_EQ(l.feedbackCell[0], m.bufferLength - 1);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(l.feedbackCell[k + 1], l.lineStart[k] + m.lineTaps - 1) << k;
    EXPECT_EQ(r->feedbackOffsets[k], r->lineDelay[k] + m.lineTaps) << k;
  }
  for (int k = 0; k < REVERB_LINES; ++k) {
    // The distance from the write to the first read, modulo the buffer, is d_k + 1.
    const std::int32_t lag = (l.lineStart[k] - l.feedbackCell[k] + m.bufferLength) % m.bufferLength;
    EXPECT_EQ(lag, r->lineDelay[k] + 1) << k;
  }
  std::int32_t total = 0;
  for (int j = 0; j < REVERB_DIFFUSERS; ++j) {
    EXPECT_EQ(r->diffuserTaps[j], m.diffuserTaps[j]) << j;
    total += r->diffuserTaps[j];
  }
  EXPECT_EQ(total, m.diffuserTotal);
  EXPECT_EQ(r->diffuserCoefficients, m.diffusers);
}

// The matrix entries are whole 1/32768 steps printed to six digits, so the rows are unit
// and orthogonal only to the rounding of those steps: the records' rows reach 6.2e-5
// (row 0 has a squared norm of 1 - 6.15e-5). The loop stays stable with margin: by
// Gershgorin the matrix gain is at most sqrt(1 + the largest row sum of |M M^T - I|), and
// that times the largest sum of a line's read weights is well below 1.
TEST_P(ReverbModes, FeedbackMatrixIsOrthogonal) {
  const CDspReverbRecord* r = ReverbRecordForMode(GetParam().mode);
  double worst = 0, worstRowSum = 0;
  for (int i = 0; i < 4; ++i) {
    double rowSum = 0;
    for (int k = 0; k < 4; ++k) {
      const double steps = static_cast<double>(r->feedbackRows[i][k]) * 32768.0;
      EXPECT_NEAR(steps, std::round(steps), 0.02) << i << "," << k;
    }
    for (int j = 0; j < 4; ++j) {
      double dot = 0;
      for (int k = 0; k < 4; ++k) dot += static_cast<double>(r->feedbackRows[i][k]) * r->feedbackRows[j][k];
      worst = std::max(worst, std::abs(dot - (i == j ? 1.0 : 0.0)));
      rowSum += std::abs(dot - (i == j ? 1.0 : 0.0));
    }
    worstRowSum = std::max(worstRowSum, rowSum);
  }
  EXPECT_LE(worst, 6.5e-5);
  double lineGain = 0;
  for (int k = 0; k < 4; ++k) {
    double sum = 0;
    for (int t = 0; t < r->lineTaps; ++t) sum += std::abs(r->lineWeights[k][t]);
    lineGain = std::max(lineGain, sum);
  }
  EXPECT_LT(std::sqrt(1.0 + worstRowSum) * lineGain, 0.8);
}

// Responses to a 1.0 impulse on channels 3, 4 and 6 of an 8-channel stream, as the model
// computes them in double precision, in 16-bit steps.
std::vector<std::int16_t> LoadModelResponses() {
  std::ifstream f(std::string(UA_DSP_TEST_DATA_DIR) + "/reverb_impulse_responses.bin", std::ios::binary);
  std::vector<std::int16_t> v(5 * 3 * 2 * 8192);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(std::int16_t)));
  if (!f) v.clear();
  return v;
}

// The row of kModes (and of the model's responses) of a mode.
std::size_t ModeIndexOf(std::int32_t mode) {
  std::size_t i = 0;
  while (kModes[i].mode != mode) ++i;
  return i;
}

TEST_P(ReverbModes, ImpulseResponsesMatchTheModelWithinOneStep) {
  static const std::vector<std::int16_t> model = LoadModelResponses();
  ASSERT_FALSE(model.empty()) << "reference data missing";
  const ModeCase& m = GetParam();
  const std::size_t modeIndex = ModeIndexOf(m.mode);
  const int channels[3] = {3, 4, 6};
  for (int i = 0; i < 3; ++i) {
    auto r = MakeReverb(m.rate, 8);
    Planar in(8192);
    in.data[static_cast<std::size_t>(channels[i])][0] = 1.0f;
    std::vector<float> out[2];
    RunBlocks(*r, in, out[0], out[1], 512);
    int worst = 0, differing = 0;
    for (int side = 0; side < 2; ++side) {
      const std::int16_t* ref = model.data() + ((modeIndex * 3 + static_cast<std::size_t>(i)) * 2 + static_cast<std::size_t>(side)) * 8192;
      for (std::size_t n = 0; n < 8192; ++n) {
        const int step = static_cast<int>(std::lround(out[side][n] * 32768.0f));
        const int d = std::abs(step - ref[n]);
        worst = std::max(worst, d);
        differing += d != 0;
      }
    }
    EXPECT_LE(worst, 1) << "mode " << m.mode << ", channel " << channels[i];
    EXPECT_LT(differing, 100) << "mode " << m.mode << ", channel " << channels[i];
  }
}

// An impulse, then ten seconds of zeros: the response stays that of the model within one
// step, the tail falls silent, and no cell of the network is ever subnormal; once the tail
// has gone the network holds exact zeros.
TEST_P(ReverbModes, ImpulseThenTenSecondsOfZerosEndInExactZerosNeverSubnormals) {
  static const std::vector<std::int16_t> model = LoadModelResponses();
  ASSERT_FALSE(model.empty()) << "reference data missing";
  const ModeCase& m = GetParam();
  const std::size_t modeIndex = ModeIndexOf(m.mode);
  auto r = MakeReverb(m.rate, 8);
  const std::size_t second = static_cast<std::size_t>(m.rate);
  Planar in(second);
  in.data[4][0] = 1.0f;
  std::vector<float> out[2];
  auto subnormalCells = [&r] {
    int count = 0;
    for (std::int32_t i = 0; i < r->BufferLength(); ++i) count += std::fpclassify(r->Cells()[i]) == FP_SUBNORMAL;
    return count;
  };
  for (int s = 0; s <= 10; ++s) {
    if (s == 1) in.data[4][0] = 0.0f;
    RunBlocks(*r, in, out[0], out[1], 512);
    for (int side = 0; side < 2; ++side) {
      const std::int16_t* ref = model.data() + ((modeIndex * 3 + 1) * 2 + static_cast<std::size_t>(side)) * 8192;
      for (std::size_t n = 0; n < second; ++n) {
        const int step = static_cast<int>(std::lround(out[side][n] * 32768.0f));
        if (s == 0 && n < 8192) {
          ASSERT_LE(std::abs(step - ref[n]), 1) << "frame " << n;
        } else if (s > 0) {
          ASSERT_EQ(step, 0) << "second " << s << ", frame " << n;
        }
      }
    }
    ASSERT_EQ(subnormalCells(), 0) << "after " << s + 1 << " s";
  }
  for (std::int32_t i = 0; i < r->BufferLength(); ++i) ASSERT_EQ(r->Cells()[i], 0.0f) << "cell " << i;
}

// Amplitude of a sinusoid of frequency f in y by least squares (a cosine only at Nyquist).
double Amplitude(const std::vector<double>& y, double fs, double f) {
  const double w = 2 * std::numbers::pi * f / fs;
  if (std::abs(f - fs / 2) < 1e-9) {
    double s = 0;
    for (std::size_t n = 0; n < y.size(); ++n) s += y[n] * (n % 2 ? -1.0 : 1.0);
    return std::abs(s) / static_cast<double>(y.size());
  }
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (std::size_t n = 0; n < y.size(); ++n) {
    const double s = std::sin(w * static_cast<double>(n)), c = std::cos(w * static_cast<double>(n));
    ss += s * s, cc += c * c, sc += s * c, ys += y[n] * s, yc += y[n] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  return std::hypot(a, b);
}

TEST_P(ReverbModes, InputBiquadMatchesFreqzOnASweptSine) {
  const ModeCase& m = GetParam();
  int points = 0;
  auto r = MakeReverb(m.rate, 8);
  for (const auto& p : kReverbBiquadPoints) {
    if (p.mode != m.mode) continue;
    ++points;
    // One step of the sweep: the side-left channel feeds line 1 only.
    const std::size_t settle = 4000;
    const std::size_t measure = std::max<std::size_t>(8192, static_cast<std::size_t>(8 * m.rate / p.frequency));
    Planar in(settle + measure);
    for (std::size_t n = 0; n < in.Frames(); ++n)
      in.data[4][n] = static_cast<float>(0.5 * std::cos(2 * std::numbers::pi * p.frequency * static_cast<double>(n) / m.rate + 0.3));
    std::vector<float> x(in.Frames() * 4), y(in.Frames() * 4);
    const CDspReverbProbe probe{x.data(), y.data()};
    r->SetProbe(&probe);
    std::vector<float> l, rr;
    RunBlocks(*r, in, l, rr, in.Frames());
    r->SetProbe(nullptr);
    std::vector<double> xs, ys;
    for (std::size_t n = settle; n < in.Frames(); ++n) {
      xs.push_back(x[n * 4 + 1]);
      ys.push_back(y[n * 4 + 1]);
    }
    const double gainDb = 20 * std::log10(Amplitude(ys, m.rate, p.frequency) / Amplitude(xs, m.rate, p.frequency));
    EXPECT_NEAR(gainDb, p.gainDb, 0.01) << "mode " << m.mode << " at " << p.frequency << " Hz";
  }
  EXPECT_GE(points, 10);
  for (const auto& f : kReverbModeFigures) {
    if (f.mode != m.mode) continue;
    EXPECT_NEAR(f.minus3Hz, 237.0, 5.0);
  }
}

// T60 from the slope of the Schroeder energy-decay curve between -5 and -25 dB.
double ReverberationTime(const std::vector<float>& l, const std::vector<float>& r, double rate) {
  std::vector<double> edc(l.size() + 1, 0.0);
  for (std::size_t n = l.size(); n-- > 0;)
    edc[n] = edc[n + 1] + static_cast<double>(l[n]) * l[n] + static_cast<double>(r[n]) * r[n];
  double sx = 0, sy = 0, sxx = 0, sxy = 0, count = 0;
  for (std::size_t n = 0; n < l.size(); ++n) {
    const double db = 10 * std::log10(edc[n] / edc[0]);
    if (db > -5 || db < -25) continue;
    const double t = static_cast<double>(n) / rate;
    sx += t, sy += db, sxx += t * t, sxy += t * db, ++count;
  }
  const double slope = (count * sxy - sx * sy) / (count * sxx - sx * sx);
  return -60.0 / slope;
}

TEST_P(ReverbModes, ReverberationTimeFromTheEnergyDecay) {
  const ModeCase& m = GetParam();
  auto r = MakeReverb(m.rate, 8);
  Planar in(static_cast<std::size_t>(m.rate));
  in.data[4][0] = 1.0f;
  std::vector<float> l, rr;
  RunBlocks(*r, in, l, rr);
  const double t60 = ReverberationTime(l, rr, m.rate);
  EXPECT_NEAR(t60, 0.32, 0.32 * 0.15) << "mode " << m.mode;
  for (const auto& f : kReverbModeFigures) {
    if (f.mode != m.mode) continue;
    EXPECT_NEAR(t60, f.reverberationTime, 0.01 * f.reverberationTime) << "mode " << m.mode;
  }
}

TEST_P(ReverbModes, TenSecondsOfFullScaleNoiseStayFiniteAndBounded) {
  const ModeCase& m = GetParam();
  auto r = MakeReverb(m.rate, 8);
  Planar block = reverb_test::Noise(512, 21, 1.0f);
  float l[512], rr[512];
  float* out[2] = {l, rr};
  double peakState = 0;
  const int calls = 10 * m.rate / 512;
  for (int call = 0; call < calls; ++call) {
    // A fresh noise block each call, by rotating the channels.
    const float* src[8];
    for (int c = 0; c < 8; ++c) src[c] = block.data[static_cast<std::size_t>((c + call) % 8)].data();
    r->Process(src, out, 512);
    for (int n = 0; n < 512; ++n) {
      ASSERT_TRUE(std::isfinite(l[n]) && std::isfinite(rr[n]));
      ASSERT_GE(l[n], -1.0f);
      ASSERT_LE(l[n], 32767.0f / 32768.0f);
      peakState = std::max(peakState, static_cast<double>(std::abs(l[n])));
    }
  }
  EXPECT_GT(peakState, 0.0);
  // Silence after the noise decays towards zero: the loop loses energy.
  Planar silence(static_cast<std::size_t>(m.rate) * 2);
  std::vector<float> tl, tr;
  RunBlocks(*r, silence, tl, tr);
  for (std::size_t n = tl.size() - 1000; n < tl.size(); ++n) {
    EXPECT_LE(std::abs(tl[n]), 2.0f / 32768.0f);
    EXPECT_LE(std::abs(tr[n]), 2.0f / 32768.0f);
  }
}

// The generating rule of the diffusers, re-derived here from its description: a 64-bit
// linear congruential generator draws K = 64 frequencies in [0, 8 kHz) and phases per
// diffuser (seed 0x7E7B0000 + j), each tap i samples
// A (D / D48) exp(-t / 0.5 ms) sqrt(2 / K) sum cos(2 pi f t + phi) at t = i D, D = 2 / rate.
double RuleCoefficient(int diffuser, int rate, int tap) {
  std::uint64_t state = 0x7E7B0000ull + static_cast<std::uint64_t>(diffuser);
  auto uniform = [&state]() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(state >> 32) + 0.5) / 4294967296.0;
  };
  const double d = 2.0 / rate, t = tap * d;
  double noise = 0;
  for (int k = 0; k < 64; ++k) {
    const double f = 8000.0 * uniform();
    const double phi = 2 * std::numbers::pi * uniform();
    noise += std::cos(2 * std::numbers::pi * f * t + phi);
  }
  noise *= std::sqrt(2.0 / 64);
  return REVERB_DIFFUSER_AMPLITUDE * (d / (2.0 / 48000)) * std::exp(-t / 0.5e-3) * noise;
}

TEST_P(ReverbModes, DiffusersFollowTheirRuleWithOneCommonEnvelope) {
  const ModeCase& m = GetParam();
  const float* c = m.diffusers;
  for (int j = 0; j < REVERB_DIFFUSERS; ++j) {
    for (int i = 1; i <= m.diffuserTaps[j]; ++i, ++c) {
      if (m.mode == 0 && j == 0 && i <= 4) continue;  // the given values
      const double rule = RuleCoefficient(j + 1, m.rate, i);
      EXPECT_NEAR(*c, rule, 1e-7 + 1e-6 * std::abs(rule)) << "diffuser " << j + 1 << " tap " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, ReverbModes, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                           return "Mode" + std::to_string(info.param.mode);
                         });

TEST(ReverbDiffusers, GivenValuesLeadTheFirstDiffuserAndSetTheEnvelope) {
  const float given[4] = {0.14975f, -0.0775452f, 0.0103149f, -0.0322571f};
  double givenEnergy = 0, ruleEnergy = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(REVERB_DIFFUSERS_MODE0[i], given[i]) << i;
    givenEnergy += static_cast<double>(given[i]) * given[i];
    const double rule = RuleCoefficient(1, 48000, i + 1);
    ruleEnergy += rule * rule;
  }
  // The common amplitude gives the rule's first four taps the energy of the given ones (the
  // generator takes them as decimals, the table holds their floats).
  EXPECT_NEAR(ruleEnergy, givenEnergy, 1e-7 * givenEnergy);  // the given values as floats
}

TEST(ReverbRecords, ModeTableHasFiveRecords) {
  int records = 0;
  for (int mode = -1; mode <= REVERB_MODE_COUNT; ++mode) {
    const bool has = ReverbRecordForMode(mode) != nullptr;
    records += has;
    EXPECT_EQ(has, ReverbBufferLengthForMode(mode) > 0) << mode;
  }
  EXPECT_EQ(records, 5);
}

}  // namespace
