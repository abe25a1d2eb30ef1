// Channel-count conversion: the shared mixing rules and the two operations.
#include "dsp/channel_conversion.h"

#include <cstring>

#include "dsp/host.h"
#include "sp/sp.h"

namespace {

constexpr float kCentre = 0.707f;

struct Gains {
  float g1;
  float g2;
  float s;  // sign of the surround terms on the left
};

Gains GainsOf(std::uint8_t mode) {
  if (mode == CHANNEL_MODE_DISCRETE) return {1.0f, 0.0f, 1.0f};
  return {0.871f, 0.49f, -1.0f};
}

// Folds of more than two channels to two. Every frame's old values are read before it
// is written. The 4 -> 2 fold uses the sign of the mode, so the discrete fold adds the
// left rear channel to the left output.
void FoldToTwo(float* const* ch, std::uint32_t in, std::int64_t frames, const Gains& g) {
  float* c0 = ch[0];
  float* c1 = ch[1];
  if (in == 4) {
    for (std::int64_t i = 0; i < frames; ++i) {
      const float l = c0[i], r = c1[i], rl = ch[2][i], rr = ch[3][i];
      c0[i] = l + g.s * (g.g1 * rl + g.g2 * rr);
      c1[i] = r + g.g2 * rl + g.g1 * rr;
    }
  } else if (in == 6) {
    for (std::int64_t i = 0; i < frames; ++i) {
      const float l = c0[i], r = c1[i], c = ch[2][i], lfe = ch[3][i], sl = ch[4][i], sr = ch[5][i];
      const float centre = kCentre * (c + lfe);
      c0[i] = l + centre + g.s * (g.g1 * sl + g.g2 * sr);
      c1[i] = r + centre + g.g2 * sl + g.g1 * sr;
    }
  } else if (in == 8) {
    const float h1 = g.g1 * 0.5f;
    const float h2 = g.g2 * 0.5f;
    for (std::int64_t i = 0; i < frames; ++i) {
      const float l = c0[i], r = c1[i], c = ch[2][i], lfe = ch[3][i];
      const float a = ch[4][i] + ch[6][i];
      const float b = ch[5][i] + ch[7][i];
      const float centre = kCentre * (c + lfe);
      c0[i] = l + centre + g.s * (h1 * a + h2 * b);
      c1[i] = r + centre + h2 * a + h1 * b;
    }
  }
}

// Down-mixes to more than one channel (the rules both operations share).
void DownMix(float* const* ch, std::uint32_t in, std::uint32_t out, std::int64_t frames, const Gains& g) {
  if (out == 2) {
    if (in == 4 || in == 6 || in == 8) FoldToTwo(ch, in, frames, g);
    return;
  }
  if (in == 6 && out == 4) {
    for (std::int64_t i = 0; i < frames; ++i) {
      const float centre = kCentre * (ch[2][i] + ch[3][i]);
      ch[0][i] += centre;
      ch[1][i] += centre;
      ch[2][i] = ch[4][i];
      ch[3][i] = ch[5][i];
    }
  } else if (in == 8 && out == 4) {
    for (std::int64_t i = 0; i < frames; ++i) {
      const float centre = kCentre * (ch[2][i] + ch[3][i]);
      const float a = ch[4][i], b = ch[5][i];
      ch[0][i] += centre;
      ch[1][i] += centre;
      ch[2][i] = g.g1 * a + g.g2 * b + ch[6][i];
      ch[3][i] = g.g2 * a + g.g1 * b + ch[7][i];
    }
  } else if (in == 8 && out == 6) {
    for (std::int64_t i = 0; i < frames; ++i) {
      const float a = ch[4][i], b = ch[5][i];
      ch[4][i] = g.g1 * a + g.g2 * b + ch[6][i];
      ch[5][i] = g.g2 * a + g.g1 * b + ch[7][i];
    }
  }
}

void Copy(const float* src, float* dst, std::int64_t frames) {
  std::memcpy(dst, src, static_cast<std::size_t>(frames) * sizeof(float));
}

void Zero(float* dst, std::int64_t frames) { spZero_32f(dst, static_cast<int>(frames)); }

void Fill(float* dst, std::int64_t frames) { spSet_32f(CHANNEL_FILL_VALUE, dst, static_cast<int>(frames)); }

}  // namespace

CChannelConversion::CChannelConversion() : m_InFormat{}, m_OutFormat{}, m_bInitialised(0) {}

