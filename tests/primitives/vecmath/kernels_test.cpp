// The processor builds against the generic build bit for bit where the arithmetic is
// fixed (absolute value, extremes, element-wise arithmetic, squares, element-wise
// minimum and maximum), at every offset 0-31 and length 1-70 with guard bytes; the
// members of the kernel modules of other element types against their definitions; the
// streaming thresholds.
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
const float kQNaN = FromBits(0x7FC00000u);

// Floats of every kind: ordinary, zeros of both signs, subnormals, infinities, NaNs.
float AnyFloat(vmtest::Rng& rng) {
  const uint32 w = rng.Next();
  switch (w % 16) {
    case 0: return FromBits(w & 0x80000000u);                    // a zero
    case 1: return FromBits((w & 0x807FFFFFu) | 1);               // a subnormal
    case 2: return FromBits((w & 0x80000000u) | 0x7F800000u);    // an infinity
    case 3: return FromBits(0x7F800001u | (w & 0x807FFFFFu));    // a NaN
    default: return rng.Moderate();
  }
}
float Moderate(vmtest::Rng& rng) { return rng.Moderate(); }

template <class T, class Gen>
void Fill(Guarded& g, int len, vmtest::Rng& rng, Gen gen) {
  for (int i = 0; i < len; ++i) {
    const T v = gen(rng);
    std::memcpy(g.data() + sizeof(T) * i, &v, sizeof(T));
  }
}

// One operation of a body set: sources s1 and s2, destination d. In-place operations
// find s2's values in d.
struct Operation {
  const char* name;
  bool inPlace;
  bool nansInBoth;  // the result is fixed even with NaNs in both operands
  void (*run)(const vmtest::Bodies&, const float* s1, const float* s2, float* d, int len);
};

const Operation kOperations[] = {
    {"square", false, true, [](const vmtest::Bodies& b, const float* s, const float*, float* d, int n) { b.square(s, d, n); }},
    {"absolute", true, true, [](const vmtest::Bodies& b, const float*, const float*, float* d, int n) { b.absInPlace(d, n); }},
    {"add", false, false, [](const vmtest::Bodies& b, const float* s1, const float* s2, float* d, int n) { b.add(s1, s2, d, n); }},
    {"subtract", false, false,
     [](const vmtest::Bodies& b, const float* s1, const float* s2, float* d, int n) { b.subtract(s1, s2, d, n); }},
    {"multiply", false, false,
     [](const vmtest::Bodies& b, const float* s1, const float* s2, float* d, int n) { b.multiply(s1, s2, d, n); }},
    {"add onto the first source", true, false,
     [](const vmtest::Bodies& b, const float*, const float* s2, float* d, int n) { b.add(d, s2, d, n); }},
    {"multiply in place", true, false,
     [](const vmtest::Bodies& b, const float* s, const float*, float* d, int n) { b.multiplyInPlace(s, d, n); }},
    {"min elementwise", true, true,
     [](const vmtest::Bodies& b, const float* s, const float*, float* d, int n) { b.minElementwise(s, d, n); }},
    {"max elementwise", true, true,
     [](const vmtest::Bodies& b, const float* s, const float*, float* d, int n) { b.maxElementwise(s, d, n); }},
};

TEST(VecmathBuilds, ElementwiseBodiesEqualTheGenericBuildAtEveryOffsetAndLength) {
  vmtest::Rng rng(1);
  for (const Operation& op : kOperations) {
    for (size_t bi = 1; bi < kBodies.size(); ++bi) {
      SCOPED_TRACE(testing::Message() << op.name << ", " << kBodies[bi].name);
      for (int offset = 0; offset < 32; ++offset) {
        for (int len = 1; len <= 70; ++len) {
          Guarded s1(4 * len, (offset * 5 + 1) % 32), s2(4 * len, (offset * 11 + 2) % 32);
          Guarded ref(4 * len, offset), out(4 * len, offset);
          Fill<float>(s1, len, rng, AnyFloat);
          // NaNs in one operand only where two NaNs may give either payload.
          if (op.nansInBoth) Fill<float>(s2, len, rng, AnyFloat);
          else Fill<float>(s2, len, rng, Moderate);
          if (op.inPlace) {
            std::memcpy(ref.data(), s2.data(), 4 * len);
            std::memcpy(out.data(), s2.data(), 4 * len);
          }
          op.run(kBodies[0], s1.f32(), s2.f32(), ref.f32(), len);
          op.run(kBodies[bi], s1.f32(), s2.f32(), out.f32(), len);
          ASSERT_EQ(std::memcmp(ref.data(), out.data(), 4 * len), 0) << "offset " << offset << " len " << len;
          ASSERT_TRUE(out.GuardsIntact()) << "offset " << offset << " len " << len;
        }
      }
    }
  }
}

