// The WaveCyclic miniport: data ranges from the engine's formats, the filter descriptor,
// the intersection, one stream at a time, the signal-processing modes, the pin map and
// the capability-record property.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "bridge_pin.h"
#include "wave_fixture.h"

namespace {

using filters_test::DataFormatOf;
using filters_test::ExtensibleFormat;

const WAVEFORMATEXTENSIBLE k44_16 = ExtensibleFormat(2, 44100, 16);
const WAVEFORMATEXTENSIBLE k48_16 = ExtensibleFormat(2, 48000, 16);
const WAVEFORMATEXTENSIBLE k44_24 = ExtensibleFormat(2, 44100, 24);
const WAVEFORMATEXTENSIBLE k48_24 = ExtensibleFormat(2, 48000, 24);
const WAVEFORMATEXTENSIBLE kFloat96 = ExtensibleFormat(2, 96000, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
const WAVEFORMATEXTENSIBLE kVendor = ExtensibleFormat(2, 48000, 16, filters::KSDATAFORMAT_SUBTYPE_VENDOR_E7A);

class WaveMiniport : public filters_test::WaveFixture {};

TEST_F(WaveMiniport, OnePcmRangeFirstAcrossRatesAndWidths) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {kFloat96, k44_16, kVendor, k48_16, k44_24, k48_24}),
            STATUS_SUCCESS);
  ASSERT_EQ(miniport_->GetDataRangeCount(), 2u);
  const KSDATARANGE_AUDIO& pcm = miniport_->GetDataRanges()[0];
  EXPECT_TRUE(IsEqualGUID(pcm.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_EQ(pcm.MaximumChannels, 2u);
  EXPECT_EQ(pcm.MinimumBitsPerSample, 16u);
  EXPECT_EQ(pcm.MaximumBitsPerSample, 24u);
  EXPECT_EQ(pcm.MinimumSampleFrequency, 44100u);
  EXPECT_EQ(pcm.MaximumSampleFrequency, 48000u);
  EXPECT_EQ(pcm.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
  EXPECT_EQ(pcm.DataRange.Flags, KSDATARANGE_ATTRIBUTES);
  EXPECT_TRUE(IsEqualGUID(miniport_->GetDataRanges()[1].DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));

  PPCFILTER_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(miniport_->GetDescription(&descriptor), STATUS_SUCCESS);
  ASSERT_EQ(descriptor->PinCount, 2u);
  const KSPIN_DESCRIPTOR& streaming = descriptor->Pins[0].KsPinDescriptor;
  EXPECT_EQ(streaming.DataRangesCount, 4u);  // each range and its attribute list
  EXPECT_EQ(streaming.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(streaming.Communication, KSPIN_COMMUNICATION_SINK);
  EXPECT_EQ(descriptor->Pins[0].MaxFilterInstanceCount, 1u);
  EXPECT_EQ(descriptor->Pins[1].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(descriptor->Pins[1].KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
  EXPECT_TRUE(IsEqualGUID(*descriptor->Nodes[0].Type, KSNODETYPE_DAC));
  ASSERT_EQ(descriptor->CategoryCount, 3u);
  EXPECT_TRUE(IsEqualGUID(descriptor->Categories[1], KSCATEGORY_RENDER));
  EXPECT_EQ(descriptor->Connections[0].FromNode, PCFILTER_NODE);
  EXPECT_EQ(descriptor->Connections[0].FromNodePin, 0u);
  EXPECT_EQ(descriptor->Connections[1].ToNodePin, 1u);

  // The pins' shapes and the categories, written out from their definitions.
  const PCPIN_DESCRIPTOR& stream = descriptor->Pins[0];
  EXPECT_EQ(stream.MaxGlobalInstanceCount, 1u);
  EXPECT_EQ(stream.MinFilterInstanceCount, 1u);
  ASSERT_EQ(stream.KsPinDescriptor.InterfacesCount, 1u);
  EXPECT_TRUE(IsEqualGUID(stream.KsPinDescriptor.Interfaces[0].Set,
                          (GUID{0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}})));
  EXPECT_EQ(stream.KsPinDescriptor.Interfaces[0].Id, 0u);
  EXPECT_EQ(stream.KsPinDescriptor.Interfaces[0].Flags, 0u);
  // Every range is followed by the one attribute list: the signal-processing mode.
  for (ULONG r = 1; r < streaming.DataRangesCount; r += 2) {
    const auto* list = reinterpret_cast<const KSATTRIBUTE_LIST*>(streaming.DataRanges[r]);
    ASSERT_EQ(list->Count, 1u);
    EXPECT_EQ(list->Attributes[0]->Size, 24u);
    EXPECT_EQ(list->Attributes[0]->Flags, 0u);
    EXPECT_TRUE(IsEqualGUID(list->Attributes[0]->Attribute,
                            (GUID{0xE1F89EB5, 0x5F46, 0x419B, {0x96, 0x7B, 0xFF, 0x67, 0x70, 0xB9, 0x84, 0x01}})));
  }
  const PCPIN_DESCRIPTOR& bridge = descriptor->Pins[1];
  filters_test::ExpectBridgePin(bridge);
  EXPECT_TRUE(IsEqualGUID(descriptor->Categories[2],
                          (GUID{0xDC156818, 0xB26E, 0x4115, {0xAE, 0xF2, 0x37, 0xB6, 0xE5, 0xDC, 0x6E, 0xD9}})));

  PWSTR name = nullptr;
  ASSERT_EQ(miniport_->GetSubdeviceName(&name), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"SPKOut00Wave");
}

TEST_F(WaveMiniport, CaptureFilterShape) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_CAPTURE, {k48_16}, u"MicIn00"), STATUS_SUCCESS);
  PPCFILTER_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(miniport_->GetDescription(&descriptor), STATUS_SUCCESS);
  EXPECT_EQ(descriptor->Pins[0].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(descriptor->Pins[1].KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_TRUE(IsEqualGUID(*descriptor->Nodes[0].Type, KSNODETYPE_ADC));
  EXPECT_TRUE(IsEqualGUID(descriptor->Categories[1], KSCATEGORY_CAPTURE));
  EXPECT_EQ(descriptor->Connections[0].FromNodePin, 1u);
  EXPECT_EQ(descriptor->Connections[1].ToNodePin, 0u);
}

TEST_F(WaveMiniport, InitRefusesEnginesWithoutPcm) {
  struct Case {
    const char* name;
    std::vector<WAVEFORMATEXTENSIBLE> formats;
  } cases[] = {{"vendor only", {kVendor}}, {"float only", {kFloat96}}, {"none", {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, c.formats), STATUS_INSUFFICIENT_RESOURCES);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(miniport_->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR);
    Teardown();
  }
}

TEST_F(WaveMiniport, SignalProcessingModes) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48_16}), STATUS_SUCCESS);
  struct Case {
    const char* name;
    ULONG pin;
    bool buffer, size;
    ULONG sizeIn;
    NTSTATUS expected;
    ULONG sizeOut;
    bool raw;
  } cases[] = {
      {"no size", 0, true, false, 1, STATUS_INVALID_PARAMETER, 0, false},
      {"bridge pin", 1, true, true, 1, STATUS_NOT_SUPPORTED, 1, false},
      {"zero-size buffer", 0, true, true, 0, STATUS_BUFFER_TOO_SMALL, 1, false},
      {"one mode", 0, true, true, 4, STATUS_SUCCESS, 1, true},
      {"size query", 0, false, true, 0, STATUS_SUCCESS, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GUID mode{};
    ULONG size = c.sizeIn;
    EXPECT_EQ(miniport_->GetModes(c.pin, c.buffer ? &mode : nullptr, c.size ? &size : nullptr), c.expected);
    if (c.size) {
      EXPECT_EQ(size, c.sizeOut);
    }
    EXPECT_EQ(IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW), c.raw);
  }
}

