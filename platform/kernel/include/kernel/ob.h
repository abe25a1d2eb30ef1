// Object manager: reference-counted objects the platform creates (threads, device and
// file objects, callback objects, events handed out by handle), a case-sensitive or
// -insensitive object namespace, and the handle table with kernel and user handles.
#pragma once

#include <cstdint>
#include <functional>
#include <source_location>
#include <string>
#include <vector>

#include "kernel/ntdef.h"

struct KEVENT;

constexpr NTSTATUS STATUS_OBJECT_NAME_EXISTS = 0x40000000;

// Object attribute flags.
constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_PERMANENT = 0x00000010;
constexpr ULONG OBJ_EXCLUSIVE = 0x00000020;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_OPENIF = 0x00000080;
constexpr ULONG OBJ_OPENLINK = 0x00000100;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

// Access rights.
constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr ACCESS_MASK STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000u;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000u;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000u;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000u;
constexpr ACCESS_MASK EVENT_QUERY_STATE = 0x0001;
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
constexpr ACCESS_MASK EVENT_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;
constexpr ACCESS_MASK THREAD_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;
constexpr ACCESS_MASK FILE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

struct GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
};

// An object type: its name and how generic rights map onto its specific rights.
struct OBJECT_TYPE {
  const char* Name;
  GENERIC_MAPPING GenericMapping;
};
using POBJECT_TYPE = OBJECT_TYPE*;

// The published type variables are pointers to the type, used as *ExEventObjectType.
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* ExSemaphoreObjectType;
extern POBJECT_TYPE* ExCallbackObjectType;
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;
extern POBJECT_TYPE* CmKeyObjectType;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes,
                                       HANDLE root, PVOID securityDescriptor) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = root;
  p->Attributes = attributes;
  p->ObjectName = name;
  p->SecurityDescriptor = securityDescriptor;
  p->SecurityQualityOfService = nullptr;
}

struct OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
};
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// The pseudo handles of the current process and thread.
inline HANDLE NtCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
inline HANDLE NtCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
#define ZwCurrentProcess() NtCurrentProcess()
#define ZwCurrentThread() NtCurrentThread()

// Reference counting. An object that is not alive (never created by the object manager,
// or already destroyed) and a count that would drop below zero are verifier reports.
LONG_PTR ObfReferenceObject(PVOID object, const std::source_location& caller = std::source_location::current());
LONG_PTR ObfDereferenceObject(PVOID object, const std::source_location& caller = std::source_location::current());
inline LONG_PTR ObReferenceObject(PVOID object, const std::source_location& caller = std::source_location::current()) {
  return ObfReferenceObject(object, caller);
}
inline LONG_PTR ObDereferenceObject(PVOID object, const std::source_location& caller = std::source_location::current()) {
  return ObfDereferenceObject(object, caller);
}

// Looks the handle up, checks its type (STATUS_OBJECT_TYPE_MISMATCH; a null type accepts
// any) and, for UserMode, that it is a user handle (STATUS_INVALID_HANDLE) granting the
// desired access (STATUS_ACCESS_DENIED); on success the object carries one more reference.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation,
                                   const std::source_location& caller = std::source_location::current());
NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                    KPROCESSOR_MODE accessMode,
                                    const std::source_location& caller = std::source_location::current());
// Opens a handle to a live object (the handle holds a reference). OBJ_KERNEL_HANDLE in
// handleAttributes makes a kernel handle; otherwise the handle belongs to the (single
// simulated) user process. passedAccessState is ignored.
NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PVOID passedAccessState,
                               ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                               PHANDLE handle);
// Turns a permanent object into a temporary one: it goes when its last reference does.
void ObMakeTemporaryObject(PVOID object);
// Closes a handle and drops its reference; STATUS_INVALID_HANDLE for an unknown handle.
NTSTATUS ZwClose(HANDLE handle, const std::source_location& caller = std::source_location::current());
inline NTSTATUS NtClose(HANDLE handle, const std::source_location& caller = std::source_location::current()) {
  return ZwClose(handle, caller);
}

