// The UAC 2.0 engines against a simulated clocked UAC 2.0 headset: the render engine
// following the device's explicit feedback, capture published per URB, empty and failed
// capture packets, the in-place recovery and its fallback, a device that leaves, with
// every sample checked against the client's count or the device's ramp.
#include <gtest/gtest.h>

#include <algorithm>

#include "kernel/pool.h"
#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "uac2_stream_fixture.h"
#include "usb/usbdi.h"

namespace uac2_test {
namespace {

using platform::testing::DelayMs;
using platform::testing::FaultSweep;
using platform::testing::ForEachAllocationFailure;

class Uac2Stream : public Uac2StreamTest {
 protected:
  // Starts the headset with the profile and attaches `client` to the engine of the
  // direction at `rate`; false (with a failure) when any step fails.
  bool Run(sim::device::DeviceProfile profile, ULONG direction, ULONG rate, TestClient& client,
           const HeadsetLayout& layout = {}) {
    if (StartHeadset(std::move(profile), layout) != STATUS_SUCCESS) {
      ADD_FAILURE() << "the headset did not start";
      return false;
    }
    engine_ = Engine(direction);
    WAVEFORMATEXTENSIBLE format;
    if (!engine_ || !FormatAt(engine_, rate, &format)) {
      ADD_FAILURE() << "no engine with " << rate << " Hz";
      return false;
    }
    format_ = format;
    const NTSTATUS status = Attach(engine_, client, format);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return NT_SUCCESS(status);
  }
  stream::CUac2RenderStream* render() { return static_cast<stream::CUac2RenderStream*>(engine_); }
  // The class requests and SET_INTERFACE requests the device saw for the interface.
  std::vector<UCHAR> AlternatesSelected(UCHAR interfaceNumber) {
    std::vector<UCHAR> alts;
    for (const auto& e : sim_->control_log())
      if (e.setup.bmRequestType == 0x01 && e.setup.bRequest == USB_REQUEST_SET_INTERFACE &&
          e.setup.wIndex == interfaceNumber)
        alts.push_back(static_cast<UCHAR>(e.setup.wValue));
    return alts;
  }

  stream::CUsbStreamEngine* engine_ = nullptr;
  WAVEFORMATEXTENSIBLE format_{};
};

TEST_F(Uac2Stream, RenderPlaysTheMeasuredRateAndEverySampleOnce) {
  struct Row {
    bool highSpeed;
    ULONG rate;
    double ppm;
  } rows[] = {{true, 48000, 500.0}, {true, 44100, -500.0}, {true, 96000, 150.0},
              {false, 96000, 300.0}, {false, 44100, -150.0}, {false, 48000, 0.0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.highSpeed ? "high" : "full") << " speed " << row.rate << " Hz "
                                    << row.ppm << " ppm");
    auto profile = Profile(row.highSpeed);
    profile.clock_ppm = row.ppm;
    profile.feedback_gain_hz_per_frame = 0;  // the bare clock: the measured rate is exact
    TestClient& client = NewClient();
    ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, row.rate, client));
    EXPECT_TRUE(render()->HasFeedbackPipe());
    DelayMs(1000);
    EXPECT_NEAR(render()->GetMeasuredRate(), row.rate * (1.0 + row.ppm * 1e-6), 1.0);
    EXPECT_GT(render()->GetFeedbackUrbsSent(), 150u);
    ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    EXPECT_GT(ExpectEverySampleOnce(kRenderEndpoint, client), row.rate * 9 / 10 * format_.Format.nChannels);
    Detach(engine_, client);
    TearDownDevice();
  }
}

// An OUT endpoint without a feedback endpoint plays the nominal rate.
TEST_F(Uac2Stream, RenderWithoutFeedbackPlaysTheNominalRate) {
  auto profile = Profile(true);
  profile.clock_ppm = 300.0;
  HeadsetLayout layout;
  layout.feedback = false;
  TestClient& client = NewClient();
  ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, 44100, client, layout));
  EXPECT_FALSE(render()->HasFeedbackPipe());
  DelayMs(500);
  EXPECT_EQ(render()->GetMeasuredRate(), 44100);
  EXPECT_EQ(render()->GetFeedbackUrbsSent(), 0u);
  ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);
  ExpectEverySampleOnce(kRenderEndpoint, client);
}

