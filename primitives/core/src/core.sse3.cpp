// SSE3 build (processor class 1) of the core primitives.
#include <atomic>
#include <cstdint>
#include <cstring>

#include <pmmintrin.h>

#include "sp/core.h"
#include "sp/core_bodies.h"

namespace sp::sse3 {

#include "simd_common.inl"

namespace {

inline __m128i Lddqu(const uint8* s) { return _mm_lddqu_si128(reinterpret_cast<const __m128i*>(s)); }

// Fewer than 64 bytes: below 8 byte by byte from the last; otherwise the last 8 bytes,
// 8-byte words at 8-byte aligned destinations from the top down, then the first 8.
void ShortCopy(const uint8* s, uint8* d, uint64 n) {
  if (n < 8) {
    while (n != 0) {
      --n;
      d[n] = s[n];
    }
    return;
  }
  CopyN<8>(d + n - 8, s + n - 8);
  const int64 top = static_cast<int64>(((Addr(d) + n - 8) & ~uptr{7}) - Addr(d));
  for (int64 o = top; o > 0; o -= 8) CopyN<8>(d + o, s + o);
  CopyN<8>(d, s);
}

// d and s 16-byte aligned.
void AlignedLoop(const uint8* s, uint8* d, uint64 n) {
  for (; n >= 64; n -= 64, s += 64, d += 64) {
    const __m128i a = Load16a(s), b = Load16a(s + 16), c = Load16a(s + 32), e = Load16a(s + 48);
    Store16a(d, a);
    Store16a(d + 16, b);
    Store16a(d + 32, c);
    Store16a(d + 48, e);
  }
  for (; n >= 16; n -= 16, s += 16, d += 16) Store16a(d, Load16a(s));
  ShortCopy(s, d, n);
}

// d 16-byte aligned, s not.
void UnalignedLoop(const uint8* s, uint8* d, uint64 n) {
  for (; n >= 64; n -= 64, s += 64, d += 64) {
    const __m128i a = Lddqu(s), b = Lddqu(s + 16), c = Lddqu(s + 32), e = Lddqu(s + 48);
    Store16a(d, a);
    Store16a(d + 16, b);
    Store16a(d + 32, c);
    Store16a(d + 48, e);
  }
  ShortCopy(s, d, n);
}

// Large copies against the per-core cache share: 256 KB blocks read in first, then
// written with non-temporal stores, closed by a store fence. False when it declines.
bool LargeCopy(const uint8* s, uint8* d, uint64 n) {
  const uint64 share = spProbeCacheSize(true);
  if (share == 0 || n < share / 2) return false;
  constexpr uint64 kBlock = 256 * 1024;
  for (; n >= kBlock; n -= kBlock, s += kBlock, d += kBlock) {
    PreRead(s, kBlock, 128, false);
    for (uint64 o = 0; o < kBlock; o += 16) Stream16(d + o, Lddqu(s + o));
  }
  PreRead(s, n, 128, true);
  const uint64 whole = n & ~uint64{15};
  for (uint64 o = 0; o < whole; o += 16) Stream16(d + o, Lddqu(s + o));
  _mm_sfence();
  ShortCopy(s + whole, d + whole, n - whole);
  return true;
}

// ---- overlap-safe move

enum class LoadKind { Aligned, By8, By4 };

inline LoadKind LoadKindFor(const uint8* s) {
  const uptr m = Addr(s) & 15;
  if (m == 0) return LoadKind::Aligned;
  if (m == 4 || m == 12) return LoadKind::By4;
  return LoadKind::By8;
}

template <LoadKind kKind>
inline __m128i LoadAs(const uint8* s) {
  if constexpr (kKind == LoadKind::Aligned) return Load16a(s);
  if constexpr (kKind == LoadKind::By4) return Load16By4(s);
  if constexpr (kKind == LoadKind::By8) return Load16By8(s);
}

// 32-byte steps with aligned stores, both vectors loaded before either is stored;
// s, d advance (forward) or se, de move down (backward) and n keeps the rest (< 32).
template <LoadKind kKind>
void Steps32Forward(const uint8*& s, uint8*& d, uint64& n) {
  for (; n >= 32; n -= 32, s += 32, d += 32) {
    const __m128i a = LoadAs<kKind>(s), b = LoadAs<kKind>(s + 16);
    Store16a(d, a);
    Store16a(d + 16, b);
  }
}

template <LoadKind kKind>
void Steps32Backward(const uint8*& se, uint8*& de, uint64& n) {
  for (; n >= 32; n -= 32) {
    se -= 32;
    de -= 32;
    const __m128i a = LoadAs<kKind>(se), b = LoadAs<kKind>(se + 16);
    Store16a(de, a);
    Store16a(de + 16, b);
  }
}

// One piece of N bytes, read completely before it is written.
template <unsigned N>
inline void Piece(const uint8* s, uint8* d) {
  if constexpr (N == 32) {
    const __m128i a = Load16u(s), b = Load16u(s + 16);
    Store16u(d, a);
    Store16u(d + 16, b);
  } else if constexpr (N == 16) {
    Store16u(d, Load16u(s));
  } else {
    uint8 tmp[N];
    std::memcpy(tmp, s, N);
    std::memcpy(d, tmp, N);
  }
}

// Pieces of 32, 16, 8, 4 (one each, when that many remain), then single bytes.
void SmallForward(const uint8* s, uint8* d, uint64 n) {
  if (n >= 32) { Piece<32>(s, d); s += 32; d += 32; n -= 32; }
  if (n >= 16) { Piece<16>(s, d); s += 16; d += 16; n -= 16; }
  if (n >= 8) { Piece<8>(s, d); s += 8; d += 8; n -= 8; }
  if (n >= 4) { Piece<4>(s, d); s += 4; d += 4; n -= 4; }
  for (uint64 i = 0; i < n; ++i) d[i] = s[i];
}

// The same from the end down; s and d point at the ends of the ranges.
void SmallBackward(const uint8* se, uint8* de, uint64 n) {
  if (n >= 32) { se -= 32; de -= 32; n -= 32; Piece<32>(se, de); }
  if (n >= 16) { se -= 16; de -= 16; n -= 16; Piece<16>(se, de); }
  if (n >= 8) { se -= 8; de -= 8; n -= 8; Piece<8>(se, de); }
  if (n >= 4) { se -= 4; de -= 4; n -= 4; Piece<4>(se, de); }
  while (n-- != 0) *--de = *--se;
}

void MoveForward(const uint8* s, uint8* d, uint64 n) {
  if (n < 64) {
    SmallForward(s, d, n);
    return;
  }
  uint64 mis = (16 - (Addr(d) & 15)) & 15;
  n -= mis;
  if (mis >= 8) { Piece<8>(s, d); s += 8; d += 8; mis -= 8; }
  if (mis >= 4) { Piece<4>(s, d); s += 4; d += 4; mis -= 4; }
  for (; mis != 0; --mis) *d++ = *s++;
  switch (LoadKindFor(s)) {
    case LoadKind::Aligned: Steps32Forward<LoadKind::Aligned>(s, d, n); break;
    case LoadKind::By4: Steps32Forward<LoadKind::By4>(s, d, n); break;
    default: Steps32Forward<LoadKind::By8>(s, d, n); break;
  }
  SmallForward(s, d, n);
}

void MoveBackward(const uint8* s, uint8* d, uint64 n) {
  const uint8* se = s + n;
  uint8* de = d + n;
  if (n < 64) {
    SmallBackward(se, de, n);
    return;
  }
  uint64 mis = Addr(de) & 15;
  n -= mis;
  if (mis >= 8) { se -= 8; de -= 8; mis -= 8; Piece<8>(se, de); }
  if (mis >= 4) { se -= 4; de -= 4; mis -= 4; Piece<4>(se, de); }
  for (; mis != 0; --mis) *--de = *--se;
  switch (LoadKindFor(se)) {
    case LoadKind::Aligned: Steps32Backward<LoadKind::Aligned>(se, de, n); break;
    case LoadKind::By4: Steps32Backward<LoadKind::By4>(se, de, n); break;
    default: Steps32Backward<LoadKind::By8>(se, de, n); break;
  }
  SmallBackward(se, de, n);
}

}  // namespace

void* spCopyBytes(const void* pSrc, void* pDst, int64 bytes) {
  if (bytes < 1) return pDst;
  const uint8* s = static_cast<const uint8*>(pSrc);
  uint8* d = static_cast<uint8*>(pDst);
  uint64 n = static_cast<uint64>(bytes);
  if (n < 64) {
    ShortCopy(s, d, n);
    return pDst;
  }
  if (!Aligned16(d)) {
    Store16u(d, Lddqu(s));
    const uint64 advance = 16 - (Addr(d) & 15);
    s += advance;
    d += advance;
    n -= advance;
    if (n < 64) {
      ShortCopy(s, d, n);
    } else if (Aligned16(s)) {
      AlignedLoop(s, d, n);
    } else if (!(n >= 0x80000 && LargeCopy(s, d, n))) {
      UnalignedLoop(s, d, n);
    }
    return pDst;
  }
  if (n >= 0x80000 && LargeCopy(s, d, n)) return pDst;
  if (Aligned16(s)) {
    AlignedLoop(s, d, n);
  } else {
    UnalignedLoop(s, d, n);
  }
  return pDst;
}

void* spMoveBytes(const void* pSrc, void* pDst, uint64 bytes) {
  const uint8* s = static_cast<const uint8*>(pSrc);
  uint8* d = static_cast<uint8*>(pDst);
  if (s == d || bytes == 0) return pDst;
  if (Addr(d) > Addr(s)) {
    MoveBackward(s, d, bytes);
  } else {
    MoveForward(s, d, bytes);
  }
  return pDst;
}

}  // namespace sp::sse3
