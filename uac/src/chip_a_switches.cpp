#include "uac/chip_a_switches.h"

#include <initializer_list>

namespace uac {
namespace {

constexpr ChipASwitchName kSwitchNames[CHIPA_SWITCH_COUNT] = {
    {u"DisableMicInAAUnit", 0},     {u"DisableLineInAAUnit", 0},    {u"DisableMicInRecUnit", 0},
    {u"DisableLineInRecUnit", 0},   {u"DisableStereoMixRecUnit", 1}, {u"DisableLineInTerminal", 0},
    {u"DisableMicInTerminal", 0},   {u"DisableSpdifInTerminal", 0}, {u"SupportHPOut", 1},
    {u"SupportSpdifOut", 1},        {u"Disable2ChOutSupported", 0}, {u"Disable4ChOutSupported", 0},
    {u"Disable6ChOutSupported", 0}, {u"Disable8ChOutSupported", 0},
};

constexpr ULONG Bits(std::initializer_list<ChipASwitch> switches) {
  ULONG bits = 0;
  for (ChipASwitch s : switches) bits |= ChipABit(s);
  return bits;
}

constexpr ChipADeviceRow kRows[] = {
    {.VendorId = 0x1E7D, .ProductId = 0x3750, .NeedsRegisters = true,
     .ForceOn = Bits({CHIPA_LINE_REC, CHIPA_MIX_REC, CHIPA_SPDIF_TERM, CHIPA_OUT4, CHIPA_OUT8}),
     .ForceOff = Bits({CHIPA_HP_OUT, CHIPA_SPDIF_OUT}), .SetsMask = true, .Mask = 0x3E0084, .JackPolling = true,
     .SetsRegister1 = true, .Register1 = 0x3032},
    {.VendorId = 0x5131, .ProductId = 0x001C, .NeedsRegisters = true,
     .ForceOn = Bits({CHIPA_MIX_REC, CHIPA_SPDIF_TERM, CHIPA_OUT8, CHIPA_OUT2, CHIPA_OUT4}),
     .ForceOff = Bits({CHIPA_HP_OUT, CHIPA_SPDIF_OUT}), .SetsMask = true, .Mask = 0},
    {.VendorId = 0x28DA, .ProductId = 0x268E, .NeedsRegisters = false,
     .ForceOn = Bits({CHIPA_LINE_TERM, CHIPA_SPDIF_TERM}), .ForceOff = Bits({CHIPA_HP_OUT, CHIPA_SPDIF_OUT}),
     .SetsMask = true, .Mask = 0x3E09F},
    // Without the register values no row applies to the products above: the last row
    // needs them as well.
    {.VendorId = 0x0E7A, .ProductId = 0x0053, .NeedsRegisters = true,
     .ForceOn = Bits({CHIPA_OUT8, CHIPA_LINE_TERM, CHIPA_SPDIF_TERM}), .ForceOff = Bits({CHIPA_HP_OUT, CHIPA_SPDIF_OUT})},
    {.VendorId = 0, .ProductId = 0, .NeedsRegisters = true, .ForceOn = Bits({CHIPA_OUT8})},
};

}  // namespace

const ChipASwitchName& ChipASwitchSetting(ChipASwitch Switch) {
  return kSwitchNames[Switch < CHIPA_SWITCH_COUNT ? static_cast<ULONG>(Switch) : 0u];
}

ChipASwitches ChipADefaultSwitches() {
  ChipASwitches switches{};
  for (ULONG i = 0; i < CHIPA_SWITCH_COUNT; ++i) switches.Value[i] = static_cast<UCHAR>(kSwitchNames[i].Default);
  return switches;
}

const ChipADeviceRow* ChipADeviceRows(ULONG* Count) {
  if (Count) *Count = sizeof kRows / sizeof kRows[0];
  return kRows;
}

const ChipADeviceRow* FindChipADeviceRow(USHORT VendorId, USHORT ProductId, UCHAR R9, UCHAR R8) {
  const bool registers = R9 == kChipAR9Expected && R8 == kChipAR8Expected;
  for (const ChipADeviceRow& row : kRows) {
    if (row.VendorId && (row.VendorId != VendorId || row.ProductId != ProductId)) continue;
    if (row.NeedsRegisters && !registers) continue;
    return &row;
  }
  return nullptr;
}

void ApplyChipADeviceRow(const ChipADeviceRow* Row, ChipASwitches* Switches, ULONG* Mask) {
  *Mask = kChipADefaultMask;
  if (Row) {
    for (ULONG i = 0; i < CHIPA_SWITCH_COUNT; ++i) {
      if (Row->ForceOn & (1u << i)) Switches->Value[i] = 1;
      if (Row->ForceOff & (1u << i)) Switches->Value[i] = 0;
    }
    if (Row->SetsMask) *Mask = Row->Mask;
  }
  if ((*Switches)[CHIPA_OUT2]) {
    Switches->Set(CHIPA_HP_OUT, false);
    Switches->Set(CHIPA_SPDIF_OUT, false);
  }
}

}  // namespace uac
