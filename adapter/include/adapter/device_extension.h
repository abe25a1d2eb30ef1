// The driver's part of the functional device's extension: the 184 bytes after the 512
// PortCls keeps for itself. It holds the started adapter, the device stack, the name
// counters of the wave subdevices, the two private device interfaces and the mutex the
// wave miniports' teardown runs under. Driver entry writes it; the audio layer reads the
// name counters when it renames an endpoint, so the layout lives here, below both.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/endpoint_type.h"
#include "adapter/stream_engine.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"

namespace adapter {

// {DC156818-B26E-4115-AEF2-37B6E5DC6ED9}: the enumeration interface; the driver's filters
// list it among their categories.
KS_DEFINE_GUID(GUID_ENUM_PRIVATE_INTERFACE, 0xDC156818, 0xB26E, 0x4115, 0xAE, 0xF2, 0x37, 0xB6, 0xE5, 0xDC, 0x6E,
               0xD9);
// {194B0E90-4058-447C-A7F3-E6657F46FE88}: the ASIO client's interface.
KS_DEFINE_GUID(GUID_ASIO_PRIVATE_INTERFACE, 0x194B0E90, 0x4058, 0x447C, 0xA7, 0xF3, 0xE6, 0x65, 0x7F, 0x46, 0xFE,
               0x88);

// The extension PortCls is asked for, and at most this many subdevices per device.
inline constexpr ULONG kDeviceExtensionSize = 696;
inline constexpr ULONG kMaxSubdevices = 20;
// One name counter per endpoint type and direction; the types use 19 of them.
inline constexpr ULONG kNameCounterSlots = 22;
// Subdevice names ("%sOut%02d": 17 characters with the longest prefix and two digits, 18
// past 99) in a 102-byte buffer.
inline constexpr ULONG kEndpointNameBufferBytes = 102;

struct DeviceExtension {
  IAudioHal* Adapter;  // one reference; set once the start succeeded
  PDEVICE_OBJECT Fdo;
  PDEVICE_OBJECT LowerDevice;  // referenced in AddDevice, dereferenced at removal
  PDEVICE_OBJECT Pdo;
  UCHAR OutputCounters[kNameCounterSlots];  // next number per endpoint type, render
  UCHAR InputCounters[kNameCounterSlots];   // next number per endpoint type, capture
  UCHAR AsioLinkRegistered;
  UNICODE_STRING AsioLink;
  UCHAR AsioLinkEnabled;
  UCHAR EnumLinkRegistered;
  UNICODE_STRING EnumLink;
  UCHAR EnumLinkEnabled;
  KMUTEX MiniportTeardownMutex;  // held by a wave miniport's destructor for its whole teardown
};
static_assert(sizeof(DeviceExtension) <= kDeviceExtensionSize - PORT_CLASS_DEVICE_EXTENSION_SIZE);

// The driver's part of a device's extension; null for a device object whose extension is
// too small to hold it (one PortCls did not create with kDeviceExtensionSize bytes).
inline DeviceExtension* GetDeviceExtension(PDEVICE_OBJECT Fdo) {
  if (!Fdo || !Fdo->DeviceExtension || Fdo->Size < sizeof(DEVICE_OBJECT) + kDeviceExtensionSize) return nullptr;
  return reinterpret_cast<DeviceExtension*>(static_cast<PUCHAR>(Fdo->DeviceExtension) +
                                            PORT_CLASS_DEVICE_EXTENSION_SIZE);
}
// The same for a device whose add-device routine has run: null unless the extension
// names the device as its own functional device.
inline DeviceExtension* FindDeviceExtension(PDEVICE_OBJECT Fdo) {
  DeviceExtension* extension = GetDeviceExtension(Fdo);
  return extension && extension->Fdo == Fdo ? extension : nullptr;
}

// Names the engine's wave subdevice: "%sOut%02d" (render) or "%sIn%02d" (capture) from
// the prefix of its endpoint type and the next number of that type and direction, which
// is then used up. A number that would repeat the name another engine of `Adapter` has
// now (the counters are bytes and wrap) is skipped, so names stay unique on the device.
// `Buffer` holds kEndpointNameBufferBytes. STATUS_INVALID_PARAMETER for a missing
// argument or a direction other than render and capture; otherwise the status of
// SetName.
NTSTATUS AssignEndpointName(DeviceExtension* Extension, IStreamEngine* Engine, IAudioHal* Adapter, PWSTR Buffer);

}  // namespace adapter
