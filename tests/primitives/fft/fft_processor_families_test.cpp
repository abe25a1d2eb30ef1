// Kernel families of the processor builds that nothing in the library calls: the
// bit-reversal members for 4-, 8- and 16-byte elements against a naive reversal, the planar
// transforms against the interleaved kernels of the same build and the DFT, and the radix-8
// decomposition of builds 2 and 3 against the DFT.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fft_builds.h"
#include "fft_test_support.h"

namespace {

using namespace fft_test;

uint32_t Rev(uint32_t v, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; ++i, v >>= 1) r = (r << 1) | (v & 1);
  return r;
}

// Storage `offset` floats past a 32-byte boundary (the table builders round their ends up
// to 32 bytes).
struct Floats {
  explicit Floats(size_t n, size_t offset = 0) : storage(n + 16), offset(offset) {}
  float* data() {
    const auto a = reinterpret_cast<uintptr_t>(storage.data());
    return storage.data() + ((32 - a % 32) % 32) / 4 + offset;
  }
  std::vector<float> storage;
  size_t offset;
};

// ---- bit reversal by element width ---------------------------------------------------------

struct Family {
  const char* name;
  decltype(&sp::sse3::spFftBitReversePairsInPlace_32f) pairsInPlace32f;
  decltype(&sp::sse3::spFftBitReversePairsInPlace_64f) pairsInPlace64f;
  decltype(&sp::sse3::spFftBitReversePairsInPlace_32fc) pairsInPlace32fc;
  decltype(&sp::sse3::spFftBitReversePairsInPlace_64fc) pairsInPlace64fc;
  decltype(&sp::sse3::spFftBitReversePairs_32f) pairs32f;
  decltype(&sp::sse3::spFftBitReversePairs_64f) pairs64f;
  decltype(&sp::sse3::spFftBitReversePermuteInPlace_32f) tilesInPlace32f;
  decltype(&sp::sse3::spFftBitReversePermuteInPlace_64f) tilesInPlace64f;
  decltype(&sp::sse3::spFftBitReversePermuteInPlace_64fc) tilesInPlace64fc;
  decltype(&sp::sse3::spFftBitReversePermute_32f) tiles32f;
  decltype(&sp::sse3::spFftBitReversePermute_64f) tiles64f;
  decltype(&sp::sse3::spFftBitReversePermute_64fc) tiles64fc;
};
#define FAMILY(ns)                                                                             \
  Family {                                                                                     \
#ns, &sp::ns::spFftBitReversePairsInPlace_32f, &sp::ns::spFftBitReversePairsInPlace_64f,   \
        &sp::ns::spFftBitReversePairsInPlace_32fc, &sp::ns::spFftBitReversePairsInPlace_64fc,  \
        &sp::ns::spFftBitReversePairs_32f, &sp::ns::spFftBitReversePairs_64f,                  \
        &sp::ns::spFftBitReversePermuteInPlace_32f, &sp::ns::spFftBitReversePermuteInPlace_64f, \
        &sp::ns::spFftBitReversePermuteInPlace_64fc, &sp::ns::spFftBitReversePermute_32f,      \
        &sp::ns::spFftBitReversePermute_64f, &sp::ns::spFftBitReversePermute_64fc              \
  }
const Family kFamilies[] = {FAMILY(sse3), FAMILY(ssse3), FAMILY(sse41)};

// Elements of `width` bytes with distinct contents, and their m-bit reversal.
std::vector<uint8> Elements(size_t n, size_t width) {
  std::vector<uint8> v(n * width);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8>(i * 7 + i / 251);
  return v;
}
std::vector<uint8> Reversed(const std::vector<uint8>& v, int m, size_t width) {
  std::vector<uint8> r(v.size());
  for (size_t i = 0; i < (size_t{1} << m); ++i) {
    std::memcpy(&r[Rev(static_cast<uint32_t>(i), m) * width], &v[i * width], width);
  }
  return r;
}

template <class T>
using InPlace = void (*)(T*, int32, const int32*);
template <class T>
using OutOfPlace = void (*)(const T*, T*, int32, const int32*);

