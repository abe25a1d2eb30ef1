// Floating-point division kernels of one processor build, and the division body of its
// slot. Included inside the build's namespace after vm_simd.inl. SSE2 only, so the three
// builds hold the same code.
//
// Single precision takes most quotients from the reciprocal estimate with a third-order
// correction and falls back to true division for a block whose estimate cannot be
// trusted; double precision shares one division among eight divisors (real) or two
// (complex) where the divisors lie well inside the exponent range. Each block's range
// test is a few vector compares on the fast path, and the exact path for a block that
// fails it is out of line. The kernels run under the caller's rounding mode and
// exception masks and change neither.

namespace {

inline __m128 F32(uint32 bits) { return _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(bits))); }
inline __m128d F64(uint64 bits) { return _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(bits))); }
inline __m128 AbsPs(__m128 x) { return _mm_and_ps(x, F32(0x7FFFFFFFu)); }
inline __m128 Select(__m128 mask, __m128 yes, __m128 no) { return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no)); }
inline __m128d Select(__m128d mask, __m128d yes, __m128d no) {
  return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}
// ---- 32f ----------------------------------------------------------------------------

// q = n / d from the estimate r of 1/d: e = 1 - d r, q0 = n r, q = q0 + (e q0 + q0) e.
inline __m128 EstimateQuotient(__m128 d, __m128 n) {
  const __m128 r = _mm_rcp_ps(d);
  const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(d, r));
  const __m128 q0 = _mm_mul_ps(n, r);
  __m128 t = _mm_mul_ps(e, q0);
  t = _mm_add_ps(t, q0);
  t = _mm_mul_ps(t, e);
  return _mm_add_ps(q0, t);
}

// All-ones in the lanes where an estimated quotient can be kept: the divisor is below
// 2^125 in magnitude (so its estimate is not flushed or subnormal) and the quotient is
// finite and at least 2^-125. That leaves out every zero, subnormal, infinite or NaN
// divisor (their estimates are infinite, zero or NaN, and so is the quotient), every
// quotient that overflowed or underflowed on the way, and zero dividends (whose
// quotient keeps its sign only by true division). With a the magnitude bits of q,
// a + 2^23 is above 0x017FFFFF exactly for 0x01000000 <= a <= 0x7F7FFFFF: an infinity
// or NaN wraps to a negative value.
inline __m128i EstimateHolds(__m128 d, __m128 q) {
  const __m128i magnitude = _mm_set1_epi32(0x7FFFFFFF);
  const __m128i a = _mm_and_si128(_mm_castps_si128(q), magnitude);
  const __m128i small = _mm_castps_si128(_mm_cmplt_ps(AbsPs(d), _mm_set1_ps(0x1p125f)));
  return _mm_and_si128(small, _mm_cmpgt_epi32(_mm_add_epi32(a, _mm_set1_epi32(0x00800000)), _mm_set1_epi32(0x017FFFFF)));
}

// True division with the zero-divisor rule: a divisor of +0 or -0 gives +inf for a
// positive dividend, -inf for a negative one and the NaN 0x7FC00000 otherwise, and is
// counted in flag; a NaN divisor gives 0x7FC00000 and is not counted.
inline __m128 ExactQuotient(__m128 d, __m128 n, __m128& flag) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 dz = _mm_cmpeq_ps(d, zero);
  const __m128 special = _mm_or_ps(dz, _mm_cmpunord_ps(d, d));
  const __m128 q = _mm_div_ps(n, Select(special, _mm_set1_ps(1.0f), d));
  const __m128 pos = _mm_cmpgt_ps(n, zero), neg = _mm_cmplt_ps(n, zero);
  const __m128 inf = _mm_or_ps(_mm_and_ps(pos, F32(0x7F800000u)), _mm_and_ps(neg, F32(0xFF800000u)));
  const __m128 useInf = _mm_and_ps(dz, _mm_or_ps(pos, neg));
  flag = _mm_or_ps(flag, dz);
  return Select(special, Select(useInf, inf, F32(0x7FC00000u)), q);
}

