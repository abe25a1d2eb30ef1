// The simulated device where real devices differ from the tidy case, driven through URBs
// as the driver sends them: shared endpoint addresses, Type III and malformed formats,
// the UAC 2.0 connector control, render start timing, and malformed descriptor sets.
#include <gtest/gtest.h>

#include <algorithm>

#include "bus_harness.h"
#include "synthetic.h"

namespace sim::device {
namespace {

using namespace test;

// A bus around a hand-written descriptor set.
struct SyntheticBus : Bus {
  explicit SyntheticBus(const Bytes& config, DeviceProfile profile = {}) : Bus("uac1-headset-A.txt") {
    hc.reset();
    device = test::Build(config, std::move(profile));
    if (device) hc = std::make_unique<HostController>(device.get(), [this] { return now; });
  }
  // Sampling frequency of an endpoint through class endpoint requests.
  NTSTATUS SetRate(UCHAR endpoint, std::uint32_t rate) {
    ClassRequest set(URB_FUNCTION_CLASS_ENDPOINT, false, uac::SET_CUR, 0x0100, endpoint,
                     {static_cast<std::uint8_t>(rate), static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate >> 16)});
    return SubmitSync(&set.urb);
  }
  std::uint32_t GetRate(UCHAR endpoint) {
    ClassRequest get(URB_FUNCTION_CLASS_ENDPOINT, true, uac::GET_CUR, 0x0100, endpoint, {0, 0, 0});
    if (!NT_SUCCESS(SubmitSync(&get.urb))) return 0;
    return get.buffer[0] | get.buffer[1] << 8 | get.buffer[2] << 16;
  }
  // Sends `packets` OUT packets of `bytes` each from the next frames and runs them.
  NTSTATUS Play(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG bytes) {
    IsoUrb u(pipe, packets, bytes, false, false, hc->CurrentFrame() + 1);
    return SubmitSync(u.urb());
  }
};

TEST(DeviceModel, TwoInterfacesDeclaringOneEndpointFollowTheSelectedSetting) {
  // A vendor interface and the streaming interface both use 0x01; the vendor one comes first.
  const Bytes config = Configuration({Interface(0, 0, 0, 1, 1), AcHeader1({2}), InputTerminal1(1), OutputTerminal1(2, 1),
                                      Interface(1, 0, 1, 0xFF, 0, 0), IsoEndpoint(0x01, 64, 0x01),
                                      Interface(2, 0, 0), Interface(2, 1, 1), AsGeneral1(1), Format1(1, 2, 2, 16),
                                      IsoEndpoint(0x01, 200), CsEndpoint()});
  SyntheticBus bus(config);
  ASSERT_TRUE(bus.device);
  ASSERT_TRUE(bus.Configure());
  USBD_PIPE_HANDLE out = Bus::PipeOf(bus.Select(2, 1), 0x01);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(bus.SetRate(0x01, 48000), STATUS_SUCCESS) << "the request reaches the streaming setting's endpoint";
  EXPECT_EQ(bus.GetRate(0x01), 48000u);
  ASSERT_EQ(bus.Play(out, 10, 192), STATUS_SUCCESS);
  EXPECT_EQ(bus.device->render_stats(0x01).received_frames, 480u);
  EXPECT_EQ(bus.device->frame_bytes(0x01), 4u);
  // Selecting the vendor interface again leaves the audio stream where it is.
  bus.Select(1, 0);
  EXPECT_EQ(bus.GetRate(0x01), 48000u);
  ASSERT_EQ(bus.Play(out, 10, 192), STATUS_SUCCESS);
  EXPECT_EQ(bus.device->render_stats(0x01).received_frames, 960u);
}

TEST(DeviceModel, TypeThreeSettingStreamsAndAnswersRateRequests) {
  SyntheticBus bus(Speaker1(Format1(3, 2, 2, 16)));
  ASSERT_TRUE(bus.device);
  ASSERT_TRUE(bus.Configure());
  USBD_PIPE_HANDLE out = Bus::PipeOf(bus.Select(1, 1), 0x01);
  EXPECT_EQ(bus.GetRate(0x01), 48000u);
  EXPECT_EQ(bus.SetRate(0x01, 48000), STATUS_SUCCESS);
  ASSERT_EQ(bus.Play(out, 10, 192), STATUS_SUCCESS);
  EXPECT_EQ(bus.device->render_stats(0x01).received_frames, 480u);
  EXPECT_EQ(bus.device->received_samples(0x01).size(), 960u);
}

TEST(DeviceModel, FormatsTheModelCannotStreamAreNotedAndCarryNoData) {
  struct Row {
    const char* what;
    Bytes format;
    const char* note;
  } rows[] = {
      {"resolution above the subframe", Format1(1, 2, 2, 24), "bit resolution 24 does not fit a 2-byte subframe"},
      {"subframe of five bytes", Format1(1, 2, 5, 24), "subframe size 5"},
      {"no subframe", Format1(1, 2, 0, 0), "subframe size 0"},
      {"no resolution", Format1(1, 2, 2, 0), "bit resolution 0"},
      {"unknown format type", Format1(7, 2, 2, 16), "no format descriptor the model knows"},
  };
  for (auto& row : rows) {
    std::vector<std::string> notes;
    std::string error;
    // The same format on a capture endpoint as well, which packs samples.
    const Bytes config = Configuration({Interface(0, 0, 0, 1, 1), AcHeader1({1, 2}), InputTerminal1(1), OutputTerminal1(2, 1),
                                        InputTerminal1(3, 0x0201), OutputTerminal1(4, 3, 0x0101), Interface(1, 0, 0),
                                        Interface(1, 1, 1), AsGeneral1(1), row.format, IsoEndpoint(0x01, 200), CsEndpoint(),
                                        Interface(2, 0, 0), Interface(2, 1, 1), AsGeneral1(4), row.format,
                                        IsoEndpoint(0x81, 200, 0x05), CsEndpoint()});
    auto device = test::Build(config, {}, &error, &notes);
    ASSERT_TRUE(device) << row.what << ": " << error;
    int matching = 0;
    for (auto& n : notes) matching += n.find(row.note) != std::string::npos;
    EXPECT_EQ(matching, 2) << row.what << " is noted once per setting";
    SyntheticBus bus(config);
    ASSERT_TRUE(bus.Configure());
    USBD_PIPE_HANDLE out = Bus::PipeOf(bus.Select(1, 1), 0x01);
    USBD_PIPE_HANDLE in = Bus::PipeOf(bus.Select(2, 1), 0x81);
    EXPECT_EQ(bus.Play(out, 4, 192), STATUS_SUCCESS) << row.what;
    EXPECT_EQ(bus.device->render_stats(0x01).received_frames, 0u) << row.what;
    EXPECT_TRUE(bus.device->received_samples(0x01).empty()) << row.what;
    IsoUrb capture(in, 4, 200, true, true);
    EXPECT_EQ(bus.SubmitSync(capture.urb()), STATUS_SUCCESS) << row.what;
    EXPECT_EQ(capture.iso().TransferBufferLength, 0u) << row.what;
  }
}

TEST(DeviceModel, Uac2ConnectorReportsTheChannelConfigurationNotTheCount) {
  // Two channels declared, six bits in the configuration: the control must report the
  // configuration word at offset 9.
  const Bytes config = Configuration({Interface(0, 0, 0, 1, 1, 0x20), AcHeader2(), ClockSource2(9),
                                      InputTerminal2(1, 9, 2, 0x0000003F)});
  DeviceProfile p;
  p.high_speed = true;
  SyntheticBus bus(config, p);
  ASSERT_TRUE(bus.device);
  ASSERT_TRUE(bus.Configure());
  ClassRequest get(URB_FUNCTION_CLASS_INTERFACE, true, uac::CUR, 0x0200, 0x0100, std::vector<std::uint8_t>(6));
  ASSERT_EQ(bus.SubmitSync(&get.urb), STATUS_SUCCESS);
  EXPECT_EQ(get.buffer[0], 6);
  EXPECT_EQ(get.buffer[1] | get.buffer[2] << 8 | get.buffer[3] << 16 | get.buffer[4] << 24, 0x3F);
}

TEST(DeviceModel, RenderStartsPlayingOnThePacketThatReachesTheThreshold) {
  DeviceProfile p;
  p.fifo_start_frames = 96;  // two packets of 48 frames
  SyntheticBus bus(Speaker1(Format1(1, 2, 2, 16)), p);
  ASSERT_TRUE(bus.Configure());
  USBD_PIPE_HANDLE out = Bus::PipeOf(bus.Select(1, 1), 0x01);
  IsoUrb u(out, 20, 192, false, false, bus.hc->CurrentFrame() + 1);
  Done d;
  ASSERT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
  const ULONG start = u.iso().StartFrame;
  while (bus.hc->CurrentFrame() != start) bus.RunFrames(1);
  // The first packet has gone out at the start of frame `start`.
  EXPECT_FALSE(bus.device->render_stats(0x01).playing);
  bus.RunFrames(1);
  auto s = bus.device->render_stats(0x01);
  EXPECT_TRUE(s.playing) << "the second packet reaches the threshold";
  EXPECT_EQ(s.consumed_frames, 0u);
  for (std::uint64_t k = 1; k <= 10; ++k) {
    bus.RunFrames(1);
    s = bus.device->render_stats(0x01);
    EXPECT_EQ(s.consumed_frames, 48u * k) << k;
    EXPECT_EQ(s.fifo_frames, 96);
    EXPECT_EQ(s.underrun_frames, 0u);
  }
}

TEST(DeviceModel, EveryConfigurationOfTheDumpIsServedByIndex) {
  for (const char* name : {"uac2-dac-A.txt", "uac2-interface-A.txt", "uac2-interface-C.txt", "uac2-uac3-dongle-J.txt"}) {
    Bus bus(name);
    ASSERT_TRUE(bus.device) << name;
    const auto& others = bus.device->descriptors().other_configurations();
    ASSERT_FALSE(others.empty()) << name;
    const std::uint8_t count = bus.device->descriptors().device()[17];
    EXPECT_EQ(others.size() + 1, count) << name;
    bool noted = false;
    for (auto& n : bus.device->descriptors().notes()) noted |= n.find("configuration index 1") != std::string::npos;
    EXPECT_TRUE(noted) << name;
    for (std::uint8_t index = 0; index <= count; ++index) {
      std::vector<std::uint8_t> cfg(0xFFFF);
      URB urb{};
      auto& d = urb.UrbControlDescriptorRequest;
      d.Hdr.Length = sizeof(d);
      d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
      d.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
      d.Index = index;
      d.TransferBuffer = cfg.data();
      d.TransferBufferLength = static_cast<ULONG>(cfg.size());
      const NTSTATUS s = bus.SubmitSync(&urb);
      if (index == count) {
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID) << name << " has no configuration " << int(index);
        continue;
      }
      ASSERT_EQ(s, STATUS_SUCCESS) << name << " index " << int(index);
      const auto& want = index == 0 ? std::vector<std::uint8_t>(bus.device->Configuration().begin(), bus.device->Configuration().end())
                                    : others[index - 1u];
      ASSERT_EQ(d.TransferBufferLength, want.size()) << name << " index " << int(index);
      EXPECT_EQ(cfg[1], 2);
      EXPECT_EQ((cfg[2] | cfg[3] << 8), static_cast<int>(want.size()));
      EXPECT_TRUE(std::equal(want.begin() + 4, want.end(), cfg.begin() + 4)) << name << " index " << int(index);
    }
  }
  // Raw hex dumps carry further configurations as further CONFIG_RAW lines.
  const std::string raw =
      "DEVICE: 12 01 00 02 00 00 00 40 34 12 78 56 00 01 01 02 00 02\n"
      "CONFIG_RAW: 09 02 12 00 01 01 00 80 32 09 04 00 00 00 ff 00 00 00\n"
      "CONFIG_RAW: 09 02 12 00 01 02 00 80 32 09 04 00 00 00 fe 00 00 00\n";
  std::unique_ptr<SimDevice> d;
  std::string error;
  ASSERT_TRUE(SimDevice::FromDumpText(raw, {}, d, error)) << error;
  ASSERT_EQ(d->descriptors().other_configurations().size(), 1u);
  EXPECT_EQ(d->descriptors().other_configurations()[0][5], 2);
  auto reply = Get(*d, 0x00, USB_REQUEST_GET_DESCRIPTOR, 0x0201, 0, 64);
  ASSERT_EQ(reply.status, USBD_STATUS_SUCCESS);
  ASSERT_EQ(reply.data.size(), 18u);
  EXPECT_EQ(reply.data[14], 0xFE);
}

