#include <gtest/gtest.h>

#include "test_support.h"

namespace sim::device {
namespace {

using namespace test;

constexpr std::uint8_t kClassIf = 0x21;   // class, interface, host to device
constexpr std::uint8_t kClassEp = 0x22;   // class, endpoint
constexpr std::uint8_t kVendorIf = 0x41;  // vendor, interface
constexpr std::uint8_t kVendorDev = 0x40;

TEST(StandardRequests, StringsIncludingModelStrings) {
  DeviceProfile p;
  p.strings[0x50] = u"7426 model";
  auto d = Load("uac1-headset-A.txt", p);
  ASSERT_TRUE(d);
  auto langs = Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255);
  EXPECT_EQ(langs.data, (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
  auto model = Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0350, 0x0409, 104);
  ASSERT_EQ(model.status, USBD_STATUS_SUCCESS);
  ASSERT_EQ(model.data.size(), 2u + 2 * 10);
  EXPECT_EQ(model.data[0], 22);
  EXPECT_EQ(model.data[1], 3);
  EXPECT_EQ(model.data[2], '7');
  EXPECT_EQ(model.data[3], 0);
  // An index without a text stalls; the descriptors' own indices (iProduct 2) answer.
  EXPECT_TRUE(Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0332, 0x0409, 104).stalled());
  EXPECT_EQ(Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255).status, USBD_STATUS_SUCCESS);
  // A short read returns the first bytes only.
  EXPECT_EQ(Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0350, 0x0409, 2).data.size(), 2u);
}

TEST(StandardRequests, DescriptorsAndConfiguration) {
  auto d = Load("uac1-webcam-speaker-mic-H.txt");
  ASSERT_TRUE(d);
  auto dev = Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18);
  ASSERT_EQ(dev.data.size(), 18u);
  auto head = Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 9);
  ASSERT_EQ(head.data.size(), 9u);
  // The dump holds 483 of 484 bytes: the device reports what it has.
  EXPECT_EQ(head.data[2] | (head.data[3] << 8), 483);
  EXPECT_EQ(Get(*d, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 0xFFFF).data.size(), 483u);
  EXPECT_TRUE(Set(*d, 0, USB_REQUEST_SET_CONFIGURATION, 7, 0, {}).stalled());
  EXPECT_TRUE(Set(*d, 1, USB_REQUEST_SET_INTERFACE, 1, 3, {}).stalled());  // not configured yet
  Configure(*d);
  EXPECT_EQ(Set(*d, 1, USB_REQUEST_SET_INTERFACE, 1, 3, {}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(d->CurrentAlternate(3), 1);
  EXPECT_TRUE(Set(*d, 1, USB_REQUEST_SET_INTERFACE, 9, 3, {}).stalled());
}

TEST(Uac1Requests, FeatureUnitPerChannelControls) {
  auto d = Load("uac1-headset-A.txt");
  ASSERT_TRUE(d);
  // Unit 5: mute on the master channel, volume on channels 1 and 2.
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0500, 1).data, (std::vector<std::uint8_t>{0}));
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_CUR, 0x0101, 0x0500, 1).stalled());
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_CUR, 0x0200, 0x0500, 2).stalled());
  EXPECT_EQ(Set(*d, kClassIf, uac::SET_CUR, 0x0100, 0x0500, {1}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(d->GetControl({false, 5, 1, 0}), 1);
  EXPECT_TRUE(Set(*d, kClassIf, uac::SET_CUR, 0x0100, 0x0500, {2}).stalled());
  d->SetControlRange({false, 5, 2, 1}, -40 * 256, 6 * 256, 128);
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_MIN, 0x0201, 0x0500, 2).data, Le16(-40 * 256));
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_MAX, 0x0201, 0x0500, 2).data, Le16(6 * 256));
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_RES, 0x0201, 0x0500, 2).data, Le16(128));
  EXPECT_EQ(Set(*d, kClassIf, uac::SET_CUR, 0x0201, 0x0500, Le16(-0x80)).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_CUR, 0x0201, 0x0500, 2).data, Le16(-0x80));
  EXPECT_EQ(d->GetControl({false, 5, 2, 1}), -0x80);
  EXPECT_EQ(d->GetControl({false, 5, 2, 2}), 0);  // channels are independent
  EXPECT_TRUE(Set(*d, kClassIf, uac::SET_CUR, 0x0202, 0x0500, Le16(7 * 256)).stalled());
  EXPECT_EQ(Set(*d, kClassIf, uac::SET_CUR, 0x0202, 0x0500, Le16(-0x8000)).status, USBD_STATUS_SUCCESS);
  EXPECT_TRUE(Set(*d, kClassIf, uac::SET_CUR, 0x0201, 0x0500, {0}).stalled());  // wrong length
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_MIN, 0x0100, 0x0500, 1).stalled());    // mute has no range
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0501, 1).stalled());    // wrong interface
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0700, 1).stalled());    // no such unit
}

