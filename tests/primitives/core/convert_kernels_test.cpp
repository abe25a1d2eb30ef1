// The vector conversion kernels of the processor builds, including those no primitive
// calls: each against a scalar oracle at short lengths and every misalignment with guard
// bytes, the edge cases of their rounding and saturation, and their MXCSR handling.

#include <gtest/gtest.h>
#include <immintrin.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "convert_builds.h"
#include "sp/dispatch_groups.h"
#include "sp/entries_convert.h"

namespace {

using sptest::FromBits;
using sptest::halfValue;
using sptest::Bits;
using sptest::Guarded;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Kernels {
  const char* name;
  bool supported;
#define SPTEST_K(fn) decltype(&sp::sse3::fn) fn;
  SPTEST_K(spConvertKernel_8s32f)
  SPTEST_K(spConvertKernel_8u32f)
  SPTEST_K(spConvertKernel_16s32f)
  SPTEST_K(spConvertKernel_16u32f)
  SPTEST_K(spConvertKernel_32s64f)
  SPTEST_K(spConvertKernel_32s32f)
  SPTEST_K(spConvertScaledKernel_16s32f)
  SPTEST_K(spConvertKernel_16s64f)
  SPTEST_K(spConvertScaledKernel_16s64f)
  SPTEST_K(spConvertKernel_32f64f)
  SPTEST_K(spConvertKernel_64f32f)
  SPTEST_K(spConvertKernel_32f8s)
  SPTEST_K(spConvertKernel_32f8u)
  SPTEST_K(spConvertKernel_32f16s)
  SPTEST_K(spConvertKernel_32f16u)
  SPTEST_K(spConvertKernel_32f32s)
  SPTEST_K(spConvertKernel_64f32s)
  SPTEST_K(spConvertAwayKernel_32f8s)
  SPTEST_K(spConvertAwayKernel_32f8u)
  SPTEST_K(spConvertAwayKernel_32f16s)
  SPTEST_K(spConvertAwayKernel_32f16u)
  SPTEST_K(spConvertAwayKernel_32f32s)
  SPTEST_K(spConvertAwayKernel_64f32s)
  SPTEST_K(spConvertKernel_24s32f)
  SPTEST_K(spConvertKernel_24s32s)
  SPTEST_K(spConvertKernel_32f24s)
  SPTEST_K(spConvertScaledKernel_32f24s)
  SPTEST_K(spConvertKernel_32s24s)
  SPTEST_K(spConvertScaleDownKernel_32s24s)
  SPTEST_K(spConvertScaleUpKernel_32s24s)
  SPTEST_K(spConvertKernel_16s16f)
  SPTEST_K(spConvertKernel_16f16s)
  SPTEST_K(spConvertKernel_16f32f)
  SPTEST_K(spConvertKernel_32f16f)
  SPTEST_K(spConvertShiftKernel_64s32s)
#undef SPTEST_K
};

#define SPTEST_KERNELS(ns, sup)                                                                        \
  Kernels {                                                                                             \
    #ns, sup, &sp::ns::spConvertKernel_8s32f, &sp::ns::spConvertKernel_8u32f,                           \
        &sp::ns::spConvertKernel_16s32f, &sp::ns::spConvertKernel_16u32f, &sp::ns::spConvertKernel_32s64f, \
        &sp::ns::spConvertKernel_32s32f, &sp::ns::spConvertScaledKernel_16s32f,                        \
        &sp::ns::spConvertKernel_16s64f, &sp::ns::spConvertScaledKernel_16s64f,                        \
        &sp::ns::spConvertKernel_32f64f, &sp::ns::spConvertKernel_64f32f, &sp::ns::spConvertKernel_32f8s, \
        &sp::ns::spConvertKernel_32f8u, &sp::ns::spConvertKernel_32f16s, &sp::ns::spConvertKernel_32f16u, \
        &sp::ns::spConvertKernel_32f32s, &sp::ns::spConvertKernel_64f32s,                              \
        &sp::ns::spConvertAwayKernel_32f8s, &sp::ns::spConvertAwayKernel_32f8u,                        \
        &sp::ns::spConvertAwayKernel_32f16s, &sp::ns::spConvertAwayKernel_32f16u,                      \
        &sp::ns::spConvertAwayKernel_32f32s, &sp::ns::spConvertAwayKernel_64f32s,                      \
        &sp::ns::spConvertKernel_24s32f, &sp::ns::spConvertKernel_24s32s, &sp::ns::spConvertKernel_32f24s, \
        &sp::ns::spConvertScaledKernel_32f24s, &sp::ns::spConvertKernel_32s24s,                        \
        &sp::ns::spConvertScaleDownKernel_32s24s, &sp::ns::spConvertScaleUpKernel_32s24s,              \
        &sp::ns::spConvertKernel_16s16f, &sp::ns::spConvertKernel_16f16s, &sp::ns::spConvertKernel_16f32f, \
        &sp::ns::spConvertKernel_32f16f, &sp::ns::spConvertShiftKernel_64s32s                          \
  }

std::vector<Kernels> kernelBuilds() {
  std::vector<Kernels> all = {SPTEST_KERNELS(sse3, __builtin_cpu_supports("sse3") != 0),
                              SPTEST_KERNELS(ssse3, __builtin_cpu_supports("ssse3") != 0),
                              SPTEST_KERNELS(sse41, __builtin_cpu_supports("sse4.1") != 0)};
  std::vector<Kernels> out;
  for (const Kernels& k : all)
    if (k.supported) out.push_back(k);
  return out;
}

// Runs a kernel at every length 0..40 (len >= 1) and every element misalignment of both
// sides, and compares with a per-element oracle; guards must stay untouched.
template <class S, class D, class Call, class Oracle>
void checkKernel(const char* what, const std::vector<S>& pool, Call call, Oracle oracle, size_t dstElemBytes = sizeof(D)) {
  for (int len = 1; len <= 40; ++len) {
    for (size_t so = 0; so < 16; so += alignof(S)) {
      for (size_t dOff = 0; dOff < 16; dOff += alignof(D)) {
        Guarded<S> src(len, so);
        std::memcpy(src.data(), pool.data(), len * sizeof(S));
        Guarded<uint8_t> dst(len * dstElemBytes, dOff);
        call(src.data(), reinterpret_cast<D*>(dst.byteData()), len);
        for (int i = 0; i < len; ++i) {
          std::vector<uint8_t> want(dstElemBytes);
          oracle(pool[i], want.data());
          ASSERT_EQ(0, std::memcmp(want.data(), dst.byteData() + i * dstElemBytes, dstElemBytes))
              << what << " len " << len << " i " << i << " src off " << so << " dst off " << dOff;
        }
        ASSERT_TRUE(dst.guardsIntact()) << what << " len " << len;
        ASSERT_TRUE(src.guardsIntact()) << what << " len " << len;
      }
    }
  }
}

template <class T>
void put(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

std::vector<float> mixedFloats(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) {
    switch (i % 9) {
      case 0: out[i] = u(rng) * 300.0f; break;
      case 1: out[i] = std::round(u(rng) * 70000.0f) + 0.5f; break;
      case 2: out[i] = u(rng) * 3e9f; break;
      case 3: out[i] = (i & 16) ? kNaN : -kNaN; break;
      case 4: out[i] = (i & 16) ? kInf : -kInf; break;
      case 5: out[i] = (i & 16) ? 0.49999997f : -0.0f; break;
      case 6: out[i] = std::round(u(rng) * 40.0f) * 0.5f; break;
      case 7: out[i] = u(rng) * 66000.0f; break;
      default: out[i] = u(rng); break;
    }
  }
  return out;
}

long double roundBy(long double v, int mode) {
  if (mode == 0) return std::trunc(v);
  if (mode == 1) return std::nearbyint(v);
  return std::round(v);
}

template <class T>
T saturate(long double r, long double lo, long double hi) {
  return static_cast<T>(r > hi ? hi : (r < lo ? lo : r));
}

// Every half through spConvertKernel_16f16s at scale factor s, both round modes.
void checkHalfTo16s(decltype(&sp::sse3::spConvertKernel_16f16s) kernel, int s) {
  std::vector<uint16_t> halves(65536);
  std::vector<int16_t> ints(65536);
  for (int i = 0; i < 65536; ++i) halves[i] = static_cast<uint16_t>(i);
  const int c = s < -200 ? -200 : (s > 200 ? 200 : s);
  for (int mode : {0, 1}) {
    kernel(halves.data(), ints.data(), 65536, mode, s);
    for (int i = 0; i < 65536; ++i) {
      const float v = halfValue(halves[i]);
      const int16_t want = std::isnan(v) ? 0 : saturate<int16_t>(roundBy(std::ldexp(static_cast<long double>(v), -c), mode), -32768.0L, 32767.0L);
      ASSERT_EQ(want, ints[i]) << std::hex << i << std::dec << " s " << s << " mode " << mode;
    }
  }
}

TEST(ConvertKernels, IntegerToFloatAndDouble) {
  std::mt19937 rng(21);
  std::vector<int8_t> s8(64);
  std::vector<uint8_t> u8(64);
  std::vector<int16_t> s16(64);
  std::vector<uint16_t> u16(64);
  std::vector<int32_t> s32(64);
  std::vector<float> f32(64);
  std::vector<double> f64(64);
  for (int i = 0; i < 64; ++i) {
    s8[i] = static_cast<int8_t>(rng());
    u8[i] = static_cast<uint8_t>(rng());
    s16[i] = static_cast<int16_t>(rng());
    u16[i] = static_cast<uint16_t>(rng());
    s32[i] = static_cast<int32_t>(rng());
    f32[i] = FromBits(rng());
    f64[i] = (i % 5 == 0) ? std::numeric_limits<double>::quiet_NaN() : (i % 5 == 1 ? 1e300 * (i % 2 ? 1 : -1) : std::ldexp(static_cast<double>(static_cast<int32_t>(rng())), -20));
  }
  s8[0] = -128;
  s16[1] = -32768;
  const float ff = 1.0f / 256.0f;
  const double fd = 1.0 / 1024.0;
  for (const Kernels& k : kernelBuilds()) {
    SCOPED_TRACE(k.name);
    checkKernel<int8_t, float>("8s32f", s8, k.spConvertKernel_8s32f, [](int8_t x, uint8_t* o) { put(o, static_cast<float>(x)); });
    checkKernel<uint8_t, float>("8u32f", u8, k.spConvertKernel_8u32f, [](uint8_t x, uint8_t* o) { put(o, static_cast<float>(x)); });
    checkKernel<int16_t, float>("16s32f", s16, k.spConvertKernel_16s32f, [](int16_t x, uint8_t* o) { put(o, static_cast<float>(x)); });
    checkKernel<int16_t, float>("16s32f scaled", s16,
                                [&](const int16_t* a, float* b, int n) { k.spConvertScaledKernel_16s32f(a, b, n, &ff); },
                                [&](int16_t x, uint8_t* o) { put(o, static_cast<float>(x) * ff); });
    checkKernel<uint16_t, float>("16u32f", u16, k.spConvertKernel_16u32f, [](uint16_t x, uint8_t* o) { put(o, static_cast<float>(x)); });
    checkKernel<int32_t, double>("32s64f", s32, k.spConvertKernel_32s64f, [](int32_t x, uint8_t* o) { put(o, static_cast<double>(x)); });
    checkKernel<int32_t, float>("32s32f", s32, k.spConvertKernel_32s32f, [](int32_t x, uint8_t* o) { put(o, static_cast<float>(x)); });
    checkKernel<int16_t, double>("16s64f", s16, k.spConvertKernel_16s64f, [](int16_t x, uint8_t* o) { put(o, static_cast<double>(x)); });
    checkKernel<int16_t, double>("16s64f scaled", s16,
                                 [&](const int16_t* a, double* b, int n) { k.spConvertScaledKernel_16s64f(a, b, n, &fd); },
                                 [&](int16_t x, uint8_t* o) { put(o, static_cast<double>(x) * fd); });
    checkKernel<float, double>("32f64f", f32, k.spConvertKernel_32f64f, [](float x, uint8_t* o) { put(o, static_cast<double>(x)); });
    checkKernel<double, float>("64f32f", f64, k.spConvertKernel_64f32f, [](double x, uint8_t* o) {
      const double c = std::isnan(x) ? 3.402823466e+38 : std::fmax(std::fmin(x, 3.402823466e+38), -3.402823466e+38);
      put(o, static_cast<float>(c));
    });
  }
}

// Long enough for the non-temporal path of the widening kernels.
TEST(ConvertKernels, WideningToDoubleOverTheStreamingThreshold) {
  const int n = 450000;
  std::vector<int16_t> s(n);
  std::vector<float> f(n);
  for (int i = 0; i < n; ++i) {
    s[i] = static_cast<int16_t>(i * 7);
    f[i] = static_cast<float>(i) * 0.25f;
  }
  std::vector<double> d(n + 1);
  for (const Kernels& k : kernelBuilds()) {
    k.spConvertKernel_16s64f(s.data(), d.data() + 1, n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(static_cast<double>(s[i]), d[i + 1]) << k.name;
    k.spConvertKernel_32f64f(f.data(), d.data(), n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(static_cast<double>(f[i]), d[i]) << k.name;
  }
}

TEST(ConvertKernels, FloatToIntegerRoundModesAndTiesAway) {
  const std::vector<float> pool = mixedFloats(64, 22);
  std::vector<double> poolD(pool.begin(), pool.end());
  for (const Kernels& k : kernelBuilds()) {
    SCOPED_TRACE(k.name);
    for (int s : {0, -3, 2}) {
      const long double f = std::ldexp(1.0L, -s);
      for (int mode : {0, 1}) {
        auto nanZero = [&](auto lo, auto hi, auto tag, float x, uint8_t* o) {
          using T = decltype(tag);
          put(o, std::isnan(x) ? T{0} : saturate<T>(roundBy(x * f, mode), lo, hi));
        };
        checkKernel<float, int8_t>("32f8s", pool, [&](const float* a, int8_t* b, int n) { k.spConvertKernel_32f8s(a, b, n, mode, s); },
                                   [&](float x, uint8_t* o) { nanZero(-128.0L, 127.0L, int8_t{}, x, o); });
        checkKernel<float, uint8_t>("32f8u", pool, [&](const float* a, uint8_t* b, int n) { k.spConvertKernel_32f8u(a, b, n, mode, s); },
                                    [&](float x, uint8_t* o) { nanZero(0.0L, 255.0L, uint8_t{}, x, o); });
        checkKernel<float, int16_t>("32f16s", pool, [&](const float* a, int16_t* b, int n) { k.spConvertKernel_32f16s(a, b, n, mode, s); },
                                    [&](float x, uint8_t* o) { nanZero(-32768.0L, 32767.0L, int16_t{}, x, o); });
        checkKernel<float, uint16_t>("32f16u", pool, [&](const float* a, uint16_t* b, int n) { k.spConvertKernel_32f16u(a, b, n, mode, s); },
                                     [&](float x, uint8_t* o) { nanZero(0.0L, 65535.0L, uint16_t{}, x, o); });
        checkKernel<float, int32_t>("32f32s", pool, [&](const float* a, int32_t* b, int n) { k.spConvertKernel_32f32s(a, b, n, mode, s); },
                                    [&](float x, uint8_t* o) { nanZero(-2147483648.0L, 2147483647.0L, int32_t{}, x, o); });
        checkKernel<double, int32_t>("64f32s", poolD, [&](const double* a, int32_t* b, int n) { k.spConvertKernel_64f32s(a, b, n, mode, s); },
                                     [&](double x, uint8_t* o) {
                                       put(o, std::isnan(x) ? 0 : saturate<int32_t>(roundBy(x * f, mode), -2147483648.0L, 2147483647.0L));
                                     });
      }
      // Ties away from zero; a NaN gives the upper limit (16u: 0; 32s: by its sign).
      auto away = [&](auto lo, auto hi, auto tag, long double nanValue, float x, uint8_t* o) {
        using T = decltype(tag);
        put(o, std::isnan(x) ? static_cast<T>(nanValue) : saturate<T>(roundBy(x * f, 2), lo, hi));
      };
      checkKernel<float, int8_t>("away 8s", pool, [&](const float* a, int8_t* b, int n) { k.spConvertAwayKernel_32f8s(a, b, n, s); },
                                 [&](float x, uint8_t* o) { away(-128.0L, 127.0L, int8_t{}, 127, x, o); });
      checkKernel<float, uint8_t>("away 8u", pool, [&](const float* a, uint8_t* b, int n) { k.spConvertAwayKernel_32f8u(a, b, n, s); },
                                  [&](float x, uint8_t* o) { away(0.0L, 255.0L, uint8_t{}, 255, x, o); });
      checkKernel<float, int16_t>("away 16s", pool, [&](const float* a, int16_t* b, int n) { k.spConvertAwayKernel_32f16s(a, b, n, s); },
                                  [&](float x, uint8_t* o) { away(-32768.0L, 32767.0L, int16_t{}, 32767, x, o); });
      checkKernel<float, uint16_t>("away 16u", pool, [&](const float* a, uint16_t* b, int n) { k.spConvertAwayKernel_32f16u(a, b, n, s); },
                                   [&](float x, uint8_t* o) { away(0.0L, 65535.0L, uint16_t{}, 0, x, o); });
      checkKernel<float, int32_t>("away 32s", pool, [&](const float* a, int32_t* b, int n) { k.spConvertAwayKernel_32f32s(a, b, n, s); },
                                  [&](float x, uint8_t* o) {
                                    away(-2147483648.0L, 2147483647.0L, int32_t{}, std::signbit(x) ? -2147483648.0L : 2147483647.0L, x, o);
                                  });
      checkKernel<double, int32_t>("away 64f32s", poolD, [&](const double* a, int32_t* b, int n) { k.spConvertAwayKernel_64f32s(a, b, n, s); },
                                   [&](double x, uint8_t* o) {
                                     put(o, std::isnan(x) ? 2147483647 : saturate<int32_t>(roundBy(x * f, 2), -2147483648.0L, 2147483647.0L));
                                   });
    }
    // Half away to 32s: the addition runs toward zero.
    const float h[] = {0.49999997f, 8388609.0f, -8388609.5f, 2.5f};
    int32_t r[4];
    k.spConvertAwayKernel_32f32s(h, r, 4, 0);
    EXPECT_EQ(0, r[0]);
    EXPECT_EQ(8388609, r[1]);
    EXPECT_EQ(-8388610, r[2]);
    EXPECT_EQ(3, r[3]);
    const float u[] = {65535.5f, -0.7f, 3.0e9f};
    uint16_t ru[3];
    k.spConvertKernel_32f16u(u, ru, 3, 1, 0);
    EXPECT_EQ(65535, ru[0]);
    EXPECT_EQ(0, ru[1]);
    EXPECT_EQ(65535, ru[2]);
  }
}

TEST(ConvertKernels, MxcsrHandlingOfTheRoundModeKernels) {
  std::vector<float> data(37);
  for (int i = 0; i < 37; ++i) data[i] = static_cast<float>(i) + 0.5f;
  std::vector<int16_t> r(37);
  const unsigned saved = _mm_getcsr();
  for (const Kernels& k : kernelBuilds()) {
    // Round mode 1 under a caller rounding toward zero: nearest even, and the caller's
    // word back with DAZ cleared.
    const unsigned caller = (saved & ~0x3Fu) | 0x6000u | 0x40u;
    _mm_setcsr(caller);
    k.spConvertKernel_32f16s(data.data(), r.data(), 37, 1, 0);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(caller & ~0x40u, after) << k.name;
    for (int i = 0; i < 37; ++i) EXPECT_EQ((i % 2 == 0) ? i : i + 1, r[i]) << k.name;
    // Round mode 0 on finite in-range data never writes MXCSR: the precision flag raised
    // by the conversion stays, and DAZ survives.
    _mm_setcsr((saved & ~0x3Fu) | 0x40u);
    k.spConvertKernel_32f16s(data.data(), r.data(), 37, 0, 0);
    const unsigned after0 = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(0x40u, after0 & 0x40u) << k.name;
    EXPECT_EQ(0x20u, after0 & 0x3Fu) << k.name;
    // Ties away to 32-bit runs toward zero inside and gives the caller's word back with
    // DAZ cleared; ties away to 16-bit leaves a nearest-rounding caller's word alone.
    _mm_setcsr((saved & ~0x7Fu) | 0x40u);
    std::vector<int32_t> away32(37);
    k.spConvertAwayKernel_32f32s(data.data(), away32.data(), 37, 0);
    const unsigned afterAway = _mm_getcsr();
    k.spConvertAwayKernel_32f16s(data.data(), r.data(), 37, 0);
    const unsigned afterAway16 = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ((saved & ~0x7Fu), afterAway) << k.name;
    EXPECT_EQ(0u, afterAway16 & 0x6000u) << k.name;
    for (int i = 0; i < 37; ++i) {
      EXPECT_EQ(i + 1, away32[i]) << k.name;
      EXPECT_EQ(i + 1, r[i]) << k.name;
    }
    // A NaN gives 0 and leaves its neighbours alone, also with the invalid flag already set.
    for (unsigned entryFlags : {0u, 1u}) {
      std::vector<float> d(data);
      d[5] = kNaN;
      d[30] = -kNaN;
      _mm_setcsr((saved & ~0x3Fu) | entryFlags);
      k.spConvertKernel_32f16s(d.data(), r.data(), 37, 1, 0);
      _mm_setcsr(saved);
      EXPECT_EQ(0, r[5]);
      EXPECT_EQ(0, r[30]);
      EXPECT_EQ(4, r[4]);
      EXPECT_EQ(6, r[6]);
      std::vector<int32_t> r32(37);
      _mm_setcsr((saved & ~0x3Fu) | entryFlags);
      k.spConvertKernel_32f32s(d.data(), r32.data(), 37, 0, 0);
      _mm_setcsr(saved);
      EXPECT_EQ(0, r32[5]);
      EXPECT_EQ(0, r32[30]);
      EXPECT_EQ(31, r32[31]);
    }
  }
}

TEST(ConvertKernels, Packed24Bit) {
  std::mt19937 rng(23);
  std::vector<int32_t> s32(64);
  for (auto& x : s32) x = static_cast<int32_t>(rng()) >> (rng() % 16);
  s32[0] = INT_MIN;
  s32[1] = INT_MAX;
  s32[2] = -1;
  s32[3] = 8388607;
  s32[4] = -8388608;
  std::vector<float> f = mixedFloats(64, 24);
  auto put24 = [](uint8_t* o, long long v) {
    sptest::Store24(o, static_cast<int32_t>(v > 8388607 ? 8388607 : (v < -8388608 ? -8388608 : v)));
  };
  for (const Kernels& k : kernelBuilds()) {
    SCOPED_TRACE(k.name);
    checkKernel<int32_t, uint8_t>("32s24s", s32, k.spConvertKernel_32s24s, [&](int32_t x, uint8_t* o) { put24(o, x); }, 3);
    for (int s : {1, 2, 8, 23, 31, 32}) {
      checkKernel<int32_t, uint8_t>("scale down", s32, [&](const int32_t* a, uint8_t* b, int n) { k.spConvertScaleDownKernel_32s24s(a, b, n, s); },
                                    [&](int32_t x, uint8_t* o) { put24(o, static_cast<long long>(std::nearbyint(std::ldexp(static_cast<long double>(x), -s)))); }, 3);
    }
    for (int s : {0, 1, 8, 23, 24, 30, 31}) {
      checkKernel<int32_t, uint8_t>("scale up", s32, [&](const int32_t* a, uint8_t* b, int n) { k.spConvertScaleUpKernel_32s24s(a, b, n, s); },
                                    [&](int32_t x, uint8_t* o) { put24(o, static_cast<long long>(x) * (1LL << s)); }, 3);
    }
    for (int s : {0, -23, 4, 127, -127}) {
      checkKernel<float, uint8_t>("32f24s", f, [&](const float* a, uint8_t* b, int n) {
        if (s == 0) k.spConvertKernel_32f24s(a, b, n); else k.spConvertScaledKernel_32f24s(a, b, n, s);
      }, [&](float x, uint8_t* o) {
        const float v = s == 0 ? x : x * (s == 127 ? 0.0f : std::ldexp(1.0f, -s));
        put24(o, std::isnan(v) ? 0 : static_cast<long long>(std::nearbyint(std::fmax(std::fmin(v, 8388607.0f), -8388608.0f))));
      }, 3);
    }
    // 24-bit to 32-bit and float from a source at the very start of its buffer.
    std::vector<uint8_t> packed(3 * 40);
    for (auto& b : packed) b = static_cast<uint8_t>(rng());
    for (int len = 1; len <= 40; ++len) {
      std::vector<uint8_t> exact(packed.begin(), packed.begin() + 3 * len);  // no byte before or after
      std::vector<int32_t> out(len);
      std::vector<float> outF(len);
      k.spConvertKernel_24s32s(exact.data(), out.data(), len);
      k.spConvertKernel_24s32f(exact.data(), outF.data(), len);
      for (int i = 0; i < len; ++i) {
        ASSERT_EQ(sptest::load24(&exact[3 * i]), out[i]);
        ASSERT_EQ(static_cast<float>(out[i]), outF[i]);
      }
    }
    // Edge values of the scaled kernels.
    const int32_t e[] = {3, 5, -3, 32767, 32768, -32768, -32769, -1};
    uint8_t o[24];
    k.spConvertScaleDownKernel_32s24s(e, o, 3, 1);
    EXPECT_EQ(2, sptest::load24(o));
    EXPECT_EQ(2, sptest::load24(o + 3));
    EXPECT_EQ(-2, sptest::load24(o + 6));
    k.spConvertScaleUpKernel_32s24s(e + 3, o, 5, 8);
    EXPECT_EQ(8388352, sptest::load24(o));
    EXPECT_EQ(8388607, sptest::load24(o + 3));
    EXPECT_EQ(-8388608, sptest::load24(o + 6));
    EXPECT_EQ(-8388608, sptest::load24(o + 9));
    EXPECT_EQ(-256, sptest::load24(o + 12));
    // -1 shifted past bit 23 saturates instead of losing its sign.
    for (int s : {24, 28, 31}) {
      k.spConvertScaleUpKernel_32s24s(e + 7, o, 1, s);
      EXPECT_EQ(-8388608, sptest::load24(o)) << s;
    }
  }
}

TEST(ConvertKernels, HalfPrecision) {
  // Every half to single, against the definition.
  std::vector<uint16_t> halves(65536);
  for (int i = 0; i < 65536; ++i) halves[i] = static_cast<uint16_t>(i);
  std::vector<float> single(65536);
  std::vector<uint16_t> back(65536);
  for (const Kernels& k : kernelBuilds()) {
    SCOPED_TRACE(k.name);
    k.spConvertKernel_16f32f(halves.data(), single.data(), 65536);
    for (int i = 0; i < 65536; ++i) {
      // A NaN keeps its payload shifted up by 13; the multiplication quietens it.
      const uint32_t want = Bits(halfValue(halves[i]));
      ASSERT_EQ(std::isnan(single[i]) ? want | 0x00400000u : want, Bits(single[i])) << std::hex << i;
    }
    // And back, exactly, in both round modes (NaNs stay NaNs).
    for (int mode : {0, 1}) {
      k.spConvertKernel_32f16f(single.data(), back.data(), 65536, mode);
      for (int i = 0; i < 65536; ++i) {
        if (std::isnan(single[i])) {
          ASSERT_GT(back[i] & 0x7FFF, 0x7C00) << i;
        } else {
          ASSERT_EQ(halves[i], back[i]) << std::hex << i << " mode " << mode;
        }
      }
    }
    // Rounding to half: nearest even and truncation of values between halves.
    const float f[] = {65519.0f, 65520.0f, 1.0f, -0.0f, 1.0f + 1.0f / 2048, 1.0f + 3.0f / 2048, 70000.0f, -kInf};
    uint16_t h[8];
    k.spConvertKernel_32f16f(f, h, 8, 1);
    const uint16_t wantNearest[] = {0x7BFF, 0x7C00, 0x3C00, 0x8000, 0x3C00, 0x3C02, 0x7C00, 0xFC00};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(wantNearest[i], h[i]) << i;
    k.spConvertKernel_32f16f(f, h, 8, 0);
    const uint16_t wantTrunc[] = {0x7BFF, 0x7BFF, 0x3C00, 0x8000, 0x3C00, 0x3C01, 0x7C00, 0xFC00};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(wantTrunc[i], h[i]) << i;
    // Every 16-bit integer to half and back to integer.
    std::vector<int16_t> s16(65536);
    for (int i = 0; i < 65536; ++i) s16[i] = static_cast<int16_t>(i - 32768);
    for (int mode : {0, 1}) {
      k.spConvertKernel_16s16f(s16.data(), back.data(), 65536, mode);
      for (int i = 0; i < 65536; ++i) {
        const float exact = static_cast<float>(s16[i]);
        const float got = halfValue(back[i]);
        // The half nearest (even) or toward zero.
        uint16_t want;
        k.spConvertKernel_32f16f(&exact, &want, 1, mode);
        ASSERT_EQ(want, back[i]) << s16[i] << " mode " << mode << " got " << got;
      }
    }
    const int16_t special[] = {-1, 2049, 32767, -32768, 0};
    uint16_t sh[5];
    k.spConvertKernel_16s16f(special, sh, 5, 1);
    EXPECT_EQ(0xBC00, sh[0]);
    EXPECT_EQ(0x6800, sh[1]);
    EXPECT_EQ(0x7800, sh[2]);
    EXPECT_EQ(0xF800, sh[3]);
    EXPECT_EQ(0x0000, sh[4]);
    k.spConvertKernel_16s16f(special + 2, sh, 1, 0);
    EXPECT_EQ(32752.0f, halfValue(sh[0]));
    // Half to 16-bit integer: NaN 0, infinities saturate, at any scale factor (the whole
    // range runs in the long suite).
    for (int s : {-200, -40, -14, -13, -1, 0, 1, 2, 15, 16, 17, 40, 126, 200}) checkHalfTo16s(k.spConvertKernel_16f16s, s);
    const uint16_t oneAndHalf = 0x3E00;
    int16_t r;
    k.spConvertKernel_16f16s(&oneAndHalf, &r, 1, 1, 0);
    EXPECT_EQ(2, r);
    k.spConvertKernel_16f16s(&oneAndHalf, &r, 1, 0, 0);
    EXPECT_EQ(1, r);
  }
}

TEST(ConvertKernels, Shifted64BitTo32Bit) {
  std::mt19937_64 rng(25);
  std::vector<int64_t> pool(64);
  for (auto& x : pool) x = static_cast<int64_t>(rng()) >> (rng() % 40);
  pool[0] = INT64_MAX;
  pool[1] = INT64_MIN;
  pool[2] = (int64_t{1} << 32);
  pool[3] = -(int64_t{1} << 33);
  pool[4] = -1;
  pool[5] = (int64_t{2147483647} << 1) + 1;  // 2^31 - 0.5 at s = 1: rounds to 2^31, saturates
  for (const Kernels& k : kernelBuilds()) {
    for (int s : {1, 2, 16, 31, 32}) {
      checkKernel<int64_t, int32_t>("64s32s", pool, [&](const int64_t* a, int32_t* b, int n) { k.spConvertShiftKernel_64s32s(a, b, n, s); },
                                    [&](int64_t x, uint8_t* o) {
                                      put(o, saturate<int32_t>(std::round(std::ldexp(static_cast<long double>(x), -s)), -2147483648.0L, 2147483647.0L));
                                    });
    }
    const int64_t e[] = {5, -5, -3, (int64_t{1} << 32), -(int64_t{1} << 33), -1};
    int32_t r[6];
    k.spConvertShiftKernel_64s32s(e, r, 6, 1);
    const int32_t want[] = {3, -3, -2, INT32_MAX, INT32_MIN, -1};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(want[i], r[i]) << k.name << " " << i;
  }
}

// The entries reach the body of the slot that spDispatchIndex names: a NaN through the
// ties-away 32-bit conversion tells the generic body (INT32_MIN) from a processor build.
TEST(ConvertEntries, FollowTheDispatchIndex) {
  const float nan = kNaN;
  int32_t r = 0;
  ASSERT_EQ(0, spDispatchIndex);
  EXPECT_EQ(SP_OK, spConvert_32f32s(&nan, &r, 1, 2, 0));
  EXPECT_EQ(INT32_MIN, r);
  EXPECT_EQ(SP_ERROR_NULL, spConvert_32f16s(nullptr, nullptr, 0, 0, 0));
  const int16_t s16 = -32768;
  float f = 0;
  EXPECT_EQ(SP_OK, spConvert_16s32f(&s16, &f, 1, 15));
  EXPECT_EQ(-1.0f, f);
  const uint8_t p[3] = {0, 0, 0x80};
  EXPECT_EQ(SP_OK, spConvert_24s32f(p, &f, 1));
  EXPECT_EQ(-8388608.0f, f);
  uint8_t q[3];
  EXPECT_EQ(SP_OK, spConvert_32f24s(&f, q, 1, 0));
  EXPECT_EQ(0x80, q[2]);
  int32_t big = 16777217;
  EXPECT_EQ(SP_OK, spConvert_32s32f(&big, &f, 1));
  EXPECT_EQ(16777216.0f, f);
  EXPECT_EQ(SP_OK, spConvertScaled_32s32f(&big, &f, 1, 24));
  EXPECT_EQ(1.0f, f);
  const float one = 1.0f;
  int16_t h = 0;
  EXPECT_EQ(SP_OK, spConvert_32f16s(&one, &h, 1, 0, -15));
  EXPECT_EQ(32767, h);
  for (int index = 1; index <= 3; ++index) {
    const bool supported = index == 1 ? __builtin_cpu_supports("sse3") : index == 2 ? __builtin_cpu_supports("ssse3") : __builtin_cpu_supports("sse4.1");
    if (!supported) continue;
    spDispatchIndex = index;
    r = 0;
    const spStatus st = spConvert_32f32s(&nan, &r, 1, 2, 0);
    spDispatchIndex = 0;
    EXPECT_EQ(SP_OK, st);
    EXPECT_EQ(INT32_MAX, r) << index;
  }
}

}  // namespace
