// CChipDFunction through the root USB device object: which function a "QVK712" device
// gets by its "ModelVariant", the capability records of the two variants, the feature
// units it builds, its render engines' eight-channel formats (capture as UAC 1.0), and
// the effect controls on the render engine's path getting the stream's format.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "iso_stream_fixture.h"
#include "kernel/registry.h"
#include "uac/chip_d_effect_controls.h"
#include "uac/chip_d_feature_unit.h"
#include "uac/chip_d_function.h"

namespace {

using iso_test::AltSpec;
using iso_test::kCaptureEndpoint;
using iso_test::kRenderEndpoint;

const AltSpec kStereo16{2, 2, 16, {44100, 48000}, {{kRenderEndpoint, 0x05, 400, 1}}};
const AltSpec kMono24{1, 3, 24, {48000}, {{kRenderEndpoint, 0x05, 400, 1}}};
const AltSpec kMic{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, 100, 1}}};

// The vendor control block of feature unit 2: a master bitmap announcing selectors 0x8B
// and 0x8C.
sim::device::DeviceProfile ChipDProfile(bool effects = true) {
  sim::device::DeviceProfile profile;
  profile.strings[uac::kModelStringIndex] = u"QVK712";
  if (effects) {
    usb_device_test::Bytes block(16, 0);
    for (UCHAR b : {21, 0, 2, 0x00, 0x0C}) block.push_back(b);
    profile.entity_memory[2] = block;
  }
  return profile;
}

class ChipDFunctionTest : public iso_test::IsoStreamTest {
 protected:
  NTSTATUS StartWith(std::optional<ULONG> variant, USHORT vendor = 0x1234, USHORT product = 0x5678,
                     const std::vector<AltSpec>& render = {kStereo16}, bool effects = true) {
    Plug(usb_device_test::DeviceDescriptor(vendor, product), iso_test::SpeakerAndMicrophone(render, {kMic}),
         ChipDProfile(effects));
    if (variant) platform::registry::SetDword(SettingsPath(), u"ModelVariant", *variant);
    return Start();
  }
  adapter::IUacFunctionDescription* Description() {
    PVOID itf = nullptr;
    if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunctionDescription, &itf))) return nullptr;
    static_cast<adapter::IUacFunctionDescription*>(itf)->Release();
    return static_cast<adapter::IUacFunctionDescription*>(itf);
  }
  bool AnswersUacFunction() {
    PVOID itf = nullptr;
    if (!NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return false;
    static_cast<adapter::IUacFunction*>(itf)->Release();
    return true;
  }
};

// "QVK712" with variant 5 or 6 starts chip D with the variant's capability record (one
// product of variant 6 without bit 0x1000); any other variant, or none, the plain UAC
// 1.0 function, which answers IUacFunction where chip D does not.
TEST_F(ChipDFunctionTest, VariantChoosesTheFunctionAndItsCapabilities) {
  const struct {
    std::optional<ULONG> variant;
    USHORT vendor, product;
    bool chipD;
    ULONG mask, second, flags;
  } cases[] = {
      {5, 0x1234, 0x5678, true, 0x20006, 8, 0},
      {6, 0x1234, 0x5678, true, 0x3E1084, 0, 65},
      {6, 0x17EF, 0x6073, true, 0x3E0084, 0, 65},
      {6, 0x17EF, 0x6074, true, 0x3E1084, 0, 65},
      {5, 0x17EF, 0x6073, true, 0x20006, 8, 0},
      {4, 0x1234, 0x5678, false, 0, 0, 0},
      {7, 0x1234, 0x5678, false, 0, 0, 0},
      {0x10005, 0x1234, 0x5678, false, 0, 0, 0},
      {std::nullopt, 0x1234, 0x5678, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "variant " << (c.variant ? int(*c.variant) : -1) << " device " << std::hex
                                    << c.vendor << ":" << c.product);
    ASSERT_EQ(StartWith(c.variant, c.vendor, c.product), STATUS_SUCCESS);
    adapter::IUacFunctionDescription* description = Description();
    ASSERT_NE(description, nullptr);
    EXPECT_STREQ(description->GetClassName(), c.chipD ? "chip class D" : "USB Audio Class 1.0");
    EXPECT_EQ(AnswersUacFunction(), !c.chipD);
    for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
      adapter::EndpointCapabilityRecord record{};
      ASSERT_EQ(hal_->GetEngineCapabilityRecord(i, &record), STATUS_SUCCESS);
      EXPECT_EQ(record.CapabilityMask, c.mask);
      EXPECT_EQ(record.SecondValue, c.second);
      EXPECT_EQ(record.FeatureFlags, c.flags);
    }
    TearDownDevice();
  }
}

