// The engine frame: configuration, blocking and the per-block rate conversion.
#include "dsp/virtualiser/audio_app.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

#include "dsp/virtualiser/channel_copy.h"
#include "dsp/virtualiser/engine_resampler.h"
#include "dsp/virtualiser/engine_support.h"
#include "sp/sp.h"

namespace {

// dst[t] = src[t] + offset, a sample that is not finite or beyond LPV_INPUT_LIMIT in
// magnitude taken as 0; dst is the frame's own block, never the caller's buffer.
void AddOffset(float* dst, const float* src, std::int32_t n, float offset) {
  const __m128 o = _mm_set1_ps(offset);
  const __m128 limit = _mm_set1_ps(LPV_INPUT_LIMIT);
  const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  std::int32_t t = 0;
  for (; t + 4 <= n; t += 4) {
    const __m128 x = _mm_loadu_ps(src + t);
    // The comparison is false for NaN and for either infinity.
    const __m128 keep = _mm_cmple_ps(_mm_and_ps(x, absMask), limit);
    _mm_storeu_ps(dst + t, _mm_add_ps(_mm_and_ps(x, keep), o));
  }
  for (; t < n; ++t) dst[t] = (std::fabs(src[t]) <= LPV_INPUT_LIMIT ? src[t] : 0.0f) + offset;
}

}  // namespace

CAudioApp::CAudioApp(std::int32_t requestedLength, std::int32_t nIn, std::int32_t nOut, float inputOffsetScale)
    : m_nInputRate(0), m_nRealDataLen(0), m_nProcessingRate(LPV_PROCESSING_RATE), m_nDataLen(LPV_BLOCK_LENGTH),
      m_nInChannels(nIn), m_nOutChannels(nOut), m_fInputOffsetScale(inputOffsetScale), m_nBlockPhase(0),
      m_nFillPosition(0), m_pInputBlock{}, m_pOutputBlock{}, m_pCallerIn{}, m_pCallerOut{},
      m_nRequestedLength(requestedLength), m_nLinearPhase(1), m_nDirection(0), m_nSrcFactor(1), m_pSrc{},
      m_pProcessIn{}, m_pProcessOut{}, m_nHighBand(0), m_bConfigured(0) {}

CAudioApp::~CAudioApp() { FreeBuffers(); }

void CAudioApp::ProcessEngineBlock(float** /*out*/, std::int32_t /*nOut*/, float** /*in*/, std::int32_t /*nIn*/,
                                   std::int32_t /*len*/) {}

void CAudioApp::Reset() {}

std::int32_t CAudioApp::SetFormat(std::int32_t inputRate, std::int32_t nIn, std::int32_t nOut,
                                  std::int32_t requested) {
  m_nInputRate = inputRate;
  m_nInChannels = nIn;
  m_nOutChannels = nOut;
  m_nRequestedLength = requested;
  m_nProcessingRate = LPV_PROCESSING_RATE;
  m_nDataLen = LPV_BLOCK_LENGTH;
  bool configured = Configure();
  if (configured && !EngineReady()) {
    FreeBuffers();
    configured = false;
  }
  m_bConfigured = configured ? 1 : 0;
  Reset();
  return configured ? 1 : 0;
}

void CAudioApp::FreeBuffers() {
  m_bConfigured = 0;
  for (int c = 0; c < LPV_MAX_CHANNELS; ++c) {
    // At equal rates the processing buffers are the block buffers themselves.
    if (m_pProcessIn[c] != m_pInputBlock[c]) DspFree(m_pProcessIn[c]);
    if (m_pProcessOut[c] != m_pOutputBlock[c]) DspFree(m_pProcessOut[c]);
    DspFree(m_pInputBlock[c]);
    DspFree(m_pOutputBlock[c]);
    DspDelete(m_pSrc[c]);
    m_pInputBlock[c] = m_pOutputBlock[c] = m_pProcessIn[c] = m_pProcessOut[c] = nullptr;
    m_pSrc[c] = nullptr;
    m_pCallerIn[c] = m_pCallerOut[c] = nullptr;
  }
}

