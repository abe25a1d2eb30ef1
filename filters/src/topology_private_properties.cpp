// KSPROPERTY_AUDIO_DEV_SPECIFIC and the driver's private node sets, dispatched by node
// type: the input gain pad, terminal kinds, capture switches, ranged values, vendor and
// gain switches, value tables and vendor effects. Every table range a client names is
// checked against the node's entry count before the node sees it, and every answer
// against the buffer it goes into.
#include <cstring>

#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "filters/topology_property_sets.h"
#include "topology_handlers.h"
#include "uac/control_interfaces.h"

namespace filters {

using adapter::ScopedRelease;

namespace {

constexpr ULONG kEntryFields = 3;  // a table entry is three u32
constexpr ULONG kEntryBytes = kEntryFields * sizeof(ULONG);

struct Call {
  PPCPROPERTY_REQUEST request;
  adapter::IUacEntity* entity;
  ULONG type;
  bool get() const { return request->Verb & KSPROPERTY_TYPE_GET; }
  bool set() const { return request->Verb & KSPROPERTY_TYPE_SET; }
  bool basic() const { return request->Verb & KSPROPERTY_TYPE_BASICSUPPORT; }
  bool devSpecific() const {
    return IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_Audio) &&
           request->PropertyItem->Id == KSPROPERTY_AUDIO_DEV_SPECIFIC;
  }
  bool in(const GUID& set) const { return IsEqualGUID(*request->PropertyItem->Set, set); }
  ULONG id() const { return request->PropertyItem->Id; }
};

template <class Interface>
NTSTATUS Query(const Call& call, REFIID iid, ScopedRelease<Interface>* out) {
  return call.entity->QueryInterface(iid, out->out());
}

// The short description of the private nodes: SET and BASICSUPPORT, and the node's class
// as the one value.
#pragma pack(push, 4)
struct ClassMember {
  ULONG size;
  GUID nodeClass;
  ULONG extra;
};
struct ClassRangeMember {
  ULONG size;
  GUID nodeClass;
  ULONG extra;
  LONG maximum;
  LONG minimum;
  LONG step;
};
#pragma pack(pop)
static_assert(sizeof(ClassMember) == 24 && sizeof(ClassRangeMember) == 36);

NTSTATUS AnswerShortForm(const Call& call, ULONG type) {
  if (!call.basic()) return STATUS_UNSUCCESSFUL;
  ClassMember member{sizeof(ClassMember), *NodeClassGuid(call.type), 0};
  BasicSupport support{kAccessSetBasic, type, true, KSPROPERTY_MEMBER_VALUES, 0, 1, &member, sizeof(member)};
  return AnswerBasicSupport(call.request, support);
}

// A GET of a KSMULTIPLE_ITEM of `count` u32 values that `read` writes in place.
template <class Read>
NTSTATUS AnswerU32List(PPCPROPERTY_REQUEST request, ULONG count, Read read) {
  const ULONGLONG size = sizeof(KSMULTIPLE_ITEM) + static_cast<ULONGLONG>(count) * sizeof(ULONG);
  NTSTATUS status = CheckAnswerSize(request, size);
  if (!NT_SUCCESS(status)) return status;
  BYTE* out = static_cast<BYTE*>(request->Value);
  // The values are read into a block of their own: the node sees an aligned array.
  PULONG values = nullptr;
  if (count) {
    values = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(count) * sizeof(ULONG), kTopologyPoolTag));
    if (!values) return STATUS_INSUFFICIENT_RESOURCES;
    status = read(values);
    if (NT_SUCCESS(status)) std::memcpy(out + sizeof(KSMULTIPLE_ITEM), values, static_cast<SIZE_T>(count) * sizeof(ULONG));
    ExFreePool(values);
    if (!NT_SUCCESS(status)) return status;
  }
  KSMULTIPLE_ITEM header{static_cast<ULONG>(size), count};
  std::memcpy(out, &header, sizeof(header));
  request->ValueSize = static_cast<ULONG>(size);
  return STATUS_SUCCESS;
}

// A SET of a range of table entries: the values after the instance's header, copied to
// an aligned block for the node.
template <class Write>
NTSTATUS SetRange(PPCPROPERTY_REQUEST request, ULONG entries, Write write) {
  ULONG first = 0, count = 0;
  const UCHAR* bytes = nullptr;
  NTSTATUS status = ParseRangeInstance(request, entries, true, &first, &count, &bytes);
  if (!NT_SUCCESS(status)) return status;
  auto* values =
      static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(count) * sizeof(ULONG), kTopologyPoolTag));
  if (!values) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(values, bytes, static_cast<SIZE_T>(count) * sizeof(ULONG));
  status = write(first, count, values);
  ExFreePool(values);
  return status;
}

