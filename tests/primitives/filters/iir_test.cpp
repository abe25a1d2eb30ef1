// 32-bit float IIR filter in every build: state sizes and set-up, argument checks,
// responses against the double-precision difference equation, call and block splits,
// the processor builds against the generic one, biquad cascades and the entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "iir_test_util.h"
#include "sp/fir.h"
#include "sp/sp.h"

namespace {

using namespace iir_test;
using fir_test::GuardedBuffer;
using fir_test::RandomSignal;

TEST(IirStateSize, ExactBytesOfEveryBuild) {
  struct Row {
    int order;
    int generic;
    int processor;
  };
  const Row rows[] = {{1, 144, 4376}, {2, 160, 4424}, {4, 192, 4520}, {10, 256, 4776}};
  for (const IirBuild& b : AllBuilds()) {
    for (const Row& r : rows) {
      int size = 0;
      ASSERT_EQ(b.getStateSize(r.order, &size), SP_OK);
      EXPECT_EQ(size, std::strcmp(b.name, "generic") == 0 ? r.generic : r.processor) << b.name << " n=" << r.order;
    }
  }
}

TEST(IirStateSize, RefusesNullBadAndOversizedOrders) {
  for (const IirBuild& b : AllBuilds()) {
    int size = 7;
    EXPECT_EQ(b.getStateSize(0, nullptr), SP_ERROR_NULL) << b.name;
    EXPECT_EQ(b.getStateSize(0, &size), SP_ERROR_FILTER_ORDER);
    EXPECT_EQ(b.getStateSize(-3, &size), SP_ERROR_FILTER_ORDER);
    // A size past 32 bits would wrap to a small or negative count.
    EXPECT_EQ(b.getStateSize(std::numeric_limits<int>::max() / 8, &size), SP_ERROR_FILTER_ORDER);
    EXPECT_EQ(size, 7);
  }
}

TEST(IirInit, RefusesNullPointersBeforeBadOrders) {
  const std::vector<float> taps = {1, 0, 1, 0};
  std::vector<uint8> buf(8192);
  spIirState* s = nullptr;
  for (const IirBuild& b : AllBuilds()) {
    EXPECT_EQ(b.init(&s, nullptr, 0, nullptr, buf.data()), SP_ERROR_NULL);
    EXPECT_EQ(b.init(nullptr, taps.data(), 0, nullptr, buf.data()), SP_ERROR_NULL);
    EXPECT_EQ(b.init(&s, taps.data(), 0, nullptr, nullptr), SP_ERROR_NULL);
    EXPECT_EQ(b.init(&s, taps.data(), 0, nullptr, buf.data()), SP_ERROR_FILTER_ORDER);
    EXPECT_EQ(b.init(&s, taps.data(), std::numeric_limits<int>::max(), nullptr, buf.data()), SP_ERROR_FILTER_ORDER);
  }
  EXPECT_EQ(s, nullptr);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8 v) { return v == 0; }));
}

TEST(IirInit, ZeroA0OfEitherSignWritesNothing) {
  for (const IirBuild& b : AllBuilds()) {
    for (float a0 : {0.0f, -0.0f}) {
      const std::vector<float> taps = {1, 2, 3, a0, 0.5f, 0.25f};
      const std::vector<float> delay = {9, 9};
      GuardedBuffer buf(IirFilter::Size(b, 2), 3);
      std::vector<uint8> before(buf.data(), buf.data() + IirFilter::Size(b, 2));
      auto* sentinel = reinterpret_cast<spIirState*>(&buf);
      spIirState* s = sentinel;
      EXPECT_EQ(b.init(&s, taps.data(), 2, delay.data(), buf.data()), SP_ERROR_ZERO_DIVISOR) << b.name;
      EXPECT_EQ(s, sentinel);
      EXPECT_TRUE(std::equal(before.begin(), before.end(), buf.data()));
      EXPECT_TRUE(buf.GuardsIntact());
    }
  }
}