KSDATARANGE_AUDIO ClientRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                              const GUID& specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX,
                              const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = subFormat;
  r.DataRange.Specifier = specifier;
  r.MaximumChannels = channels;
  r.MinimumBitsPerSample = minBits;
  r.MaximumBitsPerSample = maxBits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

TEST_F(WaveMiniport, IntersectionAgainstTheEngineFormats) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k44_16, k48_16, k48_24}), STATUS_SUCCESS);
  auto* mine = reinterpret_cast<PKSDATARANGE>(const_cast<KSDATARANGE_AUDIO*>(&miniport_->GetDataRanges()[0]));
  struct Case {
    const char* name;
    KSDATARANGE_AUDIO client;
    ULONG clientSize;
    ULONG outSize;
    NTSTATUS expected;
    ULONG rate, bits;
  } cases[] = {
      {"widest", ClientRange(8, 8, 32, 8000, 192000), 88, 104, STATUS_SUCCESS, 48000, 24},
      {"16-bit only", ClientRange(2, 16, 16, 8000, 192000), 88, 104, STATUS_SUCCESS, 48000, 16},
      {"44.1 kHz only", ClientRange(2, 16, 16, 44100, 44100), 88, 104, STATUS_SUCCESS, 44100, 16},
      {"wildcard: the range's maxima", ClientRange(2, 0, 0, 0, 0, KSDATAFORMAT_SPECIFIER_WILDCARD), 64, 104,
       STATUS_SUCCESS, 48000, 24},
      {"size query", ClientRange(2, 16, 24, 8000, 192000), 88, 0, STATUS_BUFFER_OVERFLOW, 0, 0},
      {"short buffer", ClientRange(2, 16, 24, 8000, 192000), 88, 103, STATUS_BUFFER_TOO_SMALL, 0, 0},
      {"short client range", ClientRange(2, 16, 24, 8000, 192000), 80, 104, STATUS_INVALID_PARAMETER, 0, 0},
      {"rates apart", ClientRange(2, 16, 24, 8000, 32000), 88, 104, STATUS_NO_MATCH, 0, 0},
      {"bits above", ClientRange(2, 32, 32, 8000, 192000), 88, 104, STATUS_NO_MATCH, 0, 0},
      {"smaller maximum rate not a format: the highest rate inside both", ClientRange(2, 16, 16, 8000, 46000), 88,
       104, STATUS_SUCCESS, 44100, 16},
      {"smaller maximum width not a format: the most bits inside both", ClientRange(2, 16, 20, 8000, 192000), 88,
       104, STATUS_SUCCESS, 48000, 16},
      {"no engine format inside both", ClientRange(2, 17, 20, 8000, 192000), 88, 104, STATUS_NO_MATCH, 0, 0},
      {"mono", ClientRange(1, 16, 16, 8000, 192000), 88, 104, STATUS_NO_MATCH, 0, 0},
      {"dsound", ClientRange(2, 16, 16, 8000, 192000, KSDATAFORMAT_SPECIFIER_DSOUND), 88, 104,
       STATUS_NOT_SUPPORTED, 0, 0},
      {"subformat the engine lacks",
       ClientRange(2, 16, 16, 8000, 192000, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT),
       88, 104, STATUS_NO_MATCH, 0, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.client.DataRange.FormatSize = c.clientSize;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
    ULONG written = 0;
    NTSTATUS status = miniport_->DataRangeIntersection(0, &c.client.DataRange, mine, c.outSize, &out, &written);
    EXPECT_EQ(status, c.expected);
    if (status == STATUS_BUFFER_OVERFLOW) {
      EXPECT_EQ(written, 104u);
    }
    if (status != STATUS_SUCCESS) continue;
    EXPECT_EQ(written, 104u);
    EXPECT_EQ(out.DataFormat.FormatSize, 104u);
    EXPECT_EQ(out.DataFormat.Flags & KSDATAFORMAT_ATTRIBUTES, 0u);
    EXPECT_EQ(out.WaveFormatExt.Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(out.WaveFormatExt.Samples.wValidBitsPerSample, c.bits);
    // The result is one of the engine's formats, whole.
    WAVEFORMATEXTENSIBLE check = out.WaveFormatExt;
    EXPECT_EQ(engine_->FindFormat(&check.Format), STATUS_SUCCESS);
  }
}

// Against an oracle that walks every engine format: the intersection answers the Part's
// choice (the smaller maxima) when that is an engine format, else the best format inside
// both ranges, and STATUS_NO_MATCH only when no engine format lies in both.
TEST_F(WaveMiniport, IntersectionFindsEveryCommonFormat) {
  const ULONG rates[] = {8000, 22050, 44100, 48000, 96000, 192000};
  const ULONG widths[] = {16, 24, 32};
  std::mt19937 random(20261207);
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<WAVEFORMATEXTENSIBLE> formats;
    for (ULONG rate : rates)
      for (ULONG bits : widths)
        for (WORD channels : {WORD{1}, WORD{2}, WORD{6}})
          if (random() % 4 == 0) formats.push_back(ExtensibleFormat(channels, rate, bits));
    if (formats.empty()) formats.push_back(k48_16);
    ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, formats), STATUS_SUCCESS);
    const KSDATARANGE_AUDIO& mine = miniport_->GetDataRanges()[0];
    const bool wildcard = random() % 5 == 0;
    const ULONG r0 = 4000 + random() % 200000, r1 = 4000 + random() % 200000;
    const ULONG b0 = 8 + random() % 28, b1 = 8 + random() % 28;
    KSDATARANGE_AUDIO client = ClientRange(1 + random() % 8, std::min(b0, b1), std::max(b0, b1), std::min(r0, r1),
                                           std::max(r0, r1));
    if (wildcard) client = ClientRange(2, 0, 0, 0, 0, KSDATAFORMAT_SPECIFIER_WILDCARD);
    const KSDATARANGE_AUDIO& bound = wildcard ? mine : client;

    const WAVEFORMATEXTENSIBLE* expected = nullptr;
    const bool apart = !wildcard && (client.MaximumSampleFrequency < mine.MinimumSampleFrequency ||
                       client.MinimumSampleFrequency > mine.MaximumSampleFrequency ||
                       client.MinimumBitsPerSample > mine.MaximumBitsPerSample ||
                       client.MaximumBitsPerSample < mine.MinimumBitsPerSample);
    const ULONG wantRate = std::min(bound.MaximumSampleFrequency, mine.MaximumSampleFrequency);
    const ULONG wantBits = std::min(bound.MaximumBitsPerSample, mine.MaximumBitsPerSample);
    const ULONG wantChannels = std::min(bound.MaximumChannels, mine.MaximumChannels);
    for (const auto& f : formats)
      if (!expected && !apart && f.Format.nSamplesPerSec == wantRate && f.Samples.wValidBitsPerSample == wantBits &&
          f.Format.nChannels == wantChannels)
        expected = &f;
    const auto rank = [](const WAVEFORMATEXTENSIBLE& f) {
      return std::tuple(f.Format.nChannels, f.Format.nSamplesPerSec, f.Samples.wValidBitsPerSample);
    };
    for (const auto& f : formats) {
      if (expected && rank(*expected) == std::tuple(WORD(wantChannels), wantRate, WORD(wantBits))) break;
      const bool inside = f.Format.nChannels <= wantChannels &&
                          f.Format.nSamplesPerSec >= std::max(bound.MinimumSampleFrequency, mine.MinimumSampleFrequency) &&
                          f.Format.nSamplesPerSec <= wantRate &&
                          f.Samples.wValidBitsPerSample >= std::max(bound.MinimumBitsPerSample, mine.MinimumBitsPerSample) &&
                          f.Samples.wValidBitsPerSample <= wantBits;
      if (inside && !apart && (!expected || rank(f) > rank(*expected))) expected = &f;
    }

    KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
    ULONG written = 0;
    const NTSTATUS status = miniport_->DataRangeIntersection(
        0, &client.DataRange, reinterpret_cast<PKSDATARANGE>(const_cast<KSDATARANGE_AUDIO*>(&mine)), 104, &out,
        &written);
    if (!expected) {
      EXPECT_EQ(status, STATUS_NO_MATCH);
    } else {
      ASSERT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(rank(out.WaveFormatExt), rank(*expected));
    }
    Teardown();
  }
}

