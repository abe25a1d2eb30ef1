// Internal to the dispatcher: how the platform's contexts are carried. In every build but
// the free-running one, the contexts the platform starts (system threads, DPC and work-item
// workers) are fibers, all carried by one OS thread, the carrier: handing the turn from
// one fiber to another is a switch of stacks in user mode, with no system call and no
// trip through the OS scheduler. Threads that register themselves (the test thread) and
// foreign threads stay OS threads and block on condition variables as before. The
// seeded scheduler still decides every switch (who runs is `Sched::running`); this only
// changes how the chosen context gets the processor.
#pragma once

#include <functional>
#include <mutex>
#include <thread>

#include "sched.h"

namespace platform::kernel_detail {

struct Sched;

#if defined(UA_FREE_RUNNING)
constexpr bool kFibers = false;
#else
constexpr bool kFibers = true;
#endif

// Makes `rec` a fiber on the carrier that runs `entry` once it is first given the turn,
// with the dispatcher lock held. `entry` returns with the lock held, once the fiber has
// handed the turn on and its record is gone; the fiber then leaves for good.
void StartFiberLocked(ThreadRec* rec, std::function<void(std::unique_lock<std::mutex>&)> entry);

// Tells `t` to look at its state again (it was given the turn, or its wait ended).
void NotifyLocked(ThreadRec* t);

// Blocks the context `t` until `ready()` holds: an OS thread on its condition variable;
// a fiber by switching to the fiber holding the turn, or to the carrier's idle loop when
// the turn is elsewhere. Processor time spent away is added to `t->switchCpuNs` for a fiber
// (its OS thread ran other contexts meanwhile).
void BlockLocked(Sched& s, ThreadRec* t, std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);

// The stack of the calling fiber (null when the caller is not one), for the check of what
// is left on it when it ends.
void FiberStack(const ThreadRec* t, void** base, std::size_t* bytes);

}  // namespace platform::kernel_detail
