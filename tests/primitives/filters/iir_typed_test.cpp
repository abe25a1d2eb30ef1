// IIR kernels for integer, double-precision and complex data in every processor build:
// integer rounding, saturation and scale factors (NaN and out-of-range factors
// included), every one-sample step against a double-precision difference equation, and
// the block passes against the one-sample steps.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "iir_test_util.h"
#include "sp/iir_typed.h"

namespace {

using namespace iir_test;
using fir_test::GuardedBuffer;
using Cd = std::complex<double>;

// The kernels of one processor build that the tests call.
#define IIRTYPED_KERNELS(X)                                                                                 \
  X(spIirSampleBiquadCascade_16s) X(spIirSampleArbitraryOrder_16s) X(spIirSampleArbitraryOrderRaw_16s)     \
  X(spIirSampleArbitraryOrder_32fc) X(spIirSampleBiquadCascade_32fc) X(spIirSampleArbitraryOrder_16sc)     \
  X(spIirSampleArbitraryOrderRaw_16sc) X(spIirSampleBiquadCascade_16sc) X(spIirSampleBiquadCascade_64f)    \
  X(spIirSampleBiquadCascade64f_16s) X(spIirSampleBiquadCascade64f_32s) X(spIirSampleBiquadCascade64f_32f) \
  X(spIirSampleArbitraryOrder_64f) X(spIirSampleArbitraryOrder64f_32s) X(spIirSampleArbitraryOrderRaw64f_32s) \
  X(spIirSampleArbitraryOrder64f_16s) X(spIirSampleArbitraryOrderRaw64f_16s) X(spIirSampleArbitraryOrder64f_32f) \
  X(spIirSampleArbitraryOrderRaw64f_32f) X(spIirSampleArbitraryOrder_64fc) X(spIirSampleBiquadCascade_64fc) \
  X(spIirSampleArbitraryOrder64f_32sc) X(spIirSampleArbitraryOrderRaw64f_32sc)                             \
  X(spIirSampleBiquadCascade64f_32sc) X(spIirSampleArbitraryOrder64f_16sc)                                 \
  X(spIirSampleArbitraryOrderRaw64f_16sc) X(spIirSampleBiquadCascade64f_16sc)                              \
  X(spIirSampleArbitraryOrder64f_32fc) X(spIirSampleArbitraryOrderRaw64f_32fc)                             \
  X(spIirSampleBiquadCascade64f_32fc) X(spIirBiquadBlockFeedForward_16s) X(spIirBiquadBlockFeedback_16s)   \
  X(spIirBlockFeedForward_16s) X(spIirBlockFeedback_16s) X(spIirBlockFeedForward_32fc)                     \
  X(spIirBlockFeedback_32fc) X(spIirBlockFeedForward_16sc) X(spIirBlockFeedback_16sc)                      \
  X(spIirInit_32f) X(spIirGetStateSize_32f)

#define IIRTYPED_FIELD(k) decltype(&sp::sse3::k) k;
struct Kernels {
  const char* name;
  IIRTYPED_KERNELS(IIRTYPED_FIELD)
};
#define IIRTYPED_ADDR(k) &sp::NS::k,

std::vector<Kernels> Builds() {
  std::vector<Kernels> out;
#define NS sse3
  if (__builtin_cpu_supports("sse3")) out.push_back(Kernels{"sse3", IIRTYPED_KERNELS(IIRTYPED_ADDR)});
#undef NS
#define NS ssse3
  if (__builtin_cpu_supports("ssse3")) out.push_back(Kernels{"ssse3", IIRTYPED_KERNELS(IIRTYPED_ADDR)});
#undef NS
#define NS sse41
  if (__builtin_cpu_supports("sse4.1")) out.push_back(Kernels{"sse41", IIRTYPED_KERNELS(IIRTYPED_ADDR)});
#undef NS
  return out;
}

// A typed state in a guarded buffer.
struct Typed {
  Typed(spIirDataKind kind, uint32 tag, const void* taps, int count, const void* delay = nullptr)
      : buffer(Size(kind, tag, count), 8) {
    status = sp::generic::spIirTypedInit(kind, tag, &state, taps, count, delay, buffer.data());
  }
  static size_t Size(spIirDataKind kind, uint32 tag, int count) {
    int size = 0;
    EXPECT_EQ(sp::generic::spIirTypedGetStateSize(kind, tag, count, &size), SP_OK);
    return static_cast<size_t>(size);
  }
  GuardedBuffer buffer;
  spIirState* state = nullptr;
  spStatus status = SP_OK;
};

// A float state of a processor build (order >= 1), for the single-precision 16-bit kernels.
struct FloatState {
  FloatState(const Kernels& k, const std::vector<float>& taps) {
    int size = 0;
    k.spIirGetStateSize_32f(static_cast<int>(taps.size() / 2 - 1), &size);
    buffer.resize(static_cast<size_t>(size));
    EXPECT_EQ(k.spIirInit_32f(&state, taps.data(), static_cast<int>(taps.size() / 2 - 1), nullptr, buffer.data()),
              SP_OK);
  }
  std::vector<uint8> buffer;
  spIirState* state = nullptr;
};

int Biquad16Size(int S) {
  int size = 0;
  EXPECT_EQ(sp::generic::spIirBiquadGetStateSize_32f(S, &size), SP_OK);
  return size;
}

// The exact integer an output y with the given factor must write.
template <class I>
I Expected(long double y, int sf) {
  if (std::isnan(y)) return 0;
  const long double v = std::ldexp(y, -std::max(-5000, std::min(5000, sf)));
  if (v >= std::numeric_limits<I>::max()) return std::numeric_limits<I>::max();
  if (v <= std::numeric_limits<I>::min()) return std::numeric_limits<I>::min();
  return static_cast<I>(std::nearbyint(v));
}

// Order 0, b0 = value: every step writes value * x.
Typed Gain64f(double value) {
  const double taps[2] = {value, 1.0};
  return Typed(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, taps, 0);
}

TEST(IirTypedOutput, RoundsTiesToEvenAndSaturates) {
  struct Row {
    double y;
    int sf;
    int16 out16;
    int32 out32;
  };
  const Row rows[] = {
      {2.5, 0, 2, 2},           {3.5, 0, 4, 4},          {-2.5, 0, -2, -2},       {5.0, 1, 2, 2},
      {5.0, -1, 10, 10},        {40000.0, 0, 32767, 40000}, {-40000.0, 0, -32768, -40000},
      {3.0e9, 0, 32767, 2147483647}, {-3.0e9, 0, -32768, -2147483647 - 1}, {2147483647.4, 0, 32767, 2147483647},
  };
  for (const Kernels& k : Builds()) {
    for (const Row& r : rows) {
      Typed g = Gain64f(r.y);
      const int32 one32 = 1;
      const int16 one16 = 1;
      int32 o32 = 0;
      int16 o16 = 0;
      k.spIirSampleArbitraryOrder64f_32s(&one32, &o32, g.state, r.sf);
      k.spIirSampleArbitraryOrder64f_16s(&one16, &o16, g.state, r.sf);
      EXPECT_EQ(o32, r.out32) << k.name << " y=" << r.y;
      EXPECT_EQ(o16, r.out16) << k.name << " y=" << r.y;
      // The single-precision kernel, on a float state of gain y.
      if (std::fabs(r.y) < 1e10) {
        FloatState f(k, {static_cast<float>(r.y), 0.0f, 1.0f, 0.0f});
        k.spIirSampleArbitraryOrder_16s(&one16, &o16, f.state, r.sf);
        EXPECT_EQ(o16, Expected<int16>(static_cast<float>(r.y), r.sf)) << k.name << " y=" << r.y;
      }
    }
  }
}

// Out-of-range factors no longer wrap the multiplier's exponent: every factor writes
// the exactly scaled, rounded and saturated value, and NaN writes 0.
TEST(IirTypedOutput, AnyScaleFactorWritesTheExactlyScaledValue) {
  const int factors[] = {std::numeric_limits<int>::min(), -100000, -1200, -1100, -1024, -1023, -200, -129, -128, -127,
                         -40, -1, 0, 1, 15, 30, 126, 127, 128, 140, 200, 1022, 1023, 1100, 100000,
                         std::numeric_limits<int>::max()};
  const double values[] = {1e-300, 3.0e-39, 1.0e-20, 0.75, -1.5, 1234.5, -1.0e30, 3.0e38, 1e300,
                           std::numeric_limits<double>::quiet_NaN()};
  for (const Kernels& k : Builds()) {
    for (double y : values) {
      Typed g = Gain64f(y);
      const float yf = static_cast<float>(y);
      for (int sf : factors) {
        FloatState f(k, {yf, 0.0f, 1.0f, 0.0f});  // afresh: an infinite output leaves a NaN delay
        const int32 one32 = 1;
        const int16 one16 = 1;
        int32 o32 = 7;
        int16 o16 = 7, s16 = 7;
        k.spIirSampleArbitraryOrder64f_32s(&one32, &o32, g.state, sf);
        k.spIirSampleArbitraryOrder64f_16s(&one16, &o16, g.state, sf);
        k.spIirSampleArbitraryOrder_16s(&one16, &s16, f.state, sf);
        EXPECT_EQ(o32, Expected<int32>(y, sf)) << k.name << " y=" << y << " sf=" << sf;
        EXPECT_EQ(o16, Expected<int16>(y, sf)) << k.name << " y=" << y << " sf=" << sf;
        EXPECT_EQ(s16, Expected<int16>(yf, sf)) << k.name << " y=" << yf << " sf=" << sf;
      }
    }
  }
}

TEST(IirTypedOutput, DelaysKeepTheUnscaledOutput) {
  std::mt19937 rng(4);
  const auto taps = RandomStableTaps(rng, 3);
  const std::vector<double> dt(taps.begin(), taps.end());
  for (const Kernels& k : Builds()) {
    Typed a(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), 3);
    Typed b(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), 3);
    FloatState fa(k, taps), fb(k, taps);
    for (int16 x : {1000, -2000, 3000, 7}) {
      int16 o = 0;
      k.spIirSampleArbitraryOrder64f_16s(&x, &o, a.state, 0);
      k.spIirSampleArbitraryOrder64f_16s(&x, &o, b.state, 5);
      k.spIirSampleArbitraryOrder_16s(&x, &o, fa.state, -3);
      k.spIirSampleArbitraryOrder_16s(&x, &o, fb.state, 9);
    }
    for (int i = 0; i <= 3; ++i) {
      EXPECT_EQ(reinterpret_cast<double*>(a.state->pDelay)[i], reinterpret_cast<double*>(b.state->pDelay)[i]);
      EXPECT_EQ(fa.state->pDelay[i], fb.state->pDelay[i]);
    }
  }
}

