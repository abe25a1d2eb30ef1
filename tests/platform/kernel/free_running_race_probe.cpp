// Must be reported by ThreadSanitizer: a counter that a DPC on processor 1 and passive
// code on processor 0 both update without a lock, with the processors running free. The
// tsan preset runs this and expects the sanitizer's data-race report naming the counter.
#include <atomic>
#include <cstdio>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/sched.h"

namespace {

long unlockedCounter = 0;
// Relaxed, so it orders nothing: it only makes sure the DPC has started before the passive
// loop runs, so the two loops are not ordered by the platform's own locks either.
std::atomic<bool> dpcStarted{false};

void AddUnlocked() {
  for (int i = 0; i < 100000; ++i) ++unlockedCounter;
}

}  // namespace

int main() {
  platform::clock::Reset();
  {
    platform::clock::ScopedPlatformThread thread("probe");
    platform::sched::Configure({.freeRunning = true});
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {
      dpcStarted.store(true, std::memory_order_relaxed);
      AddUnlocked();
    }, nullptr);
    KeSetTargetProcessorDpc(&dpc, 1);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    while (!dpcStarted.load(std::memory_order_relaxed)) {
    }
    AddUnlocked();
    KeFlushQueuedDpcs();
    platform::sched::Configure({});
  }
  std::printf("counter %ld\n", unlockedCounter);
  return 0;
}
