// Floating-point division of the processor builds against extended-precision quotients
// at every offset and length 1-70, the blocks that must not take the estimate, the
// zero-divisor tables, and the division entry in every slot.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "sp/sp.h"
#include "vecmath_test_support.h"

namespace {

using sptest::Bits;
using sptest::FromBits;
using sptest::Guarded;

struct Divide {
  const char* name;
  decltype(&sp::sse3::spDivideKernel_32f) f32;
  decltype(&sp::sse3::spDivideConstByVectorKernel_32f) const32;
  decltype(&sp::sse3::spDivideKernel_32fc) c32;
  decltype(&sp::sse3::spDivideKernel_64f) f64;
  decltype(&sp::sse3::spDivideKernel_64fc) c64;
  decltype(&sp::sse3::spDivide_32f) body;
};
#define DIVIDE_BUILD(ns)                                                                            \
  Divide {                                                                                          \
    #ns, &sp::ns::spDivideKernel_32f, &sp::ns::spDivideConstByVectorKernel_32f, &sp::ns::spDivideKernel_32fc, \
        &sp::ns::spDivideKernel_64f, &sp::ns::spDivideKernel_64fc, &sp::ns::spDivide_32f            \
  }

std::vector<Divide> Builds() {
  std::vector<Divide> b;
  if (vmtest::Supports(1)) b.push_back(DIVIDE_BUILD(sse3));
  if (vmtest::Supports(2)) b.push_back(DIVIDE_BUILD(ssse3));
  if (vmtest::Supports(3)) b.push_back(DIVIDE_BUILD(sse41));
  return b;
}
const std::vector<Divide> kBuilds = Builds();

uint64_t Bits64(double x) {
  uint64_t b;
  std::memcpy(&b, &x, 8);
  return b;
}

// Error of got in units in the last place of the exact value's precision (24 or 53
// bits), measured against an extended-precision exact value.
template <class T>
long double Ulps(T got, long double exact) {
  constexpr int kDigits = std::numeric_limits<T>::digits;
  constexpr int kMinExp = std::numeric_limits<T>::min_exponent;
  if (std::isnan(exact)) return std::isnan(got) ? 0 : 1e9L;
  if (std::isinf(static_cast<T>(exact)) || std::isinf(got)) return got == static_cast<T>(exact) ? 0 : 1e9L;
  const int e = exact == 0 ? kMinExp : std::max(std::ilogb(exact) + 1, kMinExp);
  return std::fabs(static_cast<long double>(got) - exact) / std::ldexp(1.0L, e - kDigits);
}

// Norm-wise error of a complex quotient in units of the precision's epsilon; quotients
// beyond the type's range, or in its subnormal range, are not measured.
template <class T>
long double NormUlps(std::complex<T> got, std::complex<long double> exact) {
  using L = std::numeric_limits<T>;
  const long double scale = std::abs(exact);
  if (!(scale < L::max() / 2) || scale < static_cast<long double>(L::min()) / L::epsilon()) return 0;
  const std::complex<long double> g(got.real(), got.imag());
  return std::abs(g - exact) / scale / std::numeric_limits<T>::epsilon();
}

// Quotients of every magnitude the single range allows, mostly moderate.
float Wide(vmtest::Rng& rng) {
  const uint32 w = rng.Next();
  if (w % 8 != 0) return rng.Moderate();
  return FromBits((w & 0x80000000u) | (((w >> 8) % 250 + 2) << 23) | (rng.Next() & 0x7FFFFFu));
}

// Upper error bounds in units in the last place. 32f: the estimate's own error is gone
// after the third-order correction (about 2^-34), but the rounding of n r, of d r inside
// e and of the last addition stay: up to about 2 units. 32fc and 64fc (norm-wise): the
// refined reciprocal of the modulus and the roundings of the modulus, numerator and
// products. 64f: the shared reciprocal and its products add up to five roundings, and
// the final step to a 4-unit grid adds 2.
constexpr long double kUlps32f = 2.5, kNorm32fc = 4, kUlps64f = 8, kNorm64fc = 4;

TEST(VecmathDivide, QuotientsWithinTheirBoundAtEveryOffsetAndLength) {
  vmtest::Rng rng(38);
  for (const Divide& b : kBuilds) {
    SCOPED_TRACE(b.name);
    long double worst[5] = {};
    for (int offset = 0; offset < 32; offset += 1) {
      for (int len = 1; len <= 70; ++len) {
        Guarded d(16 * len, (offset * 7 + 4) % 32), n(16 * len, (offset * 3) % 32), o(16 * len, offset);
        std::vector<float> df(4 * len), nf(4 * len), of(4 * len);
        for (int i = 0; i < 4 * len; ++i) df[i] = Wide(rng), nf[i] = Wide(rng);
        std::memcpy(d.data(), df.data(), 16 * len);
        std::memcpy(n.data(), nf.data(), 16 * len);
        auto out = [&of, &o] { return std::memcpy(of.data(), o.data(), of.size() * 4), of.data(); };
        ASSERT_EQ(b.f32(d.f32(), n.f32(), o.f32(), len), 0);
        for (int i = 0; i < len; ++i) worst[0] = std::max(worst[0], Ulps(out()[i], (long double)nf[i] / df[i]));
        ASSERT_EQ(b.const32(d.f32(), n.f32(), o.f32(), len), 0);
        for (int i = 0; i < len; ++i) worst[1] = std::max(worst[1], Ulps(out()[i], (long double)nf[0] / df[i]));
        ASSERT_EQ(b.c32(d.f32(), n.f32(), o.f32(), len), 0);
        out();
        for (int i = 0; i < len; ++i) {
          const std::complex<long double> x(df[2 * i], df[2 * i + 1]), y(nf[2 * i], nf[2 * i + 1]);
          worst[2] = std::max(worst[2], NormUlps(std::complex<float>(of[2 * i], of[2 * i + 1]), y / x));
        }
        std::vector<double> dd(2 * len), nd(2 * len), od(2 * len);
        for (int i = 0; i < 2 * len; ++i) {
          dd[i] = static_cast<double>(Wide(rng)) * (1 + 0x1p-30 * (rng.Next() & 0xFFFFF));
          nd[i] = static_cast<double>(Wide(rng)) * (1 + 0x1p-30 * (rng.Next() & 0xFFFFF));
        }
        std::memcpy(d.data(), dd.data(), 16 * len);
        std::memcpy(n.data(), nd.data(), 16 * len);
        auto* d64 = reinterpret_cast<double*>(d.data());
        auto* n64 = reinterpret_cast<double*>(n.data());
        auto* o64 = reinterpret_cast<double*>(o.data());
        ASSERT_EQ(b.f64(d64, n64, o64, len), 0);
        std::memcpy(od.data(), o.data(), 16 * len);
        for (int i = 0; i < len; ++i) worst[3] = std::max(worst[3], Ulps(od[i], (long double)nd[i] / dd[i]));
        ASSERT_EQ(b.c64(d64, n64, o64, len), 0);
        std::memcpy(od.data(), o.data(), 16 * len);
        for (int i = 0; i < len; ++i) {
          const std::complex<long double> x(dd[2 * i], dd[2 * i + 1]), y(nd[2 * i], nd[2 * i + 1]);
          worst[4] = std::max(worst[4], NormUlps(std::complex<double>(od[2 * i], od[2 * i + 1]), y / x));
        }
        ASSERT_TRUE(d.GuardsIntact() && n.GuardsIntact() && o.GuardsIntact()) << offset << " " << len;
      }
    }
    EXPECT_LE(worst[0], kUlps32f);
    EXPECT_LE(worst[1], kUlps32f);
    EXPECT_LE(worst[2], kNorm32fc);
    EXPECT_LE(worst[3], kUlps64f);
    EXPECT_LE(worst[4], kNorm64fc);
  }
}

// Against the generic build: the same special values (NaN as NaN), and finite
// quotients within the bound, with zeros, infinities, NaNs and subnormals mixed in.
TEST(VecmathDivide, SingleKernelMatchesTheGenericBuildOnSpecialValues) {
  vmtest::Rng rng(9);
  auto any = [&rng]() {
    const uint32 w = rng.Next();
    switch (w % 12) {
      case 0: return FromBits(w & 0x80000000u);
      case 1: return FromBits((w & 0x807FFFFFu) | 1);
      case 2: return FromBits((w & 0x80000000u) | 0x7F800000u);
      case 3: return FromBits(0x7FC00000u);
      case 4: return FromBits((w & 0x80000000u) | 0x7E800000u | (w & 0x7FFFFF));  // near the top
      default: return Wide(rng);
    }
  };
  for (const Divide& b : kBuilds) {
    for (int offset = 0; offset < 16; ++offset) {
      for (int len = 1; len <= 70; ++len) {
        Guarded d(4 * len, offset), n(4 * len, (offset + 8) % 16), o(4 * len, (offset * 5) % 16);
        std::vector<float> ref(len), dv(len), nv(len), got(len);
        for (int i = 0; i < len; ++i) dv[i] = any(), nv[i] = any();
        std::memcpy(d.data(), dv.data(), 4 * len);
        std::memcpy(n.data(), nv.data(), 4 * len);
        const spStatus expected = sp::generic::spDivide_32f(dv.data(), nv.data(), ref.data(), len);
        ASSERT_EQ(b.body(d.f32(), n.f32(), o.f32(), len), expected) << b.name << " " << offset << " " << len;
        std::memcpy(got.data(), o.data(), 4 * len);
        for (int i = 0; i < len; ++i) {
          if (std::isnan(ref[i])) {
            ASSERT_TRUE(std::isnan(got[i])) << b.name << " " << offset << " " << len << " " << i;
          } else {
            ASSERT_LE(Ulps(got[i], ref[i]), kUlps32f) << b.name << " " << offset << " " << len << " " << i << ": "
                                                      << nv[i] << " / " << dv[i];
          }
        }
        ASSERT_TRUE(o.GuardsIntact());
      }
    }
  }
}

// Blocks without a zero divisor whose divisors or quotients lie where the estimate
// fails still get the IEEE quotient, in the vector and the constant kernel alike.
TEST(VecmathDivide, ExtremeSingleOperandsAreDividedExactly) {
  struct Case {
    float n, d;
  } cases[] = {{1e38f, 1e38f}, {1.0f, INFINITY}, {1.0f, 1e-40f}, {3e38f, 0.1f}, {-3e38f, 0.25f},
               {1e-30f, 1e20f}, {1.0f, 0x1.8p126f}, {5.0f, -0x1.8p127f}, {INFINITY, 3.0f}, {-0.0f, 3.0f}};
  for (const Divide& b : kBuilds) {
    for (const Case& c : cases) {
      alignas(16) float d[8] = {1, 2, 3, 4, 5, 6, 7, 8}, n[8] = {8, 7, 6, 5, 4, 3, 2, 1}, o[8];
      d[5] = c.d;
      n[5] = c.n;
      EXPECT_EQ(b.f32(d, n, o, 8), 0);
      EXPECT_EQ(Bits(o[5]), Bits(c.n / c.d)) << b.name << " " << c.n << " / " << c.d;
      EXPECT_EQ(b.const32(d, &c.n, o, 8), 0);
      EXPECT_EQ(Bits(o[5]), Bits(c.n / c.d)) << b.name << " " << c.n << " / " << c.d;
    }
  }
}

TEST(VecmathDivide, ZeroDivisorTables) {
  for (const Divide& b : kBuilds) {
    SCOPED_TRACE(b.name);
    alignas(16) float d[8] = {0, 0, 0, -0.0f, 3, 3, 3, 3}, n[8] = {1, -1, 0, 1, 1, 2, 4, 5}, o[8];
    EXPECT_NE(b.f32(d, n, o, 8), 0);
    const uint32 specials[4] = {0x7F800000u, 0xFF800000u, 0x7FC00000u, 0x7F800000u};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Bits(o[i]), specials[i]) << i;
    for (int i = 4; i < 8; ++i) EXPECT_EQ(o[i], n[i] / 3.0f) << "exactly rounded beside a zero divisor";
    // The constant kernel decides per half: the half without a zero takes the estimate.
    alignas(16) const float dc[8] = {0, 2, 4, 8, 1, 1, 1, 1};
    const float one = 1.0f;
    EXPECT_NE(b.const32(dc, &one, o, 8), 0);
    EXPECT_EQ(Bits(o[0]), 0x7F800000u);
    EXPECT_EQ(o[1], 0.5f);
    EXPECT_EQ(o[3], 0.125f);
    EXPECT_NEAR(o[7], 1.0f, 2e-7f);

    // The zero shares its four-fold product with an infinity (a NaN product): it still
    // counts, and the infinity divides normally.
    alignas(16) double dd[9] = {0, 1, 2, 4, INFINITY, 1, 1, 1, 0}, nd[9] = {-1, 1, 1, 1, 1, 1, 1, 1, 1}, od[9];
    EXPECT_NE(b.f64(dd, nd, od, 8), 0);
    EXPECT_EQ(Bits64(od[0]), 0x7FF8000000000000ull);
    EXPECT_EQ(od[3], 0.25);
    EXPECT_EQ(od[4], 0.0);
    EXPECT_NE(b.f64(dd + 8, nd, od, 1), 0);

    alignas(16) float zc[6] = {3, 4, 0, 0, 0, 0}, nc[6] = {25, 0, 1, 1, 0, 0}, oc[6];
    EXPECT_NE(b.c32(zc, nc, oc, 3), 0);
    EXPECT_NEAR(oc[0], 3.0f, 1e-6f);
    EXPECT_NEAR(oc[1], -4.0f, 1e-6f);
    for (int i = 2; i < 6; ++i) EXPECT_EQ(Bits(oc[i]), 0x7FC00000u) << i;
    alignas(16) double zd[6] = {3, 4, 1, 1, 0, 0}, ndc[6] = {25, 0, 2, 0, 1, 1}, odc[6];
    EXPECT_NE(b.c64(zd, ndc, odc, 3), 0);
    EXPECT_EQ(Bits64(odc[4]), 0x7FF8000000000000ull);
    EXPECT_EQ(Bits64(odc[5]), 0x7FF8000000000000ull);
    EXPECT_EQ(b.c64(zd, ndc, odc, 2), 0);
  }
}