// Two audio functions whose entity IDs overlap: a speaker (Audio Control 0, streaming 1)
// whose feature unit 5 has mute only, and a microphone (Audio Control 2, streaming 3)
// whose feature unit 5 has volume only. Grouped by IADs or by the headers' lists.
Bytes TwoFunctions(bool associations) {
  const Bytes none;
  return Configuration({associations ? Association(0, 2) : none, Interface(0, 0, 0, 1, 1), AcHeader1({1}), InputTerminal1(1),
                        FeatureUnit1(5, 1, 0x01), OutputTerminal1(2, 5), Interface(1, 0, 0), Interface(1, 1, 1), AsGeneral1(1),
                        Format1(1, 2, 2, 16), IsoEndpoint(0x01, 200), CsEndpoint(),
                        associations ? Association(2, 2) : none, Interface(2, 0, 0, 1, 1), AcHeader1({3}),
                        InputTerminal1(1, 0x0201, 1), FeatureUnit1(5, 1, 0x02), OutputTerminal1(2, 5, 0x0101),
                        Interface(3, 0, 0), Interface(3, 1, 1), AsGeneral1(2), Format1(1, 1, 2, 16, 16000),
                        IsoEndpoint(0x82, 32, 0x05), CsEndpoint()});
}

TEST(DeviceModel, EveryAudioFunctionIsIndexedAndRoutedByInterface) {
  for (bool associations : {true, false}) {
    SyntheticBus bus(TwoFunctions(associations));
    ASSERT_TRUE(bus.device) << associations;
    const auto& set = bus.device->descriptors();
    ASSERT_EQ(set.functions().size(), 2u);
    EXPECT_EQ(set.FunctionOf(1)->control_interface, 0);
    EXPECT_EQ(set.FunctionOf(3)->control_interface, 2);
    ASSERT_TRUE(bus.Configure());
    struct Row {
      UCHAR selector;
      USHORT length;
      UCHAR interface_number;
      bool answered;
    } rows[] = {
        {1, 1, 0, true},   // the speaker's unit 5 mutes
        {2, 2, 0, false},  // and has no volume
        {2, 2, 2, true},   // the microphone's unit 5 has volume
        {1, 1, 2, false},  // and no mute
    };
    for (auto r : rows) {
      ClassRequest get(URB_FUNCTION_CLASS_INTERFACE, true, uac::GET_CUR, static_cast<USHORT>(r.selector << 8),
                       static_cast<USHORT>(5 << 8 | r.interface_number), std::vector<std::uint8_t>(r.length));
      const NTSTATUS s = bus.SubmitSync(&get.urb);
      EXPECT_EQ(NT_SUCCESS(s), r.answered) << associations << " selector " << int(r.selector) << " on interface "
                                           << int(r.interface_number);
    }
    // Both functions stream.
    USBD_PIPE_HANDLE out = Bus::PipeOf(bus.Select(1, 1), 0x01);
    USBD_PIPE_HANDLE in = Bus::PipeOf(bus.Select(3, 1), 0x82);
    ASSERT_EQ(bus.Play(out, 10, 192), STATUS_SUCCESS);
    EXPECT_EQ(bus.device->render_stats(0x01).received_frames, 480u);
    IsoUrb capture(in, 10, 32, true, true);
    ASSERT_EQ(bus.SubmitSync(capture.urb()), STATUS_SUCCESS);
    EXPECT_EQ(capture.iso().TransferBufferLength, 10u * 32u) << "16 kHz mono from the second function's format";
    EXPECT_EQ(bus.GetRate(0x82), 16000u);
  }
}

