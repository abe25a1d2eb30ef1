// The topology filter's automation tables, the node classes of the private node types,
// the control-change event handler and the answer helpers the property handlers share.
#include <cstring>

#include "adapter/node_interfaces.h"
#include "filters/topology_property_sets.h"
#include "topology_handlers.h"

namespace filters {

namespace {

constexpr ULONG GET = PCPROPERTY_ITEM_FLAG_GET;
constexpr ULONG SET = PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG BASIC = PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

template <ULONG N>
constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM (&properties)[N], const PCEVENT_ITEM* events,
                                   ULONG eventCount) {
  return PCAUTOMATION_TABLE{sizeof(PCPROPERTY_ITEM), N, properties, sizeof(PCMETHOD_ITEM), 0, nullptr,
                            sizeof(PCEVENT_ITEM), eventCount, events, 0};
}

const PCEVENT_ITEM kControlChange[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, ControlChangeEventHandler},
};

const PCPROPERTY_ITEM kFilterProperties[] = {
    {&KSPROPSETID_DeviceExtension, KSPROPERTY_DEVICEEXTENSION_VERSION, GET, FilterPropertyHandler},
    {&KSPROPSETID_DeviceExtension, KSPROPERTY_DEVICEEXTENSION_JACK_DESCRIPTION, GET | BASIC, FilterPropertyHandler},
    {&KSPROPSETID_JackInfo, KSPROPERTY_JACKINFO_CAPABILITY_RECORD, GET | BASIC, FilterPropertyHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET | BASIC, FilterPropertyHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET | BASIC, FilterPropertyHandler},
};
const PCPROPERTY_ITEM kMuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GET | SET | BASIC, OnOffPropertyHandler},
};
const PCPROPERTY_ITEM kVolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GET | SET | BASIC, LevelPropertyHandler},
    {&KSPROPSETID_DeviceExtension, KSPROPERTY_DEVICEEXTENSION_LEVEL_WITH_EVENT, SET, LevelPropertyHandler},
};
const PCPROPERTY_ITEM kToneProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, GET | SET | BASIC, LevelPropertyHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, GET | SET | BASIC, LevelPropertyHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, GET | SET | BASIC, LevelPropertyHandler},
    {&KSPROPSETID_DeviceExtension, KSPROPERTY_DEVICEEXTENSION_LEVEL_WITH_EVENT, SET, LevelPropertyHandler},
};
const PCPROPERTY_ITEM kAgcProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, GET | SET | BASIC, OnOffPropertyHandler},
};
const PCPROPERTY_ITEM kLoudnessProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, GET | SET | BASIC, OnOffPropertyHandler},
};
const PCPROPERTY_ITEM kMuxProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, GET | SET, MuxPropertyHandler},
};
const PCPROPERTY_ITEM kDeviceSpecificProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, DevicePropertyHandler},
};
const PCPROPERTY_ITEM kPrivateProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, DevicePropertyHandler},
    {&KSPROPSETID_NodeClass, KSPROPERTY_NODECLASS_GUID, GET, NodeClassPropertyHandler},
};
const PCPROPERTY_ITEM kTerminalKindProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET | BASIC, DevicePropertyHandler},
    {&KSPROPSETID_NodeClass, KSPROPERTY_NODECLASS_GUID, GET, NodeClassPropertyHandler},
    {&KSPROPSETID_TerminalKind, KSPROPERTY_TERMINALKIND_KINDS, GET, DevicePropertyHandler},
    {&KSPROPSETID_TerminalKind, KSPROPERTY_TERMINALKIND_KIND, GET, DevicePropertyHandler},
};
const PCPROPERTY_ITEM kValueTableProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET | BASIC, DevicePropertyHandler},
    {&KSPROPSETID_NodeClass, KSPROPERTY_NODECLASS_GUID, GET, NodeClassPropertyHandler},
    {&KSPROPSETID_ValueTable, KSPROPERTY_VALUETABLE_GUID, GET, DevicePropertyHandler},
    {&KSPROPSETID_ValueTable, KSPROPERTY_VALUETABLE_COUNT, GET, DevicePropertyHandler},
    {&KSPROPSETID_ValueTable, KSPROPERTY_VALUETABLE_SET_RANGE, SET, DevicePropertyHandler},
    {&KSPROPSETID_ValueTable, KSPROPERTY_VALUETABLE_GET_RANGE, GET, DevicePropertyHandler},
    {&KSPROPSETID_ValueTable, KSPROPERTY_VALUETABLE_ENTRY, GET, DevicePropertyHandler},
};
const PCPROPERTY_ITEM kEffectProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, DevicePropertyHandler},
    {&KSPROPSETID_NodeClass, KSPROPERTY_NODECLASS_GUID, GET, NodeClassPropertyHandler},
    {&KSPROPSETID_EffectParameters, KSPROPERTY_EFFECT_NODE_TYPE, GET, DevicePropertyHandler},
    {&KSPROPSETID_EffectParameters, KSPROPERTY_EFFECT_PARAMETER, GET, DevicePropertyHandler},
    {&KSPROPSETID_EffectParameters, KSPROPERTY_EFFECT_ENTRY, GET, DevicePropertyHandler},
    {&KSPROPSETID_EffectParameters, KSPROPERTY_EFFECT_RANGE, GET | SET, DevicePropertyHandler},
};