TEST(IirInit, NormalisesByA0AndLaysOutTheDelayLine) {
  const std::vector<float> taps = {3, -5, 7, 2, 0.5f, -1.5f};
  const std::vector<float> delay = {0.25f, -0.75f};
  for (const IirBuild& b : AllBuilds()) {
    for (size_t misalign : {0, 1, 7, 15}) {
      IirFilter f(b, taps, delay.data(), misalign);
      ASSERT_EQ(f.status, SP_OK);
      const auto addr = reinterpret_cast<uintptr_t>(f.state);
      EXPECT_EQ(addr % 16, 0u);
      EXPECT_EQ(addr - reinterpret_cast<uintptr_t>(f.buffer.data()), (16 - misalign) % 16);
      EXPECT_EQ(f.state->tag, SP_IIR_ARBITRARY_ORDER_TAG);
      EXPECT_EQ(f.state->order, 2);
      EXPECT_EQ(f.state->sectionCount, 0);
      EXPECT_EQ(f.state->reserved, 0);
      const float want[] = {1.5f, -2.5f, 3.5f, 0.25f, -0.75f};
      for (int k = 0; k < 5; ++k) EXPECT_EQ(f.state->pTaps[k], want[k]) << b.name << " k=" << k;
      EXPECT_EQ(f.state->pDelay[0], 0.25f);
      EXPECT_EQ(f.state->pDelay[1], -0.75f);
      EXPECT_EQ(f.state->pDelay[2], 0.0f);
      EXPECT_TRUE(f.buffer.GuardsIntact());
    }
    // A null initial state is all zero, z(n) included.
    std::vector<uint8> garbage(IirFilter::Size(b, 2) + 16, 0xEE);
    spIirState* s = nullptr;
    ASSERT_EQ(b.init(&s, taps.data(), 2, nullptr, garbage.data()), SP_OK);
    for (int k = 0; k <= 2; ++k) EXPECT_EQ(s->pDelay[k], 0.0f);
  }
}

