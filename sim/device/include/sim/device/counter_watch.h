// The device's watch on the samples it receives: the counter test signal (every sample,
// channels interleaved, one step more than the one before) and the first break in it.
#pragma once

#include <cstdint>

namespace sim::device {

// Follows a sample sequence for the counter test signal: once kLockSamples samples in a
// row stepped by one power of two (modulo 2^bits: a 16-bit counter sent as 24 bits steps
// by 256), each later sample must step the same way; the first that does not is a break
// (reported once, then the watch locks on again). Any other signal never locks.
struct CounterWatch {
  static constexpr unsigned kLockSamples = 64;
  bool locked = false;
  bool have_last = false;
  std::uint64_t last = 0;
  std::uint64_t step = 0;
  unsigned run = 0;
  // Feeds one sample (its low `bits` bits); true when it breaks a locked pattern, with
  // the value that was due.
  bool Feed(std::uint64_t value, int bits, std::uint64_t* due) {
    const std::uint64_t mask = bits >= 64 ? ~0ull : (1ull << bits) - 1;
    value &= mask;
    bool broke = false;
    if (have_last) {
      const std::uint64_t d = (value - last) & mask;
      if (locked && d != step) {
        *due = (last + step) & mask;
        broke = true;
        locked = false;
        run = 0;
      } else if (!locked) {
        if (d != 0 && (d & (d - 1)) == 0 && d == step) {
          locked = ++run >= kLockSamples;
        } else {
          step = d;
          run = 1;
        }
      }
    }
    have_last = true;
    last = value;
    return broke;
  }
};

}  // namespace sim::device
