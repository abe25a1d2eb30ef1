// Float/PCM conversions: the generic bodies against an exact long-double oracle, the
// processor builds against the generic ones, and the edge cases of each conversion.

#include <gtest/gtest.h>
#include <immintrin.h>

#include <cfenv>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "convert_builds.h"

namespace {

using sptest::allBuilds;
using sptest::FromBits;
using sptest::ConvertBuild;
using sptest::Bits;
using sptest::Guarded;
using sptest::processorBuilds;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// x * 2^-s exactly, the scale held within the double factor's range [-1023, 1074].
long double scaled(float x, int s) {
  const int c = s > 1074 ? 1074 : (s < -1023 ? -1023 : s);
  return static_cast<long double>(x) * std::ldexp(1.0L, -c);
}

long double roundOracle(long double v, int mode) {
  if (mode == 0) return std::trunc(v);
  if (mode == 1) return std::nearbyint(v);  // default rounding: nearest, ties to even
  return std::round(v);                     // ties away from zero
}

int16_t oracle16s(float x, int mode, int s) {
  const long double v = scaled(x, s);
  if (std::isnan(v)) return 0;
  const long double r = roundOracle(v, mode);
  return static_cast<int16_t>(r > 32767 ? 32767 : (r < -32768 ? -32768 : r));
}

int32_t oracle32s(float x, int mode, int s) {
  const long double v = scaled(x, s);
  if (std::isnan(v)) return (mode == 0 || mode == 1) ? 0 : INT32_MIN;
  const long double r = roundOracle(v, mode);
  return static_cast<int32_t>(r > INT32_MAX ? INT32_MAX : (r < INT32_MIN ? INT32_MIN : r));
}

int32_t oracle24s(float x, int s) {
  long double v = x;
  if (s != 0) {
    const int c = s < -127 ? -127 : (s > 127 ? 127 : s);
    v = static_cast<long double>(x * (c == 127 ? 0.0f : std::ldexp(1.0f, -c)));
  }
  if (std::isnan(v)) return 0;
  const long double r = std::nearbyint(v);
  return static_cast<int32_t>(r > 8388607 ? 8388607 : (r < -8388608 ? -8388608 : r));
}

// Floats of every kind a conversion meets: audio-range values, exact halves, values at
// and around the integer limits, huge values, subnormals, zeros of both signs, infinities
// and NaNs of both signs.
std::vector<float> interestingFloats(size_t n, uint32_t seed, bool withNaN = true) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> kind(0, 11);
  std::uniform_int_distribution<int> big(-40000, 40000);
  std::vector<float> out(n);
  for (float& x : out) {
    switch (kind(rng)) {
      case 0: x = unit(rng); break;
      case 1: x = unit(rng) * 40000.0f; break;
      case 2: x = static_cast<float>(big(rng)) + 0.5f; break;
      case 3: x = std::ldexp(unit(rng), 31); break;
      case 4: x = std::ldexp(unit(rng), 24); break;
      case 5: x = static_cast<float>(big(rng)) * 256.0f + (unit(rng) > 0 ? 0.5f : -0.5f); break;
      case 6: x = FromBits(rng() & 0x807FFFFFu); break;  // subnormal or zero
      case 7: x = unit(rng) > 0 ? 0.0f : -0.0f; break;
      case 8: x = unit(rng) > 0 ? kInf : -kInf; break;
      case 9: x = withNaN ? FromBits(0x7FC00000u | (rng() & 0x803FFFFFu)) : 1.5f; break;
      case 10: x = FromBits(rng()); if (!withNaN && std::isnan(x)) x = -2.5f; break;
      default: x = unit(rng) > 0 ? 0.49999997f : -0.49999997f; break;
    }
  }
  return out;
}

const int kScales[] = {-127, -31, -24, -23, -16, -15, -8, -1, 0, 1, 8, 15, 16, 23, 31, 100, 126, 127, 128, 129, 130, 500, 1074};

