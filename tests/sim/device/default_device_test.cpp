// The built-in default device: its descriptors index without a note, and it answers as a
// UAC 2.0 headset should (clock rates, per-channel mute and volume, feedback, status).
#include <gtest/gtest.h>

#include "sim/device/default_device.h"
#include "test_support.h"

namespace sim::device {
namespace {

using namespace test;
namespace dd = default_device;

constexpr std::uint8_t kClassIf = 0x21;
constexpr std::uint8_t kCur = 0x01, kRange = 0x02;

std::uint16_t Index(std::uint8_t entity) { return static_cast<std::uint16_t>(entity << 8); }

TEST(DefaultDevice, IndexesCleanlyAsAUac20Headset) {
  DescriptorSet set;
  std::string error;
  ASSERT_TRUE(DescriptorSet::Build(dd::DeviceDescriptor(), dd::ConfigurationDescriptor(), set, error)) << error;
  EXPECT_TRUE(set.notes().empty()) << set.notes().front();
  EXPECT_FALSE(set.cut_short());
  EXPECT_EQ(set.audio_class_version(), 2);
  EXPECT_EQ(set.vendor_id(), dd::kVendorId);
  ASSERT_EQ(set.functions().size(), 1u);
  EXPECT_EQ(set.functions()[0].streaming_interfaces, (std::vector<std::uint8_t>{1, 2}));
  struct Want {
    std::uint8_t id, subtype;
  };
  for (Want w : {Want{dd::kClockId, 10}, Want{1, 2}, Want{2, 6}, Want{3, 3}, Want{4, 2}, Want{5, 6}, Want{6, 3}}) {
    const Entity* e = set.FindEntity(w.id);
    ASSERT_NE(e, nullptr) << int(w.id);
    EXPECT_EQ(e->subtype, w.subtype) << int(w.id);
  }
  // The class-specific Audio Control block is as long as its header says.
  const AltSetting* control = set.FindInterface(0)->Find(0);
  ASSERT_NE(control, nullptr);
  const auto& header = control->class_specific.front();
  std::size_t total = 0;
  for (const auto& d : control->class_specific) total += d.size();
  EXPECT_EQ(header[6] | header[7] << 8, static_cast<int>(total));
  // Render alternates: 16 and 24 bits, each with an asynchronous OUT and its feedback IN.
  for (std::uint8_t alt : {1, 2}) {
    const StreamFormat* f = set.FindFormat(dd::kRenderInterface, alt);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->channels, 2);
    EXPECT_EQ(f->bits, alt == 1 ? 16 : 24);
    const AltSetting* a = set.FindInterface(dd::kRenderInterface)->Find(alt);
    ASSERT_EQ(a->endpoints.size(), 2u);
    EXPECT_EQ(a->endpoints[0].address, dd::kRenderEndpoint);
    EXPECT_EQ((a->endpoints[0].attributes >> 2) & 3, 1);  // asynchronous
    EXPECT_TRUE(a->endpoints[1].is_feedback());
    // 96 kHz with one frame more than nominal in a microframe fits the packet.
    EXPECT_GE(a->endpoints[0].packet_bytes(), 13u * f->channels * f->subframe_bytes);
  }
}

TEST(DefaultDevice, ClockOffersTheThreeRates) {
  auto d = dd::Create();
  ASSERT_TRUE(d);
  Configure(*d);
  auto range = Get(*d, kClassIf, kRange, 0x0100, Index(dd::kClockId), 2 + 3 * 12);
  ASSERT_EQ(range.status, USBD_STATUS_SUCCESS);
  ASSERT_EQ(range.data[0], 3);
  std::vector<std::uint32_t> rates;
  for (int i = 0; i < 3; ++i) {
    const std::uint8_t* r = &range.data[2 + 12 * i];
    const std::uint32_t lo = r[0] | r[1] << 8 | r[2] << 16 | std::uint32_t(r[3]) << 24;
    const std::uint32_t hi = r[4] | r[5] << 8 | r[6] << 16 | std::uint32_t(r[7]) << 24;
    EXPECT_EQ(lo, hi);
    rates.push_back(lo);
  }
  EXPECT_EQ(rates, (std::vector<std::uint32_t>{44100, 48000, 96000}));
  EXPECT_EQ(Set(*d, kClassIf, kCur, 0x0100, Index(dd::kClockId), {0x00, 0x77, 0x01, 0x00}).status,
            USBD_STATUS_SUCCESS);  // 96000
  EXPECT_TRUE(Set(*d, kClassIf, kCur, 0x0100, Index(dd::kClockId), {0x22, 0x56, 0x00, 0x00}).stalled());  // 22050
}

TEST(DefaultDevice, MuteAndVolumeOnEveryChannelNotTheMaster) {
  auto d = dd::Create();
  ASSERT_TRUE(d);
  Configure(*d);
  struct Unit {
    std::uint8_t id, channels;
  };
  for (Unit u : {Unit{dd::kSpeakerFeatureUnit, 2}, Unit{dd::kMicFeatureUnit, 1}}) {
    for (std::uint8_t selector : {1, 2}) {
      const std::uint16_t length = selector == 1 ? 1 : 2;
      EXPECT_TRUE(Get(*d, kClassIf, kCur, static_cast<std::uint16_t>(selector << 8), Index(u.id), length).stalled())
          << "master of unit " << int(u.id);
      for (std::uint8_t ch = 1; ch <= u.channels; ++ch) {
        const std::uint16_t value = static_cast<std::uint16_t>(selector << 8 | ch);
        EXPECT_EQ(Get(*d, kClassIf, kCur, value, Index(u.id), length).status, USBD_STATUS_SUCCESS);
        const std::vector<std::uint8_t> set = selector == 1 ? std::vector<std::uint8_t>{1} : Le16(-6 * 256);
        EXPECT_EQ(Set(*d, kClassIf, kCur, value, Index(u.id), set).status, USBD_STATUS_SUCCESS);
      }
      EXPECT_TRUE(Get(*d, kClassIf, kCur, static_cast<std::uint16_t>(selector << 8 | (u.channels + 1)), Index(u.id),
                      length)
                      .stalled());
    }
  }
}

TEST(DefaultDevice, StatusMessagesComeOnTheInterruptEndpoint) {
  auto d = dd::Create();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->status_endpoint(), std::optional<std::uint8_t>(dd::kStatusEndpoint));
  EXPECT_TRUE(d->HighSpeed());
  Configure(*d);
  ASSERT_TRUE(d->ChangeControl({false, dd::kSpeakerFeatureUnit, 2, 1, 0}, -10 * 256));
  std::uint8_t message[6] = {};
  ULONG length = 0;
  ASSERT_EQ(d->TransferIn(dd::kStatusEndpoint, message, sizeof message, &length), USBD_STATUS_SUCCESS);
  ASSERT_EQ(length, 6u);
  EXPECT_EQ(message[1], 1);                         // CUR
  EXPECT_EQ(message[2], 1);                         // channel
  EXPECT_EQ(message[3], 2);                         // volume
  EXPECT_EQ(message[5], dd::kSpeakerFeatureUnit);   // entity
}

}  // namespace
}  // namespace sim::device
