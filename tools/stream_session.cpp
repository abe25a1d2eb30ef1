#include "stream_session.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "portcls/ksmedia.h"
#include "sim/engine/engine.h"
#include "tool_common.h"

namespace tools {
namespace {

namespace clk = platform::clock;

// The engine's pass and the tool's look at the stream: every 10 ms of stream time.
constexpr LONGLONG kStep = 10 * clk::kTicksPerMillisecond;
// After the client's last frame the device still has its FIFO and the URBs in flight to
// play; a stream that does not get there within this long has stalled.
constexpr LONGLONG kDrainLimit = 2 * clk::kTicksPerSecond;
constexpr LONGLONG kDrainExtra = 50 * clk::kTicksPerMillisecond;

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// The wave filter the driver registered for the endpoint's engine, by its name.
bool FindWaveFilter(const DriverHost& host, const Endpoint& endpoint, platform::ks::SubdeviceInfo& out,
                    std::string& error) {
  for (const auto& info : sim::engine::EnumerateFilters(endpoint.capture ? &KSCATEGORY_CAPTURE : &KSCATEGORY_RENDER))
    if (info.device == host.fdo() && Narrow(info.name) == endpoint.filterName) {
      out = info;
      return true;
    }
  error = "the audio engine sees no wave filter " + endpoint.filterName + ": the driver registered none for " +
          endpoint.fullName;
  return false;
}

// The streaming pin: the one the audio engine connects to, data flowing into the filter
// for render and out of it for capture.
bool FindStreamingPin(sim::engine::FilterClient& filter, bool capture, ULONG& pin, std::string& error) {
  sim::engine::FilterDescription d;
  if (NTSTATUS status = filter.ReadDescription(&d); !NT_SUCCESS(status)) {
    char text[96];
    std::snprintf(text, sizeof text, "the wave filter does not describe its pins (0x%08x)", static_cast<unsigned>(status));
    error = text;
    return false;
  }
  for (const auto& p : d.pins)
    if (p.communication == KSPIN_COMMUNICATION_SINK && p.dataFlow == (capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN)) {
      pin = p.id;
      return true;
    }
  error = "the wave filter has no streaming pin";
  return false;
}

std::vector<BYTE> PinFormat(const PcmFormat& f) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE k{};
  k.DataFormat.FormatSize = sizeof k;
  k.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  k.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  k.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& w = k.WaveFormatExt;
  w.Format.wFormatTag = 0xFFFE;
  w.Format.nChannels = f.channels;
  w.Format.nSamplesPerSec = f.rate;
  w.Format.nBlockAlign = static_cast<WORD>(f.channels * f.container / 8);
  w.Format.nAvgBytesPerSec = f.rate * w.Format.nBlockAlign;
  w.Format.wBitsPerSample = f.container;
  w.Format.cbSize = 22;
  w.Samples.wValidBitsPerSample = f.bits;
  w.dwChannelMask = f.channelMask;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  k.DataFormat.SampleSize = w.Format.nBlockAlign;
  std::vector<BYTE> bytes(sizeof k);
  std::memcpy(bytes.data(), &k, sizeof k);
  return bytes;
}

// Little-endian samples of `bytes` bytes each whose top `bits` bits hold the value,
// sign-extended.
void AppendSamples(const BYTE* data, ULONG length, unsigned bytes, unsigned bits, std::vector<std::int32_t>& out) {
  for (ULONG at = 0; at + bytes <= length; at += bytes) {
    std::uint32_t v = 0;
    for (unsigned b = 0; b < bytes; ++b) v |= std::uint32_t(data[at + b]) << (8 * b);
    out.push_back(static_cast<std::int32_t>(v << (32 - 8 * bytes)) >> (32 - bits));
  }
}

class Progress {
 public:
  // Only on a terminal: a log keeps the report alone.
  Progress(bool enabled, double seconds)
      : m_Enabled(enabled && seconds > 1.0 && isatty(fileno(stderr))), m_Seconds(seconds) {}
  void Show(double done) {
    if (!m_Enabled) return;
    const int width = 40;
    const double part = std::clamp(done / m_Seconds, 0.0, 1.0);
    const int filled = static_cast<int>(part * width);
    if (filled == m_Shown && done < m_Seconds) return;
    m_Shown = filled;
    std::fprintf(stderr, "\r[%.*s%*s] %5.1f / %.1f s", filled, "########################################",
                 width - filled, "", std::min(done, m_Seconds), m_Seconds);
    std::fflush(stderr);
  }
  ~Progress() {
    if (m_Enabled && m_Shown >= 0) std::fputc('\n', stderr);
  }

