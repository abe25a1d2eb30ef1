// CChipAFunction through the root USB device object on the simulated bus, with the
// synthetic chip A device and a chip-register model on its HID interface: the switch table
// per device row (with and without the chip values), the capability records, the register
// traffic of the probe and of every return to D0, WriteChipRegister's masking, the
// trimmed model the builders make, descriptors off the fixed layout, and an allocation
// failure sweep over the start.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "chip_a_device.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "sim/device/chip_registers.h"
#include "stream/usb_stream_engine.h"
#include "uac/chip_a_function.h"
#include "uac/function_classes.h"
#include "uac/stream_engine_factory.h"
#include "usb_device_fixture.h"

namespace {

namespace reg = platform::registry;
using chip_a_test::Bytes;
using sim::device::ChipRegisters;

constexpr UCHAR kVendorIn = 0xC3;  // device-to-host, vendor, recipient other
constexpr char16_t kChipAModel[] = {0x000B, 0x0005, 0x0050, u'A', 0};

class ChipAFunctionTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, nullptr);
    savedUac1_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::GetStreamEngineFactory();
    stream::RegisterEngineFactories();
    file_ = chip_a_test::LoadChipADevice();
    ASSERT_FALSE(file_.config.empty());
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, saved_);
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, savedUac1_);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  static sim::device::DeviceProfile Profile() {
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = kChipAModel;
    return profile;
  }

  // Plugs the chip A device (or other descriptors) with its chip values and registers.
  void PlugChipA(USHORT vendor = 0x1234, USHORT product = 0x5678, bool values = true, Bytes config = {},
                 bool registers = true) {
    Plug(chip_a_test::WithIds(file_.device, vendor, product), config.empty() ? file_.config : config, Profile());
    if (values) {
      sim_->SetVendorData(kVendorIn, 0x81, 0, 9, {0x9F});
      sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});
    }
    if (registers) chip_.Install(*sim_);
  }

  void SetSwitch(const char16_t* name, ULONG value) { reg::SetDword(SettingsPath(), name, value); }

  uac::CChipAFunction* function() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CChipAFunction*>(static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf)));
    f->Release();
    return f;
  }

  std::set<std::string> SetSwitches() {
    std::set<std::string> names;
    for (ULONG i = 0; i < uac::CHIPA_SWITCH_COUNT; ++i) {
      if (!function()->Switches().Value[i]) continue;
      const char16_t* n = uac::ChipASwitchSetting(static_cast<uac::ChipASwitch>(i)).Name;
      names.insert(std::string(n, n + std::char_traits<char16_t>::length(n)));
    }
    return names;
  }

  std::vector<ULONG> UnitIds() {
    std::vector<ULONG> ids;
    for (ULONG i = 0; function() && i < function()->GetUnitCount(); ++i) {
      adapter::IUacEntity* e = nullptr;
      if (NT_SUCCESS(function()->GetUnit(i, &e))) ids.push_back(e->GetId());
    }
    return ids;
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

  chip_a_test::DeviceFile file_;
  ChipRegisters chip_{3, {0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666}};
  adapter::FunctionFactory saved_ = nullptr;
  adapter::FunctionFactory savedUac1_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

TEST_F(ChipAFunctionTest, StartsWithTheTrimmedModel) {
  PlugChipA();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_NE(function(), nullptr);
  EXPECT_TRUE(function()->Trimmed());
  EXPECT_STREQ(function()->GetClassName(), "USB Audio Class 1.0, chip class A");
  // Descriptor order of the trimmed descriptor: no stereo-mix unit (6) nor its record unit
  // (2), the selector rebuilt over 8, 15 and 16.
  EXPECT_EQ(UnitIds(), (std::vector<ULONG>{1, 5, 8, 9, 10, 13, 3, 7, 14, 12, 15, 11, 4, 16}));
  adapter::IUacEntity* selector = nullptr;
  ASSERT_EQ(function()->FindEntityById(14, &selector), STATUS_SUCCESS);
  ULONG count = 0;
  const ULONG* sources = nullptr;
  ASSERT_EQ(selector->GetSources(&count, &sources), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(sources, sources + count), (std::vector<ULONG>{8, 15, 16}));
  EXPECT_EQ(hal_->GetEngineCount(), 2u);
  // The last device row disables 8-channel output: the 8-channel setting is gone and the
  // mixer and render feature unit are rebuilt for 6 channels.
  const auto* config = reinterpret_cast<const UCHAR*>(device()->GetConfigurationDescriptor());
  EXPECT_EQ(config[2] | config[3] << 8, 485 - 46 - 4 - 2);
}

struct RowCase {
  const char* name;
  USHORT vendor, product;
  bool values;
  std::set<std::string> switches;  // set after the probe (the trimming's derived ones too)
  ULONG mask;
  bool jackPolling;
  USHORT register1;
};

const std::set<std::string> kDefaultSwitches = {"DisableStereoMixRecUnit", "SupportHPOut", "SupportSpdifOut"};

const RowCase kRows[] = {
    {"FirstRow", 0x1E7D, 0x3750, true,
     {"DisableLineInRecUnit", "DisableStereoMixRecUnit", "DisableSpdifInTerminal", "Disable4ChOutSupported",
      "Disable8ChOutSupported"},
     0x3E0084, true, 0x3032},
    {"FirstRowWithoutValues", 0x1E7D, 0x3750, false, kDefaultSwitches, 0x3FE00F, false, 0x3002},
    {"SecondRow", 0x5131, 0x001C, true,
     {"DisableStereoMixRecUnit", "DisableSpdifInTerminal", "Disable8ChOutSupported", "Disable2ChOutSupported",
      "Disable4ChOutSupported"},
     0, false, 0x3002},
    {"SecondRowWithoutValues", 0x5131, 0x001C, false, kDefaultSwitches, 0x3FE00F, false, 0x3002},
    // Its microphone record unit carries the gain switch, restored off (bits 4-5 = 0x30).
    {"ThirdRowNeedsNoValues", 0x28DA, 0x268E, false,
     {"DisableLineInTerminal", "DisableSpdifInTerminal", "DisableLineInRecUnit", "DisableLineInAAUnit",
      "DisableStereoMixRecUnit"},
     0x3E09F, false, 0x3032},
    {"FourthRow", 0x0E7A, 0x0053, true,
     {"Disable8ChOutSupported", "DisableLineInTerminal", "DisableSpdifInTerminal", "DisableLineInRecUnit",
      "DisableLineInAAUnit", "DisableStereoMixRecUnit"},
     0x3FE00F, false, 0x3002},
    {"FourthRowWithoutValues", 0x0E7A, 0x0053, false, kDefaultSwitches, 0x3FE00F, false, 0x3002},
    {"AnyOtherDevice", 0x1234, 0x5678, true,
     {"DisableStereoMixRecUnit", "SupportHPOut", "SupportSpdifOut", "Disable8ChOutSupported"}, 0x3FE00F, false,
     0x3002},
    {"AnyOtherDeviceWithoutValues", 0x1234, 0x5678, false, kDefaultSwitches, 0x3FE00F, false, 0x3002},
};

class ChipADeviceRows : public ChipAFunctionTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(ChipADeviceRows, ForceSwitchesAndFillTheCapabilityTemplate) {
  const RowCase& c = GetParam();
  PlugChipA(c.vendor, c.product, c.values);
  if (!c.values) sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x02});  // read, but not the row's value
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(SetSwitches(), c.switches);
  adapter::EndpointCapabilityRecord t{};
  ASSERT_EQ(function()->GetCapabilityTemplate(&t), STATUS_SUCCESS);
  EXPECT_EQ(t.CapabilityMask, c.mask);
  EXPECT_EQ(t.SecondValue, 0u);
  EXPECT_EQ(t.FeatureFlags, 0u);
  EXPECT_EQ(function()->JackPolling(), c.jackPolling);
  EXPECT_EQ(function()->Register(1).Value, c.register1);
  EXPECT_EQ(chip_.value(1), c.register1);  // written by the probe's rewrite
}