TEST(Uac1Requests, SelectorUnitAndEndpointRate) {
  auto d = Load("uac1-headset-A.txt");
  ASSERT_TRUE(d);
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_CUR, 0, 0x0A00, 1).data, (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_MAX, 0, 0x0A00, 1).data, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(Set(*d, kClassIf, uac::SET_CUR, 0, 0x0A00, {2}).stalled());
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0A00, 1).stalled());
  // This device's endpoints declare no sampling-frequency control: the request stalls.
  EXPECT_TRUE(Set(*d, kClassEp, uac::SET_CUR, 0x0100, 0x01, {0x44, 0xAC, 0}).stalled());

  auto mic = Load("uac1-class-example-microphone.txt");
  ASSERT_TRUE(mic);
  Configure(*mic, 1, 1);
  EXPECT_EQ(mic->SamplingRate(0x81), 8000u);
  EXPECT_TRUE(Set(*mic, kClassEp, uac::SET_CUR, 0x0100, 0x81, {0x44, 0xAC, 0}).stalled());  // no such control either
}

TEST(Uac1Requests, MemoryAndVendorExtensions) {
  DeviceProfile p;
  p.entity_memory[5] = std::vector<std::uint8_t>(21, 0);
  p.entity_memory[5][16] = 21;
  p.entity_memory[5][18] = 2;
  p.terminals[4].jacks = {{0x3, 0x01014030}, {0xC, 0x02015000}};
  p.terminals[4].selectable_types = {0x0301, 0x0302};
  p.terminals[4].connected_channels = 0x1;
  auto d = Load("uac1-headset-A.txt", p);
  ASSERT_TRUE(d);
  auto len = Get(*d, kClassIf, uac::GET_MEM, 0x0010, 0x0500, 2);
  EXPECT_EQ(len.data, (std::vector<std::uint8_t>{21, 0}));
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_MEM, 0, 0x0500, 21).data.size(), 21u);
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_MEM, 0, 0x0600, 2).stalled());

  auto head = Get(*d, kVendorIf, 0x81, 0x02FF, 0x0400, 9);
  ASSERT_EQ(head.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(head.data[0], 2);
  auto jacks = Get(*d, kVendorIf, 0x81, 0x02FF, 0x0400, 17);
  ASSERT_EQ(jacks.data.size(), 17u);
  EXPECT_EQ(jacks.data[5] | (jacks.data[6] << 8) | (jacks.data[7] << 16) | (jacks.data[8] << 24), 0x01014030);
  auto presence = Get(*d, kVendorIf, 0x81, 0x0200, 0x0400, 6);
  ASSERT_EQ(presence.data.size(), 6u);
  EXPECT_EQ(presence.data[1], 0x1);
  EXPECT_EQ(Get(*d, kVendorIf, 0x81, 0x0800, 0x0400, 2).data, Le16(0x0301));
  EXPECT_EQ(Set(*d, kVendorIf, 0x81, 0x0800, 0x0400, Le16(0x0302)).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Get(*d, kVendorIf, 0x81, 0x0800, 0x0400, 2).data, Le16(0x0302));
  EXPECT_TRUE(Set(*d, kVendorIf, 0x81, 0x0800, 0x0400, Le16(0x0603)).stalled());
  auto types = Get(*d, kVendorIf, 0x86, 0x0800, 0x0400, 14);
  ASSERT_EQ(types.data.size(), 14u);
  EXPECT_EQ(types.data[0], 2);
  EXPECT_EQ(types.data[8] | (types.data[9] << 8), 0x0302);
  // A terminal without a profile has no such extensions.
  EXPECT_TRUE(Get(*d, kVendorIf, 0x81, 0x02FF, 0x0300, 9).stalled());
}

