// The built-in default device: a high-speed USB Audio Class 2.0 headset written as data.
//
// Audio Control interface 0 (with an interrupt IN endpoint for status messages) and two
// streaming interfaces, joined by an interface association:
//
//   clock source 40 (internal, programmable: 44.1, 48 and 96 kHz, validity readable)
//   speaker:    input terminal 1 (USB streaming, 2 ch) -> feature unit 2 -> output terminal 3
//               (headphones)
//   microphone: input terminal 4 (microphone, 1 ch) -> feature unit 5 -> output terminal 6
//               (USB streaming)
//
// Both feature units carry mute and volume on every logical channel (none on the master
// channel), readable and host-programmable. Interface 1 plays through an asynchronous
// isochronous OUT endpoint (alternate 1: 16-bit, alternate 2: 24-bit) fed back by an
// isochronous IN feedback endpoint every millisecond; interface 2 records through an
// asynchronous isochronous IN endpoint (16-bit mono) and answers a 1 kHz tone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/device/sim_device.h"

namespace sim::device::default_device {

inline constexpr std::uint16_t kVendorId = 0x1209;
inline constexpr std::uint16_t kProductId = 0x0001;
inline constexpr std::uint8_t kClockId = 40;
inline constexpr std::uint8_t kSpeakerStreamTerminal = 1, kSpeakerFeatureUnit = 2, kHeadphoneTerminal = 3;
inline constexpr std::uint8_t kMicTerminal = 4, kMicFeatureUnit = 5, kMicStreamTerminal = 6;
inline constexpr std::uint8_t kRenderInterface = 1, kCaptureInterface = 2;
inline constexpr std::uint8_t kRenderEndpoint = 0x01, kFeedbackEndpoint = 0x81, kCaptureEndpoint = 0x82;
inline constexpr std::uint8_t kStatusEndpoint = 0x83;
inline constexpr double kToneHz = 1000.0;

std::vector<std::uint8_t> DeviceDescriptor();
std::vector<std::uint8_t> ConfigurationDescriptor();
// Strings, the clock's rates, high speed and the microphone's tone.
DeviceProfile Profile();
// The device ready for the bus, with Profile() unless another profile is given.
std::unique_ptr<SimDevice> Create();
std::unique_ptr<SimDevice> Create(DeviceProfile profile);

}  // namespace sim::device::default_device
