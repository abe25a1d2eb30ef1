#include "format.h"

#include <cstdint>
#include <cstdio>

#include "kernel/ntdef.h"

namespace platform::text {
namespace {

enum class Size { Default, Char, Short, Long32, Long64, Pointer, Wide, LongDouble };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  bool alt = false;
  int width = 0;
  int precision = -1;
  Size size = Size::Default;
};

template <typename Out>
void Pad(Out& out, int count, typename Out::value_type c) {
  if (count > 0) out.append(static_cast<size_t>(count), c);
}

// Narrowing of a UTF-16 unit to the single-byte code page; wide to narrow output.
char NarrowChar(char16_t c) { return c < 0x100 ? static_cast<char>(c) : '?'; }
char16_t WidenChar(char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); }

template <typename Out>
void AppendNarrow(Out& out, const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if constexpr (sizeof(typename Out::value_type) == 1) {
      out.push_back(s[i]);
    } else {
      out.push_back(WidenChar(s[i]));
    }
  }
}

template <typename Out>
void AppendWide(Out& out, const char16_t* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if constexpr (sizeof(typename Out::value_type) == 1) {
      out.push_back(NarrowChar(s[i]));
    } else {
      out.push_back(s[i]);
    }
  }
}

template <typename Out, typename Ch>
void AppendField(Out& out, const Spec& spec, const Ch* s, size_t n) {
  int pad = spec.width - static_cast<int>(n);
  if (!spec.left) Pad(out, pad, ' ');
  if constexpr (sizeof(Ch) == 1) {
    AppendNarrow(out, s, n);
  } else {
    AppendWide(out, s, n);
  }
  if (spec.left) Pad(out, pad, ' ');
}

template <typename Ch>
size_t BoundedLength(const Ch* s, int precision) {
  size_t n = 0;
  while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n]) ++n;
  return n;
}

template <typename Out>
void AppendInteger(Out& out, const Spec& spec, std::uint64_t magnitude, bool negative, unsigned base, bool upper,
                   bool isSigned) {
  const char* digitsOf = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[32];
  int n = 0;
  while (magnitude) {
    digits[n++] = digitsOf[magnitude % base];
    magnitude /= base;
  }
  std::string body;
  int minDigits = spec.precision < 0 ? 1 : spec.precision;
  for (int i = n; i < minDigits; ++i) body += '0';
  for (int i = n - 1; i >= 0; --i) body += digits[i];
  std::string prefix;
  if (isSigned) {
    if (negative) {
      prefix = "-";
    } else if (spec.plus) {
      prefix = "+";
    } else if (spec.space) {
      prefix = " ";
    }
  }
  if (spec.alt && base == 16 && n > 0) prefix += upper ? "0X" : "0x";
  if (spec.alt && base == 8 && (body.empty() || body[0] != '0')) body.insert(body.begin(), '0');
  int pad = spec.width - static_cast<int>(prefix.size() + body.size());
  if (spec.left) {
    AppendNarrow(out, prefix.data(), prefix.size());
    AppendNarrow(out, body.data(), body.size());
    Pad(out, pad, ' ');
  } else if (spec.zero && spec.precision < 0) {
    AppendNarrow(out, prefix.data(), prefix.size());
    Pad(out, pad, '0');
    AppendNarrow(out, body.data(), body.size());
  } else {
    Pad(out, pad, ' ');
    AppendNarrow(out, prefix.data(), prefix.size());
    AppendNarrow(out, body.data(), body.size());
  }
}

