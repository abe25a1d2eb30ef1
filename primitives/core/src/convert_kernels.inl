// Vector conversion kernels of the processor builds. Included once per processor build
// inside its namespace, with SP_BUILD_LEVEL 1 (SSE3), 2 (SSSE3) or 3 (SSE4.1), after
// <type_traits>; the three copies differ in speed only. Every kernel runs a head of single elements until its
// aligned side reaches 16 bytes, whole blocks, and a tail; head and tail go through the
// same block code on a zero-padded copy, so every element sees the same operations.
// Nothing outside the len elements of either array is read or written.

// Every kernel is flattened: its helpers and block lambdas are inlined into it, so it
// makes no calls and needs no unwinding or cleanup code in any build.
#define SP_KERNEL __attribute__((flatten))

namespace {

constexpr uint32 kMxcsrRounding = 0x6000;
constexpr uint32 kMxcsrDaz = 0x0040;
constexpr uint32 kMxcsrInvalid = 0x0001;

inline bool spIsAligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

// Elements of size elemSize from p to the next 16-byte boundary (rounded down).
inline int spHeadCount(const void* p, unsigned elemSize, int len) {
  const int n = static_cast<int>(((16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15) / elemSize);
  return n < len ? n : len;
}

inline __m128i spLoadInt(const void* p) { return _mm_lddqu_si128(static_cast<const __m128i*>(p)); }
inline void spStoreInt(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline __m128i spLoadInt64(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
inline void spStoreInt64(void* p, __m128i v) { _mm_storel_epi64(static_cast<__m128i*>(p), v); }
inline __m128i spSplat32(uint32 v) { return _mm_set1_epi32(static_cast<int>(v)); }
inline __m128 spSplatBits(uint32 v) { return _mm_castsi128_ps(spSplat32(v)); }

// Converts n elements (fewer than a block) through a zero-padded block.
template <int N, class S, class D, class Op>
inline void spPartialBlocks(const S* pSrc, D* pDst, int n, Op& op) {
  while (n > 0) {
    const int k = n < N ? n : N;
    alignas(16) S in[N] = {};
    alignas(16) D out[N];
    __builtin_memcpy(in, pSrc, sizeof(S) * k);
    op(in, out);
    __builtin_memcpy(pDst, out, sizeof(D) * k);
    pSrc += k;
    pDst += k;
    n -= k;
  }
}

// Head until the destination (alignDst) or the source is 16-byte aligned, whole blocks
// of N, then the tail. op(in, out) converts exactly N elements, unaligned accesses.
// kPrefetch: bytes of the source fetched ahead in every block of the main loop (0: none).
template <int N, int kPrefetch = 0, class S, class D, class Op>
inline void spRunBlocks(const S* pSrc, D* pDst, int len, bool alignDst, Op op) {
  const int head = alignDst ? spHeadCount(pDst, sizeof(D), len) : spHeadCount(pSrc, sizeof(S), len);
  spPartialBlocks<N>(pSrc, pDst, head, op);
  pSrc += head;
  pDst += head;
  len -= head;
  for (; len >= N; len -= N, pSrc += N, pDst += N) {
    if constexpr (kPrefetch > 0) _mm_prefetch(reinterpret_cast<const char*>(pSrc) + kPrefetch, _MM_HINT_T0);
    op(pSrc, pDst);
  }
  spPartialBlocks<N>(pSrc, pDst, len, op);
}

// Source prefetch distance of builds 2 and 3 (build 1 does not prefetch).
#if SP_BUILD_LEVEL >= 2
constexpr int kPrefetch64 = 64;
constexpr int kPrefetch96 = 96;
#else
constexpr int kPrefetch64 = 0;
constexpr int kPrefetch96 = 0;
#endif

// 2^-s as a single, by repeated halving or doubling of 1.0, for s clamped to
// [-127, 129]: above 129 every finite input already gives 0, as the double-precision
// factor of the generic bodies does. Scale factors below -127 go through spTwoFactors.
inline float spScaleFactorScalar(int scaleFactor) {
  const int s = scaleFactor < -127 ? -127 : (scaleFactor > 129 ? 129 : scaleFactor);
  float f = 1.0f;
  if (s > 0) {
    for (int i = 0; i < s; ++i) f *= 0.5f;
  } else {
    for (int i = 0; i < -s; ++i) f *= 2.0f;
  }
  return f;
}

inline __m128 spConvertScaleFactor(int scaleFactor) { return _mm_set1_ps(spScaleFactorScalar(scaleFactor)); }

// How a float-to-integer block scales its input: not at all, by one factor 2^-s
// (s in [-127, 129]), or by two. Below -127, 2^-s has no single-precision value, so the
// input is multiplied by 2^127 and then by 2^(-s-127): both products are exact unless they
// overflow to infinity, which saturates as the exact value would, so every result is that
// of the generic bodies. From -191 down even the smallest subnormal saturates, so the
// second factor stops at 2^64 and stays a finite normal number (zero stays zero, never NaN).
struct spNoScale {
  __m128 operator()(__m128 v) const { return v; }
};
struct spOneFactor {
  __m128 f;
  __m128 operator()(__m128 v) const { return _mm_mul_ps(v, f); }
};
struct spTwoFactors {
  __m128 first, second;
  __m128 operator()(__m128 v) const { return _mm_mul_ps(_mm_mul_ps(v, first), second); }
};

inline spTwoFactors spLowScaleFactors(int scaleFactor) {
  const int s = scaleFactor < -191 ? -191 : scaleFactor;
  return spTwoFactors{spConvertScaleFactor(-127), spConvertScaleFactor(s + 127)};
}

// 2^-s in double for the double-precision kernels: exact over the clamp of the generic
// bodies, [-1023, 1074].
inline double spScaleFactorDouble(int scaleFactor) {
  const int s = scaleFactor < -1023 ? -1023 : (scaleFactor > 1074 ? 1074 : scaleFactor);
  const uint64 bits = s <= 1022 ? static_cast<uint64>(1023 - s) << 52 : uint64{1} << (1074 - s);
  double f;
  __builtin_memcpy(&f, &bits, sizeof f);
  return f;
}

// Restores the caller's MXCSR (DAZ cleared) when the kernel changed the rounding field or
// raised the invalid flag; returns the word read on exit.
inline uint32 spMxcsrExit(uint32 saved) {
  const uint32 now = _mm_getcsr();
  if (((now ^ saved) & (kMxcsrRounding | kMxcsrInvalid)) != 0) _mm_setcsr(saved & ~kMxcsrDaz);
  return now;
}

inline bool spIsNanBits(float x) {
  uint32 b;
  __builtin_memcpy(&b, &x, sizeof b);
  return (b & 0x7FFFFFFFu) > 0x7F800000u;
}
inline bool spIsNanBits(double x) {
  uint64 b;
  __builtin_memcpy(&b, &x, sizeof b);
  return (b & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
}

// Zeroes the destination element of every NaN source element.
template <class S, class D>
inline void spNanPass(const S* pSrc, D* pDst, int len) {
  for (int i = 0; i < len; ++i)
    if (spIsNanBits(pSrc[i])) pDst[i] = 0;
}

// Sign-extends the low four 16-bit words to 32-bit lanes.
inline __m128i spWiden16s(__m128i x) { return _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16); }

// Stores the low 24 bits of four 32-bit lanes as 12 packed bytes.
inline void spStore24x4(uint8* p, __m128i v) {
  const __m128i lo = _mm_and_si128(v, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
  const __m128i hi = _mm_and_si128(_mm_srli_epi64(v, 8), _mm_set_epi32(0xFFFF, static_cast<int>(0xFF000000u), 0xFFFF, static_cast<int>(0xFF000000u)));
  const __m128i w = _mm_or_si128(lo, hi);  // 48 bits per 64-bit lane
  const __m128i packed = _mm_or_si128(_mm_move_epi64(w), _mm_slli_si128(_mm_srli_si128(w, 8), 6));
  spStoreInt64(p, packed);
  const int top = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
  __builtin_memcpy(p + 8, &top, 4);
}

inline void spStore24(uint8* p, int32 v) {
  const uint32 u = static_cast<uint32>(v);
  p[0] = static_cast<uint8>(u);
  p[1] = static_cast<uint8>(u >> 8);
  p[2] = static_cast<uint8>(u >> 16);
}

inline int32 spLoad24(const uint8* p) {
  return static_cast<int32>(p[0] | (p[1] << 8)) + static_cast<int32>(static_cast<int8>(p[2])) * 65536;
}

// Four 32-bit lanes to packed 24-bit samples: blocks of 4 after a head until the source
// is 16-byte aligned (when alignSrc), a zero-padded tail.
template <class S, class Op>
inline void spRunTo24(const S* pSrc, uint8* pDst, int len, bool alignSrc, Op op) {
  auto one = [&](const S* s, uint8* d, int n) {
    while (n > 0) {
      const int k = n < 4 ? n : 4;
      alignas(16) S in[4] = {};
      alignas(16) uint8 out[12];
      __builtin_memcpy(in, s, sizeof(S) * k);
      spStore24x4(out, op(in));
      __builtin_memcpy(d, out, 3 * k);
      s += k;
      d += 3 * k;
      n -= k;
    }
  };
  const int head = alignSrc ? spHeadCount(pSrc, sizeof(S), len) : 0;
  one(pSrc, pDst, head);
  pSrc += head;
  pDst += 3 * head;
  len -= head;
  for (; len >= 8; len -= 8, pSrc += 8, pDst += 24) {
    spStore24x4(pDst, op(pSrc));
    spStore24x4(pDst + 12, op(pSrc + 4));
  }
  one(pSrc, pDst, len);
}

// ---- float to integer, round modes 0 and 1 -------------------------------------------

// Shared frame of the round-mode kernels: MXCSR for round mode 1, the scale factor, the
// exit write and the NaN pass.
template <int N, class S, class D, class Convert>
inline void spRoundModeKernel(const S* pSrc, D* pDst, int len, int roundMode, bool nanPass,
                              Convert convert) {
  const uint32 saved = _mm_getcsr();
  const bool nearest = roundMode == 1;
  if (nearest && (saved & kMxcsrRounding) != 0) _mm_setcsr(saved & 0x9FBFu);
  // The rounding mode is a constant of each instantiation of the block loop, so the loop
  // holds no test of it: a branch inside the hot loop made its speed depend on where the
  // linker happened to place it.
  if (nearest) {
    convert(std::true_type{});
  } else {
    convert(std::false_type{});
  }
  const uint32 now = spMxcsrExit(saved);
  if (nanPass && (now & kMxcsrInvalid) != 0) spNanPass(pSrc, pDst, len);
}

// Conversion under the current rounding (round mode 1) or truncating (round mode 0).
template <class Nearest>
inline __m128i spCvt(__m128 v, Nearest) {
  if constexpr (Nearest::value) {
    return _mm_cvtps_epi32(v);
  } else {
    return _mm_cvttps_epi32(v);
  }
}

// The common float-to-integer shape: scale, then the per-kernel clamp/convert/narrow.
// narrow(in, out, scale) is instantiated once per kind of scale, so the block loop holds
// exactly the multiplications the scale factor needs.
template <int N, int kPrefetch = 0, class D, class Narrow>
inline void spFloatToIntBlocks(const float* pSrc, D* pDst, int len, int scaleFactor,
                               bool alignDst, Narrow narrow) {
  auto run = [&](auto scale) {
    spRunBlocks<N, kPrefetch>(pSrc, pDst, len, alignDst, [&](const float* in, D* out) { narrow(in, out, scale); });
  };
  if (scaleFactor == 0) {
    run(spNoScale{});
  } else if (scaleFactor >= -127) {
    run(spOneFactor{spConvertScaleFactor(scaleFactor)});
  } else {
    run(spLowScaleFactors(scaleFactor));
  }
}

template <class Scale>
inline __m128 spLoadScaled(const float* p, const Scale& scale) {
  return scale(_mm_loadu_ps(p));
}

}  // namespace

SP_KERNEL void spConvertKernel_32f8s(const float* pSrc, int8* pDst, int len, int roundMode, int scaleFactor) {
  spRoundModeKernel<16>(pSrc, pDst, len, roundMode, true, [&](auto nearest) {
    const __m128 hi = _mm_set1_ps(127.0f);
    spFloatToIntBlocks<16, kPrefetch64>(pSrc, pDst, len, scaleFactor, false, [&](const float* in, int8* out, auto scale) {
      __m128i r[4];
      for (int j = 0; j < 4; ++j) r[j] = spCvt(_mm_min_ps(spLoadScaled(in + 4 * j, scale), hi), nearest);
      spStoreInt(out, _mm_packs_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3])));
    });
  });
}

SP_KERNEL void spConvertKernel_32f8u(const float* pSrc, uint8* pDst, int len, int roundMode, int scaleFactor) {
  spRoundModeKernel<16>(pSrc, pDst, len, roundMode, true, [&](auto nearest) {
    const __m128 hi = _mm_set1_ps(255.0f);
    spFloatToIntBlocks<16, kPrefetch64>(pSrc, pDst, len, scaleFactor, false, [&](const float* in, uint8* out, auto scale) {
      __m128i r[4];
      for (int j = 0; j < 4; ++j) r[j] = spCvt(_mm_min_ps(spLoadScaled(in + 4 * j, scale), hi), nearest);
      spStoreInt(out, _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3])));
    });
  });
}

