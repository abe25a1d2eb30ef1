// CPU time per millisecond of 48 kHz, 16-bit stereo audio through the UAC 2.0 engines:
// - render: a completion at DISPATCH_LEVEL gives its transfer back and sends the
//   successor laid out at the measured rate (the client's fill from a cyclic buffer,
//   ProcessBuffer, IRP set-up and IoCallDriver); the OUT endpoint has no feedback pipe;
// - capture: a completion takes its full packets (48 frames each) into the ring, hands the
//   URB's bytes to the client (copied into a cyclic buffer as the WaveCyclic stream does)
//   and sends the transfer again;
// each beside a bare copy of the same bytes. The stand-in root device carries one clock
// entity (a rate control node) that clocks the interface, so the engines' rate request
// has its clock. Its bus keeps each URB pending until the benchmark completes it, so the
// bus simulation is not part of the figure. Each iteration completes one URB: the counter
// "per_ms" is the time per millisecond of audio.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_stream_stand_in.h"
#include "stream/uac2_stream_engines.h"
#include "uac/path_nodes.h"

namespace {

using namespace bench_stream;

constexpr ULONG kClockId = 40;
constexpr ULONG kBytesPerMs = 48 * 4;

// The stand-in root device with its entity list holding the clock of the interface.
class CClockedBenchDevice : public CBenchDevice {
 public:
  using CBenchDevice::CBenchDevice;
  STDMETHODIMP ProbeDevice() override {
    auto* clock = new (NonPagedPool, kBenchTag) uac::CClockRateControl(nullptr, kClockId);
    if (!clock) return STATUS_INSUFFICIENT_RESOURCES;
    clock->AddRef();
    const ULONG rate = 48000;
    NTSTATUS status = clock->SetRates(1, &rate);
    if (NT_SUCCESS(status)) status = AddEntity(clock);
    clock->Release();  // the list keeps its own reference
    return status;
  }
};

// The driver object, the lower device and the clocked root device of one run.
struct Rig {
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  CClockedBenchDevice* device = nullptr;

