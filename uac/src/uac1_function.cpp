#include "uac/uac1_function.h"

#include <cstdarg>
#include <cstdio>

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "uac/register_subdevices.h"
#include "uac/uac_unit.h"
#include "uac/unit_interfaces.h"
#include "usb/usbdlib.h"

namespace uac {
namespace {

// Vendor requests of the probe: device-to-host, recipient "other".
constexpr UCHAR kRequestModelRegister = 0x02;
constexpr USHORT kModelRegister = 0x0051;
constexpr UCHAR kRequestChipRegister = 0x00;
constexpr USHORT kChipRegisterA = 0x001A;
constexpr USHORT kChipRegisterB = 0x0020;

constexpr ULONG kMaxLinkedSources = 9;

// The terminals the headset quirks name.
constexpr UCHAR kQuirkTerminal = 16;
constexpr UCHAR kQuirkSecondTerminal = 64;

// The descriptor subtype of a unit or terminal; 0 for an entity that is neither.
UCHAR SubtypeOf(adapter::IUacEntity* entity) {
  IUacUnit* unit = nullptr;
  if (!entity || !NT_SUCCESS(entity->QueryInterface(IID_IUacUnit, reinterpret_cast<PVOID*>(&unit)))) return 0;
  const UCHAR subtype = unit->GetSubtype();
  unit->Release();
  return subtype;
}

// What a unit's failed Init means when the unit named no reason itself.
const char* InitFailureWords(NTSTATUS status) {
  switch (status) {
    case STATUS_INSUFFICIENT_RESOURCES: return "could not get the memory its control nodes need";
    case STATUS_INVALID_PARAMETER: return "has a descriptor the unit cannot read";
    default: return "failed a request to the device while its controls were set up";
  }
}

// The subtypes of both class versions share the terminals and the mixer, selector and
// feature units; from 7 on they differ. Null: the version has no such subtype.
struct SubtypeName {
  UCHAR Subtype;
  const char* Uac1;
  const char* Uac2;
};
constexpr SubtypeName kSubtypeNames[] = {
    {AC_INPUT_TERMINAL, "input terminal", "input terminal"},
    {AC_OUTPUT_TERMINAL, "output terminal", "output terminal"},
    {AC_MIXER_UNIT, "mixer unit", "mixer unit"},
    {AC_SELECTOR_UNIT, "selector unit", "selector unit"},
    {AC_FEATURE_UNIT, "feature unit", "feature unit"},
    {7, "processing unit", "effect unit"},
    {8, "extension unit", "processing unit"},
    {9, nullptr, "extension unit"},
    {10, nullptr, "clock source"},
    {11, nullptr, "clock selector"},
    {12, nullptr, "clock multiplier"},
    {13, nullptr, "sample-rate converter"},
};
static_assert(AC1_PROCESSING_UNIT == 7 && AC1_EXTENSION_UNIT == 8 && AC2_EFFECT_UNIT == 7 &&
              AC2_PROCESSING_UNIT == 8 && AC2_EXTENSION_UNIT == 9 && AC2_CLOCK_SOURCE == 10 &&
              AC2_CLOCK_SELECTOR == 11 && AC2_CLOCK_MULTIPLIER == 12);

}  // namespace

const char* UnitSubtypeWords(UCHAR Protocol, UCHAR Subtype) {
  for (const SubtypeName& name : kSubtypeNames) {
    if (name.Subtype != Subtype) continue;
    const char* words = Protocol == kProtocolUac2 ? name.Uac2 : name.Uac1;
    return words ? words : "unit";
  }
  return "unit";
}

void CUac1Function::SetFault(ULONG Offset, UCHAR Subtype, UCHAR Id, const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  std::vsnprintf(m_FaultText, sizeof m_FaultText, Format, args);
  va_end(args);
  m_Fault = {Offset, Subtype, Id, m_FaultText};
}

CUac1Function::CUac1Function(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context)
    : CAudioHal(outerUnknown),
      m_VendorId(Context.VendorId),
      m_ProductId(Context.ProductId),
      m_Model{},
      m_nModelUnits(0),
      m_bHaveModel(Context.Model != nullptr),
      m_ModelStatus(Context.ModelStatus),
      m_nQuirks(0),
      m_nControlInterface(0),
      m_nStatusPipe(kNoPipe),
      m_nBulkPipe(kNoPipe),
      m_pControlInterfaceInfo(nullptr),
      m_pWorkerThread(nullptr),
      m_pUnitList(nullptr),
      m_pUsbDevice(nullptr),
      m_Fault{},
      m_FaultText{} {
  if (Context.Model) {
    m_nModelUnits = Context.ModelUnits < adapter::kModelStringUnits ? Context.ModelUnits : adapter::kModelStringUnits;
    RtlCopyMemory(m_Model, Context.Model, m_nModelUnits * sizeof(char16_t));
  }
  // The quirks that need no probe value are known from the start.
  m_nQuirks = LookUp(nullptr).Quirks;
  KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_ThreadEndedEvent, NotificationEvent, FALSE);
}