// One entry's three fields by index.
template <class Read>
NTSTATUS AnswerEntry(PPCPROPERTY_REQUEST request, ULONG entries, Read read) {
  ULONG index = 0;
  NTSTATUS status = InstanceU32(request, &index);
  if (!NT_SUCCESS(status)) return status;
  if (index >= entries) return STATUS_INVALID_PARAMETER;
  status = CheckAnswerSize(request, kEntryBytes);
  if (!NT_SUCCESS(status)) return status;
  ULONG entry[kEntryFields] = {};
  status = read(index, entry);
  if (!NT_SUCCESS(status)) return status;
  return AnswerBytes(request, entry, kEntryBytes);
}

// Type 8: a level with a channel, described by one value member carrying the range.
NTSTATUS GainPad(const Call& call) {
  if (!call.devSpecific()) return STATUS_INVALID_PARAMETER;
  ScopedRelease<uac::ILevelControl> level;
  NTSTATUS status = Query(call, uac::IID_ILevelControl, &level);
  if (!NT_SUCCESS(status)) return status;
  if (call.basic()) {
    ClassRangeMember member{sizeof(ClassRangeMember), *NodeClassGuid(call.type), 3 * sizeof(LONG), 0, 0, 0};
    status = level->GetRange(&member.maximum, &member.minimum, &member.step);
    if (!NT_SUCCESS(status)) return status;
    BasicSupport support{kAccessGetSetBasic, VT_I4, true, KSPROPERTY_MEMBER_VALUES, 0, 1, &member, sizeof(member)};
    return AnswerBasicSupport(call.request, support);
  }
  ULONG channel = 0;
  status = InstanceU32(call.request, &channel);
  if (!NT_SUCCESS(status)) return status;
  if (call.get()) {
    status = CheckAnswerSize(call.request, sizeof(LONG));
    if (!NT_SUCCESS(status)) return status;
    LONG value = 0;
    status = level->GetLevel(channel, &value);
    return NT_SUCCESS(status) ? AnswerBytes(call.request, &value, sizeof(value)) : status;
  }
  ULONG value = 0;
  status = SetValueU32(call.request, &value);
  return NT_SUCCESS(status) ? level->SetLevel(channel, static_cast<LONG>(value)) : status;
}

