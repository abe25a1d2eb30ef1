// The leveller: block queues, the two analyses and the per-sample gain ramp.
#include "dsp/leveler.h"

#include <cstring>

#include "sp/sp.h"

namespace {

constexpr std::size_t kWeightedBytes = CDspLeveler::BLOCK_FRAMES * sizeof(float);
constexpr std::size_t kDelayLineBytes = CDspLeveler::TAPS * sizeof(float);
constexpr std::size_t kQueueBytes = CDspLeveler::QUEUE_FRAMES * sizeof(float);
// Smallest step of a moving gain, relative to the gain: one unit in the last place of 1.0
// (float bits 0x34000000), so a ramp always reaches its goal.
constexpr float kMinRelativeStep = 1.1920929e-7f;

void ZeroFloats(float* p, std::size_t count) { std::memset(p, 0, count * sizeof(float)); }

// Queue copies of up to 256 floats. The size is hidden from the compiler so the copies
// stay library calls: expanded inline as string moves (what a known small bound invites)
// they cost more than the whole gain pass.
void CopyFloats(float* dst, const float* src, std::int32_t count) {
  std::size_t bytes = static_cast<std::size_t>(count) * sizeof(float);
  asm("" : "+r"(bytes));
  std::memcpy(dst, src, bytes);
}
void MoveFloats(float* dst, const float* src, std::int32_t count) {
  std::size_t bytes = static_cast<std::size_t>(count) * sizeof(float);
  asm("" : "+r"(bytes));
  std::memmove(dst, src, bytes);
}

}  // namespace

CDspLeveler* CDspLeveler::Init() {
  m_nMode = 0;
  m_bRampRequest = 1;
  for (int c = 0; c < CHANNELS; ++c) {
    m_pWeighted[c] = nullptr;
    m_pDelayLine[c] = nullptr;
    m_pFilter[c] = nullptr;
    m_JumpFlag[c] = 1;
    m_CurrentGain[c] = 1.0f;
    m_DesiredGain[c] = 1.0f;
    m_PreviousTarget[c] = 1.0f;
  }
  m_bAllocated = 0;
  m_nHistoryIndex = 0;
  m_nWarmUp = 0;
  m_Ceiling = 1.0f;
  return this;
}

std::uint32_t CDspLeveler::AllocateBuffers() {
  if (m_bAllocated) return 1;
  // Only missing buffers are allocated, so a retry after a failure leaks nothing.
  for (int c = 0; c < CHANNELS; ++c) {
    if (m_pWeighted[c] == nullptr)
      m_pWeighted[c] = static_cast<float*>(DspAllocate(kWeightedBytes, DSP_POOL_TAG_DSPs, false));
    if (m_pWeighted[c] == nullptr) return 0;
  }
  std::uint32_t stateBytes = 0;
  if (spFirGetStateSize_32f(TAPS, &stateBytes) != 0 || stateBytes == 0) return 0;
  for (int c = 0; c < CHANNELS; ++c) {
    if (m_pDelayLine[c] == nullptr) {
      m_pDelayLine[c] = static_cast<float*>(DspAllocate(kDelayLineBytes, DSP_POOL_TAG_DSPs, true));
      if (m_pDelayLine[c] == nullptr) return 0;
    }
    if (m_pStateBuffer[c] == nullptr) {
      m_pStateBuffer[c] = static_cast<std::uint8_t*>(DspAllocate(stateBytes, DSP_POOL_TAG_DSPs, false));
      if (m_pStateBuffer[c] == nullptr) return 0;
    }
    if (m_pInQueue[c] == nullptr) {
      m_pInQueue[c] = static_cast<float*>(DspAllocate(kQueueBytes, DSP_POOL_TAG_DSPs, false));
      if (m_pInQueue[c] == nullptr) return 0;
    }
    if (m_pOutQueue[c] == nullptr) {
      m_pOutQueue[c] = static_cast<float*>(DspAllocate(kQueueBytes, DSP_POOL_TAG_DSPs, false));
      if (m_pOutQueue[c] == nullptr) return 0;
    }
    if (spFirInit_32f(&m_pFilter[c], m_Taps, TAPS, m_pDelayLine[c], m_pStateBuffer[c]) != 0) {
      m_pFilter[c] = nullptr;
      return 0;
    }
  }
  m_bAllocated = 1;
  ResetState();
  return 1;
}

