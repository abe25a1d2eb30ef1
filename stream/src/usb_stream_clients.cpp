// The client side of the USB stream engine: clients register, prepare, start, stop,
// unprepare and unregister; the engine moves its stream through the states (no
// resources, allocated, running) so that the highest-priority prepared client has the
// resources in its format and the highest-priority running client drives the device.
// Every operation holds the engine mutex, which the engine's own operations take again.
#include "adapter/dsp_node.h"
#include "stream/usb_stream_engine.h"

namespace stream {
namespace {

using adapter::IDspNode;
using adapter::ScopedRelease;

// Holds the engine mutex for a scope.
class EngineLock {
 public:
  explicit EngineLock(adapter::CKernelMutex& Mutex) : m_Mutex(Mutex) { m_Mutex.Lock(); }
  ~EngineLock() { m_Mutex.Unlock(); }
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

 private:
  adapter::CKernelMutex& m_Mutex;
};

// Frames between the bus frame the resources were allocated at and the first URB when the
// device changes hands while a client still runs.
constexpr ULONG kRestartFrameLead = 5;

bool IsValidUrbValue(ULONG Value) { return Value >= 1 && Value <= kMaxClientUrbValue; }

}  // namespace

ULONG CUsbStreamEngine::SetStreamState(ULONG State) {
  return static_cast<ULONG>(InterlockedExchange(reinterpret_cast<volatile LONG*>(&m_StreamState),
                                                static_cast<LONG>(State)));
}

void CUsbStreamEngine::TakeDeviceFormat(PSTREAMCLIENTRECORD Record) {
  // The processing hook reads the format under the list lock.
  const KIRQL irql = LockLists();
  RtlCopyMemory(&m_CurrentWaveFormat, &Record->Format, sizeof(WAVEFORMATEXTENSIBLE));
  UnlockLists(irql);
}

void CUsbStreamEngine::Publish(StreamEngineRecord* Record) {
  if (m_pCyclicCallback) ExNotifyCallback(m_pCyclicCallback, Record, nullptr);
}

void CUsbStreamEngine::PublishFormat(PSTREAMCLIENTRECORD Record, bool FormatChanged) {
  StreamEngineRecord notice{};
  notice.Client = Record;
  notice.Code = STREAM_NOTIFY_FORMAT;
  notice.Payload.Format.MsPerUrb = Record->MsPerUrb | (FormatChanged ? kFormatChangedFlag : 0);
  notice.Payload.Format.UrbsInFlight = Record->UrbsInFlight;
  Publish(&notice);
}

NTSTATUS CUsbStreamEngine::EffectTarget(PSTREAMCLIENTRECORD Record, PUNKNOWN Object, IDspNode** Node, bool* First) {
  *Node = nullptr;
  *First = false;
  const ULONG priority = static_cast<ULONG>(Record->Priority);
  // Only clients of priorities 1 and 2 have their processing objects run.
  if (!Object || (priority != 1 && priority != 2)) return STATUS_SUCCESS;
  PVOID node = nullptr;
  if (!NT_SUCCESS(Object->QueryInterface(adapter::IID_IDspNode, &node)) || !node) return STATUS_INVALID_PARAMETER;
  *Node = static_cast<IDspNode*>(node);
  // Render: priority 2 on the first list, 1 on the second; capture the other way round.
  *First = (m_nDirection == adapter::STREAM_DIRECTION_RENDER) == (priority == 2);
  return STATUS_SUCCESS;
}

void CUsbStreamEngine::FreeResourcesOfPrepared() {
  if (GetStreamState() != STREAM_STATE_NO_RESOURCES) FreeResources();
  // No client holds resources any more: the next prepare allocates them again.
  if (GetStreamState() == STREAM_STATE_NO_RESOURCES) m_pCurrentPreparedClient = nullptr;
}

bool CUsbStreamEngine::IsHeldFromHead(PSTREAMCLIENTRECORD Head, PSTREAMCLIENTRECORD Leaving) const {
  // The resources were allocated for the client that prepared last ahead of the others;
  // until it starts, it holds them.
  const PSTREAMCLIENTRECORD holder = m_pCurrentPreparedClient;
  return holder && holder != Head && holder != Leaving && !holder->Started;
}

NTSTATUS CUsbStreamEngine::ResumeRunningHead(PSTREAMCLIENTRECORD Leaving) {
  PSTREAMCLIENTRECORD head = GetRunningHead();
  if (!head || GetStreamState() == STREAM_STATE_RUNNING || IsHeldFromHead(head, Leaving)) return STATUS_SUCCESS;
  m_pCurrentClient = head;
  ULONG frame = 0;
  if (GetStreamState() == STREAM_STATE_ALLOCATED && m_pCurrentPreparedClient == head) {
    // The resources are in its format already: it starts a few frames from now.
    if (adapter::IUsbAudioDevice* device = QueryDevice()) {
      device->GetCurrentFrame(&frame);
      device->Release();
    }
  } else {
    if (GetStreamState() != STREAM_STATE_NO_RESOURCES) FreeResources();
    m_pCurrentPreparedClient = head;
    const NTSTATUS status = AllocateResources(head, &frame);
    if (!NT_SUCCESS(status)) {
      FreeResourcesOfPrepared();
      return status;
    }
  }
  TakeDeviceFormat(head);
  PublishFormat(head, true);
  if (!NT_SUCCESS(Start(frame + kRestartFrameLead, 1))) FreeResourcesOfPrepared();
  return STATUS_SUCCESS;
}

void CUsbStreamEngine::FreeRegisteredClients() {
  if (!m_pRegisteredList) return;
  for (;;) {
    const KIRQL irql = LockLists();
    PSTREAMCLIENTRECORD record = m_pRegisteredList->Head();
    if (record) m_pRegisteredList->Remove(record->Key);
    UnlockLists(irql);
    if (!record) return;
    ExUnregisterCallback(reinterpret_cast<PVOID>(record->Key));
    ExFreePoolWithTag(record, kUsbStreamPoolTag);
  }
}

STDMETHODIMP CUsbStreamEngine::RegisterClient(ULONG Priority, const WAVEFORMATEXTENSIBLE* Format, ULONG MsPerUrb,
                                              ULONG UrbsInFlight, PCALLBACK_FUNCTION Callback, PVOID Context,
                                              PSTREAMCLIENTRECORD* Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  *Record = nullptr;
  // Both values index and divide by the ten-entry slot tables.
  if (!Format || !Callback || !IsValidUrbValue(MsPerUrb) || !IsValidUrbValue(UrbsInFlight))
    return STATUS_INVALID_PARAMETER;
  EngineLock lock(m_EngineMutex);

  // A plain format is completed from the engine's entry, as FindFormat does.
  WAVEFORMATEXTENSIBLE format;
  RtlCopyMemory(&format, Format, sizeof format);
  NTSTATUS status = FindFormat(&format.Format);
  if (!NT_SUCCESS(status)) return status;
  if (!m_pCyclicCallback) return STATUS_UNSUCCESSFUL;  // Init never made one

  auto* record = static_cast<PSTREAMCLIENTRECORD>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamClientRecord), kUsbStreamPoolTag));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(record, sizeof *record);
  record->Priority = Priority;
  record->MsPerUrb = MsPerUrb;
  record->UrbsInFlight = UrbsInFlight;
  RtlCopyMemory(&record->Format, &format, sizeof format);
  record->Direction = m_nDirection;

  PVOID key = ExRegisterCallback(m_pCyclicCallback, Callback, Context);
  if (!key) {
    ExFreePoolWithTag(record, kUsbStreamPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  record->Key = reinterpret_cast<ULONGLONG>(key);
  status = AddRegistered(record);
  if (!NT_SUCCESS(status)) {
    ExUnregisterCallback(key);
    ExFreePoolWithTag(record, kUsbStreamPoolTag);
    return status;
  }
  *Record = record;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbStreamEngine::UnregisterClient(ULONGLONG Key) {
  EngineLock lock(m_EngineMutex);
  // Only a registered client that is not prepared is found here.
  PSTREAMCLIENTRECORD record = RemoveRegistered(Key);
  if (!record) return STATUS_UNSUCCESSFUL;
  ExUnregisterCallback(reinterpret_cast<PVOID>(Key));
  ExFreePoolWithTag(record, kUsbStreamPoolTag);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbStreamEngine::PrepareClient(ULONGLONG Key, PULONG MsPerUrb, PULONG BusFrame) {
  EngineLock lock(m_EngineMutex);
  PSTREAMCLIENTRECORD record = FindRegistered(Key);
  if (!record) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InsertPrepared(record);
  if (!NT_SUCCESS(status)) return status;

  ULONG frame = 0;
  PSTREAMCLIENTRECORD head = GetPreparedHead();
  if (head != m_pCurrentPreparedClient) {
    PSTREAMCLIENTRECORD previous = m_pCurrentPreparedClient;
    bool wasRunning = false;
    if (previous) {
      if (GetStreamState() == STREAM_STATE_RUNNING) {
        Stop();
        wasRunning = true;
      }
      FreeResources();
    }
    status = AllocateResources(head, &frame);
    if (!NT_SUCCESS(status)) {
      RemovePrepared(Key);  // stays registered
      if (GetStreamState() != STREAM_STATE_NO_RESOURCES) FreeResources();
      // The client that had the device gets it back, running again if it ran.
      m_pCurrentPreparedClient = nullptr;
      if (previous) {
        ULONG restored = 0;
        if (NT_SUCCESS(AllocateResources(previous, &restored))) {
          m_pCurrentPreparedClient = previous;
          if (wasRunning && !NT_SUCCESS(Start(restored + kRestartFrameLead, 1))) FreeResourcesOfPrepared();
        } else if (GetStreamState() != STREAM_STATE_NO_RESOURCES) {
          FreeResources();
        }
      }
      ResumeRunningHead(nullptr);
      return status;
    }
    m_pCurrentPreparedClient = head;
    TakeDeviceFormat(head);
  }
  if (MsPerUrb) *MsPerUrb = m_pCurrentPreparedClient ? m_pCurrentPreparedClient->MsPerUrb : record->MsPerUrb;
  if (BusFrame) *BusFrame = frame;
  RemoveRegistered(Key);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbStreamEngine::StartClient(ULONGLONG Key, ULONG StartFrame, PULONG MsPerUrb,
                                           PUNKNOWN ProcessingObject) {
  EngineLock lock(m_EngineMutex);
  if (GetStreamState() == STREAM_STATE_NO_RESOURCES) return STATUS_INVALID_PARAMETER;
  PSTREAMCLIENTRECORD record = FindPrepared(Key);
  if (!record) return STATUS_INVALID_PARAMETER;
  // A second entry in the running list would outlive the record.
  if (FindRunning(Key)) return STATUS_INVALID_DEVICE_STATE;

  // The processing object goes on its list before anything else changes, so that its
  // failure leaves the client as it was.
  IDspNode* node = nullptr;
  bool first = false;
  NTSTATUS status = EffectTarget(record, ProcessingObject, &node, &first);
  if (!NT_SUCCESS(status)) return status;
  ScopedRelease<IDspNode> queried(node);
  if (node) {
    status = first ? AddFirstEffectNode(node) : AddSecondEffectNode(node);
    if (!NT_SUCCESS(status)) return status;
  }
  auto dropNode = [&] {
    if (node) first ? RemoveFirstEffectNode(node) : RemoveSecondEffectNode(node);
  };

  status = InsertRunning(record);
  if (!NT_SUCCESS(status)) {
    dropNode();
    return status;
  }
  PSTREAMCLIENTRECORD head = GetRunningHead();
  PSTREAMCLIENTRECORD old = m_pCurrentClient;
  if (head == old) {
    // A client behind the one that drives the device: the device is not touched.
    PublishFormat(old, false);
    record->Started = 1;
  } else if (GetStreamState() == STREAM_STATE_RUNNING) {
    // The device runs for another client and only a prepare of this one stops it: Start
    // would refuse, and neither that client's format nor its resources may change under
    // its running stream.
    RemoveRunning(head->Key);
    dropNode();
    return STATUS_UNSUCCESSFUL;
  } else if (IsHeldFromHead(head, nullptr)) {
    // A higher-priority client has the resources in its format and has not started: the
    // device waits for it. This client goes first once that one starts and stops again,
    // or leaves without starting; until then it is sent nothing, rather than its data at
    // another format's geometry.
    m_pCurrentClient = head;
    record->Started = 1;
  } else {
    m_pCurrentClient = head;
    TakeDeviceFormat(head);
    PublishFormat(head, true);
    record->Started = 1;
    status = Start(StartFrame, 1);
    if (!NT_SUCCESS(status)) {
      FreeResourcesOfPrepared();
      RemoveRunning(head->Key);
      head->Started = 0;
      record->Started = 0;
      m_pCurrentClient = old;
      if (old) {
        TakeDeviceFormat(old);
        PublishFormat(old, false);
      }
      dropNode();
      // The client that ran before has the device back in its own format.
      ResumeRunningHead(record);
      return status;
    }
  }
  if (MsPerUrb) *MsPerUrb = m_pCurrentClient->MsPerUrb;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbStreamEngine::StopClient(ULONGLONG Key, PUNKNOWN ProcessingObject) {
  EngineLock lock(m_EngineMutex);
  PSTREAMCLIENTRECORD record = FindRunning(Key);
  if (!record) return STATUS_INVALID_PARAMETER;
  // The object comes off its list first: when it is not there the client stays running.
  IDspNode* node = nullptr;
  bool first = false;
  NTSTATUS status = EffectTarget(record, ProcessingObject, &node, &first);
  if (!NT_SUCCESS(status)) return status;
  ScopedRelease<IDspNode> queried(node);
  if (node) {
    status = first ? RemoveFirstEffectNode(node) : RemoveSecondEffectNode(node);
    if (!NT_SUCCESS(status)) return status;
  }
  RemoveRunning(Key);  // stays prepared

  PSTREAMCLIENTRECORD head = GetRunningHead();
  if (!head) {
    Stop();
    record->Started = 0;
    m_pCurrentClient = nullptr;
    return STATUS_SUCCESS;
  }
  if (head == m_pCurrentClient) {
    record->Started = 0;  // it was not driving the device
    return STATUS_SUCCESS;
  }
  // The device changes hands: it runs again in the format of the client now in front,
  // unless a higher-priority client that has not started holds it.
  Stop();
  record->Started = 0;
  m_pCurrentClient = head;
  return ResumeRunningHead(record);
}

STDMETHODIMP CUsbStreamEngine::UnprepareClient(ULONGLONG Key) {
  EngineLock lock(m_EngineMutex);
  // A started client stops first: unprepared, it could be unregistered and freed while
  // still linked in the running list.
  if (FindRunning(Key)) return STATUS_INVALID_DEVICE_STATE;
  PSTREAMCLIENTRECORD record = RemovePrepared(Key);
  if (!record) return STATUS_INVALID_PARAMETER;

  NTSTATUS reallocated = STATUS_SUCCESS;
  PSTREAMCLIENTRECORD head = GetPreparedHead();
  if (!head) {
    FreeResources();
    m_pCurrentPreparedClient = nullptr;
  } else if (head != m_pCurrentPreparedClient && GetStreamState() == STREAM_STATE_ALLOCATED) {
    FreeResources();
    m_pCurrentPreparedClient = head;
    ULONG frame = 0;
    reallocated = AllocateResources(head, &frame);
    if (NT_SUCCESS(reallocated)) {
      TakeDeviceFormat(head);
    } else {
      FreeResourcesOfPrepared();
    }
  } else {
    // Without resources no client holds them: the next prepare allocates.
    m_pCurrentPreparedClient = GetStreamState() == STREAM_STATE_NO_RESOURCES ? nullptr : head;
  }
  // The client leaving may have held the device for itself: the one in front of the
  // running list gets it back.
  const NTSTATUS resumed = ResumeRunningHead(nullptr);
  if (NT_SUCCESS(reallocated)) reallocated = resumed;

  const NTSTATUS status = AddRegistered(record);
  if (!NT_SUCCESS(status)) {
    ExUnregisterCallback(reinterpret_cast<PVOID>(Key));
    ExFreePoolWithTag(record, kUsbStreamPoolTag);
    return status;
  }
  return reallocated;
}

STDMETHODIMP CUsbStreamEngine::Start(ULONG StartFrame, UCHAR Explicit) {
  EngineLock lock(m_EngineMutex);
  if (GetStreamState() != STREAM_STATE_ALLOCATED) {
    KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
    return STATUS_UNSUCCESSFUL;
  }
  m_nNextStartFrame = StartFrame;
  m_bExplicitStart = Explicit;
  InterlockedExchange(&m_lWorkInterlock, 0);
  KeClearEvent(&m_WorkEvent);
  SetStreamState(STREAM_STATE_RUNNING);

  // The processing nodes learn the format; one that refuses it does not stop the stream.
  // The list is fixed once the engine is built, and SetFormat may need PASSIVE_LEVEL.
  if (m_pDspNodeList) {
    for (IDspNode* node : *m_pDspNodeList) {
      if (!NT_SUCCESS(node->SetFormat(&m_CurrentWaveFormat))) break;
    }
  }

  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < m_nUrbsInFlight; ++i) {
    status = SendStreamUrb();
    if (!NT_SUCCESS(status)) break;
  }
  if (status == STATUS_BUFFER_TOO_SMALL) status = STATUS_SUCCESS;  // every slot is queued
  if (!NT_SUCCESS(status)) {
    KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
    SetStreamState(STREAM_STATE_ALLOCATED);
  }
  return status;
}

STDMETHODIMP CUsbStreamEngine::Stop() {
  EngineLock lock(m_EngineMutex);
  if (GetStreamState() != STREAM_STATE_RUNNING) return STATUS_UNSUCCESSFUL;
  SetStreamState(STREAM_STATE_ALLOCATED);
  // URBs are not cancelled: each completion sees the state and sends no successor.
  KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
  if (m_pDspNodeList) {
    for (IDspNode* node : *m_pDspNodeList) {
      const NTSTATUS status = node->Reset();
      if (!NT_SUCCESS(status)) return status;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace stream
