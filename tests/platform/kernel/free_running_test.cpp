// Free-running mode (builds with UA_FREE_RUNNING, the tsan preset): the virtual
// processors run in parallel on their own OS threads and the real-time clock. The
// platform's spin locks, interlocked operations, events and DPCs must synchronise what
// they promise to, so ThreadSanitizer stays silent on these; elsewhere they are skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/sched.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {

class FreeRunning : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (!platform::sched::FreeRunningBuilt()) GTEST_SKIP() << "needs a UA_FREE_RUNNING build";
    platform::sched::Configure({.freeRunning = true});
  }
  void TearDown() override {
    if (platform::sched::FreeRunningBuilt()) {
      KeFlushQueuedDpcs();
      platform::sched::Configure({});
    }
    KernelTest::TearDown();
  }
};

constexpr int kRounds = 20000;

struct Shared {
  KSPIN_LOCK lock;
  long locked = 0;  // only under the lock
  LONG interlocked = 0;
  KDPC dpc;
  Shared() {
    KeInitializeSpinLock(&lock);
    KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) { static_cast<Shared*>(c)->AddAtDpcLevel(); }, this);
    KeSetTargetProcessorDpc(&dpc, 1);
  }
  void Add() {
    for (int i = 0; i < kRounds; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      ++locked;
      KeReleaseSpinLock(&lock, old);
      InterlockedIncrement(&interlocked);
    }
  }
  void AddAtDpcLevel() {
    for (int i = 0; i < kRounds; ++i) {
      KeAcquireSpinLockAtDpcLevel(&lock);
      ++locked;
      KeReleaseSpinLockFromDpcLevel(&lock);
      InterlockedIncrement(&interlocked);
    }
  }
};

TEST_F(FreeRunning, SpinLocksAndInterlockedOperationsKeepCountersExactAcrossProcessors) {
  Shared shared;
  KeInsertQueueDpc(&shared.dpc, nullptr, nullptr);
  platform::clock::Thread other("other", [&] { shared.Add(); });
  shared.Add();
  other.Join();
  KeFlushQueuedDpcs();
  EXPECT_EQ(shared.locked, 3L * kRounds);
  EXPECT_EQ(shared.interlocked, 3 * kRounds);
}

// A spin on a lock its holder never lets go is reported, naming the holder, instead of
// hanging the run (after the spin bound of two seconds); the acquisition is given up.
TEST_F(FreeRunning, ASpinOnALockHeldTooLongIsReportedWithItsHolder) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::atomic<bool> held{false}, release{false};
  platform::verifier::ScopedCapture capture;
  platform::clock::Thread holder("holder", [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    held = true;
    while (!release) std::this_thread::yield();
    KeReleaseSpinLock(&lock, old);
  });
  while (!held) std::this_thread::yield();
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeReleaseSpinLock(&lock, old);
  release = true;
  holder.Join();
  ASSERT_TRUE(capture.Saw(platform::verifier::Check::Deadlock));
  EXPECT_NE(capture.violations()[0].detail.find("held by 'holder'"), std::string::npos)
      << capture.violations()[0].detail;
}

TEST_F(FreeRunning, ProcessorsRunInParallel) {
  // The test thread waits for the DPC by spinning, which only ends when the DPC runs on
  // its own processor at the same time (with turns it would never run).
  struct Flag {
    LONG set = 0;
    KDPC dpc;
  } flag;
  KeInitializeDpc(&flag.dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
    InterlockedExchange(&static_cast<Flag*>(c)->set, 1);
  }, &flag);
  KeSetTargetProcessorDpc(&flag.dpc, 1);
  KeInsertQueueDpc(&flag.dpc, nullptr, nullptr);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (InterlockedCompareExchange(&flag.set, 0, 0) == 0 && std::chrono::steady_clock::now() < until) {
  }
  EXPECT_EQ(flag.set, 1);
}

TEST_F(FreeRunning, EventsHandDataOverBetweenThreads) {
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  long value = 0;  // plain data, ordered by the events alone
  platform::clock::Thread partner("partner", [&] {
    for (int i = 0; i < 200; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      ++value;
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  for (int i = 0; i < 200; ++i) {
    ++value;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
  }
  partner.Join();
  EXPECT_EQ(value, 400);
}

TEST_F(FreeRunning, TimersFireOnTheRealTimeClock) {
  struct Tick {
    KTIMER timer;
    KDPC dpc;
    KEVENT fired;
    LONGLONG at = 0;
  } tick;
  KeInitializeTimer(&tick.timer);
  KeInitializeEvent(&tick.fired, NotificationEvent, FALSE);
  KeInitializeDpc(&tick.dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
    auto* t = static_cast<Tick*>(c);
    t->at = platform::clock::Now();
    KeSetEvent(&t->fired, IO_NO_INCREMENT, FALSE);
  }, &tick);
  const LONGLONG start = platform::clock::Now();
  KeSetTimer(&tick.timer, platform::testing::RelativeMs(5), &tick.dpc);
  EXPECT_EQ(KeWaitForSingleObject(&tick.fired, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_GE(tick.at - start, 5 * platform::clock::kTicksPerMillisecond);
}

}  // namespace
