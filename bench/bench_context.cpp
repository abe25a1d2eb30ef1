// Linked into every benchmark binary: the processor model and its instruction sets go into
// the run's context (the "context" object of the JSON output), before any benchmark runs.
#include <benchmark/benchmark.h>

#include "bench_cpu.h"

namespace {

const bool kContextAdded = [] {
  benchmark::AddCustomContext("cpu_model", bench::ProcessorModel(&bench::HardwareCpuid));
  benchmark::AddCustomContext("instruction_sets", bench::MachineSets());
  return true;
}();

}  // namespace
