// Explicit feedback as the driver reads it through isochronous IN URBs: the value holds for
// the endpoint's refresh period, and the encodings devices really ship.
#include <gtest/gtest.h>

#include <set>

#include "bus_harness.h"
#include "synthetic.h"

namespace sim::device {
namespace {

using namespace test;

struct FeedbackBus : Bus {
  FeedbackBus(const Bytes& config, DeviceProfile profile) : Bus("uac1-headset-A.txt") {
    hc.reset();
    device = test::Build(config, std::move(profile));
    if (device) hc = std::make_unique<HostController>(device.get(), [this] { return now; });
  }
};

std::uint32_t Value(const IsoUrb& u, ULONG packet, ULONG bytes) {
  const auto* p = u.buffer.data() + u.iso_const().IsoPacket[packet].Offset;
  std::uint32_t v = 0;
  for (ULONG b = 0; b < bytes; ++b) v |= static_cast<std::uint32_t>(p[b]) << (8 * b);
  return v;
}

TEST(FeedbackOnTheBus, FullSpeedValueChangesOnlyEveryTwoToTheRefreshFrames) {
  // Headset A's feedback endpoint declares bRefresh 5: a new value every 32 frames.
  Bus bus("uac1-headset-A.txt");
  ASSERT_TRUE(bus.Configure());
  auto pipes = bus.Select(1, 1);
  USBD_PIPE_HANDLE fb = Bus::PipeOf(pipes, 0x83);
  ASSERT_NE(fb, nullptr);
  IsoUrb u(fb, 200, 3, true, false, bus.hc->CurrentFrame() + 3);
  Done d;
  ASSERT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
  bus.RunFrames(60);
  bus.device->SetClockPpm(2000.0);  // the device clock moves; the report follows at the next refresh
  bus.RunFrames(160);
  ASSERT_EQ(d.count, 1);
  const ULONG start = u.iso().StartFrame;
  int changes = 0;
  for (ULONG i = 1; i < 200; ++i) {
    ASSERT_EQ(u.iso().IsoPacket[i].Length, 3u);
    if (Value(u, i, 3) != Value(u, i - 1, 3)) {
      ++changes;
      EXPECT_EQ((start + i) % 32, 0u) << "changed at frame " << start + i;
    }
  }
  EXPECT_EQ(changes, 1);
  const double before = 44100.0 / 1000.0 * 16384.0, after = 44100.0 * 1.002 / 1000.0 * 16384.0;
  EXPECT_NEAR(Value(u, 0, 3), before, 1.0);
  EXPECT_NEAR(Value(u, 199, 3), after, 1.0);
}

TEST(FeedbackOnTheBus, EachEncodingAsTheDeviceSendsIt) {
  struct Row {
    const char* what;
    bool high_speed;
    FeedbackEncoding encoding;
    ULONG bytes;
    double expected;  // the value on the wire
  } rows[] = {
      {"full speed 10.14", false, FeedbackEncoding::Standard, 3, 48.0 * 16384.0},
      {"full speed 16.16 (non-compliant)", false, FeedbackEncoding::FullSpeed16_16, 4, 48.0 * 65536.0},
      {"high speed 16.16", true, FeedbackEncoding::Standard, 4, 6.0 * 65536.0},
      {"high speed 10.14 left-justified (non-compliant)", true, FeedbackEncoding::HighSpeed10_14, 4,
       6.0 * 16384.0 * 256.0},
  };
  for (auto& row : rows) {
    DeviceProfile p;
    p.high_speed = row.high_speed;
    p.feedback_encoding = row.encoding;
    FeedbackBus bus(SpeakerWithFeedback(4, 1), p);
    ASSERT_TRUE(bus.device) << row.what;
    ASSERT_TRUE(bus.Configure()) << row.what;
    USBD_PIPE_HANDLE fb = Bus::PipeOf(bus.Select(1, 1), 0x83);
    IsoUrb u(fb, 8, 4, true, true);
    ASSERT_EQ(bus.SubmitSync(u.urb()), STATUS_SUCCESS) << row.what;
    for (ULONG i = 0; i < 8; ++i) {
      ASSERT_EQ(u.iso().IsoPacket[i].Length, row.bytes) << row.what;
      EXPECT_NEAR(Value(u, i, row.bytes), row.expected, row.encoding == FeedbackEncoding::HighSpeed10_14 ? 256.0 : 1.0)
          << row.what;
    }
    if (row.encoding == FeedbackEncoding::HighSpeed10_14) {
      EXPECT_EQ(Value(u, 0, 4) & 0xFF, 0u);
    }
  }
}

TEST(FeedbackOnTheBus, WobbleAlternatesByOneUnitPerRefresh) {
  DeviceProfile p;
  p.feedback_wobble = true;
  FeedbackBus bus(SpeakerWithFeedback(3, 1), p);  // a new value every 2 frames
  ASSERT_TRUE(bus.Configure());
  USBD_PIPE_HANDLE fb = Bus::PipeOf(bus.Select(1, 1), 0x83);
  IsoUrb u(fb, 40, 3, true, false, bus.hc->CurrentFrame() + 2);
  ASSERT_EQ(bus.SubmitSync(u.urb()), STATUS_SUCCESS);
  const ULONG start = u.iso().StartFrame;
  const std::uint32_t base = 48 * 16384;
  std::set<std::uint32_t> seen;
  for (ULONG i = 0; i < 40; ++i) {
    const std::uint32_t v = Value(u, i, 3);
    seen.insert(v);
    EXPECT_TRUE(v == base || v == base + 1) << i;
    if (i == 0) continue;
    if ((start + i) % 2 != 0) {
      EXPECT_EQ(v, Value(u, i - 1, 3)) << "held within the refresh period";
    } else {
      EXPECT_NE(v, Value(u, i - 1, 3)) << "moves at each refresh";
    }
  }
  EXPECT_EQ(seen.size(), 2u);
}


// A profile's refresh replaces the descriptor's (a UAC 2.0 endpoint has no bRefresh): at
// full speed the value moves every 2^n frames, at high speed every 2^n microframes but never
// faster than the endpoint is polled (here every microframe: bInterval 1).
TEST(FeedbackOnTheBus, ProfileRefreshReplacesTheDescriptors) {
  struct Row {
    bool high_speed;
    std::uint8_t refresh;
    ULONG period_packets;
  } rows[] = {{false, 3, 8}, {false, 0, 1}, {true, 4, 16}, {true, 0, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.high_speed ? "high" : "full") << " speed, refresh " << int(row.refresh));
    DeviceProfile p;
    p.feedback_wobble = true;  // so that every refresh shows
    p.high_speed = row.high_speed;
    p.feedback_refresh = row.refresh;
    FeedbackBus bus(SpeakerWithFeedback(4, 1), p);  // the descriptor says 2 frames
    ASSERT_TRUE(bus.Configure());
    USBD_PIPE_HANDLE fb = Bus::PipeOf(bus.Select(1, 1), 0x83);
    IsoUrb u(fb, 48, 4, true, false, bus.hc->CurrentFrame() + 2);
    ASSERT_EQ(bus.SubmitSync(u.urb()), STATUS_SUCCESS);
    // Packet i runs in frame start + i at full speed, in microframe 8 x start + i at high speed.
    const ULONG first = row.high_speed ? u.iso().StartFrame * 8 : u.iso().StartFrame;
    for (ULONG i = 1; i < 48; ++i) {
      const bool moves = (first + i) % row.period_packets == 0;
      EXPECT_EQ(Value(u, i, 4) != Value(u, i - 1, 4), moves) << "packet " << i;
    }
  }
}

}  // namespace
}  // namespace sim::device
