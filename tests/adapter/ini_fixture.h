// A device registered with its driver key and a temporary system root, for the Settings
// and INI import tests. The device is a plain block: PortCls takes a device object it did
// not create as the physical one, which is all these routines look at.
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
  // Mixed case, as devices report it: the reader must upper-case it before matching.
  static constexpr char16_t kHardwareId[] = u"USB\\Vid_0b05&Pid_17f3&REV_0100";

  void SetUp() override {
    KernelTest::SetUp();
    static std::atomic<int> serial{0};
    root_ = std::filesystem::temp_directory_path() /
            ("ua_ini_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    std::filesystem::create_directories(root_);
    platform::files::SetSystemRoot(root_);
    RegisterDevice(kHardwareId);
  }

  void TearDown() override {
    platform::files::SetSystemRoot({});
    std::filesystem::remove_all(root_);
    platform::pnp::UnregisterAllDevices();
    platform::registry::Clear();
    KernelTest::TearDown();
  }

  // A fresh registry with the device listed under `hardwareId`.
  void RegisterDevice(const std::u16string& hardwareId) {
    platform::pnp::UnregisterAllDevices();
    platform::registry::Clear();
    platform::pnp::DeviceConfig config;
    config.deviceId = u"USB\\VID_0B05&PID_17F3";
    config.hardwareIds = {hardwareId, u"USB\\VID_0B05&PID_17F3"};
    ASSERT_TRUE(platform::pnp::RegisterDevice(Device(), config));
  }

  PDEVICE_OBJECT Device() { return reinterpret_cast<PDEVICE_OBJECT>(&deviceStorage_); }
  std::u16string SettingsPath() { return platform::pnp::DriverKeyPath(Device()) + u"\\Settings"; }
  std::optional<platform::registry::Value> Settings(const std::u16string& name, const char16_t* subKey = nullptr) {
    return platform::registry::GetValue(SettingsPath() + (subKey ? u"\\" + std::u16string(subKey) : u""), name);
  }
  void WriteFile(const std::string& bytes, const std::string& name = "AUBRICPRO.INI") {
    std::ofstream(root_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }

  std::filesystem::path root_;

 private:
  alignas(16) unsigned char deviceStorage_[64] = {};
};

}  // namespace testing_support
