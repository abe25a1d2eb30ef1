// Named callback objects.
//
// The object body keeps its registrations in registration order under a plain mutex that
// is never held across a call, so a callback may itself notify, register or unregister.
// Each registration counts the calls in progress; its "idle" event is signalled while
// none runs, which is what an unregistration waits for.

#include "kernel/callback.h"

#include <mutex>
#include <new>
#include <vector>

#include "kernel/pool.h"
#include "sched.h"

using namespace platform::kernel_detail;
using platform::verifier::Check;

namespace {

constexpr ULONG kObjectSignature = 0x4B424C43;        // "CLBK"
constexpr ULONG kRegistrationSignature = 0x47524243;  // "CBRG"
constexpr ULONG kFreed = 0xDEADCA11;

struct Registration {
  ULONG signature;
  CALLBACK_OBJECT* object;
  PCALLBACK_FUNCTION function;
  PVOID context;
  unsigned long long sequence;
  LONG busy;      // calls in progress, under the object's mutex
  bool orphaned;  // unregistered from inside its own call: the last call frees it
  KEVENT idle;
};

// Registrations whose function the calling thread is running, innermost last.

}  // namespace

struct CALLBACK_OBJECT {
  ULONG signature = kObjectSignature;
  bool allowMultiple = false;
  unsigned long long nextSequence = 0;
  std::mutex mutex;
  std::vector<Registration*> registrations;  // by sequence
};

namespace {

// Called with the object's mutex held: no preemption while it is.
void SignalIdle(Registration* r) {
  platform::kernel_detail::ScopedNoPreemption hold;
  KeSetEvent(&r->idle, IO_NO_INCREMENT, FALSE);
}

CALLBACK_OBJECT* ObjectOf(PVOID p, const char* api, const std::source_location& caller) {
  auto* object = static_cast<CALLBACK_OBJECT*>(p);
  if (object && platform::ob::TypeOf(object) == *ExCallbackObjectType && object->signature == kObjectSignature)
    return object;
  Report(Check::InvalidArgument, api, Format("%p is not a callback object", p), caller);
  return nullptr;
}

}  // namespace

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes, BOOLEAN create,
                          BOOLEAN allowMultipleCallbacks, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "ExCreateCallback", caller);
  if (!callbackObject || !objectAttributes) {
    Report(Check::InvalidArgument, "ExCreateCallback", "no object pointer or no attributes", caller);
    return STATUS_INVALID_PARAMETER;
  }
  *callbackObject = nullptr;
  const bool named = objectAttributes->ObjectName && objectAttributes->ObjectName->Length != 0;
  PVOID body = nullptr;
  if (named && !create) {
    NTSTATUS status = platform::ob::OpenObjectByName(objectAttributes->ObjectName, *ExCallbackObjectType,
                                                     (objectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0, &body);
    if (status == STATUS_SUCCESS) *callbackObject = static_cast<CALLBACK_OBJECT*>(body);
    return status;
  }
  if (!create) return STATUS_UNSUCCESSFUL;  // an unnamed object can only be created

  OBJECT_ATTRIBUTES attributes = *objectAttributes;
  attributes.Attributes |= OBJ_OPENIF;  // a name that exists is opened
  platform::ob::CreateParams params;
  params.type = *ExCallbackObjectType;
  params.bodySize = sizeof(CALLBACK_OBJECT);
  params.attributes = &attributes;
  const bool allowMultiple = allowMultipleCallbacks != FALSE;
  params.initialize = [allowMultiple](PVOID p) { (new (p) CALLBACK_OBJECT{})->allowMultiple = allowMultiple; };
  params.destroy = [](PVOID p) { static_cast<CALLBACK_OBJECT*>(p)->~CALLBACK_OBJECT(); };
  NTSTATUS status = platform::ob::CreateObject(params, &body, caller);
  if (status != STATUS_SUCCESS && status != STATUS_OBJECT_NAME_EXISTS) return status;
  *callbackObject = static_cast<CALLBACK_OBJECT*>(body);
  return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction, PVOID callbackContext,
                         const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(APC_LEVEL, "ExRegisterCallback", caller);
  CALLBACK_OBJECT* object = ObjectOf(callbackObject, "ExRegisterCallback", caller);
  if (!object) return nullptr;
  if (!callbackFunction) {
    Report(Check::InvalidArgument, "ExRegisterCallback", "no callback function", caller);
    return nullptr;
  }
  auto* r = static_cast<Registration*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(Registration), kCallbackRegistrationPoolTag, caller));
  if (!r) return nullptr;
  *r = Registration{kRegistrationSignature, object, callbackFunction, callbackContext, 0, 0, false, {}};
  KeInitializeEvent(&r->idle, NotificationEvent, TRUE);
  {
    std::lock_guard lock(object->mutex);
    if (object->allowMultiple || object->registrations.empty()) {
      r->sequence = ++object->nextSequence;
      object->registrations.push_back(r);
    } else {
      r->signature = 0;
    }
  }
  if (!r->signature) {
    ExFreePoolWithTag(r, kCallbackRegistrationPoolTag, caller);
    return nullptr;
  }
  ObReferenceObject(object, caller);
  return r;
}

void ExUnregisterCallback(PVOID callbackRegistration, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(APC_LEVEL, "ExUnregisterCallback", caller);
  auto* r = static_cast<Registration*>(callbackRegistration);
  if (!r || r->signature != kRegistrationSignature) {
    Report(Check::InvalidArgument, "ExUnregisterCallback",
           Format("%p is not a callback registration%s", callbackRegistration,
                  r && r->signature == kFreed ? " (it was unregistered already)" : ""),
           caller);
    return;
  }
  CALLBACK_OBJECT* object = r->object;
  int ownCalls = 0;  // a callback may unregister itself
  for (const void* running : Current()->callbacksRunning) ownCalls += running == r;
  LONG busy;
  {
    std::lock_guard lock(object->mutex);
    std::erase(object->registrations, r);
    busy = r->busy;
    r->signature = kFreed;
    // It cannot wait for its own call: the last call still running frees it instead.
    if (ownCalls > 0) r->orphaned = true;
  }
  if (ownCalls > 0) return;
  // Calls still running on other threads finish before the registration goes.
  if (busy > 0) KeWaitForSingleObject(&r->idle, Executive, KernelMode, FALSE, nullptr, caller);
  ExFreePoolWithTag(r, kCallbackRegistrationPoolTag, caller);
  ObDereferenceObject(object, caller);
}

void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "ExNotifyCallback", caller);
  CALLBACK_OBJECT* object = ObjectOf(callbackObject, "ExNotifyCallback", caller);
  if (!object) return;
  unsigned long long after = 0;
  for (;;) {
    Registration* r = nullptr;
    {
      std::lock_guard lock(object->mutex);
      for (Registration* candidate : object->registrations) {
        if (candidate->sequence > after) {
          r = candidate;
          break;
        }
      }
      if (!r) return;
      after = r->sequence;
      if (r->busy++ == 0) KeClearEvent(&r->idle);
    }
    Current()->callbacksRunning.push_back(r);
    r->function(r->context, argument1, argument2);
    Current()->callbacksRunning.pop_back();
    bool release = false;
    {
      std::lock_guard lock(object->mutex);
      if (--r->busy == 0) {
        if (r->orphaned)
          release = true;
        else
          SignalIdle(r);
      }
    }
    if (release) {
      ExFreePoolWithTag(r, kCallbackRegistrationPoolTag, caller);
      ObDereferenceObject(object, caller);
    }
  }
}
