// The Zw key calls over the registry tree. A key handle names a key object whose body
// holds the tree node; a deleted node stays alive (and answers STATUS_KEY_DELETED) until
// its last handle closes.
#include <algorithm>
#include <cstring>
#include <new>

#include "kernel/registry.h"
#include "registry_model.h"

using namespace platform::registry::detail;

namespace {

struct KeyBody {
  std::shared_ptr<Key> key;
};

POBJECT_TYPE KeyType() { return *CmKeyObjectType; }

// Looks a key handle up; the returned node is checked for deletion by the caller.
NTSTATUS ReferenceKey(HANDLE handle, std::shared_ptr<Key>& key) {
  PVOID body = nullptr;
  const NTSTATUS status = ObReferenceObjectByHandle(handle, 0, KeyType(), KernelMode, &body, nullptr);
  if (!NT_SUCCESS(status)) return status;
  key = static_cast<KeyBody*>(body)->key;
  ObDereferenceObject(body);
  return STATUS_SUCCESS;
}

bool ValidString(PCUNICODE_STRING s) {
  return s && s->Length % 2 == 0 && s->Length <= s->MaximumLength && (s->Length == 0 || s->Buffer);
}

std::u16string_view View(PCUNICODE_STRING s) {
  return s->Length ? std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string_view();
}

// Resolves OBJECT_ATTRIBUTES to the start key and the components below it.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, std::shared_ptr<Key>& start,
                     std::vector<std::u16string_view>& parts) {
  if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
  PUNICODE_STRING name = attributes->ObjectName;
  if (name && !ValidString(name)) return STATUS_OBJECT_NAME_INVALID;
  const std::u16string_view path = name ? View(name) : std::u16string_view();
  if (attributes->RootDirectory) {
    if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    const NTSTATUS status = ReferenceKey(attributes->RootDirectory, start);
    if (!NT_SUCCESS(status)) return status;
    return SplitRelative(path, parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
  }
  if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (!SplitAbsolute(path, parts)) {
    // Outside \Registry: a name of the object namespace that is no key.
    std::vector<std::u16string_view> any;
    if (!SplitRelative(path.substr(1), any)) return STATUS_OBJECT_NAME_INVALID;
    return any.size() > 1 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  start = Root();
  return STATUS_SUCCESS;
}

NTSTATUS OpenHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access, ULONG attributes, PHANDLE handle) {
  platform::ob::CreateParams params;
  params.type = KeyType();
  params.bodySize = sizeof(KeyBody);
  params.initialize = [&](PVOID body) { new (body) KeyBody{key}; };
  params.destroy = [](PVOID body) { static_cast<KeyBody*>(body)->~KeyBody(); };
  PVOID body = nullptr;
  NTSTATUS status = platform::ob::CreateObject(params, &body);
  if (!NT_SUCCESS(status)) return status;
  status = ObOpenObjectByPointer(body, attributes & OBJ_KERNEL_HANDLE, nullptr, access, KeyType(), KernelMode,
                                 handle);
  ObDereferenceObject(body);
  return status;
}

// Fills a variable-size information structure: `full` holds all of it, `fixed` bytes are
// its fixed part. With `partialTail` the part of the variable tail that fits is copied
// along with the fixed part when the buffer is short (key names); otherwise only the
// fixed part (value data).
NTSTATUS CopyInformation(const std::vector<UCHAR>& full, ULONG fixed, bool partialTail, PVOID buffer,
                         ULONG length, PULONG resultLength) {
  if (!resultLength || (length && !buffer)) return STATUS_INVALID_PARAMETER;
  *resultLength = static_cast<ULONG>(full.size());
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  if (length < full.size()) {
    std::memcpy(buffer, full.data(), partialTail ? length : fixed);
    return STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(buffer, full.data(), full.size());
  return STATUS_SUCCESS;
}

void Put32(std::vector<UCHAR>& out, size_t offset, ULONG v) { std::memcpy(out.data() + offset, &v, sizeof v); }

void PutText(std::vector<UCHAR>& out, size_t offset, std::u16string_view text) {
  if (!text.empty()) std::memcpy(out.data() + offset, text.data(), text.size() * sizeof(WCHAR));
}

ULONG Bytes(std::u16string_view s) { return static_cast<ULONG>(s.size() * sizeof(WCHAR)); }

// Key information of one class; false for an unknown class.
bool KeyInformation(const Key& key, KEY_INFORMATION_CLASS infoClass, std::vector<UCHAR>& out, ULONG& fixed) {
  const ULONG nameBytes = Bytes(key.name);
  const ULONG classBytes = Bytes(key.klass);
  switch (infoClass) {
    case KeyBasicInformation:
      fixed = offsetof(KEY_BASIC_INFORMATION, Name);
      out.assign(fixed + nameBytes, 0);
      Put32(out, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
      PutText(out, fixed, key.name);
      return true;
    case KeyNodeInformation: {
      fixed = offsetof(KEY_NODE_INFORMATION, Name);
      const ULONG classOffset = classBytes ? fixed + nameBytes : 0xFFFFFFFFu;
      out.assign(fixed + nameBytes + classBytes, 0);
      Put32(out, offsetof(KEY_NODE_INFORMATION, ClassOffset), classOffset);
      Put32(out, offsetof(KEY_NODE_INFORMATION, ClassLength), classBytes);
      Put32(out, offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
      PutText(out, fixed, key.name);
      PutText(out, fixed + nameBytes, key.klass);
      return true;
    }
    case KeyFullInformation: {
      fixed = offsetof(KEY_FULL_INFORMATION, Class);
      out.assign(fixed + classBytes, 0);
      ULONG maxName = 0, maxClass = 0, maxValueName = 0, maxData = 0;
      for (auto& child : key.children) {
        maxName = std::max(maxName, Bytes(child->name));
        maxClass = std::max(maxClass, Bytes(child->klass));
      }
      for (auto& [name, value] : key.values) {
        maxValueName = std::max(maxValueName, Bytes(name));
        maxData = std::max(maxData, static_cast<ULONG>(value.data.size()));
      }
      Put32(out, offsetof(KEY_FULL_INFORMATION, ClassOffset), classBytes ? fixed : 0xFFFFFFFFu);
      Put32(out, offsetof(KEY_FULL_INFORMATION, ClassLength), classBytes);
      Put32(out, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(key.children.size()));
      Put32(out, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
      Put32(out, offsetof(KEY_FULL_INFORMATION, MaxClassLen), maxClass);
      Put32(out, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(key.values.size()));
      Put32(out, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
      Put32(out, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxData);
      PutText(out, fixed, key.klass);
      return true;
    }
    case KeyNameInformation: {
      const std::u16string path = FullPath(key);
      fixed = offsetof(KEY_NAME_INFORMATION, Name);
      out.assign(fixed + Bytes(path), 0);
      Put32(out, 0, Bytes(path));
      PutText(out, fixed, path);
      return true;
    }
  }
  return false;
}

bool ValueInformation(std::u16string_view name, const platform::registry::Value& value,
                      KEY_VALUE_INFORMATION_CLASS infoClass, std::vector<UCHAR>& out, ULONG& fixed) {
  const ULONG nameBytes = Bytes(name);
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());
  switch (infoClass) {
    case KeyValueBasicInformation:
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      out.assign(fixed + nameBytes, 0);
      Put32(out, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
      Put32(out, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
      PutText(out, fixed, name);
      return true;
    case KeyValueFullInformation: {
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      // The data follow the name, aligned to pointer size.
      const ULONG dataOffset = (fixed + nameBytes + 7u) & ~7u;
      out.assign(dataOffset + dataBytes, 0);
      Put32(out, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
      Put32(out, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
      Put32(out, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
      Put32(out, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
      PutText(out, fixed, name);
      if (dataBytes) std::memcpy(out.data() + dataOffset, value.data.data(), dataBytes);
      return true;
    }
    case KeyValuePartialInformation:
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      out.assign(fixed + dataBytes, 0);
      Put32(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
      Put32(out, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
      if (dataBytes) std::memcpy(out.data() + fixed, value.data.data(), dataBytes);
      return true;
  }
  return false;
}

}  // namespace

namespace platform::registry::detail {

NTSTATUS OpenKeyHandle(const std::shared_ptr<Key>& key, ACCESS_MASK access, PHANDLE handle) {
  return OpenHandle(key, access, OBJ_KERNEL_HANDLE, handle);
}

}  // namespace platform::registry::detail

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                     ULONG titleIndex, PUNICODE_STRING className, ULONG createOptions, PULONG disposition,
    const std::source_location& caller) {
  CheckPassive("ZwCreateKey", caller);
  UNREFERENCED_PARAMETER(titleIndex);
  if (!keyHandle) return STATUS_INVALID_PARAMETER;
  if (createOptions & ~0xFu) return STATUS_INVALID_PARAMETER;
  if (className && !ValidString(className)) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> start;
  std::vector<std::u16string_view> parts;
  NTSTATUS status = ResolveName(objectAttributes, start, parts);
  if (!NT_SUCCESS(status)) return status;

  std::shared_ptr<Key> key;
  bool created = false;
  {
    std::lock_guard lock(Mutex());
    if (start->deleted) return STATUS_KEY_DELETED;
    std::shared_ptr<Key> parent = start;
    if (!parts.empty()) {
      const std::u16string_view last = parts.back();
      parts.pop_back();
      parent = Walk(start, parts);
      if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
      key = FindChild(*parent, last);
      if (!key) {
        // The hives are fixed; nothing is created directly below \Registry.
        if (parent == Root()) return STATUS_ACCESS_DENIED;
        key = AddChild(*parent, last);
        if (className) key->klass = std::u16string(View(className));
        created = true;
      }
    } else {
      key = start;
    }
  }
  status = OpenHandle(key, desiredAccess, objectAttributes->Attributes, keyHandle);
  if (!NT_SUCCESS(status)) {
    if (created) {
      std::lock_guard lock(Mutex());
      RemoveKey(*key);
    }
    return status;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
    const std::source_location& caller) {
  CheckPassive("ZwOpenKey", caller);
  if (!keyHandle) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> start;
  std::vector<std::u16string_view> parts;
  NTSTATUS status = ResolveName(objectAttributes, start, parts);
  if (!NT_SUCCESS(status)) return status;
  std::shared_ptr<Key> key;
  {
    std::lock_guard lock(Mutex());
    if (start->deleted) return STATUS_KEY_DELETED;
    key = Walk(start, parts);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return OpenHandle(key, desiredAccess, objectAttributes->Attributes, keyHandle);
}

NTSTATUS ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS infoClass, PVOID keyInformation, ULONG length,
                    PULONG resultLength,
    const std::source_location& caller) {
  CheckPassive("ZwQueryKey", caller);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  std::vector<UCHAR> full;
  ULONG fixed = 0;
  {
    std::lock_guard lock(Mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (!KeyInformation(*key, infoClass, full, fixed)) return STATUS_INVALID_PARAMETER;
  }
  return CopyInformation(full, fixed, true, keyInformation, length, resultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID keyInformation,
                        ULONG length, PULONG resultLength,
    const std::source_location& caller) {
  CheckPassive("ZwEnumerateKey", caller);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  if (infoClass == KeyNameInformation) return STATUS_INVALID_PARAMETER;
  std::vector<UCHAR> full;
  ULONG fixed = 0;
  {
    std::lock_guard lock(Mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->children.size()) return STATUS_NO_MORE_ENTRIES;
    if (!KeyInformation(*key->children[index], infoClass, full, fixed)) return STATUS_INVALID_PARAMETER;
  }
  return CopyInformation(full, fixed, true, keyInformation, length, resultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength,
    const std::source_location& caller) {
  CheckPassive("ZwQueryValueKey", caller);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  if (valueName && !ValidString(valueName)) return STATUS_INVALID_PARAMETER;
  const std::u16string_view name = valueName ? View(valueName) : std::u16string_view();
  std::vector<UCHAR> full;
  ULONG fixed = 0;
  {
    std::lock_guard lock(Mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    const auto* entry = FindEntry(*key, name);
    if (!entry) return STATUS_OBJECT_NAME_NOT_FOUND;
    // The name is reported as it was stored.
    if (!ValueInformation(entry->first, entry->second, infoClass, full, fixed)) return STATUS_INVALID_PARAMETER;
  }
  return CopyInformation(full, fixed, false, keyValueInformation, length, resultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                             PVOID keyValueInformation, ULONG length, PULONG resultLength,
    const std::source_location& caller) {
  CheckPassive("ZwEnumerateValueKey", caller);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  std::vector<UCHAR> full;
  ULONG fixed = 0;
  {
    std::lock_guard lock(Mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    auto& [name, value] = key->values[index];
    if (!ValueInformation(name, value, infoClass, full, fixed)) return STATUS_INVALID_PARAMETER;
  }
  return CopyInformation(full, fixed, false, keyValueInformation, length, resultLength);
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize,
    const std::source_location& caller) {
  CheckPassive("ZwSetValueKey", caller);
  UNREFERENCED_PARAMETER(titleIndex);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  if (!valueName || !ValidString(valueName) || (dataSize && !data)) return STATUS_INVALID_PARAMETER;
  const std::u16string_view name = View(valueName);
  if (!ValidValueName(name)) return STATUS_INVALID_PARAMETER;
  const UCHAR* bytes = static_cast<const UCHAR*>(data);
  platform::registry::Value value{type, std::vector<UCHAR>(bytes, bytes + dataSize)};
  std::lock_guard lock(Mutex());
  if (key->deleted) return STATUS_KEY_DELETED;
  StoreValue(*key, name, std::move(value));
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
    const std::source_location& caller) {
  CheckPassive("ZwDeleteValueKey", caller);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  if (!valueName || !ValidString(valueName)) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(Mutex());
  if (key->deleted) return STATUS_KEY_DELETED;
  return EraseValue(*key, View(valueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwDeleteKey(HANDLE keyHandle,
    const std::source_location& caller) {
  CheckPassive("ZwDeleteKey", caller);
  std::shared_ptr<Key> key;
  NTSTATUS status = ReferenceKey(keyHandle, key);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard lock(Mutex());
  if (key->deleted) return STATUS_KEY_DELETED;
  if (IsBaseKey(*key)) return STATUS_ACCESS_DENIED;
  if (!key->children.empty()) return STATUS_CANNOT_DELETE;
  RemoveKey(*key);
  return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE keyHandle,
    const std::source_location& caller) {
  CheckPassive("ZwFlushKey", caller);
  std::shared_ptr<Key> key;
  return ReferenceKey(keyHandle, key);
}