// Divisors whose squared modulus or four-fold product leaves the exponent range: the
// quotient is still the accurate one, and only an exact zero counts as a zero divisor.
TEST(VecmathDivide, DivisorsNearTheEndsOfTheRangeKeepAccurateQuotients) {
  for (const Divide& b : kBuilds) {
    SCOPED_TRACE(b.name);
    for (float part : {1e-20f, 3e-39f, 1e20f, 3e38f}) {
      alignas(16) float d[8] = {part, part, 1, 0, 1, 2, 2, 1}, n[8] = {1, 0, 1, 1, 1, 1, 1, 1}, o[8];
      ASSERT_EQ(b.c32(d, n, o, 4), 0) << part;
      const std::complex<long double> exact = std::complex<long double>(1, 0) / std::complex<long double>(part, part);
      EXPECT_LE(NormUlps(std::complex<float>(o[0], o[1]), exact), kNorm32fc) << part;
    }
    // 1.1 * 2^-536 and 1.3 * 2^-536 share a lane of the four-fold product with partners
    // of 2^300 (a normal product, but a partial product below the range): 1 / (1.1 *
    // 2^-536) is still 2.04e161, and every other quotient near its exact value.
    alignas(16) double d[8] = {0x1.199999999999ap-536, 1, 0x1p300, 1, 0x1.4cccccccccccdp-536, 1, 0x1p300, 1};
    alignas(16) double n[8] = {1, 1, 1, 1, 1, 1, 1, 1}, o[8];
    ASSERT_EQ(b.f64(d, n, o, 8), 0);
    for (int i = 0; i < 8; ++i) EXPECT_LE(Ulps(o[i], (long double)n[i] / d[i]), kUlps64f) << i;
    for (double part : {1e-200, 1e-300, 1e-305, 1e200, 1e300}) {
      alignas(16) double dc[4] = {part, part, 2, 0}, nc[4] = {1, 0, 1, 0}, oc[4];
      ASSERT_EQ(b.c64(dc, nc, oc, 2), 0) << part;
      const std::complex<long double> exact = std::complex<long double>(1, 0) / std::complex<long double>(part, part);
      EXPECT_LE(NormUlps(std::complex<double>(oc[0], oc[1]), exact), kNorm64fc) << part;
      EXPECT_EQ(oc[2], 0.5);
    }
  }
}

