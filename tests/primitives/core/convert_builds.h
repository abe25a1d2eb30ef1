// The four builds of the conversion and power bodies, for tests that compare them.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "float_bits.h"
#include "sp/convert_bodies.h"

namespace sptest {

// Stores v as a packed little-endian 3-byte sample (its low 24 bits).
inline void Store24(uint8_t* o, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  o[0] = static_cast<uint8_t>(u);
  o[1] = static_cast<uint8_t>(u >> 8);
  o[2] = static_cast<uint8_t>(u >> 16);
}

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
};

#define SPTEST_BUILD(ns, supported, scaled32s)                                                   \
  ConvertBuild {                                                                                 \
    #ns, supported, &sp::ns::spConvert_32f16s, &sp::ns::spConvert_32f32s,                        \
        &sp::ns::spConvert_16s32f, &scaled32s, &sp::ns::spConvert_24s32f,                        \
        &sp::ns::spConvert_32f24s, &sp::ns::spConvert_32s32f, &sp::ns::spPower_32f               \
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

// Value of a half-precision bit pattern (a NaN keeps its sign and payload).
inline float halfValue(uint16_t h) {
  const int e = (h >> 10) & 31, m = h & 1023;
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  if (e == 31) return m ? FromBits((h & 0x8000u) << 16 | 0x7F800000u | static_cast<uint32_t>(m) << 13) : sign * INFINITY;
  if (e == 0) return sign * std::ldexp(static_cast<float>(m), -24);
  return sign * std::ldexp(static_cast<float>(m + 1024), e - 25);
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

// Every 16-bit value, reached from a float scaled by 2^s, comes back from spConvert_32f16s
// in every round mode, in every build this processor runs, for each scale s of scales.
inline void expectEvery16BitValueBack(const std::vector<int>& scales) {
  std::vector<float> src(65536);
  std::vector<int16_t> got(65536);
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    for (int s : scales) {
      for (int i = 0; i < 65536; ++i) src[i] = std::ldexp(static_cast<float>(i - 32768), s);
      for (int mode = 0; mode < 3; ++mode) {
        ASSERT_EQ(SP_OK, b.convert32f16s(src.data(), got.data(), 65536, mode, s));
        for (int i = 0; i < 65536; ++i) ASSERT_EQ(i - 32768, got[i]) << b.name << " s " << s << " mode " << mode;
      }
    }
  }
}

}  // namespace sptest
