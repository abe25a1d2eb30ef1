// Channel-count conversion of planar float audio, in place.
//
// Positions: 0/1 front pair; with 6 or 8 channels 2 centre, 3 low frequency, 4/5 and
// 6/7 the further pairs; with 4 channels 2/3 the rear pair. Two gain modes:
// CHANNEL_MODE_MATRIX folds the surround pairs with 0.871/0.49 and subtracts them on
// the left; CHANNEL_MODE_DISCRETE adds them with 1.0/0.0 on both sides. Some up-mixes
// write channels beyond the output count (from 4 channels, channels 4 and 5 always), so
// all eight channel pointers must be valid.
#pragma once

#include <cstdint>

#include "dsp/wave_format.h"

inline constexpr std::uint8_t CHANNEL_MODE_MATRIX = 0;
inline constexpr std::uint8_t CHANNEL_MODE_DISCRETE = 1;

// The fill of new channels in ConvertChannelCount: the float nearest 1e-12, so that the
// effects behind it never see exact zeros.
inline constexpr float CHANNEL_FILL_VALUE = 1e-12f;

class CChannelConversion {
 public:
  CChannelConversion();

  // False when already initialised.
  bool Init();
  // Both formats must be IEEE float with 1 to 8 channels; a refused pair leaves the
  // stored formats unchanged.
  bool SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat, const dsp::WAVEFORMATEXTENSIBLE* pOutFormat);
  // Converts the stored input channel count to the output count over frames frames; new
  // channels become 0. Always true.
  bool Process(float* const* ppChannels, std::int32_t frames, std::uint8_t mode);

  std::uint16_t InChannels() const { return m_InFormat.Format.nChannels; }
  std::uint16_t OutChannels() const { return m_OutFormat.Format.nChannels; }

 private:
  dsp::WAVEFORMATEXTENSIBLE m_InFormat;
  dsp::WAVEFORMATEXTENSIBLE m_OutFormat;
  std::uint8_t m_bInitialised;
};

// The stateless form the effect nodes use to fold a stream to stereo: folds to one
// channel go through the fold to two, and new channels are filled with
// CHANNEL_FILL_VALUE (a 1 -> n up-mix does nothing).
void ConvertChannelCount(float* const* ppChannels, std::uint32_t inChannels, std::uint32_t outChannels,
                         std::uint32_t frames, std::uint8_t mode);
