// Integer square-root kernels of one processor build, with a scale factor s: each result
// is sqrt(x) * 2^-s rounded to the nearest integer, ties to even, and saturated; a
// negative element of a signed source gives 0 and makes the result nonzero. Every
// result is exact for every input and scale factor: the floating-point root only
// estimates, and integer comparisons decide. Included inside the build's namespace
// after vm_simd.inl.
//
// The 16-bit signed kernel runs the module's lane steps: one step is chosen by the
// scale factor before the loop, its constants prepared once, and every group of eight
// (the partial head and tail groups too) goes through it by a function pointer.

namespace {

using u128 = unsigned __int128;

template <class T>
inline T MinOf(T a, T b) {
  return b < a ? b : a;
}

// floor(sqrt(v)) for any v below 2^126.
inline uint64 FloorRoot(u128 v) {
  uint64 t = static_cast<uint64>(__builtin_sqrtl(static_cast<long double>(v)));
  while (static_cast<u128>(t) * t > v) --t;
  while (static_cast<u128>(t + 1) * (t + 1) <= v) ++t;
  return t;
}

// sqrt(v) * 2^-s rounded to nearest, ties to even; v below 2^126, s from 0 to 63.
inline uint64 RoundedRoot(u128 v, int s) {
  const uint64 t = FloorRoot(v);
  if (s == 0) return t + (v > static_cast<u128>(t) * t + t ? 1 : 0);
  const uint64 k = t >> s;
  const u128 m = (static_cast<u128>(k) << s) + (static_cast<u128>(1) << (s - 1));
  const u128 m2 = m * m;
  if (v > m2) return k + 1;
  if (v == m2) return k + (k & 1);
  return k;
}

// sqrt(x) * 2^-s for x >= 0 and any s, saturated at limit.
inline uint64 ScaledRoot(uint64 x, int s, uint64 limit) {
  if (x == 0) return 0;
  if (s >= 0) return s >= 64 ? 0 : MinOf<uint64>(RoundedRoot(x, s), limit);
  const int n = -s;
  // x * 4^n at or above 2^126 has a root of at least 2^63: beyond every limit.
  if (n >= 63 || static_cast<u128>(x) >= (static_cast<u128>(1) << (126 - 2 * n))) return limit;
  return MinOf<uint64>(RoundedRoot(static_cast<u128>(x) << (2 * n), 0), limit);
}

// ---------------------------------------------------------------------------------------
// 16-bit signed, by lane steps

struct Root16Step;
using Root16Fn = __m128i (*)(const Root16Step&, __m128i);

struct Root16Step {
  Root16Fn fn;
  int shift;        // 2n for the radicand x * 4^n; s for the positive scale factors
  __m128i limit;    // inputs above it saturate (radicand bands)
  __m128i roundUp;  // 2^(s-1), 32-bit lanes
};

// Eight non-negative 16-bit values (0..32768) squared into two vectors of 32-bit lanes.
inline void Square16(__m128i t, __m128i& lo, __m128i& hi) {
  const __m128i l = _mm_mullo_epi16(t, t);
  const __m128i h = _mm_mulhi_epu16(t, t);
  lo = _mm_unpacklo_epi16(l, h);
  hi = _mm_unpackhi_epi16(l, h);
}

// floor(sqrt(X)) of eight 32-bit radicands below 2^30 (two vectors), as 16-bit lanes.
inline __m128i FloorRoot8(__m128i xl, __m128i xh) {
  const __m128i tl = _mm_cvttps_epi32(_mm_sqrt_ps(_mm_cvtepi32_ps(xl)));
  const __m128i th = _mm_cvttps_epi32(_mm_sqrt_ps(_mm_cvtepi32_ps(xh)));
  // Roots up to 32768 fit unsigned 16-bit lanes; the estimate is within one of the floor.
  __m128i t = _mm_packs_epi32(_mm_sub_epi32(tl, _mm_set1_epi32(32768)), _mm_sub_epi32(th, _mm_set1_epi32(32768)));
  t = _mm_xor_si128(t, _mm_set1_epi16(static_cast<short>(0x8000)));
  __m128i sl, sh;
  Square16(t, sl, sh);
  // t^2 > X: one less (signed compare is exact: both at most 2^30).
  const __m128i over = _mm_packs_epi32(_mm_cmpgt_epi32(sl, xl), _mm_cmpgt_epi32(sh, xh));
  t = _mm_add_epi16(t, over);
  const __m128i t1 = _mm_sub_epi16(t, _mm_set1_epi16(-1));
  Square16(t1, sl, sh);
  // (t + 1)^2 <= X: one more.
  const __m128i under = _mm_packs_epi32(_mm_cmpgt_epi32(sl, xl), _mm_cmpgt_epi32(sh, xh));
  return _mm_sub_epi16(t1, _mm_and_si128(under, _mm_set1_epi16(1)));
}

__m128i Root16Zero(const Root16Step&, __m128i) { return _mm_setzero_si128(); }

__m128i Root16Saturate(const Root16Step&, __m128i x) {
  return _mm_and_si128(_mm_cmpgt_epi16(x, _mm_setzero_si128()), _mm_set1_epi16(32767));
}

// s <= 0: X = min(x, limit) * 4^n below 2^30; rounded root t + (X > t^2 + t); inputs
// above the limit give 32767.
__m128i Root16Radicand(const Root16Step& st, __m128i x) {
  x = _mm_max_epi16(x, _mm_setzero_si128());
  const __m128i sat = _mm_cmpgt_epi16(x, st.limit);
  const __m128i c = _mm_min_epi16(x, st.limit);
  const __m128i count = _mm_cvtsi32_si128(st.shift);
  const __m128i xl = _mm_sll_epi32(_mm_unpacklo_epi16(c, _mm_setzero_si128()), count);
  const __m128i xh = _mm_sll_epi32(_mm_unpackhi_epi16(c, _mm_setzero_si128()), count);
  const __m128i t = FloorRoot8(xl, xh);
  __m128i sl, sh;
  Square16(t, sl, sh);
  const __m128i tl = _mm_unpacklo_epi16(t, _mm_setzero_si128());
  const __m128i th = _mm_unpackhi_epi16(t, _mm_setzero_si128());
  const __m128i up = _mm_packs_epi32(_mm_cmpgt_epi32(xl, _mm_add_epi32(sl, tl)), _mm_cmpgt_epi32(xh, _mm_add_epi32(sh, th)));
  const __m128i r = _mm_sub_epi16(t, up);
  return _mm_or_si128(_mm_andnot_si128(sat, r), _mm_and_si128(sat, _mm_set1_epi16(32767)));
}

// s from 1 to 8: t = floor(sqrt(x)), k = t >> s, midpoint m = k 2^s + 2^(s-1); k + 1 when
// x > m^2, k + (k AND 1) when x = m^2.
__m128i Root16Down(const Root16Step& st, __m128i x) {
  x = _mm_max_epi16(x, _mm_setzero_si128());
  const __m128i xl = _mm_unpacklo_epi16(x, _mm_setzero_si128());
  const __m128i xh = _mm_unpackhi_epi16(x, _mm_setzero_si128());
  const __m128i count = _mm_cvtsi32_si128(st.shift);
  const __m128i k = _mm_srl_epi16(FloorRoot8(xl, xh), count);
  const __m128i m = _mm_add_epi16(_mm_sll_epi16(k, count), _mm_packs_epi32(st.roundUp, st.roundUp));
  __m128i ml, mh;
  Square16(m, ml, mh);
  const __m128i above = _mm_packs_epi32(_mm_cmpgt_epi32(xl, ml), _mm_cmpgt_epi32(xh, mh));
  const __m128i tie = _mm_packs_epi32(_mm_cmpeq_epi32(xl, ml), _mm_cmpeq_epi32(xh, mh));
  const __m128i odd = _mm_and_si128(k, _mm_set1_epi16(1));
  return _mm_add_epi16(_mm_sub_epi16(k, above), _mm_and_si128(tie, odd));
}

Root16Step Root16Select(int s) {
  Root16Step st{};
  if (s >= 9) {
    st.fn = Root16Zero;  // sqrt(32767) / 512 is below 0.5
  } else if (s <= -16) {
    st.fn = Root16Saturate;
  } else if (s <= 0) {
    // Radicands x * 4^n above 32767.5^2 round to 32768 or more.
    st.fn = Root16Radicand;
    st.shift = -2 * s;
    st.limit = _mm_set1_epi16(static_cast<short>(MinOf<int64>(32767, 1073709056LL >> st.shift)));
  } else {
    st.fn = Root16Down;
    st.shift = s;
    st.roundUp = _mm_set1_epi32(1 << (s - 1));
  }
  return st;
}

// One partial group of count (1..7) elements: spare lanes repeat the first element.
inline __m128i Root16Part(const Root16Step& st, const int16* s, int16* d, unsigned count) {
  alignas(16) int16 in[8];
  std::memcpy(in, s, 2 * count);
  for (unsigned i = count; i < 8; ++i) in[i] = in[0];
  const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(in));
  StorePart(d, st.fn(st, x), 2 * count);
  return x;
}

}  // namespace

