#include "device_report.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace tools {
namespace {

// Hz of a feedback value as the class defines it: 16.16 samples per microframe at high
// speed, 10.14 samples per frame at full speed.
double FeedbackHz(std::uint32_t value, bool highSpeed) {
  return highSpeed ? value / 65536.0 * 8000.0 : (value & 0xFFFFFF) / 16384.0 * 1000.0;
}

// The first frame holding anything but zeros, or `frames`.
std::uint64_t FirstSound(const std::int32_t* samples, std::uint64_t frames, unsigned channels) {
  for (std::uint64_t f = 0; f < frames; ++f)
    for (unsigned c = 0; c < channels; ++c)
      if (samples[f * channels + c]) return f;
  return frames;
}

// The device's clock against the host's, from the frames it consumed or produced; the
// clock offset the run was given (--clock-ppm) beside it.
void PrintDrift(std::FILE* out, const ReportInput& in, const char* verb) {
  const DeviceObservation::Line& line = in.outcome->device.clock;
  const double slope = line.Slope();
  char given[48] = "";
  if (in.clockPpm != 0) std::snprintf(given, sizeof given, " (the device was set %+.1f ppm off)", in.clockPpm);
  if (slope <= 0 || line.last - line.first < 0.1) {
    std::fprintf(out, "  drift     not measured: the device %s frames for less than 0.1 s%s\n", verb, given);
    return;
  }
  double ppm = (slope / in.format.rate - 1.0) * 1e6;
  if (std::fabs(ppm) < 0.05) ppm = 0;  // no "-0.0"
  const auto& dl = in.outcome->deadlines;
  std::fprintf(out, "  drift     %+.1f ppm: the device %s %.1f frames/s against the host's clock over %.2f s%s%s\n",
               ppm, verb, slope, line.last - line.first, given,
               dl.measured && dl.late ? " (unreliable: the machine fell behind the real clock)" : "");
}

bool PrintRender(std::FILE* out, const ReportInput& in) {
  const DeviceObservation& d = in.outcome->device;
  const WavAudio& file = *in.played;
  const unsigned ch = in.format.channels;
  const std::uint64_t received = d.received.size() / ch;
  const std::uint64_t fileFrames = file.frames();
  const char* what = in.source;
  std::fprintf(out, "  frames    received %llu (%.3f s); %s holds %llu, crc32 0x%08x\n",
               static_cast<unsigned long long>(received), static_cast<double>(received) / in.format.rate, what,
               static_cast<unsigned long long>(fileFrames),
               PcmCrc32(file.samples.data(), file.samples.size(), in.format.bits));
  // Where the file's audio starts in what arrived: its first sounding frame lines up with
  // the first sounding frame received.
  const std::uint64_t fileStart = FirstSound(file.samples.data(), fileFrames, ch);
  const std::uint64_t receivedStart = FirstSound(d.received.data(), received, ch);
  bool clean = false;
  if (fileStart == fileFrames) {
    std::fprintf(out, "  data      %s is silent: nothing to compare\n", what);
    clean = received >= fileFrames;
  } else if (receivedStart == received || receivedStart < fileStart) {
    std::fprintf(out, "  data      %s's audio did not arrive\n", what);
  } else {
    const std::uint64_t offset = receivedStart - fileStart;
    const std::uint64_t available = received - offset;
    std::uint64_t same = 0;
    const std::uint64_t compare = std::min(available, fileFrames);
    while (same < compare &&
           std::equal(file.samples.begin() + static_cast<std::ptrdiff_t>(same * ch),
                      file.samples.begin() + static_cast<std::ptrdiff_t>((same + 1) * ch),
                      d.received.begin() + static_cast<std::ptrdiff_t>((offset + same) * ch)))
      ++same;
    const std::uint32_t crc = PcmCrc32(d.received.data() + offset * ch, static_cast<std::size_t>(same * ch), in.format.bits);
    if (same == fileFrames) {
      std::fprintf(out, "  data      %s's %llu frames arrived sample for sample (crc32 0x%08x), with %llu silent "
                   "frames before them and %llu after\n",
                   what, static_cast<unsigned long long>(same), crc, static_cast<unsigned long long>(offset),
                   static_cast<unsigned long long>(available - same));
      clean = true;
    } else if (same == available) {
      std::fprintf(out, "  data      only %llu of %s's %llu frames arrived (crc32 0x%08x of those)\n",
                   static_cast<unsigned long long>(same), what, static_cast<unsigned long long>(fileFrames), crc);
    } else {
      std::fprintf(out, "  data      %s's frames arrived up to frame %llu; frame %llu differs\n", what,
                   static_cast<unsigned long long>(same), static_cast<unsigned long long>(same));
    }
  }
  const auto& r = d.render;
  const bool gaps = r.underrun_frames || r.overflow_frames || r.misaligned_packets || d.glitches;
  std::fprintf(out, "  gaps      %s (%llu underrun frames, %llu overflow frames, %llu misaligned packets)\n",
               gaps ? "FOUND" : "none", static_cast<unsigned long long>(r.underrun_frames),
               static_cast<unsigned long long>(r.overflow_frames), static_cast<unsigned long long>(r.misaligned_packets));
  PrintDrift(out, in, "consumed");
  std::fprintf(out, "  fifo      %lld frames at the end\n", static_cast<long long>(r.fifo_frames));
  if (d.feedbackEndpoint) {
    if (d.feedback.empty()) {
      std::fprintf(out, "  feedback  IN 0x%02x: no value read\n", d.feedbackEndpoint);
    } else {
      const auto [lo, hi] = std::minmax_element(d.feedback.begin(), d.feedback.end());
      const double last = FeedbackHz(d.feedback.back(), d.highSpeed);
      double sum = 0;
      for (std::uint32_t v : d.feedback) sum += FeedbackHz(v, d.highSpeed);
      const double mean = sum / static_cast<double>(d.feedback.size());
      std::fprintf(out,
                   "  feedback  IN 0x%02x, %s: last 0x%08x = %.2f Hz (%+.1f ppm); %zu readings from %.2f to %.2f Hz, "
                   "mean %.2f Hz (%+.1f ppm)\n",
                   d.feedbackEndpoint, d.highSpeed ? "16.16 per microframe" : "10.14 per frame", d.feedback.back(), last,
                   (last / in.format.rate - 1.0) * 1e6, d.feedback.size(), FeedbackHz(*lo, d.highSpeed),
                   FeedbackHz(*hi, d.highSpeed), mean, (mean / in.format.rate - 1.0) * 1e6);
    }
  } else {
    std::fprintf(out, "  feedback  none (the endpoint has no feedback endpoint)\n");
  }
  return clean && !gaps;
}

bool PrintCapture(std::FILE* out, const ReportInput& in) {
  const DeviceObservation& d = in.outcome->device;
  const CaptureCheck& rec = *in.recorded;
  std::fprintf(out, "  frames    the device produced %llu; recorded %llu (%.3f s), crc32 0x%08x\n",
               static_cast<unsigned long long>(d.producedFrames), static_cast<unsigned long long>(rec.frames()),
               static_cast<double>(rec.frames()) / in.format.rate, rec.crc());
  bool clean = rec.frames() > 0;
  if (!rec.frames()) {
    std::fprintf(out, "  data      nothing was recorded\n");
  } else if (!rec.aligned()) {
    std::fprintf(out, "  data      the recording is not the device's signal\n");
    clean = false;
  } else {
    std::string silence;
    if (rec.silence())
      silence = " after " + std::to_string(rec.silence()) + " silent frame" + (rec.silence() == 1 ? "" : "s");
    if (rec.differs()) {
      std::fprintf(out, "  data      the device's signal%s for %llu frames; frame %llu differs\n", silence.c_str(),
                   static_cast<unsigned long long>(rec.matched()),
                   static_cast<unsigned long long>(rec.silence() + rec.matched()));
      clean = false;
    } else {
      std::fprintf(out, "  data      the device's signal sample for sample%s (%llu frames)\n", silence.c_str(),
                   static_cast<unsigned long long>(rec.matched()));
    }
  }
  const double hz = rec.ToneHz();
  if (hz > 0)
    std::fprintf(out, "  signal    a %.1f Hz tone on channel 0\n", hz);
  else
    std::fprintf(out, "  signal    no tone on channel 0\n");
  PrintDrift(out, in, "produced");
  std::fprintf(out, "  gaps      %s\n", d.glitches ? "FOUND" : "none");
  return clean && d.glitches == 0;
}

}  // namespace

