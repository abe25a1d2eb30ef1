// Complex square roots of the processor builds against the long-double principal root:
// every offset and length 1-70 in and out of place, the extreme, tiny, infinite and NaN
// parts, and elements whose partner in a shared division is extreme.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

#include "module_kernels.h"

namespace {

const std::vector<vmtest::ModuleKernels> kBuilds = vmtest::SupportedModuleKernels();

using LC = std::complex<long double>;

// Both parts within `ulps` units of the result's magnitude (the float kernel's estimate
// with one Newton step per root: 8 units; the double kernel's exact roots: 4).
template <class T>
void ExpectRoot(T re, T im, T x, T y, double ulps) {
  const LC exact = std::sqrt(LC(x, y));
  const long double mag = std::abs(exact);
  const long double tol = ulps * mag * std::numeric_limits<T>::epsilon() +
                          (sizeof(T) == 4 ? 0x1p-149L : 0x1p-1074L);
  EXPECT_LE(std::fabs(re - exact.real()), tol) << x << " " << y << " re " << re;
  EXPECT_LE(std::fabs(im - exact.imag()), tol) << x << " " << y << " im " << im;
}

template <class T>
T Random(vmtest::Rng& rng) {
  const float f = rng.Moderate();
  return (rng.Next() & 7) == 0 ? T(0) : static_cast<T>(f);
}

TEST(ComplexSquareRoot, AgainstLongDoubleAtEveryOffsetAndLength) {
  vmtest::Rng rng(11);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset = 0; offset < 16; offset += 4) {
      for (int len = 1; len <= 70; ++len) {
        SCOPED_TRACE(testing::Message() << b.name << " offset " << offset << " len " << len);
        sptest::Guarded gf(8 * len, offset), gd(16 * len, offset);
        std::vector<float> xf(2 * len);
        std::vector<double> xd(2 * len);
        for (int i = 0; i < 2 * len; ++i) {
          xf[i] = Random<float>(rng);
          xd[i] = Random<double>(rng) * (1.0 + 0x1p-30 * (rng.Next() & 0xFFFF));
        }
        std::memcpy(gf.data(), xf.data(), 8 * len);
        std::memcpy(gd.data(), xd.data(), 16 * len);
        b.spSquareRootKernel_32fc(gf.f32(), gf.f32(), len);  // in place
        std::vector<double> outd(2 * len);
        b.spSquareRootKernel_64fc(reinterpret_cast<const double*>(gd.data()), outd.data(), len);
        for (int i = 0; i < len; ++i) {
          float of[2];
          std::memcpy(of, gf.data() + 8 * i, 8);
          ExpectRoot<float>(of[0], of[1], xf[2 * i], xf[2 * i + 1], 8);
          ExpectRoot<double>(outd[2 * i], outd[2 * i + 1], xd[2 * i], xd[2 * i + 1], 4);
        }
        EXPECT_TRUE(gf.GuardsIntact());
        EXPECT_TRUE(gd.GuardsIntact());
      }
    }
  }
}

// Parts beyond the range of their squares, tiny parts, infinities, NaN and signed
// zeros, each placed among ordinary elements at every position of a block of four.
TEST(ComplexSquareRoot, ExtremeTinyInfiniteAndNaNParts) {
  const float inf = std::numeric_limits<float>::infinity();
  const float fcases[][4] = {
      // x, y, expected re, im (NaN: any NaN)
      {-4, 0, 0, 2},          {3, 4, 2, 1},          {0, 0, 0, 0},          {0, -0.0f, 0, 0},
      {1e-30f, 0, 1e-15f, 0}, {3e38f, 0, 1.7320508e19f, 0}, {-3e38f, 0, 0, 1.7320508e19f}, {0, 3e38f, 1.2247449e19f, 1.2247449e19f},
      {inf, 1, inf, 0},       {-inf, -1, 0, -inf},   {1, inf, inf, inf},    {1, -inf, inf, -inf},
      {NAN, 1, NAN, NAN},     {1e-45f, 0, 3.7433921e-23f, 0},
  };
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (const auto& c : fcases) {
      for (int pos = 0; pos < 6; ++pos) {
        float v[12];
        for (int i = 0; i < 6; ++i) {
          v[2 * i] = 3.0f;
          v[2 * i + 1] = 4.0f;
        }
        v[2 * pos] = c[0];
        v[2 * pos + 1] = c[1];
        b.spSquareRootKernel_32fc(v, v, 6);
        SCOPED_TRACE(testing::Message() << b.name << " " << c[0] << " " << c[1] << " at " << pos);
        for (int k = 0; k < 2; ++k) {
          if (std::isnan(c[2 + k])) {
            EXPECT_TRUE(std::isnan(v[2 * pos + k]));
          } else if (std::isinf(c[2 + k]) || c[2 + k] == 0) {
            EXPECT_EQ(v[2 * pos + k], c[2 + k]);
            EXPECT_EQ(std::signbit(v[2 * pos + k]), std::signbit(c[2 + k]));
          } else {
            EXPECT_NEAR(v[2 * pos + k], c[2 + k], std::fabs(c[2 + k]) * 1e-6f);
          }
        }
        for (int i = 0; i < 6; ++i) {
          if (i == pos) continue;
          EXPECT_NEAR(v[2 * i], 2.0f, 1e-6f);
          EXPECT_NEAR(v[2 * i + 1], 1.0f, 1e-6f);
        }
      }
    }
  }
}

// An element at the edge of the double range next to an ordinary partner: neither
// result depends on the other.
TEST(ComplexSquareRoot, DoubleResultsIndependentOfTheirPartner) {
  const double extremes[][2] = {{1e308, 1e308},  {-1.7e308, 0},  {1e-310, 0},   {0, 4e-320},   {1e200, 1e-200},
                                {1e160, 0},      {1e-160, 0},    {0, 0},        {-4, 0},       {1e300, -1e300}};
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (const auto& e : extremes) {
      for (int pos = 0; pos < 4; ++pos) {
        double v[8];
        for (int i = 0; i < 4; ++i) {
          v[2 * i] = 1e-150 * (i + 1);
          v[2 * i + 1] = 2e150;
        }
        v[2 * pos] = e[0];
        v[2 * pos + 1] = e[1];
        double o[8];
        b.spSquareRootKernel_64fc(v, o, 4);
        for (int i = 0; i < 4; ++i) ExpectRoot<double>(o[2 * i], o[2 * i + 1], v[2 * i], v[2 * i + 1], 4);
      }
    }
    const double inf = std::numeric_limits<double>::infinity();
    double s[8] = {inf, 2, 3, 4, 1, -inf, 3, 4}, o[8];
    b.spSquareRootKernel_64fc(s, o, 4);
    EXPECT_EQ(o[0], inf);
    EXPECT_EQ(o[1], 0.0);
    EXPECT_EQ(o[4], inf);
    EXPECT_EQ(o[5], -inf);
    ExpectRoot<double>(o[2], o[3], 3, 4, 4);
    ExpectRoot<double>(o[6], o[7], 3, 4, 4);
  }
}

}  // namespace
