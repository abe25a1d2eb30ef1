// The ASIO interface's I/O controls: decodes one request on an ASIO file object and
// calls the root device's IAsioPrivate. Returns the status for the IRP (Information set);
// STATUS_PENDING when the device kept the IRP, which it then completes itself. A code
// that is not one of the 22: STATUS_NOT_SUPPORTED.
#pragma once

#include "adapter/asio_private.h"

namespace entry {

NTSTATUS DispatchAsioDeviceControl(adapter::IAsioPrivate* Asio, PIRP Irp);

}  // namespace entry
