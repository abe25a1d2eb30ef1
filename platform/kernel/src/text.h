// Helpers on UTF-16 text shared by the kernel services (private to the library).
#pragma once

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kernel/ntdef.h"

namespace platform::text {

// Upper case as the kernel's table does for the characters driver names use: ASCII and
// the Latin-1 letters (except the German sharp s and y with diaeresis, which have no
// single upper-case counterpart in that range).
inline char16_t Upcase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

inline std::u16string FromUnicodeString(const UNICODE_STRING* s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

inline std::u16string UpcaseString(std::u16string s) {
  for (auto& c : s) c = Upcase(c);
  return s;
}

// Appends the UTF-8 form of UTF-16 text to `out`; an unpaired surrogate becomes U+FFFD
// and makes the result false.
inline bool AppendUtf8(std::u16string_view in, std::string& out) {
  bool exact = true;
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
      exact = false;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return exact;
}

// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
inline std::string ToUtf8(const std::u16string& s) {
  std::string out;
  AppendUtf8(s, out);
  return out;
}

inline std::string CallerText(const char* file, unsigned line, const char* function) {
  return std::string(file) + ":" + std::to_string(line) + " (" + function + ")";
}

// A routine pointer as reports name it: its address, and its symbol when the dynamic
// symbol table has one.
inline std::string RoutineText(const void* routine) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", routine);
  std::string out = text;
  Dl_info info{};
  if (routine && dladdr(routine, &info) && info.dli_sname && info.dli_saddr == routine) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    out += std::string(" (") + (status == 0 && demangled ? demangled : info.dli_sname) + ")";
    std::free(demangled);
  }
  return out;
}

}  // namespace platform::text
