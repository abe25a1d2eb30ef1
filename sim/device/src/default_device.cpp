#include "sim/device/default_device.h"

#include <initializer_list>

namespace sim::device::default_device {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Le16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }
Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// Mute (selector 1) and volume (selector 2), each readable and host-programmable: the
// two-bit fields at bits 0-1 and 2-3 of a channel's 32-bit control bitmap.
constexpr std::uint32_t kMuteAndVolume = 0x0F;

constexpr std::uint8_t kCsInterface = 0x24, kCsEndpoint = 0x25;
constexpr std::uint8_t kProtocol20 = 0x20;

Bytes Interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints, std::uint8_t subclass) {
  return {9, 4, number, alternate, endpoints, 1, subclass, kProtocol20, 0};
}
// Feature unit with mute and volume on each logical channel and nothing on the master.
Bytes FeatureUnit(std::uint8_t id, std::uint8_t source, std::uint8_t channels) {
  Bytes d = {static_cast<std::uint8_t>(6 + 4 * (channels + 1)), kCsInterface, 6, id, source};
  d = Cat({d, Le32(0)});
  for (std::uint8_t c = 0; c < channels; ++c) d = Cat({d, Le32(kMuteAndVolume)});
  d.push_back(0);  // iFeature
  return d;
}
Bytes InputTerminal(std::uint8_t id, std::uint16_t type, std::uint8_t channels, std::uint32_t config) {
  return Cat({{17, kCsInterface, 2, id}, Le16(type), {0, kClockId, channels}, Le32(config), {0}, Le16(0), {0}});
}
Bytes OutputTerminal(std::uint8_t id, std::uint16_t type, std::uint8_t source) {
  return Cat({{12, kCsInterface, 3, id}, Le16(type), {0, source, kClockId}, Le16(0), {0}});
}
// AS_GENERAL: the valid-alternates control readable, Type I PCM.
Bytes AsGeneral(std::uint8_t terminal, std::uint8_t channels, std::uint32_t config) {
  return Cat({{16, kCsInterface, 1, terminal, 0x04, 1}, Le32(1), {channels}, Le32(config), {0}});
}
Bytes FormatTypeI(std::uint8_t subslot, std::uint8_t bits) { return {6, kCsInterface, 2, 1, subslot, bits}; }
// Isochronous endpoint polled every microframe (bInterval 1).
Bytes IsoEndpoint(std::uint8_t address, std::uint8_t attributes, std::uint16_t max_packet, std::uint8_t interval) {
  return Cat({{7, 5, address, attributes}, Le16(max_packet), {interval}});
}
Bytes CsIsoEndpoint() { return {8, kCsEndpoint, 1, 0, 0, 0, 0, 0}; }

// Packet sizes: at 96 kHz a microframe carries 12 frames, 13 when the feedback asks for
// more; 104 bytes hold 13 frames of 24-bit stereo and of everything smaller.
constexpr std::uint16_t kRenderPacket = 104;
constexpr std::uint16_t kCapturePacket = 64;
constexpr std::uint8_t kIsoAsync = 0x05;          // isochronous, asynchronous, data
constexpr std::uint8_t kIsoFeedback = 0x11;       // isochronous, no sync, feedback
constexpr std::uint8_t kFeedbackInterval = 4;     // every 2^(4-1) microframes: 1 ms
constexpr std::uint8_t kStatusInterval = 8;       // every 2^(8-1) microframes: 16 ms

Bytes RenderAlternate(std::uint8_t alternate, std::uint8_t subslot, std::uint8_t bits) {
  return Cat({Interface(kRenderInterface, alternate, 2, 2), AsGeneral(kSpeakerStreamTerminal, 2, 0x3),
              FormatTypeI(subslot, bits), IsoEndpoint(kRenderEndpoint, kIsoAsync, kRenderPacket, 1), CsIsoEndpoint(),
              IsoEndpoint(kFeedbackEndpoint, kIsoFeedback, 4, kFeedbackInterval)});
}

}  // namespace

std::vector<std::uint8_t> DeviceDescriptor() {
  // Class 0xEF/2/1: the functions are described by interface associations.
  return Cat({{18, 1}, Le16(0x0200), {0xEF, 0x02, 0x01, 64}, Le16(kVendorId), Le16(kProductId), Le16(0x0100),
              {1, 2, 3, 1}});
}

std::vector<std::uint8_t> ConfigurationDescriptor() {
  const Bytes controls = Cat({{8, kCsInterface, 0x0A, kClockId, 0x03, 0x07, 0, 0},
                              InputTerminal(kSpeakerStreamTerminal, 0x0101, 2, 0x3),
                              FeatureUnit(kSpeakerFeatureUnit, kSpeakerStreamTerminal, 2),
                              OutputTerminal(kHeadphoneTerminal, 0x0302, kSpeakerFeatureUnit),
                              InputTerminal(kMicTerminal, 0x0201, 1, 0x4),
                              FeatureUnit(kMicFeatureUnit, kMicTerminal, 1),
                              OutputTerminal(kMicStreamTerminal, 0x0101, kMicFeatureUnit)});
  // Category 0x04: headset.
  const Bytes header = Cat({{9, kCsInterface, 1}, Le16(0x0200), {0x04}, Le16(static_cast<std::uint16_t>(9 + controls.size())), {0}});
  Bytes body = Cat({{8, 0x0B, 0, 3, 1, 0, kProtocol20, 0},
                    Interface(0, 0, 1, 1),
                    header,
                    controls,
                    Cat({{7, 5, kStatusEndpoint, 0x03}, Le16(6), {kStatusInterval}}),
                    Interface(kRenderInterface, 0, 0, 2),
                    RenderAlternate(1, 2, 16),
                    RenderAlternate(2, 3, 24),
                    Interface(kCaptureInterface, 0, 0, 2),
                    Interface(kCaptureInterface, 1, 1, 2),
                    AsGeneral(kMicStreamTerminal, 1, 0x4),
                    FormatTypeI(2, 16),
                    IsoEndpoint(kCaptureEndpoint, kIsoAsync, kCapturePacket, 1),
                    CsIsoEndpoint()});
  const auto total = static_cast<std::uint16_t>(9 + body.size());
  return Cat({{9, 2}, Le16(total), {3, 1, 0, 0x80, 50}, body});
}

DeviceProfile Profile() {
  DeviceProfile profile;
  profile.high_speed = true;
  profile.strings[1] = u"Simulated Audio";
  profile.strings[2] = u"UAC 2.0 Headset";
  profile.strings[3] = u"0001";
  profile.clock_rates[kClockId] = {44100, 48000, 96000};
  profile.signal.kind = SignalKind::Sine;
  profile.signal.frequency_hz = {kToneHz};
  profile.signal.amplitude = 0.5;
  return profile;
}

std::unique_ptr<SimDevice> Create() { return Create(Profile()); }

std::unique_ptr<SimDevice> Create(DeviceProfile profile) {
  DescriptorSet set;
  std::string error;
  // The tables above are fixed: a failure here is a fault in them, which the tests catch.
  if (!DescriptorSet::Build(DeviceDescriptor(), ConfigurationDescriptor(), set, error)) return nullptr;
  return std::make_unique<SimDevice>(std::move(set), std::move(profile));
}

}  // namespace sim::device::default_device
