// The private ASIO interface through the whole driver: simulated ASIO clients open the
// interface of a started UAC 2.0 device with three ASIO endpoints and negotiate with it
// through the I/O controls as the user-mode ASIO driver does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "asio_fixture.h"
#include "kernel/pool.h"
#include "kernel/registry.h"

namespace entry_test {
namespace {

using namespace adapter;
using sim::engine::AsioClient;
using sim::engine::AsioReply;

std::vector<ULONG> Ulongs(const AsioReply& reply) {
  std::vector<ULONG> out(reply.data.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), reply.data.data(), out.size() * 4);
  return out;
}

std::vector<UCHAR> ChannelRequest(ULONG channel, ULONG input) {
  std::vector<UCHAR> b(kAsioChannelNameBytes, 0xCC);
  std::memcpy(b.data(), &channel, 4);
  std::memcpy(b.data() + 4, &input, 4);
  return b;
}

class AsioInterface : public AsioTest {};

TEST_F(AsioInterface, DriverNameIsTheProductStringWithoutTrailingSpaces) {
  StartAsioDevice();
  auto client = NewClient();
  NTSTATUS status = 0;
  EXPECT_EQ(client->DriverName(&status), kAsioDriverName);
  EXPECT_EQ(status, STATUS_SUCCESS);
  AsioReply query = client->Request(IOCTL_ASIO_GET_DRIVER_NAME, {}, 0);
  EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(query.information, sizeof kAsioDriverName);
  AsioReply shorter = client->Request(IOCTL_ASIO_GET_DRIVER_NAME, {}, 5);
  EXPECT_EQ(shorter.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(shorter.information, 0u);
}

// The product string is read as the device strings are: what both its bLength and the
// transfer cover, in whole UTF-16 units; a device that fails the read gets the default
// name, cut to the caller's buffer.
TEST_F(AsioInterface, DriverNameTakesOnlyTheTextTheDeviceSent) {
  struct Case {
    const char* name;
    std::vector<UCHAR> reply;  // empty: the request stalls
    ULONG out;
    NTSTATUS status;
    std::string text;
  };
  const Case cases[] = {
      {"bLength past the transfer", {0xFF, 3, 'A', 0, 'b', 0, 'c'}, 64, STATUS_SUCCESS, "Ab"},
      {"odd bLength", {7, 3, 'A', 0, 'b', 0, 'c', 0, 'd', 0}, 64, STATUS_SUCCESS, "Ab"},
      {"not ASCII", {6, 3, 0xE9, 0, 0x00, 0x4E}, 64, STATUS_SUCCESS, "??"},
      {"only spaces", {6, 3, ' ', 0, ' ', 0}, 64, STATUS_SUCCESS, "Quvara USB ASIO Device"},
      {"stalled", {}, 64, STATUS_SUCCESS, "Quvara USB ASIO Device"},
      {"stalled, short buffer", {}, 7, STATUS_SUCCESS, "Quvara"},
  };
  StartAsioDevice();
  auto client = NewClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim_->SetRequestHook([&](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data)
                             -> std::optional<sim::device::ControlResult> {
      if (s.bRequest != 6 || s.wValue != 0x0302) return std::nullopt;
      if (c.reply.empty()) return sim::device::ControlResult{USBD_STATUS_STALL_PID, 0};
      const ULONG n = std::min<ULONG>(static_cast<ULONG>(c.reply.size()), s.wLength);
      std::memcpy(data, c.reply.data(), n);
      return sim::device::ControlResult{USBD_STATUS_SUCCESS, n};
    });
    AsioReply reply = client->Request(IOCTL_ASIO_GET_DRIVER_NAME, {}, c.out);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.information, c.text.size() + 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.data.data())), c.text);
  }
  sim_->SetRequestHook(nullptr);
}

// {endpoints, output channels, input channels, 0} per mode, for render endpoints whose PCM
// settings have two or four channels beside their two-channel DSD setting (the
// headphones too: a headphone endpoint without two-channel PCM offers all its formats).
TEST_F(AsioInterface, ChannelsCountEveryAsioEndpointByModeAndDirection) {
  struct Row {
    const char* what;
    sim::device::asio_device::RenderLayout layout;
    std::vector<ULONG> pcm, dsd;
  };
  const Row rows[] = {
      {"two-channel render", {2, 2}, {3, 4, 4, 0}, {3, 4, 2, 0}},
      {"four-channel speakers", {4, 2}, {3, 6, 4, 0}, {3, 4, 2, 0}},
      {"four-channel headphones", {2, 4}, {3, 6, 4, 0}, {3, 4, 2, 0}},
      {"four-channel speakers and headphones", {4, 4}, {3, 8, 4, 0}, {3, 4, 2, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    removed_ = false;
    StartAsioDevice(sim::device::asio_device::ConfigurationDescriptor(row.layout));
    auto client = NewClient();
    EXPECT_EQ(Ulongs(client->Request(IOCTL_ASIO_GET_CHANNELS, {}, 16)), row.pcm);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, kAsioModeDsd), STATUS_SUCCESS);
    EXPECT_EQ(Ulongs(client->Request(IOCTL_ASIO_GET_CHANNELS, {}, 16)), row.dsd);
    EXPECT_EQ(client->GetValue(IOCTL_ASIO_GET_SAMPLE_MODE), kAsioModeDsd);
    ASSERT_EQ(client->Close(), STATUS_SUCCESS);
    client.reset();
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    Unplug();
  }
}

TEST_F(AsioInterface, ChannelNamesComeFromTheSubdeviceNames) {
  StartAsioDevice();
  auto client = NewClient();
  AsioReply reply = client->Request(IOCTL_ASIO_GET_CHANNEL_NAME, ChannelRequest(3, 1), kAsioChannelNameBytes);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.data.data() + 20), "MicIn00_03 ch");
  // The channel number and is-input are 8 bytes: 7 of them are no request, the output
  // untouched; 8 are enough.
  std::vector<UCHAR> request = ChannelRequest(3, 1);
  request.resize(7);
  reply = client->Request(IOCTL_ASIO_GET_CHANNEL_NAME, request, kAsioChannelNameBytes);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_NE(std::string(reinterpret_cast<const char*>(reply.data.data() + 20), 13), "MicIn00_03 ch");
  request = ChannelRequest(3, 1);
  request.resize(8);
  reply = client->Request(IOCTL_ASIO_GET_CHANNEL_NAME, request, kAsioChannelNameBytes);
  EXPECT_EQ(reply.information, kAsioChannelNameBytes);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply.data.data() + 20), "MicIn00_03 ch");
}

// The interface's own edge cases, each as one request sequence.
TEST_F(AsioInterface, EdgeCasesAnswerAsTheInterfaceDefines) {
  StartAsioDevice();
  auto client = NewClient();
  AsioReply inUse = client->Request(IOCTL_ASIO_GET_IN_USE, {}, 0);
  EXPECT_EQ(inUse.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(inUse.information, 4u);
  EXPECT_EQ(client->Request(IOCTL_ASIO_GET_IN_USE, {}, 2).status, STATUS_BUFFER_TOO_SMALL);
  AsioReply used = client->Request(IOCTL_ASIO_GET_IN_USE, {}, 4);
  EXPECT_EQ(used.status, STATUS_SUCCESS);
  EXPECT_EQ(Ulongs(used), std::vector<ULONG>{0});

  // SetLatency answers the new buffer length in the same request.
  AsioReply latency = client->Request(IOCTL_ASIO_SET_LATENCY, AsioClient::Ulong(2), 8);
  EXPECT_EQ(latency.status, STATUS_SUCCESS);
  EXPECT_EQ(latency.information, 8u);
  EXPECT_EQ(Ulongs(latency), (std::vector<ULONG>{6 * 48, 12 * 48}));

  struct Size {
    ULONG rate;
    std::vector<ULONG> sizes;
  };
  ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_LATENCY, 4), STATUS_SUCCESS);
  for (const Size& c : {Size{48000, {96, 2400, 480, 1}}, Size{44100, {88, 2200, 440, 1}}}) {
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, c.rate), STATUS_SUCCESS);
    EXPECT_EQ(Ulongs(client->Request(IOCTL_ASIO_GET_BUFFER_SIZE, {}, 16)), c.sizes) << c.rate;
  }
  ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, kAsioModeDsd), STATUS_SUCCESS);
  ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 2822400), STATUS_SUCCESS);
  EXPECT_EQ(Ulongs(client->Request(IOCTL_ASIO_GET_BUFFER_LENGTH, {}, 8)), (std::vector<ULONG>{28160, 56320}));

  AsioReply info = client->Request(IOCTL_ASIO_GET_LATENCY_INFO, {}, 44);
  EXPECT_EQ(Ulongs(info), (std::vector<ULONG>{4, 9, 2, 4, 6, 8, 10, 20, 30, 40, 50}));
}

