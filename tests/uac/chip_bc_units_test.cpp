// The feature units of chip classes B and C against the simulated device: each class's
// translation in both directions (the examples of their scales, then whole sweeps
// against the scales written in decibels), tone controls, the fixed ranges whatever the
// device answers, the channel addressing (master-only switches, no fallback to another
// channel, no channel swap, no phantom channel), and what Init refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "kernel/pool.h"
#include "uac/chip_bc_feature_units.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using sim::device::SimDevice;
using uac::kLevelMinusInfinity;

constexpr USHORT kMute = 1 << 0, kVolume = 1 << 1, kBass = 1 << 2, kMid = 1 << 3, kTreble = 1 << 4, kAgc = 1 << 6,
                 kLoudness = 1 << 9;
constexpr LONG kDb = 65536;

SimDevice::ControlKey Key(UCHAR unit, UCHAR selector, UCHAR channel) { return {false, unit, selector, channel, 0}; }

enum class Chip { B, C };

// 2-byte tone controls, as chip C devices keep them (the class defines tone as one byte):
// raw bytes per (unit, selector, channel); a one-byte read gets the first byte.
class TwoByteTone {
 public:
  ~TwoByteTone() {
    if (device_) device_->SetRequestHook(nullptr);
  }
  void Install(SimDevice& device) {
    device_ = &device;
    device.SetRequestHook([this](const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data)
                              -> std::optional<platform::usb::ControlResult> {
      const UCHAR selector = static_cast<UCHAR>(s.wValue >> 8);
      if (((s.bmRequestType >> 5) & 3) != 1 || selector < 3 || selector > 5) return std::nullopt;
      if (s.wLength != 2 && !(s.wLength == 1 && s.bRequest == 0x81)) return std::nullopt;
      std::lock_guard lock(mutex_);
      auto& raw = values_[{static_cast<UCHAR>(s.wIndex >> 8), selector, static_cast<UCHAR>(s.wValue)}];
      if (s.bRequest == 0x01) {
        raw = static_cast<USHORT>(data[0] | data[1] << 8);
        ++sets_;
        return platform::usb::ControlResult{USBD_STATUS_SUCCESS, 2};
      }
      const USHORT answer = s.bRequest == 0x81 ? raw : s.bRequest == 0x84 ? 0x0100 : 0x7F00;
      data[0] = static_cast<UCHAR>(answer);
      if (s.wLength == 2) data[1] = static_cast<UCHAR>(answer >> 8);
      return platform::usb::ControlResult{USBD_STATUS_SUCCESS, s.wLength};
    });
  }
  USHORT Get(UCHAR unit, UCHAR selector, UCHAR channel) {
    std::lock_guard lock(mutex_);
    return values_[{unit, selector, channel}];
  }
  void Set(UCHAR unit, UCHAR selector, UCHAR channel, USHORT raw) {
    std::lock_guard lock(mutex_);
    values_[{unit, selector, channel}] = raw;
  }

 private:
  std::mutex mutex_;
  std::map<std::tuple<UCHAR, UCHAR, UCHAR>, USHORT> values_;
  int sets_ = 0;
  SimDevice* device_ = nullptr;
};

