// Ports, subdevice and physical-connection registration as a client sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "installed.h"
#include "portcls/ksclient.h"
#include "portcls/pcplatform.h"
#include "support/kernel_fixture.h"

namespace {

using fakes::FakeTopologyMiniport;
using fakes::FakeWaveMiniport;
using fakes::InstalledDevice;
using platform::ks::EnumeratePhysicalConnections;
using platform::ks::EnumerateSubdevices;

using Ports = platform::testing::KernelTest;
using Registry = platform::testing::KernelTest;

bool Listed(PDEVICE_OBJECT device, const std::u16string& name, const GUID* category = nullptr) {
  auto list = EnumerateSubdevices(category);
  return std::any_of(list.begin(), list.end(), [&](const auto& s) { return s.device == device && s.name == name; });
}

TEST_F(Ports, NewPortKnowsTwoClassesAndReportsItsVersion) {
  PPORT port = nullptr;
  EXPECT_EQ(PcNewPort(&port, CLSID_PortWavePci), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(port, nullptr);
  ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(port->QueryInterface(IID_IPortClsVersion, &object), STATUS_SUCCESS);
  auto* version = static_cast<PPORTCLSVERSION>(object);
  EXPECT_GE(version->GetVersion(), static_cast<DWORD>(kVersionWinServer2003));
  platform::portcls::SetPortClsVersion(kVersionWinXP);
  EXPECT_EQ(version->GetVersion(), static_cast<DWORD>(kVersionWinXP));
  platform::portcls::SetPortClsVersion(kVersionWindowsLonghorn);
  version->Release();
  EXPECT_EQ(port->QueryInterface(IID_IPortTopology, &object), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(object, nullptr);
  ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &object), STATUS_SUCCESS);
  static_cast<PPORTWAVECYCLIC>(object)->Release();
  EXPECT_EQ(port->Release(), 0u);
}

TEST_F(Ports, InitRunsTheMiniportOnceAndRegistrationNeedsIt) {
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
  WCHAR name[] = u"Lonely";
  PDEVICE_OBJECT device = fakes::FakeDevice(5);
  EXPECT_EQ(PcRegisterSubdevice(device, name, port), STATUS_INVALID_DEVICE_REQUEST);

  auto* wave = FakeWaveMiniport::Create(false);
  // A wave miniport does not fit a topology port.
  EXPECT_EQ(port->Init(device, nullptr, static_cast<IMiniportWaveCyclic*>(wave), nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  auto* topology = FakeTopologyMiniport::Create();
  topology->keepPortReference = false;
  EXPECT_EQ(port->Init(device, nullptr, static_cast<IMiniportTopology*>(topology), nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(port->Init(device, nullptr, static_cast<IMiniportTopology*>(topology), nullptr, nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  wave->Release();
  topology->Release();
  EXPECT_EQ(port->Release(), 0u);
}

TEST_F(Registry, SubdevicesAndCategoriesAreVisible) {
  InstalledDevice dev(1);
  EXPECT_TRUE(Listed(dev.device, dev.topologyName));
  EXPECT_TRUE(Listed(dev.device, dev.waveName));
  EXPECT_TRUE(Listed(dev.device, dev.waveName, &KSCATEGORY_RENDER));
  EXPECT_FALSE(Listed(dev.device, dev.topologyName, &KSCATEGORY_RENDER));
  EXPECT_TRUE(Listed(dev.device, dev.topologyName, &KSCATEGORY_TOPOLOGY));
  auto list = EnumerateSubdevices(&KSCATEGORY_AUDIO);
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& s) { return s.name == dev.waveName; });
  ASSERT_NE(it, list.end());
  EXPECT_EQ(it->categories.size(), 2u);
}

TEST_F(Registry, ASecondRegistrationUnderOneNameIsRefused) {
  InstalledDevice dev(2);
  PPORT other = nullptr;
  ASSERT_EQ(PcNewPort(&other, CLSID_PortTopology), STATUS_SUCCESS);
  auto* topology = FakeTopologyMiniport::Create();
  topology->keepPortReference = false;
  ASSERT_EQ(other->Init(dev.device, nullptr, static_cast<IMiniportTopology*>(topology), nullptr, nullptr),
            STATUS_SUCCESS);
  WCHAR same[] = u"Topo";
  EXPECT_EQ(PcRegisterSubdevice(dev.device, same, other), STATUS_OBJECT_NAME_COLLISION);
  // The same name on another device is its own subdevice.
  EXPECT_EQ(PcRegisterSubdevice(fakes::FakeDevice(3), same, other), STATUS_SUCCESS);
  EXPECT_TRUE(Listed(fakes::FakeDevice(3), u"Topo"));
  WCHAR empty[] = u"";
  EXPECT_EQ(PcRegisterSubdevice(dev.device, empty, other), STATUS_INVALID_PARAMETER);

  PVOID object = nullptr;
  ASSERT_EQ(other->QueryInterface(IID_IUnregisterSubdevice, &object), STATUS_SUCCESS);
  auto* unregister = static_cast<PUNREGISTERSUBDEVICE>(object);
  EXPECT_EQ(unregister->UnregisterSubdevice(fakes::FakeDevice(3), other), STATUS_SUCCESS);
  EXPECT_EQ(unregister->UnregisterSubdevice(fakes::FakeDevice(3), other), STATUS_NOT_FOUND);
  EXPECT_FALSE(Listed(fakes::FakeDevice(3), u"Topo"));
  unregister->Release();
  topology->Release();
  EXPECT_EQ(other->Release(), 0u);
}

TEST_F(Registry, PhysicalConnectionsAreVisibleFromBothEnds) {
  InstalledDevice dev(4);
  auto connections = EnumeratePhysicalConnections();
  auto it = std::find_if(connections.begin(), connections.end(), [&](const auto& c) { return c.device == dev.device; });
  ASSERT_NE(it, connections.end());
  EXPECT_EQ(it->fromName, dev.waveName);
  EXPECT_EQ(it->fromPin, FakeWaveMiniport::kBridgePin);
  EXPECT_EQ(it->toName, dev.topologyName);
  EXPECT_EQ(it->toPin, 0u);
  // Registering it again is refused; a pin the filter does not have too.
  EXPECT_EQ(PcRegisterPhysicalConnection(dev.device, dev.wavePort, 1, dev.topologyPort, 0),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(PcRegisterPhysicalConnection(dev.device, dev.wavePort, 9, dev.topologyPort, 0), STATUS_INVALID_PARAMETER);

  std::unique_ptr<platform::ks::Filter> wave;
  ASSERT_EQ(platform::ks::OpenFilter(dev.device, dev.waveName, &wave), STATUS_SUCCESS);
  KSP_PIN p{};
  p.Property.Set = KSPROPSETID_Pin;
  p.Property.Id = KSPROPERTY_PIN_PHYSICALCONNECTION;
  p.Property.Flags = KSPROPERTY_TYPE_GET;
  p.PinId = FakeWaveMiniport::kBridgePin;
  ULONG returned = 0;
  ASSERT_EQ(wave->Property(&p, sizeof(p), nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  std::vector<BYTE> answer(returned);
  ASSERT_EQ(wave->Property(&p, sizeof(p), answer.data(), returned, &returned), STATUS_SUCCESS);
  ULONG pin;
  std::memcpy(&pin, answer.data() + 4, sizeof(pin));
  EXPECT_EQ(pin, 0u);
  std::u16string link(reinterpret_cast<const char16_t*>(answer.data() + 8));
  EXPECT_EQ(link, dev.topologyName);
  p.PinId = FakeWaveMiniport::kStreamingPin;
  EXPECT_EQ(wave->Property(&p, sizeof(p), answer.data(), returned, &returned), STATUS_NOT_FOUND);

  PVOID object = nullptr;
  ASSERT_EQ(dev.wavePort->QueryInterface(IID_IUnregisterPhysicalConnection, &object), STATUS_SUCCESS);
  auto* unregister = static_cast<PUNREGISTERPHYSICALCONNECTION>(object);
  EXPECT_EQ(unregister->UnregisterPhysicalConnection(dev.device, dev.wavePort, 1, dev.topologyPort, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(unregister->UnregisterPhysicalConnection(dev.device, dev.wavePort, 1, dev.topologyPort, 0),
            STATUS_NOT_FOUND);
  unregister->Release();
  connections = EnumeratePhysicalConnections();
  EXPECT_TRUE(std::none_of(connections.begin(), connections.end(), [&](const auto& c) { return c.device == dev.device; }));
  p.PinId = FakeWaveMiniport::kBridgePin;
  EXPECT_EQ(wave->Property(&p, sizeof(p), answer.data(), returned, &returned), STATUS_NOT_FOUND);
}

TEST_F(Registry, UnregisteredSubdevicesDisappearButOpenFiltersKeepWorking) {
  InstalledDevice dev(6);
  std::unique_ptr<platform::ks::Filter> topology;
  ASSERT_EQ(platform::ks::OpenFilter(dev.device, dev.topologyName, &topology), STATUS_SUCCESS);
  ASSERT_EQ(dev.Unregister(), STATUS_SUCCESS);
  EXPECT_FALSE(Listed(dev.device, dev.topologyName));
  EXPECT_FALSE(Listed(dev.device, dev.waveName));
  std::unique_ptr<platform::ks::Filter> again;
  EXPECT_EQ(platform::ks::OpenFilter(dev.device, dev.topologyName, &again), STATUS_OBJECT_NAME_NOT_FOUND);

  KSNODEPROPERTY_AUDIO_CHANNEL get{};
  get.NodeProperty.Property.Set = KSPROPSETID_Audio;
  get.NodeProperty.Property.Id = KSPROPERTY_AUDIO_VOLUMELEVEL;
  get.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  LONG level = 1;
  ULONG returned = 0;
  EXPECT_EQ(topology->Property(&get, sizeof(get), &level, sizeof(level), &returned), STATUS_SUCCESS);
  topology.reset();  // the last handle: the port lets its miniport go
}

}  // namespace
