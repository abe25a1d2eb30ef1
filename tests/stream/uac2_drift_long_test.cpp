// A minute of drift for every case: high and full speed, the device's clock 150 and 500
// ppm fast and slow, the feedback value in the class's encoding (also held over a longer
// refresh period) and in each non-compliant encoding the simulated device knows. Prints
// the largest FIFO excursion of each case.
//
// The class's encodings are followed: the FIFO stays within one URB of its start level.
// The non-compliant ones are not: read by the class's rules (10.14 in 3 bytes at full
// speed, 16.16 in 4 bytes at high speed) their values lie far outside 1000 Hz of nominal
// and are all ignored, so the engine plays the nominal rate and the FIFO drifts by the
// clock offset (ppm x rate x 60 s): a fast device underruns, a slow one fills up. Every
// sample still reaches the device exactly once.
//
// At high speed the feedback follows the device at every pairing of data and feedback
// bInterval 1-4: ten seconds of each at 44.1, 48 and 96 kHz run by default, a minute of
// each at both offsets under the stress label (CTest entries of their own, one per data
// bInterval).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "uac2_stream_fixture.h"

namespace uac2_test {
namespace {

using sim::device::FeedbackEncoding;

class Uac2DriftMinute : public Uac2StreamTest {};

TEST_F(Uac2DriftMinute, EverySpeedOffsetEncodingAndRefresh) {
  std::vector<DriftCase> cases;
  for (bool hs : {true, false}) {
    const ULONG rate = hs ? 48000 : 44100;
    const FeedbackEncoding odd = hs ? FeedbackEncoding::HighSpeed10_14 : FeedbackEncoding::FullSpeed16_16;
    for (double ppm : {150.0, -150.0, 500.0, -500.0}) {
      cases.push_back({hs, rate, ppm, FeedbackEncoding::Standard, {}, 60});
      cases.push_back({hs, rate, ppm, FeedbackEncoding::Standard, static_cast<std::uint8_t>(hs ? 6 : 3), 60});
      cases.push_back({hs, rate, ppm, odd, {}, 60});
    }
  }
  std::printf("%-62s %6s %6s %6s %9s %8s %8s %7s\n", "case", "start", "low", "high", "excursion", "underrun",
              "measured", "wall s");
  for (const DriftCase& c : cases) {
    SCOPED_TRACE(Describe(c));
    const bool followed = c.encoding == FeedbackEncoding::Standard;
    if (!followed) {
      ExpectStreamFinding("underrun", "device");
      ExpectStreamFinding("overrun", "device");
    }
    // The wall time of the run is printed for the record, never checked.
    const auto began = std::chrono::steady_clock::now();
    const DriftResult r = RunDrift(c);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%-62s %6lld %6lld %6lld %9lld %8llu %8d %7.1f\n", Describe(c).c_str(), static_cast<long long>(r.start),
                static_cast<long long>(r.low), static_cast<long long>(r.high), static_cast<long long>(r.Excursion()),
                static_cast<unsigned long long>(r.underrun), static_cast<int>(r.measured), wall);
    std::fflush(stdout);
    if (followed) {
      EXPECT_EQ(r.underrun, 0u);
      EXPECT_EQ(r.overflow, 0u);
      EXPECT_LT(r.Excursion(), static_cast<std::int64_t>(c.rate / 1000 * 5));
    } else {
      EXPECT_EQ(r.measured, static_cast<LONG>(c.rate));
      // The level moves by the offset over the minute, less what an underrun swallowed.
      const double drift = -c.ppm * 1e-6 * c.rate * c.seconds;
      if (drift > 0) {
        EXPECT_GT(static_cast<double>(r.high - r.start), 0.8 * drift);
      } else {
        EXPECT_GT(r.underrun, 0u);
      }
    }
  }
}

// One data bInterval per instance, so that each CTest entry runs a quarter of the grid.
class Uac2DriftIntervals : public Uac2StreamTest, public testing::WithParamInterface<int> {
 protected:
  void RunGrid(ULONG seconds, bool bothOffsets) {
    for (const DriftCase& c : HighSpeedIntervalGrid(seconds, bothOffsets)) {
      if (c.renderInterval != GetParam()) continue;
      SCOPED_TRACE(Describe(c));
      ExpectFollowed(c, RunDrift(c));
    }
  }
};

TEST_P(Uac2DriftIntervals, TenSecondsAtEveryFeedbackInterval) { RunGrid(10, false); }
TEST_P(Uac2DriftIntervals, MinuteAtBothOffsets) { RunGrid(60, true); }

INSTANTIATE_TEST_SUITE_P(DataInterval, Uac2DriftIntervals, testing::Values(1, 2, 3, 4));

}  // namespace
}  // namespace uac2_test
