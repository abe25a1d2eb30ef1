// The INI import end to end: a file in the system root, the device's registry, Settings.
#include <gtest/gtest.h>

#include <optional>
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

reg::Value Bin(std::vector<UCHAR> bytes) { return {REG_BINARY, std::move(bytes)}; }
reg::Value Dword(ULONG v) {
  return Bin({static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16),
              static_cast<UCHAR>(v >> 24)});
}

const std::string kEntry = "usb\\vid_0b05&pid_17f3&rev_0100 = ";  // the device, other case
const std::string kFile = Crlf(
    "[VERSION]\nVersion = 3\n\n"
    "[QUVARA]\nUSB\\VID_0E7A&PID_0012 = Other\n" + kEntry + "ModelA ; our device\n\n"
    "[ModelA]\n; values\nGain = 0x10 300\nName = abc\nMask = 0x1F0\n\n"
    "[ModelA:Mic]\nBoost = 0x01, 0x02\n\n"
    "[Other]\nGain = 5\n");

class IniImport : public testing_support::DeviceRegistryTest {
 protected:
  NTSTATUS Import(const std::string& text) {
    WriteFile(text);
    return ImportIniFile(Device());
  }
  // Everything below Settings as text, for "nothing changed" checks.
  std::string Snapshot() {
    reg::CreateKey(SettingsPath());  // reading "ModuleName" creates the empty key
    const auto bytes = reg::SaveRegText(SettingsPath(), reg::RegFileEncoding::Utf8);
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_F(IniImport, WritesTheModelsValuesAndTheVersion) {
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Gain"), Bin({0x10, 0x2C, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Settings(u"Name"), (reg::Value{REG_SZ, {'a', 0, 'b', 0, 'c', 0}}));
  EXPECT_EQ(Settings(u"Mask"), Dword(0x1F0));
  EXPECT_EQ(Settings(u"Boost", u"Mic"), Bin({1, 2}));
  EXPECT_FALSE(Settings(u"Boost"));
  EXPECT_EQ(Settings(u"IniVersion"), Dword(3));
}

TEST_F(IniImport, SameVersionChangesNothingAndANewerOneReimports) {
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  reg::SetBinary(SettingsPath(), u"Gain", std::vector<UCHAR>{9});  // changed since
  const auto before = Snapshot();
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  EXPECT_EQ(Snapshot(), before);

  // Version 4 drops "Mask": new values win, values it no longer lists stay.
  std::string v4 = kFile;
  v4.replace(v4.find("Version = 3"), 11, "Version = 4");
  v4.replace(v4.find("Gain = 0x10 300"), 15, "Gain = 0x11    ");
  v4.replace(v4.find("Mask = 0x1F0"), 12, "; removed   ");
  ASSERT_EQ(Import(v4), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Gain"), Bin({0x11}));
  EXPECT_EQ(Settings(u"Mask"), Dword(0x1F0));
  EXPECT_EQ(Settings(u"IniVersion"), Dword(4));
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);  // an older file imports nothing
  EXPECT_EQ(Settings(u"Gain"), Bin({0x11}));
}

TEST_F(IniImport, VersionIsTheNumberTheValueBeginsWith) {
  const struct {
    std::string value;
    std::optional<ULONG> version;  // none: nothing imported
    bool logged;
  } cases[] = {
      {"1.2", 1, false},       {"3a", 3, false},          {"0x20 ; hex", 0x20, false},
      {"0x1F.4", 0x1F, false}, {std::string(30, '0') + "7", 7, false},
      {"4294967295", 0xFFFFFFFF, false},
      {"0", std::nullopt, false}, {"three", std::nullopt, true}, {"4294967296", std::nullopt, true},
      {"", std::nullopt, true},
  };
  for (const auto& c : cases) {
    RegisterDevice(kHardwareId);
    platform::debug::ClearMessages();
    ASSERT_EQ(Import(Crlf("[VERSION]\n; comment\nno key line\nv = " + c.value + "\nw = 9\n[QUVARA]\n" + kEntry +
                          "M\n[M]\nG = 1\n")),
              STATUS_SUCCESS);
    EXPECT_EQ(Settings(u"IniVersion"), c.version ? std::optional(Dword(*c.version)) : std::nullopt) << c.value;
    EXPECT_EQ(Settings(u"G").has_value(), c.version.has_value()) << c.value;
    EXPECT_EQ(platform::debug::Contains("no readable version"), c.logged) << c.value;
  }
}

TEST_F(IniImport, MissingFileSectionsOrEntryImportNothing) {
  const std::string model = "[ModelA]\nG = 1\n";
  const std::string cases[] = {
      "",
      Crlf("[QUVARA]\n" + kEntry + "ModelA\n" + model),                                  // no version
      Crlf("[VERSION]\nv = 2\n" + model),                                                 // no [QUVARA]
      Crlf("[VERSION]\nv = 2\n[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_01000 = ModelA\n" + model),  // other device
      Crlf("[VERSION]\nv = 2\n[QUVARA]\n[Gap]\n" + kEntry + "ModelA\n" + model),          // entry past the section
      Crlf("[VERSION]\nv = 2\n[QUVARA]\n[" + std::string(5000, 'x') + "\n" + kEntry + "ModelA\n" + model),
      Crlf("[VERSION]\n[" + std::string(5000, 'V') + "]\nv = 2\n[QUVARA]\n" + kEntry + "ModelA\n" + model),
  };
  const auto before = Snapshot();
  EXPECT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);  // no file at all
  EXPECT_EQ(Snapshot(), before);
  for (const auto& text : cases) {
    EXPECT_EQ(Import(text), STATUS_SUCCESS);
    EXPECT_EQ(Snapshot(), before) << text.substr(0, 80);
  }
}

// A line past 4,096 characters is cut there: as a header it still opens or ends a section
// (read on its first 4,096 characters); as an entry it is skipped.
TEST_F(IniImport, OverLongLinesStillActAsHeaders) {
  const std::string x(5000, 'x');
  const std::string text = Crlf("[VERSION]" + x + "\nv = 2\n[QUVARA]" + x + "\n" + kEntry + "M\n" +
                                "[M]\nA = 1\n[Other" + x + "]\nB = 2\n[M]" + x + "\nC = 3\n" +
                                "Long = " + std::string(5000, '1') + "\nD = 4\n");
  ASSERT_EQ(Import(text), STATUS_SUCCESS);
  EXPECT_EQ(reg::ValueNames(SettingsPath()), (std::vector<std::u16string>{u"A", u"C", u"D", u"IniVersion"}));
}

TEST_F(IniImport, BadLinesAreSkippedAndGoodOnesKept) {
  std::string text = Crlf(
      "[VERSION]\nFileVersion = 5\n"
      "[QUVARA]\n"
      "USB\\VID_0B05&PID_17F3&REV_0100&EXTRA = Wrong\n"
      "USB\\VID_0B05&PID_17F3&REV_0100 : Wrong\n"
      "USB\\VID_0B05&PID_17F3&REV_0100 = M\n"
      "[M]\nNoEquals 5\n = 5\nBad = 0x1G\nGood = 1\n"
      "[M:]\nInSettings = 1\n"
      "[M:a\\b]\nInSubKeyPath = 1\n"
      "[M:Ok]\nInOk = 2\n");
  text += std::string("Nul = 1\0" "2\r\n", 11);
  text += "Max =";
  for (int i = 0; i < 256; ++i) text += " 1";
  text += "\r\nOver =";
  for (int i = 0; i < 257; ++i) text += " 1";
  text += "\r\nLast = 0x0A";  // no line end at the end of the file
  ASSERT_EQ(Import(text), STATUS_SUCCESS);
  EXPECT_EQ(reg::ValueNames(SettingsPath()), (std::vector<std::u16string>{u"Good", u"IniVersion"}));
  EXPECT_EQ(reg::SubKeys(SettingsPath()), (std::vector<std::u16string>{u"Ok"}));
  EXPECT_EQ(reg::ValueNames(SettingsPath() + u"\\Ok"), (std::vector<std::u16string>{u"InOk", u"Max", u"Last"}));
  EXPECT_EQ(Settings(u"Max", u"Ok")->data.size(), 1024u);
  EXPECT_EQ(Settings(u"Last", u"Ok"), Bin({0x0A}));
}

TEST_F(IniImport, LineEndsAndSectionOrder) {
  // LF-only lines, lone CRs, and model sections before and after [QUVARA], applied in file
  // order (the later value wins).
  ASSERT_EQ(Import("[M]\nA = 1\nB = 1\n[VERSION]\rv = 5\r[QUVARA]\r\n" + kEntry +
                   "M\r\n[M]\r\nB = 2\r\n[M:Line]\r\nC = 3"),
            STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"A"), Dword(1));
  EXPECT_EQ(Settings(u"B"), Dword(2));
  EXPECT_EQ(Settings(u"C", u"Line"), Dword(3));
  EXPECT_EQ(Settings(u"IniVersion"), Dword(5));
}

