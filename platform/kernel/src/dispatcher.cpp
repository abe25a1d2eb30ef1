// The dispatcher: the clock, the turn-taking of platform threads, dispatcher objects,
// waits and timers (the virtual processors, their DPC queues and the seeded scheduler
// are in processors.cpp).
//
// One lock (the dispatcher lock) guards all of it. Platform threads run one at a time:
// the one holding the turn (`running`) runs until it blocks in a kernel wait (or, with a
// seed, is preempted), then the turn goes to the longest-ready thread that may run (with
// a seed, one drawn among them). When no platform thread is running or ready, a
// virtual clock jumps to the earliest deadline: due timers fire first (by deadline, then
// arming order), and timed waits expire only if that made nothing runnable, so DPCs and
// woken threads of an instant run before the time-outs of the same instant.

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <set>

#include "dispatcher_state.h"
#include "fibers.h"
#include "kernel/ob.h"
#include "kernel/platform_work.h"
#include "memory_faults.h"
#include "paged_arena.h"
#include "lock_order.h"
#include "queued_objects.h"
#include "kernel/clock.h"
#include "kernel/sched.h"
#include "sched.h"

namespace platform::kernel_detail {
namespace {

using verifier::Check;

constexpr Ticks kHorizonSpan = 3600LL * clock::kTicksPerSecond;  // one hour
constexpr ULONG kDefaultResolution = 156'250;  // 15.625 ms
constexpr ULONG kMinimumResolution = 5'000;    // 0.5 ms
constexpr ULONG kTimeIncrement = 156'250;
constexpr long long kDefaultHangLimitNs = 5'000'000'000LL;
constexpr unsigned long long kHangMinimumCalls = 10'000;

}  // namespace

Sched& S() {
  // Never destroyed: threads may still use it while the process exits.
  static Sched* s = [] {
    auto* p = new Sched;
    for (Cpu& c : p->cpus) c.work.Header.Type = EventSynchronizationObject;
    p->dpcIdle.Header.Type = EventNotificationObject;
    p->dpcIdle.Header.SignalState = 1;
    p->horizonSpan = kHorizonSpan;
    return p;
  }();
  return *s;
}

thread_local ThreadRec* tlCurrent = nullptr;

namespace {

// Owns the record of a thread that is not a platform thread created here.
struct ForeignOwner {
  std::unique_ptr<ThreadRec> rec;
  ~ForeignOwner() {
    if (!rec) return;
    Sched& s = S();
    std::lock_guard lock(s.mu);
    std::erase(s.threads, rec.get());
    if (s.running == rec.get()) s.running = nullptr;
    tlCurrent = nullptr;
  }
};
thread_local ForeignOwner tlForeign;

}  // namespace

long long SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Ticks NowOf(Sched& s) {
  if (!s.realTime.load()) return s.now.load();
  return s.now.load() + (SteadyNs() - s.realBaseNs.load()) / 100;
}

namespace {

// ---- satisfying waits --------------------------------------------------------------

bool Available(const ThreadRec* t, const DISPATCHER_HEADER* h) {
  if (h->Type == MutantObject)
    return h->SignalState > 0 || reinterpret_cast<const KMUTEX*>(h)->OwnerThread == t->kthread;
  return h->SignalState > 0;
}

void Acquire(ThreadRec* t, DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case MutantObject: {
      auto* m = reinterpret_cast<KMUTEX*>(h);
      m->OwnerThread = t->kthread;
      --h->SignalState;
      ++t->mutexesOwned;
      break;
    }
    default:
      break;
  }
}

bool TrySatisfy(ThreadRec* t, ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type, NTSTATUS* status) {
  if (count == 0) return false;
  if (type == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      if (Available(t, objects[i])) {
        Acquire(t, objects[i]);
        *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        return true;
      }
    }
    return false;
  }
  for (ULONG i = 0; i < count; ++i)
    if (!Available(t, objects[i])) return false;
  for (ULONG i = 0; i < count; ++i) Acquire(t, objects[i]);
  *status = STATUS_WAIT_0;
  return true;
}

}  // namespace

bool TakesTurns(const Sched& s, const ThreadRec* t) { return t->IsPlatform() && !s.freeRunning; }

unsigned CpuIndex(const Sched& s, const ThreadRec* t) { return t->cpu % s.processors; }

void PickReadyLocked(Sched& s) {
  if (s.ready.empty()) return;
  auto it = s.ready.begin();
  while (it != s.ready.end() && !EligibleLocked(s, *it, nullptr)) ++it;
  if (it == s.ready.end()) {
    it = s.ready.begin();
  } else if (s.options.seed && s.ready.size() > 1) {
    std::vector<std::deque<ThreadRec*>::iterator> eligible;
    for (auto c = it; c != s.ready.end(); ++c)
      if (EligibleLocked(s, *c, nullptr)) eligible.push_back(c);
    it = eligible[DrawLocked(s) % eligible.size()];
  }
  s.running = *it;
  s.ready.erase(it);
  NotifyLocked(s.running);
}

