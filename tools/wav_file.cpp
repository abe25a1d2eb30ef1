#include "wav_file.h"

#include <sndfile.h>

#include <filesystem>

namespace tools {
namespace {

// libsndfile closes the handle when this goes.
struct SndFile {
  SNDFILE* file = nullptr;
  ~SndFile() {
    if (file) sf_close(file);
  }
};

unsigned BitsOf(int format, bool& floating) {
  floating = false;
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return 8;
    case SF_FORMAT_PCM_16: return 16;
    case SF_FORMAT_PCM_24: return 24;
    case SF_FORMAT_PCM_32: return 32;
    case SF_FORMAT_FLOAT: floating = true; return 32;
    case SF_FORMAT_DOUBLE: floating = true; return 64;
    default: return 0;
  }
}

}  // namespace

bool ReadWav(const std::string& path, WavAudio& out, std::string& error) {
  out = WavAudio{};
  SF_INFO info{};
  SndFile f;
  f.file = sf_open(path.c_str(), SFM_READ, &info);
  if (!f.file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
      error = path + ": cannot open the file";
    else
      error = path + ": not a sound file libsndfile reads (" + sf_strerror(nullptr) + ")";
    return false;
  }
  bool floating = false;
  const unsigned bits = BitsOf(info.format, floating);
  if (bits == 0) {
    error = path + ": the samples are not PCM or floating point (compressed or unknown encoding)";
    return false;
  }
  if (info.channels < 1 || info.channels > 64 || info.samplerate < 1) {
    error = path + ": " + std::to_string(info.channels) + " channels at " + std::to_string(info.samplerate) +
            " Hz is not a stream";
    return false;
  }
  // Ten minutes at 192 kHz in 8 channels is the most a run takes.
  constexpr sf_count_t kMaxSamples = sf_count_t(600) * 192000 * 8;
  if (info.frames < 1 || info.frames * info.channels > kMaxSamples) {
    error = path + (info.frames < 1 ? ": holds no audio" : ": too long to play (more than ten minutes)");
    return false;
  }
  out.rate = static_cast<std::uint32_t>(info.samplerate);
  out.channels = static_cast<std::uint16_t>(info.channels);
  out.bits = static_cast<std::uint16_t>(bits);
  out.floating = floating;
  if (floating) return true;
  std::vector<int> raw(static_cast<std::size_t>(info.frames * info.channels));
  const sf_count_t got = sf_readf_int(f.file, raw.data(), info.frames);
  if (got < 1) {
    error = path + ": holds no readable audio";
    return false;
  }
  raw.resize(static_cast<std::size_t>(got * info.channels));
  // libsndfile hands integers left-justified in 32 bits; the device holds them at the
  // file's resolution.
  out.samples.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) out.samples[i] = raw[i] >> (32 - bits);
  return true;
}

bool WriteWav(const std::string& path, const WavAudio& audio, std::string& error) {
  int sub = 0;
  switch (audio.bits) {
    case 8: sub = SF_FORMAT_PCM_U8; break;
    case 16: sub = SF_FORMAT_PCM_16; break;
    case 24: sub = SF_FORMAT_PCM_24; break;
    case 32: sub = SF_FORMAT_PCM_32; break;
    default: error = path + ": cannot write " + std::to_string(audio.bits) + "-bit samples"; return false;
  }
  SF_INFO info{};
  info.samplerate = static_cast<int>(audio.rate);
  info.channels = audio.channels;
  info.format = SF_FORMAT_WAV | sub;
  if (!sf_format_check(&info)) {
    error = path + ": libsndfile cannot write this format";
    return false;
  }
  SndFile f;
  f.file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f.file) {
    error = path + ": cannot write the file: " + sf_strerror(nullptr);
    return false;
  }
  std::vector<int> raw(audio.samples.size());
  for (std::size_t i = 0; i < raw.size(); ++i)
    raw[i] = static_cast<int>(static_cast<std::uint32_t>(audio.samples[i]) << (32 - audio.bits));
  const sf_count_t frames = static_cast<sf_count_t>(audio.frames());
  if (sf_writef_int(f.file, raw.data(), frames) != frames) {
    error = path + ": writing failed: " + sf_strerror(f.file);
    return false;
  }
  return true;
}

std::uint32_t PcmCrc32(const std::int32_t* samples, std::size_t count, unsigned bits) {
  static const auto kTable = [] {
    struct T { std::uint32_t v[256]; } t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t.v[n] = c;
    }
    return t;
  }();
  const unsigned bytes = bits / 8;
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < count; ++i) {
    auto v = static_cast<std::uint32_t>(samples[i]);
    // 8-bit WAV samples are unsigned (offset 128) on disk.
    if (bits == 8) v += 128;
    for (unsigned b = 0; b < bytes; ++b) crc = kTable.v[(crc ^ (v >> (8 * b))) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace tools
