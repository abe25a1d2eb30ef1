#include "adapter/uac_entity.h"

#include "adapter/object_model.h"

namespace adapter {

CUacEntity::CUacEntity(PUNKNOWN outerUnknown, ULONG id, ULONG type)
    : CUnknown(outerUnknown), m_nId(id), m_nType(type), m_nSourceCount(0), m_pSources(nullptr) {}

CUacEntity::~CUacEntity() {
  if (m_pSources) ExFreePoolWithTag(m_pSources, kEntityPoolTag);
}

STDMETHODIMP CUacEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacEntity)) return ReturnInterface<IUacEntity>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CUacEntity::GetSources(PULONG Count, const ULONG** Sources) {
  if (!Count || !Sources) return STATUS_INVALID_PARAMETER;
  *Count = m_nSourceCount;
  *Sources = m_pSources;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacEntity::SetSources(ULONG Count, const ULONG* Sources) {
  if (Count == 0) {
    if (m_pSources) ExFreePoolWithTag(m_pSources, kEntityPoolTag);
    m_pSources = nullptr;
    m_nSourceCount = 0;
    return STATUS_SUCCESS;
  }
  if (!Sources) return STATUS_INVALID_PARAMETER;
  auto* copy = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, SIZE_T{Count} * sizeof(ULONG), kEntityPoolTag));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, Sources, SIZE_T{Count} * sizeof(ULONG));
  if (m_pSources) ExFreePoolWithTag(m_pSources, kEntityPoolTag);
  m_pSources = copy;
  m_nSourceCount = Count;
  return STATUS_SUCCESS;
}

}  // namespace adapter
