// Start-up of the root USB device object against simulated devices: descriptors, the
// configuration, the bus interface, the function table, device strings, Settings values
// and the release of everything it made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "kernel/clock.h"
#include "support/fault_sweep.h"
#include "usb_device_fixture.h"

namespace usb_device_test {
namespace {

using adapter::FunctionClass;
namespace reg = platform::registry;

std::u16string Text(const std::optional<reg::Value>& v) {
  if (!v || v->type != REG_SZ) return u"<none>";
  std::u16string out(v->data.size() / 2, u'\0');
  std::memcpy(out.data(), v->data.data(), out.size() * 2);
  while (!out.empty() && out.back() == u'\0') out.pop_back();
  return out;
}

using Probe = UsbDeviceTest;

TEST_F(Probe, SelectsTheFirstConfigurationOfRealDevices) {
  const struct {
    const char* dump;
    ULONG declared, selected;  // bNumInterfaces, interfaces found and selected
    UCHAR highSpeed;
    FunctionClass function;
    USHORT vendor, product;
  } cases[] = {
      {"uac1-headset-A.txt", 4, 4, 0, FunctionClass::Uac1, 0x046D, 0x0A38},
      // Two configurations: the first is used.
      {"uac2-dac-A.txt", 3, 3, 1, FunctionClass::Uac2, 0x152A, 0x8750},
      // Declares four interfaces and holds three: the search ends instead of running on.
      {"uac1-soundcard-D.txt", 4, 3, 0, FunctionClass::Uac1, 0x0D8C, 0x0014},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dump);
    ScopedFactories factories;
    Log() = FunctionLog{};
    Plug(c.dump);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    auto* d = device();
    EXPECT_EQ(d->InterfaceCount(), c.declared);
    ULONG selected = 0;
    while (d->Interface(selected)) ++selected;
    EXPECT_EQ(selected, c.selected);
    for (ULONG i = 0; i < selected; ++i) EXPECT_EQ(d->Interface(i)->AlternateSetting, 0);
    EXPECT_EQ(d->GetConfigurationDescriptor()->bConfigurationValue, sim_->descriptors().configuration_value());
    EXPECT_EQ(d->GetConfigurationDescriptor()->wTotalLength, sim_->Configuration().size());
    EXPECT_NE(d->GetConfigurationHandle(), nullptr);
    EXPECT_EQ(sim_->configuration_value(), d->GetConfigurationDescriptor()->bConfigurationValue);
    EXPECT_EQ(d->IsHighSpeed(), c.highSpeed);
    EXPECT_EQ(d->GetControlInterfaceNumber(), 0);
    EXPECT_EQ(Log().created, std::vector<FunctionClass>{c.function});
    EXPECT_EQ(Log().vendor, c.vendor);
    EXPECT_EQ(Log().product, c.product);
    EXPECT_EQ(port_->interface_references(), 1);  // the bus interface, held while running

    KSCOMPONENTID id;
    std::memset(&id, 0xCC, sizeof id);
    ASSERT_EQ(d->GetComponentId(&id), STATUS_SUCCESS);
    EXPECT_EQ(id.Manufacturer.Data1, 0x4E1CECD2u + c.vendor);
    EXPECT_EQ(id.Product.Data1, 0xABCC5A5Eu + c.product);
    EXPECT_TRUE(IsEqualGUID(id.Component, KSCOMPONENTID_USBAUDIO));
    EXPECT_EQ(id.Name.Data1 | id.Version | id.Revision, 0u);
    Stop();
    EXPECT_EQ(port_->interface_references(), 0);
    TearDownDevice();
  }
}

TEST_F(Probe, InterfaceNumbersWithGapsAreAllFound) {
  ScopedFactories factories;
  const Bytes base = Speaker(0, 3);
  Plug(DeviceDescriptor(0x1234, 0x5678), base);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_NE(device()->Interface(1), nullptr);
  EXPECT_EQ(device()->Interface(0)->InterfaceNumber, 0);
  EXPECT_EQ(device()->Interface(1)->InterfaceNumber, 3);
  EXPECT_EQ(device()->Interface(2), nullptr);
}

TEST_F(Probe, FunctionIsChosenByProtocolModelStringAndVariant) {
  const struct {
    const char* what;
    UCHAR protocol;
    std::optional<std::u16string> at50, at32;
    std::optional<ULONG> variant;
    ULONG variantType = REG_DWORD;
    NTSTATUS status;
    std::optional<FunctionClass> function;
  } cases[] = {
      {"UAC 2.0", 0x20, {}, {}, {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac2},
      {"UAC 3.0 protocol", 0x30, {}, {}, {}, REG_DWORD, STATUS_UNSUCCESSFUL, {}},
      {"protocol 0x10", 0x10, {}, {}, {}, REG_DWORD, STATUS_UNSUCCESSFUL, {}},
      {"no model string", 0, {}, {}, {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac1},
      {"chip A units", 0, std::u16string{0x000B, 0x0005, 0x0050, u'x'}, {}, {}, REG_DWORD, STATUS_SUCCESS,
       FunctionClass::ChipA},
      {"chip A units cut short", 0, std::u16string{0x000B, 0x0005}, {}, {}, REG_DWORD, STATUS_SUCCESS,
       FunctionClass::Uac1},
      {"7403", 0, u"7403 rev B", {}, {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::ChipB},
      {"7415 at the fallback index", 0, {}, u"7415", {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::ChipC},
      {"index 0x50 wins", 0, u"7403", u"7415", {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::ChipB},
      {"shorter than the prefix", 0, u"740", {}, {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac1},
      {"QVK712 without variant", 0, u"QVK712", {}, {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac1},
      {"QVK712 variant 5", 0, u"QVK712", {}, 5, REG_DWORD, STATUS_SUCCESS, FunctionClass::ChipD},
      {"QVK712 variant 6 from the INI", 0, u"QVK712-X", {}, 6, REG_BINARY, STATUS_SUCCESS, FunctionClass::ChipD},
      {"QVK712 variant 7", 0, u"QVK712", {}, 7, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac1},
      {"QVK71", 0, u"QVK71", {}, 5, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac1},
      {"other model", 0, u"QVK710", {}, {}, REG_DWORD, STATUS_SUCCESS, FunctionClass::Uac1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    Log() = FunctionLog{};
    sim::device::DeviceProfile profile;
    if (c.at50) profile.strings[0x50] = *c.at50;
    if (c.at32) profile.strings[0x32] = *c.at32;
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker(c.protocol), profile);
    if (c.variant) {
      const ULONG v = *c.variant;
      reg::SetValue(SettingsPath(), u"ModelVariant", c.variantType,
                    std::span<const UCHAR>(reinterpret_cast<const UCHAR*>(&v), sizeof v));
    }
    EXPECT_EQ(Start(), c.status);
    if (c.function)
      EXPECT_EQ(Log().created, std::vector<FunctionClass>{*c.function});
    else
      EXPECT_TRUE(Log().created.empty());
    TearDownDevice();
  }
}

// Devices whose string descriptors claim more than they send, or an odd length: only the
// whole UTF-16 units both bLength and the transfer cover are text.
TEST_F(Probe, StringDescriptorsAreReadOnlyAsFarAsTheyCame) {
  const struct {
    const char* what;
    Bytes model;    // what the device sends for string 0x50
    Bytes product;  // and for iProduct
    FunctionClass function;
    std::u16string friendly;
  } cases[] = {
      {"bLength past the transfer", {0xFF, 3, '7', 0, '4', 0, '0', 0, '3', 0}, {0xFF, 3, 'B', 0, 'o', 0, 'x', 0},
       FunctionClass::ChipB, u"Box"},
      {"odd bLength", {9, 3, '7', 0, '4', 0, '0', 0, '3', 0}, {7, 3, 'B', 0, 'o', 0, 'x', 0}, FunctionClass::Uac1,
       u"Bo"},
      {"shorter than a prefix", {0xFF, 3, '7', 0, '4', 0}, {3, 3, ' ', 0}, FunctionClass::Uac1, u"<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    Log() = FunctionLog{};
    Plug(DeviceDescriptor(0x1234, 0x5678, 0, 2), Speaker());
    sim_->SetRequestHook([&](const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                             std::uint8_t* data) -> std::optional<platform::usb::ControlResult> {
      if (setup.bmRequestType != 0x80 || setup.bRequest != 6 || (setup.wValue >> 8) != 3) return std::nullopt;
      const Bytes* reply = (setup.wValue & 0xFF) == 0x50 ? &c.model : (setup.wValue & 0xFF) == 2 ? &c.product : nullptr;
      if (!reply) return std::nullopt;
      const ULONG n = std::min<ULONG>(static_cast<ULONG>(reply->size()), setup.wLength);
      std::memcpy(data, reply->data(), n);
      return platform::usb::ControlResult{USBD_STATUS_SUCCESS, n};
    });
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Log().created, std::vector<FunctionClass>{c.function});
    EXPECT_EQ(Text(reg::GetValue(EnumPath(), u"FriendlyName")), c.friendly);
    TearDownDevice();
  }
}

TEST_F(Probe, ClassesWithoutAFactoryRefuseToStart) {
  ScopedFactories factories({FunctionClass::Uac1});
  sim::device::DeviceProfile profile;
  profile.strings[0x50] = u"7403";
  Plug(DeviceDescriptor(0x1234, 0x5678), Speaker(), profile);
  EXPECT_EQ(Start(), STATUS_NOT_SUPPORTED);
}

TEST_F(Probe, FunctionTableRowsAreOrderedFromSpecificToGeneral) {
  ScopedFactories factories;
  const char16_t qvk[] = u"QVK712";
  EXPECT_EQ(adapter::ChooseFunction(0, qvk, 6, true, 6)->Class, FunctionClass::ChipD);
  EXPECT_EQ(adapter::ChooseFunction(0, qvk, 6, true, 38)->Class, FunctionClass::Uac1);  // no bit 38
  EXPECT_EQ(adapter::ChooseFunction(0, qvk, 5, true, 6)->Class, FunctionClass::Uac1);
  EXPECT_EQ(adapter::ChooseFunction(0, nullptr, 0, false, 0)->Class, FunctionClass::Uac1);
  EXPECT_EQ(adapter::ChooseFunction(0x20, qvk, 6, true, 6)->Class, FunctionClass::Uac2);
  EXPECT_EQ(adapter::ChooseFunction(0x01, nullptr, 0, false, 0), nullptr);
  ULONG rows = 0;
  const adapter::FunctionRow* table = adapter::FunctionTable(&rows);
  EXPECT_EQ(table[rows - 1].Class, FunctionClass::Uac1);  // the catch-all comes last
}

TEST_F(Probe, DeviceStringsGoToTheEnumKey) {
  const std::u16string longName(60, u'n');
  const struct {
    const char* what;
    USHORT vendor, product;
    UCHAR iManufacturer, iProduct;
    std::u16string manufacturer, product_;
    std::u16string mfg, friendly;  // what the Enum key holds afterwards
  } cases[] = {
      {"both", 0x1234, 0x5678, 1, 2, u"Maker", u"Speaker  ", u"Maker", u"Speaker"},
      {"no product string", 0x1234, 0x5678, 1, 0, u"Maker", u"", u"Maker", u"<none>"},
      {"maker whose names are not used", 0x0E7A, 0x0012, 1, 2, u"Maker", u"Box", u"<none>", u"Box"},
      {"maker's product that is named", 0x0E7A, 0x0067, 1, 2, u"Maker", u"Box", u"Maker", u"Box"},
      {"long name", 0x1234, 0x5678, 0, 2, u"", longName, u"<none>", longName.substr(0, 49)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    sim::device::DeviceProfile profile;
    if (c.iManufacturer) profile.strings[c.iManufacturer] = c.manufacturer;
    if (c.iProduct) profile.strings[c.iProduct] = c.product_;
    Plug(DeviceDescriptor(c.vendor, c.product, c.iManufacturer, c.iProduct), Speaker(), profile);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Text(reg::GetValue(EnumPath(), u"Mfg")), c.mfg);
    EXPECT_EQ(Text(reg::GetValue(EnumPath(), u"FriendlyName")), c.friendly);
    TearDownDevice();
  }
}

TEST_F(Probe, AsioDefaultsComeFromSettingsWithinRange) {
  const struct {
    const char* what;
    std::optional<ULONG> depth, latency, rate;
    ULONG type, latencyIndex, sampleRate;
  } cases[] = {
      {"defaults", {}, {}, {}, 16, 4, 48000},
      {"stored", 25, 8, 96000, 25, 8, 96000},
      {"out of range", 19, 9, 999, 16, 4, 48000},
      {"lowest rate", 27, 0, 1000, 27, 0, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    if (c.depth) reg::SetDword(SettingsPath(), u"ASIOMLDataBitDepth", *c.depth);
    if (c.latency) reg::SetDword(SettingsPath(), u"ASIOMLDataLatency", *c.latency);
    if (c.rate) reg::SetDword(SettingsPath(), u"ASIOMLSampleRate", *c.rate);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(device()->AsioSampleType(), c.type);
    EXPECT_EQ(device()->AsioLatencyIndex(), c.latencyIndex);
    EXPECT_EQ(device()->AsioSampleRate(), c.sampleRate);
    TearDownDevice();
  }
}

TEST_F(Probe, AsioSampleTypeDefaultsByModelForAsioEndpoints) {
  const struct {
    USHORT vendor, product;
    ULONG featureFlags;
    ULONG type;
    bool written;
  } cases[] = {
      {0x0B05, 0x17F3, adapter::ENDPOINT_FEATURE_ASIO, 17, true},
      {0x1043, 0x8593, adapter::ENDPOINT_FEATURE_ASIO, 27, true},
      {0x1234, 0x5678, adapter::ENDPOINT_FEATURE_ASIO, 16, false},
      {0x0B05, 0x17F3, 0, 16, false},  // no ASIO endpoint
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product << " flags " << c.featureFlags);
    ScopedFactories factories;
    Log() = FunctionLog{};
    Log().featureFlags = c.featureFlags;
    Log().engines = 2;
    Plug(DeviceDescriptor(c.vendor, c.product), Speaker());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(device()->GetEngineCount(), 2u);
    EXPECT_EQ(device()->AsioSampleType(), c.type);
    EXPECT_EQ(reg::GetValue(SettingsPath(), u"ASIOMLDataBitDepth").has_value(), c.written);
    TearDownDevice();
  }
}

TEST_F(Probe, InterfacesOfTheAggregateAndItsLifetime) {
  for (bool answers : {true, false}) {
    SCOPED_TRACE(answers);
    ScopedFactories factories;
    Log() = FunctionLog{};
    Log().answerUacFunction = answers;
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PVOID itf = nullptr;
    EXPECT_EQ(hal_->QueryInterface(adapter::IID_IUacFunction, &itf), answers ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    if (itf) static_cast<PUNKNOWN>(itf)->Release();
    for (const GUID* iid : {&adapter::IID_IUsbAudioDevice, &IID_IAdapterPowerManagement, &IID_IUnknown}) {
      ASSERT_EQ(hal_->QueryInterface(*iid, &itf), STATUS_SUCCESS);
      static_cast<PUNKNOWN>(itf)->Release();
    }
    ASSERT_EQ(hal_->QueryInterface(adapter::IID_IAsioPrivate, &itf), STATUS_SUCCESS);
    static_cast<adapter::IAsioPrivate*>(itf)->Release();
    // The function's interfaces hold no reference of their own: one Release ends both.
    EXPECT_EQ(hal_->AddRef(), 2u);
    EXPECT_EQ(hal_->Release(), 1u);
    TearDownDevice();  // the fixture's leak check sees the function go with the device
  }
}

TEST_F(Probe, TimerResolutionIsHeldWhileTheDeviceLives) {
  ScopedFactories factories;
  Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(platform::clock::TimerResolution(), adapter::kDeviceTimerResolution);
  Stop();
  const auto calls = platform::clock::TimerResolutionCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].desiredTime, 10000u);
  EXPECT_TRUE(calls[0].set);
  EXPECT_FALSE(calls[1].set);
}

TEST_F(Probe, SelectiveSuspendSwitchIsReadFromDeviceParameters) {
  for (ULONG value : {0u, 1u}) {
    ScopedFactories factories;
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    reg::SetDword(ParametersPath(), u"SelectiveSuspendEnabled", value);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(device()->SelectiveSuspendEnabled(), value != 0);
    EXPECT_EQ(device()->RequestsInProgress(), 1);
    TearDownDevice();  // cancels the selective-suspend clock
  }
}

TEST_F(Probe, AllocationFailuresDuringStartLeaveNothingBehind) {
  ScopedFactories factories;
  Log().engines = 2;
  Log().featureFlags = adapter::ENDPOINT_FEATURE_ASIO;
  Plug(DeviceDescriptor(0x0B05, 0x17F3), Speaker());
  const std::uint64_t allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    adapter::IAudioHal* hal = nullptr;
    sweep.Arm();
    NTSTATUS status = adapter::CreateUsbAudioDevice(&hal);
    if (NT_SUCCESS(status)) status = hal->Init(nullptr, fdo_, lower_, port_->pdo());
    sweep.Disarm();
    if (hal) hal->Release();
    platform::clock::Settle();
    (void)status;  // failures of optional steps (strings, Settings) still start the device
  });
  EXPECT_GT(allocations, 10u);
  EXPECT_EQ(port_->interface_references(), 0);
}

}  // namespace
}  // namespace usb_device_test
