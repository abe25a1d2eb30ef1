// Virtual processors: their DPC queues and DPC contexts, the IRQL rule that lowering
// below DISPATCH_LEVEL delivers a processor's DPCs, spin-lock spinning and deadlock
// reports, and the seeded scheduler's preemption points (kernel/sched.h).
//
// Everything here is guarded by the dispatcher lock (dispatcher_state.h). A DPC is taken
// off its processor's queue by the processor's DPC context, or by the context that lowers
// the processor's IRQL, and runs without the lock; the processor records what runs on it
// so that freeing memory under a running DPC is reported.

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "dispatcher_state.h"
#include "fibers.h"
#include "memory_faults.h"
#include "paged_arena.h"
#include "queued_objects.h"

namespace platform::kernel_detail {
namespace {

using verifier::Check;

void StartDpcWorkerLocked(Sched& s, unsigned cpu);
void RunDpcWorker(unsigned cpu);

// Takes the next DPC of a processor for `runner`; false when there is none or another
// context is running one there.
struct TakenDpc {
  KDPC* dpc;
  PKDEFERRED_ROUTINE routine;
  PVOID context, arg1, arg2;
};
// A DPC whose memory no longer holds what was queued (freed or reused since) is dropped
// and reported instead.
bool TakeDpcLocked(Cpu& c, ThreadRec* runner, TakenDpc* taken) {
  while (!c.dpcs.empty() && !c.runner) {
    KDPC* dpc = c.dpcs.front();
    c.dpcs.pop_front();
    KDPC seen;
    const QueuedObject* what = FindQueuedLocked(dpc);
    const bool readable = ReadableCopy(&seen, dpc, sizeof seen);
    if (what && (!readable || seen.Type != kDpcType || seen.DpcData != &c || seen.DeferredRoutine != what->first ||
                 seen.DeferredContext != what->second)) {
      ReportOverwrittenLocked(dpc, *what, "KDPC delivery",
                              readable ? "no longer holds its DPC" : "is no longer readable");
      Sched& s = S();
      if (--s.dpcsInFlight == 0) SetEventLocked(&s.dpcIdle);
      continue;
    }
    NoteUnqueuedLocked(dpc);
    dpc->DpcData = nullptr;
    *taken = {dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2};
    c.runningDpc = dpc;
    c.runningContext = dpc->DeferredContext;
    c.runner = runner;
    return true;
  }
  return false;
}

void FinishDpcLocked(Sched& s, Cpu& c) {
  c.runningDpc = nullptr;
  c.runningContext = nullptr;
  c.runner = nullptr;
  if (--s.dpcsInFlight == 0) SetEventLocked(&s.dpcIdle);
  // In free-running mode the DPC context may have found the processor busy.
  if (!c.dpcs.empty()) SetEventLocked(&c.work);
}

// Runs one taken DPC on `self` at DISPATCH_LEVEL and checks how it returned.
void RunDpc(ThreadRec* self, const TakenDpc& d) {
  const KIRQL before = self->irql;
  const size_t locks = self->spinLocks.size();
  self->irql = DISPATCH_LEVEL;
  FollowIrql(self);
  ++self->dpcDepth;
  // The routine is charged its own processor time, checked against the DPC time limit
  // and added to the processor's run for the dispatch watchdog. What the turns it hands
  // over and the platform's own work cost is the simulation's; a run over the limit is
  // reported when it is twice the limit, or the routine's second in the test (the rule
  // and its reasons: dispatch_time.cpp).
  const auto* routine = reinterpret_cast<const void*>(d.routine);
  const DpcRunClock clock = StartDpcClock(self, routine);
  if (d.routine) d.routine(d.dpc, d.context, d.arg1, d.arg2);
  FinishDpcClock(self, clock, routine, d.dpc);
  --self->dpcDepth;
  if (self->irql != DISPATCH_LEVEL || self->spinLocks.size() != locks) {
    Report(Check::LockHeldAtExit, "KDPC",
           Format("DPC routine %p returned at IRQL %u holding %zu spin lock(s)", reinterpret_cast<void*>(d.routine),
                  self->irql, self->spinLocks.size() - std::min(locks, self->spinLocks.size())),
           std::source_location::current());
    self->spinLocks.resize(std::min(locks, self->spinLocks.size()));
  }
  self->irql = before;
  FollowIrql(self);
}

// Hands the turn from the running context `t` straight to the ready context `next`; `t`
// is the next to run after it. Returns when `t` has the turn again.
void SwitchToLocked(Sched& s, ThreadRec* t, ThreadRec* next, std::unique_lock<std::mutex>& lock) {
  const bool timed = DispatchTimed();
  const long long before = timed ? ThreadCpuNs() : 0;
  const long long switchedBefore = t->switchCpuNs;  // a fiber's block counts its time away too
  // The platform's work in here (page protection) is part of the switch: counted once.
  ++t->platformWorkDepth;
  std::erase(s.ready, next);
  s.ready.push_front(t);
  s.running = next;
  NotifyLocked(next);
  BlockLocked(s, t, lock, [&] { return s.running == t; });
  FollowIrql(t);
  --t->platformWorkDepth;
  if (timed) t->switchCpuNs = switchedBefore + (ThreadCpuNs() - before);
}

}  // namespace

void LogLocked(Sched& s, std::string line) {
  constexpr size_t kLogLimit = 4096;
  if (s.log.size() < kLogLimit)
    s.log.push_back(Format("%" PRId64 " ", static_cast<int64_t>(NowOf(s) - s.logOrigin)) + line);
}

namespace {

void StartDpcWorkerLocked(Sched& s, unsigned cpu) {
  Cpu& c = s.cpus[cpu];
  if (c.workerStarted) return;
  c.workerStarted = true;
  ContextHandle worker = StartThreadLocked(cpu == 0 ? std::string("DPC") : Format("DPC %u", cpu), ThreadKind::Worker,
                                         nullptr, [cpu] { RunDpcWorker(cpu); }, nullptr, static_cast<int>(cpu));
  worker.detach();
}

// The DPC context of a processor: drains its queue, one DPC at a time.
void RunDpcWorker(unsigned cpu) {
  Sched& s = S();
  ThreadRec* self = Current();
  Cpu& c = s.cpus[cpu];
  for (;;) {
    TakenDpc d;
    bool taken;
    {
      std::lock_guard lock(s.mu);
      taken = TakeDpcLocked(c, self, &d);
    }
    ReportDeferred();
    if (!taken) {
      EndDispatchRun(cpu);  // the processor goes back below DISPATCH_LEVEL
      DISPATCHER_HEADER* work = &c.work.Header;
      Wait(1, &work, WaitAny, kNever, false, true, "DPC queue", std::source_location::current());
      continue;
    }
    RunDpc(self, d);
    std::lock_guard lock(s.mu);
    FinishDpcLocked(s, c);
  }
}

}  // namespace

// Queues a DPC on its target processor, or on `cpu` (the processor that queued it or
// that its timer was armed on) when it has none.
bool QueueDpcLocked(Sched& s, KDPC* dpc, unsigned cpu, PVOID arg1, PVOID arg2, const std::source_location& site) {
  if (dpc->DpcData) return false;
  NoteQueuedLocked(dpc, QueuedObject{QueuedKind::Dpc, site, reinterpret_cast<const void*>(dpc->DeferredRoutine),
                                     dpc->DeferredContext, nullptr});
  const unsigned target = (dpc->Target ? dpc->Target - 1u : cpu) % s.processors;
  Cpu& c = s.cpus[target];
  dpc->DpcData = &c;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  if (dpc->Importance == HighImportance)
    c.dpcs.push_front(dpc);
  else
    c.dpcs.push_back(dpc);
  ++s.dpcsInFlight;
  StartDpcWorkerLocked(s, target);
  s.dpcIdle.Header.SignalState = 0;
  SetEventLocked(&c.work);
  return true;
}

void UnqueueDpcLocked(Sched& s, KDPC* dpc) {
  NoteUnqueuedLocked(dpc);
  std::erase(static_cast<Cpu*>(dpc->DpcData)->dpcs, dpc);
  dpc->DpcData = nullptr;
  if (--s.dpcsInFlight == 0) SetEventLocked(&s.dpcIdle);
}

// Whether ready context `c` may run now: no other context holds its processor at
// DISPATCH_LEVEL or above (`current`, about to be switched out, or a preempted one).
bool EligibleLocked(const Sched& s, const ThreadRec* c, const ThreadRec* current) {
  const unsigned cpu = CpuIndex(s, c);
  if (current && current != c && CpuIndex(s, current) == cpu && current->irql >= DISPATCH_LEVEL) return false;
  for (const ThreadRec* o : s.ready)
    if (o != c && CpuIndex(s, o) == cpu && o->irql >= DISPATCH_LEVEL) return false;
  return true;
}

std::uint64_t DrawLocked(Sched& s) {
  // splitmix64
  std::uint64_t z = (s.rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Restarts the generator and the budget from the options.
void RestartLocked(Sched& s) {
  s.rng = s.options.seed;
  // Timing draws have a generator of their own, so realistic timing does not change
  // which preemptions a seed takes; seed 0 draws a fixed sequence too. Its start is the
  // seed scrambled: a plain multiple of the generator's increment would make seed n+1
  // replay seed n's timing draws shifted by one.
  std::uint64_t z = s.options.seed + 0x5851F42D4C957F2Dull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  s.timingRng = z ^ (z >> 31);
  // Each seed also picks how eagerly it switches (1/2 .. 1/256 per point), so short and
  // long runs both see their preemptions spread over them.
  s.chance = s.options.seed ? 2u << (DrawLocked(s) % 8) : 1u;
  s.preemptionsLeft = s.options.seed ? s.options.maxPreemptions : 0;
  s.preemptionsTaken = 0;
  s.overlapAt = -1;
  s.overlapSwitchesLeft = 0;
  s.overlapsDrawn = 0;
  s.overlapDrawnAt = -1;
  s.log.clear();
  s.logOrigin = NowOf(s);
  s.nextCpu = 1;
  ForgetDispatchTimeStrikes();  // a new test (or seed) starts with a clean record
  __atomic_store_n(&sched::detail::preemptive, s.options.seed != 0 && !s.freeRunning, __ATOMIC_RELAXED);
}

unsigned CpuOf(const ThreadRec* t) { return CpuIndex(S(), t); }

ScopedNoPreemption::ScopedNoPreemption() { ++Current()->noPreemption; }
ScopedNoPreemption::~ScopedNoPreemption() { --Current()->noPreemption; }

namespace {

ThreadRec* LockOwnerLocked(Sched& s, PKSPIN_LOCK lock) {
  const KSPIN_LOCK value = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (!value) return nullptr;
  for (ThreadRec* r : s.threads)
    if (reinterpret_cast<KSPIN_LOCK>(r) == value) return r;
  return nullptr;
}

// Free-running mode: a spin on one lock for this long is reported instead of hanging.
constexpr long long kFreeRunningSpinBoundNs = 2'000'000'000;

std::string SpinText(const ThreadRec* t) {
  return Format("'%s' on processor %u", t->name.c_str(), CpuIndex(S(), t));
}

}  // namespace

bool SpinOnHeldLock(ThreadRec* t, PKSPIN_LOCK lock, const char* api, const std::source_location& caller) {
  Sched& s = S();
  if (s.freeRunning.load(std::memory_order_relaxed)) {
    // Spins on the atomic alone; a spin past kFreeRunningSpinBoundNs is a deadlock (or a
    // lock held far too long): reported naming the holder, and the acquisition given up.
    const long long now = SteadyNs();
    if (t->spinSinceNs == 0) t->spinSinceNs = now;
    if (now - t->spinSinceNs < kFreeRunningSpinBoundNs) return true;
    t->spinSinceNs = 0;
    const auto* owner = reinterpret_cast<const ThreadRec*>(__atomic_load_n(lock, __ATOMIC_RELAXED));
    std::string held;
    for (const HeldLock& h : t->heldInOrder) held += Format(" %p", h.lock);
    Report(Check::Deadlock, api,
           Format("'%s' spun for over %lld ms on spin lock %p held by '%s'%s%s", t->name.c_str(),
                  kFreeRunningSpinBoundNs / 1000000, static_cast<void*>(lock), owner ? owner->name.c_str() : "nobody",
                  held.empty() ? "" : "; the spinning context holds", held.c_str()),
           caller);
    return false;
  }
  std::unique_lock guard(s.mu);
  if (!TakesTurns(s, t) || s.running != t) return true;
  ThreadRec* owner = LockOwnerLocked(s, lock);
  if (!owner || !TakesTurns(s, owner)) {
    // Free again, or held by a thread outside the turns (it runs on its own and will
    // release the lock): retry.
    return true;
  }
  std::string report;
  // Follow who spins on whose lock: a chain back to `t` never ends.
  t->spinningOn = lock;
  std::string chain = Format("%s spins on spin lock %p held by %s", SpinText(t).c_str(), static_cast<void*>(lock),
                             SpinText(owner).c_str());
  ThreadRec* o = owner;
  for (size_t steps = 0; o && o->spinningOn && steps < s.threads.size(); ++steps) {
    ThreadRec* next = LockOwnerLocked(s, o->spinningOn);
    chain += Format(", which spins on spin lock %p held by %s", static_cast<void*>(o->spinningOn),
                    next ? SpinText(next).c_str() : "nobody");
    if (next == t) {
      report = "spin-lock deadlock: " + chain;
      break;
    }
    o = next;
  }
  if (report.empty() && owner->waiting)
    report = "spin-lock deadlock: " + chain +
             Format(", which waits in %s at %s:%u", owner->waitApi, owner->waitSite.file_name(),
                    static_cast<unsigned>(owner->waitSite.line()));
  if (report.empty() && std::find(s.ready.begin(), s.ready.end(), owner) == s.ready.end())
    report = "spin-lock deadlock: " + chain + ", which cannot run";
  if (!report.empty()) {
    t->spinningOn = nullptr;
    LogLocked(s, report);
    guard.unlock();
    Report(Check::Deadlock, api, std::move(report), caller);
    return false;
  }
  LogLocked(s, Format("'%s' spins on a lock held by '%s'", t->name.c_str(), owner->name.c_str()));
  SwitchToLocked(s, t, owner, guard);
  t->spinningOn = nullptr;
  return true;
}

void DeliverPendingDpcs(ThreadRec* t) {
  Sched& s = S();
  if (t->deliveringDpcs || !t->IsPlatform()) return;
  t->deliveringDpcs = true;
  Cpu& c = s.cpus[CpuIndex(s, t)];
  for (;;) {
    TakenDpc d;
    {
      std::lock_guard lock(s.mu);
      if (!TakeDpcLocked(c, t, &d)) break;
    }
    RunDpc(t, d);
    std::lock_guard lock(s.mu);
    FinishDpcLocked(s, c);
  }
  t->deliveringDpcs = false;
  EndDispatchRun(CpuIndex(s, t));  // the thread goes on below DISPATCH_LEVEL
  ReportDeferred();
}

}  // namespace platform::kernel_detail

// ======================================================================================
// Kernel services

using namespace platform::kernel_detail;
using platform::verifier::Check;

// ---- DPCs --------------------------------------------------------------------------

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, const std::source_location& caller) {
  // Found by address among the queued DPCs: the memory may hold anything before.
  std::string queuedAt;
  {
    Sched& s = S();
    std::lock_guard lock(s.mu);
    if (const QueuedObject* what = FindQueuedLocked(dpc); what && what->kind == QueuedKind::Dpc) {
      queuedAt = SiteText(what->site);
      for (Cpu& c : s.cpus)
        if (std::find(c.dpcs.begin(), c.dpcs.end(), dpc) != c.dpcs.end()) {
          std::erase(c.dpcs, dpc);
          if (--s.dpcsInFlight == 0) SetEventLocked(&s.dpcIdle);
        }
      NoteUnqueuedLocked(dpc);
    }
  }
  if (!queuedAt.empty())
    Report(Check::ObjectFreedInUse, "KeInitializeDpc",
           Format("DPC %p initialised again while it is queued (queued at %s)", static_cast<void*>(dpc),
                  queuedAt.c_str()),
           caller);
  *dpc = KDPC{};
  dpc->Type = kDpcType;
  dpc->Importance = MediumImportance;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
}

void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance) { dpc->Importance = static_cast<UCHAR>(importance); }

