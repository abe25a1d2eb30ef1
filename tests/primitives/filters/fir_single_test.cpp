// Single-rate FIR: state sizes and layout, argument checks, the direct form (bit-exact
// sequential single-precision sums) and overlap-save against a double-precision
// convolution, history hand-over between calls and guard bytes around the state.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "fir_test_util.h"
#include "sp/fft.h"
#include "sp/fir.h"
#include "sp/sp.h"

namespace {

using namespace fir_test;
namespace g = sp::generic;

uint32 StateSize(int taps) {
  uint32 size = 0;
  EXPECT_EQ(g::spFirGetStateSize_32f(taps, &size), SP_OK);
  return size;
}

struct Filter {
  explicit Filter(const std::vector<float>& taps, const std::vector<float>* history = nullptr, size_t misalign = 0)
      : buffer(StateSize(static_cast<int>(taps.size())), misalign) {
    EXPECT_EQ(g::spFirInit_32f(&state, taps.data(), static_cast<int>(taps.size()),
                               history ? history->data() : nullptr, buffer.data()),
              SP_OK);
  }
  std::vector<float> Run(const std::vector<float>& x) {
    std::vector<float> y(x.size());
    EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), static_cast<int>(x.size()), state), SP_OK);
    return y;
  }
  // x filtered in consecutive calls of `block` samples (the last one shorter).
  std::vector<float> RunInBlocks(const std::vector<float>& x, size_t block) {
    std::vector<float> y;
    for (size_t pos = 0; pos < x.size(); pos += block) {
      const size_t n = std::min(x.size() - pos, block);
      const auto part = Run(std::vector<float>(x.begin() + static_cast<long>(pos),
                                               x.begin() + static_cast<long>(pos + n)));
      y.insert(y.end(), part.begin(), part.end());
    }
    return y;
  }
  GuardedBuffer buffer;
  spFirState* state = nullptr;
};

// Output n as the generic build defines it: products rounded to float, summed in float
// from +0.0, oldest sample first.
std::vector<float> SequentialFloatOracle(const std::vector<float>& h, const std::vector<float>& x) {
  std::vector<float> y(x.size());
  const int T = static_cast<int>(h.size());
  for (size_t n = 0; n < x.size(); ++n) {
    float acc = 0.0f;
    for (int k = T - 1; k >= 0; --k) {
      const long long i = static_cast<long long>(n) - k;
      const float xi = i >= 0 ? x[static_cast<size_t>(i)] : 0.0f;
      acc += h[static_cast<size_t>(k)] * xi;
    }
    y[n] = acc;
  }
  return y;
}

void ExpectNear(const std::vector<float>& got, const std::vector<double>& want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << "output " << i;
}

TEST(FirSingleRateSize, MatchesTheLayoutForTheSystemsTapCounts) {
  EXPECT_EQ(StateSize(1), 16624u);
  EXPECT_EQ(StateSize(20), 16912u);
  EXPECT_EQ(StateSize(24), 16976u);
  EXPECT_EQ(StateSize(101), 22704u);  // order-8 FFT: 2432 bytes of record
}

TEST(FirSingleRateSize, FftChoiceFollowsTheTapCount) {
  const std::vector<std::pair<int, int>> cases = {{63, -1}, {64, 256}, {101, 256}, {127, 256}, {128, 512}, {300, 1024}};
  for (auto [taps, fftLen] : cases) {
    Filter f(std::vector<float>(static_cast<size_t>(taps), 0.5f));
    EXPECT_EQ(f.state->fftLen, fftLen) << taps << " taps";
    EXPECT_EQ(f.state->directCapacity, ((taps + 3) & ~3) + 1);
    EXPECT_EQ(f.state->tag, SP_FIR_SINGLE_RATE_TAG);
    EXPECT_EQ(f.state->historyStart, 0);
    EXPECT_EQ(f.state->tapsRepeated, nullptr);
  }
}

TEST(FirSingleRateChecks, NullsBeforeCountsAndTagsLast) {
  std::vector<float> taps(8, 1.0f), x(8), y(8);
  std::vector<uint8_t> buf(StateSize(8) + 16);
  spFirState* s = nullptr;
  uint32 size = 0;
  EXPECT_EQ(g::spFirGetStateSize_32f(0, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirGetStateSize_32f(0, &size), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(g::spFirInit_32f(nullptr, taps.data(), 0, nullptr, buf.data()), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirInit_32f(&s, nullptr, 8, nullptr, buf.data()), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirInit_32f(&s, taps.data(), 8, nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirInit_32f(&s, taps.data(), -3, nullptr, buf.data()), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(g::spFirInit_32f(&s, taps.data(), 8, nullptr, buf.data()), SP_OK);
  EXPECT_EQ(g::spFirFilter_32f(nullptr, y.data(), 0, s), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirFilter_32f(x.data(), nullptr, 8, s), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), 8, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), 0, s), SP_ERROR_LENGTH);
  std::fill(y.begin(), y.end(), 7.0f);
  s->tag = 0x12345678;
  EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), 8, s), SP_ERROR_WRONG_RECORD);
  EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 7.0f; }));
}

