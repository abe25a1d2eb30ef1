// Element-wise power: a table-driven logarithm in double, a single-precision
// exponential for the common case, and a scalar routine in double for the IEEE special
// values and the overflow and underflow ranges. Included inside a build's namespace with
// SP_POWER_GROUP set to the group size of its fast path (4 generic, 8 processor builds).

#include "power_tables.inl"

namespace {

constexpr uint64 kLn2 = 0x3FE62E42FEFA39EFull;
constexpr uint64 kC1 = 0x3FD55555555512C8ull;
constexpr uint64 kC2 = 0xBFDFFFFFFFFFCAAEull;
constexpr uint64 kInvStep = 0x40671547652B82FEull;  // 128 / ln 2
constexpr uint64 kStep = 0x3F762E42FEFA39EFull;     // ln 2 / 128
constexpr uint64 kShifter = 0x4338000000000000ull;  // 1.5 * 2^52
constexpr uint64 kD6 = 0x3FC5555555555555ull;       // 1/6
constexpr uint64 kE23 = 0x420226AF33B1FDC1ull;      // e^23
constexpr uint64 kHuge = 0x7F8000007F800000ull;     // overflows every single
constexpr uint32 kFastLimit = 0x4055D55Cu;          // |t| about 87.33
constexpr uint32 kScalarLimit = 0x4086232Bu;        // |t| about 708.40
constexpr uint32 kMxcsrPowerMask = 0xE040u;         // FTZ, rounding control, DAZ

inline double spD(uint64 bits) {
  double d;
  __builtin_memcpy(&d, &bits, sizeof d);
  return d;
}
inline uint64 spBitsD(double d) {
  uint64 b;
  __builtin_memcpy(&b, &d, sizeof b);
  return b;
}
inline float spF(uint32 bits) {
  float f;
  __builtin_memcpy(&f, &bits, sizeof f);
  return f;
}
inline uint32 spBitsF(float f) {
  uint32 b;
  __builtin_memcpy(&b, &f, sizeof b);
  return b;
}
inline uint32 spHighAbs(double t) { return static_cast<uint32>(spBitsD(t) >> 32) & 0x7FFFFFFFu; }

// ln of a positive normal double m * 2^e with k the index of the nearest 1/256 step.
inline double spPowerLog(double a) {
  const uint64 b = spBitsD(a);
  const double e = static_cast<double>(static_cast<int>((b >> 52) & 0x7FF) - 1023);
  const double m = spD((b & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  const uint32 k = (static_cast<uint32>((b >> 43) & 0x1FF) + 1) >> 1;
  const double c = 1.0 + static_cast<double>(k) / 256.0;
  const double u = (m - c) * spD(kPowerLogTable[k][1]);
  const double p = ((spD(kC1) * u + spD(kC2)) * u) * u;
  return (u + p) + (e * spD(kLn2) + spD(kPowerLogTable[k][0]));
}

// The fast path; false when the element is special (x not a positive normal float, y
// NaN, or |y ln x| beyond the fast limit).
inline bool spPowerFast(float x, float y, float* pOut) {
  const uint32 xb = spBitsF(x);
  if (xb - 0x00800000u > 0x7F7FFFFFu - 0x00800000u) return false;
  if (y != y) return false;
  const double t = static_cast<double>(y) * spPowerLog(static_cast<double>(x));
  if (spHighAbs(t) > kFastLimit) return false;
  const double nd = t * spD(kInvStep) + spD(kShifter);
  const uint32 n = static_cast<uint32>(spBitsD(nd));
  const float rf = static_cast<float>(t - (nd - spD(kShifter)) * spD(kStep));
  const uint32 j = n & 127;
  const float a = spF(kPowerExpTable32[j][0]), bj = spF(kPowerExpTable32[j][1]);
  const float w = ((rf * rf) * 0.5f + (bj + rf)) * a + a;
  *pOut = w * spF(((n << 16) + 0x3F800000u) & 0x7F800000u);
  return true;
}

// The fast path on four elements with SSE2, the same operations in the same order as
// spPowerFast for each lane; false when any of the four is special.
inline bool spPowerFast4(const float* pX, const float* pY, float* pOut) {
  const __m128 x = _mm_loadu_ps(pX), y = _mm_loadu_ps(pY);
  const __m128i xb = _mm_castps_si128(x);
  // x a positive normal float: 0 <= bits - 0x00800000 < 0x7F000000 as signed integers.
  const __m128i rel = _mm_sub_epi32(xb, _mm_set1_epi32(0x00800000));
  __m128i bad = _mm_or_si128(_mm_cmplt_epi32(rel, _mm_setzero_si128()),
                             _mm_cmpgt_epi32(rel, _mm_set1_epi32(0x7EFFFFFF)));
  bad = _mm_or_si128(bad, _mm_castps_si128(_mm_cmpunord_ps(y, y)));
  if (_mm_movemask_epi8(bad) != 0) return false;
  alignas(16) int32 k[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(k),
                  _mm_srli_epi32(_mm_add_epi32(_mm_and_si128(_mm_srli_epi32(xb, 14), _mm_set1_epi32(0x1FF)), _mm_set1_epi32(1)), 1));
  const __m128i ei = _mm_sub_epi32(_mm_srli_epi32(xb, 23), _mm_set1_epi32(127));
  // m: x with the exponent of 1.0, so [1, 2).
  const __m128 mf = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(xb, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000)));
  const __m128i ki = _mm_load_si128(reinterpret_cast<const __m128i*>(k));
  const __m128d c1 = _mm_set1_pd(spD(kC1)), c2 = _mm_set1_pd(spD(kC2)), ln2 = _mm_set1_pd(spD(kLn2));
  const __m128d invStep = _mm_set1_pd(spD(kInvStep)), step = _mm_set1_pd(spD(kStep)), shifter = _mm_set1_pd(spD(kShifter));
  const __m128d limit = _mm_set1_pd(spD(static_cast<uint64>(kFastLimit + 1) << 32));
  const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
  __m128d t[2], nd[2];
  __m128 rf[2];
  for (int h = 0; h < 2; ++h) {
    const int a = 2 * h, b = 2 * h + 1;
    const __m128d m = h == 0 ? _mm_cvtps_pd(mf) : _mm_cvtps_pd(_mm_movehl_ps(mf, mf));
    const __m128i kh = h == 0 ? ki : _mm_srli_si128(ki, 8);
    const __m128d e = _mm_cvtepi32_pd(h == 0 ? ei : _mm_srli_si128(ei, 8));
    const __m128d c = _mm_add_pd(_mm_set1_pd(1.0), _mm_div_pd(_mm_cvtepi32_pd(kh), _mm_set1_pd(256.0)));
    const __m128d r = _mm_set_pd(spD(kPowerLogTable[k[b]][1]), spD(kPowerLogTable[k[a]][1]));
    const __m128d l = _mm_set_pd(spD(kPowerLogTable[k[b]][0]), spD(kPowerLogTable[k[a]][0]));
    const __m128d u = _mm_mul_pd(_mm_sub_pd(m, c), r);
    const __m128d p = _mm_mul_pd(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(c1, u), c2), u), u);
    const __m128d lnx = _mm_add_pd(_mm_add_pd(u, p), _mm_add_pd(_mm_mul_pd(e, ln2), l));
    const __m128d yd = h == 0 ? _mm_cvtps_pd(y) : _mm_cvtps_pd(_mm_movehl_ps(y, y));
    t[h] = _mm_mul_pd(yd, lnx);
    // Special beyond the fast limit (and for a NaN t, which NLT also catches).
    if (_mm_movemask_pd(_mm_cmpnlt_pd(_mm_and_pd(t[h], absMask), limit)) != 0) return false;
    nd[h] = _mm_add_pd(_mm_mul_pd(t[h], invStep), shifter);
    const __m128d rr = _mm_sub_pd(t[h], _mm_mul_pd(_mm_sub_pd(nd[h], shifter), step));
    rf[h] = _mm_cvtpd_ps(rr);
  }
  // n: the low 32 bits of each Nd.
  const __m128i n = _mm_unpacklo_epi64(_mm_shuffle_epi32(_mm_castpd_si128(nd[0]), 0x08),
                                       _mm_shuffle_epi32(_mm_castpd_si128(nd[1]), 0x08));
  alignas(16) uint32 j[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(j), _mm_and_si128(n, _mm_set1_epi32(127)));
  const __m128 aj = _mm_setr_ps(spF(kPowerExpTable32[j[0]][0]), spF(kPowerExpTable32[j[1]][0]),
                                spF(kPowerExpTable32[j[2]][0]), spF(kPowerExpTable32[j[3]][0]));
  const __m128 bj = _mm_setr_ps(spF(kPowerExpTable32[j[0]][1]), spF(kPowerExpTable32[j[1]][1]),
                                spF(kPowerExpTable32[j[2]][1]), spF(kPowerExpTable32[j[3]][1]));
  const __m128 r4 = _mm_movelh_ps(rf[0], rf[1]);
  const __m128 w = _mm_add_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_mul_ps(r4, r4), _mm_set1_ps(0.5f)), _mm_add_ps(bj, r4)), aj), aj);
  const __m128i pbits = _mm_and_si128(_mm_add_epi32(_mm_slli_epi32(n, 16), _mm_set1_epi32(0x3F800000)), _mm_set1_epi32(0x7F800000));
  _mm_storeu_ps(pOut, _mm_mul_ps(w, _mm_castsi128_ps(pbits)));
  return true;
}

