// CUac2Function through the root USB device object on the simulated bus: a clocked
// speaker-and-microphone device builds its units, clock, jacks, engines and formats; the
// capability records follow the model variant; the class requests of the feature unit,
// the clock and the terminals reach the device as the class defines them; hostile answers
// are refused cleanly.
#include <gtest/gtest.h>

#include "kernel/pool.h"

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "kernel/ke.h"
#include "kernel/pool.h"
#include "stream/uac2_stream_engines.h"
#include "uac/control_interfaces.h"
#include "uac/function_classes.h"
#include "uac/uac1_feature_unit.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac2_function.h"
#include "uac/uac2_units.h"
#include "uac/unit_interfaces.h"
#include "usb_device_fixture.h"

namespace {

namespace reg = platform::registry;
using adapter::EndpointCapabilityRecord;
using sim::device::ControlResult;
using usb_device_test::Bytes;
using usb_device_test::Configuration;
using usb_device_test::DeviceDescriptor;
using usb_device_test::Interface;

constexpr UCHAR kClock = 40;
constexpr UCHAR kStreamIn = 1, kFeature = 2, kHeadphones = 3, kMic = 4, kStreamOut = 5;

Bytes Le32(ULONG v) {
  return {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16), static_cast<UCHAR>(v >> 24)};
}
Bytes Join(const std::vector<Bytes>& parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) { return Join(parts); }

// The pieces of the device; each test may swap one.
struct Uac2Device {
  Bytes clock = {8, 0x24, 0x0A, kClock, 0x03, 0x07, 0, 0};  // programmable, rate r/w, validity
  // Feature unit of a stereo path: master mute and volume.
  Bytes feature = Cat({{18, 0x24, 6, kFeature, kStreamIn}, Le32(0x0F), Le32(0), Le32(0), {0}});
  Bytes extra;  // inserted after the clock source
  ULONG formats = 1;  // bmFormats of the render interface
  UCHAR renderBits = 24;
  USHORT micType = 0x0201;  // wTerminalType of the capture path's input terminal
  std::vector<Bytes> renderAlternates;  // further settings of the render interface

  // A further render setting: stereo, 16 bits in 2-byte subslots, of the format type and
  // bmFormats given.
  static Bytes RenderAlternate(UCHAR alternate, UCHAR formatType, ULONG formats) {
    return Cat({Interface(1, alternate, 1, 1, 2, 0x20),
                Cat({{16, 0x24, 1, kStreamIn, 0x00, formatType}, Le32(formats), {2}, Le32(3), {0}}),
                {6, 0x24, 2, formatType, 2, 16},
                {7, 5, 0x01, 0x09, 0x00, 0x02, 1},
                {8, 0x25, 1, 0, 0, 0, 0, 0}});
  }

  Bytes Config() const {
    const Bytes streamIn = {17, 0x24, 2, kStreamIn, 0x01, 0x01, 0, kClock, 2, 3, 0, 0, 0, 0, 0x00, 0x00, 0};
    const Bytes headphones = {12, 0x24, 3, kHeadphones, 0x02, 0x03, 0, kFeature, kClock, 0x04, 0x00, 0};
    const Bytes mic = {17, 0x24, 2, kMic, static_cast<UCHAR>(micType), static_cast<UCHAR>(micType >> 8), 0, kClock, 1,
                       0x04, 0, 0, 0, 0, 0x04, 0x00, 0};
    const Bytes streamOut = {12, 0x24, 3, kStreamOut, 0x01, 0x01, 0, kMic, kClock, 0, 0, 0};
    // bmControls: the valid-alternates control is readable.
    const Bytes renderGeneral = Cat({{16, 0x24, 1, kStreamIn, 0x04, 1}, Le32(formats), {2}, Le32(3), {0}});
    const Bytes captureGeneral = Cat({{16, 0x24, 1, kStreamOut, 0, 1}, Le32(1), {1}, Le32(4), {0}});
    const UCHAR renderSlot = static_cast<UCHAR>(renderBits / 8);
    return Configuration({{8, 0x0B, 0, 3, 1, 0, 0x20, 0},
                          Interface(0, 0, 0, 1, 1, 0x20),
                          {9, 0x24, 1, 0x00, 0x02, 8, 0, 0, 0},
                          clock,
                          extra,
                          streamIn,
                          feature,
                          headphones,
                          mic,
                          streamOut,
                          Interface(1, 0, 0, 1, 2, 0x20),
                          Interface(1, 1, 2, 1, 2, 0x20),
                          renderGeneral,
                          {6, 0x24, 2, 1, renderSlot, renderBits},
                          {7, 5, 0x01, 0x05, 0x00, 0x02, 1},
                          {8, 0x25, 1, 0, 0, 0, 0, 0},
                          {7, 5, 0x81, 0x11, 4, 0, 4},
                          Join(renderAlternates),
                          Interface(2, 0, 0, 1, 2, 0x20),
                          Interface(2, 1, 1, 1, 2, 0x20),
                          captureGeneral,
                          {6, 0x24, 2, 1, 2, 16},
                          {7, 5, 0x82, 0x05, 0xC0, 0x00, 1},
                          {8, 0x25, 1, 0, 0, 0, 0, 0}});
  }
};

sim::device::DeviceProfile Profile() {
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"Neutral";
  profile.clock_rates[kClock] = {44100, 48000, 96000};
  profile.terminals[kHeadphones].jacks = {{0x3, 0x00041200}};
  profile.terminals[kMic].jacks = {{0x1, 0x01042300}, {0x4, 0x00002100}};
  return profile;
}

ControlResult Reply(UCHAR* data, const Bytes& bytes, USHORT length) {
  const ULONG n = bytes.size() < length ? static_cast<ULONG>(bytes.size()) : length;
  std::memcpy(data, bytes.data(), n);
  return {USBD_STATUS_SUCCESS, n};
}

bool ClassRequestTo(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR entity, UCHAR request, USHORT value) {
  return ((s.bmRequestType >> 5) & 3) == 1 && (s.wIndex >> 8) == entity && s.bRequest == request && s.wValue == value;
}

