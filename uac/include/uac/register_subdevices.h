// What a terminal-kind switch does to the wave subdevices: every engine whose terminal
// kind changed loses its subdevice, takes a fresh name for its new endpoint type and gets
// its subdevice again. The function classes' RegisterSubdevices share it.
#pragma once

#include "adapter/audio_hal.h"

namespace uac {

// Whether the first terminal-kind node on the engine's path switched since the engine was
// last named; the engine counts as named at that switch afterwards, and the node's changed
// flag is cleared. Every engine whose path ends at the switched terminal answers true
// once per switch.
bool IsEngineKindChanged(adapter::IStreamEngine* Engine);

// Waits before a changed engine's subdevice is registered again (ms; 0: none).
using SubdeviceUpdateDelay = ULONG (*)(PDEVICE_OBJECT DeviceObject);

// For each engine of `Function` whose kind changed: unregisters its wave subdevice,
// names it from the device extension's counters of its own direction and new type,
// waits what `Delay` asks (null: no wait) and updates its subdevice. A function whose
// device object was not started by the driver's entry has no subdevices: only the kind
// flags are taken and the waits made. No engine: STATUS_UNSUCCESSFUL; otherwise the first
// failure, or success.
//
// `Register` (null: the engine's UpdateSubdevice) registers a renamed engine again; it is
// called with `Context` once per changed engine.
using SubdeviceRegistration = NTSTATUS (*)(adapter::IAudioHal* Function, adapter::IStreamEngine* Engine,
                                           PVOID Context);
NTSTATUS RegisterChangedSubdevices(adapter::IAudioHal* Function, SubdeviceUpdateDelay Delay,
                                   SubdeviceRegistration Register = nullptr, PVOID Context = nullptr);

}  // namespace uac
