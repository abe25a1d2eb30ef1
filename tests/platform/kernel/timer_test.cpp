// Timers and DPCs.

#include <string>
#include <vector>

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {

using platform::clock::kTicksPerMillisecond;
using platform::verifier::Check;
using platform::testing::RelativeMs;
using platform::testing::DelayMs;

struct DpcRecord {
  LONGLONG ms;
  KIRQL irql;
  std::string name;
  bool operator==(const DpcRecord&) const = default;
};

struct Recorder {
  std::vector<DpcRecord> runs;
  static void Routine(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<Recorder*>(context);
    self->runs.push_back({platform::clock::Now() / kTicksPerMillisecond, KeGetCurrentIrql(),
                          std::string(1, static_cast<char>(dpc->Number))});
  }
};

class TimerTest : public platform::testing::ExactTimingTest {};

TEST_F(TimerTest, PeriodicTimerDpcRunsAtDispatchLevelAtItsTimesUntilCancelled) {
  Recorder recorder;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeInitializeDpc(&dpc, Recorder::Routine, &recorder);
  dpc.Number = 'p';
  EXPECT_FALSE(KeSetTimerEx(&timer, RelativeMs(10), 5, &dpc));
  DelayMs(27);
  EXPECT_TRUE(KeCancelTimer(&timer));
  DelayMs(100);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_EQ(recorder.runs, (std::vector<DpcRecord>{{10, DISPATCH_LEVEL, "p"},
                                                   {15, DISPATCH_LEVEL, "p"},
                                                   {20, DISPATCH_LEVEL, "p"},
                                                   {25, DISPATCH_LEVEL, "p"}}));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(TimerTest, TimersDueAtTheSameInstantFireByDeadlineThenArmingOrder) {
  Recorder recorder;
  KTIMER timers[4];
  KDPC dpcs[4];
  const char names[] = "cabz";
  for (int i = 0; i < 4; ++i) {
    KeInitializeTimer(&timers[i]);
    KeInitializeDpc(&dpcs[i], Recorder::Routine, &recorder);
    dpcs[i].Number = static_cast<USHORT>(names[i]);
  }
  KeSetTimer(&timers[0], RelativeMs(20), &dpcs[0]);  // c
  KeSetTimer(&timers[1], RelativeMs(20), &dpcs[1]);  // a
  KeSetTimer(&timers[3], RelativeMs(10), &dpcs[3]);  // z, earlier
  LARGE_INTEGER absolute;
  absolute.QuadPart = platform::clock::ToSystemTime(20 * kTicksPerMillisecond);
  KeSetTimer(&timers[2], absolute, &dpcs[2]);  // b, same instant, armed last
  DelayMs(50);
  EXPECT_EQ(recorder.runs, (std::vector<DpcRecord>{{10, DISPATCH_LEVEL, "z"},
                                                   {20, DISPATCH_LEVEL, "c"},
                                                   {20, DISPATCH_LEVEL, "a"},
                                                   {20, DISPATCH_LEVEL, "b"}}));
}

TEST_F(TimerTest, TimerIsAWaitableObject) {
  KTIMER notification, synchronization;
  KeInitializeTimerEx(&notification, NotificationTimer);
  KeInitializeTimerEx(&synchronization, SynchronizationTimer);
  KeSetTimer(&notification, RelativeMs(30), nullptr);
  KeSetTimer(&synchronization, RelativeMs(30), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&notification));
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_EQ(platform::clock::Now(), 30 * kTicksPerMillisecond);
  EXPECT_TRUE(KeReadStateTimer(&notification));
  EXPECT_TRUE(KeReadStateTimer(&synchronization));
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_FALSE(KeReadStateTimer(&synchronization));  // a synchronization timer resets
  // Setting a timer again re-arms it and clears its state.
  EXPECT_FALSE(KeSetTimer(&notification, RelativeMs(10), nullptr));
  EXPECT_TRUE(KeSetTimer(&notification, RelativeMs(20), nullptr));
  EXPECT_FALSE(KeReadStateTimer(&notification));
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_EQ(platform::clock::Now(), 50 * kTicksPerMillisecond);
}

TEST_F(TimerTest, DpcQueueRunsInOrderAndOnlyOncePerInsertion) {
  if (seed()) GTEST_SKIP() << "checks the fixed order of seed 0";
  Recorder recorder;
  KDPC first, second, urgent;
  KeInitializeDpc(&first, Recorder::Routine, &recorder);
  KeInitializeDpc(&second, Recorder::Routine, &recorder);
  KeInitializeDpc(&urgent, Recorder::Routine, &recorder);
  first.Number = '1';
  second.Number = '2';
  urgent.Number = '!';
  KeSetImportanceDpc(&urgent, HighImportance);
  EXPECT_TRUE(KeInsertQueueDpc(&first, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&first, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&urgent, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&second));
  EXPECT_FALSE(KeRemoveQueueDpc(&second));
  EXPECT_TRUE(recorder.runs.empty());  // DPCs run once the queuing thread blocks
  KeFlushQueuedDpcs();
  EXPECT_EQ(recorder.runs, (std::vector<DpcRecord>{{0, DISPATCH_LEVEL, "!"}, {0, DISPATCH_LEVEL, "1"}}));
}

TEST_F(TimerTest, DpcPassesItsArgumentsAndTimerDpcGetsTheSystemTime) {
  struct Seen {
    PVOID context = nullptr, a1 = nullptr, a2 = nullptr;
  } seen;
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID context, PVOID a1, PVOID a2) {
        auto* s = static_cast<Seen*>(context);
        s->context = context;
        s->a1 = a1;
        s->a2 = a2;
      },
      &seen);
  int x = 0, y = 0;
  KeInsertQueueDpc(&dpc, &x, &y);
  KeFlushQueuedDpcs();
  EXPECT_EQ(seen.context, &seen);
  EXPECT_EQ(seen.a1, &x);
  EXPECT_EQ(seen.a2, &y);
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, RelativeMs(3), &dpc);
  DelayMs(5);
  ULARGE_INTEGER due;
  due.QuadPart = static_cast<ULONGLONG>(platform::clock::ToSystemTime(3 * kTicksPerMillisecond));
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(seen.a1), due.u.LowPart);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(seen.a2), due.u.HighPart);
}