namespace {

void WakeLocked(Sched& s, ThreadRec* t, NTSTATUS status) {
  s.waiters.erase(t->waitSeq);
  t->waiting = false;
  t->idle = false;
  t->waitStatus = status;
  if (TakesTurns(s, t)) {
    if (!s.running)
      s.running = t;
    else
      s.ready.push_back(t);
  }
  NotifyLocked(t);
}

void SatisfyWaitersLocked(Sched& s) {
  for (auto it = s.waiters.begin(); it != s.waiters.end();) {
    ThreadRec* w = it->second;
    ++it;
    NTSTATUS status;
    if (TrySatisfy(w, w->waitCount, w->waitObjects, w->waitType, &status)) WakeLocked(s, w, status);
  }
}

// ---- timers and DPCs ---------------------------------------------------------------

Ticks ResolutionLocked(const Sched& s) {
  if (s.resolutionRequests.empty()) return kDefaultResolution;
  return *std::min_element(s.resolutionRequests.begin(), s.resolutionRequests.end());
}

// The last clock tick at or before `t` (t itself without clock ticks).
Ticks TickAtOrBeforeLocked(const Sched& s, Ticks t) {
  if (!s.timing.clockTicks || t < s.tickBase) return t;
  const Ticks res = ResolutionLocked(s);
  return s.tickBase + (t - s.tickBase) / res * res;
}

// The first clock tick at or after `t`.
Ticks TickAtOrAfterLocked(const Sched& s, Ticks t) {
  if (!s.timing.clockTicks || t <= s.tickBase) return t;
  const Ticks res = ResolutionLocked(s);
  const Ticks k = (t - s.tickBase) / res + ((t - s.tickBase) % res ? 1 : 0);
  if (k > (kNever - s.tickBase) / res) return kNever;
  return s.tickBase + k * res;
}

std::uint64_t DrawTimingLocked(Sched& s) {
  // splitmix64
  std::uint64_t z = (s.timingRng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A DPC's start after its interrupt: 5-60 us mostly, 60-200 us one time in twelve,
// 200 us - 1 ms one time in a hundred.
constexpr Ticks kMaxDpcLatency = 10000;
Ticks DrawDpcLatencyLocked(Sched& s) {
  if (!s.timing.dpcLatency) return 0;
  const std::uint64_t r = DrawTimingLocked(s);
  const unsigned bucket = static_cast<unsigned>(r % 100);
  const std::uint64_t v = r >> 8;
  if (bucket < 91) return static_cast<Ticks>(50 + v % 551);
  if (bucket < 99) return static_cast<Ticks>(600 + v % 1401);
  return static_cast<Ticks>(2000 + v % 8001);
}

// Arms `timer` for its due time `due`: it fires on the first clock tick at or after it
// (never before `now`), its DPC a latency later.
void InsertTimerLocked(Sched& s, KTIMER* timer, Ticks due) {
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  const Ticks tick = TickAtOrAfterLocked(s, std::max(due, NowOf(s)));
  Ticks fireAt = tick;
  if (timer->Dpc && fireAt != kNever) fireAt += DrawDpcLatencyLocked(s);
  timer->Reserved = static_cast<ULONGLONG>(fireAt);
  timer->ArmSequence = ++s.seq;
  timer->Header.Inserted = 1;
  s.timers.insert(TimerKey{fireAt, timer->ArmSequence, timer, tick});
  if (s.realTime.load()) s.serviceCv.notify_all();
}

bool RemoveTimerLocked(Sched& s, KTIMER* timer) {
  if (!timer->Header.Inserted) return false;
  s.timers.erase(TimerKey{static_cast<Ticks>(timer->Reserved), timer->ArmSequence, timer});
  timer->Header.Inserted = 0;
  return true;
}

bool IsTimerType(UCHAR type) { return type == TimerNotificationObject || type == TimerSynchronizationObject; }

// Whether the armed timer of `key` still holds what was armed; otherwise it is reported
// (deferred) and forgotten, and its memory left alone.
bool TimerIntactLocked(const TimerKey& key, const char* api) {
  const QueuedObject* what = FindQueuedLocked(key.timer);
  if (!what) return true;
  KTIMER seen;
  const bool readable = ReadableCopy(&seen, key.timer, sizeof seen);
  if (readable && IsTimerType(seen.Header.Type) && seen.Header.Inserted && seen.ArmSequence == key.seq &&
      seen.Dpc == what->first)
    return true;
  ReportOverwrittenLocked(key.timer, *what, api, readable ? "no longer holds its timer" : "is no longer readable");
  return false;
}

// The resolution changed: armed timers fire on the ticks of the new one.
void RekeyTimersLocked(Sched& s) {
  std::vector<TimerKey> armed(s.timers.begin(), s.timers.end());
  s.timers.clear();
  for (const TimerKey& k : armed) {
    if (!TimerIntactLocked(k, "timer resolution change")) continue;
    k.timer->Header.Inserted = 0;
    InsertTimerLocked(s, k.timer, static_cast<Ticks>(k.timer->DueTime.QuadPart));
  }
}

// Fires every timer due by now; returns whether any fired.
bool FireTimersLocked(Sched& s) {
  bool fired = false;
  const Ticks now = NowOf(s);
  while (!s.timers.empty() && s.timers.begin()->due <= now) {
    TimerKey key = *s.timers.begin();
    s.timers.erase(s.timers.begin());
    if (!TimerIntactLocked(key, "timer expiry")) continue;
    KTIMER* timer = key.timer;
    const QueuedObject* what = FindQueuedLocked(timer);
    const std::source_location site = what ? what->site : std::source_location::current();
    if (timer->Period <= 0) NoteUnqueuedLocked(timer);
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    const auto dueAt = static_cast<Ticks>(timer->DueTime.QuadPart);
    if (timer->Period > 0) {
      // The next period counts from the tick it expired on: its DPC's latency (up to a
      // period itself) shifts no later expiry.
      Ticks next = dueAt + static_cast<Ticks>(timer->Period) * clock::kTicksPerMillisecond;
      if (next <= key.tick) next = key.tick + static_cast<Ticks>(timer->Period) * clock::kTicksPerMillisecond;
      InsertTimerLocked(s, timer, next);
    }
    if (timer->Dpc) {
      ULARGE_INTEGER systemTime;
      systemTime.QuadPart = static_cast<ULONGLONG>(s.systemOrigin.load() + TickAtOrBeforeLocked(s, key.due));
      QueueDpcLocked(s, timer->Dpc, timer->Processor, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.u.LowPart)),
                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.u.HighPart)), site);
    }
    SatisfyWaitersLocked(s);
    fired = true;
  }
  return fired;
}

// A timer whose tick has passed while its DPC's latency has not: it expired on that
// tick (the clock interrupt queued its DPC there), so cancelling or re-arming it now must
// not take the expiry or the DPC back. Fires it now, without re-arming a periodic timer;
// returns whether it did.
bool ExpireIfTickPassedLocked(Sched& s, KTIMER* timer) {
  if (!timer->Header.Inserted) return false;
  auto it = s.timers.find(TimerKey{static_cast<Ticks>(timer->Reserved), timer->ArmSequence, timer});
  if (it == s.timers.end() || it->tick >= it->due || it->tick > NowOf(s)) return false;
  TimerKey key = *it;
  s.timers.erase(it);
  key.due = NowOf(s);
  timer->Reserved = static_cast<ULONGLONG>(key.due);
  timer->Period = 0;
  s.timers.insert(key);
  FireTimersLocked(s);
  return true;
}

void ExpireWaitsLocked(Sched& s) {
  const Ticks now = NowOf(s);
  for (auto it = s.waiters.begin(); it != s.waiters.end();) {
    ThreadRec* w = it->second;
    ++it;
    if (w->deadline <= now) WakeLocked(s, w, STATUS_TIMEOUT);
  }
}

// ---- deadlock detection ------------------------------------------------------------

const char* ThreadName(PKTHREAD t) {
  if (!t) return "nobody";
  auto* rec = static_cast<ThreadRec*>(t->PlatformThread);
  return rec ? rec->name.c_str() : "an ended thread";
}

std::string Describe(const DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
      return Format("%s event %p (%s)", h->Type == EventNotificationObject ? "notification" : "synchronization",
                    static_cast<const void*>(h), h->SignalState ? "signalled" : "not signalled");
    case MutantObject:
      return Format("mutex %p (owned by '%s')", static_cast<const void*>(h),
                    ThreadName(reinterpret_cast<const KMUTEX*>(h)->OwnerThread));
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return Format("timer %p (%s)", static_cast<const void*>(h), h->Inserted ? "armed" : "not armed");
    case ThreadObject:
      return Format("thread '%s'", ThreadName(const_cast<KTHREAD*>(reinterpret_cast<const KTHREAD*>(h))));
    default:
      return Format("object %p of type %u", static_cast<const void*>(h), h->Type);
  }
}

std::string DescribeWaiter(const ThreadRec* w) {
  std::string text = Format("thread '%s' in %s at %s:%u waits for", w->name.c_str(), w->waitApi,
                            w->waitSite.file_name(), static_cast<unsigned>(w->waitSite.line()));
  if (w->waitCount == 0) text += " nothing";
  for (ULONG i = 0; i < w->waitCount; ++i) {
    text += i ? (w->waitType == WaitAll ? " and " : " or ") : " ";
    text += Describe(w->waitObjects[i]);
  }
  if (w->deadline != kNever) text += Format(" until %" PRId64, static_cast<int64_t>(w->deadline));
  return text;
}

