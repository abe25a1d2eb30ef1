// The driver as Plug and Play loads it: a simulated device on a port of the platform's
// bus, driver entry on a fresh driver object, add-device on the port's physical device,
// and the start, surprise-removal and removal requests sent to the top of the stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adapter/device_extension.h"
#include "entry/driver_entry.h"
#include "entry_fakes.h"
#include "kernel/io.h"
#include "sim/device/sim_device.h"
#include "support/kernel_fixture.h"
#include "usb/usb_port.h"

namespace entry_test {

class DriverTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Puts a device on the port (a file of sim/device/devices) and registers its PDO.
  void Plug(const std::string& dump, sim::device::DeviceProfile profile = {});
  // The same from device and configuration descriptor bytes.
  void Plug(const std::vector<std::uint8_t>& device, const std::vector<std::uint8_t>& config,
            sim::device::DeviceProfile profile = {});
  // The same with a status endpoint of `packet` bytes added to the Audio Control
  // interface (for dumps that have none).
  void PlugWithStatusEndpoint(const std::string& dump, USHORT packet, sim::device::DeviceProfile profile = {});
  // Driver entry, once per test (SetUp runs it).
  NTSTATUS Load();
  NTSTATUS Add();
  NTSTATUS Pnp(UCHAR minor);
  NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE); }
  // Plug and Play's removal: after a surprise removal, Remove sends IRP_MN_REMOVE_DEVICE
  // once the last handle on the device is closed (STATUS_PENDING until then); without
  // one, it is vetoed while handles are open.
  NTSTATUS SurpriseRemove() { return platform::io::SurpriseRemoveDevice(port_->pdo()); }
  NTSTATUS Remove();
  // A create and then a close with the file name on the functional device, as a client
  // opening and closing a handle; the statuses of both.
  void OpenClose(const char16_t* fileName, NTSTATUS* create, NTSTATUS* close);
  // Takes the device off the bus (after removal).
  void Unplug();

  // The functional device; after its removal only its address is left, for comparisons.
  PDEVICE_OBJECT fdo() const { return fdo_; }
  adapter::DeviceExtension* extension() const {
    const bool gone = removed_ || (port_ && platform::io::DeviceRemoved(port_->pdo()));
    return gone ? nullptr : adapter::FindDeviceExtension(fdo_);
  }
  adapter::IAudioHal* hal() const { return extension() ? extension()->Adapter : nullptr; }
  // The subdevices registered on the device now, by name.
  std::vector<std::u16string> Subdevices() const;
  // The device's two private interfaces.
  const platform::io::DeviceInterface* Interface(const GUID& classGuid) const;

  void Attach();

  std::unique_ptr<sim::device::SimDevice> sim_;
  std::unique_ptr<platform::usb::UsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  bool removed_ = false;
  entry::MiniportFactories savedFactories_{};

 private:
  mutable std::vector<platform::io::DeviceInterface> interfaces_;
};

}  // namespace entry_test
