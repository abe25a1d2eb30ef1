// The whole driver against simulated devices, with its own miniports: what the audio
// engine finds once Plug and Play has started the device (the topology filter, one wave
// filter per connected endpoint, their physical connections, the enumeration interface),
// how the wave filters follow the device, and that every shared device file that builds
// a model starts and goes away cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "entry/driver_layers.h"
#include "kernel/clock.h"
#include "filters/topology_property_sets.h"
#include "entry_fixture.h"
#include "portcls/ksclient.h"
#include "sim/engine/engine.h"
#include "support/fault_sweep.h"
#include "usb_device_fixture.h"

namespace entry_test {
namespace {

using adapter::GUID_ASIO_PRIVATE_INTERFACE;
using adapter::GUID_ENUM_PRIVATE_INTERFACE;

constexpr const char16_t* kTopology = u"RuveruZuze";

class DriverEndToEnd : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    // The driver's own miniports in place of the stand-ins; a stand-in under the
    // driver's topology name while the driver has no topology miniport.
    entry::MiniportFactories factories = entry::GetMiniportFactories();
    entry::RegisterDriverLayers();
    if (!entry::GetMiniportFactories().Topology || entry::GetMiniportFactories().Topology == factories.Topology) {
      TopologyControl().name = kTopology;
      factories = entry::GetMiniportFactories();
      factories.Topology = &CreateFakeTopology;
      entry::SetMiniportFactories(factories);
    }
  }

  std::u16string EngineName(ULONG i) {
    adapter::IStreamEngine* engine = nullptr;
    EXPECT_EQ(hal()->GetEngine(i, &engine), STATUS_SUCCESS);
    return engine && engine->GetName() ? engine->GetName() : u"";
  }
  // "from pin -> to pin" for each physical connection of the device.
  std::vector<std::u16string> Connections() {
    std::vector<std::u16string> out;
    for (const auto& c : platform::ks::EnumeratePhysicalConnections())
      if (c.device == fdo())
        out.push_back(c.fromName + u":" + char16_t(u'0' + c.fromPin % 10) + u" -> " + c.toName + u":" +
                      char16_t(u'0' + c.toPin % 10));
    return out;
  }
  // The engine client opens the topology filter and finds the terminal-kind node by its
  // own property set.
  void OpenKindNode(std::unique_ptr<sim::engine::FilterClient>* topology, ULONG* node) {
    for (const auto& info : sim::engine::EnumerateFilters()) {
      if (info.device == fdo() && info.name == kTopology) {
        ASSERT_EQ(sim::engine::FilterClient::Open(info, topology), STATUS_SUCCESS);
      }
    }
    ASSERT_NE(*topology, nullptr);
    sim::engine::FilterDescription description;
    ASSERT_EQ((*topology)->ReadDescription(&description), STATUS_SUCCESS);
    for (ULONG n = 0; n < description.nodeTypes.size() && *node == ULONG(-1); ++n) {
      LONG current = 0;
      if (NT_SUCCESS((*topology)->GetNodeValue(n, filters::KSPROPSETID_TerminalKind,
                                               filters::KSPROPERTY_TERMINALKIND_KIND, -1, &current)))
        *node = n;
    }
    ASSERT_NE(*node, ULONG(-1));
  }
  // The filters the engine client finds under the enumeration interface's category.
  std::vector<std::u16string> EnumerationFilters() {
    std::vector<std::u16string> names;
    for (const auto& info : sim::engine::EnumerateFilters(&GUID_ENUM_PRIVATE_INTERFACE))
      if (info.device == fdo()) names.push_back(info.name);
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::vector<std::u16string> Sorted(std::vector<std::u16string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST_F(DriverEndToEnd, AUac1HeadsetShowsItsTopologySpeakerAndMicrophone) {
  Plug("uac1-headset-A.txt");
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(EngineName(0), u"SPKOut00");
  EXPECT_EQ(EngineName(1), u"MicIn00");
  EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, u"SPKOut00Wave", u"MicIn00Wave"}));
  const auto connections = Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(connections[0].substr(0, 17), u"SPKOut00Wave:1 ->");
  EXPECT_EQ(connections[1].substr(connections[1].size() - 13), u"MicIn00Wave:1");
  EXPECT_EQ(EnumerationFilters(), Sorted({kTopology, u"SPKOut00Wave", u"MicIn00Wave"}));
  EXPECT_TRUE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
  EXPECT_FALSE(Interface(GUID_ASIO_PRIVATE_INTERFACE)->enabled);
  // The engine client reads the topology filter.
  for (const auto& info : sim::engine::EnumerateFilters()) {
    if (info.device != fdo() || info.name != kTopology) continue;
    std::unique_ptr<sim::engine::FilterClient> client;
    ASSERT_EQ(sim::engine::FilterClient::Open(info, &client), STATUS_SUCCESS);
    sim::engine::FilterDescription d;
    ASSERT_EQ(client->ReadDescription(&d), STATUS_SUCCESS);
    EXPECT_GE(d.pins.size(), 2u);
  }
}

