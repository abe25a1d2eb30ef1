// Chip class A's jack-poll worker against the chip model's scripted jack report: a report
// at start and one every 50 ms after it, the last 30 samples deciding the gain node's mode
// and unit 11's forced mute; the worker across D0, D3 and D0, a failing or empty report,
// removal while it polls, and the device rows without polling. Stop and removal race with
// the poll, so the suite also runs under scheduler seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "chip_a_fixture.h"
#include "kernel/pool.h"
#include "uac/chip_a_units.h"

namespace {

using chip_a_test::kJackProduct;
using chip_a_test::kJackVendor;
using sim::device::ChipRegisters;
using R = ChipRegisters::JackReport;

constexpr UCHAR kSetCur = 0x01;

std::vector<R> Reports(size_t n, UCHAR byte) { return std::vector<R>(n, R::Byte(byte)); }
std::vector<R> Alternating(size_t n) {
  std::vector<R> out;
  for (size_t i = 0; i < n; ++i) out.push_back(R::Byte(i % 2 ? ChipRegisters::kJackClear : ChipRegisters::kJackSet));
  return out;
}

class ChipAWorkerTest : public chip_a_test::ChipATest {
 protected:
  // The jack-polling device started, its worker running, reports queued before the start.
  void StartPolling(const std::vector<R>& queued = {}) {
    PlugChipA(kJackVendor, kJackProduct);
    chip_->QueueJackReports(queued);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(function()->JackPolling());
    ASSERT_NE(function()->GainNode(), nullptr);
    ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
  }
  ULONG Mode() { return function()->GainNode()->GetMode(); }
  // Whether unit 11 is there and takes the forced mute.
  bool Unit11TakesForcedMute() {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(function()->FindEntityById(uac::kChipAForcedMuteUnit, &e))) return false;
    PVOID itf = nullptr;
    if (!NT_SUCCESS(e->QueryInterface(uac::IID_IChipAForcedMute, &itf))) return false;
    static_cast<IUnknown*>(itf)->Release();
    return true;
  }
  // The mute values SET_CUR sent to unit 11, in order.
  std::vector<UCHAR> Unit11Mutes() {
    std::vector<UCHAR> out;
    for (const auto& e : sim_->control_log())
      if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == kSetCur && e.setup.wIndex >> 8 == 11 &&
          e.setup.wValue >> 8 == 1 && !e.data.empty())
        out.push_back(e.data[0]);
    return out;
  }
};

// The state machine step by step: each row appends reports and waits until the worker
// has read them all, then checks the state, the gain mode and unit 11's forced mute.
TEST_F(ChipAWorkerTest, JackPatternsSetTheGainMode) {
  UseExactTiming();
  struct Step {
    const char* what;
    std::vector<R> reports;
    ULONG state, mode;
  };
  const std::vector<Step> steps = {
      {"29 set, then one clear: from state 0 to 1", [] {
         auto r = Reports(29, ChipRegisters::kJackSet);
         r.push_back(R::Byte(ChipRegisters::kJackClear));
         return r;
       }(), uac::CHIPA_JACK_MIXED, uac::CHIPA_GAIN_QUARTER},
      {"all 30 set: state 0, pass", Reports(30, ChipRegisters::kJackSet), uac::CHIPA_JACK_ALL_SET,
       uac::CHIPA_GAIN_PASS},
      {"empty reports are no samples", {R::Empty(), R::Empty(), R::Empty()}, uac::CHIPA_JACK_ALL_SET,
       uac::CHIPA_GAIN_PASS},
      {"all 30 clear: state 2, silence", Reports(30, ChipRegisters::kJackClear), uac::CHIPA_JACK_ALL_CLEAR,
       uac::CHIPA_GAIN_SILENCE},
      {"a mixed history after state 2 keeps it", Alternating(40), uac::CHIPA_JACK_ALL_CLEAR, uac::CHIPA_GAIN_SILENCE},
      {"29 set and one clear after state 2 keep it", [] {
         auto r = Reports(29, ChipRegisters::kJackSet);
         r.push_back(R::Byte(ChipRegisters::kJackClear));
         return r;
       }(), uac::CHIPA_JACK_ALL_CLEAR, uac::CHIPA_GAIN_SILENCE},
      {"all 30 set again: state 0", Reports(30, ChipRegisters::kJackSet), uac::CHIPA_JACK_ALL_SET,
       uac::CHIPA_GAIN_PASS},
  };
  // Stall everything after the script: the worker ends rather than read past it.
  PlugChipA(kJackVendor, kJackProduct);
  chip_->SetJackSchedule({{0, R::Stall()}});
  size_t total = 0;
  for (const Step& s : steps) {
    chip_->QueueJackReports(s.reports);
    if (total == 0) {
      ASSERT_EQ(Start(), STATUS_SUCCESS);
      sim_->ClearControlLog();  // the start restored every unit's values
      ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
      ASSERT_TRUE(function()->WorkerRunning());
    }
    total += s.reports.size();
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(WaitForReads(total));
    EXPECT_EQ(function()->JackState(), s.state);
    EXPECT_EQ(Mode(), s.mode);
    // Unit 11's mute carries the forced flag in state 0 only (its own mute is off).
    ASSERT_TRUE(Unit11TakesForcedMute());
    const auto mutes = Unit11Mutes();
    ASSERT_FALSE(mutes.empty());
    EXPECT_EQ(mutes.back(), s.state == uac::CHIPA_JACK_ALL_SET ? 1 : 0);
  }
  // A read at start, the timer armed 50 ms after it returned, then one read every 50 ms.
  const auto reads = chip_->jack_reads();
  ASSERT_GT(reads.size(), 2u);
  EXPECT_GE(reads[1] - reads[0], 50 * 10000);
  EXPECT_LE(reads[1] - reads[0], 53 * 10000);
  for (size_t i = 2; i < reads.size(); ++i) EXPECT_EQ(reads[i] - reads[i - 1], 50 * 10000) << i;
  // The next read stalls: the thread ends on its own and the stop still returns.
  ASSERT_TRUE(WaitForReads(total + 1));
  platform::testing::DelayMs(1);
  EXPECT_FALSE(function()->WorkerRunning());
  EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
  EXPECT_FALSE(function()->WorkerStarted());
  platform::testing::DelayMs(200);
  EXPECT_EQ(chip_->jack_reads().size(), total + 1);  // no timer left to poll
}

