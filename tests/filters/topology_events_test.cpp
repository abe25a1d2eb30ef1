// Control-change events of the topology filter as an engine client hears them: a change
// published on the model's callback object becomes exactly one KSEVENT_CONTROL_CHANGE on
// the node it names; the device-extension level SET raises one, the Audio SET none; and
// the event handler's own rules.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "adapter/audio_class.h"
#include "adapter/node_interfaces.h"
#include "adapter/uac_function.h"
#include "filters/topology_property_sets.h"
#include "kernel/clock.h"
#include "sim/device/descriptor_dump.h"
#include "sim/device/descriptor_set.h"
#include "topology_fixture.h"
#include "uac/unit_interfaces.h"

namespace {

using topology_test::TopologyTest;
using topology_test::U32s;

sim::device::DeviceProfile WithModel() {
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  return profile;
}

class EventsTest : public TopologyTest {
 protected:
  void TearDown() override {
    if (workerStarted_) {
      EXPECT_EQ(hal_->StopEntities(), STATUS_SUCCESS);
    }
    for (auto& [node, handle] : handles_) Client().StopListening(handle);
    handles_.clear();
    TopologyTest::TearDown();
  }
  // Listens on every node whose table carries the event.
  void ListenEverywhere() {
    for (ULONG node = 0; node < Miniport()->GetNodeCount(); ++node) {
      platform::ks::EventHandle handle = 0;
      auto* count = &counts_[node];
      if (NT_SUCCESS(Client().ListenControlChange(node, [count] { ++*count; }, &handle))) handles_[node] = handle;
    }
    ASSERT_FALSE(handles_.empty());
  }
  // Events heard per node since the last call, once delivery has run.
  std::map<ULONG, int> Heard() {
    platform::clock::Settle();
    std::map<ULONG, int> heard;
    for (auto& [node, count] : counts_) {
      if (count.load()) heard[node] = count.exchange(0);
    }
    return heard;
  }
  PVOID CallbackObject() {
    PVOID itf = nullptr;
    EXPECT_EQ(hal_->QueryInterface(adapter::IID_IUacFunction, &itf), STATUS_SUCCESS);
    auto* function = static_cast<adapter::IUacFunction*>(itf);
    PCALLBACK_OBJECT object = nullptr;
    EXPECT_EQ(function->GetCallbackObject(&object), STATUS_SUCCESS);
    function->Release();
    return object;
  }

  // Plugs a shared device file whose Audio Control interface first gets a status
  // endpoint, when it has none, starts the driver and the function's status worker (as
  // the adapter's start does), installs the filter and listens on every node; events of
  // the worker's first refresh are let pass.
  void StartWithWorker(const std::string& dump, bool addStatusEndpoint) {
    if (addStatusEndpoint) {
      std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / dump, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      sim::device::DescriptorDump parsed;
      std::string error;
      ASSERT_TRUE(sim::device::ConvertDescriptorDump(text.str(), parsed, error)) << error;
      ASSERT_TRUE(sim::device::AddStatusEndpoint(parsed.configuration, 0x8E, 2, 8, error)) << error;
      Plug(parsed.device, parsed.configuration, WithModel());
      ASSERT_EQ(Start(), STATUS_SUCCESS);
    } else {
      StartDevice(dump, WithModel());
    }
    ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
    ListenEverywhere();
    ASSERT_EQ(hal_->StartEntities(), STATUS_SUCCESS);
    workerStarted_ = true;
    platform::testing::DelayMs(500);
    Heard();
  }
  // Runs the clock until an event arrives (at most two seconds), then a while longer for
  // any that should not come; what was heard.
  std::map<ULONG, int> HeardAfterChange() {
    for (int ms = 0; ms < 2000; ++ms) {
      bool any = false;
      for (auto& [node, count] : counts_) any = any || count.load() != 0;
      if (any) break;
      platform::testing::DelayMs(1);
    }
    platform::testing::DelayMs(100);
    return Heard();
  }
  LONG Value(ULONG node, ULONG id, ULONG channel) {
    LONG value = 0;
    ULONG returned = 0;
    EXPECT_EQ(NodeProperty(node, KSPROPSETID_Audio, id, KSPROPERTY_TYPE_GET, U32s({channel}), &value, sizeof(value),
                           &returned),
              STATUS_SUCCESS);
    return value;
  }