void CDspLeveler::FreeBuffers() {
  m_bAllocated = 0;
  for (int c = 0; c < CHANNELS; ++c) {
    DspFree(m_pWeighted[c]);
    m_pWeighted[c] = nullptr;
    DspFree(m_pDelayLine[c]);
    m_pDelayLine[c] = nullptr;
    DspFree(m_pStateBuffer[c]);
    m_pStateBuffer[c] = nullptr;
    m_pFilter[c] = nullptr;
    DspFree(m_pInQueue[c]);
    m_pInQueue[c] = nullptr;
    DspFree(m_pOutQueue[c]);
    m_pOutQueue[c] = nullptr;
  }
}

void CDspLeveler::SetMode(std::uint32_t mode) {
  m_nMode = mode;
  m_nWarmUp = WARM_UP_BLOCKS;
  for (auto& flag : m_JumpFlag) flag = 1;
}

void CDspLeveler::SetTargetGain(float gain) {
  for (auto& target : m_TargetGain) target = gain;
  if (m_nMode != 0) {
    m_bRampRequest = 1;
  } else {
    for (auto& flag : m_JumpFlag) flag = 1;
  }
}

void CDspLeveler::SetMaxGain(float gain) { m_Ceiling = gain; }

void CDspLeveler::SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pFormat) {
  ResetState();
  if (pFormat == nullptr) return;
  std::memcpy(&m_Format, pFormat, sizeof m_Format);
  m_nChannels = m_Format.Format.nChannels < CHANNELS ? m_Format.Format.nChannels : CHANNELS;
  if (m_Format.Format.nSamplesPerSec == 48000) {
    spMulConst_32f(kLevelerWeighting48k, 2.0f, m_Taps, TAPS);
    // Tap 0 of the 48 kHz filter is replaced by 1.0, leaving that filter asymmetric; only
    // mode 1 reads the taps.
    m_Taps[0] = 1.0f;
  } else {
    spMulConst_32f(kLevelerWeightingOther, 2.0f, m_Taps, TAPS);
  }
  if (m_bAllocated) BuildFilters();
}

// Builds every channel's weighting filter from the taps and its delay line.
void CDspLeveler::BuildFilters() {
  for (int c = 0; c < CHANNELS; ++c)
    if (spFirInit_32f(&m_pFilter[c], m_Taps, TAPS, m_pDelayLine[c], m_pStateBuffer[c]) != 0) m_pFilter[c] = nullptr;
}

void CDspLeveler::ResetState() {
  if (!m_bAllocated) return;
  for (int c = 0; c < CHANNELS; ++c) {
    m_JumpFlag[c] = 1;
    ZeroFloats(m_pWeighted[c], BLOCK_FRAMES);
    ZeroFloats(m_pDelayLine[c], TAPS);
    ZeroFloats(m_pInQueue[c], QUEUE_FRAMES);
    ZeroFloats(m_pOutQueue[c], QUEUE_FRAMES);
    m_PreviousDesired[c] = MAX_WEIGHTED_GAIN;
    m_PreviousTarget[c] = m_TargetGain[c];
    m_HistoryPeak[c] = 0.0f;
    m_HistoryWeightedPeak[c] = 0.0f;
  }
  std::memset(m_PeakHistory, 0, sizeof m_PeakHistory);
  std::memset(m_WeightedHistory, 0, sizeof m_WeightedHistory);
  // The filter states keep their own copy of the history: rebuild them from the zeroed
  // delay lines so no pre-reset signal reaches the weighted buffers.
  BuildFilters();
  m_nFill = 0;
  m_nHistoryIndex = 0;
  m_nReady = BLOCK_FRAMES;
  m_nWarmUp = WARM_UP_BLOCKS;
}

