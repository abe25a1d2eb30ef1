#include "stream_session.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "portcls/ksmedia.h"
#include "sim/engine/engine.h"

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

// The wave filter of an endpoint: named from its endpoint type and direction ("HPOut00",
// "MicIn00"); the n-th endpoint of one type has the n-th such name.
bool FindWaveFilter(const Endpoint& endpoint, platform::ks::SubdeviceInfo& out, std::string& error) {
  std::string base = endpoint.name;
  std::size_t nth = 0;
  while (!base.empty() && base.back() >= '0' && base.back() <= '9') base.pop_back();
  if (base.size() != endpoint.name.size()) nth = std::stoul(endpoint.name.substr(base.size())) - 1;
  const std::string prefix = base + (endpoint.capture ? "In" : "Out");
  std::vector<platform::ks::SubdeviceInfo> matches;
  for (const auto& info : sim::engine::EnumerateFilters(endpoint.capture ? &KSCATEGORY_CAPTURE : &KSCATEGORY_RENDER))
    if (Narrow(info.name).rfind(prefix, 0) == 0) matches.push_back(info);
  if (nth >= matches.size()) {
    error = "the audio engine sees no wave filter " + prefix + "..: the driver registered none for " + endpoint.name;
    return false;
  }
  out = matches[nth];
  return true;
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
  w.Format.nBlockAlign = static_cast<WORD>(f.channels * f.bits / 8);
  w.Format.nAvgBytesPerSec = f.rate * w.Format.nBlockAlign;
  w.Format.wBitsPerSample = f.bits;
  w.Format.cbSize = 22;
  w.Samples.wValidBitsPerSample = f.bits;
  w.dwChannelMask = f.channelMask;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  k.DataFormat.SampleSize = w.Format.nBlockAlign;
  std::vector<BYTE> bytes(sizeof k);
  std::memcpy(bytes.data(), &k, sizeof k);
  return bytes;
}

// Little-endian samples of `bytes` bytes each, sign-extended.
void AppendSamples(const BYTE* data, ULONG length, unsigned bytes, std::vector<std::int32_t>& out) {
  for (ULONG at = 0; at + bytes <= length; at += bytes) {
    std::uint32_t v = 0;
    for (unsigned b = 0; b < bytes; ++b) v |= std::uint32_t(data[at + b]) << (8 * b);
    const unsigned spare = 32 - 8 * bytes;
    out.push_back(static_cast<std::int32_t>(v << spare) >> spare);
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
  if (capture) {
    d.producedFrames = sim.produced_frames(d.dataEndpoint);
    return;
  }
  d.render = sim.render_stats(d.dataEndpoint);
  if (d.feedbackEndpoint) d.feedback.push_back(sim.feedback_value(d.feedbackEndpoint));
}

}  // namespace

