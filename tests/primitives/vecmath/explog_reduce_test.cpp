// Exponential, logarithm, sum, mean and dot product of the processor builds: against
// long-double oracles within their error bounds, against the generic build at every
// offset and length 1-70 with guard bytes, their special values and range bounds,
// MXCSR, and the warnings through the entries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "sp/sp.h"
#include "module_kernels.h"

namespace {

using sptest::Bits;
using sptest::FromBits;
using sptest::Guarded;

const std::vector<vmtest::ModuleKernels> kBuilds = vmtest::SupportedModuleKernels();

// Units in the last place of the exact value y at which a float result lies.
double UlpError(float got, long double exact) {
  if (std::isinf(got) || std::isnan(got)) return 1e9;
  int e;
  std::frexp(static_cast<double>(exact), &e);
  const long double ulp = std::ldexp(1.0L, std::max(e, -125) - 24);
  return static_cast<double>(std::fabs(static_cast<long double>(got) - exact) / ulp);
}

float Uniform(vmtest::Rng& rng, float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(rng.Next() >> 8) * 0x1p-24f;
}

// ---------------------------------------------------------------------------------------
// Exponential

// The reciprocal estimate after one Newton step keeps a relative error of up to
// 2.25 * 2^-24, but it reaches only the correction term 2 odd / Q of e^r: over every
// float the exponential stays within 2.07 units (the long test sweeps them all; the
// largest near 3.83, bits 0x40751EFB). The logarithm's eight-wide body shares one
// division between the elements i and i + 4, so an element's error depends on its
// partner: every float beside its neighbours stays within 4.43 units, but a search over
// pairs reaches 5.23 (0x3FA451CF with 0x3F48F4A6 four places later; 4.53 for 0x3FA40BDD
// with some partners). Pairs are too many to sweep; 5.5 bounds what the search found.
constexpr double kExpUlps = 2.5;
constexpr double kLogUlps = 5.5;

TEST(ExpKernel, WithinTwoAndAHalfUlpsOfLongDoubleOverTheFiniteRange) {
  vmtest::Rng rng(1);
  std::vector<float> x(1 << 16), y(x.size());
  for (float& v : x) v = Uniform(rng, -87.3365f, 88.7228f);
  for (uint32 w = 0x42B17000u; w <= 0x42B17217u; ++w) x[w - 0x42B17000u] = FromBits(w);  // near overflow
  for (uint32 w = 0xC2AEAB00u; w <= 0xC2AEAC4Fu; ++w) x[1024 + w - 0xC2AEAB00u] = FromBits(w);  // near 2^-126
  for (uint32 w = 0x40751000u; w <= 0x40752000u; ++w) x[2048 + w - 0x40751000u] = FromBits(w);  // the worst
  for (const vmtest::ModuleKernels& b : kBuilds) {
    b.spExponentialKernel_32f(x.data(), y.data(), static_cast<int>(x.size()));
    double worst = 0;
    for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, UlpError(y[i], std::exp(static_cast<long double>(x[i]))));
    EXPECT_LE(worst, kExpUlps) << b.name;
  }
}

// The whole finite range is served: e^88 and e^88.7228 are finite, the five inputs above
// -87.3365478515625 give normal results; zero and tiny inputs give exactly 1.
TEST(ExpKernel, RangeBoundsAndSpecialValues) {
  struct Case {
    uint32 in;
    uint32 out;  // 0xFFFFFFFF: a finite value within the error bound
  };
  const Case cases[] = {
      {0x42B00000u, ~0u},        {0x42B17217u, ~0u},        {0x42B17218u, 0x7F800000u}, {0x42AE3334u, ~0u},
      {0xC2AEAC4Bu, ~0u},        {0xC2AEAC4Fu, ~0u},        {0xC2AEAC50u, 0u},          {0xC2C80000u, 0u},
      {0x7F800000u, 0x7F800000u}, {0xFF800000u, 0u},         {0x7FC00000u, 0x7FC00000u}, {0x7FC00001u, 0x7FC00000u},
      {0xFFC00000u, 0xFFC00000u}, {0x3F800000u, ~0u},        {0x00000001u, 0x3F800000u}, {0x80000000u, 0x3F800000u},
      {0x00000000u, 0x3F800000u}, {0x0DA24260u, 0x3F800000u},  // e^0 and e^1e-30 are 1
  };
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int len : {1, 2, 3, 4, 7, 16, 17}) {
      for (const Case& c : cases) {
        // The case at the last index, the others 0.5 (a group with one special lane).
        std::vector<float> v(len, 0.5f);
        v[len - 1] = FromBits(c.in);
        b.spExponentialKernel_32f(v.data(), v.data(), len);
        SCOPED_TRACE(testing::Message() << b.name << " len " << len << " in " << std::hex << c.in);
        if (c.out == ~0u) {
          EXPECT_LE(UlpError(v[len - 1], std::exp(static_cast<long double>(FromBits(c.in)))), kExpUlps);
          if (c.in == 0x42B17217u) {
            EXPECT_TRUE(std::isfinite(v[len - 1]));
          }
          if (c.in == 0xC2AEAC4Fu) {
            EXPECT_EQ(std::fpclassify(v[len - 1]), FP_NORMAL);
          }
        } else {
          EXPECT_EQ(Bits(v[len - 1]), c.out);
        }
        for (int i = 0; i + 1 < len; ++i) EXPECT_LE(UlpError(v[i], std::exp(0.5L)), kExpUlps) << i;
      }
    }
  }
}

