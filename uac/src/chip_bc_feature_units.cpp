#include "uac/chip_bc_feature_units.h"

#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/bound_nodes.h"

namespace uac {
namespace {

// Descriptor offsets of a 1.0 feature unit.
constexpr ULONG kFuControlSize = 5;
constexpr ULONG kFuControls = 6;
constexpr ULONG kFuMinLength = 7;  // header, ids, bControlSize and iFeature

constexpr USHORT kWireMinusInfinity = 0x8000;
constexpr LONG kDb = 0x10000;             // 1 dB in node units
constexpr LONG kStep1_5Db = 0x18000;      // 1.5 dB
constexpr LONG kWholeDbOnWire = 256;      // 1 dB in 1/256 dB

bool IsTone(ULONG selector) { return selector == FU_BASS || selector == FU_MID || selector == FU_TREBLE; }
bool IsLevel(ULONG selector) { return selector == FU_VOLUME || IsTone(selector); }

LONG FromWire16(const UCHAR* wire) { return static_cast<SHORT>(wire[0] | wire[1] << 8); }

// Device values beyond what two bytes carry saturate (never onto 0x8000, which is minus
// infinity) rather than wrap.
USHORT SaturateWire16(LONGLONG value) {
  if (value > 32767) value = 32767;
  if (value < -32767) value = -32767;
  return static_cast<USHORT>(static_cast<SHORT>(value));
}

UCHAR SaturateByte(LONG level) {
  LONG v = level >> 14;
  v = v > 127 ? 127 : (v < -128 ? -128 : v);
  return static_cast<UCHAR>(static_cast<signed char>(v));
}

LONG FromByte(UCHAR wire) { return static_cast<LONG>(static_cast<signed char>(wire)) * (1 << 14); }

// Signed division truncated toward zero, in 64 bits so that no level overflows on the way.
LONGLONG Trunc(LONGLONG numerator, LONGLONG denominator) { return numerator / denominator; }

// ---------------------------------------------------------------------------------------
// Chip B unit 9: the volume curve. Row k has device level -k dB; both columns in 1/256 dB.

struct CurveRow {
  SHORT Level;   // as the node shows it
  SHORT Device;  // as the device takes it
};
constexpr CurveRow kChipBVolumeCurve[] = {
    {0, 0},          {-192, -256},    {-256, -512},    {-320, -768},    {-386, -1024},   {-455, -1280},
    {-527, -1536},   {-599, -1792},   {-676, -2048},   {-752, -2304},   {-835, -2560},   {-916, -2816},
    {-1006, -3072},  {-1096, -3328},  {-1193, -3584},  {-1290, -3840},  {-1395, -4096},  {-1503, -4352},
    {-1618, -4608},  {-1736, -4864},  {-1866, -5120},  {-1999, -5376},  {-2145, -5632},  {-2296, -5888},
    {-2465, -6144},  {-2637, -6400},  {-2816, -6656},  {-3046, -6912},  {-3277, -7168},  {-3533, -7424},
    {-3840, -7680},  {-4198, -7936},  {-4582, -8192},  {-5120, -8448},  {-5767, -8704},  {-6707, -8960},
    {-8294, -9216},  {-32768, -9472},
};
constexpr ULONG kCurveRows = sizeof kChipBVolumeCurve / sizeof kChipBVolumeCurve[0];
static_assert(kCurveRows == 38);

// The device value's bracket: the row above the first one whose device level is below it;
// values at or below the last row's pass unchanged.
LONG ChipB9Read(LONG device) {
  for (ULONG k = 1; k < kCurveRows; ++k)
    if (kChipBVolumeCurve[k].Device < device) return kChipBVolumeCurve[k - 1].Level * 256;
  return device * 256;
}

// The first row whose level is at or below the asked one; the last row takes everything.
LONGLONG ChipB9Write(LONG level) {
  LONG v = level >> 8;
  v = v > 32767 ? 32767 : (v < -32768 ? -32768 : v);
  for (const CurveRow& row : kChipBVolumeCurve)
    if (row.Level <= v) return row.Device;
  return kChipBVolumeCurve[kCurveRows - 1].Device;
}

// Chip B unit 13: 1.5 dB per whole device dB, device -28 dB at -36 dB.
LONG ChipB13Read(LONG device) { return ((device >> 8) + 4) * 384 * 256; }
LONGLONG ChipB13Write(LONG level) { return (Trunc(LONGLONG{level} + 0x240000, kStep1_5Db) - 28) * kWholeDbOnWire; }

// Chip B unit 10: 1.5 dB per whole device dB, device -23 dB at -6 dB and 3 dB at 33 dB. The
// read is the write's exact inverse at every 1.5 dB step of the range.
LONG ChipB10Read(LONG device) { return ((device >> 8) * 384 + 7296) * 256; }
LONGLONG ChipB10Write(LONG level) { return (Trunc(LONGLONG{level} - 0x60000, kStep1_5Db) - 15) * kWholeDbOnWire; }

// Chip C unit 9: 192 device counts per dB, offset by 16.
LONG ChipC9Read(LONG device) { return static_cast<LONG>(Trunc(LONGLONG{device} + 16, 192) * kDb); }
LONGLONG ChipC9Write(LONG level) { return -16 - 192 * LONGLONG{(-LONGLONG{level}) >> 16}; }

// Chip C unit 13: 384 device counts per 1.5 dB, device 3456 at 0 dB.
LONG ChipC13Read(LONG device) { return static_cast<LONG>(Trunc(LONGLONG{device} - 3456, 384) * kStep1_5Db); }
LONGLONG ChipC13Write(LONG level) { return Trunc(LONGLONG{level} + 0xD8000, kStep1_5Db) * 384; }

// Chip C unit 10: plain 1/256 dB.
LONG ChipC10Read(LONG device) { return device * 256; }
LONGLONG ChipC10Write(LONG level) { return level >> 8; }

constexpr ChipLevelScale kChipB9{ChipToneForm::Byte, &ChipB9Read, &ChipB9Write, 0, -33 * kDb, kDb / 8};
constexpr ChipLevelScale kChipB10{ChipToneForm::Byte, &ChipB10Read, &ChipB10Write, 33 * kDb, -6 * kDb, kStep1_5Db};
constexpr ChipLevelScale kChipB13{ChipToneForm::Byte, &ChipB13Read, &ChipB13Write, 0x168000, -36 * kDb, kStep1_5Db};
constexpr ChipLevelScale kChipC9{ChipToneForm::LikeVolume, &ChipC9Read, &ChipC9Write, 0, -37 * kDb, kDb};
// The maximum is 9 dB and one node unit, as the device's own range is reported.
constexpr ChipLevelScale kChipC13{ChipToneForm::LikeVolume, &ChipC13Read, &ChipC13Write, 0x90001, -884736, kStep1_5Db};
constexpr ChipLevelScale kChipC10{ChipToneForm::ByteReadLikeVolume, &ChipC10Read, &ChipC10Write, 0x168000, 0,
                                  kStep1_5Db};

// The controls the chip feature units build nodes for, in node order. No vendor selector.
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
};

// The chip class of each feature unit identifier that has one.
struct ChipUnitRow {
  UCHAR UnitId;
  NTSTATUS (*Create)(ULONG Id, adapter::IUacEntity** Entity);
};

template <class Unit, ULONG Tag>
NTSTATUS CreateChipUnit(ULONG Id, adapter::IUacEntity** Entity) {
  return adapter::CreateInstance<Unit>(Entity, nullptr, NonPagedPool, Tag, Id);
}

constexpr ChipUnitRow kChipBUnits[] = {
    {9, &CreateChipUnit<CChipBFeatureUnit9, kChipBTag>},   {10, &CreateChipUnit<CChipBFeatureUnit10, kChipBTag>},
    {11, &CreateChipUnit<CChipBFeatureUnit10, kChipBTag>}, {12, &CreateChipUnit<CChipBFeatureUnit10, kChipBTag>},
    {13, &CreateChipUnit<CChipBFeatureUnit13, kChipBTag>}, {14, &CreateChipUnit<CChipBFeatureUnit13, kChipBTag>},
};
constexpr ChipUnitRow kChipCUnits[] = {
    {9, &CreateChipUnit<CChipCFeatureUnit9, kChipCTag>},
    {10, &CreateChipUnit<CChipCFeatureUnit10, kChipCTag>},
    {13, &CreateChipUnit<CChipCFeatureUnit13, kChipCTag>},
};

template <ULONG N>
bool CreateFromRows(const ChipUnitRow (&rows)[N], UCHAR UnitId, NTSTATUS* Status, CUacUnit** Unit) {
  for (const ChipUnitRow& row : rows) {
    if (row.UnitId != UnitId) continue;
    adapter::IUacEntity* entity = nullptr;
    *Status = row.Create(UnitId, &entity);
    *Unit = NT_SUCCESS(*Status) ? static_cast<CUacUnit*>(entity) : nullptr;
    return true;
  }
  return false;
}

}  // namespace