TEST(ConvertChecks, NullThenLengthInEveryBuild) {
  float f[4] = {};
  int16_t s16[4] = {};
  int32_t s32[4] = {};
  uint8_t b24[12] = {};
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    SCOPED_TRACE(b.name);
    EXPECT_EQ(SP_ERROR_NULL, b.convert32f16s(nullptr, s16, 0, 0, 0));
    EXPECT_EQ(SP_ERROR_NULL, b.convert32f16s(f, nullptr, 4, 0, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convert32f16s(f, s16, 0, 0, 0));
    EXPECT_EQ(SP_ERROR_NULL, b.convert32f32s(f, nullptr, 0, 1, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convert32f32s(f, s32, -5, 1, 0));
    EXPECT_EQ(SP_ERROR_NULL, b.convert16s32f(nullptr, f, 0, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convert16s32f(s16, f, 0, 3));
    EXPECT_EQ(SP_ERROR_NULL, b.convertScaled32s32f(s32, nullptr, 0, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convertScaled32s32f(s32, f, 0, 0));
    EXPECT_EQ(SP_ERROR_NULL, b.convert24s32f(nullptr, f, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convert24s32f(b24, f, -1));
    EXPECT_EQ(SP_ERROR_NULL, b.convert32f24s(f, nullptr, 0, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convert32f24s(f, b24, 0, -23));
    EXPECT_EQ(SP_ERROR_NULL, b.convert32s32f(nullptr, nullptr, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.convert32s32f(s32, f, 0));
    EXPECT_EQ(SP_ERROR_NULL, b.power32f(f, f, nullptr, 0));
    EXPECT_EQ(SP_ERROR_LENGTH, b.power32f(f, f, f, 0));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0, s16[i]);
  }
}

TEST(ConvertEdgeCases, FloatTo16BitInEveryBuild) {
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    SCOPED_TRACE(b.name);
    const float a[] = {1.0f, -1.0f, 0.99999f, -0.00001f};
    int16_t r[4];
    ASSERT_EQ(SP_OK, b.convert32f16s(a, r, 4, 0, -15));
    EXPECT_EQ(32767, r[0]);
    EXPECT_EQ(-32768, r[1]);
    EXPECT_EQ(32767, r[2]);
    EXPECT_EQ(0, r[3]);
    const float c[] = {2.5f, 3.5f, -2.5f, 32766.5f};
    ASSERT_EQ(SP_OK, b.convert32f16s(c, r, 4, 1, 0));
    EXPECT_EQ(2, r[0]);
    EXPECT_EQ(4, r[1]);
    EXPECT_EQ(-2, r[2]);
    EXPECT_EQ(32766, r[3]);
    // Ties away from zero; the largest float below 0.5 rounds to 0, not 1.
    const float d[] = {2.5f, -2.5f, 0.49999997f, -0.49999997f, 32767.4f, -40000.0f, 0.5f, -0.5f};
    int16_t e[8];
    ASSERT_EQ(SP_OK, b.convert32f16s(d, e, 8, 2, 0));
    const int16_t want[] = {3, -3, 0, 0, 32767, -32768, 1, -1};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(want[i], e[i]) << i;
    // The same through a scale factor (0.49999997 * 2^-1 * 2 is formed exactly).
    const float g[] = {0.99999994f, 5.0f};
    ASSERT_EQ(SP_OK, b.convert32f16s(g, e, 2, 7, 1));
    EXPECT_EQ(0, e[0]);
    EXPECT_EQ(3, e[1]);
  }
}

TEST(ConvertEdgeCases, FloatTo32BitInEveryBuild) {
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    SCOPED_TRACE(b.name);
    const float a[] = {0.49999997f, 2.5f, -2.5f, 8388609.0f};
    int32_t r[4];
    ASSERT_EQ(SP_OK, b.convert32f32s(a, r, 4, 2, 0));
    EXPECT_EQ(0, r[0]);
    EXPECT_EQ(3, r[1]);
    EXPECT_EQ(-3, r[2]);
    EXPECT_EQ(8388609, r[3]);
    const float c[] = {1.0f, -1.0f};
    ASSERT_EQ(SP_OK, b.convert32f32s(c, r, 2, 0, -31));
    EXPECT_EQ(INT32_MAX, r[0]);
    EXPECT_EQ(INT32_MIN, r[1]);
    const float d[] = {2147483520.0f, 2147483648.0f, -2147483648.0f, -3.0e9f};
    for (int mode = 0; mode < 2; ++mode) {
      ASSERT_EQ(SP_OK, b.convert32f32s(d, r, 4, mode, 0));
      EXPECT_EQ(2147483520, r[0]);
      EXPECT_EQ(INT32_MAX, r[1]);
      EXPECT_EQ(INT32_MIN, r[2]);
      EXPECT_EQ(INT32_MIN, r[3]);
    }
  }
  // NaN in the ties-away mode: the generic body gives INT32_MIN; the processor builds give
  // INT32_MAX for a NaN whose sign bit is clear.
  const float n[] = {kNaN, -kNaN};
  int32_t r[2];
  ASSERT_EQ(SP_OK, sp::generic::spConvert_32f32s(n, r, 2, 2, 0));
  EXPECT_EQ(INT32_MIN, r[0]);
  EXPECT_EQ(INT32_MIN, r[1]);
  for (const ConvertBuild& b : processorBuilds()) {
    ASSERT_EQ(SP_OK, b.convert32f32s(n, r, 2, 2, 0));
    EXPECT_EQ(INT32_MAX, r[0]) << b.name;
    EXPECT_EQ(INT32_MIN, r[1]) << b.name;
  }
}

TEST(ConvertEdgeCases, FloatTo24BitInEveryBuild) {
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    SCOPED_TRACE(b.name);
    const float a[] = {1.0f, -1.0f, 0.5f, kNaN, -kNaN, kInf, -kInf, 0.0f};
    uint8_t r[24];
    ASSERT_EQ(SP_OK, b.convert32f24s(a, r, 8, -23));
    const uint8_t want[24] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0, 0, 0, 0, 0, 0,
                              0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0, 0, 0};
    for (int i = 0; i < 24; ++i) EXPECT_EQ(want[i], r[i]) << i;
    // Scale 127 (and anything above) makes every element 0, infinities included.
    for (int s : {127, 200}) {
      std::memset(r, 0x55, sizeof r);
      ASSERT_EQ(SP_OK, b.convert32f24s(a, r, 8, s));
      for (int i = 0; i < 24; ++i) EXPECT_EQ(0, r[i]) << s << " " << i;
    }
    const float c[] = {2.5f, -2.5f, 8388606.5f, -8388607.5f, 1e9f, -1e9f, 3.5f, -0.0f};
    ASSERT_EQ(SP_OK, b.convert32f24s(c, r, 8, 0));
    const int32_t wantC[] = {2, -2, 8388606, -8388608, 8388607, -8388608, 4, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(wantC[i], sptest::load24(r + 3 * i)) << i;
  }
}

TEST(ConvertEdgeCases, IntegerToFloatInEveryBuild) {
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    SCOPED_TRACE(b.name);
    const int16_t a[] = {-32768, 32767};
    float r[2];
    ASSERT_EQ(SP_OK, b.convert16s32f(a, r, 2, 15));
    EXPECT_EQ(-1.0f, r[0]);
    EXPECT_EQ(0.999969482421875f, r[1]);
    float r126[2], r500[2];
    ASSERT_EQ(SP_OK, b.convert16s32f(a, r126, 2, 126));
    ASSERT_EQ(SP_OK, b.convert16s32f(a, r500, 2, 500));
    EXPECT_EQ(0, std::memcmp(r126, r500, sizeof r126));
    const uint8_t p[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
    ASSERT_EQ(SP_OK, b.convert24s32f(p, r, 2));
    EXPECT_EQ(-8388608.0f, r[0]);
    EXPECT_EQ(8388607.0f, r[1]);
    // Magnitudes above 2^24 round to nearest even; in place gives the same.
    int32_t q[4] = {16777217, 16777219, -2147483647 - 1, 2147483647};
    float qf[4];
    ASSERT_EQ(SP_OK, b.convert32s32f(q, qf, 4));
    EXPECT_EQ(16777216.0f, qf[0]);
    EXPECT_EQ(16777220.0f, qf[1]);
    EXPECT_EQ(-2147483648.0f, qf[2]);
    EXPECT_EQ(2147483648.0f, qf[3]);
    float scaledOut[4];
    ASSERT_EQ(SP_OK, b.convertScaled32s32f(q, scaledOut, 4, 31));
    static_assert(sizeof(float) == sizeof(int32_t));
    ASSERT_EQ(SP_OK, b.convertScaled32s32f(q, reinterpret_cast<float*>(q), 4, 31));
    EXPECT_EQ(0, std::memcmp(q, scaledOut, sizeof q));
    EXPECT_EQ(-1.0f, scaledOut[2]);
  }
}

// Every 16-bit input with every scale factor of the clamp range and beyond it.
TEST(ConvertExhaustive, Every16BitInputEveryScale) {
  std::vector<int16_t> src(65536);
  for (int i = 0; i < 65536; ++i) src[i] = static_cast<int16_t>(i - 32768);
  std::vector<float> want(65536), got(65536);
  std::vector<int> scales;
  for (int s = -120; s <= 134; ++s) scales.push_back(s);
  for (int s : {-100000, -113, -112, 500, INT_MAX, INT_MIN}) scales.push_back(s);
  const auto builds = allBuilds();
  for (int s : scales) {
    const int c = s < -112 ? -112 : (s > 126 ? 126 : s);
    for (int i = 0; i < 65536; ++i) want[i] = static_cast<float>(std::ldexp(static_cast<long double>(src[i]), -c));
    for (const ConvertBuild& b : builds) {
      if (!b.supported) continue;
      ASSERT_EQ(SP_OK, b.convert16s32f(src.data(), got.data(), 65536, s));
      ASSERT_EQ(0, std::memcmp(want.data(), got.data(), 65536 * sizeof(float))) << b.name << " scale " << s;
    }
  }
}

// Every 16-bit value, reached from a float scaled by 2^s, comes back in every mode.
TEST(ConvertExhaustive, Every16BitValueBackFromFloat) {
  sptest::expectEvery16BitValueBack({-15, -1, 0, 7, 31});
}

// Every 24-bit input to float and back, in every build.
TEST(ConvertExhaustive, Every24BitInputAndBack) {
  constexpr int kChunk = 1 << 20;
  std::vector<uint8_t> packed(3 * kChunk), back(3 * kChunk);
  std::vector<float> f(kChunk), scaledDown(kChunk);
  std::vector<int16_t> unused;
  const auto builds = allBuilds();
  for (int base = -8388608; base < 8388608; base += kChunk) {
    for (int i = 0; i < kChunk; ++i) sptest::Store24(&packed[3 * i], base + i);
    for (const ConvertBuild& b : builds) {
      if (!b.supported) continue;
      ASSERT_EQ(SP_OK, b.convert24s32f(packed.data(), f.data(), kChunk));
      for (int i = 0; i < kChunk; ++i) ASSERT_EQ(static_cast<float>(base + i), f[i]) << b.name;
      ASSERT_EQ(SP_OK, b.convert32f24s(f.data(), back.data(), kChunk, 0));
      ASSERT_EQ(0, std::memcmp(packed.data(), back.data(), packed.size())) << b.name;
      // The render path's normalised form: v / 2^23 back through scale factor -23.
      for (int i = 0; i < kChunk; ++i) scaledDown[i] = f[i] / 8388608.0f;
      ASSERT_EQ(SP_OK, b.convert32f24s(scaledDown.data(), back.data(), kChunk, -23));
      ASSERT_EQ(0, std::memcmp(packed.data(), back.data(), packed.size())) << b.name;
    }
  }
}

TEST(ConvertOracle, GenericFloatToIntegerMatchesExactArithmetic) {
  const std::vector<float> src = interestingFloats(4096, 1);
  std::vector<int16_t> r16(src.size());
  std::vector<int32_t> r32(src.size());
  std::vector<uint8_t> r24(3 * src.size());
  std::vector<int> scales(std::begin(kScales), std::end(kScales));
  for (int s : {-1023, -1024, -5000, 1075, 5000}) scales.push_back(s);
  for (int s : scales) {
    for (int mode : {0, 1, 2, 7, -1}) {
      ASSERT_EQ(SP_OK, sp::generic::spConvert_32f16s(src.data(), r16.data(), static_cast<int>(src.size()), mode, s));
      ASSERT_EQ(SP_OK, sp::generic::spConvert_32f32s(src.data(), r32.data(), static_cast<int>(src.size()), mode, s));
      for (size_t i = 0; i < src.size(); ++i) {
        ASSERT_EQ(oracle16s(src[i], mode, s), r16[i]) << src[i] << " mode " << mode << " s " << s;
        ASSERT_EQ(oracle32s(src[i], mode, s), r32[i]) << src[i] << " mode " << mode << " s " << s;
      }
    }
    ASSERT_EQ(SP_OK, sp::generic::spConvert_32f24s(src.data(), r24.data(), static_cast<int>(src.size()), s));
    for (size_t i = 0; i < src.size(); ++i)
      ASSERT_EQ(oracle24s(src[i], s), sptest::load24(&r24[3 * i])) << src[i] << " s " << s;
  }
}

// The conversions round to nearest by the caller's rounding setting for integer to
// float; truncation and the 24-bit kernels do not depend on it.
TEST(ConvertOracle, EveryBuildRoundsTo24BitToNearestUnderAnyCallerRounding) {
  const std::vector<float> src = interestingFloats(1000, 2);
  std::vector<uint8_t> want(3 * src.size()), got(3 * src.size());
  ASSERT_EQ(SP_OK, sp::generic::spConvert_32f24s(src.data(), want.data(), 1000, -8));
  for (const ConvertBuild& b : processorBuilds()) {
    const unsigned saved = _mm_getcsr();
    _mm_setcsr((saved | 0x6000u) & ~0x3Fu);  // toward zero, flags clear
    const spStatus st = b.convert32f24s(src.data(), got.data(), 1000, -8);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    ASSERT_EQ(SP_OK, st);
    EXPECT_EQ((saved | 0x6000u) & ~0x3Fu, after) << b.name;  // restored as it was, flags too
    EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size())) << b.name;
  }
}

