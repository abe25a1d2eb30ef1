// SSE3 build (processor class 1) of the complex FIR kernels.
#include <cstdint>

#include <emmintrin.h>

#include "sp/fir_complex.h"

namespace sp::sse3 {

#include "fir_complex.inl"

}  // namespace sp::sse3
