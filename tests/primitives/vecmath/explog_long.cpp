// Every float of the exponential's finite-result range and every positive finite float
// through the logarithm, in every build, against the double-precision functions: the
// largest errors stay within the bounds the faster tests use.
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
    EXPECT_LE(l, 4.5) << b.name;
  }
}

}  // namespace
