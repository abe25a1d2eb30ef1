#include <gtest/gtest.h>

#include <cmath>

#include "test_support.h"

namespace sim::device {
namespace {

using namespace test;

// Headset A (full speed, 44.1 kHz stereo 16-bit): OUT 0x01 with feedback 0x83 on
// interface 1, IN 0x81 on interface 2.
constexpr std::uint8_t kOut = 0x01, kFeedback = 0x83, kIn = 0x81;
constexpr std::uint32_t kRate = 44100, kFrameBytes = 4;

// The host side's fill rule: packets of rate/1000 frames plus one whenever the remainder
// of the rate's thousandths reaches a whole frame.
struct Sender {
  std::int64_t remainder = 0;
  std::uint32_t next_sample = 0;
  std::vector<std::uint8_t> Packet(std::uint32_t rate) {
    remainder += rate - (kRate / 1000) * 1000;
    const std::int64_t extra = remainder / 1000;
    remainder %= 1000;
    const auto frames = static_cast<std::uint32_t>(kRate / 1000 + extra);
    std::vector<std::uint8_t> p;
    for (std::uint32_t f = 0; f < frames * 2; ++f, ++next_sample) {
      const auto v = static_cast<std::uint16_t>(next_sample);
      p.push_back(static_cast<std::uint8_t>(v));
      p.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return p;
  }
};

std::unique_ptr<SimDevice> Headset(double ppm, double gain = 0.0, std::uint32_t start = 441) {
  DeviceProfile p;
  p.clock_ppm = ppm;
  p.feedback_gain_hz_per_frame = gain;
  p.fifo_start_frames = start;
  p.fifo_capacity_ms = 1000;
  auto d = Load("uac1-headset-A.txt", p);
  if (d) {
    Configure(*d, 1, 1);
    Set(*d, 1, USB_REQUEST_SET_INTERFACE, 1, 2, {});
  }
  return d;
}

TEST(RenderFifo, FedAtNominalRateDriftsByTheClockOffset) {
  for (double ppm : {100.0, -100.0}) {
    auto d = Headset(ppm);
    ASSERT_TRUE(d);
    Sender sender;
    std::int64_t at_1s = 0;
    for (std::uint64_t frame = 0; frame < 11000; ++frame) {
      d->Tick(frame * 8);
      if (frame == 1000) at_1s = d->render_stats(kOut).fifo_frames;
      auto p = sender.Packet(kRate);
      ASSERT_EQ(d->IsoOut(kOut, frame * 8, p.data(), static_cast<ULONG>(p.size())), USBD_STATUS_SUCCESS);
    }
    d->Tick(11000 * 8);
    const auto stats = d->render_stats(kOut);
    const double drift = static_cast<double>(stats.fifo_frames - at_1s);
    // Ten seconds at 44.1 kHz: 100 ppm is 44.1 frames, consumed faster for a fast clock.
    EXPECT_NEAR(drift, -ppm * 1e-6 * kRate * 10.0, 2.0) << ppm;
    EXPECT_EQ(stats.underrun_frames, 0u);
    EXPECT_TRUE(stats.playing);
  }
}

// Only an asynchronous endpoint runs on the device's clock: an adaptive one locks to the
// host's frames and neither its FIFO nor its capture drifts, unless every endpoint is asked
// to drift. Each endpoint at 44.1 kHz, fed (or read) once per frame for ten seconds.
TEST(ClockOffset, DriftsAsynchronousEndpointsOnlyUnlessEveryOneIsAsked) {
  struct Row {
    const char* dump;
    std::uint8_t interface_number, alternate, endpoint;
    bool every;    // drift_every_endpoint
    bool drifts;
  } rows[] = {
      {"uac1-headset-A.txt", 1, 1, 0x01, false, true},     // asynchronous OUT
      {"uac1-headset-A.txt", 2, 1, 0x81, false, true},     // asynchronous IN
      {"uac1-soundcard-A.txt", 1, 2, 0x01, false, false},  // adaptive OUT
      {"uac1-soundcard-A.txt", 1, 2, 0x01, true, true},
      {"uac1-soundcard-A.txt", 2, 1, 0x84, false, false},  // adaptive IN
      {"uac1-soundcard-A.txt", 2, 1, 0x84, true, true},
  };
  constexpr double kPpm = 500.0;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.dump << " endpoint " << std::hex << int{row.endpoint}
                                    << (row.every ? ", every endpoint drifting" : ""));
    DeviceProfile p;
    p.clock_ppm = kPpm;
    p.drift_every_endpoint = row.every;
    p.fifo_start_frames = 441;
    p.fifo_capacity_ms = 1000;
    auto d = Load(row.dump, p);
    ASSERT_TRUE(d);
    Configure(*d, row.interface_number, row.alternate);
    // The endpoint's sampling frequency control: 44,100 Hz.
    Set(*d, 0x22, 0x01, 0x0100, row.endpoint, {0x44, 0xAC, 0x00});
    const std::uint32_t frame_bytes = d->frame_bytes(row.endpoint);
    ASSERT_NE(frame_bytes, 0u);
    const bool render = (row.endpoint & 0x80) == 0;
    std::int64_t remainder = 0;
    std::uint64_t moved = 0;  // capture: frames produced
    std::int64_t at_1s = 0;
    std::vector<std::uint8_t> buf(1024);
    for (std::uint64_t frame = 0; frame < 11000; ++frame) {
      d->Tick(frame * 8);
      if (render) {
        if (frame == 1000) at_1s = d->render_stats(row.endpoint).fifo_frames;
        remainder += kRate - (kRate / 1000) * 1000;
        const std::uint64_t frames = kRate / 1000 + remainder / 1000;
        remainder %= 1000;
        std::vector<std::uint8_t> packet(frames * frame_bytes, 0);
        ASSERT_EQ(d->IsoOut(row.endpoint, frame * 8, packet.data(), static_cast<ULONG>(packet.size())),
                  USBD_STATUS_SUCCESS);
      } else {
        ULONG len = 0;
        ASSERT_EQ(d->IsoIn(row.endpoint, frame * 8, buf.data(), static_cast<ULONG>(buf.size()), &len),
                  USBD_STATUS_SUCCESS);
        if (frame == 1000) at_1s = static_cast<std::int64_t>(moved);
        moved += len / frame_bytes;
      }
    }
    const double offset = row.drifts ? kPpm * 1e-6 * kRate * 10.0 : 0.0;  // 220.5 frames
    if (render) {
      d->Tick(11000 * 8);
      const auto stats = d->render_stats(row.endpoint);
      EXPECT_NEAR(static_cast<double>(stats.fifo_frames - at_1s), -offset, 2.0);
      EXPECT_EQ(stats.underrun_frames, 0u);
    } else {
      EXPECT_NEAR(static_cast<double>(static_cast<std::int64_t>(moved) - at_1s), kRate * 10.0 + offset, 2.0);
    }
  }
}

TEST(RenderFifo, RecordsEverySampleReceived) {
  auto d = Headset(0.0);
  ASSERT_TRUE(d);
  Sender sender;
  for (std::uint64_t frame = 0; frame < 100; ++frame) {
    auto p = sender.Packet(kRate);
    d->IsoOut(kOut, frame * 8, p.data(), static_cast<ULONG>(p.size()));
  }
  auto samples = d->received_samples(kOut);
  ASSERT_EQ(samples.size(), sender.next_sample);
  for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], static_cast<std::int16_t>(i)) << i;
  EXPECT_EQ(d->render_stats(kOut).received_frames * 2, sender.next_sample);
}

