// The processor kernels: every build against the generic build bit for bit where the
// arithmetic is fixed (absolute value, extremes, element-wise arithmetic, squares,
// element-wise minimum and maximum) at every offset 0-31 and length 1-70 with guard
// bytes; the kernels' own edge cases; the streaming thresholds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "vecmath_test_support.h"

namespace {

using sptest::Bits;
using sptest::FromBits;
using sptest::Guarded;

const std::vector<vmtest::Bodies> kBodies = vmtest::SupportedBodies();
const std::vector<vmtest::Kernels> kKernels = vmtest::SupportedKernels();
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kQNaN = FromBits(0x7FC00000u);

// Floats of every kind: ordinary, zeros of both signs, subnormals, infinities, NaNs.
float AnyFloat(vmtest::Rng& rng) {
  const uint32 w = rng.Next();
  switch (w % 16) {
    case 0: return (w & 16) ? 0.0f : -0.0f;
    case 1: return FromBits((w & 0x807FFFFFu) | 1);        // subnormal
    case 2: return (w & 16) ? kInf : -kInf;
    case 3: return FromBits(0x7F800001u | (w & 0x803FFFFFu) | ((w & 32) << 17));  // NaN
    default: return rng.Moderate();
  }
}

template <class Gen>
void Fill(Guarded& g, int len, vmtest::Rng& rng, Gen gen) {
  for (int i = 0; i < len; ++i) {
    const float f = gen(rng);
    std::memcpy(g.f32() + i, &f, 4);
  }
}

bool SameBytes(Guarded& a, Guarded& b, int bytes) { return std::memcmp(a.data(), b.data(), bytes) == 0; }

// One-source bodies (square, and in place: absolute value) against the generic build.
TEST(VecmathBuilds, UnaryBodiesEqualTheGenericBuildAtEveryOffsetAndLength) {
  vmtest::Rng rng(1);
  for (size_t bi = 1; bi < kBodies.size(); ++bi) {
    const vmtest::Bodies& b = kBodies[bi];
    SCOPED_TRACE(b.name);
    for (int offset = 0; offset < 32; ++offset) {
      for (int len = 1; len <= 70; ++len) {
        Guarded src(4 * len, (offset * 7 + 3) % 32), ref(4 * len, offset), out(4 * len, offset);
        Fill(src, len, rng, AnyFloat);
        ASSERT_EQ(kBodies[0].square(src.f32(), ref.f32(), len), SP_OK);
        ASSERT_EQ(b.square(src.f32(), out.f32(), len), SP_OK);
        ASSERT_TRUE(SameBytes(ref, out, 4 * len)) << "square offset " << offset << " len " << len;
        ASSERT_TRUE(out.GuardsIntact()) << "square offset " << offset << " len " << len;

        std::memcpy(ref.data(), src.data(), 4 * len);
        std::memcpy(out.data(), src.data(), 4 * len);
        kBodies[0].absInPlace(ref.f32(), len);
        b.absInPlace(out.f32(), len);
        ASSERT_TRUE(SameBytes(ref, out, 4 * len)) << "abs offset " << offset << " len " << len;
        ASSERT_TRUE(out.GuardsIntact()) << "abs offset " << offset << " len " << len;
      }
    }
  }
}

// Two-source bodies, each source at its own offset, and in place on either source.
TEST(VecmathBuilds, ArithmeticAndElementwiseBodiesEqualTheGenericBuild) {
  vmtest::Rng rng(2);
  using Two = spStatus (*)(const float*, const float*, float*, int);
  using InPlace = spStatus (*)(const float*, float*, int);
  for (size_t bi = 1; bi < kBodies.size(); ++bi) {
    const vmtest::Bodies& b = kBodies[bi];
    SCOPED_TRACE(b.name);
    const struct {
      const char* name;
      Two ref, test;
    } twos[] = {{"add", kBodies[0].add, b.add},
                {"subtract", kBodies[0].subtract, b.subtract},
                {"multiply", kBodies[0].multiply, b.multiply}};
    const struct {
      const char* name;
      InPlace ref, test;
    } inPlace[] = {{"multiply in place", kBodies[0].multiplyInPlace, b.multiplyInPlace},
                   {"min elementwise", kBodies[0].minElementwise, b.minElementwise},
                   {"max elementwise", kBodies[0].maxElementwise, b.maxElementwise}};
    for (int offset = 0; offset < 32; ++offset) {
      for (int len = 1; len <= 70; ++len) {
        Guarded s1(4 * len, (offset * 5 + 1) % 32), s2(4 * len, (offset * 11 + 2) % 32);
        Guarded ref(4 * len, offset), out(4 * len, offset);
        Fill(s1, len, rng, AnyFloat);
        Fill(s2, len, rng, [](vmtest::Rng& r) { return r.Moderate(); });  // NaNs in one source only
        for (const auto& op : twos) {
          op.ref(s1.f32(), s2.f32(), ref.f32(), len);
          op.test(s1.f32(), s2.f32(), out.f32(), len);
          ASSERT_TRUE(SameBytes(ref, out, 4 * len)) << op.name << " offset " << offset << " len " << len;
          ASSERT_TRUE(out.GuardsIntact()) << op.name;
          // Destination equal to the first source.
          std::memcpy(out.data(), s1.data(), 4 * len);
          op.test(out.f32(), s2.f32(), out.f32(), len);
          ASSERT_TRUE(SameBytes(ref, out, 4 * len)) << op.name << " in place, len " << len;
        }
        for (const auto& op : inPlace) {
          std::memcpy(ref.data(), s2.data(), 4 * len);
          std::memcpy(out.data(), s2.data(), 4 * len);
          op.ref(s1.f32(), ref.f32(), len);
          op.test(s1.f32(), out.f32(), len);
          ASSERT_TRUE(SameBytes(ref, out, 4 * len)) << op.name << " offset " << offset << " len " << len;
          ASSERT_TRUE(out.GuardsIntact()) << op.name;
        }
        // Element-wise minimum and maximum with NaNs and zeros on both sides.
        Fill(s2, len, rng, AnyFloat);
        for (const auto& op : inPlace) {
          if (op.ref == kBodies[0].multiplyInPlace) continue;
          std::memcpy(ref.data(), s2.data(), 4 * len);
          std::memcpy(out.data(), s2.data(), 4 * len);
          op.ref(s1.f32(), ref.f32(), len);
          op.test(s1.f32(), out.f32(), len);
          ASSERT_TRUE(SameBytes(ref, out, 4 * len)) << op.name << " specials, len " << len;
        }
      }
    }
  }
}

// Without NaNs and without zeros of both signs every build finds the same extreme; with
// them the processor builds agree with one another.
TEST(VecmathBuilds, ExtremesEqualTheGenericBuildAndEachOther) {
  vmtest::Rng rng(3);
  for (int offset = 0; offset < 32; ++offset) {
    for (int len = 1; len <= 70; ++len) {
      Guarded x(4 * len, offset);
      Fill(x, len, rng, [](vmtest::Rng& r) { return r.Moderate(); });
      float refMax = 0, refMin = 0;
      kBodies[0].max(x.f32(), len, &refMax);
      kBodies[0].min(x.f32(), len, &refMin);
      for (size_t bi = 1; bi < kBodies.size(); ++bi) {
        float mx = 0, mn = 0;
        ASSERT_EQ(kBodies[bi].max(x.f32(), len, &mx), SP_OK);
        ASSERT_EQ(kBodies[bi].min(x.f32(), len, &mn), SP_OK);
        ASSERT_EQ(Bits(mx), Bits(refMax)) << kBodies[bi].name << " offset " << offset << " len " << len;
        ASSERT_EQ(Bits(mn), Bits(refMin)) << kBodies[bi].name << " offset " << offset << " len " << len;
      }
      Fill(x, len, rng, AnyFloat);
      if (kKernels.empty()) continue;
      float firstMax = 0, firstMin = 0;
      kKernels[0].max32f(x.f32(), len, &firstMax);
      kKernels[0].min32f(x.f32(), len, &firstMin);
      float last;
      std::memcpy(&last, x.f32() + len - 1, 4);
      EXPECT_EQ(std::isnan(firstMax), std::isnan(last)) << "offset " << offset << " len " << len;
      for (const vmtest::Kernels& k : kKernels) {
        float mx = 0, mn = 0;
        k.max32f(x.f32(), len, &mx);
        k.min32f(x.f32(), len, &mn);
        ASSERT_EQ(Bits(mx), Bits(firstMax)) << k.name;
        ASSERT_EQ(Bits(mn), Bits(firstMin)) << k.name;
      }
    }
  }
}

TEST(VecmathKernels, ExtremesOfTheFloatKernelsFollowTheComparisonOrder) {
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    for (int offset = 0; offset < 32; ++offset) {
      Guarded x(8, offset);
      float m = 0;
      const float nanOne[2] = {kQNaN, 1.0f}, oneNaN[2] = {1.0f, kQNaN};
      std::memcpy(x.data(), nanOne, 8);
      k.max32f(x.f32(), 2, &m);
      EXPECT_EQ(m, 1.0f) << offset;
      k.max32f(x.f32(), 1, &m);  // one element, a NaN, is the result
      EXPECT_TRUE(std::isnan(m)) << offset;
      std::memcpy(x.data(), oneNaN, 8);
      k.max32f(x.f32(), 2, &m);
      EXPECT_TRUE(std::isnan(m)) << offset;
      const float zeros[2] = {-0.0f, 0.0f};
      std::memcpy(x.data(), zeros, 8);
      k.min32f(x.f32(), 2, &m);
      EXPECT_EQ(Bits(m), 0u) << offset;
      const float zeros2[2] = {0.0f, -0.0f};
      std::memcpy(x.data(), zeros2, 8);
      k.max32f(x.f32(), 2, &m);
      EXPECT_EQ(Bits(m), 0x80000000u) << offset;
      EXPECT_TRUE(x.GuardsIntact());
    }
    // Doubles: the later of two equal zeros wins, so the result follows the alignment.
    alignas(16) double d[4] = {0.0, 0.0, -0.0, 0.0};
    double r = 1;
    k.max64f(d, 2, &r);
    EXPECT_FALSE(std::signbit(r));
    k.max64f(d + 1, 2, &r);
    EXPECT_TRUE(std::signbit(r));
  }
}

