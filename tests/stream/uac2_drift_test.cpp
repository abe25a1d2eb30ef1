// Drift between the device's clock and the host: the render engine follows the device's
// explicit feedback, so the device's FIFO stays within one URB's worth of frames of where
// playback started, and the device receives every sample exactly once. A few seconds of
// the fast cases run by default; the minute-long table of every speed, offset, encoding
// and refresh period is in uac2_drift_long_test.cpp.
#include <gtest/gtest.h>

#include "uac2_stream_fixture.h"

namespace uac2_test {
namespace {

class Uac2Drift : public Uac2StreamTest {};

TEST_F(Uac2Drift, FeedbackHoldsTheFifoWithinOneUrb) {
  const DriftCase cases[] = {
      {true, 48000, 500.0, sim::device::FeedbackEncoding::Standard, {}, 3},
      {true, 96000, -500.0, sim::device::FeedbackEncoding::Standard, 4, 3},
      {false, 44100, 500.0, sim::device::FeedbackEncoding::Standard, {}, 3},
      {false, 44100, -150.0, sim::device::FeedbackEncoding::Standard, 3, 3},
  };
  for (const DriftCase& c : cases) {
    SCOPED_TRACE(Describe(c));
    const DriftResult r = RunDrift(c);
    EXPECT_EQ(r.underrun, 0u);
    EXPECT_EQ(r.overflow, 0u);
    EXPECT_LT(r.Excursion(), static_cast<std::int64_t>(c.rate / 1000 * 5));  // one 5 ms URB
    EXPECT_NEAR(r.measured, c.rate * (1 + c.ppm * 1e-6), 3.0);
  }
}

}  // namespace
}  // namespace uac2_test
