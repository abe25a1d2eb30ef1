// The interleaved conversion container.
#include "dsp/interleave_src.h"

#include "dsp/host.h"
#include "sp/sp.h"

namespace {
constexpr std::int32_t kWorkFloats = CDspInterleaveSrc::WORK_BUFFER_BYTES / 4;
}

CDspInterleaveSrc::~CDspInterleaveSrc() {
  DspFree(m_pWork);
  m_pWork = nullptr;
}

bool CDspInterleaveSrc::Init() {
  if (m_bInitialised) return false;
  if (!CreateBlocks(true)) return false;
  m_pWork = static_cast<float*>(DspAllocate(WORK_BUFFER_BYTES, DSP_POOL_TAG_DSPS, false));
  if (m_pWork == nullptr) return false;
  m_bInitialised = 1;
  return true;
}

bool CDspInterleaveSrc::SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                                  const dsp::WAVEFORMATEXTENSIBLE* pOutFormat) {
  return Configure(pInFormat, pOutFormat, false);
}

void CDspInterleaveSrc::ConvertOut(std::uint8_t* pOutput, std::int32_t count) {
  if (count < 1) return;
  const int channels = m_OutFormat.Format.nChannels;
  spInterleave_32f(m_pOutChannels, channels, count, m_pWork);
  dsp::FloatToSamples(m_OutFormat, m_pWork, pOutput, count * channels);
}

bool CDspInterleaveSrc::Process(const std::uint8_t* pInput, std::int32_t* pInFrames, std::uint8_t* pOutput,
                                std::int32_t* pOutFrames) {
  if (!IsConfigured() || pInFrames == nullptr || pOutFrames == nullptr) return false;
  std::int32_t inLeft = *pInFrames;
  std::int32_t outLeft = *pOutFrames;
  if (inLeft <= 0) {
    *pInFrames = 0;
    *pOutFrames = 0;
    return true;
  }
  if (pInput == nullptr || (pOutput == nullptr && outLeft > 0)) return false;
  if (outLeft < 0) outLeft = 0;
  const std::int32_t requestedOut = outLeft;
  // One chunk's output passes through the work buffer as interleaved floats.
  const std::int32_t workFrames = kWorkFloats / m_OutFormat.Format.nChannels;
  while (inLeft > 0 && outLeft > 0) {
    std::int32_t n = inLeft;
    m_pFormatBlock->ConvertInInterleaved(pInput, m_pWork, &n, &m_InFormat);
    inLeft -= n;
    pInput += static_cast<std::size_t>(n) * m_InFormat.Format.nBlockAlign;
    RunStages();
    CDspBlock* last = LastStage();
    for (int c = 0; c < CDspBlock::CHANNELS; ++c) m_pOutChannels[c] = last->Buffer(c);
    const std::int32_t count = Ready(outLeft < workFrames ? outLeft : workFrames);
    ConvertOut(pOutput, count);
    ConsumeOutput(count);
    outLeft -= count;
    pOutput += static_cast<std::size_t>(count) * m_OutFormat.Format.nBlockAlign;
    if (n == 0 && count == 0) break;  // the chain is full and the output takes nothing more
  }
  *pInFrames -= inLeft;
  *pOutFrames = requestedOut - outLeft;
  return true;
}
