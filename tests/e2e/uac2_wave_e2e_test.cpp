// The UAC 2.0 engines end to end through PortCls and the simulated engine client: a
// clocked headset whose asynchronous OUT endpoint reports explicit feedback and whose
// clock runs off nominal. The engine client plays a running count through the WaveCyclic
// pin at 44.1, 48 and 96 kHz and the device must receive every sample once, in order,
// with its FIFO held near where playback began; the client records the device's ramp
// from the capture pin without a gap. Platform timing as it is by default (timer ticks,
// DPC latency, batched completions), under the suite's scheduler seeds.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/clock.h"
#include "uac/function_classes.h"
#include "uac2_stream_fixture.h"
#include "wave_e2e_fixture.h"

namespace {

using platform::testing::DelayMs;
using uac2_test::SampleValue;

class Uac2WaveEndToEnd : public wave_e2e::WaveEndToEnd {
 protected:
  void SetUp() override {
    WaveEndToEnd::SetUp();
    savedUac2_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, nullptr);
    uac::RegisterFunctionFactories();
    stream::RegisterEngineFactories();  // the base fixture puts its own factory back at the end
  }
  void TearDown() override {
    WaveEndToEnd::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, savedUac2_);
  }

  NTSTATUS StartHeadset(bool highSpeed, double ppm) {
    sim::device::DeviceProfile profile;
    profile.high_speed = highSpeed;
    profile.clock_ppm = ppm;
    profile.clock_rates[uac2_test::kClockId] = {44100, 48000, 96000};
    profile.signal.kind = sim::device::SignalKind::Ramp;
    Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), uac2_test::Headset(), std::move(profile));
    return Start();
  }
  stream::CUsbStreamEngine* EngineOf(ULONG direction) {
    for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
      stream::CUsbStreamEngine* engine = Engine(i);
      if (engine && engine->GetDirection() == direction) return engine;
    }
    return nullptr;
  }
  static bool FormatAt(stream::CUsbStreamEngine* engine, ULONG rate, WAVEFORMATEXTENSIBLE* format) {
    for (ULONG i = 0; engine && i < engine->GetFormatRecordCount(); ++i) {
      const stream::StreamFormatRecord* r = engine->GetFormatRecord(i);
      if (r->Format.Format.nSamplesPerSec == rate && r->Format.SubFormat.Data1 == 1) {
        *format = r->Format;
        return true;
      }
    }
    return false;
  }

  // The render pin of the format playing the running count of samples (in the container
  // and resolution of the format), started.
  void StartCount(const WAVEFORMATEXTENSIBLE& format, std::unique_ptr<sim::engine::FilterClient>* filter,
                  std::unique_ptr<sim::engine::Stream>* stream) {
    const ULONG sub = format.Format.nBlockAlign / format.Format.nChannels;
    const ULONG bits = format.Samples.wValidBitsPerSample;
    *filter = OpenFilter(u"SPKOut00Wave");
    ASSERT_TRUE(*filter);
    sim::engine::StreamOptions options;
    options.clientSignal = [sub, bits](ULONG64 firstByte, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 byte = firstByte + i;
        const auto word = static_cast<std::uint32_t>(SampleValue(byte / sub, bits)) << (8 * sub - bits);
        out[i] = static_cast<BYTE>(word >> (8 * (byte % sub)));
      }
    };
    ASSERT_EQ(OpenStream(**filter, format, options, stream), STATUS_SUCCESS);
    ASSERT_EQ((*stream)->Start(), STATUS_SUCCESS);
  }
  // Closes the pin and its filter and takes the device away for the next row.
  void EndRow(std::unique_ptr<sim::engine::FilterClient>& filter, std::unique_ptr<sim::engine::Stream>& stream) {
    stream.reset();
    filter.reset();
    for (adapter::IStreamEngine* e : installed_) e->UnregisterSubdevice(subdeviceDevice_, nullptr, hal_);
    installed_.clear();
    TearDownDevice();
  }

  adapter::FunctionFactory savedUac2_ = nullptr;
};

TEST_F(Uac2WaveEndToEnd, RenderFollowsTheDevicesClockAndDeliversEverySampleOnce) {
  struct Row {
    bool highSpeed;
    ULONG rate;
    double ppm;
  } rows[] = {{true, 44100, 500.0}, {true, 48000, -500.0}, {true, 96000, 150.0}, {false, 48000, 300.0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.highSpeed ? "high" : "full") << " speed " << row.rate << " Hz " << row.ppm
                                    << " ppm");
    ASSERT_EQ(StartHeadset(row.highSpeed, row.ppm), STATUS_SUCCESS);
    InstallSubdevices();
    stream::CUsbStreamEngine* engine = EngineOf(adapter::STREAM_DIRECTION_RENDER);
    WAVEFORMATEXTENSIBLE format;
    ASSERT_TRUE(FormatAt(engine, row.rate, &format));
    const ULONG bits = format.Samples.wValidBitsPerSample;
    std::unique_ptr<sim::engine::FilterClient> filter;
    std::unique_ptr<sim::engine::Stream> stream;
    StartCount(format, &filter, &stream);
    if (HasFatalFailure()) return;
    DelayMs(1000);
    const auto stats = sim_->render_stats(uac2_test::kRenderEndpoint);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    ExpectNoFindings(*stream);
    EXPECT_NEAR(static_cast<stream::CUac2RenderStream*>(engine)->GetMeasuredRate(), row.rate * (1 + row.ppm * 1e-6),
                3.0);
    EXPECT_EQ(stats.underrun_frames, 0u);
    EXPECT_EQ(stats.overflow_frames, 0u);
    EXPECT_LT(std::max(stats.fifo_max_frames - stats.start_frames, stats.start_frames - stats.fifo_min_frames),
              static_cast<std::int64_t>(row.rate / 1000 * 5));
    // The silence the stream starts with, then every sample of the count once, in order.
    const std::vector<std::int32_t> got = sim_->received_samples(uac2_test::kRenderEndpoint);
    size_t first = 0;
    while (first < got.size() && got[first] == 0) ++first;
    ASSERT_GT(first, 0u);
    --first;  // the count starts at 0
    ASSERT_GT(got.size() - first, row.rate * format.Format.nChannels * 9 / 10);
    for (size_t i = first; i < got.size(); ++i) ASSERT_EQ(got[i], SampleValue(i - first, bits)) << "sample " << i;
    EndRow(filter, stream);
  }
}

