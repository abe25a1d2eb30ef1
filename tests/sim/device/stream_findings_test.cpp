// Glitches the simulated device reports as stream findings while it streams: missed and
// late packets, a break in the counter signal it receives, frames a capture packet left
// out. Each row feeds the device packet by packet, as the controller's schedule does, and
// lists the findings (kind, first microframe) it must give; the clean rows give none.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "sim/device/counter_watch.h"
#include "test_support.h"

namespace sim::device {
namespace {

using namespace test;

constexpr std::uint8_t kOut = 0x01, kIn = 0x81;
constexpr std::uint64_t kFrame = 8;  // microframes

std::unique_ptr<SimDevice> Headset() {
  DeviceProfile p;
  p.fifo_start_frames = 441;  // 10 ms: the rows' gaps do not run it dry
  p.fifo_capacity_ms = 1000;
  auto d = Load("uac1-headset-A.txt", p);
  if (d) {
    Configure(*d, 1, 1);
    Set(*d, 1, USB_REQUEST_SET_INTERFACE, 1, 2, {});
    Set(*d, 1, USB_REQUEST_SET_INTERFACE, 1, 1, {});
  }
  return d;
}

// Render packets of 44 stereo 16-bit frames holding the counter signal from `sample`,
// or another signal.
enum class Signal { Counter, Sine, Silence };
std::vector<std::uint8_t> Packet(std::uint32_t* sample, Signal signal) {
  std::vector<std::uint8_t> p;
  for (int i = 0; i < 88; ++i, ++*sample) {
    std::int16_t v = 0;
    if (signal == Signal::Counter) v = static_cast<std::int16_t>(*sample);
    if (signal == Signal::Sine) v = static_cast<std::int16_t>(std::lround(12000 * std::sin(*sample * 0.0712)));
    p.push_back(static_cast<std::uint8_t>(v));
    p.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
  }
  return p;
}

struct Row {
  const char* name;
  std::function<void(SimDevice&)> run;
  std::vector<std::pair<std::string, std::uint64_t>> findings;  // kind, first microframe
};

// Plays frames [0, 200) on the render endpoint, calling `at(frame)` before each; a frame
// for which it returns false gets no packet.
void Render(SimDevice& d, Signal signal, const std::function<bool(std::uint64_t)>& at = {}) {
  std::uint32_t sample = 0;
  for (std::uint64_t frame = 0; frame < 200; ++frame) {
    d.Tick(frame * kFrame);
    if (at && !at(frame)) continue;
    auto p = Packet(&sample, signal);
    d.IsoOut(kOut, frame * kFrame, p.data(), static_cast<ULONG>(p.size()));
  }
}

void Capture(SimDevice& d, const std::function<bool(std::uint64_t)>& at = {}) {
  std::uint8_t buf[200];
  for (std::uint64_t frame = 0; frame < 200; ++frame) {
    d.Tick(frame * kFrame);
    if (at && !at(frame)) continue;
    ULONG len = 0;
    d.IsoIn(kIn, frame * kFrame, buf, sizeof buf, &len);
  }
}

const Row kRows[] = {
    {"a packet every frame", [](SimDevice& d) { Render(d, Signal::Counter); }, {}},
    {"a sine or silence never locks the counter watch",
     [](SimDevice& d) {
       Render(d, Signal::Sine);
       Render(d, Signal::Silence);
     },
     {}},
    {"frames 50-52 without a packet",
     [](SimDevice& d) { Render(d, Signal::Counter, [](std::uint64_t f) { return f < 50 || f > 52; }); },
     {{"missed packets", 50 * kFrame}}},
    {"frames 60-63 reported late by the controller",
     [](SimDevice& d) {
       Render(d, Signal::Counter, [&](std::uint64_t f) {
         if (f == 60) d.IsoPacketsLate(kOut, 60 * kFrame, 4);
         return f < 60 || f > 63;
       });
     },
     {{"late packets", 60 * kFrame}}},
    {"the stream just stops at frame 100",
     [](SimDevice& d) { Render(d, Signal::Counter, [](std::uint64_t f) { return f < 100; }); }, {}},
    {"a packet of the counter signal lost on the bus",
     [](SimDevice& d) {
       d.FailIsoPackets(kOut, 70, 1, USBD_STATUS_XACT_ERROR);
       Render(d, Signal::Counter);
     },
     {{"pattern break", 71 * kFrame}}},
    {"capture polled every frame", [](SimDevice& d) { Capture(d); }, {}},
    {"capture: frames 20-21 not polled", [](SimDevice& d) { Capture(d, [](std::uint64_t f) { return f < 20 || f > 21; }); },
     {{"missed packets", 20 * kFrame}}},
    {"capture: a short packet drops frames",
     [](SimDevice& d) {
       Capture(d, [&](std::uint64_t f) {
         if (f == 30) d.ShortCapturePackets(kIn, 10, 1);
         return true;
       });
     },
     {{"gap", 30 * kFrame}}},
};

class StreamFindings : public ::testing::TestWithParam<Row> {};

TEST_P(StreamFindings, AreReportedWithTheirKindAndTime) {
  const Row& row = GetParam();
  platform::verifier::TakeStreamFindings();
  const long long origin = platform::clock::Now();  // the clock stands still here
  auto d = Headset();
  ASSERT_TRUE(d);
  row.run(*d);
  std::vector<std::pair<std::string, std::uint64_t>> got;
  std::string all;
  for (const auto& f : platform::verifier::TakeStreamFindings()) {
    got.emplace_back(f.kind, static_cast<std::uint64_t>((f.time - origin) / 1250));
    all += f.source + ": " + f.detail + "\n";
    EXPECT_EQ(f.source.rfind("device endpoint 0x", 0), 0u) << f.source;
  }
  EXPECT_EQ(got, row.findings) << row.name << ":\n" << all;
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamFindings, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::to_string(info.index); });

// The watch locks onto a counter carried in the top bits of a wider sample (a 16-bit
// signal sent as 24 bits steps by 256) and on any power-of-two step, never on others.
TEST(CounterWatch, LocksOnPowerOfTwoStepsAndReportsTheFirstBreak) {
  struct Case {
    std::uint64_t step;
    int bits;
    bool locks;
  } cases[] = {{1, 16, true}, {256, 24, true}, {3, 16, false}, {0, 16, false}, {1, 8, true}};
  for (const auto& c : cases) {
    CounterWatch w;
    std::uint64_t due = 0;
    std::uint64_t v = 0x70;
    for (unsigned i = 0; i < 2 * CounterWatch::kLockSamples; ++i, v += c.step) ASSERT_FALSE(w.Feed(v, c.bits, &due));
    EXPECT_EQ(w.locked, c.locks) << c.step;
    EXPECT_EQ(w.Feed(v + c.step, c.bits, &due), c.locks) << c.step;  // one sample skipped
    if (c.locks) {
      EXPECT_EQ(due, v & ((1ull << c.bits) - 1)) << c.step;
    }
    EXPECT_FALSE(w.locked);
  }
}

}  // namespace
}  // namespace sim::device
