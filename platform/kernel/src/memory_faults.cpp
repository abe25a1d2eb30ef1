#include "memory_faults.h"

#include <dlfcn.h>
#include <ucontext.h>

#include <csetjmp>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <mutex>

#include <sys/uio.h>
#include <unistd.h>

#include "dead_objects.h"
#include "dispatcher_state.h"
#include "paged_arena.h"

#include "sanitizers.h"
#if UA_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace platform::kernel_detail {
namespace {

struct sigaction previousAction;
thread_local sigjmp_buf* tlProbe = nullptr;

void OnSegv(int signal, siginfo_t* info, void* context) {
  // Paged pool still protected from a raised context is readable to this one.
  if (paged::LiftLeftProtection(info->si_addr)) return;
  if (sigjmp_buf* probe = tlProbe) {
    tlProbe = nullptr;
    siglongjmp(*probe, 1);
  }
  if (paged::OnFault(info->si_addr, context)) return;  // handled: the access is retried
  if (dead_objects::OnFault(info->si_addr, context)) return;
  // Not ours: the previous handler, or the default action when the access faults again.
  if (previousAction.sa_flags & SA_SIGINFO) {
    if (previousAction.sa_sigaction) {
      previousAction.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGSEGV, &fallback, nullptr);
}

}  // namespace

void InstallFaultHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnSegv;
    sigemptyset(&action.sa_mask);
    // SA_NODEFER: a probe leaves the handler by siglongjmp without restoring the mask.
    // SA_ONSTACK: a stack overflow still reaches whoever handled it before.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigaction(SIGSEGV, &action, &previousAction);
  });
}

bool ReadableCopy(void* out, const void* from, std::size_t bytes) {
#if UA_ADDRESS_SANITIZER
  if (__asan_region_is_poisoned(const_cast<void*>(from), bytes)) return false;
#endif
#if defined(__SANITIZE_THREAD__)
  // Leaving a fault handler by siglongjmp does not survive ThreadSanitizer's signal
  // interception: the kernel copies instead, failing on memory that is not mapped.
  iovec local{out, bytes};
  iovec remote{const_cast<void*>(from), bytes};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(bytes);
#endif
  InstallFaultHandler();
  sigjmp_buf probe;
  if (sigsetjmp(probe, 0)) return false;
  tlProbe = &probe;
  asm volatile("" ::: "memory");
  auto* to = static_cast<volatile unsigned char*>(out);
  const auto* source = static_cast<const volatile unsigned char*>(from);
  for (std::size_t i = 0; i < bytes; ++i) to[i] = source[i];
  asm volatile("" ::: "memory");
  tlProbe = nullptr;
  return true;
}

std::string FaultingCaller(void* ucontext) {
  char text[256];
  void* pc = nullptr;
#if defined(__x86_64__)
  pc = reinterpret_cast<void*>(static_cast<ucontext_t*>(ucontext)->uc_mcontext.gregs[REG_RIP]);
#else
  (void)ucontext;
#endif
  std::snprintf(text, sizeof text, "instruction %p", pc);
  std::string caller = text;
  Dl_info info{};
  if (pc && dladdr(pc, &info) && info.dli_sname) {
    std::snprintf(text, sizeof text, " (%s+0x%zx)", info.dli_sname,
                  static_cast<std::size_t>(static_cast<char*>(pc) - static_cast<char*>(info.dli_saddr)));
    caller += text;
  }
  const ThreadRec* t = tlCurrent;
  if (const char* file = t ? t->lastFile.load(std::memory_order_relaxed) : nullptr) {
    std::snprintf(text, sizeof text, ", after %s at %s:%u", t->lastApi.load(std::memory_order_relaxed), file,
                  t->lastLine.load(std::memory_order_relaxed));
    caller += text;
  }
  return caller;
}

}  // namespace platform::kernel_detail
