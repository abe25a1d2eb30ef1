// The processor builds of the FFT engine across their in-core limits (complex orders 16 and
// 17) and the switch to the blocked bit reversal (19 and 20), up to complex order 22 and
// real order 23: against a double-precision FFT and the generic build, forward and inverse,
// in place and out of place at 16-, 8- and 4-byte alignments; impulse, constant, linearity
// and Parseval; and the column pass set on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "fft_builds.h"
#include "fft_test_support.h"

namespace {

using namespace fft_test;
using cd = std::complex<double>;

// Unnormalised DFT (sign -1 forward) of interleaved floats by an iterative radix-2 FFT in
// double precision, as interleaved long doubles for the error measures.
std::vector<long double> DoubleFft(const float* x, size_t n, int sign) {
  std::vector<cd> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = {x[2 * i], x[2 * i + 1]};
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(v[i], v[j]);
  }
  std::vector<cd> roots(n / 2 + 1);
  for (size_t j = 0; j < roots.size(); ++j) {
    const long double a = 2.0L * std::numbers::pi_v<long double> * j / n;
    roots[j] = {static_cast<double>(std::cos(a)), static_cast<double>(sign * std::sin(a))};
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t step = n / len;
    for (size_t b = 0; b < n; b += len) {
      for (size_t k = 0; k < len / 2; ++k) {
        const cd u = v[b + k], t = v[b + k + len / 2] * roots[k * step];
        v[b + k] = u + t;
        v[b + k + len / 2] = u - t;
      }
    }
  }
  std::vector<long double> out(2 * n);
  for (size_t i = 0; i < n; ++i) out[2 * i] = v[i].real(), out[2 * i + 1] = v[i].imag();
  return out;
}

// Packed real spectrum of n reals from the half-length complex FFT of the pairs.
std::vector<long double> DoublePacked(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<float> c(2 * n);
  for (size_t i = 0; i < n; ++i) c[2 * i] = x[i];
  const std::vector<long double> X = DoubleFft(c.data(), n, -1);
  std::vector<long double> p(n);
  p[0] = X[0];
  p[1] = X[n];
  std::copy(X.begin() + 2, X.begin() + n, p.begin() + 2);
  return p;
}

std::vector<long double> Widen(const std::vector<float>& v) { return {v.begin(), v.end()}; }

struct Complex {
  Complex(const ProcessorBuild& b, int order, int flag) : build(b) {
    EXPECT_EQ(b.createComplex(&spec, order, flag, 0), SP_OK);
  }
  ~Complex() {
    if (spec) build.freeComplex(spec);
  }
  const ProcessorBuild& build;
  spComplexFftSpec* spec = nullptr;
};

struct Real {
  Real(const ProcessorBuild& b, int order, int flag) : build(b) {
    EXPECT_EQ(b.createReal(&spec, order, flag, 0), SP_OK);
  }
  ~Real() {
    if (spec) build.freeReal(spec);
  }
  const ProcessorBuild& build;
  spRealFftSpec* spec = nullptr;
};

// The work buffer of a record on a 32-byte boundary.
struct Work {
  explicit Work(const spFftSpecHeader* spec) : bytes(static_cast<size_t>(spec->workBytes) + 32) {}
  float* get() {
    const auto a = reinterpret_cast<uintptr_t>(bytes.data());
    return reinterpret_cast<float*>(bytes.data() + ((32 - a % 32) % 32));
  }
  std::vector<uint8> bytes;
};

// Offsets in floats from a 16-byte boundary: 16-, 8- and 4-byte aligned data.
constexpr size_t kOffsets[] = {0, 2, 1};

