// Processor builds of the single-rate and one-sample FIR filters against the generic
// build and the double-precision convolution: exact state sizes, every source and
// destination alignment, call splits, the bit-exact short filters and head outputs,
// guard bytes, in-place filtering and the refusal of another build's state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fir_test_util.h"
#include "sp/fft_bodies.h"
#include "sp/filters_bodies.h"
#include "sp/iir_typed.h"

namespace {

using namespace fir_test;

struct FirBuild {
  const char* name;
  bool supported;
  decltype(&sp::generic::spFirGetStateSize_32f) getStateSize;
  decltype(&sp::generic::spFirInit_32f) init;
  decltype(&sp::generic::spFirFilter_32f) filter;
  decltype(&sp::generic::spFirFilterOneSample_32f) oneSample;
  decltype(&sp::generic::spFftGetSpecSizeReal_32f) fftSizes;
  decltype(&sp::sse3::spFirDirectBlockKernel_32f) kernel;  // null in the generic build
  decltype(&sp::sse3::spFirFilterOneSampleKernel_32fc) complexKernel;
  decltype(&sp::generic::spFirMultirateGetStateSize_32f) multirateSize;
  decltype(&sp::generic::spFirMultirateInit_32f) multirateInit;
};

#define FIRTEST_BUILD(ns, supported)                                                                 \
  FirBuild {                                                                                         \
    #ns, supported, &sp::ns::spFirGetStateSize_32f, &sp::ns::spFirInit_32f, &sp::ns::spFirFilter_32f, \
        &sp::ns::spFirFilterOneSample_32f, &sp::ns::spFftGetSpecSizeReal_32f,                        \
        &sp::ns::spFirDirectBlockKernel_32f, &sp::ns::spFirFilterOneSampleKernel_32fc,              \
        &sp::ns::spFirMultirateGetStateSize_32f, &sp::ns::spFirMultirateInit_32f                     \
  }

const FirBuild kGeneric{"generic",
                        true,
                        &sp::generic::spFirGetStateSize_32f,
                        &sp::generic::spFirInit_32f,
                        &sp::generic::spFirFilter_32f,
                        &sp::generic::spFirFilterOneSample_32f,
                        &sp::generic::spFftGetSpecSizeReal_32f,
                        nullptr,
                        nullptr,
                        &sp::generic::spFirMultirateGetStateSize_32f,
                        &sp::generic::spFirMultirateInit_32f};

std::vector<FirBuild> ProcessorBuilds() {
  std::vector<FirBuild> all = {FIRTEST_BUILD(sse3, __builtin_cpu_supports("sse3") != 0),
                               FIRTEST_BUILD(ssse3, __builtin_cpu_supports("ssse3") != 0),
                               FIRTEST_BUILD(sse41, __builtin_cpu_supports("sse4.1") != 0)};
  std::vector<FirBuild> out;
  for (const auto& b : all)
    if (b.supported) out.push_back(b);
  return out;
}

uint32 SizeOf(const FirBuild& b, int taps) {
  uint32 size = 0;
  EXPECT_EQ(b.getStateSize(taps, &size), SP_OK);
  return size;
}

struct Filter {
  Filter(const FirBuild& b, const std::vector<float>& taps, size_t misalign = 0)
      : build(b), buffer(SizeOf(b, static_cast<int>(taps.size())), misalign) {
    EXPECT_EQ(b.init(&state, taps.data(), static_cast<int>(taps.size()), nullptr, buffer.data()), SP_OK);
  }
  // x filtered in calls of `block` samples, read from and written to buffers placed
  // srcOff and dstOff floats (or bytes, when odd) past a 16-byte boundary.
  std::vector<float> Run(const std::vector<float>& x, size_t block, size_t srcOffBytes = 0, size_t dstOffBytes = 0) {
    std::vector<float> y(x.size());
    std::vector<uint8_t> in(4 * block + 64), out(4 * block + 64 + 2 * GuardedBuffer::kGuard, 0x5A);
    auto align = [](uint8_t* p) { return p + ((16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15); };
    uint8_t* src = align(in.data()) + srcOffBytes;
    uint8_t* dst = align(out.data() + GuardedBuffer::kGuard) + dstOffBytes;
    for (size_t pos = 0; pos < x.size(); pos += block) {
      const size_t n = std::min(block, x.size() - pos);
      std::memcpy(src, x.data() + pos, 4 * n);
      std::fill(out.begin(), out.end(), uint8_t{0x5A});
      EXPECT_EQ(build.filter(reinterpret_cast<float*>(src), reinterpret_cast<float*>(dst), static_cast<int>(n), state),
                SP_OK);
      std::memcpy(y.data() + pos, dst, 4 * n);
      auto untouched = [](const uint8_t* a, const uint8_t* b) { return std::all_of(a, b, [](uint8_t v) { return v == 0x5A; }); };
      EXPECT_TRUE(untouched(out.data(), dst) && untouched(dst + 4 * n, out.data() + out.size())) << "guard around the output";
    }
    return y;
  }
  const FirBuild& build;
  GuardedBuffer buffer;
  spFirState* state = nullptr;
};

void ExpectClose(const std::vector<float>& got, const std::vector<float>& want, double tol, const char* what) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << what << ", output " << i;
}

TEST(FirBuildsSize, AddsTheRepeatedTapsAndTheBuildsOwnFftRecord) {
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {1, 20, 24, 63, 64, 101, 128, 300}) {
      uint32 want = SizeOf(kGeneric, taps) + 4 * ((4 * taps + 15) & ~15);
      if (taps >= 64) {
        const int order = taps >= 256 ? 10 : taps >= 128 ? 9 : 8;
        uint32 gs = 0, gi = 0, gw = 0, bs = 0, bi = 0, bw = 0;
        ASSERT_EQ(kGeneric.fftSizes(order, SP_FFT_SCALE_INVERSE, 0, &gs, &gi, &gw), SP_OK);
        ASSERT_EQ(b.fftSizes(order, SP_FFT_SCALE_INVERSE, 0, &bs, &bi, &bw), SP_OK);
        want = want - gs - gi - gw + bs + bi + bw;
      }
      EXPECT_EQ(SizeOf(b, taps), want) << b.name << ", " << taps << " taps";
    }
  }
}