class Uac2FunctionTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::GetStreamEngineFactory();
    stream::RegisterEngineFactories();
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, saved_);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  void PlugDevice(const Uac2Device& d = {}, sim::device::DeviceProfile profile = Profile(), USHORT vendor = 0x1234,
                  USHORT product = 0x5678) {
    Plug(DeviceDescriptor(vendor, product), d.Config(), std::move(profile));
  }
  void SetVariant(ULONG v) { reg::SetDword(SettingsPath(), u"ModelVariant", v); }

  adapter::IUacFunctionDescription* description() {
    PVOID itf = nullptr;
    if (!NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunctionDescription, &itf))) return nullptr;
    auto* d = static_cast<adapter::IUacFunctionDescription*>(itf);
    d->Release();
    return d;
  }
  uac::CUac2Function* function() {
    PVOID itf = nullptr;
    if (!NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CUac2Function*>(static_cast<adapter::IUacFunction*>(itf));
    f->Release();
    return f;
  }
  template <class Itf>
  Itf* UnitAs(ULONG id, REFIID iid) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(function()->FindEntityById(id, &e))) return nullptr;
    PVOID itf = nullptr;
    if (!NT_SUCCESS(e->QueryInterface(iid, &itf))) return nullptr;
    static_cast<PUNKNOWN>(itf)->Release();  // the unit lives as long as the function
    return static_cast<Itf*>(itf);
  }
  adapter::IUacEntity* NodeOfType(ULONG type, ULONG nth = 0) {
    for (ULONG i = 0; i < hal_->GetEntityCount(); ++i) {
      adapter::IUacEntity* e = nullptr;
      if (NT_SUCCESS(hal_->GetEntity(i, &e)) && e->GetType() == type && nth-- == 0) return e;
    }
    return nullptr;
  }
  stream::CUsbStreamEngine* Engine(ULONG index) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(hal_->GetEngine(index, &engine))) return nullptr;
    PVOID itf = nullptr;
    if (!NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) return nullptr;
    auto* usb = static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
    usb->Release();
    return usb;
  }
  std::string Fault() {
    adapter::IUacFunctionDescription* d = description();
    const char* reason = d ? d->GetDescriptorFault(nullptr, nullptr) : nullptr;
    return reason ? reason : "";
  }
  // The data stages of the class requests to an entity with the request and value.
  std::vector<Bytes> Sent(UCHAR entity, UCHAR request, USHORT value) {
    std::vector<Bytes> out;
    for (const auto& e : sim_->control_log())
      if (ClassRequestTo(e.setup, entity, request, value) && !(e.setup.bmRequestType & 0x80)) out.push_back(e.data);
    return out;
  }

  adapter::FunctionFactory saved_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

TEST_F(Uac2FunctionTest, ClockedDeviceBuildsItsModel) {
  PlugDevice();
  ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
  adapter::IUacFunctionDescription* d = description();
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->GetClassName(), "USB Audio Class 2.0");
  std::vector<std::pair<ULONG, UCHAR>> units;
  for (ULONG i = 0; i < d->GetUnitCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    UCHAR subtype = 0;
    ASSERT_EQ(d->GetUnit(i, &e, &subtype), STATUS_SUCCESS);
    units.emplace_back(e->GetId(), subtype);
  }
  using U = std::pair<ULONG, UCHAR>;
  EXPECT_EQ(units, (std::vector<U>{{kClock, 10}, {kStreamIn, 2}, {kFeature, 6}, {kHeadphones, 3}, {kMic, 2},
                                   {kStreamOut, 3}}));

  // The clock's rate control lists the discrete rates and reports the clock valid.
  adapter::IUacEntity* rateNode = NodeOfType(adapter::NODE_CLOCK_RATE);
  ASSERT_NE(rateNode, nullptr);
  adapter::ScopedRelease<uac::IUacClockSource> rate;
  ASSERT_EQ(rateNode->QueryInterface(uac::IID_IUacClockSource, rate.out()), STATUS_SUCCESS);
  ULONG rates[8] = {};
  ULONG count = 8;
  ASSERT_EQ(rate.p->GetRates(&count, rates), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(rates, rates + count), (std::vector<ULONG>{44100, 48000, 96000}));
  UCHAR valid = 0;
  EXPECT_EQ(rate.p->IsValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, 1);
  auto* clock = UnitAs<uac::IUacClockSource>(kClock, uac::IID_IUacClockSource);
  ASSERT_NE(clock, nullptr);
  ASSERT_EQ(clock->SetCurrentRate(96000), STATUS_SUCCESS);
  ULONG current = 0;
  EXPECT_EQ(clock->GetCurrentRate(&current), STATUS_SUCCESS);
  EXPECT_EQ(current, 96000u);

  // Terminals name their clock; jack lists come from the connector control.
  for (UCHAR id : {kStreamIn, kHeadphones, kMic, kStreamOut}) {
    auto* link = UnitAs<uac::IUacClockLink>(id, uac::IID_IUacClockLink);
    ASSERT_NE(link, nullptr);
    ULONG clockId = 0;
    EXPECT_EQ(link->GetClockSourceId(&clockId), STATUS_SUCCESS);
    EXPECT_EQ(clockId, kClock);
  }
  auto* mic = UnitAs<adapter::ITerminalNode>(kMic, adapter::IID_ITerminalNode);
  ASSERT_NE(mic, nullptr);
  ULONG jacks = 0;
  ASSERT_EQ(mic->GetState(&jacks, 0), STATUS_SUCCESS);
  ASSERT_EQ(jacks, 2u);
  adapter::JackRecord records[2] = {};
  EXPECT_EQ(mic->GetJackDescriptions(sizeof records, records, 0), STATUS_SUCCESS);
  EXPECT_EQ(records[0].ChannelMapping, 0x1u);
  EXPECT_EQ(records[0].Color, uac::JackColorTable[2]);
  EXPECT_EQ(records[0].ConnectionType, 0x04u);
  EXPECT_EQ(records[0].GeoLocation, 1u);
  EXPECT_EQ(records[0].PresenceDetect, 0u);
  // Connected: the jack's channels meet the channel configuration the connector reports
  // (the terminal's own, channel 3 here).
  EXPECT_EQ(records[0].IsConnected, 0u);
  EXPECT_EQ(records[1].IsConnected, 1u);
  EXPECT_EQ(mic->GetJackDescriptions(sizeof records - 1, records, 0), STATUS_INVALID_PARAMETER);
  // The function's blocks go under the class version's own tag, none under the 1.0 tag.
  EXPECT_FALSE(platform::pool::LiveBlocksWithTag(uac::kUac2PoolTag).empty());
  EXPECT_TRUE(platform::pool::LiveBlocksWithTag(uac::kUac1PoolTag).empty());

  // One engine per streaming interface, clocked by the clock's rate control, with a
  // format per clock rate.
  ASSERT_EQ(hal_->GetEngineCount(), 2u);
  struct Expect {
    ULONG direction, channels, bits, mask;
  };
  const Expect expect[] = {{adapter::STREAM_DIRECTION_RENDER, 2, 24, 3}, {adapter::STREAM_DIRECTION_CAPTURE, 1, 16, 4}};
  for (ULONG i = 0; i < 2; ++i) {
    stream::CUsbStreamEngine* engine = Engine(i);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->GetDirection(), expect[i].direction);
    EXPECT_EQ(static_cast<stream::CUac2StreamEngine*>(engine)->GetClockNodeId(), rateNode->GetId());
    ASSERT_EQ(engine->GetFormatRecordCount(), 3u);
    for (ULONG r = 0; r < 3; ++r) {
      const WAVEFORMATEXTENSIBLE& f = engine->GetFormatRecord(r)->Format;
      EXPECT_EQ(engine->GetFormatRecord(r)->AlternateSetting, 1);
      EXPECT_EQ(f.Format.nChannels, expect[i].channels);
      EXPECT_EQ(f.Format.wBitsPerSample, expect[i].bits);
      EXPECT_EQ(f.dwChannelMask, expect[i].mask);
      EXPECT_EQ(f.Format.nSamplesPerSec, rates[r]);
      EXPECT_EQ(f.Format.nAvgBytesPerSec, rates[r] * f.Format.nBlockAlign);
    }
  }
}