// Runs an in-place or out-of-place member on 2^m elements at an 8-byte offset and compares
// with the naive reversal.
template <class T>
void ExpectReversal(InPlace<T> inPlace, OutOfPlace<T> outOfPlace, int m, size_t width,
                    const int32* table) {
  const size_t n = size_t{1} << m;
  const std::vector<uint8> v = Elements(n, width), want = Reversed(v, m, width);
  std::vector<uint8> a(v.size() + 64, 0), b(v.size() + 64, 0);
  std::memcpy(a.data() + 8, v.data(), v.size());
  if (inPlace != nullptr) {
    inPlace(reinterpret_cast<T*>(a.data() + 8), static_cast<int32>(n), table);
    EXPECT_EQ(0, std::memcmp(a.data() + 8, want.data(), want.size())) << "in place, m " << m;
  } else {
    outOfPlace(reinterpret_cast<const T*>(a.data() + 8), reinterpret_cast<T*>(b.data() + 8),
               static_cast<int32>(n), table);
    EXPECT_EQ(0, std::memcmp(b.data() + 8, want.data(), want.size())) << "out of place, m " << m;
  }
}

TEST(ProcessorBitReversalFamily, EveryMemberIsTheBitReversalOfItsWidth) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    for (int m = 0; m <= 18; ++m) {
      if (m > 12 && m != 16 && m != 17 && m != 18) continue;
      const size_t n = size_t{1} << m;
      // Swap table of the order (pair members) and index table (tile members).
      std::vector<int32> pairs(n + 64), index(n / 4 + 64);
      if (m >= 2) sp::generic::spFftMakeBitReversalTable_32s(m, pairs.data());
      if (m >= 2) sp::sse3::spFftMakeBitReversalIndexTable_32s(m, index.data());
      const int32* p = pairs.data();
      ExpectReversal<float>(f.pairsInPlace32f, nullptr, m, 4, p);
      ExpectReversal<double>(f.pairsInPlace64f, nullptr, m, 8, p);
      ExpectReversal<float>(f.pairsInPlace32fc, nullptr, m, 8, p);
      ExpectReversal<double>(f.pairsInPlace64fc, nullptr, m, 16, p);
      ExpectReversal<float>(nullptr, f.pairs32f, m, 4, p);
      ExpectReversal<double>(nullptr, f.pairs64f, m, 8, p);
      if (m >= 3) {
        const int32* t = index.data();
        ExpectReversal<float>(f.tilesInPlace32f, nullptr, m, 4, t);
        ExpectReversal<double>(f.tilesInPlace64f, nullptr, m, 8, t);
        ExpectReversal<double>(f.tilesInPlace64fc, nullptr, m, 16, t);
        // Out of place on both sides of the switch to destination order (2^17 elements of 4
        // bytes, 2^16 of 8 and 16 bytes).
        ExpectReversal<float>(nullptr, f.tiles32f, m, 4, t);
        ExpectReversal<double>(nullptr, f.tiles64f, m, 8, t);
        ExpectReversal<double>(nullptr, f.tiles64fc, m, 16, t);
      }
    }
  }
}

// ---- planar transforms -----------------------------------------------------------------------

struct Planar {
  decltype(&sp::sse3::spFftForwardPlanarWithPermutation_32f) forward, inverse;
  decltype(&sp::sse3::spFftRadixPassesForwardPlanar_32f) radixForward, radixInverse;
};
const Planar kPlanar[] = {
    {&sp::sse3::spFftForwardPlanarWithPermutation_32f,
     &sp::sse3::spFftInversePlanarWithPermutation_32f, &sp::sse3::spFftRadixPassesForwardPlanar_32f,
     &sp::sse3::spFftRadixPassesInversePlanar_32f},
    {&sp::ssse3::spFftForwardPlanarWithPermutation_32f,
     &sp::ssse3::spFftInversePlanarWithPermutation_32f,
     &sp::ssse3::spFftRadixPassesForwardPlanar_32f, &sp::ssse3::spFftRadixPassesInversePlanar_32f},
    {&sp::sse41::spFftForwardPlanarWithPermutation_32f,
     &sp::sse41::spFftInversePlanarWithPermutation_32f,
     &sp::sse41::spFftRadixPassesForwardPlanar_32f, &sp::sse41::spFftRadixPassesInversePlanar_32f},
};

