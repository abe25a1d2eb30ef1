// Internal: the order in which contexts take locks.
//
// Every spin lock (the cancel spin lock among them) and kernel mutex a context takes while
// it holds another adds an edge "held -> taken" to one graph, with both acquisition
// sites. Taking a lock in the opposite order of an edge already seen is reported at once
// (LockOrderInversion), naming both pairs of sites: the two orders can deadlock on two
// processors even when this run's timing kept them apart. Only direct inversions are
// looked for (two locks); a lock's edges are forgotten when it is initialised again or
// its memory is freed, so a new lock at an old address starts clean.
#pragma once

#include <cstddef>
#include <source_location>

namespace platform::kernel_detail {

struct ThreadRec;

namespace lock_order {

// Before an acquisition of `lock` (it may spin or block): checks and records its order
// against every lock `t` holds.
void Acquiring(ThreadRec* t, const void* lock, const char* kind, const std::source_location& site);
// After it succeeded: `t` holds `lock`.
void Acquired(ThreadRec* t, const void* lock, const char* kind, const std::source_location& site);
// `t` let go of its latest acquisition of `lock`.
void Released(ThreadRec* t, const void* lock);
// A lock at `lock` was initialised again / the memory [block, block + bytes) was freed.
void Forget(const void* lock);
void ForgetRange(const void* block, std::size_t bytes);

}  // namespace lock_order
}  // namespace platform::kernel_detail
