// Conversion kernels and bodies of processor build 2.

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "sp/convert_bodies.h"

#define SP_BUILD_LEVEL 2

namespace sp::ssse3 {

#include "convert_common.inl"
#include "convert_kernels.inl"
#include "convert_bodies.inl"

spStatus spConvertScaled_32s32f(const int32* pSrc, float* pDst, int len, int scaleFactor) {
  return spConvertScaled32s32fBody(pSrc, pDst, len, scaleFactor);
}

}  // namespace sp::ssse3
