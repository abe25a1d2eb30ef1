#include "kernel/io.h"

#include <algorithm>
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
#include "sched.h"
#include "text.h"


using namespace platform::io::detail;
using platform::kernel_detail::Current;
using platform::kernel_detail::ThreadRec;

namespace {

using platform::verifier::Check;
using platform::verifier::Report;

std::string IrpText(PIRP irp) {
  char text[48];
  std::snprintf(text, sizeof text, "IRP %p", static_cast<void*>(irp));
  return text;
}



// IoSetCompletionRoutineEx: the caller's routine and the device it keeps referenced.
struct CompletionContext {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  PDEVICE_OBJECT device;
  UCHAR control;
};

// The caller's routine the thunk last ran on this context (ThreadRec::thunkRan; null: it
// did not run one), so findings about a completion routine name the caller's, not the thunk.

NTSTATUS CompletionThunk(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  auto* c = static_cast<CompletionContext*>(context);
  CompletionContext copy = *c;
  ExFreePoolWithTag(c, kCompletionContextTag);
  bool invoke = (NT_SUCCESS(irp->IoStatus.Status) && (copy.control & SL_INVOKE_ON_SUCCESS)) ||
                (!NT_SUCCESS(irp->IoStatus.Status) && (copy.control & SL_INVOKE_ON_ERROR)) ||
                (irp->Cancel && (copy.control & SL_INVOKE_ON_CANCEL));
  NTSTATUS status = STATUS_SUCCESS;
  Current()->thunkRan = nullptr;
  if (invoke) {
    status = copy.routine(deviceObject, irp, copy.context);
    Current()->thunkRan = reinterpret_cast<void*>(copy.routine);
  } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
    IoMarkIrpPending(irp);
  }
  ObDereferenceObject(copy.device);
  return status;
}


