// Internal: the pages paged pool blocks live on, and their protection.
//
// Each paged block gets pages of its own in one reserved region. While the context that
// runs holds DISPATCH_LEVEL or above, the whole region is inaccessible (one mprotect), so
// a driver touching paged memory there faults as it could on a real system; the fault is
// reported with the block's tag and allocation site and the access then goes on. The
// protection follows the running context: IRQL changes, DPCs and every switch of the turn
// call FollowIrql. Not built for the free-running mode, whose processors run in parallel
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

// The SIGSEGV handler's part: true when the fault at `address` was in the region and has
// been dealt with (reported, or protection left over from another context lifted), so the
// access can be retried.
bool OnFault(void* address, void* ucontext);

}  // namespace paged

// Implemented by the pool: "tag 'Xxxx', 24 bytes, allocated at file:line (function)" of the
// live block starting at `block`, empty when there is none.
std::string DescribePagedBlock(const void* block);

}  // namespace platform::kernel_detail
