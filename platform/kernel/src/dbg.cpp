#include "kernel/dbg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "format.h"

namespace {

struct Log {
  std::mutex mutex;
  std::deque<std::string> messages;
};

Log& TheLog() {
  static Log* log = new Log;  // never destroyed: drivers may print during exit
  return *log;
}

bool EchoToStderr() {
  static const bool echo = [] {
    const char* v = std::getenv("UA_DBGPRINT");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  return echo;
}

void Append(const char* format, va_list args) {
  std::string text = format ? platform::text::FormatA(format, args) : std::string("(null format)");
  if (EchoToStderr()) std::fprintf(stderr, "%s", text.c_str());
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  log.messages.push_back(std::move(text));
  if (log.messages.size() > platform::debug::kMaxMessages) log.messages.pop_front();
}

}  // namespace

ULONG DbgPrint(PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  Append(format, args);
  va_end(args);
  return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG, ULONG, PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  Append(format, args);
  va_end(args);
  return STATUS_SUCCESS;
}

namespace platform::debug {

std::vector<std::string> Messages() {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  return {log.messages.begin(), log.messages.end()};
}

void ClearMessages() {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  log.messages.clear();
}

std::size_t CountContaining(const std::string& text) {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  std::size_t n = 0;
  for (const auto& m : log.messages)
    if (m.find(text) != std::string::npos) ++n;
  return n;
}

bool Contains(const std::string& text) { return CountContaining(text) != 0; }

}  // namespace platform::debug
