// The stream engine's wave subdevice: installed with its port, miniport and physical
// connection to the topology filter when the endpoint is connected, and removed again;
// refused when there is no factory or no topology peer; without a connection when the
// bridge pin joins no streaming terminal.
#include <gtest/gtest.h>

#include "fake_miniports.h"
#include "portcls/ksclient.h"
#include "wave_fixture.h"

namespace {

using filters_test::ExtensibleFormat;

const WAVEFORMATEXTENSIBLE k48 = ExtensibleFormat(2, 48000, 16);
constexpr ULONG kStreamingTerminal = 7;
constexpr ULONG kTopologyPin = 0;

// The topology miniport's pin map: the streaming terminal is on topology pin 0.
class CTopologyPinMap : public adapter::IMiniportPinMap, public CUnknown {
 public:
  explicit CTopologyPinMap(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IMiniportPinMap))
      return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP MapPin(ULONG EntityId, PULONG Result) override {
    if (EntityId != kStreamingTerminal) return STATUS_NOT_FOUND;
    *Result = kTopologyPin;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetSubdeviceName(PWSTR* Name) override {
    static WCHAR name[] = u"Topo";
    *Name = name;
    return STATUS_SUCCESS;
  }
};

class WaveSubdevice : public filters_test::WaveFixture {
 protected:
  void SetUp() override {
    WaveFixture::SetUp();
    device_ = fakes::FakeDevice(3);
    topology_ = fakes::FakeTopologyMiniport::Create();
    ASSERT_EQ(PcNewPort(&topologyPort_, CLSID_PortTopology), STATUS_SUCCESS);
    ASSERT_EQ(topologyPort_->Init(device_, nullptr, static_cast<IMiniportTopology*>(topology_), nullptr, nullptr),
              STATUS_SUCCESS);
    WCHAR name[] = u"Topo";
    ASSERT_EQ(PcRegisterSubdevice(device_, name, topologyPort_), STATUS_SUCCESS);
    adapter::IMiniportPinMap* map = nullptr;
    adapter::CreateInstance<CTopologyPinMap>(&map, nullptr, NonPagedPool, filters_test::kDoubleTag);
    pinMap_ = map;
  }
  void TearDown() override {
    if (engine_) engine_->UnregisterSubdevice(device_, nullptr, nullptr);
    PVOID object = nullptr;
    if (NT_SUCCESS(topologyPort_->QueryInterface(IID_IUnregisterSubdevice, &object))) {
      static_cast<PUNREGISTERSUBDEVICE>(object)->UnregisterSubdevice(device_, topologyPort_);
      static_cast<PUNREGISTERSUBDEVICE>(object)->Release();
    }
    Teardown();  // the engine holds the topology port until it goes
    pinMap_->Release();
    topologyPort_->Release();
    topology_->Release();
    WaveFixture::TearDown();
  }
  // The adapter with a render engine whose path runs from the streaming terminal to a
  // speaker (with or without a jack, plugged in or not).
  void BuildEndpoint(bool streamingTerminal = true, int speakerJack = -1) {
    ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
    if (streamingTerminal) AddTerminal(kStreamingTerminal, true, 0);
    AddTerminal(9, false, 1, speakerJack);
  }
  bool Registered(const std::u16string& name) {
    for (const auto& s : platform::ks::EnumerateSubdevices())
      if (s.name == name && s.device == device_) return true;
    return false;
  }
  size_t Connections() {
    size_t n = 0;
    for (const auto& c : platform::ks::EnumeratePhysicalConnections())
      if (c.device == device_ && c.fromName == u"SPKOut00Wave" && c.fromPin == 1 && c.toName == u"Topo" &&
          c.toPin == kTopologyPin)
        ++n;
    return n;
  }

