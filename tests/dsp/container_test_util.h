// Helpers of the container tests: sample encoding and decoding (independent of the
// conversion code), expected frame counts of a stage plan, and a driver that runs an
// interleaved container in calls of given sizes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/interleave_src.h"
#include "dsp_test_util.h"

namespace dsp_test {

inline const std::uint32_t kRates[6] = {44100, 48000, 88200, 96000, 176400, 192000};

// Encodes a value of full scale +-1.0 (PCM: rounded to nearest, clamped).
inline void Encode(Enc e, double v, std::uint8_t* p) {
  if (e == Enc::Float) {
    const float f = static_cast<float>(v);
    std::memcpy(p, &f, 4);
    return;
  }
  const int bits = EncBytes(e) * 8;
  const double scale = std::ldexp(1.0, bits - 1);
  const double r = std::clamp(std::nearbyint(v * scale), -scale, scale - 1);
  const auto i = static_cast<std::int64_t>(r);
  for (int b = 0; b < EncBytes(e); ++b) p[b] = static_cast<std::uint8_t>((i >> (8 * b)) & 0xFF);
}

inline double Decode(Enc e, const std::uint8_t* p) {
  if (e == Enc::Float) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  const int n = EncBytes(e);
  std::int64_t i = 0;
  for (int b = 0; b < n; ++b) i |= static_cast<std::int64_t>(p[b]) << (8 * b);
  if (i & (std::int64_t{1} << (8 * n - 1))) i -= std::int64_t{1} << (8 * n);
  return std::ldexp(static_cast<double>(i), -(8 * n - 1));
}

// Interleaved frames of a tone on every channel (channel c scaled by 1 - c/16).
inline std::vector<std::uint8_t> ToneFrames(Enc e, int channels, std::uint32_t rate, double freq, int frames,
                                            double amplitude = 0.5) {
  std::vector<std::uint8_t> v(static_cast<size_t>(frames) * channels * EncBytes(e));
  std::uint8_t* p = v.data();
  for (int i = 0; i < frames; ++i) {
    const double s = amplitude * std::sin(2 * 3.14159265358979323846 * freq * i / rate);
    for (int c = 0; c < channels; ++c, p += EncBytes(e)) Encode(e, s * (1.0 - c / 16.0), p);
  }
  return v;
}

inline std::vector<double> Channel(Enc e, int channels, const std::vector<std::uint8_t>& bytes, int c) {
  const size_t frameBytes = static_cast<size_t>(channels) * EncBytes(e);
  std::vector<double> v(bytes.size() / frameBytes);
  for (size_t i = 0; i < v.size(); ++i) v[i] = Decode(e, bytes.data() + i * frameBytes + c * EncBytes(e));
  return v;
}

// Frames a stage plan yields for n input frames when every stage passes on all it can.
inline long long ExpectedFrames(std::uint32_t in, std::uint32_t out, long long n) {
  const auto index = [](std::uint32_t r) { return static_cast<int>(std::find(kRates, kRates + 6, r) - kRates); };
  const int a = index(in), b = index(out);
  const bool inFamily48 = a % 2 == 1, outFamily48 = b % 2 == 1;
  const int inScale = 1 << (a / 2), outScale = 1 << (b / 2);
  // Down: integer step first, then the 147:160 step; up: 147:160 first.
  if (inScale > outScale) n /= inScale / outScale;
  if (inFamily48 && !outFamily48) n = (n * 147 + 159) / 160;
  if (!inFamily48 && outFamily48) n = (n * 160 + 146) / 147;
  if (outScale > inScale) n *= outScale / inScale;
  return n;
}

// Runs a container over the input in calls whose input sizes and output rooms cycle
// through the given patterns, until all input is consumed; returns the output bytes.
// Frames still buffered in the chain at the end are not returned (the interleaved
// container hands them out with later input).
inline std::vector<std::uint8_t> Drive(CDspInterleaveSrc& src, const dsp::WAVEFORMATEXTENSIBLE& in,
                                       const dsp::WAVEFORMATEXTENSIBLE& out, const std::vector<std::uint8_t>& input,
                                       const std::vector<int>& inCalls, const std::vector<int>& outRooms) {
  std::vector<std::uint8_t> output;
  const int inAlign = in.Format.nBlockAlign, outAlign = out.Format.nBlockAlign;
  const long long frames = static_cast<long long>(input.size()) / inAlign;
  long long consumed = 0;
  for (size_t call = 0; consumed < frames; ++call) {
    if (call > 1000000) {
      ADD_FAILURE() << "no progress";
      break;
    }
    const int offer = static_cast<int>(std::min<long long>(inCalls[call % inCalls.size()], frames - consumed));
    const int room = outRooms[call % outRooms.size()];
    // Exactly sized copies, so reads or writes past them show under the sanitizers.
    std::vector<std::uint8_t> part(input.begin() + consumed * inAlign, input.begin() + (consumed + offer) * inAlign);
    std::vector<std::uint8_t> dst(static_cast<size_t>(room) * outAlign + 1);
    std::int32_t inCount = offer, outCount = room;
    EXPECT_TRUE(src.Process(part.data(), &inCount, dst.data(), &outCount));
    EXPECT_GE(inCount, 0);
    EXPECT_LE(inCount, offer);
    EXPECT_GE(outCount, 0);
    EXPECT_LE(outCount, room);
    consumed += inCount;
    output.insert(output.end(), dst.begin(), dst.begin() + static_cast<long>(outCount) * outAlign);
  }
  return output;
}

}  // namespace dsp_test
