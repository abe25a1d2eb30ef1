// The root device's USB connection: synchronous URBs, internal I/O controls, port
// recovery, descriptors and the bus interface.
#include "adapter/usb_audio_device.h"

#include "kernel/io.h"
#include "kernel/ke.h"
#include "usb/usbdlib.h"

namespace adapter {
namespace {

// Completion of a request its sender waits for: wakes the sender and keeps the IRP.
NTSTATUS SignalSender(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// Sets the IRP up as an internal device control for the next driver down, completing into
// Done (initialised here) so the sender can wait for it and keep the IRP.
void PrepareInternalIoctl(PIRP Irp, ULONG Code, PVOID Argument1, PKEVENT Done) {
  KeInitializeEvent(Done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = Code;
  next->Parameters.Others.Argument1 = Argument1;
  IoSetCompletionRoutine(Irp, SignalSender, Done, TRUE, TRUE, TRUE);
}

}  // namespace

STDMETHODIMP CUsbAudioDevice::SetDevicePresent(UCHAR Present) {
  m_bPresent = Present;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::CallDriver(PIRP Irp) { return IoCallDriver(m_pLowerDevice, Irp); }

STDMETHODIMP_(PIRP) CUsbAudioDevice::AllocateIrp() {
  return IoAllocateIrp(static_cast<CCHAR>(m_nIrpStackSize), FALSE);
}

STDMETHODIMP CUsbAudioDevice::FreeIrp(PIRP Irp) {
  IoFreeIrp(Irp);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CUsbAudioDevice::AddActivity() {
  return static_cast<ULONG>(InterlockedIncrement(&m_lActivity));
}

STDMETHODIMP_(ULONG) CUsbAudioDevice::ReleaseActivity() {
  return static_cast<ULONG>(InterlockedDecrement(&m_lActivity));
}

STDMETHODIMP CUsbAudioDevice::GetCurrentFrame(PULONG Frame) {
  if (!Frame) return STATUS_INVALID_PARAMETER;
  *Frame = 0;
  ULONG frame = 0;
  if (m_BusInterface.QueryBusTime && NT_SUCCESS(m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &frame)))
    *Frame = frame;
  // Callers read the frame, not the status: it has always been reported this way.
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP CUsbAudioDevice::SubmitUrbSync(PURB Urb) {
  if (!m_bPresent) return STATUS_UNSUCCESSFUL;
  PIRP irp = AllocateIrp();
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  PrepareInternalIoctl(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, &done);

  InterlockedIncrement(&m_lRequestsInProgress);
  NTSTATUS status = IoCallDriver(m_pLowerDevice, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout = RelativeMs(kSyncUrbTimeoutMs);
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      // The completion may be on its way already; either way the routine runs once and
      // signals, and the IRP is ours again only after that.
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  }
  // The IRP's status is final once the completion routine ran (it always runs).
  status = irp->IoStatus.Status;
  if (status == STATUS_DEVICE_NOT_CONNECTED) m_bPresent = 0;
  IoFreeIrp(irp);
  InterlockedDecrement(&m_lRequestsInProgress);
  return status;
}

NTSTATUS CUsbAudioDevice::SendIoctlSync(ULONG Code, PVOID Argument1) {
  PIRP irp = AllocateIrp();
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  PrepareInternalIoctl(irp, Code, Argument1, &done);
  NTSTATUS status = IoCallDriver(m_pLowerDevice, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS CUsbAudioDevice::QueryPortStatus(PULONG PortStatus) {
  *PortStatus = 0;
  return SendIoctlSync(IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

STDMETHODIMP_(bool) CUsbAudioDevice::CheckPort() {
  if (!m_bPresent) return true;
  m_PortMutex.Lock();
  ULONG port = 0;
  NTSTATUS status = QueryPortStatus(&port);
  if (NT_SUCCESS(status)) {
    if (!(port & USBD_PORT_CONNECTED)) m_bPresent = 0;
  } else if (status == STATUS_NO_SUCH_DEVICE) {
    LARGE_INTEGER delay = RelativeMs(kPortRetryDelayMs);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    status = QueryPortStatus(&port);
    if (NT_SUCCESS(status) && (port & USBD_PORT_CONNECTED)) {
      SendIoctlSync(IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
      // The function's power cycle runs under the port mutex, held here, as every power
      // change of the function does: it cannot interleave with one from the power path.
      // (The ASIO and power mutex comes before this one and must not be taken here: a
      // recovery gets here holding an engine mutex.)
      if (m_pFunctionPower) {
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        m_pFunctionPower->PowerChangeState(state);
        state.DeviceState = PowerDeviceD0;
        m_pFunctionPower->PowerChangeState(state);
      }
    } else if (NT_SUCCESS(status)) {
      m_bPresent = 0;
    } else {
      CyclePort();
    }
  } else {
    m_bPresent = 0;
  }
  m_PortMutex.Unlock();
  return !m_bPresent;
}

STDMETHODIMP_(bool) CUsbAudioDevice::CyclePort() {
  if (InterlockedExchange(&m_lPortCycled, 1) == 0) {
    SendIoctlSync(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
    m_bPresent = 0;
  }
  return !m_bPresent;
}

NTSTATUS CUsbAudioDevice::GetDescriptor(UCHAR Type, UCHAR Index, USHORT Language, PVOID Buffer, ULONG Bytes,
                                        PULONG Transferred) {
  if (Transferred) *Transferred = 0;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                                      kUsbDeviceBufferTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  auto& r = urb->UrbControlDescriptorRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.TransferBuffer = Buffer;
  r.TransferBufferLength = Bytes;
  r.DescriptorType = Type;
  r.Index = Index;
  r.LanguageId = Language;
  NTSTATUS status = SubmitUrbSync(urb);
  if (NT_SUCCESS(status) && Transferred) *Transferred = r.TransferBufferLength < Bytes ? r.TransferBufferLength : Bytes;
  ExFreePoolWithTag(urb, kUsbDeviceBufferTag);
  return status;
}

NTSTATUS CUsbAudioDevice::ReadDescriptors() {
  USB_DEVICE_DESCRIPTOR device{};
  ULONG got = 0;
  NTSTATUS status = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, sizeof device, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got < sizeof device) return STATUS_UNSUCCESSFUL;
  m_VendorId = device.idVendor;
  m_ProductId = device.idProduct;
  m_iManufacturer = device.iManufacturer;
  m_iProduct = device.iProduct;

  USB_CONFIGURATION_DESCRIPTOR head{};
  status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, sizeof head, &got);
  if (!NT_SUCCESS(status)) return status;
  if (got < sizeof head || head.wTotalLength < sizeof head) return STATUS_UNSUCCESSFUL;
  const ULONG total = head.wTotalLength;
  auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPool, total, kUsbDeviceBufferTag));
  if (!config) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(config, total);
  status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, total, &got);
  if (NT_SUCCESS(status) && got < sizeof head) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(config, kUsbDeviceBufferTag);
    return status;
  }
  // A device that sends less than it declares: every later parse stays within what came.
  if (got < config->wTotalLength) config->wTotalLength = static_cast<USHORT>(got);
  m_pConfiguration = config;
  m_nInterfaces = config->bNumInterfaces;
  return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioDevice::SelectConfiguration() {
  const ULONG wanted = m_nInterfaces;
  if (wanted == 0) return STATUS_UNSUCCESSFUL;
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(
      NonPagedPool, (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), kUsbDeviceBufferTag));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
  // Interface numbers may have gaps, and a descriptor may hold fewer interfaces than it
  // declares: the search ends at the last possible number.
  ULONG found = 0;
  for (ULONG number = 0; number <= 0xFF && found < wanted; ++number) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(m_pConfiguration, m_pConfiguration, static_cast<LONG>(number), 0, -1, -1, -1);
    if (d) list[found++].InterfaceDescriptor = d;
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PURB urb = found ? USBD_CreateConfigurationRequestEx(m_pConfiguration, list) : nullptr;
  if (found && !urb) status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb) {
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    for (ULONG i = 0; first && i < first->NumberOfPipes; ++i) {
      first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
      first->Pipes[i].PipeFlags = 0;
    }
    status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status)) {
      m_hConfiguration = urb->UrbSelectConfiguration.ConfigurationHandle;
      m_ppInterfaces = static_cast<PUSBD_INTERFACE_INFORMATION*>(
          ExAllocatePoolWithTag(NonPagedPool, found * sizeof(PUSBD_INTERFACE_INFORMATION), kUsbDeviceBufferTag));
      if (!m_ppInterfaces) status = STATUS_INSUFFICIENT_RESOURCES;
      for (ULONG i = 0; NT_SUCCESS(status) && i < found; ++i) {
        const PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, info->Length, kUsbDeviceBufferTag));
        if (!copy) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        RtlCopyMemory(copy, info, info->Length);
        m_ppInterfaces[m_nInterfaceCopies++] = copy;
      }
    }
    ExFreePool(urb);
  }
  ExFreePoolWithTag(list, kUsbDeviceBufferTag);
  return status;
}

NTSTATUS CUsbAudioDevice::QueryBusInterface() {
  PIRP irp = AllocateIrp();
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_BusInterface);
  IoSetCompletionRoutine(irp, SignalSender, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(m_pLowerDevice, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status) || !m_BusInterface.BusContext) {
    // Nothing was handed out that needs dropping unless the query succeeded.
    if (NT_SUCCESS(status) && m_BusInterface.InterfaceDereference)
      m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
    RtlZeroMemory(&m_BusInterface, sizeof m_BusInterface);
    return STATUS_UNSUCCESSFUL;
  }
  m_bHighSpeed = m_BusInterface.IsDeviceHighSpeed ? m_BusInterface.IsDeviceHighSpeed(m_BusInterface.BusContext) : 0;
  return STATUS_SUCCESS;
}

}  // namespace adapter
