// CPU time per millisecond of 48 kHz, 16-bit stereo render audio through the UAC 1.0
// render engine's send path: a completion at DISPATCH_LEVEL gives its transfer back and
// sends the successor (free slot, URB layout by the rate, zeroed buffer, the client's
// fill from a cyclic buffer, ProcessBuffer, IRP set-up and IoCallDriver), against a bare
// copy of the same bytes. The second argument puts one unity-gain object on the effect
// list, so ProcessBuffer converts to planar float and back. The device below is a stand-in that keeps each URB pending until
// the benchmark completes it, so the bus simulation is not part of the figure. Each
// iteration completes one URB: the counter "per_ms" is the time per millisecond of audio.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_stream_stand_in.h"
#include "stream/uac1_stream_engines.h"

namespace {

using namespace bench_stream;

void BM_RenderSendPath(benchmark::State& state) {
  const auto ms = static_cast<ULONG>(state.range(0));
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
  platform::clock::ScopedPlatformThread thread("bench");
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\benchlower");
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
  PDEVICE_OBJECT lower = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
  auto* device = new (NonPagedPool, kBenchTag) CBenchDevice(nullptr, lower);
  static_cast<adapter::IUsbAudioDevice*>(device)->AddRef();
  auto* engine = new (NonPagedPool, kBenchTag) stream::CUac1RenderStream(nullptr, kInterface, 0);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  engine->Init(adapter::STREAM_DIRECTION_RENDER, device);
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
  if (!NT_SUCCESS(engine->StartClient(record->Key, frame + 2, &granted, nullptr)) || g_pending.count != 3) {
    state.SkipWithError("the stream did not start");
  }

  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (auto _ : state) {
    PIRP irp = g_pending.Pop();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the completion sends the successor
  }
  KeLowerIrql(irql);
  state.counters["per_ms"] =
      benchmark::Counter(ms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

  // The queued URBs come back cancelled (no successor), then the client leaves.
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

// The same bytes copied once, as the floor of any send path.
void BM_BareCopy(benchmark::State& state) {
  const auto bytes = static_cast<size_t>(state.range(0)) * 192;
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

BENCHMARK(BM_RenderSendPath)->ArgsProduct({{1, 5, 10}, {0, 1}})->ArgNames({"ms", "object"});
BENCHMARK(BM_BareCopy)->Arg(1)->Arg(5)->Arg(10);

}  // namespace

BENCHMARK_MAIN();
