// Trimming of chip class A's fixed configuration descriptor: the pieces the capability
// switches disable are left out, the analog mixer and the record selector are rebuilt for
// the inputs that remain, the references between the remaining pieces repaired, and the
// result written over the configuration descriptor before the builders read it.
#pragma once

#include "kernel/nt.h"
#include "uac/chip_a_switches.h"
#include "usb/usb.h"

namespace uac {

inline constexpr ULONG kChipATag = MakePoolTag('7', '4', '0', '5');
// The fixed layout ends here; what follows (the chip's HID interface) is not copied.
inline constexpr ULONG kChipALayoutBytes = 509;
inline constexpr ULONG kChipATrimBufferBytes = 4096;

// The switches the others imply: no microphone terminal leaves out the microphone's
// units and the stereo mix, no line-in terminal the line-in units and the stereo mix, and
// either analog input unit left out takes the stereo mix with it.
void DeriveChipASwitches(ChipASwitches* Switches);

// Null when the descriptor of `Length` bytes has chip A's fixed layout (every piece at its
// offset with its type, subtype, identifier and exact length); otherwise what differs.
const char* ChipALayoutFault(const UCHAR* Configuration, ULONG Length, PULONG Offset);

// Derives the switches (kept changed in *Switches) and rewrites the descriptor, never past
// its wTotalLength. A descriptor off the fixed layout is left as it stands (*Trimmed
// false, with a note in the debug output) and the call succeeds. STATUS_UNSUCCESSFUL when
// both 6- and 8-channel output are disabled or the work buffer cannot be had. PASSIVE_LEVEL.
NTSTATUS TrimChipADescriptors(PUSB_CONFIGURATION_DESCRIPTOR Configuration, ChipASwitches* Switches, bool* Trimmed);

}  // namespace uac
