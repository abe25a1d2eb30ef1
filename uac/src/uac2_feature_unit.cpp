// The UAC 2.0 feature unit: two-bit control fields per channel (readable, programmable)
// in 32-bit bmaControls, the maker's vendor block of 32-bit bitmaps, and CUR and RANGE
// requests for its on/off and level controls.
#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/bound_nodes.h"
#include "uac/uac1_feature_unit.h"
#include "uac/uac2_units.h"

namespace uac {

namespace {

// Descriptor offsets: bSourceID at 4, bmaControls(ch) at 5 + 4 * ch; the fixed part is
// 6 bytes (header, ids, iFeature).
constexpr ULONG kFuControls = 5;
constexpr ULONG kFuFixed = 6;

// The maker's vendor block: total length at bytes 16-17, one 32-bit bitmap per channel
// (master first) from byte 18.
constexpr ULONG kVendorLength = 16;
constexpr ULONG kVendorBitmaps = 18;
constexpr USHORT kVendorLengthValue = 0x0010;
constexpr USHORT kVendorBlockValue = 0x0000;

constexpr ULONG kFieldReadable = 1;
constexpr ULONG kFieldWritable = 2;

bool IsVendorSelector(ULONG selector) { return (selector & 0x80) != 0; }
// Bass, mid and treble are one-byte levels in 1/4 dB; every other level is two bytes.
bool IsToneSelector(ULONG selector) { return selector == FU_BASS || selector == FU_MID || selector == FU_TREBLE; }

ULONG Read32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

LONG WireToLevel(const UCHAR* wire, ULONG length) {
  if (length == 1) return static_cast<LONG>(static_cast<signed char>(wire[0])) * (1 << 14);
  return static_cast<LONG>(static_cast<SHORT>(wire[0] | wire[1] << 8)) * (1 << 8);
}

void LevelToWire(LONG level, UCHAR* wire, ULONG length) {
  if (length == 1) {
    wire[0] = static_cast<UCHAR>(level >> 14);
    return;
  }
  const USHORT raw = level == kLevelMinusInfinity ? 0x8000 : static_cast<USHORT>(level >> 8);
  wire[0] = static_cast<UCHAR>(raw);
  wire[1] = static_cast<UCHAR>(raw >> 8);
}

// The node type a status interrupt's control selector refreshes.
ULONG NodeTypeOfSelector(ULONG selector) {
  switch (selector) {
    case FU_MUTE: return adapter::NODE_MUTE;
    case FU_VOLUME: return adapter::NODE_VOLUME;
    case FU_BASS: return adapter::NODE_BASS;
    case FU_MID: return adapter::NODE_MID;
    case FU_TREBLE: return adapter::NODE_TREBLE;
    case FU_AGC: return adapter::NODE_AGC;
    case FU_LOUDNESS: return adapter::NODE_LOUDNESS;
    case FU2_VENDOR_VOLUME: return adapter::NODE_VOLUME;
    default: return ~0u;
  }
}

constexpr char kVolumeFailure[] = "did not answer for its volume control (channels or range)";
constexpr char kToneFailure[] = "did not answer for its tone control (channels or range)";
constexpr char kControlFailure[] = "could not set up one of its controls";

// The controls a 2.0 feature unit builds nodes for, in node order.
constexpr FeatureControlRow kControls[] = {
    {FU_MUTE, &CreateFeatureControl<CUacMuteControl, &CUacBoolControl::InitUacBoolControl>, kControlFailure},
    {FU_VOLUME, &CreateFeatureControl<CUacVolumeControl, &CUacLevelControl::InitUacLevelControl>, kVolumeFailure},
    {FU_BASS, &CreateFeatureControl<CUacBassControl, &CUacLevelControl::InitUacLevelControl>, kToneFailure},
    {FU_MID, &CreateFeatureControl<CUacMidControl, &CUacLevelControl::InitUacLevelControl>, kToneFailure},
    {FU_TREBLE, &CreateFeatureControl<CUacTrebleControl, &CUacLevelControl::InitUacLevelControl>, kToneFailure},
    {FU_AGC, &CreateFeatureControl<CUacAgcControl, &CUacBoolControl::InitUacBoolControl>, kControlFailure},
    {FU_LOUDNESS, &CreateFeatureControl<CUacLoudnessControl, &CUacBoolControl::InitUacBoolControl>, kControlFailure},
    {FU2_INPUT_GAIN_PAD, &CreateFeatureControl<CUacInputGainPadControl, &CUacLevelControl::InitUacLevelControl>,
     kControlFailure},
    {FU2_VENDOR_SWITCH, &CreateFeatureControl<CUacVendorSwitchControl, &CUacBoolControl::InitUacBoolControl>,
     kControlFailure},
    {FU2_VENDOR_VOLUME,
     &CreateFeatureControl<CUacVendorVolumeControl, &CUacVendorVolumeControl::InitUacVendorVolumeControl>,
     kVolumeFailure},
};

}  // namespace

CUac2FeatureUnit::CUac2FeatureUnit(PUNKNOWN outerUnknown, ULONG id)
    : CUacFeatureUnit(outerUnknown, id, kUac2PoolTag), m_Nodes{}, m_nNodes(0) {}

NTSTATUS CUac2FeatureUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac2, AC_FEATURE_UNIT);
  if (!NT_SUCCESS(status)) return status;
  ReadVendorBlock();
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

