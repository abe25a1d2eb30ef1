// Float dot-product kernels of one processor build: single-precision products and sums
// in four four-lane accumulators. spDotProductKernelSse3_32f reads a misaligned operand
// with unaligned loads; spDotProductKernelSsse3_32f (SSSE3 and SSE4.1-class builds)
// reads it with aligned loads recombined by byte alignment, never outside the vector.
// Included inside the build's namespace after vm_simd.inl.

namespace {

inline float Prod(const float* a, const float* b) { return LdS(a) * LdS(b); }

// Up to 15 elements: even positions into E, odd ones into O; O + E.
inline float DotShort(const float* a, const float* b, int64 n) {
  float e = 0.0f, o = 0.0f;
  int64 k = 0;
  for (; k + 2 <= n; k += 2) {
    e = e + Prod(a + k, b + k);
    o = o + Prod(a + k + 1, b + k + 1);
  }
  if (k < n) o = o + Prod(a + k, b + k);
  return o + e;
}

struct DotAcc {
  __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;

  // Pairs into lanes 0 and 1 of A0, a last single into lane 0.
  void Remainder(const float* a, const float* b, int64 n) {
    for (; n >= 2; n -= 2, a += 2, b += 2) {
      const __m128 x = _mm_setr_ps(LdS(a), LdS(a + 1), 0.0f, 0.0f);
      const __m128 y = _mm_setr_ps(LdS(b), LdS(b + 1), 0.0f, 0.0f);
      a0 = _mm_add_ps(a0, _mm_mul_ps(x, y));
    }
    if (n == 1) a0 = _mm_add_ss(a0, _mm_set_ss(Prod(a, b)));
  }
  void Single(const float* a, const float* b) { a0 = _mm_add_ss(a0, _mm_set_ss(Prod(a, b))); }
  // S = (A0 + A1) + (A2 + A3); (S1 + S3) + (S0 + S2).
  float Fold() const {
    alignas(16) float s[4];
    _mm_store_ps(s, _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3)));
    return (s[1] + s[3]) + (s[0] + s[2]);
  }
};

// Rounds of 16 with a on a 16-byte boundary and b read by form K; the rest by Remainder.
template <Load K>
inline void DotRounds16(DotAcc& acc, const float* a, const float* b, int64 n) {
  for (; n >= 16; n -= 16, a += 16, b += 16) {
    acc.a0 = _mm_add_ps(acc.a0, _mm_mul_ps(_mm_load_ps(a), LoadF<K>(b)));
    acc.a1 = _mm_add_ps(acc.a1, _mm_mul_ps(_mm_load_ps(a + 4), LoadF<K>(b + 4)));
    acc.a2 = _mm_add_ps(acc.a2, _mm_mul_ps(_mm_load_ps(a + 8), LoadF<K>(b + 8)));
    acc.a3 = _mm_add_ps(acc.a3, _mm_mul_ps(_mm_load_ps(a + 12), LoadF<K>(b + 12)));
  }
  acc.Remainder(a, b, n);
}

}  // namespace

void spDotProductKernelSse3_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  if (len <= 0) return;
  int64 n = len;
  if (n <= 15) {
    StS(pResult, n > 0 ? DotShort(pSrc1, pSrc2, n) : 0.0f);
    return;
  }
  DotAcc acc;
  // The operand that is brought to a 16-byte boundary: pSrc2, or pSrc1 when only pSrc1
  // is a multiple of 4 bytes. A product does not change when the two are exchanged.
  const float* a = pSrc2;
  const float* b = pSrc1;
  if ((Addr(pSrc2) & 3) != 0 && (Addr(pSrc1) & 3) == 0) {
    a = pSrc1;
    b = pSrc2;
  }
  if (!(Aligned16(a) && Aligned16(b))) {
    for (; n > 0 && !Aligned16(a); --n, ++a, ++b) acc.Single(a, b);
  }
  if (n > 0) {
    if (Aligned16(b)) {
      DotRounds16<Load::Aligned>(acc, a, b, n);
    } else {
      DotRounds16<Load::Lddqu>(acc, a, b, n);
    }
  }
  StS(pResult, acc.Fold());
}

