// Element-wise minimum and maximum kernels of one processor build: the source element
// replaces the destination element only when the ordered comparison holds, so a NaN on
// either side and equal values (+0 against -0 too) leave the destination as it was.
// Included inside the build's namespace after vm_simd.inl.

namespace {

// MINPS/MAXPS with the source first: src < dst ? src : dst (resp. >).
struct MinElementOp {
  static __m128 V(__m128 s, __m128 d) { return _mm_min_ps(s, d); }
};
struct MaxElementOp {
  static __m128 V(__m128 s, __m128 d) { return _mm_max_ps(s, d); }
};

template <class Op>
inline void ElementsPart(const float* s, float* d, unsigned count) {
  const __m128 r = Op::V(_mm_castsi128_ps(LoadPart(s, 4 * count)), _mm_castsi128_ps(LoadPart(d, 4 * count)));
  StorePart(d, _mm_castps_si128(r), 4 * count);
}

// count blocks of kVecs vectors; pSrcDst aligned.
template <class Op, Load K, int kVecs>
inline void ElementBlock(const float*& s, float*& d) {
  __m128 r[kVecs];
  #pragma GCC unroll 8
  for (int j = 0; j < kVecs; ++j) r[j] = Op::V(LoadF<K>(s + 4 * j), _mm_load_ps(d + 4 * j));
  #pragma GCC unroll 8
  for (int j = 0; j < kVecs; ++j) _mm_store_ps(d + 4 * j, r[j]);
  s += 4 * kVecs;
  d += 4 * kVecs;
}

template <class Op, Load K>
void ElementBlocks(const float*& s, float*& d, uint64& n) {
  for (; n >= 32; n -= 32) ElementBlock<Op, K, 8>(s, d);
  if (n >= 16) { ElementBlock<Op, K, 4>(s, d); n -= 16; }
  if (n >= 8) { ElementBlock<Op, K, 2>(s, d); n -= 8; }
  if (n >= 4) { ElementBlock<Op, K, 1>(s, d); n -= 4; }
}

template <class Op>
void Elementwise(const float* s, float* d, int len) {
  uint64 n = static_cast<uint64>(len);
  if ((Addr(d) & 3) != 0) {
    for (; n != 0; --n, ++s, ++d) ElementsPart<Op>(s, d, 1);
    return;
  }
  const uint64 head = ((16 - (Addr(d) & 15)) & 15) / 4;
  if (head != 0 && n >= head) {
    for (uint64 i = 0; i < head; ++i, ++s, ++d) ElementsPart<Op>(s, d, 1);
    n -= head;
  }
  if (Aligned16(d)) {
    if (Aligned16(s)) {
      ElementBlocks<Op, Load::Aligned>(s, d, n);
    } else {
      ElementBlocks<Op, Load::Unaligned>(s, d, n);
    }
  }
  if (n >= 2) {
    ElementsPart<Op>(s, d, 2);
    s += 2;
    d += 2;
    n -= 2;
  }
  if (n == 1) ElementsPart<Op>(s, d, 1);
}

}  // namespace

void spMinElementwiseKernel_32f(const float* pSrc, float* pSrcDst, int len) {
  Elementwise<MinElementOp>(pSrc, pSrcDst, len);
}

void spMaxElementwiseKernel_32f(const float* pSrc, float* pSrcDst, int len) {
  Elementwise<MaxElementOp>(pSrc, pSrcDst, len);
}
