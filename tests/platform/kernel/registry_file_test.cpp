// The registry's test API and its ".reg" text form: round trips and strict refusal.
#include <gtest/gtest.h>

#include "support/kernel_fixture.h"

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unistd.h>

#include "kernel/registry.h"

namespace reg = platform::registry;

namespace {

constexpr std::u16string_view kSettings =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}"
    u"\\0001\\Settings";

std::vector<UCHAR> Bytes(std::string_view s) { return std::vector<UCHAR>(s.begin(), s.end()); }

// Everything below \Registry as one comparable map: key path (upper-cased) -> values.
using Snapshot = std::map<std::u16string, std::map<std::u16string, reg::Value>>;
void Collect(const std::u16string& path, Snapshot& out) {
  auto& values = out[path];
  for (auto& name : reg::ValueNames(path)) values[name] = *reg::GetValue(path, name);
  for (auto& sub : reg::SubKeys(path)) Collect(path + u"\\" + sub, out);
}
Snapshot Take() {
  Snapshot s;
  Collect(u"\\Registry", s);
  return s;
}

class RegistryFileTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    reg::Clear();
  }
  void TearDown() override {
    reg::Clear();
    KernelTest::TearDown();
  }
};

TEST_F(RegistryFileTest, TestApiStoresTypedValuesCaseInsensitively) {
  ASSERT_TRUE(reg::SetDword(kSettings, u"IniVersion", 3));
  const UCHAR bin[] = {1, 2, 3};
  ASSERT_TRUE(reg::SetBinary(kSettings, u"Blob", bin));
  ASSERT_TRUE(reg::SetString(kSettings, u"ModuleName", u"AB.INI"));
  ASSERT_TRUE(reg::SetMultiString(kSettings, u"Ids", {u"A", u"BC"}));

  auto upper = std::u16string(kSettings);
  for (auto& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  EXPECT_EQ(reg::GetValue(upper, u"INIVERSION"), (reg::Value{REG_DWORD, {3, 0, 0, 0}}));
  EXPECT_EQ(reg::GetValue(kSettings, u"blob"), (reg::Value{REG_BINARY, {1, 2, 3}}));
  EXPECT_EQ(reg::GetValue(kSettings, u"ModuleName"),
            (reg::Value{REG_SZ, {'A', 0, 'B', 0, '.', 0, 'I', 0, 'N', 0, 'I', 0, 0, 0}}));
  EXPECT_EQ(reg::GetValue(kSettings, u"Ids"), (reg::Value{REG_MULTI_SZ, {'A', 0, 0, 0, 'B', 0, 'C', 0, 0, 0, 0, 0}}));
  EXPECT_EQ(reg::ValueNames(kSettings), (std::vector<std::u16string>{u"IniVersion", u"Blob", u"ModuleName", u"Ids"}));

  EXPECT_TRUE(reg::DeleteValue(kSettings, u"BLOB"));
  EXPECT_FALSE(reg::GetValue(kSettings, u"Blob"));
  EXPECT_FALSE(reg::SetDword(u"\\Registry\\Nowhere\\X", u"V", 1)) << "hives cannot be created";
  EXPECT_FALSE(reg::SetDword(u"\\Registry\\Machine\\\\X", u"V", 1)) << "empty component";
  EXPECT_FALSE(reg::SetDword(u"\\Registry\\Machine\\X", u"bad\nname", 1));
  EXPECT_FALSE(reg::DeleteTree(u"\\Registry\\Machine"));

  reg::Clear();
  EXPECT_FALSE(reg::KeyExists(kSettings));
  EXPECT_TRUE(reg::KeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum"));
}

TEST_F(RegistryFileTest, SubKeysAreOrderedByUpperCasedName) {
  for (auto name : {u"b", u"A", u"_x", u"C"}) reg::CreateKey(std::u16string(u"\\Registry\\User\\") + name);
  // Upper-cased comparison: 'A' < 'B' < 'C' < '_' (0x5F).
  EXPECT_EQ(reg::SubKeys(u"\\Registry\\User"), (std::vector<std::u16string>{u"A", u"b", u"C", u"_x"}));
}

TEST_F(RegistryFileTest, ReadsTheRegistryEditorFormat) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\"
      "Settings]\r\n"
      "\"IniVersion\"=hex:03,00,00,00\r\n"
      "\"Name\"=\"say \\\"hi\\\" C:\\\\\"\r\n"
      "\"Count\"=dword:0000001f\r\n"
      "@=\"default\"\r\n"
      "\"Multi\"=hex(7):41,00,00,00,\\\r\n"
      "  00,00\r\n"
      "\"Empty\"=hex:\r\n"
      "\r\n"
      "[HKEY_USERS\\Test]\r\n";
  auto r = reg::LoadRegText(Bytes(text));
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(reg::GetValue(kSettings, u"IniVersion"), (reg::Value{REG_BINARY, {3, 0, 0, 0}}));
  const std::u16string name = u"say \"hi\" C:\\";
  std::vector<UCHAR> nameBytes;
  for (char16_t c : name) nameBytes.insert(nameBytes.end(), {static_cast<UCHAR>(c), 0});
  nameBytes.insert(nameBytes.end(), {0, 0});
  EXPECT_EQ(reg::GetValue(kSettings, u"Name"), (reg::Value{REG_SZ, nameBytes}));
  EXPECT_EQ(reg::GetValue(kSettings, u"Count"), (reg::Value{REG_DWORD, {0x1F, 0, 0, 0}}));
  EXPECT_EQ(reg::GetValue(kSettings, u""), (reg::Value{REG_SZ, {'d', 0, 'e', 0, 'f', 0, 'a', 0, 'u', 0, 'l', 0, 't', 0, 0, 0}}));
  EXPECT_EQ(reg::GetValue(kSettings, u"Multi"), (reg::Value{REG_MULTI_SZ, {0x41, 0, 0, 0, 0, 0}}));
  EXPECT_EQ(reg::GetValue(kSettings, u"Empty"), (reg::Value{REG_BINARY, {}}));
  EXPECT_TRUE(reg::KeyExists(u"\\Registry\\User\\Test"));

  // Deletions of values and trees.
  r = reg::LoadRegText(Bytes("Windows Registry Editor Version 5.00\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                             "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings]\n"
                             "\"Count\"=-\n"
                             "[-HKEY_USERS\\Test]\n"));
  ASSERT_TRUE(r) << r.error;
  EXPECT_FALSE(reg::GetValue(kSettings, u"Count"));
  EXPECT_FALSE(reg::KeyExists(u"\\Registry\\User\\Test"));
}

