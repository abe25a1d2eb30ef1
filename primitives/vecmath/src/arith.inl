// Element-wise arithmetic kernels (multiply in place, add, subtract, multiply) of one
// processor build. Included inside the build's namespace after vm_simd.inl, with
// SP_VECMATH_LOADS_FIRST set to 1 where a block loads all four vectors before its first
// operation (the kernels that slots 2 and 3 share) and 0 where each pair of vectors is
// loaded just before its operation (slot 1). Both store identical values.

namespace {

// Shorter vectors run element by element.
constexpr int kArithMinBlocksLen = 11;
// Add and subtract write more than this many 16-byte aligned blocks of 8 with
// non-temporal stores.
constexpr uint64 kArithStreamBlocks = 0x2AAA;

struct AddOp {
  static __m128 V(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
  static float S(float a, float b) { return a + b; }
};
// Operands arrive as (pSrc1, pSrc2); the result is pSrc2 - pSrc1.
struct SubOp {
  static __m128 V(__m128 a, __m128 b) { return _mm_sub_ps(b, a); }
  static float S(float a, float b) { return b - a; }
};
struct MulOp {
  static __m128 V(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
  static float S(float a, float b) { return a * b; }
};

enum class Store { Unaligned, Aligned, Stream };

template <Store K>
inline void StoreAs(float* p, __m128 v) {
  if constexpr (K == Store::Unaligned) _mm_storeu_ps(p, v);
  if constexpr (K == Store::Aligned) _mm_store_ps(p, v);
  if constexpr (K == Store::Stream) _mm_stream_ps(p, v);
}

template <class Op>
inline void ScalarRun(const float* a, const float* b, float* d, uint64 n) {
  for (uint64 i = 0; i < n; ++i) StS(d + i, Op::S(LdS(a + i), LdS(b + i)));
}

// Blocks of 8 elements; both vectors of both sources are loaded before either result
// is stored, so the destination may be a source.
template <class Op, Load K1, Load K2, Store KS>
void Blocks8(const float*& a, const float*& b, float*& d, uint64 blocks) {
  for (; blocks != 0; --blocks, a += 8, b += 8, d += 8) {
#if SP_VECMATH_LOADS_FIRST
    const __m128 a0 = LoadF<K1>(a), a1 = LoadF<K1>(a + 4);
    const __m128 b0 = LoadF<K2>(b), b1 = LoadF<K2>(b + 4);
    const __m128 r0 = Op::V(a0, b0), r1 = Op::V(a1, b1);
#else
    const __m128 a0 = LoadF<K1>(a), b0 = LoadF<K2>(b);
    const __m128 r0 = Op::V(a0, b0);
    const __m128 a1 = LoadF<K1>(a + 4), b1 = LoadF<K2>(b + 4);
    const __m128 r1 = Op::V(a1, b1);
#endif
    StoreAs<KS>(d, r0);
    StoreAs<KS>(d + 4, r1);
  }
}

template <class Op, Store KS>
void Blocks8ByAlignment(const float*& a, const float*& b, float*& d, uint64 blocks) {
  const bool a16 = Aligned16(a), b16 = Aligned16(b);
  if (a16 && b16) {
    Blocks8<Op, Load::Aligned, Load::Aligned, KS>(a, b, d, blocks);
  } else if (a16) {
    Blocks8<Op, Load::Aligned, Load::Unaligned, KS>(a, b, d, blocks);
  } else if (b16) {
    Blocks8<Op, Load::Unaligned, Load::Aligned, KS>(a, b, d, blocks);
  } else {
    Blocks8<Op, Load::Unaligned, Load::Unaligned, KS>(a, b, d, blocks);
  }
}

// Elements before pDst reaches 16 bytes (0 to 3), for a pDst on 4 bytes.
inline uint64 ArithHead(const float* d) { return ((16 - (Addr(d) & 15)) & 15) / 4; }

template <class Op, bool kMayStream>
void TwoSource(const float* a, const float* b, float* d, int len) {
  uint64 n = static_cast<uint64>(len);
  if (len < kArithMinBlocksLen) {
    ScalarRun<Op>(a, b, d, n);
    return;
  }
  if ((Addr(d) & 3) != 0) {
    Blocks8ByAlignment<Op, Store::Unaligned>(a, b, d, n / 8);
    ScalarRun<Op>(a, b, d, n % 8);
    return;
  }
  const uint64 head = ArithHead(d);
  ScalarRun<Op>(a, b, d, head);
  a += head;
  b += head;
  d += head;
  n -= head;
  const uint64 blocks = n / 8;
  if (kMayStream && blocks > kArithStreamBlocks) {
    Blocks8ByAlignment<Op, Store::Stream>(a, b, d, blocks);
    // Non-temporal stores are weakly ordered: fence them before the caller goes on.
    _mm_sfence();
  } else {
    Blocks8ByAlignment<Op, Store::Aligned>(a, b, d, blocks);
  }
  ScalarRun<Op>(a, b, d, n % 8);
}

// pSrcDst[i] *= pSrc[i], prefetching the source 64 bytes ahead of every block.
template <Load KS, Load KD, bool kAlignedStore>
void MultiplyInPlaceBlocks(const float*& s, float*& d, uint64 blocks) {
  for (; blocks != 0; --blocks, s += 8, d += 8) {
    _mm_prefetch(reinterpret_cast<const char*>(s) + 64, _MM_HINT_T0);
#if SP_VECMATH_LOADS_FIRST
    const __m128 s0 = LoadF<KS>(s), s1 = LoadF<KS>(s + 4);
    const __m128 d0 = LoadF<KD>(d), d1 = LoadF<KD>(d + 4);
    const __m128 r0 = _mm_mul_ps(d0, s0), r1 = _mm_mul_ps(d1, s1);
#else
    const __m128 s0 = LoadF<KS>(s), d0 = LoadF<KD>(d);
    const __m128 r0 = _mm_mul_ps(d0, s0);
    const __m128 s1 = LoadF<KS>(s + 4), d1 = LoadF<KD>(d + 4);
    const __m128 r1 = _mm_mul_ps(d1, s1);
#endif
    StoreF<kAlignedStore>(d, r0);
    StoreF<kAlignedStore>(d + 4, r1);
  }
}

inline void MultiplyInPlaceScalar(const float* s, float* d, uint64 n) {
  for (uint64 i = 0; i < n; ++i) StS(d + i, LdS(d + i) * LdS(s + i));
}

}  // namespace

void spMultiplyInPlaceKernel_32f(const float* pSrc, float* pSrcDst, int len) {
  uint64 n = static_cast<uint64>(len);
  if (len < kArithMinBlocksLen) {
    MultiplyInPlaceScalar(pSrc, pSrcDst, n);
    return;
  }
  if ((Addr(pSrcDst) & 3) != 0) {
    MultiplyInPlaceBlocks<Load::Unaligned, Load::Unaligned, false>(pSrc, pSrcDst, n / 8);
    MultiplyInPlaceScalar(pSrc, pSrcDst, n % 8);
    return;
  }
  const uint64 head = ArithHead(pSrcDst);
  MultiplyInPlaceScalar(pSrc, pSrcDst, head);
  pSrc += head;
  pSrcDst += head;
  n -= head;
  if (Aligned16(pSrc)) {
    MultiplyInPlaceBlocks<Load::Aligned, Load::Aligned, true>(pSrc, pSrcDst, n / 8);
  } else {
    MultiplyInPlaceBlocks<Load::Unaligned, Load::Aligned, true>(pSrc, pSrcDst, n / 8);
  }
  MultiplyInPlaceScalar(pSrc, pSrcDst, n % 8);
}

void spAddKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  TwoSource<AddOp, true>(pSrc1, pSrc2, pDst, len);
}

void spSubtractKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  TwoSource<SubOp, true>(pSrc1, pSrc2, pDst, len);
}

void spMultiplyKernel_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  TwoSource<MulOp, false>(pSrc1, pSrc2, pDst, len);
}

bool spArithmeticStreams(const float* pDst, int len) {
  if (len < kArithMinBlocksLen || (Addr(pDst) & 3) != 0) return false;
  return (static_cast<uint64>(len) - ArithHead(pDst)) / 8 > kArithStreamBlocks;
}
