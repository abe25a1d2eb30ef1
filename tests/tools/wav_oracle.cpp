// An oracle for the tool's end-to-end tests, independent of the tool and of libsndfile:
// its own RIFF reader and writer.
//
//   wav_oracle write FILE RATE CHANNELS BITS FRAMES SEED   pseudo-random PCM (16 or 24 bits)
//   wav_oracle crc FILE       "frames N crc32 0xXXXXXXXX" of the PCM data as stored
//   wav_oracle tone FILE      "rate R channels C frames N frequency F" (channel 0, from its
//                             rising zero crossings)
//   wav_oracle sine FILE      whether every sample of every channel is the simulated device's
//                             test tone (1 kHz at half scale, sample n = round(0.5 x (2^(bits-1)
//                             - 1) x sin(2 pi 1000 n / rate))) from one sample n on, in order:
//                             "sine from sample K: all N frames" or the first that is not
//   wav_oracle claim FILE DATA_BYTES   rewrites the header's data and RIFF lengths to claim
//                             DATA_BYTES (hex with 0x) whatever the file holds
// A data length of 0xFFFFFFFF is a streamed WAV's: the data runs to the end of the file
// ("streamed" follows crc's line).
#include <cmath>
#include <numbers>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Pcm {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0, bits = 0;
  std::vector<std::uint8_t> data;
  bool streamed = false;
};

std::uint32_t Le(const std::uint8_t* p, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint32_t(p[i]) << (8 * i);
  return v;
}

bool Read(const char* path, Pcm& pcm) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4)) return false;
  bool fmt = false;
  for (std::size_t at = 12; at + 8 <= b.size();) {
    std::uint32_t size = Le(&b[at + 4], 4);
    const std::size_t body = at + 8;
    if (!std::memcmp(&b[at], "data", 4) && size == 0xFFFFFFFFu) {
      pcm.streamed = true;
      size = static_cast<std::uint32_t>(b.size() - body);
    }
    if (size > b.size() - body) return false;
    if (!std::memcmp(&b[at], "fmt ", 4) && size >= 16) {
      pcm.channels = static_cast<std::uint16_t>(Le(&b[body + 2], 2));
      pcm.rate = Le(&b[body + 4], 4);
      pcm.bits = static_cast<std::uint16_t>(Le(&b[body + 14], 2));
      fmt = true;
    } else if (!std::memcmp(&b[at], "data", 4)) {
      pcm.data.assign(b.begin() + static_cast<std::ptrdiff_t>(body), b.begin() + static_cast<std::ptrdiff_t>(body + size));
      return fmt && pcm.channels && (pcm.bits == 16 || pcm.bits == 24);
    }
    at = body + size + (size & 1);
  }
  return false;
}

// Channel c of frame f, sign-extended.
std::int32_t SampleAt(const Pcm& pcm, std::size_t f, unsigned c) {
  const std::uint8_t* p = &pcm.data[(f * pcm.channels + c) * (pcm.bits / 8u)];
  return pcm.bits == 16 ? static_cast<std::int32_t>(static_cast<std::int16_t>(Le(p, 2)))
                        : static_cast<std::int32_t>(Le(p, 3) << 8) >> 8;
}

