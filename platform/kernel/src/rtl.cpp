#include "kernel/rtl.h"

#include <atomic>
#include <string>

#include "format.h"
#include "kernel/pool.h"
#include "text.h"

namespace {

constexpr ULONG kStringTag = MakePoolTag('S', 't', 'r', 'g');
constexpr USHORT kMaxUnicodeBytes = 0xFFFE;
std::atomic<ULONG> gNtDdiVersion{NTDDI_WIN7};

template <typename Ch>
size_t Length(const Ch* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Shared body of the bounded functions: validates the character count and copies the
// text, truncating and terminating.
template <typename Ch>
NTSTATUS CopyBounded(Ch* destination, SIZE_T cch, const Ch* text, size_t length) {
  if (length < cch) {
    std::char_traits<Ch>::copy(destination, text, length);
    destination[length] = 0;
    return STATUS_SUCCESS;
  }
  std::char_traits<Ch>::copy(destination, text, cch - 1);
  destination[cch - 1] = 0;
  return STATUS_BUFFER_OVERFLOW;
}

template <typename Ch>
bool ValidDestination(Ch* destination, SIZE_T cch) {
  return destination && cch != 0 && cch <= NTSTRSAFE_MAX_CCH;
}

template <typename Ch>
NTSTATUS VPrintf(Ch* destination, SIZE_T cch, const Ch* format, va_list args) {
  if (!ValidDestination(destination, cch)) return STATUS_INVALID_PARAMETER;
  if (!format) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  va_list copy;
  va_copy(copy, args);
  std::basic_string<Ch> text;
  if constexpr (sizeof(Ch) == 1) {
    text = platform::text::FormatA(format, copy);
  } else {
    text = platform::text::FormatW(format, copy);
  }
  va_end(copy);
  return CopyBounded(destination, cch, text.data(), text.size());
}

template <typename Ch>
NTSTATUS Copy(Ch* destination, SIZE_T cch, const Ch* source) {
  if (!ValidDestination(destination, cch)) return STATUS_INVALID_PARAMETER;
  if (!source) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  // The source may overlap nothing but itself; stop at the terminator or the space.
  size_t n = 0;
  while (n < cch && source[n]) ++n;
  return CopyBounded(destination, cch, source, n);
}

template <typename Ch>
NTSTATUS Cat(Ch* destination, SIZE_T cch, const Ch* source) {
  if (!ValidDestination(destination, cch) || !source) return STATUS_INVALID_PARAMETER;
  size_t used = 0;
  while (used < cch && destination[used]) ++used;
  if (used == cch) return STATUS_INVALID_PARAMETER;  // not terminated within its size
  size_t n = 0;
  while (n < cch - used && source[n]) ++n;
  return CopyBounded(destination + used, cch - used, source, n);
}

template <typename Ch>
NTSTATUS LengthBounded(const Ch* string, SIZE_T cchMax, PSIZE_T cchLength) {
  if (!string || cchMax > NTSTRSAFE_MAX_CCH) {
    if (cchLength) *cchLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && string[n]) ++n;
  if (n == cchMax) {
    if (cchLength) *cchLength = 0;
    return STATUS_INVALID_PARAMETER;
  }
  if (cchLength) *cchLength = n;
  return STATUS_SUCCESS;
}

}  // namespace

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = const_cast<PWSTR>(source);
  if (!source) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t bytes = Length(source) * sizeof(WCHAR);
  if (bytes > kMaxUnicodeBytes - sizeof(WCHAR)) bytes = kMaxUnicodeBytes - sizeof(WCHAR);
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

void RtlInitAnsiString(PANSI_STRING destination, PCSTR source) {
  destination->Buffer = const_cast<PCHAR>(source);
  if (!source) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t bytes = Length(source);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(bytes + 1);
}

void RtlInitString(PANSI_STRING destination, PCSTR source) { RtlInitAnsiString(destination, source); }

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source || !source->Buffer) {
    destination->Length = 0;
    return;
  }
  USHORT bytes = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
  bytes &= static_cast<USHORT>(~1u);
  if (bytes) std::memmove(destination->Buffer, source->Buffer, bytes);
  destination->Length = bytes;
  if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive) {
  size_t n1 = string1->Length / sizeof(WCHAR), n2 = string2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = string1->Buffer[i], b = string2->Buffer[i];
    if (caseInSensitive) {
      a = platform::text::Upcase(a);
      b = platform::text::Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING string1, PCUNICODE_STRING string2, BOOLEAN caseInSensitive) {
  if (string1->Length != string2->Length) return FALSE;
  return RtlCompareUnicodeString(string1, string2, caseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string, BOOLEAN caseInSensitive) {
  if (prefix->Length > string->Length) return FALSE;
  UNICODE_STRING head{prefix->Length, prefix->Length, string->Buffer};
  return RtlCompareUnicodeString(prefix, &head, caseInSensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return platform::text::Upcase(c); }

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
  if (!destination || !source) return STATUS_INVALID_PARAMETER;
  USHORT bytes = static_cast<USHORT>(source->Length & ~1u);
  if (allocate) {
    destination->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    destination->Buffer[bytes / sizeof(WCHAR)] = 0;
  } else if (bytes > destination->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < bytes / sizeof(WCHAR); ++i) destination->Buffer[i] = platform::text::Upcase(source->Buffer[i]);
  destination->Length = bytes;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source || source->Length == 0) return STATUS_SUCCESS;
  if (static_cast<size_t>(destination->Length) + source->Length > destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source->Buffer, source->Length);
  destination->Length = static_cast<USHORT>(destination->Length + source->Length);
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
  if (!source) return STATUS_SUCCESS;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, source);
  return RtlAppendUnicodeStringToString(destination, &s);
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
  if (!destination || !source) return STATUS_INVALID_PARAMETER;
  size_t length = source->Length / sizeof(WCHAR);
  if (length + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  if (allocate) {
    destination->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, length + 1, kStringTag));
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(length + 1);
  } else if (length >= destination->MaximumLength) {
    if (destination->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    length = destination->MaximumLength - 1u;
  }
  for (size_t i = 0; i < length; ++i) {
    WCHAR c = source->Buffer[i];
    destination->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  destination->Buffer[length] = 0;
  destination->Length = static_cast<USHORT>(length);
  return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate) {
  if (!destination || !source) return STATUS_INVALID_PARAMETER;
  size_t bytes = static_cast<size_t>(source->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > kMaxUnicodeBytes) return STATUS_INVALID_PARAMETER;
  if (allocate) {
    destination->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes >= destination->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < source->Length; ++i)
    destination->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(source->Buffer[i]));
  destination->Length = static_cast<USHORT>(bytes);
  destination->Buffer[bytes / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
  if (!string) return;
  if (string->Buffer) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING string) {
  if (!string) return;
  if (string->Buffer) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value) {
  if (!string || !value) return STATUS_INVALID_PARAMETER;
  if (base != 0 && base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  size_t n = string->Length / sizeof(WCHAR), i = 0;
  const WCHAR* s = string->Buffer;
  while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
  bool negative = false;
  if (i < n && (s[i] == u'-' || s[i] == u'+')) negative = s[i++] == u'-';
  if (base == 0) {
    base = 10;
    if (i + 1 < n && s[i] == u'0') {
      WCHAR p = s[i + 1];
      if (p == u'x') base = 16;
      if (p == u'o') base = 8;
      if (p == u'b') base = 2;
      if (base != 10) i += 2;
    }
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = s[i];
    ULONG digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      break;
    }
    if (digit >= base) break;
    result = result * base + digit;
  }
  *value = negative ? 0u - result : result;
  return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (!string || (base != 2 && base != 8 && base != 10 && base != 16)) return STATUS_INVALID_PARAMETER;
  char16_t digits[33];
  int n = 0;
  do {
    ULONG d = value % base;
    digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + d - 10);
    value /= base;
  } while (value);
  if (static_cast<size_t>(n) * sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) string->Buffer[i] = digits[n - 1 - i];
  string->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  if (string->Length + sizeof(WCHAR) <= string->MaximumLength) string->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlStringCbVPrintfA(PSTR destination, SIZE_T cbDestination, PCSTR format, va_list args) {
  return VPrintf(destination, cbDestination, format, args);
}
NTSTATUS RtlStringCbVPrintfW(PWSTR destination, SIZE_T cbDestination, PCWSTR format, va_list args) {
  return VPrintf(destination, cbDestination / sizeof(WCHAR), format, args);
}
NTSTATUS RtlStringCchVPrintfA(PSTR destination, SIZE_T cchDestination, PCSTR format, va_list args) {
  return VPrintf(destination, cchDestination, format, args);
}
NTSTATUS RtlStringCchVPrintfW(PWSTR destination, SIZE_T cchDestination, PCWSTR format, va_list args) {
  return VPrintf(destination, cchDestination, format, args);
}

#define UA_RTL_PRINTF_BODY(call)     \
  va_list args;                      \
  va_start(args, format);            \
  NTSTATUS status = call;            \
  va_end(args);                      \
  return status

NTSTATUS RtlStringCbPrintfA(PSTR destination, SIZE_T cbDestination, PCSTR format, ...) {
  UA_RTL_PRINTF_BODY(VPrintf(destination, cbDestination, format, args));
}
NTSTATUS RtlStringCbPrintfW(PWSTR destination, SIZE_T cbDestination, PCWSTR format, ...) {
  UA_RTL_PRINTF_BODY(VPrintf(destination, cbDestination / sizeof(WCHAR), format, args));
}
NTSTATUS RtlStringCchPrintfA(PSTR destination, SIZE_T cchDestination, PCSTR format, ...) {
  UA_RTL_PRINTF_BODY(VPrintf(destination, cchDestination, format, args));
}
NTSTATUS RtlStringCchPrintfW(PWSTR destination, SIZE_T cchDestination, PCWSTR format, ...) {
  UA_RTL_PRINTF_BODY(VPrintf(destination, cchDestination, format, args));
}
#undef UA_RTL_PRINTF_BODY

NTSTATUS RtlStringCbCopyA(PSTR destination, SIZE_T cbDestination, PCSTR source) {
  return Copy(destination, cbDestination, source);
}
NTSTATUS RtlStringCbCopyW(PWSTR destination, SIZE_T cbDestination, PCWSTR source) {
  return Copy(destination, cbDestination / sizeof(WCHAR), source);
}
NTSTATUS RtlStringCchCopyA(PSTR destination, SIZE_T cchDestination, PCSTR source) {
  return Copy(destination, cchDestination, source);
}
NTSTATUS RtlStringCchCopyW(PWSTR destination, SIZE_T cchDestination, PCWSTR source) {
  return Copy(destination, cchDestination, source);
}
NTSTATUS RtlStringCbCatA(PSTR destination, SIZE_T cbDestination, PCSTR source) {
  return Cat(destination, cbDestination, source);
}
NTSTATUS RtlStringCbCatW(PWSTR destination, SIZE_T cbDestination, PCWSTR source) {
  return Cat(destination, cbDestination / sizeof(WCHAR), source);
}
NTSTATUS RtlStringCchCatA(PSTR destination, SIZE_T cchDestination, PCSTR source) {
  return Cat(destination, cchDestination, source);
}
NTSTATUS RtlStringCchCatW(PWSTR destination, SIZE_T cchDestination, PCWSTR source) {
  return Cat(destination, cchDestination, source);
}

NTSTATUS RtlStringCbLengthA(PCSTR string, SIZE_T cbMax, PSIZE_T cbLength) {
  return LengthBounded(string, cbMax, cbLength);
}
NTSTATUS RtlStringCbLengthW(PCWSTR string, SIZE_T cbMax, PSIZE_T cbLength) {
  NTSTATUS status = LengthBounded(string, cbMax / sizeof(WCHAR), cbLength);
  if (NT_SUCCESS(status) && cbLength) *cbLength *= sizeof(WCHAR);
  return status;
}
NTSTATUS RtlStringCchLengthA(PCSTR string, SIZE_T cchMax, PSIZE_T cchLength) {
  return LengthBounded(string, cchMax, cchLength);
}
NTSTATUS RtlStringCchLengthW(PCWSTR string, SIZE_T cchMax, PSIZE_T cchLength) {
  return LengthBounded(string, cchMax, cchLength);
}

SIZE_T RtlCompareMemory(const void* source1, const void* source2, SIZE_T length) {
  auto a = static_cast<const unsigned char*>(source1);
  auto b = static_cast<const unsigned char*>(source2);
  SIZE_T i = 0;
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version) { return version <= gNtDdiVersion.load() ? TRUE : FALSE; }

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info) {
  if (!info) return STATUS_INVALID_PARAMETER;
  ULONG v = gNtDdiVersion.load();
  info->dwMajorVersion = v >> 24;
  info->dwMinorVersion = (v >> 16) & 0xFF;
  info->dwBuildNumber = v >= NTDDI_WIN10 ? 19045 : (v >= NTDDI_WIN7 ? 7601 : 6002);
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  info->szCSDVersion[0] = 0;
  return STATUS_SUCCESS;
}

namespace platform::rtl {
void SetNtDdiVersion(ULONG version) { gNtDdiVersion.store(version); }
ULONG NtDdiVersion() { return gNtDdiVersion.load(); }
}  // namespace platform::rtl
