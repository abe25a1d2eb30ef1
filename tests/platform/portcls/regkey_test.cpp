// Registry keys and device properties through PortCls.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernel/device_registry.h"
#include "portcls/portcls.h"
#include "support/kernel_fixture.h"
#include "fake_miniports.h"

namespace {

class RegistryKeyTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::pnp::DeviceConfig config;
    config.deviceId = u"USB\\VID_1234&PID_5678&MI_00";
    config.hardwareIds = {u"USB\\VID_1234&PID_5678&REV_0100&MI_00", u"USB\\VID_1234&PID_5678&MI_00"};
    config.driverIndex = 7;
    ASSERT_TRUE(platform::pnp::RegisterDevice(pdo, config));
  }
  void TearDown() override {
    platform::pnp::UnregisterDevice(pdo);
    KernelTest::TearDown();
  }
  PDEVICE_OBJECT pdo = fakes::FakeDevice(14);
};

UNICODE_STRING Text(const char16_t* s) {
  UNICODE_STRING u;
  u.Buffer = const_cast<PWSTR>(s);
  u.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(s) * 2);
  u.MaximumLength = u.Length;
  return u;
}

TEST_F(RegistryKeyTest, DriverKeySubKeysAndValuesRoundTrip) {
  PREGISTRYKEY driver = nullptr;
  ASSERT_EQ(PcNewRegistryKey(&driver, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, pdo, nullptr, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  PREGISTRYKEY settings = nullptr;
  UNICODE_STRING name = Text(u"Settings");
  ULONG disposition = 0;
  ASSERT_EQ(driver->NewSubKey(&settings, nullptr, KEY_ALL_ACCESS, &name, 0, &disposition), STATUS_SUCCESS);
  UNICODE_STRING value = Text(u"IniVersion");
  ULONG data = 0x01020304;
  ASSERT_EQ(settings->SetValueKey(&value, REG_BINARY, &data, sizeof(data)), STATUS_SUCCESS);
  BYTE buffer[64];
  ULONG length = 0;
  ASSERT_EQ(settings->QueryValueKey(&value, KeyValuePartialInformation, buffer, sizeof(buffer), &length),
            STATUS_SUCCESS);
  KEY_VALUE_PARTIAL_INFORMATION info;
  std::memcpy(&info, buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
  EXPECT_EQ(info.Type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(info.DataLength, 4u);
  EXPECT_EQ(settings->QueryRegistryValues(nullptr, nullptr), STATUS_NOT_IMPLEMENTED);
  settings->Release();
  driver->Release();

  EXPECT_EQ(PcNewRegistryKey(&driver, nullptr, DeviceInterfaceRegistryKey, KEY_READ, pdo, nullptr, nullptr, 0,
                             nullptr),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(PcNewRegistryKey(&driver, nullptr, 9, KEY_READ, pdo, nullptr, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PcNewRegistryKey(&driver, nullptr, GeneralRegistryKey, KEY_READ, pdo, nullptr, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryKeyTest, DevicePropertiesComeFromThePhysicalDevice) {
  ULONG length = 0;
  EXPECT_EQ(PcGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
  std::vector<BYTE> ids(length);
  ASSERT_EQ(PcGetDeviceProperty(pdo, DevicePropertyHardwareID, length, ids.data(), &length), STATUS_SUCCESS);
  std::u16string first(reinterpret_cast<const char16_t*>(ids.data()));
  EXPECT_EQ(first, u"USB\\VID_1234&PID_5678&REV_0100&MI_00");
  EXPECT_EQ(PcGetDeviceProperty(nullptr, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_INVALID_PARAMETER);
}

}  // namespace
