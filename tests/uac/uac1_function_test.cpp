// CUac1Function through the root USB device object on the simulated bus: the model
// string and vendor-register cases of the probe, the capability records, the units
// built from the Audio Control descriptors, the render endpoint's type under a terminal of
// several kinds and the refusals of malformed ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "kernel/registry.h"
#include "uac/function_classes.h"
#include "stream/usb_stream_engine.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"
#include "usb_device_fixture.h"

namespace {

using adapter::EndpointCapabilityRecord;
using usb_device_test::Bytes;
using usb_device_test::Configuration;
using usb_device_test::DeviceDescriptor;
using usb_device_test::Interface;

constexpr UCHAR kVendorIn = 0xC3;  // device-to-host, vendor, recipient other

class Uac1FunctionTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::GetStreamEngineFactory();
    stream::RegisterEngineFactories();
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, saved_);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  static sim::device::DeviceProfile Model(std::u16string text, UCHAR index = 0x50) {
    sim::device::DeviceProfile profile;
    profile.strings[index] = std::move(text);
    return profile;
  }

  // The aggregated function behind the device (valid while the device runs).
  uac::CUac1Function* function() {
    PVOID itf = nullptr;
    if (!NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf));
    f->Release();
    return f;
  }

  std::vector<std::pair<ULONG, ULONG>> Units() {
    std::vector<std::pair<ULONG, ULONG>> units;
    uac::CUac1Function* f = function();
    for (ULONG i = 0; f && i < f->GetUnitCount(); ++i) {
      adapter::IUacEntity* e = nullptr;
      if (NT_SUCCESS(f->GetUnit(i, &e))) units.emplace_back(e->GetId(), e->GetType());
    }
    return units;
  }

  adapter::FunctionFactory saved_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

