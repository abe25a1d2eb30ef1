// Transfer errors and the control thread's recovery on the UAC 1.0 engines against the
// simulated device: which errors start a recovery, one recovery per burst, the wait on
// the zero-bandwidth setting, the clients' format record, the restart frame, the port
// cycled when the interface cannot be switched, and a device that leaves the bus. The
// races at the end (start, stop, recovery and removal against each other) run under the
// suite's scheduler seeds; a URB lost or completed twice would hang a stop or be reported
// by the verifier, and every URB sent must come back exactly once.
#include <gtest/gtest.h>

#include <vector>

#include "iso_stream_fixture.h"
#include "kernel/dbg.h"

namespace iso_test {
namespace {

using platform::testing::DelayMs;
using stream::STREAM_NOTIFY_FORMAT;

const AltSpec kStereo48{2, 2, 16, {48000}, {{kRenderEndpoint, 0x05, 196, 1}}};
const AltSpec kMono48{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, 100, 1}}};
const WAVEFORMATEXTENSIBLE kStereo48Format = Pcm(2, 48000, 16);
const WAVEFORMATEXTENSIBLE kMono48Format = Pcm(1, 48000, 16);

class Uac1Recovery : public IsoStreamTest {
 protected:
  void SetUp() override {
    IsoStreamTest::SetUp();
    // A packet lost on the way to the device breaks the clients' counter signal there and
    // may empty its FIFO for a moment; a removal cuts the stream short.
    ExpectStreamFinding("pattern break", "device");
    ExpectStreamFinding("underrun", "device");
    ExpectStreamFinding("missed packets", "device");
  }
  NTSTATUS StartBoth() { return StartDevice({kStereo48}, {kMono48}); }
};

// The first URB sent after the restart, and the failed URB before it.
const UrbSeen* FirstAfter(const std::vector<UrbSeen>& urbs, ULONG frame) {
  for (const UrbSeen& u : urbs)
    if (u.startFrame >= frame) return &u;
  return nullptr;
}

TEST_F(Uac1Recovery, RenderPacketErrorRecoversOnceAndRestartsTwoFramesOn) {
  ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  TestClient client, listener;
  ASSERT_EQ(Register(engine, listener, kStereo48Format), STATUS_SUCCESS);
  ASSERT_EQ(Attach(engine, client, kStereo48Format, 5, 3), STATUS_SUCCESS);
  DelayMs(40);
  sim_->FailIsoPackets(kRenderEndpoint, 7, 1, USBD_STATUS_XACT_ERROR);
  DelayMs(400);
  // A client that only listens hears the start and the recovery as well, naming the
  // client the device runs for.
  EXPECT_EQ(listener.Count(STREAM_NOTIFY_FORMAT, true), 2u);
  for (const Record& r : listener.Records()) EXPECT_FALSE(r.mine);
  EXPECT_EQ(engine->UnregisterClient(listener.key()), STATUS_SUCCESS);

  const std::vector<ULONG> restarts = RestartFrames(engine);
  ASSERT_EQ(restarts.size(), 1u);
  // Start and recovery each told every client, with the format-changed flag.
  EXPECT_EQ(client.Count(STREAM_NOTIFY_FORMAT, true), 2u);
  for (const Record& r : client.Records()) {
    if (r.code != STREAM_NOTIFY_FORMAT) continue;
    EXPECT_EQ(r.value, 5u | stream::kFormatChangedFlag);
    EXPECT_EQ(r.urbs, 3u);
    EXPECT_TRUE(r.mine);
  }
  const std::vector<UrbSeen> urbs = Urbs(engine);
  const UrbSeen* failed = nullptr;
  for (const UrbSeen& u : urbs)
    if (u.failedPacket && !failed) failed = &u;
  ASSERT_NE(failed, nullptr);
  // The queue drains, then 100 ms on the zero-bandwidth setting.
  EXPECT_GE(restarts[0], failed->startFrame + 100);
  const UrbSeen* first = FirstAfter(urbs, restarts[0]);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->startFrame, restarts[0] + 2);
  EXPECT_EQ(first->status, STATUS_SUCCESS);
  EXPECT_TRUE(engine->IsControlThreadRunning());
  EXPECT_EQ(sim_->CurrentAlternate(kRenderInterface), 1);
  // The stream runs on: URBs keep coming back after the restart.
  EXPECT_GE(urbs.size() - static_cast<size_t>(first - urbs.data()), 40u);
  Detach(engine, client);
  EXPECT_EQ(client.fills.size(), Urbs(engine).size());
}

