// The headphone convolver against a double-precision direct convolution, and its
// selections, crosstalk stage, refusals and failures.
#include "dsp/virtualiser/headphone_fir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp_test_util.h"
#include "headphone_test_util.h"
#include "sp/base.h"
#include "sp/entries_fft.h"
#include "virtualiser_test_util.h"

namespace {

using lpv_test::AssertRecorder;
using lpv_test::OwnedFilters;
using lpv_test::RandomChannels;
using lpv_test::RandomFilters;
using lpv_test::RelativeRms;
using lpv_test::RunBlocks;
using lpv_test::SetOf;

constexpr int N = HEADPHONEFIR_N;

double g_worstRelativeRms = 0;

// Prints the worst error of every comparison with the direct convolution in the run.
class WorstErrorReport : public testing::Environment {
 public:
  void TearDown() override {
    if (g_worstRelativeRms > 0)
      std::printf("worst relative RMS error against the direct convolution: %.3g\n", g_worstRelativeRms);
  }
};
[[maybe_unused]] testing::Environment* const g_report = testing::AddGlobalTestEnvironment(new WorstErrorReport);

void ExpectOracle(const std::vector<std::vector<float>>& got, const std::vector<std::vector<double>>& ref,
                  double limit = 1e-5) {
  for (int e = 0; e < 2; ++e) {
    const double rel = RelativeRms(got[static_cast<size_t>(e)], ref[static_cast<size_t>(e)]);
    g_worstRelativeRms = std::max(g_worstRelativeRms, rel);
    EXPECT_LT(rel, limit) << "ear " << e;
  }
}

// Every input count with every tail length (14, 12, 6, 10 and 6 partitions), over enough
// blocks for the longest tail to be filled and to slide.
TEST(LpvHeadphoneFir, MatchesTheDirectConvolution) {
  const auto filters = RandomFilters(7);
  struct Pair {
    std::int32_t room, code, tailParts;
  };
  const Pair pairs[] = {{3, 24, 14}, {3, 31, 12}, {2, 29, 6}, {2, 35, 10}, {1, 40, 6}};
  const int inputs[] = {2, 6, 8};
  unsigned seed = 100;
  for (const Pair& p : pairs) {
    for (int nIn : inputs) {
      SCOPED_TRACE(testing::Message() << "room " << p.room << " code " << p.code << " inputs " << nIn);
      auto fir = std::make_unique<CHeadphoneFir>(filters->source);
      ASSERT_TRUE(fir->IsValid());
      fir->SelectFilters(p.room, p.code);
      EXPECT_EQ(fir->TailParts(), p.tailParts);
      EXPECT_EQ(fir->HeadParts(), 2);
      const auto in = RandomChannels(nIn, 20 * N, ++seed);
      const auto got = RunBlocks(*fir, in, nIn);
      ExpectOracle(got, lpv_test::Oracle(SetOf(filters->source, p.room, p.code), in, nIn));
    }
  }
}

// After a selection the output is the new filters' convolution of the same input
// history, whatever the old and new tail lengths; the crosstalk delay carries 255
// samples of the old output across.
TEST(LpvHeadphoneFir, FilterChangeKeepsTheHistory) {
  const auto filters = RandomFilters(8);
  struct Change {
    std::int32_t room0, code0, room1, code1;
  };
  const Change changes[] = {{3, 24, 1, 29}, {1, 25, 3, 30}, {2, 31, 2, 25}};
  unsigned seed = 200;
  for (const Change& c : changes) {
    for (int nIn : {2, 8}) {
      SCOPED_TRACE(testing::Message() << c.room0 << "/" << c.code0 << " -> " << c.room1 << "/" << c.code1 << " inputs "
                                      << nIn);
      auto fir = std::make_unique<CHeadphoneFir>(filters->source);
      fir->SelectFilters(c.room0, c.code0);
      const size_t change = 9;
      const auto in = RandomChannels(nIn, 26 * N, ++seed);
      auto before = RunBlocks(*fir, in, nIn, 0, change);
      fir->SelectFilters(c.room1, c.code1);
      auto after = RunBlocks(*fir, in, nIn, change);
      const auto ref0 = lpv_test::Oracle(SetOf(filters->source, c.room0, c.code0), in, nIn);
      const auto ref1 = lpv_test::Oracle(SetOf(filters->source, c.room1, c.code1), in, nIn);
      const size_t cut = change * N + 255;
      std::vector<std::vector<float>> got(2);
      std::vector<std::vector<double>> ref(2);
      for (int e = 0; e < 2; ++e) {
        for (size_t i = 0; i < in[0].size(); ++i) {
          got[e].push_back(i < change * N ? before[e][i] : after[e][i]);
          ref[e].push_back(i < cut ? ref0[e][i] : ref1[e][i]);
        }
      }
      ExpectOracle(got, ref);
    }
  }
}

TEST(LpvHeadphoneFir, ImpulseOnChannelZeroGivesTheWholeResponse) {
  auto filters = RandomFilters(9);
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);  // room 1, code 29
  auto in = std::vector<std::vector<float>>(2, std::vector<float>(24 * N, 0.0f));
  in[0][0] = 1.0f;
  const auto got = RunBlocks(*fir, in, 2);
  const float* head0 = filters->Head(1, 29, 0);
  const float* head1 = filters->Head(1, 29, 1);
  const float* tailL = filters->Tail(1, 29, 0);
  const float* tailR = filters->Tail(1, 29, 1);
  for (size_t i = 0; i < got[0].size(); ++i) {
    double l = 0, r = 0;
    if (i >= 255 && i - 255 < 1024) l = 2.0 * head0[i - 255], r = 2.0 * head1[i - 255];
    if (i >= 255 + 1024 && i - 255 - 1024 < 3072) l = 2.0 * tailL[i - 255 - 1024], r = 2.0 * tailR[i - 255 - 1024];
    ASSERT_NEAR(got[0][i], l, 2e-6) << i;
    ASSERT_NEAR(got[1][i], r, 2e-6) << i;
  }
}