#if SP_VECMATH_BUILD >= 2
namespace {

// a on a 16-byte boundary, b kOff bytes past one (4, 8 or 12); n >= 16. One step of four
// products (unaligned read of b), then rounds of 12 while 16 remain, b read by aligned
// blocks: after the first step, the block holding b's first element holds only elements
// of the vector.
template <int kOff>
inline void DotShifted(DotAcc& acc, const float* a, const float* b, int64 n) {
  acc.a0 = _mm_add_ps(acc.a0, _mm_mul_ps(_mm_load_ps(a), _mm_loadu_ps(b)));
  a += 4;
  b += 4;
  n -= 4;
  if (n >= 16) {
    const __m128i* q = reinterpret_cast<const __m128i*>(b - kOff / 4);
    __m128i prev = _mm_load_si128(q);
    for (; n >= 16; n -= 12, a += 12, q += 3) {
      const __m128i q1 = _mm_load_si128(q + 1);
      const __m128i q2 = _mm_load_si128(q + 2);
      const __m128i q3 = _mm_load_si128(q + 3);
      const __m128 b0 = _mm_castsi128_ps(_mm_alignr_epi8(q1, prev, kOff));
      const __m128 b1 = _mm_castsi128_ps(_mm_alignr_epi8(q2, q1, kOff));
      const __m128 b2 = _mm_castsi128_ps(_mm_alignr_epi8(q3, q2, kOff));
      acc.a0 = _mm_add_ps(acc.a0, _mm_mul_ps(_mm_load_ps(a), b0));
      acc.a1 = _mm_add_ps(acc.a1, _mm_mul_ps(_mm_load_ps(a + 4), b1));
      acc.a2 = _mm_add_ps(acc.a2, _mm_mul_ps(_mm_load_ps(a + 8), b2));
      prev = q3;
    }
    b = reinterpret_cast<const float*>(q) + kOff / 4;
  }
  acc.Remainder(a, b, n);
}

}  // namespace

void spDotProductKernelSsse3_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  if (len <= 0) return;
  int64 n = len;
  if (n <= 15) {
    StS(pResult, n > 0 ? DotShort(pSrc1, pSrc2, n) : 0.0f);
    return;
  }
  DotAcc acc;
  const float* a = pSrc2;
  const float* b = pSrc1;
  if ((Addr(a) & 3) != 0 || (Addr(b) & 3) != 0) {
    acc.Remainder(a, b, n);
  } else {
    if (!Aligned16(a)) {
      if (Aligned16(b)) {
        a = pSrc1;
        b = pSrc2;
      } else {
        for (; n > 0 && !Aligned16(a); --n, ++a, ++b) acc.Single(a, b);
      }
    }
    if (n > 0) {
      switch (Addr(b) & 15) {
        case 0: DotRounds16<Load::Aligned>(acc, a, b, n); break;
        case 4: DotShifted<4>(acc, a, b, n); break;
        case 8: DotShifted<8>(acc, a, b, n); break;
        default: DotShifted<12>(acc, a, b, n); break;
      }
    }
  }
  StS(pResult, acc.Fold());
}
#endif

// ---------------------------------------------------------------------------------------
// The module's other dot products. Complex results are plain sums of products (no
// conjugation), real part first; each accumulator layout fixes the rounding.

