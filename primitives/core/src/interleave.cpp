// Generic build of interleave and de-interleave.
#include <cstdint>
#include <cstring>

#include "sp/core_bodies.h"

namespace sp::generic {

#include "interleave_checks.inl"

spStatus spInterleave_32f(const float* const* ppSrc, int numChannels, int len, float* pDst) {
  const spStatus status = CheckPlanarArguments(pDst, ppSrc, numChannels, len);
  if (status < 0) return status;
  const uint64 stride = static_cast<uint64>(numChannels);
  for (int c = 0; c < numChannels; ++c) {
    const float* src = ppSrc[c];
    float* dst = pDst + c;
    uint64 k = 0;
    for (; k + 2 <= static_cast<uint64>(len); k += 2) {
      CopyElement(dst + k * stride, src + k);
      CopyElement(dst + (k + 1) * stride, src + k + 1);
    }
    if (k < static_cast<uint64>(len)) CopyElement(dst + k * stride, src + k);
  }
  return status;
}

spStatus spDeinterleave_32f(const float* pSrc, int numChannels, int len, float* const* ppDst) {
  const spStatus status = CheckPlanarArguments(pSrc, ppDst, numChannels, len);
  if (status < 0) return status;
  const uint64 stride = static_cast<uint64>(numChannels);
  for (int c = 0; c < numChannels; ++c) {
    float* dst = ppDst[c];
    const float* src = pSrc + c;
    for (uint64 k = 0; k < static_cast<uint64>(len); ++k) CopyElement(dst + k, src + k * stride);
  }
  return status;
}

}  // namespace sp::generic
