// Built with -mavx2 -mfma: nothing here but the loops over SLEEF's AVX2 functions (no
// library header whose inline functions could be merged with the baseline build's).
#include <immintrin.h>
#include <sleef.h>

#include "sleef_wide.h"

namespace bench {

#define SLEEF_LOOP(name, fn)                                       \
  void name(const float* in, float* out, int n) {                  \
    int i = 0;                                                     \
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, fn(_mm256_loadu_ps(in + i)));     \
    if (i == n) return;                                            \
    float tail[8] = {};                                           \
    for (int k = 0; k < n - i; ++k) tail[k] = in[i + k];           \
    _mm256_storeu_ps(tail, fn(_mm256_loadu_ps(tail)));                                        \
    for (int k = 0; k < n - i; ++k) out[i + k] = tail[k];          \
  }
SLEEF_LOOP(SleefExpU10Avx2, Sleef_expf8_u10avx2)
SLEEF_LOOP(SleefLogU10Avx2, Sleef_logf8_u10avx2)
SLEEF_LOOP(SleefLogU35Avx2, Sleef_logf8_u35avx2)

}  // namespace bench