TEST(ProcessorPlanarFft, PlanarKernelsGiveTheInterleavedKernelsBits) {
  for (size_t bi = 0; bi < 3; ++bi) {
    const ProcessorBuild& b = ProcessorBuilds()[bi];
    const Planar& pl = kPlanar[bi];
    for (int m = 3; m <= 14; ++m) {
      SCOPED_TRACE(testing::Message() << b.name << " m " << m);
      const size_t n = size_t{1} << m;
      spComplexFftSpec* spec = nullptr;
      ASSERT_EQ(b.createComplex(&spec, m, SP_FFT_NO_SCALE, 0), SP_OK);
      const std::vector<float> x = RandomFloats(2 * n, 40 + m);
      Floats work(2 * n), inter(2 * n);
      for (bool inverse : {false, true}) {
        // Interleaved result of the same build.
        (inverse ? b.inversePermuting : b.forwardPermuting)(x.data(), inter.data(), static_cast<int32>(n),
                                                            spec->twiddles, spec->bitReversalTable,
                                                            work.data());
        if (!inverse) {
          EXPECT_LT(RelativeError(inter.data(), Interleave(Fft(ToComplex(x), -1))), Tolerance(m));
        }
        // Planar, from 4-byte aligned arrays into others and onto themselves.
        Floats re(n, 1), im(n, 3), dre(n, 2), dim(n, 1);
        for (size_t i = 0; i < n; ++i) re.data()[i] = x[2 * i], im.data()[i] = x[2 * i + 1];
        (inverse ? pl.inverse : pl.forward)(re.data(), im.data(), dre.data(), dim.data(),
                                            static_cast<int32>(n), spec->twiddles,
                                            spec->bitReversalTable,
                                            reinterpret_cast<uint8*>(work.data()));
        (inverse ? pl.inverse : pl.forward)(re.data(), im.data(), re.data(), im.data(),
                                            static_cast<int32>(n), spec->twiddles,
                                            spec->bitReversalTable,
                                            reinterpret_cast<uint8*>(work.data()));
        for (size_t i = 0; i < n; ++i) {
          ASSERT_EQ(dre.data()[i], inter.data()[2 * i]) << "point " << i;
          ASSERT_EQ(dim.data()[i], inter.data()[2 * i + 1]) << "point " << i;
          ASSERT_EQ(re.data()[i], dre.data()[i]);
          ASSERT_EQ(im.data()[i], dim.data()[i]);
        }
        if (m < 6) continue;
        // In place on bit-reversed arrays: the interleaved radix passes' bits.
        Floats br(2 * n), pre(n, 1), pim(n, 2);
        for (size_t i = 0; i < n; ++i) {
          const size_t r = Rev(static_cast<uint32_t>(i), m);
          br.data()[2 * r] = pre.data()[r] = x[2 * i];
          br.data()[2 * r + 1] = pim.data()[r] = x[2 * i + 1];
        }
        (inverse ? b.radixInverse : b.radixForward)(br.data(), static_cast<int32>(n), spec->twiddles,
                                                    work.data(), 1);
        (inverse ? pl.radixInverse : pl.radixForward)(pre.data(), pim.data(), static_cast<int64>(n),
                                                      spec->twiddles,
                                                      reinterpret_cast<uint8*>(work.data()));
        for (size_t i = 0; i < n; ++i) {
          ASSERT_EQ(pre.data()[i], br.data()[2 * i]) << "point " << i;
          ASSERT_EQ(pim.data()[i], br.data()[2 * i + 1]) << "point " << i;
        }
      }
      b.freeComplex(spec);
    }
  }
}

// ---- radix-8 decomposition (builds 2 and 3) ---------------------------------------------------

struct Decomposition {
  const char* name;
  decltype(&sp::ssse3::spFftForwardSubTransforms_32fc) sub, subInverse;
  decltype(&sp::ssse3::spFftForwardSubTransformsPlanar_32f) subPlanar, subPlanarInverse;
  decltype(&sp::ssse3::spFftRadix8CombineForward_32fc) combine, combineInverse;
  decltype(&sp::ssse3::spFftRadix8CombineForwardPlanar_32f) combinePlanar, combinePlanarInverse;
  decltype(&sp::ssse3::spFftMakeTwiddles_32fc) makeTwiddles;
  decltype(&sp::ssse3::spFftMakeBitReversalIndexTable_32s) makeIndex;
};
#define DECOMPOSITION(ns)                                                                     \
  Decomposition {                                                                             \
#ns, &sp::ns::spFftForwardSubTransforms_32fc, &sp::ns::spFftInverseSubTransforms_32fc,    \
        &sp::ns::spFftForwardSubTransformsPlanar_32f,                                         \
        &sp::ns::spFftInverseSubTransformsPlanar_32f, &sp::ns::spFftRadix8CombineForward_32fc, \
        &sp::ns::spFftRadix8CombineInverse_32fc, &sp::ns::spFftRadix8CombineForwardPlanar_32f, \
        &sp::ns::spFftRadix8CombineInversePlanar_32f, &sp::ns::spFftMakeTwiddles_32fc,        \
        &sp::ns::spFftMakeBitReversalIndexTable_32s                                           \
  }
