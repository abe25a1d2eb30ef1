// Exponential and natural-logarithm kernels of one processor build. Included inside the
// build's namespace after vm_simd.inl.
//
// Exponential: x = n ln 2 + r with |r| <= ln 2 / 2 (ln 2 in two parts), e^r by the (3,3)
// rational approximation P / Q, taken as 1 + 2 odd(r) / Q, whose division is a
// reciprocal estimate and one Newton step,
// and 2^n applied in two exact halves so that every n of the finite range (-126..128)
// works. Elements at or below -87.3365478515625 give +0, at or above 88.72283935546875
// +inf (the generic build's bounds: everything between has a finite result).
//
// Logarithm: x = 2^k f with f in [sqrt(2)/2, sqrt(2)), s = (f - 1) / (f + 1) and
// ln x = k ln 2 + 2 artanh(s) by an odd polynomial of degree 9, in single precision.
// Blocks of eight share one division; subnormals are normalised before the split.

namespace {

// ---------------------------------------------------------------------------------------
// Exponential

struct ExpConst {
  __m128 log2e = _mm_set1_ps(1.4426950216293335f);
  __m128 shifter = _mm_set1_ps(12582912.0f);  // 1.5 * 2^23
  __m128 ln2Hi = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0xBF318000u)));  // -0.693359375
  __m128 ln2Lo = _mm_castsi128_ps(_mm_set1_epi32(0x395E8083));
  __m128 ten = _mm_set1_ps(10.0f);
  __m128 fifty = _mm_set1_ps(50.0f);
  __m128 twelve = _mm_set1_ps(12.0f);
  __m128 two = _mm_set1_ps(2.0f);
  __m128 oneF = _mm_set1_ps(1.0f);
  __m128i one = _mm_set1_epi32(0x3F800000);
  __m128 lowBound = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0xC2AEAC50u)));
  __m128i highBound = _mm_set1_epi32(0x42B17217);
};

// e^x of four lanes; special receives the lanes outside the working range.
inline __m128 ExpVec(const ExpConst& c, __m128 x, __m128& special) {
  const __m128 under = _mm_cmple_ps(x, c.lowBound);
  const __m128 over = _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_castps_si128(x), c.highBound));
  special = _mm_or_ps(under, over);
  const __m128 t = _mm_add_ps(_mm_mul_ps(x, c.log2e), c.shifter);
  const __m128 n = _mm_sub_ps(t, c.shifter);
  // n from the low 16 bits of t's pattern, as a signed value.
  const __m128i ni = _mm_srai_epi32(_mm_slli_epi32(_mm_castps_si128(t), 16), 16);
  const __m128 r = _mm_add_ps(_mm_add_ps(x, _mm_mul_ps(n, c.ln2Hi)), _mm_mul_ps(n, c.ln2Lo));
  const __m128 a = _mm_add_ps(_mm_mul_ps(r, r), c.ten);
  const __m128 odd = _mm_mul_ps(_mm_add_ps(a, c.fifty), r);
  const __m128 even = _mm_mul_ps(a, c.twelve);
  const __m128 q = _mm_sub_ps(even, odd);
  const __m128 y0 = _mm_rcp_ps(q);
  const __m128 y = _mm_mul_ps(y0, _mm_sub_ps(c.two, _mm_mul_ps(q, y0)));
  // P / Q = 1 + 2 odd / Q: the reciprocal's error reaches only the correction term, and
  // e^0 is exactly 1.
  const __m128 er = _mm_add_ps(c.oneF, _mm_mul_ps(_mm_add_ps(odd, odd), y));
  // 2^n as 2^(n >> 1) * 2^(n - (n >> 1)): both halves are normal for n in -126..128.
  const __m128i n1 = _mm_srai_epi32(ni, 1);
  const __m128i n2 = _mm_sub_epi32(ni, n1);
  const __m128 p1 = _mm_castsi128_ps(_mm_add_epi32(c.one, _mm_slli_epi32(n1, 23)));
  const __m128 p2 = _mm_castsi128_ps(_mm_add_epi32(c.one, _mm_slli_epi32(n2, 23)));
  return _mm_mul_ps(_mm_mul_ps(er, p1), p2);
}

