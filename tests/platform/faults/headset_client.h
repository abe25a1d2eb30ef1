// A client driver's view of the simulated headset on the bus port, shared by the planted
// fault tests: it configures the device, selects the streaming alternate setting and
// builds isochronous URBs (and their buffers) in pool memory.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/pool.h"
#include "test_support.h"
#include "usb/usb_port.h"
#include "usb/usbdlib.h"

namespace planted {

inline constexpr ULONG kTag = MakePoolTag('P', 'l', 'n', 't');

inline std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// ---------------------------------------------------------------------------------------
// A client of the simulated headset on the bus port: configures it, selects the
// streaming alternate setting and builds isochronous URBs in pool memory.

struct Waiter {
  KEVENT event;
  int calls = 0;
  Waiter() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
  void Wait() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
};

inline NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* w = static_cast<Waiter*>(context);
  ++w->calls;
  KeSetEvent(&w->event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct HeadsetClient {
  std::unique_ptr<sim::device::SimDevice> device = sim::device::test::Load("uac1-headset-A.txt");
  std::unique_ptr<platform::usb::UsbPort> port = std::make_unique<platform::usb::UsbPort>(device.get());
  std::vector<std::uint8_t> config;
  USBD_PIPE_HANDLE out = nullptr;

  HeadsetClient() {
    PURB select = sim::device::test::SelectDefaultsRequest(*device, config);
    EXPECT_EQ(SendAndWait(select), STATUS_SUCCESS);
    auto handle = select->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(select);
    std::vector<std::uint8_t> mem(GET_SELECT_INTERFACE_REQUEST_SIZE(2), 0);
    auto* si = reinterpret_cast<_URB_SELECT_INTERFACE*>(mem.data());
    si->Hdr.Length = static_cast<USHORT>(mem.size());
    si->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    si->ConfigurationHandle = handle;
    si->Interface.Length = static_cast<USHORT>(mem.size() - 32);
    si->Interface.InterfaceNumber = 1;
    si->Interface.AlternateSetting = 1;
    EXPECT_EQ(SendAndWait(reinterpret_cast<PURB>(si)), STATUS_SUCCESS);
    out = si->Interface.Pipes[0].PipeHandle;
  }
  ~HeadsetClient() { port.reset(); }

  PIRP Irp() const { return IoAllocateIrp(port->pdo()->StackSize, FALSE); }

  void Prepare(PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context) const {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
  }

  NTSTATUS SendAndWait(PURB urb) const {
    Waiter w;
    PIRP irp = Irp();
    Prepare(irp, urb, SignalAndKeep, &w);
    if (IofCallDriver(port->pdo(), irp) == STATUS_PENDING) w.Wait();
    NTSTATUS s = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return s;
  }

  // A ten-packet isochronous OUT URB in pool, with its transfer buffer in pool too.
  PURB IsoUrb(UCHAR** buffer) const {
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, GET_ISO_URB_SIZE(10), kTag));
    *buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 1760, kTag));
    std::memset(urb, 0, GET_ISO_URB_SIZE(10));
    std::memset(*buffer, 0, 1760);
    auto& r = urb->UrbIsochronousTransfer;
    r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(10));
    r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = out;
    r.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    r.TransferBuffer = *buffer;
    r.TransferBufferLength = 1760;
    r.NumberOfPackets = 10;
    for (ULONG i = 0; i < 10; ++i) r.IsoPacket[i].Offset = i * 176;
    return urb;
  }
};

}  // namespace planted
