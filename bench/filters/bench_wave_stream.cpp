// Wall time to simulate one minute of 48 kHz 16-bit stereo render and capture through the
// whole driver: the simulated engine client streaming through the WaveCyclic pins, the
// UAC 1.0 isochronous engines and the simulated bus and device, with the platform's
// default timing (timer ticks, DPC latency, batched completions). The figure of interest
// is the counter x_real_time: simulated seconds per wall-clock second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "driver_host.h"
#include "filters/miniport_wave_cyclic.h"
#include "kernel/ke.h"
#include "portcls/ksclient.h"
#include "sim/engine/engine.h"

namespace {

constexpr ULONG kTag = MakePoolTag('B', 'w', 'a', 'v');
constexpr LONGLONG kSimulatedSeconds = 60;

// A topology filter of one bridge pin, and the pin map that joins every streaming
// terminal to it: all the wave filters need of a topology peer.
class CBenchTopology : public IMiniportTopology, public adapter::IMiniportPinMap, public CUnknown {
 public:
  explicit CBenchTopology(PUNKNOWN outer) : CUnknown(outer) {
    m_Range.FormatSize = sizeof(KSDATARANGE);
    m_Range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    m_Range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    m_Range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    m_RangePointer = &m_Range;
    m_Pin.KsPinDescriptor.DataRangesCount = 1;
    m_Pin.KsPinDescriptor.DataRanges = &m_RangePointer;
    m_Pin.KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
    m_Pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    m_Pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    m_Descriptor.PinSize = sizeof(PCPIN_DESCRIPTOR);
    m_Descriptor.PinCount = 1;
    m_Descriptor.Pins = &m_Pin;
    m_Category = KSCATEGORY_TOPOLOGY;
    m_Descriptor.CategoryCount = 1;
    m_Descriptor.Categories = &m_Category;
  }
  DECLARE_STD_UNKNOWN() {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology))
      return adapter::ReturnInterface<IMiniportTopology>(this, object);
    if (IsEqualGUID(iid, adapter::IID_IMiniportPinMap)) return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override {
    *Description = &m_Descriptor;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }
  STDMETHODIMP MapPin(ULONG, PULONG Result) override {
    *Result = 0;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetSubdeviceName(PWSTR* Name) override {
    static WCHAR name[] = u"Topo";
    *Name = name;
    return STATUS_SUCCESS;
  }

 private:
  KSDATARANGE m_Range{};
  PKSDATARANGE m_RangePointer = nullptr;
  PCPIN_DESCRIPTOR m_Pin{};
  GUID m_Category{};
  PCFILTER_DESCRIPTOR m_Descriptor{};
};

std::vector<BYTE> Format48() {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& w = f.WaveFormatExt;
  w.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 192000, 4, 16, 22};
  w.Samples.wValidBitsPerSample = 16;
  w.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  std::vector<BYTE> bytes(sizeof f);
  std::memcpy(bytes.data(), &f, sizeof f);
  return bytes;
}

