#include "kernel/unknown.h"

#include <cstring>

#include "kernel/verifier.h"

CUnknown::CUnknown(PUNKNOWN outerUnknown) : m_lRefCount(0), m_pUnknownOuter(nullptr) {
  m_nonDelegating.owner = this;
  m_pUnknownOuter = outerUnknown ? outerUnknown : &m_nonDelegating;
}

CUnknown::~CUnknown() = default;

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *object = NonDelegatingUnknown();
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
  return static_cast<ULONG>(__atomic_add_fetch(&m_lRefCount, 1, __ATOMIC_SEQ_CST));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  LONG count = __atomic_sub_fetch(&m_lRefCount, 1, __ATOMIC_SEQ_CST);
  if (count < 0) {
    platform::verifier::Report(platform::verifier::Check::ReferenceBelowZero, "Release",
                               "reference count of an object dropped below zero");
    return 0;
  }
  if (count == 0) {
    // Keep the count at one while the destructor runs, so a reference taken and
    // dropped by the destructor itself does not destroy the object twice.
    m_lRefCount = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

void* CUnknown::operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept {
  void* block = ExAllocatePoolWithTag(type, bytes, tag);
  if (block) std::memset(block, 0, bytes);
  return block;
}

void CUnknown::operator delete(void* block, POOL_TYPE, ULONG) noexcept {
  if (block) ExFreePool(block);
}

void CUnknown::operator delete(void* block) noexcept {
  if (block) ExFreePool(block);
}