// A device reporting 1000 Hz above nominal, the most the feedback accepts: at full speed
// some packets carry two frames beyond nominal, and every packet still fits its buffer
// (the verifier and the sanitizers watch the pool blocks).
TEST_F(Uac2Stream, RenderAtTheWindowsEdgeFitsItsBuffers) {
  for (bool highSpeed : {false, true}) {
    SCOPED_TRACE(highSpeed ? "high speed" : "full speed");
    auto profile = Profile(highSpeed);
    profile.clock_ppm = 999.0 / 44100.0 * 1e6;  // 44,100 + 999 Hz
    profile.feedback_gain_hz_per_frame = 0;
    ExpectStreamFinding("overrun", "device");  // the device takes less than the host plays at first
    TestClient& client = NewClient();
    ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, 44100, client));
    DelayMs(300);
    EXPECT_NEAR(render()->GetMeasuredRate(), 45099, 1.0);
    ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    ExpectEverySampleOnce(kRenderEndpoint, client);
    Detach(engine_, client);
    TearDownDevice();
  }
}

// A high-speed feedback endpoint polled more often than once per frame (bInterval 1 to 3:
// every 1, 2 or 4 microframes) takes whole frames of its packets per URB; the engine reads
// every one it polled and plays the measured rate without ever recovering. bInterval 4
// (one packet per frame) is the usual case; a data endpoint polled once per frame beside a
// feedback endpoint polled every microframe needs the feedback URB to hold more packets
// than the data URB.
TEST_F(Uac2Stream, FeedbackPolledSeveralTimesPerFrame) {
  struct Row {
    UCHAR renderInterval, feedbackInterval;
    ULONG rate;
    double ppm;
  } rows[] = {{1, 1, 48000, 500.0},  {1, 2, 44100, -500.0}, {1, 3, 96000, 150.0},
              {1, 4, 48000, -150.0}, {4, 1, 48000, 500.0},  {2, 3, 44100, -500.0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "data bInterval " << int{row.renderInterval} << ", feedback bInterval "
                                    << int{row.feedbackInterval} << ", " << row.rate << " Hz " << row.ppm << " ppm");
    auto profile = Profile(true);
    profile.clock_ppm = row.ppm;
    profile.feedback_gain_hz_per_frame = 0;
    HeadsetLayout layout;
    layout.renderInterval = row.renderInterval;
    layout.feedbackInterval = row.feedbackInterval;
    TestClient& client = NewClient();
    ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, row.rate, client, layout));
    const size_t selections = AlternatesSelected(1).size();
    DelayMs(600);
    EXPECT_NEAR(render()->GetMeasuredRate(), row.rate * (1.0 + row.ppm * 1e-6), 1.0);
    EXPECT_GT(render()->GetFeedbackUrbsSent(), 80u);
    EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_RUNNING);
    EXPECT_EQ(AlternatesSelected(1).size(), selections);  // no fallback recovery either
    ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    EXPECT_GT(ExpectEverySampleOnce(kRenderEndpoint, client), row.rate / 2 * format_.Format.nChannels);
    Detach(engine_, client);
    TearDownDevice();
  }
}