TEST(FirSingleRateChecks, HugeTapCountsAreRefused) {
  uint32 size = 0;
  EXPECT_EQ(g::spFirGetStateSize_32f(0x7FFFFFFF, &size), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(size, 0u);
}

TEST(FirSingleRateDirect, FirstOutputOfAFreshStateIsTheFirstTapTimesTheInput) {
  Filter f({0.25f, 3.0f, -1.0f});
  EXPECT_EQ(f.Run({2.0f}), std::vector<float>({0.5f}));
}

TEST(FirSingleRateDirect, EqualsSequentialSumsBitForBitForEveryBlockSize) {
  std::mt19937 rng(1);
  for (int taps : {1, 2, 3, 4, 5, 7, 20, 24, 33, 63}) {
    const auto h = RandomSignal(rng, taps);
    const auto x = RandomSignal(rng, 700);
    const auto want = SequentialFloatOracle(h, x);
    // Blocks around directCapacity exercise both direct cases and the history moves.
    const int cap = ((taps + 3) & ~3) + 1;
    for (int block : {1, 3, cap - 1, cap, cap + 1, 2 * cap + 3, 511}) {
      if (block < 1) continue;
      Filter f(h);
      const auto got = f.RunInBlocks(x, static_cast<size_t>(block));
      ASSERT_EQ(got, want) << taps << " taps, blocks of " << block;
    }
  }
}

TEST(FirSingleRateOverlapSave, MatchesTheConvolutionForEveryBlockShape) {
  std::mt19937 rng(2);
  for (int taps : {64, 101, 128, 300}) {
    const auto h = RandomSignal(rng, taps);
    const auto x = RandomSignal(rng, 5000);
    const auto want = ConvolveOracle(h, x);
    const double tol = Tolerance(Magnitude(h, 1.0f), static_cast<size_t>(taps) * 4);
    // 511: direct form; 512 and up: overlap-save, one block and several, with a tail.
    for (int block : {511, 512, 700, 725, 1024, 1500, 2600, 5000}) {
      Filter f(h);
      const auto got = f.RunInBlocks(x, static_cast<size_t>(block));
      ExpectNear(got, want, tol);
    }
  }
}

TEST(FirSingleRateStream, RandomCallSizesGiveTheOneCallOutput) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 12; ++trial) {
    const int taps = std::uniform_int_distribution<int>(1, 160)(rng);
    const auto h = RandomSignal(rng, taps);
    const auto x = RandomSignal(rng, 4000);
    const auto want = ConvolveOracle(h, x);
    Filter f(h);
    std::vector<float> got;
    size_t pos = 0;
    while (pos < x.size()) {
      const size_t n = std::min(x.size() - pos, static_cast<size_t>(std::uniform_int_distribution<int>(1, 1200)(rng)));
      const auto part = f.Run(std::vector<float>(x.begin() + static_cast<long>(pos),
                                                 x.begin() + static_cast<long>(pos + n)));
      got.insert(got.end(), part.begin(), part.end());
      pos += n;
    }
    ExpectNear(got, want, Tolerance(Magnitude(h, 1.0f), static_cast<size_t>(taps) * 4));
  }
}

TEST(FirSingleRateHistory, ADelayLineContinuesTheStreamItEnded) {
  std::mt19937 rng(4);
  for (int taps : {5, 40, 101}) {
    const auto h = RandomSignal(rng, taps);
    const auto past = RandomSignal(rng, taps);
    const auto x = RandomSignal(rng, 900);
    std::vector<float> newestFirst(past.rbegin(), past.rend());
    Filter f(h, &newestFirst);
    ExpectNear(f.Run(x), ConvolveOracle(h, x, newestFirst), Tolerance(Magnitude(h, 1.0f), 4u * static_cast<size_t>(taps)));
  }
}

TEST(FirSingleRateGuards, NothingIsWrittenOutsideTheReportedSizeAtAnyAlignment) {
  std::mt19937 rng(5);
  for (int taps : {1, 20, 64, 101, 257}) {
    const auto h = RandomSignal(rng, taps);
    for (size_t misalign = 0; misalign < 16; misalign += 3) {
      Filter f(h, nullptr, misalign);
      const auto x = RandomSignal(rng, 1500);
      // Output with guard floats on both sides.
      std::vector<float> y(x.size() + 8, 99.0f);
      ASSERT_EQ(g::spFirFilter_32f(x.data(), y.data() + 4, static_cast<int>(x.size()), f.state), SP_OK);
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(y[static_cast<size_t>(i)], 99.0f);
        EXPECT_EQ(y[x.size() + 4 + static_cast<size_t>(i)], 99.0f);
      }
      EXPECT_TRUE(f.buffer.GuardsIntact()) << taps << " taps, offset " << misalign;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(f.state) % 16, 0u);
    }
  }
}

