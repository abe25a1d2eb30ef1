// The worker's stop against what runs beside it: a transfer completing as the stop asks
// the thread to end, the device leaving the bus mid-transfer or mid-change, and the
// device object released while the worker runs. Each scenario runs under several
// scheduler seeds here (the suite's seeded and stress runs add their own): no run may
// hang, leak or break a verifier rule, and a stop always returns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status_worker_fixture.h"

namespace {

constexpr char kHeadset[] = "uac1-headset-A.txt";
constexpr char kUac2Dongle[] = "uac2-uac3-dongle-J.txt";

struct Device {
  const char* name;
  const char* dump;
  USHORT packet;
  UCHAR units[3];  // units whose changes are pushed
};
constexpr Device kDevices[] = {
    {"1.0", kHeadset, 2, {5, 6, 10}},
    {"2.0", kUac2Dongle, 0, {2, 5, 7}},
};

class StatusWorkerRace : public status_worker_test::StatusWorkerTest {
 protected:
  // Starts the device and its worker, then pushes `messages` changes and lets `delayMs` of
  // bus time pass (0: none, the messages still on their way).
  void Begin(const Device& d, int messages, LONGLONG delayMs) {
    PlugDump(d.dump, d.packet);
    StartDevice();
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    for (int i = 0; i < messages; ++i) PushChangeOf(d.units[i % 3]);
    if (delayMs) platform::testing::DelayMs(delayMs);
  }
  // Runs the scenario under `count` seeds from a per-test base; the seeds where it failed.
  std::vector<std::uint64_t> Sweep(unsigned count, const std::function<void(unsigned)>& scenario) {
    unsigned run = 0;
    return platform::testing::SeedsWhere(seed() * 1000 + 1, count, [&] {
      scenario(run++);
      const bool failed = ::testing::Test::HasFailure();
      EndDevice();
      return failed;
    });
  }
};

TEST_F(StatusWorkerRace, StopAsATransferCompletes) {
  for (const Device& d : kDevices) {
    SCOPED_TRACE(d.name);
    const auto failed = Sweep(12, [&](unsigned run) {
      // The worker's transfer completes within a few frames of the push; the stop lands
      // before, during or after that completion.
      Begin(d, 1, run % 4);
      EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
      EXPECT_FALSE(function()->WorkerStarted());
    });
    EXPECT_TRUE(failed.empty()) << "first failing seed " << failed.front();
  }
}

TEST_F(StatusWorkerRace, DeviceLeavesWhileTheWorkerRuns) {
  for (const Device& d : kDevices) {
    SCOPED_TRACE(d.name);
    const auto failed = Sweep(12, [&](unsigned run) {
      Begin(d, 3, run % 3);
      bus().RemoveDevice(STATUS_DEVICE_NOT_CONNECTED, run % 2);
      if (run % 3 == 2) platform::testing::DelayMs(20);  // the worker ends on its own first
      EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
      EXPECT_FALSE(function()->WorkerStarted());
      // A start on a device that is gone fails cleanly and holds nothing.
      EXPECT_FALSE(NT_SUCCESS(StartWorker()));
      EXPECT_FALSE(function()->WorkerStarted());
    });
    EXPECT_TRUE(failed.empty()) << "first failing seed " << failed.front();
  }
}

TEST_F(StatusWorkerRace, PowerCyclesWhileChangesArrive) {
  for (const Device& d : kDevices) {
    SCOPED_TRACE(d.name);
    const auto failed = Sweep(8, [&](unsigned run) {
      Begin(d, 2, run % 2);
      for (int i = 0; i < 3; ++i) {
        SetPower(PowerDeviceD3);
        PushChangeOf(d.units[i % 3]);
        SetPower(PowerDeviceD0);
        PushChangeOf(d.units[(i + 1) % 3]);
        if (run % 2) platform::testing::DelayMs(1 + i);
      }
      EXPECT_TRUE(function()->WorkerRunning());
    });
    EXPECT_TRUE(failed.empty()) << "first failing seed " << failed.front();
  }
}

TEST_F(StatusWorkerRace, DeviceReleasedWhileTheWorkerRuns) {
  for (const Device& d : kDevices) {
    SCOPED_TRACE(d.name);
    const auto failed = Sweep(8, [&](unsigned run) {
      Begin(d, 3, run % 4);
      if (run % 2) bus().RemoveDevice();
    });
    EXPECT_TRUE(failed.empty()) << "first failing seed " << failed.front();
  }
}

}  // namespace
