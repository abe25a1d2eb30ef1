// Bit patterns of floats and back, through memcpy.
#pragma once

#include <cstdint>
#include <cstring>

namespace sptest {

inline uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
inline float FromBits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

}  // namespace sptest
