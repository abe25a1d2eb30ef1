// System threads. A thread is an object-manager object (type *PsThreadType) and a
// dispatcher object signalled when the thread ends; PsCreateSystemThread returns a
// kernel handle to it, and ObReferenceObjectByHandle on that handle gives the object.
// Every system thread is a platform thread of the clock (kernel/clock.h).
#pragma once

#include <source_location>

#include "kernel/ke.h"
#include "kernel/ob.h"

typedef VOID KSTART_ROUTINE(PVOID StartContext);
using PKSTART_ROUTINE = KSTART_ROUTINE*;

struct CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

// Starts `startRoutine(startContext)` at PASSIVE_LEVEL, priority 8. The handle holds one
// reference and the running thread another, dropped when it ends. processHandle and
// objectAttributes are accepted and ignored (every thread belongs to the system process).
NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext,
                              const std::source_location& caller = std::source_location::current());
// Ends the calling system thread with `exitStatus` (unwinding its stack); from any other
// thread it returns STATUS_INVALID_PARAMETER.
NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus,
                                 const std::source_location& caller = std::source_location::current());

PETHREAD PsGetCurrentThread();
HANDLE PsGetCurrentThreadId();

namespace platform::ps {
// Fault injection: the next `count` PsCreateSystemThread calls fail with
// STATUS_INSUFFICIENT_RESOURCES and start nothing (0 clears what is left).
void FailThreadCreation(unsigned count = 1);
}  // namespace platform::ps