// Transfers that fail for 1, 10 and 100 bus frames while the pin plays: the engine
// recovers in place. What the device then receives is the count in order, on frames,
// with the failed transfers' data missing and silence where the stream restarted: never
// a sample again, and never data the client wrote a buffer later.
TEST_F(Uac2WaveEndToEnd, RenderAfterFailedTransfersPlaysNoDataFromALapAhead) {
  // What the failed transfers carried is gone; while the engine recovers nothing plays
  // and the position stands.
  ExpectStreamFinding("pattern break", "device");
  ExpectStreamFinding("underrun", "device");
  ExpectStreamFinding("missed packets", "device");
  ExpectStreamFinding("position stalled", "engine");
  ExpectStreamFinding("missed notification", "engine");
  for (ULONG failed : {1u, 10u, 100u}) {
    SCOPED_TRACE(testing::Message() << failed << " failed frames");
    ASSERT_EQ(StartHeadset(false, 0.0), STATUS_SUCCESS);
    InstallSubdevices();
    stream::CUsbStreamEngine* engine = EngineOf(adapter::STREAM_DIRECTION_RENDER);
    WAVEFORMATEXTENSIBLE format;
    ASSERT_TRUE(FormatAt(engine, 48000, &format));
    const ULONG channels = format.Format.nChannels;
    std::unique_ptr<sim::engine::FilterClient> filter;
    std::unique_ptr<sim::engine::Stream> stream;
    StartCount(format, &filter, &stream);
    if (HasFatalFailure()) return;
    DelayMs(200);
    sim_->FailIsoPackets(uac2_test::kRenderEndpoint, 0, failed, USBD_STATUS_XACT_ERROR);
    DelayMs(400);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    EXPECT_GE(sim_->fault_hits(), 1u);
    // Each frame that is not silence holds samples n, n + 1, ... of one client frame, n
    // past every sample before it.
    const std::vector<std::int32_t> got = sim_->received_samples(uac2_test::kRenderEndpoint);
    std::int64_t last = -1;
    size_t frames = 0;
    for (size_t f = 0; f + channels <= got.size(); f += channels) {
      bool silent = true;
      for (ULONG c = 0; c < channels; ++c) silent &= got[f + c] == 0;
      if (silent) continue;
      const std::int64_t n = got[f];
      ASSERT_EQ(n % channels, 0) << "frame " << f / channels << " starts inside a client frame";
      for (ULONG c = 1; c < channels; ++c) ASSERT_EQ(got[f + c], n + c) << "frame " << f / channels;
      ASSERT_GT(n, last) << "frame " << f / channels << " plays sample " << n << " again or from a lap ahead";
      last = n;
      ++frames;
    }
    EXPECT_GT(frames, 48000u * 4 / 10);
    EndRow(filter, stream);
  }
}

TEST_F(Uac2WaveEndToEnd, CaptureDeliversTheDevicesRampWithoutAGap) {
  for (ULONG rate : {44100u, 48000u, 96000u}) {
    SCOPED_TRACE(rate);
    ASSERT_EQ(StartHeadset(true, -150.0), STATUS_SUCCESS);
    InstallSubdevices();
    WAVEFORMATEXTENSIBLE format;
    ASSERT_TRUE(FormatAt(EngineOf(adapter::STREAM_DIRECTION_CAPTURE), rate, &format));
    auto filter = OpenFilter(u"MicIn00Wave");
    ASSERT_TRUE(filter);
    std::vector<BYTE> data;
    sim::engine::StreamOptions options;
    options.checkCapturePattern = false;
    options.captureSink = [&data](const BYTE* bytes, ULONG n) { data.insert(data.end(), bytes, bytes + n); };
    std::unique_ptr<sim::engine::Stream> stream;
    ASSERT_EQ(OpenStream(*filter, format, options, &stream), STATUS_SUCCESS);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    DelayMs(1000);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->Pump(), STATUS_SUCCESS);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    ExpectNoFindings(*stream);
    // 16-bit stereo: after the first sample the ramp goes on by one, never repeating.
    std::vector<short> s(data.size() / 2);
    std::memcpy(s.data(), data.data(), s.size() * 2);
    ASSERT_GT(s.size(), rate * 2 * 9 / 10);
    size_t start = 0;
    while (start < s.size() && s[start] == 0) ++start;
    for (size_t i = start + 1; i < s.size(); ++i)
      ASSERT_EQ(static_cast<unsigned short>(s[i] - s[i - 1]), 1u) << "sample " << i;
    EndRow(filter, stream);
  }
}

}  // namespace
