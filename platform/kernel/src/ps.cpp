// System threads and the clock's platform::clock::Thread.

#include "kernel/ps.h"

#include <atomic>

#include "kernel/clock.h"
#include "sched.h"

using namespace platform::kernel_detail;
using platform::verifier::Check;

namespace {

// Thrown by PsTerminateSystemThread to unwind the thread's stack; deliberately not a
// std::exception, so driver code cannot catch it by accident.
struct TerminateThread {
  NTSTATUS status;
};

// Runs a thread body, turning PsTerminateSystemThread into the thread's exit status.
void RunBody(PKTHREAD object, const std::function<void()>& body) {
  NTSTATUS status = STATUS_SUCCESS;
  try {
    body();
  } catch (const TerminateThread& t) {
    status = t.status;
  }
  object->ExitStatus = status;
}

// NtCurrentThread() names the calling thread's object (installed at every creation, so a
// test that replaced the resolver does not leave system threads without it).
void InstallCurrentThreadResolver() {
  platform::ob::SetCurrentThreadResolver([]() -> PVOID { return KeGetCurrentThread(); });
}

std::atomic<unsigned> gThreadNumber{0};
std::atomic<unsigned> gFailThreads{0};

// Takes one injected creation failure, if any is left.
bool TakeThreadFailure() {
  unsigned left = gFailThreads.load();
  while (left && !gFailThreads.compare_exchange_weak(left, left - 1)) {
  }
  return left != 0;
}

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID startContext,
                              const std::source_location& caller) {
  if (!threadHandle || !startRoutine) {
    Report(Check::InvalidArgument, "PsCreateSystemThread", "no handle pointer or no start routine", caller);
    return STATUS_INVALID_PARAMETER;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Report(Check::IrqlMisuse, "PsCreateSystemThread", Format("called at IRQL %u", KeGetCurrentIrql()), caller);
  InstallCurrentThreadResolver();
  if (TakeThreadFailure()) return STATUS_INSUFFICIENT_RESOURCES;

  platform::ob::CreateParams params;
  params.type = *PsThreadType;
  params.bodySize = sizeof(KTHREAD);
  params.initialize = [](PVOID body) { InitThreadObject(static_cast<KTHREAD*>(body)); };
  PVOID body = nullptr;
  NTSTATUS status = platform::ob::CreateObject(params, &body, caller);
  if (!NT_SUCCESS(status)) return status;
  auto* thread = static_cast<KTHREAD*>(body);
  HANDLE handle = nullptr;
  status = ObOpenObjectByPointer(thread, OBJ_KERNEL_HANDLE, nullptr, desiredAccess ? desiredAccess : THREAD_ALL_ACCESS,
                                 *PsThreadType, KernelMode, &handle);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(thread, caller);
    return status;
  }
  *threadHandle = handle;
  if (clientId) {
    clientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
    clientId->UniqueThread = reinterpret_cast<HANDLE>(thread->UniqueThread);
  }
  std::string name = Format("system thread %u (%s:%u)", gThreadNumber.fetch_add(1) + 1, caller.file_name(),
                            static_cast<unsigned>(caller.line()));
  // The creation reference belongs to the running thread and goes when it ends.
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(DispatcherLock());
  KeepThread(StartThreadLocked(std::move(name), ThreadKind::System, thread,
                               [thread, startRoutine, startContext] {
                                 RunBody(thread, [&] { startRoutine(startContext); });
                               },
                               [thread, ended] {
                                 ObDereferenceObject(thread);
                                 ended->store(true);
                               }),
             ended);
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus, const std::source_location& caller) {
  ThreadRec* t = Current();
  if (t->kind != ThreadKind::System) {
    Report(Check::InvalidArgument, "PsTerminateSystemThread", "called outside a system thread", caller);
    return STATUS_INVALID_PARAMETER;
  }
  throw TerminateThread{exitStatus};
}

PETHREAD PsGetCurrentThread() { return KeGetCurrentThread(); }

HANDLE PsGetCurrentThreadId() { return reinterpret_cast<HANDLE>(KeGetCurrentThread()->UniqueThread); }

namespace platform::clock {

struct Thread::State {
  KTHREAD object{};
  ContextHandle thread;
};

Thread::Thread(std::string name, std::function<void()> body) : state_(std::make_unique<State>()) {
  InitThreadObject(&state_->object);
  KTHREAD* object = &state_->object;
  std::lock_guard lock(DispatcherLock());
  state_->thread = StartThreadLocked(std::move(name), ThreadKind::System, object,
                                     [object, body = std::move(body)] { RunBody(object, body); }, nullptr);
}

Thread::~Thread() { Join(); }

void Thread::Join() {
  if (!state_ || !state_->thread.joinable()) return;
  DISPATCHER_HEADER* object = &state_->object.Header;
  NTSTATUS status =
      Wait(1, &object, WaitAny, kNever, false, false, "platform::clock::Thread::Join", std::source_location::current());
  if (status == STATUS_WAIT_0) {
    state_->thread.join();
  } else {
    // The verifier ended a deadlocked join: leave the thread (and what it uses) behind.
    state_->thread.detach();
    state_.release();
  }
}

PKTHREAD Thread::Object() const { return &state_->object; }

}  // namespace platform::clock

void platform::ps::FailThreadCreation(unsigned count) { gFailThreads.store(count); }
