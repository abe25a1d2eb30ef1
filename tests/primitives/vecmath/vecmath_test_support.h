// Test support for the vector math: the bodies and kernels of every build this
// processor can run, and the reference properties shared by several tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "sp/vecmath_bodies.h"

namespace vmtest {

// The bodies with a build of their own in every slot, plus the arithmetic bodies the
// build's slot runs (slot 3 runs the SSSE3 ones).
struct Bodies {
  std::string name;
  int slot;
  decltype(&sp::generic::spAbsoluteInPlace_32f) absInPlace;
  decltype(&sp::generic::spMaximum_32f) max;
  decltype(&sp::generic::spMinimum_32f) min;
  decltype(&sp::generic::spSquare_32f) square;
  decltype(&sp::generic::spMinElementwiseInPlace_32f) minElementwise;
  decltype(&sp::generic::spMaxElementwiseInPlace_32f) maxElementwise;
  decltype(&sp::generic::spMultiplyInPlace_32f) multiplyInPlace;
  decltype(&sp::generic::spAdd_32f) add;
  decltype(&sp::generic::spSubtract_32f) subtract;
  decltype(&sp::generic::spMultiply_32f) multiply;
};

#define VMTEST_BODIES(ns, slot, arith)                                                                 \
  ::vmtest::Bodies {                                                                                   \
    #ns, slot, &sp::ns::spAbsoluteInPlace_32f, &sp::ns::spMaximum_32f, \
        &sp::ns::spMinimum_32f, &sp::ns::spSquare_32f, &sp::ns::spMinElementwiseInPlace_32f,         \
        &sp::ns::spMaxElementwiseInPlace_32f, &sp::arith::spMultiplyInPlace_32f, &sp::arith::spAdd_32f, \
        &sp::arith::spSubtract_32f, &sp::arith::spMultiply_32f                                        \
  }

inline bool Supports(int slot) {
  __builtin_cpu_init();
  switch (slot) {
    case 1: return __builtin_cpu_supports("sse3");
    case 2: return __builtin_cpu_supports("ssse3");
    case 3: return __builtin_cpu_supports("sse4.1");
    default: return true;
  }
}

inline std::vector<Bodies> SupportedBodies() {
  std::vector<Bodies> b{VMTEST_BODIES(generic, 0, generic)};
  if (Supports(1)) b.push_back(VMTEST_BODIES(sse3, 1, sse3));
  if (Supports(2)) b.push_back(VMTEST_BODIES(ssse3, 2, ssse3));
  if (Supports(3)) b.push_back(VMTEST_BODIES(sse41, 3, ssse3));
  return b;
}

// The kernels of one processor build; the arithmetic kernels are those its slot runs.
struct Kernels {
  std::string name;
  int slot;
  decltype(&sp::sse3::spAbsoluteKernel_32f) abs32f;
  decltype(&sp::sse3::spAbsoluteKernel_64f) abs64f;
  decltype(&sp::sse3::spAbsoluteKernel_16s) abs16s;
  decltype(&sp::sse3::spAbsoluteKernel_32s) abs32s;
  decltype(&sp::sse3::spMaximumKernel_32f) max32f;
  decltype(&sp::sse3::spMaximumKernel_64f) max64f;
  decltype(&sp::sse3::spMaximumKernel_16s) max16s;
  decltype(&sp::sse3::spMinimumKernel_32f) min32f;
  decltype(&sp::sse3::spMinimumKernel_64f) min64f;
  decltype(&sp::sse3::spMinimumKernel_16s) min16s;
  decltype(&sp::sse3::spSquareKernel_32f) square32f;
  decltype(&sp::sse3::spSquareKernel_64f) square64f;
  decltype(&sp::sse3::spSquareKernel_32fc) square32fc;
  decltype(&sp::sse3::spSquareKernel_64fc) square64fc;
  decltype(&sp::sse3::spMinElementwiseKernel_32f) minElementwise;
  decltype(&sp::sse3::spMaxElementwiseKernel_32f) maxElementwise;
  decltype(&sp::sse3::spSquareRootKernel_32f) sqrt32f;
  decltype(&sp::sse3::spSquareRootKernel_64f) sqrt64f;
  decltype(&sp::sse3::spMultiplyInPlaceKernel_32f) multiplyInPlace;
  decltype(&sp::sse3::spAddKernel_32f) add;
  decltype(&sp::sse3::spSubtractKernel_32f) subtract;
  decltype(&sp::sse3::spMultiplyKernel_32f) multiply;
  decltype(&sp::sse3::spArithmeticStreams) streams;
};

#define VMTEST_KERNELS(ns, slot, arith)                                                                \
  ::vmtest::Kernels {                                                                                  \
    #ns, slot, &sp::ns::spAbsoluteKernel_32f, &sp::ns::spAbsoluteKernel_64f, &sp::ns::spAbsoluteKernel_16s, \
        &sp::ns::spAbsoluteKernel_32s, &sp::ns::spMaximumKernel_32f, &sp::ns::spMaximumKernel_64f,     \
        &sp::ns::spMaximumKernel_16s, &sp::ns::spMinimumKernel_32f, &sp::ns::spMinimumKernel_64f,      \
        &sp::ns::spMinimumKernel_16s, &sp::ns::spSquareKernel_32f, &sp::ns::spSquareKernel_64f,        \
        &sp::ns::spSquareKernel_32fc, &sp::ns::spSquareKernel_64fc, &sp::ns::spMinElementwiseKernel_32f, \
        &sp::ns::spMaxElementwiseKernel_32f, &sp::ns::spSquareRootKernel_32f,                          \
        &sp::ns::spSquareRootKernel_64f, &sp::arith::spMultiplyInPlaceKernel_32f,                      \
        &sp::arith::spAddKernel_32f, &sp::arith::spSubtractKernel_32f, &sp::arith::spMultiplyKernel_32f, \
        &sp::arith::spArithmeticStreams                                                                \
  }

inline std::vector<Kernels> SupportedKernels() {
  std::vector<Kernels> k;
  if (Supports(1)) k.push_back(VMTEST_KERNELS(sse3, 1, sse3));
  if (Supports(2)) k.push_back(VMTEST_KERNELS(ssse3, 2, ssse3));
  if (Supports(3)) k.push_back(VMTEST_KERNELS(sse41, 3, ssse3));
  return k;
}

// Saves MXCSR and restores it at the end of a test.
class MxcsrGuard {
 public:
  MxcsrGuard() : saved_(spGetMxcsr()) {}
  ~MxcsrGuard() { spLoadMxcsr(saved_); }
  MxcsrGuard(const MxcsrGuard&) = delete;
  MxcsrGuard& operator=(const MxcsrGuard&) = delete;

 private:
  uint32 saved_;
};

// A reproducible stream of 32-bit words.
class Rng {
 public:
  explicit Rng(uint32 seed) : x_(seed * 2654435761u + 0x9E3779B9u) {}
  uint32 Next() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 17;
    x_ ^= x_ << 5;
    return x_;
  }
  // A float of moderate magnitude (about 2^-20 to 2^20), either sign.
  float Moderate() {
    const uint32 w = Next();
    const uint32 exponent = 107 + (w >> 8) % 40;
    return sptest::FromBits((w & 0x80000000u) | (exponent << 23) | ((w >> 9) & 0x7FFFFFu));
  }

 private:
  uint32 x_;
};

// Distance in units in the last place between two finite positive floats.
inline int64_t UlpDistance(float a, float b) {
  return std::llabs(static_cast<int64_t>(sptest::Bits(a)) - static_cast<int64_t>(sptest::Bits(b)));
}

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
