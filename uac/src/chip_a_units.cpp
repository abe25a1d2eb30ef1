// Chip class A feature units and the class-choice table.
#include "uac/chip_a_units.h"

#include "adapter/audio_class.h"
#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "uac/chip_a_function.h"
#include "uac/chip_a_nodes.h"

namespace uac {

namespace {

// Range steps: 1.5 dB for the scaled units, 0.25 dB for the render unit's curve.
constexpr LONG kScaledStep = 0x18000;
constexpr LONG kCurveStep = 16384;
// Tone controls (bass, mid, treble) are one byte of 1/4 dB.
constexpr LONG kToneUnit = 16384;

bool IsToneSelector(ULONG selector) { return selector == FU_BASS || selector == FU_MID || selector == FU_TREBLE; }

SHORT Raw16(const UCHAR* wire) { return static_cast<SHORT>(wire[0] | wire[1] << 8); }

// The first device channel 1..count that has the control; 0 (the master) when none does.
ULONG FirstChannelWithControl(CUac1FeatureUnit& unit, ULONG selector, ULONG count,
                              bool (CUac1FeatureUnit::*has)(ULONG, ULONG) const) {
  for (ULONG c = 1; c <= count; ++c)
    if ((unit.*has)(selector, c)) return c;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Shared

CChipAFeatureUnit::CChipAFeatureUnit(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip, ChipALevelScale scale,
                                     bool readsVendorBlock)
    : CUac1FeatureUnit(outerUnknown, id, kChipATag),
      m_pChip(chip),
      m_Scale(scale),
      m_bReadsVendorBlock(readsVendorBlock) {}

NTSTATUS CChipAFeatureUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                 adapter::CAudioHal* Function) {
  if (!Function || !m_pChip) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_FEATURE_UNIT);
  if (!NT_SUCCESS(status)) return status;
  if (m_bReadsVendorBlock) ReadVendorBlock();
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

// The unit's scale applies to its volume only. Tone levels stay the class's bytes of
// 1/4 dB, the form the record units report their tone range in, so a tone value read
// lies in that range.
STDMETHODIMP CChipAFeatureUnit::GetCur(ULONG Selector, ULONG Channel, PLONG Level) {
  NTSTATUS status = CUac1FeatureUnit::GetCur(Selector, Channel, Level);
  if (NT_SUCCESS(status) && !IsToneSelector(Selector)) *Level = ChipAScaleRead(m_Scale, *Level);
  return status;
}

STDMETHODIMP CChipAFeatureUnit::SetCur(ULONG Selector, ULONG Channel, LONG Level) {
  return CUac1FeatureUnit::SetCur(Selector, Channel, IsToneSelector(Selector) ? Level : ChipAScaleWrite(m_Scale, Level));
}

NTSTATUS CChipAFeatureUnit::ReadRangeValue(UCHAR Code, ULONG Selector, ULONG DeviceChannel, ULONG Length, PLONG Raw) {
  UCHAR wire[2] = {};
  NTSTATUS status = Request(Code, Selector, DeviceChannel, true, wire, Length);
  if (!NT_SUCCESS(status)) return status;
  *Raw = Length == 1 ? static_cast<LONG>(static_cast<signed char>(wire[0])) : static_cast<LONG>(Raw16(wire));
  return STATUS_SUCCESS;
}

// Two-byte bounds on the first channel that has the control, scaled as the unit counts;
// the maximum's low four bits are cleared first. A step of 1.5 dB.
STDMETHODIMP CChipAFeatureUnit::GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step) return STATUS_INVALID_PARAMETER;
  if (m_Scale == ChipALevelScale::Plain) return CUac1FeatureUnit::GetRange(Selector, Maximum, Minimum, Step);
  ULONG count = 0;
  NTSTATUS status = GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  const ULONG channel = FirstChannelWithControl(*this, Selector, count, &CChipAFeatureUnit::HasControlOn);
  LONG maximum = 0, minimum = 0, step = 0;
  status = ReadRangeValue(kGetMax, Selector, channel, 2, &maximum);
  if (NT_SUCCESS(status)) status = ReadRangeValue(kGetMin, Selector, channel, 2, &minimum);
  if (NT_SUCCESS(status)) status = ReadRangeValue(kGetRes, Selector, channel, 2, &step);
  if (!NT_SUCCESS(status)) return status;
  *Maximum = ChipAScaleRangeBound(m_Scale, static_cast<SHORT>(maximum & 0xFFF0));
  *Minimum = ChipAScaleRangeBound(m_Scale, static_cast<SHORT>(minimum));
  *Step = kScaledStep;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Unit 13

namespace {

constexpr FeatureControlRow kUnit13Controls[] = {
    {FU_MUTE, &CreateFeatureControl<CChipAMuteNode, &CUacBoolControl::InitUacBoolControl>,
     "could not set up its mute control"},
    {FU_VOLUME, &CreateFeatureControl<CChipAVolumeNode, &CChipAVolumeNode::InitChipAVolumeNode>,
     "did not answer for its volume control (channels or range)"},
};

}  // namespace

CChipAFeatureUnit13::CChipAFeatureUnit13(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CChipAFeatureUnit(outerUnknown, id, chip, ChipALevelScale::Curve, false),
      m_bNeedMuteLed(0),
      m_bReverseMuteLed(0) {}

NTSTATUS CChipAFeatureUnit13::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                   adapter::CAudioHal* Function) {
  if (Function) {
    PDEVICE_OBJECT deviceObject = Function->GetDeviceObject();
    SettingsBinaryValue(deviceObject, SETTINGS_READ, &m_bNeedMuteLed, 1, u"NeedMuteLED");
    SettingsBinaryValue(deviceObject, SETTINGS_READ, &m_bReverseMuteLed, 1, u"ReverseMuteLED");
  }
  return CChipAFeatureUnit::Init(Descriptor, Device, Function);
}

STDMETHODIMP CChipAFeatureUnit13::SetCur(ULONG Selector, ULONG Channel, UCHAR Value) {
  NTSTATUS status = CChipAFeatureUnit::SetCur(Selector, Channel, Value);
  if (!NT_SUCCESS(status) || !m_bNeedMuteLed || !m_pChip) return status;
  // The LED shows the mute, or its opposite on boards wired the other way round.
  const bool muted = Value != 0;
  const bool on = m_bReverseMuteLed == 1 ? !muted : muted;
  m_pChip->WriteChipRegister(kChipALedRegister, on ? 0x30 : 0x10, kChipALedMask);
  return status;
}

// The device's bounds along the curve on channel 1 (whatever the selector asks for); the
// device's resolution is not used.
STDMETHODIMP CChipAFeatureUnit13::GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step) return STATUS_INVALID_PARAMETER;
  LONG maximum = 0, minimum = 0, resolution = 0;
  NTSTATUS status = ReadRangeValue(kGetMax, Selector, 1, 2, &maximum);
  if (NT_SUCCESS(status)) status = ReadRangeValue(kGetMin, Selector, 1, 2, &minimum);
  if (NT_SUCCESS(status)) status = ReadRangeValue(kGetRes, Selector, 1, 2, &resolution);
  if (!NT_SUCCESS(status)) return status;
  *Maximum = ChipAScaleRangeBound(ChipALevelScale::Curve, static_cast<SHORT>(maximum));
  *Minimum = ChipAScaleRangeBound(ChipALevelScale::Curve, static_cast<SHORT>(minimum));
  *Step = kCurveStep;
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipAFeatureUnit13::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kUnit13Controls, sizeof kUnit13Controls / sizeof kUnit13Controls[0]);
}

