// Conversion container for interleaved audio: the capture road of the WaveCyclic stream
// converts the device's format (PCM 16/24/32-bit or float, any of the six rates) into
// the client's format through it. Input that is not consumed stays with the caller;
// converted frames that did not fit stay in the chain and come out first next time.
#pragma once

#include <cstdint>

#include "dsp/conversion_chain.h"

class CDspInterleaveSrc : public CDspConversionChain {
 public:
  // Bytes of the work buffer: 3,840 frames of 8 float channels.
  static constexpr std::int32_t WORK_BUFFER_BYTES = 0x1E000;

  CDspInterleaveSrc() : CDspConversionChain("CDspInterleaveSrc::SetFormat", "m_pSplit") {}
  ~CDspInterleaveSrc();

  // Creates the blocks and the work buffer ("DSPS"); false when called twice or on any
  // failure (the destructor frees what was allocated).
  bool Init();
  // Both formats: PCM 16/24/32 or float 32, one of the six rates, equal channel counts
  // from 1 to 8, nBlockAlign = nChannels x bytes per sample.
  bool SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat, const dsp::WAVEFORMATEXTENSIBLE* pOutFormat);
  // *pInFrames / *pOutFrames in: frames offered and room; out: frames consumed and
  // written. False, counts unchanged, when not configured.
  bool Process(const std::uint8_t* pInput, std::int32_t* pInFrames, std::uint8_t* pOutput,
               std::int32_t* pOutFrames);

 private:
  // Writes count frames of the last stage in the output format.
  void ConvertOut(std::uint8_t* pOutput, std::int32_t count);

  float* m_pOutChannels[CDspBlock::CHANNELS] = {};
  float* m_pWork = nullptr;
};