void CDspLeveler::Process(float* const* ppChannels, std::uint32_t frames) {
  // Without buffers (a failed AllocateBuffers) the audio passes through unchanged.
  if (!m_bAllocated || ppChannels == nullptr || frames == 0) return;
  const int channels = m_nChannels;
  float* channel[CHANNELS] = {};
  for (int c = 0; c < channels; ++c) {
    channel[c] = ppChannels[c];
    if (channel[c] == nullptr) return;
  }
  std::size_t position = 0;
  std::uint32_t left = frames;
  while (left > 0) {
    const std::int32_t k = left < static_cast<std::uint32_t>(BLOCK_FRAMES) ? static_cast<std::int32_t>(left)
                                                                           : BLOCK_FRAMES;
    for (int c = 0; c < channels; ++c)
      CopyFloats(m_pInQueue[c] + m_nFill, channel[c] + position, k);
    m_nFill += k;
    if (m_nFill >= BLOCK_FRAMES) {
      ProcessBlock(m_pInQueue, BLOCK_FRAMES);
      m_nFill -= BLOCK_FRAMES;
      // The k frames returned are the first k of the output queue followed by the new
      // block; what is left of both becomes the queue. Taken in that order, no frame is
      // copied into the queue only to be read straight out again.
      const std::int32_t queued = m_nReady;
      for (int c = 0; c < channels; ++c) {
        float* out = m_pOutQueue[c];
        const float* block = m_pInQueue[c];
        float* dst = channel[c] + position;
        if (queued >= k) {
          CopyFloats(dst, out, k);
          if (queued > k) MoveFloats(out, out + k, queued - k);
          CopyFloats(out + (queued - k), block, BLOCK_FRAMES);
        } else {
          if (queued > 0) CopyFloats(dst, out, queued);
          CopyFloats(dst + queued, block, k - queued);
          CopyFloats(out, block + (k - queued), BLOCK_FRAMES - (k - queued));
        }
        if (m_nFill > 0) MoveFloats(m_pInQueue[c], m_pInQueue[c] + BLOCK_FRAMES, m_nFill);
      }
      m_nReady = queued + BLOCK_FRAMES - k;
    } else {
      m_nReady -= k;
      for (int c = 0; c < channels; ++c) {
        CopyFloats(channel[c] + position, m_pOutQueue[c], k);
        if (m_nReady > 0) MoveFloats(m_pOutQueue[c], m_pOutQueue[c] + k, m_nReady);
      }
    }
    position += static_cast<std::size_t>(k);
    left -= static_cast<std::uint32_t>(k);
  }
}

void CDspLeveler::ProcessBlock(float* const* ppChannels, std::uint32_t frames) {
  if (!m_bAllocated || ppChannels == nullptr || frames == 0) return;
  // The weighted buffers hold one block.
  if (frames > static_cast<std::uint32_t>(BLOCK_FRAMES)) frames = BLOCK_FRAMES;
  for (int c = 0; c < m_nChannels; ++c) {
    m_pBlock[c] = ppChannels[c];
    if (m_pBlock[c] == nullptr) return;
  }
  if (m_nMode == 0)
    AnalyzePeak(frames);
  else
    AnalyzeWeighted(frames);
  for (int c = 0; c < m_nChannels; ++c) {
    ApplyGain(c, frames);
    m_JumpFlag[c] = 0;
  }
}

// Moves channel c's gain toward its desired gain over the block, sample by sample. The
// step is fixed for the block; the running gain is carried in double precision so that
// 128 additions of a small step do not drift (a float sum drifts by up to 128 half-units
// per block, which the slow release would accumulate over hundreds of blocks).
void CDspLeveler::ApplyGain(int c, std::uint32_t frames) {
  const float g0 = m_CurrentGain[c];
  const float d = m_DesiredGain[c];
  float* x = m_pBlock[c];
  const int n = static_cast<int>(frames);
  const bool jump = m_JumpFlag[c] != 0;
  const float blockSamples = static_cast<float>(frames);
  if (g0 == 1.0f && d == 1.0f) return;
  if (!(d > g0) && !(d < g0)) {
    spMulConstInPlace_32f(g0, x, n);
    return;
  }
  double g = g0;
  if (d > g0) {
    const float s = jump ? blockSamples : m_nMode != 0 ? RISE_SAMPLES_WEIGHTED : RISE_SAMPLES_PEAK;
    float step = (d - g0) / s;
    if (step < g0 * kMinRelativeStep) step = g0 * kMinRelativeStep;
    for (int i = 0; i < n; ++i) {
      x[i] *= static_cast<float>(g);
      if (g < d)
        g += step;
      else if (g > d)
        g = d;
    }
  } else {
    float step = m_nMode != 0 && !jump ? (g0 - d) / FALL_SAMPLES_WEIGHTED : (g0 - d) / blockSamples;
    if (step < g0 * kMinRelativeStep) step = g0 * kMinRelativeStep;
    for (int i = 0; i < n; ++i) {
      x[i] *= static_cast<float>(g);
      if (g > d)
        g -= step;
      else if (g < d)
        g = d;
    }
  }
  m_CurrentGain[c] = static_cast<float>(g);
}

