#include "behaviour_profile.h"

#include <fstream>
#include <sstream>

#include "sim/device/chip_registers.h"

namespace tools {
namespace {

constexpr std::size_t kMaxModelUnits = 51;
constexpr std::size_t kMaxVendorBytes = 64;
constexpr std::size_t kMaxSettingName = 64;

// A hex number of at most `max`; false for anything else.
bool Hex(const std::string& word, std::uint32_t max, std::uint32_t& out) {
  std::string digits = word;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 8) return false;
  std::uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  if (v > max) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool Number(const std::string& word, std::uint32_t& out) {
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) return Hex(word, 0xFFFFFFFF, out);
  if (word.empty() || word.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFF) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

bool LoadBehaviourProfile(const std::string& path, BehaviourProfile& profile, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot open the behaviour profile";
    return false;
  }
  std::string line;
  unsigned number = 0;
  auto fail = [&](const std::string& why) {
    error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    const std::string& key = w[0];
    std::uint32_t v = 0;
    if (key == "model") {
      if (w.size() < 2 || w.size() - 1 > kMaxModelUnits) return fail("model takes 1 to 51 UTF-16 code units");
      std::u16string text;
      for (std::size_t i = 1; i < w.size(); ++i) {
        if (!Hex(w[i], 0xFFFF, v)) return fail("model code unit '" + w[i] + "' is not a 16-bit hex number");
        text.push_back(static_cast<char16_t>(v));
      }
      profile.model = text;
    } else if (key == "model-index") {
      if (w.size() != 2 || !Hex(w[1], 0xFF, v) || (v != 0x50 && v != 0x32))
        return fail("model-index takes 50 or 32");
      profile.modelIndex = static_cast<std::uint8_t>(v);
    } else if (key == "vendor") {
      if (w.size() < 6 || w.size() - 5 > kMaxVendorBytes)
        return fail("vendor takes bmRequestType, bRequest, wValue, wIndex and 1 to 64 bytes");
      VendorRead r{};
      std::uint32_t f[4];
      const std::uint32_t limits[4] = {0xFF, 0xFF, 0xFFFF, 0xFFFF};
      for (int i = 0; i < 4; ++i)
        if (!Hex(w[1 + i], limits[i], f[i])) return fail("vendor field '" + w[1 + i] + "' is not a hex number in range");
      if (!(f[0] & 0x80) || ((f[0] >> 5) & 3) != 2) return fail("vendor bmRequestType must be a device-to-host vendor request");
      r.requestType = static_cast<std::uint8_t>(f[0]);
      r.request = static_cast<std::uint8_t>(f[1]);
      r.value = static_cast<std::uint16_t>(f[2]);
      r.index = static_cast<std::uint16_t>(f[3]);
      for (std::size_t i = 5; i < w.size(); ++i) {
        if (!Hex(w[i], 0xFF, v)) return fail("vendor byte '" + w[i] + "' is not a hex byte");
        r.bytes.push_back(static_cast<std::uint8_t>(v));
      }
      profile.vendor.push_back(std::move(r));
    } else if (key == "registers") {
      if (w.size() != 7) return fail("registers takes six 16-bit hex values");
      std::array<std::uint16_t, 6> regs{};
      for (int i = 0; i < 6; ++i) {
        if (!Hex(w[1 + i], 0xFFFF, v)) return fail("register value '" + w[1 + i] + "' is not a 16-bit hex number");
        regs[i] = static_cast<std::uint16_t>(v);
      }
      profile.registers = regs;
    } else if (key == "setting") {
      if (w.size() != 3 || w[1].size() > kMaxSettingName) return fail("setting takes a value name and a DWORD");
      for (char c : w[1])
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E || c == '\\')
          return fail("setting name '" + w[1] + "' has a character a value name cannot have");
      if (!Number(w[2], v)) return fail("setting value '" + w[2] + "' is not a DWORD (decimal, or hex with 0x)");
      profile.settings.emplace_back(std::u16string(w[1].begin(), w[1].end()), v);
    } else {
      return fail("unknown entry '" + key + "' (model, model-index, vendor, registers, setting)");
    }
  }
  return true;
}

void ApplyStrings(const BehaviourProfile& profile, sim::device::DeviceProfile& device) {
  if (!profile.model) return;
  device.strings.erase(0x50);
  device.strings.erase(0x32);
  device.strings[profile.modelIndex] = *profile.model;
}

void ApplyDevice(const BehaviourProfile& profile, sim::device::SimDevice& device) {
  for (const VendorRead& r : profile.vendor) device.SetVendorData(r.requestType, r.request, r.value, r.index, r.bytes);
  if (profile.registers) sim::device::ChipRegisters(3, *profile.registers).Install(device);
}

}  // namespace tools
