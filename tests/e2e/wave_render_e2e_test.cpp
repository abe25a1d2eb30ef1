// Render end to end: the engine client plays a 1 kHz sine through the WaveCyclic pin of a
// UAC 1.0 device for one second of virtual time; the device must receive exactly that
// sine, phase-continuous, after the silence the stream starts with; a stream run again
// after PAUSE goes on from the frame after the last one played.
#include <gtest/gtest.h>

#include <algorithm>

#include "kernel/clock.h"
#include "support/wave_formats.h"
#include "wave_e2e_fixture.h"

namespace {

using platform::testing::DelayMs;
using platform::testing::ExtensibleFormat;
using wave_e2e::Sine16;

constexpr double kTone = 1000.0;

// Real devices: a sound card playing 48 kHz and a headset playing 44.1 kHz, both 16-bit
// stereo on OUT endpoint 1.
struct Device {
  const char* dump;
  ULONG rate;
  UCHAR endpoint;
};
constexpr Device kCard48{"uac1-soundcard-D.txt", 48000, 0x01};
constexpr Device kHeadset44{"uac1-headset-A.txt", 44100, 0x01};

struct RenderRun {
  ULONG64 played = 0;
  ULONG notifications = 0;
  std::vector<std::int32_t> received;
  ULONG64 written = 0;
};

class WaveRenderEndToEnd : public wave_e2e::WaveEndToEnd {
 protected:
  // One second of the sine at the rate, then PAUSE (checked: the position stands, every
  // URB back) and STOP.
  RenderRun PlaySecond(const Device& device, sim::engine::StreamOptions options = {}) {
    RenderRun run;
    const ULONG rate = device.rate;
    EXPECT_EQ(StartDump(device.dump), STATUS_SUCCESS);
    InstallSubdevices();
    auto filter = OpenFilter(u"SPKOut00Wave");
    if (!filter) return run;
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(2, rate, 16);
    options.clientSignal = [rate](ULONG64 firstByte, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 byte = firstByte + i;
        const short s = Sine16(byte / 4, kTone, rate);
        out[i] = static_cast<BYTE>(static_cast<USHORT>(s) >> (8 * (byte % 2)));
      }
    };
    // The position keeps pace with what the device plays, within a packet, its FIFO and
    // the URB a completion may come late by.
    // (Latched: the device's count goes with its setting when the stream leaves RUN.)
    options.deviceFrames = [this, endpoint = device.endpoint, seen = ULONG64{0}]() mutable {
      return seen = std::max<ULONG64>(seen, sim_->render_stats(endpoint).consumed_frames);
    };
    options.deviceFifoFrames = sim_->fifo_start_frames(device.endpoint) + 2 * rate / 200;
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(OpenStream(*filter, format, options, &stream), STATUS_SUCCESS);
    if (!stream) return run;
    EXPECT_EQ(stream->Start(), STATUS_SUCCESS);
    DelayMs(1000);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ULONG64 paused = 0;
    EXPECT_EQ(stream->ReadPosition(&paused), STATUS_SUCCESS);
    EXPECT_EQ(Render()->GetUrbsOutstanding(), 0);  // PAUSE returned every URB
    DelayMs(50);
    ULONG64 later = 0;
    EXPECT_EQ(stream->ReadPosition(&later), STATUS_SUCCESS);
    EXPECT_EQ(later, paused);
    run.played = paused;
    run.notifications = stream->Notifications();
    run.written = stream->BytesWritten();
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);  // the client checks STOP reads position 0
    ExpectNoFindings(*stream);
    run.received = sim_->received_samples(device.endpoint);
    stream.reset();
    return run;
  }

  // The device's samples: the silence the stream starts with, then the sine from its first
  // frame on, every sample, with nothing left out or repeated. Returns the sine's frames.
  static ULONG64 CheckSine(const std::vector<std::int32_t>& received, ULONG rate, double tone = kTone) {
    size_t first = 0;
    while (first < received.size() && received[first] == 0) ++first;
    EXPECT_EQ(first % 2, 0u);
    const size_t frames = (received.size() - first) / 2;
    for (size_t n = 0; n < frames; ++n) {
      const short expected = Sine16(n, tone, rate);
      if (received[first + 2 * n] != expected || received[first + 2 * n + 1] != expected) {
        ADD_FAILURE() << "frame " << n << " of the sine: " << received[first + 2 * n] << " where " << expected
                      << " belongs";
        return n;
      }
    }
    return frames;
  }
};

