// Shared helpers of the IIR tests: the four builds of the float filter, stable random
// filters and the double-precision difference equation used as the oracle.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "fir_test_util.h"
#include "sp/iir.h"

namespace iir_test {

struct IirBuild {
  const char* name;
  bool supported;  // the processor has the build's instruction set
  decltype(&sp::generic::spIirGetStateSize_32f) getStateSize;
  decltype(&sp::generic::spIirInit_32f) init;
  decltype(&sp::generic::spIirFilterInPlace_32f) filter;
};

#define IIRTEST_BUILD(ns, supported) \
  IirBuild { #ns, supported, &sp::ns::spIirGetStateSize_32f, &sp::ns::spIirInit_32f, &sp::ns::spIirFilterInPlace_32f }

// Slot order: generic, SSE3, SSSE3, SSE4.1.
inline std::vector<IirBuild> AllBuilds() {
  return {IIRTEST_BUILD(generic, true), IIRTEST_BUILD(sse3, __builtin_cpu_supports("sse3") != 0),
          IIRTEST_BUILD(ssse3, __builtin_cpu_supports("ssse3") != 0),
          IIRTEST_BUILD(sse41, __builtin_cpu_supports("sse4.1") != 0)};
}

inline std::vector<IirBuild> ProcessorBuilds() {
  std::vector<IirBuild> out;
  for (const IirBuild& b : AllBuilds())
    if (b.supported && std::strcmp(b.name, "generic") != 0) out.push_back(b);
  return out;
}

// Polynomial coefficients (highest power of z^-1 last) of prod (1 - r z^-1) over roots.
inline std::vector<double> PolyFromRoots(const std::vector<std::complex<double>>& roots) {
  std::vector<std::complex<double>> p{1.0};
  for (const auto& r : roots) {
    std::vector<std::complex<double>> q(p.size() + 1, 0.0);
    for (size_t i = 0; i < p.size(); ++i) {
      q[i] += p[i];
      q[i + 1] -= r * p[i];
    }
    p = q;
  }
  std::vector<double> out;
  for (const auto& c : p) out.push_back(c.real());
  return out;
}

// Roots of a real polynomial of degree n: conjugate pairs and one real root for odd n,
// all of magnitude below maxRadius.
inline std::vector<std::complex<double>> RandomRoots(std::mt19937& rng, int n, double maxRadius) {
  std::uniform_real_distribution<double> rad(0.1, maxRadius), ang(0.05, 3.1);
  std::vector<std::complex<double>> r;
  for (int i = 0; i + 1 < n; i += 2) {
    const auto z = std::polar(rad(rng), ang(rng));
    r.push_back(z);
    r.push_back(std::conj(z));
  }
  if (n % 2 == 1) r.push_back(std::uniform_real_distribution<double>(-maxRadius, maxRadius)(rng));
  return r;
}

// The caller's 2n + 2 taps b0..bn, a0..an of a stable filter of order n, a0 = a0Value.
inline std::vector<float> RandomStableTaps(std::mt19937& rng, int n, float a0Value = 1.0f, double maxRadius = 0.8) {
  const auto a = PolyFromRoots(RandomRoots(rng, n, maxRadius));
  const auto b = PolyFromRoots(RandomRoots(rng, n, 1.2));
  const double gain = std::uniform_real_distribution<double>(0.2, 1.0)(rng);
  std::vector<float> taps;
  for (int k = 0; k <= n; ++k) taps.push_back(static_cast<float>(b[static_cast<size_t>(k)] * gain * a0Value));
  for (int k = 0; k <= n; ++k) taps.push_back(static_cast<float>(a[static_cast<size_t>(k)] * a0Value));
  return taps;
}

// The difference equation a0 y[t] = sum b_k x[t-k] - sum_{k>=1} a_k y[t-k] in double,
// from rest.
inline std::vector<double> DifferenceEquation(const std::vector<float>& taps, const std::vector<float>& x) {
  const size_t n = taps.size() / 2 - 1;
  const double a0 = taps[n + 1];
  std::vector<double> y(x.size());
  for (size_t t = 0; t < x.size(); ++t) {
    double acc = 0.0;
    for (size_t k = 0; k <= n && k <= t; ++k) acc += static_cast<double>(taps[k]) * x[t - k];
    for (size_t k = 1; k <= n && k <= t; ++k) acc -= static_cast<double>(taps[n + 1 + k]) * y[t - k];
    y[t] = acc / a0;
  }
  return y;
}

// Cascade of second-order sections (b0 b1 b2 a1 a2 each, a0 = 1) in double, from rest.
inline std::vector<double> BiquadOracle(const std::vector<float>& sections, const std::vector<float>& x) {
  std::vector<double> sig(x.begin(), x.end());
  for (size_t s = 0; s + 5 <= sections.size(); s += 5) {
    std::vector<float> taps = {sections[s], sections[s + 1], sections[s + 2], 1.0f, sections[s + 3],
                               sections[s + 4]};
    std::vector<double> y(sig.size());
    for (size_t t = 0; t < sig.size(); ++t) {
      double acc = 0.0;
      for (size_t k = 0; k <= 2 && k <= t; ++k) acc += static_cast<double>(taps[k]) * sig[t - k];
      for (size_t k = 1; k <= 2 && k <= t; ++k) acc -= static_cast<double>(taps[3 + k]) * y[t - k];
      y[t] = acc;
    }
    sig = y;
  }
  return sig;
}

// Biggest |a - b| relative to the biggest |b| (at least 1).
template <class A, class B>
inline double RelativeError(const std::vector<A>& a, const std::vector<B>& b) {
  double err = 0.0, mag = 1.0;
  for (size_t i = 0; i < a.size(); ++i) {
    err = std::max(err, std::fabs(static_cast<double>(a[i]) - static_cast<double>(b[i])));
    mag = std::max(mag, std::fabs(static_cast<double>(b[i])));
  }
  return err / mag;
}

// A state of one build in a guarded caller buffer.
struct IirFilter {
  IirFilter(const IirBuild& build, const std::vector<float>& taps, const float* delay = nullptr, size_t misalign = 0)
      : b(build), buffer(Size(build, static_cast<int>(taps.size() / 2 - 1)), misalign) {
    status = b.init(&state, taps.data(), static_cast<int>(taps.size() / 2 - 1), delay, buffer.data());
  }
  static size_t Size(const IirBuild& build, int order) {
    int size = 0;
    EXPECT_EQ(build.getStateSize(order, &size), SP_OK);
    return static_cast<size_t>(size);
  }
  // x filtered in consecutive calls of the given lengths (the last repeated to the end).
  std::vector<float> Run(std::vector<float> x, const std::vector<int>& calls = {}) {
    size_t pos = 0, c = 0;
    while (pos < x.size()) {
      size_t n = x.size() - pos;
      if (!calls.empty()) n = std::min(n, static_cast<size_t>(calls[std::min(c++, calls.size() - 1)]));
      EXPECT_EQ(b.filter(x.data() + pos, static_cast<int>(n), state), SP_OK);
      pos += n;
    }
    return x;
  }
  IirBuild b;
  fir_test::GuardedBuffer buffer;
  spIirState* state = nullptr;
  spStatus status = SP_OK;
};

}  // namespace iir_test
