// CPU time per millisecond of 8-channel 48 kHz 16-bit render audio through chip class A's
// render engine send path with its two processing objects, the jack-poll gain node (in
// the mode of the second argument: 0 pass, 1 a quarter, 2 silence) and the channel swap:
// a completion at DISPATCH_LEVEL sends the successor (URB layout, the client's fill,
// ProcessBuffer converting to planar float, both objects, and back), against a bare copy
// of the same bytes. Each iteration completes one URB of `ms` milliseconds; the counter
// "per_ms" is the time per millisecond of audio.
#include <benchmark/benchmark.h>

#include "kernel/sched.h"
#include "bench_stream_stand_in.h"
#include "stream/chip_a_render_stream.h"
#include "uac/chip_a_stream_nodes.h"

namespace {

using namespace bench_stream;

constexpr WORD kChannels = 8;
constexpr ULONG kFrameBytes = kChannels * 2;
constexpr ULONG kBytesPerMs = 48 * kFrameBytes;

WAVEFORMATEXTENSIBLE EightChannels48() {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = kChannels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = kFrameBytes;
  f.Format.nAvgBytesPerSec = 48000 * kFrameBytes;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = 0x63F;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

void BM_ChipARenderSendPath(benchmark::State& state) {
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
  auto* engine = new (NonPagedPool, kBenchTag) stream::CChipARenderStream(nullptr, kInterface, 0);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  // No chip function: the register writes belong to the allocation, not to the send path.
  engine->Init(adapter::STREAM_DIRECTION_RENDER, device, nullptr);
  const WAVEFORMATEXTENSIBLE format = EightChannels48();
  engine->AddStreamFormat(&format, 1);

  uac::CChipAGainNode* gain = nullptr;
  adapter::IDspNode* swap = nullptr;
  uac::CreateChipAGainNode(&gain);
  uac::CreateChipAChannelSwapNode(&swap);
  gain->SetMode(static_cast<ULONG>(state.range(1)));
  engine->AddDspNode(static_cast<adapter::IDspNode*>(gain));
  engine->AddDspNode(swap);
  engine->AllocStreamBuffers();

  CyclicClient client;
  client.dma.assign(kBytesPerMs * 40, 0);
  for (size_t i = 0; i < client.dma.size(); ++i) client.dma[i] = static_cast<UCHAR>(i * 31 + 7);
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
  static_cast<stream::IUsbStreamEngine*>(engine)->Release();
  gain->Release();
  swap->Release();
  static_cast<adapter::IUsbAudioDevice*>(device)->Release();
  IoDeleteDevice(lower);
  platform::io::DeleteDriverObject(driver);
}

// The same bytes copied once, as the floor of any send path.
void BM_BareCopy8Channels(benchmark::State& state) {
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

BENCHMARK(BM_ChipARenderSendPath)->ArgsProduct({{1, 10}, {0, 1, 2}})->ArgNames({"ms", "gain_mode"});
BENCHMARK(BM_BareCopy8Channels)->Arg(1)->Arg(10);

}  // namespace

BENCHMARK_MAIN();