class ChipUnitTest : public UnitTest {
 protected:
  // Input terminal 1 feeding the units in a line, then output terminal 20.
  void StartWithUnits(const std::vector<Bytes>& units) {
    std::vector<Bytes> all = {{12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0}};
    all.insert(all.end(), units.begin(), units.end());
    all.push_back({9, 0x24, 3, 20, 0x01, 0x03, 0, units.empty() ? UCHAR{1} : units.back()[3], 0});
    StartWith(Uac1Configuration(all));
    // The chips' devices take values far outside the class's default volume range.
    for (const Bytes& u : units)
      for (UCHAR c = 0; c < 9; ++c) sim_->SetControlRange(Key(u[3], 2, c), -32767, 32767, 1);
  }
  uac::CChipFeatureUnit* Make(Chip chip, const Bytes& descriptor, NTSTATUS expected = STATUS_SUCCESS) {
    NTSTATUS status = STATUS_SUCCESS;
    uac::CUacUnit* unit = nullptr;
    const bool made = chip == Chip::B ? uac::CreateChipBFeatureUnit(descriptor[3], &status, &unit)
                                      : uac::CreateChipCFeatureUnit(descriptor[3], &status, &unit);
    EXPECT_TRUE(made);
    if (!made || !NT_SUCCESS(status)) return nullptr;
    EXPECT_EQ(unit->Init(descriptor.data(), usb_, function_), expected);
    units_.push_back(unit);
    return static_cast<uac::CChipFeatureUnit*>(unit);
  }
  static Bytes Stereo(UCHAR id, USHORT perChannel = kVolume, USHORT master = kMute) {
    return FeatureUnit(id, 1, 2, {master, perChannel, perChannel});
  }
};

// The examples of each class's scale: a device value read through GET_CUR and a level
// written through SET_CUR, on a logical channel.
TEST_F(ChipUnitTest, EachClassTranslatesItsScaleInBothDirections) {
  StartWithUnits({Stereo(9), Stereo(10), Stereo(13)});
  struct Case {
    Chip chip;
    UCHAR unit;
    bool read;  // device -> level, else level -> device
    LONG device;
    LONG level;
  } cases[] = {
      // Chip B unit 9: the curve.
      {Chip::B, 9, true, -256, -49152},  // -1 dB reads -0.75 dB
      {Chip::B, 9, true, 0, 0},
      {Chip::B, 9, true, -37 * 256, -37 * kDb},  // unmapped
      {Chip::B, 9, true, -40 * 256, -40 * kDb},  // below the curve: unmapped
      {Chip::B, 9, false, -33 * 256, -20 * kDb},
      {Chip::B, 9, false, -37 * 256, -100 * kDb},
      {Chip::B, 9, false, 0, 0},
      // Chip B unit 13.
      {Chip::B, 13, true, -28 * 256, -36 * kDb},
      {Chip::B, 13, true, 11 * 256, 0x168000},
      {Chip::B, 13, false, -28 * 256, -36 * kDb},
      {Chip::B, 13, false, 11 * 256, 0x168000},
      // Chip B unit 10, with the read that inverts the write.
      {Chip::B, 10, false, 3 * 256, 33 * kDb},
      {Chip::B, 10, false, -23 * 256, -6 * kDb},
      {Chip::B, 10, true, 3 * 256, 33 * kDb},
      {Chip::B, 10, true, -23 * 256, -6 * kDb},
      // Chip C unit 9.
      {Chip::C, 9, true, -1936, -10 * kDb},
      {Chip::C, 9, false, -1936, -10 * kDb},
      {Chip::C, 9, false, -1936, -10 * kDb - kDb / 2},
      {Chip::C, 9, false, -16, 0},
      // Chip C unit 13.
      {Chip::C, 13, true, 3456, 0},
      {Chip::C, 13, true, 0, -884736},
      {Chip::C, 13, false, 3456, 0},
      {Chip::C, 13, false, 0, -884736},
      // Chip C unit 10.
      {Chip::C, 10, true, 0x1680, 0x168000},
      {Chip::C, 10, false, 0x1680, 0x168000},
      // Levels far outside a scale saturate at the wire's ends instead of wrapping into
      // another value (or onto 0x8000).
      {Chip::B, 9, false, 0, 0x7FFFFFFF},
      {Chip::B, 13, false, 32767, 0x7FFFFFFF},
      {Chip::B, 10, false, -32767, -0x7FFFFFFF},
      {Chip::C, 9, false, -32767, -200 * kDb},
      {Chip::C, 13, false, -32767, -0x7FFFFFFF},
      // Reads beyond the range are not wrapped either: device 100 dB is 156 dB.
      {Chip::B, 13, true, 100 * 256, 156 * kDb},
  };
  // Built for each chip in turn on the same device.
  for (Chip chip : {Chip::B, Chip::C}) {
    ReleaseUnits();
    Restart();
    uac::CChipFeatureUnit* set[3] = {Make(chip, Stereo(9)), Make(chip, Stereo(10)), Make(chip, Stereo(13))};
    for (const Case& k : cases) {
      if (k.chip != chip) continue;
      uac::CChipFeatureUnit* unit = set[k.unit == 9 ? 0 : k.unit == 10 ? 1 : 2];
      ASSERT_NE(unit, nullptr);
      SCOPED_TRACE(testing::Message() << (chip == Chip::B ? "B" : "C") << " unit " << int(k.unit) << " device "
                                      << k.device << " level " << k.level);
      if (k.read) {
        ASSERT_TRUE(sim_->SetControl(Key(k.unit, 2, 2), k.device));
        LONG level = 0;
        EXPECT_EQ(unit->GetCur(uac::FU_VOLUME, 1, &level), STATUS_SUCCESS);
        EXPECT_EQ(level, k.level);
      } else {
        EXPECT_EQ(unit->SetCur(uac::FU_VOLUME, 1, k.level), STATUS_SUCCESS);
        EXPECT_EQ(sim_->GetControl(Key(k.unit, 2, 2)), k.device);
      }
    }
    // Minus infinity is 0x8000 on the wire, both ways, for every class.
    for (uac::CChipFeatureUnit* unit : {set[0], set[1], set[2]}) {
      const UCHAR id = static_cast<UCHAR>(unit->GetId());
      EXPECT_EQ(unit->SetCur(uac::FU_VOLUME, 0, kLevelMinusInfinity), STATUS_SUCCESS);
      EXPECT_EQ(sim_->GetControl(Key(id, 2, 1)), -0x8000) << int(id);
      LONG level = 0;
      EXPECT_EQ(unit->GetCur(uac::FU_VOLUME, 0, &level), STATUS_SUCCESS);
      EXPECT_EQ(level, kLevelMinusInfinity) << int(id);
    }
  }
}

