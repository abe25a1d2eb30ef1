// The topology filter's descriptor as the engine client reads it: pins, nodes and
// connections of every shared device file the driver builds, checked against an
// independent reading of the model; the exact layout of one headset; the pin map; and
// the graphs a walk without memory would choke on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <tuple>

#include "adapter/audio_class.h"
#include "adapter/endpoint_type.h"
#include "adapter/settings.h"
#include "filters/topology_property_sets.h"
#include "kernel/rtl.h"
#include "support/fault_sweep.h"
#include "bridge_pin.h"
#include "topology_fixture.h"

namespace {

using topology_test::TopologyTest;
using Edge = std::tuple<ULONG, ULONG, ULONG, ULONG>;

sim::device::DeviceProfile WithModel() {
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  return profile;
}

// What the filter should show, read from the model without the miniport's walk: pins are
// the terminals (streaming ones first, last found first), nodes every other entity but
// clocks in reverse order, and the connections are every input of every node reachable
// upstream from an output terminal, found breadth-first.
struct Expected {
  std::vector<ULONG> pinIds, pinKinds, pinTypes, nodeIds;
  std::set<Edge> edges;
};

Expected ReadModel(adapter::IAudioHal* model) {
  Expected e;
  std::vector<ULONG> streaming, others;
  std::map<ULONG, adapter::IUacEntity*> byId;
  std::map<ULONG, ULONG> kinds, types;
  for (ULONG i = 0; i < model->GetEntityCount(); ++i) {
    adapter::IUacEntity* entity = nullptr;
    EXPECT_EQ(model->GetEntity(i, &entity), STATUS_SUCCESS);
    const ULONG type = entity->GetType();
    byId[entity->GetId()] = entity;
    types[entity->GetId()] = type;
    if (type == 0 || type == 1) {
      PVOID itf = nullptr;
      if (!NT_SUCCESS(entity->QueryInterface(adapter::IID_ITerminalNode, &itf))) continue;
      auto* terminal = static_cast<adapter::ITerminalNode*>(itf);
      ULONG kind = 0;
      terminal->GetKind(&kind);
      terminal->Release();
      kinds[entity->GetId()] = kind;
      (kind == 0 ? streaming : others).push_back(entity->GetId());
    } else if (type != adapter::NODE_CLOCK_RATE) {
      e.nodeIds.insert(e.nodeIds.begin(), entity->GetId());
    }
  }
  std::reverse(streaming.begin(), streaming.end());
  e.pinIds = streaming;
  e.pinIds.insert(e.pinIds.end(), others.begin(), others.end());
  auto pinOf = [&](ULONG id) { return ULONG(std::find(e.pinIds.begin(), e.pinIds.end(), id) - e.pinIds.begin()); };
  auto nodeOf = [&](ULONG id) { return ULONG(std::find(e.nodeIds.begin(), e.nodeIds.end(), id) - e.nodeIds.begin()); };
  for (ULONG id : e.pinIds) {
    e.pinKinds.push_back(kinds[id]);
    e.pinTypes.push_back(types[id]);
  }
  std::deque<ULONG> queue;
  std::set<ULONG> seen;
  auto feed = [&](ULONG source, ULONG toNode, ULONG toPin) {
    if (nodeOf(source) < e.nodeIds.size()) {
      e.edges.insert({nodeOf(source), 0, toNode, toPin});
      if (seen.insert(source).second) queue.push_back(source);
    } else {
      EXPECT_LT(pinOf(source), e.pinIds.size()) << "source " << source << " is neither node nor pin";
      e.edges.insert({PCFILTER_NODE, pinOf(source), toNode, toPin});
    }
  };
  for (ULONG p = 0; p < e.pinIds.size(); ++p) {
    if (e.pinTypes[p] != 1) continue;
    ULONG count = 0;
    const ULONG* sources = nullptr;
    byId[e.pinIds[p]]->GetSources(&count, &sources);
    if (count) feed(sources[0], PCFILTER_NODE, p);
  }
  while (!queue.empty()) {
    const ULONG id = queue.front();
    queue.pop_front();
    ULONG count = 0;
    const ULONG* sources = nullptr;
    byId[id]->GetSources(&count, &sources);
    if (count == 0) e.edges.insert({PCFILTER_NODE, pinOf(id), nodeOf(id), 1});
    for (ULONG i = 0; i < count; ++i) feed(sources[i], nodeOf(id), i + 1);
  }
  return e;
}

// ---------------------------------------------------------------------------------------
// Every shared device file the driver builds

class DeviceFileTopology : public TopologyTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DeviceFileTopology, ShowsTheModelsTerminalsNodesAndConnections) {
  StartDevice(GetParam(), WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const Expected expected = ReadModel(Model());
  sim::engine::FilterDescription d;
  ASSERT_EQ(Client().ReadDescription(&d), STATUS_SUCCESS);

  ASSERT_EQ(d.categories.size(), 3u);
  EXPECT_TRUE(IsEqualGUID(d.categories[0], KSCATEGORY_AUDIO));
  EXPECT_TRUE(IsEqualGUID(d.categories[1], KSCATEGORY_TOPOLOGY));
  ASSERT_EQ(d.pins.size(), expected.pinIds.size());
  for (ULONG p = 0; p < d.pins.size(); ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(d.pins[p].dataFlow, expected.pinTypes[p] == 0 ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(d.pins[p].communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(d.pins[p].instances.PossibleCount, 0u);
    ASSERT_EQ(d.pins[p].dataRanges.size(), 1u);
    KSDATARANGE range;
    std::memcpy(&range, d.pins[p].dataRanges[0].data(), sizeof(range));
    EXPECT_TRUE(IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
    if (expected.pinKinds[p] == adapter::ENDPOINT_STREAM) {
      EXPECT_TRUE(IsEqualGUID(d.pins[p].category, KSCATEGORY_AUDIO));
    }
  }
  EXPECT_EQ(d.nodeTypes.size(), expected.nodeIds.size());

  std::set<Edge> shown;
  for (const auto& c : d.connections)
    EXPECT_TRUE(shown.insert({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin}).second) << "a connection twice";
  EXPECT_EQ(shown, expected.edges);
  // Every output terminal is fed once.
  for (ULONG p = 0; p < d.pins.size(); ++p) {
    if (expected.pinTypes[p] != 1) continue;
    EXPECT_EQ(std::count_if(d.connections.begin(), d.connections.end(),
                            [&](const KSTOPOLOGY_CONNECTION& c) { return c.ToNode == PCFILTER_NODE && c.ToNodePin == p; }),
              1)
        << "pin " << p;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SharedDevices, DeviceFileTopology,
    ::testing::Values("uac1-class-example-microphone.txt", "uac1-dac-dongle-A.txt", "uac1-djmixer-A.txt",
                      "uac1-headset-A.txt", "uac1-headset-amp-F.txt", "uac1-headset-wireless-D.txt",
                      "uac1-microphone-A.txt", "uac1-soundcard-D.txt", "uac1-speaker-A.txt",
                      "uac1-webcam-mic-A.txt", "uac1-webcam-mic-B.txt", "uac1-webcam-mic-C.txt",
                      "uac1-webcam-mic-D.txt", "uac1-webcam-mic-G.txt", "uac2-linux-gadget-K.txt",
                      "uac2-uac3-dongle-J.txt"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      std::string name = info.param;
      name = name.substr(0, name.find('.'));
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// The device whose only function has no control nodes gives no output terminal: the
// filter is not built and nothing is registered.
TEST_F(TopologyTest, ADeviceWithoutOutputTerminalGetsNoTopologyFilter) {
  StartDevice("uac1-djcontroller-C.txt", WithModel());
  EXPECT_EQ(InstallTopology(), STATUS_UNSUCCESSFUL);
  const auto filters = sim::engine::EnumerateFilters();
  EXPECT_TRUE(std::none_of(filters.begin(), filters.end(), [](const auto& f) { return f.name == u"RuveruZuze"; }));
}

// ---------------------------------------------------------------------------------------
// One headset in full

// Entities of the headset: 0 streaming input, 1 microphone, 2 streaming output, 3
// speaker, 4 mute, 5 volume (speaker path); 6 mute, 7 volume, 8 one-input selector
// (microphone path).
TEST_F(TopologyTest, HeadsetLayoutIsStreamingPinsFirstNodesReversedConnectionsOnce) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  sim::engine::FilterDescription d;
  ASSERT_EQ(Client().ReadDescription(&d), STATUS_SUCCESS);

  struct PinRow {
    ULONG entity;
    KSPIN_DATAFLOW flow;
    GUID category;
  };
  const PinRow pins[] = {{2, KSPIN_DATAFLOW_OUT, KSCATEGORY_AUDIO},
                         {0, KSPIN_DATAFLOW_IN, KSCATEGORY_AUDIO},
                         {1, KSPIN_DATAFLOW_IN, KSNODETYPE_MICROPHONE},
                         {3, KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER}};
  ASSERT_EQ(d.pins.size(), 4u);
  for (ULONG p = 0; p < 4; ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(d.pins[p].dataFlow, pins[p].flow);
    EXPECT_TRUE(IsEqualGUID(d.pins[p].category, pins[p].category));
    ULONG mapped = 99;
    EXPECT_EQ(Miniport()->MapPin(pins[p].entity, &mapped), STATUS_SUCCESS);
    EXPECT_EQ(mapped, p);
  }
  const GUID nodes[] = {KSNODETYPE_DEV_SPECIFIC, KSNODETYPE_VOLUME, KSNODETYPE_MUTE, KSNODETYPE_VOLUME,
                        KSNODETYPE_MUTE};
  ASSERT_EQ(d.nodeTypes.size(), 5u);
  for (ULONG n = 0; n < 5; ++n) EXPECT_TRUE(IsEqualGUID(d.nodeTypes[n], nodes[n])) << n;

  // Walk order, newest first: microphone chain into pin 0, then pin 1 through the
  // speaker's mute and volume into pin 3.
  const std::vector<Edge> connections = {
      {3, 0, PCFILTER_NODE, 3}, {4, 0, 3, 1}, {PCFILTER_NODE, 1, 4, 1}, {0, 0, PCFILTER_NODE, 0},
      {1, 0, 0, 1},             {2, 0, 1, 1}, {PCFILTER_NODE, 2, 2, 1}};
  std::vector<Edge> shown;
  for (const auto& c : d.connections) shown.emplace_back(c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin);
  EXPECT_EQ(shown, connections);
}

TEST_F(TopologyTest, PinMapAndSubdeviceName) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  ULONG pin = 0;
  EXPECT_EQ(Miniport()->MapPin(5, &pin), STATUS_UNSUCCESSFUL);  // a node, not a terminal
  EXPECT_EQ(Miniport()->MapPin(77, &pin), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Miniport()->MapPin(3, nullptr), STATUS_INVALID_PARAMETER);
  PWSTR name = nullptr;
  EXPECT_EQ(Miniport()->GetSubdeviceName(nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(Miniport()->GetSubdeviceName(&name), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"RuveruZuze");

  // The miniport answers its three interfaces and the object's unknown, nothing else.
  for (const GUID* iid : {&IID_IMiniport, &IID_IMiniportTopology, &IID_IPowerNotify, &adapter::IID_IMiniportPinMap,
                          &IID_IUnknown}) {
    PVOID itf = nullptr;
    EXPECT_EQ(miniport_->QueryInterface(*iid, &itf), STATUS_SUCCESS);
    if (itf) static_cast<PUNKNOWN>(itf)->Release();
  }
  PVOID itf = nullptr;
  EXPECT_EQ(miniport_->QueryInterface(IID_IMiniportWaveCyclic, &itf), STATUS_INVALID_PARAMETER);

  POWER_STATE state;
  for (auto [to, kept] : {std::pair{PowerDeviceD3, PowerDeviceD3}, {PowerDeviceUnspecified, PowerDeviceD3},
                          {PowerDeviceD0, PowerDeviceD0}, {DEVICE_POWER_STATE(7), PowerDeviceD0}}) {
    state.DeviceState = to;
    Miniport()->PowerChangeNotify(state);
    EXPECT_EQ(Miniport()->GetDevicePowerState(), kept);
  }
}

TEST_F(TopologyTest, UninitialisedMiniportHasNoDescription) {
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(filters::CreateMiniportTopology(&unknown, CLSID_PortTopology, nullptr, NonPagedPool, 3), STATUS_SUCCESS);
  PPCFILTER_DESCRIPTOR d = nullptr;
  EXPECT_EQ(filters::CMiniportTopology::FromTarget(unknown)->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(static_cast<IMiniportTopology*>(static_cast<IMiniport*>(unknown))->Init(nullptr, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  unknown->Release();
}

// ---------------------------------------------------------------------------------------
// Models a test builds

// A ladder of mixers, each fed twice by the one before: 2^depth paths to the input.
// Each node is walked once and each connection listed once.
TEST_F(TopologyTest, DiamondLadderIsWalkedOncePerNode) {
  constexpr ULONG kRungs = 40;
  StartModel([](platform::testing::CProbeHal* hal) {
    std::vector<adapter::IUacEntity*> e = {topology_test::NewInputTerminal(0, adapter::ENDPOINT_STREAM)};
    for (ULONG i = 1; i <= kRungs; ++i) e.push_back(topology_test::NewMixer(i, {i - 1, i - 1}));
    e.push_back(topology_test::NewOutputTerminal(kRungs + 1, kRungs, adapter::ENDPOINT_SPK));
    return topology_test::AddEntities(hal, e);
  });
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR* d = Descriptor();
  EXPECT_EQ(d->NodeCount, kRungs);
  // Two inputs per rung (the first rung's both from the pin), one into the output.
  EXPECT_EQ(d->ConnectionCount, 2 * kRungs + 1);
  std::set<Edge> edges;
  for (ULONG i = 0; i < d->ConnectionCount; ++i) {
    const auto& c = d->Connections[i];
    edges.insert({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  }
  EXPECT_EQ(edges, ReadModel(Model()).edges);
}

// A chain deeper than the walk's limit is refused rather than followed without bound.
TEST_F(TopologyTest, ChainsDeeperThanTheLimitAreRefused) {
  for (ULONG length : {60u, 70u}) {
    SCOPED_TRACE(length);
    StartModel([length](platform::testing::CProbeHal* hal) {
      std::vector<adapter::IUacEntity*> e = {topology_test::NewInputTerminal(0, adapter::ENDPOINT_MIC)};
      for (ULONG i = 1; i <= length; ++i) e.push_back(topology_test::NewSwitch(i, adapter::NODE_MUTE, i - 1, 1));
      e.push_back(topology_test::NewOutputTerminal(length + 1, length, adapter::ENDPOINT_STREAM));
      return topology_test::AddEntities(hal, e);
    });
    EXPECT_EQ(InstallTopology(), length <= adapter::kMaxGraphDepth ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    ResetModel();
  }
}

struct RefusalRow {
  const char* name;
  std::function<std::vector<adapter::IUacEntity*>()> entities;
  NTSTATUS status;
};

TEST_F(TopologyTest, ModelsTheFilterCannotShowAreRefused) {
  using namespace topology_test;
  const RefusalRow rows[] = {
      {"terminal kind 18", [] { return std::vector{NewInputTerminal(0, 0), NewOutputTerminal(1, 0, 18)}; },
       STATUS_INVALID_PARAMETER},
      {"node type 14", [] { return std::vector{NewInputTerminal(0, 0), NewSwitch(1, 14, 0, 1), NewOutputTerminal(2, 1, 1)}; },
       STATUS_INVALID_PARAMETER},
      {"node type 21", [] { return std::vector{NewInputTerminal(0, 0), NewSwitch(1, 21, 0, 1), NewOutputTerminal(2, 1, 1)}; },
       STATUS_INVALID_PARAMETER},
      {"no output terminal", [] { return std::vector{NewInputTerminal(0, 0), NewSwitch(1, 2, 0, 1)}; },
       STATUS_UNSUCCESSFUL},
      {"source that is nothing", [] { return std::vector{NewInputTerminal(0, 0), NewSwitch(1, 2, 9, 1), NewOutputTerminal(2, 1, 1)}; },
       STATUS_UNSUCCESSFUL},
      {"nested source that is nothing",
       [] {
         return std::vector{NewInputTerminal(0, 0), NewSwitch(1, 2, 9, 1), NewSwitch(2, 3, 1, 1), NewOutputTerminal(3, 2, 1)};
       },
       STATUS_UNSUCCESSFUL},
      {"output fed straight by the input",
       [] { return std::vector{NewInputTerminal(0, 0), NewOutputTerminal(1, 0, 1)}; }, STATUS_SUCCESS},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StartModel([&](platform::testing::CProbeHal* hal) { return AddEntities(hal, row.entities()); });
    EXPECT_EQ(InstallTopology(), row.status);
    ResetModel();
  }
}

// S/PDIF and line-in pins take their names from "Settings" per pin index: each pin keeps
// its own, and a pin without a value its default.
TEST_F(TopologyTest, EveryNamedPinKeepsItsOwnName) {
  using namespace topology_test;
  StartModel([](platform::testing::CProbeHal* hal) {
    return AddEntities(hal, {NewInputTerminal(0, adapter::ENDPOINT_STREAM), NewOutputTerminal(1, 0, adapter::ENDPOINT_SPDIF),
                             NewOutputTerminal(2, 0, adapter::ENDPOINT_SPDIF), NewOutputTerminal(3, 0, adapter::ENDPOINT_SPDIF),
                             NewInputTerminal(4, adapter::ENDPOINT_LINE), NewInputTerminal(5, adapter::ENDPOINT_LINE),
                             NewOutputTerminal(6, 4, adapter::ENDPOINT_STREAM), NewOutputTerminal(7, 5, adapter::ENDPOINT_STREAM)});
  });
  // Pins: 0 entity 7, 1 entity 6, 2 entity 0 (streaming, last found first), then 1 2 3 4 5.
  GUID first = {0x11111111, 0, 0, {1}}, second = {0x22222222, 0, 0, {2}}, line = {0x33333333, 0, 0, {3}};
  ASSERT_EQ(SettingsBinaryValue(fdo_, SETTINGS_WRITE, &first, sizeof(GUID), u"SpdifOutName_03"), STATUS_SUCCESS);
  ASSERT_EQ(SettingsBinaryValue(fdo_, SETTINGS_WRITE, &second, sizeof(GUID), u"SpdifOutName_04"), STATUS_SUCCESS);
  ASSERT_EQ(SettingsBinaryValue(fdo_, SETTINGS_WRITE, &line, sizeof(GUID), u"LineInName_07"), STATUS_SUCCESS);
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR* d = Descriptor();
  ASSERT_EQ(d->PinCount, 8u);
  const GUID spdifDefault = {0x12C15946, 0xBA58, 0x42C1, {0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22}};
  auto name = [&](ULONG pin) { return d->Pins[pin].KsPinDescriptor.Name; };
  ASSERT_NE(name(3), nullptr);
  ASSERT_NE(name(4), nullptr);
  ASSERT_NE(name(5), nullptr);
  EXPECT_TRUE(IsEqualGUID(*name(3), first));
  EXPECT_TRUE(IsEqualGUID(*name(4), second));
  EXPECT_TRUE(IsEqualGUID(*name(5), spdifDefault));
  EXPECT_EQ(name(6), nullptr);  // line in without a value: no name
  ASSERT_NE(name(7), nullptr);
  EXPECT_TRUE(IsEqualGUID(*name(7), line));
  for (ULONG pin : {3u, 4u, 5u})
    EXPECT_TRUE(IsEqualGUID(*d->Pins[pin].KsPinDescriptor.Category, KSNODETYPE_SPDIF_INTERFACE));
}

// Every terminal kind's pin: shape, category and name, written out from the kinds' table
// (USB terminal types as {DFF2xxxx-F70F-11D0-B917-00A0C9223196}, xxxx = 0x19E0 + type),
// before and from kernel version 0x06000000; and the filter's three categories.
TEST_F(TopologyTest, EveryTerminalKindHasItsPinCategoryAndName) {
  using namespace topology_test;
  const auto usb = [](USHORT type) {
    return GUID{0xDFF20000u | (0x19E0u + type), 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  };
  const GUID audio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  const GUID none{};
  struct Row {
    const char* name;
    ULONG kind;
    bool input;  // the kind's terminal is an input terminal (else an output terminal)
    ULONG version;
    GUID category;
    GUID pinName;
  } rows[] = {
      {"Stream", 0, false, 0x06000000, audio, none},
      {"SPK", 1, false, 0x06000000, usb(0x0301), none},
      {"HP", 2, false, 0x06000000, usb(0x0302), none},
      {"SPDIF out", 3, false, 0x06000000, usb(0x0605),
       {0x12C15946, 0xBA58, 0x42C1, {0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22}}},
      {"SPDIF in", 3, true, 0x06000000, usb(0x0605),
       {0x017D895C, 0x7AE7, 0x4F4D, {0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7, 0x76}}},
      {"HDMI", 4, false, 0x06000000, {0xD1B9CC2A, 0xF519, 0x417F, {0x91, 0xC9, 0x55, 0xFA, 0x65, 0x48, 0x10, 0x01}},
       {0x387BFC03, 0xE7EF, 0x4901, {0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00, 0xEF}}},
      {"DisplayPort", 5, false, 0x06000000,
       {0xE47E4031, 0x3EA6, 0x418D, {0x8F, 0x9B, 0xB7, 0x38, 0x43, 0xCC, 0xBA, 0x97}},
       {0x21FBB329, 0x1A4A, 0x48DA, {0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5, 0x9B, 0x26}}},
      {"Line in without a name value", 6, true, 0x06000000, usb(0x0603), none},
      {"Mic", 7, true, 0x06000000, usb(0x0201), none},
      {"Aux", 8, false, 0x06000000, usb(0x0601), {0x5F4BB488, 0xA646, 0x408A, {0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4}}},
      {"Aux before 0x06000000", 8, false, 0x05010000, usb(0x0601), none},
      {"CD", 9, true, 0x06000000, usb(0x0703), none},
      {"Video", 10, true, 0x06000000, usb(0x070A), none},
      {"FMic", 11, true, 0x06000000, usb(0x0202), none},
      {"Telephone", 12, false, 0x06000000, usb(0x0502), none},
      {"HandSet", 13, false, 0x06000000, usb(0x0401), none},
      {"HeadSet", 14, false, 0x06000000, usb(0x0402), none},
      {"Speakerphone", 15, false, 0x06000000, usb(0x0403), none},
      {"StereoMix", 16, true, 0x06000000, usb(0x0601), {0x8C5716E6, 0xC984, 0x492E, {0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9}}},
      {"StereoMix before 0x06000000", 16, true, 0x05010000,
       {0x00DFF077, 0x96E3, 0x11D2, {0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68}}, none},
      {"FHP", 17, false, 0x06000000, usb(0x0302), none},
  };
  const ULONG saved = platform::rtl::NtDdiVersion();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform::rtl::SetNtDdiVersion(row.version);
    // The kind's terminal and a streaming terminal of the other type on one path.
    StartModel([&](platform::testing::CProbeHal* hal) {
      return AddEntities(hal, row.input ? std::vector{NewInputTerminal(0, row.kind), NewOutputTerminal(1, 0, 0)}
                                        : std::vector{NewInputTerminal(0, 0), NewOutputTerminal(1, 0, row.kind)});
    });
    ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
    const PCFILTER_DESCRIPTOR* d = Descriptor();
    ASSERT_EQ(d->PinCount, 2u);
    ASSERT_EQ(d->CategoryCount, 3u);
    EXPECT_TRUE(IsEqualGUID(d->Categories[0], audio));
    EXPECT_TRUE(IsEqualGUID(d->Categories[1], (GUID{0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}})));
    EXPECT_TRUE(IsEqualGUID(d->Categories[2], (GUID{0xDC156818, 0xB26E, 0x4115, {0xAE, 0xF2, 0x37, 0xB6, 0xE5, 0xDC, 0x6E, 0xD9}})));
    const KSPIN_DATAFLOW flow = row.input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    const PCPIN_DESCRIPTOR* pin = nullptr;
    for (ULONG i = 0; i < d->PinCount; ++i) {
      const PCPIN_DESCRIPTOR& p = d->Pins[i];
      filters_test::ExpectBridgePin(p);
      if (p.KsPinDescriptor.DataFlow == flow) pin = &p;
    }
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(IsEqualGUID(*pin->KsPinDescriptor.Category, row.category));
    if (IsEqualGUID(row.pinName, none)) {
      EXPECT_EQ(pin->KsPinDescriptor.Name, nullptr);
    } else {
      ASSERT_NE(pin->KsPinDescriptor.Name, nullptr);
      EXPECT_TRUE(IsEqualGUID(*pin->KsPinDescriptor.Name, row.pinName));
    }
    ResetModel();
  }
  platform::rtl::SetNtDdiVersion(saved);
}

// Two effect nodes each carry their own effect type as their name.
TEST_F(TopologyTest, EveryEffectNodeIsNamedByItsOwnType) {
  using namespace topology_test;
  StartModel([](platform::testing::CProbeHal* hal) {
    return AddEntities(hal, {NewInputTerminal(0, 0), NewPrivateNode(1, adapter::NODE_VENDOR_EFFECT, 4, nullptr, 0),
                             NewPrivateNode(2, adapter::NODE_VENDOR_EFFECT, 4, nullptr, 1), NewOutputTerminal(3, 2, 1)});
  });
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR* d = Descriptor();
  ASSERT_EQ(d->NodeCount, 2u);
  // Node 0 is entity 2, node 1 entity 1; the test effects put their id in the last byte.
  EXPECT_EQ(d->Nodes[0].Name->Data4[7], 2);
  EXPECT_EQ(d->Nodes[1].Name->Data4[7], 1);
  EXPECT_TRUE(IsEqualGUID(*d->Nodes[0].Type, KSNODETYPE_DEV_SPECIFIC));
}

// Node rows: type, automation by what the node answers, and names.
TEST_F(TopologyTest, NodeRowsByEntityType) {
  using namespace topology_test;
  StartModel([](platform::testing::CProbeHal* hal) {
    return AddEntities(hal, {NewInputTerminal(0, 0), NewLevel(1, adapter::NODE_BASS, 0, 2, 0, 0, 1),
                             NewLevel(2, adapter::NODE_MID, 1, 2, 0, 0, 1), NewLevel(3, adapter::NODE_TREBLE, 2, 2, 0, 0, 1),
                             NewSwitch(4, adapter::NODE_AGC, 3, 1), NewSwitch(5, adapter::NODE_LOUDNESS, 4, 1),
                             NewLevel(6, adapter::NODE_INPUT_GAIN_PAD, 5, 1, 0, 0, 1),
                             NewSelector(7, {6, 0}), NewMixer(8, {7, 0}), NewTerminalKind(9, 8, {1, 2}),
                             NewSwitch(10, adapter::NODE_VENDOR_SWITCH, 9, 1), NewSwitch(11, adapter::NODE_GAIN_SWITCH, 10, 1),
                             NewLevel(12, 16, 11, 2, 0, 0, 1), NewOutputTerminal(13, 12, 1)});
  });
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR* d = Descriptor();
  struct Row {
    ULONG entity;
    GUID type;
    bool hasName;
    GUID name;
  };
  const GUID none{};
  const Row rows[] = {
      {1, KSNODETYPE_TONE, true, KSAUDFNAME_BASS},
      {2, KSNODETYPE_TONE, true, KSAUDFNAME_MIDRANGE},
      {3, KSNODETYPE_TONE, true, KSAUDFNAME_TREBLE},
      {4, KSNODETYPE_AGC, false, none},
      {5, KSNODETYPE_LOUDNESS, false, none},
      {6, KSNODETYPE_DEV_SPECIFIC, true, {0xBAE3AD68, 0x0CB6, 0x4A9A, {0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D, 0x7A}}},
      {7, KSNODETYPE_MUX, false, none},
      {8, KSNODETYPE_SUM, false, none},
      {9, KSNODETYPE_DEV_SPECIFIC, true, {0x0D18F5A4, 0x5721, 0x4A07, {0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB}}},
      {10, KSNODETYPE_DEV_SPECIFIC, true, {0xFDA49636, 0xC86D, 0x4E91, {0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6}}},
      {11, KSNODETYPE_DEV_SPECIFIC, true, {0xDB357A6F, 0xC4B1, 0x4390, {0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47}}},
      {12, KSNODETYPE_VOLUME, true, {0x2BC31D6A, 0x96E3, 0x11D2, {0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.entity);
    const PCNODE_DESCRIPTOR& n = d->Nodes[NodeOf(row.entity)];
    EXPECT_TRUE(IsEqualGUID(*n.Type, row.type));
    ASSERT_EQ(n.Name != nullptr, row.hasName);
    if (row.hasName) {
      EXPECT_TRUE(IsEqualGUID(*n.Name, row.name));
    }
    EXPECT_EQ(n.AutomationTable == nullptr, row.entity == 8);  // a mixer has no properties
  }
  // The mixer's two inputs: the selector into pin 1, the streaming input into pin 2.
  const ULONG mixer = NodeOf(8);
  std::set<Edge> into;
  for (ULONG i = 0; i < d->ConnectionCount; ++i)
    if (d->Connections[i].ToNode == mixer)
      into.insert({d->Connections[i].FromNode, d->Connections[i].FromNodePin, mixer, d->Connections[i].ToNodePin});
  EXPECT_EQ(into, (std::set<Edge>{{NodeOf(7), 0, mixer, 1}, {PCFILTER_NODE, 0, mixer, 2}}));
}

}  // namespace

namespace {

// Every allocation Init makes, failed in turn: Init fails with a failure status and
// leaves nothing behind, or (where the allocation was optional) succeeds.
TEST_F(TopologyTest, InitSurvivesEveryAllocationFailure) {
  StartDevice("uac1-headset-A.txt", WithModel());
  const std::uint64_t allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    PPORT port = nullptr;
    PUNKNOWN miniport = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
    ASSERT_EQ(filters::CreateMiniportTopology(&miniport, CLSID_PortTopology, nullptr, NonPagedPool, 0), STATUS_SUCCESS);
    sweep.Arm();
    const NTSTATUS status = port->Init(fdo_, nullptr, miniport, Model(), nullptr);
    sweep.Disarm();
    if (NT_SUCCESS(status)) {
      // The port and the miniport hold each other until the subdevice goes.
      ASSERT_EQ(PcRegisterSubdevice(fdo_, const_cast<PWSTR>(filters::kTopologySubdeviceName), port), STATUS_SUCCESS);
      PVOID itf = nullptr;
      ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, &itf), STATUS_SUCCESS);
      EXPECT_EQ(static_cast<PUNREGISTERSUBDEVICE>(itf)->UnregisterSubdevice(fdo_, port), STATUS_SUCCESS);
      static_cast<PUNREGISTERSUBDEVICE>(itf)->Release();
    } else {
      PPCFILTER_DESCRIPTOR d = nullptr;
      EXPECT_EQ(filters::CMiniportTopology::FromTarget(miniport)->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
    }
    EXPECT_TRUE(NT_SUCCESS(status) || sweep.fired()) << std::hex << status;
    miniport->Release();
    port->Release();
  });
  EXPECT_GT(allocations, 8u);
}

}  // namespace