// Five exception flags cleared on exit when any is set, precision flag and controls kept.
TEST(ExpKernel, ClearsExceptionFlagsButPrecision) {
  vmtest::MxcsrGuard guard;
  for (const vmtest::ModuleKernels& b : kBuilds) {
    float v[2] = {1.0f, 2.0f};
    spLoadMxcsr(0x1F80u | 0x01u | 0x20u | 0x6000u);  // invalid and precision raised, round to zero
    b.spExponentialKernel_32f(v, v, 0);
    EXPECT_EQ(spGetMxcsr(), 0x1F80u | 0x20u | 0x6000u) << b.name;
    spLoadMxcsr(0x1F80u);
    float big[1] = {1000.0f};
    b.spExponentialKernel_32f(big, big, 1);
    EXPECT_EQ(spGetMxcsr() & 0x1Fu, 0u) << b.name;
  }
}

// Below four elements every build gives exactly the generic build's short form: results
// in the subnormal range kept (e^-100 is 3.78e-44, not +0), finite results up to
// 88.72284, NaNs through the runtime's exponential; at four elements and more an input
// at or below -87.3365478515625 gives +0 in every build.
TEST(ExpBody, BelowFourElementsEveryBuildGivesTheGenericShortForm) {
  const uint32 inputs[] = {
      0xC2C80000u,  // -100: subnormal result
      0xC2B00000u,  // -88
      0xC2AEAC50u,  // -87.3365478515625, the long form's low bound
      0xC2CF0000u,  // -103.5: rounds to the smallest subnormal or 0
      0xC2D00000u,  // -104: 0
      0x42B00000u,  // 88: finite
      0x42B17217u, 0x42B17218u, 0x42B20000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00001u,
      0x7F800001u, 0x00000001u, 0x80000000u, 0x3F800000u, 0xBF800000u,
  };
  vmtest::Rng rng(9);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int len = 1; len <= 3; ++len) {
      for (int round = 0; round < 40; ++round) {
        std::vector<float> x(len);
        for (int i = 0; i < len; ++i) {
          const uint32 pick = rng.Next();
          x[i] = pick % 3 == 0 ? Uniform(rng, -104.0f, 89.0f)
                               : FromBits(inputs[pick % (sizeof inputs / sizeof inputs[0])]);
        }
        std::vector<float> want(x), got(x);
        ASSERT_EQ(sp::generic::spExponentialInPlace_32f(want.data(), len), SP_OK);
        ASSERT_EQ(b.spExponentialInPlace_32f(got.data(), len), SP_OK);
        for (int i = 0; i < len; ++i)
          EXPECT_EQ(Bits(got[i]), Bits(want[i])) << b.name << " len " << len << " x " << x[i];
      }
    }
    float one[1] = {-100.0f};
    ASSERT_EQ(b.spExponentialInPlace_32f(one, 1), SP_OK);
    EXPECT_EQ(one[0], static_cast<float>(std::exp(-100.0))) << b.name;
    EXPECT_GT(one[0], 0.0f);
    float four[4] = {-100.0f, -100.0f, -100.0f, -100.0f};
    ASSERT_EQ(b.spExponentialInPlace_32f(four, 4), SP_OK);
    for (float v : four) EXPECT_EQ(Bits(v), 0u) << b.name;
  }
}

// ---------------------------------------------------------------------------------------
// Logarithm

