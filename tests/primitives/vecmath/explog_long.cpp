// Every float of the exponential's finite-result range and every positive finite float
// through the logarithm, in every build, against the double-precision functions: the
// largest errors stay within the bounds the faster tests use. The logarithm is also
// swept near 1 with random partners in its eight-wide body.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "module_kernels.h"

namespace {

double Ulps(float got, double exact) {
  int e;
  std::frexp(exact, &e);
  return std::fabs(static_cast<double>(got) - exact) / std::ldexp(1.0, std::max(e, -125) - 24);
}

// Largest error over the bit patterns [lo, hi] of fn against ref.
template <class Fn>
double Worst(uint32 lo, uint32 hi, Fn fn, double (*ref)(double)) {
  constexpr uint32 kChunk = 4096;
  std::vector<float> in(kChunk), out(kChunk);
  double worst = 0;
  for (uint64 start = lo; start <= hi; start += kChunk) {
    const uint32 n = static_cast<uint32>(std::min<uint64>(kChunk, hi - start + 1));
    for (uint32 i = 0; i < n; ++i) in[i] = sptest::FromBits(static_cast<uint32>(start + i));
    fn(in.data(), out.data(), static_cast<int>(n));
    for (uint32 i = 0; i < n; ++i) worst = std::max(worst, Ulps(out[i], ref(in[i])));
  }
  return worst;
}

double Exp(double x) { return std::exp(x); }
double Log(double x) { return std::log(x); }

TEST(ExpLogLong, EveryFloatWithinTheBounds) {
  for (const vmtest::ModuleKernels& b : vmtest::SupportedModuleKernels()) {
    auto exp = [&](const float* in, float* out, int n) { b.spExponentialKernel_32f(in, out, n); };
    auto log = [&](const float* in, float* out, int n) {
      std::copy(in, in + n, out);
      b.spNaturalLogKernel_32f(out, n, nullptr);
    };
    const double e = std::max(Worst(0x00000000u, 0x42B17217u, exp, Exp), Worst(0x80000000u, 0xC2AEAC49u, exp, Exp));
    const double l = Worst(0x00000001u, 0x7F7FFFFFu, log, Log);
    std::printf("%s: exponential %.3f, logarithm %.3f units in the last place at most\n", b.name.c_str(), e, l);
    EXPECT_LE(e, 2.5) << b.name;
    EXPECT_LE(l, 5.5) << b.name;
  }
}

// The eight-wide logarithm body shares one division between the elements i and i + 4:
// every float of [sqrt(2)/2, sqrt(2)) (where the error in units is largest) with
// partners drawn at random from the same range, four rounds.
TEST(ExpLogLong, LogarithmNearOneWithRandomPartnersWithinTheBound) {
  constexpr uint32 kLo = 0x3F3504F3u, kHi = 0x3FB504F3u;  // sqrt(2)/2, sqrt(2)
  for (const vmtest::ModuleKernels& b : vmtest::SupportedModuleKernels()) {
    uint64 state = 0x9E3779B97F4A7C15ull;
    auto partner = [&state]() {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      return sptest::FromBits(kLo + static_cast<uint32>((state >> 33) % (kHi - kLo)));
    };
    constexpr int kGroups = 4096;  // blocks of eight: four elements, then their partners
    std::vector<float> x(8 * kGroups), y(x.size());
    double worst = 0;
    for (int round = 0; round < 4; ++round) {
      for (uint64 start = kLo; start < kHi; start += 4 * kGroups) {
        for (int g = 0; g < kGroups; ++g) {
          for (int l = 0; l < 4; ++l) {
            x[8 * g + l] = sptest::FromBits(static_cast<uint32>(std::min<uint64>(start + 4 * g + l, kHi - 1)));
            x[8 * g + 4 + l] = partner();
          }
        }
        y = x;
        b.spNaturalLogKernel_32f(y.data(), static_cast<int>(y.size()), nullptr);
        for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, Ulps(y[i], std::log(static_cast<double>(x[i]))));
      }
    }
    std::printf("%s: logarithm with random partners %.3f units in the last place at most\n", b.name.c_str(), worst);
    EXPECT_LE(worst, 5.5) << b.name;
  }
}

}  // namespace
