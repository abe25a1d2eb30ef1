// Code shared by the three processor builds (SSE3, SSSE3, SSE4.1-class). Each build's
// source includes this file inside its own namespace, so every build compiles its own
// copy with its own instruction-set flags. Needs <atomic>, <cstdint>, <cstring>, <emmintrin.h>,
// "sp/core.h" and "sp/core_bodies.h". Everything here is local to the build or a body
// of the build.

namespace {

using uptr = std::uintptr_t;

inline uptr Addr(const void* p) { return reinterpret_cast<uptr>(p); }
inline bool Aligned16(const void* p) { return (Addr(p) & 15) == 0; }

template <unsigned N>
inline void CopyN(uint8* d, const uint8* s) {
  std::memcpy(d, s, N);
}

inline __m128i Load16a(const uint8* s) { return _mm_load_si128(reinterpret_cast<const __m128i*>(s)); }
inline __m128i Load16u(const uint8* s) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)); }
inline void Store16a(uint8* d, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(d), v); }
inline void Store16u(uint8* d, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v); }
inline void Stream16(uint8* d, __m128i v) { _mm_stream_si128(reinterpret_cast<__m128i*>(d), v); }

// 16 bytes from two 8-byte loads, or from four 4-byte loads.
inline __m128i Load16By8(const uint8* s) {
  long long lo, hi;
  std::memcpy(&lo, s, 8);
  std::memcpy(&hi, s + 8, 8);
  return _mm_set_epi64x(hi, lo);
}
inline __m128i Load16By4(const uint8* s) {
  int w[4];
  std::memcpy(w, s, 16);
  return _mm_set_epi32(w[3], w[2], w[1], w[0]);
}

// Touches one byte every `step` bytes of [s, s + n) to bring a block into the cache,
// upwards or from the top down.
void PreRead(const uint8* s, uint64 n, uint64 step, bool downwards) {
  const volatile uint8* v = s;
  if (n == 0) return;
  if (!downwards) {
    for (uint64 o = 0; o < n; o += step) (void)v[o];
  } else {
    for (uint64 o = ((n - 1) / step) * step + step; o != 0;) {
      o -= step;
      (void)v[o];
    }
  }
}

// Cache descriptor table of this build: (CPUID leaf-2 descriptor, size code), the size
// being (code >> 4) << ((code & 15) + 18) bytes; sizes never increase along the table.
struct CacheDescriptor {
  uint8 descriptor;
  uint8 sizeCode;
};
constexpr CacheDescriptor spCacheDescriptorTable[] = {
    {0x4D, 0x16}, {0x4C, 0x34}, {0x4B, 0x15}, {0x47, 0x15}, {0x4E, 0x33}, {0x4A, 0x33},
    {0x49, 0x14}, {0x29, 0x14}, {0x46, 0x14}, {0x48, 0x32}, {0x25, 0x13}, {0x7D, 0x13},
    {0x85, 0x13}, {0x45, 0x13}, {0x23, 0x12}, {0x87, 0x12}, {0x7C, 0x12}, {0x78, 0x12},
    {0x84, 0x12}, {0x44, 0x12}, {0x22, 0x11}, {0x7B, 0x11}, {0x80, 0x11}, {0x86, 0x11},
    {0x3E, 0x11}, {0x7F, 0x11}, {0x83, 0x11}, {0x43, 0x11}, {0x00, 0x00},
};
static_assert(sizeof(spCacheDescriptorTable) / sizeof(spCacheDescriptorTable[0]) == 29);

// ---------------------------------------------------------------------------------
// Zeroing

inline void ZeroBelow16(uint8* d, uint64 n) {
  const uint64 z = 0;
  if (n >= 8) {
    std::memcpy(d, &z, 8);
    std::memcpy(d + n - 8, &z, 8);
  } else if (n >= 4) {
    std::memcpy(d, &z, 4);
    std::memcpy(d + n - 4, &z, 4);
  } else {
    for (uint64 i = 0; i < n; ++i) d[i] = 0;
  }
}

// d 16-byte aligned: 64-byte steps, up to three 16-byte stores, then the short tail.
inline void ZeroAligned(uint8* d, uint64 n) {
  const __m128i z = _mm_setzero_si128();
  for (; n >= 64; n -= 64, d += 64) {
    Store16a(d, z);
    Store16a(d + 16, z);
    Store16a(d + 32, z);
    Store16a(d + 48, z);
  }
  for (; n >= 16; n -= 16, d += 16) Store16a(d, z);
  ZeroBelow16(d, n);
}