// Over every rate the endpoints offer and every latency index, in both modes: sizes are
// ordered and whole multiples of their granularity, the second length is twice the first,
// and the preferred size is the latency's milliseconds of frames (PCM) or of DSD units.
TEST_F(AsioInterface, BufferLengthsAndSizesHoldTheirInvariantsOverEveryRateAndLatency) {
  StartAsioDevice();
  auto client = NewClient();
  struct Mode {
    ULONG mode;
    std::vector<ULONG> rates;
  };
  const Mode modes[] = {{kAsioModePcm, {std::begin(kPcmRates), std::end(kPcmRates)}},
                        {kAsioModeDsd, {std::begin(kDsdRates), std::end(kDsdRates)}}};
  for (const Mode& m : modes) {
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, m.mode), STATUS_SUCCESS);
    for (ULONG rate : m.rates) {
      ASSERT_EQ(client->SetValue(IOCTL_ASIO_CAN_SAMPLE_RATE, rate), STATUS_SUCCESS) << rate;
      ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, rate), STATUS_SUCCESS) << rate;
      for (ULONG index = 0; index < kAsioLatencyCount; ++index) {
        SCOPED_TRACE(testing::Message() << "mode " << m.mode << " rate " << rate << " index " << index);
        AsioReply set = client->Request(IOCTL_ASIO_SET_LATENCY, AsioClient::Ulong(index), 8);
        ASSERT_EQ(set.status, STATUS_SUCCESS);
        const std::vector<ULONG> length = Ulongs(set);
        const std::vector<ULONG> size = Ulongs(client->Request(IOCTL_ASIO_GET_BUFFER_SIZE, {}, 16));
        ASSERT_EQ(size.size(), 4u);
        const ULONG min = size[0], max = size[1], preferred = size[2], granularity = size[3];
        EXPECT_LE(min, preferred);
        EXPECT_LE(preferred, max);
        ASSERT_GT(granularity, 0u);
        EXPECT_EQ(min % granularity, 0u);
        EXPECT_EQ(max % granularity, 0u);
        EXPECT_EQ(preferred % granularity, 0u);
        EXPECT_EQ(length[1], 2 * length[0]);
        const ULONG ms = kAsioLatencyMs[index];
        if (m.mode == kAsioModePcm) {
          // Frames per millisecond, truncated: 44.1 kHz counts 44.
          EXPECT_EQ(preferred, ms * (rate / 1000));
          EXPECT_EQ(length[0], preferred);
        } else {
          // A DSD unit is 64 one-bit samples; 64 x 44.1 kHz has 44 per millisecond.
          const ULONG perMs = rate % 44100 == 0 ? rate / 44100 * 44 : rate / 48000 * 48;
          EXPECT_EQ(length[0], ms * perMs);
          EXPECT_EQ(preferred, (index < 1 ? 4 : ms) * perMs);
          EXPECT_EQ(granularity, rate % 44100 == 0 ? rate / 44100 : rate / 48000);
        }
      }
    }
  }
}