template <typename Out>
void AppendFloat(Out& out, const Spec& spec, char conversion, double value) {
  char fmt[32];
  int k = 0;
  fmt[k++] = '%';
  if (spec.left) fmt[k++] = '-';
  if (spec.plus) fmt[k++] = '+';
  if (spec.space) fmt[k++] = ' ';
  if (spec.zero) fmt[k++] = '0';
  if (spec.alt) fmt[k++] = '#';
  fmt[k++] = '*';
  fmt[k++] = '.';
  fmt[k++] = '*';
  fmt[k++] = conversion;
  fmt[k] = 0;
  char buffer[512];
  int precision = spec.precision < 0 ? 6 : (spec.precision > 100 ? 100 : spec.precision);
  int width = spec.width > 300 ? 300 : spec.width;
  int n = std::snprintf(buffer, sizeof buffer, fmt, width, precision, value);
  if (n < 0) return;
  AppendNarrow(out, buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

template <typename Ch>
std::basic_string<Ch> Format(const Ch* f, va_list args) {
  constexpr bool kWide = sizeof(Ch) != 1;
  std::basic_string<Ch> out;
  while (*f) {
    if (*f != '%') {
      out.push_back(*f++);
      continue;
    }
    const Ch* start = f++;
    Spec spec;
    for (;; ++f) {
      if (*f == '-') {
        spec.left = true;
      } else if (*f == '+') {
        spec.plus = true;
      } else if (*f == ' ') {
        spec.space = true;
      } else if (*f == '0') {
        spec.zero = true;
      } else if (*f == '#') {
        spec.alt = true;
      } else {
        break;
      }
    }
    if (*f == '*') {
      int w = va_arg(args, int);
      if (w < 0) {
        spec.left = true;
        w = w == INT32_MIN ? 0 : -w;
      }
      spec.width = w;
      ++f;
    } else {
      while (*f >= '0' && *f <= '9') {
        if (spec.width < 100000) spec.width = spec.width * 10 + (*f - '0');
        ++f;
      }
    }
    if (*f == '.') {
      ++f;
      spec.precision = 0;
      if (*f == '*') {
        int p = va_arg(args, int);
        spec.precision = p < 0 ? -1 : p;
        ++f;
      } else {
        while (*f >= '0' && *f <= '9') {
          if (spec.precision < 100000) spec.precision = spec.precision * 10 + (*f - '0');
          ++f;
        }
      }
    }
    // Size prefixes.
    if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
      spec.size = Size::Long64;
      f += 3;
    } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
      spec.size = Size::Long32;
      f += 3;
    } else if (f[0] == 'I' || f[0] == 'z' || f[0] == 't' || f[0] == 'j') {
      spec.size = f[0] == 'j' ? Size::Long64 : Size::Pointer;
      ++f;
    } else if (f[0] == 'h' && f[1] == 'h') {
      spec.size = Size::Char;
      f += 2;
    } else if (f[0] == 'h') {
      spec.size = Size::Short;
      ++f;
    } else if (f[0] == 'l' && f[1] == 'l') {
      spec.size = Size::Long64;
      f += 2;
    } else if (f[0] == 'l') {
      spec.size = Size::Long32;  // long is 32 bits on Windows
      ++f;
    } else if (f[0] == 'w') {
      spec.size = Size::Wide;
      ++f;
    } else if (f[0] == 'L') {
      spec.size = Size::LongDouble;
      ++f;
    }
    const Ch conversion = *f;
    if (!conversion) {  // a lone '%' at the end prints as it stands
      for (const Ch* p = start; p != f; ++p) out.push_back(*p);
      break;
    }
    ++f;
    switch (conversion) {
      case '%':
        out.push_back('%');
        break;
      case 'd':
      case 'i': {
        std::int64_t v;
        switch (spec.size) {
          case Size::Long64:
          case Size::Pointer: v = va_arg(args, long long); break;
          case Size::Short: v = static_cast<short>(va_arg(args, int)); break;
          case Size::Char: v = static_cast<signed char>(va_arg(args, int)); break;
          default: v = va_arg(args, int); break;
        }
        std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        AppendInteger(out, spec, magnitude, v < 0, 10, false, true);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        std::uint64_t v;
        switch (spec.size) {
          case Size::Long64:
          case Size::Pointer: v = va_arg(args, unsigned long long); break;
          case Size::Short: v = static_cast<unsigned short>(va_arg(args, unsigned int)); break;
          case Size::Char: v = static_cast<unsigned char>(va_arg(args, unsigned int)); break;
          default: v = va_arg(args, unsigned int); break;
        }
        unsigned base = conversion == 'u' ? 10 : (conversion == 'o' ? 8 : 16);
        AppendInteger(out, spec, v, false, base, conversion == 'X', false);
        break;
      }
      case 'p': {
        auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
        Spec p;
        p.precision = 16;
        p.width = spec.width;
        p.left = spec.left;
        AppendInteger(out, p, v, false, 16, true, false);
        break;
      }
      case 'c':
      case 'C': {
        int v = va_arg(args, int);
        bool wideChar = spec.size == Size::Wide || spec.size == Size::Long32 ||
                        (spec.size != Size::Short && ((conversion == 'c') == kWide));
        if (wideChar) {
          char16_t c = static_cast<char16_t>(v);
          AppendField(out, spec, &c, 1);
        } else {
          char c = static_cast<char>(v);
          AppendField(out, spec, &c, 1);
        }
        break;
      }
      case 's':
      case 'S': {
        bool wideString = spec.size == Size::Wide || spec.size == Size::Long32 ||
                          (spec.size != Size::Short && ((conversion == 's') == kWide));
        if (wideString) {
          const char16_t* s = va_arg(args, const char16_t*);
          if (!s) s = u"(null)";
          AppendField(out, spec, s, BoundedLength(s, spec.precision));
        } else {
          const char* s = va_arg(args, const char*);
          if (!s) s = "(null)";
          AppendField(out, spec, s, BoundedLength(s, spec.precision));
        }
        break;
      }
      case 'Z': {
        if (spec.size == Size::Wide || spec.size == Size::Long32) {
          const UNICODE_STRING* s = va_arg(args, const UNICODE_STRING*);
          if (!s || !s->Buffer) {
            AppendField(out, spec, "(null)", 6);
          } else {
            size_t n = s->Length / sizeof(WCHAR);
            if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) n = static_cast<size_t>(spec.precision);
            AppendField(out, spec, s->Buffer, n);
          }
        } else {
          const ANSI_STRING* s = va_arg(args, const ANSI_STRING*);
          if (!s || !s->Buffer) {
            AppendField(out, spec, "(null)", 6);
          } else {
            size_t n = s->Length;
            if (spec.precision >= 0 && n > static_cast<size_t>(spec.precision)) n = static_cast<size_t>(spec.precision);
            AppendField(out, spec, s->Buffer, n);
          }
        }
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double v = spec.size == Size::LongDouble ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
        AppendFloat(out, spec, static_cast<char>(conversion), v);
        break;
      }
      case 'n':
        (void)va_arg(args, void*);  // writing through the argument is not supported
        break;
      default:  // unknown conversions print as they stand
        for (const Ch* p = start; p != f; ++p) out.push_back(*p);
        break;
    }
  }
  return out;
}

}  // namespace

std::string FormatA(const char* format, va_list args) { return Format<char>(format, args); }
std::u16string FormatW(const char16_t* format, va_list args) { return Format<char16_t>(format, args); }

}  // namespace platform::text
