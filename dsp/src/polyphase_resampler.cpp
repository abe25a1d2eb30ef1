// The 147:160 polyphase resampler.
//
// Up (44100 -> 48000 family): every input sample is filtered through up row p for as
// many outputs as fall inside its input period; the phase advances by 147 of 160 per
// output, and only when it wraps is the sample used up. Before it wraps the delay index
// is set back, so the next output rewrites the same sample into the same slot.
// Down (48000 -> 44100 family): every input yields one output through down row p, the
// phase advances by 13 of 147, and when it wraps the next input is pushed without an
// output. A wrap on the last sample of a call leaves the skip to the next call.
#include "dsp/dsp_block.h"
#include "dsp/resampler_taps.h"
#include "sp/sp.h"

CPolyphaseResampler::CPolyphaseResampler() : m_nPhase{}, m_DelayLine{}, m_nDelayIndex{} {}

std::int32_t CPolyphaseResampler::GetUpStateSize() {
  uint32 size = 0;
  if (spFirGetStateSize_32f(UP_TAPS, &size) != SP_OK) return 0;
  return static_cast<std::int32_t>(size);
}

std::int32_t CPolyphaseResampler::GetDownStateSize() {
  uint32 size = 0;
  if (spFirGetStateSize_32f(DOWN_TAPS, &size) != SP_OK) return 0;
  return static_cast<std::int32_t>(size);
}

void CPolyphaseResampler::Reset() {
  for (int c = 0; c < CHANNELS; ++c) {
    m_nPhase[c] = 0;
    if (m_bAllocated) {
      if (IsUp())
        spFirInit_32f(&m_pFirState[c], POLYPHASE_UP_TAPS[0], UP_TAPS, nullptr, StateBuffer(c));
      else
        spFirInit_32f(&m_pFirState[c], POLYPHASE_DOWN_TAPS[0], DOWN_TAPS, nullptr, StateBuffer(c));
    }
    spZero_32f(m_DelayLine[c], 2 * DOWN_TAPS);
    m_nDelayIndex[c] = 0;
  }
  CDspBlock::Reset();
}

bool CPolyphaseResampler::Process(std::int32_t channel, const float* pSource, std::int32_t* pCount) {
  if (pCount == nullptr) return false;
  const std::int32_t offered = *pCount;
  *pCount = 0;
  if (!ValidChannel(channel) || !m_bAllocated || pSource == nullptr || offered <= 0) return true;
  *pCount = IsUp() ? ProcessUp(channel, pSource, offered) : ProcessDown(channel, pSource, offered);
  return true;
}

std::int32_t CPolyphaseResampler::ProcessUp(int c, const float* pSource, std::int32_t count) {
  float* buffer = m_pBuffer[c];
  std::int32_t& fill = m_nFill[c];
  std::int32_t& phase = m_nPhase[c];
  std::int32_t& index = m_nDelayIndex[c];
  std::int32_t taken = 0;
  while (taken < count && fill < m_nCapacity) {
    const std::int32_t noted = index;
    spFirFilterOneSample_32f(pSource[taken], buffer + fill, POLYPHASE_UP_TAPS[phase], UP_TAPS, m_DelayLine[c],
                             &index);
    ++fill;
    phase += DOWN_PHASES;
    if (phase >= UP_PHASES) {
      phase -= UP_PHASES;
      ++taken;
    } else {
      index = noted;
    }
  }
  return taken;
}

void CPolyphaseResampler::Push(int c, float sample) {
  std::int32_t& i = m_nDelayIndex[c];
  m_DelayLine[c][i] = sample;
  m_DelayLine[c][i + DOWN_TAPS] = sample;
  i = i + 1 == DOWN_TAPS ? 0 : i + 1;
}

std::int32_t CPolyphaseResampler::ProcessDown(int c, const float* pSource, std::int32_t count) {
  constexpr std::int32_t kStep = UP_PHASES - DOWN_PHASES;  // 13
  float* buffer = m_pBuffer[c];
  std::int32_t& fill = m_nFill[c];
  std::int32_t& phase = m_nPhase[c];
  std::int32_t taken = 0;
  if (phase >= DOWN_PHASES && fill < m_nCapacity) {
    Push(c, pSource[taken++]);
    phase -= DOWN_PHASES;
  }
  while (taken < count && fill < m_nCapacity) {
    spFirFilterOneSample_32f(pSource[taken], buffer + fill, POLYPHASE_DOWN_TAPS[phase], DOWN_TAPS,
                             m_DelayLine[c], &m_nDelayIndex[c]);
    ++fill;
    ++taken;
    phase += kStep;
    if (phase >= DOWN_PHASES) {
      if (taken == count) break;
      Push(c, pSource[taken++]);
      phase -= DOWN_PHASES;
    }
  }
  return taken;
}
