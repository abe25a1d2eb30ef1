// Descriptor sets written by hand for the cases real dumps do not cover: a configuration
// is built from descriptor pieces, and the header's wTotalLength and bNumInterfaces are
// filled in from what was added.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "sim/device/sim_device.h"

namespace sim::device::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes DeviceDescriptor() { return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 0, 1}; }

// A configuration from its pieces; `interfaces` overrides the counted bNumInterfaces.
inline Bytes Configuration(std::initializer_list<Bytes> pieces, int interfaces = -1) {
  Bytes c = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
  int counted = 0;
  for (auto& p : pieces) {
    if (p.size() >= 4 && p[1] == 4 && p[3] == 0) ++counted;
    c.insert(c.end(), p.begin(), p.end());
  }
  c[2] = static_cast<std::uint8_t>(c.size());
  c[3] = static_cast<std::uint8_t>(c.size() >> 8);
  c[4] = static_cast<std::uint8_t>(interfaces >= 0 ? interfaces : counted);
  return c;
}

inline Bytes Interface(std::uint8_t number, std::uint8_t alt, std::uint8_t endpoints, std::uint8_t cls = 1,
                       std::uint8_t subclass = 2, std::uint8_t protocol = 0) {
  return {9, 4, number, alt, endpoints, cls, subclass, protocol, 0};
}
// UAC 1.0 Audio Control header naming its streaming interfaces.
inline Bytes AcHeader1(std::initializer_list<std::uint8_t> streaming) {
  Bytes d(8 + streaming.size());
  const Bytes head = {static_cast<std::uint8_t>(8 + streaming.size()), 0x24, 1, 0x00, 0x01, 0, 0,
                      static_cast<std::uint8_t>(streaming.size())};
  std::size_t k = 0;
  for (auto b : head) d[k++] = b;
  for (auto b : streaming) d[k++] = b;
  return d;
}
inline Bytes AcHeader2() { return {9, 0x24, 1, 0x00, 0x02, 8, 0, 0, 0}; }
inline Bytes InputTerminal1(std::uint8_t id, std::uint16_t type = 0x0101, std::uint8_t channels = 2) {
  return {12, 0x24, 2, id, static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8), 0, channels, 3, 0, 0, 0};
}
inline Bytes OutputTerminal1(std::uint8_t id, std::uint8_t source, std::uint16_t type = 0x0301) {
  return {9, 0x24, 3, id, static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8), 0, source, 0};
}
// UAC 2.0 input terminal: bNrChannels at 8, bmChannelConfig at 9, connector control
// readable (bmControls bits 2-3 = 01).
inline Bytes InputTerminal2(std::uint8_t id, std::uint8_t clock, std::uint8_t channels, std::uint32_t config) {
  return {17, 0x24, 2, id, 0x01, 0x06, 0, clock, channels, static_cast<std::uint8_t>(config),
          static_cast<std::uint8_t>(config >> 8), static_cast<std::uint8_t>(config >> 16),
          static_cast<std::uint8_t>(config >> 24), 0, 0x04, 0x00, 0};
}
inline Bytes ClockSource2(std::uint8_t id) { return {8, 0x24, 0x0A, id, 0x01, 0x01, 0, 0}; }
inline Bytes AsGeneral1(std::uint8_t terminal, std::uint16_t tag = 1) {
  return {7, 0x24, 1, terminal, 1, static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8)};
}
// UAC 1.0 format type I or III with one discrete rate.
inline Bytes Format1(std::uint8_t type, std::uint8_t channels, std::uint8_t subframe, std::uint8_t bits,
                     std::uint32_t rate = 48000) {
  return {11, 0x24, 2, type, channels, subframe, bits, 1, static_cast<std::uint8_t>(rate),
          static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate >> 16)};
}
inline Bytes IsoEndpoint(std::uint8_t address, std::uint16_t max_packet, std::uint8_t attributes = 0x09,
                         std::uint8_t refresh = 0, std::uint8_t synch = 0) {
  return {9, 5, address, attributes, static_cast<std::uint8_t>(max_packet), static_cast<std::uint8_t>(max_packet >> 8),
          1, refresh, synch};
}
// Audio class endpoint descriptor; attributes bit 0: sampling frequency control.
inline Bytes CsEndpoint(std::uint8_t attributes = 1) { return {7, 0x25, 1, attributes, 0, 0, 0}; }
inline Bytes Association(std::uint8_t first, std::uint8_t count) { return {8, 0x0B, first, count, 1, 0, 0, 0}; }
// UAC 1.0 feature unit on a mono source: master controls only (bit 0 mute, bit 1 volume).
inline Bytes FeatureUnit1(std::uint8_t id, std::uint8_t source, std::uint8_t master) {
  return {9, 0x24, 6, id, source, 1, master, 0, 0};
}
inline Bytes BulkEndpoint(std::uint8_t address) { return {7, 5, address, 2, 64, 0, 0}; }

// A full-speed UAC 1.0 speaker: Audio Control 0, streaming interface 1 whose alternate 1
// carries `format` on OUT 0x01 (200-byte packets).
inline Bytes Speaker1(const Bytes& format) {
  return Configuration({Interface(0, 0, 0, 1, 1), AcHeader1({1}), InputTerminal1(1), OutputTerminal1(2, 1),
                        Interface(1, 0, 0), Interface(1, 1, 1), AsGeneral1(1), format, IsoEndpoint(0x01, 200),
                        CsEndpoint()});
}

// A full-speed UAC 1.0 speaker with explicit feedback: asynchronous OUT 0x01 (48 kHz stereo
// 16-bit) fed back by IN 0x83 of `feedback_bytes` per packet, refreshed every 2^refresh ms.
inline Bytes SpeakerWithFeedback(std::uint16_t feedback_bytes, std::uint8_t refresh) {
  return Configuration({Interface(0, 0, 0, 1, 1), AcHeader1({1}), InputTerminal1(1), OutputTerminal1(2, 1),
                        Interface(1, 0, 0), Interface(1, 1, 2), AsGeneral1(1), Format1(1, 2, 2, 16),
                        IsoEndpoint(0x01, 200, 0x05, 0, 0x83), CsEndpoint(), IsoEndpoint(0x83, feedback_bytes, 0x11, refresh)});
}

inline std::unique_ptr<SimDevice> Build(const Bytes& config, DeviceProfile profile = {}, std::string* error = nullptr,
                                        std::vector<std::string>* notes = nullptr) {
  DescriptorSet set;
  std::string e;
  if (!DescriptorSet::Build(DeviceDescriptor(), config, set, e)) {
    if (error) *error = e;
    return nullptr;
  }
  if (notes) *notes = set.notes();
  return std::make_unique<SimDevice>(std::move(set), std::move(profile));
}

}  // namespace sim::device::test