void KeSetTargetProcessorDpc(PRKDPC dpc, CCHAR number) {
  dpc->Number = static_cast<USHORT>(number);
  dpc->Target = static_cast<ULONG>(number) + 1;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2,
                         const std::source_location& caller) {
  Sched& s = S();
  ThreadRec* t = Current();
  bool queued;
  {
    std::lock_guard lock(s.mu);
    queued = QueueDpcLocked(s, dpc, CpuIndex(s, t), systemArgument1, systemArgument2, caller);
  }
  platform::sched::Point("KeInsertQueueDpc");
  return queued ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  if (!dpc->DpcData) return FALSE;
  UnqueueDpcLocked(s, dpc);
  return TRUE;
}

ULONG KeGetCurrentProcessorNumber() { return CpuOf(Current()); }

ULONG KeQueryActiveProcessorCount(PKAFFINITY activeProcessors) {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  if (activeProcessors) *activeProcessors = (KAFFINITY{1} << s.processors) - 1;
  return s.processors;
}

void KeFlushQueuedDpcs(const std::source_location& caller) {
  ThreadRec* t = Current();
  if (t->irql != PASSIVE_LEVEL) {
    Report(Check::IrqlMisuse, "KeFlushQueuedDpcs", Format("called at IRQL %u", t->irql), caller);
    return;
  }
  DISPATCHER_HEADER* idle = &S().dpcIdle.Header;
  Wait(1, &idle, WaitAny, kNever, false, false, "KeFlushQueuedDpcs", caller);
}