TEST(VendorRequests, StoreHookAndLog) {
  auto d = Load("uac1-headset-A.txt");
  ASSERT_TRUE(d);
  d->SetVendorData(0xC3, 0x02, 0x0051, 0, {0x1F});
  EXPECT_EQ(Get(*d, 0x43, 0x02, 0x0051, 0, 1).data, (std::vector<std::uint8_t>{0x1F}));
  EXPECT_TRUE(Get(*d, 0x43, 0x02, 0x0052, 0, 1).stalled());
  // A write to a known register reads back.
  EXPECT_EQ(Set(*d, 0x43, 0x02, 0x0051, 0, {0x1E}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Get(*d, 0x43, 0x02, 0x0051, 0, 1).data, (std::vector<std::uint8_t>{0x1E}));
  // HID reports to a non-audio interface use the same store.
  d->SetVendorData(0xA1, 0x01, 0x0100, 3, {0x10, 0, 0});
  EXPECT_EQ(Get(*d, kClassIf, 0x01, 0x0100, 3, 3).data.size(), 3u);
  int seen = 0;
  d->SetRequestHook([&](const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) -> std::optional<ControlResult> {
    if (s.bmRequestType != 0xC0 || s.bRequest != 7) return std::nullopt;
    ++seen;
    data[0] = 0x42;
    return ControlResult{USBD_STATUS_SUCCESS, 1};
  });
  EXPECT_EQ(Get(*d, kVendorDev, 7, 1, 0, 1).data, (std::vector<std::uint8_t>{0x42}));
  EXPECT_EQ(seen, 1);
  auto log = d->control_log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().setup.bRequest, 7);
  EXPECT_EQ(log.back().data, (std::vector<std::uint8_t>{0x42}));
}