// The block is kept only when its own length covers the header and the master bitmap and
// lies within what the device sent: a shorter length would make the channel count negative.
NTSTATUS CUac2FeatureUnit::ReadVendorBlock() {
  UCHAR header[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(false, true, kUac2Mem, kVendorLengthValue, header, sizeof header, &got);
  if (!NT_SUCCESS(status)) return status;
  const ULONG length = got == 2 ? static_cast<ULONG>(header[0] | header[1] << 8) : 0;
  if (length < kVendorBitmaps + 4) return STATUS_UNSUCCESSFUL;
  auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kUac2PoolTag));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, length);
  status = SendRequest(false, true, kUac2Mem, kVendorBlockValue, block, length, &got);
  const ULONG declared = static_cast<ULONG>(block[kVendorLength] | block[kVendorLength + 1] << 8);
  if (!NT_SUCCESS(status) || declared < kVendorBitmaps + 4 || declared > got) {
    ExFreePoolWithTag(block, kUac2PoolTag);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  m_pVendorBlock = block;
  m_nVendorBlockLength = declared;
  return STATUS_SUCCESS;
}

ULONG CUac2FeatureUnit::ChannelCount() const {
  // The length rule keeps at least the master's bitmap.
  return m_pDescriptor ? (m_nDescriptorLength - kFuFixed) / 4 - 1 : 0;
}

ULONG CUac2FeatureUnit::VendorChannelCount() const {
  return m_pVendorBlock ? (m_nVendorBlockLength - kVendorBitmaps) / 4 - 1 : 0;
}

ULONG CUac2FeatureUnit::Field(ULONG Selector, ULONG Channel) const {
  if (IsVendorSelector(Selector)) {
    const ULONG index = Selector & 0x7F;
    if (!m_pVendorBlock || index == 0 || index > 16 || Channel > VendorChannelCount()) return 0;
    return (Read32(m_pVendorBlock + kVendorBitmaps + 4 * Channel) >> (2 * index - 2)) & 3;
  }
  if (!m_pDescriptor || Selector == 0 || Selector > 16 || Channel > ChannelCount()) return 0;
  return (Read32(m_pDescriptor + kFuControls + 4 * Channel) >> (2 * (Selector - 1))) & 3;
}

bool CUac2FeatureUnit::HasControl(ULONG Selector) const {
  const ULONG channels = IsVendorSelector(Selector) ? (m_pVendorBlock ? VendorChannelCount() : 0) : ChannelCount();
  if (IsVendorSelector(Selector) && !m_pVendorBlock) return false;
  for (ULONG c = 0; c <= channels; ++c)
    if (Field(Selector, c)) return true;
  return false;
}

STDMETHODIMP CUac2FeatureUnit::GetChannelCount(ULONG Selector, PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = 0;
  if (!m_pDescriptor) return STATUS_INVALID_PARAMETER;
  if (IsVendorSelector(Selector) && !m_pVendorBlock) return STATUS_INVALID_PARAMETER;
  const ULONG channels = IsVendorSelector(Selector) ? VendorChannelCount() : ChannelCount();
  ULONG logical = 0;
  for (ULONG c = 1; c <= channels; ++c)
    if (Field(Selector, c)) ++logical;
  if (logical) {
    *Count = logical;
    return STATUS_SUCCESS;
  }
  if (Field(Selector, 0)) {
    *Count = 1;
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac2FeatureUnit::DeviceChannel(ULONG Selector, ULONG Channel, bool Write, PULONG Device) {
  ULONG count = 0;
  NTSTATUS status = GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  if (Channel >= count) return STATUS_INVALID_PARAMETER;
  const ULONG need = Write ? kFieldWritable : kFieldReadable;
  ULONG c = count > 1 ? Channel + 1 : Channel;
  if (!(Field(Selector, c) & need)) {
    // A one-channel control may sit on channel 1 instead of the master.
    if (count > 1 || IsVendorSelector(Selector)) return STATUS_INVALID_PARAMETER;
    ++c;
    if (!(Field(Selector, c) & need)) return STATUS_INVALID_PARAMETER;
  }
  *Device = c;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac2FeatureUnit::GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) {
  if (!Value) return STATUS_INVALID_PARAMETER;
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, false, &c);
  if (!NT_SUCCESS(status)) return status;
  UCHAR wire = 0;
  status = SendRequest(false, true, kUac2Cur, static_cast<USHORT>((Selector & 0xFF) << 8 | c), &wire, 1);
  if (NT_SUCCESS(status)) *Value = wire;
  return status;
}

STDMETHODIMP CUac2FeatureUnit::SetCur(ULONG Selector, ULONG Channel, UCHAR Value) {
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, true, &c);
  if (!NT_SUCCESS(status)) return status;
  return SendRequest(false, false, kUac2Cur, static_cast<USHORT>((Selector & 0xFF) << 8 | c), &Value, 1);
}

