#include "kernel/ob.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "dead_objects.h"
#include "kernel/ke.h"
#include "kernel/verifier.h"
#include "text.h"

namespace {

using platform::verifier::Check;
using platform::verifier::Report;

constexpr ACCESS_MASK kAllSpecific = 0xFFFF;

OBJECT_TYPE gEventType{"Event", {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                                 STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS}};
OBJECT_TYPE gSemaphoreType{"Semaphore", {STANDARD_RIGHTS_READ | 1, STANDARD_RIGHTS_WRITE | 2,
                                         STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 3}};
OBJECT_TYPE gCallbackType{"Callback", {STANDARD_RIGHTS_READ | 1, STANDARD_RIGHTS_WRITE | 1,
                                       STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 1}};
OBJECT_TYPE gThreadType{"Thread", {STANDARD_RIGHTS_READ | 0x48, STANDARD_RIGHTS_WRITE | 0x137,
                                   STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, THREAD_ALL_ACCESS}};
OBJECT_TYPE gProcessType{"Process", {STANDARD_RIGHTS_READ | 0x410, STANDARD_RIGHTS_WRITE | 0xBEA,
                                     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | kAllSpecific}};
OBJECT_TYPE gFileType{"File", {STANDARD_RIGHTS_READ | 0x89, STANDARD_RIGHTS_WRITE | 0x116,
                               STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | 0xA0, FILE_ALL_ACCESS}};
OBJECT_TYPE gDeviceType{"Device", {STANDARD_RIGHTS_READ | 0x89, STANDARD_RIGHTS_WRITE | 0x116,
                                   STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | 0xA0, FILE_ALL_ACCESS}};
OBJECT_TYPE gDriverType{"Driver", {STANDARD_RIGHTS_READ, STANDARD_RIGHTS_WRITE, STANDARD_RIGHTS_EXECUTE,
                                   STANDARD_RIGHTS_REQUIRED | kAllSpecific}};
OBJECT_TYPE gKeyType{"Key", {STANDARD_RIGHTS_READ | 0x19, STANDARD_RIGHTS_WRITE | 0x6, STANDARD_RIGHTS_EXECUTE | 0x19,
                             KEY_ALL_ACCESS}};

POBJECT_TYPE gEventTypePtr = &gEventType;
POBJECT_TYPE gSemaphoreTypePtr = &gSemaphoreType;
POBJECT_TYPE gCallbackTypePtr = &gCallbackType;
POBJECT_TYPE gThreadTypePtr = &gThreadType;
POBJECT_TYPE gProcessTypePtr = &gProcessType;
POBJECT_TYPE gFileTypePtr = &gFileType;
POBJECT_TYPE gDeviceTypePtr = &gDeviceType;
POBJECT_TYPE gDriverTypePtr = &gDriverType;
POBJECT_TYPE gKeyTypePtr = &gKeyType;

struct Header {
  POBJECT_TYPE type = nullptr;
  PVOID body = nullptr;
  LONG_PTR references = 0;
  bool permanent = false;
  bool external = false;
  bool caseInsensitive = false;
  bool named = false;
  std::u16string name;
  std::u16string upcasedName;
  std::function<void(PVOID)> destroy;
  std::string caller;
  std::uint64_t serial = 0;
  std::size_t guardedBytes = 0;  // the body's own pages (guardAfterFree)
};

struct HandleEntry {
  Header* header;
  ACCESS_MASK granted;
  ULONG attributes;
  bool kernel;
};

constexpr ULONG_PTR kKernelHandleBit = 0xFFFFFFFF80000000ull;
constexpr size_t kGraveyardSize = 4096;

struct State {
  std::mutex mutex;
  std::unordered_map<PVOID, Header*> objects;
  std::multimap<std::u16string, Header*> names;  // by upcased name
  std::unordered_map<ULONG_PTR, HandleEntry> handles;
  std::uint64_t nextSerial = 1;
  ULONG_PTR nextUserHandle = 1;
  ULONG_PTR nextKernelHandle = 1;
  // Recently destroyed objects, to tell a reference below zero from a stray pointer.
  std::deque<PVOID> graveyardOrder;
  std::unordered_set<PVOID> graveyard;
  std::function<PVOID()> currentThread;
  std::deque<std::unique_ptr<OBJECT_TYPE>> types;
  std::deque<std::string> typeNames;
};

// Never destroyed: objects may be released from static destructors of other modules.
State& S() {
  static State* state = new State;
  return *state;
}

std::string CallerOf(const std::source_location& loc) {
  return platform::text::CallerText(loc.file_name(), loc.line(), loc.function_name());
}

ACCESS_MASK MapGeneric(ACCESS_MASK mask, const GENERIC_MAPPING& m) {
  ACCESS_MASK out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ) out |= m.GenericRead;
  if (mask & GENERIC_WRITE) out |= m.GenericWrite;
  if (mask & GENERIC_EXECUTE) out |= m.GenericExecute;
  if (mask & GENERIC_ALL) out |= m.GenericAll;
  return out;
}

