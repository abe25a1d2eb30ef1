// The error bound of the square-root estimate path and a scan of consecutive floats
// through it, shared by the window tests and the full scan.
#pragma once

#include <cmath>
#include <cstring>
#include <vector>

#include "vecmath_test_support.h"

namespace vmtest {

// The reciprocal-square-root estimate has a relative error of at most 1.5 * 2^-12;
// one Newton step leaves about 1.5 * (1.5 * 2^-12)^2 = 3.4 * 2^-24, and the four
// roundings of the step add up to 2 units: at most 6 units in the last place.
inline constexpr int64_t kSqrtEstimateUlps = 6;

using SqrtKernel = int (*)(const float*, float*, int);

// Largest distance in units in the last place between the kernel and the correctly
// rounded root over count consecutive float bit patterns from start (positive, finite).
inline int64_t SqrtWindowWorstUlps(SqrtKernel kernel, uint32 start, uint32 count) {
  constexpr uint32 kChunk = 4096;
  alignas(16) static thread_local float in[kChunk], out[kChunk];
  int64_t worst = 0;
  for (uint32 done = 0; done < count;) {
    const uint32 n = count - done < kChunk ? count - done : kChunk;
    for (uint32 i = 0; i < n; ++i) in[i] = sptest::FromBits(start + done + i);
    kernel(in, out, static_cast<int>(n));
    for (uint32 i = 0; i < n; ++i) {
      const int64_t d = UlpDistance(out[i], std::sqrt(in[i]));
      if (d > worst) worst = d;
    }
    done += n;
  }
  return worst;
}

}  // namespace vmtest
