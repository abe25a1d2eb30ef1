// Bookkeeping the I/O manager shares with the power and memory services (private).
#pragma once

#include <cstddef>
#include <source_location>

#include "kernel/io.h"
#include "kernel/po.h"

namespace platform::io::detail {

// Device power state recorded by PoSetPowerState (PowerDeviceD0 for a new device).
DEVICE_POWER_STATE SetDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
DEVICE_POWER_STATE GetDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE SetSystemPowerState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);

// Called by the pool before it frees [block, block + bytes): reports (MemoryInUseByIo)
// every live IRP that still uses memory inside it: the IRP itself, its URB (the argument
// of an internal device control), MDL or system buffer, the context of a completion
// routine not yet run, or memory the driver below noted for it. True when it reported.
bool CheckFreeAgainstIo(const void* block, size_t bytes, const char* api, const std::source_location& caller);

// A file object's last reference went: the close its create calls for, then its
// reference on the device object (and a removal that waited for it).
void FileObjectGone(PFILE_OBJECT file);

}  // namespace platform::io::detail
