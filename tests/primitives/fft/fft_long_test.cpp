// Orders above 2^16 (opt-in, label "long"): random bins against a long-double direct DFT,
// round trips through the large-order drivers, and the record guards.
#include <gtest/gtest.h>

#include "fft_records.h"
#include "sp/fft_kernels.h"

namespace {

using namespace fft_test;
namespace g = sp::generic;

constexpr int kBins = 6;

// max over the checked bins of |got - ref| relative to the rms of the exact spectrum
// (sqrt(N) times the rms of the input).
double BinError(const std::vector<cld>& got, const std::vector<cld>& ref, long double rms) {
  long double worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - ref[i]));
  return static_cast<double>(worst / rms);
}

TEST(FftLargeOrders, ComplexForwardMatchesDirectDftAtRandomBins) {
  for (int order = 17; order <= 23; ++order) {
    SCOPED_TRACE(testing::Message() << "complex order " << order);
    const int64_t n = int64_t{1} << order;
    auto rec = Build(false, order, SP_FFT_SCALE_FORWARD);
    ASSERT_TRUE(rec);
    const std::vector<float> x = RandomFloats(2 * size_t(n), 2000 + order);
    std::vector<float> y(x.size());
    ASSERT_EQ(g::spFftForwardComplex_32fc(x.data(), y.data(), rec->complex(), rec->workBuffer()), SP_OK);
    EXPECT_TRUE(rec->GuardsIntact());
    std::mt19937 gen(order);
    std::vector<cld> got, ref;
    for (int b = 0; b < kBins; ++b) {
      const int64_t k = b == 0 ? 0 : std::uniform_int_distribution<int64_t>(1, n - 1)(gen);
      got.emplace_back(y[2 * k], y[2 * k + 1]);
      ref.push_back(DftBin(x.data(), n, k, -1, true) / static_cast<long double>(n));
    }
    const long double rms = std::sqrt(2.0L / 3.0L / n);  // uniform(-1, 1) re and im, scaled by 1/N
    EXPECT_LE(BinError(got, ref, rms), 20 * Tolerance(order));
  }
}

TEST(FftLargeOrders, RealForwardAndInverseMatchDirectSums) {
  for (int order = 17; order <= 24; ++order) {
    SCOPED_TRACE(testing::Message() << "real order " << order);
    const int64_t n = int64_t{1} << order;
    auto rec = Build(true, order, SP_FFT_SCALE_INVERSE);
    ASSERT_TRUE(rec);
    const std::vector<float> x = RandomFloats(size_t(n), 3000 + order);
    std::vector<float> p(x.size());
    ASSERT_EQ(g::spFftForwardReal_32f(x.data(), p.data(), rec->real(), nullptr), SP_OK);
    std::mt19937 gen(order);
    std::vector<cld> got, ref;
    for (int b = 0; b < kBins; ++b) {
      const int64_t k = std::uniform_int_distribution<int64_t>(1, n / 2 - 1)(gen);
      got.emplace_back(p[2 * k], p[2 * k + 1]);
      ref.push_back(DftBin(x.data(), n, k, -1, false));
    }
    got.emplace_back(p[0], 0.0f);
    ref.push_back(DftBin(x.data(), n, 0, -1, false));
    got.emplace_back(p[1], 0.0f);
    ref.push_back(DftBin(x.data(), n, n / 2, -1, false));
    const long double rms = std::sqrt(n / 3.0L);
    EXPECT_LE(BinError(got, ref, rms), 20 * Tolerance(order));

    std::vector<float> back(x.size());
    ASSERT_EQ(g::spFftInverseReal_32f(p.data(), back.data(), rec->real(), rec->workBuffer()), SP_OK);
    const std::vector<long double> exact(x.begin(), x.end());
    EXPECT_LE(RelativeError(back.data(), exact), 2 * Tolerance(order));
    EXPECT_TRUE(rec->GuardsIntact());
  }
}

TEST(FftLargeOrders, ComplexDriversRoundTripInPlaceAndOutOfPlace) {
  for (int order = 17; order <= 23; ++order) {
    SCOPED_TRACE(testing::Message() << "complex order " << order);
    const int32 n = int32{1} << order;
    auto rec = Build(false, order, SP_FFT_NO_SCALE);
    ASSERT_TRUE(rec);
    auto* work = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(rec->workBuffer()) + 31) & ~uintptr_t{31});
    const std::vector<float> x = RandomFloats(2 * size_t(n), 4000 + order);
    std::vector<float> a = x, b(x.size());
    g::spFftLargeOrderForward_32fc(rec->header, x.data(), b.data(), order, work);
    g::spFftLargeOrderForward_32fc(rec->header, a.data(), a.data(), order, work);
    EXPECT_EQ(a, b);
    g::spFftLargeOrderInverse_32fc(rec->header, a.data(), a.data(), order, work);
    const std::vector<long double> exact(x.begin(), x.end());
    EXPECT_LE(RelativeError(a.data(), exact, n), 2 * Tolerance(order));
    EXPECT_TRUE(rec->GuardsIntact());
  }
}

}  // namespace
