// The kernels must give exactly the results of their scalar definitions (each butterfly
// evaluated in its stated operation order), whatever instructions they use. The scalar
// definitions are written out here once more, plainly, as the reference.
#include <gtest/gtest.h>

#include <cstring>

#include "fft_records.h"
#include "sp/fft_kernels.h"

namespace {

using namespace fft_test;
namespace g = sp::generic;

struct C {
  float re, im;
};

C Get(const std::vector<float>& v, size_t k) { return {v[2 * k], v[2 * k + 1]}; }
void Put(std::vector<float>& v, size_t k, C c) { v[2 * k] = c.re, v[2 * k + 1] = c.im; }

// w x, or conj(w) x for the inverse.
C Mul(C x, C w, bool inv) {
  if (!inv) return {x.re * w.re - x.im * w.im, x.re * w.im + x.im * w.re};
  return {x.re * w.re + x.im * w.im, x.im * w.re - x.re * w.im};
}

void RefRadixPasses(std::vector<float>& x, int nc, const float* tw, bool inv) {
  auto W = [&](int entry, int j) { return C{tw[6 * entry + 2 * j], tw[6 * entry + 2 * j + 1]}; };
  for (int r = 0; r < nc; r += 4) {
    const C x0 = Get(x, r), x1 = Get(x, r + 1), x2 = Get(x, r + 2), x3 = Get(x, r + 3);
    const C a{x0.re + x1.re, x0.im + x1.im}, b{x0.re - x1.re, x0.im - x1.im};
    const C c{x2.re + x3.re, x2.im + x3.im}, d{x2.re - x3.re, x2.im - x3.im};
    Put(x, r, {a.re + c.re, a.im + c.im});
    Put(x, r + 2, {a.re - c.re, a.im - c.im});
    const C bmid{b.re + d.im, b.im - d.re}, bpid{b.re - d.im, b.im + d.re};
    Put(x, r + 1, inv ? bpid : bmid);
    Put(x, r + 3, inv ? bmid : bpid);
  }
  int L = 4;
  if (nc & 0xAAAAAAAA) {
    const float c = W(nc / 8, 0).re, c2 = W(nc / 8, 0).im;
    for (int r = 0; r < nc; r += 8) {
      C t[4];
      const C x4 = Get(x, r + 4), x5 = Get(x, r + 5), x6 = Get(x, r + 6), x7 = Get(x, r + 7);
      t[0] = x4;
      if (!inv) {
        t[1] = {(x5.re + x5.im) * c, (x5.im - x5.re) * c};
        t[2] = {x6.im, -x6.re};
        t[3] = {(x7.re - x7.im) * c2, (x7.im + x7.re) * c2};
      } else {
        t[1] = {(x5.re - x5.im) * c, (x5.im + x5.re) * c};
        t[2] = {-x6.im, x6.re};
        t[3] = {(x7.re + x7.im) * c2, (x7.im - x7.re) * c2};
      }
      for (int k = 0; k < 4; ++k) {
        const C xk = Get(x, r + k);
        Put(x, r + k, {xk.re + t[k].re, xk.im + t[k].im});
        Put(x, r + k + 4, {xk.re - t[k].re, xk.im - t[k].im});
      }
    }
    L = 8;
  }
  for (; 4 * L <= nc; L *= 4) {
    for (int blk = 0; blk < nc; blk += 4 * L) {
      for (int k = 0; k < L; ++k) {
        const C A = Get(x, blk + k), B = Get(x, blk + k + L), Cc = Get(x, blk + k + 2 * L),
                D = Get(x, blk + k + 3 * L);
        C T1 = B, T2 = Cc, T3 = D;
        const int e = k * nc / (4 * L);
        if (L == 4 && k > 0) {
          const float c = W(nc / 16, 1).re, nc_ = W(nc / 16, 1).im;
          auto eighth = [&](C v) {
            return inv ? C{(v.re - v.im) * c, (v.im + v.re) * c} : C{(v.re + v.im) * c, (v.im - v.re) * c};
          };
          auto threeEighths = [&](C v) {
            return inv ? C{(v.re + v.im) * nc_, (v.im - v.re) * nc_} : C{(v.re - v.im) * nc_, (v.im + v.re) * nc_};
          };
          auto quarter = [&](C v) { return inv ? C{-v.im, v.re} : C{v.im, -v.re}; };
          if (k == 1) T1 = eighth(B), T2 = Mul(Cc, W(e, 0), inv), T3 = Mul(D, W(e, 2), inv);
          if (k == 2) T1 = quarter(B), T2 = eighth(Cc), T3 = threeEighths(D);
          if (k == 3) T1 = threeEighths(B), T2 = Mul(Cc, W(e, 0), inv), T3 = Mul(D, W(e, 2), inv);
        } else if (k > 0) {
          T1 = Mul(B, W(e, 1), inv), T2 = Mul(Cc, W(e, 0), inv), T3 = Mul(D, W(e, 2), inv);
        }
        const C s1{A.re + T1.re, A.im + T1.im}, d1{A.re - T1.re, A.im - T1.im};
        const C s2{T2.re + T3.re, T2.im + T3.im}, d2{T2.re - T3.re, T2.im - T3.im};
        Put(x, blk + k, {s1.re + s2.re, s1.im + s2.im});
        Put(x, blk + k + 2 * L, {s1.re - s2.re, s1.im - s2.im});
        const C minus{d1.re + d2.im, d1.im - d2.re}, plus{d1.re - d2.im, d1.im + d2.re};
        Put(x, blk + k + L, inv ? plus : minus);
        Put(x, blk + k + 3 * L, inv ? minus : plus);
      }
    }
  }
}

void RefSplitForward(std::vector<float>& z, int nc, const float* pr) {
  for (int k = 1; k < nc / 2; ++k) {
    const int j = nc - k;
    const float ar = z[2 * k], ai = z[2 * k + 1], br = z[2 * j], bi = z[2 * j + 1];
    const float sp = pr[2 * k], c = pr[2 * k + 1];
    const float d = ar - br, s = ai + bi;
    const float t = c * d + sp * s, u = s * c - d * sp;
    z[2 * k] = t + br;
    z[2 * j] = ar - t;
    z[2 * k + 1] = u - bi;
    z[2 * j + 1] = u - ai;
  }
  z[nc + 1] = -z[nc + 1];
}

void RefSplitInverse(const std::vector<float>& x, std::vector<float>& y, int nc, const float* pr) {
  for (int k = 1; k < nc / 2; ++k) {
    const int j = nc - k;
    const float ar = x[2 * k], ai = x[2 * k + 1], br = x[2 * j], bi = x[2 * j + 1];
    const float c0 = pr[2 * k], c1 = pr[2 * k + 1];
    const float d = ar - br, s = ai + bi, sum = ar + br, dif = ai - bi;
    const float p = c1 * d - c0 * s, q = c0 * d + c1 * s;
    y[2 * k] = sum + p;
    y[2 * k + 1] = dif + q;
    y[2 * j] = sum - p;
    y[2 * j + 1] = q - dif;
  }
  y[nc] = x[nc] + x[nc];
  y[nc + 1] = -(x[nc + 1] + x[nc + 1]);
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(FftExactness, RadixPassesEqualTheirScalarDefinitionBitForBit) {
  for (int m = 3; m <= 10; ++m) {
    const int nc = 1 << m;
    std::vector<float> tw(6 * (nc / 4 + 1) + 8);
    g::spFftMakeTwiddles_32fc(m, g::spFftQuarterSineTable, 10, tw.data());
    for (bool inv : {false, true}) {
      std::vector<float> x = RandomFloats(2 * size_t(nc), 1000 + m + (inv ? 50 : 0));
      x[3] = -0.0f;  // signed zeros and exact cancellations travel the same way
      x[6] = x[4];
      std::vector<float> ref = x;
      RefRadixPasses(ref, nc, tw.data(), inv);
      if (inv) {
        g::spFftRadixPassesInverse_32fc(x.data(), nc, tw.data());
      } else {
        g::spFftRadixPassesForward_32fc(x.data(), nc, tw.data());
      }
      EXPECT_TRUE(SameBits(x, ref)) << "order " << m << (inv ? " inverse" : " forward");
    }
  }
}

TEST(FftExactness, RealSplitsEqualTheirScalarDefinitionBitForBit) {
  for (int order = 4; order <= 12; ++order) {
    auto rec = Build(true, order, SP_FFT_NO_SCALE);
    ASSERT_TRUE(rec);
    const int nc = 1 << (order - 1);
    std::vector<float> z = RandomFloats(2 * size_t(nc), 1100 + order);
    std::vector<float> ref = z;
    RefSplitForward(ref, nc, rec->header->splitTwiddlesForward);
    g::spFftRealSplitForward_32f(z.data(), nc, 1, rec->header->splitTwiddlesForward);
    EXPECT_TRUE(SameBits(z, ref)) << "forward, order " << order;

    const std::vector<float> x = RandomFloats(2 * size_t(nc), 1200 + order);
    std::vector<float> yref(x.size(), 0.0f), y(x.size(), 0.0f);
    RefSplitInverse(x, yref, nc, rec->header->splitTwiddlesInverse);
    g::spFftRealSplitInverse_32f(x.data(), y.data(), nc, -1, rec->header->splitTwiddlesInverse);
    EXPECT_TRUE(SameBits(y, yref)) << "inverse, order " << order;
    std::vector<float> inPlace = x;
    g::spFftRealSplitInverse_32f(inPlace.data(), inPlace.data(), nc, -1, rec->header->splitTwiddlesInverse);
    inPlace[0] = inPlace[1] = 0.0f;  // element 0 is the caller's
    EXPECT_TRUE(SameBits(inPlace, yref)) << "inverse in place, order " << order;
  }
}

TEST(FftExactness, OuterPassesEqualTheirScalarDefinitionBitForBit) {
  for (int m : {11, 12}) {
    auto rec = Build(false, m, SP_FFT_NO_SCALE);
    ASSERT_TRUE(rec);
    const float* tw = rec->header->outerTwiddles;
    const int n = 1 << m;
    for (bool inv : {false, true}) {
      std::vector<float> x = RandomFloats(2 * size_t(n), 1300 + m + (inv ? 7 : 0));
      std::vector<float> ref = x;
      for (int L = 1024; L <= n / 2; L *= 2) {
        for (int b = 0; b < n; b += 2 * L) {
          for (int k = 0; k < L; ++k) {
            const int e = (k < L / 2 ? k : k - L / 2) * (n / (2 * L));
            C w{tw[2 * e], tw[2 * e + 1]};
            if (k >= L / 2) w = {w.im, -w.re};  // -i W
            const C xv = Get(ref, b + k), u = Mul(Get(ref, b + k + L), w, inv);
            Put(ref, b + k, {xv.re + u.re, xv.im + u.im});
            Put(ref, b + k + L, {xv.re - u.re, xv.im - u.im});
          }
        }
      }
      if (inv) {
        g::spFftOuterPassesInverse_32fc(x.data(), n, 1024, tw, 0, 256);
      } else {
        g::spFftOuterPassesForward_32fc(x.data(), n, 1024, tw, 1, 256);
      }
      EXPECT_TRUE(SameBits(x, ref)) << "order " << m << (inv ? " inverse" : " forward");
    }
  }
}

}  // namespace
