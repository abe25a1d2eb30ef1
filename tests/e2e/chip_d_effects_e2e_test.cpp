// The chip class D effect nodes end to end: the engine client plays through the
// WaveCyclic pin of a chip D device while a control switches an effect on, and the
// device hears the processed front pair.
// - Virtualiser on an 8-channel pin at 44.1 kHz: an impulse on channel 0 before the
//   switch reaches the device's left channel as it was sent (the fold), one after it as
//   the binaural response, whose peak lies the wrapper's own peak (767 samples of engine
//   plus the filter's peak tap) later than the dry impulse's, both behind the leveller.
// - Reverb on an 8-channel pin at 48 kHz (the pins offer eight channels only): the device
//   hears the client's tones (within a step) until the switch and the wet pair after it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "dsp/virtualiser/lpv_effect.h"
#include "kernel/clock.h"
#include "kernel/registry.h"
#include "uac/chip_d_effect_controls.h"
#include "uac/chip_d_function.h"
#include "wave_e2e_fixture.h"

namespace {

using iso_test::AltSpec;
using iso_test::kCaptureEndpoint;
using iso_test::kRenderEndpoint;
using platform::testing::DelayMs;
using wave_e2e::Sine16;

class ChipDEffectsEndToEnd : public wave_e2e::WaveEndToEnd {
 protected:
  void SetUp() override {
    WaveEndToEnd::SetUp();
    ExpectStreamFinding("pattern break", "device");
  }

  void StartChipD(ULONG rate) {
    const AltSpec stereo{2, 2, 16, {rate}, {{kRenderEndpoint, 0x05, 200, 1}}};
    const AltSpec mic{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, 100, 1}}};
    sim::device::DeviceProfile profile;
    profile.strings[adapter::kModelStringIndex] = u"QVK712";
    usb_device_test::Bytes block(16, 0);
    for (UCHAR b : {21, 0, 2, 0x00, 0x0C}) block.push_back(b);  // selectors 0x8B and 0x8C
    profile.entity_memory[2] = block;
    Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), iso_test::SpeakerAndMicrophone({stereo}, {mic}), profile);
    platform::registry::SetDword(SettingsPath(), u"ModelVariant", 6);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    InstallSubdevices();
  }

  template <class Control>
  Control* Find() {
    stream::CUsbStreamEngine* engine = Render();
    for (ULONG i = 0; engine && i < engine->GetNodeCount(); ++i) {
      adapter::IUacEntity* node = nullptr;
      if (engine->GetNode(i, &node) != STATUS_SUCCESS) continue;
      if (auto* c = dynamic_cast<Control*>(node)) return c;
    }
    return nullptr;
  }

  // One second of `channels` channels at `rate` from `sample`; `during` runs 200 ms in.
  std::vector<std::int32_t> Play(ULONG rate, WORD channels, short (*sample)(ULONG64, ULONG),
                                 const std::function<void()>& during) {
    auto filter = OpenFilter(u"SPKOut00Wave");
    if (!filter) return {};
    WAVEFORMATEXTENSIBLE format = iso_test::Pcm(channels, rate, 16);
    format.dwChannelMask = uac::kChipDRenderChannelMask;
    const ULONG block = channels * 2u;
    sim::engine::StreamOptions options;
    options.clientSignal = [block, sample](ULONG64 firstByte, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 byte = firstByte + i;
        const short s = sample(byte / block, static_cast<ULONG>(byte % block / 2));
        out[i] = static_cast<BYTE>(static_cast<USHORT>(s) >> (8 * (byte % 2)));
      }
    };
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(OpenStream(*filter, format, options, &stream), STATUS_SUCCESS);
    if (!stream) return {};
    EXPECT_EQ(stream->Start(), STATUS_SUCCESS);
    DelayMs(200);
    during();
    DelayMs(800);
    EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    return sim_->received_samples(kRenderEndpoint);
  }
};

constexpr ULONG64 kDryImpulse = 4410;   // 100 ms in, before the switch
constexpr ULONG64 kWetImpulse = 22050;  // 500 ms in, long after it
constexpr short kImpulse = 16384;

short Impulses(ULONG64 frame, ULONG channel) {
  return channel == 0 && (frame == kDryImpulse || frame == kWetImpulse) ? kImpulse : 0;
}

// The wrapper alone, set up as the control sets it, on an impulse at 44.1 kHz: the index
// of its left output's largest magnitude.
size_t WrapperPeak(const CLpvEffect& configured) {
  auto* w = DspNew<CLpvEffect>(uac::kChipDEffectTag);
  dsp::WAVEFORMATEX f = {3, 8, 44100, 44100 * 32, 32, 32, 0};
  w->SetEnable(1);
  w->SetCtcEnable(0);
  w->SetHeadphoneAngle(3);
  w->SetSpeakerAngle(3);
  w->SetCtcAngle(0);
  w->SetHeadphoneRoom(configured.GetHeadphoneRoom());
  w->SetHeadphoneWide(configured.GetHeadphoneWide());
  w->SetFormat(&f);
  std::vector<float> left;
  std::vector<std::vector<float>> ch(8, std::vector<float>(512));
  float* ptr[8];
  for (int c = 0; c < 8; ++c) ptr[c] = ch[c].data();
  for (int call = 0; call < 8; ++call) {
    for (auto& c : ch) std::fill(c.begin(), c.end(), 0.0f);
    if (call == 0) ch[0][0] = 0.5f;
    w->Process(ptr, 512);
    left.insert(left.end(), ch[0].begin(), ch[0].end());
  }
  DspDelete(w);
  size_t peak = 0;
  for (size_t i = 1; i < left.size(); ++i)
    if (std::fabs(left[i]) > std::fabs(left[peak])) peak = i;
  return peak;
}

