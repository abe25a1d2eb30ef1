// Element-wise power of processor build 3.

#include <immintrin.h>

#include <cstdint>

#include "sp/convert_bodies.h"

#define SP_POWER_GROUP 8

namespace sp::sse41 {

#include "power.inl"

}  // namespace sp::sse41