// The shared speaker-and-microphone headset: every terminal and unit in descriptor
// order, identified by its descriptor ID, with its sources.
TEST_F(Uac1FunctionTest, HeadsetBuildsItsTerminalsAndUnits) {
  Plug("uac1-headset-A.txt", Model(u"Neutral"));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  using P = std::pair<ULONG, ULONG>;
  EXPECT_EQ(Units(), (std::vector<P>{{2, 2}, {1, 2}, {3, 3}, {4, 3}, {5, 6}, {6, 6}, {10, 5}}));
  adapter::IUacEntity* selector = nullptr;
  ASSERT_EQ(function()->FindEntityById(10, &selector), STATUS_SUCCESS);
  ULONG count = 0;
  const ULONG* sources = nullptr;
  ASSERT_EQ(selector->GetSources(&count, &sources), STATUS_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(sources[0], 6u);
  EXPECT_EQ(function()->GetControlInterfaceNumber(), 0);

  // Control nodes: dense identifiers in unit order, each unit's first node fed by the
  // output nodes of its sources.
  struct Node {
    ULONG id, type;
    std::vector<ULONG> sources;
    bool operator==(const Node&) const = default;
  };
  std::vector<Node> nodes;
  for (ULONG i = 0; i < hal_->GetEntityCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    ASSERT_EQ(hal_->GetEntity(i, &e), STATUS_SUCCESS);
    ULONG n = 0;
    const ULONG* s = nullptr;
    ASSERT_EQ(e->GetSources(&n, &s), STATUS_SUCCESS);
    nodes.push_back({e->GetId(), e->GetType(), std::vector<ULONG>(s, s + n)});
  }
  using adapter::NODE_INPUT_TERMINAL, adapter::NODE_OUTPUT_TERMINAL, adapter::NODE_MUTE, adapter::NODE_VOLUME,
      adapter::NODE_SELECTOR;
  const std::vector<Node> expected = {{0, NODE_INPUT_TERMINAL, {}}, {1, NODE_INPUT_TERMINAL, {}},
                                      {2, NODE_OUTPUT_TERMINAL, {8}}, {3, NODE_OUTPUT_TERMINAL, {5}},
                                      {4, NODE_MUTE, {0}},          {5, NODE_VOLUME, {4}},
                                      {6, NODE_MUTE, {1}},          {7, NODE_VOLUME, {6}},
                                      {8, NODE_SELECTOR, {7}}};
  EXPECT_TRUE(nodes == expected);
  const EndpointCapabilityRecord zero{};
  EXPECT_EQ(std::memcmp(&function()->GetCapabilityTemplate(), &zero, sizeof zero), 0);
}

// A headset whose speaker terminal switches between several types: the render endpoint is
// of the kind the terminal has now, whatever the order in which the device lists its
// types, and follows a switch of the terminal-kind node, which stands on the render path.
TEST_F(Uac1FunctionTest, RenderEndpointTypeIsTheTerminalsCurrentKind) {
  constexpr UCHAR kSpeakerTerminal = 4;
  using adapter::ENDPOINT_HP, adapter::ENDPOINT_SPK, adapter::ENDPOINT_SPDIF;
  struct Case {
    const char* what;
    std::vector<std::uint16_t> types;
    ULONG saved;  // the terminal's saved kind; 0: none (its own type, speaker)
    ULONG switchTo;
  };
  const Case cases[] = {
      {"speaker listed last", {0x0302, 0x0301}, 0, ENDPOINT_HP},
      {"speaker listed first", {0x0301, 0x0302}, 0, ENDPOINT_HP},
      {"headphones saved, S/PDIF last", {0x0301, 0x0302, 0x0605}, ENDPOINT_HP, ENDPOINT_SPDIF},
      {"S/PDIF saved, listed in the middle", {0x0302, 0x0605, 0x0301}, ENDPOINT_SPDIF, ENDPOINT_SPK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::device::DeviceProfile profile = Model(u"Neutral");
    profile.terminals[kSpeakerTerminal].selectable_types = c.types;
    Plug("uac1-headset-A.txt", profile);
    if (c.saved)
      platform::registry::SetBinary(SettingsPath(), u"UACUnit04",
                                    std::vector<std::uint8_t>{static_cast<std::uint8_t>(c.saved), 0, 0, 0});
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    adapter::IStreamEngine* render = nullptr;
    for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
      adapter::IStreamEngine* e = nullptr;
      if (NT_SUCCESS(hal_->GetEngine(i, &e)) && e->GetDirection() == adapter::STREAM_DIRECTION_RENDER) render = e;
    }
    ASSERT_NE(render, nullptr);
    const ULONG current = c.saved ? c.saved : ENDPOINT_SPK;
    EXPECT_EQ(render->GetEndpointType(), current);

    // One output-terminal node per type and the kind node, all on the path.
    ULONG terminals = 0;
    adapter::IUacEntity* kindNode = nullptr;
    for (ULONG i = 0; i < render->GetNodeCount(); ++i) {
      adapter::IUacEntity* node = nullptr;
      ASSERT_EQ(render->GetNode(i, &node), STATUS_SUCCESS);
      terminals += node->GetType() == adapter::NODE_OUTPUT_TERMINAL;
      if (node->GetType() == adapter::NODE_TERMINAL_KIND) {
        EXPECT_EQ(kindNode, nullptr) << "the kind node stands on the path once";
        kindNode = node;
      }
    }
    EXPECT_EQ(terminals, c.types.size());
    ASSERT_NE(kindNode, nullptr);
    adapter::ScopedRelease<adapter::ITerminalKindNode> kind;
    ASSERT_EQ(kindNode->QueryInterface(adapter::IID_ITerminalKindNode, kind.out()), STATUS_SUCCESS);
    ASSERT_EQ(kind.p->SetKind(c.switchTo), STATUS_SUCCESS);
    EXPECT_EQ(render->GetEndpointType(), c.switchTo);
    // The capture endpoint is not the terminal's.
    for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
      adapter::IStreamEngine* e = nullptr;
      if (NT_SUCCESS(hal_->GetEngine(i, &e)) && e != render) {
        EXPECT_EQ(e->GetEndpointType(), adapter::ENDPOINT_MIC);
      }
    }
    TearDownDevice();
  }
}

