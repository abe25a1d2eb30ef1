// The subdevice registry: subdevices registered per device object under their names,
// and the physical connections between their pins, as clients enumerate them.
#include <algorithm>
#include <mutex>
#include <vector>

#include "kernel/verifier.h"
#include "kernel/rtl.h"
#include "private.h"

namespace platform::portcls {
namespace {

struct SubdeviceRecord {
  PDEVICE_OBJECT device;
  std::u16string name;
  CPortBase* port;  // one reference while registered
  std::vector<UNICODE_STRING> links;  // the enabled device interfaces, one per category, KSCATEGORY_AUDIO's first
};

struct ConnectionRecord {
  PDEVICE_OBJECT device;
  ConnectionEnd from;  // ports are not referenced: a port forgets its connections as it goes
  ConnectionEnd to;
};

struct DeviceLimit {
  PDEVICE_OBJECT device;
  ULONG maxObjects;
};

struct Registry {
  std::mutex lock;
  std::vector<SubdeviceRecord> subdevices;
  std::vector<ConnectionRecord> connections;
  std::vector<DeviceLimit> limits;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // lives as long as the process
  return *registry;
}

bool SameEnd(const ConnectionEnd& a, const ConnectionEnd& b) {
  return a.port == b.port && a.pin == b.pin && (a.port || a.external == b.external);
}

std::u16string NameOfLocked(Registry& r, const ConnectionEnd& end) {
  if (!end.port) return end.external;
  for (const auto& s : r.subdevices)
    if (s.port == end.port) return s.name;
  return {};
}

}  // namespace

std::u16string WideToString(PCWSTR text, size_t maxChars) {
  std::u16string out;
  if (!text) return out;
  for (size_t i = 0; i < maxChars && text[i]; ++i) out.push_back(text[i]);
  return out;
}

std::u16string UnicodeToString(PCUNICODE_STRING text) {
  if (!text || !text->Buffer) return {};
  return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

void RegistrySetDeviceLimit(PDEVICE_OBJECT device, ULONG maxObjects) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (auto& l : r.limits)
    if (l.device == device) {
      l.maxObjects = maxObjects;
      return;
    }
  r.limits.push_back({device, maxObjects});
}

ULONG SubdeviceLimit(PDEVICE_OBJECT device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& l : r.limits)
    if (l.device == device) return l.maxObjects;
  return 0;
}

NTSTATUS RegistryAddSubdevice(PDEVICE_OBJECT device, const std::u16string& name, CPortBase* port) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  ULONG count = 0;
  bool portRegistered = false;
  for (const auto& s : r.subdevices) {
    if (s.device != device) continue;
    if (s.name == name) return STATUS_OBJECT_NAME_COLLISION;
    portRegistered = portRegistered || s.port == port;
    ++count;
  }
  // The device was added for at most this many subdevices.
  for (const auto& l : r.limits)
    if (l.device == device && count >= l.maxObjects) return STATUS_INSUFFICIENT_RESOURCES;
  if (portRegistered) return STATUS_OBJECT_NAME_COLLISION;
  port->AddRefPort();
  r.subdevices.push_back({device, name, port, {}});
  return STATUS_SUCCESS;
}

namespace {

// A subdevice of an adapter's device is exposed as one device interface per filter
// category on the physical device, with the subdevice's name as reference string.
std::vector<UNICODE_STRING> EnableInterfaces(PDEVICE_OBJECT device, const std::u16string& name, CPortBase* port) {
  std::vector<UNICODE_STRING> links;
  PDEVICE_OBJECT pdo = PhysicalDeviceOf(device);
  const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
  if (pdo == device || !descriptor || !descriptor->Categories) return links;
  std::u16string reference = name;
  UNICODE_STRING referenceString{static_cast<USHORT>(reference.size() * sizeof(WCHAR)),
                                 static_cast<USHORT>(reference.size() * sizeof(WCHAR)), reference.data()};
  for (ULONG i = 0; i < descriptor->CategoryCount; ++i) {
    UNICODE_STRING link{};
    if (!NT_SUCCESS(IoRegisterDeviceInterface(pdo, &descriptor->Categories[i], &referenceString, &link))) continue;
    IoSetDeviceInterfaceState(&link, TRUE);
    // The audio category's link names the filter to its clients; it goes first.
    if (IsEqualGUID(descriptor->Categories[i], KSCATEGORY_AUDIO)) links.insert(links.begin(), link);
    else links.push_back(link);
  }
  return links;
}

void DisableInterfaces(std::vector<UNICODE_STRING>* links) {
  for (UNICODE_STRING& link : *links) {
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
  }
  links->clear();
}

}  // namespace