TEST(IirTypedSetup, RefusesBadArgumentsWritingNothing) {
  const double taps[4] = {1, 2, 0, 3};
  int size = 0;
  std::vector<uint8> buf(4096, 0);
  spIirState* s = nullptr;
  using sp::generic::spIirTypedGetStateSize;
  using sp::generic::spIirTypedInit;
  EXPECT_EQ(spIirTypedGetStateSize(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, 1, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(spIirTypedGetStateSize(static_cast<spIirDataKind>(9), SP_IIR_ARBITRARY_ORDER_TAG, 1, &size),
            SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(spIirTypedGetStateSize(SP_IIR_DATA_64F, 0x1234, 1, &size), SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(spIirTypedGetStateSize(SP_IIR_DATA_64F, SP_IIR_BIQUAD_TAG, 0, &size), SP_ERROR_FILTER_ORDER);
  EXPECT_EQ(spIirTypedGetStateSize(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, std::numeric_limits<int>::max(), &size),
            SP_ERROR_FILTER_ORDER);
  EXPECT_EQ(spIirTypedInit(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, &s, nullptr, 1, nullptr, buf.data()),
            SP_ERROR_NULL);
  EXPECT_EQ(spIirTypedInit(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, &s, taps, -1, nullptr, buf.data()),
            SP_ERROR_FILTER_ORDER);
  EXPECT_EQ(spIirTypedInit(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, &s, taps, 1, nullptr, buf.data()),
            SP_ERROR_ZERO_DIVISOR);
  const spComplex32f ctaps[4] = {{1, 0}, {0, 0}, {0.0f, -0.0f}, {0, 0}};
  EXPECT_EQ(spIirTypedInit(SP_IIR_DATA_32FC, SP_IIR_ARBITRARY_ORDER_TAG, &s, ctaps, 1, nullptr, buf.data()),
            SP_ERROR_ZERO_DIVISOR);
  EXPECT_EQ(s, nullptr);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8 v) { return v == 0; }));
}

// --- One-sample steps against the difference equation --------------------------------

// Complex taps b0..bn, a0..an of a stable filter (poles inside radius 0.8).
std::vector<Cd> RandomComplexTaps(std::mt19937& rng, int n) {
  std::uniform_real_distribution<double> rad(0.1, 0.8), ang(-3.1, 3.1), u(-1, 1);
  std::vector<Cd> poles, zeros;
  for (int i = 0; i < n; ++i) {
    poles.push_back(std::polar(rad(rng), ang(rng)));
    zeros.push_back(std::polar(rad(rng) * 1.3, ang(rng)));
  }
  auto poly = [](const std::vector<Cd>& roots) {
    std::vector<Cd> p{1.0};
    for (const Cd& r : roots) {
      std::vector<Cd> q(p.size() + 1, 0.0);
      for (size_t i = 0; i < p.size(); ++i) {
        q[i] += p[i];
        q[i + 1] -= r * p[i];
      }
      p = q;
    }
    return p;
  };
  const Cd a0{u(rng) + 1.5, u(rng)};
  const Cd g{u(rng), u(rng)};
  std::vector<Cd> taps;
  for (const Cd& c : poly(zeros)) taps.push_back(c * g * a0 * 0.5);
  for (const Cd& c : poly(poles)) taps.push_back(c * a0);
  return taps;
}

std::vector<Cd> ComplexDifferenceEquation(const std::vector<Cd>& taps, const std::vector<Cd>& x) {
  const size_t n = taps.size() / 2 - 1;
  std::vector<Cd> y(x.size());
  for (size_t t = 0; t < x.size(); ++t) {
    Cd acc = 0.0;
    for (size_t k = 0; k <= n && k <= t; ++k) acc += taps[k] * x[t - k];
    for (size_t k = 1; k <= n && k <= t; ++k) acc -= taps[n + 1 + k] * y[t - k];
    y[t] = acc / taps[n + 1];
  }
  return y;
}

// Sections b0 b1 b2 a1 a2 (a0 = 1) as the equivalent transfer function b0..bn, a0..an.
template <class T>
std::vector<T> SectionsToTaps(const std::vector<T>& sec) {
  std::vector<T> b{T(1)}, a{T(1)};
  for (size_t s = 0; s < sec.size(); s += 5) {
    std::vector<T> nb(b.size() + 2, T(0)), na(a.size() + 2, T(0));
    const T sb[3] = {sec[s], sec[s + 1], sec[s + 2]}, sa[3] = {T(1), sec[s + 3], sec[s + 4]};
    for (size_t i = 0; i < b.size(); ++i)
      for (size_t j = 0; j < 3; ++j) {
        nb[i + j] += b[i] * sb[j];
        na[i + j] += a[i] * sa[j];
      }
    b = nb;
    a = na;
  }
  b.insert(b.end(), a.begin(), a.end());
  return b;
}

double ErrorOf(const std::vector<Cd>& got, const std::vector<Cd>& want) {
  double err = 0.0, mag = 1.0;
  for (size_t i = 0; i < got.size(); ++i) {
    err = std::max(err, std::abs(got[i] - want[i]));
    mag = std::max(mag, std::abs(want[i]));
  }
  return err / mag;
}

TEST(IirTypedSteps, RealArbitraryOrderFollowsTheRecurrence) {
  std::mt19937 rng(6);
  for (const Kernels& k : Builds()) {
    for (int n = 0; n <= 7; ++n) {
      auto taps = n == 0 ? std::vector<float>{0.75f, 1.25f} : RandomStableTaps(rng, n, 1.25f);
      const std::vector<double> dt(taps.begin(), taps.end());
      std::vector<float> xs;
      std::uniform_int_distribution<int> d(-20000, 20000);
      for (int t = 0; t < 300; ++t) xs.push_back(static_cast<float>(d(rng)));
      const auto want = DifferenceEquation(taps, xs);
      Typed s64(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      Typed s32s(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      Typed s16s(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      Typed s32f(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      std::vector<double> y64, r32s, r16s, r32f;
      for (size_t t = 0; t < xs.size(); ++t) {
        const double xd = xs[t];
        const int32 xi = static_cast<int32>(xs[t]);
        const int16 xh = static_cast<int16>(xs[t]);
        const float xf = xs[t];
        double yd, raw;
        int32 oi;
        int16 oh;
        float of;
        k.spIirSampleArbitraryOrder_64f(&xd, &yd, s64.state);
        y64.push_back(yd);
        k.spIirSampleArbitraryOrderRaw64f_32s(&xi, &oi, &raw, s32s.state, 2);
        EXPECT_EQ(oi, Expected<int32>(raw, 2));
        r32s.push_back(raw);
        k.spIirSampleArbitraryOrderRaw64f_16s(&xh, &oh, &raw, s16s.state, -1);
        EXPECT_EQ(oh, Expected<int16>(raw, -1));
        r16s.push_back(raw);
        k.spIirSampleArbitraryOrderRaw64f_32f(&xf, &of, &raw, s32f.state);
        EXPECT_EQ(of, static_cast<float>(raw));
        r32f.push_back(raw);
      }
      for (const auto* got : {&y64, &r32s, &r16s, &r32f})
        EXPECT_LT(RelativeError(*got, want), 1e-12) << k.name << " n=" << n;
      EXPECT_EQ(y64, r32f);
      if (n == 0) {
        EXPECT_EQ(reinterpret_cast<double*>(s64.state->pDelay)[0], 0.0);
      }
      // The plain (non-Raw) kernels write the same outputs.
      Typed a(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      Typed b(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      Typed c(SP_IIR_DATA_64F, SP_IIR_ARBITRARY_ORDER_TAG, dt.data(), n);
      for (size_t t = 0; t < xs.size(); ++t) {
        const int32 xi = static_cast<int32>(xs[t]);
        const int16 xh = static_cast<int16>(xs[t]);
        const float xf = xs[t];
        int32 oi;
        int16 oh;
        float of;
        k.spIirSampleArbitraryOrder64f_32s(&xi, &oi, a.state, 2);
        k.spIirSampleArbitraryOrder64f_16s(&xh, &oh, b.state, -1);
        k.spIirSampleArbitraryOrder64f_32f(&xf, &of, c.state);
        EXPECT_EQ(oi, Expected<int32>(r32s[t], 2));
        EXPECT_EQ(oh, Expected<int16>(r16s[t], -1));
        EXPECT_EQ(of, static_cast<float>(r32f[t]));
      }
      // Single precision on the float state of a processor build.
      if (n >= 1) {
        FloatState f(k, taps), g(k, taps);
        std::vector<float> raws;
        for (size_t t = 0; t < xs.size(); ++t) {
          const int16 xh = static_cast<int16>(xs[t]);
          int16 o1, o2;
          float raw;
          k.spIirSampleArbitraryOrderRaw_16s(&xh, &o1, &raw, f.state, 3);
          k.spIirSampleArbitraryOrder_16s(&xh, &o2, g.state, 3);
          EXPECT_EQ(o1, Expected<int16>(raw, 3));
          EXPECT_EQ(o1, o2);
          raws.push_back(raw);
        }
        EXPECT_LT(RelativeError(raws, want), 2e-5) << k.name << " n=" << n;
      }
    }
  }
}

TEST(IirTypedSteps, RealBiquadCascadesFollowTheRecurrence) {
  std::mt19937 rng(9);
  for (const Kernels& k : Builds()) {
    for (int S = 1; S <= 3; ++S) {
      std::vector<float> sec;
      for (int s = 0; s < S; ++s) {
        const auto t = RandomStableTaps(rng, 2);
        for (int j : {0, 1, 2, 4, 5}) sec.push_back(t[static_cast<size_t>(j)]);
      }
      const std::vector<double> ds(sec.begin(), sec.end());
      std::vector<float> xs;
      std::uniform_int_distribution<int> d(-3000, 3000);
      for (int t = 0; t < 200; ++t) xs.push_back(static_cast<float>(d(rng)));
      const auto want = BiquadOracle(sec, xs);
      Typed q64(SP_IIR_DATA_64F, SP_IIR_BIQUAD_TAG, ds.data(), S);
      Typed q16(SP_IIR_DATA_64F, SP_IIR_BIQUAD_TAG, ds.data(), S);
      Typed q32(SP_IIR_DATA_64F, SP_IIR_BIQUAD_TAG, ds.data(), S);
      Typed qf(SP_IIR_DATA_64F, SP_IIR_BIQUAD_TAG, ds.data(), S);
      EXPECT_EQ(q64.state->order, 2 * S);
      std::vector<uint8> fbuf(static_cast<size_t>(Biquad16Size(S)));
      spIirState* fs = nullptr;
      ASSERT_EQ(sp::generic::spIirBiquadInit_32f(&fs, sec.data(), S, nullptr, fbuf.data()), SP_OK);
      std::vector<double> y64;
      for (size_t t = 0; t < xs.size(); ++t) {
        const double xd = xs[t];
        double yd;
        k.spIirSampleBiquadCascade_64f(&xd, &yd, q64.state);
        y64.push_back(yd);
        const int16 xh = static_cast<int16>(xs[t]);
        const int32 xi = static_cast<int32>(xs[t]);
        const float xf = xs[t];
        int16 oh, sh;
        int32 oi;
        float of;
        k.spIirSampleBiquadCascade64f_16s(&xh, &oh, q16.state, 1);
        k.spIirSampleBiquadCascade64f_32s(&xi, &oi, q32.state, -2);
        k.spIirSampleBiquadCascade64f_32f(&xf, &of, qf.state);
        k.spIirSampleBiquadCascade_16s(&xh, &sh, fs, 1);
        EXPECT_EQ(oh, Expected<int16>(yd, 1));
        EXPECT_EQ(oi, Expected<int32>(yd, -2));
        EXPECT_EQ(of, static_cast<float>(yd));
        EXPECT_LE(std::abs(sh - Expected<int16>(want[t], 1)), 1) << k.name << " t=" << t;
      }
      EXPECT_LT(RelativeError(y64, want), 1e-12) << k.name << " S=" << S;
    }
  }
}

// Complex arbitrary order 0..6 (plain taps below 4, arranged from 4) in single and
// double precision, every input and output type.
TEST(IirTypedSteps, ComplexArbitraryOrderFollowsTheRecurrence) {
  std::mt19937 rng(12);
  std::uniform_int_distribution<int> d(-2000, 2000);
  for (const Kernels& k : Builds()) {
    for (int n = 0; n <= 6; ++n) {
      const auto taps = RandomComplexTaps(rng, n);
      std::vector<spComplex32f> tf;
      std::vector<spComplex64f> td;
      for (const Cd& c : taps) {
        tf.push_back({static_cast<float>(c.real()), static_cast<float>(c.imag())});
        td.push_back({c.real(), c.imag()});
      }
      std::vector<Cd> xs, xsf;
      for (int t = 0; t < 150; ++t) xs.push_back(Cd(d(rng), d(rng)));
      std::vector<Cd> tfd;
      for (const auto& c : tf) tfd.push_back(Cd(c.re, c.im));
      const auto want = ComplexDifferenceEquation(taps, xs);
      const auto wantF = ComplexDifferenceEquation(tfd, xs);
      Typed f32(SP_IIR_DATA_32FC, SP_IIR_ARBITRARY_ORDER_TAG, tf.data(), n);
      Typed f16(SP_IIR_DATA_32FC, SP_IIR_ARBITRARY_ORDER_TAG, tf.data(), n);
      Typed f16b(SP_IIR_DATA_32FC, SP_IIR_ARBITRARY_ORDER_TAG, tf.data(), n);
      Typed d64(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      Typed d32s(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      Typed d16s(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      Typed d32f(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      Typed e32s(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      Typed e16s(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      Typed e32f(SP_IIR_DATA_64FC, SP_IIR_ARBITRARY_ORDER_TAG, td.data(), n);
      std::vector<Cd> y32, y16raw, y64, r32s, r16s, r32f;
      for (const Cd& x : xs) {
        const spComplex32f xf{static_cast<float>(x.real()), static_cast<float>(x.imag())};
        const spComplex16s xh{static_cast<int16>(x.real()), static_cast<int16>(x.imag())};
        const spComplex32s xi{static_cast<int32>(x.real()), static_cast<int32>(x.imag())};
        const spComplex64f xd{x.real(), x.imag()};
        spComplex32f of, rf;
        spComplex16s oh, oh2;
        spComplex32s oi;
        spComplex64f od, raw;
        k.spIirSampleArbitraryOrder_32fc(&xf, &of, f32.state);
        y32.push_back(Cd(of.re, of.im));
        k.spIirSampleArbitraryOrderRaw_16sc(&xh, &oh, &rf, f16.state, 1);
        k.spIirSampleArbitraryOrder_16sc(&xh, &oh2, f16b.state, 1);
        EXPECT_EQ(oh.re, Expected<int16>(rf.re, 1));
        EXPECT_EQ(oh.im, Expected<int16>(rf.im, 1));
        EXPECT_EQ(oh.re, oh2.re);
        EXPECT_EQ(oh.im, oh2.im);
        y16raw.push_back(Cd(rf.re, rf.im));
        k.spIirSampleArbitraryOrder_64fc(&xd, &od, d64.state);
        y64.push_back(Cd(od.re, od.im));
        k.spIirSampleArbitraryOrderRaw64f_32sc(&xi, &oi, &raw, d32s.state, -1);
        EXPECT_EQ(oi.re, Expected<int32>(raw.re, -1));
        EXPECT_EQ(oi.im, Expected<int32>(raw.im, -1));
        r32s.push_back(Cd(raw.re, raw.im));
        k.spIirSampleArbitraryOrderRaw64f_16sc(&xh, &oh, &raw, d16s.state, 0);
        EXPECT_EQ(oh.re, Expected<int16>(raw.re, 0));
        r16s.push_back(Cd(raw.re, raw.im));
        k.spIirSampleArbitraryOrderRaw64f_32fc(&xf, &of, &raw, d32f.state);
        EXPECT_EQ(of.re, static_cast<float>(raw.re));
        EXPECT_EQ(of.im, static_cast<float>(raw.im));
        r32f.push_back(Cd(raw.re, raw.im));
        // The plain double-precision kernels write what the Raw ones write.
        k.spIirSampleArbitraryOrder64f_32sc(&xi, &oi, e32s.state, -1);
        EXPECT_EQ(oi.re, Expected<int32>(r32s.back().real(), -1));
        k.spIirSampleArbitraryOrder64f_16sc(&xh, &oh, e16s.state, 0);
        EXPECT_EQ(oh.im, Expected<int16>(r16s.back().imag(), 0));
        k.spIirSampleArbitraryOrder64f_32fc(&xf, &of, e32f.state);
        EXPECT_EQ(of.re, static_cast<float>(r32f.back().real()));
      }
      EXPECT_LT(ErrorOf(y32, wantF), 2e-5) << k.name << " n=" << n;
      EXPECT_LT(ErrorOf(y16raw, wantF), 2e-5) << k.name << " n=" << n;
      for (const auto* got : {&y64, &r32s, &r16s, &r32f}) EXPECT_LT(ErrorOf(*got, want), 1e-12) << k.name << " n=" << n;
      // The zero slot is never written.
      EXPECT_EQ(reinterpret_cast<spComplex32f*>(f32.state->pDelay)[n].re, 0.0f);
      EXPECT_EQ(reinterpret_cast<spComplex64f*>(d64.state->pDelay)[n].im, 0.0);
    }
  }
}

// Complex cascades of 1..6 sections: below 5 the single-precision kernels read the plain
// taps, from 5 the arranged ones.
TEST(IirTypedSteps, ComplexBiquadCascadesFollowTheRecurrence) {
  std::mt19937 rng(14);
  std::uniform_int_distribution<int> d(-1000, 1000);
  for (const Kernels& k : Builds()) {
    for (int S = 1; S <= 6; ++S) {
      std::vector<Cd> sec;
      for (int s = 0; s < S; ++s) {
        auto t = RandomComplexTaps(rng, 2);
        const Cd a0 = t[3];
        for (auto& c : t) c /= a0;
        for (int j : {0, 1, 2, 4, 5}) sec.push_back(t[static_cast<size_t>(j)]);
      }
      std::vector<spComplex32f> sf;
      std::vector<spComplex64f> sd;
      std::vector<Cd> secF;
      for (const Cd& c : sec) {
        sf.push_back({static_cast<float>(c.real()), static_cast<float>(c.imag())});
        sd.push_back({c.real(), c.imag()});
        secF.push_back(Cd(sf.back().re, sf.back().im));
      }
      const auto taps = SectionsToTaps(sec), tapsF = SectionsToTaps(secF);
      std::vector<Cd> xs;
      for (int t = 0; t < 120; ++t) xs.push_back(Cd(d(rng), d(rng)));
      const auto want = ComplexDifferenceEquation(taps, xs), wantF = ComplexDifferenceEquation(tapsF, xs);
      Typed f32(SP_IIR_DATA_32FC, SP_IIR_BIQUAD_TAG, sf.data(), S);
      Typed f16(SP_IIR_DATA_32FC, SP_IIR_BIQUAD_TAG, sf.data(), S);
      Typed d64(SP_IIR_DATA_64FC, SP_IIR_BIQUAD_TAG, sd.data(), S);
      Typed d32s(SP_IIR_DATA_64FC, SP_IIR_BIQUAD_TAG, sd.data(), S);
      Typed d16s(SP_IIR_DATA_64FC, SP_IIR_BIQUAD_TAG, sd.data(), S);
      Typed d32f(SP_IIR_DATA_64FC, SP_IIR_BIQUAD_TAG, sd.data(), S);
      std::vector<Cd> y32, y64;
      for (const Cd& x : xs) {
        const spComplex32f xf{static_cast<float>(x.real()), static_cast<float>(x.imag())};
        const spComplex16s xh{static_cast<int16>(x.real()), static_cast<int16>(x.imag())};
        const spComplex32s xi{static_cast<int32>(x.real()), static_cast<int32>(x.imag())};
        const spComplex64f xd{x.real(), x.imag()};
        spComplex32f of, of2;
        spComplex16s oh, oh2;
        spComplex32s oi;
        spComplex64f od;
        k.spIirSampleBiquadCascade_32fc(&xf, &of, f32.state);
        k.spIirSampleBiquadCascade_16sc(&xh, &oh, f16.state, 0);
        EXPECT_EQ(oh.re, Expected<int16>(of.re, 0));
        EXPECT_EQ(oh.im, Expected<int16>(of.im, 0));
        y32.push_back(Cd(of.re, of.im));
        k.spIirSampleBiquadCascade_64fc(&xd, &od, d64.state);
        y64.push_back(Cd(od.re, od.im));
        k.spIirSampleBiquadCascade64f_32sc(&xi, &oi, d32s.state, 1);
        EXPECT_EQ(oi.re, Expected<int32>(od.re, 1));
        k.spIirSampleBiquadCascade64f_16sc(&xh, &oh2, d16s.state, 0);
        EXPECT_EQ(oh2.im, Expected<int16>(od.im, 0));
        k.spIirSampleBiquadCascade64f_32fc(&xf, &of2, d32f.state);
        EXPECT_EQ(of2.re, static_cast<float>(od.re));
      }
      EXPECT_LT(ErrorOf(y32, wantF), 5e-5) << k.name << " S=" << S;
      EXPECT_LT(ErrorOf(y64, want), 1e-12) << k.name << " S=" << S;
    }
  }
}

// --- Block passes -----------------------------------------------------------------------

// 16-bit blocks of an order-n filter: the first n outputs by the Raw one-sample step,
// the rest by the feed-forward and feedback passes; the line against the difference
// equation, the 16-bit outputs against the line.
TEST(IirTypedBlocks, RealPassesContinueTheOneSampleSteps) {
  std::mt19937 rng(19);
  std::uniform_int_distribution<int> d(-8000, 8000);
  for (const Kernels& k : Builds()) {
    for (int n = 1; n <= 7; ++n) {
      for (int len : {1, 2, 3, 4, 5, 8, 9, 4 * n + 1, 203}) {
        const auto taps = RandomStableTaps(rng, n);
        std::vector<int16> src;
        std::vector<float> xs;
        for (int t = 0; t < n + len; ++t) {
          src.push_back(static_cast<int16>(d(rng)));
          xs.push_back(src.back());
        }
        const auto want = DifferenceEquation(taps, xs);
        FloatState f(k, taps);
        std::vector<float> line(static_cast<size_t>(n + len));
        std::vector<int16> dst(static_cast<size_t>(n + len), 12345);
        for (int t = 0; t < n; ++t) {
          int16 o;
          k.spIirSampleArbitraryOrderRaw_16s(&src[static_cast<size_t>(t)], &o, &line[static_cast<size_t>(t)], f.state, 0);
        }
        alignas(16) float ff[256];
        k.spIirBlockFeedForward_16s(src.data(), ff, len, f.state->pNumeratorVectors, n);
        k.spIirBlockFeedback_16s(ff, line.data(), len, f.state->pFeedbackVectors, n, dst.data(), 1);
        EXPECT_LT(RelativeError(line, want), 5e-5) << k.name << " n=" << n << " len=" << len;
        for (int t = 0; t < n; ++t) EXPECT_EQ(dst[static_cast<size_t>(t)], 12345) << "history untouched";
        for (int t = n; t < n + len; ++t)
          EXPECT_EQ(dst[static_cast<size_t>(t)], Expected<int16>(line[static_cast<size_t>(t)], 1));
      }
    }
  }
}

TEST(IirTypedBlocks, BiquadPassesKeepTheLastTwoOutputs) {
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> d(-8000, 8000);
  for (const Kernels& k : Builds()) {
    for (int len : {1, 3, 4, 5, 8, 61}) {
      const auto t = RandomStableTaps(rng, 2);
      const std::vector<float> sec = {t[0], t[1], t[2], t[4], t[5]};
      std::vector<uint8> buf(static_cast<size_t>(Biquad16Size(1)));
      spIirState* s = nullptr;
      ASSERT_EQ(sp::generic::spIirBiquadInit_32f(&s, sec.data(), 1, nullptr, buf.data()), SP_OK);
      std::vector<int16> src;
      std::vector<float> xs;
      for (int i = 0; i < len + 2; ++i) {
        src.push_back(static_cast<int16>(d(rng)));
        xs.push_back(src.back());
      }
      const auto want = BiquadOracle(sec, xs);
      std::vector<float> line(static_cast<size_t>(len + 2));
      std::vector<int16> dst(static_cast<size_t>(len + 2), 777);
      line[0] = static_cast<float>(want[0]);
      line[1] = static_cast<float>(want[1]);
      alignas(16) float ff[64];
      k.spIirBiquadBlockFeedForward_16s(src.data(), ff, len, s->pNumeratorVectors);
      k.spIirBiquadBlockFeedback_16s(ff, line.data(), len, s->pFeedbackVectors, dst.data(), 0);
      EXPECT_NEAR(line[static_cast<size_t>(len)], want[static_cast<size_t>(len)], 1e-3 * (1 + std::fabs(want[static_cast<size_t>(len)])));
      EXPECT_NEAR(line[static_cast<size_t>(len + 1)], want[static_cast<size_t>(len + 1)],
                  1e-3 * (1 + std::fabs(want[static_cast<size_t>(len + 1)])));
      EXPECT_EQ(dst[0], 777);
      EXPECT_EQ(dst[1], 777);
      for (int i = 2; i < len + 2; ++i)
        EXPECT_LE(std::abs(dst[static_cast<size_t>(i)] - Expected<int16>(want[static_cast<size_t>(i)], 0)), 1);
    }
  }
}

TEST(IirTypedBlocks, ComplexPassesContinueTheRecurrence) {
  std::mt19937 rng(29);
  std::uniform_int_distribution<int> d(-3000, 3000);
  for (const Kernels& k : Builds()) {
    for (int n = 1; n <= 5; ++n) {
      for (int len : {1, 2, 3, 4, 5, 7, 8, 33}) {
        const auto taps = RandomComplexTaps(rng, n);
        std::vector<spComplex32f> tf;
        std::vector<Cd> tfd;
        for (const Cd& c : taps) {
          tf.push_back({static_cast<float>(c.real()), static_cast<float>(c.imag())});
          tfd.push_back(Cd(tf.back().re, tf.back().im));
        }
        alignas(16) float nv[8 * 6];
        alignas(16) float fb[16 * 6];
        ASSERT_EQ(sp::generic::spIirComplexBlockTables_32fc(tf.data(), n, nv, fb), SP_OK);
        std::vector<Cd> xs;
        std::vector<spComplex16s> src;
        std::vector<spComplex32f> srcf;
        for (int t = 0; t < n + len; ++t) {
          src.push_back({static_cast<int16>(d(rng)), static_cast<int16>(d(rng))});
          srcf.push_back({static_cast<float>(src.back().re), static_cast<float>(src.back().im)});
          xs.push_back(Cd(src.back().re, src.back().im));
        }
        const auto want = ComplexDifferenceEquation(tfd, xs);
        std::vector<spComplex32f> line(static_cast<size_t>(n + len)), line16(line.size());
        for (int t = 0; t < n; ++t) {
          line[static_cast<size_t>(t)] = {static_cast<float>(want[static_cast<size_t>(t)].real()),
                                          static_cast<float>(want[static_cast<size_t>(t)].imag())};
          line16[static_cast<size_t>(t)] = line[static_cast<size_t>(t)];
        }
        std::vector<spComplex32f> ff(static_cast<size_t>(len)), ff16(static_cast<size_t>(len));
        std::vector<spComplex16s> dst(static_cast<size_t>(n + len), spComplex16s{5, 5});
        k.spIirBlockFeedForward_32fc(srcf.data(), ff.data(), len, nv, n);
        k.spIirBlockFeedback_32fc(ff.data(), line.data(), len, fb, n);
        k.spIirBlockFeedForward_16sc(src.data(), ff16.data(), len, nv, n);
        k.spIirBlockFeedback_16sc(ff16.data(), line16.data(), len, fb, n, dst.data(), 2);
        std::vector<Cd> got, got16;
        for (size_t i = 0; i < line.size(); ++i) {
          got.push_back(Cd(line[i].re, line[i].im));
          got16.push_back(Cd(line16[i].re, line16[i].im));
        }
        EXPECT_LT(ErrorOf(got, want), 5e-5) << k.name << " n=" << n << " len=" << len;
        EXPECT_EQ(got, got16);
        EXPECT_EQ(dst[static_cast<size_t>(n - 1)].re, 5);
        for (size_t i = static_cast<size_t>(n); i < dst.size(); ++i) {
          EXPECT_EQ(dst[i].re, Expected<int16>(line16[i].re, 2));
          EXPECT_EQ(dst[i].im, Expected<int16>(line16[i].im, 2));
        }
      }
    }
  }
}

}  // namespace
