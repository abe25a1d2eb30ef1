// Kernel pool: tagged allocations, each block tracked by tag so leaks and misuse show.
#pragma once

#include <cstdint>
#include <map>
#include <new>
#include <source_location>
#include <string>
#include <vector>

#include "kernel/ntdef.h"

enum POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = NonPagedPool,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
};

// Four-character pool tag as the kernel stores it: the first character in the low byte.
constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

// A block of PAGE_SIZE bytes or more starts on a page boundary, as the kernel's do;
// smaller blocks share pages with others.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag,
                            const std::source_location& caller = std::source_location::current());
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes,
                     const std::source_location& caller = std::source_location::current());
void ExFreePoolWithTag(PVOID block, ULONG tag,
                       const std::source_location& caller = std::source_location::current());
void ExFreePool(PVOID block, const std::source_location& caller = std::source_location::current());

// Placement forms used by the driver's factories: zeroed pool memory under a tag. The
// global delete cannot tell pool blocks from heap blocks, so such memory goes back with
// ExFreePool or through a class's own operator delete (CUnknown, platform::PoolAllocated).
void* operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept;
void* operator new[](std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept;
void operator delete(void* block, POOL_TYPE type, ULONG tag) noexcept;
void operator delete[](void* block, POOL_TYPE type, ULONG tag) noexcept;

// Non-paged lookaside lists. Every entry comes from and goes back to the tracked pool
// (no entries are cached), so leak checks and fault injection see each one.
using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE type, SIZE_T bytes, ULONG tag);
using PFREE_FUNCTION = void (*)(PVOID block);

struct NPAGED_LOOKASIDE_LIST {
  PALLOCATE_FUNCTION Allocate;  // null: the pool
  PFREE_FUNCTION Free;          // null: the pool
  POOL_TYPE Type;
  ULONG Tag;
  SIZE_T Size;
  USHORT Depth;
  ULONG Flags;
  ULONG Signature;  // set while the list is initialised
  // Counters, changed with atomic operations.
  ULONG TotalAllocates;
  ULONG AllocateMisses;
  ULONG TotalFrees;
  LONG Outstanding;  // entries handed out and not yet freed
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
using PAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST;
using PPAGED_LOOKASIDE_LIST = PAGED_LOOKASIDE_LIST*;

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth,
                                     const std::source_location& caller = std::source_location::current());
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside,
                                        const std::source_location& caller = std::source_location::current());
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry,
                                 const std::source_location& caller = std::source_location::current());
// Entries still outstanding at deletion stay live pool blocks, so the leak check names them.
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside,
                                 const std::source_location& caller = std::source_location::current());
void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                    PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth,
                                    const std::source_location& caller = std::source_location::current());
PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside,
                                       const std::source_location& caller = std::source_location::current());
void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside, PVOID entry,
                                const std::source_location& caller = std::source_location::current());
void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST lookaside,
                                const std::source_location& caller = std::source_location::current());

// The pool's bookkeeping for tests: live blocks by tag, leak checks and fault injection.
namespace platform::pool {

// Allocation serial numbers: a mark taken before a test's work lets it look only at the
// blocks it allocated.
using Mark = std::uint64_t;
Mark CurrentMark();

struct BlockInfo {
  const void* address;
  SIZE_T bytes;
  ULONG tag;
  bool paged;
  Mark serial;
  std::string caller;  // "file:line (function)"
};

struct TagUsage {
  SIZE_T blocks = 0;
  SIZE_T bytes = 0;
};

// "Lis\0" style text of a tag: printable characters as they are, others as \xNN.
std::string TagName(ULONG tag);

// Live blocks allocated at or after `since` (all of them by default), oldest first.
std::vector<BlockInfo> LiveBlocks(Mark since = 0);
// The live block that holds `address`; false when none does.
bool FindBlock(const void* address, BlockInfo* info);
std::vector<BlockInfo> LiveBlocksWithTag(ULONG tag, Mark since = 0);
// Live blocks and bytes per tag.
std::map<ULONG, TagUsage> UsageByTag(Mark since = 0);
// One line per tag ("tag 'Lis\0': 2 blocks, 48 bytes, first from file:line (function)"),
// empty when nothing is live.
std::string LeakReport(Mark since = 0);

// The leak check: reports LeakAtTeardown to the verifier, naming every tag with live
// blocks allocated since the mark, and returns whether the pool was clean.
bool CheckNoLeaks(Mark since, const std::source_location& caller = std::source_location::current());

// Takes a mark at construction; Check() runs the leak check from it.
class LeakScope {
 public:
  LeakScope() : mark_(CurrentMark()) {}
  Mark mark() const { return mark_; }
  std::vector<BlockInfo> Live() const { return LiveBlocks(mark_); }
  bool Check(const std::source_location& caller = std::source_location::current()) const {
    return CheckNoLeaks(mark_, caller);
  }

 private:
  Mark mark_;
};

// Freed blocks wait in a quarantine, filled with a pattern, before they go back, so a
// write through a stale pointer is reported (WriteAfterFree, naming where the block was
// allocated and freed) when the block leaves it. CheckQuarantine checks and releases every
// block held now (the kernel test fixture does at teardown); false when one was written.
bool CheckQuarantine();

// Whether paged blocks live on pages of their own that are protected while the running
// context is at DISPATCH_LEVEL or above, so touching one there is reported
// (PagedAccessAboveApc). Off in free-running builds, whose processors run in parallel,
// and when the environment sets UA_PAGED_PROTECTION=0.
bool PagedBlocksProtected();

// Fault injection. FailNthAllocation(n) fails the n-th allocation from now (1 = the next
// one), counting only allocations of `tag` when one is given (0 counts every tag); it fires
// once. FailTag makes every allocation of the tag fail until cleared.
void FailNthAllocation(std::uint64_t n, ULONG tag = 0);
void FailTag(ULONG tag, bool fail = true);
void ClearFaultInjection();
// Allocations failed by injection since the process started.
std::uint64_t InjectedFailures();
// Allocations attempted since the process started (failed ones included).
std::uint64_t AllocationCount();

// Clears fault injection when it goes out of scope.
class ScopedFaultInjection {
 public:
  ScopedFaultInjection() = default;
  ~ScopedFaultInjection() { ClearFaultInjection(); }
  ScopedFaultInjection(const ScopedFaultInjection&) = delete;
  ScopedFaultInjection& operator=(const ScopedFaultInjection&) = delete;
};

}  // namespace platform::pool

namespace platform {

// Base of classes that live in pool memory without being CUnknowns: `new (NonPagedPool,
// tag) Class` allocates zeroed pool under the tag and `delete` gives the block back.
struct PoolAllocated {
  static void* operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept;
  static void operator delete(void* block, POOL_TYPE type, ULONG tag) noexcept;
  static void operator delete(void* block) noexcept;
};

}  // namespace platform
