// The gtest fixture every test suite that runs driver or platform code derives from.
//
// SetUp: makes every verifier report a test failure (with the API, the detail and the
// caller), resets the clock to virtual time 0, takes a pool mark and registers the test
// thread as a platform thread. TearDown: lets queued DPCs and work items finish, reports
// timers, DPCs, work items and system threads still pending, unregisters the thread and
// runs the pool's leak check on what the test allocated.
//
// Tests that provoke a verifier report on purpose wrap the faulty call in a
// platform::verifier::ScopedCapture and assert on what it collected.
//
// Writing tests on the virtual clock (kernel/clock.h):
// - start helper threads with platform::clock::Thread (or PsCreateSystemThread), not
//   std::thread, when they wait on or signal kernel objects: only platform threads hold
//   the clock, and only one of them runs at a time, in a reproducible order;
// - block only through kernel waits (KeWaitFor*, KeDelayExecutionThread, Thread::Join,
//   platform::clock::Settle/SleepFor); a platform thread blocked elsewhere (join of a
//   std::thread, a sleep) stops every other platform thread and the clock;
// - DPCs, work items and woken threads run when the test thread blocks: Settle() lets
//   them all run without moving time, a delay runs the clock forward;
// - assert on virtual times (platform::clock::Now()): they are exact and reproducible.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace platform::testing {

// A relative kernel due time of `ms` milliseconds (negative 100 ns units).
inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * clock::kTicksPerMillisecond;
  return t;
}

// Delays the calling thread by `ms` milliseconds of clock time.
inline void DelayMs(LONGLONG ms) {
  LARGE_INTEGER d = RelativeMs(ms);
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousHandler_ = verifier::SetHandler([](const verifier::Violation& v) {
      ADD_FAILURE() << "verifier: " << verifier::CheckName(v.check) << " in " << v.api << ": " << v.detail
                    << "\n  caller: " << v.caller;
    });
    clock::Reset();
    leaks_.emplace();
    thread_.emplace("test");
  }

  void TearDown() override {
    clock::Settle();
    thread_.reset();
    // Reports (and forgets) timers, DPCs and work items still pending and threads alive.
    clock::Reset();
    leaks_->Check();
    leaks_.reset();
    verifier::SetHandler(std::move(previousHandler_));
  }

 private:
  verifier::Handler previousHandler_;
  std::optional<pool::LeakScope> leaks_;
  std::optional<clock::ScopedPlatformThread> thread_;
};

}  // namespace platform::testing
