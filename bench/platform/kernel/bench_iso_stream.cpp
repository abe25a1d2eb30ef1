// Cost of the host controller's isochronous round trip on the platform clock: two IRPs
// carrying ten-packet ASAP isochronous OUT URBs resubmit themselves from their completion
// routines (as the driver's stream does), one second of bus time per iteration. Each
// completion crosses the bus thread, DISPATCH_LEVEL and a re-entrant IofCallDriver, so
// this is the rate that decides how long a streaming test takes.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/nt.h"
#include "kernel/sched.h"
#include "sim/device/sim_device.h"
#include "usb/usb_port.h"
#include "usb/usbdlib.h"

namespace {

using platform::clock::kTicksPerMillisecond;

std::unique_ptr<sim::device::SimDevice> LoadHeadset() {
  std::ifstream in(std::string(UA_DEVICE_DUMPS_DIR) + "/uac1-headset-A.txt", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::unique_ptr<sim::device::SimDevice> device;
  std::string error;
  if (!sim::device::SimDevice::FromDumpText(text.str(), {}, device, error)) return nullptr;
  return device;
}

struct Waiter {
  KEVENT event;
  Waiter() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<Waiter*>(context)->event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

// Sends one URB and waits for it; the IRP's status.
NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PVOID urb) {
  Waiter w;
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, &Waiter::Done, &w, TRUE, TRUE, TRUE);
  if (IofCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&w.event, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

USBD_PIPE_HANDLE OpenRenderPipe(const sim::device::SimDevice& device, PDEVICE_OBJECT pdo) {
  auto bytes = device.Configuration();
  std::vector<std::uint8_t> config(bytes.begin(), bytes.end());
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (auto& i : device.descriptors().interfaces())
    list.push_back({USBD_ParseConfigurationDescriptorEx(c, c, i.number, 0, -1, -1, -1), nullptr});
  list.push_back({nullptr, nullptr});
  PURB select = USBD_CreateConfigurationRequestEx(c, list.data());
  SubmitAndWait(pdo, select);
  USBD_CONFIGURATION_HANDLE handle = select->UrbSelectConfiguration.ConfigurationHandle;
  ExFreePool(select);
  std::vector<std::uint8_t> mem(GET_SELECT_INTERFACE_REQUEST_SIZE(2), 0);
  auto* si = reinterpret_cast<_URB_SELECT_INTERFACE*>(mem.data());
  si->Hdr.Length = static_cast<USHORT>(mem.size());
  si->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  si->ConfigurationHandle = handle;
  si->Interface.Length = static_cast<USHORT>(mem.size() - 32);
  si->Interface.InterfaceNumber = 1;
  si->Interface.AlternateSetting = 1;
  SubmitAndWait(pdo, si);
  return si->Interface.Pipes[0].PipeHandle;
}

struct Slot {
  PDEVICE_OBJECT pdo = nullptr;
  PIRP irp = nullptr;
  std::vector<std::uint8_t> urb = std::vector<std::uint8_t>(GET_ISO_URB_SIZE(10), 0);
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(1800, 0);
  USBD_PIPE_HANDLE pipe = nullptr;
  long completions = 0;
  NTSTATUS last = STATUS_SUCCESS;
  bool stop = false;
  KEVENT idle;

  void Build() {
    std::fill(urb.begin(), urb.end(), 0);
    auto& r = reinterpret_cast<PURB>(urb.data())->UrbIsochronousTransfer;
    r.Hdr.Length = static_cast<USHORT>(urb.size());
    r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    r.TransferBuffer = buffer.data();
    r.TransferBufferLength = 9 * 176 + 180;  // 44.1 kHz, 16-bit stereo: one 45-frame packet in ten
    r.NumberOfPackets = 10;
    // OUT packets are sized by their offsets.
    for (ULONG i = 0; i < 10; ++i) r.IsoPacket[i].Offset = i * 176;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb.data();
    IoSetCompletionRoutine(irp, &Slot::Done, this, TRUE, TRUE, TRUE);
  }
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* s = static_cast<Slot*>(context);
    ++s->completions;
    s->last = irp->IoStatus.Status;
    if (!s->stop && NT_SUCCESS(irp->IoStatus.Status)) {
      IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
      s->Build();
      IofCallDriver(s->pdo, irp);
    } else {
      KeSetEvent(&s->idle, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

void BM_IsochronousStream(benchmark::State& state) {
  platform::clock::Reset();
  platform::sched::Configure({.seed = static_cast<std::uint64_t>(state.range(0))});
  {
    platform::clock::ScopedPlatformThread thread("bench");
    auto device = LoadHeadset();
    if (!device) {
      state.SkipWithError("device dump not found");
      return;
    }
    platform::usb::UsbPort port(device.get());
    USBD_PIPE_HANDLE pipe = OpenRenderPipe(*device, port.pdo());
    Slot slots[2];
    for (auto& s : slots) {
      s.pdo = port.pdo();
      s.irp = IoAllocateIrp(port.pdo()->StackSize, FALSE);
      s.pipe = pipe;
      KeInitializeEvent(&s.idle, NotificationEvent, FALSE);
      s.Build();
      IofCallDriver(port.pdo(), s.irp);
    }
    for (auto _ : state) {
      platform::clock::SleepFor(1000 * kTicksPerMillisecond);
      if (!NT_SUCCESS(slots[0].last) || !NT_SUCCESS(slots[1].last)) {
        state.SkipWithError("the stream stopped");
        break;
      }
    }
    for (auto& s : slots) {
      s.stop = true;
      IoCancelIrp(s.irp);
      KeWaitForSingleObject(&s.idle, Executive, KernelMode, FALSE, nullptr);
      IoFreeIrp(s.irp);
    }
    state.counters["urb/s"] =
        benchmark::Counter(static_cast<double>(slots[0].completions + slots[1].completions), benchmark::Counter::kIsRate);
  }
  platform::sched::Configure({});
}
// Argument: the scheduler seed (0: no preemption). Wall time: the work runs on the bus
// thread, not the benchmark thread.
BENCHMARK(BM_IsochronousStream)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
