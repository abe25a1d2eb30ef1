// The synthetic chip class A device under the whole driver, through the engine client:
// the render unit's volume and mute as KS nodes of the topology filter (ranges along the
// chip's curve), the output kind switched from the topology filter re-registering the
// render endpoint under its new name, and the software volume and mute on the S/PDIF
// output acting on the data the device receives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "adapter/node_interfaces.h"
#include "entry/driver_layers.h"
#include "entry_fixture.h"
#include "filters/topology_property_sets.h"
#include "filters/miniport_wave_cyclic.h"
#include "portcls/ksclient.h"
#include "sim/device/chip_registers.h"
#include "sim/engine/engine.h"
#include "support/wave_formats.h"

namespace entry_test {
namespace {

constexpr const char16_t* kTopology = u"RuveruZuze";
constexpr char16_t kChipAModel[] = {0x000B, 0x0005, 0x0050, u'A', 0};
constexpr UCHAR kVendorIn = 0xC3;
constexpr UCHAR kRenderEndpoint = 0x01;
constexpr LONG kDb = 65536;
using Key = sim::device::SimDevice::ControlKey;

class ChipAEndToEnd : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    entry::RegisterDriverLayers();
  }
  void TearDown() override {
    topology_.reset();
    DriverTest::TearDown();
  }

  // Plugs the synthetic chip A device with its chip values and registers, and starts it.
  void StartChipA() {
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;  // the model string's index
    Plug(UA_CHIP_A_DEVICE_FILE, profile);
    sim_->SetVendorData(kVendorIn, 0x81, 0, 9, {0x9F});
    sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    chip_.Install(*sim_);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    for (const auto& info : sim::engine::EnumerateFilters()) {
      if (info.device == fdo() && info.name == kTopology) {
        ASSERT_EQ(sim::engine::FilterClient::Open(info, &topology_), STATUS_SUCCESS);
      }
    }
    ASSERT_NE(topology_, nullptr);
    ASSERT_EQ(topology_->ReadDescription(&description_), STATUS_SUCCESS);
  }

  std::u16string RenderName() {
    adapter::IStreamEngine* engine = nullptr;
    EXPECT_EQ(hal()->GetEngine(0, &engine), STATUS_SUCCESS);
    return engine && engine->GetName() ? engine->GetName() : u"";
  }

  // The topology node whose SET of the property reaches the device control `key`: each
  // candidate of the node type is written in turn until the device sees the value.
  ULONG FindNode(const GUID& type, ULONG property, LONG value, Key key, std::int64_t expected) {
    for (ULONG n = 0; n < description_.nodeTypes.size(); ++n) {
      if (!IsEqualGUID(description_.nodeTypes[n], type)) continue;
      if (!NT_SUCCESS(topology_->SetNodeValue(n, KSPROPSETID_Audio, property, 0, value))) continue;
      if (sim_->GetControl(key) == expected) return n;
    }
    ADD_FAILURE() << "no node reaches the control";
    return ULONG(-1);
  }

  // The topology node of the output terminal's kind switch.
  ULONG KindNode() {
    for (ULONG n = 0; n < description_.nodeTypes.size(); ++n) {
      LONG current = 0;
      if (NT_SUCCESS(topology_->GetNodeValue(n, filters::KSPROPSETID_TerminalKind,
                                             filters::KSPROPERTY_TERMINALKIND_KIND, -1, &current)))
        return n;
    }
    ADD_FAILURE() << "no kind node on the topology filter";
    return ULONG(-1);
  }