float CDspLeveler::BlockPeak(const float* x, std::uint32_t n) const {
  if (x == nullptr || n == 0) return 0.0f;
  const int len = n > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(n);
  float extremes[2] = {0.0f, 0.0f};
  spMaximum_32f(x, len, &extremes[0]);
  spMinimum_32f(x, len, &extremes[1]);
  spAbsoluteInPlace_32f(extremes, 2);
  return extremes[0] > extremes[1] ? extremes[0] : extremes[1];
}

void CDspLeveler::AnalyzePeak(std::uint32_t frames) {
  const std::uint32_t index = m_nHistoryIndex;
  for (int c = 0; c < m_nChannels; ++c) {
    const float p = BlockPeak(m_pBlock[c], frames);
    float held = p;
    const float* history = m_PeakHistory[c];
    for (int back = 1; back < PEAK_WINDOW_BLOCKS; ++back) {
      int slot = static_cast<int>(index) - back;
      if (slot < 0) slot += HISTORY_BLOCKS;
      if (history[slot] > held) held = history[slot];
    }
    m_HistoryPeak[c] = held;
    m_PeakHistory[c][index] = p;
    const float target = m_TargetGain[c];
    float desired;
    if (m_Ceiling >= target * held)
      desired = target;
    else
      desired = held > 0.0f ? m_Ceiling / held : 0.0f;  // held 0 here only with a negative ceiling
    if (desired < 0.0f) desired = 0.0f;
    m_DesiredGain[c] = desired;
    m_PreviousDesired[c] = desired;
  }
  m_nHistoryIndex = (index + 1) % HISTORY_BLOCKS;
}

void CDspLeveler::AnalyzeWeighted(std::uint32_t frames) {
  const std::uint32_t index = m_nHistoryIndex;
  const int n = static_cast<int>(frames);
  for (int c = 0; c < m_nChannels; ++c) {
    const float target = m_TargetGain[c];
    float ratio = 1.0f;
    if (m_bRampRequest) {
      // A previous target of 0 gives no ratio to ramp by.
      if (m_PreviousTarget[c] != 0.0f) ratio = target / m_PreviousTarget[c];
      m_PreviousTarget[c] = target;
      if (ratio < 0.0f) ratio = 1.0f;
    }
    if (m_pFilter[c] != nullptr) spFirFilter_32f(m_pBlock[c], m_pWeighted[c], n, m_pFilter[c]);
    const float p = BlockPeak(m_pBlock[c], frames);
    const float w = m_nWarmUp == WARM_UP_BLOCKS ? 0.0f : BlockPeak(m_pWeighted[c], frames);

    float held = p;
    float heldWeighted = w;
    for (int j = 0; j < HISTORY_BLOCKS; ++j) {
      if (m_PeakHistory[c][j] > held) held = m_PeakHistory[c][j];
      if (m_WeightedHistory[c][j] > heldWeighted) heldWeighted = m_WeightedHistory[c][j];
    }
    m_HistoryPeak[c] = held;
    m_PeakHistory[c][index] = p;
    m_HistoryWeightedPeak[c] = heldWeighted;
    m_WeightedHistory[c][index] = w;

    float desired;
    if (heldWeighted > 0.0f) {
      // A weighted peak comes from input within the window, so held > 0 as well; the
      // guard keeps a hostile ceiling from dividing by zero.
      const float a = held > 0.0f ? m_Ceiling / held : MAX_WEIGHTED_GAIN;
      float b = m_Ceiling * target * target / heldWeighted;
      spSquareRootInPlace_32f(&b, 1);
      if (a >= b) {
        desired = b;
        if (m_PreviousDesired[c] / 1.5f > b) m_JumpFlag[c] = 1;
      } else {
        desired = a;
        if (m_CurrentGain[c] > a) m_JumpFlag[c] = 1;
      }
      if (desired > MAX_WEIGHTED_GAIN) desired = MAX_WEIGHTED_GAIN;
      if (ratio != 1.0f) {
        const float limit = ratio * m_CurrentGain[c];
        if (limit < desired) desired = limit;
        m_JumpFlag[c] = 1;
      }
    } else {
      desired = target * target;
    }
    if (m_nWarmUp > 0) m_JumpFlag[c] = 1;
    m_DesiredGain[c] = desired;
    m_PreviousDesired[c] = desired;
  }
  m_nHistoryIndex = (index + 1) % HISTORY_BLOCKS;
  if (m_nWarmUp > 0) --m_nWarmUp;
  m_bRampRequest = 0;
}