SP_KERNEL void spConvertKernel_32f16s(const float* pSrc, int16* pDst, int len, int roundMode, int scaleFactor) {
  spRoundModeKernel<8>(pSrc, pDst, len, roundMode, true, [&](auto nearest) {
    const __m128 hi = _mm_set1_ps(32767.0f);
    spFloatToIntBlocks<8, kPrefetch64>(pSrc, pDst, len, scaleFactor, true, [&](const float* in, int16* out, auto scale) {
      const __m128i a = spCvt(_mm_min_ps(spLoadScaled(in, scale), hi), nearest);
      const __m128i b = spCvt(_mm_min_ps(spLoadScaled(in + 4, scale), hi), nearest);
      spStoreInt(out, _mm_packs_epi32(a, b));
    });
  });
}

SP_KERNEL void spConvertKernel_32f16u(const float* pSrc, uint16* pDst, int len, int roundMode, int scaleFactor) {
  spRoundModeKernel<8>(pSrc, pDst, len, roundMode, false, [&](auto nearest) {
    const __m128 zero = _mm_setzero_ps();
    const __m128i bias = spSplat32(0xFFFF8000u);
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    spFloatToIntBlocks<8, kPrefetch96>(pSrc, pDst, len, scaleFactor, true, [&](const float* in, uint16* out, auto scale) {
      const __m128i a = _mm_add_epi32(spCvt(_mm_max_ps(spLoadScaled(in, scale), zero), nearest), bias);
      const __m128i b = _mm_add_epi32(spCvt(_mm_max_ps(spLoadScaled(in + 4, scale), zero), nearest), bias);
      spStoreInt(out, _mm_xor_si128(_mm_packs_epi32(a, b), flip));
    });
  });
}

