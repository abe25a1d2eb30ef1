// The forced mute of chip class A's line-in analog unit (unit 11): the jack-poll worker
// forces it on while the jack pattern says the line input is not in use, and lets it go
// otherwise. The worker finds unit 11 by identifier and asks it for this interface, so a
// unit 11 trimmed away or built as another class is simply skipped.
#pragma once

#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace uac {

// The unit whose mute the worker forces.
inline constexpr ULONG kChipAForcedMuteUnit = 11;

// {486D083A-E11C-4B49-A607-82A3B745707F}
KS_DEFINE_GUID(IID_IChipAStatusMute, 0x486D083A, 0xE11C, 0x4B49, 0xA6, 0x07, 0x82, 0xA3, 0xB7, 0x45, 0x70, 0x7F);

struct IChipAStatusMute : IUnknown {
  // Stores the forced-mute flag (0 or 1) and sends the unit's mute again with it.
  STDMETHOD(SetStatusMute)(ULONG Flag) = 0;
};

}  // namespace uac
