// Registry keys and device properties of an adapter's device.
#include "private.h"

NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY, ULONG BufferLength, PVOID PropertyBuffer,
                             PULONG ResultLength) {
  if (!DeviceObject || !ResultLength || (BufferLength && !PropertyBuffer)) return STATUS_INVALID_PARAMETER;
  *ResultLength = 0;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK, PVOID DeviceObject, PVOID,
                          POBJECT_ATTRIBUTES, ULONG, PULONG) {
  if (!OutRegistryKey) return STATUS_INVALID_PARAMETER;
  *OutRegistryKey = nullptr;
  if (!DeviceObject) return STATUS_INVALID_PARAMETER;
  return STATUS_NOT_IMPLEMENTED;
}
