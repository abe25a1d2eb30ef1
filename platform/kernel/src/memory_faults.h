// Internal: the process's SIGSEGV handler and safe reads of memory that may be gone.
//
// The handler serves two users. A read made through ReadableCopy that faults ends that
// read (the memory of a queued object whose owner freed it may be unmapped). A fault in
// the paged pool's own pages goes to the paged pool, which turns an access at
// DISPATCH_LEVEL or above into a verifier report; one in the pages of an object already
// gone goes to the retired objects, which report it. Every other fault goes on to the
// handler installed before (a sanitizer's) or to the default action.
#pragma once

#include <cstddef>
#include <string>

namespace platform::kernel_detail {

// Installs the handler once (cheap after the first call).
void InstallFaultHandler();

// Copies `bytes` from `from` to `out`; false when the memory cannot be read (unmapped,
// or, under AddressSanitizer, freed or otherwise poisoned).
bool ReadableCopy(void* out, const void* from, std::size_t bytes);

// Names the driver code behind a fault for a report: the faulting instruction (with its
// symbol when known) and the running thread's latest kernel call.
std::string FaultingCaller(void* ucontext);

}  // namespace platform::kernel_detail