namespace {

struct Pair {
  double v[2] = {0.0, 0.0};
  void Add(double a, double b) {
    v[0] += a;
    v[1] += b;
  }
};

inline double W(const float* p) { return static_cast<double>(LdS(p)); }

// Scaled results: saturated, NaN to the most negative value, ties to even.
inline int32 ScaledResult(double sum, double scale) {
  double v = sum * scale;
  if (v > 2147483647.0) return 2147483647;
  if (!(v >= -2147483648.0)) return static_cast<int32>(0x80000000u);
  v = __builtin_nearbyint(v);
  return static_cast<int32>(v);
}

// The scaled kernels round to nearest for their duration.
class NearestRounding {
 public:
  NearestRounding() : saved_(_mm_getcsr()) {
    if ((saved_ & 0x6000u) != 0) _mm_setcsr(saved_ & ~0x6000u);
  }
  ~NearestRounding() {
    if ((saved_ & 0x6000u) != 0) _mm_setcsr(saved_);
  }
  NearestRounding(const NearestRounding&) = delete;
  NearestRounding& operator=(const NearestRounding&) = delete;

 private:
  uint32 saved_;
};

}  // namespace

void spDotProductKernel_32f64f(const float* pSrc1, const float* pSrc2, int len, double* pResult) {
  if (len <= 0) return;
  Pair e, f;
  int64 n = len, k = 0;
  for (; n - k >= 6; k += 6) {
    e.Add(W(pSrc1 + k) * W(pSrc2 + k), W(pSrc1 + k + 1) * W(pSrc2 + k + 1));
    f.Add(W(pSrc1 + k + 2) * W(pSrc2 + k + 2), W(pSrc1 + k + 3) * W(pSrc2 + k + 3));
    e.Add(W(pSrc1 + k + 4) * W(pSrc2 + k + 4), W(pSrc1 + k + 5) * W(pSrc2 + k + 5));
  }
  for (; k < n; ++k) f.v[0] += W(pSrc1 + k) * W(pSrc2 + k);
  StS(pResult, (e.v[0] + f.v[0]) + (e.v[1] + f.v[1]));
}

void spDotProductKernel_32f32fc64fc(const float* pSrc1, const float* pSrc2, int len, double* pResult) {
  if (len <= 0) return;
  Pair e, f;
  int64 n = len, k = 0;
  auto add = [&](Pair& p, int64 i) { p.Add(W(pSrc1 + i) * W(pSrc2 + 2 * i), W(pSrc1 + i) * W(pSrc2 + 2 * i + 1)); };
  if (n > 0 && (Addr(pSrc1) & 7) == 4) add(e, k++);
  for (; n - k >= 4; k += 4) {
    add(e, k);
    add(f, k + 1);
    add(e, k + 2);
    add(f, k + 3);
  }
  for (; k < n; ++k) add(f, k);
  StS(pResult, e.v[0] + f.v[0]);
  StS(pResult + 1, e.v[1] + f.v[1]);
}

void spDotProductKernel_32fc64fc(const float* pSrc1, const float* pSrc2, int len, double* pResult) {
  if (len <= 0) return;
  Pair x, y;
  for (int64 k = 0; k < len; ++k) {
    const double ar = W(pSrc1 + 2 * k), ai = W(pSrc1 + 2 * k + 1), br = W(pSrc2 + 2 * k), bi = W(pSrc2 + 2 * k + 1);
    x.Add(ar * br, ar * bi);
    y.Add(ai * br, ai * bi);
  }
  StS(pResult, x.v[0] - y.v[1]);
  StS(pResult + 1, x.v[1] + y.v[0]);
}

