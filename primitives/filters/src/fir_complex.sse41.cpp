// SSE4.1-class build (processor class 3) of the complex FIR kernels.
#include <cstdint>

#include <emmintrin.h>

#include "sp/fir_complex.h"

namespace sp::sse41 {

#include "fir_complex.inl"

}  // namespace sp::sse41