SP_KERNEL void spConvertKernel_32f32s(const float* pSrc, int32* pDst, int len, int roundMode, int scaleFactor) {
  spRoundModeKernel<8>(pSrc, pDst, len, roundMode, true, [&](auto nearest) {
    const __m128i limit = spSplat32(0x4EFFFFFFu);
    spFloatToIntBlocks<8>(pSrc, pDst, len, scaleFactor, true, [&](const float* in, int32* out, auto scale) {
      for (int j = 0; j < 2; ++j) {
        const __m128 v = spLoadScaled(in + 4 * j, scale);
        const __m128i over = _mm_cmpgt_epi32(_mm_castps_si128(v), limit);
        spStoreInt(out + 4 * j, _mm_xor_si128(spCvt(v, nearest), over));
      }
    });
  });
}

SP_KERNEL void spConvertKernel_64f32s(const double* pSrc, int32* pDst, int len, int roundMode, int scaleFactor) {
  spRoundModeKernel<4>(pSrc, pDst, len, roundMode, true, [&](auto nearest) {
    const __m128d hi = _mm_set1_pd(2147483647.0);
    const bool scaled = scaleFactor != 0;
    const __m128d f = _mm_set1_pd(spScaleFactorDouble(scaleFactor));
    spRunBlocks<4>(pSrc, pDst, len, true, [&](const double* in, int32* out) {
      __m128d a = _mm_loadu_pd(in), b = _mm_loadu_pd(in + 2);
      if (scaled) {
        a = _mm_mul_pd(a, f);
        b = _mm_mul_pd(b, f);
      }
      a = _mm_min_pd(a, hi);
      b = _mm_min_pd(b, hi);
      const __m128i ia = decltype(nearest)::value ? _mm_cvtpd_epi32(a) : _mm_cvttpd_epi32(a);
      const __m128i ib = decltype(nearest)::value ? _mm_cvtpd_epi32(b) : _mm_cvttpd_epi32(b);
      spStoreInt(out, _mm_unpacklo_epi64(ia, ib));
    });
  });
}

// ---- float to integer, to nearest with ties away from zero ----------------------------
// w = ((|v| + 0.5) with the sign of v), truncated. A magnitude below 0.5 gives 0: the
// single-precision addition would round 0.49999997 + 0.5 up to 1.

