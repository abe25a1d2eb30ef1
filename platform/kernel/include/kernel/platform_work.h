// The platform's own work done on a driver's context, kept apart from the driver's time.
//
// The verifier's DPC time limit and dispatch watchdog (kernel/verifier.h) charge a DPC
// routine, or a section at DISPATCH_LEVEL, with its thread's processor time. Calls the
// code makes into the platform run on that thread too, and some of what they do there is
// the simulation's, not the kernel's: the verifier's records, the simulated hardware's
// bookkeeping, starting an OS thread for a worker, changing page protection. Such work is
// wrapped in a ScopedPlatformWork: its processor time is measured and not charged.
#pragma once

namespace platform::kernel_detail {
struct ThreadRec;
}

namespace platform::verifier {

// Processor time spent in the scope on the calling platform thread, at DISPATCH_LEVEL or
// above while a time check is on, is not charged to the DPC routine or raised section it
// runs in. Nested scopes count once; turns handed to other contexts inside the scope are
// counted as such, not twice. Costs nothing while both checks are off.
class ScopedPlatformWork {
 public:
  ScopedPlatformWork();
  ~ScopedPlatformWork();
  ScopedPlatformWork(const ScopedPlatformWork&) = delete;
  ScopedPlatformWork& operator=(const ScopedPlatformWork&) = delete;

 private:
  kernel_detail::ThreadRec* thread_ = nullptr;  // null: not timed
  long long startedNs_ = 0;
  long long switchedNs_ = 0;
};

}  // namespace platform::verifier
