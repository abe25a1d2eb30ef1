// The gtest fixture every test suite that runs driver or platform code derives from.
//
// SetUp: makes every verifier report stop the test at once, as a bug check would (it
// prints the check, the API, the detail, the caller and the seed that replays it, then
// aborts), resets the clock to virtual time 0, sets the scheduler seed (UA_SEED from the
// environment, 0 when unset; with --gtest_repeat each repetition takes the next seed and
// prints it as it starts), takes a pool mark and registers the test thread as a platform
// thread. TearDown: lets queued DPCs and work items finish, reports timers, DPCs, work
// items and system threads still pending, unregisters the thread, checks the freed blocks
// in the pool's quarantine for late writes and runs the pool's leak check on what the
// test allocated. Every failure is headed by the seed and the
// command that replay it.
//
// Tests that provoke a verifier report on purpose opt into continuing: they wrap the
// faulty call in a platform::verifier::ScopedCapture and assert on what it collected.
//
// Writing tests on the virtual clock (kernel/clock.h):
// - start helper threads with platform::clock::Thread (or PsCreateSystemThread), not
//   std::thread, when they wait on or signal kernel objects: only platform threads hold
//   the clock, and only one of them runs at a time, in a reproducible order;
// - block only through kernel waits (KeWaitFor*, KeDelayExecutionThread, Thread::Join,
//   platform::clock::Settle/SleepFor); a platform thread blocked elsewhere (join of a
//   std::thread, a sleep) stops every other platform thread and the clock;
// - DPCs, work items and woken threads run when the test thread blocks (with a non-zero
//   seed also at preemption points): Settle() lets them all run without moving time, a
//   delay runs the clock forward; lowering IRQL below DISPATCH_LEVEL runs the DPCs the
//   thread's processor has queued at once;
// - a test that asserts the fixed order of seed 0 (a DPC has not run yet, who wakes
//   first) skips itself under other seeds: `if (seed()) GTEST_SKIP()`;
// - race searches run a scenario under many seeds with SeedsWhere;
// - assert on virtual times (platform::clock::Now()): they are exact and reproducible.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/pool.h"
#include "kernel/sched.h"
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

// The gtest repetition running (0 for the first), taken from the iteration events: the
// global environments are set up again on each repetition only in some gtest versions
// or under --gtest_recreate_environments_when_repeating, the iteration events always.
int Repetition();

// The scheduler seed of this run: UA_SEED plus the repetition when UA_SEED is set, so
// --gtest_repeat=N runs N consecutive seeds; 0 (the fixed order) when it is not.
std::uint64_t RunSeed();

// The seed of the test running now, for the failure messages (the fixture sets it).
void NoteTestSeed(std::uint64_t seed);

// Registers the listener that follows the repetitions, prints the seed at the start of
// each and ahead of every failure with the command that replays it (seeds.cpp).
bool InstallSeedListener();
inline const bool kSeedListenerInstalled = InstallSeedListener();

// Runs `scenario` once under each seed first .. first+count-1 (each run starts from a
// settled clock with that seed) and returns the seeds under which it returned true.
inline std::vector<std::uint64_t> SeedsWhere(std::uint64_t first, unsigned count,
                                             const std::function<bool()>& scenario,
                                             sched::Options options = {}) {
  std::vector<std::uint64_t> found;
  const sched::Options previous = sched::Current();
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    clock::Settle();
    options.seed = seed;
    sched::Configure(options);
    if (scenario()) found.push_back(seed);
    clock::Settle();
  }
  sched::Configure(previous);
  return found;
}

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A finding stops the test at once, as a bug check would, with the seed that replays it.
    previousHandler_ = verifier::SetHandler([this](const verifier::Violation& v) {
      const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
      const auto seed = static_cast<unsigned long long>(seed_);
      std::fprintf(stderr,
                   "VERIFIER STOP: %s in %s: %s\n  caller: %s\n  test %s.%s, scheduler seed %llu; replay with "
                   "UA_SEED=%llu and --gtest_filter=%s.%s\n",
                   verifier::CheckName(v.check), v.api.c_str(), v.detail.c_str(), v.caller.c_str(),
                   info ? info->test_suite_name() : "?", info ? info->name() : "?", seed, seed,
                   info ? info->test_suite_name() : "*", info ? info->name() : "*");
      std::fflush(stderr);
      std::abort();
    });
    clock::Reset();
    verifier::ResetLockOrder();
    verifier::TakeStreamFindings();  // what an earlier fixture-less test left
    seed_ = RunSeed();
    NoteTestSeed(seed_);
    sched::Configure({.seed = seed_});
    leaks_.emplace();
    thread_.emplace("test");
  }

  void TearDown() override {
    clock::Settle();
    thread_.reset();
    // Reports (and forgets) timers, DPCs and work items still pending and threads alive.
    clock::Reset();
    // Blocks freed during the test leave the quarantine: a late write fails this test.
    pool::CheckQuarantine();
    leaks_->Check();
    verifier::ResetLockOrder();
    CheckStreamFindings();
    leaks_.reset();
    sched::Configure({});
    verifier::SetHandler(std::move(previousHandler_));
  }

  std::uint64_t seed() const { return seed_; }

  // Declares stream findings (a device glitch, an engine check) the test provokes on
  // purpose: `kind` is the finding's kind (the device's "underrun", "overrun", "missed
  // packets", "late packets", "pattern break", "gap", or an engine issue name such as
  // "position stalled" or "position off the device"); `source` narrows it ("device",
  // "engine"; empty: any).
  void ExpectStreamFinding(std::string kind, std::string source = {}) {
    expectedFindings_.push_back({std::move(source), std::move(kind)});
  }
  // Takes the stream findings reported so far (a test that checks them itself); the
  // taken ones no longer count at teardown.
  static std::vector<verifier::StreamFinding> TakeStreamFindings() { return verifier::TakeStreamFindings(); }
  // Timers on their exact due times, DPCs without latency, URB completions at each frame
  // end: for tests that check exact timing (the default is realistic, clock::Timing).
  static void UseExactTiming() { clock::SetTiming(clock::Timing::Exact()); }

 private:
  // Every stream finding the test did not declare fails it, with its source, time and detail.
  void CheckStreamFindings() {
    for (const auto& f : verifier::TakeStreamFindings()) {
      bool declared = false;
      for (const auto& [source, kind] : expectedFindings_)
        declared = declared || (f.kind == kind && f.source.rfind(source, 0) == 0);
      if (!declared)
        ADD_FAILURE() << "stream finding not declared by the test: " << f.source << ": " << f.kind << " at "
                      << f.time / 10000.0 << " ms: " << f.detail
                      << " (a test that provokes it declares it with ExpectStreamFinding)";
    }
    expectedFindings_.clear();
  }

  std::vector<std::pair<std::string, std::string>> expectedFindings_;
  verifier::Handler previousHandler_;
  std::uint64_t seed_ = 0;
  std::optional<pool::LeakScope> leaks_;
  std::optional<clock::ScopedPlatformThread> thread_;
};

// A KernelTest on exact timing.
class ExactTimingTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    UseExactTiming();
  }
};

}  // namespace platform::testing
