// The UAC 2.0 input and output terminals: the 1.0 terminals' kinds, nodes and settings,
// with the 2.0 class requests for the connector (jack list and presence) and the
// selectable terminal types, and the clock each terminal runs on.
#include "adapter/audio_class.h"
#include "adapter/audio_hal.h"
#include "adapter/endpoint_type.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "kernel/rtl.h"
#include "uac/bound_nodes.h"
#include "uac/terminal_nodes.h"
#include "uac/uac2_units.h"

namespace uac {

using adapter::JackRecord;

namespace {

// Terminal descriptors: input terminal bCSourceID at 7 and bmControls at 14; output
// terminal bCSourceID at 8 and bmControls at 9.
constexpr ULONG kInputClock = 7;
constexpr ULONG kInputControls = 14;
constexpr ULONG kOutputClock = 8;
constexpr ULONG kOutputControls = 9;
constexpr UCHAR kConnectorReadable = 1 << 2;

// Terminal controls: connector (2; the jack list on channel 0xFF) and the terminal type (8).
constexpr ULONG kConnectorSelector = 2;
constexpr ULONG kTypeSelector = 8;
constexpr USHORT kConnectorValue = 0x0200;
constexpr USHORT kJackListValue = 0x02FF;
constexpr USHORT kTerminalTypeValue = 0x0800;
constexpr ULONG kConnectorBytes = 6;

// At most this many selectable types (the kinds a terminal-kind node shows).
constexpr ULONG kMaxSelectableTypes = kMaxTerminalKinds;

ULONG Read32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

// The caller's copy of the records, each connected when its channels meet the channel
// configuration the connector control reports.
void CopyWithPresence(JackRecord* stored, ULONG count, const UCHAR* connector, PVOID buffer) {
  auto* out = static_cast<JackRecord*>(buffer);
  const ULONG config = Read32(connector + 1);
  RtlCopyMemory(out, stored, SIZE_T{count} * sizeof(JackRecord));
  for (ULONG i = 0; i < count; ++i) {
    const ULONG connected = (stored[i].ChannelMapping & config) ? 1 : 0;
    stored[i].IsConnected = connected;
    out[i].IsConnected = connected;
  }
}

}  // namespace

namespace {

// The connector's jack list: CUR of the connector control on channel 0xFF.
template <class Terminal>
NTSTATUS ReadConnectorJackList(CUacUnit& unit, PVOID buffer, ULONG length, PULONG got) {
  return static_cast<Terminal&>(unit).ReadJackList(buffer, length, got);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Input terminal

STDMETHODIMP CUac2InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacClockLink)) return adapter::ReturnInterface<IUacClockLink>(this, object);
  return CUac1InputTerminal::NonDelegatingQueryInterface(iid, object);
}

bool CUac2InputTerminal::HasConnectorControl() const {
  return m_pDescriptor && (m_pDescriptor[kInputControls] & kConnectorReadable);
}

NTSTATUS CUac2InputTerminal::ReadJackList(PVOID Buffer, ULONG Length, PULONG Got) {
  return SendRequest(false, true, kUac2Cur, kJackListValue, Buffer, Length, Got);
}

