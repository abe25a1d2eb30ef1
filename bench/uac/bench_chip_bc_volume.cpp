// Volume sets on chip class B and C devices, as the audio engine sends them: the whole
// driver started on the synthetic chip device, then KS volume-level sets from the engine
// client on every volume node, sweeping each node's range step by step, each through the
// topology miniport, the bound node and the chip unit's translation to the device's
// SET_CUR on the simulated bus. Wall time per request; the sweep's length as a counter.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "behaviour_profile.h"
#include "driver_host.h"
#include "sim/engine/engine.h"
#include "uac/chip_bc_feature_units.h"

namespace {

struct Set {
  ULONG node;
  LONG level;
};

// `chipUnits`: the feature units with a scale of their own (the others are UAC 1.0 units
// with the simulated device's default range).
void BM_ChipVolumeSweep(benchmark::State& state, const char* profilePath, std::vector<UCHAR> chipUnits) {
  std::ifstream in(UA_CHIP_BC_DEVICE_FILE);
  std::stringstream text;
  text << in.rdbuf();
  tools::BehaviourProfile behaviour;
  std::string error;
  if (!tools::LoadBehaviourProfile(profilePath, behaviour, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  sim::device::DeviceProfile profile;
  tools::ApplyStrings(behaviour, profile);
  std::unique_ptr<sim::device::SimDevice> sim;
  if (!sim::device::SimDevice::FromDumpText(text.str(), profile, sim, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  // The chips' devices take every value their scales produce.
  for (UCHAR unit : chipUnits)
    for (UCHAR channel : {0, 1, 2}) sim->SetControlRange({false, unit, 2, channel}, -32767, 32767, 1);
  tools::DriverHost host;
  if (host.StartDriver(std::move(sim)) != STATUS_SUCCESS) {
    state.SkipWithError("the chip device did not start");
    return;
  }
  {
    std::unique_ptr<sim::engine::FilterClient> topology;
    for (const auto& info : sim::engine::EnumerateFilters())
      if (info.device == host.fdo() && info.name == u"RuveruZuze") sim::engine::FilterClient::Open(info, &topology);
    sim::engine::FilterDescription description;
    if (!topology || !NT_SUCCESS(topology->ReadDescription(&description))) {
      state.SkipWithError("no topology filter");
      return;
    }
    // Every step of every volume node's range, on channel 0.
    std::vector<Set> sweep;
    for (ULONG node = 0; node < description.nodeTypes.size(); ++node) {
      if (!IsEqualGUID(description.nodeTypes[node], KSNODETYPE_VOLUME)) continue;
      std::vector<BYTE> support;
      if (!NT_SUCCESS(topology->NodeBasicSupport(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, &support)) ||
          support.size() < 72)
        continue;
      KSPROPERTY_STEPPING_LONG range;
      std::memcpy(&range, support.data() + 56, sizeof range);
      const LONG step = range.SteppingDelta ? static_cast<LONG>(range.SteppingDelta) : 65536;
      for (LONG v = range.Bounds.SignedMinimum; v <= range.Bounds.SignedMaximum; v += step) sweep.push_back({node, v});
    }
    if (sweep.empty()) {
      state.SkipWithError("no volume node");
      return;
    }
    size_t next = 0;
    for (auto _ : state) {
      const Set& s = sweep[next];
      next = next + 1 == sweep.size() ? 0 : next + 1;
      if (!NT_SUCCESS(topology->SetNodeValue(s.node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, s.level))) {
        state.SkipWithError("a volume set failed");
        break;
      }
    }
    state.counters["sweep_requests"] = static_cast<double>(sweep.size());
  }
  host.Stop();
}
BENCHMARK_CAPTURE(BM_ChipVolumeSweep, chip_b, UA_CHIP_B_PROFILE, std::vector<UCHAR>{9, 10, 11, 12, 13, 14})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ChipVolumeSweep, chip_c, UA_CHIP_C_PROFILE, std::vector<UCHAR>{9, 10, 13})
    ->Unit(benchmark::kMicrosecond);

// The chip units' own share of a request: a level translated to the device value and
// back, over each scale's whole range in 1/256 dB steps.
void BM_ChipScaleRoundTrip(benchmark::State& state) {
  const uac::ChipLevelScale* scales[] = {&uac::ChipBUnit9Scale(), &uac::ChipBUnit10Scale(), &uac::ChipBUnit13Scale(),
                                         &uac::ChipCUnit9Scale(), &uac::ChipCUnit10Scale(), &uac::ChipCUnit13Scale()};
  LONG level = 0;
  size_t scale = 0;
  for (auto _ : state) {
    const uac::ChipLevelScale& s = *scales[scale];
    benchmark::DoNotOptimize(s.Read(static_cast<LONG>(s.Write(level))));
    level += 256;
    if (level > s.Maximum || level < s.Minimum) {
      scale = (scale + 1) % 6;
      level = scales[scale]->Minimum;
    }
  }
}
BENCHMARK(BM_ChipScaleRoundTrip);

}  // namespace

BENCHMARK_MAIN();
