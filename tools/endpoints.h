// The device's audio endpoints as the tool names them: each stream engine by its
// endpoint type, numbered within its direction ("HP", "Mic"; "Line2" for a second render
// engine of a type), or by its streaming interface number, with the PCM formats it offers.
// Where a type has engines in both directions, the direction joins the name for uses that
// mix the two ("LineOut", "LineIn", as the wave filters are named).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/audio_hal.h"
#include "adapter/stream_engine.h"

namespace tools {

struct PcmFormat {
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bits = 0;       // valid bits, as a WAV file holds them
  std::uint16_t container = 0;  // bits of the sample's container (24 valid bits in 32)
  std::uint32_t channelMask = 0;
  std::uint8_t alternate = 0;
};

struct Endpoint {
  adapter::IStreamEngine* engine = nullptr;  // held by the driver's engine list
  std::string name;       // unique within its direction
  std::string fullName;   // unique across both directions
  std::string filterName; // the wave filter the driver registered for it
  bool capture = false;
  std::uint8_t interfaceNumber = 0;
  std::vector<PcmFormat> formats;  // integer PCM of 8, 16, 24 or 32 valid bits
};

std::vector<Endpoint> ListEndpoints(adapter::IAudioHal* hal);
// The endpoint to play to (capture false) or record from: the one named, or the first of
// the direction when `name` is empty. null with the reason.
const Endpoint* FindEndpoint(const std::vector<Endpoint>& endpoints, bool capture, const std::string& name,
                             std::string& error);
// The endpoint's format for the request; 0 in `rate`, `channels` or `bits` takes the
// first format offered (48 kHz when offered). null with the reason.
const PcmFormat* FindFormat(const Endpoint& endpoint, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                            std::string& error);
// "2 ch 16-bit or 2 ch 24-bit at 44100, 48000, 96000 Hz", one alternative per alternate
// setting with the rates it offers when those differ.
std::string DescribeFormats(const Endpoint& endpoint);

}  // namespace tools
