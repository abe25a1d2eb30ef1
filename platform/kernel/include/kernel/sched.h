// Virtual processors and the seeded scheduler of the platform clock.
//
// The platform models several processors (default 2). Every platform context lives on
// one: the test thread on processor 0, each further platform thread on the next one in
// turn, and each processor has its own DPC queue and DPC context. A processor's IRQL is
// that of the context running on it; while a context is at DISPATCH_LEVEL or above, no
// other context of its processor runs (a DPC context mid-DPC holds its processor too).
//
// Contexts still run one at a time, so runs are reproducible. With seed 0 a context
// hands over only when it blocks in a kernel wait, in a fixed order. With any other seed
// the scheduler may also switch to a ready context (of another processor, or of the same
// one when the current context is below DISPATCH_LEVEL) at preemption points: spin-lock
// acquire and release, IRQL changes, interlocked operations, DPC queuing, event
// signalling, IRP completion and forwarding, cancel-routine changes, pool calls and URB
// submission. Which points switch is drawn from a generator seeded by the seed, within a
// bounded number of preemptions per run, so every seed replays exactly.
//
// The IRQL rules hold in every mode: lowering IRQL below DISPATCH_LEVEL runs the DPCs
// queued on the processor at once, a DPC runs on the processor that queued it (or the
// one its timer was armed on, or its target), and a contended spin lock makes the
// waiting context spin: the scheduler runs the holder. Contexts spinning on each other's
// locks are reported as a deadlock naming both owners.
//
// Free-running mode (builds with UA_FREE_RUNNING, for ThreadSanitizer) drops the turns:
// every platform thread runs in parallel on the real-time clock, spin locks and
// interlocked operations are plain atomics, and driver data touched from two processors
// without a lock is a data race the sanitizer reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::sched {

inline constexpr unsigned kMaxProcessors = 8;
// Switches one overlap (Options::overlapOneIn) may take at most.
inline constexpr unsigned kOverlapSwitches = 24;

struct Options {
  std::uint64_t seed = 0;        // 0: no preemption, the fixed order
  unsigned processors = 2;       // 1 .. kMaxProcessors
  unsigned maxPreemptions = 8;   // seeded switches per run at most
  // Overlap draw (non-zero seeds): when a timer's DPC and a thread's time-out fall on the
  // same clock tick, one time in `overlapOneIn` the DPC starts at that very instant, with
  // the thread, instead of a latency later, and the two interleave at every preemption
  // point (a coin flip each, up to kOverlapSwitches). 0: never.
  unsigned overlapOneIn = 2;
  bool freeRunning = false;      // only in builds with UA_FREE_RUNNING
};

// Sets the options and restarts the generator, the preemption budget and the log. Call
// it while no platform thread other than the caller and the idle workers runs (the
// fixture does, right after clock::Reset). clock::Reset keeps the options and restarts
// the generator and the log as well.
void Configure(const Options& options);
Options Current();
// Whether this build can run free (UA_FREE_RUNNING).
bool FreeRunningBuilt();

// Seeded switches taken since the last Configure or Reset (overlap switches not counted),
// and the overlaps drawn.
unsigned PreemptionsTaken();
unsigned OverlapsDrawn();
// The scheduling decisions since the last Configure or Reset, one line each (virtual
// time, what switched where and why): two runs of one seed give the same log.
std::vector<std::string> Log();

// The seed a test run uses: UA_SEED from the environment, or 0.
std::uint64_t SeedFromEnvironment();

// A preemption point for services outside this library (URB submission).
void PreemptionPoint(const char* what);

namespace detail {
extern bool preemptive;  // a non-zero seed is configured (read without the lock)
void Preempt(const char* what);
}  // namespace detail

// Inline fast path of the platform's own preemption points.
inline void Point(const char* what) {
  if (__atomic_load_n(&detail::preemptive, __ATOMIC_RELAXED)) detail::Preempt(what);
}

}  // namespace platform::sched
