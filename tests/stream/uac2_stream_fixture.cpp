#include "uac2_stream_fixture.h"

#include <cstdio>

#include "adapter/object_model.h"
#include "support/kernel_fixture.h"
#include "uac/function_classes.h"

namespace uac2_test {
namespace {

using usb_device_test::Bytes;

std::uint32_t LoadLittleEndian(const UCHAR* p, ULONG bytes) {
  std::uint32_t v = 0;
  for (ULONG b = 0; b < bytes; ++b) v |= static_cast<std::uint32_t>(p[b]) << (8 * b);
  return v;
}

VOID Listen(PVOID context, PVOID argument1, PVOID) {
  auto* client = static_cast<TestClient*>(context);
  const auto* r = static_cast<const stream::StreamEngineRecord*>(argument1);
  KIRQL irql;
  KeAcquireSpinLock(&client->lock, &irql);
  const ULONG sub = client->subframe, bits = client->validBits;
  switch (r->Code) {
    case stream::STREAM_NOTIFY_URB_DONE:
      client->records.push_back({r->Code, r->Payload.ByteCount});
      break;
    case stream::STREAM_NOTIFY_FORMAT:
      client->records.push_back({r->Code, r->Payload.Format.MsPerUrb});
      break;
    case stream::STREAM_NOTIFY_RENDER_FILL: {
      client->records.push_back({r->Code, r->Length});
      auto* out = static_cast<UCHAR*>(r->Payload.Buffer);
      for (ULONG at = 0; sub && at + sub <= r->Length; at += sub) {
        const auto word = static_cast<std::uint32_t>(SampleValue(client->renderSamples++, bits)) << (8 * sub - bits);
        for (ULONG b = 0; b < sub; ++b) out[at + b] = static_cast<UCHAR>(word >> (8 * b));
      }
      break;
    }
    case stream::STREAM_NOTIFY_CAPTURE_DATA: {
      client->records.push_back({r->Code, r->Length});
      const auto* in = static_cast<const UCHAR*>(r->Payload.Buffer);
      for (ULONG at = 0; sub && at + sub <= r->Length; at += sub) {
        const std::uint32_t word = LoadLittleEndian(in + at, sub) << (32 - 8 * sub);
        client->captured.push_back(static_cast<std::int32_t>(word) >> (32 - bits));
      }
      break;
    }
    default:
      break;
  }
  KeReleaseSpinLock(&client->lock, irql);
}

Bytes Le32(ULONG v) {
  return {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16), static_cast<UCHAR>(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

}  // namespace

Bytes Headset(const HeadsetLayout& layout) {
  constexpr UCHAR kStreamIn = 1, kSpeaker = 3, kMic = 4, kStreamOut = 5;
  const Bytes clock = {8, 0x24, 0x0A, kClockId, 0x03, 0x07, 0, 0};
  const Bytes streamIn = {17, 0x24, 2, kStreamIn, 0x01, 0x01, 0, kClockId, layout.renderChannels, 3, 0, 0, 0, 0, 0, 0, 0};
  const Bytes speaker = {12, 0x24, 3, kSpeaker, 0x01, 0x03, 0, kStreamIn, kClockId, 0, 0, 0};
  const Bytes mic = {17, 0x24, 2, kMic, 0x01, 0x02, 0, kClockId, layout.captureChannels, 3, 0, 0, 0, 0, 0, 0, 0};
  const Bytes streamOut = {12, 0x24, 3, kStreamOut, 0x01, 0x01, 0, kMic, kClockId, 0, 0, 0};
  const Bytes renderGeneral = Cat({{16, 0x24, 1, kStreamIn, 0x04, 1}, Le32(1), {layout.renderChannels}, Le32(3), {0}});
  const Bytes captureGeneral = Cat({{16, 0x24, 1, kStreamOut, 0x04, 1}, Le32(1), {layout.captureChannels}, Le32(3), {0}});
  // Both data endpoints take 1023 bytes a packet: room for 96 kHz at full speed.
  std::vector<Bytes> pieces = {{8, 0x0B, 0, 3, 1, 0, 0x20, 0},
                               usb_device_test::Interface(0, 0, 0, 1, 1, 0x20),
                               {9, 0x24, 1, 0x00, 0x02, 8, 0, 0, 0},
                               clock,
                               streamIn,
                               speaker,
                               mic,
                               streamOut,
                               usb_device_test::Interface(1, 0, 0, 1, 2, 0x20),
                               usb_device_test::Interface(1, 1, layout.feedback ? 2 : 1, 1, 2, 0x20),
                               renderGeneral,
                               {6, 0x24, 2, 1, layout.renderSubslot, layout.renderBits},
                               {7, 5, kRenderEndpoint, static_cast<UCHAR>(layout.feedback ? 0x05 : 0x09), 0xFF, 0x03, layout.renderInterval},
                               {8, 0x25, 1, 0, 0, 0, 0, 0}};
  if (layout.feedback) pieces.push_back({7, 5, kFeedbackEndpoint, 0x11, 4, 0, layout.feedbackInterval});
  for (Bytes b : std::vector<Bytes>{usb_device_test::Interface(2, 0, 0, 1, 2, 0x20),
                                    usb_device_test::Interface(2, 1, 1, 1, 2, 0x20),
                                    captureGeneral,
                                    {6, 0x24, 2, 1, layout.captureSubslot, layout.captureBits},
                                    {7, 5, kCaptureEndpoint, layout.captureAttributes, 0xFF, 0x03, layout.renderInterval},
                                    {8, 0x25, 1, 0, 0, 0, 0, 0}})
    pieces.push_back(std::move(b));
  return usb_device_test::Configuration(pieces);
}

std::int32_t SampleValue(ULONGLONG n, ULONG validBits) {
  const ULONGLONG span = 1ull << validBits;
  const ULONGLONG raw = n % span;
  return static_cast<std::int32_t>(static_cast<LONGLONG>(raw) - (raw >= span / 2 ? static_cast<LONGLONG>(span) : 0));
}

std::vector<Record> TestClient::Records() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  std::vector<Record> copy = records;
  KeReleaseSpinLock(&lock, irql);
  return copy;
}

ULONG TestClient::Count(ULONG code, bool formatChanged) {
  ULONG n = 0;
  for (const Record& r : Records())
    if (r.code == code && (!formatChanged || (r.value & stream::kFormatChangedFlag))) ++n;
  return n;
}

std::vector<std::int32_t> TestClient::Captured() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  std::vector<std::int32_t> copy = captured;
  KeReleaseSpinLock(&lock, irql);
  return copy;
}

void Uac2StreamTest::SetUp() {
  UsbDeviceTest::SetUp();
  savedFunction_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, nullptr);
  uac::RegisterFunctionFactories();
  savedEngines_ = uac::GetStreamEngineFactory();
  stream::RegisterEngineFactories();
}