// The device's frames, looked for this far into its signal when a recording is aligned.
constexpr std::uint64_t kAlignSearch = 192000;
// Frames of a recording's start that must match the signal to align it.
constexpr std::size_t kAlignFrames = 32;

CaptureCheck::CaptureCheck(const PcmFormat& format, const sim::device::SignalProfile& signal)
    : format_(format), signal_(signal) {}

// The sample the device produces for its frame `index` on `channel`, as it computes it.
std::int32_t CaptureCheck::Expected(std::uint64_t index, unsigned channel) const {
  if (signal_.kind != sim::device::SignalKind::Sine || signal_.frequency_hz.empty()) return 0;
  const double full = std::ldexp(1.0, format_.bits - 1) - 1.0;
  const double f = signal_.frequency_hz[std::min<std::size_t>(channel, signal_.frequency_hz.size() - 1)];
  return static_cast<std::int32_t>(std::llround(
      signal_.amplitude * full * std::sin(2.0 * std::numbers::pi * f * static_cast<double>(index) / format_.rate)));
}

void CaptureCheck::Feed(const std::int32_t* samples, std::size_t count) {
  const unsigned ch = format_.channels;
  crc_ = PcmCrc32(samples, count, format_.bits, crc_);
  for (std::size_t at = 0; at + ch <= count; at += ch) {
    const std::int32_t* frame = samples + at;
    const double s = frame[0];
    if (frames_ > 0 && previous_ < 0 && s >= 0) {
      const double t = static_cast<double>(frames_) - s / (s - previous_);
      if (firstCrossing_ < 0) firstCrossing_ = t;
      lastCrossing_ = t;
      ++crossings_;
    }
    previous_ = s;
    ++frames_;
    if (leading_ && std::all_of(frame, frame + ch, [](std::int32_t v) { return v == 0; })) {
      ++silence_;
      continue;
    }
    leading_ = false;
    if (!tried_) {
      head_.insert(head_.end(), frame, frame + ch);
      if (head_.size() >= kAlignFrames * ch) Align();
      continue;
    }
    Compare(frame);
  }
}