const PCAUTOMATION_TABLE kFilterTable = Table(kFilterProperties, nullptr, 0);
const PCAUTOMATION_TABLE kMuteTable = Table(kMuteProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kVolumeTable = Table(kVolumeProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kToneTable = Table(kToneProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kAgcTable = Table(kAgcProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kLoudnessTable = Table(kLoudnessProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kMuxTable = Table(kMuxProperties, nullptr, 0);
const PCAUTOMATION_TABLE kDeviceSpecificTable = Table(kDeviceSpecificProperties, nullptr, 0);
const PCAUTOMATION_TABLE kPrivateTable = Table(kPrivateProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kTerminalKindTable = Table(kTerminalKindProperties, kControlChange, 1);
const PCAUTOMATION_TABLE kValueTableTable = Table(kValueTableProperties, nullptr, 0);
const PCAUTOMATION_TABLE kEffectTable = Table(kEffectProperties, kControlChange, 1);

// Node classes of the private node types.
KS_DEFINE_GUID(kGainPadClass, 0xBAE3AD68, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D, 0x7A);
KS_DEFINE_GUID(kTerminalKindClass, 0x0D18F5A4, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB);
KS_DEFINE_GUID(kCaptureSwitchClass, 0x97491449, 0xE534, 0x4A7E, 0xB1, 0x4F, 0x94, 0x1B, 0x20, 0x7D, 0x58, 0x6D);
KS_DEFINE_GUID(kRangedValueClass, 0xA63DF7EA, 0x8A37, 0x450D, 0x83, 0x2C, 0x5B, 0x90, 0x64, 0x23, 0x58, 0x51);
KS_DEFINE_GUID(kVendorSwitchClass, 0xFDA49636, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6);
KS_DEFINE_GUID(kGainSwitchClass, 0xDB357A6F, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47);

}  // namespace

const PCAUTOMATION_TABLE* FilterAutomationTable() { return &kFilterTable; }

const PCAUTOMATION_TABLE* NodeAutomationTable(NodeTable table) {
  switch (table) {
    case NodeTable::None: return nullptr;
    case NodeTable::Mute: return &kMuteTable;
    case NodeTable::Volume: return &kVolumeTable;
    case NodeTable::Tone: return &kToneTable;
    case NodeTable::Agc: return &kAgcTable;
    case NodeTable::Loudness: return &kLoudnessTable;
    case NodeTable::Mux: return &kMuxTable;
    case NodeTable::DeviceSpecific: return &kDeviceSpecificTable;
    case NodeTable::Private: return &kPrivateTable;
    case NodeTable::TerminalKind: return &kTerminalKindTable;
    case NodeTable::ValueTable: return &kValueTableTable;
    case NodeTable::Effect: return &kEffectTable;
  }
  return nullptr;
}

const GUID* NodeClassGuid(ULONG type) {
  switch (type) {
    case adapter::NODE_INPUT_GAIN_PAD: return &kGainPadClass;
    case adapter::NODE_TERMINAL_KIND: return &kTerminalKindClass;
    case adapter::NODE_CAPTURE_SWITCH: return &kCaptureSwitchClass;
    case adapter::NODE_RANGED_VALUE: return &kRangedValueClass;
    case adapter::NODE_VENDOR_SWITCH:
    case adapter::NODE_CAPTURE_VENDOR_SWITCH: return &kVendorSwitchClass;
    case adapter::NODE_VALUE_TABLE: return &KSPROPSETID_ValueTable;
    case adapter::NODE_GAIN_SWITCH: return &kGainSwitchClass;
    case adapter::NODE_VENDOR_EFFECT: return &KSPROPSETID_EffectParameters;
    default: return nullptr;
  }
}

NTSTATUS ControlChangeEventHandler(PPCEVENT_REQUEST Request) {
  CMiniportTopology* miniport = Request ? CMiniportTopology::FromTarget(Request->MajorTarget) : nullptr;
  if (!miniport || Request->Node >= miniport->GetNodeCount()) return STATUS_INVALID_PARAMETER;
  switch (Request->Verb) {
    case PCEVENT_VERB_ADD: return miniport->AddEvent(Request->EventEntry);
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT: return STATUS_SUCCESS;
    default: return STATUS_INVALID_PARAMETER;
  }
}

// ---------------------------------------------------------------------------------------
// Answer helpers

NTSTATUS RequestNode(PPCPROPERTY_REQUEST Request, CMiniportTopology** Miniport, adapter::IUacEntity** Entity,
                     PULONG Type) {
  CMiniportTopology* miniport = CMiniportTopology::FromTarget(Request->MajorTarget);
  adapter::IUacEntity* entity = miniport ? miniport->GetNodeEntity(Request->Node) : nullptr;
  if (!entity) return STATUS_INVALID_PARAMETER;
  *Miniport = miniport;
  *Entity = entity;
  *Type = miniport->GetNodeType(Request->Node);
  return STATUS_SUCCESS;
}

NTSTATUS InstanceU32(PPCPROPERTY_REQUEST Request, PULONG Value) {
  if (!Request->Instance || Request->InstanceSize < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  std::memcpy(Value, Request->Instance, sizeof(ULONG));
  return STATUS_SUCCESS;
}

NTSTATUS SetValueU32(PPCPROPERTY_REQUEST Request, PULONG Value) {
  if (!Request->Value || Request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(Value, Request->Value, sizeof(ULONG));
  return STATUS_SUCCESS;
}

NTSTATUS CheckAnswerSize(PPCPROPERTY_REQUEST Request, ULONGLONG Size) {
  if (Size > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  if (Request->ValueSize == 0) {
    Request->ValueSize = static_cast<ULONG>(Size);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (Request->ValueSize < Size || !Request->Value) {
    Request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS AnswerBytes(PPCPROPERTY_REQUEST Request, const void* Data, ULONG Size) {
  NTSTATUS status = CheckAnswerSize(Request, Size);
  if (!NT_SUCCESS(status)) return status;
  if (Size) std::memcpy(Request->Value, Data, Size);
  Request->ValueSize = Size;
  return STATUS_SUCCESS;
}

NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST Request, const BasicSupport& Support) {
  const ULONGLONG listBytes =
      Support.hasList ? sizeof(KSPROPERTY_MEMBERSHEADER) +
                            static_cast<ULONGLONG>(Support.memberSize) * Support.memberCount
                      : 0;
  const ULONGLONG full = sizeof(KSPROPERTY_DESCRIPTION) + listBytes;
  if (full > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  BYTE* out = static_cast<BYTE*>(Request->Value);
  if (Request->ValueSize < sizeof(ULONG) || !out) {
    Request->ValueSize = Support.reportSize ? static_cast<ULONG>(full) : 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (Request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
    std::memcpy(out, &Support.access, sizeof(ULONG));
    Request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  KSPROPERTY_DESCRIPTION description{};
  description.AccessFlags = Support.access;
  description.DescriptionSize = static_cast<ULONG>(full);
  description.PropTypeSet.Set = Support.type == VT_EMPTY ? GUID_NULL : KSPROPTYPESETID_General;
  description.PropTypeSet.Id = Support.type;
  description.PropTypeSet.Flags = 0;
  description.MembersListCount = Support.hasList ? 1 : 0;
  std::memcpy(out, &description, sizeof(description));
  if (Request->ValueSize < full || !Support.hasList) {
    Request->ValueSize = sizeof(description);
    return STATUS_SUCCESS;
  }
  KSPROPERTY_MEMBERSHEADER header{Support.membersFlags, Support.memberSize, Support.memberCount,
                                  Support.headerFlags};
  BYTE* at = out + sizeof(description);
  std::memcpy(at, &header, sizeof(header));
  at += sizeof(header);
  for (ULONG i = 0; i < Support.memberCount; ++i, at += Support.memberSize)
    std::memcpy(at, Support.member, Support.memberSize);
  Request->ValueSize = static_cast<ULONG>(full);
  return STATUS_SUCCESS;
}

NTSTATUS ParseRangeInstance(PPCPROPERTY_REQUEST Request, ULONG EntryCount, bool WithValues, ULONG* First,
                            ULONG* Count, const UCHAR** Values) {
  const ULONG minimum = WithValues ? sizeof(ValueRangeInstance) + sizeof(ULONG) : sizeof(ValueRangeInstance);
  if (!Request->Instance || Request->InstanceSize < minimum) return STATUS_INVALID_PARAMETER;
  ValueRangeInstance range;
  std::memcpy(&range, Request->Instance, sizeof(range));
  // A SET carries exactly `count` values after the header.
  if (WithValues && range.Count != (Request->InstanceSize - sizeof(range)) / sizeof(ULONG))
    return STATUS_INVALID_PARAMETER;
  // first + count <= entries, without the sum wrapping.
  if (range.Count > EntryCount || range.First > EntryCount - range.Count) return STATUS_INVALID_PARAMETER;
  *First = range.First;
  *Count = range.Count;
  if (Values) *Values = static_cast<const UCHAR*>(Request->Instance) + sizeof(range);
  return STATUS_SUCCESS;
}

}  // namespace filters