TEST(ProcessorFftLarge, ComplexForwardIsTheDftAndTheGenericResultUpToOrder22) {
  for (int order = 15; order <= 22; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(2 * n, 500 + order);
    const std::vector<long double> exact = DoubleFft(x.data(), n, -1);
    std::vector<float> generic(2 * n);
    spComplexFftSpec* g = nullptr;
    ASSERT_EQ(sp::generic::spFftCreateSpecComplex_32fc(&g, order, SP_FFT_NO_SCALE, 0), SP_OK);
    ASSERT_EQ(sp::generic::spFftForwardComplex_32fc(x.data(), generic.data(), g, nullptr), SP_OK);
    sp::generic::spFftFreeSpecComplex_32fc(g);
    const std::vector<long double> genericWide = Widen(generic);

    for (const ProcessorBuild& b : ProcessorBuilds()) {
      SCOPED_TRACE(b.name);
      Complex rec(b, order, SP_FFT_NO_SCALE);
      ASSERT_NE(rec.spec, nullptr);
      Work work(rec.spec);
      Guarded ref(2 * n);
      ASSERT_EQ(b.forwardComplex(x.data(), ref.data(), rec.spec, nullptr), SP_OK);
      EXPECT_LT(RelativeError(ref.data(), exact), Tolerance(order));
      EXPECT_LT(RelativeError(ref.data(), genericWide), 2 * Tolerance(order));
      EXPECT_TRUE(ref.GuardsIntact());

      // Out of place from a 4-byte aligned source into an 8-byte aligned destination, and in
      // place at every alignment: the same bits.
      Guarded src(2 * n, 1), dst(2 * n, 2);
      src.Fill(x);
      ASSERT_EQ(b.forwardComplex(src.data(), dst.data(), rec.spec, work.bytes.data()), SP_OK);
      EXPECT_EQ(0, std::memcmp(dst.data(), ref.data(), 8 * n)) << "misaligned";
      EXPECT_EQ(0, std::memcmp(src.data(), x.data(), 8 * n)) << "source changed";
      EXPECT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
      for (size_t off : kOffsets) {
        if (order > 21 && off != 1) continue;  // the largest orders: 4-byte alignment only
        Guarded io(2 * n, off);
        io.Fill(x);
        ASSERT_EQ(b.forwardComplex(io.data(), io.data(), rec.spec, work.bytes.data()), SP_OK);
        EXPECT_EQ(0, std::memcmp(io.data(), ref.data(), 8 * n)) << "in place, offset " << off;
        EXPECT_TRUE(io.GuardsIntact());
      }
    }
  }
}

TEST(ProcessorFftLarge, ComplexInverseDriversReturnNTimesTheInput) {
  for (int order = 17; order <= 22; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(2 * n, 700 + order);
    const std::vector<long double> exact = Widen(x);
    for (const ProcessorBuild& b : ProcessorBuilds()) {
      if (order <= b.inCoreLimit) continue;
      SCOPED_TRACE(b.name);
      Complex rec(b, order, SP_FFT_NO_SCALE);
      ASSERT_NE(rec.spec, nullptr);
      Work work(rec.spec);
      std::vector<float> y(2 * n);
      b.largeForward(rec.spec, x.data(), y.data(), order, work.get());
      std::vector<float> back(2 * n);
      b.largeInverse(rec.spec, y.data(), back.data(), order, work.get());
      EXPECT_LT(RelativeError(back.data(), exact, static_cast<long double>(n)), 2 * Tolerance(order));
      for (size_t off : kOffsets) {
        Guarded io(2 * n, off);
        io.Fill(y);
        b.largeInverse(rec.spec, io.data(), io.data(), order, work.get());
        EXPECT_EQ(0, std::memcmp(io.data(), back.data(), 8 * n)) << "in place, offset " << off;
        EXPECT_TRUE(io.GuardsIntact());
      }
    }
  }
}

TEST(ProcessorFftLarge, RealTransformsAreTheDftAndBackUpToOrder23) {
  for (int order = 16; order <= 23; ++order) {
    SCOPED_TRACE(testing::Message() << "real order " << order);
    const size_t n = size_t{1} << order;
    const std::vector<float> x = RandomFloats(n, 800 + order);
    const std::vector<long double> exact = DoublePacked(x);
    std::vector<float> generic(n);
    spRealFftSpec* g = nullptr;
    ASSERT_EQ(sp::generic::spFftCreateSpecReal_32f(&g, order, SP_FFT_SCALE_INVERSE, 0), SP_OK);
    ASSERT_EQ(sp::generic::spFftForwardReal_32f(x.data(), generic.data(), g, nullptr), SP_OK);
    sp::generic::spFftFreeSpecReal_32f(g);
    const std::vector<long double> genericWide = Widen(generic);

    for (const ProcessorBuild& b : ProcessorBuilds()) {
      SCOPED_TRACE(b.name);
      Real rec(b, order, SP_FFT_SCALE_INVERSE);
      ASSERT_NE(rec.spec, nullptr);
      Work work(rec.spec);
      std::vector<float> spec(n), back(n);
      ASSERT_EQ(b.forwardReal(x.data(), spec.data(), rec.spec, nullptr), SP_OK);
      EXPECT_LT(RelativeError(spec.data(), exact), Tolerance(order));
      EXPECT_LT(RelativeError(spec.data(), genericWide), 2 * Tolerance(order));
      ASSERT_EQ(b.inverseReal(spec.data(), back.data(), rec.spec, nullptr), SP_OK);
      EXPECT_LT(RelativeError(back.data(), Widen(x)), 2 * Tolerance(order));
      for (size_t off : kOffsets) {
        if (order > 21 && off != 1) continue;
        Guarded io(n, off);
        io.Fill(x);
        ASSERT_EQ(b.forwardReal(io.data(), io.data(), rec.spec, work.bytes.data()), SP_OK);
        EXPECT_EQ(0, std::memcmp(io.data(), spec.data(), 4 * n)) << "forward, offset " << off;
        ASSERT_EQ(b.inverseReal(io.data(), io.data(), rec.spec, work.bytes.data()), SP_OK);
        EXPECT_EQ(0, std::memcmp(io.data(), back.data(), 4 * n)) << "inverse, offset " << off;
        EXPECT_TRUE(io.GuardsIntact());
      }
    }
  }
}

