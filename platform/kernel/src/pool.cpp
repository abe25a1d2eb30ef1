#include "kernel/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "kernel/ke.h"
#include "kernel/platform_work.h"
#include "kernel/verifier.h"
#include "io_internal.h"
#include "lock_order.h"
#include "paged_arena.h"
#include "sched.h"
#include "text.h"

namespace {

using platform::verifier::Check;
using platform::verifier::Report;

constexpr ULONG kProtectedPoolBit = 0x80000000u;
constexpr ULONG kUntaggedTag = MakePoolTag('N', 'o', 'n', 'e');
constexpr unsigned char kFreshFill = 0xCD;  // new blocks are not zeroed, as in the kernel
constexpr SIZE_T kLargestBlock = SIZE_T{1} << 32;
constexpr ULONG kLookasideSignature = MakePoolTag('L', 'k', 'a', 's');
constexpr SIZE_T kPageBytes = 4096;

struct Block {
  SIZE_T bytes;
  ULONG tag;
  bool paged;
  platform::pool::Mark serial;
  std::source_location caller;
};

// A freed block held back from reuse, filled with kFreedFill: a write through a stale
// pointer shows as a changed byte when the block leaves the quarantine.
struct Quarantined {
  void* block;
  SIZE_T bytes;
  ULONG tag;
  std::source_location allocated;
  std::source_location freed;
};

// Freed blocks wait until more than kQuarantineBlocks or kQuarantineBytes are held (or a
// test ends); larger blocks than kQuarantineLargest go back at once, since filling and
// checking them would cost more than the late writes they could show.
constexpr unsigned char kFreedFill = 0xF7;
constexpr size_t kQuarantineBlocks = 1024;
constexpr SIZE_T kQuarantineBytes = SIZE_T{4} << 20;
constexpr SIZE_T kQuarantineLargest = SIZE_T{64} << 10;

struct State {
  std::mutex mutex;
  std::unordered_map<const void*, Block> blocks;
  std::deque<Quarantined> quarantine;
  SIZE_T quarantineBytes = 0;
  std::vector<std::pair<void*, SIZE_T>> keptInUse;  // freed while I/O still used them (reported)
  platform::pool::Mark nextSerial = 1;
  std::uint64_t attempts = 0;
  std::uint64_t injected = 0;
  std::uint64_t failNthRemaining = 0;
  ULONG failNthTag = 0;
  std::unordered_map<ULONG, bool> failingTags;
};

State& S() {
  static State* state = new State;  // never destroyed: blocks may be freed during exit
  return *state;
}

std::string CallerOf(const std::source_location& loc);

// Checks a block leaving the quarantine still holds the fill, then gives it back.
void Release(const Quarantined& q) {
  const auto* bytes = static_cast<const unsigned char*>(q.block);
  const auto* end = bytes + q.bytes;
  const auto* changed = std::find_if(bytes, end, [](unsigned char b) { return b != kFreedFill; });
  if (changed != end) {
    const auto* last = end;
    while (last[-1] == kFreedFill) --last;
    char text[96];
    std::snprintf(text, sizeof text, "block %p (%zu bytes) written after its free: bytes %zu..%zu changed", q.block,
                  static_cast<size_t>(q.bytes), static_cast<size_t>(changed - bytes),
                  static_cast<size_t>(last - bytes - 1));
    Report(Check::WriteAfterFree, "pool quarantine",
           std::string(text) + "; tag '" + platform::pool::TagName(q.tag) + "', allocated at " +
               CallerOf(q.allocated) + ", freed at " + CallerOf(q.freed),
           q.freed);
  }
  std::free(q.block);
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

std::string CallerOf(const std::source_location& loc) {
  return platform::text::CallerText(loc.file_name(), loc.line(), loc.function_name());
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location& caller, const char* api) {
  platform::sched::Point(api);
  // The tracking, fault injection and fill are the verifier's, not the caller's time.
  platform::verifier::ScopedPlatformWork verifierWork;
  tag &= ~kProtectedPoolBit;
  if (IsPaged(type)) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
      Report(Check::PagedAllocAboveApc, api,
             "paged allocation of " + std::to_string(bytes) + " bytes, tag '" + platform::pool::TagName(tag) +
                 "', at IRQL " + std::to_string(irql),
             caller);
    }
  }
  State& s = S();
  {
    std::lock_guard lock(s.mutex);
    ++s.attempts;
    bool fail = false;
    if (s.failNthRemaining != 0 && (s.failNthTag == 0 || s.failNthTag == tag)) {
      if (--s.failNthRemaining == 0) fail = true;
    }
    auto it = s.failingTags.find(tag);
    if (it != s.failingTags.end() && it->second) fail = true;
    if (fail) {
      ++s.injected;
      return nullptr;
    }
  }
  // A request no pool could satisfy fails, as the kernel's does, instead of reaching the
  // C library (whose sanitizer builds abort on absurd sizes).
  if (bytes > kLargestBlock) return nullptr;
  // Paged blocks live on pages of their own, protected while the running context is at
  // DISPATCH_LEVEL or above; the rest (and paged blocks the region cannot hold) on the heap.
  void* block = IsPaged(type) ? platform::kernel_detail::paged::Allocate(bytes, kFreshFill) : nullptr;
  if (!block) {
    // A block of a page or more starts on a page of its own, as the kernel's does.
    if (bytes >= kPageBytes) {
      if (posix_memalign(&block, kPageBytes, bytes) != 0) block = nullptr;
    } else {
      block = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (!block) return nullptr;
    std::memset(block, kFreshFill, bytes);
  }
  std::lock_guard lock(s.mutex);
  s.blocks[block] = Block{bytes, tag, IsPaged(type), s.nextSerial++, caller};
  return block;
}

// Frees a tracked block; `tag` 0 skips the tag check.
void Free(PVOID block, ULONG tag, const std::source_location& caller, const char* api) {
  if (!block) {
    Report(Check::InvalidArgument, api, "free of a null pointer", caller);
    return;
  }
  platform::sched::Point(api);
  // The checks against live objects and I/O, and the quarantine, are the verifier's time.
  platform::verifier::ScopedPlatformWork verifierWork;
  State& s = S();
  std::unique_lock lock(s.mutex);
  auto it = s.blocks.find(block);
  if (it == s.blocks.end()) {
    std::string freedAt;
    for (const auto& q : s.quarantine)
      if (q.block == block) freedAt = CallerOf(q.freed);
    lock.unlock();
    char text[64];
    std::snprintf(text, sizeof text, "block %p was never allocated or is already freed", block);
    Report(Check::UnknownFree, api, freedAt.empty() ? text : std::string(text) + " (freed at " + freedAt + ")",
           caller);
    return;
  }
  ULONG owner = it->second.tag;
  SIZE_T bytes = it->second.bytes;
  const std::source_location allocated = it->second.caller;
  s.blocks.erase(it);
  lock.unlock();
  platform::kernel_detail::CheckFreedMemory(block, bytes, api, caller);
  platform::kernel_detail::lock_order::ForgetRange(block, bytes);
  const bool inUse = platform::io::detail::CheckFreeAgainstIo(block, bytes, api, caller);
  if (inUse) {
    // Reported: the device still reads and writes the block, so it stays as it is (a
    // test that captured the report goes on) until the quarantine is next emptied.
    std::lock_guard relock(s.mutex);
    s.keptInUse.emplace_back(block, bytes);
  } else if (platform::kernel_detail::paged::Owns(block)) {
    platform::kernel_detail::paged::Free(block, bytes);
  } else if (bytes > kQuarantineLargest) {
    std::free(block);
  } else {
    std::memset(block, kFreedFill, bytes);
    std::vector<Quarantined> leaving;
    lock.lock();
    s.quarantine.push_back(Quarantined{block, bytes, owner, allocated, caller});
    s.quarantineBytes += bytes;
    while (s.quarantine.size() > kQuarantineBlocks || s.quarantineBytes > kQuarantineBytes) {
      leaving.push_back(s.quarantine.front());
      s.quarantineBytes -= s.quarantine.front().bytes;
      s.quarantine.pop_front();
    }
    lock.unlock();
    for (const auto& q : leaving) Release(q);
  }
  tag &= ~kProtectedPoolBit;
  if (tag != 0 && tag != owner) {
    Report(Check::InvalidArgument, api,
           "block freed with tag '" + platform::pool::TagName(tag) + "' was allocated with tag '" +
               platform::pool::TagName(owner) + "'",
           caller);
  }
}

bool LookasideValid(PNPAGED_LOOKASIDE_LIST l, const char* api, const std::source_location& caller) {
  if (l && l->Signature == kLookasideSignature) return true;
  Report(Check::InvalidArgument, api, l ? "lookaside list not initialised or already deleted" : "null lookaside list",
         caller);
  return false;
}

void InitLookaside(PNPAGED_LOOKASIDE_LIST l, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, ULONG flags,
                   SIZE_T size, ULONG tag, USHORT depth, POOL_TYPE type, const char* api,
                   const std::source_location& caller) {
  if (!l || size == 0) {
    Report(Check::InvalidArgument, api, l ? "entry size of zero" : "null lookaside list", caller);
    return;
  }
  l->Allocate = allocate;
  l->Free = free;
  l->Type = type;
  l->Tag = tag;
  l->Size = size;
  l->Depth = depth;
  l->Flags = flags;
  l->TotalAllocates = l->AllocateMisses = l->TotalFrees = 0;
  l->Outstanding = 0;
  l->Signature = kLookasideSignature;
}

PVOID AllocateFromLookaside(PNPAGED_LOOKASIDE_LIST l, const char* api, const std::source_location& caller) {
  if (!LookasideValid(l, api, caller)) return nullptr;
  __atomic_add_fetch(&l->TotalAllocates, 1, __ATOMIC_RELAXED);
  __atomic_add_fetch(&l->AllocateMisses, 1, __ATOMIC_RELAXED);  // nothing is cached
  PVOID entry = l->Allocate ? l->Allocate(l->Type, l->Size, l->Tag) : Allocate(l->Type, l->Size, l->Tag, caller, api);
  if (entry) __atomic_add_fetch(&l->Outstanding, 1, __ATOMIC_RELAXED);
  return entry;
}

void FreeToLookaside(PNPAGED_LOOKASIDE_LIST l, PVOID entry, const char* api, const std::source_location& caller) {
  if (!LookasideValid(l, api, caller)) return;
  if (!entry) {
    Report(Check::InvalidArgument, api, "free of a null entry", caller);
    return;
  }
  __atomic_add_fetch(&l->TotalFrees, 1, __ATOMIC_RELAXED);
  __atomic_sub_fetch(&l->Outstanding, 1, __ATOMIC_RELAXED);
  if (l->Free) {
    l->Free(entry);
  } else {
    Free(entry, l->Tag, caller, api);
  }
}

void DeleteLookaside(PNPAGED_LOOKASIDE_LIST l, const char* api, const std::source_location& caller) {
  if (!LookasideValid(l, api, caller)) return;
  l->Signature = 0;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location& caller) {
  return Allocate(type, bytes, tag, caller, "ExAllocatePoolWithTag");
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes, const std::source_location& caller) {
  return Allocate(type, bytes, kUntaggedTag, caller, "ExAllocatePool");
}

void ExFreePoolWithTag(PVOID block, ULONG tag, const std::source_location& caller) {
  Free(block, tag, caller, "ExFreePoolWithTag");
}

void ExFreePool(PVOID block, const std::source_location& caller) { Free(block, 0, caller, "ExFreePool"); }

void* operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept {
  void* block = ExAllocatePoolWithTag(type, bytes, tag);
  if (block) std::memset(block, 0, bytes);
  return block;
}

void* operator new[](std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept {
  void* block = ExAllocatePoolWithTag(type, bytes, tag);
  if (block) std::memset(block, 0, bytes);
  return block;
}

void operator delete(void* block, POOL_TYPE, ULONG) noexcept {
  if (block) ExFreePool(block);
}

void operator delete[](void* block, POOL_TYPE, ULONG) noexcept {
  if (block) ExFreePool(block);
}

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth,
                                     const std::source_location& caller) {
  InitLookaside(lookaside, allocate, free, flags, size, tag, depth, NonPagedPool, "ExInitializeNPagedLookasideList",
                caller);
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, const std::source_location& caller) {
  return AllocateFromLookaside(lookaside, "ExAllocateFromNPagedLookasideList", caller);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry, const std::source_location& caller) {
  FreeToLookaside(lookaside, entry, "ExFreeToNPagedLookasideList", caller);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, const std::source_location& caller) {
  DeleteLookaside(lookaside, "ExDeleteNPagedLookasideList", caller);
}

void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                    ULONG flags, SIZE_T size, ULONG tag, USHORT depth,
                                    const std::source_location& caller) {
  InitLookaside(lookaside, allocate, free, flags, size, tag, depth, PagedPool, "ExInitializePagedLookasideList",
                caller);
}

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, const std::source_location& caller) {
  return AllocateFromLookaside(lookaside, "ExAllocateFromPagedLookasideList", caller);
}

