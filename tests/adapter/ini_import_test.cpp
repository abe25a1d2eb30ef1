// The INI import: versions, the model's sections, and the file's bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/ini_file.h"
#include "adapter/settings.h"
#include "ini_fixture.h"
#include "kernel/pool.h"
#include "kernel/registry.h"

namespace {

namespace reg = platform::registry;

// Lines ended by CR LF, as the file format has them.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::vector<UCHAR> Utf16(const std::string& s) {
  std::vector<UCHAR> out;
  for (char c : s) out.insert(out.end(), {static_cast<UCHAR>(c), 0});
  return out;
}

reg::Value Dword(ULONG v) {
  return {REG_BINARY, {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16),
                       static_cast<UCHAR>(v >> 24)}};
}

const std::string kFile = Crlf(
    "[VERSION]\n"
    "Version = 3\n"
    "\n"
    "[QUVARA]\n"
    "USB\\VID_0E7A&PID_0012 = Other\n"
    "usb\\vid_0b05&pid_17f3&rev_0100 = ModelA ; our device\n"
    "\n"
    "[ModelA]\n"
    "; the Part's examples\n"
    "Gain = 0x10 300\n"
    "Name = abc\n"
    "Mask = 0x1F0\n"
    "\n"
    "[ModelA:Mic]\n"
    "Boost = 0x01, 0x02\n"
    "\n"
    "[Other]\n"
    "Gain = 5\n");

