#include "uac/uac1_function.h"

#include <cstdarg>
#include <cstdio>

#include "adapter/object_model.h"
#include "uac/uac_unit.h"
#include "uac/unit_interfaces.h"
#include "usb/usbdlib.h"

namespace uac {
namespace {

constexpr UCHAR kAudioClass = 1;
constexpr UCHAR kAudioControlSubclass = 1;
constexpr UCHAR kAudioStreamingSubclass = 2;

// Vendor requests of the probe: device-to-host, recipient "other".
constexpr UCHAR kRequestModelRegister = 0x02;
constexpr USHORT kModelRegister = 0x0051;
constexpr UCHAR kRequestChipRegister = 0x00;
constexpr USHORT kChipRegisterA = 0x001A;
constexpr USHORT kChipRegisterB = 0x0020;

constexpr ULONG kMaxLinkedSources = 9;

constexpr USHORT kVendorHeadsetMaker = 0x1B1C;
constexpr USHORT kProductHeadsetQuirk = 0x0A04;

// The name a refusal gives a descriptor of the subtype.
const char* SubtypeWords(UCHAR subtype) {
  switch (subtype) {
    case AC_INPUT_TERMINAL: return "input terminal";
    case AC_OUTPUT_TERMINAL: return "output terminal";
    case AC_MIXER_UNIT: return "mixer unit";
    case AC_SELECTOR_UNIT: return "selector unit";
    case AC_FEATURE_UNIT: return "feature unit";
    case AC1_PROCESSING_UNIT: return "processing unit";
    case AC1_EXTENSION_UNIT: return "extension unit";
    default: return "unit";
  }
}

// What a unit's failed Init means when the unit named no reason itself.
const char* InitFailureWords(NTSTATUS status) {
  switch (status) {
    case STATUS_INSUFFICIENT_RESOURCES: return "could not get the memory its control nodes need";
    case STATUS_INVALID_PARAMETER: return "has a descriptor the unit cannot read";
    default: return "failed a request to the device while its controls were set up";
  }
}

}  // namespace

void CUac1Function::SetFault(ULONG Offset, UCHAR Subtype, UCHAR Id, const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  std::vsnprintf(m_FaultText, sizeof m_FaultText, Format, args);
  va_end(args);
  m_Fault = {Offset, Subtype, Id, m_FaultText};
}

bool ModelStartsWith(const char16_t* Model, ULONG Units, const char* Prefix) {
  if (!Model || !Prefix) return false;
  ULONG i = 0;
  for (; Prefix[i]; ++i)
    if (i >= Units || Model[i] != static_cast<char16_t>(static_cast<unsigned char>(Prefix[i]))) return false;
  return true;
}

CUac1Function::CUac1Function(PUNKNOWN outerUnknown, USHORT VendorId, USHORT ProductId)
    : CAudioHal(outerUnknown),
      m_VendorId(VendorId),
      m_ProductId(ProductId),
      m_nControlInterface(0),
      m_nStatusPipe(0xFF),
      m_pUnitList(nullptr),
      m_pUsbDevice(nullptr),
      m_Fault{},
      m_FaultText{} {}

CUac1Function::~CUac1Function() { ReleaseUnits(); }

void CUac1Function::ReleaseUnits() {
  if (!m_pUnitList) return;
  PVOID entry = nullptr;
  while (m_pUnitList->RemoveHead(&entry)) static_cast<adapter::IUacEntity*>(entry)->Release();
  delete m_pUnitList;
  m_pUnitList = nullptr;
}

STDMETHODIMP CUac1Function::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IUacFunction))
    return adapter::ReturnInterface<adapter::IUacFunction>(this, object);
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CUac1Function::GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) {
  if (!CallbackObject) return STATUS_UNSUCCESSFUL;
  *CallbackObject = CAudioHal::GetCallbackObject();
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Function::AddEntity(adapter::IUacEntity* Entity) {
  if (!Entity) return STATUS_INVALID_PARAMETER;
  if (!m_pUnitList) return STATUS_UNSUCCESSFUL;
  Entity->AddRef();
  if (!m_pUnitList->AddTail(Entity)) {
    Entity->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Function::FindEntityById(ULONG Id, adapter::IUacEntity** Entity) {
  if (!Entity) return STATUS_UNSUCCESSFUL;
  *Entity = nullptr;
  if (!m_pUnitList) return STATUS_UNSUCCESSFUL;
  adapter::POSITION position = m_pUnitList->GetHeadPosition();
  PVOID data = nullptr;
  while (m_pUnitList->GetNext(&position, &data)) {
    auto* entity = static_cast<adapter::IUacEntity*>(data);
    if (entity->GetId() == Id) *Entity = entity;
  }
  return *Entity ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1Function::GetUnit(ULONG Index, adapter::IUacEntity** Entity) {
  if (!Entity || !m_pUnitList) return STATUS_INVALID_PARAMETER;
  PVOID entry = nullptr;
  if (!m_pUnitList->GetAt(Index, &entry)) return STATUS_INVALID_PARAMETER;
  *Entity = static_cast<adapter::IUacEntity*>(entry);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac1Function::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                                 PDEVICE_OBJECT Pdo) {
  if (m_pUnitList) return STATUS_INVALID_DEVICE_STATE;
  m_pUnitList = new (NonPagedPool, kUac1FunctionTag) adapter::CPtrList;
  if (!m_pUnitList) return STATUS_INSUFFICIENT_RESOURCES;
  return CAudioHal::Init(ResourceList, Fdo, LowerDevice, Pdo);
}

NTSTATUS CUac1Function::ReadString(adapter::IUsbAudioDevice* Device, PURB Urb, UCHAR Index, PUCHAR Buffer,
                                   PULONG Transferred) {
  RtlZeroMemory(Urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  RtlZeroMemory(Buffer, kModelStringBufferBytes);
  auto& r = Urb->UrbControlDescriptorRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.TransferBuffer = Buffer;
  r.TransferBufferLength = kModelStringBufferBytes;
  r.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
  r.Index = Index;
  r.LanguageId = kLanguageEnglish;
  NTSTATUS status = Device->SubmitUrbSync(Urb);
  *Transferred = NT_SUCCESS(status) && r.TransferBufferLength < kModelStringBufferBytes ? r.TransferBufferLength
                 : NT_SUCCESS(status)                                                     ? kModelStringBufferBytes
                                                                                          : 0;
  return status;
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

NTSTATUS CUac1Function::ProbeModel(adapter::IUsbAudioDevice* Device, const char16_t* Model, ULONG Units,
                                   NTSTATUS ReadStatus) {
  adapter::EndpointCapabilityRecord& t = m_CapabilityRecord;
  t = {};
  if (!Model) {
    if (m_VendorId == kVendorHeadsetMaker && m_ProductId == kProductHeadsetQuirk) {
      t.CapabilityMask = 0x24;
      return STATUS_SUCCESS;
    }
    if (m_VendorId == 0x047F && m_ProductId == 0xD957) {
      t.CapabilityMask = 0x3C0264;
      t.SecondValue = 12;
      return STATUS_SUCCESS;
    }
    SetFault(0, 0, 0, "no model string at string index 0x50 or 0x32, and the device is not one that starts without it");
    return ReadStatus;
  }
  if (ModelStartsWith(Model, Units, "7426")) {
    UCHAR value = 0;
    NTSTATUS status = ReadVendorByte(Device, kRequestModelRegister, kModelRegister, &value);
    if (!NT_SUCCESS(status)) {
      SetFault(0, 0, 0, "model \"7426\": its model register (vendor request 0x02, value 0x0051) could not be read");
      return status;
    }
    if (value == 0x1F) {
      t.CapabilityMask = 0x3E10A0;
      if (m_VendorId == 0x09DA && m_ProductId >= 0x2701 && m_ProductId <= 0x2703) t.CapabilityMask = 0x3E00A5;
      if (m_VendorId == 0x0E7A && m_ProductId == 0x0065) t.CapabilityMask &= ~0x1000u;
      t.FeatureFlags = 65;
    }
    return STATUS_SUCCESS;
  }
  if (ModelStartsWith(Model, Units, "QVK710")) {
    UCHAR a = 0, b = 0;
    NTSTATUS status = ReadVendorByte(Device, kRequestChipRegister, kChipRegisterA, &a);
    if (NT_SUCCESS(status)) status = ReadVendorByte(Device, kRequestChipRegister, kChipRegisterB, &b);
    if (!NT_SUCCESS(status)) {
      SetFault(0, 0, 0, "model \"QVK710\": its chip registers (vendor request 0x00, values 0x001A and 0x0020) could not "
                        "be read");
      return status;
    }
    if ((b & 0x02) == 0 && (a & 0x0E) == 0x08) {
      t.CapabilityMask = 0x3E087;
    } else if ((b & 0x02) == 0 && (a & 0x0E) == 0x0E) {
      t.CapabilityMask = 0x3E087;
      t.FeatureFlags = 2;
    } else {
      SetFault(0, 0, 0, "model \"QVK710\": its chip registers read 0x%02X and 0x%02X, which name no variant this "
               "function drives", a, b);
      return STATUS_UNSUCCESSFUL;
    }
  }
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

  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kModelStringBufferBytes, kProbeBufferTag));
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kProbeBufferTag));
  if (!buffer || !urb) {
    SetFault(0, 0, 0, "no memory for the model-string read");
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    ULONG got = 0;
    status = ReadString(device, urb, kModelStringIndex, buffer, &got);
    if (!NT_SUCCESS(status)) status = ReadString(device, urb, kModelStringFallbackIndex, buffer, &got);
    // The text is what both bLength and the transfer cover, in whole UTF-16 units.
    char16_t model[kModelStringBufferBytes / 2] = {};
    ULONG units = 0;
    if (NT_SUCCESS(status) && got >= 2) {
      ULONG bytes = buffer[0] < got ? buffer[0] : got;
      units = bytes >= 2 ? (bytes - 2) / 2 : 0;
      RtlCopyMemory(model, buffer + 2, units * 2);
    }
    status = ProbeModel(device, NT_SUCCESS(status) ? model : nullptr, units, status);
    if (NT_SUCCESS(status)) status = BuildControlTopology(device);
    if (NT_SUCCESS(status)) status = BuildStreamTopology(device);
  }
  if (urb) ExFreePoolWithTag(urb, kProbeBufferTag);
  if (buffer) ExFreePoolWithTag(buffer, kProbeBufferTag);
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

STDMETHODIMP CUac1Function::BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) {
  if (!ControlInterface || Bytes < sizeof(USB_INTERFACE_DESCRIPTOR) || ControlInterface->bInterfaceClass != kAudioClass ||
      ControlInterface->bInterfaceSubClass != kAudioControlSubclass ||
      ControlInterface->bInterfaceProtocol != kProtocolUac1) {
    SetFault(0, 0, 0, "the Audio Control interface is missing, short or not of USB Audio Class 1.0");
    return STATUS_INVALID_PARAMETER;
  }
  // Every descriptor read below has passed its length rule, and the sources form no cycle.
  NTSTATUS status = ValidateControlDescriptors(ControlInterface, Bytes, kProtocolUac1, &m_Fault);
  if (!NT_SUCCESS(status)) {
    DbgPrint("CUac1Function::BuildUnits descriptor at offset %u refused: %s\n", m_Fault.Offset, m_Fault.Reason);
    return status;
  }

  auto* base = reinterpret_cast<PUCHAR>(ControlInterface);
  for (ULONG offset = sizeof(USB_INTERFACE_DESCRIPTOR); offset < Bytes; offset += base[offset]) {
    PUCHAR d = base + offset;
    if (d[1] != kAcDescriptorType) break;
    const UCHAR subtype = d[2];
    if (subtype == AC_HEADER) continue;
    const LengthRule* rule = FindLengthRule(kProtocolUac1, subtype);
    if (!rule) {
      // Processing and extension units, and anything unknown, stop the build.
      if (subtype == AC1_PROCESSING_UNIT || subtype == AC1_EXTENSION_UNIT)
        SetFault(offset, subtype, d[3], "%s %u is not supported, so the function is not built", SubtypeWords(subtype),
                 d[3]);
      else
        SetFault(offset, subtype, d[3], "descriptor subtype %u is not an Audio Control unit, so the function is not built",
                 subtype);
      return STATUS_UNSUCCESSFUL;
    }
    if (subtype == AC_OUTPUT_TERMINAL && m_VendorId == kVendorHeadsetMaker && d[3] == 16 && d[4] == 0x01 &&
        d[5] == 0x03) {
      d[4] = 0x02;  // this maker's speaker terminal 16 is a headphone jack
    }
    // Constructed with the descriptor's identifier, which its requests address; Init
    // creates the unit's control nodes.
    CUacUnit* unit = nullptr;
    if (!NT_SUCCESS(CreateUac1Unit(subtype, d[3], &unit))) {
      SetFault(offset, subtype, d[3], "no memory for %s %u", SubtypeWords(subtype), d[3]);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    adapter::IUacEntity* entity = unit;
    status = unit->Init(d, m_pUsbDevice, this);
    if (!NT_SUCCESS(status)) {
      DbgPrint("CUac1Function::BuildUnits unit %u of subtype %u not built: 0x%08X\n", d[3], subtype, status);
      SetFault(offset, subtype, d[3], "%s %u %s", SubtypeWords(subtype), d[3],
               unit->RefusalReason() ? unit->RefusalReason() : InitFailureWords(status));
    } else {
      status = AddEntity(entity);
      if (!NT_SUCCESS(status)) SetFault(offset, subtype, d[3], "no memory to list %s %u", SubtypeWords(subtype), d[3]);
    }
    entity->Release();
    if (!NT_SUCCESS(status)) return status;
  }

  status = LinkSources();
  if (!NT_SUCCESS(status)) {
    SetFault(0, 0, 0, "the units could not be linked to their sources");
    return status;
  }

  // This headset's function is built only with both of its output terminals.
  if (m_VendorId == kVendorHeadsetMaker && m_ProductId == kProductHeadsetQuirk) {
    for (ULONG id : {16u, 64u}) {
      adapter::IUacEntity* entity = nullptr;
      status = FindEntityById(id, &entity);
      if (NT_SUCCESS(status) && entity->GetType() != AC_OUTPUT_TERMINAL) status = STATUS_UNSUCCESSFUL;
      if (!NT_SUCCESS(status)) {
        SetFault(0, 0, static_cast<UCHAR>(id), "this device needs an output terminal with ID %u, and the descriptors have none", id);
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
  adapter::POSITION position = m_pUnitList->GetHeadPosition();
  PVOID data = nullptr;
  while (m_pUnitList->GetNext(&position, &data)) {
    auto* entity = static_cast<adapter::IUacEntity*>(data);
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
        for (ULONG i = 0; i < listed && i < kMaxLinkedSources; ++i)
          if (OutputNodeOf(sources[i], &nodes[linked])) ++linked;
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
  if (m_VendorId == 0x0E7A && m_ProductId == 0x0058) {
    Record->CapabilityMask = m_CapabilityRecord.CapabilityMask;
    if (Direction == kCapture && EndpointType == kTypeMic) Record->CapabilityMask |= 0x800000;
    Record->FeatureFlags = m_CapabilityRecord.FeatureFlags;
    return STATUS_SUCCESS;
  }
  if (EndpointType == kTypeSpdif) return STATUS_SUCCESS;
  Record->CapabilityMask = m_CapabilityRecord.CapabilityMask;
  Record->SecondValue = m_CapabilityRecord.SecondValue;
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

NTSTATUS CreateUac1Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, USHORT VendorId, USHORT ProductId) {
  return adapter::CreateNonDelegatingInstance<CUac1Function>(Unknown, OuterUnknown, NonPagedPool, kUac1FunctionTag,
                                                             VendorId, ProductId);
}

void RegisterFunctionFactories() { adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, CreateUac1Function); }

}  // namespace uac