TEST_F(ChipAWorkerTest, FirstReportFailingEndsTheThreadAndStopReturns) {
  PlugChipA(kJackVendor, kJackProduct);
  chip_->QueueJackReports({R::Stall()});
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
  platform::testing::DelayMs(300);
  EXPECT_EQ(chip_->jack_reads().size(), 1u);
  EXPECT_TRUE(function()->WorkerStarted());
  EXPECT_FALSE(function()->WorkerRunning());
  EXPECT_EQ(function()->JackState(), uac::CHIPA_JACK_ALL_SET);
  EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
  EXPECT_FALSE(function()->WorkerStarted());
  // A new start polls again.
  ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForReads(3));
  EXPECT_TRUE(function()->WorkerRunning());
}

// D3 ends the thread, D0 starts a new one; an entity start or stop is never asked of the
// units by chip A's worker slots.
TEST_F(ChipAWorkerTest, WorkerAcrossD0D3D0) {
  StartPolling();
  chip_->SetJackSchedule({{0, R::Byte(ChipRegisters::kJackSet)}});
  ASSERT_TRUE(WaitForReads(4));
  EXPECT_TRUE(function()->WorkerRunning());
  PowerTo(PowerDeviceD3);
  EXPECT_FALSE(function()->WorkerStarted());
  const size_t stopped = chip_->jack_reads().size();
  platform::testing::DelayMs(500);
  EXPECT_EQ(chip_->jack_reads().size(), stopped);
  PowerTo(PowerDeviceD0);
  EXPECT_TRUE(function()->WorkerStarted());
  ASSERT_TRUE(WaitForReads(stopped + 4));
  EXPECT_TRUE(function()->WorkerRunning());
  // Started twice: still one thread.
  EXPECT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
  EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
  EXPECT_FALSE(function()->WorkerStarted());
  EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);  // stopped twice: nothing to wait for
}

TEST_F(ChipAWorkerTest, RowsWithoutJackPollingRunNoThreadAndHaveNoGainNode) {
  for (bool values : {false, true}) {
    SCOPED_TRACE(values);
    // The polling row without the chip values falls to the last row; any other device
    // with them gets the last row as well.
    PlugChipA(values ? chip_a_test::kOtherVendor : kJackVendor, values ? chip_a_test::kOtherProduct : kJackProduct,
              values);
    if (!values) sim_->SetVendorData(chip_a_test::kVendorIn, 0x81, 0, 8, {0x02});  // read, not the row's
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_FALSE(function()->JackPolling());
    EXPECT_EQ(function()->GainNode(), nullptr);
    EXPECT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
    EXPECT_FALSE(function()->WorkerStarted());
    platform::testing::DelayMs(200);
    EXPECT_TRUE(chip_->jack_reads().empty());
    EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
    TearDownDevice();
  }
}