namespace {

inline __m128 spAwayPs(__m128 v) {
  const __m128 signMask = spSplatBits(0x80000000u);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 s = _mm_and_ps(v, signMask);
  const __m128 a = _mm_xor_ps(v, s);
  const __m128 w = _mm_xor_ps(_mm_add_ps(a, half), s);
  return _mm_andnot_ps(_mm_cmplt_ps(a, half), w);
}

// Unsigned outputs: 0.5 added without the sign steps; negative values give 0 anyway.
inline __m128 spAwayUnsignedPs(__m128 v) {
  const __m128 half = _mm_set1_ps(0.5f);
  return _mm_andnot_ps(_mm_cmplt_ps(v, half), _mm_add_ps(v, half));
}

template <int N, class D, class Narrow>
inline void spAwayKernel(const float* pSrc, D* pDst, int len, int scaleFactor, bool alignDst, Narrow narrow) {
  const uint32 saved = _mm_getcsr();
  spFloatToIntBlocks<N>(pSrc, pDst, len, scaleFactor, alignDst, narrow);
  spMxcsrExit(saved);
}

}  // namespace

SP_KERNEL void spConvertAwayKernel_32f8s(const float* pSrc, int8* pDst, int len, int scaleFactor) {
  const __m128 hi = _mm_set1_ps(127.0f);
  spAwayKernel<16>(pSrc, pDst, len, scaleFactor, false, [&](const float* in, int8* out, auto scale) {
    __m128i r[4];
    for (int j = 0; j < 4; ++j) r[j] = _mm_cvttps_epi32(spAwayPs(_mm_min_ps(spLoadScaled(in + 4 * j, scale), hi)));
    spStoreInt(out, _mm_packs_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3])));
  });
}

SP_KERNEL void spConvertAwayKernel_32f8u(const float* pSrc, uint8* pDst, int len, int scaleFactor) {
  const __m128 hi = _mm_set1_ps(255.0f);
  spAwayKernel<16>(pSrc, pDst, len, scaleFactor, false, [&](const float* in, uint8* out, auto scale) {
    __m128i r[4];
    for (int j = 0; j < 4; ++j)
      r[j] = _mm_cvttps_epi32(spAwayUnsignedPs(_mm_min_ps(spLoadScaled(in + 4 * j, scale), hi)));
    spStoreInt(out, _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3])));
  });
}

SP_KERNEL void spConvertAwayKernel_32f16s(const float* pSrc, int16* pDst, int len, int scaleFactor) {
  const __m128 hi = _mm_set1_ps(32767.0f);
  spAwayKernel<8>(pSrc, pDst, len, scaleFactor, false, [&](const float* in, int16* out, auto scale) {
    const __m128i a = _mm_cvttps_epi32(spAwayPs(_mm_min_ps(spLoadScaled(in, scale), hi)));
    const __m128i b = _mm_cvttps_epi32(spAwayPs(_mm_min_ps(spLoadScaled(in + 4, scale), hi)));
    spStoreInt(out, _mm_packs_epi32(a, b));
  });
}

SP_KERNEL void spConvertAwayKernel_32f16u(const float* pSrc, uint16* pDst, int len, int scaleFactor) {
  const __m128 zero = _mm_setzero_ps();
  const __m128i bias = spSplat32(0xFFFF8000u);
  const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
  spAwayKernel<8>(pSrc, pDst, len, scaleFactor, false, [&](const float* in, uint16* out, auto scale) {
    const __m128i a = _mm_add_epi32(_mm_cvttps_epi32(spAwayUnsignedPs(_mm_max_ps(spLoadScaled(in, scale), zero))), bias);
    const __m128i b = _mm_add_epi32(_mm_cvttps_epi32(spAwayUnsignedPs(_mm_max_ps(spLoadScaled(in + 4, scale), zero))), bias);
    spStoreInt(out, _mm_xor_si128(_mm_packs_epi32(a, b), flip));
  });
}

SP_KERNEL void spConvertAwayKernel_32f32s(const float* pSrc, int32* pDst, int len, int scaleFactor) {
  // The addition runs toward zero, so it never carries a value below 0.5 up to 1.
  const uint32 saved = _mm_getcsr();
  if ((saved & kMxcsrRounding) != kMxcsrRounding) _mm_setcsr((saved | kMxcsrRounding) & ~kMxcsrDaz);
  const __m128 signMask = spSplatBits(0x80000000u);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i limit = spSplat32(0x4EFFFFFFu);
  spFloatToIntBlocks<8>(pSrc, pDst, len, scaleFactor, true, [&](const float* in, int32* out, auto scale) {
    for (int j = 0; j < 2; ++j) {
      const __m128 v = spLoadScaled(in + 4 * j, scale);
      const __m128 s = _mm_and_ps(v, signMask);
      const __m128 w = _mm_xor_ps(_mm_add_ps(_mm_xor_ps(v, s), half), s);
      const __m128i over = _mm_cmpgt_epi32(_mm_castps_si128(w), limit);
      spStoreInt(out + 4 * j, _mm_xor_si128(_mm_cvttps_epi32(w), over));
    }
  });
  spMxcsrExit(saved);
}

SP_KERNEL void spConvertAwayKernel_64f32s(const double* pSrc, int32* pDst, int len, int scaleFactor) {
  const uint32 saved = _mm_getcsr();
  const __m128d hi = _mm_set1_pd(2147483647.0);
  const __m128d signMask = _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(0x8000000000000000ull)));
  const __m128d half = _mm_set1_pd(0.5);
  const bool scaled = scaleFactor != 0;
  const __m128d f = _mm_set1_pd(spScaleFactorDouble(scaleFactor));
  auto away = [&](__m128d v) {
    if (scaled) v = _mm_mul_pd(v, f);
    v = _mm_min_pd(v, hi);
    const __m128d s = _mm_and_pd(v, signMask);
    const __m128d a = _mm_xor_pd(v, s);
    const __m128d w = _mm_xor_pd(_mm_add_pd(a, half), s);
    return _mm_cvttpd_epi32(_mm_andnot_pd(_mm_cmplt_pd(a, half), w));
  };
  spRunBlocks<4>(pSrc, pDst, len, true, [&](const double* in, int32* out) {
    spStoreInt(out, _mm_unpacklo_epi64(away(_mm_loadu_pd(in)), away(_mm_loadu_pd(in + 2))));
  });
  spMxcsrExit(saved);
}

