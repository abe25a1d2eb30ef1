// The platform's verifier: misuse of a kernel API by the code above it is reported here,
// with the API and the caller, instead of being silently tolerated.
#pragma once

#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

namespace platform::verifier {

enum class Check {
  BlockingWaitAboveApc,    // KeWaitFor*/KeDelayExecutionThread with a non-zero timeout above APC_LEVEL
  MutexAcquireAboveApc,    // kernel mutex acquired above APC_LEVEL
  PagedAllocAboveApc,      // paged pool allocation above APC_LEVEL
  SpinLockHeldAcrossWait,  // blocking wait while the thread holds a spin lock
  MutexNotOwned,           // kernel mutex released by a thread that does not own it
  IrpCompletedTwice,       // IoCompleteRequest on an IRP already completed
  ReferenceBelowZero,      // a reference count dropped below zero
  UnknownFree,             // free of a block the pool never handed out (or freed twice)
  LeakAtTeardown,          // blocks or objects still alive when a scope ends
  IrqlMisuse,              // lowering to a higher IRQL, raising to a lower one, and the like
  InvalidArgument,         // an API called with arguments a real kernel would bug-check on
  Deadlock,                // every platform thread blocked for good in virtual time
  LockHeldAtExit,          // a thread or a DPC/work item ended holding a lock or a raised IRQL
  ObjectFreedInUse,        // pool freed while it holds an armed timer, a queued DPC or an awaited object
  IrpFreedInUse,           // IoFreeIrp on an IRP a driver still owns
  SpinLockWrongIrql,       // spin lock released at an IRQL other than DISPATCH_LEVEL, or to another IRQL
                           // than its acquisition raised from
  PendingRule,             // STATUS_PENDING without IoMarkIrpPending and the like, status mismatches
  CallAboveIrql,           // a routine called above its documented IRQL
  Hang,                    // a context polling without end: many calls, no wait, no clock progress
  PagedAccessAboveApc,     // paged pool read or written at DISPATCH_LEVEL or above
  MemoryInUseByIo,         // pool freed while a live IRP still uses it (URB, buffer, MDL, completion context)
  WriteAfterFree,          // freed pool written while it waited in the quarantine
  BufferOverrun,           // a handler wrote past the end of the buffer it was given
  IrpOwnership,            // a driver-allocated IRP completed back to the I/O manager, or used after that
  IrqlNotRestored,         // a dispatch or completion routine returned at another IRQL than it was called at
  LockOrderInversion,      // two locks taken in both orders (a possible deadlock), both orders' sites named
  DpcTooLong,              // a DPC routine used more processor time than the DPC time limit
  CompletionNesting,       // completions nested too deep inside one call (a routine resubmitting into a
                           // driver that completes at once recurses until the stack overflows)
  DispatchWatchdog,        // a processor stayed at DISPATCH_LEVEL, cumulatively, longer than the watchdog bound
  ObjectUsedAfterFree,     // an object's memory touched after its last reference went (a device object)
  UserMappingSharesPage,   // pool mapped into user mode that shares a page with other allocations
};

const char* CheckName(Check check);

struct Violation {
  Check check;
  std::string api;      // the API that detected it, e.g. "KeWaitForSingleObject"
  std::string detail;   // what was wrong
  std::string caller;   // "file:line (function)" of the driver code that called the API
};

// Reports a violation to the installed handler. The default handler prints the
// violation to stderr and aborts; test fixtures install one that fails the test.
void Report(Check check, const char* api, std::string detail,
            const std::source_location& caller = std::source_location::current());

// Reports (CallAboveIrql) a call made above `highest`, the highest IRQL its caller may
// be at (PASSIVE_LEVEL 0, APC_LEVEL 1, DISPATCH_LEVEL 2). Returns false when it was.
bool RequireIrqlAtMost(unsigned char highest, const char* api,
                       const std::source_location& caller = std::source_location::current());

// The same with the caller already as text (for findings made where no source location
// is at hand, such as a faulting memory access).
void Report(Check check, const char* api, std::string detail, std::string caller);

// Stream findings: what a listener would hear, reported by the simulated device (an
// underrun or overrun of its FIFO inside a stream) and the engine client (its invariant
// checks). They do not stop the test at once (the stream goes on, as audio would); the
// kernel test fixture fails the test at teardown on every finding it did not declare.
struct StreamFinding {
  std::string source;  // "device endpoint 0x01", "engine render stream"
  std::string kind;    // "underrun", "overrun", or the engine's issue name
  long long time;      // virtual time (100 ns units) when it began
  std::string detail;
};
void ReportStreamFinding(StreamFinding finding);
// Takes every stream finding reported since the last call.
std::vector<StreamFinding> TakeStreamFindings();

// The DPC time limit: a DPC routine charged more processor time than `limit` microseconds
// (its thread's, less the platform's own work: kernel/platform_work.h) is reported
// (DpcTooLong) at once when the run is twice the limit or more, else when the routine went
// over the limit before in the same test (one run a little over can be the machine's load).
void SetDpcTimeLimit(unsigned long long limitMicroseconds);
unsigned long long DpcTimeLimit();
// The dispatch watchdog: processor time one virtual processor spends at DISPATCH_LEVEL
// without coming back below it (DPCs back to back on its DPC context, a thread's raised
// section and the DPCs it delivers as it lowers) is added up; a run over `limit` is
// reported (DispatchWatchdog, naming the routine that crossed it) by the same rule. Both:
// 0 turns it off; UA_DPC_LIMIT_US and UA_DISPATCH_WATCHDOG_US set them at start-up (the
// stress runs: 1 ms, 20 ms); off in the default suite, as they measure real time; sanitizer
// builds scale them by 10; setting one starts a new record. Exempt routines count for neither.
void SetDispatchWatchdog(unsigned long long limitMicroseconds);
unsigned long long DispatchWatchdog();

// Set the DPC time limit or the dispatch watchdog for a scope (microseconds before the
// sanitizer scale, 0: off) and put back what was set before.
class ScopedDpcTimeLimit {
 public:
  explicit ScopedDpcTimeLimit(unsigned long long limitMicroseconds);
  ~ScopedDpcTimeLimit();
  ScopedDpcTimeLimit(const ScopedDpcTimeLimit&) = delete;
  ScopedDpcTimeLimit& operator=(const ScopedDpcTimeLimit&) = delete;

 private:
  unsigned long long previous_;
};
class ScopedDispatchWatchdog {
 public:
  explicit ScopedDispatchWatchdog(unsigned long long limitMicroseconds);
  ~ScopedDispatchWatchdog();
  ScopedDispatchWatchdog(const ScopedDispatchWatchdog&) = delete;
  ScopedDispatchWatchdog& operator=(const ScopedDispatchWatchdog&) = delete;

 private:
  unsigned long long previous_;
};

// Exempts a DPC routine of the platform's own simulated hardware (the bus's schedule,
// which runs the simulated device) from the limit: its time is the hardware's.
void ExemptFromDpcTimeLimit(const void* routine);
bool IsExemptFromDpcTimeLimit(const void* routine);

// Forgets every lock order seen so far (the kernel test fixture does between tests).
void ResetLockOrder();

using Handler = std::function<void(const Violation&)>;
// Installs a handler and returns the previous one.
Handler SetHandler(Handler handler);

// Collects every violation reported while it is alive (for tests that provoke them).
class ScopedCapture {
 public:
  ScopedCapture();
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  const std::vector<Violation>& violations() const { return violations_; }
  bool Saw(Check check) const;

 private:
  Handler previous_;
  std::vector<Violation> violations_;
};

}  // namespace platform::verifier
