// Division, exponential, logarithm, dot product and sum over 4096 floats: every build
// through its dispatch slot, side by side with SLEEF (exponential and logarithm at its
// 1-ulp and 3.5-ulp accuracies, SSE4.1 class) and libvolk (its best kernel for this
// machine and its SSE-class kernel). The exponential and logarithm report their largest
// error in units in the last place ("max_ulp"), over every 61st float bit pattern of
// their domain (the whole finite-result range for the exponential, every positive
// finite float for the logarithm), against the double-precision functions.

#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "sp/sp.h"
#include "bench_support.h"

#if HAVE_VOLK
#include "volk_support.h"
#endif
#if HAVE_SLEEF
#include <sleef.h>

#include "sleef_wide.h"
#endif

namespace {

constexpr int kLen = 4096;

using bench::Aligned;

struct Buffers {
  float* a = Aligned(kLen);
  float* b = Aligned(kLen);
  float* expIn = Aligned(kLen);
  float* logIn = Aligned(kLen);
  float* out = Aligned(kLen);
  float* scratch = Aligned(kLen);
  Buffers() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), e(-80.0f, 80.0f), p(0.001f, 1000.0f);
    for (int i = 0; i < kLen; ++i) {
      a[i] = u(rng);
      b[i] = p(rng);
      expIn[i] = e(rng);
      logIn[i] = p(rng);
    }
  }
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

template <class Fn>
void run(benchmark::State& state, Fn fn) {
  bench::RunBlock(state, buffers(), kLen, fn);
}

// Dispatch slots 1..3 are the SSE3, SSSE3 and SSE4.1 builds; slot 0 is the generic one.
bool hasSlot(int slot) {
  static const char* const kFeature[] = {"generic", "sse3", "ssse3", "sse4.1"};
  return slot < 1 || slot > 3 || bench::CpuHas(kFeature[slot]);
}

// Units in the last place of a float result against a double reference.
double ulps(float got, double exact) {
  if (!std::isfinite(got)) return std::isfinite(exact) ? 1e9 : 0;
  int e;
  std::frexp(exact, &e);
  return std::fabs(static_cast<double>(got) - exact) / std::ldexp(1.0, std::max(e, -125) - 24);
}

using VectorFn = void (*)(const float* in, float* out, int n);

// Largest error of fn over every 61st bit pattern in [lo, hi] of both signs as given.
double worstError(VectorFn fn, double (*ref)(double), const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
  std::vector<float> in, out(kLen);
  double worst = 0;
  auto flush = [&] {
    fn(in.data(), out.data(), static_cast<int>(in.size()));
    for (size_t i = 0; i < in.size(); ++i) worst = std::max(worst, ulps(out[i], ref(in[i])));
    in.clear();
  };
  for (auto [lo, hi] : ranges) {
    for (uint64_t w = lo; w <= hi; w += 61) {
      float f;
      const uint32_t bits = static_cast<uint32_t>(w);
      std::memcpy(&f, &bits, 4);
      in.push_back(f);
      if (in.size() == kLen) flush();
    }
  }
  if (!in.empty()) flush();
  return worst;
}

// Every result of the exponential is finite and normal in these ranges.
const std::vector<std::pair<uint32_t, uint32_t>> kExpRange = {{0x00800000u, 0x42B17217u}, {0x80800000u, 0xC2AEAC49u}};
const std::vector<std::pair<uint32_t, uint32_t>> kLogRange = {{0x00000001u, 0x7F7FFFFFu}};

double exp2ln(double x) { return std::log2(x); }
double expd(double x) { return std::exp(x); }
double logd(double x) { return std::log(x); }

int gSlot = 0;
void expSlot(const float* in, float* out, int n) {
  std::memcpy(out, in, sizeof(float) * n);
  spDispatchIndex = gSlot;
  spExponentialInPlace_32f(out, n);
  spDispatchIndex = 0;
}
void logSlot(const float* in, float* out, int n) {
  std::memcpy(out, in, sizeof(float) * n);
  spDispatchIndex = gSlot;
  spNaturalLogInPlace_32f(out, n);
  spDispatchIndex = 0;
}

// The primitives through their dispatch slot. The in-place functions work on a fresh
// copy of their input each time; the peers' exponentials and logarithms make the same
// copy (into a scratch buffer), so the copy is timed alike in every variant.
void copyLike(Buffers& b, const float* in) { std::memcpy(b.scratch, in, sizeof(float) * kLen); }

