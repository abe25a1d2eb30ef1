// ASIO rings streaming through the stream engines of a simulated UAC 2.0 headset
// (asynchronous OUT endpoint with explicit feedback, asynchronous IN endpoint): the
// device's rings made, mapped and attached as priority-5 clients, a host on the test
// thread waking on the period event, writing a sine ahead of the render position and
// reading the device's ramp behind the capture position. Platform timing as it is by
// default (timer ticks, DPC latency, batched completions), under the suite's seeds.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "adapter/asio_streams.h"
#include "adapter/device_quirks.h"
#include "adapter/ptr_list.h"
#include "sim/engine/asio_ring.h"
#include "kernel/clock.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "asio_host.h"
#include "uac2_stream_fixture.h"

namespace {

using adapter::AsioBufferSettings;
using adapter::AsioChannelPair;
using adapter::CAsioStreams;
using sim::engine::AsioRing;
using platform::testing::DelayMs;
using platform::testing::RelativeMs;
using asio_host::Host;
using asio_host::kRate;
using asio_host::kType24;

class AsioStreaming : public uac2_test::Uac2StreamTest {
 protected:
  void SetUp() override {
    Uac2StreamTest::SetUp();
    KeInitializeEvent(&period_, SynchronizationEvent, FALSE);
  }
  void TearDown() override {
    if (asio_) Finish();
    Uac2StreamTest::TearDown();
  }

  NTSTATUS StartHeadset24(USHORT vendor = 0x1234, USHORT product = 0x5678, bool selectiveSuspend = false) {
    Plug(usb_device_test::DeviceDescriptor(vendor, product), uac2_test::Headset(asio_host::Layout24()), Profile(false));
    if (selectiveSuspend) platform::registry::SetDword(ParametersPath(), u"SelectiveSuspendEnabled", 1);
    const NTSTATUS status = Start();
    asio_ = NT_SUCCESS(status) ? device()->AsioStreams() : nullptr;
    return status;
  }
  // Rings, streams, start and reset, in the order Start runs them.
  NTSTATUS Begin(const std::vector<AsioChannelPair>& pairs, ULONG period = 480, ULONG type = kType24) {
    const AsioBufferSettings settings{adapter::kAsioModePcm, kRate, type, period};
    NTSTATUS status = asio_->CreateRings(settings, pairs.data(), static_cast<ULONG>(pairs.size()));
    if (!NT_SUCCESS(status)) return status;
    status = asio_->OpenAsioStreams();
    if (!NT_SUCCESS(status)) {
      asio_->FreeRings();
      return status;
    }
    status = asio_->StartAsioStreaming();
    if (NT_SUCCESS(status)) asio_->ResetAsioChannels(&period_);
    return status;
  }
  // Stop, close and free, as DisposeBuffers does.
  void Finish() {
    if (asio_->Streaming()) asio_->StopAsioStreaming();
    asio_->TakePeriodEvent();
    asio_->CloseAsioStreams();
    asio_->FreeRings();
  }
  void* RingOf(ULONG direction) {
    for (ULONG i = 0; i < asio_->ChannelCount(); ++i) {
      const adapter::AsioChannel& c = asio_->Channel(i);
      if (c.Asio && c.IsInput == (direction == adapter::STREAM_DIRECTION_CAPTURE ? 1u : 0u)) return c.UserAddress;
    }
    return nullptr;
  }
  static std::vector<AsioChannelPair> Both() { return {{0, 0}, {0, 1}, {1, 0}, {1, 1}}; }

  void Serve(Host& host, LONGLONG ms, const std::function<void()>& hostile = {}) {
    host.Serve(&period_, ms, hostile);
  }

  CAsioStreams* asio_ = nullptr;
  KEVENT period_;
};

TEST_F(AsioStreaming, RenderAndCaptureForAMinuteDeliverEveryFrameOnce) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  ASSERT_EQ(Begin(Both()), STATUS_SUCCESS);
  Host host(RingOf(0), RingOf(1));
  host.render.Begin();
  host.capture.Begin();
  EXPECT_EQ(host.render.size(), 11520u);
  EXPECT_EQ(host.render.lead(), 4u * 576);
  EXPECT_EQ(host.capture.Read(AsioRing::kSignals), 1u);
  EXPECT_EQ(host.render.Read(AsioRing::kSignals), 0u);

