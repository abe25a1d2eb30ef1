// Conversion kernels and bodies of processor build 1.

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "sp/convert_bodies.h"

#define SP_BUILD_LEVEL 1

namespace sp::sse3 {

#include "convert_common.inl"
#include "convert_kernels.inl"
#include "convert_bodies.inl"

}  // namespace sp::sse3
