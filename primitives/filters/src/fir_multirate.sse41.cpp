// SSE4.1-class build (processor class 3) of the multirate FIR and its polyphase kernels.
#include <cstdint>
#include <cstring>
#include <new>

#include <emmintrin.h>

#include "fir_internal.h"
#include "sp/core_bodies.h"
#include "sp/filters_bodies.h"

#define SP_FIR_BUILD 3

namespace sp::sse41 {

#include "fir_polyphase.inl"
#include "fir_multirate.inl"

}  // namespace sp::sse41
