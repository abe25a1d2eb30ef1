// The root USB device object's power side: device power states and USB selective
// suspend (the idle timer, the idle-notification request, its callback and completion,
// and the wake-up every request begins with).
#include "adapter/usb_audio_device.h"

#include "adapter/asio_streams.h"

#include "kernel/ke.h"
#include "kernel/po.h"

namespace adapter {
namespace {

// What the timer DPC hands its work item.
struct IdleWorkContext {
  CUsbAudioDevice* device;
  PIO_WORKITEM item;
};
static_assert(sizeof(IdleWorkContext) == 16);

// What the idle callback hands its D2 request.
struct IdlePowerContext {
  CUsbAudioDevice* device;
  PKEVENT done;
};
static_assert(sizeof(IdlePowerContext) == 16);

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

}  // namespace

// --- Timer resolution: this device's 1 ms request is held in D0 only, and released
// exactly once for each time it was made.

void CUsbAudioDevice::RequestTimerResolution() {
  if (m_bTimerResolution) return;
  ExSetTimerResolution(kDeviceTimerResolution, TRUE);
  m_bTimerResolution = true;
}

void CUsbAudioDevice::ReleaseTimerResolution() {
  if (!m_bTimerResolution) return;
  ExSetTimerResolution(0, FALSE);
  m_bTimerResolution = false;
}

// --- ASIO hooks. Leaving D0 stops ASIO streaming (the rings stay, silenced) and clears
// the period event; returning starts it again and resets the channels with the owner's
// event, so positions start over from the reset.

void CUsbAudioDevice::SetAsioStreaming(bool Streaming) {
  m_AsioPowerMutex.Lock();
  m_bAsioStreaming = Streaming;
  m_AsioPowerMutex.Unlock();
}

void CUsbAudioDevice::StopAsioForPower() {
  if (!m_bAsioStreaming) return;
  StopAsioStreaming();
  if (m_pAsio) m_pAsio->ClearPeriodEvent();
  // The restart sends the lead from where the rings stood before the client writes
  // again: silence, not the audio played before the power went.
  SilenceAsioRings(m_pAsioOwner ? m_pAsioOwner->SampleMode : kAsioModePcm);
  m_bAsioSuspendedByPower = true;
}

// A restart that fails leaves the streams suspended (the start rolled back what it had
// started) and tells the owner through its notification event, as a changed setting
// does: it re-reads, and its next request, or the next return to D0, tries again.
NTSTATUS CUsbAudioDevice::RestartAsioForPower() {
  if (!m_bAsioSuspendedByPower) return STATUS_SUCCESS;
  const NTSTATUS status = StartAsioStreaming();
  if (!NT_SUCCESS(status)) {
    if (m_pAsioOwner && m_pAsioOwner->NotificationEvent)
      KeSetEvent(m_pAsioOwner->NotificationEvent, kAsioEventIncrement, FALSE);
    return status;
  }
  PKEVENT event = m_pAsioOwner ? m_pAsioOwner->PeriodEvent : nullptr;
  if (!event && m_pAsio) event = m_pAsio->PeriodEvent();
  ResetAsioChannels(event);
  m_bAsioSuspendedByPower = false;
  return status;
}

void CUsbAudioDevice::CompleteParkedStop(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const NTSTATUS status = Stop(stack->FileObject, Irp);
  Irp->IoStatus.Information = 0;
  PcCompleteIrp(m_pFdo, Irp, status);
}

// --- Device power states

STDMETHODIMP_(void) CUsbAudioDevice::PowerChangeState(POWER_STATE NewState) {
  // The state is read as the number it is: anything outside D0-D3 is not a state.
  ULONG raw;
  static_assert(sizeof raw == sizeof NewState);
  RtlCopyMemory(&raw, &NewState, sizeof raw);
  if (raw < static_cast<ULONG>(PowerDeviceD0) || raw > static_cast<ULONG>(PowerDeviceD3)) return;
  const auto state = static_cast<DEVICE_POWER_STATE>(raw);
  if (state == m_PowerState) return;
  POWER_STATE power;
  power.DeviceState = state;

  m_AsioPowerMutex.Lock();
  if (state != PowerDeviceD0) {
    // An unplugged device has nothing left to power down. The function changes state
    // under the port mutex, as a port reset's power cycle does.
    m_PortMutex.Lock();
    if (!CheckPort() && m_pFunctionPower) m_pFunctionPower->PowerChangeState(power);
    m_PortMutex.Unlock();
    StopAsioForPower();
    ReleaseTimerResolution();
  } else {
    // The 1 ms resolution comes first: the function's return to D0 times its own steps
    // (a chip's register pulse waits 1 ms).
    RequestTimerResolution();
    m_PortMutex.Lock();
    if (m_pFunctionPower) m_pFunctionPower->PowerChangeState(power);
    m_PortMutex.Unlock();
    RestartAsioForPower();
  }
  m_PowerState = state;
  // Back in D0, a Stop that arrived while the device slept runs now (unless its client
  // cancelled it meanwhile).
  PIRP parked = state == PowerDeviceD0 ? TakeParkedStop(nullptr) : nullptr;
  if (parked) CompleteParkedStop(parked);
  m_AsioPowerMutex.Unlock();
}

// --- Selective suspend

void CUsbAudioDevice::StartIdleTimer() {
  KeSetTimerEx(&m_IdleTimer, RelativeMs(kIdleTimerFirstMs), kIdleTimerPeriodMs, &m_IdleDpc);
}

// The outstanding work items are counted under the idle lock, so "work-item-done" is
// signalled exactly when none is queued or running.
void CUsbAudioDevice::WorkItemStarted() {
  KIRQL irql;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  if (InterlockedIncrement(&m_lWorkItems) == 1) KeClearEvent(&m_WorkItemDone);
  KeReleaseSpinLock(&m_IdleLock, irql);
}

void CUsbAudioDevice::WorkItemFinished() {
  KIRQL irql;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  if (InterlockedDecrement(&m_lWorkItems) == 0) KeSetEvent(&m_WorkItemDone, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&m_IdleLock, irql);
}

void CUsbAudioDevice::IdleTimerDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  static_cast<CUsbAudioDevice*>(Context)->QueueIdleWork();
}

