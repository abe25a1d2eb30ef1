// Internal: the pages paged pool blocks live on, and their protection.
//
// Each paged block gets pages of its own in one reserved region. While the context that
// runs holds DISPATCH_LEVEL or above, the whole region is inaccessible (one mprotect), so
// a driver touching paged memory there faults as it could on a real system; the fault is
// reported with the block's tag and allocation site and the access then goes on. The
// protection follows the running context: IRQL changes, DPCs and every switch of the turn
// call FollowIrql, which protects as a context rises; the protection is lifted only when
// a context below DISPATCH_LEVEL then touches the pool (one fault), so it changes as
// seldom as it can. Not built for the free-running mode, whose processors run in parallel
// with IRQLs of their own while page protection is one per process.
#pragma once

#include <cstddef>
#include <string>

namespace platform::kernel_detail {

struct ThreadRec;

// Applies the protection that `t`'s IRQL asks for when `t` is the running context.
void FollowIrql(const ThreadRec* t);

namespace paged {

// Whether paged blocks get their own pages (false in free-running builds, or when the
// region could not be reserved).
bool Enabled();

// Pages for a block of `bytes`, filled with `fill`; null when the region is off or full
// (the pool then takes the block from the heap).
void* Allocate(std::size_t bytes, unsigned char fill);
bool Owns(const void* block);
void Free(void* block, std::size_t bytes);

// A fault at `address` on protection that a raised context left on, taken by a context
// below DISPATCH_LEVEL: lifts it and returns true (the access is retried). The fault
// handler asks this first, before a readability probe takes the fault as unreadable.
bool LiftLeftProtection(void* address);

// Lifts the protection (at the end of a test or run, so nothing after it, the leak
// checker's scan included, meets protected pages).
void Open();

// The SIGSEGV handler's part: true when the fault at `address` was in the region and has
// been dealt with (reported, or protection left over from another context lifted), so the
// access can be retried.
bool OnFault(void* address, void* ucontext);

}  // namespace paged

// Implemented by the pool: "tag 'Xxxx', 24 bytes, allocated at file:line (function)" of the
// live block starting at `block`, empty when there is none.
std::string DescribePagedBlock(const void* block);

}  // namespace platform::kernel_detail
