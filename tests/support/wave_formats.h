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

// The audio data range a client asks a pin's intersection for: PCM (or `subFormat`) with
// a WAVEFORMATEX specifier, up to `channels`, `bits` wide, at rates minRate..maxRate.
inline KSDATARANGE_AUDIO PcmDataRange(ULONG channels, ULONG bits, ULONG minRate, ULONG maxRate,
                                      const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = subFormat;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = channels;
  r.MinimumBitsPerSample = r.MaximumBitsPerSample = bits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

}  // namespace platform::testing
