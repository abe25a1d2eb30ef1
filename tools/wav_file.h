// WAV files through libsndfile: integer PCM as interleaved signed samples at the file's
// resolution (a 16-bit file's samples run from -32768 to 32767).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tools {

struct WavAudio {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bits = 0;      // 8, 16, 24 or 32 for PCM; 32 or 64 for floating point
  bool floating = false;       // floating-point samples (not played: no device takes them)
  std::vector<std::int32_t> samples;  // interleaved; empty for floating point
  // Where the file disagrees with its own header (a data length past its end, data past
  // the length, no length), one line each; what is played is said in the line.
  std::vector<std::string> warnings;

  std::uint64_t frames() const { return channels ? samples.size() / channels : 0; }
};

// false with the reason: a file that cannot be opened, is no sound file libsndfile knows,
// or holds no audio (also by a header that claims none while data follows).
bool ReadWav(const std::string& path, WavAudio& out, std::string& error);
// Writes a PCM WAV (8, 16, 24 or 32 bits); false with the reason.
bool WriteWav(const std::string& path, const WavAudio& audio, std::string& error);

// A PCM WAV written as the audio arrives: Open writes the header, Write appends samples,
// Close fills in the lengths. "-" writes to standard output; a pipe cannot be rewound, so
// its header keeps the lengths of a stream of unknown length (0xFFFFFFFF), as readers of
// streamed WAV expect.
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  bool Open(const std::string& path, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
            std::string& error);
  bool Write(const std::int32_t* samples, std::size_t count, std::string& error);
  // Finalises the header where the file can be rewound; false with the reason.
  bool Close(std::string& error);
  bool seekable() const { return seekable_; }
  std::uint64_t frames() const { return channels_ ? samples_ / channels_ : 0; }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  bool seekable_ = false;
  bool ownsFile_ = false;
  std::uint32_t rate_ = 0;
  std::uint16_t channels_ = 0, bits_ = 0;
  std::uint64_t samples_ = 0;
  std::vector<std::uint8_t> bytes_;  // one Write's samples as stored
};

// CRC-32 (the IEEE polynomial, as zip and PNG use it) of samples as the device and a WAV
// file hold them: each sample little-endian in bits / 8 bytes.
// `previous` continues the CRC of samples that came before (as zlib's crc32 does).
std::uint32_t PcmCrc32(const std::int32_t* samples, std::size_t count, unsigned bits, std::uint32_t previous = 0);

}  // namespace tools