void Uac2StreamTest::TearDown() {
  while (!attached_.empty()) Detach(attached_.back().first, *attached_.back().second);
  UsbDeviceTest::TearDown();
  adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, savedFunction_);
  uac::SetStreamEngineFactory(savedEngines_);
}

sim::device::DeviceProfile Uac2StreamTest::Profile(bool highSpeed) { return HeadsetProfile(highSpeed); }

sim::device::DeviceProfile HeadsetProfile(bool highSpeed) {
  sim::device::DeviceProfile p;
  p.high_speed = highSpeed;
  p.clock_rates[kClockId] = {44100, 48000, 96000};
  p.signal.kind = sim::device::SignalKind::Ramp;
  return p;
}

NTSTATUS Uac2StreamTest::StartHeadset(sim::device::DeviceProfile profile, const HeadsetLayout& layout) {
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), Headset(layout), std::move(profile));
  return Start();
}

stream::CUsbStreamEngine* Uac2StreamTest::Engine(ULONG direction) {
  if (!hal_) return nullptr;
  for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(hal_->GetEngine(i, &engine)) || engine->GetDirection() != direction) continue;
    PVOID itf = nullptr;
    if (!NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) continue;
    auto* usb = static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
    usb->Release();  // the function holds the engine
    return usb;
  }
  return nullptr;
}