// One malformed configuration per row: refused with the cause and the offset.
TEST(DescriptorSetChecks, MalformedConfigurationsAreRefusedWithTheirCause) {
  const Bytes ac = Interface(0, 0, 0, 1, 1);
  struct Row {
    const char* what;
    Bytes config;
    const char* cause;
  } rows[] = {
      {"bLength below 2", Configuration({ac, {0, 0x24, 1, 0}}), "bLength 0 is below 2"},
      {"bLength 1", Configuration({ac, {1, 0x24, 1, 0}}), "bLength 1 is below 2"},
      {"short interface", Configuration({{8, 4, 0, 0, 0, 1, 1, 0}}), "interface descriptor of 8 bytes"},
      {"short endpoint", Configuration({Interface(0, 0, 1, 1, 1), {6, 5, 0x81, 3, 8, 0}}), "endpoint descriptor of 6 bytes"},
      {"run past wTotalLength", Configuration({ac, {20, 0x24, 1, 0, 1, 0, 0, 0, 0}}), "runs past wTotalLength"},
      {"endpoint outside an interface", Configuration({IsoEndpoint(0x01, 200), ac}), "endpoint descriptor outside an interface"},
      {"too few endpoints", Configuration({Interface(0, 0, 2, 1, 1), IsoEndpoint(0x81, 8, 3)}), "declares 2 endpoints and has 1"},
      {"too many endpoints", Configuration({Interface(0, 0, 0, 1, 1), IsoEndpoint(0x81, 8, 3), ac}),
       "declares 0 endpoints and has 1"},
      {"no alternate setting 0", Configuration({ac, Interface(1, 1, 0)}, 2), "interface 1 has no alternate setting 0"},
      {"bNumInterfaces too large", Configuration({ac}, 3), "bNumInterfaces 3 but 1 interfaces present"},
      {"bNumInterfaces too small", Configuration({ac, Interface(1, 0, 0)}, 1), "bNumInterfaces 1 but 2 interfaces present"},
      {"endpoint zero", Configuration({Interface(0, 0, 1, 1, 1), IsoEndpoint(0x80, 8)}), "names the default pipe"},
      {"an interface twice", Configuration({ac, ac}, 1), "interface 0 alternate 0 twice"},
  };
  for (auto& row : rows) {
    std::string error;
    EXPECT_EQ(test::Build(row.config, {}, &error), nullptr) << row.what;
    EXPECT_NE(error.find(row.cause), std::string::npos) << row.what << ": " << error;
  }
}