// An input terminal's kind is the UAC 2.0 one: a headset's input is a handset, and that is
// the only kind it takes.
TEST_F(Uac2FunctionTest, InputTerminalKindsAreTheUac2Ones) {
  const std::pair<USHORT, ULONG> cases[] = {{0x0401, adapter::ENDPOINT_HANDSET}, {0x0402, adapter::ENDPOINT_HANDSET},
                                            {0x0403, adapter::ENDPOINT_SPEAKERPHONE}, {0x0601, adapter::ENDPOINT_AUX},
                                            {0x0201, adapter::ENDPOINT_MIC}};
  for (const auto& [type, kind] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << type);
    Uac2Device d;
    d.micType = type;
    PlugDevice(d);
    ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
    auto* mic = UnitAs<adapter::ITerminalNode>(kMic, adapter::IID_ITerminalNode);
    ASSERT_NE(mic, nullptr);
    ULONG got = 0, count = 0, kinds = 0;
    EXPECT_EQ(mic->GetKind(&got), STATUS_SUCCESS);
    EXPECT_EQ(got, kind);
    EXPECT_EQ(mic->GetKindCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(mic->GetKinds(&kinds), STATUS_SUCCESS);
    EXPECT_EQ(kinds, kind);
    EXPECT_EQ(mic->SetKind(kind), STATUS_SUCCESS);
    EXPECT_EQ(mic->SetKind(adapter::ENDPOINT_HEADSET), STATUS_INVALID_PARAMETER);
    TearDownDevice();
  }
}

// The capability template by "ModelVariant" (absent: 1); a variant outside 1 to 5 does
// not start.
TEST_F(Uac2FunctionTest, CapabilityTemplateFollowsTheModelVariant) {
  struct Case {
    std::optional<ULONG> variant;
    NTSTATUS status;
    ULONG mask, flags;
  };
  const Case cases[] = {{std::nullopt, STATUS_SUCCESS, 0x3FE06F, 3}, {1, STATUS_SUCCESS, 0x3FE06F, 3},
                        {2, STATUS_SUCCESS, 0x3FE0EF, 3},            {3, STATUS_SUCCESS, 0x3FE06F, 2},
                        {5, STATUS_SUCCESS, 0x3FE06F, 2},            {0, STATUS_UNSUCCESSFUL, 0, 0},
                        {6, STATUS_UNSUCCESSFUL, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant ? std::to_string(*c.variant) : "absent");
    PlugDevice();
    if (c.variant) SetVariant(*c.variant);
    ASSERT_EQ(Start(), c.status);
    if (NT_SUCCESS(c.status)) {
      EndpointCapabilityRecord t{};
      ASSERT_EQ(description()->GetCapabilityTemplate(&t), STATUS_SUCCESS);
      EXPECT_EQ(t.CapabilityMask, c.mask);
      EXPECT_EQ(t.FeatureFlags, c.flags);
    } else {
      EXPECT_NE(Fault().find("ModelVariant"), std::string::npos) << Fault();
    }
    TearDownDevice();
  }
}

