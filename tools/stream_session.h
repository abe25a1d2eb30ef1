// One stream through the audio engine: the engine client opens the endpoint's wave
// filter pin in the chosen format, runs it (on virtual time by default, faster than real
// time, or on the real clock), feeds it a file's audio or keeps what it records, and
// hands back what the engine found. While it runs, the simulated device is watched for
// the report: what its endpoint received or produced, its FIFO and its feedback values.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver_host.h"
#include "endpoints.h"
#include "sim/engine/engine.h"
#include "wav_file.h"

namespace tools {

struct StreamRequest {
  const Endpoint* endpoint = nullptr;
  PcmFormat format;
  const WavAudio* play = nullptr;  // render: the audio to play
  std::uint64_t recordFrames = 0;  // capture: how much to keep
  bool realTime = false;
  bool progress = false;           // a progress bar on stderr for runs longer than a second
};

// What the device's endpoint saw, taken while the stream still ran (the device forgets an
// endpoint's data when the driver leaves its alternate setting).
struct DeviceObservation {
  std::uint8_t dataEndpoint = 0;      // the isochronous data endpoint
  std::uint8_t feedbackEndpoint = 0;  // 0: none
  bool highSpeed = false;
  std::vector<std::int32_t> received;  // render: every sample the device received
  sim::device::SimDevice::RenderStats render;
  std::uint64_t producedFrames = 0;    // capture
  std::vector<std::uint32_t> feedback;  // feedback values as on the wire, sampled while running
  std::uint32_t glitches = 0;           // stream findings of the device (underruns, overruns)
};

struct StreamOutcome {
  std::vector<std::int32_t> recorded;  // capture: the samples the engine read, interleaved
  std::vector<std::string> findings;   // the engine client's, one line each
  DeviceObservation device;
  double seconds = 0;                  // stream time from RUN to STOP
};

// Opens the streaming pin of the endpoint's wave filter in `format` for the engine client.
// false with the reason.
bool OpenEndpointStream(const Endpoint& endpoint, const PcmFormat& format, sim::engine::StreamOptions options,
                        std::unique_ptr<sim::engine::FilterClient>& filter, std::unique_ptr<sim::engine::Stream>& stream,
                        std::string& error);

// false with the reason when the stream could not run at all (no filter, the pin refused
// the format, a state change failed); findings of a stream that ran are in `outcome`.
bool RunStream(DriverHost& host, const StreamRequest& request, StreamOutcome& outcome, std::string& error);

}  // namespace tools