INSTANTIATE_TEST_SUITE_P(Rows, ChipADeviceRows, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChipAFunctionTest, SwitchesComeFromSettingsAndTwoChannelOffTurnsBothOutputsOff) {
  PlugChipA();
  SetSwitch(u"Disable2ChOutSupported", 1);
  SetSwitch(u"SupportHPOut", 1);
  SetSwitch(u"SupportSpdifOut", 7);
  SetSwitch(u"DisableStereoMixRecUnit", 0);
  const NTSTATUS status = Start();
  ASSERT_EQ(status, STATUS_SUCCESS) << (function() ? function()->GetDescriptorFault(nullptr, nullptr) : "");
  EXPECT_EQ(SetSwitches(), (std::set<std::string>{"Disable2ChOutSupported", "Disable8ChOutSupported"}));
  // The stereo mix is back: units 6 and 2 are built.
  const auto ids = UnitIds();
  EXPECT_NE(std::find(ids.begin(), ids.end(), 6u), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), 2u), ids.end());
}

TEST_F(ChipAFunctionTest, SixAndEightChannelOutputBothDisabledFailsTheStart) {
  PlugChipA();
  SetSwitch(u"Disable6ChOutSupported", 1);
  EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);  // the device's row disables 8 channels
  ASSERT_NE(function(), nullptr);
  EXPECT_NE(std::string(function()->GetDescriptorFault(nullptr, nullptr)).find("Disable6ChOutSupported"),
            std::string::npos);
}

