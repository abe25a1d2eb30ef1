// WAV files through libsndfile: integer PCM as interleaved signed samples at the file's
// resolution (a 16-bit file's samples run from -32768 to 32767).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

struct WavAudio {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bits = 0;      // 8, 16, 24 or 32 for PCM; 32 or 64 for floating point
  bool floating = false;       // floating-point samples (not played: no device takes them)
  std::vector<std::int32_t> samples;  // interleaved; empty for floating point

  std::uint64_t frames() const { return channels ? samples.size() / channels : 0; }
};

// false with the reason: a file that cannot be opened, is no sound file libsndfile knows,
// or holds no audio.
bool ReadWav(const std::string& path, WavAudio& out, std::string& error);
// Writes a PCM WAV (8, 16, 24 or 32 bits); false with the reason.
bool WriteWav(const std::string& path, const WavAudio& audio, std::string& error);

// CRC-32 (the IEEE polynomial, as zip and PNG use it) of samples as the device and a WAV
// file hold them: each sample little-endian in bits / 8 bytes.
std::uint32_t PcmCrc32(const std::int32_t* samples, std::size_t count, unsigned bits);

}  // namespace tools