void CaptureCheck::Finish() {
  if (!tried_ && !head_.empty()) Align();
}

// The first device frame whose signal the recording's first sounding frames are; a
// recording that starts on the signal's own silent first frame is aligned there.
void CaptureCheck::Align() {
  tried_ = true;
  const unsigned ch = format_.channels;
  const std::uint64_t n = head_.size() / ch;
  for (std::uint64_t k = 0; k < kAlignSearch; ++k) {
    bool same = true;
    for (std::uint64_t i = 0; i < n && same; ++i)
      for (unsigned c = 0; c < ch && same; ++c) same = Expected(k + i, c) == head_[i * ch + c];
    if (!same) continue;
    aligned_ = true;
    next_ = k + n;
    matched_ = n;
    // Silent frames just before the match that the signal itself has there belong to it.
    for (std::uint64_t at = k; silence_ > 0 && at > 0; --at) {
      bool silent = true;
      for (unsigned c = 0; c < ch; ++c) silent &= Expected(at - 1, c) == 0;
      if (!silent) break;
      --silence_;
      ++matched_;
    }
    break;
  }
  head_.clear();
  head_.shrink_to_fit();
}

void CaptureCheck::Compare(const std::int32_t* frame) {
  if (!aligned_ || differs_) return;
  for (unsigned c = 0; c < format_.channels; ++c)
    if (Expected(next_, c) != frame[c]) {
      differs_ = true;
      return;
    }
  ++next_;
  ++matched_;
}