  bool workerStarted_ = false;
  std::map<ULONG, std::atomic<int>> counts_;
  std::map<ULONG, platform::ks::EventHandle> handles_;
};

// A control turned on a UAC 2.0 device: its interrupt message reaches the function's
// status worker, which reads the one control again and publishes it; the engine client
// hears exactly one event, on the node of that control, and reads the device's new value
// there.
TEST_F(EventsTest, ControlTurnedOnTheDeviceIsOneEventOnItsNode) {
  StartWithWorker("uac2-uac3-dongle-J.txt", false);
  struct Row {
    const char* name;
    UCHAR unit, selector, channel;
    LONG device;
    ULONG property;
    ULONG type;
    LONG shown;  // KS value
  };
  const Row rows[] = {
      {"left volume of unit 2", 2, 2, 1, -12 * 256, KSPROPERTY_AUDIO_VOLUMELEVEL, adapter::NODE_VOLUME, -12 * 65536},
      {"mute of unit 5", 5, 1, 0, 1, KSPROPERTY_AUDIO_MUTE, adapter::NODE_MUTE, 1},
      {"left volume of unit 5", 5, 2, 1, -30 * 256, KSPROPERTY_AUDIO_VOLUMELEVEL, adapter::NODE_VOLUME, -30 * 65536},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(sim_->ChangeControl({.id = row.unit, .selector = row.selector, .channel = row.channel}, row.device));
    const auto heard = HeardAfterChange();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard.begin()->second, 1);
    const ULONG node = heard.begin()->first;
    EXPECT_EQ(Miniport()->GetNodeType(node), row.type);
    EXPECT_EQ(Value(node, row.property, 0), row.shown);
  }
}

// A UAC 1.0 status word names a unit: every node of the unit is read again and heard
// once, the turned control's node with the device's new value; nodes of other units
// hear nothing.
TEST_F(EventsTest, UnitTurnedOnAUac1DeviceIsOneEventOnEachOfItsNodes) {
  StartWithWorker("uac1-headset-A.txt", true);
  // Unit 5 made the speaker path's mute (entity 4) and volume (entity 5).
  ASSERT_TRUE(sim_->ChangeControl({.id = 5, .selector = 2, .channel = 1}, -7 * 256));
  EXPECT_EQ(HeardAfterChange(), (std::map<ULONG, int>{{NodeOf(4), 1}, {NodeOf(5), 1}}));
  EXPECT_EQ(Value(NodeOf(5), KSPROPERTY_AUDIO_VOLUMELEVEL, 0), -7 * 65536);
}

// Every node of the headset in turn: a change published for its entity is heard once,
// on that node only.
TEST_F(EventsTest, PublishedChangeIsOneEventOnItsNode) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  ListenEverywhere();
  for (auto& [node, handle] : handles_) {
    SCOPED_TRACE(node);
    uac::PublishControlChange(CallbackObject(), Miniport()->GetNodeEntity(node)->GetId());
    EXPECT_EQ(Heard(), (std::map<ULONG, int>{{node, 1}}));
  }
}

// Records that name no node, or are not control changes, raise nothing.
TEST_F(EventsTest, OtherRecordsRaiseNothing) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  ListenEverywhere();
  const ULONG volume = 5;
  const uac::ControlChangeRecord records[] = {
      {1, 1, 3, 0},                  // the speaker terminal: a pin, not a node
      {1, 1, 99, 0},                 // no such entity
      {2, 1, volume, 0},             // another kind of record
      {1, 2, volume, 0},             // two entries
      {1, 1, 0x100000005ull, 0},     // an id past 32 bits
  };
  for (const auto& record : records) {
    ExNotifyCallback(CallbackObject(), const_cast<uac::ControlChangeRecord*>(&record), nullptr);
    EXPECT_TRUE(Heard().empty()) << record.Kind << " " << record.Count << " " << record.NodeId;
  }
  ExNotifyCallback(CallbackObject(), nullptr, nullptr);
  EXPECT_TRUE(Heard().empty());
}

// A level SET through the device-extension set tells the other listeners; the Audio SET
// does not. Both reach the device.
TEST_F(EventsTest, OnlyTheDeviceExtensionLevelSetRaisesAnEvent) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  ListenEverywhere();
  const ULONG volume = NodeOf(5);
  LONG level = -12 * 65536;
  EXPECT_EQ(NodeProperty(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, U32s({0}),
                         &level, sizeof(level)),
            STATUS_SUCCESS);
  EXPECT_TRUE(Heard().empty());
  EXPECT_EQ(sim_->GetControl({false, 5, 2, 1}), -12 * 256);
  level = -20 * 65536;
  EXPECT_EQ(NodeProperty(volume, filters::KSPROPSETID_DeviceExtension,
                         filters::KSPROPERTY_DEVICEEXTENSION_LEVEL_WITH_EVENT, KSPROPERTY_TYPE_SET, U32s({0}), &level,
                         sizeof(level)),
            STATUS_SUCCESS);
  EXPECT_EQ(Heard(), (std::map<ULONG, int>{{volume, 1}}));
  EXPECT_EQ(sim_->GetControl({false, 5, 2, 1}), -20 * 256);
  // A refused SET raises nothing.
  EXPECT_EQ(NodeProperty(volume, filters::KSPROPSETID_DeviceExtension,
                         filters::KSPROPERTY_DEVICEEXTENSION_LEVEL_WITH_EVENT, KSPROPERTY_TYPE_SET, U32s({7}), &level,
                         sizeof(level)),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Heard().empty());
}