STDMETHODIMP CUac2FeatureUnit::GetCur(ULONG Selector, ULONG Channel, PLONG Level) {
  if (!Level) return STATUS_INVALID_PARAMETER;
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, false, &c);
  if (!NT_SUCCESS(status)) return status;
  const ULONG length = IsToneSelector(Selector) ? 1 : 2;
  UCHAR wire[2] = {};
  status = SendRequest(false, true, kUac2Cur, static_cast<USHORT>((Selector & 0xFF) << 8 | c), wire, length);
  if (NT_SUCCESS(status)) *Level = WireToLevel(wire, length);
  return status;
}

STDMETHODIMP CUac2FeatureUnit::SetCur(ULONG Selector, ULONG Channel, LONG Level) {
  ULONG c = 0;
  NTSTATUS status = DeviceChannel(Selector, Channel, true, &c);
  if (!NT_SUCCESS(status)) return status;
  const ULONG length = IsToneSelector(Selector) ? 1 : 2;
  UCHAR wire[2] = {};
  LevelToWire(Level, wire, length);
  return SendRequest(false, false, kUac2Cur, static_cast<USHORT>((Selector & 0xFF) << 8 | c), wire, length);
}

STDMETHODIMP CUac2FeatureUnit::GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step || !m_pDescriptor) return STATUS_INVALID_PARAMETER;
  const ULONG channels = IsVendorSelector(Selector) ? VendorChannelCount() : ChannelCount();
  ULONG c = 0;
  for (ULONG i = 1; i <= channels && !c; ++i)
    if (Field(Selector, i)) c = i;
  const ULONG size = IsToneSelector(Selector) ? 1 : 2;
  UCHAR wire[2 + 3 * 2] = {};
  const ULONG length = 2 + 3 * size;
  ULONG got = 0;
  NTSTATUS status =
      SendRequest(false, true, kUac2Range, static_cast<USHORT>((Selector & 0xFF) << 8 | c), wire, length, &got);
  if (!NT_SUCCESS(status)) return status;
  // One subrange, wholly sent; several subranges are not supported.
  if (got < length || (wire[0] | wire[1] << 8) != 1) return STATUS_UNSUCCESSFUL;
  const LONG minimum = WireToLevel(wire + 2, size);
  const LONG maximum = WireToLevel(wire + 2 + size, size);
  const LONG step = WireToLevel(wire + 2 + 2 * size, size);
  *Maximum = maximum;
  *Minimum = minimum;
  *Step = step;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac2FeatureUnit::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kControls, sizeof kControls / sizeof kControls[0]);
}

void CUac2FeatureUnit::NodeCreated(ULONG Selector, ULONG NodeId) {
  // At most one entry per row of the table, so the list never overflows.
  static_assert(sizeof kControls / sizeof kControls[0] <= kMaxNodes);
  m_Nodes[m_nNodes++] = {Selector, NodeId};
}

// The node is found by the control it stands for: the vendor volume and the standard
// volume are both volume nodes, and an interrupt for one must not refresh the other.
STDMETHODIMP CUac2FeatureUnit::HandleStatusChange(ULONG Selector, ULONG, PULONG NodeId) {
  if (!HasControl(Selector) || NodeTypeOfSelector(Selector) == ~0u) return STATUS_UNSUCCESSFUL;
  for (ULONG i = 0; i < m_nNodes; ++i) {
    if (m_Nodes[i].Selector != Selector) continue;
    for (ULONG n = 0; adapter::IUacEntity* node = GetNode(n); ++n) {
      if (node->GetId() != m_Nodes[i].NodeId) continue;
      if (NodeId) *NodeId = node->GetId();
      node->RefreshFromDevice();
      return STATUS_SUCCESS;
    }
  }
  return STATUS_SUCCESS;  // no node for the control: nothing to report
}

}  // namespace uac
