// FFT engine of processor build 3 (SSE4.1), the same code as build 2: set-up, kernels and transform
// bodies.
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "fft_core.h"
#include "sp/fft_proc_kernels.h"

#define SP_FFT_BUILD 3  // the record's build number
#define SP_FFT_VARIANT 2

namespace sp::sse41 {

// In this order: each part uses what the ones above it define.
#include "fft_proc_setup.inl"

#include "fft_proc_passes.inl"

#include "fft_proc_permute.inl"

#include "fft_proc_bitrev.inl"

#include "fft_proc_large.inl"

#include "fft_proc_planar.inl"

#include "fft_proc_split.inl"

#include "fft_proc_entries.inl"

}  // namespace sp::sse41