HANDLE ToHandle(ULONG_PTR value) { return reinterpret_cast<HANDLE>(value); }

// Reports a call made above the highest IRQL the API allows.
void CheckIrql(KIRQL highest, const char* api, const std::source_location& caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > highest) {
    Report(Check::IrqlMisuse, api,
           "called at IRQL " + std::to_string(irql) + ", above " + std::to_string(highest), caller);
  }
}

// Removes a dead object from the tables (lock held) and returns it for destruction.
Header* Unlink(State& s, Header* h) {
  s.objects.erase(h->body);
  if (h->named) {
    auto range = s.names.equal_range(h->upcasedName);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == h) {
        s.names.erase(it);
        break;
      }
    }
  }
  if (s.graveyard.insert(h->body).second) {
    s.graveyardOrder.push_back(h->body);
    if (s.graveyardOrder.size() > kGraveyardSize) {
      s.graveyard.erase(s.graveyardOrder.front());
      s.graveyardOrder.pop_front();
    }
  }
  return h;
}

// Runs the destroy routine and frees the body (lock not held).
void Destroy(Header* h) {
  if (h->destroy) h->destroy(h->body);
  if (h->guardedBytes) {
    platform::kernel_detail::dead_objects::Retire(h->body, h->guardedBytes,
                                                  std::string(h->type->Name) + " object created at " + h->caller);
  } else if (!h->external) {
    ::operator delete(h->body, std::align_val_t{16});
  }
  delete h;
}

Header* Register(State& s, Header* h) {
  h->serial = s.nextSerial++;
  s.objects[h->body] = h;
  if (s.graveyard.erase(h->body)) {
    for (auto it = s.graveyardOrder.begin(); it != s.graveyardOrder.end(); ++it) {
      if (*it == h->body) {
        s.graveyardOrder.erase(it);
        break;
      }
    }
  }
  if (h->named) s.names.emplace(h->upcasedName, h);
  return h;
}

Header* FindByName(State& s, const std::u16string& name, bool caseInsensitive) {
  auto range = s.names.equal_range(platform::text::UpcaseString(name));
  for (auto it = range.first; it != range.second; ++it) {
    Header* h = it->second;
    if (caseInsensitive || h->caseInsensitive || h->name == name) return h;
  }
  return nullptr;
}

NTSTATUS OpenHandle(State& s, Header* h, ACCESS_MASK access, ULONG attributes, bool kernel, PHANDLE handle) {
  ULONG_PTR value = kernel ? (kKernelHandleBit | (s.nextKernelHandle++ << 2)) : (s.nextUserHandle++ << 2);
  s.handles[value] = HandleEntry{h, MapGeneric(access, h->type->GenericMapping), attributes & OBJ_INHERIT, kernel};
  ++h->references;
  *handle = ToHandle(value);
  return STATUS_SUCCESS;
}

}  // namespace

POBJECT_TYPE* ExEventObjectType = &gEventTypePtr;
POBJECT_TYPE* ExSemaphoreObjectType = &gSemaphoreTypePtr;
POBJECT_TYPE* ExCallbackObjectType = &gCallbackTypePtr;
POBJECT_TYPE* PsThreadType = &gThreadTypePtr;
POBJECT_TYPE* PsProcessType = &gProcessTypePtr;
POBJECT_TYPE* IoFileObjectType = &gFileTypePtr;
POBJECT_TYPE* IoDeviceObjectType = &gDeviceTypePtr;
POBJECT_TYPE* IoDriverObjectType = &gDriverTypePtr;
POBJECT_TYPE* CmKeyObjectType = &gKeyTypePtr;