stream::CUac2RenderStream* Uac2StreamTest::Render() {
  return static_cast<stream::CUac2RenderStream*>(Engine(adapter::STREAM_DIRECTION_RENDER));
}

stream::CUac2CaptureStream* Uac2StreamTest::Capture() {
  return static_cast<stream::CUac2CaptureStream*>(Engine(adapter::STREAM_DIRECTION_CAPTURE));
}

bool Uac2StreamTest::FormatAt(stream::CUsbStreamEngine* engine, ULONG rate, WAVEFORMATEXTENSIBLE* format) {
  for (ULONG i = 0; engine && i < engine->GetFormatRecordCount(); ++i) {
    const stream::StreamFormatRecord* r = engine->GetFormatRecord(i);
    if (r->Format.Format.nSamplesPerSec == rate && r->Format.SubFormat.Data1 == 1) {
      *format = r->Format;
      return true;
    }
  }
  return false;
}

NTSTATUS Uac2StreamTest::Register(stream::CUsbStreamEngine* engine, TestClient& client,
                                  const WAVEFORMATEXTENSIBLE& format, ULONG ms, ULONG urbs) {
  client.subframe = format.Format.nBlockAlign / format.Format.nChannels;
  client.validBits = format.Samples.wValidBitsPerSample ? format.Samples.wValidBitsPerSample : format.Format.wBitsPerSample;
  const NTSTATUS status = engine->RegisterClient(stream::kWaveCyclicClientPriority, &format, ms, urbs, Listen, &client,
                                                 &client.record);
  if (NT_SUCCESS(status)) attached_.emplace_back(engine, &client);
  return status;
}

NTSTATUS Uac2StreamTest::Attach(stream::CUsbStreamEngine* engine, TestClient& client,
                                const WAVEFORMATEXTENSIBLE& format, ULONG ms, ULONG urbs) {
  NTSTATUS status = Register(engine, client, format, ms, urbs);
  if (!NT_SUCCESS(status)) return status;
  ULONG msOut = 0, frame = 0;
  status = engine->PrepareClient(client.key(), &msOut, &frame);
  if (!NT_SUCCESS(status)) return status;
  return engine->StartClient(client.key(), frame + 2, &msOut, nullptr);
}

void Uac2StreamTest::Detach(stream::CUsbStreamEngine* engine, TestClient& client) {
  for (auto it = attached_.begin(); it != attached_.end(); ++it)
    if (it->second == &client) {
      attached_.erase(it);
      break;
    }
  if (!client.record) return;
  engine->StopClient(client.key(), nullptr);
  engine->UnprepareClient(client.key());
  engine->UnregisterClient(client.key());
  client.record = nullptr;
}

std::string Describe(const DriftCase& c) {
  const char* encoding = c.encoding == sim::device::FeedbackEncoding::Standard         ? "standard"
                         : c.encoding == sim::device::FeedbackEncoding::FullSpeed16_16 ? "16.16 at full speed"
                                                                                        : "10.14 at high speed";
  char text[160];
  std::snprintf(text, sizeof text, "%s speed %u Hz %+.0f ppm, feedback %s%s", c.highSpeed ? "high" : "full", c.rate,
                c.ppm, encoding,
                c.refresh ? (std::string(", refresh 2^") + std::to_string(*c.refresh)).c_str() : "");
  std::string out = text;
  if (c.renderInterval != 1 || c.feedbackInterval != 4)
    out += ", bInterval " + std::to_string(c.renderInterval) + " data, " + std::to_string(c.feedbackInterval) +
           " feedback";
  return out;
}

