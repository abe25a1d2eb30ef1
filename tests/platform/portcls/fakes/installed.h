// A device with the fake topology filter and a fake wave filter installed and
// registered, as an adapter's start routine would leave them; torn down in reverse.
#pragma once

#include <string>

#include "fake_miniports.h"

namespace fakes {

struct InstalledDevice {
  explicit InstalledDevice(int deviceIndex = 0, bool capture = false);
  ~InstalledDevice();
  InstalledDevice(const InstalledDevice&) = delete;
  InstalledDevice& operator=(const InstalledDevice&) = delete;

  NTSTATUS Unregister();  // subdevices and the connection; idempotent

  PDEVICE_OBJECT device;
  PPORT topologyPort = nullptr;
  PPORT wavePort = nullptr;
  FakeTopologyMiniport* topology = nullptr;
  FakeWaveMiniport* wave = nullptr;
  std::u16string topologyName = u"Topo";
  std::u16string waveName;
  bool registered = false;
};

}  // namespace fakes