// Without NaNs and without zeros of both signs every build finds the same extreme; with
// them the processor builds agree with one another, and the result is a NaN exactly
// when the last element is one.
TEST(VecmathBuilds, ExtremesEqualTheGenericBuildAndEachOther) {
  vmtest::Rng rng(3);
  for (int offset = 0; offset < 32; ++offset) {
    for (int len = 1; len <= 70; ++len) {
      Guarded x(4 * len, offset);
      Fill<float>(x, len, rng, Moderate);
      float ref[2], got[2];
      kBodies[0].max(x.f32(), len, &ref[0]);
      kBodies[0].min(x.f32(), len, &ref[1]);
      for (const vmtest::Bodies& b : kBodies) {
        ASSERT_EQ(b.max(x.f32(), len, &got[0]), SP_OK);
        ASSERT_EQ(b.min(x.f32(), len, &got[1]), SP_OK);
        ASSERT_EQ(std::memcmp(ref, got, 8), 0) << b.name << " offset " << offset << " len " << len;
      }
      Fill<float>(x, len, rng, AnyFloat);
      for (const vmtest::Kernels& k : kKernels) {
        k.max32f(x.f32(), len, &got[0]);
        k.min32f(x.f32(), len, &got[1]);
        if (&k == &kKernels[0]) std::memcpy(ref, got, 8);
        ASSERT_EQ(std::memcmp(ref, got, 8), 0) << k.name << " offset " << offset << " len " << len;
        float last;
        std::memcpy(&last, x.f32() + len - 1, 4);
        ASSERT_EQ(std::isnan(got[0]), std::isnan(last)) << "offset " << offset << " len " << len;
      }
    }
  }
}

TEST(VecmathKernels, FloatExtremesFollowTheComparisonOrderAtEveryAlignment) {
  struct Case {
    float x0, x1;
    int len;
    bool max;
    uint32 result;
  } cases[] = {
      {kQNaN, 1.0f, 2, true, 0x3F800000u},  {1.0f, kQNaN, 2, true, 0x7FC00000u},
      {kQNaN, 1.0f, 1, true, 0x7FC00000u},  {-0.0f, 0.0f, 2, false, 0x00000000u},
      {0.0f, -0.0f, 2, true, 0x80000000u},
  };
  for (const vmtest::Kernels& k : kKernels) {
    for (int offset = 0; offset < 32; ++offset) {
      for (const Case& c : cases) {
        Guarded x(8, offset);
        std::memcpy(x.data(), &c.x0, 4);
        std::memcpy(x.data() + 4, &c.x1, 4);
        float m = 5.0f;
        (c.max ? k.max32f : k.min32f)(x.f32(), c.len, &m);
        EXPECT_EQ(Bits(m), c.result) << k.name << " offset " << offset;
      }
    }
    // Doubles: the later of two equal zeros wins, so the result follows the alignment.
    alignas(16) const double d[3] = {0.0, 0.0, -0.0};
    double r = 1;
    k.max64f(d, 2, &r);
    EXPECT_FALSE(std::signbit(r)) << k.name;
    k.max64f(d + 1, 2, &r);
    EXPECT_TRUE(std::signbit(r)) << k.name;
  }
}