// Timer DPC: only an idle device gets a work item, which builds the request at
// PASSIVE_LEVEL.
void CUsbAudioDevice::QueueIdleWork() {
  if (Stopping()) return;
  auto* context =
      static_cast<IdleWorkContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IdleWorkContext), kUsbDeviceBufferTag));
  if (!context) return;
  WorkItemStarted();
  if (m_lRequestsInProgress == 1 && m_lActivity == 0) {
    PIO_WORKITEM item = IoAllocateWorkItem(m_pFdo);
    if (item) {
      context->device = this;
      context->item = item;
      InterlockedIncrement(&m_lIdleWorkQueued);
      IoQueueWorkItem(item, &CUsbAudioDevice::IdleWorker, DelayedWorkQueue, context);
      return;
    }
  }
  ExFreePoolWithTag(context, kUsbDeviceBufferTag);
  WorkItemFinished();
}

void CUsbAudioDevice::IdleWorker(PDEVICE_OBJECT, PVOID Context) {
  auto* context = static_cast<IdleWorkContext*>(Context);
  CUsbAudioDevice* device = context->device;
  if (!device->Stopping() && device->m_lRequestsInProgress == 1 && device->m_lActivity == 0)
    device->SendIdleRequest();
  IoFreeWorkItem(context->item);
  ExFreePoolWithTag(context, kUsbDeviceBufferTag);
  device->WorkItemFinished();
}

