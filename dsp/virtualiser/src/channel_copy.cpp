// Channel copies and the stereo fold-down.
#include "dsp/virtualiser/channel_copy.h"

#include "sp/sp.h"

namespace {

constexpr std::int32_t kMaxChannels = 8;
constexpr float kCentreGain = 0.707f;

// Left and right for every sample; each sample's inputs are read before either output
// is written, so out[0] and out[1] may be in[0] and in[1].
void FoldDownToStereo(float* const* out, float* const* in, std::int32_t nIn, std::int32_t len, float g) {
  static const float kSilence = 0.0f;
  const float* ch[kMaxChannels];
  std::int32_t step[kMaxChannels];
  for (std::int32_t c = 0; c < kMaxChannels; ++c) {
    const bool present = c < nIn && in[c] != nullptr;
    ch[c] = present ? in[c] : &kSilence;
    step[c] = present ? 1 : 0;
  }
  float* left = out[0];
  float* right = out[1];
  if (left == nullptr || right == nullptr) return;
  const bool rear = nIn == kMaxChannels;
  for (std::int32_t t = 0; t < len; ++t) {
    const float in0 = ch[0][t * step[0]], in1 = ch[1][t * step[1]], in2 = ch[2][t * step[2]];
    const float in3 = ch[3][t * step[3]], in4 = ch[4][t * step[4]], in5 = ch[5][t * step[5]];
    const float centre = kCentreGain * in2;
    float l = (in0 + centre + in3 + in4) * g;
    float r = (in1 + centre + in3 + in5) * g;
    if (rear) {
      l += g * ch[6][t * step[6]];
      r += g * ch[7][t * step[7]];
    }
    left[t] = l;
    right[t] = r;
  }
}

}  // namespace

void CopyChannels(float* const* out, std::int32_t nOut, float* const* in, std::int32_t nIn, std::int32_t len) {
  if (out == nullptr || len < 1) return;
  for (std::int32_t c = 0; c < nOut; ++c) {
    if (out[c] == nullptr) continue;
    const float* source = in != nullptr && c < nIn ? in[c] : nullptr;
    if (source == nullptr)
      spZero_32f(out[c], len);
    else if (source != out[c])
      spCopy_32f(source, out[c], len);
  }
}

void FoldDownChannels(float* const* out, std::int32_t nOut, float* const* in, std::int32_t nIn, std::int32_t len,
                      float divisor) {
  if (out == nullptr || in == nullptr || len < 1) return;
  if (nIn > kMaxChannels) nIn = kMaxChannels;
  if (nIn == 1) {
    if (nOut >= 1) CopyChannels(out, 1, in, 1, len);
  } else if (nIn == 2) {
    CopyChannels(out, nOut < 2 ? nOut : 2, in, 2, len);
  } else if (nOut != 2) {
    CopyChannels(out, nOut, in, nIn, len);
  } else {
    FoldDownToStereo(out, in, nIn, len, 1.0f / (divisor == 0.0f ? 1.0f : divisor));
  }
}