// Type 13: the terminal kind, switched by DEV_SPECIFIC and listed by its own set.
NTSTATUS TerminalKind(const Call& call) {
  ScopedRelease<adapter::ITerminalKindNode> node;
  NTSTATUS status = Query(call, adapter::IID_ITerminalKindNode, &node);
  if (!NT_SUCCESS(status)) return status;
  if (call.devSpecific()) {
    if (call.basic()) return AnswerShortForm(call, VT_I4);
    if (!call.set()) return STATUS_INVALID_PARAMETER;
    ULONG kind = 0;
    status = SetValueU32(call.request, &kind);
    return NT_SUCCESS(status) ? node->SetKind(kind) : status;
  }
  if (!call.in(KSPROPSETID_TerminalKind) || !call.get()) return STATUS_INVALID_PARAMETER;
  if (call.id() == KSPROPERTY_TERMINALKIND_KIND) {
    status = CheckAnswerSize(call.request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    ULONG kind = 0;
    status = node->GetKind(&kind);
    return NT_SUCCESS(status) ? AnswerU32(call.request, kind) : status;
  }
  if (call.id() != KSPROPERTY_TERMINALKIND_KINDS) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  status = node->GetKindCount(&count);
  if (!NT_SUCCESS(status)) return status;
  return AnswerU32List(call.request, count, [&](PULONG kinds) { return node->GetKinds(kinds); });
}

// Types 15 and 19: capture switches, one u32 value.
NTSTATUS CaptureSwitch(const Call& call) {
  if (!call.devSpecific()) return STATUS_UNSUCCESSFUL;
  ScopedRelease<adapter::ICaptureSwitchNode> node;
  const GUID& iid = call.type == adapter::NODE_CAPTURE_SWITCH ? adapter::IID_ICaptureSwitchNode
                                                              : adapter::IID_ICaptureVendorSwitchNode;
  NTSTATUS status = Query(call, iid, &node);
  if (!NT_SUCCESS(status)) return status;
  if (call.basic()) return AnswerShortForm(call, VT_BOOL);
  if (call.get()) {
    status = CheckAnswerSize(call.request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    ULONG value = 0;
    status = node->GetValue(&value);
    return NT_SUCCESS(status) ? AnswerU32(call.request, value) : status;
  }
  ULONG value = 0;
  status = SetValueU32(call.request, &value);
  return NT_SUCCESS(status) ? node->SetValue(value) : status;
}

// Type 17: an unsigned value within a range.
NTSTATUS RangedValue(const Call& call) {
  if (!call.devSpecific()) return STATUS_INVALID_PARAMETER;
  ScopedRelease<IRangedValueNode> node;
  NTSTATUS status = Query(call, IID_IRangedValueNode, &node);
  if (!NT_SUCCESS(status)) return status;
  if (call.basic()) {
    ULONG maximum = 0, minimum = 0;
    status = node->GetRange(&maximum, &minimum);
    if (!NT_SUCCESS(status)) return status;
    KSPROPERTY_BOUNDS_LONG range{};
    range.UnsignedMinimum = minimum;
    range.UnsignedMaximum = maximum;
    BasicSupport support{kAccessGetSetBasic, VT_UI4, true, KSPROPERTY_MEMBER_RANGES, 0, 1, &range, sizeof(range)};
    return AnswerBasicSupport(call.request, support);
  }
  if (call.get()) {
    status = CheckAnswerSize(call.request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    ULONG value = 0;
    status = node->GetValue(&value);
    return NT_SUCCESS(status) ? AnswerU32(call.request, value) : status;
  }
  ULONG value = 0;
  status = SetValueU32(call.request, &value);
  return NT_SUCCESS(status) ? node->SetValue(value) : status;
}

// Types 18 and 22: one on/off value, channel 0.
NTSTATUS Switch(const Call& call) {
  if (!call.devSpecific()) return STATUS_INVALID_PARAMETER;
  ScopedRelease<uac::IBoolControl> control;
  NTSTATUS status = Query(call, uac::IID_IBoolControl, &control);
  if (!NT_SUCCESS(status)) return status;
  if (call.basic()) {
    BasicSupport support{kAccessGetSetBasic, VT_BOOL, false, 0, 0, 0, nullptr, 0};
    return AnswerBasicSupport(call.request, support);
  }
  if (call.get()) {
    status = CheckAnswerSize(call.request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    UCHAR value = 0;
    status = control->GetValue(0, &value);
    return NT_SUCCESS(status) ? AnswerU32(call.request, value ? 1 : 0) : status;
  }
  ULONG value = 0;
  status = SetValueU32(call.request, &value);
  return NT_SUCCESS(status) ? control->SetValue(0, value != 0 ? 1 : 0) : status;
}

// Type 20: a table of u32 entries named by a GUID.
NTSTATUS ValueTable(const Call& call) {
  ScopedRelease<IValueTableNode> node;
  NTSTATUS status = Query(call, IID_IValueTableNode, &node);
  if (!NT_SUCCESS(status)) return status;
  if (call.devSpecific()) {
    if (call.basic()) return AnswerShortForm(call, VT_I4);
    if (!call.set()) return STATUS_INVALID_PARAMETER;
    ULONG ignored = 0;
    return SetValueU32(call.request, &ignored);  // accepted, no effect
  }
  if (!call.in(KSPROPSETID_ValueTable)) return STATUS_INVALID_PARAMETER;
  if (call.id() == KSPROPERTY_VALUETABLE_GUID && call.get()) {
    status = CheckAnswerSize(call.request, sizeof(GUID));
    if (!NT_SUCCESS(status)) return status;
    GUID table{};
    status = node->GetTableGuid(&table);
    return NT_SUCCESS(status) ? AnswerBytes(call.request, &table, sizeof(table)) : status;
  }
  ULONG entries = 0;
  status = node->GetEntryCount(&entries);
  if (!NT_SUCCESS(status)) return status;
  switch (call.id()) {
    case KSPROPERTY_VALUETABLE_COUNT:
      return call.get() ? AnswerU32(call.request, entries) : STATUS_INVALID_PARAMETER;
    case KSPROPERTY_VALUETABLE_SET_RANGE:
      if (!call.set()) return STATUS_INVALID_PARAMETER;
      return SetRange(call.request, entries,
                      [&](ULONG first, ULONG count, const ULONG* values) { return node->SetRange(first, count, values); });
    case KSPROPERTY_VALUETABLE_GET_RANGE: {
      if (!call.get()) return STATUS_INVALID_PARAMETER;
      ULONG first = 0, count = 0;
      status = ParseRangeInstance(call.request, entries, false, &first, &count, nullptr);
      if (!NT_SUCCESS(status)) return status;
      return AnswerU32List(call.request, count, [&](PULONG values) { return node->GetRange(first, count, values); });
    }
    case KSPROPERTY_VALUETABLE_ENTRY:
      if (!call.get()) return STATUS_INVALID_PARAMETER;
      return AnswerEntry(call.request, entries, [&](ULONG index, PULONG entry) { return node->GetEntry(index, entry); });
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// Type 23: a vendor effect switch with its parameter table.
NTSTATUS Effect(const Call& call) {
  ScopedRelease<uac::IEffectControl> effect;
  NTSTATUS status = Query(call, uac::IID_IEffectControl, &effect);
  if (!NT_SUCCESS(status)) return status;
  ULONG entries = 0;
  status = effect->GetEffectParameter(&entries);
  if (!NT_SUCCESS(status)) return status;
  if (call.devSpecific()) {
    if (call.basic()) return AnswerShortForm(call, VT_BOOL);
    if (call.get()) {
      status = CheckAnswerSize(call.request, sizeof(ULONG));
      if (!NT_SUCCESS(status)) return status;
      UCHAR value = 0;
      status = effect->GetValue(&value);
      return NT_SUCCESS(status) ? AnswerU32(call.request, value) : status;
    }
    ULONG value = 0;
    status = SetValueU32(call.request, &value);
    return NT_SUCCESS(status) ? effect->SetValue(static_cast<UCHAR>(value & 0xFF)) : status;
  }
  if (!call.in(KSPROPSETID_EffectParameters)) return STATUS_UNSUCCESSFUL;
  switch (call.id()) {
    case KSPROPERTY_EFFECT_NODE_TYPE: {
      if (!call.get()) return STATUS_UNSUCCESSFUL;
      status = CheckAnswerSize(call.request, sizeof(GUID));
      if (!NT_SUCCESS(status)) return status;
      GUID nodeType{};
      status = effect->GetEffectNodeType(&nodeType);
      return NT_SUCCESS(status) ? AnswerBytes(call.request, &nodeType, sizeof(nodeType)) : status;
    }
    case KSPROPERTY_EFFECT_PARAMETER:
      return call.get() ? AnswerU32(call.request, entries) : STATUS_UNSUCCESSFUL;
    case KSPROPERTY_EFFECT_ENTRY:
      if (!call.get()) return STATUS_UNSUCCESSFUL;
      return AnswerEntry(call.request, entries,
                         [&](ULONG index, PULONG entry) { return effect->GetValueEntry(index, entry); });
    case KSPROPERTY_EFFECT_RANGE: {
      if (call.set())
        return SetRange(call.request, entries,
                        [&](ULONG first, ULONG count, const ULONG* values) { return effect->SetValues(first, count, values); });
      if (!call.get()) return STATUS_UNSUCCESSFUL;
      ULONG first = 0, count = 0;
      status = ParseRangeInstance(call.request, entries, false, &first, &count, nullptr);
      if (!NT_SUCCESS(status)) return status;
      return AnswerU32List(call.request, count, [&](PULONG values) { return effect->GetValues(first, count, values); });
    }
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// Any other node (a one-input selector): a u32 that is accepted and never read.
NTSTATUS OtherNode(const Call& call) {
  if (call.basic()) {
    KSPROPERTY_BOUNDS_LONG range{};
    range.UnsignedMinimum = 0;
    range.UnsignedMaximum = 0xFFFFFFFFu;
    BasicSupport support{kAccessSetBasic, VT_UI4, true, KSPROPERTY_MEMBER_RANGES, 0, 1, &range, sizeof(range)};
    return AnswerBasicSupport(call.request, support);
  }
  if (call.set()) {
    ULONG ignored = 0;
    return SetValueU32(call.request, &ignored);
  }
  return STATUS_UNSUCCESSFUL;
}

}  // namespace

NTSTATUS DevicePropertyHandler(PPCPROPERTY_REQUEST Request) {
  CMiniportTopology* miniport = nullptr;
  Call call{Request, nullptr, 0};
  NTSTATUS status = RequestNode(Request, &miniport, &call.entity, &call.type);
  if (!NT_SUCCESS(status)) return status;
  switch (call.type) {
    case adapter::NODE_INPUT_GAIN_PAD: return GainPad(call);
    case adapter::NODE_TERMINAL_KIND: return TerminalKind(call);
    case adapter::NODE_CAPTURE_SWITCH:
    case adapter::NODE_CAPTURE_VENDOR_SWITCH: return CaptureSwitch(call);
    case adapter::NODE_RANGED_VALUE: return RangedValue(call);
    case adapter::NODE_VENDOR_SWITCH:
    case adapter::NODE_GAIN_SWITCH: return Switch(call);
    case adapter::NODE_VALUE_TABLE: return ValueTable(call);
    case adapter::NODE_VENDOR_EFFECT: return Effect(call);
    default: return call.devSpecific() ? OtherNode(call) : STATUS_INVALID_PARAMETER;
  }
}

}  // namespace filters
