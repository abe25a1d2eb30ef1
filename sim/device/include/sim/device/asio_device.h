// A USB Audio Class 2.0 interface with three endpoints an ASIO client can use, written as
// data: one programmable clock (44.1 to 384 kHz) and three streaming interfaces, each with
// a zero-bandwidth setting and one setting per format (the valid-alternates control
// readable, so the raw-data settings count):
//
//   speakers:   input terminal 1 (USB streaming, 2 ch or RenderLayout's) -> output terminal 3;
//               PCM 16-bit, PCM 24-in-32-bit, DSD (raw data in 32-bit words)
//   headphones: input terminal 5 (USB streaming, 2 ch or RenderLayout's) -> output terminal 6;
//               PCM 16-bit, 24-in-32-bit, 32-bit, DSD
//   microphone: input terminal 4 (microphone, 4 ch) -> output terminal 7 (USB streaming);
//               PCM 24-in-32-bit and 16-bit on 4 channels, DSD on 2
//
// Every endpoint offers 16-bit and 24-in-32-bit PCM at every clock rate; a DSD setting
// carries 32 one-bit samples of a channel pair per word, so 88.2 to 384 kHz words are
// DSD 64, 128 and 256 times 44.1 and 48 kHz.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/device/sim_device.h"

namespace sim::device::asio_device {

inline constexpr std::uint16_t kVendorId = 0x1234;
inline constexpr std::uint16_t kProductId = 0x5678;
inline constexpr std::uint8_t kClockId = 40;
inline constexpr std::uint32_t kClockRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
// The product string (index 2), trailing spaces included.
inline constexpr char16_t kProduct[] = u"Studio Interface 4x2   ";

// The channel counts of the render endpoints' PCM settings (2 or 4; the streaming input
// terminal follows, 4 channels as front and back pairs); their DSD settings stay on two
// channels, as the microphone's do beside its four-channel PCM.
struct RenderLayout {
  std::uint8_t speakerChannels = 2;
  std::uint8_t headphoneChannels = 2;
};

std::vector<std::uint8_t> DeviceDescriptor();
std::vector<std::uint8_t> ConfigurationDescriptor();
std::vector<std::uint8_t> ConfigurationDescriptor(const RenderLayout& layout);
// Strings (a neutral model string at 0x50, maker, product) and the clock's rates.
DeviceProfile Profile();
std::unique_ptr<SimDevice> Make();

}  // namespace sim::device::asio_device
