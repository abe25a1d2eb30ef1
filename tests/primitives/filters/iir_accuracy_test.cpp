// Accuracy of the 32-bit float IIR filter in every build on ill-conditioned direct-form
// filters against the difference equation in long double, and the builds' agreement on
// infinite inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "iir_test_util.h"
#include "sp/iir.h"
#include "sp/iir_typed.h"

namespace {

using namespace iir_test;

// The difference equation a0 y[t] = sum b_k x[t-k] - sum_{k>=1} a_k y[t-k] in long
// double, from rest.
std::vector<long double> LongDoubleReference(const std::vector<float>& taps, const std::vector<float>& x) {
  const size_t n = taps.size() / 2 - 1;
  const long double a0 = taps[n + 1];
  std::vector<long double> y(x.size());
  for (size_t t = 0; t < x.size(); ++t) {
    long double acc = 0.0L;
    for (size_t k = 0; k <= n && k <= t; ++k) acc += static_cast<long double>(taps[k]) * x[t - k];
    for (size_t k = 1; k <= n && k <= t; ++k) acc -= static_cast<long double>(taps[n + 1 + k]) * y[t - k];
    y[t] = acc / a0;
  }
  return y;
}

// max |y - ref| / max |ref|.
double PeakRelativeError(const std::vector<float>& y, const std::vector<long double>& ref) {
  long double err = 0.0L, peak = 0.0L;
  for (size_t i = 0; i < y.size(); ++i) {
    err = std::max(err, std::fabs(static_cast<long double>(y[i]) - ref[i]));
    peak = std::max(peak, std::fabs(ref[i]));
  }
  return static_cast<double>(err / peak);
}

struct AccuracyCase {
  const char* name;
  std::vector<float> taps;  // b0..bn, a0..an
  double genericCeiling;    // the generic build's error stays below this
};

// Low-cutoff filters whose poles crowd near z = 1: Butterworth low-passes and an
// elliptic low-pass (0.5 dB ripple, 60 dB stop band), cut-offs relative to Nyquist.
const std::vector<AccuracyCase>& AccuracyCases() {
  static const std::vector<AccuracyCase> cases = {
      {"butterworth 4, 0.01",
       {5.84514233e-08f, 2.33805693e-07f, 3.50708547e-07f, 2.33805693e-07f, 5.84514233e-08f, 1.0f, -3.91790795f,
        5.75707626f, -3.76034951f, 0.921181917f},
       0.3},
      {"butterworth 8, 0.1",
       {1.76255369e-07f, 1.41004296e-06f, 4.93515063e-06f, 9.87030126e-06f, 1.23378759e-05f, 9.87030126e-06f,
        4.93515063e-06f, 1.41004296e-06f, 1.76255369e-07f, 1.0f, -6.39036465f, 18.0003376f, -29.1710987f,
        29.7313747f, -19.5056324f, 8.0409956f, -1.90366888f, 0.198100016f},
       0.1},
      {"butterworth 2, 0.002", {9.825917e-06f, 1.9651834e-05f, 9.825917e-06f, 1.0f, -1.99111426f, 0.991153598f}, 1e-3},
      {"elliptic 4, 0.1",
       {0.00211071107f, -0.00245090877f, 0.00381743838f, -0.00245090877f, 0.00211071107f, 1.0f, -3.53277111f,
        4.78387833f, -2.93590641f, 0.688122332f},
       3e-4},
  };
  return cases;
}

std::vector<float> UniformSignal(unsigned seed, size_t len) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> x(len);
  for (float& v : x) v = d(rng);
  return x;
}

