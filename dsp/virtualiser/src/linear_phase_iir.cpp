// Forward pass, reversed window, backward pass, reversed back.
#include "dsp/virtualiser/linear_phase_iir.h"

#include "dsp/virtualiser/engine_support.h"
#include "dsp/virtualiser/iir_filter.h"
#include "sp/sp.h"

CLinearPhaseIir::CLinearPhaseIir(std::int32_t overlap)
    : m_nCapacity(EachChannelSampleCntMax), m_nWindow(0), m_nOverlap(0), m_pForward(nullptr), m_pBackward(nullptr),
      m_pForwardOut(nullptr), m_pReversed(nullptr), m_pBackwardOut(nullptr) {
  if (overlap < 0 || overlap > INT32_MAX / 3 - m_nCapacity) return;
  m_nOverlap = overlap;
  m_nWindow = m_nCapacity + overlap;
  m_pForwardOut = LpvAllocateFloats(3 * static_cast<std::int64_t>(m_nWindow));
  if (m_pForwardOut == nullptr) return;
  m_pReversed = m_pForwardOut + m_nWindow;
  m_pBackwardOut = m_pReversed + m_nWindow;
}

CLinearPhaseIir::~CLinearPhaseIir() {
  DestroySections();
  DspFree(m_pForwardOut);
  m_pForwardOut = m_pReversed = m_pBackwardOut = nullptr;
}

void CLinearPhaseIir::DestroySections() {
  DspDelete(m_pForward);
  DspDelete(m_pBackward);
  m_pForward = m_pBackward = nullptr;
}

bool CLinearPhaseIir::SetCoefficients(const float* b, std::int32_t nb, const float* a, std::int32_t na) {
  DestroySections();
  m_pForward = LpvNew<CIirFilter>(b, nb, a, na);
  m_pBackward = LpvNew<CIirFilter>(b, nb, a, na);
  if (m_pForward == nullptr || m_pBackward == nullptr || !m_pForward->IsValid() || !m_pBackward->IsValid()) {
    DestroySections();
    return false;
  }
  return true;
}

bool CLinearPhaseIir::IsValid() const {
  return m_pForwardOut != nullptr && m_pForward != nullptr && m_pBackward != nullptr;
}

bool CLinearPhaseIir::Process(float* out, float* in, std::int32_t len) {
  if (!LPV_ASSERT(len<=(EachChannelSampleCntMax))) return false;
  if (!IsValid() || out == nullptr || in == nullptr || len < 1) return false;
  const std::int32_t v = m_nOverlap;
  const std::int32_t n = v + len;
  m_pForward->Process(m_pForwardOut + v, in, len);
  for (std::int32_t j = 0; j < n; ++j) m_pReversed[j] = m_pForwardOut[n - 1 - j];
  m_pBackward->Process(m_pBackwardOut, m_pReversed, n);
  for (std::int32_t i = 0; i < len; ++i) out[i] = m_pBackwardOut[n - 1 - i];
  // The block's last v forward outputs open the next window. The ranges overlap when
  // the block is shorter than the overlap, hence a move.
  if (v > 0) spMove_32f(m_pForwardOut + len, m_pForwardOut, v);
  return true;
}
