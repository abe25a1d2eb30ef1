// CPU time per millisecond of 48 kHz, 24-bit stereo ASIO render plus capture through the
// UAC 1.0 engines' send paths and the ASIO bridge: each iteration completes one render
// URB (its completion sends the successor, whose fill record copies out of the render
// ring) and one capture URB (its completion stores the packets, publishes them and the
// URB done, which the bridge copies into the capture ring and counts as a period, and
// sends the successor). A bare copy of the same bytes (both directions) stands beside it.
// The device below is a stand-in that keeps each URB pending until the benchmark
// completes it, so the bus simulation is not part of the figure. The counter "per_ms" is
// the time per millisecond of audio.
//
// A second benchmark prints the output latency in frames (the render lead plus one URB)
// for each latency index at 44.1, 48 and 96 kHz, beside the WaveCyclic stream's (three
// 5 ms URBs in flight, plus the one being filled).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "adapter/asio_streams.h"
#include "adapter/audio_hal.h"
#include "adapter/capability_record.h"
#include "adapter/object_model.h"
#include "adapter/usb_audio_device.h"
#include "kernel/clock.h"
#include "kernel/io.h"
#include "kernel/nt.h"
#include "stream/uac1_stream_engines.h"

namespace {

constexpr ULONG kBenchTag = MakePoolTag('B', 'a', 's', 'o');
constexpr UCHAR kRenderInterface = 1, kCaptureInterface = 2;
constexpr ULONG kFrameBytes = 6;           // 24-bit stereo
constexpr ULONG kBytesPerMs = 48 * kFrameBytes;

// Control interface 0; streaming interfaces 1 (OUT 0x01) and 2 (IN 0x82), each with an
// idle setting and one 48 kHz stereo 24-bit setting.
std::vector<UCHAR> Configuration() {
  std::vector<UCHAR> c = {9, 2, 0, 0, 3, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 1, 1, 0, 0};
  for (UCHAR itf : {kRenderInterface, kCaptureInterface}) {
    const UCHAR ep = itf == kRenderInterface ? 0x01 : 0x82;
    const std::vector<UCHAR> d = {9, 4, itf, 0, 0, 1, 2, 0, 0, 9, 4, itf, 1, 1, 1, 2, 0, 0,
                                  9, 5, ep, 0x05, 0x40, 0x01, 1, 0, 0};
    c.insert(c.end(), d.begin(), d.end());
  }
  c[2] = static_cast<UCHAR>(c.size());
  return c;
}

// The URBs the device holds, oldest first, per direction.
struct Pending {
  PIRP irps[32];
  unsigned head = 0, count = 0;
  void Push(PIRP irp) { irps[(head + count++) % 32] = irp; }
  PIRP Pop() {
    PIRP irp = irps[head];
    head = (head + 1) % 32;
    --count;
    return irp;
  }
} g_render, g_capture;

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE) {
    auto& info = urb->UrbSelectInterface.Interface;
    info.NumberOfPipes = info.AlternateSetting ? 1 : 0;
    if (info.NumberOfPipes) {
      const UCHAR ep = info.InterfaceNumber == kRenderInterface ? 0x01 : 0x82;
      info.Pipes[0] = {320, ep, 1, UsbdPipeTypeIsochronous, reinterpret_cast<USBD_PIPE_HANDLE>(0x1000 + ep), 4096, 0};
    }
  }
  if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(irp);
  ((urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? g_capture : g_render).Push(irp);
  return STATUS_PENDING;
}

