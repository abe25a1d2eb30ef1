// A bus port over the headset dump on the simulated kernel, shared by the port tests.
#pragma once

#include <cstdint>
#include <memory>

#include "support/kernel_fixture.h"
#include "test_support.h"
#include "usb/usb_port.h"
#include "usb/usbdlib.h"

namespace sim::device::test {

class HeadsetPortTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device = Load("uac1-headset-A.txt");
    ASSERT_TRUE(device);
    port = std::make_unique<platform::usb::UsbPort>(device.get());
  }
  void TearDown() override {
    port.reset();
    KernelTest::TearDown();
  }

  // A request for the device descriptor into `desc`.
  static URB DeviceDescriptorRequest(std::uint8_t (&desc)[18]) {
    URB urb{};
    auto& d = urb.UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(d);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.TransferBuffer = desc;
    d.TransferBufferLength = sizeof(desc);
    return urb;
  }

  std::unique_ptr<SimDevice> device;
  std::unique_ptr<platform::usb::UsbPort> port;
};

}  // namespace sim::device::test
