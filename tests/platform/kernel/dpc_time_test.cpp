// The DPC time limit and the dispatch watchdog under the machine's load: a run twice the
// bound or more is reported at once, every time; a run a little over it (what a
// disturbance of the thread does to one run) only when it is the second over the bound
// in the test; the platform's own work inside a routine is not charged to it.
//
// The routines spin on their thread's processor time, in thousandths of the bound in
// force (sanitizer builds scale the bounds, and so the spins). A spin reads at least its
// length, so the rows that must be reported are exact; the rows that must stay silent
// keep a margin of several milliseconds to the threshold they must not reach.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/platform_work.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {

using platform::verifier::Check;
using platform::verifier::ScopedCapture;
using platform::verifier::ScopedDispatchWatchdog;
using platform::verifier::ScopedDpcTimeLimit;
using platform::verifier::ScopedPlatformWork;
using platform::verifier::Violation;

long long CpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Spins for `permille` thousandths of `boundUs` microseconds of processor time.
void Spin(unsigned long long boundUs, unsigned permille) {
  const long long until = CpuNs() + static_cast<long long>(boundUs * permille);
  volatile unsigned long long work = 0;
  do {
    for (int i = 0; i < 1000; ++i) work = work + 1;
  } while (CpuNs() < until);
}

// An address as the verifier's reports print it.
std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string Describe(const std::vector<Violation>& vs) {
  std::string out;
  for (const auto& v : vs) out += "  " + std::string(platform::verifier::CheckName(v.check)) + ": " + v.detail + "\n";
  return out.empty() ? "  nothing\n" : out;
}

// ---- the DPC time limit ---------------------------------------------------------------

// One run of the routine: its own spin, and a spin inside the platform's own work (in
// two nested scopes, which count once).
struct Run {
  unsigned own;
  unsigned platform = 0;
};

struct Spinner {
  KDPC dpc;
  Run run{};
  static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
    const Run& r = static_cast<Spinner*>(context)->run;
    const unsigned long long limit = platform::verifier::DpcTimeLimit();
    Spin(limit, r.own);
    if (r.platform) {
      ScopedPlatformWork outer;
      ScopedPlatformWork inner;
      Spin(limit, r.platform);
    }
  }
};

struct DpcRow {
  const char* what;
  unsigned long long limitUs;
  std::vector<Run> runs;
  std::vector<size_t> reported;  // the runs that must be reported
  const char* detailHas = "";     // in each report
};

const DpcRow kDpcRows[] = {
    {"a routine spinning 2 ms against the 1 ms limit is reported on its first run", 1000, {{2000}}, {0},
     "and the run is twice the limit or more"},
    {"a routine spinning 2 ms on each run is reported on every run", 1000, {{2000}, {2000}, {2000}}, {0, 1, 2},
     "twice the limit"},
    {"one run a little over the limit is not reported", 5000, {{1200}}, {}},
    {"a second run over the limit in the test is reported, naming the first", 5000, {{1200}, {300}, {1200}}, {2},
     "an earlier run of the routine in this test used"},
    {"the platform's own work in a routine is not charged to it", 5000, {{300, 3000}}, {}},
    {"a report says what was not charged", 1000, {{2100, 1000}}, {0}, "us of the platform's own work"},
};

class DpcTimeRule : public platform::testing::KernelTest, public ::testing::WithParamInterface<DpcRow> {};