class IniImport : public testing_support::DeviceRegistryTest {
 protected:
  NTSTATUS Import(const std::string& text) {
    WriteFile(text);
    return ImportIniFile(Device());
  }
  // Everything in Settings (and below) as text, for "nothing changed" checks.
  std::string Snapshot() {
    reg::CreateKey(SettingsPath());  // reading "ModuleName" creates the (empty) key
    const auto bytes = reg::SaveRegText(SettingsPath(), reg::RegFileEncoding::Utf8);
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_F(IniImport, WritesTheModelsValuesAndTheVersion) {
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Gain"), (reg::Value{REG_BINARY, {0x10, 0x2C, 0x01, 0x00, 0x00}}));
  EXPECT_EQ(Settings(u"Name"), (reg::Value{REG_SZ, Utf16("abc")}));
  EXPECT_EQ(Settings(u"Mask"), Dword(0x1F0));
  EXPECT_EQ(Settings(u"Boost", u"Mic"), (reg::Value{REG_BINARY, {1, 2}}));
  EXPECT_FALSE(Settings(u"Boost"));
  EXPECT_EQ(Settings(u"IniVersion"), Dword(3));
}

TEST_F(IniImport, SameVersionChangesNothingAndANewerOneReimports) {
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  // The user changes a value; the same file version leaves it alone.
  reg::SetBinary(SettingsPath(), u"Gain", std::vector<UCHAR>{9});
  const auto before = Snapshot();
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  EXPECT_EQ(Snapshot(), before);

  // Version 4 without "Mask": the new values win, the old ones stay.
  std::string v4 = kFile;
  v4.replace(v4.find("Version = 3"), 11, "Version = 4");
  v4.replace(v4.find("Mask = 0x1F0"), 12, "Lvl = 0x7F  ");
  v4.replace(v4.find("Gain = 0x10 300"), 15, "Gain = 0x11    ");
  ASSERT_EQ(Import(v4), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Gain"), (reg::Value{REG_BINARY, {0x11}}));
  EXPECT_EQ(Settings(u"Lvl"), (reg::Value{REG_BINARY, {0x7F}}));
  EXPECT_EQ(Settings(u"Mask"), Dword(0x1F0));
  EXPECT_EQ(Settings(u"IniVersion"), Dword(4));

  // An older file (or a stored version above it) imports nothing.
  ASSERT_EQ(Import(kFile), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"IniVersion"), Dword(4));
  EXPECT_EQ(Settings(u"Gain"), (reg::Value{REG_BINARY, {0x11}}));
}

TEST_F(IniImport, MissingFileSectionsOrEntryImportNothing) {
  const std::string noVersion = Crlf("[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_0100 = ModelA\n[ModelA]\nGain = 1\n");
  const std::string noModelSection = Crlf("[VERSION]\nv = 2\n[ModelA]\nGain = 1\n");
  const std::string otherDevice = Crlf("[VERSION]\nv = 2\n[QUVARA]\nUSB\\VID_1234&PID_0001 = ModelA\n[ModelA]\nG = 1\n");
  const std::string entryAfterSection =
      Crlf("[VERSION]\nv = 2\n[QUVARA]\n[Gap]\nUSB\\VID_0B05&PID_17F3&REV_0100 = ModelA\n[ModelA]\nG = 1\n");
  const std::string versionZero = Crlf("[VERSION]\nv = 0\n[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_0100=ModelA\n[ModelA]\nG=1\n");
  const std::string versionNotNumber =
      Crlf("[VERSION]\nv = three\n[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_0100=ModelA\n[ModelA]\nG=1\n");
  const auto before = Snapshot();
  // No file at all.
  EXPECT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
  EXPECT_EQ(Snapshot(), before);
  for (const auto& text : {noVersion, noModelSection, otherDevice, entryAfterSection, versionZero, versionNotNumber,
                           std::string()}) {
    EXPECT_EQ(Import(text), STATUS_SUCCESS);
    EXPECT_EQ(Snapshot(), before) << text;
    EXPECT_FALSE(Settings(u"IniVersion")) << text;
  }
}

TEST_F(IniImport, BadLinesAreSkippedAndGoodOnesKept) {
  std::string text = Crlf(
      "[VERSION]\n"
      "; comment first\n"
      "no equals sign here\n"
      "FileVersion = 0x20 ; hexadecimal\n"
      "[QUVARA]\n"
      "USB\\VID_0B05&PID_17F3&REV_0100&EXTRA = Wrong\n"
      "USB\\VID_0B05&PID_17F3&REV_0100 : Wrong\n"
      "USB\\VID_0B05&PID_17F3&REV_0100 = M\n"
      "[M]\n"
      "NoEquals 5\n"
      " = 5\n"
      "Bad1 = 0x1G\n"
      "Bad2 = 4294967296\n"
      "Bad3 = 12ab\n"
      "Bad4 = 0x\n"
      "Bad5 = " + std::string(80, 'a') + "\n" +
      std::string(80, 'K') + " = 1\n"
      "Long = " + std::string(5000, '1') + "\n"
      "Good = 1\n"
      "[M:]\n"
      "InSettings = 1\n"
      "[M:a\\b]\n"
      "InSubKeyPath = 1\n"
      "[M:Ok]\n"
      "InOk = 2\n");
  text += std::string("Nul = 1\0" "2\r\n", 11);
  text += "Max =";
  for (int i = 0; i < 256; ++i) text += " 1";
  text += "\r\nOver =";
  for (int i = 0; i < 257; ++i) text += " 1";
  text += "\r\nLast = 0x0A";  // no line end at the end of the file
  ASSERT_EQ(Import(text), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"IniVersion"), Dword(0x20));
  EXPECT_EQ(Settings(u"Good"), Dword(1));
  // Only "Good" and the version reach Settings itself; the refused sections' lines go nowhere.
  EXPECT_EQ(reg::ValueNames(SettingsPath()), (std::vector<std::u16string>{u"Good", u"IniVersion"}));
  EXPECT_EQ(reg::SubKeys(SettingsPath()), (std::vector<std::u16string>{u"Ok"}));
  EXPECT_EQ(Settings(u"InOk", u"Ok"), Dword(2));
  EXPECT_FALSE(Settings(u"Nul", u"Ok"));
  ASSERT_TRUE(Settings(u"Max", u"Ok"));
  EXPECT_EQ(Settings(u"Max", u"Ok")->data.size(), 1024u);
  EXPECT_FALSE(Settings(u"Over", u"Ok"));
  EXPECT_EQ(Settings(u"Last", u"Ok"), (reg::Value{REG_BINARY, {0x0A}}));
}

TEST_F(IniImport, LineEndsAndSectionOrder) {
  // LF-only lines, a lone CR, and model sections both before and after [QUVARA], applied
  // in file order (the later value wins).
  const std::string text =
      "[M]\nA = 1\nB = 1\n"
      "[VERSION]\rv = 5\r"
      "[QUVARA]\r\nUSB\\VID_0B05&PID_17F3&REV_0100 = M\r\n"
      "[M]\r\nB = 2\r\n"
      "[M:Line]\r\nC = 3";
  ASSERT_EQ(Import(text), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"A"), Dword(1));
  EXPECT_EQ(Settings(u"B"), Dword(2));
  EXPECT_EQ(Settings(u"C", u"Line"), Dword(3));
  EXPECT_EQ(Settings(u"IniVersion"), Dword(5));
}