TEST_F(RegistryFileTest, MalformedFilesAreRefusedAndChangeNothing) {
  reg::SetDword(kSettings, u"Keep", 7);
  const Snapshot before = Take();
  const std::string head = "Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\A]\r\n\"Ok\"=dword:1\r\n";
  struct Case {
    std::string text;
    std::string expect;  // part of the message
  } cases[] = {
      {"REGEDIT4\r\n[HKEY_USERS\\A]\r\n", "line 1: not a registry file"},
      {"", "line 1"},
      {head + "[HKEY_USERS\\A\r\n", "line 4: key header without closing"},
      {head + "[HKEY_CLASSES_ROOT\\A]\r\n", "line 4: unknown root key"},
      {head + "[HKEY_USERS\\A\\\\B]\r\n", "line 4: malformed key path"},
      {head + "[-HKEY_USERS]\r\n", "line 4: a root key cannot be deleted"},
      {"Windows Registry Editor Version 5.00\r\n\"V\"=dword:1\r\n", "line 2: value outside a key section"},
      {head + "\"V\"=dword:123456789\r\n", "line 4: malformed dword"},
      {head + "\"V\"=dword:\r\n", "line 4: malformed dword"},
      {head + "\"V\"=hex:1g\r\n", "line 4: malformed hex byte"},
      {head + "\"V\"=hex:123\r\n", "line 4: malformed hex byte"},
      {head + "\"V\"=hex:01,,02\r\n", "line 4: malformed hex byte"},
      {head + "\"V\"=hex(zz):01\r\n", "line 4: malformed hex(type)"},
      {head + "\"V\"=hex:01,\\", "line 4: hex list continues past the end"},
      {head + "\"V\"=hex:01,\\\r\n", "line 4: malformed hex byte"},
      {head + "\"V\"=\"open\r\n", "line 4: missing closing quote"},
      {head + "\"V\"=\"a\\n\"\r\n", "line 4: unknown escape"},
      {head + "\"V\"=\"a\" x\r\n", "line 4: text after the closing quote"},
      {head + "\"V\" dword:1\r\n", "line 4: missing '='"},
      {head + "\"\"=dword:1\r\n", "line 4: empty value name"},
      {head + "\"V\"=qword:1\r\n", "line 4: unrecognised value data"},
      {head + "V=dword:1\r\n", "line 4: expected a key header"},
      {head + "\"V\"=\"a\rb\"\r\n", "line 4: carriage return"},
      {std::string("Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\\xC3\x28]\r\n"), "not valid UTF-8"},
      {std::string("\xFF\xFE\x57", 3), "odd number of bytes"},
  };
  for (const Case& c : cases) {
    auto r = reg::LoadRegText(Bytes(c.text));
    EXPECT_FALSE(r) << c.text;
    EXPECT_NE(r.error.find(c.expect), std::string::npos) << "message: " << r.error << "\nexpected: " << c.expect;
    EXPECT_EQ(Take(), before) << c.text;
  }

  auto r = reg::LoadRegFile("/nonexistent/dir/settings.reg");
  EXPECT_FALSE(r);
  EXPECT_NE(r.error.find("cannot be opened"), std::string::npos);
}