// Every platform thread is blocked. When no deadline can ever wake a waiting thread (or
// virtual time ran past its horizon), report it and end one stuck wait.
void DetectDeadlockLocked(Sched& s, bool pastHorizon) {
  // The victim is the registered (test) thread when it is stuck, so the test can fail and
  // tear down; otherwise the most recent stuck wait.
  ThreadRec* victim = nullptr;
  bool fixtureThread = false;
  for (ThreadRec* t : s.threads) fixtureThread |= t->kind == ThreadKind::Registered;
  for (auto& [seq, w] : s.waiters) {
    if (!w->IsPlatform() || w->idle || w->deadline != kNever) continue;
    if (!victim || victim->kind != ThreadKind::Registered) victim = w;
  }
  // Without a registered test thread a foreign thread may still set what they wait for.
  if (!victim || !fixtureThread) return;
  // Past the horizon only a stuck test thread counts: other threads may idle for good
  // while timers keep a long scenario going.
  if (pastHorizon && victim->kind != ThreadKind::Registered) return;
  std::string report = pastHorizon ? "virtual time ran past the deadlock horizon; " : "";
  report += "every platform thread is blocked and nothing scheduled can wake one:";
  for (auto& [seq, w] : s.waiters)
    if (!w->idle) report += "\n  " + DescribeWaiter(w);
  victim->deadlockReport = std::move(report);
  WakeLocked(s, victim, STATUS_POSSIBLE_DEADLOCK);
}

// Whether the registered test thread has been stuck in a wait without time-out for longer
// than the horizon while timers kept virtual time moving.
bool PastHorizonLocked(Sched& s) {
  for (auto& [seq, w] : s.waiters)
    if (w->kind == ThreadKind::Registered && w->deadline == kNever && s.now.load() - w->waitStart > s.horizonSpan)
      return true;
  return false;
}

// The overlap draw (sched::Options::overlapOneIn). A timer's DPC normally starts a latency
// after its tick, and due timers fire before the time-outs of their instant, so a thread
// whose time-out falls on the same tick always runs first, alone. With a seed, when such a
// DPC and a thread's time-out (or a timer a thread waits on) share the instant just
// reached, one draw in `overlapOneIn` starts the DPC at that instant instead: the DPC is
// queued and the thread woken together, the first to run is drawn, and the two interleave
// at every preemption point (processors.cpp) until one blocks or time moves on. That is
// where a completion racing a cancel, or a wake-up racing a wait, shows.
bool OverlapLocked(Sched& s) {
  const Ticks now = NowOf(s);
  if (!s.options.seed || !s.options.overlapOneIn || s.freeRunning || s.overlapDrawnAt == now) return false;
  bool dpc = false, partner = false;
  for (const TimerKey& k : s.timers) {
    if (k.due > now + kMaxDpcLatency) break;  // keyed by due: the tick is at most a latency before it
    if (k.tick != now) continue;
    if (k.timer->Dpc) {
      dpc = true;
    } else if (k.due <= now) {
      partner = true;
    }
  }
  // A wait that began at this instant (a zero delay) yields to everyone else: no partner.
  for (auto& [seq, w] : s.waiters) partner = partner || (w->deadline == now && w->waitStart < now && w->IsPlatform());
  if (!dpc || !partner) return false;
  s.overlapDrawnAt = now;
  if (DrawLocked(s) % s.options.overlapOneIn != 0) return false;
  // The DPCs of this tick fire now, then the time-outs of the instant end.
  std::vector<TimerKey> late;
  for (const TimerKey& k : s.timers)
    if (k.tick == now && k.due > now && k.timer->Dpc) late.push_back(k);
  for (TimerKey k : late) {
    s.timers.erase(k);
    k.due = now;
    k.timer->Reserved = static_cast<ULONGLONG>(now);
    s.timers.insert(k);
  }
  FireTimersLocked(s);
  ExpireWaitsLocked(s);
  ++s.overlapsDrawn;
  s.overlapAt = now;
  s.overlapSwitchesLeft = sched::kOverlapSwitches;
  LogLocked(s, "overlap: a DPC starts with the threads of its tick");
  if (s.running) {
    s.ready.push_front(s.running);
    s.running = nullptr;
  }
  PickReadyLocked(s);
  return true;
}

// No platform thread can run: jump to the earliest deadline and fire what is due.
void AdvanceLocked(Sched& s) {
  if (s.realTime.load()) return;
  while (!s.running && s.ready.empty()) {
    Ticks next = kNever;
    bool observed = false;  // does firing anything matter to someone?
    if (!s.timers.empty()) next = s.timers.begin()->due;
    for (const TimerKey& k : s.timers) {
      // From the registry: the timer's memory may no longer hold it.
      const QueuedObject* what = FindQueuedLocked(k.timer);
      if (!what || what->first) {
        observed = true;
        break;
      }
    }
    for (auto& [seq, w] : s.waiters) {
      next = std::min(next, w->deadline);
      if (w->deadline != kNever) observed = true;
      for (ULONG i = 0; i < w->waitCount && !observed; ++i) {
        UCHAR type = w->waitObjects[i]->Type;
        observed = type == TimerNotificationObject || type == TimerSynchronizationObject;
      }
    }
    if (next == kNever || !observed) {
      DetectDeadlockLocked(s, false);
      return;
    }
    if (next > s.now.load()) s.now.store(next);
    if (PastHorizonLocked(s)) {
      DetectDeadlockLocked(s, true);
      if (s.running || !s.ready.empty()) return;
    }
    if (OverlapLocked(s)) return;
    if (FireTimersLocked(s)) continue;
    ExpireWaitsLocked(s);
  }
}

// The turn is free: give it to the longest-ready thread that may run (with a seed: any
// of them, drawn from the generator), or let time advance.
void DispatchLocked(Sched& s) {
  if (s.running || s.freeRunning) return;
  if (!s.ready.empty()) {
    PickReadyLocked(s);
    return;
  }
  AdvanceLocked(s);
}

// Real-time mode: fires timers and ends timed waits as the monotonic clock passes them.
void ServiceLoop() {
  Sched& s = S();
  std::unique_lock lock(s.mu);
  for (;;) {
    if (!s.realTime.load()) {
      s.serviceCv.wait(lock);
      continue;
    }
    FireTimersLocked(s);
    ExpireWaitsLocked(s);
    Ticks next = kNever;
    if (!s.timers.empty()) next = s.timers.begin()->due;
    for (auto& [seq, w] : s.waiters) next = std::min(next, w->deadline);
    if (next == kNever) {
      s.serviceCv.wait(lock);
    } else {
      Ticks delta = next - NowOf(s);
      if (delta > 0) s.serviceCv.wait_for(lock, std::chrono::nanoseconds(delta * 100));
    }
  }
}

