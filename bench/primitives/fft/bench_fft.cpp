// Real order 10 forward + inverse (the headphone virtualiser's block), complex forward
// transforms of orders 6 to 20 and real forward + inverse transforms of orders 6 to 14:
// the generic and the three processor builds of the FFT engine against FFTW single
// precision (FFTW_MEASURE, with and without SIMD) and KISS FFT, in one run. FFTW is
// planned once per transform, outside the timed loop, and every FFTW row is labelled with
// the instruction set of the codelets its plan chose.
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bench_support.h"
#include "sp/fft_bodies.h"

namespace {

std::vector<float> Noise(size_t n) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& f : v) f = d(gen);
  return v;
}

// 32-byte aligned float block (our records and FFTW both like aligned data).
struct Aligned {
  explicit Aligned(size_t n)
      : p(static_cast<float*>(std::aligned_alloc(64, ((n * 4 + 63) / 64) * 64))) {}
  ~Aligned() { std::free(p); }
  Aligned(const Aligned&) = delete;
  Aligned& operator=(const Aligned&) = delete;
  float* p;
};

// ---- real order 10, forward then inverse ---------------------------------------------------

void BM_Real10_Ours(benchmark::State& state) {
  spRealFftSpec* spec = nullptr;
  if (sp::generic::spFftCreateSpecReal_32f(&spec, 10, SP_FFT_SCALE_INVERSE, 0) != SP_OK) {
    state.SkipWithError("create failed");
    return;
  }
  const std::vector<float> x = Noise(1024);
  Aligned buf(1024);
  std::copy(x.begin(), x.end(), buf.p);
  for (auto _ : state) {
    sp::generic::spFftForwardRealInPlace_32f(buf.p, spec, nullptr);
    sp::generic::spFftInverseRealInPlace_32f(buf.p, spec, nullptr);
    benchmark::DoNotOptimize(buf.p);
    benchmark::ClobberMemory();
  }
  sp::generic::spFftFreeSpecReal_32f(spec);
}

// The instruction set of the codelets in an FFTW plan, read from its printed form
// (codelet names end in their set: "n1fv_32_avx2", "t1fuv_4_sse2", ...); "scalar" when
// the plan holds none of FFTW's SIMD codelets.
std::string FftwInstructionSet(const fftwf_plan plan) {
  char* text = fftwf_sprint_plan(plan);
  const std::string printed = text != nullptr ? text : "";
  std::free(text);
  static const char* const kSets[] = {"avx512", "avx2_128", "avx2", "avx_128_fma", "avx", "kcvi",
                                      "sse2", "altivec", "neon", "generic_simd256", "generic_simd128"};
  for (const char* set : kSets)
    if (printed.find(std::string("_") + set) != std::string::npos) return set;
  return "scalar";
}

// A planned FFTW transform with its buffers. Plans are made once per transform and kept
// for the whole run: FFTW_MEASURE times candidate plans on the buffers, which must not
// happen again each time the benchmark library calls the benchmark.
struct FftwSetup {
  float* in = nullptr;        // n floats (real) or 2n (complex)
  float* out = nullptr;       // n floats (real) or 2n (complex)
  fftwf_complex* spectrum = nullptr;  // real round trips: the half spectrum
  fftwf_plan fwd = nullptr;
  fftwf_plan inv = nullptr;   // real round trips only
  std::string label;
};

enum class Kind { RealRoundTrip, ComplexForward };

const FftwSetup& Fftw(Kind kind, int n, unsigned flags) {
  static std::map<std::tuple<Kind, int, unsigned>, FftwSetup> plans;
  const auto key = std::make_tuple(kind, n, flags);
  auto it = plans.find(key);
  if (it != plans.end()) return it->second;
  FftwSetup s;
  const size_t floats = kind == Kind::RealRoundTrip ? size_t(n) : 2 * size_t(n);
  s.in = static_cast<float*>(fftwf_malloc(sizeof(float) * floats));
  s.out = static_cast<float*>(fftwf_malloc(sizeof(float) * floats));
  if (kind == Kind::RealRoundTrip) {
    s.spectrum = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (n / 2 + 1)));
    s.fwd = fftwf_plan_dft_r2c_1d(n, s.in, s.spectrum, FFTW_MEASURE | flags);
    s.inv = fftwf_plan_dft_c2r_1d(n, s.spectrum, s.out, FFTW_MEASURE | flags);
    s.label = "fftw " + FftwInstructionSet(s.fwd) + "/" + FftwInstructionSet(s.inv);
  } else {
    auto* in = reinterpret_cast<fftwf_complex*>(s.in);
    auto* out = reinterpret_cast<fftwf_complex*>(s.out);
    s.fwd = fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE | flags);
    s.label = "fftw " + FftwInstructionSet(s.fwd);
  }
  // Planning may have written the buffers: the input is filled after it.
  const std::vector<float> x = Noise(floats);
  std::copy(x.begin(), x.end(), s.in);
  return plans.emplace(key, s).first->second;
}

