// Kernel core services: IRQL, spin locks, dispatcher objects (events, mutexes, timers,
// threads), waits, DPCs, interlocked operations and the time queries.
//
// Every blocking and timed service runs on the process-wide clock of kernel/clock.h:
// virtual time by default, so a wait of ten minutes costs no wall time and every run
// of a scenario sees the same sequence of events at the same instants.
//
// Misuse that a real kernel would bug-check on (waiting above APC_LEVEL, holding a spin
// lock across a wait, releasing a mutex that is not owned, raising to a lower IRQL, ...)
// is reported through platform::verifier with the caller's location.
#pragma once

#include <source_location>

#include "kernel/ntdef.h"
#include "kernel/sched.h"
#include "kernel/verifier.h"

// Opens a pageable routine: running it above APC_LEVEL is reported (CallAboveIrql) with
// the routine's location, as a page fault there would bring the system down.
#define PAGED_CODE() ::platform::verifier::RequireIrqlAtMost(APC_LEVEL, "PAGED_CODE")

#define KE_CALLER const std::source_location& caller = std::source_location::current()

// ---------------------------------------------------------------------------------------
// IRQL (tracked per thread; every thread starts at PASSIVE_LEVEL)

KIRQL KeGetCurrentIrql();
// Raising to a lower level or lowering to a higher level is a verifier report.
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql, KE_CALLER);
void KeLowerIrql(KIRQL newIrql, KE_CALLER);
KIRQL KeRaiseIrqlToDpcLevel(KE_CALLER);

// ---------------------------------------------------------------------------------------
// Spin locks. A held lock records its owner; the locks a thread holds are tracked so a
// wait while holding one, a release by another thread or a recursive acquisition shows.

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KSPIN_LOCK_QUEUE {
  KSPIN_LOCK_QUEUE* Next;
  PKSPIN_LOCK Lock;
};
struct KLOCK_QUEUE_HANDLE {
  KSPIN_LOCK_QUEUE LockQueue;
  KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;

void KeInitializeSpinLock(PKSPIN_LOCK spinLock);
void KeAcquireSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql, KE_CALLER);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock, KE_CALLER);
void KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql, KE_CALLER);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, KE_CALLER);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock, KE_CALLER);
void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE handle, KE_CALLER);
void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle, KE_CALLER);
void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE handle, KE_CALLER);
void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle, KE_CALLER);

// ---------------------------------------------------------------------------------------
// Dispatcher objects. Their layouts have the sizes of the 64-bit kernel's, so structures
// that embed them keep their sizes; the fields are the platform's own.

enum KOBJECTS : UCHAR {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
};

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
enum WAIT_TYPE { WaitAll = 0, WaitAny = 1 };
enum KWAIT_REASON {
  Executive = 0,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
};

// Priority boosts passed to KeSetEvent and IoCompleteRequest (recorded, not used).
constexpr KPRIORITY IO_NO_INCREMENT = 0;
constexpr KPRIORITY EVENT_INCREMENT = 1;
constexpr KPRIORITY IO_SOUND_INCREMENT = 8;

constexpr ULONG THREAD_WAIT_OBJECTS = 3;     // objects a wait may name without wait blocks
constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;

struct DISPATCHER_HEADER {
  UCHAR Type;       // KOBJECTS
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;   // timers: armed
  LONG SignalState;
  LIST_ENTRY WaitListHead;  // unused: waiters are kept by the platform
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KTHREAD;
using PKTHREAD = KTHREAD*;
struct KPROCESS;  // kernel/ps.h
using PKPROCESS = KPROCESS*;
using PRKTHREAD = KTHREAD*;

// Kernel mutex: SignalState is 1 when free and 1 - n when its owner holds it n times.
struct KMUTEX {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
};
using PKMUTEX = KMUTEX*;
using PRKMUTEX = KMUTEX*;
using KMUTANT = KMUTEX;
using PKMUTANT = KMUTEX*;

struct KDPC;
typedef VOID KDEFERRED_ROUTINE(KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
using PKDEFERRED_ROUTINE = KDEFERRED_ROUTINE*;

enum KDPC_IMPORTANCE { LowImportance = 0, MediumImportance = 1, HighImportance = 2, MediumHighImportance = 3 };

struct KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  ULONG Target;   // 1 + the target processor (KeSetTargetProcessorDpc), 0 for none
  ULONG_PTR DpcListEntry;
  ULONG_PTR ProcessorHistory;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while the DPC is queued
};
using PKDPC = KDPC*;
using PRKDPC = KDPC*;

struct KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;     // interrupt time the next expiry is due at while armed
  ULONGLONG ArmSequence;      // orders timers due at the same instant
  ULONGLONG Reserved;         // when it fires: the tick at or after DueTime (plus its DPC's latency)
  PKDPC Dpc;
  ULONG Processor;
  LONG Period;                // milliseconds, 0 for a one-shot timer
};
using PKTIMER = KTIMER*;
using PRKTIMER = KTIMER*;

// Thread object (the same object serves as KTHREAD and ETHREAD). Signalled when the
// thread has ended.
struct KTHREAD {
  DISPATCHER_HEADER Header;
  KPRIORITY Priority;
  NTSTATUS ExitStatus;
  ULONG_PTR UniqueThread;
  PVOID PlatformThread;  // the platform's record of the running thread
};
using ETHREAD = KTHREAD;
using PETHREAD = KTHREAD*;

