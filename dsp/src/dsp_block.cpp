// The block base and the integer-factor FIR resamplers.
#include "dsp/dsp_block.h"

#include "dsp/host.h"
#include "dsp/resampler_taps.h"
#include "sp/sp.h"

CDspBlock::CDspBlock()
    : m_pUpState{}, m_pDownState{}, m_pFirState{}, m_pBuffer{}, m_nFill{}, m_nCapacity(0),
      m_bDirectionUp(0), m_bAllocated(0) {}

CDspBlock::~CDspBlock() {
  for (int c = 0; c < CHANNELS; ++c) {
    DspFree(m_pBuffer[c]);
    DspFree(m_pUpState[c]);
    DspFree(m_pDownState[c]);
    m_pBuffer[c] = nullptr;
    m_pUpState[c] = nullptr;
    m_pDownState[c] = nullptr;
    m_pFirState[c] = nullptr;
  }
}

std::int32_t CDspBlock::GetUpStateSize() { return 0; }
std::int32_t CDspBlock::GetDownStateSize() { return 0; }

bool CDspBlock::Process(std::int32_t /*channel*/, const float* /*pSource*/, std::int32_t* pCount) {
  if (pCount != nullptr) *pCount = 0;
  return false;
}

void CDspBlock::Reset() {
  for (auto& fill : m_nFill) fill = 0;
}

bool CDspBlock::Init() {
  const std::int32_t downSize = GetDownStateSize();
  const std::int32_t upSize = GetUpStateSize();
  if (m_bAllocated || downSize <= 0 || upSize <= 0) return false;
  m_nCapacity = BLOCK_CAPACITY;
  for (int c = 0; c < CHANNELS; ++c) {
    m_pDownState[c] = static_cast<std::uint8_t*>(DspAllocate(downSize, DSP_POOL_TAG_SRCX, false));
    if (m_pDownState[c] == nullptr) return false;
    m_pUpState[c] = static_cast<std::uint8_t*>(DspAllocate(upSize, DSP_POOL_TAG_SRCX, false));
    if (m_pUpState[c] == nullptr) return false;
    m_pBuffer[c] = static_cast<float*>(
        DspAllocate(static_cast<std::size_t>(m_nCapacity) * sizeof(float), DSP_POOL_TAG_SRCX, false));
    if (m_pBuffer[c] == nullptr) return false;
  }
  m_bAllocated = 1;
  return true;
}

bool CDspBlock::Consume(std::int32_t channel, std::int32_t n) {
  if (!ValidChannel(channel) || n < 0 || n > m_nFill[channel]) return false;
  const std::int32_t rest = m_nFill[channel] - n;
  if (rest > 0 && n > 0) spMove_32f(m_pBuffer[channel] + n, m_pBuffer[channel], rest);
  m_nFill[channel] = rest;
  return true;
}

// ---------------------------------------------------------------------------------------
// Integer-factor resamplers

CFirResampler2x::CFirResampler2x() : CFirResampler(2, FIR_RESAMPLER_2X_TAPS, 66) {}
CFirResampler4x::CFirResampler4x() : CFirResampler(4, FIR_RESAMPLER_4X_TAPS, 132) {}

std::int32_t CFirResampler::GetUpStateSize() {
  uint32 size = 0;
  if (spFirMultirateGetStateSize_32f(m_nTapCount, m_nFactor, 1, &size) != SP_OK) return 0;
  return static_cast<std::int32_t>(size);
}

std::int32_t CFirResampler::GetDownStateSize() {
  uint32 size = 0;
  if (spFirMultirateGetStateSize_32f(m_nTapCount, 1, m_nFactor, &size) != SP_OK) return 0;
  return static_cast<std::int32_t>(size);
}

void CFirResampler::Reset() {
  if (m_bAllocated) {
    const std::int32_t up = IsUp() ? m_nFactor : 1;
    const std::int32_t down = IsUp() ? 1 : m_nFactor;
    for (int c = 0; c < CHANNELS; ++c)
      spFirMultirateInit_32f(&m_pFirState[c], m_pTaps, m_nTapCount, up, 0, down, 0, nullptr, StateBuffer(c));
  }
  CDspBlock::Reset();
}

bool CFirResampler::Process(std::int32_t channel, const float* pSource, std::int32_t* pCount) {
  if (pCount == nullptr) return false;
  const std::int32_t offered = *pCount;
  *pCount = 0;
  if (!ValidChannel(channel) || !m_bAllocated || pSource == nullptr || offered <= 0) return true;
  const std::int32_t F = m_nFactor;
  float* buffer = m_pBuffer[channel];
  std::int32_t& fill = m_nFill[channel];
  std::int32_t taken = 0;
  if (IsUp()) {
    while (taken < offered) {
      const std::int32_t remaining = offered - taken;
      const std::int32_t free = m_nCapacity - fill;
      if (free < F) break;
      const std::int32_t k = free / F >= remaining ? remaining : free / F;
      spFirFilter_32f(pSource + taken, buffer + fill, k, m_pFirState[channel]);
      spMulConstInPlace_32f(static_cast<float>(F), buffer + fill, F * k);
      fill += F * k;
      taken += k;
    }
  } else {
    while (offered - taken >= F) {
      const std::int32_t free = m_nCapacity - fill;
      if (free == 0) break;
      std::int32_t k = (offered - taken) / F;
      if (k > free) k = free;
      spFirFilter_32f(pSource + taken, buffer + fill, k, m_pFirState[channel]);
      fill += k;
      taken += F * k;
    }
  }
  *pCount = taken;
  return true;
}