// Four lanes: the estimate when all four can take it, else true division for all four.
inline __m128 Divide4(__m128 d, __m128 n, __m128& flag) {
  const __m128 q = EstimateQuotient(d, n);
  if (_mm_movemask_ps(_mm_castsi128_ps(EstimateHolds(d, q))) == 0xF) return q;
  return ExactQuotient(d, n, flag);
}

// Loads of fewer than four floats; the missing lanes are 1.0 in both divisor and
// dividend, so they never count as zero and never force true division.
inline __m128 LoadFew(const float* p, unsigned count) {
  alignas(16) float buf[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  std::memcpy(buf, p, 4 * count);
  return _mm_load_ps(buf);
}
inline void StoreFew(float* p, __m128 v, unsigned count) {
  alignas(16) float buf[4];
  _mm_store_ps(buf, v);
  std::memcpy(p, buf, 4 * count);
}

// The dividends of the 32f kernels: a second vector, or one constant in every lane.
struct VectorDividend {
  const float* p;
  template <Load K>
  __m128 At(uint64 i) const { return LoadF<K>(p + i); }
  __m128 Few(uint64 i, unsigned count) const { return LoadFew(p + i, count); }
  bool Aligned(uint64 i) const { return Aligned16(p + i); }
  bool On4() const { return (Addr(p) & 3) == 0; }
};
struct ConstDividend {
  __m128 v;
  template <Load K>
  __m128 At(uint64) const { return v; }
  __m128 Few(uint64, unsigned) const { return v; }
  bool Aligned(uint64) const { return true; }
  bool On4() const { return true; }
};

// Eight elements per pass. With kWhole the pass takes the estimate only when all eight
// lanes can (the vector kernel); otherwise each half decides alone (the constant one).
template <bool kWhole, Load KD, Load KN, bool kAlignedStore, class N>
void Divide8Blocks(const float* d, const N n, float* o, uint64 i, uint64 blocks, __m128& flag) {
  for (; blocks != 0; --blocks, i += 8) {
    const __m128 d0 = LoadF<KD>(d + i), d1 = LoadF<KD>(d + i + 4);
    const __m128 n0 = n.template At<KN>(i), n1 = n.template At<KN>(i + 4);
    __m128 q0, q1;
    if constexpr (kWhole) {
      q0 = EstimateQuotient(d0, n0);
      q1 = EstimateQuotient(d1, n1);
      const __m128i ok = _mm_and_si128(EstimateHolds(d0, q0), EstimateHolds(d1, q1));
      if (_mm_movemask_ps(_mm_castsi128_ps(ok)) != 0xF) {
        q0 = ExactQuotient(d0, n0, flag);
        q1 = ExactQuotient(d1, n1, flag);
      }
    } else {
      q0 = Divide4(d0, n0, flag);
      q1 = Divide4(d1, n1, flag);
    }
    StoreF<kAlignedStore>(o + i, q0);
    StoreF<kAlignedStore>(o + i + 4, q1);
  }
}

template <bool kWhole, class N>
int DivideDriver32f(const float* d, const N& n, float* o, int len) {
  if (len <= 0) return 0;
  __m128 flag = _mm_setzero_ps();
  const uint64 total = static_cast<uint64>(len);
  uint64 i = 0;
  auto few = [&](unsigned count) {
    StoreFew(o + i, Divide4(LoadFew(d + i, count), n.Few(i, count), flag), count);
    i += count;
  };
  auto rest = [&]() {
    for (; total - i >= 4; i += 4) _mm_storeu_ps(o + i, Divide4(_mm_loadu_ps(d + i), n.template At<Load::Unaligned>(i), flag));
    if (total - i >= 2) few(2);
    if (total - i == 1) few(1);
  };
  if ((Addr(d) & 3) != 0 || !n.On4() || (Addr(o) & 3) != 0) {
    rest();
    return _mm_movemask_ps(flag) != 0;
  }
  if ((Addr(o) & 4) != 0) few(1);
  if ((Addr(o + i) & 8) != 0 && total - i >= 1) few(total - i >= 2 ? 2 : 1);
  if (i == total) return _mm_movemask_ps(flag) != 0;
  const uint64 blocks = (total - i) / 8;
  if (Aligned16(d + i) && n.Aligned(i)) {
    Divide8Blocks<kWhole, Load::Aligned, Load::Aligned, true>(d, n, o, i, blocks, flag);
  } else {
    Divide8Blocks<kWhole, Load::Unaligned, Load::Unaligned, true>(d, n, o, i, blocks, flag);
  }
  i += 8 * blocks;
  rest();
  return _mm_movemask_ps(flag) != 0;
}

// ---- 32fc ---------------------------------------------------------------------------

// The four complex lanes of DivideLanes32fc through double precision.
[[gnu::noinline, gnu::cold]] void DivideLanes32fcWide(__m128 a, __m128 b, __m128 c, __m128 dd, __m128& re,
                                                      __m128& im, __m128& flag) {
  __m128d outRe[2], outIm[2];
  for (int h = 0; h < 2; ++h) {
    auto half = [h](__m128 v) { return _mm_cvtps_pd(h == 0 ? v : _mm_movehl_ps(v, v)); };
    const __m128d A = half(a), B = half(b), C = half(c), D = half(dd);
    const __m128d m = _mm_add_pd(_mm_mul_pd(A, A), _mm_mul_pd(B, B));
    const __m128d mz = _mm_cmpeq_pd(m, _mm_setzero_pd());
    const __m128d mm = Select(mz, _mm_set1_pd(1.0), m);
    const __m128d nan = _mm_and_pd(mz, F64(0x7FF8000000000000ull));
    outRe[h] = _mm_or_pd(_mm_andnot_pd(mz, _mm_div_pd(_mm_add_pd(_mm_mul_pd(A, C), _mm_mul_pd(D, B)), mm)), nan);
    outIm[h] = _mm_or_pd(_mm_andnot_pd(mz, _mm_div_pd(_mm_sub_pd(_mm_mul_pd(A, D), _mm_mul_pd(B, C)), mm)), nan);
    flag = _mm_or_ps(flag, _mm_castpd_ps(mz));
  }
  re = _mm_movelh_ps(_mm_cvtpd_ps(outRe[0]), _mm_cvtpd_ps(outRe[1]));
  im = _mm_movelh_ps(_mm_cvtpd_ps(outIm[0]), _mm_cvtpd_ps(outIm[1]));
}

// Four complex quotients (c + id) / (a + ib), parts already separated. w is refined from
// the estimate of 1 / m, m = a^2 + b^2, by one Newton step; the divisor is scaled first,
// s = (a w, b w), the conjugate of its reciprocal, and then multiplied by the dividend:
// (c sa + d sb, d sa - c sb). No partial product exceeds the quotient's own magnitude,
// so no dividend needs a range test (only a quotient beyond the range can meet an
// overflow, as in a plain division). m must lie within 2^-120..2^120, where the
// estimate is in range and m is not spoiled by underflow; one pair of compares per
// four lanes. Otherwise (also for zero, infinite and NaN divisors) the four lanes go
// through double precision, where the squared modulus of single-precision parts never
// overflows or underflows; only an exact 0 + 0i divisor is a zero divisor (both parts
// the NaN 0x7FC00000).
inline void DivideLanes32fc(__m128 a, __m128 b, __m128 c, __m128 dd, __m128& re, __m128& im, __m128& flag) {
  const __m128 m = _mm_add_ps(_mm_mul_ps(a, a), _mm_mul_ps(b, b));
  const __m128 inRange = _mm_and_ps(_mm_cmpge_ps(m, _mm_set1_ps(0x1p-120f)), _mm_cmple_ps(m, _mm_set1_ps(0x1p120f)));
  if (__builtin_expect(_mm_movemask_ps(inRange) != 0xF, 0)) return DivideLanes32fcWide(a, b, c, dd, re, im, flag);
  const __m128 r = _mm_rcp_ps(m);
  const __m128 w = _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(2.0f), _mm_mul_ps(m, r)), r);
  const __m128 sa = _mm_mul_ps(a, w), sb = _mm_mul_ps(b, w);
  re = _mm_add_ps(_mm_mul_ps(c, sa), _mm_mul_ps(dd, sb));
  im = _mm_sub_ps(_mm_mul_ps(dd, sa), _mm_mul_ps(c, sb));
}