  Serve(host, 1000);
  // From here on the notify path allocates nothing.
  const auto before = platform::pool::AllocationCount();
  Serve(host, 59000);
  EXPECT_EQ(platform::pool::AllocationCount(), before);
  const ULONG periods = host.capture.Periods();
  Finish();

  host.ExpectNoFindings();
  host.ExpectRenderedAsWritten(*sim_);
  host.ExpectCapturedRamp();
  EXPECT_GE(host.frames, 59ull * kRate);
  EXPECT_GE(host.captured.size(), 59ull * kRate * 2);
  // One period per 2 ms URB of the capture ring, and a wake for (nearly) each: several
  // URBs completing in one batch wake the host once.
  EXPECT_NEAR(periods, 30000.0, 60.0);
  EXPECT_LE(host.wakes, periods);
  EXPECT_GE(host.wakes, periods / 2);
  // The capture ring moved exactly one URB's bytes per period on average.
  EXPECT_NEAR(static_cast<double>(host.capture.moved()) / periods, 576.0, 2.0);
}

TEST_F(AsioStreaming, AHostileHeaderChangesNothingTheDeviceReceives) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  ASSERT_EQ(Begin(Both()), STATUS_SUCCESS);
  Host host(RingOf(0), RingOf(1));
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i) {
    const adapter::AsioChannel* c = &asio_->Channel(i);
    if (!c->Asio) continue;
    AsioRing& client = c->IsInput ? host.capture : host.render;
    client.ReadFrom([c] { return c->Position; }, [c] { return c->Periods; });
  }
  host.render.Begin();
  host.capture.Begin();
  std::mt19937 random(static_cast<unsigned>(platform::testing::RunSeed() * 7919 + 17));
  // The host keeps its own view; after each service it writes random values into every
  // field of both headers (the driver publishes over them, and never reads them).
  Serve(host, 3000, [&] {
    for (AsioRing* c : {&host.render, &host.capture}) {
      for (std::uint32_t field = 0; field < AsioRing::kHeaderBytes; field += 4) {
        const std::uint32_t v = random();
        c->Write(static_cast<AsioRing::Field>(field), field % 8 ? v : v | 0x80000000u);
      }
    }
  });
  Finish();
  host.ExpectNoFindings();
  host.ExpectRenderedAsWritten(*sim_);
  host.ExpectCapturedRamp();
  EXPECT_GE(host.frames, 2ull * kRate);
}

TEST_F(AsioStreaming, CaptureOnlyRequestSignalsOnTheLastCaptureRing) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  ASSERT_EQ(Begin({{1, 0}, {1, 1}}), STATUS_SUCCESS);
  Host host(RingOf(0), RingOf(1));
  EXPECT_EQ(host.render.Read(AsioRing::kActive), 0u);
  EXPECT_EQ(host.capture.Read(AsioRing::kActive), 1u);
  EXPECT_EQ(host.capture.Read(AsioRing::kSignals), 1u);
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i) {
    const adapter::AsioChannel& c = asio_->Channel(i);
    EXPECT_EQ(c.Stream != nullptr, c.Asio && c.IsInput == 1) << i;
  }
  host.capture.Begin();
  Serve(host, 200);
  EXPECT_GT(host.capture.Periods(), 50u);
  EXPECT_EQ(sim_->render_stats(uac2_test::kRenderEndpoint).received_frames, 0u);
  Finish();
  host.ExpectCapturedRamp();
}

TEST_F(AsioStreaming, RenderOnlyRequestSignalsOnTheRenderRing) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  ASSERT_EQ(Begin({{0, 1}}), STATUS_SUCCESS);
  Host host(RingOf(0), RingOf(1));
  EXPECT_EQ(host.render.Read(AsioRing::kSignals), 1u);
  EXPECT_EQ(host.capture.Read(AsioRing::kActive), 0u);
  host.render.Begin();
  host.capture.Begin();
  Serve(host, 500);
  EXPECT_GT(host.wakes, 100u);
  Finish();
  host.ExpectRenderedAsWritten(*sim_);
}

