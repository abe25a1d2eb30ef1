// The device's audio endpoints as the tool names them: each stream engine by its
// endpoint type ("HP", "Mic"; "Stream2" for a second engine of a type) or its streaming
// interface number, with the PCM formats it offers.
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
  std::uint16_t bits = 0;  // valid bits, equal to the container's
  std::uint32_t channelMask = 0;
  std::uint8_t alternate = 0;
};

struct Endpoint {
  adapter::IStreamEngine* engine = nullptr;  // held by the driver's engine list
  std::string name;
  bool capture = false;
  std::uint8_t interfaceNumber = 0;
  std::vector<PcmFormat> formats;  // integer PCM whose container holds exactly its valid bits
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
// "2 ch 16-bit or 2 ch 24-bit at 44100, 48000, 96000 Hz"
std::string DescribeFormats(const Endpoint& endpoint);

}  // namespace tools
