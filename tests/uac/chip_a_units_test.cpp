// The chip class A units through the root USB device object on the simulated bus, with
// the synthetic chip A device and its register model on the HID interface: the class each
// descriptor gets, the render unit's volume curve, the analog and record units' scaling,
// the mute LED and gain switch in register 1, the selector's codes, the line-in unit's
// forced mute, and the render output terminal's kinds, registers and jacks.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "chip_a_device.h"
#include "kernel/registry.h"
#include "sim/device/chip_registers.h"
#include "stream/usb_stream_engine.h"
#include "uac/chip_a_function.h"
#include "uac/chip_a_nodes.h"
#include "uac/chip_a_units.h"
#include "uac/function_classes.h"
#include "uac/stream_engine_factory.h"
#include "usb_device_fixture.h"

namespace {

namespace reg = platform::registry;
using sim::device::ChipRegisters;
using Key = sim::device::SimDevice::ControlKey;

constexpr UCHAR kVendorIn = 0xC3;
constexpr char16_t kChipAModel[] = {0x000B, 0x0005, 0x0050, u'A', 0};
constexpr LONG kDb = 65536;  // one dB in node units
constexpr LONG kMinusInfinity = static_cast<LONG>(0x80000000u);

// The render unit's curve as the chip's documentation gives it: KS level (1/256 dB) of
// device level -k dB, rows 0 to 37.
constexpr SHORT kCurve[38] = {0,     -62,   -128,  -192,  -263,  -331,  -402,  -477,  -556,  -638,
                              -717,  -804,  -894,  -989,  -1088, -1188, -1298, -1411, -1529, -1657,
                              -1785, -1920, -2082, -2240, -2420, -2612, -2816, -3072, -3303, -3584,
                              -3917, -4301, -4788, -5402, -6221, -7578, -8500, -32768};

class ChipAUnits : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, nullptr);
    savedUac1_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::GetStreamEngineFactory();
    stream::RegisterEngineFactories();
    file_ = chip_a_test::LoadChipADevice();
    ASSERT_FALSE(file_.config.empty());
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, saved_);
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, savedUac1_);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  // Plugs the chip A device of the product, with both chip values.
  void PlugChipA(USHORT vendor = 0x1234, USHORT product = 0x5678) {
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    Plug(chip_a_test::WithIds(file_.device, vendor, product), file_.config, profile);
    sim_->SetVendorData(kVendorIn, 0x81, 0, 9, {0x9F});
    sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    chip_.Install(*sim_);
  }
  // Plugs the chip A device of the product and starts it.
  void StartChipA(USHORT vendor = 0x1234, USHORT product = 0x5678) {
    PlugChipA(vendor, product);
    const NTSTATUS status = Start();
    ASSERT_EQ(status, STATUS_SUCCESS) << (function() ? function()->GetDescriptorFault(nullptr, nullptr) : "");
  }

  uac::CChipAFunction* function() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f =
        static_cast<uac::CChipAFunction*>(static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf)));
    f->Release();
    return f;
  }

  adapter::IUacEntity* Unit(ULONG id) {
    adapter::IUacEntity* e = nullptr;
    return function() && NT_SUCCESS(function()->FindEntityById(id, &e)) ? e : nullptr;
  }

  // An interface of a unit or node; released at once (the object outlives the test's use).
  template <class Itf>
  Itf* As(adapter::IUacEntity* e, REFIID iid) {
    PVOID itf = nullptr;
    if (!e || !NT_SUCCESS(e->QueryInterface(iid, &itf))) return nullptr;
    static_cast<IUnknown*>(itf)->Release();
    return static_cast<Itf*>(itf);
  }

  // The unit's node of a type (the first), null when none.
  adapter::IUacEntity* NodeOf(ULONG unit, ULONG type) {
    auto* u = As<uac::IUacUnit>(Unit(unit), uac::IID_IUacUnit);
    for (ULONG i = 0; u && i < u->GetNodeCount(); ++i)
      if (u->GetNode(i)->GetType() == type) return u->GetNode(i);
    return nullptr;
  }

  std::int64_t Device(Key key) { return sim_->GetControl(key).value_or(-1); }
  std::u16string Settings() const { return SettingsPath(); }
  UCHAR Led() const { return static_cast<UCHAR>(chip_.value(1) & 0x30); }

  chip_a_test::DeviceFile file_;
  ChipRegisters chip_{3, {}};
  adapter::FunctionFactory saved_ = nullptr;
  adapter::FunctionFactory savedUac1_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

// ---------------------------------------------------------------------------------------

