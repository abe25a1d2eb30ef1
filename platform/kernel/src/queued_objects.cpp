#include "queued_objects.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "sched.h"
#include "text.h"

namespace platform::kernel_detail {
namespace {

struct Deferred {
  verifier::Check check;
  const char* api;
  std::string detail;
  std::string caller;
};

struct Registry {
  std::unordered_map<const void*, QueuedObject> objects;
  std::vector<Deferred> deferred;
  std::atomic<bool> anyDeferred{false};
};

Registry& G() {
  static Registry* r = new Registry;  // never destroyed: queues outlive static destruction
  return *r;
}

const char* KindName(QueuedKind kind) {
  switch (kind) {
    case QueuedKind::Timer: return "timer";
    case QueuedKind::Dpc: return "DPC";
    case QueuedKind::WorkItem: return "work item";
  }
  return "object";
}

}  // namespace

void NoteQueuedLocked(const void* object, const QueuedObject& what) { G().objects[object] = what; }

void NoteUnqueuedLocked(const void* object) { G().objects.erase(object); }

const QueuedObject* FindQueuedLocked(const void* object) {
  auto& objects = G().objects;
  auto it = objects.find(object);
  return it == objects.end() ? nullptr : &it->second;
}

std::vector<std::pair<const void*, QueuedObject>> QueuedWithinLocked(const void* block, std::size_t bytes) {
  std::vector<std::pair<const void*, QueuedObject>> found;
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  for (const auto& [object, what] : G().objects) {
    const auto a = reinterpret_cast<std::uintptr_t>(object);
    if (a >= begin && a - begin < bytes) found.emplace_back(object, what);
  }
  return found;
}

void ForgetAllQueuedLocked(QueuedKind kind) { std::erase_if(G().objects, [kind](const auto& e) { return e.second.kind == kind; }); }

std::string SiteText(const std::source_location& site) {
  return platform::text::CallerText(site.file_name(), site.line(), site.function_name());
}

std::string DescribeQueued(const void* object, const QueuedObject& what) {
  return Format("%s %p %s at ", KindName(what.kind), object, what.kind == QueuedKind::Timer ? "armed" : "queued") +
         SiteText(what.site);
}

void DeferReportLocked(verifier::Check check, const char* api, std::string detail, std::string caller) {
  Registry& g = G();
  g.deferred.push_back(Deferred{check, api, std::move(detail), std::move(caller)});
  g.anyDeferred.store(true, std::memory_order_release);
}

void ReportDeferred() {
  Registry& g = G();
  if (!g.anyDeferred.load(std::memory_order_acquire)) return;
  std::vector<Deferred> found;
  {
    std::lock_guard lock(DispatcherLock());
    found.swap(g.deferred);
    g.anyDeferred.store(false, std::memory_order_relaxed);
  }
  for (Deferred& d : found) Report(d.check, d.api, std::move(d.detail), std::move(d.caller));
}

void ReportOverwrittenLocked(const void* object, const QueuedObject& what, const char* api, const char* how) {
  // `what` may be the registry's own entry: everything is taken from it before it goes.
  DeferReportLocked(verifier::Check::ObjectFreedInUse, api,
                    "queued object overwritten: " + DescribeQueued(object, what) + " " + how +
                        " (its memory was freed or reused while it was queued); dropped",
                    SiteText(what.site));
  NoteUnqueuedLocked(object);
}

}  // namespace platform::kernel_detail
