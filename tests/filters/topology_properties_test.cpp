// The topology filter's property handlers through the engine client: basic support at
// every size KS uses, GET and SET of every node type with the device's own scaling, the
// private node sets with their table ranges, and the pin properties (jack descriptions
// 1 and 2, the capability record).
#include <gtest/gtest.h>

#include <cstring>

#include "adapter/audio_class.h"
#include "adapter/endpoint_type.h"
#include "filters/topology_property_sets.h"
#include "topology_fixture.h"
#include "uac/control_interfaces.h"

namespace {

using filters::KSPROPSETID_DeviceExtension;
using filters::KSPROPSETID_EffectParameters;
using filters::KSPROPSETID_JackInfo;
using filters::KSPROPSETID_NodeClass;
using filters::KSPROPSETID_TerminalKind;
using filters::KSPROPSETID_ValueTable;
using topology_test::Bytes;
using topology_test::TopologyTest;
using topology_test::U32s;

constexpr ULONG GET = KSPROPERTY_TYPE_GET;
constexpr ULONG SET = KSPROPERTY_TYPE_SET;
constexpr ULONG BASIC = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr LONG kDb = 65536;  // one dB in KS level units

sim::device::DeviceProfile WithModel() {
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  return profile;
}

// A UAC 1.0 device with every feature-unit control on its render path (streaming input
// 1 -> feature unit 2 with mute, volume, bass, mid, treble, AGC and loudness on the
// master channel -> speaker 3) and a two-input selector on a second path (microphone 4
// and line 5 -> selector 6 -> streaming output 7).
usb_device_test::Bytes EveryControlDevice() {
  using usb_device_test::Interface;
  const usb_device_test::Bytes input = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
  const usb_device_test::Bytes feature = {13, 0x24, 6, 2, 1, 2, 0x5F, 0x02, 0, 0, 0, 0, 0};
  const usb_device_test::Bytes speaker = {9, 0x24, 3, 3, 0x01, 0x03, 0, 2, 0};
  const usb_device_test::Bytes mic = {12, 0x24, 2, 4, 0x01, 0x02, 0, 1, 0, 0, 0, 0};
  const usb_device_test::Bytes line = {12, 0x24, 2, 5, 0x03, 0x06, 0, 2, 3, 0, 0, 0};
  const usb_device_test::Bytes selector = {8, 0x24, 5, 6, 2, 4, 5, 0};
  const usb_device_test::Bytes capture = {9, 0x24, 3, 7, 0x01, 0x01, 0, 6, 0};
  const UCHAR total = 9 + 12 + 13 + 9 + 12 + 12 + 8 + 9;
  const usb_device_test::Bytes header = {9, 0x24, 1, 0x00, 0x01, total, 0, 1, 1};
  const usb_device_test::Bytes general = {7, 0x24, 1, 1, 1, 1, 0};
  const usb_device_test::Bytes format = {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00};
  const usb_device_test::Bytes endpoint = {9, 5, 0x01, 0x09, 192, 0, 1, 0, 0};
  const usb_device_test::Bytes csEndpoint = {7, 0x25, 1, 1, 0, 0, 0};
  return usb_device_test::Configuration({Interface(0, 0, 0, 1, 1), header, input, feature, speaker, mic, line, selector,
                                         capture, Interface(1, 0, 0, 1, 2), Interface(1, 1, 1, 1, 2), general, format,
                                         endpoint, csEndpoint});
}

class PropertiesTest : public TopologyTest {
 protected:
  // The node of the first entity of this type.
  ULONG NodeOfType(ULONG type) {
    for (ULONG n = 0; n < Miniport()->GetNodeCount(); ++n)
      if (Miniport()->GetNodeType(n) == type) return n;
    ADD_FAILURE() << "no node of type " << type;
    return 0xFFFFFFFFu;
  }
  NTSTATUS Get(ULONG node, const GUID& set, ULONG id, const Bytes& instance, LONG* value) {
    ULONG returned = 0;
    NTSTATUS status = NodeProperty(node, set, id, GET, instance, value, sizeof(*value), &returned);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(returned, sizeof(*value));
    }
    return status;
  }
  NTSTATUS Set(ULONG node, const GUID& set, ULONG id, const Bytes& instance, LONG value) {
    return NodeProperty(node, set, id, SET, instance, &value, sizeof(value));
  }
  std::int64_t Device(UCHAR unit, UCHAR selector, UCHAR channel = 0) {
    return sim_->GetControl({false, unit, selector, channel}).value_or(-99999);
  }
};

// ---------------------------------------------------------------------------------------
// Basic support

struct SizeRow {
  ULONG size;
  NTSTATUS status;
  ULONG returned;
};

