// Direct-form I section. The numerator is summed from b[0] on; the feedback terms are
// subtracted oldest first, so the newest output's product is the last step of each
// sample and the loop-carried chain is one multiply and one subtract. A zero feedback
// coefficient is skipped: it adds nothing to a finite signal, and for the half-band row
// (a1 = a3 = 0) it halves that chain.
#include "dsp/virtualiser/iir_filter.h"

#include "dsp/virtualiser/engine_support.h"

namespace {

// Coefficients then a zeroed history of the same count; null on failure.
float* CopyWithHistory(const float* coefficients, std::int32_t n) {
  float* block = LpvAllocateFloats(2 * static_cast<std::int64_t>(n));
  if (block == nullptr) return nullptr;
  for (std::int32_t k = 0; k < n; ++k) block[k] = coefficients[k];
  return block;
}

}  // namespace

CIirFilter::CIirFilter(const float* b, std::int32_t nb, const float* a, std::int32_t na)
    : m_bValid(1), m_pA(nullptr), m_pB(nullptr), m_nA(0), m_nB(0), m_nXPos(0), m_nYPos(0), m_pXHist(nullptr),
      m_pYHist(nullptr) {
  if (b != nullptr && nb >= 2) {
    m_pB = CopyWithHistory(b, nb);
    if (m_pB == nullptr) {
      m_bValid = 0;
      return;
    }
    m_nB = nb;
    m_pXHist = m_pB + nb;
  }
  if (a != nullptr && na >= 2) {
    m_pA = CopyWithHistory(a, na);
    if (m_pA == nullptr) {
      m_bValid = 0;
      return;
    }
    m_nA = na;
    m_pYHist = m_pA + na;
  }
  Reset();
}

CIirFilter::~CIirFilter() {
  DspFree(m_pA);
  DspFree(m_pB);
  m_pA = m_pB = m_pXHist = m_pYHist = nullptr;
}

void CIirFilter::Reset() {
  for (std::int32_t k = 0; k < m_nB; ++k) m_pXHist[k] = 0.0f;
  for (std::int32_t k = 0; k < m_nA; ++k) m_pYHist[k] = 0.0f;
  m_nXPos = 0;
  m_nYPos = 0;
}

void CIirFilter::Process(float* out, float* in, std::int32_t len) {
  if (in == nullptr || len < 1) return;
  if (out == nullptr) out = in;
  if (m_nB != 4 || m_nA != 4) return ProcessAnyOrder(out, in, len);
  const int used = (m_pA[1] != 0.0f ? 1 : 0) | (m_pA[2] != 0.0f ? 2 : 0) | (m_pA[3] != 0.0f ? 4 : 0);
  switch (used) {
    case 0: return ProcessThirdOrder<0>(out, in, len);
    case 1: return ProcessThirdOrder<1>(out, in, len);
    case 2: return ProcessThirdOrder<2>(out, in, len);
    case 3: return ProcessThirdOrder<3>(out, in, len);
    case 4: return ProcessThirdOrder<4>(out, in, len);
    case 5: return ProcessThirdOrder<5>(out, in, len);
    case 6: return ProcessThirdOrder<6>(out, in, len);
    default: return ProcessThirdOrder<7>(out, in, len);
  }
}

// The general form, on the circular histories: at each sample the numerator history
// holds x[n-k] at (xpos + k) mod nb and the denominator history y[n-k] at
// (ypos + k) mod na; the new values go to xpos and ypos, which then step back by one.
void CIirFilter::ProcessAnyOrder(float* out, const float* in, std::int32_t len) {
  const std::int32_t nb = m_nB, na = m_nA;
  for (std::int32_t i = 0; i < len; ++i) {
    float acc = in[i];
    if (nb > 0) {
      m_pXHist[m_nXPos] = acc;
      std::int32_t p = m_nXPos;
      acc = m_pB[0] * m_pXHist[p];
      for (std::int32_t k = 1; k < nb; ++k) {
        if (++p == nb) p = 0;
        acc += m_pB[k] * m_pXHist[p];
      }
      m_nXPos = m_nXPos == 0 ? nb - 1 : m_nXPos - 1;
    }
    if (na > 0) {
      for (std::int32_t k = na - 1; k >= 1; --k) {
        if (m_pA[k] == 0.0f) continue;
        std::int32_t p = m_nYPos + k;
        if (p >= na) p -= na;
        acc -= m_pA[k] * m_pYHist[p];
      }
      m_pYHist[m_nYPos] = acc;
      m_nYPos = m_nYPos == 0 ? na - 1 : m_nYPos - 1;
    }
    out[i] = acc;
  }
}

// Third order (four coefficients each), the form the engine's rows take: the histories
// live in registers for the call and go back to their circular slots at the end. Same
// arithmetic, term for term, as ProcessAnyOrder.
// kUsed: bit k-1 set when a[k] is not zero.
template <int kUsed>
void CIirFilter::ProcessThirdOrder(float* out, const float* in, std::int32_t len) {
  const float b0 = m_pB[0], b1 = m_pB[1], b2 = m_pB[2], b3 = m_pB[3];
  const float a1 = m_pA[1], a2 = m_pA[2], a3 = m_pA[3];
  auto slot = [](std::int32_t pos, std::int32_t k) { return (pos + k) & 3; };
  float x1 = m_pXHist[slot(m_nXPos, 1)], x2 = m_pXHist[slot(m_nXPos, 2)], x3 = m_pXHist[slot(m_nXPos, 3)];
  float y1 = m_pYHist[slot(m_nYPos, 1)], y2 = m_pYHist[slot(m_nYPos, 2)], y3 = m_pYHist[slot(m_nYPos, 3)];
  for (std::int32_t i = 0; i < len; ++i) {
    const float x = in[i];
    float acc = b0 * x;
    acc += b1 * x1;
    acc += b2 * x2;
    acc += b3 * x3;
    if constexpr ((kUsed & 4) != 0) acc -= a3 * y3;
    if constexpr ((kUsed & 2) != 0) acc -= a2 * y2;
    if constexpr ((kUsed & 1) != 0) acc -= a1 * y1;
    x3 = x2;
    x2 = x1;
    x1 = x;
    y3 = y2;
    y2 = y1;
    y1 = acc;
    out[i] = acc;
  }
  // Each position steps back once per sample; the newest value sits one slot above it.
  m_nXPos = (m_nXPos - len) & 3;
  m_nYPos = (m_nYPos - len) & 3;
  m_pXHist[slot(m_nXPos, 1)] = x1;
  m_pXHist[slot(m_nXPos, 2)] = x2;
  m_pXHist[slot(m_nXPos, 3)] = x3;
  m_pYHist[slot(m_nYPos, 1)] = y1;
  m_pYHist[slot(m_nYPos, 2)] = y2;
  m_pYHist[slot(m_nYPos, 3)] = y3;
}