TEST(LpvHeadphoneFir, ChannelThreeReachesBothEarsTwiceThroughTheTail) {
  auto filters = RandomFilters(10);
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);
  fir->SelectFilters(2, 24);  // 3072-tap tails
  auto in = std::vector<std::vector<float>>(6, std::vector<float>(12 * N, 0.0f));
  in[3][0] = 1.0f;
  const auto got = RunBlocks(*fir, in, 6);
  for (int e = 0; e < 2; ++e) {
    const float* a = filters->Head(2, 24, e);      // group A
    const float* b = filters->Head(2, 24, 2 + e);  // group B
    const float* tail = filters->Tail(2, 24, e);
    for (size_t i = 0; i < got[0].size(); ++i) {
      double want = 0;
      if (i >= 255 && i - 255 < 1024) want = 2.0 * (static_cast<double>(a[i - 255]) + b[i - 255]);
      if (i >= 1279 && i - 1279 < 3072) want = 2.0 * 2.0 * tail[i - 1279];
      ASSERT_NEAR(got[static_cast<size_t>(e)][i], want, 4e-6) << "ear " << e << " sample " << i;
    }
  }
}

TEST(LpvHeadphoneFir, RearFoldRewritesChannelsFourAndFive) {
  auto fir = std::make_unique<CHeadphoneFir>();
  auto in = RandomChannels(8, N, 11);
  std::fill(in[6].begin(), in[6].end(), 0.0f);
  std::fill(in[7].begin(), in[7].end(), 0.0f);
  const auto x4 = in[4], x5 = in[5];
  std::vector<float*> ip;
  for (auto& c : in) ip.push_back(c.data());
  std::vector<float> l(N), r(N);
  float* op[2] = {l.data(), r.data()};
  fir->Process(op, 2, ip.data(), 8, N);
  for (int i = 0; i < N; ++i) {
    ASSERT_EQ(in[4][i], 0.871f * x4[i] + 0.0f + 0.49f * x5[i]) << i;
    ASSERT_EQ(in[5][i], 0.49f * x4[i] + 0.0f + 0.871f * x5[i]) << i;
  }
}

TEST(LpvHeadphoneFir, SelectingTheSamePairAgainChangesNothing) {
  auto filters = RandomFilters(12);
  auto a = std::make_unique<CHeadphoneFir>(filters->source);
  auto b = std::make_unique<CHeadphoneFir>(filters->source);
  const auto in = RandomChannels(6, 16 * N, 13);
  for (auto* f : {a.get(), b.get()}) f->SelectFilters(3, 30);
  const auto ra = RunBlocks(*a, in, 6);
  auto rb1 = RunBlocks(*b, in, 6, 0, 7);
  b->SelectFilters(3, 30);
  auto rb2 = RunBlocks(*b, in, 6, 7);
  for (int e = 0; e < 2; ++e)
    for (size_t i = 0; i < in[0].size(); ++i) ASSERT_EQ(ra[e][i], i < 7 * N ? rb1[e][i] : rb2[e][i]) << i;
}