// Four complex elements held as two vectors of (re, im) pairs each.
inline void DivideBlock32fc(__m128 s10, __m128 s11, __m128 s20, __m128 s21, __m128& o0, __m128& o1, __m128& flag) {
  const __m128 a = _mm_shuffle_ps(s10, s11, _MM_SHUFFLE(2, 0, 2, 0));
  const __m128 b = _mm_shuffle_ps(s10, s11, _MM_SHUFFLE(3, 1, 3, 1));
  const __m128 c = _mm_shuffle_ps(s20, s21, _MM_SHUFFLE(2, 0, 2, 0));
  const __m128 dd = _mm_shuffle_ps(s20, s21, _MM_SHUFFLE(3, 1, 3, 1));
  __m128 re, im;
  DivideLanes32fc(a, b, c, dd, re, im, flag);
  o0 = _mm_unpacklo_ps(re, im);
  o1 = _mm_unpackhi_ps(re, im);
}

template <Load K, bool kAlignedStore>
void DivideBlocks32fc(const float* s1, const float* s2, float* o, uint64 blocks, __m128& flag) {
  for (; blocks != 0; --blocks, s1 += 8, s2 += 8, o += 8) {
    __m128 o0, o1;
    DivideBlock32fc(LoadF<K>(s1), LoadF<K>(s1 + 4), LoadF<K>(s2), LoadF<K>(s2 + 4), o0, o1, flag);
    StoreF<kAlignedStore>(o, o0);
    StoreF<kAlignedStore>(o + 4, o1);
  }
}

