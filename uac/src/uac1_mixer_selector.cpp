#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/bound_nodes.h"
#include "uac/uac1_mixer_selector.h"

namespace uac {

namespace {

// Mixer and selector units: bUnitID at 3, bNrInPins at 4, the source ids from 5.
constexpr ULONG kInPins = 4;
constexpr ULONG kFirstSource = 5;

NTSTATUS SetPinSources(adapter::CUacEntity& unit, const UCHAR* descriptor) {
  const ULONG pins = descriptor[kInPins];  // the length rule holds them all
  ULONG ids[255];
  for (ULONG i = 0; i < pins; ++i) ids[i] = descriptor[kFirstSource + i];
  return unit.SetSources(pins, ids);
}

NTSTATUS SingleNodeId(IUacUnit& unit, PULONG NodeId) {
  if (!NodeId || unit.GetNodeCount() != 1) return STATUS_UNSUCCESSFUL;
  *NodeId = unit.GetNode(0)->GetId();
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Mixer unit

NTSTATUS CUac1MixerUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_MIXER_UNIT);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CUac1MixerUnit::CreateControls(adapter::CAudioHal* Function) {
  NTSTATUS status = SetPinSources(*this, m_pDescriptor);
  if (!NT_SUCCESS(status)) return status;
  adapter::IUacEntity* entity = nullptr;
  status =
      adapter::CreateInstance<CUacMixerNode>(&entity, nullptr, NonPagedPool, kUac1PoolTag, Function->GetEntityCount());
  if (!NT_SUCCESS(status)) return status;
  status = static_cast<CUacMixerNode*>(entity)->InitUacMixerNode(static_cast<IUacUnit*>(this));
  if (!NT_SUCCESS(status)) {
    entity->Release();
    return status;
  }
  return AddCreatedNode(Function, entity);
}

STDMETHODIMP CUac1MixerUnit::HandleStatusChange(ULONG, ULONG, PULONG NodeId) { return SingleNodeId(*this, NodeId); }

// ---------------------------------------------------------------------------------------
// Selector unit

STDMETHODIMP CUac1SelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_ISelectorNode))
    return adapter::ReturnInterface<adapter::ISelectorNode>(this, object);
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUac1SelectorUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                 adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_SELECTOR_UNIT);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CUac1SelectorUnit::CreateControls(adapter::CAudioHal* Function) {
  NTSTATUS status = SetPinSources(*this, m_pDescriptor);
  if (!NT_SUCCESS(status)) return status;
  adapter::IUacEntity* entity = nullptr;
  status = adapter::CreateInstance<CUacSelectorNode>(&entity, nullptr, NonPagedPool, kUac1PoolTag,
                                                     Function->GetEntityCount());
  if (!NT_SUCCESS(status)) return status;
  status = static_cast<CUacSelectorNode*>(entity)->InitUacSelectorNode(static_cast<adapter::ISelectorNode*>(this),
                                                                       Function->GetDeviceObject());
  if (!NT_SUCCESS(status)) {
    entity->Release();
    return status;
  }
  return AddCreatedNode(Function, entity);
}

STDMETHODIMP CUac1SelectorUnit::HandleStatusChange(ULONG, ULONG, PULONG NodeId) { return SingleNodeId(*this, NodeId); }

STDMETHODIMP CUac1SelectorUnit::GetSelected(PULONG Input) {
  if (!Input) return STATUS_INVALID_PARAMETER;
  if (!m_pDescriptor) return STATUS_INVALID_PARAMETER;  // not initialised
  UCHAR wire = 0;
  NTSTATUS status = SendRequest(false, true, kGetCur, 0, &wire, 1);
  if (NT_SUCCESS(status)) *Input = wire;
  return status;
}

STDMETHODIMP CUac1SelectorUnit::SetSelected(ULONG Input) {
  if (!m_pDescriptor) return STATUS_INVALID_PARAMETER;  // not initialised
  if (Input < 1 || Input > m_pDescriptor[kInPins]) return STATUS_INVALID_PARAMETER;
  UCHAR wire = static_cast<UCHAR>(Input);
  return SendRequest(false, false, kSetCur, 0, &wire, 1);
}

STDMETHODIMP CUac1SelectorUnit::GetInputCount(PULONG Count) {
  if (!Count || !m_pDescriptor) return STATUS_INVALID_PARAMETER;
  *Count = m_pDescriptor[kInPins];
  return STATUS_SUCCESS;
}

}  // namespace uac
