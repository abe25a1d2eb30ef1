// CPU time per millisecond of 48 kHz, 16-bit stereo capture audio through the UAC 1.0
// capture engine's receive path: a completion at DISPATCH_LEVEL takes its packets into
// the ring, hands every whole frame to the client (ProcessBuffer, then the capture
// record, copied into a cyclic buffer as the WaveCyclic stream does) and sends the
// transfer again, against a bare copy of the same bytes. The second argument puts one
// unity-gain object on the effect list. The device below keeps each URB pending until
// the benchmark completes it with full packets (48 frames each), so the bus simulation is
// not part of the figure. Each iteration completes one URB: the counter "per_ms" is the
// time per millisecond of audio.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_stream_stand_in.h"
#include "stream/uac1_stream_engines.h"

namespace {

using namespace bench_stream;

constexpr ULONG kBytesPerMs = 48 * 4;

void BM_CaptureReceivePath(benchmark::State& state) {
  const auto ms = static_cast<ULONG>(state.range(0));
  g_endpoint = 0x81;
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
  platform::clock::ScopedPlatformThread thread("bench");
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\benchlower");
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
  PDEVICE_OBJECT lower = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
  auto* device = new (NonPagedPool, kBenchTag) CBenchDevice(nullptr, lower);
  static_cast<adapter::IUsbAudioDevice*>(device)->AddRef();
  auto* engine = new (NonPagedPool, kBenchTag) stream::CUac1CaptureStream(nullptr, kInterface, 0);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  engine->Init(adapter::STREAM_DIRECTION_CAPTURE, device);
  const WAVEFORMATEXTENSIBLE format = Stereo48();
  engine->AddStreamFormat(&format, 1);
  adapter::IDspNode* node = nullptr;
  if (state.range(1)) {
    adapter::CreateInstance<CUnityNode>(&node, nullptr, NonPagedPool, kBenchTag);
    engine->AddFirstEffectNode(node);
  }

  CyclicClient client;
  stream::PSTREAMCLIENTRECORD record = nullptr;
  ULONG granted = 0, frame = 0;
  engine->RegisterClient(3, &format, ms, 3, CyclicClient::Fill, &client, &record);
  engine->PrepareClient(record->Key, &granted, &frame);
  if (!NT_SUCCESS(engine->StartClient(record->Key, frame + 2, &granted, nullptr)) || g_pending.count == 0) {
    state.SkipWithError("the stream did not start");
  }

  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
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
  KeLowerIrql(irql);
  // Every millisecond completed reached the client.
  if (client.stored < static_cast<ULONGLONG>(state.iterations()) * ms * kBytesPerMs)
    state.SkipWithError("the client received less than the device sent");
  state.counters["per_ms"] =
      benchmark::Counter(ms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  while (g_pending.count) {
    PIRP irp = g_pending.Pop();
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  KeLowerIrql(irql);
  engine->StopClient(record->Key, nullptr);
  engine->UnprepareClient(record->Key);
  engine->UnregisterClient(record->Key);
  if (node) {
    engine->RemoveFirstEffectNode(node);
    node->Release();
  }
  static_cast<stream::IUsbStreamEngine*>(engine)->Release();
  static_cast<adapter::IUsbAudioDevice*>(device)->Release();
  IoDeleteDevice(lower);
  platform::io::DeleteDriverObject(driver);
}

// The same bytes copied once, as the floor of any receive path.
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

BENCHMARK(BM_CaptureReceivePath)->ArgsProduct({{1, 5, 10}, {0, 1}})->ArgNames({"ms", "object"});
BENCHMARK(BM_BareCopy)->Arg(1)->Arg(5)->Arg(10);

}  // namespace

BENCHMARK_MAIN();