// Float accumulators E and F of two (re, im) lane pairs each: pairs of elements of pSrc2
// go to lane pairs 0 and 1 of E, F, E, ... in rounds of 12 (pSrc2 on 16 bytes) or 6.
void spDotProductKernel_32f32fc(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  if (len <= 0) return;
  float e[4] = {0, 0, 0, 0}, f[4] = {0, 0, 0, 0};
  int64 n = len, k = 0;
  auto add = [&](float* acc, int lanePair, int64 i) {
    const float a = LdS(pSrc1 + i);
    acc[2 * lanePair] = acc[2 * lanePair] + a * LdS(pSrc2 + 2 * i);
    acc[2 * lanePair + 1] = acc[2 * lanePair + 1] + a * LdS(pSrc2 + 2 * i + 1);
  };
  int64 round = 6;
  if (Aligned16(pSrc2)) {
    round = 12;
  } else if ((Addr(pSrc2) & 15) == 8) {
    if (n > 0) add(e, 0, k++);
    round = (Addr(pSrc1) & 3) == 0 ? 12 : 6;
  }
  for (; n - k >= round; k += round) {
    for (int64 p = 0; p < round / 2; ++p) {
      float* acc = p % 2 == 0 ? e : f;
      add(acc, 0, k + 2 * p);
      add(acc, 1, k + 2 * p + 1);
    }
  }
  for (; k < n; ++k) add(e, 0, k);
  const float s[4] = {e[0] + f[0], e[1] + f[1], e[2] + f[2], e[3] + f[3]};
  StS(pResult, s[0] + s[2]);
  StS(pResult + 1, s[1] + s[3]);
}

// Float accumulators X = (u.re v.re, u.re v.im) and Y = (u.im v.re, u.im v.im) in two
// lane pairs (even and odd element offsets); u from pSrc1 unless the roles are exchanged.
void spDotProductKernel_32fc(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  if (len <= 0) return;
  float x[4] = {0, 0, 0, 0}, y[4] = {0, 0, 0, 0};
  auto add = [&](int lanePair, const float* u, const float* v) {
    const float ur = LdS(u), ui = LdS(u + 1), vr = LdS(v), vi = LdS(v + 1);
    x[2 * lanePair] = x[2 * lanePair] + ur * vr;
    x[2 * lanePair + 1] = x[2 * lanePair + 1] + ur * vi;
    y[2 * lanePair] = y[2 * lanePair] + ui * vr;
    y[2 * lanePair + 1] = y[2 * lanePair + 1] + ui * vi;
  };
  int64 k = 0;
  bool exchanged = false;
  if (Aligned16(pSrc1)) {
  } else if (Aligned16(pSrc2)) {
    exchanged = true;
  } else if ((Addr(pSrc1) & 7) == 0 || (Addr(pSrc2) & 7) == 0) {
    if (len > 0) {
      add(0, pSrc1, pSrc2);
      k = 1;
    }
    exchanged = !Aligned16(pSrc1 + 2);
  }
  for (int64 i = 0; k < len; ++k, ++i) {
    if (exchanged) {
      add(static_cast<int>(i & 1), pSrc2 + 2 * k, pSrc1 + 2 * k);
    } else {
      add(static_cast<int>(i & 1), pSrc1 + 2 * k, pSrc2 + 2 * k);
    }
  }
  StS(pResult, (x[0] - y[1]) + (x[2] - y[3]));
  StS(pResult + 1, (x[1] + y[0]) + (x[3] + y[2]));
}

void spDotProductKernel_64f(const double* pSrc1, const double* pSrc2, int len, double* pResult) {
  if (len <= 0) return;
  Pair d[4];
  const double* a = pSrc1;
  const double* b = pSrc2;
  int64 n = len;
  auto p = [&](int64 i) { return LdS(a + i) * LdS(b + i); };
  if (!(Aligned16(a) && Aligned16(b))) {
    // Align pSrc2, or pSrc1 when only pSrc1 is a multiple of 8 bytes.
    const double* lead = ((Addr(pSrc2) & 7) != 0 && (Addr(pSrc1) & 7) == 0) ? a : b;
    while (n > 0 && !Aligned16(lead)) {
      d[0].v[0] += p(0);
      ++a;
      ++b;
      ++lead;
      --n;
    }
  }
  int64 k = 0;
  if (n > 0 && Aligned16(a) && Aligned16(b)) {
    for (; n - k >= 8; k += 8) {
      for (int j = 0; j < 4; ++j) d[j].Add(p(k + 2 * j), p(k + 2 * j + 1));
    }
    for (; n - k >= 2; k += 2) d[0].Add(p(k), p(k + 1));
  } else {
    for (; n - k >= 6; k += 6) {
      for (int j = 0; j < 3; ++j) d[j].Add(p(k + 2 * j), p(k + 2 * j + 1));
    }
  }
  for (; k < n; ++k) d[0].v[0] += p(k);
  const double s0 = (d[0].v[0] + d[1].v[0]) + (d[2].v[0] + d[3].v[0]);
  const double s1 = (d[0].v[1] + d[1].v[1]) + (d[2].v[1] + d[3].v[1]);
  StS(pResult, s0 + s1);
}

