// Copy and move of the SSSE3 and SSE4.1-class builds: one code, included inside each
// build's namespace after simd_common.inl. Needs <tmmintrin.h>.

namespace {

// Pieces of 32, 16, 8, 4, 2, 1 bytes by the bits of n (< 64), from the start.
// Every piece is read completely before it is written.
void PiecesForward(const uint8* s, uint8* d, uint64 n) {
  if (n & 32) {
    const __m128i a = Load16u(s), b = Load16u(s + 16);
    Store16u(d, a);
    Store16u(d + 16, b);
    s += 32;
    d += 32;
  }
  if (n & 16) { Store16u(d, Load16u(s)); s += 16; d += 16; }
  if (n & 8) { CopyN<8>(d, s); s += 8; d += 8; }
  if (n & 4) { CopyN<4>(d, s); s += 4; d += 4; }
  if (n & 2) { CopyN<2>(d, s); s += 2; d += 2; }
  if (n & 1) *d = *s;
}

// Pieces of 1, 2, 4, 8, 16, 32 bytes by the bits of n (< 64), from the ends se/de down.
void PiecesBackward(const uint8* se, uint8* de, uint64 n) {
  if (n & 1) { se -= 1; de -= 1; *de = *se; }
  if (n & 2) { se -= 2; de -= 2; CopyN<2>(de, se); }
  if (n & 4) { se -= 4; de -= 4; CopyN<4>(de, se); }
  if (n & 8) { se -= 8; de -= 8; CopyN<8>(de, se); }
  if (n & 16) { se -= 16; de -= 16; Store16u(de, Load16u(se)); }
  if (n & 32) {
    se -= 32;
    de -= 32;
    const __m128i a = Load16u(se), b = Load16u(se + 16);
    Store16u(de, a);
    Store16u(de + 16, b);
  }
}

// Fewer than 64 bytes: 32, 16, 8, 4 by the bits of n from the start, then the last
// 0-3 bytes one by one from the end.
void ShortCopy(const uint8* s, uint8* d, uint64 n) {
  PiecesForward(s, d, n & ~uint64{3});
  for (uint64 i = n; i > (n & ~uint64{3});) {
    --i;
    d[i] = s[i];
  }
}

// d aligned, s not: 64-byte steps of unaligned loads, then the short copy.
void UnalignedCopy(const uint8* s, uint8* d, uint64 n) {
  for (; n >= 64; n -= 64, s += 64, d += 64) {
    const __m128i a = Load16u(s), b = Load16u(s + 16), c = Load16u(s + 32), e = Load16u(s + 48);
    Store16a(d, a);
    Store16a(d + 16, b);
    Store16a(d + 32, c);
    Store16a(d + 48, e);
  }
  ShortCopy(s, d, n);
}

// Both aligned: forward or backward by where the two fall within a 4 KB page, so that
// loads do not wait on stores to the same page offset.
void AlignedCopy(const uint8* s, uint8* d, uint64 n) {
  const int64 dist = static_cast<int64>(Addr(s) & 4095) - static_cast<int64>(Addr(d) & 4095);
  if ((dist >= 1 && dist <= 160) || dist < -3936) {
    for (; n >= 64; n -= 64, s += 64, d += 64) {
      const __m128i a = Load16a(s), b = Load16a(s + 16), c = Load16a(s + 32), e = Load16a(s + 48);
      Store16a(d, a);
      Store16a(d + 16, b);
      Store16a(d + 32, c);
      Store16a(d + 48, e);
    }
    PiecesForward(s, d, n);
    return;
  }
  PiecesBackward(s + n, d + n, n & 63);
  for (uint64 o = n & ~uint64{63}; o != 0;) {
    o -= 64;
    const __m128i a = Load16a(s + o), b = Load16a(s + o + 16), c = Load16a(s + o + 32),
                  e = Load16a(s + o + 48);
    Store16a(d + o, a);
    Store16a(d + o + 16, b);
    Store16a(d + o + 32, c);
    Store16a(d + o + 48, e);
  }
}

// d aligned, s 4-byte aligned but not 16: aligned loads realigned with PALIGNR. The first
// 16 bytes go unaligned so that no load starts before the source; 16 bytes are held
// back so that none passes its end.
template <int Off>
void RealignedSteps(const uint8*& s, uint8*& d, uint64& n) {
  const uint8* sa = s - Off;
  __m128i prev = Load16a(sa);
  for (; n >= 80; n -= 64, s += 64, d += 64, sa += 64) {
    const __m128i x1 = Load16a(sa + 16), x2 = Load16a(sa + 32), x3 = Load16a(sa + 48),
                  x4 = Load16a(sa + 64);
    Store16a(d, _mm_alignr_epi8(x1, prev, Off));
    Store16a(d + 16, _mm_alignr_epi8(x2, x1, Off));
    Store16a(d + 32, _mm_alignr_epi8(x3, x2, Off));
    Store16a(d + 48, _mm_alignr_epi8(x4, x3, Off));
    prev = x4;
  }
}

void RealignedCopy(const uint8* s, uint8* d, uint64 n) {
  Store16a(d, Load16u(s));
  s += 16;
  d += 16;
  n -= 16;
  switch (Addr(s) & 15) {
    case 4: RealignedSteps<4>(s, d, n); break;
    case 8: RealignedSteps<8>(s, d, n); break;
    default: RealignedSteps<12>(s, d, n); break;
  }
  UnalignedCopy(s, d, n);
}

// Large copies against the whole cache: 256 KB blocks read in first (one byte every
// 64), then written with non-temporal stores, closed by a store fence.
bool LargeCopy(const uint8* s, uint8* d, uint64 n) {
  const uint64 cache = spProbeCacheSize(false);
  if (cache == 0 || n < cache / 2) return false;
  constexpr uint64 kBlock = 256 * 1024;
  for (; n >= kBlock; n -= kBlock, s += kBlock, d += kBlock) {
    PreRead(s, kBlock, 64, false);
    for (uint64 o = 0; o < kBlock; o += 16) Stream16(d + o, Load16u(s + o));
  }
  PreRead(s, n, 64, true);
  const uint64 whole = n & ~uint64{15};
  for (uint64 o = 0; o < whole; o += 16) Stream16(d + o, Load16u(s + o));
  _mm_sfence();
  ShortCopy(s + whole, d + whole, n - whole);
  return true;
}

// d aligned: the copy by the source's alignment.
void CopyFromAlignedDst(const uint8* s, uint8* d, uint64 n) {
  if (Aligned16(s)) {
    AlignedCopy(s, d, n);
  } else if ((Addr(s) & 3) == 0) {
    RealignedCopy(s, d, n);
  } else {
    UnalignedCopy(s, d, n);
  }
}

// ---- overlap-safe move

enum class LoadKind { Aligned, By8, By4 };

inline LoadKind LoadKindFor(const uint8* s) {
  const uptr m = Addr(s) & 15;
  if (m == 0) return LoadKind::Aligned;
  if (m == 4 || m == 12) return LoadKind::By4;
  return LoadKind::By8;
}

// 32 bytes by the load kind, read completely before they are stored (aligned).
inline void Step32(LoadKind kind, const uint8* s, uint8* d) {
  __m128i a, b;
  switch (kind) {
    case LoadKind::Aligned: a = Load16a(s); b = Load16a(s + 16); break;
    case LoadKind::By4: a = Load16By4(s); b = Load16By4(s + 16); break;
    default: a = Load16By8(s); b = Load16By8(s + 16); break;
  }
  Store16a(d, a);
  Store16a(d + 16, b);
}

inline void Step64Aligned(const uint8* s, uint8* d) {
  const __m128i a = Load16a(s), b = Load16a(s + 16), c = Load16a(s + 32), e = Load16a(s + 48);
  Store16a(d, a);
  Store16a(d + 16, b);
  Store16a(d + 32, c);
  Store16a(d + 48, e);
}

void MoveForward(const uint8* s, uint8* d, uint64 n) {
  if (n < 64) {
    PiecesForward(s, d, n);
    return;
  }
  if (Aligned16(s) && Aligned16(d)) {
    for (; n >= 64; n -= 64, s += 64, d += 64) Step64Aligned(s, d);
    PiecesForward(s, d, n);
    return;
  }
  const uint64 mis = (16 - (Addr(d) & 15)) & 15;
  PiecesForward(s, d, mis);
  s += mis;
  d += mis;
  n -= mis;
  const LoadKind kind = LoadKindFor(s);
  for (; n >= 32; n -= 32, s += 32, d += 32) Step32(kind, s, d);
  PiecesForward(s, d, n);
}

void MoveBackward(const uint8* s, uint8* d, uint64 n) {
  const uint8* se = s + n;
  uint8* de = d + n;
  if (n < 64) {
    PiecesBackward(se, de, n);
    return;
  }
  if (Aligned16(s) && Aligned16(d)) {
    PiecesBackward(se, de, n & 63);
    se -= n & 63;
    de -= n & 63;
    for (n &= ~uint64{63}; n != 0; n -= 64) {
      se -= 64;
      de -= 64;
      Step64Aligned(se, de);
    }
    return;
  }
  const uint64 mis = Addr(de) & 15;
  PiecesBackward(se, de, mis);
  se -= mis;
  de -= mis;
  n -= mis;
  const LoadKind kind = LoadKindFor(se);
  for (; n >= 32; n -= 32) {
    se -= 32;
    de -= 32;
    Step32(kind, se, de);
  }
  PiecesBackward(se, de, n);
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
    Store16u(d, Load16u(s));
    const uint64 advance = 16 - (Addr(d) & 15);
    s += advance;
    d += advance;
    n -= advance;
    if (n < 64) {
      ShortCopy(s, d, n);
    } else if (Aligned16(s)) {
      AlignedCopy(s, d, n);
    } else if (!(n >= 0x100000 && LargeCopy(s, d, n))) {
      CopyFromAlignedDst(s, d, n);
    }
    return pDst;
  }
  if (n >= 0x100000 && LargeCopy(s, d, n)) return pDst;
  CopyFromAlignedDst(s, d, n);
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