// STATUS_POWER_STATE_INVALID outside D0, STATUS_DEVICE_BUSY while a request is pending,
// STATUS_UNSUCCESSFUL when a request or a stream appeared meanwhile,
// STATUS_INSUFFICIENT_RESOURCES when the request cannot be built; otherwise the status
// of the request sent down (STATUS_PENDING while the device may sleep).
NTSTATUS CUsbAudioDevice::SendIdleRequest() {
  if (!m_bIdleObjects || m_PowerState != PowerDeviceD0) return kStatusPowerStateInvalid;
  KIRQL irql;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  if (InterlockedExchange(&m_lIdlePending, 1) == 1) {
    KeReleaseSpinLock(&m_IdleLock, irql);
    return STATUS_DEVICE_BUSY;
  }
  KeClearEvent(&m_IdleIrpDone);
  auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(ExAllocatePool(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO)));
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(m_pLowerDevice->StackSize + 1), FALSE);
  if (!info || !irp) {
    KeSetEvent(&m_IdleIrpDone, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&m_lIdlePending, 0);
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (info) ExFreePool(info);
    if (irp) IoFreeIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  info->IdleCallback = &CUsbAudioDevice::IdleCallback;
  info->IdleContext = this;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
  next->Parameters.DeviceIoControl.Type3InputBuffer = info;
  next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
  IoSetCompletionRoutine(irp, &CUsbAudioDevice::IdleRequestComplete, this, TRUE, TRUE, TRUE);
  m_pIdleCallbackInfo = info;
  InterlockedExchangePointer(reinterpret_cast<PVOID*>(&m_pIdleIrp), irp);
  m_lIdleIrpReferences = 2;
  KeReleaseSpinLock(&m_IdleLock, irql);

  if (m_lRequestsInProgress == 1 && m_lActivity == 0 && m_PowerState == PowerDeviceD0 && !Stopping()) {
    if (m_bSelectiveSuspend) KeCancelTimer(&m_IdleTimer);
    InterlockedIncrement(&m_lIdleRequestsSent);
    return IoCallDriver(m_pLowerDevice, irp);
  }

  // Someone needs the device after all: take the request back unsent, unless a cancel
  // already took the IRP (it then frees it).
  KeAcquireSpinLock(&m_IdleLock, &irql);
  info = m_pIdleCallbackInfo;
  m_pIdleCallbackInfo = nullptr;
  PIRP taken = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&m_pIdleIrp), nullptr));
  InterlockedExchange(&m_lIdlePending, 0);
  KeReleaseSpinLock(&m_IdleLock, irql);
  if (info) ExFreePool(info);
  if (taken || InterlockedDecrement(&m_lIdleIrpReferences) == 0) {
    IoFreeIrp(irp);
    KeSetEvent(&m_IdleIrpDone, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_UNSUCCESSFUL;
}

// The bus driver calls this when the device may sleep: D2 for the whole stack.
void CUsbAudioDevice::IdleCallback(PVOID Context) {
  auto* device = static_cast<CUsbAudioDevice*>(Context);
  // Counted with the work items, so the destructor waits for a callback under way.
  device->WorkItemStarted();
  if (device->Stopping()) {
    device->WorkItemFinished();
    return;
  }
  device->IdleCallbackBody();
  device->WorkItemFinished();
}

void CUsbAudioDevice::IdleCallbackBody() {
  CUsbAudioDevice* device = this;
  // A request or a stream that began since the idle request went down has withdrawn it
  // (or is about to): the device stays in D0 for it.
  if (m_lRequestsInProgress != 1 || m_lActivity != 0) return;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  auto* context =
      static_cast<IdlePowerContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IdlePowerContext), kUsbDeviceBufferTag));
  if (!context) return;
  context->device = device;
  context->done = &done;
  POWER_STATE power;
  power.DeviceState = PowerDeviceD2;
  const NTSTATUS status =
      PoRequestPowerIrp(device->m_pPdo, IRP_MN_SET_POWER, power, &CUsbAudioDevice::IdlePowerComplete, context, nullptr);
  if (status == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  else
    ExFreePoolWithTag(context, kUsbDeviceBufferTag);
  // A request that withdrew the idle request while D2 was on its way found the device
  // still in D0, so its completion asked for nothing: the device would sleep with no idle
  // request left to wake it. It comes back here instead (unless a D0 request runs).
  if (m_lIdlePending == 0 && m_PowerState != PowerDeviceD0 && KeReadStateEvent(&m_D0RequestDone) && !Stopping())
    RequestD0();
}