// One to three complex elements; the spare lanes hold 2 + 2i.
inline void DivideFew32fc(const float* s1, const float* s2, float* o, unsigned count, __m128& flag) {
  alignas(16) float a[8] = {2, 2, 2, 2, 2, 2, 2, 2}, b[8] = {2, 2, 2, 2, 2, 2, 2, 2}, r[8];
  std::memcpy(a, s1, 8 * count);
  std::memcpy(b, s2, 8 * count);
  __m128 o0, o1;
  DivideBlock32fc(_mm_load_ps(a), _mm_load_ps(a + 4), _mm_load_ps(b), _mm_load_ps(b + 4), o0, o1, flag);
  _mm_store_ps(r, o0);
  _mm_store_ps(r + 4, o1);
  std::memcpy(o, r, 8 * count);
}

// ---- 64f ----------------------------------------------------------------------------

// True division: a divisor of +0 or -0 gives the dividend times the NaN
// 0x7FF8000000000000 (that NaN, or a NaN dividend itself) and is counted in flag.
inline __m128d ExactQuotient64(__m128d d, __m128d n, __m128d& flag) {
  const __m128d dz = _mm_cmpeq_pd(d, _mm_setzero_pd());
  const __m128d q = _mm_div_pd(n, Select(dz, _mm_set1_pd(1.0), d));
  flag = _mm_or_pd(flag, dz);
  return Select(dz, _mm_mul_pd(n, F64(0x7FF8000000000000ull)), q);
}

// The high halves of four doubles (exponent and top 20 fraction bits), signs cleared.
inline __m128i HighMagnitudes(__m128d x, __m128d y) {
  const __m128 hi = _mm_shuffle_ps(_mm_castpd_ps(x), _mm_castpd_ps(y), _MM_SHUFFLE(3, 1, 3, 1));
  return _mm_and_si128(_mm_castps_si128(hi), _mm_set1_epi32(0x7FFFFFFF));
}

// All-ones where the high half h of a magnitude lies within lo..hi: h - lo, taken
// unsigned, is at most hi - lo; biased by 2^31 so that one signed compare decides it.
inline __m128i HighInside(__m128i h, uint32 lo, uint32 hi) {
  const __m128i shifted = _mm_add_epi32(h, _mm_set1_epi32(static_cast<int>(0x80000000u - lo)));
  return _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(0x80000000u + (hi - lo) + 1)), shifted);
}

