// Processor builds of the FFT engine: constants, pass plans, table builders, size queries
// and set-up. Included inside the namespace of a build with SP_FFT_VARIANT 1 (sp::sse3) or
// 2 (sp::ssse3 and sp::sse41, the same code).

alignas(16) const float spFftKernelConstants[7][4] = {
    {1.0f, 0.707106829f, 0.0f, -0.707106829f},
    {0.0f, -0.707106829f, -1.0f, -0.707106829f},
    {0.707106829f, 0.707106829f, 0.707106829f, 0.707106829f},
    {-0.707106829f, -0.707106829f, -0.707106829f, -0.707106829f},
    {0.0f, 0.0f, -0.0f, 0.0f},
    {0.0f, 0.0f, 0.0f, -0.0f},
    {-0.0f, 0.0f, -0.0f, 0.0f},
};

const int32 spLargeFftSplitTable[31][2] = {
    {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},
    {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},
    {0, 0},  {3, 9},  {4, 10}, {4, 10}, {4, 10}, {5, 13}, {8, 15}, {8, 15},
    {8, 15}, {8, 15}, {8, 15}, {8, 15}, {8, 15}, {8, 15}, {8, 15},
};

#if SP_FFT_VARIANT == 1
const int32 spFftInCoreLimit = 16;
#else
const int32 spFftInCoreLimit = 17;
#endif

int32 spFftPassPlan(int32 m, int32* pRadices) {
  int32 count = 0;
  int32 left = m - 2;  // radix-2 stages after the first pass
#if SP_FFT_VARIANT == 1
  // Second pass radix 8 for 128, 1024, 2048, 8192 and 16384 points or when three stages are
  // left; later passes radix 8 while three or at least five are left.
  bool first = true;
  while (left > 0) {
    const bool eight = first ? (((0x6C80 >> m) & 1) != 0 || left == 3) : (left == 3 || left >= 5);
    pRadices[count++] = eight ? 8 : 4;
    left -= eight ? 3 : 2;
    first = false;
  }
#else
  // Radix 4 while the stages left are not a multiple of three, then radix 8.
  while (left > 0) {
    const bool eight = left % 3 == 0;
    pRadices[count++] = eight ? 8 : 4;
    left -= eight ? 3 : 2;
  }
#endif
  return count;
}

namespace {

constexpr int32 kHeaderBytes = static_cast<int32>(sizeof(spFftSpecHeader));
constexpr int64 kMaxBytes = 0x7FFFFFFF;
constexpr int32 kSmallSpecBytes = 168;
#if SP_FFT_VARIANT == 1
constexpr int32 kBlockedLimit = 20;  // first complex order of the blocked bit reversal
#else
constexpr int32 kBlockedLimit = 19;
#endif

int64 Floor32(int64 v) { return v & ~int64{31}; }

uint8* AlignUp32(uint8* p) {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  return reinterpret_cast<uint8*>((a + 31) & ~std::uintptr_t{31});
}

float Negate(float v) { return 0.0f - v; }

// W_n^j = (cos(2 pi j / n), -sin(2 pi j / n)), 0 <= j < n = 4q, from a sine table with
// stride st.
void LookupTwiddle(const float* sine, int64 q, int64 st, int64 j, float* re, float* im) {
  if (j <= q) {
    *re = sine[(q - j) * st];
    *im = Negate(sine[j * st]);
  } else if (j <= 2 * q) {
    *re = Negate(sine[(j - q) * st]);
    *im = Negate(sine[(2 * q - j) * st]);
  } else if (j <= 3 * q) {
    *re = Negate(sine[(3 * q - j) * st]);
    *im = sine[(j - 2 * q) * st];
  } else {
    *re = sine[(j - 3 * q) * st];
    *im = sine[(4 * q - j) * st];
  }
}

// The s-bit reversal of v.
uint32 Reverse(uint32 v, int32 bits) {
  uint32 r = 0;
  for (int32 i = 0; i < bits; ++i, v >>= 1) r = (r << 1) | (v & 1u);
  return r;
}

}  // namespace

