// Settings values of the driver key.
#include "adapter/settings.h"

#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/rtl.h"
#include "portcls/portcls.h"

namespace {

constexpr ULONG kScratchTag = MakePoolTag('h', 'l', 'e', 'p');
// Keeps size + 16 and the query length within 32 bits.
constexpr ULONG kMaxSize = 0x7FFFFFFFu - 16;

// Releases a registry key object when it goes out of scope.
struct KeyRef {
  PREGISTRYKEY key = nullptr;
  ~KeyRef() {
    if (key) key->Release();
  }
};

NTSTATUS OpenSubKey(PREGISTRYKEY parent, PCWSTR name, KeyRef& out) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name);
  return parent->NewSubKey(&out.key, nullptr, KEY_ALL_ACCESS, &us, REG_OPTION_NON_VOLATILE, nullptr);
}

}  // namespace

NTSTATUS SettingsValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PCWSTR SubKey, PCWSTR Name, ULONG Type,
                       PVOID Data, ULONG Size) {
  if (Type != REG_SZ && Type != REG_BINARY && Type != REG_DWORD) return STATUS_UNSUCCESSFUL;
  if (Operation != SETTINGS_READ && Operation != SETTINGS_WRITE) return STATUS_UNSUCCESSFUL;
  if (!DeviceObject || !Name || (Size && !Data) || Size > kMaxSize) return STATUS_INVALID_PARAMETER;

  KeyRef driverKey, settingsKey, subKey;
  NTSTATUS status = PcNewRegistryKey(&driverKey.key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, DeviceObject,
                                     nullptr, nullptr, 0, nullptr);
  if (!NT_SUCCESS(status)) return status;
  status = OpenSubKey(driverKey.key, u"Settings", settingsKey);
  if (!NT_SUCCESS(status)) return status;
  PREGISTRYKEY key = settingsKey.key;
  if (SubKey) {
    status = OpenSubKey(settingsKey.key, SubKey, subKey);
    if (!NT_SUCCESS(status)) return status;
    key = subKey.key;
  }

  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, Name);
  if (Operation == SETTINGS_WRITE) return key->SetValueKey(&valueName, Type, Data, Size);

  const ULONG scratchSize = Size + 16;
  auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(ExAllocatePoolWithTag(PagedPool, scratchSize, kScratchTag));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG result = 0;
  status = key->QueryValueKey(&valueName, KeyValuePartialInformation, info, scratchSize, &result);
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL ||
      (NT_SUCCESS(status) && info->DataLength > Size)) {
    status = STATUS_UNSUCCESSFUL;  // the stored value is longer than the caller's buffer
  } else if (NT_SUCCESS(status)) {
    RtlCopyMemory(Data, info->Data, info->DataLength);
  }
  ExFreePoolWithTag(info, kScratchTag);
  return status;
}

NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size, PCWSTR Name) {
  return SettingsValue(DeviceObject, Operation, nullptr, Name, REG_BINARY, Data, Size);
}

NTSTATUS SettingsIndexedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size, PCWSTR Prefix,
                              ULONG Index) {
  if (!Prefix) return STATUS_INVALID_PARAMETER;
  WCHAR name[SETTINGS_MAX_INDEXED_NAME + 1];
  // A name cut short would name another value: refuse it instead.
  if (RtlStringCchPrintfW(name, SETTINGS_MAX_INDEXED_NAME + 1, u"%s%d", Prefix, static_cast<INT>(Index)) !=
      STATUS_SUCCESS)
    return STATUS_INVALID_PARAMETER;
  return SettingsValue(DeviceObject, Operation, nullptr, name, REG_BINARY, Data, Size);
}
