// CPtrList: a doubly linked list of untyped pointers with head, tail and count. Nodes are
// 24 bytes of non-paged pool under the tag "Lis\0". The count changes with interlocked
// operations; the list has no lock, so every user serialises its own access.
#pragma once

#include "kernel/nt.h"

namespace adapter {

struct PtrListNode {
  PtrListNode* next;
  PtrListNode* previous;
  PVOID data;
};
static_assert(sizeof(PtrListNode) == 24);

// A position in a list: a node, or null past the end.
using POSITION = PtrListNode*;

inline constexpr ULONG kPtrListTag = MakePoolTag('L', 'i', 's', '\0');

class CPtrList : public platform::PoolAllocated {
 public:
  CPtrList();
  // Frees the nodes still linked (not the data they point to).
  ~CPtrList();
  CPtrList(const CPtrList&) = delete;
  CPtrList& operator=(const CPtrList&) = delete;

  // Append / prepend; null when no node could be allocated (the list is unchanged).
  POSITION AddTail(PVOID data);
  POSITION AddHead(PVOID data);
  // Inserts before the node; a null position or the head node makes it AddHead.
  POSITION InsertBefore(POSITION position, PVOID data);
  // Unlinks and frees the node.
  void RemoveAt(POSITION position);
  // Data of the first node, which is unlinked and freed; false when empty or data is null.
  bool RemoveHead(PVOID* data);
  // Data of the first / last node; false and *data = null when empty.
  bool GetHead(PVOID* data) const;
  bool GetTail(PVOID* data) const;
  // Data of the index-th node from 0 (walks from the head); false, *data untouched, when
  // index >= count.
  bool GetAt(ULONG index, PVOID* data) const;
  ULONG GetCount() const { return static_cast<ULONG>(__atomic_load_n(&m_nCount, __ATOMIC_SEQ_CST)); }
  bool IsEmpty() const { return GetCount() == 0; }
  POSITION GetHeadPosition() const { return m_pHead; }
  // Data of the node at *position, which moves to the next node; false at the end.
  bool GetNext(POSITION* position, PVOID* data) const;

 private:
  POSITION NewNode(PVOID data);

  PtrListNode* m_pHead;
  PtrListNode* m_pTail;
  LONG m_nCount;
};

}  // namespace adapter