NTSTATUS CUac2InputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                  adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac2, AC_INPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls2(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CUac2InputTerminal::CreateControls2(adapter::CAudioHal* Function) {
  SetSources(0, nullptr);
  if (TerminalType() != adapter::TERMINAL_USB_STREAMING && HasConnectorControl()) {
    const JackListForm form{&ReadConnectorJackList<CUac2InputTerminal>, kUac2PoolTag, true, true};
    NTSTATUS status = ReadJackRecords(*this, form, &m_pJacks, &m_nJackCount);
    if (!NT_SUCCESS(status)) return Refuse(status, "declares a connector control but did not send its jack list");
  }
  return CreateTerminalNode(Function);
}

STDMETHODIMP CUac2InputTerminal::HandleStatusChange(ULONG Selector, ULONG Channel, PULONG NodeId) {
  if (Selector != kConnectorSelector || Channel != 0) return STATUS_UNSUCCESSFUL;
  return CUac1InputTerminal::HandleStatusChange(Selector, Channel, NodeId);
}

STDMETHODIMP CUac2InputTerminal::GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG) {
  if (!Size || !Buffer || TerminalType() == adapter::TERMINAL_USB_STREAMING || !HasConnectorControl() || !m_pJacks ||
      !m_nJackCount || Size < m_nJackCount * sizeof(JackRecord))
    return STATUS_INVALID_PARAMETER;
  UCHAR connector[kConnectorBytes] = {};
  NTSTATUS status = SendRequest(false, true, kUac2Cur, kConnectorValue, connector, sizeof connector);
  if (!NT_SUCCESS(status)) RtlZeroMemory(connector, sizeof connector);
  CopyWithPresence(m_pJacks, m_nJackCount, connector, Buffer);
  return status;
}

STDMETHODIMP CUac2InputTerminal::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  *Kind = Uac2InputTerminalKind(TerminalType());
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac2InputTerminal::SetKind(ULONG Kind) {
  return Kind == Uac2InputTerminalKind(TerminalType()) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP CUac2InputTerminal::GetClockSourceId(PULONG Id) {
  if (!Id || !m_pDescriptor || m_pDescriptor[2] != AC_INPUT_TERMINAL) return STATUS_INVALID_PARAMETER;
  *Id = m_pDescriptor[kInputClock];
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Output terminal

STDMETHODIMP CUac2OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacClockLink)) return adapter::ReturnInterface<IUacClockLink>(this, object);
  return CUac1OutputTerminal::NonDelegatingQueryInterface(iid, object);
}

bool CUac2OutputTerminal::HasConnectorControl() const {
  return m_pDescriptor && (m_pDescriptor[kOutputControls] & kConnectorReadable);
}

NTSTATUS CUac2OutputTerminal::ReadJackList(PVOID Buffer, ULONG Length, PULONG Got) {
  return SendRequest(false, true, kUac2Cur, kJackListValue, Buffer, Length, Got);
}

NTSTATUS CUac2OutputTerminal::WriteTerminalType(USHORT Type) {
  UCHAR wire[2] = {static_cast<UCHAR>(Type), static_cast<UCHAR>(Type >> 8)};
  return SendRequest(false, false, kUac2Cur, kTerminalTypeValue, wire, sizeof wire);
}

NTSTATUS CUac2OutputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                   adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac2, AC_OUTPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

bool CUac2OutputTerminal::HasJackConnector() const {
  return TerminalType() != adapter::TERMINAL_USB_STREAMING && HasConnectorControl();
}

