// I/O work items: a routine queued from any IRQL up to DISPATCH_LEVEL runs later at
// PASSIVE_LEVEL on the platform's worker thread of its queue (one per queue type, items
// in the order queued). The device object stays referenced while the item is queued and
// running; the routine may free its own work item.
#pragma once

#include <source_location>

#include "kernel/ke.h"

struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;

typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
using PIO_WORKITEM_ROUTINE = IO_WORKITEM_ROUTINE*;

// Pool tag of work items ("IoWk"), so the leak check names items never freed.
constexpr ULONG kWorkItemPoolTag = 0x6B576F49;

// Allocates a work item for a device object (null without memory or without a device).
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject,
                                const std::source_location& caller = std::source_location::current());
// Freeing a work item that is still queued is a verifier report (and the item is kept).
void IoFreeWorkItem(PIO_WORKITEM ioWorkItem, const std::source_location& caller = std::source_location::current());

// Work items in the caller's memory (IoSizeofWorkItem bytes, non-paged, anywhere):
// initialising one that is still queued, or uninitialising it while queued, is reported.
// Like every queued work item, one whose memory is freed or reused before it runs is
// reported when its turn comes ("queued object overwritten") and does not run.
ULONG IoSizeofWorkItem();
void IoInitializeWorkItem(PVOID ioObject, PIO_WORKITEM ioWorkItem,
                          const std::source_location& caller = std::source_location::current());
void IoUninitializeWorkItem(PIO_WORKITEM ioWorkItem,
                            const std::source_location& caller = std::source_location::current());
// Queuing an item that is already queued is a verifier report and changes nothing.
void IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine, WORK_QUEUE_TYPE queueType,
                     PVOID context, const std::source_location& caller = std::source_location::current());
