// Processor builds of the FFT engine: bit-reversal permutations of complex values. The tile
// kernels see the array as four quarters of Nc/4 values and move 4 x 4 tiles (quarter a,
// block b, lane c to quarter rev2(c), block rev(b), lane rev2(a)); the blocked kernel
// permutes 4096-value tiles in the work buffer. Included inside the namespace of a build.

namespace {

inline uint64 Get8(const float* base, std::ptrdiff_t value) {
  uint64 v;
  std::memcpy(&v, base + 2 * value, 8);
  return v;
}
inline void Put8(float* base, std::ptrdiff_t value, uint64 v) {
  std::memcpy(base + 2 * value, &v, 8);
}
inline void Swap8(float* base, std::ptrdiff_t x, std::ptrdiff_t y) {
  const uint64 vx = Get8(base, x);
  Put8(base, x, Get8(base, y));
  Put8(base, y, vx);
}

// The 16 values of tile b: row a holds lanes 0-1 in v[a][0] and lanes 2-3 in v[a][1].
struct Tile {
  __m128 v[4][2];
};

template <bool kAligned>
inline Tile LoadTile(const float* data, std::ptrdiff_t quarter, std::ptrdiff_t b) {
  Tile t;
  for (int a = 0; a < 4; ++a) {
    const float* p = data + 2 * (a * quarter + 4 * b);
    t.v[a][0] = kAligned ? _mm_load_ps(p) : _mm_loadu_ps(p);
    t.v[a][1] = kAligned ? _mm_load_ps(p + 4) : _mm_loadu_ps(p + 4);
  }
  return t;
}

// Stores tile t transposed as tile b: row c' takes (t[0][c], t[2][c], t[1][c], t[3][c]) with
// c = rev2(c').
template <bool kAligned>
inline void StoreTransposed(float* data, std::ptrdiff_t quarter, std::ptrdiff_t b, const Tile& t) {
  static constexpr int kRev2[4] = {0, 2, 1, 3};
  for (int row = 0; row < 4; ++row) {
    const int c = kRev2[row];
    const int half = c / 2;
    const __m128 lo = (c & 1) == 0
                          ? _mm_movelh_ps(t.v[0][half], t.v[2][half])
                          : _mm_shuffle_ps(t.v[0][half], t.v[2][half], _MM_SHUFFLE(3, 2, 3, 2));
    const __m128 hi = (c & 1) == 0
                          ? _mm_movelh_ps(t.v[1][half], t.v[3][half])
                          : _mm_shuffle_ps(t.v[1][half], t.v[3][half], _MM_SHUFFLE(3, 2, 3, 2));
    float* p = data + 2 * (row * quarter + 4 * b);
    if constexpr (kAligned) {
      _mm_store_ps(p, lo);
      _mm_store_ps(p + 4, hi);
    } else {
      _mm_storeu_ps(p, lo);
      _mm_storeu_ps(p + 4, hi);
    }
  }
}

template <bool kAligned>
void TilesInPlace(float* data, int32 nc, const int32* table) {
  const std::ptrdiff_t quarter = nc / 4;
  for (std::ptrdiff_t b = nc / 16 - 1; b >= 0; --b) {
    const std::ptrdiff_t partner = table[b] / 8;
    if (partner < b) continue;
    const Tile tb = LoadTile<kAligned>(data, quarter, b);
    if (partner == b) {
      StoreTransposed<kAligned>(data, quarter, b, tb);
    } else {
      const Tile tp = LoadTile<kAligned>(data, quarter, partner);
      StoreTransposed<kAligned>(data, quarter, partner, tb);
      StoreTransposed<kAligned>(data, quarter, b, tp);
    }
  }
}

template <bool kAligned>
void TilesOutOfPlace(const float* src, float* dst, int32 nc, const int32* table) {
  const std::ptrdiff_t quarter = nc / 4;
  if (nc <= 65536) {
    // Walk the source.
    for (std::ptrdiff_t b = nc / 16 - 1; b >= 0; --b) {
      StoreTransposed<kAligned>(dst, quarter, table[b] / 8, LoadTile<kAligned>(src, quarter, b));
    }
  } else {
    // Walk the destination, so the large writes run in sequence.
    for (std::ptrdiff_t d = 0; d < nc / 16; ++d) {
      StoreTransposed<kAligned>(dst, quarter, d, LoadTile<kAligned>(src, quarter, table[d] / 8));
    }
  }
}

constexpr int kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};

}  // namespace

