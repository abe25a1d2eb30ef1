// Chip classes B and C with the whole driver, as the audio engine meets them: Plug and Play
// starts the synthetic chip device under each model string; the engine client finds the
// topology filter and the endpoints' wave filters, reads each volume node's range, sets
// levels that reach the device's SET_CUR in the chip's own scale, and plays a tone the
// device receives sample for sample.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "entry/driver_layers.h"
#include "entry_fixture.h"
#include "filters/miniport_wave_cyclic.h"
#include "kernel/clock.h"
#include "portcls/ksclient.h"
#include "sim/engine/engine.h"
#include "support/wave_formats.h"

namespace entry_test {
namespace {

constexpr LONG kDb = 65536;
constexpr double kTone = 1000.0;

short Sine16(ULONG64 frame) {
  return static_cast<short>(std::lround(12000.0 * std::sin(2.0 * M_PI * kTone * static_cast<double>(frame) / 48000 + 1.0)));
}

// What one volume node shows and where a level set on it lands.
struct VolumeRow {
  UCHAR unit;
  LONG maximum, minimum, step;  // the basic-support range
  LONG level;                   // set on channel 0
  SHORT device;                 // what the device's SET_CUR then carries
};

struct ChipCase {
  const char* name;
  const char16_t* model;
  const char16_t* renderFilter;
  std::vector<UCHAR> chipUnits;  // the units with a scale of their own
  std::vector<VolumeRow> volumes;
};

const ChipCase kChips[] = {
    {"chip B",
     u"7403-SIM",
     u"SPKOut00Wave",
     {9, 10, 11, 12, 13, 14},
     {{9, 0, -33 * kDb, kDb / 8, -20 * kDb, -33 * 256},
      {10, 33 * kDb, -6 * kDb, 0x18000, 33 * kDb, 3 * 256},
      {11, 33 * kDb, -6 * kDb, 0x18000, -6 * kDb, -23 * 256},
      {12, 33 * kDb, -6 * kDb, 0x18000, 0, -19 * 256},
      {13, 0x168000, -36 * kDb, 0x18000, -36 * kDb, -28 * 256},
      {14, 0x168000, -36 * kDb, 0x18000, 0x168000, 11 * 256}}},
    {"chip C",
     u"7415-SIM",
     u"HPOut00Wave",
     {9, 10, 13},
     {{9, 0, -37 * kDb, kDb, -10 * kDb, -1936},
      {10, 0x168000, 0, 0x18000, 0x168000, 0x1680},
      {13, 0x90001, -884736, 0x18000, 0, 3456},
      // The UAC 1.0 units: the device's own range (the simulator's default).
      {11, 0, -60 * kDb, kDb, -3 * kDb, -3 * 256},
      {12, 0, -60 * kDb, kDb, -10 * kDb, -10 * 256},
      {14, 0, -60 * kDb, kDb, -1 * kDb, -256}}},
};

class ChipEndToEnd : public DriverTest, public testing::WithParamInterface<ChipCase> {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    entry::RegisterDriverLayers();
  }

  // The synthetic device with the chip's model string; the chips' devices take volume
  // values far outside the class's default range.
  void PlugChip(const char16_t* model, const std::vector<UCHAR>& chipUnits) {
    std::ifstream in(UA_CHIP_BC_DEVICE_FILE);
    std::stringstream text;
    text << in.rdbuf();
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = model;
    std::string error;
    ASSERT_TRUE(sim::device::SimDevice::FromDumpText(text.str(), profile, sim_, error)) << error;
    for (UCHAR unit : chipUnits)
      for (UCHAR channel : {0, 1, 2}) sim_->SetControlRange({false, unit, 2, channel}, -32767, 32767, 1);
    Attach();
  }

  std::unique_ptr<sim::engine::FilterClient> OpenFilter(const std::u16string& name) {
    for (const auto& info : sim::engine::EnumerateFilters()) {
      if (info.device != fdo() || info.name != name) continue;
      std::unique_ptr<sim::engine::FilterClient> client;
      EXPECT_EQ(sim::engine::FilterClient::Open(info, &client), STATUS_SUCCESS);
      return client;
    }
    ADD_FAILURE() << "no filter of that name";
    return nullptr;
  }

  // The volume SET_CURs the device took since the log was cleared: unit -> wire value.
  std::map<UCHAR, SHORT> VolumeSets() {
    std::map<UCHAR, SHORT> sets;
    for (const auto& entry : sim_->control_log()) {
      const auto& s = entry.setup;
      if (s.bmRequestType == 0x21 && s.bRequest == 0x01 && (s.wValue >> 8) == 2 && entry.data.size() == 2 &&
          USBD_SUCCESS(entry.status))
        sets[static_cast<UCHAR>(s.wIndex >> 8)] = static_cast<SHORT>(entry.data[0] | entry.data[1] << 8);
    }
    return sets;
  }
};

TEST_P(ChipEndToEnd, VolumesReachTheDeviceInItsScaleAndAToneIsPlayed) {
  const ChipCase& chip = GetParam();
  PlugChip(chip.model, chip.chipUnits);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);

