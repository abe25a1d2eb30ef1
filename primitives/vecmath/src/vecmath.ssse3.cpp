// Vector math of the SSSE3 build (slot 2): the kernel modules and the bodies that call
// them. Its element-wise arithmetic bodies serve slot 3 too.
#include <tmmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "sp/vecmath_bodies.h"

#define SP_VECMATH_BUILD 2
#define SP_VECMATH_ARITH 1
#define SP_VECMATH_LOADS_FIRST 1

namespace sp::ssse3 {

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

}  // namespace sp::ssse3
