// Multirate FIR: layout quantities and sizes of the system's converters, argument
// checks, dense and sparse states against the defining formula, phases, history, stream
// splitting and guard bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "fir_test_util.h"
#include "sp/fir.h"
#include "sp/sp.h"

namespace {

using namespace fir_test;
namespace g = sp::generic;

uint32 MultirateSize(int taps, int up, int down) {
  uint32 size = 0;
  EXPECT_EQ(g::spFirMultirateGetStateSize_32f(taps, up, down, &size), SP_OK);
  return size;
}

struct Resampler {
  Resampler(const std::vector<float>& taps, int up, int upPhase, int down, int downPhase,
            const std::vector<float>* history = nullptr, size_t misalign = 0)
      : U(up), D(down), buffer(MultirateSize(static_cast<int>(taps.size()), up, down), misalign) {
    EXPECT_EQ(g::spFirMultirateInit_32f(&state, taps.data(), static_cast<int>(taps.size()), up, upPhase, down,
                                        downPhase, history ? history->data() : nullptr, buffer.data()),
              SP_OK);
  }
  spFirMultirateState* mr() { return reinterpret_cast<spFirMultirateState*>(state); }
  std::vector<float> Run(const float* x, int iterations) {
    std::vector<float> y(static_cast<size_t>(iterations * U) + 8, 77.0f);
    EXPECT_EQ(g::spFirFilter_32f(x, y.data() + 4, iterations, state), SP_OK);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(y[static_cast<size_t>(i)], 77.0f);
      EXPECT_EQ(y[y.size() - 1 - static_cast<size_t>(i)], 77.0f);
    }
    return std::vector<float>(y.begin() + 4, y.end() - 4);
  }
  // Runs the input in calls of the given iteration counts (cycled) and joins the output.
  std::vector<float> RunInCalls(const std::vector<float>& x, const std::vector<int>& calls) {
    std::vector<float> out;
    const int total = static_cast<int>(x.size()) / D;
    int done = 0;
    for (size_t c = 0; done < total; ++c) {
      const int n = std::min(calls[c % calls.size()], total - done);
      // Each call gets its own exactly sized copy, so a read past the input shows.
      std::vector<float> part(x.begin() + done * D, x.begin() + (done + n) * D);
      const auto y = Run(part.data(), n);
      out.insert(out.end(), y.begin(), y.end());
      done += n;
    }
    return out;
  }
  int U, D;
  GuardedBuffer buffer;
  spFirState* state = nullptr;
};

void ExpectNear(const std::vector<float>& got, const std::vector<double>& want, double tol, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << what << ", output " << i;
}

TEST(FirMultirateLayout, TheSystemsConvertersGetDenseStatesOfTheDocumentedShape) {
  struct Case { int taps, up, down; int tpp, wl, cap, lo; std::vector<int> table; uint32 size; };
  const std::vector<Case> cases = {
      {66, 2, 1, 33, 35, 40, 72, {1, 2, 1}, 18272u},
      {66, 1, 2, 66, 72, 87, 36, {1, 7}, 18624u},
      {132, 4, 1, 33, 34, 40, 144, {1, 1, 1, 1, 0}, 19600u},
      {132, 1, 4, 132, 144, 173, 36, {1, 15}, 20640u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MultirateSize(c.taps, c.up, c.down), c.size);
    Resampler r(std::vector<float>(static_cast<size_t>(c.taps), 1.0f), c.up, 0, c.down, 0);
    auto* s = r.mr();
    EXPECT_EQ(s->tag, SP_FIR_MULTIRATE_TAG);
    EXPECT_EQ(s->multirateKind, 1u);
    EXPECT_EQ(s->tapsPerPhase, c.tpp);
    EXPECT_EQ(s->windowLen, c.wl);
    EXPECT_EQ(s->lineCapacity, c.cap);
    EXPECT_EQ(s->lineOutputs, c.lo);
    EXPECT_EQ(s->fftLen, -1);
    EXPECT_EQ(std::vector<int>(s->phaseTable, s->phaseTable + c.up + 1), c.table);
  }
}

