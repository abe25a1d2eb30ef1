// The processor builds of the FFT engine end to end: size queries against the record-size
// rules, set-up in caller memory at every misalignment, complex and real transforms at
// every in-core order against a long-double DFT, in place and out of place, aligned and
// misaligned (the orders above the limit: fft_processor_large_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fft_builds.h"
#include "fft_test_support.h"

namespace {

using namespace fft_test;

class ProcessorFft : public testing::TestWithParam<ProcessorBuild> {};

// ---- sizes ------------------------------------------------------------------------------

int64_t Floor32(int64_t v) { return v & ~int64_t{31}; }

struct Sizes {
  int64_t spec, init, work;
};

// The record-size rules of the processor builds, written out independently.
void LargeLevel(int m, int limit, int64_t* t, int64_t* w) {
  static const int kS[31] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                             0, 3, 4, 4, 4, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8};
  static const int kW[31] = {0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 0,
                             0, 9, 10, 10, 10, 13, 15, 15, 15, 15, 15, 15, 15, 15, 15};
  const int r = m - kS[m];
  if (r <= limit) {
    *t = Floor32(8 * (int64_t{1} << r) + 39);
    *w = Floor32(8 * (int64_t{1} << r) + 31);
  } else {
    LargeLevel(r, limit, t, w);
  }
  *t += 8 * (int64_t{1} << m);
  *w = std::max(*w, int64_t{8} << kW[m]);
}

Sizes Expected(int order, bool isReal, int variant, int limit) {
  if (order < 4) return {168, 0, 0};
  const int m = isReal ? order - 1 : order;
  const int64_t n = int64_t{1} << order, nc = int64_t{1} << m;
  int64_t t, w;
  if (m <= limit) {
    t = Floor32(8 * nc + 39);
    w = Floor32(8 * nc + 31);
  } else {
    LargeLevel(m, limit, &t, &w);
    if (m >= (variant == 1 ? 20 : 19)) w = std::max(w, int64_t{65536});
  }
  Sizes s{t + Floor32(nc / 4 * 4 + 35) + 192, 0, w + 32};
  if (isReal) s.spec += 2 * Floor32(n / 4 * 8 + 31);
  if (order >= 11) s.init = Floor32(n / 4 * 4 + 35) + 32;
  return s;
}

TEST_P(ProcessorFft, SizeQueriesFollowTheRecordRulesAtOrders0To30) {
  const ProcessorBuild& b = GetParam();
  for (bool isReal : {false, true}) {
    for (int order = 0; order <= 30; ++order) {
      SCOPED_TRACE(testing::Message() << (isReal ? "real" : "complex") << " order " << order);
      const Sizes e = Expected(order, isReal, b.variant, b.inCoreLimit);
      uint32 spec = 7, init = 7, work = 7;
      const spStatus st = isReal
                              ? b.sizeReal(order, SP_FFT_SCALE_INVERSE, 0, &spec, &init, &work)
                              : b.sizeComplex(order, SP_FFT_SCALE_INVERSE, 0, &spec, &init, &work);
      const bool fits = e.spec <= INT32_MAX && e.init <= INT32_MAX && e.work <= INT32_MAX;
      if (!fits) {
        EXPECT_EQ(st, SP_ERROR_TRANSFORM_ORDER);
        EXPECT_EQ(spec, 7u);
        continue;
      }
      ASSERT_EQ(st, SP_OK);
      EXPECT_EQ(spec, e.spec);
      EXPECT_EQ(init, e.init);
      EXPECT_EQ(work, e.work);
    }
  }
}

