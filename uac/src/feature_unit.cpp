#include "uac/feature_unit.h"

#include "adapter/audio_hal.h"

namespace uac {

namespace {

// Descriptor offset of bSourceID, the same in both class versions.
constexpr ULONG kFuSourceId = 4;

}  // namespace

CUacFeatureUnit::CUacFeatureUnit(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag)
    : CUacUnit(outerUnknown, id, AC_FEATURE_UNIT),
      m_pVendorBlock(nullptr),
      m_nVendorBlockLength(0),
      m_nPoolTag(poolTag) {}

CUacFeatureUnit::~CUacFeatureUnit() {
  ReleaseNodes();
  if (m_pVendorBlock) ExFreePoolWithTag(m_pVendorBlock, m_nPoolTag);
}

STDMETHODIMP CUacFeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacBoolControlSource))
    return adapter::ReturnInterface<IUacBoolControlSource>(this, object);
  if (object && IsEqualGUID(iid, IID_IUacLevelControlSource))
    return adapter::ReturnInterface<IUacLevelControlSource>(this, object);
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUacFeatureUnit::CreateControlNodes(adapter::CAudioHal* Function, const FeatureControlRow* Rows,
                                             ULONG Count, ULONG NodePoolTag) {
  if (!Function || !m_pDescriptor) return STATUS_INVALID_PARAMETER;
  const ULONG source = m_pDescriptor[kFuSourceId];
  NTSTATUS status = SetSources(1, &source);
  if (!NT_SUCCESS(status)) return status;
  ULONG nextId = Function->GetEntityCount();
  // Every feature-unit class insists on a mute control; without one it builds nothing.
  if (!HasControl(FU_MUTE))
    return Refuse(STATUS_INSUFFICIENT_RESOURCES, "has no mute control, so the function is not built");
  PDEVICE_OBJECT deviceObject = Function->GetDeviceObject();
  PUNKNOWN unit = static_cast<IUacBoolControlSource*>(this);
  for (ULONG r = 0; r < Count; ++r) {
    const FeatureControlRow& row = Rows[r];
    if (!HasControl(row.Selector)) continue;
    adapter::IUacEntity* node = nullptr;
    status = row.Create(NodePoolTag ? NodePoolTag : m_nPoolTag, nextId, unit, row.Selector, deviceObject, &node);
    if (!node) {
      if (row.Selector == FU_MUTE)
        return Refuse(STATUS_INSUFFICIENT_RESOURCES, "could not get memory for its mute control");
      continue;  // a node without memory is left out
    }
    if (!NT_SUCCESS(status)) {
      node->Release();
      return Refuse(status, row.SetUpFailure);
    }
    status = AddCreatedNode(Function, node);
    if (!NT_SUCCESS(status)) return status;
    NodeCreated(row.Selector, nextId);
    ++nextId;
  }
  return STATUS_SUCCESS;
}

}  // namespace uac