// ---------------------------------------------------------------------------------------
// Unit 16

namespace {

constexpr FeatureControlRow kUnit16Controls[] = {
    {FU_MUTE, &CreateFeatureControl<CChipALinkedMuteNode, &CUacBoolControl::InitUacBoolControl>,
     "could not set up its mute control"},
};

}  // namespace

CChipAFeatureUnit16::CChipAFeatureUnit16(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CChipAFeatureUnit(outerUnknown, id, chip, ChipALevelScale::Plain, false) {}

STDMETHODIMP CChipAFeatureUnit16::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kUnit16Controls, 1);
}

// ---------------------------------------------------------------------------------------
// Units 9 and 11

CChipAFeatureUnit9::CChipAFeatureUnit9(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CChipAFeatureUnit(outerUnknown, id, chip, ChipALevelScale::Unit9, true) {}

CChipAFeatureUnit11::CChipAFeatureUnit11(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CChipAFeatureUnit9(outerUnknown, id, chip), m_nCachedMute(0), m_bForcedMute(0) {}

STDMETHODIMP CChipAFeatureUnit11::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IChipAForcedMute)) return adapter::ReturnInterface<IChipAForcedMute>(this, object);
  return CChipAFeatureUnit9::NonDelegatingQueryInterface(iid, object);
}