void spFftBitReversePermuteInPlace_32fc(float* pData, int32 Nc, const int32* pTable) {
  if (Nc == 8) {
    Swap8(pData, 1, 4);
    Swap8(pData, 3, 6);
    return;
  }
  if (Aligned16(pData)) {
    TilesInPlace<true>(pData, Nc, pTable);
  } else {
    TilesInPlace<false>(pData, Nc, pTable);
  }
}

void spFftBitReversePermute_32fc(const float* pSrc, float* pDst, int32 Nc, const int32* pTable) {
  if (Nc == 8) {
    for (int k = 0; k < 8; ++k) Put8(pDst, k, Get8(pSrc, kRev3[k]));
    return;
  }
  if (Aligned16(pSrc) && Aligned16(pDst)) {
    TilesOutOfPlace<true>(pSrc, pDst, Nc, pTable);
  } else {
    TilesOutOfPlace<false>(pSrc, pDst, Nc, pTable);
  }
}

void spFftBitReversePermuteBlock_32fc(float* pData, int32 N, const int32* pTable) {
  if (N < 4) return;
  const std::ptrdiff_t h = N / 2;
  const int32* e = pTable;
  for (; *e != 0; e += 2) {
    const std::ptrdiff_t i = e[0] / 4, j = e[1] / 4;
    Swap8(pData, 2 * i, 2 * j);
    Swap8(pData, 2 * i + 1, h + 2 * j);
    Swap8(pData, h + 2 * i, 2 * j + 1);
    Swap8(pData, h + 2 * i + 1, h + 2 * j + 1);
  }
  // The 0 that ends the pairs stands for i = 0; then the self-reversed i up to the last 0.
  std::ptrdiff_t i = 0;
  for (;;) {
    Swap8(pData, 2 * i + 1, h + 2 * i);
    i = *++e / 4;
    if (i == 0) break;
  }
}

void spFftBitReversePermuteBlocked_32fc(float* pData, int32 Nc, const int32* pTable, float* pWork) {
  if (Nc < 4096) return;
  const std::ptrdiff_t tiles = Nc / 4096;
  const std::ptrdiff_t row = Nc / 64;  // values of a row
  const int32* inner = pTable + tiles;
  auto gather = [pData, row](std::ptrdiff_t k, float* w) {
    for (std::ptrdiff_t r = 0; r < 64; ++r) {
      std::memcpy(w + 128 * r, pData + 2 * (r * row + 64 * k), 512);
    }
  };
  auto scatter = [pData, row](std::ptrdiff_t k, const float* w) {
    for (std::ptrdiff_t r = 0; r < 64; ++r) {
      std::memcpy(pData + 2 * (r * row + 64 * k), w + 128 * r, 512);
    }
  };
  for (std::ptrdiff_t k = 0; k < tiles; ++k) {
    const std::ptrdiff_t p = pTable[k] / 64;
    if (p < k) continue;
    gather(k, pWork);
    spFftBitReversePermuteBlock_32fc(pWork, 4096, inner);
    if (p == k) {
      scatter(k, pWork);
    } else {
      gather(p, pWork + 8192);
      spFftBitReversePermuteBlock_32fc(pWork + 8192, 4096, inner);
      scatter(p, pWork);
      scatter(k, pWork + 8192);
    }
  }
}
