// The heaviest exhaustive sweeps of the conversions (CTest label "long"): every half at
// every scale factor, every 16-bit value back from float at every scale factor, every
// 24-bit value through every scale factor of the normalised range.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "convert_builds.h"

namespace {

using sptest::allBuilds;
using sptest::ConvertBuild;
using sptest::halfValue;

TEST(ConvertLong, EveryHalfToIntegerAtEveryScale) {
  std::vector<uint16_t> halves(65536);
  std::vector<int16_t> ints(65536);
  for (int i = 0; i < 65536; ++i) halves[i] = static_cast<uint16_t>(i);
  const std::pair<const char*, decltype(&sp::sse3::spConvertKernel_16f16s)> kernels[] = {
      {"sse3", &sp::sse3::spConvertKernel_16f16s}, {"ssse3", &sp::ssse3::spConvertKernel_16f16s}, {"sse41", &sp::sse41::spConvertKernel_16f16s}};
  for (const auto& [name, kernel] : kernels) {
    for (int s = -60; s <= 60; ++s) {
      for (int mode : {0, 1}) {
        kernel(halves.data(), ints.data(), 65536, mode, s);
        for (int i = 0; i < 65536; ++i) {
          const long double v = std::ldexp(static_cast<long double>(halfValue(halves[i])), -s);
          long double r = std::isnan(v) ? 0 : (mode == 0 ? std::trunc(v) : std::nearbyint(v));
          r = r > 32767 ? 32767 : (r < -32768 ? -32768 : r);
          ASSERT_EQ(static_cast<int16_t>(r), ints[i]) << name << " half " << i << " s " << s << " mode " << mode;
        }
      }
    }
  }
}

TEST(ConvertLong, Every16BitValueBackFromFloatAtEveryScale) {
  std::vector<int> scales;
  for (int s = -100; s <= 100; ++s) scales.push_back(s);
  sptest::expectEvery16BitValueBack(scales);
}

TEST(ConvertLong, Every24BitValueThroughEveryNormalisingScale) {
  constexpr int kChunk = 1 << 21;
  std::vector<uint8_t> packed(3 * kChunk), back(3 * kChunk), want(3 * kChunk);
  std::vector<float> f(kChunk);
  for (int base = -8388608; base < 8388608; base += kChunk) {
    for (int i = 0; i < kChunk; ++i) sptest::Store24(&packed[3 * i], base + i);
    for (int s = -31; s <= 0; ++s) {
      for (int i = 0; i < kChunk; ++i) f[i] = std::ldexp(static_cast<float>(base + i), s);
      for (const ConvertBuild& b : allBuilds()) {
        if (!b.supported) continue;
        ASSERT_EQ(SP_OK, b.convert32f24s(f.data(), back.data(), kChunk, s));
        ASSERT_EQ(0, std::memcmp(packed.data(), back.data(), back.size())) << b.name << " s " << s;
      }
    }
  }
}

}  // namespace
