// Run-time library: counted strings, the bounded string functions with their printf
// engine, memory helpers and the version query.
#pragma once

#include <cstdarg>
#include <cstring>

#include "kernel/ntdef.h"

// Counted strings.
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
void RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
using PCANSI_STRING = const ANSI_STRING*;
void RtlInitString(PANSI_STRING destination, PCSTR source);
// Copies as much of source as fits (Length <= destination MaximumLength) and terminates
// when there is room; a null source empties the destination.
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string, BOOLEAN caseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
// Upper-cases source into destination, allocating the destination buffer (paged pool,
// freed with RtlFreeUnicodeString) when asked; STATUS_BUFFER_OVERFLOW when it does not fit.
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
// Conversions between UTF-16 and the ANSI code page (Latin-1 here; characters outside it
// become '?'). Without allocate, a result too long for the destination is truncated,
// terminated and reported with STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate);
void RtlFreeUnicodeString(PUNICODE_STRING string);
void RtlFreeAnsiString(PANSI_STRING string);
// Parses a decimal (or 0x/0o/0b prefixed, or base-given) number from the string.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value);
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);

// Bounded string functions. Sizes are in bytes (Cb) or characters (Cch). A size of zero or
// above NTSTRSAFE_MAX_CCH characters, a null buffer or format gives STATUS_INVALID_PARAMETER;
// a result that does not fit is truncated, terminated and gives STATUS_BUFFER_OVERFLOW.
//
// Formats: flags - + space 0 #, width and precision (also *), sizes h hh l (32 bits, as on
// Windows) ll I64 I32 I z w; conversions d i u x X o c C s S Z wZ p n(unsupported) e f g %.
// In the narrow functions %s and %hs take char strings, %S %ls %ws WCHAR strings, %c a char
// and %C a WCHAR; the wide functions swap the meanings of the unprefixed forms. %Z takes a
// PANSI_STRING, %wZ a PUNICODE_STRING, %p prints 16 upper-case hex digits.
constexpr SIZE_T NTSTRSAFE_MAX_CCH = 2147483647;
NTSTATUS RtlStringCbPrintfA(PSTR destination, SIZE_T cbDestination, PCSTR format, ...);
NTSTATUS RtlStringCbPrintfW(PWSTR destination, SIZE_T cbDestination, PCWSTR format, ...);
NTSTATUS RtlStringCchPrintfA(PSTR destination, SIZE_T cchDestination, PCSTR format, ...);
NTSTATUS RtlStringCchPrintfW(PWSTR destination, SIZE_T cchDestination, PCWSTR format, ...);
NTSTATUS RtlStringCbVPrintfA(PSTR destination, SIZE_T cbDestination, PCSTR format, va_list args);
NTSTATUS RtlStringCbVPrintfW(PWSTR destination, SIZE_T cbDestination, PCWSTR format, va_list args);
NTSTATUS RtlStringCchVPrintfA(PSTR destination, SIZE_T cchDestination, PCSTR format, va_list args);
NTSTATUS RtlStringCchVPrintfW(PWSTR destination, SIZE_T cchDestination, PCWSTR format, va_list args);
NTSTATUS RtlStringCbCopyA(PSTR destination, SIZE_T cbDestination, PCSTR source);
NTSTATUS RtlStringCbCopyW(PWSTR destination, SIZE_T cbDestination, PCWSTR source);
NTSTATUS RtlStringCchCopyA(PSTR destination, SIZE_T cchDestination, PCSTR source);
NTSTATUS RtlStringCchCopyW(PWSTR destination, SIZE_T cchDestination, PCWSTR source);
// Appending needs a terminated destination within its size (else STATUS_INVALID_PARAMETER).
NTSTATUS RtlStringCbCatA(PSTR destination, SIZE_T cbDestination, PCSTR source);
NTSTATUS RtlStringCbCatW(PWSTR destination, SIZE_T cbDestination, PCWSTR source);
NTSTATUS RtlStringCchCatA(PSTR destination, SIZE_T cchDestination, PCSTR source);
NTSTATUS RtlStringCchCatW(PWSTR destination, SIZE_T cchDestination, PCWSTR source);
// Length without the terminator; no terminator within the size gives
// STATUS_INVALID_PARAMETER and a length of zero.
NTSTATUS RtlStringCbLengthA(PCSTR string, SIZE_T cbMax, PSIZE_T cbLength);
NTSTATUS RtlStringCbLengthW(PCWSTR string, SIZE_T cbMax, PSIZE_T cbLength);
NTSTATUS RtlStringCchLengthA(PCSTR string, SIZE_T cchMax, PSIZE_T cchLength);
NTSTATUS RtlStringCchLengthW(PCWSTR string, SIZE_T cchMax, PSIZE_T cchLength);

// Memory.
inline void RtlZeroMemory(void* destination, SIZE_T length) {
  if (length) std::memset(destination, 0, length);
}
inline void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill) {
  if (length) std::memset(destination, fill, length);
}
inline void RtlCopyMemory(void* destination, const void* source, SIZE_T length) {
  if (length) std::memcpy(destination, source, length);
}
inline void RtlMoveMemory(void* destination, const void* source, SIZE_T length) {
  if (length) std::memmove(destination, source, length);
}
// Number of leading bytes that are equal.
SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length);
inline bool RtlEqualMemory(const void* a, const void* b, SIZE_T length) {
  return length == 0 || std::memcmp(a, b, length) == 0;
}

// Versions.
constexpr ULONG NTDDI_WINXP = 0x05010000;
constexpr ULONG NTDDI_WS03 = 0x05020000;
constexpr ULONG NTDDI_VISTA = 0x06000000;
constexpr ULONG NTDDI_WIN7 = 0x06010000;
constexpr ULONG NTDDI_WIN8 = 0x06020000;
constexpr ULONG NTDDI_WINBLUE = 0x06030000;
constexpr ULONG NTDDI_WIN10 = 0x0A000000;

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version);

struct RTL_OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
};
using PRTL_OSVERSIONINFOW = RTL_OSVERSIONINFOW*;
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info);

namespace platform::rtl {
// The system version the platform reports (an NTDDI value; default NTDDI_WIN7).
void SetNtDdiVersion(ULONG version);
ULONG NtDdiVersion();
}  // namespace platform::rtl