// Stale data never counts: the device's clock moves while most feedback packets fail (their
// buffer bytes would still hold the old values); the one good packet per URB decides.
TEST_F(Uac2Stream, FailedFeedbackPacketsAreNotReadAgain) {
  auto profile = Profile(true);
  profile.clock_ppm = 500.0;
  profile.feedback_gain_hz_per_frame = 0;
  TestClient& client = NewClient();
  ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, 48000, client));
  DelayMs(200);
  EXPECT_NEAR(render()->GetMeasuredRate(), 48024, 1);
  sim_->SetClockPpm(-500.0);
  // From now on packets 1-4 of every five fail (feedback URBs carry five packets here).
  for (std::uint32_t k = 0; k < 400; ++k) sim_->FailIsoPackets(kFeedbackEndpoint, 5 * k + 1, 4, USBD_STATUS_XACT_ERROR);
  DelayMs(500);
  // 47,976 Hz in whole hertz as the 16.16 value carries it; a stale 48,024 in four
  // packets of five would leave the mean near 48,014.
  EXPECT_NEAR(render()->GetMeasuredRate(), 47976, 1);
  ExpectStreamFinding("underrun", "device");  // the slower clock needs a moment to be heard
  ExpectStreamFinding("overrun", "device");
}

TEST_F(Uac2Stream, CaptureIsPublishedPerUrbWithoutAGap) {
  struct Row {
    bool highSpeed;
    ULONG rate;
    double ppm;
    UCHAR attributes;  // of the IN endpoint: data, or implicit-feedback data
  } rows[] = {{true, 48000, 0.0, 0x05}, {true, 96000, 500.0, 0x25}, {false, 44100, -500.0, 0x05},
              {false, 96000, 0.0, 0x25}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.highSpeed ? "high" : "full") << " speed " << row.rate << " Hz, endpoint "
                                    << std::hex << int(row.attributes));
    auto profile = Profile(row.highSpeed);
    profile.clock_ppm = row.ppm;
    HeadsetLayout layout;
    layout.captureAttributes = row.attributes;
    TestClient& client = NewClient();
    ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_CAPTURE, row.rate, client, layout));
    DelayMs(500);
    ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    // Every sample of the device's ramp, in order, from its first.
    const std::vector<std::int32_t> got = client.Captured();
    const ULONG channels = format_.Format.nChannels;
    EXPECT_NEAR(static_cast<double>(got.size()) / channels, row.rate * 0.5 * (1 + row.ppm * 1e-6), row.rate * 0.03);
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i], SampleValue(i, client.validBits)) << "sample " << i;
    EXPECT_EQ(sim_->produced_frames(kCaptureEndpoint) * channels, got.size());
    // Each URB-done record counts exactly the data records since the one before it.
    ULONG pending = 0, urbs = 0;
    for (const Record& r : client.Records()) {
      if (r.code == stream::STREAM_NOTIFY_CAPTURE_DATA) pending += r.value;
      if (r.code == stream::STREAM_NOTIFY_URB_DONE) {
        EXPECT_EQ(r.value, pending);
        EXPECT_EQ(r.value % format_.Format.nBlockAlign, 0u);
        pending = 0;
        ++urbs;
      }
    }
    EXPECT_EQ(pending, 0u);
    EXPECT_GE(urbs, 95u);  // 5 ms URBs, at least 10 ms queued
    Detach(engine_, client);
    TearDownDevice();
  }
}

