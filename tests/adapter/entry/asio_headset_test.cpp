// ASIO through the I/O controls on the UAC 2.0 headset (asynchronous OUT endpoint with
// explicit feedback, asynchronous IN endpoint), the whole driver loaded by Plug and Play:
// a simulated ASIO host sets 48 kHz and 24-bit samples, creates its buffers, starts and
// serves the mapped rings on its period event for a minute of virtual time, with the
// platform's default timing, under the suite's seeds.
#include <gtest/gtest.h>

#include "asio_fixture.h"
#include "asio_host.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "uac2_stream_fixture.h"
#include "usb_device_fixture.h"

namespace entry_test {
namespace {

using asio_host::Host;
using sim::engine::AsioClient;
using sim::engine::AsioReply;

class AsioHeadset : public AsioTest {
 protected:
  void StartHeadset() {
    StartAsioDevice(usb_device_test::DeviceDescriptor(0x1234, 0x5678), uac2_test::Headset(asio_host::Layout24()),
                    uac2_test::HeadsetProfile(false));
  }
};

TEST_F(AsioHeadset, AMinuteOfRenderAndCaptureDeliversEveryFrameOnce) {
  ASSERT_NO_FATAL_FAILURE(StartHeadset());
  const auto mark = platform::pool::CurrentMark();
  auto client = NewClient();
  ASSERT_EQ(client->SetValue(adapter::IOCTL_ASIO_SET_SAMPLE_RATE, asio_host::kRate), STATUS_SUCCESS);
  ASSERT_EQ(client->SetValue(adapter::IOCTL_ASIO_SET_BIT_DEPTH, asio_host::kType24), STATUS_SUCCESS);
  const AsioReply reply = client->CreateBuffers({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, 480, 2);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 16u);
  Host host(ActiveRing(*client, false), ActiveRing(*client, true));
  ASSERT_EQ(host.capture.Read(sim::engine::AsioRing::kSignals), 1u);
  EXPECT_EQ(host.render.Read(sim::engine::AsioRing::kSignals), 0u);

  ASSERT_EQ(client->Start(), STATUS_SUCCESS);
  host.render.Begin();
  host.capture.Begin();
  EXPECT_EQ(host.render.size(), 11520u);  // 40 ms of 24-bit stereo
  EXPECT_EQ(host.render.lead(), 4u * asio_host::kUrbBytes);
  host.Serve(client->PeriodEvent(), 1000);
  // From here on the notify path allocates nothing.
  const auto before = platform::pool::AllocationCount();
  host.Serve(client->PeriodEvent(), 59000);
  EXPECT_EQ(platform::pool::AllocationCount(), before);
  const ULONG periods = host.capture.Periods();
  ASSERT_EQ(client->Stop(), STATUS_SUCCESS);

  host.ExpectNoFindings();
  host.ExpectRenderedAsWritten(*sim_);
  host.ExpectCapturedRamp();
  EXPECT_GE(host.frames, 59ull * asio_host::kRate);
  EXPECT_GE(host.captured.size(), 59ull * asio_host::kRate * 2);
  // One period per 2 ms URB of the capture ring, and a wake for (nearly) each: several
  // URBs completing in one batch wake the host once.
  EXPECT_NEAR(periods, 30000.0, 60.0);
  EXPECT_LE(host.wakes, periods);
  EXPECT_GE(host.wakes, periods / 2);
  EXPECT_NEAR(static_cast<double>(host.capture.moved()) / periods, asio_host::kUrbBytes, 2.0);

  ASSERT_EQ(client->DisposeBuffers(), STATUS_SUCCESS);
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  ASSERT_EQ(client->Close(), STATUS_SUCCESS);
  client.reset();
  EXPECT_TRUE(platform::pool::LiveBlocks(mark).empty());
}

}  // namespace
}  // namespace entry_test