LONG_PTR ObfReferenceObject(PVOID object, const std::source_location& caller) {
  CheckIrql(DISPATCH_LEVEL, "ObReferenceObject", caller);
  State& s = S();
  std::unique_lock lock(s.mutex);
  auto it = s.objects.find(object);
  if (it == s.objects.end()) {
    bool destroyed = s.graveyard.count(object) != 0;
    lock.unlock();
    Report(Check::InvalidArgument, "ObReferenceObject",
           destroyed ? "reference to an object that was already destroyed"
                     : "reference to a pointer that is not an object",
           caller);
    return 0;
  }
  return ++it->second->references;
}

LONG_PTR ObfDereferenceObject(PVOID object, const std::source_location& caller) {
  CheckIrql(DISPATCH_LEVEL, "ObDereferenceObject", caller);
  State& s = S();
  std::unique_lock lock(s.mutex);
  auto it = s.objects.find(object);
  if (it == s.objects.end()) {
    bool destroyed = s.graveyard.count(object) != 0;
    lock.unlock();
    if (destroyed) {
      Report(Check::ReferenceBelowZero, "ObDereferenceObject",
             "reference count of a destroyed object dropped below zero", caller);
    } else {
      Report(Check::InvalidArgument, "ObDereferenceObject", "dereference of a pointer that is not an object", caller);
    }
    return 0;
  }
  Header* h = it->second;
  if (h->references == 0) {  // only a permanent object lives on without references
    std::string type = h->type->Name;
    lock.unlock();
    Report(Check::ReferenceBelowZero, "ObDereferenceObject",
           "reference count of a permanent " + type + " object dropped below zero", caller);
    return 0;
  }
  LONG_PTR left = --h->references;
  if (left == 0 && !h->permanent) {
    Unlink(s, h);
    lock.unlock();
    Destroy(h);
  }
  return left;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation, const std::source_location& caller) {
  if (!object) {
    Report(Check::InvalidArgument, "ObReferenceObjectByHandle", "null object pointer", caller);
    return STATUS_INVALID_PARAMETER;
  }
  *object = nullptr;
  State& s = S();
  if (handle == NtCurrentThread() && accessMode == KernelMode) {
    std::function<PVOID()> resolver;
    {
      std::lock_guard lock(s.mutex);
      resolver = s.currentThread;
    }
    PVOID thread = resolver ? resolver() : nullptr;
    if (!thread) return STATUS_INVALID_HANDLE;
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(thread);
    if (it == s.objects.end()) return STATUS_INVALID_HANDLE;
    if (objectType && it->second->type != objectType) return STATUS_OBJECT_TYPE_MISMATCH;
    ++it->second->references;
    *object = thread;
    if (handleInformation) *handleInformation = {0, THREAD_ALL_ACCESS};
    return STATUS_SUCCESS;
  }
  std::lock_guard lock(s.mutex);
  auto it = s.handles.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == s.handles.end()) return STATUS_INVALID_HANDLE;
  const HandleEntry& e = it->second;
  if (accessMode == UserMode && e.kernel) return STATUS_INVALID_HANDLE;
  if (objectType && e.header->type != objectType) return STATUS_OBJECT_TYPE_MISMATCH;
  if (accessMode == UserMode) {
    ACCESS_MASK wanted = MapGeneric(desiredAccess, e.header->type->GenericMapping);
    if (wanted & ~e.granted) return STATUS_ACCESS_DENIED;
  }
  ++e.header->references;
  *object = e.header->body;
  if (handleInformation) *handleInformation = {e.attributes, e.granted};
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK, POBJECT_TYPE objectType, KPROCESSOR_MODE,
                                    const std::source_location& caller) {
  State& s = S();
  std::unique_lock lock(s.mutex);
  auto it = s.objects.find(object);
  if (it == s.objects.end()) {
    lock.unlock();
    Report(Check::InvalidArgument, "ObReferenceObjectByPointer", "pointer is not a live object", caller);
    return STATUS_INVALID_PARAMETER;
  }
  if (objectType && it->second->type != objectType) return STATUS_OBJECT_TYPE_MISMATCH;
  ++it->second->references;
  return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PVOID, ACCESS_MASK desiredAccess,
                               POBJECT_TYPE objectType, KPROCESSOR_MODE, PHANDLE handle) {
  if (!handle) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.objects.find(object);
  if (it == s.objects.end()) return STATUS_INVALID_PARAMETER;
  if (objectType && it->second->type != objectType) return STATUS_OBJECT_TYPE_MISMATCH;
  return OpenHandle(s, it->second, desiredAccess, handleAttributes, (handleAttributes & OBJ_KERNEL_HANDLE) != 0,
                    handle);
}

