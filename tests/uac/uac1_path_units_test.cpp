#include <gtest/gtest.h>

#include "adapter/endpoint_type.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using sim::device::SimDevice;
constexpr USHORT kMute = 1, kVolume = 2;
const Bytes kInput = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
const Bytes kLineIn = {12, 0x24, 2, 5, 0x03, 0x06, 0, 2, 3, 0, 0, 0};  // line connector
const Bytes kSelector = {9, 0x24, 5, 6, 3, 1, 5, 1, 0};                // inputs 1, 5, 1
const Bytes kMixer = {13, 0x24, 4, 7, 2, 1, 5, 2, 3, 0, 0, 0, 0};
const Bytes kSpeakerOut = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};

SimDevice::ControlKey Key(UCHAR unit, UCHAR selector, UCHAR channel) { return {false, unit, selector, channel, 0}; }

// A vendor control block: header, bitmap size, one bitmap per channel (master first).
Bytes VendorBlock(USHORT declared, UCHAR size, const std::vector<USHORT>& bitmaps, size_t extra = 0) {
  Bytes b(16, 0);
  b.push_back(static_cast<UCHAR>(declared));
  b.push_back(static_cast<UCHAR>(declared >> 8));
  b.push_back(size);
  for (USHORT m : bitmaps) {
    b.push_back(static_cast<UCHAR>(m));
    b.push_back(static_cast<UCHAR>(m >> 8));
  }
  b.resize(b.size() + extra, 0);
  return b;
}

class PathUnitTest : public UnitTest {};

TEST_F(PathUnitTest, VendorBlockIsUsedOnlyWhenItsLengthHoldsTogether) {
  constexpr USHORT kEffect = 1 << 10;  // selector 0x8B
  struct Case {
    const char* what;
    Bytes bytes;
    bool block;
    ULONG nodes;
  } cases[] = {
      {"sound", VendorBlock(23, 2, {kEffect, 0}), true, 3},
      {"length past the data", VendorBlock(200, 2, {kEffect, 0}), false, 2},
      {"no bitmap", VendorBlock(19, 2, {}), false, 2},
      {"length below the header", VendorBlock(10, 2, {kEffect}), false, 2},
      {"bitmap size 0", VendorBlock(23, 0, {kEffect, 0}), false, 2},
      {"other bitmap size: both effects everywhere", VendorBlock(21, 1, {0}), true, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::device::DeviceProfile profile;
    profile.entity_memory[2] = c.bytes;
    StartWith(Uac1Configuration({kInput, FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}), kSpeakerOut}), profile);
    uac::CUacUnit* unit = nullptr;
    ASSERT_EQ(MakeUnit(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}), &unit), STATUS_SUCCESS);
    auto* fu = static_cast<uac::CUac1FeatureUnit*>(unit);
    EXPECT_EQ(fu->HasVendorBlock(), c.block);
    EXPECT_EQ(unit->GetNodeCount(), c.nodes);
    ReleaseUnits();
    TearDownDevice();
  }
}