TEST_F(WaveRenderEndToEnd, OneSecondOfSineAt48kHzReachesTheDeviceWhole) {
  UseExactTiming();
  const RenderRun run = PlaySecond(kCard48);
  const ULONG64 frames = CheckSine(run.received, 48000);
  // What the pin took out of the buffer is what the device got: the position the client
  // saw never passes it (the client writes over what lies behind the position), and
  // stands at most one URB behind it.
  EXPECT_GE(frames * 4, run.played);
  EXPECT_LE(frames * 4, run.played + 960);
  EXPECT_GE(run.played, 192000u - 2 * 960);
  EXPECT_LE(run.played, 192000u);
  // One notification per URB of 5 ms, and one for each URB PAUSE drains.
  EXPECT_GE(run.notifications, 198u);
  EXPECT_LE(run.notifications, 203u);
}

TEST_F(WaveRenderEndToEnd, OneSecondOfSineAt44100HzReachesTheDeviceWhole) {
  UseExactTiming();
  const RenderRun run = PlaySecond(kHeadset44);
  const ULONG64 frames = CheckSine(run.received, 44100);
  EXPECT_GE(frames * 4, run.played);
  EXPECT_LE(frames * 4, run.played + 884);
  EXPECT_GE(run.played, 176400u - 2 * 882);
  EXPECT_LE(run.played, 176400u);
}

TEST_F(WaveRenderEndToEnd, WithPlatformTimingAndJitter) {
  // Timer ticks of 15.625 ms, DPC latency, completions batched.
  const RenderRun run = PlaySecond(kCard48);
  const ULONG64 frames = CheckSine(run.received, 48000);
  EXPECT_GE(frames * 4, run.played);
  EXPECT_LE(frames * 4, run.played + 960);
}

TEST_F(WaveRenderEndToEnd, RunAgainAfterPauseGoesOnWhereThePinStopped) {
  UseExactTiming();
  // A tone of no whole number of frames per period: a gap or repeat of any length shows.
  constexpr double kOddTone = 997.0;
  ASSERT_EQ(StartDump(kCard48.dump), STATUS_SUCCESS);
  InstallSubdevices();
  auto filter = OpenFilter(u"SPKOut00Wave");
  ASSERT_NE(filter, nullptr);
  sim::engine::StreamOptions options;
  options.clientSignal = [](ULONG64 firstByte, BYTE* out, ULONG bytes) {
    for (ULONG i = 0; i < bytes; ++i) {
      const ULONG64 byte = firstByte + i;
      out[i] = static_cast<BYTE>(static_cast<USHORT>(Sine16(byte / 4, kOddTone, 48000)) >> (8 * (byte % 2)));
    }
  };
  std::unique_ptr<sim::engine::Stream> stream;
  ASSERT_EQ(OpenStream(*filter, ExtensibleFormat(2, 48000, 16), options, &stream), STATUS_SUCCESS);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  DelayMs(300);
  ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  const ULONG64 before = CheckSine(sim_->received_samples(kCard48.endpoint), 48000, kOddTone);
  DelayMs(40);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  DelayMs(300);
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  ExpectNoFindings(*stream);
  // The setting was selected again: what it received is silence, then the sine from the
  // frame after the last one played before PAUSE, without a gap or a repeat.
  const std::vector<std::int32_t> after = sim_->received_samples(kCard48.endpoint);
  size_t first = 0;
  while (first < after.size() && after[first] == 0) ++first;
  ASSERT_LT(first + 2, after.size());
  const size_t frames = (after.size() - first) / 2;
  for (size_t n = 0; n < frames; ++n) {
    const short expected = Sine16(before + n, kOddTone, 48000);
    ASSERT_EQ(after[first + 2 * n], expected) << "frame " << n << " after RUN again";
  }
  EXPECT_GE(before + frames, 600u * 48 - 2 * 240);
}

}  // namespace
