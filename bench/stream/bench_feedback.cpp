// CPU time of the explicit-feedback path per feedback packet: one URB of ten packets read,
// snapped, converted to hertz and averaged (ParseFeedback), as the feedback completion
// runs it at DISPATCH_LEVEL, in both wire formats; and the render fill rule for the ten
// packets of the data URB that follows. The wall time of a minute of drift through the
// whole stack is printed per case by tests/stream/uac2_drift_long_test.cpp.

#include <benchmark/benchmark.h>

#include <vector>

#include "stream/feedback.h"

namespace {

using namespace stream::feedback;

struct Urb {
  Urb(ULONG value, ULONG bytes, ULONG packets, ULONG pps, ULONG nominal) : buffer(packets * bytes), desc(packets) {
    for (ULONG i = 0; i < packets; ++i) {
      // Jitter by one count now and then, as a real device's value does.
      const ULONG v = value + (i % 3 == 0 ? 1 : 0);
      for (ULONG b = 0; b < bytes; ++b) buffer[i * bytes + b] = static_cast<UCHAR>(v >> (8 * b));
      desc[i] = {i * bytes, bytes, USBD_STATUS_SUCCESS};
    }
    urb = {buffer.data(), desc.data(), packets, bytes, pps, nominal, 1};
  }
  std::vector<UCHAR> buffer;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> desc;
  FeedbackUrb urb{};
};

void BM_ParseFeedbackFullSpeed(benchmark::State& state) {
  Urb u(0x0B0640, kFullSpeedPacketBytes, 10, 1000, 44100);  // 44.1 kHz, snapped
  LONG rate = 44100;
  for (auto _ : state) {
    rate = ParseFeedback(u.urb, rate).Rate;
    benchmark::DoNotOptimize(rate);
  }
  state.SetItemsProcessed(state.iterations() * 10);  // packets
}
BENCHMARK(BM_ParseFeedbackFullSpeed);

void BM_ParseFeedbackHighSpeed(benchmark::State& state) {
  Urb u(0x60008, kHighSpeedPacketBytes, 10, 8000, 48000);  // 48,000.97 Hz
  LONG rate = 48000;
  for (auto _ : state) {
    rate = ParseFeedback(u.urb, rate).Rate;
    benchmark::DoNotOptimize(rate);
  }
  state.SetItemsProcessed(state.iterations() * 10);
}
BENCHMARK(BM_ParseFeedbackHighSpeed);

void BM_FillRuleEightyPackets(benchmark::State& state) {
  LONG remainder = 0;
  for (auto _ : state) {
    LONG frames = 0;
    for (int i = 0; i < 80; ++i) frames += NextPacketFrames(&remainder, 44123, 5, 8000);
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations() * 80);
}
BENCHMARK(BM_FillRuleEightyPackets);

}  // namespace

BENCHMARK_MAIN();
