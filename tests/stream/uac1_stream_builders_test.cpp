// The UAC 1.0 streaming builder end to end: a simulated device on the bus, the root USB
// device object started on it, and the engines, formats and paths the function builds
// from the descriptors, checked against what the descriptors say.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/dsp_node.h"
#include "adapter/endpoint_type.h"
#include "stream/usb_stream_engine.h"
#include "support/fault_sweep.h"
#include "uac/function_classes.h"
#include "uac/control_interfaces.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"
#include "uac/unit_interfaces.h"
#include "usb_device_fixture.h"

namespace {

using usb_device_test::Bytes;
using usb_device_test::Configuration;
using usb_device_test::DeviceDescriptor;
using usb_device_test::Interface;

// An engine of the real base class that also tells how many processing nodes it filed.
class CProbeStream : public stream::CUsbStreamEngine {
 public:
  using CUsbStreamEngine::CUsbStreamEngine;
  ULONG ProcessingNodeCount() const { return m_pDspNodeList ? m_pDspNodeList->GetCount() : 0; }
};

ULONG g_created = 0;

NTSTATUS ProbeCreate(uac::StreamEngineClass cls, ULONG tag, UCHAR number, ULONG terminal, adapter::IAudioHal* owner,
                     adapter::CStreamEngine** out) {
  *out = nullptr;
  auto* engine = new (NonPagedPool, tag) CProbeStream(nullptr, number, terminal);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  NTSTATUS status = engine->Init(cls == uac::StreamEngineClass::Uac1Render ? adapter::STREAM_DIRECTION_RENDER
                                                                           : adapter::STREAM_DIRECTION_CAPTURE,
                                 owner);
  if (!NT_SUCCESS(status)) {
    static_cast<stream::IUsbStreamEngine*>(engine)->Release();
    return status;
  }
  ++g_created;
  *out = engine;
  return STATUS_SUCCESS;
}

NTSTATUS ProbeAdd(adapter::CStreamEngine* engine, const WAVEFORMATEXTENSIBLE* format, UCHAR alt) {
  return static_cast<CProbeStream*>(engine)->AddStreamFormat(format, alt);
}

constexpr uac::StreamEngineFactory kProbeFactory = {ProbeCreate, ProbeAdd, nullptr, nullptr};

// ---------------------------------------------------------------------------------------
// Descriptor pieces of a UAC 1.0 speaker and microphone

Bytes Rates(std::vector<ULONG> rates) {
  Bytes b;
  for (ULONG r : rates) b.insert(b.end(), {UCHAR(r), UCHAR(r >> 8), UCHAR(r >> 16)});
  return b;
}

// Type I (or III) with discrete rates.
Bytes FormatType(UCHAR channels, UCHAR subframe, UCHAR resolution, std::vector<ULONG> rates, UCHAR type = 1) {
  Bytes d = {0, 0x24, 2, type, channels, subframe, resolution, UCHAR(rates.size())};
  Bytes r = Rates(rates);
  d.insert(d.end(), r.begin(), r.end());
  d[0] = UCHAR(d.size());
  return d;
}

// Type I with a continuous range.
Bytes FormatRange(UCHAR channels, UCHAR subframe, UCHAR resolution, ULONG lower, ULONG upper) {
  Bytes d = {14, 0x24, 2, 1, channels, subframe, resolution, 0};
  Bytes r = Rates({lower, upper});
  d.insert(d.end(), r.begin(), r.end());
  return d;
}

struct Alt {
  Bytes format;
  USHORT tag = 1;
};

// A streaming interface: an idle setting and one setting per format, each linked to the
// terminal.
std::vector<Bytes> Streaming(UCHAR number, UCHAR terminal, UCHAR endpoint, const std::vector<Alt>& alts) {
  std::vector<Bytes> pieces = {Interface(number, 0, 0, 1, 2)};
  for (size_t k = 0; k < alts.size(); ++k) {
    pieces.push_back(Interface(number, UCHAR(k + 1), 1, 1, 2));
    pieces.push_back({7, 0x24, 1, terminal, 1, UCHAR(alts[k].tag), UCHAR(alts[k].tag >> 8)});
    pieces.push_back(alts[k].format);
    pieces.push_back({9, 5, endpoint, 0x05, 0x00, 0x02, 1, 0, 0});
    pieces.push_back({7, 0x25, 1, 1, 0, 0, 0});
  }
  return pieces;
}

Bytes Header(std::vector<UCHAR> interfaces, const std::vector<Bytes>& units) {
  ULONG total = 8 + ULONG(interfaces.size());
  for (const Bytes& u : units) total += ULONG(u.size());
  Bytes h = {UCHAR(8 + interfaces.size()), 0x24, 1, 0x00, 0x01, UCHAR(total), UCHAR(total >> 8), UCHAR(interfaces.size())};
  h.insert(h.end(), interfaces.begin(), interfaces.end());
  return h;
}

// Speaker: input terminal 1 (USB streaming) -> feature unit 2 (mute, volume) -> output
// terminal 3 (speaker). Microphone: input terminal 4 (microphone) -> output terminal 5 (USB
// streaming), a path without a control. Streaming interfaces 1 (speaker) and 2 (mic).
Bytes SpeakerAndMicrophone(const std::vector<Alt>& render, const std::vector<Alt>& capture,
                           std::vector<Bytes> extra = {}) {
  const std::vector<Bytes> units = {
      {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0},  // input terminal 1, USB streaming
      {10, 0x24, 6, 2, 1, 1, 0x03, 0, 0, 0},           // feature unit 2: master mute and volume
      {9, 0x24, 3, 3, 0x01, 0x03, 0, 2, 0},            // output terminal 3, speaker
      {12, 0x24, 2, 4, 0x01, 0x02, 0, 1, 0, 0, 0, 0},  // input terminal 4, microphone
      {9, 0x24, 3, 5, 0x01, 0x01, 0, 4, 0},            // output terminal 5, USB streaming
  };
  std::vector<Bytes> pieces = {Interface(0, 0, 0, 1, 1), Header({1, 2}, units)};
  pieces.insert(pieces.end(), units.begin(), units.end());
  for (const Bytes& p : Streaming(1, 1, 0x01, render)) pieces.push_back(p);
  for (const Bytes& p : Streaming(2, 5, 0x82, capture)) pieces.push_back(p);
  for (Bytes& p : extra) pieces.push_back(std::move(p));
  return Configuration(pieces);
}

struct FormatSeen {
  UCHAR alt;
  WORD channels, bits, valid;
  ULONG mask, rate, subFormat;
  bool operator==(const FormatSeen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FormatSeen& f) {
  return out << "{alt " << int(f.alt) << ", " << f.channels << " ch, " << f.bits << "/" << f.valid << " bits, mask 0x"
             << std::hex << f.mask << std::dec << ", " << f.rate << " Hz, 0x" << std::hex << f.subFormat << std::dec
             << "}";
}

class Uac1StreamBuilders : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::SetStreamEngineFactory(&kProbeFactory);
    g_created = 0;
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, saved_);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  static sim::device::DeviceProfile Model() {
    sim::device::DeviceProfile profile;
    profile.strings[uac::kModelStringIndex] = u"Neutral";
    return profile;
  }