uint8* spFftMakeBitReversalIndexTable_32s(int32 m, int32* pTable) {
  if (m < 2) return reinterpret_cast<uint8*>(pTable);
  const int32 bigM = int32{1} << (m - 2);
  pTable[0] = 0;
  int32 j = 0;
  for (int32 i = 1; i < bigM; ++i) {
    int32 b = bigM / 2;
    while (b <= j) {
      j -= b;
      b /= 2;
    }
    j += b;
    pTable[i] = 2 * j;
  }
  pTable[bigM] = 0;
  return AlignUp32(reinterpret_cast<uint8*>(pTable + bigM + 1));
}

uint8* spFftMakeBlockedBitReversalTable_32s(int32 m, int32 b, int32* pTable) {
  const int32 outer = int32{1} << (m - 2 * b);
  for (int32 k = 0; k < outer; ++k) {
    pTable[k] = static_cast<int32>(Reverse(static_cast<uint32>(k), m - 2 * b) << b);
  }
  return sp::generic::spFftMakeBitReversalTable_32s(2 * b, pTable + outer);
}

uint8* spFftMakeTwiddles_32fc(int32 m, const float* pSine, int32 tableOrder, float* pOut) {
  if (m < 4) return reinterpret_cast<uint8*>(pOut);
  int32 radices[16];
  const int32 passes = spFftPassPlan(m, radices);
  float* out = pOut;
  int32 span = 4;
  for (int32 p = 0; p < passes; ++p) {
    const int32 r = radices[p];
    const int64 len = int64{r} * span;  // B
    const int64 q = len / 4;
    const int64 st = (int64{1} << tableOrder) / len;
    for (int64 j = 0; j < span / 4; ++j) {
      for (int64 t = 1; t < r; ++t) {
        for (int64 u = 0; u < 4; ++u) {
          LookupTwiddle(pSine, q, st, t * (4 * j + u), out + u, out + 4 + u);
        }
        out += 8;
      }
    }
    span *= r;
  }
  return AlignUp32(reinterpret_cast<uint8*>(out));
}

uint8* spFftMakeRealSplitTwiddlesForward_32f(int32 order, const float* pSine, int32 tableOrder,
                                             float* pOut) {
  const int64 q = (int64{1} << order) / 4;
  const int64 st = int64{1} << (tableOrder - order);
  for (int64 k = 1; k <= q; ++k) {
    float* group = pOut + 8 * ((k - 1) / 4);
    const int64 lane = (k - 1) % 4;
    group[lane] = 0.5f * pSine[(q - k) * st];
    group[4 + lane] = static_cast<float>(0.5 - 0.5 * static_cast<double>(pSine[k * st]));
  }
  return AlignUp32(reinterpret_cast<uint8*>(pOut + 2 * q));
}

uint8* spFftMakeRealSplitTwiddlesInverse_32f(int32 order, const float* pSine, int32 tableOrder,
                                             float* pOut) {
  const int64 q = (int64{1} << order) / 4;
  const int64 st = int64{1} << (tableOrder - order);
  for (int64 k = 1; k <= q; ++k) {
    float* group = pOut + 8 * ((k - 1) / 4);
    const int64 lane = (k - 1) % 4;
    group[lane] = pSine[(q - k) * st];
    group[4 + lane] = Negate(pSine[k * st]);
  }
  return AlignUp32(reinterpret_cast<uint8*>(pOut + 2 * q));
}