TEST(LpvHeadphoneFir, CtcAngleKeepsOrClearsTheHistories) {
  auto filters = RandomFilters(14);
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);
  RunBlocks(*fir, RandomChannels(2, 3 * N, 15), 2);
  const std::vector<float> s(fir->CtcSumHistory(), fir->CtcSumHistory() + CHeadphoneFir::kCtcHistory);
  const std::vector<float> d(fir->CtcDifferenceHistory(), fir->CtcDifferenceHistory() + CHeadphoneFir::kCtcHistory);
  ASSERT_TRUE(std::any_of(s.begin(), s.end(), [](float x) { return x != 0; }));
  EXPECT_EQ(fir->SetCtcAngle(0), 1);
  EXPECT_EQ(std::vector<float>(fir->CtcSumHistory(), fir->CtcSumHistory() + s.size()), s);
  EXPECT_EQ(std::vector<float>(fir->CtcDifferenceHistory(), fir->CtcDifferenceHistory() + d.size()), d);
  EXPECT_EQ(fir->SetCtcAngle(7), 1);  // no set: identity, but a new value
  EXPECT_EQ(fir->CtcAngle(), 7);
  EXPECT_EQ(fir->CtcLength(), 1);
  for (int i = 0; i < CHeadphoneFir::kCtcHistory; ++i) {
    ASSERT_EQ(fir->CtcSumHistory()[i], 0.0f);
    ASSERT_EQ(fir->CtcDifferenceHistory()[i], 0.0f);
  }
  AssertRecorder rec;
  fir->SetCtcAngle(CTCANGLE_UNDEFINED);
  EXPECT_EQ(rec.Expressions(), std::vector<std::string>{"nCTCAngle!=CTCANGLE_UNDEFINED"});
}

// A 256-tap set with t1 = delta and t2 = 0 passes both ears unchanged and without the
// identity's 255-sample delay; a general set mixes them by its sum and difference.
TEST(LpvHeadphoneFir, CrosstalkSetsAgainstTheirDefinition) {
  auto filters = RandomFilters(16);
  const auto in = RandomChannels(2, 12 * N, 17);
  const auto ref = SetOf(filters->source, 1, 29);
  for (int i = 0; i < LPV_CTC_SET_COUNT; ++i) {
    float* set = filters->crosstalk.data() + i * LPV_CTC_SET_FLOATS;
    std::fill(set, set + LPV_CTC_SET_FLOATS, 0.0f);
    set[0] = 1.0f;
  }
  {
    auto fir = std::make_unique<CHeadphoneFir>(filters->source);
    fir->SetCtcAngle(5);
    EXPECT_EQ(fir->CtcLength(), 256);
    ExpectOracle(RunBlocks(*fir, in, 2), lpv_test::Oracle(ref, in, 2, 0));
  }
  // 20 degrees: random t1, t2; L' = t1*L + t2*R, R' = t2*L + t1*R.
  auto rnd = RandomChannels(1, LPV_CTC_SET_FLOATS, 18)[0];
  float* set = filters->crosstalk.data() + 3 * LPV_CTC_SET_FLOATS;
  std::copy(rnd.begin(), rnd.end(), set);
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);
  fir->SetCtcAngle(20);
  const auto got = RunBlocks(*fir, in, 2);
  const auto dry = lpv_test::Oracle(ref, in, 2, 0);
  std::vector<std::vector<double>> want(2, std::vector<double>(dry[0].size(), 0.0));
  for (size_t n = 0; n < dry[0].size(); ++n)
    for (size_t k = 0; k < 256 && k <= n; ++k) {
      const double t1 = set[k], t2 = set[256 + k];
      // sum/difference filters in float, as the stage holds them
      const double s = static_cast<float>(set[k] + set[256 + k]), d = static_cast<float>(set[k] - set[256 + k]);
      (void)t1;
      (void)t2;
      const double sum = dry[0][n - k] + dry[1][n - k], diff = dry[0][n - k] - dry[1][n - k];
      want[0][n] += 0.5 * (s * sum + d * diff);
      want[1][n] += 0.5 * (s * sum - d * diff);
    }
  ExpectOracle(got, want, 2e-5);
}