// An empty packet with a good status is one packet's silence (a microframe's worth and a
// frame at high speed); a failed packet adds nothing; a URB of failed packets publishes
// nothing and is a transfer error.
TEST_F(Uac2Stream, CaptureEmptyAndFailedPackets) {
  auto profile = Profile(true);
  TestClient& client = NewClient();
  ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_CAPTURE, 48000, client));
  DelayMs(100);
  const size_t before = client.Captured().size();
  ExpectStreamFinding("gap", "device");  // the device drops what the empty packets left out
  ExpectStreamFinding("missed packets", "device");  // the recovery below drains the queue
  sim_->ShortCapturePackets(kCaptureEndpoint, 0, 3);  // three empty packets
  DelayMs(100);
  std::vector<std::int32_t> got = client.Captured();
  // The ramp runs up to the first empty packet; 3 x 7 silent frames follow (48 kHz over
  // 8 packets a frame is 6 frames a packet, and one more).
  size_t at = before;
  while (at < got.size() && got[at] == SampleValue(at, client.validBits)) ++at;
  ASSERT_LT(at, got.size());
  const ULONG channels = format_.Format.nChannels;
  size_t zeros = 0;
  while (at + zeros < got.size() && got[at + zeros] == 0) ++zeros;
  EXPECT_GE(zeros, 3u * 7 * channels);
  EXPECT_LT(zeros, 3u * 7 * channels + 2 * channels);  // a ramp value of 0 may follow
  // After the silence the ramp goes on where the device is, whole frames and no repeat.
  const size_t resume = at + 3 * 7 * channels;
  ASSERT_LT(resume + channels, got.size());
  EXPECT_EQ((got[resume + 1] - got[resume]) & 0xFFFF, 1);
  EXPECT_EQ(static_cast<std::uint32_t>(got[resume]) % channels, 0u);

  // Two failed packets: nothing stands in for them (the device sends their frames with the
  // next packets), so the ramp goes on without silence, gap or repeat.
  const size_t mark = client.Captured().size();
  sim_->FailIsoPackets(kCaptureEndpoint, 4, 2, USBD_STATUS_XACT_ERROR);
  DelayMs(100);
  got = client.Captured();
  size_t jumps = 0;
  for (size_t i = mark + 1; i < got.size(); ++i)
    if (((got[i] - got[i - 1]) & 0xFFFF) != 1) ++jumps;
  EXPECT_EQ(jumps, 0u);
  const ULONG formatsBefore = client.Count(stream::STREAM_NOTIFY_FORMAT, true);

  // A whole URB of failed packets: no data, and the recovery starts the stream over.
  sim_->FailIsoPackets(kCaptureEndpoint, 0, 80, USBD_STATUS_XACT_ERROR);
  DelayMs(400);
  EXPECT_EQ(client.Count(stream::STREAM_NOTIFY_FORMAT, true), formatsBefore + 1);
  EXPECT_GT(client.Captured().size(), got.size());
}

// A failed feedback transfer: the pipes are reset in place, three URBs go out from the
// current frame + 2, the alternate setting stays and no format record is published.
TEST_F(Uac2Stream, FeedbackErrorRecoversInPlace) {
  auto profile = Profile(true);
  TestClient& client = NewClient();
  ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, 48000, client));
  DelayMs(100);
  const size_t selections = AlternatesSelected(1).size();
  ExpectStreamFinding("underrun", "device");  // the queue drains before the reset
  ExpectStreamFinding("missed packets", "device");
  sim_->FailIsoPackets(kFeedbackEndpoint, 0, 12, USBD_STATUS_XACT_ERROR);  // a whole feedback URB
  DelayMs(300);
  EXPECT_EQ(client.Count(stream::STREAM_NOTIFY_FORMAT, true), 1u);  // the start's only
  EXPECT_EQ(AlternatesSelected(1).size(), selections);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_RUNNING);
  const ULONGLONG sent = client.renderSamples;
  DelayMs(100);
  EXPECT_GT(client.renderSamples, sent + 48000 / 20);
  ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);
  ExpectEverySampleOnce(kRenderEndpoint, client);  // the data URBs all arrived
}

