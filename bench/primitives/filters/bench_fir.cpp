// FIR filters side by side with liquid-dsp: the leveller's 101-tap single-rate filter on
// 512-sample blocks, the 2x and 4x converters' polyphase filters, and the 24-tap
// one-sample filter of the polyphase resampler.
#include <benchmark/benchmark.h>

#include <complex>
#include <random>
#include <vector>

#include "sp/fir.h"
#include "sp/sp.h"

#ifdef HAVE_LIQUID
#include <liquid/liquid.h>
#endif

namespace {

std::vector<float> Random(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(static_cast<size_t>(n));
  for (auto& x : v) x = d(rng);
  return v;
}

constexpr int kBlock = 512;

void BM_Sp_SingleRate101(benchmark::State& st) {
  const auto taps = Random(101, 1);
  uint32 size = 0;
  spFirGetStateSize_32f(101, &size);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  spFirInit_32f(&s, taps.data(), 101, nullptr, buf.data());
  auto x = Random(kBlock, 2);
  std::vector<float> y(kBlock);
  for (auto _ : st) {
    spFirFilter_32f(x.data(), y.data(), kBlock, s);
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_Sp_SingleRate101);

// up > 1: interpolator (kBlock inputs); down > 1: decimator (kBlock outputs).
void BM_Sp_Multirate(benchmark::State& st) {
  const int taps = static_cast<int>(st.range(0)), up = static_cast<int>(st.range(1)),
            down = static_cast<int>(st.range(2));
  const auto h = Random(taps, 3);
  uint32 size = 0;
  spFirMultirateGetStateSize_32f(taps, up, down, &size);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  spFirMultirateInit_32f(&s, h.data(), taps, up, 0, down, 0, nullptr, buf.data());
  const int iters = kBlock;
  auto x = Random(iters * down, 4);
  std::vector<float> y(static_cast<size_t>(iters * up));
  for (auto _ : st) {
    spFirFilter_32f(x.data(), y.data(), iters, s);
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * iters * up);
}
BENCHMARK(BM_Sp_Multirate)->Args({66, 2, 1})->Args({66, 1, 2})->Args({132, 4, 1})->Args({132, 1, 4});

void BM_Sp_OneSample24(benchmark::State& st) {
  const auto taps = Random(24, 5);
  std::vector<float> line(48, 0.0f);
  int32 index = 0;
  float y = 0.0f;
  float x = 0.25f;
  for (auto _ : st) {
    spFirFilterOneSample_32f(x, &y, taps.data(), 24, line.data(), &index);
    benchmark::DoNotOptimize(y);
    x = -x;
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Sp_OneSample24);

#ifdef HAVE_LIQUID
void BM_Liquid_SingleRate101(benchmark::State& st) {
  auto taps = Random(101, 1);
  firfilt_rrrf q = firfilt_rrrf_create(taps.data(), 101);
  auto x = Random(kBlock, 2);
  std::vector<float> y(kBlock);
  for (auto _ : st) {
    firfilt_rrrf_execute_block(q, x.data(), kBlock, y.data());
    benchmark::DoNotOptimize(y.data());
  }
  firfilt_rrrf_destroy(q);
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_Liquid_SingleRate101);

void BM_Liquid_Interp(benchmark::State& st) {
  const int taps = static_cast<int>(st.range(0)), up = static_cast<int>(st.range(1));
  auto h = Random(taps, 3);
  firinterp_rrrf q = firinterp_rrrf_create(static_cast<unsigned>(up), h.data(), static_cast<unsigned>(taps));
  auto x = Random(kBlock, 4);
  std::vector<float> y(static_cast<size_t>(kBlock * up));
  for (auto _ : st) {
    firinterp_rrrf_execute_block(q, x.data(), kBlock, y.data());
    benchmark::DoNotOptimize(y.data());
  }
  firinterp_rrrf_destroy(q);
  st.SetItemsProcessed(st.iterations() * kBlock * up);
}
BENCHMARK(BM_Liquid_Interp)->Args({66, 2})->Args({132, 4});

void BM_Liquid_Decim(benchmark::State& st) {
  const int taps = static_cast<int>(st.range(0)), down = static_cast<int>(st.range(1));
  auto h = Random(taps, 3);
  firdecim_rrrf q = firdecim_rrrf_create(static_cast<unsigned>(down), h.data(), static_cast<unsigned>(taps));
  auto x = Random(kBlock * down, 4);
  std::vector<float> y(kBlock);
  for (auto _ : st) {
    firdecim_rrrf_execute_block(q, x.data(), kBlock, y.data());
    benchmark::DoNotOptimize(y.data());
  }
  firdecim_rrrf_destroy(q);
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_Liquid_Decim)->Args({66, 2})->Args({132, 4});

void BM_Liquid_OneSample24(benchmark::State& st) {
  auto taps = Random(24, 5);
  firfilt_rrrf q = firfilt_rrrf_create(taps.data(), 24);
  float y = 0.0f, x = 0.25f;
  for (auto _ : st) {
    firfilt_rrrf_push(q, x);
    firfilt_rrrf_execute(q, &y);
    benchmark::DoNotOptimize(y);
    x = -x;
  }
  firfilt_rrrf_destroy(q);
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Liquid_OneSample24);
#endif

}  // namespace

BENCHMARK_MAIN();