NTSTATUS CUac2OutputTerminal::ReadTerminalType(PUSHORT Type) {
  UCHAR wire[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(false, true, kUac2Cur, kTerminalTypeValue, wire, sizeof wire, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got != 2) return STATUS_UNSUCCESSFUL;
  *Type = static_cast<USHORT>(wire[0] | wire[1] << 8);
  return STATUS_SUCCESS;
}

// The terminal types the device can switch this terminal between, each with its jack
// list; one type, the terminal's own, when the device names fewer than two.
NTSTATUS CUac2OutputTerminal::ReadSelectableTypes() {
  USHORT types[kMaxSelectableTypes] = {TerminalType()};
  ULONG count = 1;
  UCHAR head[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(false, true, kUac2Range, kTerminalTypeValue, head, sizeof head, &got);
  ULONG n = NT_SUCCESS(status) && got == 2 ? static_cast<ULONG>(head[0] | head[1] << 8) : 0;
  // A device listing more types than a kind node can show offers the first ones.
  if (n > kMaxSelectableTypes) n = kMaxSelectableTypes;
  if (n >= 2) {
    UCHAR list[2 + 6 * kMaxSelectableTypes] = {};
    status = SendRequest(false, true, kUac2Range, kTerminalTypeValue, list, 2 + 6 * n, &got);
    if (!NT_SUCCESS(status)) return Refuse(status, "named several terminal types but did not list them");
    const ULONG sent = got >= 2 ? (got - 2) / 6 : 0;
    count = sent < n ? sent : n;
    if (count == 0) count = 1;  // nothing listed: the terminal's own type
    else
      for (ULONG i = 0; i < count; ++i) types[i] = static_cast<USHORT>(list[2 + 6 * i] | list[3 + 6 * i] << 8);
  }
  const JackListForm form{&ReadConnectorJackList<CUac2OutputTerminal>, kUac2PoolTag, true, true};
  return SetKinds(types, count, form, "declares a connector control but did not send its jack list");
}

STDMETHODIMP CUac2OutputTerminal::HandleStatusChange(ULONG Selector, ULONG, PULONG) {
  if (Selector != kConnectorSelector && Selector != kTypeSelector) return STATUS_UNSUCCESSFUL;
  if (Selector == kTypeSelector) {
    UCHAR wire[2] = {};
    ULONG got = 0;
    if (NT_SUCCESS(SendRequest(false, true, kUac2Cur, kTerminalTypeValue, wire, sizeof wire, &got)) && got == 2) {
      const ULONG reported = OutputTerminalKind(static_cast<USHORT>(wire[0] | wire[1] << 8));
      // Only a kind the terminal lists can become current.
      for (ULONG i = 0; i < m_nKindCount; ++i)
        if (m_pKinds[i] == reported) m_nCurrentKind = reported;
      SaveKind(m_nCurrentKind);
    }
  }
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i) {
    if (node->GetType() == adapter::NODE_TERMINAL_KIND) {
      node->RefreshFromDevice();
      break;
    }
  }
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i)
    if (node->GetType() == adapter::NODE_OUTPUT_TERMINAL) node->RefreshFromDevice();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac2OutputTerminal::SetKind(ULONG Kind) {
  ULONG index = m_nKindCount;
  for (ULONG i = 0; i < m_nKindCount && index == m_nKindCount; ++i)
    if (m_pKinds[i] == Kind) index = i;
  if (index == m_nKindCount) return STATUS_UNSUCCESSFUL;
  WriteTerminalType(m_pTerminalTypes[index]);
  m_nCurrentKind = Kind;
  SaveKind(Kind);
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i)
    if (node->GetType() == adapter::NODE_OUTPUT_TERMINAL) node->RefreshFromDevice();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac2OutputTerminal::GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) {
  if (!Size || !Buffer || TerminalType() == adapter::TERMINAL_USB_STREAMING || !HasConnectorControl() ||
      KindIndex >= m_nKindCount || !m_ppJacks[KindIndex] || !m_pJackCounts[KindIndex] ||
      Size < m_pJackCounts[KindIndex] * sizeof(JackRecord))
    return STATUS_INVALID_PARAMETER;
  JackRecord* jacks = m_ppJacks[KindIndex];
  const ULONG count = m_pJackCounts[KindIndex];
  if (m_pKinds[KindIndex] != m_nCurrentKind) {
    CopyIdleKindJacks(KindIndex, Buffer);
    return STATUS_SUCCESS;
  }
  UCHAR connector[kConnectorBytes] = {};
  NTSTATUS status = SendRequest(false, true, kUac2Cur, kConnectorValue, connector, sizeof connector);
  if (!NT_SUCCESS(status)) RtlZeroMemory(connector, sizeof connector);
  CopyWithPresence(jacks, count, connector, Buffer);
  return status;
}

STDMETHODIMP CUac2OutputTerminal::GetClockSourceId(PULONG Id) {
  if (!Id || !m_pDescriptor || m_pDescriptor[2] != AC_OUTPUT_TERMINAL) return STATUS_INVALID_PARAMETER;
  *Id = m_pDescriptor[kOutputClock];
  return STATUS_SUCCESS;
}

}  // namespace uac
