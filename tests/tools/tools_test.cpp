// The tool's parts behind its verbs: argument parsing, WAV files and their checksum, the
// tone measure, the device report's verdicts, the node names and values and the
// endpoints' formats on the default device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>

#include "device_report.h"
#include "driver_host.h"
#include "endpoints.h"
#include "nodes.h"
#include "sim/device/default_device.h"
#include "adapter/node_interfaces.h"
#include "portcls/ksmedia.h"
#include "sim/engine/engine.h"
#include "stream_session.h"
#include "tool_common.h"
#include "wav_file.h"

namespace tools {
namespace {

namespace fs = std::filesystem;

fs::path TempPath(const std::string& name) {
  return fs::temp_directory_path() / ("uactool_test_" + std::to_string(::getpid()) + "_" + name);
}

// ---------------------------------------------------------------------------------------
// Arguments

TEST(Arguments, OptionsValuesOperandsAndErrors) {
  struct Case {
    std::vector<const char*> argv;
    bool ok;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;
    std::string error;
  };
  const Case cases[] = {
      {{"--device", "d.txt", "HP-volume", "-6"}, true, {{"--device", "d.txt"}}, {"HP-volume", "-6"}, ""},
      {{"--device=d.txt", "-inf"}, true, {{"--device", "d.txt"}}, {"-inf"}, ""},
      {{"-.5", "--flag"}, true, {{"--flag", ""}}, {"-.5"}, ""},
      {{"--", "--device"}, true, {}, {"--device"}, ""},
      {{"--device"}, false, {}, {}, "option --device needs a value"},
      {{"--loud"}, false, {}, {}, "unknown option --loud"},
      {{"--flag=1"}, false, {}, {}, "unknown option --flag"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const char* a : c.argv) argv.push_back(const_cast<char*>(a));
    Arguments args;
    std::string error;
    const bool ok = ParseArguments(static_cast<int>(argv.size()), argv.data(), {"--device"}, {"--flag"}, args, error);
    SCOPED_TRACE(c.argv.front());
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(error, c.error);
    if (!ok) continue;
    EXPECT_EQ(args.options, c.options);
    EXPECT_EQ(args.operands, c.operands);
  }
  Arguments help;
  std::string error;
  char h[] = "-h";
  char* argv[] = {h};
  ASSERT_TRUE(ParseArguments(1, argv, {}, {}, help, error));
  EXPECT_TRUE(help.help);
}

// ---------------------------------------------------------------------------------------
// WAV files and the checksum

std::uint32_t BitwiseCrc32(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

TEST(PcmCrc32, IsTheIeeeCrcOfTheLittleEndianSamples) {
  // "12345678" as four 16-bit samples: the standard check value.
  const std::int32_t samples[] = {0x3231, 0x3433, 0x3635, 0x3837};
  EXPECT_EQ(PcmCrc32(samples, 4, 16), 0x9AE0DAAFu);
  // Negative samples, 16 and 24 bits, against a bitwise CRC of their bytes.
  std::mt19937 rng(5);
  for (unsigned bits : {16u, 24u}) {
    std::vector<std::int32_t> s(999);
    std::vector<std::uint8_t> bytes;
    const std::int32_t half = 1 << (bits - 1);
    for (auto& v : s) {
      v = static_cast<std::int32_t>(rng() % (2u * half)) - half;
      for (unsigned b = 0; b < bits / 8; ++b) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    }
    EXPECT_EQ(PcmCrc32(s.data(), s.size(), bits), BitwiseCrc32(bytes)) << bits;
  }
}

TEST(WavFile, RoundTripsEveryPcmSizeSampleForSample) {
  std::mt19937 rng(11);
  for (unsigned bits : {8u, 16u, 24u, 32u}) {
    WavAudio a;
    a.rate = 44100;
    a.channels = 3;
    a.bits = static_cast<std::uint16_t>(bits);
    a.samples.resize(3 * 501);
    const std::int64_t half = std::int64_t(1) << (bits - 1);
    for (auto& v : a.samples) v = static_cast<std::int32_t>(static_cast<std::int64_t>(rng() % (2 * half)) - half);
    const fs::path path = TempPath("rt" + std::to_string(bits) + ".wav");
    std::string error;
    ASSERT_TRUE(WriteWav(path.string(), a, error)) << error;
    WavAudio b;
    ASSERT_TRUE(ReadWav(path.string(), b, error)) << error;
    fs::remove(path);
    EXPECT_EQ(b.rate, a.rate);
    EXPECT_EQ(b.channels, a.channels);
    EXPECT_EQ(b.bits, a.bits);
    EXPECT_FALSE(b.floating);
    EXPECT_EQ(b.samples, a.samples) << bits;
  }
}

TEST(WavFile, UnreadableFilesSayWhy) {
  const fs::path text = TempPath("text.wav");
  std::ofstream(text) << "not a sound file\n";
  const fs::path empty = TempPath("empty.wav");
  {
    WavAudio none;
    none.rate = 48000;
    none.channels = 2;
    none.bits = 16;
    std::string error;
    ASSERT_TRUE(WriteWav(empty.string(), none, error)) << error;
  }
  struct Case {
    std::string path, message;
  } cases[] = {
      {TempPath("missing.wav").string(), "cannot open the file"},
      {fs::temp_directory_path().string(), "cannot open the file"},
      {text.string(), "not a sound file"},
      {empty.string(), "holds no audio"},
  };
  for (const Case& c : cases) {
    WavAudio a;
    std::string error;
    EXPECT_FALSE(ReadWav(c.path, a, error)) << c.path;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.rfind(c.path, 0), 0u) << error;  // names the file first
  }
  fs::remove(text);
  fs::remove(empty);
  WavAudio a;
  std::string error;
  a.bits = 12;
  a.channels = 1;
  a.rate = 8000;
  EXPECT_FALSE(WriteWav(TempPath("x.wav").string(), a, error));
}

// ---------------------------------------------------------------------------------------
// The tone measure: within 0.1% over a table of tones, rates and phases.

TEST(ToneFrequency, FindsTheToneOfASine) {
  for (double hz : {100.0, 440.0, 997.0, 1000.0, 5000.0})
    for (std::uint32_t rate : {44100u, 48000u, 96000u}) {
      WavAudio a;
      a.rate = rate;
      a.channels = 2;
      a.bits = 16;
      for (std::uint32_t f = 0; f < rate / 2; ++f) {
        const auto v = static_cast<std::int32_t>(std::lround(12000 * std::sin(2 * std::numbers::pi * hz * f / rate + 0.3)));
        a.samples.push_back(v);
        a.samples.push_back(0);
      }
      EXPECT_NEAR(ToneFrequency(a), hz, hz * 1e-3) << hz << " Hz at " << rate;
    }
  WavAudio silent;
  silent.rate = 48000;
  silent.channels = 1;
  silent.bits = 16;
  silent.samples.assign(4800, 0);
  EXPECT_EQ(ToneFrequency(silent), 0.0);
}

// ---------------------------------------------------------------------------------------
// The render report's verdict on what the device received, against the file.

std::string Report(const ReportInput& in, bool& clean) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  clean = PrintReport(out, in);
  std::fclose(out);
  const std::string report(text, size);
  std::free(text);
  return report;
}

TEST(DeviceReport, RenderVerdicts) {
  WavAudio file;
  file.rate = 48000;
  file.channels = 2;
  file.bits = 16;
  for (int f = 0; f < 1000; ++f) {
    file.samples.push_back(f + 1);
    file.samples.push_back(-(f + 1));
  }
  Endpoint endpoint;
  endpoint.name = "HP";
  PcmFormat format{48000, 2, 16, 16, 3, 1};
  auto received = [&](int leading, int frames, int trailing) {
    std::vector<std::int32_t> r(2 * leading, 0);
    r.insert(r.end(), file.samples.begin(), file.samples.begin() + 2 * frames);
    r.insert(r.end(), 2 * trailing, 0);
    return r;
  };
  struct Case {
    const char* name;
    std::vector<std::int32_t> received;
    std::uint64_t underruns;
    std::vector<Finding> findings;
    bool clean;
    const char* says;
  };
  std::vector<Case> cases = {
      {"exact", received(0, 1000, 480), 0, {}, true, "the file's 1000 frames arrived sample for sample"},
      {"after silence", received(96, 1000, 0), 0, {}, true, "with 96 silent frames before them and 0 after"},
      {"cut short", received(0, 600, 0), 0, {}, false, "only 600 of the file's 1000 frames arrived"},
      {"underrun", received(0, 1000, 10), 48, {}, false, "gaps      FOUND (48 underrun frames"},
      {"engine finding", received(0, 1000, 10), 0, {{"engine render stream", "underrun", 0.25, "x"}}, false,
       "1 finding\n            engine render stream: underrun at 0.250 s: x\n"},
      // Repeats of a kind from one source fold into one line with the count, first and last.
      {"folded", received(0, 1000, 10), 0,
       {{"device endpoint 0x01", "underrun", 0.1, "48 frames"}, {"engine render stream", "stall", 0.2, "s"},
        {"device endpoint 0x01", "underrun", 0.3, "12 frames"}, {"device endpoint 0x01", "underrun", 0.5, "6 frames"}},
       false,
       "4 findings\n            device endpoint 0x01: underrun, 3 times from 0.100 s to 0.500 s; first: 48 frames; "
       "last: 6 frames\n            engine render stream: stall at 0.200 s: s\n"},
      {"nothing", received(0, 0, 300), 0, {}, false, "the file's audio did not arrive"},
  };
  Case differs{"differs", received(0, 1000, 0), 0, {}, false, "up to frame 700; frame 700 differs"};
  differs.received[2 * 700 + 1] += 1;
  cases.push_back(differs);
  for (const Case& c : cases) {
    StreamOutcome outcome;
    outcome.device.dataEndpoint = 0x01;
    outcome.device.received = c.received;
    outcome.device.render.underrun_frames = c.underruns;
    outcome.findings = c.findings;
    ReportInput in{&endpoint, format, &file, "the file", nullptr, 0, &outcome};
    bool clean = false;
    const std::string report = Report(in, clean);
    EXPECT_EQ(clean, c.clean) << c.name << "\n" << report;
    EXPECT_NE(report.find(c.says), std::string::npos) << c.name << "\n" << report;
  }
}

// The drift is the slope of the frames the device consumed against the host's time: a
// device 250 ppm fast over a second of looks reads +250 ppm, whatever the frame count's
// start.
TEST(DeviceReport, DriftFromTheFramesTheDeviceConsumed) {
  DeviceObservation::Line line;
  for (int i = 0; i <= 100; ++i) {
    const double t = 3.0 + i * 0.01;
    line.Add(t, 1234 + std::floor((t - 3.0) * 48000 * (1 + 250e-6)));
  }
  EXPECT_NEAR((line.Slope() / 48000 - 1) * 1e6, 250, 2);
  DeviceObservation::Line one;
  one.Add(1, 100);
  EXPECT_EQ(one.Slope(), 0);
}

// Three frames of a 48 kHz mono 16-bit file, played to an endpoint "SPK".
struct ShortFile {
  ShortFile() {
    file.rate = 48000;
    file.channels = 1;
    file.bits = 16;
    file.samples = {1, 2, 3};
    endpoint.name = "SPK";
  }
  WavAudio file;
  Endpoint endpoint;
};

// On the real clock, a machine that misses the tool's deadlines is said once, with how
// late, instead of leaving the engine's findings to speak for it.
TEST(DeviceReport, RealTimeDeadlines) {
  ShortFile shortFile;
  const WavAudio& file = shortFile.file;
  const Endpoint& endpoint = shortFile.endpoint;
  StreamOutcome outcome;
  outcome.device.received = file.samples;
  outcome.deadlines = {true, 200, 37, 212.9, 37 * 4.0};
  for (int i = 0; i < 50; ++i) outcome.device.clock.Add(i * 0.01, i * 480.0);
  ReportInput in{&endpoint, PcmFormat{48000, 1, 16, 16, 4, 1}, &file, "the file", nullptr, 0, &outcome};
  bool clean = false;
  std::string report = Report(in, clean);
  EXPECT_NE(report.find("realtime  the machine did not keep up: 37 of 200 10 ms steps woke late, by 4.0 ms on average "
                        "and 212.9 ms at worst"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("(unreliable: the machine fell behind the real clock)"), std::string::npos) << report;
  outcome.deadlines = {true, 200, 0, 0, 0};
  report = Report(in, clean);
  EXPECT_NE(report.find("realtime  kept up: 200 10 ms steps, none late"), std::string::npos) << report;
  EXPECT_EQ(report.find("unreliable"), std::string::npos) << report;
}

TEST(DeviceReport, FeedbackValuesInHertzByBusSpeed) {
  ShortFile shortFile;
  const WavAudio& file = shortFile.file;
  const Endpoint& endpoint = shortFile.endpoint;
  struct Case {
    bool highSpeed;
    std::vector<std::uint32_t> values;
    const char* says;
  } cases[] = {
      {true, {0x00060000}, "16.16 per microframe: last 0x00060000 = 48000.00 Hz (+0.0 ppm)"},
      {true, {0x00060000, 0x00060010}, "= 48001.95 Hz (+40.7 ppm); 2 readings from 48000.00 to 48001.95 Hz, mean 48000.98 Hz (+20.3 ppm)"},
      {false, {0x000C0000}, "10.14 per frame: last 0x000c0000 = 48000.00 Hz"},
      {false, {0x000B0640}, "= 44097.66 Hz"},  // as sent: the 10.14 value cuts the low bits
      {false, {}, "no value read"},
  };
  for (const Case& c : cases) {
    StreamOutcome outcome;
    outcome.device.dataEndpoint = 0x01;
    outcome.device.feedbackEndpoint = 0x81;
    outcome.device.highSpeed = c.highSpeed;
    outcome.device.feedback = c.values;
    outcome.device.received = file.samples;
    ReportInput in{&endpoint, PcmFormat{48000, 1, 16, 16, 4, 1}, &file, "the file", nullptr, 0, &outcome};
    bool clean = false;
    const std::string report = Report(in, clean);
    EXPECT_NE(report.find(c.says), std::string::npos) << report;
  }
}

// ---------------------------------------------------------------------------------------
// Nodes and endpoints of the default device, through the driver.

class DefaultDevice : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(host_.Start(sim::device::default_device::Create()), STATUS_SUCCESS); }
  void TearDown() override {
    host_.Stop();
    EXPECT_TRUE(host_.reports().empty()) << host_.reports().front();
  }
  DriverHost host_;
};

