// Helpers shared by the FIR bodies of the generic build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sp/fir.h"

namespace sp::generic::fir {

inline constexpr std::uint64_t kUint32Max = 0xFFFFFFFFull;

inline std::uint64_t Align16(std::uint64_t x) { return (x + 15) & ~std::uint64_t{15}; }

inline std::uint8_t* AlignPointer16(std::uint8_t* p) {
  auto v = reinterpret_cast<std::uintptr_t>(p);
  return p + ((16 - (v & 15)) & 15);
}

// FFT length choice of a single-rate state: no FFT below 64 taps; otherwise twice the
// least power of two (at least 4) above the tap count. Returns the order, or 0.
int SingleRateFftOrder(int32 tapsLen);

// True when the byte ranges [a, a + aBytes) and [b, b + bBytes) share a byte.
bool Overlaps(const void* a, std::uint64_t aBytes, const void* b, std::uint64_t bBytes);

}  // namespace sp::generic::fir