// The requests of the UAC 2.0 render engine as the bus received them, one row per bus
// speed: data URBs of 152 + 12 bytes per packet with flags 0; feedback URBs of one packet
// per millisecond (4 bytes at high speed, 3 at full speed) with flags 7 and start frame
// 0; the ring under "US20". After a failed feedback transfer the in-place recovery resets
// the data pipe, then the feedback pipe (40-byte requests), and sends 3 URBs, not the
// client's 5, from the current frame + 2; each completion then sends one successor.
TEST_F(Uac2Stream, RenderRequestsAndTheInPlaceRecoveryKeepTheirFixedValues) {
  constexpr ULONG kMs = 5, kUrbs = 5;
  const struct {
    bool highSpeed;
    ULONG feedbackBytes, packetsPerMs;
  } rows[] = {{true, 4, 8}, {false, 3, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.highSpeed ? "high speed" : "full speed");
    ExpectStreamFinding("underrun", "device");  // the queue drains before the reset
    ExpectStreamFinding("missed packets", "device");
    ASSERT_EQ(StartHeadset(Profile(row.highSpeed)), STATUS_SUCCESS);
    engine_ = Engine(adapter::STREAM_DIRECTION_RENDER);
    WAVEFORMATEXTENSIBLE format;
    ASSERT_TRUE(FormatAt(engine_, 48000, &format));
    TestClient& client = NewClient();
    const platform::pool::Mark mark = platform::pool::CurrentMark();
    ASSERT_EQ(Attach(engine_, client, format, kMs, kUrbs), STATUS_SUCCESS);
    const auto ring = platform::pool::LiveBlocksWithTag(MakePoolTag('U', 'S', '2', '0'), mark);
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0].bytes, format.Format.nAvgBytesPerSec / 25);
    DelayMs(100);
    sim_->FailIsoPackets(kFeedbackEndpoint, 0, 12, USBD_STATUS_XACT_ERROR);  // a whole feedback URB
    DelayMs(300);
    ASSERT_EQ(engine_->StopClient(client.key(), nullptr), STATUS_SUCCESS);

    const std::vector<usb_device_test::SubmittedUrb> log = SubmittedUrbs();
    size_t feedback = 0, data = 0, lastReset = 0;
    std::vector<const usb_device_test::SubmittedUrb*> resets;
    for (size_t i = 0; i < log.size(); ++i) {
      const auto& u = log[i];
      if (u.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
        resets.push_back(&u);
        lastReset = i;
      }
      if (u.function != URB_FUNCTION_ISOCH_TRANSFER) continue;
      SCOPED_TRACE(testing::Message() << "URB " << i);
      if (u.flags & USBD_TRANSFER_DIRECTION_IN) {
        ++feedback;
        EXPECT_EQ(u.flags, 7u);
        EXPECT_EQ(u.startFrame, 0u);
        EXPECT_EQ(u.packets, kMs);
        EXPECT_EQ(u.length, 152u + 12u * kMs);
        EXPECT_EQ(u.transferLength, kMs * row.feedbackBytes);
        ASSERT_EQ(u.offsets.size(), kMs);
        for (ULONG k = 0; k < kMs; ++k) EXPECT_EQ(u.offsets[k], k * row.feedbackBytes);
      } else {
        ++data;
        EXPECT_EQ(u.flags, 0u);
        EXPECT_EQ(u.packets, kMs * row.packetsPerMs);
        EXPECT_EQ(u.length, 152u + 12u * kMs * row.packetsPerMs);
      }
    }
    EXPECT_GT(feedback, 20u);
    EXPECT_GT(data, 20u);

    ASSERT_EQ(resets.size(), 2u);
    EXPECT_EQ(resets[0]->length, 40u);
    EXPECT_EQ(resets[1]->length, 40u);
    std::vector<const usb_device_test::SubmittedUrb*> after;
    for (size_t i = lastReset + 1; i < log.size(); ++i)
      if (log[i].function == URB_FUNCTION_ISOCH_TRANSFER && !(log[i].flags & USBD_TRANSFER_DIRECTION_IN))
        after.push_back(&log[i]);
    ASSERT_GE(after.size(), 5u);
    EXPECT_NE(resets[0]->pipe, resets[1]->pipe);
    EXPECT_EQ(resets[0]->pipe, after[0]->pipe);  // the data pipe first
    // Three URBs at once from the frame the recovery read + 2, then one per completion.
    const ULONG frame = after[0]->frame;
    for (size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(after[k]->frame, frame) << k;
      EXPECT_EQ(after[k]->startFrame, frame + 2 + kMs * k) << k;
    }
    EXPECT_GE(after[3]->frame, frame + 2 + kMs);
    EXPECT_EQ(after[3]->startFrame, frame + 2 + 3 * kMs);
    Detach(engine_, client);
    TearDownDevice();
  }
}