void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PVOID entry, const std::source_location& caller) {
  FreeToLookaside(lookaside, entry, "ExFreeToPagedLookasideList", caller);
}

void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, const std::source_location& caller) {
  DeleteLookaside(lookaside, "ExDeletePagedLookasideList", caller);
}

namespace platform {

void* PoolAllocated::operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept {
  return ::operator new(bytes, type, tag);
}

void PoolAllocated::operator delete(void* block, POOL_TYPE, ULONG) noexcept {
  if (block) ExFreePool(block);
}

void PoolAllocated::operator delete(void* block) noexcept {
  if (block) ExFreePool(block);
}

}  // namespace platform

std::string platform::kernel_detail::DescribePagedBlock(const void* block) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.blocks.find(block);
  if (it == s.blocks.end()) return {};
  return "tag '" + platform::pool::TagName(it->second.tag) + "', " + std::to_string(it->second.bytes) +
         " bytes, allocated at " + CallerOf(it->second.caller);
}

namespace platform::pool {

Mark CurrentMark() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.nextSerial;
}

std::string TagName(ULONG tag) {
  std::string out;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, c == 0 ? "\\0" : (c == '\\' ? "\\\\" : "\\x%02X"), c);
      out += hex;
    }
  }
  return out;
}

static std::vector<BlockInfo> LiveBlocksWithTagImpl(bool anyTag, ULONG tag, Mark since) {
  State& s = S();
  std::vector<BlockInfo> out;
  {
    std::lock_guard lock(s.mutex);
    for (const auto& [address, b] : s.blocks) {
      if (b.serial < since || (!anyTag && b.tag != tag)) continue;
      out.push_back(BlockInfo{address, b.bytes, b.tag, b.paged, b.serial, CallerOf(b.caller)});
    }
  }
  std::sort(out.begin(), out.end(), [](const BlockInfo& a, const BlockInfo& b) { return a.serial < b.serial; });
  return out;
}