void spFftGetLargeOrderSizes_32fc(int32 m, int64* pSpecBytes, int64* pInitBytes,
                                  int64* pWorkBytes) {
  // One level of the split; a sub-order above the limit is split once more.
  const auto level = [](int32 order, int64* t, int64* w, auto& self) -> void {
    const int32 s = spLargeFftSplitTable[order][0];
    const int32 wb = spLargeFftSplitTable[order][1];
    const int32 r = order - s;
    const int64 bigR = int64{1} << r;
    if (r <= spFftInCoreLimit) {
      *t = Floor32(8 * bigR + 39);
      *w = Floor32(8 * bigR + 31);
    } else {
      self(r, t, w, self);
    }
    *t += 8 * (int64{1} << order);
    const int64 block = int64{8} << wb;
    if (*w < block) *w = block;
  };
  int64 t = 0, w = 0;
  level(m, &t, &w, level);
  if (m >= kBlockedLimit && w < 65536) w = 65536;
  *pSpecBytes = t;
  *pInitBytes = 0;
  *pWorkBytes = w;
}

uint8* spFftInitLargeOrderLevels_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,
                                      int32 tableOrder, int32 level, uint8* pTables,
                                      uint8* pScratch) {
  const int32 s = spLargeFftSplitTable[m][0];
  const int32 wb = spLargeFftSplitTable[m][1];
  const int32 r = m - s;
  const int64 bigR = int64{1} << r;
  uint8* q = nullptr;
  if (r > spFftInCoreLimit) {
    q = spFftInitLargeOrderLevels_32fc(pSpec, r, pSine, tableOrder, level + 1, pTables, pScratch);
  } else {
    pSpec->twiddles = reinterpret_cast<float*>(pTables);
    q = spFftMakeTwiddles_32fc(r, pSine, tableOrder, pSpec->twiddles);
    pSpec->workBytes = static_cast<int32>(Floor32(8 * bigR + 31));
  }
  pSpec->levelBlocks[level] = reinterpret_cast<float*>(q);

  // The stream the column passes read, batch after batch of K columns, pass after pass: for
  // outer bits done L and a pass of 2^beta legs, row offset rho, four columns k and leg j,
  // the real then the imaginary parts of e^(-2 pi i j (k + R rho) / (R 2^(L + beta))).
  const int64 k = int64{1} << (wb - s);
  const int64 full = int64{1} << tableOrder;
  float* out = reinterpret_cast<float*>(q);
  for (int64 c0 = 0; c0 < bigR; c0 += k) {
    for (int32 done = 0; done < s;) {
      const int32 beta = (s - done == 2 || s - done == 4) ? 2 : 3;
      const int64 st = full / (bigR << (done + beta));
      for (int64 rho = 0; rho < (int64{1} << done); ++rho) {
        for (int64 c = 0; c < k; c += 4) {
          for (int64 j = 1; j < (int64{1} << beta); ++j, out += 8) {
            for (int64 u = 0; u < 4; ++u) {
              LookupTwiddle(pSine, full / 4, 1, j * (c0 + c + u + bigR * rho) * st, out + u,
                            out + 4 + u);
            }
          }
        }
      }
      done += beta;
    }
  }
  const int32 block = int32{8} << wb;
  if (pSpec->workBytes < block) pSpec->workBytes = block;
  return q + 8 * (int64{1} << m);
}

uint8* spFftInitLargeOrder_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,
                                int32 tableOrder, uint8* pTables, uint8* pScratch) {
  if (m < kBlockedLimit) {
    spFftMakeBitReversalIndexTable_32s(m, pSpec->bitReversalTable);
  } else {
    spFftMakeBlockedBitReversalTable_32s(m, 6, pSpec->bitReversalTable);
  }
  uint8* end = spFftInitLargeOrderLevels_32fc(pSpec, m, pSine, tableOrder, 0, pTables, pScratch);
  if (m >= kBlockedLimit && pSpec->workBytes >= 0 && pSpec->workBytes < 65536) {
    pSpec->workBytes = 65536;
  }
  return end;
}