// Finishes a completed IRP the I/O manager built: results to the caller, then freed.
void FinishBuiltIrp(PIRP irp, const IrpRecord& r) {
  if (r.method == METHOD_BUFFERED && r.userOutput && irp->AssociatedIrp.SystemBuffer && CarriesData(irp->IoStatus.Status)) {
    ULONG_PTR n = irp->IoStatus.Information < r.outputLength ? irp->IoStatus.Information : r.outputLength;
    std::memcpy(r.userOutput, irp->AssociatedIrp.SystemBuffer, n);
  }
  if (irp->AssociatedIrp.SystemBuffer && r.method != METHOD_NEITHER) {
    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  if (irp->MdlAddress) {
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
  }
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  IoFreeIrp(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Driver and device objects

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG deviceCharacteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice", caller);
  if (!deviceObject) return STATUS_INVALID_PARAMETER;
  *deviceObject = nullptr;
  if (!driverObject) {
    Report(Check::InvalidArgument, "IoCreateDevice", "null driver object", caller);
    return STATUS_INVALID_PARAMETER;
  }
  size_t extensionOffset = Align16(sizeof(DEVICE_OBJECT));
  size_t userOffset = extensionOffset + Align16(sizeof(DEVOBJ_EXTENSION));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, deviceName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  platform::ob::CreateParams params;
  params.type = *IoDeviceObjectType;
  params.bodySize = userOffset + deviceExtensionSize;
  params.attributes = deviceName && deviceName->Length ? &oa : nullptr;
  params.initialize = [&](PVOID body) {
    auto* d = static_cast<DEVICE_OBJECT*>(body);
    auto* ext = reinterpret_cast<DEVOBJ_EXTENSION*>(static_cast<char*>(body) + extensionOffset);
    d->Type = IO_TYPE_DEVICE;
    d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + (deviceExtensionSize > 0xFFFF ? 0 : deviceExtensionSize));
    d->DriverObject = driverObject;
    d->Flags = DO_DEVICE_INITIALIZING | (params.attributes ? DO_DEVICE_HAS_NAME : 0) | (exclusive ? DO_EXCLUSIVE : 0);
    d->Characteristics = deviceCharacteristics;
    d->DeviceType = deviceType;
    d->StackSize = 1;
    d->DeviceExtension = deviceExtensionSize ? static_cast<char*>(body) + userOffset : nullptr;
    d->DeviceObjectExtension = ext;
    ext->Type = 13;
    ext->Size = sizeof(DEVOBJ_EXTENSION);
    ext->DeviceObject = d;
  };
  params.destroy = [](PVOID body) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.devices.erase(static_cast<PDEVICE_OBJECT>(body));
  };
  PVOID body = nullptr;
  NTSTATUS status = platform::ob::CreateObject(params, &body, caller);
  if (status == STATUS_OBJECT_NAME_EXISTS) {
    ObDereferenceObject(body);
    return STATUS_OBJECT_NAME_COLLISION;
  }
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<PDEVICE_OBJECT>(body);
  State& s = S();
  {
    std::lock_guard lock(s.mutex);
    s.devices[device] = DeviceRecord{};
    // New devices go to the front of the driver's list, as the kernel links them.
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
  }
  *deviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT deviceObject, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice", caller);
  State& s = S();
  void (*release)(PDEVICE_OBJECT) = nullptr;
  {
    std::unique_lock lock(s.mutex);
    auto it = s.devices.find(deviceObject);
    if (it == s.devices.end() || it->second.deleted) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoDeleteDevice", "not a live device object", caller);
      return;
    }
    it->second.deleted = true;
    release = it->second.extensionRelease;
    it->second.extensionRelease = nullptr;
    PDRIVER_OBJECT driver = deviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == deviceObject) {
        *link = deviceObject->NextDevice;
        break;
      }
    }
    deviceObject->NextDevice = nullptr;
    for (auto& i : s.interfaces) {
      if (i.pdo == deviceObject) {
        i.enabled = false;
        i.pdo = nullptr;
      }
    }
  }
  if (deviceObject->DeviceObjectExtension->AttachedTo) {
    Report(Check::InvalidArgument, "IoDeleteDevice", "device deleted while still attached to a lower device", caller);
  }
  if (deviceObject->AttachedDevice) {
    Report(Check::InvalidArgument, "IoDeleteDevice", "device deleted while another device is attached on top of it",
           caller);
  }
  if (release) release(deviceObject);
  ObDereferenceObject(deviceObject, caller);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT deviceObject) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  while (deviceObject && deviceObject->AttachedDevice) deviceObject = deviceObject->AttachedDevice;
  return deviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject) {
  PDEVICE_OBJECT top = nullptr;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    top = deviceObject;
    while (top && top->AttachedDevice) top = top->AttachedDevice;
  }
  if (top) ObReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT deviceObject) {
  PDEVICE_OBJECT lower = deviceObject ? deviceObject->DeviceObjectExtension->AttachedTo : nullptr;
  if (lower) ObReferenceObject(lower);
  return lower;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice,
                                           const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack", caller);
  if (!sourceDevice || !targetDevice) return nullptr;
  State& s = S();
  std::lock_guard lock(s.mutex);
  PDEVICE_OBJECT top = targetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  auto it = s.devices.find(top);
  if (it == s.devices.end() || it->second.deleted) return nullptr;
  top->AttachedDevice = sourceDevice;
  sourceDevice->DeviceObjectExtension->AttachedTo = top;
  sourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  sourceDevice->SectorSize = top->SectorSize;
  return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice,
                                         PDEVICE_OBJECT* attachedToDeviceObject, const std::source_location& caller) {
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(sourceDevice, targetDevice, caller);
  if (attachedToDeviceObject) *attachedToDeviceObject = lower;
  return lower ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

void IoDetachDevice(PDEVICE_OBJECT targetDevice, const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice", caller);
  if (!targetDevice) return;
  State& s = S();
  std::lock_guard lock(s.mutex);
  PDEVICE_OBJECT upper = targetDevice->AttachedDevice;
  if (!upper) return;
  upper->DeviceObjectExtension->AttachedTo = nullptr;
  targetDevice->AttachedDevice = nullptr;
}

// ---------------------------------------------------------------------------------------
// IRPs

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN, const std::source_location& caller) {
  if (stackSize < 1 || stackSize > IO_MAX_STACK_SIZE) {
    Report(Check::InvalidArgument, "IoAllocateIrp", "stack size " + std::to_string(stackSize) + " out of range",
           caller);
    return nullptr;
  }
  auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, IoSizeOfIrp(stackSize), kIrpTag, caller));
  if (!irp) return nullptr;
  IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize, caller);
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.irps[irp].fromPool = true;
  return irp;
}

