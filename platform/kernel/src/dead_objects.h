// Internal: object bodies that outlive their last reference as inaccessible pages.
//
// An object created with guarded pages (device objects) gets whole pages of its own. When
// its last reference goes, the pages stay reserved with no access, so a driver that
// touches the object afterwards faults; the fault handler reports it (ObjectUsedAfterFree,
// naming the object, the offset and the faulting instruction) and opens the pages, and the
// access goes on reading what the object held. The most recent retired objects are kept;
// older ones are unmapped.
#pragma once

#include <cstddef>
#include <string>

namespace platform::kernel_detail::dead_objects {

// Zeroed pages for a body of `bytes` (*mapped: their size); null when none could be had.
void* Allocate(std::size_t bytes, std::size_t* mapped);
// The object is gone: its pages lose all access. `what` names it in reports.
void Retire(void* body, std::size_t mapped, std::string what);
// The SIGSEGV handler's part: true when the fault hit a retired object and was reported.
bool OnFault(void* address, void* ucontext);

}  // namespace platform::kernel_detail::dead_objects