TEST_F(PathUnitTest, EffectSwitchGoesThroughVendorRequestsAndIsSavedOnlyWhenTaken) {
  sim::device::DeviceProfile profile;
  profile.entity_memory[2] = VendorBlock(21, 2, {1 << 10});
  StartWith(Uac1Configuration({kInput, FeatureUnit(2, 1, 1, {kMute}), kSpeakerOut}), profile);
  uac::CUacUnit* unit = nullptr;
  ASSERT_EQ(MakeUnit(FeatureUnit(2, 1, 1, {kMute}), &unit), STATUS_SUCCESS);
  ASSERT_EQ(unit->GetNodeCount(), 2u);
  auto* effect = NodeOf<uac::CUacEffectControl>(unit, 1);
  EXPECT_EQ(effect->GetType(), adapter::NODE_VENDOR_EFFECT);
  sim_->ClearControlLog();
  EXPECT_EQ(effect->SetValue(1), STATUS_SUCCESS);
  auto log = sim_->control_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].setup.bmRequestType, 0x41);
  EXPECT_EQ(log[0].setup.wValue, 0x8B00);
  EXPECT_EQ(Saved(u"Unit01_"), (Bytes{1}));
  EXPECT_EQ(effect->m_lChanged[0], 1);
  sim_->StallRequests(SimDevice::RequestMatch{std::nullopt, 0x01, std::nullopt, std::nullopt});
  EXPECT_NE(effect->SetValue(0), STATUS_SUCCESS);
  UCHAR value = 0;
  effect->GetValue(&value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(effect->GetValue(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(PathUnitTest, SelectorStartsFromTheSavedInputKeptInRange) {
  struct Case {
    ULONG saved;
    ULONG expected;
  } cases[] = {{9, 3}, {0, 1}, {2, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.saved);
    StartWith(Uac1Configuration({kInput, kLineIn, kSelector, kSpeakerOut}));
    const UCHAR bytes[4] = {static_cast<UCHAR>(c.saved), 0, 0, 0};
    platform::registry::SetBinary(SettingsPath(), u"Unit00_", bytes);
    uac::CUacUnit* unit = nullptr;
    ASSERT_EQ(MakeUnit(kSelector, &unit), STATUS_SUCCESS);
    auto* node = NodeOf<uac::CUacSelectorNode>(unit, 0);
    ULONG selected = 0;
    node->GetSelected(&selected);
    EXPECT_EQ(selected, c.expected);
    EXPECT_EQ(node->GetSourceCount(), 3u);
    ReleaseUnits();
    TearDownDevice();
  }
}

// A unit made outside the function's walk applies the same length rule: each descriptor
// one byte short of it (or with a zero element size) is refused without nodes, and the
// full one is built.
TEST_F(PathUnitTest, UnitsRefuseDescriptorsTheLengthRuleRefuses) {
  StartWith(Uac1Configuration({kInput, kLineIn, kSelector, kSpeakerOut}));
  struct Case {
    const char* what;
    Bytes descriptor;
    NTSTATUS status;
  } cases[] = {
      {"input terminal", kInput, STATUS_SUCCESS},
      {"input terminal without iTerminal", Bytes(kInput.begin(), kInput.end() - 1), STATUS_INVALID_PARAMETER},
      {"output terminal without iTerminal", Bytes(kSpeakerOut.begin(), kSpeakerOut.end() - 1),
       STATUS_INVALID_PARAMETER},
      {"selector without iSelector", Bytes(kSelector.begin(), kSelector.end() - 1), STATUS_INVALID_PARAMETER},
      {"selector naming more pins than it lists", {9, 0x24, 5, 6, 4, 1, 5, 1, 0}, STATUS_INVALID_PARAMETER},
      {"mixer without bmControls", Bytes(kMixer.begin(), kMixer.end() - 1), STATUS_SUCCESS},
      {"mixer without bmControls and iMixer", Bytes(kMixer.begin(), kMixer.end() - 2), STATUS_INVALID_PARAMETER},
      {"feature unit with a zero control size", {8, 0x24, 6, 2, 1, 0, 0, 0}, STATUS_INVALID_PARAMETER},
      {"feature unit with the master's mute", {8, 0x24, 6, 2, 1, 1, 1, 0}, STATUS_SUCCESS},
      {"feature unit without iFeature", {7, 0x24, 6, 2, 1, 1, 1}, STATUS_INVALID_PARAMETER},
  };
  for (auto& c : cases) {
    c.descriptor[0] = static_cast<UCHAR>(c.descriptor.size());
    uac::CUacUnit* unit = nullptr;
    EXPECT_EQ(MakeUnit(c.descriptor, &unit), c.status) << c.what;
    if (unit) {
      EXPECT_GE(unit->GetNodeCount(), 1u) << c.what;
    }
  }
}

TEST_F(PathUnitTest, SelectorWritesTheDeviceAndSavesTheSelection) {
  StartWith(Uac1Configuration({kInput, kLineIn, kSelector, kSpeakerOut}));
  uac::CUacUnit* unit = nullptr;
  ASSERT_EQ(MakeUnit(kSelector, &unit), STATUS_SUCCESS);
  auto* node = NodeOf<uac::CUacSelectorNode>(unit, 0);
  EXPECT_EQ(node->SetSelected(2), STATUS_SUCCESS);
  EXPECT_EQ(sim_->GetControl(Key(6, 0, 0)), 2);
  EXPECT_EQ(Saved(u"Unit00_"), (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(node->SetSelected(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->SetSelected(4), STATUS_INVALID_PARAMETER);
  sim_->SetControl(Key(6, 0, 0), 3);
  EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
  ULONG selected = 0;
  node->GetSelected(&selected);
  EXPECT_EQ(selected, 3u);
  ULONG id = 99;
  EXPECT_EQ(unit->HandleStatusChange(0, 0, &id), STATUS_SUCCESS);
  EXPECT_EQ(id, 0u);
  // The builder connects the unit's node to the nodes of its sources.
  const ULONG sources[] = {10, 11, 12};
  EXPECT_EQ(unit->SetInputSources(3, sources), STATUS_SUCCESS);
  const ULONG* got = nullptr;
  ULONG count = 0;
  node->GetSources(&count, &got);
  EXPECT_EQ(got[1], 11u);
}

TEST_F(PathUnitTest, MixerMakesOneNodeWithItsSourceCount) {
  StartWith(Uac1Configuration({kInput, kLineIn, kMixer, kSpeakerOut}));
  uac::CUacUnit* unit = nullptr;
  ASSERT_EQ(MakeUnit(kMixer, &unit), STATUS_SUCCESS);
  ASSERT_EQ(unit->GetNodeCount(), 1u);
  EXPECT_EQ(unit->GetNode(0)->GetType(), adapter::NODE_MIXER);
  EXPECT_EQ(unit->GetNode(0)->GetSourceCount(), 2u);
  EXPECT_EQ(unit->GetSourceCount(), 2u);
}

TEST_F(PathUnitTest, JackRecordsDecodeTheConfigurationWord) {
  const auto r = uac::JackRecordFromWord(3, 0x01014030);
  EXPECT_EQ(r.Color, 0x00FF00u);
  EXPECT_EQ(r.ConnectionType, 1u);
  EXPECT_EQ(r.GeoLocation, 1u);
  EXPECT_EQ(r.GenLocation, 0u);
  EXPECT_EQ(r.IsConnected, 0u);
  EXPECT_EQ(r.PresenceDetect, 1u);
  EXPECT_EQ(uac::InputTerminalKind(0x0401), 13u);
  EXPECT_EQ(uac::InputTerminalNodeKind(0x0401), 13u);
}

TEST_F(PathUnitTest, InputTerminalReportsItsJacksAndPresence) {
  sim::device::DeviceProfile profile;
  profile.terminals[5].jacks = {{0x3, 0x01014030}};
  profile.terminals[5].connected_channels = 0;
  StartWith(Uac1Configuration({kInput, kLineIn, kSpeakerOut}), profile);
  uac::CUacUnit* unit = nullptr;
  ASSERT_EQ(MakeUnit(kLineIn, &unit), STATUS_SUCCESS);
  ASSERT_EQ(unit->GetNodeCount(), 1u);
  auto* node = NodeOf<uac::CUacInputTerminalNode>(unit, 0);
  ULONG kind = 0, jacks = 0;
  node->GetKind(&kind);
  EXPECT_EQ(kind, adapter::ENDPOINT_LINE);
  node->GetState(&jacks, 0);
  EXPECT_EQ(jacks, 1u);
  adapter::JackRecord record{};
  auto* terminal = static_cast<uac::CUac1InputTerminal*>(unit);
  terminal->GetJackDescriptions(sizeof record, &record, 0);
  EXPECT_EQ(record.IsConnected, 0u);
  sim_->SetJackState(5, 0x3);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof record, &record, 0), STATUS_SUCCESS);
  EXPECT_EQ(record.IsConnected, 1u);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof record - 1, &record, 0), STATUS_INVALID_PARAMETER);
}

class OutputTerminalTest : public UnitTest {
 protected:
  // Headphones (0x0302) switchable to speaker (0x0301) and line (0x0603), behind feature
  // unit 2.
  void StartSwitchable(std::vector<USHORT> types = {0x0302, 0x0301, 0x0603}) {
    sim::device::DeviceProfile profile;
    profile.terminals[9].selectable_types = types;
    profile.terminals[9].jacks = {{0x3, 0x01014030}};
    StartWith(Uac1Configuration({kInput, FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}), output_}), profile);
  }
  uac::CUacUnit* Feature() {
    uac::CUacUnit* unit = nullptr;
    EXPECT_EQ(MakeUnit(FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume}), &unit), STATUS_SUCCESS);
    return unit;
  }
  uac::CUacUnit* Output() {
    uac::CUacUnit* unit = nullptr;
    EXPECT_EQ(MakeUnit(output_, &unit), STATUS_SUCCESS);
    return unit;
  }
  Bytes output_ = {9, 0x24, 3, 9, 0x02, 0x03, 0, 2, 0};
};