// The stored value of a lane outside the working range, from its bits.
inline uint32 ExpSpecial(uint32 w) {
  if ((w & 0x80000000u) != 0) return 0;  // at or below the low bound, -inf
  return (w & 0x7FC00000u) == 0x7FC00000u ? 0x7FC00000u : 0x7F800000u;
}

// Stores count (1..4) results of the group loaded from x; lanes out of range one by one.
inline void ExpStore(float* d, __m128 x, __m128 y, __m128 special, unsigned count) {
  const int mask = _mm_movemask_ps(special);
  if (mask == 0) {
    if (count == 4) {
      _mm_storeu_ps(d, y);
    } else {
      StorePart(d, _mm_castps_si128(y), 4 * count);
    }
    return;
  }
  alignas(16) uint32 xs[4], ys[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(xs), _mm_castps_si128(x));
  _mm_store_si128(reinterpret_cast<__m128i*>(ys), _mm_castps_si128(y));
  for (unsigned l = 0; l < count; ++l) {
    const uint32 v = ((mask >> l) & 1) != 0 ? ExpSpecial(xs[l]) : ys[l];
    std::memcpy(d + l, &v, sizeof v);
  }
}

// Clears the five exception flags other than precision when any is raised.
inline void ClearExpFlags() {
  const uint32 m = _mm_getcsr();
  if ((m & 0x1Fu) != 0) _mm_setcsr(m & 0xFFE0u);
}

}  // namespace

void spExponentialKernel_32f(const float* pSrc, float* pDst, int len) {
  const ExpConst c;
  int64 n = len;
  // Four independent groups per step; each group is loaded before it is stored.
  for (; n >= 16; n -= 16, pSrc += 16, pDst += 16) {
    __m128 x[4], y[4], sp[4];
    #pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) x[j] = _mm_loadu_ps(pSrc + 4 * j);
    #pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) y[j] = ExpVec(c, x[j], sp[j]);
    const __m128 any = _mm_or_ps(_mm_or_ps(sp[0], sp[1]), _mm_or_ps(sp[2], sp[3]));
    if (_mm_movemask_ps(any) == 0) {
      #pragma GCC unroll 4
      for (int j = 0; j < 4; ++j) _mm_storeu_ps(pDst + 4 * j, y[j]);
    } else {
      for (int j = 0; j < 4; ++j) ExpStore(pDst + 4 * j, x[j], y[j], sp[j], 4);
    }
  }
  for (; n >= 4; n -= 4, pSrc += 4, pDst += 4) {
    __m128 special;
    const __m128 x = _mm_loadu_ps(pSrc);
    const __m128 y = ExpVec(c, x, special);
    ExpStore(pDst, x, y, special, 4);
  }
  if (n > 0) {
    // The last one to three elements repeated into a full group: x0 x0 x0 x0,
    // x0 x1 x0 x1, x0 x1 x2 x2.
    const float x0 = LdS(pSrc);
    const float x1 = n > 1 ? LdS(pSrc + 1) : x0;
    const float x2 = n > 2 ? LdS(pSrc + 2) : x0;
    const float x3 = n > 2 ? x2 : x1;
    const __m128 x = _mm_setr_ps(x0, x1, x2, x3);
    __m128 special;
    const __m128 y = ExpVec(c, x, special);
    ExpStore(pDst, x, y, special, static_cast<unsigned>(n));
  }
  ClearExpFlags();
}