// Every processor build equals the generic build at every length 0..130 and every
// misalignment of source and destination, and writes nothing outside its output.
// pool: source bytes; srcElem/dstElem: bytes per element; srcStep/dstStep: the offsets
// tried from a 16-byte boundary (one element size apart).
template <class Call>
void sweep(const ConvertBuild& b, const std::vector<uint8_t>& pool, size_t srcElem, size_t dstElem, size_t srcStep,
           size_t dstStep, Call call) {
  const ConvertBuild generic = allBuilds()[0];
  for (int len = 0; len <= 130; ++len) {
    for (size_t so = 0; so < 16; so += srcStep) {
      for (size_t dOff = 0; dOff < 16; dOff += dstStep) {
        Guarded<uint8_t> src(len * srcElem, so);
        std::memcpy(src.data(), pool.data(), len * srcElem);
        Guarded<uint8_t> want(len * dstElem, dOff), got(len * dstElem, dOff);
        const spStatus sw = call(generic, src.byteData(), want.byteData(), len);
        const spStatus sg = call(b, src.byteData(), got.byteData(), len);
        ASSERT_EQ(sw, sg) << b.name << " len " << len;
        ASSERT_EQ(0, std::memcmp(want.byteData(), got.byteData(), len * dstElem))
            << b.name << " len " << len << " src offset " << so << " dst offset " << dOff;
        ASSERT_TRUE(got.guardsIntact()) << b.name << " len " << len << " src " << so << " dst " << dOff;
        ASSERT_TRUE(src.guardsIntact());
      }
    }
  }
}