TEST_F(OutputTerminalTest, OneNodePerSelectableKindAndAKindSwitch) {
  StartSwitchable();
  uac::CUacUnit* unit = Output();
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(unit->GetNodeCount(), 4u);
  const ULONG kinds[] = {adapter::ENDPOINT_HP, adapter::ENDPOINT_SPK, adapter::ENDPOINT_LINE};
  for (ULONG k = 0; k < 3; ++k) {
    auto* node = NodeOf<uac::CUacOutputTerminalNode>(unit, k);
    EXPECT_EQ(node->GetType(), adapter::NODE_OUTPUT_TERMINAL);
    ULONG kind = 0;
    node->GetKind(&kind);
    EXPECT_EQ(kind, kinds[k]);
    ULONG count = 0;
    const ULONG* sources = nullptr;
    node->GetSources(&count, &sources);
    EXPECT_EQ(sources[0], 0u);  // the others hang from the first (id 0)
  }
  const ULONG source = 2;
  EXPECT_EQ(unit->SetInputSources(1, &source), STATUS_SUCCESS);
  ULONG count = 0;
  const ULONG* sources = nullptr;
  unit->GetNode(0)->GetSources(&count, &sources);
  EXPECT_EQ(sources[0], 2u);
  EXPECT_EQ(unit->GetNode(3)->GetType(), adapter::NODE_TERMINAL_KIND);
}

