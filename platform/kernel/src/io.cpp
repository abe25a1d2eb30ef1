#include "kernel/io.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "io_internal.h"
#include "kernel/device_registry.h"
#include "kernel/ke.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "kernel/verifier.h"
#include "text.h"

namespace {

using platform::verifier::Check;
using platform::verifier::Report;

constexpr ULONG kIrpTag = MakePoolTag('I', 'r', 'p', ' ');
constexpr ULONG kCompletionContextTag = MakePoolTag('I', 'o', 'C', 'x');
constexpr ULONG kSystemBufferTag = MakePoolTag('I', 'o', 'S', 'b');
constexpr ULONG kLinkTag = MakePoolTag('I', 'o', 'D', 'i');

enum class IrpState {
  Idle,        // allocated or reused, not sent
  Dispatched,  // owned by a driver below the sender
  Completing,  // completion routines are running
  Stopped,     // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
  Finished,    // every stack location completed
};

struct IrpRecord {
  std::uint64_t generation;
  IrpState state;
  bool fromPool;
  // Set by IoBuildDeviceIoControlRequest: the I/O manager finishes and frees the IRP.
  bool built;
  ULONG method;
  PVOID userOutput;
  ULONG outputLength;
  // Stack locations (bit = CurrentLocation) whose dispatch routine returned STATUS_PENDING
  // before the IRP completed: each must be marked pending when its completion unwinds.
  std::uint64_t pendingReturned;
  bool pendingRuleReported;  // one report per trip down the stack
};

struct DeviceRecord {
  bool deleted = false;
  std::u16string instancePath;
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
};

struct InterfaceRecord {
  GUID classGuid;
  std::u16string reference;
  std::u16string link;
  std::u16string upcasedLink;
  PDEVICE_OBJECT pdo;
  bool enabled;
};

struct State {
  std::mutex mutex;
  std::unordered_map<PIRP, IrpRecord> irps;
  std::uint64_t nextGeneration = 1;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
  ULONG nextInstance = 0;
  std::vector<InterfaceRecord> interfaces;
  std::atomic<bool> caller32Bit{false};
  KSPIN_LOCK cancelLock = 0;
  std::atomic<std::thread::id> cancelOwner{};
};

State& S() {
  static State* state = new State;
  return *state;
}

std::string IrpText(PIRP irp) {
  char text[48];
  std::snprintf(text, sizeof text, "IRP %p", static_cast<void*>(irp));
  return text;
}

size_t Align16(size_t n) { return (n + 15) & ~size_t{15}; }

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// IoSetCompletionRoutineEx: the caller's routine and the device it keeps referenced.
struct CompletionContext {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  PDEVICE_OBJECT device;
  UCHAR control;
};

NTSTATUS CompletionThunk(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  auto* c = static_cast<CompletionContext*>(context);
  CompletionContext copy = *c;
  ExFreePoolWithTag(c, kCompletionContextTag);
  bool invoke = (NT_SUCCESS(irp->IoStatus.Status) && (copy.control & SL_INVOKE_ON_SUCCESS)) ||
                (!NT_SUCCESS(irp->IoStatus.Status) && (copy.control & SL_INVOKE_ON_ERROR)) ||
                (irp->Cancel && (copy.control & SL_INVOKE_ON_CANCEL));
  NTSTATUS status = STATUS_SUCCESS;
  if (invoke) {
    status = copy.routine(deviceObject, irp, copy.context);
  } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
    IoMarkIrpPending(irp);
  }
  ObDereferenceObject(copy.device);
  return status;
}

std::u16string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

// Success, informational and warning statuses (STATUS_BUFFER_OVERFLOW among them) carry
// their data and byte count back to the caller; only errors do not.
bool CarriesData(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) != 3; }

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
  {
    std::unique_lock lock(s.mutex);
    auto it = s.devices.find(deviceObject);
    if (it == s.devices.end() || it->second.deleted) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoDeleteDevice", "not a live device object", caller);
      return;
    }
    it->second.deleted = true;
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
    s.irps.erase(it);
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
      lock.unlock();
      Report(Check::InvalidArgument, "IofCallDriver",
             IrpText(irp) + " sent again after its completion finished (IoReuseIrp first)", caller);
      return STATUS_INVALID_PARAMETER;
    }
    if (it->second.state != IrpState::Dispatched) {
      it->second.state = IrpState::Dispatched;
      it->second.generation = s.nextGeneration++;
      it->second.pendingReturned = 0;
      it->second.pendingRuleReported = false;
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
  const NTSTATUS status = dispatch(deviceObject, irp);
  CheckPendingRule(irp, stack, location, generation, status, caller);
  return status;
}

