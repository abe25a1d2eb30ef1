// uactool play, record and demo: streams through the simulated audio engine, in the
// habit of aplay and arecord, each followed by the device's report.
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// A stream that never ran leaves the verb with kExitStream and nothing to write.
constexpr int kExitNoStream = -kExitStream;

constexpr char kStreamOptions[] =
    "  --device FILE       a device file (lsusb -v text or raw descriptor hex) instead of the\n"
    "                      built-in default device\n"
    "  --endpoint NAME     the endpoint by its type name as get and describe show it (HP, Mic,\n"
    "                      SPK, ...) or its streaming interface number; default the first\n"
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
    "it sent, and every finding of the engine's checks.\n"
    "\n";

const char kRecordHelp[] =
    "usage: uactool record [OPTIONS] [--seconds S] [--rate HZ] [--channels N] [--bits B] FILE.wav\n"
    "\n"
    "Starts the driver on the device, records S seconds (default 1) from the capture\n"
    "endpoint through the simulated audio engine into a WAV file and prints the device's\n"
    "report: the frames it produced and recorded, the tone found on channel 0, gaps and the\n"
    "engine's findings. The format is the endpoint's first (48 kHz when offered) unless\n"
    "--rate, --channels or --bits choose another it offers.\n"
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
    "exit codes: 0 clean, 1 the driver refused the device, 2 usage or input error (device\n"
    "file, WAV file, endpoint, format), 3 verifier report, 4 the stream ran with findings\n";

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

// Plays `audio` on the started driver and prints the report; the exit code.
int Play(DriverHost& host, const Common& c, const char* verb, const WavAudio& audio, const std::string& what) {
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
  StreamRequest request{endpoint, *format, &audio, 0, c.realTime, c.progress};
  StreamOutcome outcome;
  if (!RunStream(host, request, outcome, error)) {
    Error("%s: %s", verb, error.c_str());
    return kExitNoStream;
  }
  ReportInput report{endpoint, *format, &audio, nullptr, c.clockPpm, &outcome};
  return PrintReport(stdout, report) ? kExitOk : kExitStream;
}

// Records `seconds` on the started driver into `out` and prints the report.
int Record(DriverHost& host, const Common& c, const char* verb, unsigned long rate, unsigned long channels,
           unsigned long bits, double seconds, WavAudio& out) {
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
  StreamRequest request{endpoint, *format, nullptr, static_cast<std::uint64_t>(std::llround(seconds * format->rate)),
                        c.realTime, c.progress};
  StreamOutcome outcome;
  if (!RunStream(host, request, outcome, error)) {
    Error("%s: %s", verb, error.c_str());
    return kExitNoStream;
  }
  out.rate = format->rate;
  out.channels = format->channels;
  out.bits = format->bits;
  out.samples = std::move(outcome.recorded);
  ReportInput report{endpoint, *format, nullptr, &out, c.clockPpm, &outcome};
  return PrintReport(stdout, report) ? kExitOk : kExitStream;
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
  WavAudio audio;
  std::string error;
  if (!ReadWav(args.operands[0], audio, error)) {
    Error("play: %s", error.c_str());
    return kExitUsage;
  }
  DriverHost host;
  if (int code = Start(c, "play", host); code != kExitOk) return Finish(host, code);
  const int code = Play(host, c, "play", audio, args.operands[0]);
  return Finish(host, code == kExitNoStream ? kExitStream : code);
}

int RunRecord(int argc, char** argv) {
  Arguments args;
  int exitCode = kExitOk;
  Common c;
  if (!Parse(argc, argv, {"--seconds", "--rate", "--channels", "--bits"}, "record", kRecordHelp, args, exitCode))
    return exitCode;
  if (!ParseCommon(args, "record", c)) return kExitUsage;
  if (args.operands.size() != 1) {
    Error("record: needs one WAV file to write (see uactool record --help)");
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
  DriverHost host;
  if (int code = Start(c, "record", host); code != kExitOk) return Finish(host, code);
  WavAudio recorded;
  int code = Record(host, c, "record", rate, channels, bits, seconds, recorded);
  std::string error;
  if (code == kExitNoStream) return Finish(host, kExitStream);
  if (code != kExitOk && code != kExitStream) return Finish(host, code);  // nothing recorded
  if (!WriteWav(args.operands[0], recorded, error)) {
    Error("record: %s", error.c_str());
    code = kExitUsage;
  }
  return Finish(host, code);
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
  int code = Play(host, c, "demo", tone, "the tone");
  std::printf("\nRecording the microphone (1 s)\n");
  WavAudio recorded;
  const int recordCode = Record(host, c, "demo", 48000, 0, 0, 1.0, recorded);
  if (code == kExitOk) code = recordCode;
  return Finish(host, code == kExitNoStream ? kExitStream : code);
}

}  // namespace tools
