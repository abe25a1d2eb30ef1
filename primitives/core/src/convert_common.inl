// Helpers shared by the conversion bodies of every build. Included inside the build's
// namespace, so each build gets its own copy.

// Bit pattern of the single-precision factor 2^-s for s already clamped to a range where
// it is a normal number or (s = 127) zero.
static inline float spScaleFactorBits(int s) {
  uint32 bits = 0x3F800000u - (static_cast<uint32>(s) << 23);
  float f;
  __builtin_memcpy(&f, &bits, sizeof f);
  return f;
}

static inline int spClampScale(int s, int lo, int hi) { return s < lo ? lo : (s > hi ? hi : s); }

// 32-bit to float times 2^-s, clamp [-96, 126]; in place is allowed (one element read
// before it is written).
static inline spStatus spConvertScaled32s32fBody(const int32* pSrc, float* pDst, int len,
                                                 int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (scaleFactor == 0) {
    for (int i = 0; i < len; ++i) pDst[i] = static_cast<float>(pSrc[i]);
    return SP_OK;
  }
  const float factor = spScaleFactorBits(spClampScale(scaleFactor, -96, 126));
  for (int i = 0; i < len; ++i) pDst[i] = static_cast<float>(pSrc[i]) * factor;
  return SP_OK;
}