struct ModelCase {
  std::string name;
  USHORT vendor, product;
  std::u16string model;  // empty: the device has no model string
  UCHAR index;
  int registerA;  // -1: the request stalls
  int registerB;
  NTSTATUS status;
  ULONG mask, second, flags;
};

class ModelStrings : public Uac1FunctionTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelStrings, FillTheCapabilityTemplate) {
  const ModelCase& c = GetParam();
  sim::device::DeviceProfile profile;
  if (!c.model.empty()) profile.strings[c.index] = c.model;
  Plug(DeviceDescriptor(c.vendor, c.product), usb_device_test::Speaker(), profile);
  const bool chip = c.model.rfind(u"QVK710", 0) == 0;
  if (c.registerA >= 0) {
    if (chip) {
      sim_->SetVendorData(kVendorIn, 0x00, 0x001A, 0, {static_cast<UCHAR>(c.registerA)});
      sim_->SetVendorData(kVendorIn, 0x00, 0x0020, 0, {static_cast<UCHAR>(c.registerB)});
    } else {
      sim_->SetVendorData(kVendorIn, 0x02, 0x0051, 0, {static_cast<UCHAR>(c.registerA)});
    }
  }
  ASSERT_EQ(Start(), c.status);
  if (!NT_SUCCESS(c.status)) return;
  const EndpointCapabilityRecord& t = function()->GetCapabilityTemplate();
  EXPECT_EQ(t.CapabilityMask, c.mask);
  EXPECT_EQ(t.SecondValue, c.second);
  EXPECT_EQ(t.FeatureFlags, c.flags);
}

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kRefused = STATUS_UNSUCCESSFUL;

