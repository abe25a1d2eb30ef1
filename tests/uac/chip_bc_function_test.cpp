// CChipBFunction and CChipCFunction through the root USB device object on the simulated
// bus, with the synthetic chip B/C device (tests/uac/testdata): the class the model string
// chooses, the capability records of both probes, the unit class each feature unit gets,
// chip C's headphone terminal, the single-node terminals, and the starts the builders
// refuse.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/registry.h"
#include "stream/usb_stream_engine.h"
#include "uac/chip_bc_function.h"
#include "uac/chip_bc_terminals.h"
#include "uac/function_classes.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_units.h"
#include "usb_device_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct DeviceFile {
  Bytes device;
  Bytes config;
};

Bytes HexBytes(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) out.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
  return out;
}

Bytes WithIds(Bytes device, USHORT vendor, USHORT product) {
  device[8] = static_cast<unsigned char>(vendor);
  device[9] = static_cast<unsigned char>(vendor >> 8);
  device[10] = static_cast<unsigned char>(product);
  device[11] = static_cast<unsigned char>(product >> 8);
  return device;
}

constexpr const char16_t* kChipBModel = u"7403-SIM";
constexpr const char16_t* kChipCModel = u"7415-SIM";

// Offsets in the synthetic configuration.
constexpr size_t kOutputTerminal6 = 70;

DeviceFile LoadDevice(const char* path) {
  DeviceFile file;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("DEVICE:", 0) == 0) file.device = HexBytes(line.substr(7));
    if (line.rfind("CONFIG_RAW:", 0) == 0) file.config = HexBytes(line.substr(11));
  }
  return file;
}

class ChipBcFunctionTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    for (auto cls : {adapter::FunctionClass::ChipB, adapter::FunctionClass::ChipC, adapter::FunctionClass::Uac1})
      saved_.push_back(adapter::SetFunctionFactory(cls, nullptr));
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::GetStreamEngineFactory();
    stream::RegisterEngineFactories();
    file_ = LoadDevice(UA_CHIP_BC_DEVICE_FILE);
    ASSERT_FALSE(file_.config.empty());
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    int i = 0;
    for (auto cls : {adapter::FunctionClass::ChipB, adapter::FunctionClass::ChipC, adapter::FunctionClass::Uac1})
      adapter::SetFunctionFactory(cls, saved_[i++]);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  NTSTATUS StartChip(const char16_t* model, USHORT vendor = 0x1B1C, USHORT product = 0x0A07, Bytes config = {}) {
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = model;
    Plug(WithIds(file_.device, vendor, product), config.empty() ? file_.config : config, profile);
    return Start();
  }

  uac::CChipBcFunction* function() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunctionDescription, &itf))) return nullptr;
    auto* description = static_cast<adapter::IUacFunctionDescription*>(itf);
    auto* f = dynamic_cast<uac::CChipBcFunction*>(description);
    description->Release();
    return f;
  }
  uac::CUacUnit* Unit(ULONG id) {
    adapter::IUacEntity* e = nullptr;
    if (!function() || !NT_SUCCESS(function()->FindEntityById(id, &e))) return nullptr;
    return dynamic_cast<uac::CUacUnit*>(e);
  }
  USHORT Terminal6Type() {
    const auto* config = reinterpret_cast<const UCHAR*>(device()->GetConfigurationDescriptor());
    return static_cast<USHORT>(config[kOutputTerminal6 + 4] | config[kOutputTerminal6 + 5] << 8);
  }

  DeviceFile file_;
  std::vector<adapter::FunctionFactory> saved_;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

