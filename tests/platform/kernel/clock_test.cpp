// The clock: virtual time, timed waits, determinism, time queries, real-time mode and
// the deadlock report.

#include <chrono>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {

using platform::clock::kTicksPerMillisecond;
using platform::clock::kTicksPerSecond;
using platform::verifier::Check;
using platform::testing::RelativeMs;

class ClockTest : public platform::testing::ExactTimingTest {};

TEST_F(ClockTest, TimedWaitTimesOutExactlyAtItsDeadline) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(500);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(platform::clock::Now(), 500 * kTicksPerMillisecond);

  // An absolute deadline (system time) ends the same way, exactly at that instant.
  LARGE_INTEGER absolute;
  absolute.QuadPart = platform::clock::ToSystemTime(700 * kTicksPerMillisecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
  EXPECT_EQ(platform::clock::Now(), 700 * kTicksPerMillisecond);

  // A deadline already passed ends at once, without moving the clock.
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
  EXPECT_EQ(platform::clock::Now(), 700 * kTicksPerMillisecond);
}

TEST_F(ClockTest, WaitEndsWhenSignalledBeforeItsDeadline) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  platform::clock::Thread setter("setter", [&] {
    LARGE_INTEGER delay = RelativeMs(120);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER timeout = RelativeMs(500);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_WAIT_0);
  EXPECT_EQ(platform::clock::Now(), 120 * kTicksPerMillisecond);
  setter.Join();
}

TEST_F(ClockTest, ZeroTimeoutPollsWithoutMovingTheClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  EXPECT_EQ(platform::clock::Now(), 0);
}

TEST_F(ClockTest, TenMinuteVirtualWaitTakesLittleWallTime) {
  const auto start = std::chrono::steady_clock::now();
  LARGE_INTEGER tenMinutes = RelativeMs(10 * 60 * 1000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &tenMinutes), STATUS_SUCCESS);
  const auto wall = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(platform::clock::Now(), 600 * kTicksPerSecond);
  EXPECT_LT(wall, std::chrono::milliseconds(500));
}

// A scenario of several threads, a periodic timer with a DPC, one-shot timers and
// events; every step is logged with the virtual time it happened at.
std::vector<std::pair<std::string, LONGLONG>> RunScenario() {
  struct Shared {
    std::vector<std::pair<std::string, LONGLONG>> log;
    KEVENT tick;     // synchronization: set by the DPC
    KEVENT stop;     // notification
    KTIMER periodic;
    KDPC dpc;
    int dpcRuns = 0;
    void Log(std::string what) { log.emplace_back(std::move(what), platform::clock::Now()); }
  } s;
  KeInitializeEvent(&s.tick, SynchronizationEvent, FALSE);
  KeInitializeEvent(&s.stop, NotificationEvent, FALSE);
  KeInitializeTimerEx(&s.periodic, NotificationTimer);
  KeInitializeDpc(
      &s.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* sh = static_cast<Shared*>(context);
        sh->Log("dpc " + std::to_string(++sh->dpcRuns));
        KeSetEvent(&sh->tick, IO_NO_INCREMENT, FALSE);
      },
      &s);
  KeSetTimerEx(&s.periodic, RelativeMs(3), 7, &s.dpc);

  platform::clock::Thread consumer("consumer", [&] {
    for (int i = 0; i < 5; ++i) {
      PVOID objects[] = {&s.stop, &s.tick};
      LARGE_INTEGER timeout = RelativeMs(4);
      NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
      s.Log("consumer " + std::to_string(status));
    }
  });
  platform::clock::Thread sleeper("sleeper", [&] {
    for (int i = 0; i < 4; ++i) {
      LARGE_INTEGER d = RelativeMs(5);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      s.Log("sleeper");
    }
    KeSetEvent(&s.stop, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER timeout = RelativeMs(1000);
  KeWaitForSingleObject(&s.stop, Executive, KernelMode, FALSE, &timeout);
  s.Log("stopped");
  consumer.Join();
  sleeper.Join();
  KeCancelTimer(&s.periodic);
  KeFlushQueuedDpcs();
  return s.log;
}

TEST_F(ClockTest, TwoRunsOfAScenarioRecordTheSameEventsAtTheSameTimes) {
  auto first = RunScenario();
  platform::clock::Reset();
  UseExactTiming();
  auto second = RunScenario();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  // The periodic DPC ran at 3, 10 and 17 ms before the sleeper stopped everything at 20 ms.
  std::vector<LONGLONG> dpcTimes;
  for (auto& [what, when] : first)
    if (what.rfind("dpc", 0) == 0) dpcTimes.push_back(when / kTicksPerMillisecond);
  EXPECT_EQ(dpcTimes, (std::vector<LONGLONG>{3, 10, 17}));
}

TEST_F(ClockTest, PerformanceCounterFollowsTheConfiguredFrequency) {
  LARGE_INTEGER frequency;
  EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 0);
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
  platform::clock::SetPerformanceFrequency(3'579'545);
  LARGE_INTEGER oneSecond = RelativeMs(1000);
  KeDelayExecutionThread(KernelMode, FALSE, &oneSecond);
  EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 3'579'545);
  EXPECT_EQ(frequency.QuadPart, 3'579'545);
  LARGE_INTEGER halfMs = RelativeMs(0);
  halfMs.QuadPart = -5'000;
  KeDelayExecutionThread(KernelMode, FALSE, &halfMs);
  // 1.0005 s at 3,579,545 Hz, truncated.
  EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 3'581'334);
  platform::clock::SetPerformanceFrequency(10'000'000);
  EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 10'005'000);
}