// Only the types every endpoint offers, in the interface's order (the capture endpoint
// lists 24-in-32 first); the current type is the device default.
TEST_F(AsioInterface, SampleTypesAreThoseEveryEndpointOffersInTheInterfacesOrder) {
  StartAsioDevice();
  auto client = NewClient();
  AsioReply query = client->Request(IOCTL_ASIO_GET_SAMPLE_TYPES, {}, 0);
  EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(query.information, 16u);
  EXPECT_EQ(Ulongs(client->Request(IOCTL_ASIO_GET_SAMPLE_TYPES, {}, 16)), (std::vector<ULONG>{16, 2, 16, 27}));
  ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_BIT_DEPTH, 27), STATUS_SUCCESS);
  EXPECT_EQ(Ulongs(client->Request(IOCTL_ASIO_GET_SAMPLE_TYPES, {}, 16)), (std::vector<ULONG>{27, 2, 16, 27}));
  AsioReply shorter = client->Request(IOCTL_ASIO_GET_SAMPLE_TYPES, {}, 12);
  EXPECT_EQ(shorter.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(shorter.information, 0u);
}

// Rates and modes every ASIO endpoint offers are accepted; others are refused without
// storing anything, rates that do not fit the mode (or lie below 1 kHz) before any check.
TEST_F(AsioInterface, RateAndModeChecksNeedEveryEndpoint) {
  StartAsioDevice();
  struct Case {
    ULONG mode;
    ULONG code;
    ULONG value;
    NTSTATUS status;
  };
  const Case cases[] = {
      {kAsioModePcm, IOCTL_ASIO_CAN_SAMPLE_RATE, 48000, STATUS_SUCCESS},
      {kAsioModePcm, IOCTL_ASIO_CAN_SAMPLE_RATE, 384000, STATUS_SUCCESS},
      {kAsioModePcm, IOCTL_ASIO_CAN_SAMPLE_RATE, 22050, STATUS_UNSUCCESSFUL},
      {kAsioModePcm, IOCTL_ASIO_SET_SAMPLE_RATE, 22050, STATUS_UNSUCCESSFUL},
      {kAsioModePcm, IOCTL_ASIO_SET_SAMPLE_RATE, 2822400, STATUS_INVALID_PARAMETER},
      {kAsioModePcm, IOCTL_ASIO_SET_SAMPLE_RATE, 999, STATUS_INVALID_PARAMETER},
      {kAsioModePcm, IOCTL_ASIO_SET_SAMPLE_RATE, 0, STATUS_INVALID_PARAMETER},
      {kAsioModeDsd, IOCTL_ASIO_CAN_SAMPLE_RATE, 2822400, STATUS_SUCCESS},
      {kAsioModeDsd, IOCTL_ASIO_CAN_SAMPLE_RATE, 48000, STATUS_UNSUCCESSFUL},
      {kAsioModeDsd, IOCTL_ASIO_SET_SAMPLE_RATE, 48000, STATUS_INVALID_PARAMETER},
      {kAsioModeDsd, IOCTL_ASIO_SET_SAMPLE_RATE, 8467200, STATUS_UNSUCCESSFUL},
      {kAsioModeDsd, IOCTL_ASIO_SET_SAMPLE_RATE, 24576000, STATUS_UNSUCCESSFUL},
      {kAsioModePcm, IOCTL_ASIO_SET_SAMPLE_MODE, 2, STATUS_UNSUCCESSFUL},
      {kAsioModePcm, IOCTL_ASIO_CAN_SET_SAMPLE_MODE, 0xFFFFFFFF, STATUS_UNSUCCESSFUL},
      {kAsioModePcm, IOCTL_ASIO_SET_LATENCY, 9, STATUS_INVALID_PARAMETER},
      {kAsioModePcm, IOCTL_ASIO_SET_BIT_DEPTH, 19, STATUS_INVALID_PARAMETER},
      {kAsioModePcm, IOCTL_ASIO_SET_BIT_DEPTH, 33, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << c.code << std::dec << " value " << c.value);
    auto client = NewClient();
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, c.mode), STATUS_SUCCESS);
    const ULONG rate = device()->AsioSampleRate(), type = device()->AsioSampleType();
    const ULONG latency = device()->AsioLatencyIndex();
    EXPECT_EQ(client->SetValue(c.code, c.value), c.status);
    if (!NT_SUCCESS(c.status)) {
      EXPECT_EQ(device()->AsioSampleRate(), rate);
      EXPECT_EQ(device()->AsioSampleType(), type);
      EXPECT_EQ(device()->AsioLatencyIndex(), latency);
      EXPECT_EQ(client->GetValue(IOCTL_ASIO_GET_SAMPLE_MODE), c.mode);
    }
  }
}

