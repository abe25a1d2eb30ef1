// The UAC 1.0 builder and terminals at their edges: two units with one ID, an output
// terminal whose jack list or status read comes back incomplete, and a specific reason
// for every refusal the validation and the builder give.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "adapter/endpoint_type.h"
#include "uac/function_classes.h"
#include "uac/uac1_function.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using sim::device::SimDevice;
using usb_device_test::Configuration;
using usb_device_test::DeviceDescriptor;
using usb_device_test::Interface;

constexpr USHORT kMute = 1 << 0, kVolume = 1 << 1;
const Bytes kInput = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
const Bytes kHeadphones = {9, 0x24, 3, 9, 0x02, 0x03, 0, 2, 0};

// An Audio Control interface with the given class-specific pieces after an 8-byte header,
// and no streaming interface.
Bytes ControlBlock(const std::vector<Bytes>& pieces) {
  std::vector<Bytes> all = {Interface(0, 0, 0, 1, 1), Bytes{8, 0x24, 1, 0x00, 0x01, 0, 0, 0}};
  all.insert(all.end(), pieces.begin(), pieces.end());
  return Configuration(all);
}

// The real UAC 1.0 function on a simulated device, with its refusal readable afterwards.
class BuilderEdges : public UnitTest {
 protected:
  void SetUp() override {
    UnitTest::SetUp();
    uac::RegisterFunctionFactories();  // the fixture's factories come back at the end
  }
  NTSTATUS StartFunction(USHORT vendor, USHORT product, const Bytes& config, sim::device::DeviceProfile profile = {}) {
    profile.strings[uac::kModelStringIndex] = u"Neutral";
    Plug(DeviceDescriptor(vendor, product), config, profile);
    return Start();
  }
  uac::CUac1Function* function() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf));
    f->Release();
    return f;
  }
};

// The later of two descriptors with one ID is the unit that lookups and links find.
TEST_F(BuilderEdges, LaterUnitOfTwoWithOneIdIsTheOneFound) {
  const Bytes first = FeatureUnit(5, 1, 1, {kMute});
  const Bytes second = FeatureUnit(5, 1, 1, {kMute, kMute});
  const Bytes output = {9, 0x24, 3, 9, 0x01, 0x03, 0, 5, 0};
  ASSERT_EQ(StartFunction(0x1234, 0x0001, ControlBlock({kInput, first, second, output})), STATUS_SUCCESS);
  uac::CUac1Function* f = function();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->GetUnitCount(), 4u);
  adapter::IUacEntity* later = nullptr;
  ASSERT_EQ(f->GetUnit(2, &later), STATUS_SUCCESS);
  adapter::IUacEntity* found = nullptr;
  ASSERT_EQ(f->FindEntityById(5, &found), STATUS_SUCCESS);
  EXPECT_EQ(found, later);
  // The output terminal's node hangs from the later unit's node.
  uac::IUacUnit* unit = nullptr;
  ASSERT_EQ(later->QueryInterface(uac::IID_IUacUnit, reinterpret_cast<PVOID*>(&unit)), STATUS_SUCCESS);
  ULONG laterOutput = 0;
  ASSERT_EQ(unit->GetOutputNodeId(&laterOutput), STATUS_SUCCESS);
  unit->Release();
  adapter::IUacEntity* terminal = nullptr;
  ASSERT_EQ(f->FindEntityById(9, &terminal), STATUS_SUCCESS);
  ASSERT_EQ(terminal->QueryInterface(uac::IID_IUacUnit, reinterpret_cast<PVOID*>(&unit)), STATUS_SUCCESS);
  adapter::IUacEntity* node = unit->GetNode(0);
  unit->Release();
  ULONG count = 0;
  const ULONG* sources = nullptr;
  ASSERT_EQ(node->GetSources(&count, &sources), STATUS_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(sources[0], laterOutput);
}

