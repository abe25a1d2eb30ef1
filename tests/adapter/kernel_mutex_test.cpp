// CKernelMutex: recursion, TryLock against another owner, and the pageable operations.
#include "adapter/kernel_mutex.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/kernel_fixture.h"

namespace {
class KernelMutex : public platform::testing::KernelTest {};

TEST_F(KernelMutex, OwnerTakesItAgainAndEachLockNeedsItsUnlock) {
  adapter::CKernelMutex mutex;
  EXPECT_TRUE(mutex.Lock());
  EXPECT_TRUE(mutex.TryLock());
  EXPECT_TRUE(mutex.UnlockResident());
  bool other = true;
  std::thread([&] { other = mutex.TryLock(); }).join();  // a zero time-out: no wait
  EXPECT_FALSE(other) << "still held once";
  EXPECT_TRUE(mutex.Unlock());
  std::thread([&] { other = mutex.TryLock() && mutex.Unlock(); }).join();
  EXPECT_TRUE(other);
}

TEST_F(KernelMutex, OnlyTryLockAndTheResidentUnlockRunAboveApcLevel) {
  adapter::CKernelMutex mutex;
  platform::verifier::ScopedCapture capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(mutex.TryLock());
  mutex.UnlockResident();
  EXPECT_TRUE(capture.violations().empty());
  mutex.Lock();
  mutex.Unlock();
  KeLowerIrql(old);
  for (const char* api : {"CKernelMutex::Lock", "CKernelMutex::Unlock"}) {
    bool seen = false;
    for (const auto& v : capture.violations()) seen |= v.check == platform::verifier::Check::IrqlMisuse && v.api == api;
    EXPECT_TRUE(seen) << api;
  }
}
}  // namespace
