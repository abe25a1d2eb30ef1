// One-sample FIR on a doubled circular line: checks, impulse response, double-sum oracle
// and the line invariant.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fir_test_util.h"
#include "sp/fir.h"
#include "sp/sp.h"

namespace {

using namespace fir_test;
namespace g = sp::generic;

TEST(FirOneSample, ChecksComeInOrderAndWriteNothing) {
  std::vector<float> taps(4, 1.0f), line(8, 0.0f);
  int32 index = 0;
  float out = 42.0f;
  EXPECT_EQ(g::spFirFilterOneSample_32f(1.0f, nullptr, taps.data(), 4, line.data(), &index), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirFilterOneSample_32f(1.0f, &out, nullptr, 4, line.data(), &index), SP_ERROR_NULL);
  // The tap count is checked before the line and the index.
  EXPECT_EQ(g::spFirFilterOneSample_32f(1.0f, &out, taps.data(), 0, nullptr, nullptr), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(g::spFirFilterOneSample_32f(1.0f, &out, taps.data(), 4, nullptr, &index), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirFilterOneSample_32f(1.0f, &out, taps.data(), 4, line.data(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(out, 42.0f);
}

TEST(FirOneSample, AnIndexOutsideTheLineIsRefusedBeforeAnyWrite) {
  std::vector<float> taps(4, 1.0f);
  // Guard floats around the 8-float line.
  std::vector<float> storage(16, -1.0f);
  float* line = storage.data() + 4;
  for (int32 bad : {-1, 4, 100, -100000}) {
    int32 index = bad;
    float out = 42.0f;
    EXPECT_EQ(g::spFirFilterOneSample_32f(3.0f, &out, taps.data(), 4, line, &index), SP_ERROR_LENGTH);
    EXPECT_EQ(index, bad);
    EXPECT_EQ(out, 42.0f);
  }
  for (float v : storage) EXPECT_EQ(v, -1.0f);
}

TEST(FirOneSample, AnImpulseReadsOutTheTaps) {
  const std::vector<float> taps = {0.5f, -2.0f, 3.25f, 7.0f, 1e-3f};
  std::vector<float> line(10, 0.0f);
  int32 index = 0;
  std::vector<float> out;
  for (int n = 0; n < 8; ++n) {
    float y = 0.0f;
    ASSERT_EQ(g::spFirFilterOneSample_32f(n == 0 ? 1.0f : 0.0f, &y, taps.data(), 5, line.data(), &index), SP_OK);
    out.push_back(y);
  }
  EXPECT_EQ(out, std::vector<float>({0.5f, -2.0f, 3.25f, 7.0f, 1e-3f, 0.0f, 0.0f, 0.0f}));
}

TEST(FirOneSample, SingleTapKeepsTheIndexAtZero) {
  const float tap = 0.1f;
  std::vector<float> line(2, 0.0f);
  int32 index = 0;
  float y = 0.0f;
  ASSERT_EQ(g::spFirFilterOneSample_32f(3.0f, &y, &tap, 1, line.data(), &index), SP_OK);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(y, static_cast<float>(static_cast<double>(0.1f * 3.0f)));
}

TEST(FirOneSample, MatchesProductsSummedInDoubleAndKeepsBothHalvesEqual) {
  std::mt19937 rng(7);
  for (int taps : {20, 24, 3, 64}) {
    const auto h = RandomSignal(rng, taps);
    const auto x = RandomSignal(rng, 300);
    std::vector<float> line(2 * static_cast<size_t>(taps), 0.0f);
    int32 index = 0;
    for (size_t n = 0; n < x.size(); ++n) {
      float y = 0.0f;
      ASSERT_EQ(g::spFirFilterOneSample_32f(x[n], &y, h.data(), taps, line.data(), &index), SP_OK);
      double want = 0.0;
      for (int k = taps - 1; k >= 0; --k) {
        const long long i = static_cast<long long>(n) - k;
        const float xi = i >= 0 ? x[static_cast<size_t>(i)] : 0.0f;
        want += static_cast<double>(h[static_cast<size_t>(k)] * xi);
      }
      ASSERT_EQ(y, static_cast<float>(want)) << "sample " << n;
      for (int k = 0; k < taps; ++k) ASSERT_EQ(line[static_cast<size_t>(k)], line[static_cast<size_t>(k + taps)]);
    }
    EXPECT_EQ(index, static_cast<int32>(x.size() % static_cast<size_t>(taps)));
  }
}

TEST(FirOneSample, TheEntryReachesTheGenericBody) {
  const std::vector<float> taps = {2.0f, 1.0f};
  std::vector<float> line(4, 0.0f);
  int32 index = 0;
  float y = 0.0f;
  ASSERT_EQ(spFirFilterOneSample_32f(1.5f, &y, taps.data(), 2, line.data(), &index), SP_OK);
  EXPECT_EQ(y, 3.0f);
  EXPECT_EQ(index, 1);
}

}  // namespace