// The recovery's fixed steps, one row per outcome: the thread prints
// "Error_ErrorOccur, m_StreamState = 2" when it takes the error and "Error_ErrorOccur
// ntStatus = %x" with the recovery's status; the zero-bandwidth selection (56 bytes) comes
// 100 ms after the last URB of the drained queue has completed.
TEST_F(Uac1Recovery, RecoveryWaitsOneHundredMillisecondsAndPrintsItsMessages) {
  const struct {
    const char* what;
    bool failZeroBandwidth;
    const char* statusLine;
  } rows[] = {
      {"recovered", false, "Error_ErrorOccur ntStatus = 103\n"},  // the last send's status: pending
      {"zero bandwidth refused", true, "Error_ErrorOccur ntStatus = c0000001\n"},
  };
  constexpr ULONG kMs = 5;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = Render();
    TestClient client;
    ASSERT_EQ(Attach(engine, client, kStereo48Format, kMs, 3), STATUS_SUCCESS);
    DelayMs(30);
    platform::debug::ClearMessages();
    if (row.failZeroBandwidth)
      bus().FailNthUrb(1, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, URB_FUNCTION_SELECT_INTERFACE);
    sim_->FailIsoPackets(kRenderEndpoint, 2, 1, USBD_STATUS_XACT_ERROR);
    DelayMs(400);
    EXPECT_EQ(platform::debug::CountContaining("Error_ErrorOccur, m_StreamState = 2\n"), 1u);
    EXPECT_EQ(platform::debug::CountContaining(row.statusLine), 1u);
    EXPECT_EQ(platform::debug::CountContaining("Error_ErrorOccur"), 2u);

    // The URBs in log order: the zero-bandwidth selection and the last URB before it.
    const std::vector<usb_device_test::SubmittedUrb> log = SubmittedUrbs();
    const usb_device_test::SubmittedUrb* lastUrb = nullptr;
    const usb_device_test::SubmittedUrb* zero = nullptr;
    for (const auto& u : log) {
      if (u.function == URB_FUNCTION_ISOCH_TRANSFER && zero == nullptr) lastUrb = &u;
      if (u.function == URB_FUNCTION_SELECT_INTERFACE && u.interfaceNumber == kRenderInterface && u.alternate == 0 &&
          lastUrb != nullptr && zero == nullptr)
        zero = &u;
    }
    ASSERT_NE(lastUrb, nullptr);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->length, 56u);
    // The 100 ms run from when the control thread hears of the error: after the last
    // packet's frame, and later by the completion's and the thread's own latency (a few
    // frames under some seeds), never by a tenth of the delay.
    const ULONG drained = lastUrb->startFrame + kMs;  // its last packet's frame has passed
    EXPECT_GE(zero->frame, drained + 100);
    EXPECT_LE(zero->frame, drained + 110);
    Detach(engine, client);
    TearDownDevice();
  }
}

TEST_F(Uac1Recovery, OneRecoveryPerErrorBurst) {
  ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kStereo48Format, 5, 3), STATUS_SUCCESS);
  DelayMs(30);
  // Two whole URBs and a part of a third fail.
  sim_->FailIsoPackets(kRenderEndpoint, 5, 12, USBD_STATUS_XACT_ERROR);
  DelayMs(400);
  ULONG failedUrbs = 0;
  for (const UrbSeen& u : Urbs(engine)) failedUrbs += u.failedPacket;
  EXPECT_GE(failedUrbs, 2u);
  EXPECT_EQ(RestartFrames(engine).size(), 1u);
  EXPECT_EQ(client.Count(STREAM_NOTIFY_FORMAT, true), 2u);
  Detach(engine, client);
}

