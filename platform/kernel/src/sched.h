// Internal interface of the dispatcher: thread records, the clock and the wait machinery
// shared by the kernel services of this library. Not a public header.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include "kernel/ke.h"
#include "kernel/verifier.h"

namespace platform::kernel_detail {

using Ticks = LONGLONG;
constexpr Ticks kNever = INT64_MAX;

struct FiberSlot;

enum class ThreadKind {
  Foreign,     // any thread that is not a platform thread; never holds the clock
  Registered,  // a thread registered with ScopedPlatformThread (the test thread)
  System,      // PsCreateSystemThread and platform::clock::Thread
  Worker,      // the DPC and work-item workers
};

// A lock a context holds, in acquisition order, for the lock-order graph.
struct HeldLock {
  const void* lock;
  const char* kind;  // "spin lock", "mutex"
  std::source_location site;
};

// One record per thread that has used a kernel service. The scheduling fields are
// guarded by the dispatcher lock; the IRQL and lock bookkeeping belong to the thread.
struct ThreadRec {
  std::string name;
  ThreadKind kind = ThreadKind::Foreign;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> spinLocks;
  std::vector<KIRQL> spinLockIrqls;  // per held lock: the IRQL its acquisition raised from
  unsigned cpu = 0;                           // the virtual processor the context lives on
  PKSPIN_LOCK spinningOn = nullptr;           // contended lock it spins on (dispatcher lock)
  long long spinSinceNs = 0;                  // free-running: when the current spin began (0: none)
  std::vector<PKSPIN_LOCK> abandonedLocks;    // acquisitions given up on a spin-lock deadlock
  bool deliveringDpcs = false;
  unsigned dpcDepth = 0;
  std::vector<HeldLock> heldInOrder;  // spin locks and mutexes held, oldest first  // DPC routines running on this context (nested by IRQL lowering)
  LONG mutexesOwned = 0;
  long long raisedCpuNs = -1;  // dispatch watchdog: thread CPU time when it rose to DISPATCH_LEVEL (-1: not timed)
  // Processor time the thread spent handing the turn over and taking it back, and in the
  // platform's own work at DISPATCH_LEVEL or above (verifier::ScopedPlatformWork, nested
  // scopes counted once): the simulation's cost, not the code's, taken out of DPC and
  // DISPATCH_LEVEL times. Only counted while a time check is on.
  long long switchCpuNs = 0;
  long long platformCpuNs = 0;
  unsigned platformWorkDepth = 0;
  PKTHREAD kthread = nullptr;
  // The process the context belongs to (null: the system process) and the one it is
  // attached to (KeStackAttachProcess), if any.
  PKPROCESS process = nullptr;
  PKPROCESS attachedProcess = nullptr;
  std::unique_ptr<KTHREAD> ownObject;  // thread object of threads not created by the platform

  bool waiting = false;
  bool idle = false;  // a worker waiting for work: never part of a deadlock
  ULONG waitCount = 0;
  DISPATCHER_HEADER* waitObjects[MAXIMUM_WAIT_OBJECTS] = {};
  WAIT_TYPE waitType = WaitAny;
  Ticks deadline = kNever;
  unsigned long long waitSeq = 0;
  Ticks waitStart = 0;
  const char* waitApi = "";
  std::source_location waitSite;  // the caller of the wait
  NTSTATUS waitStatus = STATUS_SUCCESS;
  std::string deadlockReport;
  std::condition_variable cv;

  // Hang detection: kernel calls and waits so far, and the last call site noted (written
  // by the thread, read by the watchdog).
  std::atomic<unsigned long long> calls{0};
  std::atomic<unsigned long long> waits{0};
  std::atomic<const char*> lastApi{nullptr};
  std::atomic<const char*> lastFile{nullptr};
  std::atomic<unsigned> lastLine{0};
  bool hangReported = false;  // dispatcher lock

  // The fiber carrying the context (fibers.h); null for an OS thread.
  FiberSlot* fiber = nullptr;
  // State of the kernel services that belongs to the context, not to its OS thread
  // (fibers share one): seeded preemption held off, exact time-outs, completions nested
  // on it, the routine the completion thunk last ran and the callbacks it is running.
  int noPreemption = 0;
  int exactWaits = 0;
  unsigned completionDepth = 0;
  bool nestingReported = false;
  void* thunkRan = nullptr;
  std::vector<const void*> callbacksRunning;

  bool IsPlatform() const { return kind != ThreadKind::Foreign; }
};

// A started platform context: an OS thread, or a fiber on the carrier (fibers.h), which
// has nothing left to join once its thread object is signalled.
class ContextHandle {
 public:
  ContextHandle() = default;
  explicit ContextHandle(std::thread thread) : thread_(std::move(thread)), started_(true) {}
  static ContextHandle Fiber() {
    ContextHandle h;
    h.started_ = true;
    return h;
  }
  bool joinable() const { return started_; }
  void join() {
    if (thread_.joinable()) thread_.join();
    started_ = false;
  }
  void detach() {
    if (thread_.joinable()) thread_.detach();
    started_ = false;
  }

