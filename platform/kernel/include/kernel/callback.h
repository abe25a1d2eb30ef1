// Named callback objects: a named object (type *ExCallbackObjectType) on which drivers
// register callback functions and that any caller notifies. Notification calls every
// registration in registration order, synchronously, at the notifier's IRQL; an
// unregistration waits for calls of that registration still running on other threads.
#pragma once

#include <source_location>

#include "kernel/ke.h"
#include "kernel/ob.h"

struct CALLBACK_OBJECT;
using PCALLBACK_OBJECT = CALLBACK_OBJECT*;

typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
using PCALLBACK_FUNCTION = CALLBACK_FUNCTION*;

// Pool tag of callback registrations ("CbRg"), so the leak check names registrations
// never unregistered.
constexpr ULONG kCallbackRegistrationPoolTag = 0x67526243;

// Opens the callback object named in objectAttributes or, with `create`, creates it when
// it does not exist yet (OBJ_CASE_INSENSITIVE and OBJ_PERMANENT are honoured). An unnamed
// object is always created. The object comes with one reference (ObDereferenceObject).
// allowMultipleCallbacks is fixed by the creator. STATUS_OBJECT_NAME_NOT_FOUND when
// opening a name that does not exist.
NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes, BOOLEAN create,
                          BOOLEAN allowMultipleCallbacks,
                          const std::source_location& caller = std::source_location::current());
// Returns the registration handle, or null when the object allows one registration and
// has it already (or without memory). The registration holds a reference on the object.
PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction, PVOID callbackContext,
                         const std::source_location& caller = std::source_location::current());
void ExUnregisterCallback(PVOID callbackRegistration,
                          const std::source_location& caller = std::source_location::current());
void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2,
                      const std::source_location& caller = std::source_location::current());