TEST_F(IniImport, ModuleNameChoosesTheFileWithinBounds) {
  const std::string other = Crlf("[VERSION]\nv=2\n[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_0100=M\n[M]\nFrom = 0x02\n");
  const std::string deflt = Crlf("[VERSION]\nv=1\n[QUVARA]\nUSB\\VID_0B05&PID_17F3&REV_0100=M\n[M]\nFrom = 0x01\n");
  WriteFile(other, "Other.ini");
  WriteFile(deflt);
  auto runWith = [&](const std::vector<UCHAR>& moduleName) {
    reg::Clear();
    ASSERT_TRUE(platform::pnp::RegisterDevice(Device(), [] {
      platform::pnp::DeviceConfig c;
      c.deviceId = u"USB\\VID_0B05&PID_17F3";
      c.hardwareIds = {kHardwareId};
      return c;
    }()));
    if (!moduleName.empty()) reg::SetValue(SettingsPath(), u"ModuleName", REG_SZ, moduleName);
    ASSERT_EQ(ImportIniFile(Device()), STATUS_SUCCESS);
  };
  auto sz = [](const std::u16string& s, bool terminate) {
    std::vector<UCHAR> out;
    for (char16_t c : s) out.insert(out.end(), {static_cast<UCHAR>(c), static_cast<UCHAR>(c >> 8)});
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
  };
  runWith({});
  EXPECT_EQ(Settings(u"From"), (reg::Value{REG_BINARY, {1}}));
  runWith(sz(u"OTHER.INI", true));
  EXPECT_EQ(Settings(u"From"), (reg::Value{REG_BINARY, {2}}));
  runWith(sz(u"OTHER.INI", false));  // as the INI import itself writes text: no terminator
  EXPECT_EQ(Settings(u"From"), (reg::Value{REG_BINARY, {2}}));
  // Unusable names fall back to the default file.
  for (const auto& bad : {sz(u"..\\OTHER.INI", true), sz(u"Inf/OTHER.INI", true), sz(u"C:OTHER.INI", true),
                          sz(std::u16string(38, u'a'), true), sz(std::u16string(50, u'a'), false),
                          sz(std::u16string(60, u'a'), true), sz(u"", true)}) {
    runWith(bad);
    EXPECT_EQ(Settings(u"From"), (reg::Value{REG_BINARY, {1}}));
  }
  // 37 characters still fit the 49-character path.
  WriteFile(other, std::string(33, 'b') + ".INI");
  runWith(sz(std::u16string(33, u'b') + u".INI", true));
  EXPECT_EQ(Settings(u"From"), (reg::Value{REG_BINARY, {2}}));
}

TEST_F(IniImport, ReaderStateAndFailures) {
  WriteFile(kFile);
  CIniFile* ini = new (NonPagedPool, INI_FILE_POOL_TAG) CIniFile;
  ASSERT_NE(ini, nullptr);
  ASSERT_EQ(ini->Init(Device()), STATUS_SUCCESS);
  EXPECT_STREQ(ini->HardwareId(), "USB\\VID_0B05&PID_17F3&REV_0100");
  EXPECT_EQ(std::u16string(ini->FilePath()), u"\\SystemRoot\\AUBRICPRO.INI");
  EXPECT_EQ(ini->ReadVersion(), 3u);
  EXPECT_EQ(ini->ApplySettings(), STATUS_UNSUCCESSFUL) << "no model yet";
  ASSERT_EQ(ini->OpenModel(), STATUS_SUCCESS);
  EXPECT_STREQ(ini->ModelName(), "ModelA");
  delete ini;  // closes the file and frees the line buffer (the fixture checks for leaks)

  // A device without a hardware ID: set-up fails, nothing is imported.
  platform::pnp::UnregisterAllDevices();
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