// ---------------------------------------------------------------------------------
// Fill kernels: count items of K bytes, the item repeated.

// Stores b < 16 bytes of the pattern (phase 0 at d); b is a multiple of K.
template <unsigned K>
inline void FillBelow16(uint8* d, const uint8* pat, uint64 b) {
  if (b >= 8) {
    std::memcpy(d, pat, 8);
    std::memcpy(d + b - 8, pat, 8);
  } else if (b >= 4) {
    std::memcpy(d, pat, 4);
    std::memcpy(d + b - 4, pat, 4);
  } else if (b >= 2) {
    std::memcpy(d, pat, 2);
  }
}

// d aligned to K, bytes a multiple of K: one unaligned 16-byte store, then aligned
// stores from the next 16-byte boundary, then the last bytes ending at the end.
template <unsigned K>
void FillRun(uint8* d, const uint8* pat, uint64 bytes) {
  if (bytes < 16) {
    FillBelow16<K>(d, pat, bytes);
    return;
  }
  const __m128i v = Load16a(pat);
  uint8* const end = d + bytes;
  Store16u(d, v);
  uint8* a = reinterpret_cast<uint8*>((Addr(d) + 16) & ~uptr{15});
  uint64 left = static_cast<uint64>(end - a);
  for (; left >= 64; left -= 64, a += 64) {
    Store16a(a, v);
    Store16a(a + 16, v);
    Store16a(a + 32, v);
    Store16a(a + 48, v);
  }
  for (; left >= 16; left -= 16, a += 16) Store16a(a, v);
  FillBelow16<K>(a, pat, left);
}

template <unsigned K>
void* FillKernel(const void* pItem, void* pDst, uint32 count) {
  static_assert(K == 2 || K == 4 || K == 8 || K == 16);
  uint8* d = static_cast<uint8*>(pDst);
  uint64 c = count;
  if (c == 0) return pDst;
  alignas(16) uint8 pat[16];
  for (unsigned i = 0; i < 16; i += K) std::memcpy(pat + i, pItem, K);

  const uptr mis = Addr(d) & (K - 1);
  if (mis != 0) {
    if (K < 4 || mis != K / 2) {
      // Misaligned beyond repair: every item on its own.
      for (; c != 0; --c, d += K) std::memcpy(d, pat, K);
      return pDst;
    }
    // Half an item off: the first and last items as they are, the rest with the
    // item's halves swapped from the next item boundary on.
    std::memcpy(d, pat, K);
    std::memcpy(d + K * (c - 1), pat, K);
    alignas(16) uint8 rotated[16];
    for (unsigned i = 0; i < 16; ++i) rotated[i] = pat[(i + K / 2) & 15];
    std::memcpy(pat, rotated, 16);
    d += K / 2;
    if (--c == 0) return pDst;
  }

  constexpr uint64 kLargeItems = 0x100000 / K;
  if (c <= kLargeItems) {
    FillRun<K>(d, pat, c * K);
    return pDst;
  }
  for (; c != 0 && !Aligned16(d); --c, d += K) std::memcpy(d, pat, K);
  const uint64 cache = spProbeCacheSize(false);
  if (cache != 0 && c > cache / K) {
    const __m128i v = Load16a(pat);
    constexpr uint64 kPerStore = 16 / K;
    for (; c >= kPerStore; c -= kPerStore, d += 16) Stream16(d, v);
    _mm_sfence();
  }
  FillRun<K>(d, pat, c * K);
  return pDst;
}

// ---------------------------------------------------------------------------------
// Constant arithmetic kernels

