#include "sim/device/descriptor_dump.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace sim::device {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    auto nl = text.find('\n');
    auto line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

std::string LineRef(std::size_t index) { return "line " + std::to_string(index + 1) + ": "; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses "12 01 00 ..." into bytes; false on anything that is not a two-digit hex byte.
bool ParseHexBytes(std::string_view s, std::vector<std::uint8_t>& out) {
  s = Trim(s);
  while (!s.empty()) {
    auto sp = s.find_first_of(" \t");
    auto tok = s.substr(0, sp);
    if (tok.size() != 2 || HexDigit(tok[0]) < 0 || HexDigit(tok[1]) < 0) return false;
    out.push_back(static_cast<std::uint8_t>(HexDigit(tok[0]) * 16 + HexDigit(tok[1])));
    if (sp == std::string_view::npos) break;
    s = Trim(s.substr(sp));
  }
  return true;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view tok, int base) {
  if (tok.empty() || tok.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : tok) {
    int d = HexDigit(c);
    if (d < 0 || d >= base) return std::nullopt;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
  }
  return v;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// One descriptor being rebuilt from its field lines.
struct Block {
  std::size_t first_line = 0;
  std::vector<std::uint8_t> bytes;
  int length = -1;         // bLength once seen
  int control_size = -1;   // bControlSize once seen
  std::size_t bm_end = 0;  // end of the last bitmap field, where a too-narrow one widens
  int bm_width = 0;
  bool any = false;
};

// ---------------------------------------------------------------------------------------
// lsusb -v text

// The lower-case prefix of a field name ("bmaControls(0)" -> "bma", "wTotalLength" -> "w").
std::string_view FieldPrefix(std::string_view name) {
  std::size_t i = 0;
  while (i < name.size() && std::islower(static_cast<unsigned char>(name[i]))) ++i;
  return name.substr(0, i);
}

// Splits "name value ..." where the name may carry "(n)" or "[ n]"; false for text lines.
bool SplitField(std::string_view line, std::string_view& name, std::string_view& value) {
  line = Trim(line);
  std::size_t i = 0;
  while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_')) ++i;
  if (i == 0) return false;
  std::size_t end = i;
  if (end < line.size() && (line[end] == '(' || line[end] == '[')) {
    const char close = line[end] == '(' ? ')' : ']';
    auto c = line.find(close, end);
    if (c == std::string_view::npos) return false;
    end = c + 1;
  }
  name = line.substr(0, i);
  if (end >= line.size() || !std::isspace(static_cast<unsigned char>(line[end]))) return false;
  auto rest = Trim(line.substr(end));
  auto sp = rest.find_first_of(" \t");
  value = rest.substr(0, sp);
  if (name == "MaxPower" || name == "BaSourcePin") return !value.empty();
  auto prefix = FieldPrefix(name);
  return !prefix.empty() && prefix.size() < name.size() && std::isupper(static_cast<unsigned char>(name[prefix.size()])) &&
         !value.empty();
}

void AppendValue(Block& b, std::string_view name, std::uint64_t v, int width) {
  if (name == "bLength") b.length = static_cast<int>(v);
  if (name == "bControlSize") b.control_size = static_cast<int>(v);
  PutLe(b.bytes, v, width);
  if (StartsWith(name, "bm")) {
    b.bm_end = b.bytes.size();
    b.bm_width = width;
  }
  b.any = true;
}

// Appends one field; false when the value cannot be read.
bool AppendField(Block& b, std::string_view name, std::string_view value) {
  const auto prefix = FieldPrefix(name);
  if (name == "MaxPower") {
    if (value.size() < 3 || value.substr(value.size() - 2) != "mA") return false;
    auto v = ParseUnsigned(value.substr(0, value.size() - 2), 10);
    if (!v) return false;
    PutLe(b.bytes, *v / 2, 1);
    return true;
  }
  if (value.size() > 3 && value.substr(value.size() - 3) == "MHz") {  // dwClockFrequency
    auto dot = value.find('.');
    auto whole = ParseUnsigned(value.substr(0, dot == std::string_view::npos ? value.size() - 3 : dot), 10);
    if (!whole) return false;
    std::uint64_t hz = *whole * 1000000;
    if (dot != std::string_view::npos) {
      std::uint64_t scale = 100000;
      for (char c : value.substr(dot + 1, value.size() - 3 - dot - 1)) {
        if (c < '0' || c > '9') return false;
        hz += static_cast<std::uint64_t>(c - '0') * scale;
        scale /= 10;
      }
    }
    PutLe(b.bytes, hz, 4);
    return true;
  }
  if (value.front() == '{') {  // GUID
    if (value.size() != 38 || value.back() != '}') return false;
    std::string hex;
    for (char c : value.substr(1, 36))
      if (c != '-') hex.push_back(c);
    if (hex.size() != 32) return false;
    auto d1 = ParseUnsigned(std::string_view(hex).substr(0, 8), 16);
    auto d2 = ParseUnsigned(std::string_view(hex).substr(8, 4), 16);
    auto d3 = ParseUnsigned(std::string_view(hex).substr(12, 4), 16);
    if (!d1 || !d2 || !d3) return false;
    PutLe(b.bytes, *d1, 4);
    PutLe(b.bytes, *d2, 2);
    PutLe(b.bytes, *d3, 2);
    for (int i = 0; i < 8; ++i) {
      auto byte = ParseUnsigned(std::string_view(hex).substr(16 + 2 * i, 2), 16);
      if (!byte) return false;
      b.bytes.push_back(static_cast<std::uint8_t>(*byte));
    }
    return true;
  }
  std::uint64_t v = 0;
  int hex_digits = 0;
  if (StartsWith(value, "0x")) {
    auto p = ParseUnsigned(value.substr(2), 16);
    if (!p) return false;
    v = *p;
    hex_digits = static_cast<int>(value.size() - 2);
  } else if (prefix == "bcd") {
    auto dot = value.find('.');
    if (dot == std::string_view::npos) return false;
    auto hi = ParseUnsigned(value.substr(0, dot), 16);
    auto lo = ParseUnsigned(value.substr(dot + 1), 16);
    if (!hi || !lo) return false;
    v = (*hi << 8) | *lo;
  } else {
    auto p = ParseUnsigned(value, 10);
    if (!p) return false;
    v = *p;
  }
  int width = 1;
  if (prefix == "bm" || prefix == "bma") {
    if (b.control_size > 0)
      width = b.control_size;
    else if (hex_digits > 0)
      width = (hex_digits + 1) / 2;
  } else if (prefix == "w" || prefix == "wa" || prefix == "bcd" || prefix == "id") {
    width = 2;
  } else if (prefix == "t") {
    width = 3;
  } else if (prefix == "dw" || prefix == "d") {
    width = 4;
  }
  if (width > 8) return false;
  AppendValue(b, name, v, width);
  return true;
}

// Finishes a block into `out`: bLength decides its size. A block short by up to three
// bytes with a bitmap field narrower than four bytes had that bitmap printed narrower than
// it is (dumps print bmControls of two-byte fields with two digits): it is widened.
void EmitBlock(Block& b, std::vector<std::uint8_t>& out, std::vector<std::string>& notes) {
  if (!b.any || b.length < 0) {
    b = Block{};
    return;
  }
  // bLength is one byte: a larger value is no descriptor (and would ask for gigabytes).
  if (b.length > 0xFF) {
    notes.push_back(LineRef(b.first_line) + "bLength " + std::to_string(b.length) + " exceeds a byte, block dropped");
    b = Block{};
    return;
  }
  const auto want = static_cast<std::size_t>(b.length);
  const std::size_t missing = want > b.bytes.size() ? want - b.bytes.size() : 0;
  if (missing > 0 && missing <= 3 && b.bm_width > 0 && b.bm_width + static_cast<int>(missing) <= 4) {
    b.bytes.insert(b.bytes.begin() + static_cast<std::ptrdiff_t>(b.bm_end), missing, 0);
    notes.push_back(LineRef(b.first_line) + "bitmap field widened by " + std::to_string(missing) + " to fill bLength");
  }
  if (b.bytes.size() > want) {
    notes.push_back(LineRef(b.first_line) + "fields exceed bLength " + std::to_string(want) + ", cut");
    b.bytes.resize(want);
  } else if (b.bytes.size() < want) {
    notes.push_back(LineRef(b.first_line) + "fields short of bLength " + std::to_string(want) + ", zero-filled");
    b.bytes.resize(want, 0);
  }
  out.insert(out.end(), b.bytes.begin(), b.bytes.end());
  b = Block{};
}

bool ConvertLsusb(const std::vector<std::string_view>& lines, DescriptorDump& out, std::string& error) {
  enum class Section { None, Device, Config, Done } section = Section::None;
  Block block;
  bool junk_next = false;
  std::vector<std::uint8_t>* config = &out.configuration;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto line = Trim(lines[i]);
    if (line.empty() || line.front() == '#') continue;
    if (StartsWith(line, "Negotiated speed:")) {
      out.speed = line.find("High") != std::string_view::npos ? BusSpeed::High
                  : line.find("Full") != std::string_view::npos ? BusSpeed::Full
                                                                : out.speed;
      continue;
    }
    if (section == Section::Done) continue;
    auto& target = section == Section::Device ? out.device : *config;
    if (junk_next) {
      junk_next = false;
      std::vector<std::uint8_t> junk;
      if (ParseHexBytes(line, junk)) {
        block.bytes.insert(block.bytes.end(), junk.begin(), junk.end());
        continue;
      }
    }
    if (StartsWith(line, "Warning:")) {
      if (line.find("Junk at end") != std::string_view::npos) junk_next = true;
      out.notes.push_back(LineRef(i) + std::string(line));
      continue;
    }
    if (line.back() == ':') {  // a block header
      if (section == Section::Device || section == Section::Config) EmitBlock(block, target, out.notes);
      if (line == "Device Descriptor:") {
        if (!out.device.empty()) {
          error = LineRef(i) + "second device descriptor";
          return false;
        }
        section = Section::Device;
      } else if (line == "Configuration Descriptor:") {
        if (!out.configuration.empty()) {  // a further configuration
          out.other_configurations.emplace_back();
          config = &out.other_configurations.back();
        }
        section = Section::Config;
      } else if (StartsWith(line, "Device Qualifier") || StartsWith(line, "Binary Object Store") ||
                 StartsWith(line, "Other Speed")) {
        if (section != Section::None) section = Section::Done;
      }
      block.first_line = i;
      continue;
    }
    if (section != Section::Device && section != Section::Config) continue;
    if (line.front() == '{' && !block.bytes.empty()) {  // a GUID printed under its field name
      if (!AppendField(block, "guid", line)) {
        error = LineRef(i) + "bad GUID \"" + std::string(line) + "\"";
        return false;
      }
      continue;
    }
    std::string_view name, value;
    if (!SplitField(line, name, value)) continue;
    if (block.bytes.empty() && name != "bLength") {
      // Fields outside a descriptor (a summary line such as "Device Status:") are ignored.
      continue;
    }
    if (!AppendField(block, name, value)) {
      error = LineRef(i) + "cannot read the value of " + std::string(name) + ": \"" + std::string(value) + "\"";
      return false;
    }
  }
  if (section == Section::Device) EmitBlock(block, out.device, out.notes);
  if (section == Section::Config) EmitBlock(block, *config, out.notes);
  return true;
}

// ---------------------------------------------------------------------------------------
// Hex-first listings ("0x0200<TAB>bcdUSB   ...")

bool ConvertHexListing(const std::vector<std::string_view>& lines, DescriptorDump& out, std::string& error) {
  enum class Section { None, Device, Config, Skip, Done } section = Section::None;
  Block block;
  std::vector<std::uint8_t>* config = &out.configuration;
  auto finish = [&] {
    if (section == Section::Device) EmitBlock(block, out.device, out.notes);
    if (section == Section::Config) EmitBlock(block, *config, out.notes);
    block = Block{};
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto line = Trim(lines[i]);
    if (StartsWith(line, "# =====")) {
      if (!out.device.empty() || !out.configuration.empty()) {
        finish();
        section = Section::Done;
      }
      continue;
    }
    if (section == Section::Done) break;
    if (StartsWith(line, "Device current bus speed:")) {
      out.speed = line.find("High") != std::string_view::npos ? BusSpeed::High : BusSpeed::Full;
      continue;
    }
    if (!line.empty() && line.back() == ':' && !StartsWith(line, "0x")) {
      finish();
      if (line == "Device Descriptor:")
        section = out.device.empty() ? Section::Device : Section::Skip;
      else if (line == "Configuration Descriptor:") {
        if (!out.configuration.empty()) {  // a further configuration
          out.other_configurations.emplace_back();
          config = &out.other_configurations.back();
        }
        section = Section::Config;
      }
      else if (StartsWith(line, "Other Speed") || StartsWith(line, "Device Qualifier"))
        section = section == Section::Config ? Section::Done : Section::Skip;
      block.first_line = i;
      continue;
    }
    if (!StartsWith(line, "0x") || (section != Section::Device && section != Section::Config)) continue;
    auto tab = line.find_first_of(" \t");
    if (tab == std::string_view::npos) continue;
    auto hex = line.substr(2, tab - 2);
    auto v = ParseUnsigned(hex, 16);
    if (!v || hex.size() % 2 != 0 || hex.size() > 8) {
      error = LineRef(i) + "bad hex value \"" + std::string(line.substr(0, tab)) + "\"";
      return false;
    }
    auto rest = Trim(line.substr(tab));
    auto name = rest.substr(0, rest.find_first_of(" \t"));
    AppendValue(block, name, *v, static_cast<int>(hex.size() / 2));
    // String texts: iXxx "text".
    if (!rest.empty() && rest.front() == 'i') {
      auto q1 = rest.find('"');
      auto q2 = rest.rfind('"');
      if (q1 != std::string_view::npos && q2 > q1 && *v != 0) {
        std::u16string text;
        for (char c : rest.substr(q1 + 1, q2 - q1 - 1)) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
        out.strings[static_cast<std::uint8_t>(*v)] = text;
      }
    }
  }
  finish();
  return true;
}

// ---------------------------------------------------------------------------------------
// Raw hex

bool ConvertRaw(const std::vector<std::string_view>& lines, DescriptorDump& out, std::string& error) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto line = Trim(lines[i]);
    std::vector<std::uint8_t>* target = nullptr;
    std::string_view payload;
    if (StartsWith(line, "DEVICE:")) {
      target = &out.device;
      payload = line.substr(7);
    } else if (StartsWith(line, "CONFIG_RAW:")) {
      // Each further CONFIG_RAW line is the next configuration.
      if (!out.configuration.empty()) out.other_configurations.emplace_back();
      target = out.configuration.empty() ? &out.configuration : &out.other_configurations.back();
      payload = line.substr(11);
    } else {
      continue;
    }
    if (!target->empty()) {
      error = LineRef(i) + "repeated " + std::string(line.substr(0, line.find(':') + 1));
      return false;
    }
    if (!ParseHexBytes(payload, *target)) {
      error = LineRef(i) + "not a list of hex bytes";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ConvertDescriptorDump(std::string_view text, DescriptorDump& out, std::string& error) {
  out = DescriptorDump{};
  error.clear();
  const auto lines = SplitLines(text);
  bool raw = false, listing = false;
  for (auto l : lines) {
    if (StartsWith(l, "CONFIG_RAW:")) raw = true;
    if (StartsWith(l, "0x") && l.find('\t') != std::string_view::npos) listing = true;
  }
  const bool ok = raw ? ConvertRaw(lines, out, error) : listing ? ConvertHexListing(lines, out, error)
                                                                : ConvertLsusb(lines, out, error);
  if (!ok) return false;
  if (out.device.size() != 18 || out.device[0] != 18 || out.device[1] != 1) {
    error = out.device.empty() ? "no device descriptor"
                               : "device descriptor is " + std::to_string(out.device.size()) +
                                     " bytes with bLength " + std::to_string(out.device[0]) + ", type " +
                                     std::to_string(out.device.size() > 1 ? out.device[1] : 0) + " (want 18, 18, 1)";
    return false;
  }
  if (out.configuration.size() < 9 || out.configuration[0] != 9 || out.configuration[1] != 2) {
    error = out.configuration.empty() ? "no configuration descriptor" : "configuration header is not a 9-byte type-2 descriptor";
    return false;
  }
  out.declared_total_length = static_cast<std::uint16_t>(out.configuration[2] | (out.configuration[3] << 8));
  if (out.configuration.size() > out.declared_total_length) {
    error = "configuration is " + std::to_string(out.configuration.size()) + " bytes, more than its wTotalLength " +
            std::to_string(out.declared_total_length);
    return false;
  }
  for (std::size_t k = 0; k < out.other_configurations.size();) {
    const auto& c = out.other_configurations[k];
    std::string why;
    if (c.size() < 9 || c[0] != 9 || c[1] != 2)
      why = "does not start with a 9-byte configuration descriptor";
    else if (c.size() > static_cast<std::size_t>(c[2] | (c[3] << 8)))
      why = "is longer than its wTotalLength";
    if (why.empty()) {
      ++k;
      continue;
    }
    out.notes.push_back("configuration index " + std::to_string(k + 1) + " " + why + ", left out");
    out.other_configurations.erase(out.other_configurations.begin() + static_cast<std::ptrdiff_t>(k));
  }
  return true;
}

}  // namespace sim::device
