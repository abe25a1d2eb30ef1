// The logarithm module's other members: doubles (also subnormal) against long double,
// the out-of-place float kernel, and the scaled integer logarithms against q ln x.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "module_kernels.h"

namespace {

using sptest::Bits;

const std::vector<vmtest::ModuleKernels> kBuilds = vmtest::SupportedModuleKernels();

double D(uint64 bits) {
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}
uint64 B(double v) {
  uint64 bits;
  std::memcpy(&bits, &v, 8);
  return bits;
}

// Positive finite doubles of every exponent, subnormals included, and values near 1:
// within 2 units of the long-double logarithm; the float variant is its rounding.
TEST(LogMembers, DoublesWithinTwoUlpsAlsoSubnormal) {
  vmtest::Rng rng(31);
  std::vector<double> x(20000);
  for (size_t i = 0; i < x.size(); ++i) {
    const uint64 w = (static_cast<uint64>(rng.Next()) << 32) | rng.Next();
    if (i % 4 == 0) {
      x[i] = D(0x3FF0000000000000ull + (w >> 40) - (1ull << 23));  // near 1
    } else {
      x[i] = D((w >> 1) % 0x7FEFFFFFFFFFFFFFull + 1);
    }
  }
  x[0] = D(1);  // the smallest subnormal: ln = -744.44
  x[1] = 1.0;
  for (const vmtest::ModuleKernels& b : kBuilds) {
    std::vector<double> y(x.size());
    std::vector<float> yf(x.size());
    EXPECT_EQ(b.spNaturalLogKernel_64f(x.data(), y.data(), static_cast<int>(x.size())), 0);
    EXPECT_EQ(b.spNaturalLogKernel_64f32f(x.data(), yf.data(), static_cast<int>(x.size())), 0);
    double worst = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      const long double exact = std::log(static_cast<long double>(x[i]));
      const long double ulp = exact == 0 ? 0x1p-1074L : std::ldexp(1.0L, std::ilogb(static_cast<double>(exact)) - 52);
      worst = std::max(worst, static_cast<double>(std::fabs(y[i] - exact) / ulp));
      ASSERT_EQ(yf[i], static_cast<float>(y[i])) << i;
    }
    EXPECT_LE(worst, 2.0) << b.name;
    EXPECT_EQ(y[1], 0.0);
    EXPECT_NEAR(y[0], -744.44007192138126, 1e-12);
  }
}

TEST(LogMembers, DoubleSpecialValuesAndFlags) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const vmtest::ModuleKernels& b : kBuilds) {
    const double a[5] = {2.0, 0.0, -1.0, inf, D(0x7FF0000000000001ull)};
    double o[5];
    float f[5];
    EXPECT_EQ(b.spNaturalLogKernel_64f(a, o, 5), 2);
    EXPECT_EQ(b.spNaturalLogKernel_64f32f(a, f, 5), 2);
    EXPECT_EQ(o[0], 0.6931471805599453);  // ln 2 correctly rounded: the two parts sum to it
    EXPECT_EQ(B(o[1]), 0xFFF0000000000000ull);
    EXPECT_EQ(B(o[2]), 0xFFF8000000000000ull);
    EXPECT_EQ(o[3], inf);
    EXPECT_EQ(B(o[4]), 0x7FF8000000000001ull);
    EXPECT_EQ(Bits(f[2]), 0xFFC00000u);
    EXPECT_TRUE(std::isnan(f[4]));
    const double n[2] = {-0.0, 0.0};
    EXPECT_EQ(b.spNaturalLogKernel_64f(n, o, 2), 4);
    EXPECT_EQ(b.spNaturalLogKernel_64f(n, o, 0), 0);
  }
}

// Out of place equals in place (same body and head when the addresses agree modulo 16)
// and leaves the source alone.
TEST(LogMembers, OutOfPlaceFloatLogarithmMatchesInPlace) {
  vmtest::Rng rng(32);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset = 0; offset < 4; ++offset) {
      for (int len : {1, 3, 31, 32, 35, 70, 300}) {
        alignas(16) float src[320], in[320], dst[320];
        for (int i = 0; i < 320; ++i) src[i] = std::fabs(rng.Moderate());
        src[offset + len / 2] = 0.0f;
        std::memcpy(in, src, sizeof src);
        const int flags = b.spNaturalLogOutOfPlaceKernel_32f(src + offset, dst + offset, len, nullptr);
        const auto inPlace = vmtest::Supports(1) ? &sp::sse3::spNaturalLogKernel_32f : nullptr;
        ASSERT_NE(inPlace, nullptr);
        EXPECT_EQ(inPlace(in + offset, len, nullptr), flags);
        EXPECT_EQ(flags, 2);
        for (int i = 0; i < len; ++i) EXPECT_EQ(Bits(dst[offset + i]), Bits(in[offset + i])) << i;
      }
    }
  }
}