template <class Op>
inline void InPlaceConstKernel(float c, float* p, int len, int prefetchBytes, Op op) {
  if (len < 11) {
    for (int i = 0; i < len; ++i) p[i] = op(p[i], c);
    return;
  }
  const __m128 vc = _mm_set1_ps(c);
  int i = 0;
  if ((Addr(p) & 3) != 0) {
    const int n8 = len & ~7;
    const bool prefetch = n8 > 0x40000;
    for (; i < n8; i += 8) {
      if (prefetch) _mm_prefetch(reinterpret_cast<const char*>(p + i) + prefetchBytes, _MM_HINT_NTA);
      const __m128 a = _mm_loadu_ps(p + i);
      const __m128 b = _mm_loadu_ps(p + i + 4);
      _mm_storeu_ps(p + i, op(a, vc));
      _mm_storeu_ps(p + i + 4, op(b, vc));
    }
  } else {
    for (; !Aligned16(p + i); ++i) p[i] = op(p[i], c);
    const int n8 = i + ((len - i) & ~7);
    const bool prefetch = n8 - i > 0x40000;
    for (; i < n8; i += 8) {
      if (prefetch) _mm_prefetch(reinterpret_cast<const char*>(p + i) + prefetchBytes, _MM_HINT_NTA);
      const __m128 a = _mm_load_ps(p + i);
      const __m128 b = _mm_load_ps(p + i + 4);
      _mm_store_ps(p + i, op(a, vc));
      _mm_store_ps(p + i + 4, op(b, vc));
    }
  }
  for (; i < len; ++i) p[i] = op(p[i], c);
}

struct MulOp {
  float operator()(float a, float b) const { return a * b; }
  __m128 operator()(__m128 a, __m128 b) const { return _mm_mul_ps(a, b); }
};
struct AddOp {
  float operator()(float a, float b) const { return a + b; }
  __m128 operator()(__m128 a, __m128 b) const { return _mm_add_ps(a, b); }
};

// ---------------------------------------------------------------------------------
// Interleave

#include "interleave_checks.inl"

}  // namespace

namespace {

// The whole cache size in units of 256 KB (0 when unknown) and the cores of leaf 4
// (1 when the processor has no leaf 4), read through the installed CPUID reader.
struct CacheProbe {
  uint32 units;
  uint32 cores;
};

CacheProbe ReadCacheProbe() {
  uint32 r[4];
  spReadCpuid(r, 0, 0);
  if (r[1] != 0x756E6547 || r[3] != 0x49656E69 || r[2] != 0x6C65746E) return {0, 1};
  const uint32 maxLeaf = r[0];
  if (maxLeaf < 2) return {0, 1};
  spReadCpuid(r, 2, 0);
  if ((r[0] & 0xFF) != 1) return {0, 1};
  uint8 bytes[16];
  int count = 0;
  for (int reg = 0; reg < 4; ++reg) {
    if ((r[reg] & 0x80000000u) != 0) continue;
    for (int b = (reg == 0 ? 1 : 0); b < 4; ++b) bytes[count++] = static_cast<uint8>(r[reg] >> (8 * b));
  }
  uint32 units = 0;
  for (const CacheDescriptor* row = spCacheDescriptorTable; row->descriptor != 0 && units == 0; ++row) {
    for (int i = 0; i < count; ++i) {
      if (bytes[i] == row->descriptor) {
        units = static_cast<uint32>(row->sizeCode >> 4) << (row->sizeCode & 15);
        break;
      }
    }
  }
  uint32 cores = 1;
  if (units != 0 && maxLeaf >= 4) {
    spReadCpuid(r, 4, 0);
    cores = (r[0] >> 26) + 1;
  }
  return {units, cores};
}

// One word: the reader generation in the upper half, bit 31 set once probed, the size
// units in bits 8..27 (at most 15 << 15) and cores - 1 (at most 63) in bits 0..5, so
// that a probe and the generation it belongs to are read and written together.
constexpr uint64 kProbed = uint64{1} << 31;

uint64 PackProbe(uint32 generation, CacheProbe p) {
  return (uint64{generation} << 32) | kProbed | (uint64{p.units} << 8) | (p.cores - 1);
}

}  // namespace

// CPUID traps to the hypervisor on a virtual machine and costs more than a large copy
// saves, so the cache is probed once and again only after the CPUID reader is replaced.
uint64 spProbeCacheSize(bool perCore) {
  static std::atomic<uint64> probed{0};
  const uint32 generation = spCpuidReaderGeneration();
  uint64 word = probed.load(std::memory_order_acquire);
  if ((word & kProbed) == 0 || static_cast<uint32>(word >> 32) != generation) {
    word = PackProbe(generation, ReadCacheProbe());
    probed.store(word, std::memory_order_release);
  }
  const uint64 size = ((word >> 8) & 0xFFFFF) << 18;
  return perCore ? size / ((word & 63) + 1) : size;
}

