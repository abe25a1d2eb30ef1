// Element-wise power of the generic build.

#include <immintrin.h>

#include <cstdint>

#include "sp/convert_bodies.h"

#define SP_POWER_GROUP 4

namespace sp::generic {

#include "power.inl"

}  // namespace sp::generic