 private:
  bool m_Enabled;
  double m_Seconds;
  int m_Shown = -1;
};

void Observe(sim::device::SimDevice& sim, DeviceObservation& d, bool capture) {
  const double now = static_cast<double>(clk::Now()) / clk::kTicksPerSecond;
  if (capture) {
    const std::uint64_t produced = sim.produced_frames(d.dataEndpoint);
    // A count that went back started over (the device's endpoint restarted): so does the line.
    if (produced < d.producedFrames) d.clock = {};
    d.producedFrames = produced;
    if (produced) d.clock.Add(now, static_cast<double>(produced));
    return;
  }
  d.render = sim.render_stats(d.dataEndpoint);
  // The device's clock takes a frame from its FIFO each tick, or finds none there (an
  // underrun): both count.
  const double taken = static_cast<double>(d.render.consumed_frames + d.render.underrun_frames);
  if (d.clock.n > 0 && taken < d.clock.lastFrames) d.clock = {};
  if (d.render.playing) d.clock.Add(now, taken);
  if (d.feedbackEndpoint) d.feedback.push_back(sim.feedback_value(d.feedbackEndpoint));
}

}  // namespace

void DeviceObservation::Line::Add(double seconds, double frames) {
  if (n == 0) first = seconds;
  last = seconds;
  lastFrames = frames;
  n += 1;
  t += seconds;
  f += frames;
  tt += seconds * seconds;
  tf += seconds * frames;
}

double DeviceObservation::Line::Slope() const {
  const double spread = n * tt - t * t;
  return n >= 2 && last > first && spread > 0 ? (n * tf - t * f) / spread : 0.0;
}

bool OpenEndpointStream(const DriverHost& host, const Endpoint& endpoint, const PcmFormat& format,
                        sim::engine::StreamOptions options, std::unique_ptr<sim::engine::FilterClient>& filter,
                        std::unique_ptr<sim::engine::Stream>& stream, std::string& error) {
  platform::ks::SubdeviceInfo info;
  ULONG pinId = 0;
  if (!FindWaveFilter(host, endpoint, info, error)) return false;
  if (NTSTATUS status = sim::engine::FilterClient::Open(info, &filter); !NT_SUCCESS(status)) {
    error = "the audio engine cannot open " + Narrow(info.name);
    return false;
  }
  if (!FindStreamingPin(*filter, endpoint.capture, pinId, error)) return false;
  if (NTSTATUS status = filter->OpenStream(pinId, PinFormat(format), std::move(options), &stream); !NT_SUCCESS(status)) {
    error = "the pin of " + Narrow(info.name) + " refused the format";
    return false;
  }
  return true;
}