// A two-channel volume of -60 to 0 dB in 1 dB steps: 88 bytes in full.
TEST_F(PropertiesTest, VolumeBasicSupportAtEveryKsSize) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const ULONG volume = NodeOf(5);
  const SizeRow rows[] = {{0, STATUS_BUFFER_TOO_SMALL, 0}, {3, STATUS_BUFFER_TOO_SMALL, 0}, {4, STATUS_SUCCESS, 4},
                          {39, STATUS_SUCCESS, 4},         {40, STATUS_SUCCESS, 40},        {87, STATUS_SUCCESS, 40},
                          {88, STATUS_SUCCESS, 88},        {200, STATUS_SUCCESS, 88}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    Bytes value(row.size, 0xEE);
    ULONG returned = 99;
    EXPECT_EQ(NodeProperty(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, BASIC, U32s({0}),
                           value.empty() ? nullptr : value.data(), row.size, &returned),
              row.status);
    EXPECT_EQ(returned, row.returned);
    if (row.returned >= 4) {
      ULONG access = 0;
      std::memcpy(&access, value.data(), 4);
      EXPECT_EQ(access, 0x203u);
    }
    if (row.returned >= 40) {
      KSPROPERTY_DESCRIPTION d;
      std::memcpy(&d, value.data(), sizeof(d));
      EXPECT_EQ(d.DescriptionSize, 88u);
      EXPECT_TRUE(IsEqualGUID(d.PropTypeSet.Set, KSPROPTYPESETID_General));
      EXPECT_EQ(d.PropTypeSet.Id, ULONG(VT_I4));
      EXPECT_EQ(d.MembersListCount, 1u);
    }
    if (row.returned == 88) {
      KSPROPERTY_MEMBERSHEADER h;
      std::memcpy(&h, value.data() + 40, sizeof(h));
      EXPECT_EQ(h.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
      EXPECT_EQ(h.MembersSize, 16u);
      EXPECT_EQ(h.MembersCount, 2u);
      EXPECT_EQ(h.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL));
      for (int c = 0; c < 2; ++c) {
        KSPROPERTY_STEPPING_LONG r;
        std::memcpy(&r, value.data() + 56 + 16 * c, sizeof(r));
        EXPECT_EQ(r.SteppingDelta, ULONG(kDb));
        EXPECT_EQ(r.Bounds.SignedMinimum, -60 * kDb);
        EXPECT_EQ(r.Bounds.SignedMaximum, 0);
      }
    } else if (row.size > row.returned) {
      EXPECT_EQ(value[row.returned], 0xEE) << "written past the answer";
    }
  }
  // The engine client's two-step read gets the same full answer; the mute node's is the
  // on/off form of one channel.
  Bytes full;
  ASSERT_EQ(Client().NodeBasicSupport(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, &full), STATUS_SUCCESS);
  EXPECT_EQ(full.size(), 88u);
  ASSERT_EQ(Client().NodeBasicSupport(NodeOf(4), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, &full), STATUS_SUCCESS);
  ASSERT_EQ(full.size(), 72u);
  KSPROPERTY_DESCRIPTION d;
  std::memcpy(&d, full.data(), sizeof(d));
  EXPECT_EQ(d.PropTypeSet.Id, ULONG(VT_BOOL));
  KSPROPERTY_STEPPING_LONG r;
  std::memcpy(&r, full.data() + 56, sizeof(r));
  EXPECT_EQ(r.SteppingDelta, 1u);
  EXPECT_EQ(r.Bounds.SignedMinimum, 0);
  EXPECT_EQ(r.Bounds.SignedMaximum, 1);
}

// A two-byte range minimum of 0x8000 is a number (-128 dB), not minus infinity.
TEST_F(PropertiesTest, RangeMinimumOf0x8000IsMinus128Db) {
  Plug("uac1-headset-A.txt", WithModel());
  for (UCHAR channel : {0, 1, 2}) sim_->SetControlRange({false, 5, 2, channel}, -0x8000, 0x0600, 0x0080);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  Bytes full;
  ASSERT_EQ(Client().NodeBasicSupport(NodeOf(5), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, &full), STATUS_SUCCESS);
  ASSERT_EQ(full.size(), 88u);
  KSPROPERTY_STEPPING_LONG r;
  std::memcpy(&r, full.data() + 56, sizeof(r));
  EXPECT_EQ(r.Bounds.SignedMinimum, -128 * kDb);
  EXPECT_EQ(r.Bounds.SignedMaximum, 6 * kDb);
  EXPECT_EQ(r.SteppingDelta, ULONG(kDb / 2));
}

// ---------------------------------------------------------------------------------------
// GET and SET with the device's scaling

struct LevelRow {
  const char* what;
  ULONG type;
  ULONG id;
  UCHAR selector;
  LONG set;               // KS level, 1/65536 dB
  std::int64_t onDevice;  // what the device holds afterwards, in its own units
  LONG get;               // what a GET answers afterwards
};