// Random trees with awkward names and data survive save, clear and load in both encodings.
TEST_F(RegistryFileTest, RandomTreesRoundTrip) {
  std::mt19937 rng(1234);
  const std::u16string alphabet = u"aZ09 _-.{}[]\"\\=@;,\u00e9\u4e2d";
  auto randomName = [&](size_t maxLen, bool key) {
    std::u16string s;
    const size_t len = 1 + rng() % maxLen;
    for (size_t i = 0; i < len; ++i) {
      char16_t c = alphabet[rng() % alphabet.size()];
      if (key && c == u'\\') c = u'/';
      s += c;
    }
    if (rng() % 17 == 0) s += u"\U0001F3B5";  // a surrogate pair
    return s;
  };
  const ULONG types[] = {REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_EXPAND_SZ, REG_NONE, REG_QWORD, 0x1234};
  for (int round = 0; round < 40; ++round) {
    reg::Clear();
    std::vector<std::u16string> keys{u"\\Registry\\Machine\\SOFTWARE", u"\\Registry\\User"};
    for (int k = 0; k < 12; ++k) {
      std::u16string path = keys[rng() % keys.size()] + u"\\" + randomName(12, true);
      ASSERT_TRUE(reg::CreateKey(path));
      keys.push_back(path);
      for (int v = rng() % 5; v > 0; --v) {
        std::vector<UCHAR> data(rng() % 70);
        for (auto& b : data) b = static_cast<UCHAR>(rng());
        const ULONG type = types[rng() % std::size(types)];
        if (type == REG_SZ && rng() % 2) {
          reg::SetString(path, rng() % 5 ? randomName(20, false) : u"", randomName(30, false));
        } else {
          if (type == REG_DWORD && rng() % 2) data.resize(4);
          reg::SetValue(path, randomName(10, false), type, data);
        }
      }
    }
    // A value on a hive key itself.
    reg::SetDword(u"\\Registry\\User", u"OnHive", 5);
    const Snapshot saved = Take();
    for (auto encoding : {reg::RegFileEncoding::Utf16Le, reg::RegFileEncoding::Utf8}) {
      const auto text = reg::SaveRegText(u"\\Registry", encoding);
      reg::Clear();
      auto r = reg::LoadRegText(text);
      ASSERT_TRUE(r) << r.error;
      ASSERT_EQ(Take(), saved) << "round " << round;
    }
  }
}

TEST_F(RegistryFileTest, FileRoundTripAndSubtreeSave) {
  reg::SetDword(kSettings, u"IniVersion", 4);
  reg::SetString(kSettings, u"ModuleName", u"X.INI");
  reg::SetDword(u"\\Registry\\User\\Other", u"Unrelated", 1);
  const auto dir = std::filesystem::temp_directory_path() / ("ua_regfile_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "settings.reg";
  std::string error;
  ASSERT_TRUE(reg::SaveRegFile(file, kSettings, reg::RegFileEncoding::Utf16Le, &error)) << error;
  reg::Clear();
  auto r = reg::LoadRegFile(file);
  ASSERT_TRUE(r) << r.error;
  EXPECT_EQ(reg::GetValue(kSettings, u"IniVersion"), (reg::Value{REG_DWORD, {4, 0, 0, 0}}));
  EXPECT_TRUE(reg::GetValue(kSettings, u"ModuleName"));
  EXPECT_FALSE(reg::KeyExists(u"\\Registry\\User\\Other"));
  EXPECT_FALSE(reg::SaveRegFile(dir / "missing" / "x.reg", u"\\Registry", reg::RegFileEncoding::Utf8, &error));
  EXPECT_NE(error.find("cannot be written"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