// Every refusal names what the driver found; the status stays the one the Parts give.
TEST_F(BuilderEdges, EveryRefusalSaysWhatWasFound) {
  const Bytes output = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};
  const Bytes ot16 = {9, 0x24, 3, 16, 0x01, 0x03, 0, 1, 0};
  const struct {
    const char* what;
    USHORT vendor, product;
    std::vector<Bytes> pieces;
    std::function<void(SimDevice&)> arrange;
    NTSTATUS status;
    const char* reason;
  } cases[] = {
      {"feature unit without mute", 0x1234, 1, {kInput, FeatureUnit(2, 1, 1, {kVolume, kVolume}), output}, {},
       STATUS_INSUFFICIENT_RESOURCES, "feature unit 2 has no mute control, so the function is not built"},
      {"processing unit", 0x1234, 1, {kInput, Bytes{13, 0x24, 7, 5, 1, 0, 1, 1, 2, 3, 0, 0, 0}}, {},
       STATUS_UNSUCCESSFUL, "processing unit 5 is not supported, so the function is not built"},
      {"extension unit", 0x1234, 1, {kInput, Bytes{13, 0x24, 8, 6, 1, 0, 1, 1, 1, 2, 3, 0, 0}}, {},
       STATUS_UNSUCCESSFUL, "extension unit 6 is not supported, so the function is not built"},
      {"unknown subtype", 0x1234, 1, {kInput, Bytes{4, 0x24, 0x33, 7}}, {}, STATUS_UNSUCCESSFUL,
       "descriptor subtype 51 is not an Audio Control unit, so the function is not built"},
      {"control size 0", 0x1234, 1, {kInput, Bytes{7, 0x24, 6, 2, 1, 0, 0}}, {}, STATUS_UNSUCCESSFUL,
       "element size of zero"},
      {"short terminal", 0x1234, 1, {Bytes{11, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0}}, {}, STATUS_UNSUCCESSFUL,
       "shorter than its fixed fields"},
      {"volume range stalled", 0x1234, 1, {kInput, FeatureUnit(2, 1, 1, {kMute | kVolume}), output},
       [](SimDevice& d) { d.StallRequests(SimDevice::RequestMatch{0xA1, 0x82, std::nullopt, std::nullopt}); },
       STATUS_UNSUCCESSFUL, "feature unit 2 did not answer for its volume control (channels or range)"},
      {"headset without terminal 64", 0x1B1C, 0x0A04, {kInput, ot16}, {}, STATUS_UNSUCCESSFUL,
       "this device needs an output terminal with ID 64, and the descriptors have none"},
      {"headset without terminal 16", 0x1B1C, 0x0A04, {kInput}, {}, STATUS_UNSUCCESSFUL,
       "this device needs an output terminal with ID 16, and the descriptors have none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::device::DeviceProfile profile;
    profile.strings[uac::kModelStringIndex] = u"Neutral";
    Plug(DeviceDescriptor(c.vendor, c.product), ControlBlock(c.pieces), profile);
    if (c.arrange) c.arrange(*sim_);
    EXPECT_EQ(Start(), c.status);
    uac::CUac1Function* f = function();
    ASSERT_NE(f, nullptr);
    ASSERT_NE(f->GetDescriptorFault().Reason, nullptr);
    EXPECT_STREQ(f->GetDescriptorFault().Reason, c.reason);
    TearDownDevice();
  }
}

// The probe's refusals say what it read.
TEST_F(BuilderEdges, ProbeRefusalsSayWhatWasRead) {
  constexpr UCHAR kVendorIn = 0xC3;  // device-to-host, vendor, recipient other
  const Bytes output = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};
  const struct {
    const char* what;
    std::optional<std::u16string> model;
    std::vector<std::pair<USHORT, UCHAR>> registers;  // vendor request 0x00 values
    NTSTATUS status;
    const char* reason;
  } cases[] = {
      {"no model string", {}, {}, STATUS_UNSUCCESSFUL,
       "no model string at string index 0x50 or 0x32, and the device is not one that starts without it"},
      {"model register not answered", u"7426", {}, STATUS_UNSUCCESSFUL,
       "model \"7426\": its model register (vendor request 0x02, value 0x0051) could not be read"},
      {"chip registers not answered", u"QVK710", {{0x001A, 0x08}}, STATUS_UNSUCCESSFUL,
       "model \"QVK710\": its chip registers (vendor request 0x00, values 0x001A and 0x0020) could not be read"},
      {"chip registers of no variant", u"QVK710", {{0x001A, 0x0C}, {0x0020, 0x00}}, STATUS_UNSUCCESSFUL,
       "model \"QVK710\": its chip registers read 0x0C and 0x00, which name no variant this function drives"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::device::DeviceProfile profile;
    if (c.model) profile.strings[uac::kModelStringIndex] = *c.model;
    Plug(DeviceDescriptor(0x1234, 1), ControlBlock({kInput, FeatureUnit(2, 1, 1, {kMute}), output}), profile);
    for (auto [value, byte] : c.registers) sim_->SetVendorData(kVendorIn, 0x00, value, 0, {byte});
    EXPECT_EQ(Start(), c.status);
    uac::CUac1Function* f = function();
    ASSERT_NE(f, nullptr);
    ASSERT_NE(f->GetDescriptorFault().Reason, nullptr);
    EXPECT_STREQ(f->GetDescriptorFault().Reason, c.reason);
    TearDownDevice();
  }
}

