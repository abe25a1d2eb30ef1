// uactool: the driver against a simulated USB audio device, as a user runs it.
//
//   uactool describe [FILE]          what the driver builds from a device
//   uactool list                     what the audio engine sees: filters, pins, nodes
//   uactool get / set NODE [VALUE]   control nodes, kept between runs in a .reg file
//   uactool play FILE.wav            a WAV file into a render endpoint, with the device's report
//   uactool record FILE.wav          a capture endpoint into a WAV file
//   uactool demo                     the default scenario
//
// Every verb starts the built-in default device (a UAC 2.0 headset) unless a device file
// is named, and answers --help. Errors are one line on stderr with a non-zero exit code.
#include <cstdio>
#include <cstring>

#include "tool_common.h"
#include "verbs.h"

namespace {

struct Verb {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

const Verb kVerbs[] = {
    {"describe", tools::RunDescribe, "print what the driver builds from a device, or why it refuses it"},
    {"list", tools::RunList, "print what the audio engine sees: filters, pins with formats, nodes with values"},
    {"get", tools::RunGet, "print control node values (volume in dB, mute, selector)"},
    {"set", tools::RunSet, "set a control node; the value is kept in a .reg file for the next run"},
    {"play", tools::RunPlay, "play a WAV file into a render endpoint and print the device's report"},
    {"record", tools::RunRecord, "record a capture endpoint into a WAV file and print the device's report"},
    {"demo", tools::RunDemo, "play a tone into the default device, record its microphone, print the report"},
};

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: uactool VERB [OPTIONS] [ARGS]\n"
               "\n"
               "Starts the USB audio driver against a simulated device: the built-in default device (a\n"
               "USB Audio Class 2.0 headset: speaker and microphone, 44.1/48/96 kHz, mute and volume on\n"
               "every channel, asynchronous playback with feedback, status interrupts) or a device file\n"
               "given with --device (describe takes it as its argument).\n"
               "\n"
               "verbs:\n");
  for (const Verb& v : kVerbs) std::fprintf(out, "  %-9s %s\n", v.name, v.summary);
  std::fprintf(out,
               "\n"
               "uactool help VERB (or uactool VERB --help) describes each verb; uactool --version\n"
               "prints the version.\n"
               "exit codes: 0 done, 1 the driver refused the device, 2 usage, input or output error\n"
               "(device file, WAV file, node, value, format, state file), 3 verifier report, 4 stream\n"
               "findings, 5 the stream never started, 130/143 stopped by SIGINT/SIGTERM\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage(stderr);
    return tools::kExitUsage;
  }
  if (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V")) {
    std::printf("uactool %s\n", UACTOOL_VERSION);
    return tools::kExitOk;
  }
  if (!std::strcmp(argv[1], "help") && argc > 2) {
    // "uactool help VERB" is "uactool VERB --help".
    for (const Verb& v : kVerbs)
      if (!std::strcmp(argv[2], v.name)) {
        char help[] = "--help";
        char* args[] = {help};
        return v.run(1, args);
      }
    tools::Error("help: unknown verb '%s' (uactool --help lists the verbs)", argv[2]);
    return tools::kExitUsage;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    Usage(stdout);
    return tools::kExitOk;
  }
  for (const Verb& v : kVerbs)
    if (!std::strcmp(argv[1], v.name)) return v.run(argc - 2, argv + 2);
  tools::Error("unknown verb '%s' (uactool --help lists the verbs)", argv[1]);
  return tools::kExitUsage;
}
