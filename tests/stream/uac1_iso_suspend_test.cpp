// Streams and selective suspend: a stream holding its streaming alternate setting keeps
// the device awake (the idle timer queues no work), and once it stops the device may
// sleep again.
#include <gtest/gtest.h>

#include "iso_stream_fixture.h"

namespace iso_test {
namespace {

using platform::testing::DelayMs;

const AltSpec kStereo48{2, 2, 16, {48000}, {{kRenderEndpoint, 0x05, 196, 1}}};
const AltSpec kMono48{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, 100, 1}}};
const WAVEFORMATEXTENSIBLE kStereo48Format = Pcm(2, 48000, 16);
const WAVEFORMATEXTENSIBLE kMono48Format = Pcm(1, 48000, 16);

class Uac1Suspend : public IsoStreamTest {};

TEST_F(Uac1Suspend, RunningStreamsKeepTheDeviceAwake) {
  selectiveSuspend_ = true;
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  auto* device = static_cast<adapter::CUsbAudioDevice*>(hal_);
  ASSERT_TRUE(device->SelectiveSuspendEnabled());
  for (bool render : {true, false}) {
    SCOPED_TRACE(render ? "render" : "capture");
    stream::CUsbStreamEngine* engine = render ? Render() : Capture();
    const LONG queuedBefore = device->IdleWorkQueued();
    const LONG sentBefore = device->IdleRequestsSent();
    TestClient client;
    ASSERT_EQ(Attach(engine, client, render ? kStereo48Format : kMono48Format, 10, 2), STATUS_SUCCESS);
    EXPECT_EQ(device->Activity(), 1);
    DelayMs(12000);
    EXPECT_EQ(device->IdleWorkQueued(), queuedBefore);
    EXPECT_EQ(device->IdleRequestsSent(), sentBefore);
    EXPECT_FALSE(bus().idle_pending());
    ASSERT_EQ(engine->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    Detach(engine, client);
    EXPECT_EQ(device->Activity(), 0);
    // Idle again: within one period of the timer the idle request goes down.
    DelayMs(5100);
    EXPECT_GT(device->IdleRequestsSent(), sentBefore);
    // A request withdraws it before the next stream.
    EXPECT_EQ(device->WakeForRequest(), STATUS_SUCCESS);
    EXPECT_EQ(device->EndRequest(), STATUS_SUCCESS);
    DelayMs(100);
    EXPECT_EQ(device->GetPowerState(), PowerDeviceD0);
  }
}

}  // namespace
}  // namespace iso_test
