#include "adapter/kernel_mutex.h"

#include <string>

#include "kernel/verifier.h"

namespace adapter {
namespace {

// Lock and Unlock are pageable: running them above APC_LEVEL is a fault.
void PagedCode(const char* api, const std::source_location& caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL) {
    platform::verifier::Report(platform::verifier::Check::IrqlMisuse, api,
                               "pageable code run at IRQL " + std::to_string(irql), caller);
  }
}

}  // namespace

CKernelMutex::CKernelMutex() { KeInitializeMutex(&m_Mutex, 0); }

bool CKernelMutex::Lock(const std::source_location& caller) {
  PagedCode("CKernelMutex::Lock", caller);
  KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr, caller);
  return true;
}

bool CKernelMutex::Reserved1() { return false; }

bool CKernelMutex::Unlock(const std::source_location& caller) {
  PagedCode("CKernelMutex::Unlock", caller);
  KeReleaseMutex(&m_Mutex, FALSE, caller);
  return true;
}

bool CKernelMutex::Reserved2() { return false; }

bool CKernelMutex::TryLock(const std::source_location& caller) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &zero, caller) == STATUS_SUCCESS;
}

bool CKernelMutex::UnlockResident(const std::source_location& caller) {
  KeReleaseMutex(&m_Mutex, FALSE, caller);
  return true;
}

}  // namespace adapter