  NTSTATUS SwitchKind(ULONG node, ULONG kind) {
    return topology_->SetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, static_cast<LONG>(kind));
  }

  // The range a node announces: (minimum, maximum, step).
  std::array<LONG, 3> Range(ULONG node) {
    std::vector<BYTE> answer;
    EXPECT_EQ(topology_->NodeBasicSupport(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, &answer),
              STATUS_SUCCESS);
    KSPROPERTY_STEPPING_LONG r{};
    if (answer.size() >= 56 + sizeof r) std::memcpy(&r, answer.data() + 56, sizeof r);
    return {r.Bounds.SignedMinimum, r.Bounds.SignedMaximum, static_cast<LONG>(r.SteppingDelta)};
  }

  // Plays one second of a two-channel 48 kHz stream of constant samples (`left`, `right`)
  // on the render endpoint's wave filter; the device's samples after the first non-zero.
  std::vector<std::int32_t> PlayConstant(short left, short right, WORD channels = 2) {
    std::unique_ptr<sim::engine::FilterClient> wave;
    for (const auto& info : sim::engine::EnumerateFilters()) {
      if (info.device == fdo() && info.name == RenderName() + u"Wave") {
        EXPECT_EQ(sim::engine::FilterClient::Open(info, &wave), STATUS_SUCCESS);
      }
    }
    EXPECT_NE(wave, nullptr);
    if (!wave) return {};
    const WAVEFORMATEXTENSIBLE format = platform::testing::ExtensibleFormat(channels, 48000, 16);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = format.SubFormat;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    f.DataFormat.SampleSize = format.Format.nBlockAlign;
    f.WaveFormatExt = format;
    std::vector<BYTE> bytes(sizeof f);
    std::memcpy(bytes.data(), &f, sizeof f);
    sim::engine::StreamOptions options;
    options.clientSignal = [left, right, channels](ULONG64 firstByte, BYTE* out, ULONG count) {
      for (ULONG i = 0; i < count; ++i) {
        const ULONG64 byte = firstByte + i;
        const ULONG channel = static_cast<ULONG>(byte / 2 % channels);
        const short s = channel == 0 ? left : channel == 1 ? right : static_cast<short>(1000 * channel);
        out[i] = static_cast<BYTE>(static_cast<USHORT>(s) >> (8 * (byte % 2)));
      }
    };
    std::unique_ptr<sim::engine::Stream> stream;
    EXPECT_EQ(wave->OpenStream(filters::kWaveStreamingPin, bytes, options, &stream), STATUS_SUCCESS);
    if (!stream) return {};
    EXPECT_EQ(stream->Start(), STATUS_SUCCESS);
    platform::testing::DelayMs(300);
    EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
    stream.reset();
    auto received = sim_->received_samples(kRenderEndpoint);
    // The stream starts with the silence written before the client's data arrives.
    size_t first = 0;
    while (first + 1 < received.size() && received[first] == 0 && received[first + 1] == 0) first += channels;
    if (first > received.size()) first = received.size();
    return std::vector<std::int32_t>(received.begin() + static_cast<std::ptrdiff_t>(first), received.end());
  }

  sim::device::ChipRegisters chip_{3, {}};
  std::unique_ptr<sim::engine::FilterClient> topology_;
  sim::engine::FilterDescription description_;
};

// The render unit's nodes as the engine client sees them: the volume's range along the
// chip's curve (the device's -60 dB minimum below the curve, 0 dB at its top, a 0.25 dB
// step), a KS SET reaching the device through the curve, and the mute.
TEST_F(ChipAEndToEnd, RenderVolumeAndMuteNodesSpeakTheCurve) {
  StartChipA();
  const ULONG volume = FindNode(KSNODETYPE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, -kDb / 2, Key{false, 13, 2, 1}, -512);
  ASSERT_NE(volume, ULONG(-1));
  EXPECT_EQ(Range(volume), (std::array<LONG, 3>{-60 * kDb, 0, 16384}));
  struct Case {
    LONG set;             // KS level
    std::int64_t device;  // 1/256 dB on the device
    LONG get;             // what the node answers afterwards
  };
  // The node quantises to its 0.25 dB step toward zero and caches the clamped level; the
  // unit maps what is sent along the curve (the first row at or below it).
  const Case cases[] = {{-kDb / 2, -512, -kDb / 2},  {0, 0, 0},
                        {-62 * 256, 0, -62 * 256},   {-20 * kDb, -33 * 256, -20 * kDb},
                        {+3 * kDb, 0, 0},            {-90 * kDb, -37 * 256, -60 * kDb}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    ASSERT_EQ(topology_->SetNodeValue(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, c.set), STATUS_SUCCESS);
    EXPECT_EQ(sim_->GetControl(Key{false, 13, 2, 1}), c.device);
    LONG level = 1;
    ASSERT_EQ(topology_->GetNodeValue(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level),
              STATUS_SUCCESS);
    EXPECT_EQ(level, c.get);
  }
  const ULONG mute = FindNode(KSNODETYPE_MUTE, KSPROPERTY_AUDIO_MUTE, 1, Key{false, 13, 1, 0}, 1);
  ASSERT_NE(mute, ULONG(-1));
  ASSERT_EQ(topology_->SetNodeValue(mute, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key{false, 13, 1, 0}), 0);
}

