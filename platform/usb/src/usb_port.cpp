#include "usb/usb_port.h"

#include <cstring>

#include "kernel/mm.h"
#include "kernel/po.h"
#include "kernel/verifier.h"

namespace platform::usb {
namespace {

constexpr LONGLONG kTicksPerMicroframe = 1250;  // 125 us in 100 ns units
// What the hub answers a transfer for a device that is not powered (in D1 to D3, which
// includes a selectively suspended one).
constexpr NTSTATUS kStatusDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3u);

// The port a device object belongs to.
UsbPort*& PortOf(PDEVICE_OBJECT device) { return *static_cast<UsbPort**>(device->DeviceExtension); }

// The bus owns DriverContext while it holds an IRP: slot 0 keeps the request's id.
void SetId(PIRP irp, std::uint64_t id) { irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(id)); }
std::uint64_t IdOf(PIRP irp) { return reinterpret_cast<std::uintptr_t>(irp->Tail.Overlay.DriverContext[0]); }
// Slot 1 counts the two parties of a cancelled request: the bus's completion and the
// cancel routine. Whichever of them comes second completes the IRP, so the cancel
// routine never runs on an IRP that is already back with its sender.
void ResetArrivals(PIRP irp) {
  __atomic_store_n(reinterpret_cast<std::uintptr_t*>(&irp->Tail.Overlay.DriverContext[1]), 0, __ATOMIC_SEQ_CST);
}
bool ArriveSecond(PIRP irp) {
  return __atomic_add_fetch(reinterpret_cast<std::uintptr_t*>(&irp->Tail.Overlay.DriverContext[1]), 1,
                            __ATOMIC_SEQ_CST) == 2;
}

}  // namespace