// 200,000 samples in one call: every processor build within twice the generic build's
// error, on two signals each.
TEST(IirAccuracy, ProcessorBuildsWithinTwiceTheGenericErrorOnLowCutoffFilters) {
  for (const AccuracyCase& c : AccuracyCases()) {
    for (unsigned seed : {1u, 2u}) {
      const auto x = UniformSignal(seed, 200000);
      const auto ref = LongDoubleReference(c.taps, x);
      IirFilter g(AllBuilds()[0], c.taps);
      const double genericError = PeakRelativeError(g.Run(x), ref);
      EXPECT_LT(genericError, c.genericCeiling) << c.name;
      for (const IirBuild& b : ProcessorBuilds()) {
        IirFilter f(b, c.taps);
        const double error = PeakRelativeError(f.Run(x), ref);
        EXPECT_LE(error, 2.0 * genericError) << b.name << " " << c.name << " seed " << seed;
      }
    }
  }
}

// Calls of other lengths move the block boundaries: each split stays as accurate.
TEST(IirAccuracy, CallSplitsKeepTheAccuracy) {
  const auto x = UniformSignal(3, 60000);
  for (const AccuracyCase& c : AccuracyCases()) {
    const auto ref = LongDoubleReference(c.taps, x);
    IirFilter g(AllBuilds()[0], c.taps);
    const double genericError = PeakRelativeError(g.Run(x), ref);
    for (const IirBuild& b : ProcessorBuilds()) {
      for (const std::vector<int>& calls : std::vector<std::vector<int>>{{1000}, {37}, {4096, 5}}) {
        IirFilter f(b, c.taps);
        EXPECT_LE(PeakRelativeError(f.Run(x, calls), ref), 2.0 * genericError) << b.name << " " << c.name;
      }
    }
  }
}

// ---- block passes of the 16-bit and complex kernels

// The block passes of one processor build.
struct BlockPasses {
  const char* name;
  decltype(&sp::sse3::spIirInit_32f) init;
  decltype(&sp::sse3::spIirGetStateSize_32f) size;
  decltype(&sp::sse3::spIirBlockFeedForward_16s) feedForward16s;
  decltype(&sp::sse3::spIirBlockFeedback_16s) feedback16s;
  decltype(&sp::sse3::spIirBlockFeedForward_32fc) feedForward32fc;
  decltype(&sp::sse3::spIirBlockFeedback_32fc) feedback32fc;
};

#define IIRACC_PASSES(ns)                                                                              \
  BlockPasses {                                                                                        \
    #ns, &sp::ns::spIirInit_32f, &sp::ns::spIirGetStateSize_32f, &sp::ns::spIirBlockFeedForward_16s,  \
        &sp::ns::spIirBlockFeedback_16s, &sp::ns::spIirBlockFeedForward_32fc,                          \
        &sp::ns::spIirBlockFeedback_32fc                                                               \
  }

std::vector<BlockPasses> SupportedPasses() {
  std::vector<BlockPasses> out;
  if (__builtin_cpu_supports("sse3")) out.push_back(IIRACC_PASSES(sse3));
  if (__builtin_cpu_supports("ssse3")) out.push_back(IIRACC_PASSES(ssse3));
  if (__builtin_cpu_supports("sse4.1")) out.push_back(IIRACC_PASSES(sse41));
  return out;
}

// The 16-bit passes read the float state's table: on 16-bit input (whole numbers as
// floats through the generic filter) they stay within twice the generic error.
TEST(IirAccuracy, SixteenBitBlockPassesWithinTwiceTheGenericError) {
  constexpr size_t kLen = 30000;
  std::mt19937 rng(12);
  std::uniform_int_distribution<int> d(-16000, 16000);
  for (const AccuracyCase& c : AccuracyCases()) {
    const size_t n = c.taps.size() / 2 - 1;
    std::vector<int16> src(n + kLen);
    std::vector<float> xs(src.size());
    for (size_t i = 0; i < src.size(); ++i) xs[i] = src[i] = static_cast<int16>(d(rng));
    const auto ref = LongDoubleReference(c.taps, xs);
    IirFilter g(AllBuilds()[0], c.taps);
    const double genericError = PeakRelativeError(g.Run(xs), ref);
    for (const BlockPasses& k : SupportedPasses()) {
      int size = 0;
      ASSERT_EQ(k.size(static_cast<int>(n), &size), SP_OK);
      std::vector<uint8> buf(static_cast<size_t>(size));
      spIirState* s = nullptr;
      ASSERT_EQ(k.init(&s, c.taps.data(), static_cast<int>(n), nullptr, buf.data()), SP_OK);
      // The history: the first n outputs from the reference.
      std::vector<float> line(src.size());
      for (size_t i = 0; i < n; ++i) line[i] = static_cast<float>(ref[i]);
      std::vector<float> ff(kLen + 4);
      std::vector<int16> dst(src.size());
      k.feedForward16s(src.data(), ff.data(), kLen, s->pNumeratorVectors, static_cast<int>(n));
      k.feedback16s(ff.data(), line.data(), kLen, s->pFeedbackVectors, static_cast<int>(n), dst.data(), 0);
      EXPECT_LE(PeakRelativeError(line, ref), 2.0 * genericError) << k.name << " " << c.name;
    }
  }
}