  NTSTATUS StartWith(const Bytes& config) {
    Plug(DeviceDescriptor(0x1234, 0x5678), config, Model());
    return Start();
  }

  uac::CUac1Function* function() {
    PVOID itf = nullptr;
    if (!NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
    auto* f = static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf));
    f->Release();
    return f;
  }

  stream::CUsbStreamEngine* Engine(ULONG index) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(hal_->GetEngine(index, &engine))) return nullptr;
    PVOID itf = nullptr;
    if (!NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) return nullptr;
    static_cast<stream::IUsbStreamEngine*>(itf)->Release();
    return static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
  }

  static std::vector<FormatSeen> Formats(stream::CUsbStreamEngine* engine) {
    std::vector<FormatSeen> seen;
    for (ULONG i = 0; i < engine->GetFormatRecordCount(); ++i) {
      const stream::StreamFormatRecord* r = engine->GetFormatRecord(i);
      const WAVEFORMATEXTENSIBLE& f = r->Format;
      EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
      EXPECT_EQ(f.Format.cbSize, 22);
      EXPECT_EQ(f.Format.nBlockAlign, f.Format.nChannels * f.Format.wBitsPerSample / 8);
      EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nBlockAlign * f.Format.nSamplesPerSec);
      seen.push_back({r->AlternateSetting, f.Format.nChannels, f.Format.wBitsPerSample, f.Samples.wValidBitsPerSample,
                      f.dwChannelMask, f.Format.nSamplesPerSec, f.SubFormat.Data1});
    }
    return seen;
  }

  static std::vector<ULONG> PathTypes(stream::CUsbStreamEngine* engine) {
    std::vector<ULONG> types;
    for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
      adapter::IUacEntity* node = nullptr;
      if (NT_SUCCESS(engine->GetNode(i, &node))) types.push_back(node->GetType());
    }
    return types;
  }

  adapter::FunctionFactory saved_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

