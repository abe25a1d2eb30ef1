// A chip class D device end to end: the engine client plays eight channels at 48 kHz/16
// through the WaveCyclic pin for one second of virtual time. The device plays two
// channels: with both effects off the effect nodes fold the other channels into the
// front pair, so while those are silent it must receive exactly channels 0 and 1 of what
// the client wrote (behind the virtualiser's leveller delay), while the position moves by
// the client's own bytes; a lost packet on the way recovers as any UAC
// 1.0 render stream does, and says so in the engine's words.
#include <gtest/gtest.h>

#include "kernel/clock.h"
#include "kernel/dbg.h"
#include "kernel/registry.h"
#include "uac/chip_d_function.h"
#include "wave_e2e_fixture.h"

namespace {

using iso_test::AltSpec;
using iso_test::kCaptureEndpoint;
using iso_test::kRenderEndpoint;
using platform::testing::DelayMs;
using wave_e2e::Sine16;

constexpr ULONG kRate = 48000;
constexpr ULONG kChannels = 8;
constexpr ULONG kBlock = kChannels * 2;
constexpr double kLeftTone = 997.0, kRightTone = 1409.0;  // no common period within the run

const AltSpec kStereo16{2, 2, 16, {kRate}, {{kRenderEndpoint, 0x05, 200, 1}}};
const AltSpec kMic{1, 2, 16, {kRate}, {{kCaptureEndpoint, 0x05, 100, 1}}};

// Channel 0 and 1 carry two tones; the others silence (the fold adds them to the pair).
short ClientSample(ULONG64 frame, ULONG channel) {
  if (channel == 0) return Sine16(frame, kLeftTone, kRate);
  if (channel == 1) return Sine16(frame, kRightTone, kRate);
  return 0;
}

// The reverb node's denormal guard (1e-12 on every sample, summed by the fold) can move a
// sample across a 16-bit step: the device hears each client sample within one step.
bool Near(std::int32_t heard, short sent) { return heard - sent <= 1 && sent - heard <= 1; }

class ChipDWaveEndToEnd : public wave_e2e::WaveEndToEnd {
 protected:
  void SetUp() override {
    WaveEndToEnd::SetUp();
    // The device watches for the counter signal; it hears two tones instead.
    ExpectStreamFinding("pattern break", "device");
  }

  void StartChipD() {
    sim::device::DeviceProfile profile;
    profile.strings[adapter::kModelStringIndex] = u"QVK712";
    usb_device_test::Bytes block(16, 0);
    for (UCHAR b : {21, 0, 2, 0x00, 0x0C}) block.push_back(b);  // selectors 0x8B and 0x8C
    profile.entity_memory[2] = block;
    Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), iso_test::SpeakerAndMicrophone({kStereo16}, {kMic}),
         profile);
    platform::registry::SetDword(SettingsPath(), u"ModelVariant", 6);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    InstallSubdevices();
  }

  // One second of the eight channels, then PAUSE and STOP; `during` runs 200 ms in.
  struct Run {
    ULONG64 played = 0;
    std::vector<std::int32_t> received;
  };
  Run PlaySecond(const std::function<void()>& during = {}, bool followDevice = true) {
    Run run;
    auto filter = OpenFilter(u"SPKOut00Wave");
    if (!filter) return run;
    WAVEFORMATEXTENSIBLE format = iso_test::Pcm(kChannels, kRate, 16);
    format.dwChannelMask = uac::kChipDRenderChannelMask;
    sim::engine::StreamOptions options;
    options.clientSignal = [](ULONG64 firstByte, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 byte = firstByte + i;
        const short s = ClientSample(byte / kBlock, static_cast<ULONG>(byte % kBlock / 2));
        out[i] = static_cast<BYTE>(static_cast<USHORT>(s) >> (8 * (byte % 2)));
      }
    };
    // (The device's count starts again with the setting a recovery selects anew.)
    if (followDevice) {
      options.deviceFrames = [this, seen = ULONG64{0}]() mutable {
        return seen = std::max<ULONG64>(seen, sim_->render_stats(kRenderEndpoint).consumed_frames);
      };
      options.deviceFifoFrames = sim_->fifo_start_frames(kRenderEndpoint) + 2 * kRate / 200;
    }
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(OpenStream(*filter, format, options, &stream), STATUS_SUCCESS);
    if (!stream) return run;
    EXPECT_EQ(stream->Start(), STATUS_SUCCESS);
    if (during) {
      DelayMs(200);
      during();
      DelayMs(800);
    } else {
      DelayMs(1000);
    }
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->ReadPosition(&run.played), STATUS_SUCCESS);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    if (!during) ExpectNoFindings(*stream);
    run.received = sim_->received_samples(kRenderEndpoint);
    return run;
  }

  // The device's frames: silence first, then channels 0 and 1 of the client's frames in
  // order from its first one. Returns the frames of the tones.
  static ULONG64 CheckTones(const std::vector<std::int32_t>& received) {
    size_t first = 0;
    while (first < received.size() && received[first] == 0) ++first;
    first -= first % 2;
    const size_t frames = (received.size() - first) / 2;
    for (size_t n = 0; n < frames; ++n) {
      if (!Near(received[first + 2 * n], ClientSample(n, 0)) || !Near(received[first + 2 * n + 1], ClientSample(n, 1))) {
        ADD_FAILURE() << "device frame " << n << ": " << received[first + 2 * n] << ", " << received[first + 2 * n + 1]
                      << " where " << ClientSample(n, 0) << ", " << ClientSample(n, 1) << " belong";
        return n;
      }
    }
    return frames;
  }
};

