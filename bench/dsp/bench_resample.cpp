// Sample-rate conversion of interleaved audio through the interleaved conversion
// container: stereo between 44100 and 48000 Hz and 8 channels from 44100 to 192000 Hz,
// 16-bit and float, side by side with soxr (its low, medium and high quality recipes, so
// that ours stands beside the recipe of matching quality; bench_quality gives each one's
// figures) and speexdsp (quality 3 and 10). Each iteration converts one second of audio in
// 10 ms blocks; the counter x_realtime is seconds of audio converted per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/interleave_src.h"

#if HAVE_SOXR
#include <soxr.h>
#endif
#if HAVE_SPEEXDSP
#include <speex/speex_resampler.h>
#endif

namespace {

struct Signal {
  std::vector<std::int16_t> pcm;
  std::vector<float> flt;
};

Signal MakeSignal(int rate, int kChannels) {
  Signal s;
  for (int i = 0; i < rate; ++i) {
    const double v = 0.4 * std::sin(2 * 3.141592653589793 * 997.0 * i / rate) +
                     0.2 * std::sin(2 * 3.141592653589793 * 7001.0 * i / rate);
    for (int c = 0; c < kChannels; ++c) {
      s.flt.push_back(static_cast<float>(v));
      s.pcm.push_back(static_cast<std::int16_t>(std::lround(v * 32767)));
    }
  }
  return s;
}

void Report(benchmark::State& state) {
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

dsp::WAVEFORMATEXTENSIBLE Format(bool isFloat, std::uint32_t rate, int kChannels) {
  dsp::WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = isFloat ? dsp::WAVE_FORMAT_IEEE_FLOAT : dsp::WAVE_FORMAT_PCM;
  f.Format.nChannels = static_cast<std::uint16_t>(kChannels);
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = isFloat ? 32 : 16;
  f.Format.nBlockAlign = static_cast<std::uint16_t>(kChannels * f.Format.wBitsPerSample / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  return f;
}

template <class T>
const T* Data(const Signal& s);
template <>
const std::int16_t* Data(const Signal& s) { return s.pcm.data(); }
template <>
const float* Data(const Signal& s) { return s.flt.data(); }

template <class T>
void BM_Container(benchmark::State& state) {
  const int inRate = static_cast<int>(state.range(0)), outRate = static_cast<int>(state.range(1));
  const int kChannels = static_cast<int>(state.range(2));
  constexpr bool isFloat = std::is_same_v<T, float>;
  const Signal signal = MakeSignal(inRate, kChannels);
  CDspInterleaveSrc src;
  if (!src.Init()) return state.SkipWithError("Init failed");
  const auto in = Format(isFloat, inRate, kChannels), out = Format(isFloat, outRate, kChannels);
  if (!src.SetFormat(&in, &out)) return state.SkipWithError("SetFormat failed");
  std::vector<T> output(static_cast<size_t>(outRate / 100 + 64) * kChannels);
  const int block = inRate / 100;
  for (auto _ : state) {
    const T* x = Data<T>(signal);
    for (int done = 0; done < inRate;) {
      std::int32_t inCount = block, outCount = outRate / 100 + 64;
      src.Process(reinterpret_cast<const std::uint8_t*>(x + done * kChannels), &inCount,
                  reinterpret_cast<std::uint8_t*>(output.data()), &outCount);
      done += inCount;
    }
    benchmark::DoNotOptimize(output.data());
  }
  Report(state);
}

#if HAVE_SOXR
template <class T>
void BM_Soxr(benchmark::State& state) {
  const int inRate = static_cast<int>(state.range(0)), outRate = static_cast<int>(state.range(1));
  const int kChannels = static_cast<int>(state.range(2));
  const Signal signal = MakeSignal(inRate, kChannels);
  const soxr_datatype_t type = std::is_same_v<T, float> ? SOXR_FLOAT32_I : SOXR_INT16_I;
  const soxr_io_spec_t io = soxr_io_spec(type, type);
  static const unsigned long kRecipes[] = {SOXR_LQ, SOXR_MQ, SOXR_HQ};
  static const char* const kRecipeNames[] = {"soxr LQ", "soxr MQ", "soxr HQ"};
  const soxr_quality_spec_t quality = soxr_quality_spec(kRecipes[state.range(3)], 0);
  state.SetLabel(kRecipeNames[state.range(3)]);
  soxr_error_t error = nullptr;
  soxr_t soxr = soxr_create(inRate, outRate, kChannels, &error, &io, &quality, nullptr);
  if (error != nullptr) return state.SkipWithError(error);
  std::vector<T> output(static_cast<size_t>(outRate / 100 + 64) * kChannels);
  const int block = inRate / 100;
  for (auto _ : state) {
    const T* x = Data<T>(signal);
    for (int done = 0; done < inRate; done += block) {
      size_t used = 0, written = 0;
      soxr_process(soxr, x + done * kChannels, block, &used, output.data(), outRate / 100 + 64, &written);
    }
    benchmark::DoNotOptimize(output.data());
  }
  soxr_delete(soxr);
  Report(state);
}
#endif

#if HAVE_SPEEXDSP
template <class T>
void BM_Speex(benchmark::State& state) {
  const int inRate = static_cast<int>(state.range(0)), outRate = static_cast<int>(state.range(1));
  const int kChannels = static_cast<int>(state.range(2));
  const int quality = static_cast<int>(state.range(3));
  const Signal signal = MakeSignal(inRate, kChannels);
  int error = 0;
  SpeexResamplerState* speex = speex_resampler_init(kChannels, inRate, outRate, quality, &error);
  if (speex == nullptr) return state.SkipWithError("speex_resampler_init failed");
  std::vector<T> output(static_cast<size_t>(outRate / 100 + 64) * kChannels);
  const int block = inRate / 100;
  for (auto _ : state) {
    const T* x = Data<T>(signal);
    for (int done = 0; done < inRate;) {
      spx_uint32_t inCount = static_cast<spx_uint32_t>(block);
      spx_uint32_t outCount = static_cast<spx_uint32_t>(outRate / 100 + 64);
      if constexpr (std::is_same_v<T, float>)
        speex_resampler_process_interleaved_float(speex, x + done * kChannels, &inCount, output.data(), &outCount);
      else
        speex_resampler_process_interleaved_int(speex, x + done * kChannels, &inCount, output.data(), &outCount);
      done += static_cast<int>(inCount);
    }
    benchmark::DoNotOptimize(output.data());
  }
  speex_resampler_destroy(speex);
  Report(state);
}
#endif

// in, out, channels: the stereo pair both ways and the 8-channel 44.1 -> 192 kHz case.
constexpr int kCases[][3] = {{44100, 48000, 2}, {48000, 44100, 2}, {44100, 192000, 8}};

void Rates(benchmark::internal::Benchmark* b) {
  b->ArgNames({"in", "out", "ch"})->Unit(benchmark::kMillisecond);
  for (const auto& c : kCases) b->Args({c[0], c[1], c[2]});
}

// The fourth argument: soxr's recipe (0 low, 1 medium, 2 high quality).
void SoxrRates(benchmark::internal::Benchmark* b) {
  b->ArgNames({"in", "out", "ch", "recipe"})->Unit(benchmark::kMillisecond);
  for (int recipe : {0, 1, 2})
    for (const auto& c : kCases) b->Args({c[0], c[1], c[2], recipe});
}

void SpeexRates(benchmark::internal::Benchmark* b) {
  b->ArgNames({"in", "out", "ch", "quality"})->Unit(benchmark::kMillisecond);
  for (int q : {3, 10})
    for (const auto& c : kCases) b->Args({c[0], c[1], c[2], q});
}

BENCHMARK(BM_Container<std::int16_t>)->Apply(Rates);
BENCHMARK(BM_Container<float>)->Apply(Rates);
#if HAVE_SOXR
BENCHMARK(BM_Soxr<std::int16_t>)->Apply(SoxrRates);
BENCHMARK(BM_Soxr<float>)->Apply(SoxrRates);
#endif
#if HAVE_SPEEXDSP
BENCHMARK(BM_Speex<std::int16_t>)->Apply(SpeexRates);
BENCHMARK(BM_Speex<float>)->Apply(SpeexRates);
#endif

}  // namespace

BENCHMARK_MAIN();
