// Line parsing of the INI file: the typing rules, headers, version and [QUVARA] lines.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "adapter/ini_parse.h"
#include "kernel/registry.h"

namespace {

ini::Line L(const std::string& s) { return {s.data(), static_cast<ULONG>(s.size())}; }

struct Parsed {
  bool ok;
  std::string key;
  ULONG type;
  std::vector<UCHAR> data;
};
Parsed Parse(const std::string& s) {
  auto e = std::make_unique<ini::Entry>();
  Parsed p{ini::ParseEntry(L(s), e.get()), {}, 0, {}};
  if (p.ok) {
    p.key.assign(e->key, e->keyLength);
    EXPECT_EQ(std::strlen(e->key), e->keyLength);
    p.type = e->type;
    p.data.assign(e->data, e->data + e->size);
  }
  return p;
}

std::vector<UCHAR> Utf16(const std::string& s) {
  std::vector<UCHAR> out;
  for (char c : s) out.insert(out.end(), {static_cast<UCHAR>(c), 0});
  return out;
}

TEST(IniParse, TypingExamples) {
  auto p = Parse("Gain = 0x10 300");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.key, "Gain");
  EXPECT_EQ(p.type, REG_BINARY);
  EXPECT_EQ(p.data, (std::vector<UCHAR>{0x10, 0x2C, 0x01, 0x00, 0x00}));

  p = Parse("Name=abc");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.type, REG_SZ);
  EXPECT_EQ(p.data, Utf16("abc"));

  p = Parse("Mask = 0x1F0");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.data, (std::vector<UCHAR>{0xF0, 0x01, 0x00, 0x00}));

  // Separators, case of the prefix, long hex, comments, text mixed with numbers.
  p = Parse("  K\t=\t0XaB,0x1,  7 ;comment 5");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.key, "K");
  EXPECT_EQ(p.type, REG_BINARY);
  EXPECT_EQ(p.data, (std::vector<UCHAR>{0xAB, 1, 0, 0, 0, 7, 0, 0, 0}));
  p = Parse("My Key = x 0x01");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.key, "My Key");
  EXPECT_EQ(p.type, REG_SZ);
  EXPECT_EQ(p.data, (std::vector<UCHAR>{'x', 0, 1}));
  p = Parse("Big = 0xFFFFFFFF 4294967295 0x00000000000001");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.data, (std::vector<UCHAR>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}));
  p = Parse("Empty =  ; nothing");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.type, REG_BINARY);
  EXPECT_TRUE(p.data.empty());
  p = Parse("Latin = \xE9");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.data, (std::vector<UCHAR>{0xE9, 0}));
}

TEST(IniParse, BadEntriesDoNotParse) {
  const std::string tooLongToken(80, 'a');
  const std::string longestToken(79, 'a');
  const std::vector<std::string> bad = {
      "NoEquals 5",
      " = 5",
      "=5",
      std::string(80, 'k') + " = 1",
      "K = 0x1G",          // one-byte form with a bad digit
      "K = 0x",            // no digits
      "K = 0x123456789",   // beyond 32 bits
      "K = 4294967296",    // beyond 32 bits
      "K = 12ab",          // number token with a letter
      "K = " + tooLongToken,
      std::string("K = a\0b", 7),
      "; K = 1",
      "   ",
      "",
  };
  for (const auto& s : bad) EXPECT_FALSE(Parse(s).ok) << s;
  EXPECT_TRUE(Parse(std::string(79, 'k') + " = " + longestToken).ok);

  // 1,024 bytes of data parse, 1,025 do not.
  std::string line = "K =";
  for (int i = 0; i < 256; ++i) line += " 1";
  EXPECT_EQ(Parse(line).data.size(), 1024u);
  EXPECT_FALSE(Parse(line + " 0x01").ok);
}

