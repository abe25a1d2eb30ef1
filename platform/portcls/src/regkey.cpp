// Registry keys (IRegistryKey over the kernel's key calls) and device properties of an
// adapter's device, both reached through the physical device object.
#include "kernel/verifier.h"
#include "portcls/pcplatform.h"
#include "private.h"

namespace platform::portcls {
namespace {

constexpr ULONG kRegistryKeyTag = MakePoolTag('P', 'c', 'R', 'k');

class CRegistryKey final : public CUnknown, public IRegistryKey {
 public:
  CRegistryKey(PUNKNOWN outer, HANDLE key) : CUnknown(outer), m_Key(key) {}
  ~CRegistryKey() override {
    if (m_Key) ZwClose(m_Key);
  }
  DECLARE_STD_UNKNOWN();

  STDMETHODIMP QueryKey(KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                        PULONG ResultLength) override {
    if (!m_Key) return STATUS_KEY_DELETED;
    return ZwQueryKey(m_Key, KeyInformationClass, KeyInformation, Length, ResultLength);
  }
  STDMETHODIMP EnumerateKey(ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                            ULONG Length, PULONG ResultLength) override {
    if (!m_Key) return STATUS_KEY_DELETED;
    return ZwEnumerateKey(m_Key, Index, KeyInformationClass, KeyInformation, Length, ResultLength);
  }
  STDMETHODIMP QueryValueKey(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) override {
    if (!m_Key) return STATUS_KEY_DELETED;
    return ZwQueryValueKey(m_Key, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
  }
  STDMETHODIMP EnumerateValueKey(ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                 PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) override {
    if (!m_Key) return STATUS_KEY_DELETED;
    return ZwEnumerateValueKey(m_Key, Index, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
  }
  STDMETHODIMP SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) override {
    if (!m_Key) return STATUS_KEY_DELETED;
    return ZwSetValueKey(m_Key, ValueName, 0, Type, Data, DataSize);
  }
  // The query-table walk of RtlQueryRegistryValues is not part of this layer.
  STDMETHODIMP QueryRegistryValues(PVOID, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP NewSubKey(IRegistryKey** SubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                         PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) override {
    if (!SubKey || !SubKeyName) return STATUS_INVALID_PARAMETER;
    *SubKey = nullptr;
    if (!m_Key) return STATUS_KEY_DELETED;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, SubKeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_Key, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwCreateKey(&key, DesiredAccess, &attributes, 0, nullptr, CreateOptions, Disposition);
    if (!NT_SUCCESS(status)) return status;
    return Wrap(key, OuterUnknown, SubKey);
  }
  STDMETHODIMP DeleteKey() override {
    if (!m_Key) return STATUS_KEY_DELETED;
    return ZwDeleteKey(m_Key);
  }

  static NTSTATUS Wrap(HANDLE key, PUNKNOWN outer, PREGISTRYKEY* out) {
    auto* created = new (PagedPool, kRegistryKeyTag) CRegistryKey(outer, key);
    if (!created) {
      ZwClose(key);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    created->NonDelegatingAddRef();
    *out = created;
    return STATUS_SUCCESS;
  }

 private:
  HANDLE m_Key;
};

STDMETHODIMP CRegistryKey::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IRegistryKey)) {
    *object = static_cast<IRegistryKey*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

}  // namespace
}  // namespace platform::portcls

using namespace platform::portcls;

NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
  if (!DeviceObject || !ResultLength || (BufferLength && !PropertyBuffer)) return STATUS_INVALID_PARAMETER;
  return IoGetDeviceProperty(PhysicalDeviceOf(static_cast<PDEVICE_OBJECT>(DeviceObject)), DeviceProperty,
                             BufferLength, PropertyBuffer, ResultLength);
}

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID, POBJECT_ATTRIBUTES ObjectAttributes,
                          ULONG CreateOptions, PULONG Disposition, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcNewRegistryKey", caller);
  if (!OutRegistryKey) return STATUS_INVALID_PARAMETER;
  *OutRegistryKey = nullptr;
  HANDLE key = nullptr;
  NTSTATUS status;
  if (RegistryKeyType == GeneralRegistryKey) {
    if (!ObjectAttributes) return STATUS_INVALID_PARAMETER;
    status = ZwCreateKey(&key, DesiredAccess, ObjectAttributes, 0, nullptr, CreateOptions, Disposition);
  } else {
    if (!DeviceObject) return STATUS_INVALID_PARAMETER;
    ULONG kind;
    switch (RegistryKeyType) {
      case DeviceRegistryKey: kind = PLUGPLAY_REGKEY_DEVICE; break;
      case DriverRegistryKey: kind = PLUGPLAY_REGKEY_DRIVER; break;
      case HwProfileRegistryKey: kind = PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE; break;
      case DeviceInterfaceRegistryKey: return STATUS_NOT_SUPPORTED;  // no device-interface keys here
      default: return STATUS_INVALID_PARAMETER;
    }
    status = IoOpenDeviceRegistryKey(PhysicalDeviceOf(static_cast<PDEVICE_OBJECT>(DeviceObject)), kind,
                                     DesiredAccess, &key);
  }
  if (!NT_SUCCESS(status)) return status;
  return CRegistryKey::Wrap(key, OuterUnknown, OutRegistryKey);
}
