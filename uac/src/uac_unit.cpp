#include "uac/uac_unit.h"

#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/uac1_units.h"

namespace uac {

namespace {

// Node types whose first source follows the node before them in a unit's chain: every
// type with one input, including the private types no class builds yet.
bool IsChainedType(ULONG type) {
  switch (type) {
    case adapter::NODE_OUTPUT_TERMINAL:
    case adapter::NODE_MUTE:
    case adapter::NODE_VOLUME:
    case adapter::NODE_AGC:
    case adapter::NODE_LOUDNESS:
    case adapter::NODE_INPUT_GAIN_PAD:
    case adapter::NODE_BASS:
    case adapter::NODE_MID:
    case adapter::NODE_TREBLE:
    case adapter::NODE_TERMINAL_KIND:
    case adapter::NODE_CAPTURE_SWITCH:
    case adapter::NODE_VENDOR_SWITCH:
    case adapter::NODE_CAPTURE_VENDOR_SWITCH:
    case adapter::NODE_VALUE_TABLE:
    case adapter::NODE_GAIN_SWITCH:
    case adapter::NODE_VENDOR_EFFECT:
      return true;
    default:
      return false;
  }
}

// Replaces the first source of an entity, keeping the others.
void SetFirstSource(adapter::IUacEntity* node, ULONG id) {
  ULONG count = 0;
  const ULONG* sources = nullptr;
  if (!NT_SUCCESS(node->GetSources(&count, &sources)) || count <= 1 || !sources) {
    node->SetSources(1, &id);
    return;
  }
  if (count > 255) return;
  ULONG copy[255];
  RtlCopyMemory(copy, sources, count * sizeof(ULONG));
  copy[0] = id;
  node->SetSources(count, copy);
}

}  // namespace

CUacUnit::CUacUnit(PUNKNOWN outerUnknown, ULONG id, ULONG type)
    : CUacEntity(outerUnknown, id, type),
      m_pDevice(nullptr),
      m_pDescriptor(nullptr),
      m_nDescriptorLength(0),
      m_pNodes(nullptr),
      m_pRefusal(nullptr) {}

CUacUnit::~CUacUnit() {
  ReleaseNodes();
  delete m_pNodes;
  if (m_pDescriptor) ExFreePoolWithTag(m_pDescriptor, kUnitPoolTag);
}

STDMETHODIMP CUacUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacUnit)) return adapter::ReturnInterface<IUacUnit>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUacUnit::InitUnit(const void* Descriptor, adapter::IUsbAudioDevice* Device, UCHAR Protocol, UCHAR Subtype) {
  if (!Descriptor || !Device) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const UCHAR*>(Descriptor);
  if (bytes[0] < 3 || bytes[1] != kAcDescriptorType || bytes[2] != Subtype)
    return Refuse(STATUS_INVALID_PARAMETER, "has a descriptor of another kind");
  // The same length rule the function's walk applied: every field the unit reads lies
  // inside the copy.
  const LengthRule* rule = FindLengthRule(Protocol, Subtype);
  if (!rule || CheckLengthRule(*rule, bytes, bytes[0]) != RuleBreach::None)
    return Refuse(STATUS_INVALID_PARAMETER, "has a descriptor too short for its fields");
  if (m_pDescriptor) return Refuse(STATUS_INVALID_PARAMETER, "was initialised twice");
  m_pDescriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes[0], kUnitPoolTag));
  if (!m_pDescriptor) return Refuse(STATUS_INSUFFICIENT_RESOURCES, "could not get memory for its descriptor");
  RtlCopyMemory(m_pDescriptor, bytes, bytes[0]);
  m_nDescriptorLength = bytes[0];
  m_pNodes = new (NonPagedPool, kUnitPoolTag) adapter::CRefList<adapter::IUacEntity>;
  if (!m_pNodes) return Refuse(STATUS_INSUFFICIENT_RESOURCES, "could not get memory for its node list");
  m_pDevice = Device;
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::SendRequest(bool Vendor, bool Read, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length,
                               PULONG Transferred) {
  if (Transferred) *Transferred = 0;
  if (!m_pDevice) return STATUS_INVALID_DEVICE_STATE;
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  auto& r = urb.UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = Vendor ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = Read ? USBD_TRANSFER_DIRECTION_IN : 0;
  r.TransferBufferLength = Length;
  r.TransferBuffer = Buffer;
  r.Request = Request;
  r.Value = Value;
  r.Index = static_cast<USHORT>((m_nId & 0xFF) << 8 | m_pDevice->GetControlInterfaceNumber());
  NTSTATUS status = m_pDevice->SubmitUrbSync(&urb);
  if (NT_SUCCESS(status) && Transferred)
    *Transferred = r.TransferBufferLength < Length ? r.TransferBufferLength : Length;
  return status;
}