// ---- integer to float and double ---------------------------------------------------

SP_KERNEL void spConvertKernel_8s32f(const int8* pSrc, float* pDst, int len) {
  spRunBlocks<16>(pSrc, pDst, len, true, [&](const int8* in, float* out) {
    const __m128i x = spLoadInt(in);
    __m128i w[4];
#if SP_BUILD_LEVEL >= 2
    // Source byte i into the top byte of lane i.
    w[0] = _mm_shuffle_epi8(x, _mm_set_epi8(3, -1, -1, -1, 2, -1, -1, -1, 1, -1, -1, -1, 0, -1, -1, -1));
    w[1] = _mm_shuffle_epi8(x, _mm_set_epi8(7, -1, -1, -1, 6, -1, -1, -1, 5, -1, -1, -1, 4, -1, -1, -1));
    w[2] = _mm_shuffle_epi8(x, _mm_set_epi8(11, -1, -1, -1, 10, -1, -1, -1, 9, -1, -1, -1, 8, -1, -1, -1));
    w[3] = _mm_shuffle_epi8(x, _mm_set_epi8(15, -1, -1, -1, 14, -1, -1, -1, 13, -1, -1, -1, 12, -1, -1, -1));
#else
    const __m128i lo = _mm_unpacklo_epi8(x, x), hi = _mm_unpackhi_epi8(x, x);
    w[0] = _mm_unpacklo_epi16(lo, lo);
    w[1] = _mm_unpackhi_epi16(lo, lo);
    w[2] = _mm_unpacklo_epi16(hi, hi);
    w[3] = _mm_unpackhi_epi16(hi, hi);
#endif
    for (int j = 0; j < 4; ++j) _mm_storeu_ps(out + 4 * j, _mm_cvtepi32_ps(_mm_srai_epi32(w[j], 24)));
  });
}

SP_KERNEL void spConvertKernel_8u32f(const uint8* pSrc, float* pDst, int len) {
  spRunBlocks<16>(pSrc, pDst, len, true, [&](const uint8* in, float* out) {
    const __m128i x = spLoadInt(in), z = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(x, z), hi = _mm_unpackhi_epi8(x, z);
    _mm_storeu_ps(out, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, z)));
    _mm_storeu_ps(out + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, z)));
    _mm_storeu_ps(out + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, z)));
    _mm_storeu_ps(out + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, z)));
  });
}

// 16 samples per block: two 16-byte loads, each word interleaved with itself and shifted
// right arithmetically by 16 (sign extension), converted, optionally scaled.
template <bool kScaled>
inline void spConvert16s32fBlock(const int16* in, float* out, __m128 f) {
  for (int j = 0; j < 2; ++j) {
    const __m128i x = spLoadInt(in + 8 * j);
    __m128 a = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16));
    __m128 b = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16));
    if constexpr (kScaled) {
      a = _mm_mul_ps(a, f);
      b = _mm_mul_ps(b, f);
    }
    _mm_storeu_ps(out + 8 * j, a);
    _mm_storeu_ps(out + 8 * j + 4, b);
  }
}

SP_KERNEL void spConvertKernel_16s32f(const int16* pSrc, float* pDst, int len) {
  const __m128 one = _mm_set1_ps(1.0f);
  spRunBlocks<16>(pSrc, pDst, len, true, [&](const int16* in, float* out) { spConvert16s32fBlock<false>(in, out, one); });
}

SP_KERNEL void spConvertScaledKernel_16s32f(const int16* pSrc, float* pDst, int len, const float* pFactor) {
  const __m128 f = _mm_set1_ps(*pFactor);
  spRunBlocks<16>(pSrc, pDst, len, true, [&](const int16* in, float* out) { spConvert16s32fBlock<true>(in, out, f); });
}

SP_KERNEL void spConvertKernel_16u32f(const uint16* pSrc, float* pDst, int len) {
  spRunBlocks<8>(pSrc, pDst, len, true, [&](const uint16* in, float* out) {
    const __m128i x = spLoadInt(in), z = _mm_setzero_si128();
    _mm_storeu_ps(out, _mm_cvtepi32_ps(_mm_unpacklo_epi16(x, z)));
    _mm_storeu_ps(out + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(x, z)));
  });
}

SP_KERNEL void spConvertKernel_32s64f(const int32* pSrc, double* pDst, int len) {
  spRunBlocks<4>(pSrc, pDst, len, true, [&](const int32* in, double* out) {
    _mm_storeu_pd(out, _mm_cvtepi32_pd(spLoadInt64(in)));
    _mm_storeu_pd(out + 2, _mm_cvtepi32_pd(spLoadInt64(in + 2)));
  });
}

SP_KERNEL void spConvertKernel_32s32f(const int32* pSrc, float* pDst, int len) {
#if SP_BUILD_LEVEL >= 2
  spRunBlocks<8>(pSrc, pDst, len, true, [&](const int32* in, float* out) {
    _mm_storeu_ps(out, _mm_cvtepi32_ps(spLoadInt(in)));
    _mm_storeu_ps(out + 4, _mm_cvtepi32_ps(spLoadInt(in + 4)));
  });
#else
  spRunBlocks<4>(pSrc, pDst, len, true, [&](const int32* in, float* out) { _mm_storeu_ps(out, _mm_cvtepi32_ps(spLoadInt(in))); });
#endif
}

