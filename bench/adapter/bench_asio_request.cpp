// One ASIO request round trip: GetSampleRate from the simulated ASIO client through the
// platform's I/O path (IRP, system buffer, completion) and the driver's
// DispatchDeviceControl, on the whole driver started on the simulated ASIO device. Beside
// it, the same request as a 32-bit client, and a code that is none of the 22 (the cost of
// the dispatch without the device's operation).
// Run with UA_PAGED_PROTECTION=0 for the driver's own cost: with the verifier's paged-pool
// protection on, every raise to DISPATCH_LEVEL re-protects the paged blocks (mprotect).

#include <benchmark/benchmark.h>

#include <memory>

#include "adapter/asio_private.h"
#include "driver_host.h"
#include "sim/device/asio_device.h"
#include "sim/engine/asio_client.h"

namespace {

void Round(benchmark::State& state, bool is32Bit, ULONG code) {
  tools::DriverHost host;
  if (host.StartDriver(sim::device::asio_device::Make()) != STATUS_SUCCESS) {
    state.SkipWithError("the driver did not start");
    return;
  }
  {
    sim::engine::AsioClient client(host.fdo(), is32Bit);
    if (client.Open() != STATUS_SUCCESS) {
      state.SkipWithError("the ASIO interface did not open");
      return;
    }
    const std::vector<std::uint8_t> none;
    for (auto _ : state) {
      auto reply = client.Request(code, none, 4);
      benchmark::DoNotOptimize(reply.status);
    }
    client.Close();
  }
  host.Stop();
}

void BM_GetSampleRate(benchmark::State& state) { Round(state, false, adapter::IOCTL_ASIO_GET_SAMPLE_RATE); }
void BM_GetSampleRate32(benchmark::State& state) { Round(state, true, adapter::IOCTL_ASIO_GET_SAMPLE_RATE); }
void BM_UnknownCode(benchmark::State& state) { Round(state, false, 0x1D6048); }

BENCHMARK(BM_GetSampleRate);
BENCHMARK(BM_GetSampleRate32);
BENCHMARK(BM_UnknownCode);

}  // namespace

BENCHMARK_MAIN();
