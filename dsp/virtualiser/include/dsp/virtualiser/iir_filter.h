// Direct-form I IIR section of the virtualiser engine:
//   y[n] = sum b[k] x[n-k] (k = 0 .. nb-1) - sum a[k] y[n-k] (k = 1 .. na-1),
// a[0] taken as 1 and never read. Both histories are circular and run on across calls
// until Reset.
//
// A coefficient set that is null or shorter than two coefficients is absent and passes
// the signal through: nb = 1 means no numerator at all (b[0] is not applied), na = 1 no
// feedback. With neither part the section is a plain copy.
#pragma once

#include <cstdint>

class CIirFilter {
 public:
  // Copies the coefficients into pool blocks ("LPVP"), each followed by its history.
  // When an allocation fails the section marks itself invalid and leaves that set, and
  // any set not yet built, absent.
  CIirFilter(const float* b, std::int32_t nb, const float* a, std::int32_t na);
  ~CIirFilter();
  CIirFilter(const CIirFilter&) = delete;
  CIirFilter& operator=(const CIirFilter&) = delete;

  // Filters len samples of in into out, or in place when out is null. Nothing happens
  // for a null in or len below 1.
  void Process(float* out, float* in, std::int32_t len);
  // Zeroes both histories.
  void Reset();

  bool IsValid() const { return m_bValid != 0; }
  std::int32_t NumeratorCount() const { return m_nB; }
  std::int32_t DenominatorCount() const { return m_nA; }

 private:
  template <int kUsed>
  void ProcessThirdOrder(float* out, const float* in, std::int32_t len);
  void ProcessAnyOrder(float* out, const float* in, std::int32_t len);

  std::int32_t m_bValid;
  float* m_pA;  // na coefficients, then the denominator history (na floats)
  float* m_pB;  // nb coefficients, then the numerator history (nb floats)
  std::int32_t m_nA;
  std::int32_t m_nB;
  std::int32_t m_nXPos;  // numerator history slot of the next input
  std::int32_t m_nYPos;  // denominator history slot of the next output
  float* m_pXHist;
  float* m_pYHist;
};