using adapter::NODE_INPUT_TERMINAL;
using adapter::NODE_MUTE;
using adapter::NODE_OUTPUT_TERMINAL;
using adapter::NODE_VOLUME;

TEST_F(Uac1StreamBuilders, SpeakerAndMicrophoneBuildTheirEnginesFormatsAndPaths) {
  ASSERT_EQ(StartWith(SpeakerAndMicrophone({{FormatType(2, 2, 16, {44100, 48000})}, {FormatType(2, 3, 24, {48000})}},
                                           {{FormatType(1, 2, 16, {16000, 48000})}})),
            STATUS_SUCCESS);
  ASSERT_EQ(hal_->GetEngineCount(), 2u);

  stream::CUsbStreamEngine* speaker = Engine(0);
  ASSERT_NE(speaker, nullptr);
  EXPECT_EQ(speaker->GetEngineId(), 1u);
  EXPECT_EQ(speaker->GetDirection(), adapter::STREAM_DIRECTION_RENDER);
  EXPECT_EQ(speaker->GetEndpointType(), adapter::ENDPOINT_SPK);
  EXPECT_EQ(Formats(speaker), (std::vector<FormatSeen>{{1, 2, 16, 16, 0x3, 44100, 1},
                                                       {1, 2, 16, 16, 0x3, 48000, 1},
                                                       {2, 2, 24, 24, 0x3, 48000, 1}}));
  // From the user-facing terminal upstream to the streaming terminal, through the unit's
  // controls; the device has both, so no software mute.
  EXPECT_EQ(PathTypes(speaker), (std::vector<ULONG>{NODE_OUTPUT_TERMINAL, NODE_VOLUME, NODE_MUTE, NODE_INPUT_TERMINAL}));
  EXPECT_EQ(static_cast<CProbeStream*>(speaker)->ProcessingNodeCount(), 0u);

  stream::CUsbStreamEngine* mic = Engine(1);
  ASSERT_NE(mic, nullptr);
  EXPECT_EQ(mic->GetEngineId(), 2u);
  EXPECT_EQ(mic->GetDirection(), adapter::STREAM_DIRECTION_CAPTURE);
  EXPECT_EQ(mic->GetEndpointType(), adapter::ENDPOINT_MIC);
  // A capture interface of fewer than four channels offers every format again with no
  // channel mask.
  EXPECT_EQ(Formats(mic), (std::vector<FormatSeen>{{1, 1, 16, 16, 0x4, 16000, 1},
                                                   {1, 1, 16, 16, 0x4, 48000, 1},
                                                   {1, 1, 16, 16, 0x0, 16000, 1},
                                                   {1, 1, 16, 16, 0x0, 48000, 1}}));
  // The two-terminal path gets a software mute between its terminals, filed once among
  // the engine's processing nodes, and the streaming terminal's unit is fed by it.
  EXPECT_EQ(PathTypes(mic), (std::vector<ULONG>{NODE_OUTPUT_TERMINAL, NODE_INPUT_TERMINAL, NODE_MUTE}));
  EXPECT_EQ(static_cast<CProbeStream*>(mic)->ProcessingNodeCount(), 1u);
  adapter::IUacEntity* mute = nullptr;
  ASSERT_EQ(mic->GetNode(2, &mute), STATUS_SUCCESS);
  EXPECT_EQ(mute->GetId(), hal_->GetEntityCount() - 1);
  PVOID dsp = nullptr;
  ASSERT_EQ(mute->QueryInterface(adapter::IID_IDspNode, &dsp), STATUS_SUCCESS);
  static_cast<PUNKNOWN>(dsp)->Release();
  adapter::IUacEntity* terminal = nullptr;
  ASSERT_EQ(function()->FindEntityById(5, &terminal), STATUS_SUCCESS);
  PVOID unitItf = nullptr;
  ASSERT_EQ(terminal->QueryInterface(uac::IID_IUacUnit, &unitItf), STATUS_SUCCESS);
  auto* unit = static_cast<uac::IUacUnit*>(unitItf);
  adapter::IUacEntity* first = unit->GetNode(0);
  unit->Release();
  ASSERT_NE(first, nullptr);
  ULONG count = 0;
  const ULONG* sources = nullptr;
  ASSERT_EQ(first->GetSources(&count, &sources), STATUS_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(sources[0], mute->GetId());
}

struct FormatCase {
  std::string name;
  Alt alt;
  NTSTATUS status;
  std::vector<ULONG> rates;       // of the render engine, in order
  std::vector<ULONG> subFormats;  // per format, when not all PCM
};

class RenderFormats : public Uac1StreamBuilders, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(RenderFormats, FollowTheFormatTypeDescriptor) {
  const FormatCase& c = GetParam();
  const NTSTATUS status = StartWith(SpeakerAndMicrophone({c.alt}, {{FormatType(1, 2, 16, {48000})}}));
  ASSERT_EQ(status, c.status);
  if (!NT_SUCCESS(status)) return;
  stream::CUsbStreamEngine* speaker = Engine(0);
  ASSERT_NE(speaker, nullptr);
  std::vector<ULONG> rates, subFormats;
  for (const FormatSeen& f : Formats(speaker)) {
    rates.push_back(f.rate);
    subFormats.push_back(f.subFormat);
  }
  EXPECT_EQ(rates, c.rates);
  if (!c.subFormats.empty()) {
    EXPECT_EQ(subFormats, c.subFormats);
  }
}

const std::vector<ULONG> kAllRates = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};

