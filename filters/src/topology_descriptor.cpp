// The topology filter's descriptor: pins by terminal kind, nodes by entity type (one row
// per type), and the connections found from the output terminals upstream.
#include <cstring>

#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "adapter/settings.h"
#include "filters/miniport_topology.h"
#include "kernel/rtl.h"
#include "topology_handlers.h"
#include "uac/control_interfaces.h"

namespace filters {

using adapter::IUacEntity;
using adapter::ScopedRelease;

namespace {

// The one data range of every topology pin: analog audio.
KSDATARANGE g_AnalogRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                              KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE const g_PinDataRanges[] = {&g_AnalogRange};

// {DC156818-B26E-4115-AEF2-37B6E5DC6ED9}: the private enumeration interface class every
// filter of the driver lists, so the driver's own user-mode side finds them.
KS_DEFINE_GUID(kPrivateEnumerationClass, 0xDC156818, 0xB26E, 0x4115, 0xAE, 0xF2, 0x37, 0xB6, 0xE5, 0xDC, 0x6E, 0xD9);
const GUID g_Categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, kPrivateEnumerationClass};

// Pin names the kinds without a "Settings" value use.
KS_DEFINE_GUID(kSpdifOutName, 0x12C15946, 0xBA58, 0x42C1, 0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22);
KS_DEFINE_GUID(kSpdifInName, 0x017D895C, 0x7AE7, 0x4F4D, 0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7, 0x76);
KS_DEFINE_GUID(kHdmiName, 0x387BFC03, 0xE7EF, 0x4901, 0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00, 0xEF);
KS_DEFINE_GUID(kDisplayPortName, 0x21FBB329, 0x1A4A, 0x48DA, 0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5, 0x9B, 0x26);
KS_DEFINE_GUID(kAuxName, 0x5F4BB488, 0xA646, 0x408A, 0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4);
KS_DEFINE_GUID(kStereoMixName, 0x8C5716E6, 0xC984, 0x492E, 0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9);
// The category of a StereoMix pin before the system knew analog connectors by name.
KS_DEFINE_GUID(kLegacyStereoMixCategory, 0x00DFF077, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);
// Name of a level node of type 16.
KS_DEFINE_GUID(kLevelNodeName, 0x2BC31D6A, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);

// Names by kind come from the system version: Vista and later know them.
constexpr ULONG kNtDdiVista = 0x06000000;

// How a pin of each terminal kind (endpoint type) is described.
enum class PinName { None, Fixed, FixedFromVista, SpdifSettings, LineInSettings };
struct PinRow {
  const GUID* category;
  PinName name;
  const GUID* fixedName;
};
const PinRow kPinRows[] = {
    /* 0 Stream */ {&KSCATEGORY_AUDIO, PinName::None, nullptr},
    /* 1 SPK */ {&KSNODETYPE_SPEAKER, PinName::None, nullptr},
    /* 2 HP */ {&KSNODETYPE_HEADPHONES, PinName::None, nullptr},
    /* 3 SPDIF */ {&KSNODETYPE_SPDIF_INTERFACE, PinName::SpdifSettings, nullptr},
    /* 4 HDMI */ {&KSNODETYPE_HDMI_INTERFACE, PinName::Fixed, &kHdmiName},
    /* 5 DisplayPort */ {&KSNODETYPE_DISPLAYPORT_INTERFACE, PinName::Fixed, &kDisplayPortName},
    /* 6 Line */ {&KSNODETYPE_LINE_CONNECTOR, PinName::LineInSettings, nullptr},
    /* 7 Mic */ {&KSNODETYPE_MICROPHONE, PinName::None, nullptr},
    /* 8 Aux */ {&KSNODETYPE_ANALOG_CONNECTOR, PinName::FixedFromVista, &kAuxName},
    /* 9 CD */ {&KSNODETYPE_CD_PLAYER, PinName::None, nullptr},
    /* 10 Video */ {&KSNODETYPE_VIDEO_DISC_AUDIO, PinName::None, nullptr},
    /* 11 FMic */ {&KSNODETYPE_DESKTOP_MICROPHONE, PinName::None, nullptr},
    /* 12 Telephone */ {&KSNODETYPE_TELEPHONE, PinName::None, nullptr},
    /* 13 HandSet */ {&KSNODETYPE_HANDSET, PinName::None, nullptr},
    /* 14 HeadSet */ {&KSNODETYPE_HEADSET, PinName::None, nullptr},
    /* 15 Speakerphone */ {&KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, PinName::None, nullptr},
    /* 16 StereoMix: decided by the system version below */ {nullptr, PinName::None, nullptr},
    /* 17 FHP */ {&KSNODETYPE_HEADPHONES, PinName::None, nullptr},
};
constexpr ULONG kPinRowCount = sizeof(kPinRows) / sizeof(kPinRows[0]);

// How a node of each entity type is described; a type without a row fails Init.
struct NodeRow {
  bool present;
  const GUID* type;
  NodeTable table;
  const GUID* name;
};
constexpr NodeRow kNoRow = {false, nullptr, NodeTable::None, nullptr};
// Types 4 (by source count) and 23 (named by the node) are completed in BuildNodes.
const NodeRow kNodeRows[] = {
    /* 0 */ kNoRow,
    /* 1 */ kNoRow,
    /* 2 mute */ {true, &KSNODETYPE_MUTE, NodeTable::Mute, nullptr},
    /* 3 volume */ {true, &KSNODETYPE_VOLUME, NodeTable::Volume, nullptr},
    /* 4 selector */ {true, &KSNODETYPE_MUX, NodeTable::Mux, nullptr},
    /* 5 mixer */ {true, &KSNODETYPE_SUM, NodeTable::None, nullptr},
    /* 6 AGC */ {true, &KSNODETYPE_AGC, NodeTable::Agc, nullptr},
    /* 7 loudness */ {true, &KSNODETYPE_LOUDNESS, NodeTable::Loudness, nullptr},
    /* 8 input gain pad */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Private, nullptr},
    /* 9 bass */ {true, &KSNODETYPE_TONE, NodeTable::Tone, &KSAUDFNAME_BASS},
    /* 10 mid */ {true, &KSNODETYPE_TONE, NodeTable::Tone, &KSAUDFNAME_MIDRANGE},
    /* 11 treble */ {true, &KSNODETYPE_TONE, NodeTable::Tone, &KSAUDFNAME_TREBLE},
    /* 12 clock */ kNoRow,
    /* 13 terminal kind */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::TerminalKind, nullptr},
    /* 14 */ kNoRow,
    /* 15 capture switch */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Private, nullptr},
    /* 16 level */ {true, &KSNODETYPE_VOLUME, NodeTable::Volume, &kLevelNodeName},
    /* 17 ranged value */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Private, nullptr},
    /* 18 vendor switch */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Private, nullptr},
    /* 19 capture vendor switch */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Private, nullptr},
    /* 20 value table */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::ValueTable, nullptr},
    /* 21 */ kNoRow,
    /* 22 gain switch */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Private, nullptr},
    /* 23 vendor effect */ {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::Effect, nullptr},
};
constexpr ULONG kNodeRowCount = sizeof(kNodeRows) / sizeof(kNodeRows[0]);

