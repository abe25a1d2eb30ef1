// Line-level parsing of the per-model INI file: section headers, the version line, the
// hardware-ID entries of [QUVARA] and the typed key lines of the model sections. Every
// function works on one line of known length (without its CR LF) and never reads past it.
#pragma once

#include "kernel/ntdef.h"

namespace ini {

constexpr ULONG kMaxLine = 4096;          // characters of a line; a longer one is cut there
constexpr ULONG kMaxValueToken = 79;      // characters of a token (and key) of a value line
constexpr ULONG kMaxValueBytes = 1024;    // data bytes of one value
constexpr ULONG kMaxModelName = 79;       // characters of a model name
constexpr ULONG kMaxSubKeyName = 80;      // characters of a sub-key name
constexpr ULONG kMaxHardwareId = 99;      // characters of the device's hardware ID

struct Line {
  const CHAR* text;
  ULONG length;  // characters before the line end
};

// An entry is a line whose first character other than space and tab exists and is not ';'.
bool IsEntry(Line line);
// A section header is a line beginning with '['.
bool IsHeader(Line line);
// The line begins with "[" name "]" (case-sensitive).
bool IsSection(Line line, const CHAR* name, ULONG nameLength);

// Header of a section of the model: "[" model "]" (sub-key empty) or "[" model ":" sub-key
// "]". A sub-key must be 1 to kMaxSubKeyName characters without '\', '/' or NUL.
// subKey receives the name and its terminator (kMaxSubKeyName + 1 characters).
bool IsModelSection(Line line, const CHAR* model, ULONG modelLength, CHAR* subKey, ULONG* subKeyLength);

// A version line "key = value": the version is the number the value begins with, read
// digit by digit up to the first character that is no digit ("1.2" and "3a" give 1 and 3),
// hexadecimal after "0x"/"0X", else decimal. kNotKeyLine for a line without '=' (not the
// version line), kInvalid when the value does not begin with a digit or its number passes
// 32 bits (the version then counts as 0).
enum class VersionLine { kNotKeyLine, kInvalid, kValid };
VersionLine ParseVersion(Line line, ULONG* version);

// A [QUVARA] entry for the hardware ID (upper case): the line begins with the ID (compared
// ignoring case), then blanks, '=', blanks and the model name, which runs to the next
// blank, CR or ';' and must be 1 to kMaxModelName characters without NUL. model receives it
// terminated (kMaxModelName + 1 characters).
bool MatchHardwareId(Line line, const CHAR* hardwareId, ULONG idLength, CHAR* model, ULONG* modelLength);

// A key line "key = token token ...". The key is the text before '=' without surrounding
// blanks (1 to kMaxValueToken characters). Tokens are separated by blanks and commas and
// end at ';'. "0xNN" (exactly four characters) is one byte; a token starting with a digit
// is a 32-bit little-endian number (hexadecimal after 0x, else decimal, no overflow); any
// other token is text appended in UTF-16 without terminator, and makes the value REG_SZ
// (else REG_BINARY). A line with NUL, a malformed or over-long token, or more than
// kMaxValueBytes of data does not parse. key receives the name terminated
// (kMaxValueToken + 1 characters); data receives up to kMaxValueBytes bytes.
struct Entry {
  CHAR key[kMaxValueToken + 1];
  ULONG keyLength;
  ULONG type;
  UCHAR data[kMaxValueBytes];
  ULONG size;
};
bool ParseEntry(Line line, Entry* entry);

}  // namespace ini
