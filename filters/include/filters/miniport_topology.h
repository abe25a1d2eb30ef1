// CMiniportTopology: the miniport of the adapter's one topology filter. At Init it turns
// the audio model's entity list into a PortCls filter descriptor: one pin per terminal
// (streaming terminals first), one node per control node (in reverse entity order), and
// the connections found by walking every output terminal's sources upstream. Its
// property handlers forward node and pin properties to the nodes' interfaces, and a
// control change published on the model's "\Callback\AudioHalAddr%p" object becomes a
// KSEVENT_CONTROL_CHANGE on the node. The descriptor is fixed after Init; values, jack
// states and kinds are read from the nodes at each request.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/miniport_pin_map.h"
#include "adapter/uac_entity.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"

namespace filters {

inline constexpr ULONG kTopologyPoolTag = MakePoolTag('T', 'O', 'P', 'O');
// The name the topology filter is registered under.
inline constexpr WCHAR kTopologySubdeviceName[] = u"RuveruZuze";
inline constexpr ULONG kTopologyNameBytes = 102;

class CMiniportTopology : public IMiniportTopology,
                          public IPowerNotify,
                          public adapter::IMiniportPinMap,
                          public CUnknown {
 public:
  explicit CMiniportTopology(PUNKNOWN outerUnknown);
  ~CMiniportTopology() override;

  DECLARE_STD_UNKNOWN();

  // IMiniport
  // The filter descriptor built by Init; none yet: STATUS_DEVICE_CONFIGURATION_ERROR.
  STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
  STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  // IMiniportTopology: builds the descriptor from the adapter's IAudioHal entities and
  // registers for control changes. A terminal kind of 18 or above, a node type without
  // a row, no output terminal or a source that is neither node nor pin fail Init.
  STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) override;
  // IPowerNotify: keeps a new state from D0 to D3.
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;
  // IMiniportPinMap: the pin of a terminal entity; no such pin: STATUS_UNSUCCESSFUL.
  STDMETHODIMP MapPin(ULONG EntityId, PULONG Result) override;
  STDMETHODIMP GetSubdeviceName(PWSTR* Name) override;

  // What the property and event handlers read. Entities come without an added reference
  // and are null past the end.
  ULONG GetPinCount() const { return m_nPinCount; }
  ULONG GetNodeCount() const { return m_nNodeCount; }
  adapter::IUacEntity* GetPinEntity(ULONG Pin) const;
  adapter::IUacEntity* GetNodeEntity(ULONG Node) const;
  // The entity type the node had when the descriptor was built (its row).
  ULONG GetNodeType(ULONG Node) const;
  DEVICE_POWER_STATE GetDevicePowerState() const { return m_DevicePowerState; }
  // KSEVENT_CONTROL_CHANGE on the node, through the port's event list.
  void GenerateControlChange(ULONG Node);
  // Adds an enabled event to the port's list; no entry or no port events: STATUS_UNSUCCESSFUL.
  NTSTATUS AddEvent(PPCEVENT_ENTRY Entry);

  // The miniport a property or event request of its filter is addressed to.
  static CMiniportTopology* FromTarget(PUNKNOWN MajorTarget);

 private:
  struct PinEntry {
    adapter::IUacEntity* entity;  // one reference
    ULONG id;
    ULONG type;  // 0 input terminal, 1 output terminal
    ULONG kind;  // endpoint type
  };
  struct NodeEntry {
    adapter::IUacEntity* entity;  // one reference
    ULONG id;
    ULONG type;
  };

  NTSTATUS BuildEntries();
  NTSTATUS BuildDescriptor();
  NTSTATUS BuildPins();
  NTSTATUS BuildNodes();
  NTSTATUS BuildConnections();
  NTSTATUS WalkUpstream(ULONG Node, ULONG Depth, bool* Visited);
  NTSTATUS AddConnection(ULONG FromNode, ULONG FromPin, ULONG ToNode, ULONG ToPin);
  bool FindNode(ULONG EntityId, PULONG Node) const;
  bool FindPin(ULONG EntityId, PULONG Pin) const;
  void ReadPinName(ULONG Pin, PCWSTR Prefix, const GUID& Default, bool HasDefault);
  void ReleaseAll();

  static VOID OnControlChange(PVOID Context, PVOID Argument1, PVOID Argument2);

  PPCFILTER_DESCRIPTOR m_pFilterDescriptor;  // paged
  PPCPIN_DESCRIPTOR m_pPins;                 // paged, one per pin entry
  PPCNODE_DESCRIPTOR m_pNodes;               // paged, one per node entry
  PPCCONNECTION_DESCRIPTOR m_pConnections;   // paged
  PPORTTOPOLOGY m_pPort;
  PPORTEVENTS m_pPortEvents;
  PWSTR m_pName;  // paged, kTopologyNameBytes
  PVOID m_pCallbackRegistration;
  adapter::IAudioHal* m_pAdapter;
  DEVICE_POWER_STATE m_DevicePowerState;
  // Pin and node entries in their KS order (pin and node numbers are positions). They
  // are non-paged: the control-change callback may run at DISPATCH_LEVEL.
  PinEntry* m_pPinEntries;
  NodeEntry* m_pNodeEntries;
  ULONG m_nPinCount;
  ULONG m_nNodeCount;
  ULONG m_nConnectionCount;
  ULONG m_nConnectionCapacity;
  // One name per pin (S/PDIF and line names come from "Settings" per pin) and per node
  // (each effect node names itself), so no two pins or nodes share a name buffer.
  GUID* m_pPinNames;   // paged
  GUID* m_pNodeNames;  // paged
};

// Factory of the topology miniport (the index is unused): returns its IMiniportTopology
// with one reference; no memory: STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS CreateMiniportTopology(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                ULONG Index);

}  // namespace filters