TEST_F(DriverEndToEnd, AUac2DongleShowsItsHeadsetEndpointsAndTheAsioInterface) {
  Plug("uac2-uac3-dongle-J.txt");
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(EngineName(0), u"HeadSetOut00");
  // A UAC 2.0 headset's input terminal is a handset's: its capture endpoint is named so.
  EXPECT_EQ(EngineName(1), u"HandSetIn00");
  EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, u"HeadSetOut00Wave", u"HandSetIn00Wave"}));
  // The capture filter is joined to the topology; the render filter's wave miniport
  // finds no streaming terminal of kind 0 on its path, so it stands unconnected.
  const auto connections = Connections();
  ASSERT_FALSE(connections.empty());
  EXPECT_EQ(connections.back().substr(connections.back().size() - 17), u"HandSetIn00Wave:1");
  // Its endpoints are ASIO-capable.
  EXPECT_TRUE(Interface(GUID_ASIO_PRIVATE_INTERFACE)->enabled);
  EXPECT_TRUE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(Sorted(Subdevices()), std::vector<std::u16string>{kTopology});
  EXPECT_TRUE(Connections().empty());
  EXPECT_FALSE(Interface(GUID_ASIO_PRIVATE_INTERFACE)->enabled);
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(Subdevices().empty());
}

// Every shared device file: the start succeeds exactly for the devices whose model
// builds, and removal leaves nothing behind either way (the fixture checks the pool and
// the threads at the end; each device is checked on its own here).
TEST_F(DriverEndToEnd, EveryDeviceFileThatBuildsStartsAndStopsCleanly) {
  // The files whose function is refused (see the tool's pinned outcomes), and one whose
  // function builds no terminal at all: a topology filter needs an output terminal.
  const std::vector<std::string> refused = {"uac1-djcontroller-C",
      "uac1-headset-B",  "uac1-soundcard-A",  "uac1-soundcard-B",       "uac1-webcam-speaker-mic-H",
      "uac2-dac-A",      "uac2-dac-headamp-B", "uac2-guitar-interface-H", "uac2-interface-A",
      "uac2-interface-B", "uac2-interface-C",  "uac2-interface-D"};
  ULONG started = 0;
  for (const auto& entry : std::filesystem::directory_iterator(UA_DEVICE_DUMPS_DIR)) {
    const std::string file = entry.path().filename().string();
    if (entry.path().extension() != ".txt" || file.rfind("uac", 0) != 0) continue;
    SCOPED_TRACE(file);
    const std::string stem = entry.path().stem().string();
    const bool builds = std::find(refused.begin(), refused.end(), stem) == refused.end();
    platform::pool::LeakScope leaks;
    removed_ = false;
    Plug(file);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    const NTSTATUS status = Start();
    EXPECT_EQ(NT_SUCCESS(status), builds) << std::hex << status;
    if (NT_SUCCESS(status)) {
      ++started;
      // One wave filter per engine (each connected at start), plus the topology.
      EXPECT_EQ(Subdevices().size(), 1 + hal()->GetEngineCount());
      EXPECT_TRUE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
    } else {
      EXPECT_TRUE(Subdevices().empty());
    }
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(Subdevices().empty());
    Unplug();
    EXPECT_TRUE(leaks.Check()) << platform::pool::LeakReport(leaks.mark());
  }
  EXPECT_EQ(started, 16u);
}

// A jack pulled on the device reaches the driver through the status endpoint: the
// speaker's wave filter goes, the microphone's stays; plugged again, it comes back under
// its name.
TEST_F(DriverEndToEnd, AJackPulledAndPluggedTakesTheWaveFilterAwayAndBack) {
  constexpr UCHAR kSpeakerTerminal = 4;
  sim::device::DeviceProfile profile;
  profile.terminals[kSpeakerTerminal].jacks = {{0x3, 0x01014030}};
  PlugWithStatusEndpoint("uac1-headset-A.txt", 2, profile);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, u"SPKOut00Wave", u"MicIn00Wave"}));
  sim_->SetJackState(kSpeakerTerminal, 0);
  platform::testing::DelayMs(20);
  EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, u"MicIn00Wave"}));
  EXPECT_EQ(Connections().size(), 1u);
  sim_->SetJackState(kSpeakerTerminal, 0x3);
  platform::testing::DelayMs(20);
  EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, u"SPKOut00Wave", u"MicIn00Wave"}));
  EXPECT_EQ(Connections().size(), 2u);
  // Pulled once more, then the device goes: nothing is left either way.
  sim_->SetJackState(kSpeakerTerminal, 0);
  platform::testing::DelayMs(20);
  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(Sorted(Subdevices()), std::vector<std::u16string>{kTopology});
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(Subdevices().empty());
}