// A function that was built names no refusal.
TEST_F(BuilderEdges, BuiltFunctionHasNoRefusal) {
  const Bytes output = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};
  ASSERT_EQ(StartFunction(0x1234, 1, ControlBlock({kInput, FeatureUnit(2, 1, 1, {kMute}), output})), STATUS_SUCCESS);
  EXPECT_EQ(function()->GetDescriptorFault().Reason, nullptr);
}

using TerminalEdges = UnitTest;

// The terminal's jack list: a count that cannot be read means no list; a list that was
// announced and then not sent ends the terminal's Init with the read's status.
TEST_F(TerminalEdges, OutputTerminalJackListReads) {
  const struct {
    const char* what;
    int failRead;  // 0: none, 1: the count, 2: the list
    bool built;
    ULONG jacks;
  } cases[] = {
      {"both reads answered", 0, true, 1},
      {"count not answered", 1, true, 0},
      {"list not sent", 2, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::device::DeviceProfile profile;
    profile.terminals[9].jacks = {{0x3, 0x01014030}};
    StartWith(Uac1Configuration({kInput, FeatureUnit(2, 1, 1, {kMute}), kHeadphones}), profile);
    int reads = 0;
    sim_->SetRequestHook([&](const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                             std::uint8_t*) -> std::optional<platform::usb::ControlResult> {
      if (setup.bmRequestType != 0xC1 || setup.bRequest != 0x81 || setup.wValue != 0x02FF) return std::nullopt;
      if (++reads != c.failRead) return std::nullopt;
      return platform::usb::ControlResult{USBD_STATUS_STALL_PID, 0};
    });
    uac::CUacUnit* unit = nullptr;
    const NTSTATUS status = MakeUnit(kHeadphones, &unit);
    EXPECT_EQ(NT_SUCCESS(status), c.built) << std::hex << status;
    if (unit) {
      ULONG jacks = 99;
      EXPECT_EQ(static_cast<uac::CUac1OutputTerminal*>(unit)->GetState(&jacks, 0), STATUS_SUCCESS);
      EXPECT_EQ(jacks, c.jacks);
    }
    sim_->SetRequestHook({});
    ReleaseUnits();
    TearDownDevice();
  }
}

// A status change whose type read comes back with fewer than two bytes names no type:
// the terminal keeps its kind and saves nothing.
TEST_F(TerminalEdges, ShortTerminalTypeReadLeavesTheKind) {
  for (ULONG bytes : {0u, 1u, 2u}) {
    SCOPED_TRACE(bytes);
    sim::device::DeviceProfile profile;
    profile.terminals[9].selectable_types = {0x0302, 0x0301};
    StartWith(Uac1Configuration({kInput, FeatureUnit(2, 1, 1, {kMute}), kHeadphones}), profile);
    uac::CUacUnit* unit = nullptr;
    ASSERT_EQ(MakeUnit(kHeadphones, &unit), STATUS_SUCCESS);
    auto* terminal = static_cast<uac::CUac1OutputTerminal*>(unit);
    platform::registry::DeleteValue(SettingsPath(), u"UACUnit09");
    // The device answers the type read with a speaker (0x0301), cut to `bytes` bytes.
    sim_->SetRequestHook([&](const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                             std::uint8_t* data) -> std::optional<platform::usb::ControlResult> {
      if (setup.bmRequestType != 0xC1 || setup.bRequest != 0x81 || setup.wValue != 0x0800) return std::nullopt;
      const UCHAR speaker[2] = {0x01, 0x03};
      std::memcpy(data, speaker, bytes);
      return platform::usb::ControlResult{USBD_STATUS_SUCCESS, bytes};
    });
    ULONG id = 0;
    unit->HandleStatusChange(0, 0, &id);
    sim_->SetRequestHook({});
    ULONG kind = 0;
    terminal->GetKind(&kind);
    EXPECT_EQ(kind, bytes == 2 ? adapter::ENDPOINT_SPK : adapter::ENDPOINT_HP);
    EXPECT_EQ(Saved(u"UACUnit09").empty(), bytes != 2);
    ReleaseUnits();
    TearDownDevice();
  }
}

}  // namespace
}  // namespace unit_test
