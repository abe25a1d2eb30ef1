// Cost of the virtual clock: how fast virtual time runs when every step is a hand-over
// between platform threads (the rate that decides how long a streaming test takes).

#include <benchmark/benchmark.h>

#include <cstdint>

#include "kernel/nt.h"
#include "kernel/sched.h"

namespace {

using platform::clock::kTicksPerMillisecond;

// A periodic 1 ms timer whose DPC runs each period: one virtual second per iteration.
// Argument: the scheduler seed (0: the fixed order, no preemption points taken).
void BM_PeriodicTimerDpc(benchmark::State& state) {
  platform::clock::Reset();
  platform::sched::Configure({.seed = static_cast<std::uint64_t>(state.range(0))});
  platform::clock::ScopedPlatformThread thread("bench");
  static long runs;
  runs = 0;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++runs; }, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = -kTicksPerMillisecond;
  KeSetTimerEx(&timer, due, 1, &dpc);
  for (auto _ : state) {
    LARGE_INTEGER second;
    second.QuadPart = -1000 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
  }
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
  state.counters["dpc/s"] = benchmark::Counter(static_cast<double>(runs), benchmark::Counter::kIsRate);
  platform::sched::Configure({});
}
// Wall time: most of the work runs on the DPC context, not the benchmark thread.
BENCHMARK(BM_PeriodicTimerDpc)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Two platform threads passing the turn through synchronization events.
void BM_EventPingPong(benchmark::State& state) {
  platform::clock::Reset();
  platform::clock::ScopedPlatformThread thread("bench");
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  bool stop = false;
  platform::clock::Thread partner("partner", [&] {
    for (;;) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      if (stop) break;
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  for (auto _ : state) {
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
  }
  stop = true;
  KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
  partner.Join();
}
BENCHMARK(BM_EventPingPong);

// One thread sleeping 125 us at a time, as a bus thread stepping microframes does.
void BM_TimedWaitStep(benchmark::State& state) {
  platform::clock::Reset();
  platform::clock::ScopedPlatformThread thread("bench");
  for (auto _ : state) {
    LARGE_INTEGER step;
    step.QuadPart = -1250;
    KeDelayExecutionThread(KernelMode, FALSE, &step);
  }
}
BENCHMARK(BM_TimedWaitStep);

}  // namespace

BENCHMARK_MAIN();
