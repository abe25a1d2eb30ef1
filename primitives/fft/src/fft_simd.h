// Helpers of the generic build's kernels on the baseline instruction set (SSE2): two
// complex values per register, (re0, im0, re1, im1), and whole-value moves.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sp/base.h"

namespace sp::generic::simd {

// Two complex values per SSE2 register, (re0, im0, re1, im1). SSE2 is the baseline of the
// generic build; every lane performs the scalar operations of the kernels in their stated
// order, so the results equal the scalar definition bit for bit (negation is a sign flip,
// and a + (-b) equals a - b exactly).
inline __m128 Load2(const float* p) { return _mm_loadu_ps(p); }
inline void Store2(float* p, __m128 v) { _mm_storeu_ps(p, v); }
inline __m128 LoadTwo(const float* a, const float* b) {
  double da, db;
  std::memcpy(&da, a, 8);
  std::memcpy(&db, b, 8);
  return _mm_castpd_ps(_mm_set_pd(db, da));
}
inline __m128 SignMask(bool re, bool im) {
  return _mm_castsi128_ps(_mm_set_epi32(im ? INT32_MIN : 0, re ? INT32_MIN : 0,
                                        im ? INT32_MIN : 0, re ? INT32_MIN : 0));
}
// (im, -re) of each value: multiplication by -i.
inline __m128 TimesMinusI(__m128 v) {
  return _mm_xor_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)), SignMask(false, true));
}
// w x (forward) or conj(w) x (inverse) for two values at once.
template <bool kInverse>
inline __m128 Mul2(__m128 x, __m128 w) {
  const __m128 wr = _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 0, 0));
  const __m128 wi = _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 1, 1));
  const __m128 xs = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
  const __m128 t2 = _mm_mul_ps(xs, wi);  // (xi wi, xr wi)
  return _mm_add_ps(_mm_mul_ps(x, wr), _mm_xor_ps(t2, SignMask(!kInverse, kInverse)));
}
// Real parts from a, imaginary parts from b.
inline __m128 RealsImags(__m128 a, __m128 b) {
  const __m128 reals = SignMask(true, false);  // only the mask bits matter
  const __m128 m = _mm_castsi128_ps(_mm_srai_epi32(_mm_castps_si128(reals), 31));
  return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b));
}
// (v1, v0) of (v0, v1).
inline __m128 SwapValues(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)); }
// (im, re) of each value.
inline __m128 SwapParts(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }

// Moves of whole complex values (8 bytes) by float offset.
inline uint64 Get8(const float* base, std::ptrdiff_t at) {
  uint64 v;
  std::memcpy(&v, base + at, 8);
  return v;
}
inline void Put8(float* base, std::ptrdiff_t at, uint64 v) { std::memcpy(base + at, &v, 8); }

// The first and the second value of a register, stored as whole values.
inline void StoreLow(float* p, __m128 v) {
  const double d = _mm_cvtsd_f64(_mm_castps_pd(v));
  std::memcpy(p, &d, 8);
}
inline void StoreHigh(float* p, __m128 v) { StoreLow(p, _mm_movehl_ps(v, v)); }

}  // namespace sp::generic::simd