void spDotProductKernel_64f64fc(const double* pSrc1, const double* pSrc2, int len, double* pResult) {
  if (len <= 0) return;
  Pair d[4], e, f;
  auto add = [&](Pair& acc, int64 i) { acc.Add(LdS(pSrc1 + i) * LdS(pSrc2 + 2 * i), LdS(pSrc1 + i) * LdS(pSrc2 + 2 * i + 1)); };
  int64 k = 0;
  const int64 n = len;
  if (Aligned16(pSrc2)) {
    for (; n - k >= 4; k += 4) {
      for (int j = 0; j < 4; ++j) add(d[j], k + j);
    }
    for (; k < n; ++k) add(d[0], k);
    StS(pResult, (d[0].v[0] + d[1].v[0]) + (d[2].v[0] + d[3].v[0]));
    StS(pResult + 1, (d[0].v[1] + d[1].v[1]) + (d[2].v[1] + d[3].v[1]));
    return;
  }
  for (; n - k >= 3; k += 3) {
    add(e, k);
    add(f, k + 1);
    add(e, k + 2);
  }
  for (; k < n; ++k) add(d[0], k);
  StS(pResult, d[0].v[0] + (e.v[0] + f.v[0]));
  StS(pResult + 1, d[0].v[1] + (e.v[1] + f.v[1]));
}

void spDotProductKernel_64fc(const double* pSrc1, const double* pSrc2, int len, double* pResult) {
  if (len <= 0) return;
  Pair x, y;
  for (int64 k = 0; k < len; ++k) {
    const double ar = LdS(pSrc1 + 2 * k), ai = LdS(pSrc1 + 2 * k + 1), br = LdS(pSrc2 + 2 * k), bi = LdS(pSrc2 + 2 * k + 1);
    x.Add(ar * br, ar * bi);
    y.Add(ai * br, ai * bi);
  }
  StS(pResult, x.v[0] - y.v[1]);
  StS(pResult + 1, x.v[1] + y.v[0]);
}

void spDotProductKernelScaled_32s(const int32* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale) {
  if (len <= 0) return;
  const NearestRounding nearest;
  Pair e, f;
  auto p = [&](int64 i) { return static_cast<double>(LdS(pSrc1 + i)) * static_cast<double>(LdS(pSrc2 + i)); };
  int64 k = 0;
  const int64 n = len;
  if (n >= 12) {
    for (; n - k >= 12; k += 6) {
      e.Add(p(k), p(k + 1));
      f.Add(p(k + 2), p(k + 3));
      e.Add(p(k + 4), p(k + 5));
    }
  }
  for (; k < n; ++k) e.v[0] += p(k);
  StS(pResult, ScaledResult((e.v[0] + f.v[0]) + (e.v[1] + f.v[1]), LdS(pScale)));
}

void spDotProductKernelScaled_32s32sc(const int32* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale) {
  if (len <= 0) return;
  const NearestRounding nearest;
  Pair e, f;
  auto add = [&](Pair& acc, int64 i) {
    const double a = LdS(pSrc1 + i);
    acc.Add(a * static_cast<double>(LdS(pSrc2 + 2 * i)), a * static_cast<double>(LdS(pSrc2 + 2 * i + 1)));
  };
  int64 k = 0;
  const int64 n = len;
  for (; n >= 8 && n - k >= 8; k += 4) {
    add(e, k);
    add(f, k + 1);
    add(e, k + 2);
    add(f, k + 3);
  }
  for (; k < n; ++k) add(e, k);
  StS(pResult, ScaledResult(e.v[0] + f.v[0], LdS(pScale)));
  StS(pResult + 1, ScaledResult(e.v[1] + f.v[1], LdS(pScale)));
}

