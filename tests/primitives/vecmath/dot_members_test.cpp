// The dot-product module's other members against exact integer arithmetic: small
// integer elements keep every float and double order exact, so each product must count
// once at every byte offset of both sources; the 16-bit kernels are exact for any input;
// the scaled kernels round to nearest whatever the caller's rounding mode.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "module_kernels.h"

namespace {

const std::vector<vmtest::ModuleKernels> kBuilds = vmtest::SupportedModuleKernels();

// Vectors of small integers in every element type, at chosen byte offsets.
struct Vectors {
  Vectors(int len, int o1, int o2, vmtest::Rng& rng)
      : f1(8 * len, o1), f2(8 * len, o2), d1(16 * len, o1), d2(16 * len, o2), i1(8 * len, o1), i2(8 * len, o2),
        h1(4 * len, o1), h2(4 * len, o2), a(2 * len), b(2 * len) {
    for (int i = 0; i < 2 * len; ++i) {
      a[i] = static_cast<int>(rng.Next() % 61) - 30;
      b[i] = static_cast<int>(rng.Next() % 61) - 30;
      Put(f1, i, static_cast<float>(a[i]));
      Put(f2, i, static_cast<float>(b[i]));
      Put(d1, i, static_cast<double>(a[i]));
      Put(d2, i, static_cast<double>(b[i]));
      Put(i1, i, static_cast<int32>(a[i]));
      Put(i2, i, static_cast<int32>(b[i]));
      Put(h1, i, static_cast<int16>(a[i] * 1000));
      Put(h2, i, static_cast<int16>(b[i] * 1000));
    }
  }
  template <class T>
  static void Put(sptest::Guarded& g, int i, T v) {
    std::memcpy(g.data() + sizeof(T) * i, &v, sizeof v);
  }
  sptest::Guarded f1, f2, d1, d2, i1, i2, h1, h2;
  std::vector<long long> a, b;
};

TEST(DotMembers, EveryProductOnceAtEveryOffsetAndLength) {
  vmtest::Rng rng(51);
  const double one = 1.0;
  for (const vmtest::ModuleKernels& b : kBuilds) {
    for (int o1 = 0; o1 < 16; o1 += 2) {
      for (int o2 = 0; o2 < 16; o2 += 2) {
        for (int len : {1, 2, 3, 5, 6, 8, 11, 12, 13, 17, 25, 40}) {
          SCOPED_TRACE(testing::Message() << b.name << " " << o1 << " " << o2 << " len " << len);
          Vectors v(len, o1, o2, rng);
          long long real = 0, mixedRe = 0, mixedIm = 0, cre = 0, cim = 0;
          for (int k = 0; k < len; ++k) {
            real += v.a[k] * v.b[k];
            mixedRe += v.a[k] * v.b[2 * k];
            mixedIm += v.a[k] * v.b[2 * k + 1];
            cre += v.a[2 * k] * v.b[2 * k] - v.a[2 * k + 1] * v.b[2 * k + 1];
            cim += v.a[2 * k] * v.b[2 * k + 1] + v.a[2 * k + 1] * v.b[2 * k];
          }
          const float* f1 = v.f1.f32();
          const float* f2 = v.f2.f32();
          const double* d1 = reinterpret_cast<const double*>(v.d1.data());
          const double* d2 = reinterpret_cast<const double*>(v.d2.data());
          const int32* i1 = reinterpret_cast<const int32*>(v.i1.data());
          const int32* i2 = reinterpret_cast<const int32*>(v.i2.data());
          const int16* h1 = reinterpret_cast<const int16*>(v.h1.data());
          const int16* h2 = reinterpret_cast<const int16*>(v.h2.data());
          double rd[2];
          float rf[2];
          int32 ri[2];
          int64 rl[2];
          b.spDotProductKernel_32f64f(f1, f2, len, rd);
          EXPECT_EQ(rd[0], real);
          b.spDotProductKernel_64f(d1, d2, len, rd);
          EXPECT_EQ(rd[0], real);
          b.spDotProductKernel_32f32fc64fc(f1, f2, len, rd);
          EXPECT_EQ(rd[0], mixedRe);
          EXPECT_EQ(rd[1], mixedIm);
          b.spDotProductKernel_64f64fc(d1, d2, len, rd);
          EXPECT_EQ(rd[0], mixedRe);
          EXPECT_EQ(rd[1], mixedIm);
          b.spDotProductKernel_32f32fc(f1, f2, len, rf);
          EXPECT_EQ(rf[0], mixedRe);
          EXPECT_EQ(rf[1], mixedIm);
          b.spDotProductKernel_32fc64fc(f1, f2, len, rd);
          EXPECT_EQ(rd[0], cre);
          EXPECT_EQ(rd[1], cim);
          b.spDotProductKernel_64fc(d1, d2, len, rd);
          EXPECT_EQ(rd[0], cre);
          EXPECT_EQ(rd[1], cim);
          b.spDotProductKernel_32fc(f1, f2, len, rf);
          EXPECT_EQ(rf[0], cre);
          EXPECT_EQ(rf[1], cim);
          b.spDotProductKernelScaled_32s(i1, i2, len, ri, &one);
          EXPECT_EQ(ri[0], real);
          b.spDotProductKernelScaled_32s32sc(i1, i2, len, ri, &one);
          EXPECT_EQ(ri[0], mixedRe);
          EXPECT_EQ(ri[1], mixedIm);
          b.spDotProductKernelScaled_32sc(i1, i2, len, ri, &one);
          EXPECT_EQ(ri[0], cre);
          EXPECT_EQ(ri[1], cim);
          b.spDotProductKernelScaled_16s32s(h1, i2, len, ri, &one);
          EXPECT_EQ(ri[0], real * 1000);
          b.spDotProductKernelSse2_16s64s(h1, h2, len, rl);
          EXPECT_EQ(rl[0], real * 1000000);
          b.spDotProductKernelSse3_16s64s(h1, h2, len, rl);
          EXPECT_EQ(rl[0], real * 1000000);
          b.spDotProductKernel_16s16sc64sc(h1, h2, len, rl);
          EXPECT_EQ(rl[0], mixedRe * 1000000);
          EXPECT_EQ(rl[1], mixedIm * 1000000);
          b.spDotProductKernel_16sc64sc(h1, h2, len, rl);
          EXPECT_EQ(rl[0], cre * 1000000);
          EXPECT_EQ(rl[1], cim * 1000000);
        }
      }
    }
  }
}

TEST(DotMembers, ContractExamples) {
  vmtest::MxcsrGuard guard;
  for (const vmtest::ModuleKernels& b : kBuilds) {
    alignas(16) int16 m[16];
    for (int16& v : m) v = -32768;
    int64 r[2];
    b.spDotProductKernelSse2_16s64s(m, m, 16, r);
    EXPECT_EQ(r[0], 17179869184ll);
    b.spDotProductKernelSse3_16s64s(m, m, 16, r);
    EXPECT_EQ(r[0], 17179869184ll);
    const int16 u[2] = {1, 2}, w[2] = {3, 4};
    b.spDotProductKernel_16sc64sc(u, w, 1, r);
    EXPECT_EQ(r[0], -5);
    EXPECT_EQ(r[1], 10);
    // A multiplier of 0.5: 5 to 2 and 7 to 4 in every rounding mode; beyond 2^31 saturated.
    const int32 five[2] = {5, 1}, seven[2] = {7, 1}, huge[2] = {2000000000, 2}, ones[2] = {1, 1};
    const double half = 0.5, two = 2.0;
    for (uint32 mode : {0x0000u, 0x2000u, 0x4000u, 0x6000u}) {
      spLoadMxcsr(0x1F80u | mode);
      int32 ri;
      b.spDotProductKernelScaled_32s(five, ones, 1, &ri, &half);
      EXPECT_EQ(ri, 2);
      b.spDotProductKernelScaled_32s(seven, ones, 1, &ri, &half);
      EXPECT_EQ(ri, 4);
      b.spDotProductKernelScaled_32s(huge, huge, 2, &ri, &two);
      EXPECT_EQ(ri, INT_MAX);
      EXPECT_EQ(spGetMxcsr() & ~0x3Fu, 0x1F80u | mode);  // the caller's controls back
    }
  }
}

}  // namespace