void ObMakeTemporaryObject(PVOID object) {
  State& s = S();
  std::unique_lock lock(s.mutex);
  auto it = s.objects.find(object);
  if (it == s.objects.end()) return;
  Header* h = it->second;
  h->permanent = false;
  if (h->references == 0) {
    Unlink(s, h);
    lock.unlock();
    Destroy(h);
  }
}

NTSTATUS ZwClose(HANDLE handle, const std::source_location& caller) {
  CheckIrql(PASSIVE_LEVEL, "ZwClose", caller);
  State& s = S();
  Header* h = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == s.handles.end()) return STATUS_INVALID_HANDLE;
    h = it->second.header;
    s.handles.erase(it);
  }
  // The handle's reference goes the ordinary way, so a destroy routine runs unlocked.
  ObfDereferenceObject(h->body, caller);
  return STATUS_SUCCESS;
}

namespace platform::ob {

POBJECT_TYPE CreateObjectType(const char* name, GENERIC_MAPPING mapping) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.typeNames.emplace_back(name ? name : "");
  s.types.push_back(std::make_unique<OBJECT_TYPE>(OBJECT_TYPE{s.typeNames.back().c_str(), mapping}));
  return s.types.back().get();
}

NTSTATUS CreateObject(const CreateParams& params, PVOID* body, const std::source_location& caller) {
  if (!body || !params.type || params.bodySize == 0) return STATUS_INVALID_PARAMETER;
  *body = nullptr;
  auto h = std::make_unique<Header>();
  h->type = params.type;
  h->references = 1;
  h->destroy = params.destroy;
  h->caller = CallerOf(caller);
  ULONG attributes = params.attributes ? params.attributes->Attributes : 0;
  h->permanent = (attributes & OBJ_PERMANENT) != 0;
  h->caseInsensitive = (attributes & OBJ_CASE_INSENSITIVE) != 0;
  if (params.attributes && params.attributes->ObjectName && params.attributes->ObjectName->Length != 0) {
    const UNICODE_STRING* n = params.attributes->ObjectName;
    if (!n->Buffer || (n->Length % sizeof(WCHAR)) != 0 || n->Length > n->MaximumLength)
      return STATUS_OBJECT_NAME_INVALID;
    h->named = true;
    h->name = platform::text::FromUnicodeString(n);
    h->upcasedName = platform::text::UpcaseString(h->name);
  }
  State& s = S();
  // Named creation checks the name and inserts under one lock, so two creators of the
  // same name end up with one object.
  std::lock_guard lock(s.mutex);
  if (h->named) {
    if (Header* existing = FindByName(s, h->name, h->caseInsensitive)) {
      if (!(attributes & OBJ_OPENIF)) return STATUS_OBJECT_NAME_COLLISION;
      if (existing->type != params.type) return STATUS_OBJECT_TYPE_MISMATCH;
      ++existing->references;
      *body = existing->body;
      return STATUS_OBJECT_NAME_EXISTS;
    }
  }
  if (params.guardAfterFree) h->body = platform::kernel_detail::dead_objects::Allocate(params.bodySize, &h->guardedBytes);
  if (!h->body) {
    h->body = ::operator new(params.bodySize, std::align_val_t{16});
    std::memset(h->body, 0, params.bodySize);
  }
  // The initialiser runs under the lock: it must not call the object manager.
  if (params.initialize) params.initialize(h->body);
  *body = Register(s, h.release())->body;
  return STATUS_SUCCESS;
}