TEST(LogKernel, WithinItsBoundOfLongDoubleAlsoForSubnormals) {
  vmtest::Rng rng(2);
  std::vector<float> x(1 << 16);
  for (size_t i = 0; i < x.size(); ++i) {
    const uint32 w = rng.Next() & 0x7FFFFFFFu;
    x[i] = FromBits(i % 8 == 0 ? w % 0x00800000u + 1 : w % 0x7F000000u + 0x00800000u);
  }
  for (uint32 w = 0x3F700000u; w < 0x3F700000u + 4096; ++w) x[w - 0x3F700000u] = FromBits(w);  // near 1
  for (uint32 w = 0x3F83F000u; w < 0x3F83F000u + 4096; ++w) x[4096 + w - 0x3F83F000u] = FromBits(w);  // near 1.031
  // The worst pair found: partners share a division in the eight-wide body.
  for (size_t i = 8192; i < 8192 + 64; ++i) x[i] = FromBits(i % 8 < 4 ? 0x3FA451CFu : 0x3F48F4A6u);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset : {0, 1}) {  // the eight-wide body, and the short path throughout
      std::vector<float> y(x.begin(), x.end());
      const int len = static_cast<int>(x.size()) - offset;
      if (offset == 1) {
        for (size_t k = 0; k < x.size(); k += 31) {
          const int n = std::min<int>(31, static_cast<int>(x.size() - k));
          EXPECT_EQ(b.spNaturalLogKernel_32f(y.data() + k, n, nullptr), 0);
        }
      } else {
        std::vector<unsigned char> work(8 * x.size() + 16);
        EXPECT_EQ(b.spNaturalLogKernel_32f(y.data(), len, work.data()), 0);
      }
      double worst = 0;
      for (int i = 0; i < len; ++i) {
        const double e = UlpError(y[i], std::log(static_cast<long double>(x[i])));
        if (e > worst) worst = e;
      }
      EXPECT_LE(worst, kLogUlps) << b.name << " offset " << offset;
    }
    float tiny[1] = {FromBits(1)};
    b.spNaturalLogKernel_32f(tiny, 1, nullptr);
    EXPECT_NEAR(tiny[0], -103.27893f, 1e-4f) << b.name;
  }
}

TEST(LogKernel, SpecialValuesAndTheFirstZeroOrNegativeFlag) {
  struct Case {
    std::vector<uint32> in;
    std::vector<uint32> out;
    int flags;
  };
  const Case cases[] = {
      {{0x3F800000u, 0x0u, 0xBF800000u}, {0x0u, 0xFF800000u, 0xFFC00000u}, 2},
      {{0xBF800000u, 0x0u}, {0xFFC00000u, 0xFF800000u}, 4},
      {{0x80000000u}, {0xFFC00000u}, 4},
      {{0x7F800000u, 0x7FC00001u, 0x7F800001u}, {0x7F800000u, 0x7FC00001u, 0x7FC00001u}, 0},
      {{0xFFC00000u, 0x0u}, {0xFFC00000u, 0xFF800000u}, 4},
      {{0x40000000u}, {0x3F317218u}, 0},
  };
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (const Case& c : cases) {
      for (int pad : {0, 5, 40}) {  // short path, and inside the eight-wide body
        alignas(16) float v[64];
        for (float& f : v) f = 3.0f;
        const int n = static_cast<int>(c.in.size());
        for (int i = 0; i < n; ++i) v[pad + i] = FromBits(c.in[i]);
        alignas(16) unsigned char work[512];
        EXPECT_EQ(b.spNaturalLogKernel_32f(v, pad + n + 20, work), c.flags) << b.name << " pad " << pad;
        for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(v[pad + i]), c.out[i]) << b.name << " " << i;
      }
    }
  }
}

// The entry's warning comes from the first zero or negative element, also across the
// pieces of 256 elements it works in.
TEST(LogBody, WarningByTheFirstZeroOrNegativeAcrossPieces) {
  for (const vmtest::ModuleKernels& b : kBuilds) {
    std::vector<float> v(700, 2.0f);
    v[5] = 0.0f;
    v[10] = -1.0f;
    EXPECT_EQ(b.spNaturalLogInPlace_32f(v.data(), 300), SP_WARNING_LOG_OF_ZERO) << b.name;
    std::vector<float> w(700, 2.0f);
    w[600] = -1.0f;
    w[650] = 0.0f;
    EXPECT_EQ(b.spNaturalLogInPlace_32f(w.data(), 700), SP_WARNING_LOG_OF_NEGATIVE) << b.name;
    EXPECT_EQ(Bits(w[650]), 0xFF800000u);
    EXPECT_EQ(w[699], std::log(2.0f));
  }
}