// Written and read back through the device, every step of a range returns as it went:
// chip B unit 10 at every 1.5 dB step (the read chosen to invert the write), and the
// other step scales likewise; unit 9 of chip B at each row of its curve.
TEST_F(ChipUnitTest, EveryStepOfARangeReadsBackAsWritten) {
  StartWithUnits({Stereo(9), Stereo(10), Stereo(13)});
  struct Case {
    Chip chip;
    UCHAR unit;
    LONG from, to, step;
  } cases[] = {
      {Chip::B, 10, -6 * kDb, 33 * kDb, 0x18000},  {Chip::B, 13, -36 * kDb, 0x168000, 0x18000},
      {Chip::C, 9, -37 * kDb, 0, kDb},             {Chip::C, 13, -884736, 9 * kDb, 0x18000},
      {Chip::C, 10, 0, 0x168000, 0x18000},
  };
  for (Chip chip : {Chip::B, Chip::C}) {
    ReleaseUnits();
    Restart();
    std::map<UCHAR, uac::CChipFeatureUnit*> units;
    for (UCHAR id : {9, 10, 13}) units[id] = Make(chip, Stereo(id));
    for (const Case& k : cases) {
      if (k.chip != chip) continue;
      int steps = 0;
      for (LONG v = k.from; v <= k.to; v += k.step, ++steps) {
        ASSERT_EQ(units[k.unit]->SetCur(uac::FU_VOLUME, 0, v), STATUS_SUCCESS);
        LONG back = 0;
        ASSERT_EQ(units[k.unit]->GetCur(uac::FU_VOLUME, 0, &back), STATUS_SUCCESS);
        EXPECT_EQ(back, v) << "unit " << int(k.unit) << " step " << steps;
      }
      EXPECT_GT(steps, 8);
    }
  }
  // Chip B unit 9: each curve row but the last (whose device level reads unmapped).
  ReleaseUnits();
  Restart();
  uac::CChipFeatureUnit* unit = Make(Chip::B, Stereo(9));
  const LONG rows[] = {0,     -192,  -256,  -320,  -386,  -455,  -527,  -599,  -676,  -752,  -835,  -916, -1006,
                       -1096, -1193, -1290, -1395, -1503, -1618, -1736, -1866, -1999, -2145, -2296, -2465, -2637,
                       -2816, -3046, -3277, -3533, -3840, -4198, -4582, -5120, -5767, -6707, -8294};
  for (ULONG k = 0; k < sizeof rows / sizeof rows[0]; ++k) {
    ASSERT_EQ(unit->SetCur(uac::FU_VOLUME, 1, rows[k] * 256), STATUS_SUCCESS);
    EXPECT_EQ(sim_->GetControl(Key(9, 2, 2)), -static_cast<LONG>(k) * 256) << k;
    LONG back = 0;
    ASSERT_EQ(unit->GetCur(uac::FU_VOLUME, 1, &back), STATUS_SUCCESS);
    EXPECT_EQ(back, rows[k] * 256) << k;
  }
}

