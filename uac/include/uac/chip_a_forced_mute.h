// The forced mute of chip class A's line-in analog unit (unit 11): the jack-poll worker
// forces it on while every recent jack report had the jack bit set, and lets it go
// otherwise. The worker finds unit 11 by identifier and asks it for this interface, so a
// unit 11 trimmed away ("DisableLineInAAUnit") or built as another class is skipped.
#pragma once

#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace uac {

// The unit whose mute the worker forces.
inline constexpr ULONG kChipAForcedMuteUnit = 11;

// {6E0A2F54-3B1C-4C7E-9D52-8A41F07C2B93}
KS_DEFINE_GUID(IID_IChipAForcedMute, 0x6E0A2F54, 0x3B1C, 0x4C7E, 0x9D, 0x52, 0x8A, 0x41, 0xF0, 0x7C, 0x2B, 0x93);

// A unit whose mute the worker forces: the flag is OR'ed into every mute it sends.
struct IChipAForcedMute : IUnknown {
  // Stores the flag (0 or 1) and sends the cached mute byte again with it.
  STDMETHOD(SetStatusMute)(UCHAR Flag) = 0;
};

}  // namespace uac