TEST(ProcessorBuilds, EqualGenericAtEveryLengthAndMisalignment) {
  const auto procs = processorBuilds();
  if (procs.empty()) GTEST_SKIP() << "no processor build runs here";
  const std::vector<float> floatsNoNaN = interestingFloats(256, 3, false);
  const std::vector<float> floats = interestingFloats(256, 4, true);
  std::mt19937 rng(5);
  std::vector<uint8_t> bytes(1024);
  for (auto& x : bytes) x = static_cast<uint8_t>(rng());
  std::vector<uint8_t> floatBytes(1024), floatBytesNoNaN(1024);
  std::memcpy(floatBytes.data(), floats.data(), 1024);
  std::memcpy(floatBytesNoNaN.data(), floatsNoNaN.data(), 1024);
  for (const ConvertBuild& b : procs) {
    SCOPED_TRACE(b.name);
    for (int mode : {0, 1, 2}) {
      // In ties-away mode a processor build may turn a NaN into another integer than
      // the generic body does, so that pool holds no NaN.
      const auto& pool = mode == 2 ? floatBytesNoNaN : floatBytes;
      for (int s : {-15, 0, 3}) {
        sweep(b, pool, 4, 2, 4, 2, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
          return x.convert32f16s(reinterpret_cast<float*>(in), reinterpret_cast<int16_t*>(out), n, mode, s);
        });
        sweep(b, pool, 4, 4, 4, 4, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
          return x.convert32f32s(reinterpret_cast<float*>(in), reinterpret_cast<int32_t*>(out), n, mode, s - 16);
        });
      }
    }
    for (int s : {0, -23, 5}) {
      sweep(b, floatBytes, 4, 3, 4, 1, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
        return x.convert32f24s(reinterpret_cast<float*>(in), out, n, s);
      });
      sweep(b, bytes, 2, 4, 2, 4, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
        return x.convert16s32f(reinterpret_cast<int16_t*>(in), reinterpret_cast<float*>(out), n, s == 5 ? 15 : s);
      });
      sweep(b, bytes, 4, 4, 4, 4, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
        return x.convertScaled32s32f(reinterpret_cast<int32_t*>(in), reinterpret_cast<float*>(out), n, s == 5 ? 31 : s);
      });
    }
    sweep(b, bytes, 3, 4, 1, 4, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
      return x.convert24s32f(in, reinterpret_cast<float*>(out), n);
    });
    sweep(b, bytes, 4, 4, 4, 4, [&](const ConvertBuild& x, uint8_t* in, uint8_t* out, int n) {
      return x.convert32s32f(reinterpret_cast<int32_t*>(in), reinterpret_cast<float*>(out), n);
    });
  }
}

