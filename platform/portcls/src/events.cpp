// Event delivery to KS clients: queued where the driver signals, run later by the
// client's own thread at PASSIVE_LEVEL.
#include "private.h"

namespace platform::portcls {

EventDelivery::EventDelivery() {
  KeInitializeSpinLock(&m_Lock);
  KeInitializeEvent(&m_Work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_Idle, NotificationEvent, TRUE);
  m_Thread = std::make_unique<platform::clock::Thread>("KS event delivery", [this] { Run(); });
}

EventDelivery::~EventDelivery() { Stop(); }

void EventDelivery::Post(const Callback& callback) {
  if (!callback) return;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  bool queued = !m_Stopping;
  if (queued) m_Queue.push_back(callback);
  KeReleaseSpinLock(&m_Lock, irql);
  if (queued) KeSetEvent(&m_Work, IO_NO_INCREMENT, FALSE);
}

void EventDelivery::Cancel(const Callback& callback) {
  // A callback the thread has already taken may be running: the disable returns only
  // once it has ended, unless the callback disables its own event.
  const bool onDeliveryThread = m_Thread && KeGetCurrentThread() == m_Thread->Object();
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    std::erase(m_Queue, callback);
    const bool running = m_Running == callback;
    KeReleaseSpinLock(&m_Lock, irql);
    if (!running || onDeliveryThread) return;
    KeWaitForSingleObject(&m_Idle, Executive, KernelMode, FALSE, nullptr);
  }
}

void EventDelivery::Stop() {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_Stopping = true;
  m_Queue.clear();
  KeReleaseSpinLock(&m_Lock, irql);
  KeSetEvent(&m_Work, IO_NO_INCREMENT, FALSE);
  m_Thread.reset();  // joins
}

void EventDelivery::Run() {
  for (;;) {
    KeWaitForSingleObject(&m_Work, Executive, KernelMode, FALSE, nullptr);
    for (;;) {
      Callback next;
      KIRQL irql;
      KeAcquireSpinLock(&m_Lock, &irql);
      bool stopping = m_Stopping;
      if (!stopping && !m_Queue.empty()) {
        next = std::move(m_Queue.front());
        m_Queue.pop_front();
        m_Running = next;
        KeClearEvent(&m_Idle);
      }
      KeReleaseSpinLock(&m_Lock, irql);
      if (stopping) return;
      if (!next) break;
      if (*next) (*next)();
      KeAcquireSpinLock(&m_Lock, &irql);
      m_Running = nullptr;
      KeSetEvent(&m_Idle, IO_NO_INCREMENT, FALSE);
      KeReleaseSpinLock(&m_Lock, irql);
    }
  }
}

}  // namespace platform::portcls