// The root device's USB face with two ASIO-capable engines.
class CBenchDevice : public adapter::IUsbAudioDevice, public adapter::CAudioHal {
 public:
  CBenchDevice(PUNKNOWN outer, PDEVICE_OBJECT lower) : CAudioHal(outer), m_pLower(lower), m_Config(Configuration()) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IUsbAudioDevice))
      return adapter::ReturnInterface<adapter::IUsbAudioDevice>(this, object);
    return CAudioHal::NonDelegatingQueryInterface(iid, object);
  }
  using CAudioHal::AddStreamEngine;
  STDMETHODIMP ProbeDevice() override { return STATUS_SUCCESS; }
  STDMETHODIMP BuildTopology() override { return STATUS_SUCCESS; }
  STDMETHODIMP GetEngineCapabilityRecord(ULONG, adapter::EndpointCapabilityRecord* Record) override {
    *Record = {};
    Record->FeatureFlags = adapter::ENDPOINT_FEATURE_ASIO;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Config.data());
  }
  STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override {
    return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x100);
  }
  STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return 0; }
  STDMETHODIMP SetDevicePresent(UCHAR) override { return STATUS_SUCCESS; }
  STDMETHODIMP CallDriver(PIRP irp) override { return IoCallDriver(m_pLower, irp); }
  STDMETHODIMP SubmitUrbSync(PURB urb) override {
    PIRP irp = AllocateIrp();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(m_pLower, irp);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
  }
  STDMETHODIMP GetCurrentFrame(PULONG frame) override {
    *frame = 100;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(PIRP) AllocateIrp() override { return IoAllocateIrp(m_pLower->StackSize + 1, FALSE); }
  STDMETHODIMP FreeIrp(PIRP irp) override {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(UCHAR) IsHighSpeed() override { return 0; }
  STDMETHODIMP_(bool) CheckPort() override { return false; }
  STDMETHODIMP_(bool) CyclePort() override { return false; }
  STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDevice() override { return m_pLower; }
  STDMETHODIMP_(ULONG) AddActivity() override { return 1; }
  STDMETHODIMP_(ULONG) ReleaseActivity() override { return 0; }
  STDMETHODIMP CreateFunction() override { return STATUS_SUCCESS; }

 private:
  PDEVICE_OBJECT m_pLower;
  std::vector<UCHAR> m_Config;
};

WAVEFORMATEXTENSIBLE Stereo48x24() {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 24;
  f.Format.nBlockAlign = kFrameBytes;
  f.Format.nAvgBytesPerSec = 48000 * kFrameBytes;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 24;
  f.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// Completes the oldest URB of a direction; a capture URB comes back with every packet full.
void CompleteOne(Pending& pending, bool capture) {
  PIRP irp = pending.Pop();
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (capture) {
    auto& r = urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < r.NumberOfPackets; ++i) {
      r.IsoPacket[i].Length = kBytesPerMs;
      r.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);  // the completion sends the successor
}

void BM_AsioRenderCapture(benchmark::State& state) {
  const auto period = static_cast<ULONG>(state.range(0));
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
  platform::clock::ScopedPlatformThread thread("bench");
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\benchasio");
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
  PDEVICE_OBJECT lower = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
  auto* device = new (NonPagedPool, kBenchTag) CBenchDevice(nullptr, lower);
  static_cast<adapter::IUsbAudioDevice*>(device)->AddRef();
  device->Init(nullptr, lower, lower, lower);
  const WAVEFORMATEXTENSIBLE format = Stereo48x24();
  auto* render = new (NonPagedPool, kBenchTag) stream::CUac1RenderStream(nullptr, kRenderInterface, 0);
  auto* capture = new (NonPagedPool, kBenchTag) stream::CUac1CaptureStream(nullptr, kCaptureInterface, 0);
  for (stream::CUsbStreamEngine* e : {static_cast<stream::CUsbStreamEngine*>(render),
                                      static_cast<stream::CUsbStreamEngine*>(capture)}) {
    static_cast<stream::IUsbStreamEngine*>(e)->AddRef();
    e->Init(e == render ? adapter::STREAM_DIRECTION_RENDER : adapter::STREAM_DIRECTION_CAPTURE, device);
    e->AddStreamFormat(&format, 1);
    device->AddStreamEngine(e);
  }

  auto* asio = new (NonPagedPool, kBenchTag) adapter::CAsioStreams;
  asio->Init(device, device, false);
  const adapter::AsioChannelPair pairs[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
  KEVENT period_event;
  KeInitializeEvent(&period_event, SynchronizationEvent, FALSE);
  NTSTATUS status = asio->CreateRings({adapter::kAsioModePcm, 48000, 17, period}, pairs, 4);
  if (NT_SUCCESS(status)) status = asio->OpenAsioStreams();
  if (NT_SUCCESS(status)) status = asio->StartAsioStreaming();
  if (NT_SUCCESS(status)) asio->ResetAsioChannels(&period_event);
  if (!NT_SUCCESS(status) || !g_render.count || !g_capture.count) {
    std::fprintf(stderr, "status %x render %u capture %u engines %u\n", static_cast<unsigned>(status), g_render.count, g_capture.count, device->GetEngineCount());
    state.SkipWithError("ASIO streaming did not start");
  }
  const ULONG ms = adapter::SizeAsioStream(period, 48).MsPerUrb;

  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if (NT_SUCCESS(status)) {
    for (auto _ : state) {
      CompleteOne(g_render, false);
      CompleteOne(g_capture, true);
    }
  }
  KeLowerIrql(irql);
  // Every completion reached its ring: the figure is of the real bridge, not of records
  // it ignored.
  for (ULONG i = 0; i < asio->ChannelCount(); ++i)
    if (NT_SUCCESS(status) && asio->Channel(i).Periods != state.iterations())
      state.SkipWithError("a ring missed completions");
  state.counters["per_ms"] =
      benchmark::Counter(ms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

  // The queued URBs come back cancelled (no successor), then ASIO leaves.
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (Pending* p : {&g_render, &g_capture}) {
    while (p->count) {
      PIRP irp = p->Pop();
      irp->IoStatus.Status = STATUS_CANCELLED;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
  }
  KeLowerIrql(irql);
  asio->StopAsioStreaming();
  asio->TakePeriodEvent();
  asio->CloseAsioStreams();
  asio->FreeRings();
  delete asio;
  static_cast<stream::IUsbStreamEngine*>(render)->Release();
  static_cast<stream::IUsbStreamEngine*>(capture)->Release();
  static_cast<adapter::IUsbAudioDevice*>(device)->Release();
  IoDeleteDevice(lower);
  platform::io::DeleteDriverObject(driver);
}
// Periods of 2, 10 and 20 ms: 1, 2 and 5 ms URBs.
BENCHMARK(BM_AsioRenderCapture)->Arg(96)->Arg(480)->Arg(960);

// The same bytes copied once in each direction, as the floor of any bridge.
void BM_BareCopy(benchmark::State& state) {
  const auto bytes = static_cast<size_t>(state.range(0)) * kBytesPerMs;
  std::vector<UCHAR> from(bytes, 0x5A), to(bytes), in(bytes, 0x3C), ring(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    std::memcpy(ring.data(), in.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::DoNotOptimize(ring.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_ms"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareCopy)->Arg(1)->Arg(2)->Arg(5);

// The output latency table: frames between the client's write at the render position and
// the device, i.e. the lead plus the URB being filled, per latency index, beside the
// WaveCyclic stream's three 5 ms URBs in flight plus one.
void BM_OutputLatencyTable(benchmark::State& state) {
  constexpr ULONG kLatencyMs[] = {2, 4, 6, 8, 10, 20, 30, 40, 50};
  for (auto _ : state) {
  }
  std::printf("\nOutput latency in frames (lead + one URB), ASIO by latency index vs WaveCyclic\n");
  std::printf("%-6s %-8s", "index", "ms");
  for (ULONG rate : {44100u, 48000u, 96000u}) std::printf(" %10u Hz", rate);
  std::printf("\n");
  for (ULONG i = 0; i < 9; ++i) {
    std::printf("%-6u %-8u", i, kLatencyMs[i]);
    for (ULONG rate : {44100u, 48000u, 96000u}) {
      const ULONG units = adapter::AsioUnitsPerMs(adapter::kAsioModePcm, rate);
      const ULONG period = kLatencyMs[i] * units;  // GetBufferSize's preferred frames
      const adapter::AsioStreamSizing s = adapter::SizeAsioStream(period, units);
      const ULONG oneUrb = s.MsPerUrb * units;
      const adapter::AsioRenderStart start = adapter::AsioRenderReset(0x7FFFFFFF, oneUrb, s.Count);
      std::printf(" %13u", start.Lead + oneUrb);
    }
    std::printf("\n");
  }
  std::printf("%-15s", "WaveCyclic");
  for (ULONG rate : {44100u, 48000u, 96000u}) std::printf(" %13u", (3 + 1) * 5 * (rate / 1000));
  std::printf("\n");
}
BENCHMARK(BM_OutputLatencyTable)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