TEST_P(DpcTimeRule, ReportsTheRunsTheRuleNames) {
  const DpcRow& row = GetParam();
  ScopedDispatchWatchdog noWatchdog(0);
  ScopedDpcTimeLimit limit(row.limitUs);
  ScopedCapture capture;
  Spinner s;
  KeInitializeDpc(&s.dpc, Spinner::Routine, &s);
  std::vector<size_t> reported;
  for (size_t i = 0; i < row.runs.size(); ++i) {
    const size_t before = capture.violations().size();
    s.run = row.runs[i];
    KeInsertQueueDpc(&s.dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    if (capture.violations().size() != before) reported.push_back(i);
  }
  EXPECT_EQ(reported, row.reported) << row.what << ", saw\n" << Describe(capture.violations());
  for (const Violation& v : capture.violations()) {
    EXPECT_EQ(v.check, Check::DpcTooLong) << row.what;
    EXPECT_NE(v.detail.find(row.detailHas), std::string::npos) << row.what << ": " << v.detail;
    EXPECT_NE(v.detail.find("DPC routine " + Hex(reinterpret_cast<const void*>(&Spinner::Routine))),
              std::string::npos)
        << v.detail;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DpcTimeRule, ::testing::ValuesIn(kDpcRows),
                         [](const ::testing::TestParamInfo<DpcRow>& info) { return std::to_string(info.index); });

// The record of runs over the limit starts again when a limit is set (and with each test).
class DpcTimeRecord : public platform::testing::KernelTest {};

TEST_F(DpcTimeRecord, SettingTheLimitStartsANewRecord) {
  ScopedDispatchWatchdog noWatchdog(0);
  ScopedCapture capture;
  Spinner s;
  KeInitializeDpc(&s.dpc, Spinner::Routine, &s);
  for (int round = 0; round < 2; ++round) {
    ScopedDpcTimeLimit limit(5000);
    s.run = {1200};
    KeInsertQueueDpc(&s.dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
  }
  EXPECT_TRUE(capture.violations().empty()) << Describe(capture.violations());
}

// A routine that gives the turn to another context in its run is charged its own slices
// only: the thread that spins meanwhile (15 ms against the 5 ms limit) is not the
// routine's. Seeds whose preemption points hand the thread the turn inside the run show it.
struct Interrupted {
  KDPC dpc;
  KEVENT go;
  std::atomic<bool> inRun{false};
  std::atomic<bool> threadRanInside{false};
  static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<Interrupted*>(context);
    const unsigned long long limit = platform::verifier::DpcTimeLimit();
    r->inRun = true;
    KeSetEvent(&r->go, IO_NO_INCREMENT, FALSE);
    Spin(limit, 200);
    for (int i = 0; i < 32; ++i) platform::sched::PreemptionPoint("test");
    Spin(limit, 200);
    r->inRun = false;
  }
};

TEST_F(DpcTimeRecord, TheTurnsOfOtherContextsInARunAreNotCharged) {
  if (platform::sched::Current().freeRunning) GTEST_SKIP() << "contexts take turns only outside the free-running build";
  ScopedDispatchWatchdog noWatchdog(0);
  ScopedDpcTimeLimit limit(5000);
  ScopedCapture capture;
  const auto inside = platform::testing::SeedsWhere(1, 40, [] {
    Interrupted r;
    KeInitializeEvent(&r.go, NotificationEvent, FALSE);
    KeInitializeDpc(&r.dpc, Interrupted::Routine, &r);
    platform::clock::Thread spinner("spinner", [&r] {
      // The routine runs on the other processor: a DPC holds its own processor.
      KeSetTargetProcessorDpc(&r.dpc, static_cast<CCHAR>(KeGetCurrentProcessorNumber() == 0 ? 1 : 0));
      KeInsertQueueDpc(&r.dpc, nullptr, nullptr);
      KeWaitForSingleObject(&r.go, Executive, KernelMode, FALSE, nullptr);
      Spin(platform::verifier::DpcTimeLimit(), 3000);
      r.threadRanInside = r.inRun.load();
    });
    spinner.Join();
    KeFlushQueuedDpcs();
    return r.threadRanInside.load();
  });
  EXPECT_FALSE(inside.empty()) << "no seed gave the spinning thread the turn inside the routine's run";
  EXPECT_TRUE(capture.violations().empty()) << Describe(capture.violations());
}

// ---- the dispatch watchdog ------------------------------------------------------------

// A chain of DPCs back to back on processor 1, spinning `permille` of the watchdog's
// bound between them: one run at DISPATCH_LEVEL.
struct Chain {
  KDPC dpc;
  KEVENT done;
  int left = 0;
  unsigned each = 0;
  static constexpr int kLinks = 10;
  static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<Chain*>(context);
    Spin(platform::verifier::DispatchWatchdog(), c->each);
    if (--c->left > 0)
      KeInsertQueueDpc(&c->dpc, nullptr, nullptr);
    else
      KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
  }
  void Go(unsigned permille) {
    left = kLinks;
    each = (permille + kLinks - 1) / kLinks;
    KeClearEvent(&done);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    KeFlushQueuedDpcs();
  }
};

struct WatchdogRow {
  const char* what;
  std::vector<unsigned> chains;  // thousandths of the bound, one run each
  std::vector<size_t> reported;
  const char* detailHas = "";
};

const WatchdogRow kWatchdogRows[] = {
    {"a run twice the bound is reported at once", {2000}, {0}, "and the run is twice the bound or more"},
    {"one run a little over the bound is not reported", {1200}, {}},
    {"a second run over the bound in the test is reported, naming the first", {1200, 300, 1200}, {2},
     "an earlier run in this test spent"},
};

class WatchdogRule : public platform::testing::KernelTest, public ::testing::WithParamInterface<WatchdogRow> {};

TEST_P(WatchdogRule, ReportsTheRunsTheRuleNames) {
  const WatchdogRow& row = GetParam();
  ScopedDpcTimeLimit noLimit(0);
  ScopedDispatchWatchdog watchdog(5000);
  ScopedCapture capture;
  Chain c;
  KeInitializeEvent(&c.done, NotificationEvent, FALSE);
  KeInitializeDpc(&c.dpc, Chain::Routine, &c);
  KeSetTargetProcessorDpc(&c.dpc, 1);
  std::vector<size_t> reported;
  for (size_t i = 0; i < row.chains.size(); ++i) {
    const size_t before = capture.violations().size();
    c.Go(row.chains[i]);
    if (capture.violations().size() != before) reported.push_back(i);
  }
  EXPECT_EQ(reported, row.reported) << row.what << ", saw\n" << Describe(capture.violations());
  for (const Violation& v : capture.violations()) {
    EXPECT_EQ(v.check, Check::DispatchWatchdog) << row.what;
    EXPECT_NE(v.detail.find(row.detailHas), std::string::npos) << row.what << ": " << v.detail;
    EXPECT_NE(v.detail.find("processor 1 spent"), std::string::npos) << v.detail;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, WatchdogRule, ::testing::ValuesIn(kWatchdogRows),
                         [](const ::testing::TestParamInfo<WatchdogRow>& info) { return std::to_string(info.index); });

}  // namespace
