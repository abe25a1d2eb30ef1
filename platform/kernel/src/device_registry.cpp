// Device properties and device registry keys of simulated physical device objects.
#include "kernel/device_registry.h"

#include <cstring>
#include <map>
#include <mutex>

#include "kernel/io.h"
#include "registry_model.h"

namespace platform::pnp {

namespace {

constexpr std::u16string_view kControlSet = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
constexpr std::u16string_view kProfileControlSet =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet";

struct Device {
  DeviceConfig config;
  std::u16string enumKey;     // Enum\<device ID>\<instance ID> below a control set
  std::u16string driverKey;   // Control\Class\<class GUID>\NNNN below a control set
};

std::mutex& DevicesMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<PDEVICE_OBJECT, Device>& Devices() {
  static std::map<PDEVICE_OBJECT, Device> devices;
  return devices;
}

std::optional<Device> Find(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(DevicesMutex());
  auto it = Devices().find(pdo);
  if (it == Devices().end()) return std::nullopt;
  return it->second;
}

std::u16string DriverKeyName(const DeviceConfig& c) {
  char16_t index[8];
  const ULONG n = c.driverIndex % 10000;
  index[0] = static_cast<char16_t>(u'0' + n / 1000);
  index[1] = static_cast<char16_t>(u'0' + n / 100 % 10);
  index[2] = static_cast<char16_t>(u'0' + n / 10 % 10);
  index[3] = static_cast<char16_t>(u'0' + n % 10);
  return c.classGuid + u"\\" + std::u16string(index, 4);
}

std::vector<UCHAR> Text(std::u16string_view s) {
  std::vector<UCHAR> out((s.size() + 1) * sizeof(WCHAR), 0);
  if (!s.empty()) std::memcpy(out.data(), s.data(), s.size() * sizeof(WCHAR));
  return out;
}

std::vector<UCHAR> Dword(ULONG v) {
  std::vector<UCHAR> out(sizeof v);
  std::memcpy(out.data(), &v, sizeof v);
  return out;
}

// Opens (creating) an absolute key path as a kernel handle.
NTSTATUS OpenPath(const std::u16string& path, ACCESS_MASK access, PHANDLE handle) {
  using namespace platform::registry::detail;
  std::shared_ptr<Key> key;
  {
    std::lock_guard lock(Mutex());
    std::vector<std::u16string_view> parts;
    if (!SplitAbsolute(path, parts) || parts.empty()) return STATUS_OBJECT_NAME_INVALID;
    key = WalkCreate(Root(), parts);
  }
  return OpenKeyHandle(key, access, handle);
}

}  // namespace

bool RegisterDevice(PDEVICE_OBJECT pdo, const DeviceConfig& config) {
  if (!pdo) return false;
  Device device{config, u"\\Enum\\" + config.deviceId + u"\\" + config.instanceId,
                u"\\Control\\Class\\" + DriverKeyName(config)};
  if (device.config.hardwareIds.empty()) device.config.hardwareIds = {config.deviceId};
  const std::u16string enumKey = std::u16string(kControlSet) + device.enumKey;
  // Every component must make a valid key name.
  if (!registry::CreateKey(enumKey + u"\\Device Parameters") ||
      !registry::CreateKey(std::u16string(kControlSet) + device.driverKey) ||
      !registry::CreateKey(std::u16string(kProfileControlSet) + device.enumKey))
    return false;

  const DeviceConfig& c = device.config;
  registry::SetMultiString(enumKey, u"HardwareID", c.hardwareIds);
  if (!c.compatibleIds.empty()) registry::SetMultiString(enumKey, u"CompatibleIDs", c.compatibleIds);
  registry::SetString(enumKey, u"DeviceDesc", c.deviceDescription);
  if (!c.manufacturer.empty()) registry::SetString(enumKey, u"Mfg", c.manufacturer);
  if (!c.friendlyName.empty()) registry::SetString(enumKey, u"FriendlyName", c.friendlyName);
  if (!c.locationInformation.empty()) registry::SetString(enumKey, u"LocationInformation", c.locationInformation);
  registry::SetString(enumKey, u"Class", c.className);
  registry::SetString(enumKey, u"ClassGUID", c.classGuid);
  registry::SetString(enumKey, u"Driver", DriverKeyName(c));

  // Device interfaces of the PDO are named after the same instance path.
  platform::io::SetDeviceInstancePath(pdo, (c.deviceId + u"\\" + c.instanceId).c_str());
  std::lock_guard lock(DevicesMutex());
  Devices()[pdo] = std::move(device);
  return true;
}

void UnregisterDevice(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(DevicesMutex());
  Devices().erase(pdo);
}

void UnregisterAllDevices() {
  std::lock_guard lock(DevicesMutex());
  Devices().clear();
}

bool IsRegistered(PDEVICE_OBJECT pdo) { return Find(pdo).has_value(); }

std::u16string EnumKeyPath(PDEVICE_OBJECT pdo) {
  auto d = Find(pdo);
  return d ? std::u16string(kControlSet) + d->enumKey : std::u16string();
}

std::u16string DeviceParametersPath(PDEVICE_OBJECT pdo) {
  auto d = Find(pdo);
  return d ? std::u16string(kControlSet) + d->enumKey + u"\\Device Parameters" : std::u16string();
}

std::u16string DriverKeyPath(PDEVICE_OBJECT pdo) {
  auto d = Find(pdo);
  return d ? std::u16string(kControlSet) + d->driverKey : std::u16string();
}

std::u16string HardwareProfileKeyPath(PDEVICE_OBJECT pdo) {
  auto d = Find(pdo);
  return d ? std::u16string(kProfileControlSet) + d->enumKey : std::u16string();
}

}  // namespace platform::pnp

