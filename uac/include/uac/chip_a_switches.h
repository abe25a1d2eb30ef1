// Chip class A's capability switches and its device rows. Every chip A device carries the
// same fixed descriptor; which of its pieces the system shows is decided by fourteen
// switches read from "Settings" and then forced per product. The products are rows of one
// table (match rule, register condition, switches forced, other effects), looked up once
// by the probe.
#pragma once

#include "kernel/nt.h"

namespace uac {

// The switches in the order they are read. A set "Disable..." switch leaves its piece out;
// the two "Support..." switches announce outputs.
enum ChipASwitch : ULONG {
  CHIPA_MIC_AA,        // "DisableMicInAAUnit"
  CHIPA_LINE_AA,       // "DisableLineInAAUnit"
  CHIPA_MIC_REC,       // "DisableMicInRecUnit"
  CHIPA_LINE_REC,      // "DisableLineInRecUnit"
  CHIPA_MIX_REC,       // "DisableStereoMixRecUnit"
  CHIPA_LINE_TERM,     // "DisableLineInTerminal"
  CHIPA_MIC_TERM,      // "DisableMicInTerminal"
  CHIPA_SPDIF_TERM,    // "DisableSpdifInTerminal"
  CHIPA_HP_OUT,        // "SupportHPOut"
  CHIPA_SPDIF_OUT,     // "SupportSpdifOut"
  CHIPA_OUT2,          // "Disable2ChOutSupported"
  CHIPA_OUT4,          // "Disable4ChOutSupported"
  CHIPA_OUT6,          // "Disable6ChOutSupported"
  CHIPA_OUT8,          // "Disable8ChOutSupported"
  CHIPA_SWITCH_COUNT
};

constexpr ULONG ChipABit(ChipASwitch Switch) { return 1u << Switch; }

// The switch values, one byte each as the function keeps them.
struct ChipASwitches {
  UCHAR Value[CHIPA_SWITCH_COUNT];
  bool operator[](ChipASwitch s) const { return Value[s] != 0; }
  void Set(ChipASwitch s, bool on) { Value[s] = on ? 1 : 0; }
};

// The Settings value name and default of a switch.
struct ChipASwitchName {
  PCWSTR Name;
  ULONG Default;
};
const ChipASwitchName& ChipASwitchSetting(ChipASwitch Switch);
// Every switch at its default.
ChipASwitches ChipADefaultSwitches();

// The two chip values the probe reads (vendor request 0x81, indices 9 and 8); a row with
// a register condition applies only when they read these values.
inline constexpr UCHAR kChipAR9Expected = 0x9F;
inline constexpr UCHAR kChipAR8Expected = 0x03;
inline constexpr ULONG kChipADefaultMask = 0x3FE00F;

// One device row. Vendor 0 matches any device; the first matching row applies.
struct ChipADeviceRow {
  USHORT VendorId = 0;
  USHORT ProductId = 0;
  bool NeedsRegisters = false;  // only with R9 = 0x9F and R8 = 3
  ULONG ForceOn = 0;            // ChipABit set of switches forced to 1
  ULONG ForceOff = 0;           // and to 0
  bool SetsMask = false;        // replaces the capability mask with Mask
  ULONG Mask = 0;
  bool JackPolling = false;
  bool SetsRegister1 = false;   // register 1's cached value becomes Register1
  USHORT Register1 = 0;
};

const ChipADeviceRow* ChipADeviceRows(ULONG* Count);
// The row for the device and the register values read; null when none applies.
const ChipADeviceRow* FindChipADeviceRow(USHORT VendorId, USHORT ProductId, UCHAR R9, UCHAR R8);

// What the probe makes of the switches read from Settings: the row's switches forced,
// then outputs off when two-channel output is disabled. *Mask receives the capability mask.
void ApplyChipADeviceRow(const ChipADeviceRow* Row, ChipASwitches* Switches, ULONG* Mask);

}  // namespace uac
