// The delay-network reverb's records: one per sample-rate mode, with the delays and
// coefficients of its four lines, input filters, diffusers, output filters and feedback
// matrix; and the cell layout that a record gives the one circular buffer.
//
// Modes 0, 1, 2, 16 and 17 run 48, 44.1, 32, 96 and 88.2 kHz; any other rate runs mode 1,
// so its timing and its high-pass scale with the rate. The mode and buffer-length tables
// have 18 entries, null and 0 where a mode has no record.
#pragma once

#include <cstdint>

inline constexpr int REVERB_MODE_COUNT = 18;
inline constexpr int REVERB_LINES = 4;
inline constexpr int REVERB_MAX_LINE_TAPS = 4;
inline constexpr int REVERB_DIFFUSERS = 7;
inline constexpr int REVERB_OUTPUT_TAPS = 15;
// Cells of the largest mode's buffer (mode 16).
inline constexpr int REVERB_BUFFER_CAPACITY = 7155;

struct CDspReverbRecord {
  std::int32_t lineTaps;                                    // T: cells each line read sums
  std::int32_t lineDelay[REVERB_LINES];                     // d_k
  float lineWeights[REVERB_LINES][REVERB_MAX_LINE_TAPS];   // first T of each row used
  float inputMix[8];                                        // c0..c7
  float biquad[5];                                          // b0, b1, b2, f1, f2
  float sideGains[11];                                      // c13..c23
  float diffuserMix[12];                                    // c24..c35
  std::int32_t diffuserTaps[REVERB_DIFFUSERS];              // N per diffuser
  const float* diffuserCoefficients;                        // the diffusers' taps in a row
  float diffuserSums[2][REVERB_DIFFUSERS];                  // w0 and w1 weights
  float outputFilters[2][REVERB_OUTPUT_TAPS];               // left, right
  float feedbackRows[REVERB_LINES][REVERB_LINES];
  std::int32_t feedbackOffsets[REVERB_LINES - 1];
};

// The record of a mode, null for a mode without one (or out of range).
const CDspReverbRecord* ReverbRecordForMode(std::int32_t mode);
// Cells of the circular buffer a mode uses, 0 for a mode without a record.
std::int32_t ReverbBufferLengthForMode(std::int32_t mode);
// The mode a sample rate runs.
std::int32_t ReverbModeForRate(std::int32_t rate);

// Where a record puts each stage, as distances below the head cell (before the head
// advances), in the order one frame visits them. Feedback cells are reduced modulo the
// buffer length: they lie at the far end of the lines that read them back.
struct CDspReverbLayout {
  std::int32_t lineStart[REVERB_LINES];  // first (nearest) cell of each line's read
  std::int32_t biquadStart;              // first of four six-cell sections
  std::int32_t diffuserStart[REVERB_DIFFUSERS];
  std::int32_t outputStart;              // O: 21 cells from O to O + 20
  std::int32_t lastCell;                 // O + 20: the far end of the row
  std::int32_t feedbackCell[REVERB_LINES];
};

CDspReverbLayout ReverbLayoutOf(const CDspReverbRecord& record, std::int32_t bufferLength);
