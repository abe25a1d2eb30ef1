// What every stage of the headphone virtualiser engine shares: its pool tag, its block
// limit and its assertions.
//
// An engine assertion never stops processing: a failed check hands the expression, the
// source file and the line to the installed hook (tests read it) and, in builds with
// assertions on (NDEBUG not defined), prints one line through the DSP print hook. The
// checks that guard a buffer bound also return false, so that the caller refuses the
// call instead of running past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/host.h"

// Every block of the engine, its converters and its filters: non-paged, zero-filled.
inline constexpr std::uint32_t DSP_POOL_TAG_LPVP = DspPoolTag('L', 'P', 'V', 'P');

// Largest block, in samples per channel, that the engine takes at the stream rate and
// that one zero-phase filter pass takes.
inline constexpr std::int32_t EachChannelSampleCntMax = 1024;

using LpvAssertHook = void (*)(const char* expression, const char* file, int line);

// Installs the hook that receives failed assertions (null installs none) and returns
// the previous one.
LpvAssertHook LpvSetAssertHook(LpvAssertHook hook);

// Reports one failed assertion. Returns normally.
void LpvAssertFailed(const char* expression, const char* file, int line);

// True when expr holds; otherwise reports it and yields false.
#define LPV_ASSERT(expr) ((expr) ? true : (LpvAssertFailed(#expr, __FILE__, __LINE__), false))

// A zero-filled block of n floats under "LPVP", or null (also for n below 1).
float* LpvAllocateFloats(std::int64_t n);

// An object in a zero-filled "LPVP" block, constructed; null when the pool fails.
template <class T, class... Args>
T* LpvNew(Args&&... args) {
  return DspNew<T>(DSP_POOL_TAG_LPVP, static_cast<Args&&>(args)...);
}