double CaptureCheck::ToneHz() const {
  return crossings_ > 1 && lastCrossing_ > firstCrossing_
             ? (crossings_ - 1) * format_.rate / (lastCrossing_ - firstCrossing_)
             : 0.0;
}

double ToneFrequency(const WavAudio& audio) {
  if (audio.channels == 0) return 0;
  PcmFormat format;
  format.rate = audio.rate;
  format.channels = audio.channels;
  format.bits = format.container = audio.bits;
  CaptureCheck check(format, sim::device::SignalProfile{});
  check.Feed(audio.samples.data(), audio.samples.size());
  return check.ToneHz();
}

bool PrintReport(std::FILE* out, const ReportInput& in) {
  const DeviceObservation& d = in.outcome->device;
  std::fprintf(out, "Device report: %s endpoint %s (interface %u, alternate %u, %s 0x%02x), %u Hz, %u ch, %u-bit\n",
               in.endpoint->capture ? "capture" : "render", in.endpoint->name.c_str(), in.endpoint->interfaceNumber,
               in.format.alternate, in.endpoint->capture ? "IN" : "OUT", d.dataEndpoint, in.format.rate,
               in.format.channels, in.format.bits);
  bool clean = in.endpoint->capture ? PrintCapture(out, in) : PrintRender(out, in);
  const auto& dl = in.outcome->deadlines;
  if (dl.measured && dl.late) {
    std::fprintf(out,
                 "  realtime  the machine did not keep up: %llu of %llu 10 ms steps woke late, by %.1f ms on average "
                 "and %.1f ms at worst; findings that follow from it are the machine's, not the driver's (without "
                 "--realtime the run is on virtual time)\n",
                 static_cast<unsigned long long>(dl.late), static_cast<unsigned long long>(dl.steps),
                 dl.totalLateMs / static_cast<double>(dl.late), dl.worstMs);
  } else if (dl.measured) {
    std::fprintf(out, "  realtime  kept up: %llu 10 ms steps, none late\n", static_cast<unsigned long long>(dl.steps));
  }
  const std::vector<Finding>& findings = in.outcome->findings;
  if (findings.empty()) {
    std::fprintf(out, "  engine    no findings\n");
  } else {
    // Repeats of one kind from one source fold into one line: the count, the first and
    // the last.
    struct Fold {
      const Finding* first;
      const Finding* last;
      std::size_t count;
    };
    std::vector<Fold> folds;
    for (const Finding& f : findings) {
      auto it = std::find_if(folds.begin(), folds.end(), [&](const Fold& g) {
        return g.first->source == f.source && g.first->kind == f.kind;
      });
      if (it == folds.end())
        folds.push_back({&f, &f, 1});
      else
        it->last = &f, ++it->count;
    }
    std::fprintf(out, "  engine    %zu finding%s\n", findings.size(), findings.size() == 1 ? "" : "s");
    for (const Fold& g : folds) {
      if (g.count == 1) {
        std::fprintf(out, "            %s: %s at %.3f s: %s\n", g.first->source.c_str(), g.first->kind.c_str(),
                     g.first->seconds, g.first->detail.c_str());
        continue;
      }
      std::fprintf(out, "            %s: %s, %zu times from %.3f s to %.3f s; first: %s; last: %s\n",
                   g.first->source.c_str(), g.first->kind.c_str(), g.count, g.first->seconds, g.last->seconds,
                   g.first->detail.c_str(), g.last->detail.c_str());
    }
    clean = false;
  }
  return clean;
}

}  // namespace tools