TEST(ChipAVolumeCurve, EveryRowMapsBothWays) {
  for (ULONG k = 0; k < 38; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(uac::ChipACurveKsLevel(k), kCurve[k]);
    // Device -k dB reads as the row after it (the first row below); -37 dB and below pass.
    const SHORT device = static_cast<SHORT>(-256 * static_cast<LONG>(k));
    EXPECT_EQ(uac::ChipACurveToKs(device), k < 37 ? kCurve[k] : device);
    // A row's KS level is written as its own device level, and so is every level between
    // it and the row before.
    EXPECT_EQ(uac::ChipACurveToDevice(kCurve[k]), device);
    if (k > 0) {
      EXPECT_EQ(uac::ChipACurveToDevice(static_cast<SHORT>(kCurve[k] + 1)), device);
      EXPECT_EQ(uac::ChipACurveToDevice(static_cast<SHORT>(kCurve[k - 1] - 1)), device);
    }
  }
  // Between rows and above 0 dB.
  EXPECT_EQ(uac::ChipACurveToKs(-100), 0);
  EXPECT_EQ(uac::ChipACurveToKs(+1536), 0);
  EXPECT_EQ(uac::ChipACurveToKs(-9472 - 1), -9473);
  EXPECT_EQ(uac::ChipACurveToDevice(+200), 0);
}

// Node level <-> device value of the scaled units against exact integer arithmetic: every
// device value of 1/256 dB reads back as the write of its read (the write truncates toward
// zero, so a read followed by a write returns the device value).
TEST(ChipALevelScaling, EveryDeviceValueSurvivesAReadAndAWrite) {
  for (auto scale : {uac::ChipALevelScale::Unit9, uac::ChipALevelScale::Unit2, uac::ChipALevelScale::Curve}) {
    for (LONG raw = -32767; raw <= 32767; raw += 1) {
      const LONG read = uac::ChipAScaleRead(scale, raw * 256);
      if (scale == uac::ChipALevelScale::Curve) {
        // Only the curve's own rows are fixed points.
        if (raw % 256 || raw > 0 || raw < -36 * 256) continue;
        ASSERT_EQ(uac::ChipAScaleWrite(scale, read), raw * 256) << raw;
        continue;
      }
      const long long num = scale == uac::ChipALevelScale::Unit9 ? 3 : 3;
      const long long den = raw < 0 ? (scale == uac::ChipALevelScale::Unit9 ? 2 : 8) : 1;
      ASSERT_EQ(read, static_cast<LONG>(static_cast<long long>(raw) * 256 * num / den)) << raw;
      const LONG back = uac::ChipAScaleWrite(scale, read) / 256;
      ASSERT_LE(std::abs(back - raw), 1) << raw;
    }
    EXPECT_EQ(uac::ChipAScaleRead(scale, kMinusInfinity), kMinusInfinity);
    EXPECT_EQ(uac::ChipAScaleWrite(scale, kMinusInfinity), kMinusInfinity);
  }
}

TEST_F(ChipAUnits, EachDescriptorGetsItsChipClass) {
  struct Row {
    UCHAR subtype;
    ULONG id;
    USHORT vendor, product;
    const char* cls;
  };
  const Row rows[] = {
      {6, 13, 0x1234, 0x5678, "CChipAFeatureUnit13"},   {6, 16, 0x1234, 0x5678, "CChipAFeatureUnit16"},
      {6, 9, 0x1234, 0x5678, "CChipAFeatureUnit9"},     {6, 11, 0x1E7D, 0x3750, "CChipAFeatureUnit11"},
      {6, 11, 0x1E7D, 0x3751, "CChipAFeatureUnit9"},    {6, 2, 0x0E7A, 0x0053, "CChipAFeatureUnit2SoftMute"},
      {6, 8, 0x28DA, 0x268E, "CChipAFeatureUnit2Switch"}, {6, 15, 0x1234, 0x5678, "CChipAFeatureUnit2"},
      {6, 4, 0x0E7A, 0x0053, "CUac1FeatureUnit"},       {2, 7, 0x1234, 0x5678, "CChipAInputTerminal"},
      {3, 3, 0x1234, 0x5678, "CChipAOutputTerminal"},   {3, 7, 0x1234, 0x5678, "CUac1OutputTerminal"},
      {5, 14, 0x1234, 0x5678, "CChipASelectorUnit"},    {4, 10, 0x1234, 0x5678, "CUac1MixerUnit"},
  };
  for (const Row& r : rows) {
    const uac::ChipAUnitRow* row = uac::FindChipAUnitRow(r.subtype, r.id, r.vendor, r.product);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->ClassName, r.cls) << unsigned(r.subtype) << "/" << r.id;
  }
  EXPECT_EQ(uac::FindChipAUnitRow(7, 20, 0x1234, 0x5678), nullptr);  // a processing unit
  EXPECT_EQ(uac::FindChipAUnitRow(9, 20, 0x1234, 0x5678), nullptr);
}

