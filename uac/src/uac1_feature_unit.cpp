#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/bound_nodes.h"
#include "uac/uac1_feature_unit.h"

namespace uac {

namespace {

// Descriptor offsets of a feature unit.
constexpr ULONG kFuControlSize = 5;
constexpr ULONG kFuControls = 6;
constexpr ULONG kFuMinLength = 7;  // header, ids, bControlSize and iFeature

bool IsVendorSelector(ULONG selector) { return (selector & 0x80) != 0; }
// Bass, mid and treble are one-byte levels in 1/4 dB; every other level is two bytes.
bool IsToneSelector(ULONG selector) { return selector == FU_BASS || selector == FU_MID || selector == FU_TREBLE; }

// A range value (GET_MIN, GET_MAX, GET_RES) is a plain number: 0x8000 is -128 dB there.
LONG WireToRangeLevel(const UCHAR* wire, ULONG length) {
  if (length == 1) return static_cast<LONG>(static_cast<signed char>(wire[0])) * (1 << 14);
  return static_cast<LONG>(static_cast<SHORT>(wire[0] | wire[1] << 8)) * (1 << 8);
}

// A current value: the device reports minus infinity as 0x8000.
LONG WireToLevel(const UCHAR* wire, ULONG length) {
  if (length == 2 && (wire[0] | wire[1] << 8) == 0x8000) return kLevelMinusInfinity;
  return WireToRangeLevel(wire, length);
}

// Levels beyond what the wire carries saturate rather than wrap.
void LevelToWire(LONG level, UCHAR* wire, ULONG length) {
  if (length == 1) {
    LONG v = level >> 14;
    v = v > 127 ? 127 : (v < -128 ? -128 : v);
    wire[0] = static_cast<UCHAR>(static_cast<signed char>(v));
    return;
  }
  USHORT raw = 0x8000;
  if (level != kLevelMinusInfinity) {
    LONG v = level >> 8;
    v = v > 32767 ? 32767 : (v < -32767 ? -32767 : v);
    raw = static_cast<USHORT>(static_cast<SHORT>(v));
  }
  wire[0] = static_cast<UCHAR>(raw);
  wire[1] = static_cast<UCHAR>(raw >> 8);
}

// The controls a 1.0 feature unit builds nodes for, in node order.
constexpr FeatureControlRow kControls[] = {
    {FU_MUTE, &CreateFeatureControl<CUacMuteControl, &CUacBoolControl::InitUacBoolControl>,
     "could not set up one of its switch controls"},
    {FU_VOLUME, &CreateFeatureControl<CUacVolumeControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its volume control (channels or range)"},
    {FU_BASS, &CreateFeatureControl<CUacBassControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its tone control (channels or range)"},
    {FU_MID, &CreateFeatureControl<CUacMidControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its tone control (channels or range)"},
    {FU_TREBLE, &CreateFeatureControl<CUacTrebleControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its tone control (channels or range)"},
    {FU_AGC, &CreateFeatureControl<CUacAgcControl, &CUacBoolControl::InitUacBoolControl>,
     "could not set up one of its switch controls"},
    {FU_LOUDNESS, &CreateFeatureControl<CUacLoudnessControl, &CUacBoolControl::InitUacBoolControl>,
     "could not set up one of its switch controls"},
    {FU_VENDOR_EFFECT_1, &CreateFeatureControl<CUacEffectControl, &CUacEffectControl::InitUacEffectControl>,
     "could not set up one of its switch controls"},
    {FU_VENDOR_EFFECT_2, &CreateFeatureControl<CUacEffectControl, &CUacEffectControl::InitUacEffectControl>,
     "could not set up one of its switch controls"},
};

}  // namespace

CUac1FeatureUnit::CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG id)
    : CUacFeatureUnit(outerUnknown, id, kUac1PoolTag) {}

CUac1FeatureUnit::CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag)
    : CUacFeatureUnit(outerUnknown, id, poolTag) {}

NTSTATUS CUac1FeatureUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  // The length rule refuses a control size of 0 too; this names it.
  if (Descriptor && static_cast<const UCHAR*>(Descriptor)[0] > kFuControlSize &&
      static_cast<const UCHAR*>(Descriptor)[kFuControlSize] == 0)
    return Refuse(STATUS_INVALID_PARAMETER, "has a control size of 0, so no control can be read");
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_FEATURE_UNIT);
  if (!NT_SUCCESS(status)) return status;
  ReadVendorBlock();
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

ULONG CUac1FeatureUnit::EntryCount() const {
  if (!m_pDescriptor) return 0;  // before Init; after it the length rule holds (bControlSize >= 1)
  return (m_nDescriptorLength - kFuMinLength) / m_pDescriptor[kFuControlSize];
}

// The block is kept only when its own length covers the header and one bitmap and lies
// within what the device sent.
NTSTATUS CUac1FeatureUnit::ReadVendorBlock() {
  UCHAR header[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(false, true, kGetMem, 0x0010, header, sizeof header, &got);
  if (!NT_SUCCESS(status)) return status;
  const ULONG length = got == 2 ? static_cast<ULONG>(header[0] | header[1] << 8) : 0;
  if (length < kVendorBlockHeader + 1) return STATUS_UNSUCCESSFUL;
  auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kUac1PoolTag));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, length);
  status = SendRequest(false, true, kGetMem, 0x0000, block, length, &got);
  const ULONG declared = static_cast<ULONG>(block[16] | block[17] << 8);
  const ULONG size = block[18];
  if (!NT_SUCCESS(status) || size == 0 || declared < kVendorBlockHeader + size || declared > got) {
    ExFreePoolWithTag(block, kUac1PoolTag);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  m_pVendorBlock = block;
  m_nVendorBlockLength = declared;
  return STATUS_SUCCESS;
}

bool CUac1FeatureUnit::HasControlOn(ULONG Selector, ULONG DeviceChannel) const {
  if (IsVendorSelector(Selector)) {
    if (!m_pVendorBlock) return false;
    const ULONG size = m_pVendorBlock[18];
    if (DeviceChannel >= (m_nVendorBlockLength - kVendorBlockHeader) / size) return false;
    if (size != 2) return true;
    const ULONG bit = (Selector & 0x7F);
    if (bit == 0 || bit > 16) return false;
    const ULONG at = kVendorBlockHeader + 2 * DeviceChannel;
    const ULONG bitmap = m_pVendorBlock[at] | m_pVendorBlock[at + 1] << 8;
    return (bitmap >> (bit - 1)) & 1;
  }
  if (Selector == 0 || Selector > 16 || DeviceChannel >= EntryCount()) return false;
  const ULONG size = m_pDescriptor[kFuControlSize];
  const ULONG at = kFuControls + DeviceChannel * size;
  ULONG bitmap = m_pDescriptor[at];
  if (size > 1) bitmap |= m_pDescriptor[at + 1] << 8;
  return (bitmap >> (Selector - 1)) & 1;
}

bool CUac1FeatureUnit::HasControl(ULONG Selector) const {
  const ULONG entries = IsVendorSelector(Selector)
                            ? (m_pVendorBlock ? (m_nVendorBlockLength - kVendorBlockHeader) / m_pVendorBlock[18] : 0)
                            : EntryCount();
  for (ULONG c = 0; c < entries; ++c)
    if (HasControlOn(Selector, c)) return true;
  return false;
}

STDMETHODIMP CUac1FeatureUnit::GetChannelCount(ULONG Selector, PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = 0;
  if (!m_pDescriptor) return STATUS_INVALID_PARAMETER;  // not initialised
  ULONG entries = EntryCount();
  if (IsVendorSelector(Selector)) {
    if (!m_pVendorBlock) return STATUS_INVALID_PARAMETER;
    entries = (m_nVendorBlockLength - kVendorBlockHeader) / m_pVendorBlock[18];
  }
  ULONG logical = 0;
  for (ULONG c = 1; c < entries; ++c)
    if (HasControlOn(Selector, c)) ++logical;
  if (logical) {
    *Count = logical;
    return STATUS_SUCCESS;
  }
  if (HasControlOn(Selector, 0)) {
    *Count = 1;
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1FeatureUnit::DeviceChannel(ULONG Selector, ULONG Channel, PULONG Device) {
  ULONG count = 0;
  NTSTATUS status = GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  if (Channel >= count) return STATUS_INVALID_PARAMETER;
  ULONG c = count > 1 ? Channel + 1 : Channel;
  if (!HasControlOn(Selector, c)) {
    if (count > 1) return STATUS_INVALID_PARAMETER;
    ++c;
    if (!HasControlOn(Selector, c)) return STATUS_INVALID_PARAMETER;
  }
  // Devices with eight or more channels order the rear and side pairs the other way.
  const ULONG entries =
      IsVendorSelector(Selector) ? (m_nVendorBlockLength - kVendorBlockHeader) / m_pVendorBlock[18] : EntryCount();
  if (entries >= 9) {
    if (c == 5 || c == 6)
      c += 2;
    else if (c == 7 || c == 8)
      c -= 2;
  }
  *Device = c;
  return STATUS_SUCCESS;
}

NTSTATUS CUac1FeatureUnit::Request(UCHAR Code, ULONG Selector, ULONG Channel, bool Read, PVOID Buffer, ULONG Length) {
  ULONG got = 0;
  NTSTATUS status = SendRequest(IsVendorSelector(Selector), Read, Code,
                                static_cast<USHORT>((Selector & 0xFF) << 8 | (Channel & 0xFF)), Buffer, Length, &got);
  return status;
}

STDMETHODIMP CUac1FeatureUnit::GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) {
  if (!Value) return STATUS_INVALID_PARAMETER;
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, &c);
  if (!NT_SUCCESS(status)) return status;
  UCHAR wire = 0;
  status = Request(kGetCur, Selector, c, true, &wire, 1);
  if (NT_SUCCESS(status)) *Value = wire;
  return status;
}

STDMETHODIMP CUac1FeatureUnit::SetCur(ULONG Selector, ULONG Channel, UCHAR Value) {
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, &c);
  if (!NT_SUCCESS(status)) return status;
  return Request(kSetCur, Selector, c, false, &Value, 1);
}