TEST_F(DefaultDevice, NodesAreNamedByTheirEndpointAndKind) {
  const std::vector<NamedNode> nodes = NameNodes(host_.hal());
  std::vector<std::string> names;
  for (const NamedNode& n : nodes) names.push_back(n.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Clock-sample-rate", "HP-input-terminal", "HP-mute", "HP-volume",
                                             "HP-output-terminal", "Mic-input-terminal", "Mic-mute", "Mic-volume",
                                             "Mic-output-terminal"}));
  // The numbers are the topology filter's: its nodes in reverse entity order, without the
  // terminals (pins) and the sample-rate node.
  std::vector<long> numbers;
  for (const NamedNode& n : nodes) numbers.push_back(n.ksNode);
  EXPECT_EQ(numbers, (std::vector<long>{-1, -1, 3, 2, -1, -1, 1, 0, -1}));
  struct Case {
    const char* what;
    int id;  // -1: not found
    const char* error;
  } cases[] = {
      {"2", 3, ""},          {"hp-VOLUME", 3, ""},          {"Mic-mute", 6, ""},
      {"sample-rate", 0, ""}, {"volume", -1, "names 2 nodes: HP-volume Mic-volume"},
      {"42", -1, "no node 42"}, {"bass", -1, "no node 'bass'"},
  };
  for (const Case& c : cases) {
    std::string error;
    const NamedNode* n = FindNode(nodes, c.what, error);
    EXPECT_EQ(n ? static_cast<int>(n->id) : -1, c.id) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
  }
}

