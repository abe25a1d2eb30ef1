// Capture end to end: the engine client records through the WaveCyclic pin what the
// device's IN endpoint produces: its sine, exactly, in the device's own format; at
// 44.1 kHz through the conversion chain while a higher-priority client holds the device
// at 48 kHz; and at 22,050 Hz stereo, whose 50 ms buffer is no whole number of frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernel/clock.h"
#include "support/wave_formats.h"
#include "wave_e2e_fixture.h"

namespace {

using platform::testing::DelayMs;
using platform::testing::ExtensibleFormat;

// A dongle capturing 16-bit stereo at 44.1 or 48 kHz on IN endpoint 0x81.
constexpr const char* kDongle = "uac1-dac-dongle-A.txt";

// The device's sine: sample `index` of its stream, as the device makes it (full scale of
// 16 bits, amplitude 0.5).
short DeviceSine(ULONG64 index, double frequency, ULONG rate) {
  return static_cast<short>(std::llround(0.5 * 32767.0 * std::sin(2.0 * M_PI * frequency * index / rate)));
}

std::vector<short> Samples(const std::vector<BYTE>& bytes) {
  std::vector<short> out(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

// The tone's frequency by its rising zero crossings (interpolated), after `settle` frames.
double ToneFrequency(const std::vector<short>& left, ULONG rate, size_t settle) {
  std::vector<double> crossings;
  for (size_t i = settle; i + 1 < left.size(); ++i)
    if (left[i] < 0 && left[i + 1] >= 0) crossings.push_back(i + double(-left[i]) / (left[i + 1] - left[i]));
  if (crossings.size() < 2) return 0;
  return rate * (crossings.size() - 1) / (crossings.back() - crossings.front());
}

class WaveCaptureEndToEnd : public wave_e2e::WaveEndToEnd {
 protected:
  stream::CUsbStreamEngine* CaptureEngine() {
    for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
      stream::CUsbStreamEngine* engine = Engine(i);
      if (engine && engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE) return engine;
    }
    return nullptr;
  }
  // Records for one second at the format; the bytes the client read.
  // With an endpoint, the position must keep pace with what the device produces on it
  // (the pin's format being the device's).
  std::vector<BYTE> RecordSecond(const WAVEFORMATEXTENSIBLE& format, bool checkCounter, ULONG64* position,
                                 UCHAR endpoint = 0) {
    std::vector<BYTE> data;
    auto filter = OpenFilter(u"MicIn00Wave");
    if (!filter) return data;
    sim::engine::StreamOptions options;
    options.checkCapturePattern = checkCounter;
    if (endpoint) {
      // (Latched: the device's count goes with its setting when the stream leaves RUN.)
      options.deviceFrames = [this, endpoint, seen = ULONG64{0}]() mutable {
        return seen = std::max<ULONG64>(seen, sim_->produced_frames(endpoint));
      };
      // A packet, the engine's 40 ms capture ring and a URB that completes late.
      options.deviceFifoFrames = format.Format.nSamplesPerSec / 25 + 2 * format.Format.nSamplesPerSec / 200;
    }
    options.captureSink = [&data](const BYTE* bytes, ULONG n) { data.insert(data.end(), bytes, bytes + n); };
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(OpenStream(*filter, format, options, &stream), STATUS_SUCCESS);
    if (!stream) return data;
    EXPECT_EQ(stream->Start(), STATUS_SUCCESS);
    DelayMs(1000);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->Pump(), STATUS_SUCCESS);  // what the position counts, read
    *position = stream->BytesPlayed();
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    ExpectNoFindings(*stream);
    stream.reset();
    return data;
  }
};

TEST_F(WaveCaptureEndToEnd, TheDevicesSineArrivesExactly) {
  UseExactTiming();
  ASSERT_EQ(StartDump(kDongle), STATUS_SUCCESS);
  InstallSubdevices();
  ULONG64 position = 0;
  const std::vector<short> s = Samples(RecordSecond(ExtensibleFormat(2, 48000, 16), false, &position, 0x81));
  EXPECT_EQ(s.size() * 2, position);
  EXPECT_GE(position, 192000u - 2 * 960);
  EXPECT_LE(position, 192000u);
  // The device's stream from its first sample on, every frame in order: find where the
  // recording joins it, then compare each sample (rounding may differ by one).
  size_t first = 0;
  while (first < s.size() && s[first] == 0) ++first;
  ASSERT_LT(first + 96, s.size());
  ULONG64 index = 1;
  while (index < 48 && std::abs(DeviceSine(index, 1000, 48000) - s[first]) > 1) ++index;
  ASSERT_LT(index, 48u);
  for (size_t f = first / 2; f < s.size() / 2; ++f, ++index) {
    ASSERT_LE(std::abs(DeviceSine(index, 1000, 48000) - s[2 * f]), 1) << "frame " << f;
    ASSERT_EQ(s[2 * f], s[2 * f + 1]) << "frame " << f;
  }
}

TEST_F(WaveCaptureEndToEnd, TheDevicesCounterArrivesWithoutGapOrRepeatUnderPlatformTiming) {
  sim::device::DeviceProfile profile;
  profile.signal.kind = sim::device::SignalKind::Ramp;
  ASSERT_EQ(StartDump(kDongle, profile), STATUS_SUCCESS);
  InstallSubdevices();
  ULONG64 position = 0;
  const std::vector<BYTE> data = RecordSecond(ExtensibleFormat(2, 48000, 16), true, &position, 0x81);
  EXPECT_EQ(data.size(), position);
  EXPECT_GE(position, 192000u - 4 * 960);
}

TEST_F(WaveCaptureEndToEnd, At441kHzThroughTheConverterWhileAnotherClientHoldsTheDeviceAt48kHz) {
  UseExactTiming();
  ASSERT_EQ(StartDump(kDongle), STATUS_SUCCESS);
  InstallSubdevices();
  stream::CUsbStreamEngine* engine = CaptureEngine();
  ASSERT_NE(engine, nullptr);
  // The higher-priority client (as the ASIO client is) runs the device at 48 kHz.
  iso_test::TestClient holder;
  ASSERT_EQ(Attach(engine, holder, ExtensibleFormat(2, 48000, 16), 5, 3, stream::kAsioClientPriority),
            STATUS_SUCCESS);
  ULONG64 position = 0;
  const std::vector<short> s = Samples(RecordSecond(ExtensibleFormat(2, 44100, 16), false, &position));
  EXPECT_EQ(engine->GetCurrentWaveFormat().Format.nSamplesPerSec, 48000u);
  Detach(engine, holder);
  // One second of the pin's frames, less what the converter's filters still hold.
  EXPECT_EQ(s.size() * 2, position);
  EXPECT_LE(position, 176400u);
  EXPECT_GE(position, 176400u - 2 * 882 - 4 * 64);
  std::vector<short> left;
  for (size_t i = 0; i + 1 < s.size(); i += 2) left.push_back(s[i]);
  EXPECT_NEAR(ToneFrequency(left, 44100, 2000), 1000.0, 0.05);
}

TEST_F(WaveCaptureEndToEnd, At22050HzStereoTheStoreWrapsAtWholeFrames) {
  // 50 ms of 22,050 Hz stereo is 1,102.5 frames.
  iso_test::AltSpec capture;
  capture.rates = {22050};
  ASSERT_EQ(StartDevice({iso_test::AltSpec{}}, {capture}), STATUS_SUCCESS);
  InstallSubdevices();
  ULONG64 position = 0;
  const std::vector<BYTE> data = RecordSecond(ExtensibleFormat(2, 22050, 16), true, &position, iso_test::kCaptureEndpoint);
  EXPECT_EQ(data.size(), position);
  EXPECT_GE(position, 88200u - 4 * 441);
  EXPECT_LE(position, 88200u);
}

TEST_F(WaveCaptureEndToEnd, ASecondPinIsRefused) {
  ASSERT_EQ(StartDump(kDongle), STATUS_SUCCESS);
  InstallSubdevices();
  auto filter = OpenFilter(u"MicIn00Wave");
  ASSERT_NE(filter, nullptr);
  std::unique_ptr<sim::engine::Stream> first, second;
  ASSERT_EQ(OpenStream(*filter, ExtensibleFormat(2, 48000, 16), {}, &first), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(OpenStream(*filter, ExtensibleFormat(2, 48000, 16), {}, &second)));
  auto other = OpenFilter(u"MicIn00Wave");
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(NT_SUCCESS(OpenStream(*other, ExtensibleFormat(2, 44100, 16), {}, &second)));
  first.reset();
  EXPECT_EQ(OpenStream(*other, ExtensibleFormat(2, 44100, 16), {}, &second), STATUS_SUCCESS);
}

}  // namespace