TEST_F(IniImport, ModuleNameChoosesTheFileWithinBounds) {
  auto file = [](const char* from) { return Crlf("[VERSION]\nv=2\n[QUVARA]\n" + kEntry + "M\n[M]\nFrom = " + from); };
  WriteFile(file("0x02"), "Other.ini");
  WriteFile(file("0x02"), std::string(33, 'b') + ".INI");  // 37 characters: the longest that fits
  WriteFile(file("0x01"));
  auto sz = [](const std::u16string& s, bool terminate) {
    std::vector<UCHAR> out;
    for (char16_t c : s) out.insert(out.end(), {static_cast<UCHAR>(c), static_cast<UCHAR>(c >> 8)});
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
  };
  const struct {
    std::vector<UCHAR> name;  // empty: no "ModuleName"
    UCHAR from;
  } cases[] = {
      {{}, 1},
      {sz(u"OTHER.INI", true), 2},
      {sz(u"OTHER.INI", false), 2},  // as the import itself writes text: no terminator
      {sz(std::u16string(33, u'b') + u".INI", true), 2},
      {sz(u"..\\OTHER.INI", true), 1},
      {sz(u"Inf/OTHER.INI", true), 1},
      {sz(u"C:OTHER.INI", true), 1},
      {sz(std::u16string(38, u'a'), true), 1},
      {sz(std::u16string(60, u'a'), true), 1},
      {sz(u"", true), 1},
  };
  for (const auto& c : cases) {
    RegisterDevice(kHardwareId);
    if (!c.name.empty()) reg::SetValue(SettingsPath(), u"ModuleName", REG_SZ, c.name);
    ASSERT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
    EXPECT_EQ(Settings(u"From"), Bin({c.from})) << c.name.size();
  }
}

