// The verifier's DPC time limit and dispatch watchdog: what a DPC routine, or a run of a
// processor at DISPATCH_LEVEL, is charged, and when a run over its bound is reported.
//
// A routine is charged its thread's processor time (CLOCK_THREAD_CPUTIME_ID) while it
// runs, less what the simulation spends on that thread meanwhile: handing the turn to
// other contexts and taking it back (SwitchToLocked), and the platform's own work inside
// the calls the routine makes (verifier::ScopedPlatformWork: the verifier's pool, lock
// and object records, starting a worker's OS thread, changing page protection). A raised
// section of a thread is charged the same way.
//
// What is left still carries disturbances the thread cannot tell from its own work:
// interrupts and softirqs the kernel runs on its time, page faults, caches and TLB
// refilled after it was descheduled. On a loaded machine they add a millisecond or so to
// a run now and then, and a run of a few hundred microseconds then reads as one over the
// limit. They do not repeat on demand; a routine that really runs too long does so each
// time it takes that path. So a run over the bound is reported
//  - at once when it is twice the bound or more: no disturbance comes near that, and a
//    routine that really spins that long is caught on its first run;
//  - otherwise when the same DPC routine (for the watchdog: any processor's run) went
//    over the bound before in the same test; the first such run is only remembered.
// The runs remembered are forgotten when a test starts (the clock's reset, the
// scheduler's configuration) and when a limit is set.

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>

#include "dispatcher_state.h"
#include "kernel/platform_work.h"
#include "kernel/verifier.h"

namespace platform::kernel_detail {
namespace {

using verifier::Check;

// The runs over a bound seen in this test and not reported: the DPC routines' (routine
// -> microseconds charged), and the dispatch watchdog's first.
struct Strikes {
  std::mutex mutex;
  std::unordered_map<const void*, long long> dpcs;
  bool watchdog = false;
  long long watchdogUs = 0;
  unsigned watchdogCpu = 0;
  std::string watchdogWhat;
};

Strikes& TheStrikes() {
  static Strikes* s = new Strikes;  // never destroyed: DPCs may run during exit
  return *s;
}

constexpr const char* kDpcRule =
    " (reported when a run is twice the limit or more, or when the routine went over the limit before in the "
    "same test: one run a little over it can be the machine's load)";
constexpr const char* kWatchdogRule =
    " (reported when a run is twice the bound or more, or when a run went over the bound before in the same test: "
    "one run a little over it can be the machine's load)";

// The watchdog's state of a processor's run (Cpu::watchdogState).
constexpr int kWithinBound = 0;
constexpr int kRemembered = 1;  // over the bound, first in the test: reported if it reaches twice the bound
constexpr int kReported = 2;

struct Usage {
  long minorFaults = 0, majorFaults = 0, involuntarySwitches = 0;
  long long systemNs = 0;
};

Usage ThreadUsage() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return {ru.ru_minflt, ru.ru_majflt, ru.ru_nivcsw,
          static_cast<long long>(ru.ru_stime.tv_sec) * 1000000000LL + ru.ru_stime.tv_usec * 1000LL};
}

}  // namespace

long long ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool DispatchTimed() { return verifier::DpcTimeLimit() || verifier::DispatchWatchdog(); }

DpcRunClock StartDpcClock(const ThreadRec* self, const void* routine) {
  DpcRunClock c;
  const bool limited = verifier::DpcTimeLimit() != 0;
  // Exempt routines (the simulated hardware's) count for neither check.
  if (!(limited || verifier::DispatchWatchdog()) || verifier::IsExemptFromDpcTimeLimit(routine)) return c;
  c.timed = true;
  c.limited = limited;
  if (limited) {
    const Usage u = ThreadUsage();
    c.minorFaults = u.minorFaults;
    c.majorFaults = u.majorFaults;
    c.involuntarySwitches = u.involuntarySwitches;
    c.systemNs = u.systemNs;
  }
  c.switchNs = self->switchCpuNs;
  c.platformNs = self->platformCpuNs;
  c.cpuNs = ThreadCpuNs();  // last: the clocks' own reads are not the routine's
  return c;
}