NTSTATUS RegistryRemoveSubdevice(PDEVICE_OBJECT device, CPortBase* port) {
  CPortBase* removed = nullptr;
  std::vector<UNICODE_STRING> links;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = std::find_if(r.subdevices.begin(), r.subdevices.end(),
                           [&](const SubdeviceRecord& s) { return s.device == device && s.port == port; });
    if (it == r.subdevices.end()) return STATUS_NOT_FOUND;
    removed = it->port;
    links.swap(it->links);
    r.subdevices.erase(it);
  }
  DisableInterfaces(&links);
  removed->SubdeviceUnregistered();
  removed->ReleasePort();
  return STATUS_SUCCESS;
}

void RegistryRemoveDevice(PDEVICE_OBJECT device) {
  std::vector<CPortBase*> removed;
  std::vector<UNICODE_STRING> links;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto it = r.subdevices.begin(); it != r.subdevices.end();) {
      if (it->device == device) {
        removed.push_back(it->port);
        links.insert(links.end(), it->links.begin(), it->links.end());
        it = r.subdevices.erase(it);
      } else {
        ++it;
      }
    }
    r.connections.erase(std::remove_if(r.connections.begin(), r.connections.end(),
                                       [&](const ConnectionRecord& c) { return c.device == device; }),
                        r.connections.end());
    r.limits.erase(std::remove_if(r.limits.begin(), r.limits.end(),
                                  [&](const DeviceLimit& l) { return l.device == device; }),
                   r.limits.end());
  }
  DisableInterfaces(&links);
  for (CPortBase* port : removed) {
    port->SubdeviceUnregistered();
    port->ReleasePort();
  }
}

CPortBase* RegistryFindSubdevice(PDEVICE_OBJECT device, const std::u16string& name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& s : r.subdevices) {
    if (s.device == device && s.name == name) {
      s.port->AddRefPort();
      return s.port;
    }
  }
  return nullptr;
}

std::u16string RegistryNameOf(CPortBase* port) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return NameOfLocked(r, ConnectionEnd{port, {}, 0});
}

std::vector<CPortBase*> RegistryPortsOf(PDEVICE_OBJECT device) {
  std::vector<CPortBase*> ports;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& s : r.subdevices) {
    if (s.device != device) continue;
    s.port->AddRefPort();
    ports.push_back(s.port);
  }
  return ports;
}

void RegistryForgetPort(CPortBase* port) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.connections.erase(std::remove_if(r.connections.begin(), r.connections.end(),
                                     [&](const ConnectionRecord& c) { return c.from.port == port || c.to.port == port; }),
                      r.connections.end());
}

NTSTATUS RegistryAddConnection(PDEVICE_OBJECT device, const ConnectionEnd& from, const ConnectionEnd& to) {
  for (const ConnectionEnd* end : {&from, &to}) {
    if (!end->port) continue;
    const PCFILTER_DESCRIPTOR* descriptor = end->port->Descriptor();
    if (!descriptor) return STATUS_INVALID_DEVICE_REQUEST;  // the port was never initialised
    if (end->pin >= descriptor->PinCount) return STATUS_INVALID_PARAMETER;
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& c : r.connections)
    if (c.device == device && SameEnd(c.from, from) && SameEnd(c.to, to)) return STATUS_OBJECT_NAME_COLLISION;
  r.connections.push_back({device, from, to});
  return STATUS_SUCCESS;
}

NTSTATUS RegistryRemoveConnection(PDEVICE_OBJECT device, const ConnectionEnd& from, const ConnectionEnd& to) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = std::find_if(r.connections.begin(), r.connections.end(), [&](const ConnectionRecord& c) {
    return c.device == device && SameEnd(c.from, from) && SameEnd(c.to, to);
  });
  if (it == r.connections.end()) return STATUS_NOT_FOUND;
  r.connections.erase(it);
  return STATUS_SUCCESS;
}

bool RegistryConnectionAt(CPortBase* port, ULONG pin, std::u16string* otherName, ULONG* otherPin) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& c : r.connections) {
    const ConnectionEnd* other = nullptr;
    if (c.from.port == port && c.from.pin == pin) other = &c.to;
    else if (c.to.port == port && c.to.pin == pin) other = &c.from;
    if (!other) continue;
    // The other end by its full symbolic link (an external end by the name it was
    // registered with; a subdevice without device interfaces by its name).
    *otherName = NameOfLocked(r, *other);
    if (other->port)
      for (const auto& sd : r.subdevices)
        if (sd.port == other->port && !sd.links.empty()) *otherName = UnicodeToString(&sd.links[0]);
    *otherPin = other->pin;
    return true;
  }
  return false;
}

}  // namespace platform::portcls