namespace platform::ob {

// Creates an object type for a platform service (registry keys, files, ...).
POBJECT_TYPE CreateObjectType(const char* name, GENERIC_MAPPING mapping);

struct CreateParams {
  POBJECT_TYPE type = nullptr;
  SIZE_T bodySize = 0;
  // Optional name and flags: OBJ_CASE_INSENSITIVE (name lookups of this object ignore
  // case), OBJ_PERMANENT (survives its last reference), OBJ_OPENIF (an existing object of
  // the same name and type is opened instead: STATUS_OBJECT_NAME_EXISTS).
  POBJECT_ATTRIBUTES attributes = nullptr;
  // Runs on the zeroed body before the object becomes visible by name.
  std::function<void(PVOID body)> initialize;
  // Runs when the object goes away, before its memory is freed.
  std::function<void(PVOID body)> destroy;
  // The body on pages of its own that stay reserved, inaccessible, once the object is
  // gone: a touch afterwards is reported (ObjectUsedAfterFree) instead of reading freed
  // memory, and then goes on.
  bool guardAfterFree = false;
};

// Creates an object with a zeroed body of bodySize bytes and one reference, owned by the
// caller. A name already taken gives STATUS_OBJECT_NAME_COLLISION (or, with OBJ_OPENIF and
// the same type, the existing object with one more reference and
// STATUS_OBJECT_NAME_EXISTS; another type gives STATUS_OBJECT_TYPE_MISMATCH).
NTSTATUS CreateObject(const CreateParams& params, PVOID* body,
                      const std::source_location& caller = std::source_location::current());

// Opens a named object with one more reference. The name matches exactly, or ignoring
// case when either the lookup or the object asks for it.
NTSTATUS OpenObjectByName(PCUNICODE_STRING name, POBJECT_TYPE type, bool caseInsensitive, PVOID* body);

// Makes an object that lives elsewhere (a test's KEVENT, an embedded structure) known to
// the object manager with one reference, so handles can name it. When the count reaches
// zero the object is forgotten; its memory is never touched.
NTSTATUS InsertExternalObject(PVOID object, POBJECT_TYPE type,
                              const std::source_location& caller = std::source_location::current());

// Creates a handle for an object the test owns: inserts it when it is not yet known and
// opens a user (or kernel) handle granting `access`. The test closes it with ZwClose and,
// for an object it inserted, drops the insertion reference with ObDereferenceObject.
NTSTATUS CreateHandleForObject(PVOID object, POBJECT_TYPE type, ACCESS_MASK access, bool kernelHandle,
                               PHANDLE handle);

// Creates an event object as a user-mode CreateEvent does: a KEVENT owned by the object
// manager (notification or synchronization, initially signalled or not) and a user
// handle granting EVENT_ALL_ACCESS. The event goes when the handle is closed and the last
// reference dropped; *event (optional) is the KEVENT, valid while the handle is open.
NTSTATUS CreateUserEvent(bool notification, bool initialState, PHANDLE handle, KEVENT** event = nullptr);

// Resolves NtCurrentThread() for ObReferenceObjectByHandle (set by the thread service).
void SetCurrentThreadResolver(std::function<PVOID()> resolver);

bool IsKernelHandle(HANDLE handle);
POBJECT_TYPE TypeOf(PVOID object);        // null when the object is not alive
LONG_PTR ReferenceCount(PVOID object);    // -1 when the object is not alive

struct ObjectInfo {
  PVOID object;
  std::string type;
  std::string name;  // UTF-8, empty for an unnamed object
  LONG_PTR references;
  bool permanent;
  bool external;
  std::string caller;  // where it was created
};
// Creation serial numbers: a mark taken before a test's work lets it look only at the
// objects created since.
std::uint64_t CurrentMark();
// Live objects created at or after `since`; permanent objects without references are
// left out unless asked for.
std::vector<ObjectInfo> LiveObjects(bool includePermanent = false, std::uint64_t since = 0);
// Reports LeakAtTeardown naming every object created since the mark that is still alive
// (permanent objects without references aside); returns whether there was none.
bool CheckNoLeakedObjects(std::uint64_t since, const std::source_location& caller = std::source_location::current());
size_t OpenHandleCount();

}  // namespace platform::ob