void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize, const std::source_location& caller) {
  if (!irp || stackSize < 1 || packetSize < IoSizeOfIrp(stackSize)) {
    Report(Check::InvalidArgument, "IoInitializeIrp", "null IRP or packet too small for its stack", caller);
    return;
  }
  std::memset(static_cast<void*>(irp), 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  State& s = S();
  std::lock_guard lock(s.mutex);
  IrpRecord& r = s.irps[irp];
  r = IrpRecord{s.nextGeneration++, IrpState::Idle, r.fromPool, false, 0, nullptr, 0, 0, false};
}

void IoReuseIrp(PIRP irp, NTSTATUS status, const std::source_location& caller) {
  State& s = S();
  bool fromPool;
  {
    std::unique_lock lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it == s.irps.end()) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoReuseIrp", IrpText(irp) + " is not a live IRP", caller);
      return;
    }
    if (it->second.state == IrpState::Dispatched) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoReuseIrp", IrpText(irp) + " reused while a driver still owns it", caller);
      return;
    }
    if (!it->second.handedBack.empty()) {
      std::string why = it->second.handedBack;
      lock.unlock();
      Report(Check::IrpOwnership, "IoReuseIrp", IrpText(irp) + " reused after " + why, caller);
    }
    fromPool = it->second.fromPool;
  }
  UCHAR flags = irp->AllocationFlags;
  CCHAR stackSize = irp->StackCount;
  IoInitializeIrp(irp, IoSizeOfIrp(stackSize), stackSize, caller);
  irp->AllocationFlags = flags;
  irp->IoStatus.Status = status;
  std::lock_guard lock(s.mutex);
  s.irps[irp].fromPool = fromPool;
}

void IoFreeIrp(PIRP irp, const std::source_location& caller) {
  State& s = S();
  {
    std::unique_lock lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it == s.irps.end()) {
      lock.unlock();
      Report(Check::UnknownFree, "IoFreeIrp", IrpText(irp) + " was never allocated or is already freed", caller);
      return;
    }
    if (it->second.state == IrpState::Dispatched) {
      lock.unlock();
      // Left allocated: the driver that owns it will still touch it.
      Report(Check::IrpFreedInUse, "IoFreeIrp", IrpText(irp) + " freed while a driver still owns it", caller);
      return;
    }
    bool fromPool = it->second.fromPool;
    std::string handedBack = std::move(it->second.handedBack);
    s.irps.erase(it);
    if (!handedBack.empty()) {
      lock.unlock();
      Report(Check::IrpOwnership, "IoFreeIrp", IrpText(irp) + " freed after " + handedBack, caller);
      lock.lock();
    }
    if (!fromPool) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoFreeIrp", IrpText(irp) + " was not allocated by IoAllocateIrp", caller);
      return;
    }
  }
  if (irp->Cancel == FALSE && __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
    Report(Check::InvalidArgument, "IoFreeIrp", IrpText(irp) + " freed with a cancel routine set", caller);
  }
  ExFreePoolWithTag(irp, kIrpTag, caller);
}