TEST_F(ChipAFunctionTest, FailedSecondChipValueFailsTheProbeAndTheFirstIsIgnored) {
  PlugChipA(0x1234, 0x5678, false);
  sim_->SetVendorData(kVendorIn, 0x81, 0, 8, {0x03});  // index 9 stalls
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(function()->R9(), 0);
  EXPECT_EQ(function()->R8(), 3);
  TearDownDevice();
  PlugChipA(0x1234, 0x5678, false);
  sim_->SetVendorData(kVendorIn, 0x81, 0, 9, {0x9F});  // index 8 stalls
  EXPECT_FALSE(NT_SUCCESS(Start()));
}

// The probe's rewrite: register 5's two top bits cleared, 1 ms later set, then registers 0
// to 4 with their cached values; the same again on the return from D3 to D0. The render
// output terminal writes its speaker kind's registers as it is built (before the rewrite),
// and its kind node restores them with the other entities, at the start and at D0.
TEST_F(ChipAFunctionTest, RegistersArePulsedAndRewrittenAtProbeAndOnEveryReturnToD0) {
  PlugChipA();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  auto expectKind = [&](const std::vector<ChipRegisters::Write>& w, size_t at) {
    ASSERT_GE(w.size(), at + 3);
    EXPECT_EQ(w[at].reg, 2);
    EXPECT_EQ(w[at].value, 0xE000);
    EXPECT_EQ(w[at + 1].reg, 1);
    EXPECT_EQ(w[at + 1].value, 0x3002);
    EXPECT_EQ(w[at + 2].reg, 0);
    EXPECT_EQ(w[at + 2].value, 0x2004);
  };
  auto expectRewrite = [&](const std::vector<ChipRegisters::Write>& w, size_t at) {
    ASSERT_GE(w.size(), at + 7);
    EXPECT_EQ(w[at].reg, 5);
    EXPECT_EQ(w[at].value, 0x0000);  // 0x3000 cached, bits 0x3000 cleared
    EXPECT_EQ(w[at + 1].reg, 5);
    EXPECT_EQ(w[at + 1].value, 0x3000);
    EXPECT_GE(w[at + 1].time - w[at].time, 10000);  // at least 1 ms of virtual time apart
    // The 1 ms delay ends on a clock tick (15.625 ms unless a finer resolution is set),
    // and the write after it takes a bus frame or two.
    EXPECT_LT(w[at + 1].time - w[at].time, 10000 + 156250 + 2 * 10000);
    const USHORT cached[] = {0x2004, 0x3002, 0xE000, 0x143F, 0x0000};
    for (UCHAR r = 0; r < 5; ++r) {
      EXPECT_EQ(w[at + 2 + r].reg, r);
      EXPECT_EQ(w[at + 2 + r].value, cached[r]);
      EXPECT_EQ(function()->Register(r).Flags, uac::kChipARegisterRestore);
    }
  };
  auto writes = chip_.writes();
  ASSERT_EQ(writes.size(), 13u);
  expectKind(writes, 0);
  expectRewrite(writes, 3);
  expectKind(writes, 10);
  chip_.ClearWrites();
  PowerTo(PowerDeviceD3);
  EXPECT_TRUE(chip_.writes().empty());
  PowerTo(PowerDeviceD0);
  writes = chip_.writes();
  ASSERT_EQ(writes.size(), 10u);
  expectRewrite(writes, 0);
  expectKind(writes, 7);
  chip_.ClearWrites();
  PowerTo(PowerDeviceD0);  // already in D0: nothing
  EXPECT_TRUE(chip_.writes().empty());
}