// The translations over every device value and a sweep of levels, against the scales as
// the devices state them in decibels (exact in double precision).
TEST(ChipScales, MatchTheirScalesInDecibelsEverywhere) {
  struct Case {
    const char* name;
    const uac::ChipLevelScale& scale;
    std::function<double(int)> read;       // device value -> dB
    std::function<double(double)> write;   // dB -> device value
  } cases[] = {
      {"B13", uac::ChipBUnit13Scale(), [](int r) { return 1.5 * (std::floor(r / 256.0) + 4); },
       [](double db) { return (std::trunc((db + 36) / 1.5) - 28) * 256; }},
      {"B10", uac::ChipBUnit10Scale(), [](int r) { return 1.5 * std::floor(r / 256.0) + 28.5; },
       [](double db) { return (std::trunc((db - 6) / 1.5) - 15) * 256; }},
      {"C9", uac::ChipCUnit9Scale(), [](int r) { return std::trunc((r + 16) / 192.0); },
       [](double db) { return -16 - 192 * std::floor(-db); }},
      {"C13", uac::ChipCUnit13Scale(), [](int r) { return 1.5 * std::trunc((r - 3456) / 384.0); },
       [](double db) { return std::trunc((db + 13.5) / 1.5) * 384; }},
      {"C10", uac::ChipCUnit10Scale(), [](int r) { return r / 256.0; },
       [](double db) { return std::floor(db * 256); }},
  };
  for (const Case& c : cases) {
    for (int r = -32767; r <= 32767; ++r)
      ASSERT_EQ(c.scale.Read(r), static_cast<LONG>(std::llround(c.read(r) * 65536))) << c.name << " device " << r;
    // Levels from -128 dB to +127 dB in odd strides, so fractions of every size occur.
    for (LONGLONG v = -128LL * 65536; v < 127LL * 65536; v += 977) {
      const double expected = c.write(static_cast<double>(v) / 65536);
      ASSERT_EQ(c.scale.Write(static_cast<LONG>(v)), static_cast<LONGLONG>(expected)) << c.name << " level " << v;
    }
  }
}