bool CChannelConversion::Init() {
  if (m_bInitialised) return false;
  m_bInitialised = 1;
  return true;
}

bool CChannelConversion::SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                                   const dsp::WAVEFORMATEXTENSIBLE* pOutFormat) {
  static const char kWho[] = "CChannelConversion::SetFormat";
  if (pInFormat == nullptr || pOutFormat == nullptr) return false;
  if (dsp::EffectiveFormatTag(*pInFormat) != dsp::WAVE_FORMAT_IEEE_FLOAT) {
    DspPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", kWho);
    return false;
  }
  if (dsp::EffectiveFormatTag(*pOutFormat) != dsp::WAVE_FORMAT_IEEE_FLOAT) {
    DspPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", kWho);
    return false;
  }
  const auto valid = [](std::uint16_t n) { return n >= 1 && n <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS; };
  if (!valid(pInFormat->Format.nChannels) || !valid(pOutFormat->Format.nChannels)) {
    DspPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kWho);
    return false;
  }
  m_InFormat = *pInFormat;
  m_OutFormat = *pOutFormat;
  return true;
}

bool CChannelConversion::Process(float* const* ch, std::int32_t frames, std::uint8_t mode) {
  const std::uint32_t in = InChannels();
  const std::uint32_t out = OutChannels();
  if (ch == nullptr || frames < 1 || in == out) return true;
  if (in > out) {
    if (out == 1) {
      for (std::int32_t i = 0; i < frames; ++i) {
        if (in == 2) {
          ch[0][i] = 0.5f * ch[0][i] + 0.5f * ch[1][i];
        } else if (in == 4) {
          ch[0][i] = 0.25f * (ch[0][i] + ch[1][i] + ch[2][i] + ch[3][i]);
        } else if (in == 6) {
          ch[0][i] = (ch[0][i] + ch[1][i] + ch[2][i] + ch[3][i] + ch[4][i] + ch[5][i]) / 6.0f;
        } else if (in == 8) {
          ch[0][i] = 0.125f * (ch[0][i] + ch[1][i] + ch[2][i] + ch[3][i] + ch[4][i] + ch[5][i] + ch[6][i] +
                               ch[7][i]);
        }
      }
    } else {
      DownMix(ch, in, out, frames, GainsOf(mode));
    }
    return true;
  }
  switch (in) {
    case 1:
      Copy(ch[0], ch[1], frames);
      for (std::uint32_t c = 2; c < out; ++c) Zero(ch[c], frames);
      break;
    case 2:
      for (std::uint32_t c = 2; c < out; ++c) Zero(ch[c], frames);
      break;
    case 4:
      Copy(ch[2], ch[4], frames);
      Copy(ch[3], ch[5], frames);
      Zero(ch[2], frames);
      Zero(ch[3], frames);
      if (out == 7 || out == 8) {
        Zero(ch[6], frames);
        Zero(ch[7], frames);
      }
      break;
    case 6:
      Zero(ch[6], frames);
      Zero(ch[7], frames);
      break;
    default:
      break;
  }
  return true;
}

void ConvertChannelCount(float* const* ch, std::uint32_t in, std::uint32_t out, std::uint32_t frames,
                         std::uint8_t mode) {
  if (ch == nullptr || frames == 0 || in == out || in > 8 || out > 8) return;
  if (in > out) {
    const Gains g = GainsOf(mode);
    if (out == 1) {
      if (in == 2) {
        for (std::uint32_t i = 0; i < frames; ++i) ch[0][i] = 0.5f * ch[0][i] + 0.5f * ch[1][i];
      } else if (in == 4 || in == 6 || in == 8) {
        FoldToTwo(ch, in, frames, g);
        for (std::uint32_t i = 0; i < frames; ++i) ch[0][i] = 0.5f * (ch[0][i] + ch[1][i]);
      }
    } else {
      DownMix(ch, in, out, frames, g);
    }
    return;
  }
  switch (in) {
    case 2:
      for (std::uint32_t c = 2; c < out; ++c) Fill(ch[c], frames);
      break;
    case 4:
      Copy(ch[2], ch[4], frames);
      Copy(ch[3], ch[5], frames);
      Fill(ch[2], frames);
      Fill(ch[3], frames);
      if (out == 7 || out == 8)
        for (std::uint32_t c = 6; c < out; ++c) Fill(ch[c], frames);
      break;
    case 6:
      for (std::uint32_t c = 6; c < out; ++c) Fill(ch[c], frames);
      break;
    default:
      break;
  }
}
