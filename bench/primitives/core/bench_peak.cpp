// The limits one core reaches, for the report's "share of peak" columns:
// - SSE arithmetic: packed single-precision adds and multiplies in independent chains (as
//   many of each as keep both units busy), counted as floating-point operations;
// - memory: a copy of 256 MB (past any last-level cache) with non-temporal stores, as
//   bytes copied per second, counted as the copy benchmarks count theirs.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstdlib>
#include <cstring>

namespace {

// 8 add chains and 8 multiply chains of 4 floats: 64 operations per step.
void BM_Peak_SseAddMultiply(benchmark::State& state) {
  constexpr int kSteps = 4096;
  for (auto _ : state) {
    // Distinct starting values, so that no two chains are the same computation.
    __m128 a0 = _mm_set1_ps(1.0f), a1 = _mm_set1_ps(1.1f), a2 = _mm_set1_ps(1.2f), a3 = _mm_set1_ps(1.3f);
    __m128 a4 = _mm_set1_ps(1.4f), a5 = _mm_set1_ps(1.5f), a6 = _mm_set1_ps(1.6f), a7 = _mm_set1_ps(1.7f);
    __m128 m0 = _mm_set1_ps(2.0f), m1 = _mm_set1_ps(2.1f), m2 = _mm_set1_ps(2.2f), m3 = _mm_set1_ps(2.3f);
    __m128 m4 = _mm_set1_ps(2.4f), m5 = _mm_set1_ps(2.5f), m6 = _mm_set1_ps(2.6f), m7 = _mm_set1_ps(2.7f);
    const __m128 add = _mm_set1_ps(1e-7f), mul = _mm_set1_ps(0.9999999f);
    for (int i = 0; i < kSteps; ++i) {
      a0 = _mm_add_ps(a0, add), a1 = _mm_add_ps(a1, add), a2 = _mm_add_ps(a2, add), a3 = _mm_add_ps(a3, add);
      a4 = _mm_add_ps(a4, add), a5 = _mm_add_ps(a5, add), a6 = _mm_add_ps(a6, add), a7 = _mm_add_ps(a7, add);
      m0 = _mm_mul_ps(m0, mul), m1 = _mm_mul_ps(m1, mul), m2 = _mm_mul_ps(m2, mul), m3 = _mm_mul_ps(m3, mul);
      m4 = _mm_mul_ps(m4, mul), m5 = _mm_mul_ps(m5, mul), m6 = _mm_mul_ps(m6, mul), m7 = _mm_mul_ps(m7, mul);
    }
    __m128 sum = _mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3)), _mm_add_ps(_mm_add_ps(a4, a5), _mm_add_ps(a6, a7)));
    sum = _mm_add_ps(sum, _mm_add_ps(_mm_add_ps(_mm_add_ps(m0, m1), _mm_add_ps(m2, m3)),
                                     _mm_add_ps(_mm_add_ps(m4, m5), _mm_add_ps(m6, m7))));
    benchmark::DoNotOptimize(sum);
  }
  const double flops = static_cast<double>(state.iterations()) * kSteps * 64;
  state.counters["flops"] = benchmark::Counter(flops, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Peak_SseAddMultiply);

// Copy with 16-byte non-temporal stores, four per 64-byte line.
void BM_Peak_NonTemporalCopy(benchmark::State& state) {
  const size_t bytes = size_t{256} << 20;
  auto* src = static_cast<float*>(std::aligned_alloc(64, bytes));
  auto* dst = static_cast<float*>(std::aligned_alloc(64, bytes));
  std::memset(src, 0x3F, bytes);
  std::memset(dst, 0, bytes);
  const size_t floats = bytes / sizeof(float);
  for (auto _ : state) {
    for (size_t i = 0; i < floats; i += 16) {
      const __m128 v0 = _mm_load_ps(src + i), v1 = _mm_load_ps(src + i + 4);
      const __m128 v2 = _mm_load_ps(src + i + 8), v3 = _mm_load_ps(src + i + 12);
      _mm_stream_ps(dst + i, v0), _mm_stream_ps(dst + i + 4, v1);
      _mm_stream_ps(dst + i + 8, v2), _mm_stream_ps(dst + i + 12, v3);
    }
    _mm_sfence();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  std::free(src);
  std::free(dst);
}
BENCHMARK(BM_Peak_NonTemporalCopy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