// ======================================================================================
// Virtual processors and the seeded scheduler

namespace platform::sched {

bool detail::preemptive = false;

namespace {

#ifdef UA_FREE_RUNNING
constexpr bool kFreeRunningBuilt = true;
#else
constexpr bool kFreeRunningBuilt = false;
#endif

}  // namespace

bool FreeRunningBuilt() { return kFreeRunningBuilt; }

void Configure(const Options& options) {
  Sched& s = S();
  Options o = options;
  if (o.processors < 1 || o.processors > kMaxProcessors) {
    Report(Check::InvalidArgument, "platform::sched::Configure",
           Format("%u processors (1 to %u)", o.processors, kMaxProcessors), std::source_location::current());
    o.processors = std::clamp(o.processors, 1u, kMaxProcessors);
  }
  if (o.freeRunning && !kFreeRunningBuilt) {
    Report(Check::InvalidArgument, "platform::sched::Configure", "free-running mode needs a UA_FREE_RUNNING build",
           std::source_location::current());
    o.freeRunning = false;
  }
  // UA_OVERLAP_ONE_IN overrides the overlap draw for a whole run (0: off), to tell a
  // failure the overlap found from one the plain preemptions find.
  if (const char* text = std::getenv("UA_OVERLAP_ONE_IN"); text && *text)
    o.overlapOneIn = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  std::lock_guard lock(s.mu);
  s.options = o;
  s.processors = o.processors;
  if (o.freeRunning != s.freeRunning.load()) {
    s.freeRunning.store(o.freeRunning);
    s.realBaseNs.store(SteadyNs());
    s.realTime.store(o.freeRunning);
    if (o.freeRunning) {
      // Everyone holding or waiting for a turn runs free from now on.
      for (ThreadRec* t : s.threads) NotifyLocked(t);
      s.ready.clear();
      s.running = nullptr;
      EnsureServiceLocked(s);
    } else if (s.running == nullptr) {
      // The caller takes the turn back.
      ThreadRec* self = tlCurrent;
      if (self && self->IsPlatform()) s.running = self;
    }
    s.serviceCv.notify_all();
  }
  RestartLocked(s);
}

Options Current() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return s.options;
}