// A node switched to another endpoint type reloads its values and publishes the change
// itself: the topology filter turns it into one event.
TEST_F(EventsTest, EndpointSwitchOfABoundNodeIsHeard) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  ListenEverywhere();
  PVOID itf = nullptr;
  ASSERT_EQ(Miniport()->GetNodeEntity(NodeOf(5))->QueryInterface(adapter::IID_INodeEndpoint, &itf), STATUS_SUCCESS);
  auto* endpoint = static_cast<adapter::INodeEndpoint*>(itf);
  EXPECT_EQ(endpoint->SetEndpointType(2, CallbackObject()), STATUS_SUCCESS);
  endpoint->Release();
  EXPECT_EQ(Heard(), (std::map<ULONG, int>{{NodeOf(5), 1}}));
}

// The event handler's rules, called as the port calls it.
TEST_F(EventsTest, EventHandlerVerbsAndNodeNumbers) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  const PCFILTER_DESCRIPTOR* d = Descriptor();
  const PCAUTOMATION_TABLE* table = d->Nodes[NodeOf(5)].AutomationTable;
  ASSERT_EQ(table->EventCount, 1u);
  const PCEVENT_ITEM& item = table->Events[0];
  EXPECT_TRUE(IsEqualGUID(*item.Set, KSEVENTSETID_AudioControlChange));
  EXPECT_EQ(item.Flags, ULONG(PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT));
  PVOID itf = nullptr;
  ASSERT_EQ(miniport_->QueryInterface(IID_IMiniport, &itf), STATUS_SUCCESS);
  PCEVENT_REQUEST request{};
  request.MajorTarget = static_cast<PUNKNOWN>(itf);
  request.EventItem = &item;
  struct Row {
    ULONG node;
    ULONG verb;
    NTSTATUS status;
  };
  const Row rows[] = {{d->NodeCount, PCEVENT_VERB_ADD, STATUS_INVALID_PARAMETER},
                      {d->NodeCount, PCEVENT_VERB_SUPPORT, STATUS_INVALID_PARAMETER},
                      {0, PCEVENT_VERB_ADD, STATUS_UNSUCCESSFUL},  // no entry to add
                      {0, PCEVENT_VERB_REMOVE, STATUS_SUCCESS},
                      {0, PCEVENT_VERB_SUPPORT, STATUS_SUCCESS},
                      {0, PCEVENT_VERB_NONE, STATUS_INVALID_PARAMETER},
                      {0, 8, STATUS_INVALID_PARAMETER}};
  for (const auto& row : rows) {
    request.Node = row.node;
    request.Verb = row.verb;
    EXPECT_EQ(item.Handler(&request), row.status) << row.node << " " << row.verb;
  }
  static_cast<PUNKNOWN>(itf)->Release();

  // Through the engine client: basic support, and a node past the end.
  KSE_NODE e{};
  e.Event.Set = KSEVENTSETID_AudioControlChange;
  e.Event.Id = KSEVENT_CONTROL_CHANGE;
  e.Event.Flags = KSEVENT_TYPE_BASICSUPPORT | KSEVENT_TYPE_TOPOLOGY;
  e.NodeId = NodeOf(5);
  platform::ks::EventHandle handle = 0;
  EXPECT_EQ(Client().Raw().EnableEvent(&e, sizeof(e), [] {}, &handle), STATUS_SUCCESS);
  e.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
  e.NodeId = d->NodeCount;
  EXPECT_NE(Client().Raw().EnableEvent(&e, sizeof(e), [] {}, &handle), STATUS_SUCCESS);
}

// Once the filter is gone, a change published on the model reaches nothing.
TEST_F(EventsTest, ChangesAfterTheFilterIsGoneReachNothing) {
  StartDevice("uac1-headset-A.txt", WithModel());
  ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  PVOID callback = CallbackObject();
  client_.reset();
  PVOID itf = nullptr;
  ASSERT_EQ(topologyPort_->QueryInterface(IID_IUnregisterSubdevice, &itf), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<PUNREGISTERSUBDEVICE>(itf)->UnregisterSubdevice(fdo_, topologyPort_), STATUS_SUCCESS);
  static_cast<PUNREGISTERSUBDEVICE>(itf)->Release();
  registered_ = false;
  miniport_->Release();
  miniport_ = nullptr;
  topologyPort_->Release();
  topologyPort_ = nullptr;
  uac::PublishControlChange(callback, 5);
  platform::clock::Settle();
}

}  // namespace