TEST(Uac2Requests, FeatureUnitClockAndSelector) {
  DeviceProfile p;
  p.high_speed = true;
  p.clock_rates[41] = {44100, 48000, 96000};
  auto d = Load("uac2-dac-A.txt", p);
  ASSERT_TRUE(d);
  // Unit 10: mute and volume read/write on the master only.
  EXPECT_EQ(Get(*d, kClassIf, uac::CUR, 0x0100, 0x0A00, 1).data, (std::vector<std::uint8_t>{0}));
  EXPECT_TRUE(Get(*d, kClassIf, uac::CUR, 0x0101, 0x0A00, 1).stalled());
  auto range = Get(*d, kClassIf, uac::RANGE, 0x0200, 0x0A00, 8);
  ASSERT_EQ(range.data.size(), 8u);
  EXPECT_EQ(range.data[0] | (range.data[1] << 8), 1);
  EXPECT_EQ(static_cast<std::int16_t>(range.data[2] | (range.data[3] << 8)), -60 * 256);
  EXPECT_EQ(Set(*d, kClassIf, uac::CUR, 0x0200, 0x0A00, Le16(-10 * 256)).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(d->GetControl({false, 10, 2, 0}), -10 * 256);
  EXPECT_TRUE(Get(*d, kClassIf, uac::RANGE, 0x0100, 0x0A00, 8).stalled());  // mute has no range
  // Clock source 41: three discrete rates, frequency read/write, validity read-only.
  auto count = Get(*d, kClassIf, uac::RANGE, 0x0100, 0x2900, 14);
  ASSERT_EQ(count.data.size(), 14u);
  EXPECT_EQ(count.data[0], 3);
  auto rates = Get(*d, kClassIf, uac::RANGE, 0x0100, 0x2900, 2 + 12 * 3);
  ASSERT_EQ(rates.data.size(), 38u);
  EXPECT_EQ(rates.data[26] | (rates.data[27] << 8) | (rates.data[28] << 16), 96000);
  auto cur = Get(*d, kClassIf, uac::CUR, 0x0100, 0x2900, 4);
  EXPECT_EQ(cur.data, (std::vector<std::uint8_t>{0x44, 0xAC, 0, 0}));
  EXPECT_EQ(Set(*d, kClassIf, uac::CUR, 0x0100, 0x2900, {0x80, 0xBB, 0, 0}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(d->GetControl({false, 41, 1, 0}), 48000);
  EXPECT_TRUE(Set(*d, kClassIf, uac::CUR, 0x0100, 0x2900, {0x22, 0x56, 0, 0}).stalled());
  EXPECT_EQ(Get(*d, kClassIf, uac::CUR, 0x0200, 0x2900, 1).data, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(Set(*d, kClassIf, uac::CUR, 0x0200, 0x2900, {0}).stalled());
  // Clock selector 40 with one input.
  EXPECT_EQ(Get(*d, kClassIf, uac::CUR, 0x0100, 0x2800, 1).data, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(Set(*d, kClassIf, uac::CUR, 0x0100, 0x2800, {2}).stalled());
  // The streaming interface follows the clock.
  Configure(*d, 1, 1);
  EXPECT_EQ(d->SamplingRate(0x01), 48000u);
}

TEST(Uac2Requests, ContinuousClockAndValidity) {
  DeviceProfile p;
  p.clock_ranges[41] = {8000, 192000};
  p.clock_valid[41] = false;
  auto d = Load("uac2-dac-A.txt", p);
  ASSERT_TRUE(d);
  auto r = Get(*d, kClassIf, uac::RANGE, 0x0100, 0x2900, 14);
  ASSERT_EQ(r.data.size(), 14u);
  EXPECT_EQ(r.data[0], 1);
  EXPECT_EQ(r.data[10], 1);  // RES non-zero: a continuous range
  EXPECT_EQ(Set(*d, kClassIf, uac::CUR, 0x0100, 0x2900, {0x22, 0x56, 0, 0}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Get(*d, kClassIf, uac::CUR, 0x0200, 0x2900, 1).data, (std::vector<std::uint8_t>{0}));
}

TEST(Uac2Requests, TerminalsConnectorsAndValidAlternates) {
  DeviceProfile p;
  p.terminals[20].jacks = {{0x3, 0x01014030}};
  p.terminals[20].connected_channels = 0x2;
  auto d = Load("uac2-dac-A.txt", p);
  ASSERT_TRUE(d);
  // Output terminal 20 declares no connector control in bmControls: CUR 0x0200 stalls, but
  // the maker's jack list answers from the profile.
  EXPECT_TRUE(Get(*d, kClassIf, uac::CUR, 0x0200, 0x1400, 6).stalled());
  auto jacks = Get(*d, kClassIf, uac::CUR, 0x02FF, 0x1400, 9);
  ASSERT_EQ(jacks.data.size(), 9u);
  EXPECT_EQ(jacks.data[0], 1);
  // Its streaming interface does not declare the valid-alternates control.
  EXPECT_TRUE(Get(*d, kClassIf, uac::CUR, 0x0200, 0x0001, 5).stalled());
}

TEST(FaultHooks, StallFiresOnceWhereConfigured) {
  auto d = Load("uac1-headset-A.txt");
  ASSERT_TRUE(d);
  d->StallRequests({0xA1, uac::GET_CUR, 0x0100, 0x0500}, 1);
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_CUR, 0x0201, 0x0500, 2).status, USBD_STATUS_SUCCESS);  // no match
  EXPECT_TRUE(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0500, 1).stalled());
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0500, 1).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(d->fault_hits(), 1u);
}

}  // namespace
}  // namespace sim::device

