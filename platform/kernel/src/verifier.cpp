#include "kernel/verifier.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "kernel/ke.h"
#include "sched.h"
#include "sanitizers.h"

namespace platform::verifier {
namespace {

std::mutex& HandlerMutex() {
  static std::mutex m;
  return m;
}

Handler& CurrentHandler() {
  static Handler h;
  return h;
}

void DefaultHandler(const Violation& v) {
  std::fprintf(stderr, "VERIFIER: %s in %s: %s (caller %s)\n", CheckName(v.check), v.api.c_str(),
               v.detail.c_str(), v.caller.c_str());
  std::abort();
}

}  // namespace

bool RequireIrqlAtMost(unsigned char highest, const char* api, const std::source_location& caller) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql <= highest) return true;
  static const char* const names[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
  Report(Check::CallAboveIrql, api,
         "called at IRQL " + std::to_string(irql) + "; allowed up to " +
             (highest < 3 ? names[highest] : std::to_string(highest).c_str()),
         caller);
  return false;
}

const char* CheckName(Check check) {
  switch (check) {
    case Check::BlockingWaitAboveApc: return "blocking wait above APC_LEVEL";
    case Check::MutexAcquireAboveApc: return "mutex acquired above APC_LEVEL";
    case Check::PagedAllocAboveApc: return "paged allocation above APC_LEVEL";
    case Check::SpinLockHeldAcrossWait: return "spin lock held across a wait";
    case Check::MutexNotOwned: return "mutex released by a thread that does not own it";
    case Check::IrpCompletedTwice: return "IRP completed twice";
    case Check::ReferenceBelowZero: return "reference count below zero";
    case Check::UnknownFree: return "free of an unknown block";
    case Check::LeakAtTeardown: return "leak at teardown";
    case Check::IrqlMisuse: return "IRQL misuse";
    case Check::InvalidArgument: return "invalid argument";
    case Check::Deadlock: return "deadlock";
    case Check::LockHeldAtExit: return "lock or raised IRQL kept at exit";
    case Check::ObjectFreedInUse: return "memory freed while a kernel object in it is in use";
    case Check::IrpFreedInUse: return "IRP freed while in use";
    case Check::SpinLockWrongIrql: return "spin lock released at the wrong IRQL";
    case Check::PendingRule: return "pending rule broken";
    case Check::CallAboveIrql: return "call above its documented IRQL";
    case Check::Hang: return "hang: polling without end";
    case Check::PagedAccessAboveApc: return "paged pool touched at DISPATCH_LEVEL or above";
    case Check::MemoryInUseByIo: return "memory freed while an IRP still uses it";
    case Check::WriteAfterFree: return "freed memory written";
    case Check::BufferOverrun: return "write past the end of a buffer";
    case Check::IrpOwnership: return "IRP ownership broken";
    case Check::IrqlNotRestored: return "IRQL not restored on return";
    case Check::LockOrderInversion: return "locks taken in both orders";
    case Check::CompletionNesting: return "completions nested too deep";
    case Check::DpcTooLong: return "DPC ran too long";
    case Check::DispatchWatchdog: return "dispatch watchdog: too long at DISPATCH_LEVEL";
    case Check::ObjectUsedAfterFree: return "object used after its last reference";
    case Check::UserMappingSharesPage: return "user mapping shares a page with other pool";
  }
  return "unknown check";
}

void Report(Check check, const char* api, std::string detail, const std::source_location& caller) {
  Report(check, api, std::move(detail),
         std::string(caller.file_name()) + ":" + std::to_string(caller.line()) + " (" + caller.function_name() + ")");
}

void Report(Check check, const char* api, std::string detail, std::string caller) {
  Violation v{check, api ? api : "", std::move(detail), std::move(caller)};
  Handler h;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    h = CurrentHandler();
  }
  if (h) {
    h(v);
  } else {
    DefaultHandler(v);
  }
}

Handler SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  Handler previous = std::move(CurrentHandler());
  CurrentHandler() = std::move(handler);
  return previous;
}

namespace {

struct StreamFindings {
  std::mutex mutex;
  std::vector<StreamFinding> list;
};

StreamFindings& Findings() {
  static StreamFindings* f = new StreamFindings;
  return *f;
}

}  // namespace

void ReportStreamFinding(StreamFinding finding) {
  auto& f = Findings();
  std::lock_guard lock(f.mutex);
  f.list.push_back(std::move(finding));
}

