// SSE4.1-class build (processor class 3) of the core primitives.
#include <atomic>
#include <cstdint>
#include <cstring>

#include <smmintrin.h>

#include "sp/core.h"
#include "sp/core_bodies.h"

namespace sp::sse41 {

#include "simd_common.inl"
#include "copy_ssse3.inl"

}  // namespace sp::sse41
