// Integer square kernels with a scale factor, of one processor build. Included inside
// the build's namespace after vm_simd.inl. SSE2 only, so the three builds store the
// same results.
//
// Each square is formed exactly in a 32-bit lane, then scaled by 2^-scaleFactor:
// rounded to nearest with ties to even when it shrinks, shifted with saturation when it
// grows, and saturated to the destination type. Every scale factor gives the exactly
// rounded, saturated result; the path is chosen once per call.

namespace {

// Scaling of exact 32-bit values by 2^-s, prepared once per call. kSigned: the lanes
// hold two's-complement values; otherwise unsigned ones.
template <bool kSigned>
struct Scaler {
  int s;
  __m128i right, rightLess1, below, left;
  // Inputs whose magnitude may reach 2^31 (signed) or 2^32 (unsigned) have exactly
  // rounded results 0 from a shift of 33 on; unsigned values can round up to 1 at 32.
  explicit Scaler(int scale) : s(scale < -64 ? -64 : scale > 64 ? 64 : scale) {
    const int r = s < 1 ? 1 : s > 31 ? 31 : s;  // the rounding shift serves 1..31
    right = _mm_cvtsi32_si128(r);
    rightLess1 = _mm_cvtsi32_si128(r - 1);
    below = _mm_set1_epi32(r == 1 ? 0 : static_cast<int>((1u << (r - 1)) - 1));
    left = _mm_cvtsi32_si128(s < 0 ? (-s > 16 ? 16 : -s) : 0);
  }

  // y / 2^s rounded to nearest, ties to even, for s from 1 to 31: the floor quotient
  // plus one when the remainder is above one half, or exactly one half and the
  // quotient odd. Never overflows.
  __m128i RoundShift(__m128i y) const {
    const __m128i q = kSigned ? _mm_sra_epi32(y, right) : _mm_srl_epi32(y, right);
    const __m128i half = _mm_and_si128(_mm_srl_epi32(y, rightLess1), _mm_set1_epi32(1));
    const __m128i sticky = _mm_cmpeq_epi32(_mm_and_si128(y, below), _mm_setzero_si128());  // ones when no sticky
    const __m128i odd = _mm_and_si128(q, _mm_set1_epi32(1));
    const __m128i up = _mm_and_si128(half, _mm_or_si128(_mm_andnot_si128(sticky, _mm_set1_epi32(1)), odd));
    return _mm_add_epi32(q, up);
  }

  // y x 2^-s for s of 0 or more (exactly rounded); the growing direction belongs to
  // the callers, which clamp before a left shift of at most 16 and saturate afterwards.
  __m128i Down(__m128i y) const {
    if (s <= 0) return y;
    if (s >= 33) return _mm_setzero_si128();
    if (s == 32) {
      if (kSigned) return _mm_setzero_si128();
      // Only an unsigned value above 2^31 rounds up to 1.
      const __m128i bias = _mm_set1_epi32(INT32_MIN);
      return _mm_and_si128(_mm_cmpgt_epi32(_mm_xor_si128(y, bias), _mm_setzero_si128()), _mm_set1_epi32(1));
    }
    return RoundShift(y);
  }
};

// Unsigned 32-bit lanes limited to hi (at most 2^31 - 1).
inline __m128i MinU32(__m128i y, int hi) {
  const __m128i bias = _mm_set1_epi32(INT32_MIN);
  const __m128i over = _mm_cmpgt_epi32(_mm_xor_si128(y, bias), _mm_set1_epi32(hi ^ INT32_MIN));
  return _mm_or_si128(_mm_andnot_si128(over, y), _mm_and_si128(over, _mm_set1_epi32(hi)));
}
// Signed 32-bit lanes limited to lo..hi.
inline __m128i ClampS32(__m128i y, int lo, int hi) {
  const __m128i over = _mm_cmpgt_epi32(y, _mm_set1_epi32(hi)), under = _mm_cmplt_epi32(y, _mm_set1_epi32(lo));
  y = _mm_or_si128(_mm_andnot_si128(over, y), _mm_and_si128(over, _mm_set1_epi32(hi)));
  return _mm_or_si128(_mm_andnot_si128(under, y), _mm_and_si128(under, _mm_set1_epi32(lo)));
}

// Unsigned squares y (exact, 32-bit lanes) scaled and limited to 0..hi.
inline __m128i ScaleUnsigned(__m128i y, const Scaler<false>& sc, int hi) {
  if (sc.s >= 0) return MinU32(sc.Down(y), hi);
  // Growing: anything above hi stays saturated, so clamp first and shift by at most 16.
  return MinU32(_mm_sll_epi32(MinU32(y, hi), sc.left), hi);
}
// Signed values y scaled by 2^-s (s >= 0) or shifted left by n (s < 0), limited to
// -32768..32767.
inline __m128i ScaleSigned(__m128i y, const Scaler<true>& sc, __m128i left) {
  if (sc.s > 0) return ClampS32(sc.Down(y), -32768, 32767);
  return ClampS32(_mm_sll_epi32(ClampS32(y, -32768, 32767), left), -32768, 32767);
}

// 8 unsigned 16-bit results in 32-bit lanes packed to 16 bits.
inline __m128i PackU16(__m128i lo, __m128i hi) {
  const __m128i bias32 = _mm_set1_epi32(32768);
  const __m128i p = _mm_packs_epi32(_mm_sub_epi32(lo, bias32), _mm_sub_epi32(hi, bias32));
  return _mm_xor_si128(p, _mm_set1_epi16(INT16_MIN));
}

struct SquareScaled8u {
  Scaler<false> sc;
  __m128i Vec(__m128i x) const {
    const __m128i z = _mm_setzero_si128();
    const __m128i w0 = _mm_unpacklo_epi8(x, z), w1 = _mm_unpackhi_epi8(x, z);
    const __m128i q0 = _mm_mullo_epi16(w0, w0), q1 = _mm_mullo_epi16(w1, w1);  // exact: at most 65025
    __m128i r[4] = {_mm_unpacklo_epi16(q0, z), _mm_unpackhi_epi16(q0, z), _mm_unpacklo_epi16(q1, z),
                    _mm_unpackhi_epi16(q1, z)};
    #pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) r[j] = ScaleUnsigned(r[j], sc, 255);
    return _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3]));
  }
};