TEST(ProcessorFftLarge, ImpulseConstantLinearityAndParsevalHoldAcrossTheLimits) {
  for (const ProcessorBuild& b : ProcessorBuilds()) {
    for (int order : {b.inCoreLimit, b.inCoreLimit + 1, 19, 20}) {
      SCOPED_TRACE(testing::Message() << b.name << " order " << order);
      const size_t n = size_t{1} << order;
      Complex rec(b, order, SP_FFT_NO_SCALE);
      ASSERT_NE(rec.spec, nullptr);
      auto fwd = [&](const std::vector<float>& in) {
        std::vector<float> out(2 * n);
        EXPECT_EQ(b.forwardComplex(in.data(), out.data(), rec.spec, nullptr), SP_OK);
        return out;
      };
      std::vector<float> impulse(2 * n, 0.0f);
      impulse[0] = 1.0f;
      const std::vector<float> flat = fwd(impulse);
      EXPECT_TRUE(std::all_of(flat.begin(), flat.end(), [i = 0](float v) mutable {
        return v == ((i++ % 2) == 0 ? 1.0f : 0.0f);
      })) << "impulse";

      const std::vector<float> line = fwd(std::vector<float>(2 * n, 1.0f));
      std::vector<long double> lineExact(2 * n, 0.0L);
      lineExact[0] = lineExact[1] = static_cast<long double>(n);
      EXPECT_LT(RelativeError(line.data(), lineExact), Tolerance(order)) << "constant";

      const std::vector<float> x = RandomFloats(2 * n, 11), y = RandomFloats(2 * n, 12);
      std::vector<float> mix(2 * n);
      for (size_t i = 0; i < 2 * n; ++i) mix[i] = 0.5f * x[i] - 2.0f * y[i];
      const std::vector<float> fx = fwd(x), fy = fwd(y), fm = fwd(mix);
      std::vector<long double> combined(2 * n);
      for (size_t i = 0; i < 2 * n; ++i) combined[i] = 0.5L * fx[i] - 2.0L * fy[i];
      EXPECT_LT(RelativeError(fm.data(), combined), 3 * Tolerance(order)) << "linearity";

      long double energyIn = 0, energyOut = 0;
      for (size_t i = 0; i < 2 * n; ++i) {
        energyIn += static_cast<long double>(x[i]) * x[i];
        energyOut += static_cast<long double>(fx[i]) * fx[i];
      }
      EXPECT_NEAR(static_cast<double>(energyOut / (energyIn * n)), 1.0, 2 * Tolerance(order))
          << "Parseval";
    }
  }
}

TEST(ProcessorFftLarge, SetUpAboveTheLimitStaysInsideTheQueriedBytes) {
  for (const ProcessorBuild& b : ProcessorBuilds()) {
    for (bool isReal : {false, true}) {
      for (int m = b.inCoreLimit + 1; m <= 21; ++m) {
        const int order = isReal ? m + 1 : m;
        SCOPED_TRACE(testing::Message() << b.name << (isReal ? " real " : " complex ") << order);
        uint32 specBytes = 0, initBytes = 0, workBytes = 0;
        ASSERT_EQ(isReal ? b.sizeReal(order, 1, 0, &specBytes, &initBytes, &workBytes)
                         : b.sizeComplex(order, 1, 0, &specBytes, &initBytes, &workBytes),
                  SP_OK);
        GuardedBytes mem(specBytes, 31), init(initBytes, 3);
        spFftSpecHeader* rec = nullptr;
        if (isReal) {
          spRealFftSpec* r = nullptr;
          ASSERT_EQ(b.initReal(&r, order, 1, 0, mem.data(), init.data()), SP_OK);
          rec = r;
        } else {
          spComplexFftSpec* c = nullptr;
          ASSERT_EQ(b.initComplex(&c, order, 1, 0, mem.data(), init.data()), SP_OK);
          rec = c;
        }
        EXPECT_TRUE(mem.TailIntact());
        EXPECT_TRUE(init.TailIntact());
        EXPECT_EQ(static_cast<uint32>(rec->workBytes) + 32, workBytes);
      }
    }
  }
}

