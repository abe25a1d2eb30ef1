// The engine's assertion report and pool helper.
#include "dsp/virtualiser/engine_support.h"

#include <atomic>

namespace {
std::atomic<LpvAssertHook> g_assertHook{nullptr};
}  // namespace

LpvAssertHook LpvSetAssertHook(LpvAssertHook hook) { return g_assertHook.exchange(hook); }

void LpvAssertFailed(const char* expression, const char* file, int line) {
#ifndef NDEBUG
  DspPrint("%s(%d): assertion failed: %s\n", file, line, expression);
#endif
  if (const LpvAssertHook hook = g_assertHook.load()) hook(expression, file, line);
}

float* LpvAllocateFloats(std::int64_t n) {
  if (n < 1 || static_cast<std::uint64_t>(n) > SIZE_MAX / sizeof(float)) return nullptr;
  return static_cast<float*>(DspAllocate(static_cast<std::size_t>(n) * sizeof(float), DSP_POOL_TAG_LPVP, true));
}