// On the chip's own layout the render output terminal writes its kind over register 2's
// default before the rewrite; with that terminal under another identifier (a plain class
// terminal, which writes no register) the rewrite sends the default itself.
TEST_F(ChipAFunctionTest, RegisterTwoDefaultReachesTheChipWithoutTheRenderTerminal) {
  constexpr size_t kRenderOutput = 113;
  Bytes config = file_.config;
  ASSERT_EQ(config[kRenderOutput + 2], 3);  // an output terminal
  ASSERT_EQ(config[kRenderOutput + 3], 3);
  config[kRenderOutput + 3] = 0x13;
  PlugChipA(0x1234, 0x5678, true, config);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto writes = chip_.writes();
  ASSERT_EQ(writes.size(), 7u);  // the pulse of register 5, then registers 0 to 4
  const USHORT defaults[] = {0x2004, 0x3002, 0xF800, 0x143F, 0x0000};
  for (UCHAR r = 0; r < 5; ++r) {
    EXPECT_EQ(writes[2 + r].reg, r);
    EXPECT_EQ(writes[2 + r].value, defaults[r]);
  }
  EXPECT_EQ(function()->Register(2).Value, 0xF800);
}

TEST_F(ChipAFunctionTest, WriteChipRegisterMasksAgainstTheCache) {
  PlugChipA();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  chip_.ClearWrites();
  sim_->ClearControlLog();
  struct Case {
    ULONG reg;
    USHORT value, mask;
    NTSTATUS status;
    bool sent;
    USHORT expected;  // in the cache and on the chip
  };
  const Case cases[] = {
      {2, 0x00AB, 0x00FF, STATUS_SUCCESS, true, 0xE0AB},  // the speaker kind left 0xE000
      {2, 0x1234, 0xFFFF, STATUS_SUCCESS, true, 0x1234},
      {2, 0xFFFF, 0x0F00, STATUS_SUCCESS, true, 0x1F34},
      {2, 0xFFFF, 0x0000, STATUS_SUCCESS, false, 0x1F34},
      {6, 0xFFFF, 0xFFFF, STATUS_UNSUCCESSFUL, false, 0},
      {255, 0xFFFF, 0xFFFF, STATUS_UNSUCCESSFUL, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reg * 0x10000 + c.mask);
    sim_->ClearControlLog();
    EXPECT_EQ(function()->WriteChipRegister(c.reg, c.value, c.mask), c.status);
    const auto log = sim_->control_log();
    ASSERT_EQ(log.size(), c.sent ? 1u : 0u);
    if (!c.sent) continue;
    EXPECT_EQ(log[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(log[0].setup.bRequest, 0x09);
    EXPECT_EQ(log[0].setup.wValue, 0x0200);
    EXPECT_EQ(log[0].setup.wIndex, 3);
    EXPECT_EQ(log[0].data, (std::vector<std::uint8_t>{0x20, static_cast<UCHAR>(c.expected),
                                                      static_cast<UCHAR>(c.expected >> 8), static_cast<UCHAR>(c.reg)}));
    EXPECT_EQ(function()->Register(c.reg).Value, c.expected);
    EXPECT_EQ(chip_.value(static_cast<UCHAR>(c.reg)), c.expected);
  }
}

// The Part's register writes need the chip's HID interface: without an answer on it the
// start fails with the write's status.
TEST_F(ChipAFunctionTest, NoRegisterAnswerFailsTheStart) {
  PlugChipA(0x1234, 0x5678, true, {}, false);
  EXPECT_FALSE(NT_SUCCESS(Start()));
}

// A chip A model string on descriptors that are not the fixed layout: nothing trimmed,
// the descriptor as the device sent it, the model built from it.
TEST_F(ChipAFunctionTest, DescriptorOffTheLayoutIsBuiltUntrimmed) {
  Bytes shifted = file_.config;
  shifted.insert(shifted.begin() + 40, {3, 0x24, 0xF0});  // an unknown descriptor the walk skips
  shifted[2] = static_cast<UCHAR>(shifted.size());
  shifted[3] = static_cast<UCHAR>(shifted.size() >> 8);
  shifted[23] += 3;
  const std::pair<const char*, Bytes> inputs[] = {
      {"shifted", shifted},
      {"speaker", usb_device_test::Speaker()},
  };
  for (const auto& [name, config] : inputs) {
    SCOPED_TRACE(name);
    PlugChipA(0x1234, 0x5678, true, config);
    const NTSTATUS status = Start();
    ASSERT_NE(function(), nullptr);
    EXPECT_FALSE(function()->Trimmed());
    const auto* held = reinterpret_cast<const UCHAR*>(device()->GetConfigurationDescriptor());
    EXPECT_EQ(Bytes(held, held + config.size()), config);
    if (std::string(name) == "speaker") {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    TearDownDevice();
  }
}

TEST_F(ChipAFunctionTest, SharedDeviceFilesWithTheChipAModelAreNotTrimmed) {
  for (const char* dump : {"uac1-headset-A.txt", "uac1-speaker-A.txt", "uac1-soundcard-D.txt",
                           "uac1-webcam-mic-A.txt", "uac1-djmixer-A.txt"}) {
    SCOPED_TRACE(dump);
    Plug(dump, Profile());
    chip_.Install(*sim_);
    const auto original = sim_->Configuration();
    Start();
    ASSERT_NE(function(), nullptr);
    EXPECT_FALSE(function()->Trimmed());
    const auto* held = reinterpret_cast<const UCHAR*>(device()->GetConfigurationDescriptor());
    EXPECT_EQ(Bytes(held, held + original.size()), Bytes(original.begin(), original.end()));
    TearDownDevice();
  }
}

// Every allocation of the chip A probe and of the trimming (the chip's own tag and the
// probe's request blocks) failed in turn: a failure status or a started device, never a
// leak.
TEST_F(ChipAFunctionTest, AllocationFailureSweepLeavesNoLeak) {
  for (ULONG tag : {uac::kChipATag, uac::kProbeBufferTag}) {
    ULONG failures = 0;
    for (std::uint64_t nth = 1; nth < 64; ++nth) {
      SCOPED_TRACE(nth);
      PlugChipA();
      platform::pool::LeakScope leaks;
      NTSTATUS status;
      std::uint64_t injected;
      {
        platform::pool::ScopedFaultInjection faults;
        const std::uint64_t before = platform::pool::InjectedFailures();
        EXPECT_EQ(adapter::CreateUsbAudioDevice(&hal_), STATUS_SUCCESS);
        platform::pool::FailNthAllocation(nth, tag);
        status = hal_->Init(nullptr, fdo_, lower_, port_->pdo());
        injected = platform::pool::InjectedFailures() - before;
      }
      TearDownDevice();
      EXPECT_TRUE(leaks.Check());
      if (!injected) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        break;
      }
      if (!NT_SUCCESS(status)) ++failures;
    }
    EXPECT_GT(failures, 0u);
  }
}

}  // namespace