// 0 not an integer (also |y| below 1, infinities, NaN), 1 even integer, 2 odd integer.
inline int spIntegerClass(float y) {
  const uint32 b = spBitsF(y) & 0x7FFFFFFFu;
  if (b < 0x3F800000u || b >= 0x7F800000u) return 0;
  if (b >= 0x4B800000u) return 1;  // 2^24 and above
  const int shift = 23 - static_cast<int>((b >> 23) - 127);
  const uint32 mant = (b & 0x007FFFFFu) | 0x00800000u;
  if ((mant & ((1u << shift) - 1)) != 0) return 0;
  return ((mant >> shift) & 1) != 0 ? 2 : 1;
}

}  // namespace

void spRaiseFloatException(int selector) {
  static volatile double sink;
  (void)sink;
  volatile double a, b;
  switch (selector) {
    case 19: a = 0.0; b = 0.0; sink = a / b; break;
    case 18: a = 1.0; b = 0.0; sink = a / b; break;
    case 12: a = spD(0x7FEFFFFFFFFFFFFFull); sink = a * a; break;
    case 17: a = spD(0x0010000000000001ull); sink = a * a; break;
    default: break;
  }
}

void spPowerSpecialCase_32f(const float* pSrc1, const float* pSrc2, float* pDst, int i, spStatus* pStatus) {
  const float x = pSrc1[i], y = pSrc2[i];
  const uint32 xb = spBitsF(x), yb = spBitsF(y);
  const uint32 ax = xb & 0x7FFFFFFFu, ay = yb & 0x7FFFFFFFu;
  const bool xFinite = ax < 0x7F800000u, yFinite = ay < 0x7F800000u;
  const int yClass = spIntegerClass(y);
  const bool odd = yClass == 2;
  auto domain = [&](float r) {
    *pStatus = SP_WARNING_POWER_DOMAIN;
    spRaiseFloatException(19);
    pDst[i] = r;
  };
  const float inf = spF(0x7F800000u);

  if (yFinite && ay != 0 && xFinite && ax != 0 && ((xb >> 31) == 0 || yClass != 0)) {
    const double sign = ((xb >> 31) != 0 && odd) ? -1.0 : 1.0;
    double a = static_cast<double>(spF(ax));
    double shift = 0.0;
    if (ax < 0x00800000u) {  // subnormal: scale by e^23 and take 23 off the logarithm
      a *= spD(kE23);
      shift = 23.0;
    }
    const double t = static_cast<double>(y) * (spPowerLog(a) - shift);
    double value;
    if (spHighAbs(t) > kScalarLimit) {
      value = t > 0.0 ? spD(kHuge) : 0.0;
    } else {
      const double nd = t * spD(kInvStep) + spD(kShifter);
      const uint32 n = static_cast<uint32>(spBitsD(nd));
      const double r = t - (nd - spD(kShifter)) * spD(kStep);
      const double p = (((spD(kD6) * r + 0.5) * r) * r) + r;
      const int32 expo = 1023 + (static_cast<int32>(n) >> 7);
      const double tj = spD(kPowerExpTable64[n & 127] | (static_cast<uint64>(expo) << 52));
      value = tj + p * tj;
    }
    pDst[i] = static_cast<float>(value * sign);
    return;
  }

  if (ay == 0) { pDst[i] = 1.0f; return; }                                   // 1
  if (xb == 0x3F800000u) { pDst[i] = 1.0f; return; }                        // 2
  if (xb == 0xBF800000u && ay == 0x7F800000u) { pDst[i] = 1.0f; return; }   // 3
  if (ax > 0x7F800000u) { pDst[i] = x; return; }                            // 4
  if (ay > 0x7F800000u) { pDst[i] = y; return; }                            // 5
  if (ax == 0 && yb == 0xFF800000u) { domain(inf); return; }                // 6
  if (ay == 0x7F800000u) {                                                  // 7 to 10
    const bool up = yb == 0x7F800000u;
    pDst[i] = (ax > 0x3F800000u) == up ? inf : 0.0f;
    return;
  }
  const bool yPositive = (yb >> 31) == 0;
  if (xb == 0x7F800000u) { pDst[i] = yPositive ? inf : 0.0f; return; }     // 11
  if (xb == 0) {                                                            // 12, 13
    if (yPositive) pDst[i] = 0.0f; else domain(inf);
    return;
  }
  if (xb == 0xFF800000u) {                                                  // 14
    pDst[i] = yPositive ? (odd ? -inf : inf) : (odd ? -0.0f : 0.0f);
    return;
  }
  if (xb == 0x80000000u) {                                                  // 15, 16
    if (yPositive) pDst[i] = odd ? -0.0f : 0.0f; else domain(odd ? -inf : inf);
    return;
  }
  domain(spF(0xFFC00000u));                                                 // 17
}