bool OpenEndpointStream(const Endpoint& endpoint, const PcmFormat& format, sim::engine::StreamOptions options,
                        std::unique_ptr<sim::engine::FilterClient>& filter, std::unique_ptr<sim::engine::Stream>& stream,
                        std::string& error) {
  platform::ks::SubdeviceInfo info;
  ULONG pinId = 0;
  if (!FindWaveFilter(endpoint, info, error)) return false;
  if (NTSTATUS status = sim::engine::FilterClient::Open(info, &filter); !NT_SUCCESS(status)) {
    error = "the audio engine cannot open " + Narrow(info.name);
    return false;
  }
  if (!FindStreamingPin(*filter, endpoint.capture, pinId, error)) return false;
  if (NTSTATUS status = filter->OpenStream(pinId, PinFormat(format), std::move(options), &stream); !NT_SUCCESS(status)) {
    char text[160];
    std::snprintf(text, sizeof text, "the pin of %s refused %u Hz, %u ch, %u-bit (0x%08x)", Narrow(info.name).c_str(),
                  format.rate, format.channels, format.bits, static_cast<unsigned>(status));
    error = text;
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

  const unsigned sampleBytes = format.bits / 8;
  const ULONG blockAlign = format.channels * sampleBytes;
  // The client's audio: render reads the file by byte offset (silence past its end),
  // capture keeps what it reads up to the length asked for.
  sim::engine::StreamOptions options;
  std::uint64_t target = 0;  // bytes of the client's audio
  // Set and read on different threads: the engine's pass and the tool's loop.
  auto clientDone = std::make_shared<std::atomic<bool>>(false);
  auto recordedBytes = std::make_shared<std::atomic<std::uint64_t>>(0);
  if (!capture) {
    const WavAudio& audio = *request.play;
    target = audio.samples.size() * sampleBytes;
    options.clientSignal = [&audio, clientDone, sampleBytes, target](ULONG64 first, BYTE* out, ULONG bytes) {
      for (ULONG i = 0; i < bytes; ++i) {
        const ULONG64 at = first + i;
        if (at >= target) {
          out[i] = 0;
          continue;
        }
        const auto v = static_cast<std::uint32_t>(audio.samples[at / sampleBytes]);
        out[i] = static_cast<BYTE>(v >> (8 * (at % sampleBytes)));
      }
      if (first + bytes >= target) *clientDone = true;
    };
  } else {
    target = request.recordFrames * blockAlign;
    outcome.recorded.reserve(static_cast<std::size_t>(request.recordFrames * format.channels));
    auto pending = std::make_shared<std::vector<BYTE>>();
    options.checkCapturePattern = false;  // the device's signal is a tone, not the counter
    options.captureSink = [&outcome, pending, recordedBytes, sampleBytes, target](const BYTE* data, ULONG bytes) {
      // Whole samples only; a read may end inside one.
      pending->insert(pending->end(), data, data + bytes);
      const std::uint64_t have = outcome.recorded.size() * sampleBytes;
      const auto usable = static_cast<ULONG>(pending->size() - pending->size() % sampleBytes);
      const auto keep = static_cast<ULONG>(std::min<std::uint64_t>(usable, target > have ? target - have : 0));
      AppendSamples(pending->data(), keep, sampleBytes, outcome.recorded);
      pending->erase(pending->begin(), pending->begin() + usable);
      recordedBytes->store(have + keep);
    };
  }

  std::unique_ptr<sim::engine::FilterClient> filter;
  std::unique_ptr<sim::engine::Stream> stream;
  if (!OpenEndpointStream(endpoint, format, std::move(options), filter, stream, error)) return false;

  platform::verifier::TakeStreamFindings();  // only this stream's
  if (request.realTime) clk::SetMode(clk::Mode::RealTime);
  const double seconds = static_cast<double>(target) / blockAlign / format.rate;
  bool ok = true;
  {
    Progress progress(request.progress, seconds);
    if (NTSTATUS status = stream->Start(); !NT_SUCCESS(status)) {
      // The engine's finding names the request that failed ("state 3: 0xc0000001").
      std::string step;
      for (const auto& f : stream->Findings())
        if (f.issue == sim::engine::Issue::RequestFailed) step = f.detail;
      char text[160];
      std::snprintf(text, sizeof text, "the stream did not start: %s (0x%08x)",
                    step.empty() ? "the pin refused a state" : step.c_str(), static_cast<unsigned>(status));
      error = text;
      ok = false;
    }
    const LONGLONG start = clk::Now();
    LONGLONG drainSince = 0, drained = 0;
    const std::uint64_t frames = target / blockAlign;
    while (ok) {
      clk::SleepFor(kStep);
      Observe(sim, d, capture);
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
        error = "the stream stopped moving after " + std::to_string(stream->BytesPlayed() / blockAlign) + " frames";
        ok = false;
      }
      if (finished) break;
    }
    outcome.seconds = static_cast<double>(clk::Now() - start) / clk::kTicksPerSecond;
    // The device forgets what its endpoint received once the driver leaves the alternate
    // setting: take it while the stream still runs.
    if (!capture) d.received = sim.received_samples(d.dataEndpoint);
    stream->Stop();
  }
  stream.reset();
  filter.reset();
  if (request.realTime) clk::SetMode(clk::Mode::Virtual);
  clk::Settle();
  for (const auto& f : platform::verifier::TakeStreamFindings()) {
    if (f.source.rfind("device", 0) == 0) ++d.glitches;
    outcome.findings.push_back(f.source + ": " + f.kind + ": " + f.detail);
  }
  return ok;
}

}  // namespace tools