namespace {

// Non-temporal store thresholds (elements after the head, minus 8) of the kernels that
// widen to double: about 2 MiB (build 1) or 4 MiB (builds 2 and 3) of traffic.
#if SP_BUILD_LEVEL >= 2
constexpr int kStreamThreshold32f64f = 349525;
constexpr int kStreamThreshold16s64f = 419430;
#else
constexpr int kStreamThreshold32f64f = 174762;
constexpr int kStreamThreshold16s64f = 209715;
#endif

// Widening to double, 8 per block; aligned non-temporal stores and a fence for long runs.
template <class S, class Widen>
inline void spRunToDouble(const S* pSrc, double* pDst, int len, int threshold, Widen widen) {
  const int head = spHeadCount(pDst, sizeof(double), len);
  auto block = [&](const S* in, double* out) {
    __m128d r[4];
    widen(in, r);
    for (int j = 0; j < 4; ++j) _mm_storeu_pd(out + 2 * j, r[j]);
  };
  spPartialBlocks<8>(pSrc, pDst, head, block);
  pSrc += head;
  pDst += head;
  len -= head;
  if (len - 8 > threshold && spIsAligned16(pDst)) {
    for (; len >= 8; len -= 8, pSrc += 8, pDst += 8) {
      __m128d r[4];
      widen(pSrc, r);
      for (int j = 0; j < 4; ++j) _mm_stream_pd(pDst + 2 * j, r[j]);
    }
    _mm_sfence();
  }
  for (; len >= 8; len -= 8, pSrc += 8, pDst += 8) block(pSrc, pDst);
  spPartialBlocks<8>(pSrc, pDst, len, block);
}

inline void spWiden16s64f(const int16* in, __m128d* r) {
  const __m128i a = spWiden16s(spLoadInt64(in)), b = spWiden16s(spLoadInt64(in + 4));
  r[0] = _mm_cvtepi32_pd(a);
  r[1] = _mm_cvtepi32_pd(_mm_srli_si128(a, 8));
  r[2] = _mm_cvtepi32_pd(b);
  r[3] = _mm_cvtepi32_pd(_mm_srli_si128(b, 8));
}

}  // namespace

SP_KERNEL void spConvertKernel_32f64f(const float* pSrc, double* pDst, int len) {
  spRunToDouble(pSrc, pDst, len, kStreamThreshold32f64f, [](const float* in, __m128d* r) {
    const __m128 a = _mm_loadu_ps(in), b = _mm_loadu_ps(in + 4);
    r[0] = _mm_cvtps_pd(a);
    r[1] = _mm_cvtps_pd(_mm_movehl_ps(a, a));
    r[2] = _mm_cvtps_pd(b);
    r[3] = _mm_cvtps_pd(_mm_movehl_ps(b, b));
  });
}

SP_KERNEL void spConvertKernel_16s64f(const int16* pSrc, double* pDst, int len) {
  spRunToDouble(pSrc, pDst, len, kStreamThreshold16s64f, [](const int16* in, __m128d* r) { spWiden16s64f(in, r); });
}

SP_KERNEL void spConvertScaledKernel_16s64f(const int16* pSrc, double* pDst, int len, const double* pFactor) {
  const __m128d f = _mm_set1_pd(*pFactor);
  spRunToDouble(pSrc, pDst, len, kStreamThreshold16s64f, [&](const int16* in, __m128d* r) {
    spWiden16s64f(in, r);
    for (int j = 0; j < 4; ++j) r[j] = _mm_mul_pd(r[j], f);
  });
}

SP_KERNEL void spConvertKernel_64f32f(const double* pSrc, float* pDst, int len) {
  // Minimum with the upper bound first (a NaN gives the bound), then the maximum.
  const __m128d hi = _mm_set1_pd(3.402823466e+38), lo = _mm_set1_pd(-3.402823466e+38);
  spRunBlocks<8>(pSrc, pDst, len, false, [&](const double* in, float* out) {
    for (int j = 0; j < 2; ++j) {
      const __m128 a = _mm_cvtpd_ps(_mm_max_pd(_mm_min_pd(_mm_loadu_pd(in + 4 * j), hi), lo));
      const __m128 b = _mm_cvtpd_ps(_mm_max_pd(_mm_min_pd(_mm_loadu_pd(in + 4 * j + 2), hi), lo));
      _mm_storeu_ps(out + 4 * j, _mm_movelh_ps(a, b));
    }
  });
}

// ---- packed 24-bit ---------------------------------------------------------------------

namespace {

// Sign-extended 24-bit samples, 8 per block: each sample is read as the 4-byte word that
// starts one byte before it, shifted right arithmetically by 8. The first element of the
// whole vector always goes through the scalar head, so no read starts before the source.
template <class D, class Store>
inline void spRunFrom24(const uint8* pSrc, D* pDst, int len, Store store) {
  auto scalar = [&](int n) {
    for (int i = 0; i < n; ++i, pSrc += 3, ++pDst) {
      alignas(16) int32 v[4] = {spLoad24(pSrc), 0, 0, 0};
      alignas(16) D out[4];
      store(_mm_load_si128(reinterpret_cast<const __m128i*>(v)), out);
      *pDst = out[0];
    }
  };
  scalar(1);
  --len;
  const int head = spHeadCount(pDst, sizeof(D), len);
  scalar(head);
  len -= head;
  auto word = [](const uint8* p) {
    int32 w;
    __builtin_memcpy(&w, p - 1, 4);
    return w;
  };
  for (; len >= 8; len -= 8, pSrc += 24, pDst += 8) {
    const __m128i a = _mm_srai_epi32(_mm_setr_epi32(word(pSrc), word(pSrc + 3), word(pSrc + 6), word(pSrc + 9)), 8);
    const __m128i b = _mm_srai_epi32(_mm_setr_epi32(word(pSrc + 12), word(pSrc + 15), word(pSrc + 18), word(pSrc + 21)), 8);
    store(a, pDst);
    store(b, pDst + 4);
  }
  scalar(len);
}

}  // namespace