// The forced flag belongs to the mute alone; any other switch of the unit is a class one.
STDMETHODIMP CChipAFeatureUnit11::GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) {
  if (Selector != FU_MUTE) return CChipAFeatureUnit9::GetCur(Selector, Channel, Value);
  if (Channel != 0 || !Value) return STATUS_INVALID_PARAMETER;
  UCHAR wire = 0;
  NTSTATUS status = Request(kGetCur, Selector, 0, true, &wire, 1);
  if (!NT_SUCCESS(status)) return status;
  *Value = wire;
  m_nCachedMute = wire;
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipAFeatureUnit11::SetCur(ULONG Selector, ULONG Channel, UCHAR Value) {
  if (Selector != FU_MUTE) return CChipAFeatureUnit9::SetCur(Selector, Channel, Value);
  if (Channel != 0) return STATUS_INVALID_PARAMETER;
  m_nCachedMute = Value;
  UCHAR wire = static_cast<UCHAR>(Value | m_bForcedMute);
  return Request(kSetCur, Selector, 0, false, &wire, 1);
}

STDMETHODIMP CChipAFeatureUnit11::SetStatusMute(UCHAR Flag) {
  m_bForcedMute = Flag;
  return SetCur(FU_MUTE, 0, m_nCachedMute);
}

// ---------------------------------------------------------------------------------------
// Unit 2 and its variants

CChipAFeatureUnit2::CChipAFeatureUnit2(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip, bool readsVendorBlock)
    : CChipAFeatureUnit(outerUnknown, id, chip, ChipALevelScale::Unit2, readsVendorBlock) {}

// Tone bounds are bytes of 1/4 dB; the other levels as the shared form, with the
// maximum's low byte cleared instead.
STDMETHODIMP CChipAFeatureUnit2::GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  const ULONG channel = FirstChannelWithControl(*this, Selector, count, &CChipAFeatureUnit2::HasControlOn);
  const ULONG length = IsToneSelector(Selector) ? 1 : 2;
  LONG maximum = 0, minimum = 0, step = 0;
  status = ReadRangeValue(kGetMax, Selector, channel, length, &maximum);
  if (NT_SUCCESS(status)) status = ReadRangeValue(kGetMin, Selector, channel, length, &minimum);
  if (NT_SUCCESS(status)) status = ReadRangeValue(kGetRes, Selector, channel, length, &step);
  if (!NT_SUCCESS(status)) return status;
  if (length == 1) {
    *Maximum = maximum * kToneUnit;
    *Minimum = minimum * kToneUnit;
    *Step = step * kToneUnit;
    return STATUS_SUCCESS;
  }
  *Maximum = ChipAScaleRangeBound(m_Scale, static_cast<SHORT>(maximum & 0xFF00));
  *Minimum = ChipAScaleRangeBound(m_Scale, static_cast<SHORT>(minimum));
  *Step = kScaledStep;
  return STATUS_SUCCESS;
}

namespace {

constexpr FeatureControlRow kSoftMuteControls[] = {
    {FU_MUTE, &CreateFeatureControl<CChipASoftMuteNode, &CChipASoftMuteNode::InitUacBoolControl>,
     "could not set up its software mute"},
    {FU_VOLUME, &CreateFeatureControl<CUacVolumeControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its volume control (channels or range)"},
};

}  // namespace

CChipAFeatureUnit2SoftMute::CChipAFeatureUnit2SoftMute(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CChipAFeatureUnit2(outerUnknown, id, chip, false) {}

STDMETHODIMP CChipAFeatureUnit2SoftMute::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kSoftMuteControls, sizeof kSoftMuteControls / sizeof kSoftMuteControls[0]);
}

