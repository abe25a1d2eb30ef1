// Shared helpers of the FIR tests: random signals, a guarded state buffer and the
// double-precision oracles.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace fir_test {

inline std::vector<float> RandomSignal(std::mt19937& rng, int n, float scale = 1.0f) {
  std::uniform_real_distribution<float> d(-scale, scale);
  std::vector<float> v(static_cast<size_t>(n));
  for (auto& x : v) x = d(rng);
  return v;
}

// A caller buffer of `size` bytes at a chosen offset from a 16-byte boundary, with guard
// bytes before and after that must stay untouched.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kPattern = 0xA5;
  GuardedBuffer(size_t size, size_t misalign) : size_(size), storage_(size + 2 * kGuard + 32, kPattern) {
    auto base = reinterpret_cast<uintptr_t>(storage_.data()) + kGuard;
    base = (base + 15) & ~uintptr_t{15};
    data_ = reinterpret_cast<uint8_t*>(base + misalign);
  }
  uint8_t* data() { return data_; }
  bool GuardsIntact() const {
    for (const uint8_t* p = storage_.data(); p < data_; ++p)
      if (*p != kPattern) return false;
    for (const uint8_t* p = data_ + size_; p < storage_.data() + storage_.size(); ++p)
      if (*p != kPattern) return false;
    return true;
  }

 private:
  size_t size_;
  std::vector<uint8_t> storage_;
  uint8_t* data_;
};

// y[n] = sum h[k] x[n-k] in double, x[-1-i] = history[i] (newest first), earlier zero.
inline std::vector<double> ConvolveOracle(const std::vector<float>& h, const std::vector<float>& x,
                                          const std::vector<float>& history = {}) {
  std::vector<double> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    double acc = 0.0;
    for (size_t k = 0; k < h.size(); ++k) {
      const long long i = static_cast<long long>(n) - static_cast<long long>(k);
      double xi = 0.0;
      if (i >= 0) {
        xi = x[static_cast<size_t>(i)];
      } else if (static_cast<size_t>(-i - 1) < history.size()) {
        xi = history[static_cast<size_t>(-i - 1)];
      }
      acc += static_cast<double>(h[k]) * xi;
    }
    y[n] = acc;
  }
  return y;
}

// Multirate defining formula: y[n] = sum h[k] x[i] over i*U + pu = n*D + pd - k.
inline std::vector<double> MultirateOracle(const std::vector<float>& h, const std::vector<float>& x, int U, int D,
                                           int pu, int pd, size_t outputs,
                                           const std::vector<float>& history = {}) {
  std::vector<double> y(outputs);
  for (size_t n = 0; n < outputs; ++n) {
    double acc = 0.0;
    for (size_t k = 0; k < h.size(); ++k) {
      const long long num = static_cast<long long>(n) * D + pd - static_cast<long long>(k) - pu;
      if (((num % U) + U) % U != 0) continue;
      const long long i = (num - (((num % U) + U) % U)) / U;
      double xi = 0.0;
      if (i >= 0) {
        if (static_cast<size_t>(i) < x.size()) xi = x[static_cast<size_t>(i)];
      } else if (static_cast<size_t>(-i - 1) < history.size()) {
        xi = history[static_cast<size_t>(-i - 1)];
      }
      acc += static_cast<double>(h[k]) * xi;
    }
    y[n] = acc;
  }
  return y;
}

// Error bound for a single-precision sum of `terms` products of magnitude sum `mag`.
inline double Tolerance(double mag, size_t terms) { return 1e-6 * mag * (1.0 + std::log2(1.0 + terms)) + 1e-30; }

inline double Magnitude(const std::vector<float>& h, float xmax) {
  double m = 0.0;
  for (float t : h) m += std::fabs(t);
  return m * xmax;
}

}  // namespace fir_test
