#include "lock_order.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kernel/platform_work.h"
#include "kernel/verifier.h"
#include "sched.h"
#include "text.h"

namespace platform::kernel_detail::lock_order {
namespace {

// `taken` was acquired while `held` was held.
struct Edge {
  const char* heldKind;
  const char* takenKind;
  std::source_location heldAt;
  std::source_location takenAt;
  std::string thread;
};

struct Graph {
  std::mutex mutex;
  // after[a][b]: b was taken while a was held.
  std::unordered_map<const void*, std::unordered_map<const void*, Edge>> after;
  std::set<std::pair<const void*, const void*>> reported;  // one report per pair of locks
  std::atomic<bool> any{false};
};

Graph& G() {
  static Graph* g = new Graph;  // never destroyed: locks are released during exit
  return *g;
}

std::string Site(const std::source_location& s) {
  return platform::text::CallerText(s.file_name(), s.line(), s.function_name());
}

std::string Name(const char* kind, const void* lock) { return Format("%s %p", kind, lock); }

void ForgetLocked(Graph& g, const std::function<bool(const void*)>& gone) {
  std::erase_if(g.after, [&](const auto& e) { return gone(e.first); });
  for (auto& [from, out] : g.after) std::erase_if(out, [&](const auto& e) { return gone(e.first); });
  std::erase_if(g.reported, [&](const auto& p) { return gone(p.first) || gone(p.second); });
  g.any.store(!g.after.empty(), std::memory_order_relaxed);
}

}  // namespace

void Acquiring(ThreadRec* t, const void* lock, const char* kind, const std::source_location& site) {
  if (t->heldInOrder.empty()) return;
  Graph& g = G();
  std::vector<std::string> findings;
  {
    verifier::ScopedPlatformWork verifierWork;
    std::lock_guard guard(g.mutex);
    for (const HeldLock& h : t->heldInOrder) {
      if (h.lock == lock) continue;  // a mutex taken again by its owner
      g.after[h.lock].try_emplace(lock, Edge{h.kind, kind, h.site, site, t->name});
      g.any.store(true, std::memory_order_relaxed);
      auto back = g.after.find(lock);
      if (back == g.after.end()) continue;
      auto seen = back->second.find(h.lock);
      if (seen == back->second.end()) continue;
      if (!g.reported.insert(std::minmax(h.lock, lock)).second) continue;
      const Edge& e = seen->second;
      findings.push_back(Name(kind, lock) + " taken at " + Site(site) + " while holding " + Name(h.kind, h.lock) +
                         " (taken at " + Site(h.site) + ") on '" + t->name + "'; the opposite order was seen on '" +
                         e.thread + "': " + Name(e.takenKind, h.lock) + " taken at " + Site(e.takenAt) +
                         " while holding " + Name(e.heldKind, lock) + " (taken at " + Site(e.heldAt) +
                         "). The two orders can deadlock on two processors");
    }
  }
  for (auto& f : findings) Report(verifier::Check::LockOrderInversion, kind, std::move(f), site);
}

void Acquired(ThreadRec* t, const void* lock, const char* kind, const std::source_location& site) {
  t->heldInOrder.push_back(HeldLock{lock, kind, site});
}

void Released(ThreadRec* t, const void* lock) {
  auto& held = t->heldInOrder;
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (it->lock == lock) {
      held.erase(std::next(it).base());
      return;
    }
  }
}

void Forget(const void* lock) {
  Graph& g = G();
  if (!g.any.load(std::memory_order_relaxed)) return;
  verifier::ScopedPlatformWork verifierWork;
  std::lock_guard guard(g.mutex);
  ForgetLocked(g, [lock](const void* l) { return l == lock; });
}

void ForgetRange(const void* block, std::size_t bytes) {
  Graph& g = G();
  if (!g.any.load(std::memory_order_relaxed)) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  verifier::ScopedPlatformWork verifierWork;
  std::lock_guard guard(g.mutex);
  ForgetLocked(g, [begin, bytes](const void* l) {
    const auto a = reinterpret_cast<std::uintptr_t>(l);
    return a >= begin && a - begin < bytes;
  });
}

}  // namespace platform::kernel_detail::lock_order

namespace platform::verifier {

void ResetLockOrder() {
  auto& g = kernel_detail::lock_order::G();
  std::lock_guard guard(g.mutex);
  g.after.clear();
  g.reported.clear();
  g.any.store(false, std::memory_order_relaxed);
}

}  // namespace platform::verifier