TEST_F(Uac2FunctionTest, EndpointRecordsOfTheUac2Form) {
  struct Case {
    USHORT vendor, product;
    ULONG direction, type, mask, flags;
  };
  using namespace adapter;
  constexpr ULONG R = STREAM_DIRECTION_RENDER, C = STREAM_DIRECTION_CAPTURE;
  const Case cases[] = {
      {0x1234, 0x5678, R, ENDPOINT_HP, 0x3FE06F & 0x3FE0FF, 3},
      {0x1234, 0x5678, R, ENDPOINT_SPDIF, 0, 0},  // two engines: no flags either
      {0x1234, 0x5678, C, ENDPOINT_MIC, 0x3FE06F & 0x28000, 18},
      {0x1234, 0x5678, C, ENDPOINT_REC, 0x3FE06F & 0x28000, 18},
      {0x1234, 0x5678, C, ENDPOINT_LINE, 0, 18},
      {0x1234, 0x5678, C, ENDPOINT_SPDIF, 0, 0},
      {0x0B05, 0x17B1, C, ENDPOINT_HP, 0x603F, 3},
      {0x0B05, 0x17B1, R, ENDPOINT_MIC, 0x29000, 0},
      {0x0B05, 0x17B1, R, ENDPOINT_SPK, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.product << " direction " << c.direction << " type " << c.type);
    PlugDevice({}, Profile(), c.vendor, c.product);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EndpointCapabilityRecord r{};
    r.SecondValue = 7;
    ASSERT_EQ(function()->GetCapabilityRecord(c.direction, c.type, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.CapabilityMask, c.mask);
    EXPECT_EQ(r.FeatureFlags, c.flags);
    EXPECT_EQ(r.SecondValue, 0u);
    EXPECT_EQ(function()->GetCapabilityRecord(c.direction, c.type, nullptr), STATUS_UNSUCCESSFUL);
    TearDownDevice();
  }
}

// Descriptors and answers the function cannot work with: each refusal names its cause.
TEST_F(Uac2FunctionTest, RefusalsNameTheirCause) {
  struct Case {
    std::string name;
    Uac2Device device;
    std::function<void(sim::device::DeviceProfile&)> profile;
    NTSTATUS status;
    std::string reason;
  };
  Uac2Device selector;
  selector.extra = {9, 0x24, 0x0B, 41, 1, kClock, 0x03, 0, 0};
  Uac2Device multiplier;
  multiplier.extra = {7, 0x24, 0x0C, 42, kClock, 0, 0};
  Uac2Device noMute;
  noMute.feature = Cat({{18, 0x24, 6, kFeature, kStreamIn}, Le32(0x0C), Le32(0), Le32(0), {0}});
  Uac2Device effect;  // subtype 7: an effect unit in 2.0 (a processing unit in 1.0)
  effect.extra = {12, 0x24, 7, 43, 1, 0, 0, 0, 0, 0, 0, 0};
  Uac2Device processing;  // subtype 8: a processing unit in 2.0 (an extension unit in 1.0)
  processing.extra = {14, 0x24, 8, 44, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  Uac2Device clockCycle;  // the clock source is clocked by nothing, but the multiplier feeds itself
  clockCycle.extra = {7, 0x24, 0x0C, 42, 42, 0, 0};
  const Case cases[] = {
      {"ClockSelector", selector, nullptr, STATUS_UNSUCCESSFUL, "clock selector 41 is not supported"},
      {"ClockMultiplier", multiplier, nullptr, STATUS_UNSUCCESSFUL, "clock multiplier 42 is not supported"},
      {"ClockCycle", clockCycle, nullptr, STATUS_UNSUCCESSFUL, "cycle"},
      {"EffectUnit", effect, nullptr, STATUS_UNSUCCESSFUL, "effect unit 43 is not supported"},
      {"ProcessingUnit", processing, nullptr, STATUS_UNSUCCESSFUL, "processing unit 44 is not supported"},
      {"FeatureUnitWithoutMute", noMute, nullptr, STATUS_INSUFFICIENT_RESOURCES, "has no mute control"},
      {"ContinuousClock", {}, [](auto& p) {
         p.clock_rates.erase(kClock);
         p.clock_ranges[kClock] = {8000, 192000};
       },
       STATUS_INVALID_PARAMETER, "continuous rate range"},
      {"JackListStalls", {}, [](auto& p) { p.terminals[kMic].jacks.clear(); }, STATUS_UNSUCCESSFUL,
       "input terminal 4 declares a connector control but did not send its jack list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::device::DeviceProfile profile = Profile();
    if (c.profile) c.profile(profile);
    PlugDevice(c.device, profile);
    EXPECT_EQ(Start(), c.status);
    EXPECT_NE(Fault().find(c.reason), std::string::npos) << Fault();
    TearDownDevice();
  }
}

// Feature-unit requests: a one-channel volume that sits on channel 1 is addressed there,
// minus infinity goes out as 0x8000, and a range of two subranges is refused.
TEST_F(Uac2FunctionTest, FeatureUnitAddressesItsControlsAsTheClassDefines) {
  Uac2Device d;
  d.feature = Cat({{18, 0x24, 6, kFeature, kStreamIn}, Le32(0x03), Le32(0x0C), Le32(0), {0}});
  PlugDevice(d);
  ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
  auto* levels = UnitAs<uac::IUacLevelControlSource>(kFeature, uac::IID_IUacLevelControlSource);
  ASSERT_NE(levels, nullptr);
  ULONG channels = 0;
  ASSERT_EQ(levels->GetChannelCount(uac::FU_VOLUME, &channels), STATUS_SUCCESS);
  EXPECT_EQ(channels, 1u);
  sim_->ClearControlLog();
  ASSERT_EQ(levels->SetCur(uac::FU_VOLUME, 0, uac::kLevelMinusInfinity), STATUS_SUCCESS);
  ASSERT_EQ(levels->SetCur(uac::FU_VOLUME, 0, -6 * 65536), STATUS_SUCCESS);
  EXPECT_EQ(Sent(kFeature, 0x01, 0x0201), (std::vector<Bytes>{{0x00, 0x80}, {0x00, 0xFA}}));
  EXPECT_EQ(levels->SetCur(uac::FU_VOLUME, 1, 0), STATUS_INVALID_PARAMETER);
  LONG level = 0;
  ASSERT_EQ(levels->GetCur(uac::FU_VOLUME, 0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -6 * 65536);

  sim_->SetRequestHook([](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) -> std::optional<ControlResult> {
    if (!ClassRequestTo(s, kFeature, 0x02, 0x0201)) return std::nullopt;
    return Reply(data, Cat({{2, 0}, {0x00, 0x80, 0x00, 0x00, 0x00, 0x01}}), s.wLength);
  });
  LONG maximum = 0, minimum = 0, step = 0;
  EXPECT_EQ(levels->GetRange(uac::FU_VOLUME, &maximum, &minimum, &step), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(levels->GetRange(uac::FU_VOLUME, nullptr, &minimum, &step), STATUS_INVALID_PARAMETER);
}

// A device with every kind of control field the class has: a stereo feature unit whose
// master has mute, a read-only bass, mid, treble, automatic gain, a write-only bass boost,
// loudness and a read-only input gain pad, with volume on each channel, and the maker's
// vendor switch; the render interface adds a Type III setting (AC-3 and WMA Pro) and a
// raw-data setting marked by bmFormats bit 15.
class Uac2ClassValuesTest : public Uac2FunctionTest {
 protected:
  static constexpr ULONG kMaster = 0x03 | 0x01 << 4 | 0x03 << 6 | 0x03 << 8 | 0x03 << 12 | 0x02 << 16 |
                                   0x03 << 18 | 0x01 << 22;
  static constexpr ULONG kChannel = 0x03 << 2;

  void StartDevice() {
    Uac2Device d;
    d.feature = Cat({{18, 0x24, 6, kFeature, kStreamIn}, Le32(kMaster), Le32(kChannel), Le32(kChannel), {0}});
    d.renderAlternates = {Uac2Device::RenderAlternate(2, 3, 1u << 0 | 1u << 12),
                          Uac2Device::RenderAlternate(3, 1, 1u << 15)};
    sim::device::DeviceProfile profile = Profile();
    // The vendor block: its length, then the master's and channel 1's bitmaps; the
    // switch (0x90, field 16) on the master.
    Bytes block(16, 0);
    block.push_back(26);
    block.push_back(0);
    block = Cat({block, Le32(0xC0000000u), Le32(0)});
    profile.entity_memory[kFeature] = block;
    PlugDevice(d, profile);
    ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
    levels_ = UnitAs<uac::IUacLevelControlSource>(kFeature, uac::IID_IUacLevelControlSource);
    switches_ = UnitAs<uac::IUacBoolControlSource>(kFeature, uac::IID_IUacBoolControlSource);
    ASSERT_NE(levels_, nullptr);
    ASSERT_NE(switches_, nullptr);
  }
  // The wLength of every class request to the feature unit with the request and value.
  std::vector<USHORT> Lengths(UCHAR entity, UCHAR request, USHORT value) {
    std::vector<USHORT> out;
    for (const auto& e : sim_->control_log())
      if (ClassRequestTo(e.setup, entity, request, value)) out.push_back(e.setup.wLength);
    return out;
  }

  uac::IUacLevelControlSource* levels_ = nullptr;
  uac::IUacBoolControlSource* switches_ = nullptr;
};

// Bit 0 of a control's field allows reading it, bit 1 setting it; neither request goes out
// when its bit is clear.
TEST_F(Uac2ClassValuesTest, ControlFieldsAreReadableAndProgrammableBits) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  sim_->ClearControlLog();
  LONG level = 1;
  EXPECT_EQ(levels_->GetCur(uac::FU_BASS, 0, &level), STATUS_SUCCESS);  // read-only
  EXPECT_EQ(levels_->SetCur(uac::FU_BASS, 0, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(levels_->GetCur(uac::FU2_INPUT_GAIN_PAD, 0, &level), STATUS_SUCCESS);  // read-only
  EXPECT_EQ(levels_->SetCur(uac::FU2_INPUT_GAIN_PAD, 0, 0), STATUS_INVALID_PARAMETER);
  UCHAR on = 0;
  EXPECT_EQ(switches_->SetCur(uac::FU_BASS_BOOST, 0, 1), STATUS_SUCCESS);  // write-only
  EXPECT_EQ(switches_->GetCur(uac::FU_BASS_BOOST, 0, &on), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(switches_->SetCur(uac::FU_MUTE, 0, 1), STATUS_SUCCESS);  // both
  EXPECT_EQ(switches_->GetCur(uac::FU_MUTE, 0, &on), STATUS_SUCCESS);
  EXPECT_EQ(on, 1);
  EXPECT_EQ(Lengths(kFeature, 0x01, 0x0300), (std::vector<USHORT>{1}));  // the bass's one read
  EXPECT_TRUE(Sent(kFeature, 0x01, 0x0300).empty());
  EXPECT_TRUE(Sent(kFeature, 0x01, 0x0C00).empty());
  EXPECT_EQ(Sent(kFeature, 0x01, 0x0900), (std::vector<Bytes>{{1}}));
  EXPECT_EQ(Lengths(kFeature, 0x01, 0x0900).size(), 1u);  // the bass boost was never read

  // Volume on both channels and not on the master: node channel i is device channel i + 1.
  ULONG channels = 0;
  ASSERT_EQ(levels_->GetChannelCount(uac::FU_VOLUME, &channels), STATUS_SUCCESS);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(levels_->SetCur(uac::FU_VOLUME, 0, -1 * 65536), STATUS_SUCCESS);
  EXPECT_EQ(levels_->SetCur(uac::FU_VOLUME, 1, -2 * 65536), STATUS_SUCCESS);
  EXPECT_EQ(levels_->SetCur(uac::FU_VOLUME, 2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Sent(kFeature, 0x01, 0x0201), (std::vector<Bytes>{{0x00, 0xFF}}));
  EXPECT_EQ(Sent(kFeature, 0x01, 0x0202), (std::vector<Bytes>{{0x00, 0xFE}}));
  EXPECT_EQ(levels_->GetCur(uac::FU_VOLUME, 1, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, -2 * 65536);
}

// Bass, mid and treble are one signed byte in 1/4 dB (x 16384 to 1/65536 dB), their RANGE
// 5 bytes; other levels two bytes in 1/256 dB, RANGE 8 bytes. A range comes out as
// maximum, minimum, step.
TEST_F(Uac2ClassValuesTest, ToneControlsAreOneByteInQuarterDecibels) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  for (ULONG selector : {uac::FU_MID, uac::FU_TREBLE}) {
    SCOPED_TRACE(selector);
    const USHORT value = static_cast<USHORT>(selector << 8);
    sim_->ClearControlLog();
    EXPECT_EQ(levels_->SetCur(selector, 0, -8 * 16384), STATUS_SUCCESS);  // -2 dB
    EXPECT_EQ(Sent(kFeature, 0x01, value), (std::vector<Bytes>{{0xF8}}));
    LONG level = 0;
    ASSERT_EQ(levels_->GetCur(selector, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -8 * 16384);
    // The simulated tone range: -48 to 48 quarter decibels in steps of 4.
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(levels_->GetRange(selector, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 48 * 16384);
    EXPECT_EQ(minimum, -48 * 16384);
    EXPECT_EQ(step, 4 * 16384);
    EXPECT_EQ(Lengths(kFeature, 0x01, value), (std::vector<USHORT>{1, 1}));
    EXPECT_EQ(Lengths(kFeature, 0x02, value), (std::vector<USHORT>{5}));
  }
  // The simulated volume range: -60 to 0 dB in steps of 1 dB, on channel 1.
  sim_->ClearControlLog();
  LONG maximum = 1, minimum = 1, step = 1;
  ASSERT_EQ(levels_->GetRange(uac::FU_VOLUME, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(minimum, -60 * 65536);
  EXPECT_EQ(step, 65536);
  EXPECT_EQ(Lengths(kFeature, 0x02, 0x0201), (std::vector<USHORT>{8}));
}

// The status-change map of the feature unit: each control refreshes its own node; a
// control with a node but no entry in the map (input gain pad 12, vendor switch 0x90) is
// refused.
TEST_F(Uac2ClassValuesTest, StatusChangesReachTheControlsNode) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  auto* unit = UnitAs<uac::IUacUnit>(kFeature, uac::IID_IUacUnit);
  ASSERT_NE(unit, nullptr);
  const std::pair<ULONG, ULONG> mapped[] = {
      {uac::FU_MUTE, adapter::NODE_MUTE},   {uac::FU_VOLUME, adapter::NODE_VOLUME},
      {uac::FU_BASS, adapter::NODE_BASS},   {uac::FU_MID, adapter::NODE_MID},
      {uac::FU_TREBLE, adapter::NODE_TREBLE}, {uac::FU_AGC, adapter::NODE_AGC},
      {uac::FU_LOUDNESS, adapter::NODE_LOUDNESS}};
  for (const auto& [selector, type] : mapped) {
    SCOPED_TRACE(selector);
    ULONG id = ~0u;
    ASSERT_EQ(unit->HandleStatusChange(selector, 0, &id), STATUS_SUCCESS);
    adapter::IUacEntity* node = nullptr;
    for (ULONG i = 0; adapter::IUacEntity* n = unit->GetNode(i); ++i)
      if (n->GetId() == id) node = n;
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->GetType(), type);
  }
  for (ULONG selector : {uac::FU2_INPUT_GAIN_PAD, uac::FU2_VENDOR_SWITCH}) {
    ULONG id = ~0u;
    EXPECT_EQ(unit->HandleStatusChange(selector, 0, &id), STATUS_UNSUCCESSFUL) << selector;
    EXPECT_EQ(id, ~0u);
  }
}

// The clock's rate count comes from a 14-byte RANGE (one subrange's worth); a Type III
// setting offers AC-3 (bit 0) and WMA Pro (bit 12) at each rate, and bmFormats bit 15
// marks a raw-data setting as bit 31 does.
TEST_F(Uac2ClassValuesTest, ClockRangeAndTheFormatsOfEachSetting) {
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  const std::vector<USHORT> ranges = Lengths(kClock, 0x02, 0x0100);
  ASSERT_FALSE(ranges.empty());
  EXPECT_EQ(ranges.front(), 14u);
  stream::CUsbStreamEngine* render = Engine(0);
  ASSERT_NE(render, nullptr);
  std::vector<std::tuple<UCHAR, ULONG, ULONG>> formats;  // setting, rate, Data1
  for (ULONG r = 0; r < render->GetFormatRecordCount(); ++r) {
    const auto* f = render->GetFormatRecord(r);
    formats.emplace_back(f->AlternateSetting, f->Format.Format.nSamplesPerSec, f->Format.SubFormat.Data1);
  }
  using F = std::tuple<UCHAR, ULONG, ULONG>;
  EXPECT_EQ(formats, (std::vector<F>{{1, 44100, 1},      {1, 48000, 1},      {1, 96000, 1},
                                     {2, 44100, 0x0092}, {2, 44100, 0x0164}, {2, 48000, 0x0092},
                                     {2, 48000, 0x0164}, {2, 96000, 0x0092}, {2, 96000, 0x0164},
                                     {3, 44100, 0x0E7A}, {3, 48000, 0x0E7A}, {3, 96000, 0x0E7A}}));
}

// The maker's vendor block is kept only when its own length covers its header and lies
// within what the device sent; a status change for its volume refreshes the vendor
// volume node, not the standard one.
TEST_F(Uac2FunctionTest, VendorBlockIsCheckedAndItsVolumeFoundBySelector) {
  struct Case {
    std::string name;
    USHORT lengthAnswer;      // what the length read reports
    USHORT declared;          // the length inside the block
    bool kept;
  };
  const Case cases[] = {
      {"Whole", 26, 26, true},
      {"LengthBelowHeader", 16, 16, false},  // would make the channel count negative
      {"DeclaresMoreThanSent", 26, 0x4000, false},
      {"DeclaresBelowHeader", 26, 17, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlugDevice();
    // The block: 16 bytes, its length, then the master's and channel 1's bitmaps: the
    // vendor volume (0x82) on both.
    Bytes block(16, 0);
    block.push_back(static_cast<UCHAR>(c.declared));
    block.push_back(static_cast<UCHAR>(c.declared >> 8));
    for (const Bytes& b : {Le32(0x0C), Le32(0x0C)}) block.insert(block.end(), b.begin(), b.end());
    sim_->SetRequestHook([&](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) -> std::optional<ControlResult> {
      if (ClassRequestTo(s, kFeature, 0x03, 0x0010))
        return Reply(data, {static_cast<UCHAR>(c.lengthAnswer), static_cast<UCHAR>(c.lengthAnswer >> 8)}, s.wLength);
      if (ClassRequestTo(s, kFeature, 0x03, 0x0000)) return Reply(data, block, s.wLength);
      if ((s.wIndex >> 8) == kFeature && (s.wValue >> 8) == 0x82) {
        if (s.bRequest == 0x02) return Reply(data, {1, 0, 0x00, 0xC4, 0x00, 0x00, 0x00, 0x01}, s.wLength);
        if (s.bmRequestType & 0x80) return Reply(data, {0x00, 0xF0}, s.wLength);
        return ControlResult{USBD_STATUS_SUCCESS, s.wLength};
      }
      return std::nullopt;
    });
    ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
    adapter::IUacEntity* feature = nullptr;
    ASSERT_EQ(function()->FindEntityById(kFeature, &feature), STATUS_SUCCESS);
    adapter::ScopedRelease<uac::IUacUnit> unit;
    ASSERT_EQ(feature->QueryInterface(uac::IID_IUacUnit, unit.out()), STATUS_SUCCESS);
    ASSERT_EQ(unit.p->GetNodeCount(), c.kept ? 3u : 2u);  // mute, volume and the vendor volume
    ULONG volumeNode = ~0u, vendorNode = ~0u;
    EXPECT_EQ(unit.p->HandleStatusChange(uac::FU_VOLUME, 0, &volumeNode), STATUS_SUCCESS);
    ASSERT_NE(unit.p->GetNode(1), nullptr);
    EXPECT_EQ(volumeNode, unit.p->GetNode(1)->GetId());
    if (c.kept) {
      EXPECT_EQ(unit.p->HandleStatusChange(uac::FU2_VENDOR_VOLUME, 0, &vendorNode), STATUS_SUCCESS);
      ASSERT_NE(unit.p->GetNode(2), nullptr);
      EXPECT_EQ(vendorNode, unit.p->GetNode(2)->GetId());
      EXPECT_NE(vendorNode, volumeNode);
    } else {
      EXPECT_EQ(unit.p->HandleStatusChange(uac::FU2_VENDOR_VOLUME, 0, &vendorNode), STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(unit.p->HandleStatusChange(uac::FU_AGC, 0, &vendorNode), STATUS_UNSUCCESSFUL);  // not present
    TearDownDevice();
  }
}

TEST_F(Uac2FunctionTest, TerminalStatusChanges) {
  PlugDevice();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  adapter::IUacEntity* mic = nullptr;
  ASSERT_EQ(function()->FindEntityById(kMic, &mic), STATUS_SUCCESS);
  adapter::ScopedRelease<uac::IUacUnit> unit;
  ASSERT_EQ(mic->QueryInterface(uac::IID_IUacUnit, unit.out()), STATUS_SUCCESS);
  ULONG node = ~0u;
  EXPECT_EQ(unit.p->HandleStatusChange(2, 0, &node), STATUS_SUCCESS);
  EXPECT_EQ(node, unit.p->GetNode(0)->GetId());
  EXPECT_EQ(unit.p->HandleStatusChange(2, 1, &node), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(unit.p->HandleStatusChange(8, 0, &node), STATUS_UNSUCCESSFUL);
  adapter::IUacEntity* out = nullptr;
  ASSERT_EQ(function()->FindEntityById(kHeadphones, &out), STATUS_SUCCESS);
  adapter::ScopedRelease<uac::IUacUnit> outUnit;
  ASSERT_EQ(out->QueryInterface(uac::IID_IUacUnit, outUnit.out()), STATUS_SUCCESS);
  EXPECT_EQ(outUnit.p->HandleStatusChange(8, 0, &node), STATUS_SUCCESS);
  EXPECT_EQ(outUnit.p->HandleStatusChange(3, 0, &node), STATUS_UNSUCCESSFUL);
}

// The valid-alternates control decides both IsAltSettingValid and which raw-data
// alternate settings become formats; a rate the clock refuses contributes nothing.
TEST_F(Uac2FunctionTest, RawDataFormatsNeedAValidSettingAndARateTheClockTakes) {
  struct Case {
    std::string name;
    std::optional<ULONG> valid;  // bitmap of valid settings; absent: all
    bool refuse96k;
    std::vector<ULONG> rates;
  };
  const Case cases[] = {
      {"AllValid", std::nullopt, false, {44100, 48000, 96000}},
      {"SettingNotValid", 0x1, false, {}},
      {"ClockRefusesARate", std::nullopt, true, {44100, 48000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Uac2Device d;
    d.formats = 1u << 31;
    sim::device::DeviceProfile profile = Profile();
    if (c.valid) profile.valid_alternates[1] = *c.valid;
    PlugDevice(d, profile);
    if (c.refuse96k)
      sim_->SetRequestHook([](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) -> std::optional<ControlResult> {
        if (ClassRequestTo(s, kClock, 0x01, 0x0100) && !(s.bmRequestType & 0x80) && data &&
            (data[0] | data[1] << 8 | data[2] << 16) == 96000)
          return ControlResult{USBD_STATUS_STALL_PID, 0};
        return std::nullopt;
      });
    ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
    stream::CUsbStreamEngine* render = Engine(0);
    ASSERT_NE(render, nullptr);
    std::vector<ULONG> rates;
    for (ULONG r = 0; r < render->GetFormatRecordCount(); ++r) {
      EXPECT_EQ(render->GetFormatRecord(r)->Format.SubFormat.Data1, 0x0E7Au);
      rates.push_back(render->GetFormatRecord(r)->Format.Format.nSamplesPerSec);
    }
    EXPECT_EQ(rates, c.rates);
    EXPECT_TRUE(render->IsAltSettingValid(0));
    EXPECT_EQ(render->IsAltSettingValid(1), !c.valid || (*c.valid & 2) != 0);
    EXPECT_FALSE(render->IsAltSettingValid(8));  // beyond the one bitmap byte the interface has
    EXPECT_FALSE(render->IsAltSettingValid(200));
    TearDownDevice();
  }
}

// How far the host may program a clock's frequency (bmControls bits 1..0) decides what the
// clock offers and what setting a rate does: a programmable clock lists its RANGE and is
// set; a read-only one offers the one rate it runs at and takes only that, unasked to
// change; one without the control takes any rate without a request. PCM and raw-data
// formats follow alike.
TEST_F(Uac2FunctionTest, FixedClocksOfferTheirRateAndAreNeverSet) {
  struct Case {
    const char* name;
    UCHAR controls;  // the clock's bmControls
    std::vector<ULONG> offered;
    bool takes44k;  // SetCurrentRate(44,100) succeeds
    bool setSent;   // ... with a SET CUR of the rate
  };
  const Case cases[] = {
      {"programmable", 0x07, {48000, 44100, 96000}, true, true},
      {"read-only", 0x05, {48000}, false, false},
      {"absent", 0x04, {48000, 44100, 96000}, true, false},
  };
  for (const Case& c : cases) {
    for (ULONG formats : {1u, 1u << 15}) {
      SCOPED_TRACE(testing::Message() << c.name << ", bmFormats " << std::hex << formats);
      Uac2Device d;
      d.clock[5] = c.controls;
      d.formats = formats;
      sim::device::DeviceProfile profile = Profile();
      profile.clock_rates[kClock] = {48000, 44100, 96000};  // it runs at the first
      PlugDevice(d, profile);
      // A device without the control may still list its rates.
      if (c.controls == 0x04)
        sim_->SetRequestHook([](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) -> std::optional<ControlResult> {
          if (!ClassRequestTo(s, kClock, 0x02, 0x0100) || !(s.bmRequestType & 0x80)) return std::nullopt;
          Bytes range = {3, 0};
          for (ULONG rate : {48000u, 44100u, 96000u}) range = Cat({range, Le32(rate), Le32(rate), Le32(0)});
          return Reply(data, range, s.wLength);
        });
      ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
      stream::CUsbStreamEngine* render = Engine(0);
      ASSERT_NE(render, nullptr);
      std::vector<ULONG> rates;
      for (ULONG r = 0; r < render->GetFormatRecordCount(); ++r)
        rates.push_back(render->GetFormatRecord(r)->Format.Format.nSamplesPerSec);
      EXPECT_EQ(rates, c.offered);
      auto* clock = UnitAs<uac::IUacClockSource>(kClock, uac::IID_IUacClockSource);
      ASSERT_NE(clock, nullptr);
      sim_->ClearControlLog();
      EXPECT_EQ(clock->SetCurrentRate(48000), STATUS_SUCCESS);
      EXPECT_EQ(clock->SetCurrentRate(44100), c.takes44k ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
      EXPECT_EQ(Sent(kClock, 0x01, 0x0100).size(), c.setSent ? 2u : 0u);
      if (c.controls == 0x04) {
        EXPECT_TRUE(sim_->control_log().empty());
      }
      TearDownDevice();
    }
  }
}

TEST_F(Uac2FunctionTest, MiniportUpdateDelayIsClampedToFiveSeconds) {
  struct Case {
    std::optional<ULONG> value;
    ULONG delay;
  };
  const Case cases[] = {{std::nullopt, 0}, {0, 0}, {10, 10}, {5000, 5000}, {5001, 5000}, {0xFFFFFFFF, 5000}};
  PlugDevice();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (const Case& c : cases) {
    if (c.value)
      reg::SetDword(SettingsPath(), u"UpdateMiniportDelay", *c.value);
    else
      reg::DeleteValue(SettingsPath(), u"UpdateMiniportDelay");
    EXPECT_EQ(uac::CUac2Function::MiniportUpdateDelay(fdo_), c.delay) << (c.value ? *c.value : 0);
  }
}

// Switching the headphone terminal's kind re-registers the subdevices of the engines whose
// kind changed, after the settle time the setting asks for (in virtual time).
TEST_F(Uac2FunctionTest, KindSwitchWaitsTheClampedDelay) {
  struct Case {
    std::optional<ULONG> value;
    ULONGLONG atLeastMs, belowMs;
  };
  const Case cases[] = {{std::nullopt, 0, 50}, {300, 300, 350}, {100000, 5000, 5050}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? std::to_string(*c.value) : "absent");
    sim::device::DeviceProfile profile = Profile();
    profile.terminals[kHeadphones].selectable_types = {0x0302, 0x0301};
    PlugDevice({}, profile);
    if (c.value) reg::SetDword(SettingsPath(), u"UpdateMiniportDelay", *c.value);
    ASSERT_EQ(Start(), STATUS_SUCCESS) << Fault();
    adapter::IUacEntity* kindNode = NodeOfType(adapter::NODE_TERMINAL_KIND);
    ASSERT_NE(kindNode, nullptr);
    // The kind node stands on the render engine's path as a terminal-kind switch does.
    stream::CUsbStreamEngine* render = Engine(0);
    ASSERT_NE(render, nullptr);
    ASSERT_EQ(render->AddNode(kindNode), STATUS_SUCCESS);
    adapter::ScopedRelease<adapter::ITerminalKindNode> kind;
    ASSERT_EQ(kindNode->QueryInterface(adapter::IID_ITerminalKindNode, kind.out()), STATUS_SUCCESS);
    const ULONGLONG t0 = KeQueryInterruptTime();
    ASSERT_EQ(kind.p->SetKind(adapter::ENDPOINT_SPK), STATUS_SUCCESS);
    const ULONGLONG elapsedMs = (KeQueryInterruptTime() - t0) / 10000;
    EXPECT_GE(elapsedMs, c.atLeastMs);
    EXPECT_LT(elapsedMs, c.belowMs);
    EXPECT_EQ(kind.p->IsKindChanged(), 0u);  // the function took the change
    TearDownDevice();
  }
}

}  // namespace
