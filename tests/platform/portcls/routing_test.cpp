// Property and event routing through the filters of installed fake miniports: KS size
// rules, unknown sets, verbs, BASICSUPPORT, node and pin addressing, framework pin and
// topology sets, data-range intersection, and control-change events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "installed.h"
#include "kernel/clock.h"
#include "portcls/ksclient.h"
#include "support/kernel_fixture.h"

namespace {

using fakes::FakeTopologyMiniport;
using fakes::FakeWaveMiniport;
using fakes::InstalledDevice;
using platform::ks::Filter;

KSNODEPROPERTY_AUDIO_CHANNEL NodeChannel(const GUID& set, ULONG id, ULONG verb, ULONG node, LONG channel) {
  KSNODEPROPERTY_AUDIO_CHANNEL p{};
  p.NodeProperty.Property.Set = set;
  p.NodeProperty.Property.Id = id;
  p.NodeProperty.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
  p.NodeProperty.NodeId = node;
  p.Channel = channel;
  return p;
}

// Enables the control-change event of the fake topology's volume node.
KSE_NODE EnableVolumeChange() {
  KSE_NODE enable{};
  enable.Event.Set = KSEVENTSETID_AudioControlChange;
  enable.Event.Id = KSEVENT_CONTROL_CHANGE;
  enable.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
  enable.NodeId = FakeTopologyMiniport::kVolumeNode;
  return enable;
}

KSP_PIN PinProperty(const GUID& set, ULONG id, ULONG pin, ULONG verb = KSPROPERTY_TYPE_GET) {
  KSP_PIN p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = verb;
  p.PinId = pin;
  return p;
}

class RoutingTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dev = std::make_unique<InstalledDevice>();
    ASSERT_EQ(platform::ks::OpenFilter(dev->device, dev->topologyName, &topology), STATUS_SUCCESS);
    ASSERT_EQ(platform::ks::OpenFilter(dev->device, dev->waveName, &wave), STATUS_SUCCESS);
  }
  void TearDown() override {
    topology.reset();
    wave.reset();
    dev.reset();
    KernelTest::TearDown();
  }

  std::unique_ptr<InstalledDevice> dev;
  std::unique_ptr<Filter> topology;
  std::unique_ptr<Filter> wave;
};

