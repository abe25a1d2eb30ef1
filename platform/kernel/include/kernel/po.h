// Power manager: power IRPs requested by drivers and the recorded device power state.
#pragma once

#include "kernel/io.h"

typedef VOID REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus);
using PREQUEST_POWER_COMPLETE = REQUEST_POWER_COMPLETE*;

// Sends an IRP_MJ_POWER request (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or IRP_MN_WAIT_WAKE)
// with a device power state to the top of deviceObject's stack. completionFunction runs
// when the IRP completes (possibly before this returns), after which the IRP is freed.
// Returns STATUS_PENDING once sent; STATUS_INVALID_PARAMETER for another minor function;
// STATUS_INSUFFICIENT_RESOURCES when no IRP can be allocated.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irp);
// Records the device's (or system) power state and returns the previous one.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state);
void PoStartNextPowerIrp(PIRP irp);
inline NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp,
                             const std::source_location& caller = std::source_location::current()) {
  return IofCallDriver(deviceObject, irp, caller);
}

namespace platform::po {

// The device power state last recorded with PoSetPowerState.
DEVICE_POWER_STATE DevicePowerState(PDEVICE_OBJECT device);
// Number of PoStartNextPowerIrp calls so far.
ULONG StartNextPowerIrpCount();

}  // namespace platform::po
