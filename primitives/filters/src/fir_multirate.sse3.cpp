// SSE3 build (processor class 1) of the multirate FIR and its polyphase kernels.
#include <cstdint>
#include <cstring>
#include <new>

#include <emmintrin.h>

#include "fir_internal.h"
#include "sp/core_bodies.h"
#include "sp/filters_bodies.h"

#define SP_FIR_BUILD 1

namespace sp::sse3 {

#include "fir_polyphase.inl"
#include "fir_multirate.inl"

}  // namespace sp::sse3