TEST_F(WaveMiniport, OneStreamAtATime) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48_16}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48_16), STATUS_SUCCESS);
  EXPECT_TRUE(miniport_->IsStreamOpen());
  PMINIPORTWAVECYCLICSTREAM second = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;
  std::vector<BYTE> bytes = DataFormatOf(k48_16);
  EXPECT_EQ(miniport_->NewStream(&second, nullptr, NonPagedPool, 0, FALSE,
                                 reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &dma, &group),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second, nullptr);
  CloseStream();
  EXPECT_FALSE(miniport_->IsStreamOpen());
  EXPECT_EQ(Open(k48_16), STATUS_SUCCESS);
}

TEST_F(WaveMiniport, NewStreamRefusals) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48_16}), STATUS_SUCCESS);
  EXPECT_EQ(Open(k44_16), STATUS_INVALID_PARAMETER);
  // A format asking for another signal-processing mode.
  std::vector<BYTE> bytes = DataFormatOf(k48_16);
  reinterpret_cast<KSDATAFORMAT*>(bytes.data())->Flags = KSDATAFORMAT_ATTRIBUTES;
  KSMULTIPLE_ITEM header{8 + 40, 1};
  KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE mode{{40, 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE},
                                              AUDIO_SIGNALPROCESSINGMODE_DEFAULT};
  bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&header), reinterpret_cast<BYTE*>(&header) + 8);
  bytes.insert(bytes.end(), reinterpret_cast<BYTE*>(&mode), reinterpret_cast<BYTE*>(&mode) + 40);
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;
  EXPECT_EQ(miniport_->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE,
                                 reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &dma, &group),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_FALSE(miniport_->IsStreamOpen());
  // Raw is taken.
  std::memcpy(bytes.data() + 104 + 8 + 24, &AUDIO_SIGNALPROCESSINGMODE_RAW, sizeof(GUID));
  EXPECT_EQ(miniport_->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE,
                                 reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &dma, &group),
            STATUS_SUCCESS);
  stream_ = stream;
  dma_ = dma;
  group_ = group;
}

