// SSSE3 build (processor class 2) of the multirate FIR and its polyphase kernels.
#include <cstdint>
#include <cstring>
#include <new>

#include <emmintrin.h>

#include "fir_internal.h"
#include "sp/core_bodies.h"
#include "sp/filters_bodies.h"

#define SP_FIR_BUILD 2

namespace sp::ssse3 {

#include "fir_polyphase.inl"
#include "fir_multirate.inl"

}  // namespace sp::ssse3