// The complex table holds the filter's own coefficients too: a real filter on complex
// data, and the same filter shifted in frequency (a'k e^(i k w)), stay within twice the
// generic build's error on the real filter.
TEST(IirAccuracy, ComplexBlockPassesWithinTwiceTheGenericError) {
  using Cl = std::complex<long double>;
  constexpr size_t kLen = 30000;
  std::mt19937 rng(13);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  for (const AccuracyCase& c : AccuracyCases()) {
    const size_t n = c.taps.size() / 2 - 1;
    std::vector<float> re(n + kLen);
    for (float& v : re) v = d(rng);
    IirFilter g(AllBuilds()[0], c.taps);
    const double genericError = PeakRelativeError(g.Run(re), LongDoubleReference(c.taps, re));
    for (double w : {0.0, 0.3}) {
      // Taps b_k e^(i k w), a_k e^(i k w) rounded to float, and the signal.
      std::vector<spComplex32f> taps(c.taps.size());
      std::vector<Cl> tl(c.taps.size());
      for (size_t k = 0; k <= n; ++k) {
        for (size_t half : {size_t{0}, n + 1}) {
          const std::complex<double> v = std::polar(static_cast<double>(c.taps[half + k]), w * static_cast<double>(k));
          taps[half + k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
          tl[half + k] = Cl(taps[half + k].re, taps[half + k].im);
        }
      }
      std::vector<spComplex32f> x(n + kLen);
      for (size_t i = 0; i < x.size(); ++i) x[i] = {re[i], d(rng)};
      std::vector<Cl> ref(x.size());
      long double peak = 0.0L;
      for (size_t t = 0; t < x.size(); ++t) {
        Cl acc = 0.0L;
        for (size_t k = 0; k <= n && k <= t; ++k) acc += tl[k] * Cl(x[t - k].re, x[t - k].im);
        for (size_t k = 1; k <= n && k <= t; ++k) acc -= tl[n + 1 + k] * ref[t - k];
        ref[t] = acc / tl[n + 1];
        peak = std::max(peak, std::abs(ref[t]));
      }
      alignas(16) float nv[8 * 9];
      alignas(16) float fb[16 * 9];
      ASSERT_EQ(sp::generic::spIirComplexBlockTables_32fc(taps.data(), static_cast<int>(n), nv, fb), SP_OK);
      for (const BlockPasses& k : SupportedPasses()) {
        std::vector<spComplex32f> line(x.size()), ff(kLen);
        for (size_t i = 0; i < n; ++i)
          line[i] = {static_cast<float>(ref[i].real()), static_cast<float>(ref[i].imag())};
        k.feedForward32fc(x.data(), ff.data(), kLen, nv, static_cast<int>(n));
        k.feedback32fc(ff.data(), line.data(), kLen, fb, static_cast<int>(n));
        long double err = 0.0L;
        for (size_t i = 0; i < x.size(); ++i) err = std::max(err, std::abs(Cl(line[i].re, line[i].im) - ref[i]));
        EXPECT_LE(static_cast<double>(err / peak), 2.0 * genericError) << k.name << " " << c.name << " w=" << w;
      }
    }
  }
}

// ---- infinite inputs

enum class Kind { Finite, PlusInf, MinusInf, NaN };

Kind KindOf(float v) {
  if (std::isnan(v)) return Kind::NaN;
  if (std::isinf(v)) return v > 0 ? Kind::PlusInf : Kind::MinusInf;
  return Kind::Finite;
}

// Every processor build gives each output the kind (finite, +inf, -inf, NaN) that the
// generic build's recurrence gives (finite values differ by rounding only, which the
// accuracy tests bound).
void ExpectSameKinds(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(KindOf(got[i]), KindOf(want[i])) << what << " sample " << i << ": " << got[i] << " against " << want[i];
}

TEST(IirSpecialInputs, InfiniteInputGivesTheRecurrencesOutputsInEveryBuild) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  std::mt19937 rng(41);
  std::vector<std::vector<float>> filters;
  for (const AccuracyCase& c : AccuracyCases()) filters.push_back(c.taps);
  for (int n : {1, 2, 3, 5, 7}) filters.push_back(RandomStableTaps(rng, n));
  filters.push_back({0.5f, 0.25f, 1.0f, 0.5f});  // all feedback positive: infinities keep their sign
  for (const auto& taps : filters) {
    const int n = static_cast<int>(taps.size() / 2 - 1);
    // Positions in the block path at each lane of a group, at a block start and end, and
    // in the one-sample head of a block.
    for (int pos : {0, n - 1, 4 * n + 7, 4 * n + 8, 4 * n + 9, 4 * n + 10, 1023, 1024, 1500}) {
      if (pos < 0) continue;
      for (float inf : {kInf, -kInf}) {
        auto x = UniformSignal(static_cast<unsigned>(pos), 1600);
        x[static_cast<size_t>(pos)] = inf;
        IirFilter g(AllBuilds()[0], taps);
        const auto want = g.Run(x);
        ASSERT_TRUE(std::isinf(want[static_cast<size_t>(pos)])) << "n=" << n << " pos " << pos;
        for (const IirBuild& b : ProcessorBuilds()) {
          IirFilter f(b, taps);
          ExpectSameKinds(f.Run(x), want, std::string(b.name) + " n=" + std::to_string(n) + " pos " +
                                              std::to_string(pos) + (inf > 0 ? " +inf" : " -inf"));
        }
      }
    }
  }
}

