// Configuration manager: the registry under "\Registry" (keys, sub-keys and typed values),
// the Zw key calls, and a test/demo API to seed, inspect, clear, load and save it in the
// REGEDIT5 ".reg" text format.
#pragma once

#include <cstdint>
#include <filesystem>
#include <source_location>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/ntdef.h"
#include "kernel/ob.h"

constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = static_cast<NTSTATUS>(0xC000003Bu);
constexpr NTSTATUS STATUS_CANNOT_DELETE = static_cast<NTSTATUS>(0xC0000121u);
constexpr NTSTATUS STATUS_KEY_DELETED = static_cast<NTSTATUS>(0xC000017Cu);

// Value types.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_DWORD_LITTLE_ENDIAN = 4;
constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
constexpr ULONG REG_LINK = 6;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_RESOURCE_LIST = 8;
constexpr ULONG REG_FULL_RESOURCE_DESCRIPTOR = 9;
constexpr ULONG REG_RESOURCE_REQUIREMENTS_LIST = 10;
constexpr ULONG REG_QWORD = 11;
constexpr ULONG REG_QWORD_LITTLE_ENDIAN = 11;

// Key access rights (KEY_ALL_ACCESS comes with the object manager's rights).
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
constexpr ACCESS_MASK KEY_CREATE_LINK = 0x0020;
constexpr ACCESS_MASK KEY_READ = (STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY);
constexpr ACCESS_MASK KEY_WRITE = (STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
constexpr ACCESS_MASK KEY_EXECUTE = KEY_READ;

// Create options and dispositions.
constexpr ULONG REG_OPTION_NON_VOLATILE = 0x00000000;
constexpr ULONG REG_OPTION_VOLATILE = 0x00000001;
constexpr ULONG REG_CREATED_NEW_KEY = 0x00000001;
constexpr ULONG REG_OPENED_EXISTING_KEY = 0x00000002;

enum KEY_INFORMATION_CLASS : ULONG {
  KeyBasicInformation = 0,
  KeyNodeInformation = 1,
  KeyFullInformation = 2,
  KeyNameInformation = 3,
};

enum KEY_VALUE_INFORMATION_CLASS : ULONG {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

struct KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
using PKEY_BASIC_INFORMATION = KEY_BASIC_INFORMATION*;

struct KEY_NODE_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_NODE_INFORMATION = KEY_NODE_INFORMATION*;

struct KEY_FULL_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG SubKeys;
  ULONG MaxNameLen;
  ULONG MaxClassLen;
  ULONG Values;
  ULONG MaxValueNameLen;
  ULONG MaxValueDataLen;
  WCHAR Class[1];
};
using PKEY_FULL_INFORMATION = KEY_FULL_INFORMATION*;

struct KEY_NAME_INFORMATION {
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_NAME_INFORMATION = KEY_NAME_INFORMATION*;

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_VALUE_BASIC_INFORMATION = KEY_VALUE_BASIC_INFORMATION*;

struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
};
using PKEY_VALUE_FULL_INFORMATION = KEY_VALUE_FULL_INFORMATION*;

struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

// Key calls. Names resolve case-insensitively, either absolute ("\Registry\Machine\...")
// or relative to the key handle in RootDirectory. Information queries follow the
// kernel's size rules: a buffer smaller than the fixed part gives STATUS_BUFFER_TOO_SMALL,
// one that holds the fixed part but not the rest STATUS_BUFFER_OVERFLOW (fixed part
// filled); ResultLength is the full size in both cases. Registry calls are PASSIVE_LEVEL
// only: a call at a higher IRQL is reported to the verifier (IrqlMisuse) with the caller.
NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                     ULONG titleIndex, PUNICODE_STRING className, ULONG createOptions, PULONG disposition,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS infoClass, PVOID keyInformation, ULONG length,
                    PULONG resultLength,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwEnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID keyInformation,
                        ULONG length, PULONG resultLength,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwEnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                             PVOID keyValueInformation, ULONG length, PULONG resultLength,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
    const std::source_location& caller = std::source_location::current());