// A capture stream takes a lost packet as silence and carries on.
TEST_F(Uac1Recovery, CapturePacketErrorStartsNoRecovery) {
  ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Capture();
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kMono48Format, 5, 3), STATUS_SUCCESS);
  DelayMs(30);
  sim_->FailIsoPackets(kCaptureEndpoint, 3, 2, USBD_STATUS_XACT_ERROR);
  DelayMs(300);
  EXPECT_TRUE(RestartFrames(engine).empty());
  EXPECT_EQ(client.Count(STREAM_NOTIFY_FORMAT, true), 1u);
  ULONG failed = 0;
  for (const UrbSeen& u : Urbs(engine)) failed += u.failedPacket;
  EXPECT_EQ(failed, 1u);
  EXPECT_GT(client.captured.size(), 48u * 300);
  Detach(engine, client);
}

// A failed transfer (not just a packet) of a capture stream does recover.
TEST_F(Uac1Recovery, CaptureTransferErrorRecovers) {
  ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Capture();
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kMono48Format, 5, 3), STATUS_SUCCESS);
  DelayMs(30);
  sim_->FailIsoPackets(kCaptureEndpoint, 0, 10, USBD_STATUS_XACT_ERROR);  // every packet of a URB
  DelayMs(300);
  EXPECT_EQ(RestartFrames(engine).size(), 1u);
  EXPECT_EQ(client.Count(STREAM_NOTIFY_FORMAT, true), 2u);
  Detach(engine, client);
}

struct PortCase {
  const char* name;
  ULONG failingSelect;  // the n-th select-interface request after the error fails
  UCHAR alternate;      // the device's setting afterwards
};

// The zero-bandwidth selection (first) or the restart's selection (second) fails: the port
// is cycled once, the stream is not restarted, and the control thread lives on.
TEST_F(Uac1Recovery, FailedInterfaceSwitchCyclesThePortAndTheThreadSurvives) {
  const PortCase cases[] = {{"zero bandwidth", 1, 1}, {"restart", 2, 0}};
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = Render();
    TestClient client;
    ASSERT_EQ(Attach(engine, client, kStereo48Format, 5, 3), STATUS_SUCCESS);
    DelayMs(30);
    bus().FailNthUrb(c.failingSelect, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, URB_FUNCTION_SELECT_INTERFACE);
    sim_->FailIsoPackets(kRenderEndpoint, 2, 1, USBD_STATUS_XACT_ERROR);
    DelayMs(300);
    EXPECT_EQ(bus().cycle_count(), 1u);
    EXPECT_TRUE(RestartFrames(engine).empty());
    EXPECT_EQ(sim_->CurrentAlternate(kRenderInterface), c.alternate);
    EXPECT_TRUE(engine->IsControlThreadRunning());
    EXPECT_EQ(engine->GetUrbsOutstanding(), 0);
    // A later error wakes the thread again; the cycled port refuses the requests.
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_RUNNING);
    Detach(engine, client);
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
    TearDownDevice();
  }
}