std::vector<StreamFinding> TakeStreamFindings() {
  auto& f = Findings();
  std::lock_guard lock(f.mutex);
  std::vector<StreamFinding> out;
  out.swap(f.list);
  return out;
}

namespace {

#if UA_ADDRESS_SANITIZER || defined(__SANITIZE_THREAD__)
constexpr unsigned long long kSanitizerScale = 10;
#else
constexpr unsigned long long kSanitizerScale = 1;
#endif

std::atomic<unsigned long long>& DpcLimit() {
  static std::atomic<unsigned long long> limit{[] {
    const char* text = std::getenv("UA_DPC_LIMIT_US");
    return text && *text ? std::strtoull(text, nullptr, 10) * kSanitizerScale : 0ULL;
  }()};
  return limit;
}

}  // namespace

// Setting a limit starts a new record of the runs over it (kernel_detail, dispatch_time.cpp).
void SetDpcTimeLimit(unsigned long long limitMicroseconds) {
  DpcLimit().store(limitMicroseconds * kSanitizerScale, std::memory_order_relaxed);
  kernel_detail::ForgetDispatchTimeStrikes();
}

unsigned long long DpcTimeLimit() { return DpcLimit().load(std::memory_order_relaxed); }

namespace {

std::atomic<unsigned long long>& WatchdogLimit() {
  static std::atomic<unsigned long long> limit{[] {
    const char* text = std::getenv("UA_DISPATCH_WATCHDOG_US");
    return text && *text ? std::strtoull(text, nullptr, 10) * kSanitizerScale : 0ULL;
  }()};
  return limit;
}

}  // namespace

void SetDispatchWatchdog(unsigned long long limitMicroseconds) {
  WatchdogLimit().store(limitMicroseconds * kSanitizerScale, std::memory_order_relaxed);
  kernel_detail::ForgetDispatchTimeStrikes();
}

unsigned long long DispatchWatchdog() { return WatchdogLimit().load(std::memory_order_relaxed); }

// The limits are kept scaled: a scope puts the stored value back as it was.
ScopedDpcTimeLimit::ScopedDpcTimeLimit(unsigned long long limitMicroseconds)
    : previous_(DpcLimit().load(std::memory_order_relaxed)) {
  SetDpcTimeLimit(limitMicroseconds);
}
ScopedDpcTimeLimit::~ScopedDpcTimeLimit() {
  DpcLimit().store(previous_, std::memory_order_relaxed);
  kernel_detail::ForgetDispatchTimeStrikes();
}

ScopedDispatchWatchdog::ScopedDispatchWatchdog(unsigned long long limitMicroseconds)
    : previous_(WatchdogLimit().load(std::memory_order_relaxed)) {
  SetDispatchWatchdog(limitMicroseconds);
}
ScopedDispatchWatchdog::~ScopedDispatchWatchdog() {
  WatchdogLimit().store(previous_, std::memory_order_relaxed);
  kernel_detail::ForgetDispatchTimeStrikes();
}

namespace {

struct Exempt {
  std::mutex mutex;
  std::vector<const void*> routines;
};

Exempt& Exempted() {
  static Exempt* e = new Exempt;
  return *e;
}

}  // namespace

void ExemptFromDpcTimeLimit(const void* routine) {
  auto& e = Exempted();
  std::lock_guard lock(e.mutex);
  if (std::find(e.routines.begin(), e.routines.end(), routine) == e.routines.end()) e.routines.push_back(routine);
}

bool IsExemptFromDpcTimeLimit(const void* routine) {
  auto& e = Exempted();
  std::lock_guard lock(e.mutex);
  return std::find(e.routines.begin(), e.routines.end(), routine) != e.routines.end();
}

ScopedCapture::ScopedCapture() {
  auto mutex = std::make_shared<std::mutex>();
  previous_ = SetHandler([this, mutex](const Violation& v) {
    std::lock_guard<std::mutex> lock(*mutex);
    violations_.push_back(v);
  });
}

ScopedCapture::~ScopedCapture() { SetHandler(std::move(previous_)); }

bool ScopedCapture::Saw(Check check) const {
  return std::any_of(violations_.begin(), violations_.end(),
                     [check](const Violation& v) { return v.check == check; });
}

}  // namespace platform::verifier
