// Element-wise power of processor build 1.

#include <immintrin.h>

#include <cstdint>

#include "sp/convert_bodies.h"

#define SP_POWER_GROUP 8

namespace sp::sse3 {

#include "power.inl"

}  // namespace sp::sse3