namespace {

struct Sizes {
  int64 spec, init, work;
};

// Sizes of a real (isReal) or complex record of the given order, in 64 bits.
Sizes RecordSizes(int32 order, bool isReal) {
  if (order < 4) return {kSmallSpecBytes, 0, 0};
  const int64 n = int64{1} << order;
  const int32 m = isReal ? order - 1 : order;
  const int64 nc = int64{1} << m;
  int64 t = 0, i = 0, w = 0;
  if (m <= spFftInCoreLimit) {
    t = Floor32(8 * nc + 39);
    w = Floor32(8 * nc + 31);
  } else {
    spFftGetLargeOrderSizes_32fc(m, &t, &i, &w);
  }
  Sizes s{};
  s.spec = t + Floor32(nc / 4 * 4 + 35) + 192;
  if (isReal) s.spec += 2 * Floor32(n / 4 * 8 + 31);
  s.init = order <= 10 ? 0 : i + Floor32(n / 4 * 4 + 35) + 32;
  s.work = w > 0 ? w + 32 : 0;
  return s;
}

bool OrderAccepted(int32 order, bool isReal) {
  if (order < 0 || order > SP_FFT_MAX_ORDER) return false;
  const Sizes s = RecordSizes(order, isReal);
  return s.spec <= kMaxBytes && s.init <= kMaxBytes && s.work <= kMaxBytes;
}

bool FlagValid(int32 flag) {
  return flag == SP_FFT_SCALE_FORWARD || flag == SP_FFT_SCALE_INVERSE ||
         flag == SP_FFT_SCALE_SQRT || flag == SP_FFT_NO_SCALE;
}

spStatus GetSpecSize(int32 order, int32 flag, uint32* pSpecBytes, uint32* pInitBytes,
                     uint32* pWorkBytes, bool isReal) {
  if (!OrderAccepted(order, isReal)) return SP_ERROR_TRANSFORM_ORDER;
  if (pSpecBytes == nullptr || pInitBytes == nullptr || pWorkBytes == nullptr) return SP_ERROR_NULL;
  if (!FlagValid(flag)) return SP_ERROR_TRANSFORM_FLAG;
  const Sizes s = RecordSizes(order, isReal);
  *pSpecBytes = static_cast<uint32>(s.spec);
  *pInitBytes = static_cast<uint32>(s.init);
  *pWorkBytes = static_cast<uint32>(s.work);
  return SP_OK;
}

// Header, flags and the complex tables of a record (split twiddles follow for a real one).
spStatus InitSpec(spFftSpecHeader** ppRec, int32 order, int32 flag, uint32 hint, uint8* pSpecMemory,
                  uint8* pInitBuffer, bool isReal) {
  if (!OrderAccepted(order, isReal)) return SP_ERROR_TRANSFORM_ORDER;
  if (pSpecMemory == nullptr) return SP_ERROR_NULL;
  if (order >= 11 && pInitBuffer == nullptr && FlagValid(flag)) return SP_ERROR_NULL;

  uint8* base = AlignUp32(pSpecMemory);
  spZeroBytes(base, kHeaderBytes);
  spFftSpecHeader* rec = isReal ? static_cast<spFftSpecHeader*>(new (base) spRealFftSpec{})
                                : static_cast<spFftSpecHeader*>(new (base) spComplexFftSpec{});
  rec->owned = 0;
  rec->build = SP_FFT_BUILD;
  rec->order = order;
  rec->hint = hint;
  const double n = std::ldexp(1.0, order);
  switch (flag) {
    case SP_FFT_SCALE_FORWARD:
    case SP_FFT_SCALE_INVERSE:
      rec->scaleForward = flag == SP_FFT_SCALE_FORWARD ? 1u : 0u;
      rec->scaleInverse = flag == SP_FFT_SCALE_INVERSE ? 1u : 0u;
      rec->scale = 1.0f / static_cast<float>(n);
      break;
    case SP_FFT_SCALE_SQRT:
      rec->scaleForward = 1;
      rec->scaleInverse = 1;
      rec->scale = static_cast<float>(1.0 / std::sqrt(n));
      break;
    case SP_FFT_NO_SCALE:
      break;
    default:
      rec->tag = 0;
      return SP_ERROR_TRANSFORM_FLAG;
  }
  rec->tag = isReal ? SP_FFT_REAL_TAG : SP_FFT_COMPLEX_TAG;
  *ppRec = rec;
  if (order < 4) {
    rec->workBytes = 0;
    return SP_OK;
  }

  const float* sine = sp::generic::spFftQuarterSineTable;
  int32 tableOrder = 10;
  uint8* scratch = nullptr;
  if (order >= 11) {
    auto* table = reinterpret_cast<float*>(AlignUp32(pInitBuffer));
    scratch = sp::generic::spFftMakeSineTable_32f(order, table);
    sine = table;
    tableOrder = order;
  }
  const int32 m = isReal ? order - 1 : order;
  const int64 nc = int64{1} << m;
  rec->bitReversalTable = reinterpret_cast<int32*>(base + kHeaderBytes);
  uint8* end = nullptr;
  if (m <= spFftInCoreLimit) {
    rec->twiddles =
        reinterpret_cast<float*>(spFftMakeBitReversalIndexTable_32s(m, rec->bitReversalTable));
    end = spFftMakeTwiddles_32fc(m, sine, tableOrder, rec->twiddles);
    rec->workBytes = static_cast<int32>(Floor32(8 * nc + 31));
  } else {
    // The bit-reversal area holds the index table of the order; the blocked table is smaller.
    uint8* tables = AlignUp32(base + kHeaderBytes + Floor32(nc / 4 * 4 + 35));
    end = spFftInitLargeOrder_32fc(rec, m, sine, tableOrder, tables, scratch);
  }
  if (isReal) {
    rec->splitTwiddlesForward = reinterpret_cast<float*>(end);
    rec->splitTwiddlesInverse = reinterpret_cast<float*>(
        spFftMakeRealSplitTwiddlesForward_32f(order, sine, tableOrder, rec->splitTwiddlesForward));
    spFftMakeRealSplitTwiddlesInverse_32f(order, sine, tableOrder, rec->splitTwiddlesInverse);
  }
  return SP_OK;
}

}  // namespace

