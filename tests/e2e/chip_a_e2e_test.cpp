// Chip class A end to end: the synthetic chip A device started under the real chip A
// function and engines, its wave filters opened by the engine client. A tone plays while
// the scripted jack report moves the jack-poll worker through its states, and the device
// receives it at full level, at a quarter and as silence; a microphone records meanwhile.
// An 8-channel stream reaches the device with its rear pairs exchanged (a 6-channel one as
// it is), and an AC-3 stream on the S/PDIF output, found by the WaveCyclic intersection,
// reaches the device byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "adapter/endpoint_type.h"
#include "chip_a_device.h"
#include "filters/miniport_wave_cyclic.h"
#include "kernel/clock.h"
#include "kernel/registry.h"
#include "sim/device/chip_registers.h"
#include "stream/chip_a_render_stream.h"
#include "support/wave_formats.h"
#include "uac/chip_a_function.h"
#include "wave_e2e_fixture.h"

namespace {

using platform::testing::DelayMs;
using platform::testing::ExtensibleFormat;
using sim::device::ChipRegisters;
using R = ChipRegisters::JackReport;
using wave_e2e::Sine16;

constexpr char16_t kChipAModel[] = {0x000B, 0x0005, 0x0050, u'A', 0};
constexpr UCHAR kRenderEndpoint = 0x01;
constexpr ULONG kRate = 48000;
constexpr double kTone = 1000.0;
constexpr LONGLONG kMs = 10000;  // platform clock units per millisecond

class ChipAEndToEnd : public wave_e2e::WaveEndToEnd {
 protected:
  void SetUp() override {
    WaveEndToEnd::SetUp();
    savedChipA_ = adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, nullptr);
    uac::RegisterFunctionFactories();
    // The real engines: chip A render engines come from the streaming layer's factory.
    stream::RegisterEngineFactories();
    file_ = chip_a_test::LoadChipADevice();
    ASSERT_FALSE(file_.config.empty());
  }
  void TearDown() override {
    WaveEndToEnd::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, savedChipA_);
    uac::SetChipARenderFactory(nullptr);
  }

  // The chip A device of the row: the jack-polling row with its chip values, or a device
  // of no row (8-channel output on), with the render output of the type.
  // The render output offers every kind (the jack-polling row only the speaker), the
  // given one as its current.
  NTSTATUS StartChipA(bool jackRow, UCHAR kind = 1) {
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    const USHORT vendor = jackRow ? 0x1E7D : 0x1234, product = jackRow ? 0x3750 : 0x5678;
    Plug(chip_a_test::WithIds(file_.device, vendor, product), file_.config, profile);
    sim_->SetVendorData(0xC3, 0x81, 0, 9, {0x9F});
    sim_->SetVendorData(0xC3, 0x81, 0, 8, {static_cast<UCHAR>(jackRow ? 0x03 : 0x02)});
    platform::registry::SetDword(SettingsPath(), u"SupportHPOut", 1);
    platform::registry::SetDword(SettingsPath(), u"SupportSpdifOut", 1);
    platform::registry::SetBinary(SettingsPath(), u"UACUnit03", std::vector<UCHAR>{kind, 0, 0, 0});
    chip_.Install(*sim_);
    NTSTATUS status = Start();
    if (!NT_SUCCESS(status)) return status;
    status = hal_->StartEntities();
    InstallSubdevices();
    return status;
  }

  uac::CChipAFunction* function() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CChipAFunction*>(
        static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf)));
    f->Release();
    return f;
  }

  // Plays the client's signal on the render filter for `ms` of virtual time, `during`
  // run once the stream runs; the samples the device received.
  std::vector<std::int32_t> Play(const WAVEFORMATEXTENSIBLE& format,
                                 std::function<void(ULONG64, BYTE*, ULONG)> signal, LONGLONG ms,
                                 const std::function<void()>& during = {}) {
    auto filter = OpenFilter(u"SPKOut00Wave");
    if (!filter) return {};
    sim::engine::StreamOptions options;
    options.clientSignal = std::move(signal);
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(OpenStream(*filter, format, options, &stream), STATUS_SUCCESS);
    if (!stream) return {};
    EXPECT_EQ(stream->Start(), STATUS_SUCCESS);
    if (during) during();
    DelayMs(ms);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    ExpectNoFindings(*stream);
    stream.reset();
    return sim_->received_samples(kRenderEndpoint);
  }

  // Opens a stream in the engine's AC-3 format at 48 kHz, as the WaveCyclic intersection
  // finds it, with bytes of a pattern no processing would keep; `byteAt` gives them.
  static BYTE Ac3Byte(ULONG64 i) { return static_cast<BYTE>((i * 37 + i / 251) ^ 0xA5); }
  std::unique_ptr<sim::engine::Stream> OpenAc3(sim::engine::FilterClient& filter) {
    GUID ac3 = KSDATAFORMAT_SUBTYPE_PCM;
    ac3.Data1 = stream::kChipAAc3Tag;
    const KSDATARANGE_AUDIO wanted = platform::testing::PcmDataRange(2, 16, kRate, kRate, ac3);
    std::vector<BYTE> format;
    EXPECT_EQ(filter.Intersect(filters::kWaveStreamingPin, wanted, &format), STATUS_SUCCESS);
    if (format.size() < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) return nullptr;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
    std::memcpy(&f, format.data(), sizeof f);
    EXPECT_EQ(stream::ChipAFormatTag(f.WaveFormatExt), stream::kChipAAc3Tag);
    EXPECT_EQ(f.WaveFormatExt.Format.nSamplesPerSec, kRate);
    // An IEC 61937 burst is just bytes to the driver.
    sim::engine::StreamOptions options;
    options.clientSignal = [](ULONG64 first, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) out[i] = Ac3Byte(first + i);
    };
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(filter.OpenStream(filters::kWaveStreamingPin, format, options, &stream), STATUS_SUCCESS);
    return stream;
  }
  // The render path's output switched to the kind as the topology filter switches it,
  // through its terminal-kind node; then the engine renamed as the subdevice
  // re-registration names it (the fixture installs the subdevices itself).
  void SwitchRenderKind(ULONG kind, PCWSTR name) {
    stream::CUsbStreamEngine* render = Engine(adapter::STREAM_DIRECTION_RENDER);
    ASSERT_NE(render, nullptr);
    bool switched = false;
    for (ULONG i = 0; i < render->GetNodeCount() && !switched; ++i) {
      adapter::IUacEntity* entity = nullptr;
      if (!NT_SUCCESS(render->GetNode(i, &entity)) || entity->GetType() != adapter::NODE_TERMINAL_KIND) continue;
      PVOID node = nullptr;
      if (!NT_SUCCESS(entity->QueryInterface(adapter::IID_ITerminalKindNode, &node))) continue;
      EXPECT_EQ(static_cast<adapter::ITerminalKindNode*>(node)->SetKind(kind), STATUS_SUCCESS);
      static_cast<adapter::ITerminalKindNode*>(node)->Release();
      switched = true;
    }
    ASSERT_TRUE(switched);
    ASSERT_EQ(render->GetEndpointType(), kind);
    ASSERT_EQ(render->SetName(name), STATUS_SUCCESS);
  }
  // The render filter opened and an AC-3 stream on it started.
  void StartAc3(std::unique_ptr<sim::engine::FilterClient>* filter, std::unique_ptr<sim::engine::Stream>* stream) {
    *filter = OpenFilter(u"SPKOut00Wave");
    ASSERT_NE(*filter, nullptr);
    *stream = OpenAc3(**filter);
    ASSERT_NE(*stream, nullptr);
    ASSERT_EQ((*stream)->Start(), STATUS_SUCCESS);
  }
  // 16-bit samples of a client signal given per (frame, channel).
  static std::function<void(ULONG64, BYTE*, ULONG)> Signal16(ULONG channels,
                                                              std::function<short(ULONG64, ULONG)> sample) {
    return [channels, sample](ULONG64 first, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 byte = first + i;
        const ULONG64 index = byte / 2;
        const short s = sample(index / channels, static_cast<ULONG>(index % channels));
        out[i] = static_cast<BYTE>(static_cast<USHORT>(s) >> (8 * (byte % 2)));
      }
    };
  }

  chip_a_test::DeviceFile file_;
  ChipRegisters chip_{3};
  adapter::FunctionFactory savedChipA_ = nullptr;
};

