// The direct-form section: the defining difference equation in double precision as the
// oracle, its pass-through forms, in-place use, Reset and allocation failure.
#include "dsp/virtualiser/iir_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/virtualiser/engine_resampler.h"
#include "dsp_test_util.h"
#include "virtualiser_test_util.h"

namespace {

using lpv_test::DirectForm;
using lpv_test::RandomSignal;
using lpv_test::RandomSplit;

std::vector<double> ToDouble(const float* v, size_t n) { return std::vector<double>(v, v + n); }

// Runs the section over x in calls of the given lengths.
std::vector<float> RunSplit(CIirFilter& f, const std::vector<float>& x, const std::vector<std::int32_t>& lengths) {
  std::vector<float> in = x, y(x.size());
  size_t at = 0;
  for (std::int32_t n : lengths) {
    f.Process(y.data() + at, in.data() + at, n);
    at += static_cast<size_t>(n);
  }
  return y;
}

struct Coefficients {
  const char* name;
  std::vector<float> b;
  std::vector<float> a;
};

std::vector<Coefficients> Sets() {
  std::vector<Coefficients> sets;
  for (int r = 0; r < LPV_ANTI_ALIAS_ROW_COUNT; ++r) {
    const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[r];
    sets.push_back({r == 0 ? "row 0" : r == 1 ? "row 1" : "row 2", {row.b, row.b + 4}, {row.a, row.a + 4}});
  }
  // Other orders take the general path.
  sets.push_back({"fifth-order numerator, second-order feedback", {0.2f, -0.1f, 0.3f, 0.05f, 0.1f, -0.02f},
                  {1.0f, -0.6f, 0.25f}});
  sets.push_back({"first order", {0.3f, 0.3f}, {1.0f, -0.4f}});
  sets.push_back({"numerator only", {0.25f, 0.5f, 0.25f}, {}});
  return sets;
}

TEST(LpvIirFilter, FollowsTheDifferenceEquationOverAnySplitOfTheStream) {
  dsp_test::RecordingHost host;
  const auto x = RandomSignal(6000, 11);
  for (const Coefficients& s : Sets()) {
    SCOPED_TRACE(s.name);
    const auto reference = DirectForm(ToDouble(s.b.data(), s.b.size()), ToDouble(s.a.data(), s.a.size()),
                                      ToDouble(x.data(), x.size()));
    for (unsigned seed = 1; seed <= 4; ++seed) {
      CIirFilter f(s.b.data(), static_cast<std::int32_t>(s.b.size()), s.a.empty() ? nullptr : s.a.data(),
                   static_cast<std::int32_t>(s.a.size()));
      ASSERT_TRUE(f.IsValid());
      const auto y = RunSplit(f, x, RandomSplit(static_cast<std::int32_t>(x.size()), seed == 1 ? 1 : 700, seed));
      double worst = 0;
      for (size_t n = 0; n < x.size(); ++n) worst = std::max(worst, std::abs(y[n] - reference[n]));
      EXPECT_LT(worst, 2e-6) << "seed " << seed;
    }
  }
}

TEST(LpvIirFilter, ThirdOrderFormEqualsTheGeneralFormBitForBit) {
  // A zero fifth feedback coefficient sends the same filter through the general path.
  dsp_test::RecordingHost host;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-0.3f, 0.3f);
  const auto x = RandomSignal(3000, 12);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<float> b{d(rng), d(rng), d(rng), d(rng)};
    std::vector<float> a{1.0f, d(rng), d(rng), d(rng), 0.0f};
    if (trial % 4 == 1) a[1] = 0.0f;
    if (trial % 4 == 2) a[3] = 0.0f;
    if (trial % 4 == 3) a[1] = a[3] = 0.0f;
    CIirFilter third(b.data(), 4, a.data(), 4);
    CIirFilter general(b.data(), 4, a.data(), 5);
    const auto split = RandomSplit(3000, 300, static_cast<unsigned>(trial));
    const auto y3 = RunSplit(third, x, split);
    const auto yg = RunSplit(general, x, split);
    for (size_t n = 0; n < x.size(); ++n) ASSERT_EQ(y3[n], yg[n]) << "trial " << trial << " sample " << n;
  }
}

