#include "asio_fixture.h"

#include "adapter/audio_class.h"
#include "entry/driver_layers.h"
#include "kernel/po.h"
#include "sim/device/descriptor_set.h"

namespace entry_test {
namespace {

constexpr UCHAR kClock = 40;
// Terminals: speaker path 1 -> 3, headphone path 5 -> 6, microphone 4 -> 7.
constexpr UCHAR kSpeakerIn = 1, kSpeaker = 3, kMic = 4, kHeadphoneIn = 5, kHeadphones = 6, kMicOut = 7;
constexpr ULONG kPcm = 1u << 0;
constexpr ULONG kRawData = 1u << 31;

Bytes Le32(ULONG v) {
  return {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16), static_cast<UCHAR>(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}
Bytes Interface(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR subclass) {
  return {9, 4, number, alt, endpoints, 1, subclass, 0x20, 0};
}

struct Setting {
  ULONG formats;
  UCHAR channels;
  UCHAR subslot;
  UCHAR bits;
};

// One streaming interface: the zero-bandwidth setting, then one setting per entry; the
// valid-alternates control is readable (raw-data settings need it).
Bytes StreamingInterface(UCHAR number, UCHAR terminal, UCHAR endpoint, const std::vector<Setting>& settings) {
  Bytes b = Interface(number, 0, 0, 2);
  UCHAR alt = 1;
  for (const Setting& s : settings) {
    const ULONG config = s.channels == 4 ? 0x33u : 0x3u;
    b = Cat({b, Interface(number, alt++, 1, 2),
             Cat({{16, 0x24, 1, terminal, 0x04, 1}, Le32(s.formats), {s.channels}, Le32(config), {0}}),
             {6, 0x24, 2, 1, s.subslot, s.bits},
             // Isochronous, adaptive (render) or asynchronous (capture); 1024 bytes each
             // microframe.
             {7, 5, endpoint, static_cast<UCHAR>((endpoint & 0x80) ? 0x05 : 0x09), 0x00, 0x04, 1},
             {8, 0x25, 1, 0, 0, 0, 0, 0}});
  }
  return b;
}

Bytes Configuration(const std::vector<Bytes>& pieces) {
  Bytes c = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
  int interfaces = 0;
  for (const auto& p : pieces) {
    for (size_t at = 0; at + 3 < p.size() && p[at]; at += p[at])
      if (p[at + 1] == 4 && p[at + 3] == 0) ++interfaces;
    c.insert(c.end(), p.begin(), p.end());
  }
  c[2] = static_cast<UCHAR>(c.size());
  c[3] = static_cast<UCHAR>(c.size() >> 8);
  c[4] = static_cast<UCHAR>(interfaces);
  return c;
}

}  // namespace

Bytes AsioDeviceDescriptor() {
  return {18, 1, 0x00, 0x02, 0xEF, 2, 1, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 0, 1};
}

Bytes AsioConfiguration() {
  const Bytes clock = {8, 0x24, 0x0A, kClock, 0x03, 0x07, 0, 0};
  const Bytes speakerIn = Cat({{17, 0x24, 2, kSpeakerIn, 0x01, 0x01, 0, kClock, 2}, Le32(3), {0, 0, 0, 0}});
  const Bytes speaker = {12, 0x24, 3, kSpeaker, 0x01, 0x03, 0, kSpeakerIn, kClock, 0, 0, 0};
  const Bytes headphoneIn = Cat({{17, 0x24, 2, kHeadphoneIn, 0x01, 0x01, 0, kClock, 2}, Le32(3), {0, 0, 0, 0}});
  const Bytes headphones = {12, 0x24, 3, kHeadphones, 0x02, 0x03, 0, kHeadphoneIn, kClock, 0, 0, 0};
  const Bytes mic = Cat({{17, 0x24, 2, kMic, 0x01, 0x02, 0, kClock, 4}, Le32(0x33), {0, 0, 0, 0}});
  const Bytes micOut = {12, 0x24, 3, kMicOut, 0x01, 0x01, 0, kMic, kClock, 0, 0, 0};
  return Configuration({
      {8, 0x0B, 0, 4, 1, 0, 0x20, 0},
      Interface(0, 0, 0, 1),
      {9, 0x24, 1, 0x00, 0x02, 8, 0, 0, 0},
      clock,
      speakerIn,
      speaker,
      headphoneIn,
      headphones,
      mic,
      micOut,
      StreamingInterface(1, kSpeakerIn, 0x01, {{kPcm, 2, 2, 16}, {kPcm, 2, 4, 24}, {kRawData, 2, 4, 32}}),
      StreamingInterface(2, kHeadphoneIn, 0x02,
                         {{kPcm, 2, 2, 16}, {kPcm, 2, 4, 24}, {kPcm, 2, 4, 32}, {kRawData, 2, 4, 32}}),
      StreamingInterface(3, kMicOut, 0x83, {{kPcm, 4, 4, 24}, {kPcm, 4, 2, 16}, {kRawData, 2, 4, 32}}),
  });
}

sim::device::DeviceProfile AsioProfile() {
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"Neutral";
  profile.strings[1] = u"Maker";
  profile.strings[2] = kAsioProductString;
  profile.clock_rates[kClock] = std::vector<std::uint32_t>(std::begin(kClockRates), std::end(kClockRates));
  return profile;
}

void AsioTest::SetUp() {
  DriverTest::SetUp();
  entry::RegisterDriverLayers();
}

void AsioTest::TearDown() {
  clients_.clear();
  DriverTest::TearDown();
}

void AsioTest::StartAsioDevice() { StartAsioDevice(AsioConfiguration()); }

void AsioTest::StartAsioDevice(const Bytes& configuration) {
  sim::device::DescriptorSet set;
  std::string error;
  ASSERT_TRUE(sim::device::DescriptorSet::Build(AsioDeviceDescriptor(), configuration, set, error)) << error;
  sim_ = std::make_unique<sim::device::SimDevice>(std::move(set), AsioProfile());
  Attach();
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
}

std::unique_ptr<sim::engine::AsioClient> AsioTest::NewClient(bool is32Bit) {
  auto client = std::make_unique<sim::engine::AsioClient>(fdo(), is32Bit);
  EXPECT_EQ(client->Open(), STATUS_SUCCESS);
  return client;
}

namespace {
struct PowerWait {
  KEVENT done;
};
VOID PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  KeSetEvent(&static_cast<PowerWait*>(context)->done, IO_NO_INCREMENT, FALSE);
}
}  // namespace

void AsioTest::SetPower(DEVICE_POWER_STATE state) {
  PowerWait wait;
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  POWER_STATE power;
  power.DeviceState = state;
  ASSERT_EQ(PoRequestPowerIrp(port_->pdo(), IRP_MN_SET_POWER, power, PowerDone, &wait, nullptr), STATUS_PENDING);
  KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace entry_test