// The members of the modules for other element types, at every offset and length,
// against their definitions: exact extremes, saturating absolute values, and squares
// whose every product and sum is rounded on its own.
TEST(VecmathKernels, OtherElementTypesAgainstTheirDefinitions) {
  vmtest::Rng rng(4);
  auto i16 = [](vmtest::Rng& r) {
    const uint32 w = r.Next();
    return (w & 7) == 0 ? int16{-32768} : (w & 7) == 1 ? int16{-32767} : static_cast<int16>(w >> 8);
  };
  auto i32 = [](vmtest::Rng& r) { return (r.Next() & 7) == 0 ? INT32_MIN : static_cast<int32>(r.Next()); };
  auto f64 = [](vmtest::Rng& r) { return static_cast<double>(r.Moderate()) * (1.0 + 0x1p-40 * (r.Next() & 1023)); };
  auto at = [](Guarded& g, size_t size, int i) { return g.data() + size * i; };
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    for (int offset = 0; offset < 32; ++offset) {
      for (int len = 1; len <= 70; ++len) {
        Guarded a16(2 * len, (offset + 5) % 32), o16(2 * len, offset), a32(4 * len, (offset + 9) % 32),
            o32(4 * len, offset), a64(16 * len, (offset + 3) % 32), o64(16 * len, offset), c32(8 * len, offset);
        Fill<int16>(a16, len, rng, i16);
        Fill<int32>(a32, len, rng, i32);
        Fill<double>(a64, 2 * len, rng, f64);
        const auto* s16 = reinterpret_cast<const int16*>(a16.data());
        const auto* s64 = reinterpret_cast<const double*>(a64.data());
        auto* d64 = reinterpret_cast<double*>(o64.data());
        const std::vector<int16> v16(s16, s16 + len);  // aligned copies of the inputs
        std::vector<double> v64(2 * len);
        std::memcpy(v64.data(), s64, 16 * len);
        int16 m16[2];
        double m64[2];
        k.max16s(s16, len, &m16[0]);
        k.min16s(s16, len, &m16[1]);
        k.max64f(s64, len, &m64[0]);
        k.min64f(s64, len, &m64[1]);
        ASSERT_EQ(m16[0], *std::max_element(v16.begin(), v16.end())) << offset << " " << len;
        ASSERT_EQ(m16[1], *std::min_element(v16.begin(), v16.end())) << offset << " " << len;
        ASSERT_EQ(m64[0], *std::max_element(v64.begin(), v64.begin() + len)) << offset << " " << len;
        ASSERT_EQ(m64[1], *std::min_element(v64.begin(), v64.begin() + len)) << offset << " " << len;

        k.abs16s(s16, reinterpret_cast<int16*>(o16.data()), len);
        k.abs32s(reinterpret_cast<const int32*>(a32.data()), reinterpret_cast<int32*>(o32.data()), len);
        k.abs64f(s64, d64, len);
        k.abs32f(reinterpret_cast<const float*>(a32.data()), reinterpret_cast<float*>(c32.data()), len);
        for (int i = 0; i < len; ++i) {
          int16 x16, r16;
          int32 x32, r32;
          uint64 x64, r64;
          std::memcpy(&x16, at(a16, 2, i), 2);
          std::memcpy(&r16, at(o16, 2, i), 2);
          std::memcpy(&x32, at(a32, 4, i), 4);
          std::memcpy(&r32, at(o32, 4, i), 4);
          std::memcpy(&x64, at(a64, 8, i), 8);
          std::memcpy(&r64, at(o64, 8, i), 8);
          ASSERT_EQ(r16, x16 == -32768 ? 32767 : std::abs(x16)) << offset << " " << len;
          ASSERT_EQ(r32, x32 == INT32_MIN ? INT32_MAX : std::abs(x32)) << offset << " " << len;
          ASSERT_EQ(r64, x64 & 0x7FFFFFFFFFFFFFFFull) << offset << " " << len;
          std::memcpy(&r32, at(c32, 4, i), 4);
          ASSERT_EQ(static_cast<uint32>(r32), static_cast<uint32>(x32) & 0x7FFFFFFFu) << offset << " " << len;
        }

        // Complex squares of the doubles (as len complex elements) and of their float
        // roundings; then real squares of the doubles in place.
        std::vector<float> f(2 * len);
        for (int i = 0; i < 2 * len; ++i) f[i] = static_cast<float>(v64[i]);
        std::memcpy(c32.data(), f.data(), 8 * len);
        k.square32fc(c32.f32(), c32.f32(), len);
        k.square64fc(s64, d64, len);
        for (int i = 0; i < len; ++i) {
          const float a = f[2 * i], b = f[2 * i + 1], ab = a * b;
          const double x = v64[2 * i], y = v64[2 * i + 1], xy = x * y;
          const float fr[2] = {a * a - b * b, ab + ab};
          const double dr[2] = {x * x - y * y, xy + xy};
          ASSERT_EQ(std::memcmp(at(c32, 8, i), fr, 8), 0) << offset << " " << len << " " << i;
          ASSERT_EQ(std::memcmp(at(o64, 16, i), dr, 16), 0) << offset << " " << len << " " << i;
        }
        k.square64f(s64, reinterpret_cast<double*>(a64.data()), 2 * len);
        for (int i = 0; i < 2 * len; ++i) {
          const double sq = v64[i] * v64[i];
          ASSERT_EQ(std::memcmp(at(a64, 8, i), &sq, 8), 0) << offset << " " << len << " " << i;
        }
        ASSERT_TRUE(o16.GuardsIntact() && o32.GuardsIntact() && o64.GuardsIntact() && c32.GuardsIntact() &&
                    a64.GuardsIntact());
      }
    }
    const float c[2] = {3.0f, 4.0f}, big[2] = {1e20f, 1e20f};
    float r[4];
    k.square32fc(c, r, 1);
    k.square32fc(big, r + 2, 1);
    EXPECT_EQ(r[0], -7.0f);
    EXPECT_EQ(r[1], 24.0f);
    EXPECT_TRUE(std::isnan(r[2]));
    EXPECT_EQ(r[3], std::numeric_limits<float>::infinity());
  }
}