TEST(VecmathKernels, DoubleAndIntegerExtremesAreExact) {
  vmtest::Rng rng(4);
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    const int16 small[3] = {5, -7, 9};
    int16 m16 = 0;
    k.max16s(small, 3, &m16);
    EXPECT_EQ(m16, 9);
    for (int offset = 0; offset < 32; ++offset) {
      for (int len = 1; len <= 70; ++len) {
        Guarded s(2 * len, offset), dd(8 * len, offset);
        std::vector<int16> v(len);
        std::vector<double> w(len);
        for (int i = 0; i < len; ++i) {
          v[i] = static_cast<int16>(rng.Next());
          w[i] = static_cast<double>(rng.Moderate()) * (1.0 + 0x1p-40 * (rng.Next() & 1023));
        }
        std::memcpy(s.data(), v.data(), 2 * len);
        std::memcpy(dd.data(), w.data(), 8 * len);
        int16 mx = 0, mn = 0;
        k.max16s(reinterpret_cast<const int16*>(s.data()), len, &mx);
        k.min16s(reinterpret_cast<const int16*>(s.data()), len, &mn);
        ASSERT_EQ(mx, *std::max_element(v.begin(), v.end())) << offset << " " << len;
        ASSERT_EQ(mn, *std::min_element(v.begin(), v.end())) << offset << " " << len;
        double dmx = 0, dmn = 0;
        k.max64f(reinterpret_cast<const double*>(dd.data()), len, &dmx);
        k.min64f(reinterpret_cast<const double*>(dd.data()), len, &dmn);
        ASSERT_EQ(dmx, *std::max_element(w.begin(), w.end())) << offset << " " << len;
        ASSERT_EQ(dmn, *std::min_element(w.begin(), w.end())) << offset << " " << len;
      }
    }
  }
}