TEST(IirSpecialInputs, InfiniteInputThroughBiquadCascadesInEveryBuild) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> cascades = {
      {1.0f, 0.5f, 0.25f, 0.5f, 0.25f},                                  // one section, positive feedback
      {0.2f, 0.4f, 0.2f, -1.2f, 0.5f, 1.0f, -0.3f, 0.1f, 0.3f, 0.2f},    // two sections
  };
  for (const auto& sec : cascades) {
    const int S = static_cast<int>(sec.size() / 5);
    int size = 0;
    ASSERT_EQ(sp::generic::spIirBiquadGetStateSize_32f(S, &size), SP_OK);
    for (int pos : {0, 9, 10, 11, 12, 700}) {
      auto x = UniformSignal(static_cast<unsigned>(pos) + 100, 800);
      x[static_cast<size_t>(pos)] = kInf;
      std::vector<float> want;
      for (const IirBuild& b : AllBuilds()) {
        if (!b.supported) continue;
        std::vector<uint8> buf(static_cast<size_t>(size));
        spIirState* s = nullptr;
        ASSERT_EQ(sp::generic::spIirBiquadInit_32f(&s, sec.data(), S, nullptr, buf.data()), SP_OK);
        std::vector<float> y = x;
        ASSERT_EQ(b.filter(y.data(), static_cast<int>(y.size()), s), SP_OK);
        if (want.empty()) {
          want = y;
          ASSERT_TRUE(std::isinf(want[static_cast<size_t>(pos)]));
        } else {
          ExpectSameKinds(y, want, std::string(b.name) + " S=" + std::to_string(S) + " pos " + std::to_string(pos));
        }
      }
    }
  }
}

}  // namespace
