// The units of chip class A. The chip's function is a UAC 1.0 function whose units need
// handling of their own: feature units that count their levels in other steps or along a
// curve, mute and volume applied to the stream in software, a mute LED and a gain switch
// driven through chip registers, an output terminal whose speaker, headphone and S/PDIF
// outputs are switched through registers instead of a class request, a selector whose
// device values are codes rather than input numbers, and a line-in unit whose mute the
// chip's jack worker can force. Which class a descriptor gets is one table of rows
// (subtype, unit identifier, device), looked up by the chip function's builder.
//
// Every unit keeps the chip function without a reference: the units live in the
// function's unit list. Requests not described here are the UAC 1.0 ones.
#pragma once

#include "uac/chip_a_volume.h"
#include "uac/uac1_feature_unit.h"
#include "uac/uac1_mixer_selector.h"
#include "uac/uac1_terminals.h"

namespace uac {

class CChipAFunction;

// {6E0A2F54-3B1C-4C7E-9D52-8A41F07C2B93}
KS_DEFINE_GUID(IID_IChipAForcedMute, 0x6E0A2F54, 0x3B1C, 0x4C7E, 0x9D, 0x52, 0x8A, 0x41, 0xF0, 0x7C, 0x2B, 0x93);

// A unit whose mute the chip's jack worker forces on: the flag is OR'ed into every mute
// the unit sends. Answered only by the line-in unit of the products that need it, so a
// caller that finds the unit by identifier queries for it rather than assuming the class.
struct IChipAForcedMute : IUnknown {
  // Stores the flag and sends the cached mute byte again with it.
  STDMETHOD(SetStatusMute)(UCHAR Flag) = 0;
};

// The chip's register writes of the LED and the gain switch: register 1, bits 4-5.
inline constexpr ULONG kChipALedRegister = 1;
inline constexpr USHORT kChipALedMask = 0x30;

// ---------------------------------------------------------------------------------------
// Feature units

// What the chip A feature units share: the chip function, their level scaling and the
// choice of Init (the UAC 1.0 one reads the maker's vendor control block; the chip's own
// does not).
class CChipAFeatureUnit : public CUac1FeatureUnit {
 public:
  // `readsVendorBlock`: the UAC 1.0 Init; otherwise the chip's own.
  CChipAFeatureUnit(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip, ChipALevelScale scale,
                    bool readsVendorBlock);

  // Refuses a missing chip function, device or function (STATUS_INVALID_PARAMETER) and a
  // descriptor that is not a feature unit's.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;

  using CUac1FeatureUnit::GetCur;
  using CUac1FeatureUnit::SetCur;
  // IUacLevelControlSource, through the unit's scaling
  STDMETHODIMP GetCur(ULONG Selector, ULONG Channel, PLONG Level) override;
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, LONG Level) override;
  STDMETHODIMP GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) override;

  ChipALevelScale Scale() const { return m_Scale; }
  CChipAFunction* Chip() const { return m_pChip; }

 protected:
  // One range request (GET_MAX, GET_MIN or GET_RES) of `Length` bytes on a device channel.
  NTSTATUS ReadRangeValue(UCHAR Code, ULONG Selector, ULONG DeviceChannel, ULONG Length, PLONG Raw);

  CChipAFunction* m_pChip;
  ChipALevelScale m_Scale;
  bool m_bReadsVendorBlock;
};

// The render unit: its volume along the curve, its mute lighting the mute LED, and both
// applied to the stream in software (on S/PDIF endpoints).
class CChipAFeatureUnit13 : public CChipAFeatureUnit {
 public:
  CChipAFeatureUnit13(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  // Reads "NeedMuteLED" and "ReverseMuteLED" before the controls are made.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  using CChipAFeatureUnit::GetCur;
  using CChipAFeatureUnit::SetCur;
  // The class SET_CUR, then (when it succeeded and the LED is wanted) the LED.
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, UCHAR Value) override;
  // Range on channel 1 whatever the selector; the step is a fixed 0.25 dB.
  STDMETHODIMP GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) override;
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
  bool NeedsMuteLed() const { return m_bNeedMuteLed != 0; }

 private:
  UCHAR m_bNeedMuteLed;
  UCHAR m_bReverseMuteLed;
};

// The S/PDIF input unit: one stream-linked software mute, nothing else.
class CChipAFeatureUnit16 : public CChipAFeatureUnit {
 public:
  CChipAFeatureUnit16(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
};

// The analog units (microphone, and line-in on most products): levels x 3/2 below 0 dB.
class CChipAFeatureUnit9 : public CChipAFeatureUnit {
 public:
  CChipAFeatureUnit9(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
};

// The line-in analog unit of the product whose jack worker forces its mute.
class CChipAFeatureUnit11 : public IChipAForcedMute, public CChipAFeatureUnit9 {
 public:
  CChipAFeatureUnit11(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  DECLARE_STD_UNKNOWN();

  using CChipAFeatureUnit9::GetCur;
  using CChipAFeatureUnit9::SetCur;
  // The mute: channel 0 (the master) only, else STATUS_INVALID_PARAMETER; the byte read
  // is cached. Other switches as the class's.
  STDMETHODIMP GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) override;
  // The mute: channel 0 only; the value is cached and sent OR'ed with the forced-mute flag.
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, UCHAR Value) override;
  // IChipAForcedMute
  STDMETHODIMP SetStatusMute(UCHAR Flag) override;