SP_KERNEL void spConvertKernel_24s32f(const uint8* pSrc, float* pDst, int len) {
  spRunFrom24(pSrc, pDst, len, [](__m128i v, float* out) { _mm_storeu_ps(out, _mm_cvtepi32_ps(v)); });
}

SP_KERNEL void spConvertKernel_24s32s(const uint8* pSrc, int32* pDst, int len) {
  spRunFrom24(pSrc, pDst, len, [](__m128i v, int32* out) { spStoreInt(out, v); });
}

namespace {

// Float to packed 24-bit, nearest even whatever the caller's rounding: MXCSR is set to
// round to nearest for the call when needed and restored afterwards. A NaN (also an
// infinity times the zero factor of scale 127) gives 0, as in the generic body.
inline void spFloatTo24(const float* pSrc, uint8* pDst, int len, bool scaled, __m128 f) {
  const uint32 saved = _mm_getcsr();
  const bool changed = (saved & kMxcsrRounding) != 0;
  if (changed) _mm_setcsr(saved & ~kMxcsrRounding);
  const __m128 lo = _mm_set1_ps(-8388608.0f), hi = _mm_set1_ps(8388607.0f);
  spRunTo24(pSrc, pDst, len, true, [&](const float* in) {
    __m128 v = _mm_loadu_ps(in);
    if (scaled) v = _mm_mul_ps(v, f);
    v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
    return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, lo), hi));
  });
  if (changed) _mm_setcsr(saved);
}

}  // namespace

SP_KERNEL void spConvertKernel_32f24s(const float* pSrc, uint8* pDst, int len) {
  spFloatTo24(pSrc, pDst, len, false, _mm_set1_ps(1.0f));
}

SP_KERNEL void spConvertScaledKernel_32f24s(const float* pSrc, uint8* pDst, int len, int scaleFactor) {
  const int s = scaleFactor < -127 ? -127 : (scaleFactor > 127 ? 127 : scaleFactor);
  spFloatTo24(pSrc, pDst, len, true, _mm_castsi128_ps(spSplat32(0x3F800000u - (static_cast<uint32>(s) << 23))));
}

SP_KERNEL void spConvertKernel_32s24s(const int32* pSrc, uint8* pDst, int len) {
  const __m128i hi = _mm_set1_epi32(8388607), lo = _mm_set1_epi32(-8388608);
  spRunTo24(pSrc, pDst, len, true, [&](const int32* in) {
    const __m128i x = spLoadInt(in);
    const __m128i above = _mm_cmpgt_epi32(x, hi), below = _mm_cmplt_epi32(x, lo);
    const __m128i r = _mm_or_si128(_mm_andnot_si128(above, x), _mm_and_si128(above, hi));
    return _mm_or_si128(_mm_andnot_si128(below, r), _mm_and_si128(below, lo));
  });
}

SP_KERNEL void spConvertScaleDownKernel_32s24s(const int32* pSrc, uint8* pDst, int len, int scaleFactor) {
  // Scales outside 1..32: 0 and below store the saturated value, above 32 every result
  // is 0 as it is at 32.
  const int s = scaleFactor > 32 ? 32 : scaleFactor;
  for (int i = 0; i < len; ++i) {
    int64 r = pSrc[i];
    if (s > 0) {
      const int64 x = r;
      r = (x + ((int64{1} << (s - 1)) - 1) + ((x >> s) & 1)) >> s;
    }
    spStore24(pDst + 3 * static_cast<int64>(i), static_cast<int32>(r > 8388607 ? 8388607 : (r < -8388608 ? -8388608 : r)));
  }
}

SP_KERNEL void spConvertScaleUpKernel_32s24s(const int32* pSrc, uint8* pDst, int len, int shift) {
  // x above 8388607 >> s gives 8388607, x at or below -8388608 >> s gives -8388608, so a
  // negative value never loses its sign to a shift of more than 23 bits.
  const int s = shift < 0 ? 0 : (shift > 31 ? 31 : shift);
  const __m128i upper = _mm_set1_epi32(8388607 >> s);
  const __m128i lowerPlusOne = _mm_set1_epi32((-8388608 >> s) + 1);
  const __m128i hi = _mm_set1_epi32(8388607), lo = _mm_set1_epi32(-8388608);
  const __m128i count = _mm_cvtsi32_si128(s);
  spRunTo24(pSrc, pDst, len, true, [&](const int32* in) {
    const __m128i x = spLoadInt(in);
    const __m128i above = _mm_cmpgt_epi32(x, upper), below = _mm_cmplt_epi32(x, lowerPlusOne);
    const __m128i r = _mm_or_si128(_mm_andnot_si128(above, _mm_sll_epi32(x, count)), _mm_and_si128(above, hi));
    return _mm_or_si128(_mm_andnot_si128(below, r), _mm_and_si128(below, lo));
  });
}

// ---- half precision --------------------------------------------------------------------

namespace {

// Four halves (low 64 bits of h, one per 16-bit word) to singles, exact.
inline __m128 spHalfToSingle(__m128i h) {
  const __m128i lanes = _mm_unpacklo_epi16(_mm_setzero_si128(), h);  // h << 16
  const __m128i sign = _mm_and_si128(lanes, spSplat32(0x80000000u));
  __m128i mag = _mm_srli_epi32(_mm_andnot_si128(spSplat32(0x80000000u), lanes), 3);
  // Exponent 31 (infinity, NaN): all eight exponent bits of the single.
  const __m128i special = _mm_cmpgt_epi32(mag, spSplat32(0x0F7FFFFFu));
  mag = _mm_or_si128(mag, _mm_and_si128(special, spSplat32(0x7F800000u)));
  return _mm_mul_ps(_mm_castsi128_ps(_mm_or_si128(mag, sign)), spSplatBits(0x77800000u));
}

}  // namespace

