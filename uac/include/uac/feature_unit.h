// CUacFeatureUnit: what the feature units of both class versions share. The unit is the
// on/off and level control source its bound nodes reach the device through; it keeps the
// maker's vendor block when the device has one, and creates one bound node per control it
// has, in the order of its class version's control table, all under the version's tag.
#pragma once

#include "adapter/object_model.h"
#include "uac/uac_unit.h"

namespace uac {

// Feature-unit control selectors.
enum Uac1FeatureSelector : ULONG {
  FU_MUTE = 1,
  FU_VOLUME = 2,
  FU_BASS = 3,
  FU_MID = 4,
  FU_TREBLE = 5,
  FU_EQUALIZER = 6,
  FU_AGC = 7,
  FU_DELAY = 8,
  FU_BASS_BOOST = 9,
  FU_LOUDNESS = 10,
  FU_VENDOR_EFFECT_1 = 0x8B,
  FU_VENDOR_EFFECT_2 = 0x8C,
};

// One control a feature unit may build a node for, as a row of its class version's table.
struct FeatureControlRow {
  ULONG Selector;
  // Creates the node with the identifier (null: no memory, STATUS_INSUFFICIENT_RESOURCES)
  // and binds it to the unit's control; a failed binding leaves the node to the caller.
  NTSTATUS (*Create)(ULONG PoolTag, ULONG Id, PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject,
                     adapter::IUacEntity** Node);
  // The words of the unit's refusal when the binding fails.
  const char* SetUpFailure;
};

class CUacFeatureUnit : public IUacBoolControlSource, public IUacLevelControlSource, public CUacUnit {
 public:
  // `poolTag`: the class version's tag for the vendor block and the nodes.
  CUacFeatureUnit(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag);
  // Releases the nodes first (they reach the unit while they are released), then the block.
  ~CUacFeatureUnit() override;

  DECLARE_STD_UNKNOWN();

  // Whether the master or any logical channel has the control.
  virtual bool HasControl(ULONG Selector) const = 0;
  bool HasVendorBlock() const { return m_pVendorBlock != nullptr; }

 protected:
  // Takes the descriptor's bSourceID as the unit's source and creates a node for each row
  // whose control the unit has. A unit without mute creates nothing and refuses; a node
  // without memory is left out, except mute's; a failed binding refuses with the row's words.
  // The nodes are allocated under NodePoolTag, or the unit's tag when it is 0.
  NTSTATUS CreateControlNodes(adapter::CAudioHal* Function, const FeatureControlRow* Rows, ULONG Count,
                              ULONG NodePoolTag = 0);
  // Called for each node listed, with the control it stands for.
  virtual void NodeCreated(ULONG /*Selector*/, ULONG /*NodeId*/) {}

  PUCHAR m_pVendorBlock;  // non-paged, m_nPoolTag
  ULONG m_nVendorBlockLength;
  ULONG m_nPoolTag;
};

// A row's creator for node class Node, bound through its Init member Bind.
template <class Node, auto Bind>
NTSTATUS CreateFeatureControl(ULONG PoolTag, ULONG Id, PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject,
                              adapter::IUacEntity** Out) {
  *Out = nullptr;
  adapter::IUacEntity* entity = nullptr;
  if (!NT_SUCCESS(adapter::CreateInstance<Node>(&entity, nullptr, NonPagedPool, PoolTag, Id)))
    return STATUS_INSUFFICIENT_RESOURCES;
  *Out = entity;
  return (static_cast<Node*>(entity)->*Bind)(Unit, Selector, DeviceObject);
}

}  // namespace uac
