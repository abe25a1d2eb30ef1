// Chip class A's plain processing objects on its render engines. Neither is a control
// node: the function's filter builder puts them straight into an engine's processing
// list.
//  - CChipAGainNode: the level the jack-poll worker chooses (pass, a quarter, silence),
//    applied to PCM streams only. The mode is one 32-bit value the worker thread stores
//    and the engine's processing reads, without a lock.
//  - CChipAChannelSwapNode: the chip plays the side and rear pairs of an 8-channel stream
//    the other way round, so the pairs are exchanged in the stream (channels 4 and 6, 5
//    and 7). Only the pointers to the planar channel buffers move.
#pragma once

#include "adapter/dsp_node.h"
#include "kernel/unknown.h"

namespace uac {

// The gain node's modes.
enum ChipAGainMode : ULONG { CHIPA_GAIN_PASS = 0, CHIPA_GAIN_QUARTER = 1, CHIPA_GAIN_SILENCE = 2 };
inline constexpr float kChipAQuarterGain = 0.25f;

class CChipAGainNode : public adapter::IDspNode, public CUnknown {
 public:
  explicit CChipAGainNode(PUNKNOWN outerUnknown) : CUnknown(outerUnknown), m_nMode(CHIPA_GAIN_PASS) {}

  DECLARE_STD_UNKNOWN();

  // Mode 0 (pass); always succeeds.
  NTSTATUS ResetMode();
  // Stores the mode; a mode the node does not know passes the audio as mode 0 does.
  NTSTATUS SetMode(ULONG Mode);
  ULONG GetMode() const { return __atomic_load_n(&m_nMode, __ATOMIC_ACQUIRE); }

  // IDspNode: nothing to set up or reset; Process scales or silences every planar channel
  // of a PCM stream by the mode and leaves other formats alone. Always succeeds.
  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }

 private:
  ULONG m_nMode;  // written by the jack-poll thread, read by the processing
};

class CChipAChannelSwapNode : public adapter::IDspNode, public CUnknown {
 public:
  explicit CChipAChannelSwapNode(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) {}

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  // A PCM stream of exactly 8 channels: channel pointers 4 and 6, and 5 and 7, exchanged.
  // Anything else is left alone. Always succeeds.
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }
};

// Factories: zeroed non-paged pool under "7405", one reference.
NTSTATUS CreateChipAGainNode(CChipAGainNode** Node);
NTSTATUS CreateChipAChannelSwapNode(adapter::IDspNode** Node);

}  // namespace uac
