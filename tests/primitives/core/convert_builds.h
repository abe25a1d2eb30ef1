// The four builds of the conversion and power bodies, for tests that compare them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sp/convert_bodies.h"

namespace sptest {

struct ConvertBuild {
  const char* name;
  bool supported;  // the processor has the build's instruction set
  decltype(&sp::generic::spConvert_32f16s) convert32f16s;
  decltype(&sp::generic::spConvert_32f32s) convert32f32s;
  decltype(&sp::generic::spConvert_16s32f) convert16s32f;
  decltype(&sp::generic::spConvertScaled_32s32f) convertScaled32s32f;
  decltype(&sp::generic::spConvert_24s32f) convert24s32f;
  decltype(&sp::generic::spConvert_32f24s) convert32f24s;
  decltype(&sp::generic::spConvert_32s32f) convert32s32f;
  decltype(&sp::generic::spPower_32f) power32f;
  decltype(&sp::generic::spPowerSpecialCase_32f) powerSpecial;
};

#define SPTEST_BUILD(ns, supported, scaled32s)                                                   \
  ConvertBuild {                                                                                 \
    #ns, supported, &sp::ns::spConvert_32f16s, &sp::ns::spConvert_32f32s,                        \
        &sp::ns::spConvert_16s32f, &scaled32s, &sp::ns::spConvert_24s32f,                        \
        &sp::ns::spConvert_32f24s, &sp::ns::spConvert_32s32f, &sp::ns::spPower_32f,              \
        &sp::ns::spPowerSpecialCase_32f                                                          \
  }

// Slot order: generic, SSE3, SSSE3, SSE4.1.
inline std::vector<ConvertBuild> allBuilds() {
  return {SPTEST_BUILD(generic, true, sp::generic::spConvertScaled_32s32f),
          SPTEST_BUILD(sse3, __builtin_cpu_supports("sse3") != 0, sp::generic::spConvertScaled_32s32f),
          SPTEST_BUILD(ssse3, __builtin_cpu_supports("ssse3") != 0, sp::ssse3::spConvertScaled_32s32f),
          SPTEST_BUILD(sse41, __builtin_cpu_supports("sse4.1") != 0, sp::ssse3::spConvertScaled_32s32f)};
}

// The processor builds this machine can run.
inline std::vector<ConvertBuild> processorBuilds() {
  std::vector<ConvertBuild> out;
  for (const ConvertBuild& b : allBuilds())
    if (b.supported && std::strcmp(b.name, "generic") != 0) out.push_back(b);
  return out;
}

inline uint32_t floatBits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
inline float bitsFloat(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

inline int32_t load24(const uint8_t* p) {
  return static_cast<int32_t>(p[0] | (p[1] << 8)) + static_cast<int8_t>(p[2]) * 65536;
}

// A buffer of n elements of T at a chosen byte offset from a 16-byte boundary, with guard
// bytes of a known pattern on both sides.
template <class T>
class Guarded {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kPattern = 0xA5;
  Guarded(size_t n, size_t offsetBytes) : n_(n), offset_(offsetBytes), raw_(n * sizeof(T) + 2 * kGuard + 32, kPattern) {
    uintptr_t base = reinterpret_cast<uintptr_t>(raw_.data()) + kGuard;
    base = (base + 15) & ~uintptr_t{15};
    start_ = reinterpret_cast<uint8_t*>(base) + offsetBytes;
  }
  T* data() { return reinterpret_cast<T*>(start_); }
  size_t bytes() const { return n_ * sizeof(T); }
  uint8_t* byteData() { return start_; }
  // True when every byte outside the n elements still holds the pattern.
  bool guardsIntact() const {
    const uint8_t* lo = raw_.data();
    const uint8_t* hi = raw_.data() + raw_.size();
    for (const uint8_t* p = lo; p < start_; ++p)
      if (*p != kPattern) return false;
    for (const uint8_t* p = start_ + bytes(); p < hi; ++p)
      if (*p != kPattern) return false;
    return true;
  }

 private:
  size_t n_, offset_;
  std::vector<uint8_t> raw_;
  uint8_t* start_;
};

}  // namespace sptest
