// Driver entry, add-device and the dispatch routines in front of PortCls.
#include "entry/driver_entry.h"

#include "adapter/usb_audio_device.h"
#include "adapter_gate.h"
#include "asio_dispatch.h"
#include "entry/driver_layers.h"
#include "kernel/rtl.h"
#include "subdevices.h"

namespace entry {
namespace {

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

bool IsAsioRequest(PIO_STACK_LOCATION Stack) {
  PFILE_OBJECT file = Stack ? Stack->FileObject : nullptr;
  if (!file || !file->FileName.Buffer) return false;
  UNICODE_STRING asio;
  RtlInitUnicodeString(&asio, kAsioFileName);
  return RtlEqualUnicodeString(&file->FileName, &asio, TRUE);
}

// The request is done with the root object before its IRP completes.
NTSTATUS LeaveAndComplete(CAdapterRequest& Request, PIRP Irp, NTSTATUS Status) {
  Request.Leave();
  return CompleteWith(Irp, Status);
}

// Create and close on the ASIO interface open and close an ASIO client of the root
// object; any other request is PortCls's.
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  adapter::DeviceExtension* extension = adapter::FindDeviceExtension(DeviceObject);
  if (!extension) return PcDispatchIrp(DeviceObject, Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  // The root object stays while this request is inside (a removal waits for it).
  CAdapterRequest request(extension);
  adapter::IAudioHal* hal = request.Adapter();
  if (stack) request.Wake();
  if (!IsAsioRequest(stack)) {
    request.Leave();
    return PcDispatchIrp(DeviceObject, Irp);
  }
  // Before the start and once the removal began there is no root object to ask.
  if (!hal) return LeaveAndComplete(request, Irp, STATUS_NO_SUCH_DEVICE);
  PVOID itf = nullptr;
  NTSTATUS status = hal->QueryInterface(adapter::IID_IAsioPrivate, &itf);
  if (NT_SUCCESS(status) && itf) {
    auto* asio = static_cast<adapter::IAsioPrivate*>(itf);
    status = stack->MajorFunction == IRP_MJ_CREATE ? asio->OpenClient(stack->FileObject)
                                                   : asio->CloseClient(stack->FileObject);
    asio->Release();
  }
  return LeaveAndComplete(request, Irp, NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  if (!RtlIsNtDdiVersionAvailable(kMinKernelVersion)) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = RegisterDriverLayers();
  if (!NT_SUCCESS(status)) return status;
  status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
  if (NT_SUCCESS(status)) {
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  }
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  if (!DriverObject || !PhysicalDeviceObject) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(PhysicalDeviceObject);
  NTSTATUS status =
      PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, adapter::kMaxSubdevices,
                         adapter::kDeviceExtensionSize);
  if (!NT_SUCCESS(status)) {
    if (lower) ObDereferenceObject(lower);
    return status;
  }
  PDEVICE_OBJECT fdo = IoGetAttachedDevice(PhysicalDeviceObject);
  adapter::DeviceExtension* extension = adapter::GetDeviceExtension(fdo);
  RtlZeroMemory(extension, sizeof *extension);
  extension->Fdo = fdo;
  extension->LowerDevice = lower;
  extension->Pdo = PhysicalDeviceObject;
  KeInitializeMutex(&extension->MiniportTeardownMutex, 0);

  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, kEnumReference);
  if (NT_SUCCESS(IoRegisterDeviceInterface(PhysicalDeviceObject, &adapter::GUID_ENUM_PRIVATE_INTERFACE, &reference,
                                           &extension->EnumLink)))
    extension->EnumLinkRegistered = 1;
  RtlInitUnicodeString(&reference, kAsioReference);
  status = IoRegisterDeviceInterface(PhysicalDeviceObject, &adapter::GUID_ASIO_PRIVATE_INTERFACE, &reference,
                                     &extension->AsioLink);
  if (NT_SUCCESS(status)) {
    extension->AsioLinkRegistered = 1;
    return status;
  }
  // A device that is not added leaves nothing behind: undo, last first, what was done.
  if (extension->EnumLinkRegistered) RtlFreeUnicodeString(&extension->EnumLink);
  RtlZeroMemory(extension, sizeof *extension);
  if (lower) IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  if (lower) ObDereferenceObject(lower);
  return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  adapter::DeviceExtension* extension = adapter::FindDeviceExtension(DeviceObject);
  if (!extension) return PcDispatchIrp(DeviceObject, Irp);
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  // Plug and Play requests come one at a time, and only they change the adapter field:
  // this one reads it without the gate. The request counts as in progress on the root
  // object until the object's part of it is done.
  adapter::IAudioHal* woken = minor != IRP_MN_START_DEVICE ? extension->Adapter : nullptr;
  if (woken) woken->WakeForRequest();

