// libvolk's kernels one by one: every implementation of a kernel that this processor runs
// gets its own row, named by the implementation ("a_avx512f", "u_avx2_fma", "a_sse"), so
// the fastest row names the instruction set it used and the SSE-class row stands beside it.
#pragma once

#include <benchmark/benchmark.h>
#include <volk/volk.h>

#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "bench_cpu.h"

namespace bench {

// The instruction sets an implementation name needs, as MachineSets writes them; false
// when it needs one this processor lacks or one this decoder does not know.
inline bool VolkImplRuns(const std::string& Impl) {
  std::stringstream in(Impl);
  std::string token, previous;
  while (std::getline(in, token, '_')) {
    std::string set = token;
    if (previous == "sse4" && (token == "1" || token == "2")) set = "sse4." + token;
    previous = token;
    if (token == "a" || token == "u" || token == "generic" || token == "sse4") continue;
    if (token == "orc") {
      if (std::strstr(volk_get_machine(), "orc") == nullptr) return false;
      continue;
    }
    static const std::set<std::string> kKnown = {"sse", "sse2", "sse3", "ssse3", "sse4.1", "sse4.2", "avx",
                                                 "fma", "avx2", "avx512f", "avx512dq", "avx512bw", "avx512vl"};
    if (kKnown.count(set) == 0) return false;
    if (!HasSet(MachineSets(), set.c_str())) return false;
  }
  return true;
}

// Registers Name + "/volk_" + implementation for every implementation of Desc this
// processor runs. The buffers are aligned, so an implementation with an aligned twin
// ("a_x" beside "u_x") is measured in its aligned form only. Fn(State, Impl) runs one.
inline void RegisterVolkImpls(const std::string& Name, volk_func_desc_t Desc,
                              std::function<void(benchmark::State&, const char*)> Fn) {
  std::set<std::string> names(Desc.impl_names, Desc.impl_names + Desc.n_impls);
  for (const std::string& impl : names) {
    if (impl.rfind("u_", 0) == 0 && names.count("a_" + impl.substr(2)) != 0) continue;
    if (!VolkImplRuns(impl)) continue;
    // The library's own string outlives the run; the callback keeps a pointer to it.
    const char* implName = nullptr;
    for (size_t i = 0; i < Desc.n_impls; ++i)
      if (impl == Desc.impl_names[i]) implName = Desc.impl_names[i];
    benchmark::RegisterBenchmark((Name + "/volk_" + impl).c_str(),
                                 [Fn, implName](benchmark::State& s) { Fn(s, implName); });
  }
}

}  // namespace bench
