// SSE3 build (processor class 1) of the single-rate and one-sample FIR filters.
#include <cstdint>
#include <cstring>
#include <new>

#include <emmintrin.h>

#include "fir_internal.h"
#include "sp/core_bodies.h"
#include "sp/fft_bodies.h"
#include "sp/filters_bodies.h"
#include "sp/iir_typed.h"

#define SP_FIR_BUILD 1
#define SP_FIR_FILTER_MULTIRATE spFirFilterMultirate_32f

namespace sp::sse3 {

#include "fir_kernels.inl"
#include "fir_single.inl"

}  // namespace sp::sse3