void IoSetNextIrpStackLocation(PIRP irp, const std::source_location& caller) {
  if (irp->CurrentLocation <= 1) {
    Report(Check::InvalidArgument, "IoSetNextIrpStackLocation", IrpText(irp) + " has no more stack locations", caller);
    return;
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                  BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel) {
  auto* c = static_cast<CompletionContext*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(CompletionContext), kCompletionContextTag));
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  c->routine = routine;
  c->context = context;
  c->device = deviceObject;
  c->control = static_cast<UCHAR>((invokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) |
                                  (invokeOnError ? SL_INVOKE_ON_ERROR : 0) | (invokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
  ObReferenceObject(deviceObject);
  // The thunk always runs, so the context and the reference are always given back.
  IoSetCompletionRoutine(irp, CompletionThunk, c, TRUE, TRUE, TRUE);
  return STATUS_SUCCESS;
}

namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// The pending rule, as a dispatch routine returns: STATUS_PENDING only with the IRP
// marked pending, a marked IRP only with STATUS_PENDING, and a completed IRP with the
// status it completed with. An IRP still in flight is checked when its completion
// unwinds the location (a completion routine may mark it then). An IRP freed or reused
// meanwhile is not looked at.
void CheckPendingRule(PIRP irp, PIO_STACK_LOCATION stack, CCHAR location, std::uint64_t generation, NTSTATUS status,
                      const std::source_location& caller) {
  State& s = S();
  std::unique_lock lock(s.mutex);
  auto it = s.irps.find(irp);
  if (it == s.irps.end() || it->second.generation != generation) return;
  const IrpState state = it->second.state;
  if (state == IrpState::Completing) return;
  const bool marked = stack->Control & SL_PENDING_RETURNED;
  const bool completed = state == IrpState::Finished || state == IrpState::Stopped;
  std::string problem;
  if (status == STATUS_PENDING && !completed) {
    if (location >= 0 && location < 64) it->second.pendingReturned |= std::uint64_t{1} << location;
  } else if (status == STATUS_PENDING && !marked) {
    problem = " was returned with STATUS_PENDING without IoMarkIrpPending";
  } else if (status != STATUS_PENDING && marked) {
    problem = " was marked pending but its dispatch routine returned " + StatusText(status);
  } else if (status != STATUS_PENDING && completed && status != irp->IoStatus.Status) {
    problem = " completed with " + StatusText(irp->IoStatus.Status) + " but its dispatch routine returned " +
              StatusText(status);
  }
  if (problem.empty() || it->second.pendingRuleReported) return;
  it->second.pendingRuleReported = true;
  lock.unlock();
  Report(Check::PendingRule, "IofCallDriver", IrpText(irp) + problem, caller);
}

}  // namespace

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp, const std::source_location& caller) {
  if (!deviceObject || !irp) {
    Report(Check::InvalidArgument, "IofCallDriver", "null device object or IRP", caller);
    return STATUS_INVALID_PARAMETER;
  }
  platform::sched::Point("IofCallDriver");
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Report(Check::IrqlMisuse, "IofCallDriver", "called at IRQL " + std::to_string(irql), caller);
  }
  if (irp->CurrentLocation <= 1) {
    Report(Check::InvalidArgument, "IofCallDriver", IrpText(irp) + " has no more stack locations", caller);
    return STATUS_INVALID_PARAMETER;
  }
  State& s = S();
  std::uint64_t generation = 0;
  {
    std::unique_lock lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it == s.irps.end()) {
      lock.unlock();
      Report(Check::InvalidArgument, "IofCallDriver", IrpText(irp) + " is not a live IRP", caller);
      return STATUS_INVALID_PARAMETER;
    }
    if (it->second.state == IrpState::Finished) {
      const bool handedBack = !it->second.handedBack.empty();
      std::string why = handedBack ? " sent again after " + it->second.handedBack
                                   : " sent again after its completion finished (IoReuseIrp first)";
      lock.unlock();
      Report(handedBack ? Check::IrpOwnership : Check::InvalidArgument, "IofCallDriver", IrpText(irp) + why, caller);
      return STATUS_INVALID_PARAMETER;
    }
    if (it->second.state != IrpState::Dispatched) {
      it->second.state = IrpState::Dispatched;
      it->second.reentered = false;
      it->second.generation = s.nextGeneration++;
      it->second.pendingReturned = 0;
      it->second.pendingRuleReported = false;
      it->second.sentBy = caller;
    }
    generation = it->second.generation;
  }
  irp->CurrentLocation--;
  PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = deviceObject;
  PDRIVER_OBJECT driver = deviceObject->DriverObject;
  PDRIVER_DISPATCH dispatch = nullptr;
  if (driver && stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) dispatch = driver->MajorFunction[stack->MajorFunction];
  if (!dispatch) dispatch = InvalidDeviceRequest;
  const CCHAR location = irp->CurrentLocation;
  const UCHAR major = stack->MajorFunction;
  const NTSTATUS status = dispatch(deviceObject, irp);
  if (const KIRQL after = KeGetCurrentIrql(); after != irql) {
    Report(Check::IrqlNotRestored, "IofCallDriver",
           "dispatch routine " + platform::text::RoutineText(reinterpret_cast<const void*>(dispatch)) +
               " (major function " + std::to_string(major) + ") of device " +
               platform::text::RoutineText(deviceObject) + " was called at IRQL " + std::to_string(irql) +
               " and returned at IRQL " + std::to_string(after),
           caller);
  }
  CheckPendingRule(irp, stack, location, generation, status, caller);
  return status;
}

