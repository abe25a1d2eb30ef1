// The process-wide clock and the platform threads that run on it.
//
// Virtual mode (the default) is a discrete-event clock: time stands still while any
// platform thread can run, and when every platform thread is blocked it jumps to the
// earliest deadline (an armed timer or a timed wait), fires what is due and goes on.
// Platform threads take turns: one runs at a time and, with scheduler seed 0, hands over
// only when it blocks in a kernel wait, in a fixed order, so two runs of a scenario
// produce the same events at the same virtual times. Other seeds also switch at
// preemption points, reproducibly per seed (kernel/sched.h, which also describes the
// virtual processors). Real-time mode follows the monotonic clock instead (demo use).
//
// Platform threads are: system threads (PsCreateSystemThread), the DPC and work-item
// workers, threads started with platform::clock::Thread (test helpers, simulators) and a
// thread registered with ScopedPlatformThread (the test thread, by the fixture). A
// platform thread must block only through kernel waits; blocking on anything else while
// other platform threads need to run stalls them.
//
// Any other thread may call kernel services too ("foreign" thread): it does not hold the
// clock, so virtual time may advance while it runs, and its timed waits simply end when
// virtual time reaches their deadline.
//
// When every platform thread is blocked, nothing is scheduled and at least one thread is
// in a wait that can never end, the verifier reports a deadlock listing what each thread
// waits on; one of those waits (the registered test thread's if it is stuck, else the most
// recent) then returns STATUS_POSSIBLE_DEADLOCK.
#pragma once

#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

#include "kernel/ke.h"

namespace platform::clock {

enum class Mode { Virtual, RealTime };

void SetMode(Mode mode);
Mode GetMode();

// Interrupt time: 100 ns units since the last Reset.
LONGLONG Now();
inline constexpr LONGLONG kTicksPerMillisecond = 10'000;
inline constexpr LONGLONG kTicksPerSecond = 10'000'000;
// The system time (100 ns units since 1601) that corresponds to interrupt time 0.
inline constexpr LONGLONG kDefaultSystemTimeOrigin = 134'116'992'000'000'000LL;  // 2026-01-01
void SetSystemTimeOrigin(LONGLONG systemTimeAtZero);
// Converts an interrupt time to the absolute system time that KeSetTimer and the waits
// accept as a positive due time.
LONGLONG ToSystemTime(LONGLONG interruptTime);

// When the registered test thread has been stuck in a wait without time-out for this
// span of virtual time (default one hour; Reset restores it) while timers kept time
// moving, that counts as a deadlock too: a hang a periodic timer would otherwise hide.
void SetDeadlockHorizon(LONGLONG span);

// A platform context that keeps calling the kernel without ever waiting while the clock
// stands still (a poll that never ends) for this long in wall time is reported as a hang
// (verifier Check::Hang) with its last call site. Default 5 s; 0 turns it off; Reset
// restores the default.
void SetHangLimit(double seconds);

// Performance counter rate (default 10 MHz).
void SetPerformanceFrequency(LONGLONG hertz);

// How close to a real system the clock's timing is. The default is realistic:
// - timers expire on clock ticks, 15.625 ms apart unless ExSetTimerResolution asked for
//   a finer resolution (down to 0.5 ms) that is still requested; KeQueryInterruptTime,
//   KeQuerySystemTime and the tick count advance by those ticks (the precise variants,
//   the performance counter and clock::Now do not);
// - a timer's DPC starts a seeded latency after its tick: tens of microseconds, now and
//   then a few hundred;
// - the USB bus delivers completions in batches of up to `completionBatchFrames` frames,
//   as controllers that interrupt once per millisecond or less often do.
// The draws come from a generator seeded by the scheduler seed (sched::Configure), so a
// seed replays exactly. Tests that check exact timing set Timing::Exact(); Reset restores
// the default.
struct Timing {
  bool clockTicks = true;
  bool dpcLatency = true;
  unsigned completionBatchFrames = 4;  // 1: every frame's completions at its end

  static constexpr Timing Exact() { return Timing{false, false, 1}; }
};
void SetTiming(const Timing& timing);
Timing CurrentTiming();
// The next DPC latency (100 ns units; 0 without dpcLatency) and the next completion
// batch in frames (1 without batching), from the seeded timing generator.
LONGLONG DrawDpcLatency();
unsigned DrawCompletionBatch();

// Marks the calling thread as a model of hardware (the USB bus) while in scope: its
// kernel waits end at their exact deadlines rather than on clock ticks.
class ScopedExactWaits {
 public:
  ScopedExactWaits();
  ~ScopedExactWaits();
  ScopedExactWaits(const ScopedExactWaits&) = delete;
  ScopedExactWaits& operator=(const ScopedExactWaits&) = delete;
};

// Resolution in effect (100 ns units) and every ExSetTimerResolution call since Reset.
struct TimerResolutionCall {
  ULONG desiredTime;
  bool set;
};
ULONG TimerResolution();
std::vector<TimerResolutionCall> TimerResolutionCalls();

// Back to virtual time 0 with the default settings. Timers still armed, DPCs and work
// items still queued and platform threads other than the workers still alive are
// reported (LeakAtTeardown) and forgotten. Call it while no platform thread runs (the
// fixture calls it before registering the test thread).
void Reset(const std::source_location& caller = std::source_location::current());

// Reports (LeakAtTeardown) timers still armed, queued DPCs and work items and system
// threads still alive, without changing anything. Returns true when there were none.
bool CheckQuiescent(const std::source_location& caller = std::source_location::current());

// Blocks the calling platform thread until every other platform thread is blocked,
// without advancing time (queued DPCs, work items and woken threads run first).
void Settle();
// Blocks the calling thread until the clock reaches `interruptTime`.
void SleepUntil(LONGLONG interruptTime);
void SleepFor(LONGLONG ticks);

// Registers the calling thread as a platform thread for its lifetime (the test thread).
// On a thread that is a platform thread already it changes nothing.
class ScopedPlatformThread {
 public:
  explicit ScopedPlatformThread(std::string name = "test");
  ~ScopedPlatformThread();
  ScopedPlatformThread(const ScopedPlatformThread&) = delete;
  ScopedPlatformThread& operator=(const ScopedPlatformThread&) = delete;

 private:
  bool registered_ = false;
};

// Runs a callable as a platform thread, at PASSIVE_LEVEL. Join waits for it on the clock
// (a platform caller is blocked meanwhile, so the clock can advance); the destructor
// joins. The thread object is a dispatcher object signalled when the callable returns.
class Thread {
 public:
  Thread(std::string name, std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void Join();
  PKTHREAD Object() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True when the calling thread is a platform thread.
bool IsPlatformThread();

}  // namespace platform::clock
