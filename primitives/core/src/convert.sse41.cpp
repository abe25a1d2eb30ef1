// Conversion kernels and bodies of processor build 3.

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "sp/convert_bodies.h"

#define SP_BUILD_LEVEL 3

namespace sp::sse41 {

#include "convert_common.inl"
#include "convert_kernels.inl"
#include "convert_bodies.inl"

}  // namespace sp::sse41