TEST_F(PropertiesTest, LevelsCrossInTheDevicesOwnUnits) {
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x0001), EveryControlDevice(), WithModel());
  sim_->SetControlRange({false, 2, 2, 0}, -60 * 256, 0, 256);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const LevelRow rows[] = {
      // Volume: 1/256 dB on the wire, sent in whole steps (toward zero), cached as asked.
      {"volume -10 dB", adapter::NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, -10 * kDb, -10 * 256, -10 * kDb},
      {"volume -10.5 dB", adapter::NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, -10 * kDb - kDb / 2, -10 * 256,
       -10 * kDb - kDb / 2},
      {"volume above the top", adapter::NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, 3 * kDb, 0, 0},
      {"volume below the bottom", adapter::NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, -70 * kDb, -60 * 256,
       -60 * kDb},
      {"volume minus infinity", adapter::NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, LONG(0x80000000u), -0x8000,
       LONG(0x80000000u)},
      // Tone: 1/4 dB in one byte, -12 to +12 dB in 1 dB steps.
      {"bass +6 dB", adapter::NODE_BASS, KSPROPERTY_AUDIO_BASS, 3, 6 * kDb, 24, 6 * kDb},
      {"mid -3 dB", adapter::NODE_MID, KSPROPERTY_AUDIO_MID, 4, -3 * kDb, -12, -3 * kDb},
      {"treble +2.5 dB", adapter::NODE_TREBLE, KSPROPERTY_AUDIO_TREBLE, 5, 2 * kDb + kDb / 2, 8, 2 * kDb + kDb / 2},
      {"treble +20 dB", adapter::NODE_TREBLE, KSPROPERTY_AUDIO_TREBLE, 5, 20 * kDb, 48, 12 * kDb},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const ULONG node = NodeOfType(row.type);
    EXPECT_EQ(Set(node, KSPROPSETID_Audio, row.id, U32s({0}), row.set), STATUS_SUCCESS);
    EXPECT_EQ(Device(2, row.selector), row.onDevice);
    LONG value = 0;
    EXPECT_EQ(Get(node, KSPROPSETID_Audio, row.id, U32s({0}), &value), STATUS_SUCCESS);
    EXPECT_EQ(value, row.get);
  }
}

struct SwitchRow {
  ULONG type;
  ULONG id;
  UCHAR selector;
};

