// Vector math of the SSE4.1-class build (slot 3): the kernel modules and the bodies
// that call them.
#include <smmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "sp/vecmath_bodies.h"

#define SP_VECMATH_BUILD 3
#define SP_VECMATH_ARITH 0
#define SP_VECMATH_LOADS_FIRST 1

namespace sp::sse41 {

#include "vm_simd.inl"

#include "abs_maxmin.inl"
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

}  // namespace sp::sse41