// A status endpoint given to a dump without one: it closes the Audio Control interface's
// setting 0 in the class's form, is counted, and the device serves it; SetInterface drops
// its halt.
TEST(DeviceModel, AddedStatusEndpointIsServedAndSetInterfaceClearsItsHalt) {
  for (const bool uac2 : {false, true}) {
    SCOPED_TRACE(uac2 ? "2.0" : "1.0");
    const Bytes ac = Interface(0, 0, 0, 1, 1, uac2 ? 0x20 : 0);
    const Bytes header = uac2 ? AcHeader2() : AcHeader1({1});
    Bytes config = Configuration({ac, header, Interface(1, 0, 0)});
    const std::size_t before = config.size();
    std::string error;
    ASSERT_TRUE(AddStatusEndpoint(config, 0x8E, uac2 ? 6 : 2, 8, error)) << error;
    const std::uint8_t length = uac2 ? 7 : 9;
    ASSERT_EQ(config.size(), before + length);
    EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    EXPECT_EQ(config[9 + 4], 1);  // bNumEndpoints
    const std::size_t at = 9 + ac.size() + header.size();
    EXPECT_EQ(Bytes(config.begin() + at, config.begin() + at + 4), (Bytes{length, 5, 0x8E, 3}));
    auto device = test::Build(config);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->status_endpoint(), std::optional<std::uint8_t>(0x8E));

    USB_DEFAULT_PIPE_SETUP_PACKET configure{0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0};
    ASSERT_EQ(device->Control(configure, nullptr).status, USBD_STATUS_SUCCESS);
    device->HaltEndpoint(0x8E);
    std::uint8_t buffer[8];
    ULONG got = 0;
    EXPECT_EQ(device->TransferIn(0x8E, buffer, sizeof buffer, &got), USBD_STATUS_STALL_PID);
    USB_DEFAULT_PIPE_SETUP_PACKET select{0x01, USB_REQUEST_SET_INTERFACE, 0, 0, 0};
    ASSERT_EQ(device->Control(select, nullptr).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device->TransferIn(0x8E, buffer, sizeof buffer, &got), USBD_STATUS_PENDING);
  }
  Bytes streamingOnly = Configuration({Interface(1, 0, 0)});
  std::string error;
  EXPECT_FALSE(AddStatusEndpoint(streamingOnly, 0x8E, 2, 8, error));
  EXPECT_EQ(error, "no Audio Control interface");
}

}  // namespace
}  // namespace sim::device
