// Line parsing of the INI file: the limits that guard the reader's fixed buffers, and
// bounds on arbitrary lines. The typing of values is tested end to end with the import.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "adapter/ini_parse.h"

namespace {

ini::Line L(const std::string& s) { return {s.data(), static_cast<ULONG>(s.size())}; }

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