// Tone controls: chip B in the signed-byte form both ways; chip C units 9 and 13 through
// their volume translation in two bytes; chip C unit 10 read as one byte, written like
// volume (so a written tone need not read back as written).
TEST_F(ChipUnitTest, ToneControlsTakeEachClassesForm) {
  StartWithUnits({Stereo(9, kVolume | kBass), Stereo(10, kVolume | kTreble), Stereo(13, kVolume | kMid)});
  uac::CChipFeatureUnit* b9 = Make(Chip::B, Stereo(9, kVolume | kBass));
  ASSERT_NE(b9, nullptr);
  EXPECT_EQ(b9->SetCur(uac::FU_BASS, 0, 2 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(9, 3, 1)), 8);
  sim_->SetControl(Key(9, 3, 2), -6);
  LONG level = 0;
  EXPECT_EQ(b9->GetCur(uac::FU_BASS, 1, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -6 * 16384);

  ReleaseUnits();
  Restart();
  TwoByteTone tone;
  tone.Install(*sim_);
  uac::CChipFeatureUnit* c9 = Make(Chip::C, Stereo(9, kVolume | kBass));
  uac::CChipFeatureUnit* c10 = Make(Chip::C, Stereo(10, kVolume | kTreble));
  uac::CChipFeatureUnit* c13 = Make(Chip::C, Stereo(13, kVolume | kMid));
  ASSERT_TRUE(c9 && c10 && c13);
  struct Case {
    uac::CChipFeatureUnit* unit;
    UCHAR selector;
    LONG written;
    USHORT wire;     // what the device got
    USHORT stored;   // what the device then holds for the read
    LONG read;
  } cases[] = {
      {c9, 3, -10 * kDb, static_cast<USHORT>(-1936), static_cast<USHORT>(-1936), -10 * kDb},
      {c13, 4, 0, 3456, 0, -884736},
      {c10, 5, 0x48000, 0x0480, 0x00F8, -2 * kDb},  // the first byte: -8 quarter dB
      {c10, 5, 0x10000, 0x0100, 0x0010, 4 * kDb},
      {c9, 3, kLevelMinusInfinity, 0x8000, 0x8000, kLevelMinusInfinity},
  };
  for (const Case& k : cases) {
    const UCHAR id = static_cast<UCHAR>(k.unit->GetId());
    SCOPED_TRACE(testing::Message() << "unit " << int(id) << " written " << k.written);
    EXPECT_EQ(k.unit->SetCur(k.selector, 0, k.written), STATUS_SUCCESS);
    EXPECT_EQ(tone.Get(id, k.selector, 1), k.wire);
    tone.Set(id, k.selector, 1, k.stored);
    LONG read = 0;
    EXPECT_EQ(k.unit->GetCur(k.selector, 0, &read), STATUS_SUCCESS);
    EXPECT_EQ(read, k.read);
  }
}

// The range requests are sent and must succeed; the result is the class's fixed range
// whatever the device answers (chip B tone: what it answers, as signed bytes).
TEST_F(ChipUnitTest, RangesAreFixedOnceTheDeviceAnswersAndFailWithIt) {
  const std::vector<Bytes> units = {Stereo(9, kVolume | kBass), Stereo(10, kVolume | kTreble),
                                    Stereo(13, kVolume | kMid)};
  StartWithUnits(units);
  struct Case {
    Chip chip;
    UCHAR unit, selector;
    LONG maximum, minimum, step;
  } cases[] = {
      {Chip::B, 9, 2, 0, -2162688, 8192},          {Chip::B, 10, 2, 0x210000, -393216, 0x18000},
      {Chip::B, 13, 2, 0x168000, -2359296, 0x18000}, {Chip::B, 9, 3, 12 * kDb, -12 * kDb, kDb},
      {Chip::B, 10, 5, 12 * kDb, -12 * kDb, kDb},  {Chip::C, 9, 2, 0, -2424832, 0x10000},
      {Chip::C, 13, 2, 0x90001, -884736, 0x18000},  {Chip::C, 10, 2, 0x168000, 0, 0x18000},
      {Chip::C, 9, 3, 0, -2424832, 0x10000},       {Chip::C, 10, 5, 0x168000, 0, 0x18000},
      {Chip::C, 13, 4, 0x90001, -884736, 0x18000},
  };
  for (Chip chip : {Chip::B, Chip::C}) {
    ReleaseUnits();
    Restart();
    TwoByteTone tone;
    if (chip == Chip::C) tone.Install(*sim_);
    std::map<UCHAR, uac::CChipFeatureUnit*> made;
    for (const Bytes& u : units) made[u[3]] = Make(chip, u);
    for (const Case& k : cases) {
      if (k.chip != chip) continue;
      SCOPED_TRACE(testing::Message() << "unit " << int(k.unit) << " selector " << int(k.selector));
      // An odd device range changes nothing.
      sim_->SetControlRange(Key(k.unit, 2, 1), -5, 7, 3);
      LONG maximum = 0, minimum = 0, step = 0;
      EXPECT_EQ(made[k.unit]->GetRange(k.selector, &maximum, &minimum, &step), STATUS_SUCCESS);
      EXPECT_EQ(maximum, k.maximum);
      EXPECT_EQ(minimum, k.minimum);
      EXPECT_EQ(step, k.step);
      // A failing GET_MIN, to the first logical channel, fails the range.
      sim_->StallRequests({.request_type = 0xA1, .request = 0x82,
                           .value = static_cast<USHORT>(k.selector << 8 | 1), .index = std::nullopt});
      EXPECT_EQ(made[k.unit]->GetRange(k.selector, &maximum, &minimum, &step), STATUS_UNSUCCESSFUL);
    }
  }
}

// Node channels reach exactly their device channel: a control on channel 1 only of a
// one-channel unit, a control on the master and one logical channel, eight channels (no
// rear/side swap), switches only on channel 0, the string index byte not a channel.
TEST_F(ChipUnitTest, AddressingNeverFallsBackNorSwaps) {
  const Bytes oneChannel = FeatureUnit(9, 1, 1, {kMute, kVolume});
  const Bytes masterAndSecond = FeatureUnit(10, 9, 1, {kMute | kVolume, 0, kVolume});
  const Bytes onlySecond = FeatureUnit(13, 10, 1, {kMute, 0, kVolume});
  const Bytes eight = FeatureUnit(14, 13, 1, {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume,
                                              kVolume});
  const Bytes withString = FeatureUnit(11, 14, 1, {kMute, kVolume, kVolume}, 0x02);
  StartWithUnits({oneChannel, masterAndSecond, onlySecond, eight, withString});
  uac::CChipFeatureUnit* one = Make(Chip::B, oneChannel);
  uac::CChipFeatureUnit* master = Make(Chip::B, masterAndSecond);
  // Its range requests go to the master (the count is 1), which lacks the control: the
  // device refuses them and the unit is refused; its channel stays unreachable.
  uac::CChipFeatureUnit* second = Make(Chip::C, onlySecond, STATUS_UNSUCCESSFUL);
  uac::CChipFeatureUnit* many = Make(Chip::B, eight);
  uac::CChipFeatureUnit* string = Make(Chip::B, withString);
  ASSERT_TRUE(one && master && second && many && string);

  struct Case {
    const char* what;
    uac::CChipFeatureUnit* unit;
    ULONG selector, channel;
    NTSTATUS status;
    int deviceChannel;  // where a write lands; -1: none
  } cases[] = {
      {"volume on channel 1 of a one-channel unit", one, uac::FU_VOLUME, 0, STATUS_INVALID_PARAMETER, -1},
      {"master and channel 2: the one node channel is the master", master, uac::FU_VOLUME, 0, STATUS_SUCCESS, 0},
      {"channel 2 alone: no fallback from the master", second, uac::FU_VOLUME, 0, STATUS_INVALID_PARAMETER, -1},
      {"past the channel count", master, uac::FU_VOLUME, 1, STATUS_INVALID_PARAMETER, -1},
      {"eight channels: node channel 4 is device channel 5", many, uac::FU_VOLUME, 4, STATUS_SUCCESS, 5},
      {"eight channels: node channel 6 is device channel 7", many, uac::FU_VOLUME, 6, STATUS_SUCCESS, 7},
      {"a selector the unit lacks", one, uac::FU_BASS, 0, STATUS_INVALID_PARAMETER, -1},
      {"a selector that is no level", many, uac::FU_MUTE, 0, STATUS_INVALID_PARAMETER, -1},
      {"string index with the volume bit", string, uac::FU_VOLUME, 2, STATUS_INVALID_PARAMETER, -1},
      {"string index: channel 2 is there", string, uac::FU_VOLUME, 1, STATUS_SUCCESS, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const UCHAR id = static_cast<UCHAR>(c.unit->GetId());
    LONG level = 0;
    EXPECT_EQ(c.unit->GetCur(c.selector, c.channel, &level), c.status);
    EXPECT_EQ(c.unit->SetCur(c.selector, c.channel, -3 * kDb), c.status);
    if (c.deviceChannel >= 0) {
      EXPECT_NE(sim_->GetControl(Key(id, 2, static_cast<UCHAR>(c.deviceChannel))), 0);
    }
  }
  ULONG count = 0;
  EXPECT_EQ(string->GetChannelCount(uac::FU_VOLUME, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(string->EntryCount(), 3u);
  EXPECT_EQ(second->GetChannelCount(uac::FU_VOLUME, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(one->GetChannelCount(uac::FU_BASS, &count), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(count, 0u);

  // Switches: master-only, channel 0 only, whatever channels have the bit.
  UCHAR on = 0;
  EXPECT_EQ(many->GetChannelCount(uac::FU_MUTE, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(many->SetCur(uac::FU_MUTE, 0, UCHAR{1}), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(14, 1, 0)), 1);
  EXPECT_EQ(many->GetCur(uac::FU_MUTE, 0, &on), STATUS_SUCCESS);
  EXPECT_EQ(on, 1);
  for (ULONG channel : {1u, 2u, 8u}) {
    EXPECT_EQ(many->SetCur(uac::FU_MUTE, channel, UCHAR{0}), STATUS_INVALID_PARAMETER) << channel;
    EXPECT_EQ(many->GetCur(uac::FU_MUTE, channel, &on), STATUS_INVALID_PARAMETER) << channel;
  }
  EXPECT_EQ(many->GetCur(uac::FU_MUTE, 0, static_cast<PUCHAR>(nullptr)), STATUS_INVALID_PARAMETER);
}

// The nodes: one per control in the order mute, volume, bass, mid, treble, AGC, loudness,
// chained, under the nodes' tag; the units under their chip's tag.
TEST_F(ChipUnitTest, CreatesItsNodesInOrderUnderTheirTags) {
  const Bytes all = FeatureUnit(13, 1, 2, {kMute | kAgc | kLoudness, kVolume | kBass | kMid | kTreble,
                                            kVolume | kBass | kMid | kTreble});
  StartWithUnits({all});
  const auto mark = platform::pool::CurrentMark();
  uac::CChipFeatureUnit* unit = Make(Chip::B, all);
  ASSERT_NE(unit, nullptr);
  const ULONG types[] = {adapter::NODE_MUTE, adapter::NODE_VOLUME, adapter::NODE_BASS, adapter::NODE_MID,
                         adapter::NODE_TREBLE, adapter::NODE_AGC, adapter::NODE_LOUDNESS};
  ASSERT_EQ(unit->GetNodeCount(), 7u);
  for (ULONG i = 0; i < 7; ++i) {
    EXPECT_EQ(unit->GetNode(i)->GetType(), types[i]) << i;
    if (i == 0) continue;  // the first node takes the sources when the function links the units
    ULONG n = 0;
    const ULONG* sources = nullptr;
    ASSERT_EQ(unit->GetNode(i)->GetSources(&n, &sources), STATUS_SUCCESS);
    EXPECT_EQ(sources[0], unit->GetNode(i - 1)->GetId());
  }
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(uac::kChipNodeTag, mark).size(), 7u);
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(uac::kChipBTag, mark).size(), 1u);
  EXPECT_EQ(unit->GetId(), 13u);
}

TEST_F(ChipUnitTest, InitRefusesWhatItCannotRead) {
  StartWithUnits({Stereo(9)});
  struct Case {
    const char* what;
    Bytes descriptor;
    NTSTATUS status;
  } cases[] = {
      {"control size 0", {8, 0x24, 6, 9, 1, 0, kMute, 0}, STATUS_INVALID_PARAMETER},
      {"control size 0, shortest", {7, 0x24, 6, 9, 1, 0, 0}, STATUS_INVALID_PARAMETER},
      {"too short", {6, 0x24, 6, 9, 1, 1}, STATUS_INVALID_PARAMETER},
      {"entries past bLength", {8, 0x24, 6, 9, 1, 2, kMute, 0}, STATUS_INVALID_PARAMETER},
      {"wrong subtype", {8, 0x24, 5, 9, 1, 1, kMute, 0}, STATUS_INVALID_PARAMETER},
      {"wrong type", {8, 0x04, 6, 9, 1, 1, kMute, 0}, STATUS_INVALID_PARAMETER},
      {"volume without mute", FeatureUnit(9, 1, 1, {kVolume, kVolume, kVolume}), STATUS_INSUFFICIENT_RESOURCES},
  };
  for (Chip chip : {Chip::B, Chip::C}) {
    for (const auto& c : cases) {
      NTSTATUS status = STATUS_SUCCESS;
      uac::CUacUnit* unit = nullptr;
      ASSERT_TRUE(chip == Chip::B ? uac::CreateChipBFeatureUnit(9, &status, &unit)
                                  : uac::CreateChipCFeatureUnit(9, &status, &unit));
      ASSERT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(unit->Init(c.descriptor.data(), usb_, function_), c.status) << c.what;
      EXPECT_EQ(unit->GetNodeCount(), 0u) << c.what;
      // A unit whose descriptor was refused answers nothing.
      ULONG count = 7;
      if (c.status == STATUS_INVALID_PARAMETER) {
        EXPECT_EQ(static_cast<uac::CChipFeatureUnit*>(unit)->GetChannelCount(uac::FU_VOLUME, &count),
                  STATUS_INVALID_PARAMETER)
            << c.what;
      }
      static_cast<adapter::IUacEntity*>(unit)->Release();
    }
    NTSTATUS status = STATUS_SUCCESS;
    uac::CUacUnit* unit = nullptr;
    ASSERT_TRUE(uac::CreateChipBFeatureUnit(9, &status, &unit));
    EXPECT_EQ(unit->Init(Stereo(9).data(), usb_, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->Init(nullptr, usb_, function_), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->Init(Stereo(9).data(), nullptr, function_), STATUS_INVALID_PARAMETER);
    static_cast<adapter::IUacEntity*>(unit)->Release();
  }
  EXPECT_EQ(function_->GetEntityCount(), 0u);
  // Identifiers without a chip class are left to the caller.
  NTSTATUS status = STATUS_SUCCESS;
  uac::CUacUnit* unit = nullptr;
  for (UCHAR id : {1, 8, 15, 255}) EXPECT_FALSE(uac::CreateChipBFeatureUnit(id, &status, &unit)) << int(id);
  for (UCHAR id : {11, 12, 14}) EXPECT_FALSE(uac::CreateChipCFeatureUnit(id, &status, &unit)) << int(id);
}

// Without memory for the mute node the unit refuses, and nothing is left behind.
TEST_F(ChipUnitTest, ANodeWithoutMemoryRefusesTheUnit) {
  StartWithUnits({Stereo(9)});
  platform::pool::FailTag(uac::kChipNodeTag);
  NTSTATUS status = STATUS_SUCCESS;
  uac::CUacUnit* unit = nullptr;
  ASSERT_TRUE(uac::CreateChipCFeatureUnit(9, &status, &unit));
  EXPECT_EQ(unit->Init(Stereo(9).data(), usb_, function_), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::FailTag(uac::kChipNodeTag, false);
  EXPECT_EQ(unit->GetNodeCount(), 0u);
  static_cast<adapter::IUacEntity*>(unit)->Release();
}

}  // namespace
}  // namespace unit_test
