// I/O work items and their worker threads.

#include "kernel/workitem.h"

#include <deque>

#include "kernel/ob.h"
#include "kernel/pool.h"
#include "memory_faults.h"
#include "paged_arena.h"
#include "queued_objects.h"
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
                const QueuedObject* what = FindQueuedLocked(item);
                devices.push_back(static_cast<PDEVICE_OBJECT>(what ? what->device : item->DeviceObject));
                IO_WORKITEM seen;
                if (ReadableCopy(&seen, item, sizeof seen) && seen.Signature == kSignature) item->Queued = false;
                NoteUnqueuedLocked(item);
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

// Whether a queued item still holds what was queued; otherwise it is reported (deferred)
// and forgotten.
bool ItemIntactLocked(IO_WORKITEM* item, const QueuedObject& what) {
  IO_WORKITEM seen;
  const bool readable = ReadableCopy(&seen, item, sizeof seen);
  if (readable && seen.Signature == kSignature && seen.Queued &&
      reinterpret_cast<const void*>(seen.Routine) == what.first && seen.Context == what.second &&
      seen.DeviceObject == what.device)
    return true;
  ReportOverwrittenLocked(item, what, "work queue", readable ? "no longer holds its work item" : "is no longer readable");
  return false;
}

void RunWorker(WorkQueue* q) {
  ThreadRec* self = Current();
  for (;;) {
    IO_WORKITEM* item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT dropped = nullptr;  // of an item found overwritten
    {
      std::lock_guard lock(DispatcherLock());
      while (!item && !q->items.empty()) {
        IO_WORKITEM* next = q->items.front();
        q->items.pop_front();
        if (const QueuedObject* what = FindQueuedLocked(next)) {
          const QueuedObject queued = *what;  // the check forgets an overwritten item
          if (!ItemIntactLocked(next, queued)) {
            dropped = static_cast<PDEVICE_OBJECT>(queued.device);
            break;
          }
        }
        NoteUnqueuedLocked(next);
        item = next;
        item->Queued = false;
        device = item->DeviceObject;
        routine = item->Routine;
        context = item->Context;
      }
    }
    ReportDeferred();
    if (dropped) {
      ObDereferenceObject(dropped);
      continue;
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
      FollowIrql(self);
      self->spinLocks.clear();
      self->spinLockIrqls.clear();
    }
    ObDereferenceObject(device);
  }
}

void Initialise(PIO_WORKITEM item, PDEVICE_OBJECT device) {
  *item = IO_WORKITEM{kSignature, device, nullptr, nullptr, false};
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
  Initialise(item, deviceObject);
  return item;
}

namespace {

// Ends a work item's life (freed or uninitialised): refused, and reported with the site
// that queued it, while the item is queued.
bool Retire(PIO_WORKITEM item, const char* api, const std::source_location& caller) {
  if (!Valid(item, api, caller)) return false;
  std::string queuedAt;
  {
    std::lock_guard lock(DispatcherLock());
    if (const QueuedObject* what = FindQueuedLocked(item))
      queuedAt = SiteText(what->site);
    else
      item->Signature = kFreed;
  }
  if (queuedAt.empty()) return true;
  Report(Check::ObjectFreedInUse, api,
         Format("work item %p is still queued (queued at %s)", static_cast<void*>(item), queuedAt.c_str()), caller);
  return false;
}

}  // namespace

void IoFreeWorkItem(PIO_WORKITEM ioWorkItem, const std::source_location& caller) {
  if (Retire(ioWorkItem, "IoFreeWorkItem", caller)) ExFreePoolWithTag(ioWorkItem, kWorkItemPoolTag, caller);
}

ULONG IoSizeofWorkItem() { return sizeof(IO_WORKITEM); }

void IoInitializeWorkItem(PVOID ioObject, PIO_WORKITEM ioWorkItem, const std::source_location& caller) {
  if (!ioObject || !ioWorkItem) {
    Report(Check::InvalidArgument, "IoInitializeWorkItem", ioObject ? "no work item" : "no device object", caller);
    return;
  }
  // Found by address among the queued items: the memory may hold anything before.
  std::string queuedAt;
  void* device = nullptr;
  {
    std::lock_guard lock(DispatcherLock());
    if (const QueuedObject* what = FindQueuedLocked(ioWorkItem); what && what->kind == QueuedKind::WorkItem) {
      queuedAt = SiteText(what->site);
      device = UnlinkWorkItemLocked(ioWorkItem);
    }
  }
  if (device) ObDereferenceObject(device);
  if (!queuedAt.empty())
    Report(Check::ObjectFreedInUse, "IoInitializeWorkItem",
           Format("work item %p initialised again while it is queued (queued at %s)", static_cast<void*>(ioWorkItem),
                  queuedAt.c_str()),
           caller);
  Initialise(ioWorkItem, static_cast<PDEVICE_OBJECT>(ioObject));
}

void IoUninitializeWorkItem(PIO_WORKITEM ioWorkItem, const std::source_location& caller) {
  Retire(ioWorkItem, "IoUninitializeWorkItem", caller);
}

void* platform::kernel_detail::UnlinkWorkItemLocked(const void* item) {
  const QueuedObject* what = FindQueuedLocked(item);
  if (!what) return nullptr;
  void* device = what->device;
  Queues& queues = Q();
  for (WorkQueue* q : {&queues.critical, &queues.delayed}) std::erase(q->items, item);
  NoteUnqueuedLocked(item);
  return device;
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
  NoteQueuedLocked(ioWorkItem, QueuedObject{QueuedKind::WorkItem, caller, reinterpret_cast<const void*>(workerRoutine),
                                            context, ioWorkItem->DeviceObject});
  if (!q->started) {
    q->started = true;
    StartThreadLocked(q->name, ThreadKind::Worker, nullptr, [q] { RunWorker(q); }, nullptr).detach();
  }
  SetEventLocked(&q->work);
}
