// Generic build of the natural exponential and logarithm.
#include <cmath>

#include "generic_access.h"
#include "sp/vecmath_bodies.h"

namespace sp::generic {

using vm::Bits;
using vm::FromBits;
using vm::Ld;
using vm::St;

namespace {

constexpr double kShortOverflow = 88.72284;
constexpr uint32 kLowBound = 0xC2AEAC50u;   // -87.3365478515625
constexpr uint32 kHighBound = 0x42B17218u;  // 88.72283935546875
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;
constexpr double kShifter = 4503599627370496.0;  // 2^52

// The short form: the runtime's double exponential rounded to float.
inline float ShortExp(float x) {
  if (static_cast<double>(x) > kShortOverflow) return FromBits(vm::kPosInfBits);
  return static_cast<float>(std::exp(static_cast<double>(x)));
}

// One ordinary element of a group of four: n, the reduced argument's numerator P and
// denominator Q of the (3,3) rational approximation of e^r.
struct Reduced {
  int32 n;
  double p, q;
};

inline Reduced Reduce(float xf) {
  const double x = static_cast<double>(xf);
  const double t = x * kLog2e;
  const double shifter = xf < 0.0f ? -kShifter : kShifter;
  const double n = (t + shifter) - shifter;  // t rounded to an integer, ties to even
  const double nl = n * kLn2;
  const double r = x - nl;
  const double a = r * r;
  const double e = (10.0 + a) * 12.0;
  const double o = (a + 60.0) * r;
  return {static_cast<int32>(n), o + e, e - o};
}

// Four ordinary elements in the order met; one double division serves all four.
void ExpGroup(float* const* where, const float* x) {
  Reduced g[4];
  for (int k = 0; k < 4; ++k) g[k] = Reduce(x[k]);
  const double q12 = g[0].q * g[1].q;
  const double q34 = g[2].q * g[3].q;
  const double d = 1.0 / (q12 * q34);
  const double a = q34 * d;
  const double b = q12 * d;
  const float recip[4] = {static_cast<float>(g[1].q * a), static_cast<float>(g[0].q * a),
                          static_cast<float>(g[3].q * b), static_cast<float>(g[2].q * b)};
  for (int k = 0; k < 4; ++k) {
    const float y = recip[k] * static_cast<float>(g[k].p);
    const uint32 scaled = Bits(y) + (static_cast<uint32>(g[k].n) << 23);
    St(where[k], FromBits(scaled));
  }
}

}  // namespace

// Below four elements the runtime's exponential element by element. From four on, the
// vector is walked downwards: zeros and subnormals give 1, the overflow and underflow
// ranges +inf and +0, every NaN the NaN; the ordinary elements are computed four at a
// time in the order met, and the one to three left over by the short form.
spStatus spExponentialInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (len < 4) {
    for (int k = 0; k < len; ++k) St(pSrcDst + k, ShortExp(Ld(pSrcDst + k)));
    return SP_OK;
  }
  float* where[4];
  float x[4];
  int pending = 0;
  for (int k = len - 1; k >= 0; --k) {
    const float v = Ld(pSrcDst + k);
    const uint32 w = Bits(v);
    const uint32 magnitude = w & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u) {
      // Every NaN, quiet or signalling, gives the NaN.
      St(pSrcDst + k, FromBits(vm::kNaNBits));
    } else if (magnitude < 0x00800000u) {
      St(pSrcDst + k, 1.0f);
    } else if ((w & 0x80000000u) != 0 && w >= kLowBound) {
      St(pSrcDst + k, 0.0f);
    } else if ((w & 0x80000000u) == 0 && w >= kHighBound) {
      St(pSrcDst + k, FromBits(vm::kPosInfBits));
    } else {
      where[pending] = pSrcDst + k;
      x[pending] = v;
      if (++pending == 4) {
        ExpGroup(where, x);
        pending = 0;
      }
    }
  }
  for (int k = 0; k < pending; ++k) St(where[k], ShortExp(x[k]));
  return SP_OK;
}

// Sign bit set (negative values, -0, negative NaNs): the NaN and "negative"; a positive
// quiet NaN: the NaN; +0: -inf and "zero"; else the runtime's logarithm. The first zero
// or negative element decides the warning.
spStatus spNaturalLogInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spStatus status = SP_OK;
  for (int k = 0; k < len; ++k) {
    const float v = Ld(pSrcDst + k);
    const uint32 w = Bits(v);
    if ((w & 0x80000000u) != 0) {
      St(pSrcDst + k, FromBits(vm::kNaNBits));
      if (status == SP_OK) status = SP_WARNING_LOG_OF_NEGATIVE;
    } else if ((w & 0x7FC00000u) == 0x7FC00000u) {
      St(pSrcDst + k, FromBits(vm::kNaNBits));
    } else if (w == 0) {
      St(pSrcDst + k, FromBits(vm::kNegInfBits));
      if (status == SP_OK) status = SP_WARNING_LOG_OF_ZERO;
    } else {
      St(pSrcDst + k, std::log(v));
    }
  }
  return status;
}

}  // namespace sp::generic
