// FIR filters side by side with liquid-dsp, every build of ours: the leveller's 101-tap
// single-rate filter on blocks of 128, 511 (direct form) and 512 (overlap-save) samples,
// the 2x and 4x converters' polyphase filters, and the 24-tap one-sample filter of the
// polyphase resampler. The first argument of our benchmarks is the build: 0 generic,
// 1 SSE3, 2 SSSE3, 3 SSE4.1-class. Debian's liquid-dsp is its portable build (plain C,
// no SIMD kernels): its rows are labelled so.
#include <benchmark/benchmark.h>

#include <complex>
#include <random>
#include <tuple>
#include <vector>

#include "bench_support.h"
#include "sp/filters_bodies.h"

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

struct Build {
  decltype(&sp::generic::spFirGetStateSize_32f) size;
  decltype(&sp::generic::spFirInit_32f) init;
  decltype(&sp::generic::spFirMultirateGetStateSize_32f) multirateSize;
  decltype(&sp::generic::spFirMultirateInit_32f) multirateInit;
  decltype(&sp::generic::spFirFilter_32f) filter;
  decltype(&sp::generic::spFirFilterOneSample_32f) oneSample;
};

#define BENCH_BUILD(ns)                                                                             \
  Build {                                                                                           \
    &sp::ns::spFirGetStateSize_32f, &sp::ns::spFirInit_32f, &sp::ns::spFirMultirateGetStateSize_32f, \
        &sp::ns::spFirMultirateInit_32f, &sp::ns::spFirFilter_32f, &sp::ns::spFirFilterOneSample_32f \
  }

const Build kBuilds[4] = {BENCH_BUILD(generic), BENCH_BUILD(sse3), BENCH_BUILD(ssse3), BENCH_BUILD(sse41)};
const char* const kBuildNames[4] = {"generic", "sse3", "ssse3", "sse41"};
const char* const kBuildFeatures[4] = {"", "sse3", "ssse3", "sse4.1"};

void BM_Sp_SingleRate101(benchmark::State& st) {
  const Build& b = kBuilds[st.range(0)];
  if (!bench::CpuHas(kBuildFeatures[st.range(0)])) return st.SkipWithError("build not supported by this processor");
  const int block = static_cast<int>(st.range(1));
  st.SetLabel(kBuildNames[st.range(0)]);
  const auto taps = Random(101, 1);
  uint32 size = 0;
  b.size(101, &size);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  b.init(&s, taps.data(), 101, nullptr, buf.data());
  auto x = Random(block, 2);
  std::vector<float> y(static_cast<size_t>(block));
  for (auto _ : st) {
    b.filter(x.data(), y.data(), block, s);
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * block);
}
BENCHMARK(BM_Sp_SingleRate101)->ArgsProduct({{0, 1, 2, 3}, {128, 511, 512}});

// up > 1: interpolator (kBlock inputs); down > 1: decimator (kBlock outputs).
void BM_Sp_Multirate(benchmark::State& st) {
  const Build& b = kBuilds[st.range(0)];
  if (!bench::CpuHas(kBuildFeatures[st.range(0)])) return st.SkipWithError("build not supported by this processor");
  st.SetLabel(kBuildNames[st.range(0)]);
  const int taps = static_cast<int>(st.range(1)), up = static_cast<int>(st.range(2)),
            down = static_cast<int>(st.range(3));
  const auto h = Random(taps, 3);
  uint32 size = 0;
  b.multirateSize(taps, up, down, &size);
  std::vector<uint8_t> buf(size);
  spFirState* s = nullptr;
  b.multirateInit(&s, h.data(), taps, up, 0, down, 0, nullptr, buf.data());
  const int iters = kBlock;
  auto x = Random(iters * down, 4);
  std::vector<float> y(static_cast<size_t>(iters * up));
  for (auto _ : st) {
    b.filter(x.data(), y.data(), iters, s);
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * iters * up);
}
void MultirateArgs(benchmark::internal::Benchmark* bm) {
  for (int build = 0; build < 4; ++build)
    for (auto [taps, up, down] : {std::tuple{66, 2, 1}, {66, 1, 2}, {132, 4, 1}, {132, 1, 4}})
      bm->Args({build, taps, up, down});
}
BENCHMARK(BM_Sp_Multirate)->Apply(MultirateArgs);

void BM_Sp_OneSample24(benchmark::State& st) {
  const Build& b = kBuilds[st.range(0)];
  if (!bench::CpuHas(kBuildFeatures[st.range(0)])) return st.SkipWithError("build not supported by this processor");
  st.SetLabel(kBuildNames[st.range(0)]);
  const auto taps = Random(24, 5);
  std::vector<float> line(48, 0.0f);
  int32 index = 0;
  float y = 0.0f;
  float x = 0.25f;
  for (auto _ : st) {
    b.oneSample(x, &y, taps.data(), 24, line.data(), &index);
    benchmark::DoNotOptimize(y);
    x = -x;
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Sp_OneSample24)->DenseRange(0, 3);

#ifdef HAVE_LIQUID
void BM_Liquid_SingleRate101(benchmark::State& st) {
  st.SetLabel("liquid-dsp portable C build");
  const int block = static_cast<int>(st.range(0));
  auto taps = Random(101, 1);
  firfilt_rrrf q = firfilt_rrrf_create(taps.data(), 101);
  auto x = Random(block, 2);
  std::vector<float> y(static_cast<size_t>(block));
  for (auto _ : st) {
    firfilt_rrrf_execute_block(q, x.data(), static_cast<unsigned>(block), y.data());
    benchmark::DoNotOptimize(y.data());
  }
  firfilt_rrrf_destroy(q);
  st.SetItemsProcessed(st.iterations() * block);
}
BENCHMARK(BM_Liquid_SingleRate101)->Arg(128)->Arg(511)->Arg(512);

void BM_Liquid_Interp(benchmark::State& st) {
  st.SetLabel("liquid-dsp portable C build");
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
  st.SetLabel("liquid-dsp portable C build");
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
  st.SetLabel("liquid-dsp portable C build");
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
