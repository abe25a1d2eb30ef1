// Shared helpers of the DSP tests: wave formats, a recording host (pool blocks by tag,
// failure injection, captured debugger lines) and a least-squares tone fit.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "dsp/host.h"
#include "dsp/wave_format.h"

namespace dsp_test {

enum class Enc { Pcm16, Pcm24, Pcm32, Float };

inline const char* EncName(Enc e) {
  switch (e) {
    case Enc::Pcm16: return "pcm16";
    case Enc::Pcm24: return "pcm24";
    case Enc::Pcm32: return "pcm32";
    case Enc::Float: return "float";
  }
  return "?";
}

inline int EncBytes(Enc e) { return e == Enc::Pcm16 ? 2 : e == Enc::Pcm24 ? 3 : 4; }

// A consistent format; extensible forms carry the tag in SubFormat.
inline dsp::WAVEFORMATEXTENSIBLE Format(Enc e, int channels, std::uint32_t rate, bool extensible = false) {
  dsp::WAVEFORMATEXTENSIBLE f{};
  const std::uint16_t tag = e == Enc::Float ? dsp::WAVE_FORMAT_IEEE_FLOAT : dsp::WAVE_FORMAT_PCM;
  f.Format.wFormatTag = extensible ? dsp::WAVE_FORMAT_EXTENSIBLE : tag;
  f.Format.nChannels = static_cast<std::uint16_t>(channels);
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = static_cast<std::uint16_t>(EncBytes(e) * 8);
  f.Format.nBlockAlign = static_cast<std::uint16_t>(channels * EncBytes(e));
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = extensible ? 22 : 0;
  if (extensible) {
    f.Samples.wValidBitsPerSample = f.Format.wBitsPerSample;
    f.SubFormat = {tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  }
  return f;
}

// Installs hooks that track every block by tag, can fail the Nth allocation, and keep
// the debugger lines. Restores the previous hooks and checks for leaks on destruction.
class RecordingHost {
 public:
  RecordingHost() {
    instance_ = this;
    const DspHostHooks mine{&Allocate, &Free, &Print};
    previous_ = DspSetHostHooks(&mine);
  }
  ~RecordingHost() {
    DspSetHostHooks(&previous_);
    instance_ = nullptr;
    EXPECT_TRUE(live_.empty()) << live_.size() << " DSP pool blocks leaked";
  }
  // Fails the nth allocation from now (1 = the next one); 0 fails none.
  void FailAllocation(int nth) {
    failAt_ = nth;
    count_ = 0;
  }
  int LiveBlocks(std::uint32_t tag) const {
    int n = 0;
    for (const auto& [block, t] : live_)
      if (t == tag) ++n;
    return n;
  }
  int LiveBlocks() const { return static_cast<int>(live_.size()); }
  const std::vector<std::string>& Lines() const { return lines_; }
  void ClearLines() { lines_.clear(); }

 private:
  static void* Allocate(std::size_t bytes, std::uint32_t tag) {
    RecordingHost* self = instance_;
    if (self->failAt_ > 0 && ++self->count_ == self->failAt_) return nullptr;
    // Fresh blocks carry a fill pattern, as the pool does, so no reader relies on zeros
    // it did not ask for.
    auto* block = static_cast<unsigned char*>(std::malloc(bytes == 0 ? 1 : bytes));
    for (std::size_t i = 0; i < bytes; ++i) block[i] = 0xCD;
    self->live_[block] = tag;
    return block;
  }
  static void Free(void* block) {
    RecordingHost* self = instance_;
    const auto it = self->live_.find(block);
    EXPECT_NE(it, self->live_.end()) << "free of an unknown block";
    if (it != self->live_.end()) self->live_.erase(it);
    std::free(block);
  }
  static void Print(const char* line) { instance_->lines_.emplace_back(line); }

  static inline RecordingHost* instance_ = nullptr;
  DspHostHooks previous_{};
  std::map<void*, std::uint32_t> live_;
  std::vector<std::string> lines_;
  int failAt_ = 0;
  int count_ = 0;
};

// Least-squares fit of a + b sin(wt) + c cos(wt) to y (sampled at fs): amplitude, phase
// (radians, of sin) and the residual (noise, distortion, images) relative to the tone.
struct ToneFit {
  double amplitude;
  double phase;
  double residualDb;
  std::vector<double> residual;  // y less the fitted tone
};

inline ToneFit FitTone(const std::vector<double>& y, double fs, double f) {
  const double w = 2 * std::numbers::pi * f / fs;
  double m[3][3] = {}, r[3] = {};
  for (size_t n = 0; n < y.size(); ++n) {
    const double v[3] = {1.0, std::sin(w * n), std::cos(w * n)};
    for (int i = 0; i < 3; ++i) {
      r[i] += v[i] * y[n];
      for (int j = 0; j < 3; ++j) m[i][j] += v[i] * v[j];
    }
  }
  // Gaussian elimination of the 3x3 normal equations.
  for (int i = 0; i < 3; ++i) {
    for (int k = i + 1; k < 3; ++k) {
      const double q = m[k][i] / m[i][i];
      for (int j = i; j < 3; ++j) m[k][j] -= q * m[i][j];
      r[k] -= q * r[i];
    }
  }
  double c[3];
  for (int i = 2; i >= 0; --i) {
    double s = r[i];
    for (int j = i + 1; j < 3; ++j) s -= m[i][j] * c[j];
    c[i] = s / m[i][i];
  }
  double err = 0;
  std::vector<double> residual(y.size());
  for (size_t n = 0; n < y.size(); ++n) {
    const double e = y[n] - (c[0] + c[1] * std::sin(w * n) + c[2] * std::cos(w * n));
    residual[n] = e;
    err += e * e;
  }
  const double amplitude = std::hypot(c[1], c[2]);
  const double rms = std::sqrt(err / static_cast<double>(y.size()));
  return {amplitude, std::atan2(c[2], c[1]), 20 * std::log10(rms / (amplitude / std::sqrt(2.0))), std::move(residual)};
}

inline std::vector<float> Tone(int n, double fs, double f, double amplitude, double phase = 0.0) {
  std::vector<float> x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    x[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * f * i / fs + phase));
  return x;
}

}  // namespace dsp_test