int16 SaturatingAbs(int16 x) { return x == -32768 ? 32767 : static_cast<int16>(x < 0 ? -x : x); }
int32 SaturatingAbs(int32 x) { return x == INT32_MIN ? INT32_MAX : (x < 0 ? -x : x); }

// The absolute-value kernels of the other element types, against their definitions, at
// every offset, out of place and in place.
TEST(VecmathKernels, AbsoluteValuesOfEveryElementType) {
  vmtest::Rng rng(5);
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    for (int offset = 0; offset < 32; ++offset) {
      for (int len = 1; len <= 70; len += (len < 20 ? 1 : 7)) {
        Guarded a16(2 * len, (offset + 5) % 32), o16(2 * len, offset);
        Guarded a32(4 * len, (offset + 9) % 32), o32(4 * len, offset);
        Guarded a64(8 * len, (offset + 3) % 32), o64(8 * len, offset);
        std::vector<int16> v16(len);
        std::vector<int32> v32(len);
        std::vector<uint64> v64(len);
        for (int i = 0; i < len; ++i) {
          const uint32 w = rng.Next();
          v16[i] = (w & 7) == 0 ? int16{-32768} : (w & 7) == 1 ? int16{-32767} : static_cast<int16>(w >> 8);
          v32[i] = (w & 7) == 0 ? INT32_MIN : static_cast<int32>(rng.Next());
          v64[i] = (static_cast<uint64>(rng.Next()) << 32) | rng.Next();
        }
        std::memcpy(a16.data(), v16.data(), 2 * len);
        std::memcpy(a32.data(), v32.data(), 4 * len);
        std::memcpy(a64.data(), v64.data(), 8 * len);
        k.abs16s(reinterpret_cast<const int16*>(a16.data()), reinterpret_cast<int16*>(o16.data()), len);
        k.abs32s(reinterpret_cast<const int32*>(a32.data()), reinterpret_cast<int32*>(o32.data()), len);
        k.abs64f(reinterpret_cast<const double*>(a64.data()), reinterpret_cast<double*>(o64.data()), len);
        for (int i = 0; i < len; ++i) {
          int16 r16;
          int32 r32;
          uint64 r64;
          std::memcpy(&r16, o16.data() + 2 * i, 2);
          std::memcpy(&r32, o32.data() + 4 * i, 4);
          std::memcpy(&r64, o64.data() + 8 * i, 8);
          ASSERT_EQ(r16, SaturatingAbs(v16[i])) << offset << " " << len << " " << i;
          ASSERT_EQ(r32, SaturatingAbs(v32[i])) << offset << " " << len << " " << i;
          ASSERT_EQ(r64, v64[i] & 0x7FFFFFFFFFFFFFFFull) << offset << " " << len << " " << i;
        }
        ASSERT_TRUE(o16.GuardsIntact() && o32.GuardsIntact() && o64.GuardsIntact());
        // In place gives the same.
        k.abs16s(reinterpret_cast<const int16*>(a16.data()), reinterpret_cast<int16*>(a16.data()), len);
        ASSERT_EQ(std::memcmp(a16.data(), o16.data(), 2 * len), 0);
      }
    }
    float one[1] = {FromBits(0xFFC00000u)};
    k.abs32f(one, one, 1);
    EXPECT_EQ(Bits(one[0]), 0x7FC00000u);
  }
}