TEST(FirSingleRateOverlapSave, AFailingTransformLeavesHistoryAndOutputUntouched) {
  std::mt19937 rng(6);
  const auto h = RandomSignal(rng, 101);
  Filter f(h);
  const auto x = RandomSignal(rng, 600);
  const std::vector<float> before(f.state->delayLine, f.state->delayLine + 101);
  // A record that no longer carries the real-FFT tag makes the transform fail.
  const uint32 savedTag = f.state->fftSpec->tag;
  f.state->fftSpec->tag = 0;
  std::vector<float> y(600, 5.0f);
  EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), 600, f.state), SP_ERROR_WRONG_RECORD);
  EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 5.0f; }));
  EXPECT_EQ(std::vector<float>(f.state->delayLine, f.state->delayLine + 101), before);
  f.state->fftSpec->tag = savedTag;
  ExpectNear(f.Run(x), ConvolveOracle(h, x), Tolerance(Magnitude(h, 1.0f), 404));
}

TEST(FirSingleRateOverlap, InPlaceSumsOfNeighboursInOneCall) {
  Filter f({1.0f, 1.0f});
  std::vector<float> v(17);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i + 1);
  ASSERT_EQ(g::spFirFilter_32f(v.data(), v.data(), 17, f.state), SP_OK);
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], static_cast<float>(2 * i + 1)) << i;
}

// In place, and with the output starting below the input inside it, both paths give
// exactly the outputs and the history of a call with separate buffers: blocks of one
// piece, several pieces and a tail, for direct-form and overlap-save states.
TEST(FirSingleRateOverlap, OutputAtOrBelowTheInputEqualsSeparateBuffers) {
  std::mt19937 rng(7);
  for (int taps : {2, 5, 20, 101, 300}) {
    const auto h = RandomSignal(rng, taps);
    const int cap = ((taps + 3) & ~3) + 1;
    for (int block : {1, 7, cap, cap + 1, 3 * cap + 2, 511, 512, 700, 1500, 2600}) {
      for (int below : {0, 1, 3, 40}) {
        const auto x = RandomSignal(rng, block);
        const auto next = RandomSignal(rng, 600);
        Filter separate(h), overlapping(h);
        const auto want = separate.Run(x);
        std::vector<float> buf(static_cast<size_t>(below + block) + 4, 55.0f);
        std::copy(x.begin(), x.end(), buf.begin() + below);
        ASSERT_EQ(g::spFirFilter_32f(buf.data() + below, buf.data(), block, overlapping.state), SP_OK);
        const std::vector<float> got(buf.begin(), buf.begin() + block);
        ASSERT_EQ(got, want) << taps << " taps, block " << block << ", " << below << " below";
        EXPECT_EQ(buf.back(), 55.0f);
        ASSERT_EQ(overlapping.Run(next), separate.Run(next)) << taps << " taps, block " << block;
      }
    }
  }
}

TEST(FirSingleRateOverlap, AnOutputOverlappingTheInputFromAboveIsRefusedUntouched) {
  std::mt19937 rng(8);
  for (int taps : {3, 101}) {
    Filter f(RandomSignal(rng, taps));
    const std::vector<float> history(f.state->delayLine, f.state->delayLine + taps);
    for (int block : {8, 600}) {
      for (int above : {1, 4, block - 1}) {
        std::vector<float> buf = RandomSignal(rng, block + above);
        const std::vector<float> before = buf;
        EXPECT_EQ(g::spFirFilter_32f(buf.data(), buf.data() + above, block, f.state), SP_ERROR_OVERLAP);
        EXPECT_EQ(buf, before);
        EXPECT_EQ(std::vector<float>(f.state->delayLine, f.state->delayLine + taps), history);
      }
    }
  }
}

TEST(FirEntries, TheDispatchEntriesReachTheGenericBodies) {
  std::vector<float> taps = {1.0f, 2.0f, 3.0f};
  uint32 size = 0;
  ASSERT_EQ(spFirGetStateSize_32f(3, &size), SP_OK);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  ASSERT_EQ(spFirInit_32f(&s, taps.data(), 3, nullptr, buf.data()), SP_OK);
  std::vector<float> x = {1.0f, 0.0f, 0.0f, 0.0f}, y(4);
  ASSERT_EQ(spFirFilter_32f(x.data(), y.data(), 4, s), SP_OK);
  EXPECT_EQ(y, std::vector<float>({1.0f, 2.0f, 3.0f, 0.0f}));
}

}  // namespace
