// Built with -mavx512f: nothing here but the loops over SLEEF's AVX-512 functions (no
// library header whose inline functions could be merged with the baseline build's).
#include <immintrin.h>
#include <sleef.h>

#include "sleef_wide.h"

namespace bench {

#define SLEEF_LOOP(name, fn)                                       \
  void name(const float* in, float* out, int n) {                  \
    int i = 0;                                                     \
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(out + i, fn(_mm512_loadu_ps(in + i)));     \
    if (i == n) return;                                            \
    float tail[16] = {};                                           \
    for (int k = 0; k < n - i; ++k) tail[k] = in[i + k];           \
    _mm512_storeu_ps(tail, fn(_mm512_loadu_ps(tail)));                                        \
    for (int k = 0; k < n - i; ++k) out[i + k] = tail[k];          \
  }
SLEEF_LOOP(SleefExpU10Avx512, Sleef_expf16_u10avx512f)
SLEEF_LOOP(SleefLogU10Avx512, Sleef_logf16_u10avx512f)
SLEEF_LOOP(SleefLogU35Avx512, Sleef_logf16_u35avx512f)

}  // namespace bench