 private:
  std::thread thread_;
  bool started_ = false;
};

// Notes the calling thread's latest call site (the calls a polling loop makes), for the
// hang report.
void NoteCall(const char* api, const std::source_location& caller);

// The calling thread's record; a foreign record is made on first use.
ThreadRec* Current();

// The dispatcher lock: guards every dispatcher object's state, the wait lists, the timer
// and DPC queues and the scheduling of platform threads.
std::mutex& DispatcherLock();

Ticks Now();
// Deadline (interrupt time) of a kernel due time: negative relative, positive absolute.
Ticks DeadlineOf(LONGLONG dueTime);

// A kernel wait's time-out ends on the first clock tick at or after `deadline`, as a
// timer's expiry does (platform::clock::Timing); kNever stays kNever.
Ticks TimeoutOnTick(Ticks deadline);

// Waits for dispatcher objects (count 0: only for the deadline). deadline is an interrupt
// time or kNever; a deadline already reached returns STATUS_TIMEOUT at once unless
// `alwaysBlock`, which lets every other platform thread run first. `idle` marks a worker
// waiting for work. The caller has done the verifier checks.
NTSTATUS Wait(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE type, Ticks deadline, bool alwaysBlock,
              bool idle, const char* api, const std::source_location& caller);

// With the dispatcher lock held: signal an event and wake whoever that satisfies.
void SetEventLocked(KEVENT* event);
void ClearEventLocked(KEVENT* event);

// With the dispatcher lock held: creates a platform thread of `kind` for `object` (null:
// the record owns a thread object) that runs `body` once it is given its turn, on
// processor `cpu` (negative: the next processor in turn). When the body returns the
// object is signalled, the turn handed on, and then `afterExit` (if any) runs on the
// ending thread without the lock.
ContextHandle StartThreadLocked(std::string name, ThreadKind kind, PKTHREAD object, std::function<void()> body,
                              std::function<void()> afterExit, int cpu = -1);

// Keeps a started system thread instead of detaching it. Once its body has returned and
// its object is signalled, `JoinEndedThreads` joins it, so that nothing of the thread (its
// thread-local storage is freed only as the OS thread exits) outlives the test or input
// that ended it.
void KeepThread(ContextHandle thread, std::shared_ptr<std::atomic<bool>> ended);
void JoinEndedThreads();

// The processor a context lives on (threads not made by the platform: processor 0).
unsigned CpuOf(const ThreadRec* t);

// The spin lock `lock` is held by another context. A context that holds the turn spins
// by letting the scheduler run the holder; returns false when spinning can never end (a
// deadlock, reported with both owners): the caller then gives up the acquisition.
// Returns true to retry (also for threads without a turn, which yield and retry).
bool SpinOnHeldLock(ThreadRec* t, PKSPIN_LOCK lock, const char* api, const std::source_location& caller);

// The DPC time limit and the dispatch watchdog (dispatch_time.cpp).
//
// ThreadCpuNs: the calling thread's processor time. ExcludedCpuNs: what of it so far went
// to handing turns over and to the platform's own work (not charged to the code).
long long ThreadCpuNs();
inline long long ExcludedCpuNs(const ThreadRec* t) { return t->switchCpuNs + t->platformCpuNs; }
// Whether either check is on (the clocks are read only then).
bool DispatchTimed();
// Times one DPC routine's run on `self`: Start before the routine, Finish after it, which
// checks the run against the DPC time limit and charges it to the dispatch watchdog.
struct DpcRunClock {
  bool timed = false;
  bool limited = false;  // the DPC time limit applies (on, and the routine is not exempt)
  long long cpuNs = 0, switchNs = 0, platformNs = 0;
  long minorFaults = 0, majorFaults = 0, involuntarySwitches = 0;
  long long systemNs = 0;  // the thread's time in the system so far (getrusage)
};
DpcRunClock StartDpcClock(const ThreadRec* self, const void* routine);
void FinishDpcClock(const ThreadRec* self, const DpcRunClock& started, const void* routine, const void* dpc);
// The dispatch watchdog: `ns` more processor time at DISPATCH_LEVEL on processor `cpu`,
// spent by `what` (a routine or a thread, for the report); and the end of a run at
// DISPATCH_LEVEL (the processor went back below it).
void AddDispatchTime(unsigned cpu, long long ns, const std::string& what);
void EndDispatchRun(unsigned cpu);
// Forgets the runs over a limit seen so far (a new test: the clock's reset, the
// scheduler's configuration, a limit set).
void ForgetDispatchTimeStrikes();

// Runs the DPCs queued on the processor of `t` inline, at DISPATCH_LEVEL, as lowering
// IRQL below DISPATCH_LEVEL does.
void DeliverPendingDpcs(ThreadRec* t);

// Holds off seeded preemption on this thread while in scope: platform code that reaches
// a preemption point with one of its own mutexes held uses it, since a switch there
// would leave the mutex held by a context that no longer runs.
struct ScopedNoPreemption {
  ScopedNoPreemption();
  ~ScopedNoPreemption();
  ScopedNoPreemption(const ScopedNoPreemption&) = delete;
  ScopedNoPreemption& operator=(const ScopedNoPreemption&) = delete;
};

// Sets up the dispatcher header and defaults of a thread object.
void InitThreadObject(KTHREAD* thread);

// Work-item queues report their backlog to the clock's quiescence check.
void RegisterBacklogProbe(std::function<std::vector<std::string>()> probe, std::function<void()> drop);

// Called by the pool before it frees a block: reports (ObjectFreedInUse) armed timers,
// queued DPCs and objects being waited on inside it, and unlinks the timers and DPCs.
// `region` names the memory in reports (default: "block <address>"); `gone`: the memory
// is no longer the caller's (an ended thread's stack), so the objects are forgotten
// without writing to them.
void CheckFreedMemory(const void* block, SIZE_T bytes, const char* api, const std::source_location& caller,
                      const std::string& region = {}, bool gone = false);

// printf-style formatting for verifier details (reports go to verifier::Report, found by
// argument-dependent lookup on the Check).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform::kernel_detail
