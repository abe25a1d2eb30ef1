// Chip class A terminals and the record selector.
#include "adapter/audio_class.h"
#include "adapter/audio_hal.h"
#include "adapter/endpoint_type.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "uac/bound_nodes.h"
#include "uac/chip_a_function.h"
#include "uac/chip_a_units.h"

namespace uac {

using adapter::JackRecord;

namespace {

// Terminal descriptors: wTerminalType at 4. Selector units: bNrInPins at 4, sources from 5.
constexpr ULONG kOutputSource = 7;
constexpr ULONG kInPins = 4;
constexpr ULONG kFirstSource = 5;

// The register settings of each output kind, written in this order.
constexpr ChipARegisterSetting kSpeakerRegisters[] = {{2, 0xE000, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0x0000, 0x8000}};
constexpr ChipARegisterSetting kHeadphoneRegisters[] = {{2, 0xFFE0, 0xFFFF}, {1, 0x0002, 0x0002}, {0, 0x0000, 0x8000}};
constexpr ChipARegisterSetting kSpdifRegisters[] = {{2, 0xE7F8, 0xFFFF}, {1, 0x0000, 0x0002}, {0, 0x8000, 0x8000}};

// The terminal type each kind stands for.
USHORT KindTerminalType(ULONG kind) {
  switch (kind) {
    case CHIPA_KIND_HP: return adapter::TERMINAL_HEADPHONES;
    case CHIPA_KIND_SPDIF: return adapter::TERMINAL_SPDIF;
    default: return adapter::TERMINAL_SPEAKER;
  }
}

// The fixed jacks of a kind: the speaker's three rear jacks (front, rear, centre pairs),
// one green jack for headphones, one optical output for S/PDIF.
constexpr ULONG kGreen = 0x00FF00;
constexpr ULONG kOrange = 0xFF8000;
constexpr ULONG kJack35mm = 1;
constexpr ULONG kJackOptical = 5;
constexpr ULONG kRear = 1;

struct JackRow {
  ULONG ChannelMapping;
  ULONG Color;
  ULONG ConnectionType;
};
constexpr JackRow kSpeakerJacks[] = {{0x03, kGreen, kJack35mm}, {0x0C, kOrange, kJack35mm}, {0x30, 0, kJack35mm}};
constexpr JackRow kHeadphoneJacks[] = {{0x03, kGreen, kJack35mm}};
constexpr JackRow kSpdifJacks[] = {{0x03, 0, kJackOptical}};

const JackRow* KindJacks(ULONG kind, ULONG* count) {
  switch (kind) {
    case CHIPA_KIND_SPK: *count = 3; return kSpeakerJacks;
    case CHIPA_KIND_HP: *count = 1; return kHeadphoneJacks;
    case CHIPA_KIND_SPDIF: *count = 1; return kSpdifJacks;
    default: *count = 0; return nullptr;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Input terminal

CChipAInputTerminal::CChipAInputTerminal(PUNKNOWN outerUnknown, ULONG id, CChipAFunction*)
    : CUac1InputTerminal(outerUnknown, id, kChipATag) {}

NTSTATUS CChipAInputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                   adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_INPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  SetSources(0, nullptr);
  status = CreateTerminalNode(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

// ---------------------------------------------------------------------------------------
// Output terminal

CChipAOutputTerminal::CChipAOutputTerminal(PUNKNOWN outerUnknown, ULONG id, CChipAFunction* chip)
    : CUac1OutputTerminal(outerUnknown, id, kChipATag), m_pChip(chip) {}

bool CChipAOutputTerminal::KindRegisters(ULONG Kind, const ChipARegisterSetting** Settings, ULONG* Count) {
  switch (Kind) {
    case CHIPA_KIND_SPK: *Settings = kSpeakerRegisters; break;
    case CHIPA_KIND_HP: *Settings = kHeadphoneRegisters; break;
    case CHIPA_KIND_SPDIF: *Settings = kSpdifRegisters; break;
    default: *Settings = nullptr; *Count = 0; return false;
  }
  *Count = 3;
  return true;
}

bool CChipAOutputTerminal::Lists(ULONG Kind) const {
  for (ULONG i = 0; i < m_nKindCount; ++i)
    if (m_pKinds[i] == Kind) return true;
  return false;
}

// Node setters keep to the rule that the device's answer shows only in the cache: the
// kind switch reports its arguments, not whether each register write went through.
void CChipAOutputTerminal::WriteKindRegisters(ULONG Kind) {
  const ChipARegisterSetting* settings = nullptr;
  ULONG count = 0;
  if (!m_pChip || !KindRegisters(Kind, &settings, &count)) return;
  for (ULONG i = 0; i < count; ++i) m_pChip->WriteChipRegister(settings[i].Register, settings[i].Value, settings[i].Mask);
}

NTSTATUS CChipAOutputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                    adapter::CAudioHal* Function) {
  if (!Function || !m_pChip) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_OUTPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateChipControls(Function);
  if (!NT_SUCCESS(status)) return status;
  LinkNodeChain();
  WriteKindRegisters(m_nCurrentKind);
  return STATUS_SUCCESS;
}

NTSTATUS CChipAOutputTerminal::CreateChipControls(adapter::CAudioHal* Function) {
  const ULONG source = m_pDescriptor[kOutputSource];
  NTSTATUS status = SetSources(1, &source);
  if (!NT_SUCCESS(status)) return status;
  m_pDeviceObject = Function->GetDeviceObject();

  const ChipASwitches& switches = m_pChip->Switches();
  ULONG kinds[3] = {CHIPA_KIND_SPK};
  ULONG count = 1;
  if (switches[CHIPA_HP_OUT]) kinds[count++] = CHIPA_KIND_HP;
  if (switches[CHIPA_SPDIF_OUT]) kinds[count++] = CHIPA_KIND_SPDIF;
  status = AllocateKindArrays(count);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < count; ++i) {
    m_pKinds[i] = kinds[i];
    m_pTerminalTypes[i] = KindTerminalType(kinds[i]);
    m_pJackCounts[i] = 0;
  }
  // A saved kind counts only when this terminal lists it: the register table has rows
  // for the listed kinds alone.
  ULONG saved = CHIPA_KIND_SPK;
  m_nCurrentKind = ReadSavedKind(&saved) && Lists(saved) ? saved : CHIPA_KIND_SPK;
  return CreateKindNodes(Function, Function->GetEntityCount());
}

STDMETHODIMP CChipAOutputTerminal::HandleStatusChange(ULONG, ULONG, PULONG NodeId) {
  bool found = false;
  for (ULONG i = 0; adapter::IUacEntity* node = GetNode(i); ++i) {
    if (node->GetType() != adapter::NODE_OUTPUT_TERMINAL) continue;
    node->RefreshFromDevice();
    if (NodeId) *NodeId = node->GetId();
    found = true;
  }
  return found ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP CChipAOutputTerminal::SetKind(ULONG Kind) {
  if (!Lists(Kind)) return STATUS_UNSUCCESSFUL;
  m_nCurrentKind = Kind;
  WriteKindRegisters(Kind);
  SaveKind(Kind);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipAOutputTerminal::GetState(PULONG JackCount, ULONG KindIndex) {
  if (!JackCount) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  if (KindIndex < m_nKindCount) KindJacks(m_pKinds[KindIndex], &count);
  *JackCount = count;
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipAOutputTerminal::GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) {
  if (!Buffer || !Size || KindIndex >= m_nKindCount) return STATUS_INVALID_PARAMETER;
  const ULONG kind = m_pKinds[KindIndex];
  ULONG count = 0;
  const JackRow* rows = KindJacks(kind, &count);
  if (!rows) return STATUS_INVALID_PARAMETER;
  if (Size < count * sizeof(JackRecord)) return STATUS_BUFFER_TOO_SMALL;
  ULONG connect = 0;
  SettingsBinaryValue(m_pDeviceObject, SETTINGS_READ, &connect, sizeof connect, u"SetJackConnect");
  auto* out = static_cast<JackRecord*>(Buffer);
  for (ULONG i = 0; i < count; ++i) {
    JackRecord r{};
    r.ChannelMapping = rows[i].ChannelMapping;
    r.Color = rows[i].Color;
    r.ConnectionType = rows[i].ConnectionType;
    r.GeoLocation = kRear;
    r.IsConnected = connect || kind == m_nCurrentKind ? 1 : 0;
    out[i] = r;
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Selector

UCHAR ChipASelectorCode(ULONG SourceId) {
  switch (SourceId) {
    case 8: return 1;   // microphone record unit
    case 15: return 2;  // line-in record unit
    case 16: return 3;  // S/PDIF input unit
    case 2: return 4;   // stereo-mix record unit
    default: return 0;
  }
}

CChipASelectorUnit::CChipASelectorUnit(PUNKNOWN outerUnknown, ULONG id, CChipAFunction*)
    : CUac1SelectorUnit(outerUnknown, id), m_Codes{} {}

NTSTATUS CChipASelectorUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                  adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_SELECTOR_UNIT);
  if (!NT_SUCCESS(status)) return status;
  // The codes first: the selector node reads the selection as it is made.
  // A source the chip has no code for (a descriptor off the chip's layout) is selected by
  // its input number, as a class selector's.
  const ULONG pins = m_pDescriptor[kInPins];
  for (ULONG i = 0; i < pins; ++i) {
    const UCHAR code = ChipASelectorCode(m_pDescriptor[kFirstSource + i]);
    m_Codes[i + 1] = code ? code : static_cast<UCHAR>(i + 1);
  }
  status = CreateControls(Function);
  if (!NT_SUCCESS(status)) return status;
  SetSelected(1);
  LinkNodeChain();
  return STATUS_SUCCESS;
}

UCHAR CChipASelectorUnit::Code(ULONG Input) const {
  return m_pDescriptor && Input >= 1 && Input <= m_pDescriptor[kInPins] ? m_Codes[Input] : 0;
}

STDMETHODIMP CChipASelectorUnit::SetSelected(ULONG Input) {
  if (!m_pDescriptor || Input < 1 || Input > m_pDescriptor[kInPins]) return STATUS_INVALID_PARAMETER;
  UCHAR wire = m_Codes[Input];
  return SendRequest(false, false, kSetCur, 0, &wire, 1);
}

STDMETHODIMP CChipASelectorUnit::GetSelected(PULONG Input) {
  if (!Input || !m_pDescriptor) return STATUS_INVALID_PARAMETER;
  UCHAR wire = 0;
  NTSTATUS status = SendRequest(false, true, kGetCur, 0, &wire, 1);
  if (!NT_SUCCESS(status)) return status;
  const ULONG pins = m_pDescriptor[kInPins];
  for (ULONG i = 1; i <= pins; ++i) {
    if (m_Codes[i] == wire) {
      *Input = i;
      return STATUS_SUCCESS;
    }
  }
  // A code no input has: the device is put back on input 1.
  *Input = 1;
  UCHAR first = m_Codes[1];
  SendRequest(false, false, kSetCur, 0, &first, 1);
  return STATUS_SUCCESS;
}

}  // namespace uac