int spSquareRootKernelScaled_16s(const int16* pSrc, int16* pDst, int len, int scaleFactor) {
  if (len <= 0) return 0;
  const Root16Step st = Root16Select(scaleFactor);
  int64 n = len;
  __m128i signs = _mm_setzero_si128();
  const uptr mis = Addr(pDst) & 0xE;
  if (mis != 0) {
    const unsigned head = static_cast<unsigned>(MinOf<int64>(n, 8 - static_cast<int64>(mis / 2)));
    signs = _mm_or_si128(signs, Root16Part(st, pSrc, pDst, head));
    pSrc += head;
    pDst += head;
    n -= head;
  }
  for (; n >= 8; n -= 8, pSrc += 8, pDst += 8) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSrc));
    signs = _mm_or_si128(signs, x);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pDst), st.fn(st, x));
  }
  if (n > 0) signs = _mm_or_si128(signs, Root16Part(st, pSrc, pDst, static_cast<unsigned>(n)));
  return _mm_movemask_epi8(signs) & 0xAAAA;
}

// ---------------------------------------------------------------------------------------
// The other integer kernels, element by element through the exact integer root.

int spSquareRootKernelScaled_32s16s(const int32* pSrc, int16* pDst, int len, int scaleFactor) {
  int negative = 0;
  for (int64 i = 0; i < len; ++i) {
    const int32 x = LdS(pSrc + i);
    negative |= x < 0;
    StS(pDst + i, static_cast<int16>(ScaledRoot(x < 0 ? 0 : static_cast<uint64>(x), scaleFactor, 32767)));
  }
  return negative;
}