spStatus spFftGetSpecSizeReal_32f(int32 order, int32 flag, uint32 /*hint*/, uint32* pSpecBytes,
                                  uint32* pInitBytes, uint32* pWorkBytes) {
  return GetSpecSize(order, flag, pSpecBytes, pInitBytes, pWorkBytes, true);
}

spStatus spFftInitSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint,
                               uint8* pSpecMemory, uint8* pInitBuffer) {
  if (ppSpec == nullptr) return SP_ERROR_NULL;
  spFftSpecHeader* rec = nullptr;
  const spStatus st = InitSpec(&rec, order, flag, hint, pSpecMemory, pInitBuffer, true);
  if (st != SP_OK) return st;
  *ppSpec = static_cast<spRealFftSpec*>(rec);
  return SP_OK;
}

spStatus spFftGetSpecSizeComplex_32fc(int32 order, int32 flag, uint32 /*hint*/, uint32* pSpecBytes,
                                      uint32* pInitBytes, uint32* pWorkBytes) {
  return GetSpecSize(order, flag, pSpecBytes, pInitBytes, pWorkBytes, false);
}

spStatus spFftInitSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag, uint32 hint,
                                   uint8* pSpecMemory, uint8* pInitBuffer) {
  if (ppSpec == nullptr) return SP_ERROR_NULL;
  spFftSpecHeader* rec = nullptr;
  const spStatus st = InitSpec(&rec, order, flag, hint, pSpecMemory, pInitBuffer, false);
  if (st != SP_OK) return st;
  *ppSpec = static_cast<spComplexFftSpec*>(rec);
  return SP_OK;
}
