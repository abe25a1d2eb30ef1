// The format block and the sample-format conversions.
#include "dsp/split_block.h"

#include <cstring>

#include "dsp/host.h"
#include "sp/sp.h"

namespace dsp {

std::int32_t SampleBytes(const WAVEFORMATEXTENSIBLE& format) {
  if (EffectiveFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT) return 4;
  return format.Format.wBitsPerSample / 8;
}

void SamplesToFloat(const WAVEFORMATEXTENSIBLE& format, const std::uint8_t* pSource, float* pDest,
                    std::int32_t count) {
  if (count < 1) return;
  if (EffectiveFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT) {
    std::memcpy(pDest, pSource, static_cast<std::size_t>(count) * 4);
    return;
  }
  switch (format.Format.wBitsPerSample) {
    case 16:
      spConvert_16s32f(reinterpret_cast<const int16*>(pSource), pDest, count, 15);
      break;
    case 24:
      spConvert_24s32f(pSource, pDest, count);
      spDivConstInPlace_32f(8388608.0f, pDest, count);
      break;
    case 32:
      spConvertScaled_32s32f(reinterpret_cast<const int32*>(pSource), pDest, count, 31);
      break;
    default:
      break;
  }
}

void FloatToSamples(const WAVEFORMATEXTENSIBLE& format, const float* pSource, std::uint8_t* pDest,
                    std::int32_t count) {
  if (count < 1) return;
  if (EffectiveFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT) {
    std::memcpy(pDest, pSource, static_cast<std::size_t>(count) * 4);
    return;
  }
  switch (format.Format.wBitsPerSample) {
    case 16:
      spConvert_32f16s(pSource, reinterpret_cast<int16*>(pDest), count, SP_ROUND_ZERO, -15);
      break;
    case 24:
      spConvert_32f24s(pSource, pDest, count, -23);
      break;
    case 32:
      spConvert_32f32s(pSource, reinterpret_cast<int32*>(pDest), count, SP_ROUND_ZERO, -31);
      break;
    default:
      break;
  }
}

}  // namespace dsp

namespace {

// The float form of a format: PCM becomes 32-bit IEEE float of the same layout.
void MakeFloat(dsp::WAVEFORMATEXTENSIBLE* f) {
  if (dsp::EffectiveFormatTag(*f) == dsp::WAVE_FORMAT_IEEE_FLOAT) return;
  f->Format.wFormatTag = dsp::WAVE_FORMAT_IEEE_FLOAT;
  f->Format.wBitsPerSample = 32;
  f->Format.nBlockAlign = static_cast<std::uint16_t>(f->Format.nChannels * 4);
  f->Format.nAvgBytesPerSec = f->Format.nSamplesPerSec * f->Format.nBlockAlign;
}

}  // namespace

CDspSplitBlock::~CDspSplitBlock() {
  DspDelete(m_pChannelConversion);
  m_pChannelConversion = nullptr;
}

bool CDspSplitBlock::Process(std::int32_t /*channel*/, const float* /*pSource*/, std::int32_t* pCount) {
  if (pCount != nullptr) *pCount = 0;
  return false;
}

bool CDspSplitBlock::Init() {
  if (m_pChannelConversion != nullptr) return false;
  m_pChannelConversion = DspNew<CChannelConversion>(DSP_POOL_TAG_DSPS);
  if (m_pChannelConversion == nullptr || !m_pChannelConversion->Init()) return false;
  return CDspBlock::Init();
}

bool CDspSplitBlock::SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                               const dsp::WAVEFORMATEXTENSIBLE* pOutFormat) {
  if (pInFormat == nullptr || pOutFormat == nullptr || m_pChannelConversion == nullptr) return false;
  m_InFormat = *pInFormat;
  m_OutFormat = *pOutFormat;
  dsp::WAVEFORMATEXTENSIBLE in = *pInFormat;
  dsp::WAVEFORMATEXTENSIBLE out = *pOutFormat;
  MakeFloat(&in);
  MakeFloat(&out);
  return m_pChannelConversion->SetFormat(&in, &out);
}

std::int32_t CDspSplitBlock::InputRoom(const dsp::WAVEFORMATEXTENSIBLE& inFormat) const {
  const std::int32_t room = static_cast<std::int32_t>(inFormat.Format.nSamplesPerSec / 100) - m_nFill[0];
  return room > 0 ? room : 0;
}

void CDspSplitBlock::Append(float** ppDestinations, std::int32_t n) {
  const int touched = m_pChannelConversion == nullptr
                          ? 0
                          : (m_pChannelConversion->InChannels() > m_pChannelConversion->OutChannels()
                                 ? m_pChannelConversion->InChannels()
                                 : m_pChannelConversion->OutChannels());
  for (int c = 0; c < CHANNELS; ++c) {
    ppDestinations[c] = m_pBuffer[c] + m_nFill[c];
    if (c < touched) m_nFill[c] += n;
  }
}

void CDspSplitBlock::ConvertInInterleaved(const std::uint8_t* pSource, float* pWork, std::int32_t* pCount,
                                          const dsp::WAVEFORMATEXTENSIBLE* pInFormat) {
  std::int32_t n = *pCount;
  const std::int32_t room = InputRoom(*pInFormat);
  if (n > room) n = room;
  if (n < 0 || !m_bAllocated) n = 0;
  *pCount = n;
  if (n == 0) return;
  const int channels = pInFormat->Format.nChannels;
  dsp::SamplesToFloat(*pInFormat, pSource, pWork, n * channels);
  float* destinations[CHANNELS];
  Append(destinations, n);
  spDeinterleave_32f(pWork, channels, n, destinations);
  m_pChannelConversion->Process(destinations, n, CHANNEL_MODE_MATRIX);
}

void CDspSplitBlock::ConvertInPlanar(const std::uint8_t* const* ppSource, std::int32_t* pCount,
                                     const dsp::WAVEFORMATEXTENSIBLE* pInFormat) {
  std::int32_t n = *pCount;
  const std::int32_t room = InputRoom(*pInFormat);
  if (n > room) n = room;
  if (n < 0 || !m_bAllocated) n = 0;
  *pCount = n;
  if (n == 0) return;
  float* destinations[CHANNELS];
  Append(destinations, n);
  for (int c = 0; c < pInFormat->Format.nChannels; ++c)
    dsp::SamplesToFloat(*pInFormat, ppSource[c], destinations[c], n);
  m_pChannelConversion->Process(destinations, n, CHANNEL_MODE_MATRIX);
}