int spSquareRootKernelScaled_64s16s(const int64* pSrc, int16* pDst, int len, int scaleFactor) {
  int negative = 0;
  for (int64 i = 0; i < len; ++i) {
    const int64 x = LdS(pSrc + i);
    negative |= x < 0;
    StS(pDst + i, static_cast<int16>(ScaledRoot(x < 0 ? 0 : static_cast<uint64>(x), scaleFactor, 32767)));
  }
  return negative;
}

int spSquareRootKernelScaled_64s(const int64* pSrc, int64* pDst, int len, int scaleFactor) {
  int negative = 0;
  for (int64 i = 0; i < len; ++i) {
    const int64 x = LdS(pSrc + i);
    negative |= x < 0;
    StS(pDst + i, static_cast<int64>(ScaledRoot(x < 0 ? 0 : static_cast<uint64>(x), scaleFactor, 0x7FFFFFFFFFFFFFFFull)));
  }
  return negative;
}

void spSquareRootKernelScaled_16u(const uint16* pSrc, uint16* pDst, int len, int scaleFactor) {
  for (int64 i = 0; i < len; ++i) StS(pDst + i, static_cast<uint16>(ScaledRoot(LdS(pSrc + i), scaleFactor, 65535)));
}

namespace {

inline int16 Saturate16(int64 v) { return static_cast<int16>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }

// Conversion to integer in the caller's rounding mode.
inline int64 RoundCurrent(double v) { return _mm_cvtsd_si64(_mm_set_sd(v)); }

}  // namespace