TEST_F(DefaultDevice, ValuesAreSetThroughTheDriverAndReadBack) {
  const std::vector<NamedNode> nodes = NameNodes(host_.hal());
  std::string error, line;
  auto node = [&](const char* name) { return FindNode(nodes, name, error); };
  struct Case {
    const char* node;
    const char* value;
    long channel;
    bool ok;
    const char* shows;  // in the node's line after the set, or in the error
  } cases[] = {
      {"HP-volume", "-6", -1, true, "0: -6.00 dB, 1: -6.00 dB"},
      {"HP-volume", "-12.5 dB", 1, true, "0: -6.00 dB, 1: -12.50 dB"},
      {"HP-volume", "-INF", 0, true, "0: -inf dB, 1: -12.50 dB"},
      {"HP-volume", "+1", -1, false, "1.00 dB is outside -60.00 dB .. 0.00 dB"},
      {"HP-volume", "-6x", -1, false, "takes a level in dB"},
      {"HP-volume", "-6", 2, false, "channel 2 is not one of the node's 2 channels"},
      {"HP-mute", "mute", -1, true, "0: on, 1: on"},
      {"HP-mute", "off", 0, true, "0: off, 1: on"},
      {"HP-mute", "2", -1, false, "takes on or off"},
      {"Mic-volume", "-60", -1, true, "0: -60.00 dB"},
      {"HP-output-terminal", "1", -1, false, "has no value to set"},
  };
  for (const Case& c : cases) {
    const NamedNode* n = node(c.node);
    ASSERT_NE(n, nullptr) << c.node;
    error.clear();
    const bool ok = SetNodeValue(*n, c.value, c.channel, error);
    EXPECT_EQ(ok, c.ok) << c.node << " " << c.value << ": " << error;
    const std::string said = ok ? (DescribeNodeValue(*n, line), line) : error;
    EXPECT_NE(said.find(c.shows), std::string::npos) << c.node << " " << c.value << ": " << said;
  }
  // The device holds what the driver sent: volume in 1/256 dB on each logical channel,
  // quantised to the control's 1 dB step (the node keeps the level asked for).
  auto* sim = host_.sim();
  EXPECT_EQ(sim->GetControl({false, 2, 2, 2, 0}), std::optional<std::int64_t>(-12 * 256));
  EXPECT_EQ(sim->GetControl({false, 2, 1, 1, 0}), std::optional<std::int64_t>(0));
  EXPECT_EQ(sim->GetControl({false, 2, 1, 2, 0}), std::optional<std::int64_t>(1));
}

