// I/O manager: power IRPs and the power state recorded per device.
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
#include "kernel/workitem.h"
#include "text.h"


using namespace platform::io::detail;

// ---------------------------------------------------------------------------------------
// Power

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irpOut) {
  if (!deviceObject) return STATUS_INVALID_PARAMETER;
  if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER && minorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER;
  struct Request {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
  };
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  auto* request = static_cast<Request*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Request), MakePoolTag('P', 'o', 'R', 'q')));
  if (!irp || !request) {
    if (irp) IoFreeIrp(irp);
    if (request) ExFreePool(request);
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *request = Request{deviceObject, minorFunction, powerState, completionFunction, context};
  // The IRP's own first location belongs to the power manager, for the completion.
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = deviceObject;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minorFunction;
  if (minorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = powerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = powerState;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        auto* r = static_cast<Request*>(context);
        Request copy = *r;
        ExFreePool(r);
        IO_STATUS_BLOCK status = irp->IoStatus;
        if (copy.completion) copy.completion(copy.device, copy.minor, copy.state, copy.context, &status);
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      request, TRUE, TRUE, TRUE);
  if (irpOut) *irpOut = irp;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    // Device stacks handle power at PASSIVE_LEVEL: a request made from a DPC or a
    // completion routine is sent from a system worker, as the power manager does.
    PIO_WORKITEM item = IoAllocateWorkItem(top);
    if (!item) {
      IoFreeIrp(irp);
      ExFreePool(request);
      ObDereferenceObject(top);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Tail.Overlay.DriverContext[3] = item;
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID context) {
          auto* irp = static_cast<PIRP>(context);
          auto* item = static_cast<PIO_WORKITEM>(irp->Tail.Overlay.DriverContext[3]);
          irp->Tail.Overlay.DriverContext[3] = nullptr;
          IoFreeWorkItem(item);
          IofCallDriver(device, irp);
          ObDereferenceObject(device);
        },
        DelayedWorkQueue, irp);
    return STATUS_PENDING;
  }
  IofCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE previous{};
  if (type == DevicePowerState) {
    previous.DeviceState = platform::io::detail::SetDevicePowerState(deviceObject, state.DeviceState);
  } else {
    previous.SystemState = platform::io::detail::SetSystemPowerState(deviceObject, state.SystemState);
  }
  return previous;
}

namespace {
std::atomic<ULONG> gStartNextPowerIrp{0};
}

void PoStartNextPowerIrp(PIRP) { gStartNextPowerIrp.fetch_add(1); }

namespace platform::po {
DEVICE_POWER_STATE DevicePowerState(PDEVICE_OBJECT device) { return platform::io::detail::GetDevicePowerState(device); }
ULONG StartNextPowerIrpCount() { return gStartNextPowerIrp.load(); }
}  // namespace platform::po

namespace platform::io::detail {

DEVICE_POWER_STATE SetDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(device);
  if (it == s.devices.end()) return PowerDeviceUnspecified;
  DEVICE_POWER_STATE previous = it->second.devicePower;
  it->second.devicePower = state;
  return previous;
}

DEVICE_POWER_STATE GetDevicePowerState(PDEVICE_OBJECT device) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(device);
  return it == s.devices.end() ? PowerDeviceUnspecified : it->second.devicePower;
}

SYSTEM_POWER_STATE SetSystemPowerState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(device);
  if (it == s.devices.end()) return PowerSystemUnspecified;
  SYSTEM_POWER_STATE previous = it->second.systemPower;
  it->second.systemPower = state;
  return previous;
}

}  // namespace platform::io::detail
