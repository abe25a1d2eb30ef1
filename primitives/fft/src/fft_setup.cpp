// FFT specification records: size queries, set-up and the table builders.
#include <cmath>
#include <cstdint>
#include <new>

#include "fft_core.h"
#include "sp/fft_kernels.h"

namespace sp::generic {

const float spFftQuarterSineTable[257] = {
    0.0f, 0.00613588467f, 0.0122715384f, 0.0184067301f, 0.024541229f, 0.030674804f,
    0.0368072242f, 0.0429382585f, 0.0490676761f, 0.0551952459f, 0.061320737f, 0.0674439222f,
    0.0735645667f, 0.0796824396f, 0.0857973099f, 0.0919089541f, 0.0980171412f, 0.104121633f,
    0.110222206f, 0.116318628f, 0.122410677f, 0.128498107f, 0.134580702f, 0.140658244f,
    0.146730468f, 0.152797192f, 0.15885815f, 0.164913118f, 0.170961887f, 0.177004218f,
    0.183039889f, 0.18906866f, 0.195090324f, 0.201104641f, 0.207111374f, 0.213110313f,
    0.219101235f, 0.225083917f, 0.231058106f, 0.237023607f, 0.242980182f, 0.248927608f,
    0.254865646f, 0.260794103f, 0.266712755f, 0.272621363f, 0.27851969f, 0.284407526f,
    0.290284663f, 0.296150893f, 0.302005947f, 0.307849646f, 0.313681751f, 0.319502026f,
    0.32531029f, 0.331106305f, 0.336889863f, 0.342660725f, 0.348418683f, 0.354163527f,
    0.359895051f, 0.365612984f, 0.371317208f, 0.377007425f, 0.382683426f, 0.388345033f,
    0.393992037f, 0.399624199f, 0.405241311f, 0.410843164f, 0.416429549f, 0.422000259f,
    0.427555084f, 0.433093816f, 0.438616246f, 0.444122136f, 0.449611336f, 0.455083579f,
    0.460538715f, 0.465976506f, 0.471396744f, 0.47679922f, 0.482183784f, 0.487550169f,
    0.492898196f, 0.498227656f, 0.50353837f, 0.50883013f, 0.514102757f, 0.519356012f,
    0.524589658f, 0.529803634f, 0.534997642f, 0.540171444f, 0.545324981f, 0.550457954f,
    0.555570245f, 0.560661554f, 0.565731823f, 0.570780754f, 0.575808167f, 0.580813944f,
    0.585797846f, 0.590759695f, 0.59569931f, 0.600616455f, 0.605511069f, 0.610382795f,
    0.615231574f, 0.620057225f, 0.624859512f, 0.629638255f, 0.634393275f, 0.639124453f,
    0.643831551f, 0.64851439f, 0.653172851f, 0.657806695f, 0.662415802f, 0.666999936f,
    0.671558976f, 0.676092684f, 0.680601001f, 0.685083687f, 0.689540565f, 0.693971455f,
    0.698376238f, 0.702754736f, 0.707106769f, 0.711432219f, 0.715730846f, 0.720002532f,
    0.724247098f, 0.728464365f, 0.732654274f, 0.736816585f, 0.740951121f, 0.745057762f,
    0.749136388f, 0.753186822f, 0.757208824f, 0.761202395f, 0.765167236f, 0.769103348f,
    0.773010433f, 0.77688849f, 0.780737221f, 0.784556568f, 0.78834641f, 0.792106569f,
    0.795836926f, 0.799537241f, 0.803207517f, 0.806847572f, 0.81045717f, 0.81403631f,
    0.817584813f, 0.8211025f, 0.824589312f, 0.82804507f, 0.831469595f, 0.834862888f,
    0.838224709f, 0.841554999f, 0.84485358f, 0.848120332f, 0.851355195f, 0.854557991f,
    0.857728601f, 0.860866964f, 0.863972843f, 0.867046237f, 0.870086968f, 0.873094976f,
    0.876070082f, 0.879012227f, 0.881921291f, 0.884797096f, 0.887639642f, 0.890448749f,
    0.893224299f, 0.895966232f, 0.898674488f, 0.901348829f, 0.903989315f, 0.906595707f,
    0.909168005f, 0.91170603f, 0.914209783f, 0.916679084f, 0.919113874f, 0.921514034f,
    0.923879504f, 0.926210225f, 0.928506076f, 0.93076694f, 0.932992816f, 0.935183525f,
    0.937339008f, 0.939459205f, 0.941544056f, 0.943593442f, 0.945607305f, 0.947585583f,
    0.949528158f, 0.95143503f, 0.953306019f, 0.955141187f, 0.956940353f, 0.958703458f,
    0.960430503f, 0.962121427f, 0.963776052f, 0.965394437f, 0.966976464f, 0.968522072f,
    0.970031261f, 0.971503913f, 0.972939968f, 0.974339366f, 0.975702107f, 0.977028131f,
    0.97831738f, 0.979569793f, 0.980785251f, 0.981963873f, 0.983105481f, 0.984210074f,
    0.985277653f, 0.986308098f, 0.987301409f, 0.988257587f, 0.989176512f, 0.990058184f,
    0.990902662f, 0.991709769f, 0.992479563f, 0.993211925f, 0.993906975f, 0.994564593f,
    0.99518472f, 0.995767415f, 0.996312618f, 0.996820271f, 0.997290432f, 0.997723043f,
    0.998118103f, 0.998475552f, 0.99879545f, 0.999077737f, 0.999322355f, 0.999529421f,
    0.999698818f, 0.999830604f, 0.999924719f, 0.999981165f, 1.0f,
};

namespace {

constexpr int32 kHeaderBytes = static_cast<int32>(sizeof(spFftSpecHeader));
constexpr int64 kMaxBytes = 0x7FFFFFFF;  // sizes are signed 32-bit byte counts
constexpr int32 kSmallSpecBytes = 168;   // header plus alignment, no tables

int32 Plan(int32 m) { return spFftLargeOrderPlanTable[m - 11]; }

int64 Floor32(int64 v) { return v & ~int64{31}; }

uint8* AlignUp32(uint8* p) {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  return reinterpret_cast<uint8*>((a + 31) & ~std::uintptr_t{31});
}

// Bytes budgeted for a bit-reversal table (also for a sine table) of 2^k / 4 + 1 entries.
int64 QuarterTableBytes(int64 n) { return Floor32(n / 4 * 4 + 35); }
// Bytes budgeted for the twiddle triples of n complex points.
int64 TwiddleBytes(int64 n) { return Floor32(8 * n + 39); }

float Negate(float v) { return 0.0f - v; }

// W_n^j = (cos(2 pi j / n), -sin(2 pi j / n)), 0 <= j < n, looked up in a sine table with
// stride st (n = 4q points).
void LookupTwiddle(const float* sine, int64 q, int64 st, int64 j, float* out) {
  if (j <= q) {
    out[0] = sine[(q - j) * st];
    out[1] = Negate(sine[j * st]);
  } else if (j <= 2 * q) {
    out[0] = Negate(sine[(j - q) * st]);
    out[1] = Negate(sine[(2 * q - j) * st]);
  } else if (j <= 3 * q) {
    out[0] = Negate(sine[(3 * q - j) * st]);
    out[1] = sine[(j - 2 * q) * st];
  } else {
    out[0] = sine[(j - 3 * q) * st];
    out[1] = sine[(4 * q - j) * st];
  }
}

// Block scheme of length 2^m at p: the 1024-point triples, then W_L^k for k < L/4.
uint8* MakeBlockSchemeTables(spFftSpecHeader* rec, int32 m, const float* sine, int32 tableOrder,
                             uint8* p) {
  rec->twiddles = reinterpret_cast<float*>(p);
  uint8* q1 = spFftMakeTwiddles_32fc(10, sine, tableOrder, rec->twiddles);
  auto* outer = reinterpret_cast<float*>(q1);
  rec->outerTwiddles = outer;
  const int64 quarter = (int64{1} << m) / 4;
  const int64 st = int64{1} << (tableOrder - m);
  for (int64 k = 0; k < quarter; ++k) {
    outer[2 * k] = sine[(quarter - k) * st];
    outer[2 * k + 1] = Negate(sine[k * st]);
  }
  rec->workBytes = 0;
  return AlignUp32(q1 + 8 * quarter);
}

struct Sizes {
  int64 spec, init, work;
};

// Sizes of a real (isReal) or complex record of the given order, in 64 bits.
Sizes RecordSizes(int32 order, bool isReal) {
  if (order < 4) return {kSmallSpecBytes, 0, 0};
  const int64 n = int64{1} << order;         // reals or complex values of the record
  const int32 m = isReal ? order - 1 : order;  // complex order of its tables
  const int64 nc = int64{1} << m;
  int64 t = 0, i = 0, w = 0;
  if (m <= 10) {
    t = TwiddleBytes(nc);
  } else {
    spFftGetLargeOrderSizes_32fc(m, &t, &i, &w);
  }
  Sizes s{};
  s.spec = t + QuarterTableBytes(nc) + 192;
  if (isReal) s.spec += 2 * Floor32(n / 4 * 8 + 31);
  s.init = order <= 10 ? 0 : i + QuarterTableBytes(n) + 32;
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

// What the shared set-up hands on: the record, the end of its complex tables (null below
// order 4) and the sine table they came from.
struct SetUp {
  spFftSpecHeader* rec = nullptr;
  uint8* end = nullptr;
  const float* sine = nullptr;
  int32 tableOrder = 0;
};

// Set-up shared by both kinds after the record pointer was checked: header, flags and the
// complex tables. For a real record the split twiddles follow at out->end.
spStatus InitSpec(SetUp* out, int32 order, int32 flag, uint32 hint, uint8* pSpecMemory,
                  uint8* pInitBuffer, bool isReal) {
  if (!OrderAccepted(order, isReal)) return SP_ERROR_TRANSFORM_ORDER;
  if (pSpecMemory == nullptr) return SP_ERROR_NULL;
  // A valid flag at a large order needs the init buffer: refuse before writing anything,
  // so the caller's memory never holds a header that looks like a record.
  if (order >= 11 && pInitBuffer == nullptr && FlagValid(flag)) return SP_ERROR_NULL;

  uint8* base = AlignUp32(pSpecMemory);
  spZeroBlock_8u(base, kHeaderBytes);
  spFftSpecHeader* rec = isReal ? static_cast<spFftSpecHeader*>(new (base) spRealFftSpec{})
                                : static_cast<spFftSpecHeader*>(new (base) spComplexFftSpec{});
  rec->owned = 0;
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

  if (order < 4) {
    rec->workBytes = 0;
    out->rec = rec;
    return SP_OK;
  }

  const float* sine = spFftQuarterSineTable;
  int32 tableOrder = 10;
  uint8* scratch = nullptr;
  if (order >= 11) {
    auto* table = reinterpret_cast<float*>(AlignUp32(pInitBuffer));
    scratch = spFftMakeSineTable_32f(order, table);
    sine = table;
    tableOrder = order;
  }

  const int32 m = isReal ? order - 1 : order;
  const int64 nc = int64{1} << m;
  rec->bitReversalTable = reinterpret_cast<int32*>(base + kHeaderBytes);
  uint8* end = nullptr;
  if (m <= 10) {
    rec->twiddles = reinterpret_cast<float*>(spFftMakeBitReversalTable_32s(m, rec->bitReversalTable));
    end = spFftMakeTwiddles_32fc(m, sine, tableOrder, rec->twiddles);
    rec->workBytes = 0;
  } else {
    uint8* p = AlignUp32(base + kHeaderBytes + QuarterTableBytes(nc));
    end = spFftInitLargeOrder_32fc(rec, m, sine, tableOrder, p, scratch);
  }
  out->rec = rec;
  out->end = end;
  out->sine = sine;
  out->tableOrder = tableOrder;
  return SP_OK;
}

}  // namespace

spStatus spZeroBlock_8u(uint8* p, int32 len) {
  if (p == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spZeroBytes(p, len);
  return SP_OK;
}

uint8* spFftMakeSineTable_32f(int32 order, float* pTable) {
  const int64 n = int64{1} << order;
  const double step = 6.283185307179586 / static_cast<double>(n);
  for (int64 k = 0; k <= n / 8; ++k) {
    pTable[k] = static_cast<float>(std::sin(static_cast<double>(k) * step));
  }
  for (int64 k = n / 8 + 1; k <= n / 4; ++k) {
    pTable[k] = static_cast<float>(std::cos(static_cast<double>(n / 4 - k) * step));
  }
  return AlignUp32(reinterpret_cast<uint8*>(pTable + n / 4 + 1));
}

uint8* spFftMakeTwiddles_32fc(int32 m, const float* pSine, int32 tableOrder, float* pOut) {
  const int64 q = (int64{1} << m) / 4;
  const int64 st = int64{1} << (tableOrder - m);
  for (int64 k = 0; k <= q; ++k) {
    float* e = pOut + 6 * k;
    LookupTwiddle(pSine, q, st, k, e);
    LookupTwiddle(pSine, q, st, 2 * k, e + 2);
    LookupTwiddle(pSine, q, st, 3 * k, e + 4);
  }
  return AlignUp32(reinterpret_cast<uint8*>(pOut + 6 * (q + 1)));
}

uint8* spFftMakeBitReversalTable_32s(int32 m, int32* pTable) {
  if (m < 2) return reinterpret_cast<uint8*>(pTable);
  const int32 bigM = int32{1} << (m - 2);
  uint8* result = AlignUp32(reinterpret_cast<uint8*>(pTable + bigM + 1));
  if (bigM < 2) {
    pTable[0] = 0;
    pTable[1] = 0;
    return result;
  }
  int32 j = 0;
  int32 p = 0;
  int32 t = bigM - 1;
  for (int32 i = 1; i < bigM; ++i) {
    int32 b = bigM / 2;
    while (b <= j) {
      j -= b;
      b /= 2;
    }
    j += b;
    if (i < j) {
      pTable[p] = 4 * i;
      pTable[p + 1] = 4 * j;
      p += 2;
    } else if (i == j) {
      pTable[t] = 4 * i;
      --t;
    }
  }
  pTable[p] = 0;
  pTable[bigM] = 0;
  return result;
}

uint8* spFftMakeRealSplitTwiddlesForward_32f(int32 order, const float* pSine, int32 tableOrder,
                                             float* pOut) {
  const int64 q = (int64{1} << order) / 4;
  const int64 st = int64{1} << (tableOrder - order);
  for (int64 k = 0; k < q; ++k) {
    pOut[2 * k] = 0.5f * pSine[(q - k) * st];
    pOut[2 * k + 1] = static_cast<float>(0.5 - 0.5 * static_cast<double>(pSine[k * st]));
  }
  return AlignUp32(reinterpret_cast<uint8*>(pOut + 2 * q));
}

uint8* spFftMakeRealSplitTwiddlesInverse_32f(int32 order, const float* pSine, int32 tableOrder,
                                             float* pOut) {
  const int64 q = (int64{1} << order) / 4;
  const int64 st = int64{1} << (tableOrder - order);
  for (int64 k = 0; k < q; ++k) {
    pOut[2 * k] = pSine[(q - k) * st];
    pOut[2 * k + 1] = Negate(pSine[k * st]);
  }
  return AlignUp32(reinterpret_cast<uint8*>(pOut + 2 * q));
}

void spFftGetLargeOrderSizes_32fc(int32 m, int64* pSpecBytes, int64* pInitBytes,
                                  int64* pWorkBytes) {
  const int64 nc = int64{1} << m;
  const int32 s = Plan(m);
  if (s == 0) {
    *pSpecBytes = Floor32(nc / 4 * 8 + 31) + TwiddleBytes(1024);
    *pInitBytes = 0;
    *pWorkBytes = 0;
    return;
  }
  const int32 r = m - s;
  const int64 bigS = int64{1} << s;
  int64 t = 0, i = 0, w = 0;
  if (r <= 10) {
    t = TwiddleBytes(int64{1} << r);
  } else {
    spFftGetLargeOrderSizes_32fc(r, &t, &i, &w);
  }
  *pSpecBytes = t + 8 * nc + TwiddleBytes(bigS);
  *pInitBytes = i + QuarterTableBytes(bigS) + 32 * bigS;
  *pWorkBytes = w > 32 * bigS ? w : 32 * bigS;
}

uint8* spFftInitLargeOrder_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,
                                int32 tableOrder, uint8* pTables, uint8* pScratch) {
  spFftMakeBitReversalTable_32s(m, pSpec->bitReversalTable);
  if (Plan(m) != 0) {
    return spFftInitLargeOrderLevels_32fc(pSpec, m, pSine, tableOrder, 0, pTables, pScratch);
  }
  return MakeBlockSchemeTables(pSpec, m, pSine, tableOrder, pTables);
}

uint8* spFftInitLargeOrderLevels_32fc(spFftSpecHeader* pSpec, int32 m, const float* pSine,
                                      int32 tableOrder, int32 level, uint8* pTables,
                                      uint8* pScratch) {
  const int32 s = Plan(m);
  const int32 r = m - s;
  const int64 bigS = int64{1} << s;
  const int64 bigR = int64{1} << r;
  const int64 nc = int64{1} << m;
  const int64 st = int64{1} << (tableOrder - m);

  uint8* q = nullptr;
  if (r <= 10) {
    pSpec->twiddles = reinterpret_cast<float*>(pTables);
    q = spFftMakeTwiddles_32fc(r, pSine, tableOrder, pSpec->twiddles);
    pSpec->workBytes = 0;
  } else if (Plan(r) != 0) {
    q = spFftInitLargeOrderLevels_32fc(pSpec, r, pSine, tableOrder, level + 1, pTables, pScratch);
  } else {
    q = MakeBlockSchemeTables(pSpec, r, pSine, tableOrder, pTables);
  }

  pSpec->levelTwiddles[level] = reinterpret_cast<float*>(q);
  auto* block = reinterpret_cast<float*>(
      spFftMakeTwiddles_32fc(s, pSine, tableOrder, pSpec->levelTwiddles[level]));
  pSpec->levelBlocks[level] = block;

  // Scratch: four rows of S complex values, then the s-bit swap table.
  auto* rows = reinterpret_cast<float*>(pScratch);
  auto* table = reinterpret_cast<int32*>(pScratch + 32 * bigS);
  spFftMakeBitReversalTable_32s(s, table);

  const int64 quarter = nc / 4;
  float* out = block;
  for (int64 g = 0; g < (bigR + 3) / 4; ++g) {
    for (int64 t = 0; t < 4; ++t) {
      float* row = rows + 2 * bigS * t;
      const int64 i = 4 * g + t;
      for (int64 n = 0; n < bigS; ++n) LookupTwiddle(pSine, quarter, st, i * n, row + 2 * n);
      spFftBitReversePermuteInPlace_32fc(row, static_cast<int32>(bigS), table);
    }
    for (int64 n = 0; n < bigS; ++n) {
      for (int64 t = 0; t < 4; ++t) {
        out[0] = rows[2 * bigS * t + 2 * n];
        out[1] = rows[2 * bigS * t + 2 * n + 1];
        out += 2;
      }
    }
  }
  if (pSpec->workBytes < 32 * bigS) pSpec->workBytes = static_cast<int32>(32 * bigS);
  return reinterpret_cast<uint8*>(block + 2 * nc);
}

// ---- real record ---------------------------------------------------------------------------

spStatus spFftGetSpecSizeReal_32f(int32 order, int32 flag, uint32 /*hint*/, uint32* pSpecBytes,
                                  uint32* pInitBytes, uint32* pWorkBytes) {
  return GetSpecSize(order, flag, pSpecBytes, pInitBytes, pWorkBytes, true);
}

spStatus spFftInitSpecReal_32f(spRealFftSpec** ppSpec, int32 order, int32 flag, uint32 hint,
                               uint8* pSpecMemory, uint8* pInitBuffer) {
  if (ppSpec == nullptr) return SP_ERROR_NULL;
  SetUp su;
  const spStatus st = InitSpec(&su, order, flag, hint, pSpecMemory, pInitBuffer, true);
  if (st != SP_OK) return st;
  spFftSpecHeader* rec = su.rec;
  if (su.end != nullptr) {
    rec->splitTwiddlesForward = reinterpret_cast<float*>(su.end);
    rec->splitTwiddlesInverse = reinterpret_cast<float*>(spFftMakeRealSplitTwiddlesForward_32f(
        order, su.sine, su.tableOrder, rec->splitTwiddlesForward));
    spFftMakeRealSplitTwiddlesInverse_32f(order, su.sine, su.tableOrder, rec->splitTwiddlesInverse);
  }
  *ppSpec = static_cast<spRealFftSpec*>(rec);
  return SP_OK;
}

// ---- complex record ------------------------------------------------------------------------

spStatus spFftGetSpecSizeComplex_32fc(int32 order, int32 flag, uint32 /*hint*/,
                                      uint32* pSpecBytes, uint32* pInitBytes,
                                      uint32* pWorkBytes) {
  return GetSpecSize(order, flag, pSpecBytes, pInitBytes, pWorkBytes, false);
}

spStatus spFftInitSpecComplex_32fc(spComplexFftSpec** ppSpec, int32 order, int32 flag,
                                   uint32 hint, uint8* pSpecMemory, uint8* pInitBuffer) {
  if (ppSpec == nullptr) return SP_ERROR_NULL;
  SetUp su;
  const spStatus st = InitSpec(&su, order, flag, hint, pSpecMemory, pInitBuffer, false);
  if (st != SP_OK) return st;
  *ppSpec = static_cast<spComplexFftSpec*>(su.rec);
  return SP_OK;
}

}  // namespace sp::generic