TEST_F(ClockTest, SystemInterruptAndTickTimesMoveTogether) {
  LARGE_INTEGER system0, ticks0;
  KeQuerySystemTime(&system0);
  KeQueryTickCount(&ticks0);
  EXPECT_EQ(system0.QuadPart, platform::clock::kDefaultSystemTimeOrigin);
  EXPECT_EQ(ticks0.QuadPart, 0);
  LARGE_INTEGER d = RelativeMs(100);
  KeDelayExecutionThread(KernelMode, FALSE, &d);
  LARGE_INTEGER system1, ticks1;
  KeQuerySystemTime(&system1);
  KeQueryTickCount(&ticks1);
  EXPECT_EQ(system1.QuadPart - system0.QuadPart, 100 * kTicksPerMillisecond);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(100 * kTicksPerMillisecond));
  EXPECT_EQ(ticks1.QuadPart, 100 * kTicksPerMillisecond / KeQueryTimeIncrement());
}

TEST_F(ClockTest, TimerResolutionRequestsAreRecorded) {
  const ULONG standard = platform::clock::TimerResolution();
  EXPECT_EQ(ExSetTimerResolution(10'000, TRUE), 10'000u);
  EXPECT_EQ(platform::clock::TimerResolution(), 10'000u);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), standard);
  auto calls = platform::clock::TimerResolutionCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].desiredTime, 10'000u);
  EXPECT_TRUE(calls[0].set);
  EXPECT_EQ(calls[1].desiredTime, 0u);
  EXPECT_FALSE(calls[1].set);
}

TEST_F(ClockTest, RealTimeModeFollowsTheMonotonicClock) {
  platform::clock::SetMode(platform::clock::Mode::RealTime);
  const auto start = std::chrono::steady_clock::now();
  const LONGLONG virtualStart = platform::clock::Now();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(20);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  EXPECT_GE(platform::clock::Now() - virtualStart, 20 * kTicksPerMillisecond);
  platform::clock::SetMode(platform::clock::Mode::Virtual);
  const LONGLONG frozen = platform::clock::Now();
  EXPECT_EQ(platform::clock::Now(), frozen);
}

TEST_F(ClockTest, DeadlockIsReportedWithWhatEachThreadWaitsFor) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  platform::clock::Thread blocked("blocked worker", [&] {
    // Waits for the mutex the test thread holds; ends once the test releases it.
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
  });
  platform::verifier::ScopedCapture capture;
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_POSSIBLE_DEADLOCK);
  ASSERT_EQ(capture.violations().size(), 1u);
  const auto& v = capture.violations()[0];
  EXPECT_EQ(v.check, Check::Deadlock);
  EXPECT_NE(v.detail.find("'blocked worker'"), std::string::npos) << v.detail;
  EXPECT_NE(v.detail.find("owned by 'test'"), std::string::npos) << v.detail;
  EXPECT_NE(v.detail.find("'test'"), std::string::npos) << v.detail;
  EXPECT_NE(v.caller.find("clock_test.cpp"), std::string::npos);
  KeReleaseMutex(&mutex, FALSE);
  blocked.Join();
}

TEST_F(ClockTest, StuckWaitIsADeadlockOnceTimePassesTheHorizonWhileTimersRun) {
  // A periodic timer keeps virtual time moving, but nothing will ever set the event.
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeSetTimerEx(&timer, RelativeMs(1000), 1000, &dpc);
  platform::clock::SetDeadlockHorizon(60 * kTicksPerSecond);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  platform::verifier::ScopedCapture capture;
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_POSSIBLE_DEADLOCK);
  EXPECT_TRUE(capture.Saw(Check::Deadlock));
  EXPECT_GT(platform::clock::Now(), 60 * kTicksPerSecond);
  EXPECT_LE(platform::clock::Now(), 62 * kTicksPerSecond);
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
}

TEST_F(ClockTest, RegisteringAPlatformThreadAgainChangesNothing) {
  EXPECT_TRUE(platform::clock::IsPlatformThread());
  bool insideIsPlatform = false, afterIsPlatform = false;
  platform::clock::Thread worker("worker", [&] {
    {
      platform::clock::ScopedPlatformThread again("again");
      insideIsPlatform = platform::clock::IsPlatformThread();
    }
    platform::clock::SleepFor(5 * kTicksPerMillisecond);
    afterIsPlatform = platform::clock::IsPlatformThread();
  });
  worker.Join();
  EXPECT_TRUE(insideIsPlatform);
  EXPECT_TRUE(afterIsPlatform);
  EXPECT_EQ(platform::clock::Now(), 5 * kTicksPerMillisecond);
  bool foreign = true;
  std::thread([&] { foreign = !platform::clock::IsPlatformThread(); }).join();
  EXPECT_TRUE(foreign);
}

}  // namespace
