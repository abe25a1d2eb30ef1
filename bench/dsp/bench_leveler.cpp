// The leveller's Process on 512-frame calls, side by side in one run with the primitives it
// cannot avoid: the gain pass (spMulConst_32f over the same frames and channels) for mode 0
// and the 101-tap weighting filter (spFirFilter_32f over the same frames and channels) for
// mode 1. Process works in place, so each leveller iteration first refreshes its buffers
// from the source signal; BM_Refresh times that copy alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/leveler.h"
#include "sp/sp.h"

namespace {

constexpr int kFrames = 512;

struct Signal {
  std::vector<std::vector<float>> source;
  std::vector<std::vector<float>> work;
  std::vector<float*> ptrs;
  Signal(int channels, float level) : source(channels), work(channels) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-level, level);
    for (int c = 0; c < channels; ++c) {
      for (int i = 0; i < kFrames; ++i) source[c].push_back(u(rng));
      work[c] = source[c];
      ptrs.push_back(work[c].data());
    }
  }
  void Refresh() {
    for (std::size_t c = 0; c < source.size(); ++c)
      std::memcpy(work[c].data(), source[c].data(), kFrames * sizeof(float));
  }
};

dsp::WAVEFORMATEXTENSIBLE FloatFormat(int channels, std::uint32_t rate) {
  dsp::WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = dsp::WAVE_FORMAT_IEEE_FLOAT;
  f.Format.nChannels = static_cast<std::uint16_t>(channels);
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = 32;
  f.Format.nBlockAlign = static_cast<std::uint16_t>(channels * 4);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  return f;
}

// args: channels, mode, signal level (percent of full scale; 200 keeps a limiting gain).
void BM_LevelerProcess(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  const auto mode = static_cast<std::uint32_t>(state.range(1));
  Signal s(channels, static_cast<float>(state.range(2)) / 100.0f);
  CDspLeveler lev{};
  lev.Init();
  if (lev.AllocateBuffers() == 0) {
    state.SkipWithError("allocation failed");
    return;
  }
  lev.SetMode(mode);
  lev.SetTargetGain(1.0f);
  lev.SetMaxGain(1.0f);
  const auto format = FloatFormat(channels, 48000);
  lev.SetFormat(&format);
  for (int warm = 0; warm < 8; ++warm) {
    s.Refresh();
    lev.Process(s.ptrs.data(), kFrames);
  }
  for (auto _ : state) {
    s.Refresh();
    lev.Process(s.ptrs.data(), kFrames);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
  lev.FreeBuffers();
}
BENCHMARK(BM_LevelerProcess)
    ->ArgNames({"ch", "mode", "level"})
    ->Args({2, 0, 200})
    ->Args({8, 0, 200})
    ->Args({2, 0, 50})
    ->Args({8, 0, 50})
    ->Args({2, 1, 10});

void BM_Refresh(benchmark::State& state) {
  Signal s(static_cast<int>(state.range(0)), 1.0f);
  for (auto _ : state) {
    s.Refresh();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_Refresh)->ArgName("ch")->Arg(2)->Arg(8);

// The gain pass: one spMulConst_32f per channel over the same frames.
void BM_PeerMulConst(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  Signal s(channels, 1.0f);
  std::vector<std::vector<float>> out(channels, std::vector<float>(kFrames));
  for (auto _ : state) {
    for (int c = 0; c < channels; ++c) spMulConst_32f(s.source[c].data(), 0.5f, out[c].data(), kFrames);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_PeerMulConst)->ArgName("ch")->Arg(2)->Arg(8);

// The weighting filter: 101-tap spFirFilter_32f per channel over the same frames, in one
// call (arg block 512) or in the 128-frame calls the leveller's blocks make (block 128).
void BM_PeerFir101(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  const int block = static_cast<int>(state.range(1));
  Signal s(channels, 0.1f);
  std::uint32_t bytes = 0;
  spFirGetStateSize_32f(LEVELER_WEIGHTING_TAPS, &bytes);
  std::vector<float> taps(LEVELER_WEIGHTING_TAPS);
  spMulConst_32f(kLevelerWeighting48k, 2.0f, taps.data(), LEVELER_WEIGHTING_TAPS);
  std::vector<std::vector<std::uint8_t>> buffers(channels, std::vector<std::uint8_t>(bytes));
  std::vector<spFirState*> states(channels);
  for (int c = 0; c < channels; ++c)
    spFirInit_32f(&states[c], taps.data(), LEVELER_WEIGHTING_TAPS, nullptr, buffers[c].data());
  std::vector<std::vector<float>> out(channels, std::vector<float>(kFrames));
  for (auto _ : state) {
    for (int c = 0; c < channels; ++c)
      for (int i = 0; i < kFrames; i += block)
        spFirFilter_32f(s.source[c].data() + i, out[c].data() + i, block, states[c]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_PeerFir101)->ArgNames({"ch", "block"})->Args({2, 512})->Args({2, 128});

}  // namespace

BENCHMARK_MAIN();
