// The processor builds at complex orders 23 to 26 (opt-in, label "long"): random bins
// against a long-double direct DFT, and the round trip through the inverse driver; the
// orders where rows split a second time (from 25 in build 1, 26 in builds 2 and 3) included.
#include <gtest/gtest.h>

#include <random>

#include "fft_builds.h"
#include "fft_test_support.h"

namespace {

using namespace fft_test;

TEST(ProcessorFftLongOrders, ComplexForwardMatchesDirectDftAndInverseReturnsTheInput) {
  for (int order = 23; order <= 26; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int64_t n = int64_t{1} << order;
    const std::vector<float> x = RandomFloats(2 * size_t(n), 6000 + order);
    std::mt19937 gen(order);
    std::vector<int64_t> bins = {0};
    for (int i = 0; i < 3; ++i) bins.push_back(std::uniform_int_distribution<int64_t>(1, n - 1)(gen));
    std::vector<cld> exact;
    for (int64_t k : bins) exact.push_back(DftBin(x.data(), n, k, -1, true));
    const long double rms = std::sqrt(2.0L * n / 3.0L);  // of the exact spectrum

    for (const ProcessorBuild& b : ProcessorBuilds()) {
      SCOPED_TRACE(b.name);
      spComplexFftSpec* spec = nullptr;
      ASSERT_EQ(b.createComplex(&spec, order, SP_FFT_NO_SCALE, 0), SP_OK);
      std::vector<uint8> work(static_cast<size_t>(spec->workBytes) + 32);
      std::vector<float> y(x.size());
      ASSERT_EQ(b.forwardComplex(x.data(), y.data(), spec, work.data()), SP_OK);
      long double worst = 0;
      for (size_t i = 0; i < bins.size(); ++i) {
        worst = std::max(worst, std::abs(cld(y[2 * bins[i]], y[2 * bins[i] + 1]) - exact[i]));
      }
      EXPECT_LE(static_cast<double>(worst / rms), 20 * Tolerance(order));

      auto* w = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(work.data()) + 31) & ~uintptr_t{31});
      b.largeInverse(spec, y.data(), y.data(), order, w);
      EXPECT_LE(RelativeError(y.data(), std::vector<long double>(x.begin(), x.end()),
                              static_cast<long double>(n)),
                2 * Tolerance(order));
      b.freeComplex(spec);
    }
  }
}

}  // namespace
