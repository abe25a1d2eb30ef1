// Integer division with a scale factor against exact rational arithmetic: every 8-bit
// pair, every 16-bit dividend and divisor against edge partners, 32-bit quotients next
// to ties, complex quotients, the constant kernels and their zero constant, and the
// zero-divisor tables and results.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "vecmath_test_support.h"

namespace {

using i128 = __int128;

struct Builds {
  const char* name;
  decltype(&sp::sse3::spDivideKernelScaled_32s) d32s;
  decltype(&sp::sse3::spDivideKernelScaled_16s) d16s;
  decltype(&sp::sse3::spDivideKernelScaled_16sc) d16sc;
  decltype(&sp::sse3::spDivideKernelScaled_8u) d8u;
  decltype(&sp::sse3::spDivideKernelScaled_32s16s) d32s16s;
  decltype(&sp::sse3::spDivideConstKernelScaled_16s) c16s;
  decltype(&sp::sse3::spDivideConstKernelScaled_16sc) c16sc;
  decltype(&sp::sse3::spDivideConstKernelScaled_8u) c8u;
  decltype(&sp::sse3::spDivideConstByVectorKernel_16u) cv16u;
};
#define INT_DIVIDE_BUILD(ns)                                                                               \
  Builds {                                                                                                 \
    #ns, &sp::ns::spDivideKernelScaled_32s, &sp::ns::spDivideKernelScaled_16s, &sp::ns::spDivideKernelScaled_16sc, \
        &sp::ns::spDivideKernelScaled_8u, &sp::ns::spDivideKernelScaled_32s16s,                            \
        &sp::ns::spDivideConstKernelScaled_16s, &sp::ns::spDivideConstKernelScaled_16sc,                   \
        &sp::ns::spDivideConstKernelScaled_8u, &sp::ns::spDivideConstByVectorKernel_16u                    \
  }

std::vector<Builds> Supported() {
  std::vector<Builds> b;
  if (vmtest::Supports(1)) b.push_back(INT_DIVIDE_BUILD(sse3));
  if (vmtest::Supports(2)) b.push_back(INT_DIVIDE_BUILD(ssse3));
  if (vmtest::Supports(3)) b.push_back(INT_DIVIDE_BUILD(sse41));
  return b;
}
const std::vector<Builds> kBuilds = Supported();

// num x 2^-s / den rounded to nearest, ties to even, saturated to lo..hi; den != 0 and
// |num|, |den| below 2^32.
int64_t Exact(int64_t num, int64_t den, int s, int64_t lo, int64_t hi) {
  if (num == 0) return 0;
  if (s > 90) return 0;
  if (s < -90) return (num > 0) == (den > 0) ? hi : lo;
  i128 n = num, d = den;
  if (s >= 0) d <<= s;
  else n <<= -s;
  if (d < 0) n = -n, d = -d;
  i128 q = n / d, r = n % d;
  if (r < 0) --q, r += d;
  if (2 * r > d || (2 * r == d && (q & 1) != 0)) ++q;
  return q < lo ? lo : q > hi ? hi : static_cast<int64_t>(q);
}

// The zero-divisor value of a signed result: by the dividend's sign.
int64_t ByZero(int64_t num, int64_t lo, int64_t hi) { return num > 0 ? hi : num < 0 ? lo : 0; }

std::vector<int> Scales() {
  std::vector<int> s{INT_MIN, -1000, -70, -64, -33, 64, 70, 1000, INT_MAX};
  for (int i = -34; i <= 34; ++i) s.push_back(i);
  return s;
}

TEST(VecmathDivideInt, EveryByteQuotientAtEveryScaleFactor) {
  std::vector<uint8> d(65536), n(65536), o(65536 + 3), c(256);
  for (int i = 0; i < 65536; ++i) d[i] = static_cast<uint8>(i >> 8), n[i] = static_cast<uint8>(i);
  for (const Builds& b : kBuilds) {
    for (int s : Scales()) {
      ASSERT_NE(b.d8u(d.data(), n.data(), o.data() + (s & 3), 65536, s), 0);
      for (int i = 0; i < 65536; ++i) {
        const int64_t want = d[i] == 0 ? (n[i] != 0 ? 255 : 0) : Exact(n[i], d[i], s, 0, 255);
        ASSERT_EQ(o[(s & 3) + i], want) << b.name << " " << int{n[i]} << "/" << int{d[i]} << " s " << s;
      }
      // The constant kernel, every constant (0 stores what a zero divisor stores).
      for (int v = 0; v < 256; ++v) {
        b.c8u(n.data(), static_cast<uint8>(v), c.data(), 256, s);
        for (int x = 0; x < 256; ++x) {
          const int64_t want = v == 0 ? (x != 0 ? 255 : 0) : Exact(x, v, s, 0, 255);
          ASSERT_EQ(c[x], want) << b.name << " " << x << "/" << v << " s " << s;
        }
      }
    }
  }
}

// Scale factors around every boundary of the 16-bit kernels.
const int kScales16[] = {INT_MIN, -64, -31, -17, -16, -15, -8, -2, -1, 0, 1, 2, 3, 8, 15, 16, 17, 30, 31, 32, 33, 64, INT_MAX};

// Every 16-bit dividend over the edge divisors and every divisor under the edge
// dividends; the constant kernel over every dividend, a zero constant too.
TEST(VecmathDivideInt, EverySixteenBitOperandAtTheScaleBoundaries) {
  std::vector<int16> d, n;
  for (int16 e : {-32768, -32767, -3, -1, 0, 1, 2, 3, 7, 32767}) {
    for (int i = -32768; i < 32768; ++i) {
      d.push_back(e), n.push_back(static_cast<int16>(i));
      d.push_back(static_cast<int16>(i)), n.push_back(e);
    }
  }
  const int len = static_cast<int>(d.size());
  std::vector<int16> o(len + 1), want(len), all(65536);
  for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16>(i - 32768);
  for (int s : kScales16) {
    for (int i = 0; i < len; ++i) {
      want[i] = static_cast<int16>(d[i] == 0 ? ByZero(n[i], -32768, 32767) : Exact(n[i], d[i], s, -32768, 32767));
    }
    for (const Builds& b : kBuilds) {
      int16* out = o.data() + (s & 1);  // every other scale factor on an odd element offset
      ASSERT_NE(b.d16s(d.data(), n.data(), out, len, s), 0);
      for (int i = 0; i < len; ++i) ASSERT_EQ(out[i], want[i]) << b.name << " " << n[i] << "/" << d[i] << " s " << s;
    }
    for (int16 v : {-32768, -1, 0, 3, 100, 32767}) {
      for (int i = 0; i < 65536; ++i) {
        want[i] = static_cast<int16>(v == 0 ? ByZero(all[i], -32768, 32767) : Exact(all[i], v, s, -32768, 32767));
      }
      for (const Builds& b : kBuilds) {
        b.c16s(all.data(), v, o.data() + 1, 65536, s);
        for (int i = 0; i < 65536; ++i) ASSERT_EQ(o[i + 1], want[i]) << b.name << " " << all[i] << "/" << v << " s " << s;
      }
    }
  }
  // A constant over every unsigned divisor, 65535 / 2 among them.
  std::vector<uint16> divisors(65536), q(65536);
  for (int i = 0; i < 65536; ++i) divisors[i] = static_cast<uint16>(i);
  for (const Builds& b : kBuilds) {
    for (int v : {0, 1, 2, 1000, 32767, 32768, 60000, 65535}) {
      EXPECT_NE(b.cv16u(divisors.data(), static_cast<uint16>(v), q.data(), 65536), 0);
      for (int i = 0; i < 65536; ++i) ASSERT_EQ(q[i], i == 0 ? 65535 : Exact(v, i, 0, 0, 65535)) << v << "/" << i;
      EXPECT_EQ(b.cv16u(divisors.data() + 1, static_cast<uint16>(v), q.data(), 65535), 0);
    }
  }
}

TEST(VecmathDivideInt, ThirtyTwoBitQuotientsNextToTiesAndAtRandom) {
  vmtest::Rng rng(132);
  std::vector<int32> d, n;
  std::vector<int> scale;
  for (int s = -30; s <= 0; ++s) {
    for (int32 den : {2147483647, 2147483629, 1999999973, -2147483647, 3, -7}) {
      for (int j = 0; j < 40; ++j) {
        // A dividend whose scaled quotient lies within one unit of dividend of k + 1/2.
        const int64_t k = static_cast<int64_t>(rng.Next() % (uint64_t{1} << (-s < 31 ? -s : 30))) + 1;
        const i128 target = (2 * k + 1) * static_cast<i128>(den < 0 ? -den : den) / (i128{1} << (1 - s));
        for (int delta : {-1, 0, 1}) {
          const i128 v = target + delta;
          if (v > INT32_MAX || v < INT32_MIN) continue;
          d.push_back(den), n.push_back(static_cast<int32>(v)), scale.push_back(s);
        }
      }
    }
  }
  // Exact ties: (2k + 1) m / (2 m 2^-s) with s <= 0.
  for (int s = -8; s <= 0; ++s) {
    for (int j = 0; j < 50; ++j) {
      const int32 m = static_cast<int32>(rng.Next() % 1000 + 1), k = static_cast<int32>(rng.Next() % 1000);
      d.push_back(2 * m * (1 << -s)), n.push_back((2 * k + 1) * m), scale.push_back(s);
    }
  }
  const int32 edges[] = {INT32_MIN, INT32_MIN + 1, -65536, -1, 0, 1, 2, 3, 65535, INT32_MAX};
  for (int32 x : edges) {
    for (int32 y : edges) {
      for (int s : Scales()) d.push_back(x), n.push_back(y), scale.push_back(s);
    }
  }
  for (int j = 0; j < 20000; ++j) {
    d.push_back(static_cast<int32>(rng.Next()) >> (rng.Next() % 31));
    n.push_back(static_cast<int32>(rng.Next()) >> (rng.Next() % 31));
    scale.push_back(static_cast<int>(rng.Next() % 80) - 40);
  }
  for (const Builds& b : kBuilds) {
    for (size_t i = 0; i < d.size(); ++i) {
      // Each case in its own call, at every position of a block of four.
      int32 dv[4] = {1, 1, 1, 1}, nv[4] = {}, out[4];
      const size_t lane = i % 4;
      dv[lane] = d[i], nv[lane] = n[i];
      EXPECT_EQ(b.d32s(dv, nv, out, 4, scale[i]) != 0, d[i] == 0);
      const int64_t want = d[i] == 0 ? ByZero(n[i], INT32_MIN, INT32_MAX) : Exact(n[i], d[i], scale[i], INT32_MIN, INT32_MAX);
      ASSERT_EQ(out[lane], want) << b.name << " " << n[i] << "/" << d[i] << " s " << scale[i];
      // 32-bit dividends over 16-bit divisors.
      const auto d16 = static_cast<int16>(d[i] >> 16 == 0 || d[i] >> 16 == -1 ? d[i] : d[i] >> 16);
      int16 dw[4] = {1, 1, 1, 1}, ow[4];
      dw[lane] = d16;
      EXPECT_EQ(b.d32s16s(dw, nv, ow, 4, scale[i]) != 0, d16 == 0);
      const int64_t want16 = d16 == 0 ? ByZero(n[i], -32768, 32767) : Exact(n[i], d16, scale[i], -32768, 32767);
      ASSERT_EQ(ow[lane], want16) << b.name << " " << n[i] << "/" << d16 << " s " << scale[i];
    }
  }
}

TEST(VecmathDivideInt, ComplexQuotientsAtEveryScaleFactor) {
  vmtest::Rng rng(16);
  std::vector<int16> d, n;
  const int16 parts[] = {-32768, -32767, -1000, -3, -1, 0, 1, 3, 4, 25, 1000, 32767};
  for (int16 a : parts) {
    for (int16 bb : parts) {
      for (int16 c : {int16{-32768}, int16{25}, int16{0}, int16{7}, int16{32767}}) {
        d.insert(d.end(), {a, bb}), n.insert(n.end(), {c, static_cast<int16>(-c / 3)});
      }
    }
  }
  while (d.size() < 2 * 5000) {
    d.push_back(static_cast<int16>(rng.Next()) >> (rng.Next() % 15));
    n.push_back(static_cast<int16>(rng.Next()));
  }
  const int len = static_cast<int>(d.size() / 2);
  std::vector<int16> o(2 * len + 1);
  for (const Builds& b : kBuilds) {
    for (int s : Scales()) {
      int16* out = o.data() + (s & 1);
      ASSERT_NE(b.d16sc(d.data(), n.data(), out, len, s), 0);
      for (int i = 0; i < len; ++i) {
        const int64_t a = d[2 * i], bb = d[2 * i + 1], c = n[2 * i], e = n[2 * i + 1], m = a * a + bb * bb;
        const int64_t re = m == 0 ? 0 : Exact(c * a + e * bb, m, s, -32768, 32767);
        const int64_t im = m == 0 ? 0 : Exact(a * e - c * bb, m, s, -32768, 32767);
        ASSERT_EQ(out[2 * i], re) << b.name << " (" << c << "," << e << ")/(" << a << "," << bb << ") s " << s;
        ASSERT_EQ(out[2 * i + 1], im) << b.name << " (" << c << "," << e << ")/(" << a << "," << bb << ") s " << s;
      }
      // The constant kernel with each divisor of the table as its constant, 0 + 0i too.
      for (int k = 0; k < 144; k += 11) {
        const int64_t a = d[10 * k], bb = d[10 * k + 1], m = a * a + bb * bb;
        const uint32 val = static_cast<uint16>(a) | static_cast<uint32>(static_cast<uint16>(bb)) << 16;
        b.c16sc(n.data(), val, out, len, s);
        for (int i = 0; i < len; ++i) {
          const int64_t c = n[2 * i], e = n[2 * i + 1];
          ASSERT_EQ(out[2 * i], m == 0 ? 0 : Exact(c * a + e * bb, m, s, -32768, 32767)) << s;
          ASSERT_EQ(out[2 * i + 1], m == 0 ? 0 : Exact(a * e - c * bb, m, s, -32768, 32767)) << s;
        }
      }
    }
  }
}

TEST(VecmathDivideInt, NoZeroDivisorNoFlagAndNoWorkBelowOne) {
  for (const Builds& b : kBuilds) {
    int32 d32[5] = {1, 2, 3, 4, 5}, n32[5] = {9, 9, 9, 9, 9}, o32[5] = {7, 7, 7, 7, 7};
    int16 d16[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, o16[10] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    uint8 d8[5] = {1, 2, 3, 4, 5}, o8[5] = {7, 7, 7, 7, 7};
    EXPECT_EQ(b.d32s(d32, n32, o32, 5, 0), 0);
    EXPECT_EQ(b.d16s(d16, d16, o16, 10, 0), 0);
    EXPECT_EQ(b.d16sc(d16, d16, o16, 5, 0), 0);
    EXPECT_EQ(b.d8u(d8, d8, o8, 5, 0), 0);
    EXPECT_EQ(b.d32s16s(d16, n32, o16, 5, 0), 0);
    int16 untouched[10];
    std::memcpy(untouched, o16, sizeof o16);
    for (int len : {0, -1, INT_MIN}) {
      EXPECT_EQ(b.d32s(d32, n32, o32, len, 0), 0);
      EXPECT_EQ(b.d16s(d16, d16, o16, len, 0), 0);
      EXPECT_EQ(b.d16sc(d16, d16, o16, len, 0), 0);
      EXPECT_EQ(b.d8u(d8, d8, o8, len, 0), 0);
      EXPECT_EQ(b.d32s16s(d16, n32, o16, len, 0), 0);
      b.c16s(d16, 0, o16, len, 0);
      b.c16sc(d16, 0, o16, len, 0);
      b.c8u(d8, 0, o8, len, 0);
      EXPECT_EQ(b.cv16u(reinterpret_cast<uint16*>(d16), 0, reinterpret_cast<uint16*>(o16), len), 0);
    }
    EXPECT_EQ(std::memcmp(untouched, o16, sizeof o16), 0);
  }
}

}  // namespace
