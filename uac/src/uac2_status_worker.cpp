// The status worker of a USB Audio Class 2.0 function: interrupt data messages on the
// Audio Control interface's status pipe name one control of one entity; a bulk IN pipe of
// that interface, when there is one, is kept read so the device never stalls on it.
#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "status_transfer.h"
#include "uac/uac2_function.h"
#include "uac/uac_unit.h"
#include "uac/unit_interfaces.h"

namespace uac {
namespace {

constexpr UCHAR kEndpointIn = 0x80;
// bInfo bits 0-1: 0 is a class-specific interrupt from an entity of the interface.
constexpr UCHAR kInfoOriginatorMask = 0x03;
// bAttribute: the current value changed (RANGE and MEM changes are not followed).
constexpr UCHAR kAttributeCur = 1;
// The terminal control selector of the connectors (jack state).
constexpr ULONG kConnectorSelector = 2;
// A node identifier no node has: the unit named none.
constexpr ULONG kNoNode = ~0u;

}  // namespace

CUac2Function::~CUac2Function() { EndWorker(); }

NTSTATUS CUac2Function::StartWorker() {
  if (m_pWorkerThread) return STATUS_SUCCESS;  // started and not stopped: one thread only
  ULONG pipes = 0;
  NTSTATUS status = SelectControlInterface(&pipes);
  if (!NT_SUCCESS(status) || !pipes) return status;
  for (ULONG i = 0; i < pipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = m_pControlInterfaceInfo->Pipes[i];
    if (!(pipe.EndpointAddress & kEndpointIn)) continue;
    if (pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == kUac2StatusBytes) {
      if (m_nStatusPipe != kNoPipe) break;
      m_nStatusPipe = static_cast<UCHAR>(i);
    } else if (pipe.PipeType == UsbdPipeTypeBulk) {
      if (m_nBulkPipe != kNoPipe) break;
      m_nBulkPipe = static_cast<UCHAR>(i);
    }
  }
  if (m_nStatusPipe == kNoPipe) {
    FreeControlInterfaceInfo();  // no worker reads it
    return STATUS_SUCCESS;
  }
  return StartWorkerThread(kUac2WorkerPriority);
}

NTSTATUS CUac2Function::StopWorker() {
  EndWorker();
  return STATUS_SUCCESS;
}

void CUac2Function::StatusWorker() {
  StatusTransfer* status = nullptr;
  StatusTransfer* bulk = nullptr;
  NTSTATUS result = CreateStatusTransfer(m_pUsbDevice, m_pControlInterfaceInfo->Pipes[m_nStatusPipe].PipeHandle,
                                         kUac2StatusBytes, kUac2FunctionTag, &status);
  if (NT_SUCCESS(result) && m_nBulkPipe != kNoPipe)
    result = CreateStatusTransfer(m_pUsbDevice, m_pControlInterfaceInfo->Pipes[m_nBulkPipe].PipeHandle,
                                  kUac2BulkBytes, kUac2FunctionTag, &bulk);
  if (NT_SUCCESS(result)) result = SendStatusTransfer(m_pUsbDevice, status);
  if (NT_SUCCESS(result) && bulk) result = SendStatusTransfer(m_pUsbDevice, bulk);
  if (NT_SUCCESS(result)) {
    PVOID objects[] = {&status->Done, &m_StopEvent, bulk ? &bulk->Done : nullptr};
    const ULONG count = bulk ? 3 : 2;
    for (;;) {
      const NTSTATUS waited =
          KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
      StatusTransfer* done = waited == STATUS_WAIT_0 ? status : waited == STATUS_WAIT_2 ? bulk : nullptr;
      if (!done) break;  // the stop event, or the wait failed
      if (!NT_SUCCESS(done->Irp->IoStatus.Status)) {
        DbgPrint("CUac2Function::StatusWorker %s transfer failed: 0x%08X\n", done == status ? "status" : "bulk",
                 done->Irp->IoStatus.Status);
        break;
      }
      // A message shorter than six bytes leaves stale bytes: it names nothing.
      const UCHAR* m = done->Data;
      if (done == status && StatusBytesReceived(done) >= kUac2StatusBytes && (m[0] & kInfoOriginatorMask) == 0 &&
          m[1] == kAttributeCur && m[4] == m_nControlInterface)
        NotifyEntityChange(m[5], m[3], m[2]);
      if (!NT_SUCCESS(SendStatusTransfer(m_pUsbDevice, done))) break;
    }
  }
  // Both transfers back before their memory goes.
  for (StatusTransfer* t : {status, bulk}) {
    if (!t) continue;
    CancelStatusTransfer(t);
    FreeStatusTransfer(m_pUsbDevice, t);
  }
  KeSetEvent(&m_ThreadEndedEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUac2Function::NotifyEntityChange(ULONG EntityId, ULONG ControlSelector, ULONG Channel) {
  adapter::IUacEntity* entity = nullptr;
  NTSTATUS status = FindEntityById(EntityId, &entity);
  if (!NT_SUCCESS(status)) return status;
  const ULONG type = entity->GetType();
  adapter::ScopedRelease<IUacUnit> unit;
  status = entity->QueryInterface(IID_IUacUnit, unit.out());
  if (!NT_SUCCESS(status)) return status;
  ULONG node = kNoNode;
  status = unit.p->HandleStatusChange(ControlSelector, Channel, &node);
  if (!NT_SUCCESS(status)) return status;
  if (type == AC_INPUT_TERMINAL || type == AC_OUTPUT_TERMINAL)
    return ControlSelector == kConnectorSelector ? UpdateEngineSubdevices() : STATUS_SUCCESS;
  // A unit that took the change but names no node (a control without one) has nothing to
  // publish: a record would name whichever node has the number.
  if (node != kNoNode) PublishControlChange(m_pCallbackObject, node);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CUac2Function::PowerChangeState(POWER_STATE NewState) { ChangePowerState(NewState, false); }

}  // namespace uac