TEST(FirBuildsFilter, DirectFormAgreesWithGenericAtEveryAlignmentAndSplit) {
  std::mt19937 rng(11);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {1, 2, 3, 4, 5, 8, 9, 20, 24, 63, 101}) {
      const auto h = RandomSignal(rng, taps);
      const auto x = RandomSignal(rng, 600);
      Filter ref(kGeneric, h);
      const auto want = ref.Run(x, 511);
      // The builds agree exactly up to three taps; beyond, to rounding of the grouping.
      const double tol = taps <= 3 ? 0.0 : Tolerance(Magnitude(h, 1.0f), 4u * static_cast<size_t>(taps));
      const int cap = ((taps + 3) & ~3) + 1;
      for (size_t srcOff : {0u, 4u, 8u, 12u, 2u}) {
        for (size_t dstOff : {0u, 4u, 8u, 12u, 1u}) {
          for (int block : {7, cap, cap + 1, 128, 511}) {
            Filter f(b, h, (srcOff + dstOff) % 16);
            ExpectClose(f.Run(x, static_cast<size_t>(block), srcOff, dstOff), want, tol, b.name);
            ASSERT_TRUE(f.buffer.GuardsIntact()) << b.name << ", " << taps << " taps";
          }
        }
      }
    }
  }
}

TEST(FirBuildsFilter, OverlapSaveUsesTheBuildsFftAndAgreesWithTheConvolution) {
  std::mt19937 rng(12);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {64, 101, 300}) {
      const auto h = RandomSignal(rng, taps);
      const auto x = RandomSignal(rng, 4000);
      const auto want = ConvolveOracle(h, x);
      const double tol = Tolerance(Magnitude(h, 1.0f), 4u * static_cast<size_t>(taps));
      for (int block : {512, 725, 1500, 4000}) {
        Filter f(b, h, 4);
        const auto got = f.Run(x, static_cast<size_t>(block), 8, 4);
        for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << b.name << " output " << i;
        EXPECT_TRUE(f.buffer.GuardsIntact());
      }
    }
  }
}

