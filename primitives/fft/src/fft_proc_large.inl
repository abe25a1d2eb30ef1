// Processor builds of the FFT engine: the column pass set and the large-order drivers.
//
// A transform of 2^m complex values above the in-core limit is bit-reversed, its S = 2^s
// rows of R = 2^r values are transformed in place by the radix passes (left in split
// quads), and the S-point column transforms are done batch by batch: K = 2^(b - s)
// columns of all rows are gathered into the work buffer, run through radix-4 and radix-8
// column passes that read the level's twiddle stream in sequence, and scattered back
// (interleaved at the top level, still split below it). (s, b) come from
// spLargeFftSplitTable; rows above the in-core limit are split once more. Included inside
// the namespace of a build, after the radix passes and the permutations.

namespace {

#if SP_FFT_VARIANT == 1
constexpr int32 kDriverBlockedFrom = 20;  // first order of the blocked bit reversal
#else
constexpr int32 kDriverBlockedFrom = 19;
#endif

template <bool kAligned>
inline Vec LoadA(const float* p) {
  return kAligned ? _mm_load_ps(p) : _mm_loadu_ps(p);
}
template <bool kAligned>
inline void StoreA(float* p, Vec v) {
  if constexpr (kAligned) {
    _mm_store_ps(p, v);
  } else {
    _mm_storeu_ps(p, v);
  }
}

template <bool kAligned>
void GatherRows(const float* data, float* work, std::ptrdiff_t stride, std::ptrdiff_t rows,
                std::ptrdiff_t rowLen) {
  for (std::ptrdiff_t i = 0; i < rows; ++i) {
    const float* row = data + 2 * i * stride;
    for (std::ptrdiff_t f = 0; f < 2 * rowLen; f += 16, work += 16) {
      const Vec a = LoadA<kAligned>(row + f), b = LoadA<kAligned>(row + f + 4);
      const Vec c = LoadA<kAligned>(row + f + 8), d = LoadA<kAligned>(row + f + 12);
      _mm_store_ps(work, a);
      _mm_store_ps(work + 4, b);
      _mm_store_ps(work + 8, c);
      _mm_store_ps(work + 12, d);
    }
  }
}

template <bool kAligned, bool kInterleave>
void ScatterRows(float* data, const float* work, std::ptrdiff_t stride, std::ptrdiff_t rows,
                 std::ptrdiff_t rowLen) {
  for (std::ptrdiff_t i = 0; i < rows; ++i) {
    float* row = data + 2 * i * stride;
    for (std::ptrdiff_t f = 0; f < 2 * rowLen; f += 16, work += 16) {
      const Vec r0 = Load(work), i0 = Load(work + 4), r1 = Load(work + 8), i1 = Load(work + 12);
      if constexpr (kInterleave) {
        StoreA<kAligned>(row + f, _mm_unpacklo_ps(r0, i0));
        StoreA<kAligned>(row + f + 4, _mm_unpackhi_ps(r0, i0));
        StoreA<kAligned>(row + f + 8, _mm_unpacklo_ps(r1, i1));
        StoreA<kAligned>(row + f + 12, _mm_unpackhi_ps(r1, i1));
      } else {
        StoreA<kAligned>(row + f, r0);
        StoreA<kAligned>(row + f + 4, i0);
        StoreA<kAligned>(row + f + 8, r1);
        StoreA<kAligned>(row + f + 12, i1);
      }
    }
  }
}

// Column radix-8 butterfly in place on eight split quads at p + j step, twiddles u0..u6 for
// the sections 4, 2, 6, 1, 5, 3, 7; the odd eighth turns as one product of a sum by c.
template <bool kInv>
SP_FFT_BUTTERFLY void LargeRadix8(float* p, std::ptrdiff_t step, const float* w) {
  static constexpr int kSection[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  Vec yr[8], yi[8];  // y_j: section rev3(j) times its twiddle
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) {
    yr[j] = Load(p + kSection[j] * step);
    yi[j] = Load(p + kSection[j] * step + 4);
    if (j > 0) Twiddle<kInv>(yr[j], yi[j], w + 8 * (j - 1));
  }
  const Vec c = Const(2), negC = Const(3);
  // a: x0 -/+ T1, b: T2 -/+ T3, c: T4 -/+ T5, d: T6 -/+ T7 in the naming of the sections.
  const Vec a0r = _mm_add_ps(yr[0], yr[4]), a0i = _mm_add_ps(yi[0], yi[4]);
  const Vec a1r = _mm_sub_ps(yr[0], yr[4]), a1i = _mm_sub_ps(yi[0], yi[4]);
  const Vec b0r = _mm_add_ps(yr[2], yr[6]), b0i = _mm_add_ps(yi[2], yi[6]);
  const Vec b1r = _mm_sub_ps(yr[2], yr[6]), b1i = _mm_sub_ps(yi[2], yi[6]);
  const Vec c0r = _mm_add_ps(yr[1], yr[5]), c0i = _mm_add_ps(yi[1], yi[5]);
  const Vec c1r = _mm_sub_ps(yr[1], yr[5]), c1i = _mm_sub_ps(yi[1], yi[5]);
  const Vec d0r = _mm_add_ps(yr[3], yr[7]), d0i = _mm_add_ps(yi[3], yi[7]);
  const Vec d1r = _mm_sub_ps(yr[3], yr[7]), d1i = _mm_sub_ps(yi[3], yi[7]);

  const Vec baR = _mm_add_ps(b0r, a0r), baI = _mm_add_ps(b0i, a0i);
  const Vec dcR = _mm_add_ps(d0r, c0r), dcI = _mm_add_ps(d0i, c0i);
  _mm_store_ps(p, _mm_add_ps(baR, dcR));
  _mm_store_ps(p + 4, _mm_add_ps(baI, dcI));
  _mm_store_ps(p + 4 * step, _mm_sub_ps(baR, dcR));
  _mm_store_ps(p + 4 * step + 4, _mm_sub_ps(baI, dcI));

  const Vec abR = _mm_sub_ps(a0r, b0r), abI = _mm_sub_ps(a0i, b0i);
  const Vec cdR = _mm_sub_ps(c0r, d0r), cdI = _mm_sub_ps(c0i, d0i);
  // (a0 - b0) - i (c0 - d0) to x2 and + i to x6 (forward; the inverse the other way round).
  const Vec mR = _mm_add_ps(abR, cdI), mI = _mm_sub_ps(abI, cdR);
  const Vec pR = _mm_sub_ps(abR, cdI), pI = _mm_add_ps(abI, cdR);
  float* x2 = p + 2 * step;
  float* x6 = p + 6 * step;
  if constexpr (kInv) std::swap(x2, x6);
  _mm_store_ps(x2, mR);
  _mm_store_ps(x2 + 4, mI);
  _mm_store_ps(x6, pR);
  _mm_store_ps(x6 + 4, pI);

  Vec eR, eI, fR, fI, tR, tI, gR, gI, hR, hI, uR, uI;
  if constexpr (!kInv) {
    eR = _mm_add_ps(a1r, b1i), eI = _mm_sub_ps(a1i, b1r);
    fR = _mm_add_ps(c1r, d1i), fI = _mm_sub_ps(c1i, d1r);
    tR = _mm_mul_ps(_mm_add_ps(fR, fI), c), tI = _mm_mul_ps(_mm_sub_ps(fI, fR), c);
    gR = _mm_sub_ps(a1r, b1i), gI = _mm_add_ps(a1i, b1r);
    hR = _mm_sub_ps(c1r, d1i), hI = _mm_add_ps(c1i, d1r);
    uR = _mm_mul_ps(_mm_sub_ps(hR, hI), negC), uI = _mm_mul_ps(_mm_add_ps(hI, hR), negC);
  } else {
    eR = _mm_sub_ps(a1r, b1i), eI = _mm_add_ps(a1i, b1r);
    fR = _mm_sub_ps(c1r, d1i), fI = _mm_add_ps(c1i, d1r);
    tR = _mm_mul_ps(_mm_sub_ps(fR, fI), c), tI = _mm_mul_ps(_mm_add_ps(fI, fR), c);
    gR = _mm_add_ps(a1r, b1i), gI = _mm_sub_ps(a1i, b1r);
    hR = _mm_add_ps(c1r, d1i), hI = _mm_sub_ps(c1i, d1r);
    uR = _mm_mul_ps(_mm_add_ps(hR, hI), negC), uI = _mm_mul_ps(_mm_sub_ps(hI, hR), negC);
  }
  _mm_store_ps(p + step, _mm_add_ps(eR, tR));
  _mm_store_ps(p + step + 4, _mm_add_ps(eI, tI));
  _mm_store_ps(p + 5 * step, _mm_sub_ps(eR, tR));
  _mm_store_ps(p + 5 * step + 4, _mm_sub_ps(eI, tI));
  _mm_store_ps(p + 3 * step, _mm_add_ps(gR, uR));
  _mm_store_ps(p + 3 * step + 4, _mm_add_ps(gI, uI));
  _mm_store_ps(p + 7 * step, _mm_sub_ps(gR, uR));
  _mm_store_ps(p + 7 * step + 4, _mm_sub_ps(gI, uI));
}

template <bool kInv>
void LargePass4(const float* src, float* dst, int32 len, int32 blocks, const float* w) {
  const std::ptrdiff_t step = 2 * static_cast<std::ptrdiff_t>(len);
  for (std::ptrdiff_t b = 0; b < blocks; ++b, src += 4 * step, dst += 4 * step) {
    const float* rec = w;
    for (std::ptrdiff_t k = 0; k < step; k += 8, rec += 24) {
      Radix4<kInv, false>(src + k, dst + k, step, rec);
    }
  }
}

template <bool kInv>
void LargePass8(float* data, int32 len, int32 blocks, const float* w) {
  const std::ptrdiff_t step = 2 * static_cast<std::ptrdiff_t>(len);
  for (std::ptrdiff_t b = 0; b < blocks; ++b, data += 8 * step) {
    const float* rec = w;
    for (std::ptrdiff_t k = 0; k < step; k += 8, rec += 56) LargeRadix8<kInv>(data + k, step, rec);
  }
}

template <bool kInv>
void Rows(const spFftSpecHeader* spec, float* data, int32 m, int32 level, float* work);

// Rows, then the column batches of one level on 2^m values at data (in bit-reversed order);
// scatter mode 1 interleaves the result, any other leaves it in split quads.
template <bool kInv>
void Level(const spFftSpecHeader* spec, float* data, int32 m, int32 level, float* work,
           int32 mode) {
  const int32 s = spLargeFftSplitTable[m][0];
  const int32 b = spLargeFftSplitTable[m][1];
  const int32 r = m - s;
  const std::ptrdiff_t bigR = std::ptrdiff_t{1} << r;
  const int32 bigS = int32{1} << s;
  const int32 k = int32{1} << (b - s);

  for (std::ptrdiff_t i = 0; i < bigS; ++i) Rows<kInv>(spec, data + 2 * i * bigR, r, level, work);

  const float* p = spec->levelBlocks[level];
  for (std::ptrdiff_t c0 = 0; c0 < bigR; c0 += k) {
    spFftGatherRows_32fc(data + 2 * c0, work, bigR, bigS, k);
    int32 span = k, groups = bigS;
    for (int32 done = 0; done < s;) {
      if (s - done == 2 || s - done == 4) {
        if constexpr (!kInv) {
          spFftLargePassRadix4Forward_32fc(work, work, span, groups / 4, p);
        } else {
          spFftLargePassRadix4Inverse_32fc(work, work, span, groups / 4, p);
        }
        p += 6 * static_cast<std::ptrdiff_t>(span);
        span *= 4, groups /= 4, done += 2;
      } else {
        if constexpr (!kInv) {
          spFftLargePassRadix8Forward_32fc(work, work, span, groups / 8, p);
        } else {
          spFftLargePassRadix8Inverse_32fc(work, work, span, groups / 8, p);
        }
        p += 14 * static_cast<std::ptrdiff_t>(span);
        span *= 8, groups /= 8, done += 3;
      }
    }
    spFftScatterRows_32fc(data + 2 * c0, work, bigR, bigS, k, mode);
  }
}

// One row of 2^r values below a level: split again above the in-core limit, else the radix
// passes into split quads, scaled here (the only place a large transform scales).
template <bool kInv>
void Rows(const spFftSpecHeader* spec, float* row, int32 r, int32 level, float* work) {
  if (r > spFftInCoreLimit) {
    Level<kInv>(spec, row, r, level + 1, work, 0);
    return;
  }
  const int32 n = int32{1} << r;
  if constexpr (!kInv) {
    spFftRadixPassesForward_32fc(row, n, spec->twiddles, work, 0);
  } else {
    spFftRadixPassesInverse_32fc(row, n, spec->twiddles, work, 0);
  }
  if ((kInv ? spec->scaleInverse : spec->scaleForward) != 0) {
    spMulConstInPlace_32f(spec->scale, row, 2 * n);
  }
}

#if SP_FFT_VARIANT != 1
// Out-of-place blocked bit reversal: destination tile after destination tile, each the
// permuted partner tile of the source; the source is only read.
void BlockedGather(const float* src, float* dst, int32 nc, const int32* table, float* work) {
  const std::ptrdiff_t tiles = nc / 4096;
  const std::ptrdiff_t row = nc / 64;
  const int32* inner = table + tiles;
  for (std::ptrdiff_t k = 0; k < tiles; ++k) {
    const std::ptrdiff_t p = table[k] / 64;
    for (std::ptrdiff_t r = 0; r < 64; ++r) {
      std::memcpy(work + 128 * r, src + 2 * (r * row + 64 * p), 512);
    }
    spFftBitReversePermuteBlock_32fc(work, 4096, inner);
    for (std::ptrdiff_t r = 0; r < 64; ++r) {
      std::memcpy(dst + 2 * (r * row + 64 * k), work + 128 * r, 512);
    }
  }
}
#endif

void DriverBitReversal(const spFftSpecHeader* spec, const float* src, float* dst, int32 m,
                       float* work) {
  const int32 nc = int32{1} << m;
  const int32* table = spec->bitReversalTable;
  const bool same = src == dst;
  if (m < kDriverBlockedFrom) {
    if (same) {
      spFftBitReversePermuteInPlace_32fc(dst, nc, table);
    } else if (m < 18) {
      spFftBitReversePermute_32fc(src, dst, nc, table);
    } else {
      spCopyBlock_8u(reinterpret_cast<const uint8*>(src), reinterpret_cast<uint8*>(dst), 8 * nc);
      spFftBitReversePermuteInPlace_32fc(dst, nc, table);
    }
    return;
  }
#if SP_FFT_VARIANT != 1
  if (!same && m <= 20) {
    BlockedGather(src, dst, nc, table, work);
    return;
  }
#endif
  if (!same) {
    spCopyBlock_8u(reinterpret_cast<const uint8*>(src), reinterpret_cast<uint8*>(dst), 8 * nc);
  }
  spFftBitReversePermuteBlocked_32fc(dst, nc, table, work);
}

}  // namespace