bool RunStream(DriverHost& host, const StreamRequest& request, StreamOutcome& outcome, std::string& error) {
  const Endpoint& endpoint = *request.endpoint;
  const PcmFormat& format = request.format;
  const bool capture = endpoint.capture;
  sim::device::SimDevice& sim = *host.sim();

  // The device's endpoints of the chosen alternate setting.
  DeviceObservation& d = outcome.device;
  d.highSpeed = sim.HighSpeed();
  if (const auto* intf = sim.descriptors().FindInterface(endpoint.interfaceNumber))
    if (const auto* alt = intf->Find(format.alternate))
      for (const auto& e : alt->endpoints) {
        if (e.type() != 1) continue;
        if (e.is_feedback())
          d.feedbackEndpoint = e.address;
        else if (e.in() == capture)
          d.dataEndpoint = e.address;
      }

  platform::ks::SubdeviceInfo info;
  ULONG pinId = 0;
  std::unique_ptr<sim::engine::FilterClient> filter;
  if (!FindWaveFilter(host, endpoint, info, error)) return false;
  if (NTSTATUS status = sim::engine::FilterClient::Open(info, &filter); !NT_SUCCESS(status)) {
    error = "the audio engine cannot open " + Narrow(info.name);
    return false;
  }
  if (!FindStreamingPin(*filter, capture, pinId, error)) return false;

  const unsigned sampleBytes = format.container / 8;
  const unsigned padding = format.container - format.bits;  // low bits of a wider container
  const ULONG blockAlign = format.channels * sampleBytes;
  // The client's audio: render reads the file by byte offset (silence past its end),
  // capture keeps what it reads up to the length asked for.
  sim::engine::StreamOptions options;
  std::uint64_t target = 0;  // bytes of the client's audio
  // Set and read on different threads: the engine's pass and the tool's loop.
  auto clientDone = std::make_shared<std::atomic<bool>>(false);
  auto recordedBytes = std::make_shared<std::atomic<std::uint64_t>>(0);
  struct Captured {
    std::mutex lock;
    std::vector<BYTE> bytes;
  };
  auto captured = std::make_shared<Captured>();
  if (!capture) {
    const WavAudio& audio = *request.play;
    target = audio.samples.size() * sampleBytes;
    options.clientSignal = [&audio, clientDone, sampleBytes, padding, target](ULONG64 first, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 at = first + i;
        if (at >= target) {
          out[i] = 0;
          continue;
        }
        const auto v = static_cast<std::uint32_t>(audio.samples[at / sampleBytes]) << padding;
        out[i] = static_cast<BYTE>(v >> (8 * (at % sampleBytes)));
      }
      if (first + bytes >= target) *clientDone = true;
    };
  } else {
    target = request.recordFrames * blockAlign;
    options.checkCapturePattern = false;  // the device's signal is a tone, not the counter
    // The engine's pass hands over bytes; the tool's loop takes whole samples out.
    options.captureSink = [captured, recordedBytes, target](const BYTE* data, ULONG bytes) {
      std::lock_guard lock(captured->lock);
      const std::uint64_t have = recordedBytes->load();
      const auto keep = static_cast<ULONG>(std::min<std::uint64_t>(bytes, target > have ? target - have : 0));
      captured->bytes.insert(captured->bytes.end(), data, data + keep);
      recordedBytes->store(have + keep);
    };
  }
  // Moves whole frames of what was captured to the sink (or the outcome); false with the
  // reason when the sink fails.
  std::vector<std::int32_t> samples;
  auto drain = [&]() {
    if (!capture) return true;
    {
      std::lock_guard lock(captured->lock);
      const std::size_t whole = captured->bytes.size() - captured->bytes.size() % blockAlign;
      samples.clear();
      AppendSamples(captured->bytes.data(), static_cast<ULONG>(whole), sampleBytes, format.bits, samples);
      captured->bytes.erase(captured->bytes.begin(), captured->bytes.begin() + static_cast<std::ptrdiff_t>(whole));
    }
    if (samples.empty()) return true;
    outcome.recordedFrames += samples.size() / format.channels;
    if (!request.record) {
      outcome.recorded.insert(outcome.recorded.end(), samples.begin(), samples.end());
      return true;
    }
    return request.record(samples.data(), samples.size(), error);
  };

  std::unique_ptr<sim::engine::Stream> stream;
  if (NTSTATUS status = filter->OpenStream(pinId, PinFormat(format), options, &stream); !NT_SUCCESS(status)) {
    char text[160];
    std::snprintf(text, sizeof text, "the pin of %s refused %u Hz, %u ch, %u-bit (0x%08x)", Narrow(info.name).c_str(),
                  format.rate, format.channels, format.bits, static_cast<unsigned>(status));
    error = text;
    return false;
  }

  platform::verifier::TakeStreamFindings();  // only this stream's
  if (request.realTime) clk::SetMode(clk::Mode::RealTime);
  const double seconds = static_cast<double>(target) / blockAlign / format.rate;
  bool started = true;
  LONGLONG streamStart = clk::Now();
  {
    Progress progress(request.progress, seconds);
    if (NTSTATUS status = stream->Start(); !NT_SUCCESS(status)) {
      // The state the pin reached names the step it refused.
      KSSTATE reached = KSSTATE_STOP;
      stream->GetState(&reached);
      static const char* const kStates[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};
      const int refused = std::min(static_cast<int>(reached) + 1, 3);
      char text[160];
      std::snprintf(text, sizeof text, "the stream did not start: the driver refused %s (from %s): %s (0x%08x)",
                    kStates[refused], kStates[refused - 1], StatusName(status), static_cast<unsigned>(status));
      error = text;
      started = false;
    }
    const LONGLONG start = clk::Now();
    streamStart = start;
    LONGLONG drainSince = 0, drained = 0;
    const std::uint64_t frames = target / blockAlign;
    while (started) {
      if (request.stop && request.stop->load()) {
        outcome.stoppedBy = request.stop->load();
        break;
      }
      const LONGLONG before = clk::Now();
      clk::SleepFor(kStep);
      if (request.realTime) {
        // A step that wakes more than a millisecond past its time missed its deadline.
        auto& dl = outcome.deadlines;
        dl.measured = true;
        ++dl.steps;
        const double lateMs = static_cast<double>(clk::Now() - before - kStep) / clk::kTicksPerMillisecond;
        if (lateMs > 1.0) {
          ++dl.late;
          dl.totalLateMs += lateMs;
          dl.worstMs = std::max(dl.worstMs, lateMs);
        }
      }
      Observe(sim, d, capture);
      if (!drain()) {
        outcome.failure = error;
        outcome.sinkFailed = true;
        break;
      }
      const double done = static_cast<double>(clk::Now() - start) / clk::kTicksPerSecond;
      progress.Show(done);
      bool finished = false;
      if (capture) {
        finished = recordedBytes->load() >= target;
      } else if (*clientDone && stream->BytesPlayed() >= target) {
        // The engine has handed everything over; the device still plays its FIFO. A few
        // steps more let leading frames of silence, if any, through as well.
        if (!drainSince) drainSince = clk::Now();
        if (d.render.consumed_frames >= frames && !drained) drained = clk::Now();
        finished = (drained && clk::Now() - drained >= kDrainExtra) || clk::Now() - drainSince > kDrainLimit;
      }
      // A stream that moves no data stops at twice its length and two seconds more.
      if (!finished && done > 2 * seconds + 2) {
        outcome.failure = "the stream stopped moving after " + std::to_string(stream->BytesPlayed() / blockAlign) +
                          " frames";
        break;
      }
      if (finished) break;
    }
    outcome.seconds = static_cast<double>(clk::Now() - start) / clk::kTicksPerSecond;
    // The device forgets what its endpoint received once the driver leaves the alternate
    // setting: take it while the stream still runs.
    if (!capture) d.received = sim.received_samples(d.dataEndpoint);
    stream->Stop();
    if (started && !outcome.sinkFailed && !drain()) {
      outcome.failure = error;
      outcome.sinkFailed = true;
    }
  }
  stream.reset();
  filter.reset();
  if (request.realTime) clk::SetMode(clk::Mode::Virtual);
  clk::Settle();
  for (const auto& f : platform::verifier::TakeStreamFindings()) {
    if (f.source.rfind("device", 0) == 0) ++d.glitches;
    // The device's detail repeats its kind ("underrun: 48 frames from ...").
    std::string detail = f.detail;
    if (detail.rfind(f.kind + ": ", 0) == 0) detail.erase(0, f.kind.size() + 2);
    outcome.findings.push_back(
        {f.source, f.kind, static_cast<double>(f.time - streamStart) / clk::kTicksPerSecond, detail});
  }
  return started;
}

}  // namespace tools