// Watches the context holding the turn: one that keeps calling the kernel without ever
// waiting, while the clock stands still, for longer than the hang limit (wall time) is
// polling without end; it is reported once, with its last call site.
void WatchdogLoop() {
  Sched& s = S();
  ThreadRec* watched = nullptr;
  unsigned long long calls = 0, waits = 0;
  Ticks now = 0;
  long long since = SteadyNs();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string report;
    {
      std::lock_guard lock(s.mu);
      ThreadRec* r = s.running;
      if (!r || s.realTime.load() || s.freeRunning || s.hangLimitNs <= 0) {
        watched = nullptr;
        continue;
      }
      const unsigned long long c = r->calls.load(std::memory_order_relaxed);
      const unsigned long long w = r->waits.load(std::memory_order_relaxed);
      if (r != watched || w != waits || s.now.load() != now) {
        r->hangReported = false;  // it waited (or another context runs): a new poll counts afresh
        watched = r;
        calls = c;
        waits = w;
        now = s.now.load();
        since = SteadyNs();
        continue;
      }
      const long long elapsed = SteadyNs() - since;
      if (elapsed < s.hangLimitNs || c - calls < kHangMinimumCalls || r->hangReported) continue;
      r->hangReported = true;
      const char* api = r->lastApi.load(std::memory_order_relaxed);
      const char* file = r->lastFile.load(std::memory_order_relaxed);
      report = Format("'%s' made %llu kernel calls in %.1f s without a wait while the clock stood at %" PRId64
                      "; last noted call: %s at %s:%u",
                      r->name.c_str(), c - calls, static_cast<double>(elapsed) / 1e9, static_cast<int64_t>(now),
                      api ? api : "(none noted)", file ? file : "?", r->lastLine.load(std::memory_order_relaxed));
    }
    Report(Check::Hang, "watchdog", std::move(report), std::source_location::current());
  }
}

}  // namespace

