#include "adapter/audio_class.h"
#include "adapter/audio_hal.h"
#include "adapter/endpoint_type.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "kernel/rtl.h"
#include "uac/bound_nodes.h"
#include "uac/uac1_terminals.h"

namespace uac {

using adapter::JackRecord;

const ULONG JackColorTable[16] = {0x000000, 0x000000, 0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
                                  0x800080, 0xFF0080, 0x000000, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0x000000};

namespace {

// Terminal descriptors: wTerminalType at 4; an output terminal's bSourceID at 7.
constexpr ULONG kTerminalType = 4;
constexpr ULONG kOutputSource = 7;

// The maker's terminal requests (vendor, to the Audio Control interface).
constexpr UCHAR kTerminalRequest = 0x81;
constexpr USHORT kJackListValue = 0x02FF;
constexpr USHORT kPresenceValue = 0x0200;
constexpr USHORT kTerminalTypeValue = 0x0800;
constexpr ULONG kJackListHead = 9;
constexpr ULONG kPresenceBytes = 6;

// Fills the caller's copy of the jack records and updates IsConnected in both from the
// presence bytes; the result as the presence read gave it, or success when a jack without
// presence detection counted as connected.
NTSTATUS ApplyPresence(JackRecord* stored, ULONG count, const UCHAR* presence, NTSTATUS readStatus, PVOID buffer) {
  auto* out = static_cast<JackRecord*>(buffer);
  RtlCopyMemory(out, stored, SIZE_T{count} * sizeof(JackRecord));
  NTSTATUS result = readStatus;
  for (ULONG i = 0; i < count; ++i) {
    ULONG connected;
    if (presence[1] & stored[i].ChannelMapping) {
      connected = 1;
    } else if (stored[i].PresenceDetect == 1) {
      connected = 0;
    } else {
      connected = 1;
      result = STATUS_SUCCESS;
    }
    stored[i].IsConnected = connected;
    out[i].IsConnected = connected;
  }
  return result;
}

ULONG Read32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

// The maker's jack list: a vendor request to the terminal.
template <class Terminal>
NTSTATUS ReadVendorJackList(CUacUnit& unit, PVOID buffer, ULONG length, PULONG got) {
  return static_cast<Terminal&>(unit).Vendor(true, kTerminalRequest, kJackListValue, buffer, length, got);
}

NTSTATUS KindSetting(PDEVICE_OBJECT deviceObject, ULONG operation, ULONG terminalId, PULONG kind) {
  if (!deviceObject) return STATUS_INVALID_PARAMETER;
  WCHAR name[24];
  if (RtlStringCchPrintfW(name, 24, u"%s%02d", u"UACUnit", static_cast<INT>(terminalId)) != STATUS_SUCCESS)
    return STATUS_INVALID_PARAMETER;
  return SettingsBinaryValue(deviceObject, operation, kind, sizeof *kind, name);
}

}  // namespace

JackRecord JackRecordFromWord(ULONG ChannelMapping, ULONG Word) {
  JackRecord r{};
  r.ChannelMapping = ChannelMapping;
  r.Color = JackColorTable[(Word >> 12) & 15];
  r.ConnectionType = (Word >> 16) & 0xFF;
  r.GeoLocation = (Word >> 24) & 0xF;
  r.GenLocation = Word >> 28;
  const bool fixed = (Word & 0xF00) != 0;
  r.IsConnected = fixed ? 1 : 0;
  r.PresenceDetect = fixed ? 0 : 1;
  return r;
}

NTSTATUS ReadJackRecords(CUacUnit& Unit, const JackListForm& Form, adapter::PJACKRECORD* Jacks, PULONG Count) {
  *Jacks = nullptr;
  *Count = 0;
  UCHAR head[kJackListHead] = {};
  ULONG got = 0;
  NTSTATUS status = Form.Read(Unit, head, sizeof head, &got);
  if (!NT_SUCCESS(status)) return Form.CountReadRequired ? status : STATUS_SUCCESS;
  if (got < 1 || head[0] == 0) return STATUS_SUCCESS;
  const ULONG n = head[0];
  const ULONG length = 8 * n + 1;
  auto* list = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, Form.PoolTag));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, length);
  status = Form.Read(Unit, list, length, &got);
  ULONG entries = NT_SUCCESS(status) && got > 1 ? (got - 1) / 8 : 0;
  if (entries > n) entries = n;
  if (NT_SUCCESS(status) && entries) {
    auto* records = static_cast<adapter::PJACKRECORD>(
        ExAllocatePoolWithTag(NonPagedPool, SIZE_T{entries} * sizeof(JackRecord), Form.PoolTag));
    if (!records) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      for (ULONG i = 0; i < entries; ++i) {
        const UCHAR* e = list + 1 + 8 * i;
        records[i] = JackRecordFromWord(Read32(e), Read32(e + 4));
        if (Form.PresenceFromConnector) records[i].PresenceDetect = 0;
      }
      *Jacks = records;
      *Count = entries;
    }
  }
  ExFreePoolWithTag(list, Form.PoolTag);
  return status;
}