// Squares of doubles and complex values against the defining products, each rounded.
TEST(VecmathKernels, SquaresOfDoublesAndComplexValues) {
  vmtest::Rng rng(6);
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    const float c[2] = {3.0f, 4.0f};
    float cr[2];
    k.square32fc(c, cr, 1);
    EXPECT_EQ(cr[0], -7.0f);
    EXPECT_EQ(cr[1], 24.0f);
    const float big[2] = {1e20f, 1e20f};
    k.square32fc(big, cr, 1);
    EXPECT_TRUE(std::isnan(cr[0]));
    EXPECT_EQ(cr[1], kInf);
    const double cd[2] = {3.0, 4.0};
    double cdr[2];
    k.square64fc(cd, cdr, 1);
    EXPECT_EQ(cdr[0], -7.0);
    EXPECT_EQ(cdr[1], 24.0);
    for (int offset = 0; offset < 32; offset += 1) {
      for (int len = 1; len <= 40; ++len) {
        Guarded sf(8 * len, (offset + 4) % 32), of(8 * len, offset);
        Guarded sd(16 * len, (offset + 8) % 32), od(16 * len, offset);
        std::vector<float> f(2 * len);
        std::vector<double> d(2 * len);
        for (int i = 0; i < 2 * len; ++i) {
          f[i] = rng.Moderate();
          d[i] = static_cast<double>(rng.Moderate()) * (1.0 + 0x1p-33 * (rng.Next() & 0xFFFF));
        }
        std::memcpy(sf.data(), f.data(), 8 * len);
        std::memcpy(sd.data(), d.data(), 16 * len);
        k.square32fc(sf.f32(), of.f32(), len);
        k.square64fc(reinterpret_cast<const double*>(sd.data()), reinterpret_cast<double*>(od.data()), len);
        for (int i = 0; i < len; ++i) {
          const float a = f[2 * i], b = f[2 * i + 1];
          const float aa = a * a, bb = b * b, ab = a * b;
          float r[2];
          std::memcpy(r, of.data() + 8 * i, 8);
          ASSERT_EQ(Bits(r[0]), Bits(aa - bb)) << offset << " " << len << " " << i;
          ASSERT_EQ(Bits(r[1]), Bits(ab + ab)) << offset << " " << len << " " << i;
          const double x = d[2 * i], y = d[2 * i + 1];
          const double xx = x * x, yy = y * y, xy = x * y;
          double q[2];
          std::memcpy(q, od.data() + 16 * i, 16);
          ASSERT_EQ(q[0], xx - yy) << offset << " " << len << " " << i;
          ASSERT_EQ(q[1], xy + xy) << offset << " " << len << " " << i;
        }
        ASSERT_TRUE(of.GuardsIntact() && od.GuardsIntact());
        // Real doubles, in place.
        k.square64f(reinterpret_cast<const double*>(sd.data()), reinterpret_cast<double*>(sd.data()), 2 * len);
        for (int i = 0; i < 2 * len; ++i) {
          double q;
          std::memcpy(&q, sd.data() + 8 * i, 8);
          ASSERT_EQ(q, d[i] * d[i]);
        }
      }
    }
  }
}