// "DisableLineInAAUnit" trims unit 11 away: the worker goes on without the forced mute.
TEST_F(ChipAWorkerTest, MissingUnit11IsSkipped) {
  PlugChipA(kJackVendor, kJackProduct);
  SetSwitch(u"DisableLineInAAUnit", 1);
  chip_->QueueJackReports(Reports(31, ChipRegisters::kJackClear));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  sim_->ClearControlLog();
  adapter::IUacEntity* unit = nullptr;
  EXPECT_FALSE(NT_SUCCESS(function()->FindEntityById(11, &unit)));
  ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForReads(31));
  EXPECT_EQ(function()->JackState(), uac::CHIPA_JACK_ALL_CLEAR);
  EXPECT_EQ(Mode(), uac::CHIPA_GAIN_SILENCE);
  EXPECT_TRUE(Unit11Mutes().empty());
}

// The device leaves the bus, or the device object goes, while the worker polls: the
// thread ends, nothing hangs and nothing is left (the fixture checks threads, timers and
// pool blocks at the end of every run).
TEST_F(ChipAWorkerTest, RemovalWhilePolling) {
  unsigned run = 0;
  const auto failed = platform::testing::SeedsWhere(seed() * 1000 + 1, 12, [&] {
    const unsigned r = run++;
    platform::pool::LeakScope leaks;
    StartPolling(Alternating(8));
    platform::testing::DelayMs(r % 4 * 37);
    if (r % 3 != 2) bus().RemoveDevice(STATUS_DEVICE_NOT_CONNECTED, r % 2);
    if (r % 3 == 1) platform::testing::DelayMs(120);  // the thread ends on its own first
    if (r % 2) {
      EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
    }
    TearDownDevice();  // the function's destructor ends a thread still running
    const bool leaked = !leaks.Check();
    return ::testing::Test::HasFailure() || leaked;
  });
  EXPECT_TRUE(failed.empty()) << "first failing seed " << failed.front();
}

// A failing read in the middle ends the thread; the timer is gone with it.
TEST_F(ChipAWorkerTest, LaterReportFailingEndsThePoll) {
  auto reports = Reports(5, ChipRegisters::kJackSet);
  reports.push_back(R::Stall());
  StartPolling(reports);
  ASSERT_TRUE(WaitForReads(6));
  platform::testing::DelayMs(300);
  EXPECT_EQ(chip_->jack_reads().size(), 6u);
  EXPECT_FALSE(function()->WorkerRunning());
  EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
}

// Request blocks of the worker failing to allocate: the thread ends at once, a stop
// returns, nothing leaks.
TEST_F(ChipAWorkerTest, AllocationFailureEndsTheThread) {
  StartPolling();
  ASSERT_TRUE(WaitForReads(2));
  ASSERT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
  const size_t before = chip_->jack_reads().size();
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailNthAllocation(1, uac::kChipATag);
    ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
    platform::testing::DelayMs(200);
  }
  EXPECT_EQ(chip_->jack_reads().size(), before);
  EXPECT_FALSE(function()->WorkerRunning());
  EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
}

// Descriptors off the fixed layout are built as they stand: with a second render
// interface (here in place of the capture interface) each render engine gets a gain node
// and the function keeps the last one; the earlier one is not kept, so nothing leaks.
TEST_F(ChipAWorkerTest, TwoRenderInterfacesKeepTheLastGainNodeAndLeakNone) {
  chip_a_test::Bytes config = file_.config;
  std::vector<UCHAR> second(config.begin() + 218, config.begin() + 227);  // setting 0
  second.insert(second.end(), config.begin() + 273, config.begin() + 319);  // the 2-channel setting
  second[2] = 2;
  second[9 + 2] = 2;
  second[9 + 30 + 2] = 0x02;  // its own OUT endpoint
  ASSERT_EQ(second.size(), 55u);
  std::copy(second.begin(), second.end(), config.begin() + 454);
  platform::pool::LeakScope leaks;
  PlugChipA(kJackVendor, kJackProduct, true, config);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ULONG renders = 0;
  for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
    adapter::IStreamEngine* e = nullptr;
    ASSERT_EQ(hal_->GetEngine(i, &e), STATUS_SUCCESS);
    renders += e->GetDirection() == adapter::STREAM_DIRECTION_RENDER;
  }
  EXPECT_EQ(renders, 2u);
  ASSERT_NE(function()->GainNode(), nullptr);
  // The kept node is the one on the last render engine: the engine's processing holds one
  // reference, the function the other.
  function()->GainNode()->AddRef();
  EXPECT_EQ(function()->GainNode()->Release(), 2u);
  ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForReads(3));
  TearDownDevice();
  EXPECT_TRUE(leaks.Check());
}

}  // namespace
