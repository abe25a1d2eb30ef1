// I/O manager: device interfaces, their symbolic links and enable state.
#include "kernel/io.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "io_internal.h"
#include "io_state.h"
#include "kernel/device_registry.h"
#include "kernel/ke.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "kernel/verifier.h"
#include "text.h"


using namespace platform::io::detail;

// ---------------------------------------------------------------------------------------
// Device interfaces

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName,
                                   const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface", caller);
  if (!physicalDeviceObject || !interfaceClassGuid || !symbolicLinkName) return STATUS_INVALID_PARAMETER;
  std::u16string reference = platform::text::FromUnicodeString(referenceString);
  if (reference.find(u'\\') != std::u16string::npos || reference.find(u'/') != std::u16string::npos)
    return STATUS_INVALID_DEVICE_REQUEST;
  State& s = S();
  std::u16string link;
  {
    std::lock_guard lock(s.mutex);
    auto dev = s.devices.find(physicalDeviceObject);
    if (dev == s.devices.end() || dev->second.deleted) return STATUS_INVALID_DEVICE_REQUEST;
    if (dev->second.instancePath.empty() && platform::pnp::IsRegistered(physicalDeviceObject)) {
      // A device Plug and Play knows is named by its Enum key's instance path.
      static constexpr std::u16string_view kEnumPrefix = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
      std::u16string enumPath = platform::pnp::EnumKeyPath(physicalDeviceObject);
      if (enumPath.size() > kEnumPrefix.size() &&
          platform::text::UpcaseString(enumPath.substr(0, kEnumPrefix.size())) ==
              platform::text::UpcaseString(std::u16string(kEnumPrefix)))
        dev->second.instancePath = enumPath.substr(kEnumPrefix.size());
    }
    if (dev->second.instancePath.empty()) {
      char text[32];
      std::snprintf(text, sizeof text, "ROOT\\PLATFORM\\%04u", s.nextInstance++);
      dev->second.instancePath.assign(text, text + std::strlen(text));
    }
    std::u16string path = dev->second.instancePath;
    for (auto& c : path)
      if (c == u'\\') c = u'#';
    link = u"\\??\\" + path + u"#" + GuidText(*interfaceClassGuid);
    if (!reference.empty()) link += u"\\" + reference;
    std::u16string upcased = platform::text::UpcaseString(link);
    bool known = false;
    for (auto& i : s.interfaces) {
      if (i.upcasedLink == upcased) {
        i.pdo = physicalDeviceObject;
        known = true;
      }
    }
    if (!known) {
      s.interfaces.push_back(
          InterfaceRecord{*interfaceClassGuid, reference, link, std::move(upcased), physicalDeviceObject, false});
    }
  }
  size_t bytes = link.size() * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kLinkTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  symbolicLinkName->Buffer = buffer;
  symbolicLinkName->Length = static_cast<USHORT>(bytes);
  symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable,
                                   const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", caller);
  if (!symbolicLinkName || !symbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
  std::u16string upcased = platform::text::UpcaseString(platform::text::FromUnicodeString(symbolicLinkName));
  State& s = S();
  std::lock_guard lock(s.mutex);
  for (auto& i : s.interfaces) {
    if (i.upcasedLink != upcased) continue;
    if (enable) {
      if (!i.pdo) return STATUS_INVALID_DEVICE_REQUEST;
      if (i.enabled) return STATUS_OBJECT_NAME_EXISTS;
      i.enabled = true;
      return STATUS_SUCCESS;
    }
    if (!i.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    i.enabled = false;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