TEST(VecmathKernels, ArithmeticLengthsAroundTheBlockStart) {
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    const float one[1] = {1.0f}, three[1] = {3.0f};
    float r[1];
    k.subtract(one, three, r, 1);
    EXPECT_EQ(r[0], 2.0f);
    for (int len : {10, 11, 12, 19}) {
      alignas(16) float a[24], b[24], d[24];
      for (int i = 0; i < 24; ++i) {
        a[i] = static_cast<float>(i) + 0.5f;
        b[i] = static_cast<float>(2 * i) - 7.0f;
        d[i] = -1.0f;
      }
      k.add(a, b, d, len);
      for (int i = 0; i < 24; ++i) EXPECT_EQ(d[i], i < len ? a[i] + b[i] : -1.0f) << len << " " << i;
    }
  }
}

// Add and subtract stream from 10923 blocks of 8 after the head, with the same values.
TEST(VecmathKernels, StreamingThresholdsOfAddAndSubtract) {
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    Guarded g(4 * 87400, 0);
    const float* aligned = g.f32();
    const float* plus4 = reinterpret_cast<const float*>(g.data() + 4);
    const float* odd = reinterpret_cast<const float*>(g.data() + 1);
    EXPECT_TRUE(k.streams(aligned, 87384));
    EXPECT_FALSE(k.streams(aligned, 87383));
    EXPECT_FALSE(k.streams(plus4, 87386));
    EXPECT_TRUE(k.streams(plus4, 87387));
    EXPECT_FALSE(k.streams(odd, 87399));
    EXPECT_FALSE(k.streams(aligned, 10));

    vmtest::Rng rng(7);
    for (int len : {87383, 87384, 87391}) {
      Guarded a(4 * len, 0), b(4 * len, 4), ref(4 * len, 0), out(4 * len, 0);
      Fill(a, len, rng, AnyFloat);
      Fill(b, len, rng, [](vmtest::Rng& r) { return r.Moderate(); });
      sp::generic::spAdd_32f(a.f32(), b.f32(), ref.f32(), len);
      k.add(a.f32(), b.f32(), out.f32(), len);
      EXPECT_TRUE(SameBytes(ref, out, 4 * len)) << len;
      sp::generic::spSubtract_32f(a.f32(), b.f32(), ref.f32(), len);
      k.subtract(a.f32(), b.f32(), out.f32(), len);
      EXPECT_TRUE(SameBytes(ref, out, 4 * len)) << len;
      EXPECT_TRUE(out.GuardsIntact());
    }
  }
}

TEST(VecmathKernels, ElementwiseExamples) {
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    const float s[3] = {1.0f, kQNaN, 3.0f};
    float d[3] = {2.0f, 5.0f, kQNaN};
    k.minElementwise(s, d, 3);
    EXPECT_EQ(d[0], 1.0f);
    EXPECT_EQ(d[1], 5.0f);
    EXPECT_TRUE(std::isnan(d[2]));
    const float nz[1] = {-0.0f}, pz[1] = {0.0f};
    float e[1] = {0.0f};
    k.maxElementwise(nz, e, 1);
    EXPECT_EQ(Bits(e[0]), 0u);
    e[0] = -0.0f;
    k.maxElementwise(pz, e, 1);
    EXPECT_EQ(Bits(e[0]), 0x80000000u);
  }
}

}  // namespace
