// Channel conversion against its mixing matrices, for every channel-count pair, both
// gain modes and both operations, plus the telling cases.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/channel_conversion.h"
#include "dsp_test_util.h"

namespace {

using dsp_test::Enc;
using dsp_test::Format;
using Frame = std::array<double, 8>;

enum class Op { Stage, Free };

// Row c of the result: weights of the old channels 0..7, or "unchanged".
struct Rule {
  std::array<std::array<double, 8>, 8> m{};
  std::array<bool, 8> written{};
  void Set(int c, std::array<double, 8> row) {
    m[static_cast<size_t>(c)] = row;
    written[static_cast<size_t>(c)] = true;
  }
  void Constant(int c, double v) {
    Set(c, {});
    constant[static_cast<size_t>(c)] = v;
  }
  std::array<double, 8> constant{};
};

// The mixing rules written as matrices.
Rule Matrix(Op op, int in, int out, int mode) {
  const double g1 = mode ? 1.0 : 0.871f, g2 = mode ? 0.0 : 0.49f, s = mode ? 1.0 : -1.0;
  const double h1 = g1 * 0.5, h2 = g2 * 0.5, k = 0.707f;
  const double fill = op == Op::Free ? CHANNEL_FILL_VALUE : 0.0;
  Rule r;
  if (in == out) return r;
  const auto foldToTwo = [&](Rule& t) {
    if (in == 4) {
      t.Set(0, {1, 0, s * g1, s * g2});
      t.Set(1, {0, 1, g2, g1});
    } else if (in == 6) {
      t.Set(0, {1, 0, k, k, s * g1, s * g2});
      t.Set(1, {0, 1, k, k, g2, g1});
    } else if (in == 8) {
      t.Set(0, {1, 0, k, k, s * h1, s * h2, s * h1, s * h2});
      t.Set(1, {0, 1, k, k, h2, h1, h2, h1});
    }
  };
  if (in > out) {
    if (out == 1) {
      if (in == 2) {
        r.Set(0, {0.5, 0.5});
      } else if (op == Op::Stage && (in == 4 || in == 6 || in == 8)) {
        std::array<double, 8> row{};
        for (int c = 0; c < in; ++c) row[static_cast<size_t>(c)] = 1.0 / in;
        r.Set(0, row);
      } else if (in == 4 || in == 6 || in == 8) {
        foldToTwo(r);
        std::array<double, 8> row{};
        for (int c = 0; c < 8; ++c) row[static_cast<size_t>(c)] = 0.5 * (r.m[0][static_cast<size_t>(c)] + r.m[1][static_cast<size_t>(c)]);
        r.Set(0, row);
      }
    } else if (out == 2) {
      foldToTwo(r);
    } else if (in == 6 && out == 4) {
      r.Set(0, {1, 0, k, k});
      r.Set(1, {0, 1, k, k});
      r.Set(2, {0, 0, 0, 0, 1, 0});
      r.Set(3, {0, 0, 0, 0, 0, 1});
    } else if (in == 8 && out == 4) {
      r.Set(0, {1, 0, k, k});
      r.Set(1, {0, 1, k, k});
      r.Set(2, {0, 0, 0, 0, g1, g2, 1, 0});
      r.Set(3, {0, 0, 0, 0, g2, g1, 0, 1});
    } else if (in == 8 && out == 6) {
      r.Set(4, {0, 0, 0, 0, g1, g2, 1, 0});
      r.Set(5, {0, 0, 0, 0, g2, g1, 0, 1});
    }
    return r;
  }
  switch (in) {
    case 1:
      if (op == Op::Free) break;
      r.Set(1, {1});
      for (int c = 2; c < out; ++c) r.Constant(c, 0.0);
      break;
    case 2:
      for (int c = 2; c < out; ++c) r.Constant(c, fill);
      break;
    case 4:
      r.Set(4, {0, 0, 1, 0});
      r.Set(5, {0, 0, 0, 1});
      r.Constant(2, fill);
      r.Constant(3, fill);
      if (out >= 7)
        for (int c = 6; c < (op == Op::Stage ? 8 : out); ++c) r.Constant(c, fill);
      break;
    case 6:
      for (int c = 6; c < (op == Op::Stage ? 8 : out); ++c) r.Constant(c, fill);
      break;
    default:
      break;
  }
  return r;
}

void Convert(Op op, int in, int out, int mode, std::vector<std::vector<float>>& ch, int frames) {
  float* p[8];
  for (int c = 0; c < 8; ++c) p[c] = ch[static_cast<size_t>(c)].data();
  if (op == Op::Stage) {
    CChannelConversion cc;
    ASSERT_TRUE(cc.Init());
    const auto fi = Format(Enc::Float, in, 48000), fo = Format(Enc::Float, out, 48000);
    ASSERT_TRUE(cc.SetFormat(&fi, &fo));
    EXPECT_TRUE(cc.Process(p, frames, static_cast<std::uint8_t>(mode)));
  } else {
    ConvertChannelCount(p, static_cast<std::uint32_t>(in), static_cast<std::uint32_t>(out),
                        static_cast<std::uint32_t>(frames), static_cast<std::uint8_t>(mode));
  }
}

TEST(ChannelConversion, EveryChannelPairFollowsItsMixingMatrixInBothModesAndBothOperations) {
  dsp_test::RecordingHost host;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  constexpr int kFrames = 37;
  for (Op op : {Op::Stage, Op::Free}) {
    for (int mode = 0; mode < 2; ++mode) {
      for (int in = 1; in <= 8; ++in) {
        for (int out = 1; out <= 8; ++out) {
          SCOPED_TRACE(testing::Message() << (op == Op::Stage ? "stage " : "free ") << in << "->" << out
                                          << " mode " << mode);
          std::vector<std::vector<float>> ch(8, std::vector<float>(kFrames + 1));
          for (auto& c : ch)
            for (auto& v : c) v = d(rng);
          const auto before = ch;
          Convert(op, in, out, mode, ch, kFrames);
          const Rule r = Matrix(op, in, out, mode);
          for (int c = 0; c < 8; ++c) {
            for (int i = 0; i <= kFrames; ++i) {
              const float got = ch[static_cast<size_t>(c)][static_cast<size_t>(i)];
              const float old = before[static_cast<size_t>(c)][static_cast<size_t>(i)];
              if (i == kFrames || !r.written[static_cast<size_t>(c)]) {
                ASSERT_EQ(got, old) << "channel " << c << " frame " << i << " must stay";
                continue;
              }
              double want = r.constant[static_cast<size_t>(c)];
              for (int k = 0; k < 8; ++k)
                want += r.m[static_cast<size_t>(c)][static_cast<size_t>(k)] * before[static_cast<size_t>(k)][static_cast<size_t>(i)];
              ASSERT_NEAR(got, want, 4e-7 * (1.0 + std::abs(want))) << "channel " << c << " frame " << i;
            }
          }
        }
      }
    }
  }
}

struct EdgeCase {
  const char* name;
  Op op;
  int in, out, mode;
  std::array<float, 8> frame;
  std::array<float, 8> expected;
};

TEST(ChannelConversion, TellingCasesGiveExactValues) {
  dsp_test::RecordingHost host;
  const float f = CHANNEL_FILL_VALUE;
  const EdgeCase cases[] = {
      {"6->2 discrete, only channel 4", Op::Free, 6, 2, 1, {0, 0, 0, 0, 1, 0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0}},
      {"6->2 matrix, only channel 4", Op::Stage, 6, 2, 0, {0, 0, 0, 0, 1, 0, 0, 0}, {-0.871f, 0.49f, 0, 0, 1, 0, 0, 0}},
      {"2->6 free fills", Op::Free, 2, 6, 1, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, f, f, f, f, 7, 8}},
      {"1->2 stage copies", Op::Stage, 1, 2, 0, {3, 9, 9, 9, 9, 9, 9, 9}, {3, 3, 9, 9, 9, 9, 9, 9}},
      {"1->2 free leaves", Op::Free, 1, 2, 1, {3, 9, 9, 9, 9, 9, 9, 9}, {3, 9, 9, 9, 9, 9, 9, 9}},
      {"4->2 discrete adds rear left", Op::Free, 4, 2, 1, {0.25f, 0.5f, 0.125f, 0.0625f}, {0.375f, 0.5625f, 0.125f, 0.0625f}},
      {"4->2 matrix subtracts rear", Op::Free, 4, 2, 0, {0, 0, 1, 0}, {-0.871f, 0.49f, 1, 0}},
      {"equal counts", Op::Stage, 6, 6, 0, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const EdgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<float>> ch(8, std::vector<float>(1));
    for (int k = 0; k < 8; ++k) ch[static_cast<size_t>(k)][0] = c.frame[static_cast<size_t>(k)];
    Convert(c.op, c.in, c.out, c.mode, ch, 1);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(ch[static_cast<size_t>(k)][0], c.expected[static_cast<size_t>(k)]) << "channel " << k;
  }
  EXPECT_EQ(std::bit_cast<std::uint32_t>(CHANNEL_FILL_VALUE), 0x2B8CBCCCu);
}

TEST(ChannelConversion, SixToFourAddsCentreInEveryFrameAndMovesTheSurroundPair) {
  dsp_test::RecordingHost host;
  std::vector<std::vector<float>> ch(8, std::vector<float>(3));
  for (int k = 0; k < 8; ++k)
    for (int i = 0; i < 3; ++i) ch[static_cast<size_t>(k)][static_cast<size_t>(i)] = static_cast<float>(k + 10 * i);
  const auto old = ch;
  Convert(Op::Stage, 6, 4, 0, ch, 3);
  for (int i = 0; i < 3; ++i) {
    const float centre = 0.707f * (old[2][static_cast<size_t>(i)] + old[3][static_cast<size_t>(i)]);
    EXPECT_EQ(ch[0][static_cast<size_t>(i)], old[0][static_cast<size_t>(i)] + centre);
    EXPECT_EQ(ch[1][static_cast<size_t>(i)], old[1][static_cast<size_t>(i)] + centre);
    EXPECT_EQ(ch[2][static_cast<size_t>(i)], old[4][static_cast<size_t>(i)]);
    EXPECT_EQ(ch[3][static_cast<size_t>(i)], old[5][static_cast<size_t>(i)]);
  }
}

TEST(ChannelConversion, StageRefusesNonFloatFormatsAndChannelCountsOutsideOneToEight) {
  dsp_test::RecordingHost host;
  CChannelConversion cc;
  EXPECT_TRUE(cc.Init());
  EXPECT_FALSE(cc.Init());
  const auto good = Format(Enc::Float, 2, 48000);
  ASSERT_TRUE(cc.SetFormat(&good, &good));
  struct Case {
    dsp::WAVEFORMATEXTENSIBLE in, out;
    const char* line;
  } cases[] = {
      {Format(Enc::Pcm16, 2, 48000), good, "CChannelConversion::SetFormat Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
      {good, Format(Enc::Pcm24, 2, 48000), "CChannelConversion::SetFormat Output Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
      {Format(Enc::Float, 9, 48000), good, "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {good, Format(Enc::Float, 0, 48000), "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
  };
  for (const Case& c : cases) {
    host.ClearLines();
    EXPECT_FALSE(cc.SetFormat(&c.in, &c.out));
    ASSERT_EQ(host.Lines().size(), 1u);
    EXPECT_EQ(host.Lines()[0], c.line);
    EXPECT_EQ(cc.InChannels(), 2);
    EXPECT_EQ(cc.OutChannels(), 2);
  }
  const auto extensible = Format(Enc::Float, 6, 96000, true);
  EXPECT_TRUE(cc.SetFormat(&extensible, &good));
}

}  // namespace