  auto topology = OpenFilter(u"RuveruZuze");
  ASSERT_NE(topology, nullptr);
  sim::engine::FilterDescription description;
  ASSERT_EQ(topology->ReadDescription(&description), STATUS_SUCCESS);
  EXPECT_EQ(description.pins.size(), 4u);  // two input and two output terminals

  // Every volume node: its unit found by where a write lands, then its range and the row's
  // level, which reaches the device in the unit's scale and reads back from the node.
  std::map<UCHAR, bool> seen;
  for (ULONG node = 0; node < description.nodeTypes.size(); ++node) {
    if (!IsEqualGUID(description.nodeTypes[node], KSNODETYPE_VOLUME)) continue;
    std::vector<BYTE> support;
    ASSERT_EQ(topology->NodeBasicSupport(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, &support),
              STATUS_SUCCESS);
    ASSERT_GE(support.size(), 72u);
    KSPROPERTY_STEPPING_LONG range;
    std::memcpy(&range, support.data() + 56, sizeof range);
    sim_->ClearControlLog();
    ASSERT_EQ(topology->SetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0,
                                     range.Bounds.SignedMaximum),
              STATUS_SUCCESS);
    const auto first = VolumeSets();
    ASSERT_EQ(first.size(), 1u) << "node " << node;
    const UCHAR unit = first.begin()->first;
    const VolumeRow* row = nullptr;
    for (const VolumeRow& r : chip.volumes)
      if (r.unit == unit) row = &r;
    ASSERT_NE(row, nullptr) << "unit " << int(unit);
    SCOPED_TRACE(testing::Message() << chip.name << " unit " << int(unit));
    seen[unit] = true;
    EXPECT_EQ(range.Bounds.SignedMaximum, row->maximum);
    EXPECT_EQ(range.Bounds.SignedMinimum, row->minimum);
    EXPECT_EQ(range.SteppingDelta, static_cast<ULONG>(row->step));

    sim_->ClearControlLog();
    ASSERT_EQ(topology->SetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, row->level),
              STATUS_SUCCESS);
    const auto sets = VolumeSets();
    ASSERT_EQ(sets.count(unit), 1u);
    EXPECT_EQ(sets.at(unit), row->device);
    LONG level = 0;
    ASSERT_EQ(topology->GetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level),
              STATUS_SUCCESS);
    EXPECT_EQ(level, row->level);
  }
  EXPECT_EQ(seen.size(), chip.volumes.size());

  // A tenth of a second of a 1 kHz tone through the render endpoint's wave filter.
  auto wave = OpenFilter(chip.renderFilter);
  ASSERT_NE(wave, nullptr);
  sim::engine::StreamOptions options;
  options.clientSignal = [](ULONG64 firstByte, BYTE* out, ULONG bytes) {
    for (ULONG i = 0; i < bytes; ++i) {
      const ULONG64 byte = firstByte + i;
      out[i] = static_cast<BYTE>(static_cast<USHORT>(Sine16(byte / 4)) >> (8 * (byte % 2)));
    }
  };
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.WaveFormatExt = platform::testing::ExtensibleFormat(2, 48000, 16);
  f.DataFormat.SubFormat = f.WaveFormatExt.SubFormat;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.DataFormat.SampleSize = f.WaveFormatExt.Format.nBlockAlign;
  std::vector<BYTE> format(sizeof f);
  std::memcpy(format.data(), &f, sizeof f);
  std::unique_ptr<sim::engine::Stream> stream;
  ASSERT_EQ(wave->OpenStream(filters::kWaveStreamingPin, format, options, &stream), STATUS_SUCCESS);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  platform::testing::DelayMs(100);
  const std::vector<std::int32_t> received = sim_->received_samples(0x01);
  EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
  for (const auto& finding : stream->Findings())
    ADD_FAILURE() << sim::engine::IssueName(finding.issue) << ": " << finding.detail;
  stream.reset();
  size_t first = 0;
  while (first < received.size() && received[first] == 0) ++first;
  const size_t frames = (received.size() - first) / 2;
  EXPECT_GT(frames, 48000u / 20) << "at least 50 ms of the tone";
  for (size_t n = 0; n < frames; ++n) {
    if (received[first + 2 * n] != Sine16(n) || received[first + 2 * n + 1] != Sine16(n)) {
      ADD_FAILURE() << "frame " << n << " of the tone: " << received[first + 2 * n];
      break;
    }
  }
  wave.reset();
  topology.reset();
}

INSTANTIATE_TEST_SUITE_P(Chips, ChipEndToEnd, testing::ValuesIn(kChips),
                         [](const testing::TestParamInfo<ChipCase>& info) {
                           return std::string(info.param.name[5] == 'B' ? "ChipB" : "ChipC");
                         });

}  // namespace
}  // namespace entry_test
