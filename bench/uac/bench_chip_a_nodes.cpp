// Chip class A's software volume: the node's processing of 8 channels x 512 frames of
// planar float on an S/PDIF endpoint (one multiply per channel), its gain update after a
// level change (the bound node's clamp and control-source call, then level to float,
// divided by 20 dB, 10 raised to it through the primitives), and a KS volume SET from the
// engine client on the topology filter through the driver to the device's SET_CUR, wall
// time per request.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "behaviour_profile.h"
#include "driver_host.h"
#include "kernel/clock.h"
#include "portcls/ksmedia.h"
#include "sim/engine/engine.h"
#include "uac/chip_a_nodes.h"

namespace {

constexpr ULONG kChannels = 8;
constexpr ULONG kFrames = 512;
constexpr ULONG kNodeTag = MakePoolTag('B', 'c', 'h', 'a');

// Eight channels of volume in -96..0 dB.
class BenchSource : public uac::IUacLevelControlSource {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override {
    if (!IsEqualGUID(iid, uac::IID_IUacLevelControlSource)) return STATUS_INVALID_PARAMETER;
    *object = static_cast<uac::IUacLevelControlSource*>(this);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  // 1/256 dB below 0 dB: a gain just under 1, so the samples stay normal for a long run.
  STDMETHODIMP GetCur(ULONG, ULONG, PLONG level) override {
    *level = -256;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetCur(ULONG, ULONG, LONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetRange(ULONG, PLONG maximum, PLONG minimum, PLONG step) override {
    *maximum = 0;
    *minimum = -96 * 65536;
    *step = 16384;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetChannelCount(ULONG, PULONG count) override {
    *count = kChannels;
    return STATUS_SUCCESS;
  }
};

WAVEFORMATEXTENSIBLE Pcm8() {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = kChannels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = 2 * kChannels;
  f.Format.nAvgBytesPerSec = 48000 * 2 * kChannels;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

struct NodeBench {
  NodeBench() : thread("bench") {
    node = new (NonPagedPool, kNodeTag) uac::CChipAVolumeNode(nullptr, 1);
    node->NonDelegatingAddRef();
    node->InitChipAVolumeNode(static_cast<uac::IUacLevelControlSource*>(&source), 2, nullptr);
    node->SetEndpointType(3, nullptr);  // S/PDIF: the node scales the stream
  }
  ~NodeBench() { node->NonDelegatingRelease(); }
  platform::clock::ScopedPlatformThread thread;
  BenchSource source;
  uac::CChipAVolumeNode* node;
};

void BM_ChipAVolumeProcess(benchmark::State& state) {
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
  NodeBench bench;
  const WAVEFORMATEXTENSIBLE format = Pcm8();
  std::vector<std::vector<float>> data(kChannels, std::vector<float>(kFrames, 0.25f));
  float* channels[kChannels];
  for (ULONG c = 0; c < kChannels; ++c) channels[c] = data[c].data();
  for (auto _ : state) {
    bench.node->Process(&format, channels, kFrames);
    benchmark::ClobberMemory();
    // Keep the samples from running into denormals over millions of passes.
    if (data[0][0] < 1e-20f)
      for (auto& channel : data) std::fill(channel.begin(), channel.end(), 0.25f);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kChannels * kFrames);
}
BENCHMARK(BM_ChipAVolumeProcess);

void BM_ChipAVolumeSetLevel(benchmark::State& state) {
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
  NodeBench bench;
  LONG level = 0;
  ULONG channel = 0;
  for (auto _ : state) {
    bench.node->SetLevel(channel, level);
    benchmark::DoNotOptimize(bench.node->Gain(channel));
    level = level <= -90 * 65536 ? 0 : level - 16384;
    channel = (channel + 1) % kChannels;
  }
}
BENCHMARK(BM_ChipAVolumeSetLevel);

// The whole path of one volume change: KS property request on the topology filter, the
// property handler, the node (clamp, quantise, Settings), the unit's scaling, the class
// request as a control transfer on the simulated bus to the device's SET_CUR. The chip A
// render unit's volume (its curve), beside a plain UAC 1.0 headset's volume as the
// baseline of the same path.
void RunKsVolumeSet(benchmark::State& state, const char* file, bool chipA, sim::device::SimDevice::ControlKey key,
                    LONG probe, std::int64_t expected) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  sim::device::DeviceProfile profile;
  tools::BehaviourProfile behaviour;
  std::string error;
  if (chipA) {
    if (!tools::LoadBehaviourProfile(UA_CHIP_A_PROFILE, behaviour, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    tools::ApplyStrings(behaviour, profile);
  } else {
    profile.strings[0x50] = u"SIMULATED-UAC";
  }
  std::unique_ptr<sim::device::SimDevice> sim;
  if (!sim::device::SimDevice::FromDumpText(text.str(), profile, sim, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  if (chipA) tools::ApplyDevice(behaviour, *sim);
  tools::DriverHost host;
  if (host.StartDriver(std::move(sim)) != STATUS_SUCCESS) {
    state.SkipWithError("the device did not start");
    return;
  }
  std::unique_ptr<sim::engine::FilterClient> topology;
  for (const auto& info : sim::engine::EnumerateFilters(&KSCATEGORY_TOPOLOGY))
    if (info.device == host.fdo()) sim::engine::FilterClient::Open(info, &topology);
  sim::engine::FilterDescription description;
  if (!topology || !NT_SUCCESS(topology->ReadDescription(&description))) {
    state.SkipWithError("no topology filter");
    return;
  }
  // The volume node whose SET reaches the device control.
  ULONG node = ULONG(-1);
  for (ULONG n = 0; n < description.nodeTypes.size() && node == ULONG(-1); ++n) {
    if (!IsEqualGUID(description.nodeTypes[n], KSNODETYPE_VOLUME)) continue;
    if (NT_SUCCESS(topology->SetNodeValue(n, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, probe)) &&
        host.sim()->GetControl(key) == expected)
      node = n;
  }
  if (node == ULONG(-1)) {
    state.SkipWithError("no volume node");
    return;
  }
  LONG level = 0;
  for (auto _ : state) {
    topology->SetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, level);
    level = level <= -30 * 65536 ? 0 : level - 65536;
  }
  topology.reset();
  host.Stop();
}

void BM_ChipAKsVolumeSet(benchmark::State& state) {
  RunKsVolumeSet(state, UA_CHIP_A_DEVICE_FILE, true, {false, 13, 2, 1}, -65536 / 2, -512);
}
BENCHMARK(BM_ChipAKsVolumeSet)->Unit(benchmark::kMicrosecond);

void BM_Uac1KsVolumeSet(benchmark::State& state) {
  RunKsVolumeSet(state, UA_DEVICE_DUMPS_DIR "/uac1-headset-A.txt", false, {false, 5, 2, 1}, -65536, -256);
}
BENCHMARK(BM_Uac1KsVolumeSet)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