TEST(FirMultirateLayout, UnitFactorsBuildASingleRateState) {
  std::vector<float> taps(24, 0.5f);
  uint32 size = 0;
  ASSERT_EQ(g::spFirMultirateGetStateSize_32f(24, 1, 1, &size), SP_OK);
  EXPECT_EQ(size, 16976u);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  ASSERT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 24, 1, 0, 1, 0, nullptr, buf.data()), SP_OK);
  EXPECT_EQ(s->tag, SP_FIR_SINGLE_RATE_TAG);
}

TEST(FirMultirateLayout, DensityDecidesBetweenDenseAndSparse) {
  struct Case { int taps, up, down; uint32 kind; };
  for (const Case& c : std::vector<Case>{{9, 2, 7, 1}, {6, 1, 2, 2}, {7, 1, 2, 1}, {1, 3, 5, 3}, {4, 3, 5, 3}, {30, 3, 5, 1}}) {
    Resampler r(std::vector<float>(static_cast<size_t>(c.taps), 1.0f), c.up, 0, c.down, 0);
    EXPECT_EQ(r.mr()->multirateKind, c.kind) << c.taps << " taps " << c.up << "/" << c.down;
  }
}

TEST(FirMultirateChecks, StatusesComeInOrder) {
  std::vector<float> taps(8, 1.0f);
  std::vector<uint8_t> buf(MultirateSize(8, 2, 3));
  spFirState* s = nullptr;
  uint32 size = 0;
  EXPECT_EQ(g::spFirMultirateGetStateSize_32f(0, 0, 0, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirMultirateGetStateSize_32f(0, 0, 0, &size), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(g::spFirMultirateGetStateSize_32f(8, 0, 1, &size), SP_ERROR_RATE_FACTOR);
  EXPECT_EQ(g::spFirMultirateGetStateSize_32f(8, 1, -2, &size), SP_ERROR_RATE_FACTOR);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, nullptr, 8, 2, 0, 3, 0, nullptr, buf.data()), SP_ERROR_NULL);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 0, 0, 5, 3, 0, nullptr, buf.data()), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 8, 0, 5, 3, 0, nullptr, buf.data()), SP_ERROR_RATE_FACTOR);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 8, 2, 2, 3, 0, nullptr, buf.data()), SP_ERROR_RATE_PHASE);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 8, 2, 0, 3, 3, nullptr, buf.data()), SP_ERROR_RATE_PHASE);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 8, 2, -1, 3, 0, nullptr, buf.data()), SP_ERROR_RATE_PHASE);
  EXPECT_EQ(s, nullptr);
  // Factors whose state sizes cannot be represented are refused.
  EXPECT_EQ(g::spFirMultirateGetStateSize_32f(8, 1, 0x40000000, &size), SP_ERROR_RATE_FACTOR);
  EXPECT_EQ(g::spFirMultirateInit_32f(&s, taps.data(), 8, 0x10000000, 0, 3, 0, nullptr, buf.data()),
            SP_ERROR_RATE_FACTOR);
}

TEST(FirMultirateChecks, AnUnknownKindIsRefusedWithoutTouchingAnything) {
  Resampler r(std::vector<float>(66, 1.0f), 2, 0, 1, 0);
  r.mr()->multirateKind = 9;
  std::vector<float> x(16, 1.0f), y(32, 3.0f);
  const std::vector<float> before(r.mr()->delayLine, r.mr()->delayLine + 33);
  EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), 16, r.state), SP_ERROR_WRONG_RECORD);
  EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 3.0f; }));
  EXPECT_EQ(std::vector<float>(r.mr()->delayLine, r.mr()->delayLine + 33), before);
}

