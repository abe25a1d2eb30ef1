// The planar conversion container and its block driver.
#include "dsp/non_interleave_src.h"

#include <cstring>

#include "dsp/host.h"
#include "sp/sp.h"

bool CDspNonInterleaveSrc::Init() {
  if (m_bInitialised) return false;
  if (!CreateBlocks(false)) return false;
  m_bInitialised = 1;
  return true;
}

bool CDspNonInterleaveSrc::SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                                     const dsp::WAVEFORMATEXTENSIBLE* pOutFormat) {
  m_bPassThrough = false;
  if (!Configure(pInFormat, pOutFormat, true)) return false;
  if (std::memcmp(&m_InFormat, &m_OutFormat, sizeof m_InFormat) == 0) {
    for (auto& stage : m_pChain) stage = nullptr;
    m_bPassThrough = true;
  }
  return true;
}

void CDspNonInterleaveSrc::ConvertOut(std::uint8_t* const* ppOutput, std::int32_t count) {
  const CDspBlock* last = LastStage();
  for (int c = 0; c < m_OutFormat.Format.nChannels; ++c)
    dsp::FloatToSamples(m_OutFormat, last->Buffer(c), ppOutput[c], count);
}

bool CDspNonInterleaveSrc::Process(float* const* ppInput, std::int32_t* pInFrames, float* const* ppOutput,
                                   std::int32_t* pOutFrames) {
  if (!IsConfigured() || pInFrames == nullptr || pOutFrames == nullptr || ppInput == nullptr ||
      ppOutput == nullptr)
    return false;
  const int channels = m_OutFormat.Format.nChannels;
  const std::int32_t inBytes = dsp::SampleBytes(m_InFormat);
  const std::int32_t outBytes = dsp::SampleBytes(m_OutFormat);
  const std::uint8_t* in[CDspBlock::CHANNELS] = {};
  std::uint8_t* out[CDspBlock::CHANNELS] = {};
  for (int c = 0; c < channels; ++c) {
    in[c] = reinterpret_cast<const std::uint8_t*>(ppInput[c]);
    out[c] = reinterpret_cast<std::uint8_t*>(ppOutput[c]);
  }
  std::int32_t inLeft = *pInFrames > 0 ? *pInFrames : 0;
  std::int32_t outLeft = *pOutFrames > 0 ? *pOutFrames : 0;

  if (m_bPassThrough) {
    const std::int32_t n = inLeft < outLeft ? inLeft : outLeft;
    for (int c = 0; c < channels && n > 0; ++c) std::memmove(out[c], in[c], static_cast<std::size_t>(n) * inBytes);
    *pInFrames = n;
    *pOutFrames = n;
    return true;
  }

  if (LastStage()->Fill(0) > 0) {
    const std::int32_t count = Ready(outLeft);
    ConvertOut(out, count);
    ConsumeOutput(count);
    *pInFrames = 0;
    *pOutFrames = count;
    return true;
  }

  const std::int32_t inOffered = inLeft;
  const std::int32_t outOffered = outLeft;
  while (inLeft > 0 && outLeft > 0) {
    std::int32_t n = inLeft;
    m_pFormatBlock->ConvertInPlanar(in, &n, &m_InFormat);
    inLeft -= n;
    for (int c = 0; c < channels; ++c) in[c] += static_cast<std::size_t>(n) * inBytes;
    RunStages();
    const std::int32_t count = Ready(outLeft);
    ConvertOut(out, count);
    ConsumeOutput(count);
    outLeft -= count;
    for (int c = 0; c < channels; ++c) out[c] += static_cast<std::size_t>(count) * outBytes;
    if (n == 0 && count == 0) break;  // the chain is full and the output takes nothing more
  }
  *pInFrames = inOffered - inLeft;
  *pOutFrames = outOffered - outLeft;
  return true;
}

dsp::NTSTATUS ProcessPlanarBlocks(CDspNonInterleaveSrc* pSrc, std::uint32_t inFrames, std::uint32_t* pProduced,
                                  const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                                  const dsp::WAVEFORMATEXTENSIBLE* pOutFormat, float* const* ppInput,
                                  float* const* ppOutput, std::uint32_t outputBufferBytes, std::uint32_t reset) {
  if (pSrc == nullptr || pProduced == nullptr || pInFormat == nullptr || pOutFormat == nullptr ||
      inFrames == 0 || outputBufferBytes == 0 || ppInput == nullptr || ppOutput == nullptr)
    return dsp::STATUS_INVALID_PARAMETER;
  const int inChannels = pInFormat->Format.nChannels;
  const int outChannels = pOutFormat->Format.nChannels;
  if (inChannels < 1 || inChannels > CDspBlock::CHANNELS || outChannels < 1 || outChannels > CDspBlock::CHANNELS)
    return dsp::STATUS_INVALID_PARAMETER;
  const std::uint32_t inBytes = static_cast<std::uint32_t>(dsp::SampleBytes(*pInFormat));
  const std::uint32_t outBytes = static_cast<std::uint32_t>(dsp::SampleBytes(*pOutFormat));
  if (inBytes == 0 || outBytes == 0) return dsp::STATUS_INVALID_PARAMETER;
  // Frames each output channel buffer holds.
  const std::uint32_t ringFrames = outputBufferBytes / outBytes;
  if (ringFrames == 0) return dsp::STATUS_INVALID_PARAMETER;
  *pProduced = 0;
  if (reset != 0) pSrc->Reset();

  constexpr std::uint32_t kMaxCall = 0x7FFFFFFF;
  std::uint32_t inPos = 0;
  std::uint32_t left = inFrames;
  while (left > 0) {
    const std::uint32_t room = ringFrames - *pProduced;
    if (room == 0) return dsp::STATUS_BUFFER_OVERFLOW;
    float* in[CDspBlock::CHANNELS] = {};
    float* out[CDspBlock::CHANNELS] = {};
    for (int c = 0; c < inChannels; ++c)
      in[c] = reinterpret_cast<float*>(reinterpret_cast<std::uint8_t*>(ppInput[c]) +
                                       static_cast<std::size_t>(inPos) * inBytes);
    for (int c = 0; c < outChannels; ++c)
      out[c] = reinterpret_cast<float*>(reinterpret_cast<std::uint8_t*>(ppOutput[c]) +
                                        static_cast<std::size_t>(*pProduced) * outBytes);
    std::int32_t consumed = static_cast<std::int32_t>(left < kMaxCall ? left : kMaxCall);
    std::int32_t written = static_cast<std::int32_t>(room < kMaxCall ? room : kMaxCall);
    if (!pSrc->Process(in, &consumed, out, &written)) return dsp::STATUS_UNSUCCESSFUL;
    if (consumed == 0 && written == 0) return dsp::STATUS_UNSUCCESSFUL;
    inPos += static_cast<std::uint32_t>(consumed);
    left -= static_cast<std::uint32_t>(consumed);
    *pProduced += static_cast<std::uint32_t>(written);
  }
  return dsp::STATUS_SUCCESS;
}
