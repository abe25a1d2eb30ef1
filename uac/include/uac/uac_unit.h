// CUacUnit: the base of every unit and terminal parsed from the Audio Control interface.
// It keeps a copy of the unit's class-specific descriptor, the bound control nodes it
// created (one reference each, in creation order) and the root USB device object through
// which its class and vendor requests go.
#pragma once

#include "adapter/ref_list.h"
#include "adapter/uac_entity.h"
#include "adapter/usb_audio_device.h"
#include "uac/descriptor_rules.h"
#include "uac/unit_interfaces.h"

namespace adapter {
class CAudioHal;
}

namespace uac {

inline constexpr ULONG kUnitPoolTag = MakePoolTag('A', 'U', 'A', 'T');
// Nodes, vendor blocks and kind arrays of the UAC 1.0 units.
inline constexpr ULONG kUac1PoolTag = MakePoolTag('U', 'A', '1', '0');

// The class request codes the units send.
using adapter::kGetCur;
using adapter::kGetMax;
using adapter::kGetMem;
using adapter::kGetMin;
using adapter::kGetRes;
using adapter::kSetCur;

class CUacUnit : public IUacUnit, public adapter::CUacEntity {
 public:
  CUacUnit(PUNKNOWN outerUnknown, ULONG id, ULONG type);
  // Releases every node and frees the descriptor copy.
  ~CUacUnit() override;

  DECLARE_STD_UNKNOWN();

  // The builder's call: descriptor (already checked by the builder as a whole; the unit
  // refuses what it cannot work with), the root device the requests go through (not
  // referenced: the unit lives inside the function the device owns) and the function
  // whose entity list receives the nodes. Bad arguments: STATUS_INVALID_PARAMETER.
  virtual NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) = 0;

  // IUacUnit
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;
  STDMETHODIMP_(ULONG) GetNodeCount() override;
  STDMETHODIMP_(adapter::IUacEntity*) GetNode(ULONG Index) override;
  STDMETHODIMP GetOutputNodeId(PULONG Id) override;
  STDMETHODIMP SetInputSources(ULONG Count, const ULONG* Ids) override;
  STDMETHODIMP_(UCHAR) GetSubtype() override { return static_cast<UCHAR>(m_nType); }
  STDMETHODIMP_(const char*) GetClassName() override { return m_pClassName; }
  // Names the class a chip's table chose (static text).
  void SetClassName(const char* Name) { m_pClassName = Name; }

  // Adds a reference and appends; STATUS_UNSUCCESSFUL when the append fails.
  NTSTATUS AddNode(adapter::IUacEntity* Node);
  void ReleaseNodes();
  // Chains the nodes: each node of a chained type takes the identifier before it as its
  // first source, so a feature unit's nodes form one line and an output terminal's kind
  // nodes all hang from its first node.
  void LinkNodeChain();

  const UCHAR* Descriptor() const { return m_pDescriptor; }
  ULONG DescriptorLength() const { return m_nDescriptorLength; }
  // Why Init failed, as words that follow the unit's name ("has no mute control, so the
  // function is not built"); null when Init succeeded or found nothing to name.
  const char* RefusalReason() const { return m_pRefusal; }

 protected:
  // Keeps the first reason a failing Init found and passes its status on.
  NTSTATUS Refuse(NTSTATUS Status, const char* Reason) {
    if (!m_pRefusal) m_pRefusal = Reason;
    return Status;
  }
  // Checks the arguments, the descriptor type and subtype and the length rule of the
  // class version (the one the function's validation applies), copies bLength bytes and
  // creates the node list.
  NTSTATUS InitUnit(const void* Descriptor, adapter::IUsbAudioDevice* Device, UCHAR Protocol, UCHAR Subtype);
  // One class (or vendor) request to this unit on the Audio Control interface through
  // SubmitUrbSync; *Transferred (optional) receives the bytes moved.
  NTSTATUS SendRequest(bool Vendor, bool Read, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length,
                       PULONG Transferred = nullptr);
  // Appends a node the unit created (one creation reference) to the function's entity
  // list and to the unit's node list, then drops the creation reference.
  NTSTATUS AddCreatedNode(adapter::CAudioHal* Function, adapter::IUacEntity* Node);

  adapter::IUsbAudioDevice* m_pDevice;
  PUCHAR m_pDescriptor;  // paged, kUnitPoolTag
  ULONG m_nDescriptorLength;
  adapter::CRefList<adapter::IUacEntity>* m_pNodes;  // one reference each
  const char* m_pRefusal;                            // static text
  const char* m_pClassName = nullptr;                // static text
};
using PCUACUNIT = CUacUnit*;

// One row of a class version's unit table: the Audio Control subtype and the creation of
// the class that builds it (zeroed non-paged pool, one reference).
struct UnitClassRow {
  UCHAR Subtype;
  NTSTATUS (*Create)(ULONG Id, UCHAR Subtype, adapter::IUacEntity** Entity);
};

// Creates the class of the table's row for the subtype with the identifier. A subtype the
// table has no row for: STATUS_INVALID_PARAMETER.
NTSTATUS CreateUnitOfTable(const UnitClassRow* Rows, ULONG Count, UCHAR Subtype, ULONG Id, CUacUnit** Unit);

// Creates the UAC 1.0 unit class for a descriptor subtype (2 to 6) with the identifier,
// zeroed from non-paged pool; the caller then calls Init. One reference, released
// through the unit's IUacEntity. Any other subtype: STATUS_INVALID_PARAMETER.
NTSTATUS CreateUac1Unit(UCHAR Subtype, ULONG Id, CUacUnit** Unit);

}  // namespace uac