void* spZeroBytes(void* p, int64 n) {
  if (n < 1) return p;
  uint8* d = static_cast<uint8*>(p);
  uint64 left = static_cast<uint64>(n);
  if (left < 16) {
    ZeroBelow16(d, left);
    return p;
  }
  const uint64 mis = (16 - (Addr(d) & 15)) & 15;
  if (mis != 0) {
    const uint64 z = 0;
    for (unsigned piece = 1; piece <= 8; piece <<= 1) {
      if (mis & piece) {
        std::memcpy(d, &z, piece);
        d += piece;
      }
    }
    left -= mis;
    if (left == 0) return p;
  }
  if (left > 0x80000) {
    const uint64 cache = spProbeCacheSize(false);
    if (cache != 0 && left >= cache) {
      const __m128i z = _mm_setzero_si128();
      for (; left >= 16; left -= 16, d += 16) Stream16(d, z);
      _mm_sfence();
      ZeroBelow16(d, left);
      return p;
    }
  }
  ZeroAligned(d, left);
  return p;
}

spStatus spZero_32f(float* pDst, int len) {
  if (pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spZeroBytes(pDst, static_cast<int64>(len) * 4);
  return SP_OK;
}

spStatus spCopy_32f(const float* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spCopyBytes(pSrc, pDst, static_cast<int64>(len) * 4);
  return SP_OK;
}

spStatus spMove_32f(const float* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMoveBytes(pSrc, pDst, static_cast<uint64>(len) * 4);
  return SP_OK;
}

void* spFillKernel_16s(const void* pItem, void* pDst, uint32 count) { return FillKernel<2>(pItem, pDst, count); }
void* spFillKernel_32s(const void* pItem, void* pDst, uint32 count) { return FillKernel<4>(pItem, pDst, count); }
void* spFillKernel_64s(const void* pItem, void* pDst, uint32 count) { return FillKernel<8>(pItem, pDst, count); }
void* spFillKernel_64sc(const void* pItem, void* pDst, uint32 count) { return FillKernel<16>(pItem, pDst, count); }

void* spSetKernel_32s(uint32 value, void* pDst, int len) {
  if (len < 1) return pDst;
  const uint32 item = value;
  return spFillKernel_32s(&item, pDst, static_cast<uint32>(len));
}

spStatus spSet_32f(float value, float* pDst, int len) {
  if (pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  uint32 bits;
  std::memcpy(&bits, &value, 4);
  spSetKernel_32s(bits, pDst, len);
  return SP_OK;
}

spStatus spSet_32s(int32 value, int32* pDst, int len) {
  if (pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spSetKernel_32s(static_cast<uint32>(value), pDst, len);
  return SP_OK;
}

void spMulConstKernel_32f(const float* pSrc, float c, float* pDst, int len) {
  if (len < 11) {
    for (int i = 0; i < len; ++i) pDst[i] = pSrc[i] * c;
    return;
  }
  const __m128 vc = _mm_set1_ps(c);
  int i = 0;
  if ((Addr(pDst) & 3) == 0) {
    for (; !Aligned16(pDst + i); ++i) pDst[i] = pSrc[i] * c;
    const int steps = (len - i) / 8;
    const int n8 = i + steps * 8;
    bool streamed = false;
    if (Aligned16(pSrc + i)) {
      if (steps > 16384) {
        streamed = true;
        for (; i < n8; i += 8) {
          _mm_stream_ps(pDst + i, _mm_mul_ps(_mm_load_ps(pSrc + i), vc));
          _mm_stream_ps(pDst + i + 4, _mm_mul_ps(_mm_load_ps(pSrc + i + 4), vc));
        }
      } else {
        for (; i < n8; i += 8) {
          _mm_store_ps(pDst + i, _mm_mul_ps(_mm_load_ps(pSrc + i), vc));
          _mm_store_ps(pDst + i + 4, _mm_mul_ps(_mm_load_ps(pSrc + i + 4), vc));
        }
      }
    } else {
      streamed = true;
      for (; i < n8; i += 8) {
        _mm_stream_ps(pDst + i, _mm_mul_ps(_mm_loadu_ps(pSrc + i), vc));
        _mm_stream_ps(pDst + i + 4, _mm_mul_ps(_mm_loadu_ps(pSrc + i + 4), vc));
      }
    }
    // Order the non-temporal stores before whatever the caller stores next.
    if (streamed) _mm_sfence();
  } else {
    const int n8 = len & ~7;
    const bool srcAligned = Aligned16(pSrc);
    for (; i < n8; i += 8) {
      const __m128 a = srcAligned ? _mm_load_ps(pSrc + i) : _mm_loadu_ps(pSrc + i);
      const __m128 b = srcAligned ? _mm_load_ps(pSrc + i + 4) : _mm_loadu_ps(pSrc + i + 4);
      _mm_storeu_ps(pDst + i, _mm_mul_ps(a, vc));
      _mm_storeu_ps(pDst + i + 4, _mm_mul_ps(b, vc));
    }
  }
  for (; i < len; ++i) pDst[i] = pSrc[i] * c;
}

void spMulConstInPlaceKernel_32f(float c, float* pSrcDst, int len) {
  InPlaceConstKernel(c, pSrcDst, len, 64, MulOp{});
}

void spAddConstInPlaceKernel_32f(float c, float* pSrcDst, int len) {
  InPlaceConstKernel(c, pSrcDst, len, 32, AddOp{});
}

void spAddInPlaceKernel_32f(const float* pSrc, float* pSrcDst, int len) {
  if (len < 11) {
    for (int i = 0; i < len; ++i) pSrcDst[i] = pSrcDst[i] + pSrc[i];
    return;
  }
  int i = 0;
  if ((Addr(pSrcDst) & 3) != 0) {
    const int n8 = len & ~7;
    for (; i < n8; i += 8) {
      _mm_prefetch(reinterpret_cast<const char*>(pSrc + i) + 64, _MM_HINT_T0);
      _mm_storeu_ps(pSrcDst + i, _mm_add_ps(_mm_loadu_ps(pSrcDst + i), _mm_loadu_ps(pSrc + i)));
      _mm_storeu_ps(pSrcDst + i + 4, _mm_add_ps(_mm_loadu_ps(pSrcDst + i + 4), _mm_loadu_ps(pSrc + i + 4)));
    }
  } else {
    for (; !Aligned16(pSrcDst + i); ++i) pSrcDst[i] = pSrcDst[i] + pSrc[i];
    const int n8 = i + ((len - i) & ~7);
    const bool srcAligned = Aligned16(pSrc + i);
    for (; i < n8; i += 8) {
      _mm_prefetch(reinterpret_cast<const char*>(pSrc + i) + 64, _MM_HINT_T0);
      const __m128 a = srcAligned ? _mm_load_ps(pSrc + i) : _mm_loadu_ps(pSrc + i);
      const __m128 b = srcAligned ? _mm_load_ps(pSrc + i + 4) : _mm_loadu_ps(pSrc + i + 4);
      _mm_store_ps(pSrcDst + i, _mm_add_ps(_mm_load_ps(pSrcDst + i), a));
      _mm_store_ps(pSrcDst + i + 4, _mm_add_ps(_mm_load_ps(pSrcDst + i + 4), b));
    }
  }
  for (; i < len; ++i) pSrcDst[i] = pSrcDst[i] + pSrc[i];
}

spStatus spMulConst_32f(const float* pSrc, float c, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 1.0f) return spCopy_32f(pSrc, pDst, len);
  if (c == 0.0f) return spZero_32f(pDst, len);
  spMulConstKernel_32f(pSrc, c, pDst, len);
  return SP_OK;
}

spStatus spDivConstByReciprocal_32f(const float* pSrc, float c, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 0.0f) return SP_ERROR_ZERO_DIVISOR;
  return spMulConst_32f(pSrc, 1.0f / c, pDst, len);
}

spStatus spMulConstInPlace_32f(float c, float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 1.0f) return SP_OK;
  if (c == 0.0f) return spZero_32f(pSrcDst, len);
  spMulConstInPlaceKernel_32f(c, pSrcDst, len);
  return SP_OK;
}

