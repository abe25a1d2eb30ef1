// Integer-factor rate converter of the virtualiser engine, between a stream rate and
// the engine's processing rate. Both directions filter with a zero-phase third-order
// Butterworth low-pass (CLinearPhaseIir, overlap 64) chosen by the factor:
//   Downsample: filter, then keep every factor-th sample;
//   Upsample:   insert factor - 1 zeros after each sample, filter, multiply by the factor.
// The factor is the larger rate divided by the smaller, truncated, so a stream at 48000 Hz
// against 44100 Hz has factor 1: no rate change, but the half-Nyquist low-pass still
// runs on the way in and again on the way out. Factors above 3 have no filter row and
// are refused.
#pragma once

#include <cstdint>

class CLinearPhaseIir;

// A third-order low-pass: numerator b0..b3, denominator a0..a3 (a0 = 1).
struct LpvAntiAliasRow {
  float b[4];
  float a[4];
};

// Rows for factors 1, 2 and 3 (row = factor - 1): bilinear-transform Butterworth designs
// with cut-off at 1/2, 1/3 and 1/4 of the Nyquist frequency of the rate they run at.
inline constexpr std::int32_t LPV_ANTI_ALIAS_ROW_COUNT = 3;
extern const LpvAntiAliasRow LPV_ANTI_ALIAS_ROWS[LPV_ANTI_ALIAS_ROW_COUNT];

// Overlap of the converter's zero-phase filters, and so the delay of each pass in
// samples at the rate it runs at.
inline constexpr std::int32_t LPV_FILTER_OVERLAP = 64;

class CSrc {
 public:
  // Stores the rates and runs Init.
  CSrc(std::int32_t inputRate, std::int32_t processingRate, std::int32_t linearPhase);
  ~CSrc();
  CSrc(const CSrc&) = delete;
  CSrc& operator=(const CSrc&) = delete;

  // Direction and factor from the rates, the two filters (when the rates differ) and a
  // work buffer of 4 x EachChannelSampleCntMax floats, all "LPVP". Replaces whatever an
  // earlier Init built. False, with nothing left allocated, for a rate below 1, a factor
  // without a filter row or an allocation failure.
  bool Init();

  // len input samples to len / factor outputs. Refused (false, nothing written) when len
  // is not a multiple of the factor, above EachChannelSampleCntMax or below 1.
  bool Downsample(float* out, float* in, std::int32_t len);
  // len input samples to len x factor outputs. Refused (false, nothing written) when the
  // output would exceed EachChannelSampleCntMax or len is below 1.
  bool Upsample(float* out, float* in, std::int32_t len);

  bool IsValid() const { return m_bValid != 0; }
  // 1: stream rate above the processing rate; -1: below; 0: equal (no filtering).
  std::int32_t Direction() const { return m_nDirection; }
  std::int32_t Factor() const { return m_nSrcFactor; }

 private:
  void Release();

  std::int32_t m_nProcessingRate;
  std::int32_t m_nInputRate;
  std::int32_t m_nDirection;
  std::int32_t m_nSrcFactor;
  CLinearPhaseIir* m_pDownFilter;
  CLinearPhaseIir* m_pUpFilter;
  float* m_pWork;
  std::int32_t m_nLinearPhase;  // recorded only: the filters are always zero-phase
  std::int32_t m_bValid;
};
