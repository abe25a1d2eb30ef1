// Bodies of the exponential, logarithm, sum, mean and dot product of one processor
// build. Included inside the build's namespace after the kernel modules.

namespace {

// The logarithm runs on pieces of this many elements with a work area on the stack.
constexpr int kLogPiece = 256;

// The short form of the exponential: the runtime's double exponential rounded to float,
// +inf above 88.72284.
inline float ShortExponential(float x) {
  if (static_cast<double>(x) > 88.72284) return __builtin_huge_valf();
  return static_cast<float>(std::exp(static_cast<double>(x)));
}

}  // namespace

// Below four elements every build gives the generic build's short form, element by
// element (a result in the subnormal range is kept, not flushed to +0); from four on
// the kernel.
spStatus spExponentialInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  if (len < 4) {
    for (int k = 0; k < len; ++k) {
      float v;
      std::memcpy(&v, pSrcDst + k, sizeof v);
      v = ShortExponential(v);
      std::memcpy(pSrcDst + k, &v, sizeof v);
    }
    return SP_OK;
  }
  spExponentialKernel_32f(pSrcDst, pSrcDst, len);
  return SP_OK;
}

spStatus spNaturalLogInPlace_32f(float* pSrcDst, int len) {
  if (pSrcDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  alignas(16) unsigned char work[8 * kLogPiece];
  int flags = 0;
  for (int done = 0; done < len; done += kLogPiece) {
    const int piece = len - done < kLogPiece ? len - done : kLogPiece;
    const int f = spNaturalLogKernel_32f(pSrcDst + done, piece, work);
    if (flags == 0) flags = f;
  }
  if (flags == 2) return SP_WARNING_LOG_OF_ZERO;
  if (flags == 4) return SP_WARNING_LOG_OF_NEGATIVE;
  return SP_OK;
}

spStatus spSum_32f(const float* pSrc, int len, float* pSum, int hint) {
  if (pSrc == nullptr || pSum == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  StS(pSum, static_cast<float>(spSumKernel_32f(pSrc, len, hint)));
  return SP_OK;
}

spStatus spMean_32f(const float* pSrc, int len, float* pMean, int hint) {
  if (pSrc == nullptr || pMean == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  StS(pMean, spMeanKernel_32f(pSrc, len, hint));
  return SP_OK;
}

spStatus spDotProduct_32f(const float* pSrc1, const float* pSrc2, int len, float* pResult) {
  if (pSrc1 == nullptr || pSrc2 == nullptr || pResult == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
#if SP_VECMATH_BUILD >= 2
  spDotProductKernelSsse3_32f(pSrc1, pSrc2, len, pResult);
#else
  spDotProductKernelSse3_32f(pSrc1, pSrc2, len, pResult);
#endif
  return SP_OK;
}