TEST(Feedback, FullSpeedTenFourteenWithinOneBit) {
  for (double ppm : {0.0, 250.0, -731.0}) {
    auto d = Headset(ppm);
    ASSERT_TRUE(d);
    std::uint8_t buf[3];
    ULONG len = 0;
    ASSERT_EQ(d->IsoIn(kFeedback, 0, buf, 3, &len), USBD_STATUS_SUCCESS);
    ASSERT_EQ(len, 3u);
    const std::uint32_t value = buf[0] | (buf[1] << 8) | (buf[2] << 16);
    const double exact = kRate * (1.0 + ppm * 1e-6) / 1000.0 * 16384.0;
    EXPECT_LE(std::fabs(value - exact), 1.0) << ppm;
  }
}

TEST(Feedback, HighSpeedSixteenSixteenWithinOneBit) {
  for (double ppm : {0.0, -80.0, 500.0}) {
    DeviceProfile p;
    p.high_speed = true;
    p.clock_ppm = ppm;
    p.clock_rates[41] = {48000};
    auto d = Load("uac2-dac-A.txt", p);
    ASSERT_TRUE(d);
    Configure(*d, 1, 1);
    std::uint8_t buf[4];
    ULONG len = 0;
    ASSERT_EQ(d->IsoIn(0x81, 0, buf, 4, &len), USBD_STATUS_SUCCESS);
    ASSERT_EQ(len, 4u);
    const std::uint32_t value = buf[0] | (buf[1] << 8) | (buf[2] << 16) | (static_cast<std::uint32_t>(buf[3]) << 24);
    const double exact = 48000.0 * (1.0 + ppm * 1e-6) / 8000.0 * 65536.0;
    EXPECT_LE(std::fabs(value - exact), 1.0) << ppm;
  }
}