// M = |z| rounded; real part round(sqrt(ceil((M + x) / 2))), imaginary part
// round(sqrt(ceil((M - x) / 2))) with the sign of y.
void spSquareRootKernel_16sc(const int16* pSrc, int16* pDst, int len) {
  for (int64 i = 0; i < len; ++i) {
    const int64 x = LdS(pSrc + 2 * i), y = LdS(pSrc + 2 * i + 1);
    const uint64 m = RoundedRoot(static_cast<uint64>(x * x + y * y), 0);
    const int64 a = (static_cast<int64>(m) + x + 1) >> 1;
    const int64 b = (static_cast<int64>(m) - x + 1) >> 1;
    const int64 re = RoundCurrent(__builtin_sqrt(static_cast<double>(a)));
    const int64 im = RoundCurrent(__builtin_sqrt(static_cast<double>(b)));
    StS(pDst + 2 * i, Saturate16(re));
    StS(pDst + 2 * i + 1, Saturate16(y < 0 ? -im : im));
  }
}

namespace {

// The radicand factor 2^(-2s-1), as a double; 0 or +inf beyond the double range.
inline double HalfScale(int s) {
  const int64 e = 1022 - 2 * static_cast<int64>(s);
  if (e <= 0) return 0.0;
  if (e >= 2047) return __builtin_inf();
  const uint64 bits = static_cast<uint64>(e) << 52;
  double k;
  std::memcpy(&k, &bits, 8);
  return k;
}

// Clamped to the 16-bit range, converted in the caller's rounding mode.
inline int16 Convert16(double v) {
  if (!(v >= -32768.0)) return v != v ? 0 : -32768;
  if (v >= 32767.0) return 32767;
  return Saturate16(RoundCurrent(v));
}

// sqrt of a product of a non-negative radicand and k: 0 stays 0 whatever k is.
inline double ScaledSqrt(double r, double k) { return r == 0.0 ? 0.0 : __builtin_sqrt(r * k); }

}  // namespace

// Real part sqrt((|z| + x) k), imaginary part sqrt((|z| - x) k) with the sign of y, where
// k = 2^(-2s-1).
void spSquareRootFastKernelScaled_16sc(const int16* pSrc, int16* pDst, int len, int scaleFactor) {
  const double k = HalfScale(scaleFactor);
  for (int64 i = 0; i < len; ++i) {
    const double x = LdS(pSrc + 2 * i), y = LdS(pSrc + 2 * i + 1);
    const double mag = __builtin_sqrt(x * x + y * y);
    const double re = ScaledSqrt(mag + x, k);
    const double im = ScaledSqrt(mag - x, k);
    StS(pDst + 2 * i, Convert16(re));
    StS(pDst + 2 * i + 1, Convert16(y < 0 ? -im : im));
  }
}

// The stable form: t = sqrt((|z| + |x|) k), u = |y| k / t (0 when t is 0); (t, u) for
// x >= 0, (u, t) otherwise, the imaginary part with the sign of y. With k infinite (s at
// or below -512) a nonzero part saturates and a zero part stays 0.
void spSquareRootKernelScaled_16sc(const int16* pSrc, int16* pDst, int len, int scaleFactor) {
  const double k = HalfScale(scaleFactor);
  for (int64 i = 0; i < len; ++i) {
    const double x = LdS(pSrc + 2 * i), y = LdS(pSrc + 2 * i + 1);
    const double mag = __builtin_sqrt(x * x + y * y);
    const double t = ScaledSqrt(mag + __builtin_fabs(x), k);
    // With k infinite, t is too: a nonzero imaginary part saturates as well.
    const double u = t == 0.0 || y == 0.0 ? 0.0 : (t == __builtin_inf() ? t : __builtin_fabs(y) * k / t);
    const double re = x >= 0 ? t : u;
    const double im = x >= 0 ? u : t;
    StS(pDst + 2 * i, Convert16(re));
    StS(pDst + 2 * i + 1, Convert16(y < 0 ? -im : im));
  }
}

void spLookupKernel_8u(const uint8* pSrc, uint8* pDst, int len, const uint8* pTable) {
  for (int64 i = 0; i < len; ++i) pDst[i] = pTable[pSrc[i]];
}
