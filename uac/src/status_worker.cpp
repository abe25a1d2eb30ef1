// The status worker of a USB Audio Class 1.0 function and what both class versions share:
// the Audio Control interface's pipes, the worker thread's start and end, the change
// notification of a 1.0 status word, and the function's power changes that start and stop
// the worker.
#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/ps.h"
#include "status_transfer.h"
#include "uac/uac1_function.h"
#include "uac/uac_unit.h"
#include "uac/unit_interfaces.h"
#include "usb/usbdlib.h"

namespace uac {
namespace {

constexpr UCHAR kEndpointIn = 0x80;
// bStatusType bits 0-3: who sent the status word; 0 is the Audio Control interface (or
// one of its entities), the only originator a control change comes from.
constexpr UCHAR kOriginatorTypeMask = 0x0F;

}  // namespace

// ---------------------------------------------------------------------------------------
// Interface information and the worker thread

NTSTATUS CUac1Function::SelectControlInterface(PULONG Pipes) {
  *Pipes = 0;
  if (!m_pUsbDevice) return STATUS_INVALID_DEVICE_STATE;
  PUSB_CONFIGURATION_DESCRIPTOR config = m_pUsbDevice->GetConfigurationDescriptor();
  if (!config) return STATUS_UNSUCCESSFUL;
  PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(config, config, m_nControlInterface, 0,
                                                                          kAudioClass, kAudioControlSubclass, -1);
  if (!control || control->bNumEndpoints == 0) return STATUS_SUCCESS;

  // Room for every endpoint the descriptor declares; the bus fills in those it finds.
  const ULONG bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(control->bNumEndpoints);
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, bytes, kInterfaceInfoTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, bytes);
  auto& select = urb->UrbSelectInterface;
  select.Hdr.Length = static_cast<USHORT>(bytes);
  select.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
  select.ConfigurationHandle = m_pUsbDevice->GetConfigurationHandle();
  const ULONG infoBytes = bytes - static_cast<ULONG>(offsetof(_URB_SELECT_INTERFACE, Interface));
  select.Interface.Length = static_cast<USHORT>(infoBytes);
  select.Interface.InterfaceNumber = control->bInterfaceNumber;
  select.Interface.AlternateSetting = 0;
  NTSTATUS status = m_pUsbDevice->SubmitUrbSync(urb);
  if (NT_SUCCESS(status)) {
    m_pControlInterfaceInfo =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, infoBytes, kInterfaceInfoTag));
    if (m_pControlInterfaceInfo) {
      RtlCopyMemory(m_pControlInterfaceInfo, &select.Interface, infoBytes);
      // Never more pipes than the copy holds, whatever the count says.
      const ULONG room = (infoBytes - static_cast<ULONG>(offsetof(USBD_INTERFACE_INFORMATION, Pipes))) /
                         sizeof(USBD_PIPE_INFORMATION);
      if (m_pControlInterfaceInfo->NumberOfPipes > room) m_pControlInterfaceInfo->NumberOfPipes = room;
      *Pipes = m_pControlInterfaceInfo->NumberOfPipes;
      if (!*Pipes) FreeControlInterfaceInfo();
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  ExFreePoolWithTag(urb, kInterfaceInfoTag);
  return status;
}

void CUac1Function::FreeControlInterfaceInfo() {
  if (m_pControlInterfaceInfo) ExFreePoolWithTag(m_pControlInterfaceInfo, kInterfaceInfoTag);
  m_pControlInterfaceInfo = nullptr;
  m_nStatusPipe = kNoPipe;
  m_nBulkPipe = kNoPipe;
}

NTSTATUS CUac1Function::StartWorkerThread(KPRIORITY Priority) {
  KeClearEvent(&m_StopEvent);
  KeClearEvent(&m_ThreadEndedEvent);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StatusWorkerStart, this);
  if (NT_SUCCESS(status)) {
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status)) {
      m_pWorkerThread = thread;
      KeSetPriorityThread(static_cast<PKTHREAD>(thread), Priority);
    } else {
      // The thread runs but cannot be waited for by its object: end it through its events.
      KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&m_ThreadEndedEvent, Executive, KernelMode, FALSE, nullptr);
    }
    ZwClose(handle);
  }
  if (!NT_SUCCESS(status)) {
    // No thread: nothing is waited for at stop, and no pipe is held.
    DbgPrint("CUac1Function::StartWorker no worker thread: 0x%08X\n", status);
    FreeControlInterfaceInfo();
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_ThreadEndedEvent);
  }
  return status;
}

void CUac1Function::EndWorker() {
  if (m_pWorkerThread) {
    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_ThreadEndedEvent, Executive, KernelMode, FALSE, nullptr);
    // The event is set just before the thread leaves this object's code; its object is
    // signalled once it has left.
    KeWaitForSingleObject(m_pWorkerThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_pWorkerThread);
    m_pWorkerThread = nullptr;
  }
  FreeControlInterfaceInfo();
  KeClearEvent(&m_StopEvent);
  KeClearEvent(&m_ThreadEndedEvent);
}

