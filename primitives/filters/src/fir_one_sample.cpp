// One-sample FIR on a caller-held doubled circular delay line.
#include "sp/fir.h"

namespace sp::generic {

spStatus spFirFilterOneSample_32f(float sample, float* pResult, const float* pTaps, int32 tapsLen,
                                  float* pDelayLine, int32* pIndex) {
  if (!pResult || !pTaps) return SP_ERROR_NULL;
  if (tapsLen < 1) return SP_ERROR_TAP_COUNT;
  if (!pDelayLine || !pIndex) return SP_ERROR_NULL;
  int32 i = *pIndex;
  // An index outside the line would write outside it: refuse it before writing anything.
  if (i < 0 || i >= tapsLen) return SP_ERROR_LENGTH;

  pDelayLine[i] = sample;
  pDelayLine[i + tapsLen] = sample;
  ++i;
  if (i >= tapsLen) i = 0;
  *pIndex = i;

  // Products rounded to float, summed in double, oldest sample first.
  double y = 0.0;
  const float* window = pDelayLine + i;
  for (int32 k = 0; k < tapsLen; ++k) {
    const float p = pTaps[tapsLen - 1 - k] * window[k];
    y += static_cast<double>(p);
  }
  *pResult = static_cast<float>(y);
  return SP_OK;
}

}  // namespace sp::generic
