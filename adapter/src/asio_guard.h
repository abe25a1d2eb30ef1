// Holds the root device's ASIO and power mutex for a scope.
#pragma once

#include "adapter/kernel_mutex.h"

namespace adapter {

class AsioGuard {
 public:
  explicit AsioGuard(CKernelMutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~AsioGuard() { mutex_.Unlock(); }
  AsioGuard(const AsioGuard&) = delete;
  AsioGuard& operator=(const AsioGuard&) = delete;

 private:
  CKernelMutex& mutex_;
};

}  // namespace adapter
