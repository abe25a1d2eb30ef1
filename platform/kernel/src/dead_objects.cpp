#include "dead_objects.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "kernel/verifier.h"
#include "memory_faults.h"

#include "sanitizers.h"
#if UA_ADDRESS_SANITIZER
#include <sanitizer/lsan_interface.h>
#endif

namespace platform::kernel_detail::dead_objects {
namespace {

constexpr std::size_t kKept = 1024;

struct Dead {
  std::size_t mapped;
  std::string what;
  bool reported = false;
};

struct Graveyard {
  std::mutex mutex;
  std::map<std::uintptr_t, Dead> dead;  // by start address
  std::deque<std::uintptr_t> order;
};

Graveyard& G() {
  static Graveyard* g = new Graveyard;
  return *g;
}

std::size_t PageSize() {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

void* Allocate(std::size_t bytes, std::size_t* mapped) {
  const std::size_t size = (bytes + PageSize() - 1) / PageSize() * PageSize();
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
#if UA_ADDRESS_SANITIZER
  // Heap objects that only a live object points to (a framework's state behind a device
  // extension) are not leaks; once the object is retired they no longer count as held.
  __lsan_register_root_region(pages, size);
#endif
  InstallFaultHandler();
  *mapped = size;
  return pages;
}

void Retire(void* body, std::size_t mapped, std::string what) {
  const auto start = reinterpret_cast<std::uintptr_t>(body);
  std::uintptr_t evicted = 0;
  std::size_t evictedSize = 0;
  {
    Graveyard& g = G();
    std::lock_guard lock(g.mutex);
#if UA_ADDRESS_SANITIZER
    __lsan_unregister_root_region(body, mapped);
#endif
    mprotect(body, mapped, PROT_NONE);
    g.dead[start] = Dead{mapped, std::move(what)};
    g.order.push_back(start);
    if (g.order.size() > kKept) {
      evicted = g.order.front();
      g.order.pop_front();
      auto it = g.dead.find(evicted);
      evictedSize = it->second.mapped;
      g.dead.erase(it);
    }
  }
  if (evicted) munmap(reinterpret_cast<void*>(evicted), evictedSize);
}

bool OnFault(void* address, void* ucontext) {
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  std::string detail;
  {
    Graveyard& g = G();
    std::lock_guard lock(g.mutex);
    auto it = g.dead.upper_bound(a);
    if (it == g.dead.begin()) return false;
    --it;
    if (a - it->first >= it->second.mapped) return false;
    // Opened for good: the access goes on, and a later touch of the same object is not
    // reported again.
    mprotect(reinterpret_cast<void*>(it->first), it->second.mapped, PROT_READ | PROT_WRITE);
    if (it->second.reported) return true;
    it->second.reported = true;
    char text[96];
    std::snprintf(text, sizeof text, " %p touched at offset %zu after its last reference went",
                  reinterpret_cast<void*>(it->first), static_cast<std::size_t>(a - it->first));
    detail = it->second.what + text;
  }
  verifier::Report(verifier::Check::ObjectUsedAfterFree, "object manager", std::move(detail),
                   FaultingCaller(ucontext));
  return true;
}

}  // namespace platform::kernel_detail::dead_objects
