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

std::uint32_t Le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

// A WAV file's data chunk as its header gives it, and what the file holds around it.
struct DataChunk {
  bool found = false;
  std::uint64_t offset = 0;   // of the samples
  std::uint32_t claimed = 0;  // the chunk's length field
  std::uint64_t present = 0;  // bytes from the samples to the end of the file
  std::uint64_t trailing = 0;  // bytes after the chunk that are no chunk of their own
};

// Walks the RIFF chunks of a WAV file; nothing found for other files.
DataChunk FindDataChunk(const std::string& path) {
  DataChunk d;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return d;
  std::uint8_t head[12];
  std::error_code ec;
  const std::uint64_t size = std::filesystem::file_size(path, ec);
  if (ec || std::fread(head, 1, 12, f) != 12 || std::memcmp(head, "RIFF", 4) || std::memcmp(head + 8, "WAVE", 4)) {
    std::fclose(f);
    return d;
  }
  std::uint64_t at = 12;
  auto isId = [](const std::uint8_t* id) {
    for (int i = 0; i < 4; ++i)
      if (id[i] < 0x20 || id[i] > 0x7E) return false;
    return true;
  };
  std::uint8_t chunk[8];
  while (at + 8 <= size && !std::fseek(f, static_cast<long>(at), SEEK_SET) && std::fread(chunk, 1, 8, f) == 8) {
    const std::uint32_t length = Le32(chunk + 4);
    if (!d.found && !std::memcmp(chunk, "data", 4)) {
      d.found = true;
      d.offset = at + 8;
      d.claimed = length;
      d.present = size - d.offset;
      if (length == 0xFFFFFFFFu || length > d.present) break;
    } else if (d.found && (!isId(chunk) || at + 8 + length > size)) {
      d.trailing = size - at;  // not a chunk: more samples, likely
      break;
    }
    at += 8 + std::uint64_t(length) + (length & 1);
  }
  if (d.found && !d.trailing && at < size && at > d.offset) d.trailing = size - at;
  std::fclose(f);
  return d;
}

}  // namespace

bool ReadWav(const std::string& path, WavAudio& out, std::string& error) {
  out = WavAudio{};
  SF_INFO info{};
  SndFile f;
  const DataChunk chunk = FindDataChunk(path);
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
  if (chunk.found && chunk.claimed == 0 && chunk.trailing) {
    error = path + ": the header's data length is 0, yet " + std::to_string(chunk.trailing) +
            " bytes follow it; nothing sensible to play";
    return false;
  }
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
  if (chunk.found) {
    const std::uint64_t frameBytes = std::uint64_t(info.channels) * ((bits + 7) / 8);
    const auto frames = [&](std::uint64_t bytes) { return std::to_string(bytes / frameBytes); };
    const std::string playing = "; playing the " + std::to_string(got) + " frames it holds";
    if (chunk.claimed == 0xFFFFFFFFu)
      out.warnings.push_back(path + ": the header gives no data length (0xFFFFFFFF, as a streamed WAV has)" + playing);
    else if (chunk.claimed > chunk.present)
      out.warnings.push_back(path + ": the header claims " + frames(chunk.claimed) + " frames, but the file holds " +
                             frames(chunk.present) + playing);
    else if (chunk.trailing)
      out.warnings.push_back(path + ": " + std::to_string(chunk.trailing) + " bytes (" + frames(chunk.trailing) +
                             " frames) follow the data length the header claims; playing the " +
                             std::to_string(got) + " frames it claims");
  }
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
  if (count == 0) return true;
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
