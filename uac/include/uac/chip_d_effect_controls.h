// The two effect switches of a chip class D feature unit: vendor selector 0x8B switches a
// reverb, 0x8C a headphone virtualiser. The device only keeps the on/off byte; the
// effects run in the driver on the render stream, so each control is also a processing
// node holding its effect objects and the channel buffers they work in.
//
// Everything is allocated by Init. An effect object or buffer set that cannot be had
// leaves the control without it and Init still succeeds: the switch works and the audio
// passes through unprocessed.
#pragma once

#include "dsp/leveler.h"
#include "dsp/non_interleave_src.h"
#include "dsp/reverb.h"
#include "dsp/virtualiser/lpv_effect.h"
#include "uac/bound_path_nodes.h"

namespace uac {

// Pool tags: the unit's nodes and the controls; channel buffers, the reverb and the two
// rate converters; the virtualiser wrapper and the levellers.
inline constexpr ULONG kChipDPoolTag = MakePoolTag('4', '1', '8', '0');
inline constexpr ULONG kChipDBufferTag = MakePoolTag('D', 'o', 'H', 'P');
inline constexpr ULONG kChipDEffectTag = MakePoolTag('D', 'U', 'N', 'Q');

// A buffer set: eight channel buffers of 512 floats.
inline constexpr ULONG kChipDChannels = 8;
inline constexpr ULONG kChipDChannelBufferBytes = 2048;
inline constexpr ULONG kChipDChannelBufferFrames = kChipDChannelBufferBytes / sizeof(float);

// KS node types of the two effect nodes.
KS_DEFINE_GUID(KSNODETYPE_CHIP_D_REVERB, 0xAC02E636, 0xCB62, 0x42EF, 0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13);
KS_DEFINE_GUID(KSNODETYPE_CHIP_D_VIRTUALISER, 0xC7600B33, 0x1AA6, 0x4383, 0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD,
               0x3E);

// Eight zeroed channel buffers and their array ("DoHP"); null when any allocation fails
// (nothing is then kept).
float** AllocateChipDBufferSet();
// Frees a set of AllocateChipDBufferSet; null is ignored.
void FreeChipDBufferSet(float** Set);
// Zeroes every channel buffer of a set; null is ignored.
void ClearChipDBufferSet(float** Set);

// The switch-over between the dry and the chosen signal on channels 0 and 1 of Frames
// samples, over ramps of 2 x RampLength samples: after an enable (kFadeIn) the dry signal
// falls to silence and the chosen one rises; after a disable (kFadeOut) the chosen one
// falls and the dry one rises and stays. Returns the fade state to steady.
void ChipDCrossfade(float* const* Chosen, float* const* Dry, ULONG Frames, ULONG RampLength, volatile LONG* FadeState);

// Hands Frames frames of each stream channel on from the Produced frames the down
// conversion wrote there, through the carry (a FIFO of at most 512 frames per channel):
// the stream receives the oldest Frames frames of [carry, produced]; what is left over is
// kept, the newest beyond 512 dropped; a shortfall the carry cannot cover becomes silence
// at the head. Scratch is a buffer set the call may overwrite. Produced and Frames are at
// most 512.
void ChipDBalanceCarry(float* const* Stream, ULONG Channels, ULONG Frames, ULONG Produced, float* const* Carry,
                       ULONG* CarryFrames, float* const* Scratch);

class CChipDReverbEffectControl : public CUacEffectControl {
 public:
  CChipDReverbEffectControl(PUNKNOWN outerUnknown, ULONG id);
  ~CChipDReverbEffectControl() override;

  // The switch (device, then saved value), then the dry and wet buffer sets and the
  // reverb. Only the switch's failure is returned.
  NTSTATUS Init(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);

  // Keeps the format, gives the reverb the stream's rate and channel count and clears
  // the buffer sets.
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
  // PCM streams of 6 and 8 channels: the front pair takes the reverb (+5 dB) while
  // enabled, else the fold of all channels; channels 2-7 pass at their level. Every other
  // layout gets the dry set (for one and two channels its own channels). A switch change
  // dips through silence over 2 ms down and 2 ms up. Anything else passes untouched.
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  // Clears the reverb's network.
  STDMETHODIMP Reset() override;

  float** DrySet() const { return m_ppDry; }
  float** WetSet() const { return m_ppWet; }
  CDspReverb* Reverb() const { return m_pReverb; }

