// Values of the device's Enum key: the device strings the driver writes and the selective
// suspend switches it reads, for every hardware ID the device reports.
#include "adapter/usb_audio_device.h"
#include "kernel/device_registry.h"
#include "kernel/registry.h"
#include "kernel/rtl.h"

namespace adapter {
namespace {

constexpr ULONG kPathChars = 512;
constexpr ULONG kInstanceInfoBytes = sizeof(KEY_BASIC_INFORMATION) + 256 * sizeof(WCHAR);

PCWSTR ValueName(ULONG selector) {
  switch (selector) {
    case ENUM_VALUE_DEVICE_DESC: return u"DeviceDesc";
    case ENUM_VALUE_MFG: return u"Mfg";
    case ENUM_VALUE_FRIENDLY_NAME: return u"FriendlyName";
    case ENUM_VALUE_SELECTIVE_SUSPEND_ENABLED: return u"SelectiveSuspendEnabled";
    case ENUM_VALUE_DEVICE_SELECTIVE_SUSPENDED: return u"DeviceSelectiveSuspended";
    default: return nullptr;
  }
}

bool IsWrite(ULONG selector) { return selector <= ENUM_VALUE_FRIENDLY_NAME; }

NTSTATUS OpenPath(PCWSTR path, PHANDLE key) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

// Everything an Enum-key access needs: the hardware IDs and the instance name.
struct EnumKeyAccess {
  PWSTR ids = nullptr;  // REG_MULTI_SZ, paged
  ULONG idBytes = 0;
  PCWSTR secondId = nullptr;  // where the list goes on after the first ID
  WCHAR instance[129] = {};
  PWSTR path = nullptr;  // kPathChars, paged

  ~EnumKeyAccess() {
    if (ids) ExFreePoolWithTag(ids, kUsbDeviceBufferTag);
    if (path) ExFreePoolWithTag(path, kUsbDeviceBufferTag);
  }

  NTSTATUS Prepare(PDEVICE_OBJECT pdo) {
    ULONG needed = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL || needed == 0) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    // Room for two terminators more than reported, so the list always ends.
    idBytes = needed + 2 * sizeof(WCHAR);
    ids = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, idBytes, kUsbDeviceBufferTag));
    if (!ids) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(ids, idBytes);
    status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, ids, &needed);
    if (!NT_SUCCESS(status)) return status;
    const PCWSTR end = ids + idBytes / sizeof(WCHAR);
    PWSTR c = ids;
    while (c < end && *c) ++c;
    secondId = c + 1;
    for (c = ids; c < end && *c; ++c)
      if (*c == u',') {
        *c = 0;  // the first ID ends at its first ','
        break;
      }

    HANDLE key = nullptr;
    status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    auto* info = static_cast<PKEY_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, kInstanceInfoBytes, kUsbDeviceBufferTag));
    if (!info) {
      ZwClose(key);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG result = 0;
    status = ZwQueryKey(key, KeyBasicInformation, info, kInstanceInfoBytes, &result);
    ZwClose(key);
    if (NT_SUCCESS(status)) {
      ULONG chars = info->NameLength / sizeof(WCHAR);
      if (chars >= sizeof instance / sizeof instance[0]) chars = sizeof instance / sizeof instance[0] - 1;
      RtlCopyMemory(instance, info->Name, chars * sizeof(WCHAR));
      instance[chars] = 0;
    }
    ExFreePoolWithTag(info, kUsbDeviceBufferTag);
    if (!NT_SUCCESS(status)) return status;
    path = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kPathChars * sizeof(WCHAR), kUsbDeviceBufferTag));
    return path ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS OpenEnumKey(PCWSTR id, bool parameters, PHANDLE key) {
    const ULONG bytes = kPathChars * sizeof(WCHAR);
    NTSTATUS status =
        parameters ? RtlStringCbPrintfW(path, bytes, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s\\%s",
                                        id, instance, u"Device Parameters")
                   : RtlStringCbPrintfW(path, bytes, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s",
                                        id, instance);
    if (NT_SUCCESS(status)) status = OpenPath(path, key);
    if (NT_SUCCESS(status)) return status;
    status = parameters ? RtlStringCbPrintfW(path, bytes, u"\\Registry\\Machine\\Enum\\%s\\%s\\%s", id, instance,
                                             u"Device Parameters")
                        : RtlStringCbPrintfW(path, bytes, u"\\Registry\\Machine\\Enum\\%s\\%s", id, instance);
    if (NT_SUCCESS(status)) status = OpenPath(path, key);
    return status;
  }
};

NTSTATUS AccessEnumKey(PDEVICE_OBJECT pdo, ULONG selector, PVOID data, ULONG bytes) {
  const PCWSTR valueName = ValueName(selector);
  if (!valueName || !pdo || (bytes && !data)) return STATUS_INVALID_PARAMETER;
  EnumKeyAccess access;
  NTSTATUS status = access.Prepare(pdo);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  const PCWSTR end = access.ids + access.idBytes / sizeof(WCHAR);
  status = STATUS_UNSUCCESSFUL;
  for (PCWSTR id = access.ids; id < end && *id;) {
    HANDLE key = nullptr;
    status = access.OpenEnumKey(id, !IsWrite(selector), &key);
    if (NT_SUCCESS(status)) {
      if (IsWrite(selector)) {
        status = ZwSetValueKey(key, &name, 0, REG_SZ, data, bytes);
      } else {
        const ULONG infoBytes = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + bytes;
        auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
            ExAllocatePoolWithTag(PagedPool, infoBytes, kUsbDeviceBufferTag));
        if (!info) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
          ULONG result = 0;
          status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, infoBytes, &result);
          if (NT_SUCCESS(status) && info->DataLength <= bytes)
            RtlCopyMemory(data, info->Data, info->DataLength);
          else if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
            status = STATUS_UNSUCCESSFUL;
          ExFreePoolWithTag(info, kUsbDeviceBufferTag);
        }
      }
      ZwClose(key);
    }
    if (id == access.ids) {
      id = access.secondId;  // past the first ID's cut-off tail
    } else {
      while (id < end && *id) ++id;
      ++id;
    }
  }
  return status;
}

}  // namespace

NTSTATUS WriteEnumKeyValue(PDEVICE_OBJECT Pdo, ULONG Selector, PCWSTR Text, ULONG Bytes) {
  if (!IsWrite(Selector)) return STATUS_INVALID_PARAMETER;
  return AccessEnumKey(Pdo, Selector, const_cast<PWSTR>(Text), Bytes);
}

NTSTATUS ReadEnumKeyValue(PDEVICE_OBJECT Pdo, ULONG Selector, PVOID Data, ULONG Bytes) {
  if (ValueName(Selector) && IsWrite(Selector)) return STATUS_INVALID_PARAMETER;
  return AccessEnumKey(Pdo, Selector, Data, Bytes);
}

}  // namespace adapter