// The jack stays plugged for a second (full level), is pulled (a mixed history: a quarter
// of the level, then after 30 reports silence), and is plugged again (silence until 30
// reports agree, then full level). Meanwhile the microphone records.
TEST_F(ChipAEndToEnd, JackPatternSetsTheLevelTheDeviceReceives) {
  UseExactTiming();
  ASSERT_EQ(StartChipA(true), STATUS_SUCCESS);
  ASSERT_NE(function()->GainNode(), nullptr);
  chip_.SetJackSchedule({{0, R::Byte(ChipRegisters::kJackSet)}});
  DelayMs(1600);  // 30 reports with the jack plugged
  ASSERT_EQ(function()->JackState(), uac::CHIPA_JACK_ALL_SET);

  std::vector<BYTE> recorded;
  auto mic = OpenFilter(u"MicIn00Wave");
  ASSERT_NE(mic, nullptr);
  sim::engine::StreamOptions micOptions;
  micOptions.checkCapturePattern = false;
  micOptions.captureSink = [&recorded](const BYTE* b, ULONG n) { recorded.insert(recorded.end(), b, b + n); };
  std::unique_ptr<sim::engine::Stream> capture;
  ASSERT_EQ(OpenStream(*mic, ExtensibleFormat(2, kRate, 16), micOptions, &capture), STATUS_SUCCESS);
  ASSERT_EQ(capture->Start(), STATUS_SUCCESS);

  LONGLONG start = 0;
  const auto received = Play(
      ExtensibleFormat(2, kRate, 16), Signal16(2, [](ULONG64 n, ULONG) { return Sine16(n, kTone, kRate); }), 5000,
      [&] {
        start = platform::clock::Now();
        chip_.SetJackSchedule({{0, R::Byte(ChipRegisters::kJackSet)},
                               {start + 1000 * kMs, R::Byte(ChipRegisters::kJackClear)},
                               {start + 3000 * kMs, R::Byte(ChipRegisters::kJackSet)}});
      });
  EXPECT_EQ(capture->Stop(), STATUS_SUCCESS);
  ExpectNoFindings(*capture);
  capture.reset();
  EXPECT_GT(recorded.size(), 4u * kRate * 4);

  // The tone from its first frame on; frame n left the client n / 48000 s after its first.
  size_t first = 0;
  while (first < received.size() && received[first] == 0) ++first;
  ASSERT_LT(first + 2 * kRate * 5, received.size() + 2 * kRate);
  struct Window {
    const char* what;
    double from, to;  // seconds into the tone
    double gain;
  };
  const Window windows[] = {
      {"plugged", 0.1, 0.9, 1.0},
      {"pulled: a mixed history", 1.3, 2.3, 0.25},
      {"pulled for 30 reports", 2.7, 3.0, 0.0},
      {"plugged again, history still mixed", 3.2, 4.3, 0.0},
      {"plugged for 30 reports", 4.7, 4.9, 1.0},
  };
  for (const Window& w : windows) {
    SCOPED_TRACE(w.what);
    int mismatches = 0;
    for (ULONG64 n = static_cast<ULONG64>(w.from * kRate); n < static_cast<ULONG64>(w.to * kRate); ++n) {
      const size_t at = first + 2 * n;
      if (at + 1 >= received.size()) break;
      const double expected = Sine16(n, kTone, kRate) * w.gain;
      for (int c = 0; c < 2; ++c)
        if (std::abs(received[at + c] - expected) > (w.gain == 1.0 ? 0.0 : 1.0) && mismatches++ < 3)
          ADD_FAILURE() << "frame " << n << ": " << received[at + c] << " where " << expected << " belongs";
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// The channel swap: an 8-channel stream reaches the device with channels 4 and 6, and 5
// and 7, exchanged; a 6-channel stream as it was played.
TEST_F(ChipAEndToEnd, EightChannelStreamHasItsRearPairsExchanged) {
  UseExactTiming();
  ASSERT_EQ(StartChipA(false), STATUS_SUCCESS);
  EXPECT_EQ(function()->GainNode(), nullptr);
  const auto sample = [](ULONG64 n, ULONG c) { return static_cast<short>(1000 * (c + 1) + n % 700 - 350); };
  struct Case {
    WORD channels;
    DWORD mask;
    ULONG order[8];  // client channel the device's channel c carries
  };
  const Case cases[] = {{8, 0x63F, {0, 1, 2, 3, 6, 7, 4, 5}}, {6, 0x3F, {0, 1, 2, 3, 4, 5}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channels);
    WAVEFORMATEXTENSIBLE format = ExtensibleFormat(c.channels, kRate, 16);
    format.dwChannelMask = c.mask;
    // What the device received on the stream's own setting.
    const auto received = Play(format, Signal16(c.channels, sample), 300);
    size_t first = 0;
    while (first < received.size() && received[first] == 0) ++first;
    ASSERT_EQ(first % c.channels, 0u);
    const size_t frames = (received.size() - first) / c.channels;
    ASSERT_GT(frames, kRate / 10);
    int mismatches = 0;
    for (size_t n = 0; n < frames; ++n)
      for (ULONG ch = 0; ch < c.channels; ++ch)
        if (received[first + n * c.channels + ch] != sample(n, c.order[ch]) && mismatches++ < 3)
          ADD_FAILURE() << "frame " << n << " channel " << ch;
    EXPECT_EQ(mismatches, 0);
  }
}

// Headphones play 96 kHz on their own setting, whose packets carry a millisecond of it:
// the device receives every frame as played, with register 0 saying 96 kHz.
TEST_F(ChipAEndToEnd, HeadphonesStreamNinetySixKilohertzOnTheirSetting) {
  UseExactTiming();
  ASSERT_EQ(StartChipA(false, 2), STATUS_SUCCESS);
  constexpr ULONG kHighRate = 96000;
  const auto sample = [](ULONG64 n, ULONG c) { return static_cast<short>((c ? -1 : 1) * (int(n % 1999) - 999)); };
  UCHAR alternate = 0;
  const auto received = Play(ExtensibleFormat(2, kHighRate, 16), Signal16(2, sample), 300,
                             [&] { alternate = sim_->CurrentAlternate(1); });
  EXPECT_EQ(alternate, 5);
  EXPECT_EQ(chip_.value(0) & 0x7002, 0x6000);
  size_t first = 0;
  while (first < received.size() && received[first] == 0) ++first;
  ASSERT_EQ(first % 2, 0u);
  const size_t frames = (received.size() - first) / 2;
  ASSERT_GT(frames, kHighRate / 5);
  int mismatches = 0;
  for (size_t n = 0; n < frames; ++n)
    for (ULONG ch = 0; ch < 2; ++ch)
      if (received[first + 2 * n + ch] != sample(n, ch) && mismatches++ < 3)
        ADD_FAILURE() << "frame " << n << " channel " << ch;
  EXPECT_EQ(mismatches, 0);
}

// AC-3 on the S/PDIF output: the intersection finds the engine's AC-3 format, the pin
// opens with it, and the device receives the client's bytes as they were.
TEST_F(ChipAEndToEnd, Ac3OnSpdifReachesTheDeviceUntouched) {
  UseExactTiming();
  ASSERT_EQ(StartChipA(false, 3), STATUS_SUCCESS);
  std::unique_ptr<sim::engine::FilterClient> filter;
  std::unique_ptr<sim::engine::Stream> stream;
  StartAc3(&filter, &stream);
  if (HasFatalFailure()) return;
  DelayMs(300);
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  ExpectNoFindings(*stream);
  stream.reset();
  // Register 0 says IEC 61937 at 48 kHz.
  EXPECT_EQ(chip_.value(0) & 0x7002, 0x2002);
  const auto received = sim_->received_samples(kRenderEndpoint);
  size_t first = 0;
  while (first < received.size() && received[first] == 0) ++first;
  ASSERT_GT(received.size() - first, size_t{kRate / 10});
  int mismatches = 0;
  for (size_t k = 0; k + first < received.size(); ++k) {
    const auto s = static_cast<USHORT>(received[first + k]);
    // The stream's first bytes may be zero: count from the first non-zero sample.
    const ULONG64 byte = 2 * k + (Ac3Byte(0) == 0 && Ac3Byte(1) == 0 ? 2 : 0);
    if ((s & 0xFF) != Ac3Byte(byte) || (s >> 8) != Ac3Byte(byte + 1)) {
      if (mismatches++ < 3) ADD_FAILURE() << "sample " << k;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// The output switched from S/PDIF to the speaker while an AC-3 stream plays: the stream
// keeps its format (a new client could not open it any more) and plays on, through a
// transfer error after the switch too, whose recovery finds its setting again: no port
// cycle. Once the stream has left, the format goes.
TEST_F(ChipAEndToEnd, KindSwitchUnderAnAc3StreamLetsItPlayOn) {
  UseExactTiming();
  ASSERT_EQ(StartChipA(false, 3), STATUS_SUCCESS);
  ExpectStreamFinding("pattern break", "device");  // what the failed packet carried
  // While the engine recovers no URB comes back: the device runs dry, the position stands.
  ExpectStreamFinding("underrun", "device");
  ExpectStreamFinding("missed packets", "device");
  ExpectStreamFinding("missed notification", "engine");
  ExpectStreamFinding("position stalled", "engine");
  std::unique_ptr<sim::engine::FilterClient> filter;
  std::unique_ptr<sim::engine::Stream> stream;
  StartAc3(&filter, &stream);
  if (HasFatalFailure()) return;
  DelayMs(100);
  SwitchRenderKind(adapter::ENDPOINT_SPK, u"SPKOut01");
  stream::CUsbStreamEngine* render = Engine(adapter::STREAM_DIRECTION_RENDER);
  WAVEFORMATEXTENSIBLE kept{};
  for (ULONG i = 0; i < render->GetFormatRecordCount(); ++i)
    if (stream::ChipAFormatTag(render->GetFormatRecord(i)->Format) == stream::kChipAAc3Tag)
      kept = render->GetFormatRecord(i)->Format;
  EXPECT_EQ(kept.Format.nSamplesPerSec, kRate);  // only the stream's own AC-3 format is left
  sim_->FailIsoPackets(kRenderEndpoint, 0, 1, USBD_STATUS_XACT_ERROR);
  DelayMs(400);
  EXPECT_GE(sim_->fault_hits(), 1u);
  EXPECT_EQ(bus().cycle_count(), 0u);
  EXPECT_EQ(render->GetStreamState(), stream::STREAM_STATE_RUNNING);
  // The stream plays on: the setting selected again by the recovery received more than
  // 200 ms of it.
  EXPECT_GT(sim_->received_samples(kRenderEndpoint).size(), 2 * kRate / 5);
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  stream.reset();
  filter.reset();
  for (ULONG i = 0; i < render->GetFormatRecordCount(); ++i)
    EXPECT_NE(stream::ChipAFormatTag(render->GetFormatRecord(i)->Format), stream::kChipAAc3Tag) << i;
}

}  // namespace
