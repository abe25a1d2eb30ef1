// The chip class D render engine against the simulated device: clients stream in the
// engine's multichannel formats, the device gets channels 0 and 1 of every frame, each
// packet keeps its frames, and URB-done counts the clients' bytes. Formats the packing
// cannot carry are refused when the engine allocates. The packing itself is checked
// against a plain per-frame copy for every width and channel count.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "iso_stream_fixture.h"
#include "kernel/registry.h"
#include "stream/chip_d_render_stream.h"

namespace iso_test {
namespace {

using platform::testing::DelayMs;
using stream::STREAM_NOTIFY_URB_DONE;

// The device side: two channels of 16 or of 24 bits, 48 kHz.
const AltSpec kStereo16{2, 2, 16, {48000}, {{kRenderEndpoint, 0x05, 400, 1}}};
const AltSpec kStereo24{2, 3, 24, {48000}, {{kRenderEndpoint, 0x05, 400, 1}}};
const AltSpec kMono48{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, 100, 1}}};

// The engine's own formats: eight channels in the 0x63F layout.
WAVEFORMATEXTENSIBLE Eight(ULONG rate, WORD bits) {
  WAVEFORMATEXTENSIBLE f = Pcm(8, rate, bits);
  f.dwChannelMask = 0x63F;
  return f;
}

// The client's bytes are its running 16-bit count (TestClient), whatever the format.
UCHAR ClientByte(ULONG64 index) { return static_cast<UCHAR>(static_cast<USHORT>(index / 2) >> (8 * (index % 2))); }

// Sample `channel` of client frame `frame`, read as the device reads it (signed).
std::int32_t ClientSample(ULONG64 frame, ULONG channel, ULONG blockAlign, ULONG bytes) {
  const ULONG64 at = frame * blockAlign + ULONG64{channel} * bytes;
  std::uint32_t word = 0;
  for (ULONG b = 0; b < bytes; ++b) word |= std::uint32_t{ClientByte(at + b)} << (8 * b);
  const int shift = 32 - static_cast<int>(8 * bytes);
  return static_cast<std::int32_t>(word << shift) >> shift;
}

class ChipDRender : public IsoStreamTest {
 protected:
  void SetUp() override {
    IsoStreamTest::SetUp();
    // The device sees two of the client counter's channels, not the counter itself.
    ExpectStreamFinding("pattern break", "device");
  }
  NTSTATUS StartChipD(const AltSpec& render) {
    sim::device::DeviceProfile profile;
    profile.strings[uac::kModelStringIndex] = u"QVK712";
    Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), SpeakerAndMicrophone({render}, {kMono48}), profile);
    platform::registry::SetDword(SettingsPath(), u"ModelVariant", 5);
    return Start();
  }
  // Streams the format for 100 ms and checks what the device got against the client's
  // bytes, packet sizes and URB-done counts.
  void PlayAndCheck(const WAVEFORMATEXTENSIBLE& format, ULONG deviceBytes) {
    stream::CUsbStreamEngine* engine = Render();
    ASSERT_NE(dynamic_cast<stream::CTZ4180Render*>(engine), nullptr);
    const ULONG blockAlign = format.Format.nBlockAlign;
    const ULONG bytes = format.Format.wBitsPerSample / 8;
    TestClient client;
    ASSERT_EQ(Attach(engine, client, format, 5, 3), STATUS_SUCCESS);
    DelayMs(100);
    Detach(engine, client);

    // Every packet of 48 client frames became 48 device frames.
    const std::vector<UrbSeen> urbs = Urbs(engine);
    ASSERT_GE(urbs.size(), 15u);
    ULONG64 sentBytes = 0;
    for (const UrbSeen& u : urbs) {
      ASSERT_EQ(u.packets.size(), 5u);
      for (ULONG p : u.packets) {
        EXPECT_EQ(p, 48 * deviceBytes);
        sentBytes += p;
      }
    }
    // URB-done counts the client's bytes: the device frames at the client's block size.
    ULONG64 done = 0;
    for (const Record& r : client.Records()) {
      if (r.code != STREAM_NOTIFY_URB_DONE) continue;
      EXPECT_EQ(r.value, 5 * 48 * blockAlign);
      done += r.value;
    }
    EXPECT_EQ(done, sentBytes / deviceBytes * blockAlign);

    // The device received channels 0 and 1 of every client frame, in order: the first
    // URB's first frame is the client's first.
    const std::vector<std::int32_t> received = sim_->received_samples(kRenderEndpoint);
    ASSERT_GE(received.size(), 2u * 48 * 5 * 10);
    for (size_t k = 0; k < received.size() / 2; ++k) {
      ASSERT_EQ(received[2 * k], ClientSample(k, 0, blockAlign, bytes)) << "frame " << k;
      ASSERT_EQ(received[2 * k + 1], ClientSample(k, 1, blockAlign, bytes)) << "frame " << k;
    }
  }
};

