// The processing side of the chip class D effect switches: the reverb and the headphone
// virtualiser run on the render stream's planar float buffers in place, and a change of
// the switch dips the front pair through silence from one signal to the other.
//
// Both nodes pass a stream through untouched when it is not PCM, when its layout is not
// the one the node was set up for, or when an allocation of Init left the node without
// a buffer set or an effect object. A fade that a call cannot run (such a stream, or no
// frames at the processing rate) waits for the next call that can.
#include <cstring>

#include "adapter/dsp_node.h"
#include "dsp/channel_conversion.h"
#include "sp/sp.h"
#include "uac/chip_d_effect_controls.h"

namespace uac {

namespace {

// Added to every sample ahead of the reverb so that its network never runs on exact
// zeros (the nearest float to 1e-12).
constexpr float kDenormalGuard = 1e-12f;
// +5 dB on the reverb's wet pair.
constexpr float kWetGain = 1.7782f;

float* const* StreamChannels(PVOID Data) { return static_cast<float* const*>(Data); }

// The layout Process was handed matches the one SetFormat set the node up for, and every
// channel buffer is there.
bool UsableStream(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames, const WAVEFORMATEXTENSIBLE& SetUp) {
  if (!Format || !Data || adapter::DspFormatTag(Format) != WAVE_FORMAT_PCM) return false;
  const ULONG channels = Format->Format.nChannels;
  if (channels == 0 || channels > kChipDChannels || channels != SetUp.Format.nChannels) return false;
  if (Frames == 0 || Frames > kChipDChannelBufferFrames) return false;
  float* const* stream = StreamChannels(Data);
  for (ULONG c = 0; c < channels; ++c)
    if (!stream[c]) return false;
  return true;
}

void CopyFrames(float* To, const float* From, ULONG Frames) {
  if (Frames) std::memmove(To, From, Frames * sizeof(float));
}

}  // namespace

void ChipDCrossfade(float* const* Chosen, float* const* Dry, ULONG Frames, ULONG RampLength,
                    volatile LONG* FadeState) {
  const LONG state = InterlockedExchange(FadeState, CUacEffectControl::kFadeSteady);
  if (state == CUacEffectControl::kFadeSteady || RampLength == 0) return;
  const ULONG ramp = 2 * RampLength;
  const float span = static_cast<float>(ramp - 1);
  const ULONG downEnd = ramp < Frames ? ramp : Frames;
  const ULONG upEnd = 2 * ramp < Frames ? 2 * ramp : Frames;
  for (ULONG c = 0; c < 2; ++c) {
    float* s = Chosen[c];
    const float* dry = Dry[c];
    if (state == CUacEffectControl::kFadeIn) {
      for (ULONG i = 0; i < downEnd; ++i) s[i] = (1.0f - static_cast<float>(i) / span) * dry[i];
      for (ULONG i = downEnd; i < upEnd; ++i) s[i] = s[i] * (static_cast<float>(i - ramp) / span);
    } else {
      for (ULONG i = 0; i < downEnd; ++i) s[i] = s[i] * (1.0f - static_cast<float>(i) / span);
      for (ULONG i = downEnd; i < upEnd; ++i) s[i] = dry[i] * (static_cast<float>(i - ramp) / span);
      if (s != dry)
        for (ULONG i = upEnd; i < Frames; ++i) s[i] = dry[i];
    }
  }
}

void ChipDBalanceCarry(float* const* Stream, ULONG Channels, ULONG Frames, ULONG Produced, float* const* Carry,
                       ULONG* CarryFrames, float* const* Scratch) {
  const ULONG held = *CarryFrames;
  if (held == 0 && Produced == Frames) return;
  if (held + Produced < Frames) {
    // Everything goes out behind silence: [silence, carry, produced].
    const ULONG pad = Frames - held - Produced;
    for (ULONG c = 0; c < Channels; ++c) {
      CopyFrames(Stream[c] + pad + held, Stream[c], Produced);
      CopyFrames(Stream[c] + pad, Carry[c], held);
      std::memset(Stream[c], 0, pad * sizeof(float));
    }
    *CarryFrames = 0;
    return;
  }
  // The oldest Frames frames go out: `fromCarry` of the carry, then the head of the
  // produced frames; the rest of both stays, the newest beyond the carry's room dropped.
  const ULONG fromCarry = held < Frames ? held : Frames;
  const ULONG fromNew = Frames - fromCarry;
  const ULONG kept = held - fromCarry;
  const ULONG surplus = Produced - fromNew;
  const ULONG room = kChipDChannelBufferFrames - kept;
  const ULONG appended = surplus < room ? surplus : room;
  for (ULONG c = 0; c < Channels; ++c) {
    CopyFrames(Scratch[c], Carry[c], fromCarry);
    CopyFrames(Carry[c], Carry[c] + fromCarry, kept);
    CopyFrames(Carry[c] + kept, Stream[c] + fromNew, appended);
    CopyFrames(Stream[c] + fromCarry, Stream[c], fromNew);
    CopyFrames(Stream[c], Scratch[c], fromCarry);
  }
  *CarryFrames = kept + appended;
}

// ---------------------------------------------------------------------------------------
// Enable hand-over

void CUacEffectControl::ApplyPendingEnable() {
  KLOCK_QUEUE_HANDLE handle;
  bool atDpc = false;
  LockEffect(&handle, &atDpc);
  if (m_lChanged[kPendingFlag] != 0) {
    InterlockedCompareExchange(&m_lChanged[kPendingFlag], 0, 1);
    m_nCurrentEnable = EnableValue();
  }
  UnlockEffect(&handle, atDpc);
}

// ---------------------------------------------------------------------------------------
// Reverb

STDMETHODIMP CChipDReverbEffectControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  const LONG changed = InterlockedExchange(&m_lChanged[kChangeFlag], 0);
  const ULONG framesPerMs = m_StreamFormat.Format.nSamplesPerSec / 1000;
  if (changed) {
    if (m_pReverb) ApplyPendingEnable();
    InterlockedExchange(&m_lFadeState, m_nCurrentEnable ? kFadeIn : kFadeOut);
  }
  if (!m_pReverb || !m_ppDry || !m_ppWet || !UsableStream(Format, Data, Frames, m_StreamFormat)) return STATUS_SUCCESS;

