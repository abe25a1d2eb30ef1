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
