// Device properties and the device registry keys of a simulated PDO.
#include <gtest/gtest.h>

#include "support/kernel_fixture.h"

#include <cstring>
#include <string>
#include <vector>

#include "kernel/device_registry.h"
#include "kernel/io.h"
#include "kernel/ob.h"
#include "kernel/rtl.h"

namespace reg = platform::registry;
namespace pnp = platform::pnp;

namespace {

class DeviceRegistry : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    reg::Clear();
    config_.deviceId = u"USB\\VID_0B05&PID_17F3";
    config_.instanceId = u"6&2bd2c5&0&2";
    config_.hardwareIds = {u"USB\\VID_0B05&PID_17F3&REV_0100", u"USB\\VID_0B05&PID_17F3"};
    config_.manufacturer = u"Maker";
    config_.driverIndex = 7;
    config_.address = 2;
    ASSERT_TRUE(pnp::RegisterDevice(Pdo(), config_));
  }
  void TearDown() override {
    pnp::UnregisterAllDevices();
    reg::Clear();
    KernelTest::TearDown();
  }
  PDEVICE_OBJECT Pdo() { return reinterpret_cast<PDEVICE_OBJECT>(&storage_); }

  std::vector<UCHAR> Property(DEVICE_REGISTRY_PROPERTY p, NTSTATUS* status = nullptr) {
    ULONG needed = 0;
    NTSTATUS s = IoGetDeviceProperty(Pdo(), p, 0, nullptr, &needed);
    if (s != STATUS_BUFFER_TOO_SMALL) {
      if (status) *status = s;
      return {};
    }
    std::vector<UCHAR> data(needed);
    s = IoGetDeviceProperty(Pdo(), p, needed, data.data(), &needed);
    if (status) *status = s;
    return data;
  }

  static std::vector<UCHAR> Sz(std::u16string_view s) {
    std::vector<UCHAR> out;
    for (char16_t c : s) out.insert(out.end(), {static_cast<UCHAR>(c), static_cast<UCHAR>(c >> 8)});
    out.insert(out.end(), {0, 0});
    return out;
  }

  long storage_ = 0;
  pnp::DeviceConfig config_;
};