STDMETHODIMP CUacUnit::HandleStatusChange(ULONG, ULONG, PULONG) { return STATUS_SUCCESS; }

STDMETHODIMP_(ULONG) CUacUnit::GetNodeCount() { return m_pNodes ? m_pNodes->GetCount() : 0; }

STDMETHODIMP_(adapter::IUacEntity*) CUacUnit::GetNode(ULONG Index) { return m_pNodes ? m_pNodes->GetAt(Index) : nullptr; }

STDMETHODIMP CUacUnit::GetOutputNodeId(PULONG Id) {
  adapter::IUacEntity* last = m_pNodes ? m_pNodes->GetTail() : nullptr;
  if (!Id || !last) return STATUS_UNSUCCESSFUL;
  *Id = last->GetId();
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::AddNode(adapter::IUacEntity* Node) {
  if (!Node || !m_pNodes) return STATUS_UNSUCCESSFUL;
  return m_pNodes->Add(Node) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void CUacUnit::ReleaseNodes() {
  if (m_pNodes) m_pNodes->ReleaseAll();
}

NTSTATUS CUacUnit::AddCreatedNode(adapter::CAudioHal* Function, adapter::IUacEntity* Node) {
  NTSTATUS status = Function->AddEntity(Node);
  if (NT_SUCCESS(status)) status = AddNode(Node);
  Node->Release();
  return NT_SUCCESS(status) ? status : Refuse(status, "could not list its control node");
}

void CUacUnit::LinkNodeChain() {
  adapter::IUacEntity* first = GetNode(0);
  if (!first) return;
  ULONG running = first->GetId();
  for (ULONG i = 1;; ++i) {
    adapter::IUacEntity* node = GetNode(i);
    if (!node) break;
    if (IsChainedType(node->GetType())) SetFirstSource(node, running);
    if (node->GetType() != adapter::NODE_OUTPUT_TERMINAL) running = node->GetId();
  }
}

STDMETHODIMP CUacUnit::SetInputSources(ULONG Count, const ULONG* Ids) {
  adapter::IUacEntity* first = GetNode(0);
  if (!first || !Ids || !Count) return STATUS_UNSUCCESSFUL;
  const ULONG type = first->GetType();
  if (type == adapter::NODE_SELECTOR || type == adapter::NODE_MIXER) {
    if (Count == first->GetSourceCount()) first->SetSources(Count, Ids);
  } else if (IsChainedType(type)) {
    SetFirstSource(first, Ids[0]);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CreateUnitOfTable(const UnitClassRow* Rows, ULONG Count, UCHAR Subtype, ULONG Id, CUacUnit** Unit) {
  if (!Unit) return STATUS_INVALID_PARAMETER;
  *Unit = nullptr;
  for (ULONG i = 0; i < Count; ++i) {
    if (Rows[i].Subtype != Subtype) continue;
    adapter::IUacEntity* entity = nullptr;
    NTSTATUS status = Rows[i].Create(Id, Subtype, &entity);
    if (NT_SUCCESS(status)) *Unit = static_cast<CUacUnit*>(entity);
    return status;
  }
  return STATUS_INVALID_PARAMETER;
}

namespace {

template <class Unit>
NTSTATUS CreateUac1Class(ULONG Id, UCHAR, adapter::IUacEntity** Entity) {
  return adapter::CreateInstance<Unit>(Entity, nullptr, NonPagedPool, kUac1PoolTag, Id);
}

constexpr UnitClassRow kUac1Units[] = {
    {AC_INPUT_TERMINAL, &CreateUac1Class<CUac1InputTerminal>},
    {AC_OUTPUT_TERMINAL, &CreateUac1Class<CUac1OutputTerminal>},
    {AC_MIXER_UNIT, &CreateUac1Class<CUac1MixerUnit>},
    {AC_SELECTOR_UNIT, &CreateUac1Class<CUac1SelectorUnit>},
    {AC_FEATURE_UNIT, &CreateUac1Class<CUac1FeatureUnit>},
};

}  // namespace

NTSTATUS CreateUac1Unit(UCHAR Subtype, ULONG Id, CUacUnit** Unit) {
  return CreateUnitOfTable(kUac1Units, sizeof kUac1Units / sizeof kUac1Units[0], Subtype, Id, Unit);
}

}  // namespace uac