void FinishDpcClock(const ThreadRec* self, const DpcRunClock& started, const void* routine, const void* dpc) {
  if (!started.timed) return;
  const long long cpuNs = ThreadCpuNs();
  const long long switchNs = self->switchCpuNs - started.switchNs;
  const long long platformNs = self->platformCpuNs - started.platformNs;
  const long long usedNs = std::max(0LL, cpuNs - started.cpuNs - switchNs - platformNs);
  AddDispatchTime(CpuOf(self), usedNs, Format("DPC routine %p", routine));
  const long long limitNs = static_cast<long long>(verifier::DpcTimeLimit()) * 1000;
  if (!started.limited || limitNs == 0 || usedNs <= limitNs) return;
  const bool twice = usedNs >= 2 * limitNs;
  long long earlierUs = -1;
  if (!twice) {
    Strikes& s = TheStrikes();
    std::lock_guard lock(s.mutex);
    auto [it, first] = s.dpcs.try_emplace(routine, usedNs / 1000);
    if (first) return;
    earlierUs = it->second;
  }
  const Usage u = ThreadUsage();
  std::string detail =
      Format("DPC routine %p (DPC %p) used %lld us of processor time at DISPATCH_LEVEL; the limit is %lld us", routine,
             dpc, usedNs / 1000, limitNs / 1000);
  detail += twice ? std::string(", and the run is twice the limit or more")
                  : Format(", and an earlier run of the routine in this test used %lld us", earlierUs);
  detail += kDpcRule;
  detail += Format("; not charged: %lld us handing turns over, %lld us of the platform's own work; during the run "
                   "%ld minor and %ld major page faults, %ld involuntary context switches, %lld us of the thread's "
                   "time in the system (all of it counted, the routine's or not)",
                   switchNs / 1000, platformNs / 1000, u.minorFaults - started.minorFaults,
                   u.majorFaults - started.majorFaults, u.involuntarySwitches - started.involuntarySwitches,
                   (u.systemNs - started.systemNs) / 1000);
  Report(Check::DpcTooLong, "KDPC", std::move(detail), Format("DPC routine %p", routine));
}

void AddDispatchTime(unsigned cpu, long long ns, const std::string& what) {
  const auto limitUs = static_cast<long long>(verifier::DispatchWatchdog());
  if (!limitUs) return;
  Cpu& c = S().cpus[cpu % sched::kMaxProcessors];
  const long long total = c.dispatchNs.fetch_add(ns, std::memory_order_relaxed) + ns;
  const long long boundNs = limitUs * 1000;
  if (total <= boundNs) return;
  int state = c.watchdogState.load(std::memory_order_relaxed);
  if (state == kReported) return;
  const bool twice = total >= 2 * boundNs;
  std::string earlier;
  if (!twice) {
    // This run crossed the bound just now (a remembered run waits for twice the bound).
    if (state != kWithinBound || !c.watchdogState.compare_exchange_strong(state, kRemembered)) return;
    Strikes& s = TheStrikes();
    std::lock_guard lock(s.mutex);
    if (!s.watchdog) {
      s.watchdog = true;
      s.watchdogUs = total / 1000;
      s.watchdogCpu = cpu;
      s.watchdogWhat = what;
      return;
    }
    earlier = Format(", and an earlier run in this test spent %lld us (processor %u, %s crossed it)", s.watchdogUs,
                     s.watchdogCpu, s.watchdogWhat.c_str());
  }
  if (c.watchdogState.exchange(kReported) == kReported) return;
  Report(Check::DispatchWatchdog, "dispatch watchdog",
         Format("processor %u spent %lld us at DISPATCH_LEVEL without going below it; the bound is %lld us (%s "
                "crossed it)",
                cpu, total / 1000, limitUs, what.c_str()) +
             (twice ? std::string(", and the run is twice the bound or more") : earlier) + kWatchdogRule,
         what);
}

void EndDispatchRun(unsigned cpu) {
  Cpu& c = S().cpus[cpu % sched::kMaxProcessors];
  c.dispatchNs.store(0, std::memory_order_relaxed);
  c.watchdogState.store(kWithinBound, std::memory_order_relaxed);
}

void ForgetDispatchTimeStrikes() {
  Strikes& s = TheStrikes();
  std::lock_guard lock(s.mutex);
  s.dpcs.clear();
  s.watchdog = false;
  s.watchdogWhat.clear();
}

}  // namespace platform::kernel_detail

namespace platform::verifier {

using kernel_detail::ThreadRec;

ScopedPlatformWork::ScopedPlatformWork() {
  ThreadRec* t = kernel_detail::tlCurrent;
  if (!t || !t->IsPlatform() || t->irql < DISPATCH_LEVEL || !kernel_detail::DispatchTimed()) return;
  if (t->platformWorkDepth++ != 0) {
    startedNs_ = -1;  // inside another scope, which counts the time
  } else {
    switchedNs_ = t->switchCpuNs;
    startedNs_ = kernel_detail::ThreadCpuNs();
  }
  thread_ = t;
}

ScopedPlatformWork::~ScopedPlatformWork() {
  if (!thread_) return;
  --thread_->platformWorkDepth;
  if (startedNs_ < 0) return;
  // Turns handed over inside the scope are counted as such already.
  const long long ns = kernel_detail::ThreadCpuNs() - startedNs_ - (thread_->switchCpuNs - switchedNs_);
  thread_->platformCpuNs += std::max(0LL, ns);
}

}  // namespace platform::verifier
