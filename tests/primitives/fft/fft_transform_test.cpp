// Real and complex transforms of every order up to 2^16 against a long-double FFT, for
// every normalisation, in place and out of place, with and without a work buffer.
#include <gtest/gtest.h>

#include "fft_records.h"
#include "sp/fft_kernels.h"

namespace {

using namespace fft_test;
namespace g = sp::generic;

constexpr int kMaxDefaultOrder = 16;

std::vector<long double> Interleaved(const std::vector<cld>& c) { return Interleave(c); }

TEST(FftRealTransform, ForwardMatchesLongDoubleDftForEveryOrderAndFlag) {
  for (int order = 0; order <= kMaxDefaultOrder; ++order) {
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(n, 100 + order);
    const std::vector<long double> ref = PackedSpectrum(x);
    for (int flag : kFlags) {
      auto rec = Build(true, order, flag);
      ASSERT_TRUE(rec);
      for (bool inPlace : {false, true}) {
        SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag << " in place " << inPlace);
        Guarded src(n, 1), dst(n, 3);
        src.Fill(x);
        float* out = inPlace ? src.data() : dst.data();
        // In place runs without a buffer (the call allocates one when needed).
        uint8* work = inPlace ? nullptr : rec->workBuffer();
        ASSERT_EQ(g::spFftForwardReal_32f(src.data(), out, rec->real(), work), SP_OK);
        EXPECT_LE(RelativeError(out, ref, ScaleOf(flag, order, true)), Tolerance(order));
        EXPECT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
        if (!inPlace) {
          EXPECT_EQ(0, std::memcmp(src.data(), x.data(), n * sizeof(float))) << "source modified";
        }
      }
      EXPECT_TRUE(rec->GuardsIntact());
    }
  }
}

TEST(FftRealTransform, InverseMatchesLongDoubleDftForEveryOrderAndFlag) {
  for (int order = 0; order <= kMaxDefaultOrder; ++order) {
    const size_t n = size_t{1} << order;
    const std::vector<float> p = RandomFloats(n, 200 + order);
    const std::vector<long double> ref = InversePacked(p);
    for (int flag : kFlags) {
      auto rec = Build(true, order, flag);
      ASSERT_TRUE(rec);
      for (bool inPlace : {false, true}) {
        SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag << " in place " << inPlace);
        Guarded src(n, 2), dst(n);
        src.Fill(p);
        float* out = inPlace ? src.data() : dst.data();
        uint8* work = inPlace ? rec->workBuffer() : nullptr;
        ASSERT_EQ(g::spFftInverseReal_32f(src.data(), out, rec->real(), work), SP_OK);
        EXPECT_LE(RelativeError(out, ref, ScaleOf(flag, order, false)), Tolerance(order));
        EXPECT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
        if (!inPlace) {
          EXPECT_EQ(0, std::memcmp(src.data(), p.data(), n * sizeof(float))) << "source modified";
        }
      }
      EXPECT_TRUE(rec->GuardsIntact());
    }
  }
}

TEST(FftRealTransform, RoundTripRestoresTheInputTimesTheUnappliedScale) {
  for (int order = 0; order <= kMaxDefaultOrder; ++order) {
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(n, 300 + order);
    std::vector<long double> ref(x.begin(), x.end());
    for (int flag : kFlags) {
      SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag);
      auto rec = Build(true, order, flag);
      ASSERT_TRUE(rec);
      std::vector<float> v = x;
      ASSERT_EQ(g::spFftForwardRealInPlace_32f(v.data(), rec->real(), rec->workBuffer()), SP_OK);
      ASSERT_EQ(g::spFftInverseRealInPlace_32f(v.data(), rec->real(), rec->workBuffer()), SP_OK);
      const long double factor = flag == SP_FFT_NO_SCALE ? static_cast<long double>(n) : 1.0L;
      EXPECT_LE(RelativeError(v.data(), ref, factor), 2 * Tolerance(order));
    }
  }
}

TEST(FftRealTransform, InPlaceAndOutOfPlaceGiveIdenticalResults) {
  for (int order = 0; order <= kMaxDefaultOrder; ++order) {
    const size_t n = size_t{1} << order;
    auto rec = Build(true, order, SP_FFT_SCALE_SQRT);
    ASSERT_TRUE(rec);
    const std::vector<float> x = RandomFloats(n, 400 + order);
    std::vector<float> a = x, b(n);
    ASSERT_EQ(g::spFftForwardReal_32f(x.data(), b.data(), rec->real(), nullptr), SP_OK);
    ASSERT_EQ(g::spFftForwardRealInPlace_32f(a.data(), rec->real(), nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), n * sizeof(float))) << "forward, order " << order;
    ASSERT_EQ(g::spFftInverseReal_32f(x.data(), b.data(), rec->real(), nullptr), SP_OK);
    a = x;
    ASSERT_EQ(g::spFftInverseRealInPlace_32f(a.data(), rec->real(), nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), n * sizeof(float))) << "inverse, order " << order;
  }
}