// A call whose input count (D x numIters) or output count (U x numIters) does not fit a
// signed 32-bit integer is refused before anything is read or written, for every kind of
// state. The buffers hold a few samples only: any access past them shows under the
// address sanitizer.
TEST(FirMultirateChecks, CallsWhoseCountsDoNotFit32BitsAreRefusedUntouched) {
  struct Case {
    int taps, U, D;
    int32 iterations;
    uint32 kind;
  };
  const Case cases[] = {
      {66, 2, 1, 0x40000000, 1},                       // outputs 2^31
      {66, 1, 2, 0x40000000, 1},                       // inputs 2^31
      {132, 4, 1, 0x7FFFFFFF / 4 + 1, 1},
      {9, 2, 7, 0x7FFFFFFF / 7 + 1, 1},                // inputs only
      {6, 1, 2, 0x7FFFFFFF, 2},
      {1, 3, 5, 0x7FFFFFFF / 5 + 1, 3},                // inputs only
      {1, 5, 3, 0x7FFFFFFF / 5 + 1, 3},                // outputs only
  };
  for (const Case& c : cases) {
    Resampler r(std::vector<float>(static_cast<size_t>(c.taps), 0.5f), c.U, 0, c.D, 0);
    ASSERT_EQ(r.mr()->multirateKind, c.kind) << c.taps << " taps " << c.U << "/" << c.D;
    const int tpp = r.mr()->tapsPerPhase;
    const std::vector<float> before(r.mr()->delayLine, r.mr()->delayLine + tpp);
    std::vector<float> x(16, 1.0f), y(16, 3.0f);
    EXPECT_EQ(g::spFirFilter_32f(x.data(), y.data(), c.iterations, r.state), SP_ERROR_LENGTH)
        << c.taps << " taps " << c.U << "/" << c.D;
    EXPECT_EQ(spFirFilter_32f(x.data(), y.data(), c.iterations, r.state), SP_ERROR_LENGTH);
    EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 3.0f; }));
    EXPECT_EQ(std::vector<float>(r.mr()->delayLine, r.mr()->delayLine + tpp), before);
    EXPECT_TRUE(r.buffer.GuardsIntact());
  }
}

// Outputs and inputs run at different rates, so an overlapping output is refused before
// anything is read or written, whatever the offset.
TEST(FirMultirateChecks, OverlappingBuffersAreRefusedUntouched) {
  for (auto [taps, U, D] : std::vector<std::tuple<int, int, int>>{{66, 2, 1}, {66, 1, 2}, {6, 1, 2}, {1, 3, 5}}) {
    Resampler r(std::vector<float>(static_cast<size_t>(taps), 0.5f), U, 0, D, 0);
    const int tpp = r.mr()->tapsPerPhase;
    const std::vector<float> history(r.mr()->delayLine, r.mr()->delayLine + tpp);
    const int iterations = 100;
    for (int offset : {0, 1, -1, 50, -50, (iterations - 1) * D, -(iterations - 1) * U}) {
      std::vector<float> buf(static_cast<size_t>(iterations * (U + D) * 2), 2.0f);
      float* mid = buf.data() + buf.size() / 2;
      EXPECT_EQ(g::spFirFilter_32f(mid, mid + offset, iterations, r.state), SP_ERROR_OVERLAP)
          << taps << " taps " << U << "/" << D << " offset " << offset;
      EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](float v) { return v == 2.0f; }));
      EXPECT_EQ(std::vector<float>(r.mr()->delayLine, r.mr()->delayLine + tpp), history);
    }
    // Adjacent buffers do not overlap.
    std::vector<float> buf(static_cast<size_t>(iterations * (U + D)), 1.0f);
    EXPECT_EQ(g::spFirFilter_32f(buf.data(), buf.data() + iterations * D, iterations, r.state), SP_OK);
  }
}

// The property at the heart of the filter: for any configuration and any cutting of the
// stream into calls, the output is the defining formula (up to single-precision
// rounding), nothing is read past the input and nothing written past the output.
void CheckAgainstFormula(std::mt19937& rng, int taps, int U, int D, int pu, int pd, int iterations,
                         const std::vector<int>& calls, size_t misalign = 0) {
  const auto h = RandomSignal(rng, taps);
  const auto x = RandomSignal(rng, iterations * D);
  Resampler r(h, U, pu, D, pd, nullptr, misalign);
  const auto got = r.RunInCalls(x, calls);
  const auto want = MultirateOracle(h, x, U, D, pu, pd, static_cast<size_t>(iterations * U));
  char what[96];
  std::snprintf(what, sizeof what, "%d taps, %d/%d, phases %d/%d, kind %u", taps, U, D, pu, pd, r.mr()->multirateKind);
  ExpectNear(got, want, Tolerance(Magnitude(h, 1.0f), static_cast<size_t>(taps)), what);
  EXPECT_TRUE(r.buffer.GuardsIntact()) << what;
}

