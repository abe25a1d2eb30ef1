// Allocation-failure sweeps: run an operation once per allocation it makes, failing that
// allocation through the pool's fault injection, and check that each run gives its
// failure status and leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "kernel/pool.h"

namespace platform::testing {

class FaultSweep {
 public:
  explicit FaultSweep(std::uint64_t n) : n_(n) {}
  std::uint64_t n() const { return n_; }
  // Fails the n-th allocation from here on; call right before the operation under test.
  void Arm() {
    before_ = pool::InjectedFailures();
    pool::FailNthAllocation(n_);
  }
  // Ends the window; true when the injected failure fired inside it.
  bool Disarm() {
    fired_ = pool::InjectedFailures() != before_;
    pool::ClearFaultInjection();
    return fired_;
  }
  bool fired() const { return fired_; }

 private:
  std::uint64_t n_;
  std::uint64_t before_ = 0;
  bool fired_ = false;
};

// Runs `run(sweep)` for n = 1, 2, ... until a run in which the armed failure did not fire
// (every allocation of the operation has been failed once). Each run must free what it
// made; the pool is checked for leaks after each. Returns the number of allocations the
// operation makes.
template <class Run>
std::uint64_t ForEachAllocationFailure(Run run, std::uint64_t limit = 256) {
  for (std::uint64_t n = 1; n <= limit; ++n) {
    pool::LeakScope scope;
    FaultSweep sweep(n);
    run(sweep);
    pool::ClearFaultInjection();
    EXPECT_TRUE(scope.Check()) << "allocation " << n << " failed:\n" << pool::LeakReport(scope.mark());
    if (!sweep.fired()) return n - 1;
  }
  ADD_FAILURE() << "operation still allocating after " << limit << " allocations";
  return limit;
}

}  // namespace platform::testing
