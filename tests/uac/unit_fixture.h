// UAC 1.0 units against the simulated device: a root device object started on the
// platform's bus (its synchronous URB path carries every request), and a small function
// object that owns the entity list, names the driver key's device object and records the
// subdevice re-registrations and control changes the nodes ask for.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/audio_hal.h"
#include "adapter/uac_function.h"
#include "uac/bound_nodes.h"
#include "uac/uac1_units.h"
#include "usb_device_fixture.h"

namespace unit_test {

using usb_device_test::Bytes;

struct FunctionRecord {
  std::vector<ULONG> registered;   // RegisterSubdevices arguments
  std::vector<ULONGLONG> changes;  // node ids of published control changes
  NTSTATUS registerStatus = STATUS_SUCCESS;
};

class CUnitTestFunction : public adapter::CAudioHal, public adapter::IUacFunction {
 public:
  CUnitTestFunction(PUNKNOWN outer, FunctionRecord* record);
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP ProbeDevice() override { return STATUS_SUCCESS; }
  STDMETHODIMP RegisterSubdevices(ULONG id) override;
  STDMETHODIMP GetCallbackObject(PCALLBACK_OBJECT* object) override;
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR, ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
    return STATUS_SUCCESS;
  }
  STDMETHODIMP AfterProbe() override { return STATUS_SUCCESS; }

 private:
  FunctionRecord* record_;
};

// Descriptors of a UAC 1.0 Audio Control interface: `units` go between the header and
// the streaming interface.
Bytes Uac1Configuration(const std::vector<Bytes>& units);
// A feature unit with one bmaControls entry per value (master first), entries of `size`
// bytes, and iFeature.
Bytes FeatureUnit(UCHAR id, UCHAR source, UCHAR size, const std::vector<USHORT>& controls, UCHAR iFeature = 0);

class UnitTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the device, starts the root device object and makes the test function.
  void StartWith(const Bytes& config, sim::device::DeviceProfile profile = {});
  // A fresh device object and function on the same registry, as after a restart.
  void Restart();
  // Creates and initialises a unit of the subtype from the descriptor.
  NTSTATUS MakeUnit(const Bytes& descriptor, uac::CUacUnit** unit);
  template <class Node>
  Node* NodeOf(uac::CUacUnit* unit, ULONG index) {
    return static_cast<Node*>(unit->GetNode(index));
  }
  // A "Settings" value's bytes; empty when absent.
  Bytes Saved(const std::u16string& name);
  void ReleaseUnits();

  std::unique_ptr<usb_device_test::ScopedFactories> factories_;
  adapter::IUsbAudioDevice* usb_ = nullptr;
  CUnitTestFunction* function_ = nullptr;
  FunctionRecord record_;
  std::vector<uac::CUacUnit*> units_;
  Bytes config_;
  sim::device::DeviceProfile profile_;
  PVOID registration_ = nullptr;
};

}  // namespace unit_test