// Floats of every binary exponent, subnormals included, both signs: whatever the scale
// factor, some of them land near the rounding and saturation limits.
std::vector<float> everyExponent() {
  std::vector<float> out;
  for (int e = -149; e <= 127; ++e) {
    for (float m : {1.0f, 1.5f, 1.9999999f}) {
      const float x = std::ldexp(m, e);
      out.push_back(x);
      out.push_back(-x);
    }
  }
  return out;
}

// Every scale factor the entries accept, on long vectors of every kind of float: the
// processor builds agree with the generic body (ties-away NaN excepted). Beyond
// [-1100, 1100] the generic factor is clamped, so a few far values stand for the rest.
TEST(ProcessorBuilds, EqualGenericForEveryScaleFactor) {
  std::vector<float> src = interestingFloats(1200, 6);
  std::vector<float> noNaN = interestingFloats(1200, 7, false);
  for (float x : everyExponent()) {
    src.push_back(x);
    noNaN.push_back(x);
  }
  const int n = static_cast<int>(src.size());
  std::vector<int> scales;
  for (int s = -1100; s <= 1100; ++s) scales.push_back(s);
  for (int s : {INT_MIN, INT_MIN + 1, -100000, 100000, INT_MAX - 1, INT_MAX}) scales.push_back(s);
  std::vector<int16_t> w16(n), g16(n);
  std::vector<int32_t> w32(n), g32(n);
  std::vector<uint8_t> w24(3 * n), g24(3 * n);
  for (const ConvertBuild& b : processorBuilds()) {
    for (int s : scales) {
      for (int mode : {0, 1, 2}) {
        const float* in = mode == 2 ? noNaN.data() : src.data();
        sp::generic::spConvert_32f16s(in, w16.data(), n, mode, s);
        b.convert32f16s(in, g16.data(), n, mode, s);
        ASSERT_EQ(w16, g16) << b.name << " mode " << mode << " s " << s;
        sp::generic::spConvert_32f32s(in, w32.data(), n, mode, s);
        b.convert32f32s(in, g32.data(), n, mode, s);
        ASSERT_EQ(w32, g32) << b.name << " mode " << mode << " s " << s;
      }
      sp::generic::spConvert_32f24s(src.data(), w24.data(), n, s);
      b.convert32f24s(src.data(), g24.data(), n, s);
      ASSERT_EQ(w24, g24) << b.name << " s " << s;
    }
  }
}

