// Add, multiply, square root, maximum and sum over 4096 floats: every build of the
// primitives side by side with libvolk (its best kernel for this machine and its
// SSE-class kernel) and SLEEF's vector square root. SLEEF has no add, multiply or
// reductions; libvolk has no maximum value, so its index-of-maximum stands in.

#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <cstdlib>
#include <random>

#include "bench_support.h"
#include "sp/sp.h"

#if HAVE_VOLK
#include "volk_support.h"
#endif
#if HAVE_SLEEF
#include <sleef.h>
#endif

namespace {

constexpr int kLen = 4096;

using bench::Aligned;

struct Buffers {
  float* a = Aligned(kLen);
  float* b = Aligned(kLen);
  float* out = Aligned(kLen);
  float* roots = Aligned(kLen);
  Buffers() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), p(0.001f, 1000.0f);
    for (int i = 0; i < kLen; ++i) {
      a[i] = u(rng);
      b[i] = u(rng);
      roots[i] = p(rng);
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

// The square root works in place; a fresh copy of positive inputs each time keeps every
// block on its ordinary path (the copy is timed in every variant alike).
void refill(Buffers& b) { __builtin_memcpy(b.out, b.roots, sizeof(float) * kLen); }

// Every row runs its build through the dispatch slot that build fills, so a row measures
// what the library runs on a processor of that class: the SSE4.1-class slot's add and
// multiply are the body it shares with the SSSE3 slot (its row is labelled so), its square
// root, maximum and sums its own.
template <class Fn>
void runSlot(benchmark::State& s, int slot, const char* label, Fn fn) {
  static const char* const kFeature[] = {"", "sse3", "ssse3", "sse4.1"};
  if (!bench::CpuHas(kFeature[slot])) return s.SkipWithError("build not supported");
  if (label != nullptr) s.SetLabel(label);
  spDispatchIndex = slot;
  run(s, fn);
  spDispatchIndex = 0;
}

#define SP_BENCH_BUILD(ns, slot, arithLabel)                                                \
  void BM_Add_##ns(benchmark::State& s) {                                                   \
    runSlot(s, slot, arithLabel, [](Buffers& b) { spAdd_32f(b.a, b.b, b.out, kLen); });     \
  }                                                                                         \
  void BM_Multiply_##ns(benchmark::State& s) {                                              \
    runSlot(s, slot, arithLabel, [](Buffers& b) { spMultiply_32f(b.a, b.b, b.out, kLen); }); \
  }                                                                                         \
  void BM_SquareRoot_##ns(benchmark::State& s) {                                            \
    runSlot(s, slot, nullptr, [](Buffers& b) {                                              \
      refill(b);                                                                            \
      spSquareRootInPlace_32f(b.out, kLen);                                                 \
    });                                                                                     \
  }                                                                                         \
  void BM_Maximum_##ns(benchmark::State& s) {                                               \
    runSlot(s, slot, nullptr, [](Buffers& b) { spMaximum_32f(b.a, kLen, b.out); });         \
  }                                                                                         \
  void BM_Sum_##ns##_fast(benchmark::State& s) {                                            \
    runSlot(s, slot, nullptr, [](Buffers& b) { spSum_32f(b.a, kLen, b.out, 1); });          \
  }                                                                                         \
  void BM_Sum_##ns##_accurate(benchmark::State& s) {                                        \
    runSlot(s, slot, nullptr, [](Buffers& b) { spSum_32f(b.a, kLen, b.out, 0); });          \
  }                                                                                         \
  BENCHMARK(BM_Add_##ns);                                                                   \
  BENCHMARK(BM_Multiply_##ns);                                                              \
  BENCHMARK(BM_SquareRoot_##ns);                                                            \
  BENCHMARK(BM_Maximum_##ns);                                                               \
  BENCHMARK(BM_Sum_##ns##_fast);                                                            \
  BENCHMARK(BM_Sum_##ns##_accurate);

SP_BENCH_BUILD(generic, 0, nullptr)
SP_BENCH_BUILD(sse3, 1, nullptr)
SP_BENCH_BUILD(ssse3, 2, nullptr)
SP_BENCH_BUILD(sse41, 3, "sse41 slot: the body shared with ssse3")

#if HAVE_VOLK
void BM_Add_volk(benchmark::State& s) { run(s, [](Buffers& b) { volk_32f_x2_add_32f(b.out, b.a, b.b, kLen); }); }
void BM_Add_volk_sse(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_x2_add_32f_manual(b.out, b.a, b.b, kLen, "a_sse"); });
}
void BM_Multiply_volk(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_x2_multiply_32f(b.out, b.a, b.b, kLen); });
}
void BM_Multiply_volk_sse(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_x2_multiply_32f_manual(b.out, b.a, b.b, kLen, "a_sse"); });
}
void BM_SquareRoot_volk(benchmark::State& s) {
  run(s, [](Buffers& b) {
    refill(b);
    volk_32f_sqrt_32f(b.out, b.out, kLen);
  });
}
void BM_SquareRoot_volk_sse(benchmark::State& s) {
  run(s, [](Buffers& b) {
    refill(b);
    volk_32f_sqrt_32f_manual(b.out, b.out, kLen, "a_sse");
  });
}
void BM_MaximumIndex_volk(benchmark::State& s) {
  run(s, [](Buffers& b) {
    uint32_t index;
    volk_32f_index_max_32u(&index, b.a, kLen);
    benchmark::DoNotOptimize(index);
  });
}
void BM_MaximumIndex_volk_sse41(benchmark::State& s) {
  run(s, [](Buffers& b) {
    uint32_t index;
    volk_32f_index_max_32u_manual(&index, b.a, kLen, "a_sse4_1");
    benchmark::DoNotOptimize(index);
  });
}
void BM_Sum_volk(benchmark::State& s) { run(s, [](Buffers& b) { volk_32f_accumulator_s32f(b.out, b.a, kLen); }); }
void BM_Sum_volk_sse(benchmark::State& s) {
  run(s, [](Buffers& b) { volk_32f_accumulator_s32f_manual(b.out, b.a, kLen, "a_sse"); });
}
BENCHMARK(BM_Add_volk);
BENCHMARK(BM_Add_volk_sse);
BENCHMARK(BM_Multiply_volk);
BENCHMARK(BM_Multiply_volk_sse);
BENCHMARK(BM_SquareRoot_volk);
BENCHMARK(BM_SquareRoot_volk_sse);
BENCHMARK(BM_MaximumIndex_volk);
BENCHMARK(BM_MaximumIndex_volk_sse41);
BENCHMARK(BM_Sum_volk);
BENCHMARK(BM_Sum_volk_sse);

