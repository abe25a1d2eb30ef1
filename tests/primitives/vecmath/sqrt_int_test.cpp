// Integer square roots with a scale factor against exact integer arithmetic: every
// 16-bit input at every scale factor that matters, the wider kernels over edges and
// random values, the complex 16-bit kernels against the long-double principal root, and
// the examples of the kernels' contracts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "module_kernels.h"

namespace {

using u128 = unsigned __int128;

const std::vector<vmtest::ModuleKernels> kBuilds = vmtest::SupportedModuleKernels();

// The oracle: sqrt(x) * 2^-s rounded to nearest, ties to even, saturated at limit, by
// bisection on exact 128-bit squares. Valid while x * 4^max(0, -s) * 4 < 2^127.
uint64 Oracle(uint64 x, int s, uint64 limit) {
  if (x == 0) return 0;
  // 4x * 4^n against (2r + 1)^2 * 4^s, all scaled to integers.
  const int up = s < 0 ? -2 * s : 0, down = s > 0 ? 2 * s : 0;
  if (up >= 120 || (up > 0 && (static_cast<u128>(x) >> (124 - up)) != 0)) return limit;  // root 2^62 or more
  const u128 v = static_cast<u128>(x) << up;  // x * 4^n
  // r = floor(sqrt(v / 4^s)): the largest r with r^2 * 4^s <= v.
  uint64 lo = 0, hi = (1ull << 63);
  while (lo < hi) {
    const uint64 mid = lo + (hi - lo + 1) / 2;
    const u128 sq = static_cast<u128>(mid) * mid;
    const bool fits = down < 64 && (sq >> (127 - down)) == 0 && (sq << down) <= v;
    if (fits) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  const uint64 r = lo;
  const u128 odd = 2 * static_cast<u128>(r) + 1;
  const u128 odd2 = odd * odd;
  const u128 mid2 = (odd2 >> (127 - down)) == 0 ? odd2 << down : ~static_cast<u128>(0);  // (2r+1)^2 4^s
  const u128 v4 = v << 2;
  uint64 result = r;
  if (v4 > mid2) result = r + 1;
  else if (v4 == mid2) result = r + (r & 1);
  return result > limit ? limit : result;
}

// Every 16-bit input at every scale factor from -18 to 12 (beyond them every result is
// saturated or 0), signed and unsigned, against the oracle computed once per factor.
TEST(IntegerSquareRoot, Every16BitInputAtEveryScaleFactor) {
  std::vector<int16> src(65536), dst(65536 + 3);
  std::vector<uint16> usrc(65536), udst(65536);
  for (int i = 0; i < 65536; ++i) {
    src[i] = static_cast<int16>(i - 32768);
    usrc[i] = static_cast<uint16>(i);
  }
  std::vector<uint64> want(65536);
  for (int sf = -18; sf <= 12; ++sf) {
    for (int x = 0; x < 65536; ++x) want[x] = Oracle(static_cast<uint64>(x), sf, 65535);
    for (const vmtest::ModuleKernels& b : kBuilds) {
      for (int offset : {0, 3}) {  // no head, or a head of five elements
        EXPECT_NE(b.spSquareRootKernelScaled_16s(src.data(), dst.data() + offset, 65536, sf), 0);
        for (int i = 0; i < 65536; ++i) {
          const int x = src[i];
          const uint64 w = x <= 0 ? 0 : std::min<uint64>(want[x], 32767);
          ASSERT_EQ(dst[offset + i], static_cast<int16>(w)) << b.name << " x " << x << " sf " << sf;
        }
      }
      b.spSquareRootKernelScaled_16u(usrc.data(), udst.data(), 65536, sf);
      for (int x = 0; x < 65536; ++x) ASSERT_EQ(udst[x], want[x]) << b.name << " x " << x << " sf " << sf;
    }
  }
  // Only non-negative elements: result 0; a negative one in a partial group counts.
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int len = 1; len <= 20; ++len) {
      std::vector<int16> v(len, 9), d(len);
      EXPECT_EQ(b.spSquareRootKernelScaled_16s(v.data(), d.data(), len, 0), 0);
      v[len - 1] = -5;
      EXPECT_NE(b.spSquareRootKernelScaled_16s(v.data(), d.data(), len, 0), 0);
      EXPECT_EQ(d[len - 1], 0);
    }
  }
}