TEST_F(OutputTerminalTest, StatusChangeFollowsATypeSwitchedOnTheDevice) {
  StartSwitchable();
  uac::CUacUnit* output = Output();
  ASSERT_NE(output, nullptr);
  auto* terminal = static_cast<uac::CUac1OutputTerminal*>(output);
  // Same type: nothing to do.
  ULONG id = 0;
  EXPECT_EQ(output->HandleStatusChange(0, 0, &id), STATUS_SUCCESS);
  // The device switched to line out: the kind node follows and saves the new kind.
  const UCHAR line[2] = {0x03, 0x06};
  UCHAR wire[2] = {line[0], line[1]};
  ULONG got = 0;
  terminal->Vendor(false, 0x81, 0x0800, wire, 2, &got);
  EXPECT_EQ(output->HandleStatusChange(0, 0, &id), STATUS_SUCCESS);
  ULONG kind = 0;
  NodeOf<uac::CUacTerminalKindNode>(output, 3)->CTerminalKindNode::GetKind(&kind);
  EXPECT_EQ(kind, adapter::ENDPOINT_LINE);
  EXPECT_EQ(Saved(u"Unit03_"), (Bytes{adapter::ENDPOINT_LINE, 0, 0, 0}));
  EXPECT_EQ(record_.registered, (std::vector<ULONG>{9}));
}

TEST_F(OutputTerminalTest, JacksOfAKindNotInUseFollowTheUserSetting) {
  StartSwitchable();
  uac::CUacUnit* output = Output();
  ASSERT_NE(output, nullptr);
  auto* terminal = static_cast<uac::CUac1OutputTerminal*>(output);
  adapter::JackRecord record{};
  const UCHAR on[4] = {1, 0, 0, 0};
  platform::registry::SetBinary(SettingsPath(), u"SetJackConnect", on);
  sim_->ClearControlLog();
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof record, &record, 1), STATUS_SUCCESS);
  EXPECT_EQ(record.IsConnected, 1u);
  EXPECT_TRUE(sim_->control_log().empty());
  const UCHAR off[4] = {0, 0, 0, 0};
  platform::registry::SetBinary(SettingsPath(), u"SetJackConnect", off);
  terminal->GetJackDescriptions(sizeof record, &record, 2);
  EXPECT_EQ(record.IsConnected, 0u);
  ULONG jacks = 0;
  EXPECT_EQ(terminal->GetState(&jacks, 3), STATUS_INVALID_PARAMETER);
}