TEST_F(DefaultDevice, EndpointsOfferTheirPcmFormats) {
  const std::vector<Endpoint> endpoints = ListEndpoints(host_.hal());
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[0].name, "HP");
  EXPECT_FALSE(endpoints[0].capture);
  EXPECT_EQ(endpoints[0].formats.size(), 6u);
  EXPECT_EQ(endpoints[1].name, "Mic");
  EXPECT_TRUE(endpoints[1].capture);
  EXPECT_EQ(endpoints[1].formats.size(), 3u);  // listed twice by the driver, once here
  EXPECT_EQ(DescribeFormats(endpoints[0]), "2 ch 16-bit or 2 ch 24-bit at 44100, 48000, 96000 Hz");
  struct Case {
    bool capture;
    const char* endpoint;
    std::uint32_t rate;
    std::uint16_t channels, bits;
    std::uint32_t wantRate;
    std::uint8_t wantAlt;
    const char* error;
  } cases[] = {
      {false, "", 0, 0, 0, 48000, 1, ""},
      {false, "hp", 96000, 2, 24, 96000, 2, ""},
      {false, "1", 44100, 2, 16, 44100, 1, ""},
      {true, "Mic", 0, 1, 16, 48000, 1, ""},
      {false, "", 48000, 1, 16, 0, 0, "unsupported format: 48000 Hz, 1 ch, 16-bit. HP plays"},
      {true, "", 32000, 0, 0, 0, 0, "unsupported format: 32000 Hz, any channels, any size. Mic records"},
      {false, "Mic", 0, 0, 0, 0, 0, "no render endpoint 'Mic'. the device has HP (render, interface 1)"},
  };
  for (const Case& c : cases) {
    std::string error;
    const Endpoint* e = FindEndpoint(endpoints, c.capture, c.endpoint, error);
    const PcmFormat* f = e ? FindFormat(*e, c.rate, c.channels, c.bits, error) : nullptr;
    for (char& ch : error)
      if (ch == ';') ch = '.';
    EXPECT_EQ(f ? f->rate : 0u, c.wantRate) << c.endpoint << " " << c.rate;
    EXPECT_EQ(f ? f->alternate : 0, c.wantAlt) << c.endpoint << " " << c.rate;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

// ---------------------------------------------------------------------------------------
// Every endpoint of every device file that builds plays and records each of its alternate
// settings, through the whole driver and the engine client, without a finding; the
// edited device has one endpoint type in both directions and 24 valid bits in 32-bit
// containers.

// Pseudo-random samples of the format's valid bits.
WavAudio Noise(const PcmFormat& f, std::uint64_t frames, unsigned seed) {
  WavAudio audio;
  audio.rate = f.rate;
  audio.channels = f.channels;
  audio.bits = f.bits;
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int32_t> value(-(1 << (f.bits - 2)), (1 << (f.bits - 2)) - 1);
  for (std::uint64_t i = 0; i < frames * f.channels; ++i) audio.samples.push_back(value(random));
  return audio;
}

TEST(EveryDevice, EveryEndpointPlaysAndRecordsEachAlternateSetting) {
  std::vector<fs::path> files{fs::path(UA_TOOL_TESTDATA) / "line-both-directions-24in32.txt"};
  for (const auto& entry : fs::directory_iterator(UA_DUMPS_DIR))
    if (entry.path().extension() == ".txt") files.push_back(entry.path());
  std::sort(files.begin() + 1, files.end());
  int streams = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    std::unique_ptr<sim::device::SimDevice> sim;
    std::string error;
    ASSERT_TRUE(LoadDevice(file.string(), true, sim, error)) << error;
    DriverHost host;
    if (!NT_SUCCESS(host.StartDriver(std::move(sim)))) continue;  // refused: describe's tests pin why
    const std::vector<Endpoint> endpoints = ListEndpoints(host.hal());
    for (const Endpoint& e : endpoints) {
      std::vector<std::uint8_t> alternates;
      for (const PcmFormat& f : e.formats)
        if (std::find(alternates.begin(), alternates.end(), f.alternate) == alternates.end())
          alternates.push_back(f.alternate);
      for (std::uint8_t alt : alternates) {
        const PcmFormat* format = nullptr;
        for (const PcmFormat& f : e.formats)
          if (f.alternate == alt && (!format || f.rate == 48000)) format = &f;
        SCOPED_TRACE(e.fullName + " alternate " + std::to_string(alt));
        const WavAudio noise = Noise(*format, format->rate / 5, alt);
        CaptureCheck check(*format, sim::device::SignalProfile{});
        StreamRequest request{&e, *format, e.capture ? nullptr : &noise, e.capture ? format->rate / 5 : 0u, false,
                              false, nullptr, nullptr};
        StreamOutcome outcome;
        const bool ran = RunStream(host, request, outcome, error);
        ASSERT_TRUE(ran) << error;
        check.Feed(outcome.recorded.data(), outcome.recorded.size());
        check.Finish();
        ReportInput in{&e, *format, e.capture ? nullptr : &noise, "the file", e.capture ? &check : nullptr, 0, &outcome};
        bool clean = false;
        const std::string report = Report(in, clean);
        EXPECT_TRUE(clean) << report;
        if (e.capture) {
          EXPECT_EQ(check.frames(), format->rate / 5) << report;
          EXPECT_EQ(check.crc(), PcmCrc32(outcome.recorded.data(), outcome.recorded.size(), format->bits));
          EXPECT_NE(report.find("the device's signal sample for sample"), std::string::npos) << report;
        }
        ++streams;
      }
    }
    host.Stop();
    EXPECT_TRUE(host.reports().empty()) << host.reports().front();
  }
  EXPECT_GE(streams, 30);
}