// Lane j of Hi holds -a'(i + j), zero beyond the order; then -a'1, -a'2, -a'3 (within
// the order) and zeros to fill n + 3 vectors.
TEST(IirInit, ProcessorTablesHoldTheFiltersOwnCoefficients) {
  struct Row {
    std::vector<float> taps;
    std::vector<float> want;
  };
  const Row rows[] = {
      {{1, 0.5f, 1, -0.5f}, {0.5f, 0, 0, 0, 0.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // a0 = 2: a' = (0.25, -0.5, 1.5).
      {{2, 0, 0, 0, 2, 0.5f, -1, 3},
       {-0.25f, 0.5f, -1.5f, 0, 0.5f, -1.5f, 0, 0, -1.5f, 0, 0, 0, -0.25f, 0.5f, -1.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const IirBuild& b : ProcessorBuilds()) {
    for (const Row& r : rows) {
      IirFilter f(b, r.taps);
      const float* h = f.state->pFeedbackVectors;
      for (size_t i = 0; i < r.want.size(); ++i) EXPECT_EQ(h[i], r.want[i]) << b.name << " i=" << i;
      EXPECT_EQ(f.state->pWork2, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(f.state->pWork) % 16, 0u);
    }
    IirFilter f(b, rows[0].taps);
    for (int j = 0; j < 8; ++j) EXPECT_EQ(f.state->pNumeratorVectors[j], j < 4 ? 1.0f : 0.5f);
  }
}

TEST(IirFilter, RefusesBadArgumentsLeavingTheSignal) {
  std::vector<float> x = {1, 2, 3};
  const std::vector<float> taps = {1, 0, 1, 0};
  uint32 firSize = 0;
  ASSERT_EQ(sp::generic::spFirGetStateSize_32f(4, &firSize), SP_OK);
  std::vector<uint8> firBuf(firSize);
  spFirState* fir = nullptr;
  const float firTaps[4] = {1, 2, 3, 4};
  ASSERT_EQ(sp::generic::spFirInit_32f(&fir, firTaps, 4, nullptr, firBuf.data()), SP_OK);
  for (const IirBuild& b : AllBuilds()) {
    IirFilter f(b, taps);
    EXPECT_EQ(b.filter(x.data(), 0, nullptr), SP_ERROR_NULL);
    EXPECT_EQ(b.filter(nullptr, 0, f.state), SP_ERROR_NULL);
    EXPECT_EQ(b.filter(x.data(), 0, f.state), SP_ERROR_LENGTH);
    EXPECT_EQ(b.filter(x.data(), -1, f.state), SP_ERROR_LENGTH);
    EXPECT_EQ(b.filter(x.data(), 3, reinterpret_cast<spIirState*>(fir)), SP_ERROR_WRONG_RECORD);
    EXPECT_EQ(x, (std::vector<float>{1, 2, 3}));
  }
}

TEST(IirFilter, OrderOneImpulseHalvesEachStep) {
  const std::vector<float> taps = {1, 0, 1, -0.5f};
  for (const IirBuild& b : AllBuilds()) {
    for (int len : {1, 4, 5, 40}) {
      IirFilter f(b, taps);
      std::vector<float> x(static_cast<size_t>(len), 0.0f);
      x[0] = 1.0f;
      const auto y = f.Run(x);
      for (int t = 0; t < len; ++t) EXPECT_EQ(y[static_cast<size_t>(t)], std::ldexp(1.0f, -t)) << b.name;
      EXPECT_EQ(f.state->pDelay[0], 0.5f * y.back());
      EXPECT_EQ(f.state->pDelay[1], 0.0f);
    }
  }
}

TEST(IirFilter, OrderOneFollowsItsTwoAssignmentsFromTheGivenDelay) {
  std::mt19937 rng(11);
  const std::vector<float> taps = {0.7f, -0.3f, 1.0f, 0.6f};
  const float z0 = 0.375f;
  const auto x = RandomSignal(rng, 13);
  IirFilter f(AllBuilds()[0], taps, &z0);
  const auto y = f.Run(x);
  float z = z0;
  for (size_t t = 0; t < x.size(); ++t) {
    const float want = 0.7f * x[t] + z;
    z = -0.3f * x[t] - 0.6f * want;
    EXPECT_EQ(y[t], want) << t;
  }
  EXPECT_EQ(f.state->pDelay[0], z);
}

// Random stable filters of orders 1 to 12 from rest against the difference equation,
// with a0 other than 1, in every build and every sample alignment.
TEST(IirFilter, MatchesTheDifferenceEquationInEveryBuild) {
  std::mt19937 rng(5);
  for (int n = 1; n <= 12; ++n) {
    const auto taps = RandomStableTaps(rng, n, 1.75f);
    const auto x = RandomSignal(rng, 1500);
    const auto want = DifferenceEquation(taps, x);
    for (const IirBuild& b : AllBuilds()) {
      if (!b.supported) continue;
      for (size_t misalign = 0; misalign < 4; ++misalign) {
        IirFilter f(b, taps);
        std::vector<float> buf(x.size() + misalign);
        std::copy(x.begin(), x.end(), buf.begin() + static_cast<long>(misalign));
        ASSERT_EQ(b.filter(buf.data() + misalign, static_cast<int>(x.size()), f.state), SP_OK);
        const std::vector<float> y(buf.begin() + static_cast<long>(misalign), buf.end());
        EXPECT_LT(RelativeError(y, want), 2e-5) << b.name << " n=" << n << " misalign=" << misalign;
        EXPECT_EQ(f.state->pDelay[n], 0.0f);
      }
    }
  }
}

TEST(IirFilter, ImpulseResponseMatchesTheDifferenceEquation) {
  std::mt19937 rng(8);
  for (int n : {1, 2, 3, 4, 5, 8}) {
    const auto taps = RandomStableTaps(rng, n, 1.0f, 0.95);
    std::vector<float> x(600, 0.0f);
    x[0] = 1.0f;
    const auto want = DifferenceEquation(taps, x);
    for (const IirBuild& b : AllBuilds()) {
      if (!b.supported) continue;
      IirFilter f(b, taps);
      EXPECT_LT(RelativeError(f.Run(x), want), 2e-5) << b.name << " n=" << n;
    }
  }
}

// Consecutive calls continue one recursion: the generic pair and single steps (calls of
// 1, 2 and 3 samples) and the processor blocks (4n, 4n + 1, and 2500 as 1024 + 1024 + 452).
TEST(IirFilter, CallSplitsContinueTheSameRecursion) {
  std::mt19937 rng(3);
  for (int n : {1, 2, 3, 5, 9}) {
    const auto taps = RandomStableTaps(rng, n);
    const auto x = RandomSignal(rng, 2500);
    const auto want = DifferenceEquation(taps, x);
    const std::vector<std::vector<int>> splits = {
        {1}, {2}, {3}, {2, 1, 3}, {4 * n}, {4 * n + 1}, {4 * n, 4 * n + 1}, {1024, 1024, 452}, {1023, 1, 1477}};
    for (const IirBuild& b : AllBuilds()) {
      if (!b.supported) continue;
      IirFilter whole(b, taps);
      const auto ref = whole.Run(x);
      for (const auto& calls : splits) {
        IirFilter f(b, taps);
        const auto y = f.Run(x, calls);
        EXPECT_LT(RelativeError(y, want), 2e-5) << b.name << " n=" << n << " first call " << calls[0];
        const std::vector<float> delay(f.state->pDelay, f.state->pDelay + n);
        const std::vector<float> wholeDelay(whole.state->pDelay, whole.state->pDelay + n);
        EXPECT_LT(RelativeError(delay, wholeDelay), 5e-5) << b.name << " n=" << n;
      }
      // A processor build runs one call of 2500 as blocks of 1024, 1024 and 452.
      if (std::strcmp(b.name, "generic") != 0) {
        IirFilter f(b, taps);
        EXPECT_EQ(f.Run(x, {1024, 1024, 452}), ref) << b.name;
      }
    }
  }
}

TEST(IirFilter, ProcessorBuildsAgreeWithGenericOnShortAndBlockPaths) {
  std::mt19937 rng(21);
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 11}) {
    const auto taps = RandomStableTaps(rng, n);
    for (int len : {1, 2, 3, 4 * n, 4 * n + 1, 4 * n + 2, 4 * n + 5, 1024, 1025}) {
      const auto x = RandomSignal(rng, len);
      IirFilter g(AllBuilds()[0], taps);
      const auto ref = g.Run(x);
      for (const IirBuild& b : ProcessorBuilds()) {
        IirFilter f(b, taps);
        EXPECT_LT(RelativeError(f.Run(x), ref), 5e-5) << b.name << " n=" << n << " len=" << len;
        const std::vector<float> delay(f.state->pDelay, f.state->pDelay + n);
        const std::vector<float> genericDelay(g.state->pDelay, g.state->pDelay + n);
        EXPECT_LT(RelativeError(delay, genericDelay), 5e-5) << b.name << " n=" << n << " len=" << len;
      }
    }
  }
}

struct Biquad {
  explicit Biquad(const std::vector<float>& sections, const float* delay = nullptr, size_t misalign = 0)
      : buffer(Size(static_cast<int>(sections.size() / 5)), misalign) {
    status = sp::generic::spIirBiquadInit_32f(&state, sections.data(), static_cast<int>(sections.size() / 5), delay,
                                              buffer.data());
  }
  static size_t Size(int S) {
    int size = 0;
    EXPECT_EQ(sp::generic::spIirBiquadGetStateSize_32f(S, &size), SP_OK);
    return static_cast<size_t>(size);
  }
  GuardedBuffer buffer;
  spIirState* state = nullptr;
  spStatus status = SP_OK;
};

std::vector<float> RandomSections(std::mt19937& rng, int S) {
  std::vector<float> sec;
  for (int s = 0; s < S; ++s) {
    const auto a = PolyFromRoots(RandomRoots(rng, 2, 0.9));
    const auto b = PolyFromRoots(RandomRoots(rng, 2, 1.1));
    for (double v : {b[0], b[1], b[2], a[1], a[2]}) sec.push_back(static_cast<float>(v));
  }
  return sec;
}

TEST(IirBiquad, BuilderRefusesBadArguments) {
  int size = 0;
  std::vector<float> sec(5, 0.0f);
  std::vector<uint8> buf(8192);
  spIirState* s = nullptr;
  EXPECT_EQ(sp::generic::spIirBiquadGetStateSize_32f(1, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(sp::generic::spIirBiquadGetStateSize_32f(0, &size), SP_ERROR_FILTER_ORDER);
  EXPECT_EQ(sp::generic::spIirBiquadGetStateSize_32f(std::numeric_limits<int>::max() / 4, &size),
            SP_ERROR_FILTER_ORDER);
  EXPECT_EQ(sp::generic::spIirBiquadInit_32f(nullptr, sec.data(), 1, nullptr, buf.data()), SP_ERROR_NULL);
  EXPECT_EQ(sp::generic::spIirBiquadInit_32f(&s, nullptr, 1, nullptr, buf.data()), SP_ERROR_NULL);
  EXPECT_EQ(sp::generic::spIirBiquadInit_32f(&s, sec.data(), 1, nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(sp::generic::spIirBiquadInit_32f(&s, sec.data(), 0, nullptr, buf.data()), SP_ERROR_FILTER_ORDER);
  EXPECT_EQ(s, nullptr);
}

TEST(IirBiquad, UnitSectionPassesTheSignalUnchanged) {
  std::mt19937 rng(2);
  const auto x = RandomSignal(rng, 700);
  for (const IirBuild& b : AllBuilds()) {
    if (!b.supported) continue;
    for (int len : {1, 4, 5, 700}) {
      Biquad q({1, 0, 0, 0, 0});
      std::vector<float> y(x.begin(), x.begin() + len);
      ASSERT_EQ(b.filter(y.data(), len, q.state), SP_OK);
      EXPECT_TRUE(std::equal(y.begin(), y.end(), x.begin())) << b.name << " len=" << len;
      EXPECT_EQ(q.state->pDelay[0], 0.0f);
      EXPECT_EQ(q.state->pDelay[1], 0.0f);
    }
  }
}

TEST(IirBiquad, CascadesMatchTheOracleInEveryBuildAndSplit) {
  std::mt19937 rng(17);
  for (int S = 1; S <= 6; ++S) {
    const auto sec = RandomSections(rng, S);
    const auto x = RandomSignal(rng, 2500);
    const auto want = BiquadOracle(sec, x);
    for (const IirBuild& b : AllBuilds()) {
      if (!b.supported) continue;
      for (const std::vector<int>& calls :
           std::vector<std::vector<int>>{{2500}, {1}, {3}, {4 * S}, {4 * S + 1}, {1024, 1024, 452}, {511, 7}}) {
        Biquad q(sec, nullptr, static_cast<size_t>(S % 4) * 4);
        std::vector<float> y = x;
        size_t pos = 0, c = 0;
        while (pos < y.size()) {
          const size_t n = std::min(y.size() - pos, static_cast<size_t>(calls[std::min(c++, calls.size() - 1)]));
          ASSERT_EQ(b.filter(y.data() + pos, static_cast<int>(n), q.state), SP_OK);
          pos += n;
        }
        EXPECT_LT(RelativeError(y, want), 2e-5) << b.name << " S=" << S << " call " << calls[0];
        EXPECT_TRUE(q.buffer.GuardsIntact());
      }
    }
  }
}

TEST(IirBiquad, AgreesWithTheEquivalentArbitraryOrderState) {
  std::mt19937 rng(33);
  const auto sec = RandomSections(rng, 2);
  // The fourth-order polynomials of the two sections multiplied out.
  std::vector<double> b(5, 0.0), a(5, 0.0);
  const double b0[3] = {sec[0], sec[1], sec[2]}, b1[3] = {sec[5], sec[6], sec[7]};
  const double a0[3] = {1, sec[3], sec[4]}, a1[3] = {1, sec[8], sec[9]};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      b[static_cast<size_t>(i + j)] += b0[i] * b1[j];
      a[static_cast<size_t>(i + j)] += a0[i] * a1[j];
    }
  std::vector<float> taps;
  for (double v : b) taps.push_back(static_cast<float>(v));
  for (double v : a) taps.push_back(static_cast<float>(v));
  const auto x = RandomSignal(rng, 900);
  for (const IirBuild& bd : AllBuilds()) {
    if (!bd.supported) continue;
    Biquad q(sec);
    std::vector<float> y = x;
    ASSERT_EQ(bd.filter(y.data(), static_cast<int>(y.size()), q.state), SP_OK);
    IirFilter f(bd, taps);
    EXPECT_LT(RelativeError(y, f.Run(x)), 1e-4) << bd.name;
  }
}

// The entries run the build that spDispatchIndex selects: the state size tells them apart.
TEST(IirEntries, DispatchToTheSelectedBuild) {
  const int saved = spDispatchIndex;
  const std::vector<float> taps = {1, 0, 1, -0.5f};
  for (int index = 0; index < 4; ++index) {
    if (!AllBuilds()[static_cast<size_t>(index)].supported) continue;
    spDispatchIndex = index;
    int size = 0;
    ASSERT_EQ(spIirGetStateSize_32f(1, &size), SP_OK);
    EXPECT_EQ(size, index == 0 ? 144 : 4376);
    std::vector<uint8> buf(static_cast<size_t>(size));
    spIirState* s = nullptr;
    ASSERT_EQ(spIirInit_32f(&s, taps.data(), 1, nullptr, buf.data()), SP_OK);
    std::vector<float> x(9, 0.0f);
    x[0] = 2.0f;
    ASSERT_EQ(spIirFilterInPlace_32f(x.data(), 9, s), SP_OK);
    EXPECT_EQ(x[8], 2.0f / 256);
  }
  spDispatchIndex = saved;
}

}  // namespace
