// The virtualiser wrapper's costs with the committed tables, side by side in one run:
// - CLpvEffect::Process, 8 channels in, 2 out, 512 frames a call, at 44100 and 48000 Hz
//   (headphone room 0, narrow angle 0: room 3, code 24, the longest tail);
// - CHeadphoneFir::Process alone on the same input and filters (one 512-sample block);
// - one filter selection through the wrapper (48 forward transforms of order 10 and the
//   copies): the longest the control's lock is held;
// - the fold-down path (processing off).
// Each iteration first copies the fresh input into the work buffers (both processing
// paths rewrite their inputs in place), in every variant alike.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "dsp/virtualiser/headphone_app.h"
#include "dsp/virtualiser/lpv_effect.h"

namespace {

constexpr int kFrames = 512;

struct Channels {
  explicit Channels(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    for (auto& c : fresh) {
      c.resize(kFrames);
      for (auto& x : c) x = d(rng);
    }
    for (int c = 0; c < 8; ++c) {
      work[c].resize(kFrames);
      ptr[c] = work[c].data();
    }
  }
  void Refill() {
    for (int c = 0; c < 8; ++c) std::memcpy(work[c].data(), fresh[c].data(), sizeof(float) * kFrames);
  }
  std::vector<float> fresh[8];
  std::vector<float> work[8];
  float* ptr[8];
};

std::unique_ptr<CLpvEffect> MakeEffect(std::uint32_t rate, std::uint32_t enable) {
  auto fx = std::make_unique<CLpvEffect>();
  dsp::WAVEFORMATEX f{};
  f.wFormatTag = dsp::WAVE_FORMAT_IEEE_FLOAT;
  f.nChannels = 2;
  f.nSamplesPerSec = rate;
  if (fx->SetFormat(&f) != 1) return nullptr;
  fx->SetEnable(enable);
  fx->SetCtcEnable(0);
  fx->SetHeadphoneWide(0);
  fx->SetHeadphoneAngle(0);
  fx->SetHeadphoneRoom(0);
  return fx;
}

// range(0): stream rate.
void BM_LpvEffect_Process8(benchmark::State& st) {
  auto fx = MakeEffect(static_cast<std::uint32_t>(st.range(0)), 1);
  if (fx == nullptr || !fx->IsProcessing()) return st.SkipWithError("wrapper not built");
  Channels ch(1);
  for (auto _ : st) {
    ch.Refill();
    fx->Process(ch.ptr, kFrames);
    benchmark::DoNotOptimize(ch.work[0].data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
}
BENCHMARK(BM_LpvEffect_Process8)->Arg(44100)->Arg(48000);

void BM_LpvEffect_ConvolverAlone(benchmark::State& st) {
  auto fir = std::make_unique<CHeadphoneFir>();
  fir->SetRoomAndAngle(0, 24);
  if (!fir->IsValid() || fir->TailParts() != 14) return st.SkipWithError("convolver not built");
  Channels ch(1);
  std::vector<float> l(kFrames), r(kFrames);
  float* out[2] = {l.data(), r.data()};
  for (auto _ : st) {
    ch.Refill();
    fir->Process(out, 2, ch.ptr, 8, kFrames);
    benchmark::DoNotOptimize(l.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
}
BENCHMARK(BM_LpvEffect_ConvolverAlone);

// One reselection of room 3, code 24 (2 x 10 head and 2 x 14 tail partitions).
void BM_LpvEffect_FilterSelection(benchmark::State& st) {
  auto fx = MakeEffect(44100, 1);
  if (fx == nullptr || fx->Engine()->Fir().TailParts() != 14) return st.SkipWithError("wrapper not built");
  for (auto _ : st) {
    fx->SetHeadphoneRoom(0);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LpvEffect_FilterSelection);

void BM_LpvEffect_FoldDown(benchmark::State& st) {
  auto fx = MakeEffect(44100, 0);
  if (fx == nullptr) return st.SkipWithError("wrapper not built");
  Channels ch(1);
  for (auto _ : st) {
    ch.Refill();
    fx->Process(ch.ptr, kFrames);
    benchmark::DoNotOptimize(ch.work[0].data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
}
BENCHMARK(BM_LpvEffect_FoldDown);

// The input copy alone, to read the figures above without it.
void BM_LpvEffect_RefillOnly(benchmark::State& st) {
  Channels ch(1);
  for (auto _ : st) {
    ch.Refill();
    benchmark::DoNotOptimize(ch.work[0].data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LpvEffect_RefillOnly);

}  // namespace
