// Processor builds of the FFT engine: the bit-reversal family by element width. Each member
// moves elements of 4, 8 or 16 bytes (any type of that width) to their m-bit reversed
// places, by a swap table (pairs (4i, 4j), a 0, the self-reversed 4i, a 0) or in 4 x 4
// tiles through the index table, in place or out of place. The complex-float members of
// the FFT (the 8-byte tile kernels and the swap-table block kernel) are in
// fft_proc_permute.inl; these follow the same two methods for the other widths. Included
// inside the namespace of a build, after the permutations.

namespace {

template <size_t W>
struct Element {
  alignas(W >= 8 ? 8 : W) uint8 bytes[W];
};

template <size_t W>
inline Element<W> GetE(const void* base, std::ptrdiff_t i) {
  Element<W> e;
  std::memcpy(e.bytes, static_cast<const uint8*>(base) + i * static_cast<std::ptrdiff_t>(W), W);
  return e;
}
template <size_t W>
inline void PutE(void* base, std::ptrdiff_t i, const Element<W>& e) {
  std::memcpy(static_cast<uint8*>(base) + i * static_cast<std::ptrdiff_t>(W), e.bytes, W);
}
template <size_t W>
inline void SwapE(void* base, std::ptrdiff_t a, std::ptrdiff_t b) {
  const Element<W> ea = GetE<W>(base, a);
  PutE<W>(base, a, GetE<W>(base, b));
  PutE<W>(base, b, ea);
}

template <size_t W>
void PairsInPlace(void* data, int32 n, const int32* table) {
  if (n < 4) return;
  const std::ptrdiff_t h = n / 2;
  const int32* e = table;
  for (; *e != 0; e += 2) {
    const std::ptrdiff_t i = e[0] / 4, j = e[1] / 4;
    SwapE<W>(data, 2 * i, 2 * j);
    SwapE<W>(data, 2 * i + 1, h + 2 * j);
    SwapE<W>(data, h + 2 * i, 2 * j + 1);
    SwapE<W>(data, h + 2 * i + 1, h + 2 * j + 1);
  }
  for (std::ptrdiff_t i = 0;;) {
    SwapE<W>(data, 2 * i + 1, h + 2 * i);
    i = *++e / 4;
    if (i == 0) break;
  }
}

template <size_t W>
void PairsOutOfPlace(const void* src, void* dst, int32 n, const int32* table) {
  if (n < 8) {
    PutE<W>(dst, 0, GetE<W>(src, 0));
    PutE<W>(dst, n - 1, GetE<W>(src, n - 1));
    if (n == 4) {
      PutE<W>(dst, 1, GetE<W>(src, 2));
      PutE<W>(dst, 2, GetE<W>(src, 1));
    }
    return;
  }
  const std::ptrdiff_t h = n / 2;
  const int32* e = table;
  for (; *e != 0; e += 2) {
    const std::ptrdiff_t i = e[0] / 4, j = e[1] / 4;
    PutE<W>(dst, 2 * j, GetE<W>(src, 2 * i));
    PutE<W>(dst, 2 * i, GetE<W>(src, 2 * j));
    PutE<W>(dst, 2 * j + 1, GetE<W>(src, h + 2 * i));
    PutE<W>(dst, 2 * i + 1, GetE<W>(src, h + 2 * j));
    PutE<W>(dst, h + 2 * j, GetE<W>(src, 2 * i + 1));
    PutE<W>(dst, h + 2 * i, GetE<W>(src, 2 * j + 1));
    PutE<W>(dst, h + 2 * j + 1, GetE<W>(src, h + 2 * i + 1));
    PutE<W>(dst, h + 2 * i + 1, GetE<W>(src, h + 2 * j + 1));
  }
  for (std::ptrdiff_t i = 0;;) {
    PutE<W>(dst, 2 * i, GetE<W>(src, 2 * i));
    PutE<W>(dst, h + 2 * i, GetE<W>(src, 2 * i + 1));
    PutE<W>(dst, 2 * i + 1, GetE<W>(src, h + 2 * i));
    PutE<W>(dst, h + 2 * i + 1, GetE<W>(src, h + 2 * i + 1));
    i = *++e / 4;
    if (i == 0) break;
  }
}

// Tile b of N elements: quarter a, block b, lane c at a N/4 + 4b + c; it goes transposed to
// quarter rev2(c), block b', lane rev2(a).
template <size_t W>
struct ElementTile {
  Element<W> v[4][4];
};

template <size_t W>
inline ElementTile<W> LoadElementTile(const void* data, std::ptrdiff_t quarter, std::ptrdiff_t b) {
  ElementTile<W> t;
  for (int a = 0; a < 4; ++a) {
    for (int c = 0; c < 4; ++c) t.v[a][c] = GetE<W>(data, a * quarter + 4 * b + c);
  }
  return t;
}

template <size_t W>
inline void StoreElementTile(void* data, std::ptrdiff_t quarter, std::ptrdiff_t b,
                             const ElementTile<W>& t) {
  static constexpr int kRev2[4] = {0, 2, 1, 3};
  for (int a = 0; a < 4; ++a) {
    for (int c = 0; c < 4; ++c) PutE<W>(data, kRev2[c] * quarter + 4 * b + kRev2[a], t.v[a][c]);
  }
}

template <size_t W>
void EightReversed(const void* src, void* dst) {
  Element<W> e[8];
  for (int k = 0; k < 8; ++k) e[k] = GetE<W>(src, kRev3[k]);
  for (int k = 0; k < 8; ++k) PutE<W>(dst, k, e[k]);
}

template <size_t W>
void ElementTilesInPlace(void* data, int32 n, const int32* table) {
  if (n == 8) {
    EightReversed<W>(data, data);
    return;
  }
  const std::ptrdiff_t quarter = n / 4;
  for (std::ptrdiff_t b = n / 16 - 1; b >= 0; --b) {
    const std::ptrdiff_t partner = table[b] / 8;
    if (partner < b) continue;
    const ElementTile<W> tb = LoadElementTile<W>(data, quarter, b);
    if (partner == b) {
      StoreElementTile<W>(data, quarter, b, tb);
    } else {
      const ElementTile<W> tp = LoadElementTile<W>(data, quarter, partner);
      StoreElementTile<W>(data, quarter, partner, tb);
      StoreElementTile<W>(data, quarter, b, tp);
    }
  }
}

// Source order up to `switchAt` elements, destination order above.
template <size_t W>
void ElementTilesOutOfPlace(const void* src, void* dst, int32 n, const int32* table,
                            int32 switchAt) {
  if (n == 8) {
    EightReversed<W>(src, dst);
    return;
  }
  const std::ptrdiff_t quarter = n / 4;
  if (n <= switchAt) {
    for (std::ptrdiff_t b = n / 16 - 1; b >= 0; --b) {
      StoreElementTile<W>(dst, quarter, table[b] / 8, LoadElementTile<W>(src, quarter, b));
    }
  } else {
    for (std::ptrdiff_t d = 0; d < n / 16; ++d) {
      StoreElementTile<W>(dst, quarter, d, LoadElementTile<W>(src, quarter, table[d] / 8));
    }
  }
}

}  // namespace