template <class T>
T* AllocateArray(ULONG count, POOL_TYPE pool) {
  // One element at least, so an empty array is still a valid block.
  const SIZE_T bytes = sizeof(T) * static_cast<SIZE_T>(count ? count : 1);
  void* block = ExAllocatePoolWithTag(pool, bytes, kTopologyPoolTag);
  if (block) std::memset(block, 0, bytes);
  return static_cast<T*>(block);
}

}  // namespace

NTSTATUS CMiniportTopology::BuildDescriptor() {
  m_pFilterDescriptor = AllocateArray<PCFILTER_DESCRIPTOR>(1, PagedPool);
  m_pPins = AllocateArray<PCPIN_DESCRIPTOR>(m_nPinCount, PagedPool);
  m_pNodes = AllocateArray<PCNODE_DESCRIPTOR>(m_nNodeCount, PagedPool);
  m_pPinNames = AllocateArray<GUID>(m_nPinCount, PagedPool);
  m_pNodeNames = AllocateArray<GUID>(m_nNodeCount, PagedPool);
  if (!m_pFilterDescriptor || !m_pPins || !m_pNodes || !m_pPinNames || !m_pNodeNames)
    return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = BuildPins();
  if (NT_SUCCESS(status)) status = BuildNodes();
  if (NT_SUCCESS(status)) status = BuildConnections();
  if (!NT_SUCCESS(status)) {
    ExFreePool(m_pFilterDescriptor);  // no half-built descriptor is ever handed out
    m_pFilterDescriptor = nullptr;
    return status;
  }
  PCFILTER_DESCRIPTOR& d = *m_pFilterDescriptor;
  d.Version = 0;
  d.AutomationTable = FilterAutomationTable();
  d.PinSize = sizeof(PCPIN_DESCRIPTOR);
  d.PinCount = m_nPinCount;
  d.Pins = m_pPins;
  d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
  d.NodeCount = m_nNodeCount;
  d.Nodes = m_pNodes;
  d.ConnectionCount = m_nConnectionCount;
  d.Connections = m_pConnections;
  d.CategoryCount = sizeof(g_Categories) / sizeof(g_Categories[0]);
  d.Categories = g_Categories;
  return STATUS_SUCCESS;
}