// Every allocation of a headset's start, with its engines and wave filters, failed once.
TEST_F(DriverEndToEnd, AHeadsetStartSurvivesEveryAllocationFailure) {
  // Some 300 starts: the default seeds cover it; the stress seeds go to the races.
  if (seed() > 1000) GTEST_SKIP() << "the sweep runs under the default seeds";
  const std::uint64_t allocations = platform::testing::ForEachAllocationFailure(
      [&](platform::testing::FaultSweep& sweep) {
        removed_ = false;
        Plug("uac1-headset-A.txt");
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        sweep.Arm();
        const NTSTATUS status = Start();
        if (!sweep.Disarm()) {
          EXPECT_EQ(status, STATUS_SUCCESS);
        } else if (!NT_SUCCESS(status)) {
          EXPECT_EQ(hal(), nullptr);
          EXPECT_TRUE(Subdevices().empty());
          EXPECT_TRUE(Connections().empty());
        }
        ASSERT_EQ(Remove(), STATUS_SUCCESS);
        EXPECT_TRUE(Subdevices().empty());
        Unplug();
      },
      4000);
  std::printf("[ SWEEP    ] a headset's start makes %llu allocations\n", static_cast<unsigned long long>(allocations));
  EXPECT_GT(allocations, 100u);
}

// A terminal-kind switch from the engine client (the kind node's device-specific
// property on the topology filter) renames the render endpoint and registers its wave
// filter again: each switch takes a fresh number of the new type, so no name is given
// twice.
TEST_F(DriverEndToEnd, ATerminalKindSwitchReRegistersTheWaveFilterUnderAFreshName) {
  constexpr UCHAR kSpeakerTerminal = 4;
  sim::device::DeviceProfile profile;
  profile.terminals[kSpeakerTerminal].selectable_types = {0x0302, 0x0301};
  Plug("uac1-headset-A.txt", profile);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  adapter::IUacEntity* kindNode = nullptr;
  for (ULONG i = 0; i < hal()->GetEntityCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    if (NT_SUCCESS(hal()->GetEntity(i, &e)) && e->GetType() == adapter::NODE_TERMINAL_KIND) kindNode = e;
  }
  ASSERT_NE(kindNode, nullptr);
  // The terminal's own type is its current kind, though the device lists it last.
  EXPECT_EQ(EngineName(0), u"SPKOut00");

  std::unique_ptr<sim::engine::FilterClient> topology;
  ULONG node = ULONG(-1);
  ASSERT_NO_FATAL_FAILURE(OpenKindNode(&topology, &node));

  struct Step {
    ULONG kind;
    const char16_t* name;
  };
  const Step steps[] = {{adapter::ENDPOINT_HP, u"HPOut00"},
                        {adapter::ENDPOINT_SPK, u"SPKOut01"},
                        {adapter::ENDPOINT_HP, u"HPOut01"}};
  std::vector<std::u16string> seen = {EngineName(0)};
  for (const Step& step : steps) {
    ASSERT_EQ(topology->SetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1,
                                     static_cast<LONG>(step.kind)),
              STATUS_SUCCESS);
    LONG current = 0;
    ASSERT_EQ(topology->GetNodeValue(node, filters::KSPROPSETID_TerminalKind, filters::KSPROPERTY_TERMINALKIND_KIND,
                                     -1, &current),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<ULONG>(current), step.kind);
    EXPECT_EQ(EngineName(0), step.name);
    EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, std::u16string(step.name) + u"Wave", u"MicIn00Wave"}));
    EXPECT_EQ(std::find(seen.begin(), seen.end(), EngineName(0)), seen.end());
    seen.push_back(EngineName(0));
    EXPECT_EQ(Connections().size(), 2u);
  }
  // The capture counters were left alone.
  EXPECT_EQ(extension()->InputCounters[adapter::ENDPOINT_HP], 0);
  EXPECT_EQ(EngineName(1), u"MicIn00");
  topology.reset();
}