const ChipLevelScale& ChipBUnit9Scale() { return kChipB9; }
const ChipLevelScale& ChipBUnit10Scale() { return kChipB10; }
const ChipLevelScale& ChipBUnit13Scale() { return kChipB13; }
const ChipLevelScale& ChipCUnit9Scale() { return kChipC9; }
const ChipLevelScale& ChipCUnit10Scale() { return kChipC10; }
const ChipLevelScale& ChipCUnit13Scale() { return kChipC13; }

bool CreateChipBFeatureUnit(UCHAR UnitId, NTSTATUS* Status, CUacUnit** Unit) {
  return CreateFromRows(kChipBUnits, UnitId, Status, Unit);
}

bool CreateChipCFeatureUnit(UCHAR UnitId, NTSTATUS* Status, CUacUnit** Unit) {
  return CreateFromRows(kChipCUnits, UnitId, Status, Unit);
}

CChipFeatureUnit::CChipFeatureUnit(PUNKNOWN outerUnknown, ULONG id, const ChipLevelScale& scale)
    : CUacFeatureUnit(outerUnknown, id, kChipNodeTag), m_Scale(scale), m_pFunction(nullptr) {}

NTSTATUS CChipFeatureUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                adapter::CAudioHal* Function) {
  if (!Descriptor || !Device || !Function) return STATUS_INVALID_PARAMETER;
  const auto* d = static_cast<const UCHAR*>(Descriptor);
  if (d[0] < 3 || d[1] != kAcDescriptorType || d[2] != AC_FEATURE_UNIT)
    return Refuse(STATUS_INVALID_PARAMETER, "has a descriptor of another kind");
  // Every entry is bControlSize bytes wide: 0 gives no entry to read (and nothing to
  // divide by), whatever the function's validation let through.
  if (d[0] > kFuControlSize && d[kFuControlSize] == 0)
    return Refuse(STATUS_INVALID_PARAMETER, "has a control size of 0, so no control can be read");
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_FEATURE_UNIT);
  if (!NT_SUCCESS(status)) return status;
  m_pFunction = Function;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