TEST_F(ChipDWaveEndToEnd, EightChannelPinPlaysChannelsZeroAndOne) {
  UseExactTiming();
  StartChipD();
  const Run run = PlaySecond();
  const ULONG64 frames = CheckTones(run.received);
  // The position counts the client's 16-byte frames: what the device played, and at
  // most one URB (5 ms) of frames still on their way.
  EXPECT_LE(frames * kBlock, run.played);
  // (and the 128 frames the virtualiser's leveller holds back).
  EXPECT_GE(frames * kBlock + (5 * 48 + 128) * kBlock, run.played);
  EXPECT_GE(run.played, kRate * kBlock - 2 * 5 * 48 * kBlock);
  EXPECT_LE(run.played, ULONG64{kRate} * kBlock);
}

// A packet the bus loses fails its URB: the engine reports the packet and the transfer,
// the control thread recovers once, and the stream goes on with the client's frames
// (what the lost packet carried is gone, nothing is repeated).
TEST_F(ChipDWaveEndToEnd, PacketErrorRecoversWithTheEnginesMessages) {
  ExpectStreamFinding("underrun", "device");
  ExpectStreamFinding("missed packets", "device");
  // While the control thread recovers no URB comes back: the position stands.
  ExpectStreamFinding("missed notification", "engine");
  ExpectStreamFinding("position stalled", "engine");
  UseExactTiming();
  StartChipD();
  platform::debug::ClearMessages();
  const Run run =
      PlaySecond([this] { sim_->FailIsoPackets(kRenderEndpoint, 3, 1, USBD_STATUS_XACT_ERROR); }, false);
  EXPECT_GE(platform::debug::CountContaining("Idx = "), 1u);
  EXPECT_GE(platform::debug::CountContaining("Transfer Error ntStatus = "), 1u);
  EXPECT_EQ(RestartFrames(Render()).size(), 1u);
  // After the restart the device hears the tones again, each frame a client frame.
  const std::vector<std::int32_t>& received = run.received;
  ASSERT_GE(received.size(), 2u * 48 * 100);
  size_t first = 0;
  while (first < received.size() && received[first] == 0) ++first;
  first -= first % 2;
  ASSERT_LT(first, received.size());
  // Find the client frame the restarted stream began with, then check 100 ms from there.
  ULONG64 start = 0;
  while (start < kRate * 2 && (!Near(received[first], ClientSample(start, 0)) ||
                               !Near(received[first + 1], ClientSample(start, 1)) ||
                               !Near(received[first + 2], ClientSample(start + 1, 0)) ||
                               !Near(received[first + 3], ClientSample(start + 1, 1))))
    ++start;
  ASSERT_LT(start, ULONG64{kRate} * 2);
  // The restart set the stream up anew: the frames the virtualiser's leveller held go out
  // first, then silence while the stream starts again (the leveller's 128 frames among
  // it), after which the client's frames go on in order.
  size_t at = first;
  while (at + 1 < received.size() && Near(received[at], ClientSample(start + (at - first) / 2, 0)) &&
         Near(received[at + 1], ClientSample(start + (at - first) / 2, 1)))
    at += 2;
  size_t silent = 0;
  while (at + 2 * silent + 1 < received.size() && received[at + 2 * silent] == 0 && received[at + 2 * silent + 1] == 0)
    ++silent;
  EXPECT_LE(silent, ULONG64{kRate} / 40);
  // The position stood while the stream recovered: the client's frames go on from the
  // first one not sent, or a little later, never from before it.
  ULONG64 resume = start + (at - first) / 2;
  at += 2 * silent;
  const ULONG64 limit = resume + kRate / 10;
  while (resume < limit && (!Near(received[at], ClientSample(resume, 0)) || !Near(received[at + 1], ClientSample(resume, 1)) ||
                            !Near(received[at + 2], ClientSample(resume + 1, 0))))
    ++resume;
  ASSERT_LT(resume, limit);
  for (size_t n = 0; n < 4800 && at + 2 * n + 1 < received.size(); ++n) {
    ASSERT_TRUE(Near(received[at + 2 * n], ClientSample(resume + n, 0))) << n;
    ASSERT_TRUE(Near(received[at + 2 * n + 1], ClientSample(resume + n, 1))) << n;
  }
  EXPECT_GT(run.played, ULONG64{kRate} * kBlock / 2);
}

}  // namespace
