// The synthetic chip class A device on the simulated bus under the real function and
// stream engines, with the chip-register model on its HID interface answering register
// writes and the scripted jack report. Device rows are chosen by vendor and product and
// by whether the chip values are read as the rows want them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "chip_a_device.h"
#include "kernel/clock.h"
#include "kernel/registry.h"
#include "sim/device/chip_registers.h"
#include "stream/usb_stream_engine.h"
#include "support/kernel_fixture.h"
#include "uac/chip_a_function.h"
#include "uac/function_classes.h"
#include "uac/stream_engine_factory.h"
#include "usb_device_fixture.h"

namespace chip_a_test {

inline constexpr UCHAR kVendorIn = 0xC3;  // device-to-host, vendor, recipient other
inline constexpr char16_t kChipAModel[] = {0x000B, 0x0005, 0x0050, u'A', 0};
// The device row that polls the jack (with both chip values) and one without a row.
inline constexpr USHORT kJackVendor = 0x1E7D, kJackProduct = 0x3750;
inline constexpr USHORT kOtherVendor = 0x1234, kOtherProduct = 0x5678;
// Offset in the untrimmed synthetic configuration descriptor of the first rate of the
// 2-channel render setting.
inline constexpr size_t kStereoFirstRateOffset = 273 + 16 + 8;

// The 2-channel setting's first rate replaced.
inline Bytes WithStereoFirstRate(Bytes config, ULONG rate) {
  for (int i = 0; i < 3; ++i) config[kStereoFirstRateOffset + i] = static_cast<unsigned char>(rate >> (8 * i));
  return config;
}

class ChipATest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, nullptr);
    savedUac1_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::GetStreamEngineFactory();
    savedChipRender_ = uac::GetChipARenderFactory();
    stream::RegisterEngineFactories();
    file_ = LoadChipADevice();
    ASSERT_FALSE(file_.config.empty());
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, saved_);
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, savedUac1_);
    uac::SetStreamEngineFactory(savedEngines_);
    uac::SetChipARenderFactory(savedChipRender_);
  }

  // Plugs the device (the synthetic descriptors unless given) with its chip values and
  // the register model; chip_ answers the jack report as scripted.
  void PlugChipA(USHORT vendor, USHORT product, bool values = true, Bytes config = {}) {
    chip_ = std::make_unique<sim::device::ChipRegisters>(3);
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    Plug(WithIds(file_.device, vendor, product), config.empty() ? file_.config : config, profile);
    if (values) {
      sim_->SetVendorData(kVendorIn, 0x81, 0, 9, {0x9F});
      sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    }
    chip_->Install(*sim_);
  }
  void SetSwitch(const char16_t* name, ULONG value) { platform::registry::SetDword(SettingsPath(), name, value); }
  // The render output's kind (1 speaker, 2 headphones, 3 S/PDIF): the chip's output
  // terminal offers all three, the kind saved as its current one.
  void SelectOutputKind(ULONG kind) {
    SetSwitch(u"SupportHPOut", 1);
    SetSwitch(u"SupportSpdifOut", 1);
    platform::registry::SetBinary(SettingsPath(), u"UACUnit03",
                                  std::vector<std::uint8_t>{static_cast<std::uint8_t>(kind), 0, 0, 0});
  }

  uac::CChipAFunction* function() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CChipAFunction*>(
        static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf)));
    f->Release();
    return f;
  }
  stream::CUsbStreamEngine* Engine(ULONG direction) {
    for (ULONG i = 0; hal_ && i < hal_->GetEngineCount(); ++i) {
      adapter::IStreamEngine* e = nullptr;
      if (NT_SUCCESS(hal_->GetEngine(i, &e)) && e->GetDirection() == direction)
        return static_cast<stream::CUsbStreamEngine*>(static_cast<adapter::CStreamEngine*>(e));
    }
    return nullptr;
  }
  void PowerTo(DEVICE_POWER_STATE state) {
    PVOID itf = nullptr;
    ASSERT_EQ(hal_->QueryInterface(IID_IAdapterPowerManagement, &itf), STATUS_SUCCESS);
    auto* power = static_cast<IAdapterPowerManagement*>(itf);
    POWER_STATE s{};
    s.DeviceState = state;
    power->PowerChangeState(s);
    power->Release();
  }
  // Waits (virtual time) until the chip has been asked for `count` jack reports in all;
  // false when that takes more than `limitMs`.
  bool WaitForReads(size_t count, LONGLONG limitMs = 60000) {
    for (LONGLONG waited = 0; chip_->jack_reads().size() < count; waited += 5) {
      if (waited > limitMs) return false;
      platform::testing::DelayMs(5);
    }
    return true;
  }

  DeviceFile file_;
  std::unique_ptr<sim::device::ChipRegisters> chip_;
  adapter::FunctionFactory saved_ = nullptr;
  adapter::FunctionFactory savedUac1_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
  uac::ChipARenderFactory savedChipRender_ = nullptr;
};

}  // namespace chip_a_test
