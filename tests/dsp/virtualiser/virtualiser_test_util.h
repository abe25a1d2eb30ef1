// Helpers of the virtualiser engine tests: an assertion recorder, double-precision
// reference filters, planar buffers and engines with a known per-block operation.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dsp/virtualiser/audio_app.h"
#include "dsp/virtualiser/channel_copy.h"
#include "dsp/virtualiser/engine_support.h"

namespace lpv_test {

struct AssertRecord {
  std::string expression;
  std::string file;
  int line;
};

// Installs an assertion hook that keeps every report; restores the previous one.
class AssertRecorder {
 public:
  AssertRecorder() {
    instance_ = this;
    previous_ = LpvSetAssertHook(&Hook);
  }
  ~AssertRecorder() {
    LpvSetAssertHook(previous_);
    instance_ = nullptr;
  }
  const std::vector<AssertRecord>& Records() const { return records_; }
  std::vector<std::string> Expressions() const {
    std::vector<std::string> e;
    for (const auto& r : records_) e.push_back(r.expression);
    return e;
  }
  void Clear() { records_.clear(); }

 private:
  static void Hook(const char* expression, const char* file, int line) {
    instance_->records_.push_back({expression, file, line});
  }
  static inline AssertRecorder* instance_ = nullptr;
  LpvAssertHook previous_ = nullptr;
  std::vector<AssertRecord> records_;
};

// y[n] = sum b[k] x[n-k] - sum a[k] y[n-k] (k >= 1) in double precision, from rest.
inline std::vector<double> DirectForm(const std::vector<double>& b, const std::vector<double>& a,
                                      const std::vector<double>& x) {
  std::vector<double> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    double acc = 0;
    for (size_t k = 0; k < b.size() && k <= n; ++k) acc += b[k] * x[n - k];
    for (size_t k = 1; k < a.size() && k <= n; ++k) acc -= a[k] * y[n - k];
    y[n] = acc;
  }
  return y;
}

// Zero-phase filtering of a whole signal: forwards, then backwards over the reversed
// result, both from rest.
inline std::vector<double> ForwardBackward(const std::vector<double>& b, const std::vector<double>& a,
                                           const std::vector<double>& x) {
  std::vector<double> f = DirectForm(b, a, x);
  std::vector<double> r(f.rbegin(), f.rend());
  std::vector<double> g = DirectForm(b, a, r);
  return std::vector<double>(g.rbegin(), g.rend());
}

inline std::vector<float> RandomSignal(size_t n, unsigned seed, float amplitude = 0.5f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-amplitude, amplitude);
  std::vector<float> v(n);
  for (auto& s : v) s = d(rng);
  return v;
}

// Call lengths from 1 to maxLen summing to total.
inline std::vector<std::int32_t> RandomSplit(std::int32_t total, std::int32_t maxLen, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::int32_t> d(1, maxLen);
  std::vector<std::int32_t> lengths;
  while (total > 0) {
    const std::int32_t n = std::min(total, d(rng));
    lengths.push_back(n);
    total -= n;
  }
  return lengths;
}

// Planar channels of equal length with a pointer array for the engine.
struct Planar {
  Planar(int channels, size_t frames, float fill = 0.0f)
      : data(static_cast<size_t>(channels), std::vector<float>(frames, fill)) {}
  // The channel pointers, taken afresh (the buffers may have been replaced or copied).
  float** Ptrs() {
    pointers.clear();
    for (auto& c : data) pointers.push_back(c.data());
    return pointers.data();
  }
  // Pointers advanced by offset frames.
  std::vector<float*> At(size_t offset) {
    std::vector<float*> p;
    for (auto& c : data) p.push_back(c.data() + offset);
    return p;
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> pointers;
};

// Per-block operations of known effect.
class IdentityApp : public CAudioApp {
 public:
  IdentityApp() : CAudioApp(512, 6, 2, 1.0f) {}
  void ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len) override {
    ++blocks;
    CopyChannels(out, nOut, in, nIn, len);
  }
  void Reset() override { ++resets; }
  int blocks = 0;
  int resets = 0;
};

// Output channel c = gain(c) x input channel c (silence beyond the inputs).
class GainApp : public CAudioApp {
 public:
  GainApp() : CAudioApp(512, 6, 2, 1.0f) {}
  static float Gain(std::int32_t c) { return 0.5f + 0.25f * static_cast<float>(c); }
  void ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len) override {
    for (std::int32_t c = 0; c < nOut; ++c)
      for (std::int32_t t = 0; t < len; ++t) out[c][t] = c < nIn ? in[c][t] * Gain(c) : 0.0f;
  }
};

// Keeps every processing-rate input sample it is given.
class RecordingApp : public CAudioApp {
 public:
  explicit RecordingApp(float offsetScale = 1.0f) : CAudioApp(512, 6, 2, offsetScale) {}
  void ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len) override {
    seen.resize(static_cast<size_t>(nIn));
    for (std::int32_t c = 0; c < nIn; ++c) {
      auto& kept = seen[static_cast<size_t>(c)];
      kept.insert(kept.end(), in[c], in[c] + len);
    }
    CopyChannels(out, nOut, in, nIn, len);
  }
  std::vector<std::vector<float>> seen;
};

}  // namespace lpv_test