NTSTATUS OpenObjectByName(PCUNICODE_STRING name, POBJECT_TYPE type, bool caseInsensitive, PVOID* body) {
  if (!body || !name) return STATUS_INVALID_PARAMETER;
  *body = nullptr;
  if (name->Length == 0 || !name->Buffer) return STATUS_OBJECT_NAME_INVALID;
  State& s = S();
  std::lock_guard lock(s.mutex);
  Header* h = FindByName(s, platform::text::FromUnicodeString(name), caseInsensitive);
  if (!h) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (type && h->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
  ++h->references;
  *body = h->body;
  return STATUS_SUCCESS;
}

NTSTATUS InsertExternalObject(PVOID object, POBJECT_TYPE type, const std::source_location& caller) {
  if (!object || !type) return STATUS_INVALID_PARAMETER;
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (s.objects.count(object)) return STATUS_OBJECT_NAME_COLLISION;
  auto* h = new Header;
  h->type = type;
  h->body = object;
  h->references = 1;
  h->external = true;
  h->caller = CallerOf(caller);
  Register(s, h);
  return STATUS_SUCCESS;
}

NTSTATUS CreateHandleForObject(PVOID object, POBJECT_TYPE type, ACCESS_MASK access, bool kernelHandle,
                               PHANDLE handle) {
  if (!object || !type || !handle) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  State& s = S();
  std::lock_guard lock(s.mutex);
  Header* h;
  auto it = s.objects.find(object);
  if (it != s.objects.end()) {
    h = it->second;
    if (h->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
  } else {
    h = new Header;
    h->type = type;
    h->body = object;
    h->external = true;
    h->caller = "CreateHandleForObject";
    Register(s, h);
  }
  return OpenHandle(s, h, access, 0, kernelHandle, handle);
}

NTSTATUS CreateUserEvent(bool notification, bool initialState, PHANDLE handle, KEVENT** event) {
  if (!handle) return STATUS_INVALID_PARAMETER;
  *handle = nullptr;
  if (event) *event = nullptr;
  CreateParams params;
  params.type = *ExEventObjectType;
  params.bodySize = sizeof(KEVENT);
  params.initialize = [&](PVOID body) {
    KeInitializeEvent(static_cast<KEVENT*>(body), notification ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
  };
  PVOID body = nullptr;
  NTSTATUS status = CreateObject(params, &body);
  if (!NT_SUCCESS(status)) return status;
  status = ObOpenObjectByPointer(body, 0, nullptr, EVENT_ALL_ACCESS, *ExEventObjectType, UserMode, handle);
  ObfDereferenceObject(body);  // the handle keeps it
  if (NT_SUCCESS(status) && event) *event = static_cast<KEVENT*>(body);
  return status;
}

void SetCurrentThreadResolver(std::function<PVOID()> resolver) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.currentThread = std::move(resolver);
}

bool IsKernelHandle(HANDLE handle) {
  return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBit) == kKernelHandleBit &&
         handle != NtCurrentProcess() && handle != NtCurrentThread();
}

POBJECT_TYPE TypeOf(PVOID object) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.objects.find(object);
  return it == s.objects.end() ? nullptr : it->second->type;
}

LONG_PTR ReferenceCount(PVOID object) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.objects.find(object);
  return it == s.objects.end() ? -1 : it->second->references;
}

std::uint64_t CurrentMark() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.nextSerial;
}

bool CheckNoLeakedObjects(std::uint64_t since, const std::source_location& caller) {
  std::vector<ObjectInfo> live = LiveObjects(false, since);
  if (live.empty()) return true;
  std::string detail = "objects still alive:";
  for (const auto& o : live) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", o.object);
    detail += std::string("\n  ") + o.type + " " + address + (o.name.empty() ? "" : " \"" + o.name + "\"") +
              ", " + std::to_string(o.references) + " references, created at " + o.caller;
  }
  Report(Check::LeakAtTeardown, "object manager", detail, caller);
  return false;
}

std::vector<ObjectInfo> LiveObjects(bool includePermanent, std::uint64_t since) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  std::vector<ObjectInfo> out;
  for (const auto& [body, h] : s.objects) {
    if (h->serial < since) continue;
    if (h->permanent && h->references == 0 && !includePermanent) continue;
    out.push_back(ObjectInfo{body, h->type->Name, platform::text::ToUtf8(h->name), h->references, h->permanent,
                             h->external, h->caller});
  }
  return out;
}

size_t OpenHandleCount() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.handles.size();
}

}  // namespace platform::ob
