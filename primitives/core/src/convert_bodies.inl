// Bodies of the conversion primitives of a processor build: the generic checks, then
// the whole vector to one kernel of the same build. Included inside the build's
// namespace after convert_kernels.inl.

spStatus spConvert_32f16s(const float* pSrc, int16* pDst, int len, int roundMode, int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (roundMode == 0 || roundMode == 1) {
    spConvertKernel_32f16s(pSrc, pDst, len, roundMode, scaleFactor);
  } else {
    spConvertAwayKernel_32f16s(pSrc, pDst, len, scaleFactor);
  }
  return SP_OK;
}

spStatus spConvert_32f32s(const float* pSrc, int32* pDst, int len, int roundMode, int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (roundMode == 0 || roundMode == 1) {
    spConvertKernel_32f32s(pSrc, pDst, len, roundMode, scaleFactor);
  } else {
    spConvertAwayKernel_32f32s(pSrc, pDst, len, scaleFactor);
  }
  return SP_OK;
}

spStatus spConvert_16s32f(const int16* pSrc, float* pDst, int len, int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (scaleFactor == 0) {
    spConvertKernel_16s32f(pSrc, pDst, len);
  } else {
    const float factor = spScaleFactorBits(spClampScale(scaleFactor, -112, 126));
    spConvertScaledKernel_16s32f(pSrc, pDst, len, &factor);
  }
  return SP_OK;
}

spStatus spConvert_24s32f(const uint8* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spConvertKernel_24s32f(pSrc, pDst, len);
  return SP_OK;
}

spStatus spConvert_32f24s(const float* pSrc, uint8* pDst, int len, int scaleFactor) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (scaleFactor == 0) {
    spConvertKernel_32f24s(pSrc, pDst, len);
  } else {
    spConvertScaledKernel_32f24s(pSrc, pDst, len, scaleFactor);
  }
  return SP_OK;
}

spStatus spConvert_32s32f(const int32* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spConvertKernel_32s32f(pSrc, pDst, len);
  return SP_OK;
}