// The device leaves the bus: after the bus's error frames the transfers fail, the render
// engine marks the device gone, every recovery finds the port empty and ends its thread,
// and nothing is sent any more. The engines' destructors then return at once.
TEST_F(Uac1Recovery, DeviceGoneEndsTheThreadsAndStopsTheSends) {
  ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
  TestClient speaker, mic;
  ASSERT_EQ(Attach(Render(), speaker, kStereo48Format, 5, 3), STATUS_SUCCESS);
  ASSERT_EQ(Attach(Capture(), mic, kMono48Format, 2, 5), STATUS_SUCCESS);
  DelayMs(30);
  bus().RemoveDevice();
  DelayMs(300);
  for (stream::CUsbStreamEngine* engine : {Render(), Capture()}) {
    EXPECT_FALSE(engine->IsControlThreadRunning());
    EXPECT_TRUE(engine->IsDeviceGone());
    EXPECT_EQ(engine->GetUrbsOutstanding(), 0);
    EXPECT_TRUE(RestartFrames(engine).empty());
  }
  const auto submitted = bus().urbs_submitted();
  DelayMs(100);
  EXPECT_EQ(bus().urbs_submitted(), submitted);
  // The way out still works, with the device gone.
  Detach(Render(), speaker);
  Detach(Capture(), mic);
  EXPECT_EQ(Render()->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  EXPECT_EQ(speaker.fills.size(), Urbs(Render()).size());
  // The engines go with the device: their threads have ended, so no destructor waits.
  const auto before = platform::clock::Now();
  Stop();
  EXPECT_EQ(platform::clock::Now(), before);
}

// ---------------------------------------------------------------------------------------
// Races

// A stop comes at every point of a recovery: before the error is seen, while the queue
// drains, during the 100 ms wait and after the restart. The stop always wins cleanly.
TEST_F(Uac1Recovery, StopRacingARecoveryLosesNoUrb) {
  ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  for (LONGLONG delay : {0, 1, 4, 9, 15, 40, 90, 104, 112, 130}) {
    SCOPED_TRACE(testing::Message() << "stop " << delay << " ms after the error");
    TestClient client;
    ASSERT_EQ(Attach(engine, client, kStereo48Format, 2, 4), STATUS_SUCCESS);
    DelayMs(6);
    sim_->FailIsoPackets(kRenderEndpoint, 1, 1, USBD_STATUS_XACT_ERROR);
    DelayMs(delay);
    const size_t before = Urbs(engine).size();
    Detach(engine, client);
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
    EXPECT_EQ(engine->GetUrbsOutstanding(), 0);
    EXPECT_GE(Urbs(engine).size(), before);
    DelayMs(150);  // a recovery woken too late finds the stream stopped
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
    EXPECT_TRUE(engine->IsControlThreadRunning());
  }
  // The engine streams as before: the next start clears what a late error left.
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kStereo48Format, 5, 3), STATUS_SUCCESS);
  DelayMs(50);
  const ULONG fills = static_cast<ULONG>(client.fills.size());
  EXPECT_GE(fills, 10u);
  Detach(engine, client);
}

// The device leaves at every point of a running stream, a recovery or a start; the
// clients leave right after. Nothing hangs, nothing is left outstanding.
TEST_F(Uac1Recovery, RemovalRacingStartStopAndRecovery) {
  const struct {
    LONGLONG errorAfter;   // -1: no error
    LONGLONG removeAfter;  // after the start (or the error)
    LONGLONG leaveAfter;   // after the removal
  } cases[] = {{-1, 0, 0}, {-1, 3, 0}, {-1, 20, 1}, {0, 0, 50}, {0, 5, 0}, {0, 30, 2}, {0, 110, 0}, {2, 104, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "error " << c.errorAfter << ", removal " << c.removeAfter << ", leave "
                                    << c.leaveAfter);
    ASSERT_EQ(StartBoth(), STATUS_SUCCESS);
    TestClient speaker, mic;
    ASSERT_EQ(Attach(Render(), speaker, kStereo48Format, 2, 3), STATUS_SUCCESS);
    ASSERT_EQ(Attach(Capture(), mic, kMono48Format, 1, 10), STATUS_SUCCESS);
    if (c.errorAfter >= 0) {
      DelayMs(c.errorAfter);
      sim_->FailIsoPackets(kRenderEndpoint, 0, 1, USBD_STATUS_XACT_ERROR);
    }
    DelayMs(c.removeAfter);
    bus().RemoveDevice();
    DelayMs(c.leaveAfter);
    Detach(Render(), speaker);
    Detach(Capture(), mic);
    for (stream::CUsbStreamEngine* engine : {Render(), Capture()}) {
      EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
      EXPECT_EQ(engine->GetUrbsOutstanding(), 0);
    }
    EXPECT_EQ(speaker.fills.size(), Urbs(Render()).size());
    // A client arriving now cannot start a stream on an absent device, and leaves cleanly.
    TestClient late;
    EXPECT_NE(Attach(Render(), late, kStereo48Format, 2, 3), STATUS_SUCCESS);
    Detach(Render(), late);
    TearDownDevice();
  }
}

}  // namespace
}  // namespace iso_test