TEST_F(OutputTerminalTest, SelectableTypesAreCappedAtFive) {
  StartSwitchable({0x0302, 0x0301, 0x0603, 0x0605, 0x0401, 0x0402, 0x0601});
  uac::CUacUnit* unit = Output();
  ASSERT_NE(unit, nullptr);
  ULONG count = 0;
  static_cast<uac::CUac1OutputTerminal*>(unit)->GetKindCount(&count);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(unit->GetNodeCount(), 6u);
}

TEST_F(OutputTerminalTest, KindSwitchReloadsListenersRegistersAndPublishes) {
  StartSwitchable();
  uac::CUacUnit* feature = Feature();
  uac::CUacUnit* output = Output();
  ASSERT_TRUE(feature && output);
  auto* volume = NodeOf<uac::CUacVolumeControl>(feature, 1);
  auto* kindNode = NodeOf<uac::CUacTerminalKindNode>(output, 3);
  ASSERT_EQ(kindNode->AddKindListener(volume), STATUS_SUCCESS);
  volume->SetEndpointType(adapter::ENDPOINT_SPK, nullptr);
  volume->SetLevel(0, -30 * 65536);
  volume->SetEndpointType(adapter::ENDPOINT_HP, nullptr);
  volume->SetLevel(0, -12 * 65536);

  EXPECT_EQ(kindNode->SetKind(adapter::ENDPOINT_SPK), STATUS_SUCCESS);
  EXPECT_EQ(record_.registered, (std::vector<ULONG>{9}));
  EXPECT_EQ(record_.changes, (std::vector<ULONGLONG>{volume->GetId()}));
  EXPECT_EQ(sim_->GetControl(Key(2, 2, 1)), -30 * 256);
  UCHAR wire[2] = {};
  ULONG got = 0;
  static_cast<uac::CUac1OutputTerminal*>(output)->Vendor(true, 0x81, 0x0800, wire, 2, &got);
  EXPECT_EQ(wire[0] | wire[1] << 8, 0x0301);
  EXPECT_EQ(kindNode->GetId(), 5u);
  EXPECT_EQ(Saved(u"Unit05_"), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(Saved(u"UACUnit09"), (Bytes{1, 0, 0, 0}));

  // A kind the terminal does not list fails and the device keeps the previous type.
  EXPECT_NE(kindNode->SetKind(adapter::ENDPOINT_SPDIF), STATUS_SUCCESS);
  static_cast<uac::CUac1OutputTerminal*>(output)->Vendor(true, 0x81, 0x0800, wire, 2, &got);
  EXPECT_EQ(wire[0] | wire[1] << 8, 0x0301);
  ULONG kind = 0;
  kindNode->GetKind(&kind);
  EXPECT_EQ(kind, adapter::ENDPOINT_SPK);
}

TEST_F(OutputTerminalTest, SavedKindMustBeOneTheTerminalLists) {
  struct Case {
    ULONG saved;
    ULONG expected;
  } cases[] = {{adapter::ENDPOINT_LINE, adapter::ENDPOINT_LINE},
               {adapter::ENDPOINT_SPDIF, adapter::ENDPOINT_HP},
               {0xFFFFFFFF, adapter::ENDPOINT_HP}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.saved);
    StartSwitchable();
    const UCHAR bytes[4] = {static_cast<UCHAR>(c.saved), static_cast<UCHAR>(c.saved >> 8),
                            static_cast<UCHAR>(c.saved >> 16), static_cast<UCHAR>(c.saved >> 24)};
    platform::registry::SetBinary(SettingsPath(), u"UACUnit09", bytes);
    platform::registry::SetBinary(SettingsPath(), u"Unit03_", bytes);
    uac::CUacUnit* unit = Output();
    ASSERT_NE(unit, nullptr);
    ULONG kind = 0;
    static_cast<uac::CUac1OutputTerminal*>(unit)->GetKind(&kind);
    EXPECT_EQ(kind, c.expected);
    ULONG nodeKind = 0;
    NodeOf<uac::CUacTerminalKindNode>(unit, 3)->GetKindCount(&nodeKind);
    EXPECT_EQ(nodeKind, 3u);
    ReleaseUnits();
    TearDownDevice();
  }
}

}  // namespace
}  // namespace unit_test
