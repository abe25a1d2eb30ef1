// IRQL tracking, spin locks and interlocked operations.

#include <thread>
#include <vector>

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {

using platform::verifier::Check;

class IrqlTest : public platform::testing::KernelTest {};

TEST_F(IrqlTest, RaiseAndLowerTrackTheLevelPerThread) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL seenElsewhere = HIGH_LEVEL;
  std::thread([&] { seenElsewhere = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(seenElsewhere, PASSIVE_LEVEL);
  KeLowerIrql(APC_LEVEL);
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, VerifierReportsRaisingDownAndLoweringUp) {
  platform::verifier::ScopedCapture capture;
  KeLowerIrql(DISPATCH_LEVEL);
  EXPECT_TRUE(capture.Saw(Check::IrqlMisuse));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(capture.violations().size(), 2u);
  EXPECT_EQ(capture.violations()[1].api, "KeRaiseIrql");
  EXPECT_NE(capture.violations()[1].caller.find("irql_test.cpp"), std::string::npos);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, EverySpinLockFormRaisesAndRestoresTheLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);

  old = KeAcquireSpinLockRaiseToDpc(&lock);
  KSPIN_LOCK inner;
  KeInitializeSpinLock(&inner);
  KeAcquireSpinLockAtDpcLevel(&inner);
  KeReleaseSpinLockFromDpcLevel(&inner);
  KLOCK_QUEUE_HANDLE queued;
  KeAcquireInStackQueuedSpinLockAtDpcLevel(&inner, &queued);
  KeReleaseInStackQueuedSpinLockFromDpcLevel(&queued);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);

  KeAcquireInStackQueuedSpinLock(&lock, &queued);
  EXPECT_EQ(queued.OldIrql, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseInStackQueuedSpinLock(&queued);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, SpinLockExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic: the lock must protect it
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        counter = counter + 1;
        KeReleaseInStackQueuedSpinLock(&handle);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(IrqlTest, VerifierReportsSpinLockMisuse) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  {
    platform::verifier::ScopedCapture capture;
    KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
    EXPECT_TRUE(capture.Saw(Check::IrqlMisuse));
    KeReleaseSpinLockFromDpcLevel(&lock);
  }
  {
    platform::verifier::ScopedCapture capture;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);  // still holding the lock
    EXPECT_TRUE(capture.Saw(Check::IrqlMisuse));
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  }
  {
    platform::verifier::ScopedCapture capture;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    std::thread([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }).join();
    EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
    KeReleaseSpinLock(&lock, old);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST_F(IrqlTest, InterlockedOperationsReturnThePublishedValues) {
  LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
  EXPECT_EQ(value, 12);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12);  // no match: unchanged
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
  EXPECT_EQ(value, 1);
  int a = 0, b = 0;
  PVOID slot = &a;
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &b, nullptr), &a);
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &b, &a), &a);
  EXPECT_EQ(InterlockedExchangePointer(&slot, nullptr), &b);
  EXPECT_EQ(slot, nullptr);
}

}  // namespace
