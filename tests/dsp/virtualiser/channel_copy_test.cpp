// Channel copies and the stereo fold-down, against the fold written out in double
// precision.
#include "dsp/virtualiser/channel_copy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "virtualiser_test_util.h"

namespace {

using lpv_test::Planar;

constexpr std::int32_t kFrames = 37;

Planar Inputs(int channels) {
  Planar p(channels, kFrames);
  for (int c = 0; c < channels; ++c) p.data[static_cast<size_t>(c)] = lpv_test::RandomSignal(kFrames, 100 + c);
  return p;
}

// The fold with the missing channels silent: g (in0 + 0.707f in2 + in3 + in4) [+ g in6].
double Fold(const Planar& in, int nIn, int side, size_t t, double g) {
  auto ch = [&](int c) { return c < nIn ? static_cast<double>(in.data[static_cast<size_t>(c)][t]) : 0.0; };
  double v = (ch(side) + static_cast<double>(0.707f) * ch(2) + ch(3) + ch(4 + side)) * g;
  if (nIn == 8) v += g * ch(6 + side);
  return v;
}

TEST(LpvFoldDownChannels, FoldsThreeOrMoreInputsToStereo) {
  struct Case {
    int nIn;
    float divisor;
  };
  const Case cases[] = {{8, 2.0f}, {7, 2.0f}, {6, 2.0f}, {6, 4.0f}, {5, 2.0f}, {3, 2.0f}, {12, 2.0f}, {8, 0.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nIn << " inputs, divisor " << c.divisor);
    Planar in = Inputs(c.nIn);
    Planar out(2, kFrames, 9.0f);
    FoldDownChannels(out.Ptrs(), 2, in.Ptrs(), c.nIn, kFrames, c.divisor);
    const double g = c.divisor == 0.0f ? 1.0 : 1.0 / c.divisor;
    const int effective = c.nIn > 8 ? 8 : c.nIn;
    for (size_t t = 0; t < kFrames; ++t) {
      EXPECT_NEAR(out.data[0][t], Fold(in, effective, 0, t, g), 1e-6) << t;
      EXPECT_NEAR(out.data[1][t], Fold(in, effective, 1, t, g), 1e-6) << t;
    }
  }
}

TEST(LpvFoldDownChannels, EightInputsByTwoWeighTheCentreBy0707AsAFloat) {
  // One sample per channel: only in2 is non-zero on the left, then only in0, in3, in4, in6.
  Planar in(8, 1, 0.0f);
  Planar out(2, 1);
  in.data[2][0] = 1.0f;
  FoldDownChannels(out.Ptrs(), 2, in.Ptrs(), 8, 1, 2.0f);
  EXPECT_EQ(out.data[0][0], 0.707f * 0.5f);
  EXPECT_NE(out.data[0][0], static_cast<float>(0.5 / std::sqrt(2.0)));
  EXPECT_EQ(out.data[1][0], 0.707f * 0.5f);
  in.data[2][0] = 0.0f;
  for (int c : {0, 3, 4, 6}) in.data[static_cast<size_t>(c)][0] = 1.0f;
  FoldDownChannels(out.Ptrs(), 2, in.Ptrs(), 8, 1, 2.0f);
  EXPECT_EQ(out.data[0][0], 2.0f);  // 0.5 x (in0 + in3 + in4 + in6)
  EXPECT_EQ(out.data[1][0], 0.5f);  // in3 only
}

TEST(LpvFoldDownChannels, FoldsInPlaceWhenOutputsAreTheFirstInputs) {
  Planar in = Inputs(8);
  Planar copy = in;
  FoldDownChannels(in.Ptrs(), 2, in.Ptrs(), 8, kFrames, 2.0f);
  for (size_t t = 0; t < kFrames; ++t) {
    EXPECT_NEAR(in.data[0][t], Fold(copy, 8, 0, t, 0.5), 1e-6);
    EXPECT_NEAR(in.data[1][t], Fold(copy, 8, 1, t, 0.5), 1e-6);
  }
  for (int c = 2; c < 8; ++c) EXPECT_EQ(in.data[static_cast<size_t>(c)], copy.data[static_cast<size_t>(c)]);
}

TEST(LpvFoldDownChannels, OtherCountsCopy) {
  struct Case {
    const char* name;
    int nIn;
    int nOut;
    std::vector<int> copied;  // output c is a copy of input c
    std::vector<int> silent;
    std::vector<int> untouched;
  };
  const Case cases[] = {
      {"one input: output 0 only", 1, 2, {0}, {}, {1}},
      {"two inputs to two", 2, 2, {0, 1}, {}, {}},
      {"two inputs to six: two channels only", 2, 6, {0, 1}, {}, {2, 3, 4, 5}},
      {"two inputs to one", 2, 1, {0}, {}, {}},
      {"eight to six", 8, 6, {0, 1, 2, 3, 4, 5}, {}, {}},
      {"eight to one", 8, 1, {0}, {}, {}},
      {"four to six: missing inputs silent", 4, 6, {0, 1, 2, 3}, {4, 5}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Planar in = Inputs(c.nIn);
    Planar out(c.nOut > 2 ? c.nOut : 2, kFrames, 9.0f);
    FoldDownChannels(out.Ptrs(), c.nOut, in.Ptrs(), c.nIn, kFrames, 2.0f);
    for (int k : c.copied) EXPECT_EQ(out.data[static_cast<size_t>(k)], in.data[static_cast<size_t>(k)]) << k;
    for (int k : c.silent) EXPECT_EQ(out.data[static_cast<size_t>(k)], std::vector<float>(kFrames, 0.0f)) << k;
    for (int k : c.untouched) EXPECT_EQ(out.data[static_cast<size_t>(k)], std::vector<float>(kFrames, 9.0f)) << k;
  }
}

TEST(LpvCopyChannels, ZeroFillsMissingInputsAndLeavesACopyOntoItselfAlone) {
  Planar in = Inputs(3);
  Planar out(5, kFrames, 9.0f);
  // Output 1 is input 1 itself.
  std::vector<float*> outputs(out.Ptrs(), out.Ptrs() + 5);
  outputs[1] = in.Ptrs()[1];
  const std::vector<float> before = in.data[1];
  CopyChannels(outputs.data(), 5, in.Ptrs(), 3, kFrames);
  EXPECT_EQ(out.data[0], in.data[0]);
  EXPECT_EQ(in.data[1], before);
  EXPECT_EQ(out.data[1], std::vector<float>(kFrames, 9.0f));
  EXPECT_EQ(out.data[2], in.data[2]);
  EXPECT_EQ(out.data[3], std::vector<float>(kFrames, 0.0f));
  EXPECT_EQ(out.data[4], std::vector<float>(kFrames, 0.0f));

  Planar untouched(2, kFrames, 4.0f);
  CopyChannels(untouched.Ptrs(), 2, in.Ptrs(), 3, 0);
  CopyChannels(nullptr, 2, in.Ptrs(), 3, kFrames);
  EXPECT_EQ(untouched.data[0], std::vector<float>(kFrames, 4.0f));
}

}  // namespace