TEST(LpvHeadphoneFir, TailPartitionsPerRoomAndCode) {
  auto filters = RandomFilters(19);
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);
  struct Case {
    std::int32_t roomValue, code, room, tailParts;
  };
  const Case cases[] = {{0, 24, 3, 14}, {0, 40, 3, 14}, {0, 31, 3, 12}, {1, 31, 2, 12}, {2, 31, 1, 12},
                        {1, 34, 2, 6},  {1, 30, 2, 10}, {2, 39, 1, 6},  {2, 25, 1, 6}};
  AssertRecorder rec;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(fir->SetRoomAndAngle(c.roomValue, c.code), 1);
    EXPECT_EQ(fir->Room(), c.room);
    EXPECT_EQ(fir->Angle(), c.code);
    EXPECT_EQ(fir->TailParts(), c.tailParts);
    EXPECT_EQ(fir->HeadParts(), 2);
  }
  EXPECT_TRUE(rec.Records().empty());
}

TEST(LpvHeadphoneFir, UnknownRoomOrCodeFallsBackWithAReport) {
  auto filters = RandomFilters(20);
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);
  struct Case {
    std::int32_t roomValue, code, room, angle;
  };
  const Case cases[] = {{3, 29, 2, 29}, {-1, 25, 2, 25}, {0, 26, 3, 24}, {7, 0, 2, 24}};
  for (const Case& c : cases) {
    AssertRecorder rec;
    fir->SetRoomAndAngle(c.roomValue, c.code);
    const size_t reports = (c.room == 2 && c.roomValue != 1 ? 1 : 0) + (c.angle != c.code ? 1 : 0);
    EXPECT_EQ(rec.Expressions(), std::vector<std::string>(reports, "0"));
    EXPECT_EQ(fir->Room(), c.room);
    EXPECT_EQ(fir->Angle(), c.angle);
    EXPECT_EQ(fir->TailParts(), LpvTailLength(c.room, c.angle) / N);
  }
}

