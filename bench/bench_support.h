// Helpers shared by the primitives benchmarks: aligned buffers, the per-build processor
// check and the timed loop over one block.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace bench {

// 64-byte aligned storage for Count elements, rounded up to whole cache lines. Benchmark
// buffers live for the whole run and are never freed.
template <class T = float>
T* Aligned(std::size_t Count) {
  return static_cast<T*>(std::aligned_alloc(64, (Count * sizeof(T) + 63) / 64 * 64));
}

// Whether this processor runs the build named by Feature ("sse3", "ssse3", "sse4.1");
// any other name is the generic build, which always runs.
inline bool CpuHas(const char* Feature) {
  __builtin_cpu_init();
  if (std::strcmp(Feature, "sse3") == 0) return __builtin_cpu_supports("sse3");
  if (std::strcmp(Feature, "ssse3") == 0) return __builtin_cpu_supports("ssse3");
  if (std::strcmp(Feature, "sse4.1") == 0) return __builtin_cpu_supports("sse4.1");
  return true;
}

// Times Fn(Buffers) once per iteration, Items elements each, with memory clobbered after
// every call so the stores are not optimised away.
template <class Buffers, class Fn>
void RunBlock(benchmark::State& State, Buffers& B, long Items, Fn F) {
  for (auto _ : State) {
    F(B);
    benchmark::ClobberMemory();
  }
  State.SetItemsProcessed(State.iterations() * Items);
}

}  // namespace bench
