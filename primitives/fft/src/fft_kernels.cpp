// Transform kernels of the generic build: bit reversal, radix passes and the real split.
#include <cstddef>

#include "fft_simd.h"

#include "sp/fft_kernels.h"

namespace sp::generic {

namespace {

using namespace simd;


// Radix-4 butterfly of two positions; stores the four quarters.
template <bool kInverse>
inline void Butterfly4x2(float* p, std::ptrdiff_t q, __m128 a, __m128 t1, __m128 t2, __m128 t3) {
  const __m128 s1 = _mm_add_ps(a, t1);
  const __m128 d1 = _mm_sub_ps(a, t1);
  const __m128 s2 = _mm_add_ps(t2, t3);
  const __m128 d2 = TimesMinusI(_mm_sub_ps(t2, t3));
  Store2(p, _mm_add_ps(s1, s2));
  Store2(p + 2 * q, _mm_sub_ps(s1, s2));
  Store2(p + q, kInverse ? _mm_sub_ps(d1, d2) : _mm_add_ps(d1, d2));
  Store2(p + 3 * q, kInverse ? _mm_add_ps(d1, d2) : _mm_sub_ps(d1, d2));
}

// Complex product w x (forward) or conj(w) x (inverse), every product rounded before the
// sum, in the operand order the kernels are defined with.
template <bool kInverse>
inline void Twiddle(float xr, float xi, float wr, float wi, float& outR, float& outI) {
  if constexpr (!kInverse) {
    outR = xr * wr - xi * wi;
    outI = xr * wi + xi * wr;
  } else {
    outR = xr * wr + xi * wi;
    outI = xi * wr - xr * wi;
  }
}

// Radix-4 butterfly on A, T1, T2, T3 stored to the four quarters at p, p + q, p + 2q, p + 3q
// (float offsets).
template <bool kInverse>
inline void Butterfly4(float* p, std::ptrdiff_t q, float ar, float ai, float t1r, float t1i,
                       float t2r, float t2i, float t3r, float t3i) {
  const float s1r = ar + t1r, s1i = ai + t1i;
  const float d1r = ar - t1r, d1i = ai - t1i;
  const float s2r = t2r + t3r, s2i = t2i + t3i;
  const float d2r = t2r - t3r, d2i = t2i - t3i;
  p[0] = s1r + s2r;
  p[1] = s1i + s2i;
  p[2 * q] = s1r - s2r;
  p[2 * q + 1] = s1i - s2i;
  if constexpr (!kInverse) {
    p[q] = d1r + d2i;
    p[q + 1] = d1i - d2r;
    p[3 * q] = d1r - d2i;
    p[3 * q + 1] = d1i + d2r;
  } else {
    p[q] = d1r - d2i;
    p[q + 1] = d1i + d2r;
    p[3 * q] = d1r + d2i;
    p[3 * q + 1] = d1i - d2r;
  }
}

// First pass: 4-point transforms of every run of four values.
template <bool kInverse>
void FirstPass(float* d, int32 nc) {
  for (int32 k = 0; k < nc; k += 4, d += 8) {
    const __m128 v0 = Load2(d), v1 = Load2(d + 4);         // (x0, x1), (x2, x3)
    const __m128 u = _mm_movelh_ps(v0, v1);                // (x0, x2)
    const __m128 w = _mm_movehl_ps(v1, v0);                // (x1, x3)
    const __m128 s = _mm_add_ps(u, w);                     // (a, c)
    const __m128 df = _mm_sub_ps(u, w);                    // (b, d)
    const __m128 p = _mm_movelh_ps(s, df);                 // (a, b)
    const __m128 dm = TimesMinusI(df);                     // (., -i d)
    const __m128 qv = _mm_shuffle_ps(s, dm, _MM_SHUFFLE(3, 2, 3, 2));  // (c, -i d)
    const __m128 sum = _mm_add_ps(p, qv);  // (a + c, b - i d)
    const __m128 dif = _mm_sub_ps(p, qv);  // (a - c, b + i d)
    if constexpr (!kInverse) {
      Store2(d, sum);      // y0, y1 = b - i d
      Store2(d + 4, dif);  // y2, y3 = b + i d
    } else {
      Store2(d, _mm_shuffle_ps(sum, dif, _MM_SHUFFLE(3, 2, 1, 0)));      // y0, y1 = b + i d
      Store2(d + 4, _mm_shuffle_ps(dif, sum, _MM_SHUFFLE(3, 2, 1, 0)));  // y2, y3 = b - i d
    }
  }
}

// Radix-2 stage of the odd orders on every run of eight values: y_k = x_k + t_k,
// y_(k+4) = x_k - t_k with t_0 = x4, t_1 = W^(Nc/8) x5, t_2 = -i x6, t_3 = W^(3Nc/8) x7
// (conjugates for the inverse), the eighth turns with one product per component;
// c = cos(pi/4) and c2 = -sin(pi/4) from the table.
template <bool kInverse>
void Radix2Stage(float* d, int32 nc, float c, float c2) {
  const __m128 vc = _mm_set1_ps(c), vc2 = _mm_set1_ps(c2);
  // t_1 = ((re + im) c, (im - re) c) forward, ((re - im) c, (im + re) c) inverse; t_3 the
  // other way round with c2.
  const __m128 sign1 = SignMask(kInverse, !kInverse);
  const __m128 sign3 = SignMask(!kInverse, kInverse);
  for (int32 k = 0; k < nc; k += 8, d += 16) {
    const __m128 x01 = Load2(d), x23 = Load2(d + 4), x45 = Load2(d + 8), x67 = Load2(d + 12);
    const __m128 e5 = _mm_mul_ps(_mm_add_ps(x45, _mm_xor_ps(SwapParts(x45), sign1)), vc);
    const __m128 t01 = _mm_shuffle_ps(x45, e5, _MM_SHUFFLE(3, 2, 1, 0));
    const __m128 q6 =
        kInverse ? _mm_xor_ps(SwapParts(x67), SignMask(true, false)) : TimesMinusI(x67);
    const __m128 e7 = _mm_mul_ps(_mm_add_ps(x67, _mm_xor_ps(SwapParts(x67), sign3)), vc2);
    const __m128 t23 = _mm_shuffle_ps(q6, e7, _MM_SHUFFLE(3, 2, 1, 0));
    Store2(d, _mm_add_ps(x01, t01));
    Store2(d + 4, _mm_add_ps(x23, t23));
    Store2(d + 8, _mm_sub_ps(x01, t01));
    Store2(d + 12, _mm_sub_ps(x23, t23));
  }
}

// W^(Nc/8) x and W^(3 Nc/8) x (conjugated for the inverse) with one product per component.
template <bool kInverse>
inline void EighthTurn(float xr, float xi, float c, float& outR, float& outI) {
  if constexpr (!kInverse) {
    outR = (xr + xi) * c;
    outI = (xi - xr) * c;
  } else {
    outR = (xr - xi) * c;
    outI = (xi + xr) * c;
  }
}
template <bool kInverse>
inline void ThreeEighthTurn(float xr, float xi, float negC, float& outR, float& outI) {
  if constexpr (!kInverse) {
    outR = (xr - xi) * negC;
    outI = (xi + xr) * negC;
  } else {
    outR = (xr + xi) * negC;
    outI = (xi - xr) * negC;
  }
}
// W^(Nc/4) x = -i x (forward), i x (inverse).
template <bool kInverse>
inline void QuarterTurn(float xr, float xi, float& outR, float& outI) {
  if constexpr (!kInverse) {
    outR = xi;
    outI = -xr;
  } else {
    outR = -xi;
    outI = xr;
  }
}

// Radix-4 pass with quarter length 4 on blocks of 16 values.
template <bool kInverse>
void PassL4(float* d, int32 nc, const float* tw) {
  const float* e1 = tw + 6 * (nc / 16);      // entry Nc/16: W^(Nc/16), W^(Nc/8), W^(3Nc/16)
  const float* e3 = tw + 6 * (3 * nc / 16);  // entry 3Nc/16: W^(3Nc/16), W^(3Nc/8), W^(9Nc/16)
  const float c = e1[2];
  const float negC = e1[3];
  for (int32 b = 0; b < nc; b += 16, d += 32) {
    // k = 0: no products.
    Butterfly4<kInverse>(d, 8, d[0], d[1], d[8], d[9], d[16], d[17], d[24], d[25]);
    float t1r, t1i, t2r, t2i, t3r, t3i;
    // k = 1
    float* p = d + 2;
    EighthTurn<kInverse>(p[8], p[9], c, t1r, t1i);
    Twiddle<kInverse>(p[16], p[17], e1[0], e1[1], t2r, t2i);
    Twiddle<kInverse>(p[24], p[25], e1[4], e1[5], t3r, t3i);
    Butterfly4<kInverse>(p, 8, p[0], p[1], t1r, t1i, t2r, t2i, t3r, t3i);
    // k = 2
    p = d + 4;
    EighthTurn<kInverse>(p[16], p[17], c, t2r, t2i);
    QuarterTurn<kInverse>(p[8], p[9], t1r, t1i);
    ThreeEighthTurn<kInverse>(p[24], p[25], negC, t3r, t3i);
    Butterfly4<kInverse>(p, 8, p[0], p[1], t1r, t1i, t2r, t2i, t3r, t3i);
    // k = 3
    p = d + 6;
    ThreeEighthTurn<kInverse>(p[8], p[9], negC, t1r, t1i);
    Twiddle<kInverse>(p[16], p[17], e3[0], e3[1], t2r, t2i);
    Twiddle<kInverse>(p[24], p[25], e3[4], e3[5], t3r, t3i);
    Butterfly4<kInverse>(p, 8, p[0], p[1], t1r, t1i, t2r, t2i, t3r, t3i);
  }
}

// Radix-4 pass with quarter length L >= 8 on blocks of 4L values: positions 0 and 1
// one by one (position 0 has no products), then two positions per step.
template <bool kInverse>
void PassL(float* data, int32 nc, int32 L, const float* tw) {
  const std::ptrdiff_t q = 2 * static_cast<std::ptrdiff_t>(L);
  const std::ptrdiff_t step = 6 * static_cast<std::ptrdiff_t>(nc / (4 * L));
  for (int32 b = 0; b < nc; b += 4 * L) {
    float* d = data + 2 * static_cast<std::ptrdiff_t>(b);
    Butterfly4<kInverse>(d, q, d[0], d[1], d[q], d[q + 1], d[2 * q], d[2 * q + 1], d[3 * q],
                         d[3 * q + 1]);
    {
      const float* e = tw + step;
      float* p = d + 2;
      float t1r, t1i, t2r, t2i, t3r, t3i;
      Twiddle<kInverse>(p[q], p[q + 1], e[2], e[3], t1r, t1i);
      Twiddle<kInverse>(p[2 * q], p[2 * q + 1], e[0], e[1], t2r, t2i);
      Twiddle<kInverse>(p[3 * q], p[3 * q + 1], e[4], e[5], t3r, t3i);
      Butterfly4<kInverse>(p, q, p[0], p[1], t1r, t1i, t2r, t2i, t3r, t3i);
    }
    const float* e = tw + 2 * step;
    for (int32 k = 2; k < L; k += 2, e += 2 * step) {
      float* p = d + 2 * k;
      const float* f = e + step;
      const __m128 t1 = Mul2<kInverse>(Load2(p + q), LoadTwo(e + 2, f + 2));
      const __m128 t2 = Mul2<kInverse>(Load2(p + 2 * q), LoadTwo(e, f));
      const __m128 t3 = Mul2<kInverse>(Load2(p + 3 * q), LoadTwo(e + 4, f + 4));
      Butterfly4x2<kInverse>(p, q, Load2(p), t1, t2, t3);
    }
  }
}

template <bool kInverse>
void RadixPasses(float* data, int32 nc, const float* tw) {
  FirstPass<kInverse>(data, nc);
  int32 L = 4;
  if ((static_cast<uint32>(nc) & 0xAAAAAAAAu) != 0) {
    const float* e = tw + 6 * (nc / 8);
    Radix2Stage<kInverse>(data, nc, e[0], e[1]);
    L = 8;
  } else if (4 * L <= nc) {
    PassL4<kInverse>(data, nc, tw);
    L = 16;
  }
  for (; 4 * L <= nc; L *= 4) PassL<kInverse>(data, nc, L, tw);
}

}  // namespace


void spFftBitReversePermute_32fc(const float* pSrc, float* pDst, int32 Nc, const int32* pTable) {
  const std::ptrdiff_t h = Nc;  // float offset of complex element Nc/2
  const int32* e = pTable;
  for (; *e != 0; e += 2) {
    const std::ptrdiff_t a = e[0], b = e[1];
    Put8(pDst, b, Get8(pSrc, a));
    Put8(pDst, b + 2, Get8(pSrc, h + a));
    Put8(pDst, a, Get8(pSrc, b));
    Put8(pDst, a + 2, Get8(pSrc, h + b));
    Put8(pDst, h + b, Get8(pSrc, a + 2));
    Put8(pDst, h + b + 2, Get8(pSrc, h + a + 2));
    Put8(pDst, h + a, Get8(pSrc, b + 2));
    Put8(pDst, h + a + 2, Get8(pSrc, h + b + 2));
  }
  // The middle value 0, then the self-reversed ones up to the closing 0.
  std::ptrdiff_t a = 0;
  for (;;) {
    Put8(pDst, a, Get8(pSrc, a));
    Put8(pDst, a + 2, Get8(pSrc, h + a));
    Put8(pDst, h + a, Get8(pSrc, a + 2));
    Put8(pDst, h + a + 2, Get8(pSrc, h + a + 2));
    a = *++e;
    if (a == 0) break;
  }
}

void spFftBitReversePermuteInPlace_32fc(float* pData, int32 Nc, const int32* pTable) {
  const std::ptrdiff_t h = Nc;
  auto swap = [pData](std::ptrdiff_t x, std::ptrdiff_t y) {
    const uint64 vx = Get8(pData, x);
    Put8(pData, x, Get8(pData, y));
    Put8(pData, y, vx);
  };
  const int32* e = pTable;
  for (; *e != 0; e += 2) {
    const std::ptrdiff_t a = e[0], b = e[1];
    swap(a, b);
    swap(a + 2, h + b);
    swap(h + a, b + 2);
    swap(h + a + 2, h + b + 2);
  }
  std::ptrdiff_t a = 0;
  for (;;) {
    swap(a + 2, h + a);
    a = *++e;
    if (a == 0) break;
  }
}

void spFftRadixPassesForward_32fc(float* pData, int32 Nc, const float* pTwiddles) {
  RadixPasses<false>(pData, Nc, pTwiddles);
}

void spFftRadixPassesInverse_32fc(float* pData, int32 Nc, const float* pTwiddles) {
  RadixPasses<true>(pData, Nc, pTwiddles);
}

void spFftRealSplitForward_32f(float* pData, int32 Nc, int32 /*direction*/, const float* pPairs) {
  // k = 1 alone, then k, k + 1 with their mirrors j = Nc - k, Nc - k - 1 two at a time.
  {
    float* zk = pData + 2;
    float* zj = pData + 2 * (Nc - 1);
    const float ar = zk[0], ai = zk[1], br = zj[0], bi = zj[1];
    const float sp = pPairs[2], c = pPairs[3];
    const float d = ar - br;
    const float s = ai + bi;
    const float t = c * d + sp * s;
    const float u = s * c - d * sp;
    zk[0] = t + br;
    zj[0] = ar - t;
    zk[1] = u - bi;
    zj[1] = u - ai;
  }
  const __m128 negIm = SignMask(false, true);
  for (int32 k = 2; k < Nc / 2; k += 2) {
    float* pk = pData + 2 * static_cast<std::ptrdiff_t>(k);
    float* pj = pData + 2 * static_cast<std::ptrdiff_t>(Nc - k - 1);
    const __m128 a = Load2(pk);              // Z_k, Z_(k+1)
    const __m128 b = SwapValues(Load2(pj));  // Z_j, Z_(j-1)
    const __m128 ds = RealsImags(_mm_sub_ps(a, b), _mm_add_ps(a, b));  // (d, s)
    // (t, u) = (c d + s' s, s c - d s'): the conjugate product of (d, s) with (c, s').
    const __m128 tu = Mul2<true>(ds, SwapParts(Load2(pPairs + 2 * static_cast<std::ptrdiff_t>(k))));
    const __m128 xk = _mm_add_ps(tu, _mm_xor_ps(b, negIm));                       // (t + br, u - bi)
    const __m128 xj = _mm_sub_ps(RealsImags(a, tu), RealsImags(tu, a));           // (ar - t, u - ai)
    Store2(pk, xk);
    Store2(pj, SwapValues(xj));
  }
  pData[Nc + 1] = -pData[Nc + 1];
}

void spFftRealSplitInverse_32f(const float* pSrc, float* pDst, int32 Nc, int32 /*direction*/,
                               const float* pPairs) {
  {
    const std::ptrdiff_t ik = 2, ij = 2 * static_cast<std::ptrdiff_t>(Nc - 1);
    const float ar = pSrc[ik], ai = pSrc[ik + 1], br = pSrc[ij], bi = pSrc[ij + 1];
    const float c0 = pPairs[2], c1 = pPairs[3];
    const float d = ar - br;
    const float s = ai + bi;
    const float sum = ar + br;
    const float dif = ai - bi;
    const float p = c1 * d - c0 * s;
    const float q = c0 * d + c1 * s;
    pDst[ik] = sum + p;
    pDst[ik + 1] = dif + q;
    pDst[ij] = sum - p;
    pDst[ij + 1] = q - dif;
  }
  for (int32 k = 2; k < Nc / 2; k += 2) {
    const std::ptrdiff_t ik = 2 * static_cast<std::ptrdiff_t>(k);
    const std::ptrdiff_t ij = 2 * static_cast<std::ptrdiff_t>(Nc - k - 1);
    const __m128 a = Load2(pSrc + ik);              // X_k, X_(k+1)
    const __m128 b = SwapValues(Load2(pSrc + ij));  // X_j, X_(j-1)
    const __m128 u = _mm_sub_ps(a, b);              // (d, dif)
    const __m128 v = _mm_add_ps(a, b);              // (sum, s)
    // (p, q) = (c1 d - c0 s, c0 d + c1 s): the product of (d, s) with (c1, c0).
    const __m128 pq = Mul2<false>(RealsImags(u, v), SwapParts(Load2(pPairs + ik)));
    const __m128 sd = RealsImags(v, u);                                   // (sum, dif)
    Store2(pDst + ik, _mm_add_ps(sd, pq));                                // (sum + p, dif + q)
    const __m128 xj = _mm_sub_ps(RealsImags(v, pq), RealsImags(pq, u));  // (sum - p, q - dif)
    Store2(pDst + ij, SwapValues(xj));
  }
  const float mr = pSrc[Nc], mi = pSrc[Nc + 1];
  pDst[Nc] = mr + mr;
  pDst[Nc + 1] = -(mi + mi);
}

}  // namespace sp::generic