// Eight elements by true division, out of line: the rare pass that fails the range test.
[[gnu::noinline, gnu::cold]] void Exact8x64(const double* s1, const double* s2, double* o, __m128d& flag) {
  for (int j = 0; j < 8; j += 2) {
    _mm_storeu_pd(o + j, ExactQuotient64(_mm_loadu_pd(s1 + j), _mm_loadu_pd(s2 + j), flag));
  }
}

// Eight quotients from one division. Where every divisor lies within 2^-250..2^251 and
// every dividend is below 2^700 in magnitude, no partial product, reciprocal or quotient
// can overflow or leave the normal range other than by a gradual underflow of the
// quotient itself: 1 / (d0 d2 d4 d6 ...) is shared as inv = 1 / ((D0 D2)(D1 D3)), each
// reciprocal is the product of the other three divisors of its lane times inv, and each
// quotient is rounded onto a 64-bit pattern ending in two zero bits (a result up to one
// unit below or two above lands there). The range test looks at the high halves only,
// four values per compare; a zero, subnormal, huge, infinite or NaN operand fails it,
// and the result is false: the caller then divides the eight lanes exactly.
[[gnu::always_inline]] inline bool Divide8x64(const __m128d d[4], const __m128d n[4], __m128d q[4]) {
  constexpr uint32 kDivisorLo = (1023u - 250u) << 20, kDivisorHi = ((1023u + 251u) << 20) - 1;
  const __m128i dividendLimit = _mm_set1_epi32(static_cast<int>((1023u + 700u) << 20));
  const __m128i ok = _mm_and_si128(
      _mm_and_si128(HighInside(HighMagnitudes(d[0], d[1]), kDivisorLo, kDivisorHi),
                    HighInside(HighMagnitudes(d[2], d[3]), kDivisorLo, kDivisorHi)),
      _mm_and_si128(_mm_cmpgt_epi32(dividendLimit, HighMagnitudes(n[0], n[1])),
                    _mm_cmpgt_epi32(dividendLimit, HighMagnitudes(n[2], n[3]))));
  if (__builtin_expect(_mm_movemask_ps(_mm_castsi128_ps(ok)) != 0xF, 0)) return false;
  const __m128d p = _mm_mul_pd(d[0], d[2]), r = _mm_mul_pd(d[1], d[3]);
  const __m128d inv = _mm_div_pd(_mm_set1_pd(1.0), _mm_mul_pd(p, r));
  const __m128d ri = _mm_mul_pd(r, inv), pi = _mm_mul_pd(p, inv);
  const __m128d recip[4] = {_mm_mul_pd(d[2], ri), _mm_mul_pd(d[3], pi), _mm_mul_pd(d[0], ri), _mm_mul_pd(d[1], pi)};
  const __m128i two = _mm_set1_epi64x(2), keep = _mm_set1_epi64x(~3ll);
  #pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    const __m128i bits = _mm_castpd_si128(_mm_mul_pd(n[j], recip[j]));
    q[j] = _mm_castsi128_pd(_mm_and_si128(_mm_add_epi64(bits, two), keep));
  }
  return true;
}

inline double ScalarQuotient64(double d, double n, __m128d& flag) {
  return _mm_cvtsd_f64(ExactQuotient64(_mm_set1_pd(d), _mm_set1_pd(n), flag));
}

template <Load K, bool kAlignedStore>
void DivideBlocks64f(const double* s1, const double* s2, double* o, uint64 blocks, __m128d& flag) {
  for (; blocks != 0; --blocks, s1 += 8, s2 += 8, o += 8) {
    __m128d d[4], n[4], q[4];
    #pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      d[j] = _mm_castsi128_pd(LoadI<K>(s1 + 2 * j));
      n[j] = _mm_castsi128_pd(LoadI<K>(s2 + 2 * j));
    }
    if (!Divide8x64(d, n, q)) {
      Exact8x64(s1, s2, o, flag);
      continue;
    }
    #pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) StoreI<kAlignedStore>(o + 2 * j, _mm_castpd_si128(q[j]));
  }
}

