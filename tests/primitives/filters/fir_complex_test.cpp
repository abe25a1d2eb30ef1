// Complex FIR kernels of the processor builds: the direct block kernel against a
// complex convolution in double at every alignment, and the polyphase kernel against
// the windows and rows its step table names, including a plain decimator.
#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "sp/fir_complex.h"

namespace {

using Cd = std::complex<double>;

struct Kernels {
  const char* name;
  decltype(&sp::sse3::spFirDirectBlockKernel_32fc) direct;
  decltype(&sp::sse3::spFirMultirateKernel_32fc) multirate;
};

std::vector<Kernels> Builds() {
  std::vector<Kernels> out;
  if (__builtin_cpu_supports("sse3"))
    out.push_back({"sse3", &sp::sse3::spFirDirectBlockKernel_32fc, &sp::sse3::spFirMultirateKernel_32fc});
  if (__builtin_cpu_supports("ssse3"))
    out.push_back({"ssse3", &sp::ssse3::spFirDirectBlockKernel_32fc, &sp::ssse3::spFirMultirateKernel_32fc});
  if (__builtin_cpu_supports("sse4.1"))
    out.push_back({"sse41", &sp::sse41::spFirDirectBlockKernel_32fc, &sp::sse41::spFirMultirateKernel_32fc});
  return out;
}

std::vector<spComplex32f> RandomComplex(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<spComplex32f> v(n);
  for (auto& c : v) c = {d(rng), d(rng)};
  return v;
}

Cd C(const spComplex32f& c) { return {c.re, c.im}; }

// Complex samples placed `floatOffset` floats past a 16-byte boundary.
struct Placed {
  Placed(size_t n, size_t floatOffset) : storage(2 * n + 8, -7.0f) {
    auto a = reinterpret_cast<uintptr_t>(storage.data());
    const size_t skip = ((16 - a % 16) % 16) / 4 + floatOffset;
    data = reinterpret_cast<spComplex32f*>(storage.data() + skip);
  }
  std::vector<float> storage;
  spComplex32f* data;
};

TEST(FirComplexDirect, MatchesAComplexConvolutionAtEveryAlignment) {
  std::mt19937 rng(1);
  for (const Kernels& k : Builds()) {
    for (int T = 1; T <= 13; ++T) {
      const auto h = RandomComplex(rng, static_cast<size_t>(T));
      alignas(16) float prepared[8 * 13];
      ASSERT_EQ(sp::generic::spFirPrepareComplexTaps_32fc(h.data(), T, prepared), SP_OK);
      for (int count : {0, 1, 2, 3, 8, 9, 17}) {
        const auto x = RandomComplex(rng, static_cast<size_t>(count + T - 1));
        std::vector<spComplex32f> first;
        for (size_t srcOff : {0, 1, 2, 3}) {
          for (size_t dstOff : {0, 1, 2}) {
            Placed src(x.size(), srcOff), dst(static_cast<size_t>(count) + 1, dstOff);
            std::copy(x.begin(), x.end(), src.data);
            ASSERT_EQ(k.direct(prepared, src.data, dst.data, count, T), T);
            EXPECT_EQ(dst.data[count].re, -7.0f) << "nothing past the outputs";
            std::vector<spComplex32f> got(dst.data, dst.data + count);
            for (int j = 0; j < count; ++j) {
              Cd want = 0.0;
              double mag = 0.0;
              for (int m = 0; m < T; ++m) {
                want += C(h[static_cast<size_t>(m)]) * C(x[static_cast<size_t>(j + T - 1 - m)]);
                mag += std::abs(C(h[static_cast<size_t>(m)])) * std::abs(C(x[static_cast<size_t>(j + T - 1 - m)]));
              }
              EXPECT_LT(std::abs(C(got[static_cast<size_t>(j)]) - want), 1e-6 * (1 + mag))
                  << k.name << " T=" << T << " j=" << j;
            }
            if (first.empty()) first = got;
            for (int j = 0; j < count; ++j) {  // the same bits at every alignment
              EXPECT_EQ(got[static_cast<size_t>(j)].re, first[static_cast<size_t>(j)].re);
              EXPECT_EQ(got[static_cast<size_t>(j)].im, first[static_cast<size_t>(j)].im);
            }
          }
        }
      }
    }
  }
}

TEST(FirComplexDirect, OneTapIsAPlainComplexProduct) {
  std::mt19937 rng(2);
  const auto h = RandomComplex(rng, 1);
  alignas(16) float prepared[8];
  ASSERT_EQ(sp::generic::spFirPrepareComplexTaps_32fc(h.data(), 1, prepared), SP_OK);
  const auto x = RandomComplex(rng, 11);
  for (const Kernels& k : Builds()) {
    Placed src(11, 1), dst(11, 1);
    std::copy(x.begin(), x.end(), src.data);
    k.direct(prepared, src.data, dst.data, 11, 1);
    for (size_t j = 0; j < 11; ++j) {
      EXPECT_EQ(dst.data[j].re, h[0].re * x[j].re - h[0].im * x[j].im);
      EXPECT_EQ(dst.data[j].im, h[0].re * x[j].im + h[0].im * x[j].re);
    }
  }
}

// The two windows and rows of every round, from the step table, in double.
std::vector<Cd> PolyphaseOracle(const std::vector<spComplex32f>& rows, const std::vector<spComplex32f>& line,
                                const std::vector<int32>& steps, int G, long long start, int W, int R, int count,
                                long long* pEnd) {
  std::vector<Cd> out;
  long long pos = start * 8, w1 = pos + steps[0];
  auto dot = [&](long long bytes, long long row) {
    Cd acc = 0.0;
    for (int m = 0; m < W; ++m) acc += C(line[static_cast<size_t>(bytes / 8 + m)]) * C(rows[static_cast<size_t>(row + m)]);
    return acc;
  };
  for (int round = 0; 2 * round < count; ++round) {
    if (G == 1) {
      out.push_back(dot(w1, 0));
      out.push_back(dot(w1 + steps[1], R));
      pos = w1 + steps[1];
      w1 += 2 * steps[1];
      continue;
    }
    const int pair = round % (2 * G);
    const long long a = pos + steps[static_cast<size_t>(2 * pair)];
    const long long b = a + steps[static_cast<size_t>(2 * pair + 1)];
    out.push_back(dot(a, 2LL * pair * R));
    out.push_back(dot(b, 2LL * pair * R + R));
    pos = b;
    if (pair == 2 * G - 1) pos += steps[static_cast<size_t>(4 * G)];
  }
  *pEnd = count == 0 ? start : pos / 8;
  return out;
}

TEST(FirComplexMultirate, FollowsTheStepTableAndRows) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> step(0, 3);
  for (const Kernels& k : Builds()) {
    for (int G : {1, 2, 3}) {
      for (int W : {1, 2, 3, 7, 8, 9, 17}) {
        const int R = W + 1;
        const auto rows = RandomComplex(rng, static_cast<size_t>(4 * G * R));
        std::vector<float> planes(static_cast<size_t>(16 * G * R));
        ASSERT_EQ(sp::generic::spFirComplexCoefficientPlanes_32fc(rows.data(), G, R, planes.data()), SP_OK);
        std::vector<int32> steps;
        for (int i = 0; i < 4 * G; ++i) steps.push_back(8 * step(rng));
        steps.push_back(8 * step(rng));
        if (G == 1) steps[1] = 8 * (1 + step(rng));
        for (int count : {0, 2, 6, 24}) {
          const long long start = 5;
          const auto line = RandomComplex(rng, 400);
          long long end = 0;
          const auto want = PolyphaseOracle(rows, line, steps, G, start, W, R, count, &end);
          std::vector<spComplex32f> dst(static_cast<size_t>(count) + 1, spComplex32f{-3.0f, -3.0f});
          EXPECT_EQ(k.multirate(planes.data(), line.data(), dst.data(), count, steps.data(), G, start, W, R), end)
              << k.name << " G=" << G << " W=" << W << " count=" << count;
          for (int i = 0; i < count; ++i) {
            double mag = 0.0;
            for (const auto& r : rows) mag = std::max(mag, std::abs(C(r)));
            EXPECT_LT(std::abs(C(dst[static_cast<size_t>(i)]) - want[static_cast<size_t>(i)]), 1e-5 * W * (1 + mag))
                << k.name << " G=" << G << " W=" << W << " i=" << i;
          }
          EXPECT_EQ(dst[static_cast<size_t>(count)].re, -3.0f);
        }
      }
    }
  }
}

