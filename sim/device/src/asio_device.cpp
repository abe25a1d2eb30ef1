#include "sim/device/asio_device.h"

#include <initializer_list>
#include <iterator>
#include <string>

#include "sim/device/descriptor_set.h"

namespace sim::device::asio_device {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSpeakerIn = 1, kSpeaker = 3, kMic = 4, kHeadphoneIn = 5, kHeadphones = 6, kMicOut = 7;
constexpr std::uint32_t kPcm = 1u << 0;
constexpr std::uint32_t kRawData = 1u << 31;
constexpr std::uint8_t kModelStringIndex = 0x50;

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}
Bytes Interface(std::uint8_t number, std::uint8_t alt, std::uint8_t endpoints, std::uint8_t subclass) {
  return {9, 4, number, alt, endpoints, 1, subclass, 0x20, 0};
}

// Front pair, then (four channels) the back pair.
std::uint32_t ChannelConfig(std::uint8_t channels) { return channels == 4 ? 0x33u : 0x3u; }

struct Setting {
  std::uint32_t formats;
  std::uint8_t channels;
  std::uint8_t subslot;
  std::uint8_t bits;
};

// One streaming interface: the zero-bandwidth setting, then one setting per entry.
Bytes StreamingInterface(std::uint8_t number, std::uint8_t terminal, std::uint8_t endpoint,
                         const std::vector<Setting>& settings) {
  Bytes b = Interface(number, 0, 0, 2);
  std::uint8_t alt = 1;
  for (const Setting& s : settings) {
    const std::uint32_t config = ChannelConfig(s.channels);
    b = Cat({b, Interface(number, alt++, 1, 2),
             Cat({{16, 0x24, 1, terminal, 0x04, 1}, Le32(s.formats), {s.channels}, Le32(config), {0}}),
             {6, 0x24, 2, 1, s.subslot, s.bits},
             // Isochronous, adaptive (render) or asynchronous (capture), 1024 bytes.
             {7, 5, endpoint, static_cast<std::uint8_t>((endpoint & 0x80) ? 0x05 : 0x09), 0x00, 0x04, 1},
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
  c[2] = static_cast<std::uint8_t>(c.size());
  c[3] = static_cast<std::uint8_t>(c.size() >> 8);
  c[4] = static_cast<std::uint8_t>(interfaces);
  return c;
}

}  // namespace

std::vector<std::uint8_t> DeviceDescriptor() {
  return {18,
          1,
          0x00,
          0x02,
          0xEF,
          2,
          1,
          64,
          static_cast<std::uint8_t>(kVendorId),
          static_cast<std::uint8_t>(kVendorId >> 8),
          static_cast<std::uint8_t>(kProductId),
          static_cast<std::uint8_t>(kProductId >> 8),
          0,
          1,
          1,
          2,
          0,
          1};
}

std::vector<std::uint8_t> ConfigurationDescriptor() { return ConfigurationDescriptor(RenderLayout{}); }

std::vector<std::uint8_t> ConfigurationDescriptor(const RenderLayout& layout) {
  const std::uint8_t clock = kClockId;
  const std::uint8_t sp = layout.speakerChannels, hp = layout.headphoneChannels;
  const Bytes speakerIn =
      Cat({{17, 0x24, 2, kSpeakerIn, 0x01, 0x01, 0, clock, sp}, Le32(ChannelConfig(sp)), {0, 0, 0, 0}});
  const Bytes speaker = {12, 0x24, 3, kSpeaker, 0x01, 0x03, 0, kSpeakerIn, clock, 0, 0, 0};
  const Bytes headphoneIn =
      Cat({{17, 0x24, 2, kHeadphoneIn, 0x01, 0x01, 0, clock, hp}, Le32(ChannelConfig(hp)), {0, 0, 0, 0}});
  const Bytes headphones = {12, 0x24, 3, kHeadphones, 0x02, 0x03, 0, kHeadphoneIn, clock, 0, 0, 0};
  const Bytes mic = Cat({{17, 0x24, 2, kMic, 0x01, 0x02, 0, clock, 4}, Le32(0x33), {0, 0, 0, 0}});
  const Bytes micOut = {12, 0x24, 3, kMicOut, 0x01, 0x01, 0, kMic, clock, 0, 0, 0};
  return Configuration({
      {8, 0x0B, 0, 4, 1, 0, 0x20, 0},
      Interface(0, 0, 0, 1),
      {9, 0x24, 1, 0x00, 0x02, 8, 0, 0, 0},
      {8, 0x24, 0x0A, clock, 0x03, 0x07, 0, 0},
      speakerIn,
      speaker,
      headphoneIn,
      headphones,
      mic,
      micOut,
      StreamingInterface(1, kSpeakerIn, 0x01, {{kPcm, sp, 2, 16}, {kPcm, sp, 4, 24}, {kRawData, 2, 4, 32}}),
      StreamingInterface(2, kHeadphoneIn, 0x02,
                         {{kPcm, hp, 2, 16}, {kPcm, hp, 4, 24}, {kPcm, hp, 4, 32}, {kRawData, 2, 4, 32}}),
      StreamingInterface(3, kMicOut, 0x83, {{kPcm, 4, 4, 24}, {kPcm, 4, 2, 16}, {kRawData, 2, 4, 32}}),
  });
}

DeviceProfile Profile() {
  DeviceProfile profile;
  profile.strings[kModelStringIndex] = u"Neutral";
  profile.strings[1] = u"Maker";
  profile.strings[2] = kProduct;
  profile.clock_rates[kClockId] = std::vector<std::uint32_t>(std::begin(kClockRates), std::end(kClockRates));
  return profile;
}

std::unique_ptr<SimDevice> Make() {
  DescriptorSet set;
  std::string error;
  if (!DescriptorSet::Build(DeviceDescriptor(), ConfigurationDescriptor(), set, error)) return nullptr;
  return std::make_unique<SimDevice>(std::move(set), Profile());
}

}  // namespace sim::device::asio_device
