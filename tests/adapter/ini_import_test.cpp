// The INI import end to end: a file in the system root, the device's registry, Settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "adapter/ini_file.h"
#include "ini_fixture.h"
#include "kernel/dbg.h"
#include "kernel/pool.h"

namespace {

namespace reg = platform::registry;

// Lines ended by CR LF, as the file format has them.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  while (n--) out += s;
  return out;
}

const std::string kEntry = "usb\\vid_0b05&pid_17f3&rev_0100 = ";  // the device, in another case
// A file of the given version that maps the device to model M, followed by `rest`.
std::string File(const std::string& version, const std::string& rest) {
  return Crlf("[VERSION]\nVersion = " + version + "\n[QUVARA]\n" + kEntry + "M ; ours\n" + rest);
}
const std::string kModel = "[M]\nG = 1\n";
const std::string kLong(5000, 'x');

class IniImport : public testing_support::DeviceRegistryTest {
 protected:
  NTSTATUS Import(const std::string& text) {
    WriteFile(text);
    return ImportIniFile(Device());
  }
  // Settings as "name=bytes" in write order, "sub\name" below a sub-key, "sz:" for REG_SZ.
  std::string Dump() {
    std::string out;
    auto add = [&](const std::u16string& path, const std::string& prefix) {
      for (const auto& name : reg::ValueNames(path)) {
        const auto value = *reg::GetValue(path, name);
        out += (out.empty() ? "" : "|") + prefix + std::string(name.begin(), name.end()) + "=" +
               (value.type == REG_SZ ? "sz:" : "");
        for (size_t i = 0; i < value.data.size(); ++i) {
          char hex[4];
          std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", value.data[i]);
          out += hex;
        }
      }
    };
    add(SettingsPath(), "");
    for (const auto& sub : reg::SubKeys(SettingsPath()))
      add(SettingsPath() + u"\\" + sub, std::string(sub.begin(), sub.end()) + "\\");
    return out;
  }
};

