#include "stream/usb_stream_engine.h"

#include "adapter/object_model.h"
#include "kernel/callback.h"
#include "kernel/ps.h"

namespace stream {
namespace {

// "\Callback\CyclicControlAddr%p" with the engine's address: at most 98 bytes of wide
// characters and the terminator.
constexpr SIZE_T kCallbackNameBytes = 100;

}  // namespace

CUsbStreamEngine::CUsbStreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CStreamEngine(outerUnknown, interfaceNumber),
      m_pOwner(nullptr),
      m_nTerminalNodeId(terminalNodeId),
      m_FormatRecords{},
      m_nMsPerUrb(kDefaultMsPerUrb),
      m_nUrbsInFlight(kDefaultUrbsInFlight),
      m_bDeviceGone(0),
      m_lWorkInterlock(0),
      m_pThread(nullptr),
      m_pCyclicCallback(nullptr),
      m_nNextStartFrame(0),
      m_bExplicitStart(0),
      m_pCurrentClient(nullptr),
      m_pCurrentPreparedClient(nullptr),
      m_pRing(nullptr),
      m_nRingTag(0),
      m_nRingSize(0),
      m_nRingRead(0),
      m_nRingWrite(0),
      m_nPacketsPerMs(0),
      m_nUrbPacketsPerMs(0),
      m_nSamplesPerPacket(0),
      m_nTransferBufferBytes(0),
      m_nBlockAlign(0),
      m_nStreamRate(0),
      m_pPipeTable(nullptr),
      m_nDataPipe(0),
      m_bHoldsActivity(false),
      m_lUrbsOutstanding(0),
      m_InFlightSlots{},
      m_FreeSlots{},
      m_UrbList{},
      m_ContextList{},
      m_BufferList{},
      m_bListsReady(false) {
  InitializeListHead(&m_FormatRecords);
  KeInitializeSpinLock(&m_RingLock);
  KeInitializeSpinLock(&m_SendLock);
  KeInitializeSpinLock(&m_SlotLock);
  KeInitializeEvent(&m_AllBackEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_ThreadDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&m_WorkEvent, SynchronizationEvent, FALSE);
}

CUsbStreamEngine::~CUsbStreamEngine() {
  while (!IsListEmpty(&m_FormatRecords)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_FormatRecords);
    ExFreePoolWithTag(CONTAINING_RECORD(entry, StreamFormatRecord, Links), kUsbStreamPoolTag);
  }
  // Only a thread that Init started is waited for: an engine whose Init failed (or never
  // ran) has none, and nothing would ever set the done event.
  EndControlThread();
  // An engine released with a stream still allocated: its URBs come back first (each
  // completion sees the state and sends nothing), then its memory goes.
  if (GetStreamState() == STREAM_STATE_RUNNING) SetStreamState(STREAM_STATE_ALLOCATED);
  KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
  FreeTransferMemory();
  if (m_pPipeTable) ExFreePoolWithTag(m_pPipeTable, kUrbPoolTag);
  m_pPipeTable = nullptr;
  FreeRegisteredClients();
  if (m_pCyclicCallback) ObDereferenceObject(m_pCyclicCallback);
  m_pCyclicCallback = nullptr;
}

STDMETHODIMP CUsbStreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IUsbStreamEngine)) return adapter::ReturnInterface<IUsbStreamEngine>(this, object);
  if (IsEqualGUID(iid, IID_IUsbStreamDrm)) return adapter::ReturnInterface<IUsbStreamDrm>(this, object);
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, adapter::IID_IStreamEngine))
    return CStreamEngine::NonDelegatingQueryInterface(iid, object);
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CUsbStreamEngine::Init(ULONG Direction, adapter::IAudioHal* Owner) {
  NTSTATUS status = CStreamEngine::Init(Direction);
  if (!NT_SUCCESS(status)) return status;

  WCHAR name[kCallbackNameBytes / sizeof(WCHAR)];
  status = RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\CyclicControlAddr%p", static_cast<const void*>(this));
  if (NT_SUCCESS(status)) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    // Not permanent: a permanent object outlives its last reference, and one would be left
    // behind by every engine the device ever had.
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    status = ExCreateCallback(&m_pCyclicCallback, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) m_pCyclicCallback = nullptr;
  }

  if (NT_SUCCESS(status)) {
    HANDLE handle = nullptr;
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ControlThreadStart, this);
    if (NT_SUCCESS(status)) {
      PVOID thread = nullptr;
      status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
      if (NT_SUCCESS(status)) {
        m_pThread = thread;
        KeSetPriorityThread(static_cast<PKTHREAD>(thread), HIGH_PRIORITY);
        KeSetPriorityThread(static_cast<PKTHREAD>(thread), kControlThreadPriority);
      } else {
        // The thread runs but cannot be waited for by its object: end it through its
        // events before giving up.
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_ThreadDoneEvent, Executive, KernelMode, FALSE, nullptr);
      }
      ZwClose(handle);
    }
  }

  if (!NT_SUCCESS(status)) {
    if (m_pCyclicCallback) ObDereferenceObject(m_pCyclicCallback);
    m_pCyclicCallback = nullptr;
    return status;
  }
  m_pOwner = Owner;
  m_bDeviceGone = 0;
  return STATUS_SUCCESS;
}