// Through the entries in every slot: the exponential never warns; the logarithm's
// warning is the first zero or negative element's.
TEST(ExpLogEntries, WarningsInEverySlot) {
  const int32 saved = spDispatchIndex;
  for (int slot = 0; slot < 4; ++slot) {
    if (!vmtest::Supports(slot)) continue;
    spDispatchIndex = slot;
    std::vector<float> v(300, 3.0f);
    v[10] = -1.0f;
    v[5] = 0.0f;
    std::vector<float> e(v);
    EXPECT_EQ(spNaturalLogInPlace_32f(v.data(), 300), SP_WARNING_LOG_OF_ZERO) << slot;
    EXPECT_EQ(Bits(v[10]), 0xFFC00000u);
    e[7] = FromBits(0x7F800001u);
    e[8] = -1000.0f;
    EXPECT_EQ(spExponentialInPlace_32f(e.data(), 300), SP_OK) << slot;
    EXPECT_EQ(e[8], 0.0f);
  }
  spDispatchIndex = saved;
}

// ---------------------------------------------------------------------------------------
// Every offset and length against the generic build, with guard bytes.

TEST(ExpLogBodies, AgreeWithTheGenericBuildAtEveryOffsetAndLength) {
  vmtest::Rng rng(3);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset = 0; offset < 16; ++offset) {
      for (int len = 1; len <= 70; ++len) {
        SCOPED_TRACE(testing::Message() << b.name << " offset " << offset << " len " << len);
        std::vector<float> x(len);
        for (float& v : x) v = Uniform(rng, -80.0f, 80.0f);
        Guarded g(4 * len, offset);
        std::memcpy(g.data(), x.data(), 4 * len);
        std::vector<float> ref(x);
        EXPECT_EQ(sp::generic::spExponentialInPlace_32f(ref.data(), len), SP_OK);
        EXPECT_EQ(b.spExponentialInPlace_32f(g.f32(), len), SP_OK);
        for (int i = 0; i < len; ++i) {
          float got;
          std::memcpy(&got, g.data() + 4 * i, 4);
          EXPECT_LE(UlpError(got, ref[i]), kExpUlps + 1) << i;
        }
        for (float& v : x) v = std::fabs(v) * 1e3f + 1e-3f;
        std::memcpy(g.data(), x.data(), 4 * len);
        ref = x;
        EXPECT_EQ(sp::generic::spNaturalLogInPlace_32f(ref.data(), len), SP_OK);
        EXPECT_EQ(b.spNaturalLogInPlace_32f(g.f32(), len), SP_OK);
        for (int i = 0; i < len; ++i) {
          float got;
          std::memcpy(&got, g.data() + 4 * i, 4);
          EXPECT_LE(UlpError(got, ref[i]), kLogUlps + 1) << i;
        }
        EXPECT_TRUE(g.GuardsIntact());
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Sum and mean

// Small integers keep every partial sum exact, so each summation order gives the exact
// sum: no element is missed or taken twice at any offset or length.
TEST(SumKernels, EveryElementOnceAtEveryOffsetAndLength) {
  vmtest::Rng rng(4);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset = 0; offset < 16; ++offset) {
      for (int len : {1, 2, 3, 5, 8, 15, 16, 17, 31, 33, 64, 70, 32768 + 5, 70000}) {
        Guarded g(4 * len, offset);
        long long exact = 0;
        for (int i = 0; i < len; ++i) {
          const float v = static_cast<float>(static_cast<int>(rng.Next() % 201) - 100);
          std::memcpy(g.data() + 4 * i, &v, 4);
          exact += static_cast<long long>(v);
        }
        double fast = -1, accurate = -1;
        b.spSumFastKernel_32f(g.f32(), len, &fast);
        b.spSumAccurateKernel_32f(g.f32(), len, &accurate);
        EXPECT_EQ(fast, static_cast<double>(exact)) << b.name << " " << offset << " " << len;
        EXPECT_EQ(accurate, static_cast<double>(exact)) << b.name << " " << offset << " " << len;
        float mean = 0;
        EXPECT_EQ(b.spMean_32f(g.f32(), len, &mean, 0), SP_OK);
        EXPECT_EQ(mean, static_cast<float>(static_cast<double>(static_cast<float>(exact)) / len));
      }
    }
  }
}

// The accurate sum is the long-double sum rounded (within the double rounding of its
// partials); the fast sum stays within the float error bound of its accumulators.
TEST(SumKernels, AgainstLongDoubleWithinTheirBounds) {
  vmtest::Rng rng(5);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int len : {7, 100, 1000, 40000}) {
      std::vector<float> x(len);
      long double exact = 0, mag = 0;
      for (float& v : x) {
        v = rng.Moderate();
        exact += v;
        mag += std::fabs(static_cast<long double>(v));
      }
      float fast = 0, accurate = 0;
      b.spSum_32f(x.data(), len, &fast, 1);
      b.spSum_32f(x.data(), len, &accurate, 0);
      EXPECT_LE(std::fabs(accurate - exact), std::fabs(exact) * 0x1p-24L + mag * len * 0x1p-52L) << len;
      EXPECT_LE(std::fabs(fast - exact), std::fabs(exact) * 0x1p-24L + mag * (len / 16 + 8) * 0x1p-24L) << len;
    }
  }
}