TEST(FftComplexTransform, ForwardMatchesLongDoubleDftForEveryOrderAndFlag) {
  for (int order = 0; order <= kMaxDefaultOrder; ++order) {
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(2 * n, 500 + order);
    const std::vector<long double> ref = Interleaved(Fft(ToComplex(x), -1));
    for (int flag : kFlags) {
      auto rec = Build(false, order, flag);
      ASSERT_TRUE(rec);
      std::vector<float> inPlaceResult;
      for (bool inPlace : {false, true}) {
        SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag << " in place " << inPlace);
        Guarded src(2 * n, 1), dst(2 * n, 2);
        src.Fill(x);
        float* out = inPlace ? src.data() : dst.data();
        uint8* work = inPlace ? nullptr : rec->workBuffer();
        ASSERT_EQ(g::spFftForwardComplex_32fc(src.data(), out, rec->complex(), work), SP_OK);
        EXPECT_LE(RelativeError(out, ref, ScaleOf(flag, order, true)), Tolerance(order));
        EXPECT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
        if (!inPlace) {
          EXPECT_EQ(0, std::memcmp(src.data(), x.data(), 2 * n * sizeof(float)));
          inPlaceResult.assign(out, out + 2 * n);
        } else {
          EXPECT_EQ(0, std::memcmp(out, inPlaceResult.data(), 2 * n * sizeof(float)))
              << "in place differs from out of place";
        }
      }
      EXPECT_TRUE(rec->GuardsIntact());
    }
  }
}

// The library has no public complex inverse; the large-order inverse driver (used by the
// real inverse) and the in-core inverse passes are checked directly on complex records.
TEST(FftComplexTransform, InverseKernelsMatchLongDoubleDft) {
  for (int order = 4; order <= kMaxDefaultOrder; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const int32 n = int32{1} << order;
    const std::vector<float> x = RandomFloats(2 * size_t(n), 600 + order);
    const std::vector<long double> ref = Interleaved(Fft(ToComplex(x), +1));
    auto rec = Build(false, order, SP_FFT_NO_SCALE);
    ASSERT_TRUE(rec);
    std::vector<float> v = x;
    if (order <= 10) {
      g::spFftBitReversePermuteInPlace_32fc(v.data(), n, rec->header->bitReversalTable);
      g::spFftRadixPassesInverse_32fc(v.data(), n, rec->header->twiddles);
    } else {
      auto* work = reinterpret_cast<float*>(rec->workBuffer() == nullptr
                                                ? nullptr
                                                : rec->workBuffer() + (32 - reinterpret_cast<uintptr_t>(rec->workBuffer()) % 32) % 32);
      std::vector<float> out(v.size());
      g::spFftLargeOrderInverse_32fc(rec->header, v.data(), out.data(), order, work);
      v = out;
    }
    EXPECT_LE(RelativeError(v.data(), ref), Tolerance(order));
  }
}

TEST(FftComplexTransform, LargeOrderForwardThenInverseRestoresTheInput) {
  for (int order = 11; order <= kMaxDefaultOrder; ++order) {
    const int32 n = int32{1} << order;
    const std::vector<float> x = RandomFloats(2 * size_t(n), 700 + order);
    const std::vector<long double> ref(x.begin(), x.end());
    for (int flag : {SP_FFT_SCALE_INVERSE, SP_FFT_NO_SCALE}) {
      SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag);
      auto rec = Build(false, order, flag);
      ASSERT_TRUE(rec);
      std::vector<float> work(rec->workBytes / 4 + 8);
      float* w = work.data() + (8 - reinterpret_cast<uintptr_t>(work.data()) / 4 % 8) % 8;
      std::vector<float> v = x;
      g::spFftLargeOrderForward_32fc(rec->header, v.data(), v.data(), order, w);
      g::spFftLargeOrderInverse_32fc(rec->header, v.data(), v.data(), order, w);
      EXPECT_LE(RelativeError(v.data(), ref, flag == SP_FFT_NO_SCALE ? n : 1), 2 * Tolerance(order));
    }
  }
}

