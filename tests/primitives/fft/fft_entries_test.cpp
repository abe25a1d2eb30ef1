// The second-group entries of the FFT engine reach a body for every processor index and
// give the generic build's results.
#include <gtest/gtest.h>

#include <cstring>

#include "fft_test_support.h"
#include "sp/fft_bodies.h"
#include "sp/sp.h"

namespace {

using namespace fft_test;

class IndexGuard {
 public:
  explicit IndexGuard(int32 index) { spDispatchIndex = index; }
  ~IndexGuard() { spDispatchIndex = 0; }
};

TEST(FftEntries, EveryIndexReachesABodyWithTheGenericResults) {
  const std::vector<float> x = RandomFloats(1024, 5);
  std::vector<float> refReal = x;
  spRealFftSpec* ref = nullptr;
  ASSERT_EQ(sp::generic::spFftCreateSpecReal_32f(&ref, 10, SP_FFT_SCALE_INVERSE, 0), SP_OK);
  ASSERT_EQ(sp::generic::spFftForwardRealInPlace_32f(refReal.data(), ref, nullptr), SP_OK);
  std::vector<float> refBack = refReal;
  ASSERT_EQ(sp::generic::spFftInverseRealInPlace_32f(refBack.data(), ref, nullptr), SP_OK);
  ASSERT_EQ(sp::generic::spFftFreeSpecReal_32f(ref), SP_OK);

  const std::vector<float> c = RandomFloats(2 * 4096, 6);
  std::vector<float> refCx(c.size());
  spComplexFftSpec* refC = nullptr;
  ASSERT_EQ(sp::generic::spFftCreateSpecComplex_32fc(&refC, 12, SP_FFT_SCALE_FORWARD, 0), SP_OK);
  ASSERT_EQ(sp::generic::spFftForwardComplex_32fc(c.data(), refCx.data(), refC, nullptr), SP_OK);
  ASSERT_EQ(sp::generic::spFftFreeSpecComplex_32fc(refC), SP_OK);

  for (int32 index = 0; index < 4; ++index) {
    SCOPED_TRACE(testing::Message() << "index " << index);
    IndexGuard guard(index);
    spRealFftSpec* spec = nullptr;
    ASSERT_EQ(spFftCreateSpecReal_32f(&spec, 10, SP_FFT_SCALE_INVERSE, 0), SP_OK);
    std::vector<float> v = x;
    ASSERT_EQ(spFftForwardRealInPlace_32f(v.data(), spec, nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(v.data(), refReal.data(), v.size() * sizeof(float)));
    ASSERT_EQ(spFftInverseRealInPlace_32f(v.data(), spec, nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(v.data(), refBack.data(), v.size() * sizeof(float)));
    EXPECT_EQ(spFftFreeSpecReal_32f(spec), SP_OK);

    spComplexFftSpec* cx = nullptr;
    ASSERT_EQ(spFftCreateSpecComplex_32fc(&cx, 12, SP_FFT_SCALE_FORWARD, 0), SP_OK);
    std::vector<float> out(c.size());
    ASSERT_EQ(spFftForwardComplex_32fc(c.data(), out.data(), cx, nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(out.data(), refCx.data(), out.size() * sizeof(float)));
    EXPECT_EQ(spFftFreeSpecComplex_32fc(cx), SP_OK);

    EXPECT_EQ(spFftCreateSpecReal_32f(nullptr, 10, 2, 0), SP_ERROR_NULL);
    EXPECT_EQ(spFftFreeSpecComplex_32fc(nullptr), SP_ERROR_NULL);
    EXPECT_EQ(spFftForwardComplex_32fc(c.data(), out.data(), nullptr, nullptr), SP_ERROR_NULL);
  }
}

}  // namespace
