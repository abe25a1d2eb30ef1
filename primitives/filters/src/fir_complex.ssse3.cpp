// SSSE3 build (processor class 2) of the complex FIR kernels.
#include <cstdint>

#include <emmintrin.h>

#include "sp/fir_complex.h"

namespace sp::ssse3 {

#include "fir_complex.inl"

}  // namespace sp::ssse3
