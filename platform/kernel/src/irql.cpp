// IRQL and spin locks.
//
// The IRQL is kept per context; a processor's IRQL is that of the context running on it,
// and lowering it below DISPATCH_LEVEL runs the processor's queued DPCs at once.
//
// A spin lock holds the record of the thread that owns it (0 when free). A context that
// takes turns on the clock spins on a held lock by letting the scheduler run the holder
// (two contexts spinning on each other's locks are a reported deadlock); other threads
// spin with a yield. The locks a thread holds are listed in its record, so waits, thread
// exit and IRQL changes can tell when one is still held. Acquire, release and IRQL
// changes are preemption points of the seeded scheduler.

#include <algorithm>
#include <thread>

#include "kernel/sched.h"
#include "lock_order.h"
#include "paged_arena.h"
#include "sched.h"

using namespace platform::kernel_detail;
using platform::verifier::Check;

namespace {

// Paged pool's protection follows the IRQL of the context that runs. A platform thread's
// own section at DISPATCH_LEVEL or above is timed for the dispatch watchdog (a DPC
// routine's time is counted where it runs), less what handing turns over and the
// platform's own work cost (dispatch_time.cpp).
void SetIrql(ThreadRec* t, KIRQL irql) {
  // Only contexts of the virtual processors count: a foreign thread runs on its own.
  if (t->dpcDepth == 0 && t->IsPlatform()) {
    if (t->irql < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL && platform::verifier::DispatchWatchdog()) {
      t->raisedCpuNs = ThreadCpuNs() - ExcludedCpuNs(t);
    } else if (t->irql >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL && t->raisedCpuNs >= 0) {
      AddDispatchTime(CpuOf(t), std::max(0LL, ThreadCpuNs() - ExcludedCpuNs(t) - t->raisedCpuNs),
                      Format("thread '%s'", t->name.c_str()));
      t->raisedCpuNs = -1;
    }
  }
  t->irql = irql;
  FollowIrql(t);
}

void Acquire(ThreadRec* t, PKSPIN_LOCK lock, KIRQL raisedFrom, const char* api, const std::source_location& caller) {
  if (!lock) {
    Report(Check::InvalidArgument, api, "null spin lock", caller);
    return;
  }
  const auto self = reinterpret_cast<KSPIN_LOCK>(t);
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
    Report(Check::InvalidArgument, api, Format("spin lock %p acquired again by its owner", static_cast<void*>(lock)),
           caller);
    return;
  }
  lock_order::Acquiring(t, lock, "spin lock", caller);
  platform::sched::Point("spin-lock acquire");
  for (unsigned spins = 0;; ++spins) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (!SpinOnHeldLock(t, lock, api, caller)) {
      // A deadlock was reported: give the acquisition up so the test can end.
      t->abandonedLocks.push_back(lock);
      return;
    }
    if (spins > 64) std::this_thread::yield();
  }
  t->spinSinceNs = 0;
  t->spinLocks.push_back(lock);
  t->spinLockIrqls.push_back(raisedFrom);
  lock_order::Acquired(t, lock, "spin lock", caller);
}

// `newIrql`: the IRQL the release lowers to (the FromDpcLevel forms: DISPATCH_LEVEL).
void Release(ThreadRec* t, PKSPIN_LOCK lock, KIRQL newIrql, const char* api, const std::source_location& caller) {
  if (!lock) {
    Report(Check::InvalidArgument, api, "null spin lock", caller);
    return;
  }
  if (auto abandoned = std::find(t->abandonedLocks.begin(), t->abandonedLocks.end(), lock);
      abandoned != t->abandonedLocks.end()) {
    t->abandonedLocks.erase(abandoned);
    return;
  }
  const auto self = reinterpret_cast<KSPIN_LOCK>(t);
  auto held = std::find(t->spinLocks.rbegin(), t->spinLocks.rend(), lock);
  if (held == t->spinLocks.rend() || __atomic_load_n(lock, __ATOMIC_RELAXED) != self) {
    Report(Check::InvalidArgument, api,
           Format("spin lock %p released by a thread that does not hold it", static_cast<void*>(lock)), caller);
    return;
  }
  const auto index = static_cast<size_t>(std::next(held).base() - t->spinLocks.begin());
  const KIRQL raisedFrom = index < t->spinLockIrqls.size() ? t->spinLockIrqls[index] : newIrql;
  if (t->irql != DISPATCH_LEVEL)
    Report(Check::SpinLockWrongIrql, api,
           Format("spin lock %p released at IRQL %u instead of DISPATCH_LEVEL", static_cast<void*>(lock), t->irql),
           caller);
  else if (newIrql != raisedFrom)
    Report(Check::SpinLockWrongIrql, api,
           Format("spin lock %p acquired from IRQL %u is released to IRQL %u", static_cast<void*>(lock), raisedFrom,
                  newIrql),
           caller);
  t->spinLocks.erase(std::next(held).base());
  lock_order::Released(t, lock);
  if (index < t->spinLockIrqls.size()) t->spinLockIrqls.erase(t->spinLockIrqls.begin() + static_cast<long>(index));
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  platform::sched::Point("spin-lock release");
}