INSTANTIATE_TEST_SUITE_P(
    Probe, ModelStrings,
    ::testing::Values(
        ModelCase{"NoModelStringRefused", 0x1234, 0x0001, u"", 0x50, -1, 0, kRefused, 0, 0, 0},
        ModelCase{"NoModelStringKnownProduct", 0x047F, 0xD957, u"", 0x50, -1, 0, kOk, 0x3C0264, 12, 0},
        ModelCase{"FallbackIndex", 0x1234, 0x0001, u"Neutral", 0x32, -1, 0, kOk, 0, 0, 0},
        ModelCase{"NeutralModel", 0x1234, 0x0001, u"Neutral", 0x50, -1, 0, kOk, 0, 0, 0},
        ModelCase{"ShorterThanPrefix", 0x1234, 0x0001, u"742", 0x50, -1, 0, kOk, 0, 0, 0},
        ModelCase{"Chip7426Register1F", 0x1234, 0x0001, u"7426", 0x50, 0x1F, 0, kOk, 0x3E10A0, 0, 65},
        ModelCase{"Chip7426Register1E", 0x1234, 0x0001, u"7426", 0x50, 0x1E, 0, kOk, 0, 0, 0},
        ModelCase{"Chip7426RegisterStalls", 0x1234, 0x0001, u"7426", 0x50, -1, 0, kRefused, 0, 0, 0},
        ModelCase{"Chip7426Products2701To2703", 0x09DA, 0x2703, u"7426A", 0x50, 0x1F, 0, kOk, 0x3E00A5, 0, 65},
        ModelCase{"Chip7426Product2704", 0x09DA, 0x2704, u"7426", 0x50, 0x1F, 0, kOk, 0x3E10A0, 0, 65},
        ModelCase{"Chip7426Product0065", 0x0E7A, 0x0065, u"7426", 0x50, 0x1F, 0, kOk, 0x3E00A0, 0, 65},
        ModelCase{"ChipQvkA08", 0x1234, 0x0001, u"QVK710", 0x50, 0x08, 0x00, kOk, 0x3E087, 0, 0},
        ModelCase{"ChipQvkA0EWithSuffix", 0x1234, 0x0001, u"QVK710-rev2", 0x50, 0xFE, 0x01, kOk, 0x3E087, 0, 2},
        ModelCase{"ChipQvkA0CRefused", 0x1234, 0x0001, u"QVK710", 0x50, 0x0C, 0x00, kRefused, 0, 0, 0},
        ModelCase{"ChipQvkBit1OfBRefused", 0x1234, 0x0001, u"QVK710", 0x50, 0x08, 0x02, kRefused, 0, 0, 0},
        ModelCase{"ChipQvkRegistersStall", 0x1234, 0x0001, u"QVK710", 0x50, -1, 0, kRefused, 0, 0, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(Uac1FunctionTest, CapabilityRecordsFollowTheTemplateButSpdifIsZero) {
  Plug(DeviceDescriptor(0x047F, 0xD957), usb_device_test::Speaker());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // The device does not forward this slot: the function answers it.
  uac::CUac1Function* f = function();
  EndpointCapabilityRecord r{};
  EXPECT_EQ(f->GetCapabilityRecord(0, 2, &r), STATUS_SUCCESS);
  EXPECT_EQ(r.CapabilityMask, 0x3C0264u);
  EXPECT_EQ(r.SecondValue, 12u);
  r.CapabilityMask = 1;
  EXPECT_EQ(f->GetCapabilityRecord(0, 3, &r), STATUS_SUCCESS);
  const EndpointCapabilityRecord zero{};
  EXPECT_EQ(std::memcmp(&r, &zero, sizeof r), 0);
  EXPECT_EQ(f->GetCapabilityRecord(1, 7, nullptr), STATUS_UNSUCCESSFUL);
}

TEST_F(Uac1FunctionTest, CaptureMicOfOneProductGetsTheExtraBitAndNoSecondValue) {
  // The UAC 1.0 function's template, and chip B's, whose second value is not 0.
  const struct {
    const char16_t* model;
    ULONG mask, flags;
  } cases[] = {{u"7426", 0x3E10A0, 65}, {u"7403-SIM", 0x3FE02F, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    Plug(DeviceDescriptor(0x0E7A, 0x0058), usb_device_test::Speaker(), Model(c.model));
    sim_->SetVendorData(kVendorIn, 0x02, 0x0051, 0, {0x1F});
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    // Chip B answers no IUacFunction; its description leads to the function as well.
    PVOID itf = nullptr;
    ASSERT_EQ(hal_->QueryInterface(adapter::IID_IUacFunctionDescription, &itf), STATUS_SUCCESS);
    auto* description = static_cast<adapter::IUacFunctionDescription*>(itf);
    description->Release();
    auto* f = dynamic_cast<uac::CUac1Function*>(description);
    ASSERT_NE(f, nullptr);
    adapter::EndpointCapabilityRecord record{};
    ASSERT_EQ(f->GetCapabilityRecord(1, 7, &record), STATUS_SUCCESS);
    EXPECT_EQ(record.CapabilityMask, c.mask | 0x800000u);
    EXPECT_EQ(record.SecondValue, 0u);
    EXPECT_EQ(record.FeatureFlags, c.flags);
    ASSERT_EQ(f->GetCapabilityRecord(0, 3, &record), STATUS_SUCCESS);  // S/PDIF not excepted here
    EXPECT_EQ(record.CapabilityMask, c.mask);
    EXPECT_EQ(record.SecondValue, 0u);
    ASSERT_EQ(f->GetCapabilityRecord(0, 7, &record), STATUS_SUCCESS);
    EXPECT_EQ(record.CapabilityMask, c.mask);
    TearDownDevice();
  }
}

// Audio Control block of a speaker with the given class-specific pieces.
Bytes ControlBlock(std::vector<Bytes> pieces) {
  std::vector<Bytes> all = {Interface(0, 0, 0, 1, 1), Bytes{9, 0x24, 1, 0x00, 0x01, 30, 0, 0}};
  all[1][0] = 8;
  all[1].resize(8);
  all.insert(all.end(), pieces.begin(), pieces.end());
  return Configuration(all);
}

TEST_F(Uac1FunctionTest, SpeakerTerminalSixteenOfOneMakerBecomesHeadphones) {
  const Bytes it = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
  const Bytes ot16 = {9, 0x24, 3, 16, 0x01, 0x03, 0, 1, 0};
  const Bytes ot17 = {9, 0x24, 3, 17, 0x01, 0x03, 0, 1, 0};
  Plug(DeviceDescriptor(0x1B1C, 0x1234), ControlBlock({it, ot16, ot17}), Model(u"Neutral"));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  auto* config = reinterpret_cast<PUCHAR>(device()->GetConfigurationDescriptor());
  const ULONG ot16At = 9 + 9 + 8 + 12, ot17At = ot16At + 9;
  EXPECT_EQ(config[ot16At + 4] | config[ot16At + 5] << 8, 0x0302);
  EXPECT_EQ(config[ot17At + 4] | config[ot17At + 5] << 8, 0x0301);
}

TEST_F(Uac1FunctionTest, OneProductNeedsOutputTerminalsSixteenAndSixtyFour) {
  const Bytes it = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
  const Bytes ot16 = {9, 0x24, 3, 16, 0x01, 0x03, 0, 1, 0};
  const Bytes ot64 = {9, 0x24, 3, 64, 0x01, 0x03, 0, 1, 0};
  const Bytes fu64 = {8, 0x24, 6, 64, 1, 1, 3, 0};
  struct Row {
    std::vector<Bytes> pieces;
    NTSTATUS status;
  } rows[] = {{{it, ot16, ot64}, STATUS_SUCCESS},
              {{it, ot16}, STATUS_UNSUCCESSFUL},
              {{it, ot16, fu64}, STATUS_UNSUCCESSFUL},
              {{it, ot64}, STATUS_UNSUCCESSFUL}};
  for (const Row& row : rows) {
    Plug(DeviceDescriptor(0x1B1C, 0x0A04), ControlBlock(row.pieces));
    EXPECT_EQ(Start(), row.status) << row.pieces.size();
    if (NT_SUCCESS(row.status)) {
      EXPECT_EQ(function()->GetCapabilityTemplate().CapabilityMask, 0x24u);
    }
    TearDownDevice();
  }
}

TEST_F(Uac1FunctionTest, MalformedOrUnsupportedControlBlocksDoNotStart) {
  const Bytes it = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
  const Bytes fu2 = {8, 0x24, 6, 2, 3, 1, 3, 0};
  const Bytes fu3 = {8, 0x24, 6, 3, 2, 1, 3, 0};
  struct Row {
    const char* name;
    std::vector<Bytes> pieces;
    NTSTATUS status;
  } rows[] = {
      {"header only", {}, STATUS_SUCCESS},
      {"processing unit", {it, Bytes{13, 0x24, 7, 5, 1, 0, 1, 1, 2, 3, 0, 0, 0}}, STATUS_UNSUCCESSFUL},
      {"short feature unit", {it, Bytes{7, 0x24, 6, 2, 1, 2, 0}}, STATUS_UNSUCCESSFUL},
      {"cycle", {it, fu2, fu3}, STATUS_UNSUCCESSFUL},
  };
  for (const Row& row : rows) {
    Plug(DeviceDescriptor(0x1234, 0x0001), ControlBlock(row.pieces), Model(u"Neutral"));
    EXPECT_EQ(Start(), row.status) << row.name;
    TearDownDevice();
  }
}

TEST(ModelStrings, PrefixIsNeverComparedPastTheString) {
  const char16_t text[] = u"QVK71";
  EXPECT_FALSE(adapter::ModelStartsWith(text, 5, u"QVK710", 6));
  EXPECT_TRUE(adapter::ModelStartsWith(text, 5, u"QVK7", 4));
  EXPECT_FALSE(adapter::ModelStartsWith(text, 3, u"QVK7", 4));
  EXPECT_FALSE(adapter::ModelStartsWith(nullptr, 0, u"7426", 4));
}

}  // namespace
