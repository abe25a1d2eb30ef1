// The headphone convolver: every 512-sample block at 44100 Hz it turns 2, 6 or 8 input
// channels into a binaural pair by uniformly partitioned overlap-save convolution
// (partitions of 512, real FFTs of 1024 points).
//
// Groups A..E (channel 0 + 3, 1 + 3, 2, 4, 5; with 2 inputs only channels 0 and 1) each
// have a 1024-tap head response per ear. The late response, the tail, is applied once to
// the sum of all groups delayed by 1024 samples. With 8 inputs the rear pair 6 and 7 is
// first folded into channels 4 and 5 (the caller's buffers are rewritten). After the
// convolution a crosstalk-cancellation stage runs; its identity setting delays by 255.
//
// The FFT record and its work buffer are made once at construction; when either fails
// IsValid() is false and Process gives silence. Filter selection and crosstalk changes
// take effect from the next block; input histories and rings carry over. No locking: the
// owner serialises every call.
#pragma once

#include <cstdint>

#include "dsp/virtualiser/headphone_filters.h"

struct spRealFftSpec;

inline constexpr std::int32_t HEADPHONEFIR_N = 512;
inline constexpr std::int32_t LPV_FFT_LENGTH = 2 * HEADPHONEFIR_N;
inline constexpr std::int32_t ROOMSIZE_UNDEFINED = -1;
inline constexpr std::int32_t SPEAKERANGLE_UNDEFINED = -1;
inline constexpr std::int32_t CTCANGLE_UNDEFINED = -1;

class CHeadphoneFir {
 public:
  static constexpr std::int32_t kHeadParts = LPV_HEAD_LENGTH / HEADPHONEFIR_N;         // 2
  static constexpr std::int32_t kMaxTailParts = LPV_MAX_TAIL_LENGTH / HEADPHONEFIR_N;  // 14
  static constexpr std::int32_t kGroups = 5;
  static constexpr std::int32_t kCtcHistory = 3 * LPV_CTC_LENGTH;

  explicit CHeadphoneFir(const LpvFilterSource& source = LpvProductFilterSource());
  ~CHeadphoneFir();
  CHeadphoneFir(const CHeadphoneFir&) = delete;
  CHeadphoneFir& operator=(const CHeadphoneFir&) = delete;

  // One block: nOut must be 2, nIn 2, 6 or 8, len 512; other counts are refused (the
  // first two outputs, where given, are silenced; nothing else is touched).
  void Process(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len);
  // Clears histories, rings, accumulators and crosstalk histories; filters stay.
  void Reset();
  // Wrapper room value 0, 1, 2 -> filter room 3, 2, 1 (others: room 2); unknown codes
  // fall back to 24. Both fallbacks report an assertion.
  std::int32_t SetRoomAndAngle(std::int32_t roomValue, std::int32_t angleCode);
  // Loads the filter set of (room, code); a pair outside the tables, or a source without
  // filters, leaves the convolution silent. Returns 1.
  std::int32_t SelectFilters(std::int32_t room, std::int32_t angleCode);
  // 5, 10, 15, 20, 30: that crosstalk set (identity when the source has none); any other
  // value: the identity. A new value clears the crosstalk histories. Returns 1.
  std::int32_t SetCtcAngle(std::int32_t degrees);

  // Partitions headCount filters of headLength taps and tailCount of tailLength into the
  // packed spectra of zero-padded 512-tap pieces (head filter k at a stride of 2
  // partitions, tail e at a stride of 14) and stores the partition counts.
  static void LoadPartitions(const float* head, std::int32_t headCount, std::int32_t headLength, const float* tail,
                             std::int32_t tailCount, std::int32_t tailLength, float* headSpectra, float* tailSpectra,
                             std::int32_t* pHeadParts, std::int32_t* pTailParts, const spRealFftSpec* spec,
                             std::uint8_t* buffer);
  // acc += f x x for packed real spectra of n floats (n a multiple of 8).
  static void MultiplyAccumulate(const float* f, const float* x, float* acc, std::int32_t n);

  bool IsValid() const { return m_pSpec != nullptr && m_bWorkReady; }
  std::int32_t Room() const { return m_nRoom; }
  std::int32_t Angle() const { return m_nAngle; }
  std::int32_t HeadParts() const { return m_nHeadParts; }
  std::int32_t TailParts() const { return m_nTailParts; }
  std::int32_t CtcAngle() const { return m_nCtcAngle; }
  std::int32_t CtcLength() const { return m_nCtcLength; }
  const float* CtcSumHistory() const { return m_ctcSumHistory; }
  const float* CtcDifferenceHistory() const { return m_ctcDiffHistory; }

 private:
  // The crosstalk stage on the two 512-sample outputs, in place.
  void ApplyCtc(float* left, float* right);

  const LpvFilterSource* m_pSource;
  std::int32_t m_nRoom;
  std::int32_t m_nAngle;
  std::int32_t m_nHeadParts;
  std::int32_t m_nTailParts;
  alignas(16) float m_headSpectra[LPV_HEAD_FILTERS][kHeadParts][LPV_FFT_LENGTH];
  alignas(16) float m_tailSpectra[2][kMaxTailParts][LPV_FFT_LENGTH];
  std::int32_t m_nCtcAngle;
  std::int32_t m_nCtcLength;
  alignas(16) float m_ctcSumFilter[LPV_CTC_LENGTH];
  alignas(16) float m_ctcDiffFilter[LPV_CTC_LENGTH];
  alignas(16) float m_ctcSumHistory[kCtcHistory];
  alignas(16) float m_ctcDiffHistory[kCtcHistory];
  spRealFftSpec* m_pSpec;
  std::uint8_t* m_pWork;  // the record's work bytes (plus alignment slack), or null
  bool m_bWorkReady;
  alignas(16) float m_inputHistory[8][HEADPHONEFIR_N];
  alignas(16) float m_frames[kGroups][kHeadParts][LPV_FFT_LENGTH];
  alignas(16) float m_tailRing[kMaxTailParts][LPV_FFT_LENGTH];
  alignas(16) float m_acc[2][LPV_FFT_LENGTH];
  std::int32_t m_nHeadPos;
  std::int32_t m_nTailPos;
};