namespace {

// Completions running on this thread, each inside a completion routine of the one before.
// Past kMaxCompletionNesting a routine resubmitting into a driver that completes at once
// (a removed device) recurses without end: reported once per chain, naming the routine,
// and the completion that would nest deeper is stopped.
constexpr unsigned kMaxCompletionNesting = 16;
// The count is the context's (ThreadRec::completionDepth).
struct CompletionDepth {
  ThreadRec* t = Current();
  CompletionDepth() { ++t->completionDepth; }
  ~CompletionDepth() {
    if (--t->completionDepth == 0) t->nestingReported = false;
  }
};

// Reports a driver-allocated IRP whose completion routine let it go back to the I/O
// manager, and marks it so a later reuse, resend or free is reported too.
void HandBack(PIRP irp, std::uint64_t generation, PIO_COMPLETION_ROUTINE routine, NTSTATUS status,
              const std::source_location& caller) {
  const std::string routineText = platform::text::RoutineText(reinterpret_cast<const void*>(routine));
  const std::string why = "its completion routine " + routineText + " returned " + StatusText(status) +
                          " instead of STATUS_MORE_PROCESSING_REQUIRED (the IRP went back to the I/O manager)";
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it != s.irps.end() && it->second.generation == generation) {
      it->second.state = IrpState::Finished;
      it->second.handedBack = why;
    }
  }
  // The finding is the routine's: it names it as the caller, the completer in the detail.
  Report(Check::IrpOwnership, "IoCompleteRequest",
         IrpText(irp) + ", allocated by the driver, completed through: " + why + "; completed by " +
             platform::text::CallerText(caller.file_name(), caller.line(), caller.function_name()),
         "completion routine " + routineText);
}

}  // namespace