STDMETHODIMP CUac1FeatureUnit::GetCur(ULONG Selector, ULONG Channel, PLONG Level) {
  if (!Level) return STATUS_INVALID_PARAMETER;
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, &c);
  if (!NT_SUCCESS(status)) return status;
  const ULONG length = IsToneSelector(Selector) ? 1 : 2;
  UCHAR wire[2] = {};
  status = Request(kGetCur, Selector, c, true, wire, length);
  if (NT_SUCCESS(status)) *Level = WireToLevel(wire, length);
  return status;
}

STDMETHODIMP CUac1FeatureUnit::SetCur(ULONG Selector, ULONG Channel, LONG Level) {
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, &c);
  if (!NT_SUCCESS(status)) return status;
  const ULONG length = IsToneSelector(Selector) ? 1 : 2;
  UCHAR wire[2] = {};
  LevelToWire(Level, wire, length);
  return Request(kSetCur, Selector, c, false, wire, length);
}

STDMETHODIMP CUac1FeatureUnit::GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  ULONG c = 0;
  for (ULONG i = 1; i <= count && !c; ++i)
    if (HasControlOn(Selector, i)) c = i;
  const ULONG length = IsToneSelector(Selector) ? 1 : 2;
  const UCHAR codes[3] = {kGetMax, kGetMin, kGetRes};
  LONG values[3] = {};
  for (int i = 0; i < 3; ++i) {
    UCHAR wire[2] = {};
    status = Request(codes[i], Selector, c, true, wire, length);
    if (!NT_SUCCESS(status)) return status;
    values[i] = WireToRangeLevel(wire, length);
  }
  *Maximum = values[0];
  *Minimum = values[1];
  *Step = values[2];
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1FeatureUnit::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kControls, sizeof kControls / sizeof kControls[0]);
}

}  // namespace uac