std::vector<BlockInfo> LiveBlocks(Mark since) { return LiveBlocksWithTagImpl(true, 0, since); }

bool FindBlock(const void* address, BlockInfo* info) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  const auto* a = static_cast<const char*>(address);
  for (const auto& [start, b] : s.blocks) {
    const auto* first = static_cast<const char*>(start);
    if (a < first || a >= first + (b.bytes ? b.bytes : 1)) continue;
    if (info) *info = BlockInfo{start, b.bytes, b.tag, b.paged, b.serial, CallerOf(b.caller)};
    return true;
  }
  return false;
}

std::vector<BlockInfo> LiveBlocksWithTag(ULONG tag, Mark since) { return LiveBlocksWithTagImpl(false, tag, since); }

std::map<ULONG, TagUsage> UsageByTag(Mark since) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  std::map<ULONG, TagUsage> out;
  for (const auto& [address, b] : s.blocks) {
    if (b.serial < since) continue;
    auto& u = out[b.tag];
    ++u.blocks;
    u.bytes += b.bytes;
  }
  return out;
}

std::string LeakReport(Mark since) {
  std::map<ULONG, std::pair<TagUsage, std::string>> byTag;
  for (const auto& b : LiveBlocks(since)) {  // oldest first: the first caller per tag stays
    auto& [usage, first] = byTag[b.tag];
    if (usage.blocks == 0) first = b.caller;
    ++usage.blocks;
    usage.bytes += b.bytes;
  }
  std::string out;
  for (const auto& [tag, entry] : byTag) {
    out += "tag '" + TagName(tag) + "': " + std::to_string(entry.first.blocks) + " blocks, " +
           std::to_string(entry.first.bytes) + " bytes, first from " + entry.second + "\n";
  }
  return out;
}