void BM_Divide(benchmark::State& s, int slot) {
  if (!hasSlot(slot)) return s.SkipWithError("build not supported");
  spDispatchIndex = slot;
  run(s, [](Buffers& b) { spDivide_32f(b.b, b.a, b.out, kLen); });
  spDispatchIndex = 0;
}
void BM_Exp(benchmark::State& s, int slot) {
  if (!hasSlot(slot)) return s.SkipWithError("build not supported");
  gSlot = slot;
  s.counters["max_ulp"] = worstError(expSlot, expd, kExpRange);
  spDispatchIndex = slot;
  run(s, [](Buffers& b) {
    std::memcpy(b.out, b.expIn, sizeof(float) * kLen);
    spExponentialInPlace_32f(b.out, kLen);
  });
  spDispatchIndex = 0;
}
void BM_Log(benchmark::State& s, int slot) {
  if (!hasSlot(slot)) return s.SkipWithError("build not supported");
  gSlot = slot;
  s.counters["max_ulp"] = worstError(logSlot, logd, kLogRange);
  spDispatchIndex = slot;
  run(s, [](Buffers& b) {
    std::memcpy(b.out, b.logIn, sizeof(float) * kLen);
    spNaturalLogInPlace_32f(b.out, kLen);
  });
  spDispatchIndex = 0;
}
void BM_Dot(benchmark::State& s, int slot) {
  if (!hasSlot(slot)) return s.SkipWithError("build not supported");
  spDispatchIndex = slot;
  run(s, [](Buffers& b) { spDotProduct_32f(b.a, b.b, kLen, b.out); });
  spDispatchIndex = 0;
}
void BM_Sum(benchmark::State& s, int slot, int hint) {
  if (!hasSlot(slot)) return s.SkipWithError("build not supported");
  spDispatchIndex = slot;
  run(s, [hint](Buffers& b) { spSum_32f(b.a, kLen, b.out, hint); });
  spDispatchIndex = 0;
}

