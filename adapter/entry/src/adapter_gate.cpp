// The requests inside each device and the removals waiting for them.
#include "adapter_gate.h"

#include "kernel/ke.h"

namespace entry {
namespace {

// A removal waiting for the requests inside its device to leave.
struct Withdrawal {
  LIST_ENTRY Link;
  adapter::DeviceExtension* Extension;
  KEVENT Empty;  // notification: set when the last request inside has left
};

// Guards every extension's Adapter field and both lists. Held only for list work and a
// pointer copy, never across a call into the root object.
KSPIN_LOCK g_GateLock = 0;
LIST_ENTRY g_Inside = {&g_Inside, &g_Inside};            // CAdapterRequest::Entry
LIST_ENTRY g_Withdrawals = {&g_Withdrawals, &g_Withdrawals};  // Withdrawal

class GateLock {
 public:
  GateLock() { KeAcquireSpinLock(&g_GateLock, &m_Irql); }
  ~GateLock() { KeReleaseSpinLock(&g_GateLock, m_Irql); }
  GateLock(const GateLock&) = delete;
  GateLock& operator=(const GateLock&) = delete;

 private:
  KIRQL m_Irql;
};

bool AnyInsideLocked(const adapter::DeviceExtension* Extension) {
  for (PLIST_ENTRY e = g_Inside.Flink; e != &g_Inside; e = e->Flink)
    if (CONTAINING_RECORD(e, CAdapterRequest::Entry, Link)->Extension == Extension) return true;
  return false;
}

}  // namespace

CAdapterRequest::CAdapterRequest(adapter::DeviceExtension* Extension) : m_Entry{} {
  m_Entry.Extension = Extension;
  if (!Extension) return;
  GateLock lock;
  m_pAdapter = Extension->Adapter;
  if (m_pAdapter) InsertTailList(&g_Inside, &m_Entry.Link);
}

void CAdapterRequest::Wake() {
  if (!m_pAdapter || m_bWoken) return;
  m_pAdapter->WakeForRequest();
  m_bWoken = true;
}

void CAdapterRequest::Leave() {
  if (!m_pAdapter) return;
  if (m_bWoken) m_pAdapter->EndRequest();
  m_bWoken = false;
  m_pAdapter = nullptr;
  GateLock lock;
  RemoveEntryList(&m_Entry.Link);
  if (AnyInsideLocked(m_Entry.Extension)) return;
  // The waiting removal takes its record off the list under this lock, so the event is
  // still there while it is set.
  for (PLIST_ENTRY e = g_Withdrawals.Flink; e != &g_Withdrawals; e = e->Flink) {
    Withdrawal* w = CONTAINING_RECORD(e, Withdrawal, Link);
    if (w->Extension == m_Entry.Extension) KeSetEvent(&w->Empty, IO_NO_INCREMENT, FALSE);
  }
}

void PublishAdapter(adapter::DeviceExtension* Extension, adapter::IAudioHal* Adapter) {
  GateLock lock;
  Extension->Adapter = Adapter;
}

adapter::IAudioHal* WithdrawAdapter(adapter::DeviceExtension* Extension) {
  Withdrawal withdrawal{};
  withdrawal.Extension = Extension;
  KeInitializeEvent(&withdrawal.Empty, NotificationEvent, FALSE);
  adapter::IAudioHal* adapter = nullptr;
  bool wait = false;
  {
    GateLock lock;
    adapter = Extension->Adapter;
    Extension->Adapter = nullptr;
    wait = AnyInsideLocked(Extension);
    if (wait) InsertTailList(&g_Withdrawals, &withdrawal.Link);
  }
  if (!wait) return adapter;
  KeWaitForSingleObject(&withdrawal.Empty, Executive, KernelMode, FALSE, nullptr);
  GateLock lock;
  RemoveEntryList(&withdrawal.Link);
  return adapter;
}

}  // namespace entry
