// The bus port refuses transfers while its device is powered down.
#include <gtest/gtest.h>

#include "kernel/po.h"
#include "port_fixture.h"

namespace sim::device {
namespace {

using platform::usb::UsbPort;
using namespace test;

class UsbPortPowerTest : public HeadsetPortTest {
 protected:
  IO_STATUS_BLOCK SetDevicePower(DEVICE_POWER_STATE state) {
    return platform::io::SendSynchronousRequest(port->pdo(), nullptr, [&](PIRP, PIO_STACK_LOCATION stack) {
      stack->MajorFunction = IRP_MJ_POWER;
      stack->MinorFunction = IRP_MN_SET_POWER;
      stack->Parameters.Power.Type = DevicePowerState;
      stack->Parameters.Power.State.DeviceState = state;
    });
  }
  NTSTATUS GetDeviceDescriptor(URB* urb, std::uint8_t (&desc)[18]) {
    *urb = DeviceDescriptorRequest(desc);
    return platform::io::SendSynchronousRequest(port->pdo(), nullptr, [&](PIRP, PIO_STACK_LOCATION stack) {
             stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
             stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
             stack->Parameters.Others.Argument1 = urb;
           })
        .Status;
  }
};

TEST_F(UsbPortPowerTest, TransfersAreRefusedOutsideD0) {
  URB urb;
  std::uint8_t desc[18] = {};
  ASSERT_EQ(GetDeviceDescriptor(&urb, desc), STATUS_SUCCESS);
  for (DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD3}) {
    ASSERT_EQ(SetDevicePower(state).Status, STATUS_SUCCESS);
    desc[0] = 0;
    EXPECT_EQ(GetDeviceDescriptor(&urb, desc), static_cast<NTSTATUS>(0xC00000A3u));  // STATUS_DEVICE_NOT_READY
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_NOT_ACCESSED);
    EXPECT_EQ(desc[0], 0u);
    ASSERT_EQ(SetDevicePower(PowerDeviceD0).Status, STATUS_SUCCESS);
    EXPECT_EQ(GetDeviceDescriptor(&urb, desc), STATUS_SUCCESS);
    EXPECT_EQ(desc[0], 18u);
  }
}

}  // namespace
}  // namespace sim::device