// ---- 64fc ---------------------------------------------------------------------------

// One complex quotient one by one: the squared modulus in extended precision, which
// neither overflows nor underflows for double parts; an exact 0 + 0i divisor, and a
// NaN modulus, give the NaN 0x7FF8000000000000 in both parts.
[[gnu::noinline, gnu::cold]] __m128d DivideOne64fc(__m128d s1, __m128d s2, __m128d& flag) {
  const long double a = _mm_cvtsd_f64(s1), b = _mm_cvtsd_f64(_mm_unpackhi_pd(s1, s1));
  const long double c = _mm_cvtsd_f64(s2), d = _mm_cvtsd_f64(_mm_unpackhi_pd(s2, s2));
  const long double m = a * a + b * b;
  if (m == 0 || m != m) {
    if (m == 0) flag = _mm_or_pd(flag, _mm_castsi128_pd(_mm_set1_epi32(-1)));
    return F64(0x7FF8000000000000ull);
  }
  const double re = static_cast<double>((a * c + d * b) / m);
  const double im = static_cast<double>((a * d - b * c) / m);
  return _mm_set_pd(im, re);
}

// Both elements of a pair one by one (a divisor whose squared modulus is out of range).
[[gnu::noinline, gnu::cold]] void DividePairOneByOne64fc(__m128d x0, __m128d x1, __m128d y0, __m128d y1, __m128d& o0,
                                                         __m128d& o1, __m128d& flag) {
  o0 = DivideOne64fc(x0, y0, flag);
  o1 = DivideOne64fc(x1, y1, flag);
}

// Two complex quotients (c + id) / (a + ib) from one packed division w = 1 / m of both
// squared moduli m = a^2 + b^2. The divisor is scaled first, s = (a w, b w), the
// conjugate of its reciprocal, and then multiplied by the dividend: (c sa + d sb,
// d sa - c sb). No partial product exceeds the quotient's own magnitude, so no dividend
// needs a range test (only a quotient beyond the range can meet an overflow, as in a
// plain division). m must lie within 2^-1000..2^1000, two compares per pair; otherwise
// (also for zero, infinite and NaN divisors) the pair goes one by one, out of line.
inline void DividePair64fc(__m128d x0, __m128d x1, __m128d y0, __m128d y1, __m128d& o0, __m128d& o1, __m128d& flag) {
  const __m128d a = _mm_unpacklo_pd(x0, x1), b = _mm_unpackhi_pd(x0, x1);
  const __m128d c = _mm_unpacklo_pd(y0, y1), d = _mm_unpackhi_pd(y0, y1);
  const __m128d m = _mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b));
  const __m128d inRange = _mm_and_pd(_mm_cmpge_pd(m, _mm_set1_pd(0x1p-1000)), _mm_cmple_pd(m, _mm_set1_pd(0x1p1000)));
  if (__builtin_expect(_mm_movemask_pd(inRange) != 3, 0)) {
    return DividePairOneByOne64fc(x0, x1, y0, y1, o0, o1, flag);
  }
  const __m128d w = _mm_div_pd(_mm_set1_pd(1.0), m);
  const __m128d sa = _mm_mul_pd(a, w), sb = _mm_mul_pd(b, w);
  const __m128d re = _mm_add_pd(_mm_mul_pd(c, sa), _mm_mul_pd(d, sb));
  const __m128d im = _mm_sub_pd(_mm_mul_pd(d, sa), _mm_mul_pd(c, sb));
  o0 = _mm_unpacklo_pd(re, im);
  o1 = _mm_unpackhi_pd(re, im);
}

// Four complex elements from memory, a pair at a time: a pass that failed the range test.
[[gnu::noinline, gnu::cold]] void DivideFourByPairs64fc(const double* s1, const double* s2, double* o, __m128d& flag) {
  for (int j = 0; j < 8; j += 4) {
    __m128d o0, o1;
    DividePair64fc(_mm_loadu_pd(s1 + j), _mm_loadu_pd(s1 + j + 2), _mm_loadu_pd(s2 + j), _mm_loadu_pd(s2 + j + 2), o0,
                   o1, flag);
    _mm_storeu_pd(o + j, o0);
    _mm_storeu_pd(o + j + 2, o1);
  }
}

