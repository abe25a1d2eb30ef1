// The I/O manager's bookkeeping, shared by its source files (private).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <source_location>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/pool.h"

namespace platform::io::detail {

constexpr ULONG kIrpTag = MakePoolTag('I', 'r', 'p', ' ');
constexpr ULONG kCompletionContextTag = MakePoolTag('I', 'o', 'C', 'x');
constexpr ULONG kSystemBufferTag = MakePoolTag('I', 'o', 'S', 'b');
constexpr ULONG kLinkTag = MakePoolTag('I', 'o', 'D', 'i');

enum class IrpState {
  Idle,        // allocated or reused, not sent
  Dispatched,  // owned by a driver below the sender
  Completing,  // completion routines are running
  Stopped,     // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
  Finished,    // every stack location completed
};

struct IrpRecord {
  std::uint64_t generation;
  IrpState state;
  bool fromPool;
  // Set by IoBuildDeviceIoControlRequest: the I/O manager finishes and frees the IRP.
  bool built;
  ULONG method;
  PVOID userOutput;
  ULONG outputLength;
  // Stack locations (bit = CurrentLocation) whose dispatch routine returned STATUS_PENDING
  // before the IRP completed: each must be marked pending when its completion unwinds.
  std::uint64_t pendingReturned;
  bool pendingRuleReported;  // one report per trip down the stack
  // The owner completed the IRP again while a completion routine below it was still
  // running (it set the owner's event and has not returned yet): legal only when that
  // routine returns STATUS_MORE_PROCESSING_REQUIRED, which is checked when it returns.
  bool reentered = false;
  // The width of the process the request comes from: -1 the process default
  // (SetCallerIs32Bit), else 0 or 1 (SetIrpCaller32Bit).
  signed char caller32Bit = -1;
  // Memory the driver below noted as in use for the request besides its stack locations
  // (a URB's transfer buffer): freeing it before the completion starts is reported.
  struct Use {
    const void* address;
    size_t bytes;
    const char* what;
  };
  std::vector<Use> uses = {};
  std::source_location sentBy = {};  // the IofCallDriver that sent it down
  // A driver-allocated IRP whose completion ran through to the I/O manager: it is no
  // longer the driver's, so reusing, resending or freeing it is reported.
  std::string handedBack = {};
};

struct DeviceRecord {
  bool deleted = false;
  std::u16string instancePath;
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
  void (*extensionRelease)(PDEVICE_OBJECT) = nullptr;
};

struct InterfaceRecord {
  GUID classGuid;
  std::u16string reference;
  std::u16string link;
  std::u16string upcasedLink;
  PDEVICE_OBJECT pdo;
  bool enabled;
};

struct State {
  std::mutex mutex;
  std::unordered_map<PIRP, IrpRecord> irps;
  std::uint64_t nextGeneration = 1;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
  ULONG nextInstance = 0;
  std::vector<InterfaceRecord> interfaces;
  std::atomic<bool> caller32Bit{false};
  KSPIN_LOCK cancelLock = 0;
  std::atomic<const void*> cancelOwner{nullptr};  // the context holding the cancel spin lock
};

inline State& S() {
  static State* state = new State;
  return *state;
}

inline std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

inline size_t Align16(size_t n) { return (n + 15) & ~size_t{15}; }

inline NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Success, informational and warning statuses (STATUS_BUFFER_OVERFLOW among them) carry
// their data and byte count back to the caller; only errors do not.
inline bool CarriesData(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) != 3; }

}  // namespace platform::io::detail
