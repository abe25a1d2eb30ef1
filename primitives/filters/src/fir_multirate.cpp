// Multirate FIR of the generic build.
#include <cstring>
#include <new>

#include "fir_internal.h"
#include "sp/core_bodies.h"

#define SP_FIR_BUILD 0

namespace sp::generic {

#include "fir_multirate.inl"

}  // namespace sp::generic
