// ASIO clients of the root device: one per open file object on the ASIO interface, with
// the events they hand in, and the Stop request a client may leave parked while the
// device sleeps.
#include "adapter/usb_audio_device.h"

#include "asio_guard.h"
#include "adapter/settings.h"
#include "kernel/ob.h"

namespace adapter {
namespace {

// A user-mode handle that must name an event the caller may set.
NTSTATUS ReferenceUserEvent(HANDLE Handle, PKEVENT* Event) {
  PVOID object = nullptr;
  const NTSTATUS status =
      ObReferenceObjectByHandle(Handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *Event = static_cast<PKEVENT>(object);
  return STATUS_SUCCESS;
}

}  // namespace

AsioClient* CUsbAudioDevice::FindAsioClient(PFILE_OBJECT File) {
  if (!File) return nullptr;
  for (PLIST_ENTRY e = m_AsioClients.Flink; e != &m_AsioClients; e = e->Flink) {
    AsioClient* client = CONTAINING_RECORD(e, AsioClient, Link);
    if (client->Key == File) return client;
  }
  return nullptr;
}

AsioClient* CUsbAudioDevice::FindAsioRequestClient(PFILE_OBJECT File) {
  AsioClient* client = FindAsioClient(File);
  if (client && client == m_pAsioOwner && m_bAsioSuspendedByPower && m_PowerState == PowerDeviceD0) RestartAsioForPower();
  return client;
}

ULONG CUsbAudioDevice::AsioClientCount() {
  AsioGuard guard(m_AsioPowerMutex);
  ULONG n = 0;
  for (PLIST_ENTRY e = m_AsioClients.Flink; e != &m_AsioClients; e = e->Flink) ++n;
  return n;
}

bool CUsbAudioDevice::CopyAsioClient(PFILE_OBJECT File, AsioClient* Copy) {
  AsioGuard guard(m_AsioPowerMutex);
  const AsioClient* client = FindAsioClient(File);
  if (client && Copy) *Copy = *client;
  return client != nullptr;
}

STDMETHODIMP CUsbAudioDevice::OpenClient(PFILE_OBJECT File) {
  if (!File) return STATUS_UNSUCCESSFUL;
  AsioGuard guard(m_AsioPowerMutex);
  // A file object is one client: a second create on it changes nothing.
  if (FindAsioClient(File)) return STATUS_SUCCESS;
  auto* client = static_cast<AsioClient*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AsioClient), kUsbDeviceBufferTag));
  if (!client) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(client, sizeof *client);
  client->Key = File;
  client->SampleType = m_nAsioSampleType;
  client->LatencyIndex = m_nAsioLatencyIndex;
  client->SampleRate = m_nAsioSampleRate;
  client->SampleMode = kAsioModePcm;
  InsertTailList(&m_AsioClients, &client->Link);
  return STATUS_SUCCESS;
}

// Ends a client whatever it holds: its streams and buffers, its ownership, its events.
void CUsbAudioDevice::FreeAsioClient(AsioClient* Client) {
  if (Client->State == 1) {
    if (m_bAsioStreaming) StopAsioStreaming();
    ReleaseAsioPeriodEvent(Client);
    if (m_pAsioOwner == Client) {
      CloseAsioStreams();
      FreeAsioRings();
    }
    Client->State = 0;
  }
  ReleaseAsioPeriodEvent(Client);
  if (m_pAsioOwner == Client) {
    m_pAsioOwner = nullptr;
    m_nAsioInUse = 0;
    m_bAsioSuspendedByPower = false;
  }
  if (Client->NotificationEvent) ObDereferenceObject(Client->NotificationEvent);
  RemoveEntryList(&Client->Link);
  ExFreePoolWithTag(Client, kUsbDeviceBufferTag);
}

STDMETHODIMP CUsbAudioDevice::CloseClient(PFILE_OBJECT File) {
  AsioGuard guard(m_AsioPowerMutex);
  // A Stop left parked on this file ends with it rather than outliving its file object.
  AbandonParkedStop(File, STATUS_CANCELLED);
  AsioClient* client = FindAsioClient(File);
  if (!client) return STATUS_UNSUCCESSFUL;
  FreeAsioClient(client);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::SetNotificationEvent(PFILE_OBJECT File, HANDLE Event) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || client->NotificationEvent) return STATUS_INVALID_PARAMETER;
  PKEVENT event = nullptr;
  const NTSTATUS status = ReferenceUserEvent(Event, &event);
  if (NT_SUCCESS(status)) client->NotificationEvent = event;
  return status;
}

STDMETHODIMP CUsbAudioDevice::ClearNotificationEvent(PFILE_OBJECT File) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !client->NotificationEvent) return STATUS_INVALID_PARAMETER;
  ObDereferenceObject(client->NotificationEvent);
  client->NotificationEvent = nullptr;
  return STATUS_SUCCESS;
}