TEST_F(AsioStreaming, RingsAreRefusedBeforeAnythingIsAllocated) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  const auto mark = platform::pool::CurrentMark();
  const struct {
    const char* what;
    AsioBufferSettings settings;
    NTSTATUS status;
  } rows[] = {
      // No DSD format on either endpoint: rings without channels.
      {"DSD on a PCM device", {adapter::kAsioModeDsd, 2822400, kType24, 2200}, STATUS_INVALID_PARAMETER},
      {"unknown sample type", {adapter::kAsioModePcm, kRate, 33, 480}, STATUS_INVALID_PARAMETER},
      // A render ring of 40 ms at 100 Hz holds 4 frames; 1 ms URBs of one frame unit and
      // two of lead do not fit.
      {"render ring smaller than lead and one URB", {adapter::kAsioModePcm, 100, kType24, 480}, STATUS_INVALID_PARAMETER},
  };
  const std::vector<AsioChannelPair> pairs = Both();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(asio_->CreateRings(r.settings, pairs.data(), 4), r.status);
    EXPECT_FALSE(asio_->HasRings());
    EXPECT_TRUE(platform::pool::LiveBlocks(mark).empty());
    EXPECT_TRUE(platform::mm::UserMappings().empty());
  }
}

TEST_F(AsioStreaming, FailedMappingsAndAllocationsLeaveNothingBehind) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  const std::vector<AsioChannelPair> pairs = Both();
  const AsioBufferSettings settings{adapter::kAsioModePcm, kRate, kType24, 480};
  // The first mapping failing, then both.
  for (ULONG failing : {1u, 2u}) {
    SCOPED_TRACE(testing::Message() << failing << " mappings fail");
    const auto mark = platform::pool::CurrentMark();
    platform::mm::FailNextUserMappings(failing);
    EXPECT_EQ(asio_->CreateRings(settings, pairs.data(), 4), STATUS_INSUFFICIENT_RESOURCES);
    platform::mm::FailNextUserMappings(0);
    EXPECT_FALSE(asio_->HasRings());
    EXPECT_TRUE(platform::pool::LiveBlocks(mark).empty());
    EXPECT_TRUE(platform::mm::UserMappings().empty());
  }
  // Every allocation of the rings failing in turn (ring, MDL).
  for (std::uint64_t n = 1; n <= 4; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
    const auto mark = platform::pool::CurrentMark();
    platform::pool::FailNthAllocation(n);
    const NTSTATUS status = asio_->CreateRings(settings, pairs.data(), 4);
    platform::pool::FailNthAllocation(0);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(asio_->HasRings());
    EXPECT_TRUE(platform::pool::LiveBlocks(mark).empty());
    EXPECT_TRUE(platform::mm::UserMappings().empty());
  }
  // And with nothing failing the rings come, mapped, and go again.
  ASSERT_EQ(asio_->CreateRings(settings, pairs.data(), 4), STATUS_SUCCESS);
  EXPECT_EQ(platform::mm::UserMappings().size(), 2u);
  asio_->FreeRings();
  EXPECT_TRUE(platform::mm::UserMappings().empty());
}

