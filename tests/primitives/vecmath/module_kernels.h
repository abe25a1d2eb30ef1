// The kernels of the exponential, logarithm, summation, dot-product and square-root
// modules, and the bodies that call them, of every processor build this processor runs.
#pragma once

#include <string>
#include <vector>

#include "vecmath_test_support.h"

namespace vmtest {

#define VMTEST_MODULE_KERNELS(K)                                                                      \
  K(spExponentialKernel_32f) K(spNaturalLogKernel_32f) K(spNaturalLogOutOfPlaceKernel_32f)            \
  K(spNaturalLogKernel_64f) K(spNaturalLogKernel_64f32f) K(spNaturalLogKernelScaled_32s)              \
  K(spNaturalLogInPlaceKernelScaled_32s) K(spNaturalLogKernelScaled_32s16s)                           \
  K(spNaturalLogKernelScaled_16s) K(spNaturalLogInPlaceKernelScaled_16s) K(spScaleFromFactor_32f)     \
  K(spSumFastKernel_32f) K(spSumAccurateKernel_32f) K(spSumFastKernel_32fc)                           \
  K(spSumAccurateKernel_32fc) K(spSumKernel_64f) K(spSumKernel_64fc) K(spSumKernel_16s64f)            \
  K(spSumKernel_16sc64fc) K(spConvertScaledKernel_64f32s) K(spConvertScaledKernel_64fc32sc)           \
  K(spDotProductKernel_32f64f) K(spDotProductKernel_32f32fc64fc) K(spDotProductKernel_32fc64fc)       \
  K(spDotProductKernel_32f32fc) K(spDotProductKernel_32fc) K(spDotProductKernel_64f)                  \
  K(spDotProductKernel_64f64fc) K(spDotProductKernel_64fc) K(spDotProductKernelScaled_32s)            \
  K(spDotProductKernelScaled_32s32sc) K(spDotProductKernelScaled_32sc)                                \
  K(spDotProductKernelScaled_16s32s) K(spDotProductKernelSse2_16s64s)                                 \
  K(spDotProductKernelSse3_16s64s) K(spDotProductKernel_16s16sc64sc) K(spDotProductKernel_16sc64sc)   \
  K(spSquareRootKernel_32fc) K(spSquareRootKernel_64fc) K(spSquareRootKernelScaled_16s)               \
  K(spSquareRootKernelScaled_32s16s) K(spSquareRootKernelScaled_64s16s)                               \
  K(spSquareRootKernelScaled_64s) K(spSquareRootKernelScaled_16u) K(spSquareRootKernel_16sc)          \
  K(spSquareRootKernelScaled_16sc) K(spSquareRootFastKernelScaled_16sc) K(spLookupKernel_8u)          \
  K(spExponentialInPlace_32f) K(spNaturalLogInPlace_32f) K(spSum_32f) K(spMean_32f) K(spDotProduct_32f)

struct ModuleKernels {
  std::string name;
  int slot;
#define VMTEST_FIELD(f) decltype(&sp::sse3::f) f;
  VMTEST_MODULE_KERNELS(VMTEST_FIELD)
#undef VMTEST_FIELD
  // The float dot-product kernel the build's slot calls.
  decltype(&sp::sse3::spDotProductKernelSse3_32f) dot;
};

#define VMTEST_MAKE_MODULE_KERNELS(ns, slotIndex, dotKernel) \
  [] {                                                       \
    ::vmtest::ModuleKernels k;                               \
    k.name = #ns;                                            \
    k.slot = slotIndex;                                      \
    VMTEST_MODULE_KERNELS(VMTEST_SET_##ns)                   \
    k.dot = &sp::ns::dotKernel;                              \
    return k;                                                \
  }()
#define VMTEST_SET_sse3(f) k.f = &sp::sse3::f;
#define VMTEST_SET_ssse3(f) k.f = &sp::ssse3::f;
#define VMTEST_SET_sse41(f) k.f = &sp::sse41::f;

inline std::vector<ModuleKernels> SupportedModuleKernels() {
  std::vector<ModuleKernels> b;
  if (Supports(1)) b.push_back(VMTEST_MAKE_MODULE_KERNELS(sse3, 1, spDotProductKernelSse3_32f));
  if (Supports(2)) b.push_back(VMTEST_MAKE_MODULE_KERNELS(ssse3, 2, spDotProductKernelSsse3_32f));
  if (Supports(3)) b.push_back(VMTEST_MAKE_MODULE_KERNELS(sse41, 3, spDotProductKernelSsse3_32f));
  return b;
}

}  // namespace vmtest