CChipAFeatureUnit2Switch::CChipAFeatureUnit2Switch(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CChipAFeatureUnit2(outerUnknown, id, chip, false) {}

// The class controls, then the gain switch after them.
STDMETHODIMP CChipAFeatureUnit2Switch::CreateControls(adapter::CAudioHal* Function) {
  NTSTATUS status = CChipAFeatureUnit2::CreateControls(Function);
  if (!NT_SUCCESS(status)) return status;
  adapter::IUacEntity* entity = nullptr;
  status = adapter::CreateInstance<CChipASwitchControl>(&entity, nullptr, NonPagedPool, kChipATag,
                                                        Function->GetEntityCount());
  if (!NT_SUCCESS(status)) return status;
  status = static_cast<CChipASwitchControl*>(entity)->InitChipASwitch(static_cast<IUacBoolControlSource*>(this),
                                                                      Function->GetDeviceObject(), m_pChip);
  if (!NT_SUCCESS(status)) {
    entity->Release();
    return Refuse(status, "could not set up its gain switch");
  }
  return AddCreatedNode(Function, entity);
}

// ---------------------------------------------------------------------------------------
// Class choice

namespace {

template <class Unit>
NTSTATUS CreateChipAClass(ULONG Id, CChipAFunction* Chip, CUacUnit** Out) {
  adapter::IUacEntity* entity = nullptr;
  NTSTATUS status = adapter::CreateInstance<Unit>(&entity, nullptr, NonPagedPool, kChipATag, Id, Chip);
  *Out = NT_SUCCESS(status) ? static_cast<CUacUnit*>(static_cast<Unit*>(entity)) : nullptr;
  return status;
}

template <class Unit>
NTSTATUS CreateUac1Class(ULONG Id, CChipAFunction*, CUacUnit** Out) {
  adapter::IUacEntity* entity = nullptr;
  NTSTATUS status = adapter::CreateInstance<Unit>(&entity, nullptr, NonPagedPool, kChipATag, Id);
  *Out = NT_SUCCESS(status) ? static_cast<CUacUnit*>(static_cast<Unit*>(entity)) : nullptr;
  return status;
}

// The record units 2, 8 and 15 and the products that change them.
#define CHIPA_RECORD_ROWS(id)                                                                                    \
  {AC_FEATURE_UNIT, id, 0x0E7A, 0x0053, false, "CChipAFeatureUnit2SoftMute", &CreateChipAClass<CChipAFeatureUnit2SoftMute>}, \
  {AC_FEATURE_UNIT, id, 0x28DA, 0x268E, false, "CChipAFeatureUnit2Switch", &CreateChipAClass<CChipAFeatureUnit2Switch>},       \
  {AC_FEATURE_UNIT, id, 0, 0, false, "CChipAFeatureUnit2", &CreateChipAClass<CChipAFeatureUnit2>}

constexpr ChipAUnitRow kRows[] = {
    {AC_INPUT_TERMINAL, kAnyUnit, 0, 0, false, "CChipAInputTerminal", &CreateChipAClass<CChipAInputTerminal>},
    // The render output terminal; a descriptor off the chip's layout may give ID 3 to a
    // streaming terminal, which keeps the class terminal.
    {AC_OUTPUT_TERMINAL, 3, 0, 0, true, "CChipAOutputTerminal", &CreateChipAClass<CChipAOutputTerminal>},
    {AC_OUTPUT_TERMINAL, kAnyUnit, 0, 0, false, "CUac1OutputTerminal", &CreateUac1Class<CUac1OutputTerminal>},
    {AC_MIXER_UNIT, kAnyUnit, 0, 0, false, "CUac1MixerUnit", &CreateUac1Class<CUac1MixerUnit>},
    {AC_SELECTOR_UNIT, kAnyUnit, 0, 0, false, "CChipASelectorUnit", &CreateChipAClass<CChipASelectorUnit>},
    {AC_FEATURE_UNIT, 13, 0, 0, false, "CChipAFeatureUnit13", &CreateChipAClass<CChipAFeatureUnit13>},
    {AC_FEATURE_UNIT, 16, 0, 0, false, "CChipAFeatureUnit16", &CreateChipAClass<CChipAFeatureUnit16>},
    {AC_FEATURE_UNIT, 9, 0, 0, false, "CChipAFeatureUnit9", &CreateChipAClass<CChipAFeatureUnit9>},
    {AC_FEATURE_UNIT, 11, 0x1E7D, 0x3750, false, "CChipAFeatureUnit11", &CreateChipAClass<CChipAFeatureUnit11>},
    {AC_FEATURE_UNIT, 11, 0, 0, false, "CChipAFeatureUnit9", &CreateChipAClass<CChipAFeatureUnit9>},
    CHIPA_RECORD_ROWS(2),
    CHIPA_RECORD_ROWS(8),
    CHIPA_RECORD_ROWS(15),
    {AC_FEATURE_UNIT, kAnyUnit, 0, 0, false, "CUac1FeatureUnit", &CreateUac1Class<CUac1FeatureUnit>},
};

#undef CHIPA_RECORD_ROWS

}  // namespace

const ChipAUnitRow* ChipAUnitRows(ULONG* Count) {
  if (Count) *Count = sizeof kRows / sizeof kRows[0];
  return kRows;
}

const ChipAUnitRow* FindChipAUnitRow(UCHAR Subtype, ULONG UnitId, USHORT VendorId, USHORT ProductId,
                                     USHORT TerminalType) {
  for (const ChipAUnitRow& row : kRows) {
    if (row.Subtype != Subtype) continue;
    if (row.UserFacingOnly && TerminalType == adapter::TERMINAL_USB_STREAMING) continue;
    if (row.UnitId != kAnyUnit && row.UnitId != UnitId) continue;
    if (row.VendorId && (row.VendorId != VendorId || row.ProductId != ProductId)) continue;
    return &row;
  }
  return nullptr;
}

}  // namespace uac