void IofCompleteRequest(PIRP irp, CCHAR, const std::source_location& caller) {
  platform::sched::Point("IoCompleteRequest");
  CompletionDepth depth;
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Report(Check::IrqlMisuse, "IoCompleteRequest", "called at IRQL " + std::to_string(irql), caller);
  }
  State& s = S();
  std::uint64_t generation;
  bool driverAllocated = false;
  bool reentry = false;  // this call completes the IRP again while an earlier routine runs
  {
    std::unique_lock lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it == s.irps.end()) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoCompleteRequest", IrpText(irp) + " is not a live IRP", caller);
      return;
    }
    IrpState state = it->second.state;
    if (state == IrpState::Completing && !it->second.reentered) {
      // A completion routine signalled its owner, which completes the IRP before the
      // routine has returned: the routine must return STATUS_MORE_PROCESSING_REQUIRED.
      it->second.reentered = true;
      reentry = true;
      it->second.uses.clear();
      generation = it->second.generation;
      driverAllocated = it->second.fromPool && !it->second.built;
    } else if (state == IrpState::Finished || state == IrpState::Completing) {
      lock.unlock();
      Report(Check::IrpCompletedTwice, "IoCompleteRequest",
             IrpText(irp) + (state == IrpState::Finished ? " was already completed"
                                                         : " completed again while its completion is running"),
             caller);
      return;
    }
    // Taken back by its owner's completion routine with every stack location used: no
    // driver owns it any more, so this is a second completion of the same request.
    if (state == IrpState::Stopped && irp->CurrentLocation > irp->StackCount) {
      lock.unlock();
      Report(Check::IrpCompletedTwice, "IoCompleteRequest",
             IrpText(irp) + " completed again after its completion routine took it back", caller);
      return;
    }
    else {
      it->second.state = IrpState::Completing;
      it->second.uses.clear();
      generation = it->second.generation;
      driverAllocated = it->second.fromPool && !it->second.built;
    }
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    Report(Check::InvalidArgument, "IoCompleteRequest", IrpText(irp) + " completed with STATUS_PENDING", caller);
  }
  // IoCancelIrp may exchange the routine on another processor at the same time.
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
    Report(Check::InvalidArgument, "IoCompleteRequest", IrpText(irp) + " completed with its cancel routine still set",
           caller);
  }
  std::uint64_t pendingReturned = 0;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it != s.irps.end()) {
      pendingReturned = it->second.pendingReturned;
      it->second.pendingReturned = 0;
    }
  }
  bool routineRan = false;
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    const CCHAR location = irp->CurrentLocation;
    if (location >= 0 && location < 64 && (pendingReturned >> location & 1) && !irp->PendingReturned) {
      pendingReturned = 0;
      {
        std::lock_guard lock(s.mutex);
        if (auto it = s.irps.find(irp); it != s.irps.end()) it->second.pendingRuleReported = true;
      }
      Report(Check::PendingRule, "IoCompleteRequest",
             IrpText(irp) +
                 (routineRan ? " was returned with STATUS_PENDING but the completion routine above did not mark it "
                               "pending (propagate PendingReturned or return STATUS_MORE_PROCESSING_REQUIRED)"
                             : " was returned with STATUS_PENDING without IoMarkIrpPending"),
             caller);
    }
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    UCHAR control = stack->Control;
    bool success = NT_SUCCESS(irp->IoStatus.Status);
    bool invoke = routine && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!success && (control & SL_INVOKE_ON_ERROR)) ||
                              (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                  ? nullptr
                                  : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      const KIRQL before = KeGetCurrentIrql();
      if (depth.t->completionDepth > kMaxCompletionNesting) {
        // As a bug check would, the finding ends the runaway chain: the routine does not
        // run and the IRP stays with its owner, so the nested calls unwind instead of
        // overflowing the stack.
        if (!depth.t->nestingReported) {
          depth.t->nestingReported = true;
          Report(Check::CompletionNesting, "IoCompleteRequest",
                 "completion routine " + platform::text::RoutineText(reinterpret_cast<const void*>(routine)) + " of " +
                     IrpText(irp) + " is about to run inside " + std::to_string(depth.t->completionDepth - 1) +
                     " nested completions on one thread (it resubmits into a driver that completes at once); "
                     "the completion stops here",
                 "completion routine " + platform::text::RoutineText(reinterpret_cast<const void*>(routine)));
        }
        std::lock_guard lock(s.mutex);
        auto it = s.irps.find(irp);
        if (it != s.irps.end() && it->second.generation == generation) it->second.state = IrpState::Stopped;
        return;
      }
      NTSTATUS status = routine(device, irp, stack->Context);
      routineRan = true;
      if (const KIRQL after = KeGetCurrentIrql(); after != before) {
        Report(Check::IrqlNotRestored, "IoCompleteRequest",
               "completion routine " + platform::text::RoutineText(reinterpret_cast<const void*>(routine)) + " of " +
                   IrpText(irp) + " was called at IRQL " + std::to_string(before) + " and returned at IRQL " +
                   std::to_string(after),
               caller);
      }
      PIO_COMPLETION_ROUTINE driverRoutine =
          routine == CompletionThunk ? reinterpret_cast<PIO_COMPLETION_ROUTINE>(depth.t->thunkRan) : routine;
      if (status != STATUS_MORE_PROCESSING_REQUIRED && !reentry) {
        // The owner took the IRP back while this routine ran, but the routine let the
        // completion go on: two completions now walk the same IRP.
        std::unique_lock lock(s.mutex);
        auto it = s.irps.find(irp);
        if (it != s.irps.end() && it->second.generation == generation && it->second.reentered) {
          lock.unlock();
          Report(Check::IrpCompletedTwice, "IoCompleteRequest",
                 IrpText(irp) + " completed again while its completion is running", caller);
          return;
        }
      }
      if (status != STATUS_MORE_PROCESSING_REQUIRED && device == nullptr && driverAllocated && driverRoutine) {
        // An IRP its driver allocated has no thread to go back to: the driver's completion
        // routine must take it back with STATUS_MORE_PROCESSING_REQUIRED. The driver may
        // already have freed or reused it (it thinks it owns it): the IRP is not read again.
        HandBack(irp, generation, driverRoutine, status, caller);
        return;
      }
      if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP is its owner's again, and may already be freed, reused or resent (its
        // owner may even be completing it already: then that completion moves it on).
        std::lock_guard lock(s.mutex);
        auto it = s.irps.find(irp);
        if (it != s.irps.end() && it->second.generation == generation && it->second.state == IrpState::Completing) {
          if (it->second.reentered && !reentry)
            it->second.reentered = false;
          else
            it->second.state = IrpState::Stopped;
        }
        return;
      }
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  IrpRecord record{};
  {
    std::lock_guard lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it == s.irps.end() || it->second.generation != generation) return;
    it->second.state = IrpState::Finished;
    record = it->second;
  }
  if (record.built) {
    FinishBuiltIrp(irp, record);
  } else if (irp->UserIosb) {
    *irp->UserIosb = irp->IoStatus;
  }
}

