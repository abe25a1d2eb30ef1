#include "status_transfer.h"

#include <cstddef>

#include "kernel/io.h"
#include "kernel/ke.h"
#include "usb/usbioctl.h"

namespace uac {
namespace {

// The transfer is back: wake the worker and keep the IRP for the next transfer.
NTSTATUS SyncIrpCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CreateStatusTransfer(adapter::IUsbAudioDevice* Device, USBD_PIPE_HANDLE Pipe, ULONG Capacity, ULONG Tag,
                              StatusTransfer** Transfer) {
  *Transfer = nullptr;
  const SIZE_T bytes = offsetof(StatusTransfer, Data) + Capacity;
  auto* t = static_cast<StatusTransfer*>(ExAllocatePoolWithTag(NonPagedPool, bytes, Tag));
  if (!t) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(t, bytes);
  KeInitializeEvent(&t->Done, NotificationEvent, TRUE);
  t->Pipe = Pipe;
  t->Capacity = Capacity;
  t->Tag = Tag;
  t->Irp = Device->AllocateIrp();
  if (!t->Irp) {
    ExFreePoolWithTag(t, Tag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *Transfer = t;
  return STATUS_SUCCESS;
}

NTSTATUS SendStatusTransfer(adapter::IUsbAudioDevice* Device, StatusTransfer* Transfer) {
  if (Transfer->Sent) IoReuseIrp(Transfer->Irp, STATUS_NOT_SUPPORTED);
  RtlZeroMemory(&Transfer->Urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  auto& r = Transfer->Urb.UrbBulkOrInterruptTransfer;
  r.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.PipeHandle = Transfer->Pipe;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  r.TransferBufferLength = Transfer->Capacity;
  r.TransferBuffer = Transfer->Data;

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Transfer->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &Transfer->Urb;
  IoSetCompletionRoutine(Transfer->Irp, SyncIrpCompletion, &Transfer->Done, TRUE, TRUE, TRUE);
  KeClearEvent(&Transfer->Done);
  Transfer->Sent = true;
  return Device->CallDriver(Transfer->Irp);
}

ULONG StatusBytesReceived(const StatusTransfer* Transfer) {
  if (!NT_SUCCESS(Transfer->Irp->IoStatus.Status)) return 0;
  const ULONG moved = Transfer->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
  return moved < Transfer->Capacity ? moved : Transfer->Capacity;
}

void CancelStatusTransfer(StatusTransfer* Transfer) {
  // A transfer already back needs nothing; one on its way back completes either way.
  if (Transfer->Sent && !KeReadStateEvent(&Transfer->Done)) IoCancelIrp(Transfer->Irp);
}

void FreeStatusTransfer(adapter::IUsbAudioDevice* Device, StatusTransfer* Transfer) {
  KeWaitForSingleObject(&Transfer->Done, Executive, KernelMode, FALSE, nullptr);
  Device->FreeIrp(Transfer->Irp);
  ExFreePoolWithTag(Transfer, Transfer->Tag);
}

}  // namespace uac
