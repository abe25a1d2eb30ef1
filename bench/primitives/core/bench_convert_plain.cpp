// Plain loops of the benchmarked conversions, left to the compiler's vectoriser (this
// file is built with -O3). They give the same results as the primitives on audio data.

#include <cstdint>

namespace bench {

__attribute__((noinline)) void plain16sTo32f(const int16_t* in, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
}

__attribute__((noinline)) void plain32fTo16s(const float* in, int16_t* out, int n) {
  for (int i = 0; i < n; ++i) {
    float v = in[i] * 32768.0f;
    v = v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v);
    out[i] = static_cast<int16_t>(v);
  }
}

__attribute__((noinline)) void plain24sTo32f(const uint8_t* in, float* out, int n) {
  for (int i = 0; i < n; ++i) {
    const uint8_t* p = in + 3 * i;
    const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                           static_cast<uint32_t>(p[2]) << 24) >> 8;
    out[i] = static_cast<float>(v);
  }
}

// Nearest integer in the current rounding mode, in a form each compiler vectorises.
inline int32_t RoundToInt(float v) {
#if defined(__clang__)
  return static_cast<int32_t>(__builtin_lrintf(v));
#else
  return __builtin_irintf(v);
#endif
}

__attribute__((noinline)) void plain32fTo24s(const float* in, uint8_t* out, int n) {
  for (int i = 0; i < n; ++i) {
    float v = in[i] * 8388608.0f;
    v = v > 8388607.0f ? 8388607.0f : (v < -8388608.0f ? -8388608.0f : v);
    const int32_t r = RoundToInt(v);
    out[3 * i] = static_cast<uint8_t>(r);
    out[3 * i + 1] = static_cast<uint8_t>(r >> 8);
    out[3 * i + 2] = static_cast<uint8_t>(r >> 16);
  }
}

}  // namespace bench