void IoAcquireCancelSpinLock(PKIRQL irql, const std::source_location& caller) {
  State& s = S();
  KeAcquireSpinLock(&s.cancelLock, irql, caller);
  s.cancelOwner.store(Current());
}

void IoReleaseCancelSpinLock(KIRQL irql, const std::source_location& caller) {
  State& s = S();
  s.cancelOwner.store(nullptr);
  KeReleaseSpinLock(&s.cancelLock, irql, caller);
}

BOOLEAN IoCancelIrp(PIRP irp, const std::source_location& caller) {
  State& s = S();
  {
    std::unique_lock lock(s.mutex);
    if (!s.irps.count(irp)) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoCancelIrp", IrpText(irp) + " is not a live IRP", caller);
      return FALSE;
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql, caller);
  irp->Cancel = TRUE;
  // The routine is taken and its owner checked in one step: another processor may
  // complete the IRP right after (a driver that ignores losing its routine), and the
  // routine then runs on an IRP that driver completed, as it would on a real system.
  PDRIVER_CANCEL routine = __atomic_exchange_n(&irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST);
  if (!routine) {
    // The owner took its routine back and may be completing the IRP right now: its
    // stack is no longer ours to read.
    platform::sched::Point("IoCancelIrp");
    IoReleaseCancelSpinLock(irql, caller);
    return FALSE;
  }
  const bool owned = irp->CurrentLocation <= irp->StackCount;
  PDEVICE_OBJECT device = owned ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
  platform::sched::Point("IoCancelIrp");
  if (!owned) {
    IoReleaseCancelSpinLock(irql, caller);
    Report(Check::InvalidArgument, "IoCancelIrp", IrpText(irp) + " has a cancel routine but no driver owns it",
           caller);
    return FALSE;
  }
  irp->CancelIrql = irql;
  routine(device, irp);
  if (s.cancelOwner.load() == Current()) {
    Report(Check::InvalidArgument, "IoCancelIrp", "the cancel routine returned holding the cancel spin lock", caller);
    IoReleaseCancelSpinLock(irql, caller);
  }
  return TRUE;
}

BOOLEAN IoIs32bitProcess(PIRP irp) {
  State& s = S();
  {
    std::lock_guard lock(s.mutex);
    auto it = irp ? s.irps.find(irp) : s.irps.end();
    if (it != s.irps.end() && it->second.caller32Bit >= 0) return it->second.caller32Bit ? TRUE : FALSE;
  }
  return s.caller32Bit.load() ? TRUE : FALSE;
}

namespace platform::io {

void SetIrpCaller32Bit(PIRP irp, bool is32Bit) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.irps.find(irp);
  if (it != s.irps.end()) it->second.caller32Bit = is32Bit ? 1 : 0;
}

}  // namespace platform::io

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock,
                                   const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest", caller);
  if (!deviceObject) return nullptr;
  PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
  switch (method) {
    case METHOD_BUFFERED: {
      ULONG size = inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
      if (size) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
        if (!irp->AssociatedIrp.SystemBuffer) {
          IoFreeIrp(irp);
          return nullptr;
        }
        std::memset(irp->AssociatedIrp.SystemBuffer, 0, size);
        if (inputBuffer && inputBufferLength)
          std::memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
      }
      irp->UserBuffer = outputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inputBuffer && inputBufferLength) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, inputBufferLength, kSystemBufferTag);
        if (!irp->AssociatedIrp.SystemBuffer) {
          IoFreeIrp(irp);
          return nullptr;
        }
        std::memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
      }
      if (outputBuffer && outputBufferLength) {
        PMDL mdl = IoAllocateMdl(outputBuffer, outputBufferLength, FALSE, FALSE, irp);
        if (!mdl) {
          if (irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
          IoFreeIrp(irp);
          return nullptr;
        }
        MmBuildMdlForNonPagedPool(mdl);
      }
      break;
    default:
      next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
      irp->UserBuffer = outputBuffer;
      break;
  }
  irp->RequestorMode = KernelMode;
  irp->UserIosb = ioStatusBlock;
  irp->UserEvent = event;
  State& s = S();
  std::lock_guard lock(s.mutex);
  IrpRecord& r = s.irps[irp];
  r.built = true;
  r.method = method;
  r.userOutput = outputBuffer;
  r.outputLength = outputBufferLength;
  return irp;
}