spStatus spCopyBlock_8u(const uint8* pSrc, uint8* pDst, int32 bytes) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (bytes < 1) return SP_ERROR_LENGTH;
  spCopyBytes(pSrc, pDst, bytes);
  return SP_OK;
}

void spFftGatherRows_32fc(const float* pData, float* pWork, int32 stride, int32 rows,
                          int32 rowLen) {
  if (Aligned16(pData)) {
    GatherRows<true>(pData, pWork, stride, rows, rowLen);
  } else {
    GatherRows<false>(pData, pWork, stride, rows, rowLen);
  }
}

void spFftScatterRows_32fc(float* pData, const float* pWork, int32 stride, int32 rows,
                           int32 rowLen, int32 mode) {
  const bool aligned = Aligned16(pData);
  if (mode == 1) {
    aligned ? ScatterRows<true, true>(pData, pWork, stride, rows, rowLen)
            : ScatterRows<false, true>(pData, pWork, stride, rows, rowLen);
  } else {
    aligned ? ScatterRows<true, false>(pData, pWork, stride, rows, rowLen)
            : ScatterRows<false, false>(pData, pWork, stride, rows, rowLen);
  }
}

void spFftLargePassRadix4Forward_32fc(const float* pSrc, float* pDst, int32 L, int32 blocks,
                                      const float* pTwiddles) {
  LargePass4<false>(pSrc, pDst, L, blocks, pTwiddles);
}