void NoteCall(const char* api, const std::source_location& caller) {
  ThreadRec* t = tlCurrent;
  if (!t) return;
  t->calls.store(t->calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  t->lastApi.store(api, std::memory_order_relaxed);
  t->lastFile.store(caller.file_name(), std::memory_order_relaxed);
  t->lastLine.store(static_cast<unsigned>(caller.line()), std::memory_order_relaxed);
}

void EnsureWatchdogLocked(Sched& s) {
  if (s.watchdogStarted) return;
  s.watchdogStarted = true;
  std::thread(WatchdogLoop).detach();
}

void EnsureServiceLocked(Sched& s) {
  if (s.serviceStarted) return;
  s.serviceStarted = true;
  std::thread(ServiceLoop).detach();
}

// ---- internal interface ------------------------------------------------------------

void InitThreadObject(KTHREAD* t) {
  t->Header.Type = ThreadObject;
  t->Header.SignalState = 0;
  InitializeListHead(&t->Header.WaitListHead);
  t->Priority = 8;
  static std::atomic<ULONG_PTR> nextId{0x100};
  t->UniqueThread = nextId.fetch_add(4);
}

std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::mutex& DispatcherLock() { return S().mu; }

ThreadRec* Current() {
  if (tlCurrent) {
    // One writer: a plain increment, published relaxed for the watchdog.
    tlCurrent->calls.store(tlCurrent->calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return tlCurrent;
  }
  Sched& s = S();
  auto rec = std::make_unique<ThreadRec>();
  rec->name = Format("foreign thread %zu", std::hash<std::thread::id>{}(std::this_thread::get_id()) % 100000);
  rec->ownObject = std::make_unique<KTHREAD>();
  InitThreadObject(rec->ownObject.get());
  rec->kthread = rec->ownObject.get();
  rec->kthread->PlatformThread = rec.get();
  tlCurrent = rec.get();
  {
    std::lock_guard lock(s.mu);
    s.threads.push_back(rec.get());
  }
  tlForeign.rec = std::move(rec);
  return tlCurrent;
}

Ticks Now() { return NowOf(S()); }

Ticks TimeoutOnTick(Ticks deadline) {
  if (deadline == kNever || Current()->exactWaits) return deadline;
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return TickAtOrAfterLocked(s, deadline);
}

Ticks DeadlineOf(LONGLONG dueTime) {
  Sched& s = S();
  const Ticks now = NowOf(s);
  if (dueTime < 0) {
    if (dueTime == INT64_MIN || -dueTime > kNever - now) return kNever;
    return now - dueTime;
  }
  return dueTime - s.systemOrigin.load();
}

void SetEventLocked(KEVENT* event) {
  event->Header.SignalState = 1;
  SatisfyWaitersLocked(S());
}

void ClearEventLocked(KEVENT* event) { event->Header.SignalState = 0; }

NTSTATUS Wait(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type, Ticks deadline, bool alwaysBlock,
              bool idle, const char* api, const std::source_location& caller) {
  Sched& s = S();
  ThreadRec* t = Current();
  NoteCall(api, caller);
  std::unique_lock lock(s.mu);
  NTSTATUS status;
  if (TrySatisfy(t, count, objects, type, &status)) return status;
  if (!alwaysBlock && deadline <= NowOf(s)) return STATUS_TIMEOUT;
  t->waits.store(t->waits.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);

  t->waiting = true;
  t->idle = idle;
  t->waitCount = count;
  std::copy(objects, objects + count, t->waitObjects);
  t->waitType = type;
  t->deadline = deadline;
  t->waitSeq = ++s.seq;
  t->waitStart = NowOf(s);
  t->waitApi = api;
  t->waitSite = caller;
  s.waiters[t->waitSeq] = t;
  if (s.realTime.load() && deadline != kNever) s.serviceCv.notify_all();

  if (TakesTurns(s, t) && s.running == t) {
    s.running = nullptr;
    DispatchLocked(s);
  } else if (!s.running && s.ready.empty()) {
    AdvanceLocked(s);
  }
  BlockLocked(s, t, lock, [&] { return !t->waiting && (!TakesTurns(s, t) || s.running == t); });
  FollowIrql(t);
  std::string report = std::move(t->deadlockReport);
  t->deadlockReport.clear();
  status = t->waitStatus;
  lock.unlock();
  ReportDeferred();
  if (!report.empty()) Report(Check::Deadlock, api, std::move(report), caller);
  return status;
}

namespace {

// The end of a platform thread's body: what it leaves on its stack and holds is reported,
// its object signalled and its waiters woken; with `handOn`, the turn goes on and the
// record is deleted. Takes and leaves the lock held.
void EndThreadLocked(Sched& s, ThreadRec* rec, std::unique_lock<std::mutex>& lock, bool handOn) {
  if (!handOn) {
    rec->kthread->Header.SignalState = 1;
    rec->kthread->PlatformThread = nullptr;
    SatisfyWaitersLocked(s);
    return;
  }
  (void)lock;
  std::erase(s.threads, rec);
  if (s.running == rec) {
    s.running = nullptr;
    DispatchLocked(s);
  }
  tlCurrent = nullptr;
  delete rec;
}

// What the thread leaves behind: objects still queued or awaited on its stack (reported
// and forgotten), and locks or a raised IRQL it still holds.
void CheckThreadExit(ThreadRec* rec, void* stack, size_t stackBytes) {
  if (stack)
    CheckFreedMemory(stack, stackBytes, "thread exit", std::source_location::current(),
                     Format("stack of ended thread '%s'", rec->name.c_str()), true);
  if (rec->irql != PASSIVE_LEVEL || !rec->spinLocks.empty() || rec->mutexesOwned > 0) {
    Report(Check::LockHeldAtExit, "thread exit",
           Format("thread '%s' ended at IRQL %u holding %zu spin lock(s) and %d mutex acquisition(s)",
                  rec->name.c_str(), rec->irql, rec->spinLocks.size(), static_cast<int>(rec->mutexesOwned)),
           std::source_location::current());
  }
}

}  // namespace

ContextHandle StartThreadLocked(std::string name, ThreadKind kind, PKTHREAD object, std::function<void()> body,
                                std::function<void()> afterExit, int cpu) {
  // Starting an OS thread (a DPC routine may queue the first work item) is not the caller's time.
  verifier::ScopedPlatformWork start;
  Sched& s = S();
  auto* rec = new ThreadRec;
  rec->name = std::move(name);
  rec->kind = kind;
  rec->cpu = cpu >= 0 ? static_cast<unsigned>(cpu) : s.nextCpu++ % s.processors;
  if (!object) {
    rec->ownObject = std::make_unique<KTHREAD>();
    InitThreadObject(rec->ownObject.get());
    object = rec->ownObject.get();
  }
  rec->kthread = object;
  object->PlatformThread = rec;
  s.threads.push_back(rec);
  // The new thread is ready at once, so the clock cannot move before it first runs.
  if (s.freeRunning) {
  } else if (!s.running) {
    s.running = rec;
  } else {
    s.ready.push_back(rec);
  }
  if constexpr (kFibers) {
    // First entered when given the turn. The thread object is signalled and `afterExit`
    // run while the fiber still holds the turn: once it hands the turn on, the carrier
    // belongs to the next context.
    StartFiberLocked(rec, [rec, body = std::move(body), afterExit = std::move(afterExit)](
                              std::unique_lock<std::mutex>& lock) {
      Sched& sc = S();
      FollowIrql(rec);
      lock.unlock();
      body();
      void* stack = nullptr;
      size_t stackBytes = 0;
      FiberStack(rec, &stack, &stackBytes);
      CheckThreadExit(rec, stack, stackBytes);
      lock.lock();
      EndThreadLocked(sc, rec, lock, false);
      lock.unlock();
      tlCurrent = rec;
      if (afterExit) afterExit();
      lock.lock();
      EndThreadLocked(sc, rec, lock, true);
    });
    return ContextHandle::Fiber();
  }
  return ContextHandle(std::thread([rec, body = std::move(body), afterExit = std::move(afterExit)] {
    tlCurrent = rec;
    Sched& sc = S();
    {
      std::unique_lock lock(sc.mu);
      BlockLocked(sc, rec, lock, [&] { return sc.running == rec || !TakesTurns(sc, rec); });
      FollowIrql(rec);
    }
    body();
    // The thread's stack goes away with it: timers, DPCs and work items still queued in
    // it, and objects others wait on there, are reported (and forgotten) now.
    void* stack = nullptr;
    size_t stackBytes = 0;
    if (pthread_attr_t attr; pthread_getattr_np(pthread_self(), &attr) == 0) {
      if (pthread_attr_getstack(&attr, &stack, &stackBytes) != 0) stack = nullptr;
      pthread_attr_destroy(&attr);
    }
    CheckThreadExit(rec, stack, stackBytes);
    {
      std::unique_lock lock(sc.mu);
      EndThreadLocked(sc, rec, lock, false);
      EndThreadLocked(sc, rec, lock, true);
    }
    if (afterExit) afterExit();
  }));
}

void CheckFreedMemory(const void* block, SIZE_T bytes, const char* api, const std::source_location& caller,
                      const std::string& region, bool gone) {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  auto inside = [&](const void* p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= begin && a - begin < bytes;
  };
  std::vector<std::string> found;
  std::vector<void*> devices;  // of work items taken off their queues
  ThreadRec* self = Current();
  {
    Sched& s = S();
    std::lock_guard lock(s.mu);
    for (auto it = s.timers.begin(); it != s.timers.end();) {
      if (inside(it->timer)) {
        const QueuedObject* what = FindQueuedLocked(it->timer);
        found.push_back(Format("timer %p is still armed", static_cast<void*>(it->timer)) +
                        (what ? " (armed at " + SiteText(what->site) + ")" : std::string()));
        NoteUnqueuedLocked(it->timer);
        if (!gone) it->timer->Header.Inserted = 0;
        it = s.timers.erase(it);
      } else {
        ++it;
      }
    }
    for (unsigned n = 0; n < sched::kMaxProcessors; ++n) {
      Cpu& c = s.cpus[n];
      std::vector<KDPC*> queued;
      for (KDPC* d : c.dpcs)
        if (inside(d)) queued.push_back(d);
      for (KDPC* d : queued) {
        const QueuedObject* what = FindQueuedLocked(d);
        found.push_back(Format("DPC %p is still queued on processor %u", static_cast<void*>(d), n) +
                        (what ? " (queued at " + SiteText(what->site) + ")" : std::string()));
        if (gone) {
          NoteUnqueuedLocked(d);
          std::erase(c.dpcs, d);
          if (--s.dpcsInFlight == 0) SetEventLocked(&s.dpcIdle);
        } else {
          UnqueueDpcLocked(s, d);
        }
      }
      // A DPC may free its own context; anyone else freeing what a running DPC uses
      // pulls it from under the DPC (a timer cancelled without flushing its DPC).
      if (c.runner && c.runner != self && (inside(c.runningDpc) || inside(c.runningContext)))
        found.push_back(Format("DPC %p (context %p) is running on processor %u", static_cast<void*>(c.runningDpc),
                               c.runningContext, n));
    }
    for (auto& [seq, w] : s.waiters)
      for (ULONG i = 0; i < w->waitCount; ++i)
        if (inside(w->waitObjects[i]))
          found.push_back(Format("thread '%s' waits on %s", w->name.c_str(), Describe(w->waitObjects[i]).c_str()));
    for (const auto& [object, what] : QueuedWithinLocked(block, bytes)) {
      if (what.kind != QueuedKind::WorkItem) continue;
      found.push_back(Format("work item %p is still queued (queued at %s)", object, SiteText(what.site).c_str()));
      devices.push_back(UnlinkWorkItemLocked(object));
    }
  }
  for (void* device : devices)
    if (device) ObDereferenceObject(device);
  for (std::string& what : found)
    Report(Check::ObjectFreedInUse, api, (region.empty() ? Format("block %p", block) : region) + ": " + what, caller);
}

void RegisterBacklogProbe(std::function<std::vector<std::string>()> probe, std::function<void()> drop) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  s.backlogs.push_back(Backlog{std::move(probe), std::move(drop)});
}

}  // namespace platform::kernel_detail

// ======================================================================================
// Kernel services

using namespace platform::kernel_detail;
using platform::verifier::Check;

namespace {

bool IsDispatcherType(UCHAR type) {
  switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return true;
    default:
      return false;
  }
}

// The verifier checks of a wait that may block.
void CheckBlockingWait(ThreadRec* t, bool mutex, const char* api, const std::source_location& caller) {
  if (!t->spinLocks.empty()) {
    Report(Check::SpinLockHeldAcrossWait, api,
           Format("waits while holding spin lock %p (IRQL %u)", static_cast<void*>(t->spinLocks.back()), t->irql),
           caller);
  } else if (t->irql > APC_LEVEL) {
    Report(mutex ? Check::MutexAcquireAboveApc : Check::BlockingWaitAboveApc, api,
           Format("%s at IRQL %u", mutex ? "acquires a mutex" : "blocks", t->irql), caller);
  }
}