spStatus spPower_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pDst == nullptr || pSrc2 == nullptr || pSrc1 == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  // Round to nearest with flush-to-zero and denormals-are-zero off for the call.
  const uint32 saved = _mm_getcsr();
  const bool changed = (saved & kMxcsrPowerMask) != 0;
  if (changed) _mm_setcsr(saved & ~kMxcsrPowerMask);
  spStatus status = SP_OK;
  constexpr int kGroup = SP_POWER_GROUP;
  const int full = len & ~7;
  for (int g = 0; g < full; g += kGroup) {
    alignas(16) float r[kGroup];
    bool fast = true;
    for (int e = 0; e < kGroup && fast; e += 4) fast = spPowerFast4(pSrc1 + g + e, pSrc2 + g + e, r + e);
    if (fast) {
      for (int e = 0; e < kGroup; ++e) pDst[g + e] = r[e];
    } else {
      for (int e = 0; e < kGroup; ++e) spPowerSpecialCase_32f(pSrc1, pSrc2, pDst, g + e, &status);
    }
  }
  for (int i = full; i < len; ++i) {
    float r;
    if (spPowerFast(pSrc1[i], pSrc2[i], &r)) {
      pDst[i] = r;
    } else {
      spPowerSpecialCase_32f(pSrc1, pSrc2, pDst, i, &status);
    }
  }
  if (changed) _mm_setcsr(saved);
  return status;
}
