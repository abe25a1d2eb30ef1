// Wave formats as the conversion chain reads them, and the NTSTATUS values it returns.
//
// The DSP depends on no platform header, so it carries its own copies of the 18-byte
// WAVEFORMATEX and the 40-byte WAVEFORMATEXTENSIBLE, byte for byte the layouts the audio
// stack exchanges. A caller holding the platform's structure copies it in (memcpy of 40
// bytes, see DspFormatFrom).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Most channels the software DSP processes.
inline constexpr int MAX_SOFTWARE_DSP_PROCESS_CHANNELS = 8;

namespace dsp {

using NTSTATUS = std::int32_t;
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = static_cast<NTSTATUS>(0x80000005u);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001u);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

#pragma pack(push, 1)
struct WAVEFORMATEX {
  std::uint16_t wFormatTag;
  std::uint16_t nChannels;
  std::uint32_t nSamplesPerSec;
  std::uint32_t nAvgBytesPerSec;
  std::uint16_t nBlockAlign;
  std::uint16_t wBitsPerSample;
  std::uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    std::uint16_t wValidBitsPerSample;
    std::uint16_t wSamplesPerBlock;
    std::uint16_t wReserved;
  } Samples;
  std::uint32_t dwChannelMask;
  GUID SubFormat;
};
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);

// The format tag that decides the encoding: wFormatTag, or for the extensible form the
// first 16 bits of SubFormat.
inline std::uint16_t EffectiveFormatTag(const WAVEFORMATEXTENSIBLE& f) {
  if (f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return static_cast<std::uint16_t>(f.SubFormat.Data1);
  return f.Format.wFormatTag;
}

// A copy of any 40-byte structure of the same layout (the platform's
// WAVEFORMATEXTENSIBLE).
template <class T>
inline WAVEFORMATEXTENSIBLE DspFormatFrom(const T& format) {
  static_assert(sizeof(T) == sizeof(WAVEFORMATEXTENSIBLE));
  WAVEFORMATEXTENSIBLE f;
  std::memcpy(&f, &format, sizeof f);
  return f;
}

}  // namespace dsp
