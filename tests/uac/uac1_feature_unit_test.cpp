#include <gtest/gtest.h>

#include "adapter/endpoint_type.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using sim::device::SimDevice;
using uac::kLevelMinusInfinity;

constexpr USHORT kMute = 1 << 0, kVolume = 1 << 1, kBass = 1 << 2, kAgc = 1 << 6, kLoudness = 1 << 9;

SimDevice::ControlKey Key(UCHAR unit, UCHAR selector, UCHAR channel) { return {false, unit, selector, channel, 0}; }

class FeatureUnitTest : public UnitTest {
 protected:
  // Input terminal 1 (USB streaming) feeding feature unit 2.
  void StartWithFeature(const Bytes& feature, sim::device::DeviceProfile profile = {}) {
    const Bytes input = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
    const Bytes output = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};
    StartWith(Uac1Configuration({input, feature, output}), profile);
    feature_ = feature;
  }
  uac::CUacUnit* Unit() {
    uac::CUacUnit* unit = nullptr;
    EXPECT_EQ(MakeUnit(feature_, &unit), STATUS_SUCCESS);
    return unit;
  }
  Bytes feature_;
};

TEST_F(FeatureUnitTest, CreatesOneChainedNodePerControlInSelectorOrder) {
  StartWithFeature(FeatureUnit(2, 1, 2, {kMute, kVolume | kBass | kLoudness, kVolume | kBass | kAgc}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  const ULONG expectedTypes[] = {adapter::NODE_MUTE, adapter::NODE_VOLUME, adapter::NODE_BASS, adapter::NODE_AGC,
                                 adapter::NODE_LOUDNESS};
  ASSERT_EQ(unit->GetNodeCount(), 5u);
  ASSERT_EQ(function_->GetEntityCount(), 5u);
  for (ULONG i = 0; i < 5; ++i) {
    adapter::IUacEntity* node = unit->GetNode(i);
    EXPECT_EQ(node->GetType(), expectedTypes[i]);
    EXPECT_EQ(node->GetId(), i);  // the function's entity count at creation
    ULONG count = 0;
    const ULONG* sources = nullptr;
    ASSERT_EQ(node->GetSources(&count, &sources), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(sources[0], i == 0 ? 0u : i - 1) << "node " << i;
  }
  ULONG out = 0;
  EXPECT_EQ(unit->GetOutputNodeId(&out), STATUS_SUCCESS);
  EXPECT_EQ(out, 4u);
  // Mute on the master only, volume on both logical channels, AGC on channel 2 only.
  ULONG channels = 0;
  NodeOf<uac::CUacMuteControl>(unit, 0)->GetChannelCount(&channels);
  EXPECT_EQ(channels, 1u);
  NodeOf<uac::CUacVolumeControl>(unit, 1)->GetChannelCount(&channels);
  EXPECT_EQ(channels, 2u);
  NodeOf<uac::CUacAgcControl>(unit, 3)->GetChannelCount(&channels);
  EXPECT_EQ(channels, 1u);
}

TEST_F(FeatureUnitTest, InitRefusesWhatItCannotRead) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  struct Case {
    const char* what;
    Bytes descriptor;
    NTSTATUS status;
  } cases[] = {
      {"control size 0", {7, 0x24, 6, 2, 1, 0, 0}, STATUS_INVALID_PARAMETER},
      {"too short", {6, 0x24, 6, 2, 1, 1}, STATUS_INVALID_PARAMETER},
      {"wrong subtype", {8, 0x24, 5, 2, 1, 1, kMute, 0}, STATUS_INVALID_PARAMETER},
      {"wrong type", {8, 0x04, 6, 2, 1, 1, kMute, 0}, STATUS_INVALID_PARAMETER},
      {"volume without mute", FeatureUnit(2, 1, 1, {kVolume, kVolume, kVolume}), STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const auto& c : cases) {
    uac::CUacUnit* unit = nullptr;
    ASSERT_EQ(uac::CreateUac1Unit(6, 2, &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->Init(c.descriptor.data(), usb_, function_), c.status) << c.what;
    EXPECT_EQ(unit->GetNodeCount(), 0u) << c.what;
    static_cast<adapter::IUacEntity*>(unit)->Release();
  }
  EXPECT_EQ(function_->GetEntityCount(), 0u);
}

// Every control kind of the unit: a write reaches the device in its wire unit and a
// refresh reads it back in node units.
TEST_F(FeatureUnitTest, EveryControlKindWritesAndReadsThroughTheDevice) {
  constexpr USHORT kMid = 1 << 3, kTreble = 1 << 4;
  StartWithFeature(FeatureUnit(2, 1, 2, {kMute | kVolume | kBass | kMid | kTreble | kAgc | kLoudness}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(unit->GetNodeCount(), 7u);
  struct Case {
    ULONG node;
    UCHAR selector;
    LONG set;  // level, or on/off
    std::int64_t wire;
  } cases[] = {
      {0, 1, 1, 1},       {1, 2, -3 * 65536, -3 * 256}, {2, 3, 2 * 65536, 8},
      {3, 4, -65536, -4}, {4, 5, 12 * 65536, 48},       {5, 7, 1, 1},
      {6, 10, 1, 1},
  };
  for (const auto& c : cases) {
    adapter::IUacEntity* node = unit->GetNode(c.node);
    PVOID itf = nullptr;
    const bool level = NT_SUCCESS(node->QueryInterface(uac::IID_ILevelControl, &itf));
    if (level) {
      auto* control = static_cast<uac::ILevelControl*>(itf);
      EXPECT_EQ(control->SetLevel(0, c.set), STATUS_SUCCESS);
      control->Release();
    } else {
      ASSERT_EQ(node->QueryInterface(uac::IID_IBoolControl, &itf), STATUS_SUCCESS);
      auto* control = static_cast<uac::IBoolControl*>(itf);
      EXPECT_EQ(control->SetValue(0, static_cast<UCHAR>(c.set)), STATUS_SUCCESS);
      control->Release();
    }
    EXPECT_EQ(sim_->GetControl(Key(2, c.selector, 0)), c.wire) << "selector " << int(c.selector);
    // The device changes it back; a refresh follows.
    sim_->SetControl(Key(2, c.selector, 0), 0);
    EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
    if (level) {
      ASSERT_EQ(node->QueryInterface(uac::IID_ILevelControl, &itf), STATUS_SUCCESS);
      LONG value = 1;
      static_cast<uac::ILevelControl*>(itf)->GetLevel(0, &value);
      EXPECT_EQ(value, 0);
      static_cast<uac::ILevelControl*>(itf)->Release();
    } else {
      ASSERT_EQ(node->QueryInterface(uac::IID_IBoolControl, &itf), STATUS_SUCCESS);
      UCHAR value = 1;
      static_cast<uac::IBoolControl*>(itf)->GetValue(0, &value);
      EXPECT_EQ(value, 0);
      static_cast<uac::IBoolControl*>(itf)->Release();
    }
  }
}

TEST_F(FeatureUnitTest, StringIndexIsNotAChannel) {
  // iFeature 2 has the volume bit set; with one-byte entries it must not count as a third
  // logical channel.
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}, 0x02));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* fu = static_cast<uac::CUac1FeatureUnit*>(unit);
  EXPECT_EQ(fu->EntryCount(), 3u);
  ULONG channels = 0;
  EXPECT_EQ(fu->GetChannelCount(uac::FU_VOLUME, &channels), STATUS_SUCCESS);
  EXPECT_EQ(channels, 2u);
}

TEST_F(FeatureUnitTest, VolumeWritesReadsAndRangesScaleAsOnTheWire) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  sim_->SetControlRange(Key(2, 2, 1), -127 * 256, 0, 1);
  sim_->SetControlRange(Key(2, 2, 2), -127 * 256, 0, 1);
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);
  LONG maximum, minimum, step;
  ASSERT_EQ(volume->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(minimum, -127 * 65536);
  EXPECT_EQ(step, 256);

  struct Case {
    LONG set;
    std::int64_t wire;
    LONG cached;
  } cases[] = {
      {-32768, -128, -32768},                          // -0.5 dB is 0xFF80
      {0x10000, 0, 0},                                 // +1 dB clamps to the maximum
      {-127 * 65536 - 256, -127 * 256, -127 * 65536},  // below the minimum
      {-100, 0, -100},                                 // quantised toward zero, cached as asked
      {1000 - 65536, -253, 1000 - 65536},              // -64536 / 256 = -252.09 -> -252 * 256
      {kLevelMinusInfinity, -0x8000, kLevelMinusInfinity},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(volume->SetLevel(1, c.set), STATUS_SUCCESS);
    EXPECT_EQ(sim_->GetControl(Key(2, 2, 2)), c.set == 1000 - 65536 ? -252 : c.wire) << c.set;
    LONG level = 0;
    EXPECT_EQ(volume->GetLevel(1, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, c.cached) << c.set;
  }
  // Reads: 0xFF80 is -0.5 dB, 0x8000 minus infinity.
  auto* fu = static_cast<uac::CUac1FeatureUnit*>(unit);
  LONG level = 0;
  sim_->SetControl(Key(2, 2, 1), -128);
  EXPECT_EQ(fu->GetCur(uac::FU_VOLUME, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, static_cast<LONG>(0xFFFF8000));
  sim_->SetControl(Key(2, 2, 1), -0x8000);
  EXPECT_EQ(fu->GetCur(uac::FU_VOLUME, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, kLevelMinusInfinity);
  EXPECT_EQ(volume->SetLevel(2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(volume->GetLevel(2, &level), STATUS_INVALID_PARAMETER);
}

TEST_F(FeatureUnitTest, CoarseStepSendsTheQuantisedLevelAndCachesTheAskedOne) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute | kVolume}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);  // device default: 1 dB steps
  EXPECT_EQ(volume->SetLevel(0, -0x18000), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 0)), -256);
  LONG level = 0;
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -0x18000);
}

TEST_F(FeatureUnitTest, ToneLevelsAreQuarterDecibelBytes) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute | kBass}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* bass = NodeOf<uac::CUacBassControl>(unit, 1);
  LONG maximum, minimum, step;
  bass->GetRange(&maximum, &minimum, &step);
  EXPECT_EQ(maximum, 12 << 16);
  EXPECT_EQ(minimum, -12 * 65536);
  EXPECT_EQ(step, 1 << 16);
  EXPECT_EQ(bass->SetLevel(0, -6 * 65536), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(2, 3, 0)), -24);  // 0xE8
  LONG level = 0;
  EXPECT_EQ(static_cast<uac::CUac1FeatureUnit*>(unit)->GetCur(uac::FU_BASS, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -393216);
  // Minus infinity sends the minimum and keeps minus infinity.
  EXPECT_EQ(bass->SetLevel(0, kLevelMinusInfinity), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(2, 3, 0)), -48);
  bass->GetLevel(0, &level);
  EXPECT_EQ(level, kLevelMinusInfinity);
}

