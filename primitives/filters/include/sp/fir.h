// FIR filters of the primitives library: single-rate block filter (direct form and
// overlap-save through the real FFT), one-sample filter on a caller-held delay line, and
// the multirate (polyphase) filter. States live in caller buffers; nothing is allocated.
#pragma once

#include "sp/base.h"

struct spRealFftSpec;

// Kind tags of FIR states: the four characters read as a big-endian word.
inline constexpr uint32 SP_FIR_SINGLE_RATE_TAG = 0x46493031u;  // "FI01"
inline constexpr uint32 SP_FIR_MULTIRATE_TAG = 0x46493033u;    // "FI03"

// Single-rate FIR state. Every FIR state begins with its tag; a multirate state has the
// layout of spFirMultirateState instead. Pointers point into the caller's buffer, so a
// state must not be moved or copied.
struct spFirState {
  uint32 tag;
  float* tapsReversed;    // tapsLen taps, last tap first
  float* delayLine;       // 3*tapsLen + 4 floats; first tapsLen hold the history, oldest first
  int32 tapsLen;
  int32 directCapacity;   // tapsLen rounded up to a multiple of 4, plus 1
  spRealFftSpec* fftSpec; // real FFT of the overlap-save path, or null
  float* tapsSpectrum;    // packed spectrum of the zero-padded taps, or null
  int32 fftLen;           // FFT length, or -1 when only the direct form is used
  int32 historyStart;     // offset of the history in delayLine (always reset to 0)
  float* tapsRepeated;    // processor builds only: each tap four times; null in the generic build
  float* fftBlock;        // fftLen floats of overlap-save block buffer
  uint8* fftWork;         // FFT work buffer, or null when the FFT needs none
  uint8 build;            // build that laid the state out: 0 generic, 1-3 processor builds;
                          // another build's filter refuses it (SP_ERROR_WRONG_RECORD)
};

// Multirate FIR state (tag SP_FIR_MULTIRATE_TAG).
struct spFirMultirateState {
  uint32 tag;
  float* tapsReversed;
  float* delayLine;       // tapsPerPhase + lineCapacity + 1 floats
  int32 tapsLen;
  int32 upFactor;
  int32 lineCapacity;     // most inputs a call filters entirely inside delayLine
  int32 downFactor;
  int32 lineOutputs;      // outputs computed inside delayLine when a call brings more
  void* fftSpec;          // null
  float* tapsSpectrum;    // null
  int32 fftLen;           // -1
  int32 historyStart;     // 0
  int32* phaseTable;      // dense: step table (U + 1); sparse: offset table (4U + 1)
  float* phaseTaps;       // polyphase coefficient block
  int32 windowLen;        // dense: samples one group of four outputs spans
  uint32 multirateKind;   // 1 dense, 2 sparse with U = 1, 3 sparse with U > 1
  int32 tapsPerPhase;
  int32* workArea;        // scratch used only while the state is built
  int32 upPhase;
  int32 downPhase;
  uint8 build;            // build that laid the state out (see spFirState::build)
};

inline constexpr int SP_FIR_MULTIRATE_RECORD_BYTES = 160;
static_assert(sizeof(spFirMultirateState) <= SP_FIR_MULTIRATE_RECORD_BYTES);

namespace sp::generic {

spStatus spFirGetStateSize_32f(int32 tapsLen, uint32* pSize);
spStatus spFirComputeStateSize_32f(int32 tapsLen, uint32* pSize);
spStatus spFirInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, const float* pDelayLine,
                       uint8* pBuffer);
spStatus spFirBuildState_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, const float* pDelayLine,
                             uint8* pBuffer, uint32 tag);
spStatus spFirFilter_32f(const float* pSrc, float* pDst, int32 numIters, spFirState* pState);
spStatus spFirFilterOneSample_32f(float sample, float* pResult, const float* pTaps, int32 tapsLen,
                                  float* pDelayLine, int32* pIndex);

spStatus spFirMultirateGetStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize);
spStatus spFirMultirateDenseStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize);
spStatus spFirMultirateSparseStateSize_32f(int32 tapsLen, int32 upFactor, int32 downFactor, uint32* pSize);
spStatus spFirMultirateInit_32f(spFirState** ppState, const float* pTaps, int32 tapsLen, int32 upFactor,
                                int32 upPhase, int32 downFactor, int32 downPhase, const float* pDelayLine,
                                uint8* pBuffer);
spFirMultirateState* spFirMultirateBuildDenseState_32f(const float* pTaps, int32 tapsLen, int32 upFactor,
                                                       int32 upPhase, int32 downFactor, int32 downPhase,
                                                       const float* pDelayLine, spStatus* pStatus,
                                                       uint8* pBuffer, uint32 tag);
spFirMultirateState* spFirMultirateBuildSparseState_32f(const float* pTaps, int32 tapsLen, int32 upFactor,
                                                        int32 upPhase, int32 downFactor, int32 downPhase,
                                                        const float* pDelayLine, spStatus* pStatus,
                                                        uint8* pBuffer, uint32 tag);
spStatus spFirFilterMultirate_32f(spFirMultirateState* pState, const float* pSrc, float* pDst,
                                  int32 numIters);

}  // namespace sp::generic
