// The quality harness: what each speed in the performance report buys, as Google
// Benchmark rows whose counters are the figures (each row runs its measure once):
// - BM_Resampler/<converter>/<in>_<out>: THD+N, worst image, passband ripple (20 Hz-20 kHz)
//   and stopband level of our container and of each peer at the settings bench_resample
//   runs (soxr's low, medium and high recipes, speexdsp at quality 3 and 10), one channel;
// - BM_ReverbDecay/<rate>: the reverb's T60 (label: its mode);
// - BM_BuildError/<primitive>/<build>: each processor build's largest error against its
//   double-precision oracle, beside the bound the primitive's own tests enforce.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "quality_measures.h"

#if HAVE_SOXR
#include <soxr.h>
#endif
#if HAVE_SPEEXDSP
#include <speex/speex_resampler.h>
#endif

namespace {

struct Named {
  std::string name;
  quality::Converter (*make)(int inRate, int outRate);
};

#if HAVE_SOXR
template <unsigned long Recipe>
quality::Converter Soxr(int inRate, int outRate) {
  return [inRate, outRate](const std::vector<float>& x) {
    std::vector<float> y(static_cast<size_t>(static_cast<double>(x.size()) * outRate / inRate) + 64);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(Recipe, 0);
    size_t done = 0;
    if (soxr_oneshot(inRate, outRate, 1, x.data(), x.size(), nullptr, y.data(), y.size(), &done, &io, &q, nullptr) !=
        nullptr)
      return std::vector<double>();
    return std::vector<double>(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(done));
  };
}
#endif

#if HAVE_SPEEXDSP
template <int Quality>
quality::Converter Speex(int inRate, int outRate) {
  return [inRate, outRate](const std::vector<float>& x) {
    int error = 0;
    SpeexResamplerState* s = speex_resampler_init(1, static_cast<spx_uint32_t>(inRate),
                                                  static_cast<spx_uint32_t>(outRate), Quality, &error);
    if (s == nullptr) return std::vector<double>();
    std::vector<float> y(static_cast<size_t>(static_cast<double>(x.size()) * outRate / inRate) + 64);
    spx_uint32_t inLen = static_cast<spx_uint32_t>(x.size()), outLen = static_cast<spx_uint32_t>(y.size());
    speex_resampler_process_float(s, 0, x.data(), &inLen, y.data(), &outLen);
    speex_resampler_destroy(s);
    return std::vector<double>(y.begin(), y.begin() + outLen);
  };
}
#endif

std::vector<Named> Converters() {
  std::vector<Named> c = {{"ours", &quality::OurResampler}};
#if HAVE_SOXR
  c.push_back({"soxr_lq", &Soxr<SOXR_LQ>});
  c.push_back({"soxr_mq", &Soxr<SOXR_MQ>});
  c.push_back({"soxr_hq", &Soxr<SOXR_HQ>});
#endif
#if HAVE_SPEEXDSP
  c.push_back({"speex_q3", &Speex<3>});
  c.push_back({"speex_q10", &Speex<10>});
#endif
  return c;
}

void Register() {
  for (const Named& conv : Converters()) {
    for (auto [in, out] : {std::pair{44100, 48000}, std::pair{48000, 44100}}) {
      const std::string name = "BM_Resampler/" + conv.name + "/" + std::to_string(in) + "_" + std::to_string(out);
      benchmark::RegisterBenchmark(name.c_str(), [conv, in = in, out = out](benchmark::State& s) {
        quality::ResamplerFigures f{};
        for (auto _ : s) f = quality::MeasureResampler(conv.make(in, out), in, out);
        s.counters["thd_n_db"] = f.thdNoiseDb;
        s.counters["image_db"] = f.imageDb;
        s.counters["ripple_db"] = f.rippleDb;
        s.counters["stopband_db"] = f.stopbandDb;
      })->Iterations(1)->Unit(benchmark::kMillisecond);
    }
  }
  for (int rate : {48000, 96000}) {
    benchmark::RegisterBenchmark(("BM_ReverbDecay/" + std::to_string(rate)).c_str(), [rate](benchmark::State& s) {
      double t60 = 0;
      int mode = -1;
      for (auto _ : s) t60 = quality::ReverbDecaySeconds(rate, &mode);
      s.counters["t60_s"] = t60;
      s.SetLabel("mode " + std::to_string(mode));
    })->Iterations(1)->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("BM_BuildError", [](benchmark::State& s) {
    std::vector<quality::BuildError> errors;
    for (auto _ : s) errors = quality::BuildErrors();
    for (const auto& e : errors) {
      s.counters[e.primitive + "/" + e.build] = e.error;
      s.counters[e.primitive + "/bound"] = e.bound;
    }
  })->Iterations(1)->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
