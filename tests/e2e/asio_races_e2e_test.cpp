// The ASIO notify path racing the passive operations that change what it reads: channel
// resets, stops and restarts, and the streams and rings going away, while the engines'
// completions copy into the rings on other processors. Run under the suite's seeds (and
// many more under the stress label): no verifier finding, no access outside a ring (the
// address sanitizer build), positions always inside the data, periods only counting up
// between resets, and every ring and stream gone at the end.
#include <gtest/gtest.h>

#include <vector>

#include "adapter/asio_streams.h"
#include "kernel/clock.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "uac2_stream_fixture.h"

namespace {

using adapter::AsioBufferSettings;
using adapter::AsioChannelPair;
using adapter::CAsioStreams;
using platform::testing::DelayMs;

class AsioRaces : public uac2_test::Uac2StreamTest {
 protected:
  void SetUp() override {
    Uac2StreamTest::SetUp();
    KeInitializeEvent(&period_, SynchronizationEvent, FALSE);
    uac2_test::HeadsetLayout l;
    l.renderSubslot = l.captureSubslot = 3;
    l.renderBits = l.captureBits = 24;
    Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), uac2_test::Headset(l), Profile(false));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    asio_ = device()->AsioStreams();
  }
  void TearDown() override {
    if (asio_) {
      if (asio_->Streaming()) asio_->StopAsioStreaming();
      asio_->TakePeriodEvent();
      asio_->CloseAsioStreams();
      asio_->FreeRings();
    }
    Uac2StreamTest::TearDown();
  }
  NTSTATUS Begin(ULONG period) {
    const std::vector<AsioChannelPair> pairs{{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    const AsioBufferSettings settings{adapter::kAsioModePcm, 48000, 17, period};
    NTSTATUS status = asio_->CreateRings(settings, pairs.data(), 4);
    if (NT_SUCCESS(status)) status = asio_->OpenAsioStreams();
    if (NT_SUCCESS(status)) status = asio_->StartAsioStreaming();
    if (NT_SUCCESS(status)) asio_->ResetAsioChannels(&period_);
    return status;
  }
  // What the kernel's channels say now: inside their data, and periods not going back.
  void CheckChannels(std::vector<ULONG>& periods) {
    periods.resize(asio_->ChannelCount());
    for (ULONG i = 0; i < asio_->ChannelCount(); ++i) {
      const adapter::AsioChannel& c = asio_->Channel(i);
      if (!c.Ring) continue;
      ASSERT_LT(c.Position, c.DataSize) << i;
      ASSERT_EQ(c.Position % 6, 0u) << i;
      ASSERT_GE(c.Periods, periods[i]) << i;
      periods[i] = c.Periods;
      // The header shows what the kernel holds (nobody else writes it here).
      ASSERT_EQ(c.Ring->Position, c.Position) << i;
    }
  }

  CAsioStreams* asio_ = nullptr;
  KEVENT period_;
};

TEST_F(AsioRaces, ResetsStopsAndRestartsWhileCompletionsCopy) {
  // 1 ms URBs, two in flight: the most completions per second, and a stream the platform's
  // DPC latency starves at times, as do the stops; the device's record is not the point.
  ExpectStreamFinding("missed packets", "device");
  ExpectStreamFinding("underrun", "device");
  ASSERT_EQ(Begin(96), STATUS_SUCCESS);
  std::vector<ULONG> periods;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    DelayMs(7 + round % 5);
    CheckChannels(periods);
    switch (round % 3) {
      case 0:
        // A reset puts positions and periods back while URBs complete.
        asio_->ResetAsioChannels(&period_);
        periods.assign(periods.size(), 0);
        break;
      case 1:
        // Stop and start again (the power path's way), then reset as Start does.
        ASSERT_EQ(asio_->StopAsioStreaming(), STATUS_SUCCESS);
        ASSERT_EQ(asio_->StartAsioStreaming(), STATUS_SUCCESS);
        asio_->ResetAsioChannels(&period_);
        periods.assign(periods.size(), 0);
        break;
      default:
        // The period event taken away and given back.
        EXPECT_EQ(asio_->TakePeriodEvent(), &period_);
        DelayMs(3);
        asio_->ResetAsioChannels(&period_);
        periods.assign(periods.size(), 0);
        break;
    }
  }
  DelayMs(5);
  CheckChannels(periods);
  EXPECT_GT(periods.back() + periods.front(), 0u);
}

TEST_F(AsioRaces, StreamsAndRingsGoOnlyOnceTheirStreamsAreUnregistered) {
  const auto mark = platform::pool::CurrentMark();
  ASSERT_EQ(Begin(480), STATUS_SUCCESS);
  DelayMs(13);
  // Closing running streams: the engines refuse to unregister a prepared client, so the
  // streams and their rings stay where the completions can still reach them.
  asio_->CloseAsioStreams();
  asio_->FreeRings();
  EXPECT_TRUE(asio_->HasRings());
  ULONG streams = 0;
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i) streams += asio_->Channel(i).Stream != nullptr;
  EXPECT_EQ(streams, 2u);
  DelayMs(7);
  // Stopped first, they go, and the rings after them, while the last URBs come back.
  ASSERT_EQ(asio_->StopAsioStreaming(), STATUS_SUCCESS);
  asio_->TakePeriodEvent();
  asio_->CloseAsioStreams();
  asio_->FreeRings();
  EXPECT_FALSE(asio_->HasRings());
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  DelayMs(20);
  EXPECT_TRUE(platform::pool::LiveBlocksWithTag(adapter::kUsbDeviceBufferTag, mark).empty());
  // And buffers can be made and streamed again.
  ASSERT_EQ(Begin(480), STATUS_SUCCESS);
  DelayMs(10);
}

}  // namespace
