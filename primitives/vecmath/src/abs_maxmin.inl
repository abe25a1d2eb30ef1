// Absolute value, maximum and minimum kernels of one processor build. Included inside
// the build's namespace after vm_simd.inl.

namespace {

struct AbsF32 {
  static __m128i Vec(__m128i v) { return _mm_and_si128(v, _mm_srli_epi32(_mm_set1_epi32(-1), 1)); }
};
struct AbsF64 {
  static __m128i Vec(__m128i v) { return _mm_and_si128(v, _mm_srli_epi64(_mm_set1_epi32(-1), 1)); }
};

// Saturating absolute values: -32768 gives 32767, -2147483648 gives 2147483647.
struct AbsS16 {
  static __m128i Vec(__m128i x) {
#if SP_VECMATH_BUILD >= 2
    return _mm_abs_epi16(_mm_max_epi16(x, _mm_set1_epi16(-32767)));
#else
    const __m128i m = _mm_srai_epi16(x, 15);
    return _mm_subs_epi16(_mm_xor_si128(x, m), m);
#endif
  }
};
struct AbsS32 {
  static __m128i Vec(__m128i x) {
#if SP_VECMATH_BUILD >= 2
    const __m128i a = _mm_abs_epi32(x);
    return _mm_xor_si128(a, _mm_srai_epi32(a, 31));
#else
    const __m128i m = _mm_srai_epi32(x, 31);
    const __m128i e = _mm_cmpeq_epi32(x, _mm_set1_epi32(static_cast<int>(0x80000000u)));
    return _mm_sub_epi32(_mm_xor_si128(x, m), _mm_xor_si128(e, m));
#endif
  }
};

// The comparison of the floating-point reductions: max(a, b) = a > b ? a : b and
// min(a, b) = a < b ? a : b, lane by lane (MAXPS/MINPS): on equality or a NaN the second
// operand wins. a is the running value, b the element visited.
struct MaxOp {
  static __m128 V(__m128 a, __m128 b) { return _mm_max_ps(a, b); }
  static __m128d V(__m128d a, __m128d b) { return _mm_max_pd(a, b); }
  static __m128i V(__m128i a, __m128i b) { return _mm_max_epi16(a, b); }
  static float S(float a, float b) { return a > b ? a : b; }
  static double S(double a, double b) { return a > b ? a : b; }
};
struct MinOp {
  static __m128 V(__m128 a, __m128 b) { return _mm_min_ps(a, b); }
  static __m128d V(__m128d a, __m128d b) { return _mm_min_pd(a, b); }
  static __m128i V(__m128i a, __m128i b) { return _mm_min_epi16(a, b); }
  static float S(float a, float b) { return a < b ? a : b; }
  static double S(double a, double b) { return a < b ? a : b; }
};

inline float Lane(__m128 v, int i) {
  alignas(16) float f[4];
  _mm_store_ps(f, v);
  return f[i];
}

// t0 = op(R0, R2), t1 = op(R1, R3), m = op(t0, t1).
template <class Op>
inline float ReduceLanes(__m128 r) {
  return Op::S(Op::S(Lane(r, 0), Lane(r, 2)), Op::S(Lane(r, 1), Lane(r, 3)));
}

template <class Op>
float Extreme32f(const float* x, int len) {
  __m128 r = _mm_set1_ps(LdS(x));
  uint64 n = static_cast<uint64>(len);
  if ((Addr(x) & 3) != 0) {
    for (; n >= 4; n -= 4, x += 4) r = Op::V(r, _mm_loadu_ps(x));
    float m = ReduceLanes<Op>(r);
    for (; n != 0; --n, ++x) m = Op::S(m, LdS(x));
    return m;
  }
  // Head of single elements into lane 0 until x stands on 16 bytes.
  float r0 = LdS(x);
  for (; (Addr(x) & 12) != 0; --n, ++x) {
    if (n == 0) return r0;
    r0 = Op::S(r0, LdS(x));
  }
  if (n == 0) return r0;
  r = _mm_move_ss(r, _mm_set_ss(r0));
  float m;
  if ((Addr(x) & 31) != 0) {
    if (n < 4) {
      m = r0;
      for (; n != 0; --n, ++x) m = Op::S(m, LdS(x));
      return m;
    }
    r = Op::V(r, _mm_load_ps(x));
    x += 4;
    n -= 4;
  }
  if (n >= 16) {
    __m128 a = r, b = r, c = r, e = r;
    for (; n >= 16; n -= 16, x += 16) {
      a = Op::V(a, _mm_load_ps(x));
      b = Op::V(b, _mm_load_ps(x + 4));
      c = Op::V(c, _mm_load_ps(x + 8));
      e = Op::V(e, _mm_load_ps(x + 12));
    }
    a = Op::V(a, c);
    b = Op::V(b, e);
    r = Op::V(a, b);
  }
  for (; n >= 4; n -= 4, x += 4) r = Op::V(r, _mm_load_ps(x));
  m = ReduceLanes<Op>(r);
  for (; n != 0; --n, ++x) m = Op::S(m, LdS(x));
  return m;
}

template <Load K>
inline __m128d LoadD(const double* p) {
  if constexpr (K == Load::Aligned) return _mm_load_pd(p);
  return _mm_loadu_pd(p);
}

template <class Op, Load K>
__m128d Extreme64fSteps(__m128d r, const double*& x, uint64& n) {
  if (n >= 8) {
    __m128d a = r, b = r, c = r, e = r;
    for (; n >= 8; n -= 8, x += 8) {
      a = Op::V(a, LoadD<K>(x));
      b = Op::V(b, LoadD<K>(x + 2));
      c = Op::V(c, LoadD<K>(x + 4));
      e = Op::V(e, LoadD<K>(x + 6));
    }
    a = Op::V(a, b);
    c = Op::V(c, e);
    r = Op::V(a, c);
  }
  if (n >= 4) {
    r = Op::V(r, LoadD<K>(x));
    r = Op::V(r, LoadD<K>(x + 2));
    x += 4;
    n -= 4;
  }
  if (n >= 2) {
    r = Op::V(r, LoadD<K>(x));
    x += 2;
    n -= 2;
  }
  return r;
}

template <class Op>
double Extreme64f(const double* x, int len) {
  __m128d r = _mm_set1_pd(LdS(x));
  uint64 n = static_cast<uint64>(len);
  if ((Addr(x) & 8) != 0) {  // x[0] is already in both lanes
    ++x;
    --n;
  }
  r = Aligned16(x) ? Extreme64fSteps<Op, Load::Aligned>(r, x, n) : Extreme64fSteps<Op, Load::Unaligned>(r, x, n);
  alignas(16) double lane[2];
  _mm_store_pd(lane, r);
  if (n == 1) lane[0] = Op::S(lane[0], LdS(x));
  return Op::S(lane[1], lane[0]);
}

// Exact, so the order does not matter: overlapping vector loads cover short vectors and
// the tail.
template <class Op>
int16 Extreme16s(const int16* x, int len) {
  __m128i r;
  if (len < 8) {
    if (len == 1) return LdS(x);
    const unsigned half = len >= 4 ? 8 : 4;  // bytes of the first and last group
    r = Op::V(LoadPart(x, half), LoadPart(x + len - half / 2, half));
    // The lanes that hold elements repeated over all eight.
    r = half == 4 ? _mm_shuffle_epi32(r, 0x00) : _mm_unpacklo_epi64(r, r);
  } else {
    r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    const int16* end = x + len;
    const int16* p = x;
    uint64 n;
    if ((Addr(p) & 1) == 0 && !Aligned16(p)) p = reinterpret_cast<const int16*>((Addr(p) + 15) & ~uptr{15});
    n = static_cast<uint64>(end - p);
    if (Aligned16(p)) {
      __m128i a = r, b = r, c = r, e = r;
      for (; n >= 32; n -= 32, p += 32) {
        a = Op::V(a, _mm_load_si128(reinterpret_cast<const __m128i*>(p)));
        b = Op::V(b, _mm_load_si128(reinterpret_cast<const __m128i*>(p + 8)));
        c = Op::V(c, _mm_load_si128(reinterpret_cast<const __m128i*>(p + 16)));
        e = Op::V(e, _mm_load_si128(reinterpret_cast<const __m128i*>(p + 24)));
      }
      for (; n >= 8; n -= 8, p += 8) a = Op::V(a, _mm_load_si128(reinterpret_cast<const __m128i*>(p)));
      r = Op::V(Op::V(a, b), Op::V(c, e));
    } else {
      __m128i a = r, b = r, c = r, e = r;
      for (; n >= 32; n -= 32, p += 32) {
        a = Op::V(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        b = Op::V(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)));
        c = Op::V(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        e = Op::V(e, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24)));
      }
      for (; n >= 8; n -= 8, p += 8) a = Op::V(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
      r = Op::V(Op::V(a, b), Op::V(c, e));
    }
    if (n != 0) r = Op::V(r, _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 8)));
  }
  r = Op::V(r, _mm_shuffle_epi32(r, 0x4E));
  r = Op::V(r, _mm_shuffle_epi32(r, 0xB1));
  r = Op::V(r, _mm_shufflelo_epi16(r, 0xB1));
  return static_cast<int16>(_mm_cvtsi128_si32(r));
}

}  // namespace