// The maker's headset rows that retype output terminal 16 and demand terminal 64 are the
// UAC 1.0 function's; chip D takes its descriptors as they stand. The capability rows
// still hold: one product's microphone records carry the extra bit, its S/PDIF ones the
// template.
TEST_F(ChipDFunctionTest, TakesNoDescriptorRowsButKeepsTheCapabilityRows) {
  usb_device_test::Bytes config = iso_test::SpeakerAndMicrophone({kStereo16}, {kMic});
  const usb_device_test::Bytes speaker = {9, 0x24, 3, 3, 0x01, 0x03};
  const auto at = std::search(config.begin(), config.end(), speaker.begin(), speaker.end()) - config.begin();
  ASSERT_LT(size_t(at), config.size());
  config[at + 3] = 16;  // the speaker becomes output terminal 16; nothing names it as source
  Plug(usb_device_test::DeviceDescriptor(0x1B1C, 0x0A04), config, ChipDProfile());
  platform::registry::SetDword(SettingsPath(), u"ModelVariant", 6);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  auto* stored = reinterpret_cast<PUCHAR>(device()->GetConfigurationDescriptor());
  EXPECT_EQ(stored[at + 4] | stored[at + 5] << 8, adapter::TERMINAL_SPEAKER);
  EXPECT_EQ(Render()->GetEndpointType(), 1u);
  TearDownDevice();

  ASSERT_EQ(StartWith(6, 0x0E7A, 0x0058), STATUS_SUCCESS);
  auto* function = dynamic_cast<uac::CUac1Function*>(Description());
  ASSERT_NE(function, nullptr);
  adapter::EndpointCapabilityRecord record{};
  ASSERT_EQ(function->GetCapabilityRecord(1, 7, &record), STATUS_SUCCESS);
  EXPECT_EQ(record.CapabilityMask, 0x3E1084u | 0x800000u);
  ASSERT_EQ(function->GetCapabilityRecord(0, 3, &record), STATUS_SUCCESS);
  EXPECT_EQ(record.CapabilityMask, 0x3E1084u);
  EXPECT_EQ(record.FeatureFlags, 65u);
}

// The chip D function itself refuses a variant it has no row for, even when chosen for
// one (here by rows that pick it for any variant): nothing is built.
TEST_F(ChipDFunctionTest, RefusesAnUnknownVariantItself) {
  const adapter::FunctionRow rows[] = {{adapter::kProtocolUac1, u"QVK712", 6, 0, adapter::FunctionClass::ChipD}};
  ULONG previousCount = 0;
  const adapter::FunctionRow* previous = adapter::SetFunctionRows(rows, 1, &previousCount);
  for (std::optional<ULONG> variant : {std::optional<ULONG>{7}, std::optional<ULONG>{0}, std::optional<ULONG>{}}) {
    EXPECT_EQ(StartWith(variant), STATUS_UNSUCCESSFUL);
    TearDownDevice();
  }
  EXPECT_EQ(StartWith(6), STATUS_SUCCESS);
  TearDownDevice();
  adapter::SetFunctionRows(previous, previousCount, nullptr);
}

// Every feature unit is a chip D unit; its effect controls come with the vendor block.
TEST_F(ChipDFunctionTest, FeatureUnitsAreChipDUnits) {
  for (bool effects : {true, false}) {
    SCOPED_TRACE(effects);
    ASSERT_EQ(StartWith(5, 0x1234, 0x5678, {kStereo16}, effects), STATUS_SUCCESS);
    adapter::IUacFunctionDescription* description = Description();
    ASSERT_NE(description, nullptr);
    ULONG featureUnits = 0;
    for (ULONG i = 0; i < description->GetUnitCount(); ++i) {
      adapter::IUacEntity* entity = nullptr;
      UCHAR subtype = 0;
      ASSERT_EQ(description->GetUnit(i, &entity, &subtype), STATUS_SUCCESS);
      if (subtype != adapter::AC_FEATURE_UNIT) continue;
      ++featureUnits;
      auto* unit = dynamic_cast<uac::CChipDFeatureUnit*>(entity);
      ASSERT_NE(unit, nullptr);
      ULONG reverb = 0, lpv = 0;
      for (ULONG n = 0; n < unit->GetNodeCount(); ++n) {
        reverb += dynamic_cast<uac::CChipDReverbEffectControl*>(unit->GetNode(n)) != nullptr;
        lpv += dynamic_cast<uac::CChipDLpvEffectControl*>(unit->GetNode(n)) != nullptr;
      }
      EXPECT_EQ(reverb, effects ? 1u : 0u);
      EXPECT_EQ(lpv, effects ? 1u : 0u);
    }
    EXPECT_EQ(featureUnits, 1u);
    TearDownDevice();
  }
}