// q ln x rounded: within one of the exact value (single-precision evaluation), with the
// contracts' examples exactly.
TEST(LogMembers, ScaledIntegerLogarithms) {
  vmtest::Rng rng(33);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    float q;
    b.spScaleFromFactor_32f(3, &q);
    EXPECT_EQ(q, 0.125f);
    b.spScaleFromFactor_32f(-127, &q);
    EXPECT_EQ(q, 0x1p127f);
    const int16 s16[5] = {1, 2, 32767, 0, -5};
    int16 d16[5];
    EXPECT_EQ(b.spNaturalLogKernelScaled_16s(s16, d16, 3, 0, nullptr), 0);
    EXPECT_EQ(d16[0], 0);
    EXPECT_EQ(d16[1], 1);
    EXPECT_EQ(d16[2], 10);
    EXPECT_EQ(b.spNaturalLogKernelScaled_16s(s16 + 2, d16, 1, -12, nullptr), 0);
    EXPECT_EQ(d16[0], 32767);
    EXPECT_EQ(b.spNaturalLogKernelScaled_16s(s16 + 3, d16, 2, 0, nullptr), 2);
    EXPECT_EQ(d16[0], -32768);
    EXPECT_EQ(d16[1], -32768);
    int32 v32[6] = {0, -1, 2147483647, 10, 100, 1000};
    int32 d32[6];
    const float big = 1e9f;
    EXPECT_EQ(b.spNaturalLogKernelScaled_32s(v32, d32, 6, &big, nullptr), 2);
    EXPECT_EQ(d32[0], INT32_MIN);
    EXPECT_EQ(d32[1], INT32_MIN);
    EXPECT_EQ(d32[2], 2147483520);
    for (int sf : {-10, -3, 0, 2}) {
      std::vector<int32> x(200);
      for (int32& v : x) v = static_cast<int32>((rng.Next() >> 1) >> (rng.Next() % 31)) | 1;
      std::vector<int32> o32(200), inPlace(x);
      std::vector<int16> o16(200), x16(200);
      for (int i = 0; i < 200; ++i) x16[i] = static_cast<int16>((x[i] & 0x7FFF) | 1);
      std::vector<int16> in16(x16);
      b.spScaleFromFactor_32f(sf, &q);
      EXPECT_EQ(b.spNaturalLogKernelScaled_32s(x.data(), o32.data(), 200, &q, nullptr), 0);
      EXPECT_EQ(b.spNaturalLogInPlaceKernelScaled_32s(inPlace.data(), 200, &q, nullptr), 0);
      EXPECT_EQ(b.spNaturalLogKernelScaled_32s16s(x.data(), o16.data(), 200, sf, nullptr), 0);
      for (int i = 0; i < 200; ++i) {
        const double exact = std::ldexp(std::log(static_cast<double>(x[i])), -sf);
        EXPECT_NEAR(o32[i], exact, 1.0) << x[i] << " sf " << sf;
        EXPECT_EQ(inPlace[i], o32[i]);
        EXPECT_EQ(o16[i], std::clamp(o32[i], -32768, 32767));
      }
      std::vector<int16> o(200);
      EXPECT_EQ(b.spNaturalLogKernelScaled_16s(x16.data(), o.data(), 200, sf, nullptr), 0);
      EXPECT_EQ(b.spNaturalLogInPlaceKernelScaled_16s(in16.data(), 200, sf, nullptr), 0);
      for (int i = 0; i < 200; ++i) {
        const double exact = std::clamp(std::ldexp(std::log(static_cast<double>(x16[i])), -sf), -32768.0, 32767.0);
        EXPECT_NEAR(o[i], exact, 1.0) << x16[i] << " sf " << sf;
        EXPECT_EQ(in16[i], o[i]);
      }
    }
  }
}

}  // namespace
