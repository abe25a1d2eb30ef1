// Bookkeeping the I/O manager shares with the power and memory services (private).
#pragma once

#include "kernel/io.h"
#include "kernel/po.h"

namespace platform::io::detail {

// Device power state recorded by PoSetPowerState (PowerDeviceD0 for a new device).
DEVICE_POWER_STATE SetDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
DEVICE_POWER_STATE GetDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE SetSystemPowerState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);

}  // namespace platform::io::detail
