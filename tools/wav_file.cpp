#include "wav_file.h"

#include <sndfile.h>

#include <cerrno>
#include <cstring>
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

namespace {

constexpr std::uint32_t kUnknownLength = 0xFFFFFFFFu;
constexpr long kHeaderBytes = 44;

void PutLe(std::uint8_t* at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The 44-byte header of a plain PCM WAV with `dataBytes` of samples.
std::vector<std::uint8_t> Header(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                                 std::uint32_t dataBytes) {
  std::vector<std::uint8_t> h(kHeaderBytes);
  const std::uint16_t block = static_cast<std::uint16_t>(channels * bits / 8);
  std::memcpy(&h[0], "RIFF", 4);
  PutLe(&h[4], dataBytes == kUnknownLength ? kUnknownLength : dataBytes + 36, 4);
  std::memcpy(&h[8], "WAVEfmt ", 8);
  PutLe(&h[16], 16, 4);
  PutLe(&h[20], 1, 2);  // integer PCM
  PutLe(&h[22], channels, 2);
  PutLe(&h[24], rate, 4);
  PutLe(&h[28], rate * block, 4);
  PutLe(&h[32], block, 2);
  PutLe(&h[34], bits, 2);
  std::memcpy(&h[36], "data", 4);
  PutLe(&h[40], dataBytes, 4);
  return h;
}

}  // namespace

WavWriter::~WavWriter() {
  std::string ignored;
  Close(ignored);
}

bool WavWriter::Open(const std::string& path, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                     std::string& error) {
  if ((bits != 8 && bits != 16 && bits != 24 && bits != 32) || channels == 0 || rate == 0) {
    error = path + ": cannot write " + std::to_string(bits) + "-bit samples in " + std::to_string(channels) +
            " channels";
    return false;
  }
  path_ = path;
  rate_ = rate;
  channels_ = channels;
  bits_ = bits;
  samples_ = 0;
  if (path == "-") {
    file_ = stdout;
    ownsFile_ = false;
  } else {
    std::error_code ec;
    file_ = std::filesystem::is_directory(path, ec) ? nullptr : std::fopen(path.c_str(), "wb");
    if (!file_) {
      error = path + ": cannot write the file: " + std::strerror(errno ? errno : EISDIR);
      return false;
    }
    ownsFile_ = true;
  }
  seekable_ = std::fseek(file_, 0, SEEK_CUR) == 0 && std::ftell(file_) == 0;
  const auto header = Header(rate, channels, bits, seekable_ ? 0 : kUnknownLength);
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() || std::fflush(file_)) {
    error = path + ": writing failed: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool WavWriter::Write(const std::int32_t* samples, std::size_t count, std::string& error) {
  if (!file_) {
    error = path_ + ": not open";
    return false;
  }
  const unsigned bytes = bits_ / 8;
  bytes_.resize(count * bytes);
  for (std::size_t i = 0; i < count; ++i) {
    // 8-bit WAV samples are unsigned (offset 128).
    const auto v = static_cast<std::uint32_t>(samples[i]) + (bits_ == 8 ? 128u : 0u);
    PutLe(&bytes_[i * bytes], v, static_cast<int>(bytes));
  }
  if (std::fwrite(bytes_.data(), 1, bytes_.size(), file_) != bytes_.size() || std::fflush(file_)) {
    error = path_ + ": writing failed: " + std::strerror(errno);
    return false;
  }
  samples_ += count;
  return true;
}

bool WavWriter::Close(std::string& error) {
  if (!file_) return true;
  bool ok = true;
  const std::uint64_t dataBytes = samples_ * (bits_ / 8);
  if (seekable_) {
    if (dataBytes > 0xFFFFFFFFull - 36) {
      error = path_ + ": more than 4 GiB of samples do not fit a WAV header";
      ok = false;
    } else {
      // An odd data chunk is padded to a whole word.
      if (dataBytes & 1) ok = std::fputc(0, file_) != EOF;
      const auto header = Header(rate_, channels_, bits_, static_cast<std::uint32_t>(dataBytes));
      ok = ok && std::fseek(file_, 0, SEEK_SET) == 0 &&
           std::fwrite(header.data(), 1, header.size(), file_) == header.size();
    }
  }
  ok = std::fflush(file_) == 0 && ok;
  if (!ok && error.empty()) error = path_ + ": writing failed: " + std::strerror(errno);
  if (ownsFile_ && std::fclose(file_) != 0 && ok) {
    error = path_ + ": writing failed: " + std::strerror(errno);
    ok = false;
  }
  file_ = nullptr;
  return ok;
}

bool WriteWav(const std::string& path, const WavAudio& audio, std::string& error) {
  WavWriter writer;
  return writer.Open(path, audio.rate, audio.channels, audio.bits, error) &&
         writer.Write(audio.samples.data(), audio.samples.size(), error) && writer.Close(error);
}

std::uint32_t PcmCrc32(const std::int32_t* samples, std::size_t count, unsigned bits, std::uint32_t previous) {
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
  std::uint32_t crc = previous ^ 0xFFFFFFFFu;
  for (std::size_t i = 0; i < count; ++i) {
    auto v = static_cast<std::uint32_t>(samples[i]);
    // 8-bit WAV samples are unsigned (offset 128) on disk.
    if (bits == 8) v += 128;
    for (unsigned b = 0; b < bytes; ++b) crc = kTable.v[(crc ^ (v >> (8 * b))) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace tools