// Dividends far from 1 with ordinary divisors stay on the fast paths (only the divisor's
// range is tested there) and still give accurate quotients, down to subnormal ones;
// divisors at the edges of the shared-reciprocal range of the double kernel likewise.
TEST(VecmathDivide, ExtremeDividendsAndEdgeDivisorsKeepAccurateQuotients) {
  for (const Divide& b : kBuilds) {
    SCOPED_TRACE(b.name);
    const double d64[] = {0x1p-250, 0x1.fffffffffffffp250, 0x1p251, 0x1.8p-251, 3, -7, 0x1p-200, 1e-10};
    const double n64[] = {1e-310, -0x1.3p699, 0x1.3p700, 5, 1e-320, 0x1.fp-1022, 0x1p699, -1e-300};
    for (int shift = 0; shift < 8; ++shift) {
      alignas(16) double d[8], n[8], o[8];
      for (int i = 0; i < 8; ++i) d[i] = d64[(i + shift) % 8], n[i] = n64[i];
      ASSERT_EQ(b.f64(d, n, o, 8), 0);
      for (int i = 0; i < 8; ++i) {
        EXPECT_LE(Ulps(o[i], (long double)n[i] / d[i]), kUlps64f) << n[i] << " / " << d[i];
      }
    }
    struct C64 {
      double a, b, c, d;
    } c64[] = {{1e10, 2e10, 1e300, -3e299}, {-3e-5, 1e-5, 1e-300, 2e-300}, {1, 1, 1.7e308, -1.7e308},
               {0x1p-500, 0x1p-501, 0x1p-600, 3}, {0x1p499, -0x1p498, 0x1p1000, 0x1p-1000}, {2, 0, 1e-320, 0}};
    for (const C64& c : c64) {
      alignas(16) double d[4] = {c.a, c.b, 3, 4}, n[4] = {c.c, c.d, 25, 0}, o[4];
      ASSERT_EQ(b.c64(d, n, o, 2), 0);
      const std::complex<long double> exact =
          std::complex<long double>(c.c, c.d) / std::complex<long double>(c.a, c.b);
      EXPECT_LE(NormUlps(std::complex<double>(o[0], o[1]), exact), kNorm64fc) << c.c << " / " << c.a;
      EXPECT_LE(NormUlps(std::complex<double>(o[2], o[3]), {3, -4}), kNorm64fc);
    }
    struct C32 {
      float a, b, c, d;
    } c32[] = {{1e5f, 1e5f, 1e35f, 2e35f}, {-1e-3f, 3e-3f, 1e-35f, -2e-35f}, {1, -1, 3e38f, 3e38f},
               {0x1p-60f, 0x1p-61f, 0x1p-70f, 1}, {0x1p59f, 0x1p58f, 0x1p120f, 0x1p-120f}};
    for (const C32& c : c32) {
      alignas(16) float d[8] = {c.a, c.b, 3, 4, 1, 2, 2, 1}, n[8] = {c.c, c.d, 25, 0, 1, 1, 1, 1}, o[8];
      ASSERT_EQ(b.c32(d, n, o, 4), 0);
      const std::complex<long double> exact =
          std::complex<long double>(c.c, c.d) / std::complex<long double>(c.a, c.b);
      EXPECT_LE(NormUlps(std::complex<float>(o[0], o[1]), exact), kNorm32fc) << c.c << " / " << c.a;
    }
  }
}