  PDEVICE_OBJECT device_ = nullptr;
  fakes::FakeTopologyMiniport* topology_ = nullptr;
  PPORT topologyPort_ = nullptr;
  adapter::IMiniportPinMap* pinMap_ = nullptr;
};

TEST_F(WaveSubdevice, InstallsWithItsConnectionAndGoesAgain) {
  BuildEndpoint();
  ASSERT_EQ(engine_->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  ASSERT_EQ(engine_->SetTopologyPeer(topologyPort_, pinMap_), STATUS_SUCCESS);
  auto* hal = static_cast<adapter::IAudioHal*>(hal_);
  ASSERT_EQ(engine_->UpdateSubdevice(device_, nullptr, hal), STATUS_SUCCESS);
  EXPECT_TRUE(Registered(u"SPKOut00Wave"));
  EXPECT_EQ(Connections(), 1u);
  // Connected and installed: nothing more happens.
  ASSERT_EQ(engine_->UpdateSubdevice(device_, nullptr, hal), STATUS_SUCCESS);
  EXPECT_EQ(Connections(), 1u);
  ASSERT_EQ(engine_->UnregisterSubdevice(device_, nullptr, hal), STATUS_SUCCESS);
  EXPECT_FALSE(Registered(u"SPKOut00Wave"));
  EXPECT_EQ(Connections(), 0u);
  EXPECT_TRUE(Registered(u"Topo"));
  // And again.
  ASSERT_EQ(engine_->UpdateSubdevice(device_, nullptr, hal), STATUS_SUCCESS);
  EXPECT_TRUE(Registered(u"SPKOut00Wave"));
}

TEST_F(WaveSubdevice, ABridgePinThatJoinsNoStreamingTerminalHasNoConnection) {
  // The miniport's pin map finds no streaming terminal on the path: the filter is
  // installed, without a physical connection.
  BuildEndpoint(false);
  ASSERT_EQ(engine_->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  ASSERT_EQ(engine_->SetTopologyPeer(topologyPort_, pinMap_), STATUS_SUCCESS);
  auto* hal = static_cast<adapter::IAudioHal*>(hal_);
  ASSERT_EQ(engine_->UpdateSubdevice(device_, nullptr, hal), STATUS_SUCCESS);
  EXPECT_TRUE(Registered(u"SPKOut00Wave"));
  EXPECT_TRUE(platform::ks::EnumeratePhysicalConnections().empty());
  ASSERT_EQ(engine_->UnregisterSubdevice(device_, nullptr, hal), STATUS_SUCCESS);
  EXPECT_FALSE(Registered(u"SPKOut00Wave"));
}

TEST_F(WaveSubdevice, AnUnpluggedEndpointHasNoSubdevice) {
  BuildEndpoint(true, 0);
  ASSERT_EQ(engine_->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  ASSERT_EQ(engine_->SetTopologyPeer(topologyPort_, pinMap_), STATUS_SUCCESS);
  EXPECT_EQ(engine_->UpdateSubdevice(device_, nullptr, static_cast<adapter::IAudioHal*>(hal_)), STATUS_SUCCESS);
  EXPECT_FALSE(Registered(u"SPKOut00Wave"));
}

TEST_F(WaveSubdevice, RefusalsLeaveNothingBehind) {
  struct Case {
    const char* name;
    bool factory, peer, streamingTerminal;
    NTSTATUS expected;
  } cases[] = {
      {"no factory", false, true, true, STATUS_UNSUCCESSFUL},
      {"no topology peer", true, false, true, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuildEndpoint(c.streamingTerminal);
    if (c.factory) engine_->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic);
    if (c.peer) engine_->SetTopologyPeer(topologyPort_, pinMap_);
    EXPECT_EQ(engine_->UpdateSubdevice(device_, nullptr, static_cast<adapter::IAudioHal*>(hal_)), c.expected);
    EXPECT_FALSE(Registered(u"SPKOut00Wave"));
    EXPECT_EQ(Connections(), 0u);
    EXPECT_EQ(engine_->UnregisterSubdevice(device_, nullptr, nullptr), STATUS_SUCCESS);
    Teardown();
  }
}

}  // namespace