template <bool kSigned>
struct SquareScaled16 {
  Scaler<false> sc;
  int hi;
  __m128i Vec(__m128i x) const {
    const __m128i lo16 = _mm_mullo_epi16(x, x);
    const __m128i hi16 = kSigned ? _mm_mulhi_epi16(x, x) : _mm_mulhi_epu16(x, x);
    const __m128i r0 = ScaleUnsigned(_mm_unpacklo_epi16(lo16, hi16), sc, hi);
    const __m128i r1 = ScaleUnsigned(_mm_unpackhi_epi16(lo16, hi16), sc, hi);
    return kSigned ? _mm_packs_epi32(r0, r1) : PackU16(r0, r1);
  }
};

// (a + bi)^2 = (a^2 - b^2) + 2abi per 32-bit element, real part in the low half. The
// real part is (a^2 + b^2) - b^2 - b^2 in wrapping arithmetic (exact, within +-2^30);
// the imaginary part is ab (within +-2^30) scaled by 2^(1 - s).
struct SquareScaled16sc {
  Scaler<true> re, im;
  __m128i leftRe, leftIm;
  explicit SquareScaled16sc(int scale) : SquareScaled16sc(scale, scale < -64 ? -64 : scale > 64 ? 64 : scale) {}
  SquareScaled16sc(int, int s)
      : re(s), im(s - 1), leftRe(_mm_cvtsi32_si128(s >= 0 ? 0 : (-s > 16 ? 16 : -s))),
        leftIm(_mm_cvtsi32_si128(s >= 1 ? 0 : (1 - s > 16 ? 16 : 1 - s))) {}
  __m128i Vec(__m128i x) const {
    const __m128i b = _mm_srli_epi32(x, 16);  // (b, 0) in each element
    const __m128i bb = _mm_madd_epi16(b, b);
    const __m128i v = _mm_sub_epi32(_mm_sub_epi32(_mm_madd_epi16(x, x), bb), bb);
    const __m128i p = _mm_madd_epi16(x, b);  // a * b + b * 0
    const __m128i rr = ScaleSigned(v, re, leftRe);
    const __m128i ri = im.s > 0 ? ClampS32(im.Down(p), -32768, 32767) : ScaleSigned(p, im, leftIm);
    // Interleave: real part in the low 16 bits, imaginary part in the high 16 bits.
    return _mm_or_si128(_mm_and_si128(rr, _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(ri, 16));
  }
};

// Single elements until pDst is on 16 bytes, 16-byte blocks, then the rest through one
// partial vector. Every block is loaded before it is stored, so pSrc may be pDst.
template <class T, class Op>
void ScaledUnary(const T* pSrc, T* pDst, int len, const Op& op) {
  if (len <= 0) return;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(pSrc);
  unsigned char* d = reinterpret_cast<unsigned char*>(pDst);
  uint64 n = static_cast<uint64>(len) * sizeof(T);
  while (n != 0 && (Addr(d) & 15) != 0) {
    StorePart(d, op.Vec(LoadPart(s, sizeof(T))), sizeof(T));
    s += sizeof(T), d += sizeof(T), n -= sizeof(T);
  }
  if ((Addr(d) & 15) == 0) {
    for (; n >= 16; n -= 16, s += 16, d += 16) StoreI<true>(d, op.Vec(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
  }
  if (n != 0) StorePart(d, op.Vec(LoadPart(s, static_cast<unsigned>(n))), static_cast<unsigned>(n));
}

}  // namespace

void spSquareKernelScaled_8u(const uint8* pSrc, uint8* pDst, int len, int scaleFactor) {
  ScaledUnary(pSrc, pDst, len, SquareScaled8u{Scaler<false>(scaleFactor)});
}

void spSquareKernelScaled_16s(const int16* pSrc, int16* pDst, int len, int scaleFactor) {
  ScaledUnary(pSrc, pDst, len, SquareScaled16<true>{Scaler<false>(scaleFactor), 32767});
}

void spSquareKernelScaled_16u(const uint16* pSrc, uint16* pDst, int len, int scaleFactor) {
  ScaledUnary(pSrc, pDst, len, SquareScaled16<false>{Scaler<false>(scaleFactor), 65535});
}

void spSquareKernelScaled_16sc(const int16* pSrc, int16* pDst, int len, int scaleFactor) {
  struct Element {
    int16 re, im;
  };
  ScaledUnary(reinterpret_cast<const Element*>(pSrc), reinterpret_cast<Element*>(pDst), len,
              SquareScaled16sc(scaleFactor));
}
