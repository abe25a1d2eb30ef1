// Chip class A's worker: no status endpoint, so on the jack-polling device row a thread
// reads the chip's jack report every 50 ms and keeps the last 30 samples. All 30 with the
// jack bit set: the line input is not in use, unit 11's mute is forced on and the render
// stream plays at full level. All 30 with it clear: silence. Anything in between, coming
// from the first state: a quarter of the level, the forced mute released.
#include "kernel/ke.h"
#include "uac/chip_a_function.h"
#include "uac/chip_a_units.h"
#include "usb/usbdlib.h"

namespace uac {
namespace {

constexpr UCHAR kHidGetReport = 0x01;
constexpr USHORT kHidInputReport = 0x0100;
constexpr LONGLONG kPollPeriod100ns = LONGLONG{kChipAJackPollMs} * 10000;

// The request block of the poll and the report it reads, in one allocation.
struct JackRead {
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
  UCHAR Report[kChipAJackReportBytes];
};

enum class ReadResult { Sample, Empty, Failed };

// One jack report. A transfer that brought no bytes is no sample: its byte would be the
// one the report before left behind.
ReadResult ReadJackReport(adapter::IUsbAudioDevice* Device, JackRead* Read, PUCHAR Sample) {
  RtlZeroMemory(Read, sizeof *Read);
  auto& r = Read->Urb;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  r.TransferBuffer = Read->Report;
  r.TransferBufferLength = kChipAJackReportBytes;
  r.Request = kHidGetReport;
  r.Value = kHidInputReport;
  r.Index = kChipAHidInterface;
  const NTSTATUS status = Device->SubmitUrbSync(reinterpret_cast<PURB>(&Read->Urb));
  if (!NT_SUCCESS(status)) {
    DbgPrint("CChipAFunction::JackPollWorker jack report failed: 0x%08X\n", status);
    return ReadResult::Failed;
  }
  if (r.TransferBufferLength == 0) return ReadResult::Empty;
  *Sample = (Read->Report[0] & kChipAJackBit) ? 0 : 1;
  return ReadResult::Sample;
}

bool AllEqual(const UCHAR* History, UCHAR Value) {
  for (ULONG i = 0; i < kChipAJackHistory; ++i)
    if (History[i] != Value) return false;
  return true;
}

}  // namespace

NTSTATUS CChipAFunction::StartWorker() {
  if (!m_bJackPolling) return STATUS_SUCCESS;
  if (m_pWorkerThread) return STATUS_SUCCESS;  // started and not stopped: one thread only
  return StartWorkerThread(kChipAWorkerPriority);
}

NTSTATUS CChipAFunction::StopWorker() {
  EndWorker();
  return STATUS_SUCCESS;
}

void CChipAFunction::KeepGainNode(CChipAGainNode* Node) {
  if (Node) Node->AddRef();
  CChipAGainNode* previous = m_pGainNode;
  m_pGainNode = Node;
  if (previous) previous->Release();
}

void CChipAFunction::ForceStatusMute(ULONG Flag) {
  adapter::IUacEntity* entity = nullptr;
  if (!NT_SUCCESS(FindEntityById(kChipAForcedMuteUnit, &entity)) || !entity) return;
  PVOID itf = nullptr;
  if (!NT_SUCCESS(entity->QueryInterface(IID_IChipAForcedMute, &itf)) || !itf) return;
  auto* mute = static_cast<IChipAForcedMute*>(itf);
  mute->SetStatusMute(static_cast<UCHAR>(Flag));
  mute->Release();
}

void CChipAFunction::ApplyJackHistory(const UCHAR* History) {
  const ULONG state = JackState();
  ULONG next = state;
  if (AllEqual(History, 0)) {
    if (state != CHIPA_JACK_ALL_SET) next = CHIPA_JACK_ALL_SET;
  } else if (AllEqual(History, 1)) {
    if (state != CHIPA_JACK_ALL_CLEAR) next = CHIPA_JACK_ALL_CLEAR;
  } else if (state == CHIPA_JACK_ALL_SET) {
    next = CHIPA_JACK_MIXED;  // from silence a mixed history keeps the silence
  }
  if (next == state) return;
  __atomic_store_n(&m_nJackState, next, __ATOMIC_RELEASE);
  ForceStatusMute(next == CHIPA_JACK_ALL_SET ? 1 : 0);
  m_pGainNode->SetMode(next == CHIPA_JACK_ALL_SET    ? CHIPA_GAIN_PASS
                       : next == CHIPA_JACK_MIXED    ? CHIPA_GAIN_QUARTER
                                                     : CHIPA_GAIN_SILENCE);
}

void CChipAFunction::JackPollWorker() {
  UCHAR history[kChipAJackHistory] = {};
  ULONG next = 0;
  bool timerSet = false;
  auto* read = static_cast<JackRead*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(JackRead), kChipATag));
  if (read && m_pUsbDevice) {
    UCHAR sample = 0;
    const ReadResult first = ReadJackReport(m_pUsbDevice, read, &sample);
    __atomic_add_fetch(&m_nJackReads, 1, __ATOMIC_ACQ_REL);
    if (first != ReadResult::Failed) {
      if (first == ReadResult::Sample) history[next++] = sample;
      LARGE_INTEGER due;
      KeQuerySystemTime(&due);
      due.QuadPart += kPollPeriod100ns;
      KeSetTimerEx(&m_JackTimer, due, kChipAJackPollMs, nullptr);
      timerSet = true;
      if (m_pGainNode) ForceStatusMute(1);
      PVOID objects[] = {&m_JackTimer, &m_StopEvent};
      for (;;) {
        const NTSTATUS waited =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (waited != STATUS_WAIT_0) break;  // the stop event, or the wait failed
        const ReadResult result = ReadJackReport(m_pUsbDevice, read, &sample);
        __atomic_add_fetch(&m_nJackReads, 1, __ATOMIC_ACQ_REL);
        if (result == ReadResult::Failed) break;
        if (result == ReadResult::Empty) continue;
        history[next] = sample;
        next = (next + 1) % kChipAJackHistory;
        if (m_pGainNode) ApplyJackHistory(history);
      }
    }
  } else {
    DbgPrint("CChipAFunction::JackPollWorker no request block\n");
  }
  // Every way out: no timer left armed, no expiry still on its way, and the event
  // StopWorker and the destructor wait for.
  if (timerSet) KeCancelTimer(&m_JackTimer);
  KeFlushQueuedDpcs();
  if (read) ExFreePoolWithTag(read, kChipATag);
  KeSetEvent(&m_ThreadEndedEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace uac