// Node channel -> device channel, by unit layout.
TEST_F(FeatureUnitTest, ChannelTranslation) {
  struct Case {
    const char* what;
    std::vector<USHORT> controls;
    ULONG nodeChannel;
    UCHAR deviceChannel;
  } cases[] = {
      {"stereo left", {kMute, kVolume, kVolume}, 0, 1},
      {"stereo right", {kMute, kVolume, kVolume}, 1, 2},
      {"master only", {kMute | kVolume, 0, 0}, 0, 0},
      {"mono on logical 1", {kMute, kVolume}, 0, 1},
      {"eight channels, 5 to 7", {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume}, 4, 7},
      {"eight channels, 7 to 5", {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume}, 6, 5},
      {"six channels keep 5", {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume}, 4, 5},
      {"six channels keep 6", {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume}, 5, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartWithFeature(FeatureUnit(2, 1, 1, c.controls));
    uac::CUacUnit* unit = Unit();
    ASSERT_NE(unit, nullptr);
    auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);
    sim_->ClearControlLog();
    EXPECT_EQ(volume->SetLevel(c.nodeChannel, -10 * 65536), STATUS_SUCCESS);
    auto log = sim_->control_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wValue, 0x0200 | c.deviceChannel);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(log[0].setup.wIndex, 0x0200);
    ReleaseUnits();
    TearDownDevice();
  }
}

