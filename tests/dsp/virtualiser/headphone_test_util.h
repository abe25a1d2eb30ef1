// Helpers of the headphone convolver tests: filter sources of known content and a
// double-precision direct-form oracle of the whole virtualiser response.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "dsp/virtualiser/headphone_filters.h"
#include "dsp/virtualiser/headphone_fir.h"
#include "sp/core.h"

namespace lpv_test {

// A filter source that owns its data.
struct OwnedFilters {
  std::vector<float> filters = std::vector<float>(LPV_FILTER_DATA_FLOATS, 0.0f);
  std::vector<float> crosstalk = std::vector<float>(LPV_CTC_DATA_FLOATS, 0.0f);
  LpvFilterSource source{filters.data(), filters.size(), crosstalk.data(), crosstalk.size()};

  float* Head(std::int32_t room, std::int32_t code, std::int32_t filter) {
    std::size_t h = 0;
    EXPECT_TRUE(LpvFilterOffsets(room, code, &h, nullptr));
    return filters.data() + h + static_cast<std::size_t>(filter) * LPV_HEAD_LENGTH;
  }
  float* Tail(std::int32_t room, std::int32_t code, std::int32_t ear) {
    std::size_t t = 0;
    EXPECT_TRUE(LpvFilterOffsets(room, code, nullptr, &t));
    return filters.data() + t + static_cast<std::size_t>(ear) * LpvTailLength(room, code);
  }
};

// Every table random, decaying slowly so the tails matter.
inline std::unique_ptr<OwnedFilters> RandomFilters(unsigned seed) {
  auto f = std::make_unique<OwnedFilters>();
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-0.25f, 0.25f);
  for (float& x : f->filters) x = d(rng);
  for (float& x : f->crosstalk) x = d(rng);
  return f;
}

// One filter set as doubles: heads 0..9 and the two tails.
struct FilterSetD {
  std::vector<double> head[LPV_HEAD_FILTERS];
  std::vector<double> tail[2];
};

inline FilterSetD SetOf(const LpvFilterSource& src, std::int32_t room, std::int32_t code) {
  LpvFilterTables t;
  EXPECT_EQ(LpvFindFilterTables(src, room, code, &t), LpvFilterLookup::Found);
  FilterSetD s;
  for (int k = 0; k < LPV_HEAD_FILTERS; ++k) s.head[k].assign(t.head + k * LPV_HEAD_LENGTH, t.head + (k + 1) * LPV_HEAD_LENGTH);
  for (int e = 0; e < 2; ++e) s.tail[e].assign(t.tail + e * t.tailLength, t.tail + (e + 1) * t.tailLength);
  return s;
}

// The virtualiser's response written from its definition: group signals (channel 3 in
// A and B, the rear pair folded into 4 and 5), each group's head filters per ear, the
// tails on the sum of the groups from tap 1024, times 2, delayed by the crosstalk
// identity's 255 samples. Returns left and right.
inline std::vector<std::vector<double>> Oracle(const FilterSetD& f, const std::vector<std::vector<float>>& in,
                                               int nIn, int delay = 255) {
  const size_t n = in[0].size();
  std::vector<std::vector<double>> g;
  auto ch = [&](int c, size_t i) { return static_cast<double>(in[static_cast<size_t>(c)][i]); };
  const int groups = nIn == 2 ? 2 : 5;
  g.assign(static_cast<size_t>(groups), std::vector<double>(n, 0.0));
  for (size_t i = 0; i < n; ++i) {
    const double c3 = nIn == 2 ? 0.0 : ch(3, i);
    g[0][i] = ch(0, i) + c3;
    g[1][i] = ch(1, i) + c3;
    if (nIn == 2) continue;
    g[2][i] = ch(2, i);
    double x4 = ch(4, i), x5 = ch(5, i);
    if (nIn == 8) {
      const double a = 0.871, b = 0.49;
      const double y4 = a * x4 + ch(6, i) + b * x5, y5 = b * x4 + ch(7, i) + a * x5;
      x4 = y4;
      x5 = y5;
    }
    g[3][i] = x4;
    g[4][i] = x5;
  }
  std::vector<double> sum(n, 0.0);
  for (auto& s : g)
    for (size_t i = 0; i < n; ++i) sum[i] += s[i];
  std::vector<std::vector<double>> out(2, std::vector<double>(n, 0.0));
  for (int e = 0; e < 2; ++e) {
    for (size_t m = static_cast<size_t>(delay); m < n; ++m) {
      const size_t i = m - static_cast<size_t>(delay);  // time of the convolution
      double acc = 0;
      for (int gi = 0; gi < groups; ++gi) {
        const auto& h = f.head[2 * gi + e];
        const auto& x = g[static_cast<size_t>(gi)];
        for (size_t k = 0; k < h.size() && k <= i; ++k) acc += h[k] * x[i - k];
      }
      const auto& t = f.tail[e];
      for (size_t k = 0; k < t.size() && k + 1024 <= i; ++k) acc += t[k] * sum[i - 1024 - k];
      out[static_cast<size_t>(e)][m] = 2.0 * acc;
    }
  }
  return out;
}

