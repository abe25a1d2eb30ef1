// The root USB device object on a simulated bus: a simulated device on a port of the
// platform's bus driver, an FDO attached above the port's PDO, both registered with Plug
// and Play, and a small function class registered in the function table that records
// what the device asks of it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adapter/object_model.h"
#include "adapter/stream_engine.h"
#include "adapter/usb_audio_device.h"
#include "kernel/clock.h"
#include "kernel/device_registry.h"
#include "kernel/io.h"
#include "kernel/registry.h"
#include "sim/device/sim_device.h"
#include "support/kernel_fixture.h"
#include "usb/usb_port.h"

namespace usb_device_test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr ULONG kTestFunctionTag = MakePoolTag('T', 'f', 'n', 'c');
inline constexpr ULONG kTestEngineTag = MakePoolTag('T', 'e', 'n', 'g');

// What the test function saw and how it behaves; one per test.
struct FunctionLog {
  std::vector<adapter::FunctionClass> created;
  USHORT vendor = 0, product = 0;
  std::vector<DEVICE_POWER_STATE> power;
  std::function<void(DEVICE_POWER_STATE)> onPower;  // called with each power change it gets
  bool answerUacFunction = true;
  ULONG engines = 1;
  ULONG featureFlags = 0;
  NTSTATUS probeStatus = STATUS_SUCCESS;
};
FunctionLog& Log();

// A function object aggregated under the device, as the UAC classes are.
class CTestFunction : public adapter::CAudioHal, public adapter::IUacFunction {
 public:
  CTestFunction(PUNKNOWN outer, adapter::FunctionClass cls, USHORT vendor, USHORT product);
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP ProbeDevice() override;
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
  STDMETHODIMP RegisterSubdevices(ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetCallbackObject(PCALLBACK_OBJECT* object) override;
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR, ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
    return STATUS_SUCCESS;
  }
  STDMETHODIMP AfterProbe() override { return STATUS_SUCCESS; }
};

// Registers the test function for every class (or the given ones) and restores the
// table afterwards.
class ScopedFactories {
 public:
  explicit ScopedFactories(std::vector<adapter::FunctionClass> classes = {});
  ~ScopedFactories();

 private:
  adapter::FunctionFactory saved_[static_cast<ULONG>(adapter::FunctionClass::Count)];
  const adapter::FunctionRow* savedRows_ = nullptr;
  ULONG savedRowCount_ = 0;
};

// Descriptor pieces.
Bytes DeviceDescriptor(USHORT vendor, USHORT product, UCHAR manufacturer = 1, UCHAR productString = 2);
Bytes Configuration(const std::vector<Bytes>& pieces, int declaredInterfaces = -1);
Bytes Interface(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR cls, UCHAR subclass, UCHAR protocol = 0);
// A one-function UAC 1.0 (or other protocol) speaker: control interface 0, streaming
// interface `streaming` with an idle and an active setting.
Bytes Speaker(UCHAR protocol = 0, UCHAR streaming = 1);

// One URB as the driver submitted it to the bus, before the bus looked at it: the header,
// the fields of isochronous and selection requests, and the bus frame at submission.
struct SubmittedUrb {
  USHORT function = 0, length = 0;
  ULONG frame = 0;
  USBD_PIPE_HANDLE pipe = nullptr;              // isochronous and pipe requests
  ULONG flags = 0, startFrame = 0, packets = 0;  // isochronous
  ULONG transferLength = 0;
  std::vector<ULONG> offsets;                    // isochronous: each packet's offset
  UCHAR interfaceNumber = 0, alternate = 0;      // selection
  USHORT interfaceLength = 0;
};

class UsbDeviceTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Puts a device on the port: a dump file of sim/device/devices or descriptor bytes.
  void Plug(const std::string& dump, sim::device::DeviceProfile profile = {});
  void Plug(const Bytes& device, const Bytes& config, sim::device::DeviceProfile profile = {});
  // Creates the device object and starts it; the status of Init.
  NTSTATUS Start();
  // Drops the test's reference; the device is gone afterwards.
  void Stop();
  // Stops the device and unplugs it, leaving a clean registry for the next Plug.
  void TearDownDevice();

  std::u16string SettingsPath() const;
  std::u16string EnumPath() const;
  std::u16string ParametersPath() const;

  adapter::CUsbAudioDevice* device() { return static_cast<adapter::CUsbAudioDevice*>(hal_); }
  platform::usb::HostController& bus() { return port_->controller(); }
  // Every URB submitted since the device was plugged (of one function when given), oldest
  // first.
  std::vector<SubmittedUrb> SubmittedUrbs(std::optional<USHORT> function = {});

  std::unique_ptr<sim::device::SimDevice> sim_;
  std::unique_ptr<platform::usb::UsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  adapter::IAudioHal* hal_ = nullptr;

 private:
  void Attach();
  std::mutex submittedLock_;
  std::vector<SubmittedUrb> submitted_;
  static std::string Hex(unsigned value);
};

}  // namespace usb_device_test
