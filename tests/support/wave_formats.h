// Extensible wave formats for tests: the fields a stream engine reads, filled
// consistently (block alignment and byte rate from the channels, rate and container).
#pragma once

#include "portcls/ksmedia.h"

namespace platform::testing {

// `validBits` 0: the container's width. The channel mask defaults to stereo for two
// channels and mono otherwise.
inline WAVEFORMATEXTENSIBLE ExtensibleFormat(WORD channels, ULONG rate, WORD bits,
                                             const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM, WORD validBits = 0) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = validBits ? validBits : bits;
  f.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : KSAUDIO_SPEAKER_MONO;
  f.SubFormat = subFormat;
  return f;
}

}  // namespace platform::testing
