// CChipAFunction: the UAC 1.0 function of chip class A. Its probe keeps a cache of the
// chip's six 16-bit registers, reads two chip values, reads the fourteen capability
// switches from Settings and forces them per product (chip_a_switches.h), trims the fixed
// configuration descriptor to what the switches leave (chip_a_trim.h) and builds the model
// from the trimmed descriptor; then, and on every return to D0, it rewrites the chip's
// registers over the HID interface.
#pragma once

#include "uac/chip_a_switches.h"
#include "uac/chip_a_trim.h"
#include "uac/uac1_function.h"

namespace uac {

inline constexpr ULONG kChipARegisterCount = 6;
// Register flags: bit 0 cleared by every successful write; bit 1 marks a register the
// probe and every return to D0 rewrite.
inline constexpr USHORT kChipARegisterDirty = 0x0001;
inline constexpr USHORT kChipARegisterRestore = 0x0002;
// The chip's registers are reached through HID reports on this interface.
inline constexpr USHORT kChipAHidInterface = 3;
inline constexpr UCHAR kChipAReportId = 0x20;

struct ChipARegister {
  USHORT Value;
  USHORT Flags;
};

class CChipAFunction : public CUac1Function {
 public:
  CChipAFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);

  // IUacFunction: also run by the 1.0 family's PowerChangeState on every return to D0,
  // since the chip loses its registers.
  STDMETHODIMP AfterProbe() override;
  // As the 1.0 function's, except that a renamed engine comes back through the status
  // path of the terminal that switched (NotifyEntityChange), which updates every
  // engine's subdevice.
  STDMETHODIMP RegisterSubdevices(ULONG EntityId) override;
  // IUacFunctionDescription
  STDMETHODIMP_(const char*) GetClassName() override { return "USB Audio Class 1.0, chip class A"; }
  // IAudioHal
  STDMETHODIMP ProbeDevice() override;

  // Writes the bits of `Mask` of a register (the rest from the cache) with a HID
  // SET_REPORT; mask 0 sends nothing. STATUS_UNSUCCESSFUL for register 6 or more.
  NTSTATUS WriteChipRegister(ULONG Register, USHORT Value, USHORT Mask);

  const ChipARegister& Register(ULONG Index) const { return m_Registers[Index < kChipARegisterCount ? Index : 0]; }
  const ChipASwitches& Switches() const { return m_Switches; }
  bool JackPolling() const { return m_bJackPolling != 0; }
  bool Trimmed() const { return m_bTrimmed; }
  UCHAR R9() const { return m_R9; }
  UCHAR R8() const { return m_R8; }

 protected:
  // The chip's class for the descriptor (chip_a_units.h); subtypes it does not build are
  // refused as the 1.0 function refuses them.
  NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit) override;

 private:
  // One chip value: vendor request 0x81, device-to-host, recipient other, wValue 0.
  NTSTATUS ReadChipValue(PURB Urb, USHORT Index, PUCHAR Value);
  NTSTATUS ProbeChip(adapter::IUsbAudioDevice* Device);

  ChipARegister m_Registers[kChipARegisterCount];
  UCHAR m_R9;
  UCHAR m_R8;
  UCHAR m_bJackPolling;  // the jack-poll thread itself comes with the chip's jack nodes
  ChipASwitches m_Switches;
  bool m_bTrimmed;
};

NTSTATUS CreateChipAFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac
