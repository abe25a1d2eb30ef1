// Render endpoints whose PCM settings carry four channels beside a two-channel DSD setting,
// on the ASIO test device through the whole driver: the device starts, each such endpoint's
// wave filter offers four-channel PCM and plays it to the device byte for byte through a
// WaveCyclic pin, and an ASIO client in DSD mode finds the same endpoints' two-channel
// raw-data settings. Speakers and headphones both: a headphone endpoint shows only its
// two-channel formats unless none of them is PCM.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "asio_fixture.h"
#include "filters/miniport_wave_cyclic.h"
#include "sim/engine/engine.h"
#include "support/wave_formats.h"

namespace entry_test {
namespace {

using namespace adapter;
using sim::device::asio_device::RenderLayout;

constexpr ULONG kPcmRate = 48000;
constexpr ULONG kDsd64 = 2822400;

// Byte i of the PCM client's stream: no counter (the device's counter watch stays out of
// it) and never zero at the start, so the first sample after the lead's silence is byte 0.
BYTE PcmByte(ULONG64 i) { return static_cast<BYTE>((i * 37 + i / 251) ^ 0xA5); }


struct RenderEndpoint {
  std::uint8_t address;  // the OUT endpoint
  const char16_t* wave;  // its wave filter
};
constexpr RenderEndpoint kSpeakers = {0x01, u"SPKOut00Wave"};
constexpr RenderEndpoint kHeadphones = {0x02, u"HPOut00Wave"};

class RenderLayouts : public AsioTest {
 protected:
  std::unique_ptr<sim::engine::FilterClient> OpenWave(const char16_t* name) {
    std::unique_ptr<sim::engine::FilterClient> filter;
    for (const auto& info : sim::engine::EnumerateFilters())
      if (info.device == fdo() && info.name == name) {
        EXPECT_EQ(sim::engine::FilterClient::Open(info, &filter), STATUS_SUCCESS);
      }
    return filter;
  }

  // The streaming pin's first range: PCM, `channels` wide.
  void ExpectPcmRangeFirst(sim::engine::FilterClient& wave, ULONG channels) {
    sim::engine::FilterDescription d;
    ASSERT_EQ(wave.ReadDescription(&d), STATUS_SUCCESS);
    ASSERT_GT(d.pins.size(), filters::kWaveStreamingPin);
    const auto& ranges = d.pins[filters::kWaveStreamingPin].dataRanges;
    ASSERT_FALSE(ranges.empty());
    ASSERT_GE(ranges[0].size(), sizeof(KSDATARANGE_AUDIO));
    KSDATARANGE_AUDIO range;
    std::memcpy(&range, ranges[0].data(), sizeof range);
    EXPECT_TRUE(IsEqualGUID(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_EQ(range.MaximumChannels, channels);
  }

  // 300 ms of four-channel 16-bit PCM at 48 kHz through the endpoint's WaveCyclic pin; the
  // device must receive the client's bytes as they were.
  void PlayFourChannelPcm(const RenderEndpoint& endpoint) {
    auto wave = OpenWave(endpoint.wave);
    ASSERT_NE(wave, nullptr);
    ExpectPcmRangeFirst(*wave, 4);
    const KSDATARANGE_AUDIO wanted = platform::testing::PcmDataRange(4, 16, kPcmRate, kPcmRate);
    std::vector<BYTE> format;
    ASSERT_EQ(wave->Intersect(filters::kWaveStreamingPin, wanted, &format), STATUS_SUCCESS);
    ASSERT_GE(format.size(), sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f;
    std::memcpy(&f, format.data(), sizeof f);
    EXPECT_EQ(f.WaveFormatExt.Format.nChannels, 4);
    EXPECT_EQ(f.WaveFormatExt.dwChannelMask, 0x33u);
    EXPECT_EQ(f.WaveFormatExt.Format.nBlockAlign, 8);

    sim::engine::StreamOptions options;
    options.clientSignal = [](ULONG64 first, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) out[i] = PcmByte(first + i);
    };
    std::unique_ptr<sim::engine::Stream> stream;
    ASSERT_EQ(wave->OpenStream(filters::kWaveStreamingPin, format, options, &stream), STATUS_SUCCESS);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    platform::testing::DelayMs(300);
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    for (const auto& finding : stream->Findings())
      ADD_FAILURE() << sim::engine::IssueName(finding.issue) << ": " << finding.detail;
    stream.reset();

    const auto received = sim_->received_samples(endpoint.address);
    size_t first = 0;
    while (first < received.size() && received[first] == 0) ++first;
    ASSERT_EQ(first % 4, 0u) << "the client's data starts inside a frame";
    ASSERT_GT(received.size() - first, size_t{4 * kPcmRate / 10}) << "less than 100 ms reached the device";
    size_t bad = 0;
    for (size_t k = 0; first + k < received.size(); ++k) {
      const auto s = static_cast<USHORT>(received[first + k]);
      if (((s & 0xFF) != PcmByte(2 * k) || (s >> 8) != PcmByte(2 * k + 1)) && bad++ < 3)
        ADD_FAILURE() << "sample " << k << " (frame " << k / 4 << ", channel " << k % 4 << ")";
    }
    EXPECT_EQ(bad, 0u);
  }

  // An ASIO client in DSD mode sees each render endpoint as one channel pair and DSD64
  // on every endpoint, the four-channel ones included.
  void NegotiateDsd() {
    auto client = NewClient();
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, kAsioModeDsd), STATUS_SUCCESS);
    EXPECT_EQ(client->SetValue(IOCTL_ASIO_CAN_SAMPLE_RATE, kDsd64), STATUS_SUCCESS);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, kDsd64), STATUS_SUCCESS);
    std::vector<ULONG> channels(4);
    const auto reply = client->Request(IOCTL_ASIO_GET_CHANNELS, {}, 16);
    ASSERT_EQ(reply.data.size(), 16u);
    std::memcpy(channels.data(), reply.data.data(), 16);
    EXPECT_EQ(channels, (std::vector<ULONG>{3, 4, 2, 0}));
    ASSERT_EQ(client->Close(), STATUS_SUCCESS);
  }
};

// Each layout starts (a four-channel headphone endpoint once failed the start with
// STATUS_INSUFFICIENT_RESOURCES: its wave filter found no PCM format), shows all three
// wave filters, carries four-channel PCM on each four-channel endpoint and offers DSD to
// an ASIO client.
TEST_F(RenderLayouts, FourChannelRenderPcmBesideTwoChannelDsdStartsAndStreamsBoth) {
  struct Row {
    const char* what;
    RenderLayout layout;
  };
  const Row rows[] = {
      {"four-channel speakers", {4, 2}},
      {"four-channel headphones", {2, 4}},
      {"four-channel speakers and headphones", {4, 4}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    removed_ = false;
    StartAsioDevice(sim::device::asio_device::ConfigurationDescriptor(row.layout));
    EXPECT_EQ(Subdevices().size(), 4u);  // the topology and three wave filters
    if (row.layout.speakerChannels == 4) PlayFourChannelPcm(kSpeakers);
    if (row.layout.headphoneChannels == 4) PlayFourChannelPcm(kHeadphones);
    NegotiateDsd();
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    Unplug();
  }
}

}  // namespace
}  // namespace entry_test