void IofCompleteRequest(PIRP irp, CCHAR, const std::source_location& caller) {
  platform::sched::Point("IoCompleteRequest");
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Report(Check::IrqlMisuse, "IoCompleteRequest", "called at IRQL " + std::to_string(irql), caller);
  }
  State& s = S();
  std::uint64_t generation;
  {
    std::unique_lock lock(s.mutex);
    auto it = s.irps.find(irp);
    if (it == s.irps.end()) {
      lock.unlock();
      Report(Check::InvalidArgument, "IoCompleteRequest", IrpText(irp) + " is not a live IRP", caller);
      return;
    }
    IrpState state = it->second.state;
    if (state == IrpState::Finished || state == IrpState::Completing) {
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
    it->second.state = IrpState::Completing;
    generation = it->second.generation;
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
      NTSTATUS status = routine(device, irp, stack->Context);
      routineRan = true;
      if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP is its owner's again, and may already be freed, reused or resent.
        std::lock_guard lock(s.mutex);
        auto it = s.irps.find(irp);
        if (it != s.irps.end() && it->second.generation == generation && it->second.state == IrpState::Completing)
          it->second.state = IrpState::Stopped;
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
  s.cancelOwner.store(std::this_thread::get_id());
}

void IoReleaseCancelSpinLock(KIRQL irql, const std::source_location& caller) {
  State& s = S();
  s.cancelOwner.store(std::thread::id{});
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
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql, caller);
    return FALSE;
  }
  if (irp->CurrentLocation > irp->StackCount) {
    IoReleaseCancelSpinLock(irql, caller);
    Report(Check::InvalidArgument, "IoCancelIrp", IrpText(irp) + " has a cancel routine but no driver owns it",
           caller);
    return FALSE;
  }
  irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
  if (s.cancelOwner.load() == std::this_thread::get_id()) {
    Report(Check::InvalidArgument, "IoCancelIrp", "the cancel routine returned holding the cancel spin lock", caller);
    IoReleaseCancelSpinLock(irql, caller);
  }
  return TRUE;
}

BOOLEAN IoIs32bitProcess(PIRP) { return S().caller32Bit.load() ? TRUE : FALSE; }

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

// ---------------------------------------------------------------------------------------
// Device interfaces

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName,
                                   const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface", caller);
  if (!physicalDeviceObject || !interfaceClassGuid || !symbolicLinkName) return STATUS_INVALID_PARAMETER;
  std::u16string reference = platform::text::FromUnicodeString(referenceString);
  if (reference.find(u'\\') != std::u16string::npos || reference.find(u'/') != std::u16string::npos)
    return STATUS_INVALID_DEVICE_REQUEST;
  State& s = S();
  std::u16string link;
  {
    std::lock_guard lock(s.mutex);
    auto dev = s.devices.find(physicalDeviceObject);
    if (dev == s.devices.end() || dev->second.deleted) return STATUS_INVALID_DEVICE_REQUEST;
    if (dev->second.instancePath.empty() && platform::pnp::IsRegistered(physicalDeviceObject)) {
      // A device Plug and Play knows is named by its Enum key's instance path.
      static constexpr std::u16string_view kEnumPrefix = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
      std::u16string enumPath = platform::pnp::EnumKeyPath(physicalDeviceObject);
      if (enumPath.size() > kEnumPrefix.size() &&
          platform::text::UpcaseString(enumPath.substr(0, kEnumPrefix.size())) ==
              platform::text::UpcaseString(std::u16string(kEnumPrefix)))
        dev->second.instancePath = enumPath.substr(kEnumPrefix.size());
    }
    if (dev->second.instancePath.empty()) {
      char text[32];
      std::snprintf(text, sizeof text, "ROOT\\PLATFORM\\%04u", s.nextInstance++);
      dev->second.instancePath.assign(text, text + std::strlen(text));
    }
    std::u16string path = dev->second.instancePath;
    for (auto& c : path)
      if (c == u'\\') c = u'#';
    link = u"\\??\\" + path + u"#" + GuidText(*interfaceClassGuid);
    if (!reference.empty()) link += u"\\" + reference;
    std::u16string upcased = platform::text::UpcaseString(link);
    bool known = false;
    for (auto& i : s.interfaces) {
      if (i.upcasedLink == upcased) {
        i.pdo = physicalDeviceObject;
        known = true;
      }
    }
    if (!known) {
      s.interfaces.push_back(
          InterfaceRecord{*interfaceClassGuid, reference, link, std::move(upcased), physicalDeviceObject, false});
    }
  }
  size_t bytes = link.size() * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kLinkTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  symbolicLinkName->Buffer = buffer;
  symbolicLinkName->Length = static_cast<USHORT>(bytes);
  symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable,
                                   const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", caller);
  if (!symbolicLinkName || !symbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
  std::u16string upcased = platform::text::UpcaseString(platform::text::FromUnicodeString(symbolicLinkName));
  State& s = S();
  std::lock_guard lock(s.mutex);
  for (auto& i : s.interfaces) {
    if (i.upcasedLink != upcased) continue;
    if (enable) {
      if (!i.pdo) return STATUS_INVALID_DEVICE_REQUEST;
      if (i.enabled) return STATUS_OBJECT_NAME_EXISTS;
      i.enabled = true;
      return STATUS_SUCCESS;
    }
    if (!i.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    i.enabled = false;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

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
  PVOID body = nullptr;
  if (!NT_SUCCESS(platform::ob::CreateObject(params, &body))) return nullptr;
  return static_cast<PFILE_OBJECT>(body);
}

void SetDeviceInstancePath(PDEVICE_OBJECT physicalDeviceObject, const char16_t* path) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.devices.find(physicalDeviceObject);
  if (it != s.devices.end()) it->second.instancePath = path ? path : u"";
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