unsigned PreemptionsTaken() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return s.preemptionsTaken;
}

unsigned OverlapsDrawn() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return s.overlapsDrawn;
}

std::vector<std::string> Log() {
  Sched& s = S();
  std::lock_guard lock(s.mu);
  return s.log;
}

std::uint64_t SeedFromEnvironment() {
  const char* text = std::getenv("UA_SEED");
  if (!text || !*text) return 0;
  return std::strtoull(text, nullptr, 0);
}

void PreemptionPoint(const char* what) { Point(what); }

void detail::Preempt(const char* what) {
  Sched& s = S();
  ThreadRec* t = tlCurrent;
  if (!t || !t->IsPlatform() || t->noPreemption) return;
  std::unique_lock lock(s.mu);
  // Inside an overlap the contexts of its instant interleave at every point, a coin flip
  // each, outside the run's budget.
  const bool overlapping = s.overlapSwitchesLeft > 0 && NowOf(s) == s.overlapAt;
  if (s.freeRunning || s.running != t || (s.preemptionsLeft == 0 && !overlapping) || s.ready.empty()) return;
  ThreadRec* candidates[64];
  size_t n = 0;
  for (ThreadRec* c : s.ready)
    if (n < std::size(candidates) && EligibleLocked(s, c, t)) candidates[n++] = c;
  if (n == 0 || DrawLocked(s) % (overlapping ? 2u : s.chance) != 0) return;
  ThreadRec* next = candidates[DrawLocked(s) % n];
  if (overlapping) {
    --s.overlapSwitchesLeft;
  } else {
    --s.preemptionsLeft;
    ++s.preemptionsTaken;
  }
  LogLocked(s, Format("%s '%s' (processor %u, IRQL %u) at %s for '%s' (processor %u)",
                      overlapping ? "overlap: switch from" : "preempt", t->name.c_str(), CpuIndex(s, t), t->irql,
                      what, next->name.c_str(), CpuIndex(s, next)));
  SwitchToLocked(s, t, next, lock);
}

}  // namespace platform::sched