  switch (minor) {
    case IRP_MN_REMOVE_DEVICE: {
      DisableLinks(extension);
      FreeLinks(extension);
      // From here no create, close or I/O control finds the root object; those already
      // inside it finish first, so nothing below runs beside them.
      adapter::IAudioHal* hal = WithdrawAdapter(extension);
      if (hal) {
        hal->StopEntities();
        UnregisterWaveSubdevices(hal, extension->Fdo, true);
      }
      if (woken) woken->EndRequest();
      PDEVICE_OBJECT lower = extension->LowerDevice;
      // PortCls deletes the device: nothing of the extension is read after the call.
      NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
      if (!NT_SUCCESS(status)) {
        PublishAdapter(extension, hal);
        return status;
      }
      if (lower) ObDereferenceObject(lower);
      if (hal) {
        ReleaseTopologyPeers(hal);
        hal->Release();
      }
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL: {
      if (extension->Adapter) {
        extension->Adapter->StopEntities();
        UnregisterWaveSubdevices(extension->Adapter, extension->Fdo, false);
      }
      NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
      DisableLinks(extension);
      if (woken) woken->EndRequest();
      return status;
    }
    default: {
      const NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
      if (woken) woken->EndRequest();
      return status;
    }
  }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return DispatchCreateClose(DeviceObject, Irp); }

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return DispatchCreateClose(DeviceObject, Irp); }

// Every I/O control, KS requests included, first wakes a selectively suspended device: a
// pin that waited in PAUSE past the idle timer sends its RUN (which selects the streaming
// alternate setting) to a device that must be awake for it.
// Requests on the ASIO interface are the ASIO client's I/O controls.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  adapter::DeviceExtension* extension = adapter::FindDeviceExtension(DeviceObject);
  if (!extension) return PcDispatchIrp(DeviceObject, Irp);
  // The root object stays while this request is inside (a removal waits for it).
  CAdapterRequest request(extension);
  adapter::IAudioHal* hal = request.Adapter();
  request.Wake();
  if (!IsAsioRequest(IoGetCurrentIrpStackLocation(Irp))) {
    request.Leave();
    return PcDispatchIrp(DeviceObject, Irp);
  }
  Irp->IoStatus.Information = 0;
  if (!hal) return LeaveAndComplete(request, Irp, STATUS_NO_SUCH_DEVICE);
  PVOID itf = nullptr;
  if (!NT_SUCCESS(hal->QueryInterface(adapter::IID_IAsioPrivate, &itf)) || !itf)
    return LeaveAndComplete(request, Irp, STATUS_INVALID_PARAMETER);
  auto* asio = static_cast<adapter::IAsioPrivate*>(itf);
  const NTSTATUS status = DispatchAsioDeviceControl(asio, Irp);
  asio->Release();
  request.Leave();
  // A pending request (a parked Stop) is no longer ours to touch.
  if (status == STATUS_PENDING) return status;
  return CompleteWith(Irp, status);
}

}  // namespace entry
