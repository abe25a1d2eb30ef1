// Helpers of the leveller tests: a set-up leveller, planar streams and a driver that feeds
// a stream through Process in calls of chosen sizes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "dsp/leveler.h"
#include "dsp_test_util.h"

namespace leveler_test {

using Planar = std::vector<std::vector<float>>;

struct Settings {
  int channels = 2;
  std::uint32_t rate = 48000;
  std::uint32_t mode = 0;
  float target = 1.0f;
  float ceiling = 1.0f;
};

// A leveller in a zero-filled pool block, set up in the owner's calling order.
struct Owned {
  CDspLeveler* lev = nullptr;
  explicit Owned(const Settings& s) {
    lev = DspNew<CDspLeveler>(DSP_POOL_TAG_DUNQ);
    lev->Init();
    EXPECT_EQ(lev->AllocateBuffers(), 1u);
    lev->SetMode(s.mode);
    lev->SetTargetGain(s.target);
    lev->SetMaxGain(s.ceiling);
    const auto format = dsp_test::Format(dsp_test::Enc::Float, s.channels, s.rate);
    lev->SetFormat(&format);
  }
  ~Owned() {
    lev->FreeBuffers();
    DspDelete(lev);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  CDspLeveler* operator->() const { return lev; }
};

inline Planar Silence(int channels, std::size_t frames) { return Planar(channels, std::vector<float>(frames)); }

// Uniform noise of the given peak magnitude.
inline Planar Noise(int channels, std::size_t frames, float level, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Planar x = Silence(channels, frames);
  for (auto& ch : x)
    for (auto& v : ch) v = level * u(rng);
  return x;
}

// Noise whose level changes every few blocks (bursts from near silence to well above the
// ceiling), the same envelope on every channel but independent samples.
inline Planar Bursts(int channels, std::size_t frames, float maxLevel, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_real_distribution<float> level(0.0f, maxLevel);
  std::uniform_int_distribution<int> length(1, 900);
  Planar x = Silence(channels, frames);
  std::size_t i = 0;
  while (i < frames) {
    const float l = level(rng) * level(rng) / maxLevel;
    const std::size_t end = std::min(frames, i + static_cast<std::size_t>(length(rng)));
    for (; i < end; ++i)
      for (auto& ch : x) ch[i] = l * u(rng);
  }
  return x;
}

// Feeds x through Process in calls of the given sizes (repeated), in place on a copy.
inline Planar Feed(CDspLeveler* lev, Planar x, const std::vector<std::uint32_t>& calls) {
  const std::size_t frames = x.empty() ? 0 : x[0].size();
  std::size_t pos = 0;
  for (std::size_t k = 0; pos < frames; ++k) {
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::size_t>(calls[k % calls.size()], frames - pos));
    std::vector<float*> ptrs;
    for (auto& ch : x) ptrs.push_back(ch.data() + pos);
    lev->Process(ptrs.data(), n);
    pos += n;
  }
  return x;
}

inline Planar FeedWhole(CDspLeveler* lev, const Planar& x) {
  return Feed(lev, x, {static_cast<std::uint32_t>(x[0].size())});
}

}  // namespace leveler_test
