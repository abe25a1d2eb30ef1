// Settings values of the driver key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/settings.h"
#include "ini_fixture.h"
#include "kernel/registry.h"

namespace {

namespace reg = platform::registry;

using SettingsTest = testing_support::DeviceRegistryTest;

TEST_F(SettingsTest, WritesAndReadsTheThreeTypesInSettingsAndSubKeys) {
  ULONG value = 48000;
  ASSERT_EQ(SettingsBinaryValue(Device(), SETTINGS_WRITE, &value, sizeof value, u"ASIOMLSampleRate"), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"ASIOMLSampleRate"), (reg::Value{REG_BINARY, {0x80, 0xBB, 0, 0}}));
  ULONG dword = 1;
  ASSERT_EQ(SettingsValue(Device(), SETTINGS_WRITE, nullptr, u"SupportHPOut", REG_DWORD, &dword, 4), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"SupportHPOut")->type, REG_DWORD);
  WCHAR text[] = u"X.INI";
  ASSERT_EQ(SettingsValue(Device(), SETTINGS_WRITE, u"Mic", u"Name", REG_SZ, text, sizeof text), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Name", u"Mic")->type, REG_SZ);
  EXPECT_FALSE(Settings(u"Name"));

  ULONG read = 0;
  ASSERT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &read, sizeof read, u"ASIOMLSampleRate"), STATUS_SUCCESS);
  EXPECT_EQ(read, 48000u);
  // The stored type is not compared: a REG_SZ reads as its bytes.
  WCHAR back[8] = {};
  ASSERT_EQ(SettingsValue(Device(), SETTINGS_READ, u"Mic", u"Name", REG_BINARY, back, sizeof back), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(back), u"X.INI");
  // A shorter stored value fills the start of the buffer.
  UCHAR one = 7;
  ASSERT_EQ(SettingsBinaryValue(Device(), SETTINGS_WRITE, &one, 1, u"NeedMuteLED"), STATUS_SUCCESS);
  read = 0xFFFFFFFF;
  ASSERT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &read, sizeof read, u"NeedMuteLED"), STATUS_SUCCESS);
  EXPECT_EQ(read, 0xFFFFFF07u);
}

TEST_F(SettingsTest, RefusedTypesOperationsAndOversizedValues) {
  ULONG value = 1;
  for (ULONG type : {REG_NONE, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD, REG_DWORD_BIG_ENDIAN, REG_LINK})
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_WRITE, nullptr, u"V", type, &value, 4), STATUS_UNSUCCESSFUL) << type;
  EXPECT_EQ(SettingsValue(Device(), 3, nullptr, u"V", REG_BINARY, &value, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SettingsValue(Device(), 0, nullptr, u"V", REG_BINARY, &value, 4), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Settings(u"V"));

  // Missing: the registry's status, so callers can tell absence.
  EXPECT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &value, 4, u"ASIOMLDataBitDepth"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  // Longer than the buffer: failure and the buffer untouched, whatever the excess.
  for (size_t stored : {5u, 20u, 21u, 1000u}) {
    reg::SetBinary(SettingsPath(), u"Long", std::vector<UCHAR>(stored, 0x5A));
    value = 0x12345678;
    EXPECT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &value, 4, u"Long"), STATUS_UNSUCCESSFUL) << stored;
    EXPECT_EQ(value, 0x12345678u);
  }
  EXPECT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &value, 4, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, nullptr, 4, u"Long"), STATUS_INVALID_PARAMETER);
}

TEST_F(SettingsTest, IndexedNamesAndTheirLimit) {
  // The per-channel control names: "%s%02d_%2d_" then "%s%d".
  UCHAR on = 1;
  ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &on, 1, u"Unit12_ 1_", 0), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Unit12_ 1_0"), (reg::Value{REG_BINARY, {1}}));
  LONG level = -65536;
  ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &level, 4, u"Unit03_18_", 11), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Unit03_18_11"), (reg::Value{REG_BINARY, {0, 0, 0xFF, 0xFF}}));
  LONG back = 0;
  ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_READ, &back, 4, u"Unit03_18_", 11), STATUS_SUCCESS);
  EXPECT_EQ(back, -65536);

  // 49 characters fit; a longer name is refused rather than cut to another value's name.
  const std::u16string prefix48(48, u'p');
  EXPECT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &on, 1, prefix48.c_str(), 7), STATUS_SUCCESS);
  EXPECT_TRUE(Settings(prefix48 + u"7"));
  EXPECT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &on, 1, prefix48.c_str(), 10), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(Settings(prefix48 + u"1"));
}

}  // namespace
