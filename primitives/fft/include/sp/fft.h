// FFT engine of the primitives library: specification records of the real and complex
// transforms, their size queries and set-up, and the transforms of the generic build.
//
// A record is built once for one order and one normalisation, in memory the caller
// provides (size query + set-up) or that the create entries allocate, and is only read
// afterwards, so any number of transforms may share it.
#pragma once

#include <cstddef>

#include "sp/base.h"

// Normalisation flags of a record.
enum : int32 {
  SP_FFT_SCALE_FORWARD = 1,  // forward result times 1/N
  SP_FFT_SCALE_INVERSE = 2,  // inverse result times 1/N
  SP_FFT_SCALE_SQRT = 4,     // both directions times 1/sqrt(N)
  SP_FFT_NO_SCALE = 8,       // neither direction scaled
};

// Kind tags of the records (0 after release or a refused flag).
enum : uint32 {
  SP_FFT_COMPLEX_TAG = 4,
  SP_FFT_REAL_TAG = 6,
};

// Highest order the size queries accept at all; orders whose sizes do not fit a signed
// 32-bit byte count are refused below it as well.
inline constexpr int32 SP_FFT_MAX_ORDER = 30;

// Header shared by the real and the complex record. The tables follow the header inside
// the record's own memory, so a record must never be moved or copied.
struct spFftSpecHeader {
  uint32 tag;            // SP_FFT_REAL_TAG or SP_FFT_COMPLEX_TAG; 0 when released
  int32 order;           // 0..30: N = 2^order reals (real) or complex values (complex)
  uint32 scaleForward;   // 1: the forward transform multiplies by scale
  uint32 scaleInverse;   // 1: the inverse transform multiplies by scale
  float scale;           // 1/N, 1/sqrt(N), or 0.0 for SP_FFT_NO_SCALE
  uint32 hint;           // caller's hint, stored only
  int32 workBytes;       // work buffer a transform needs (0: none)
  uint32 owned;          // 1 when the create entry allocated the record's block
  int32* bitReversalTable;       // swap table of the complex order, right after the header
  float* twiddles;               // twiddle triples of the in-core radix passes
  float* outerTwiddles;          // block scheme: W^k of its length, k below a quarter of it
  float* splitTwiddlesForward;   // real record: pairs of the forward real split
  float* splitTwiddlesInverse;   // real record: pairs of the inverse real split
  float* levelTwiddles[3];       // recursive scheme: S-point triples of levels 0..2
  float* levelBlocks[3];         // recursive scheme: inter-level twiddles of levels 0..2
  uint8 build;           // build that laid the tables out: 0 generic, 1-3 processor builds
  uint8 reserved[15];
};
static_assert(sizeof(spFftSpecHeader) == 136, "the tables start 136 bytes into a record");

// Record of the transform of 2^order real values (complex tables of order - 1).
struct spRealFftSpec : spFftSpecHeader {};
// Record of the transform of 2^order complex values.
struct spComplexFftSpec : spFftSpecHeader {};
