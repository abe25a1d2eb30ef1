// Line parsing of the INI file: the typing of value lists and the limits that guard the
// reader's fixed buffers.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "adapter/ini_parse.h"
#include "kernel/registry.h"

namespace {

ini::Line L(const std::string& s) { return {s.data(), static_cast<ULONG>(s.size())}; }

struct Value {
  std::string key;
  ULONG type;
  std::vector<UCHAR> data;
  bool operator==(const Value&) const = default;
};

std::optional<Value> Parse(const std::string& s) {
  auto e = std::make_unique<ini::Entry>();
  if (!ini::ParseEntry(L(s), e.get())) return std::nullopt;
  return Value{std::string(e->key, e->keyLength), e->type, std::vector<UCHAR>(e->data, e->data + e->size)};
}

std::vector<UCHAR> Utf16(const std::string& s) {
  std::vector<UCHAR> out;
  for (char c : s) out.insert(out.end(), {static_cast<UCHAR>(c), 0});
  return out;
}

TEST(IniParse, ValueListsAreTypedTokenByToken) {
  const struct {
    std::string line;
    std::optional<Value> value;  // none: the line is refused
  } cases[] = {
      {"Gain = 0x10 300", Value{"Gain", REG_BINARY, {0x10, 0x2C, 0x01, 0x00, 0x00}}},
      {"Name=abc", Value{"Name", REG_SZ, Utf16("abc")}},
      {"Mask = 0x1F0", Value{"Mask", REG_BINARY, {0xF0, 0x01, 0, 0}}},
      {"  K\t=\t0XaB,0x1,  7 ;comment 5", Value{"K", REG_BINARY, {0xAB, 1, 0, 0, 0, 7, 0, 0, 0}}},
      {"My Key = x 0x01", Value{"My Key", REG_SZ, {'x', 0, 1}}},
      {"Big = 0xFFFFFFFF 4294967295", Value{"Big", REG_BINARY, std::vector<UCHAR>(8, 0xFF)}},
      {"Empty =  ; nothing", Value{"Empty", REG_BINARY, {}}},
      {"Latin = \xE9", Value{"Latin", REG_SZ, {0xE9, 0}}},
      {std::string(79, 'k') + "=" + std::string(79, 'v'),  // the longest key and token
       Value{std::string(79, 'k'), REG_SZ, Utf16(std::string(79, 'v'))}},
      {"NoEquals 5", std::nullopt},
      {" = 5", std::nullopt},
      {"; K = 1", std::nullopt},
      {"", std::nullopt},
      {std::string(80, 'k') + " = 1", std::nullopt},
      {"K = " + std::string(80, 'v'), std::nullopt},
      {"K = 0x1G", std::nullopt},
      {"K = 0x", std::nullopt},
      {"K = 0x123456789", std::nullopt},
      {"K = 4294967296", std::nullopt},
      {"K = 12ab", std::nullopt},
      {std::string("K = a\0b", 7), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.line), c.value) << c.line.substr(0, 40);
  // 1,024 bytes of data parse, 1,025 do not.
  std::string line = "K =";
  for (int i = 0; i < 256; ++i) line += " 1";
  EXPECT_EQ(Parse(line)->data.size(), 1024u);
  EXPECT_FALSE(Parse(line + " 0x01"));
}

// The names land in fixed buffers of the reader: exactly sized here, so the sanitizers see
// a write past the limit.
TEST(IniParse, ModelAndSubKeyNamesStayWithinTheirBuffers) {
  auto model = std::make_unique<CHAR[]>(ini::kMaxModelName + 1);
  auto subKey = std::make_unique<CHAR[]>(ini::kMaxSubKeyName + 1);
  ULONG n = 0;
  const std::string id = "USB\\VID_0B05";
  auto match = [&](const std::string& line) { return ini::MatchHardwareId(L(line), id.c_str(), 12, model.get(), &n); };
  EXPECT_TRUE(match(id + "=" + std::string(79, 'm')));
  EXPECT_EQ(n, 79u);
  EXPECT_FALSE(match(id + "=" + std::string(80, 'm')));
  EXPECT_FALSE(match(id + "=a" + std::string(1, '\0')));
  EXPECT_FALSE(ini::MatchHardwareId(L("X = M"), "", 0, model.get(), &n)) << "an empty ID matches nothing";
  EXPECT_TRUE(ini::IsModelSection(L("[M:" + std::string(80, 's') + "]"), "M", 1, subKey.get(), &n));
  EXPECT_EQ(n, 80u);
  EXPECT_FALSE(ini::IsModelSection(L("[M:" + std::string(81, 's') + "]"), "M", 1, subKey.get(), &n));
  EXPECT_FALSE(ini::IsModelSection(L("[M:Mic"), "M", 1, subKey.get(), &n));
}

// Arbitrary bytes never make the parsers read past the line: each line has its own
// exactly sized allocation, so the sanitizers see any over-read.
TEST(IniParse, RandomLinesStayInBounds) {
  std::mt19937 rng(7);
  const char alphabet[] = "0xX19aFg =,;\t [ ]:\\/\0M1";
  for (int round = 0; round < 20000; ++round) {
    const size_t n = rng() % 40;
    std::unique_ptr<CHAR[]> buf(new CHAR[n ? n : 1]);
    for (size_t i = 0; i < n; ++i) buf[i] = alphabet[rng() % (sizeof alphabet - 1)];
    const ini::Line line{buf.get(), static_cast<ULONG>(n)};
    auto e = std::make_unique<ini::Entry>();
    if (ini::ParseEntry(line, e.get())) {
      EXPECT_LE(e->size, ini::kMaxValueBytes);
    }
    ULONG v, sl;
    ini::ParseVersion(line, &v);
    CHAR s[ini::kMaxSubKeyName + 1];
    ini::IsModelSection(line, "M1", 2, s, &sl);
    CHAR m[ini::kMaxModelName + 1];
    ini::MatchHardwareId(line, "0X", 2, m, &sl);
  }
}

}  // namespace
