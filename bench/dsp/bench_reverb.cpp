// The delay-network reverb: Process on 8 channels x 512 frames in each mode (the reverb
// node's call), beside libsox's reverb effect at its default settings on 512 stereo frames
// at 48 kHz for orientation (a different network: the ratio is reported, not aimed at).
// BM_ReverbSilence is the same call on silence after a second of signal and ten seconds
// of decay, when the network's state has decayed far below anything audible; its time
// should stay that of BM_Reverb. The counter frame_time is the time per frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "dsp/host.h"
#include "dsp/reverb.h"

#if HAVE_SOX
#include <sox.h>
#endif

namespace {

constexpr int kFrames = 512;

std::vector<float> Noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

void PerFrame(benchmark::State& state) {
  state.counters["frame_time"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Process on noise, or (afterDecay) on silence once a second of noise has decayed for ten
// seconds.
void ReverbCalls(benchmark::State& state, bool afterDecay) {
  const auto rate = static_cast<std::int32_t>(state.range(0));
  CDspReverb* reverb = DspNew<CDspReverb>(DspPoolTag('D', 'o', 'H', 'P'));
  reverb->Init();
  reverb->SetSampleRate(rate, 7);
  std::vector<std::vector<float>> channels;
  for (std::uint32_t c = 0; c < 8; ++c) channels.push_back(Noise(kFrames, c + 1));
  const float* in[8];
  for (int c = 0; c < 8; ++c) in[c] = channels[static_cast<std::size_t>(c)].data();
  std::vector<float> left(kFrames), right(kFrames);
  float* out[2] = {left.data(), right.data()};
  const std::vector<float> zeros(kFrames, 0.0f);
  if (afterDecay) {
    const std::int32_t second = rate / kFrames;
    for (std::int32_t call = 0; call < second; ++call) reverb->Process(in, out, kFrames);
    for (int c = 0; c < 8; ++c) in[c] = zeros.data();
    for (std::int32_t call = 0; call < 10 * second; ++call) reverb->Process(in, out, kFrames);
  }
  for (auto _ : state) {
    reverb->Process(in, out, kFrames);
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
  }
  state.SetLabel("mode " + std::to_string(reverb->Mode()) + (afterDecay ? ", silence" : ""));
  PerFrame(state);
  DspDelete(reverb);
}

void BM_Reverb(benchmark::State& state) { ReverbCalls(state, false); }
BENCHMARK(BM_Reverb)->Arg(48000)->Arg(44100)->Arg(32000)->Arg(96000)->Arg(88200);

void BM_ReverbSilence(benchmark::State& state) { ReverbCalls(state, true); }
BENCHMARK(BM_ReverbSilence)->Arg(48000)->Arg(44100)->Arg(32000)->Arg(96000)->Arg(88200);

#if HAVE_SOX
void BM_SoxReverbStereo(benchmark::State& state) {
  static const bool initialised = sox_init() == SOX_SUCCESS;
  if (!initialised) {
    state.SkipWithError("sox_init failed");
    return;
  }
  sox_effect_t* effect = sox_create_effect(sox_find_effect("reverb"));
  if (effect == nullptr) {
    state.SkipWithError("no reverb effect");
    return;
  }
  effect->flows = 1;
  if (sox_effect_options(effect, 0, nullptr) != SOX_SUCCESS) {
    state.SkipWithError("reverb options refused");
    sox_delete_effect(effect);
    return;
  }
  sox_signalinfo_t signal{};
  signal.rate = 48000;
  signal.channels = 2;
  signal.precision = 32;
  signal.length = SOX_UNKNOWN_LEN;
  effect->in_signal = signal;
  effect->out_signal = signal;
  effect->flows = 1;
  if (effect->handler.start(effect) != SOX_SUCCESS) {
    state.SkipWithError("reverb start failed");
    sox_delete_effect(effect);
    return;
  }
  const std::vector<float> noise = Noise(2 * kFrames, 9);
  std::vector<sox_sample_t> in(2 * kFrames), out(2 * kFrames);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<sox_sample_t>(noise[i] * 2147483647.0f);
  std::int64_t produced = 0;
  for (auto _ : state) {
    std::size_t consumed = 0;
    while (consumed < in.size()) {
      std::size_t isamp = in.size() - consumed, osamp = out.size();
      effect->handler.flow(effect, in.data() + consumed, out.data(), &isamp, &osamp);
      consumed += isamp;
      produced += static_cast<std::int64_t>(osamp);
      if (isamp == 0) break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  sox_delete_effect(effect);  // stops and kills it
  if (produced == 0) state.SkipWithError("reverb produced nothing");
  state.SetLabel("libsox reverb defaults, 48 kHz stereo");
  PerFrame(state);
}
BENCHMARK(BM_SoxReverbStereo);
#endif

}  // namespace

BENCHMARK_MAIN();
