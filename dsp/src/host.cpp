// Default host services and the hook table.
#include "dsp/host.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void* HeapAllocate(std::size_t bytes, std::uint32_t /*tag*/) { return std::malloc(bytes == 0 ? 1 : bytes); }
void HeapFree(void* block) { std::free(block); }
void StderrPrint(const char* line) {
  if (std::getenv("UA_DBGPRINT") != nullptr) std::fputs(line, stderr);
}

constexpr DspHostHooks kDefaultHooks{&HeapAllocate, &HeapFree, &StderrPrint};

std::atomic<void* (*)(std::size_t, std::uint32_t)> g_allocate{&HeapAllocate};
std::atomic<void (*)(void*)> g_free{&HeapFree};
std::atomic<void (*)(const char*)> g_print{&StderrPrint};

}  // namespace

DspHostHooks DspSetHostHooks(const DspHostHooks* hooks) {
  const DspHostHooks previous{g_allocate.load(), g_free.load(), g_print.load()};
  const DspHostHooks& next =
      hooks == nullptr || hooks->allocate == nullptr || hooks->free == nullptr || hooks->print == nullptr
          ? kDefaultHooks
          : *hooks;
  g_allocate.store(next.allocate);
  g_free.store(next.free);
  g_print.store(next.print);
  return previous;
}

void* DspAllocate(std::size_t bytes, std::uint32_t tag, bool zeroed) {
  void* block = g_allocate.load()(bytes, tag);
  if (block != nullptr && zeroed) std::memset(block, 0, bytes);
  return block;
}

void DspFree(void* block) {
  if (block != nullptr) g_free.load()(block);
}

void DspPrint(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_print.load()(line);
}