namespace {

// ---------------------------------------------------------------------------------------
// Natural logarithm, 32-bit method

struct LogConst {
  __m128 c9 = _mm_castsi128_ps(_mm_set1_epi32(0x3E7353DA));
  __m128 c7 = _mm_castsi128_ps(_mm_set1_epi32(0x3E920CCA));
  __m128 c5 = _mm_castsi128_ps(_mm_set1_epi32(0x3ECCCD95));
  __m128 c3 = _mm_castsi128_ps(_mm_set1_epi32(0x3F2AAAAA));
  __m128 c1 = _mm_set1_ps(2.0f);
  __m128 ln2 = _mm_castsi128_ps(_mm_set1_epi32(0x3F317218));
  __m128 one = _mm_set1_ps(1.0f);
  __m128i expMask = _mm_set1_epi32(static_cast<int>(0xFF800000u));
  __m128i fracMask = _mm_set1_epi32(0x007FFFFF);
  __m128i sqrt2Frac = _mm_set1_epi32(0x003504F2);
  __m128i half = _mm_set1_epi32(0x3F000000);
  __m128i oneBits = _mm_set1_epi32(0x3F800000);
  __m128i kLow = _mm_set1_epi32(-62);
  __m128i kHigh = _mm_set1_epi32(63);
};

// x = 2^k f, f in [0.70710677, 1.4142134), from the bit pattern (biased exponent used as
// it stands); k as float. kInt receives k for the per-lane test.
inline __m128 LogSplit(const LogConst& c, __m128i w, __m128& kf, __m128i& kInt) {
  const __m128i frac = _mm_and_si128(w, c.fracMask);
  const __m128i small = _mm_cmplt_epi32(frac, c.sqrt2Frac);
  const __m128i k = _mm_add_epi32(_mm_srai_epi32(_mm_sub_epi32(_mm_and_si128(w, c.expMask), c.half), 23), small);
  const __m128i f = _mm_or_si128(frac, _mm_or_si128(c.half, _mm_and_si128(small, _mm_set1_epi32(0x00800000))));
  kInt = k;
  kf = _mm_cvtepi32_ps(k);
  return _mm_castsi128_ps(f);
}

// k ln 2 + s p(s^2).
inline __m128 LogPoly(const LogConst& c, __m128 s, __m128 kf) {
  const __m128 z = _mm_mul_ps(s, s);
  __m128 p = _mm_add_ps(_mm_mul_ps(c.c9, z), c.c7);
  p = _mm_add_ps(_mm_mul_ps(p, z), c.c5);
  p = _mm_add_ps(_mm_mul_ps(p, z), c.c3);
  p = _mm_add_ps(_mm_mul_ps(p, z), c.c1);
  return _mm_add_ps(_mm_mul_ps(p, s), _mm_mul_ps(kf, c.ln2));
}

inline __m128i LogOutOfRange(const LogConst& c, __m128i k) {
  return _mm_or_si128(_mm_cmplt_epi32(k, c.kLow), _mm_cmpgt_epi32(k, c.kHigh));
}

// Logarithm of one group with its own division (the short path).
inline __m128 LogShort(const LogConst& c, __m128 x, __m128i& out) {
  __m128 kf;
  __m128i k;
  const __m128 f = LogSplit(c, _mm_castps_si128(x), kf, k);
  out = LogOutOfRange(c, k);
  const __m128 s = _mm_div_ps(_mm_sub_ps(f, c.one), _mm_add_ps(f, c.one));
  return LogPoly(c, s, kf);
}

// The stored value of an element of a group that needs individual treatment, and the
// flag it raises. A positive subnormal is scaled by 2^24 (exact) before the split, and
// its k lowered by 24.
inline uint32 LogSingle(const LogConst& c, uint32 w, uint32 computed, int& flags) {
  if (w == 0) {
    if (flags == 0) flags = 2;
    return 0xFF800000u;
  }
  if ((w & 0x80000000u) != 0) {
    if (flags == 0) flags = 4;
    return 0xFFC00000u;
  }
  if (w == 0x7F800000u) return w;
  if (w > 0x7F800000u) return w | 0x00400000u;
  if (w < 0x00800000u) {
    const __m128 x = _mm_mul_ps(_mm_castsi128_ps(_mm_cvtsi32_si128(static_cast<int>(w))), _mm_set1_ps(16777216.0f));
    __m128 kf;
    __m128i k;
    const __m128 f = LogSplit(c, _mm_castps_si128(x), kf, k);
    kf = _mm_sub_ps(kf, _mm_set1_ps(24.0f));
    const __m128 s = _mm_div_ps(_mm_sub_ps(f, c.one), _mm_add_ps(f, c.one));
    return static_cast<uint32>(_mm_cvtsi128_si32(_mm_castps_si128(LogPoly(c, s, kf))));
  }
  return computed;
}

// Stores count results of a group; when one lane is out of range, every element of the
// group is judged one by one from its source bits.
inline void LogStore(const LogConst& c, float* d, __m128 x, __m128 y, __m128i out, unsigned count, int& flags) {
  if (_mm_movemask_epi8(out) == 0) {
    if (count == 4) {
      _mm_storeu_ps(d, y);
    } else {
      StorePart(d, _mm_castps_si128(y), 4 * count);
    }
    return;
  }
  alignas(16) uint32 xs[4], ys[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(xs), _mm_castps_si128(x));
  _mm_store_si128(reinterpret_cast<__m128i*>(ys), _mm_castps_si128(y));
  for (unsigned l = 0; l < count; ++l) {
    const uint32 v = LogSingle(c, xs[l], ys[l], flags);
    std::memcpy(d + l, &v, sizeof v);
  }
}

// Short path over count elements: groups of four, then one partial group.
inline void LogShortRun(const LogConst& c, const float* s, float* d, int64 count, int& flags) {
  for (; count >= 4; count -= 4, s += 4, d += 4) {
    __m128i out;
    const __m128 x = _mm_loadu_ps(s);
    const __m128 y = LogShort(c, x, out);
    LogStore(c, d, x, y, out, 4, flags);
  }
  if (count > 0) {
    // Spare lanes hold 1.0, which is in range.
    alignas(16) float buf[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    std::memcpy(buf, s, 4 * static_cast<size_t>(count));
    const __m128 x = _mm_load_ps(buf);
    __m128i out;
    const __m128 y = LogShort(c, x, out);
    LogStore(c, d, x, y, out, static_cast<unsigned>(count), flags);
  }
}

}  // namespace

namespace {

// n elements from s into d: the short path (groups of four, each with its own division),
// or with body set and n >= 32 a head up to d's 16-byte boundary, the eight-wide body and
// a short tail.
inline int LogRun(const float* s, float* d, int64 n, bool body) {
  const LogConst c;
  int flags = 0;
  if (n <= 0) return 0;
  if (!body || n < 32) {
    LogShortRun(c, s, d, n, flags);
    return flags;
  }
  const int64 head = static_cast<int64>(((16 - (Addr(d) & 15)) & 15) / 4);
  LogShortRun(c, s, d, head, flags);
  s += head;
  d += head;
  n -= head;
  for (; n >= 8; n -= 8, s += 8, d += 8) {
    const __m128 xa = _mm_loadu_ps(s);
    const __m128 xb = _mm_loadu_ps(s + 4);
    __m128 ka, kb;
    __m128i ia, ib;
    const __m128 a = LogSplit(c, _mm_castps_si128(xa), ka, ia);
    const __m128 b = LogSplit(c, _mm_castps_si128(xb), kb, ib);
    const __m128 a1 = _mm_add_ps(a, c.one);
    const __m128 b1 = _mm_add_ps(b, c.one);
    const __m128 inv = _mm_div_ps(c.one, _mm_mul_ps(a1, b1));
    const __m128 ya = LogPoly(c, _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(a, c.one), b1), inv), ka);
    const __m128 yb = LogPoly(c, _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(b, c.one), a1), inv), kb);
    const __m128i all = _mm_or_si128(LogOutOfRange(c, ia), LogOutOfRange(c, ib));
    LogStore(c, d, xa, ya, all, 4, flags);
    LogStore(c, d + 4, xb, yb, all, 4, flags);
  }
  LogShortRun(c, s, d, n, flags);
  return flags;
}

}  // namespace