NTSTATUS WaitForObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const char* api,
                        const std::source_location& caller) {
  DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
  bool mutex = false;
  for (ULONG i = 0; i < count; ++i) {
    auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
    if (!h || !IsDispatcherType(h->Type)) {
      Report(Check::InvalidArgument, api, Format("object %lu (%p) is not a dispatcher object",
                                                 static_cast<unsigned long>(i), objects[i]), caller);
      return STATUS_INVALID_PARAMETER;
    }
    mutex |= h->Type == MutantObject;
    headers[i] = h;
  }
  ThreadRec* t = Current();
  const bool poll = timeout && timeout->QuadPart == 0;
  if (!poll) CheckBlockingWait(t, mutex, api, caller);
  // A single mutex taken is a lock acquisition for the lock-order graph.
  const bool takesMutex = mutex && count == 1;
  if (takesMutex) lock_order::Acquiring(t, headers[0], "mutex", caller);
  Ticks deadline = kNever;
  if (timeout) deadline = poll ? Now() : TimeoutOnTick(DeadlineOf(timeout->QuadPart));
  const NTSTATUS status = Wait(count, headers, type, deadline, false, false, api, caller);
  if (takesMutex && status == STATUS_SUCCESS) lock_order::Acquired(t, headers[0], "mutex", caller);
  // A wait satisfied at once is a preemption point as well (mutex acquisition among them).
  platform::sched::Point("wait satisfied");
  return status;
}

}  // namespace

// ---- events ------------------------------------------------------------------------

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  *event = KEVENT{};
  event->Header.Type = type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN, const std::source_location& caller) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Report(Check::IrqlMisuse, "KeSetEvent", Format("called at IRQL %u", KeGetCurrentIrql()), caller);
  LONG previous;
  {
    std::lock_guard lock(DispatcherLock());
    previous = event->Header.SignalState;
    SetEventLocked(event);
  }
  platform::sched::Point("KeSetEvent");
  return previous;
}

LONG KeResetEvent(PRKEVENT event) {
  platform::sched::Point("KeResetEvent");
  LONG previous;
  {
    std::lock_guard lock(DispatcherLock());
    previous = event->Header.SignalState;
    event->Header.SignalState = 0;
  }
  platform::sched::Point("KeResetEvent");
  return previous;
}

void KeClearEvent(PRKEVENT event) {
  // Before the clear too: a wake-up set between a driver's check and its clear is lost.
  platform::sched::Point("KeClearEvent");
  {
    std::lock_guard lock(DispatcherLock());
    event->Header.SignalState = 0;
  }
  platform::sched::Point("KeClearEvent");
}

LONG KeReadStateEvent(PRKEVENT event, const std::source_location& caller) {
  NoteCall("KeReadStateEvent", caller);
  std::lock_guard lock(DispatcherLock());
  return event->Header.SignalState;
}

// ---- mutexes -----------------------------------------------------------------------

void KeInitializeMutex(PRKMUTEX mutex, ULONG) {
  *mutex = KMUTEX{};
  mutex->Header.Type = MutantObject;
  mutex->Header.SignalState = 1;
  InitializeListHead(&mutex->Header.WaitListHead);
  lock_order::Forget(mutex);
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN, const std::source_location& caller) {
  ThreadRec* t = Current();
  LONG previous;
  PKTHREAD owner;
  bool released = false;
  {
    std::lock_guard lock(DispatcherLock());
    previous = mutex->Header.SignalState;
    owner = mutex->OwnerThread;
    if (previous <= 0 && owner == t->kthread) {
      ++mutex->Header.SignalState;
      --t->mutexesOwned;
      if (mutex->Header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        SatisfyWaitersLocked(S());
      }
      released = true;
    }
  }
  if (released) {
    lock_order::Released(t, mutex);
    platform::sched::Point("KeReleaseMutex");
    return previous;
  }
  Report(Check::MutexNotOwned, "KeReleaseMutex",
         Format("thread '%s' releases mutex %p %s", t->name.c_str(), static_cast<void*>(mutex),
                previous > 0 ? "that nobody owns" : Format("owned by '%s'", ThreadName(owner)).c_str()),
         caller);
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
  std::lock_guard lock(DispatcherLock());
  return mutex->Header.SignalState;
}

// ---- timers ------------------------------------------------------------------------

void KeInitializeTimer(PKTIMER timer, const std::source_location& caller) {
  KeInitializeTimerEx(timer, NotificationTimer, caller);
}

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type, const std::source_location& caller) {
  // Found by address among the armed timers: the memory may hold anything before.
  std::string armedAt;
  {
    Sched& s = S();
    std::lock_guard lock(s.mu);
    for (auto it = s.timers.begin(); it != s.timers.end(); ++it) {
      if (it->timer != timer) continue;
      s.timers.erase(it);
      const QueuedObject* what = FindQueuedLocked(timer);
      armedAt = what ? SiteText(what->site) : "an unknown site";
      NoteUnqueuedLocked(timer);
      break;
    }
  }
  if (!armedAt.empty())
    Report(Check::ObjectFreedInUse, "KeInitializeTimerEx",
           Format("timer %p initialised again while it is armed (armed at %s)", static_cast<void*>(timer),
                  armedAt.c_str()),
           caller);
  *timer = KTIMER{};
  timer->Header.Type = type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
  InitializeListHead(&timer->Header.WaitListHead);
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, const std::source_location& caller) {
  return KeSetTimerEx(timer, dueTime, 0, dpc, caller);
}

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc,
                     const std::source_location& caller) {
  if (period < 0) {
    Report(Check::InvalidArgument, "KeSetTimerEx", Format("negative period %d", static_cast<int>(period)), caller);
    period = 0;
  }
  if (timer->Header.Type != TimerNotificationObject && timer->Header.Type != TimerSynchronizationObject) {
    Report(Check::InvalidArgument, "KeSetTimerEx", "the timer was not initialised", caller);
    return FALSE;
  }
  Sched& s = S();
  ThreadRec* t = Current();
  Ticks due = DeadlineOf(dueTime.QuadPart);
  std::lock_guard lock(s.mu);
  const bool periodic = timer->Period > 0;
  bool wasArmed = ExpireIfTickPassedLocked(s, timer) ? periodic : RemoveTimerLocked(s, timer);
  timer->Header.SignalState = 0;
  timer->Period = period;
  timer->Dpc = dpc;
  timer->Processor = CpuIndex(s, t);
  InsertTimerLocked(s, timer, std::max(due, NowOf(s)));
  NoteQueuedLocked(timer, QueuedObject{QueuedKind::Timer, caller, dpc, nullptr, nullptr});
  // A foreign thread arming a timer while no platform thread runs must not wait forever.
  if (!s.running && s.ready.empty()) AdvanceLocked(s);
  return wasArmed ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  // Expired on its tick: a periodic timer is still armed for its next period.
  const bool periodic = timer->Period > 0;
  if (ExpireIfTickPassedLocked(s, timer)) return periodic ? TRUE : FALSE;
  if (!RemoveTimerLocked(s, timer)) return FALSE;
  NoteUnqueuedLocked(timer);
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer, const std::source_location& caller) {
  NoteCall("KeReadStateTimer", caller);
  std::lock_guard lock(DispatcherLock());
  return timer->Header.SignalState ? TRUE : FALSE;
}

