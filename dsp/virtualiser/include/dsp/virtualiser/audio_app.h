// The frame of the headphone virtualiser engine: up to eight planar float channels at
// the stream rate in, up to eight out, processed in fixed blocks at 44100 Hz by a
// per-block operation that a derived engine supplies.
//
// Calls of any length are cut into blocks of m_nRealDataLen samples at the stream rate
// (512 x factor above 44100 Hz, 512 / factor below, 512 at 44100 Hz and at 48000 Hz,
// whose truncated factor is 1). Each full block goes to the processing rate through one
// CSrc per channel, through ProcessEngineBlock, and back; its result is emitted while the
// next block fills. So the output is the processed input delayed by exactly one block
// (plus the converters' 64-sample zero-phase delay on each way when the rates differ),
// and the first block after SetFormat emits zeros. Every input sample carries an offset
// of 1e-10 (times the offset scale), so the per-block operation never sees exact zeros.
// A sample that is not finite, or whose magnitude exceeds LPV_INPUT_LIMIT, enters as 0:
// the converters' filters and the convolver keep every input for several blocks, so one
// such sample would otherwise spoil the output until the next SetFormat.
//
// A SetFormat that cannot be met (rate or channel count out of range, a factor without a
// filter row, an allocation failure) returns 0 and frees everything; until a later
// SetFormat succeeds, Process copies its inputs to its outputs unchanged and without
// delay. The object does no locking: its owner serialises SetFormat, Process and
// destruction.
#pragma once

#include <cstdint>

class CSrc;

inline constexpr std::int32_t LPV_MAX_CHANNELS = 8;
inline constexpr std::int32_t LPV_PROCESSING_RATE = 44100;
inline constexpr std::int32_t LPV_BLOCK_LENGTH = 512;  // samples per block at the processing rate
inline constexpr float LPV_INPUT_OFFSET = 1e-10f;
// Largest input magnitude taken as signal: 2^16 times full scale. Far above anything a
// stream carries, and far enough below the float range that no filter gain of the
// engine can overflow it.
inline constexpr float LPV_INPUT_LIMIT = 65536.0f;

class CAudioApp {
 public:
  // Records the requested length and channel counts; nothing is allocated until
  // SetFormat, so until then Process passes its input through.
  CAudioApp(std::int32_t requestedLength, std::int32_t nIn, std::int32_t nOut, float inputOffsetScale);
  virtual ~CAudioApp();
  CAudioApp(const CAudioApp&) = delete;
  CAudioApp& operator=(const CAudioApp&) = delete;

  // Configures the frame for a stream rate and channel counts (1 to 8 each), then runs
  // Reset. 1 on success, 0 when refused (see above). The requested length is recorded
  // only.
  std::int32_t SetFormat(std::int32_t inputRate, std::int32_t nIn, std::int32_t nOut, std::int32_t requested);

  // Takes len samples of each input channel and writes len samples of each output
  // channel; returns the number of blocks completed during the call. in and out may be
  // the same array. Only the channels of the last SetFormat are processed: further
  // outputs are left untouched, configured inputs the call does not supply (or whose
  // pointer is null) are silent. Nothing happens for len below 1.
  std::int32_t Process(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len);

  // Frees every block buffer and converter and clears the pointers.
  void FreeBuffers();

  // The per-block operation: m_nDataLen samples of nIn processing-rate inputs to nOut
  // outputs (the output buffers hold the previous block's values on entry). The frame's
  // own does nothing.
  virtual void ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len);
  // Clears the derived engine's state; run at the end of every SetFormat. The frame's own
  // does nothing.
  virtual void Reset();

  bool IsConfigured() const { return m_bConfigured != 0; }
  std::int32_t InputRate() const { return m_nInputRate; }
  std::int32_t Direction() const { return m_nDirection; }
  std::int32_t SrcFactor() const { return m_nSrcFactor; }
  std::int32_t RealDataLen() const { return m_nRealDataLen; }
  std::int32_t DataLen() const { return m_nDataLen; }
  std::int32_t BlockPhase() const { return m_nBlockPhase; }
  std::int32_t InChannels() const { return m_nInChannels; }
  std::int32_t OutChannels() const { return m_nOutChannels; }
  std::int32_t RequestedLength() const { return m_nRequestedLength; }

 protected:
  // Derives direction, factor and block length from the stored rate, then allocates the
  // block buffers, the converters and the processing buffers. False on any refusal, with
  // everything freed.
  bool Configure();
  // False when the derived engine could not build what its per-block operation needs;
  // SetFormat then fails as for any refusal. The frame's own is always ready.
  virtual bool EngineReady() const { return true; }
  // One full block: to the processing rate, ProcessEngineBlock, back to the stream rate.
  void ProcessBlock();

 private:
  std::int32_t m_nInputRate;
  std::int32_t m_nRealDataLen;
  std::int32_t m_nProcessingRate;
  std::int32_t m_nDataLen;
  std::int32_t m_nInChannels;
  std::int32_t m_nOutChannels;
  float m_fInputOffsetScale;
  std::int32_t m_nBlockPhase;
  std::int32_t m_nFillPosition;
  float* m_pInputBlock[LPV_MAX_CHANNELS];
  float* m_pOutputBlock[LPV_MAX_CHANNELS];
  float* m_pCallerIn[LPV_MAX_CHANNELS];
  float* m_pCallerOut[LPV_MAX_CHANNELS];
  std::int32_t m_nRequestedLength;
  std::int32_t m_nLinearPhase;
  std::int32_t m_nDirection;
  std::int32_t m_nSrcFactor;
  CSrc* m_pSrc[LPV_MAX_CHANNELS];
  float* m_pProcessIn[LPV_MAX_CHANNELS];
  float* m_pProcessOut[LPV_MAX_CHANNELS];
  // Set by the high-band restore stage's switch, which nothing turns on; the stage is
  // not built (see Configure).
  std::int32_t m_nHighBand;
  std::int32_t m_bConfigured;
};
