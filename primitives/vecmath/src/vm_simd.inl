// Loads, stores and traversal helpers shared by the vector-math kernel modules of the
// three processor builds. Included inside the build's namespace with SP_VECMATH_BUILD
// set to the build's slot (1 SSE3, 2 SSSE3, 3 SSE4.1 class); needs <cstdint>,
// <cstring> and the intrinsics of the build. Everything here is local to the build.

namespace {

using uptr = std::uintptr_t;

inline uptr Addr(const void* p) { return reinterpret_cast<uptr>(p); }
inline bool Aligned16(const void* p) { return (Addr(p) & 15) == 0; }

// Elements may stand at any address: single elements go through memcpy.
template <class T>
inline T LdS(const T* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void StS(T* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Vector load forms, chosen once per call from the pointers.
enum class Load { Aligned, Unaligned, Lddqu };

template <Load K>
inline __m128i LoadI(const void* p) {
  if constexpr (K == Load::Aligned) return _mm_load_si128(static_cast<const __m128i*>(p));
  if constexpr (K == Load::Unaligned) return _mm_loadu_si128(static_cast<const __m128i*>(p));
  if constexpr (K == Load::Lddqu) return _mm_lddqu_si128(static_cast<const __m128i*>(p));
}
template <Load K>
inline __m128 LoadF(const float* p) {
  if constexpr (K == Load::Aligned) return _mm_load_ps(p);
  if constexpr (K == Load::Unaligned) return _mm_loadu_ps(p);
  if constexpr (K == Load::Lddqu) return _mm_castsi128_ps(_mm_lddqu_si128(reinterpret_cast<const __m128i*>(p)));
}
template <bool kAligned>
inline void StoreI(void* p, __m128i v) {
  if constexpr (kAligned) {
    _mm_store_si128(static_cast<__m128i*>(p), v);
  } else {
    _mm_storeu_si128(static_cast<__m128i*>(p), v);
  }
}
template <bool kAligned>
inline void StoreF(float* p, __m128 v) {
  if constexpr (kAligned) {
    _mm_store_ps(p, v);
  } else {
    _mm_storeu_ps(p, v);
  }
}

// Fewer than 16 bytes through one vector: the bytes that exist are loaded, the other
// lanes are zero, and only the bytes that exist are stored.
inline __m128i LoadPart(const void* p, unsigned bytes) {
  alignas(16) unsigned char buf[16] = {};
  std::memcpy(buf, p, bytes);
  return _mm_load_si128(reinterpret_cast<const __m128i*>(buf));
}
inline void StorePart(void* p, __m128i v, unsigned bytes) {
  alignas(16) unsigned char buf[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(buf), v);
  std::memcpy(p, buf, bytes);
}

// The element-wise traversal of the unary kernels (absolute values, squares): single
// elements while pDst has address bits of 16 - sizeof(T) set (bringing it to a 16-byte
// boundary), blocks of kBlockVecs vectors with the load and store forms chosen once
// (pDst unaligned: unaligned both; pDst aligned: aligned loads of an aligned pSrc,
// plain unaligned loads of a pSrc on 8 bytes when kBy8 is set, LDDQU otherwise), then
// tail steps halving from kBlockVecs / 2 vectors down to one element. Op::Vec maps one
// vector of elements; every block is loaded before it is stored, so pSrc may be pDst.
template <class T, int kBlockVecs, class Op, Load kLoad, bool kAlignedStore>
inline void UnaryBlocks(const unsigned char*& s, unsigned char*& d, uint64& n) {
  constexpr uint64 kBlockBytes = 16 * kBlockVecs;
  for (; n >= kBlockBytes; n -= kBlockBytes, s += kBlockBytes, d += kBlockBytes) {
    __m128i v[kBlockVecs];
    #pragma GCC unroll 8
    for (int j = 0; j < kBlockVecs; ++j) v[j] = LoadI<kLoad>(s + 16 * j);
    #pragma GCC unroll 8
    for (int j = 0; j < kBlockVecs; ++j) StoreI<kAlignedStore>(d + 16 * j, Op::Vec(v[j]));
  }
}

template <class T, int kBlockVecs, bool kBy8, class Op>
void Unary(const T* pSrc, T* pDst, int len) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(pSrc);
  unsigned char* d = reinterpret_cast<unsigned char*>(pDst);
  uint64 n = static_cast<uint64>(len) * sizeof(T);
  constexpr uptr kHeadBits = 16 - sizeof(T);
  while (n != 0 && (Addr(d) & kHeadBits) != 0) {
    StorePart(d, Op::Vec(LoadPart(s, sizeof(T))), sizeof(T));
    s += sizeof(T);
    d += sizeof(T);
    n -= sizeof(T);
  }
  if (n == 0) return;
  if (!Aligned16(d)) {
    UnaryBlocks<T, kBlockVecs, Op, Load::Unaligned, false>(s, d, n);
  } else if (Aligned16(s)) {
    UnaryBlocks<T, kBlockVecs, Op, Load::Aligned, true>(s, d, n);
  } else if (kBy8 && (Addr(s) & 7) == 0) {
    UnaryBlocks<T, kBlockVecs, Op, Load::Unaligned, true>(s, d, n);
  } else {
    UnaryBlocks<T, kBlockVecs, Op, Load::Lddqu, true>(s, d, n);
  }
  for (uint64 step = 16 * kBlockVecs / 2; step >= 16; step /= 2) {
    if (n >= step) {
      __m128i v[kBlockVecs / 2 > 0 ? kBlockVecs / 2 : 1];
      for (uint64 j = 0; j < step / 16; ++j) v[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * j));
      for (uint64 j = 0; j < step / 16; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * j), Op::Vec(v[j]));
      s += step;
      d += step;
      n -= step;
    }
  }
  for (unsigned step = 8; step >= sizeof(T); step /= 2) {
    if (n >= step) {
      StorePart(d, Op::Vec(LoadPart(s, step)), step);
      s += step;
      d += step;
      n -= step;
    }
  }
}

}  // namespace