TEST_F(IniImport, WritesExactlyTheModelsValues) {
  const struct {
    const char* what;
    std::string file;
    std::string settings;  // Dump() after the import
    bool logged = false;   // "no readable version"
  } cases[] = {
      {"typing examples",
       File("3", "[M]\n; values\nGain = 0x10 300\nName = abc\nMask = 0x1F0\n[M:Mic]\nB = 0x01, 0x02\n[Other]\nG = 5\n"),
       "Gain=10 2c 01 00 00|Name=sz:61 00 62 00 63 00|Mask=f0 01 00 00|IniVersion=03 00 00 00|Mic\\B=01 02"},
      {"separators and mixed tokens",
       File("2", "[M]\n  K\t=\t0XaB,0x1,  7 ;comment 5\nMy Key = x 0x01\nBig = 0xFFFFFFFF\nEmpty = ;\nL = \xE9\n" +
                     std::string(79, 'k') + " = 0\n"),
       "K=ab 01 00 00 00 07 00 00 00|My Key=sz:78 00 01|Big=ff ff ff ff|Empty=|L=sz:e9 00|" + std::string(79, 'k') +
           "=00 00 00 00|IniVersion=02 00 00 00"},
      {"refused lines and sections",
       File("2", "[M]\nNoEquals 5\n = 5\nB1 = 0x1G\nB2 = 0x\nB3 = 0x123456789\nB4 = 4294967296\nB5 = 12ab\nB6 = " +
                     std::string(80, 'v') + "\n" + std::string(80, 'k') + " = 1\nGood = 1\n[M:]\nIn = 1\n[M:a\\b]\n"
                     "In = 1\n[M:Ok]\nMax =" + Repeat(" 1", 256) + "\nOver =" + Repeat(" 1", 257) + "\n") +
           "Nul = 1" + std::string(1, '\0') + "2\r\nLast = 0x0A",  // no line end at the end of the file
       "Good=01 00 00 00|IniVersion=02 00 00 00|Ok\\Max=" + Repeat("01 00 00 00 ", 255) + "01 00 00 00|Ok\\Last=0a"},
      {"line ends, and sections on both sides of [QUVARA] in file order",
       "[M]\nA = 1\nB = 1\n[VERSION]\rv = 5\r[QUVARA]\r\n" + kEntry + "M\r\n[M]\r\nB = 2\r\n[M:Line]\r\nC = 3",
       "A=01 00 00 00|B=02 00 00 00|IniVersion=05 00 00 00|Line\\C=03 00 00 00"},
      // A line past 4,096 characters is cut there: as a header it still opens or ends a
      // section on its first 4,096 characters; as an entry it is skipped.
      {"over-long lines",
       Crlf("[VERSION]" + kLong + "\nv = 2\n[QUVARA]" + kLong + "\n" + kEntry + "M\n[M]\nA = 1\n[Other" + kLong +
            "]\nB = 2\n[M]" + kLong + "\nC = 3\nLong = " + std::string(5000, '1') + "\nD = 4\n"),
       "A=01 00 00 00|C=03 00 00 00|D=04 00 00 00|IniVersion=02 00 00 00"},
      {"over-long header ends [VERSION]",
       Crlf("[VERSION]\n[" + kLong + "]\nv = 2\n[QUVARA]\n" + kEntry + "M\n" + kModel), "", true},
      {"over-long header ends [QUVARA]", Crlf("[VERSION]\nv = 2\n[QUVARA]\n[" + kLong + "\n" + kEntry + "M\n" + kModel),
       ""},
      // The version is the number the value begins with.
      {"dotted version", File("1.2", kModel), "G=01 00 00 00|IniVersion=01 00 00 00"},
      {"version with a suffix", File("3a", kModel), "G=01 00 00 00|IniVersion=03 00 00 00"},
      {"hexadecimal version", File("0x1F.4 ; hex", kModel), "G=01 00 00 00|IniVersion=1f 00 00 00"},
      {"version of leading zeros", File(std::string(30, '0') + "7", kModel), "G=01 00 00 00|IniVersion=07 00 00 00"},
      {"version 0", File("0", kModel), ""},
      {"version no number", File("three", kModel), "", true},
      {"version beyond 32 bits", File("4294967296", kModel), "", true},
      {"no [VERSION]", Crlf("[QUVARA]\n" + kEntry + "M\n" + kModel), "", true},
      {"no [QUVARA]", Crlf("[VERSION]\nv = 2\n" + kModel), ""},
      {"other device", Crlf("[VERSION]\nv = 2\n[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_01000 = M\n" + kModel), ""},
      {"entry without '=' or model",
       Crlf("[VERSION]\nv = 2\n[QUVARA]\n" + kEntry.substr(0, 30) + " : M\n" + kEntry + "\n" + kModel), ""},
      {"entry past [QUVARA]", Crlf("[VERSION]\nv = 2\n[QUVARA]\n[Gap]\n" + kEntry + "M\n" + kModel), ""},
      {"empty file", "", "", true},
  };
  for (const auto& c : cases) {
    RegisterDevice(kHardwareId);
    platform::debug::ClearMessages();
    ASSERT_EQ(Import(c.file), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(Dump(), c.settings) << c.what;
    EXPECT_EQ(platform::debug::Contains("no readable version"), c.logged) << c.what;
  }
}

TEST_F(IniImport, SameVersionChangesNothingAndANewerOneReimports) {
  ASSERT_EQ(Import(File("3", "[M]\nA = 1\nB = 2\n")), STATUS_SUCCESS);
  reg::SetBinary(SettingsPath(), u"A", std::vector<UCHAR>{9});  // changed since
  ASSERT_EQ(Import(File("3", "[M]\nA = 5\n")), STATUS_SUCCESS);
  EXPECT_EQ(Dump(), "A=09|B=02 00 00 00|IniVersion=03 00 00 00");
  ASSERT_EQ(Import(File("4", "[M]\nA = 0x05\n")), STATUS_SUCCESS);  // values it no longer lists stay
  EXPECT_EQ(Dump(), "A=05|B=02 00 00 00|IniVersion=04 00 00 00");
  ASSERT_EQ(Import(File("3", "[M]\nA = 1\n")), STATUS_SUCCESS);  // an older file imports nothing
  EXPECT_EQ(Dump(), "A=05|B=02 00 00 00|IniVersion=04 00 00 00");
  std::filesystem::remove(root_ / "AUBRICPRO.INI");  // no file at all
  ASSERT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
  EXPECT_EQ(Dump(), "A=05|B=02 00 00 00|IniVersion=04 00 00 00");
}

TEST_F(IniImport, ModuleNameChoosesTheFileWithinBounds) {
  WriteFile(File("2", "[M]\nFrom = 0x02\n"), "Other.ini");
  WriteFile(File("2", "[M]\nFrom = 0x02\n"), std::string(33, 'b') + ".INI");  // 37 characters: the longest
  WriteFile(File("2", "[M]\nFrom = 0x01\n"));
  const struct {
    std::u16string name;  // empty: no "ModuleName"
    bool terminated;
    UCHAR from;
  } cases[] = {
      {u"", false, 1},
      {u"OTHER.INI", true, 2},
      {u"OTHER.INI", false, 2},  // as the import itself writes text
      {std::u16string(33, u'b') + u".INI", true, 2},
      {u"..\\OTHER.INI", true, 1},
      {u"Inf/OTHER.INI", true, 1},
      {u"C:OTHER.INI", true, 1},
      {std::u16string(38, u'a'), true, 1},
      {std::u16string(60, u'a'), true, 1},
      {u"", true, 1},
  };
  for (const auto& c : cases) {
    RegisterDevice(kHardwareId);
    std::vector<UCHAR> name;
    for (char16_t ch : c.name) name.insert(name.end(), {static_cast<UCHAR>(ch), static_cast<UCHAR>(ch >> 8)});
    if (c.terminated) name.insert(name.end(), {0, 0});
    if (!name.empty()) reg::SetValue(SettingsPath(), u"ModuleName", REG_SZ, name);
    ASSERT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
    EXPECT_EQ(Settings(u"From"), (reg::Value{REG_BINARY, {c.from}}));
  }
}

TEST_F(IniImport, SetUpFailuresEndTheImportCleanly) {
  WriteFile(File("3", kModel));
  platform::pool::ScopedFaultInjection faults;
  for (ULONG tag : {INI_FILE_POOL_TAG, INI_LINE_POOL_TAG}) {
    platform::pool::FailTag(tag);
    EXPECT_EQ(ImportIniFile(Device()), STATUS_INSUFFICIENT_RESOURCES);
    platform::pool::FailTag(tag, false);
  }
  platform::pnp::UnregisterAllDevices();  // no hardware ID to match
  EXPECT_NE(ImportIniFile(Device()), STATUS_SUCCESS);
  EXPECT_EQ(Dump(), "");
  RegisterDevice(kHardwareId);
  ASSERT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
  EXPECT_EQ(Dump(), "G=01 00 00 00|IniVersion=03 00 00 00");
}

}  // namespace