TEST_F(FeatureUnitTest, SavedValuesAreNamedPerNodeEndpointTypeAndChannel) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);
  volume->SetEndpointType(3, nullptr);
  volume->SetLevel(1, -5 * 65536);
  EXPECT_EQ(Saved(u"Unit01_ 3_1"), (Bytes{0x00, 0x00, 0xFB, 0xFF}));
  volume->SetEndpointType(14, nullptr);
  volume->SetLevel(1, -6 * 65536);
  EXPECT_EQ(Saved(u"Unit01_14_1"), (Bytes{0x00, 0x00, 0xFA, 0xFF}));
  auto* mute = NodeOf<uac::CUacMuteControl>(unit, 0);
  mute->SetValue(0, 1);
  EXPECT_EQ(Saved(u"Unit00_ 0_0"), (Bytes{1}));
}

TEST_F(FeatureUnitTest, EndpointSwitchRestoresThatTypesValuesAndPublishesAChange) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);
  volume->SetEndpointType(adapter::ENDPOINT_HP, nullptr);
  volume->SetLevel(0, -20 * 65536);
  volume->SetEndpointType(adapter::ENDPOINT_SPK, nullptr);
  volume->SetLevel(0, -3 * 65536);
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 1)), -3 * 256);
  // Back to headphones: its level goes to the device; a type with nothing saved sends
  // the cache.
  volume->SetEndpointType(adapter::ENDPOINT_HP, static_cast<adapter::CAudioHal*>(function_)->GetCallbackObject());
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 1)), -20 * 256);
  EXPECT_EQ(record_.changes, (std::vector<ULONGLONG>{1}));
  volume->SetEndpointType(adapter::ENDPOINT_LINE, nullptr);
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 1)), -20 * 256);
}

