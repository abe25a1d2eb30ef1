// Plug and Play's registry side of a device: the properties of a physical device object
// (IoGetDeviceProperty) and its device and driver keys (IoOpenDeviceRegistryKey), set up
// per simulated device with platform::pnp::RegisterDevice.
//
// Layout, as Plug and Play keeps it (below \Registry\Machine\SYSTEM\CurrentControlSet):
//   Enum\<device ID>\<instance ID>                 the device's Enum key: DeviceDesc,
//       HardwareID, CompatibleIDs, Mfg, FriendlyName, LocationInformation, Class,
//       ClassGUID, Driver; most properties are read from these values
//   Enum\<device ID>\<instance ID>\Device Parameters   PLUGPLAY_REGKEY_DEVICE
//   Control\Class\<class GUID>\<NNNN>              PLUGPLAY_REGKEY_DRIVER (the software key;
//       what PortCls's PcNewRegistryKey(DriverRegistryKey) opens)
//   Hardware Profiles\Current\System\CurrentControlSet\Enum\<device ID>\<instance ID>
//       PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE (its name is the
//       instance ID); with PLUGPLAY_REGKEY_DRIVER the profile's Control\Class\... copy
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "kernel/registry.h"

struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;

enum DEVICE_REGISTRY_PROPERTY : ULONG {
  DevicePropertyDeviceDescription = 0,
  DevicePropertyHardwareID = 1,
  DevicePropertyCompatibleIDs = 2,
  DevicePropertyBootConfiguration = 3,
  DevicePropertyBootConfigurationTranslated = 4,
  DevicePropertyClassName = 5,
  DevicePropertyClassGuid = 6,
  DevicePropertyDriverKeyName = 7,
  DevicePropertyManufacturer = 8,
  DevicePropertyFriendlyName = 9,
  DevicePropertyLocationInformation = 10,
  DevicePropertyPhysicalDeviceObjectName = 11,
  DevicePropertyBusTypeGuid = 12,
  DevicePropertyLegacyBusType = 13,
  DevicePropertyBusNumber = 14,
  DevicePropertyEnumeratorName = 15,
  DevicePropertyAddress = 16,
  DevicePropertyUINumber = 17,
  DevicePropertyInstallState = 18,
  DevicePropertyRemovalPolicy = 19,
  DevicePropertyResourceRequirements = 20,
  DevicePropertyAllocatedResources = 21,
  DevicePropertyContainerID = 22,
};

constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
constexpr ULONG PLUGPLAY_REGKEY_CURRENT_HWPROFILE = 4;

// Both are PASSIVE_LEVEL calls (a higher IRQL is reported to the verifier).
// Copies the property into the buffer. Text properties are REG_SZ data with their
// terminator, ID lists REG_MULTI_SZ; BusNumber, Address and UINumber are ULONGs.
// STATUS_BUFFER_TOO_SMALL with *ResultLength = the size needed when it does not fit;
// STATUS_OBJECT_NAME_NOT_FOUND for a property the device does not have;
// STATUS_INVALID_DEVICE_REQUEST for a device object that is no registered PDO.
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength,
                             const std::source_location& caller = std::source_location::current());
// Opens (creating when missing) the device's key of the given kind as a kernel handle;
// exactly one of PLUGPLAY_REGKEY_DEVICE and PLUGPLAY_REGKEY_DRIVER, optionally with
// PLUGPLAY_REGKEY_CURRENT_HWPROFILE (else STATUS_INVALID_PARAMETER).
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey,
                                 const std::source_location& caller = std::source_location::current());

namespace platform::pnp {

// What Plug and Play knows of a simulated device.
struct DeviceConfig {
  std::u16string deviceId = u"USB\\VID_0000&PID_0000";  // enumerator\device part of the instance path
  std::u16string instanceId = u"5&1a2b3c4d&0&1";
  std::vector<std::u16string> hardwareIds;               // empty: { deviceId }
  std::vector<std::u16string> compatibleIds;
  std::u16string deviceDescription = u"USB Audio Device";
  std::u16string manufacturer;                           // empty: no "Mfg"
  std::u16string friendlyName;                           // empty: no "FriendlyName"
  std::u16string locationInformation;                    // empty: none
  std::u16string className = u"MEDIA";
  std::u16string classGuid = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";
  ULONG driverIndex = 0;                                 // driver key <classGuid>\%04u
  std::u16string physicalDeviceObjectName = u"\\Device\\USBPDO-0";
  std::optional<ULONG> busNumber;
  std::optional<ULONG> address;
  std::optional<ULONG> uiNumber;
};

// Makes the device object a PDO with this configuration and writes its Enum key (values
// set by the configuration replace stored ones; others, such as a "FriendlyName" a driver
// wrote in an earlier run, stay), and gives a PDO of the I/O manager the instance path
// "<device ID>\<instance ID>" for its interface links. false when an ID would make a
// malformed key path.
bool RegisterDevice(PDEVICE_OBJECT pdo, const DeviceConfig& config);
// Forgets the PDO (its keys stay, as they do when a device is unplugged).
void UnregisterDevice(PDEVICE_OBJECT pdo);
void UnregisterAllDevices();
bool IsRegistered(PDEVICE_OBJECT pdo);

// Absolute paths of a registered device's keys (empty when not registered).
std::u16string EnumKeyPath(PDEVICE_OBJECT pdo);
std::u16string DeviceParametersPath(PDEVICE_OBJECT pdo);
std::u16string DriverKeyPath(PDEVICE_OBJECT pdo);
std::u16string HardwareProfileKeyPath(PDEVICE_OBJECT pdo);

}  // namespace platform::pnp