CUac1Function::~CUac1Function() {
  EndWorker();
  ReleaseUnits();
}

adapter::QuirkResult CUac1Function::LookUp(const USHORT* Probe) const {
  ULONG count = 0;
  const adapter::DeviceQuirk* table = Uac1QuirkTable(&count);
  const adapter::DeviceIdentity identity{m_VendorId, m_ProductId, m_bHaveModel ? m_Model : nullptr, m_nModelUnits};
  return adapter::LookUpQuirks(table, count, identity, Probe);
}

void CUac1Function::ReleaseUnits() {
  if (!m_pUnitList) return;
  m_pUnitList->ReleaseAll();
  delete m_pUnitList;
  m_pUnitList = nullptr;
}

STDMETHODIMP CUac1Function::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IUacFunction))
    return adapter::ReturnInterface<adapter::IUacFunction>(this, object);
  if (object && IsEqualGUID(iid, adapter::IID_IUacFunctionDescription))
    return adapter::ReturnInterface<adapter::IUacFunctionDescription>(this, object);
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CUac1Function::RegisterSubdevices(ULONG) { return RegisterChangedSubdevices(this, nullptr); }

STDMETHODIMP CUac1Function::GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) {
  if (!CallbackObject) return STATUS_UNSUCCESSFUL;
  *CallbackObject = CAudioHal::GetCallbackObject();
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Function::AddEntity(adapter::IUacEntity* Entity) {
  if (!Entity) return STATUS_INVALID_PARAMETER;
  if (!m_pUnitList) return STATUS_UNSUCCESSFUL;
  return m_pUnitList->Add(Entity) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CUac1Function::FindEntityById(ULONG Id, adapter::IUacEntity** Entity) {
  if (!Entity) return STATUS_UNSUCCESSFUL;
  *Entity = nullptr;
  if (!m_pUnitList) return STATUS_UNSUCCESSFUL;
  for (adapter::IUacEntity* entity : *m_pUnitList)
    if (entity->GetId() == Id) *Entity = entity;
  return *Entity ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1Function::GetUnit(ULONG Index, adapter::IUacEntity** Entity) {
  if (!Entity || !m_pUnitList) return STATUS_INVALID_PARAMETER;
  *Entity = m_pUnitList->GetAt(Index);
  return *Entity ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

STDMETHODIMP CUac1Function::GetUnit(ULONG Index, adapter::IUacEntity** Entity, PUCHAR Subtype) {
  if (!Subtype) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = GetUnit(Index, Entity);
  *Subtype = NT_SUCCESS(status) ? SubtypeOf(*Entity) : 0;
  return status;
}

STDMETHODIMP CUac1Function::GetCapabilityTemplate(adapter::EndpointCapabilityRecord* Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  *Record = m_CapabilityRecord;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(const char*) CUac1Function::GetDescriptorFault(PULONG Offset, PUCHAR Subtype) {
  if (Offset) *Offset = m_Fault.Offset;
  if (Subtype) *Subtype = m_Fault.Subtype;
  return m_Fault.Reason;
}

STDMETHODIMP CUac1Function::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                                 PDEVICE_OBJECT Pdo) {
  if (m_pUnitList) return STATUS_INVALID_DEVICE_STATE;
  m_pUnitList = new (NonPagedPool, kUac1FunctionTag) adapter::CRefList<adapter::IUacEntity>;
  if (!m_pUnitList) return STATUS_INSUFFICIENT_RESOURCES;
  return CAudioHal::Init(ResourceList, Fdo, LowerDevice, Pdo);
}

NTSTATUS CUac1Function::ReadVendorByte(adapter::IUsbAudioDevice* Device, UCHAR Request, USHORT Value, PUCHAR Byte) {
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kProbeBufferTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_VENDOR_OTHER;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  r.TransferBuffer = Byte;
  r.TransferBufferLength = 1;
  r.Request = Request;
  r.Value = Value;
  r.Index = 0;
  *Byte = 0;
  NTSTATUS status = Device->SubmitUrbSync(urb);
  ExFreePoolWithTag(urb, kProbeBufferTag);
  return status;
}

NTSTATUS CUac1Function::ReadProbeValue(adapter::IUsbAudioDevice* Device, const ModelProbe& Probe, PUSHORT Value) {
  *Value = 0;
  if (Probe.Registers == ProbeRegisters::ModelRegister) {
    UCHAR value = 0;
    NTSTATUS status = ReadVendorByte(Device, kRequestModelRegister, kModelRegister, &value);
    if (NT_SUCCESS(status)) *Value = value;
    return status;
  }
  UCHAR a = 0, b = 0;
  NTSTATUS status = ReadVendorByte(Device, kRequestChipRegister, kChipRegisterA, &a);
  if (NT_SUCCESS(status)) status = ReadVendorByte(Device, kRequestChipRegister, kChipRegisterB, &b);
  if (NT_SUCCESS(status)) *Value = static_cast<USHORT>(a | b << 8);
  return status;
}

void CUac1Function::SetProbeFault(const ModelProbe& Family, const USHORT* Value) {
  char prefix[16] = {};
  for (ULONG i = 0; i + 1 < sizeof prefix && Family.Prefix[i]; ++i) prefix[i] = static_cast<char>(Family.Prefix[i]);
  const bool chip = Family.Registers == ProbeRegisters::ChipRegisters;
  if (!Value)
    SetFault(0, 0, 0, "model \"%s\": %s could not be read", prefix,
             chip ? "its chip registers (vendor request 0x00, values 0x001A and 0x0020)"
                  : "its model register (vendor request 0x02, value 0x0051)");
  else if (chip)
    SetFault(0, 0, 0, "model \"%s\": its chip registers read 0x%02X and 0x%02X, which name no variant this function "
             "drives", prefix, *Value & 0xFF, *Value >> 8);
  else
    SetFault(0, 0, 0, "model \"%s\": its model register reads 0x%02X, which names no variant this function drives",
             prefix, *Value & 0xFF);
}

NTSTATUS CUac1Function::ProbeModel(adapter::IUsbAudioDevice* Device) {
  m_CapabilityRecord = {};
  const char16_t* model = m_bHaveModel ? m_Model : nullptr;
  const ModelProbe* family = FindModelProbe(model, m_nModelUnits);
  USHORT value = 0;
  if (family) {
    NTSTATUS status = ReadProbeValue(Device, *family, &value);
    if (!NT_SUCCESS(status)) {
      SetProbeFault(*family, nullptr);
      return status;
    }
  }
  const adapter::QuirkResult quirks = LookUp(family ? &value : nullptr);
  const bool accepted = (quirks.Quirks & QUIRK_PROBE_ACCEPTED) != 0;
  // A device without a model string is refused for the read's reason unless a row knows
  // it; so is a register value its family does not accept.
  if (!model && !accepted) {
    SetFault(0, 0, 0, "no model string at string index 0x50 or 0x32, and the device is not one that starts without it");
    return m_ModelStatus;
  }
  if (family && family->AcceptedValuesOnly && !accepted) {
    SetProbeFault(*family, &value);
    return STATUS_UNSUCCESSFUL;
  }
  m_CapabilityRecord = quirks.Record;
  m_nQuirks = quirks.Quirks;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1Function::ProbeDevice() {
  PVOID itf = nullptr;
  NTSTATUS status = GetOuterUnknown()->QueryInterface(adapter::IID_IUsbAudioDevice, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  // The units send their requests through the device; it outlives the function that it
  // aggregates, so they keep it without a reference.
  m_pUsbDevice = device;
  status = ProbeModel(device);
  if (NT_SUCCESS(status)) status = BuildControlTopology(device);
  if (NT_SUCCESS(status)) status = BuildStreamTopology(device);
  device->Release();
  return status;
}

NTSTATUS CUac1Function::BuildControlTopology(adapter::IUsbAudioDevice* Device) {
  PUSB_CONFIGURATION_DESCRIPTOR config = Device->GetConfigurationDescriptor();
  if (!config) return STATUS_UNSUCCESSFUL;
  PUSB_INTERFACE_DESCRIPTOR control =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, kAudioClass, kAudioControlSubclass, -1);
  if (!control) return STATUS_SUCCESS;
  m_nControlInterface = control->bInterfaceNumber;
  const ULONG offset = static_cast<ULONG>(reinterpret_cast<PUCHAR>(control) - reinterpret_cast<PUCHAR>(config));
  return BuildUnits(control, config->wTotalLength - offset);
}

NTSTATUS CUac1Function::BuildStreamTopology(adapter::IUsbAudioDevice* Device) {
  PUSB_CONFIGURATION_DESCRIPTOR config = Device->GetConfigurationDescriptor();
  if (!config) return STATUS_UNSUCCESSFUL;
  PUSB_INTERFACE_DESCRIPTOR streaming =
      USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, kAudioClass, kAudioStreamingSubclass, -1);
  if (!streaming) return STATUS_SUCCESS;
  const ULONG offset = static_cast<ULONG>(reinterpret_cast<PUCHAR>(streaming) - reinterpret_cast<PUCHAR>(config));
  return BuildFilters(config, streaming, config->wTotalLength - offset);
}

NTSTATUS CUac1Function::BuildUnitList(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes, UCHAR Protocol) {
  if (!ControlInterface || Bytes < sizeof(USB_INTERFACE_DESCRIPTOR) || ControlInterface->bInterfaceClass != kAudioClass ||
      ControlInterface->bInterfaceSubClass != kAudioControlSubclass || ControlInterface->bInterfaceProtocol != Protocol) {
    SetFault(0, 0, 0, "the Audio Control interface is missing, short or not of %s", GetClassName());
    return STATUS_INVALID_PARAMETER;
  }
  const char* name = Protocol == kProtocolUac1 ? "CUac1Function" : "CUac2Function";
  // Every descriptor read below has passed its length rule, and the unit (and clock)
  // sources form no cycle.
  NTSTATUS status = ValidateControlDescriptors(ControlInterface, Bytes, Protocol, &m_Fault);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s::BuildUnits descriptor at offset %u refused: %s\n", name, m_Fault.Offset, m_Fault.Reason);
    return status;
  }

  auto* base = reinterpret_cast<PUCHAR>(ControlInterface);
  for (ULONG offset = sizeof(USB_INTERFACE_DESCRIPTOR); offset < Bytes; offset += base[offset]) {
    PUCHAR d = base + offset;
    if (d[1] != kAcDescriptorType) break;
    const UCHAR subtype = d[2];
    if (subtype == AC_HEADER) continue;
    // Constructed with the descriptor's identifier, which its requests address; Init
    // creates the unit's control nodes.
    CUacUnit* unit = nullptr;
    status = CreateUnitAt(offset, d, &unit);
    if (!NT_SUCCESS(status)) return status;
    adapter::IUacEntity* entity = unit;
    status = unit->Init(d, m_pUsbDevice, this);
    if (!NT_SUCCESS(status)) {
      DbgPrint("%s::BuildUnits unit %u of subtype %u not built: 0x%08X\n", name, d[3], subtype, status);
      SetFault(offset, subtype, d[3], "%s %u %s", UnitSubtypeWords(Protocol, subtype), d[3],
               unit->RefusalReason() ? unit->RefusalReason() : InitFailureWords(status));
    } else {
      status = AddEntity(entity);
      if (!NT_SUCCESS(status))
        SetFault(offset, subtype, d[3], "no memory to list %s %u", UnitSubtypeWords(Protocol, subtype), d[3]);
    }
    entity->Release();
    if (!NT_SUCCESS(status)) return status;
  }

  status = LinkSources();
  if (!NT_SUCCESS(status)) SetFault(0, 0, 0, "the units could not be linked to their sources");
  return status;
}

NTSTATUS CUac1Function::CreateUnitAt(ULONG Offset, PUCHAR d, CUacUnit** Unit) {
  const UCHAR subtype = d[2];
  if (!FindLengthRule(kProtocolUac1, subtype)) {
    // Processing and extension units, and anything unknown, stop the build.
    if (subtype == AC1_PROCESSING_UNIT || subtype == AC1_EXTENSION_UNIT)
      SetFault(Offset, subtype, d[3], "%s %u is not supported, so the function is not built",
               UnitSubtypeWords(kProtocolUac1, subtype), d[3]);
    else
      SetFault(Offset, subtype, d[3], "descriptor subtype %u is not an Audio Control unit, so the function is not built",
               subtype);
    return STATUS_UNSUCCESSFUL;
  }
  if ((m_nQuirks & QUIRK_HEADPHONE_TERMINAL_16) && subtype == AC_OUTPUT_TERMINAL && d[3] == kQuirkTerminal &&
      (d[4] | d[5] << 8) == adapter::TERMINAL_SPEAKER) {
    d[4] = adapter::TERMINAL_HEADPHONES & 0xFF;  // the descriptor says speaker; it is a headphone jack
  }
  NTSTATUS status = CreateUac1Unit(subtype, d[3], Unit);
  if (!NT_SUCCESS(status))
    SetFault(Offset, subtype, d[3], "%s %u could not be created", UnitSubtypeWords(kProtocolUac1, subtype), d[3]);
  return status;
}

STDMETHODIMP CUac1Function::BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) {
  NTSTATUS status = BuildUnitList(ControlInterface, Bytes, kProtocolUac1);
  if (!NT_SUCCESS(status)) return status;

  // This headset's function is built only with both of its output terminals.
  if (m_nQuirks & QUIRK_OUTPUT_TERMINALS_16_AND_64) {
    for (UCHAR id : {kQuirkTerminal, kQuirkSecondTerminal}) {
      adapter::IUacEntity* entity = nullptr;
      status = FindEntityById(id, &entity);
      if (NT_SUCCESS(status) && SubtypeOf(entity) != AC_OUTPUT_TERMINAL) status = STATUS_UNSUCCESSFUL;
      if (!NT_SUCCESS(status)) {
        SetFault(0, 0, id, "this device needs an output terminal with ID %u, and the descriptors have none", id);
        return status;
      }
    }
  }
  return status;
}

// The output node of the unit with the identifier; false when there is no such unit or
// it has no nodes.
bool CUac1Function::OutputNodeOf(ULONG Id, PULONG NodeId) {
  adapter::IUacEntity* entity = nullptr;
  if (!NT_SUCCESS(FindEntityById(Id, &entity))) return false;
  IUacUnit* unit = nullptr;
  if (!NT_SUCCESS(entity->QueryInterface(IID_IUacUnit, reinterpret_cast<PVOID*>(&unit)))) return false;
  const bool found = NT_SUCCESS(unit->GetOutputNodeId(NodeId));
  unit->Release();
  return found;
}

// Connects each unit's first node to the output nodes of the units feeding it. Sources
// that name no unit (or a unit without nodes) are left out of the list.
NTSTATUS CUac1Function::LinkSources() {
  for (adapter::IUacEntity* entity : *m_pUnitList) {
    IUacUnit* unit = nullptr;
    if (!NT_SUCCESS(entity->QueryInterface(IID_IUacUnit, reinterpret_cast<PVOID*>(&unit)))) continue;
    ULONG output = 0;
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG count = entity->GetSourceCount();
    if (NT_SUCCESS(unit->GetOutputNodeId(&output)) && count >= 1 && count <= kMaxLinkedSources) {
      ULONG listed = 0;
      const ULONG* sources = nullptr;
      ULONG nodes[kMaxLinkedSources];
      ULONG linked = 0;
      if (NT_SUCCESS(entity->GetSources(&listed, &sources)) && sources)
        for (ULONG i = 0; i < listed && i < kMaxLinkedSources; ++i) {
          adapter::IUacEntity* named = nullptr;
          if (m_bStopAtUnknownSource && !NT_SUCCESS(FindEntityById(sources[i], &named))) {
            unit->Release();
            return STATUS_SUCCESS;
          }
          if (OutputNodeOf(sources[i], &nodes[linked])) ++linked;
        }
      if (linked) status = unit->SetInputSources(linked, nodes);
    }
    unit->Release();
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1Function::GetCapabilityRecord(ULONG Direction, ULONG EndpointType,
                                                adapter::EndpointCapabilityRecord* Record) {
  if (!Record) return STATUS_UNSUCCESSFUL;
  *Record = {};
  constexpr ULONG kTypeSpdif = 3;
  constexpr ULONG kTypeMic = 7;
  constexpr ULONG kCapture = 1;
  if (EndpointType == kTypeSpdif && !(m_nQuirks & QUIRK_SPDIF_RECORD)) return STATUS_SUCCESS;
  Record->CapabilityMask = m_CapabilityRecord.CapabilityMask;
  if ((m_nQuirks & QUIRK_CAPTURE_MIC_BIT) && Direction == kCapture && EndpointType == kTypeMic)
    Record->CapabilityMask |= kCaptureMicCapability;
  if (!(m_nQuirks & QUIRK_NO_SECOND_VALUE)) Record->SecondValue = m_CapabilityRecord.SecondValue;
  Record->FeatureFlags = m_CapabilityRecord.FeatureFlags;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1Function::GetEngineCapabilityRecord(ULONG Index, adapter::EndpointCapabilityRecord* Record) {
  ULONG direction = 0, type = 0;
  const ULONG count = GetEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(GetEngine(i, &engine))) break;
    type = engine->GetEndpointType();
    direction = engine->GetDirection();
    if (i == Index) break;
  }
  return GetCapabilityRecord(direction, type, Record);
}

NTSTATUS CreateUac1Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context) {
  return adapter::CreateNonDelegatingInstance<CUac1Function>(Unknown, OuterUnknown, NonPagedPool, kUac1FunctionTag,
                                                             Context);
}

}  // namespace uac