// A host that plays the rate the feedback reports, as the driver does: ten 1 ms packets per
// transfer, the feedback of the previous transfer averaged in whole hertz.
TEST(Feedback, FollowedFeedbackKeepsTheFifoBounded) {
  auto d = Headset(300.0, 0.5);
  ASSERT_TRUE(d);
  Sender sender;
  std::uint32_t measured = kRate;
  std::int64_t low = 1 << 30, high = -(1 << 30);
  for (std::uint64_t frame = 0; frame < 120000; ++frame) {
    d->Tick(frame * 8);
    if (frame % 10 == 0 && frame > 0) {
      std::uint64_t sum = 0;
      for (int k = 0; k < 10; ++k) {
        std::uint8_t b[3];
        ULONG len = 0;
        d->IsoIn(kFeedback, frame * 8, b, 3, &len);
        const std::uint64_t v16 = static_cast<std::uint64_t>(b[0] | (b[1] << 8) | (b[2] << 16)) << 2;
        sum += v16 * 1000 / 65536;
      }
      measured = static_cast<std::uint32_t>(sum / 10);
    }
    auto p = sender.Packet(measured);
    d->IsoOut(kOut, frame * 8, p.data(), static_cast<ULONG>(p.size()));
    if (frame > 2000) {
      const auto level = d->render_stats(kOut).fifo_frames;
      low = std::min(low, level);
      high = std::max(high, level);
    }
  }
  const auto stats = d->render_stats(kOut);
  EXPECT_EQ(stats.underrun_frames, 0u);
  EXPECT_EQ(stats.overflow_frames, 0u);
  EXPECT_GT(low, 441 - 100);
  EXPECT_LT(high, 441 + 100);
  // The device's own extremes cover what the packets showed, drained low as well.
  EXPECT_EQ(stats.start_frames, 441u);
  EXPECT_LE(stats.fifo_min_frames, low);
  EXPECT_GE(stats.fifo_max_frames, high);
  EXPECT_GT(stats.fifo_min_frames, 441 - 100 - 45);
  EXPECT_LT(stats.fifo_max_frames, 441 + 100);

  // Without following it the same clock drains the FIFO within the two minutes.
  auto open_loop = Headset(300.0, 0.5);
  Sender nominal;
  for (std::uint64_t frame = 0; frame < 120000; ++frame) {
    open_loop->Tick(frame * 8);
    auto p = nominal.Packet(kRate);
    open_loop->IsoOut(kOut, frame * 8, p.data(), static_cast<ULONG>(p.size()));
  }
  EXPECT_GT(open_loop->render_stats(kOut).underrun_frames, 0u);
  EXPECT_EQ(open_loop->render_stats(kOut).fifo_min_frames, 0);
}

TEST(Capture, ProducesTheChosenSignalAtTheDeviceClock) {
  for (double ppm : {0.0, 1000.0}) {
    auto d = Headset(ppm);
    ASSERT_TRUE(d);
    d->SetSignal({SignalKind::Ramp, {}, 0.0});
    std::vector<std::int16_t> got;
    std::uint8_t buf[200];
    for (std::uint64_t frame = 0; frame < 1000; ++frame) {
      ULONG len = 0;
      ASSERT_EQ(d->IsoIn(kIn, frame * 8, buf, sizeof(buf), &len), USBD_STATUS_SUCCESS);
      ASSERT_EQ(len % kFrameBytes, 0u);
      for (ULONG i = 0; i < len; i += 2) got.push_back(static_cast<std::int16_t>(buf[i] | (buf[i + 1] << 8)));
    }
    EXPECT_NEAR(static_cast<double>(got.size() / 2), kRate * (1.0 + ppm * 1e-6), 1.0);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<std::int16_t>(i)) << i;
  }
  auto d = Headset(0.0);
  d->SetSignal({SignalKind::Sine, {1000.0, 2000.0}, 0.5});
  std::uint8_t buf[200];
  std::int32_t peak = 0;
  for (std::uint64_t frame = 0; frame < 10; ++frame) {
    ULONG len = 0;
    d->IsoIn(kIn, frame * 8, buf, sizeof(buf), &len);
    for (ULONG i = 0; i < len; i += 2) peak = std::max<std::int32_t>(peak, std::abs(static_cast<std::int16_t>(buf[i] | (buf[i + 1] << 8))));
  }
  EXPECT_NEAR(peak, 16383, 20);
}