TEST_F(ChipBcFunctionTest, TheModelStringChoosesTheClassAndTheProbeItsTemplate) {
  struct Case {
    const char16_t* model;
    USHORT vendor, product;
    const char* className;
    ULONG mask, second;
  } cases[] = {
      {kChipBModel, 0x1B1C, 0x0A07, "USB Audio Class 1.0, chip class B", 0x3FE02F, 12},
      {kChipBModel, 0x1234, 0x5678, "USB Audio Class 1.0, chip class B", 0x3FE02F, 12},
      {kChipBModel, 0x1B1C, 0x0A06, "USB Audio Class 1.0, chip class B", 0x3FE02F, 12},
      {kChipCModel, 0x1B1C, 0x0A06, "USB Audio Class 1.0, chip class C", 0x24, 0},
      {kChipCModel, 0x1B1C, 0x0A07, "USB Audio Class 1.0, chip class C", 0x0F, 0},
      {kChipCModel, 0x1234, 0x0A06, "USB Audio Class 1.0, chip class C", 0x0F, 0},
      {u"7415", 0x1234, 0x5678, "USB Audio Class 1.0, chip class C", 0x0F, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product << " " << c.className);
    ASSERT_EQ(StartChip(c.model, c.vendor, c.product), STATUS_SUCCESS);
    ASSERT_NE(function(), nullptr);
    EXPECT_STREQ(function()->GetClassName(), c.className);
    EXPECT_EQ(function()->GetCapabilityTemplate().CapabilityMask, c.mask);
    EXPECT_EQ(function()->GetCapabilityTemplate().SecondValue, c.second);
    EXPECT_EQ(function()->GetCapabilityTemplate().FeatureFlags, 0u);
    // Each engine's record carries the template.
    adapter::EndpointCapabilityRecord record{};
    for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
      ASSERT_EQ(hal_->GetEngineCapabilityRecord(i, &record), STATUS_SUCCESS);
      EXPECT_EQ(record.CapabilityMask, c.mask);
      EXPECT_EQ(record.SecondValue, c.second);
    }
    // Neither chip answers IUacFunction, not even through the device.
    PVOID itf = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(hal_->QueryInterface(adapter::IID_IUacFunction, &itf), STATUS_INVALID_PARAMETER);
    TearDownDevice();
  }
}

// Units 11, 12 and 14 are chip units on chip B and UAC 1.0 units on chip C; 9, 10 and 13
// are chip units on both; the terminals are the chips' single-node ones.
TEST_F(ChipBcFunctionTest, FeatureUnitsGetTheirChipsClassByIdentifier) {
  struct Case {
    ULONG id;
    const uac::ChipLevelScale* b;  // null: a UAC 1.0 feature unit
    const uac::ChipLevelScale* c;
  } cases[] = {
      {9, &uac::ChipBUnit9Scale(), &uac::ChipCUnit9Scale()},   {10, &uac::ChipBUnit10Scale(), &uac::ChipCUnit10Scale()},
      {11, &uac::ChipBUnit10Scale(), nullptr},                 {12, &uac::ChipBUnit10Scale(), nullptr},
      {13, &uac::ChipBUnit13Scale(), &uac::ChipCUnit13Scale()}, {14, &uac::ChipBUnit13Scale(), nullptr},
  };
  for (bool chipB : {true, false}) {
    ASSERT_EQ(StartChip(chipB ? kChipBModel : kChipCModel), STATUS_SUCCESS);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (chipB ? "chip B" : "chip C") << " unit " << c.id);
      uac::CUacUnit* unit = Unit(c.id);
      ASSERT_NE(unit, nullptr);
      const uac::ChipLevelScale* expected = chipB ? c.b : c.c;
      auto* chip = dynamic_cast<uac::CChipFeatureUnit*>(unit);
      if (!expected) {
        EXPECT_EQ(chip, nullptr);
        EXPECT_NE(dynamic_cast<uac::CUac1FeatureUnit*>(unit), nullptr);
        continue;
      }
      ASSERT_NE(chip, nullptr);
      // The class shows in its fixed volume range.
      LONG maximum = 0, minimum = 0, step = 0;
      ASSERT_EQ(chip->GetRange(uac::FU_VOLUME, &maximum, &minimum, &step), STATUS_SUCCESS);
      EXPECT_EQ(maximum, expected->Maximum);
      EXPECT_EQ(minimum, expected->Minimum);
      EXPECT_EQ(step, expected->Step);
      EXPECT_EQ(chip->Function(), static_cast<adapter::CAudioHal*>(function()));
    }
    // Single-node terminals: one node each, no terminal-kind node, nothing saved.
    for (ULONG id : {1u, 2u, 6u, 7u}) {
      uac::CUacUnit* terminal = Unit(id);
      ASSERT_NE(terminal, nullptr) << id;
      const bool input = id < 3;
      EXPECT_NE(input ? static_cast<void*>(dynamic_cast<uac::CChipInputTerminal*>(terminal))
                      : static_cast<void*>(dynamic_cast<uac::CChipOutputTerminal*>(terminal)),
                nullptr)
          << id;
      ASSERT_EQ(terminal->GetNodeCount(), 1u) << id;
      EXPECT_EQ(terminal->GetNode(0)->GetType(), input ? adapter::NODE_INPUT_TERMINAL : adapter::NODE_OUTPUT_TERMINAL);
    }
    EXPECT_FALSE(platform::registry::GetValue(SettingsPath(), u"UACUnit6").has_value());
    TearDownDevice();
  }
}