  UCHAR ForcedMute() const { return m_bForcedMute; }

 private:
  UCHAR m_nCachedMute;
  UCHAR m_bForcedMute;
};

// The record units: levels x 3/8 below 0 dB, tone ranges as bytes of 1/4 dB.
class CChipAFeatureUnit2 : public CChipAFeatureUnit {
 public:
  CChipAFeatureUnit2(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip, bool readsVendorBlock = true);
  STDMETHODIMP GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) override;
};

// A record unit whose mute is applied in software; its volume stays on the device.
class CChipAFeatureUnit2SoftMute : public CChipAFeatureUnit2 {
 public:
  CChipAFeatureUnit2SoftMute(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
};

// A record unit with the chip's gain switch beside its class controls.
class CChipAFeatureUnit2Switch : public CChipAFeatureUnit2 {
 public:
  CChipAFeatureUnit2Switch(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
};

// ---------------------------------------------------------------------------------------
// Terminals and the selector

// Input terminals: one terminal node for the terminal type's capture kind; the chip has
// no jack list to read.
class CChipAInputTerminal : public CUac1InputTerminal {
 public:
  CChipAInputTerminal(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
};

// The output kinds of the render output terminal, switched through chip registers.
enum ChipAOutputKind : ULONG { CHIPA_KIND_SPK = 1, CHIPA_KIND_HP = 2, CHIPA_KIND_SPDIF = 3 };

// One register write of an output kind.
struct ChipARegisterSetting {
  ULONG Register;
  USHORT Value;
  USHORT Mask;
};

// The render output terminal (bTerminalID 3): speaker, then headphones and S/PDIF as the
// function's "SupportHPOut" and "SupportSpdifOut" switches announce them. Its kind is
// saved as "UACUnit" + identifier and survives restarts.
class CChipAOutputTerminal : public CUac1OutputTerminal {
 public:
  CChipAOutputTerminal(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);

  // The kinds, the nodes (one per kind, a kind node for several), then the current
  // kind's register settings.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // Refreshes every output terminal node; the last one's identifier. None:
  // STATUS_UNSUCCESSFUL.
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;
  // A kind not listed: STATUS_UNSUCCESSFUL. Otherwise it becomes current, its registers
  // are written and it is saved.
  STDMETHODIMP SetKind(ULONG Kind) override;
  // 3 jacks for the speaker kind, 1 for headphones and S/PDIF, 0 for an index past the list.
  STDMETHODIMP GetState(PULONG JackCount, ULONG KindIndex) override;
  // The kind's fixed jack records. No buffer or size 0, or an index past the list:
  // STATUS_INVALID_PARAMETER; a buffer shorter than the records: STATUS_BUFFER_TOO_SMALL.
  // Either leaves the buffer untouched.
  STDMETHODIMP GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) override;

  // The register settings of a kind, in the order they are written; false for a kind
  // without a row.
  static bool KindRegisters(ULONG Kind, const ChipARegisterSetting** Settings, ULONG* Count);

 private:
  NTSTATUS CreateChipControls(adapter::CAudioHal* Function);
  // The kind's register settings, each write's result ignored.
  void WriteKindRegisters(ULONG Kind);
  bool Lists(ULONG Kind) const;

  CChipAFunction* m_pChip;
};

// The record selector: the device takes a code per source unit rather than an input
// number (microphone 1, line-in 2, S/PDIF 3, stereo mix 4).
class CChipASelectorUnit : public CUac1SelectorUnit {
 public:
  CChipASelectorUnit(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip);
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // The input whose code the device reports; a code no input has: input 1, whose code is
  // written back to the device.
  STDMETHODIMP GetSelected(PULONG Input) override;
  // 1 to bNrInPins, else STATUS_INVALID_PARAMETER; sends the input's code.
  STDMETHODIMP SetSelected(ULONG Input) override;
  UCHAR Code(ULONG Input) const;

 private:
  UCHAR m_Codes[256];  // by input number, 1 to bNrInPins
};

// The code of a record source unit (0: none).
UCHAR ChipASelectorCode(ULONG SourceId);

// ---------------------------------------------------------------------------------------
// Class choice

// One row of the class choice: descriptor subtype, unit identifier (kAnyUnit: any),
// device (vendor 0: any), whether the row is only for a terminal that faces the user (not
// a USB streaming terminal) and the creation of the class. The first matching row applies.
inline constexpr ULONG kAnyUnit = 0x100;
struct ChipAUnitRow {
  UCHAR Subtype;
  ULONG UnitId;
  USHORT VendorId;
  USHORT ProductId;
  bool UserFacingOnly;
  const char* ClassName;
  NTSTATUS (*Create)(ULONG Id, CChipAFunction* Chip, CUacUnit** Unit);
};
const ChipAUnitRow* ChipAUnitRows(ULONG* Count);
// The row for a descriptor of the function's device; null for a subtype the chip does
// not build. `TerminalType`: a terminal descriptor's wTerminalType (0 for units).
const ChipAUnitRow* FindChipAUnitRow(UCHAR Subtype, ULONG UnitId, USHORT VendorId, USHORT ProductId,
                                     USHORT TerminalType = 0);

}  // namespace uac
