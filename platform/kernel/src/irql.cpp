// IRQL per thread and spin locks.
//
// A spin lock holds the record of the thread that owns it (0 when free); contention
// between threads spins with a yield. The locks a thread holds are listed in its record,
// so waits, thread exit and IRQL changes can tell when one is still held.

#include <algorithm>
#include <thread>

#include "sched.h"

using namespace platform::kernel_detail;
using platform::verifier::Check;

namespace {

void SetIrql(ThreadRec* t, KIRQL irql) { t->irql = irql; }

void Acquire(ThreadRec* t, PKSPIN_LOCK lock, const char* api, const std::source_location& caller) {
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
  for (unsigned spins = 0;; ++spins) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    if (spins > 64) std::this_thread::yield();
  }
  t->spinLocks.push_back(lock);
}

void Release(ThreadRec* t, PKSPIN_LOCK lock, const char* api, const std::source_location& caller) {
  if (!lock) {
    Report(Check::InvalidArgument, api, "null spin lock", caller);
    return;
  }
  const auto self = reinterpret_cast<KSPIN_LOCK>(t);
  auto held = std::find(t->spinLocks.rbegin(), t->spinLocks.rend(), lock);
  if (held == t->spinLocks.rend() || __atomic_load_n(lock, __ATOMIC_RELAXED) != self) {
    Report(Check::InvalidArgument, api,
           Format("spin lock %p released by a thread that does not hold it", static_cast<void*>(lock)), caller);
    return;
  }
  t->spinLocks.erase(std::next(held).base());
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
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
  if (newIrql < DISPATCH_LEVEL && !t->spinLocks.empty())
    Report(Check::IrqlMisuse, api,
           Format("lowers IRQL to %u while holding spin lock %p", newIrql, static_cast<void*>(t->spinLocks.back())),
           caller);
  SetIrql(t, newIrql);
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
}

void KeLowerIrql(KIRQL newIrql, const std::source_location& caller) { LowerTo(Current(), newIrql, "KeLowerIrql", caller); }

KIRQL KeRaiseIrqlToDpcLevel(const std::source_location& caller) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old, caller);
  return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK spinLock) { *spinLock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql, const std::source_location& caller) {
  *oldIrql = KeAcquireSpinLockRaiseToDpc(spinLock, caller);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock, const std::source_location& caller) {
  ThreadRec* t = Current();
  RequireAtMostDispatch(t, "KeAcquireSpinLock", caller);
  KIRQL old = t->irql;
  SetIrql(t, std::max<KIRQL>(t->irql, DISPATCH_LEVEL));
  Acquire(t, spinLock, "KeAcquireSpinLock", caller);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql, const std::source_location& caller) {
  ThreadRec* t = Current();
  Release(t, spinLock, "KeReleaseSpinLock", caller);
  LowerTo(t, newIrql, "KeReleaseSpinLock", caller);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, const std::source_location& caller) {
  ThreadRec* t = Current();
  RequireDispatch(t, "KeAcquireSpinLockAtDpcLevel", caller);
  Acquire(t, spinLock, "KeAcquireSpinLockAtDpcLevel", caller);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock, const std::source_location& caller) {
  ThreadRec* t = Current();
  RequireDispatch(t, "KeReleaseSpinLockFromDpcLevel", caller);
  Release(t, spinLock, "KeReleaseSpinLockFromDpcLevel", caller);
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
