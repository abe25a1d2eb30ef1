// SSE4.1-class build (processor class 3) of the single-rate and one-sample FIR filters.
#include <cstdint>
#include <cstring>
#include <new>

#include <emmintrin.h>

#include "fir_internal.h"
#include "sp/core_bodies.h"
#include "sp/fft_bodies.h"
#include "sp/filters_bodies.h"
#include "sp/iir_typed.h"

#define SP_FIR_BUILD 3
#define SP_FIR_FILTER_MULTIRATE spFirFilterMultirate_32f

namespace sp::sse41 {

#include "fir_kernels.inl"
#include "fir_single.inl"

}  // namespace sp::sse41