// ---------------------------------------------------------------------------------------
// Input terminal

CUac1InputTerminal::CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag)
    : CUacUnit(outerUnknown, id, AC_INPUT_TERMINAL), m_nJackCount(0), m_pJacks(nullptr), m_nPoolTag(poolTag) {}

CUac1InputTerminal::~CUac1InputTerminal() {
  ReleaseNodes();
  if (m_pJacks) ExFreePoolWithTag(m_pJacks, m_nPoolTag);
}

STDMETHODIMP CUac1InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_ITerminalNode))
    return adapter::ReturnInterface<adapter::ITerminalNode>(this, object);
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

USHORT CUac1InputTerminal::TerminalType() const {
  return static_cast<USHORT>(m_pDescriptor[kTerminalType] | m_pDescriptor[kTerminalType + 1] << 8);
}

NTSTATUS CUac1InputTerminal::Vendor(bool read, UCHAR request, USHORT value, PVOID buffer, ULONG length, PULONG got) {
  return SendRequest(true, read, request, value, buffer, length, got);
}

NTSTATUS CUac1InputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                  adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_INPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CUac1InputTerminal::CreateControls(adapter::CAudioHal* Function) {
  SetSources(0, nullptr);
  if (TerminalType() != adapter::TERMINAL_USB_STREAMING) {
    const JackListForm form{&ReadVendorJackList<CUac1InputTerminal>, m_nPoolTag, false, false};
    ReadJackRecords(*this, form, &m_pJacks, &m_nJackCount);
  }
  return CreateTerminalNode(Function);
}

NTSTATUS CUac1InputTerminal::CreateTerminalNode(adapter::CAudioHal* Function) {
  adapter::IUacEntity* entity = nullptr;
  NTSTATUS status = adapter::CreateInstance<CUacInputTerminalNode>(&entity, nullptr, NonPagedPool, m_nPoolTag,
                                                                   Function->GetEntityCount());
  if (!NT_SUCCESS(status)) return status;
  adapter::EndpointCapabilityRecord record{};
  Function->GetCapabilityRecord(adapter::STREAM_DIRECTION_CAPTURE, InputTerminalNodeKind(TerminalType()), &record);
  status = static_cast<CUacInputTerminalNode*>(entity)->InitUacInputTerminalNode(
      static_cast<adapter::ITerminalNode*>(this), record);
  if (!NT_SUCCESS(status)) {
    entity->Release();
    return status;
  }
  return AddCreatedNode(Function, entity);
}

