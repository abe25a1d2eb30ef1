// A simulated device with its registry keys and a system root folder, for the Settings
// and INI import tests. The physical device object itself is the device the driver code
// is given (PortCls takes a device it did not create as the physical one).
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "kernel/device_registry.h"
#include "kernel/file.h"
#include "kernel/registry.h"
#include "support/kernel_fixture.h"

namespace testing_support {

class DeviceRegistryTest : public platform::testing::KernelTest {
 protected:
  static constexpr char16_t kHardwareId[] = u"USB\\VID_0B05&PID_17F3&REV_0100";

  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Clear();
    platform::pnp::DeviceConfig config;
    config.deviceId = u"USB\\VID_0B05&PID_17F3";
    config.hardwareIds = {kHardwareId, u"USB\\VID_0B05&PID_17F3"};
    ASSERT_TRUE(platform::pnp::RegisterDevice(Device(), config));
    static std::atomic<int> serial{0};
    root_ = std::filesystem::temp_directory_path() /
            ("ua_ini_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    std::filesystem::create_directories(root_);
    platform::files::SetSystemRoot(root_);
  }

  void TearDown() override {
    platform::files::SetSystemRoot({});
    std::filesystem::remove_all(root_);
    platform::pnp::UnregisterAllDevices();
    platform::registry::Clear();
    KernelTest::TearDown();
  }

  PDEVICE_OBJECT Device() { return reinterpret_cast<PDEVICE_OBJECT>(&deviceStorage_); }

  std::u16string SettingsPath() { return platform::pnp::DriverKeyPath(Device()) + u"\\Settings"; }

  std::optional<platform::registry::Value> Settings(const std::u16string& name, const char16_t* subKey = nullptr) {
    std::u16string path = SettingsPath();
    if (subKey) path += std::u16string(u"\\") + subKey;
    return platform::registry::GetValue(path, name);
  }

  void WriteFile(const std::string& bytes, const std::string& name = "AUBRICPRO.INI") {
    std::ofstream(root_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }

  std::filesystem::path root_;

 private:
  alignas(16) unsigned char deviceStorage_[64] = {};
};

}  // namespace testing_support
