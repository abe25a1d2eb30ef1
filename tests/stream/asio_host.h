// A simulated ASIO host serving one render and one capture ring of the UAC 2.0 headset at
// 48 kHz in 24-bit stereo: it waits on its period event, writes a sine ahead of the
// driver's render position and takes the device's ramp behind the capture position. The
// checks compare what the device received and what the host captured with both signals.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "kernel/clock.h"
#include "sim/device/sim_device.h"
#include "sim/engine/asio_ring.h"
#include "support/kernel_fixture.h"
#include "uac2_stream_fixture.h"

namespace asio_host {

inline constexpr ULONG kRate = 48000;
inline constexpr ULONG kType24 = 17;  // 24-bit little-endian samples, 3 bytes
inline constexpr ULONG kFrame = 6;    // 24-bit stereo
inline constexpr ULONG kUrbBytes = 576;  // a 2 ms URB of such frames

// The headset with 24-bit samples in 3-byte subslots both ways.
inline uac2_test::HeadsetLayout Layout24() {
  uac2_test::HeadsetLayout l;
  l.renderSubslot = l.captureSubslot = 3;
  l.renderBits = l.captureBits = 24;
  return l;
}

inline void Put24(std::uint8_t* p, std::int32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
}
inline std::int32_t Get24(const std::uint8_t* p) {
  const std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
  return (v ^ 0x800000) - 0x800000;
}

// Frame n of the host's sine: two tones, never silent in the first frame.
inline std::int32_t SineAt(ULONGLONG n, int channel) {
  const double f = channel ? 1500.0 : 440.0;
  return static_cast<std::int32_t>(std::lround(3000000.0 * std::sin(2.0 * M_PI * f * n / kRate + 1.0 + channel)));
}

struct Host {
  Host(void* renderRing, void* captureRing) : render(renderRing, kFrame), capture(captureRing, kFrame) {}
  sim::engine::AsioRing render, capture;
  ULONGLONG frames = 0;  // render frames written
  std::vector<std::int32_t> captured;
  ULONG wakes = 0;

  // Runs for `ms` of virtual time: waits on `period`, tops the render ring up to its lead
  // and two URBs ahead and takes what capture moved. `hostile` runs after each service,
  // between notifications.
  void Serve(PKEVENT period, LONGLONG ms, const std::function<void()>& hostile = {}) {
    const LONGLONG end = platform::clock::Now() + ms * platform::clock::kTicksPerMillisecond;
    const ULONG ahead = render.lead() + 2 * kUrbBytes;
    bool first = true;
    while (platform::clock::Now() < end) {
      LARGE_INTEGER timeout = platform::testing::RelativeMs(50);
      if (!first && KeWaitForSingleObject(period, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        ++wakes;
        KeClearEvent(period);  // a host's event may be a notification event
      }
      first = false;
      if (render.begun())
        render.Render(ahead, [&](std::uint8_t* p) {
          Put24(p, SineAt(frames, 0));
          Put24(p + 3, SineAt(frames, 1));
          ++frames;
        });
      if (capture.begun())
        capture.Capture([&](const std::uint8_t* p) {
          captured.push_back(Get24(p));
          captured.push_back(Get24(p + 3));
        });
      if (hostile) hostile();
    }
  }

  // The device got silence (the lead sent before the reset) and then exactly the host's
  // frames, in order, none it did not write.
  void ExpectRenderedAsWritten(sim::device::SimDevice& device) const {
    const std::vector<std::int32_t> got = device.received_samples(uac2_test::kRenderEndpoint);
    size_t first = 0;
    while (first < got.size() && got[first] == 0) ++first;
    first -= first % 2;
    ASSERT_LT(first, got.size()) << "the device received only silence";
    const size_t received = (got.size() - first) / 2;
    EXPECT_LE(received, frames);
    size_t bad = 0;
    for (size_t n = 0; n < received; ++n)
      for (int ch = 0; ch < 2; ++ch)
        if (got[first + 2 * n + ch] != SineAt(n, ch) && bad++ < 3)
          ADD_FAILURE() << "frame " << n << " channel " << ch << " is " << got[first + 2 * n + ch] << ", written "
                        << SineAt(n, ch);
    EXPECT_EQ(bad, 0u);
    // The silence before it is the lead sent at the start: at most the URBs in flight.
    EXPECT_LE(first / 2, 5u * 2 * 49);
  }
  void ExpectCapturedRamp() const {
    size_t bad = 0;
    for (size_t i = 0; i < captured.size(); ++i)
      if (captured[i] != uac2_test::SampleValue(i, 24) && bad++ < 3)
        ADD_FAILURE() << "capture sample " << i << " is " << captured[i] << ", the ramp "
                      << uac2_test::SampleValue(i, 24);
    EXPECT_EQ(bad, 0u);
  }
  void ExpectNoFindings() const {
    for (const sim::engine::AsioRing* ring : {&render, &capture})
      for (const std::string& f : ring->findings()) ADD_FAILURE() << f;
  }
};

}  // namespace asio_host
