// One transfer a status worker keeps pending on an IN pipe of the Audio Control
// interface: the IRP (from the root device object), its URB, the event its completion
// sets and the bytes it receives, in one non-paged block that lives until the transfer is
// back for good. The completion only sets the event (at DISPATCH_LEVEL); everything else
// runs in the worker thread.
#pragma once

#include "adapter/usb_audio_device.h"
#include "kernel/nt.h"
#include "usb/usbdi.h"

namespace uac {

struct StatusTransfer {
  KEVENT Done;  // notification; signalled while no transfer is outstanding
  URB Urb;
  PIRP Irp;
  USBD_PIPE_HANDLE Pipe;
  ULONG Capacity;
  ULONG Tag;
  bool Sent;
  UCHAR Data[1];  // Capacity bytes
};

// Allocates the block (tag `Tag`, `Capacity` bytes of data) and an IRP from the device.
// STATUS_INSUFFICIENT_RESOURCES when either is missing (nothing is kept).
NTSTATUS CreateStatusTransfer(adapter::IUsbAudioDevice* Device, USBD_PIPE_HANDLE Pipe, ULONG Capacity, ULONG Tag,
                              StatusTransfer** Transfer);
// Fills the URB (IN, short transfer OK, the whole buffer) and the IRP's next stack
// location again, clears the event and sends the IRP down. The status of the send: a
// failure means the transfer is already back (its completion has run).
NTSTATUS SendStatusTransfer(adapter::IUsbAudioDevice* Device, StatusTransfer* Transfer);
// The bytes the completed transfer brought: 0 unless it succeeded; never more than the
// buffer holds, whatever the URB claims.
ULONG StatusBytesReceived(const StatusTransfer* Transfer);
// Asks for a pending transfer back (it completes with STATUS_CANCELLED).
void CancelStatusTransfer(StatusTransfer* Transfer);
// Waits until no transfer is outstanding, then frees the IRP and the block.
void FreeStatusTransfer(adapter::IUsbAudioDevice* Device, StatusTransfer* Transfer);

}  // namespace uac