// Add and subtract stream from 10923 blocks of 8 after the head, with the same values
// either way; lengths up to 10 run element by element.
TEST(VecmathKernels, StreamingThresholdsAndShortLengths) {
  vmtest::Rng rng(7);
  for (const vmtest::Kernels& k : kKernels) {
    SCOPED_TRACE(k.name);
    Guarded g(4 * 87400, 0);
    auto at = [&](int bytes) { return reinterpret_cast<const float*>(g.data() + bytes); };
    EXPECT_TRUE(k.streams(at(0), 87384));
    EXPECT_FALSE(k.streams(at(0), 87383));
    EXPECT_FALSE(k.streams(at(4), 87386));
    EXPECT_TRUE(k.streams(at(4), 87387));
    EXPECT_FALSE(k.streams(at(1), 87399));
    EXPECT_FALSE(k.streams(at(0), 10));
    for (int len : {87383, 87384, 87391}) {
      Guarded a(4 * len, 0), b(4 * len, 4), ref(4 * len, 0), out(4 * len, 0);
      Fill<float>(a, len, rng, AnyFloat);
      Fill<float>(b, len, rng, Moderate);
      sp::generic::spAdd_32f(a.f32(), b.f32(), ref.f32(), len);
      k.add(a.f32(), b.f32(), out.f32(), len);
      EXPECT_EQ(std::memcmp(ref.data(), out.data(), 4 * len), 0) << len;
      sp::generic::spSubtract_32f(a.f32(), b.f32(), ref.f32(), len);
      k.subtract(a.f32(), b.f32(), out.f32(), len);
      EXPECT_EQ(std::memcmp(ref.data(), out.data(), 4 * len), 0) << len;
      EXPECT_TRUE(out.GuardsIntact());
    }
    const float one = 1.0f, three = 3.0f;
    float r = 0;
    k.subtract(&one, &three, &r, 1);
    EXPECT_EQ(r, 2.0f);
  }
}

}  // namespace
