// Single-rate FIR of the generic build, and the helpers every build shares.
#include <cstring>
#include <new>

#include "fir_internal.h"
#include "sp/core_bodies.h"
#include "sp/fft_bodies.h"

#define SP_FIR_BUILD 0
#define SP_FIR_FILTER_MULTIRATE spFirFilterMultirate_32f

namespace sp::generic {
namespace fir {

int SingleRateFftOrder(int32 tapsLen) {
  if (tapsLen < 64) return 0;
  int k = 2;
  while (k < 31 && (std::int64_t{1} << k) <= tapsLen) ++k;
  return k + 1;
}

bool Overlaps(const void* a, std::uint64_t aBytes, const void* b, std::uint64_t bBytes) {
  const auto x = reinterpret_cast<std::uintptr_t>(a), y = reinterpret_cast<std::uintptr_t>(b);
  return x < y + bBytes && y < x + aBytes;
}

}  // namespace fir

#include "fir_single.inl"

}  // namespace sp::generic
