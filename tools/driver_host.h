// Runs the driver against a simulated USB audio device outside the test framework: the
// platform clock and a main platform thread, the device on a port of the platform's bus,
// an FDO attached above the port's PDO (both known to Plug and Play), and the root USB
// device object started on it. Shared by the command-line tool and the fuzz targets.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter/usb_audio_device.h"
#include "kernel/clock.h"
#include "kernel/pool.h"
#include "sim/device/sim_device.h"
#include "usb/usb_port.h"

namespace tools {

class DriverHost {
 public:
  // Verifier reports go to `reports` (one line each) instead of aborting.
  DriverHost();
  ~DriverHost();
  DriverHost(const DriverHost&) = delete;
  DriverHost& operator=(const DriverHost&) = delete;

  // Puts the device on the bus and starts the root device object on it alone (no
  // subdevices); the status of the device's Init. The device object stays alive (also after a refusal) until the host ends.
  NTSTATUS Start(std::unique_ptr<sim::device::SimDevice> device);
  // A "Settings" DWORD written to the device's driver key before Start or StartDriver
  // starts the driver.
  void PreloadSetting(std::u16string name, ULONG value) { settings_.emplace_back(std::move(name), value); }
  // A registry tree copied into the device's driver key before the driver starts (a
  // device's saved state); a missing tree leaves the key as it is.
  void PreloadTree(std::u16string from) { preloadTree_ = std::move(from); }
  const std::u16string& preloadTree() const { return preloadTree_; }

  // Loads the whole driver for the device as Plug and Play does: driver entry, add-device
  // on the port's physical device and the start request; the status of the start. Stop
  // then sends the removal. The engine client sees what the start registered.
  NTSTATUS StartDriver(std::unique_ptr<sim::device::SimDevice> device);
  PDEVICE_OBJECT fdo() const { return fdo_; }
  // After StartDriver: the surprise-removal request, and a device power state asked of
  // the power manager (waited for).
  NTSTATUS SurpriseRemove() { return SendPnp(IRP_MN_SURPRISE_REMOVAL); }
  NTSTATUS SetPower(DEVICE_POWER_STATE state);

  adapter::IAudioHal* hal() const { return hal_; }
  adapter::CUsbAudioDevice* device() const { return static_cast<adapter::CUsbAudioDevice*>(hal_); }
  sim::device::SimDevice* sim() const { return sim_.get(); }
  platform::usb::UsbPort* port() const { return port_.get(); }
  const std::vector<std::string>& reports() const { return reports_; }
  // The device's driver key (its "Settings" live below it); empty before a start.
  std::u16string DriverKeyPath() const;
  // Stops the driver and the device; afterwards reports() also holds leaked pool blocks.
  void Stop();

 private:
  NTSTATUS SendPnp(UCHAR minor);

  std::unique_ptr<platform::clock::ScopedPlatformThread> thread_;
  std::optional<platform::pool::LeakScope> leaks_;
  std::unique_ptr<sim::device::SimDevice> sim_;
  std::unique_ptr<platform::usb::UsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  adapter::IAudioHal* hal_ = nullptr;
  std::vector<std::string> reports_;
  std::vector<std::pair<std::u16string, ULONG>> settings_;
  std::u16string preloadTree_;
  bool stopped_ = false;
  bool pnp_ = false;  // started through driver entry: the driver owns the FDO
};

// Copies a registry key with its values and subkeys below `to` (created as needed).
void CopyRegistryTree(std::u16string_view from, const std::u16string& to);

}  // namespace tools
