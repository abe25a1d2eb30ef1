// Line-level parsing of the per-model INI file.
#include "adapter/ini_parse.h"

#include "kernel/registry.h"

namespace ini {

namespace {

bool IsBlank(CHAR c) { return c == ' ' || c == '\t'; }
bool IsDigit(CHAR c) { return c >= '0' && c <= '9'; }

int HexValue(CHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Upper case of an ANSI (Latin-1) character, as the hardware ID was upper-cased.
UCHAR Upper(CHAR c) {
  const UCHAR u = static_cast<UCHAR>(c);
  if (u >= 'a' && u <= 'z') return static_cast<UCHAR>(u - 0x20);
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<UCHAR>(u - 0x20);
  return u;
}

ULONG SkipBlanks(Line line, ULONG i) {
  while (i < line.length && IsBlank(line.text[i])) ++i;
  return i;
}

bool HasNul(Line line) {
  for (ULONG i = 0; i < line.length; ++i)
    if (line.text[i] == '\0') return true;
  return false;
}

// Parses a number token: "0x"/"0X" and at least one hexadecimal digit, or decimal digits.
// false for any other character or a value beyond 32 bits.
bool ParseNumber(const CHAR* token, ULONG length, ULONG* value) {
  ULONG64 v = 0;
  if (length > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    for (ULONG i = 2; i < length; ++i) {
      const int d = HexValue(token[i]);
      if (d < 0) return false;
      v = (v << 4) | static_cast<ULONG64>(d);
      if (v > 0xFFFFFFFFull) return false;
    }
  } else {
    if (length == 0) return false;
    for (ULONG i = 0; i < length; ++i) {
      if (!IsDigit(token[i])) return false;
      v = v * 10 + static_cast<ULONG64>(token[i] - '0');
      if (v > 0xFFFFFFFFull) return false;
    }
  }
  *value = static_cast<ULONG>(v);
  return true;
}

// Position of the first '=' or line.length.
ULONG FindEquals(Line line) {
  ULONG i = 0;
  while (i < line.length && line.text[i] != '=') ++i;
  return i;
}

bool IsTokenSeparator(CHAR c) { return IsBlank(c) || c == ','; }

}  // namespace

bool IsEntry(Line line) {
  const ULONG i = SkipBlanks(line, 0);
  return i < line.length && line.text[i] != ';';
}

bool IsHeader(Line line) { return line.length > 0 && line.text[0] == '['; }

bool IsSection(Line line, const CHAR* name, ULONG nameLength) {
  if (line.length < nameLength + 2 || line.text[0] != '[' || line.text[nameLength + 1] != ']') return false;
  for (ULONG i = 0; i < nameLength; ++i)
    if (line.text[i + 1] != name[i]) return false;
  return true;
}

bool IsModelSection(Line line, const CHAR* model, ULONG modelLength, CHAR* subKey, ULONG* subKeyLength) {
  if (line.length < modelLength + 2 || line.text[0] != '[') return false;
  for (ULONG i = 0; i < modelLength; ++i)
    if (line.text[i + 1] != model[i]) return false;
  const CHAR after = line.text[modelLength + 1];
  if (after == ']') {
    subKey[0] = '\0';
    *subKeyLength = 0;
    return true;
  }
  if (after != ':') return false;
  ULONG n = 0;
  for (ULONG i = modelLength + 2; i < line.length; ++i) {
    const CHAR c = line.text[i];
    if (c == ']') {
      if (n == 0) return false;
      subKey[n] = '\0';
      *subKeyLength = n;
      return true;
    }
    if (c == '\0' || c == '\\' || c == '/' || n == kMaxSubKeyName) return false;
    subKey[n++] = c;
  }
  return false;  // no closing bracket
}

VersionLine ParseVersion(Line line, ULONG* version) {
  const ULONG eq = FindEquals(line);
  if (eq == line.length) return VersionLine::kNotKeyLine;
  ULONG i = SkipBlanks(line, eq + 1);
  if (i >= line.length || !IsDigit(line.text[i])) return VersionLine::kInvalid;
  ULONG base = 10;
  if (line.text[i] == '0' && i + 2 < line.length && (line.text[i + 1] == 'x' || line.text[i + 1] == 'X') &&
      HexValue(line.text[i + 2]) >= 0) {
    base = 16;
    i += 2;
  }
  ULONG64 v = 0;
  for (; i < line.length; ++i) {
    const int d = base == 16 ? HexValue(line.text[i]) : (IsDigit(line.text[i]) ? line.text[i] - '0' : -1);
    if (d < 0) break;  // "1.2" and "3a" are versions 1 and 3
    v = v * base + static_cast<ULONG64>(d);
    if (v > 0xFFFFFFFFull) return VersionLine::kInvalid;
  }
  *version = static_cast<ULONG>(v);
  return VersionLine::kValid;
}

bool MatchHardwareId(Line line, const CHAR* hardwareId, ULONG idLength, CHAR* model, ULONG* modelLength) {
  if (idLength == 0 || line.length < idLength) return false;
  for (ULONG i = 0; i < idLength; ++i)
    if (Upper(line.text[i]) != static_cast<UCHAR>(hardwareId[i])) return false;
  ULONG i = SkipBlanks(line, idLength);
  if (i >= line.length || line.text[i] != '=') return false;
  i = SkipBlanks(line, i + 1);
  ULONG n = 0;
  for (; i < line.length; ++i) {
    const CHAR c = line.text[i];
    if (IsBlank(c) || c == '\r' || c == ';') break;
    if (c == '\0' || n == kMaxModelName) return false;
    model[n++] = c;
  }
  if (n == 0) return false;
  model[n] = '\0';
  *modelLength = n;
  return true;
}

bool ParseEntry(Line line, Entry* entry) {
  if (!IsEntry(line) || HasNul(line)) return false;
  const ULONG eq = FindEquals(line);
  if (eq == line.length) return false;
  // The key: text before '=' without surrounding blanks.
  ULONG keyStart = SkipBlanks(line, 0);
  ULONG keyEnd = eq;
  while (keyEnd > keyStart && IsBlank(line.text[keyEnd - 1])) --keyEnd;
  const ULONG keyLength = keyEnd - keyStart;
  if (keyLength == 0 || keyLength > kMaxValueToken) return false;
  for (ULONG k = 0; k < keyLength; ++k) entry->key[k] = line.text[keyStart + k];
  entry->key[keyLength] = '\0';
  entry->keyLength = keyLength;

  entry->type = REG_BINARY;
  entry->size = 0;
  ULONG i = eq + 1;
  for (;;) {
    while (i < line.length && IsTokenSeparator(line.text[i])) ++i;
    if (i >= line.length || line.text[i] == ';') break;
    const ULONG start = i;
    while (i < line.length && !IsTokenSeparator(line.text[i]) && line.text[i] != ';') ++i;
    const CHAR* token = line.text + start;
    const ULONG length = i - start;
    if (length > kMaxValueToken) return false;

    UCHAR bytes[2 * kMaxValueToken];
    ULONG count;
    ULONG number;
    if (length == 4 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
      const int hi = HexValue(token[2]);
      const int lo = HexValue(token[3]);
      if (hi < 0 || lo < 0) return false;
      bytes[0] = static_cast<UCHAR>((hi << 4) | lo);
      count = 1;
    } else if (IsDigit(token[0])) {
      if (!ParseNumber(token, length, &number)) return false;
      for (int b = 0; b < 4; ++b) bytes[b] = static_cast<UCHAR>(number >> (8 * b));
      count = 4;
    } else {
      // Text: each ANSI (Latin-1) character becomes one UTF-16 code unit.
      for (ULONG k = 0; k < length; ++k) {
        bytes[2 * k] = static_cast<UCHAR>(token[k]);
        bytes[2 * k + 1] = 0;
      }
      count = 2 * length;
      entry->type = REG_SZ;
    }
    if (entry->size + count > kMaxValueBytes) return false;
    for (ULONG k = 0; k < count; ++k) entry->data[entry->size + k] = bytes[k];
    entry->size += count;
  }
  return true;
}

}  // namespace ini
