// Builders of the complex FIR kernels' tap layouts (generic code, read by every
// processor build).
#include <cstdint>

#include "sp/fir_complex.h"

namespace sp::generic {

spStatus spFirPrepareComplexTaps_32fc(const spComplex32f* pTaps, int T, float* pPrepared) {
  if (pTaps == nullptr || pPrepared == nullptr) return SP_ERROR_NULL;
  if (T < 1) return SP_ERROR_TAP_COUNT;
  for (int m = 0; m < T; ++m) {
    const float a = pTaps[m].re, b = pTaps[m].im;
    const float v[8] = {a, a, a, a, -b, b, -b, b};
    for (int j = 0; j < 8; ++j) pPrepared[8 * m + j] = v[j];
  }
  return SP_OK;
}

spStatus spFirComplexCoefficientPlanes_32fc(const spComplex32f* pRows, int G, int R, float* pCoefficients) {
  if (pRows == nullptr || pCoefficients == nullptr) return SP_ERROR_NULL;
  if (G < 1 || R < 1) return SP_ERROR_TAP_COUNT;
  const std::int64_t taps = std::int64_t{4} * G * R;
  float* second = pCoefficients + 2 * taps;
  for (std::int64_t i = 0; i < taps; ++i) {
    const float a = pRows[i].re, b = pRows[i].im;
    pCoefficients[2 * i] = a;
    pCoefficients[2 * i + 1] = -b;
    second[2 * i] = b;
    second[2 * i + 1] = a;
  }
  return SP_OK;
}

}  // namespace sp::generic