using namespace platform::portcls;

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown,
                             const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice", caller);
  if (!DeviceObject || !Name || !Name[0] || !Unknown) return STATUS_INVALID_PARAMETER;
  CPortBase* port = PortFromUnknown(Unknown);
  if (!port) return STATUS_INVALID_PARAMETER;
  std::u16string name = WideToString(Name);
  NTSTATUS status = port->Initialized() ? RegistryAddSubdevice(DeviceObject, name, port) : STATUS_INVALID_DEVICE_REQUEST;
  if (NT_SUCCESS(status)) {
    std::vector<UNICODE_STRING> links = EnableInterfaces(DeviceObject, name, port);
    Registry& r = TheRegistry();
    std::unique_lock<std::mutex> guard(r.lock);
    auto it = std::find_if(r.subdevices.begin(), r.subdevices.end(),
                           [&](const SubdeviceRecord& s) { return s.device == DeviceObject && s.port == port; });
    if (it != r.subdevices.end()) {
      it->links = std::move(links);
    } else {
      guard.unlock();
      DisableInterfaces(&links);  // unregistered meanwhile
    }
  }
  port->ReleasePort();
  return status;
}

namespace platform::portcls {

NTSTATUS ApplyPhysicalConnection(ConnectionChange change, PDEVICE_OBJECT device, PUNKNOWN fromUnknown,
                                 PCUNICODE_STRING fromName, ULONG fromPin, PUNKNOWN toUnknown,
                                 PCUNICODE_STRING toName, ULONG toPin) {
  if (!device) return STATUS_INVALID_PARAMETER;
  ConnectionEnd from{nullptr, {}, fromPin};
  ConnectionEnd to{nullptr, {}, toPin};
  if (fromUnknown) from.port = PortFromUnknown(fromUnknown);
  else from.external = UnicodeToString(fromName);
  if (toUnknown) to.port = PortFromUnknown(toUnknown);
  else to.external = UnicodeToString(toName);
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if ((from.port || !from.external.empty()) && (to.port || !to.external.empty())) status = change(device, from, to);
  if (from.port) from.port->ReleasePort();
  if (to.port) to.port->ReleasePort();
  return status;
}

}  // namespace platform::portcls

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnection", caller);
  if (!FromUnknown || !ToUnknown) return STATUS_INVALID_PARAMETER;
  return ApplyPhysicalConnection(RegistryAddConnection, DeviceObject, FromUnknown, nullptr, FromPin,
                                 ToUnknown, nullptr, ToPin);
}

NTSTATUS PcRegisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                PUNICODE_STRING ToString, ULONG ToPin,
                                                const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnectionToExternal", caller);
  if (!FromUnknown || !ToString) return STATUS_INVALID_PARAMETER;
  return ApplyPhysicalConnection(RegistryAddConnection, DeviceObject, FromUnknown, nullptr, FromPin,
                                 nullptr, ToString, ToPin);
}

NTSTATUS PcRegisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                  ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin,
                                                  const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnectionFromExternal", caller);
  if (!FromString || !ToUnknown) return STATUS_INVALID_PARAMETER;
  return ApplyPhysicalConnection(RegistryAddConnection, DeviceObject, nullptr, FromString, FromPin,
                                 ToUnknown, nullptr, ToPin);
}

namespace platform::ks {

std::vector<SubdeviceInfo> EnumerateSubdevices(const GUID* category) {
  std::vector<SubdeviceInfo> out;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& s : r.subdevices) {
    SubdeviceInfo info{s.device, s.name, {}};
    const PCFILTER_DESCRIPTOR* descriptor = s.port->Descriptor();
    if (descriptor && descriptor->Categories)
      info.categories.assign(descriptor->Categories, descriptor->Categories + descriptor->CategoryCount);
    if (category && std::none_of(info.categories.begin(), info.categories.end(),
                                 [&](const GUID& g) { return IsEqualGUID(g, *category); }))
      continue;
    out.push_back(std::move(info));
  }
  return out;
}

std::vector<PhysicalConnectionInfo> EnumeratePhysicalConnections() {
  std::vector<PhysicalConnectionInfo> out;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& c : r.connections)
    out.push_back({c.device, NameOfLocked(r, c.from), c.from.pin, NameOfLocked(r, c.to), c.to.pin});
  return out;
}

}  // namespace platform::ks
