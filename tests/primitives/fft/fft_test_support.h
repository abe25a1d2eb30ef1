// Oracles and buffers for the FFT tests: a long-double FFT, packed-spectrum helpers,
// error measures and guarded buffers.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "sp/fft.h"

namespace fft_test {

using cld = std::complex<long double>;

// W_n^j = e^(sign 2 pi i j / n) with the angle reduced exactly.
inline cld Root(int64_t j, int64_t n, int sign) {
  j %= n;
  if (j < 0) j += n;
  const long double a = 2.0L * std::numbers::pi_v<long double> * static_cast<long double>(j) /
                        static_cast<long double>(n);
  return {std::cos(a), sign * std::sin(a)};
}

// Unnormalised DFT, sum x_n e^(sign 2 pi i k n / N), by an iterative radix-2 FFT in long
// double (N a power of two).
inline std::vector<cld> Fft(std::vector<cld> x, int sign) {
  const size_t n = x.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  std::vector<cld> roots(n / 2 + 1);
  for (size_t j = 0; j < roots.size(); ++j) roots[j] = Root(static_cast<int64_t>(j), static_cast<int64_t>(n), sign);
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t step = n / len;
    for (size_t b = 0; b < n; b += len) {
      for (size_t k = 0; k < len / 2; ++k) {
        const cld u = x[b + k];
        const cld v = x[b + k + len / 2] * roots[k * step];
        x[b + k] = u + v;
        x[b + k + len / 2] = u - v;
      }
    }
  }
  return x;
}

// One bin of the DFT by direct summation (for the large orders).
inline cld DftBin(const float* x, int64_t n, int64_t k, int sign, bool isComplex) {
  cld acc = 0;
  for (int64_t t = 0; t < n; ++t) {
    const cld v = isComplex ? cld(x[2 * t], x[2 * t + 1]) : cld(x[t], 0);
    acc += v * Root(k * t, n, sign);
  }
  return acc;
}

inline std::vector<float> RandomFloats(size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (auto& f : v) f = dist(gen);
  return v;
}

inline std::vector<cld> ToComplex(const std::vector<float>& interleaved) {
  std::vector<cld> c(interleaved.size() / 2);
  for (size_t i = 0; i < c.size(); ++i) c[i] = {interleaved[2 * i], interleaved[2 * i + 1]};
  return c;
}

inline std::vector<long double> Interleave(const std::vector<cld>& c) {
  std::vector<long double> v(2 * c.size());
  for (size_t i = 0; i < c.size(); ++i) v[2 * i] = c[i].real(), v[2 * i + 1] = c[i].imag();
  return v;
}

// Packed real spectrum of n reals (n >= 2): [X0, X(n/2), Re X1, Im X1, ...].
inline std::vector<long double> PackedSpectrum(const std::vector<float>& x) {
  const size_t n = x.size();
  if (n == 1) return {x[0]};
  std::vector<cld> c(n);
  for (size_t i = 0; i < n; ++i) c[i] = x[i];
  const std::vector<cld> X = Fft(c, -1);
  std::vector<long double> p(n);
  p[0] = X[0].real();
  p[1] = X[n / 2].real();
  for (size_t k = 1; k < n / 2; ++k) p[2 * k] = X[k].real(), p[2 * k + 1] = X[k].imag();
  return p;
}

// Unnormalised inverse of a packed spectrum: sum over the Hermitian spectrum.
inline std::vector<long double> InversePacked(const std::vector<float>& p) {
  const size_t n = p.size();
  if (n == 1) return {p[0]};
  std::vector<cld> X(n);
  X[0] = p[0];
  X[n / 2] = p[1];
  for (size_t k = 1; k < n / 2; ++k) {
    X[k] = {p[2 * k], p[2 * k + 1]};
    X[n - k] = std::conj(X[k]);
  }
  const std::vector<cld> x = Fft(X, +1);
  std::vector<long double> r(n);
  for (size_t i = 0; i < n; ++i) r[i] = x[i].real();
  return r;
}

// ||got - ref|| / ||ref|| over the floats.
inline double RelativeError(const float* got, const std::vector<long double>& ref, long double factor = 1) {
  long double num = 0, den = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    const long double r = ref[i] * factor;
    const long double d = static_cast<long double>(got[i]) - r;
    num += d * d;
    den += r * r;
  }
  return den == 0 ? static_cast<double>(std::sqrt(num)) : static_cast<double>(std::sqrt(num / den));
}

// Error bound of a single-precision FFT of 2^order points against the exact result.
inline double Tolerance(int order) { return 1.5e-7 * (order + 2); }

// A float buffer with guard words on both sides; the data may start off its natural
// alignment by `offset` floats.
class Guarded {
 public:
  static constexpr size_t kGuard = 64;
  explicit Guarded(size_t count, size_t offset = 0)
      : count_(count), offset_(offset), storage_(count + 2 * kGuard + offset) {
    for (auto& g : storage_) g = Pattern();
  }
  float* data() { return storage_.data() + kGuard + offset_; }
  size_t size() const { return count_; }
  void Fill(const std::vector<float>& v) { std::memcpy(data(), v.data(), v.size() * sizeof(float)); }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard + offset_; ++i) {
      if (!IsPattern(storage_[i])) return false;
    }
    for (size_t i = kGuard + offset_ + count_; i < storage_.size(); ++i) {
      if (!IsPattern(storage_[i])) return false;
    }
    return true;
  }

 private:
  static float Pattern() {
    float f;
    const uint32_t bits = 0x7FA5A5A5u;
    std::memcpy(&f, &bits, 4);
    return f;
  }
  static bool IsPattern(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits == 0x7FA5A5A5u;
  }
  size_t count_, offset_;
  std::vector<float> storage_;
};

// A byte block with a guard tail, for record memory, init and work buffers.
class GuardedBytes {
 public:
  static constexpr size_t kGuard = 96;
  explicit GuardedBytes(size_t bytes, size_t offset = 1)
      : bytes_(bytes), offset_(offset), storage_(bytes + kGuard + offset + 64, kPattern) {}
  // Starts `offset` bytes past a 32-byte boundary, so the set-up's rounding takes the most.
  uint8* data() {
    const auto base = reinterpret_cast<uintptr_t>(storage_.data());
    const uintptr_t aligned = (base + 31) & ~uintptr_t{31};
    return storage_.data() + (aligned - base) + offset_;
  }
  bool TailIntact() {
    const uint8* end = data() + bytes_;
    for (const uint8* p = end; p < storage_.data() + storage_.size(); ++p) {
      if (*p != kPattern) return false;
    }
    return true;
  }
  bool Untouched() {
    for (auto b : storage_) {
      if (b != kPattern) return false;
    }
    return true;
  }

 private:
  static constexpr uint8 kPattern = 0xA7;
  size_t bytes_, offset_;
  std::vector<uint8> storage_;
};

}  // namespace fft_test
