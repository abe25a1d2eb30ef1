// The driver's entry points: the kernel's driver entry, PortCls's add-device and
// start-device routines, and the four dispatch routines the driver puts in front of
// PortCls (Plug and Play, create, close, device control). Start builds the whole device:
// the root USB device object with its audio model, the topology subdevice and one named
// WaveCyclic subdevice per stream engine; removal takes it down again. Power and every
// other request stay with PortCls.
#pragma once

#include "adapter/device_extension.h"
#include "adapter/miniport_pin_map.h"
#include "kernel/io.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"

namespace entry {

// The lowest PortCls version the driver starts on (kVersionWinServer2003).
inline constexpr DWORD kMinPortClsVersion = 11;
// The kernel version driver entry requires.
inline constexpr ULONG kMinKernelVersion = 0x05010000;

// Reference strings of the two private interfaces, and the file names a request on them
// carries.
inline constexpr PCWSTR kAsioReference = u"QVASIOPrivateInterface";
inline constexpr PCWSTR kAsioFileName = u"\\QVASIOPrivateInterface";
inline constexpr PCWSTR kEnumReference = u"QVEnumPrivateInterface";
inline constexpr PCWSTR kEnumFileName = u"\\QVEnumPrivateInterface";

// Kernel entry: wires the driver's layers, registers the adapter with PortCls and, only
// when that succeeds, installs the four dispatch routines. STATUS_UNSUCCESSFUL on a
// kernel older than kMinKernelVersion.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// PortCls add-device: the functional device with the driver's extension, and the two
// private interfaces registered (not enabled) on the physical device. The status is that
// of the ASIO interface's registration; the enumeration interface's alone does not fail
// the device.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// PortCls start routine: builds the device (see the file's header). Any failure is the
// start's status, and what the routine had built is taken down in reverse order: the
// entities stopped, each wave subdevice and the topology subdevice unregistered, the root
// object released. Nothing stays in the extension.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Private I/O controls come with the ASIO interface; until then every request goes to
// PortCls.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Creates one port/miniport pair and registers it as a subdevice under the name the
// miniport's pin map gives. `MiniportFactory` null: STATUS_INVALID_PARAMETER. On success
// *OutMiniport holds the miniport (one reference) and, when asked for, *OutPortUnknown
// the port's base interface (one reference); on failure both are null and nothing stays
// registered.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId, REFCLSID MiniportClassId,
                          adapter::PFNCREATEMINIPORT MiniportFactory, PUNKNOWN UnknownAdapter,
                          PUNKNOWN* OutPortUnknown, PUNKNOWN* OutMiniport);

// The miniport factories the start routine installs the topology and the wave
// subdevices with. Driver entry's wiring sets the driver's own; a test may put others in
// place. Returns the pair it replaces.
struct MiniportFactories {
  adapter::PFNCREATEMINIPORT Topology;
  adapter::PFNCREATEMINIPORT WaveCyclic;
};
MiniportFactories SetMiniportFactories(const MiniportFactories& Factories);
MiniportFactories GetMiniportFactories();

}  // namespace entry
