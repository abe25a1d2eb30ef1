// SSSE3 build (processor class 2) of the core primitives.
#include <atomic>
#include <cstdint>
#include <cstring>

#include <tmmintrin.h>

#include "sp/core.h"
#include "sp/core_bodies.h"

namespace sp::ssse3 {

#include "simd_common.inl"
#include "copy_ssse3.inl"

}  // namespace sp::ssse3