TEST(LpvIirFilter, AbsentCoefficientSetsPassTheSignalThrough) {
  dsp_test::RecordingHost host;
  const float b1[1] = {3.0f};
  const float a2[2] = {1.0f, -0.5f};
  const float b2[2] = {0.5f, 0.5f};
  const float a1[1] = {7.0f};
  const auto x = RandomSignal(64, 13);
  const auto xd = ToDouble(x.data(), x.size());
  struct Case {
    const char* name;
    const float* b;
    std::int32_t nb;
    const float* a;
    std::int32_t na;
    std::vector<double> expected;
  };
  const Case cases[] = {
      {"neither set", nullptr, 0, nullptr, 0, xd},
      {"null arrays with counts", nullptr, 4, nullptr, 4, xd},
      {"nb 1 has no numerator: b0 is not applied", b1, 1, a2, 2, DirectForm({1.0}, {1.0, -0.5}, xd)},
      {"na 1 has no feedback", b2, 2, a1, 1, DirectForm({0.5, 0.5}, {}, xd)},
      {"counts below 1", b2, 0, a2, -3, xd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CIirFilter f(c.b, c.nb, c.a, c.na);
    EXPECT_TRUE(f.IsValid());
    std::vector<float> y(x.size());
    std::vector<float> in = x;
    f.Process(y.data(), in.data(), static_cast<std::int32_t>(x.size()));
    for (size_t n = 0; n < x.size(); ++n) EXPECT_NEAR(y[n], c.expected[n], 1e-6) << n;
  }
}

TEST(LpvIirFilter, InPlaceEqualsSeparateBuffersAndResetRestartsFromRest) {
  dsp_test::RecordingHost host;
  const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[1];
  CIirFilter a(row.b, 4, row.a, 4), b(row.b, 4, row.a, 4);
  auto x = RandomSignal(777, 14);
  std::vector<float> separate(x.size()), input = x;
  a.Process(separate.data(), input.data(), 777);
  b.Process(nullptr, x.data(), 777);
  EXPECT_EQ(separate, x);
  EXPECT_EQ(input, RandomSignal(777, 14)) << "input changed by an out-of-place call";

  // After Reset the impulse response is the fresh section's.
  std::vector<float> impulse(100, 0.0f), fresh(100), again(100);
  impulse[0] = 1.0f;
  CIirFilter c(row.b, 4, row.a, 4);
  c.Process(fresh.data(), impulse.data(), 100);
  a.Reset();
  a.Process(again.data(), impulse.data(), 100);
  EXPECT_EQ(fresh, again);

  // Null input or a length below 1 does nothing.
  std::vector<float> untouched(4, 9.0f);
  a.Process(untouched.data(), nullptr, 4);
  a.Process(untouched.data(), impulse.data(), 0);
  EXPECT_EQ(untouched, std::vector<float>(4, 9.0f));
}

TEST(LpvIirFilter, AFailedCoefficientBlockMarksTheSectionInvalidAndLeavesThatSetAbsent) {
  const float b[3] = {0.5f, 0.25f, 0.25f};
  const float a[2] = {1.0f, -0.5f};
  const auto x = RandomSignal(32, 15);
  const auto xd = ToDouble(x.data(), x.size());
  struct Case {
    int failAt;
    std::vector<double> expected;
  };
  const Case cases[] = {{1, xd}, {2, DirectForm({0.5, 0.25, 0.25}, {}, xd)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failAt);
    dsp_test::RecordingHost host;
    host.FailAllocation(c.failAt);
    CIirFilter f(b, 3, a, 2);
    EXPECT_FALSE(f.IsValid());
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_LPVP), c.failAt - 1);
    std::vector<float> in = x, y(x.size());
    f.Process(y.data(), in.data(), 32);
    for (size_t n = 0; n < x.size(); ++n) EXPECT_NEAR(y[n], c.expected[n], 1e-6);
  }
}

}  // namespace