// Deletes a key without sub-keys (STATUS_CANNOT_DELETE otherwise); its open handles then
// answer STATUS_KEY_DELETED.
NTSTATUS ZwDeleteKey(HANDLE keyHandle,
    const std::source_location& caller = std::source_location::current());
NTSTATUS ZwFlushKey(HANDLE keyHandle,
    const std::source_location& caller = std::source_location::current());

namespace platform::registry {

struct Value {
  ULONG type = REG_NONE;
  std::vector<UCHAR> data;
  bool operator==(const Value&) const = default;
};

// Test and demo access to the registry. Key paths are absolute kernel paths
// ("\Registry\Machine\SYSTEM\..."), matched case-insensitively.

// Empties the registry back to its base keys: \Registry\Machine with SYSTEM (Control\Class,
// Enum, Services), SOFTWARE and HARDWARE below it, and \Registry\User. Handles still open
// to removed keys answer STATUS_KEY_DELETED.
void Clear();

// Creates the key and any missing parents; false for a malformed path.
bool CreateKey(std::u16string_view keyPath);
bool KeyExists(std::u16string_view keyPath);
// Removes a key with everything below it; false when it does not exist or is a base key.
bool DeleteTree(std::u16string_view keyPath);
std::vector<std::u16string> SubKeys(std::u16string_view keyPath);
std::vector<std::u16string> ValueNames(std::u16string_view keyPath);

// Sets a value, creating the key path; false for a malformed path.
bool SetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type, std::span<const UCHAR> data);
bool SetDword(std::u16string_view keyPath, std::u16string_view valueName, ULONG value);
bool SetBinary(std::u16string_view keyPath, std::u16string_view valueName, std::span<const UCHAR> data);
// REG_SZ with its terminating NUL, as the Win32 API stores it.
bool SetString(std::u16string_view keyPath, std::u16string_view valueName, std::u16string_view text);
// REG_MULTI_SZ: each string NUL-terminated, then one more NUL.
bool SetMultiString(std::u16string_view keyPath, std::u16string_view valueName,
                    const std::vector<std::u16string>& strings);
std::optional<Value> GetValue(std::u16string_view keyPath, std::u16string_view valueName);
bool DeleteValue(std::u16string_view keyPath, std::u16string_view valueName);

// The ".reg" text format ("Windows Registry Editor Version 5.00"): key headers
// "[HKEY_LOCAL_MACHINE\...]" (HKEY_USERS for \Registry\User), "[-...]" deletes a tree,
// values as "name"="text", dword:xxxxxxxx, hex:.., hex(N):.., "name"=- deletes; ";" starts a
// comment line. Loading merges into the registry as the registry editor's import does.
enum class RegFileEncoding { Utf16Le, Utf8 };

struct LoadResult {
  bool ok = false;
  std::string error;  // "line N: what is wrong" when !ok
  explicit operator bool() const { return ok; }
};

// Parses the whole text first; on any error nothing is applied and the error names the
// line. Accepts UTF-16LE (with BOM, as the registry editor writes it) and UTF-8.
LoadResult LoadRegText(std::span<const UCHAR> bytes);
LoadResult LoadRegFile(const std::filesystem::path& file);

// Writes every key below (and including) keyPath, pre-order, sub-keys in the registry's
// own order; base keys without values are not written as headers. REG_SZ values that are
// exactly one NUL-terminated text without CR, LF or inner NULs are written as "text",
// REG_DWORD of four bytes as dword:, everything else as hex(N): so each value round-trips.
std::vector<UCHAR> SaveRegText(std::u16string_view keyPath = u"\\Registry",
                               RegFileEncoding encoding = RegFileEncoding::Utf16Le);
// false (with the reason in *error when given) when the file cannot be written.
bool SaveRegFile(const std::filesystem::path& file, std::u16string_view keyPath = u"\\Registry",
                 RegFileEncoding encoding = RegFileEncoding::Utf16Le, std::string* error = nullptr);

}  // namespace platform::registry
