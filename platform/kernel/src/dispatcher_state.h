// Internal to the dispatcher and the virtual processors (dispatcher.cpp, processors.cpp):
// the scheduler state behind the dispatcher lock and the helpers the two share. Not a
// public header.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/sched.h"
#include "sched.h"

namespace platform::kernel_detail {

struct TimerKey {
  Ticks due;  // when it fires: its tick, plus its DPC's latency when it has a DPC
  unsigned long long seq;
  KTIMER* timer;
  Ticks tick = 0;  // the clock tick it expires on
  bool operator<(const TimerKey& o) const { return due != o.due ? due < o.due : seq < o.seq; }
};

// One virtual processor: its DPC queue and the DPC context that drains it.
struct Cpu {
  std::deque<KDPC*> dpcs;
  KEVENT work{};  // synchronization: wakes the DPC context
  bool workerStarted = false;
  // The DPC running on the processor, its context and who runs it (the DPC context, or
  // a thread that lowered its IRQL).
  KDPC* runningDpc = nullptr;
  PVOID runningContext = nullptr;
  ThreadRec* runner = nullptr;
  // The dispatch watchdog (verifier::SetDispatchWatchdog): processor time spent at
  // DISPATCH_LEVEL since the processor was last below it, and where this run stands
  // against the bound (dispatch_time.cpp). Atomics: free-running contexts of one
  // processor may overlap.
  std::atomic<long long> dispatchNs{0};
  std::atomic<int> watchdogState{0};
};

struct Backlog {
  std::function<std::vector<std::string>()> probe;
  std::function<void()> drop;
};

struct Sched {
  std::mutex mu;
  std::atomic<bool> realTime{false};
  std::atomic<Ticks> now{0};  // virtual time; in real-time mode the time at the switch
  std::atomic<long long> realBaseNs{0};

  ThreadRec* running = nullptr;
  std::deque<ThreadRec*> ready;
  std::map<unsigned long long, ThreadRec*> waiters;  // by wait order
  std::set<TimerKey> timers;
  unsigned long long seq = 0;
  std::vector<ThreadRec*> threads;  // every live record
  Ticks horizonSpan = 0;            // how far virtual time may run while the test thread is stuck

  // Virtual processors and their DPC queues.
  Cpu cpus[sched::kMaxProcessors];
  unsigned processors = 2;
  unsigned nextCpu = 1;     // processor of the next platform thread
  long dpcsInFlight = 0;    // queued or running on any processor
  KEVENT dpcIdle{};         // notification: no DPC queued or running

  // Seeded scheduling.
  sched::Options options;
  std::uint64_t rng = 0;
  unsigned chance = 1;          // a point switches with probability 1/chance
  unsigned preemptionsLeft = 0;
  unsigned preemptionsTaken = 0;
  std::atomic<bool> freeRunning{false};
  std::vector<std::string> log;
  Ticks logOrigin = 0;
  // The overlap drawn last (Options::overlapOneIn): its instant and the switches left;
  // the instant of the last draw, so one instant is drawn once.
  Ticks overlapAt = -1;
  unsigned overlapSwitchesLeft = 0;
  unsigned overlapsDrawn = 0;
  Ticks overlapDrawnAt = -1;

  std::atomic<LONGLONG> perfFrequency{10'000'000};
  std::atomic<LONGLONG> systemOrigin{clock::kDefaultSystemTimeOrigin};
  std::vector<clock::TimerResolutionCall> resolutionCalls;
  std::vector<ULONG> resolutionRequests;  // still requested, in request order
  // Clock ticks fall at tickBase + k * resolution (tickBase: a tick of the previous
  // resolution, so interrupt time never goes back when the resolution changes).
  Ticks tickBase = 0;
  clock::Timing timing;
  std::uint64_t timingRng = 0;

  std::condition_variable serviceCv;
  bool serviceStarted = false;
  bool watchdogStarted = false;
  long long hangLimitNs = 5'000'000'000LL;  // 0: no hang detection
  std::vector<Backlog> backlogs;
};

// The one scheduler state (never destroyed: threads may still use it at exit).
Sched& S();
// The calling thread's record, null when it never used a kernel service.
extern thread_local ThreadRec* tlCurrent;

long long SteadyNs();
Ticks NowOf(Sched& s);
// Platform threads take turns, except in free-running mode.
bool TakesTurns(const Sched& s, const ThreadRec* t);
unsigned CpuIndex(const Sched& s, const ThreadRec* t);
// Starts the real-time service thread once.
void EnsureServiceLocked(Sched& s);
// Starts the hang watchdog once.
void EnsureWatchdogLocked(Sched& s);

// Queues a DPC on its target processor, or on `cpu` (the processor that queued it or
// that its timer was armed on) when it has none. False when it was queued already.
// `site`: where it was queued (or its timer armed), for the queued-object checks.
bool QueueDpcLocked(Sched& s, KDPC* dpc, unsigned cpu, PVOID arg1, PVOID arg2, const std::source_location& site);
// The type a DPC object holds once initialised.
constexpr UCHAR kDpcType = 0x13;
// Takes a queued DPC off its processor's queue.
void UnqueueDpcLocked(Sched& s, KDPC* dpc);
// Whether ready context `c` may run now: no other context holds its processor at
// DISPATCH_LEVEL or above (`current`, about to be switched out, or a preempted one).
bool EligibleLocked(const Sched& s, const ThreadRec* c, const ThreadRec* current);
// The scheduler's seeded generator.
std::uint64_t DrawLocked(Sched& s);
// Gives the free turn to a ready context that may run (with a seed: one drawn among them).
void PickReadyLocked(Sched& s);
void LogLocked(Sched& s, std::string line);
// Restarts the generator, the preemption budget and the log from the options.
void RestartLocked(Sched& s);

}  // namespace platform::kernel_detail