TEST(FftSmallKernels, GiveTheDocumentedValues) {
  auto r1 = Build(true, 1, SP_FFT_SCALE_INVERSE);
  float v[4] = {1, 2};
  ASSERT_EQ(g::spFftForwardRealInPlace_32f(v, r1->real(), nullptr), SP_OK);
  EXPECT_EQ(v[0], 3.0f);
  EXPECT_EQ(v[1], -1.0f);
  ASSERT_EQ(g::spFftInverseRealInPlace_32f(v, r1->real(), nullptr), SP_OK);
  EXPECT_EQ(v[0], 1.0f);
  EXPECT_EQ(v[1], 2.0f);

  auto r2 = Build(true, 2, SP_FFT_NO_SCALE);
  float w[4] = {1, 0, 0, 0};
  ASSERT_EQ(g::spFftForwardRealInPlace_32f(w, r2->real(), nullptr), SP_OK);
  EXPECT_EQ(std::vector<float>(w, w + 4), (std::vector<float>{1, 1, 1, 0}));
  ASSERT_EQ(g::spFftInverseRealInPlace_32f(w, r2->real(), nullptr), SP_OK);
  EXPECT_EQ(std::vector<float>(w, w + 4), (std::vector<float>{4, 0, 0, 0}));

  auto c2 = Build(false, 2, SP_FFT_NO_SCALE);
  float impulse[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(g::spFftForwardComplex_32fc(impulse, impulse, c2->complex(), nullptr), SP_OK);
  EXPECT_EQ(std::vector<float>(impulse, impulse + 8), (std::vector<float>{1, 0, 1, 0, 1, 0, 1, 0}));
  float constant[8] = {1, 0, 1, 0, 1, 0, 1, 0};
  ASSERT_EQ(g::spFftForwardComplex_32fc(constant, constant, c2->complex(), nullptr), SP_OK);
  EXPECT_EQ(std::vector<float>(constant, constant + 8), (std::vector<float>{4, 0, 0, 0, 0, 0, 0, 0}));

  auto c0 = Build(false, 0, SP_FFT_SCALE_FORWARD);
  EXPECT_EQ(c0->header->scale, 1.0f);
  float one[2] = {0.3f, -0.7f};
  ASSERT_EQ(g::spFftForwardComplex_32fc(one, one, c0->complex(), nullptr), SP_OK);
  EXPECT_EQ(one[0], 0.3f);
  EXPECT_EQ(one[1], -0.7f);

  auto c4 = Build(false, 4, SP_FFT_SCALE_SQRT);
  EXPECT_EQ(c4->header->scale, 0.25f);
  EXPECT_EQ(c4->header->scaleForward, 1u);
  EXPECT_EQ(c4->header->scaleInverse, 1u);
}

TEST(FftPackedSpectrum, MultiplyConvolvesCircularly) {
  auto rec = Build(true, 10, SP_FFT_SCALE_INVERSE);
  const size_t n = 1024;
  const std::vector<float> a = RandomFloats(n, 900), b = RandomFloats(n, 901);
  std::vector<float> fa = a, fb = b;
  ASSERT_EQ(g::spFftForwardRealInPlace_32f(fa.data(), rec->real(), nullptr), SP_OK);
  ASSERT_EQ(g::spFftForwardRealInPlace_32f(fb.data(), rec->real(), nullptr), SP_OK);
  ASSERT_EQ(g::spMulPackedSpectrumInPlace_32f(fa.data(), fb.data(), int32(n)), SP_OK);
  ASSERT_EQ(g::spFftInverseRealInPlace_32f(fb.data(), rec->real(), nullptr), SP_OK);
  std::vector<long double> conv(n, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) conv[(i + j) % n] += (long double)a[i] * b[j];
  }
  EXPECT_LE(RelativeError(fb.data(), conv), 2e-6);
}

TEST(FftPackedSpectrum, MultiplyHandlesShortAndOddLengths) {
  float s[5] = {2, 3, 4, 5, 6};
  float d1[1] = {7};
  ASSERT_EQ(g::spMulPackedSpectrumInPlace_32f(s, d1, 1), SP_OK);
  EXPECT_EQ(d1[0], 14.0f);
  float d2[2] = {7, 8};
  ASSERT_EQ(g::spMulPackedSpectrumInPlace_32f(s, d2, 2), SP_OK);
  EXPECT_EQ(d2[0], 14.0f);
  EXPECT_EQ(d2[1], 24.0f);
  float d3[3] = {7, 8, 9};  // X0 then one pair (3 + 4i)(8 + 9i)
  ASSERT_EQ(g::spMulPackedSpectrumInPlace_32f(s, d3, 3), SP_OK);
  EXPECT_EQ(d3[0], 14.0f);
  EXPECT_EQ(d3[1], 3.0f * 8 - 4.0f * 9);
  EXPECT_EQ(d3[2], 3.0f * 9 + 4.0f * 8);
  float d4[4] = {7, 8, 9, 10};  // X0, X(N/2), one pair (4 + 5i)(9 + 10i)
  ASSERT_EQ(g::spMulPackedSpectrumInPlace_32f(s, d4, 4), SP_OK);
  EXPECT_EQ(d4[1], 24.0f);
  EXPECT_EQ(d4[2], 4.0f * 9 - 5.0f * 10);
  EXPECT_EQ(d4[3], 4.0f * 10 + 5.0f * 9);
  EXPECT_EQ(g::spMulPackedSpectrumInPlace_32f(nullptr, d4, 4), SP_ERROR_NULL);
  EXPECT_EQ(g::spMulPackedSpectrumInPlace_32f(s, nullptr, 4), SP_ERROR_NULL);
  EXPECT_EQ(g::spMulPackedSpectrumInPlace_32f(s, d4, 0), SP_ERROR_LENGTH);
}

}  // namespace
