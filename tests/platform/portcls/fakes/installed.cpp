#include "installed.h"

#include <vector>

namespace fakes {

InstalledDevice::InstalledDevice(int deviceIndex, bool capture)
    : device(FakeDevice(deviceIndex)), waveName(capture ? u"MicIn00Wave" : u"SPKOut00Wave") {
  topology = FakeTopologyMiniport::Create();
  wave = FakeWaveMiniport::Create(capture);
  PcNewPort(&topologyPort, CLSID_PortTopology);
  PcNewPort(&wavePort, CLSID_PortWaveCyclic);
  topologyPort->Init(device, nullptr, static_cast<IMiniportTopology*>(topology), nullptr, nullptr);
  wavePort->Init(device, nullptr, static_cast<IMiniportWaveCyclic*>(wave), nullptr, nullptr);
  std::vector<WCHAR> t(topologyName.begin(), topologyName.end());
  t.push_back(0);
  std::vector<WCHAR> w(waveName.begin(), waveName.end());
  w.push_back(0);
  PcRegisterSubdevice(device, t.data(), topologyPort);
  PcRegisterSubdevice(device, w.data(), wavePort);
  if (capture) PcRegisterPhysicalConnection(device, topologyPort, 0, wavePort, FakeWaveMiniport::kBridgePin);
  else PcRegisterPhysicalConnection(device, wavePort, FakeWaveMiniport::kBridgePin, topologyPort, 0);
  registered = true;
}

NTSTATUS InstalledDevice::Unregister() {
  if (!registered) return STATUS_SUCCESS;
  registered = false;
  PVOID object = nullptr;
  NTSTATUS status = wavePort->QueryInterface(IID_IUnregisterPhysicalConnection, &object);
  if (NT_SUCCESS(status)) {
    auto* connections = static_cast<PUNREGISTERPHYSICALCONNECTION>(object);
    if (wave->capture) connections->UnregisterPhysicalConnection(device, topologyPort, 0, wavePort, 1);
    else connections->UnregisterPhysicalConnection(device, wavePort, 1, topologyPort, 0);
    connections->Release();
  }
  status = wavePort->QueryInterface(IID_IUnregisterSubdevice, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* subdevices = static_cast<PUNREGISTERSUBDEVICE>(object);
  NTSTATUS a = subdevices->UnregisterSubdevice(device, wavePort);
  NTSTATUS b = subdevices->UnregisterSubdevice(device, topologyPort);
  subdevices->Release();
  return NT_SUCCESS(a) ? b : a;
}

InstalledDevice::~InstalledDevice() {
  Unregister();
  wave->Release();
  topology->Release();
  wavePort->Release();
  topologyPort->Release();
}

}  // namespace fakes