void spAbsoluteKernel_32f(const float* pSrc, float* pDst, int len) { Unary<float, 4, false, AbsF32>(pSrc, pDst, len); }
void spAbsoluteKernel_64f(const double* pSrc, double* pDst, int len) { Unary<double, 4, false, AbsF64>(pSrc, pDst, len); }
void spAbsoluteKernel_16s(const int16* pSrc, int16* pDst, int len) { Unary<int16, 2, true, AbsS16>(pSrc, pDst, len); }
void spAbsoluteKernel_32s(const int32* pSrc, int32* pDst, int len) { Unary<int32, 2, true, AbsS32>(pSrc, pDst, len); }

void spMaximumKernel_32f(const float* pSrc, int len, float* pMax) { StS(pMax, Extreme32f<MaxOp>(pSrc, len)); }
void spMinimumKernel_32f(const float* pSrc, int len, float* pMin) { StS(pMin, Extreme32f<MinOp>(pSrc, len)); }
void spMaximumKernel_64f(const double* pSrc, int len, double* pMax) { StS(pMax, Extreme64f<MaxOp>(pSrc, len)); }
void spMinimumKernel_64f(const double* pSrc, int len, double* pMin) { StS(pMin, Extreme64f<MinOp>(pSrc, len)); }
void spMaximumKernel_16s(const int16* pSrc, int len, int16* pMax) { StS(pMax, Extreme16s<MaxOp>(pSrc, len)); }
void spMinimumKernel_16s(const int16* pSrc, int len, int16* pMin) { StS(pMin, Extreme16s<MinOp>(pSrc, len)); }