std::vector<DriftCase> HighSpeedIntervalGrid(ULONG seconds, bool bothOffsets) {
  std::vector<DriftCase> cases;
  double ppm = 500.0;
  for (UCHAR data = 1; data <= 4; ++data)
    for (UCHAR feedback = 1; feedback <= 4; ++feedback)
      for (ULONG rate : {44100u, 48000u, 96000u}) {
        for (double offset : {ppm, -ppm}) {
          DriftCase c{true, rate, offset, sim::device::FeedbackEncoding::Standard, {}, seconds, data, feedback};
          cases.push_back(c);
          if (!bothOffsets) break;
        }
        ppm = -ppm;
      }
  return cases;
}

void ExpectFollowed(const DriftCase& c, const DriftResult& r) {
  EXPECT_EQ(r.lateUnderrun, 0u);
  EXPECT_EQ(r.lateOverflow, 0u);
  EXPECT_NEAR(r.measured, c.rate * (1 + c.ppm * 1e-6), 1.0);
}

DriftResult Uac2StreamTest::RunDrift(const DriftCase& c) {
  DriftResult result;
  auto profile = Profile(c.highSpeed);
  profile.clock_ppm = c.ppm;
  profile.feedback_encoding = c.encoding;
  profile.feedback_refresh = c.refresh;
  // Room for what an encoding the driver cannot follow lets drift in a minute.
  profile.fifo_capacity_ms = 1000;
  HeadsetLayout layout;
  layout.renderInterval = c.renderInterval;
  layout.feedbackInterval = c.feedbackInterval;
  if (StartHeadset(std::move(profile), layout) != STATUS_SUCCESS) {
    ADD_FAILURE() << "the headset did not start";
    return result;
  }
  stream::CUac2RenderStream* render = Render();
  WAVEFORMATEXTENSIBLE format;
  if (!render || !FormatAt(render, c.rate, &format)) {
    ADD_FAILURE() << "no render format at " << c.rate;
    return result;
  }
  TestClient& client = NewClient();
  if (Attach(render, client, format) != STATUS_SUCCESS) {
    ADD_FAILURE() << "the client did not start";
    return result;
  }
  // The first second settles the feedback; what the FIFO loses or drops after it is kept apart.
  const ULONG settle = c.seconds > 1 ? 1 : 0;
  platform::testing::DelayMs(static_cast<LONGLONG>(settle) * 1000);
  const auto settled = sim_->render_stats(kRenderEndpoint);
  platform::testing::DelayMs(static_cast<LONGLONG>(c.seconds - settle) * 1000);
  result.measured = render->GetMeasuredRate();
  // The FIFO as the stream runs, not as it drains after the last URB.
  const auto stats = sim_->render_stats(kRenderEndpoint);
  result.lateUnderrun = stats.underrun_frames - settled.underrun_frames;
  result.lateOverflow = stats.overflow_frames - settled.overflow_frames;
  render->StopClient(client.key(), nullptr);
  result.start = stats.start_frames;
  result.low = stats.fifo_min_frames;
  result.high = stats.fifo_max_frames;
  result.underrun = stats.underrun_frames;
  result.overflow = stats.overflow_frames;
  result.samples = ExpectEverySampleOnce(kRenderEndpoint, client);
  EXPECT_GE(result.samples, ULONGLONG{c.rate} * (c.seconds - 1) * format.Format.nChannels);
  Detach(render, client);
  TearDownDevice();
  return result;
}

ULONGLONG Uac2StreamTest::ExpectEverySampleOnce(UCHAR endpoint, const TestClient& client) {
  const std::vector<std::int32_t> got = sim_->received_samples(endpoint);
  EXPECT_LE(got.size(), client.renderSamples);
  ULONGLONG bad = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != SampleValue(i, client.validBits) && bad++ < 3)
      ADD_FAILURE() << "sample " << i << " is " << got[i] << ", sent " << SampleValue(i, client.validBits);
  }
  EXPECT_EQ(bad, 0u);
  return got.size();
}

}  // namespace uac2_test