TEST_P(ProcessorFft, ComplexSizesMatchTheWorkedExamples) {
  const ProcessorBuild& b = GetParam();
  struct Row {
    int order;
    uint32 spec, init, work;
  };
  std::vector<Row> rows = {{3, 168, 0, 0},
                           {4, 384, 0, 160},
                           {10, 9472, 0, 8224},
                           {16, 590080, 65600, 524320},
                           {18, 2490624, 262208, 131104},
                           {20, 9961728, 1048640, 524320}};
  if (b.variant == 1) rows.push_back({17, 1310976, 131136, 131104});
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "order " << r.order);
    uint32 spec = 0, init = 0, work = 0;
    ASSERT_EQ(b.sizeComplex(r.order, SP_FFT_NO_SCALE, 0, &spec, &init, &work), SP_OK);
    EXPECT_EQ(spec, r.spec);
    EXPECT_EQ(init, r.init);
    EXPECT_EQ(work, r.work);
  }
}

TEST_P(ProcessorFft, SizeQueryChecksComeInTheGenericOrder) {
  const ProcessorBuild& b = GetParam();
  uint32 s, i, w;
  EXPECT_EQ(b.sizeComplex(31, 3, 0, nullptr, &i, &w), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(b.sizeReal(-1, 1, 0, &s, &i, &w), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(b.sizeReal(5, 3, 0, &s, nullptr, &w), SP_ERROR_NULL);
  EXPECT_EQ(b.sizeComplex(5, 3, 0, &s, &i, &w), SP_ERROR_TRANSFORM_FLAG);
  EXPECT_EQ(b.sizeComplex(5, 0, 0, &s, &i, &w), SP_ERROR_TRANSFORM_FLAG);
}

// ---- set-up -----------------------------------------------------------------------------

TEST_P(ProcessorFft, SetUpStaysInsideTheQueriedBytesAtEveryMisalignment) {
  const ProcessorBuild& b = GetParam();
  for (bool isReal : {false, true}) {
    for (int order = 0; order <= b.inCoreLimit + (isReal ? 1 : 0); ++order) {
      for (size_t offset : {size_t{0}, size_t{1}, size_t{8}, size_t{31}}) {
        SCOPED_TRACE(testing::Message() << (isReal ? "real" : "complex") << " order " << order
                                        << " offset " << offset);
        uint32 spec = 0, init = 0, work = 0;
        const spStatus q = isReal
                               ? b.sizeReal(order, SP_FFT_SCALE_FORWARD, 0, &spec, &init, &work)
                               : b.sizeComplex(order, SP_FFT_SCALE_FORWARD, 0, &spec, &init, &work);
        ASSERT_EQ(q, SP_OK);
        GuardedBytes mem(spec, offset), initMem(init, offset);
        spFftSpecHeader* rec = nullptr;
        spStatus st;
        if (isReal) {
          spRealFftSpec* r = nullptr;
          st = b.initReal(&r, order, SP_FFT_SCALE_FORWARD, 9, mem.data(),
                          init ? initMem.data() : nullptr);
          rec = r;
        } else {
          spComplexFftSpec* c = nullptr;
          st = b.initComplex(&c, order, SP_FFT_SCALE_FORWARD, 9, mem.data(),
                             init ? initMem.data() : nullptr);
          rec = c;
        }
        ASSERT_EQ(st, SP_OK);
        EXPECT_TRUE(mem.TailIntact());
        EXPECT_TRUE(initMem.TailIntact());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(rec) % 32, 0u);
        EXPECT_EQ(rec->tag, isReal ? SP_FFT_REAL_TAG : SP_FFT_COMPLEX_TAG);
        EXPECT_EQ(rec->order, order);
        EXPECT_EQ(rec->hint, 9u);
        EXPECT_EQ(rec->owned, 0u);
        EXPECT_EQ(rec->scaleForward, 1u);
        const int m = isReal ? order - 1 : order;
        EXPECT_EQ(rec->workBytes,
                  order < 4 ? 0 : static_cast<int32>(Floor32(8 * (int64_t{1} << m) + 31)));
      }
    }
  }
}

TEST_P(ProcessorFft, SetUpChecksComeInTheGenericOrder) {
  const ProcessorBuild& b = GetParam();
  GuardedBytes mem(20000);
  spComplexFftSpec* c = nullptr;
  EXPECT_EQ(b.initComplex(nullptr, 5, 1, 0, mem.data(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(b.initComplex(&c, 31, 1, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(b.initComplex(&c, 5, 1, 0, nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(b.initComplex(&c, 11, 1, 0, mem.data(), nullptr), SP_ERROR_NULL);
  EXPECT_TRUE(mem.Untouched());
  EXPECT_EQ(b.initComplex(&c, 5, 3, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_FLAG);
  EXPECT_EQ(c, nullptr);
  spRealFftSpec* r = nullptr;
  EXPECT_EQ(b.createReal(&r, 5, 0, 0), SP_ERROR_TRANSFORM_FLAG);
  EXPECT_EQ(b.createReal(nullptr, 5, 1, 0), SP_ERROR_NULL);
}

// ---- transforms -------------------------------------------------------------------------

struct ComplexRecord {
  explicit ComplexRecord(const ProcessorBuild& b, int order, int flag) : build(b) {
    EXPECT_EQ(b.createComplex(&spec, order, flag, 0), SP_OK);
  }
  ~ComplexRecord() {
    if (spec != nullptr) build.freeComplex(spec);
  }
  const ProcessorBuild& build;
  spComplexFftSpec* spec = nullptr;
};

struct RealRecord {
  explicit RealRecord(const ProcessorBuild& b, int order, int flag) : build(b) {
    EXPECT_EQ(b.createReal(&spec, order, flag, 0), SP_OK);
  }
  ~RealRecord() {
    if (spec != nullptr) build.freeReal(spec);
  }
  const ProcessorBuild& build;
  spRealFftSpec* spec = nullptr;
};

TEST_P(ProcessorFft, ComplexForwardIsTheDftAtEveryInCoreOrder) {
  const ProcessorBuild& b = GetParam();
  for (int order = 0; order <= b.inCoreLimit; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t floats = size_t{2} << order;
    const std::vector<float> x = RandomFloats(floats, 100 + order);
    const std::vector<long double> ref = Interleave(Fft(ToComplex(x), -1));
    ComplexRecord rec(b, order, SP_FFT_NO_SCALE);
    ASSERT_NE(rec.spec, nullptr);

    Guarded src(floats), dst(floats);
    src.Fill(x);
    ASSERT_EQ(b.forwardComplex(src.data(), dst.data(), rec.spec, nullptr), SP_OK);
    EXPECT_LT(RelativeError(dst.data(), ref), Tolerance(order));
    EXPECT_EQ(0, std::memcmp(src.data(), x.data(), floats * 4)) << "source changed";

    // In place, and at every misalignment of source, destination and work buffer: the same
    // bits, and nothing written outside.
    Guarded inPlace(floats);
    inPlace.Fill(x);
    ASSERT_EQ(b.forwardComplex(inPlace.data(), inPlace.data(), rec.spec, nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(inPlace.data(), dst.data(), floats * 4)) << "in place";
    EXPECT_TRUE(inPlace.GuardsIntact());
    if (order > 12 && order != b.inCoreLimit) continue;
    for (size_t off = 1; off < 4; ++off) {
      Guarded s2(floats, off), d2(floats, (off + 1) % 4);
      s2.Fill(x);
      GuardedBytes work(rec.spec->workBytes + 32, off * 3);
      ASSERT_EQ(b.forwardComplex(s2.data(), d2.data(), rec.spec, work.data()), SP_OK);
      EXPECT_EQ(0, std::memcmp(d2.data(), dst.data(), floats * 4)) << "offset " << off;
      EXPECT_TRUE(s2.GuardsIntact());
      EXPECT_TRUE(d2.GuardsIntact());
      EXPECT_TRUE(work.TailIntact());
      Guarded ip(floats, off);
      ip.Fill(x);
      ASSERT_EQ(b.forwardComplex(ip.data(), ip.data(), rec.spec, work.data()), SP_OK);
      EXPECT_EQ(0, std::memcmp(ip.data(), dst.data(), floats * 4)) << "in place, offset " << off;
      EXPECT_TRUE(ip.GuardsIntact());
    }
  }
}

TEST_P(ProcessorFft, ComplexScalingFollowsTheFlag) {
  const ProcessorBuild& b = GetParam();
  for (int order : {4, 9, b.inCoreLimit}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t floats = size_t{2} << order;
    const std::vector<float> x = RandomFloats(floats, 7);
    const std::vector<long double> ref = Interleave(Fft(ToComplex(x), -1));
    const long double n = static_cast<long double>(size_t{1} << order);
    struct Case {
      int flag;
      long double factor;
    };
    for (const Case& c : {Case{SP_FFT_SCALE_FORWARD, 1 / n}, Case{SP_FFT_SCALE_INVERSE, 1},
                          Case{SP_FFT_SCALE_SQRT, 1 / std::sqrt(n)}}) {
      ComplexRecord rec(b, order, c.flag);
      std::vector<float> out(floats);
      ASSERT_EQ(b.forwardComplex(x.data(), out.data(), rec.spec, nullptr), SP_OK);
      EXPECT_LT(RelativeError(out.data(), ref, c.factor), Tolerance(order)) << "flag " << c.flag;
    }
  }
}

TEST_P(ProcessorFft, RealTransformsAreTheDftAndBackAtEveryInCoreOrder) {
  const ProcessorBuild& b = GetParam();
  for (int order = 0; order <= b.inCoreLimit + 1; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(n, 300 + order);
    RealRecord rec(b, order, SP_FFT_SCALE_INVERSE);
    ASSERT_NE(rec.spec, nullptr);

    Guarded src(n), spec(n);
    src.Fill(x);
    ASSERT_EQ(b.forwardReal(src.data(), spec.data(), rec.spec, nullptr), SP_OK);
    EXPECT_LT(RelativeError(spec.data(), PackedSpectrum(x)), Tolerance(order));
    EXPECT_TRUE(spec.GuardsIntact());

    const std::vector<float> packed(spec.data(), spec.data() + n);
    Guarded back(n);
    ASSERT_EQ(b.inverseReal(spec.data(), back.data(), rec.spec, nullptr), SP_OK);
    EXPECT_EQ(0, std::memcmp(spec.data(), packed.data(), n * 4)) << "source changed";
    EXPECT_LT(RelativeError(back.data(), InversePacked(packed), 1.0L / n), Tolerance(order));
    EXPECT_LT(RelativeError(back.data(), std::vector<long double>(x.begin(), x.end())),
              2 * Tolerance(order));
    EXPECT_TRUE(back.GuardsIntact());

    if (order > 12 && order != b.inCoreLimit + 1) continue;
    for (size_t off = 0; off < 4; ++off) {
      Guarded io(n, off);
      io.Fill(x);
      GuardedBytes work(rec.spec->workBytes + 32, off * 5);
      ASSERT_EQ(b.forwardReal(io.data(), io.data(), rec.spec, off ? work.data() : nullptr), SP_OK);
      EXPECT_EQ(0, std::memcmp(io.data(), packed.data(), n * 4)) << "forward, offset " << off;
      ASSERT_EQ(b.inverseReal(io.data(), io.data(), rec.spec, off ? work.data() : nullptr), SP_OK);
      EXPECT_EQ(0, std::memcmp(io.data(), back.data(), n * 4)) << "inverse, offset " << off;
      EXPECT_TRUE(io.GuardsIntact());
      EXPECT_TRUE(work.TailIntact());
    }
  }
}

TEST_P(ProcessorFft, SmallOrdersGiveTheGenericBits) {
  const ProcessorBuild& b = GetParam();
  for (int order = 0; order <= 3; ++order) {
    for (int flag : {1, 2, 4, 8}) {
      SCOPED_TRACE(testing::Message() << "order " << order << " flag " << flag);
      const size_t n = size_t{1} << order;
      const std::vector<float> x = RandomFloats(2 * n, 11 + order);
      spComplexFftSpec* gc = nullptr;
      ASSERT_EQ(sp::generic::spFftCreateSpecComplex_32fc(&gc, order, flag, 0), SP_OK);
      ComplexRecord pc(b, order, flag);
      std::vector<float> g(2 * n), p(2 * n);
      ASSERT_EQ(sp::generic::spFftForwardComplex_32fc(x.data(), g.data(), gc, nullptr), SP_OK);
      ASSERT_EQ(b.forwardComplex(x.data(), p.data(), pc.spec, nullptr), SP_OK);
      EXPECT_EQ(0, std::memcmp(g.data(), p.data(), g.size() * 4));
      sp::generic::spFftFreeSpecComplex_32fc(gc);

      spRealFftSpec* gr = nullptr;
      ASSERT_EQ(sp::generic::spFftCreateSpecReal_32f(&gr, order, flag, 0), SP_OK);
      RealRecord pr(b, order, flag);
      std::vector<float> gf(x.begin(), x.begin() + n), pf = gf;
      ASSERT_EQ(sp::generic::spFftForwardReal_32f(gf.data(), gf.data(), gr, nullptr), SP_OK);
      ASSERT_EQ(b.forwardReal(pf.data(), pf.data(), pr.spec, nullptr), SP_OK);
      EXPECT_EQ(0, std::memcmp(gf.data(), pf.data(), n * 4));
      ASSERT_EQ(sp::generic::spFftInverseReal_32f(gf.data(), gf.data(), gr, nullptr), SP_OK);
      ASSERT_EQ(b.inverseReal(pf.data(), pf.data(), pr.spec, nullptr), SP_OK);
      EXPECT_EQ(0, std::memcmp(gf.data(), pf.data(), n * 4));
      sp::generic::spFftFreeSpecReal_32f(gr);
    }
  }
}

TEST_P(ProcessorFft, TransformsCheckRecordAndPointersFirst) {
  const ProcessorBuild& b = GetParam();
  ComplexRecord c(b, 6, 8);
  RealRecord r(b, 6, 8);
  std::vector<float> v(128);
  EXPECT_EQ(b.forwardComplex(v.data(), v.data(), nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(
      b.forwardComplex(v.data(), v.data(), reinterpret_cast<spComplexFftSpec*>(r.spec), nullptr),
      SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(b.forwardComplex(nullptr, v.data(), c.spec, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(b.forwardReal(v.data(), nullptr, r.spec, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(b.inverseReal(v.data(), v.data(), reinterpret_cast<spRealFftSpec*>(c.spec), nullptr),
            SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(b.freeReal(reinterpret_cast<spRealFftSpec*>(c.spec)), SP_ERROR_WRONG_RECORD);
}

TEST_P(ProcessorFft, RecordsOfAnotherBuildAreRefusedUnread) {
  const ProcessorBuild& b = GetParam();
  const std::vector<float> x = RandomFloats(2048, 3);
  std::vector<float> out(2048, 5.0f);
  const std::vector<float> untouched = out;
  for (int order : {2, 6, 10}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    ComplexRecord mine(b, order, 8);
    RealRecord mineReal(b, order, 8);
    spComplexFftSpec* generic = nullptr;
    spRealFftSpec* genericReal = nullptr;
    ASSERT_EQ(sp::generic::spFftCreateSpecComplex_32fc(&generic, order, 8, 0), SP_OK);
    ASSERT_EQ(sp::generic::spFftCreateSpecReal_32f(&genericReal, order, 8, 0), SP_OK);
    EXPECT_EQ(b.forwardComplex(x.data(), out.data(), generic, nullptr), SP_ERROR_WRONG_RECORD);
    EXPECT_EQ(b.forwardReal(x.data(), out.data(), genericReal, nullptr), SP_ERROR_WRONG_RECORD);
    EXPECT_EQ(b.inverseReal(x.data(), out.data(), genericReal, nullptr), SP_ERROR_WRONG_RECORD);
    EXPECT_EQ(sp::generic::spFftForwardComplex_32fc(x.data(), out.data(), mine.spec, nullptr),
              SP_ERROR_WRONG_RECORD);
    EXPECT_EQ(sp::generic::spFftInverseReal_32f(x.data(), out.data(), mineReal.spec, nullptr),
              SP_ERROR_WRONG_RECORD);
    for (const ProcessorBuild& other : ProcessorBuilds()) {
      if (std::strcmp(other.name, b.name) == 0) continue;
      EXPECT_EQ(other.forwardComplex(x.data(), out.data(), mine.spec, nullptr),
                SP_ERROR_WRONG_RECORD);
      EXPECT_EQ(other.forwardReal(x.data(), out.data(), mineReal.spec, nullptr),
                SP_ERROR_WRONG_RECORD);
    }
    EXPECT_EQ(out, untouched);
    // Release works whoever made the record.
    EXPECT_EQ(b.freeComplex(generic), SP_OK);
    EXPECT_EQ(sp::generic::spFftFreeSpecReal_32f(genericReal), SP_OK);
  }
}

TEST_P(ProcessorFft, PackedMultiplyGivesTheGenericBits) {
  const ProcessorBuild& b = GetParam();
  for (int len = 1; len <= 21; ++len) {
    for (size_t off = 0; off < 4; ++off) {
      SCOPED_TRACE(testing::Message() << "len " << len << " offset " << off);
      const std::vector<float> a = RandomFloats(len, len), c = RandomFloats(len, 50 + len);
      std::vector<float> g = c;
      ASSERT_EQ(sp::generic::spMulPackedSpectrumInPlace_32f(a.data(), g.data(), len), SP_OK);
      Guarded src(len, off), dst(len, 3 - off);
      src.Fill(a);
      dst.Fill(c);
      ASSERT_EQ(b.mulPacked(src.data(), dst.data(), len), SP_OK);
      EXPECT_EQ(0, std::memcmp(dst.data(), g.data(), len * 4));
      EXPECT_TRUE(dst.GuardsIntact());
    }
  }
  float v = 1;
  EXPECT_EQ(b.mulPacked(nullptr, &v, 1), SP_ERROR_NULL);
  EXPECT_EQ(b.mulPacked(&v, &v, 0), SP_ERROR_LENGTH);
}

INSTANTIATE_TEST_SUITE_P(Builds, ProcessorFft, testing::ValuesIn(ProcessorBuilds()), BuildName);

// The two builds of the shared code give the same bits, and so does build 1 where its pass
// plan is that of the others (32, 64, 2048 and 16384 points).
TEST(ProcessorFftBuilds, SharedCodeAndSharedPlansGiveTheSameBits) {
  const auto& builds = ProcessorBuilds();
  for (int order : {5, 6, 9, 11, 12, 14, 15}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t floats = size_t{2} << order;
    const std::vector<float> x = RandomFloats(floats, 900 + order);
    std::vector<std::vector<float>> out;
    for (const ProcessorBuild& b : builds) {
      ComplexRecord rec(b, order, SP_FFT_NO_SCALE);
      out.emplace_back(floats);
      ASSERT_EQ(b.forwardComplex(x.data(), out.back().data(), rec.spec, nullptr), SP_OK);
    }
    EXPECT_EQ(0, std::memcmp(out[1].data(), out[2].data(), floats * 4));
    const bool samePlan = order == 5 || order == 6 || order == 11 || order == 14;
    if (samePlan) {
      EXPECT_EQ(0, std::memcmp(out[0].data(), out[1].data(), floats * 4));
    }
  }
}

}  // namespace