ULONG CChipFeatureUnit::EntryCount() const {
  if (!m_pDescriptor || m_nDescriptorLength < kFuMinLength || !m_pDescriptor[kFuControlSize]) return 0;
  return (m_nDescriptorLength - kFuMinLength) / m_pDescriptor[kFuControlSize];
}

bool CChipFeatureUnit::HasControlOn(ULONG Selector, ULONG DeviceChannel) const {
  if (Selector == 0 || Selector > 16 || DeviceChannel >= EntryCount()) return false;
  const ULONG size = m_pDescriptor[kFuControlSize];
  const ULONG at = kFuControls + DeviceChannel * size;
  ULONG bitmap = m_pDescriptor[at];
  if (size > 1) bitmap |= m_pDescriptor[at + 1] << 8;
  return (bitmap >> (Selector - 1)) & 1;
}

bool CChipFeatureUnit::HasControl(ULONG Selector) const {
  for (ULONG c = 0; c < EntryCount(); ++c)
    if (HasControlOn(Selector, c)) return true;
  return false;
}

STDMETHODIMP CChipFeatureUnit::GetChannelCount(ULONG Selector, PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = 0;
  if (!m_pDescriptor || m_pDescriptor[1] != kAcDescriptorType || m_pDescriptor[2] != AC_FEATURE_UNIT)
    return STATUS_INVALID_PARAMETER;
  // On/off controls are the master's alone.
  if (!IsLevel(Selector)) {
    *Count = 1;
    return STATUS_SUCCESS;
  }
  ULONG logical = 0;
  for (ULONG c = 1; c < EntryCount(); ++c)
    if (HasControlOn(Selector, c)) ++logical;
  if (!logical && HasControlOn(Selector, 0)) logical = 1;
  *Count = logical;
  return logical ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CChipFeatureUnit::DeviceChannel(ULONG Selector, ULONG Channel, PULONG Device) {
  // A control the unit lacks has no channel to address.
  ULONG count = 0;
  if (!NT_SUCCESS(GetChannelCount(Selector, &count)) || Channel >= count) return STATUS_INVALID_PARAMETER;
  const ULONG c = count > 1 ? Channel + 1 : 0;
  if (!HasControlOn(Selector, c)) return STATUS_INVALID_PARAMETER;
  *Device = c;
  return STATUS_SUCCESS;
}

NTSTATUS CChipFeatureUnit::Request(UCHAR Code, ULONG Selector, ULONG Channel, bool Read, PUCHAR Buffer,
                                   ULONG Length) {
  return SendRequest(false, Read, Code, static_cast<USHORT>((Selector & 0xFF) << 8 | (Channel & 0xFF)), Buffer,
                     Length);
}

STDMETHODIMP CChipFeatureUnit::GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) {
  if (Channel != 0 || !Value) return STATUS_INVALID_PARAMETER;
  UCHAR wire = 0;
  NTSTATUS status = Request(kGetCur, Selector, 0, true, &wire, 1);
  if (NT_SUCCESS(status)) *Value = wire;
  return status;
}