TEST_F(TimerTest, VerifierReportsADpcThatReturnsHoldingASpinLock) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
  platform::verifier::ScopedCapture capture;
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(capture.Saw(Check::LockHeldAtExit));
  KeInitializeSpinLock(&lock);
}

TEST_F(TimerTest, TimerLeftArmedIsReportedAtTeardown) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, RelativeMs(1000), nullptr);
  platform::verifier::ScopedCapture capture;
  EXPECT_FALSE(platform::clock::CheckQuiescent());
  EXPECT_TRUE(capture.Saw(Check::LeakAtTeardown));
  KeCancelTimer(&timer);
  EXPECT_TRUE(platform::clock::CheckQuiescent());
}

TEST_F(TimerTest, FreeingPoolThatHoldsAnArmedTimerOrQueuedDpcIsReported) {
  if (seed()) GTEST_SKIP() << "checks the fixed order of seed 0";
  struct Owner {
    KTIMER timer;
    KDPC dpc;
    KDPC queued;
  };
  auto* owner = static_cast<Owner*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Owner), MakePoolTag('T', 'm', 'r', 'O')));
  ASSERT_NE(owner, nullptr);
  KeInitializeTimer(&owner->timer);
  KeInitializeDpc(&owner->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "ran after its memory was freed"; },
                  nullptr);
  KeInitializeDpc(&owner->queued, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "ran after its memory was freed"; },
                  nullptr);
  KeSetTimerEx(&owner->timer, RelativeMs(10), 10, &owner->dpc);
  KeInsertQueueDpc(&owner->queued, nullptr, nullptr);
  {
    platform::verifier::ScopedCapture capture;
    ExFreePoolWithTag(owner, MakePoolTag('T', 'm', 'r', 'O'));
    ASSERT_EQ(capture.violations().size(), 2u);
    EXPECT_EQ(capture.violations()[0].check, Check::ObjectFreedInUse);
    EXPECT_NE(capture.violations()[0].detail.find("still armed"), std::string::npos);
    EXPECT_NE(capture.violations()[1].detail.find("still queued"), std::string::npos);
    EXPECT_NE(capture.violations()[1].caller.find("timer_test.cpp"), std::string::npos);
  }
  // Both were unlinked, so nothing touches the freed memory afterwards.
  DelayMs(50);
  EXPECT_TRUE(platform::clock::CheckQuiescent());
}

TEST_F(TimerTest, DueTimeAlreadyPassedFiresAtOnceAndZeroDelayLetsOthersRunFirst) {
  DelayMs(10);
  Recorder recorder;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, Recorder::Routine, &recorder);
  dpc.Number = 'x';
  LARGE_INTEGER past;
  past.QuadPart = platform::clock::ToSystemTime(2 * kTicksPerMillisecond);
  KeSetTimer(&timer, past, &dpc);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(recorder.runs, (std::vector<DpcRecord>{{10, DISPATCH_LEVEL, "x"}}));
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_EQ(platform::clock::Now(), 10 * kTicksPerMillisecond);
}

TEST_F(TimerTest, PeriodicTimerRunsInRealTimeMode) {
  platform::clock::SetMode(platform::clock::Mode::RealTime);
  struct Counter {
    int runs = 0;
    KEVENT third;
  } counter;
  KeInitializeEvent(&counter.third, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID p, PVOID, PVOID) {
        auto* c = static_cast<Counter*>(p);
        if (++c->runs == 3) KeSetEvent(&c->third, IO_NO_INCREMENT, FALSE);
      },
      &counter);
  KeSetTimerEx(&timer, RelativeMs(2), 2, &dpc);
  LARGE_INTEGER timeout = RelativeMs(5000);
  EXPECT_EQ(KeWaitForSingleObject(&counter.third, Executive, KernelMode, FALSE, &timeout), STATUS_WAIT_0);
  EXPECT_GE(platform::clock::Now(), 6 * kTicksPerMillisecond);
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
  platform::clock::SetMode(platform::clock::Mode::Virtual);
}

}  // namespace