UsbPort::UsbPort(BusDevice* device, HostController::Options options) {
  KeInitializeEvent(&kick_, SynchronizationEvent, FALSE);
  KeInitializeEvent(&stop_, NotificationEvent, FALSE);
  KeInitializeEvent(&dpc_done_, SynchronizationEvent, FALSE);
  KeInitializeDpc(&dpc_, &UsbPort::BusDpc, this);
  KeInitializeEvent(&power_release_, NotificationEvent, TRUE);
  // The bus DPC runs the simulated controller and device: their time is not a driver's.
  verifier::ExemptFromDpcTimeLimit(reinterpret_cast<const void*>(&UsbPort::BusDpc));
  origin_ = clock::Now();
  hc_ = std::make_unique<HostController>(device, [this] { return Now(); }, options);
  hc_->SetWakeup([this] { KeSetEvent(&kick_, IO_NO_INCREMENT, FALSE); });
  driver_ = io::CreateDriverObject(u"\\Driver\\usbhub");
  for (auto& f : driver_->MajorFunction) f = &UsbPort::Dispatch;
  IoCreateDevice(driver_, sizeof(UsbPort*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
  if (pdo_ != nullptr) {
    PortOf(pdo_) = this;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  thread_ = std::make_unique<clock::Thread>("usb-bus", [this] { BusThread(); });
}

UsbPort::~UsbPort() {
  stopping_ = true;
  KeSetEvent(&stop_, IO_NO_INCREMENT, FALSE);
  thread_->Join();
  thread_.reset();
  // Power IRPs held at the port go on; idle callbacks and resumes finish.
  KeSetEvent(&power_release_, IO_NO_INCREMENT, FALSE);
  JoinHelpers();
  // The bus context is gone: what is left completes here.
  hc_->SetWakeup(nullptr);
  hc_->RemoveDevice(STATUS_DEVICE_NOT_CONNECTED, 0);
  hc_->AdvanceTo(Now());
  if (pdo_ != nullptr) IoDeleteDevice(pdo_);
  if (driver_ != nullptr) io::DeleteDriverObject(driver_);
}

BusMicroframe UsbPort::Now() const {
  const LONGLONG elapsed = clock::Now() - origin_;
  return elapsed <= 0 ? 0 : static_cast<BusMicroframe>(elapsed / kTicksPerMicroframe);
}

// The bus thread sleeps until the schedule's next event (a packet, a poll, a control
// transfer or a completion) or until a new request may have moved it.
void UsbPort::BusThread() {
  // The bus is hardware: it wakes at its exact microframes, not on the clock's ticks.
  clock::ScopedExactWaits exact;
  for (;;) {
    auto next = hc_->NextEvent();
    LARGE_INTEGER due{};
    PLARGE_INTEGER timeout = nullptr;
    if (next) {
      due.QuadPart = clock::ToSystemTime(origin_ + static_cast<LONGLONG>(*next) * kTicksPerMicroframe);
      timeout = &due;
    }
    PVOID objects[2] = {&stop_, &kick_};
    const NTSTATUS s = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, timeout, nullptr);
    if (s == STATUS_WAIT_0) break;
    // The microframe in progress has begun: the bus DPC runs what is due at its start.
    KeInsertQueueDpc(&dpc_, nullptr, nullptr);
    KeWaitForSingleObject(&dpc_done_, Executive, KernelMode, FALSE, nullptr);
  }
}

void UsbPort::BusDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* port = static_cast<UsbPort*>(context);
  port->hc_->AdvanceTo(port->Now());
  KeSetEvent(&port->dpc_done_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS UsbPort::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  UsbPort* port = PortOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return port->InternalControl(irp);
    case IRP_MJ_PNP:
      return port->Pnp(irp);
    case IRP_MJ_POWER:
      return port->Power(irp);
    default: {
      const NTSTATUS s = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Status = s;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return s;
    }
  }
}

void UsbPort::Spawn(const char* name, std::function<void()> body) {
  std::lock_guard lock(helpers_mutex_);
  helpers_.push_back(std::make_unique<clock::Thread>(name, std::move(body)));
}

void UsbPort::JoinHelpers() {
  for (;;) {
    std::vector<std::unique_ptr<clock::Thread>> threads;
    {
      std::lock_guard lock(helpers_mutex_);
      threads.swap(helpers_);
    }
    if (threads.empty()) return;
    for (auto& t : threads) t->Join();
  }
}

void UsbPort::HoldPowerIrps(bool hold) {
  hold_power_.store(hold);
  if (hold)
    KeClearEvent(&power_release_);
  else
    KeSetEvent(&power_release_, IO_NO_INCREMENT, FALSE);
}

// A device power IRP sets the state transfers are judged by. Resuming a suspended device
// takes the resume time, and a held IRP waits for its release; both pend the IRP and
// complete it from a thread of the port.
NTSTATUS UsbPort::Power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool set = stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState;
  if (!set) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  power_irps_.fetch_add(1);
  const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
  const LONGLONG resume = state == PowerDeviceD0 && power_.load() != PowerDeviceD0 ? resume_time_.load() : 0;
  const bool hold = hold_power_.load();
  if (resume <= 0 && !hold) {
    power_.store(state);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(irp);
  power_waiting_.fetch_add(1);
  Spawn("usb-power", [this, irp, state, resume, hold] {
    clock::ScopedExactWaits exact;
    if (hold) KeWaitForSingleObject(&power_release_, Executive, KernelMode, FALSE, nullptr);
    if (resume > 0) {
      LARGE_INTEGER interval;
      interval.QuadPart = -resume;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    power_.store(state);
    power_waiting_.fetch_sub(1);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  return STATUS_PENDING;
}

void UsbPort::Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  // No routine left: the cancel path has taken it and finishes with us.
  if (IoSetCancelRoutine(irp, nullptr) == nullptr && !ArriveSecond(irp)) return;
  CompleteNow(irp);
}

void UsbPort::CompleteNow(PIRP irp) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

// A request the controller keeps: cancellable from now on. The controller holds the
// request's completion back until this is done (it was submitted deferred): a completion
// that ran before the cancel routine was set would take the missing routine for a cancel
// under way, wait for it, and the IRP would never come back.
void UsbPort::Pend(PIRP irp, std::uint64_t id) {
  IoMarkIrpPending(irp);
  SetId(irp, id);
  ResetArrivals(irp);
  IoSetCancelRoutine(irp, &UsbPort::CancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before it was cancellable: this path plays the cancel routine.
    hc_->Cancel(id);
    if (ArriveSecond(irp)) CompleteNow(irp);
  }
  hc_->Release(id);
  KeSetEvent(&kick_, IO_NO_INCREMENT, FALSE);
}

void UsbPort::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbPort* port = PortOf(device);
  const std::uint64_t id = IdOf(irp);
  const LONGLONG delay = port->idle_cancel_delay_.load();
  if (delay > 0 && id == port->idle_id_.load()) {
    port->Spawn("usb-idle-cancel", [port, irp, id, delay] {
      clock::ScopedExactWaits exact;
      LARGE_INTEGER interval;
      interval.QuadPart = -delay;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      port->hc_->Cancel(id);
      if (ArriveSecond(irp)) port->CompleteNow(irp);
    });
    return;
  }
  port->hc_->Cancel(id);
  if (ArriveSecond(irp)) port->CompleteNow(irp);
}

namespace {

// The requests the bus driver serves only at PASSIVE_LEVEL (it blocks on the hub for
// them); transfers, aborts and the idle request may come at DISPATCH_LEVEL.
void CheckPassiveOnly(ULONG code, PURB urb) {
  const char* what = nullptr;
  switch (code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: what = "IOCTL_INTERNAL_USB_GET_PORT_STATUS"; break;
    case IOCTL_INTERNAL_USB_RESET_PORT: what = "IOCTL_INTERNAL_USB_RESET_PORT"; break;
    case IOCTL_INTERNAL_USB_CYCLE_PORT: what = "IOCTL_INTERNAL_USB_CYCLE_PORT"; break;
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      if (urb == nullptr) return;
      switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: what = "URB_FUNCTION_SELECT_CONFIGURATION"; break;
        case URB_FUNCTION_SELECT_INTERFACE: what = "URB_FUNCTION_SELECT_INTERFACE"; break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: what = "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL"; break;
        case URB_FUNCTION_SYNC_RESET_PIPE: what = "URB_FUNCTION_SYNC_RESET_PIPE"; break;
        case URB_FUNCTION_SYNC_CLEAR_STALL: what = "URB_FUNCTION_SYNC_CLEAR_STALL"; break;
        default: return;
      }
      break;
    default:
      return;
  }
  verifier::RequireIrqlAtMost(PASSIVE_LEVEL, what);
}

// Notes a transfer URB's buffer (and its MDL) as in use by the request until it
// completes, so a driver that frees them while the URB is in flight is stopped at the free.
// Transfer URBs share the layout of the buffer fields.
void NoteTransferBuffer(PIRP irp, const URB* urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
      break;
    default:
      return;
  }
  const auto& t = urb->UrbBulkOrInterruptTransfer;
  if (t.TransferBufferMDL) {
    io::NoteIrpUses(irp, t.TransferBufferMDL, sizeof(MDL), "the URB's transfer MDL");
    io::NoteIrpUses(irp, MmGetMdlVirtualAddress(t.TransferBufferMDL), MmGetMdlByteCount(t.TransferBufferMDL),
                    "the URB's transfer buffer (through its MDL)");
  } else {
    io::NoteIrpUses(irp, t.TransferBuffer, t.TransferBufferLength, "the URB's transfer buffer");
  }
}

}  // namespace

NTSTATUS UsbPort::InternalControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  auto done = [this, irp](NTSTATUS s) { Complete(irp, s); };
  CheckPassiveOnly(stack->Parameters.DeviceIoControl.IoControlCode,
                   static_cast<PURB>(stack->Parameters.Others.Argument1));
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
      auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
      if (urb == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      if (power_.load() != PowerDeviceD0) {
        urb->UrbHeader.Status = USBD_STATUS_NOT_ACCESSED;
        status = kStatusDeviceNotReady;
        break;
      }
      std::uint64_t id = 0;
      NoteTransferBuffer(irp, urb);
      status = hc_->Submit(urb, done, &id, /*deferred=*/true);
      if (status == STATUS_PENDING) {
        idle_id_.store(id);
        Pend(irp, id);
        return STATUS_PENDING;
      }
      break;
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* out = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      status = out == nullptr ? STATUS_INVALID_PARAMETER : hc_->GetPortStatus(out);
      break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
      status = hc_->ResetPort();
      break;
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      status = hc_->CyclePort();
      break;
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: {
      auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      if (info == nullptr || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      idle_stack_size_.store(irp->StackCount);
      std::uint64_t id = 0;
      status = hc_->SubmitIdle(info, done, &id, /*deferred=*/true);
      if (status == STATUS_PENDING) {
        idle_id_.store(id);
        Pend(irp, id);
        // The client's idle callback blocks (it requests a power IRP and waits): it gets a
        // thread of its own, after the configured delay, so the bus keeps running.
        Spawn("usb-idle", [this] {
          clock::ScopedExactWaits exact;
          if (LONGLONG delay = idle_delay_.load(); delay > 0) {
            LARGE_INTEGER interval;
            interval.QuadPart = -delay;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
          }
          if (auto idle = hc_->TakeIdleCallback()) idle->IdleCallback(idle->IdleContext);
        });
        return STATUS_PENDING;
      }
      break;
    }
    default:
      break;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbPort::Pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;  // requests the bus does not handle keep theirs
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_INTERFACE: {
      auto& q = stack->Parameters.QueryInterface;
      if (q.InterfaceType == nullptr || *q.InterfaceType != USB_BUS_INTERFACE_USBDI_GUID) break;
      if (q.Interface == nullptr || q.Version > USB_BUSIF_USBDI_VERSION_1 ||
          q.Size < sizeof(USB_BUS_INTERFACE_USBDI_V0) ||
          (q.Version == USB_BUSIF_USBDI_VERSION_1 && q.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1))) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      auto* bi = reinterpret_cast<USB_BUS_INTERFACE_USBDI_V1*>(q.Interface);
      bi->Size = q.Version == USB_BUSIF_USBDI_VERSION_1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
      bi->Version = q.Version;
      bi->BusContext = this;
      bi->InterfaceReference = &UsbPort::InterfaceReference;
      bi->InterfaceDereference = &UsbPort::InterfaceDereference;
      bi->GetUSBDIVersion = &UsbPort::GetUsbdiVersion;
      bi->QueryBusTime = &UsbPort::QueryBusTime;
      bi->SubmitIsoOutUrb = &UsbPort::SubmitIsoOutUrb;
      bi->QueryBusInformation = &UsbPort::QueryBusInformation;
      if (q.Version == USB_BUSIF_USBDI_VERSION_1) bi->IsDeviceHighSpeed = &UsbPort::IsDeviceHighSpeed;
      InterfaceReference(this);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void UsbPort::InterfaceReference(PVOID context) { InterlockedIncrement(&static_cast<UsbPort*>(context)->references_); }
void UsbPort::InterfaceDereference(PVOID context) { InterlockedDecrement(&static_cast<UsbPort*>(context)->references_); }

void UsbPort::GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION info, PULONG capabilities) {
  if (info != nullptr) {
    info->USBDI_Version = 0x600;
    info->Supported_USB_Version = 0x200;
  }
  if (capabilities != nullptr) *capabilities = 0;
}

NTSTATUS UsbPort::QueryBusTime(PVOID context, PULONG frame) {
  if (frame == nullptr) return STATUS_INVALID_PARAMETER;
  *frame = static_cast<UsbPort*>(context)->hc_->CurrentFrame();
  return STATUS_SUCCESS;
}

// The direct submission is a URB submission like IofCallDriver's: a preemption point.
NTSTATUS UsbPort::SubmitIsoOutUrb(PVOID, PURB) {
  sched::PreemptionPoint("URB submission");
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS UsbPort::QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN UsbPort::IsDeviceHighSpeed(PVOID context) { return static_cast<UsbPort*>(context)->hc_->HighSpeed() ? TRUE : FALSE; }

}  // namespace platform::usb
