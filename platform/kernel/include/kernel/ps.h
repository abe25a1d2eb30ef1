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

// Processes. Every thread runs in a process: system threads and the platform's own in the
// system process, a client's thread in the user process it was put in
// (platform::ps::ScopedProcess). A process is an object-manager object (*PsProcessType).
struct KPROCESS {
  DISPATCHER_HEADER Header;
  ULONG_PTR UniqueProcessId;
  char ImageName[16];
};
using EPROCESS = KPROCESS;
using PEPROCESS = KPROCESS*;
using PRKPROCESS = KPROCESS*;

// What KeStackAttachProcess saves for its KeUnstackDetachProcess.
struct KAPC_STATE {
  PKPROCESS Previous;
  BOOLEAN Attached;
};
using PKAPC_STATE = KAPC_STATE*;
using PRKAPC_STATE = KAPC_STATE*;

// The process whose address space the calling thread runs in: the one it attached to, or
// its own.
PEPROCESS PsGetCurrentProcess();
inline PEPROCESS IoGetCurrentProcess() { return PsGetCurrentProcess(); }
HANDLE PsGetCurrentProcessId();
extern PEPROCESS PsInitialSystemProcess;
// Runs the calling thread in `process`'s address space until KeUnstackDetachProcess with
// the same state (attachments nest, innermost first). PASSIVE_LEVEL or APC_LEVEL.
void KeStackAttachProcess(PRKPROCESS process, PRKAPC_STATE apcState,
                          const std::source_location& caller = std::source_location::current());
void KeUnstackDetachProcess(PRKAPC_STATE apcState,
                            const std::source_location& caller = std::source_location::current());

namespace platform::ps {
// A user process (the caller drops it with ObDereferenceObject).
PEPROCESS CreateUserProcess(const char* name);
// Puts the calling thread in `process` for the scope (a client's thread of that process).
class ScopedProcess {
 public:
  explicit ScopedProcess(PEPROCESS process);
  ~ScopedProcess();
  ScopedProcess(const ScopedProcess&) = delete;
  ScopedProcess& operator=(const ScopedProcess&) = delete;

 private:
  PEPROCESS previous_;
};

// Fault injection: the next `count` PsCreateSystemThread calls fail with
// STATUS_INSUFFICIENT_RESOURCES and start nothing (0 clears what is left).
void FailThreadCreation(unsigned count = 1);
}  // namespace platform::ps