TEST(FirMultirateFormula, TheSystemsConvertersInEveryCallPattern) {
  std::mt19937 rng(8);
  const std::vector<std::vector<int>> patterns = {{1}, {2}, {3}, {5}, {40}, {64}, {256}, {1, 2, 3, 5, 40, 64}, {1000}};
  for (auto [taps, U, D] : std::vector<std::tuple<int, int, int>>{{66, 2, 1}, {66, 1, 2}, {132, 4, 1}, {132, 1, 4}})
    for (const auto& calls : patterns) CheckAgainstFormula(rng, taps, U, D, 0, 0, 1000, calls);
}

TEST(FirMultirateFormula, RandomConfigurationsPhasesAndAlignments) {
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> tapsD(1, 90), factorD(1, 6), callD(1, 70);
  for (int trial = 0; trial < 150; ++trial) {
    const int taps = tapsD(rng), U = factorD(rng), D = factorD(rng);
    if (U == 1 && D == 1) continue;
    const int pu = std::uniform_int_distribution<int>(0, U - 1)(rng);
    const int pd = std::uniform_int_distribution<int>(0, D - 1)(rng);
    std::vector<int> calls = {callD(rng), callD(rng), callD(rng)};
    CheckAgainstFormula(rng, taps, U, D, pu, pd, 400, calls, static_cast<size_t>(trial % 16));
  }
}

TEST(FirMultirateFormula, PhasesShiftTheGrids) {
  std::mt19937 rng(10);
  CheckAgainstFormula(rng, 12, 3, 2, 1, 0, 90, {7});
}

TEST(FirMultirateFormula, OutputsWithoutTapsAreZero) {
  // One tap, up 3, down 5: a sparse state where most columns hold no tap.
  Resampler r({2.0f}, 3, 0, 5, 0);
  EXPECT_EQ(r.mr()->multirateKind, 3u);
  std::vector<float> x(50);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i + 1);
  const auto y = r.Run(x.data(), 10);
  const auto want = MultirateOracle({2.0f}, x, 3, 5, 0, 0, 30);
  for (size_t n = 0; n < y.size(); ++n) EXPECT_EQ(y[n], static_cast<float>(want[n])) << n;
}

TEST(FirMultirateHistory, AHistoryOfTapsPerPhaseSamplesContinuesTheStream) {
  std::mt19937 rng(11);
  for (auto [taps, U, D] : std::vector<std::tuple<int, int, int>>{{66, 2, 1}, {66, 1, 2}, {10, 3, 2}, {5, 1, 3}}) {
    const int tpp = (taps + U - 1) / U;
    const auto h = RandomSignal(rng, taps);
    const auto history = RandomSignal(rng, tpp);  // newest first
    const auto x = RandomSignal(rng, 60 * D);
    Resampler r(h, U, 0, D, 0, &history);
    const auto got = r.Run(x.data(), 60);
    ExpectNear(got, MultirateOracle(h, x, U, D, 0, 0, static_cast<size_t>(60 * U), history),
               Tolerance(Magnitude(h, 1.0f), static_cast<size_t>(taps)), "history");
  }
}

TEST(FirMultirateEntries, TheDispatchEntriesReachTheGenericBodies) {
  std::vector<float> taps(66, 0.01f);
  uint32 size = 0;
  ASSERT_EQ(spFirMultirateGetStateSize_32f(66, 2, 1, &size), SP_OK);
  EXPECT_EQ(size, 18272u);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  ASSERT_EQ(spFirMultirateInit_32f(&s, taps.data(), 66, 2, 0, 1, 0, nullptr, buf.data()), SP_OK);
  std::vector<float> x(4, 1.0f), y(8);
  EXPECT_EQ(spFirFilter_32f(x.data(), y.data(), 4, s), SP_OK);
}

}  // namespace