// Linking stops at the first source that names no entity: that unit and the units after it
// stay unlinked (their first node has no source), and the build goes on with what was
// linked.
TEST_F(ChipAUnits, LinkingEndsAtASourceThatNamesNothing) {
  auto firstSource = [&](ULONG unit) {
    auto* u = As<uac::IUacUnit>(Unit(unit), uac::IID_IUacUnit);
    ULONG count = 0;
    const ULONG* sources = nullptr;
    if (!u || !u->GetNode(0) || !NT_SUCCESS(u->GetNode(0)->GetSources(&count, &sources)) || !count) return ULONG(-1);
    return sources[0];
  };
  auto outputNode = [&](ULONG unit) {
    ULONG id = 0;
    auto* u = As<uac::IUacUnit>(Unit(unit), uac::IID_IUacUnit);
    return u && NT_SUCCESS(u->GetOutputNodeId(&id)) ? id : ULONG(-1);
  };
  StartChipA();
  EXPECT_EQ(firstSource(16), outputNode(4));  // linked: the S/PDIF terminal's node
  TearDownDevice();

  // Line-in unit 11 (at offset 176) names source 99, which is nothing; units 4 and 16
  // come after it in the descriptors.
  auto config = file_.config;
  ASSERT_EQ(config[176 + 3], 11);
  config[176 + 4] = 99;
  sim::device::DeviceProfile profile;
  profile.strings[0x50] = kChipAModel;
  Plug(chip_a_test::WithIds(file_.device, 0x1234, 0x5678), config, profile);
  sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
  chip_.Install(*sim_);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(firstSource(13), outputNode(10));  // before unit 11: linked
  EXPECT_EQ(firstSource(11), 0u);
  EXPECT_EQ(firstSource(16), 0u);  // after it: not linked, though its terminal exists
  EXPECT_NE(outputNode(4), ULONG(-1));
}

// The rear and side pairs trade places on the wire only when the render unit has eight
// channels; trimmed to six (8-channel output disabled) its channels go out as they are.
TEST_F(ChipAUnits, RenderUnitSwapsRearAndSidePairsOnlyWithEightChannels) {
  auto config = file_.config;
  ASSERT_EQ(config[97 + 3], 13);
  for (ULONG c = 1; c <= 8; ++c) config[97 + 6 + c] = 0x02;  // volume on every channel
  struct Case {
    const char* name;
    USHORT vendor, product;
    bool out8Disabled;
    std::vector<UCHAR> wire;  // device channel of node channels 0..n-1
  };
  const Case cases[] = {{"EightChannels", 0x1E7D, 0x3750, false, {1, 2, 3, 4, 7, 8, 5, 6}},
                        {"SixChannels", 0x1234, 0x5678, true, {1, 2, 3, 4, 5, 6}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    Plug(chip_a_test::WithIds(file_.device, c.vendor, c.product), config, profile);
    sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x02});  // read, but no row's register condition
    chip_ = ChipRegisters(3, {});
    chip_.Install(*sim_);
    reg::SetDword(Settings(), u"Disable8ChOutSupported", c.out8Disabled ? 1 : 0);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(function()->Switches()[uac::CHIPA_OUT8], c.out8Disabled);
    auto* levels = As<uac::IUacLevelControlSource>(Unit(13), uac::IID_IUacLevelControlSource);
    ULONG count = 0;
    ASSERT_EQ(levels->GetChannelCount(2, &count), STATUS_SUCCESS);
    ASSERT_EQ(count, c.wire.size());
    for (ULONG ch = 0; ch < count; ++ch) {
      sim_->ClearControlLog();
      ASSERT_EQ(levels->SetCur(2, ch, -kDb), STATUS_SUCCESS);
      const auto log = sim_->control_log();
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0].setup.wValue, 0x0200 | c.wire[ch]) << ch;
    }
    EXPECT_EQ(levels->SetCur(2, count, -kDb), STATUS_INVALID_PARAMETER);
    TearDownDevice();
  }
}

