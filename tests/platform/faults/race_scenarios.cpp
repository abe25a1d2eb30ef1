// Races between a DPC and a passive thread that fall due on the same clock tick, under
// default timing: the DPC of a timer (the device's "transfer done") and a thread that
// wakes on that tick. The scheduler's overlap draw starts the two together in a share of
// the seeds and interleaves them; the faulty variants are then stopped, the correct ones
// never are.
#include <gtest/gtest.h>

#include "kernel/io.h"
#include "kernel/ke.h"
#include "planted.h"
#include "support/kernel_fixture.h"

namespace planted {
namespace {

using platform::testing::DelayMs;
using platform::testing::RelativeMs;

// ---------------------------------------------------------------------------------------
// Completion versus IoCancelIrp. The driver pends the request in a one-slot queue with a
// cancel routine set; a timer DPC (the device finishing) completes it while the user
// cancels it on the same tick. The faulty DPC takes the request from the queue, then
// clears the cancel routine without looking at what IoSetCancelRoutine returned: when
// IoCancelIrp took the routine in between, both complete the request. The correct DPC
// leaves a request whose routine is gone to the cancel routine, under the queue lock.

struct CancelQueue {
  KSPIN_LOCK lock;
  PIRP slot = nullptr;
  KTIMER timer;
  KDPC dpc;
  KEVENT dpcDone;
  bool faulty = false;
  Outcome* o = nullptr;
};
CancelQueue* g_queue = nullptr;

void CancelQueued(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CancelQueue* q = g_queue;
  KIRQL old;
  KeAcquireSpinLock(&q->lock, &old);
  if (q->slot == irp) q->slot = nullptr;
  KeReleaseSpinLock(&q->lock, old);
  irp->IoStatus.Status = STATUS_CANCELLED;
  q->o->alsoLine = __LINE__ + 1;  // the second completion, when the DPC's came first
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PendCancellable(PDEVICE_OBJECT, PIRP irp) {
  CancelQueue* q = g_queue;
  KIRQL old;
  KeAcquireSpinLock(&q->lock, &old);
  IoSetCancelRoutine(irp, CancelQueued);
  IoMarkIrpPending(irp);
  q->slot = irp;
  KeReleaseSpinLock(&q->lock, old);
  return STATUS_PENDING;
}

void CompleteFromDpc(CancelQueue* q);

void TransferDone(PKDPC, PVOID context, PVOID, PVOID) {
  auto* q = static_cast<CancelQueue*>(context);
  CompleteFromDpc(q);
  KeSetEvent(&q->dpcDone, IO_NO_INCREMENT, FALSE);
}

void CompleteFromDpc(CancelQueue* q) {
  KeAcquireSpinLockAtDpcLevel(&q->lock);
  PIRP irp = q->slot;
  if (q->faulty) {
    q->slot = nullptr;
    KeReleaseSpinLockFromDpcLevel(&q->lock);
    if (!irp) return;
    IoSetCancelRoutine(irp, nullptr);  // what it returns is ignored
    irp->IoStatus.Status = STATUS_SUCCESS;
    PLANT(*q->o, IoCompleteRequest(irp, IO_NO_INCREMENT));
    return;
  }
  if (irp && IoSetCancelRoutine(irp, nullptr) == nullptr) irp = nullptr;  // the cancel routine owns it
  if (irp) q->slot = nullptr;
  KeReleaseSpinLockFromDpcLevel(&q->lock);
  if (!irp) return;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

KEVENT* g_back = nullptr;
NTSTATUS Back(PDEVICE_OBJECT, PIRP, PVOID) {
  KeSetEvent(g_back, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

Outcome CancelRacesCompletion(bool faulty) {
  Outcome o;
  CancelQueue q;
  q.faulty = faulty;
  q.o = &o;
  KeInitializeSpinLock(&q.lock);
  KeInitializeEvent(&q.dpcDone, NotificationEvent, FALSE);
  KeInitializeTimer(&q.timer);
  KeInitializeDpc(&q.dpc, TransferDone, &q);
  KeSetTargetProcessorDpc(&q.dpc, 1);
  g_queue = &q;
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\CancelRace");
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device), STATUS_SUCCESS);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PendCancellable;
  KEVENT back;
  KeInitializeEvent(&back, NotificationEvent, FALSE);
  g_back = &back;
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, Back, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
  KeSetTimer(&q.timer, RelativeMs(10), &q.dpc);  // the transfer ends in 10 ms
  DelayMs(10);                                   // and the user cancels it then
  IoCancelIrp(irp);
  KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&q.dpcDone, Executive, KernelMode, FALSE, nullptr);
  KeFlushQueuedDpcs();
  IoFreeIrp(irp);
  IoDeleteDevice(device);
  platform::io::DeleteDriverObject(driver);
  g_queue = nullptr;
  g_back = nullptr;
  if (!faulty) o.line = o.alsoLine = 0;
  return o;
}

// ---------------------------------------------------------------------------------------
// A lost wake-up. A thread waits for data that a timer DPC announces (a flag, then a
// notification event). The faulty thread checks the flag, then clears the event and
// waits: a DPC that runs between the check and the clear sets an event the thread then
// clears, and the thread waits for good (the platform reports the deadlock at the wait).
// The correct thread clears the event before it checks the flag.

namespace {

struct Arrival {
  KEVENT ready;
  LONG done = 0;
  KTIMER timer;
  KDPC dpc;
};

void DataArrived(PKDPC, PVOID context, PVOID, PVOID) {
  auto* a = static_cast<Arrival*>(context);
  __atomic_store_n(&a->done, 1, __ATOMIC_SEQ_CST);
  KeSetEvent(&a->ready, IO_NO_INCREMENT, FALSE);
}

bool Arrived(Arrival& a) { return __atomic_load_n(&a.done, __ATOMIC_SEQ_CST) != 0; }

}  // namespace

Outcome WakeUpLostToADpc(bool faulty) {
  Outcome o;
  Arrival a;
  KeInitializeEvent(&a.ready, NotificationEvent, FALSE);
  KeInitializeTimer(&a.timer);
  KeInitializeDpc(&a.dpc, DataArrived, &a);
  KeSetTargetProcessorDpc(&a.dpc, 1);
  KeSetTimer(&a.timer, RelativeMs(10), &a.dpc);  // the data arrives in 10 ms
  DelayMs(10);                                   // the thread's own work until then
  if (faulty) {
    while (!Arrived(a)) {
      KeClearEvent(&a.ready);
      PLANT(o, KeWaitForSingleObject(&a.ready, Executive, KernelMode, FALSE, nullptr));
    }
  } else {
    for (;;) {
      KeClearEvent(&a.ready);
      if (Arrived(a)) break;
      KeWaitForSingleObject(&a.ready, Executive, KernelMode, FALSE, nullptr);
    }
    o.line = 0;
  }
  KeFlushQueuedDpcs();
  return o;
}

}  // namespace planted