void CUsbStreamEngine::EndControlThread() {
  if (!m_pThread) return;
  KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&m_ThreadDoneEvent, Executive, KernelMode, FALSE, nullptr);
  // The done event is set just before the thread leaves this object's code; the thread
  // object is signalled once it has left.
  KeWaitForSingleObject(m_pThread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(m_pThread);
  m_pThread = nullptr;
}

VOID CUsbStreamEngine::ControlThreadStart(PVOID Context) {
  static_cast<CUsbStreamEngine*>(Context)->ControlThread();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

STDMETHODIMP_(void) CUsbStreamEngine::ControlThread() {
  // The work event comes first, so it is served before a stop that arrives with it.
  PVOID events[] = {&m_WorkEvent, &m_StopEvent};
  for (;;) {
    NTSTATUS waited = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (waited != STATUS_WAIT_0 && waited != STATUS_WAIT_1) break;  // the wait itself failed
    m_EngineMutex.Lock();
    if (waited == STATUS_WAIT_0 && m_StreamState == STREAM_STATE_RUNNING) {
      const LONG work = InterlockedCompareExchange(&m_lWorkInterlock, 0, 1);
      if (work == 1) {
        // A send with the device gone succeeds without sending: it must not loop forever.
        while (m_StreamState == STREAM_STATE_RUNNING && !IsDeviceGone() && NT_SUCCESS(SendStreamUrb())) {
        }
      } else if (work == 2) {
        DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", static_cast<int>(m_StreamState));
        if (m_StreamState == STREAM_STATE_RUNNING) {
          NTSTATUS status = Recover();
          if (status == STATUS_DEVICE_NOT_CONNECTED) KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
          DbgPrint("Error_ErrorOccur ntStatus = %x\n", static_cast<unsigned>(status));
        }
      }
    }
    m_EngineMutex.Unlock();
    if (waited == STATUS_WAIT_1) break;
  }
  KeSetEvent(&m_ThreadDoneEvent, IO_NO_INCREMENT, FALSE);
}

void CUsbStreamEngine::SignalTransferError() {
  if (InterlockedExchange(&m_lWorkInterlock, 2) != 2) KeSetEvent(&m_WorkEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CUsbStreamEngine::AddStreamFormat(const WAVEFORMATEXTENSIBLE* Format, UCHAR AlternateSetting) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  auto* record = static_cast<StreamFormatRecord*>(
      ExAllocatePoolWithTag(PagedPool, sizeof(StreamFormatRecord), kUsbStreamPoolTag));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = AddFormat(Format);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(record, kUsbStreamPoolTag);
    return status;
  }
  RtlZeroMemory(record, sizeof *record);
  record->AlternateSetting = AlternateSetting;
  RtlCopyMemory(&record->Format, Format, sizeof(WAVEFORMATEXTENSIBLE));
  InsertTailList(&m_FormatRecords, &record->Links);
  return STATUS_SUCCESS;
}

NTSTATUS CUsbStreamEngine::FindAltSetting(const WAVEFORMATEX* Format, PUCHAR AlternateSetting) {
  if (!AlternateSetting || !Format) return STATUS_INVALID_PARAMETER;
  const WORD tag = Format->wFormatTag;
  // The same rule as FindFormat: an extensible format is compared over exactly its 40
  // bytes, never over the 18 + cbSize its header claims.
  if (tag == WAVE_FORMAT_EXTENSIBLE && Format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
    return STATUS_INVALID_PARAMETER;
  // The records are paged: they change and are looked up under the engine mutex.
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  for (PLIST_ENTRY entry = m_FormatRecords.Flink; entry != &m_FormatRecords; entry = entry->Flink) {
    const auto* record = CONTAINING_RECORD(entry, StreamFormatRecord, Links);
    const WAVEFORMATEXTENSIBLE& f = record->Format;
    bool match;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
      match = RtlCompareMemory(&f, Format, sizeof(WAVEFORMATEXTENSIBLE)) == sizeof(WAVEFORMATEXTENSIBLE);
    } else {
      match = f.Format.nChannels == Format->nChannels && f.Format.nSamplesPerSec == Format->nSamplesPerSec &&
              f.Format.wBitsPerSample == Format->wBitsPerSample && static_cast<WORD>(f.SubFormat.Data1) == tag;
    }
    if (match) {
      *AlternateSetting = record->AlternateSetting;
      status = STATUS_SUCCESS;
      break;
    }
  }
  return status;
}

ULONG CUsbStreamEngine::GetFormatRecordCount() const {
  ULONG count = 0;
  for (PLIST_ENTRY entry = m_FormatRecords.Flink; entry != &m_FormatRecords; entry = entry->Flink) ++count;
  return count;
}

const StreamFormatRecord* CUsbStreamEngine::GetFormatRecord(ULONG Index) const {
  for (PLIST_ENTRY entry = m_FormatRecords.Flink; entry != &m_FormatRecords; entry = entry->Flink) {
    if (Index-- == 0) return CONTAINING_RECORD(entry, StreamFormatRecord, Links);
  }
  return nullptr;
}

bool CUsbStreamEngine::IsControlThreadRunning() {
  return m_pThread != nullptr && KeReadStateEvent(&m_ThreadDoneEvent) == 0;
}

}  // namespace stream