// Two pairs per pass with one range test.
template <Load K, bool kAlignedStore>
void DivideBlocks64fc(const double* s1, const double* s2, double* o, uint64 blocks, __m128d& flag) {
  auto in = [](const double* p) { return _mm_castsi128_pd(LoadI<K>(p)); };
  auto out = [](double* p, __m128d v) { StoreI<kAlignedStore>(p, _mm_castpd_si128(v)); };
  for (; blocks >= 2; blocks -= 2, s1 += 8, s2 += 8, o += 8) {
    const __m128d x0 = in(s1), x1 = in(s1 + 2), x2 = in(s1 + 4), x3 = in(s1 + 6);
    const __m128d a0 = _mm_unpacklo_pd(x0, x1), b0 = _mm_unpackhi_pd(x0, x1);
    const __m128d a1 = _mm_unpacklo_pd(x2, x3), b1 = _mm_unpackhi_pd(x2, x3);
    const __m128d m0 = _mm_add_pd(_mm_mul_pd(a0, a0), _mm_mul_pd(b0, b0));
    const __m128d m1 = _mm_add_pd(_mm_mul_pd(a1, a1), _mm_mul_pd(b1, b1));
    const __m128d lo = _mm_set1_pd(0x1p-1000), hi = _mm_set1_pd(0x1p1000);
    const __m128d inRange = _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(m0, lo), _mm_cmple_pd(m0, hi)),
                                       _mm_and_pd(_mm_cmpge_pd(m1, lo), _mm_cmple_pd(m1, hi)));
    if (__builtin_expect(_mm_movemask_pd(inRange) != 3, 0)) {
      DivideFourByPairs64fc(s1, s2, o, flag);
      continue;
    }
    const __m128d y0 = in(s2), y1 = in(s2 + 2), y2 = in(s2 + 4), y3 = in(s2 + 6);
    const __m128d c0 = _mm_unpacklo_pd(y0, y1), d0 = _mm_unpackhi_pd(y0, y1);
    const __m128d c1 = _mm_unpacklo_pd(y2, y3), d1 = _mm_unpackhi_pd(y2, y3);
    const __m128d w0 = _mm_div_pd(_mm_set1_pd(1.0), m0), w1 = _mm_div_pd(_mm_set1_pd(1.0), m1);
    const __m128d sa0 = _mm_mul_pd(a0, w0), sb0 = _mm_mul_pd(b0, w0);
    const __m128d sa1 = _mm_mul_pd(a1, w1), sb1 = _mm_mul_pd(b1, w1);
    const __m128d re0 = _mm_add_pd(_mm_mul_pd(c0, sa0), _mm_mul_pd(d0, sb0));
    const __m128d im0 = _mm_sub_pd(_mm_mul_pd(d0, sa0), _mm_mul_pd(c0, sb0));
    const __m128d re1 = _mm_add_pd(_mm_mul_pd(c1, sa1), _mm_mul_pd(d1, sb1));
    const __m128d im1 = _mm_sub_pd(_mm_mul_pd(d1, sa1), _mm_mul_pd(c1, sb1));
    out(o, _mm_unpacklo_pd(re0, im0));
    out(o + 2, _mm_unpackhi_pd(re0, im0));
    out(o + 4, _mm_unpacklo_pd(re1, im1));
    out(o + 6, _mm_unpackhi_pd(re1, im1));
  }
  if (blocks != 0) {
    __m128d o0, o1;
    DividePair64fc(in(s1), in(s1 + 2), in(s2), in(s2 + 2), o0, o1, flag);
    out(o, o0);
    out(o + 2, o1);
  }
}

}  // namespace

int spDivideKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  return DivideDriver32f<true>(pSrc1, VectorDividend{pSrc2}, pDst, len);
}

