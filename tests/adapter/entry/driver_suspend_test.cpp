// Selective suspend through the whole driver: Plug and Play starts the device with
// "SelectiveSuspendEnabled" set, the idle device sleeps in D2, and a create, a close or
// an I/O control (KS requests included) wakes it before it goes on; removal of a
// sleeping device completes and leaves nothing behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "adapter/usb_audio_device.h"
#include "entry/driver_layers.h"
#include "entry_fixture.h"
#include "kernel/clock.h"
#include "kernel/po.h"
#include "kernel/registry.h"
#include "kernel/device_registry.h"
#include "portcls/ks.h"

namespace entry_test {
namespace {

using platform::clock::kTicksPerMillisecond;
using platform::clock::Now;
using platform::testing::DelayMs;

class DriverSuspend : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    entry::RegisterDriverLayers();
  }
  void StartSuspendable() {
    Plug("uac1-headset-A.txt");
    platform::registry::SetDword(platform::pnp::DeviceParametersPath(port_->pdo()), u"SelectiveSuspendEnabled", 1);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
  }
  adapter::CUsbAudioDevice* device() { return static_cast<adapter::CUsbAudioDevice*>(hal()); }
  void Sleep() {
    DelayMs(5100);
    ASSERT_EQ(device()->GetPowerState(), PowerDeviceD2);
    ASSERT_TRUE(device()->IdlePending());
  }
  NTSTATUS DeviceControl(ULONG code) {
    return platform::io::SendSynchronousRequest(fdo(), nullptr, [&](PIRP, PIO_STACK_LOCATION stack) {
             stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
             stack->Parameters.DeviceIoControl.IoControlCode = code;
           })
        .Status;
  }
};

// Each kind of request wakes the sleeping device before it is handled, within the
// resume time and well inside the 1 s the wake-up may take.
TEST_F(DriverSuspend, EveryRequestWakesTheDeviceFirst) {
  StartSuspendable();
  struct Row {
    const char* name;
    std::function<void()> send;
  };
  const Row rows[] = {
      {"create and close", [&] {
         NTSTATUS create = 0, close = 0;
         OpenClose(u"", &create, &close);
       }},
      {"KS property", [&] { DeviceControl(IOCTL_KS_PROPERTY); }},
      {"unknown I/O control", [&] { DeviceControl(0x00220000); }},
      {"Plug and Play query", [&] { Pnp(IRP_MN_QUERY_CAPABILITIES); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Sleep();
    const LONGLONG start = Now();
    row.send();
    EXPECT_LE(Now() - start, 50 * kTicksPerMillisecond);
    EXPECT_EQ(device()->GetPowerState(), PowerDeviceD0);
    EXPECT_FALSE(device()->IdlePending());
  }
}

// Removal of a device asleep, and surprise removal then removal: both complete, at most
// one D0 request goes down, nothing is left (the fixture checks the pool).
class DriverSuspendRemoval : public DriverSuspend, public ::testing::WithParamInterface<bool> {};

TEST_P(DriverSuspendRemoval, OfASleepingDeviceCompletes) {
  const bool surprise = GetParam();
  StartSuspendable();
  Sleep();
  const LONG powerIrps = port_->power_irps();
  const LONGLONG start = Now();
  if (surprise) {
    port_->controller().RemoveDevice();
    EXPECT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  }
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_LE(port_->power_irps() - powerIrps, 2);  // the D0 of the wake, and the D3 of the removal
  EXPECT_LE(Now() - start, 1100 * kTicksPerMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DriverSuspendRemoval, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("SurpriseThenRemove") : "Remove"; });

}  // namespace
}  // namespace entry_test