TEST_F(RoutingTest, NodePropertyGetAndSetReachTheHandler) {
  auto set = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET,
                         FakeTopologyMiniport::kVolumeNode, 1);
  LONG level = -6 * 65536;
  ULONG returned = 99;
  EXPECT_EQ(topology->Property(&set, sizeof(set), &level, sizeof(level), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(dev->topology->level[1], -6 * 65536);
  EXPECT_EQ(dev->topology->level[0], 0);

  auto get = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET,
                         FakeTopologyMiniport::kVolumeNode, 1);
  LONG read = 0;
  EXPECT_EQ(topology->Property(&get, sizeof(get), &read, sizeof(read), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(LONG));
  EXPECT_EQ(read, -6 * 65536);
}

TEST_F(RoutingTest, SizeQueriesAndShortBuffersFollowTheKsRules) {
  // A handler's zero-size answer travels back with the needed size.
  auto get = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET,
                         FakeTopologyMiniport::kVolumeNode, 0);
  ULONG returned = 0;
  EXPECT_EQ(topology->Property(&get, sizeof(get), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(LONG));
  BYTE small[2] = {};
  EXPECT_EQ(topology->Property(&get, sizeof(get), small, sizeof(small), &returned), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 0u);

  // The framework's own properties follow the same rules.
  KSPROPERTY ctypes{};
  ctypes.Set = KSPROPSETID_Pin;
  ctypes.Id = KSPROPERTY_PIN_CTYPES;
  ctypes.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_EQ(wave->Property(&ctypes, sizeof(ctypes), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(ULONG));
  EXPECT_EQ(wave->Property(&ctypes, sizeof(ctypes), small, sizeof(small), &returned), STATUS_BUFFER_TOO_SMALL);
  ULONG count = 0;
  EXPECT_EQ(wave->Property(&ctypes, sizeof(ctypes), &count, sizeof(count), &returned), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);

  auto ranges = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, FakeWaveMiniport::kStreamingPin);
  EXPECT_EQ(wave->Property(&ranges, sizeof(ranges), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  // The PCM range (88 bytes) and its attribute list (8 + 24) after the 8-byte header.
  EXPECT_EQ(returned, 8u + 88u + 32u);
  std::vector<BYTE> buffer(returned - 1);
  EXPECT_EQ(wave->Property(&ranges, sizeof(ranges), buffer.data(), static_cast<ULONG>(buffer.size()), &returned),
            STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RoutingTest, NodeRequestsShorterThanANodeHeaderAreRefused) {
  // Each request sits in a block of exactly its size, so reading past it is caught.
  KSNODEPROPERTY_AUDIO_CHANNEL full = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                                  KSPROPERTY_TYPE_GET, FakeTopologyMiniport::kVolumeNode, 0);
  for (ULONG size : {ULONG(sizeof(KSPROPERTY)), ULONG(sizeof(KSPROPERTY) + 4), ULONG(sizeof(KSP_NODE) - 1)}) {
    SCOPED_TRACE(size);
    std::unique_ptr<BYTE[]> request(new BYTE[size]);
    std::memcpy(request.get(), &full, size);
    LONG value = 0;
    ULONG returned = 0;
    EXPECT_EQ(topology->Property(request.get(), size, &value, sizeof(value), &returned), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(returned, 0u);
  }
  KSE_NODE enable = EnableVolumeChange();
  for (ULONG size : {ULONG(sizeof(KSEVENT)), ULONG(sizeof(KSEVENT) + 4)}) {
    SCOPED_TRACE(size);
    std::unique_ptr<BYTE[]> request(new BYTE[size]);
    std::memcpy(request.get(), &enable, size);
    platform::ks::EventHandle handle = 0;
    EXPECT_EQ(topology->EnableEvent(request.get(), size, [] {}, &handle), STATUS_INVALID_BUFFER_SIZE);
  }
}

TEST_F(RoutingTest, ListsAskedWithAUlongOrAHeaderGetTheSizeOrTheHeader) {
  auto ranges = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, FakeWaveMiniport::kStreamingPin);
  KSPROPERTY nodes{};
  nodes.Set = KSPROPSETID_Topology;
  nodes.Id = KSPROPERTY_TOPOLOGY_NODES;
  nodes.Flags = KSPROPERTY_TYPE_GET;
  struct Case {
    Filter* filter;
    const void* request;
    ULONG requestSize;
    ULONG size;
    ULONG count;
  } cases[] = {{wave.get(), &ranges, sizeof(ranges), 8 + 88 + 32, 2},
               {topology.get(), &nodes, sizeof(nodes), 8 + 2 * sizeof(GUID), 2}};
  for (const Case& c : cases) {
    ULONG total = 0, returned = 0;
    ASSERT_EQ(c.filter->Property(c.request, c.requestSize, &total, sizeof(total), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(ULONG));
    EXPECT_EQ(total, c.size);
    KSMULTIPLE_ITEM header{};
    ASSERT_EQ(c.filter->Property(c.request, c.requestSize, &header, sizeof(header), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(header));
    EXPECT_EQ(header.Size, c.size);
    EXPECT_EQ(header.Count, c.count);
    BYTE three[3];
    EXPECT_EQ(c.filter->Property(c.request, c.requestSize, three, sizeof(three), &returned), STATUS_BUFFER_TOO_SMALL);
  }
}

TEST_F(RoutingTest, UnknownSetsIdsVerbsAndNodesAreRefused) {
  KSPROPERTY unknown{};
  unknown.Set = GUID{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  unknown.Flags = KSPROPERTY_TYPE_GET;
  ULONG value = 0, returned = 0;
  EXPECT_EQ(topology->Property(&unknown, sizeof(unknown), &value, sizeof(value), &returned), STATUS_NOT_FOUND);
  unknown.Flags = KSPROPERTY_TYPE_SETSUPPORT;
  EXPECT_EQ(topology->Property(&unknown, sizeof(unknown), nullptr, 0, &returned), STATUS_NOT_FOUND);

  auto unknownId = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, KSPROPERTY_TYPE_GET,
                               FakeTopologyMiniport::kVolumeNode, 0);
  EXPECT_EQ(topology->Property(&unknownId, sizeof(unknownId), &value, sizeof(value), &returned), STATUS_NOT_FOUND);

  auto badNode = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 7, 0);
  EXPECT_EQ(topology->Property(&badNode, sizeof(badNode), &value, sizeof(value), &returned),
            STATUS_INVALID_DEVICE_REQUEST);

  // A verb the item does not take; a request with no verb; a header cut short.
  auto muteBasic = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET,
                               FakeTopologyMiniport::kMuteNode, 0);
  muteBasic.NodeProperty.Property.Flags = KSPROPERTY_TYPE_TOPOLOGY;
  EXPECT_EQ(topology->Property(&muteBasic, sizeof(muteBasic), &value, sizeof(value), &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(topology->Property(&unknown, sizeof(KSPROPERTY) - 1, &value, sizeof(value), &returned),
            STATUS_INVALID_BUFFER_SIZE);
  KSPROPERTY nodes{};
  nodes.Set = KSPROPSETID_Topology;
  nodes.Id = KSPROPERTY_TOPOLOGY_NODES;
  nodes.Flags = KSPROPERTY_TYPE_SET;
  EXPECT_EQ(topology->Property(&nodes, sizeof(nodes), &value, sizeof(value), &returned),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RoutingTest, BasicSupportGoesToTheHandlerOrGetsTheDefault) {
  auto basic = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT,
                           FakeTopologyMiniport::kVolumeNode, 0);
  ULONG returned = 0;
  EXPECT_EQ(topology->Property(&basic, sizeof(basic), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(returned, 40u + 16u + 2u * 16u);
  std::vector<BYTE> full(returned);
  ASSERT_EQ(topology->Property(&basic, sizeof(basic), full.data(), returned, &returned), STATUS_SUCCESS);
  KSPROPERTY_DESCRIPTION d;
  KSPROPERTY_MEMBERSHEADER h;
  KSPROPERTY_STEPPING_LONG s;
  std::memcpy(&d, full.data(), sizeof(d));
  std::memcpy(&h, full.data() + 40, sizeof(h));
  std::memcpy(&s, full.data() + 56 + 16, sizeof(s));
  EXPECT_EQ(d.AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
  EXPECT_EQ(d.PropTypeSet.Id, static_cast<ULONG>(VT_I4));
  EXPECT_EQ(h.MembersFlags, KSPROPERTY_MEMBER_STEPPEDRANGES);
  EXPECT_EQ(h.MembersCount, 2u);
  EXPECT_EQ(s.Bounds.SignedMinimum, FakeTopologyMiniport::kMinLevel);
  EXPECT_EQ(s.SteppingDelta, FakeTopologyMiniport::kStep);

  ULONG access = 0;
  EXPECT_EQ(topology->Property(&basic, sizeof(basic), &access, sizeof(access), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 4u);

  // The mute item has no BASICSUPPORT of its own: the framework answers its access.
  auto muteBasic = NodeChannel(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_BASICSUPPORT,
                               FakeTopologyMiniport::kMuteNode, 0);
  EXPECT_EQ(topology->Property(&muteBasic, sizeof(muteBasic), &access, sizeof(access), &returned), STATUS_SUCCESS);
  EXPECT_EQ(access, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
}

TEST_F(RoutingTest, PinAddressedFilterPropertiesCarryThePinInTheInstance) {
  auto jack = PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, 1);
  ULONG returned = 0;
  EXPECT_EQ(topology->Property(&jack, sizeof(jack), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 8u + 28u);
  std::vector<BYTE> value(returned);
  ASSERT_EQ(topology->Property(&jack, sizeof(jack), value.data(), returned, &returned), STATUS_SUCCESS);
  KSJACK_DESCRIPTION d;
  std::memcpy(&d, value.data() + 8, sizeof(d));
  EXPECT_EQ(d.IsConnected, 1);
  jack.PinId = 0;
  EXPECT_EQ(topology->Property(&jack, sizeof(jack), value.data(), returned, &returned),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RoutingTest, FrameworkDescribesPinsNodesAndConnections) {
  ULONG returned = 0;
  auto flow = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, FakeWaveMiniport::kBridgePin);
  ULONG value = 0;
  ASSERT_EQ(wave->Property(&flow, sizeof(flow), &value, sizeof(value), &returned), STATUS_SUCCESS);
  EXPECT_EQ(value, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
  auto badPin = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, 2);
  EXPECT_EQ(wave->Property(&badPin, sizeof(badPin), &value, sizeof(value), &returned), STATUS_INVALID_PARAMETER);

  auto interfaces = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, FakeWaveMiniport::kStreamingPin);
  BYTE mediums[8 + 24];
  ASSERT_EQ(wave->Property(&interfaces, sizeof(interfaces), mediums, sizeof(mediums), &returned), STATUS_SUCCESS);
  KSIDENTIFIER medium;
  std::memcpy(&medium, mediums + 8, sizeof(medium));
  EXPECT_EQ(medium.Set, KSMEDIUMSETID_Standard);

  KSPROPERTY connections{};
  connections.Set = KSPROPSETID_Topology;
  connections.Id = KSPROPERTY_TOPOLOGY_CONNECTIONS;
  connections.Flags = KSPROPERTY_TYPE_GET;
  BYTE list[8 + 3 * 16];
  ASSERT_EQ(topology->Property(&connections, sizeof(connections), list, sizeof(list), &returned), STATUS_SUCCESS);
  KSMULTIPLE_ITEM header;
  KSTOPOLOGY_CONNECTION last;
  std::memcpy(&header, list, sizeof(header));
  std::memcpy(&last, list + 8 + 32, sizeof(last));
  EXPECT_EQ(header.Count, 3u);
  EXPECT_EQ(last.ToNode, KSFILTER_NODE);
  EXPECT_EQ(last.ToNodePin, 1u);

  KSPROPERTY nodes{};
  nodes.Set = KSPROPSETID_Topology;
  nodes.Id = KSPROPERTY_TOPOLOGY_NODES;
  nodes.Flags = KSPROPERTY_TYPE_GET;
  BYTE types[8 + 2 * 16];
  ASSERT_EQ(topology->Property(&nodes, sizeof(nodes), types, sizeof(types), &returned), STATUS_SUCCESS);
  GUID second;
  std::memcpy(&second, types + 8 + 16, sizeof(second));
  EXPECT_EQ(second, KSNODETYPE_MUTE);

  auto modes = PinProperty(KSPROPSETID_AudioSignalProcessing, KSPROPERTY_AUDIOSIGNALPROCESSING_MODES,
                           FakeWaveMiniport::kStreamingPin);
  BYTE modeList[8 + 16];
  ASSERT_EQ(wave->Property(&modes, sizeof(modes), modeList, sizeof(modeList), &returned), STATUS_SUCCESS);
  GUID mode;
  std::memcpy(&mode, modeList + 8, sizeof(mode));
  EXPECT_EQ(mode, AUDIO_SIGNALPROCESSINGMODE_RAW);
  modes.PinId = FakeWaveMiniport::kBridgePin;
  EXPECT_EQ(wave->Property(&modes, sizeof(modes), modeList, sizeof(modeList), &returned), STATUS_NOT_SUPPORTED);
}

TEST_F(RoutingTest, DataIntersectionAsksTheMiniportWithTheSizeRules) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM header;
    KSDATARANGE_AUDIO range;
  } request{};
  request.pin = PinProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, FakeWaveMiniport::kStreamingPin);
  request.header = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO), 1};
  request.range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  request.range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  request.range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  request.range.MaximumChannels = 2;
  request.range.MinimumBitsPerSample = 16;
  request.range.MaximumBitsPerSample = 16;
  request.range.MinimumSampleFrequency = 8000;
  request.range.MaximumSampleFrequency = 44100;

  ULONG returned = 0;
  EXPECT_EQ(wave->Property(&request, sizeof(request), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 104u);
  BYTE small[64];
  EXPECT_EQ(wave->Property(&request, sizeof(request), small, sizeof(small), &returned), STATUS_BUFFER_TOO_SMALL);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
  ASSERT_EQ(wave->Property(&request, sizeof(request), &format, sizeof(format), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 104u);
  EXPECT_EQ(format.WaveFormatExt.Format.nSamplesPerSec, 44100u);

  request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  EXPECT_EQ(wave->Property(&request, sizeof(request), &format, sizeof(format), &returned), STATUS_NO_MATCH);
  // A list that claims more than was sent is refused.
  request.header.Size = sizeof(request);
  EXPECT_EQ(wave->Property(&request, sizeof(request), &format, sizeof(format), &returned),
            STATUS_INVALID_BUFFER_SIZE);
}

TEST_F(RoutingTest, NodeEventReachesTheClientWhenTheMiniportRaisesIt) {
  KSE_NODE enable = EnableVolumeChange();
  int fired = 0;
  platform::ks::EventHandle handle = 0;
  ASSERT_EQ(topology->EnableEvent(&enable, sizeof(enable), [&] { ++fired; }, &handle), STATUS_SUCCESS);
  EXPECT_EQ(dev->topology->eventsAdded, 1u);

  dev->topology->RaiseControlChange(FakeTopologyMiniport::kMuteNode);  // another node
  platform::clock::Settle();
  EXPECT_EQ(fired, 0);
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();
  EXPECT_EQ(fired, 2);
  // Without NodeEvent the event is raised for whatever node it was enabled on.
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kMuteNode, false, true);
  platform::clock::Settle();
  EXPECT_EQ(fired, 3);

  EXPECT_EQ(topology->DisableEvent(handle), STATUS_SUCCESS);
  EXPECT_EQ(dev->topology->eventsRemoved, 1u);
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(topology->DisableEvent(handle), STATUS_INVALID_PARAMETER);

  // The mute node has no event; a node out of range is refused.
  enable.NodeId = FakeTopologyMiniport::kMuteNode;
  EXPECT_EQ(topology->EnableEvent(&enable, sizeof(enable), [] {}, &handle), STATUS_NOT_FOUND);
  enable.NodeId = 2;
  EXPECT_EQ(topology->EnableEvent(&enable, sizeof(enable), [] {}, &handle), STATUS_INVALID_DEVICE_REQUEST);
  enable.NodeId = FakeTopologyMiniport::kVolumeNode;
  enable.Event.Flags = KSEVENT_TYPE_BASICSUPPORT | KSEVENT_TYPE_TOPOLOGY;
  EXPECT_EQ(topology->EnableEvent(&enable, sizeof(enable), [] {}, &handle), STATUS_SUCCESS);
}

TEST_F(RoutingTest, AControlChangeRaisedUnderASpinLockReachesTheClientLaterAtPassiveLevel) {
  KSE_NODE enable = EnableVolumeChange();
  struct Call {
    KIRQL irql;
    bool onRaisersThread;
    bool operator==(const Call&) const = default;
  };
  std::vector<Call> calls;
  const PKTHREAD raiser = KeGetCurrentThread();
  platform::ks::EventHandle handle = 0;
  ASSERT_EQ(topology->EnableEvent(&enable, sizeof(enable),
                                  [&] { calls.push_back({KeGetCurrentIrql(), KeGetCurrentThread() == raiser}); },
                                  &handle),
            STATUS_SUCCESS);
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode, true);
  platform::clock::Settle();
  // Never inside the driver's call, under its lock: later, on another thread.
  EXPECT_EQ(calls, (std::vector<Call>{{PASSIVE_LEVEL, false}}));

  // A change still queued when the event is disabled is not delivered. Under a seed the
  // worker may deliver it before the disable runs.
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode, true);
  EXPECT_EQ(topology->DisableEvent(handle), STATUS_SUCCESS);
  const size_t delivered = calls.size();
  platform::clock::Settle();
  EXPECT_EQ(calls.size(), delivered) << "nothing reaches the client after the disable";
  if (seed() == 0) {
    EXPECT_EQ(calls.size(), 1u);
  }
}

// A change the delivery thread has already taken when the event is disabled: the disable
// waits for its callback, so nothing runs once it has returned, under every seed.
TEST_F(RoutingTest, NoCallbackRunsOnceItsEventIsDisabled) {
  KSE_NODE enable = EnableVolumeChange();
  int lateCalls = 0;
  const auto late = platform::testing::SeedsWhere(1 + seed() * 200, 200, [&] {
    bool disabled = false;
    platform::ks::EventHandle handle = 0;
    EXPECT_EQ(topology->EnableEvent(&enable, sizeof(enable), [&] { lateCalls += disabled; }, &handle),
              STATUS_SUCCESS);
    dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode, true);
    EXPECT_EQ(topology->DisableEvent(handle), STATUS_SUCCESS);
    disabled = true;
    platform::clock::Settle();
    const bool found = lateCalls != 0;
    lateCalls = 0;
    return found;
  });
  EXPECT_TRUE(late.empty()) << late.size() << " seeds, the first " << late.front();
}

KSPROPERTY Diagnostic(ULONG id) {
  KSPROPERTY p{};
  p.Set = fakes::KSPROPSETID_FakeDiagnostics;
  p.Id = id;
  p.Flags = KSPROPERTY_TYPE_GET;
  return p;
}

TEST_F(RoutingTest, AHandlerReadsTheRequestsIrp) {
  KSPROPERTY p = Diagnostic(fakes::kDiagnosticIrp);
  ULONG answer[4] = {};
  ULONG returned = 0;
  ASSERT_EQ(topology->Property(&p, sizeof(p), answer, sizeof(answer), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(answer));
  EXPECT_EQ(answer[0], static_cast<ULONG>(UserMode));  // the engine is a user-mode client
  EXPECT_EQ(answer[1], IOCTL_KS_PROPERTY);
  EXPECT_EQ(answer[2], sizeof(p));
  EXPECT_EQ(answer[3], sizeof(answer));
}

TEST_F(RoutingTest, AHandlerMayCompleteTheIrpLater) {
  KSPROPERTY p = Diagnostic(fakes::kDiagnosticPending);
  ULONG answer = 0;
  ULONG returned = 0;
  ASSERT_EQ(topology->Property(&p, sizeof(p), &answer, sizeof(answer), &returned), STATUS_SUCCESS);
  EXPECT_EQ(answer, 0x600Du);
  EXPECT_EQ(returned, sizeof(answer));
}

TEST_F(RoutingTest, AWarningStatusCarriesItsData) {
  KSPROPERTY p = Diagnostic(fakes::kDiagnosticPartial);
  BYTE answer[16] = {};
  ULONG returned = 0;
  ASSERT_EQ(topology->Property(&p, sizeof(p), answer, 10, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 10u);
  for (ULONG i = 0; i < 16; ++i) EXPECT_EQ(answer[i], i < 10 ? i : 0u) << i;
  ASSERT_EQ(topology->Property(&p, sizeof(p), answer, sizeof(answer), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 16u);
}

TEST_F(RoutingTest, AHandlerClaimingMoreThanTheBufferIsCutToIt) {
  KSPROPERTY p = Diagnostic(fakes::kDiagnosticOverReport);
  std::vector<BYTE> memory(8 + 64, 0x11);  // the caller's 8 bytes, then its other data
  ULONG returned = 0;
  ASSERT_EQ(topology->Property(&p, sizeof(p), memory.data(), 8, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u);
  EXPECT_TRUE(std::all_of(memory.begin(), memory.begin() + 8, [](BYTE b) { return b == 0xAB; }));
  EXPECT_TRUE(std::all_of(memory.begin() + 8, memory.end(), [](BYTE b) { return b == 0x11; }));
}

TEST_F(RoutingTest, ClosingAFilterDisablesItsEvents) {
  KSE_NODE enable = EnableVolumeChange();
  int fired = 0;
  platform::ks::EventHandle handle = 0;
  ASSERT_EQ(topology->EnableEvent(&enable, sizeof(enable), [&] { ++fired; }, &handle), STATUS_SUCCESS);
  topology.reset();
  EXPECT_EQ(dev->topology->eventsRemoved, 1u);
  dev->topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();
  EXPECT_EQ(fired, 0);
}

}  // namespace