TEST_F(AsioStreaming, VendorStartAndStopReachOnlyTheListedModels) {
  const struct {
    USHORT vendor, product;
    bool told;
  } rows[] = {{0x0B05, 0x17A8, true}, {0x0B05, 0x17CD, true}, {0x0B05, 0x17F3, true}, {0x1043, 0x8592, true},
              {0x1043, 0x8593, true}, {0x0B05, 0x17A9, false}, {0x1043, 0x8594, false}, {0x1234, 0x5678, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.vendor << ":" << r.product);
    ASSERT_EQ(StartHeadset24(r.vendor, r.product), STATUS_SUCCESS);
    sim_->ClearControlLog();
    ASSERT_EQ(Begin(Both()), STATUS_SUCCESS);
    DelayMs(20);
    Finish();
    std::vector<USHORT> values;
    for (const sim::device::ControlLogEntry& e : sim_->control_log())
      if (e.setup.bmRequestType == 0x40 && e.setup.bRequest == 7) {
        EXPECT_EQ(e.setup.wIndex, 0);
        EXPECT_EQ(e.setup.wLength, 0);
        values.push_back(e.setup.wValue);
      }
    const std::vector<USHORT> expected = r.told ? std::vector<USHORT>{1, 0} : std::vector<USHORT>{};
    EXPECT_EQ(values, expected);
    asio_ = nullptr;
    TearDownDevice();
  }
}

TEST_F(AsioStreaming, AFailedStartLeavesTheStreamsFreeToStartAgain) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  const std::vector<AsioChannelPair> pairs = Both();
  ASSERT_EQ(asio_->CreateRings({adapter::kAsioModePcm, kRate, kType24, 480}, pairs.data(), 4), STATUS_SUCCESS);
  ASSERT_EQ(asio_->OpenAsioStreams(), STATUS_SUCCESS);
  // The engines' resources cannot be had: prepare fails, and nothing stays prepared.
  platform::pool::FailNthAllocation(1, MakePoolTag('U', 'R', 'B', ' '));
  EXPECT_NE(asio_->StartAsioStreaming(), STATUS_SUCCESS);
  platform::pool::FailNthAllocation(0);
  EXPECT_FALSE(asio_->Streaming());
  ASSERT_EQ(asio_->StartAsioStreaming(), STATUS_SUCCESS);
  asio_->ResetAsioChannels(&period_);
  Host host(RingOf(0), RingOf(1));
  host.render.Begin();
  host.capture.Begin();
  Serve(host, 300);
  Finish();
  host.ExpectRenderedAsWritten(*sim_);
  for (const std::string& f : host.render.findings()) ADD_FAILURE() << f;
}

// Whichever client-list node cannot be had, in a prepare or in a start: the start either
// runs every channel, each engine driven by its channel's client, or fails with nothing
// left prepared or running, so that it can start again.
TEST_F(AsioStreaming, AStartThatFailsPartWayLeavesNoChannelRunning) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  const std::vector<AsioChannelPair> pairs = Both();
  ASSERT_EQ(asio_->CreateRings({adapter::kAsioModePcm, kRate, kType24, 480}, pairs.data(), 4), STATUS_SUCCESS);
  ASSERT_EQ(asio_->OpenAsioStreams(), STATUS_SUCCESS);
  ULONG failures = 0;
  for (ULONG n = 1; n <= 8; ++n) {
    SCOPED_TRACE(n);
    platform::pool::FailNthAllocation(n, adapter::kPtrListTag);
    const NTSTATUS status = asio_->StartAsioStreaming();
    platform::pool::FailNthAllocation(0);
    for (ULONG i = 0; i < asio_->ChannelCount(); ++i) {
      const adapter::AsioChannel& c = asio_->Channel(i);
      if (!c.Asio) continue;
      stream::CUsbStreamEngine* engine = Engine(c.IsInput ? adapter::STREAM_DIRECTION_CAPTURE : adapter::STREAM_DIRECTION_RENDER);
      if (NT_SUCCESS(status)) {
        EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_RUNNING);
        EXPECT_EQ(engine->GetCurrentClient(), c.Stream);
      } else {
        EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
        EXPECT_EQ(engine->GetCurrentClient(), nullptr);
        EXPECT_EQ(c.Stream->Started, 0);
      }
    }
    EXPECT_EQ(asio_->Streaming(), NT_SUCCESS(status));
    failures += !NT_SUCCESS(status);
    if (NT_SUCCESS(status)) asio_->StopAsioStreaming();
  }
  EXPECT_GE(failures, 3u);  // both prepares and at least one start
  ASSERT_EQ(asio_->StartAsioStreaming(), STATUS_SUCCESS);
}

void SetPower(adapter::CUsbAudioDevice* device, DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  device->PowerChangeState(power);
}