VOID CUac1Function::StatusWorkerStart(PVOID Context) {
  static_cast<CUac1Function*>(Context)->StatusWorker();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------
// The 1.0 worker

NTSTATUS CUac1Function::StartWorker() {
  if (m_pWorkerThread) return STATUS_SUCCESS;  // started and not stopped: one thread only
  ULONG pipes = 0;
  NTSTATUS status = SelectControlInterface(&pipes);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < pipes && m_nStatusPipe == kNoPipe; ++i) {
    const USBD_PIPE_INFORMATION& pipe = m_pControlInterfaceInfo->Pipes[i];
    if ((pipe.EndpointAddress & kEndpointIn) && pipe.PipeType == UsbdPipeTypeInterrupt &&
        pipe.MaximumPacketSize == kUac1StatusBytes)
      m_nStatusPipe = static_cast<UCHAR>(i);
  }
  if (m_nStatusPipe == kNoPipe) {
    FreeControlInterfaceInfo();  // nothing reads it
  } else {
    status = StartWorkerThread(kUac1WorkerPriority);
    if (!NT_SUCCESS(status)) return status;
  }
  return CAudioHal::StartEntities();
}

NTSTATUS CUac1Function::StopWorker() {
  CAudioHal::StopEntities();
  EndWorker();
  return STATUS_SUCCESS;
}

void CUac1Function::RefreshUnits() {
  if (!m_pUnitList) return;
  for (adapter::IUacEntity* entity : *m_pUnitList) {
    // An identifier two units share names the later one: it is refreshed once.
    adapter::IUacEntity* named = nullptr;
    if (NT_SUCCESS(FindEntityById(entity->GetId(), &named)) && named == entity) NotifyEntityChange(entity->GetId());
  }
}

void CUac1Function::StatusWorker() {
  StatusTransfer* transfer = nullptr;
  NTSTATUS status = CreateStatusTransfer(m_pUsbDevice, m_pControlInterfaceInfo->Pipes[m_nStatusPipe].PipeHandle,
                                         kUac1StatusBytes, kUac1FunctionTag, &transfer);
  if (NT_SUCCESS(status)) status = SendStatusTransfer(m_pUsbDevice, transfer);
  if (NT_SUCCESS(status)) {
    // Whatever changed while no worker listened.
    RefreshUnits();
    PVOID objects[] = {&transfer->Done, &m_StopEvent};
    for (;;) {
      const NTSTATUS waited = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                                       nullptr);
      if (waited != STATUS_WAIT_0) {
        CancelStatusTransfer(transfer);
        break;
      }
      if (!NT_SUCCESS(transfer->Irp->IoStatus.Status)) {
        DbgPrint("CUac1Function::StatusWorker status transfer failed: 0x%08X\n", transfer->Irp->IoStatus.Status);
        break;
      }
      // A transfer shorter than the status word leaves stale bytes: it names nothing.
      if (StatusBytesReceived(transfer) >= kUac1StatusBytes && (transfer->Data[0] & kOriginatorTypeMask) == 0)
        NotifyEntityChange(transfer->Data[1]);
      if (!NT_SUCCESS(SendStatusTransfer(m_pUsbDevice, transfer))) break;
    }
  }
  if (transfer) FreeStatusTransfer(m_pUsbDevice, transfer);
  KeSetEvent(&m_ThreadEndedEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUac1Function::UpdateEngineSubdevices() {
  const ULONG count = GetEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    NTSTATUS status = GetEngine(i, &engine);
    if (NT_SUCCESS(status))
      status = engine->UpdateSubdevice(GetDeviceObject(), nullptr, static_cast<adapter::IAudioHal*>(this));
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Function::NotifyEntityChange(ULONG EntityId) {
  adapter::IUacEntity* entity = nullptr;
  NTSTATUS status = FindEntityById(EntityId, &entity);
  if (!NT_SUCCESS(status)) return status;
  const ULONG type = entity->GetType();
  adapter::ScopedRelease<IUacUnit> unit;
  status = entity->QueryInterface(IID_IUacUnit, unit.out());
  if (!NT_SUCCESS(status)) return status;
  ULONG node = 0;
  status = unit.p->HandleStatusChange(0, 0, &node);
  if (!NT_SUCCESS(status)) return status;
  if (type == AC_INPUT_TERMINAL || type == AC_OUTPUT_TERMINAL) return UpdateEngineSubdevices();
  for (ULONG i = 0; i < unit.p->GetNodeCount(); ++i) {
    adapter::IUacEntity* each = unit.p->GetNode(i);
    if (!each) continue;
    each->RefreshFromDevice();
    PublishControlChange(m_pCallbackObject, each->GetId());
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Power

void CUac1Function::ChangePowerState(POWER_STATE NewState, bool RunAfterProbe) {
  // Read as a number: a value outside the enumeration must not be loaded as one.
  ULONG state = 0;
  static_assert(sizeof NewState == sizeof state);
  RtlCopyMemory(&state, &NewState, sizeof state);
  if (state == static_cast<ULONG>(m_PowerState)) return;
  if (state == PowerDeviceD0) {
    if (RunAfterProbe) AfterProbe();
    RestoreEntities();
  } else if (state < PowerDeviceD1 || state > PowerDeviceD3) {
    return;
  }
  const auto power = static_cast<DEVICE_POWER_STATE>(state);
  m_PowerState = power;
  const ULONG count = GetEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    NTSTATUS status = GetEngine(i, &engine);
    if (NT_SUCCESS(status)) status = engine->SetPowerState(power);
    if (NT_SUCCESS(status) && power == PowerDeviceD0)
      status = engine->UpdateSubdevice(GetDeviceObject(), nullptr, static_cast<adapter::IAudioHal*>(this));
    if (!NT_SUCCESS(status)) break;
  }
  if (power == PowerDeviceD0)
    StartWorker();
  else
    StopWorker();
}

STDMETHODIMP_(void) CUac1Function::PowerChangeState(POWER_STATE NewState) { ChangePowerState(NewState, true); }

}  // namespace uac
