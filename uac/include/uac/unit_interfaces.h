// What the units of the Audio Control interface offer their bound control nodes and the
// function: the control sources a node reads and writes its control through (values in
// the node units of control_interfaces.h: levels in 1/65536 dB, on/off as one byte), the
// unit operations the builders and the status worker use, and the record a node
// publishes on the function's callback object when its value changed.
#pragma once

#include "adapter/uac_entity.h"
#include "kernel/nt.h"
#include "portcls/ks.h"

namespace adapter {
class CAudioHal;
}

namespace uac {

// {AE45E80C-D8A3-4E59-B8DF-C0EC0B62F3CC}
KS_DEFINE_GUID(IID_IUacBoolControlSource, 0xAE45E80C, 0xD8A3, 0x4E59, 0xB8, 0xDF, 0xC0, 0xEC, 0x0B, 0x62, 0xF3, 0xCC);
// {934E9EE1-3402-4AE4-B520-E1E4925FAC8E}
KS_DEFINE_GUID(IID_IUacLevelControlSource, 0x934E9EE1, 0x3402, 0x4AE4, 0xB5, 0x20, 0xE1, 0xE4, 0x92, 0x5F, 0xAC, 0x8E);
// {5B0E3A71-29C4-4D6E-9F1A-6C2D8E47B305}
KS_DEFINE_GUID(IID_IUacUnit, 0x5B0E3A71, 0x29C4, 0x4D6E, 0x9F, 0x1A, 0x6C, 0x2D, 0x8E, 0x47, 0xB3, 0x05);

// On/off controls of a unit. Channels are node channels 0 to count-1; the unit maps them
// to its device channels.
struct IUacBoolControlSource : IUnknown {
  STDMETHOD(GetCur)(ULONG Selector, ULONG Channel, PUCHAR Value) = 0;
  STDMETHOD(SetCur)(ULONG Selector, ULONG Channel, UCHAR Value) = 0;
  // The number of node channels that have the control (1 when only the master has it);
  // STATUS_UNSUCCESSFUL with 0 when no channel has it.
  STDMETHOD(GetChannelCount)(ULONG Selector, PULONG Count) = 0;
  // Creates the unit's bound nodes and adds them to the function's entity list.
  STDMETHOD(CreateControls)(adapter::CAudioHal* Function) = 0;
};
using PUACBOOLCONTROLSOURCE = IUacBoolControlSource*;

// Level controls of a unit, in 1/65536 dB; the range is (maximum, minimum, step).
struct IUacLevelControlSource : IUnknown {
  STDMETHOD(GetCur)(ULONG Selector, ULONG Channel, PLONG Level) = 0;
  STDMETHOD(SetCur)(ULONG Selector, ULONG Channel, LONG Level) = 0;
  STDMETHOD(GetRange)(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) = 0;
  STDMETHOD(GetChannelCount)(ULONG Selector, PULONG Count) = 0;
};
using PUACLEVELCONTROLSOURCE = IUacLevelControlSource*;

// A unit or terminal of the Audio Control interface and the nodes it created.
struct IUacUnit : IUnknown {
  // A status interrupt named this unit. *NodeId receives the node the caller publishes a
  // change for (mixer and selector: their one node; input terminal: its terminal node).
  STDMETHOD(HandleStatusChange)(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) = 0;
  STDMETHOD_(ULONG, GetNodeCount)() = 0;
  // The node at the index, without an added reference; null past the end.
  STDMETHOD_(adapter::IUacEntity*, GetNode)(ULONG Index) = 0;
  // The identifier of the unit's last node (the one downstream units connect to);
  // STATUS_UNSUCCESSFUL without nodes.
  STDMETHOD(GetOutputNodeId)(PULONG Id) = 0;
  // Connects the unit's first node to the nodes of the units feeding it.
  STDMETHOD(SetInputSources)(ULONG Count, const ULONG* Ids) = 0;
  // The Audio Control descriptor subtype the unit was built from (a node's type is
  // another numbering: 2 is an input terminal here and mute there).
  STDMETHOD_(UCHAR, GetSubtype)() = 0;
  // The class a chip's table chose for the unit ("CChipAFeatureUnit13"), for tools; null
  // for the class version's own units.
  STDMETHOD_(const char*, GetClassName)() = 0;
};
using PUACUNIT = IUacUnit*;

// Passed as the first argument of ExNotifyCallback on the function's callback object
// (second argument null) when a node's value changed.
struct ControlChangeRecord {
  ULONG Kind;   // 1
  ULONG Count;  // 1
  ULONGLONG NodeId;
  ULONGLONG Reserved;  // 0
};
static_assert(sizeof(ControlChangeRecord) == 24);

// Publishes {1, 1, NodeId, 0} on the callback object; nothing when it is null.
void PublishControlChange(PVOID CallbackObject, ULONG NodeId);

}  // namespace uac