TEST_F(WaveMiniport, MapPinFindsTheStreamingTerminal) {
  struct Case {
    const char* name;
    ULONG direction;
    bool input;
    ULONG kind;
    NTSTATUS expected;
  } cases[] = {
      {"render: streaming input terminal", adapter::STREAM_DIRECTION_RENDER, true, 0, STATUS_SUCCESS},
      {"render: a speaker is no streaming terminal", adapter::STREAM_DIRECTION_RENDER, true, 1, STATUS_NOT_FOUND},
      {"render: output terminal", adapter::STREAM_DIRECTION_RENDER, false, 0, STATUS_NOT_FOUND},
      {"capture: streaming output terminal", adapter::STREAM_DIRECTION_CAPTURE, false, 0, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Build(c.direction, {k48_16}), STATUS_SUCCESS);
    AddTerminal(7, c.input, c.kind);
    ULONG id = 0xFFFF;
    EXPECT_EQ(miniport_->MapPin(0, &id), c.expected);
    EXPECT_EQ(id, c.expected == STATUS_SUCCESS ? 7u : 0xFFFFu);
    Teardown();
  }
}

TEST_F(WaveMiniport, CapabilityRecordProperty) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48_16}), STATUS_SUCCESS);
  adapter::EndpointCapabilityRecord templ{};
  templ.FeatureFlags = adapter::ENDPOINT_FEATURE_ASIO;
  hal_->SetTemplate(templ);
  PPCFILTER_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(miniport_->GetDescription(&descriptor), STATUS_SUCCESS);
  const PCPROPERTY_ITEM& item = descriptor->AutomationTable->Properties[0];
  BYTE value[40] = {};
  PCPROPERTY_REQUEST request{};
  request.MajorTarget = static_cast<IMiniportWaveCyclic*>(miniport_);
  request.PropertyItem = &item;
  request.Verb = KSPROPERTY_TYPE_GET;
  request.Value = value;
  request.ValueSize = 31;
  EXPECT_EQ(item.Handler(&request), STATUS_INVALID_DEVICE_REQUEST);
  request.ValueSize = 32;
  EXPECT_EQ(item.Handler(&request), STATUS_SUCCESS);
  adapter::EndpointCapabilityRecord got;
  std::memcpy(&got, value, sizeof got);
  EXPECT_EQ(got.FeatureFlags, adapter::ENDPOINT_FEATURE_ASIO);
  request.Verb = KSPROPERTY_TYPE_SET;
  EXPECT_EQ(item.Handler(&request), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