spStatus spDivConstInPlace_32f(float c, float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  return spDivConstByReciprocal_32f(pSrcDst, c, pSrcDst, len);
}

spStatus spAddConstInPlace_32f(float c, float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (c == 0.0f) return SP_OK;
  spAddConstInPlaceKernel_32f(c, pSrcDst, len);
  return SP_OK;
}

spStatus spAddInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spAddInPlaceKernel_32f(pSrc, pSrcDst, len);
  return SP_OK;
}

void spInterleaveTwoKernel_32f(const float* pSrc0, const float* pSrc1, float* pDst, uint32 len) {
  uint64 k = 0;
  const uint64 n = len;
  if (Aligned16(pSrc0) && Aligned16(pSrc1) && Aligned16(pDst)) {
    for (; k + 8 <= n; k += 8) {
      const __m128 a0 = _mm_load_ps(pSrc0 + k), a1 = _mm_load_ps(pSrc0 + k + 4);
      const __m128 b0 = _mm_load_ps(pSrc1 + k), b1 = _mm_load_ps(pSrc1 + k + 4);
      float* d = pDst + 2 * k;
      _mm_store_ps(d, _mm_unpacklo_ps(a0, b0));
      _mm_store_ps(d + 4, _mm_unpackhi_ps(a0, b0));
      _mm_store_ps(d + 8, _mm_unpacklo_ps(a1, b1));
      _mm_store_ps(d + 12, _mm_unpackhi_ps(a1, b1));
    }
  } else {
    for (; k + 8 <= n; k += 8) {
      const __m128 a0 = _mm_loadu_ps(pSrc0 + k), a1 = _mm_loadu_ps(pSrc0 + k + 4);
      const __m128 b0 = _mm_loadu_ps(pSrc1 + k), b1 = _mm_loadu_ps(pSrc1 + k + 4);
      float* d = pDst + 2 * k;
      _mm_storeu_ps(d, _mm_unpacklo_ps(a0, b0));
      _mm_storeu_ps(d + 4, _mm_unpackhi_ps(a0, b0));
      _mm_storeu_ps(d + 8, _mm_unpacklo_ps(a1, b1));
      _mm_storeu_ps(d + 12, _mm_unpackhi_ps(a1, b1));
    }
  }
  for (; k < n; ++k) {
    CopyElement(pDst + 2 * k, pSrc0 + k);
    CopyElement(pDst + 2 * k + 1, pSrc1 + k);
  }
}

