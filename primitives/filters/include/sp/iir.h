// IIR filters of the primitives library: the state record, its set-up in a caller
// buffer (arbitrary order in transposed direct form II, and a cascade of second-order
// sections) and the 32-bit float in-place filter. Nothing is allocated; the state holds
// pointers into its own buffer, which must not be moved or copied after set-up.
#pragma once

#include "sp/base.h"

// Kind tags of IIR states: the four characters read as a big-endian word.
inline constexpr uint32 SP_IIR_ARBITRARY_ORDER_TAG = 0x49493031u;  // "II01"
inline constexpr uint32 SP_IIR_BIQUAD_TAG = 0x49493032u;           // "II02"

struct spIirState {
  uint32 tag;
  float* pTaps;              // arbitrary: b'0..b'n, a'1..a'n; biquad: b0 b1 b2 a1 a2 per section
  float* pDelay;             // arbitrary: z0..z(n), z(n) = 0; biquad: d0 d1 per section
  int32 order;               // arbitrary: n; biquad: 2 * sectionCount
  float* pNumeratorVectors;  // processor builds: each feed-forward tap in four lanes
  float* pFeedbackVectors;   // processor builds: H1..Hn, G, two zero vectors; biquad: H1 H2 W0 W1 W2 per section
  int32 sectionCount;        // biquad: S; arbitrary: 0
  float* pSectionSampleTaps; // biquad: b0 b1 b2 - -a1 -a2 - - per section
  float* pWork;              // processor builds: 1024 floats of feed-forward values
  float* pWork2;             // unused
  int32 reserved;            // 0
};

// Offset of the coefficient area from the record.
inline constexpr int SP_IIR_RECORD_BYTES = 96;
static_assert(sizeof(spIirState) <= SP_IIR_RECORD_BYTES);

// Samples one processor-build block covers, and so the floats of the work area.
inline constexpr int SP_IIR_BLOCK = 1024;

// Bodies of the three public IIR entries, present in every build.
#define SP_IIR_BODIES                                                                          \
  spStatus spIirGetStateSize_32f(int order, int* pSize);                                      \
  spStatus spIirInit_32f(spIirState** ppState, const float* pTaps, int order, const float* pDelay, \
                         uint8* pBuffer);                                                     \
  spStatus spIirFilterInPlace_32f(float* pSrcDst, int len, spIirState* pState);               \
  /* Internal steps of the set-up, called only within the same build. */                     \
  spStatus spIirComputeStateSize_32f(int order, int* pSize, uint32 tag);                      \
  spStatus spIirBuildState_32f(spIirState** ppState, const float* pTaps, int order,           \
                               const float* pDelay, uint8* pBuffer, uint32 tag);              \
  spStatus spIirNormalizeTaps_32f(const float* pTaps, spIirState* pState);

// Kernels of the processor builds' 32-bit float filter. They check nothing.
#define SP_IIR_PROCESSOR_KERNELS                                                               \
  void spIirSampleArbitraryOrder_32f(const float* pSrc, float* pDst, spIirState* pState);      \
  void spIirSampleBiquadCascade_32f(const float* pSrc, float* pDst, spIirState* pState);       \
  void spIirBlockFeedForward_32f(const float* pSrc, float* pWork, int m,                      \
                                 const float* pNumeratorVectors, int n);                      \
  void spIirBlockFeedback_32f(const float* pWork, float* pDst, int m, const float* pFeedbackVectors, \
                              int n);                                                         \
  void spIirBiquadBlockFeedForward_32f(const float* pSrc, float* pWork, int m,                \
                                       const float* pNumeratorVectors);                       \
  void spIirBiquadBlockFeedback_32f(const float* pWork, float* pDst, int m,                   \
                                    const float* pFeedbackVectors);

namespace sp::generic {
SP_IIR_BODIES

// Biquad-cascade states. One builder serves every build: it fills the fields the
// generic filter reads and the tables of the processor builds. pSections holds five
// floats per section, b0 b1 b2 a1 a2, already divided by a0; pDelay (may be null for a
// zero start) two per section, d0 d1. The size query refuses a null pSize (-8) and a
// section count below 1 or too large for a 32-bit size (-25); the set-up also refuses
// null pointers (-8) and non-finite coefficients are taken as they are.
spStatus spIirBiquadGetStateSize_32f(int sectionCount, int* pSize);
spStatus spIirBiquadInit_32f(spIirState** ppState, const float* pSections, int sectionCount,
                             const float* pDelay, uint8* pBuffer);
}  // namespace sp::generic

namespace sp::sse3 {
SP_IIR_BODIES
SP_IIR_PROCESSOR_KERNELS
}  // namespace sp::sse3

namespace sp::ssse3 {
SP_IIR_BODIES
SP_IIR_PROCESSOR_KERNELS
}  // namespace sp::ssse3

namespace sp::sse41 {
SP_IIR_BODIES
SP_IIR_PROCESSOR_KERNELS
}  // namespace sp::sse41