TEST(FirBuildsKernel, HeadOutputsAndShortFiltersAreTheGenericSums) {
  std::mt19937 rng(13);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {1, 2, 3, 6, 17}) {
      const auto h = RandomSignal(rng, taps);
      std::vector<float> rep(4 * static_cast<size_t>(taps) + 4);
      float* r = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(rep.data()) + 15) & ~uintptr_t{15});
      for (int k = 0; k < taps; ++k) std::fill(r + 4 * k, r + 4 * k + 4, h[static_cast<size_t>(k)]);
      const auto src = RandomSignal(rng, 64 + taps);
      alignas(16) float dst[80];
      for (int off = 1; off < 4; ++off) {
        for (int count : {1, 2, 40}) {
          b.kernel(r, src.data(), dst + off, count, taps);
          // Outputs before the first 16-byte boundary (all outputs up to three taps).
          const int exact = taps <= 3 ? count : std::min(count, 4 - off);
          for (int n = 0; n < exact; ++n) {
            float acc = 0.0f;
            for (int j = 0; j < taps; ++j) acc += h[static_cast<size_t>(taps - 1 - j)] * src[static_cast<size_t>(n + j)];
            ASSERT_EQ(dst[off + n], acc) << b.name << ", " << taps << " taps, output " << n;
          }
        }
      }
    }
  }
}

TEST(FirBuildsFilter, InPlaceEqualsSeparateBuffersAndOutputAboveInputIsRefused) {
  std::mt19937 rng(14);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {3, 24, 101}) {
      const auto h = RandomSignal(rng, taps);
      const auto x = RandomSignal(rng, 1300);
      for (int block : {100, 600, 1300}) {
        Filter sep(b, h), inPlace(b, h);
        const auto want = sep.Run(x, static_cast<size_t>(block));
        std::vector<float> io = x;
        for (size_t pos = 0; pos < x.size(); pos += static_cast<size_t>(block)) {
          const int n = static_cast<int>(std::min(x.size() - pos, static_cast<size_t>(block)));
          ASSERT_EQ(b.filter(io.data() + pos, io.data() + pos, n, inPlace.state), SP_OK);
        }
        // The pieces start the kernel at other alignments: equal up to rounding.
        ExpectClose(io, want, Tolerance(Magnitude(h, 1.0f), 4u * static_cast<size_t>(taps)), b.name);
        std::vector<float> buf(200, 1.0f);
        EXPECT_EQ(b.filter(buf.data(), buf.data() + 1, 150, inPlace.state), SP_ERROR_OVERLAP);
      }
    }
  }
}

TEST(FirBuildsFilter, AnotherBuildsStateIsRefusedUntouched) {
  const std::vector<FirBuild> procs = ProcessorBuilds();
  std::vector<FirBuild> all = {kGeneric};
  all.insert(all.end(), procs.begin(), procs.end());
  for (int taps : {8, 101}) {
    const std::vector<float> h(static_cast<size_t>(taps), 0.5f);
    for (const FirBuild& maker : all) {
      for (const FirBuild& user : all) {
        if (maker.name == user.name) continue;
        Filter f(maker, h);
        std::vector<float> x(600, 1.0f), y(600, 7.0f);
        const std::vector<uint8_t> before(f.buffer.data(), f.buffer.data() + SizeOf(maker, taps));
        EXPECT_EQ(user.filter(x.data(), y.data(), 600, f.state), SP_ERROR_WRONG_RECORD)
            << maker.name << " state in the " << user.name << " filter";
        EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 7.0f; }));
        EXPECT_TRUE(std::equal(before.begin(), before.end(), f.buffer.data()));
      }
    }
  }
}

TEST(FirBuildsOneSample, AgreesWithTheConvolutionShortChainsWithTheFloatSum) {
  std::mt19937 rng(15);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {1, 2, 5, 16, 17, 18, 20, 24, 31, 64}) {
      const auto h = RandomSignal(rng, taps);
      const auto x = RandomSignal(rng, 300);
      const auto want = ConvolveOracle(h, x);
      // The doubled line at each 4-byte offset, so the head steps run 0 to 3 times.
      for (int off = 0; off < 4; ++off) {
        std::vector<float> storage(2 * static_cast<size_t>(taps) + 8, 0.0f);
        float* line = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(storage.data()) + 15) & ~uintptr_t{15}) + off;
        int32 index = 0;
        for (size_t n = 0; n < x.size(); ++n) {
          float y = 0.0f;
          ASSERT_EQ(b.oneSample(x[n], &y, h.data(), taps, line, &index), SP_OK);
          if (taps < 17) {
            float chain = 0.0f;  // oldest sample first, in single precision
            for (int k = taps - 1; k >= 0; --k) {
              const long long i = static_cast<long long>(n) - k;
              chain = chain + (i >= 0 ? x[static_cast<size_t>(i)] : 0.0f) * h[static_cast<size_t>(k)];
            }
            ASSERT_EQ(y, chain) << b.name << ", " << taps << " taps, sample " << n;
          } else {
            ASSERT_NEAR(y, want[n], Tolerance(Magnitude(h, 1.0f), static_cast<size_t>(taps))) << b.name;
          }
        }
      }
    }
  }
}

