// Element-wise power of processor build 2.

#include <immintrin.h>

#include <cstdint>

#include "sp/convert_bodies.h"

#define SP_POWER_GROUP 8

namespace sp::ssse3 {

#include "power.inl"

}  // namespace sp::ssse3
