// Reading and writing the registry as ".reg" text ("Windows Registry Editor Version 5.00").
#include <cstdio>
#include <fstream>
#include <iterator>

#include "registry_model.h"
#include "text.h"

namespace platform::registry {

using namespace detail;

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";

struct Hive {
  std::u16string_view fileName;  // as written in the file
  std::u16string_view kernelName;  // key below \Registry
};
constexpr Hive kHives[] = {{u"HKEY_LOCAL_MACHINE", u"Machine"}, {u"HKEY_USERS", u"User"}};

// ---- text decoding -----------------------------------------------------------------

}  // namespace

bool detail::DecodeUtf8(std::span<const UCHAR> in, std::u16string& out, size_t& badOffset) {
  size_t i = 0;
  while (i < in.size()) {
    const UCHAR b = in[i];
    char32_t cp;
    size_t extra;
    if (b < 0x80) {
      cp = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      extra = 3;
    } else {
      badOffset = i;
      return false;
    }
    if (extra > 0 && i + extra >= in.size()) {
      badOffset = i;
      return false;
    }
    for (size_t k = 1; k <= extra; ++k) {
      if ((in[i + k] & 0xC0) != 0x80) {
        badOffset = i;
        return false;
      }
      cp = (cp << 6) | (in[i + k] & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      badOffset = i;
      return false;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return true;
}

namespace {

std::string Narrow(std::u16string_view s) {
  std::string out;
  platform::text::AppendUtf8(s, out);
  return out;
}

// ---- parsing -----------------------------------------------------------------------

// One change the file asks for, applied only once the whole file has parsed.
struct Op {
  enum Kind { kCreateKey, kDeleteTree, kSetValue, kDeleteValue } kind;
  std::vector<std::u16string> parts;  // key path below \Registry
  std::u16string name;                // value name
  Value value;
};

class ParseError {
 public:
  ParseError(size_t line, std::string what) : text_("line " + std::to_string(line) + ": " + std::move(what)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimRight(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}
std::u16string_view TrimLeft(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Parses up to 8 hex digits filling the whole view.
bool ParseHex32(std::u16string_view s, ULONG& value) {
  if (s.empty() || s.size() > 8) return false;
  value = 0;
  for (char16_t c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    value = (value << 4) | static_cast<ULONG>(d);
  }
  return true;
}

class Parser {
 public:
  explicit Parser(std::u16string text) : text_(std::move(text)) {}

  std::vector<Op> Run() {
    SplitLines();
    if (lines_.empty() || TrimRight(lines_[0]) != kHeader)
      throw ParseError(1, "not a registry file (the first line must be \"Windows Registry Editor Version 5.00\")");
    for (next_ = 1; next_ < lines_.size();) {
      const size_t lineNo = next_ + 1;
      std::u16string_view line = TrimLeft(lines_[next_++]);
      line = TrimRight(line);
      if (line.empty() || line.front() == u';') continue;
      if (line.front() == u'[')
        ParseKeyHeader(line, lineNo);
      else
        ParseValueLine(line, lineNo);
    }
    return std::move(ops_);
  }

 private:
  void SplitLines() {
    std::u16string_view all = text_;
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(u'\n', start);
      std::u16string_view line = all.substr(start, end == std::u16string_view::npos ? end : end - start);
      if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
      if (line.find(u'\r') != std::u16string_view::npos)
        throw ParseError(lines_.size() + 1, "carriage return inside a line");
      lines_.push_back(line);
      if (end == std::u16string_view::npos) break;
      start = end + 1;
    }
  }

  std::vector<std::u16string> ParseKeyPath(std::u16string_view path, size_t lineNo) {
    const size_t slash = path.find(u'\\');
    const std::u16string_view rootName = path.substr(0, slash);
    const Hive* hive = nullptr;
    for (const Hive& h : kHives)
      if (EqualsNoCase(h.fileName, rootName)) hive = &h;
    if (!hive) throw ParseError(lineNo, "unknown root key \"" + Narrow(rootName) + "\"");
    std::vector<std::u16string> parts{std::u16string(hive->kernelName)};
    if (slash != std::u16string_view::npos) {
      std::vector<std::u16string_view> rest;
      if (!SplitRelative(path.substr(slash + 1), rest))
        throw ParseError(lineNo, "malformed key path \"" + Narrow(path) + "\"");
      for (auto r : rest) parts.emplace_back(r);
    }
    return parts;
  }

  void ParseKeyHeader(std::u16string_view line, size_t lineNo) {
    if (line.back() != u']') throw ParseError(lineNo, "key header without closing ']'");
    std::u16string_view path = line.substr(1, line.size() - 2);
    const bool remove = !path.empty() && path.front() == u'-';
    if (remove) path.remove_prefix(1);
    auto parts = ParseKeyPath(path, lineNo);
    if (remove) {
      if (parts.size() < 2) throw ParseError(lineNo, "a root key cannot be deleted");
      ops_.push_back(Op{Op::kDeleteTree, std::move(parts), {}, {}});
      current_.reset();
    } else {
      ops_.push_back(Op{Op::kCreateKey, parts, {}, {}});
      current_ = std::move(parts);
    }
  }

  // Reads a quoted string starting at s[0] == '"'; returns the position after the
  // closing quote.
  size_t ParseQuoted(std::u16string_view s, std::u16string& out, size_t lineNo) {
    size_t i = 1;
    for (;;) {
      if (i >= s.size()) throw ParseError(lineNo, "missing closing quote");
      const char16_t c = s[i];
      if (c == u'"') return i + 1;
      if (c == u'\\') {
        if (i + 1 >= s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"'))
          throw ParseError(lineNo, "unknown escape in quoted text (only \\\\ and \\\" are allowed)");
        out += s[i + 1];
        i += 2;
        continue;
      }
      out += c;
      ++i;
    }
  }

  void ParseHexList(std::u16string_view s, std::vector<UCHAR>& out, size_t lineNo) {
    s = TrimLeft(TrimRight(s));
    if (s.empty()) return;
    size_t start = 0;
    for (;;) {
      const size_t comma = s.find(u',', start);
      std::u16string_view item =
          TrimLeft(TrimRight(s.substr(start, comma == std::u16string_view::npos ? comma : comma - start)));
      ULONG byte;
      if (item.size() > 2 || !ParseHex32(item, byte))
        throw ParseError(lineNo, "malformed hex byte \"" + Narrow(item) + "\"");
      out.push_back(static_cast<UCHAR>(byte));
      if (comma == std::u16string_view::npos) return;
      start = comma + 1;
    }
  }

  void ParseValueLine(std::u16string_view line, size_t lineNo) {
    std::u16string name;
    size_t pos;
    if (line.front() == u'@') {
      pos = 1;
    } else if (line.front() == u'"') {
      pos = ParseQuoted(line, name, lineNo);
      if (name.empty()) throw ParseError(lineNo, "empty value name (the default value is written @)");
    } else {
      throw ParseError(lineNo, "expected a key header, a value or a comment");
    }
    if (!current_) throw ParseError(lineNo, "value outside a key section");
    if (!ValidValueName(name)) throw ParseError(lineNo, "value name too long or with a control character");
    std::u16string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != u'=') throw ParseError(lineNo, "missing '=' after the value name");
    rest = TrimLeft(rest.substr(1));

    if (rest == u"-") {
      ops_.push_back(Op{Op::kDeleteValue, *current_, std::move(name), {}});
      return;
    }
    Value value;
    if (!rest.empty() && rest.front() == u'"') {
      std::u16string text;
      const size_t end = ParseQuoted(rest, text, lineNo);
      if (!TrimLeft(rest.substr(end)).empty()) throw ParseError(lineNo, "text after the closing quote");
      value.type = REG_SZ;
      for (char16_t c : text) {
        value.data.push_back(static_cast<UCHAR>(c & 0xFF));
        value.data.push_back(static_cast<UCHAR>(c >> 8));
      }
      value.data.push_back(0);
      value.data.push_back(0);
    } else if (rest.substr(0, 6) == u"dword:") {
      ULONG v;
      if (!ParseHex32(rest.substr(6), v)) throw ParseError(lineNo, "malformed dword (1 to 8 hex digits)");
      value.type = REG_DWORD;
      for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<UCHAR>(v >> (8 * i)));
    } else if (rest.substr(0, 3) == u"hex") {
      std::u16string_view spec = rest.substr(3);
      value.type = REG_BINARY;
      if (!spec.empty() && spec.front() == u'(') {
        const size_t close = spec.find(u')');
        if (close == std::u16string_view::npos || !ParseHex32(spec.substr(1, close - 1), value.type))
          throw ParseError(lineNo, "malformed hex(type)");
        spec.remove_prefix(close + 1);
      }
      if (spec.empty() || spec.front() != u':') throw ParseError(lineNo, "missing ':' after hex");
      std::u16string list(spec.substr(1));
      // A list ending in '\' continues on the next line.
      while (!list.empty() && list.back() == u'\\') {
        list.pop_back();
        if (next_ >= lines_.size()) throw ParseError(lineNo, "hex list continues past the end of the file");
        list += TrimRight(TrimLeft(lines_[next_++]));
      }
      ParseHexList(list, value.data, lineNo);
    } else {
      throw ParseError(lineNo, "unrecognised value data (expected \"text\", dword:, hex: or -)");
    }
    ops_.push_back(Op{Op::kSetValue, *current_, std::move(name), std::move(value)});
  }

  std::u16string text_;
  std::vector<std::u16string_view> lines_;
  size_t next_ = 0;
  std::vector<Op> ops_;
  std::optional<std::vector<std::u16string>> current_;
};

std::vector<std::u16string_view> Views(const std::vector<std::u16string>& parts) {
  return std::vector<std::u16string_view>(parts.begin(), parts.end());
}

void Apply(std::vector<Op>& ops) {
  for (Op& op : ops) {
    const auto parts = Views(op.parts);
    switch (op.kind) {
      case Op::kCreateKey:
        WalkCreate(Root(), parts);
        break;
      case Op::kDeleteTree:
        if (auto key = Walk(Root(), parts)) RemoveKey(*key);
        break;
      case Op::kSetValue:
        StoreValue(*WalkCreate(Root(), parts), op.name, std::move(op.value));
        break;
      case Op::kDeleteValue:
        if (auto key = Walk(Root(), parts)) EraseValue(*key, op.name);
        break;
    }
  }
}

// ---- writing -----------------------------------------------------------------------

std::u16string Escape(std::u16string_view s) {
  std::u16string out;
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out;
}

// The text of a REG_SZ value when it can be written in quotes and read back unchanged.
std::optional<std::u16string> PlainText(const Value& v, RegFileEncoding encoding) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 2 < v.data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
    if (c == 0 || c == u'\r' || c == u'\n') return std::nullopt;
    text += c;
  }
  if (v.data[v.data.size() - 2] != 0 || v.data.back() != 0) return std::nullopt;
  std::string probe;
  if (encoding == RegFileEncoding::Utf8 && !platform::text::AppendUtf8(text, probe)) return std::nullopt;
  return text;
}

void WriteValue(std::u16string& out, const std::u16string& name, const Value& v, RegFileEncoding encoding) {
  std::u16string line = name.empty() ? std::u16string(u"@") : u"\"" + Escape(name) + u"\"";
  line += u'=';
  if (auto text = PlainText(v, encoding)) {
    line += u"\"" + Escape(*text) + u"\"";
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    char buf[16];
    const ULONG d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<ULONG>(v.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    for (const char* p = buf; *p; ++p) line += static_cast<char16_t>(*p);
  } else {
    char buf[24];
    if (v.type == REG_BINARY)
      std::snprintf(buf, sizeof buf, "hex:");
    else
      std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    for (const char* p = buf; *p; ++p) line += static_cast<char16_t>(*p);
    for (size_t i = 0; i < v.data.size(); ++i) {
      static constexpr char16_t kDigits[] = u"0123456789abcdef";
      line += kDigits[v.data[i] >> 4];
      line += kDigits[v.data[i] & 0xF];
      if (i + 1 < v.data.size()) {
        line += u',';
        // Wrap long lists as the registry editor does.
        if (line.size() >= 76) {
          out += line + u"\\\r\n";
          line = u"  ";
        }
      }
    }
  }
  out += line + u"\r\n";
}

void WriteKey(std::u16string& out, const Key& key, RegFileEncoding encoding) {
  if (!(IsBaseKey(key) && key.values.empty())) {
    std::u16string path = FullPath(key);  // \Registry\<hive>...
    std::vector<std::u16string_view> parts;
    SplitAbsolute(path, parts);
    std::u16string header;
    for (const Hive& h : kHives)
      if (!parts.empty() && EqualsNoCase(parts[0], h.kernelName)) header = std::u16string(h.fileName);
    if (!header.empty()) {
      for (size_t i = 1; i < parts.size(); ++i) header.append(u"\\").append(parts[i]);
      out.append(u"[").append(header).append(u"]\r\n");
      for (auto& [name, value] : key.values) WriteValue(out, name, value, encoding);
      out += u"\r\n";
    }
  }
  for (auto& child : key.children) WriteKey(out, *child, encoding);
}

}  // namespace

LoadResult LoadRegText(std::span<const UCHAR> bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    if (bytes.size() % 2 != 0) return {false, "UTF-16 text with an odd number of bytes"};
    for (size_t i = 2; i < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
  } else {
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) bytes = bytes.subspan(3);
    size_t bad = 0;
    if (!DecodeUtf8(bytes, text, bad)) return {false, "byte offset " + std::to_string(bad) + ": not valid UTF-8"};
  }
  try {
    std::vector<Op> ops = Parser(std::move(text)).Run();
    std::lock_guard lock(Mutex());
    Apply(ops);
  } catch (const ParseError& e) {
    return {false, e.text()};
  }
  return {true, {}};
}

LoadResult LoadRegFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {false, "registry file " + file.string() + ": cannot be opened"};
  std::vector<UCHAR> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return {false, "registry file " + file.string() + ": read error"};
  LoadResult r = LoadRegText(bytes);
  if (!r) r.error = "registry file " + file.string() + ": " + r.error;
  return r;
}

std::vector<UCHAR> SaveRegText(std::u16string_view keyPath, RegFileEncoding encoding) {
  std::u16string text(kHeader);
  text += u"\r\n\r\n";
  {
    std::lock_guard lock(Mutex());
    std::vector<std::u16string_view> parts;
    if (SplitAbsolute(keyPath, parts))
      if (auto key = Walk(Root(), parts)) WriteKey(text, *key, encoding);
  }
  std::vector<UCHAR> bytes;
  if (encoding == RegFileEncoding::Utf16Le) {
    bytes = {0xFF, 0xFE};
    for (char16_t c : text) {
      bytes.push_back(static_cast<UCHAR>(c & 0xFF));
      bytes.push_back(static_cast<UCHAR>(c >> 8));
    }
  } else {
    std::string utf8;
    platform::text::AppendUtf8(text, utf8);  // an unpaired surrogate in a name can only be written as U+FFFD
    bytes.assign(utf8.begin(), utf8.end());
  }
  return bytes;
}

bool SaveRegFile(const std::filesystem::path& file, std::u16string_view keyPath, RegFileEncoding encoding,
                 std::string* error) {
  const std::vector<UCHAR> bytes = SaveRegText(keyPath, encoding);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (out) out.close();
  if (!out) {
    if (error) *error = "registry file " + file.string() + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace platform::registry
