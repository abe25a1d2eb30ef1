// I/O manager services for tests and simulators: playing the I/O and PnP manager.
#include "kernel/io.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "io_internal.h"
#include "io_state.h"
#include "kernel/device_registry.h"
#include "kernel/ke.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "kernel/verifier.h"
#include "text.h"


using namespace platform::io::detail;
using platform::verifier::Check;
using platform::verifier::Report;

// ---------------------------------------------------------------------------------------
// Test and simulator services

namespace platform::io {

PDRIVER_OBJECT CreateDriverObject(const char16_t* name) {
  size_t length = name ? std::char_traits<char16_t>::length(name) : 0;
  size_t extensionOffset = Align16(sizeof(DRIVER_OBJECT));
  size_t nameOffset = extensionOffset + Align16(sizeof(DRIVER_EXTENSION));
  platform::ob::CreateParams params;
  params.type = *IoDriverObjectType;
  params.bodySize = nameOffset + (length + 1) * sizeof(WCHAR);
  params.initialize = [&](PVOID body) {
    auto* d = static_cast<DRIVER_OBJECT*>(body);
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = reinterpret_cast<DRIVER_EXTENSION*>(static_cast<char*>(body) + extensionOffset);
    d->DriverExtension->DriverObject = d;
    auto* text = reinterpret_cast<WCHAR*>(static_cast<char*>(body) + nameOffset);
    if (length) std::memcpy(text, name, length * sizeof(WCHAR));
    text[length] = 0;
    d->DriverName = UNICODE_STRING{static_cast<USHORT>(length * sizeof(WCHAR)),
                                   static_cast<USHORT>((length + 1) * sizeof(WCHAR)), text};
    for (auto& f : d->MajorFunction) f = InvalidDeviceRequest;
  };
  PVOID body = nullptr;
  if (!NT_SUCCESS(platform::ob::CreateObject(params, &body))) return nullptr;
  return static_cast<PDRIVER_OBJECT>(body);
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  if (!driver) return;
  if (driver->DeviceObject) {
    Report(Check::LeakAtTeardown, "DeleteDriverObject", "driver object deleted while it still has device objects");
  }
  ObDereferenceObject(driver);
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const char16_t* fileName) {
  size_t length = fileName ? std::char_traits<char16_t>::length(fileName) : 0;
  size_t nameOffset = Align16(sizeof(FILE_OBJECT));
  platform::ob::CreateParams params;
  params.type = *IoFileObjectType;
  params.bodySize = nameOffset + (length + 1) * sizeof(WCHAR);
  params.initialize = [&](PVOID body) {
    auto* f = static_cast<FILE_OBJECT*>(body);
    f->Type = IO_TYPE_FILE;
    f->Size = sizeof(FILE_OBJECT);
    f->DeviceObject = device;
    auto* text = reinterpret_cast<WCHAR*>(static_cast<char*>(body) + nameOffset);
    if (length) std::memcpy(text, fileName, length * sizeof(WCHAR));
    text[length] = 0;
    f->FileName = UNICODE_STRING{static_cast<USHORT>(length * sizeof(WCHAR)),
                                 static_cast<USHORT>((length + 1) * sizeof(WCHAR)), text};
  };
  // The file object holds its device object until it is gone (after its close).
  params.destroy = [](PVOID body) { FileObjectGone(static_cast<PFILE_OBJECT>(body)); };
  if (device) ObReferenceObject(device);
  PVOID body = nullptr;
  if (!NT_SUCCESS(platform::ob::CreateObject(params, &body))) {
    if (device) ObDereferenceObject(device);
    return nullptr;
  }
  return static_cast<PFILE_OBJECT>(body);
}

void SetDeviceInstancePath(PDEVICE_OBJECT physicalDeviceObject, const char16_t* path) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(physicalDeviceObject);
  if (it != s.devices.end()) it->second.instancePath = path ? path : u"";
}

void SetExtensionRelease(PDEVICE_OBJECT device, void (*release)(PDEVICE_OBJECT)) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(device);
  if (it != s.devices.end() && !it->second.deleted) it->second.extensionRelease = release;
}

std::vector<DeviceInterface> DeviceInterfaces(const GUID* classGuid) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  std::vector<DeviceInterface> out;
  for (const auto& i : s.interfaces) {
    if (classGuid && !IsEqualGUID(*classGuid, i.classGuid)) continue;
    out.push_back(DeviceInterface{i.classGuid, i.reference, i.link, i.pdo, i.enabled});
  }
  return out;
}

void ResetDeviceInterfaces() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.interfaces.clear();
}

IO_STATUS_BLOCK SendSynchronousRequest(PDEVICE_OBJECT device, PFILE_OBJECT fileObject,
                                       const std::function<void(PIRP irp, PIO_STACK_LOCATION stack)>& prepare,
                                       KPROCESSOR_MODE requestorMode) {
  IO_STATUS_BLOCK result{};
  result.Status = STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  if (!top) {
    result.Status = STATUS_INVALID_PARAMETER;
    return result;
  }
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) {
    ObDereferenceObject(top);
    return result;
  }
  irp->RequestorMode = requestorMode;
  irp->Tail.Overlay.OriginalFileObject = fileObject;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->FileObject = fileObject;
  if (prepare) prepare(irp, stack);
  irp->IoStatus.Status =
      (stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER) ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(top, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  result = irp->IoStatus;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return result;
}

NTSTATUS DeviceIoControl(PDEVICE_OBJECT device, PFILE_OBJECT fileObject, ULONG ioControlCode, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength, ULONG_PTR* bytesReturned,
                         KPROCESSOR_MODE requestorMode) {
  if (bytesReturned) *bytesReturned = 0;
  const bool buffered = METHOD_FROM_CTL_CODE(ioControlCode) != METHOD_NEITHER;
  PVOID systemBuffer = nullptr;
  ULONG size = inputLength > outputLength ? inputLength : outputLength;
  if (buffered && size) {
    systemBuffer = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
    if (!systemBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(systemBuffer, 0, size);
    if (input && inputLength) std::memcpy(systemBuffer, input, inputLength);
  }
  IO_STATUS_BLOCK status = SendSynchronousRequest(
      device, fileObject,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if (buffered) {
          irp->AssociatedIrp.SystemBuffer = systemBuffer;
        } else {
          stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        }
        irp->UserBuffer = output;
      },
      requestorMode);
  ULONG_PTR returned = status.Information < outputLength ? status.Information : outputLength;
  if (buffered && systemBuffer && output && CarriesData(status.Status)) std::memcpy(output, systemBuffer, returned);
  if (systemBuffer) ExFreePoolWithTag(systemBuffer, kSystemBufferTag);
  if (bytesReturned) *bytesReturned = CarriesData(status.Status) ? returned : 0;
  return status.Status;
}

void SetCallerIs32Bit(bool is32Bit) { S().caller32Bit.store(is32Bit); }

size_t LiveIrpCount() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  size_t n = 0;
  for (const auto& [irp, r] : s.irps) n += r.fromPool ? 1 : 0;
  return n;
}

}  // namespace platform::io