STDMETHODIMP CUac1InputTerminal::HandleStatusChange(ULONG, ULONG, PULONG NodeId) {
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i) {
    if (node->GetType() != adapter::NODE_INPUT_TERMINAL) continue;
    if (NodeId) *NodeId = node->GetId();
    node->RefreshFromDevice();
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP CUac1InputTerminal::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  *Kind = InputTerminalKind(TerminalType());
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1InputTerminal::GetKindCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = 1;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1InputTerminal::GetKinds(PULONG Kinds) { return GetKind(Kinds); }

STDMETHODIMP CUac1InputTerminal::SetKind(ULONG Kind) {
  return Kind == InputTerminalKind(TerminalType()) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP CUac1InputTerminal::GetState(PULONG JackCount, ULONG) {
  if (!JackCount) return STATUS_INVALID_PARAMETER;
  *JackCount = TerminalReportsJacks(TerminalType()) ? m_nJackCount : 0;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1InputTerminal::GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG) {
  if (!Size || !Buffer || TerminalType() == adapter::TERMINAL_USB_STREAMING || !m_pJacks || !m_nJackCount ||
      Size < m_nJackCount * sizeof(JackRecord))
    return STATUS_INVALID_PARAMETER;
  UCHAR presence[kPresenceBytes] = {};
  NTSTATUS status = SendRequest(true, true, kTerminalRequest, kPresenceValue, presence, sizeof presence);
  if (!NT_SUCCESS(status)) RtlZeroMemory(presence, sizeof presence);
  return ApplyPresence(m_pJacks, m_nJackCount, presence, status, Buffer);
}

// ---------------------------------------------------------------------------------------
// Output terminal

CUac1OutputTerminal::CUac1OutputTerminal(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag)
    : CUacUnit(outerUnknown, id, AC_OUTPUT_TERMINAL),
      m_pDeviceObject(nullptr),
      m_nCurrentKind(0),
      m_nKindCount(0),
      m_nPoolTag(poolTag),
      m_pKinds(nullptr),
      m_pTerminalTypes(nullptr),
      m_pJackCounts(nullptr),
      m_ppJacks(nullptr) {}

CUac1OutputTerminal::~CUac1OutputTerminal() {
  ReleaseNodes();
  FreeKinds();
}

void CUac1OutputTerminal::FreeKinds() {
  if (m_ppJacks) {
    for (ULONG i = 0; i < m_nKindCount; ++i)
      if (m_ppJacks[i]) ExFreePoolWithTag(m_ppJacks[i], m_nPoolTag);
    ExFreePoolWithTag(m_ppJacks, m_nPoolTag);
  }
  if (m_pKinds) ExFreePoolWithTag(m_pKinds, m_nPoolTag);
  if (m_pTerminalTypes) ExFreePoolWithTag(m_pTerminalTypes, m_nPoolTag);
  if (m_pJackCounts) ExFreePoolWithTag(m_pJackCounts, m_nPoolTag);
  m_ppJacks = nullptr;
  m_pKinds = nullptr;
  m_pTerminalTypes = nullptr;
  m_pJackCounts = nullptr;
  m_nKindCount = 0;
}

STDMETHODIMP CUac1OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_ITerminalNode))
    return adapter::ReturnInterface<adapter::ITerminalNode>(this, object);
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

USHORT CUac1OutputTerminal::TerminalType() const {
  return static_cast<USHORT>(m_pDescriptor[kTerminalType] | m_pDescriptor[kTerminalType + 1] << 8);
}

NTSTATUS CUac1OutputTerminal::Vendor(bool read, UCHAR request, USHORT value, PVOID buffer, ULONG length, PULONG got) {
  return SendRequest(true, read, request, value, buffer, length, got);
}

NTSTATUS CUac1OutputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                   adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_OUTPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CUac1OutputTerminal::AllocateKindArrays(ULONG Count) {
  const SIZE_T ulongs = SIZE_T{Count} * sizeof(ULONG);
  m_pKinds = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, ulongs, m_nPoolTag));
  m_pTerminalTypes =
      static_cast<PUSHORT>(ExAllocatePoolWithTag(NonPagedPool, SIZE_T{Count} * sizeof(USHORT), m_nPoolTag));
  m_pJackCounts = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, ulongs, m_nPoolTag));
  m_ppJacks = static_cast<adapter::PJACKRECORD*>(
      ExAllocatePoolWithTag(NonPagedPool, SIZE_T{Count} * sizeof(adapter::PJACKRECORD), m_nPoolTag));
  m_nKindCount = Count;
  // Zeroed before any free, so FreeKinds never reads a jack list pointer left unset.
  if (m_ppJacks) RtlZeroMemory(m_ppJacks, SIZE_T{Count} * sizeof(adapter::PJACKRECORD));
  if (!m_pKinds || !m_pTerminalTypes || !m_pJackCounts || !m_ppJacks) {
    FreeKinds();
    return Refuse(STATUS_INSUFFICIENT_RESOURCES, "could not get memory for its terminal kinds");
  }
  RtlZeroMemory(m_pJackCounts, ulongs);
  return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::WriteTerminalType(USHORT Type) {
  UCHAR wire[2] = {static_cast<UCHAR>(Type), static_cast<UCHAR>(Type >> 8)};
  return SendRequest(true, false, kTerminalRequest, kTerminalTypeValue, wire, sizeof wire);
}