TEST_F(PropertiesTest, SwitchesAndTheMultiplexer) {
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x0001), EveryControlDevice(), WithModel());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const SwitchRow rows[] = {{adapter::NODE_MUTE, KSPROPERTY_AUDIO_MUTE, 1},
                            {adapter::NODE_AGC, KSPROPERTY_AUDIO_AGC, 7},
                            {adapter::NODE_LOUDNESS, KSPROPERTY_AUDIO_LOUDNESS, 10}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    const ULONG node = NodeOfType(row.type);
    for (LONG set : {5, 0, 1}) {
      EXPECT_EQ(Set(node, KSPROPSETID_Audio, row.id, U32s({0}), set), STATUS_SUCCESS);
      EXPECT_EQ(Device(2, row.selector), set ? 1 : 0);
      LONG value = -1;
      EXPECT_EQ(Get(node, KSPROPSETID_Audio, row.id, U32s({0}), &value), STATUS_SUCCESS);
      EXPECT_EQ(value, set ? 1 : 0);
    }
    LONG value = 0;
    EXPECT_EQ(Get(node, KSPROPSETID_Audio, row.id, U32s({1}), &value), STATUS_INVALID_PARAMETER);  // one channel
    EXPECT_EQ(Get(node, KSPROPSETID_Audio, row.id, {}, &value), STATUS_INVALID_PARAMETER);         // no channel
  }
  // A tone node answers only its own property.
  LONG value = 0;
  EXPECT_EQ(Get(NodeOfType(adapter::NODE_BASS), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, U32s({0}), &value),
            STATUS_INVALID_PARAMETER);

  // The selector's input is the mux's input pin, both counted from 1.
  const ULONG mux = NodeOfType(adapter::NODE_SELECTOR);
  EXPECT_EQ(Set(mux, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, {}, 2), STATUS_SUCCESS);
  EXPECT_EQ(Device(6, 0), 2);
  EXPECT_EQ(Get(mux, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, {}, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(Set(mux, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, {}, 3), STATUS_INVALID_PARAMETER);
  USHORT shortValue = 1;
  EXPECT_EQ(NodeProperty(mux, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, SET, {}, &shortValue, 2),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Device(6, 0), 2);
  // No basic support for the mux: the framework's own answer.
  ULONG access = 0;
  EXPECT_EQ(NodeProperty(mux, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, BASIC, {}, &access, 4), STATUS_SUCCESS);
  EXPECT_EQ(access, ULONG(GET | SET | BASIC));
}

// ---------------------------------------------------------------------------------------
// Private node types, on a model of plain nodes and doubles

class PrivateNodesTest : public PropertiesTest {
 protected:
  void SetUp() override {
    PropertiesTest::SetUp();
    using namespace topology_test;
    StartModel([this](platform::testing::CProbeHal* hal) {
      return AddEntities(hal, {NewInputTerminal(0, 0), NewLevel(1, adapter::NODE_INPUT_GAIN_PAD, 0, 2, 12 * kDb, -12 * kDb, kDb),
                               NewTerminalKind(2, 1, {1, 2, 17}),
                               NewPrivateNode(3, adapter::NODE_CAPTURE_SWITCH, 0, nullptr, 2),
                               NewPrivateNode(4, adapter::NODE_RANGED_VALUE, 0, nullptr, 3),
                               NewSwitch(5, adapter::NODE_VENDOR_SWITCH, 4, 1),
                               NewPrivateNode(6, adapter::NODE_CAPTURE_VENDOR_SWITCH, 0, nullptr, 5),
                               NewPrivateNode(7, adapter::NODE_VALUE_TABLE, 8, &tableLog_, 6),
                               NewSwitch(8, adapter::NODE_GAIN_SWITCH, 7, 1),
                               NewPrivateNode(9, adapter::NODE_VENDOR_EFFECT, 6, &effectLog_, 8), NewSelector(10, {9}),
                               NewOutputTerminal(11, 10, 1)});
    });
    ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  }
  // Reads a BASICSUPPORT answer in full.
  Bytes Basic(ULONG node) {
    Bytes answer(400, 0);
    ULONG returned = 0;
    EXPECT_EQ(NodeProperty(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, BASIC, {}, answer.data(), 400,
                           &returned),
              STATUS_SUCCESS);
    answer.resize(returned);
    return answer;
  }
  void CheckRanges(ULONG node, const GUID& set, ULONG getRange, ULONG setRange, ULONG entry, ULONG entries);
  topology_test::TableLog tableLog_, effectLog_;
};

struct BasicRow {
  ULONG entity;
  ULONG access;
  ULONG type;
  ULONG size;
  ULONG membersFlags;  // 0: no members
};

TEST_F(PrivateNodesTest, DeviceSpecificBasicSupportByNodeType) {
  const BasicRow rows[] = {
      {1, 0x203, VT_I4, 92, KSPROPERTY_MEMBER_VALUES},    {2, 0x202, VT_I4, 80, KSPROPERTY_MEMBER_VALUES},
      {3, 0x202, VT_BOOL, 80, KSPROPERTY_MEMBER_VALUES},  {4, 0x203, VT_UI4, 64, KSPROPERTY_MEMBER_RANGES},
      {5, 0x203, VT_BOOL, 40, 0},                         {6, 0x202, VT_BOOL, 80, KSPROPERTY_MEMBER_VALUES},
      {7, 0x202, VT_I4, 80, KSPROPERTY_MEMBER_VALUES},    {8, 0x203, VT_BOOL, 40, 0},
      {9, 0x202, VT_BOOL, 80, KSPROPERTY_MEMBER_VALUES},  {10, 0x202, VT_UI4, 64, KSPROPERTY_MEMBER_RANGES},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.entity);
    const Bytes answer = Basic(NodeOf(row.entity));
    ASSERT_EQ(answer.size(), row.size);
    KSPROPERTY_DESCRIPTION d;
    std::memcpy(&d, answer.data(), sizeof(d));
    EXPECT_EQ(d.AccessFlags, row.access);
    EXPECT_EQ(d.PropTypeSet.Id, row.type);
    EXPECT_EQ(d.DescriptionSize, row.size);
    EXPECT_EQ(d.MembersListCount, row.membersFlags ? 1u : 0u);
    if (!row.membersFlags) continue;
    KSPROPERTY_MEMBERSHEADER h;
    std::memcpy(&h, answer.data() + 40, sizeof(h));
    EXPECT_EQ(h.MembersFlags, row.membersFlags);
    EXPECT_EQ(h.MembersCount, 1u);
    EXPECT_EQ(40 + 16 + h.MembersSize, row.size);
    if (row.membersFlags == KSPROPERTY_MEMBER_VALUES) {
      // {size, the node class, ...}: the class the node-class property answers too.
      ULONG size = 0;
      GUID nodeClass;
      std::memcpy(&size, answer.data() + 56, 4);
      std::memcpy(&nodeClass, answer.data() + 60, sizeof(GUID));
      EXPECT_EQ(size, h.MembersSize);
      GUID asked{};
      ULONG returned = 0;
      EXPECT_EQ(NodeProperty(NodeOf(row.entity), KSPROPSETID_NodeClass, filters::KSPROPERTY_NODECLASS_GUID, GET, {},
                             &asked, sizeof(asked), &returned),
                STATUS_SUCCESS);
      EXPECT_TRUE(IsEqualGUID(asked, nodeClass));
    }
  }
  // The gain pad's member carries its range: maximum, minimum, step.
  const Bytes pad = Basic(NodeOf(1));
  LONG range[3];
  std::memcpy(range, pad.data() + 80, sizeof(range));
  EXPECT_EQ(range[0], 12 * kDb);
  EXPECT_EQ(range[1], -12 * kDb);
  EXPECT_EQ(range[2], kDb);
  // The ranged value's unsigned range: {minimum, maximum}.
  const Bytes ranged = Basic(NodeOf(4));
  ULONG bounds[2];
  std::memcpy(bounds, ranged.data() + 56, sizeof(bounds));
  EXPECT_EQ(bounds[0], 100u);
  EXPECT_EQ(bounds[1], 900u);
  // The node class wants 16 bytes.
  GUID nodeClass{};
  EXPECT_EQ(NodeProperty(NodeOf(1), KSPROPSETID_NodeClass, filters::KSPROPERTY_NODECLASS_GUID, GET, {}, &nodeClass, 8),
            STATUS_INVALID_PARAMETER);
}