TEST_F(AsioStreaming, PowerDownStopsTheStreamsAndPowerUpRestartsThemFromTheReset) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  ASSERT_EQ(Begin(Both()), STATUS_SUCCESS);
  device()->SetAsioStreaming(true);  // as Start leaves it
  {
    Host host(RingOf(0), RingOf(1));
    host.render.Begin();
    host.capture.Begin();
    Serve(host, 200);
    for (const std::string& f : host.render.findings()) ADD_FAILURE() << f;
  }
  SetPower(device(), PowerDeviceD3);
  EXPECT_FALSE(asio_->Streaming());
  EXPECT_TRUE(device()->AsioSuspendedByPower());
  EXPECT_EQ(KeReadStateEvent(&period_), 0);
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i)
    if (asio_->Channel(i).Stream) {
      EXPECT_EQ(asio_->Channel(i).Stream->Started, 0) << i;
    }
  // Asleep, nothing moves and the period event stays quiet.
  std::vector<ULONG> periods;
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i) periods.push_back(asio_->Channel(i).Periods);
  DelayMs(100);
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i) EXPECT_EQ(asio_->Channel(i).Periods, periods[i]) << i;
  EXPECT_EQ(KeReadStateEvent(&period_), 0);

  SetPower(device(), PowerDeviceD0);
  EXPECT_TRUE(asio_->Streaming());
  EXPECT_FALSE(device()->AsioSuspendedByPower());
  for (ULONG i = 0; i < asio_->ChannelCount(); ++i) {
    const adapter::AsioChannel& c = asio_->Channel(i);
    if (!c.Ring) continue;
    EXPECT_LE(c.Periods, 1u) << i;  // counted from the reset
    if (!c.IsInput) {
      EXPECT_EQ(c.Position, c.StartPosition);
    }
  }
  // The host starts over from the reset and the device gets its frames from there.
  Host host(RingOf(0), RingOf(1));
  host.render.Begin();
  host.capture.Begin();
  Serve(host, 500);
  EXPECT_GT(host.wakes, 100u);
  host.ExpectNoFindings();
  host.ExpectRenderedAsWritten(*sim_);
}

// The device leaving mid-stream: the engines find it gone; stopping, closing and freeing
// the rings still work, and the device goes with nothing left behind (the fixture's
// teardown checks pool, mappings and verifier).
TEST_F(AsioStreaming, TheDeviceLeavingMidStreamLeavesNothingBehind) {
  ASSERT_EQ(StartHeadset24(), STATUS_SUCCESS);
  ASSERT_EQ(Begin(Both()), STATUS_SUCCESS);
  Host host(RingOf(0), RingOf(1));
  host.render.Begin();
  host.capture.Begin();
  Serve(host, 100);
  ExpectStreamFinding("missed packets", "device");
  bus().RemoveDevice();
  Serve(host, 200);
  const ULONG periods = host.capture.Periods();
  DelayMs(100);
  EXPECT_EQ(host.capture.Periods(), periods);  // nothing completes any more
  Finish();
  EXPECT_FALSE(asio_->HasRings());
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  asio_ = nullptr;
  TearDownDevice();
  EXPECT_TRUE(platform::mm::UserMappings().empty());
}

TEST_F(AsioStreaming, SelectiveSuspendWaitsWhileAsioStreams) {
  ASSERT_EQ(StartHeadset24(0x1234, 0x5678, true), STATUS_SUCCESS);
  ASSERT_TRUE(device()->SelectiveSuspendEnabled());
  ASSERT_EQ(Begin(Both()), STATUS_SUCCESS);
  Host host(RingOf(0), RingOf(1));
  host.render.Begin();
  host.capture.Begin();
  Serve(host, 6000);  // past the idle timer's first tick at 5 s
  EXPECT_EQ(device()->IdleRequestsSent(), 0);
  Finish();
  // Once ASIO has let the device go, it may sleep at the next tick.
  DelayMs(5000);
  EXPECT_GE(device()->IdleRequestsSent(), 1);
}

}  // namespace