// A setting changed: every client with a notification event re-reads (its waiting thread
// gets the boost of a set event the ASIO host expects).
void CUsbAudioDevice::NotifyAsioClients() {
  for (PLIST_ENTRY e = m_AsioClients.Flink; e != &m_AsioClients; e = e->Flink) {
    AsioClient* client = CONTAINING_RECORD(e, AsioClient, Link);
    if (client->NotificationEvent) KeSetEvent(client->NotificationEvent, kAsioEventIncrement, FALSE);
  }
}

void CUsbAudioDevice::WriteAsioSetting(PCWSTR Name, ULONG Value) {
  SettingsBinaryValue(m_pFdo, SETTINGS_WRITE, &Value, sizeof Value, Name);
}

STDMETHODIMP CUsbAudioDevice::Start(PFILE_OBJECT File, HANDLE PeriodEvent) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || client != m_pAsioOwner || client->PeriodEvent) return STATUS_INVALID_PARAMETER;
  PKEVENT event = nullptr;
  NTSTATUS status = ReferenceUserEvent(PeriodEvent, &event);
  if (!NT_SUCCESS(status)) return status;
  client->PeriodEvent = event;
  status = StartAsioStreaming();
  if (!NT_SUCCESS(status)) {
    // The event goes back, so the client can Start again.
    client->PeriodEvent = nullptr;
    ObDereferenceObject(event);
    return status;
  }
  ResetAsioChannels(event);
  return status;
}

STDMETHODIMP CUsbAudioDevice::Stop(PFILE_OBJECT File, PIRP Irp) {
  AsioGuard guard(m_AsioPowerMutex);
  // Only the owner that started streaming can stop it, in D0 or not: the one slot for a
  // parked Stop is never taken by another client.
  AsioClient* client = FindAsioClient(File);
  if (!client || client != m_pAsioOwner || !client->PeriodEvent) return STATUS_INVALID_PARAMETER;
  // Outside D0 the Stop waits for the device, unless the device is gone: its streaming
  // stopped with the power, and no return to D0 would complete the request.
  if (m_PowerState != PowerDeviceD0 && !m_bAsioGone) return ParkStop(Irp);
  PKEVENT event = client->PeriodEvent;
  KeClearEvent(event);
  ReleaseAsioPeriodEvent(client);
  if (m_bAsioSuspendedByPower)
    m_bAsioSuspendedByPower = false;  // power already stopped the streams
  else
    StopAsioStreaming();
  SilenceAsioRings(client->SampleMode);
  return STATUS_SUCCESS;
}

// --- The parked Stop. The slot is shared with the IRP's cancel routine, which runs at
// DISPATCH_LEVEL: whoever clears the cancel routine while the IRP is in the slot owns it;
// a cancel routine already under way finds the IRP still in the slot and completes it.

NTSTATUS CUsbAudioDevice::ParkStop(PIRP Irp) {
  if (!Irp) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&m_AsioLock, &irql);
  if (m_pParkedStopIrp) {
    KeReleaseSpinLock(&m_AsioLock, irql);
    return STATUS_INVALID_PARAMETER;
  }
  m_pParkedStopIrp = Irp;
  Irp->Tail.Overlay.DriverContext[0] = this;  // for the cancel routine
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, &CUsbAudioDevice::CancelParkedStop);
  bool cancelled = false;
  if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
    // Cancelled before the routine was in place: nobody else will complete it.
    m_pParkedStopIrp = nullptr;
    cancelled = true;
  }
  KeReleaseSpinLock(&m_AsioLock, irql);
  if (cancelled) {
    Irp->IoStatus.Information = 0;
    PcCompleteIrp(m_pFdo, Irp, STATUS_CANCELLED);
  }
  return STATUS_PENDING;
}

// The device outlives the parked IRP: every path that ends the device takes the IRP or
// finds its cancel routine under way and leaves it the slot.
VOID CUsbAudioDevice::CancelParkedStop(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  auto* device = static_cast<CUsbAudioDevice*>(Irp->Tail.Overlay.DriverContext[0]);
  KIRQL irql;
  KeAcquireSpinLock(&device->m_AsioLock, &irql);
  if (device->m_pParkedStopIrp == Irp) device->m_pParkedStopIrp = nullptr;
  KeReleaseSpinLock(&device->m_AsioLock, irql);
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

PIRP CUsbAudioDevice::TakeParkedStop(PFILE_OBJECT File) {
  KIRQL irql;
  KeAcquireSpinLock(&m_AsioLock, &irql);
  PIRP irp = m_pParkedStopIrp;
  if (irp && File && IoGetCurrentIrpStackLocation(irp)->FileObject != File) irp = nullptr;
  if (irp) {
    if (IoSetCancelRoutine(irp, nullptr))
      m_pParkedStopIrp = nullptr;
    else
      irp = nullptr;  // its cancel routine is under way and completes it
  }
  KeReleaseSpinLock(&m_AsioLock, irql);
  return irp;
}

void CUsbAudioDevice::AbandonParkedStop(PFILE_OBJECT File, NTSTATUS Status) {
  PIRP irp = TakeParkedStop(File);
  if (!irp) return;
  irp->IoStatus.Information = 0;
  PcCompleteIrp(m_pFdo, irp, Status);
}

}  // namespace adapter
