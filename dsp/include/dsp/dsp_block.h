// Stages of the conversion chain. A block holds, for each of up to eight channels, a
// buffer of float samples waiting to be taken by the next stage, and per-channel filter
// state. The resamplers change the rate by 2, by 4 or by 147:160, up (interpolate) or
// down (decimate) as the container sets the direction before Reset. All buffers are
// allocated by Init; Process, Consume and Reset allocate nothing.
#pragma once

#include <cstdint>

#include "dsp/wave_format.h"

struct spFirState;

class CDspBlock {
 public:
  // Samples each channel buffer holds: 10 ms at 192000 Hz interpolated by 4.
  static constexpr std::int32_t BLOCK_CAPACITY = 7680;
  static constexpr int CHANNELS = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;

  CDspBlock();
  virtual ~CDspBlock();
  CDspBlock(const CDspBlock&) = delete;
  CDspBlock& operator=(const CDspBlock&) = delete;

  // Bytes of one channel's filter state in each direction.
  virtual std::int32_t GetUpStateSize();
  virtual std::int32_t GetDownStateSize();
  // Filters samples of a channel into its buffer. *pCount in: samples offered; out:
  // samples taken (what fits; the rest stays with the previous stage).
  virtual bool Process(std::int32_t channel, const float* pSource, std::int32_t* pCount);
  // Drops all buffered samples and (in the resamplers) all filter history.
  virtual void Reset();

  // Allocates the state and sample buffers (pool tag "SRCX"); false when called twice,
  // when a state size is 0 or on allocation failure (what was allocated stays for the
  // destructor).
  bool Init();
  // Removes the first n samples of a channel's buffer; false, changing nothing, when n is
  // negative or above the fill.
  bool Consume(std::int32_t channel, std::int32_t n);

  float* Buffer(int channel) const { return m_pBuffer[channel]; }
  std::int32_t Fill(int channel) const { return m_nFill[channel]; }
  std::int32_t Capacity() const { return m_nCapacity; }
  bool IsUp() const { return m_bDirectionUp != 0; }
  void SetDirection(bool up) { m_bDirectionUp = up ? 1 : 0; }
  bool IsAllocated() const { return m_bAllocated != 0; }

 protected:
  static bool ValidChannel(std::int32_t channel) { return channel >= 0 && channel < CHANNELS; }
  std::uint8_t* StateBuffer(int channel) const { return IsUp() ? m_pUpState[channel] : m_pDownState[channel]; }

  std::uint8_t* m_pUpState[CHANNELS];
  std::uint8_t* m_pDownState[CHANNELS];
  spFirState* m_pFirState[CHANNELS];
  float* m_pBuffer[CHANNELS];
  std::int32_t m_nFill[CHANNELS];
  std::int32_t m_nCapacity;
  std::uint8_t m_bDirectionUp;
  std::uint8_t m_bAllocated;
};

// Integer-factor resampler over a multirate FIR: up, each input sample yields F outputs
// (scaled by F so that the level is kept); down, every F inputs yield one output.
class CFirResampler : public CDspBlock {
 public:
  std::int32_t GetUpStateSize() override;
  std::int32_t GetDownStateSize() override;
  bool Process(std::int32_t channel, const float* pSource, std::int32_t* pCount) override;
  void Reset() override;

  std::int32_t Factor() const { return m_nFactor; }

 protected:
  CFirResampler(std::int32_t factor, const float* pTaps, std::int32_t tapCount)
      : m_nFactor(factor), m_pTaps(pTaps), m_nTapCount(tapCount) {}

 private:
  std::int32_t m_nFactor;
  const float* m_pTaps;
  std::int32_t m_nTapCount;
};

class CFirResampler2x : public CFirResampler {
 public:
  CFirResampler2x();
};

class CFirResampler4x : public CFirResampler {
 public:
  CFirResampler4x();
};

// 147:160 resampler between the 44100 Hz and 48000 Hz families, one output at a time
// through the phase's row of taps over the newest input samples.
class CPolyphaseResampler : public CDspBlock {
 public:
  static constexpr std::int32_t UP_PHASES = 160;
  static constexpr std::int32_t UP_TAPS = 20;
  static constexpr std::int32_t DOWN_PHASES = 147;
  static constexpr std::int32_t DOWN_TAPS = 24;

  CPolyphaseResampler();

  std::int32_t GetUpStateSize() override;
  std::int32_t GetDownStateSize() override;
  bool Process(std::int32_t channel, const float* pSource, std::int32_t* pCount) override;
  void Reset() override;

  std::int32_t Phase(int channel) const { return m_nPhase[channel]; }

 private:
  std::int32_t ProcessUp(int channel, const float* pSource, std::int32_t count);
  std::int32_t ProcessDown(int channel, const float* pSource, std::int32_t count);

  std::int32_t m_nPhase[CHANNELS];
  // Per channel the newest DOWN_TAPS (or UP_TAPS) samples, newest first.
  float m_DelayLine[CHANNELS][2 * DOWN_TAPS];
};
