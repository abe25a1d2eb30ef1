// What an engine-client request costs on the whole driver, now that each one is an IRP
// through the driver's dispatch (WakeForRequest, then PortCls): a framework property of
// the topology filter (the pin count, answered by PortCls alone) and a node property
// (a volume level, answered by the driver's node from its cached value). The headset
// runs with selective suspend off, so nothing is pending for the wake.
// Run with UA_PAGED_PROTECTION=0 for the code's own cost (see bench_selective_suspend).

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "adapter/audio_class.h"
#include "driver_host.h"
#include "portcls/ksmedia.h"
#include "sim/engine/engine.h"

namespace {

struct Rig {
  tools::DriverHost host;
  std::unique_ptr<sim::engine::FilterClient> topology;
  ULONG volumeNode = ULONG(-1);
  std::string error;

  Rig() {
    std::ifstream in(std::string(UA_DEVICE_DUMPS_DIR) + "/uac1-headset-A.txt");
    std::stringstream text;
    text << in.rdbuf();
    sim::device::DeviceProfile profile;
    profile.strings[adapter::kModelStringIndex] = u"Neutral";
    std::unique_ptr<sim::device::SimDevice> device;
    if (!sim::device::SimDevice::FromDumpText(text.str(), profile, device, error)) return;
    if (!NT_SUCCESS(host.StartDriver(std::move(device)))) {
      error = "the driver did not start";
      return;
    }
    for (const auto& info : sim::engine::EnumerateFilters(&KSCATEGORY_TOPOLOGY))
      if (info.device == host.fdo()) sim::engine::FilterClient::Open(info, &topology);
    if (!topology) {
      error = "no topology filter";
      return;
    }
    sim::engine::FilterDescription description;
    if (!NT_SUCCESS(topology->ReadDescription(&description))) return;
    for (ULONG n = 0; n < description.nodeTypes.size() && volumeNode == ULONG(-1); ++n) {
      LONG level = 0;
      if (IsEqualGUID(description.nodeTypes[n], KSNODETYPE_VOLUME) &&
          NT_SUCCESS(topology->GetNodeValue(n, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level)))
        volumeNode = n;
    }
    if (volumeNode == ULONG(-1)) error = "no volume node";
  }
  ~Rig() {
    topology.reset();
    host.Stop();
  }
};

void BM_PinCountThroughDispatch(benchmark::State& state) {
  Rig rig;
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  KSPROPERTY ctypes{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
  for (auto _ : state) {
    ULONG pins = 0, returned = 0;
    benchmark::DoNotOptimize(rig.topology->Raw().Property(&ctypes, sizeof ctypes, &pins, sizeof pins, &returned));
  }
}
BENCHMARK(BM_PinCountThroughDispatch)->Unit(benchmark::kMicrosecond);

void BM_VolumeGetThroughDispatch(benchmark::State& state) {
  Rig rig;
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  for (auto _ : state) {
    LONG level = 0;
    benchmark::DoNotOptimize(
        rig.topology->GetNodeValue(rig.volumeNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level));
  }
}
BENCHMARK(BM_VolumeGetThroughDispatch)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