STDMETHODIMP CChipFeatureUnit::SetCur(ULONG Selector, ULONG Channel, UCHAR Value) {
  if (Channel != 0) return STATUS_INVALID_PARAMETER;
  return Request(kSetCur, Selector, 0, false, &Value, 1);
}

STDMETHODIMP CChipFeatureUnit::GetCur(ULONG Selector, ULONG Channel, PLONG Level) {
  if (!Level || !IsLevel(Selector)) return STATUS_INVALID_PARAMETER;
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, &c);
  if (!NT_SUCCESS(status)) return status;
  UCHAR wire[2] = {};
  if (IsTone(Selector) && m_Scale.Tone != ChipToneForm::LikeVolume) {
    status = Request(kGetCur, Selector, c, true, wire, 1);
    if (NT_SUCCESS(status)) *Level = FromByte(wire[0]);
    return status;
  }
  status = Request(kGetCur, Selector, c, true, wire, 2);
  if (!NT_SUCCESS(status)) return status;
  const LONG device = FromWire16(wire);
  *Level = device == static_cast<SHORT>(kWireMinusInfinity) ? kLevelMinusInfinity : m_Scale.Read(device);
  return status;
}

STDMETHODIMP CChipFeatureUnit::SetCur(ULONG Selector, ULONG Channel, LONG Level) {
  if (!IsLevel(Selector)) return STATUS_INVALID_PARAMETER;
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, &c);
  if (!NT_SUCCESS(status)) return status;
  if (IsTone(Selector) && m_Scale.Tone == ChipToneForm::Byte) {
    UCHAR wire = SaturateByte(Level);
    return Request(kSetCur, Selector, c, false, &wire, 1);
  }
  const USHORT device = Level == kLevelMinusInfinity ? kWireMinusInfinity : SaturateWire16(m_Scale.Write(Level));
  UCHAR wire[2] = {static_cast<UCHAR>(device), static_cast<UCHAR>(device >> 8)};
  return Request(kSetCur, Selector, c, false, wire, 2);
}

STDMETHODIMP CChipFeatureUnit::GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step || !IsLevel(Selector)) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  ULONG c = 0;
  for (ULONG i = 1; i <= count && !c; ++i)
    if (HasControlOn(Selector, i)) c = i;
  const bool byteTone = IsTone(Selector) && m_Scale.Tone == ChipToneForm::Byte;
  const ULONG length = byteTone ? 1 : 2;
  const UCHAR codes[3] = {kGetMax, kGetMin, kGetRes};
  LONG values[3] = {};
  for (int i = 0; i < 3; ++i) {
    UCHAR wire[2] = {};
    status = Request(codes[i], Selector, c, true, wire, length);
    if (!NT_SUCCESS(status)) return status;
    values[i] = FromByte(wire[0]);
  }
  if (byteTone) {
    *Maximum = values[0];
    *Minimum = values[1];
    *Step = values[2];
  } else {
    *Maximum = m_Scale.Maximum;
    *Minimum = m_Scale.Minimum;
    *Step = m_Scale.Step;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipFeatureUnit::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kControls, sizeof kControls / sizeof kControls[0]);
}

}  // namespace uac
