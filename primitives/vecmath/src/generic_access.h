// Element access of the generic vector-math builds. Vectors may stand at any address,
// also one that is not a multiple of 4, so every element goes through memcpy.
#pragma once

#include <cstdint>
#include <cstring>

#include "sp/base.h"

namespace sp::generic::vm {

inline float Ld(const float* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void St(float* p, float v) { std::memcpy(p, &v, sizeof v); }

inline uint32 Bits(float f) {
  uint32 b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}
inline float FromBits(uint32 b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

inline std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The NaN and infinities the generic builds store.
inline constexpr uint32 kNaNBits = 0xFFC00000u;
inline constexpr uint32 kPosInfBits = 0x7F800000u;
inline constexpr uint32 kNegInfBits = 0xFF800000u;

}  // namespace sp::generic::vm
