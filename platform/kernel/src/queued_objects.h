// Internal: the registry of queued kernel objects.
//
// Armed timers, queued DPCs and queued work items are tracked by address, with the site
// that armed or queued them and the fields that identify them while queued (a timer's
// DPC, a DPC's routine and context, a work item's routine, context and device). Wherever
// such an object lives (pool, stack, heap), the platform reads it again only after
// checking it still holds what was queued: memory freed or reused under a queued object
// is reported as "queued object overwritten" naming the object and the queuing site, and
// the object is dropped instead of run. Freeing pool that holds a queued object is
// reported at the free. All calls but ReportDeferred need the dispatcher lock.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <utility>
#include <vector>

#include "kernel/verifier.h"

namespace platform::kernel_detail {

enum class QueuedKind { Timer, Dpc, WorkItem };

struct QueuedObject {
  QueuedKind kind;
  std::source_location site;  // where it was armed or queued
  const void* first;          // timer: its DPC; DPC and work item: the routine
  const void* second;         // DPC and work item: the context
  void* device;               // work item: the device object it holds a reference on
};

void NoteQueuedLocked(const void* object, const QueuedObject& what);
void NoteUnqueuedLocked(const void* object);
// Null when `object` is not queued. Valid until the registry next changes.
const QueuedObject* FindQueuedLocked(const void* object);
// The queued objects that start inside [block, block + bytes).
std::vector<std::pair<const void*, QueuedObject>> QueuedWithinLocked(const void* block, std::size_t bytes);
void ForgetAllQueuedLocked(QueuedKind kind);

// "timer 0x... armed at file:line (function)".
std::string DescribeQueued(const void* object, const QueuedObject& what);
// The site as a verifier caller ("file:line (function)").
std::string SiteText(const std::source_location& site);

// A finding made with the dispatcher lock held: kept until ReportDeferred, which the
// scheduler's contexts call once they have let go of the lock.
void DeferReportLocked(verifier::Check check, const char* api, std::string detail, std::string caller);
// Reports what was deferred (without the dispatcher lock).
void ReportDeferred();

// With the lock held: the overwritten-object finding for `object`, dropped from the registry.
void ReportOverwrittenLocked(const void* object, const QueuedObject& what, const char* api, const char* how);

// Implemented by the work queues: takes a queued work item off its queue (its memory is
// being freed or initialised again) and returns the device object whose reference the
// caller drops once the lock is released.
void* UnlinkWorkItemLocked(const void* item);

}  // namespace platform::kernel_detail
