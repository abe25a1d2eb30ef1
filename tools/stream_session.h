// One stream through the audio engine: the engine client opens the endpoint's wave
// filter pin in the chosen format, runs it (on virtual time by default, faster than real
// time, or on the real clock), feeds it a file's audio or keeps what it records, and
// hands back what the engine found. While it runs, the simulated device is watched for
// the report: what its endpoint received or produced, its FIFO and its feedback values.
#pragma once

#include <atomic>
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

// Capture: takes the samples recorded since the last call (whole frames, interleaved) on
// the tool's thread while the stream runs; false with the reason stops the stream.
using RecordSink = std::function<bool(const std::int32_t* samples, std::size_t count, std::string& error)>;

struct StreamRequest {
  const Endpoint* endpoint = nullptr;
  PcmFormat format;
  const WavAudio* play = nullptr;  // render: the audio to play
  std::uint64_t recordFrames = 0;  // capture: how much to keep
  bool realTime = false;
  bool progress = false;           // a progress bar on stderr for runs longer than a second
  RecordSink record;               // capture: null keeps the samples in the outcome
  // Set (to the signal's number) when the user asks the stream to stop; it then stops
  // through the driver's own stop path and the outcome holds what ran.
  const std::atomic<int>* stop = nullptr;
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
  // The device's clock against the host's: a least-squares line through the frames the
  // device had consumed (render) or produced (capture) at each look while it streamed.
  struct Line {
    double n = 0, t = 0, f = 0, tt = 0, tf = 0;  // sums of time (s), frames and products
    double first = 0, last = 0;                  // the times of the first and last look
    double lastFrames = 0;
    void Add(double seconds, double frames);
    // Frames per second; 0 with fewer than two looks apart.
    double Slope() const;
  } clock;
};

// A stream finding of the device or the engine client.
struct Finding {
  std::string source;  // "device endpoint 0x01", "engine render stream"
  std::string kind;    // "underrun", "missed notification", ...
  double seconds = 0;  // when it began, from the stream's start
  std::string detail;
};

struct StreamOutcome {
  std::vector<std::int32_t> recorded;  // capture without a sink: the samples the engine read
  std::uint64_t recordedFrames = 0;    // capture: frames handed to the sink or kept
  int stoppedBy = 0;                   // the signal that stopped the stream early, else 0
  // --realtime: how the machine kept the tool's 10 ms steps (the engine's and the
  // device's work runs beside them): steps taken, steps that woke late, the latest.
  struct Deadlines {
    bool measured = false;
    std::uint64_t steps = 0, late = 0;
    double worstMs = 0, totalLateMs = 0;
  } deadlines;
  std::string failure;                 // why a stream that started ended early, else empty
  bool sinkFailed = false;             // ... because the record sink failed (its output)
  std::vector<Finding> findings;       // the device's and the engine client's
  DeviceObservation device;
  double seconds = 0;                  // stream time from RUN to STOP
};

// Opens the streaming pin of the endpoint's wave filter in `format` for the engine client
// (the simulation benchmark's streams). false with the reason.
bool OpenEndpointStream(const DriverHost& host, const Endpoint& endpoint, const PcmFormat& format,
                        sim::engine::StreamOptions options, std::unique_ptr<sim::engine::FilterClient>& filter,
                        std::unique_ptr<sim::engine::Stream>& stream, std::string& error);

// false with the reason when the stream never started (no filter, the pin refused the
// format or a state); a stream that started is reported in `outcome`, with `failure` set
// when it ended early for a reason other than a stop request.
bool RunStream(DriverHost& host, const StreamRequest& request, StreamOutcome& outcome, std::string& error);

}  // namespace tools