// G = 1 as a decimator by 3: both outputs of a round use the same (reversed) taps, the
// windows 3 samples apart, and match a complex convolution sampled every third output.
TEST(FirComplexMultirate, SingleGroupDecimatesByTheWindowDistance) {
  std::mt19937 rng(4);
  const int T = 10, D = 3, outputs = 20;
  const auto h = RandomComplex(rng, T);
  std::vector<spComplex32f> rows(static_cast<size_t>(4 * T));
  for (int r = 0; r < 4; ++r)
    for (int m = 0; m < T; ++m) rows[static_cast<size_t>(r * T + m)] = h[static_cast<size_t>(T - 1 - m)];
  std::vector<float> planes(static_cast<size_t>(16 * T));
  ASSERT_EQ(sp::generic::spFirComplexCoefficientPlanes_32fc(rows.data(), 1, T, planes.data()), SP_OK);
  const auto x = RandomComplex(rng, static_cast<size_t>(outputs * D + T));
  const int32 steps[5] = {0, 8 * D, 0, 0, 0};
  for (const Kernels& k : Builds()) {
    std::vector<spComplex32f> y(outputs);
    EXPECT_EQ(k.multirate(planes.data(), x.data(), y.data(), outputs, steps, 1, 0, T, T), (outputs - 1) * D);
    for (int n = 0; n < outputs; ++n) {
      Cd want = 0.0;
      for (int m = 0; m < T; ++m) want += C(h[static_cast<size_t>(m)]) * C(x[static_cast<size_t>(n * D + T - 1 - m)]);
      EXPECT_LT(std::abs(C(y[static_cast<size_t>(n)]) - want), 1e-5) << k.name << " n=" << n;
    }
  }
}

TEST(FirComplexSetup, RefusesNullPointersAndEmptyShapes) {
  spComplex32f h{1, 1};
  float out[64];
  EXPECT_EQ(sp::generic::spFirPrepareComplexTaps_32fc(nullptr, 1, out), SP_ERROR_NULL);
  EXPECT_EQ(sp::generic::spFirPrepareComplexTaps_32fc(&h, 0, out), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(sp::generic::spFirComplexCoefficientPlanes_32fc(&h, 1, 1, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(sp::generic::spFirComplexCoefficientPlanes_32fc(&h, 0, 1, out), SP_ERROR_TAP_COUNT);
  EXPECT_EQ(sp::generic::spFirComplexCoefficientPlanes_32fc(&h, 1, 0, out), SP_ERROR_TAP_COUNT);
}

}  // namespace