// In place; returns 0, or 2 / 4 by the first zero / negative element. The body runs when
// len >= 32 and the array is a multiple of 4 bytes: eight elements per step, the lanes
// i and 4 + i sharing one division. No work area is needed: each step finishes its
// eight elements in registers.
int spNaturalLogKernel_32f(float* pSrcDst, int len, void* /*pBuffer*/) {
  return LogRun(pSrcDst, pSrcDst, len, (Addr(pSrcDst) & 3) == 0);
}

// pSrc and pDst must not overlap. The body runs when pDst is a multiple of 4 bytes and
// both pointers have the same remainder modulo 16.
int spNaturalLogOutOfPlaceKernel_32f(const float* pSrc, float* pDst, int len, void* /*pBuffer*/) {
  const bool body = (Addr(pDst) & 3) == 0 && (Addr(pSrc) & 15) == (Addr(pDst) & 15);
  return LogRun(pSrc, pDst, len, body);
}

void spScaleFromFactor_32f(int scaleFactor, float* pScale) {
  const uint32 bits = 0x3F800000u - static_cast<uint32>(scaleFactor) * 0x00800000u;
  std::memcpy(pScale, &bits, 4);
}

namespace {

// Scaled logarithms of integers: q ln x rounded in the caller's rounding mode, clamped
// to +-2147483520 first; zero and negative elements give the most negative value of
// the destination and the flag. Groups of four with their own division.
template <class Src, class Dst>
int LogScaled(const Src* pSrc, Dst* pDst, int len, float q) {
  const LogConst c;
  const __m128 qv = _mm_set1_ps(q);
  const __m128 qLn2 = _mm_mul_ps(qv, c.ln2);
  const __m128 lo = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0xCEFFFFFFu)));
  const __m128 hi = _mm_castsi128_ps(_mm_set1_epi32(0x4EFFFFFF));
  constexpr int32 kLow = sizeof(Dst) == 2 ? -32768 : static_cast<int32>(0x80000000u);
  int flags = 0;
  for (int64 i = 0; i < len; i += 4) {
    const int64 count = len - i < 4 ? len - i : 4;
    alignas(16) int32 xs[4] = {1, 1, 1, 1};
    for (int64 l = 0; l < count; ++l) xs[l] = LdS(pSrc + i + l);
    const __m128 x = _mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(xs)));
    __m128 kf;
    __m128i k;
    const __m128 f = LogSplit(c, _mm_castps_si128(x), kf, k);
    const __m128 s = _mm_div_ps(_mm_sub_ps(f, c.one), _mm_add_ps(f, c.one));
    const __m128 z = _mm_mul_ps(s, s);
    __m128 p = _mm_add_ps(_mm_mul_ps(c.c9, z), c.c7);
    p = _mm_add_ps(_mm_mul_ps(p, z), c.c5);
    p = _mm_add_ps(_mm_mul_ps(p, z), c.c3);
    p = _mm_add_ps(_mm_mul_ps(p, z), c.c1);
    __m128 y = _mm_add_ps(_mm_mul_ps(p, _mm_mul_ps(s, qv)), _mm_mul_ps(kf, qLn2));
    y = _mm_min_ps(_mm_max_ps(y, lo), hi);
    alignas(16) int32 r[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(r), _mm_cvtps_epi32(y));
    for (int64 l = 0; l < count; ++l) {
      int32 v = r[l];
      if (xs[l] <= 0) {
        if (flags == 0) flags = xs[l] == 0 ? 2 : 4;
        v = kLow;
      } else if (sizeof(Dst) == 2) {
        v = v > 32767 ? 32767 : (v < -32768 ? -32768 : v);
      }
      StS(pDst + i + l, static_cast<Dst>(v));
    }
  }
  return flags;
}

