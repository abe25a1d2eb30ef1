// Vector math of the SSE3 build (slot 1): the kernel modules and the bodies
// that call them.
#include <pmmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "sp/vecmath_bodies.h"

#define SP_VECMATH_BUILD 1
#define SP_VECMATH_ARITH 1
#define SP_VECMATH_LOADS_FIRST 0

namespace sp::sse3 {

#include "vm_simd.inl"

#include "abs_maxmin.inl"
#include "arith.inl"
#include "minmax_elementwise.inl"
#include "square.inl"
#include "sqrt.inl"
#include "divide.inl"
#include "square_scaled.inl"
#include "divide_int.inl"
#include "explog.inl"
#include "sum.inl"
#include "dot.inl"
#include "sqrt_complex.inl"
#include "sqrt_int.inl"

#include "bodies.inl"
#include "bodies_explog_reduce.inl"

}  // namespace sp::sse3