TEST(LpvHeadphoneFir, PairsOutsideTheTablesAreSilent) {
  auto filters = RandomFilters(21);
  struct Case {
    std::int32_t room, code;
    std::vector<std::string> reports;
  };
  const std::string undefined = "nRoom!=ROOMSIZE_UNDEFINED && nAngle!=SPEAKERANGLE_UNDEFINED";
  const Case cases[] = {{4, 24, {"0"}}, {0, 29, {"0"}}, {2, 26, {"0"}}, {3, 0, {"0"}}, {-1, 24, {undefined, "0"}},
                        {1, -1, {undefined, "0"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.room << "/" << c.code);
    auto fir = std::make_unique<CHeadphoneFir>(filters->source);
    AssertRecorder rec;
    EXPECT_EQ(fir->SelectFilters(c.room, c.code), 1);
    EXPECT_EQ(rec.Expressions(), c.reports);
    EXPECT_EQ(fir->HeadParts(), -1);
    EXPECT_EQ(fir->TailParts(), -1);
    const auto out = RunBlocks(*fir, RandomChannels(8, 4 * N, 22), 8);
    for (const auto& ear : out) ASSERT_TRUE(std::all_of(ear.begin(), ear.end(), [](float x) { return x == 0.0f; }));
  }
}

TEST(LpvHeadphoneFir, TheProductSourceLoadsItsTablesWithoutReports) {
  AssertRecorder rec;
  auto fir = std::make_unique<CHeadphoneFir>();
  fir->SetRoomAndAngle(0, 25);
  EXPECT_TRUE(fir->IsValid());
  EXPECT_EQ(fir->HeadParts(), 2);
  EXPECT_EQ(fir->TailParts(), 14);
  const auto out = RunBlocks(*fir, RandomChannels(6, 3 * N, 23), 6);
  for (const auto& ear : out) EXPECT_TRUE(std::any_of(ear.begin(), ear.end(), [](float x) { return x != 0.0f; }));
  EXPECT_TRUE(rec.Records().empty());
}

// Counts other than 2 outputs, 2/6/8 inputs and 512 samples are refused: a report, the
// two outputs silenced, nothing else read or written, and the state untouched.
TEST(LpvHeadphoneFir, RefusesOtherShapes) {
  auto filters = RandomFilters(24);
  struct Case {
    std::int32_t nOut, nIn, len;
    const char* report;
  };
  const Case cases[] = {{3, 2, N, "CheckNumOutChans(nOutCh)"}, {1, 6, N, "CheckNumOutChans(nOutCh)"},
                        {2, 4, N, "CheckNumInChans(nInCh)"},   {2, 9, N, "CheckNumInChans(nInCh)"},
                        {2, 0, N, "CheckNumInChans(nInCh)"},   {2, 8, 256, "CheckDataLen(len)"},
                        {2, 2, 1024, "CheckDataLen(len)"}};
  const auto in = RandomChannels(8, 8 * N, 25);
  auto reference = std::make_unique<CHeadphoneFir>(filters->source);
  const auto want = RunBlocks(*reference, in, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    auto fir = std::make_unique<CHeadphoneFir>(filters->source);
    auto first = RunBlocks(*fir, in, 2, 0, 4);
    // Buffers exactly as long as the call says; poison around them is checked by ASan.
    std::vector<std::vector<float>> o(4, std::vector<float>(static_cast<size_t>(c.len), 7.0f));
    std::vector<std::vector<float>> i(9, std::vector<float>(static_cast<size_t>(c.len), 3.0f));
    std::vector<float*> op, ip;
    for (auto& v : o) op.push_back(v.data());
    for (auto& v : i) ip.push_back(v.data());
    AssertRecorder rec;
    fir->Process(op.data(), c.nOut, ip.data(), c.nIn, c.len);
    EXPECT_EQ(rec.Expressions(), std::vector<std::string>{c.report});
    for (int k = 0; k < 4; ++k) {
      const float expect = k < std::min(c.nOut, 2) ? 0.0f : 7.0f;
      EXPECT_TRUE(std::all_of(o[k].begin(), o[k].end(), [&](float x) { return x == expect; })) << k;
    }
    for (auto& v : i) EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](float x) { return x == 3.0f; }));
    auto rest = RunBlocks(*fir, in, 2, 4);
    for (int e = 0; e < 2; ++e)
      for (size_t s = 0; s < in[0].size(); ++s) ASSERT_EQ(s < 4 * N ? first[e][s] : rest[e][s], want[e][s]) << s;
  }
  // Null buffers are refused the same way.
  auto fir = std::make_unique<CHeadphoneFir>(filters->source);
  std::vector<float> l(N, 7.0f), r(N, 7.0f);
  float* op[2] = {l.data(), r.data()};
  float* ip[2] = {l.data(), nullptr};
  fir->Process(op, 2, ip, 2, N);
  fir->Process(op, 2, nullptr, 2, N);
  fir->Process(nullptr, 2, ip, 2, N);
  EXPECT_TRUE(std::all_of(r.begin(), r.end(), [](float x) { return x == 0.0f; }));
}

// Shapes the spectra cannot hold are reported (the four checks) or refused (more
// partitions than the spectra have), leaving both counts undefined.
TEST(LpvHeadphoneFir, LoadPartitionsRefusesShapesItCannotHold) {
  spRealFftSpec* spec = nullptr;
  ASSERT_EQ(spFftCreateSpecReal_32f(&spec, 10, SP_FFT_SCALE_INVERSE, 0), SP_OK);
  struct Case {
    std::int32_t nhead, headlen, ntail, tailen;
    std::vector<std::string> reports;
    std::int32_t headParts, tailParts;
  };
  const Case cases[] = {{10, 1024, 2, 7168, {}, 2, 14},
                        {5, 512, 2, 512, {}, 1, 1},
                        {3, 1024, 2, 3072, {"nhead==5 || nhead==10"}, -1, -1},
                        {10, 1000, 2, 3072, {"headlen%HEADPHONEFIR_N==0"}, -1, -1},
                        {10, 1024, 1, 3072, {"ntail==2"}, -1, -1},
                        {10, 1024, 2, 3000, {"tailen%HEADPHONEFIR_N==0"}, -1, -1},
                        {10, 1536, 2, 3072, {}, -1, -1},
                        {10, 1024, 2, 7680, {}, -1, -1},
                        {10, 0, 2, 3072, {}, -1, -1}};
  std::vector<float> head(10 * 1536, 0.25f), tail(2 * 7680, 0.5f);
  auto headSpectra = std::make_unique<float[]>(10 * 2 * 1024);
  auto tailSpectra = std::make_unique<float[]>(2 * 14 * 1024);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nhead << " " << c.headlen << " " << c.ntail << " " << c.tailen);
    AssertRecorder rec;
    std::int32_t p = 99, q = 99;
    CHeadphoneFir::LoadPartitions(head.data(), c.nhead, c.headlen, tail.data(), c.ntail, c.tailen, headSpectra.get(),
                                  tailSpectra.get(), &p, &q, spec, nullptr);
    EXPECT_EQ(rec.Expressions(), c.reports);
    EXPECT_EQ(p, c.headParts);
    EXPECT_EQ(q, c.tailParts);
  }
  // A partition's spectrum is the transform of its taps zero-padded to 1024: the DC term
  // is the sum of the 512 taps.
  EXPECT_FLOAT_EQ(headSpectra[0], 0.25f * 512);
  EXPECT_FLOAT_EQ(tailSpectra[0], 0.5f * 512);
  spFftFreeSpecReal_32f(spec);
}

