// SSSE3 build (processor class 2) of the IIR kernels for integer, double-precision
// and complex data.
#include <cmath>
#include <cstdint>
#include <type_traits>

#include <emmintrin.h>

#include "sp/iir.h"
#include "sp/iir_typed.h"

namespace sp::ssse3 {

#include "iir_typed.inl"

}  // namespace sp::ssse3
