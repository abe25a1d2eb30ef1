// I/O work items and their worker threads.

#include "kernel/workitem.h"

#include <deque>

#include "kernel/ob.h"
#include "kernel/pool.h"
#include "sched.h"

using namespace platform::kernel_detail;
using platform::verifier::Check;

struct IO_WORKITEM {
  ULONG Signature;
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  bool Queued;
};

namespace {

constexpr ULONG kSignature = 0x4B524F57;  // "WORK"
constexpr ULONG kFreed = 0xDEADF4EE;

// One queue and worker thread per queue type (hyper-critical items share the critical
// queue). Guarded by the dispatcher lock.
struct WorkQueue {
  explicit WorkQueue(const char* n) : name(n) {}
  const char* name;
  std::deque<IO_WORKITEM*> items;
  KEVENT work{};  // synchronization: wakes the worker
  bool started = false;
};

struct Queues {
  WorkQueue critical{"critical work queue"};
  WorkQueue delayed{"delayed work queue"};
  Queues() {
    KeInitializeEvent(&critical.work, SynchronizationEvent, FALSE);
    KeInitializeEvent(&delayed.work, SynchronizationEvent, FALSE);
    RegisterBacklogProbe(
        [this] {
          std::vector<std::string> found;
          std::lock_guard lock(DispatcherLock());
          for (WorkQueue* q : {&critical, &delayed})
            for (IO_WORKITEM* item : q->items)
              found.push_back(Format("work item %p still queued on the %s", static_cast<void*>(item), q->name));
          return found;
        },
        [this] {
          std::vector<PDEVICE_OBJECT> devices;
          {
            std::lock_guard lock(DispatcherLock());
            for (WorkQueue* q : {&critical, &delayed}) {
              for (IO_WORKITEM* item : q->items) {
                item->Queued = false;
                devices.push_back(item->DeviceObject);
              }
              q->items.clear();
            }
          }
          for (PDEVICE_OBJECT d : devices) ObDereferenceObject(d);
        });
  }
};

Queues& Q() {
  static Queues* q = new Queues;  // never destroyed: workers outlive static destruction
  return *q;
}

void RunWorker(WorkQueue* q) {
  ThreadRec* self = Current();
  for (;;) {
    IO_WORKITEM* item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    {
      std::lock_guard lock(DispatcherLock());
      if (!q->items.empty()) {
        item = q->items.front();
        q->items.pop_front();
        item->Queued = false;
        device = item->DeviceObject;
        routine = item->Routine;
        context = item->Context;
      }
    }
    if (!item) {
      DISPATCHER_HEADER* work = &q->work.Header;
      Wait(1, &work, WaitAny, kNever, false, true, q->name, std::source_location::current());
      continue;
    }
    const LONG mutexesBefore = self->mutexesOwned;
    routine(device, context);  // may free the item
    if (self->irql != PASSIVE_LEVEL || !self->spinLocks.empty() || self->mutexesOwned != mutexesBefore) {
      Report(Check::LockHeldAtExit, "IoQueueWorkItem",
             Format("work item routine %p returned at IRQL %u holding %zu spin lock(s) and %d mutex acquisition(s)",
                    reinterpret_cast<void*>(routine), self->irql, self->spinLocks.size(),
                    static_cast<int>(self->mutexesOwned - mutexesBefore)),
             std::source_location::current());
      self->irql = PASSIVE_LEVEL;
      self->spinLocks.clear();
      self->spinLockIrqls.clear();
    }
    ObDereferenceObject(device);
  }
}

bool Valid(PIO_WORKITEM item, const char* api, const std::source_location& caller) {
  if (item && item->Signature == kSignature) return true;
  Report(Check::InvalidArgument, api,
         Format("%p is not a work item%s", static_cast<void*>(item),
                item && item->Signature == kFreed ? " (it was freed)" : ""),
         caller);
  return false;
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem", caller);
  if (!deviceObject) {
    Report(Check::InvalidArgument, "IoAllocateWorkItem", "no device object", caller);
    return nullptr;
  }
  auto* item =
      static_cast<IO_WORKITEM*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemPoolTag, caller));
  if (!item) return nullptr;
  *item = IO_WORKITEM{kSignature, deviceObject, nullptr, nullptr, false};
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM ioWorkItem, const std::source_location& caller) {
  if (!Valid(ioWorkItem, "IoFreeWorkItem", caller)) return;
  bool queued;
  {
    std::lock_guard lock(DispatcherLock());
    queued = ioWorkItem->Queued;
    if (!queued) ioWorkItem->Signature = kFreed;
  }
  if (queued) {
    Report(Check::InvalidArgument, "IoFreeWorkItem",
           Format("work item %p is still queued", static_cast<void*>(ioWorkItem)), caller);
    return;
  }
  ExFreePoolWithTag(ioWorkItem, kWorkItemPoolTag, caller);
}

void IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine, WORK_QUEUE_TYPE queueType,
                     PVOID context, const std::source_location& caller) {
  if (!Valid(ioWorkItem, "IoQueueWorkItem", caller)) return;
  if (!workerRoutine) {
    Report(Check::InvalidArgument, "IoQueueWorkItem", "no routine", caller);
    return;
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    Report(Check::IrqlMisuse, "IoQueueWorkItem", Format("called at IRQL %u", KeGetCurrentIrql()), caller);
  Queues& queues = Q();
  WorkQueue* q = queueType == DelayedWorkQueue ? &queues.delayed : &queues.critical;
  ObReferenceObject(ioWorkItem->DeviceObject, caller);
  std::unique_lock lock(DispatcherLock());
  if (ioWorkItem->Queued) {
    lock.unlock();
    ObDereferenceObject(ioWorkItem->DeviceObject, caller);
    Report(Check::InvalidArgument, "IoQueueWorkItem",
           Format("work item %p is already queued", static_cast<void*>(ioWorkItem)), caller);
    return;
  }
  ioWorkItem->Routine = workerRoutine;
  ioWorkItem->Context = context;
  ioWorkItem->Queued = true;
  q->items.push_back(ioWorkItem);
  if (!q->started) {
    q->started = true;
    StartThreadLocked(q->name, ThreadKind::Worker, nullptr, [q] { RunWorker(q); }, nullptr).detach();
  }
  SetEventLocked(&q->work);
}