TEST(FaultHooks, ShortAndEmptyCapturePackets) {
  auto d = Headset(0.0);
  ASSERT_TRUE(d);
  d->SetSignal({SignalKind::Ramp, {}, 0.0});
  std::uint8_t buf[200];
  ULONG len = 0;
  d->IsoIn(kIn, 0, buf, sizeof(buf), &len);
  EXPECT_EQ(len, 44u * kFrameBytes);
  d->ShortCapturePackets(kIn, 0, 1);
  d->IsoIn(kIn, 8, buf, sizeof(buf), &len);
  EXPECT_EQ(len, 0u);
  d->ShortCapturePackets(kIn, 10, 2);
  d->IsoIn(kIn, 16, buf, sizeof(buf), &len);
  EXPECT_EQ(len, 10u * kFrameBytes);
  d->IsoIn(kIn, 24, buf, sizeof(buf), &len);
  EXPECT_EQ(len, 10u * kFrameBytes);
  d->IsoIn(kIn, 32, buf, sizeof(buf), &len);
  EXPECT_EQ(len, 44u * kFrameBytes);
  // The frames the faults dropped are gone: the ramp resumes where the clock is.
  EXPECT_EQ(static_cast<std::int16_t>(buf[0] | (buf[1] << 8)), static_cast<std::int16_t>(4 * 44 * 2));
  EXPECT_EQ(d->fault_hits(), 3u);
}

TEST(FaultHooks, IsochronousPacketErrors) {
  auto d = Headset(0.0);
  ASSERT_TRUE(d);
  d->FailIsoPackets(kOut, 2, 1, USBD_STATUS_XACT_ERROR);
  Sender sender;
  std::vector<USBD_STATUS> results;
  for (std::uint64_t frame = 0; frame < 5; ++frame) {
    auto p = sender.Packet(kRate);
    results.push_back(d->IsoOut(kOut, frame * 8, p.data(), static_cast<ULONG>(p.size())));
  }
  EXPECT_EQ(results, (std::vector<USBD_STATUS>{USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS, USBD_STATUS_XACT_ERROR,
                                               USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS}));
  EXPECT_EQ(d->render_stats(kOut).received_frames, 4u * 44);
  EXPECT_EQ(d->fault_hits(), 1u);
}

TEST(StatusMessages, Uac2InterruptMessagesOnDemand) {
  DeviceProfile p;
  p.high_speed = true;
  auto d = Load("uac2-interface-B.txt", p);
  ASSERT_TRUE(d);
  ASSERT_TRUE(d->status_endpoint().has_value());
  const std::uint8_t ep = *d->status_endpoint();
  std::uint8_t buf[6];
  ULONG len = 0;
  EXPECT_EQ(d->TransferIn(ep, buf, 6, &len), USBD_STATUS_PENDING);
  d->PushStatusUac2(10, 2, 1);
  ASSERT_EQ(d->TransferIn(ep, buf, 6, &len), USBD_STATUS_SUCCESS);
  ASSERT_EQ(len, 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 6), (std::vector<std::uint8_t>{0, 1, 1, 2, 0, 10}));
  d->PushStatusUac2(10, 2, 1);
  EXPECT_EQ(d->TransferIn(ep, buf, 2, &len), USBD_STATUS_DATA_OVERRUN);
  len = 0;
  // A control turned on the device and a jack pulled report themselves.
  ASSERT_TRUE(d->ChangeControl({false, 10, 1, 0}, 1));
  EXPECT_EQ(d->GetControl({false, 10, 1, 0}), 1);
  d->SetJackState(20, 0);
  ASSERT_EQ(d->TransferIn(ep, buf, 6, &len), USBD_STATUS_SUCCESS);
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 6), (std::vector<std::uint8_t>{0, 1, 0, 1, 0, 10}));
  ASSERT_EQ(d->TransferIn(ep, buf, 6, &len), USBD_STATUS_SUCCESS);
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 6), (std::vector<std::uint8_t>{0, 1, 0, 2, 0, 20}));
  d->HaltEndpoint(ep);
  EXPECT_EQ(d->TransferIn(ep, buf, 6, &len), USBD_STATUS_STALL_PID);
}

}  // namespace
}  // namespace sim::device