bool CUac1OutputTerminal::ReadSavedKind(PULONG Kind) {
  return NT_SUCCESS(KindSetting(m_pDeviceObject, SETTINGS_READ, m_nId, Kind));
}

void CUac1OutputTerminal::SaveKind(ULONG Kind) { KindSetting(m_pDeviceObject, SETTINGS_WRITE, m_nId, &Kind); }

void CUac1OutputTerminal::SelectCurrentKind(ULONG Current, ULONG OwnKind) {
  auto listed = [this](ULONG kind) {
    for (ULONG i = 0; i < m_nKindCount; ++i)
      if (m_pKinds[i] == kind) return true;
    return false;
  };
  if (!listed(Current)) Current = listed(OwnKind) ? OwnKind : m_pKinds[0];
  m_nCurrentKind = Current;
  // Reading the jack lists left the device on the last type: back to the current one.
  if (m_nKindCount > 1) {
    for (ULONG i = 0; i < m_nKindCount; ++i) {
      if (m_pKinds[i] == Current) {
        WriteTerminalType(m_pTerminalTypes[i]);
        break;
      }
    }
  }
}

// The terminal types the device can switch this terminal between (at most the five kinds
// a terminal lists), each with its jack list; one type, the terminal's own, otherwise.
NTSTATUS CUac1OutputTerminal::ReadSelectableTypes() {
  USHORT types[kMaxTerminalKinds] = {TerminalType()};
  ULONG count = 1;
  UCHAR head[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(true, true, kGetSelectableTypes, kTerminalTypeValue, head, sizeof head, &got);
  ULONG n = NT_SUCCESS(status) && got == 2 ? static_cast<ULONG>(head[0] | head[1] << 8) : 0;
  if (n > kMaxTerminalKinds) n = kMaxTerminalKinds;
  if (n >= 2) {
    UCHAR list[2 + 6 * kMaxTerminalKinds] = {};
    const ULONG length = 2 + 6 * n;
    status = SendRequest(true, true, kGetSelectableTypes, kTerminalTypeValue, list, length, &got);
    if (NT_SUCCESS(status) && got >= 2 + 6 * 2) {
      count = (got - 2) / 6 < n ? (got - 2) / 6 : n;
      for (ULONG i = 0; i < count; ++i) types[i] = static_cast<USHORT>(list[2 + 6 * i] | list[3 + 6 * i] << 8);
    }
  }
  const JackListForm form{&ReadVendorJackList<CUac1OutputTerminal>, m_nPoolTag, false, false};
  return SetKinds(types, count, form, "announced a jack list it did not send");
}

NTSTATUS CUac1OutputTerminal::SetKinds(const USHORT* Types, ULONG Count, const JackListForm& Form,
                                       const char* JackListRefusal) {
  NTSTATUS status = AllocateKindArrays(Count);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < Count; ++i) {
    m_pTerminalTypes[i] = Types[i];
    m_pKinds[i] = OutputTerminalKind(Types[i]);
  }
  for (ULONG i = 0; i < Count; ++i) {
    // The device reports the jacks of the type it is switched to.
    if (Count > 1) WriteTerminalType(Types[i]);
    status = ReadJackRecords(*this, Form, &m_ppJacks[i], &m_pJackCounts[i]);
    if (!NT_SUCCESS(status)) return Refuse(status, JackListRefusal);
  }
  return STATUS_SUCCESS;
}