// One minute of render and capture on a dongle that plays and records 48 kHz stereo.
// Returns false (with the reason in `error`) when the run could not be made.
bool SimulateMinute(std::string* error) {
  std::ifstream in(std::string(UA_DEVICE_DUMPS_DIR) + "/uac1-dac-dongle-A.txt");
  std::stringstream text;
  text << in.rdbuf();
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  profile.signal.kind = sim::device::SignalKind::Ramp;  // the counter the engine client checks
  std::unique_ptr<sim::device::SimDevice> device;
  if (!sim::device::SimDevice::FromDumpText(text.str(), profile, device, *error)) return false;

  tools::DriverHost host;
  if (!NT_SUCCESS(host.Start(std::move(device)))) return *error = "the driver did not start", false;
  PDEVICE_OBJECT fdo = host.hal()->GetDeviceObject();

  adapter::IMiniportPinMap* topology = nullptr;
  adapter::CreateInstance<CBenchTopology>(&topology, nullptr, NonPagedPool, kTag);
  PPORT topologyPort = nullptr;
  PcNewPort(&topologyPort, CLSID_PortTopology);
  PVOID miniport = nullptr;
  topology->QueryInterface(IID_IMiniportTopology, &miniport);
  topologyPort->Init(fdo, nullptr, static_cast<PUNKNOWN>(static_cast<IMiniportTopology*>(miniport)), nullptr, nullptr);
  static_cast<IMiniportTopology*>(miniport)->Release();
  WCHAR topoName[] = u"Topo";
  PcRegisterSubdevice(fdo, topoName, topologyPort);

  std::vector<adapter::IStreamEngine*> engines;
  for (ULONG i = 0; i < host.hal()->GetEngineCount(); ++i) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(host.hal()->GetEngine(i, &engine))) continue;
    const bool capture = engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE;
    engine->SetName(capture ? u"MicIn00" : u"SPKOut00");
    engine->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic);
    engine->SetTopologyPeer(topologyPort, topology);
    if (NT_SUCCESS(engine->UpdateSubdevice(fdo, nullptr, host.hal()))) engines.push_back(engine);
  }

  std::vector<std::unique_ptr<sim::engine::Stream>> streams;
  for (const char16_t* name : {u"SPKOut00Wave", u"MicIn00Wave"}) {
    for (const auto& info : sim::engine::EnumerateFilters(&KSCATEGORY_AUDIO)) {
      if (info.name != name) continue;
      std::unique_ptr<sim::engine::FilterClient> client;
      std::unique_ptr<sim::engine::Stream> stream;
      if (NT_SUCCESS(sim::engine::FilterClient::Open(info, &client)) &&
          NT_SUCCESS(client->OpenStream(filters::kWaveStreamingPin, Format48(), {}, &stream)))
        streams.push_back(std::move(stream));
    }
  }
  bool ok = streams.size() == 2;
  if (!ok) *error = "the wave pins did not open";
  for (auto& s : streams) ok = ok && NT_SUCCESS(s->Start());
  LARGE_INTEGER due;
  due.QuadPart = -kSimulatedSeconds * 10000000LL;
  if (ok) KeDelayExecutionThread(KernelMode, FALSE, &due);
  for (auto& s : streams) {
    if (std::getenv("UA_BENCH_TRACE")) {
      ULONG64 p = 0;
      s->ReadPosition(&p);
      std::fprintf(stderr, "before stop: %llu findings %zu\n", (unsigned long long)p, s->Findings().size());
    }
    s->Stop();
    if (!s->Findings().empty()) {
      const sim::engine::Finding f = s->Findings().front();
      *error = std::string("finding: ") + sim::engine::IssueName(f.issue) + ": " + f.detail;
      ok = false;
    }
  }
  streams.clear();
  for (adapter::IStreamEngine* engine : engines) engine->UnregisterSubdevice(fdo, nullptr, host.hal());
  PVOID unregister = nullptr;
  if (NT_SUCCESS(topologyPort->QueryInterface(IID_IUnregisterSubdevice, &unregister))) {
    static_cast<PUNREGISTERSUBDEVICE>(unregister)->UnregisterSubdevice(fdo, topologyPort);
    static_cast<PUNREGISTERSUBDEVICE>(unregister)->Release();
  }
  topologyPort->Release();
  topology->Release();
  host.Stop();
  if (!host.reports().empty()) {
    *error = host.reports().front();
    ok = false;
  }
  return ok;
}

void BM_WaveRenderCaptureMinute(benchmark::State& state) {
  for (auto _ : state) {
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = SimulateMinute(&error);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
      state.SkipWithError(error.c_str());
      return;
    }
    state.SetIterationTime(wall);
    state.counters["x_real_time"] = static_cast<double>(kSimulatedSeconds) / wall;
  }
}
BENCHMARK(BM_WaveRenderCaptureMinute)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