TEST(SumKernels, PartExamples) {
  for (const vmtest::ModuleKernels& b : kBuilds) {
    alignas(16) float v[33] = {};
    v[0] = 16777216.0f;
    v[16] = 1.0f;
    v[32] = 1.0f;
    float s = 0;
    b.spSum_32f(v, 33, &s, 1);
    EXPECT_EQ(s, 16777216.0f) << b.name;
    for (int hint : {0, 2, -1}) {
      b.spSum_32f(v, 33, &s, hint);
      EXPECT_EQ(s, 16777218.0f) << b.name;
    }
    alignas(16) float z[21];
    for (float& f : z) f = -0.0f;
    for (int hint : {0, 1}) {
      for (int off : {0, 1, 2, 3}) {
        b.spSum_32f(z + off, 18, &s, hint);
        EXPECT_EQ(Bits(s), 0u) << b.name;
      }
    }
    const float m[2] = {1.0f, 2.0f};
    b.spMean_32f(m, 2, &s, 1);
    EXPECT_EQ(s, 1.5f);
  }
}

// ---------------------------------------------------------------------------------------
// Dot product

// Small integers: every product and partial sum exact, so all orders agree with the
// exact dot product; both pointers at every byte offset 0-15 (also not multiples of 4).
TEST(DotKernels, EveryProductOnceAtEveryOffsetAndLength) {
  vmtest::Rng rng(6);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int o1 = 0; o1 < 16; ++o1) {
      for (int o2 = 0; o2 < 16; ++o2) {
        for (int len = 1; len <= 70; len += (len < 20 ? 1 : 7)) {
          Guarded g1(4 * len, o1), g2(4 * len, o2);
          long long exact = 0;
          for (int i = 0; i < len; ++i) {
            const float x = static_cast<float>(static_cast<int>(rng.Next() % 61) - 30);
            const float y = static_cast<float>(static_cast<int>(rng.Next() % 61) - 30);
            std::memcpy(g1.data() + 4 * i, &x, 4);
            std::memcpy(g2.data() + 4 * i, &y, 4);
            exact += static_cast<long long>(x) * static_cast<long long>(y);
          }
          float r = -1;
          EXPECT_EQ(b.spDotProduct_32f(g1.f32(), g2.f32(), len, &r), SP_OK);
          ASSERT_EQ(r, static_cast<float>(exact)) << b.name << " " << o1 << " " << o2 << " " << len;
        }
      }
    }
  }
}

TEST(DotKernels, WithinTheFloatBoundOfTheExactDotProduct) {
  vmtest::Rng rng(7);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int offset = 0; offset < 16; offset += 4) {
      for (int len : {3, 16, 17, 40, 100, 1000}) {
        Guarded g1(4 * len, offset), g2(4 * len, 12 - (offset % 12));
        long double exact = 0, mag = 0;
        for (int i = 0; i < len; ++i) {
          const float x = rng.Moderate(), y = rng.Moderate();
          std::memcpy(g1.data() + 4 * i, &x, 4);
          std::memcpy(g2.data() + 4 * i, &y, 4);
          exact += static_cast<long double>(x) * y;
          mag += std::fabs(static_cast<long double>(x) * y);
        }
        float r = 0;
        b.dot(g1.f32(), g2.f32(), len, &r);
        EXPECT_LE(std::fabs(r - exact), mag * (len / 4 + 8) * 0x1p-24L) << b.name << " " << len;
      }
    }
  }
}

// Short vectors: even positions into one sum, odd into the other, odd + even.
TEST(DotKernels, ShortVectorsSumOddThenEvenPositions) {
  for (const vmtest::ModuleKernels& b : kBuilds) {
    const float x[3] = {1e8f, 1.0f, 1.0f}, y[3] = {1.0f, 1.0f, 1.0f};
    float r = 0;
    b.dot(x, y, 3, &r);
    EXPECT_EQ(r, (1.0f + 1.0f) + 1e8f) << b.name;  // (p1 + p2) + p0
    b.dot(x, y, 1, &r);
    EXPECT_EQ(r, 1e8f);
  }
}

}  // namespace