inline float ScaleOf(int scaleFactor) {
  float q;
  spScaleFromFactor_32f(scaleFactor, &q);
  return q;
}

}  // namespace

int spNaturalLogKernelScaled_32s(const int32* pSrc, int32* pDst, int len, const float* pScale, void*) {
  return LogScaled(pSrc, pDst, len, LdS(pScale));
}
int spNaturalLogInPlaceKernelScaled_32s(int32* pSrcDst, int len, const float* pScale, void*) {
  return LogScaled(pSrcDst, pSrcDst, len, LdS(pScale));
}
int spNaturalLogKernelScaled_32s16s(const int32* pSrc, int16* pDst, int len, int scaleFactor, void*) {
  return LogScaled(pSrc, pDst, len, ScaleOf(scaleFactor));
}
int spNaturalLogKernelScaled_16s(const int16* pSrc, int16* pDst, int len, int scaleFactor, void*) {
  return LogScaled(pSrc, pDst, len, ScaleOf(scaleFactor));
}
int spNaturalLogInPlaceKernelScaled_16s(int16* pSrcDst, int len, int scaleFactor, void*) {
  return LogScaled(pSrcDst, pSrcDst, len, ScaleOf(scaleFactor));
}

namespace {

// ---------------------------------------------------------------------------------------
// Natural logarithm, 64-bit method: m in [1, 2) times a short reciprocal r_j from the
// table, u = m r_j - 1, ln(1 + u) by a degree-7 polynomial, ln 2 in two parts.

// ln 2 = hi + lo to within 1e-30. (A low part of 5.4979e-14, bits 0x3D2EF35793C7672E,
// would leave ln 2 itself 3 units in the last place too small.)
constexpr uint64 kLn2HiBits = 0x3FE62E42FEFA37FDull;
constexpr uint64 kLn2LoBits = 0x3D2F235793C76730ull;

inline double D(uint64 bits) {
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}
inline uint64 B(double v) {
  uint64 bits;
  std::memcpy(&bits, &v, 8);
  return bits;
}

struct LogTable64 {
  double e[65][4];
  LogTable64() {
    for (int j = 0; j <= 64; ++j) {
      const double r = __builtin_nearbyint(4096.0 / (1.0 + j / 64.0)) / 4096.0;
      const long double exact = -__builtin_logl(static_cast<long double>(r));
      // The leading part on a grid of 2^-44, the rest (never negative) in l.
      const double h = __builtin_floor(static_cast<double>(exact) * 0x1p44) * 0x1p-44;
      e[j][0] = e[j][1] = r;
      e[j][2] = h;
      e[j][3] = static_cast<double>(exact - h);
    }
    e[0][2] = e[0][3] = 0.0;
    e[64][2] = D(kLn2HiBits);
    e[64][3] = D(kLn2LoBits);
  }
};

const LogTable64& Table64() {
  static const LogTable64 table;
  return table;
}

// ln x of a positive finite nonzero double. A subnormal is scaled by 2^54 first.
inline double Log64(uint64 w, const LogTable64& t) {
  double kAdjust = 0.0;
  if ((w >> 52) == 0) {
    w = B(D(w) * 0x1p54);
    kAdjust = -54.0;
  }
  const double k = static_cast<double>(static_cast<int64>(w >> 52) - 1023) + kAdjust;
  const uint64 frac = w & 0x000FFFFFFFFFFFFFull;
  const double m = D(frac | 0x3FF0000000000000ull);
  const int j = static_cast<int>(((frac >> 41) + 16) >> 5);
  const double r = t.e[j][0];
  const double mHi = D(B(m) & 0x7FFFFFFFFFE00000ull);
  const double mLo = m - mHi;
  const double uHi = mHi * r - 1.0;
  const double uLo = mLo * r;
  const double u = uLo + uHi;
  const double a = k * D(kLn2HiBits) + t.e[j][2];
  const double b = k * D(kLn2LoBits) + t.e[j][3];
  double x, y;
  if (a == 0.0) {
    x = (a + uHi) + uLo;
    y = 0.0;
  } else {
    x = a + uHi;
    y = uLo;
  }
  const double w2 = u * u;
  const double odd = ((D(0x3FC24998090DC54Aull) * w2 + D(0x3FC9999998867A5Eull)) * w2 + D(0x3FD55555555555A9ull)) * u;
  const double even = (D(0xBFC555C54DD57D7Cull) * w2 + D(0xBFCFFFFFFF201E11ull)) * w2 + D(0xBFE000000000001Bull);
  return ((w2 * (odd + even) + b) + y) + x;
}

// The result for one element, or a special value; flags by the first zero / negative.
inline double Log64Element(double v, const LogTable64& t, int& flags) {
  const uint64 w = B(v);
  if ((w >> 63) != 0) {
    if (flags == 0) flags = 4;
    return D(0xFFF8000000000000ull);
  }
  if (w == 0) {
    if (flags == 0) flags = 2;
    return D(0xFFF0000000000000ull);
  }
  if (w >= 0x7FF0000000000000ull) return w == 0x7FF0000000000000ull ? v : D(w | 0x0008000000000000ull);
  return Log64(w, t);
}

}  // namespace

int spNaturalLogKernel_64f(const double* pSrc, double* pDst, int len) {
  const LogTable64& t = Table64();
  int flags = 0;
  for (int64 i = 0; i < len; ++i) StS(pDst + i, Log64Element(LdS(pSrc + i), t, flags));
  return flags;
}

int spNaturalLogKernel_64f32f(const double* pSrc, float* pDst, int len) {
  const LogTable64& t = Table64();
  int flags = 0;
  for (int64 i = 0; i < len; ++i) {
    const double v = LdS(pSrc + i);
    const double r = Log64Element(v, t, flags);
    // A NaN element converts itself; the negative NaN is the float one.
    float f = static_cast<float>(r);
    if ((B(v) >> 63) != 0) {
      const uint32 nan = 0xFFC00000u;
      std::memcpy(&f, &nan, 4);
    } else if (v != v) {
      f = static_cast<float>(v);
    }
    StS(pDst + i, f);
  }
  return flags;
}