void spFftBitReversePairsInPlace_32f(float* pData, int32 N, const int32* pTable) {
  PairsInPlace<4>(pData, N, pTable);
}
void spFftBitReversePairsInPlace_64f(double* pData, int32 N, const int32* pTable) {
  PairsInPlace<8>(pData, N, pTable);
}
void spFftBitReversePairsInPlace_32fc(float* pData, int32 N, const int32* pTable) {
  PairsInPlace<8>(pData, N, pTable);
}
void spFftBitReversePairsInPlace_64fc(double* pData, int32 N, const int32* pTable) {
  PairsInPlace<16>(pData, N, pTable);
}
void spFftBitReversePairs_32f(const float* pSrc, float* pDst, int32 N, const int32* pTable) {
  PairsOutOfPlace<4>(pSrc, pDst, N, pTable);
}
void spFftBitReversePairs_64f(const double* pSrc, double* pDst, int32 N, const int32* pTable) {
  PairsOutOfPlace<8>(pSrc, pDst, N, pTable);
}
void spFftBitReversePermuteInPlace_32f(float* pData, int32 N, const int32* pTable) {
  ElementTilesInPlace<4>(pData, N, pTable);
}
void spFftBitReversePermuteInPlace_64f(double* pData, int32 N, const int32* pTable) {
  ElementTilesInPlace<8>(pData, N, pTable);
}
void spFftBitReversePermuteInPlace_64fc(double* pData, int32 N, const int32* pTable) {
  ElementTilesInPlace<16>(pData, N, pTable);
}
void spFftBitReversePermute_32f(const float* pSrc, float* pDst, int32 N, const int32* pTable) {
  ElementTilesOutOfPlace<4>(pSrc, pDst, N, pTable, 131072);
}
void spFftBitReversePermute_64f(const double* pSrc, double* pDst, int32 N, const int32* pTable) {
  ElementTilesOutOfPlace<8>(pSrc, pDst, N, pTable, 65536);
}
void spFftBitReversePermute_64fc(const double* pSrc, double* pDst, int32 N, const int32* pTable) {
  ElementTilesOutOfPlace<16>(pSrc, pDst, N, pTable, 65536);
}
