// Settings values of the driver key.
#include "adapter/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ini_fixture.h"

namespace {

namespace reg = platform::registry;

using SettingsTest = testing_support::DeviceRegistryTest;

TEST_F(SettingsTest, ValuesRoundTripInSettingsAndSubKeys) {
  ULONG rate = 48000;
  ASSERT_EQ(SettingsBinaryValue(Device(), SETTINGS_WRITE, &rate, 4, u"ASIOMLSampleRate"), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"ASIOMLSampleRate"), (reg::Value{REG_BINARY, {0x80, 0xBB, 0, 0}}));
  ULONG dword = 1;
  ASSERT_EQ(SettingsValue(Device(), SETTINGS_WRITE, nullptr, u"SupportHPOut", REG_DWORD, &dword, 4), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"SupportHPOut")->type, REG_DWORD);
  WCHAR text[] = u"X.INI";
  ASSERT_EQ(SettingsValue(Device(), SETTINGS_WRITE, u"Mic", u"Name", REG_SZ, text, sizeof text), STATUS_SUCCESS);
  EXPECT_FALSE(Settings(u"Name"));

  // The stored type is not compared: a REG_SZ reads as its bytes.
  WCHAR back[8] = {};
  ASSERT_EQ(SettingsValue(Device(), SETTINGS_READ, u"Mic", u"Name", REG_BINARY, back, sizeof back), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(back), u"X.INI");
  // Kept as designed: a shorter stored value fills the start of the buffer and succeeds.
  reg::SetBinary(SettingsPath(), u"NeedMuteLED", std::vector<UCHAR>{7});
  ULONG read = 0xFFFFFFFF;
  ASSERT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &read, 4, u"NeedMuteLED"), STATUS_SUCCESS);
  EXPECT_EQ(read, 0xFFFFFF07u);
}

TEST_F(SettingsTest, RefusedTypesOperationsAndOversizedValues) {
  ULONG value = 1;
  for (ULONG type : {REG_NONE, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD, REG_LINK})
    EXPECT_EQ(SettingsValue(Device(), SETTINGS_WRITE, nullptr, u"V", type, &value, 4), STATUS_UNSUCCESSFUL) << type;
  for (ULONG operation : {0u, 3u})
    EXPECT_EQ(SettingsValue(Device(), operation, nullptr, u"V", REG_BINARY, &value, 4), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Settings(u"V"));
  EXPECT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &value, 4, u"Absent"), STATUS_OBJECT_NAME_NOT_FOUND);

  // Longer than the buffer, by less or more than the 16 spare bytes of the query: failure
  // and the buffer untouched.
  for (size_t stored : {5u, 20u, 21u, 1000u}) {
    reg::SetBinary(SettingsPath(), u"Long", std::vector<UCHAR>(stored, 0x5A));
    value = 0x12345678;
    EXPECT_EQ(SettingsBinaryValue(Device(), SETTINGS_READ, &value, 4, u"Long"), STATUS_UNSUCCESSFUL) << stored;
    EXPECT_EQ(value, 0x12345678u);
  }
}

TEST_F(SettingsTest, IndexedNamesAndTheirLimit) {
  UCHAR on = 1;
  ASSERT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &on, 1, u"Unit03_18_", 11), STATUS_SUCCESS);
  EXPECT_EQ(Settings(u"Unit03_18_11"), (reg::Value{REG_BINARY, {1}}));
  // 49 characters fit; a longer name is refused rather than cut to another value's name.
  const std::u16string prefix48(48, u'p');
  EXPECT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &on, 1, prefix48.c_str(), 7), STATUS_SUCCESS);
  EXPECT_TRUE(Settings(prefix48 + u"7"));
  EXPECT_EQ(SettingsIndexedValue(Device(), SETTINGS_WRITE, &on, 1, prefix48.c_str(), 10), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(Settings(prefix48 + u"1"));
}

}  // namespace