std::uint32_t Crc32(const std::vector<std::uint8_t>& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

int Write(const char* path, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits, std::uint32_t frames,
          std::uint32_t seed) {
  if (bits != 16 && bits != 24) return 2;
  const std::uint32_t bytes = frames * channels * (bits / 8u);
  std::vector<std::uint8_t> out;
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  put(36 + bytes, 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put(16, 4);
  put(1, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * (bits / 8u), 4);
  put(channels * (bits / 8u), 2);
  put(bits, 2);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  put(bytes, 4);
  std::uint32_t x = seed ? seed : 1;
  for (std::uint32_t i = 0; i < frames * channels; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    put(x, bits / 8);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return 0;
}

int Claim(const char* path, std::uint32_t dataBytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() < 44 || std::memcmp(&b[36], "data", 4)) return 2;
  const std::uint32_t riff = dataBytes == 0xFFFFFFFFu ? dataBytes : dataBytes + 36;
  for (int i = 0; i < 4; ++i) {
    b[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));
    b[40 + i] = static_cast<std::uint8_t>(dataBytes >> (8 * i));
  }
  f.clear();
  f.seekp(0);
  f.write(reinterpret_cast<const char*>(b.data()), 44);
  return f ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && !std::strcmp(argv[1], "claim"))
    return Claim(argv[2], static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0)));
  if (argc == 8 && !std::strcmp(argv[1], "write"))
    return Write(argv[2], static_cast<std::uint32_t>(std::atol(argv[3])), static_cast<std::uint16_t>(std::atoi(argv[4])),
                 static_cast<std::uint16_t>(std::atoi(argv[5])), static_cast<std::uint32_t>(std::atol(argv[6])),
                 static_cast<std::uint32_t>(std::atol(argv[7])));
  Pcm pcm;
  if (argc != 3 || !Read(argv[2], pcm)) {
    std::fprintf(stderr, "wav_oracle: usage or unreadable 16/24-bit PCM WAV\n");
    return 2;
  }
  const unsigned frameBytes = pcm.channels * (pcm.bits / 8u);
  const std::size_t frames = pcm.data.size() / frameBytes;
  if (!std::strcmp(argv[1], "crc")) {
    std::printf("frames %zu crc32 0x%08x%s\n", frames, Crc32(pcm.data), pcm.streamed ? " streamed" : "");
    return 0;
  }
  if (!std::strcmp(argv[1], "tone")) {
    // Rising zero crossings of channel 0, placed between samples by linear interpolation;
    // the frequency is the crossings' count over the time between the first and the last.
    double first = -1, last = -1;
    long crossings = 0;
    double previous = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      const double s = SampleAt(pcm, f, 0);
      if (f > 0 && previous < 0 && s >= 0) {
        const double t = static_cast<double>(f) - s / (s - previous);
        if (first < 0) first = t;
        last = t;
        ++crossings;
      }
      previous = s;
    }
    const double hz = crossings > 1 ? (crossings - 1) * pcm.rate / (last - first) : 0.0;
    std::printf("rate %u channels %u frames %zu frequency %.2f\n", pcm.rate, pcm.channels, frames, hz);
    return 0;
  }
  if (!std::strcmp(argv[1], "sine")) {
    auto sample = [&](std::size_t f, unsigned c) { return SampleAt(pcm, f, c); };
    const double full = std::ldexp(1.0, pcm.bits - 1) - 1.0;
    auto tone = [&](std::uint64_t n) {
      return static_cast<std::int32_t>(
          std::llround(0.5 * full * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(n) / pcm.rate)));
    };
    // The first sample n whose tone the file's first frames (64 at most) are.
    const std::size_t probe = frames < 64 ? frames : 64;
    std::uint64_t start = 0;
    bool found = false;
    for (; !found && start < 10ull * pcm.rate; ++start) {
      found = true;
      for (std::size_t f = 0; f < probe && found; ++f)
        for (unsigned c = 0; c < pcm.channels && found; ++c) found = sample(f, c) == tone(start + f);
    }
    if (!found || frames == 0) {
      std::printf("no sine start in the first %zu frames\n", probe);
      return 1;
    }
    --start;
    for (std::size_t f = 0; f < frames; ++f)
      for (unsigned c = 0; c < pcm.channels; ++c)
        if (sample(f, c) != tone(start + f)) {
          std::printf("sine from sample %llu: frame %zu channel %u is %d, the tone has %d\n",
                      static_cast<unsigned long long>(start), f, c, sample(f, c), tone(start + f));
          return 1;
        }
    std::printf("sine from sample %llu: all %zu frames\n", static_cast<unsigned long long>(start), frames);
    return 0;
  }
  std::fprintf(stderr, "wav_oracle: unknown mode %s\n", argv[1]);
  return 2;
}