TEST(FirBuildsOneSample, ChecksComeBeforeAnyWrite) {
  for (const FirBuild& b : ProcessorBuilds()) {
    float line[8] = {}, y = 5.0f, h[4] = {1, 2, 3, 4};
    int32 index = 0;
    EXPECT_EQ(b.oneSample(1.0f, nullptr, h, 4, line, &index), SP_ERROR_NULL);
    EXPECT_EQ(b.oneSample(1.0f, &y, nullptr, 4, line, &index), SP_ERROR_NULL);
    EXPECT_EQ(b.oneSample(1.0f, &y, h, 0, nullptr, &index), SP_ERROR_TAP_COUNT);
    EXPECT_EQ(b.oneSample(1.0f, &y, h, 4, nullptr, &index), SP_ERROR_NULL);
    EXPECT_EQ(b.oneSample(1.0f, &y, h, 4, line, nullptr), SP_ERROR_NULL);
    index = 4;
    EXPECT_EQ(b.oneSample(1.0f, &y, h, 4, line, &index), SP_ERROR_LENGTH);
    EXPECT_EQ(y, 5.0f);
    EXPECT_TRUE(std::all_of(line, line + 8, [](float v) { return v == 0.0f; }));
  }
}

TEST(FirBuildsOneSample, ComplexTwinIsTheUnconjugatedComplexConvolution) {
  std::mt19937 rng(16);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (int taps : {1, 2, 3, 4, 7, 24}) {
      std::vector<spComplex32f> h(static_cast<size_t>(taps)), x(100);
      std::uniform_real_distribution<float> d(-1.0f, 1.0f);
      for (auto& t : h) t = {d(rng), d(rng)};
      for (auto& s : x) s = {d(rng), d(rng)};
      std::vector<spComplex32f> line(2 * static_cast<size_t>(taps), spComplex32f{0.0f, 0.0f});
      int32 index = 0;
      for (size_t n = 0; n < x.size(); ++n) {
        spComplex32f y{};
        b.complexKernel(&x[n], &y, h.data(), taps, line.data(), &index);
        double re = 0.0, im = 0.0;
        for (int k = 0; k < taps && static_cast<size_t>(k) <= n; ++k) {
          const spComplex32f t = h[static_cast<size_t>(k)], s = x[n - static_cast<size_t>(k)];
          re += double{t.re} * s.re - double{t.im} * s.im;
          im += double{t.re} * s.im + double{t.im} * s.re;
        }
        const double tol = Tolerance(2.0 * taps, 2u * static_cast<size_t>(taps));
        ASSERT_NEAR(y.re, re, tol) << b.name << ", " << taps << " taps";
        ASSERT_NEAR(y.im, im, tol) << b.name << ", " << taps << " taps";
      }
    }
  }
}

struct Rate {
  int taps, up, down, upPhase, downPhase;
  uint32 kind;  // expected layout: 0 single rate, 1 dense, 2 and 3 sparse
};

// The system's four converters, sparse decimation and interpolation, short windows and
// phases.
const Rate kRates[] = {{66, 2, 1, 0, 0, 1},  {66, 1, 2, 0, 0, 1},  {132, 4, 1, 0, 0, 1}, {132, 1, 4, 0, 0, 1},
                       {9, 3, 2, 1, 0, 1},   {6, 1, 2, 0, 1, 2},   {3, 1, 5, 0, 2, 2},   {40, 1, 20, 0, 4, 2},
                       {1, 3, 5, 2, 4, 3},   {5, 4, 7, 1, 3, 3},   {10, 3, 9, 0, 7, 3}, {20, 1, 1, 0, 0, 0}};