// The render unit through the curve, on its volume (device channel 1).
TEST_F(ChipAUnits, RenderUnitReadsAndWritesAlongTheCurve) {
  StartChipA();
  auto* levels = As<uac::IUacLevelControlSource>(Unit(13), uac::IID_IUacLevelControlSource);
  ASSERT_NE(levels, nullptr);
  struct Case {
    SHORT device;  // 1/256 dB on the wire
    LONG read;     // node level
  };
  const Case reads[] = {{-256, -62 * 256}, {0, 0}, {-512, -128 * 256}, {-36 * 256, -8500 * 256},
                        {-37 * 256, -37 * kDb}, {-60 * 256, -60 * kDb}, {-0x8000, kMinusInfinity}};
  for (const Case& c : reads) {
    ASSERT_TRUE(sim_->SetControl(Key{false, 13, 2, 1}, c.device));
    LONG level = 0;
    ASSERT_EQ(levels->GetCur(2, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, c.read) << c.device;
  }
  const Case writes[] = {{-512, -kDb / 2}, {0, 0}, {-256, -62 * 256}, {-512, -63 * 256}, {-9 * 256, -600 * 256},
                         {-0x8000, kMinusInfinity}};
  for (const Case& c : writes) {
    ASSERT_EQ(levels->SetCur(2, 0, c.read), STATUS_SUCCESS) << c.read;
    EXPECT_EQ(Device(Key{false, 13, 2, 1}), c.device) << c.read;
  }
  // The range on channel 1, along the curve, with a fixed step of 0.25 dB.
  struct RangeCase {
    SHORT min, max, res;
    LONG minimum, maximum;
  };
  const RangeCase ranges[] = {{-60 * 256, 0, 256, -60 * kDb, 0},
                              {-20 * 256, -1 * 256, 128, -1785 * 256, -62 * 256},
                              {-36 * 256, +6 * 256, 1, -8500 * 256, 0}};
  for (const RangeCase& r : ranges) {
    sim_->SetControlRange(Key{false, 13, 2, 1}, r.min, r.max, r.res);
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(levels->GetRange(2, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, r.maximum);
    EXPECT_EQ(minimum, r.minimum);
    EXPECT_EQ(step, 16384);
  }
}

// The analog units (9, and 11 on most products) and the record units (8, 15, and 2 with
// the stereo mix) against the device, levels and ranges.
TEST_F(ChipAUnits, AnalogAndRecordUnitsScaleTheirLevelsAndRanges) {
  reg::SetDword(u"\\Registry\\Machine\\Placeholder", u"x", 0);
  sim::device::DeviceProfile profile;
  StartChipA();
  reg::SetDword(Settings(), u"DisableStereoMixRecUnit", 0);
  Stop();
  ASSERT_EQ(Start(), STATUS_SUCCESS);  // the stereo mix is back: unit 2 is built
  struct LevelCase {
    ULONG unit;
    SHORT device;
    LONG read;
  };
  const LevelCase reads[] = {{9, -2560, -15 * kDb}, {9, 512, 6 * kDb}, {11, -2560, -15 * kDb}, {9, 0, 0},
                             {8, -4096, -6 * kDb},  {15, 512, 6 * kDb}, {2, -4096, -6 * kDb},  {9, -0x8000, kMinusInfinity},
                             {9, -1, -384},         {8, -1, -96}};
  for (const LevelCase& c : reads) {
    SCOPED_TRACE(c.unit * 100000 + c.device);
    auto* levels = As<uac::IUacLevelControlSource>(Unit(c.unit), uac::IID_IUacLevelControlSource);
    ASSERT_NE(levels, nullptr);
    ASSERT_TRUE(sim_->SetControl(Key{false, static_cast<UCHAR>(c.unit), 2, 0}, c.device));
    LONG level = 0;
    ASSERT_EQ(levels->GetCur(2, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, c.read);
  }
  const LevelCase writes[] = {{9, -2560, -15 * kDb}, {9, 512, 6 * kDb}, {8, -4096, -6 * kDb}, {15, 0, 0},
                              {9, -0x8000, kMinusInfinity},
                              // (2 v) / 3 truncates toward zero; the class write then drops
                              // the fraction of 1/256 dB downwards.
                              {9, -2561, -15 * kDb - 100}};
  for (const LevelCase& c : writes) {
    SCOPED_TRACE(c.unit * 100000 + c.read);
    auto* levels = As<uac::IUacLevelControlSource>(Unit(c.unit), uac::IID_IUacLevelControlSource);
    sim_->SetControlRange(Key{false, static_cast<UCHAR>(c.unit), 2, 0}, -127 * 256, 127 * 256, 1);
    ASSERT_EQ(levels->SetCur(2, 0, c.read), STATUS_SUCCESS);
    EXPECT_EQ(Device(Key{false, static_cast<UCHAR>(c.unit), 2, 0}), c.device);
  }
  // Ranges: maximum with its low bits cleared (four for the analog units, eight for the
  // record units), both bounds scaled in 32 bits, a 1.5 dB step. A raw maximum of 48 dB
  // would wrap in 16 bits to below the minimum.
  struct RangeCase {
    ULONG unit;
    ULONG selector;
    SHORT min, max, res;
    LONG minimum, maximum, step;
  };
  const RangeCase ranges[] = {
      {9, 2, -60 * 256, 0, 256, -90 * kDb, 0, 0x18000},
      {9, 2, -16 * 256, 0x0C35, 256, -24 * kDb, 0x0C30 * 3 * 256, 0x18000},
      {9, 2, -16 * 256, 0x3000, 256, -24 * kDb, 144 * kDb, 0x18000},
      {8, 2, -16 * 256, 0x7FFF, 256, -6 * kDb, 0x7F00 * 3 * 256, 0x18000},
      {15, 2, -64 * 256, 0x0C35, 256, -24 * kDb, 0x0C00 * 3 * 256, 0x18000},
      {2, 3, -48, 48, 4, -48 * 16384, 48 * 16384, 4 * 16384},
      {2, 5, -12, 8, 1, -12 * 16384, 8 * 16384, 16384},
  };
  for (const RangeCase& r : ranges) {
    SCOPED_TRACE(r.unit * 100 + r.selector);
    auto* levels = As<uac::IUacLevelControlSource>(Unit(r.unit), uac::IID_IUacLevelControlSource);
    sim_->SetControlRange(Key{false, static_cast<UCHAR>(r.unit), static_cast<UCHAR>(r.selector), 0}, r.min, r.max,
                          r.res);
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(levels->GetRange(r.selector, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, r.maximum);
    EXPECT_EQ(minimum, r.minimum);
    EXPECT_EQ(step, r.step);
    EXPECT_GE(maximum, minimum);
  }
  // Tone levels are the class's bytes of 1/4 dB both ways, unscaled like the tone range
  // reported above, so a value read lies in that range: up to its maximum and down to
  // its minimum.
  auto* levels = As<uac::IUacLevelControlSource>(Unit(2), uac::IID_IUacLevelControlSource);
  for (SHORT device : {-48, -40, -1, 0, 1, 40, 48}) {
    SCOPED_TRACE(device);
    ASSERT_TRUE(sim_->SetControl(Key{false, 2, 3, 0}, device));
    LONG level = 0;
    ASSERT_EQ(levels->GetCur(3, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, device * 16384);
    ASSERT_EQ(levels->SetCur(3, 0, device * 16384), STATUS_SUCCESS);
    EXPECT_EQ(Device(Key{false, 2, 3, 0}), device);
  }
}

TEST_F(ChipAUnits, RenderMuteLightsTheLedAsItsSettingsSay) {
  struct Case {
    const char* name;
    int need, reverse;  // -1: absent
    UCHAR muted, unmuted;  // register 1 bits 4-5 after each (0: not written)
  };
  const Case cases[] = {{"NoLed", -1, -1, 0, 0},
                        {"Led", 1, 0, 0x30, 0x10},
                        {"LedReversed", 1, 1, 0x10, 0x30},
                        {"LedReverseOtherValue", 1, 2, 0x30, 0x10},
                        {"ReverseWithoutLed", 0, 1, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    Plug(chip_a_test::WithIds(file_.device, 0x1234, 0x5678), file_.config, profile);
    sim_->SetVendorData(kVendorIn, 0x81, 0, 9, {0x9F});
    sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    chip_ = ChipRegisters(3, {});
    chip_.Install(*sim_);
    const UCHAR need = static_cast<UCHAR>(c.need), reverse = static_cast<UCHAR>(c.reverse);
    if (c.need >= 0) reg::SetBinary(Settings(), u"NeedMuteLED", {&need, 1});
    if (c.reverse >= 0) reg::SetBinary(Settings(), u"ReverseMuteLED", {&reverse, 1});
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    auto* mute = As<uac::IBoolControl>(NodeOf(13, adapter::NODE_MUTE), uac::IID_IBoolControl);
    ASSERT_NE(mute, nullptr);
    chip_.ClearWrites();
    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Device(Key{false, 13, 1, 0}), 1);
    EXPECT_EQ(chip_.writes().empty() ? 0 : Led(), c.muted);
    chip_.ClearWrites();
    ASSERT_EQ(mute->SetValue(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(chip_.writes().empty() ? 0 : Led(), c.unmuted);
    TearDownDevice();
  }
}

// The selector's device values are codes by source unit: 8 -> 1, 15 -> 2, 16 -> 3, 2 -> 4.
TEST_F(ChipAUnits, SelectorSpeaksInCodes) {
  StartChipA();
  auto* unit = As<adapter::ISelectorNode>(Unit(14), adapter::IID_ISelectorNode);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(Device(Key{false, 14, 0, 0}), 1);  // built on input 1, code 1
  struct Case {
    std::int64_t device;  // the code the device reports
    ULONG input;          // what GetSelected answers
    std::int64_t after;   // the device's code afterwards
  };
  const Case cases[] = {{3, 3, 3}, {2, 2, 2}, {1, 1, 1}, {7, 1, 1}, {0, 1, 1}};
  for (const Case& c : cases) {
    ASSERT_TRUE(sim_->SetControl(Key{false, 14, 0, 0}, c.device));
    ULONG input = 0;
    ASSERT_EQ(unit->GetSelected(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, c.input) << c.device;
    EXPECT_EQ(Device(Key{false, 14, 0, 0}), c.after) << c.device;
  }
  for (ULONG input : {1u, 2u, 3u}) {
    ASSERT_EQ(unit->SetSelected(input), STATUS_SUCCESS);
    EXPECT_EQ(Device(Key{false, 14, 0, 0}), static_cast<std::int64_t>(input));
  }
  sim_->ClearControlLog();
  EXPECT_EQ(unit->SetSelected(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unit->SetSelected(4), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(sim_->control_log().empty());
  EXPECT_EQ(uac::ChipASelectorCode(2), 4);
  EXPECT_EQ(uac::ChipASelectorCode(9), 0);
}

// The record unit's software mute starts from the unit's current mute, then from the
// value saved for the default endpoint type; it sends nothing back.
TEST_F(ChipAUnits, SoftMuteStartsFromTheDevicesMuteThenTheSavedOne) {
  ULONG id = 0;
  for (int saved : {-1, 0}) {
    SCOPED_TRACE(saved);
    PlugChipA(0x0E7A, 0x0053);
    ASSERT_TRUE(sim_->SetControl(Key{false, 8, 1, 0}, 1));
    if (saved >= 0) {
      const UCHAR value = static_cast<UCHAR>(saved);
      std::u16string name = u"Unit";
      name += static_cast<char16_t>(u'0' + id / 10);
      name += static_cast<char16_t>(u'0' + id % 10);
      reg::SetBinary(Settings(), name + u"_ 0_0", {&value, 1});
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    adapter::IUacEntity* node = NodeOf(8, adapter::NODE_MUTE);
    ASSERT_NE(dynamic_cast<uac::CChipASoftMuteNode*>(node), nullptr);
    id = node->GetId();
    auto* mute = As<uac::IBoolControl>(node, uac::IID_IBoolControl);
    UCHAR value = 9;
    ASSERT_EQ(mute->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, saved >= 0 ? saved : 1);
    EXPECT_EQ(Device(Key{false, 8, 1, 0}), 1);
    TearDownDevice();
  }
}

// The line-in unit of the product with jack polling: its mute carries the forced flag.
TEST_F(ChipAUnits, LineInUnitOrsTheForcedMuteIntoEverySetCur) {
  StartChipA(0x1E7D, 0x3750);
  auto* forced = As<uac::IChipAForcedMute>(Unit(11), uac::IID_IChipAForcedMute);
  ASSERT_NE(forced, nullptr);
  auto* mute = As<uac::IBoolControl>(NodeOf(11, adapter::NODE_MUTE), uac::IID_IBoolControl);
  ASSERT_NE(mute, nullptr);
  struct Step {
    int forced;  // -1: the user's mute instead
    UCHAR value;
    std::int64_t device;
  };
  const Step steps[] = {{1, 0, 1}, {-1, 0, 1}, {-1, 1, 1}, {0, 0, 1}, {-1, 0, 0}, {1, 0, 1}, {0, 0, 0}};
  for (const Step& s : steps) {
    if (s.forced >= 0)
      ASSERT_EQ(forced->SetStatusMute(static_cast<UCHAR>(s.forced)), STATUS_SUCCESS);
    else
      ASSERT_EQ(mute->SetValue(0, s.value), STATUS_SUCCESS);
    EXPECT_EQ(Device(Key{false, 11, 1, 0}), s.device);
  }
  // Channel 0 only.
  auto* source = As<uac::IUacBoolControlSource>(Unit(11), uac::IID_IUacBoolControlSource);
  UCHAR value = 9;
  EXPECT_EQ(source->GetCur(1, 1, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(source->GetCur(1, 0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(source->SetCur(1, 1, UCHAR{1}), STATUS_INVALID_PARAMETER);
  // Elsewhere unit 11 is an analog unit without the forced mute.
  TearDownDevice();
  StartChipA();
  EXPECT_EQ(As<uac::IChipAForcedMute>(Unit(11), uac::IID_IChipAForcedMute), nullptr);
  EXPECT_NE(Unit(11), nullptr);
}

TEST_F(ChipAUnits, GainSwitchWritesRegisterOne) {
  StartChipA(0x28DA, 0x268E);
  adapter::IUacEntity* node = NodeOf(8, adapter::NODE_GAIN_SWITCH);
  auto* control = As<uac::IBoolControl>(node, uac::IID_IBoolControl);
  ASSERT_NE(control, nullptr);
  struct Case {
    ULONG channel;
    UCHAR value;
    NTSTATUS status;
    UCHAR bits;  // register 1 bits 4-5 afterwards (0: nothing written)
  };
  const Case cases[] = {{0, 1, STATUS_SUCCESS, 0x10}, {0, 0, STATUS_SUCCESS, 0x30}, {1, 1, STATUS_INVALID_PARAMETER, 0},
                        {0, 1, STATUS_SUCCESS, 0x10}};
  for (const Case& c : cases) {
    chip_.ClearWrites();
    EXPECT_EQ(control->SetValue(c.channel, c.value), c.status);
    const auto w = chip_.writes();
    ASSERT_EQ(w.size(), c.bits ? 1u : 0u);
    if (!c.bits) continue;
    EXPECT_EQ(w[0].reg, 1);
    EXPECT_EQ(w[0].value & 0x30, c.bits);
    EXPECT_EQ(w[0].value & ~0x30, 0x3002 & ~0x30);  // the other bits from the cache
    UCHAR value = 9;
    EXPECT_EQ(control->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, c.value);
  }
  UCHAR value = 0;
  EXPECT_EQ(control->GetValue(1, &value), STATUS_INVALID_PARAMETER);
  // Saved per node, and written again by a new device object.
  Stop();
  chip_.ClearWrites();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(chip_.value(1) & 0x30, 0x10);
}

// ---------------------------------------------------------------------------------------
// The render output terminal

TEST_F(ChipAUnits, OutputTerminalKindsFollowTheSwitches) {
  struct Case {
    const char* name;
    ULONG hp, spdif;
    std::vector<ULONG> kinds;
  };
  const Case cases[] = {{"Both", 1, 1, {1, 2, 3}},
                        {"HeadphonesOnly", 1, 0, {1, 2}},
                        {"SpdifOnly", 0, 1, {1, 3}},
                        {"Neither", 0, 0, {1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    Plug(chip_a_test::WithIds(file_.device, 0x1234, 0x5678), file_.config, profile);
    sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    chip_ = ChipRegisters(3, {});
    chip_.Install(*sim_);
    reg::SetDword(Settings(), u"SupportHPOut", c.hp);
    reg::SetDword(Settings(), u"SupportSpdifOut", c.spdif);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    auto* terminal = As<adapter::ITerminalNode>(Unit(3), adapter::IID_ITerminalNode);
    ASSERT_NE(terminal, nullptr);
    ULONG count = 0;
    ASSERT_EQ(terminal->GetKindCount(&count), STATUS_SUCCESS);
    std::vector<ULONG> kinds(count);
    ASSERT_EQ(terminal->GetKinds(kinds.data()), STATUS_SUCCESS);
    EXPECT_EQ(kinds, c.kinds);
    auto* unit = As<uac::IUacUnit>(Unit(3), uac::IID_IUacUnit);
    ULONG terminalNodes = 0, kindNodes = 0;
    for (ULONG i = 0; i < unit->GetNodeCount(); ++i) {
      terminalNodes += unit->GetNode(i)->GetType() == adapter::NODE_OUTPUT_TERMINAL;
      kindNodes += unit->GetNode(i)->GetType() == adapter::NODE_TERMINAL_KIND;
    }
    EXPECT_EQ(terminalNodes, c.kinds.size());
    EXPECT_EQ(kindNodes, c.kinds.size() > 1 ? 1u : 0u);
    TearDownDevice();
  }
}

TEST_F(ChipAUnits, OutputKindSwitchWritesItsRegistersInOrderAndIsSaved) {
  StartChipA();
  auto* terminal = As<adapter::ITerminalNode>(Unit(3), adapter::IID_ITerminalNode);
  ASSERT_NE(terminal, nullptr);
  struct Write {
    UCHAR reg;
    USHORT value;
  };
  struct Case {
    ULONG kind;
    NTSTATUS status;
    std::vector<Write> writes;
  };
  // From register 1 = 0x3002 and register 0 = 0x2004 of the probe's defaults.
  const Case cases[] = {
      {3, STATUS_SUCCESS, {{2, 0xE7F8}, {1, 0x3000}, {0, 0xA004}}},
      {2, STATUS_SUCCESS, {{2, 0xFFE0}, {1, 0x3002}, {0, 0x2004}}},
      {1, STATUS_SUCCESS, {{2, 0xE000}, {1, 0x3002}, {0, 0x2004}}},
      {4, STATUS_UNSUCCESSFUL, {}},
      {0, STATUS_UNSUCCESSFUL, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    chip_.ClearWrites();
    EXPECT_EQ(terminal->SetKind(c.kind), c.status);
    const auto w = chip_.writes();
    ASSERT_EQ(w.size(), c.writes.size());
    for (size_t i = 0; i < w.size(); ++i) {
      EXPECT_EQ(w[i].reg, c.writes[i].reg);
      EXPECT_EQ(w[i].value, c.writes[i].value);
    }
    if (NT_SUCCESS(c.status)) {
      ULONG kind = 0;
      EXPECT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
      EXPECT_EQ(kind, c.kind);
      auto saved = reg::GetValue(Settings(), u"UACUnit03");
      ASSERT_TRUE(saved.has_value());
      ASSERT_EQ(saved->data.size(), 4u);
      EXPECT_EQ(saved->data[0], c.kind);
    }
  }
  // A new device object comes up on the saved kind and writes its registers.
  ASSERT_EQ(terminal->SetKind(2), STATUS_SUCCESS);
  Stop();
  chip_.ClearWrites();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  terminal = As<adapter::ITerminalNode>(Unit(3), adapter::IID_ITerminalNode);
  ULONG kind = 0;
  ASSERT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, 2u);
  ASSERT_GE(chip_.writes().size(), 1u);
  EXPECT_EQ(chip_.writes()[0].reg, 2);
  EXPECT_EQ(chip_.writes()[0].value, 0xFFE0);
}

// A saved kind the terminal does not list (S/PDIF turned off since, or a value never a
// kind) is ignored: the terminal starts on the speaker.
TEST_F(ChipAUnits, SavedKindOutsideTheListIsIgnored) {
  for (ULONG saved : {3u, 7u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(saved);
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    Plug(chip_a_test::WithIds(file_.device, 0x1234, 0x5678), file_.config, profile);
    sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    chip_ = ChipRegisters(3, {});
    chip_.Install(*sim_);
    reg::SetDword(Settings(), u"SupportSpdifOut", 0);
    const UCHAR bytes[4] = {static_cast<UCHAR>(saved), static_cast<UCHAR>(saved >> 8), static_cast<UCHAR>(saved >> 16),
                            static_cast<UCHAR>(saved >> 24)};
    reg::SetBinary(Settings(), u"UACUnit03", bytes);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    auto* terminal = As<adapter::ITerminalNode>(Unit(3), adapter::IID_ITerminalNode);
    ULONG kind = 0;
    ASSERT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
    EXPECT_EQ(kind, 1u);
    EXPECT_EQ(chip_.value(2), 0xE000);
    TearDownDevice();
  }
}

TEST_F(ChipAUnits, OutputTerminalStateAndJacksPerKind) {
  StartChipA();
  auto* terminal = As<adapter::ITerminalNode>(Unit(3), adapter::IID_ITerminalNode);
  ASSERT_NE(terminal, nullptr);
  using adapter::JackRecord;
  struct Case {
    ULONG index;
    ULONG jacks;
    std::vector<std::array<ULONG, 3>> records;  // channel mapping, colour, connection type
  };
  const Case cases[] = {
      {0, 3, {{0x3, 0x00FF00, 1}, {0xC, 0xFF8000, 1}, {0x30, 0, 1}}},
      {1, 1, {{0x3, 0x00FF00, 1}}},
      {2, 1, {{0x3, 0, 5}}},
  };
  for (ULONG connect : {0u, 1u}) {
    reg::SetBinary(Settings(), u"SetJackConnect",
                   std::array<UCHAR, 4>{static_cast<UCHAR>(connect), 0, 0, 0});
    for (const Case& c : cases) {
      SCOPED_TRACE(c.index + 10 * connect);
      ULONG count = 99;
      ASSERT_EQ(terminal->GetState(&count, c.index), STATUS_SUCCESS);
      EXPECT_EQ(count, c.jacks);
      std::vector<JackRecord> out(count + 1);
      std::memset(out.data(), 0xA5, out.size() * sizeof(JackRecord));
      ASSERT_EQ(terminal->GetJackDescriptions(static_cast<ULONG>(count * sizeof(JackRecord)), out.data(), c.index),
                STATUS_SUCCESS);
      for (ULONG i = 0; i < count; ++i) {
        EXPECT_EQ(out[i].ChannelMapping, c.records[i][0]);
        EXPECT_EQ(out[i].Color, c.records[i][1]);
        EXPECT_EQ(out[i].ConnectionType, c.records[i][2]);
        EXPECT_EQ(out[i].GeoLocation, 1u);
        EXPECT_EQ(out[i].GenLocation, 0u);
        EXPECT_EQ(out[i].PortConnection, 0u);
        EXPECT_EQ(out[i].Flags, 0u);
        EXPECT_EQ(out[i].PresenceDetect, 0u);
        // Connected: the current kind (the speaker), or every kind with "SetJackConnect".
        EXPECT_EQ(out[i].IsConnected, connect || c.index == 0 ? 1u : 0u);
      }
      // The record past the kind's is not written.
      const UCHAR* past = reinterpret_cast<const UCHAR*>(&out[count]);
      EXPECT_EQ(past[0], 0xA5);
      // A buffer one byte short, or none, leaves everything untouched.
      std::vector<UCHAR> shortBuffer(count * sizeof(JackRecord), 0x5A);
      EXPECT_EQ(terminal->GetJackDescriptions(static_cast<ULONG>(shortBuffer.size() - 1), shortBuffer.data(), c.index),
                STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(shortBuffer, std::vector<UCHAR>(shortBuffer.size(), 0x5A));
      EXPECT_EQ(terminal->GetJackDescriptions(0, shortBuffer.data(), c.index), STATUS_INVALID_PARAMETER);
      EXPECT_EQ(terminal->GetJackDescriptions(100, nullptr, c.index), STATUS_INVALID_PARAMETER);
    }
  }
  // An index past the kinds: no jacks, and no records.
  ULONG count = 99;
  ASSERT_EQ(terminal->GetState(&count, 3), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  std::vector<UCHAR> buffer(200, 0x5A);
  EXPECT_EQ(terminal->GetJackDescriptions(200, buffer.data(), 3), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(buffer, std::vector<UCHAR>(200, 0x5A));
  EXPECT_EQ(terminal->GetState(nullptr, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(ChipAUnits, OutputTerminalStatusChangeRefreshesItsTerminalNodes) {
  StartChipA();
  auto* unit = As<uac::IUacUnit>(Unit(3), uac::IID_IUacUnit);
  ASSERT_NE(unit, nullptr);
  ULONG last = 0;
  for (ULONG i = 0; i < unit->GetNodeCount(); ++i)
    if (unit->GetNode(i)->GetType() == adapter::NODE_OUTPUT_TERMINAL) last = unit->GetNode(i)->GetId();
  ULONG node = 0;
  ASSERT_EQ(unit->HandleStatusChange(0, 0, &node), STATUS_SUCCESS);
  EXPECT_EQ(node, last);
}

}  // namespace