// Scale factors below -127, whose factor has no single-precision value: the exact
// product, rounded, in every build.
TEST(ProcessorBuilds, ScaleFactorsBelowTheSingleRangeGiveTheExactProduct) {
  const struct {
    float x;
    int mode, s;
    int16_t want16;
    int32_t want32;
  } cases[] = {
      {1e-38f, 1, -128, 3, 3},           // 3.40...
      {1e-38f, 0, -140, 13937, 13937},   // 13937.96...
      {1e-38f, 1, -140, 13938, 13938},
      {-1e-38f, 2, -140, -13938, -13938},
      {1e-38f, 1, -150, 32767, 14272476},
      {1.4e-45f, 1, -150, 2, 2},         // the smallest subnormal times 2^150
      {1.4e-45f, 0, -149, 1, 1},
      {-1.4e-45f, 1, -191, -32768, INT32_MIN},
      {1.4e-45f, 1, -1023, 32767, INT32_MAX},
      {0.0f, 1, INT_MIN, 0, 0},
  };
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    for (const auto& c : cases) {
      const float in[9] = {c.x, c.x, c.x, c.x, c.x, c.x, c.x, c.x, c.x};  // head, body and tail
      int16_t r16[9];
      int32_t r32[9];
      ASSERT_EQ(SP_OK, b.convert32f16s(in, r16, 9, c.mode, c.s));
      ASSERT_EQ(SP_OK, b.convert32f32s(in, r32, 9, c.mode, c.s));
      for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(c.want16, r16[i]) << b.name << " x " << c.x << " s " << c.s << " mode " << c.mode;
        EXPECT_EQ(c.want32, r32[i]) << b.name << " x " << c.x << " s " << c.s << " mode " << c.mode;
      }
    }
  }
}