// FFTW real forward then inverse of n points, planned with FFTW_MEASURE plus flags.
void RealFftwRoundTrip(benchmark::State& state, int n, unsigned flags) {
  const FftwSetup& s = Fftw(Kind::RealRoundTrip, n, flags);
  state.SetLabel(s.label);
  for (auto _ : state) {
    fftwf_execute(s.fwd);
    fftwf_execute(s.inv);
    benchmark::DoNotOptimize(s.out);
    benchmark::ClobberMemory();
  }
}

// KISS FFT real forward then inverse of n points.
void RealKissRoundTrip(benchmark::State& state, int n) {
  kiss_fftr_cfg fwd = kiss_fftr_alloc(n, 0, nullptr, nullptr);
  kiss_fftr_cfg inv = kiss_fftr_alloc(n, 1, nullptr, nullptr);
  const std::vector<float> x = Noise(n);
  std::vector<float> out(n);
  std::vector<kiss_fft_cpx> spec(n / 2 + 1);
  for (auto _ : state) {
    kiss_fftr(fwd, x.data(), spec.data());
    kiss_fftri(inv, spec.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kiss_fftr_free(fwd);
  kiss_fftr_free(inv);
}

void RealFftw(benchmark::State& state, unsigned flags) { RealFftwRoundTrip(state, 1024, flags); }
void BM_Real10_FftwSimd(benchmark::State& state) { RealFftw(state, 0); }
void BM_Real10_FftwNoSimd(benchmark::State& state) { RealFftw(state, FFTW_NO_SIMD); }

void BM_Real10_Kiss(benchmark::State& state) { RealKissRoundTrip(state, 1024); }

// ---- complex forward, orders 6..20 ---------------------------------------------------------

// One build's bodies, so each benchmark runs every build the same way.
struct Build {
  const char* feature;  // the instruction set the build needs ("" for the generic build)
  decltype(&sp::generic::spFftCreateSpecComplex_32fc) createComplex;
  decltype(&sp::generic::spFftFreeSpecComplex_32fc) freeComplex;
  decltype(&sp::generic::spFftForwardComplex_32fc) forwardComplex;
  decltype(&sp::generic::spFftCreateSpecReal_32f) createReal;
  decltype(&sp::generic::spFftFreeSpecReal_32f) freeReal;
  decltype(&sp::generic::spFftForwardRealInPlace_32f) forwardReal;
  decltype(&sp::generic::spFftInverseRealInPlace_32f) inverseReal;
};
#define BENCH_BUILD(ns, feature)                                              \
  Build {                                                                     \
    feature, &sp::ns::spFftCreateSpecComplex_32fc, &sp::ns::spFftFreeSpecComplex_32fc, \
        &sp::ns::spFftForwardComplex_32fc, &sp::ns::spFftCreateSpecReal_32f,  \
        &sp::ns::spFftFreeSpecReal_32f, &sp::ns::spFftForwardRealInPlace_32f, \
        &sp::ns::spFftInverseRealInPlace_32f                                  \
  }
const Build kGeneric = BENCH_BUILD(generic, "");
const Build kSse3 = BENCH_BUILD(sse3, "sse3");
const Build kSsse3 = BENCH_BUILD(ssse3, "ssse3");
const Build kSse41 = BENCH_BUILD(sse41, "sse4.1");

void ComplexOurs(benchmark::State& state, const Build& b) {
  if (!bench::CpuHas(b.feature)) return state.SkipWithError("build not supported by this processor");
  const int order = static_cast<int>(state.range(0));
  const size_t n = size_t{1} << order;
  spComplexFftSpec* spec = nullptr;
  if (b.createComplex(&spec, order, SP_FFT_NO_SCALE, 0) != SP_OK) {
    state.SkipWithError("create failed");
    return;
  }
  const std::vector<float> x = Noise(2 * n);
  Aligned in(2 * n), out(2 * n), work(spec->workBytes / 4 + 16);
  std::copy(x.begin(), x.end(), in.p);
  for (auto _ : state) {
    b.forwardComplex(in.p, out.p, spec, reinterpret_cast<uint8*>(work.p));
    benchmark::DoNotOptimize(out.p);
    benchmark::ClobberMemory();
  }
  b.freeComplex(spec);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
void BM_Complex_Ours(benchmark::State& state) { ComplexOurs(state, kGeneric); }
void BM_Complex_Sse3(benchmark::State& state) { ComplexOurs(state, kSse3); }
void BM_Complex_Ssse3(benchmark::State& state) { ComplexOurs(state, kSsse3); }
void BM_Complex_Sse41(benchmark::State& state) { ComplexOurs(state, kSse41); }

void ComplexFftw(benchmark::State& state, unsigned flags) {
  const int n = 1 << state.range(0);
  const FftwSetup& s = Fftw(Kind::ComplexForward, n, flags);
  state.SetLabel(s.label);
  for (auto _ : state) {
    fftwf_execute(s.fwd);
    benchmark::DoNotOptimize(s.out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
void BM_Complex_FftwSimd(benchmark::State& state) { ComplexFftw(state, 0); }
void BM_Complex_FftwNoSimd(benchmark::State& state) { ComplexFftw(state, FFTW_NO_SIMD); }

void BM_Complex_Kiss(benchmark::State& state) {
  const int n = 1 << state.range(0);
  kiss_fft_cfg cfg = kiss_fft_alloc(n, 0, nullptr, nullptr);
  const std::vector<float> x = Noise(2 * size_t(n));
  std::vector<kiss_fft_cpx> in(n), out(n);
  for (int i = 0; i < n; ++i) in[i].r = x[2 * i], in[i].i = x[2 * i + 1];
  for (auto _ : state) {
    kiss_fft(cfg, in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kiss_fft_free(cfg);
  state.SetItemsProcessed(state.iterations() * n);
}

// ---- real forward + inverse, orders 6..14 -------------------------------------------------

void RealOurs(benchmark::State& state, const Build& b) {
  if (!bench::CpuHas(b.feature)) return state.SkipWithError("build not supported by this processor");
  const int order = static_cast<int>(state.range(0));
  const size_t n = size_t{1} << order;
  spRealFftSpec* spec = nullptr;
  if (b.createReal(&spec, order, SP_FFT_SCALE_INVERSE, 0) != SP_OK) {
    state.SkipWithError("create failed");
    return;
  }
  const std::vector<float> x = Noise(n);
  Aligned buf(n), work(spec->workBytes / 4 + 16);
  std::copy(x.begin(), x.end(), buf.p);
  auto* w = reinterpret_cast<uint8*>(work.p);
  for (auto _ : state) {
    b.forwardReal(buf.p, spec, w);
    b.inverseReal(buf.p, spec, w);
    benchmark::DoNotOptimize(buf.p);
    benchmark::ClobberMemory();
  }
  b.freeReal(spec);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
void BM_Real_Ours(benchmark::State& state) { RealOurs(state, kGeneric); }
void BM_Real_Sse3(benchmark::State& state) { RealOurs(state, kSse3); }
void BM_Real_Ssse3(benchmark::State& state) { RealOurs(state, kSsse3); }
void BM_Real_Sse41(benchmark::State& state) { RealOurs(state, kSse41); }

void RealFftwOrder(benchmark::State& state, unsigned flags) {
  const int n = 1 << state.range(0);
  RealFftwRoundTrip(state, n, flags);
  state.SetItemsProcessed(state.iterations() * n);
}
void BM_Real_FftwSimd(benchmark::State& state) { RealFftwOrder(state, 0); }
void BM_Real_FftwNoSimd(benchmark::State& state) { RealFftwOrder(state, FFTW_NO_SIMD); }

void BM_Real_Kiss(benchmark::State& state) {
  const int n = 1 << state.range(0);
  RealKissRoundTrip(state, n);
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_Real10_Ours);
BENCHMARK(BM_Real10_FftwSimd);
BENCHMARK(BM_Real10_FftwNoSimd);
BENCHMARK(BM_Real10_Kiss);
BENCHMARK(BM_Complex_Ours)->DenseRange(6, 20);
BENCHMARK(BM_Complex_Sse3)->DenseRange(6, 20);
BENCHMARK(BM_Complex_Ssse3)->DenseRange(6, 20);
BENCHMARK(BM_Complex_Sse41)->DenseRange(6, 20);
BENCHMARK(BM_Complex_FftwSimd)->DenseRange(6, 20);
BENCHMARK(BM_Complex_FftwNoSimd)->DenseRange(6, 20);
BENCHMARK(BM_Complex_Kiss)->DenseRange(6, 20);
BENCHMARK(BM_Real_Ours)->DenseRange(6, 14);
BENCHMARK(BM_Real_Sse3)->DenseRange(6, 14);
BENCHMARK(BM_Real_Ssse3)->DenseRange(6, 14);
BENCHMARK(BM_Real_Sse41)->DenseRange(6, 14);
BENCHMARK(BM_Real_FftwSimd)->DenseRange(6, 14);
BENCHMARK(BM_Real_FftwNoSimd)->DenseRange(6, 14);
BENCHMARK(BM_Real_Kiss)->DenseRange(6, 14);

}  // namespace