bool CAudioApp::Configure() {
  FreeBuffers();
  m_nDirection = 0;
  m_nSrcFactor = 1;
  m_nRealDataLen = m_nDataLen;
  m_nBlockPhase = 0;
  m_nFillPosition = 0;
  if (m_nInputRate < 1 || m_nInChannels < 1 || m_nInChannels > LPV_MAX_CHANNELS || m_nOutChannels < 1 ||
      m_nOutChannels > LPV_MAX_CHANNELS)
    return false;
  if (m_nInputRate > m_nProcessingRate) {
    m_nDirection = 1;
    m_nSrcFactor = m_nInputRate / m_nProcessingRate;
    m_nRealDataLen = m_nSrcFactor * m_nDataLen;
  } else if (m_nInputRate < m_nProcessingRate) {
    m_nDirection = -1;
    m_nSrcFactor = m_nProcessingRate / m_nInputRate;
    m_nRealDataLen = m_nDataLen / m_nSrcFactor;
    if (!LPV_ASSERT((m_nDataLen%m_nSrcFactor)==0)) return false;
  }
  if (!LPV_ASSERT(m_nRealDataLen<=EachChannelSampleCntMax)) return false;
  if (m_nDirection != 0 && m_nSrcFactor > LPV_ANTI_ALIAS_ROW_COUNT) return false;
  // The high-band restore stage (the stream-rate input's band above the processing
  // rate's Nyquist frequency, high-passed, delayed and added back to the output) is not
  // built: its switch m_nHighBand is never turned on, and it could only run above
  // 44100 Hz with a factor of 2 or more, which the virtualiser's streams never reach.

  // At equal rates a block needs no conversion: the per-block operation works on the
  // block buffers themselves (the input block is refilled in whole before the next
  // block, and the output block has been emitted in whole before this one).
  const bool convert = m_nDirection != 0;
  for (std::int32_t c = 0; c < m_nInChannels; ++c) {
    m_pInputBlock[c] = LpvAllocateFloats(m_nRealDataLen);
    m_pProcessIn[c] = convert ? LpvAllocateFloats(m_nDataLen) : m_pInputBlock[c];
    if (m_pInputBlock[c] == nullptr || m_pProcessIn[c] == nullptr) return FreeBuffers(), false;
  }
  for (std::int32_t c = 0; c < m_nOutChannels; ++c) {
    m_pOutputBlock[c] = LpvAllocateFloats(m_nRealDataLen);
    m_pProcessOut[c] = convert ? LpvAllocateFloats(m_nDataLen) : m_pOutputBlock[c];
    if (m_pOutputBlock[c] == nullptr || m_pProcessOut[c] == nullptr) return FreeBuffers(), false;
  }
  // Output channel c goes back through the converter of channel c, so the converters
  // cover whichever count is larger.
  const std::int32_t nConverters = convert ? std::max(m_nInChannels, m_nOutChannels) : 0;
  for (std::int32_t c = 0; c < nConverters; ++c) {
    m_pSrc[c] = LpvNew<CSrc>(m_nInputRate, m_nProcessingRate, m_nLinearPhase);
    if (m_pSrc[c] == nullptr || !m_pSrc[c]->IsValid()) return FreeBuffers(), false;
  }
  return true;
}

std::int32_t CAudioApp::Process(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len) {
  if (out == nullptr || in == nullptr || len < 1) return 0;
  if (!m_bConfigured) {
    CopyChannels(out, nOut, in, nIn, len);
    return 0;
  }
  const float offset = m_fInputOffsetScale * LPV_INPUT_OFFSET;
  const std::int32_t nInCall = std::clamp(nIn, 0, m_nInChannels);
  const std::int32_t nOutCall = std::clamp(nOut, 0, m_nOutChannels);
  for (std::int32_t c = 0; c < LPV_MAX_CHANNELS; ++c) {
    m_pCallerIn[c] = c < nInCall ? in[c] : nullptr;
    m_pCallerOut[c] = c < nOutCall ? out[c] : nullptr;
  }
  std::int32_t remaining = len;
  std::int32_t chunk = std::min(len, m_nRealDataLen - m_nFillPosition);
  while (chunk > 0) {
    // All of the chunk's inputs are taken before any output is written, so in and out
    // may share buffers.
    for (std::int32_t c = 0; c < m_nInChannels; ++c) {
      float* dst = m_pInputBlock[c] + m_nFillPosition;
      if (const float* src = m_pCallerIn[c]) {
        AddOffset(dst, src, chunk, offset);
        m_pCallerIn[c] += chunk;
      } else {
        spSet_32f(offset, dst, chunk);
      }
    }
    for (std::int32_t c = 0; c < nOutCall; ++c) {
      if (float* dst = m_pCallerOut[c]) {
        spCopy_32f(m_pOutputBlock[c] + m_nFillPosition, dst, chunk);
        m_pCallerOut[c] += chunk;
      }
    }
    m_nFillPosition += chunk;
    if (m_nFillPosition == m_nRealDataLen) {
      ProcessBlock();
      m_nFillPosition = 0;
    }
    remaining -= chunk;
    chunk = std::min(remaining, m_nRealDataLen);
  }
  const std::int64_t total = static_cast<std::int64_t>(m_nBlockPhase) + len;
  m_nBlockPhase = static_cast<std::int32_t>(total % m_nRealDataLen);
  return static_cast<std::int32_t>(total / m_nRealDataLen);
}

void CAudioApp::ProcessBlock() {
  const std::int32_t nIn = m_nInChannels, nOut = m_nOutChannels;
  for (std::int32_t c = 0; c < nIn && m_nDirection != 0; ++c) {
    if (m_nDirection > 0)
      m_pSrc[c]->Downsample(m_pProcessIn[c], m_pInputBlock[c], m_nRealDataLen);
    else
      m_pSrc[c]->Upsample(m_pProcessIn[c], m_pInputBlock[c], m_nRealDataLen);
  }
  ProcessEngineBlock(m_pProcessOut, nOut, m_pProcessIn, nIn, m_nDataLen);
  for (std::int32_t c = 0; c < nOut && m_nDirection != 0; ++c) {
    if (m_nDirection > 0)
      m_pSrc[c]->Upsample(m_pOutputBlock[c], m_pProcessOut[c], m_nDataLen);
    else
      m_pSrc[c]->Downsample(m_pOutputBlock[c], m_pProcessOut[c], m_nDataLen);
  }
}