void spDotProductKernelScaled_32sc(const int32* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale) {
  if (len <= 0) return;
  const NearestRounding nearest;
  Pair x, y;
  for (int64 k = 0; k < len; ++k) {
    const double ar = LdS(pSrc1 + 2 * k), ai = LdS(pSrc1 + 2 * k + 1);
    const double br = LdS(pSrc2 + 2 * k), bi = LdS(pSrc2 + 2 * k + 1);
    x.Add(ar * br, ar * bi);
    y.Add(ai * br, ai * bi);
  }
  StS(pResult, ScaledResult(x.v[0] - y.v[1], LdS(pScale)));
  StS(pResult + 1, ScaledResult(x.v[1] + y.v[0], LdS(pScale)));
}

void spDotProductKernelScaled_16s32s(const int16* pSrc1, const int32* pSrc2, int len, int32* pResult, const double* pScale) {
  if (len <= 0) return;
  const NearestRounding nearest;
  Pair x, y;
  auto p = [&](int64 i) { return static_cast<double>(LdS(pSrc1 + i)) * static_cast<double>(LdS(pSrc2 + i)); };
  int64 k = 0;
  const int64 n = len;
  for (; k < n && !Aligned16(pSrc1 + k); ++k) x.v[0] += p(k);
  for (; n - k >= 8; k += 8) {
    x.Add(p(k), p(k + 1));
    y.Add(p(k + 2), p(k + 3));
    x.Add(p(k + 4), p(k + 5));
    y.Add(p(k + 6), p(k + 7));
  }
  for (; k < n; ++k) x.v[0] += p(k);
  StS(pResult, ScaledResult((x.v[0] + y.v[0]) + (x.v[1] + y.v[1]), LdS(pScale)));
}

// 16-bit dot products are exact 64-bit sums, whatever the order.
namespace {

inline int64 Dot16(const int16* a, const int16* b, int64 n) {
  int64 s = 0;
  for (int64 k = 0; k < n; ++k) s += static_cast<int64>(LdS(a + k)) * LdS(b + k);
  return s;
}

}  // namespace

void spDotProductKernelSse2_16s64s(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult) {
  if (len <= 0) return;
  StS(pResult, Dot16(pSrc1, pSrc2, len));
}

void spDotProductKernelSse3_16s64s(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult) {
  if (len <= 0) return;
  StS(pResult, Dot16(pSrc1, pSrc2, len));
}

void spDotProductKernel_16s16sc64sc(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult) {
  if (len <= 0) return;
  int64 re = 0, im = 0;
  for (int64 k = 0; k < len; ++k) {
    const int64 a = LdS(pSrc1 + k);
    re += a * LdS(pSrc2 + 2 * k);
    im += a * LdS(pSrc2 + 2 * k + 1);
  }
  StS(pResult, re);
  StS(pResult + 1, im);
}

void spDotProductKernel_16sc64sc(const int16* pSrc1, const int16* pSrc2, int len, int64* pResult) {
  if (len <= 0) return;
  int64 re = 0, im = 0;
  for (int64 k = 0; k < len; ++k) {
    const int64 ar = LdS(pSrc1 + 2 * k), ai = LdS(pSrc1 + 2 * k + 1);
    const int64 br = LdS(pSrc2 + 2 * k), bi = LdS(pSrc2 + 2 * k + 1);
    re += ar * br - ai * bi;
    im += ar * bi + ai * br;
  }
  StS(pResult, re);
  StS(pResult + 1, im);
}
