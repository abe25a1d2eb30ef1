// Filter and pin properties of the topology filter: the device-extension version, the
// jack descriptions of a pin's terminal (both KS forms) and its endpoint capability
// record.
#include <cstring>

#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "filters/topology_property_sets.h"
#include "topology_handlers.h"

namespace filters {

using adapter::ScopedRelease;

namespace {

inline constexpr ULONG kTempPoolTag = MakePoolTag('T', 'e', 'm', 'p');

enum class PinProperty { JackDescription, JackDescription2, CapabilityRecord };

// The terminal behind the pin a pin request names (its instance's first u32).
NTSTATUS RequestTerminal(PPCPROPERTY_REQUEST request, ScopedRelease<adapter::ITerminalNode>* terminal) {
  CMiniportTopology* miniport = CMiniportTopology::FromTarget(request->MajorTarget);
  ULONG pin = 0;
  if (!miniport || !request->Instance || request->InstanceSize < sizeof(ULONG)) return STATUS_INVALID_DEVICE_REQUEST;
  std::memcpy(&pin, request->Instance, sizeof(pin));
  adapter::IUacEntity* entity = miniport->GetPinEntity(pin);
  if (!entity) return STATUS_INVALID_DEVICE_REQUEST;
  return entity->QueryInterface(adapter::IID_ITerminalNode, terminal->out());
}

// The pin's jack records, read into a paged block the caller frees; a pin without jacks
// has nothing to describe.
NTSTATUS ReadJacks(adapter::ITerminalNode* terminal, ULONG* count, adapter::JackRecord** records) {
  *records = nullptr;
  NTSTATUS status = terminal->GetState(count, 0);
  if (!NT_SUCCESS(status)) return status;
  if (*count == 0) return STATUS_INVALID_DEVICE_REQUEST;
  const ULONGLONG bytes = static_cast<ULONGLONG>(*count) * sizeof(adapter::JackRecord);
  if (bytes > 0xFFFFFFFFull) return STATUS_INVALID_DEVICE_REQUEST;
  auto* block = static_cast<adapter::JackRecord*>(
      ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(bytes), kTempPoolTag));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(block, 0, static_cast<SIZE_T>(bytes));
  status = terminal->GetJackDescriptions(static_cast<ULONG>(bytes), block, 0);
  if (!NT_SUCCESS(status)) {
    ExFreePool(block);
    return status;
  }
  *records = block;
  return STATUS_SUCCESS;
}

NTSTATUS AnswerJacks(PPCPROPERTY_REQUEST request, adapter::ITerminalNode* terminal, bool second) {
  ULONG count = 0;
  adapter::JackRecord* jacks = nullptr;
  NTSTATUS status = ReadJacks(terminal, &count, &jacks);
  if (!NT_SUCCESS(status)) return status;
  const ULONG item = second ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
  status = CheckAnswerSize(request, sizeof(KSMULTIPLE_ITEM) + static_cast<ULONGLONG>(count) * item);
  if (NT_SUCCESS(status)) {
    BYTE* out = static_cast<BYTE*>(request->Value);
    const KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + static_cast<ULONGLONG>(count) * item),
                                 count};
    std::memcpy(out, &header, sizeof(header));
    out += sizeof(header);
    for (ULONG i = 0; i < count; ++i, out += item) {
      const adapter::JackRecord& r = jacks[i];
      if (second) {
        // A jack whose reserved word has bit 0 set cannot report presence.
        KSJACK_DESCRIPTION2 d{0, (r.Flags & 1) ? 0u : JACKDESC2_PRESENCE_DETECT_CAPABILITY};
        std::memcpy(out, &d, sizeof(d));
      } else {
        KSJACK_DESCRIPTION d{r.ChannelMapping,
                             r.Color,
                             static_cast<EPcxConnectionType>(r.ConnectionType),
                             static_cast<EPcxGeoLocation>(r.GeoLocation),
                             static_cast<EPcxGenLocation>(r.GenLocation),
                             static_cast<EPxcPortConnection>(r.PortConnection),
                             static_cast<INT>(r.IsConnected)};
        std::memcpy(out, &d, sizeof(d));
      }
    }
    request->ValueSize = header.Size;
  }
  ExFreePool(jacks);
  return status;
}

NTSTATUS AnswerPinProperty(PPCPROPERTY_REQUEST request, PinProperty property) {
  if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    BasicSupport support{kAccessGetBasic, VT_EMPTY, false, 0, 0, 0, nullptr, 0, false};
    return AnswerBasicSupport(request, support);
  }
  if (!(request->Verb & KSPROPERTY_TYPE_GET)) return STATUS_INVALID_DEVICE_REQUEST;
  ScopedRelease<adapter::ITerminalNode> terminal;
  NTSTATUS status = RequestTerminal(request, &terminal);
  if (!NT_SUCCESS(status)) return status;
  switch (property) {
    case PinProperty::JackDescription: return AnswerJacks(request, terminal.get(), false);
    case PinProperty::JackDescription2: return AnswerJacks(request, terminal.get(), true);
    case PinProperty::CapabilityRecord: {
      status = CheckAnswerSize(request, sizeof(adapter::EndpointCapabilityRecord));
      if (!NT_SUCCESS(status)) return status;
      adapter::EndpointCapabilityRecord record{};
      status = terminal->GetJackInfo(&record);
      return NT_SUCCESS(status) ? AnswerBytes(request, &record, sizeof(record)) : status;
    }
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

NTSTATUS FilterPropertyHandler(PPCPROPERTY_REQUEST Request) {
  const GUID& set = *Request->PropertyItem->Set;
  const ULONG id = Request->PropertyItem->Id;
  if (IsEqualGUID(set, KSPROPSETID_DeviceExtension) && id == KSPROPERTY_DEVICEEXTENSION_VERSION) {
    if (!(Request->Verb & KSPROPERTY_TYPE_GET)) return STATUS_INVALID_DEVICE_REQUEST;
    if (!Request->Value || Request->ValueSize < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    return AnswerU32(Request, kDeviceExtensionVersion);
  }
  if ((IsEqualGUID(set, KSPROPSETID_DeviceExtension) && id == KSPROPERTY_DEVICEEXTENSION_JACK_DESCRIPTION) ||
      (IsEqualGUID(set, KSPROPSETID_Jack) && id == KSPROPERTY_JACK_DESCRIPTION))
    return AnswerPinProperty(Request, PinProperty::JackDescription);
  if (IsEqualGUID(set, KSPROPSETID_Jack) && id == KSPROPERTY_JACK_DESCRIPTION2)
    return AnswerPinProperty(Request, PinProperty::JackDescription2);
  if (IsEqualGUID(set, KSPROPSETID_JackInfo) && id == KSPROPERTY_JACKINFO_CAPABILITY_RECORD)
    return AnswerPinProperty(Request, PinProperty::CapabilityRecord);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace filters
