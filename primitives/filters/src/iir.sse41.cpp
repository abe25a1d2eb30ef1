// SSE4.1-class build (processor class 3) of the IIR set-up and the 32-bit float filter.
#include <cstdint>

#include <emmintrin.h>

#include "sp/core_bodies.h"
#include "sp/iir.h"

#define SP_IIR_PROCESSOR_TABLES 1

namespace sp::sse41 {

#include "iir_setup.inl"
#include "iir_kernels.inl"

}  // namespace sp::sse41