// The kernels leave MXCSR as they found it and follow the caller's rounding mode where
// they divide exactly.
TEST(VecmathDivide, CallersRoundingModeAndControlBitsStay) {
  vmtest::MxcsrGuard guard;
  for (const Divide& b : kBuilds) {
    const uint32 control = (spGetMxcsr() & ~0x603Fu) | 0x6000u;  // round toward zero
    spLoadMxcsr(control);
    alignas(16) float d[8] = {0, 3, 3, 3, 3, 3, 3, 3}, n[8] = {1, 1, 2, 4, 5, 7, 8, 10}, o[8];
    volatile float three = 3.0f;
    b.f32(d, n, o, 8);
    for (int i = 1; i < 8; ++i) EXPECT_EQ(o[i], n[i] / three) << b.name << " " << i;
    alignas(16) double dd[3] = {3, 3, 3}, nd[3] = {1, 2, 0}, od[3];
    b.f64(dd, nd, od, 3);
    b.c64(dd, nd, od, 1);
    b.c32(d, n, o, 4);
    EXPECT_EQ(spGetMxcsr() & ~0x3Fu, control & ~0x3Fu) << b.name;
  }
}

TEST(VecmathDivide, NoWorkForLengthsAtOrBelowZero) {
  for (const Divide& b : kBuilds) {
    float d[1] = {0}, n[1] = {1}, o[1] = {7};
    double dd[2] = {0, 0}, nd[2] = {1, 1}, od[2] = {7, 7};
    for (int len : {0, -1, -100}) {
      EXPECT_EQ(b.f32(d, n, o, len), 0);
      EXPECT_EQ(b.const32(d, n, o, len), 0);
      EXPECT_EQ(b.c32(d, n, o, len), 0);
      EXPECT_EQ(b.f64(dd, nd, od, len), 0);
      EXPECT_EQ(b.c64(dd, nd, od, len), 0);
    }
    EXPECT_EQ(o[0], 7.0f);
    EXPECT_EQ(od[0], 7.0);
  }
}