// A setting one client makes reaches every client's notification event, is stored as the
// device default and read back by the next device object.
TEST_F(AsioInterface, SettingsReachTheOtherClientsAndTheNextDeviceObject) {
  StartAsioDevice();
  auto a = NewClient(false);
  auto b = NewClient(true);
  ASSERT_EQ(a->SetNotificationEvent(), STATUS_SUCCESS);
  ASSERT_EQ(b->SetNotificationEvent(), STATUS_SUCCESS);
  struct Step {
    ULONG code;
    ULONG value;
  };
  for (const Step& s : {Step{IOCTL_ASIO_SET_BIT_DEPTH, 27}, Step{IOCTL_ASIO_SET_LATENCY, 6}}) {
    KeClearEvent(a->NotificationEvent());
    KeClearEvent(b->NotificationEvent());
    ASSERT_EQ(a->SetValue(s.code, s.value), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateEvent(b->NotificationEvent()));
    EXPECT_TRUE(KeReadStateEvent(a->NotificationEvent()));
  }
  // A rate change of a client without buffers is stored but signals nobody.
  KeClearEvent(b->NotificationEvent());
  ASSERT_EQ(a->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 96000), STATUS_SUCCESS);
  EXPECT_FALSE(KeReadStateEvent(b->NotificationEvent()));
  EXPECT_EQ(b->GetValue(IOCTL_ASIO_GET_SAMPLE_RATE), 96000u);
  // A client that cleared its event is left out.
  ASSERT_EQ(b->ClearNotificationEvent(), STATUS_SUCCESS);
  ASSERT_EQ(a->SetValue(IOCTL_ASIO_SET_LATENCY, 5), STATUS_SUCCESS);

  clients_.clear();
  a.reset();
  b.reset();
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  Unplug();
  removed_ = false;
  fdo_ = nullptr;
  StartAsioDevice();
  auto c = NewClient();
  EXPECT_EQ(Ulongs(c->Request(IOCTL_ASIO_GET_SAMPLE_TYPES, {}, 16))[0], 27u);
  EXPECT_EQ(Ulongs(c->Request(IOCTL_ASIO_GET_LATENCY_INFO, {}, 44))[0], 5u);
  EXPECT_EQ(c->GetValue(IOCTL_ASIO_GET_SAMPLE_RATE), 96000u);
  EXPECT_EQ(Ulongs(c->Request(IOCTL_ASIO_GET_BUFFER_SIZE, {}, 16))[2], 20u * 96);
}

