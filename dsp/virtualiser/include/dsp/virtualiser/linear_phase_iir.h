// Zero-phase IIR filtering in blocks: each block runs forwards through one section and
// then, as a window reversed in time that reaches `overlap` samples into the next block's
// past, backwards through a second section with the same coefficients. The result is
// the input filtered by |H|^2 with no phase shift, delayed by the overlap: out[i]
// belongs to input sample i - overlap of the running stream.
//
// The backward section keeps its state from window to window, so the start of each
// backward pass (the newest `overlap` samples of the window, which are never output)
// only warms it up; with the engine's rows the leftover of the previous window has
// decayed below single precision well within 64 samples.
#pragma once

#include <cstdint>

class CIirFilter;

class CLinearPhaseIir {
 public:
  // Capacity EachChannelSampleCntMax samples per call; one zeroed pool block ("LPVP")
  // holds the three window buffers of capacity + overlap floats. A negative overlap or a
  // failed allocation leaves the filter unusable (IsValid false).
  explicit CLinearPhaseIir(std::int32_t overlap);
  ~CLinearPhaseIir();
  CLinearPhaseIir(const CLinearPhaseIir&) = delete;
  CLinearPhaseIir& operator=(const CLinearPhaseIir&) = delete;

  // Replaces both sections by new ones of these coefficients (see CIirFilter). False,
  // with no sections left, when a section or its coefficients could not be allocated.
  bool SetCoefficients(const float* b, std::int32_t nb, const float* a, std::int32_t na);
  // Filters len samples (1 .. capacity) of in into out; in and out may be the same. A
  // refused call (unusable filter, null pointer, bad length) writes nothing.
  bool Process(float* out, float* in, std::int32_t len);

  bool IsValid() const;
  std::int32_t Capacity() const { return m_nCapacity; }
  std::int32_t Overlap() const { return m_nOverlap; }

 private:
  void DestroySections();

  std::int32_t m_nCapacity;
  std::int32_t m_nWindow;  // capacity + overlap
  std::int32_t m_nOverlap;
  CIirFilter* m_pForward;
  CIirFilter* m_pBackward;
  float* m_pForwardOut;  // [0, overlap): the end of the previous block's forward output
  float* m_pReversed;
  float* m_pBackwardOut;
};
