// Helpers shared by the primitives benchmarks: aligned buffers, the per-build processor
// check and the timed loop over one block.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "bench_cpu.h"

namespace bench {

// 64-byte aligned storage for Count elements, rounded up to whole cache lines. Benchmark
// buffers live for the whole run and are never freed.
template <class T = float>
T* Aligned(std::size_t Count) {
  return static_cast<T*>(std::aligned_alloc(64, (Count * sizeof(T) + 63) / 64 * 64));
}

// Whether this processor runs the build or peer kernel named by Feature, an instruction
// set as MachineSets writes it ("sse3", "ssse3", "sse4.1", "avx2", "avx512f", ...); an
// empty name or "generic" is the generic build, which always runs.
inline bool CpuHas(const char* Feature) {
  if (Feature[0] == '\0' || std::strcmp(Feature, "generic") == 0) return true;
  return HasSet(MachineSets(), Feature);
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