namespace sim::device {
namespace {

using namespace test;

TEST(VendorSelectors, PresentWhereTheVendorBlockSaysSo) {
  // UAC 1.0: block of 23 bytes, control size 2, master bitmap 0x0400 (selector 0x8B),
  // channel 1 bitmap 0x0800 (selector 0x8C).
  DeviceProfile p1;
  p1.entity_memory[5] = std::vector<std::uint8_t>(23, 0);
  p1.entity_memory[5][16] = 23;
  p1.entity_memory[5][18] = 2;
  p1.entity_memory[5][20] = 0x04;
  p1.entity_memory[5][22] = 0x08;
  auto d1 = Load("uac1-headset-A.txt", p1);
  ASSERT_TRUE(d1);
  EXPECT_EQ(Set(*d1, 0x41, uac::SET_CUR, 0x8B00, 0x0500, {3}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Get(*d1, 0x41, uac::GET_CUR, 0x8B00, 0x0500, 1).data, (std::vector<std::uint8_t>{3}));
  EXPECT_TRUE(Get(*d1, 0x41, uac::GET_CUR, 0x8B01, 0x0500, 1).stalled());
  EXPECT_EQ(Get(*d1, 0x41, uac::GET_CUR, 0x8C01, 0x0500, 2).status, USBD_STATUS_SUCCESS);
  EXPECT_TRUE(Get(*d1, 0x41, uac::GET_CUR, 0x8D00, 0x0500, 1).stalled());

  // UAC 2.0: 32-bit fields; selector 0x90 (a switch) readable and writable on the master.
  DeviceProfile p2;
  p2.entity_memory[10] = std::vector<std::uint8_t>(30, 0);
  p2.entity_memory[10][16] = 30;
  const std::uint32_t field = 3u << (2 * 0x10 - 2);
  for (int b = 0; b < 4; ++b) p2.entity_memory[10][18 + b] = static_cast<std::uint8_t>(field >> (8 * b));
  auto d2 = Load("uac2-dac-A.txt", p2);
  ASSERT_TRUE(d2);
  EXPECT_EQ(Set(*d2, 0x21, uac::CUR, 0x9000, 0x0A00, {1}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Get(*d2, 0x21, uac::CUR, 0x9000, 0x0A00, 1).data, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(Set(*d2, 0x21, uac::CUR, 0x9000, 0x0A00, {2}).stalled());
  EXPECT_TRUE(Get(*d2, 0x21, uac::CUR, 0x8200, 0x0A00, 2).stalled());
  EXPECT_TRUE(Get(*d2, 0x21, uac::CUR, 0xFF00, 0x0A00, 2).stalled());
}

}  // namespace
}  // namespace sim::device

namespace sim::device {
namespace {

using namespace test;

TEST(Uac2Requests, ActiveAndValidAlternateSettings) {
  DeviceProfile p;
  p.valid_alternates[1] = 0b1011;  // setting 2 not valid now
  auto d = Load("uac2-dac-headamp-B.txt", p);
  ASSERT_TRUE(d);
  Configure(*d, 1, 3);
  EXPECT_EQ(Get(*d, 0x21, uac::CUR, 0x0100, 0x0001, 1).data, (std::vector<std::uint8_t>{3}));
  auto valid = Get(*d, 0x21, uac::CUR, 0x0200, 0x0001, 5);
  ASSERT_EQ(valid.status, USBD_STATUS_SUCCESS);
  ASSERT_EQ(valid.data.size(), 2u);
  EXPECT_EQ(valid.data[0], 1);       // bControlSize
  EXPECT_EQ(valid.data[1], 0b1011);  // bmValidAltSettings
  EXPECT_TRUE(Get(*d, 0x21, uac::CUR, 0x0300, 0x0001, 1).stalled());
  EXPECT_TRUE(Set(*d, 0x21, uac::CUR, 0x0100, 0x0001, {1}).stalled());
  // A streaming interface whose descriptors do not declare the control stalls it.
  auto dac = Load("uac2-dac-A.txt");
  EXPECT_TRUE(Get(*dac, 0x21, uac::CUR, 0x0200, 0x0001, 5).stalled());
}

}  // namespace
}  // namespace sim::device

namespace sim::device {
namespace {

TEST(DeviceProfileDefaults, BusSpeedFromTheDumpOrTheClassVersion) {
  EXPECT_TRUE(test::Load("uac1-headset-wireless-D.txt")->HighSpeed());  // the dump says high speed
  EXPECT_FALSE(test::Load("uac1-dac-dongle-A.txt")->HighSpeed());       // the dump says full speed
  EXPECT_FALSE(test::Load("uac1-headset-A.txt")->HighSpeed());          // silent dump, UAC 1.0
  EXPECT_TRUE(test::Load("uac2-dac-A.txt")->HighSpeed());               // silent dump, UAC 2.0
  DeviceProfile p;
  p.high_speed = false;
  EXPECT_FALSE(test::Load("uac2-dac-A.txt", p)->HighSpeed());           // the profile decides
}

}  // namespace
}  // namespace sim::device