// Every implementation of each kernel this processor runs, named by its instruction set.
void RegisterVolkRows() {
  bench::RegisterVolkImpls("BM_Add", volk_32f_x2_add_32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) { volk_32f_x2_add_32f_manual(b.out, b.a, b.b, kLen, impl); });
  });
  bench::RegisterVolkImpls("BM_Multiply", volk_32f_x2_multiply_32f_get_func_desc(),
                           [](benchmark::State& s, const char* impl) {
                             run(s, [impl](Buffers& b) { volk_32f_x2_multiply_32f_manual(b.out, b.a, b.b, kLen, impl); });
                           });
  bench::RegisterVolkImpls("BM_SquareRoot", volk_32f_sqrt_32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) {
      refill(b);
      volk_32f_sqrt_32f_manual(b.out, b.out, kLen, impl);
    });
  });
  bench::RegisterVolkImpls("BM_Sum", volk_32f_accumulator_s32f_get_func_desc(), [](benchmark::State& s, const char* impl) {
    run(s, [impl](Buffers& b) { volk_32f_accumulator_s32f_manual(b.out, b.a, kLen, impl); });
  });
}
const bool kVolkRows = (RegisterVolkRows(), true);
#endif

#if HAVE_SLEEF
// Correctly rounded (0.5 ulp) and 3.5-ulp square roots, four floats per call.
void BM_SquareRoot_sleef_u05sse4(benchmark::State& s) {
  if (!bench::CpuHas("sse4.1")) return s.SkipWithError("not supported");
  run(s, [](Buffers& b) {
    refill(b);
    for (int i = 0; i < kLen; i += 4) _mm_store_ps(b.out + i, Sleef_sqrtf4_u05sse4(_mm_load_ps(b.out + i)));
  });
}
void BM_SquareRoot_sleef_u35sse4(benchmark::State& s) {
  if (!bench::CpuHas("sse4.1")) return s.SkipWithError("not supported");
  run(s, [](Buffers& b) {
    refill(b);
    for (int i = 0; i < kLen; i += 4) _mm_store_ps(b.out + i, Sleef_sqrtf4_u35sse4(_mm_load_ps(b.out + i)));
  });
}
BENCHMARK(BM_SquareRoot_sleef_u05sse4);
BENCHMARK(BM_SquareRoot_sleef_u35sse4);
#endif

}  // namespace

BENCHMARK_MAIN();
