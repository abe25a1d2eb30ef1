// Start-up of a chip class A device as Plug and Play drives it: from AddDevice on the
// synthetic chip A device's physical device object to the answered start request (with
// the driver entry and the device's registration before it; descriptor reads, configuration, function choice, the chip probe
// with its register reads, the descriptor trimming, the builders, the register pulse and
// rewrite, the miniports and their subdevices). Wall time per start, and the virtual time
// the start takes on the platform clock (the requests' bus frames plus the 1 ms register
// pulse) as a counter.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

#include "behaviour_profile.h"
#include "driver_host.h"

namespace {

void BM_ChipAStart(benchmark::State& state) {
  std::ifstream in(UA_CHIP_A_DEVICE_FILE);
  std::stringstream text;
  text << in.rdbuf();
  tools::BehaviourProfile behaviour;
  std::string error;
  if (!tools::LoadBehaviourProfile(UA_CHIP_A_PROFILE, behaviour, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  double virtualMs = 0;
  double requests = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::device::DeviceProfile profile;
    tools::ApplyStrings(behaviour, profile);
    std::unique_ptr<sim::device::SimDevice> sim;
    if (!sim::device::SimDevice::FromDumpText(text.str(), profile, sim, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    tools::ApplyDevice(behaviour, *sim);
    {
      tools::DriverHost host;
      const LONGLONG before = platform::clock::Now();
      state.ResumeTiming();
      const NTSTATUS status = host.StartDriver(std::move(sim));
      state.PauseTiming();
      virtualMs = static_cast<double>(platform::clock::Now() - before) / 10000.0;
      requests = static_cast<double>(host.sim()->control_log().size());
      if (status != STATUS_SUCCESS) {
        state.SkipWithError("the chip A device did not start");
        return;
      }
      host.Stop();
    }
    state.ResumeTiming();
  }
  state.counters["virtual_ms"] = virtualMs;
  state.counters["control_requests"] = requests;
}
BENCHMARK(BM_ChipAStart)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
