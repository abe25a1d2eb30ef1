// SSE4.1-class build (processor class 3) of the IIR kernels for integer, double-precision
// and complex data.
#include <cmath>
#include <cstdint>
#include <type_traits>

#include <emmintrin.h>

#include "sp/iir.h"
#include "sp/iir_typed.h"

namespace sp::sse41 {

#include "iir_typed.inl"

}  // namespace sp::sse41