 protected:
  float** m_ppDry;  // the stream's channels as they came (the reverb's input)
  float** m_ppWet;  // the reverb's output
  CDspReverb* m_pReverb;
};

class CChipDLpvEffectControl : public CUacEffectControl {
 public:
  static constexpr ULONG kValueCount = 2;
  static constexpr ULONG kRoom = 0;  // 0, 1 or 2
  static constexpr ULONG kWide = 1;  // 0 or 1
  static constexpr ULONG kMaxRoom = 2;

  CChipDLpvEffectControl(PUNKNOWN outerUnknown, ULONG id);
  ~CChipDLpvEffectControl() override;

  // The switch, then the dry, wet and carry buffer sets, the up and down converters, the
  // wet and dry levellers and the virtualiser; then room and wide from the virtualiser,
  // replaced by saved values ("UnitNN_0", "UnitNN_1"; a saved room above 2 is ignored),
  // and applied to it. Only the switch's failure is returned.
  NTSTATUS Init(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);

  // Values [First, First + Count) of {room, wide}.
  STDMETHODIMP GetValues(ULONG First, ULONG Count, PULONG Values) override;
  // Applies each value the virtualiser takes (a room above 2 is refused), under the
  // effect lock; stores and saves only those. None taken: STATUS_INVALID_PARAMETER.
  STDMETHODIMP SetValues(ULONG First, ULONG Count, const ULONG* Values) override;

  // Derives the processing formats (32-bit float at the stream's rate, and at the engine
  // rate: 44.1 kHz for rates that are not whole kHz, else 48 kHz), sets up converters,
  // virtualiser and levellers for them, clears the buffer sets and empties the carry.
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
  // Both levellers start afresh.
  STDMETHODIMP ResetState() override;
  // PCM streams: up to the engine rate, the fold (dry) and the binaural pair (wet) each
  // behind its leveller, the wet pair while enabled, down to the stream rate through the
  // carry. A switch change dips through silence over the ramps of the call. Under the
  // effect lock, so value changes never meet a half-processed block.
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  // Both levellers start afresh.
  STDMETHODIMP Reset() override;

  ULONG EngineRate() const { return m_nEngineRate; }
  const WAVEFORMATEXTENSIBLE& EngineFormat() const { return m_EngineFormat; }
  const WAVEFORMATEXTENSIBLE& StreamFloatFormat() const { return m_StreamFloatFormat; }
  const dsp::WAVEFORMATEX& VirtualiserFormat() const { return m_LpvFormat; }
  CLpvEffect* Virtualiser() const { return m_pLpv; }
  CDspLeveler* WetLeveler() const { return m_pWetLeveler; }
  CDspLeveler* DryLeveler() const { return m_pDryLeveler; }
  CDspNonInterleaveSrc* UpConverter() const { return m_pUpSrc; }
  CDspNonInterleaveSrc* DownConverter() const { return m_pDownSrc; }
  float** DrySet() const { return m_ppDry; }
  float** WetSet() const { return m_ppWet; }
  float** CarrySet() const { return m_ppCarry; }
  ULONG WorkLength() const { return m_nWorkLength; }
  ULONG CarryFrames() const { return m_nCarryFrames; }

 protected:
  // Every object and buffer set the processing needs exists.
  bool CanProcess() const;

  // Allocation and set-up of everything after the switch; false at the first failure.
  bool CreateEffects();
  // Applies room and wide to the virtualiser where it differs (the caller holds the lock).
  void ApplyRoom(ULONG Room);
  void ApplyWide(ULONG Wide);
  NTSTATUS SavedValue(ULONG Operation, ULONG Index, PULONG Value);

  ULONG m_Values[kValueCount];
  float** m_ppDry;
  float** m_ppWet;
  float** m_ppCarry;
  // Room given to each planar conversion: the bytes of one channel buffer.
  ULONG m_nWorkLength;
  CDspNonInterleaveSrc* m_pUpSrc;    // stream rate to engine rate
  CDspNonInterleaveSrc* m_pDownSrc;  // and back
  CDspLeveler* m_pWetLeveler;
  CDspLeveler* m_pDryLeveler;
  CLpvEffect* m_pLpv;
  dsp::WAVEFORMATEX m_LpvFormat;
  ULONG m_nEngineRate;
  WAVEFORMATEXTENSIBLE m_EngineFormat;       // 32-bit float at the engine rate
  WAVEFORMATEXTENSIBLE m_StreamFloatFormat;  // 32-bit float at the stream rate
  WAVEFORMATEXTENSIBLE m_SpareFormat;        // the stream format as given
  ULONG m_nCarryFrames;
};

}  // namespace uac
