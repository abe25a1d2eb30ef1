// 32-bit float IIR filters on 512-sample stereo blocks (one state per channel), each
// build side by side with liquid-dsp: a 4th-order and an 8th-order Butterworth low-pass,
// both as a biquad cascade and as one arbitrary-order state. The argument is the build
// (0 generic, 1 SSE3, 2 SSSE3, 3 SSE4.1-class). Our filters work in place, so every
// iteration first copies the 512 input samples of each channel into the work block; the
// liquid-dsp rows make the same copy and filter the block in place, so both sides time
// the same work. Debian's liquid-dsp is its portable build (plain C, no SIMD kernels):
// its rows are labelled so.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "sp/iir.h"
#include "sp/sp.h"

#ifdef HAVE_LIQUID
#include <liquid/liquid.h>
#endif

namespace {

constexpr int kBlock = 512;
constexpr int kChannels = 2;

std::vector<float> Random(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(static_cast<size_t>(n));
  for (auto& x : v) x = d(rng);
  return v;
}

// Butterworth low-pass of the given even order at 0.1 of the sample rate as biquad
// sections, b0 b1 b2 a1 a2 each (a0 = 1).
std::vector<float> ButterworthSections(int order) {
  const int L = order / 2;
  const double w0 = 2.0 * M_PI * 0.1, c = std::cos(w0), s = std::sin(w0);
  std::vector<float> out;
  for (int k = 0; k < L; ++k) {
    const double q = 1.0 / (2.0 * std::cos(M_PI * (2 * k + 1) / (4.0 * L)));
    const double alpha = s / (2.0 * q), a0 = 1.0 + alpha;
    for (double v : {(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0})
      out.push_back(static_cast<float>(v));
  }
  return out;
}

// The same filter as one transfer function: b0..bn, then a0..an.
std::vector<float> TransferFunction(const std::vector<float>& sections) {
  std::vector<double> b{1.0}, a{1.0};
  for (size_t s = 0; s < sections.size(); s += 5) {
    const double sb[3] = {sections[s], sections[s + 1], sections[s + 2]};
    const double sa[3] = {1.0, sections[s + 3], sections[s + 4]};
    std::vector<double> nb(b.size() + 2, 0.0), na(a.size() + 2, 0.0);
    for (size_t i = 0; i < b.size(); ++i)
      for (int j = 0; j < 3; ++j) {
        nb[i + static_cast<size_t>(j)] += b[i] * sb[j];
        na[i + static_cast<size_t>(j)] += a[i] * sa[j];
      }
    b = nb;
    a = na;
  }
  std::vector<float> taps;
  for (double v : b) taps.push_back(static_cast<float>(v));
  for (double v : a) taps.push_back(static_cast<float>(v));
  return taps;
}

using FilterFn = decltype(&sp::generic::spIirFilterInPlace_32f);
using InitFn = decltype(&sp::generic::spIirInit_32f);
using SizeFn = decltype(&sp::generic::spIirGetStateSize_32f);

struct Build {
  bool supported;
  FilterFn filter;
  InitFn init;
  SizeFn size;
};

const char* const kBuildNames[4] = {"generic", "sse3", "ssse3", "sse41"};

Build BuildOf(int index) {
  switch (index) {
    case 1:
      return {__builtin_cpu_supports("sse3") != 0, &sp::sse3::spIirFilterInPlace_32f, &sp::sse3::spIirInit_32f,
              &sp::sse3::spIirGetStateSize_32f};
    case 2:
      return {__builtin_cpu_supports("ssse3") != 0, &sp::ssse3::spIirFilterInPlace_32f, &sp::ssse3::spIirInit_32f,
              &sp::ssse3::spIirGetStateSize_32f};
    case 3:
      return {__builtin_cpu_supports("sse4.1") != 0, &sp::sse41::spIirFilterInPlace_32f,
              &sp::sse41::spIirInit_32f, &sp::sse41::spIirGetStateSize_32f};
    default:
      return {true, &sp::generic::spIirFilterInPlace_32f, &sp::generic::spIirInit_32f,
              &sp::generic::spIirGetStateSize_32f};
  }
}

void RunStereo(benchmark::State& st, FilterFn filter, spIirState* const* states) {
  const auto x = Random(kChannels * kBlock, 2);
  std::vector<float> y(x.size());
  for (auto _ : st) {
    for (int ch = 0; ch < kChannels; ++ch) {
      float* p = y.data() + ch * kBlock;
      std::copy(x.begin() + ch * kBlock, x.begin() + (ch + 1) * kBlock, p);
      filter(p, kBlock, states[ch]);
    }
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * kChannels * kBlock);
}

// range(0): order (4 or 8); range(1): build.
void BM_Sp_Biquads(benchmark::State& st) {
  const Build b = BuildOf(static_cast<int>(st.range(1)));
  if (!b.supported) return st.SkipWithError("build not supported by this processor");
  st.SetLabel(kBuildNames[st.range(1)]);
  const auto sec = ButterworthSections(static_cast<int>(st.range(0)));
  const int S = static_cast<int>(sec.size() / 5);
  int size = 0;
  sp::generic::spIirBiquadGetStateSize_32f(S, &size);
  std::vector<uint8_t> buf(static_cast<size_t>(kChannels * size));
  spIirState* states[kChannels];
  for (int ch = 0; ch < kChannels; ++ch)
    sp::generic::spIirBiquadInit_32f(&states[ch], sec.data(), S, nullptr, buf.data() + ch * size);
  RunStereo(st, b.filter, states);
}
BENCHMARK(BM_Sp_Biquads)->ArgsProduct({{4, 8}, {0, 1, 2, 3}});

void BM_Sp_ArbitraryOrder(benchmark::State& st) {
  const Build b = BuildOf(static_cast<int>(st.range(1)));
  if (!b.supported) return st.SkipWithError("build not supported by this processor");
  st.SetLabel(kBuildNames[st.range(1)]);
  const int order = static_cast<int>(st.range(0));
  const auto taps = TransferFunction(ButterworthSections(order));
  int size = 0;
  b.size(order, &size);
  std::vector<uint8_t> buf(static_cast<size_t>(kChannels * size));
  spIirState* states[kChannels];
  for (int ch = 0; ch < kChannels; ++ch) b.init(&states[ch], taps.data(), order, nullptr, buf.data() + ch * size);
  RunStereo(st, b.filter, states);
}
BENCHMARK(BM_Sp_ArbitraryOrder)->ArgsProduct({{4, 8}, {0, 1, 2, 3}});

#ifdef HAVE_LIQUID
void RunLiquid(benchmark::State& st, iirfilt_rrrf* q) {
  const auto x = Random(kChannels * kBlock, 2);
  std::vector<float> y(x.size());
  st.SetLabel("liquid-dsp portable C build");
  for (auto _ : st) {
    for (int ch = 0; ch < kChannels; ++ch) {
      float* p = y.data() + ch * kBlock;
      std::copy(x.begin() + ch * kBlock, x.begin() + (ch + 1) * kBlock, p);
      iirfilt_rrrf_execute_block(q[ch], p, kBlock, p);
    }
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * kChannels * kBlock);
  for (int ch = 0; ch < kChannels; ++ch) iirfilt_rrrf_destroy(q[ch]);
}

void BM_Liquid_Biquads(benchmark::State& st) {
  const auto sec = ButterworthSections(static_cast<int>(st.range(0)));
  const unsigned S = static_cast<unsigned>(sec.size() / 5);
  std::vector<float> B, A;
  for (unsigned s = 0; s < S; ++s) {
    B.insert(B.end(), {sec[5 * s], sec[5 * s + 1], sec[5 * s + 2]});
    A.insert(A.end(), {1.0f, sec[5 * s + 3], sec[5 * s + 4]});
  }
  iirfilt_rrrf q[kChannels];
  for (auto& f : q) f = iirfilt_rrrf_create_sos(B.data(), A.data(), S);
  RunLiquid(st, q);
}
BENCHMARK(BM_Liquid_Biquads)->Arg(4)->Arg(8);

void BM_Liquid_TransferFunction(benchmark::State& st) {
  auto taps = TransferFunction(ButterworthSections(static_cast<int>(st.range(0))));
  const unsigned n = static_cast<unsigned>(taps.size() / 2);
  iirfilt_rrrf q[kChannels];
  for (auto& f : q) f = iirfilt_rrrf_create(taps.data(), n, taps.data() + n, n);
  RunLiquid(st, q);
}
BENCHMARK(BM_Liquid_TransferFunction)->Arg(4)->Arg(8);
#endif

}  // namespace

BENCHMARK_MAIN();