// Render formats carry eight channels in the 0x63F layout whatever the interface says;
// capture formats are the UAC 1.0 ones.
TEST_F(ChipDFunctionTest, RenderFormatsAreEightChannels) {
  ASSERT_EQ(StartWith(6, 0x1234, 0x5678, {kStereo16, kMono24}), STATUS_SUCCESS);
  ASSERT_NE(dynamic_cast<stream::CTZ4180Render*>(Render()), nullptr);
  adapter::IStreamEngine* render = Render();
  ASSERT_EQ(render->GetFormatCount(), 3u);  // 44.1 and 48 kHz of 16 bits, 48 kHz of 24
  const struct {
    ULONG rate;
    WORD bits;
  } expected[] = {{44100, 16}, {48000, 16}, {48000, 24}};
  for (ULONG i = 0; i < 3; ++i) {
    WAVEFORMATEXTENSIBLE f{};
    ASSERT_EQ(render->GetFormat(i, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nChannels, 8);
    EXPECT_EQ(f.dwChannelMask, 0x63Fu);
    EXPECT_EQ(f.Format.nSamplesPerSec, expected[i].rate);
    EXPECT_EQ(f.Format.wBitsPerSample, expected[i].bits);
    EXPECT_EQ(f.Format.nBlockAlign, 8 * expected[i].bits / 8);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, expected[i].rate * f.Format.nBlockAlign);
  }
  adapter::IStreamEngine* capture = Capture();
  ASSERT_NE(capture, nullptr);
  EXPECT_EQ(dynamic_cast<stream::CTZ4180Render*>(Capture()), nullptr);
  ASSERT_GE(capture->GetFormatCount(), 1u);
  for (ULONG i = 0; i < capture->GetFormatCount(); ++i) {
    WAVEFORMATEXTENSIBLE f{};
    ASSERT_EQ(capture->GetFormat(i, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nChannels, 1);
  }
}

// Both effect nodes lie on the render engine's path and are among its processing nodes:
// a stream that starts hands them its format.
TEST_F(ChipDFunctionTest, EffectNodesProcessTheRenderStream) {
  ExpectStreamFinding("pattern break", "device");
  ASSERT_EQ(StartWith(5), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  uac::CChipDReverbEffectControl* reverb = nullptr;
  uac::CChipDLpvEffectControl* lpv = nullptr;
  for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
    adapter::IUacEntity* node = nullptr;
    ASSERT_EQ(engine->GetNode(i, &node), STATUS_SUCCESS);
    if (auto* r = dynamic_cast<uac::CChipDReverbEffectControl*>(node)) reverb = r;
    if (auto* l = dynamic_cast<uac::CChipDLpvEffectControl*>(node)) lpv = l;
  }
  ASSERT_NE(reverb, nullptr);
  ASSERT_NE(lpv, nullptr);
  WAVEFORMATEXTENSIBLE format = iso_test::Pcm(8, 48000, 16);
  format.dwChannelMask = uac::kChipDRenderChannelMask;
  iso_test::TestClient client;
  ASSERT_EQ(Attach(engine, client, format, 5, 3), STATUS_SUCCESS);
  platform::testing::DelayMs(20);
  Detach(engine, client);
  EXPECT_EQ(reverb->m_StreamFormat.Format.nChannels, 8);
  EXPECT_EQ(reverb->Reverb()->PendingChannelValue(), 7);
  EXPECT_EQ(lpv->m_StreamFormat.Format.nChannels, 8);
  EXPECT_EQ(lpv->EngineRate(), 48000u);
}

}  // namespace