TEST_F(IniImport, ReaderUpperCasesTheHardwareIdAndNeedsOne) {
  WriteFile(kFile);
  CIniFile* ini = new (NonPagedPool, INI_FILE_POOL_TAG) CIniFile;
  ASSERT_NE(ini, nullptr);
  ASSERT_EQ(ini->Init(Device()), STATUS_SUCCESS);
  EXPECT_STREQ(ini->HardwareId(), "USB\\VID_0B05&PID_17F3&REV_0100");
  EXPECT_EQ(std::u16string(ini->FilePath()), u"\\SystemRoot\\AUBRICPRO.INI");
  EXPECT_EQ(ini->ApplySettings(), STATUS_UNSUCCESSFUL) << "no model yet";
  delete ini;

  platform::pnp::UnregisterAllDevices();  // no hardware ID: set-up fails, nothing imported
  EXPECT_NE(ImportIniFile(Device()), STATUS_SUCCESS);
  EXPECT_FALSE(Settings(u"IniVersion"));
}

TEST_F(IniImport, AllocationFailuresEndTheImportCleanly) {
  WriteFile(kFile);
  platform::pool::ScopedFaultInjection faults;
  for (ULONG tag : {INI_FILE_POOL_TAG, INI_LINE_POOL_TAG}) {
    platform::pool::FailTag(tag);
    EXPECT_EQ(ImportIniFile(Device()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Settings(u"IniVersion"));
    platform::pool::FailTag(tag, false);
  }
  ASSERT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"IniVersion"), Dword(3));
}

}  // namespace
