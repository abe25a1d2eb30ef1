// The driver's own KS property sets on the topology filter, their property ids, and the
// node interfaces of the private node types (capture switches, ranged values, value
// tables) whose handlers the filter carries although no node of the driver answers them
// yet. The node classes that may answer them in the future live with the entity model;
// the interfaces are declared here because only the property handlers use them.
#pragma once

#include "kernel/nt.h"
#include "portcls/ks.h"

namespace filters {

// {1B4400F0-9627-4EE7-A593-B37C034EF0DE}: filter version, level sets that raise a change
// event, jack descriptions by pin.
KS_DEFINE_GUID(KSPROPSETID_DeviceExtension, 0x1B4400F0, 0x9627, 0x4EE7, 0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0,
               0xDE);
// {A210D309-0822-456B-BD3C-2196567CADA7}: the endpoint's capability record by pin.
KS_DEFINE_GUID(KSPROPSETID_JackInfo, 0xA210D309, 0x0822, 0x456B, 0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7);
// {00A34C4A-26E6-4095-98E9-77FAE2F11FB6}: the class GUID of a private node.
KS_DEFINE_GUID(KSPROPSETID_NodeClass, 0x00A34C4A, 0x26E6, 0x4095, 0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6);
// {ED76304D-B322-4ECB-9B9E-8E13C1465F04}: the kinds of a terminal-kind node.
KS_DEFINE_GUID(KSPROPSETID_TerminalKind, 0xED76304D, 0xB322, 0x4ECB, 0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F, 0x04);
// {561BABB8-E02F-4500-9BEF-E0BE8B7C4630}: entries of a value-table node.
KS_DEFINE_GUID(KSPROPSETID_ValueTable, 0x561BABB8, 0xE02F, 0x4500, 0x9B, 0xEF, 0xE0, 0xBE, 0x8B, 0x7C, 0x46, 0x30);
// {369C31B9-34E6-4640-99B6-ADD16CF11994}: the parameter table of a vendor effect node.
KS_DEFINE_GUID(KSPROPSETID_EffectParameters, 0x369C31B9, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19,
               0x94);

enum : ULONG {
  KSPROPERTY_DEVICEEXTENSION_VERSION = 2,           // filter GET: u32
  KSPROPERTY_DEVICEEXTENSION_LEVEL_WITH_EVENT = 3,  // level node SET; raises the change event
  KSPROPERTY_DEVICEEXTENSION_JACK_DESCRIPTION = 4,  // pin GET: as KSPROPERTY_JACK_DESCRIPTION
};
// The device-extension set's version as the filter reports it: 3.0 (major in the high
// word), the layout of the set's properties above.
inline constexpr ULONG kDeviceExtensionVersion = 0x30000;

inline constexpr ULONG KSPROPERTY_JACKINFO_CAPABILITY_RECORD = 1;  // pin GET: 32 bytes
inline constexpr ULONG KSPROPERTY_NODECLASS_GUID = 1;              // node GET: 16 bytes
enum : ULONG {
  KSPROPERTY_TERMINALKIND_KINDS = 1,  // KSMULTIPLE_ITEM of u32 endpoint types
  KSPROPERTY_TERMINALKIND_KIND = 2,   // u32
};
enum : ULONG {
  KSPROPERTY_VALUETABLE_GUID = 1,       // GET: 16 bytes
  KSPROPERTY_VALUETABLE_COUNT = 2,      // GET: u32
  KSPROPERTY_VALUETABLE_SET_RANGE = 3,  // SET: instance {first, count, count values}
  KSPROPERTY_VALUETABLE_GET_RANGE = 4,  // GET: instance {first, count}; KSMULTIPLE_ITEM of u32
  KSPROPERTY_VALUETABLE_ENTRY = 5,      // GET: instance {index}; three u32
};
enum : ULONG {
  KSPROPERTY_EFFECT_NODE_TYPE = 1,  // GET: 16 bytes
  KSPROPERTY_EFFECT_PARAMETER = 2,  // GET: u32, the number of table entries
  KSPROPERTY_EFFECT_ENTRY = 3,      // GET: instance {index}; three u32
  KSPROPERTY_EFFECT_RANGE = 4,      // GET and SET: as the value table's ranges
};

// A range request's instance: the first entry and the number of entries (a SET carries
// that many u32 values after it).
struct ValueRangeInstance {
  ULONG First;
  ULONG Count;
};
static_assert(sizeof(ValueRangeInstance) == 8);

// {39F527DD-1800-4CFA-B3F3-4FCD2C6301BB}
KS_DEFINE_GUID(IID_IRangedValueNode, 0x39F527DD, 0x1800, 0x4CFA, 0xB3, 0xF3, 0x4F, 0xCD, 0x2C, 0x63, 0x01, 0xBB);
// {F52EB3CB-E312-4CB0-AC9C-F6AB1BF9B29A}
KS_DEFINE_GUID(IID_IValueTableNode, 0xF52EB3CB, 0xE312, 0x4CB0, 0xAC, 0x9C, 0xF6, 0xAB, 0x1B, 0xF9, 0xB2, 0x9A);

// An unsigned value within a range (node type 17).
struct IRangedValueNode : IUnknown {
  STDMETHOD(GetValue)(PULONG Value) = 0;
  STDMETHOD(Reserved1)() = 0;
  STDMETHOD(SetValue)(ULONG Value) = 0;
  STDMETHOD(GetRange)(PULONG Maximum, PULONG Minimum) = 0;
};

// A table of u32 entries named by a GUID (node type 20).
struct IValueTableNode : IUnknown {
  STDMETHOD(GetTableGuid)(GUID* Table) = 0;
  STDMETHOD(GetEntryCount)(PULONG Count) = 0;
  STDMETHOD(GetRange)(ULONG First, ULONG Count, PULONG Values) = 0;
  STDMETHOD(SetRange)(ULONG First, ULONG Count, const ULONG* Values) = 0;
  STDMETHOD(GetEntry)(ULONG Index, PULONG Entry) = 0;  // three u32 fields
};

}  // namespace filters