// Edges of each band and random values of the 32-bit and 64-bit sources.
TEST(IntegerSquareRoot, WideSourcesExactAtEdgesAndRandomValues) {
  vmtest::Rng rng(21);
  std::vector<int64> values = {0, 1, 2, 3, 4, 5, 8, 9, 24, 25, 1073676288, 1073676289, 1073709056, 1073709057,
                               2147483647, (1ll << 40), (1ll << 62), (1ll << 62) + 1, 0x7FFFFFFFFFFFFFFFll};
  for (int i = 0; i < 400; ++i) {
    const uint64 w = (static_cast<uint64>(rng.Next()) << 32) | rng.Next();
    values.push_back(static_cast<int64>((w >> 1) >> (rng.Next() % 62)));
  }
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int sf = -40; sf <= 40; ++sf) {
      for (int64 v : values) {
        int64 d64 = -7;
        int16 d16 = -7;
        EXPECT_EQ(b.spSquareRootKernelScaled_64s16s(&v, &d16, 1, sf), 0);
        ASSERT_EQ(d16, static_cast<int16>(Oracle(v, sf, 32767))) << b.name << " x " << v << " sf " << sf;
        EXPECT_EQ(b.spSquareRootKernelScaled_64s(&v, &d64, 1, sf), 0);
        if (sf >= -30) {
          ASSERT_EQ(static_cast<uint64>(d64), Oracle(v, sf, 0x7FFFFFFFFFFFFFFFull)) << b.name << " x " << v << " sf " << sf;
        }
        if (v <= 2147483647) {
          const int32 v32 = static_cast<int32>(v);
          EXPECT_EQ(b.spSquareRootKernelScaled_32s16s(&v32, &d16, 1, sf), 0);
          ASSERT_EQ(d16, static_cast<int16>(Oracle(v, sf, 32767))) << b.name << " x " << v << " sf " << sf;
        }
      }
    }
    // The contracts' examples.
    const int64 neg = -1;
    int64 d64;
    int16 d16;
    EXPECT_NE(b.spSquareRootKernelScaled_64s(&neg, &d64, 1, 0), 0);
    EXPECT_EQ(d64, 0);
    const int32 neg32 = -5;
    EXPECT_NE(b.spSquareRootKernelScaled_32s16s(&neg32, &d16, 1, 3), 0);
    EXPECT_EQ(d16, 0);
    const int64 two = 2, three = 3, one = 1;
    b.spSquareRootKernelScaled_64s(&two, &d64, 1, -32);
    EXPECT_EQ(d64, 6074001000ll);
    b.spSquareRootKernelScaled_64s(&three, &d64, 1, -32);
    EXPECT_EQ(d64, 7439101574ll);
    b.spSquareRootKernelScaled_64s(&one, &d64, 1, -63);
    EXPECT_EQ(d64, 0x7FFFFFFFFFFFFFFFll);
    b.spSquareRootKernelScaled_64s(&one, &d64, 1, -1000);
    EXPECT_EQ(d64, 0x7FFFFFFFFFFFFFFFll);
  }
}

