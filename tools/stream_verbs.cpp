// uactool play, record and demo: streams through the simulated audio engine, in the
// habit of aplay and arecord, each followed by the device's report.
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <string>

#include "device_report.h"
#include "endpoints.h"
#include "nodes.h"
#include "stream_session.h"
#include "tool_common.h"
#include "verbs.h"
#include "wav_file.h"

namespace tools {
namespace {

// SIGINT or SIGTERM while a stream verb runs: the stream stops through the driver's stop
// path, the report so far is printed and a recording is finalised. A second signal a
// second or more after the first ends the tool at once; one right after it (a signal sent
// to the process and to its group, as timeout does) is the same request.
std::atomic<int> gStopSignal{0};
std::atomic<long long> gStopTime{0};  // of the first signal, in nanoseconds

long long MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

extern "C" void OnStopSignal(int signal) {
  int none = 0;
  if (gStopSignal.compare_exchange_strong(none, signal)) {
    gStopTime.store(MonotonicNs());
  } else if (MonotonicNs() - gStopTime.load() >= 1000000000LL) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

void CatchStopSignals() {
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The signal's exit code, or `code` when none came; the stop is said on stderr.
int SignalExit(const char* verb, int code) {
  const int signal = gStopSignal.load();
  if (!signal) return code;
  Error("%s: stopped by %s", verb, signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal");
  return kExitSignalBase + signal;
}

constexpr char kStreamOptions[] =
    "  --device FILE       a device file (lsusb -v text or raw descriptor hex) instead of the\n"
    "                      built-in default device\n"
    "  --endpoint NAME     the endpoint by its name as list -l shows it (HP, Mic, SPK,\n"
    "                      LineOut, ...) or its streaming interface number; default the first\n"
    "  --realtime          run on the real clock instead of virtual time\n"
    "  --no-progress       no progress bar (it shows on a terminal for runs longer than a\n"
    "                      second)\n"
    "  --clock-ppm PPM     the device's sample clock off nominal by PPM parts per million\n"
    "  --state FILE.reg    the devices' states (default uactool.reg; read only: uactool set\n"
    "                      writes them)\n"
    "  --no-model-string   the device file's device answers no model string\n";

const char kPlayHelp[] =
    "usage: uactool play [OPTIONS] FILE.wav\n"
    "\n"
    "Starts the driver on the device, opens the render endpoint's wave filter through the\n"
    "simulated audio engine in the file's format (rate, channels and sample size must be one\n"
    "the endpoint offers; nothing is converted), plays the file and prints the device's\n"
    "report: the frames it received and whether they are the file's sample for sample\n"
    "(frame count and CRC-32 of the PCM data), gaps, its clock drift and the feedback values\n"
    "it sent, and every finding of the engine's checks. Ctrl-C (SIGINT) or SIGTERM stops\n"
    "the stream and prints the report so far.\n"
    "\n";

const char kRecordHelp[] =
    "usage: uactool record [OPTIONS] [--seconds S] [--rate HZ] [--channels N] [--bits B] FILE.wav\n"
    "\n"
    "Starts the driver on the device, records S seconds (default 1) from the capture\n"
    "endpoint through the simulated audio engine into a WAV file and prints the device's\n"
    "report: the frames it produced and recorded with their CRC-32, whether they are the\n"
    "device's signal sample for sample, the tone found on channel 0, gaps and the engine's\n"
    "findings. The format is the endpoint's first (48 kHz when offered) unless --rate,\n"
    "--channels or --bits choose another it offers.\n"
    "\n"
    "The file is opened before the stream starts and written as the audio arrives; Ctrl-C\n"
    "(SIGINT) or SIGTERM stops the stream, finalises the file with what was recorded and\n"
    "prints the report so far. FILE \"-\" writes the WAV to standard output (the report then\n"
    "goes to standard error); a pipe cannot be rewound, so its header keeps the lengths of\n"
    "a stream of unknown length (0xFFFFFFFF) and is never finalised.\n"
    "\n";

const char kDemoHelp[] =
    "usage: uactool demo [--realtime] [--no-progress] [--clock-ppm PPM]\n"
    "\n"
    "The default scenario on the built-in default device (a UAC 2.0 headset): the driver\n"
    "starts, a generated two-second 440 Hz tone plays into its headphones, its microphone is\n"
    "recorded for a second, and the device's report of both streams is printed.\n"
    "\n";

const char kExitCodes[] =
    "\n"
    "exit codes: 0 clean, 1 the driver refused the device, 2 usage, input or output error\n"
    "(device file, WAV file, endpoint, format), 3 verifier report, 4 the stream ran with\n"
    "findings, 5 the stream never started, 130 and 143 stopped by SIGINT and SIGTERM\n";

struct Common {
  std::string device, state, endpoint;
  bool realTime = false, progress = true, modelString = true;
  double clockPpm = 0;
};

bool ParseCommon(const Arguments& args, const char* verb, Common& c) {
  c.device = args.Value("--device").value_or("");
  c.state = args.Value("--state").value_or(kDefaultStateFile);
  c.endpoint = args.Value("--endpoint").value_or("");
  c.realTime = args.Has("--realtime");
  c.progress = !args.Has("--no-progress");
  c.modelString = !args.Has("--no-model-string");
  if (auto ppm = args.Value("--clock-ppm")) {
    char* end = nullptr;
    c.clockPpm = std::strtod(ppm->c_str(), &end);
    if (ppm->empty() || *end || !std::isfinite(c.clockPpm) || std::fabs(c.clockPpm) > 1000) {
      Error("%s: --clock-ppm takes parts per million from -1000 to 1000, not '%s'", verb, ppm->c_str());
      return false;
    }
  }
  return true;
}

bool ParseCount(const Arguments& args, const char* name, const char* verb, unsigned long limit, unsigned long& value) {
  auto text = args.Value(name);
  if (!text) return true;
  char* end = nullptr;
  value = std::strtoul(text->c_str(), &end, 10);
  if (text->empty() || *end || (*text)[0] == '-' || value == 0 || value > limit) {
    Error("%s: %s takes a number from 1 to %lu, not '%s'", verb, name, limit, text->c_str());
    return false;
  }
  return true;
}

// Loads the device and its state, starts the driver; kExitOk or the code to leave with.
int Start(const Common& c, const char* verb, DriverHost& host) {
  return StartWithState(host, verb, c.device, c.modelString, c.state, true, c.clockPpm);
}

// The exit code of a stream that started: its failure (said on stderr) or its report's.
int StreamExit(const char* verb, const StreamOutcome& outcome, bool clean) {
  if (!outcome.failure.empty()) {
    Error("%s: %s", verb, outcome.failure.c_str());
    return outcome.sinkFailed ? kExitUsage : kExitStream;
  }
  return clean ? kExitOk : kExitStream;
}

// Plays `audio` on the started driver and prints the report; the exit code.
int Play(DriverHost& host, const Common& c, const char* verb, const WavAudio& audio, const std::string& what,
         const char* source = "the file") {
  std::string error;
  const std::vector<Endpoint> endpoints = ListEndpoints(host.hal());
  const Endpoint* endpoint = FindEndpoint(endpoints, false, c.endpoint, error);
  const PcmFormat* format = nullptr;
  if (endpoint && audio.floating)
    error = "unsupported format: " + what + " holds floating-point samples; " + endpoint->name + " plays " +
            DescribeFormats(*endpoint);
  else if (endpoint)
    format = FindFormat(*endpoint, audio.rate, audio.channels, audio.bits, error);
  if (!format) {
    Error("%s: %s", verb, error.c_str());
    return kExitUsage;
  }
  StreamRequest request{endpoint, *format, &audio, 0, c.realTime, c.progress, nullptr, &gStopSignal};
  StreamOutcome outcome;
  if (!RunStream(host, request, outcome, error)) {
    Error("%s: %s", verb, error.c_str());
    return kExitNoStream;
  }
  ReportInput report{endpoint, *format, &audio, source, nullptr, c.clockPpm, &outcome};
  return StreamExit(verb, outcome, PrintReport(stdout, report));
}

// Records `seconds` on the started driver into `path` (none: the recording is only
// checked) and prints the report; the exit code.
int Record(DriverHost& host, const Common& c, const char* verb, unsigned long rate, unsigned long channels,
           unsigned long bits, double seconds, const std::string& path) {
  std::string error;
  const std::vector<Endpoint> endpoints = ListEndpoints(host.hal());
  const Endpoint* endpoint = FindEndpoint(endpoints, true, c.endpoint, error);
  const PcmFormat* format = endpoint ? FindFormat(*endpoint, static_cast<std::uint32_t>(rate),
                                                  static_cast<std::uint16_t>(channels),
                                                  static_cast<std::uint16_t>(bits), error)
                                     : nullptr;
  if (!format) {
    Error("%s: %s", verb, error.c_str());
    return kExitUsage;
  }
  const auto frames = static_cast<std::uint64_t>(std::llround(seconds * format->rate));
  if (frames == 0) {
    Error("%s: --seconds %g is less than one frame at %u Hz", verb, seconds, format->rate);
    return kExitUsage;
  }
  WavWriter writer;
  if (!path.empty() && !writer.Open(path, format->rate, format->channels, format->bits, error)) {
    Error("%s: %s", verb, error.c_str());
    return kExitUsage;
  }
  CaptureCheck check(*format, kCaptureSignal);
  StreamRequest request{endpoint, *format, nullptr, frames, c.realTime, c.progress,
                        [&](const std::int32_t* samples, std::size_t count, std::string& why) {
                          check.Feed(samples, count);
                          return path.empty() || writer.Write(samples, count, why);
                        },
                        &gStopSignal};
  StreamOutcome outcome;
  const bool started = RunStream(host, request, outcome, error);
  check.Finish();
  std::string closeError;
  const bool closed = path.empty() || writer.Close(closeError);
  if (!started) {
    Error("%s: %s", verb, error.c_str());
    return kExitNoStream;
  }
  // With the WAV on standard output, the report goes to standard error.
  ReportInput report{endpoint, *format, nullptr, "", &check, c.clockPpm, &outcome};
  int code = StreamExit(verb, outcome, PrintReport(path == "-" ? stderr : stdout, report));
  if (!closed) {
    Error("%s: %s", verb, closeError.c_str());
    code = kExitUsage;
  }
  return code;
}

bool Parse(int argc, char** argv, std::vector<std::string> valued, const char* verb, const char* help, Arguments& args,
           int& exitCode) {
  valued.insert(valued.end(), {"--device", "--endpoint", "--clock-ppm", "--state"});
  std::string error;
  if (!ParseArguments(argc, argv, valued, {"--realtime", "--no-progress", "--no-model-string"}, args, error)) {
    Error("%s: %s (see uactool %s --help)", verb, error.c_str(), verb);
    exitCode = kExitUsage;
    return false;
  }
  if (args.help) {
    std::fputs(help, stdout);
    if (std::string(verb) != "demo") std::fputs(kStreamOptions, stdout);
    std::fputs(kExitCodes, stdout);
    exitCode = kExitOk;
    return false;
  }
  return true;
}

}  // namespace

int RunPlay(int argc, char** argv) {
  Arguments args;
  int exitCode = kExitOk;
  Common c;
  if (!Parse(argc, argv, {}, "play", kPlayHelp, args, exitCode)) return exitCode;
  if (!ParseCommon(args, "play", c)) return kExitUsage;
  if (args.operands.size() != 1) {
    Error("play: needs one WAV file (see uactool play --help)");
    return kExitUsage;
  }
  CatchStopSignals();
  WavAudio audio;
  std::string error;
  if (!ReadWav(args.operands[0], audio, error)) {
    Error("play: %s", error.c_str());
    return kExitUsage;
  }
  for (const std::string& warning : audio.warnings) Warn(warning);
  DriverHost host;
  if (int code = Start(c, "play", host); code != kExitOk) return Finish(host, code);
  const int code = Play(host, c, "play", audio, args.operands[0]);
  return SignalExit("play", Finish(host, code));
}

int RunRecord(int argc, char** argv) {
  Arguments args;
  int exitCode = kExitOk;
  Common c;
  if (!Parse(argc, argv, {"--seconds", "--rate", "--channels", "--bits"}, "record", kRecordHelp, args, exitCode))
    return exitCode;
  if (!ParseCommon(args, "record", c)) return kExitUsage;
  if (args.operands.size() != 1) {
    Error("record: needs one WAV file to write, or - for standard output (see uactool record --help)");
    return kExitUsage;
  }
  double seconds = 1;
  if (auto text = args.Value("--seconds")) {
    char* end = nullptr;
    seconds = std::strtod(text->c_str(), &end);
    if (text->empty() || *end || !(seconds > 0) || seconds > 600) {
      Error("record: --seconds takes a length above 0 up to 600, not '%s'", text->c_str());
      return kExitUsage;
    }
  }
  unsigned long rate = 0, channels = 0, bits = 0;
  if (!ParseCount(args, "--rate", "record", 768000, rate) || !ParseCount(args, "--channels", "record", 64, channels) ||
      !ParseCount(args, "--bits", "record", 32, bits))
    return kExitUsage;
  const std::string& path = args.operands[0];
  if (path == "-") std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a write error
  CatchStopSignals();
  DriverHost host;
  if (int code = Start(c, "record", host); code != kExitOk) return Finish(host, code);
  const int code = Record(host, c, "record", rate, channels, bits, seconds, path);
  return SignalExit("record", Finish(host, code));
}

int RunDemo(int argc, char** argv) {
  Arguments args;
  int exitCode = kExitOk;
  Common c;
  if (!Parse(argc, argv, {}, "demo", kDemoHelp, args, exitCode)) return exitCode;
  if (!ParseCommon(args, "demo", c)) return kExitUsage;
  c.state.clear();  // the demo starts from the device's own values
  if (!args.operands.empty() || !c.device.empty() || !c.endpoint.empty()) {
    Error("demo: runs the built-in default device and takes no files (see uactool demo --help)");
    return kExitUsage;
  }
  // Two seconds of a 440 Hz tone at -6 dBFS, 48 kHz stereo 16-bit.
  WavAudio tone;
  tone.rate = 48000;
  tone.channels = 2;
  tone.bits = 16;
  tone.samples.resize(2 * 2 * 48000);
  for (std::size_t f = 0; f < tone.samples.size() / 2; ++f) {
    const auto v = static_cast<std::int32_t>(std::lround(16384.0 * std::sin(2 * std::numbers::pi * 440.0 * f / 48000.0)));
    tone.samples[2 * f] = tone.samples[2 * f + 1] = v;
  }
  std::printf("uactool demo: the driver on the built-in default device (USB Audio Class 2.0 headset)\n\n");
  CatchStopSignals();
  DriverHost host;
  if (int code = Start(c, "demo", host); code != kExitOk) return Finish(host, code);
  std::printf("Endpoints\n");
  for (const Endpoint& e : ListEndpoints(host.hal()))
    std::printf("  %-4s %s, interface %u: %s\n", e.name.c_str(), e.capture ? "capture" : "render", e.interfaceNumber,
                DescribeFormats(e).c_str());
  std::printf("Controls\n");
  std::string line;
  for (const NamedNode& node : NameNodes(host.hal()))
    if (DescribeNodeValue(node, line)) std::printf("  %s\n", line.c_str());
  std::printf("\nPlaying a generated 440 Hz tone (2 s, 48000 Hz, 2 ch, 16-bit) into the headphones\n");
  int code = Play(host, c, "demo", tone, "the tone", "the tone");
  if (!gStopSignal.load()) {
    std::printf("\nRecording the microphone (1 s)\n");
    const int recordCode = Record(host, c, "demo", 48000, 0, 0, 1.0, "");
    if (code == kExitOk) code = recordCode;
  }
  return SignalExit("demo", Finish(host, code));
}

}  // namespace tools
