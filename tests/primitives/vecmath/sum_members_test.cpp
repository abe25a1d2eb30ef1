// The summation module's other members: complex, double and 16-bit sums at every byte
// offset (small integers keep every order exact, so each element must count once), the
// lane bookkeeping of the shifted complex sums, and the scaled conversions.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "module_kernels.h"

namespace {

const std::vector<vmtest::ModuleKernels> kBuilds = vmtest::SupportedModuleKernels();

template <class T>
void Put(sptest::Guarded& g, int i, T v) {
  std::memcpy(g.data() + sizeof(T) * i, &v, sizeof v);
}

TEST(SumMembers, EveryElementOnceAtEveryOffsetAndLength) {
  vmtest::Rng rng(41);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset = 0; offset < 16; ++offset) {
      for (int len : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 70, 16384 + 3}) {
        SCOPED_TRACE(testing::Message() << b.name << " offset " << offset << " len " << len);
        sptest::Guarded f(8 * len, offset), d(16 * len, offset), s(4 * len, offset);
        long long re = 0, im = 0;
        for (int i = 0; i < 2 * len; ++i) {
          const int v = static_cast<int>(rng.Next() % 201) - 100;
          Put(f, i, static_cast<float>(v));
          Put(d, i, static_cast<double>(v));
          Put(s, i, static_cast<int16>(v * 300));
          (i % 2 == 0 ? re : im) += v;
        }
        double out[2] = {-1, -1};
        b.spSumFastKernel_32fc(reinterpret_cast<const float*>(f.data()), len, out);
        EXPECT_EQ(out[0], re);
        EXPECT_EQ(out[1], im);
        b.spSumAccurateKernel_32fc(reinterpret_cast<const float*>(f.data()), len, out);
        EXPECT_EQ(out[0], re);
        EXPECT_EQ(out[1], im);
        b.spSumKernel_64fc(reinterpret_cast<const double*>(d.data()), len, out);
        EXPECT_EQ(out[0], re);
        EXPECT_EQ(out[1], im);
        b.spSumKernel_64f(reinterpret_cast<const double*>(d.data()), 2 * len, out);
        EXPECT_EQ(out[0], re + im);
        b.spSumKernel_16sc64fc(reinterpret_cast<const int16*>(s.data()), out, len);
        EXPECT_EQ(out[0], 300 * re);
        EXPECT_EQ(out[1], 300 * im);
        b.spSumKernel_16s64f(reinterpret_cast<const int16*>(s.data()), out, 2 * len);
        EXPECT_EQ(out[0], 300 * (re + im));
      }
    }
  }
}

TEST(SumMembers, ContractExamples) {
  for (const vmtest::ModuleKernels& b : kBuilds) {
    // One complex element 12 bytes past a 16-byte boundary: the real part in the head,
    // the imaginary part in the last block, still written as (re, im).
    alignas(16) float f[8] = {0, 0, 0, 3.0f, -2.5f, 0, 0, 0};
    double out[2];
    b.spSumFastKernel_32fc(f + 3, 1, out);
    EXPECT_EQ(out[0], 3.0);
    EXPECT_EQ(out[1], -2.5);
    std::vector<int16> big(65537, -32768);
    b.spSumKernel_16s64f(big.data(), out, 65537);
    EXPECT_EQ(out[0], -2147516416.0);
    // Negative zeros sum to +0.
    alignas(16) double z[9] = {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0};
    b.spSumKernel_64f(z + 1, 7, out);
    EXPECT_FALSE(std::signbit(out[0]));
  }
}

TEST(SumMembers, ScaledConversionSaturatesAndConvertsZeroToZero) {
  struct Case {
    double value;
    int sf;
    int32 want;
  };
  const Case cases[] = {{5.0, 1, 2},           {7.0, 1, 4},           {3e9, 0, INT_MAX},       {-3e9, 0, INT_MIN},
                        {NAN, 0, INT_MIN},     {0.0, -1024, 0},       {-0.0, -5000, 0},        {1.0, -1024, INT_MAX},
                        {-1.0, -1024, INT_MIN}, {1e300, 1023, 0},     {3.0, -2, 12},           {1.0, 1022, 0}};
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (const Case& c : cases) EXPECT_EQ(b.spConvertScaledKernel_64f32s(&c.value, c.sf), c.want) << c.value << " sf " << c.sf;
    const double pair[2] = {5.0, -7.0};
    int32 d[2];
    b.spConvertScaledKernel_64fc32sc(pair, d, 1);
    EXPECT_EQ(d[0], 2);
    EXPECT_EQ(d[1], -4);
  }
}

}  // namespace

namespace {

// Lengths at or below zero: no kernel of these modules reads its source or writes a
// result (the sources here are null).
TEST(VecmathKernels, NoWorkForLengthsAtOrBelowZero) {
  for (int len : {0, -1, INT_MIN}) {
    double d[2] = {-9, -9};
    float f[2] = {-9, -9};
    int32 i[2] = {-9, -9};
    int64 l[2] = {-9, -9};
    const double one = 1.0;
    const float* nf = nullptr;
    const double* nd = nullptr;
    const int16* nh = nullptr;
    const int32* ni = nullptr;
    namespace k = sp::sse3;
    if (!vmtest::Supports(1)) return;
    k::spSumFastKernel_32f(nf, len, d);
    k::spSumAccurateKernel_32f(nf, len, d);
    k::spSumFastKernel_32fc(nf, len, d);
    k::spSumAccurateKernel_32fc(nf, len, d);
    k::spSumKernel_64f(nd, len, d);
    k::spSumKernel_64fc(nd, len, d);
    k::spSumKernel_16s64f(nh, d, len);
    k::spSumKernel_16sc64fc(nh, d, len);
    EXPECT_EQ(k::spSumKernel_32f(nf, len, 0), 0.0);
    EXPECT_EQ(k::spMeanKernel_32f(nf, len, 1), 0.0f);
    k::spDotProductKernelSse3_32f(nf, nf, len, f);
    k::spDotProductKernel_32f64f(nf, nf, len, d);
    k::spDotProductKernel_32fc(nf, nf, len, f);
    k::spDotProductKernel_64f(nd, nd, len, d);
    k::spDotProductKernelScaled_32s(ni, ni, len, i, &one);
    k::spDotProductKernelScaled_16s32s(nh, ni, len, i, &one);
    k::spDotProductKernel_16sc64sc(nh, nh, len, l);
    if (vmtest::Supports(2)) sp::ssse3::spDotProductKernelSsse3_32f(nf, nf, len, f);
    k::spExponentialKernel_32f(nf, nullptr, len);
    EXPECT_EQ(k::spNaturalLogKernel_32f(nullptr, len, nullptr), 0);
    EXPECT_EQ(k::spNaturalLogKernel_64f(nd, nullptr, len), 0);
    EXPECT_EQ(k::spSquareRootKernelScaled_16s(nh, nullptr, len, 0), 0);
    EXPECT_EQ(k::spSquareRootKernelScaled_64s(nullptr, nullptr, len, -3), 0);
    k::spSquareRootKernel_32fc(nf, nullptr, len);
    k::spSquareRootKernel_64fc(nd, nullptr, len);
    EXPECT_EQ(d[0], -9);
    EXPECT_EQ(f[0], -9);
    EXPECT_EQ(i[0], -9);
    EXPECT_EQ(l[0], -9);
  }
}

}  // namespace