// Switching the output kind from the topology filter: the render endpoint leaves and comes
// back under the name of its new type, each switch taking a fresh number of that type
// ("SPKOut01" becoming "HPOut01"), with the chip's registers switched; a kind the terminal
// does not list is refused and changes nothing. The endpoint starts as the terminal's
// current kind, the speaker, though S/PDIF is the last kind the terminal offers.
TEST_F(ChipAEndToEnd, OutputKindSwitchReRegistersTheRenderEndpoint) {
  StartChipA();
  EXPECT_EQ(RenderName(), u"SPKOut00");
  const ULONG kind = KindNode();
  ASSERT_NE(kind, ULONG(-1));
  struct Step {
    ULONG kind;
    bool accepted;
    const char16_t* name;
    USHORT register2;
  };
  const Step steps[] = {{adapter::ENDPOINT_HP, true, u"HPOut00", 0xFFE0},
                        {adapter::ENDPOINT_SPK, true, u"SPKOut01", 0xE000},
                        {7, false, u"SPKOut01", 0xE000},  // not a kind of the terminal
                        {adapter::ENDPOINT_HP, true, u"HPOut01", 0xFFE0},
                        {adapter::ENDPOINT_SPDIF, true, u"SPDIFOut00", 0xE7F8}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.kind);
    EXPECT_EQ(NT_SUCCESS(SwitchKind(kind, s.kind)), s.accepted);
    EXPECT_EQ(RenderName(), s.name);
    EXPECT_EQ(chip_.value(2), s.register2);
    LONG current = 0;
    ASSERT_EQ(topology_->GetNodeValue(kind, filters::KSPROPSETID_TerminalKind, filters::KSPROPERTY_TERMINALKIND_KIND,
                                      -1, &current),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<ULONG>(current), s.accepted ? s.kind : ULONG(adapter::ENDPOINT_SPK));
    const auto subdevices = Subdevices();
    EXPECT_NE(std::find(subdevices.begin(), subdevices.end(), std::u16string(s.name) + u"Wave"), subdevices.end());
  }
}

// On the S/PDIF output the device passes the data untouched, so the render unit's volume
// and mute act on the stream: the first channel (the one the unit's volume has) scaled by
// the level's gain, the second (beyond the node's channels) unchanged; muted, silence. On
// the speaker the device does it and the data passes as it is.
TEST_F(ChipAEndToEnd, SpdifOutputGetsTheSoftwareVolumeAndMute) {
  StartChipA();
  const ULONG kind = KindNode();
  ASSERT_NE(kind, ULONG(-1));
  const ULONG volume = FindNode(KSNODETYPE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, -kDb / 2, Key{false, 13, 2, 1}, -512);
  const ULONG mute = FindNode(KSNODETYPE_MUTE, KSPROPERTY_AUDIO_MUTE, 1, Key{false, 13, 1, 0}, 1);
  ASSERT_NE(volume, ULONG(-1));
  ASSERT_NE(mute, ULONG(-1));
  struct Case {
    const char* name;
    ULONG kind;
    LONG level;
    LONG muted;
    double gain;  // of channel 0; channel 1 always passes
  };
  const Case cases[] = {
      {"SpeakerAtMinus6dB", adapter::ENDPOINT_SPK, -6 * kDb, 0, 1.0},
      {"SpeakerMuted", adapter::ENDPOINT_SPK, 0, 1, 1.0},
      {"SpdifAtMinus6dB", adapter::ENDPOINT_SPDIF, -6 * kDb, 0, std::pow(10.0, -6.0 / 20)},
      {"SpdifAtMinus20dB", adapter::ENDPOINT_SPDIF, -20 * kDb, 0, 0.1},
      {"SpdifAt0dB", adapter::ENDPOINT_SPDIF, 0, 0, 1.0},
      {"SpdifMuted", adapter::ENDPOINT_SPDIF, -6 * kDb, 1, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(SwitchKind(kind, c.kind), STATUS_SUCCESS);
    ASSERT_EQ(topology_->SetNodeValue(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, c.level),
              STATUS_SUCCESS);
    ASSERT_EQ(topology_->SetNodeValue(mute, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, c.muted), STATUS_SUCCESS);
    const short left = 16000, right = -12000;
    const auto received = PlayConstant(left, right);
    if (c.muted && c.kind == adapter::ENDPOINT_SPDIF) {
      EXPECT_TRUE(std::all_of(received.begin(), received.end(), [](std::int32_t s) { return s == 0; }));
      continue;
    }
    ASSERT_GE(received.size(), 2u * 48 * 100);  // at least 100 ms of audio
    const double expected = std::round(left * c.gain);
    for (size_t i = 0; i + 1 < received.size(); i += 2) {
      ASSERT_NEAR(received[i], expected, 1.0) << "frame " << i / 2;
      ASSERT_EQ(received[i + 1], right) << "frame " << i / 2;
    }
  }
}

}  // namespace
}  // namespace entry_test
