// The engine's integer-factor converter.
#include "dsp/virtualiser/engine_resampler.h"

#include "dsp/virtualiser/engine_support.h"
#include "dsp/virtualiser/linear_phase_iir.h"
#include "sp/sp.h"

namespace {
constexpr std::int32_t kWorkFloats = EachChannelSampleCntMax * 4;

CLinearPhaseIir* MakeFilter(const LpvAntiAliasRow& row) {
  CLinearPhaseIir* filter = LpvNew<CLinearPhaseIir>(LPV_FILTER_OVERLAP);
  if (filter != nullptr && (!filter->SetCoefficients(row.b, 4, row.a, 4) || !filter->IsValid())) {
    DspDelete(filter);
    return nullptr;
  }
  return filter;
}
}  // namespace

CSrc::CSrc(std::int32_t inputRate, std::int32_t processingRate, std::int32_t linearPhase)
    : m_nProcessingRate(processingRate), m_nInputRate(inputRate), m_nDirection(0), m_nSrcFactor(1),
      m_pDownFilter(nullptr), m_pUpFilter(nullptr), m_pWork(nullptr), m_nLinearPhase(linearPhase), m_bValid(0) {
  Init();
}

CSrc::~CSrc() { Release(); }

void CSrc::Release() {
  DspDelete(m_pDownFilter);
  DspDelete(m_pUpFilter);
  DspFree(m_pWork);
  m_pDownFilter = m_pUpFilter = nullptr;
  m_pWork = nullptr;
  m_bValid = 0;
}

bool CSrc::Init() {
  Release();
  m_nDirection = 0;
  m_nSrcFactor = 1;
  if (m_nInputRate < 1 || m_nProcessingRate < 1) return false;
  if (m_nInputRate > m_nProcessingRate) {
    m_nDirection = 1;
    m_nSrcFactor = m_nInputRate / m_nProcessingRate;
  } else if (m_nInputRate < m_nProcessingRate) {
    m_nDirection = -1;
    m_nSrcFactor = m_nProcessingRate / m_nInputRate;
  }
  if (m_nDirection != 0) {
    if (m_nSrcFactor > LPV_ANTI_ALIAS_ROW_COUNT) return false;
    const LpvAntiAliasRow& row = LPV_ANTI_ALIAS_ROWS[m_nSrcFactor - 1];
    m_pDownFilter = MakeFilter(row);
    m_pUpFilter = MakeFilter(row);
    if (m_pDownFilter == nullptr || m_pUpFilter == nullptr) {
      Release();
      return false;
    }
  }
  m_pWork = LpvAllocateFloats(kWorkFloats);
  if (m_pWork == nullptr) {
    Release();
    return false;
  }
  m_bValid = 1;
  return true;
}

bool CSrc::Downsample(float* out, float* in, std::int32_t len) {
  if (!m_bValid || out == nullptr || in == nullptr || len < 1) return false;
  if (!LPV_ASSERT((len%m_nSrcFactor)==0)) return false;
  const std::int32_t outLen = len / m_nSrcFactor;
  if (!LPV_ASSERT(outLen<=(EachChannelSampleCntMax*4))) return false;
  if (m_pDownFilter == nullptr) {  // equal rates
    if (out != in) spCopy_32f(in, out, len);
    return true;
  }
  if (!m_pDownFilter->Process(m_pWork, in, len)) return false;
  for (std::int32_t i = 0; i < outLen; ++i) out[i] = m_pWork[i * m_nSrcFactor];
  return true;
}

bool CSrc::Upsample(float* out, float* in, std::int32_t len) {
  if (!m_bValid || out == nullptr || in == nullptr || len < 1) return false;
  const std::int64_t outLen = static_cast<std::int64_t>(len) * m_nSrcFactor;
  if (!LPV_ASSERT(outLen<=(EachChannelSampleCntMax*4))) return false;
  if (m_pUpFilter == nullptr) {  // equal rates
    if (out != in) spCopy_32f(in, out, len);
    return true;
  }
  // The filter takes at most its capacity; refuse before touching the work buffer.
  if (!LPV_ASSERT(outLen<=(EachChannelSampleCntMax))) return false;
  const std::int32_t n = static_cast<std::int32_t>(outLen);
  const std::int32_t F = m_nSrcFactor;
  float* source = in;  // factor 1 has nothing to insert
  if (F > 1) {
    spZero_32f(m_pWork, n);
    for (std::int32_t i = 0; i < len; ++i) m_pWork[i * F] = in[i];
    source = m_pWork;
  }
  if (!m_pUpFilter->Process(out, source, n)) return false;
  spMulConstInPlace_32f(static_cast<float>(F), out, n);
  return true;
}