TEST(EveryDevice, OneTypeInBothDirectionsIsNamedPerDirection) {
  std::unique_ptr<sim::device::SimDevice> sim;
  std::string error;
  ASSERT_TRUE(LoadDevice((fs::path(UA_TOOL_TESTDATA) / "line-both-directions-24in32.txt").string(), true, sim, error));
  DriverHost host;
  ASSERT_EQ(host.StartDriver(std::move(sim)), STATUS_SUCCESS);
  const std::vector<Endpoint> endpoints = ListEndpoints(host.hal());
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[0].name, "Line");
  EXPECT_EQ(endpoints[0].fullName, "LineOut");
  EXPECT_EQ(endpoints[1].name, "Line");
  EXPECT_EQ(endpoints[1].fullName, "LineIn");
  EXPECT_EQ(DescribeFormats(endpoints[0]), "2 ch 24-bit (in 32) or 2 ch 16-bit at 44100, 48000 Hz");
  // A 24-bit request takes the 24-in-32 setting: the only one with 24 valid bits.
  const PcmFormat* f = FindFormat(endpoints[0], 48000, 2, 24, error);
  ASSERT_NE(f, nullptr) << error;
  EXPECT_EQ(f->container, 32);
  EXPECT_EQ(FindEndpoint(endpoints, true, "linein", error), &endpoints[1]);
  EXPECT_EQ(FindEndpoint(endpoints, false, "line", error), &endpoints[0]);
  std::vector<std::string> names;
  for (const NamedNode& n : NameNodes(host.hal())) names.push_back(n.name);
  EXPECT_NE(std::find(names.begin(), names.end(), "LineOut-volume"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "LineIn-volume"), names.end());
  // The monitor path (the input mixed into the output) is named by its input.
  EXPECT_NE(std::find(names.begin(), names.end(), "Line-monitor-volume"), names.end());
  // The node numbers are the topology filter's as the engine client reads them.
  const std::vector<NamedNode> nodes = NameNodes(host.hal());
  sim::engine::FilterDescription topology;
  for (const auto& info : sim::engine::EnumerateFilters(&KSCATEGORY_TOPOLOGY)) {
    std::unique_ptr<sim::engine::FilterClient> client;
    ASSERT_EQ(sim::engine::FilterClient::Open(info, &client), STATUS_SUCCESS);
    ASSERT_EQ(client->ReadDescription(&topology), STATUS_SUCCESS);
  }
  std::size_t numbered = 0;
  for (const NamedNode& n : nodes) {
    if (n.ksNode < 0) continue;
    ++numbered;
    ASSERT_LT(static_cast<std::size_t>(n.ksNode), topology.nodeTypes.size()) << n.name;
    const GUID& type = topology.nodeTypes[static_cast<std::size_t>(n.ksNode)];
    if (n.type == adapter::NODE_MUTE || n.type == adapter::NODE_VOLUME) {
      EXPECT_TRUE(IsEqualGUID(type, n.type == adapter::NODE_MUTE ? KSNODETYPE_MUTE : KSNODETYPE_VOLUME)) << n.name;
    }
  }
  EXPECT_EQ(numbered, topology.nodeTypes.size());
  host.Stop();
  EXPECT_TRUE(host.reports().empty());
}

}  // namespace
}  // namespace tools
