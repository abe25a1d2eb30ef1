#include "kernel/ex.h"

#include <array>
#include <mutex>

namespace {

// The sequenced lists are guarded by one of a few process-wide locks chosen by the
// header's address; the holder never blocks, so any IRQL may use them.
std::mutex& SListLock(const void* head) {
  static std::array<std::mutex, 16>* locks = new std::array<std::mutex, 16>;
  return (*locks)[(reinterpret_cast<ULONG_PTR>(head) >> 4) % locks->size()];
}

template <class Body>
auto UnderSpinLock(PKSPIN_LOCK lock, const std::source_location& caller, Body body) {
  KIRQL old;
  KeAcquireSpinLock(lock, &old, caller);
  auto result = body();
  KeReleaseSpinLock(lock, old, caller);
  return result;
}

}  // namespace

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY listHead, PSINGLE_LIST_ENTRY listEntry,
                                              PKSPIN_LOCK lock, const std::source_location& caller) {
  return UnderSpinLock(lock, caller, [&] {
    PSINGLE_LIST_ENTRY first = listHead->Next;
    PushEntryList(listHead, listEntry);
    return first;
  });
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY listHead, PKSPIN_LOCK lock,
                                             const std::source_location& caller) {
  return UnderSpinLock(lock, caller, [&] { return PopEntryList(listHead); });
}

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY listHead, PLIST_ENTRY listEntry, PKSPIN_LOCK lock,
                                        const std::source_location& caller) {
  return UnderSpinLock(lock, caller, [&]() -> PLIST_ENTRY {
    PLIST_ENTRY first = IsListEmpty(listHead) ? nullptr : listHead->Flink;
    InsertHeadList(listHead, listEntry);
    return first;
  });
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY listHead, PLIST_ENTRY listEntry, PKSPIN_LOCK lock,
                                        const std::source_location& caller) {
  return UnderSpinLock(lock, caller, [&]() -> PLIST_ENTRY {
    PLIST_ENTRY last = IsListEmpty(listHead) ? nullptr : listHead->Blink;
    InsertTailList(listHead, listEntry);
    return last;
  });
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY listHead, PKSPIN_LOCK lock, const std::source_location& caller) {
  return UnderSpinLock(lock, caller,
                       [&]() -> PLIST_ENTRY { return IsListEmpty(listHead) ? nullptr : RemoveHeadList(listHead); });
}

void InitializeSListHead(PSLIST_HEADER head) {
  head->Next = nullptr;
  head->Depth = 0;
  head->Sequence = 0;
  head->Reserved = 0;
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry) {
  std::lock_guard lock(SListLock(head));
  PSLIST_ENTRY first = head->Next;
  entry->Next = first;
  head->Next = entry;
  ++head->Depth;
  ++head->Sequence;
  return first;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head) {
  std::lock_guard lock(SListLock(head));
  PSLIST_ENTRY first = head->Next;
  if (first) {
    head->Next = first->Next;
    --head->Depth;
    ++head->Sequence;
  }
  return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head) {
  std::lock_guard lock(SListLock(head));
  PSLIST_ENTRY first = head->Next;
  head->Next = nullptr;
  head->Depth = 0;
  return first;
}

USHORT QueryDepthSList(PSLIST_HEADER head) {
  std::lock_guard lock(SListLock(head));
  return head->Depth;
}