// ---- waits -------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout,
                               const std::source_location& caller) {
  return WaitForObjects(1, &object, WaitAny, timeout, "KeWaitForSingleObject", caller);
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON, KPROCESSOR_MODE,
                                  BOOLEAN, PLARGE_INTEGER timeout, PKWAIT_BLOCK waitBlockArray,
                                  const std::source_location& caller) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !objects || (count > THREAD_WAIT_OBJECTS && !waitBlockArray) ||
      (waitType != WaitAll && waitType != WaitAny)) {
    Report(Check::InvalidArgument, "KeWaitForMultipleObjects",
           Format("%lu objects, wait blocks %p", static_cast<unsigned long>(count), static_cast<void*>(waitBlockArray)),
           caller);
    return STATUS_INVALID_PARAMETER;
  }
  return WaitForObjects(count, objects, waitType, timeout, "KeWaitForMultipleObjects", caller);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval,
                                const std::source_location& caller) {
  if (!interval) {
    Report(Check::InvalidArgument, "KeDelayExecutionThread", "no interval", caller);
    return STATUS_INVALID_PARAMETER;
  }
  ThreadRec* t = Current();
  CheckBlockingWait(t, false, "KeDelayExecutionThread", caller);
  // A relative delay always blocks, so a zero delay lets every other platform thread run
  // first; an absolute time already passed returns at once.
  const bool relative = interval->QuadPart <= 0;
  const Ticks deadline = interval->QuadPart == 0 ? Now() : TimeoutOnTick(DeadlineOf(interval->QuadPart));
  Wait(0, nullptr, WaitAny, deadline, relative, false, "KeDelayExecutionThread", caller);
  return STATUS_SUCCESS;
}

// ---- threads -----------------------------------------------------------------------

PKTHREAD KeGetCurrentThread() { return Current()->kthread; }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
  if (!thread || priority < LOW_PRIORITY || priority > HIGH_PRIORITY) {
    Report(Check::InvalidArgument, "KeSetPriorityThread",
           Format("thread %p, priority %d", static_cast<void*>(thread), static_cast<int>(priority)),
           std::source_location::current());
    return thread ? __atomic_load_n(&thread->Priority, __ATOMIC_SEQ_CST) : 0;
  }
  return __atomic_exchange_n(&thread->Priority, priority, __ATOMIC_SEQ_CST);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread) { return __atomic_load_n(&thread->Priority, __ATOMIC_SEQ_CST); }

// ---- time --------------------------------------------------------------------------

namespace {

Ticks TickTime() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return TickAtOrBeforeLocked(s, NowOf(s));
}

}  // namespace

void KeQuerySystemTime(PLARGE_INTEGER currentTime, const std::source_location& caller) {
  NoteCall("KeQuerySystemTime", caller);
  currentTime->QuadPart = S().systemOrigin.load() + TickTime();
}

ULONGLONG KeQueryInterruptTime(const std::source_location& caller) {
  NoteCall("KeQueryInterruptTime", caller);
  return static_cast<ULONGLONG>(TickTime());
}

void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime, const std::source_location& caller) {
  NoteCall("KeQuerySystemTimePrecise", caller);
  currentTime->QuadPart = S().systemOrigin.load() + Now();
}

ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG qpcTimeStamp, const std::source_location& caller) {
  NoteCall("KeQueryInterruptTimePrecise", caller);
  const Ticks now = Now();
  if (qpcTimeStamp)
    *qpcTimeStamp = static_cast<ULONGLONG>(static_cast<__int128>(now) * S().perfFrequency.load() /
                                           platform::clock::kTicksPerSecond);
  return static_cast<ULONGLONG>(now);
}

void KeQueryTickCount(PLARGE_INTEGER tickCount, const std::source_location& caller) {
  NoteCall("KeQueryTickCount", caller);
  tickCount->QuadPart = TickTime() / kTimeIncrement;
}

ULONG KeQueryTimeIncrement() { return kTimeIncrement; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency, const std::source_location& caller) {
  NoteCall("KeQueryPerformanceCounter", caller);
  const LONGLONG frequency = S().perfFrequency.load();
  if (performanceFrequency) performanceFrequency->QuadPart = frequency;
  LARGE_INTEGER counter;
  counter.QuadPart = static_cast<LONGLONG>(static_cast<__int128>(Now()) * frequency / platform::clock::kTicksPerSecond);
  return counter;
}

ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  s.resolutionCalls.push_back({desiredTime, setResolution != FALSE});
  const Ticks before = ResolutionLocked(s);
  const Ticks lastTick = TickAtOrBeforeLocked(s, NowOf(s));
  if (setResolution)
    s.resolutionRequests.push_back(std::clamp(desiredTime, kMinimumResolution, kDefaultResolution));
  else if (!s.resolutionRequests.empty())
    s.resolutionRequests.pop_back();
  if (ResolutionLocked(s) != before) {
    s.tickBase = lastTick;
    RekeyTimersLocked(s);
  }
  return static_cast<ULONG>(ResolutionLocked(s));
}

// ======================================================================================
// Clock control

namespace platform::clock {

void SetMode(Mode mode) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  const bool real = mode == Mode::RealTime;
  if (real == s.realTime.load()) return;
  if (real) {
    s.realBaseNs.store(SteadyNs());
    s.realTime.store(true);
    EnsureServiceLocked(s);
  } else {
    s.now.store(NowOf(s));
    s.realTime.store(false);
    if (!s.running && s.ready.empty()) AdvanceLocked(s);
  }
  s.serviceCv.notify_all();
}

Mode GetMode() { return S().realTime.load() ? Mode::RealTime : Mode::Virtual; }

LONGLONG Now() { return kernel_detail::Now(); }

void SetSystemTimeOrigin(LONGLONG systemTimeAtZero) { S().systemOrigin.store(systemTimeAtZero); }

LONGLONG ToSystemTime(LONGLONG interruptTime) { return S().systemOrigin.load() + interruptTime; }

void SetPerformanceFrequency(LONGLONG hertz) {
  if (hertz <= 0) {
    Report(Check::InvalidArgument, "SetPerformanceFrequency", Format("%lld Hz", static_cast<long long>(hertz)),
           std::source_location::current());
    return;
  }
  S().perfFrequency.store(hertz);
}

void SetHangLimit(double seconds) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  s.hangLimitNs = seconds > 0 ? static_cast<long long>(seconds * 1e9) : 0;
}

void SetDeadlockHorizon(LONGLONG span) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  s.horizonSpan = span > 0 ? span : kHorizonSpan;
}

ULONG TimerResolution() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return static_cast<ULONG>(ResolutionLocked(s));
}

ScopedExactWaits::ScopedExactWaits() { ++kernel_detail::Current()->exactWaits; }
ScopedExactWaits::~ScopedExactWaits() { --kernel_detail::Current()->exactWaits; }