struct Resampler {
  Resampler(const FirBuild& b, const Rate& r, const std::vector<float>& h, size_t misalign) : build(b) {
    uint32 size = 0;
    EXPECT_EQ(b.multirateSize(r.taps, r.up, r.down, &size), SP_OK);
    buffer = std::make_unique<GuardedBuffer>(size, misalign);
    EXPECT_EQ(b.multirateInit(&state, h.data(), r.taps, r.up, r.upPhase, r.down, r.downPhase, nullptr,
                              buffer->data()),
              SP_OK);
  }
  const FirBuild& build;
  std::unique_ptr<GuardedBuffer> buffer;
  spFirState* state = nullptr;
};

TEST(FirBuildsMultirate, SizesAndLayoutChoiceEqualTheGenericBuilds) {
  for (const FirBuild& b : ProcessorBuilds()) {
    for (const Rate& r : kRates) {
      uint32 want = 0, got = 0;
      ASSERT_EQ(kGeneric.multirateSize(r.taps, r.up, r.down, &want), SP_OK);
      ASSERT_EQ(b.multirateSize(r.taps, r.up, r.down, &got), SP_OK);
      // A single-rate fallback takes the build's single-rate size.
      if (r.kind == 0) want = SizeOf(b, r.taps);
      EXPECT_EQ(got, want) << b.name << ", " << r.taps << " taps " << r.up << "/" << r.down;
      Resampler f(b, r, std::vector<float>(static_cast<size_t>(r.taps), 1.0f), 0);
      if (r.kind != 0) {
        EXPECT_EQ(reinterpret_cast<spFirMultirateState*>(f.state)->multirateKind, r.kind);
      }
    }
  }
}

TEST(FirBuildsMultirate, PolyphaseKernelsFollowTheDefiningFormulaAcrossSplitsAndAlignments) {
  std::mt19937 rng(17);
  for (const FirBuild& b : ProcessorBuilds()) {
    for (const Rate& r : kRates) {
      const auto h = RandomSignal(rng, r.taps);
      const int iters = 300;
      const auto x = RandomSignal(rng, iters * r.down);
      const auto want = MultirateOracle(h, x, r.up, r.down, r.upPhase, r.downPhase, static_cast<size_t>(iters * r.up));
      const double tol = Tolerance(Magnitude(h, 1.0f), static_cast<size_t>(r.taps));
      for (int split : {1, 3, 5, 40, 64, 300}) {
        for (size_t off : {0u, 4u, 12u}) {
          Resampler f(b, r, h, off);
          std::vector<float> in(x.size() + 8), out(want.size() + 8, 0.0f);
          std::copy(x.begin(), x.end(), in.begin() + static_cast<long>(off / 4));
          for (int it = 0; it < iters; it += split) {
            const int n = std::min(split, iters - it);
            ASSERT_EQ(b.filter(in.data() + off / 4 + static_cast<size_t>(it * r.down),
                               out.data() + (4 - off / 4) + static_cast<size_t>(it * r.up), n, f.state),
                      SP_OK);
          }
          for (size_t i = 0; i < want.size(); ++i)
            ASSERT_NEAR(out[4 - off / 4 + i], want[i], tol)
                << b.name << ", " << r.taps << " taps " << r.up << "/" << r.down << ", calls of " << split << ", output " << i;
          EXPECT_TRUE(f.buffer->GuardsIntact());
        }
      }
    }
  }
}

TEST(FirBuildsMultirate, AnotherBuildsStateIsRefused) {
  const std::vector<FirBuild> procs = ProcessorBuilds();
  std::vector<FirBuild> all = {kGeneric};
  all.insert(all.end(), procs.begin(), procs.end());
  for (const Rate& r : {kRates[0], kRates[5], kRates[9]}) {
    const std::vector<float> h(static_cast<size_t>(r.taps), 0.5f);
    for (const FirBuild& maker : all) {
      for (const FirBuild& user : all) {
        if (maker.name == user.name) continue;
        Resampler f(maker, r, h, 0);
        std::vector<float> x(64 * static_cast<size_t>(r.down), 1.0f), y(64 * static_cast<size_t>(r.up), 7.0f);
        EXPECT_EQ(user.filter(x.data(), y.data(), 64, f.state), SP_ERROR_WRONG_RECORD) << maker.name << " in " << user.name;
        EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float v) { return v == 7.0f; }));
      }
    }
  }
}

}  // namespace