TEST_F(ChipDEffectsEndToEnd, VirtualiserOnAnEightChannelPinGivesTheBinauralPair) {
  UseExactTiming();
  StartChipD(44100);
  auto* lpv = Find<uac::CChipDLpvEffectControl>();
  ASSERT_NE(lpv, nullptr);
  ASSERT_NE(lpv->Virtualiser(), nullptr);
  const std::vector<std::int32_t> received =
      Play(44100, 8, Impulses, [lpv] { ASSERT_EQ(lpv->SetValue(1), STATUS_SUCCESS); });
  ASSERT_GT(received.size(), 2u * 44100 / 2);
  // The dry impulse: the first non-silent left sample, as sent (within the denormal
  // guard's step); then silence up to the wet response.
  size_t dry = 0;
  while (dry < received.size() / 2 && received[2 * dry] == 0) ++dry;
  ASSERT_LT(dry, received.size() / 2);
  EXPECT_NEAR(received[2 * dry], kImpulse, 1);
  EXPECT_EQ(received[2 * dry + 1], 0);
  size_t wet = dry + 1;
  for (size_t i = dry + 1; i < received.size() / 2; ++i)
    if (std::abs(received[2 * i]) > std::abs(received[2 * wet])) wet = i;
  const size_t engine = WrapperPeak(*lpv->Virtualiser());
  RecordProperty("wrapper_peak", static_cast<int>(engine));
  EXPECT_GE(engine, 767u);
  EXPECT_EQ(wet - dry, (kWetImpulse - kDryImpulse) + engine);
  // The binaural pair: both channels answer the impulse.
  EXPECT_NE(received[2 * wet + 1], 0);
}

constexpr ULONG kReverbRate = 48000;
short Tones(ULONG64 frame, ULONG channel) {
  if (channel == 0) return Sine16(frame, 997.0, kReverbRate);
  if (channel == 1) return Sine16(frame, 1409.0, kReverbRate);
  return 0;
}
// The same with a quiet tone on the centre channel, which the reverb passes at its level
// and the virtualiser's fold adds to the front pair.
short TonesAndCentre(ULONG64 frame, ULONG channel) {
  if (channel == 2) return Sine16(frame, 523.0, kReverbRate, 1000.0);
  return Tones(frame, channel);
}

TEST_F(ChipDEffectsEndToEnd, ReverbOnAnEightChannelPinGivesTheWetFrontPair) {
  UseExactTiming();
  StartChipD(kReverbRate);
  auto* reverb = Find<uac::CChipDReverbEffectControl>();
  ASSERT_NE(reverb, nullptr);
  ASSERT_NE(reverb->Reverb(), nullptr);
  const std::vector<std::int32_t> received =
      Play(kReverbRate, 8, Tones, [reverb] { ASSERT_EQ(reverb->SetValue(1), STATUS_SUCCESS); });
  ASSERT_GT(received.size(), 2u * kReverbRate / 2);
  size_t first = 0;
  while (first < received.size() && received[first] == 0) ++first;
  first -= first % 2;
  // Until the switch (200 ms, less what was queued ahead): the client's tones.
  const size_t frames = (received.size() - first) / 2;
  size_t n = 0;
  while (n < frames && std::abs(received[first + 2 * n] - Tones(n, 0)) <= 1 &&
         std::abs(received[first + 2 * n + 1] - Tones(n, 1)) <= 1)
    ++n;
  EXPECT_GT(n, kReverbRate / 10);
  EXPECT_LT(n, kReverbRate / 4);
  // From 100 ms after it to the end: the wet pair, far from the tones and not silent.
  double off = 0, level = 0;
  const size_t from = n + kReverbRate / 10;
  for (size_t i = from; i + 1 < frames; ++i) {
    off += std::fabs(static_cast<double>(received[first + 2 * i]) - Tones(i, 0));
    level += std::fabs(static_cast<double>(received[first + 2 * i]));
  }
  ASSERT_GT(frames, from + kReverbRate / 4);
  EXPECT_GT(off / static_cast<double>(frames - from), 100.0);
  EXPECT_GT(level / static_cast<double>(frames - from), 100.0);
}

// Channels 2-7 leave the reverb at their input level: a quiet centre tone reaches the
// device through the fold without driving the pair to full scale, before and after the
// switch.
TEST_F(ChipDEffectsEndToEnd, ReverbPassesTheOtherChannelsAtTheirLevel) {
  UseExactTiming();
  StartChipD(kReverbRate);
  auto* reverb = Find<uac::CChipDReverbEffectControl>();
  ASSERT_NE(reverb, nullptr);
  const std::vector<std::int32_t> received =
      Play(kReverbRate, 8, TonesAndCentre, [reverb] { ASSERT_EQ(reverb->SetValue(1), STATUS_SUCCESS); });
  ASSERT_GT(received.size(), 2u * kReverbRate / 2);
  size_t loud = 0;
  double level = 0;
  for (std::int32_t s : received) {
    loud += std::abs(s) >= 32000;
    level += std::fabs(static_cast<double>(s));
  }
  EXPECT_EQ(loud, 0u);
  EXPECT_GT(level / static_cast<double>(received.size()), 100.0);
}

}  // namespace