#define SP_BENCH_SLOT(name, slot)                                  \
  BENCHMARK_CAPTURE(BM_Divide, name, slot);                        \
  BENCHMARK_CAPTURE(BM_Exp, name, slot);                           \
  BENCHMARK_CAPTURE(BM_Log, name, slot);                           \
  BENCHMARK_CAPTURE(BM_Dot, name, slot);                           \
  BENCHMARK_CAPTURE(BM_Sum, name##_fast, slot, 1);                 \
  BENCHMARK_CAPTURE(BM_Sum, name##_accurate, slot, 0);

SP_BENCH_SLOT(generic, 0)
SP_BENCH_SLOT(sse3, 1)
SP_BENCH_SLOT(ssse3, 2)
SP_BENCH_SLOT(sse41, 3)

#if HAVE_SLEEF
template <auto F>  // a Sleef function of one __m128
void sleefVector(const float* in, float* out, int n) {
  int i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, F(_mm_loadu_ps(in + i)));
  for (; i < n; ++i) out[i] = _mm_cvtss_f32(F(_mm_set1_ps(in[i])));
}
template <auto F>  // a Sleef function of one __m128
void BM_SleefExp(benchmark::State& s) {
  if (!hasSlot(3)) return s.SkipWithError("not supported");
  s.counters["max_ulp"] = worstError(sleefVector<F>, expd, kExpRange);
  run(s, [](Buffers& b) {
    copyLike(b, b.expIn);
    sleefVector<F>(b.scratch, b.out, kLen);
  });
}
template <auto F>  // a Sleef function of one __m128
void BM_SleefLog(benchmark::State& s) {
  if (!hasSlot(3)) return s.SkipWithError("not supported");
  s.counters["max_ulp"] = worstError(sleefVector<F>, logd, kLogRange);
  run(s, [](Buffers& b) {
    copyLike(b, b.logIn);
    sleefVector<F>(b.scratch, b.out, kLen);
  });
}
// SLEEF has its exponential at 1 ulp only.
void BM_SleefExpU10(benchmark::State& s) { BM_SleefExp<Sleef_expf4_u10sse4>(s); }
void BM_SleefLogU10(benchmark::State& s) { BM_SleefLog<Sleef_logf4_u10sse4>(s); }
void BM_SleefLogU35(benchmark::State& s) { BM_SleefLog<Sleef_logf4_u35sse4>(s); }
BENCHMARK(BM_SleefExpU10)->Name("BM_Exp/sleef_u10sse4");
BENCHMARK(BM_SleefLogU10)->Name("BM_Log/sleef_u10sse4");
BENCHMARK(BM_SleefLogU35)->Name("BM_Log/sleef_u35sse4");

// SLEEF's AVX2 and AVX-512 functions: the peer's best on a processor that has them.
template <VectorFn F>
void BM_SleefWide(benchmark::State& s, const char* set, const float* (*input)(Buffers&), bool isExp) {
  if (!bench::CpuHas(set)) return s.SkipWithError("not supported");
  s.counters["max_ulp"] = isExp ? worstError(F, expd, kExpRange) : worstError(F, logd, kLogRange);
  run(s, [input](Buffers& b) {
    copyLike(b, input(b));
    F(b.scratch, b.out, kLen);
  });
}
const float* expInput(Buffers& b) { return b.expIn; }
const float* logInput(Buffers& b) { return b.logIn; }
#define SLEEF_WIDE(fn, set, input, isExp, name)                                \
  void BM_##fn(benchmark::State& s) { BM_SleefWide<bench::fn>(s, set, input, isExp); } \
  BENCHMARK(BM_##fn)->Name(name);
SLEEF_WIDE(SleefExpU10Avx2, "avx2", expInput, true, "BM_Exp/sleef_u10avx2")
SLEEF_WIDE(SleefExpU10Avx512, "avx512f", expInput, true, "BM_Exp/sleef_u10avx512f")
SLEEF_WIDE(SleefLogU10Avx2, "avx2", logInput, false, "BM_Log/sleef_u10avx2")
SLEEF_WIDE(SleefLogU35Avx2, "avx2", logInput, false, "BM_Log/sleef_u35avx2")
SLEEF_WIDE(SleefLogU10Avx512, "avx512f", logInput, false, "BM_Log/sleef_u10avx512f")
SLEEF_WIDE(SleefLogU35Avx512, "avx512f", logInput, false, "BM_Log/sleef_u35avx512f")
#endif

#if HAVE_VOLK
void volkExp(const float* in, float* out, int n) { volk_32f_exp_32f(out, in, static_cast<unsigned>(n)); }
void volkExpSse(const float* in, float* out, int n) {
  volk_32f_exp_32f_manual(out, in, static_cast<unsigned>(n), "u_sse2");
}
void volkLog2(const float* in, float* out, int n) { volk_32f_log2_32f(out, in, static_cast<unsigned>(n)); }

void BM_VolkDivide(benchmark::State& s) { run(s, [](Buffers& b) { volk_32f_x2_divide_32f(b.out, b.a, b.b, kLen); }); }
void BM_VolkDivideSse(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_x2_divide_32f_manual(b.out, b.a, b.b, kLen, "a_sse"); });
}
void BM_VolkExp(benchmark::State& s) {
  s.counters["max_ulp"] = worstError(volkExp, expd, kExpRange);
  run(s, [](Buffers& b) {
    copyLike(b, b.expIn);
    volk_32f_exp_32f(b.out, b.scratch, kLen);
  });
}
void BM_VolkExpSse(benchmark::State& s) {
  s.counters["max_ulp"] = worstError(volkExpSse, expd, kExpRange);
  run(s, [](Buffers& b) {
    copyLike(b, b.expIn);
    volk_32f_exp_32f_manual(b.out, b.scratch, kLen, "a_sse2");
  });
}
// libvolk has a base-2 logarithm only; its error is against log2.
void BM_VolkLog2(benchmark::State& s) {
  s.counters["max_ulp"] = worstError(volkLog2, exp2ln, {{0x00800000u, 0x7F7FFFFFu}});
  run(s, [](Buffers& b) {
    copyLike(b, b.logIn);
    volk_32f_log2_32f(b.out, b.scratch, kLen);
  });
}
void BM_VolkDot(benchmark::State& s) { run(s, [](Buffers& b) { volk_32f_x2_dot_prod_32f(b.out, b.a, b.b, kLen); }); }
void BM_VolkDotSse41(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_x2_dot_prod_32f_manual(b.out, b.a, b.b, kLen, "a_sse4_1"); });
}
void BM_VolkSum(benchmark::State& s) { run(s, [](Buffers& b) { volk_32f_accumulator_s32f(b.out, b.a, kLen); }); }
void BM_VolkSumSse(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_accumulator_s32f_manual(b.out, b.a, kLen, "a_sse"); });
}
BENCHMARK(BM_VolkDivide)->Name("BM_Divide/volk");
BENCHMARK(BM_VolkDivideSse)->Name("BM_Divide/volk_sse");
BENCHMARK(BM_VolkExp)->Name("BM_Exp/volk");
BENCHMARK(BM_VolkExpSse)->Name("BM_Exp/volk_sse2");
BENCHMARK(BM_VolkLog2)->Name("BM_Log/volk_log2");
BENCHMARK(BM_VolkDot)->Name("BM_Dot/volk");
BENCHMARK(BM_VolkDotSse41)->Name("BM_Dot/volk_sse4_1");
BENCHMARK(BM_VolkSum)->Name("BM_Sum/volk");
BENCHMARK(BM_VolkSumSse)->Name("BM_Sum/volk_sse");

// Every implementation of each kernel this processor runs, named by its instruction set.
void RegisterVolkRows() {
  bench::RegisterVolkImpls("BM_Divide", volk_32f_x2_divide_32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) { volk_32f_x2_divide_32f_manual(b.out, b.a, b.b, kLen, impl); });
  });
  bench::RegisterVolkImpls("BM_Exp", volk_32f_exp_32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) {
      copyLike(b, b.expIn);
      volk_32f_exp_32f_manual(b.out, b.scratch, kLen, impl);
    });
  });
  bench::RegisterVolkImpls("BM_Log2", volk_32f_log2_32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) {
      copyLike(b, b.logIn);
      volk_32f_log2_32f_manual(b.out, b.scratch, kLen, impl);
    });
  });
  bench::RegisterVolkImpls("BM_Dot", volk_32f_x2_dot_prod_32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) { volk_32f_x2_dot_prod_32f_manual(b.out, b.a, b.b, kLen, impl); });
  });
}
const bool kVolkRows = (RegisterVolkRows(), true);
#endif

}  // namespace

BENCHMARK_MAIN();
