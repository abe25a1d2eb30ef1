#include "fibers.h"

#include <pthread.h>

#include <condition_variable>
#include <cstddef>

#include "dispatcher_state.h"

#if !defined(UA_FREE_RUNNING)
#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#endif

#include "sanitizers.h"
#if UA_ADDRESS_SANITIZER
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace platform::kernel_detail {

#if defined(UA_FREE_RUNNING)

void StartFiberLocked(ThreadRec*, std::function<void(std::unique_lock<std::mutex>&)>) {}
void NotifyLocked(ThreadRec* t) { t->cv.notify_all(); }
void BlockLocked(Sched&, ThreadRec* t, std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
  t->cv.wait(lock, ready);
}
void FiberStack(const ThreadRec*, void** base, std::size_t* bytes) {
  *base = nullptr;
  *bytes = 0;
}

#else

namespace ctx = boost::context;

// A context the carrier switches to: its suspended continuation and its stack.
struct FiberSlot {
  ctx::fiber cont;
  void* stackBase = nullptr;  // lowest address
  std::size_t stackBytes = 0;
  void* fakeStack = nullptr;  // AddressSanitizer's record of the suspended stack
};

namespace {

// Platform threads get the stack an OS thread would (reserved, committed as touched),
// with a guard page below it.
constexpr std::size_t kStackBytes = 8u << 20;

struct Carrier {
  std::condition_variable cv;  // wakes the idle loop: a fiber was given the turn
  bool started = false;
  FiberSlot idle;              // the carrier's own stack, running the idle loop
};

Carrier& C() {
  static auto* c = new Carrier;  // never destroyed: fibers may outlive main
  return *c;
}

// The stack allocator, noting where the stack lies. Under the leak checker the stack is
// a root region, as an OS thread's stack is: what only a suspended fiber points to is
// not a leak.
struct NotedStack {
  FiberSlot* slot;
  ctx::protected_fixedsize_stack inner{kStackBytes};
  ctx::stack_context allocate() {
    ctx::stack_context sc = inner.allocate();
    slot->stackBase = static_cast<char*>(sc.sp) - sc.size;
    slot->stackBytes = sc.size;
#if UA_ADDRESS_SANITIZER
    __lsan_register_root_region(slot->stackBase, slot->stackBytes);
#endif
    return sc;
  }
  void deallocate(ctx::stack_context& sc) noexcept {
#if UA_ADDRESS_SANITIZER
    __lsan_unregister_root_region(static_cast<char*>(sc.sp) - sc.size, sc.size);
#endif
    inner.deallocate(sc);
  }
};

void StartSwitch([[maybe_unused]] FiberSlot* from, [[maybe_unused]] const FiberSlot* to) {
#if UA_ADDRESS_SANITIZER
  // A null save slot: the stack being left ends for good.
  __sanitizer_start_switch_fiber(from ? &from->fakeStack : nullptr, to->stackBase, to->stackBytes);
#endif
}

void FinishSwitch([[maybe_unused]] FiberSlot* self) {
#if UA_ADDRESS_SANITIZER
  __sanitizer_finish_switch_fiber(self->fakeStack, nullptr, nullptr);
#endif
}

// With the dispatcher lock held (it stays held across: the context resumed returns from
// its own switch holding it). Returns when `from` is switched to again.
void SwitchLocked(FiberSlot* from, FiberSlot* to) {
  ctx::fiber target = std::move(to->cont);
  StartSwitch(from, to);
  std::move(target).resume_with([from](ctx::fiber&& suspended) {
    from->cont = std::move(suspended);
    return ctx::fiber{};
  });
  FinishSwitch(from);
}

// Where a fiber that cannot go on switches to: the fiber holding the turn, or the idle loop.
FiberSlot* NextLocked(Sched& s, const ThreadRec* self) {
  ThreadRec* next = s.running;
  if (next && next != self && next->fiber) return next->fiber;
  return &C().idle;
}

// The carrier's idle loop: runs the fiber holding the turn, waits while the turn is with
// an OS thread or with nobody.
void CarrierLoop() {
  Carrier& c = C();
  if (pthread_attr_t attr; pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &c.idle.stackBase, &c.idle.stackBytes);
    pthread_attr_destroy(&attr);
  }
  Sched& s = S();
  std::unique_lock lock(s.mu);
  for (;;) {
    ThreadRec* next = s.running;
    if (next && next->fiber) {
      SwitchLocked(&c.idle, next->fiber);
      tlCurrent = nullptr;
      continue;
    }
    c.cv.wait(lock);
  }
}

}  // namespace

void StartFiberLocked(ThreadRec* rec, std::function<void(std::unique_lock<std::mutex>&)> entry) {
  Carrier& c = C();
  if (!c.started) {
    c.started = true;
    std::thread(CarrierLoop).detach();
  }
  rec->fiber = new FiberSlot;
  FiberSlot* slot = rec->fiber;
  slot->cont = ctx::fiber(std::allocator_arg, NotedStack{slot},
                          [rec, slot, entry = std::move(entry)](ctx::fiber&&) mutable -> ctx::fiber {
                            FinishSwitch(slot);
                            tlCurrent = rec;
                            std::unique_lock lock(S().mu, std::adopt_lock);
                            entry(lock);
                            entry = nullptr;
                            // Ended, its record gone and the turn handed on: the lock passes
                            // to the context resumed, which holds it in its own switch; the
                            // stack is freed once left.
                            FiberSlot* to = NextLocked(S(), nullptr);
                            lock.release();
                            tlCurrent = nullptr;
                            delete slot;
                            StartSwitch(nullptr, to);
                            return std::move(to->cont);
                          });
  if (S().running == rec) c.cv.notify_all();
}

void NotifyLocked(ThreadRec* t) {
  if (t->fiber)
    C().cv.notify_all();
  else
    t->cv.notify_all();
}

void BlockLocked(Sched& s, ThreadRec* t, std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
  if (!t->fiber) {
    t->cv.wait(lock, ready);
    return;
  }
  if (ready()) return;
  const bool timed = DispatchTimed();
  const long long before = timed ? ThreadCpuNs() : 0;
  while (!ready()) {
    SwitchLocked(t->fiber, NextLocked(s, t));
    tlCurrent = t;
  }
  if (timed) t->switchCpuNs += ThreadCpuNs() - before;
}

void FiberStack(const ThreadRec* t, void** base, std::size_t* bytes) {
  *base = t->fiber ? t->fiber->stackBase : nullptr;
  *bytes = t->fiber ? t->fiber->stackBytes : 0;
}

#endif

}  // namespace platform::kernel_detail