// When a pipe reset fails the stream is not left running without URBs: the full recovery
// drops to zero bandwidth, tells the clients, selects the setting again and restarts.
TEST_F(Uac2Stream, FailedPipeResetFallsBackToTheFullRecovery) {
  auto profile = Profile(true);
  TestClient& client = NewClient();
  ASSERT_TRUE(Run(profile, adapter::STREAM_DIRECTION_RENDER, 48000, client));
  DelayMs(100);
  const std::vector<UCHAR> before = AlternatesSelected(1);
  ExpectStreamFinding("underrun", "device");
  ExpectStreamFinding("missed packets", "device");
  bus().FailNthUrb(1, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
  sim_->FailIsoPackets(kFeedbackEndpoint, 0, 12, USBD_STATUS_XACT_ERROR);
  DelayMs(400);
  EXPECT_EQ(bus().fault_hits(), 1u);
  EXPECT_EQ(client.Count(stream::STREAM_NOTIFY_FORMAT, true), 2u);
  std::vector<UCHAR> after = AlternatesSelected(1);
  ASSERT_EQ(after.size(), before.size() + 2);
  EXPECT_EQ(after[after.size() - 2], 0);
  EXPECT_EQ(after.back(), 1);
  const ULONGLONG sent = client.renderSamples;
  DelayMs(100);
  EXPECT_GT(client.renderSamples, sent + 48000 / 20);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_RUNNING);
}

// A device that leaves mid-stream: the recovery finds it gone and the control thread ends;
// the clients leave and the device goes without a leak.
TEST_F(Uac2Stream, DeviceLeavingMidStream) {
  for (ULONG direction : {adapter::STREAM_DIRECTION_RENDER, adapter::STREAM_DIRECTION_CAPTURE}) {
    SCOPED_TRACE(direction);
    TestClient& client = NewClient();
    ASSERT_TRUE(Run(Profile(true), direction, 48000, client));
    DelayMs(50);
    ExpectStreamFinding("missed packets", "device");
    bus().RemoveDevice();
    DelayMs(200);
    EXPECT_FALSE(engine_->IsControlThreadRunning());
    Detach(engine_, client);
    TearDownDevice();
  }
}