// The packed-spectrum product against complex multiplication in double, and the vector
// and scalar paths rounding alike (every position of a short and a full spectrum).
TEST(LpvHeadphoneFir, MultiplyAccumulateIsTheComplexProduct) {
  for (int n : {8, 16, 1024}) {
    auto v = RandomChannels(3, static_cast<size_t>(n), 26 + static_cast<unsigned>(n));
    std::vector<float> acc = v[2];
    CHeadphoneFir::MultiplyAccumulate(v[0].data(), v[1].data(), acc.data(), n);
    const auto& f = v[0];
    const auto& x = v[1];
    EXPECT_EQ(acc[0], v[2][0] + f[0] * x[0]);
    EXPECT_EQ(acc[1], v[2][1] + f[1] * x[1]);
    for (int i = 2; i < n; i += 2) {
      const float re = v[2][i] + (x[i] * f[i] - x[i + 1] * f[i + 1]);
      const float im = v[2][i + 1] + (x[i] * f[i + 1] + x[i + 1] * f[i]);
      ASSERT_EQ(acc[i], re) << i;
      ASSERT_EQ(acc[i + 1], im) << i;
    }
  }
}

// A failed record or work buffer leaves the convolver invalid and silent, with nothing
// leaked; every failure point of the construction is tried.
TEST(LpvHeadphoneFir, FailedRecordIsSilentAndLeaksNothing) {
  auto filters = RandomFilters(27);
  for (int nth = 1; nth < 16; ++nth) {
    SCOPED_TRACE(nth);
    dsp_test::RecordingHost host;
    bool valid = false;
    {
      lpv_test::FailingSpAllocator failing(nth);
      auto fir = std::make_unique<CHeadphoneFir>(filters->source);
      valid = fir->IsValid();
      if (!valid) {
        const auto out = RunBlocks(*fir, RandomChannels(2, 2 * N, 28), 2);
        for (const auto& ear : out) EXPECT_TRUE(std::all_of(ear.begin(), ear.end(), [](float x) { return x == 0.0f; }));
      }
    }
    if (valid) break;
  }
}

// The processor builds' records need a work buffer: it is made once, under "LPVP", its
// failure is the convolver's failure, and the transforms use it correctly.
TEST(LpvHeadphoneFir, ProcessorBuildRecordWithWorkBuffer) {
  struct IndexGuard {
    std::int32_t saved = spDispatchIndex;
    ~IndexGuard() { spDispatchIndex = saved; }
  } guard;
  auto filters = RandomFilters(29);
  for (std::int32_t index : {1, 2, 3}) {
    SCOPED_TRACE(index);
    if (!lpv_test::BuildRuns(index)) continue;
    spDispatchIndex = index;
    {
      dsp_test::RecordingHost host;
      host.FailAllocation(1);
      auto fir = std::make_unique<CHeadphoneFir>(filters->source);
      EXPECT_FALSE(fir->IsValid());
    }
    dsp_test::RecordingHost host;
    auto fir = std::make_unique<CHeadphoneFir>(filters->source);
    ASSERT_TRUE(fir->IsValid());
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_LPVP), 1);
    fir->SelectFilters(3, 25);
    const auto in = RandomChannels(8, 18 * N, 30 + static_cast<unsigned>(index));
    ExpectOracle(RunBlocks(*fir, in, 8), lpv_test::Oracle(SetOf(filters->source, 3, 25), in, 8));
  }
}

}  // namespace