using namespace platform;

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength,
                             const std::source_location& caller) {
  registry::detail::CheckPassive("IoGetDeviceProperty", caller);
  auto device = pnp::Find(DeviceObject);
  if (!device) return STATUS_INVALID_DEVICE_REQUEST;
  if (!ResultLength || (BufferLength && !PropertyBuffer)) return STATUS_INVALID_PARAMETER;
  const pnp::DeviceConfig& c = device->config;
  const std::u16string enumKey = std::u16string(pnp::kControlSet) + device->enumKey;

  // Properties kept as values of the Enum key are read from there, so values a driver
  // writes (such as "FriendlyName") show in later queries.
  const char16_t* valueName = nullptr;
  std::optional<std::vector<UCHAR>> data;
  switch (DeviceProperty) {
    case DevicePropertyDeviceDescription: valueName = u"DeviceDesc"; break;
    case DevicePropertyHardwareID: valueName = u"HardwareID"; break;
    case DevicePropertyCompatibleIDs: valueName = u"CompatibleIDs"; break;
    case DevicePropertyClassName: valueName = u"Class"; break;
    case DevicePropertyClassGuid: valueName = u"ClassGUID"; break;
    case DevicePropertyDriverKeyName: valueName = u"Driver"; break;
    case DevicePropertyManufacturer: valueName = u"Mfg"; break;
    case DevicePropertyFriendlyName: valueName = u"FriendlyName"; break;
    case DevicePropertyLocationInformation: valueName = u"LocationInformation"; break;
    case DevicePropertyPhysicalDeviceObjectName:
      data = pnp::Text(c.physicalDeviceObjectName);
      break;
    case DevicePropertyEnumeratorName:
      data = pnp::Text(std::u16string_view(c.deviceId).substr(0, c.deviceId.find(u'\\')));
      break;
    case DevicePropertyBusNumber:
      if (c.busNumber) data = pnp::Dword(*c.busNumber);
      break;
    case DevicePropertyAddress:
      if (c.address) data = pnp::Dword(*c.address);
      break;
    case DevicePropertyUINumber:
      if (c.uiNumber) data = pnp::Dword(*c.uiNumber);
      break;
    case DevicePropertyBootConfiguration:
    case DevicePropertyBootConfigurationTranslated:
    case DevicePropertyBusTypeGuid:
    case DevicePropertyLegacyBusType:
    case DevicePropertyInstallState:
    case DevicePropertyRemovalPolicy:
    case DevicePropertyResourceRequirements:
    case DevicePropertyAllocatedResources:
    case DevicePropertyContainerID:
      break;
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
  if (valueName) {
    if (auto value = registry::GetValue(enumKey, valueName)) data = std::move(value->data);
  }
  if (!data) return STATUS_OBJECT_NAME_NOT_FOUND;
  *ResultLength = static_cast<ULONG>(data->size());
  if (BufferLength < data->size()) return STATUS_BUFFER_TOO_SMALL;
  if (!data->empty()) std::memcpy(PropertyBuffer, data->data(), data->size());
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey, const std::source_location& caller) {
  registry::detail::CheckPassive("IoOpenDeviceRegistryKey", caller);
  auto device = pnp::Find(DeviceObject);
  if (!device) return STATUS_INVALID_DEVICE_REQUEST;
  if (!DeviceRegKey) return STATUS_INVALID_PARAMETER;
  const ULONG kind = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
  if ((DevInstKeyType & ~(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) ||
      (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER))
    return STATUS_INVALID_PARAMETER;
  const bool profile = DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
  std::u16string path(profile ? pnp::kProfileControlSet : pnp::kControlSet);
  if (kind == PLUGPLAY_REGKEY_DRIVER)
    path += device->driverKey;
  else
    path += device->enumKey + (profile ? u"" : u"\\Device Parameters");
  return pnp::OpenPath(path, DesiredAccess, DeviceRegKey);
}