TEST(IntegerSquareRoot, Complex16BitExamples) {
  struct Case {
    int16 x, y, re, im;
    int sf;
  };
  const Case stable[] = {{-4, 0, 0, 2, 0},  {3, 4, 2, 1, 0},      {3, -4, 2, -1, 0},         {0, 0, 0, 0, 0},
                         {-1, 0, 0, 1, 0},  {1, 0, 0, 0, 1},      {-32768, -32768, 82, -199, 0},
                         {0, 0, 0, 0, -1100}, {1, 0, 32767, 0, -1100}, {-1, -1, 32767, -32768, -1100}};
  const Case plain[] = {{3, 4, 2, 1, 0},   {-4, 0, 0, 2, 0},  {0, -9, 2, -2, 0},
                        {0, 0, 0, 0, 0},   {-32768, 0, 0, 181, 0}, {-32768, -32768, 82, -199, 0}};
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (const Case& c : stable) {
      const int16 s[2] = {c.x, c.y};
      int16 d[2];
      b.spSquareRootKernelScaled_16sc(s, d, 1, c.sf);
      EXPECT_EQ(d[0], c.re) << b.name << " " << c.x << "," << c.y << " sf " << c.sf;
      EXPECT_EQ(d[1], c.im) << b.name << " " << c.x << "," << c.y << " sf " << c.sf;
      if (c.x != -1 || c.sf != -1100) {  // the fast form has no stable imaginary part there
        b.spSquareRootFastKernelScaled_16sc(s, d, 1, c.sf);
        EXPECT_EQ(d[0], c.re) << b.name << " fast " << c.x << "," << c.y;
      }
    }
    for (const Case& c : plain) {
      const int16 s[2] = {c.x, c.y};
      int16 d[2];
      b.spSquareRootKernel_16sc(s, d, 1);
      EXPECT_EQ(d[0], c.re) << b.name << " " << c.x << "," << c.y;
      EXPECT_EQ(d[1], c.im) << b.name << " " << c.x << "," << c.y;
    }
  }
}

// The stable scaled form is the principal root times 2^-s rounded (ties aside).
TEST(IntegerSquareRoot, Complex16BitScaledAgainstTheLongDoubleRoot) {
  vmtest::Rng rng(22);
  std::vector<int16> src(2 * 5000), dst(src.size());
  for (int16& v : src) v = static_cast<int16>(rng.Next());
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int sf : {-8, -2, 0, 1, 4}) {
      b.spSquareRootKernelScaled_16sc(src.data(), dst.data(), 5000, sf);
      for (int i = 0; i < 5000; ++i) {
        const std::complex<long double> r =
            std::sqrt(std::complex<long double>(src[2 * i], src[2 * i + 1])) * std::ldexp(1.0L, -sf);
        const long double re = std::clamp(r.real(), -32768.0L, 32767.0L), im = std::clamp(r.imag(), -32768.0L, 32767.0L);
        EXPECT_LE(std::fabs(dst[2 * i] - re), 0.5L + 1e-9L) << src[2 * i] << "," << src[2 * i + 1];
        EXPECT_LE(std::fabs(dst[2 * i + 1] - im), 0.5L + 1e-9L) << src[2 * i] << "," << src[2 * i + 1];
      }
    }
  }
}

TEST(IntegerSquareRoot, LookupThroughTheCallersTable) {
  uint8 table[256], src[300], dst[300];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8>(255 - i);
  for (int i = 0; i < 300; ++i) src[i] = static_cast<uint8>(i * 7);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    std::memset(dst, 0xEE, sizeof dst);
    b.spLookupKernel_8u(src + 1, dst + 3, 290, table);
    for (int i = 0; i < 290; ++i) ASSERT_EQ(dst[3 + i], 255 - src[1 + i]);
    EXPECT_EQ(dst[2], 0xEE);
    EXPECT_EQ(dst[293], 0xEE);
  }
}

}  // namespace

namespace {

// The integer kernels run under the caller's MXCSR and leave its controls alone; their
// results stay exact in every rounding mode.
TEST(IntegerSquareRoot, ExactInEveryRoundingModeAndMxcsrKept) {
  vmtest::MxcsrGuard guard;
  std::vector<int16> src(32768), dst(32768);
  for (int i = 0; i < 32768; ++i) src[i] = static_cast<int16>(i);
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (uint32 mode : {0x2000u, 0x4000u, 0x6000u}) {
      for (int sf : {-7, -3, 0, 2}) {
        spLoadMxcsr(0x1F80u | mode);
        b.spSquareRootKernelScaled_16s(src.data(), dst.data(), 32768, sf);
        EXPECT_EQ(spGetMxcsr() & ~0x3Fu, 0x1F80u | mode);
        spLoadMxcsr(0x1F80u);
        for (int x = 0; x < 32768; ++x) {
          ASSERT_EQ(dst[x], static_cast<int16>(std::min<uint64>(Oracle(x, sf, 32767), 32767))) << x << " sf " << sf;
        }
      }
    }
  }
}

}  // namespace
