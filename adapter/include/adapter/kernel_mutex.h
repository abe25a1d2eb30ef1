// CKernelMutex: a kernel mutex with its table of six operations, embedded by value in the
// objects that own it. Drivers take it with Lock and give it back with Unlock; the table
// also offers TryLock (a zero time-out wait) and a resident Unlock, and two slots that
// do nothing. The mutex is recursive: each Lock needs its Unlock.
#pragma once

#include <source_location>

#include "kernel/ke.h"

namespace adapter {

class CKernelMutex {
 public:
  CKernelMutex();
  ~CKernelMutex() = default;  // nothing to undo; the table holds only the six operations
  CKernelMutex(const CKernelMutex&) = delete;
  CKernelMutex& operator=(const CKernelMutex&) = delete;

  // Waits without limit (PASSIVE_LEVEL or APC_LEVEL); true whatever the wait returns.
  virtual bool Lock(const std::source_location& caller = std::source_location::current());
  virtual bool Reserved1();  // does nothing, false
  // Releases one acquisition (PASSIVE_LEVEL or APC_LEVEL); true.
  virtual bool Unlock(const std::source_location& caller = std::source_location::current());
  virtual bool Reserved2();  // does nothing, false
  // Zero time-out wait (up to DISPATCH_LEVEL): true only when the mutex was acquired;
  // false at once when another thread owns it.
  virtual bool TryLock(const std::source_location& caller = std::source_location::current());
  // The resident twin of Unlock.
  virtual bool UnlockResident(const std::source_location& caller = std::source_location::current());

  PKMUTEX Mutex() { return &m_Mutex; }

 private:
  KMUTEX m_Mutex;
};

}  // namespace adapter
