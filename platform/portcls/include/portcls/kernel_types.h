// Kernel types the PortCls interfaces name. The I/O manager, power and registry
// definitions come from the kernel library; until a type is provided there it is
// declared here.
#pragma once

#include "kernel/device_registry.h"
#include "kernel/ntdef.h"
#include "kernel/ob.h"
#include "kernel/registry.h"

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
struct FILE_OBJECT;
struct CM_RESOURCE_LIST;
struct CM_PARTIAL_RESOURCE_DESCRIPTOR;
struct ADAPTER_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PIRP = IRP*;
using PFILE_OBJECT = FILE_OBJECT*;
using PCM_RESOURCE_LIST = CM_RESOURCE_LIST*;
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;
using PADAPTER_OBJECT = ADAPTER_OBJECT*;
using CM_RESOURCE_TYPE = UCHAR;
using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PLONGLONG = LONGLONG*;
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

enum SYSTEM_POWER_STATE : ULONG {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7,
};
enum DEVICE_POWER_STATE : ULONG {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5,
};
union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
enum POWER_STATE_TYPE : ULONG { SystemPowerState = 0, DevicePowerState = 1 };

// Device capabilities as a PnP query returns them; the flag bits follow Size and Version.
struct DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved1 : 1;
  ULONG WakeFromInterrupt : 1;
  ULONG SecureDevice : 1;
  ULONG ChildOfVgaEnabledBridge : 1;
  ULONG DecodeIoOnBoot : 1;
  ULONG Reserved : 9;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
};
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);