TEST_F(FeatureUnitTest, SavedValuesOutliveTheDeviceObject) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  NodeOf<uac::CUacVolumeControl>(unit, 1)->SetLevel(1, -7 * 65536);
  NodeOf<uac::CUacMuteControl>(unit, 0)->SetValue(0, 1);
  // The device forgets (power loss); a new device object and unit restore the user's values.
  sim_->SetControl(Key(2, 2, 2), 0);
  sim_->SetControl(Key(2, 1, 0), 0);
  Stop();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Restart();
  unit = Unit();
  ASSERT_NE(unit, nullptr);
  LONG level = 0;
  NodeOf<uac::CUacVolumeControl>(unit, 1)->GetLevel(1, &level);
  EXPECT_EQ(level, -7 * 65536);
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 2)), 0);  // Init does not write
  EXPECT_EQ(function_->RestoreEntities(), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 2)), -7 * 256);
  EXPECT_EQ(sim_->GetControl(Key(2, 1, 0)), 1);
}

TEST_F(FeatureUnitTest, DeviceRefusalKeepsLevelsButCachesSwitches) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);
  auto* mute = NodeOf<uac::CUacMuteControl>(unit, 0);
  volume->SetLevel(0, -2 * 65536);
  sim_->StallRequests(SimDevice::RequestMatch{std::nullopt, 0x01, std::nullopt, std::nullopt}, 2);
  EXPECT_EQ(volume->SetLevel(0, -9 * 65536), STATUS_SUCCESS);
  EXPECT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
  LONG level = 0;
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -2 * 65536);
  EXPECT_EQ(Saved(u"Unit01_ 0_0"), (Bytes{0x00, 0x00, 0xFE, 0xFF}));
  UCHAR value = 0;
  mute->GetValue(0, &value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(Saved(u"Unit00_ 0_0"), (Bytes{1}));
  EXPECT_EQ(sim_->GetControl(Key(2, 1, 0)), 0);
}

TEST_F(FeatureUnitTest, RefreshFollowsTheDeviceAndRestoreNeedsChannels) {
  StartWithFeature(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}));
  uac::CUacUnit* unit = Unit();
  ASSERT_NE(unit, nullptr);
  auto* volume = NodeOf<uac::CUacVolumeControl>(unit, 1);
  sim_->SetControl(Key(2, 2, 1), -11 * 256);
  EXPECT_EQ(volume->RefreshFromDevice(), STATUS_SUCCESS);
  LONG level = 0;
  volume->GetLevel(0, &level);
  EXPECT_EQ(level, -11 * 65536);
  EXPECT_EQ(Saved(u"Unit01_ 0_0"), (Bytes{0x00, 0x00, 0xF5, 0xFF}));
  sim_->StallRequests(SimDevice::RequestMatch{std::nullopt, 0x81, std::nullopt, std::nullopt});
  EXPECT_NE(volume->RefreshFromDevice(), STATUS_SUCCESS);

  adapter::IUacEntity* bare = nullptr;
  ASSERT_EQ((adapter::CreateInstance<uac::CUacVolumeControl>(&bare, nullptr, NonPagedPool, uac::kUac1PoolTag, 40)),
            STATUS_SUCCESS);
  EXPECT_EQ(bare->RestoreToDevice(), STATUS_INVALID_PARAMETER);
  bare->Release();
}

}  // namespace
}  // namespace unit_test