INSTANTIATE_TEST_SUITE_P(
    Uac1, RenderFormats,
    ::testing::Values(
        FormatCase{"RangeGivesTheStandardRatesItCovers", {FormatRange(2, 2, 16, 44100, 48000)}, STATUS_SUCCESS,
                   {44100, 48000}, {}},
        FormatCase{"RangeEndsAtTheFirstRateAtOrAboveItsTop", {FormatRange(2, 2, 16, 8000, 45000)}, STATUS_SUCCESS,
                   {8000, 11025, 16000, 22050, 32000, 44100, 48000}, {}},
        FormatCase{"ReversedRangeIsTakenInOrder", {FormatRange(2, 2, 16, 48000, 44100)}, STATUS_SUCCESS,
                   {44100, 48000}, {}},
        FormatCase{"RangeAbove96kHzKeepsTheTableItCovers", {FormatRange(2, 2, 16, 44100, 192000)}, STATUS_SUCCESS,
                   {44100, 48000, 88200, 96000}, {}},
        FormatCase{"WholeRangeGivesTheWholeTable", {FormatRange(2, 2, 16, 1, 0xFFFFFF)}, STATUS_SUCCESS, kAllRates,
                   {}},
        FormatCase{"RangeStartingAbove96kHzIsRefused", {FormatRange(2, 2, 16, 100000, 192000)},
                   STATUS_INVALID_PARAMETER, {}, {}},
        FormatCase{"RateZeroIsLeftOut", {FormatType(2, 2, 16, {0, 48000, 0})}, STATUS_SUCCESS, {48000}, {}},
        FormatCase{"ZeroChannelsAddNoFormat", {FormatType(0, 2, 16, {48000})}, STATUS_SUCCESS, {}, {}},
        FormatCase{"ZeroSubframeAddsNoFormat", {FormatType(2, 0, 0, {48000})}, STATUS_SUCCESS, {}, {}},
        FormatCase{"ResolutionBeyondTheSubframeAddsNoFormat", {FormatType(2, 2, 17, {48000})}, STATUS_SUCCESS, {},
                   {}},
        FormatCase{"Type3WithEncodedTagAddsTwoSubFormatsPerRate",
                   {FormatType(2, 2, 16, {44100, 48000}, 3), 0x2001},
                   STATUS_SUCCESS,
                   {44100, 44100, 48000, 48000},
                   {0x92, 0x164, 0x92, 0x164}},
        FormatCase{"Type3WithOtherTagAddsNothing", {FormatType(2, 2, 16, {48000}, 3), 0x1002}, STATUS_SUCCESS, {},
                   {}},
        FormatCase{"Type2IsRefused", {Bytes{9, 0x24, 2, 2, 0x80, 0x01, 0x00, 0x06, 1}, 0x1001},
                   STATUS_INVALID_PARAMETER, {}, {}},
        FormatCase{"RatesPastTheDescriptorAreRefused", {Bytes{11, 0x24, 2, 1, 2, 2, 16, 3, 0x80, 0xBB, 0x00}},
                   STATUS_INVALID_PARAMETER, {}, {}},
        FormatCase{"RangeWithoutItsTopIsRefused", {Bytes{11, 0x24, 2, 1, 2, 2, 16, 0, 0x44, 0xAC, 0x00}},
                   STATUS_INVALID_PARAMETER, {}, {}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST_F(Uac1StreamBuilders, ChannelMasksFollowTheDirection) {
  ASSERT_EQ(StartWith(SpeakerAndMicrophone(
                {{FormatType(1, 2, 16, {48000})}, {FormatType(4, 2, 16, {48000})}, {FormatType(6, 2, 16, {48000})},
                 {FormatType(8, 2, 16, {48000})}, {FormatType(3, 2, 16, {48000})}},
                {{FormatType(4, 2, 16, {48000})}, {FormatType(2, 2, 16, {48000})}})),
            STATUS_SUCCESS);
  std::vector<ULONG> render, capture;
  for (const FormatSeen& f : Formats(Engine(0))) render.push_back(f.mask);
  for (const FormatSeen& f : Formats(Engine(1))) capture.push_back(f.mask);
  EXPECT_EQ(render, (std::vector<ULONG>{0x4, 0x33, 0x3F, 0x63F, 0}));
  // Four channels: no mask and no second copy; two: the mask, then the copy without.
  EXPECT_EQ(capture, (std::vector<ULONG>{0, 0x3, 0}));
}

// A device with a second audio function: its streaming interface links to a terminal of
// that function, which this function does not build; the function takes only the
// interfaces its own header lists.
TEST_F(Uac1StreamBuilders, SecondFunctionsInterfacesAreLeftOut) {
  const std::vector<Bytes> units2 = {{12, 0x24, 2, 9, 0x01, 0x01, 0, 2, 3, 0, 0, 0},
                                     {10, 0x24, 6, 10, 9, 1, 0x01, 0, 0, 0},
                                     {9, 0x24, 3, 11, 0x02, 0x03, 0, 10, 0}};
  std::vector<Bytes> extra = {Interface(3, 0, 0, 1, 1), Header({4}, units2)};
  extra.insert(extra.end(), units2.begin(), units2.end());
  for (const Bytes& p : Streaming(4, 9, 0x03, {{FormatType(2, 2, 16, {48000})}})) extra.push_back(p);
  ASSERT_EQ(StartWith(SpeakerAndMicrophone({{FormatType(2, 2, 16, {48000})}}, {{FormatType(1, 2, 16, {48000})}},
                                           extra)),
            STATUS_SUCCESS);
  ASSERT_EQ(hal_->GetEngineCount(), 2u);
  EXPECT_EQ(Engine(0)->GetEngineId(), 1u);
  EXPECT_EQ(Engine(1)->GetEngineId(), 2u);
}

struct RefusalCase {
  std::string name;
  std::vector<Bytes> render;  // the pieces after the render interface's first setting
  NTSTATUS status;
  std::string reason;
};

class Refusals : public Uac1StreamBuilders, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, StopTheProbeWithTheirStatusAndSayWhy) {
  const RefusalCase& c = GetParam();
  const std::vector<Bytes> units = {{12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0},
                                    {10, 0x24, 6, 2, 1, 1, 0x03, 0, 0, 0},
                                    {9, 0x24, 3, 3, 0x01, 0x03, 0, 2, 0}};
  std::vector<Bytes> pieces = {Interface(0, 0, 0, 1, 1), Header({1}, units)};
  pieces.insert(pieces.end(), units.begin(), units.end());
  pieces.push_back(Interface(1, 0, 0, 1, 2));
  pieces.push_back(Interface(1, 1, 0, 1, 2));
  for (const Bytes& p : c.render) pieces.push_back(p);
  EXPECT_EQ(StartWith(Configuration(pieces)), c.status);
  ASSERT_NE(function(), nullptr);
  ASSERT_NE(function()->GetDescriptorFault().Reason, nullptr);
  EXPECT_NE(std::string(function()->GetDescriptorFault().Reason).find(c.reason), std::string::npos)
      << function()->GetDescriptorFault().Reason;
}

INSTANTIATE_TEST_SUITE_P(
    Uac1, Refusals,
    ::testing::Values(
        RefusalCase{"LinkToMissingTerminal",
                    {{7, 0x24, 1, 7, 1, 1, 0}, FormatType(2, 2, 16, {48000})},
                    STATUS_UNSUCCESSFUL,
                    "terminal this function does not have"},
        RefusalCase{"LinkToUnit",
                    {{7, 0x24, 1, 2, 1, 1, 0}, FormatType(2, 2, 16, {48000})},
                    STATUS_INVALID_PARAMETER,
                    "not a terminal"},
        RefusalCase{"FormatBeforeGeneral", {FormatType(2, 2, 16, {48000})}, STATUS_INVALID_PARAMETER, "before"},
        RefusalCase{"ShortGeneral", {{6, 0x24, 1, 1, 1, 1}}, STATUS_INVALID_PARAMETER, "shorter than 7"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// Descriptors the bus would not pass on, handed to the builder directly: a zero length
// and a length past the end stop the walk instead of looping or reading beyond it.
TEST_F(Uac1StreamBuilders, BrokenLengthsStopTheWalk) {
  const Bytes good = SpeakerAndMicrophone({{FormatType(2, 2, 16, {48000})}}, {{FormatType(1, 2, 16, {48000})}});
  ASSERT_EQ(StartWith(good), STATUS_SUCCESS);
  const std::vector<Bytes> units = {{12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0}};
  for (const Bytes& tail : {Bytes{0, 0x24, 2, 1}, Bytes{40, 0x24, 2, 1, 2, 2, 16, 1}}) {
    std::vector<Bytes> pieces = {Interface(0, 0, 0, 1, 1), Header({1}, units), units[0], Interface(1, 0, 0, 1, 2),
                                 Interface(1, 1, 0, 1, 2), Bytes{7, 0x24, 1, 1, 1, 1, 0}, tail};
    Bytes config = Configuration(pieces);
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    const ULONG first = ULONG(9 + pieces[0].size() + pieces[1].size() + pieces[2].size());
    auto* streaming = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + first);
    EXPECT_EQ(function()->BuildFilters(c, streaming, ULONG(config.size()) - first), STATUS_UNSUCCESSFUL);
  }
}

TEST_F(Uac1StreamBuilders, WithoutAnEngineFactoryTheFunctionIsNotBuilt) {
  uac::SetStreamEngineFactory(nullptr);
  EXPECT_EQ(StartWith(SpeakerAndMicrophone({{FormatType(2, 2, 16, {48000})}}, {{FormatType(1, 2, 16, {48000})}})),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(g_created, 0u);
}

// The whole start of a real device (probe, units, engines, formats, paths) with each of
// its allocations failed in turn: every run fails cleanly or succeeds, and leaves nothing.
TEST_F(Uac1StreamBuilders, HeadsetStartSurvivesEveryAllocationFailure) {
  stream::RegisterEngineFactories();
  const auto allocations = platform::testing::ForEachAllocationFailure(
      [&](platform::testing::FaultSweep& sweep) {
        Plug("uac1-headset-A.txt", Model());
        ASSERT_EQ(adapter::CreateUsbAudioDevice(&hal_), STATUS_SUCCESS);
        sweep.Arm();
        const NTSTATUS status = hal_->Init(nullptr, fdo_, lower_, port_->pdo());
        const bool fired = sweep.Disarm();
        if (!fired) {
          EXPECT_EQ(status, STATUS_SUCCESS);
          EXPECT_EQ(hal_->GetEngineCount(), 2u);
        }
        TearDownDevice();
      },
      4000);
  EXPECT_GT(allocations, 50u);
  RecordProperty("allocations", static_cast<int>(allocations));
}

}  // namespace