void spFftLargePassRadix4Inverse_32fc(const float* pSrc, float* pDst, int32 L, int32 blocks,
                                      const float* pTwiddles) {
  LargePass4<true>(pSrc, pDst, L, blocks, pTwiddles);
}

void spFftLargePassRadix8Forward_32fc(float* pData, const float* /*unused*/, int32 L,
                                      int32 blocks, const float* pTwiddles) {
  LargePass8<false>(pData, L, blocks, pTwiddles);
}

void spFftLargePassRadix8Inverse_32fc(float* pData, const float* /*unused*/, int32 L,
                                      int32 blocks, const float* pTwiddles) {
  LargePass8<true>(pData, L, blocks, pTwiddles);
}

void spFftLargeOrderForward_32fc(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                 int32 m, float* pWork) {
  DriverBitReversal(pSpec, pSrc, pDst, m, pWork);
  Level<false>(pSpec, pDst, m, 0, pWork, 1);
}

void spFftLargeOrderInverse_32fc(const spFftSpecHeader* pSpec, const float* pSrc, float* pDst,
                                 int32 m, float* pWork) {
  DriverBitReversal(pSpec, pSrc, pDst, m, pWork);
  Level<true>(pSpec, pDst, m, 0, pWork, 1);
}

void spFftLargeOrderForwardRecursive_32fc(const spFftSpecHeader* pSpec, float* pData, int32 m,
                                          int32 level, float* pWork) {
  Level<false>(pSpec, pData, m, level, pWork, 0);
}

void spFftLargeOrderInverseRecursive_32fc(const spFftSpecHeader* pSpec, float* pData, int32 m,
                                          int32 level, float* pWork) {
  Level<true>(pSpec, pData, m, level, pWork, 0);
}
