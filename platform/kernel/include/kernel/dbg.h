// Kernel debugger output. DbgPrint formats as the bounded string functions do (see
// kernel/rtl.h) and appends the message to a log tests can read; with the environment
// variable UA_DBGPRINT set to a non-empty value other than 0 each message is also written
// to stderr.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kernel/ntdef.h"

ULONG DbgPrint(PCSTR format, ...);
ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...);
#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args

constexpr ULONG DPFLTR_ERROR_LEVEL = 0;
constexpr ULONG DPFLTR_WARNING_LEVEL = 1;
constexpr ULONG DPFLTR_TRACE_LEVEL = 2;
constexpr ULONG DPFLTR_INFO_LEVEL = 3;
constexpr ULONG DPFLTR_IHVDRIVER_ID = 77;
constexpr ULONG DPFLTR_IHVAUDIO_ID = 80;

namespace platform::debug {

// Messages printed so far (oldest first); the log keeps the latest kMaxMessages.
constexpr std::size_t kMaxMessages = 100000;
std::vector<std::string> Messages();
void ClearMessages();
// Number of logged messages containing `text`.
std::size_t CountContaining(const std::string& text);
bool Contains(const std::string& text);

}  // namespace platform::debug
