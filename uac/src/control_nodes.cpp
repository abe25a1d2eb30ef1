#include "uac/control_nodes.h"

#include "adapter/endpoint_type.h"
#include "adapter/object_model.h"

namespace uac {

ULONG ChannelsShown(ULONG channelCount, ULONG endpointType) {
  constexpr ULONG kAllChannelTypes = (1u << adapter::ENDPOINT_STREAM) | (1u << adapter::ENDPOINT_SPK) |
                                     (1u << adapter::ENDPOINT_HDMI) | (1u << adapter::ENDPOINT_LINE);
  if (adapter::EndpointTypeIn(endpointType, kAllChannelTypes)) return channelCount;
  return channelCount < 2 ? channelCount : 2;
}

// ---------------------------------------------------------------------------------------
// On/off controls

CBoolControl::CBoolControl(PUNKNOWN outerUnknown, ULONG id, ULONG type)
    : CUacEntity(outerUnknown, id, type), m_nChannels(0), m_pValues(nullptr), m_nEndpointType(0) {}

CBoolControl::~CBoolControl() {
  if (m_pValues) ExFreePoolWithTag(m_pValues, kBoolCachePoolTag);
}

STDMETHODIMP CBoolControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IBoolControl)) return adapter::ReturnInterface<IBoolControl>(this, object);
  if (object && IsEqualGUID(iid, adapter::IID_INodeEndpoint))
    return adapter::ReturnInterface<adapter::INodeEndpoint>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CBoolControl::GetValue(ULONG Channel, PUCHAR Value) {
  if (!Value || Channel >= m_nChannels || !m_pValues) return STATUS_INVALID_PARAMETER;
  *Value = m_pValues[Channel];
  return STATUS_SUCCESS;
}

STDMETHODIMP CBoolControl::SetValue(ULONG Channel, UCHAR Value) {
  if (Channel >= m_nChannels || !m_pValues) return STATUS_INVALID_PARAMETER;
  m_pValues[Channel] = Value;
  return STATUS_SUCCESS;
}

STDMETHODIMP CBoolControl::GetChannelCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = ChannelsShown(m_nChannels, m_nEndpointType);
  return STATUS_SUCCESS;
}

STDMETHODIMP CBoolControl::InitChannels(ULONG SourceId, ULONG Count) {
  if (Count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  if (m_pValues) ExFreePoolWithTag(m_pValues, kBoolCachePoolTag);
  m_pValues = nullptr;
  m_nChannels = 0;
  const SIZE_T bytes = SIZE_T{Count} + 1;
  auto* values = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kBoolCachePoolTag));
  if (!values) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(values, bytes);
  NTSTATUS status = SetSources(1, &SourceId);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(values, kBoolCachePoolTag);
    return status;
  }
  m_pValues = values;
  m_nChannels = Count;
  return STATUS_SUCCESS;
}

STDMETHODIMP CBoolControl::SetEndpointType(ULONG EndpointType, PVOID) {
  m_nEndpointType = EndpointType;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Level controls

CLevelControl::CLevelControl(PUNKNOWN outerUnknown, ULONG id, ULONG type)
    : CUacEntity(outerUnknown, id, type),
      m_nChannels(0),
      m_pLevels(nullptr),
      m_nMaximum(0),
      m_nMinimum(0),
      m_nStep(0),
      m_nEndpointType(0) {}

CLevelControl::~CLevelControl() {
  if (m_pLevels) ExFreePoolWithTag(m_pLevels, kLevelCachePoolTag);
}

STDMETHODIMP CLevelControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_ILevelControl)) return adapter::ReturnInterface<ILevelControl>(this, object);
  if (object && IsEqualGUID(iid, adapter::IID_INodeEndpoint))
    return adapter::ReturnInterface<adapter::INodeEndpoint>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CLevelControl::GetLevel(ULONG Channel, PLONG Level) {
  if (!Level || Channel > m_nChannels || !m_pLevels) return STATUS_INVALID_PARAMETER;
  *Level = m_pLevels[Channel];
  return STATUS_SUCCESS;
}

STDMETHODIMP CLevelControl::SetLevel(ULONG Channel, LONG Level) {
  if (Channel > m_nChannels || !m_pLevels) return STATUS_INVALID_PARAMETER;
  m_pLevels[Channel] = Level;
  return STATUS_SUCCESS;
}

STDMETHODIMP CLevelControl::GetRange(PLONG Maximum, PLONG Minimum, PLONG Step) {
  if (!Maximum || !Minimum || !Step) return STATUS_INVALID_PARAMETER;
  *Maximum = m_nMaximum;
  *Minimum = m_nMinimum;
  *Step = m_nStep;
  return STATUS_SUCCESS;
}

STDMETHODIMP CLevelControl::GetChannelCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = ChannelsShown(m_nChannels, m_nEndpointType);
  return STATUS_SUCCESS;
}

STDMETHODIMP CLevelControl::InitChannels(ULONG SourceId, ULONG Count, LONG Maximum, LONG Minimum, LONG Step) {
  if (Count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  if (m_pLevels) ExFreePoolWithTag(m_pLevels, kLevelCachePoolTag);
  m_pLevels = nullptr;
  m_nChannels = 0;
  const SIZE_T bytes = (SIZE_T{Count} + 1) * sizeof(LONG);
  auto* levels = static_cast<PLONG>(ExAllocatePoolWithTag(PagedPool, bytes, kLevelCachePoolTag));
  if (!levels) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(levels, bytes);
  NTSTATUS status = SetSources(1, &SourceId);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(levels, kLevelCachePoolTag);
    return status;
  }
  m_pLevels = levels;
  m_nChannels = Count;
  m_nMaximum = Maximum;
  m_nMinimum = Minimum;
  m_nStep = Step;
  return STATUS_SUCCESS;
}

STDMETHODIMP CLevelControl::SetEndpointType(ULONG EndpointType, PVOID) {
  m_nEndpointType = EndpointType;
  return STATUS_SUCCESS;
}

}  // namespace uac