  const ULONG channels = Format->Format.nChannels;
  float* const* stream = StreamChannels(Data);
  // The network has inputs for 5.1 and 7.1 only; every other layout keeps its dry signal.
  const bool wetLayout = channels == 6 || channels == 8;
  KLOCK_QUEUE_HANDLE handle;
  bool atDpc = false;
  LockEffect(&handle, &atDpc);
  for (ULONG c = 0; c < channels; ++c) {
    spAddConstInPlace_32f(kDenormalGuard, stream[c], static_cast<int>(Frames));
    CopyFrames(m_ppDry[c], stream[c], Frames);
    if (wetLayout) CopyFrames(m_ppWet[c], stream[c], Frames);
  }
  ConvertChannelCount(m_ppDry, channels, 2, Frames, CHANNEL_MODE_DISCRETE);
  float** chosen = m_ppDry;
  if (wetLayout) {
    m_pReverb->Process(m_ppWet, m_ppWet, static_cast<std::int32_t>(Frames));
    // The wet signal while enabled, and through the fall of a disable's dip.
    if (m_nCurrentEnable || m_lFadeState == kFadeOut) {
      chosen = m_ppWet;
      for (ULONG c = 0; c < 2; ++c) spMulConstInPlace_32f(kWetGain, m_ppWet[c], static_cast<int>(Frames));
    }
    ChipDCrossfade(chosen, m_ppDry, Frames, framesPerMs, &m_lFadeState);
  } else {
    // The output does not change with the switch: no dip.
    InterlockedExchange(&m_lFadeState, kFadeSteady);
  }
  for (ULONG c = 0; c < channels; ++c) CopyFrames(stream[c], chosen[c], Frames);
  UnlockEffect(&handle, atDpc);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipDReverbEffectControl::Reset() {
  if (m_pReverb) m_pReverb->Reset();
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Virtualiser

bool CChipDLpvEffectControl::CanProcess() const {
  return m_pLpv && m_ppDry && m_ppWet && m_ppCarry && m_pUpSrc && m_pDownSrc && m_pWetLeveler && m_pDryLeveler &&
         m_nWorkLength != 0;
}

STDMETHODIMP CChipDLpvEffectControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  const LONG changed = InterlockedExchange(&m_lChanged[kChangeFlag], 0);
  // Read once: the fade and the choice of signal go by the same value.
  const UCHAR enable = EnableValue();
  if (changed) InterlockedExchange(&m_lFadeState, enable ? kFadeIn : kFadeOut);
  if (!CanProcess() || !UsableStream(Format, Data, Frames, m_StreamFormat)) return STATUS_SUCCESS;

  const ULONG channels = Format->Format.nChannels;
  float* const* stream = StreamChannels(Data);
  const dsp::WAVEFORMATEXTENSIBLE engine = dsp::DspFormatFrom(m_EngineFormat);
  const dsp::WAVEFORMATEXTENSIBLE streamFloat = dsp::DspFormatFrom(m_StreamFloatFormat);
  KLOCK_QUEUE_HANDLE handle;
  bool atDpc = false;
  LockEffect(&handle, &atDpc);
  std::uint32_t n = 0;
  dsp::NTSTATUS status = ProcessPlanarBlocks(m_pUpSrc, Frames, &n, &streamFloat, &engine, stream, m_ppWet,
                                             m_nWorkLength, 0);
  if (status != dsp::STATUS_SUCCESS && status != dsp::STATUS_BUFFER_OVERFLOW) {
    // Converters not set up for this rate: the stream stays as it is.
    UnlockEffect(&handle, atDpc);
    return STATUS_SUCCESS;
  }
  std::uint32_t m = 0;
  if (n > 0) {
    for (ULONG c = 0; c < channels; ++c) CopyFrames(m_ppDry[c], m_ppWet[c], n);
    ConvertChannelCount(m_ppDry, channels, 2, n, CHANNEL_MODE_DISCRETE);
    m_pDryLeveler->Process(m_ppDry, n);
    // A mono stream's second input is silence, not the last call's output.
    for (ULONG c = channels; c < 2; ++c) std::memset(m_ppWet[c], 0, n * sizeof(float));
    m_pLpv->Process(m_ppWet, n);
    m_pWetLeveler->Process(m_ppWet, n);
    float** chosen = enable || m_lFadeState == kFadeOut ? m_ppWet : m_ppDry;
    ChipDCrossfade(chosen, m_ppDry, n, n / 5, &m_lFadeState);
    status = ProcessPlanarBlocks(m_pDownSrc, n, &m, &engine, &streamFloat, chosen, stream, m_nWorkLength, 0);
    if (status != dsp::STATUS_SUCCESS && status != dsp::STATUS_BUFFER_OVERFLOW) m = 0;
  }
  // The dry set is free again: it serves as the carry's scratch.
  ChipDBalanceCarry(stream, channels, Frames, m, m_ppCarry, &m_nCarryFrames, m_ppDry);
  UnlockEffect(&handle, atDpc);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipDLpvEffectControl::Reset() {
  if (m_pWetLeveler) m_pWetLeveler->ResetState();
  if (m_pDryLeveler) m_pDryLeveler->ResetState();
  return STATUS_SUCCESS;
}

}  // namespace uac