  explicit Rig(UCHAR endpoint) {
    g_endpoint = endpoint;
    g_pending = Pending{};
    platform::clock::Reset();
    platform::clock::SetHangLimit(0);
    driver = platform::io::CreateDriverObject(u"\\Driver\\benchlower");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    device = new (NonPagedPool, kBenchTag) CClockedBenchDevice(nullptr, lower);
    static_cast<adapter::IUsbAudioDevice*>(device)->AddRef();
  }
  bool Init() { return NT_SUCCESS(device->Init(nullptr, nullptr, lower, nullptr)); }
  ~Rig() {
    static_cast<adapter::IUsbAudioDevice*>(device)->Release();
    IoDeleteDevice(lower);
    platform::io::DeleteDriverObject(driver);
  }
};

// The URBs still pending come back cancelled (no successor).
void CancelPending() {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  while (g_pending.count) {
    PIRP irp = g_pending.Pop();
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  KeLowerIrql(irql);
}

// Registers, prepares and starts the client at the prepared frame + 2, as the WaveCyclic
// stream does; false when the stream did not start.
bool Start(stream::CUsbStreamEngine* engine, const WAVEFORMATEXTENSIBLE& format, ULONG ms, CyclicClient& client,
           stream::PSTREAMCLIENTRECORD* record) {
  ULONG granted = 0, frame = 0;
  if (!NT_SUCCESS(engine->RegisterClient(3, &format, ms, 3, CyclicClient::Fill, &client, record))) return false;
  if (!NT_SUCCESS(engine->PrepareClient((*record)->Key, &granted, &frame))) return false;
  return NT_SUCCESS(engine->StartClient((*record)->Key, frame + 2, &granted, nullptr)) && g_pending.count > 0;
}

void Stop(stream::CUsbStreamEngine* engine, stream::PSTREAMCLIENTRECORD record) {
  if (!record) return;
  engine->StopClient(record->Key, nullptr);
  engine->UnprepareClient(record->Key);
  engine->UnregisterClient(record->Key);
}

void BM_Uac2RenderSendPath(benchmark::State& state) {
  const auto ms = static_cast<ULONG>(state.range(0));
  platform::clock::ScopedPlatformThread thread("bench");
  Rig rig(0x01);
  if (!rig.Init()) return state.SkipWithError("the root device did not start");
  auto* engine = new (NonPagedPool, kBenchTag) stream::CUac2RenderStream(nullptr, kInterface, 0, kClockId);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  engine->Init(adapter::STREAM_DIRECTION_RENDER, rig.device);
  const WAVEFORMATEXTENSIBLE format = Stereo48();
  engine->AddStreamFormat(&format, 1);

  CyclicClient client;
  stream::PSTREAMCLIENTRECORD record = nullptr;
  const bool started = Start(engine, format, ms, client, &record);
  if (!started) state.SkipWithError("the stream did not start");

  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if (started) {
    for (auto _ : state) {
      if (g_pending.count == 0) {
        state.SkipWithError("no URB pending");
        break;
      }
      PIRP irp = g_pending.Pop();
      auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);  // the completion sends the successor
    }
  }
  KeLowerIrql(irql);
  // Every URB sent was filled by the client.
  if (started && client.filled < static_cast<ULONGLONG>(state.iterations()) * ms * kBytesPerMs)
    state.SkipWithError("the client filled less than the device took");
  state.counters["per_ms"] =
      benchmark::Counter(ms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

  CancelPending();
  Stop(engine, record);
  static_cast<stream::IUsbStreamEngine*>(engine)->Release();
}

void BM_Uac2CaptureReceivePath(benchmark::State& state) {
  const auto ms = static_cast<ULONG>(state.range(0));
  platform::clock::ScopedPlatformThread thread("bench");
  Rig rig(0x81);
  if (!rig.Init()) return state.SkipWithError("the root device did not start");
  auto* engine = new (NonPagedPool, kBenchTag) stream::CUac2CaptureStream(nullptr, kInterface, 0, kClockId);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  engine->Init(adapter::STREAM_DIRECTION_CAPTURE, rig.device);
  const WAVEFORMATEXTENSIBLE format = Stereo48();
  engine->AddStreamFormat(&format, 1);

  CyclicClient client;
  stream::PSTREAMCLIENTRECORD record = nullptr;
  const bool started = Start(engine, format, ms, client, &record);
  if (!started) state.SkipWithError("the stream did not start");

  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if (started) {
    for (auto _ : state) {
      if (g_pending.count == 0) {
        state.SkipWithError("no URB pending");
        break;
      }
      PIRP irp = g_pending.Pop();
      auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
      auto& iso = urb->UrbIsochronousTransfer;
      for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        iso.IsoPacket[i].Length = kBytesPerMs;
        iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
      }
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);  // the completion sends the transfer again
    }
  }
  KeLowerIrql(irql);
  // Every millisecond completed reached the client.
  if (started && client.stored < static_cast<ULONGLONG>(state.iterations()) * ms * kBytesPerMs)
    state.SkipWithError("the client received less than the device sent");
  state.counters["per_ms"] =
      benchmark::Counter(ms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

  CancelPending();
  Stop(engine, record);
  static_cast<stream::IUsbStreamEngine*>(engine)->Release();
}

// The same bytes copied once, as the floor of either path.
void BM_BareCopy(benchmark::State& state) {
  const auto bytes = static_cast<size_t>(state.range(0)) * kBytesPerMs;
  std::vector<UCHAR> from(bytes, 0x5A), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_ms"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

BENCHMARK(BM_Uac2RenderSendPath)->Arg(1)->Arg(5)->Arg(10)->ArgName("ms");
BENCHMARK(BM_Uac2CaptureReceivePath)->Arg(1)->Arg(5)->Arg(10)->ArgName("ms");
BENCHMARK(BM_BareCopy)->Arg(1)->Arg(5)->Arg(10);

}  // namespace

BENCHMARK_MAIN();
