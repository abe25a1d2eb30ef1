// What start and removal share: taking the wave subdevices down and the private
// interface links.
#pragma once

#include "adapter/device_extension.h"

namespace entry {

// Unregisters each engine's wave subdevice and physical connection, in engine order. A
// failed look-up ends the pass silently; a failed unregistration ends it, with a
// debugger line when `Report` is set.
void UnregisterWaveSubdevices(adapter::IAudioHal* Adapter, PDEVICE_OBJECT Fdo, bool Report);

// Lets every engine drop its topology port and pin map: the topology miniport holds the
// adapter, so the engines' references would keep the whole device alive.
void ReleaseTopologyPeers(adapter::IAudioHal* Adapter);

// Disables the enabled links (ASIO, then enumeration); they stay registered.
void DisableLinks(adapter::DeviceExtension* Extension);
// Frees the registered links' names.
void FreeLinks(adapter::DeviceExtension* Extension);

}  // namespace entry