// Through the entry in every slot: the zero-divisor table and warning 6.
TEST(VecmathDivide, EntryWarnsOnZeroDivisorsInEverySlot) {
  const int32 saved = spDispatchIndex;
  for (int slot = 0; slot < 4; ++slot) {
    if (!vmtest::Supports(slot)) continue;
    spDispatchIndex = slot;
    const float d[5] = {0, -0.0f, 0, 0, 2}, n[5] = {3, 3, -3, 0, 1};
    float o[5];
    EXPECT_EQ(spDivide_32f(d, n, o, 5), SP_WARNING_DIVIDED_BY_ZERO) << slot;
    EXPECT_EQ(Bits(o[0]), 0x7F800000u);
    EXPECT_EQ(Bits(o[1]), 0x7F800000u);
    EXPECT_EQ(Bits(o[2]), 0xFF800000u);
    EXPECT_TRUE(std::isnan(o[3]));
    EXPECT_EQ(o[4], 0.5f);
    EXPECT_EQ(spDivide_32f(d + 4, n, o, 1), SP_OK) << slot;
    EXPECT_EQ(o[0], 1.5f);
  }
  spDispatchIndex = saved;
  EXPECT_EQ(spDispatchGroup2[sp::group2::spDivide_32f].slot[1],
            reinterpret_cast<spEntryAddress>(&sp::sse3::spDivide_32f));
}

}  // namespace
