#include "adapter/kernel_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {
class KernelMutex : public platform::testing::KernelTest {};

TEST_F(KernelMutex, LockIsRecursiveAndEachLockNeedsItsUnlock) {
  adapter::CKernelMutex mutex;
  EXPECT_TRUE(mutex.Lock());
  EXPECT_TRUE(mutex.Lock());
  EXPECT_TRUE(mutex.TryLock());  // the owner may take it again
  EXPECT_EQ(KeReadStateMutex(mutex.Mutex()), -2);
  EXPECT_TRUE(mutex.Unlock());
  EXPECT_TRUE(mutex.UnlockResident());
  EXPECT_TRUE(mutex.Unlock());
  EXPECT_EQ(KeReadStateMutex(mutex.Mutex()), 1);
}

TEST_F(KernelMutex, TryLockFromAnotherThreadFailsAtOnce) {
  adapter::CKernelMutex mutex;
  ASSERT_TRUE(mutex.Lock());
  std::atomic<int> result{-1};
  std::thread other([&] { result = mutex.TryLock() ? 1 : 0; });
  other.join();
  EXPECT_EQ(result.load(), 0);
  mutex.Unlock();
  std::thread again([&] {
    result = mutex.TryLock() ? 1 : 0;
    if (result == 1) mutex.Unlock();
  });
  again.join();
  EXPECT_EQ(result.load(), 1);
}

TEST_F(KernelMutex, SpareSlotsDoNothing) {
  adapter::CKernelMutex mutex;
  EXPECT_FALSE(mutex.Reserved1());
  EXPECT_FALSE(mutex.Reserved2());
  EXPECT_EQ(KeReadStateMutex(mutex.Mutex()), 1);
}

TEST_F(KernelMutex, UnlockByANonOwnerIsReported) {
  adapter::CKernelMutex mutex;
  mutex.Lock();
  platform::verifier::ScopedCapture capture;
  std::thread other([&] { mutex.Unlock(); });
  other.join();
  EXPECT_TRUE(capture.Saw(platform::verifier::Check::MutexNotOwned));
  mutex.Unlock();
}

TEST_F(KernelMutex, LockAboveApcLevelIsReported) {
  adapter::CKernelMutex mutex;
  platform::verifier::ScopedCapture capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(mutex.TryLock());  // resident: fine at DISPATCH_LEVEL
  mutex.UnlockResident();
  EXPECT_TRUE(capture.violations().empty());
  KeLowerIrql(old);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  mutex.Lock();
  KeLowerIrql(old);
  EXPECT_TRUE(capture.Saw(platform::verifier::Check::IrqlMisuse));
  mutex.Unlock();
}
}  // namespace
