#include "adapter/ptr_list.h"

namespace adapter {

CPtrList::CPtrList() : m_pHead(nullptr), m_pTail(nullptr), m_nCount(0) {}

CPtrList::~CPtrList() {
  while (m_pHead) RemoveAt(m_pHead);
}

POSITION CPtrList::NewNode(PVOID data) {
  auto* node = static_cast<PtrListNode*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PtrListNode), kPtrListTag));
  if (!node) return nullptr;
  node->next = nullptr;
  node->previous = nullptr;
  node->data = data;
  return node;
}

POSITION CPtrList::AddTail(PVOID data) {
  POSITION node = NewNode(data);
  if (!node) return nullptr;
  node->previous = m_pTail;
  if (m_pTail) {
    m_pTail->next = node;
  } else {
    m_pHead = node;
  }
  m_pTail = node;
  InterlockedIncrement(&m_nCount);
  return node;
}

POSITION CPtrList::AddHead(PVOID data) {
  POSITION node = NewNode(data);
  if (!node) return nullptr;
  node->next = m_pHead;
  if (m_pHead) {
    m_pHead->previous = node;
  } else {
    m_pTail = node;
  }
  m_pHead = node;
  InterlockedIncrement(&m_nCount);
  return node;
}

POSITION CPtrList::InsertBefore(POSITION position, PVOID data) {
  if (!position || !position->previous) return AddHead(data);
  POSITION node = NewNode(data);
  if (!node) return nullptr;
  node->previous = position->previous;
  node->next = position;
  position->previous->next = node;
  position->previous = node;
  InterlockedIncrement(&m_nCount);
  return node;
}

void CPtrList::RemoveAt(POSITION position) {
  if (!position) return;
  if (position->previous) {
    position->previous->next = position->next;
  } else {
    m_pHead = position->next;
  }
  if (position->next) {
    position->next->previous = position->previous;
  } else {
    m_pTail = position->previous;
  }
  ExFreePoolWithTag(position, kPtrListTag);
  InterlockedDecrement(&m_nCount);
}

bool CPtrList::RemoveHead(PVOID* data) {
  if (!data || !m_pHead) return false;
  *data = m_pHead->data;
  RemoveAt(m_pHead);
  return true;
}

bool CPtrList::GetHead(PVOID* data) const {
  if (!data) return false;
  *data = m_pHead ? m_pHead->data : nullptr;
  return m_pHead != nullptr;
}

bool CPtrList::GetTail(PVOID* data) const {
  if (!data) return false;
  *data = m_pTail ? m_pTail->data : nullptr;
  return m_pTail != nullptr;
}

bool CPtrList::GetAt(ULONG index, PVOID* data) const {
  if (!data || index >= GetCount()) return false;
  POSITION node = m_pHead;
  for (ULONG i = 0; i < index && node; ++i) node = node->next;
  if (!node) return false;
  *data = node->data;
  return true;
}

bool CPtrList::GetNext(POSITION* position, PVOID* data) const {
  if (!position || !*position || !data) return false;
  *data = (*position)->data;
  *position = (*position)->next;
  return true;
}

}  // namespace adapter
