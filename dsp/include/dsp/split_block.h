// The format block: first stage of every conversion chain. It converts incoming PCM or
// float data, interleaved or planar, into its per-channel float buffers (full scale
// +-1.0) and runs the channel conversion over what it has just taken in. It takes at
// most 10 ms of input at a time, counting what it still holds.
#pragma once

#include <cstdint>

#include "dsp/channel_conversion.h"
#include "dsp/dsp_block.h"

class CDspSplitBlock : public CDspBlock {
 public:
  CDspSplitBlock() : m_InFormat{}, m_OutFormat{}, m_pChannelConversion(nullptr) {}
  ~CDspSplitBlock() override;

  std::int32_t GetUpStateSize() override { return 4; }
  std::int32_t GetDownStateSize() override { return 4; }
  // Never a destination stage.
  bool Process(std::int32_t channel, const float* pSource, std::int32_t* pCount) override;

  // Allocates the channel conversion (pool tag "DSPS"), then the block buffers.
  bool Init();
  // Keeps copies of the formats and sets the channel conversion up for their float
  // forms; false when the channel conversion refuses them.
  bool SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat, const dsp::WAVEFORMATEXTENSIBLE* pOutFormat);
  // Largest frame count the next input call takes: 10 ms of input less what channel 0
  // still holds.
  std::int32_t InputRoom(const dsp::WAVEFORMATEXTENSIBLE& inFormat) const;
  // Converts up to *pCount interleaved frames (lowered to InputRoom; out: frames taken)
  // through pWork, which must hold InputRoom frames of floats.
  void ConvertInInterleaved(const std::uint8_t* pSource, float* pWork, std::int32_t* pCount,
                            const dsp::WAVEFORMATEXTENSIBLE* pInFormat);
  // The same from one array per channel (samples of the input encoding).
  void ConvertInPlanar(const std::uint8_t* const* ppSource, std::int32_t* pCount,
                       const dsp::WAVEFORMATEXTENSIBLE* pInFormat);

 private:
  // The channel buffers at their fill positions; the fills of every channel the
  // conversion touches grow by n.
  void Append(float** ppDestinations, std::int32_t n);

  dsp::WAVEFORMATEXTENSIBLE m_InFormat;
  dsp::WAVEFORMATEXTENSIBLE m_OutFormat;
  CChannelConversion* m_pChannelConversion;
};

// Sample-format conversions shared by the input and output sides. Encodings are
// little-endian: PCM 16, 24 (packed) or 32-bit signed, IEEE float 32-bit.
namespace dsp {
// count samples of the format's encoding to float: PCM full scale maps to +-1.0
// exactly (-32768 -> -1.0). Any other encoding converts nothing.
void SamplesToFloat(const WAVEFORMATEXTENSIBLE& format, const std::uint8_t* pSource, float* pDest,
                    std::int32_t count);
// count floats to the format's encoding: 16 and 32-bit PCM truncate toward zero, 24-bit
// rounds half to even; all saturate.
void FloatToSamples(const WAVEFORMATEXTENSIBLE& format, const float* pSource, std::uint8_t* pDest,
                    std::int32_t count);
// Bytes of one sample of the format (4 for float whatever wBitsPerSample says).
std::int32_t SampleBytes(const WAVEFORMATEXTENSIBLE& format);
}  // namespace dsp
