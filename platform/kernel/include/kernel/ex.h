// Executive lists: singly and doubly linked lists guarded by a caller's spin lock
// (ExInterlocked*), and the sequenced singly linked lists (SLIST) that need no lock of
// the caller's.
#pragma once

#include <source_location>

#include "kernel/ke.h"

// Exceptions as the kernel raises them (a mapping into user space that fails, for one):
// ExRaiseStatus throws RaisedStatus, which driver code catches where it would guard the
// call with __try/__except, reading the status from it.
struct RaisedStatus {
  NTSTATUS Status;
};
[[noreturn]] inline void ExRaiseStatus(NTSTATUS status) { throw RaisedStatus{status}; }

// Plain singly linked list helpers.
inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
  entry->Next = head->Next;
  head->Next = entry;
}
inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head) {
  PSINGLE_LIST_ENTRY first = head->Next;
  if (first) head->Next = first->Next;
  return first;
}

// Each takes the spin lock (raising to DISPATCH_LEVEL) around the list operation.
PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY listHead, PSINGLE_LIST_ENTRY listEntry,
                                              PKSPIN_LOCK lock,
                                              const std::source_location& caller = std::source_location::current());
PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY listHead, PKSPIN_LOCK lock,
                                             const std::source_location& caller = std::source_location::current());
// Return the list's previous first (last) entry, null when the list was empty.
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY listHead, PLIST_ENTRY listEntry, PKSPIN_LOCK lock,
                                        const std::source_location& caller = std::source_location::current());
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY listHead, PLIST_ENTRY listEntry, PKSPIN_LOCK lock,
                                        const std::source_location& caller = std::source_location::current());
// The removed entry, null when the list was empty.
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY listHead, PKSPIN_LOCK lock,
                                        const std::source_location& caller = std::source_location::current());

// Sequenced singly linked lists.
using SLIST_ENTRY = SINGLE_LIST_ENTRY;
using PSLIST_ENTRY = SLIST_ENTRY*;
struct alignas(16) SLIST_HEADER {
  PSLIST_ENTRY Next;
  USHORT Depth;
  USHORT Sequence;
  ULONG Reserved;
};
using PSLIST_HEADER = SLIST_HEADER*;

void InitializeSListHead(PSLIST_HEADER head);
inline void ExInitializeSListHead(PSLIST_HEADER head) { InitializeSListHead(head); }
// Return the previous first entry (push) or the removed one (pop); null when empty.
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry);
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head);
// Takes the whole chain off the list.
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head);
USHORT QueryDepthSList(PSLIST_HEADER head);
inline PSLIST_ENTRY ExInterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry, PKSPIN_LOCK) {
  return InterlockedPushEntrySList(head, entry);
}
inline PSLIST_ENTRY ExInterlockedPopEntrySList(PSLIST_HEADER head, PKSPIN_LOCK) {
  return InterlockedPopEntrySList(head);
}