SP_KERNEL void spConvertKernel_16f32f(const uint16* pSrc, float* pDst, int len) {
  spRunBlocks<8>(pSrc, pDst, len, true, [&](const uint16* in, float* out) {
    const __m128i h = spLoadInt(in);
    _mm_storeu_ps(out, spHalfToSingle(h));
    _mm_storeu_ps(out + 4, spHalfToSingle(_mm_srli_si128(h, 8)));
  });
}

SP_KERNEL void spConvertKernel_32f16f(const float* pSrc, uint16* pDst, int len, int roundMode) {
  const __m128 clampMax = spSplatBits(0x47800000u);  // 65536.0
  const __m128 down = spSplatBits(0x07800000u);      // 2^-112
  const __m128i signMask = spSplat32(0x80000000u);
  const bool nearest = roundMode != 0;
  auto four = [&](const float* in, __m128i& sign) {
    const __m128i x = _mm_castps_si128(_mm_loadu_ps(in));
    sign = _mm_srai_epi32(_mm_and_si128(x, signMask), 16);  // 0xFFFF8000 or 0
    // MINPS returns its second operand for a NaN, so a NaN magnitude stays a NaN.
    __m128 a = _mm_min_ps(clampMax, _mm_castsi128_ps(_mm_andnot_si128(signMask, x)));
    __m128i b = _mm_castps_si128(_mm_mul_ps(a, down));
    if (nearest) {
      const __m128i lowestKept = _mm_and_si128(_mm_srli_epi32(b, 13), _mm_set1_epi32(1));
      b = _mm_srli_epi32(_mm_add_epi32(b, _mm_add_epi32(_mm_set1_epi32(0x0FFF), lowestKept)), 13);
    } else {
      b = _mm_and_si128(_mm_srli_epi32(b, 13), _mm_set1_epi32(0x7FFF));
    }
    return b;
  };
  spRunBlocks<8>(pSrc, pDst, len, !nearest, [&](const float* in, uint16* out) {
    __m128i signLo, signHi;
    const __m128i lo = four(in, signLo), hi = four(in + 4, signHi);
    spStoreInt(out, _mm_or_si128(_mm_packs_epi32(lo, hi), _mm_packs_epi32(signLo, signHi)));
  });
}

SP_KERNEL void spConvertKernel_16s16f(const int16* pSrc, uint16* pDst, int len, int roundMode) {
  const bool nearest = roundMode != 0;
  const __m128i rebias = spSplat32(0x38000000u);
  auto four = [&](__m128i x16) {
    const __m128i x = spWiden16s(x16);
    __m128i b = _mm_castps_si128(_mm_cvtepi32_ps(x));
    if (nearest) {
      const __m128i lowestKept = _mm_and_si128(_mm_srli_epi32(b, 13), _mm_set1_epi32(1));
      b = _mm_add_epi32(b, _mm_add_epi32(_mm_set1_epi32(0x0FFF), lowestKept));
    }
    const __m128i sign = _mm_and_si128(_mm_cmplt_epi32(x, _mm_setzero_si128()), spSplat32(0xFFFF8000u));
    return _mm_or_si128(_mm_srli_epi32(_mm_subs_epu16(b, rebias), 13), sign);
  };
  spRunBlocks<8>(pSrc, pDst, len, true, [&](const int16* in, uint16* out) {
    const __m128i x = spLoadInt(in);
    spStoreInt(out, _mm_packs_epi32(four(x), four(_mm_srli_si128(x, 8))));
  });
}

SP_KERNEL void spConvertKernel_16f16s(const uint16* pSrc, int16* pDst, int len, int roundMode, int scaleFactor) {
  // NaN halves give 0; every half is widened exactly, then scaled by the single factor
  // 2^-scaleFactor and clamped to +-65536 before the conversion, so infinities and
  // scale factors of any size saturate instead of wrapping.
  const bool nearest = roundMode != 0;
  const int s = scaleFactor < -127 ? -127 : (scaleFactor > 126 ? 126 : scaleFactor);
  const __m128 f = _mm_castsi128_ps(spSplat32(0x3F800000u - (static_cast<uint32>(s) << 23)));
  const __m128 hi = _mm_set1_ps(65536.0f), lo = _mm_set1_ps(-65536.0f);
  auto four = [&](__m128i h) {
    __m128 v = _mm_mul_ps(spHalfToSingle(h), f);
    v = _mm_max_ps(_mm_min_ps(v, hi), lo);
    return nearest ? _mm_cvtps_epi32(v) : _mm_cvttps_epi32(v);
  };
  spRunBlocks<8>(pSrc, pDst, len, true, [&](const uint16* in, int16* out) {
    __m128i h = spLoadInt(in);
    const __m128i nan = _mm_cmpgt_epi16(_mm_and_si128(h, _mm_set1_epi16(0x7FFF)), _mm_set1_epi16(0x7C00));
    h = _mm_andnot_si128(nan, h);
    spStoreInt(out, _mm_packs_epi32(four(h), four(_mm_srli_si128(h, 8))));
  });
}

// ---- shifted 64-bit ----------------------------------------------------------------

SP_KERNEL void spConvertShiftKernel_64s32s(const int64* pSrc, int32* pDst, int len, int scaleFactor) {
  // Rounded half away from zero and saturated on the rounded value, so a quotient just
  // below 2^31 that rounds up saturates too. Shifts are taken in 1..63.
  const int s = scaleFactor < 1 ? 1 : (scaleFactor > 63 ? 63 : scaleFactor);
  const uint64 half = uint64{1} << (s - 1);
  const uint64 mask = (uint64{1} << s) - 1;
  for (int i = 0; i < len; ++i) {
    const int64 x = pSrc[i];
    const int64 q = x >> s;
    const uint64 rem = static_cast<uint64>(x) & mask;
    const int64 r = q + ((x >= 0 ? rem >= half : rem > half) ? 1 : 0);
    pDst[i] = r > 2147483647 ? 2147483647 : (r < -2147483647 - 1 ? -2147483647 - 1 : static_cast<int32>(r));
  }
}
