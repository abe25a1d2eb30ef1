// The room reverb of the reverb effect node: a four-line feedback delay network that takes
// the eight planar channels of a 5.1 or 7.1 stream and gives a two-channel wet signal.
//
// Every delay line, input biquad, diffuser and output filter lives in one circular float
// buffer, laid out by the record of the sample-rate mode (dsp/reverb_records.h); the head
// moves one cell per frame, so each stage reads its past from fixed distances below it.
// Arithmetic is in floats; the outputs are rounded and saturated to 16-bit steps.
//
// The owner allocates the object zero-filled, calls Init once, SetSampleRate on every
// format change (only pending values change) and serialises SetSampleRate, Process and
// Reset. A change of mode or channel count clears the network, so the tail restarts from
// silence. Layouts other than 6 and 8 channels feed zeros into the network. A value
// stored into the network below 2^-100 in magnitude is stored as 0, so a decaying tail
// ends in exact zeros instead of subnormal floats. Nothing here allocates.
#pragma once

#include <cstdint>

#include "dsp/reverb_records.h"

// Test view of the network's line inputs: when set, Process stores per frame the four
// line inputs x_k and the four input-biquad outputs y_k (4 floats per frame each, at
// frame * 4 + k) into buffers of the caller's, which must hold the frames of every call.
struct CDspReverbProbe {
  float* lineInputs;
  float* biquadOutputs;
};

class CDspReverb {
 public:
  CDspReverb() {}

  // Mode 0 with a channel value of 0, both pending values 0, buffer length 3588, head at
  // the first cell; that many cells cleared.
  void Init();
  // Pending values only: the mode the rate runs and channelValue (the stream's channel
  // count minus 1). The next Process or Reset applies them.
  void SetSampleRate(std::int32_t rate, std::int32_t channelValue);
  // in: 8 channel pointers (all read, whatever the layout), never written. out: 2 channel
  // pointers; they may be in[0] and in[1], as each frame reads its inputs first. Outputs
  // are multiples of 1/32768 in [-1, 32767/32768]. Non-finite input samples count as 0.
  void Process(const float* const* in, float* const* out, std::int32_t frames);
  // Takes the pending mode (with its buffer length and the head at the start) and clears
  // the network; the channel value is left to the next Process.
  void Reset();
  // The pending mode has a record and the pending channel value is below 8.
  bool IsModeValid() const;
  // A valid pending pair becomes current and the network restarts cleared; an invalid
  // pair is dropped (the pending values return to the current ones).
  void ApplyPendingMode();

  std::int32_t Mode() const { return m_Mode; }
  std::int32_t ChannelValue() const { return m_ChannelValue; }
  std::int32_t PendingMode() const { return m_PendingMode; }
  std::int32_t PendingChannelValue() const { return m_PendingChannelValue; }
  std::int32_t BufferLength() const { return m_BufferLength; }
  std::int32_t HeadIndex() const { return static_cast<std::int32_t>(m_Head - m_BufferStart); }
  // The network's cells, BufferLength() of them, for inspection.
  const float* Cells() const { return m_BufferStart; }

  void SetProbe(const CDspReverbProbe* probe) { m_Probe = probe; }

 private:
  void Restart(std::int32_t mode);

  std::int32_t m_Mode;
  std::int32_t m_ChannelValue;
  std::int32_t m_PendingMode;
  std::int32_t m_PendingChannelValue;
  std::int32_t m_BufferLength;
  float* m_BufferStart;
  float* m_Head;
  float m_Buffer[REVERB_BUFFER_CAPACITY];
  const CDspReverbProbe* m_Probe;
};