// Output terminal 6 of type speaker is headphones on chip C devices of the one vendor,
// whatever the product; chip B, and other vendors, keep the speaker.
TEST_F(ChipBcFunctionTest, ChipCsTerminalSixIsHeadphonesForItsVendor) {
  struct Case {
    const char16_t* model;
    USHORT vendor, product;
    USHORT type;
    ULONG endpointType;
  } cases[] = {
      {kChipCModel, 0x1B1C, 0x0A07, 0x0302, 2}, {kChipCModel, 0x1B1C, 0x0A06, 0x0302, 2},
      {kChipCModel, 0x1B1C, 0x1234, 0x0302, 2}, {kChipCModel, 0x1B1D, 0x0A07, 0x0301, 1},
      {kChipBModel, 0x1B1C, 0x0A07, 0x0301, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product << " type " << c.type);
    ASSERT_EQ(StartChip(c.model, c.vendor, c.product), STATUS_SUCCESS);
    EXPECT_EQ(Terminal6Type(), c.type);
    adapter::IStreamEngine* engine = nullptr;
    ASSERT_EQ(hal_->GetEngine(0, &engine), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetEndpointType(), c.endpointType);
    ULONG kind = 0;
    auto* terminal = dynamic_cast<adapter::ITerminalNode*>(Unit(6));
    ASSERT_NE(terminal, nullptr);
    EXPECT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
    EXPECT_EQ(kind, c.endpointType);
    TearDownDevice();
  }
}

// The starts the builders refuse, with the status the Parts give, and nothing left behind.
TEST_F(ChipBcFunctionTest, MalformedFeatureUnitsRefuseTheStart) {
  // Feature unit 9 is the 10-byte descriptor after input terminal 1.
  constexpr size_t kUnit9 = 40;
  ASSERT_EQ(file_.config[kUnit9 + 2], 6);
  ASSERT_EQ(file_.config[kUnit9 + 3], 9);
  struct Case {
    const char* what;
    size_t at;
    UCHAR value;
    NTSTATUS status;
  } cases[] = {
      {"bControlSize 0", kUnit9 + 5, 0, STATUS_UNSUCCESSFUL},
      {"no mute", kUnit9 + 6, 0, STATUS_INSUFFICIENT_RESOURCES},
      {"a processing unit", kUnit9 + 2, 7, STATUS_UNSUCCESSFUL},
  };
  for (const char16_t* model : {kChipBModel, kChipCModel}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      Bytes config = file_.config;
      config[c.at] = c.value;
      EXPECT_EQ(StartChip(model, 0x1B1C, 0x0A07, config), c.status);
      TearDownDevice();
    }
  }
}

}  // namespace