struct KWAIT_BLOCK {
  ULONG_PTR Reserved[6];
};
using PKWAIT_BLOCK = KWAIT_BLOCK*;

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
// Returns the previous state. Waking a waiter of a synchronization event resets it.
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait, KE_CALLER);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event, const std::source_location& caller = std::source_location::current());

void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
// Returns the previous signal state. A release by a thread that does not own the mutex
// is a verifier report and changes nothing.
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait, KE_CALLER);
LONG KeReadStateMutex(PRKMUTEX mutex);

// Initialising a timer that is still armed (or a DPC still queued) is reported
// (ObjectFreedInUse) and takes it off the queue first.
void KeInitializeTimer(PKTIMER timer, const std::source_location& caller = std::source_location::current());
void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type, const std::source_location& caller = std::source_location::current());
// dueTime < 0: relative, in 100 ns units; dueTime >= 0: absolute system time. period in
// milliseconds (0 = one-shot). Returns TRUE when the timer was armed before the call.
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, KE_CALLER);
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc, KE_CALLER);
// Returns TRUE when the timer was armed. A DPC already queued by an expiry still runs.
BOOLEAN KeCancelTimer(PKTIMER timer);
BOOLEAN KeReadStateTimer(PKTIMER timer, const std::source_location& caller = std::source_location::current());

// DPCs run at DISPATCH_LEVEL on a virtual processor (kernel/sched.h): the one that
// queued them, the one their timer was armed on, or their target. Each processor runs its
// DPCs one at a time in the order they were queued (a HighImportance DPC goes to the
// front), on its DPC context, or at once on the context that lowers the processor's IRQL
// below DISPATCH_LEVEL.
void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, const std::source_location& caller = std::source_location::current());
void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance);
void KeSetTargetProcessorDpc(PRKDPC dpc, CCHAR number);
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2,
                         const std::source_location& caller = std::source_location::current());
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
// Returns once every DPC queued before the call has run (PASSIVE_LEVEL only).
void KeFlushQueuedDpcs(KE_CALLER);

using KAFFINITY = ULONG_PTR;
using PKAFFINITY = KAFFINITY*;
ULONG KeGetCurrentProcessorNumber();
ULONG KeQueryActiveProcessorCount(PKAFFINITY activeProcessors);

// Waits. timeout: null waits without limit; 0 polls; negative is relative (100 ns
// units); positive is an absolute system time. Returns STATUS_WAIT_0 + index (wait-any:
// the lowest index among the signalled objects), STATUS_TIMEOUT, or, when the verifier
// found the wait deadlocked in virtual time, STATUS_POSSIBLE_DEADLOCK.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout, KE_CALLER);
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON waitReason,
                                  KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray, KE_CALLER);
inline NTSTATUS KeWaitForMutexObject(PRKMUTEX mutex, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                     BOOLEAN alertable, PLARGE_INTEGER timeout, KE_CALLER) {
  return KeWaitForSingleObject(mutex, waitReason, waitMode, alertable, timeout, caller);
}
// interval: negative relative (100 ns units) or positive absolute system time.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval, KE_CALLER);

constexpr NTSTATUS STATUS_POSSIBLE_DEADLOCK = static_cast<NTSTATUS>(0xC0000194u);

// ---------------------------------------------------------------------------------------
// Threads (creation in kernel/ps.h)

PKTHREAD KeGetCurrentThread();
// Priorities are recorded only; returns the previous priority.
KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD thread);

constexpr KPRIORITY LOW_PRIORITY = 0;
constexpr KPRIORITY LOW_REALTIME_PRIORITY = 16;
constexpr KPRIORITY HIGH_PRIORITY = 31;
constexpr KPRIORITY MAXIMUM_PRIORITY = 32;

// ---------------------------------------------------------------------------------------
// Time. Interrupt time counts 100 ns units of the platform clock since its reset; system
// time is that plus a fixed origin; the performance counter runs at a settable rate.
// The plain queries read the time of the last clock tick (platform::clock::Timing); the
// precise ones read the clock itself.

void KeQuerySystemTime(PLARGE_INTEGER currentTime,
                       const std::source_location& caller = std::source_location::current());
ULONGLONG KeQueryInterruptTime(const std::source_location& caller = std::source_location::current());
void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime,
                              const std::source_location& caller = std::source_location::current());
ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG qpcTimeStamp,
                                      const std::source_location& caller = std::source_location::current());
void KeQueryTickCount(PLARGE_INTEGER tickCount, const std::source_location& caller = std::source_location::current());
ULONG KeQueryTimeIncrement();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency,
                                        const std::source_location& caller = std::source_location::current());
// Requests (TRUE) or releases (FALSE) a timer resolution in 100 ns units; returns the
// resolution in effect: the finest still requested (at least 0.5 ms), else 15.625 ms.
// Each release ends the latest request. Recorded for tests
// (platform::clock::TimerResolution*).
ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);

// ---------------------------------------------------------------------------------------
// Interlocked operations (sequentially consistent; preemption points).

inline LONG InterlockedIncrement(LONG volatile* addend) {
  auto r = __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
  auto r = __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
  auto r = __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  auto r = __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return comparand;
}
inline LONG InterlockedOr(LONG volatile* destination, LONG value) {
  auto r = __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG InterlockedAnd(LONG volatile* destination, LONG value) {
  auto r = __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* addend) {
  auto r = __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* addend) {
  auto r = __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) {
  auto r = __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* destination, LONG64 exchange, LONG64 comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  auto r = __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return r;
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  platform::sched::Point("interlocked");
  return comparand;
}
