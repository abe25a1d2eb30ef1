// CPU time of chip class A's jack poll: the synthetic chip A device started as Plug and
// Play starts it, on the jack-polling device row (worker running) and on a row without
// polling (idle), then virtual time run forward 50 ms per iteration: one poll (the HID
// report through the root device object's synchronous URB path and the simulated bus,
// the history and the state) with the platform's idle cost around it. The process's CPU
// time is counted (the poll runs on the worker thread, the request on the bus's): the
// polling row's time less the idle row's is what a poll costs here, the simulated bus and
// the platform's hand-offs between its threads included; "polls" counts the reports read.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "behaviour_profile.h"
#include "driver_host.h"
#include "kernel/ke.h"

namespace {

// The dump text with the device descriptor's vendor and product replaced.
std::string WithIds(const std::string& text, unsigned vendor, unsigned product) {
  std::istringstream in(text);
  std::ostringstream out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("DEVICE:", 0) == 0) {
      std::istringstream bytes(line.substr(7));
      std::string word;
      std::vector<unsigned> b;
      while (bytes >> word) b.push_back(static_cast<unsigned>(std::stoul(word, nullptr, 16)));
      if (b.size() >= 12) {
        b[8] = vendor & 0xFF, b[9] = vendor >> 8, b[10] = product & 0xFF, b[11] = product >> 8;
      }
      line = "DEVICE:";
      char hex[4];
      for (unsigned v : b) {
        std::snprintf(hex, sizeof hex, " %02x", v);
        line += hex;
      }
    }
    out << line << '\n';
  }
  return out.str();
}

void BM_ChipAJackPoll(benchmark::State& state) {
  const bool polling = state.range(0) != 0;
  std::ifstream in(UA_CHIP_A_DEVICE_FILE);
  std::stringstream text;
  text << in.rdbuf();
  tools::BehaviourProfile behaviour;
  std::string error;
  if (!tools::LoadBehaviourProfile(UA_CHIP_A_PROFILE, behaviour, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  sim::device::DeviceProfile profile;
  tools::ApplyStrings(behaviour, profile);
  std::unique_ptr<sim::device::SimDevice> sim;
  const std::string dump = polling ? WithIds(text.str(), 0x1E7D, 0x3750) : text.str();
  if (!sim::device::SimDevice::FromDumpText(dump, profile, sim, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  tools::ApplyDevice(behaviour, *sim);
  tools::DriverHost host;
  if (host.StartDriver(std::move(sim)) != STATUS_SUCCESS) {
    state.SkipWithError("the chip A device did not start");
    return;
  }
  const auto reads = [&] {
    size_t n = 0;
    for (const auto& e : host.sim()->control_log()) n += e.setup.bmRequestType == 0xA1 && e.setup.bRequest == 0x01;
    return n;
  };
  const size_t before = reads();
  LARGE_INTEGER period;
  period.QuadPart = -50 * 10000;
  for (auto _ : state) KeDelayExecutionThread(KernelMode, FALSE, &period);
  state.counters["polls"] = static_cast<double>(reads() - before);
  state.counters["per_poll"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
  host.Stop();
}
// The poll runs on the worker thread, the bus on its own: the CPU time of the whole process.
BENCHMARK(BM_ChipAJackPoll)->Arg(0)->Arg(1)->ArgName("polling")->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