void RequireDispatch(ThreadRec* t, const char* api, const std::source_location& caller) {
  if (t->irql < DISPATCH_LEVEL)
    Report(Check::IrqlMisuse, api, Format("called at IRQL %u, below DISPATCH_LEVEL", t->irql), caller);
}

void RequireAtMostDispatch(ThreadRec* t, const char* api, const std::source_location& caller) {
  if (t->irql > DISPATCH_LEVEL)
    Report(Check::IrqlMisuse, api, Format("called at IRQL %u, above DISPATCH_LEVEL", t->irql), caller);
}

// Lowering to newIrql after a release: not above the current level, and not below
// DISPATCH_LEVEL while spin locks are still held.
void LowerTo(ThreadRec* t, KIRQL newIrql, const char* api, const std::source_location& caller) {
  if (newIrql > t->irql) {
    Report(Check::IrqlMisuse, api, Format("lowers IRQL from %u to the higher %u", t->irql, newIrql), caller);
    return;
  }
  if (newIrql < DISPATCH_LEVEL && t->dpcDepth > 0) {
    Report(Check::IrqlMisuse, api, Format("a DPC routine lowers IRQL to %u, below DISPATCH_LEVEL", newIrql), caller);
    return;
  }
  if (newIrql < DISPATCH_LEVEL && !t->spinLocks.empty())
    Report(Check::IrqlMisuse, api,
           Format("lowers IRQL to %u while holding spin lock %p", newIrql, static_cast<void*>(t->spinLocks.back())),
           caller);
  const bool delivers = newIrql < DISPATCH_LEVEL && t->irql >= DISPATCH_LEVEL;
  SetIrql(t, newIrql);
  if (delivers) DeliverPendingDpcs(t);  // ends the processor's run at DISPATCH_LEVEL too
  platform::sched::Point("IRQL change");
}

}  // namespace

KIRQL KeGetCurrentIrql() { return Current()->irql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql, const std::source_location& caller) {
  ThreadRec* t = Current();
  if (oldIrql) *oldIrql = t->irql;
  if (newIrql < t->irql) {
    Report(Check::IrqlMisuse, "KeRaiseIrql", Format("raises IRQL from %u to the lower %u", t->irql, newIrql), caller);
    return;
  }
  if (newIrql > HIGH_LEVEL) {
    Report(Check::IrqlMisuse, "KeRaiseIrql", Format("IRQL %u does not exist", newIrql), caller);
    return;
  }
  SetIrql(t, newIrql);
  platform::sched::Point("IRQL change");
}

void KeLowerIrql(KIRQL newIrql, const std::source_location& caller) { LowerTo(Current(), newIrql, "KeLowerIrql", caller); }

KIRQL KeRaiseIrqlToDpcLevel(const std::source_location& caller) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old, caller);
  return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK spinLock) {
  *spinLock = 0;
  lock_order::Forget(spinLock);
}

void KeAcquireSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql, const std::source_location& caller) {
  *oldIrql = KeAcquireSpinLockRaiseToDpc(spinLock, caller);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock, const std::source_location& caller) {
  ThreadRec* t = Current();
  RequireAtMostDispatch(t, "KeAcquireSpinLock", caller);
  KIRQL old = t->irql;
  SetIrql(t, std::max<KIRQL>(t->irql, DISPATCH_LEVEL));
  Acquire(t, spinLock, old, "KeAcquireSpinLock", caller);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql, const std::source_location& caller) {
  ThreadRec* t = Current();
  Release(t, spinLock, newIrql, "KeReleaseSpinLock", caller);
  LowerTo(t, newIrql, "KeReleaseSpinLock", caller);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, const std::source_location& caller) {
  ThreadRec* t = Current();
  RequireDispatch(t, "KeAcquireSpinLockAtDpcLevel", caller);
  Acquire(t, spinLock, DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel", caller);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock, const std::source_location& caller) {
  ThreadRec* t = Current();
  RequireDispatch(t, "KeReleaseSpinLockFromDpcLevel", caller);
  Release(t, spinLock, DISPATCH_LEVEL, "KeReleaseSpinLockFromDpcLevel", caller);
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE handle,
                                    const std::source_location& caller) {
  handle->LockQueue.Next = nullptr;
  handle->LockQueue.Lock = spinLock;
  handle->OldIrql = KeAcquireSpinLockRaiseToDpc(spinLock, caller);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle, const std::source_location& caller) {
  KeReleaseSpinLock(handle->LockQueue.Lock, handle->OldIrql, caller);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE handle,
                                              const std::source_location& caller) {
  handle->LockQueue.Next = nullptr;
  handle->LockQueue.Lock = spinLock;
  handle->OldIrql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(spinLock, caller);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE handle, const std::source_location& caller) {
  KeReleaseSpinLockFromDpcLevel(handle->LockQueue.Lock, caller);
}
