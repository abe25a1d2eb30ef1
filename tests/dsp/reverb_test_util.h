// Helpers of the reverb tests: a pool-allocated network and planar 8-channel signals.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "dsp/host.h"
#include "dsp/reverb.h"

namespace reverb_test {

struct ReverbDeleter {
  void operator()(CDspReverb* r) const { DspDelete(r); }
};
using ReverbPtr = std::unique_ptr<CDspReverb, ReverbDeleter>;

// Zero-filled, as its owner allocates it, and initialised.
inline ReverbPtr MakeReverb() {
  ReverbPtr r(DspNew<CDspReverb>(DspPoolTag('D', 'o', 'H', 'P')));
  if (r) r->Init();
  return r;
}

// A configured network: the rate's mode with channelCount channels, applied.
inline ReverbPtr MakeReverb(std::int32_t rate, std::int32_t channelCount) {
  ReverbPtr r = MakeReverb();
  r->SetSampleRate(rate, channelCount - 1);
  r->ApplyPendingMode();
  return r;
}

// Eight planar channels of a fixed length.
struct Planar {
  explicit Planar(std::size_t frames) : data(8, std::vector<float>(frames, 0.0f)) {}
  const float* const* In() {
    for (int c = 0; c < 8; ++c) ptrs[c] = data[c].data();
    return ptrs;
  }
  float* const* Mut() {
    for (int c = 0; c < 8; ++c) ptrs[c] = data[c].data();
    return ptrs;
  }
  std::size_t Frames() const { return data[0].size(); }
  std::vector<std::vector<float>> data;
  float* ptrs[8];
};

inline Planar Noise(std::size_t frames, std::uint32_t seed, float amplitude) {
  Planar p(frames);
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  for (auto& ch : p.data)
    for (float& v : ch) v = dist(gen);
  return p;
}

// Runs a whole signal through in blocks of at most block frames into two outputs.
inline void RunBlocks(CDspReverb& r, Planar& in, std::vector<float>& left, std::vector<float>& right,
                std::size_t block = 512) {
  const std::size_t frames = in.Frames();
  left.assign(frames, 0.0f);
  right.assign(frames, 0.0f);
  for (std::size_t at = 0; at < frames; at += block) {
    const std::size_t n = std::min(block, frames - at);
    const float* src[8];
    for (int c = 0; c < 8; ++c) src[c] = in.data[c].data() + at;
    float* dst[2] = {left.data() + at, right.data() + at};
    r.Process(src, dst, static_cast<std::int32_t>(n));
  }
}

}  // namespace reverb_test