void spDeinterleaveTwoKernel_32f(const float* pSrc, float* pDst0, float* pDst1, uint32 len) {
  uint64 k = 0;
  const uint64 n = len;
  if (Aligned16(pSrc) && Aligned16(pDst0) && Aligned16(pDst1)) {
    for (; k + 4 <= n; k += 4) {
      const __m128 v0 = _mm_load_ps(pSrc + 2 * k), v1 = _mm_load_ps(pSrc + 2 * k + 4);
      _mm_store_ps(pDst0 + k, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
      _mm_store_ps(pDst1 + k, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    }
  } else {
    for (; k + 4 <= n; k += 4) {
      const __m128 v0 = _mm_loadu_ps(pSrc + 2 * k), v1 = _mm_loadu_ps(pSrc + 2 * k + 4);
      _mm_storeu_ps(pDst0 + k, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
      _mm_storeu_ps(pDst1 + k, _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    }
  }
  for (; k < n; ++k) {
    CopyElement(pDst0 + k, pSrc + 2 * k);
    CopyElement(pDst1 + k, pSrc + 2 * k + 1);
  }
}

namespace {

// The first R floats (R = 1..4) of v stored at p, or loaded from p with the other lanes
// zero; nothing beyond them is touched.
template <int R>
inline void StoreFirst(float* p, __m128 v) {
  if constexpr (R == 4) {
    _mm_storeu_ps(p, v);
  } else if constexpr (R == 1) {
    _mm_store_ss(p, v);
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
    if constexpr (R == 3) _mm_store_ss(p + 2, _mm_movehl_ps(v, v));
  }
}

template <int R>
inline __m128 LoadFirst(const float* p) {
  if constexpr (R == 4) {
    return _mm_loadu_ps(p);
  } else if constexpr (R == 1) {
    return _mm_load_ss(p);
  } else {
    const __m128 v = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    if constexpr (R == 3) return _mm_movelh_ps(v, _mm_load_ss(p + 2));
    return v;
  }
}

// More than two channels, in groups of four channels (the last group holds the one to
// three left over). A group moves four frames per step through a 4x4 transpose: one
// 16-byte load per channel becomes the group's piece of four consecutive frames, and
// back. Frames after the last whole step are copied one element at a time. Only moves
// and shuffles touch the data, so every bit pattern arrives unchanged.
template <int R>
void InterleaveGroup(const float* const* ppSrc, float* pDst, uint64 channels, uint64 steps) {
  const float* s[4] = {};
  for (int j = 0; j < R; ++j) s[j] = ppSrc[j];
  for (uint64 k = 0; k < 4 * steps; k += 4) {
    __m128 r0 = _mm_loadu_ps(s[0] + k);
    __m128 r1 = R > 1 ? _mm_loadu_ps(s[1] + k) : _mm_setzero_ps();
    __m128 r2 = R > 2 ? _mm_loadu_ps(s[2] + k) : _mm_setzero_ps();
    __m128 r3 = R > 3 ? _mm_loadu_ps(s[3] + k) : _mm_setzero_ps();
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    float* f = pDst + k * channels;
    StoreFirst<R>(f, r0);
    StoreFirst<R>(f + channels, r1);
    StoreFirst<R>(f + 2 * channels, r2);
    StoreFirst<R>(f + 3 * channels, r3);
  }
}

template <int R>
void DeinterleaveGroup(const float* pSrc, float* const* ppDst, uint64 channels, uint64 steps) {
  float* d[4] = {};
  for (int j = 0; j < R; ++j) d[j] = ppDst[j];
  for (uint64 k = 0; k < 4 * steps; k += 4) {
    const float* f = pSrc + k * channels;
    __m128 r0 = LoadFirst<R>(f), r1 = LoadFirst<R>(f + channels);
    __m128 r2 = LoadFirst<R>(f + 2 * channels), r3 = LoadFirst<R>(f + 3 * channels);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(d[0] + k, r0);
    if constexpr (R > 1) _mm_storeu_ps(d[1] + k, r1);
    if constexpr (R > 2) _mm_storeu_ps(d[2] + k, r2);
    if constexpr (R > 3) _mm_storeu_ps(d[3] + k, r3);
  }
}

void InterleaveChannels(const float* const* ppSrc, uint64 channels, uint64 len, float* pDst) {
  const uint64 steps = len / 4;
  uint64 c = 0;
  for (; c + 4 <= channels; c += 4) InterleaveGroup<4>(ppSrc + c, pDst + c, channels, steps);
  switch (channels - c) {
    case 3: InterleaveGroup<3>(ppSrc + c, pDst + c, channels, steps); break;
    case 2: InterleaveGroup<2>(ppSrc + c, pDst + c, channels, steps); break;
    case 1: InterleaveGroup<1>(ppSrc + c, pDst + c, channels, steps); break;
    default: break;
  }
  for (uint64 k = 4 * steps; k < len; ++k) {
    for (c = 0; c < channels; ++c) CopyElement(pDst + k * channels + c, ppSrc[c] + k);
  }
}

void DeinterleaveChannels(const float* pSrc, uint64 channels, uint64 len, float* const* ppDst) {
  const uint64 steps = len / 4;
  uint64 c = 0;
  for (; c + 4 <= channels; c += 4) DeinterleaveGroup<4>(pSrc + c, ppDst + c, channels, steps);
  switch (channels - c) {
    case 3: DeinterleaveGroup<3>(pSrc + c, ppDst + c, channels, steps); break;
    case 2: DeinterleaveGroup<2>(pSrc + c, ppDst + c, channels, steps); break;
    case 1: DeinterleaveGroup<1>(pSrc + c, ppDst + c, channels, steps); break;
    default: break;
  }
  for (uint64 k = 4 * steps; k < len; ++k) {
    for (c = 0; c < channels; ++c) CopyElement(ppDst[c] + k, pSrc + k * channels + c);
  }
}

}  // namespace

spStatus spInterleave_32f(const float* const* ppSrc, int numChannels, int len, float* pDst) {
  const spStatus status = CheckPlanarArguments(pDst, ppSrc, numChannels, len);
  if (status < 0) return status;
  if (numChannels == 1) {
    spCopy_32f(ppSrc[0], pDst, len);
    return status;
  }
  if (numChannels == 2) {
    spInterleaveTwoKernel_32f(ppSrc[0], ppSrc[1], pDst, static_cast<uint32>(len));
    return status;
  }
  InterleaveChannels(ppSrc, static_cast<uint64>(numChannels), static_cast<uint64>(len), pDst);
  return status;
}

spStatus spDeinterleave_32f(const float* pSrc, int numChannels, int len, float* const* ppDst) {
  const spStatus status = CheckPlanarArguments(pSrc, ppDst, numChannels, len);
  if (status < 0) return status;
  if (numChannels == 1) {
    spCopy_32f(pSrc, ppDst[0], len);
    return status;
  }
  if (numChannels == 2) {
    spDeinterleaveTwoKernel_32f(pSrc, ppDst[0], ppDst[1], static_cast<uint32>(len));
    return status;
  }
  DeinterleaveChannels(pSrc, static_cast<uint64>(numChannels), static_cast<uint64>(len), ppDst);
  return status;
}