// The rate goes to the clock source before anything is allocated; a clock that refuses it
// fails the prepare with nothing left behind, and the next prepare works.
TEST_F(Uac2Stream, TheRateGoesToTheClockAndARefusalAllocatesNothing) {
  ASSERT_EQ(StartHeadset(Profile(true)), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Engine(adapter::STREAM_DIRECTION_RENDER);
  ASSERT_NE(engine, nullptr);
  WAVEFORMATEXTENSIBLE format;
  ASSERT_TRUE(FormatAt(engine, 96000, &format));
  TestClient& client = NewClient();
  ASSERT_EQ(Register(engine, client, format), STATUS_SUCCESS);
  // SET_CUR of the clock's sampling-frequency control (selector 1, entity in the high byte).
  sim_->StallRequests({.request_type = 0x21, .request = 0x01, .value = 0x0100, .index = kClockId << 8});
  ULONG ms = 0, frame = 0;
  EXPECT_FALSE(NT_SUCCESS(engine->PrepareClient(client.key(), &ms, &frame)));
  EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  EXPECT_TRUE(AlternatesSelected(1).empty());
  ASSERT_EQ(engine->PrepareClient(client.key(), &ms, &frame), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl({.id = kClockId, .selector = 1}), 96000);
  EXPECT_EQ(AlternatesSelected(1), std::vector<UCHAR>{1});
  EXPECT_EQ(engine->UnprepareClient(client.key()), STATUS_SUCCESS);
  Detach(engine, client);
}

// Every allocation of a render prepare (twenty transfers, the ring, the pipe table, the
// requests) failed once: the prepare fails with nothing left behind, and the engine
// prepares and streams afterwards.
TEST_F(Uac2Stream, RenderPrepareSurvivesEveryAllocationFailure) {
  ASSERT_EQ(StartHeadset(Profile(true)), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Engine(adapter::STREAM_DIRECTION_RENDER);
  WAVEFORMATEXTENSIBLE format;
  ASSERT_TRUE(FormatAt(engine, 48000, &format));
  const std::uint64_t allocations = ForEachAllocationFailure([&](FaultSweep& sweep) {
    TestClient& client = NewClient();
    ASSERT_EQ(Register(engine, client, format), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    sweep.Arm();
    const NTSTATUS status = engine->PrepareClient(client.key(), &ms, &frame);
    sweep.Disarm();
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES) << sweep.n();
    }
    Detach(engine, client);
  });
  EXPECT_GT(allocations, 60u);
  TestClient& again = NewClient();
  ASSERT_EQ(Attach(engine, again, format), STATUS_SUCCESS);
  DelayMs(50);
  ASSERT_EQ(engine->StopClient(again.key(), nullptr), STATUS_SUCCESS);
  EXPECT_GT(ExpectEverySampleOnce(kRenderEndpoint, again), 0u);
}


// Once both streams run, nothing allocates pool: data and feedback transfers exist from
// the prepare on and their IRPs are reused.
TEST_F(Uac2Stream, StreamingAllocatesNoPool) {
  auto profile = Profile(true);
  profile.clock_ppm = 200.0;
  ASSERT_EQ(StartHeadset(profile), STATUS_SUCCESS);
  stream::CUsbStreamEngine* render = Engine(adapter::STREAM_DIRECTION_RENDER);
  stream::CUsbStreamEngine* capture = Engine(adapter::STREAM_DIRECTION_CAPTURE);
  WAVEFORMATEXTENSIBLE out, in;
  ASSERT_TRUE(FormatAt(render, 48000, &out));
  ASSERT_TRUE(FormatAt(capture, 48000, &in));
  TestClient& speaker = NewClient();
  TestClient& mic = NewClient();
  ASSERT_EQ(Attach(render, speaker, out), STATUS_SUCCESS);
  ASSERT_EQ(Attach(capture, mic, in, 1, 10), STATUS_SUCCESS);
  DelayMs(30);
  const auto before = platform::pool::AllocationCount();
  const ULONG feedback = static_cast<stream::CUac2RenderStream*>(render)->GetFeedbackUrbsSent();
  DelayMs(500);
  EXPECT_EQ(platform::pool::AllocationCount(), before);
  EXPECT_GE(static_cast<stream::CUac2RenderStream*>(render)->GetFeedbackUrbsSent(), feedback + 90);
  EXPECT_GT(mic.Captured().size(), 48000u / 2);
}


// Aborting the pipes cancels the data and the feedback URBs alike: the cancelled ones are
// not resent and no recovery runs. (A completion that ran just before the abort may have
// sent its successor already; then the stream goes on from there, a jump in the samples.)
TEST_F(Uac2Stream, AbortCancelsDataAndFeedbackUrbs) {
  TestClient& client = NewClient();
  ASSERT_TRUE(Run(Profile(true), adapter::STREAM_DIRECTION_RENDER, 48000, client));
  DelayMs(50);
  ASSERT_GT(engine_->GetUrbsOutstanding(), 3);  // three data URBs and their feedback URBs
  ExpectStreamFinding("underrun", "device");
  ExpectStreamFinding("missed packets", "device");
  ExpectStreamFinding("pattern break", "device");
  EXPECT_EQ(engine_->AbortPipe(), STATUS_SUCCESS);
  DelayMs(100);
  EXPECT_LE(engine_->GetUrbsOutstanding(), 2 * 3);
  EXPECT_EQ(client.Count(stream::STREAM_NOTIFY_FORMAT, true), 1u);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_RUNNING);
  if (seed() == 0) {
    EXPECT_EQ(engine_->GetUrbsOutstanding(), 0);  // the fixed order: nothing raced the abort
  }
}

}  // namespace
}  // namespace uac2_test