bool CUac1OutputTerminal::HasJackConnector() const { return TerminalType() != adapter::TERMINAL_USB_STREAMING; }

NTSTATUS CUac1OutputTerminal::ReadTerminalType(PUSHORT Type) {
  UCHAR wire[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(true, true, kTerminalRequest, kTerminalTypeValue, wire, sizeof wire, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got != 2) return STATUS_UNSUCCESSFUL;
  *Type = static_cast<USHORT>(wire[0] | wire[1] << 8);
  return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::CreateControls(adapter::CAudioHal* Function) {
  const ULONG source = m_pDescriptor[kOutputSource];
  NTSTATUS status = SetSources(1, &source);
  if (!NT_SUCCESS(status)) return status;
  const ULONG nextId = Function->GetEntityCount();
  m_pDeviceObject = Function->GetDeviceObject();

  const ULONG ownKind = OutputTerminalKind(TerminalType());
  ULONG current = ownKind;
  ReadSavedKind(&current);
  ULONG bySelection = 0;
  SettingsBinaryValue(m_pDeviceObject, SETTINGS_READ, &bySelection, sizeof bySelection, u"INITOTTYPEBYSEL");

  if (!HasJackConnector()) {
    status = AllocateKindArrays(1);
    if (!NT_SUCCESS(status)) return status;
    m_pKinds[0] = ownKind;
    m_pTerminalTypes[0] = TerminalType();
    m_nCurrentKind = ownKind;
  } else {
    USHORT type = 0;
    if (NT_SUCCESS(ReadTerminalType(&type)) && bySelection) current = OutputTerminalKind(type);
    status = ReadSelectableTypes();
    if (!NT_SUCCESS(status)) return status;
    SelectCurrentKind(current, ownKind);
  }
  return CreateKindNodes(Function, nextId);
}

NTSTATUS CUac1OutputTerminal::CreateKindNodes(adapter::CAudioHal* Function, ULONG nextId) {
  NTSTATUS status = STATUS_SUCCESS;
  PUNKNOWN self = static_cast<adapter::ITerminalNode*>(this);
  for (ULONG k = 0; k < m_nKindCount; ++k) {
    adapter::IUacEntity* entity = nullptr;
    status = adapter::CreateInstance<CUacOutputTerminalNode>(&entity, nullptr, NonPagedPool, m_nPoolTag, nextId, k);
    if (!NT_SUCCESS(status)) return status;
    adapter::EndpointCapabilityRecord record{};
    Function->GetCapabilityRecord(adapter::STREAM_DIRECTION_RENDER, m_pKinds[k], &record);
    status = static_cast<CUacOutputTerminalNode*>(entity)->InitUacOutputTerminalNode(self, record);
    if (!NT_SUCCESS(status)) {
      entity->Release();
      return status;
    }
    status = AddCreatedNode(Function, entity);
    if (!NT_SUCCESS(status)) return status;
    ++nextId;
  }
  if (m_nKindCount >= 2) {
    adapter::IUacEntity* entity = nullptr;
    status = adapter::CreateInstance<CUacTerminalKindNode>(&entity, nullptr, NonPagedPool, m_nPoolTag, nextId);
    if (!NT_SUCCESS(status)) return status;
    status = static_cast<CUacTerminalKindNode*>(entity)->InitUacTerminalKindNode(
        self, m_pDeviceObject, static_cast<adapter::IAudioHal*>(Function));
    if (!NT_SUCCESS(status)) {
      entity->Release();
      return status;
    }
    status = AddCreatedNode(Function, entity);
  }
  return status;
}

STDMETHODIMP CUac1OutputTerminal::HandleStatusChange(ULONG, ULONG, PULONG) {
  UCHAR wire[2] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(true, true, kTerminalRequest, kTerminalTypeValue, wire, sizeof wire, &got);
  // A short answer names no type: the kind stays, and the nodes are refreshed as after a
  // failed read.
  const bool whole = NT_SUCCESS(status) && got == 2;
  if (whole && OutputTerminalStatusKind(static_cast<USHORT>(wire[0] | wire[1] << 8)) == m_nCurrentKind)
    return STATUS_SUCCESS;
  // The type the device switched to becomes current (when the terminal lists it) and is
  // saved, so the kind node sees the change and runs the whole switch.
  if (whole) {
    const ULONG reported = OutputTerminalStatusKind(static_cast<USHORT>(wire[0] | wire[1] << 8));
    for (ULONG i = 0; i < m_nKindCount; ++i)
      if (m_pKinds[i] == reported) m_nCurrentKind = reported;
    SaveKind(m_nCurrentKind);
  }
  bool refreshed = false;
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i) {
    if (node->GetType() == adapter::NODE_TERMINAL_KIND) {
      node->RefreshFromDevice();
      refreshed = true;
      break;
    }
  }
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i) {
    if (node->GetType() == adapter::NODE_OUTPUT_TERMINAL) {
      node->RefreshFromDevice();
      refreshed = true;
    }
  }
  return refreshed ? STATUS_SUCCESS : status;
}

