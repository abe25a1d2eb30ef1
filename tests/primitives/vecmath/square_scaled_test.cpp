// Integer squares with a scale factor against exact integer arithmetic: every 8-bit and
// 16-bit input at every scale factor from -40 to 70 and the extremes of the factor,
// complex inputs over their edge values and at random, at shifting alignments.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "vecmath_test_support.h"

namespace {

struct Builds {
  const char* name;
  decltype(&sp::sse3::spSquareKernelScaled_8u) sq8u;
  decltype(&sp::sse3::spSquareKernelScaled_16s) sq16s;
  decltype(&sp::sse3::spSquareKernelScaled_16u) sq16u;
  decltype(&sp::sse3::spSquareKernelScaled_16sc) sq16sc;
};
#define SQUARE_BUILD(ns)                                                                                        \
  Builds {                                                                                                      \
    #ns, &sp::ns::spSquareKernelScaled_8u, &sp::ns::spSquareKernelScaled_16s, &sp::ns::spSquareKernelScaled_16u, \
        &sp::ns::spSquareKernelScaled_16sc                                                                      \
  }

std::vector<Builds> Supported() {
  std::vector<Builds> b;
  if (vmtest::Supports(1)) b.push_back(SQUARE_BUILD(sse3));
  if (vmtest::Supports(2)) b.push_back(SQUARE_BUILD(ssse3));
  if (vmtest::Supports(3)) b.push_back(SQUARE_BUILD(sse41));
  return b;
}
const std::vector<Builds> kBuilds = Supported();

// y x 2^-s rounded to nearest, ties to even, saturated to lo..hi; |y| below 2^33.
int64_t Scale(int64_t y, int s, int64_t lo, int64_t hi) {
  int64_t r;
  if (s >= 40) {
    r = 0;
  } else if (s > 0) {
    const int64_t q = y >> s, rem = y - q * (int64_t{1} << s), half = int64_t{1} << (s - 1);
    r = q + ((rem > half || (rem == half && (q & 1) != 0)) ? 1 : 0);
  } else if (y == 0) {
    r = 0;
  } else {
    r = -s >= 20 ? (y > 0 ? hi : lo) : y * (int64_t{1} << -s);
  }
  return r < lo ? lo : r > hi ? hi : r;
}

std::vector<int> Scales() {
  std::vector<int> s{INT_MIN, INT_MIN + 1, -1000, -65, -64, 64, 65, 1000, INT_MAX};
  for (int i = -40; i <= 70; ++i) s.push_back(i);
  return s;
}

// Unaligned views into a byte buffer: offset 0-15 bytes from a 16-byte boundary.
template <class T>
T* At(std::vector<unsigned char>& buf, int offset) {
  const auto base = reinterpret_cast<std::uintptr_t>(buf.data());
  return reinterpret_cast<T*>(buf.data() + ((16 - (base & 15)) & 15) + offset);
}

TEST(VecmathSquareScaled, EveryRealInputAtEveryScaleFactor) {
  std::vector<unsigned char> in(2 * 65536 + 64), out(2 * 65536 + 64);
  for (const Builds& b : kBuilds) {
    SCOPED_TRACE(b.name);
    int round = 0;
    for (int s : Scales()) {
      const int inOff = (round * 3) % 16, outOff = (round * 5 + (round & 1)) % 16;  // odd offsets too
      ++round;
      auto* x16 = At<int16>(in, inOff);
      auto* y16 = At<int16>(out, outOff);
      for (int i = 0; i < 65536; ++i) {
        const auto v = static_cast<int16>(i - 32768);
        std::memcpy(x16 + i, &v, 2);
      }
      b.sq16s(x16, y16, 65536, s);
      for (int i = 0; i < 65536; ++i) {
        int16 got;
        std::memcpy(&got, y16 + i, 2);
        const int64_t x = i - 32768;
        ASSERT_EQ(got, Scale(x * x, s, -32768, 32767)) << "16s " << x << " scale " << s;
      }
      auto* x16u = reinterpret_cast<uint16*>(x16);
      auto* y16u = reinterpret_cast<uint16*>(y16);
      b.sq16u(x16u, y16u, 65536, s);
      for (int i = 0; i < 65536; ++i) {
        uint16 x, got;
        std::memcpy(&x, x16u + i, 2);
        std::memcpy(&got, y16u + i, 2);
        ASSERT_EQ(got, Scale(int64_t{x} * x, s, 0, 65535)) << "16u " << x << " scale " << s;
      }
      auto* x8 = At<uint8>(in, inOff);
      auto* y8 = At<uint8>(out, outOff);
      for (int i = 0; i < 256; ++i) x8[i] = static_cast<uint8>(i);
      b.sq8u(x8, y8, 256, s);
      for (int i = 0; i < 256; ++i) ASSERT_EQ(y8[i], Scale(i * i, s, 0, 255)) << "8u " << i << " scale " << s;
    }
  }
}

TEST(VecmathSquareScaled, ComplexInputsAtEveryScaleFactor) {
  const int16 edges[] = {-32768, -32767, -16384, -182, -181, -2, -1, 0, 1, 2, 3, 4, 7, 181, 182, 200, 16384, 32767};
  std::vector<int16> src;
  for (int16 a : edges) {
    for (int16 c : edges) src.insert(src.end(), {a, c});
  }
  vmtest::Rng rng(122);
  while (src.size() < 2 * 4000) src.push_back(static_cast<int16>(rng.Next()));
  const int len = static_cast<int>(src.size() / 2);
  std::vector<unsigned char> in(4 * len + 32), out(4 * len + 32);
  for (const Builds& b : kBuilds) {
    int round = 0;
    for (int s : Scales()) {
      const int inOff = 2 * (round % 8), outOff = (round * 3) % 16;
      ++round;
      auto* x = At<int16>(in, inOff);
      auto* y = At<int16>(out, outOff);
      std::memcpy(x, src.data(), 4 * len);
      b.sq16sc(x, y, len, s);
      for (int i = 0; i < len; ++i) {
        const int64_t re = src[2 * i], im = src[2 * i + 1];
        int16 got[2];
        std::memcpy(got, y + 2 * i, 4);
        ASSERT_EQ(got[0], Scale(re * re - im * im, s, -32768, 32767)) << b.name << " " << re << "," << im << " s " << s;
        ASSERT_EQ(got[1], Scale(2 * re * im, s, -32768, 32767)) << b.name << " " << re << "," << im << " s " << s;
      }
    }
  }
}

// In place, lengths 1-70, and no byte beyond the vector written; lengths at or below
// zero write nothing.
TEST(VecmathSquareScaled, InPlaceShortLengthsAndNoWorkBelowOne) {
  for (const Builds& b : kBuilds) {
    for (int len = -2; len <= 70; ++len) {
      const size_t n = len > 0 ? static_cast<size_t>(len) : 0;
      sptest::Guarded g(4 * n, (len * 3) % 16);
      std::vector<int16> want(2 * n);
      for (size_t i = 0; i < 2 * n; ++i) {
        const auto v = static_cast<int16>(static_cast<int>(i * 977) % 300 - 150);
        std::memcpy(g.data() + 2 * i, &v, 2);
        want[i] = static_cast<int16>(Scale(int64_t{v} * v, 3, -32768, 32767));
      }
      b.sq16s(reinterpret_cast<int16*>(g.data()), reinterpret_cast<int16*>(g.data()), 2 * len, 3);
      EXPECT_TRUE(n == 0 || std::memcmp(g.data(), want.data(), 4 * n) == 0) << len;
      EXPECT_TRUE(g.GuardsIntact()) << len;
    }
  }
}

}  // namespace
