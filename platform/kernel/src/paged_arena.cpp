#include "paged_arena.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#include "dispatcher_state.h"
#include "kernel/platform_work.h"
#include "memory_faults.h"

#include "sanitizers.h"
#if UA_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace platform::kernel_detail {
namespace paged {
namespace {

#if defined(UA_FREE_RUNNING)
constexpr bool kBuilt = false;
#else
constexpr bool kBuilt = true;
#endif

#if UA_ADDRESS_SANITIZER
// Under AddressSanitizer a poisoned page follows each block, so an overrun is still
// caught there (the region lies outside the sanitizer's heap).
constexpr std::size_t kGapPages = 1;
#else
constexpr std::size_t kGapPages = 0;
#endif

constexpr std::size_t kRegionBytes = std::size_t{1} << 30;  // reserved, not committed
constexpr std::size_t kLargestBlock = std::size_t{1} << 26;  // larger ones come from the heap

struct Region {
  std::mutex mutex;
  unsigned char* base = nullptr;
  std::size_t page = 4096;
  std::size_t top = 0;                        // bytes of the region in use so far
  std::map<std::size_t, std::size_t> free;    // offset -> bytes of runs given back
  std::map<std::uintptr_t, std::size_t> live;  // block -> bytes
  std::atomic<bool> isProtected{false};       // [base, base + top) inaccessible
  std::atomic<std::size_t> liveCount{0};
};

Region* Make() {
  if (!kBuilt) return nullptr;
  // UA_PAGED_PROTECTION=0 keeps paged blocks on the heap (to compare costs, or to debug
  // with a tool that dislikes protected pages).
  if (const char* knob = std::getenv("UA_PAGED_PROTECTION"); knob && std::strcmp(knob, "0") == 0) return nullptr;
  auto* r = new Region;  // never destroyed: blocks may be freed during exit
  r->page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* base = mmap(nullptr, kRegionBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return r;
  r->base = static_cast<unsigned char*>(base);
#if UA_ADDRESS_SANITIZER
  // Heap objects that only paged blocks point to are not leaks.
  __lsan_register_root_region(base, kRegionBytes);
#endif
  InstallFaultHandler();
  return r;
}

Region* R() {
  static Region* region = Make();
  return region;
}

std::size_t RunBytes(const Region& r, std::size_t bytes) {
  const std::size_t pages = (bytes == 0 ? 1 : (bytes + r.page - 1) / r.page) + kGapPages;
  return pages * r.page;
}

// With the mutex held: protects or opens the part of the region in use.
void SetProtectionLocked(Region& r, bool protect) {
  if (r.top != 0) mprotect(r.base, r.top, protect ? PROT_NONE : PROT_READ | PROT_WRITE);
  r.isProtected.store(protect, std::memory_order_release);
}

void Apply(bool protect) {
  Region* r = R();
  if (!r || !r->base) return;
  std::lock_guard lock(r->mutex);
  if (r->isProtected.load(std::memory_order_relaxed) != protect) SetProtectionLocked(*r, protect);
}

// Whether the running context may touch paged pool (below DISPATCH_LEVEL, or not a
// platform context at all).
bool MayTouch(const ThreadRec* t) { return !t || !t->IsPlatform() || t->irql < DISPATCH_LEVEL; }

}  // namespace

bool Enabled() {
  Region* r = R();
  return r && r->base;
}

void* Allocate(std::size_t bytes, unsigned char fill) {
  Region* r = R();
  if (!r || !r->base || bytes > kLargestBlock) return nullptr;
  const std::size_t run = RunBytes(*r, bytes);
  std::lock_guard lock(r->mutex);
  std::size_t offset = kRegionBytes;
  for (auto it = r->free.begin(); it != r->free.end(); ++it) {
    if (it->second < run) continue;
    offset = it->first;
    if (it->second > run) r->free.emplace(offset + run, it->second - run);
    r->free.erase(it);
    break;
  }
  if (offset == kRegionBytes) {
    if (kRegionBytes - r->top < run) return nullptr;
    offset = r->top;
    r->top += run;
  }
  unsigned char* block = r->base + offset;
  // The caller (below DISPATCH_LEVEL) writes the block next: protection left on from a
  // raised context is lifted now rather than on that write's fault.
  if (r->isProtected.load(std::memory_order_relaxed) && MayTouch(tlCurrent)) SetProtectionLocked(*r, false);
  const bool protect = r->isProtected.load(std::memory_order_relaxed);
  mprotect(block, run, PROT_READ | PROT_WRITE);
#if UA_ADDRESS_SANITIZER
  __asan_unpoison_memory_region(block, bytes);
  __asan_poison_memory_region(block + bytes, run - bytes);
#endif
  std::memset(block, fill, bytes);
  if (protect) mprotect(block, run, PROT_NONE);
  r->live.emplace(reinterpret_cast<std::uintptr_t>(block), bytes);
  r->liveCount.fetch_add(1, std::memory_order_relaxed);
  return block;
}

bool Owns(const void* block) {
  Region* r = R();
  if (!r || !r->base) return false;
  const auto a = reinterpret_cast<std::uintptr_t>(block);
  const auto b = reinterpret_cast<std::uintptr_t>(r->base);
  return a >= b && a - b < kRegionBytes;
}

void Free(void* block, std::size_t bytes) {
  Region* r = R();
  const std::size_t run = RunBytes(*r, bytes);
  std::lock_guard lock(r->mutex);
  r->live.erase(reinterpret_cast<std::uintptr_t>(block));
  r->liveCount.fetch_sub(1, std::memory_order_relaxed);
  // The pages go back to the system and read as zero when next used.
  madvise(block, run, MADV_DONTNEED);
#if UA_ADDRESS_SANITIZER
  __asan_poison_memory_region(block, run);
#endif
  std::size_t offset = static_cast<std::size_t>(static_cast<unsigned char*>(block) - r->base);
  std::size_t length = run;
  auto next = r->free.lower_bound(offset);
  if (next != r->free.end() && offset + length == next->first) {
    length += next->second;
    next = r->free.erase(next);
  }
  if (next != r->free.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == offset) {
      offset = previous->first;
      length += previous->second;
      r->free.erase(previous);
    }
  }
  r->free.emplace(offset, length);
}

namespace {

// Whether the fault at `address` is on the part of the region in use while it is protected.
bool ProtectedAccess(const Region* r, const void* address) {
  if (!r || !r->base || !Owns(address)) return false;
  const auto offset = static_cast<std::size_t>(static_cast<const unsigned char*>(address) - r->base);
  return r->isProtected.load(std::memory_order_acquire) && offset < r->top;
}

}  // namespace

bool LiftLeftProtection(void* address) {
  Region* r = R();
  if (!ProtectedAccess(r, address) || !MayTouch(tlCurrent)) return false;
  Apply(false);
  return true;
}

void Open() {
  if (Enabled()) Apply(false);
}

bool OnFault(void* address, void* ucontext) {
  Region* r = R();
  // Open, yet it faulted, or past the part in use: a stray access, fatal as any other.
  if (!ProtectedAccess(r, address)) return false;
  // Protection left on from a context at DISPATCH_LEVEL (it is lifted only when touched)
  // while this context, at a lower IRQL, touches the pool: lift it and go on.
  if (LiftLeftProtection(address)) return true;
  const ThreadRec* t = tlCurrent;
  // Name the block, then open the region so the access goes on once reported.
  std::uintptr_t start = 0;
  {
    std::lock_guard lock(r->mutex);
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    auto it = r->live.upper_bound(a);
    if (it != r->live.begin()) {
      --it;
      if (a - it->first < it->second + r->page) {  // in the block or the rest of its last page
        start = it->first;
      }
    }
    SetProtectionLocked(*r, false);
  }
  std::string detail;
  if (start) {
    detail = Format("touches paged block %p at offset %zu at IRQL %u in '%s': ", reinterpret_cast<void*>(start),
                    static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(address) - start), t->irql,
                    t->name.c_str()) +
             DescribePagedBlock(reinterpret_cast<void*>(start));
  } else {
    detail = Format("touches paged pool at %p (no live block there) at IRQL %u in '%s'", address, t->irql,
                    t->name.c_str());
  }
  Report(verifier::Check::PagedAccessAboveApc, "paged pool", std::move(detail), FaultingCaller(ucontext));
  return true;
}

}  // namespace paged

void FollowIrql(const ThreadRec* t) {
  if constexpr (!paged::kBuilt) {
    return;
  } else {
    paged::Region* r = paged::R();
    if (!r || !r->base || !t->IsPlatform()) return;
    // Only raising changes the protection here: lowering leaves it on until a context
    // below DISPATCH_LEVEL touches the pool (the fault lifts it), so DPCs and raised
    // sections back to back with contexts that do not touch paged pool in between cost
    // no system call at all.
    const bool protect = t->irql >= DISPATCH_LEVEL && r->liveCount.load(std::memory_order_relaxed) != 0;
    if (!protect || r->isProtected.load(std::memory_order_relaxed)) return;
    // Changing the protection (and the TLB flushes it takes) is the simulation's time.
    verifier::ScopedPlatformWork protection;
    paged::Apply(protect);
  }
}

}  // namespace platform::kernel_detail