// Scale factors far outside the single-precision range keep silence silent and full
// scale full in every build.
TEST(ProcessorBuilds, OutOfRangeScaleFactorsAreClamped) {
  const float src[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (const ConvertBuild& b : allBuilds()) {
    if (!b.supported) continue;
    for (int s : {-128, -200, -2000, INT_MIN}) {
      for (int mode : {0, 1, 2}) {
        int16_t r16[9];
        int32_t r32[9];
        ASSERT_EQ(SP_OK, b.convert32f16s(src, r16, 9, mode, s));
        ASSERT_EQ(SP_OK, b.convert32f32s(src, r32, 9, mode, s));
        const int16_t want16[] = {0, 0, 32767, -32768, 0, 0, 0, 0, 0};
        const int32_t want32[] = {0, 0, INT32_MAX, INT32_MIN, 0, 0, 0, 0, 0};
        for (int i = 0; i < 9; ++i) {
          EXPECT_EQ(want16[i], r16[i]) << b.name << " s " << s << " mode " << mode << " i " << i;
          EXPECT_EQ(want32[i], r32[i]) << b.name << " s " << s << " mode " << mode << " i " << i;
        }
      }
    }
    // Far above the range every finite value is 0 and an infinity stays full scale.
    const float big[] = {kInf, -kInf, 3.0e38f, -1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (int s : {130, 1075, 5000, INT_MAX}) {
      for (int mode : {0, 1, 2}) {
        int16_t r16[9];
        int32_t r32[9];
        ASSERT_EQ(SP_OK, b.convert32f16s(big, r16, 9, mode, s));
        ASSERT_EQ(SP_OK, b.convert32f32s(big, r32, 9, mode, s));
        EXPECT_EQ(32767, r16[0]) << b.name << " s " << s;
        EXPECT_EQ(-32768, r16[1]) << b.name << " s " << s;
        EXPECT_EQ(INT32_MAX, r32[0]) << b.name << " s " << s;
        EXPECT_EQ(INT32_MIN, r32[1]) << b.name << " s " << s;
        for (int i = 2; i < 9; ++i) EXPECT_EQ(0, r16[i] | r32[i]) << b.name << " s " << s << " i " << i;
      }
    }
  }
}

}  // namespace