TEST(IniParse, HeadersAndSections) {
  EXPECT_TRUE(ini::IsHeader(L("[VERSION]")));
  EXPECT_FALSE(ini::IsHeader(L(" [VERSION]")));
  EXPECT_TRUE(ini::IsSection(L("[VERSION] ; c"), "VERSION", 7));
  EXPECT_FALSE(ini::IsSection(L("[version]"), "VERSION", 7));
  EXPECT_FALSE(ini::IsSection(L("[VERSIONS]"), "VERSION", 7));
  EXPECT_FALSE(ini::IsSection(L("[VERSION"), "VERSION", 7));

  CHAR sub[ini::kMaxSubKeyName + 1];
  ULONG n = 99;
  EXPECT_TRUE(ini::IsModelSection(L("[M1]"), "M1", 2, sub, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(ini::IsModelSection(L("[M1:Mic]"), "M1", 2, sub, &n));
  EXPECT_EQ(std::string(sub), "Mic");
  EXPECT_FALSE(ini::IsModelSection(L("[M10]"), "M1", 2, sub, &n));
  EXPECT_FALSE(ini::IsModelSection(L("[m1]"), "M1", 2, sub, &n));
  EXPECT_FALSE(ini::IsModelSection(L("[M1:]"), "M1", 2, sub, &n));
  EXPECT_FALSE(ini::IsModelSection(L("[M1:a\\b]"), "M1", 2, sub, &n));
  EXPECT_FALSE(ini::IsModelSection(L("[M1:Mic"), "M1", 2, sub, &n));
  EXPECT_TRUE(ini::IsModelSection(L("[M1:" + std::string(80, 's') + "]"), "M1", 2, sub, &n));
  EXPECT_EQ(n, 80u);
  EXPECT_FALSE(ini::IsModelSection(L("[M1:" + std::string(81, 's') + "]"), "M1", 2, sub, &n));

  EXPECT_TRUE(ini::IsEntry(L(" a")));
  EXPECT_FALSE(ini::IsEntry(L(" \t;a")));
}

TEST(IniParse, VersionLine) {
  ULONG v = 0;
  EXPECT_EQ(ini::ParseVersion(L("Version = 3"), &v), ini::VersionLine::kValid);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(ini::ParseVersion(L("x=0x10,7 ; c"), &v), ini::VersionLine::kValid);
  EXPECT_EQ(v, 16u);
  EXPECT_EQ(ini::ParseVersion(L("Version 3"), &v), ini::VersionLine::kNotKeyLine);
  EXPECT_EQ(ini::ParseVersion(L("Version = v3"), &v), ini::VersionLine::kInvalid);
  EXPECT_EQ(ini::ParseVersion(L("Version ="), &v), ini::VersionLine::kInvalid);
  EXPECT_EQ(ini::ParseVersion(L("Version = 99999999999"), &v), ini::VersionLine::kInvalid);
  EXPECT_EQ(ini::ParseVersion(L("Version = 00000000000000000001"), &v), ini::VersionLine::kInvalid)
      << "20 characters";
  EXPECT_EQ(ini::ParseVersion(L("Version = 0000000000000000001"), &v), ini::VersionLine::kValid);
  EXPECT_EQ(v, 1u);
}

TEST(IniParse, HardwareIdEntries) {
  const char id[] = "USB\\VID_0B05&PID_17F3";
  const ULONG idLength = sizeof id - 1;
  CHAR model[ini::kMaxModelName + 1];
  ULONG n = 0;
  EXPECT_TRUE(ini::MatchHardwareId(L("usb\\vid_0b05&pid_17f3 = ModelA ; comment"), id, idLength, model, &n));
  EXPECT_EQ(std::string(model), "ModelA");
  EXPECT_TRUE(ini::MatchHardwareId(L("USB\\VID_0B05&PID_17F3=M;x"), id, idLength, model, &n));
  EXPECT_EQ(std::string(model), "M");
  // The character after the ID must be '=' (after blanks).
  EXPECT_FALSE(ini::MatchHardwareId(L("USB\\VID_0B05&PID_17F3&REV_0100 = M"), id, idLength, model, &n));
  EXPECT_FALSE(ini::MatchHardwareId(L("USB\\VID_0B05&PID_17F3 : M"), id, idLength, model, &n));
  EXPECT_FALSE(ini::MatchHardwareId(L("USB\\VID_0B05&PID_17F3 = "), id, idLength, model, &n));
  EXPECT_FALSE(ini::MatchHardwareId(L("USB\\VID_0B05"), id, idLength, model, &n));
  EXPECT_FALSE(ini::MatchHardwareId(L("X = M"), "", 0, model, &n)) << "an empty ID matches nothing";
  EXPECT_FALSE(ini::MatchHardwareId(L(std::string(id) + "=" + std::string(80, 'm')), id, idLength, model, &n));
  EXPECT_TRUE(ini::MatchHardwareId(L(std::string(id) + "=" + std::string(79, 'm')), id, idLength, model, &n));
  EXPECT_EQ(n, 79u);
  EXPECT_FALSE(ini::MatchHardwareId(L(std::string(id) + "=a" + std::string(1, '\0') + "b"), id, idLength, model, &n));
}

// Arbitrary bytes never make the parsers read past the line (checked under the sanitizers
// by giving each line its own exactly-sized allocation).
TEST(IniParse, RandomLinesStayInBounds) {
  std::mt19937 rng(7);
  const char pool[] = "0xX19aFg =,;\t [ ]:\\/\0M1";
  for (int round = 0; round < 20000; ++round) {
    const size_t n = rng() % 40;
    std::unique_ptr<CHAR[]> buf(new CHAR[n ? n : 1]);
    for (size_t i = 0; i < n; ++i) buf[i] = pool[rng() % (sizeof pool - 1)];
    const ini::Line line{buf.get(), static_cast<ULONG>(n)};
    auto e = std::make_unique<ini::Entry>();
    if (ini::ParseEntry(line, e.get())) {
      EXPECT_LE(e->size, ini::kMaxValueBytes);
      EXPECT_GT(e->keyLength, 0u);
    }
    ULONG v;
    ini::ParseVersion(line, &v);
    CHAR s[ini::kMaxSubKeyName + 1];
    ULONG sl;
    ini::IsModelSection(line, "M1", 2, s, &sl);
    CHAR m[ini::kMaxModelName + 1];
    ini::MatchHardwareId(line, "0X", 2, m, &sl);
  }
}

}  // namespace