STDMETHODIMP CUac1OutputTerminal::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  *Kind = m_nCurrentKind;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1OutputTerminal::GetKindCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = m_nKindCount;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1OutputTerminal::GetKinds(PULONG Kinds) {
  if (!Kinds) return STATUS_INVALID_PARAMETER;
  if (m_nKindCount) RtlCopyMemory(Kinds, m_pKinds, m_nKindCount * sizeof(ULONG));
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1OutputTerminal::SetKind(ULONG Kind) {
  if (Kind == m_nCurrentKind) return STATUS_SUCCESS;
  ULONG index = m_nKindCount;
  for (ULONG i = 0; i < m_nKindCount && index == m_nKindCount; ++i)
    if (m_pKinds[i] == Kind) index = i;
  if (index == m_nKindCount) return STATUS_UNSUCCESSFUL;
  m_nCurrentKind = Kind;
  WriteTerminalType(m_pTerminalTypes[index]);
  SaveKind(Kind);
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i)
    if (node->GetType() == adapter::NODE_OUTPUT_TERMINAL) node->RefreshFromDevice();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1OutputTerminal::GetState(PULONG JackCount, ULONG KindIndex) {
  if (!JackCount) return STATUS_INVALID_PARAMETER;
  if (!HasJackConnector()) {
    *JackCount = 0;
    return STATUS_SUCCESS;
  }
  if (KindIndex >= m_nKindCount) return STATUS_INVALID_PARAMETER;
  *JackCount = m_pJackCounts[KindIndex];
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1OutputTerminal::GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) {
  if (!Size || !Buffer || TerminalType() == adapter::TERMINAL_USB_STREAMING || KindIndex >= m_nKindCount || !m_ppJacks[KindIndex] ||
      !m_pJackCounts[KindIndex] || Size < m_pJackCounts[KindIndex] * sizeof(JackRecord))
    return STATUS_INVALID_PARAMETER;
  JackRecord* jacks = m_ppJacks[KindIndex];
  const ULONG count = m_pJackCounts[KindIndex];
  if (m_pKinds[KindIndex] != m_nCurrentKind) {
    CopyIdleKindJacks(KindIndex, Buffer);
    return STATUS_SUCCESS;
  }
  UCHAR presence[kPresenceBytes] = {};
  NTSTATUS status = SendRequest(true, true, kTerminalRequest, kPresenceValue, presence, sizeof presence);
  if (!NT_SUCCESS(status)) RtlZeroMemory(presence, sizeof presence);
  return ApplyPresence(jacks, count, presence, status, Buffer);
}

void CUac1OutputTerminal::CopyIdleKindJacks(ULONG KindIndex, PVOID Buffer) {
  const ULONG count = m_pJackCounts[KindIndex];
  ULONG connect = 0;
  SettingsBinaryValue(m_pDeviceObject, SETTINGS_READ, &connect, sizeof connect, u"SetJackConnect");
  auto* out = static_cast<JackRecord*>(Buffer);
  RtlCopyMemory(out, m_ppJacks[KindIndex], SIZE_T{count} * sizeof(JackRecord));
  for (ULONG i = 0; i < count; ++i) out[i].IsConnected = connect ? 1 : 0;
}

}  // namespace uac
