// Bodies of one processor build: the argument checks, then the kernel of the build.
// Included inside the build's namespace after the kernel modules; SP_VECMATH_ARITH is 1
// in the builds that hold element-wise arithmetic bodies (SSE3 for slot 1, SSSE3 for
// slots 2 and 3).

namespace {

// The square-root entry's kernel call, with the vector as source and destination.
int SquareRootInPlace(float* pSrcDst, int len) { return spSquareRootKernel_32f(pSrcDst, pSrcDst, len); }

}  // namespace

spStatus spSquareRootInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  return SquareRootInPlace(pSrcDst, len) != 0 ? SP_WARNING_NEGATIVE_ROOT : SP_OK;
}

spStatus spAbsoluteInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spAbsoluteKernel_32f(pSrcDst, pSrcDst, len);
  return SP_OK;
}

spStatus spMaximum_32f(const float* pSrc, int len, float* pMax) {
  if (pSrc == nullptr || pMax == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMaximumKernel_32f(pSrc, len, pMax);
  return SP_OK;
}

spStatus spMinimum_32f(const float* pSrc, int len, float* pMin) {
  if (pSrc == nullptr || pMin == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMinimumKernel_32f(pSrc, len, pMin);
  return SP_OK;
}

spStatus spSquare_32f(const float* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spSquareKernel_32f(pSrc, pDst, len);
  return SP_OK;
}

spStatus spMinElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMinElementwiseKernel_32f(pSrc, pSrcDst, len);
  return SP_OK;
}

spStatus spMaxElementwiseInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMaxElementwiseKernel_32f(pSrc, pSrcDst, len);
  return SP_OK;
}

#if SP_VECMATH_ARITH
spStatus spMultiplyInPlace_32f(const float* pSrc, float* pSrcDst, int len) {
  if (pSrc == nullptr || pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMultiplyInPlaceKernel_32f(pSrc, pSrcDst, len);
  return SP_OK;
}

spStatus spAdd_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spAddKernel_32f(pSrc1, pSrc2, pDst, len);
  return SP_OK;
}

spStatus spSubtract_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spSubtractKernel_32f(pSrc1, pSrc2, pDst, len);
  return SP_OK;
}

spStatus spMultiply_32f(const float* pSrc1, const float* pSrc2, float* pDst, int len) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spMultiplyKernel_32f(pSrc1, pSrc2, pDst, len);
  return SP_OK;
}
#endif