// Channel names run through the endpoints of the asked direction; the answer carries
// whether buffers are owned and the sample type (33 in DSD mode).
TEST_F(AsioInterface, ChannelNamesWalkTheEndpointsOfTheAskedDirection) {
  StartAsioDevice();
  auto client = NewClient();
  struct Case {
    ULONG mode;
    ULONG channel, input;
    NTSTATUS status;
    const char* name;
    ULONG type;
  };
  const Case cases[] = {
      {kAsioModePcm, 0, 0, STATUS_SUCCESS, "SPKOut00_00 ch", 16},
      {kAsioModePcm, 1, 0, STATUS_SUCCESS, "SPKOut00_01 ch", 16},
      {kAsioModePcm, 2, 0, STATUS_SUCCESS, "HPOut00_00 ch", 16},
      {kAsioModePcm, 3, 0, STATUS_SUCCESS, "HPOut00_01 ch", 16},
      {kAsioModePcm, 4, 0, STATUS_INVALID_PARAMETER, "", 0},
      {kAsioModePcm, 0xFFFFFFFF, 0, STATUS_INVALID_PARAMETER, "", 0},
      {kAsioModePcm, 3, 1, STATUS_SUCCESS, "MicIn00_03 ch", 16},
      {kAsioModePcm, 4, 7, STATUS_INVALID_PARAMETER, "", 0},
      {kAsioModeDsd, 1, 1, STATUS_SUCCESS, "MicIn00_01 ch", 33},
      {kAsioModeDsd, 2, 1, STATUS_INVALID_PARAMETER, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, c.mode), STATUS_SUCCESS);
    AsioReply reply = client->Request(IOCTL_ASIO_GET_CHANNEL_NAME, ChannelRequest(c.channel, c.input), 52);
    EXPECT_EQ(reply.status, c.status);
    if (!NT_SUCCESS(c.status)) continue;
    EXPECT_EQ(reply.information, 52u);
    const std::vector<ULONG> fields = Ulongs(reply);
    EXPECT_EQ(fields[2], 0u);  // no owner
    EXPECT_EQ(fields[3], 0u);
    EXPECT_EQ(fields[4], c.type);
    EXPECT_STREQ(reinterpret_cast<const char*>(reply.data.data() + 20), c.name);
  }
}

// CreateBuffers makes the buffers for one client: the owner is set, a second client is
// refused, and after DisposeBuffers the device is free. A rate that does not fit the mode
// is refused; a 32-bit client whose scratch buffer cannot be allocated gets
// STATUS_INSUFFICIENT_RESOURCES.
TEST_F(AsioInterface, CreateBuffersMakesOneOwnerAndDisposeFreesTheDevice) {
  StartAsioDevice();
  const std::vector<UCHAR> request = {0, 0, 0, 0, 1, 0, 0, 0, 0xE0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  for (bool is32Bit : {false, true}) {
    auto a = NewClient(is32Bit);
    auto b = NewClient(!is32Bit);
    const ULONG out = is32Bit ? 12 : 24;
    const AsioReply reply = a->Request(IOCTL_ASIO_CREATE_BUFFERS, request, out);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, out);
    EXPECT_TRUE(device()->AsioInUse());
    EXPECT_EQ(b->Request(IOCTL_ASIO_CREATE_BUFFERS, request, is32Bit ? 24 : 12).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a->Request(IOCTL_ASIO_DISPOSE_BUFFERS, {}, 0).status, STATUS_SUCCESS);
    EXPECT_FALSE(device()->AsioInUse());
    // A rate that does not fit the mode is refused before anything else.
    ASSERT_EQ(a->SetValue(IOCTL_ASIO_SET_SAMPLE_MODE, kAsioModeDsd), STATUS_SUCCESS);
    EXPECT_EQ(a->Request(IOCTL_ASIO_CREATE_BUFFERS, request, out).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(device()->AsioInUse());
    EXPECT_EQ(a->Request(IOCTL_ASIO_DISPOSE_BUFFERS, {}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a->Request(IOCTL_ASIO_START, a->HandleBytes(a->PeriodHandle()), 0).status, STATUS_INVALID_PARAMETER);
  }
  auto c = NewClient(true);
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailNthAllocation(2, MakePoolTag('a', 'd', 'a', 'p'));
    EXPECT_EQ(c->Request(IOCTL_ASIO_CREATE_BUFFERS, request, 12).status, STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_FALSE(device()->AsioInUse());
}

}  // namespace
}  // namespace entry_test