bool CheckNoLeaks(Mark since, const std::source_location& caller) {
  std::string report = LeakReport(since);
  if (report.empty()) return true;
  Report(Check::LeakAtTeardown, "pool", "pool blocks still allocated:\n" + report, caller);
  return false;
}

bool CheckQuarantine() {
  State& s = S();
  std::deque<Quarantined> leaving;
  std::vector<std::pair<void*, SIZE_T>> kept;
  {
    std::lock_guard lock(s.mutex);
    leaving.swap(s.quarantine);
    s.quarantineBytes = 0;
    kept.swap(s.keptInUse);
  }
  for (auto [block, bytes] : kept) {
    if (platform::kernel_detail::paged::Owns(block)) {
      platform::kernel_detail::paged::Free(block, bytes);
    } else {
      std::free(block);
    }
  }
  bool clean = true;
  for (const auto& q : leaving) {
    const auto* b = static_cast<const unsigned char*>(q.block);
    clean = clean && std::all_of(b, b + q.bytes, [](unsigned char c) { return c == kFreedFill; });
    Release(q);
  }
  return clean;
}

bool PagedBlocksProtected() { return platform::kernel_detail::paged::Enabled(); }

void FailNthAllocation(std::uint64_t n, ULONG tag) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.failNthRemaining = n;
  s.failNthTag = tag & ~kProtectedPoolBit;
}

void FailTag(ULONG tag, bool fail) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.failingTags[tag & ~kProtectedPoolBit] = fail;
}

void ClearFaultInjection() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.failNthRemaining = 0;
  s.failNthTag = 0;
  s.failingTags.clear();
}

std::uint64_t InjectedFailures() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.injected;
}

std::uint64_t AllocationCount() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.attempts;
}

}  // namespace platform::pool