struct ValueRow {
  ULONG entity;
  Bytes instance;
  LONG set;
  NTSTATUS setStatus;
  LONG get;  // what a GET answers afterwards
  NTSTATUS getStatus;
};

TEST_F(PrivateNodesTest, DeviceSpecificValuesByNodeType) {
  const ValueRow rows[] = {
      {1, U32s({1}), -3 * kDb, STATUS_SUCCESS, -3 * kDb, STATUS_SUCCESS},  // gain pad, channel 1
      {3, {}, 7, STATUS_SUCCESS, 7, STATUS_SUCCESS},                      // capture switch
      {4, {}, 450, STATUS_SUCCESS, 450, STATUS_SUCCESS},                  // ranged value
      {5, {}, 9, STATUS_SUCCESS, 1, STATUS_SUCCESS},                      // vendor switch: on
      {6, {}, 0, STATUS_SUCCESS, 0, STATUS_SUCCESS},                      // capture vendor switch
      {8, {}, 1, STATUS_SUCCESS, 1, STATUS_SUCCESS},                      // gain switch
      {9, {}, 0x301, STATUS_SUCCESS, 1, STATUS_SUCCESS},                  // effect: the low byte
      {10, {}, 5, STATUS_SUCCESS, 0, STATUS_UNSUCCESSFUL},                // one-input selector: accepted, no value
      {7, {}, 5, STATUS_SUCCESS, 0, STATUS_INVALID_DEVICE_REQUEST},       // value table: SET only
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.entity);
    const ULONG node = NodeOf(row.entity);
    EXPECT_EQ(Set(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, row.instance, row.set), row.setStatus);
    LONG value = 0;
    EXPECT_EQ(Get(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, row.instance, &value), row.getStatus);
    if (NT_SUCCESS(row.getStatus)) {
      EXPECT_EQ(value, row.get);
    }
  }
  // The gain pad needs its channel; every SET needs four bytes.
  LONG value = 0;
  EXPECT_EQ(Get(NodeOf(1), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, {}, &value), STATUS_INVALID_PARAMETER);
  USHORT two = 1;
  EXPECT_EQ(NodeProperty(NodeOf(3), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, &two, 2),
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PrivateNodesTest, TerminalKindsAreListedAndSwitched) {
  const ULONG node = NodeOf(2);
  ULONG needed = 0;
  EXPECT_EQ(NodeProperty(node, KSPROPSETID_TerminalKind, filters::KSPROPERTY_TERMINALKIND_KINDS, GET, {}, nullptr, 0,
                         &needed),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, 8u + 3 * 4);
  Bytes kinds(needed - 1);
  EXPECT_EQ(NodeProperty(node, KSPROPSETID_TerminalKind, filters::KSPROPERTY_TERMINALKIND_KINDS, GET, {}, kinds.data(),
                         needed - 1),
            STATUS_BUFFER_TOO_SMALL);
  kinds.assign(needed, 0);
  ASSERT_EQ(NodeProperty(node, KSPROPSETID_TerminalKind, filters::KSPROPERTY_TERMINALKIND_KINDS, GET, {}, kinds.data(),
                         needed),
            STATUS_SUCCESS);
  EXPECT_EQ(kinds, (Bytes{20, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 17, 0, 0, 0}));
  EXPECT_EQ(Set(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, {}, 17), STATUS_SUCCESS);
  LONG kind = 0;
  EXPECT_EQ(Get(node, KSPROPSETID_TerminalKind, filters::KSPROPERTY_TERMINALKIND_KIND, {}, &kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, 17);
  EXPECT_EQ(Set(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, {}, 3), STATUS_INVALID_PARAMETER);
}

// Value-table and effect ranges: first and count are checked without overflow against
// the entry count, size queries answer the size a range needs, and entries are read only
// by an index below the count. The doubles fail the test if anything out of bounds
// reaches them.
struct RangeRow {
  const char* what;
  ULONG verb;
  Bytes instance;
  ULONG valueSize;
  NTSTATUS status;
  ULONG returned;
};

void PrivateNodesTest::CheckRanges(ULONG node, const GUID& set, ULONG getRange, ULONG setRange, ULONG entry,
                 ULONG entries) {
  const RangeRow rows[] = {
      {"size query", GET, U32s({2, 3}), 0, STATUS_BUFFER_OVERFLOW, 20},
      {"short buffer", GET, U32s({2, 3}), 19, STATUS_BUFFER_TOO_SMALL, 0},
      {"exact buffer", GET, U32s({2, 3}), 20, STATUS_SUCCESS, 20},
      {"up to the end", GET, U32s({entries - 2, 2}), 16, STATUS_SUCCESS, 16},
      {"empty range at the end", GET, U32s({entries, 0}), 8, STATUS_SUCCESS, 8},
      {"past the end", GET, U32s({entries - 1, 2}), 64, STATUS_INVALID_PARAMETER, 0},
      {"first wraps", GET, U32s({0xFFFFFFFFu, 2}), 64, STATUS_INVALID_PARAMETER, 0},
      {"count wraps the size", GET, U32s({0, 0x40000001u}), 0, STATUS_INVALID_PARAMETER, 0},
      {"no count", GET, U32s({0}), 64, STATUS_INVALID_PARAMETER, 0},
      {"set two", SET, U32s({1, 2, 77, 88}), 4, STATUS_SUCCESS, 0},
      {"set count above the values", SET, U32s({1, 3, 77, 88}), 4, STATUS_INVALID_PARAMETER, 0},
      {"set count below the values", SET, U32s({1, 1, 77, 88}), 4, STATUS_INVALID_PARAMETER, 0},
      {"set past the end", SET, U32s({entries - 1, 2, 77, 88}), 4, STATUS_INVALID_PARAMETER, 0},
      {"set first wraps", SET, U32s({0xFFFFFFFFu, 1, 77}), 4, STATUS_INVALID_PARAMETER, 0},
      {"set without values", SET, U32s({1, 0}), 4, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes value(row.valueSize + 8, 0xEE);
    ULONG returned = 0;
    EXPECT_EQ(NodeProperty(node, set, row.verb == GET ? getRange : setRange, row.verb, row.instance,
                                 row.valueSize ? value.data() : nullptr, row.valueSize, &returned),
              row.status);
    EXPECT_EQ(returned, row.returned);
    if (row.status == STATUS_SUCCESS && row.verb == GET) {
      KSMULTIPLE_ITEM header;
      std::memcpy(&header, value.data(), sizeof(header));
      EXPECT_EQ(header.Size, row.returned);
      EXPECT_EQ(header.Count, (row.returned - 8) / 4);
    }
  }
  // The SET landed: entries 1 and 2 read back.
  Bytes value(16);
  ASSERT_EQ(NodeProperty(node, set, getRange, GET, U32s({1, 2}), value.data(), 16), STATUS_SUCCESS);
  EXPECT_EQ(value, (Bytes{16, 0, 0, 0, 2, 0, 0, 0, 77, 0, 0, 0, 88, 0, 0, 0}));
  // One entry by index.
  ULONG fields[3] = {};
  ULONG returned = 0;
  EXPECT_EQ(NodeProperty(node, set, entry, GET, U32s({entries - 1}), fields, 12, &returned), STATUS_SUCCESS);
  EXPECT_EQ(fields[0], entries - 1);
  EXPECT_EQ(fields[1], 1000 + entries - 1);
  EXPECT_EQ(NodeProperty(node, set, entry, GET, U32s({entries}), fields, 12), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(NodeProperty(node, set, entry, GET, U32s({0xFFFFFFFFu}), fields, 12), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(NodeProperty(node, set, entry, GET, U32s({0}), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 12u);
}

TEST_F(PrivateNodesTest, ValueTableRangesStayInsideTheTable) {
  const ULONG node = NodeOf(7);
  CheckRanges(node, KSPROPSETID_ValueTable, filters::KSPROPERTY_VALUETABLE_GET_RANGE,
              filters::KSPROPERTY_VALUETABLE_SET_RANGE, filters::KSPROPERTY_VALUETABLE_ENTRY, 8);
  EXPECT_EQ(tableLog_.writes, (std::vector<std::pair<ULONG, ULONG>>{{1, 2}}));
  LONG count = 0;
  EXPECT_EQ(Get(node, KSPROPSETID_ValueTable, filters::KSPROPERTY_VALUETABLE_COUNT, {}, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 8);
  GUID table{};
  EXPECT_EQ(NodeProperty(node, KSPROPSETID_ValueTable, filters::KSPROPERTY_VALUETABLE_GUID, GET, {}, &table, 16),
            STATUS_SUCCESS);
  EXPECT_EQ(table.Data1, 0x4F1A5C2Eu);
}

TEST_F(PrivateNodesTest, EffectParameterRangesStayInsideTheTable) {
  const ULONG node = NodeOf(9);
  CheckRanges(node, KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_RANGE,
              filters::KSPROPERTY_EFFECT_RANGE, filters::KSPROPERTY_EFFECT_ENTRY, 6);
  EXPECT_EQ(effectLog_.writes, (std::vector<std::pair<ULONG, ULONG>>{{1, 2}}));
  LONG parameter = 0;
  EXPECT_EQ(Get(node, KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_PARAMETER, {}, &parameter),
            STATUS_SUCCESS);
  EXPECT_EQ(parameter, 6);
  GUID type{};
  EXPECT_EQ(NodeProperty(node, KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_NODE_TYPE, GET, {}, &type, 16),
            STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(type, *Descriptor()->Nodes[node].Name));
}

// ---------------------------------------------------------------------------------------
// Pin properties

adapter::JackRecord Jack(ULONG mapping, ULONG color, ULONG type, ULONG geo, ULONG gen, ULONG port, ULONG flags,
                         ULONG connected) {
  return {mapping, color, type, geo, gen, port, flags, connected, 1};
}

class JackTest : public PropertiesTest {
 protected:
  void SetUp() override {
    PropertiesTest::SetUp();
    using namespace topology_test;
    StartModel([](platform::testing::CProbeHal* hal) {
      return AddEntities(hal, {NewInputTerminal(0, adapter::ENDPOINT_STREAM),
                               NewOutputTerminal(1, 0, adapter::ENDPOINT_HP,
                                                 {Jack(3, 0x00FF00, 1, 2, 0, 0, 0, 1), Jack(0x30, 0x0000FF, 6, 1, 1, 1, 1, 0)})});
    });
    ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  }
};

TEST_F(JackTest, JackDescriptionsOneAndTwo) {
  // Pin 0 is the streaming input without jacks, pin 1 the headphones with two.
  for (auto [set, id] : {std::pair{KSPROPSETID_Jack, ULONG(KSPROPERTY_JACK_DESCRIPTION)},
                         {KSPROPSETID_DeviceExtension, filters::KSPROPERTY_DEVICEEXTENSION_JACK_DESCRIPTION}}) {
    ULONG needed = 0;
    EXPECT_EQ(PinProperty(1, set, id, GET, nullptr, 0, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 8u + 2 * 28);
    Bytes value(needed);
    EXPECT_EQ(PinProperty(1, set, id, GET, value.data(), needed - 1), STATUS_BUFFER_TOO_SMALL);
    ULONG returned = 0;
    ASSERT_EQ(PinProperty(1, set, id, GET, value.data(), needed, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, needed);
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, value.data(), sizeof(header));
    EXPECT_EQ(header.Size, needed);
    EXPECT_EQ(header.Count, 2u);
    KSJACK_DESCRIPTION d[2];
    std::memcpy(d, value.data() + 8, sizeof(d));
    EXPECT_EQ(d[0].ChannelMapping, 3u);
    EXPECT_EQ(d[0].Color, 0x00FF00u);
    EXPECT_EQ(d[0].ConnectionType, eConnType3Point5mm);
    EXPECT_EQ(d[0].GeoLocation, eGeoLocFront);
    EXPECT_EQ(d[0].IsConnected, 1);
    EXPECT_EQ(d[1].ChannelMapping, 0x30u);
    EXPECT_EQ(d[1].ConnectionType, eConnTypeOtherDigital);
    EXPECT_EQ(d[1].GenLocation, eGenLocInternal);
    EXPECT_EQ(d[1].PortConnection, ePortConnIntegratedDevice);
    EXPECT_EQ(d[1].IsConnected, 0);
    EXPECT_EQ(PinProperty(0, set, id, GET, value.data(), needed), STATUS_INVALID_DEVICE_REQUEST);  // no jacks
    EXPECT_EQ(PinProperty(2, set, id, GET, value.data(), needed), STATUS_INVALID_DEVICE_REQUEST);  // no such pin
  }
  ULONG needed = 0;
  EXPECT_EQ(PinProperty(1, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET, nullptr, 0, &needed),
            STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(needed, 8u + 2 * 8);
  Bytes value(needed);
  ASSERT_EQ(PinProperty(1, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET, value.data(), needed), STATUS_SUCCESS);
  KSJACK_DESCRIPTION2 d[2];
  std::memcpy(d, value.data() + 8, sizeof(d));
  EXPECT_EQ(d[0].DeviceStateInfo, 0u);
  EXPECT_EQ(d[0].JackCapabilities, JACKDESC2_PRESENCE_DETECT_CAPABILITY);
  EXPECT_EQ(d[1].JackCapabilities, 0u);  // its reserved word has bit 0 set
}

TEST_F(JackTest, PinBasicSupportAndTheFiltersOwnProperties) {
  const SizeRow rows[] = {{0, STATUS_BUFFER_TOO_SMALL, 0}, {4, STATUS_SUCCESS, 4}, {40, STATUS_SUCCESS, 40},
                          {100, STATUS_SUCCESS, 40}};
  for (const GUID* set : {&KSPROPSETID_Jack, &KSPROPSETID_JackInfo}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.size);
      Bytes value(row.size + 1, 0);
      ULONG returned = 0;
      EXPECT_EQ(PinProperty(1, *set, 1, BASIC, row.size ? value.data() : nullptr, row.size, &returned), row.status);
      EXPECT_EQ(returned, row.returned);
      ULONG access = 0;
      if (row.returned) std::memcpy(&access, value.data(), 4);
      if (row.returned) {
        EXPECT_EQ(access, 0x201u);
      }
      if (row.returned == 40) {
        KSPROPERTY_DESCRIPTION d;
        std::memcpy(&d, value.data(), sizeof(d));
        EXPECT_EQ(d.DescriptionSize, 40u);
        EXPECT_TRUE(IsEqualGUID(d.PropTypeSet.Set, GUID_NULL));
        EXPECT_EQ(d.MembersListCount, 0u);
      }
    }
  }
  // The capability record of the pin's terminal: 32 bytes.
  adapter::EndpointCapabilityRecord record{};
  ULONG returned = 0;
  EXPECT_EQ(PinProperty(1, KSPROPSETID_JackInfo, 1, GET, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 32u);
  EXPECT_EQ(PinProperty(1, KSPROPSETID_JackInfo, 1, GET, &record, 31), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(PinProperty(1, KSPROPSETID_JackInfo, 1, GET, &record, 32, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 32u);
  // The device-extension version, and a short buffer for it.
  ULONG version = 0;
  EXPECT_EQ(FilterProperty(KSPROPSETID_DeviceExtension, filters::KSPROPERTY_DEVICEEXTENSION_VERSION, GET, &version, 4),
            STATUS_SUCCESS);
  EXPECT_EQ(version, 0x30000u);
  EXPECT_EQ(FilterProperty(KSPROPSETID_DeviceExtension, filters::KSPROPERTY_DEVICEEXTENSION_VERSION, GET, &version, 2),
            STATUS_INVALID_PARAMETER);
  // A pin request without a pin number.
  KSPROPERTY bare{};
  bare.Set = KSPROPSETID_Jack;
  bare.Id = KSPROPERTY_JACK_DESCRIPTION;
  bare.Flags = GET;
  Bytes value(100);
  EXPECT_EQ(Client().Raw().Property(&bare, sizeof(bare), value.data(), 100, &returned), STATUS_INVALID_DEVICE_REQUEST);
}

// Jack descriptions of the shared headset's pins match what its terminals hold.
TEST_F(PropertiesTest, DeviceTerminalsDescribeTheirJacks) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  for (ULONG pin = 0; pin < Miniport()->GetPinCount(); ++pin) {
    SCOPED_TRACE(pin);
    PVOID itf = nullptr;
    ASSERT_EQ(Miniport()->GetPinEntity(pin)->QueryInterface(adapter::IID_ITerminalNode, &itf), STATUS_SUCCESS);
    auto* terminal = static_cast<adapter::ITerminalNode*>(itf);
    ULONG count = 0;
    terminal->GetState(&count, 0);
    std::vector<adapter::JackRecord> jacks(count);
    if (count) terminal->GetJackDescriptions(count * 36, jacks.data(), 0);
    adapter::EndpointCapabilityRecord record{}, shown{};
    terminal->GetJackInfo(&record);
    terminal->Release();
    EXPECT_EQ(PinProperty(pin, KSPROPSETID_JackInfo, 1, GET, &shown, 32), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&record, &shown, 32), 0);
    Bytes value(8 + 28 * count + 4);
    ULONG returned = 0;
    const NTSTATUS status =
        PinProperty(pin, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET, value.data(), ULONG(value.size()), &returned);
    if (count == 0) {
      EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(returned, 8 + 28 * count);
    for (ULONG j = 0; j < count; ++j) {
      KSJACK_DESCRIPTION d;
      std::memcpy(&d, value.data() + 8 + 28 * j, sizeof(d));
      EXPECT_EQ(d.ChannelMapping, jacks[j].ChannelMapping);
      EXPECT_EQ(d.Color, jacks[j].Color);
      EXPECT_EQ(ULONG(d.ConnectionType), jacks[j].ConnectionType);
      EXPECT_EQ(ULONG(d.GeoLocation), jacks[j].GeoLocation);
      EXPECT_EQ(ULONG(d.IsConnected), jacks[j].IsConnected);
    }
  }
}

}  // namespace