void CUsbAudioDevice::RequestD0() {
  KeClearEvent(&m_D0RequestDone);
  POWER_STATE power;
  power.DeviceState = PowerDeviceD0;
  if (PoRequestPowerIrp(m_pPdo, IRP_MN_SET_POWER, power, &CUsbAudioDevice::D0RequestComplete, this, nullptr) !=
      STATUS_PENDING)
    KeSetEvent(&m_D0RequestDone, IO_NO_INCREMENT, FALSE);
}

VOID CUsbAudioDevice::IdlePowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK) {
  auto* context = static_cast<IdlePowerContext*>(Context);
  PKEVENT done = context->done;
  ExFreePoolWithTag(context, kUsbDeviceBufferTag);
  KeSetEvent(done, IO_NO_INCREMENT, FALSE);
}

VOID CUsbAudioDevice::D0RequestComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK) {
  auto* device = static_cast<CUsbAudioDevice*>(Context);
  KeSetEvent(&device->m_D0RequestDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUsbAudioDevice::IdleRequestComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* device = static_cast<CUsbAudioDevice*>(Context);
  const NTSTATUS status = Irp->IoStatus.Status;
  // A sleeping device whose idle request ended (cancelled for a new request, or failed)
  // comes back to D0.
  if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && device->m_PowerState != PowerDeviceD0)
    device->RequestD0();

  KIRQL irql;
  KeAcquireSpinLock(&device->m_IdleLock, &irql);
  PUSB_IDLE_CALLBACK_INFO info = device->m_pIdleCallbackInfo;
  device->m_pIdleCallbackInfo = nullptr;
  PIRP taken = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&device->m_pIdleIrp), nullptr));
  InterlockedExchange(&device->m_lIdlePending, 0);
  KeReleaseSpinLock(&device->m_IdleLock, irql);
  if (info) ExFreePool(info);

  // The timer restarts before idle-IRP-done can release a destructor.
  if (!device->Stopping() && device->m_bSelectiveSuspend) device->StartIdleTimer();
  if (taken || InterlockedDecrement(&device->m_lIdleIrpReferences) == 0) {
    IoFreeIrp(Irp);
    KeSetEvent(&device->m_IdleIrpDone, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CUsbAudioDevice::CancelIdleRequest() {
  if (!m_bIdleObjects) return;
  KIRQL irql;
  KeAcquireSpinLock(&m_IdleLock, &irql);
  PIRP irp = nullptr;
  if (m_lRequestsInProgress != 1 || m_lActivity != 0)
    irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&m_pIdleIrp), nullptr));
  KeReleaseSpinLock(&m_IdleLock, irql);
  if (!irp) return;
  IoCancelIrp(irp);
  if (InterlockedDecrement(&m_lIdleIrpReferences) == 0) {
    IoFreeIrp(irp);
    KeSetEvent(&m_IdleIrpDone, IO_NO_INCREMENT, FALSE);
  }
}

// The request counts as in progress from here to its EndRequest, not only while it waits:
// otherwise the timer's work item could send the idle request between the wake-up and the
// request's first transfer, and the device would go to D2 under the request.
STDMETHODIMP CUsbAudioDevice::WakeForRequest() {
  InterlockedIncrement(&m_lRequestsInProgress);
  if (!m_bIdleObjects) return STATUS_SUCCESS;
  CancelIdleRequest();
  LARGE_INTEGER timeout = RelativeMs(kWakeWaitMs);
  KeWaitForSingleObject(&m_IdleIrpDone, Executive, KernelMode, FALSE, &timeout);
  timeout = RelativeMs(kWakeWaitMs);
  KeWaitForSingleObject(&m_D0RequestDone, Executive, KernelMode, FALSE, &timeout);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::EndRequest() {
  InterlockedDecrement(&m_lRequestsInProgress);
  return STATUS_SUCCESS;
}

}  // namespace adapter