int spDivideConstByVectorKernel_32f(const float* pSrc, const float* pVal, float* pDst, int len) {
  if (len <= 0) return 0;
  return DivideDriver32f<false>(pSrc, ConstDividend{_mm_set1_ps(LdS(pVal))}, pDst, len);
}

int spDivideKernel_32fc(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (len <= 0) return 0;
  __m128 flag = _mm_setzero_ps();
  uint64 n = static_cast<uint64>(len);
  if ((Addr(pDst) & 15) == 8) {
    DivideFew32fc(pSrc1, pSrc2, pDst, 1, flag);
    pSrc1 += 2, pSrc2 += 2, pDst += 2, --n;
  }
  const uint64 blocks = n / 4;
  if (!Aligned16(pDst)) {
    DivideBlocks32fc<Load::Unaligned, false>(pSrc1, pSrc2, pDst, blocks, flag);
  } else if (Aligned16(pSrc1) && Aligned16(pSrc2)) {
    DivideBlocks32fc<Load::Aligned, true>(pSrc1, pSrc2, pDst, blocks, flag);
  } else {
    DivideBlocks32fc<Load::Unaligned, true>(pSrc1, pSrc2, pDst, blocks, flag);
  }
  const uint64 done = 8 * blocks;
  if (n % 4 != 0) DivideFew32fc(pSrc1 + done, pSrc2 + done, pDst + done, static_cast<unsigned>(n % 4), flag);
  return _mm_movemask_ps(flag) != 0;
}

int spDivideKernel_64f(const double* pSrc1, const double* pSrc2, double* pDst, int len) {
  if (len <= 0) return 0;
  __m128d flag = _mm_setzero_pd();
  uint64 n = static_cast<uint64>(len);
  if ((Addr(pDst) & 15) == 8) {
    StS(pDst, ScalarQuotient64(LdS(pSrc1), LdS(pSrc2), flag));
    ++pSrc1, ++pSrc2, ++pDst, --n;
  }
  const uint64 blocks = n / 8;
  if (!Aligned16(pDst)) {
    DivideBlocks64f<Load::Unaligned, false>(pSrc1, pSrc2, pDst, blocks, flag);
  } else if (Aligned16(pSrc1) && Aligned16(pSrc2)) {
    DivideBlocks64f<Load::Aligned, true>(pSrc1, pSrc2, pDst, blocks, flag);
  } else {
    DivideBlocks64f<Load::Unaligned, true>(pSrc1, pSrc2, pDst, blocks, flag);
  }
  for (uint64 i = 8 * blocks; i < n; ++i) StS(pDst + i, ScalarQuotient64(LdS(pSrc1 + i), LdS(pSrc2 + i), flag));
  return _mm_movemask_pd(flag) != 0;
}

int spDivideKernel_64fc(const double* pSrc1, const double* pSrc2, double* pDst, int len) {
  if (len <= 0) return 0;
  __m128d flag = _mm_setzero_pd();
  const uint64 n = static_cast<uint64>(len), blocks = n / 2;
  if (!Aligned16(pDst)) {
    DivideBlocks64fc<Load::Unaligned, false>(pSrc1, pSrc2, pDst, blocks, flag);
  } else if (Aligned16(pSrc1) && Aligned16(pSrc2)) {
    DivideBlocks64fc<Load::Aligned, true>(pSrc1, pSrc2, pDst, blocks, flag);
  } else {
    DivideBlocks64fc<Load::Unaligned, true>(pSrc1, pSrc2, pDst, blocks, flag);
  }
  if (n % 2 != 0) {
    const uint64 i = 2 * (n - 1);
    const __m128d s1 = _mm_loadu_pd(pSrc1 + i), s2 = _mm_loadu_pd(pSrc2 + i);
    __m128d out, spare;
    DividePair64fc(s1, s1, s2, s2, out, spare, flag);
    _mm_storeu_pd(pDst + i, out);
  }
  return _mm_movemask_pd(flag) != 0;
}

spStatus spDivide_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  return spDivideKernel_32f(pSrc1, pSrc2, pDst, len) != 0 ? SP_WARNING_DIVIDED_BY_ZERO : SP_OK;
}