inline double RelativeRms(const std::vector<float>& got, const std::vector<double>& ref) {
  double e = 0, r = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    const double d = got[i] - ref[i];
    e += d * d;
    r += ref[i] * ref[i];
  }
  return r > 0 ? std::sqrt(e / r) : std::sqrt(e);
}

// Runs whole signals through a convolver block by block (on copies, since the rear fold
// rewrites inputs); returns left and right.
inline std::vector<std::vector<float>> RunBlocks(CHeadphoneFir& fir, const std::vector<std::vector<float>>& in, int nIn,
                                                 size_t firstBlock = 0, size_t lastBlock = SIZE_MAX) {
  const size_t blocks = std::min(in[0].size() / HEADPHONEFIR_N, lastBlock);
  std::vector<std::vector<float>> out(2, std::vector<float>(in[0].size(), 0.0f));
  std::vector<std::vector<float>> block(static_cast<size_t>(nIn), std::vector<float>(HEADPHONEFIR_N));
  std::vector<float*> ip(static_cast<size_t>(nIn));
  for (size_t b = firstBlock; b < blocks; ++b) {
    for (int c = 0; c < nIn; ++c) {
      auto& blk = block[static_cast<size_t>(c)];
      std::copy_n(in[static_cast<size_t>(c)].begin() + static_cast<std::ptrdiff_t>(b * HEADPHONEFIR_N), HEADPHONEFIR_N,
                  blk.begin());
      ip[static_cast<size_t>(c)] = blk.data();
    }
    float* op[2] = {out[0].data() + b * HEADPHONEFIR_N, out[1].data() + b * HEADPHONEFIR_N};
    fir.Process(op, 2, ip.data(), nIn, HEADPHONEFIR_N);
  }
  return out;
}

inline std::vector<std::vector<float>> RandomChannels(int channels, size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-0.5f, 0.5f);
  std::vector<std::vector<float>> v(static_cast<size_t>(channels), std::vector<float>(n));
  for (auto& c : v)
    for (float& x : c) x = d(rng);
  return v;
}

// True when this processor runs the FFT build of a dispatch index (0 always).
inline bool BuildRuns(std::int32_t index) {
  switch (index) {
    case 1: return __builtin_cpu_supports("sse3");
    case 2: return __builtin_cpu_supports("ssse3");
    case 3: return __builtin_cpu_supports("sse4.1");
    default: return true;
  }
}

// Makes the primitives' allocator fail from the nth allocation on (0: never) while in
// scope.
class FailingSpAllocator {
 public:
  explicit FailingSpAllocator(int nth) : previous_(spAllocator) {
    nth_ = nth;
    count_ = 0;
    spAllocator.allocate = &Allocate;
  }
  ~FailingSpAllocator() { spAllocator = previous_; }

 private:
  static void* Allocate(uint32 bytes) {
    if (nth_ > 0 && ++count_ >= nth_) return nullptr;
    return spDefaultAllocatorHooks.allocate(bytes);
  }
  static inline int nth_ = 0;
  static inline int count_ = 0;
  spAllocatorHooks previous_;
};

}  // namespace lpv_test