void CMiniportTopology::ReadPinName(ULONG Pin, PCWSTR Prefix, const GUID& Default, bool HasDefault) {
  WCHAR name[48];
  GUID value = Default;
  bool found = false;
  if (NT_SUCCESS(RtlStringCbPrintfW(name, sizeof(name), u"%s_%02d", Prefix, static_cast<INT>(Pin))))
    found = NT_SUCCESS(SettingsBinaryValue(m_pAdapter->GetDeviceObject(), SETTINGS_READ, &value, sizeof(value), name));
  if (!found && !HasDefault) return;
  m_pPinNames[Pin] = found ? value : Default;
  m_pPins[Pin].KsPinDescriptor.Name = &m_pPinNames[Pin];
}

NTSTATUS CMiniportTopology::BuildPins() {
  const bool vista = RtlIsNtDdiVersionAvailable(kNtDdiVista) != FALSE;
  for (ULONG pin = 0; pin < m_nPinCount; ++pin) {
    const PinEntry& entry = m_pPinEntries[pin];
    if (entry.kind >= kPinRowCount) return STATUS_INVALID_PARAMETER;
    const PinRow& row = kPinRows[entry.kind];
    const bool input = entry.type == adapter::NODE_INPUT_TERMINAL;
    KSPIN_DESCRIPTOR& ks = m_pPins[pin].KsPinDescriptor;
    ks.DataRangesCount = 1;
    ks.DataRanges = g_PinDataRanges;
    ks.DataFlow = input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    ks.Communication = KSPIN_COMMUNICATION_NONE;
    ks.Category = row.category;
    switch (row.name) {
      case PinName::None:
        break;
      case PinName::Fixed:
        ks.Name = row.fixedName;
        break;
      case PinName::FixedFromVista:
        if (vista) ks.Name = row.fixedName;
        break;
      case PinName::SpdifSettings:
        ReadPinName(pin, input ? u"SpdifInName" : u"SpdifOutName", input ? kSpdifInName : kSpdifOutName, true);
        break;
      case PinName::LineInSettings:
        if (input) ReadPinName(pin, u"LineInName", GUID_NULL, false);
        break;
    }
    if (entry.kind == adapter::ENDPOINT_STEREOMIX) {
      ks.Category = vista ? &KSNODETYPE_ANALOG_CONNECTOR : &kLegacyStereoMixCategory;
      ks.Name = vista ? &kStereoMixName : nullptr;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::BuildNodes() {
  for (ULONG node = 0; node < m_nNodeCount; ++node) {
    const NodeEntry& entry = m_pNodeEntries[node];
    if (entry.type >= kNodeRowCount || !kNodeRows[entry.type].present) return STATUS_INVALID_PARAMETER;
    NodeRow row = kNodeRows[entry.type];
    if (const GUID* nodeClass = NodeClassGuid(entry.type); nodeClass && entry.type != adapter::NODE_VENDOR_EFFECT)
      row.name = nodeClass;
    if (entry.type == adapter::NODE_SELECTOR && entry.entity->GetSourceCount() < 2) {
      // A selector with one input selects nothing: shown as a device-specific node.
      row = {true, &KSNODETYPE_DEV_SPECIFIC, NodeTable::DeviceSpecific, &KSNODETYPE_DEV_SPECIFIC};
    }
    if (entry.type == adapter::NODE_VENDOR_EFFECT) {
      // Each effect node is named by its own effect type.
      ScopedRelease<uac::IEffectControl> effect;
      NTSTATUS status = entry.entity->QueryInterface(uac::IID_IEffectControl, effect.out());
      if (!NT_SUCCESS(status)) return status;
      status = effect->GetEffectNodeType(&m_pNodeNames[node]);
      if (!NT_SUCCESS(status)) return status;
      row.name = &m_pNodeNames[node];
    }
    PCNODE_DESCRIPTOR& d = m_pNodes[node];
    d.Flags = 0;
    d.AutomationTable = NodeAutomationTable(row.table);
    d.Type = row.type;
    d.Name = row.name;
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Connections

NTSTATUS CMiniportTopology::AddConnection(ULONG FromNode, ULONG FromPin, ULONG ToNode, ULONG ToPin) {
  for (ULONG i = 0; i < m_nConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = m_pConnections[i];
    if (c.FromNode == FromNode && c.FromNodePin == FromPin && c.ToNode == ToNode && c.ToNodePin == ToPin)
      return STATUS_SUCCESS;
  }
  if (m_nConnectionCount == m_nConnectionCapacity) return STATUS_UNSUCCESSFUL;  // the bound below holds
  m_pConnections[m_nConnectionCount++] = PCCONNECTION_DESCRIPTOR{FromNode, FromPin, ToNode, ToPin};
  return STATUS_SUCCESS;
}

// Walks the sources of node N: each source node first (once: a node reached again along
// another path is not walked again), then the connection from it into N's input pin i + 1;
// a source pin connects straight to that input. A node without sources is fed by the pin
// of the same entity, if there is one. The graph is acyclic and shallow; the depth limit
// only guards the stack against a model that is not.
NTSTATUS CMiniportTopology::WalkUpstream(ULONG Node, ULONG Depth, bool* Visited) {
  if (Depth > adapter::kMaxGraphDepth) return STATUS_UNSUCCESSFUL;
  if (Visited[Node]) return STATUS_SUCCESS;
  Visited[Node] = true;
  ULONG count = 0;
  const ULONG* sources = nullptr;
  NTSTATUS status = m_pNodeEntries[Node].entity->GetSources(&count, &sources);
  if (!NT_SUCCESS(status)) return status;
  if (count == 0 || !sources) {
    ULONG pin = 0;
    if (!FindPin(m_pNodeEntries[Node].id, &pin)) return STATUS_UNSUCCESSFUL;
    return AddConnection(PCFILTER_NODE, pin, Node, 1);
  }
  for (ULONG i = 0; i < count; ++i) {
    ULONG from = 0;
    if (FindNode(sources[i], &from)) {
      status = WalkUpstream(from, Depth + 1, Visited);
      if (NT_SUCCESS(status)) status = AddConnection(from, 0, Node, i + 1);
    } else if (FindPin(sources[i], &from)) {
      status = AddConnection(PCFILTER_NODE, from, Node, i + 1);
    } else {
      status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::BuildConnections() {
  // Every node adds at most one connection per input (one when it has none), every
  // output terminal one: the array never needs to grow.
  ULONGLONG capacity = m_nPinCount;
  for (ULONG node = 0; node < m_nNodeCount; ++node) {
    const ULONG sources = m_pNodeEntries[node].entity->GetSourceCount();
    capacity += sources ? sources : 1;
  }
  if (capacity > 0xFFFFFFull) return STATUS_INSUFFICIENT_RESOURCES;
  m_nConnectionCapacity = static_cast<ULONG>(capacity);
  m_pConnections = AllocateArray<PCCONNECTION_DESCRIPTOR>(m_nConnectionCapacity, PagedPool);
  bool* visited = AllocateArray<bool>(m_nNodeCount, PagedPool);
  if (!m_pConnections || !visited) {
    if (visited) ExFreePool(visited);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = STATUS_SUCCESS;
  bool outputFound = false;
  for (ULONG pin = 0; pin < m_nPinCount && NT_SUCCESS(status); ++pin) {
    if (m_pPinEntries[pin].type != adapter::NODE_OUTPUT_TERMINAL) continue;
    outputFound = true;
    ULONG count = 0;
    const ULONG* sources = nullptr;
    status = m_pPinEntries[pin].entity->GetSources(&count, &sources);
    if (!NT_SUCCESS(status)) break;
    ULONG from = 0;
    if (count == 0 || !sources) {
      status = STATUS_UNSUCCESSFUL;
    } else if (FindNode(sources[0], &from)) {
      status = WalkUpstream(from, 1, visited);
      if (NT_SUCCESS(status)) status = AddConnection(from, 0, PCFILTER_NODE, pin);
    } else if (FindPin(sources[0], &from)) {
      status = AddConnection(PCFILTER_NODE, from, PCFILTER_NODE, pin);
    } else {
      status = STATUS_UNSUCCESSFUL;
    }
  }
  ExFreePool(visited);
  if (NT_SUCCESS(status) && !outputFound) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) return status;
  // The list took each new connection at its head: the array reads newest first.
  for (ULONG a = 0; m_nConnectionCount > 1 && a < m_nConnectionCount / 2; ++a) {
    PCCONNECTION_DESCRIPTOR t = m_pConnections[a];
    m_pConnections[a] = m_pConnections[m_nConnectionCount - 1 - a];
    m_pConnections[m_nConnectionCount - 1 - a] = t;
  }
  return STATUS_SUCCESS;
}

}  // namespace filters
