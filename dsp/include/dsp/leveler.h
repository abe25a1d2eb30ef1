// The leveller: a slow automatic gain stage for up to eight planar float channels.
//
// The stream is cut into blocks of 128 frames. Each block is measured, a desired gain per
// channel is derived from the target gain, the gain ceiling and a history of block
// measurements, and each channel's gain moves toward it sample by sample. Mode 0 keeps the
// peak of the last 20 blocks at or below the ceiling (a peak limiter with slow release);
// mode 1 (any non-zero mode) also runs every channel through a 101-tap weighting filter and
// sets the gain from the square root of ceiling / weighted peak, at most 8.0. The output is
// the input delayed by exactly 128 frames.
//
// The owner allocates the object (zero-filled, pool tag "DUNQ") and calls, in order, Init,
// AllocateBuffers, SetMode, SetTargetGain, SetMaxGain, then SetFormat whenever the stream
// format changes and Process per buffer. AllocateBuffers takes every per-channel buffer
// from the DSP pool under the tag "DSPs"; Process allocates nothing. No lock: the owner
// serialises every call.
#pragma once

#include <cstdint>

#include "dsp/host.h"
#include "dsp/wave_format.h"

struct spFirState;

// Pool tags of the leveller object (its owner's) and of its per-channel buffers.
inline constexpr std::uint32_t DSP_POOL_TAG_DUNQ = DspPoolTag('D', 'U', 'N', 'Q');
inline constexpr std::uint32_t DSP_POOL_TAG_DSPs = DspPoolTag('D', 'S', 'P', 's');

// Taps of the two weighting filters before SetFormat scales them by 2.0: one for 48000 Hz,
// one for every other rate.
inline constexpr int LEVELER_WEIGHTING_TAPS = 101;
extern const float kLevelerWeighting48k[LEVELER_WEIGHTING_TAPS];
extern const float kLevelerWeightingOther[LEVELER_WEIGHTING_TAPS];

class CDspLeveler {
 public:
  static constexpr int CHANNELS = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
  static constexpr std::int32_t BLOCK_FRAMES = 128;
  static constexpr std::int32_t QUEUE_FRAMES = 2 * BLOCK_FRAMES;
  static constexpr int HISTORY_BLOCKS = 200;
  // Blocks whose peaks mode 0 holds: the current one and the 19 before it.
  static constexpr int PEAK_WINDOW_BLOCKS = 20;
  static constexpr int TAPS = LEVELER_WEIGHTING_TAPS;
  // Samples over which a rising gain covers its distance when not jumping.
  static constexpr float RISE_SAMPLES_PEAK = 10240.0f;
  static constexpr float RISE_SAMPLES_WEIGHTED = 204800.0f;
  // Samples over which a falling gain covers its distance in mode 1 when not jumping.
  static constexpr float FALL_SAMPLES_WEIGHTED = 1024.0f;
  static constexpr float MAX_WEIGHTED_GAIN = 8.0f;
  // Warm-up blocks after a reset: the weighted peak of the first is ignored, and both
  // jump to their desired gain.
  static constexpr std::uint32_t WARM_UP_BLOCKS = 2;

  CDspLeveler() = default;
  ~CDspLeveler() { FreeBuffers(); }
  CDspLeveler(const CDspLeveler&) = delete;
  CDspLeveler& operator=(const CDspLeveler&) = delete;

  // Mode 0, unity gains, ceiling 1.0, no buffers; returns the object.
  CDspLeveler* Init();
  // Allocates every missing per-channel buffer and builds the weighting filters; 1 on
  // success (and when already allocated), 0 when an allocation fails. What was allocated
  // stays (FreeBuffers returns it) and a later call allocates only what is missing. Until
  // it succeeds, Process passes the audio through unchanged.
  std::uint32_t AllocateBuffers();
  // Frees every per-channel buffer that exists.
  void FreeBuffers();
  // Mode word: 0 peak mode, any other value weighted mode. Restarts the warm-up.
  void SetMode(std::uint32_t mode);
  void SetTargetGain(float gain);
  void SetMaxGain(float gain);
  // Resets, copies the format (at most eight channels are processed, further channels of a
  // call pass unchanged) and loads the weighting taps for its rate. A null format only
  // resets.
  void SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pFormat);
  // Clears queues, histories and filter history; the first 128 frames afterwards are
  // silence. Current and desired gains stay. Nothing happens before AllocateBuffers.
  void ResetState();
  void Reset() { ResetState(); }
  // Levels `frames` frames of each processed channel in place. A null array or a null
  // processed channel leaves the call untouched.
  void Process(float* const* ppChannels, std::uint32_t frames);
  // Analyses and applies gains to one block (at most 128 frames) in place.
  void ProcessBlock(float* const* ppChannels, std::uint32_t frames);
  // The larger of |max| and |min| of x; 0 for an empty or null block.
  float BlockPeak(const float* x, std::uint32_t n) const;

  // State, for the owner's diagnostics and the tests.
  bool IsAllocated() const { return m_bAllocated != 0; }
  int Channels() const { return m_nChannels; }
  std::uint32_t Mode() const { return m_nMode; }
  std::int32_t Fill() const { return m_nFill; }
  std::int32_t Ready() const { return m_nReady; }
  float CurrentGain(int c) const { return m_CurrentGain[c]; }
  float DesiredGain(int c) const { return m_DesiredGain[c]; }
  bool JumpFlag(int c) const { return m_JumpFlag[c] != 0; }
  std::uint32_t WarmUp() const { return m_nWarmUp; }
  const float* Taps() const { return m_Taps; }
  const float* WeightedBuffer(int c) const { return m_pWeighted[c]; }

 private:
  void AnalyzePeak(std::uint32_t frames);
  void AnalyzeWeighted(std::uint32_t frames);
  void ApplyGain(int c, std::uint32_t frames);
  void BuildFilters();

  dsp::WAVEFORMATEXTENSIBLE m_Format{};
  float* m_pBlock[CHANNELS]{};
  float* m_pWeighted[CHANNELS]{};
  float* m_pInQueue[CHANNELS]{};
  float* m_pOutQueue[CHANNELS]{};
  std::int32_t m_nFill = 0;
  std::int32_t m_nReady = 0;
  float m_TargetGain[CHANNELS]{};
  float m_PreviousTarget[CHANNELS]{};
  float m_CurrentGain[CHANNELS]{};
  float m_DesiredGain[CHANNELS]{};
  float m_PreviousDesired[CHANNELS]{};
  float m_HistoryPeak[CHANNELS]{};
  float m_HistoryWeightedPeak[CHANNELS]{};
  float m_PeakHistory[CHANNELS][HISTORY_BLOCKS]{};
  float m_WeightedHistory[CHANNELS][HISTORY_BLOCKS]{};
  float* m_pDelayLine[CHANNELS]{};
  float m_Ceiling = 0.0f;
  spFirState* m_pFilter[CHANNELS]{};
  std::uint8_t* m_pStateBuffer[CHANNELS]{};
  std::uint32_t m_nHistoryIndex = 0;
  std::uint32_t m_nWarmUp = 0;
  std::uint32_t m_nMode = 0;
  std::uint32_t m_JumpFlag[CHANNELS]{};
  std::uint32_t m_bRampRequest = 0;
  std::uint32_t m_bAllocated = 0;
  // Channels processed: the format's count, at most CHANNELS.
  int m_nChannels = 0;
  float m_Taps[TAPS]{};
};
