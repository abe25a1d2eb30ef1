// Exact integer oracles for PCM that goes through the stream engine's processing hook:
// interleaved PCM to float (x / 2^15, x / 2^23, x / 2^31), a gain, and back (16 and 32
// bits truncated toward zero, 24 bits to nearest even, all saturated), with helpers to
// read, write and generate packed little-endian samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace platform::testing::pcm {

// What one sample becomes after PCM -> float x gain -> PCM, computed from the integer.
inline std::int64_t Expected(std::int64_t x, unsigned bits, float gain) {
  switch (bits) {
    case 16: {
      const double v = std::trunc(static_cast<double>(x) * gain);  // exact: x * gain fits a float
      return std::clamp<std::int64_t>(static_cast<std::int64_t>(v), -32768, 32767);
    }
    case 24: {
      const double v = std::nearbyint(static_cast<double>(x) * gain);  // ties to even
      return std::clamp<std::int64_t>(static_cast<std::int64_t>(v), -8388608, 8388607);
    }
    default: {
      // The sample is rounded to a float first, then scaled exactly by powers of two.
      const float f = static_cast<float>(x) * gain;
      const double v = std::trunc(static_cast<double>(f));
      return std::clamp<std::int64_t>(static_cast<std::int64_t>(v), std::int64_t{INT32_MIN}, std::int64_t{INT32_MAX});
    }
  }
}

inline std::int64_t ReadSample(const unsigned char* p, unsigned bits) {
  switch (bits) {
    case 16: {
      std::int16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 24:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]) << 16 |
                                  static_cast<std::uint32_t>(p[2]) << 24) >>
             8;
    default: {
      std::int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

inline void WriteSample(unsigned char* p, unsigned bits, std::int64_t v) {
  for (unsigned i = 0; i < bits / 8; ++i) p[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(v) >> (8 * i));
}

// Random samples with the extremes mixed in.
inline std::vector<unsigned char> RandomPcm(std::mt19937& rng, unsigned bits, std::size_t samples) {
  const std::int64_t max = (std::int64_t{1} << (bits - 1)) - 1;
  const std::int64_t edges[] = {-max - 1, -max, -1, 0, 1, max - 1, max};
  std::vector<unsigned char> buffer(samples * (bits / 8));
  std::uniform_int_distribution<std::int64_t> any(-max - 1, max);
  for (std::size_t i = 0; i < samples; ++i) {
    const std::int64_t v = i % 5 == 0 ? edges[(i / 5) % 7] : any(rng);
    WriteSample(buffer.data() + i * (bits / 8), bits, v);
  }
  return buffer;
}

}  // namespace platform::testing::pcm
