// Inside the topology filter: its automation tables, the property and event handlers
// they name, and the helpers that shape answers the KS way (u32 values, size queries,
// basic-support descriptions with one members list).
#pragma once

#include "filters/miniport_topology.h"
#include "portcls/portcls.h"

namespace filters {

// A level node of its own type (a volume row with its own name); no node class builds
// one yet.
inline constexpr ULONG kLevelNodeType = 16;

// The automation table of each node row.
enum class NodeTable : ULONG {
  None,
  Mute,
  Volume,
  Tone,
  Agc,
  Loudness,
  Mux,
  DeviceSpecific,
  Private,
  TerminalKind,
  ValueTable,
  Effect,
};
const PCAUTOMATION_TABLE* FilterAutomationTable();
const PCAUTOMATION_TABLE* NodeAutomationTable(NodeTable Table);

// The class GUID of a private node type (8, 13, 15, 17 to 20, 22, 23); null for others.
const GUID* NodeClassGuid(ULONG Type);

// Property handlers of the tables.
NTSTATUS LevelPropertyHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS OnOffPropertyHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS MuxPropertyHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS DevicePropertyHandler(PPCPROPERTY_REQUEST Request);  // DEV_SPECIFIC and the private node sets
NTSTATUS NodeClassPropertyHandler(PPCPROPERTY_REQUEST Request);
NTSTATUS FilterPropertyHandler(PPCPROPERTY_REQUEST Request);  // filter and pin properties
NTSTATUS ControlChangeEventHandler(PPCEVENT_REQUEST Request);

// ---------------------------------------------------------------------------------------
// Answer helpers

// The node entry a node request names: STATUS_INVALID_PARAMETER for a number past the
// node count.
NTSTATUS RequestNode(PPCPROPERTY_REQUEST Request, CMiniportTopology** Miniport, adapter::IUacEntity** Entity,
                     PULONG Type);
// The first u32 of the instance; STATUS_INVALID_PARAMETER when it holds fewer than 4 bytes.
NTSTATUS InstanceU32(PPCPROPERTY_REQUEST Request, PULONG Value);
// The u32 of a SET value; STATUS_BUFFER_TOO_SMALL when it holds fewer than 4 bytes.
NTSTATUS SetValueU32(PPCPROPERTY_REQUEST Request, PULONG Value);
// A GET answer of `size` bytes: a zero-size buffer gets the size and
// STATUS_BUFFER_OVERFLOW, a short one STATUS_BUFFER_TOO_SMALL.
NTSTATUS AnswerBytes(PPCPROPERTY_REQUEST Request, const void* Data, ULONG Size);
inline NTSTATUS AnswerU32(PPCPROPERTY_REQUEST Request, ULONG Value) {
  return AnswerBytes(Request, &Value, sizeof(Value));
}
// Checks a GET buffer for `size` bytes as AnswerBytes does, without writing: success
// when it holds them.
NTSTATUS CheckAnswerSize(PPCPROPERTY_REQUEST Request, ULONGLONG Size);

// A BASICSUPPORT answer: the access flags, the value type and at most one members list
// of `memberCount` equal members. A buffer under 4 bytes gets STATUS_BUFFER_TOO_SMALL
// (with the full size, or 0 when `reportSize` is false); 4 to 39 bytes the access flags;
// 40 or more the description, followed by the list when the full size fits.
struct BasicSupport {
  ULONG access;
  ULONG type;  // VARENUM
  bool hasList;
  ULONG membersFlags;  // KSPROPERTY_MEMBER_*
  ULONG headerFlags;   // KSPROPERTY_MEMBER_FLAG_*
  ULONG memberCount;
  const void* member;  // one member, repeated memberCount times
  ULONG memberSize;
  bool reportSize = true;
};
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST Request, const BasicSupport& Support);

// Access flags of the tables' answers.
inline constexpr ULONG kAccessGetSetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
inline constexpr ULONG kAccessSetBasic = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
inline constexpr ULONG kAccessGetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;

// A range request of a value table or effect: the instance {first, count} (and, for a
// SET, exactly `count` u32 values after it), checked against the entry count without
// overflow. STATUS_INVALID_PARAMETER for a short or inconsistent instance or a range
// past the entries.
NTSTATUS ParseRangeInstance(PPCPROPERTY_REQUEST Request, ULONG EntryCount, bool WithValues, ULONG* First,
                            ULONG* Count, const UCHAR** Values);

}  // namespace filters