const Decomposition kDecompositions[] = {DECOMPOSITION(ssse3), DECOMPOSITION(sse41)};

TEST(ProcessorRadix8Decomposition, ThreeCallsGiveTheDftOfEightTimesTheSubLength) {
  for (const Decomposition& d : kDecompositions) {
    for (int logN : {9, 10, 11, 12, 14}) {
      SCOPED_TRACE(testing::Message() << d.name << " N 2^" << logN);
      const size_t bigN = size_t{1} << logN, n = bigN / 8;
      // Tables: the index table of n points, the twiddle records of N points; the combine
      // reads the last pass, after the records of the n-point plan.
      std::vector<float> sine(bigN / 4 + 64);
      const float* sineTable = sp::generic::spFftQuarterSineTable;
      int tableOrder = 10;
      if (logN > 10) {
        sp::generic::spFftMakeSineTable_32f(logN, sine.data());
        sineTable = sine.data();
        tableOrder = logN;
      }
      Floats tw(2 * bigN + 64), twSmall(2 * n + 64);
      d.makeTwiddles(logN, sineTable, tableOrder, tw.data());
      const uint8* smallEnd = d.makeTwiddles(logN - 3, sineTable, tableOrder, twSmall.data());
      const float* combineRecords =
          tw.data() + (reinterpret_cast<const float*>(smallEnd) - twSmall.data());
      std::vector<int32> index(n / 4 + 16);
      d.makeIndex(logN - 3, index.data());

      const std::vector<float> x = RandomFloats(2 * bigN, 60 + logN);
      Floats z(2 * bigN), workBuf(8 * n);
      auto transform = [&](const float* in, float* out, bool inverse) {
        auto sub = inverse ? d.subInverse : d.sub;
        sub(in, z.data(), static_cast<int64>(n), tw.data(), index.data(), workBuf.data());
        sub(in + 8, z.data() + 2 * 4 * n, static_cast<int64>(n), tw.data(), index.data(),
            workBuf.data());
        (inverse ? d.combineInverse : d.combine)(z.data(), out, static_cast<int64>(n),
                                                 static_cast<int64>(n), combineRecords);
      };
      Floats y(2 * bigN, 2);  // an 8-byte aligned destination
      transform(x.data(), y.data(), false);
      EXPECT_LT(RelativeError(y.data(), Interleave(Fft(ToComplex(x), -1))), Tolerance(logN));

      // The same through the planar members.
      Floats re(bigN, 1), im(bigN, 1), yre(bigN, 3), yim(bigN);
      for (size_t i = 0; i < bigN; ++i) re.data()[i] = x[2 * i], im.data()[i] = x[2 * i + 1];
      d.subPlanar(re.data(), im.data(), z.data(), static_cast<int64>(n), tw.data(), index.data());
      d.subPlanar(re.data() + 4, im.data() + 4, z.data() + 8 * n, static_cast<int64>(n), tw.data(),
                  index.data());
      d.combinePlanar(z.data(), yre.data(), yim.data(), static_cast<int64>(n),
                      static_cast<int32>(n), combineRecords);
      for (size_t i = 0; i < bigN; ++i) {
        ASSERT_EQ(yre.data()[i], y.data()[2 * i]) << "point " << i;
        ASSERT_EQ(yim.data()[i], y.data()[2 * i + 1]) << "point " << i;
      }

      // In place (source = sub-transform destination through the work buffer) and back.
      std::vector<float> io = x;
      std::vector<float> blocks(8 * n);
      d.sub(io.data(), io.data(), static_cast<int64>(n), tw.data(), index.data(), workBuf.data());
      std::memcpy(blocks.data(), io.data(), 4 * blocks.size());
      d.sub(x.data(), z.data(), static_cast<int64>(n), tw.data(), index.data(), workBuf.data());
      EXPECT_EQ(0, std::memcmp(blocks.data(), z.data(), 4 * blocks.size())) << "in place";

      Floats back(2 * bigN);
      transform(y.data(), back.data(), true);
      EXPECT_LT(RelativeError(back.data(), std::vector<long double>(x.begin(), x.end()),
                              static_cast<long double>(bigN)),
                2 * Tolerance(logN));
    }
  }
}

}  // namespace