// Two render streaming interfaces (terminals 1 and 2) mixed into one speaker terminal (6)
// behind a feature unit; the device switches the speaker to headphones.
usb_device_test::Bytes TwoStreamsIntoOneSpeaker() {
  using usb_device_test::Bytes;
  using usb_device_test::Interface;
  const Bytes units[] = {
      {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0},   // USB streaming input terminal 1
      {12, 0x24, 2, 2, 0x01, 0x01, 0, 2, 3, 0, 0, 0},   // USB streaming input terminal 2
      {13, 0x24, 4, 5, 2, 1, 2, 2, 3, 0, 0, 0, 0},      // mixer 5 of terminals 1 and 2
      {10, 0x24, 6, 7, 5, 1, 0x03, 0x00, 0x00, 0},      // feature unit 7: master mute, volume
      {9, 0x24, 3, 6, 0x01, 0x03, 0, 7, 0},             // speaker output terminal 6
  };
  Bytes header = {10, 0x24, 1, 0x00, 0x01, 0, 0, 2, 1, 2};
  for (const Bytes& u : units) header.insert(header.end(), u.begin(), u.end());
  header[5] = static_cast<std::uint8_t>(header.size());
  header[6] = static_cast<std::uint8_t>(header.size() >> 8);
  std::vector<Bytes> pieces = {Interface(0, 0, 0, 1, 1), header};
  for (std::uint8_t n : {1, 2}) {
    const std::vector<Bytes> streaming = {Interface(n, 0, 0, 1, 2),
                                          Interface(n, 1, 1, 1, 2),
                                          {7, 0x24, 1, n, 1, 1, 0},
                                          {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00},
                                          {9, 5, n, 0x09, 192, 0, 1, 0, 0},
                                          {7, 0x25, 1, 1, 0, 0, 0}};
    pieces.insert(pieces.end(), streaming.begin(), streaming.end());
  }
  return usb_device_test::Configuration(pieces);
}

// Both endpoints of a switchable terminal follow each kind switch: each is renamed
// exactly once (the counter of the new type moves by two), with a name never given
// before, and both wave filters are registered again under their new names.
TEST_F(DriverEndToEnd, AKindSwitchRenamesEveryEndpointOfTheTerminalOnce) {
  constexpr UCHAR kSpeakerTerminal = 6;
  sim::device::DeviceProfile profile;
  profile.terminals[kSpeakerTerminal].selectable_types = {0x0301, 0x0302};
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x0002), TwoStreamsIntoOneSpeaker(), profile);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(hal()->GetEngineCount(), 2u);
  EXPECT_EQ(EngineName(0), u"SPKOut00");
  EXPECT_EQ(EngineName(1), u"SPKOut01");
  const size_t connections = Connections().size();

  std::unique_ptr<sim::engine::FilterClient> topology;
  ULONG node = ULONG(-1);
  ASSERT_NO_FATAL_FAILURE(OpenKindNode(&topology, &node));

  struct Step {
    ULONG kind;
    const char16_t* names[2];
  };
  const Step steps[] = {{adapter::ENDPOINT_HP, {u"HPOut00", u"HPOut01"}},
                        {adapter::ENDPOINT_SPK, {u"SPKOut02", u"SPKOut03"}},
                        {adapter::ENDPOINT_HP, {u"HPOut02", u"HPOut03"}}};
  std::vector<std::u16string> seen = {EngineName(0), EngineName(1)};
  for (const Step& step : steps) {
    SCOPED_TRACE(static_cast<int>(step.kind));
    const UCHAR before = extension()->OutputCounters[step.kind];
    ASSERT_EQ(topology->SetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1,
                                     static_cast<LONG>(step.kind)),
              STATUS_SUCCESS);
    EXPECT_EQ(extension()->OutputCounters[step.kind], before + 2);
    for (ULONG i = 0; i < 2; ++i) {
      adapter::IStreamEngine* engine = nullptr;
      ASSERT_EQ(hal()->GetEngine(i, &engine), STATUS_SUCCESS);
      EXPECT_EQ(engine->GetEndpointType(), step.kind);
      EXPECT_EQ(EngineName(i), step.names[i]);
      EXPECT_EQ(std::find(seen.begin(), seen.end(), EngineName(i)), seen.end());
      seen.push_back(EngineName(i));
    }
    EXPECT_EQ(Sorted(Subdevices()), Sorted({kTopology, std::u16string(step.names[0]) + u"Wave",
                                            std::u16string(step.names[1]) + u"Wave"}));
    EXPECT_EQ(Connections().size(), connections);
  }
  topology.reset();
}

// The headset leaves the bus while its start runs, at a point that moves with the seed,
// with the driver's own miniports: the surprise removal and the removal that follow
// leave nothing registered, allocated or running.
TEST_F(DriverEndToEnd, AHeadsetUnpluggedDuringItsStartGoesAwayCleanly) {
  Plug("uac1-headset-A.txt");
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  NTSTATUS started = STATUS_PENDING;
  {
    platform::clock::Thread pnp("pnp start", [&] { started = Start(); });
    platform::testing::DelayMs(static_cast<LONGLONG>(seed() % 60));
    port_->controller().RemoveDevice();
    pnp.Join();
  }
  EXPECT_NE(started, STATUS_PENDING);
  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_TRUE(Connections().empty());
  EXPECT_FALSE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(Subdevices().empty());
}

}  // namespace
}  // namespace entry_test

