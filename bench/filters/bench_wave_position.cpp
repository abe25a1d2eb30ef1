// GetPosition of the WaveCyclic stream in RUN, beside a bare read of a position variable:
// the stream's spin lock, the interpolation within the URB now playing by the performance
// counter and the never-backwards clamp. The stream renders 48 kHz 16-bit stereo through
// the real WaveCyclic miniport and the UAC 1.0 render engine on the stand-in root device
// of the stream benchmarks (each URB stays pending until the benchmark completes it); a
// few URBs are completed first, so the position has moved and a URB is playing.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_stream_stand_in.h"
#include "filters/miniport_wave_cyclic.h"
#include "kernel/clock.h"
#include "portcls/portcls.h"
#include "stream/uac1_stream_engines.h"

namespace {

using namespace bench_stream;

// The root device with one UAC 1.0 render engine in its engine list, as the miniport
// finds it.
class CEngineBenchDevice : public CBenchDevice {
 public:
  using CBenchDevice::CBenchDevice;
  STDMETHODIMP ProbeDevice() override {
    auto* engine = new (NonPagedPool, kBenchTag) stream::CUac1RenderStream(nullptr, kInterface, 0);
    if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
    static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
    NTSTATUS status = engine->Init(adapter::STREAM_DIRECTION_RENDER, this);
    const WAVEFORMATEXTENSIBLE format = Stereo48();
    if (NT_SUCCESS(status)) status = engine->AddStreamFormat(&format, 1);
    if (NT_SUCCESS(status)) status = engine->SetName(u"SPKOut00");
    if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
    static_cast<stream::IUsbStreamEngine*>(engine)->Release();  // the list keeps its own reference
    return status;
  }
};

// A WaveCyclic port that takes the stream's notifications and nothing else.
class CBenchPort : public IPortWaveCyclic, public CUnknown {
 public:
  explicit CBenchPort(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IPortWaveCyclic) || IsEqualGUID(iid, IID_IPort))
      return adapter::ReturnInterface<IPortWaveCyclic>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                              PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(void) Notify(PSERVICEGROUP) override {}
};

std::vector<BYTE> DataFormat48() {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.WaveFormatExt = Stereo48();
  std::vector<BYTE> bytes(sizeof f);
  std::memcpy(bytes.data(), &f, sizeof f);
  return bytes;
}

void CompletePending(NTSTATUS status, ULONG count) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (ULONG i = 0; i < count && g_pending.count; ++i) {
    PIRP irp = g_pending.Pop();
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // success sends the successor
  }
  KeLowerIrql(irql);
}

void BM_GetPosition(benchmark::State& state) {
  g_endpoint = 0x01;
  g_pending = Pending{};
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
  platform::clock::ScopedPlatformThread thread("bench");
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\benchlower");
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
  PDEVICE_OBJECT lower = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
  auto* device = new (NonPagedPool, kBenchTag) CEngineBenchDevice(nullptr, lower);
  static_cast<adapter::IUsbAudioDevice*>(device)->AddRef();
  IPortWaveCyclic* port = nullptr;
  adapter::CreateInstance<CBenchPort>(&port, nullptr, NonPagedPool, kBenchTag);

  PUNKNOWN unknown = nullptr;
  IMiniportWaveCyclic* miniport = nullptr;
  PMINIPORTWAVECYCLICSTREAM wave = nullptr;
  PDMACHANNEL dma = nullptr;
  PSERVICEGROUP group = nullptr;
  NTSTATUS status = device->Init(nullptr, nullptr, lower, nullptr);
  if (NT_SUCCESS(status)) status = filters::CreateMiniportWaveCyclic(&unknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0);
  if (NT_SUCCESS(status)) {
    miniport = static_cast<IMiniportWaveCyclic*>(unknown);
    status = miniport->Init(static_cast<adapter::IAudioHal*>(device), nullptr, port);
  }
  std::vector<BYTE> format = DataFormat48();
  if (NT_SUCCESS(status))
    status = miniport->NewStream(&wave, nullptr, NonPagedPool, 0, FALSE, reinterpret_cast<PKSDATAFORMAT>(format.data()),
                                 &dma, &group);
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
    if (NT_SUCCESS(status)) status = wave->SetState(s);
  if (NT_SUCCESS(status) && g_pending.count == 0) status = STATUS_UNSUCCESSFUL;
  // Two URBs played: the position has moved and the next one is playing.
  if (NT_SUCCESS(status)) CompletePending(STATUS_SUCCESS, 2);
  ULONG position = 0;
  if (NT_SUCCESS(status)) status = wave->GetPosition(&position);
  if (NT_SUCCESS(status) && position == 0) status = STATUS_UNSUCCESSFUL;

  if (!NT_SUCCESS(status)) {
    state.SkipWithError("the stream did not run");
  } else {
    for (auto _ : state) {
      wave->GetPosition(&position);
      benchmark::DoNotOptimize(position);
    }
  }

  // The queued URBs come back cancelled (no successor), then the stream stops.
  CompletePending(STATUS_CANCELLED, 16);
  if (wave) {
    for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) wave->SetState(s);
    if (group) group->Release();
    if (dma) dma->Release();
    wave->Release();
  }
  if (miniport) miniport->Release();
  port->Release();
  static_cast<adapter::IUsbAudioDevice*>(device)->Release();
  IoDeleteDevice(lower);
  platform::io::DeleteDriverObject(driver);
}
BENCHMARK(BM_GetPosition);

// A plain read of a position, as the floor of any position query.
void BM_BareRead(benchmark::State& state) {
  volatile ULONG position = 960;
  for (auto _ : state) {
    ULONG p = position;
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_BareRead);

}  // namespace

BENCHMARK_MAIN();