TEST_F(ChipDRender, EightChannelsOf16BitsBecome192BytePackets) {
  UseExactTiming();
  ASSERT_EQ(StartChipD(kStereo16), STATUS_SUCCESS);
  PlayAndCheck(Eight(48000, 16), 4);
}

TEST_F(ChipDRender, SixChannelsOf24BitsBecomeSixBytesAFrame) {
  UseExactTiming();
  ASSERT_EQ(StartChipD(kStereo24), STATUS_SUCCESS);
  const WAVEFORMATEXTENSIBLE six = Pcm(6, 48000, 24);
  ASSERT_EQ(Render()->AddStreamFormat(&six, 1), STATUS_SUCCESS);
  PlayAndCheck(six, 6);  // URB-done: 18-byte frames, three times the device's 6
}

TEST_F(ChipDRender, StereoIsSentUnchanged) {
  UseExactTiming();
  ASSERT_EQ(StartChipD(kStereo16), STATUS_SUCCESS);
  const WAVEFORMATEXTENSIBLE stereo = Pcm(2, 48000, 16);
  ASSERT_EQ(Render()->AddStreamFormat(&stereo, 1), STATUS_SUCCESS);
  PlayAndCheck(stereo, 4);
}

// The builder announces eight channels only; any other format an engine were given must
// still either be carried exactly or refused before a URB is sent.
TEST_F(ChipDRender, FormatsThePackingCannotCarryAreRefused) {
  ASSERT_EQ(StartChipD(kStereo16), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  WAVEFORMATEXTENSIBLE depth20 = Pcm(2, 48000, 24);
  depth20.Format.wBitsPerSample = 20;
  depth20.Samples.wValidBitsPerSample = 20;
  const WAVEFORMATEXTENSIBLE refused[] = {Pcm(1, 48000, 16), Pcm(3, 48000, 16), depth20};
  for (const WAVEFORMATEXTENSIBLE& format : refused) {
    SCOPED_TRACE(testing::Message() << format.Format.nChannels << " channels of " << format.Format.wBitsPerSample);
    ASSERT_EQ(engine->AddStreamFormat(&format, 1), STATUS_SUCCESS);
    TestClient client;
    EXPECT_EQ(Attach(engine, client, format, 5, 3), STATUS_NOT_SUPPORTED);
    Detach(engine, client);
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  }
  EXPECT_TRUE(Urbs(engine).empty());
}

// PackFirstTwoChannels against a copy frame by frame into a separate buffer: random
// frames of every width and channel count; the bytes past the packed ones are left as
// they were read.
TEST(PackFirstTwoChannels, MatchesAFrameByFrameCopy) {
  std::mt19937 random(7);
  for (ULONG bytes : {2u, 3u, 4u}) {
    for (ULONG channels = 2; channels <= 8; ++channels) {
      for (ULONG frames : {0u, 1u, 47u, 48u, 480u}) {
        const ULONG blockAlign = channels * bytes;
        std::vector<UCHAR> buffer(frames * blockAlign);
        for (UCHAR& b : buffer) b = static_cast<UCHAR>(random());
        std::vector<UCHAR> expected;
        for (ULONG f = 0; f < frames; ++f)
          expected.insert(expected.end(), buffer.begin() + f * blockAlign, buffer.begin() + f * blockAlign + 2 * bytes);
        const std::vector<UCHAR> before = buffer;
        const ULONG packed = stream::PackFirstTwoChannels(buffer.data(), frames, blockAlign, bytes);
        ASSERT_EQ(packed, frames * 2 * bytes);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()))
            << bytes << " bytes, " << channels << " channels, " << frames << " frames";
        // Past the packed frames nothing was touched.
        EXPECT_TRUE(std::equal(buffer.begin() + packed, buffer.end(), before.begin() + packed));
      }
    }
  }
  UCHAR one[8] = {};
  EXPECT_EQ(stream::PackFirstTwoChannels(one, 1, 2, 2), 0u);  // a block too small for two samples
  EXPECT_EQ(stream::PackFirstTwoChannels(one, 1, 5, 5), 0u);  // an unknown width
  EXPECT_EQ(stream::PackFirstTwoChannels(nullptr, 1, 4, 2), 0u);
}

}  // namespace
}  // namespace iso_test