TEST_F(DeviceRegistry, PropertiesComeFromTheConfigurationAndTheEnumKey) {
  EXPECT_EQ(Property(DevicePropertyDeviceDescription), Sz(u"USB Audio Device"));
  auto ids = Sz(u"USB\\VID_0B05&PID_17F3&REV_0100");
  auto second = Sz(u"USB\\VID_0B05&PID_17F3");
  ids.insert(ids.end(), second.begin(), second.end());
  ids.insert(ids.end(), {0, 0});
  EXPECT_EQ(Property(DevicePropertyHardwareID), ids);
  EXPECT_EQ(Property(DevicePropertyManufacturer), Sz(u"Maker"));
  EXPECT_EQ(Property(DevicePropertyDriverKeyName), Sz(u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007"));
  EXPECT_EQ(Property(DevicePropertyEnumeratorName), Sz(u"USB"));
  EXPECT_EQ(Property(DevicePropertyClassName), Sz(u"MEDIA"));
  EXPECT_EQ(Property(DevicePropertyAddress), (std::vector<UCHAR>{2, 0, 0, 0}));

  NTSTATUS status = STATUS_SUCCESS;
  Property(DevicePropertyFriendlyName, &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  Property(DevicePropertyBusNumber, &status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  ULONG needed = 0;
  EXPECT_EQ(IoGetDeviceProperty(Pdo(), static_cast<DEVICE_REGISTRY_PROPERTY>(99), 0, nullptr, &needed),
            STATUS_INVALID_PARAMETER_2);

  // A value written into the Enum key (as the driver writes its device strings) shows.
  reg::SetString(pnp::EnumKeyPath(Pdo()), u"FriendlyName", u"My Interface");
  EXPECT_EQ(Property(DevicePropertyFriendlyName), Sz(u"My Interface"));

  // A short buffer is left alone and the size is reported.
  UCHAR small[4] = {9, 9, 9, 9};
  EXPECT_EQ(IoGetDeviceProperty(Pdo(), DevicePropertyManufacturer, sizeof small, small, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 12u);
  EXPECT_EQ(small[0], 9);

  long other = 0;
  EXPECT_EQ(IoGetDeviceProperty(reinterpret_cast<PDEVICE_OBJECT>(&other), DevicePropertyHardwareID, 0, nullptr,
                                &needed),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DeviceRegistry, DeviceAndDriverKeys) {
  const size_t handles = platform::ob::OpenHandleCount();
  HANDLE key = nullptr;
  alignas(8) UCHAR buffer[256];
  ULONG result = 0;

  // The driver's software key.
  ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING name{8, 8, const_cast<PWSTR>(u"Test")};
  ULONG one = 1;
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_EQ(pnp::DriverKeyPath(Pdo()),
            u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
            u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007");
  EXPECT_TRUE(reg::GetValue(pnp::DriverKeyPath(Pdo()), u"Test"));

  // "Device Parameters" below the Enum key.
  reg::SetDword(pnp::DeviceParametersPath(Pdo()), u"SelectiveSuspendEnabled", 1);
  ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
  UNICODE_STRING ss{46, 46, const_cast<PWSTR>(u"SelectiveSuspendEnabled")};
  EXPECT_EQ(ZwQueryValueKey(key, &ss, KeyValuePartialInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  ZwClose(key);

  // The current hardware profile's device key is named by the instance ID, and the Enum
  // key of the device is found from the hardware IDs and that name.
  ASSERT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ,
                                    &key),
            STATUS_SUCCESS);
  ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
  const std::u16string instance(reinterpret_cast<char16_t*>(buffer + 16), info->NameLength / 2);
  EXPECT_EQ(instance, u"6&2bd2c5&0&2");
  ZwClose(key);
  EXPECT_TRUE(reg::KeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0B05&PID_17F3\\" +
                             instance + u"\\Device Parameters"));

  EXPECT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  pnp::UnregisterDevice(Pdo());
  EXPECT_EQ(IoOpenDeviceRegistryKey(Pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(platform::ob::OpenHandleCount(), handles);
}

TEST_F(DeviceRegistry, ReRegisteringKeepsValuesTheDriverWrote) {
  reg::SetString(pnp::EnumKeyPath(Pdo()), u"FriendlyName", u"Written by the driver");
  ASSERT_TRUE(pnp::RegisterDevice(Pdo(), config_));
  EXPECT_EQ(Property(DevicePropertyFriendlyName), Sz(u"Written by the driver"));
  pnp::DeviceConfig bad = config_;
  bad.instanceId = u"a\\\\b";
  EXPECT_FALSE(pnp::RegisterDevice(Pdo(), bad));
}

TEST_F(DeviceRegistry, AnIoManagerPdoGetsItsInstancePathForInterfaceLinks) {
  PDRIVER_OBJECT bus = platform::io::CreateDriverObject(u"\\Driver\\usbhub");
  PDEVICE_OBJECT pdo = nullptr;
  ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
  ASSERT_TRUE(pnp::RegisterDevice(pdo, config_));
  static constexpr GUID kClass = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, u"Ref");
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, &reference, &link), STATUS_SUCCESS);
  EXPECT_NE(std::u16string(link.Buffer, link.Length / 2).find(u"USB#VID_0B05&PID_17F3#6&2bd2c5&0&2#"),
            std::u16string::npos);
  RtlFreeUnicodeString(&link);
  platform::io::ResetDeviceInterfaces();
  pnp::UnregisterDevice(pdo);
  IoDeleteDevice(pdo);
  platform::io::DeleteDriverObject(bus);
}

}  // namespace
