// The second-group entries of the FFT engine reach the body of every processor index: the
// generic build's results at index 0, the processor build's own at indices 1-3.
#include <gtest/gtest.h>

#include <cstring>

#include "fft_builds.h"
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

// Results of one build's bodies: real order 10 forward and back, complex order 12 forward.
struct Results {
  std::vector<float> real, back, complex;
};

template <class CreateReal, class Fwd, class Inv, class FreeReal, class CreateCx, class FwdCx,
          class FreeCx>
Results RunBuild(CreateReal createReal, Fwd fwd, Inv inv, FreeReal freeReal, CreateCx createCx,
                 FwdCx fwdCx, FreeCx freeCx) {
  Results r;
  r.real = RandomFloats(1024, 5);
  spRealFftSpec* spec = nullptr;
  EXPECT_EQ(createReal(&spec, 10, SP_FFT_SCALE_INVERSE, 0), SP_OK);
  EXPECT_EQ(fwd(r.real.data(), spec, nullptr), SP_OK);
  r.back = r.real;
  EXPECT_EQ(inv(r.back.data(), spec, nullptr), SP_OK);
  EXPECT_EQ(freeReal(spec), SP_OK);
  const std::vector<float> c = RandomFloats(2 * 4096, 6);
  r.complex.resize(c.size());
  spComplexFftSpec* cx = nullptr;
  EXPECT_EQ(createCx(&cx, 12, SP_FFT_SCALE_FORWARD, 0), SP_OK);
  EXPECT_EQ(fwdCx(c.data(), r.complex.data(), cx, nullptr), SP_OK);
  EXPECT_EQ(freeCx(cx), SP_OK);
  return r;
}

void ExpectSame(const Results& a, const Results& b) {
  EXPECT_EQ(0, std::memcmp(a.real.data(), b.real.data(), a.real.size() * sizeof(float)));
  EXPECT_EQ(0, std::memcmp(a.back.data(), b.back.data(), a.back.size() * sizeof(float)));
  EXPECT_EQ(0, std::memcmp(a.complex.data(), b.complex.data(), a.complex.size() * sizeof(float)));
}

TEST(FftEntries, EveryIndexReachesTheBodiesOfItsBuild) {
  std::vector<Results> bodies;
  bodies.push_back(
      RunBuild(sp::generic::spFftCreateSpecReal_32f, sp::generic::spFftForwardRealInPlace_32f,
               sp::generic::spFftInverseRealInPlace_32f, sp::generic::spFftFreeSpecReal_32f,
               sp::generic::spFftCreateSpecComplex_32fc, sp::generic::spFftForwardComplex_32fc,
               sp::generic::spFftFreeSpecComplex_32fc));
  for (const ProcessorBuild& b : ProcessorBuilds()) {
    bodies.push_back(RunBuild(
        b.createReal,
        [&b](float* p, const spRealFftSpec* s, uint8* w) { return b.forwardReal(p, p, s, w); },
        [&b](float* p, const spRealFftSpec* s, uint8* w) { return b.inverseReal(p, p, s, w); },
        b.freeReal, b.createComplex, b.forwardComplex, b.freeComplex));
  }
  for (int32 index = 0; index < 4; ++index) {
    SCOPED_TRACE(testing::Message() << "index " << index);
    IndexGuard guard(index);
    const Results viaEntries =
        RunBuild(spFftCreateSpecReal_32f, spFftForwardRealInPlace_32f, spFftInverseRealInPlace_32f,
                 spFftFreeSpecReal_32f, spFftCreateSpecComplex_32fc, spFftForwardComplex_32fc,
                 spFftFreeSpecComplex_32fc);
    ExpectSame(viaEntries, bodies[index]);
    // Every build transforms to within single-precision rounding of the generic one.
    EXPECT_LT(RelativeError(viaEntries.real.data(),
                            std::vector<long double>(bodies[0].real.begin(), bodies[0].real.end())),
              Tolerance(10));
    EXPECT_LT(
        RelativeError(viaEntries.complex.data(),
                      std::vector<long double>(bodies[0].complex.begin(), bodies[0].complex.end())),
        Tolerance(12));

    std::vector<float> out(64);
    EXPECT_EQ(spFftCreateSpecReal_32f(nullptr, 10, 2, 0), SP_ERROR_NULL);
    EXPECT_EQ(spFftFreeSpecComplex_32fc(nullptr), SP_ERROR_NULL);
    EXPECT_EQ(spFftForwardComplex_32fc(out.data(), out.data(), nullptr, nullptr), SP_ERROR_NULL);
  }
}

TEST(FftEntries, ProcessorIndicesTransformAboveTheirInCoreLimit) {
  for (const ProcessorBuild& b : ProcessorBuilds()) {
    SCOPED_TRACE(b.name);
    IndexGuard guard(static_cast<int32>(&b - ProcessorBuilds().data() + 1));
    const int order = b.inCoreLimit + 1;
    const std::vector<float> x = RandomFloats(size_t{2} << order, 8);
    spComplexFftSpec* cx = nullptr;
    ASSERT_EQ(spFftCreateSpecComplex_32fc(&cx, order, SP_FFT_NO_SCALE, 0), SP_OK);
    std::vector<float> viaEntry(x.size()), direct(x.size());
    EXPECT_EQ(spFftForwardComplex_32fc(x.data(), viaEntry.data(), cx, nullptr), SP_OK);
    EXPECT_EQ(b.forwardComplex(x.data(), direct.data(), cx, nullptr), SP_OK);
    EXPECT_EQ(viaEntry, direct);
    EXPECT_EQ(spFftFreeSpecComplex_32fc(cx), SP_OK);
    spRealFftSpec* r = nullptr;
    EXPECT_EQ(spFftCreateSpecReal_32f(&r, 31, 1, 0), SP_ERROR_TRANSFORM_ORDER);
    EXPECT_EQ(r, nullptr);
  }
}

}  // namespace
