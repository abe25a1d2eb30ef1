// 16-bit and packed 24-bit PCM to float and back, 4096 samples: every build of the
// primitives side by side with plain compiler-vectorised loops and with libvolk's
// converters (its best kernel for this machine and its SSE-class kernel).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "sp/convert_bodies.h"
#include "bench_support.h"
#include "volk_support.h"

namespace bench {
void plain16sTo32f(const int16_t* in, float* out, int n);
void plain32fTo16s(const float* in, int16_t* out, int n);
void plain24sTo32f(const uint8_t* in, float* out, int n);
void plain32fTo24s(const float* in, uint8_t* out, int n);
}  // namespace bench

namespace {

constexpr int kLen = 4096;

using bench::Aligned;

struct Buffers {
  int16_t* s16 = Aligned<int16_t>(kLen);
  uint8_t* s24 = Aligned<uint8_t>(3 * kLen);
  float* f32 = Aligned<float>(kLen);
  float* out = Aligned<float>(kLen);
  int16_t* out16 = Aligned<int16_t>(kLen);
  uint8_t* out24 = Aligned<uint8_t>(3 * kLen);
  Buffers() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < kLen; ++i) {
      f32[i] = u(rng);
      s16[i] = static_cast<int16_t>(rng());
      const uint32_t v = rng();
      s24[3 * i] = static_cast<uint8_t>(v);
      s24[3 * i + 1] = static_cast<uint8_t>(v >> 8);
      s24[3 * i + 2] = static_cast<uint8_t>(v >> 16);
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

#define SP_BENCH_BUILD(ns, feature)                                                                      \
  void BM_16sTo32f_##ns(benchmark::State& s) {                                                         \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                                  \
    run(s, [](Buffers& b) { sp::ns::spConvert_16s32f(b.s16, b.out, kLen, 15); });                      \
  }                                                                                                    \
  void BM_32fTo16s_trunc_##ns(benchmark::State& s) {                                                   \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                                  \
    run(s, [](Buffers& b) { sp::ns::spConvert_32f16s(b.f32, b.out16, kLen, 0, -15); });                \
  }                                                                                                    \
  void BM_32fTo16s_nearest_##ns(benchmark::State& s) {                                                 \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                                  \
    run(s, [](Buffers& b) { sp::ns::spConvert_32f16s(b.f32, b.out16, kLen, 1, -15); });                \
  }                                                                                                    \
  void BM_24sTo32f_##ns(benchmark::State& s) {                                                         \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                                  \
    run(s, [](Buffers& b) { sp::ns::spConvert_24s32f(b.s24, b.out, kLen); });                          \
  }                                                                                                    \
  void BM_32fTo24s_##ns(benchmark::State& s) {                                                         \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                                  \
    run(s, [](Buffers& b) { sp::ns::spConvert_32f24s(b.f32, b.out24, kLen, -23); });                   \
  }                                                                                                    \
  BENCHMARK(BM_16sTo32f_##ns);                                                                         \
  BENCHMARK(BM_32fTo16s_trunc_##ns);                                                                   \
  BENCHMARK(BM_32fTo16s_nearest_##ns);                                                                 \
  BENCHMARK(BM_24sTo32f_##ns);                                                                         \
  BENCHMARK(BM_32fTo24s_##ns);

SP_BENCH_BUILD(generic, "")
SP_BENCH_BUILD(sse3, "sse3")
SP_BENCH_BUILD(ssse3, "ssse3")
SP_BENCH_BUILD(sse41, "sse4.1")

void BM_16sTo32f_plain(benchmark::State& s) { run(s, [](Buffers& b) { bench::plain16sTo32f(b.s16, b.out, kLen); }); }
void BM_32fTo16s_trunc_plain(benchmark::State& s) { run(s, [](Buffers& b) { bench::plain32fTo16s(b.f32, b.out16, kLen); }); }
void BM_24sTo32f_plain(benchmark::State& s) { run(s, [](Buffers& b) { bench::plain24sTo32f(b.s24, b.out, kLen); }); }
void BM_32fTo24s_plain(benchmark::State& s) { run(s, [](Buffers& b) { bench::plain32fTo24s(b.f32, b.out24, kLen); }); }
BENCHMARK(BM_16sTo32f_plain);
BENCHMARK(BM_32fTo16s_trunc_plain);
BENCHMARK(BM_24sTo32f_plain);
BENCHMARK(BM_32fTo24s_plain);

// libvolk has 16-bit converters only (its 32f-to-16i rounds to nearest).
void BM_16sTo32f_volk(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_16i_s32f_convert_32f(b.out, b.s16, 32768.0f, kLen); });
}
void BM_32fTo16s_nearest_volk(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_s32f_convert_16i(b.out16, b.f32, 32768.0f, kLen); });
}
void BM_16sTo32f_volk_sse41(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_16i_s32f_convert_32f_manual(b.out, b.s16, 32768.0f, kLen, "a_sse4_1"); });
}
void BM_32fTo16s_nearest_volk_sse2(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_s32f_convert_16i_manual(b.out16, b.f32, 32768.0f, kLen, "a_sse2"); });
}
BENCHMARK(BM_16sTo32f_volk);
BENCHMARK(BM_32fTo16s_nearest_volk);
BENCHMARK(BM_16sTo32f_volk_sse41);
BENCHMARK(BM_32fTo16s_nearest_volk_sse2);

// Every implementation of each converter this processor runs, named by its instruction set.
const bool kVolkRows = [] {
  bench::RegisterVolkImpls("BM_16sTo32f", volk_16i_s32f_convert_32f_get_func_desc(),
                           [](benchmark::State& s, const char* impl) {
                             run(s, [impl](Buffers& b) {
                               volk_16i_s32f_convert_32f_manual(b.out, b.s16, 32768.0f, kLen, impl);
                             });
                           });
  bench::RegisterVolkImpls("BM_32fTo16s_nearest", volk_32f_s32f_convert_16i_get_func_desc(),
                           [](benchmark::State& s, const char* impl) {
                             run(s, [impl](Buffers& b) {
                               volk_32f_s32f_convert_16i_manual(b.out16, b.f32, 32768.0f, kLen, impl);
                             });
                           });
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