// ---- the column pass set ---------------------------------------------------------------------

class ProcessorPassSet : public testing::TestWithParam<ProcessorBuild> {};

// Aligned float storage for the work blocks.
struct Block {
  explicit Block(size_t n, float fill = 0.0f) : storage(n + 8, fill) {}
  float* data() {
    const auto a = reinterpret_cast<uintptr_t>(storage.data());
    return storage.data() + ((16 - a % 16) % 16) / 4;
  }
  std::vector<float> storage;
};

TEST_P(ProcessorPassSet, PassesOfOnesAndImpulsesGiveTheSmallTransforms) {
  const ProcessorBuild& b = GetParam();
  // All twiddles 1: real parts 1, imaginary parts 0.
  Block ones(8 * 7 * 4);
  for (size_t g = 0; g < 7 * 4; ++g) std::fill_n(ones.data() + 8 * g, 4, 1.0f);
  using Pass4 = decltype(b.largePass4Forward);
  for (Pass4 pass : {b.largePass4Forward, b.largePass4Inverse}) {
    // Four positions, the values 1, 0, 0, 0: one per quarter in lane 0 of each unit.
    Block data(32);
    for (int q = 0; q < 4; ++q) data.data()[8 * q] = q == 0 ? 1.0f : 0.0f;
    pass(data.data(), data.data(), 4, 1, ones.data());
    for (int q = 0; q < 4; ++q) {
      EXPECT_EQ(data.data()[8 * q], 1.0f);
      EXPECT_EQ(data.data()[8 * q + 4], 0.0f);
    }
  }
  using Pass8 = decltype(b.largePass8Forward);
  for (Pass8 pass : {b.largePass8Forward, b.largePass8Inverse}) {
    Block data(64);
    data.data()[0] = 1.0f;
    pass(data.data(), nullptr, 4, 1, ones.data());
    for (int q = 0; q < 8; ++q) {
      EXPECT_EQ(data.data()[8 * q], 1.0f) << "section " << q;
      EXPECT_EQ(data.data()[8 * q + 4], 0.0f) << "section " << q;
    }
  }
}

TEST_P(ProcessorPassSet, ScatterInterleavesSplitQuads) {
  const ProcessorBuild& b = GetParam();
  // Mode 1 turns (1, 2, 3, 4, 5, 6, 7, 8, ...) into 1, 5, 2, 6, 3, 7, 4, 8, ...; other modes
  // copy. (Gather and scatter at every alignment run inside the drivers above.)
  Block work(16);
  for (int i = 0; i < 16; ++i) work.data()[i] = static_cast<float>(i + 1);
  std::vector<float> out(16), plain(17);
  b.scatterRows(out.data(), work.data(), 8, 1, 8, 1);
  EXPECT_EQ(out, (std::vector<float>{1, 5, 2, 6, 3, 7, 4, 8, 9, 13, 10, 14, 11, 15, 12, 16}));
  b.scatterRows(plain.data() + 1, work.data(), 8, 1, 8, 0);
  EXPECT_EQ(0, std::memcmp(plain.data() + 1, work.data(), 64));
}

TEST_P(ProcessorPassSet, CopyBlockChecksItsArguments) {
  const ProcessorBuild& b = GetParam();
  uint8 src[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, dst[13] = {};
  EXPECT_EQ(b.copyBlock(nullptr, dst, 4), SP_ERROR_NULL);
  EXPECT_EQ(b.copyBlock(src, nullptr, 4), SP_ERROR_NULL);
  EXPECT_EQ(b.copyBlock(src, dst, 0), SP_ERROR_LENGTH);
  EXPECT_EQ(b.copyBlock(src, dst, -5), SP_ERROR_LENGTH);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(b.copyBlock(src, dst, 13), SP_OK);
  EXPECT_EQ(0, std::memcmp(src, dst, 13));
}

INSTANTIATE_TEST_SUITE_P(Builds, ProcessorPassSet, testing::ValuesIn(ProcessorBuilds()), BuildName);

}  // namespace
