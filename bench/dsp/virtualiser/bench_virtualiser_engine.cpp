// The virtualiser engine's own costs, side by side in one run:
// - the converter at 48000 Hz (factor 1): one 512-sample block down and back up, per
//   channel;
// - one third-order section over 512 samples, for each anti-alias row, beside the
//   primitives' generic arbitrary-order IIR filter and liquid-dsp's iirfilt_rrrf with the
//   same coefficients (items are samples);
// - the frame's overhead: 8 channels at 44100 Hz through a per-block operation that only
//   copies, one 512-sample block per iteration.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "dsp/virtualiser/audio_app.h"
#include "dsp/virtualiser/channel_copy.h"
#include "dsp/virtualiser/engine_resampler.h"
#include "dsp/virtualiser/iir_filter.h"
#include "sp/iir.h"

#ifdef HAVE_LIQUID
#include <liquid/liquid.h>
#endif

namespace {

constexpr int kBlock = 512;

std::vector<float> Random(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-0.5f, 0.5f);
  std::vector<float> v(static_cast<size_t>(n));
  for (auto& x : v) x = d(rng);
  return v;
}

void BM_Src_Factor1_DownAndUp(benchmark::State& st) {
  CSrc src(48000, 44100, 1);
  if (!src.IsValid()) return st.SkipWithError("converter not built");
  std::vector<float> in = Random(kBlock, 1), mid(kBlock), out(kBlock);
  for (auto _ : st) {
    src.Downsample(mid.data(), in.data(), kBlock);
    src.Upsample(out.data(), mid.data(), kBlock);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_Src_Factor1_DownAndUp);

// range(0): anti-alias row.
void BM_IirFilter_ThirdOrder(benchmark::State& st) {
  const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[st.range(0)];
  CIirFilter f(row.b, 4, row.a, 4);
  std::vector<float> x = Random(kBlock, 2);
  for (auto _ : st) {
    f.Process(nullptr, x.data(), kBlock);
    benchmark::DoNotOptimize(x.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_IirFilter_ThirdOrder)->DenseRange(0, 2);

void BM_SpIirGeneric_ThirdOrder(benchmark::State& st) {
  const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[st.range(0)];
  const float taps[8] = {row.b[0], row.b[1], row.b[2], row.b[3], row.a[0], row.a[1], row.a[2], row.a[3]};
  int size = 0;
  sp::generic::spIirGetStateSize_32f(3, &size);
  std::vector<std::uint8_t> buffer(static_cast<size_t>(size));
  spIirState* state = nullptr;
  if (sp::generic::spIirInit_32f(&state, taps, 3, nullptr, buffer.data()) != 0) return st.SkipWithError("init");
  std::vector<float> x = Random(kBlock, 2);
  for (auto _ : st) {
    sp::generic::spIirFilterInPlace_32f(x.data(), kBlock, state);
    benchmark::DoNotOptimize(x.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_SpIirGeneric_ThirdOrder)->DenseRange(0, 2);

#ifdef HAVE_LIQUID
void BM_Liquid_ThirdOrder(benchmark::State& st) {
  const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[st.range(0)];
  float b[4] = {row.b[0], row.b[1], row.b[2], row.b[3]};
  float a[4] = {row.a[0], row.a[1], row.a[2], row.a[3]};
  iirfilt_rrrf q = iirfilt_rrrf_create(b, 4, a, 4);
  std::vector<float> x = Random(kBlock, 2);
  for (auto _ : st) {
    iirfilt_rrrf_execute_block(q, x.data(), kBlock, x.data());
    benchmark::DoNotOptimize(x.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
  iirfilt_rrrf_destroy(q);
}
BENCHMARK(BM_Liquid_ThirdOrder)->DenseRange(0, 2);
#endif

class CopyApp : public CAudioApp {
 public:
  CopyApp() : CAudioApp(512, 6, 2, 1.0f) {}
  void ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len) override {
    CopyChannels(out, nOut, in, nIn, len);
  }
};

// range(0): stream rate; range(1): output channels (8 inputs).
void BM_Frame_CopyEngine(benchmark::State& st) {
  CopyApp app;
  const auto nOut = static_cast<std::int32_t>(st.range(1));
  if (app.SetFormat(static_cast<std::int32_t>(st.range(0)), 8, nOut, 256) != 1) return st.SkipWithError("format");
  std::vector<std::vector<float>> buffers;
  std::vector<float*> channels;
  for (int c = 0; c < 8; ++c) buffers.push_back(Random(kBlock, 10 + c));
  for (auto& b : buffers) channels.push_back(b.data());
  for (auto _ : st) {
    app.Process(channels.data(), nOut, channels.data(), 8, kBlock);
    benchmark::DoNotOptimize(channels.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_Frame_CopyEngine)->Args({44100, 8})->Args({44100, 2})->Args({48000, 2});

}  // namespace

BENCHMARK_MAIN();