void SetTiming(const Timing& timing) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  s.tickBase = TickAtOrBeforeLocked(s, NowOf(s));
  s.timing = timing;
  s.timing.completionBatchFrames = std::max(timing.completionBatchFrames, 1u);
  RekeyTimersLocked(s);
}

Timing CurrentTiming() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return s.timing;
}

LONGLONG DrawDpcLatency() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return DrawDpcLatencyLocked(s);
}

// Mostly every frame; one interrupt in eight covers two to the limit.
unsigned DrawCompletionBatch() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  const unsigned limit = s.timing.completionBatchFrames;
  if (limit <= 1) return 1;
  const std::uint64_t r = DrawTimingLocked(s);
  if (r % 8) return 1;
  return 2 + static_cast<unsigned>((r >> 8) % (limit - 1));
}

std::vector<TimerResolutionCall> TimerResolutionCalls() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return s.resolutionCalls;
}

namespace {

// What is still scheduled or alive; with `drop`, forgets it as well.
std::vector<std::string> Leftovers(Sched& s, bool drop) {
  std::vector<std::string> found;
  std::vector<Backlog> backlogs;
  {
    std::lock_guard lock(s.mu);
    // Named with the site that armed or queued them; their memory is written (to forget
    // them) only while it still holds them.
    for (const TimerKey& k : s.timers) {
      const QueuedObject* what = FindQueuedLocked(k.timer);
      found.push_back(Format("timer %p still armed (due at %" PRId64 ")", static_cast<void*>(k.timer),
                             static_cast<int64_t>(k.due)) +
                      (what ? ", armed at " + SiteText(what->site) : std::string()));
      KTIMER seen;
      if (drop && ReadableCopy(&seen, k.timer, sizeof seen) && seen.ArmSequence == k.seq) k.timer->Header.Inserted = 0;
    }
    for (unsigned n = 0; n < sched::kMaxProcessors; ++n) {
      for (KDPC* d : s.cpus[n].dpcs) {
        const QueuedObject* what = FindQueuedLocked(d);
        found.push_back(Format("DPC %p still queued on processor %u", static_cast<void*>(d), n) +
                        (what ? ", queued at " + SiteText(what->site) : std::string()));
        KDPC seen;
        if (drop && ReadableCopy(&seen, d, sizeof seen) && seen.DpcData == &s.cpus[n]) d->DpcData = nullptr;
      }
    }
    for (ThreadRec* t : s.threads)
      if (t->kind == ThreadKind::System)
        found.push_back(Format("system thread '%s' still alive%s", t->name.c_str(),
                               t->waiting ? (" (" + DescribeWaiter(t) + ")").c_str() : ""));
    if (drop) {
      ForgetAllQueuedLocked(QueuedKind::Timer);
      ForgetAllQueuedLocked(QueuedKind::Dpc);
      s.timers.clear();
      s.dpcsInFlight = 0;
      for (Cpu& c : s.cpus) {
        c.dpcs.clear();
        if (c.runner) ++s.dpcsInFlight;
      }
      if (s.dpcsInFlight == 0) SetEventLocked(&s.dpcIdle);
    }
    backlogs = s.backlogs;
  }
  for (Backlog& b : backlogs) {
    for (std::string& item : b.probe()) found.push_back(std::move(item));
    if (drop) b.drop();
  }
  return found;
}

void ReportLeftovers(const std::vector<std::string>& found, const char* api, const std::source_location& caller) {
  for (const std::string& item : found) Report(Check::LeakAtTeardown, api, item, caller);
}

}  // namespace

}  // namespace platform::clock

namespace platform::kernel_detail {

namespace {
// System threads kept until they have ended, to be joined.
struct KeptThreads {
  std::mutex mu;
  std::vector<std::pair<ContextHandle, std::shared_ptr<std::atomic<bool>>>> threads;
};
KeptThreads& Kept() {
  static auto* kept = new KeptThreads;
  return *kept;
}
}  // namespace

void KeepThread(ContextHandle thread, std::shared_ptr<std::atomic<bool>> ended) {
  std::lock_guard lock(Kept().mu);
  Kept().threads.emplace_back(std::move(thread), std::move(ended));
}

void JoinEndedThreads() {
  std::vector<ContextHandle> ended;
  {
    std::lock_guard lock(Kept().mu);
    auto& threads = Kept().threads;
    for (auto it = threads.begin(); it != threads.end();) {
      if (it->second->load()) {
        ended.push_back(std::move(it->first));
        it = threads.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (ContextHandle& t : ended) t.join();  // only the OS thread's own exit is left
}

}  // namespace platform::kernel_detail

namespace platform::clock {

void Reset(const std::source_location& caller) {
  JoinEndedThreads();
  paged::Open();
  Sched& s = S();
  ReportLeftovers(Leftovers(s, true), "platform::clock::Reset", caller);
  std::lock_guard lock(s.mu);
  if (s.freeRunning) {
    s.now.store(0);
    s.realBaseNs.store(SteadyNs());
  } else {
    s.realTime.store(false);
    s.now.store(0);
  }
  RestartLocked(s);
  s.horizonSpan = kHorizonSpan;
  s.hangLimitNs = kDefaultHangLimitNs;
  s.perfFrequency.store(10'000'000);
  s.systemOrigin.store(kDefaultSystemTimeOrigin);
  s.resolutionCalls.clear();
  s.resolutionRequests.clear();
  s.tickBase = 0;
  s.timing = Timing{};
  s.serviceCv.notify_all();
}

bool CheckQuiescent(const std::source_location& caller) {
  auto found = Leftovers(S(), false);
  ReportLeftovers(found, "platform::clock::CheckQuiescent", caller);
  return found.empty();
}

void Settle() { Wait(0, nullptr, WaitAny, kernel_detail::Now(), true, false, "platform::clock::Settle", std::source_location::current()); }

void SleepUntil(LONGLONG interruptTime) {
  Wait(0, nullptr, WaitAny, interruptTime, false, false, "platform::clock::SleepUntil",
       std::source_location::current());
}

void SleepFor(LONGLONG ticks) { SleepUntil(kernel_detail::Now() + ticks); }

bool IsPlatformThread() { return Current()->IsPlatform(); }

ScopedPlatformThread::ScopedPlatformThread(std::string name) {
  Sched& s = S();
  ThreadRec* t = Current();
  std::unique_lock lock(s.mu);
  if (t->IsPlatform()) return;
  registered_ = true;
  EnsureWatchdogLocked(s);
  t->name = std::move(name);
  t->kind = ThreadKind::Registered;
  t->cpu = 0;
  if (s.freeRunning) {
  } else if (!s.running) {
    s.running = t;
  } else {
    s.ready.push_back(t);
    BlockLocked(s, t, lock, [&] { return s.running == t; });
  }
  FollowIrql(t);
}

ScopedPlatformThread::~ScopedPlatformThread() {
  if (!registered_) return;
  paged::Open();
  Sched& s = S();
  ThreadRec* t = Current();
  std::lock_guard lock(s.mu);
  t->kind = ThreadKind::Foreign;
  if (s.running == t) {
    s.running = nullptr;
    DispatchLocked(s);
  }
}

}  // namespace platform::clock

